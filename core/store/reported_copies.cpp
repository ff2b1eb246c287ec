// A reported invoice is one document in every store. The installation that reported it and one that
// settled its report both store it, each on its own clock and with its own store's numbers: its record
// name therefore comes from what both know alike, its own number and year of issue (and its
// transaction where a stored document holds that name). Copies that an earlier version stored under
// two names become one where they meet, each piece of the work done on either kept by its own time.
#include "core/store/store_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
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

// The name of a reported invoice whose name by number a stored document holds (an invoice stored by
// an earlier version under the numbering's name, or numbered in another year than it was issued in):
// that name followed by its transaction, never the next number, which is another invoice's name.
std::optional<std::string> name_beside(const Json::object& document) {
    std::optional<std::string> name = name_by_number(document);
    if (name) *name += "-" + member(document, "nav_transaction_id").string_value();
    return name;
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
            if (!store::add_tombstone(core, row.record_name) ||
                !store::run(core, "DELETE FROM inventory WHERE recordName = ?", {row.record_name}))
                return false;
        }
    }
    return true;
}

// The stock layers' records of what the two copies took: the other copy's take is given back to the
// layer it came from wherever the kept copy took the same item by the same method (each copy was
// posted where it was stored, from the layers as that store saw them); where the kept copy's take is
// not recorded, the other's is the invoice's only one and becomes the kept copy's as its name follows
// it.
struct Take {
    const char* remaining;
    const char* history;
};
constexpr Take kTakes[] = {{"remaining_fifo", "remaining_history_fifo"}, {"remaining_lifo", "remaining_history_lifo"}};

// The items, per take, whose layers record a take of `document`.
std::map<std::string, std::set<std::string>> items_taken(const std::vector<Json::object>& layers,
                                                         const std::string& document) {
    std::map<std::string, std::set<std::string>> items;
    for (const Json::object& layer : layers)
        for (const Take& take : kTakes)
            if (Json::parse(member(layer, take.history).string_value()).object_items().count(document))
                items[take.history].insert(member(layer, "itemRecordName").string_value());
    return items;
}

bool give_back_second_take(Core& core, const std::string& kept, const std::string& other) {
    const std::vector<Json::object> layers =
        store::rows(core,
                    "SELECT recordName, itemRecordName, remaining_fifo, remaining_history_fifo, remaining_lifo, "
                    "remaining_history_lifo FROM inventory WHERE instr(remaining_history_fifo, ?1) > 0 OR "
                    "instr(remaining_history_lifo, ?1) > 0 OR instr(remaining_history_fifo, ?2) > 0 OR "
                    "instr(remaining_history_lifo, ?2) > 0",
                    {Json(kept).dump(), Json(other).dump()});
    const auto kept_items = items_taken(layers, kept);
    for (const Json::object& row : layers) {
        Json::object layer = row;
        bool given_back = false;
        for (const Take& take : kTakes) {
            Json::object history = Json::parse(member(row, take.history).string_value()).object_items();
            auto taken = history.find(other);
            auto items = kept_items.find(take.history);
            if (taken == history.end() || items == kept_items.end() ||
                !items->second.count(member(row, "itemRecordName").string_value()))
                continue;
            layer[take.remaining] = member(row, take.remaining).number_value() + taken->second.number_value();
            history.erase(taken);
            layer[take.history] = Json(history).dump();
            given_back = true;
        }
        if (given_back &&
            !store::run(core,
                        "UPDATE inventory SET remaining_fifo = ?, remaining_history_fifo = ?, remaining_lifo = ?, "
                        "remaining_history_lifo = ?, synced = 0 WHERE recordName = ?",
                        {layer["remaining_fifo"], layer["remaining_history_fifo"], layer["remaining_lifo"],
                         layer["remaining_history_lifo"], layer["recordName"]}))
            return false;
    }
    return true;
}

