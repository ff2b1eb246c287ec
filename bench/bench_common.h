// Helpers the benchmark programs share: timing, a scratch folder, an account opened as the program
// opens one, and the raw SQLite floor the store's figures are measured against.
#pragma once

#include "core/Core.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A fresh folder under the system's temporary folder, with a trailing '/'; the program ends when
// there is none.
inline std::string make_temp_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrin-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern + "/";
}

// The Hungarian Core over `root`data/ (application folder `root`), with `account` open.
inline std::unique_ptr<Core> open_core(const std::string& root, const std::string& account) {
    std::map<std::string, std::string> info = {
        {"platform", "linux"}, {"ver", "1.0.0.0"}, {"country_code", "HU"}, {"currency_code", "HUF"}};
    auto core = std::make_unique<Core>(root + "data/", root, info,
                                       std::vector<std::string>{"jan.", "febr.", "márc.", "ápr.", "máj.", "jún.", "júl.",
                                                                "aug.", "szept.", "okt.", "nov.", "dec."},
                                       std::vector<std::map<int, std::string>>{{{1, "H"}}, {{2, "K"}}, {{3, "Sze"}},
                                                                               {{4, "Cs"}}, {{5, "P"}}, {{6, "Szo"}},
                                                                               {{0, "V"}}},
                                       "hu", "0,120,215");
    core->current_account = account;
    core->open_database();
    return core;
}

// A table's columns in their order, each with its declared type.
using Columns = std::vector<std::pair<std::string, std::string>>;

inline Columns table_columns(Core& core, const std::string& table) {
    Columns columns;
    for (auto& row : core.query("PRAGMA table_info('" + table + "')"))
        columns.emplace_back(row["name"].string_value(), row["type"].string_value());
    return columns;
}

// "INSERT OR REPLACE INTO table VALUES (?, ...)" with one placeholder per column.
inline std::string insert_sql(const std::string& table, std::size_t column_count) {
    std::string sql = "INSERT OR REPLACE INTO " + table + " VALUES (";
    for (std::size_t i = 0; i < column_count; ++i) sql += i ? ", ?" : "?";
    sql += ")";
    return sql;
}

// Binds a row's values by the columns' declared types; a missing value is an empty text or 0.
// Whole numbers go through the double so that millisecond times keep their 64 bits.
inline void bind_row(sqlite3_stmt* stmt, const Columns& columns, const json11::Json::object& row) {
    int index = 0;
    for (const auto& [name, type] : columns) {
        ++index;
        auto found = row.find(name);
        if (type == "VARCHAR") {
            const std::string& text = found == row.end() ? std::string() : found->second.string_value();
            sqlite3_bind_text(stmt, index, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        } else if (type == "DOUBLE") {
            sqlite3_bind_double(stmt, index, found == row.end() ? 0.0 : found->second.number_value());
        } else {
            sqlite3_bind_int64(stmt, index,
                               found == row.end() ? 0 : static_cast<sqlite3_int64>(found->second.number_value()));
        }
    }
}

// The floor: `rows` inserted into `table` with one prepared statement in one transaction, values
// bound by declared type. Gives the seconds, the column lookup not counted.
inline double raw_insert(Core& core, const std::string& table, const std::vector<json11::Json::object>& rows) {
    const Columns columns = table_columns(core, table);
    const std::string sql = insert_sql(table, columns.size());
    auto start = Clock::now();
    sqlite3_exec(core.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(core.db, sql.c_str(), -1, &stmt, nullptr);
    for (const auto& row : rows) {
        bind_row(stmt, columns, row);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    sqlite3_exec(core.db, "COMMIT", nullptr, nullptr, nullptr);
    return seconds_since(start);
}

}  // namespace bench
