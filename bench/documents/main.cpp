// Document saves and stock postings.
//
// 1. Saving a new invoice of 10, 100 and 1,000 lines, against the raw SQLite floor measured in the
//    same run: the very rows that the save wrote (lines and document), inserted again under new keys
//    with one prepared statement per table in one transaction.
// 2. Posting a one-line sale (and the cancellation of one) for an item with 1,000, 10,000 and
//    100,000 earlier movements: receipts and sales alternating, every earlier layer used up, the
//    stock in one late receipt. The first posting after opening the account is shown apart: it
//    summarises the item's history once per connection.
//
// Times are medians over repeated runs; each save and posting is its own committed transaction.
#include "bench/bench_common.h"
#include "core/Core.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using json11::Json;

namespace {

using bench::Clock;
using bench::ms_since;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

class Folder {
public:
    Folder() {
        std::string pattern = (base() / "tavrin-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path = pattern + "/";
    }
    ~Folder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;

    // A memory file system when there is one, so that the figures show the work of the store rather
    // than the disk's sync latency (the same for the save and its floor); TAVRIN_BENCH_DIR overrides.
    static std::filesystem::path base() {
        if (const char* dir = std::getenv("TAVRIN_BENCH_DIR"); dir && *dir) return dir;
        std::error_code ec;
        if (std::filesystem::is_directory("/dev/shm", ec)) return "/dev/shm";
        return std::filesystem::temp_directory_path();
    }
};

std::unique_ptr<Core> open_core(const std::string& folder) {
    std::vector<std::map<int, std::string>> weekdays = {{{1, "H"}}, {{2, "K"}}, {{3, "Sze"}}, {{4, "Cs"}},
                                                        {{5, "P"}}, {{6, "Szo"}}, {{0, "V"}}};
    auto core = std::make_unique<Core>(folder, folder, std::map<std::string, std::string>{{"country_code", "HU"}},
                                       std::vector<std::string>(12, "x"), weekdays, "hu", "0,120,215");
    core->open_database();
    if (!core->db) std::abort();
    return core;
}

void exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql, sqlite3_errmsg(db));
        std::abort();
    }
}

// Binds a value read back from the store (texts, numbers, nulls) as it is.
void bind_value(sqlite3_stmt* statement, int index, const Json& value) {
    if (value.is_string())
        sqlite3_bind_text(statement, index, value.string_value().c_str(), -1, SQLITE_STATIC);
    else if (value.is_number())
        sqlite3_bind_double(statement, index, value.number_value());
    else
        sqlite3_bind_null(statement, index);
}

std::vector<std::string> columns(Core& core, const std::string& table) {
    std::vector<std::string> out;
    for (auto& row : core.query("PRAGMA table_info('" + table + "')")) out.push_back(row["name"].string_value());
    return out;
}

// The floor: the same rows written with one prepared statement per table in one transaction.
double raw_insert(Core& core, const Json::object& document, const std::vector<Json::object>& lines, int round) {
    const auto document_columns = columns(core, "documents");
    const auto line_columns = columns(core, "document_lines");
    auto placeholders = [](std::size_t n) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += i ? ", ?" : "?";
        return text;
    };
    const std::string name = "RAW-" + std::to_string(round);
    const auto start = Clock::now();
    exec(core.db, "BEGIN IMMEDIATE");
    sqlite3_stmt* statement = nullptr;
    std::string sql = "INSERT INTO document_lines VALUES (" + placeholders(line_columns.size()) + ")";
    sqlite3_prepare_v2(core.db, sql.c_str(), -1, &statement, nullptr);
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const std::string id = name + "-" + std::to_string(l + 1);
        for (std::size_t c = 0; c < line_columns.size(); ++c) {
            const std::string& column = line_columns[c];
            auto found = lines[l].find(column);
            if (column == "id")
                sqlite3_bind_text(statement, static_cast<int>(c + 1), id.c_str(), -1, SQLITE_STATIC);
            else if (column == "documentRecordName")
                sqlite3_bind_text(statement, static_cast<int>(c + 1), name.c_str(), -1, SQLITE_STATIC);
            else
                bind_value(statement, static_cast<int>(c + 1), found == lines[l].end() ? Json() : found->second);
        }
        if (sqlite3_step(statement) != SQLITE_DONE) std::abort();
        sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
    sql = "INSERT INTO documents VALUES (" + placeholders(document_columns.size()) + ")";
    sqlite3_prepare_v2(core.db, sql.c_str(), -1, &statement, nullptr);
    for (std::size_t c = 0; c < document_columns.size(); ++c) {
        auto found = document.find(document_columns[c]);
        if (document_columns[c] == "recordName")
            sqlite3_bind_text(statement, static_cast<int>(c + 1), name.c_str(), -1, SQLITE_STATIC);
        else
            bind_value(statement, static_cast<int>(c + 1), found == document.end() ? Json() : found->second);
    }
    if (sqlite3_step(statement) != SQLITE_DONE) std::abort();
    sqlite3_finalize(statement);
    exec(core.db, "COMMIT");
    return ms_since(start);
}