std::vector<Json::object> lines_of(Core& core, const Json& record_name) {
    return store::rows(core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY rowid", {record_name});
}

// The user's work on either copy goes on in the kept one, piece by piece (store::Piece): each piece
// the copies hold apart comes from the copy where it changed last (the kept copy's own on a tie),
// and a reporting status the authority gave either copy stays. The kept copy keeps its name, change
// tag, time of creation and id, and goes up again when it changed.
bool take_later_work(Core& core, const Json::object& kept, const Json::object& other) {
    const std::vector<Json::object> kept_lines = lines_of(core, member(kept, "recordName"));
    const std::vector<Json::object> other_lines = lines_of(core, member(other, "recordName"));
    const store::PieceTimes kept_times = store::piece_times(kept);
    const store::PieceTimes other_times = store::piece_times(other);
    auto from_other = [&](store::Piece piece) {
        const std::size_t index = static_cast<std::size_t>(piece);
        if (store::same_piece(piece, kept, kept_lines, other, other_lines)) return false;
        if (piece == store::Piece::status) {
            if (member(other, "nav_status").string_value().empty()) return false;
            if (member(kept, "nav_status").string_value().empty()) return true;
        }
        return other_times[index] > kept_times[index];
    };

    Json::object merged = kept;
    store::PieceTimes times = kept_times;
    bool lines_from_other = false;
    bool changed = false;
    for (const store::Piece piece : store::kPieces) {
        if (!from_other(piece)) continue;
        for (const auto& [column, value] : other)
            if (store::in_piece(piece, column)) merged[column] = value;
        times[static_cast<std::size_t>(piece)] = other_times[static_cast<std::size_t>(piece)];
        if (piece == store::Piece::lines) lines_from_other = true;
        changed = true;
    }
    if (!changed) return true;

    merged["modified"] = std::max(member(kept, "modified").number_value(), member(other, "modified").number_value());
    merged["piece_modified"] = store::piece_times_text(times);
    merged["synced"] = 0;
    const std::vector<Json::object>& taken_lines = lines_from_other ? other_lines : kept_lines;
    // As the copies stand: no amounts computed again, no stock posted.
    return !core.save_document({taken_lines.begin(), taken_lines.end()}, true, std::move(merged)).empty();
}

// The other copy goes into the kept one: its later work goes on there, its doubled stock rows and
// then the copy itself go as a local deletion would take them, and what named it names the kept copy.
bool fold_copy(Core& core, const Json::object& kept, const Json::object& other) {
    const std::string& kept_name = member(kept, "recordName").string_value();
    const std::string& other_name = member(other, "recordName").string_value();
    const std::string& transaction = member(kept, "nav_transaction_id").string_value();
    return take_later_work(core, kept, other) && drop_doubled_stock(core, transaction, kept_name, other_name) &&
           give_back_second_take(core, kept_name, other_name) &&
           store::follow_document(core, other_name, kept_name, member(other, "number_formatted").string_value(),
                                  member(kept, "number_formatted").string_value()) &&
           store::add_tombstone(core, other_name) &&
           store::run(core, "DELETE FROM document_lines WHERE documentRecordName = ?", {other_name}) &&
           store::run(core, "DELETE FROM documents WHERE recordName = ?", {other_name});
}

}  // namespace

std::string store::proposed_record_name(Core& core, const Json::object& document) {
    if (is_reported_invoice(document)) {
        if (std::optional<std::string> name = name_by_number(document))
            return rows(core, "SELECT 1 FROM documents WHERE recordName = ?", {*name}).empty() ? *name
                                                                                              : *name_beside(document);
    }
    return core.new_document_record_name(member(document, "type").string_value());
}

std::string store::reported_name_aside(const Json::object& document) {
    std::optional<std::string> name = is_reported_invoice(document) ? name_beside(document) : std::nullopt;
    return name ? *name : member(document, "recordName").string_value();
}

bool store::awaits_merge(Core& core, const Json::object& document) {
    if (!is_reported_invoice(document) || member(document, "synced").number_value() != 0) return false;
    // A copy known in the cloud was deleted there by a merge; one the cloud never confirmed goes by
    // the rule for a document made here, unless its other copy is here already.
    return !member(document, "recordChangeTag").string_value().empty() ||
           !rows(core, "SELECT 1 FROM documents WHERE type = 'INVOICE' AND nav_transaction_id = ? AND recordName <> ?",
                 {member(document, "nav_transaction_id"), member(document, "recordName")})
                .empty();
}

bool store::merge_reported_copies(Core& core) {
    for (const Json::object& doubled :
         rows(core, "SELECT nav_transaction_id FROM documents WHERE type = 'INVOICE' AND nav_transaction_id <> '' "
                    "GROUP BY nav_transaction_id HAVING COUNT(*) > 1")) {
        // In name order: the same copy comes first on every installation.
        const std::vector<Json::object> copies =
            rows(core, "SELECT * FROM documents WHERE type = 'INVOICE' AND nav_transaction_id = ? ORDER BY recordName",
                 {member(doubled, "nav_transaction_id")});
        // The copy named by number, else the one named beside it, else the first.
        auto rank = [](const Json::object& copy) {
            const std::string& name = member(copy, "recordName").string_value();
            return name_by_number(copy) == name ? 0 : name_beside(copy) == name ? 1 : 2;
        };
        std::size_t kept = 0;
        for (std::size_t i = 1; i < copies.size(); ++i)
            if (rank(copies[i]) < rank(copies[kept])) kept = i;
        const Json& kept_name = member(copies[kept], "recordName");
        for (std::size_t i = 0; i < copies.size(); ++i) {
            if (i == kept) continue;
            // As the copies folded before left it.
            const std::vector<Json::object> now = rows(core, "SELECT * FROM documents WHERE recordName = ?", {kept_name});
            if (now.empty() || !fold_copy(core, now.front(), copies[i])) return false;
        }
    }
    return true;
}
