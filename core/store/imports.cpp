// Imports: clients and items from semicolon-separated files, archived invoices (with the clients and
// items they name) from the import file made out of another program's tax-audit export.
//
// Rows are written in transactions of 100 records: a thousand single-row commits would each wait for
// the disk, and an interrupted import still keeps every batch committed before it. The count that
// the CSV imports report is the number of rows that reached the file.
//
// Every file is read as UTF-8 whatever it was saved in (UTF-16, Windows-1250), and every imported
// text is valid UTF-8 before it is stored: the rows travel on into the cloud records and every view.
#include "core/store/import_check.h"
#include "core/store/store_internal.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <unordered_map>

#include <unicode/ucnv.h>

using json11::Json;

namespace {

constexpr int kBatchSize = 100;

// The length of the well-formed UTF-8 sequence that starts at `at` (no overlong forms, no surrogates,
// nothing above U+10FFFF); 0 when the bytes there are not one.
std::size_t utf8_sequence(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char c = byte(at);
    if (c < 0x80) return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    return length;
}

bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

// The text with every byte that is not part of a well-formed sequence replaced by U+FFFD.
std::string utf8_mended(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

// `bytes` in the encoding `from`, converted to UTF-8 by ICU (characters it cannot read become U+FFFD).
std::optional<std::string> converted_to_utf8(std::string_view bytes, const char* from) {
    // Every byte of the sources read here gives at most three bytes of UTF-8.
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX / 3 - 16)) return std::nullopt;
    std::string out(bytes.size() * 3 + 16, '\0');
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = ucnv_convert("UTF-8", from, out.data(), static_cast<int32_t>(out.size()), bytes.data(),
                                        static_cast<int32_t>(bytes.size()), &status);
    if (U_FAILURE(status) || length < 0 || static_cast<std::size_t>(length) > out.size()) return std::nullopt;
    out.resize(static_cast<std::size_t>(length));
    return out;
}

// The file's text as UTF-8, whatever a spreadsheet program saved it as. A byte-order mark names the
// encoding (UTF-8, UTF-16 little or big endian) and is dropped, so that it does not sit in the first
// name. Without one, a file that is not UTF-8 comes from a Hungarian Windows program: Windows-1250.
// Nothing that is not valid UTF-8 leaves here. False when the file cannot be read.
bool read_text_file(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>{});
    if (in.bad()) return false;
    std::optional<std::string> decoded;
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.erase(0, 3);
        decoded = std::move(bytes);
    } else if (bytes.starts_with("\xFF\xFE")) {
        decoded = converted_to_utf8(std::string_view(bytes).substr(2), "UTF-16LE");
    } else if (bytes.starts_with("\xFE\xFF")) {
        decoded = converted_to_utf8(std::string_view(bytes).substr(2), "UTF-16BE");
    } else if (is_utf8(bytes)) {
        decoded = std::move(bytes);
    } else {
        decoded = converted_to_utf8(bytes, "windows-1250");
    }
    if (!decoded) return false;
    text = is_utf8(*decoded) ? std::move(*decoded) : utf8_mended(*decoded);
    return true;
}

// The value with every text in it valid UTF-8 (object keys included), untouched when it already is.
Json valid_texts(const Json& value) {
    if (value.is_string()) return is_utf8(value.string_value()) ? value : Json(utf8_mended(value.string_value()));
    if (value.is_array()) {
        Json::array items;
        items.reserve(value.array_items().size());
        for (const Json& item : value.array_items()) items.push_back(valid_texts(item));
        return Json(std::move(items));
    }
    if (value.is_object()) {
        Json::object members;
        for (const auto& [key, member] : value.object_items())
            members[is_utf8(key) ? key : utf8_mended(key)] = valid_texts(member);
        return Json(std::move(members));
    }
    return value;
}