void bench_saves() {
    std::printf("Document save (new invoice, lines of service items, 27%%/18%%/5%% taxes)\n");
    std::printf("%8s %12s %12s %8s %14s\n", "lines", "save ms", "floor ms", "ratio", "save us/line");
    double previous = 0;
    for (int n : {10, 100, 1000}) {
        Folder folder;
        auto core = open_core(folder.path);
        const Json::array taxes = core->setting("taxes").array_items();
        const Json::array units = core->setting("units").array_items();
        std::vector<Json> lines;
        for (int i = 0; i < n; ++i) {
            lines.push_back(Json::object{{"name", "Tétel " + std::to_string(i) + " szerelési munkadíj"},
                                         {"description", "Karbantartás, havi díj; " + std::to_string(i)},
                                         {"sku", "SKU-" + std::to_string(i)},
                                         {"itemRecordName", "ITEM-" + std::to_string(i % 50)},
                                         {"item_type", "SERVICE"},
                                         {"tax_id", taxes[i % 3]["id"]},
                                         {"unit_id", units[i % 4]["id"]},
                                         {"price_type", i % 2 ? "NET" : "GROSS"},
                                         {"price", 1000.0 + i},
                                         {"quantity", 1 + i % 5},
                                         {"discount_type", "RATE"},
                                         {"discount", i % 3 ? 0 : 10}});
        }
        const Json::object document{{"type", "INVOICE"},
                                    {"number_formatted", "SZLA/2026-0001"},
                                    {"issue_date", "2026-03-01"},
                                    {"client_name", "Kovács és Társa Kft."},
                                    {"client_city", "Budapest"},
                                    {"client_street", "Fő utca 1."},
                                    {"supplier_name", "Tavrin Bt."},
                                    {"header_note", "Köszönjük a megrendelést."}};
        const int rounds = std::max(15, 3000 / n);
        std::vector<double> saves, floors;
        // As the editor does: the next number, then the save.
        auto save_one = [&] {
            Json::object numbered = document;
            numbered["number"] = core->next_number("INVOICE");
            const auto start = Clock::now();
            const std::string name = core->save_document(lines, false, numbered);
            saves.push_back(ms_since(start));
            if (name.empty()) std::abort();
            return name;
        };
        const std::string name = save_one();
        const Json::object saved = core->query("SELECT * FROM documents WHERE recordName = '" + name + "'").front();
        const auto saved_lines = core->query("SELECT * FROM document_lines WHERE documentRecordName = '" + name + "'");
        // Saves and floor runs take turns, so that both see the same machine.
        saves.clear();
        for (int r = 0; r < rounds; ++r) {
            save_one();
            floors.push_back(raw_insert(*core, saved, saved_lines, r));
        }
        const double save = median(saves), floor = median(floors);
        std::printf("%8d %12.3f %12.3f %8.2f %14.2f", n, save, floor, save / floor, 1000 * save / n);
        if (previous > 0) std::printf("   x%.1f over the previous size", save / previous);
        std::printf("\n");
        previous = save;
    }
}

