// The document page: one business document and its lines as printable A4 pages for the document
// view, the print and the editor's live preview. The page carries the page-break script and calls
// it after each line, after the summary and once loaded.
//
// Every value from the document, its lines, the settings and the translations is escaped where it is
// inserted; the labels of the repeated column head are escaped too, so they cannot end the script
// string they ride in. The column head is given to the page once, as a script value that every
// line's page-break call names, so each call costs the page no more than its line.
#include "core/Core.h"
#include "core/views/document_view.h"
#include "core/views/html.h"
#include "core/store/store_internal.h"

#include <cmath>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

using json11::Json;

// Header block and accent variants of the layouts (layouts.cpp).
std::string layout_accent_css(const std::string& layout);
std::string document_header_html(Core& core, const Json& document, const Json& labels, const std::string& layout,
                                 int& height);

namespace {

// An escaped value with its line breaks shown as breaks.
std::string escaped_lines(const std::string& text) {
    const std::string escaped = html_escaped(text);
    std::string out;
    out.reserve(escaped.size());
    for (char c : escaped) {
        if (c == '\n')
            out += "<br>";
        else
            out += c;
    }
    return out;
}

// A value that goes into markup which itself rides in a single-quoted script string: escaped for
// HTML (no quote or backslash stays raw) and without raw line breaks.
std::string script_markup(const std::string& text) {
    std::string out;
    for (char c : html_escaped(text)) {
        if (c == '\n')
            out += "&#10;";
        else if (c == '\r')
            out += "&#13;";
        else
            out += c;
    }
    return out;
}

// A theme colour as the hex digits the style expects; a value holding anything else is dropped.
std::string hex_colour(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return "";
    return text;
}

// The scroll position handed to setPageNumbers: double quotes removed; only number characters stay,
// so the text cannot be more than the two coordinates.
std::string scroll_position(const std::string& extra) {
    std::string out;
    for (char c : extra)
        if ((c >= '0' && c <= '9') || c == '-' || c == '.' || c == ',' || c == ' ') out += c;
    return out;
}

// The rate with six decimals and a full stop, whatever the locale; a missing rate is shown as missing.
std::string rate_text(double rate) { return Core::formatted_rate(rate); }

// The opening of line i's row group; in the preview a click on the row names the line.
std::string row_start(int mode, std::size_t i) {
    return mode == -1 ? "<tbody><tr class='row_line' onclick='window.chrome.webview.postMessage(" + std::to_string(i) + ")'>"
                      : std::string("<tbody><tr>");
}

const char* const kPageBreakCall = "<script>addNewPageIfNecessary(tableHeader)</script>";

}  // namespace

std::string DocumentPageParts::whole() const {
    if (!paged) return frame;
    std::size_t size = frame.size() + header.size() + summary.size() + end.size() + 64;
    for (const std::string& row : rows) size += row.size() + 128;
    std::string html;
    html.reserve(size);
    html += frame;
    html += header;
    html += "<table><thead class='header'>" + table_head + "</thead>";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        html += row_start(mode, i);
        html += rows[i];
        html += kPageBreakCall;
    }
    html += summary;
    html += end;
    return html;
}

std::string Core::document_html(int mode, Json document, Json lines, std::string extra) {
    return document_page_parts(*this, mode, document, lines, extra).whole();
}

