// The list pages of the main window: clients, items, stock movements, documents of one type, overdue
// invoices, tasks and web-shop orders, each as one HTML document with its header row, its rows, the
// paging by 100 rows and the totals line, and the master-data view of a client or an item on top.
//
// Filter values, the search text and record names are bound, never spliced into the SQL; the one
// column name that comes from the filter (date_type) is taken only from the names the lists use.
// Every value shown is escaped where it is inserted.
#include "core/views/html.h"
#include "core/store/store_internal.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using json11::Json;
using store::member;

// The card of a client or an item with its type entries (master_view.cpp). `preselected` comes in as
// the type the view was asked for and leaves as the type whose list follows (empty for none).
std::string master_data_card(Core& core, const std::string& kind, const std::string& record_name,
                             std::string& preselected);

namespace {

const char* const kGreen = "#34c759";
const char* const kRed = "#ff3b30";
const char* const kYellow = "#ffcc00";
const char* const kGrey = "#c0c0c0";

std::string dot(const char* colour) { return std::string("<span style='color:") + colour + "'>&#x2B24;</span>"; }


const std::string& text(const Json::object& row, const std::string& name) { return member(row, name).string_value(); }

double number(const Json::object& row, const std::string& name) { return member(row, name).number_value(); }

// A member as text whatever its kind: a number as a whole decimal number, as a filter holds it.
std::string filter_text(const Json::object& filter, const std::string& name) {
    const Json& value = member(filter, name);
    if (value.is_number()) return std::to_string(saturated_int64(value.number_value()));
    return value.string_value();
}

bool is_one_of(const std::string& value, std::initializer_list<const char*> names) {
    return std::any_of(names.begin(), names.end(), [&](const char* name) { return value == name; });
}

bool is_document_kind(const std::string& kind) {
    return is_one_of(kind, {"INVOICE", "ARCHIVE_INVOICE", "PROFORMA", "ESTIMATE", "DELIVERY_NOTE", "PURCHASE_ORDER",
                            "PURCHASE_RECEIVE", "DRAFT"});
}

bool is_profit_key(const std::string& key) {
    return is_one_of(key, {"profit_fifo", "profit_lifo", "profit_avg", "profit_clearing"});
}

std::vector<Json::object> bound_rows(Core& core, const std::string& sql, const std::vector<Json>& values,
                                     bool wide_name = false) {
    store::Statement statement(core, sql);
    int index = 1;
    for (const Json& value : values) statement.bind(index++, value);
    return statement.rows(wide_name);
}

// Cells of one row (or of the head row): the first one follows the "<td>" already written.
class Cells {
public:
    explicit Cells(std::string& out) : out_(out) {}
    void add(std::string_view cell, bool right = false) {
        if (count_++) out_ += right ? "</td><td class='align_right'>" : "</td><td>";
        out_ += cell;
    }

private:
    std::string& out_;
    int count_ = 0;
};

// The frame of every list page: style and the row-selection script.
std::string page_frame(const std::string& accent_color) {
    const std::string font = "font-family:\"Segoe UI\"; font-size:0.9em;";
    return "<meta name='color-scheme' content='dark light'><meta name='supported-color-schemes' content='dark "
           "light'><style>body{margin:0; " +
           font + "} table{" + font +
           " width:100%; padding-left:6px; padding-right:6px} thead td{position:sticky; position:-webkit-sticky; "
           "-webkit-backdrop-filter:blur(6px); backdrop-filter:blur(6px); text-align:center; font-weight:bolder; "
           "height:22px} thead td{top:0; border-bottom:1px solid #a9a9a9; text-align:left; height:22px; "
           "white-space:nowrap} table tbody td{height:20px; max-width:160px; overflow:hidden; white-space:nowrap; "
           "text-overflow: ellipsis;} .selectedRow, table.list tbody tr:hover{color:white; "
           "background-color:rgb(" +
           html_escaped(accent_color) +
           ");} .align_right{text-align:right; white-space:nowrap; } tbody{cursor:default} </style>"
           "<script>function onListRowSelected(recordName, type) { for (var i = 0, row; row = "
           "document.getElementById('list').rows[i]; i++) { if (row.className == 'selectedRow') row.className = ''; "
           "} document.getElementById(recordName).className = 'selectedRow'; "
           "window.chrome.webview.postMessage({\"action\":\"onListRowSelected\", \"recordName\":recordName, "
           "\"type\":type}); }</script>";
}

// One condition of a document list with its bound values.
struct Term {
    std::string sql;
    std::vector<Json> values;
    bool match_all = false;  // a LIKE pattern of '%' signs only: lets every row with a value through
    bool search = false;     // the search text, which the summary knows only as being there or not
};

Term like_term(const std::string& sql, const std::string& pattern, bool search = false) {
    return Term{sql, {Json(pattern)}, !pattern.empty() && pattern.find_first_not_of('%') == std::string::npos, search};
}

// A WHERE condition and its values.
struct Condition {
    std::string sql;
    std::vector<Json> values;
};

// The terms joined with AND, on the documents or on the summary's columns. `relaxed` leaves out the
// match-all terms. The summary has a match-all search text as `searchable` and no other search text.
Condition condition(const std::vector<Term>& terms, bool relaxed, bool summary) {
    Condition c;
    for (const Term& term : terms) {
        if (relaxed && term.match_all) continue;
        if (summary && term.search && !term.match_all) continue;
        if (!c.sql.empty()) c.sql += " AND ";
        if (summary && term.search) {
            c.sql += "searchable";
            continue;
        }
        c.sql += term.sql;
        c.values.insert(c.values.end(), term.values.begin(), term.values.end());
    }
    if (c.sql.empty()) c.sql = "1";
    return c;
}

// Newest first; rows of the same creation time in the order they were written.
const char* const kNewestFirst = " ORDER BY created DESC, rowid";

// The list query of a kind, in pieces: the aggregate queries reuse its source and conditions.
struct ListQuery {
    std::string columns;
    std::string source;
    std::string where;        // " WHERE ..." with the restriction, or empty
    std::string tail;         // grouping and ordering
    std::vector<Json> values; // bound to the placeholders of `where`, in order
    bool whole_table_count = false;  // clients and items count the whole table
    bool grouped = false;            // one row per document over the joined lines
    // Documents newest first without a restriction: `terms` make up `where`, and one pass can count,
    // sum and pick the page.
    bool newest_first = false;
    // Also a type and an issue-date range: the summary of the documents stands for the rows.
    bool summarised = false;
    std::vector<Term> terms;
    bool empty() const { return source.empty(); }
};

// Per-call reference data of the rows.
struct RowContext {
    std::string kind;
    std::string date_template;
    // Shown dates by stored date: the rows of a page repeat few dates, and each costs a calendar call.
    mutable std::map<std::string, std::string> shown_dates;
    std::string today;
    std::string profit_key;
    Json::array taxes;
    Json::array units;
    Json::array currencies;
    std::map<std::string, double> stock;  // summed quantity per tracked item
};

}  // namespace