// Earlier movements of item A: receipts of 10 and sales of 10 alternating, each receipt used up by the
// sale after it, with a movement of another item after every tenth; then one receipt that holds the
// stock the benchmark sells from.
void fill_history(Core& core, int movements, std::int64_t start_ms) {
    exec(core.db, "BEGIN IMMEDIATE");
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(core.db,
                       "INSERT INTO inventory (recordName, documentRecordName, clientRecordName, itemRecordName, "
                       "created, number_formatted, client_name, item_name, reason, issue_date, quantity, "
                       "remaining_fifo, remaining_lifo, remaining_history_fifo, remaining_history_lifo, price, "
                       "last_avg_purchase_price, profit_fifo, profit_lifo, profit_avg, profit_clearing, stock, note, "
                       "search, synced) VALUES (?, ?, '', ?, ?, ?, 'Vevő', 'Alma', ?, '2026-01-01', ?, ?, ?, ?, ?, ?, "
                       "?, ?, ?, ?, ?, ?, '', 'alma vevo', 1)",
                       -1, &statement, nullptr);
    auto row = [&](const std::string& record, const std::string& document, const std::string& item,
                   std::int64_t created, const char* reason, int quantity, int remaining, const std::string& history,
                   double price, int stock) {
        sqlite3_bind_text(statement, 1, record.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 2, document.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 3, item.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(statement, 4, created);
        sqlite3_bind_text(statement, 5, document.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 6, reason, -1, SQLITE_STATIC);
        sqlite3_bind_int(statement, 7, quantity);
        sqlite3_bind_int(statement, 8, remaining);
        sqlite3_bind_int(statement, 9, remaining);
        sqlite3_bind_text(statement, 10, history.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 11, history.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(statement, 12, price);
        sqlite3_bind_double(statement, 13, quantity < 0 ? 10.0 : 0.0);
        for (int c = 14; c <= 17; ++c) sqlite3_bind_double(statement, c, quantity < 0 ? 100.0 : 0.0);
        sqlite3_bind_int(statement, 18, stock);
        if (sqlite3_step(statement) != SQLITE_DONE) std::abort();
        sqlite3_reset(statement);
    };
    for (int i = 0; i < movements; ++i) {
        const std::int64_t created = start_ms + static_cast<std::int64_t>(i) * 1000;
        const std::string sale = "HIST-S-" + std::to_string(i | 1);
        if (i % 2 == 0)
            row(new_record_name(), "HIST-R-" + std::to_string(i), "A", created, "RECEIVE", 10, 0,
                "{\"" + sale + "\": 10}", 10.0, 10);
        else
            row(new_record_name(), sale, "A", created, "INVOICE", -10, 0, "", 20.0, 0);
        if (i % 10 == 0)
            row(new_record_name(), "HIST-O-" + std::to_string(i), "OTHER-" + std::to_string(i % 7), created, "RECEIVE",
                5, 5, "", 3.0, 5);
    }
    row(new_record_name(), "HIST-R-LAST", "A", start_ms + static_cast<std::int64_t>(movements) * 1000, "RECEIVE",
        1000000, 1000000, "", 12.0, 1000000);
    sqlite3_finalize(statement);
    exec(core.db, "COMMIT");
}

void bench_postings() {
    std::printf("\nStock posting of a one-line sale of 1 unit (and the cancellation of such a sale)\n");
    std::printf("%10s %12s %12s %12s %12s\n", "history", "first ms", "sale ms", "storno ms", "sale us");
    double base_sale = 0, base_storno = 0;
    for (int movements : {1000, 10000, 100000}) {
        Folder folder;
        auto core = open_core(folder.path);
        const std::time_t start = 1767225600;  // 2026-01-01
        fill_history(*core, movements, static_cast<std::int64_t>(start) * 1000);
        core->close_database();
        core->open_database();  // a fresh connection, as after starting the program

        std::time_t now = start + movements + 10;
        set_clock([&now] { return now; });
        const Json::object sale_line{{"itemRecordName", "A"}, {"item_type", "INVENTORY_TRACKING"},
                                     {"item_name", "Alma"},   {"quantity", 1},
                                     {"price", 20},           {"clearing_price", 11}};
        auto sell = [&](int k) {
            ++now;
            const auto t = Clock::now();
            core->post_inventory({sale_line}, Json::object{{"recordName", "BENCH-S-" + std::to_string(k)},
                                                           {"type", "INVOICE"},
                                                           {"client_name", "Vevő"},
                                                           {"number_formatted", "SZ/" + std::to_string(k)}});
            return ms_since(t);
        };
        const double first = sell(0);
        std::vector<double> sales, stornos;
        for (int k = 1; k <= 300; ++k) sales.push_back(sell(k));
        Json::object storno_line = sale_line;
        storno_line["quantity"] = -1;
        for (int k = 1; k <= 100; ++k) {
            ++now;
            const auto t = Clock::now();
            core->post_inventory({storno_line}, Json::object{{"recordName", "BENCH-C-" + std::to_string(k)},
                                                             {"type", "INVOICE"},
                                                             {"reference_recordName", "BENCH-S-" + std::to_string(k)}});
            stornos.push_back(ms_since(t));
        }
        set_clock({});

        // The postings must have found the stock: 300 sold, 100 given back.
        auto check = core->query("SELECT remaining_fifo, remaining_lifo FROM inventory WHERE documentRecordName = "
                                 "'HIST-R-LAST'");
        if (check.empty() || check.front()["remaining_fifo"].int_value() != 1000000 - 301 + 100 ||
            check.front()["remaining_lifo"].int_value() != 1000000 - 301 + 100) {
            std::fprintf(stderr, "unexpected layer state after the postings\n");
            std::abort();
        }

        const double sale = median(sales), storno = median(stornos);
        std::printf("%10d %12.3f %12.3f %12.3f %12.1f", movements, first, sale, storno, 1000 * sale);
        if (base_sale > 0)
            std::printf("   sale x%.2f, storno x%.2f against 1,000", sale / base_sale, storno / base_storno);
        else
            base_sale = sale, base_storno = storno;
        std::printf("\n");
    }
}

}  // namespace

int main() {
    std::printf("Account files in %s\n\n", Folder::base().c_str());
    bench_saves();
    bench_postings();
    return 0;
}