// Imported records reach the store (and from there the cloud) only with valid UTF-8 texts.
Json::object valid_record(Json::object record) {
    for (auto& member : record) {
        const Json& value = member.second;
        if ((value.is_string() && !is_utf8(value.string_value())) || value.is_array() || value.is_object())
            member.second = valid_texts(value);
    }
    return record;
}

// Calls f with every line and its number (from 1); a line ends at a line feed, which is not part of it.
template <class F>
void for_each_line(std::string_view text, F&& f) {
    for (int number = 1; !text.empty(); ++number) {
        const std::size_t end = text.find('\n');
        f(std::string(text.substr(0, end)), number);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

// A line with nothing in it but blanks and quotes: no record was meant, and none is missed.
bool blank_line(const std::string& line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '"'; });
}

// Columns of a line: double quotes are dropped (there is no quoting), every semicolon separates.
std::vector<std::string> columns_of(std::string line) {
    std::erase(line, '"');
    return split(';', std::move(line));
}

std::string note_text(std::string text) {
    std::erase(text, '\r');
    return normalize_whitespace(std::move(text));
}

// The longest leading decimal number (a point as decimal separator); 0 when there is none.
double leading_number(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i < text.size() && text[i] == '+') ++i;
    const std::size_t digits = text[i] == '-' ? i + 1 : i;
    // Only digits may start the number: from_chars would also read "inf" and "nan".
    const bool starts = digits < text.size() && ((text[digits] >= '0' && text[digits] <= '9') ||
                                                 (text[digits] == '.' && digits + 1 < text.size() &&
                                                  text[digits + 1] >= '0' && text[digits + 1] <= '9'));
    if (!starts) return 0;
    double value = 0;
    const auto result = std::from_chars(text.data() + i, text.data() + text.size(), value, std::chars_format::general);
    return result.ec == std::errc() ? value : 0;
}

const std::string& text_member(const Json::object& record, const std::string& name) {
    static const std::string empty;
    auto found = record.find(name);
    return found == record.end() ? empty : found->second.string_value();
}

// Finds stored clients for the duplicate test: one with the same name and postcode, or with the same
// non-empty identifier number. Names have an index; identifier numbers have none, and a scan of the
// table per line would make an import cost lines times clients. So the identifier numbers are read
// into memory, and read again only when the database may have changed behind the import's back:
// by another thread of this program between two batches, or by another program.
class ClientFinder {
public:
    explicit ClientFinder(Core& core) : core_(core) {}

    // The first matching client's record name, or an empty text. Call inside a batch.
    std::string find(const std::string& name, const std::string& postcode, const std::string& identifier) {
        if (!by_name_) by_name_.emplace(core_, "SELECT recordName FROM clients WHERE name = ? AND postcode = ?");
        by_name_->reset();
        by_name_->bind(1, name).bind(2, postcode);
        if (by_name_->step()) return by_name_->column_text(0);
        if (identifier.empty()) return "";
        auto found = identifiers_.find(identifier);
        return found == identifiers_.end() ? std::string() : found->second;
    }
    // A client the import has just written.
    void added(const std::string& identifier, const std::string& record_name) {
        if (!identifier.empty()) identifiers_.emplace(identifier, record_name);
    }

    // A batch begins: the store mutex is held from here to batch_ends().
    void batch_begins() {
        const State now = state();
        if (loaded_ && now == seen_) return;
        identifiers_.clear();
        store::Statement statement(
            core_, "SELECT identifier_number, recordName FROM clients WHERE LENGTH(identifier_number) > 0 ORDER BY rowid");
        while (statement.step()) identifiers_.emplace(statement.column_text(0), statement.column_text(1));
        loaded_ = true;
    }
    // A batch is about to commit; whatever changes after this was not made by the import.
    void batch_ends() {
        by_name_.reset();
        seen_ = state();
    }
    // The batch was not kept: the numbers it added are not in the store.
    void batch_lost() { loaded_ = false; }

private:
    // Rows changed through this connection, and the version that changes when another connection commits.
    struct State {
        sqlite3* db = nullptr;
        sqlite3_int64 changes = -1;
        sqlite3_int64 version = -1;
        bool operator==(const State&) const = default;
    };
    State state() {
        State now;
        now.db = core_.db;
        if (!now.db) return now;
        now.changes = sqlite3_total_changes64(now.db);
        store::Statement statement(core_, "PRAGMA data_version");
        if (statement.step()) now.version = statement.column_int64(0);
        return now;
    }

