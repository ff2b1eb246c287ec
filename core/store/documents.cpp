// Saving a document with its lines: record name, times, totals, line snapshots and amounts, task
// progress and due date, stock postings, the back link to the source document and the search text,
// all written in one transaction, so a failed save leaves the store as it was.
#include "core/store/store_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <string>
#include <vector>

using json11::Json;
using store::member;

namespace {

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A member of a record, or null when it has none.

bool document_exists(Core& core, const std::string& record_name) {
    store::Statement statement(core, "SELECT 1 FROM documents WHERE recordName = ?");
    statement.bind(1, record_name);
    return statement.step();
}

std::string line_id(const std::string& record_name, std::size_t position) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "-%03zu", position);
    return record_name + buffer;
}

// A settings list (taxes, units) looked up by id as find_object does: letter case ignored, the
// first entry when none matches, nothing when the list is empty. Indexed once per save.
class SettingsList {
public:
    explicit SettingsList(Json list) : list_(std::move(list)) {
        const Json::array& items = list_.array_items();
        for (std::size_t i = 0; i < items.size(); ++i) index_.emplace(to_lower(items[i]["id"].string_value()), i);
    }
    const Json::array& items() const { return list_.array_items(); }
    // The entry for an id, or null when the list is empty.
    const Json& find(const std::string& id) const {
        static const Json none;
        const Json::array& items = list_.array_items();
        if (items.empty()) return none;
        auto found = index_.find(to_lower(id));
        return items[found == index_.end() ? 0 : found->second];
    }

private:
    Json list_;
    std::map<std::string, std::size_t> index_;
};

// Copies every member of a settings entry into the line under the prefix ("tax_", "unit_").
void snapshot(Json::object& line, const Json::object& entry, const std::string& prefix) {
    for (const auto& [name, value] : entry) line[prefix + name] = value;
}

bool is_completed(const Json& value) {
    return value.is_bool() ? value.bool_value() : value.is_number() && value.int_value() == 1;
}

// Each distinct word once, in byte order, separated by single blanks. The text is normalised first,
// so words are exactly the pieces between single blanks.
std::string sorted_words(const std::string& text) {
    const std::string normalized = normalize_whitespace(text);
    std::set<std::string_view> words;
    const std::string_view all(normalized.data(), std::min(normalized.size(), normalized.find('\0')));
    for (std::size_t start = 0; start <= all.size();) {
        std::size_t end = all.find(' ', start);
        if (end == std::string_view::npos) end = all.size();
        words.insert(all.substr(start, end - start));
        start = end + 1;
    }
    std::string joined;
    joined.reserve(normalized.size() + 1);
    for (std::string_view word : words) {
        joined += word;
        joined += ' ';
    }
    return normalize_whitespace(joined);
}

// The line without the members that never count for the search text (keys, codes, numbers), so
// that the search text, which takes its record by value, copies a third of it.
Json::object searchable(const Json::object& line) {
    static const std::set<std::string, std::less<>> never = {
        "id", "documentRecordName", "itemRecordName", "item_type", "tax_id", "unit_id", "tax_rate", "tax_rate2",
        "tax_compound", "unit_digits", "price", "price_type", "quantity", "discount", "discount_type",
        "net_amount", "tax_amount", "gross_amount", "discount_net_amount", "discount_tax_amount",
        "discount_gross_amount", "task_completed", "search"};
    Json::object out;
    for (const auto& member : line)
        if (!never.count(member.first)) out.emplace_hint(out.end(), member);
    return out;
}

// What a stock posting reads of a line.
Json stock_line(const Json::object& line) {
    Json::object posted;
    for (const char* name : {"itemRecordName", "item_type", "quantity", "price", "item_name", "name", "clearing_price"}) {
        auto found = line.find(name);
        if (found != line.end()) posted.emplace(found->first, found->second);
    }
    return Json(std::move(posted));
}

constexpr const char* kPieceNames[] = {"paid", "status", "notes", "lines"};

