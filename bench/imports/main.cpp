// Import throughput: a client file and an archived-invoice file, each against the raw SQLite floor
// measured in the same run (the same rows, read back after the import, inserted into an empty
// account through one prepared statement per table in one transaction).
//
//   bench_imports [client lines] [invoices]   (default 10000 and 1000)
#include "bench/bench_common.h"
#include "core/store/store_internal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using json11::Json;

namespace {

using bench::Clock;
using bench::make_temp_folder;
using bench::open_core;
using bench::seconds_since;

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

const char* const kWords[] = {"Ábel", "Éva", "Öcsi", "Ödön", "Ugor", "Ütő", "Zoltán", "O'Neil", "Kovács", "Szabó",
                              "Tóth", "Nagy", "Horváth", "Kiss", "Molnár", "Németh", "Farkas", "Balogh", "Papp", "Lakatos"};

std::string client_file(int lines) {
    std::string out = "\xEF\xBB\xBFNév;Adószám;Ország;Megye;Város;Utca;Irányítószám;Email;Telefon;Megjegyzés\n";
    for (int i = 0; i < lines; ++i) {
        char identifier[32];
        // Half of the clients are companies with a tax number, half private persons without one.
        if (i % 2 == 0)
            std::snprintf(identifier, sizeof identifier, "%08d-2-41", 10000000 + i);
        else
            identifier[0] = 0;
        out += std::string("\"") + kWords[i % 20] + " és Társa Kft. " + std::to_string(i) + "\";" + identifier +
               ";HU;Pest;Budapest;Fő utca " + std::to_string(i % 200) + ".;" + std::to_string(1000 + i % 300) +
               ";info" + std::to_string(i) + "@example.hu;+36 1 555 " + std::to_string(1000 + i % 9000) +
               ";Törzsvásárló\r\n";
    }
    return out;
}

// 1 invoice in 5 names a new client, each line one of 50 items.
std::string invoice_file(int invoices) {
    Json::array list;
    for (int i = 0; i < invoices; ++i) {
        Json::array lines;
        for (int k = 0; k < 3; ++k) {
            const int item = (i * 3 + k) % 50;
            lines.push_back(Json::object{{"item_name", std::string(kWords[item % 20]) + " termék " + std::to_string(item)},
                                         {"price", 1000.0 + item},
                                         {"quantity", 1 + k},
                                         {"tax_rate", k == 2 ? 0 : 27},
                                         {"unit_name", "darab"}});
        }
        const int client = i / 5;
        char number[32], date[16], identifier[32];
        std::snprintf(number, sizeof number, "E-2023/%05d", i + 1);
        std::snprintf(date, sizeof date, "2023-%02d-%02d", 1 + i % 12, 1 + (i / 12) % 28);
        std::snprintf(identifier, sizeof identifier, "%08d-2-13", 20000000 + client);
        list.push_back(Json::object{{"number_formatted", number},
                                    {"client_name", std::string(kWords[client % 20]) + " Kft. " + std::to_string(client)},
                                    {"client_postcode", std::to_string(1000 + client % 300)},
                                    {"client_identifier_number", identifier},
                                    {"client_status", "DOMESTIC"},
                                    {"client_country_code", "HU"},
                                    {"client_city", "Budapest"},
                                    {"client_street", "Fő utca " + std::to_string(client % 200) + "."},
                                    {"currency", "HUF"},
                                    {"issue_date", date},
                                    {"delivery_date", date},
                                    {"due_date", date},
                                    {"payment_name", "Átutalás"},
                                    {"supplier_name", "Előző Program Kft."},
                                    {"supplier_country_code", "HU"},
                                    {"supplier_city", "Szeged"},
                                    {"supplier_street", "Tisza Lajos krt. 1."},
                                    {"supplier_postcode", "6720"},
                                    {"supplier_identifier_number", "87654321-2-06"},
                                    {"total_net_amount", 0},
                                    {"total_tax_amount", 0},
                                    {"total_gross_amount", 0},
                                    {"lines", std::move(lines)}});
    }
    return Json(list).dump() + "\n";
}

// The floor: the rows of `tables` in `from`, inserted into `to` with one prepared statement per
// table in one transaction, values bound by declared type. Gives the seconds and the row count.
// With batch > 0 the transaction is committed every `batch` rows, as the imports commit theirs.
double raw_copy(Core& from, Core& to, const std::vector<std::string>& tables, int& rows_copied, int batch = 0) {
    std::vector<std::pair<std::string, std::vector<Json::object>>> data;
    for (const std::string& table : tables) data.emplace_back(table, from.query("SELECT * FROM " + table));
    rows_copied = 0;
    auto start = Clock::now();
    sqlite3_exec(to.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    for (const auto& [table, rows] : data) {
        const bench::Columns columns = bench::table_columns(to, table);
        const std::string sql = bench::insert_sql(table, columns.size());
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(to.db, sql.c_str(), -1, &stmt, nullptr);
        for (const auto& row : rows) {
            bench::bind_row(stmt, columns, row);
            sqlite3_step(stmt);
            sqlite3_reset(stmt);
            if (++rows_copied % (batch > 0 ? batch : 1) == 0 && batch > 0) {
                sqlite3_exec(to.db, "COMMIT", nullptr, nullptr, nullptr);
                sqlite3_exec(to.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            }
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_exec(to.db, "COMMIT", nullptr, nullptr, nullptr);
    return seconds_since(start);
}

void line(const char* what, int rows, double secs, double floor_secs) {
    std::printf("  %-44s %9.1f ms %12.0f rows/s   %6.3fx the floor's rate\n", what, secs * 1000, rows / secs,
                floor_secs / secs);
}

}  // namespace

int main(int argc, char** argv) {
    const int client_lines = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int invoices = argc > 2 ? std::atoi(argv[2]) : 1000;
    if (client_lines <= 0 || invoices <= 0) return 1;
    const std::string root = make_temp_folder();
    std::printf("bench_imports: %d client lines, %d archived invoices, data in %s\n", client_lines, invoices,
                root.c_str());
    const double target = 0.1;

    // Each measurement is the best of three rounds, each round in fresh accounts.
    const int rounds = 3;
    {
        write_file(root + "clients.csv", client_file(client_lines));
        double secs = 1e9, floor_secs = 1e9, batched_secs = 1e9;
        int reported = -1, rows = 0;
        for (int round = 0; round < rounds; ++round) {
            const std::string n = std::to_string(round);
            auto core = open_core(root, "Clients" + n);
            auto start = Clock::now();
            core->import_clients(root + "clients.csv", [&](int count) { reported = count; });
            secs = std::min(secs, seconds_since(start));
            auto floor_core = open_core(root, "ClientsFloor" + n);
            floor_secs = std::min(floor_secs, raw_copy(*core, *floor_core, {"clients"}, rows));
            auto batched_core = open_core(root, "ClientsBatched" + n);
            batched_secs = std::min(batched_secs, raw_copy(*core, *batched_core, {"clients"}, rows, 100));
        }
        std::printf("client import, %d lines, best of %d (floor: the %d imported rows, raw INSERT, one transaction)\n",
                    client_lines, rounds, rows);
        line("raw SQLite floor", rows, floor_secs, floor_secs);
        line("raw INSERT, a commit every 100 rows", rows, batched_secs, floor_secs);
        line("Core::import_clients", reported, secs, floor_secs);
        std::printf("  reported %d rows; %s (target: at least %.1fx)\n", reported,
                    floor_secs / secs >= target ? "on target" : "BELOW TARGET", target);
    }
    {
        write_file(root + "invoices.tavrinimport", invoice_file(invoices));
        const std::vector<std::string> tables = {"clients", "items", "documents", "document_lines"};
        double secs = 1e9, floor_secs = 1e9, batched_secs = 1e9;
        int reported = -1, rows = 0;
        for (int round = 0; round < rounds; ++round) {
            const std::string n = std::to_string(round);
            auto core = open_core(root, "Invoices" + n);
            auto start = Clock::now();
            core->import_invoices(root + "invoices.tavrinimport", 0, [&](int count) { reported = count; });
            secs = std::min(secs, seconds_since(start));
            auto floor_core = open_core(root, "InvoicesFloor" + n);
            floor_secs = std::min(floor_secs, raw_copy(*core, *floor_core, tables, rows));
            auto batched_core = open_core(root, "InvoicesBatched" + n);
            batched_secs = std::min(batched_secs, raw_copy(*core, *batched_core, tables, rows, 100));
        }
        std::printf("archived-invoice import, %d invoices of 3 lines, best of %d (floor: the %d rows written, "
                    "clients, items, documents and lines, raw INSERT, one transaction)\n",
                    invoices, rounds, rows);
        line("raw SQLite floor", rows, floor_secs, floor_secs);
        line("raw INSERT, a commit every 100 rows", rows, batched_secs, floor_secs);
        line("Core::import_invoices (rows written)", rows, secs, floor_secs);
        std::printf("  reported %d invoices; %s (target: at least %.1fx)\n", reported,
                    floor_secs / secs >= target ? "on target" : "BELOW TARGET", target);
    }

    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