    Core& core_;
    // Prepared once per batch: the statement must not outlive the batch's hold on the store.
    std::optional<store::Statement> by_name_;
    std::unordered_map<std::string, std::string> identifiers_;
    State seen_;
    bool loaded_ = false;
};

// Commits the rows written so far every kBatchSize records. The transaction holds the store
// mutex, so no other thread's statements can slip in between a duplicate test and its write.
class Batches {
public:
    Batches(Core& core, ClientFinder* clients = nullptr) : core_(core), clients_(clients) {}
    ~Batches() { commit(); }

    // Opens a transaction unless one is open.
    void begin() {
        if (transaction_) return;
        transaction_.emplace(core_);
        if (clients_) clients_->batch_begins();
    }
    void written() { ++pending_; }
    // Ends the transaction once it holds a full batch, or once it has looked at as many lines
    // (a file of duplicates must not keep the store to itself until its end).
    void end_of_record() {
        if (pending_ >= kBatchSize || ++examined_ >= kBatchSize) commit();
    }
    void commit() {
        if (transaction_) {
            if (clients_) clients_->batch_ends();
            // A transaction that could not begin left each write to commit on its own.
            const bool kept = transaction_->active() ? transaction_->commit() : true;
            if (kept)
                committed_ += pending_;
            else if (clients_)
                clients_->batch_lost();
            transaction_.reset();
        }
        pending_ = 0;
        examined_ = 0;
    }
    int committed() const { return committed_; }

private:
    Core& core_;
    ClientFinder* clients_;
    std::optional<store::Transaction> transaction_;
    int pending_ = 0;
    int examined_ = 0;
    int committed_ = 0;
};

std::string stored_item(Core& core, const std::string& name) {
    auto rows = store::rows(core, "SELECT recordName FROM items WHERE name = ?", {name});
    if (rows.empty()) return "";
    return text_member(rows.front(), "recordName");
}

bool stored_document_number(Core& core, const std::string& number_formatted) {
    return !store::rows(core, "SELECT recordName FROM documents WHERE number_formatted = ?", {number_formatted}).empty();
}

const std::string& first_text(const Json& list, const char* member) { return list[0][member].string_value(); }

// Milliseconds of the issue date's local midnight, read as a date-time with the daylight-saving flag
// off. A text that does not begin with a date gives -1000: times before 1970 count as failed, as the
// stored archives have them.
double archive_created(const std::string& issue_date) {
    const std::string text = issue_date + "T00:00:00.000Z";
    std::tm tm{};
    strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    tm.tm_isdst = 0;
    std::time_t seconds = mktime(&tm);
    if (seconds < 0) seconds = -1;
    return static_cast<double>(seconds) * 1000.0;
}

}  // namespace

bool read_import_text(const std::string& path, std::string& text) {
    return read_text_file(path, text);
}

