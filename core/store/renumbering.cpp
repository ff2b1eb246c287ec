// A document made here and never uploaded gives way to a different document of the same record name
// from the cloud (two installations numbered their documents alike while one could not reach the
// cloud): it takes the next free number and goes up as a new record, and the user is told.
#include "core/store/store_internal.h"
#include "core/store/document_follow.h"

#include <algorithm>

using json11::Json;
using store::member;

namespace {


// The types whose numbers the program gives; the others are named after the time (drafts, tasks),
// the web shop's order or the archived invoice's own number.
bool numbered_here(const std::string& type) {
    for (const char* numbered : {"INVOICE", "PROFORMA", "ESTIMATE", "DELIVERY_NOTE", "PURCHASE_ORDER", "PURCHASE_RECEIVE"})
        if (type == numbered) return true;
    return false;
}

// `value` with every text equal to `from` replaced by `to`, at any depth.
Json renamed(const Json& value, const std::string& from, const std::string& to) {
    if (value.is_string()) return value.string_value() == from ? Json(to) : value;
    if (value.is_array()) {
        Json::array items;
        for (const Json& item : value.array_items()) items.push_back(renamed(item, from, to));
        return items;
    }
    if (value.is_object()) {
        Json::object members;
        for (const auto& [name, item] : value.object_items()) members[name] = renamed(item, from, to);
        return members;
    }
    return value;
}

bool save_local_row(Core& core, const std::string& name, const Json& value) {
    return core.save_record({{"recordName", name}, {"value", value.dump()}, {"synced", -1}}, "settings");
}

// The stock layers a sale took from name the sale in their histories; a later cancellation gives
// back by that name.
bool rename_in_histories(Core& core, const std::string& from, const std::string& to) {
    const std::string key = Json(from).dump();
    for (const Json::object& row : store::rows(core,
                                               "SELECT recordName, remaining_history_fifo, remaining_history_lifo "
                                               "FROM inventory WHERE instr(remaining_history_fifo, ?1) > 0 OR "
                                               "instr(remaining_history_lifo, ?1) > 0",
                                               {key})) {
        Json::object histories;
        for (const char* column : {"remaining_history_fifo", "remaining_history_lifo"}) {
            Json::object history = Json::parse(member(row, column).string_value()).object_items();
            auto found = history.find(from);
            if (found != history.end()) {
                history[to] = found->second;
                history.erase(from);
            }
            histories[column] = history.empty() ? member(row, column) : Json(history).dump();
        }
        if (!store::run(core,
                        "UPDATE inventory SET remaining_history_fifo = ?, remaining_history_lifo = ?, synced = 0 "
                        "WHERE recordName = ?",
                        {histories["remaining_history_fifo"], histories["remaining_history_lifo"], member(row, "recordName")}))
            return false;
    }
    return true;
}

// A local row's value with `from` renamed to `to`; a list keeps each entry once.
Json renamed_once(const Json& value, const std::string& from, const std::string& to) {
    const Json moved = renamed(value, from, to);
    if (!moved.is_array()) return moved;
    Json::array entries;
    for (const Json& entry : moved.array_items())
        if (std::find(entries.begin(), entries.end(), entry) == entries.end()) entries.push_back(entry);
    return entries;
}

// The moves of documents to other record names since the store was opened, kept in the
// connection's temp schema: a move rolled back with its transaction leaves no trace, and a view
// follows only the moves made after it was read.
constexpr const char* kMovesTable = "temp.tavrin_document_moves";

bool ensure_move_log(Core& core) {
    if (!store::rows(core, "SELECT 1 FROM sqlite_temp_master WHERE type = 'table' AND name = 'tavrin_document_moves'")
             .empty())
        return true;
    return store::run(core, "CREATE TEMP TABLE IF NOT EXISTS tavrin_document_moves (from_name TEXT NOT NULL, "
                            "to_name TEXT NOT NULL)");
}

std::int64_t moves_made(Core& core) {
    if (!ensure_move_log(core)) return 0;
    const auto found = store::rows(core, std::string("SELECT coalesce(max(rowid), 0) AS made FROM ") + kMovesTable);
    return found.empty() ? 0 : static_cast<std::int64_t>(member(found.front(), "made").number_value());
}

// The name a document under `name` has after the moves made since `seen`, the last of which `seen`
// becomes. Each move followed is a later one, so the chain ends.
std::string followed_name(Core& core, std::string name, std::int64_t& seen) {
    if (!ensure_move_log(core)) return name;
    while (true) {
        const auto next = store::rows(core,
                                      std::string("SELECT rowid AS move, to_name FROM ") + kMovesTable +
                                          " WHERE from_name = ? AND rowid > ? ORDER BY rowid LIMIT 1",
                                      {Json(name), Json(static_cast<double>(seen))});
        if (next.empty()) return name;
        name = member(next.front(), "to_name").string_value();
        seen = static_cast<std::int64_t>(member(next.front(), "move").number_value());
    }
}

}  // namespace

