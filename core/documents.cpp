// Saving a document with its lines: record name, times, totals, line snapshots and amounts, task
// progress and due date, stock postings, the back link to the source document and the search text,
// all written in one transaction, so a failed save leaves the store as it was.
#include "core/store_internal.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

using json11::Json;

namespace {

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A member of a record, or null when it has none.
const Json& member(const Json::object& record, const std::string& name) {
    static const Json none;
    auto found = record.find(name);
    return found == record.end() ? none : found->second;
}

bool document_exists(Core& core, const std::string& record_name) {
    store::Statement statement(core, "SELECT 1 FROM documents WHERE recordName = ?");
    statement.bind(1, record_name);
    return statement.step();
}

// The record name for a new document, never one that a stored document already has: the numbering
// can repeat a name (a document of this year's sequence dated in another year, two drafts in one
// second). Numbered names take the next free number, drafts and tasks a suffix "-2", "-3"...
std::string free_record_name(Core& core, const std::string& type) {
    const std::string proposed = core.new_document_record_name(type);
    if (!document_exists(core, proposed)) return proposed;
    const std::size_t dash = proposed.rfind('-');
    const std::string digits = dash == std::string::npos ? std::string() : proposed.substr(dash + 1);
    const bool numbered = type != "DRAFT" && type != "TASK" && !digits.empty() && digits.size() < 18 &&
                          digits.find_first_not_of("0123456789") == std::string::npos;
    if (numbered) {
        const std::string prefix = proposed.substr(0, dash + 1);
        for (long long number = std::stoll(digits) + 1;; ++number) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%06lld", number);
            std::string candidate = prefix + buffer;
            if (!document_exists(core, candidate)) return candidate;
        }
    }
    for (int suffix = 2;; ++suffix) {
        std::string candidate = proposed + "-" + std::to_string(suffix);
        if (!document_exists(core, candidate)) return candidate;
    }
}

// Writes the rows of one table through one prepared statement, each column bound by its declared
// type exactly as Core::save_record binds it: a document of many lines is not worth one statement
// compile per line.
class RowWriter {
public:
    RowWriter(Core& core, const std::string& table) {
        store::Statement columns(core, "SELECT name, type FROM pragma_table_info(?)");
        columns.bind(1, table);
        while (columns.step()) columns_.emplace_back(columns.column_text(0), columns.column_text(1));
        if (columns_.empty()) return;
        std::string sql = "INSERT OR REPLACE INTO " + store::quoted_identifier(table) + " VALUES (";
        for (std::size_t i = 0; i < columns_.size(); ++i) sql += i ? ", ?" : "?";
        statement_.emplace(core, sql + ")");
    }

    bool write(const Json::object& record) {
        if (!statement_ || !statement_->ok()) return false;
        statement_->reset();
        int index = 0;
        for (const auto& [name, type] : columns_) {
            ++index;
            auto member = record.find(name);
            const Json& value = member == record.end() ? none_ : member->second;
            const double number = value.is_bool() ? (value.bool_value() ? 1.0 : 0.0) : value.number_value();
            if (type == "VARCHAR")
                statement_->bind(index, value.is_string() ? std::string_view(value.string_value()) : std::string_view(""));
            else if (type == "INT")
                statement_->bind(index, saturated_int(number));
            else if (type == "BIGINT")
                statement_->bind(index, saturated_int64(number));
            else if (type == "DOUBLE")
                statement_->bind(index, number);
        }
        return statement_->run();
    }

private:
    std::vector<std::pair<std::string, std::string>> columns_;
    std::optional<store::Statement> statement_;
    const Json none_;
};

std::string line_id(const std::string& record_name, std::size_t position) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "-%03zu", position);
    return record_name + buffer;
}

// Copies every member of a settings entry into the line under the prefix ("tax_", "unit_").
void snapshot(Json::object& line, const Json::object& entry, const std::string& prefix) {
    for (const auto& [name, value] : entry) line[prefix + name] = value;
}

bool is_completed(const Json& value) {
    return value.is_bool() ? value.bool_value() : value.is_number() && value.int_value() == 1;
}

// Each distinct word once, in byte order, separated by single blanks.
std::string sorted_words(const std::string& text) {
    std::set<std::string> words;
    for (std::string& word : split(' ', normalize_whitespace(text))) words.insert(std::move(word));
    std::string joined;
    for (const std::string& word : words) {
        joined += word;
        joined += ' ';
    }
    return normalize_whitespace(joined);
}

}  // namespace

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
    if (is_new) {
        record_name = free_record_name(*this, type);
        document["recordName"] = record_name;
        document["created"] = static_cast<double>(clock_now()) * 1000.0;
        document["paid"] = 0;
        first_save = true;
    } else {
        record_name = given_name.string_value();
        first_save = !document_exists(*this, record_name);
    }

    if (type == "TASK" && member(document, "number_formatted").string_value().empty())
        document["number_formatted"] = translated("TASK", "");

    const Json taxes_setting = setting("taxes");
    const Json::array& taxes = taxes_setting.array_items();
    if (!from_cloud) {
        document["synced"] = 0;
        document["recordChangeTag"] = "";
        document["modified"] = static_cast<double>(clock_now()) * 1000.0;
        const TaxSummary summary = tax_summary(Json(lines), taxes);
        document["total_net_amount"] = summary.total_net;
        document["total_tax_amount"] = summary.total_tax;
        document["total_gross_amount"] = summary.total_gross;
    }

    if (!store::run(*this, "DELETE FROM document_lines WHERE documentRecordName = ?", {record_name})) return "";

    const Json units_setting = setting("units");
    const Json::array& units = units_setting.array_items();
    const bool purchase = type == "PURCHASE_ORDER" || type == "PURCHASE_RECEIVE";
    RowWriter line_writer(*this, "document_lines");
    std::vector<Json> completed_lines;
    completed_lines.reserve(lines.size());
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
            snapshot(line, find_object(taxes, true, "id", member(line, "tax_id").string_value()), "tax_");
            snapshot(line, find_object(units, true, "id", member(line, "unit_id").string_value()), "unit_");
            if (!member(line, "price").is_number())
                line["price"] = member(line, purchase ? "purchase_price" : "selling_price").number_value();
            const Json priced(line);
            line["net_amount"] = line_amount(1, 0, priced, taxes);
            line["tax_amount"] = line_amount(2, 0, priced, taxes);
            line["gross_amount"] = line_amount(3, 0, priced, taxes);
            line["discount_net_amount"] = line_amount(1, 2, priced, taxes);
            line["discount_tax_amount"] = line_amount(2, 2, priced, taxes);
            line["discount_gross_amount"] = line_amount(3, 2, priced, taxes);
        }

        line["documentRecordName"] = record_name;
        if (member(line, "name").string_value().empty()) line["name"] = member(line, "item_name").string_value();
        std::string line_search = search_text(line);
        search += ' ';
        search += line_search;
        line["search"] = std::move(line_search);
        if (!line_writer.write(line)) return "";
        completed_lines.emplace_back(std::move(line));
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
        // Stock moves once per document, on the save that first stores it.
        if ((type == "INVOICE" || type == "PURCHASE_RECEIVE") && first_save &&
            !post_inventory_checked(completed_lines, Json(document)))
            return "";
    }

    document["search"] = sorted_words(search);
    if (!save_record(document, "documents")) return "";
    if (!transaction.commit()) return "";
    return record_name;
}
