// Rows written through one prepared statement, each column bound by its declared type.
#include "core/store/store_internal.h"

#include <algorithm>

using json11::Json;

namespace store {

namespace {

RowWriter::Kind kind_of(const std::string& type) {
    if (type == "VARCHAR") return RowWriter::Kind::text;
    if (type == "INT") return RowWriter::Kind::integer;
    if (type == "BIGINT") return RowWriter::Kind::big_integer;
    if (type == "DOUBLE") return RowWriter::Kind::real;
    return RowWriter::Kind::other;
}

}  // namespace

RowWriter::RowWriter(Core& core, const std::string& table) {
    std::lock_guard<std::recursive_mutex> lock(core.store_mutex);
    const auto& columns = core.table_columns(table);
    if (columns.empty()) return;  // no such table: nothing is written
    std::size_t index = 0;
    for (const auto& [name, type] : columns) columns_.push_back({name, kind_of(type), ++index});
    // In name order, so that a record's members and the columns are matched in one pass.
    std::sort(columns_.begin(), columns_.end(), [](const Column& first, const Column& second) {
        return first.name < second.name;
    });
    std::string sql = "INSERT OR REPLACE INTO " + quoted_identifier(table) + " VALUES (";
    for (std::size_t position = 0; position < columns_.size(); ++position) sql += position ? ", ?" : "?";
    statement_.emplace(core, sql + ")");
}

bool RowWriter::write(const Json::object& record) {
    if (!ok()) return false;
    sqlite3_stmt* statement = statement_->handle();
    sqlite3_reset(statement);
    const Json none;
    auto member = record.begin();
    for (const Column& column : columns_) {
        while (member != record.end() && member->first < column.name) ++member;
        const Json& value = member != record.end() && member->first == column.name ? member->second : none;
        const int index = static_cast<int>(column.index);
        // Booleans count as 1 and 0 in the numeric columns (a paid flag or a ticked task line).
        const double number = value.is_bool() ? (value.bool_value() ? 1.0 : 0.0) : value.number_value();
        switch (column.kind) {
            case Kind::text: {
                const std::string& text = value.string_value();
                sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
                break;
            }
            case Kind::integer: sqlite3_bind_int(statement, index, saturated_int(number)); break;
            case Kind::big_integer: sqlite3_bind_int64(statement, index, saturated_int64(number)); break;
            case Kind::real: sqlite3_bind_double(statement, index, number); break;
            case Kind::other: sqlite3_bind_null(statement, index); break;  // any other declared type stays NULL
        }
    }
    const bool written = statement_->run();
    sqlite3_clear_bindings(statement);  // the bound texts belong to the record
    return written;
}

void add_search_text(const std::string& table, Json::object& record) {
    if (table == "clients" || table == "items" || table == "inventory") record["search"] = search_text(record);
}

bool TableWriters::write(const std::string& table, Json::object& record) {
    add_search_text(table, record);
    auto found = writers_.find(table);
    if (found == writers_.end()) found = writers_.try_emplace(table, core_, table).first;
    return found->second.write(record);
}

}  // namespace store