namespace {

void append_header(Core& core, std::string& out, const std::string& kind, const std::string& profit_key) {
    auto t = [&core](const std::string& key) { return html_escaped(core.translated(key, "")); };
    Cells cells(out);
    const bool document_list = is_document_kind(kind) || kind == "overdue";
    if (kind == "clients") {
        for (const char* key : {"name", "address", "identifier_number", "other", "email", "phone"}) cells.add(t(key));
    } else if (kind == "items") {
        for (const char* key : {"name", "description", "sku", "upc", "tax", "unit"}) cells.add(t(key));
        cells.add(t("selling_price") + " (" + t("NET") + ")", true);
        cells.add(t("selling_price") + " (" + t("GROSS") + ")", true);
        for (const char* key : {"purchase_price", "clearing_price", "stock"}) cells.add(t(key), true);
    } else if (document_list) {
        for (const char* key : {"number", "issue_date", "delivery_date", "due_date", "client"}) cells.add(t(key));
        cells.add(t("gross"), true);
    } else if (kind == "TASK") {
        for (const char* key : {"TASK", "due_date", "repeat", "client"}) cells.add(t(key));
    } else if (kind == "inventory") {
        for (const char* key : {"item", "client", "number", "issue_date", "reason"}) cells.add(t(key));
        for (const std::string& key : {std::string("quantity"), std::string("stock"), std::string("purchase_price"),
                                       std::string("selling_price"), profit_key, std::string("note")})
            cells.add(t(key), true);
    } else if (kind == "WEBSHOP_ORDER") {
        for (const char* key : {"number", "order", "client", "email", "phone", "address"}) cells.add(t(key));
        cells.add(t("gross"), true);
    }
    out += document_list ? "</td></tr></thead><tbody id='list_tbody'>" : "</td></tr></thead><tbody>";
}

ListQuery list_query(const std::string& kind, const Json::object& filter, const std::string& search_pattern,
                     const std::string& restriction_column, const std::string& restriction_value,
                     const std::string& today) {
    const bool restricted = !restriction_column.empty();
    const std::string restriction = restricted ? "AND " + restriction_column + " = ?" : "";
    const std::string document_columns =
        "recordName, number_formatted, reference_number_formatted, total_net_amount, total_tax_amount, "
        "total_gross_amount, currency_code, exchange_rate, issue_date, delivery_date, due_date, client_name, paid, "
        "nav_status, reference_recordName";

    ListQuery q;
    q.source = restricted ? "documents LEFT JOIN document_lines ON documents.recordName = "
                            "document_lines.documentRecordName"
                          : "documents";
    // With the lines joined every list is grouped per document, so each row (and each element id)
    // stands once.
    q.grouped = restricted;
    const std::string group = restricted ? " GROUP BY documents.recordName" : "";

    if (kind == "clients" || kind == "items") {
        q.columns = "*";
        q.source = kind;
        q.where = " WHERE search LIKE ? ESCAPE '\\'";
        q.values = {search_pattern};
        q.tail = " ORDER BY name COLLATE NOCASE";
        q.whole_table_count = true;
        q.grouped = false;
        return q;  // no restriction
    } else if (is_document_kind(kind)) {
        if (kind == "INVOICE")
            q.terms.push_back({"(type = 'INVOICE' OR type = 'ARCHIVE_INVOICE')", {}});
        else
            q.terms.push_back({"type = ?", {Json(kind)}});
        const std::string date_type = text(filter, "date_type");
        if (member(filter, "from_to_type").int_value() != 0)
            q.terms.push_back({"number BETWEEN ? AND ?",
                               {Json(std::to_string(member(filter, "from_number").int_value())),
                                Json(std::to_string(member(filter, "to_number").int_value()))}});
        else if (is_one_of(date_type, {"issue_date", "delivery_date", "due_date"}))
            q.terms.push_back({date_type + " BETWEEN ? AND ?",
                               {Json(filter_text(filter, "from_date")), Json(filter_text(filter, "to_date"))}});
        else
            q.terms.push_back({"0", {}});  // a column the lists do not know: no rows
        for (const char* name : {"currency_code", "payment_id", "paid"})
            q.terms.push_back(like_term(std::string(name) + " LIKE ?", filter_text(filter, name)));
        q.terms.push_back(like_term("documents.search LIKE ? ESCAPE '\\'", search_pattern, true));
        q.columns = document_columns;
        const Condition all = condition(q.terms, false, false);
        q.where = " WHERE " + all.sql + " " + restriction;
        q.values = all.values;
        q.newest_first = !restricted;
        q.summarised = !restricted && member(filter, "from_to_type").int_value() == 0 && date_type == "issue_date";
        q.tail = restricted ? group + " ORDER BY created DESC" : kNewestFirst;
    } else if (kind == "overdue") {
        q.columns = document_columns;
        q.source = "documents";
        q.grouped = false;
        q.terms = {{"type = 'INVOICE'", {}}, {"paid = 0", {}}, {"due_date < ?", {Json(today)}},
                   like_term("search LIKE ? ESCAPE '\\'", search_pattern, true)};
        const Condition all = condition(q.terms, false, false);
        q.where = " WHERE " + all.sql;
        q.values = all.values;
        q.newest_first = true;
        q.tail = kNewestFirst;
        return q;  // no restriction
    } else if (kind == "TASK") {
        q.columns = "recordName, number_formatted, task_progress, task_repeat, total_gross_amount, due_date, client_name";
        q.where = " WHERE type = 'TASK' AND documents.search LIKE ? ESCAPE '\\' " + restriction;
        q.values = {search_pattern};
        q.tail = group + " ORDER BY due_date";
    } else if (kind == "WEBSHOP_ORDER") {
        q.columns = document_columns + ", client_email, client_phone, client_address";
        q.where = " WHERE type = 'WEBSHOP_ORDER' AND documents.search LIKE ? ESCAPE '\\' " + restriction;
        q.values = {search_pattern};
        q.tail = group + " ORDER BY issue_date DESC";
    } else if (kind == "inventory") {
        q.columns = "*";
        q.source = "inventory";
        q.grouped = false;
        q.where = "  WHERE issue_date BETWEEN ? AND ? AND search LIKE ? ESCAPE '\\' " + restriction;
        q.values = {filter_text(filter, "from_date"), filter_text(filter, "to_date"), search_pattern};
        q.tail = " ORDER BY created DESC";
    } else {
        return ListQuery{};
    }
    if (restricted) q.values.emplace_back(restriction_value);
    return q;
}

// The count of a list and its net, tax and gross sums in the home currency, in whole hundredths;
// none for a sum that has no exact value.
struct Totals {
    std::int64_t count = 0;
    std::optional<std::int64_t> cents[3] = {0, 0, 0};
};

// The count and the sums of the documents of a list, each converted by its own exchange rate.
const char* const kTotalsColumns =
    "COUNT(recordName) AS count, tavrin_cents(total_net_amount * exchange_rate) AS sum_net, "
    "tavrin_cents(total_tax_amount * exchange_rate) AS sum_tax, tavrin_cents(total_gross_amount * exchange_rate) "
    "AS sum_gross";

// The totals of the current row of a query that begins with the columns of kTotalsColumns.
Totals totals_of(const store::Statement& row) {
    Totals totals;
    totals.count = row.column_int64(0);
    for (int k = 0; k < 3; ++k) totals.cents[k] = store::sum_column(row, 1 + k);
    return totals;
}

// What a newest-first list knows before its rows are read.
struct Figures {
    bool counted = false;  // `totals` holds the count and the sums of the list
    Totals totals;
    std::string page_sql;  // the page's rows in list order; empty: the list query with its LIMIT
    std::vector<Json> page_values;
};

std::string page_by_rowids(const ListQuery& q) {
    return "SELECT " + q.columns + " FROM documents WHERE rowid IN (SELECT value FROM json_each(?))" + kNewestFirst;
}

// The page of a summarised list by walking the creation order down from the newest matching document:
// cheap when most documents match. Gives the page's rowids as a JSON array, or false when the walk
// grows too long or does not find the whole page (documents without a creation time come last).
bool walked_page(Core& core, const Condition& c, sqlite3_value* newest, std::int64_t offset, std::int64_t expected,
                 std::string& ids) {
    store::Statement walk(core, "SELECT rowid, (" + c.sql +
                                    ") FROM documents INDEXED BY documents_created WHERE created <= ?" + kNewestFirst);
    if (!walk.ok()) return false;
    int index = 1;
    for (const Json& value : c.values) walk.bind(index++, value);
    sqlite3_bind_value(walk.handle(), index, newest);
    const std::int64_t limit = 16 * (offset + expected) + 100;
    std::int64_t read = 0, matched = 0, taken = 0;
    ids = "[";
    while (taken < expected && read < limit && walk.step()) {
        ++read;
        if (walk.column_int64(1) == 0 || matched++ < offset) continue;
        if (taken++) ids += ',';
        ids += std::to_string(walk.column_int64(0));
    }
    ids += ']';
    return taken == expected;
}

// Count, totals and the page of a newest-first list (offset < 0: no page). The summary gives the
// figures of a list without a search text and tells which match-all terms can be left out; the
// others are counted, summed and paged in one pass over their rows.
Figures list_figures(Core& core, const ListQuery& q, std::int64_t offset) {
    Figures f;
    Condition scan = condition(q.terms, false, false);
    const bool searching =
        std::any_of(q.terms.begin(), q.terms.end(), [](const Term& t) { return t.search && !t.match_all; });
    if (q.summarised && store::ensure_document_totals(core)) {
        const Condition all = condition(q.terms, false, true);
        const Condition relaxed = condition(q.terms, true, true);
        store::Statement sums(core,
                              "SELECT coalesce(SUM(named), 0) AS count, tavrin_cents_total(net) AS sum_net, "
                              "tavrin_cents_total(tax) AS sum_tax, tavrin_cents_total(gross) AS sum_gross, "
                              "coalesce(SUM(documents), 0) AS documents, MAX(newest) AS newest FROM "
                              "temp.tavrin_document_totals WHERE " +
                                  all.sql);
        int index = 1;
        for (const Json& value : all.values) sums.bind(index++, value);
        std::int64_t unfiltered = -1;
        if (sums.step()) {
            store::Statement count(core, "SELECT coalesce(SUM(documents), 0) FROM temp.tavrin_document_totals WHERE " +
                                             relaxed.sql);
            index = 1;
            for (const Json& value : relaxed.values) count.bind(index++, value);
            if (count.step()) unfiltered = count.column_int64(0);
        }
        if (unfiltered >= 0) {
            const std::int64_t matching = sums.column_int64(4);
            // As many documents with the match-all terms as without: they let every document of the
            // list through and can be left out.
            const Condition c = condition(q.terms, matching == unfiltered, false);
            if (searching) {
                scan = c;
            } else {
                f.counted = true;
                f.totals = totals_of(sums);
                if (offset < 0) return f;
                const std::int64_t expected = std::clamp<std::int64_t>(matching - offset, 0, 100);
                std::string ids;
                if (expected == 0) {
                    f.page_sql = page_by_rowids(q);
                    f.page_values = {Json("[]")};
                } else if (matching > 8 * (offset + 100) &&
                           walked_page(core, c, sqlite3_column_value(sums.handle(), 5), offset, expected, ids)) {
                    f.page_sql = page_by_rowids(q);
                    f.page_values = {Json(ids)};
                } else {
                    // The date range sorted by creation time from the index; the documents are read
                    // only for conditions that the index does not hold.
                    f.page_sql = "SELECT " + q.columns +
                                 " FROM documents WHERE rowid IN (SELECT rowid FROM documents INDEXED BY "
                                 "documents_type_issue_date_created WHERE " +
                                 c.sql + kNewestFirst + " LIMIT 100 OFFSET ?)" + kNewestFirst;
                    f.page_values = c.values;
                    f.page_values.emplace_back(static_cast<double>(offset));
                }
                return f;
            }
        }
    }
    store::Statement pass(core, std::string("SELECT ") + kTotalsColumns +
                                    ", tavrin_newest(?, ?, created, rowid) AS page FROM documents WHERE " + scan.sql);
    pass.bind(1, std::max<std::int64_t>(offset, 0));
    pass.bind(2, static_cast<std::int64_t>(offset < 0 ? 0 : 100));
    int index = 3;
    for (const Json& value : scan.values) pass.bind(index++, value);
    if (!pass.step()) return f;
    f.counted = true;
    f.totals = totals_of(pass);
    if (offset >= 0) {
        f.page_sql = page_by_rowids(q);
        f.page_values = {Json(pass.column_text(4))};
    }
    return f;
}

// The totals line of the list; `count` receives the row count when the same pass could count them.
std::string summary_line(Core& core, const std::string& kind, const Json::object& filter, const ListQuery& q,
                         const Figures& figures, bool master_view, const std::string& profit_key,
                         const Json::array& currencies, int* count, bool* counted) {
    auto t = [&core](const std::string& key) { return core.translated(key, ""); };
    const std::string range = core.formatted_date(filter_text(filter, "from_date"), "") + " \xEF\xBC\x8D " +
                              core.formatted_date(filter_text(filter, "to_date"), "");

    if (kind == "inventory") {
        // Only the known profit columns can be summed; another setting value sums nothing.
        if (!is_profit_key(profit_key)) return "";
        store::Statement profit(core, "SELECT tavrin_cents(" + profit_key + ") FROM inventory" + q.where);
        int index = 1;
        for (const Json& value : q.values) profit.bind(index++, value);
        if (!profit.step()) return "";
        return t(profit_key) + ": " + core.formatted_cents(store::sum_column(profit, 0), "", false, {});
    }
    if (master_view) return "";
    if (is_one_of(kind, {"PROFORMA", "ESTIMATE", "DELIVERY_NOTE", "DRAFT"})) return range;
    if (!is_one_of(kind, {"INVOICE", "ARCHIVE_INVOICE", "PURCHASE_ORDER", "PURCHASE_RECEIVE", "overdue"})) return "";

    // The count of the list comes from the same pass over the rows.
    Totals totals = figures.totals;
    if (!figures.counted) {
        store::Statement pass(core, std::string("SELECT ") + kTotalsColumns + " FROM " + q.source + q.where);
        int index = 1;
        for (const Json& value : q.values) pass.bind(index++, value);
        if (!pass.step()) return "";
        totals = totals_of(pass);
    }
    *count = saturated_int(static_cast<double>(totals.count));
    *counted = true;

    std::string line;
    if (kind == "overdue") {
        line = t("overdue");
    } else {
        line = range;
        const std::string currency = filter_text(filter, "currency_code");
        const std::string payment = filter_text(filter, "payment_id");
        const std::string paid = filter_text(filter, "paid");
        if (currency != "%%") line += ", " + currency;
        if (payment != "%%")
            line += ", " +
                    Json(find_object(core.setting("payments").array_items(), false, "id", payment))["name"].string_value();
        if (paid == "0")
            line += ", " + t("unpaid");
        else if (paid != "%%")
            line += ", " + t("paid");
    }
    line += " | " + core.formatted_cents(totals.cents[0], "", true, currencies) + " + " +
            core.formatted_cents(totals.cents[1], "", true, currencies) + " = " +
            core.formatted_cents(totals.cents[2], "", true, currencies);
    return line;
}

void open_row(std::string& out, const std::string& record_name, const std::string& kind, const std::string& row_type) {
    out += "<tr id='";
    out += html_escaped(record_name);
    out += "' onclick='onListRowSelected(\"";
    out += script_escaped(record_name);
    if (kind == "clients")
        out += "\", \"client\")' > ";
    else if (kind == "items")
        out += "\", \"item\")'>";
    else
        out += "\", \"" + script_escaped(row_type) + "\")' >";
    out += "<td>";
}

// Colour of the payment state of an invoice.
const char* payment_colour(const Json::object& row, const std::string& today) {
    if (number(row, "paid") != 0) return kGreen;
    return text(row, "due_date") < today ? kRed : kYellow;
}

// Colour of the tax-authority reporting state.
const char* reporting_colour(const std::string& status) {
    if (status.empty()) return kGrey;
    if (status == "DONE") return kGreen;
    if (status.rfind("DONE", 0) == 0) return kYellow;
    return kRed;
}

const char* task_colour(const Json::object& row, const std::string& today) {
    const std::string& due = text(row, "due_date");
    if (text(row, "task_repeat").empty()) {
        if (member(row, "task_progress").int_value() == 100) return kGreen;
        return due <= today ? kRed : kYellow;
    }
    return due <= today ? kRed : kGreen;
}

void append_row(Core& core, std::string& out, const Json::object& row, const RowContext& c) {
    const std::string& kind = c.kind;
    auto h = [](const std::string& value) { return html_escaped(value); };
    auto date = [&](const std::string& name) -> const std::string& {
        const std::string& stored = text(row, name);
        auto found = c.shown_dates.find(stored);
        if (found == c.shown_dates.end())
            found = c.shown_dates.emplace(stored, h(core.formatted_date(stored, c.date_template))).first;
        return found->second;
    };

    std::string row_type = kind;
    if (kind == "overdue") row_type = "INVOICE";
    if (kind == "inventory") row_type = text(row, "reason");
    open_row(out, text(row, "recordName"), kind, row_type);

    Cells cells(out);
    if (kind == "clients") {
        std::map<std::string, std::string> fields;
        for (const char* name : {"country_code", "state", "city", "street", "postcode"}) fields[name] = text(row, name);
        cells.add(h(text(row, "name")));
        cells.add(h(core.formatted_address(true, fields)));
        for (const char* name : {"identifier_number", "other", "email", "phone"}) cells.add(h(text(row, name)));
    } else if (kind == "items") {
        for (const char* name : {"name", "description", "sku", "upc"}) cells.add(h(text(row, name)));
        cells.add(h(Json(find_object(c.taxes, false, "id", text(row, "tax_id")))["name"].string_value()));
        cells.add(h(Json(find_object(c.units, false, "id", text(row, "unit_id")))["name"].string_value()));
        const std::string& price_type = text(row, "price_type");
        const std::string price = h(core.formatted_num(number(row, "selling_price"), 4));
        cells.add(price_type == "NET" ? price : "", true);
        cells.add(price_type == "GROSS" ? price : "", true);
        cells.add(h(core.formatted_num(number(row, "purchase_price"), 4)), true);
        cells.add(h(core.formatted_num(number(row, "clearing_price"), 4)), true);
        std::string stock;
        if (text(row, "type") == "INVENTORY_TRACKING") {
            auto found = c.stock.find(text(row, "recordName"));
            const double quantity = found == c.stock.end() ? 0.0 : found->second;
            stock = h(core.formatted_num(static_cast<double>(saturated_int64(quantity)), 0));
        }
        cells.add(stock, true);
    } else if (kind == "TASK") {
        cells.add("<span style='color:" + std::string(task_colour(row, c.today)) + "'>&#x2B24;</span> <b>" +
                  std::to_string(member(row, "task_progress").int_value()) + "%</b> " + h(text(row, "number_formatted")));
        cells.add(date("due_date"));
        cells.add(h(core.repeat_description(text(row, "task_repeat"))));
        cells.add(h(text(row, "client_name")));
    } else if (kind == "inventory") {
        const std::string& reason = text(row, "reason");
        const std::string reason_text = core.constants["inventory_reasons"][reason].string_value();
        auto money = [&](double value) { return h(core.formatted_curr(value, "", true, {})); };
        std::string purchase, selling, profit;
        if (reason == "INVOICE" || reason == "STORNO") {
            selling = money(number(row, "price"));
            profit = money(number(row, c.profit_key));
        } else {
            purchase = money(number(row, "price"));
        }
        for (const char* name : {"item_name", "client_name", "number_formatted"}) cells.add(h(text(row, name)));
        cells.add(date("issue_date"));
        cells.add(h(reason_text));
        cells.add(h(core.formatted_num(number(row, "quantity"), 4)), true);
        cells.add(h(core.formatted_num(number(row, "stock"), 4)), true);
        cells.add(purchase, true);
        cells.add(selling, true);
        cells.add(profit, true);
        cells.add(h(text(row, "note")), true);
    } else if (kind == "WEBSHOP_ORDER") {
        cells.add(h(text(row, "number_formatted")));
        cells.add(date("issue_date"));
        for (const char* name : {"client_name", "client_email", "client_phone", "client_address"})
            cells.add(h(text(row, name)));
        cells.add(h(core.formatted_curr(number(row, "total_gross_amount"), text(row, "currency_code"), true, {})), true);
    } else {  // documents and overdue invoices
        const bool invoice_list = kind == "INVOICE" || kind == "overdue";
        std::string number_cell;
        if (invoice_list && core.is_hungarian) number_cell = dot(reporting_colour(text(row, "nav_status"))) + " ";
        Json::object draft = row;
        draft["type"] = kind;
        const DraftKeeping keeping = Core::draft_keeping(Json(draft));
        if (keeping.state == DraftKeeping::State::kept) {
            // The invoice it stands for first: two kept drafts differ there (and by client) where the
            // column is cut.
            number_cell += "<b>" + h(keeping.number) + "</b> (" + h(core.translated("kept_draft", "")) + ") ";
            number_cell += h(text(row, "number_formatted"));
        } else if (const std::string& reference = text(row, "reference_number_formatted");
                   kind == "DRAFT" && !reference.empty()) {
            // The invoice a used-up draft became first: the column is cut at its end, and the draft's
            // own number only repeats its date.
            number_cell += "\xE2\x9E\x94 " + h(reference) + " " + h(text(row, "number_formatted"));
        } else {
            number_cell += h(text(row, "number_formatted"));
            if (!reference.empty()) number_cell += " \xE2\x9E\x94 " + h(reference);
        }
        std::string gross = h(core.formatted_curr(number(row, "total_gross_amount"), text(row, "currency_code"), true,
                                                  c.currencies));
        if (invoice_list) gross += " " + dot(payment_colour(row, c.today));
        cells.add(number_cell);
        cells.add(date("issue_date"));
        cells.add(date("delivery_date"));
        cells.add(date("due_date"));
        cells.add(h(text(row, "client_name")));
        cells.add(gross, true);
    }
    out += "</td></tr>";
}

}  // namespace