bool store::same_document(const Json::object& first, const Json::object& second) {
    const std::string& type = member(first, "type").string_value();
    if (type != member(second, "type").string_value()) return false;
    if (type == "WEBSHOP_ORDER" || type == "ARCHIVE_INVOICE") return true;
    // A reported invoice is the one the authority holds under its transaction: stored on two
    // installations (the one that reported it, and one that settled its report), it is one invoice.
    const std::string& transaction = member(first, "nav_transaction_id").string_value();
    const std::string& other_transaction = member(second, "nav_transaction_id").string_value();
    if (type == "INVOICE" && !transaction.empty() && !other_transaction.empty()) return transaction == other_transaction;
    const std::string& id = member(first, "document_id").string_value();
    const std::string& other_id = member(second, "document_id").string_value();
    if (!id.empty() && !other_id.empty()) return id == other_id;
    const Json& created = member(first, "created");
    const Json& other = member(second, "created");
    if (!created.is_number() || !other.is_number() || created.number_value() == 0 || other.number_value() == 0)
        return true;
    return created.number_value() == other.number_value();
}

std::string store::document_identity(const Json::object& document) {
    const std::string& id = member(document, "document_id").string_value();
    return member(document, "created").dump() + (id.empty() ? "" : " " + id);
}

bool store::follow_document(Core& core, const std::string& from, const std::string& to, const std::string& old_number,
                            const std::string& new_number) {
    if (!run(core,
             "UPDATE documents SET reference_recordName = ?1, reference_number_formatted = CASE WHEN "
             "reference_number_formatted = ?3 THEN ?4 ELSE reference_number_formatted END, synced = 0 "
             "WHERE reference_recordName = ?2",
             {to, from, old_number, new_number}) ||
        !run(core,
             "UPDATE inventory SET documentRecordName = ?1, number_formatted = CASE WHEN number_formatted = ?3 "
             "THEN ?4 ELSE number_formatted END, synced = 0 WHERE documentRecordName = ?2",
             {to, from, old_number, new_number}) ||
        !rename_in_histories(core, from, to))
        return false;
    // An open view of the document follows it.
    if (!ensure_move_log(core) ||
        !run(core, std::string("INSERT INTO ") + kMovesTable + " (from_name, to_name) VALUES (?, ?)", {from, to}))
        return false;
    // The accounting upload owed and the record of a settled report follow the invoice.
    for (const char* row : {kCashbookRow, kSettledReportsRow}) {
        const Json value = core.setting(row);
        const Json moved_value = renamed_once(value, from, to);
        if (moved_value != value && !save_local_row(core, row, moved_value)) return false;
    }
    return true;
}

