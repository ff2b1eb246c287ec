// The count and totals of the document lists without reading every document: a per-connection
// summary in the temp schema (not part of the account file) with one row per type, issue date,
// currency, payment method, paid flag and whether the document has a search text. Each row holds
// how many documents it stands for (and how many of them have a record name), the sums of their
// three totals converted by each document's own exchange rate (in whole hundredths, so that the sums
// are exact; NULL for a sum that has no exact value), and an upper bound of their creation times.
// The lists filter these rows with the same conditions they put on the documents, since every
// document of a row has the same values in the filtered columns.
//
// Triggers on the documents table note every change made on this connection, whoever makes it, and
// the summary takes the notes in before it is read; both live in the temp schema, so a rolled-back
// change takes its note with it. A commit by another connection (another instance of the program on
// the same file) has the summary rebuilt, and so does reopening the database, as the temp schema goes
// with the connection.
//
// Also here: tavrin_newest, the aggregate that picks the newest rows of a list in the same pass that
// counts and sums them, and tavrin_cents and tavrin_cents_total, the exact sums of money amounts and
// of the summary's sums.
#include "core/store/store_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

using json11::Json;

namespace {

// ---------------------------------------------------------------------------------------------
// Values as SQLite orders them
// ---------------------------------------------------------------------------------------------

// A value kept apart from its statement, ordered as SQLite orders values (NULL, then numbers, then
// texts, then blobs; texts and blobs byte by byte); as a row's place, with its rowid.
struct Place {
    int kind = 0;  // 0 NULL, 1 number, 2 text, 3 blob
    bool whole = false;
    std::int64_t integer = 0;
    double real = 0;
    std::string bytes;
    std::int64_t rowid = 0;
};

int compare_values(const Place& a, const Place& b) {
    if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
    if (a.kind == 1) {
        if (a.whole && b.whole) return a.integer < b.integer ? -1 : a.integer > b.integer ? 1 : 0;
        // Every 64-bit integer and every double is exact in the wider type.
        const long double x = a.whole ? static_cast<long double>(a.integer) : static_cast<long double>(a.real);
        const long double y = b.whole ? static_cast<long double>(b.integer) : static_cast<long double>(b.real);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    if (a.kind >= 2) {
        const int order = std::memcmp(a.bytes.data(), b.bytes.data(), std::min(a.bytes.size(), b.bytes.size()));
        if (order != 0) return order < 0 ? -1 : 1;
        return a.bytes.size() < b.bytes.size() ? -1 : a.bytes.size() > b.bytes.size() ? 1 : 0;
    }
    return 0;
}

// The order of "ORDER BY created DESC, rowid": true when a comes before b.
bool before(const Place& a, const Place& b) {
    const int order = compare_values(a, b);
    return order != 0 ? order > 0 : a.rowid < b.rowid;
}

Place value_of(sqlite3_value* value) {
    Place p;
    switch (sqlite3_value_type(value)) {
        case SQLITE_INTEGER:
            p.kind = 1, p.whole = true, p.integer = sqlite3_value_int64(value);
            break;
        case SQLITE_FLOAT:
            p.kind = 1, p.real = sqlite3_value_double(value);
            break;
        case SQLITE_TEXT:
        case SQLITE_BLOB: {
            const bool text = sqlite3_value_type(value) == SQLITE_TEXT;
            const void* data = text ? static_cast<const void*>(sqlite3_value_text(value)) : sqlite3_value_blob(value);
            const int size = sqlite3_value_bytes(value);
            p.kind = text ? 2 : 3;
            if (data && size > 0) p.bytes.assign(static_cast<const char*>(data), static_cast<std::size_t>(size));
            break;
        }
        default:
            break;
    }
    return p;
}

Place place_of(sqlite3_value* created, sqlite3_value* rowid) {
    Place p = value_of(created);
    p.rowid = sqlite3_value_int64(rowid);
    return p;
}

void bind_value(sqlite3_stmt* statement, int index, const Place& p) {
    if (p.kind == 1 && p.whole)
        sqlite3_bind_int64(statement, index, p.integer);
    else if (p.kind == 1)
        sqlite3_bind_double(statement, index, p.real);
    else if (p.kind == 2)
        sqlite3_bind_text(statement, index, p.bytes.data(), static_cast<int>(p.bytes.size()), SQLITE_TRANSIENT);
    else if (p.kind == 3)
        sqlite3_bind_blob(statement, index, p.bytes.data(), static_cast<int>(p.bytes.size()), SQLITE_TRANSIENT);
    else
        sqlite3_bind_null(statement, index);
}

// Appends a value to a grouping key: equal keys for equal values of one column.
void append_key(std::string& key, const Place& p) {
    key += static_cast<char>(p.kind * 2 + (p.whole ? 1 : 0));
    if (p.kind == 1) {
        char bytes[sizeof(std::int64_t)];
        if (p.whole)
            std::memcpy(bytes, &p.integer, sizeof bytes);
        else
            std::memcpy(bytes, &p.real, sizeof bytes);
        key.append(bytes, sizeof bytes);
    } else if (p.kind >= 2) {
        const auto size = static_cast<std::uint32_t>(p.bytes.size());
        char bytes[sizeof size];
        std::memcpy(bytes, &size, sizeof size);
        key.append(bytes, sizeof size);
        key += p.bytes;
    }
}

// ---------------------------------------------------------------------------------------------
// The summary
// ---------------------------------------------------------------------------------------------

// A document as the summary takes it: its summary row's key, whether it has a record name, its
// creation time and its three totals converted by its exchange rate.
#define TAVRIN_DOCUMENT(row)                                                                                      \
    row ".type, " row ".issue_date, " row ".currency_code, " row ".payment_id, " row ".paid, " row                 \
    ".search IS NOT NULL, " row ".recordName IS NOT NULL, " row ".created, " row ".total_net_amount * " row        \
    ".exchange_rate, " row ".total_tax_amount * " row ".exchange_rate, " row ".total_gross_amount * " row          \
    ".exchange_rate"

// The triggers only note each change; the summary takes the notes in when it is next read. Work
// done in a trigger would be done again in every statement that writes a document.
#define TAVRIN_NOTE(sign, row) "INSERT INTO tavrin_document_changes VALUES (" sign ", " TAVRIN_DOCUMENT(row) ");"

const char* const kKey = "type, issue_date, currency_code, payment_id, paid, searchable";

// Statements that make the summary, in order. The trigger named last is the one looked for.
const std::vector<std::string>& summary_schema() {
    static const std::vector<std::string> texts = {
        "DROP TRIGGER IF EXISTS temp.tavrin_documents_insert",
        "DROP TRIGGER IF EXISTS temp.tavrin_documents_delete",
        "DROP TABLE IF EXISTS temp.tavrin_document_totals_state",
        "DROP TABLE IF EXISTS temp.tavrin_document_totals",
        "DROP TABLE IF EXISTS temp.tavrin_document_changes",
        "CREATE TEMP TABLE tavrin_document_totals_state (id INTEGER PRIMARY KEY, data_version INTEGER)",
        // The key columns have the declared types of the documents' columns, so that the lists'
        // conditions compare and match their values exactly as they do the documents'. The sums are
        // whole hundredths (CentsSum of the documents' converted amounts), NULL when not exact.
        "CREATE TEMP TABLE tavrin_document_totals (type VARCHAR, issue_date VARCHAR, currency_code VARCHAR, "
        "payment_id VARCHAR, paid INT, searchable INT, documents INT NOT NULL, named INT NOT NULL, newest BIGINT, "
        "net INTEGER, tax INTEGER, gross INTEGER)",
        std::string("CREATE UNIQUE INDEX temp.tavrin_document_totals_key ON tavrin_document_totals (") + kKey + ")",
        "CREATE TEMP TABLE tavrin_document_changes (sign INT, type VARCHAR, issue_date VARCHAR, "
        "currency_code VARCHAR, payment_id VARCHAR, paid INT, searchable INT, named INT, created BIGINT, "
        "net DOUBLE, tax DOUBLE, gross DOUBLE)",
        "CREATE TEMP TRIGGER tavrin_documents_insert AFTER INSERT ON main.documents BEGIN " TAVRIN_NOTE("1", "NEW")
        " END",
        "CREATE TEMP TRIGGER tavrin_documents_delete AFTER DELETE ON main.documents BEGIN " TAVRIN_NOTE("-1", "OLD")
        " END",
        "CREATE TEMP TRIGGER tavrin_documents_update AFTER UPDATE OF type, issue_date, currency_code, payment_id, "
        "paid, search, recordName, created, exchange_rate, total_net_amount, total_tax_amount, total_gross_amount "
        "ON main.documents BEGIN " TAVRIN_NOTE("-1", "OLD") TAVRIN_NOTE("1", "NEW") " END",
    };
    return texts;
}

// Summary rows being worked out, by key.
class Groups {
public:
    struct Group {
        Place keys[6];
        std::int64_t documents = 0;
        std::int64_t named = 0;
        Place newest;  // the greatest creation time; NULL while there is none
        store::CentsSum sums[3];
    };

    // Adds (sign 1) or takes away (sign -1) a document read from `row`: the six key columns from
    // `first`, then whether it has a record name, its creation time and its three amounts.
    void add(sqlite3_stmt* row, int first, int sign) {
        key_.clear();
        for (int column = 0; column < 6; ++column) {
            keys_[column] = value_of(sqlite3_column_value(row, first + column));
            append_key(key_, keys_[column]);
        }
        auto found = index_.find(key_);
        if (found == index_.end()) {
            found = index_.emplace(key_, list_.size()).first;
            list_.emplace_back();
            for (int column = 0; column < 6; ++column) list_.back().keys[column] = std::move(keys_[column]);
        }
        Group& group = list_[found->second];
        group.documents += sign;
        group.named += sign * sqlite3_column_int64(row, first + 6);
        Place created = value_of(sqlite3_column_value(row, first + 7));
        // Only ever raised: it has to be at least the newest creation time of the row's documents.
        if (sign > 0 && created.kind != 0 && (group.newest.kind == 0 || compare_values(created, group.newest) > 0))
            group.newest = std::move(created);
        // As SUM adds them up, what is NULL left out.
        for (int k = 0; k < 3; ++k)
            if (sqlite3_column_type(row, first + 8 + k) != SQLITE_NULL)
                group.sums[k].add(sqlite3_column_double(row, first + 8 + k), sign);
    }
    std::vector<Group>& list() { return list_; }

private:
    std::vector<Group> list_;
    std::unordered_map<std::string, std::size_t> index_;
    std::string key_;
    Place keys_[6];
};

void bind_sum(store::Statement& statement, int index, const store::CentsSum& sum) {
    if (const std::optional<std::int64_t> cents = sum.value())
        statement.bind(index, *cents);
    else
        statement.bind(index, nullptr);
}

bool insert_group(Core& core, const Groups::Group& group) {
    store::Statement insert(core, std::string("INSERT INTO tavrin_document_totals (") + kKey +
                                      ", documents, named, newest, net, tax, gross) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, "
                                      "?, ?, ?)");
    for (int column = 0; column < 6; ++column) bind_value(insert.handle(), column + 1, group.keys[column]);
    insert.bind(7, group.documents);
    insert.bind(8, group.named);
    bind_value(insert.handle(), 9, group.newest);
    for (int k = 0; k < 3; ++k) bind_sum(insert, 10 + k, group.sums[k]);
    return insert.run();
}

// Fills the empty summary from the documents in one pass over the table, grouped here: grouping in
// SQL would sort every document.
bool fill_summary(Core& core) {
    Groups groups;
    {
        store::Statement scan(core, "SELECT " TAVRIN_DOCUMENT("documents") " FROM main.documents NOT INDEXED");
        if (!scan.ok()) return false;
        while (scan.step()) groups.add(scan.handle(), 0, 1);
        if (scan.result() != SQLITE_DONE) return false;
    }
    for (const Groups::Group& group : groups.list())
        if (!insert_group(core, group)) return false;
    return true;
}

// Takes the noted changes into the summary. False when they do not fit it (it is then rebuilt): also
// when they touch a row whose sums have no exact value, as what it holds cannot be taken away again.
bool take_changes(Core& core) {
    Groups groups;
    {
        store::Statement notes(core, "SELECT * FROM tavrin_document_changes ORDER BY rowid");
        while (notes.step()) groups.add(notes.handle(), 1, static_cast<int>(notes.column_int64(0)));
        if (notes.result() != SQLITE_DONE) return false;
    }
    for (Groups::Group& change : groups.list()) {
        bool found = false;
        std::int64_t rowid = 0, documents = 0, named = 0;
        Place newest;
        bool exact = true;
        std::int64_t sums[3] = {0, 0, 0};
        {
            store::Statement row(core, "SELECT rowid, documents, named, newest, net, tax, gross FROM "
                                       "tavrin_document_totals WHERE type IS ? AND "
                                       "issue_date IS ? AND currency_code IS ? AND payment_id IS ? AND paid IS ? AND "
                                       "searchable IS ? LIMIT 1");
            for (int column = 0; column < 6; ++column) bind_value(row.handle(), column + 1, change.keys[column]);
            if ((found = row.step())) {
                rowid = row.column_int64(0);
                documents = row.column_int64(1);
                named = row.column_int64(2);
                newest = value_of(sqlite3_column_value(row.handle(), 3));
                for (int k = 0; k < 3; ++k) {
                    exact = exact && !row.column_is_null(4 + k);
                    sums[k] = row.column_int64(4 + k);
                }
            }
        }
        if (!exact) return false;
        documents += change.documents;
        if (documents < 0) return false;
        if (!found) {
            if (documents > 0 && !insert_group(core, change)) return false;
            continue;  // none left: added and taken away again
        }
        if (documents == 0) {
            if (!store::run(core, "DELETE FROM tavrin_document_totals WHERE rowid = ?", {Json(static_cast<double>(rowid))}))
                return false;
            continue;
        }
        if (change.newest.kind != 0 && (newest.kind == 0 || compare_values(change.newest, newest) > 0))
            newest = change.newest;
        store::Statement update(core, "UPDATE tavrin_document_totals SET documents = ?, named = ?, newest = ?, "
                                      "net = ?, tax = ?, gross = ? WHERE rowid = ?");
        update.bind(1, documents);
        update.bind(2, named + change.named);
        bind_value(update.handle(), 3, newest);
        for (int k = 0; k < 3; ++k) {
            store::CentsSum sum = change.sums[k];
            sum.add_sum(sums[k]);
            bind_sum(update, 4 + k, sum);
        }
        update.bind(7, rowid);
        if (!update.run()) return false;
    }
    return store::run(core, "DELETE FROM tavrin_document_changes");
}

#undef TAVRIN_DOCUMENT
#undef TAVRIN_NOTE

std::int64_t data_version(Core& core) {
    store::Statement statement(core, "PRAGMA data_version");
    return statement.step() ? statement.column_int64(0) : -1;
}

// A savepoint of its own, which outside a transaction begins a deferred one: the summary lives in
// the temp schema, so writing it takes no write lock on the account file.
class Savepoint {
public:
    explicit Savepoint(Core& core) : db_(core.db) {
        open_ = sqlite3_exec(db_, "SAVEPOINT tavrin_totals", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Savepoint() { undo(); }
    bool active() const { return open_; }
    // Undoes what was written since the savepoint, which stays open.
    void rewind() {
        if (open_) sqlite3_exec(db_, "ROLLBACK TO tavrin_totals", nullptr, nullptr, nullptr);
    }
    bool keep() {
        if (!open_) return false;
        open_ = false;
        if (sqlite3_exec(db_, "RELEASE tavrin_totals", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
        sqlite3_exec(db_, "ROLLBACK TO tavrin_totals", nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "RELEASE tavrin_totals", nullptr, nullptr, nullptr);
        return false;
    }

private:
    void undo() {
        if (!open_) return;
        rewind();
        sqlite3_exec(db_, "RELEASE tavrin_totals", nullptr, nullptr, nullptr);
        open_ = false;
    }
    sqlite3* db_;
    bool open_ = false;
};

// ---------------------------------------------------------------------------------------------
// tavrin_newest(skip, count, created, rowid)
// ---------------------------------------------------------------------------------------------

// The best skip + count places seen so far, the last of them on top of the heap.
struct Newest {
    std::int64_t skip = 0;
    std::int64_t count = 0;
    std::vector<Place> heap;
};

void newest_step(sqlite3_context* context, int, sqlite3_value** argv) {
    auto** slot = static_cast<Newest**>(sqlite3_aggregate_context(context, sizeof(Newest*)));
    if (!slot) {
        sqlite3_result_error_nomem(context);
        return;
    }
    try {
        if (!*slot) {
            *slot = new Newest;
            (*slot)->skip = std::max<std::int64_t>(0, sqlite3_value_int64(argv[0]));
            (*slot)->count = std::max<std::int64_t>(0, sqlite3_value_int64(argv[1]));
        }
        Newest& n = **slot;
        const std::int64_t keep = n.skip + n.count;
        if (n.count == 0) return;
        Place p = place_of(argv[2], argv[3]);
        if (static_cast<std::int64_t>(n.heap.size()) < keep) {
            n.heap.push_back(std::move(p));
            std::push_heap(n.heap.begin(), n.heap.end(), before);
        } else if (before(p, n.heap.front())) {
            std::pop_heap(n.heap.begin(), n.heap.end(), before);
            n.heap.back() = std::move(p);
            std::push_heap(n.heap.begin(), n.heap.end(), before);
        }
    } catch (const std::bad_alloc&) {
        sqlite3_result_error_nomem(context);
    }
}

// The rowids of the places skip .. skip + count - 1 in list order, as a JSON array.
void newest_final(sqlite3_context* context) {
    auto** slot = static_cast<Newest**>(sqlite3_aggregate_context(context, 0));
    Newest* n = slot ? *slot : nullptr;
    std::string out = "[";
    try {
        if (n) {
            std::sort_heap(n->heap.begin(), n->heap.end(), before);
            for (std::size_t i = static_cast<std::size_t>(std::min<std::int64_t>(n->skip, n->heap.size()));
                 i < n->heap.size(); ++i) {
                if (out.size() > 1) out += ',';
                out += std::to_string(n->heap[i].rowid);
            }
        }
        out += ']';
        sqlite3_result_text(context, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
    } catch (const std::bad_alloc&) {
        sqlite3_result_error_nomem(context);
    }
    delete n;
}

// ---------------------------------------------------------------------------------------------
// tavrin_cents(amount), tavrin_cents_total(cents)
// ---------------------------------------------------------------------------------------------

// The sum being made, on the heap: a 128-bit integer needs more alignment than the aggregate's
// memory has.
store::CentsSum* sum_of(sqlite3_context* context) {
    auto** slot = static_cast<store::CentsSum**>(sqlite3_aggregate_context(context, sizeof(store::CentsSum*)));
    if (slot && !*slot) *slot = new (std::nothrow) store::CentsSum;
    if (!slot || !*slot) sqlite3_result_error_nomem(context);
    return slot ? *slot : nullptr;
}

// Money amounts, each rounded by cents_of: exact where SUM over doubles loses the last units of large
// amounts. NULLs are left out, as SUM leaves them out.
void cents_step(sqlite3_context* context, int, sqlite3_value** argv) {
    store::CentsSum* sum = sum_of(context);
    if (sum && sqlite3_value_type(argv[0]) != SQLITE_NULL) sum->add(sqlite3_value_double(argv[0]));
}

// Sums in whole hundredths; a NULL one has no exact value. Where SUM would stop the query with an
// integer overflow, the total just has no value.
void cents_total_step(sqlite3_context* context, int, sqlite3_value** argv) {
    store::CentsSum* sum = sum_of(context);
    if (!sum) return;
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL)
        sum->add_sum(std::nullopt);
    else
        sum->add_sum(sqlite3_value_int64(argv[0]));
}

// No amount gives 0; a sum without an exact value gives NULL.
void cents_final(sqlite3_context* context) {
    auto** slot = static_cast<store::CentsSum**>(sqlite3_aggregate_context(context, 0));
    store::CentsSum* sum = slot ? *slot : nullptr;
    const std::optional<std::int64_t> cents = sum ? sum->value() : std::optional<std::int64_t>(0);
    if (cents)
        sqlite3_result_int64(context, *cents);
    else
        sqlite3_result_null(context);
    delete sum;
}

}  // namespace

namespace store {

void CentsSum::add(double amount, int sign) {
    // Not below the limit, and no number at all: no fillér to add.
    if (!(std::fabs(amount) < kLargestAmount)) {
        inexact_ += sign;
        return;
    }
    cents_ += sign * cents_of(amount);
}

void CentsSum::add_sum(std::optional<std::int64_t> cents) {
    if (cents)
        cents_ += *cents;
    else
        ++inexact_;
}

std::optional<std::int64_t> sum_column(const Statement& statement, int column) {
    if (statement.column_is_null(column)) return std::nullopt;
    return statement.column_int64(column);
}

std::optional<std::int64_t> CentsSum::value() const {
    if (inexact_ != 0 || cents_ > std::numeric_limits<std::int64_t>::max() ||
        cents_ < std::numeric_limits<std::int64_t>::min())
        return std::nullopt;
    return static_cast<std::int64_t>(cents_);
}

void register_functions(sqlite3* db) {
    sqlite3_create_function_v2(db, "tavrin_newest", 4, SQLITE_UTF8, nullptr, nullptr, newest_step, newest_final,
                               nullptr);
    sqlite3_create_function_v2(db, "tavrin_cents", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, nullptr, cents_step,
                               cents_final, nullptr);
    sqlite3_create_function_v2(db, "tavrin_cents_total", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, nullptr,
                               cents_total_step, cents_final, nullptr);
}

bool ensure_document_totals(Core& core) {
    std::lock_guard<std::recursive_mutex> lock(core.store_mutex);
    if (!core.db) return false;
    bool exists = false, current = false, pending = false;
    {
        Statement trigger(core, "SELECT 1 FROM sqlite_temp_master WHERE type = 'trigger' AND "
                                "name = 'tavrin_documents_update'");
        exists = trigger.step();
    }
    if (exists) {
        Statement state(core, "SELECT data_version FROM tavrin_document_totals_state WHERE id = 1");
        current = state.step() && state.column_int64(0) == data_version(core);
        Statement notes(core, "SELECT 1 FROM tavrin_document_changes LIMIT 1");
        pending = notes.step();
        if (current && !pending) return true;
    }
    // INSERT OR REPLACE removes the old row without a delete trigger unless recursive triggers are on.
    if (!exists && !run(core, "PRAGMA recursive_triggers = ON")) return false;
    Savepoint savepoint(core);
    if (!savepoint.active()) return false;
    if (current && take_changes(core)) return savepoint.keep();
    // Made anew: on this connection's first use, after another connection's commit, or when the
    // noted changes do not fit.
    savepoint.rewind();
    if (exists) {
        if (!run(core, "DELETE FROM tavrin_document_totals") || !run(core, "DELETE FROM tavrin_document_changes"))
            return false;
    } else {
        for (const std::string& text : summary_schema())
            if (!run(core, text)) return false;
    }
    // The version read after the documents: what it names is what was read.
    return fill_summary(core) &&
           run(core, "INSERT OR REPLACE INTO tavrin_document_totals_state (id, data_version) VALUES (1, ?)",
               {Json(static_cast<double>(data_version(core)))}) &&
           savepoint.keep();
}

}  // namespace store
