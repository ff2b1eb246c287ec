// Store throughput: record writes and a name-ordered list, each against the raw SQLite floor measured
// in the same run (the same rows through one prepared statement in one transaction).
//
//   bench_store [rows]   (default 10000)
#include "bench/bench_common.h"
#include "core/store/store_internal.h"

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
using bench::make_temp_folder;
using bench::open_core;
using bench::raw_insert;
using bench::seconds_since;

const char* const kWords[] = {"Ábel", "Éva", "Öcsi", "Ödön", "Ugor", "Ütő", "Zoltán", "abc", "Kovács", "Szabó",
                              "Tóth", "Nagy", "Horváth", "Kiss", "Molnár", "Németh", "Farkas", "Balogh", "Papp", "Lakatos"};

std::vector<Json::object> make_clients(int count) {
    std::vector<Json::object> rows;
    rows.reserve(count);
    for (int i = 0; i < count; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%05d", (i * 7919) % count);
        rows.push_back({{"recordName", new_record_name()},
                        {"name", std::string(kWords[i % 20]) + " és Társa Kft. " + number},
                        {"country_code", "HU"},
                        {"currency_code", "HUF"},
                        {"status", "DOMESTIC"},
                        {"identifier_number", "12345678-2-41"},
                        {"city", "Budapest"},
                        {"street", "Fő utca " + std::to_string(i % 200)},
                        {"postcode", "1051"},
                        {"email", "info" + std::to_string(i) + "@example.hu"},
                        {"phone", "+36 (1) 123-4567"},
                        {"note", "Törzsvásárló"}});
    }
    return rows;
}

std::vector<Json::object> make_items(int count) {
    std::vector<Json::object> rows;
    rows.reserve(count);
    for (int i = 0; i < count; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%05d", (i * 7919) % count);
        rows.push_back({{"recordName", new_record_name()},
                        {"tax_id", "T"},
                        {"unit_id", "U"},
                        {"type", "PRODUCT"},
                        {"name", std::string(kWords[(i * 13) % 20]) + " termék " + number},
                        {"description", "Leírás"},
                        {"sku", "SKU" + std::to_string(i)},
                        {"upc", ""},
                        {"selling_price", 1000.0 + i},
                        {"purchase_price", 700.0 + i},
                        {"clearing_price", 800.0},
                        {"price_type", "NET"},
                        {"note", ""},
                        {"search", "termek " + std::to_string(i)},
                        {"synced", 0}});
    }
    return rows;
}

// The floor of a list read: the same SQL stepped through, every column value copied out.
double raw_list(Core& core, const std::string& sql, std::size_t& count) {
    auto start = Clock::now();
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(core.db, sql.c_str(), -1, &stmt, nullptr);
    std::vector<std::vector<std::string>> out;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        std::vector<std::string> values;
        int columns = sqlite3_column_count(stmt);
        values.reserve(columns);
        for (int i = 0; i < columns; ++i) {
            const unsigned char* text = sqlite3_column_text(stmt, i);
            values.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
        }
        out.push_back(std::move(values));
    }
    sqlite3_finalize(stmt);
    double secs = seconds_since(start);
    count = out.size();
    return secs;
}

void line(const char* what, int rows, double secs, double floor_secs) {
    std::printf("  %-52s %9.1f ms %12.0f rows/s   %6.2fx the floor\n", what, secs * 1000, rows / secs, secs / floor_secs);
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (count <= 0) return 1;
    const std::string root = make_temp_folder();
    std::printf("bench_store: %d rows, data in %s\n", count, root.c_str());

    // --- record writes ---------------------------------------------------------------------
    auto clients = make_clients(count);
    std::vector<Json::object> with_search = clients;
    for (auto& row : with_search) row["search"] = search_text(row);

    double floor_secs;
    {
        auto core = open_core(root, "Floor");
        floor_secs = raw_insert(*core, "clients", with_search);
    }
    double search_secs;
    {
        auto start = Clock::now();
        std::size_t total = 0;
        for (const auto& row : clients) total += search_text(row).size();
        search_secs = seconds_since(start);
        if (total == 0) std::puts("(empty search texts)");
    }
    double in_tx_secs;
    {
        auto core = open_core(root, "InTransaction");
        auto start = Clock::now();
        store::Transaction transaction(*core);
        for (const auto& row : clients) core->save_record(row, "clients");
        transaction.commit();
        in_tx_secs = seconds_since(start);
        if (core->query("SELECT * FROM clients").size() != clients.size()) std::puts("(rows missing!)");
    }
    double per_call_secs;
    {
        auto core = open_core(root, "PerCall");
        auto start = Clock::now();
        for (const auto& row : clients) core->save_record(row, "clients");
        per_call_secs = seconds_since(start);
    }
    std::printf("save_record of %d clients (floor: raw INSERT, one statement, one transaction)\n", count);
    line("raw SQLite floor (search texts made beforehand)", count, floor_secs, floor_secs);
    line("search_text alone", count, search_secs, floor_secs);
    line("save_record inside one caller transaction", count, in_tx_secs, floor_secs);
    line("save_record, each call its own commit", count, per_call_secs, floor_secs);

    // --- name-ordered list ----------------------------------------------------------------------
    auto items = make_items(count);
    auto core = open_core(root, "Items");
    raw_insert(*core, "items", items);
    const std::string sql = "SELECT * FROM items WHERE search LIKE '%' ORDER BY name COLLATE NOCASE";
    double best_floor = 1e9, best_query = 1e9;
    std::size_t floor_rows = 0, query_rows = 0;
    for (int round = 0; round < 5; ++round) {
        best_floor = std::min(best_floor, raw_list(*core, sql, floor_rows));
        auto start = Clock::now();
        auto rows = core->query(sql);
        best_query = std::min(best_query, seconds_since(start));
        query_rows = rows.size();  // the rows are freed outside the timing, as the floor's are
    }
    std::printf("name-ordered list of %d items, best of 5 (floor: the same SQL stepped, columns copied out)\n", count);
    line("raw SQLite floor", static_cast<int>(floor_rows), best_floor, best_floor);
    line("Core::query (rows as JSON, wide names, re-sort)", static_cast<int>(query_rows), best_query, best_floor);

    core.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