// A document's lines as they are stored, in their order.
std::vector<Json::object> stored_lines(Core& core, const std::string& record_name) {
    return store::rows(core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY rowid", {record_name});
}

// What a line holds, without the names it is stored under and its search text.
Json::object line_content(const Json::object& line) {
    Json::object content = line;
    for (const char* name : {"id", "documentRecordName", "search"}) content.erase(name);
    return content;
}

// After a local save of a stored document: the pieces the save changed take its time, the others
// keep theirs (written here, so that a row of an older version keeps them apart from now on).
bool stamp_changed_pieces(Core& core, const std::string& record_name, const Json::object& before,
                          const std::vector<Json::object>& lines_before, double saved_at) {
    const auto saved = store::rows(core, "SELECT * FROM documents WHERE recordName = ?", {record_name});
    if (saved.empty()) return false;
    const std::vector<Json::object> lines_saved = stored_lines(core, record_name);
    store::PieceTimes times = store::piece_times(before);
    for (const store::Piece piece : store::kPieces)
        if (!store::same_piece(piece, before, lines_before, saved.front(), lines_saved))
            times[static_cast<std::size_t>(piece)] = saved_at;
    return store::run(core, "UPDATE documents SET piece_modified = ? WHERE recordName = ?",
                      {store::piece_times_text(times), record_name});
}

}  // namespace

// A new document never takes the name of a stored one: the numbering can repeat a name (a document
// of this year's sequence dated in another year, two drafts in one second).
std::string store::free_record_name(Core& core, const std::string& proposed, bool numbered, bool deleted_too) {
    auto taken = [&](const std::string& name) {
        return document_exists(core, name) ||
               (deleted_too && !store::rows(core, "SELECT 1 FROM deleted WHERE recordName = ?", {name}).empty());
    };
    if (!taken(proposed)) return proposed;
    const std::size_t dash = proposed.rfind('-');
    const std::string digits = dash == std::string::npos ? std::string() : proposed.substr(dash + 1);
    if (numbered && !digits.empty() && digits.size() < 18 && digits.find_first_not_of("0123456789") == std::string::npos) {
        const std::string prefix = proposed.substr(0, dash + 1);
        for (long long number = std::stoll(digits) + 1;; ++number) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%06lld", number);
            std::string candidate = prefix + buffer;
            if (!taken(candidate)) return candidate;
        }
    }
    for (int suffix = 2;; ++suffix) {
        std::string candidate = proposed + "-" + std::to_string(suffix);
        if (!taken(candidate)) return candidate;
    }
}

bool store::in_piece(Piece piece, const std::string& column) {
    switch (piece) {
        case Piece::paid: return column == "paid";
        case Piece::status: return column == "nav_status";
        case Piece::notes: return column == "header_note" || column == "footer_note";
        case Piece::lines: break;
    }
    for (const Piece other : {Piece::paid, Piece::status, Piece::notes})
        if (in_piece(other, column)) return false;
    for (const char* apart : {"recordName", "recordChangeTag", "created", "modified", "synced", "search", "document_id",
                              "piece_modified"})
        if (column == apart) return false;
    return true;
}

bool store::same_piece(Piece piece, const Json::object& first, const std::vector<Json::object>& first_lines,
                       const Json::object& second, const std::vector<Json::object>& second_lines) {
    for (const auto& [column, value] : first)
        if (in_piece(piece, column) && value != member(second, column)) return false;
    for (const auto& [column, value] : second)
        if (in_piece(piece, column) && !first.count(column) && !value.is_null()) return false;
    if (piece != Piece::lines) return true;
    if (first_lines.size() != second_lines.size()) return false;
    for (std::size_t i = 0; i < first_lines.size(); ++i)
        if (line_content(first_lines[i]) != line_content(second_lines[i])) return false;
    return true;
}

store::PieceTimes store::piece_times(const Json::object& document) {
    const Json stored = Json::parse(member(document, "piece_modified").string_value());
    PieceTimes times{};
    for (const Piece piece : kPieces) {
        const Json& time = stored[kPieceNames[static_cast<std::size_t>(piece)]];
        times[static_cast<std::size_t>(piece)] =
            time.number_value() > 0 ? time.number_value() : member(document, "modified").number_value();
    }
    return times;
}