ImportReport import_clients_reported(Core& core, const std::string& path) {
    ImportReport report;
    std::string text;
    if (!read_text_file(path, text)) return report;
    report.readable = true;
    const Json::array countries = core.setting("countries").array_items();
    const Json currencies = core.setting("currencies");
    const Json payments = core.setting("payments");
    const Json terms = core.setting("terms");
    ClientFinder finder(core);
    Batches batches(core, &finder);
    for_each_line(text, [&](std::string line, int number) {
        if (blank_line(line)) return;
        auto skip = [&](ImportSkip reason) { report.skipped[reason].push_back(number); };
        std::vector<std::string> columns = columns_of(std::move(line));
        if (columns.size() != 10) return skip(ImportSkip::wrong_fields);
        std::string name = normalize_whitespace(columns[0]);
        if (name.empty()) return skip(ImportSkip::no_name);
        std::string country = to_upper(columns[2]);
        if (find_object(countries, false, "code", country).empty()) return skip(ImportSkip::unknown_country);
        std::string postcode = normalize_whitespace(columns[6]);

        batches.begin();
        if (!finder.find(name, postcode, normalize_whitespace(columns[1])).empty()) {
            skip(ImportSkip::already_stored);
            batches.end_of_record();
            return;
        }

        const std::string& identifier = columns[1];
        const char* status = core.is_hungarian ? (identifier.size() == 13 ? "DOMESTIC" : "PRIVATE_PERSON") : "CUSTOMER";
        Json::object client{
            {"recordName", new_record_name()},
            {"status", status},
            {"currency_code", first_text(currencies, "code")},
            {"payment_id", first_text(payments, "id")},
            {"term_id", first_text(terms, "id")},
            {"name", std::move(name)},
            {"identifier_number", identifier},
            {"other", ""},
            {"country_code", std::move(country)},
            // The State column is kept, like every other address column.
            {"state", normalize_whitespace(columns[3])},
            {"city", normalize_whitespace(columns[4])},
            {"street", normalize_whitespace(columns[5])},
            {"postcode", std::move(postcode)},
            {"email", normalize_whitespace(columns[7])},
            {"phone", normalize_whitespace(columns[8])},
            {"note", note_text(columns[9])},
            {"synced", 0},
        };
        const std::string record_name = client["recordName"].string_value();
        if (core.save_record(valid_record(std::move(client)), "clients")) {
            finder.added(identifier, record_name);
            batches.written();
        }
        batches.end_of_record();
    });
    batches.commit();
    report.count = batches.committed();
    return report;
}

ImportReport import_items_reported(Core& core, const std::string& path) {
    ImportReport report;
    std::string text;
    if (!read_text_file(path, text)) return report;
    report.readable = true;
    const Json::array taxes = core.setting("taxes").array_items();
    const Json::array units = core.setting("units").array_items();
    Batches batches(core);
    for_each_line(text, [&](std::string line, int number) {
        if (blank_line(line)) return;
        auto skip = [&](ImportSkip reason) { report.skipped[reason].push_back(number); };
        std::vector<std::string> columns = columns_of(std::move(line));
        if (columns.size() != 8) return skip(ImportSkip::wrong_fields);
        std::string name = normalize_whitespace(columns[0]);
        if (name.empty()) return skip(ImportSkip::no_name);
        // Tax and unit names are compared as written, without trimming.
        const Json::object tax = find_object(taxes, false, "name", columns[5]);
        const Json::object unit = find_object(units, false, "name", columns[6]);
        if (tax.empty() || unit.empty()) return skip(ImportSkip::unknown_tax);

        batches.begin();
        if (!stored_item(core, name).empty()) {
            skip(ImportSkip::already_stored);
            batches.end_of_record();
            return;
        }

        Json::object item{
            {"recordName", new_record_name()},
            {"type", "PRODUCT"},
            {"name", std::move(name)},
            {"description", normalize_whitespace(columns[1])},
            {"sku", normalize_whitespace(columns[2])},
            {"upc", normalize_whitespace(columns[3])},
            {"selling_price", leading_number(columns[4])},
            {"tax_id", text_member(tax, "id")},
            {"unit_id", text_member(unit, "id")},
            {"price_type", "NET"},
            {"note", note_text(columns[7])},
            {"synced", 0},
        };
        if (core.save_record(valid_record(std::move(item)), "items")) batches.written();
        batches.end_of_record();
    });
    batches.commit();
    report.count = batches.committed();
    return report;
}

void Core::import_clients(std::string path, std::function<void(int)> on_done) {
    const int count = import_clients_reported(*this, path).count;
    if (on_done) on_done(count);
}