std::optional<Json::object> store::move_document_aside(Core& core, const Json::object& document) {
    const std::string from = member(document, "recordName").string_value();
    const std::string type = member(document, "type").string_value();
    // A reported invoice's number is the tax authority's too: only its record name moves. A name whose
    // deletion is still to go up is not free: this document would go up in the deleted one's place.
    const bool renumbered = numbered_here(type) && !(type == "INVOICE" && !member(document, "nav_transaction_id").string_value().empty());
    Json::object moved = document;
    if (renumbered) {
        moved["number"] = core.next_number(type);
        moved["number_formatted"] = core.next_number_formatted(type);
        moved["recordName"] = free_record_name(core, core.new_document_record_name(type), true, true);
    } else {
        moved["recordName"] = free_record_name(core, reported_name_aside(document), false, true);
    }
    moved["synced"] = 0;
    moved["recordChangeTag"] = "";
    const std::string to = member(moved, "recordName").string_value();
    const std::string old_number = member(document, "number_formatted").string_value();
    const std::string new_number = member(moved, "number_formatted").string_value();

    std::vector<Json> lines;
    for (Json::object& line : rows(core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY rowid", {from}))
        lines.emplace_back(std::move(line));
    // As it stands: amounts, times and stock are not those of a new save.
    if (core.save_document(std::move(lines), true, moved).empty()) return std::nullopt;
    if (!run(core, "DELETE FROM document_lines WHERE documentRecordName = ?", {from}) ||
        !run(core, "DELETE FROM documents WHERE recordName = ?", {from}))
        return std::nullopt;

    if (!follow_document(core, from, to, old_number, new_number)) return std::nullopt;

    if (!renumbered) return moved;
    // One entry per document, from the number the user knew to the one it has now.
    Json::array told = core.setting(kRenumberedRow).array_items();
    bool known = false;
    for (Json& entry : told) {
        if (entry["type"].string_value() == type && entry["created"] == member(document, "created") &&
            entry["new"].string_value() == old_number) {
            Json::object updated = entry.object_items();
            updated["new"] = new_number;
            entry = Json(updated);
            known = true;
        }
    }
    if (!known)
        told.push_back(Json::object{{"type", type}, {"created", member(document, "created")}, {"old", old_number}, {"new", new_number}});
    if (!save_local_row(core, kRenumberedRow, told)) return std::nullopt;
    return moved;
}

Json Core::take_renumbered_documents() {
    store::Transaction transaction(*this);
    const Json told = setting(store::kRenumberedRow);
    if (told.array_items().empty()) return Json::array{};
    if (!store::run(*this, "DELETE FROM settings WHERE recordName = ?", {store::kRenumberedRow}) || !transaction.commit())
        return Json::array{};
    return told;
}

store::ShownDocument store::shown_document(Core& core, const std::string& record_name) {
    // The moves known and the row are read together: a move between them would be followed twice.
    store::Transaction transaction(core);
    ShownDocument shown;
    shown.moves_seen = moves_made(core);
    const auto documents = rows(core, "SELECT * FROM documents WHERE recordName = ?", {record_name});
    if (documents.empty()) {
        transaction.commit();
        return shown;
    }
    shown.document = documents.front();
    const auto lines =
        rows(core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id", {record_name});
    shown.page = core.document_html(1, Json(shown.document), Json(Json::array(lines.begin(), lines.end())), "0,0");
    transaction.commit();
    return shown;
}

store::DocumentNow store::document_now(Core& core, const ShownDocument& shown) {
    store::Transaction transaction(core);
    const std::string& shown_name = member(shown.document, "recordName").string_value();
    std::int64_t seen = shown.moves_seen;
    const std::string name = followed_name(core, shown_name, seen);
    DocumentNow result;
    result.now = shown_document(core, name);
    transaction.commit();
    if (shown_name.empty() || result.now.document.empty() || !same_document(shown.document, result.now.document)) {
        result.follow = DocumentFollow::gone;
        result.now = ShownDocument{};
    } else if (name != shown_name) {
        result.follow = DocumentFollow::moved;
    } else {
        result.follow = result.now.page == shown.page ? DocumentFollow::same : DocumentFollow::changed;
    }
    return result;
}