std::string store::piece_times_text(const PieceTimes& times) {
    Json::object text;
    for (const Piece piece : kPieces)
        text[kPieceNames[static_cast<std::size_t>(piece)]] = times[static_cast<std::size_t>(piece)];
    return Json(text).dump();
}

bool store::mark_paid(Core& core, const std::string& record_name, int paid) {
    Transaction transaction(core);
    if (!transaction.active()) return false;
    const auto stored = rows(core, "SELECT paid, modified, piece_modified FROM documents WHERE recordName = ?", {record_name});
    if (stored.empty() || member(stored.front(), "paid") == Json(paid)) return true;
    const double now = static_cast<double>(clock_now()) * 1000.0;
    PieceTimes times = piece_times(stored.front());
    times[static_cast<std::size_t>(Piece::paid)] = now;
    return run(core, "UPDATE documents SET paid = ?, modified = ?, piece_modified = ?, synced = 0 WHERE recordName = ?",
               {paid, now, piece_times_text(times), record_name}) &&
           transaction.commit();
}

bool store::give_report_status(Core& core, const std::string& record_name, const std::string& status) {
    Transaction transaction(core);
    if (!transaction.active()) return false;
    const auto stored = rows(core, "SELECT modified, piece_modified FROM documents WHERE recordName = ?", {record_name});
    if (stored.empty()) return true;
    PieceTimes times = piece_times(stored.front());
    times[static_cast<std::size_t>(Piece::status)] = static_cast<double>(clock_now()) * 1000.0;
    return run(core, "UPDATE documents SET nav_status = ?, piece_modified = ?, synced = 0 WHERE recordName = ?",
               {status, piece_times_text(times), record_name}) &&
           transaction.commit();
}

bool store::keep_given_status(Json::object& row, const Json::object& other) {
    const Json& given = member(other, "nav_status");
    if (!member(row, "nav_status").string_value().empty() || given.string_value().empty()) return false;
    row["nav_status"] = given;
    PieceTimes times = piece_times(row);
    times[static_cast<std::size_t>(Piece::status)] = piece_times(other)[static_cast<std::size_t>(Piece::status)];
    row["piece_modified"] = piece_times_text(times);
    return true;
}

bool store::add_tombstone(Core& core, const std::string& record_name) {
    return store::run(core,
                      "INSERT INTO deleted(recordName, recordChangeTag) VALUES (?1, COALESCE((SELECT recordChangeTag "
                      "FROM documents WHERE recordName = ?1), '')) ON CONFLICT(recordName) DO UPDATE SET "
                      "recordChangeTag = excluded.recordChangeTag WHERE excluded.recordChangeTag <> ''",
                      {record_name});
}

std::optional<std::string> store::tombstone_tag(Core& core, const std::string& record_name) {
    const auto rows = store::rows(core, "SELECT recordChangeTag FROM deleted WHERE recordName = ?", {record_name});
    if (rows.empty()) return std::nullopt;
    return member(rows.front(), "recordChangeTag").string_value();
}

bool store::set_tombstone_tag(Core& core, const std::string& record_name, const std::string& change_tag) {
    return store::run(core, "UPDATE deleted SET recordChangeTag = ? WHERE recordName = ?", {change_tag, record_name});
}