std::string Core::list_html(int page_delta, std::string list_type, Json::object filter, std::string search,
                            std::string master_record_name) {
    const bool every_row = page_delta == -100;
    const int next_page = page_delta == 0 ? 0 : list_page + page_delta;
    return keep_list_page(list_page_of(every_row ? list_page : next_page, every_row, std::move(list_type),
                                       std::move(filter), std::move(search), std::move(master_record_name)),
                          every_row);
}

std::string Core::keep_list_page(ListPage shown, bool every_row) {
    list_summary = std::move(shown.summary);
    list_rows = std::move(shown.rows);
    if (every_row) return "";
    list_count = shown.count;
    list_page = shown.page;
    return std::move(shown.html);
}

ListPage Core::list_page_of(int page, bool every_row, std::string list_type, Json::object filter,
                                  std::string search, std::string master_record_name) {
    ListPage shown;
    std::string& html = shown.html;
    html = page_frame(accent_color);

    const std::vector<std::string> pieces = split('|', list_type);
    std::string kind = pieces[0];
    std::string preselected = pieces.size() > 1 ? pieces[1] : "";

    // The master-data view: the record's card, then its own documents of one type, whatever the
    // main window's filter.
    std::string restriction_column;
    const bool master_view = kind == "client" || kind == "item";
    if (master_view) {
        filter = Json::object{{"from_to_type", 0},     {"date_type", "issue_date"}, {"from_date", "1970-01-01"},
                              {"to_date", "2050-01-01"}, {"currency_code", "%%"},     {"payment_id", "%%"},
                              {"paid", "%%"}};
        html += master_data_card(*this, kind, master_record_name, preselected);
        restriction_column = kind == "client" ? "clientRecordName" : "itemRecordName";
        kind = preselected;
    }

    const std::string profit_key = setting("defaults")["inventory_profit"].string_value();

    html += "<table id='list' class='list' cellpadding='6' cellspacing='0'><thead><tr><td>";
    append_header(*this, html, kind, profit_key);

    const std::string folded = normalize_whitespace(to_lower(remove_diacritics(search)));
    const std::string search_pattern = "%" + store::like_escaped(folded) + "%";
    const std::string today = iso_date(0);
    const ListQuery q = list_query(kind, filter, search_pattern, restriction_column, master_record_name, today);

    const Json::array currencies = setting("currencies").array_items();
    const std::int64_t offset = std::max<std::int64_t>(0, static_cast<std::int64_t>(page) * 100);
    Figures figures;
    if (q.newest_first) figures = list_figures(*this, q, every_row ? -1 : offset);
    int count = 0;
    bool counted = false;
    if (!q.empty())
        shown.summary =
            summary_line(*this, kind, filter, q, figures, master_view, profit_key, currencies, &count, &counted);

    const std::string list_sql = q.empty() ? "" : "SELECT " + q.columns + " FROM " + q.source + q.where + q.tail;
    const bool name_order = kind == "clients" || kind == "items";
    auto list_rows_of = [&](const std::string& sql) {
        std::vector<Json::object> rows;
        if (sql.empty()) return rows;
        rows = bound_rows(*this, sql, q.values, name_order);
        // Names in the order of the user's locale, as every name-ordered list of the store.
        if (name_order) std::stable_sort(rows.begin(), rows.end(), less_by_wname);
        return rows;
    };

    if (every_row) {
        shown.rows = list_rows_of(list_sql);
        return shown;
    }

    RowContext context;
    context.kind = kind;
    context.date_template = setting("formats")["date"].string_value();
    context.today = today;
    context.profit_key = profit_key;

    if (!counted && figures.counted) {
        count = saturated_int(static_cast<double>(figures.totals.count));
        counted = true;
    }
    if (!counted) {
        // Clients and items count the whole table whatever the search; a kind without a list counts
        // the documents, as its empty condition selects them all.
        std::string count_sql = "SELECT COUNT(recordName) AS count FROM documents";
        std::vector<Json> count_values;
        if (!q.empty()) {
            const std::string column = q.grouped ? "DISTINCT documents.recordName" : "recordName";
            count_sql = "SELECT COUNT(" + column + ") AS count FROM " + q.source;
            if (!q.whole_table_count) {
                count_sql += q.where;
                count_values = q.values;
            }
        }
        auto rows = bound_rows(*this, count_sql, count_values);
        count = rows.size() == 1 ? saturated_int(number(rows.front(), "count")) : 0;
    }
    shown.count = count;
    shown.page = page;

    bool paged = false;
    if (!figures.page_sql.empty()) {
        store::Statement statement(*this, figures.page_sql);
        int index = 1;
        for (const Json& value : figures.page_values) statement.bind(index++, value);
        if (statement.ok()) {
            shown.rows = statement.rows();
            paged = statement.result() == SQLITE_DONE;
        }
    }
    if (!paged) {
        std::string sql = list_sql;
        if (!sql.empty() && !name_order)
            sql += " LIMIT 100 OFFSET " + std::to_string(static_cast<long long>(page) * 100);
        shown.rows = list_rows_of(sql);
    }

    if (kind == "items") {
        context.taxes = setting("taxes").array_items();
        context.units = setting("units").array_items();
        // One grouped query for the stock of every item instead of one per tracked row.
        for (const auto& row : bound_rows(*this,
                                          "SELECT itemRecordName, SUM(quantity) AS quantity FROM inventory "
                                          "GROUP BY itemRecordName",
                                          {}))
            context.stock[text(row, "itemRecordName")] = number(row, "quantity");
    }
    context.currencies = currencies;

    for (const auto& row : shown.rows) append_row(*this, html, row, context);
    html += "</tbody></table>";
    return shown;
}
