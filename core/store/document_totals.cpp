// The count and totals of the document lists without reading every document: a per-connection
// summary in the temp schema (not part of the account file) with one row per type, issue date,
// currency, payment method, paid flag and whether the document has a search text. Each row holds
// how many documents it stands for (and how many of them have a record name), the sums of their
// three totals converted by each document's own exchange rate, and an upper bound of their creation
// times. The lists filter these rows with the same conditions they put on the documents, since every
// document of a row has the same values in the filtered columns.
//
// Triggers on the documents table keep the summary exact whoever writes the table on this
// connection; a commit by another connection (another instance of the program on the same file) has
// it rebuilt, and so does reopening the database, as the temp schema goes with the connection.
//
// Also here: tavrin_newest, the aggregate that picks the newest rows of a list in the same pass that
// counts and sums them.
#include "core/store/store_internal.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

using json11::Json;

namespace {

// ---------------------------------------------------------------------------------------------
// The summary
// ---------------------------------------------------------------------------------------------

#define TAVRIN_KEY_COLUMNS "type, issue_date, currency_code, payment_id, paid, searchable"

// A document's converted amount as the lists sum it; SUM skips what is NULL, adding 0 does the same.
#define TAVRIN_AMOUNT(row, column) "coalesce(" row "." column " * " row ".exchange_rate, 0.0)"

// The rounding error of sum + value, so that adding and later taking away a document leaves the sum
// as it was (Neumaier's compensated summation).
#define TAVRIN_ERROR(sum, value)                                                                       \
    "CASE WHEN abs(" sum ") >= abs(" value ") THEN (" sum " - (" sum " + " value ")) + " value " ELSE (" \
    value " - (" sum " + " value ")) + " sum " END"

// The summary row of a document, matched with IS: a NULL value has its own row (a UNIQUE index lets
// NULLs repeat, so such a row may stand several times; taking a document from any of them is right).
#define TAVRIN_ROW_OF(row)                                                                                 \
    "type IS " row ".type AND issue_date IS " row ".issue_date AND currency_code IS " row                  \
    ".currency_code AND payment_id IS " row ".payment_id AND paid IS " row ".paid AND searchable IS (" row \
    ".search IS NOT NULL)"

#define TAVRIN_ADD_DOCUMENT(row)                                                                                    \
    "INSERT INTO tavrin_document_totals (" TAVRIN_KEY_COLUMNS                                                       \
    ", documents, named, newest, net, net_error, tax, tax_error, gross, gross_error) VALUES (" row ".type, " row    \
    ".issue_date, " row ".currency_code, " row ".payment_id, " row ".paid, " row ".search IS NOT NULL, 1, " row     \
    ".recordName IS NOT NULL, " row ".created, " TAVRIN_AMOUNT(row, "total_net_amount") ", 0.0, " TAVRIN_AMOUNT(   \
        row, "total_tax_amount") ", 0.0, " TAVRIN_AMOUNT(row, "total_gross_amount") ", 0.0) "                      \
    "ON CONFLICT (" TAVRIN_KEY_COLUMNS ") DO UPDATE SET documents = documents + 1, named = named + excluded.named, " \
    "newest = CASE WHEN newest IS NULL OR excluded.newest > newest THEN excluded.newest ELSE newest END, "          \
    "net = net + excluded.net, net_error = net_error + " TAVRIN_ERROR("net", "excluded.net") ", "                  \
    "tax = tax + excluded.tax, tax_error = tax_error + " TAVRIN_ERROR("tax", "excluded.tax") ", "                  \
    "gross = gross + excluded.gross, gross_error = gross_error + " TAVRIN_ERROR("gross", "excluded.gross") ";"

// The creation-time bound is left as it is: it only has to be at least the newest document's.
#define TAVRIN_REMOVE_DOCUMENT(row)                                                                                  \
    "UPDATE tavrin_document_totals SET documents = documents - 1, named = named - (" row                            \
    ".recordName IS NOT NULL), "                                                                                     \
    "net = net + -" TAVRIN_AMOUNT(row, "total_net_amount") ", net_error = net_error + " TAVRIN_ERROR(               \
        "net", "-" TAVRIN_AMOUNT(row, "total_net_amount")) ", "                                                      \
    "tax = tax + -" TAVRIN_AMOUNT(row, "total_tax_amount") ", tax_error = tax_error + " TAVRIN_ERROR(               \
        "tax", "-" TAVRIN_AMOUNT(row, "total_tax_amount")) ", "                                                      \
    "gross = gross + -" TAVRIN_AMOUNT(row, "total_gross_amount") ", gross_error = gross_error + " TAVRIN_ERROR(     \
        "gross", "-" TAVRIN_AMOUNT(row, "total_gross_amount")) " "                                                   \
    "WHERE rowid = (SELECT rowid FROM tavrin_document_totals WHERE " TAVRIN_ROW_OF(row) " LIMIT 1);"                \
    "DELETE FROM tavrin_document_totals WHERE " TAVRIN_ROW_OF(row) " AND documents <= 0;"

// Statements that make the summary, in order. The trigger named last is the one looked for.
const std::vector<std::string>& summary_schema() {
    static const std::vector<std::string> texts = {
        "DROP TABLE IF EXISTS temp.tavrin_document_totals_state",
        "DROP TABLE IF EXISTS temp.tavrin_document_totals",
        "CREATE TEMP TABLE tavrin_document_totals_state (id INTEGER PRIMARY KEY, data_version INTEGER)",
        // The key columns have the declared types of the documents' columns, so that the lists'
        // conditions compare and match their values exactly as they do the documents'.
        "CREATE TEMP TABLE tavrin_document_totals (type VARCHAR, issue_date VARCHAR, currency_code VARCHAR, "
        "payment_id VARCHAR, paid INT, searchable INT, documents INT NOT NULL, named INT NOT NULL, newest BIGINT, "
        "net DOUBLE NOT NULL, net_error DOUBLE NOT NULL, tax DOUBLE NOT NULL, tax_error DOUBLE NOT NULL, "
        "gross DOUBLE NOT NULL, gross_error DOUBLE NOT NULL)",
        "CREATE UNIQUE INDEX temp.tavrin_document_totals_key ON tavrin_document_totals (" TAVRIN_KEY_COLUMNS ")",
        "CREATE TEMP TRIGGER tavrin_documents_insert AFTER INSERT ON main.documents BEGIN " TAVRIN_ADD_DOCUMENT(
            "NEW") " END",
        "CREATE TEMP TRIGGER tavrin_documents_delete AFTER DELETE ON main.documents BEGIN " TAVRIN_REMOVE_DOCUMENT(
            "OLD") " END",
        "CREATE TEMP TRIGGER tavrin_documents_update AFTER UPDATE OF type, issue_date, currency_code, payment_id, "
        "paid, search, recordName, created, exchange_rate, total_net_amount, total_tax_amount, total_gross_amount "
        "ON main.documents BEGIN " TAVRIN_REMOVE_DOCUMENT("OLD") TAVRIN_ADD_DOCUMENT("NEW") " END",
    };
    return texts;
}

const char* const kFill =
    "INSERT INTO tavrin_document_totals (" TAVRIN_KEY_COLUMNS
    ", documents, named, newest, net, net_error, tax, tax_error, gross, gross_error) SELECT type, issue_date, "
    "currency_code, payment_id, paid, search IS NOT NULL, COUNT(*), COUNT(recordName), MAX(created), "
    "SUM(" TAVRIN_AMOUNT("documents", "total_net_amount") "), 0.0, SUM(" TAVRIN_AMOUNT(
        "documents", "total_tax_amount") "), 0.0, SUM(" TAVRIN_AMOUNT("documents", "total_gross_amount") "), 0.0 "
    "FROM main.documents GROUP BY type, issue_date, currency_code, payment_id, paid, search IS NOT NULL";

#undef TAVRIN_KEY_COLUMNS
#undef TAVRIN_AMOUNT
#undef TAVRIN_ERROR
#undef TAVRIN_ROW_OF
#undef TAVRIN_ADD_DOCUMENT
#undef TAVRIN_REMOVE_DOCUMENT

std::int64_t data_version(Core& core) {
    store::Statement statement(core, "PRAGMA data_version");
    return statement.step() ? statement.column_int64(0) : -1;
}

bool summary_current(Core& core) {
    {
        store::Statement trigger(core, "SELECT 1 FROM sqlite_temp_master WHERE type = 'trigger' AND "
                                       "name = 'tavrin_documents_update'");
        if (!trigger.step()) return false;
    }
    store::Statement state(core, "SELECT data_version FROM tavrin_document_totals_state WHERE id = 1");
    return state.step() && state.column_int64(0) == data_version(core);
}

// ---------------------------------------------------------------------------------------------
// tavrin_newest(skip, count, created, rowid)
// ---------------------------------------------------------------------------------------------

// One row's place: its creation time as SQLite orders values (NULL, then numbers, then texts, then
// blobs; texts and blobs byte by byte), then its rowid.
struct Place {
    int kind = 0;  // 0 NULL, 1 number, 2 text, 3 blob
    bool whole = false;
    std::int64_t integer = 0;
    double real = 0;
    std::string bytes;
    std::int64_t rowid = 0;
};

int compare_created(const Place& a, const Place& b) {
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
    const int order = compare_created(a, b);
    return order != 0 ? order > 0 : a.rowid < b.rowid;
}

Place place_of(sqlite3_value* created, sqlite3_value* rowid) {
    Place p;
    switch (sqlite3_value_type(created)) {
        case SQLITE_INTEGER:
            p.kind = 1, p.whole = true, p.integer = sqlite3_value_int64(created);
            break;
        case SQLITE_FLOAT:
            p.kind = 1, p.real = sqlite3_value_double(created);
            break;
        case SQLITE_TEXT:
        case SQLITE_BLOB: {
            const bool text = sqlite3_value_type(created) == SQLITE_TEXT;
            const void* data = text ? static_cast<const void*>(sqlite3_value_text(created)) : sqlite3_value_blob(created);
            const int size = sqlite3_value_bytes(created);
            p.kind = text ? 2 : 3;
            if (data && size > 0) p.bytes.assign(static_cast<const char*>(data), static_cast<std::size_t>(size));
            break;
        }
        default:
            break;
    }
    p.rowid = sqlite3_value_int64(rowid);
    return p;
}

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

}  // namespace

namespace store {

void register_functions(sqlite3* db) {
    sqlite3_create_function_v2(db, "tavrin_newest", 4, SQLITE_UTF8, nullptr, nullptr, newest_step, newest_final,
                               nullptr);
}

bool ensure_document_totals(Core& core) {
    if (!core.db) return false;
    if (summary_current(core)) return true;
    // INSERT OR REPLACE removes the old row without a delete trigger unless recursive triggers are on.
    if (!run(core, "PRAGMA recursive_triggers = ON")) return false;
    Transaction transaction(core);
    if (!transaction.active()) return false;
    bool exists = false;
    {
        Statement trigger(core, "SELECT 1 FROM sqlite_temp_master WHERE type = 'trigger' AND "
                                "name = 'tavrin_documents_update'");
        exists = trigger.step();
    }
    if (exists) {
        if (!run(core, "DELETE FROM tavrin_document_totals")) return false;
    } else {
        for (const std::string& text : summary_schema())
            if (!run(core, text)) return false;
    }
    return run(core, kFill) &&
           run(core, "INSERT OR REPLACE INTO tavrin_document_totals_state (id, data_version) VALUES (1, ?)",
               {Json(static_cast<double>(data_version(core)))}) &&
           transaction.commit();
}

}  // namespace store