std::string Core::save_document(std::vector<Json> lines, bool from_cloud, Json::object document) {
    std::string search = search_text(document);

    store::Transaction transaction(*this);
    if (!transaction.active()) return "";

    const std::string type = member(document, "type").string_value();
    const Json& given_name = member(document, "recordName");
    // An empty name is no name: every such document would otherwise share the key "".
    const bool is_new = !given_name.is_string() || given_name.string_value().empty();
    std::string record_name;
    bool first_save;
    // The change tag of the cloud's copy that this save replaces: empty for a document never uploaded.
    std::string change_tag;
    if (is_new) {
        record_name = store::free_record_name(*this, store::proposed_record_name(*this, document),
                                              type != "DRAFT" && type != "TASK");
        document["recordName"] = record_name;
        document["created"] = static_cast<double>(clock_now()) * 1000.0;
        document["paid"] = 0;
        first_save = true;
    } else {
        record_name = given_name.string_value();
        constexpr const char* kStored =
            "SELECT recordName, recordChangeTag, type, created, document_id, number, number_formatted FROM documents ";
        auto stored = from_cloud ? std::vector<Json::object>(document_exists(*this, record_name) ? 1 : 0)
                                 : store::rows(*this, std::string(kStored) + "WHERE recordName = ?", {record_name});
        if (!from_cloud && !stored.empty() && !store::same_document(stored.front(), document)) {
            // The name holds another document now: a download moved this one aside while it was open
            // here (it is saved where it went, with the number it got there), or it was deleted and its
            // number taken again (it is saved anew).
            stored = store::rows(*this, std::string(kStored) + "WHERE type = ? AND created = ? AND recordName <> ?",
                                 {type, member(document, "created"), record_name});
            stored.erase(std::remove_if(stored.begin(), stored.end(),
                                        [&document](const Json::object& candidate) {
                                            return !store::same_document(candidate, document);
                                        }),
                         stored.end());
            if (stored.empty()) {
                record_name = store::free_record_name(*this, record_name, type != "DRAFT" && type != "TASK");
            } else {
                record_name = member(stored.front(), "recordName").string_value();
                document["number"] = member(stored.front(), "number");
                document["number_formatted"] = member(stored.front(), "number_formatted");
            }
            document["recordName"] = record_name;
        }
        first_save = stored.empty();
        if (!first_save) change_tag = member(stored.front(), "recordChangeTag").string_value();
        // A page that does not carry the id keeps the stored one.
        if (!from_cloud && !first_save && member(document, "document_id").string_value().empty())
            document["document_id"] = member(stored.front(), "document_id");
    }

    if (type == "TASK" && member(document, "number_formatted").string_value().empty())
        document["number_formatted"] = translated("TASK", "");

    const SettingsList taxes(setting("taxes"));
    if (!from_cloud) {
        document["synced"] = 0;
        // Kept through local edits: an empty tag tells the upload that the cloud has no copy of this
        // document yet, and a download that the edit was made on this version of it.
        document["recordChangeTag"] = change_tag;
        document["modified"] = static_cast<double>(clock_now()) * 1000.0;
        if (first_save) {
            store::PieceTimes times;
            times.fill(member(document, "modified").number_value());
            document["piece_modified"] = store::piece_times_text(times);
            // Its own, also when it was copied from another document.
            if (is_new || member(document, "document_id").string_value().empty())
                document["document_id"] = new_record_name();
        }
        const TaxSummary summary = tax_summary(Json(lines), taxes.items());
        document["total_net_amount"] = summary.total_net;
        document["total_tax_amount"] = summary.total_tax;
        document["total_gross_amount"] = summary.total_gross;
    }

    // An edit here: what the document held before, to tell which of its pieces the save changes.
    const bool stamps_pieces = !from_cloud && !first_save;
    const std::vector<Json::object> before =
        stamps_pieces ? store::rows(*this, "SELECT * FROM documents WHERE recordName = ?", {record_name})
                      : std::vector<Json::object>{};
    const std::vector<Json::object> lines_before =
        stamps_pieces ? stored_lines(*this, record_name) : std::vector<Json::object>{};
    // A page opened before the authority's status came does not hold it: the status stays.
    if (stamps_pieces && !before.empty()) store::keep_given_status(document, before.front());
    if (!store::run(*this, "DELETE FROM document_lines WHERE documentRecordName = ?", {record_name})) return "";

    const SettingsList units(setting("units"));
    const bool purchase = type == "PURCHASE_ORDER" || type == "PURCHASE_RECEIVE";
    store::RowWriter line_writer(*this, "document_lines");
    // Stock moves once per document, on the save that first stores it.
    const bool posts_stock = !from_cloud && first_save && (type == "INVOICE" || type == "PURCHASE_RECEIVE");
    std::vector<Json> stock_lines;
    std::size_t completed = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Json::object line = lines[i].object_items();
        line["id"] = line_id(record_name, i + 1);
        {
            auto item = line.find("recordName");
            if (item != line.end() && !item->second.is_null()) line["itemRecordName"] = item->second;
            auto item_type = line.find("item_type");
            if (item_type == line.end() || item_type->second.is_null())
                line["item_type"] = member(line, "type").string_value();
        }
        if (type == "TASK" && is_completed(member(line, "task_completed"))) ++completed;

        if (!from_cloud) {
            const Json& tax = taxes.find(member(line, "tax_id").string_value());
            snapshot(line, tax.object_items(), "tax_");
            snapshot(line, units.find(member(line, "unit_id").string_value()).object_items(), "unit_");
            if (!member(line, "price").is_number())
                line["price"] = member(line, purchase ? "purchase_price" : "selling_price").number_value();
            // The amounts read only these members, and the line's tax is already known: hand them just
            // that, instead of copying the whole line and searching the taxes six times.
            Json::object priced_members;
            for (const char* name : {"tax_id", "price_type", "price", "quantity", "discount", "discount_type"}) {
                auto found = line.find(name);
                if (found != line.end()) priced_members.emplace(found->first, found->second);
            }
            const Json priced(std::move(priced_members));
            const Json::array line_tax = tax.is_null() ? Json::array{} : Json::array{tax};
            line["net_amount"] = line_amount(1, 0, priced, line_tax);
            line["tax_amount"] = line_amount(2, 0, priced, line_tax);
            line["gross_amount"] = line_amount(3, 0, priced, line_tax);
            line["discount_net_amount"] = line_amount(1, 2, priced, line_tax);
            line["discount_tax_amount"] = line_amount(2, 2, priced, line_tax);
            line["discount_gross_amount"] = line_amount(3, 2, priced, line_tax);
        }

        line["documentRecordName"] = record_name;
        if (member(line, "name").string_value().empty()) line["name"] = member(line, "item_name").string_value();
        std::string line_search = search_text(searchable(line));
        search += ' ';
        search += line_search;
        line["search"] = std::move(line_search);
        if (!line_writer.write(line)) return "";
        if (posts_stock) stock_lines.push_back(stock_line(line));
    }

    if (type == "TASK") {
        const double progress =
            lines.empty() ? 0.0 : (static_cast<double>(completed) / static_cast<double>(lines.size())) * 100;
        document["task_progress"] = saturated_int(progress);
        const Json& repeat = member(document, "task_repeat");
        if (repeat.is_string() && !repeat.string_value().empty())
            document["due_date"] = iso_date(next_repeat_date(repeat.string_value()));
    }

    if (!from_cloud) {
        const std::string reference = member(document, "reference_recordName").string_value();
        // The source document points to the document made from it, and is uploaded again.
        if (!reference.empty() && (starts_with(record_name, "INVOICE") || starts_with(record_name, "PURCHASE_RECEIVE"))) {
            if (!store::run(*this,
                            "UPDATE documents SET reference_recordName = ?, reference_number_formatted = ?, "
                            "synced = 0 WHERE recordName = ?",
                            {record_name, member(document, "number_formatted").string_value(), reference}))
                return "";
        }
        // Only an invoice that cancels an invoice keeps its own reference.
        if (!(starts_with(record_name, "INVOICE") && starts_with(reference, "INVOICE"))) {
            document["reference_recordName"] = "";
            document["reference_number_formatted"] = "";
        }
        if (posts_stock && !post_inventory_checked(stock_lines, Json(document))) return "";
    }

    document["search"] = sorted_words(search);
    if (!save_record(document, "documents")) return "";
    if (!before.empty() &&
        !stamp_changed_pieces(*this, record_name, before.front(), lines_before, member(document, "modified").number_value()))
        return "";
    if (!transaction.commit()) return "";
    return record_name;
}
