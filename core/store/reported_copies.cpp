// A reported invoice is one document in every store. The installation that reported it and one that
// settled its report both store it, each on its own clock and with its own store's numbers: its record
// name therefore comes from what both know alike, its own number and year of issue. Copies that an
// earlier version stored under two names become one where they meet.
#include "core/store/store_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <vector>

using json11::Json;
using store::member;

namespace {


bool is_reported_invoice(const Json::object& document) {
    return member(document, "type").string_value() == "INVOICE" &&
           !member(document, "nav_transaction_id").string_value().empty();
}

// "INVOICE-<year of issue>-<number in 6 digits>"; none when the number or the date of issue is missing.
std::optional<std::string> name_by_number(const Json::object& document) {
    const double number = member(document, "number").number_value();
    const std::string& issued = member(document, "issue_date").string_value();
    if (!(number >= 1 && number < 1e15 && number == std::floor(number))) return std::nullopt;
    if (issued.size() < 4 || issued.find_first_not_of("0123456789") < 4) return std::nullopt;
    char digits[32];
    std::snprintf(digits, sizeof digits, "%06lld", static_cast<long long>(number));
    return "INVOICE-" + issued.substr(0, 4) + "-" + digits;
}

bool add_tombstone(Core& core, const std::string& record_name) {
    return store::run(core, "INSERT OR IGNORE INTO deleted(recordName) VALUES (?)", {record_name});
}

// The sale rows of two copies of one invoice, one set kept per item: the rows named after the
// transaction (one record in every store), else the kept copy's, else the other's. The rows of the
// other sets go with their tombstones. Those kept stay as they are named; the caller moves them over.
bool drop_doubled_stock(Core& core, const std::string& transaction, const std::string& kept, const std::string& other) {
    const std::string shared_prefix = "STOCK-" + transaction + "-";
    struct Row {
        std::string record_name;
        int set;  // 0 named after the transaction, 1 the kept copy's, 2 the other's
    };
    std::map<std::string, std::vector<Row>> by_item;
    for (const Json::object& row :
         store::rows(core,
                     "SELECT recordName, documentRecordName, itemRecordName FROM inventory "
                     "WHERE reason = 'INVOICE' AND (documentRecordName = ? OR documentRecordName = ?)",
                     {kept, other})) {
        const std::string& name = member(row, "recordName").string_value();
        const bool shared = name.rfind(shared_prefix, 0) == 0;
        const int set = shared ? 0 : member(row, "documentRecordName").string_value() == kept ? 1 : 2;
        by_item[member(row, "itemRecordName").string_value()].push_back({name, set});
    }
    for (const auto& item : by_item) {
        const std::vector<Row>& sales = item.second;
        int chosen = 2;
        for (const Row& row : sales) chosen = std::min(chosen, row.set);
        for (const Row& row : sales) {
            if (row.set == chosen) continue;
            if (!add_tombstone(core, row.record_name) ||
                !store::run(core, "DELETE FROM inventory WHERE recordName = ?", {row.record_name}))
                return false;
        }
    }
    return true;
}

// A layer that both copies took from (each was posted where it was stored) gets the other copy's take
// back: the invoice took from it once. The other's takes left become the kept copy's as its name
// follows it.
bool give_back_second_take(Core& core, const std::string& kept, const std::string& other) {
    for (const Json::object& row :
         store::rows(core,
                     "SELECT recordName, remaining_fifo, remaining_history_fifo, remaining_lifo, remaining_history_lifo "
                     "FROM inventory WHERE (instr(remaining_history_fifo, ?1) > 0 AND "
                     "instr(remaining_history_fifo, ?2) > 0) OR (instr(remaining_history_lifo, ?1) > 0 AND "
                     "instr(remaining_history_lifo, ?2) > 0)",
                     {Json(kept).dump(), Json(other).dump()})) {
        Json::object layer = row;
        for (const auto& [remaining, column] : {std::pair{"remaining_fifo", "remaining_history_fifo"},
                                                std::pair{"remaining_lifo", "remaining_history_lifo"}}) {
            Json::object history = Json::parse(member(row, column).string_value()).object_items();
            auto taken = history.find(other);
            if (taken == history.end() || !history.count(kept)) continue;
            layer[remaining] = member(row, remaining).number_value() + taken->second.number_value();
            history.erase(taken);
            layer[column] = Json(history).dump();
        }
        if (!store::run(core,
                        "UPDATE inventory SET remaining_fifo = ?, remaining_history_fifo = ?, remaining_lifo = ?, "
                        "remaining_history_lifo = ?, synced = 0 WHERE recordName = ?",
                        {layer["remaining_fifo"], layer["remaining_history_fifo"], layer["remaining_lifo"],
                         layer["remaining_history_lifo"], layer["recordName"]}))
            return false;
    }
    return true;
}

// The other copy goes into the kept one: its doubled stock rows and then the copy itself go as a local
// deletion would take them, and what named it names the kept copy.
bool fold_copy(Core& core, const Json::object& kept, const Json::object& other) {
    const std::string& kept_name = member(kept, "recordName").string_value();
    const std::string& other_name = member(other, "recordName").string_value();
    const std::string& transaction = member(kept, "nav_transaction_id").string_value();
    return drop_doubled_stock(core, transaction, kept_name, other_name) &&
           give_back_second_take(core, kept_name, other_name) &&
           store::follow_document(core, other_name, kept_name, member(other, "number_formatted").string_value(),
                                  member(kept, "number_formatted").string_value()) &&
           add_tombstone(core, other_name) &&
           store::run(core, "DELETE FROM document_lines WHERE documentRecordName = ?", {other_name}) &&
           store::run(core, "DELETE FROM documents WHERE recordName = ?", {other_name});
}

}  // namespace

std::string store::proposed_record_name(Core& core, const Json::object& document) {
    if (is_reported_invoice(document)) {
        if (std::optional<std::string> name = name_by_number(document)) return *name;
    }
    return core.new_document_record_name(member(document, "type").string_value());
}

bool store::merge_reported_copies(Core& core) {
    for (const Json::object& doubled :
         rows(core, "SELECT nav_transaction_id FROM documents WHERE type = 'INVOICE' AND nav_transaction_id <> '' "
                    "GROUP BY nav_transaction_id HAVING COUNT(*) > 1")) {
        // In name order: the same copy comes first on every installation.
        const std::vector<Json::object> copies =
            rows(core, "SELECT * FROM documents WHERE type = 'INVOICE' AND nav_transaction_id = ? ORDER BY recordName",
                 {member(doubled, "nav_transaction_id")});
        std::size_t kept = 0;
        for (std::size_t i = 0; i < copies.size(); ++i)
            if (name_by_number(copies[i]) == member(copies[i], "recordName").string_value()) kept = i;
        for (std::size_t i = 0; i < copies.size(); ++i)
            if (i != kept && !fold_copy(core, copies[kept], copies[i])) return false;
    }
    return true;
}
