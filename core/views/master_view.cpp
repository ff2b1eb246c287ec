// The master-data view of a client or an item: its card, the invoiced turnover or the sold quantity,
// and one entry per document type the record is on (plus the stock movements of an item). The list
// of the chosen type follows the card (list_views.cpp).
#include "core/views/html.h"
#include "core/store/store_internal.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

using json11::Json;

std::string master_data_card(Core& core, const std::string& kind, const std::string& record_name,
                             std::string& preselected);
namespace {

// The card's text cell wraps its lines: the list page's rule for body cells (one line, the rest cut
// off) would cut them at the edge of a narrow window.
const char* const kCardOpening =
    "<table cellpadding='24' cellspacing='0' width='100%'><tr><td style='white-space:normal'>";

// The name of a document type; web-shop orders have no label of their own and take the list's name.
std::string type_label(Core& core, const std::string& type) {
    std::string label = core.translated(type, "");
    if (label.empty() && type == "WEBSHOP_ORDER") label = core.translated("webshop", "");
    return label;
}

std::string entry_name(Core& core, const char* setting, const std::string& id) {
    return Json(find_object(core.setting(setting).array_items(), false, "id", id))["name"].string_value();
}

std::string client_card(Core& core, const Json& r, const std::string& record_name) {
    auto h = [&r](const char* name) { return html_escaped(r[name].string_value()); };
    auto t = [&core](const std::string& key) { return html_escaped(core.translated(key, "")); };

    std::map<std::string, std::string> fields;
    for (const char* name : {"country_code", "state", "city", "street", "postcode"}) fields[name] = r[name].string_value();

    std::string html = kCardOpening;
    html += "<h1>" + h("name") + "</h1><h2>" + html_escaped(core.formatted_address(true, fields)) + "</h2><h2>" +
            t(r["status"].string_value()) + "</h2>";
    html += "<h3>" + h("identifier_number") + (r["identifier_number"].string_value().empty() ? "" : "&emsp;") +
            "<span style='font-weight:normal'>" + h("other") + "</span></h3>";
    html += "<h3>" + h("email") + (r["email"].string_value().empty() ? "" : "&emsp;") +
            "<span style='font-weight:normal'>" + h("phone") + "</span></h3>";
    html += "<h3>" + h("currency_code") + "&emsp;<span style='font-weight:normal'>" +
            html_escaped(entry_name(core, "payments", r["payment_id"].string_value())) + "</span>&emsp;" +
            html_escaped(entry_name(core, "terms", r["term_id"].string_value())) + "</h3>";
    if (!r["note"].string_value().empty()) html += "<h4>" + h("note") + "</h4>";

    // Turnover in the home currency: each invoice converted by its own rate, summed exactly.
    std::int64_t invoices = 0;
    std::optional<std::int64_t> gross_cents = 0;
    {
        store::Statement turnover(core, "SELECT COUNT(*), tavrin_cents(total_gross_amount * exchange_rate) FROM "
                                        "documents WHERE (type='INVOICE' OR type='ARCHIVE_INVOICE') AND "
                                        "clientRecordName = ?");
        turnover.bind(1, record_name);
        if (turnover.step()) {
            invoices = turnover.column_int64(0);
            gross_cents = store::sum_column(turnover, 1);
        }
    }
    html += "</td><td align='center'><h1 style='margin-bottom:-14px'>" + std::to_string(invoices) + "</h1><h3>" +
            t("purchase") + "</h3><p>&nbsp;</p><h1 style='margin-bottom:-14px'>" +
            html_escaped(core.formatted_cents(gross_cents, "", true, {})) + "</h1><h3>" +
            t("gross") + "</h3></td></tr></table><div align='center'>";
    return html;
}

std::string item_card(Core& core, const Json& r, const std::string& record_name) {
    auto h = [&r](const char* name) { return html_escaped(r[name].string_value()); };
    auto t = [&core](const std::string& key) { return html_escaped(core.translated(key, "")); };
    auto num = [&core, &r](const char* name) { return html_escaped(core.formatted_num(r[name].number_value(), 4)); };

    // Line breaks of the description become <br> after the text is escaped.
    std::string description;
    const std::vector<std::string> lines = split('\n', r["description"].string_value());
    for (std::size_t i = 0; i < lines.size(); ++i) description += (i ? "<br>" : "") + html_escaped(lines[i]);

    const std::string code_line = "<h3>" + h("sku") + (r["sku"].string_value().empty() ? "" : "&emsp;") +
                                  "<span style='font-weight:normal'>" + h("upc") + "</span></h3>";
    const std::string price_line = "<h3>" + t("selling_price") + ": " + num("selling_price") +
                                   "&emsp;<span style='font-weight:normal'>" +
                                   t(to_lower(r["price_type"].string_value())) + "</span></h3>";
    std::string stock_line;
    if (r["type"].string_value() == "INVENTORY_TRACKING")
        stock_line = "<h3>" + html_escaped(core.last_purchase_price_text(record_name)) + ": " + num("purchase_price") +
                     "&emsp;<span style='font-weight:normal'>" + t("clearing_price") + ": " + num("clearing_price") +
                     "</span>&emsp;<span>" + html_escaped(core.stock_quantity_text(record_name)) + "</span></h3>";

    std::string html = kCardOpening;
    html += "<h1>" + h("name") + "</h1><h2>" + t(r["type"].string_value()) + "</h2><h3>" + description + "</h3><h3>" +
            code_line + "</h3><h3>" + html_escaped(entry_name(core, "taxes", r["tax_id"].string_value())) +
            "&emsp;<span style='font-weight:normal'>" +
            html_escaped(entry_name(core, "units", r["unit_id"].string_value())) + "</span></h3><h3>" + price_line +
            "</h3>" + stock_line + "<h4>" + h("note") + "</h4>";

    auto rows = store::rows(core,
                            "SELECT SUM(quantity) AS qty_count FROM document_lines LEFT JOIN documents ON "
                            "document_lines.documentRecordName = documents.recordName WHERE "
                            "(documents.type='INVOICE' OR documents.type='ARCHIVE_INVOICE') AND itemRecordName = ?",
                            {record_name});
    const double sold = rows.empty() ? 0.0 : Json(rows.front())["qty_count"].number_value();
    html += "</td><td align='center'><h1 style='margin-bottom:-14px'>" + std::to_string(saturated_int64(sold)) +
            "</h1><h3>" + t("sold") + "</h3></td></tr></table><div align='center'>";
    return html;
}

// The bold entry of the chosen type or the button that asks for the view with another type.
std::string type_entry(Core& core, const std::string& record_name, const std::string& type_message,
                       const std::string& label, double count, bool chosen) {
    const std::string text = label + " (" + core.formatted_num(count, 4) + ")";
    if (chosen) return "<b>" + html_escaped(text) + "</b>";
    return "<input type='button' onclick='window.chrome.webview.postMessage({\"action\":\"onMasterDataDocTypeFilter\", "
           "\"recordName\":\"" +
           script_escaped(record_name) + "\", \"type\":\"" + script_escaped(type_message) + "\"})' value='" +
           html_escaped(text) + "' />";
}

}  // namespace