void Core::import_items(std::string path, std::function<void(int)> on_done) {
    const int count = import_items_reported(*this, path).count;
    if (on_done) on_done(count);
}

void Core::import_invoices(std::string path, int mode, std::function<void(int)> on_done) {
    int count = 0;
    std::string text;
    if (read_text_file(path, text)) {
        text.erase(std::min(text.find('\n'), text.size()));
        // Escapes in the file can still spell texts that are not UTF-8 (a lone surrogate, say).
        const Json file = valid_texts(Json::parse(text));
        const Json::array& invoices = file.array_items();

        const bool write_clients = mode == 0 || mode == 1 || mode == 3 || mode == 4;
        const bool write_items = mode == 0 || mode == 2 || mode == 3 || mode == 5;
        const bool write_documents = mode == 0 || mode == 4 || mode == 5;

        const Json::array taxes = setting("taxes").array_items();
        const Json::array units = setting("units").array_items();
        const Json payments = setting("payments");
        const Json terms = setting("terms");
        const Json templates = setting("templates");
        const std::string first_tax = taxes.empty() ? std::string() : taxes.front()["id"].string_value();
        // An exempt line keeps its 0 %: the first tax without a rate, when the list has one.
        std::string zero_tax = first_tax;
        for (const Json& tax : taxes) {
            if (tax["rate"].number_value() == 0 && tax["rate2"].number_value() == 0) {
                zero_tax = tax["id"].string_value();
                break;
            }
        }

        ClientFinder finder(*this);
        Batches batches(*this, &finder);
        std::string previous_issue_date;
        for (const Json& invoice : invoices) {
            batches.begin();
            auto text_of = [&invoice](const char* name) -> const std::string& { return invoice[name].string_value(); };

            // Client.
            std::string client_name =
                finder.find(text_of("client_name"), text_of("client_postcode"), text_of("client_identifier_number"));
            if (client_name.size() != 36 && write_clients) {
                Json::object client{
                    {"recordName", new_record_name()},
                    {"status", invoice["client_status"]},
                    {"currency_code", text_of("currency")},
                    {"payment_id", first_text(payments, "id")},
                    {"term_id", first_text(terms, "id")},
                    {"name", text_of("client_name")},
                    {"identifier_number", invoice["client_identifier_number"]},
                    {"other", ""},
                    {"country_code", "HU"},
                    {"state", ""},
                    {"city", invoice["client_city"]},
                    {"street", invoice["client_street"]},
                    {"postcode", invoice["client_postcode"]},
                    {"email", ""},
                    {"phone", ""},
                    {"note", ""},
                    {"synced", 0},
                };
                const std::string record_name = client["recordName"].string_value();
                if (save_record(valid_record(std::move(client)), "clients")) {
                    client_name = record_name;
                    finder.added(invoice["client_identifier_number"].string_value(), record_name);
                    batches.written();
                }
            }

            // Lines, with their items.
            std::vector<Json> lines;
            for (const Json& source : invoice["lines"].array_items()) {
                Json::object line = source.object_items();
                const std::string item_name = text_member(line, "item_name");
                std::string item = stored_item(*this, item_name);

                const int rate = source["tax_rate"].int_value();
                std::string tax_id = rate == 0 ? zero_tax : first_tax;
                if (rate > 0) {
                    for (const Json& tax : taxes) {
                        const int tax_rate = tax["rate"].int_value();
                        if (tax_rate > 0 && tax_rate == rate) {
                            tax_id = tax["id"].string_value();
                            break;
                        }
                    }
                }
                const std::string unit_id =
                    text_member(find_object(units, false, "name", source["unit_name"].string_value()), "id");

                if (item.size() != 36 && write_items) {
                    Json::object record{
                        {"recordName", new_record_name()},
                        {"type", "PRODUCT"},
                        {"name", item_name},
                        {"description", ""},
                        {"sku", ""},
                        {"upc", ""},
                        {"selling_price", source["price"].number_value()},
                        {"tax_id", tax_id},
                        {"unit_id", unit_id},
                        {"price_type", "NET"},
                        {"note", ""},
                        {"synced", 0},
                    };
                    const std::string record_name = record["recordName"].string_value();
                    if (save_record(valid_record(std::move(record)), "items")) {
                        item = record_name;
                        batches.written();
                    }
                }

                const std::string tax_name = std::to_string(rate) + "%";
                line["itemRecordName"] = item;
                line["item_type"] = "PRODUCT";
                line["price_type"] = "NET";
                line["tax_id"] = tax_id;
                line["tax_name"] = tax_name;
                line["tax_summary_name"] = tax_name;
                line["unit_id"] = unit_id;
                lines.emplace_back(valid_record(std::move(line)));
            }

            // Document, unless an invoice of that number is stored.
            const std::string& number_formatted = text_of("number_formatted");
            const std::string& issue_date = text_of("issue_date");
            if (write_documents && !stored_document_number(*this, number_formatted)) {
                double created = archive_created(issue_date);
                if (issue_date == previous_issue_date) created -= 1;

                const Json::object payment = find_object(payments.array_items(), true, "payment_name", text_of("payment_name"));
                auto address = [&](const std::string& prefix) {
                    return formatted_address(false, {{"country_code", text_of((prefix + "country_code").c_str())},
                                                     {"state", ""},
                                                     {"city", text_of((prefix + "city").c_str())},
                                                     {"street", text_of((prefix + "street").c_str())},
                                                     {"postcode", text_of((prefix + "postcode").c_str())}});
                };
                Json::object document{
                    {"recordName", "ARCHIVE-" + number_formatted},
                    {"clientRecordName", client_name},
                    {"payment_id", text_member(payment, "id")},
                    {"language_code", "hu"},
                    {"currency_code", text_of("currency")},
                    {"type", "ARCHIVE_INVOICE"},
                    {"reason", ""},
                    {"number", 0},
                    {"number_formatted", number_formatted},
                    {"exchange_rate", 1},
                    {"template", templates["INVOICE"]},
                    {"paid", 1},
                    {"issue_date", issue_date},
                    {"delivery_date", text_of("delivery_date")},
                    {"due_date", text_of("due_date")},
                    {"supplier_name", text_of("supplier_name")},
                    {"supplier_country_code", text_of("supplier_country_code")},
                    {"supplier_state", ""},
                    {"supplier_city", text_of("supplier_city")},
                    {"supplier_street", text_of("supplier_street")},
                    {"supplier_postcode", text_of("supplier_postcode")},
                    {"supplier_address", address("supplier_")},
                    {"supplier_identifier_number", invoice["supplier_identifier_number"]},
                    {"supplier_other", ""},
                    {"client_status", text_of("client_status")},
                    {"client_name", text_of("client_name")},
                    {"client_country_code", text_of("client_country_code")},
                    {"client_state", ""},
                    {"client_city", text_of("client_city")},
                    {"client_street", text_of("client_street")},
                    {"client_postcode", text_of("client_postcode")},
                    {"client_address", address("client_")},
                    {"client_identifier_number", text_of("client_identifier_number")},
                    {"client_other", ""},
                    {"client_email", ""},
                    {"client_phone", ""},
                    {"payment_name", text_member(payment, "payment_name")},
                    {"payment_bank", text_member(payment, "bank")},
                    {"header_note", ""},
                    {"footer_note", ""},
                    {"total_net_amount", invoice["total_net_amount"].number_value()},
                    {"total_tax_amount", invoice["total_tax_amount"].number_value()},
                    {"total_gross_amount", invoice["total_gross_amount"].number_value()},
                    {"created", created},
                    {"synced", 0},
                };
                if (!save_document(std::move(lines), false, valid_record(std::move(document))).empty()) batches.written();
            }

            previous_issue_date = issue_date;
            ++count;
            batches.end_of_record();
        }
        batches.commit();
    }
    if (on_done) on_done(count);
}