DocumentPageParts document_page_parts(Core& core, int mode, const Json& document, const Json& lines,
                                      const std::string& extra, const DocumentPageParts* earlier) {
    DocumentPageParts parts;
    parts.mode = mode;
    auto setting = [&](const char* key) { return core.setting(key); };
    auto translated = [&](const char* key) { return core.translated(key, ""); };
    if (document["client_name"].is_null() && lines.array_items().empty()) {
        parts.frame = "<html oncontextmenu='return false;'><table width='100%' height='100%' style='font-family:\"Segoe "
               "UI\";'><tr><td style='vertical-align:middle;'><h4 "
               "style='width:100%;color:lightgray;text-align:center;'>" +
               html_escaped(translated("drag_here")) + "</h4></td></tr></table></html>";
        return parts;
    }
    parts.paged = true;
    const std::string scroll = scroll_position(extra);

    std::string language = document["language_code"].string_value();
    if (language.empty()) language = setting("languages")[0]["code"].string_value();
    const Json labels = setting("translate")[language];
    auto label = [&](const char* key) { return html_escaped(labels[key].string_value()); };
    auto head_label = [&](const char* key) { return script_markup(labels[key].string_value()); };

    const std::string type = document["type"].string_value();
    const std::string layout = type == "TASK" ? "TASK" : document["template"].string_value();
    const Json theme = setting("theme_colors");
    const Json::array units = setting("units").array_items();
    const Json::array taxes = setting("taxes").array_items();
    const Json::array currencies = setting("currencies").array_items();
    const std::string currency = document["currency_code"].string_value();
    const double exchange_rate = document["exchange_rate"].number_value();

    const std::string margin = mode > 0 ? "0" : "24";
    const std::string shadow = mode <= 0 ? "box-shadow:1px 1px 8px #999; background-size:100%% 100%%" : "";

    std::string html;
    html += "<meta name='color-scheme' content='dark light'><meta name='supported-color-schemes' content='dark light'>";
    html += "<style>:root{--accent-font-color:#" + hex_colour(theme["accent_font_color"].string_value()) +
            "; --accent-bg-color:#" + hex_colour(theme["accent_background_color"].string_value()) +
            ";}html{font-family:\"Segoe UI\";font-size:12px;line-height:1.5;-webkit-text-size-adjust:none;}body{margin:" +
            margin +
            ";padding:0;-webkit-user-select:none;cursor:default;}table{font-size:1rem;color:black;margin-left:30px;"
            "margin-right:auto;width:730px;border-spacing:0px;} td {padding:6px;text-align:right;vertical-align:top;"
            "white-space:nowrap;min-width:50px} thead.header td {font-weight:bold;color:var(--accent-font-color);"
            "background:var(--accent-bg-color);border-bottom:1px solid black;height:30px;vertical-align:middle;} "
            ".border_top{border-top:1px solid black;}.page{position:relative;width:210mm;height:295mm;margin:0;"
            "page-break-before:always;color:black;background:white;" +
            shadow + ";} .page:first-child{page-break-before:avoid;}.row_line:hover {background-color:rgb(" +
            html_escaped(core.accent_color) + "); color:white;}</style>";
    html += "<html oncontextmenu='return false;'>";
    html += pagination_script;
    html += "<style>" + layout_accent_css(layout) + "</style>";
    html += "<head><meta charset='UTF-8'></head><body><div align='center'><div class='page' align='left'>";

    // The column head, written once into the table and repeated by every page break.
    const std::string table_head = "<td></td><td>" + head_label("quantity") + "</td><td>" + head_label("price") +
                                   "</td><td>" + head_label("net") + "</td><td>" + head_label("tax") + "</td><td>" +
                                   head_label("gross") + "</td>";
    html += "<script>var tableHeader='" + table_head + "';</script>";
    parts.frame = std::move(html);
    parts.table_head = table_head;
    html.clear();

    int header_height = 0;
    html += document_header_html(core, document, labels, layout, header_height);
    if (core.current_account == "DEMO" && mode == 1)
        html += "<span style='position:absolute;left:100;top:75;writing-mode:vertical-rl;color:red;font-size:90px;"
                "white-space:nowrap;'>TAVRIN DEMO</span>";
    html += "</div><script>document.getElementById('documentHeader').style.height = " + std::to_string(header_height) +
            ";</script>";

    const std::string header_note = document["header_note"].string_value();
    if (!header_note.empty())
        html += "<table><tr><td style='padding:12px 0px 12px 0px;text-align:left;white-space:normal;'>" +
                escaped_lines(header_note) + "</td></tr></table>";
    parts.header = std::move(html);

    const bool stock_hints = mode == -1 && (type == "INVOICE" || type == "PURCHASE_RECEIVE");
    const std::string discount_word = html_escaped(translated("discount"));
    auto line_money = [&](double value) { return html_escaped(core.formatted_curr(value, currency, false, currencies)); };

    // A row is made from its line and these alone (apart from a stock hint, which the store gives).
    parts.row_context = std::to_string(mode) + '\n' + type + '\n' + currency + '\n' + discount_word + '\n' +
                        (core.is_hungarian ? "hu\n" : "\n") + Json(units).dump() + Json(taxes).dump() +
                        Json(currencies).dump();
    const bool reuse = earlier && earlier->paged && earlier->row_context == parts.row_context &&
                       earlier->rows.size() == earlier->source_lines.size();
    // Each tracked item's stock as the lines above leave it: a second line of the item starts where
    // the first one ended. The first starts from the stock without this document's own movements, which
    // the store holds once the document is saved (a page that stays open after its save, an edit).
    std::map<std::string, double> stock_after;
    const std::string own_record = document["recordName"].string_value();
    const Json::array& items = lines.array_items();
    parts.source_lines = items;
    parts.rows.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Json& line = items[i];
        if (reuse && !(stock_hints && line["type"].string_value() == "INVENTORY_TRACKING")) {
            // The earlier row of the same line: in place, shifted by lines added or removed before
            // it, or one place away (a moved line).
            const std::size_t count = earlier->source_lines.size();
            const std::size_t shifted = i + count - items.size();
            const std::size_t candidates[] = {i, shifted, i + 1, i - 1};
            const std::string* found = nullptr;
            for (std::size_t at : candidates)
                if (at < count && earlier->source_lines[at] == line) {
                    found = &earlier->rows[at];
                    break;
                }
            if (found) {
                parts.rows.push_back(*found);
                continue;
            }
        }
        html.clear();

        std::string name = "<b>" +
                           html_escaped(line["item_name"].is_null() ? line["name"].string_value()
                                                                     : line["item_name"].string_value()) +
                           "</b>";
        if (line["description"].is_string()) name += "<div>" + escaped_lines(line["description"].string_value()) + "</div>";
        if (type == "TASK")
            name = std::string("<span style='color:") + (line["task_completed"].int_value() == 1 ? "#34c759" : "#ff3b30") +
                   "'>&#x2b24;</span> " + name;
        html += "<td style='text-align:left;white-space:normal;'>" + name + "</td>";

        const Json unit(find_object(units, false, "id", line["unit_id"].string_value()));
        const Json tax(find_object(taxes, false, "id", line["tax_id"].string_value()));
        const std::string unit_name = html_escaped(unit["name"].string_value());
        const double quantity = line["quantity"].number_value();

        html += "<td>" + html_escaped(core.formatted_num(quantity, unit["digits"].int_value())) + "<br>" + unit_name;
        if (stock_hints && line["type"].string_value() == "INVENTORY_TRACKING") {
            const std::string item = line["recordName"].string_value();
            auto stock = stock_after.find(item);
            if (stock == stock_after.end()) {
                auto rows = store::rows(core,
                                        "SELECT SUM(quantity) AS stock FROM inventory WHERE itemRecordName = ? AND "
                                        "(? = '' OR documentRecordName IS NOT ?)",
                                        {item, own_record, own_record});
                const double stored =
                    rows.empty() ? 0.0 : static_cast<double>(saturated_int64(Json(rows[0])["stock"].number_value()));
                stock = stock_after.emplace(item, stored).first;
            }
            // An invoice takes stock out, a receipt puts it in; a storno's or a return's negative
            // quantity moves it the other way, and the sum is written as that movement.
            const double change = type == "INVOICE" ? -quantity : quantity;
            const double before = stock->second;
            stock->second = before + change;
            html += "<br><b><i>" + html_escaped(core.formatted_num(before, 0)) + (change < 0 ? " - " : " + ") +
                    html_escaped(core.formatted_num(std::fabs(change), 0)) + " = " +
                    html_escaped(core.formatted_num(stock->second, 0)) + "</i></b>";
        }
        html += "</td>";

        html += "<td>" + line_money(core.line_amount(0, 0, line, taxes)) + "</td>";
        html += "<td>" + line_money(core.line_amount(1, 0, line, taxes)) + "</td>";
        html += "<td>" + line_money(core.line_amount(2, 0, line, taxes)) + "<br>" + html_escaped(tax["name"].string_value()) +
                "</td>";
        html += "<td>" + line_money(core.line_amount(3, 0, line, taxes)) + "</td></tr>";

        const double discount = line["discount"].number_value();
        if (discount != 0) {
            const bool rate = line["discount_type"].string_value() == "RATE";
            html += "<tr class='line'><td style='text-align:left;'><b><i>" +
                    (rate ? html_escaped(core.formatted_num(discount, 2)) + "% " : line_money(discount) + " / " + unit_name + " ") +
                    discount_word + "</i></b></td><td colspan='2'></td>";
            for (short kind : {1, 2, 3}) html += "<td>" + line_money(core.line_amount(kind, 2, line, taxes)) + "</td>";
            html += "</tr>";
        }
        html += "<tr><td colspan='6' style='border-bottom:1px solid lightgray;'></td></tr></tbody>";
        parts.rows.push_back(html);
    }
    html.clear();

    html += "<thead class='header'><td colspan='3'></td><td>" + label("net") + "</td><td>" + label("tax") + "</td><td>" +
            label("gross") + "</td></thead><tbody>";

    const TaxSummary summary = core.tax_summary(lines, taxes);
    const std::string home = currencies.empty() ? "" : currencies[0]["code"].string_value();
    const bool foreign = currency != home;
    auto total_money = [&](double value, const std::string& code) {
        return html_escaped(core.formatted_curr(value, code, true, currencies));
    };
    // One summary cell: the amount, and in a foreign currency its home-currency value below it.
    auto both = [&](double value) {
        return total_money(value, currency) + "<div>" + total_money(value * exchange_rate, home) + "</div>";
    };
    for (const auto& [tax_label, net] : summary.net) {
        const double tax_amount = summary.tax.count(tax_label) ? summary.tax.at(tax_label) : 0.0;
        const double gross = summary.gross.count(tax_label) ? summary.gross.at(tax_label) : 0.0;
        html += "<tr><td colspan='2'></td><td>" + html_escaped(tax_label) + "</td>";
        if (!foreign) {
            html += "<td>" + total_money(net, currency) + "</td><td>" + total_money(tax_amount, currency) + "</td><td>" +
                    total_money(gross, currency) + "</td>";
        } else {
            for (double value : {net, tax_amount, gross}) html += "<td class='border_bottom'>" + both(value) + "</td>";
        }
        html += "</tr>";
    }
    if (summary.net.size() > 1) {
        html += "<tr><td colspan='2'></td><td class='border_top'></td>";
        for (double value : {summary.total_net, summary.total_tax, summary.total_gross})
            html += "<td class='border_top'>" + (foreign ? both(value) : total_money(value, currency)) + "</td>";
        html += "</tr>";
    }

    const std::string rate_line =
        foreign ? "<br><br><div>" + html_escaped(translated("exchange_rate")) + ": " + rate_text(exchange_rate) + "</div>"
                : "";
    html += "<tr><td colspan='2'><td><td colspan='4' class='footer-total' style='vertical-align:middle;height:50px;'>"
            "<div style='display:flex;justify-content:flex-end;'><b style='font-size:21px;border-bottom:5px double;'>" +
            label("total") + " " + total_money(summary.total_gross, currency) +
            "</b></div><div style='display:flex;justify-content:flex-end;'>" + rate_line + "</div></td></tr>";

    html += "<tr><td colspan='6' style='text-align:center;vertical-align:middle;font-weight:bold;white-space:normal;"
            "padding-top:20px'><div style='display:flex;justify-content:center;'>" +
            escaped_lines(normalize_whitespace(document["footer_note"].string_value())) + "</div></td></tr>";

    html += "</tbody>";
    parts.summary = std::move(html);
    parts.end = "<script>addNewSummaryPageIfNecessary()</script></table></div><script>window.onload = "
                "function(){setPageNumbers(" +
                scroll + ", '" + script_markup(translated("tavrin_invoice")) + "');};</script></div></body></html>";
    return parts;
}