std::string master_data_card(Core& core, const std::string& kind, const std::string& record_name,
                             std::string& preselected) {
    const bool client = kind == "client";
    auto records = store::rows(core, client ? "SELECT * FROM clients WHERE recordName = ?" : "SELECT * FROM items WHERE recordName = ?",
                               {record_name});
    if (records.empty()) {
        // No such record: an empty card and no list under it.
        preselected.clear();
        return std::string(kCardOpening) + "</td></tr></table>";
    }
    const Json record(records.front());
    std::string html = client ? client_card(core, record, record_name) : item_card(core, record, record_name);

    const std::string prefix = client ? "client|" : "item|";
    auto types = store::rows(core,
                             client ? "SELECT COUNT(*) AS count, type FROM documents WHERE 1 AND clientRecordName = ? "
                                      "GROUP BY type ORDER BY count DESC, created DESC"
                                    : "SELECT COUNT(*) AS count, type FROM documents LEFT JOIN document_lines ON "
                                      "documents.recordName = document_lines.documentRecordName WHERE 1 AND "
                                      "itemRecordName = ? GROUP BY type ORDER BY count DESC, created DESC",
                             {record_name});
    for (const auto& row : types) {
        const Json entry(row);
        const std::string& type = entry["type"].string_value();
        // Without a choice the most frequent type is shown.
        if (preselected.empty()) preselected = type;
        html += type_entry(core, record_name, prefix + type, type_label(core, type), entry["count"].number_value(),
                           type == preselected) +
                "&emsp;";
    }

    if (!client) {
        auto stock = store::rows(core, "SELECT COUNT(*) AS count FROM inventory WHERE 1 AND itemRecordName = ?",
                                 {record_name});
        const double movements = stock.empty() ? 0.0 : Json(stock.front())["count"].number_value();
        if (movements > 0) {
            const bool chosen = preselected == "inventory";
            html += type_entry(core, record_name, "item|inventory", core.translated("inventory", ""), movements, chosen);
            if (chosen) html += "&emsp;";
        }
    }
    html += "</div><br />";
    return html;
}