std::string page_update_script(const DocumentPageParts& shown, const DocumentPageParts& next, const std::string& stamp,
                               long from, long to) {
    if (!shown.paged || !next.paged || shown.mode != next.mode || shown.frame != next.frame || shown.end != next.end ||
        shown.table_head != next.table_head)
        return "";
    const std::vector<std::string>& before = shown.rows;
    const std::vector<std::string>& after = next.rows;
    // The unchanged lines at the start and at the end; the ones between are taken from the shown
    // page where it has the same row group (a moved line), else given.
    std::size_t first = 0;
    while (first < before.size() && first < after.size() && before[first] == after[first]) ++first;
    std::size_t suffix = 0;
    while (suffix < before.size() - first && suffix < after.size() - first &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    std::unordered_map<std::string_view, std::vector<std::size_t>> spare;
    for (std::size_t i = before.size() - suffix; i-- > first;) spare[before[i]].push_back(i);
    Json::array keep;
    std::string rows;
    int made = 0;
    for (std::size_t i = first; i < after.size() - suffix; ++i) {
        auto found = spare.find(after[i]);
        if (found != spare.end() && !found->second.empty()) {
            keep.emplace_back(static_cast<int>(found->second.back()));
            found->second.pop_back();
            continue;
        }
        keep.emplace_back(-1 - made++);
        rows += row_start(next.mode, i) + after[i];
    }
    const Json update = Json::object{{"from", static_cast<double>(from)},
                                     {"to", static_cast<double>(to)},
                                     {"first", static_cast<int>(first)},
                                     {"keep", keep},
                                     {"rows", rows},
                                     {"suffix", static_cast<int>(suffix)},
                                     {"header", shown.header == next.header ? Json() : Json(next.header)},
                                     {"summary", next.summary},
                                     {"head", next.table_head},
                                     {"stamp", stamp}};
    return "typeof updatePreviewPages=='function'&&updatePreviewPages(" + update.dump() + ")";
}
