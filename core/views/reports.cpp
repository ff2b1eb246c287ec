// The printable reports: the period report of the listed documents and the stock report, on the
// page frame of the document pages with the same page-break script. Every value from a document,
// an item, a filter or a translation is escaped where it is inserted.
#include "core/Core.h"
#include "core/views/html.h"
#include "core/store/store_internal.h"

#include <cstdint>
#include <optional>
#include <string>

using json11::Json;

namespace {

// A value in markup that also rides in a single-quoted script string: no quote, backslash or line
// break stays raw.
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

std::string report_frame(bool wide_margin) {
    return "<meta name='color-scheme' content='dark light'><meta name='supported-color-schemes' content='dark "
           "light'><style>html{font-family:Times;font-size:14px;-webkit-text-size-adjust:none;}body{margin:" +
           std::string(wide_margin ? "24" : "0") +
           ";padding:0;-webkit-user-select:none;cursor:default;}table{font-size:1rem;color:black;margin-left:auto;"
           "margin-right:auto;width:730px;border-spacing:0px;} td {padding:6px;text-align:right;vertical-align:top;"
           "white-space:nowrap;min-width:50px} thead.header td {border-bottom:1px solid black;height:30px;"
           "vertical-align:middle;} .border_top{border-top:1px solid "
           "black;}.page{position:relative;width:210mm;height:295mm;margin:0;page-break-before:always;color:black;"
           "background-color:white;" +
           std::string(wide_margin ? "box-shadow:1px 1px 8px #999; background-size:100%% 100%%" : "") +
           ";} .page:first-child{page-break-before:avoid;}</style>";
}

const char* const kPageOpening = "<body oncontextmenu='return false;'><div align='center'><div class='page' align='left'>";

std::string report_close(Core& core) {
    return "</table></div><script>window.onload = function(){setPageNumbers(0, 0, '" +
           script_markup(core.translated("tavrin_invoice", "")) + "');};</script></div></div></body>";
}

}  // namespace

std::string Core::documents_report_html(bool wide_margin, Json documents, Json filter) {
    auto t = [this](const char* key) { return script_markup(translated(key, "")); };
    const std::string head = "<td></td><td></td><td>" + t("NET") + "</td><td>" + t("tax") + "</td><td>" + t("GROSS") + "</td>";
    const std::string page_break_call = "<script>addNewReportPageIfNecessary('" + head + "')</script>";
    const Json::array currencies = setting("currencies").array_items();
    const std::string date_template = setting("formats")["date"].string_value();
    const std::string date_type = filter["date_type"].string_value();

    std::string html = report_frame(wide_margin);
    html += "<html oncontextmenu='return false;'>";
    html += pagination_script;
    html += kPageOpening;
    html += "<div id='documentHeader'><br><h1 align='center'>" + html_escaped(filter["report_title"].string_value()) +
            "</h1><h2 align='center'>" + html_escaped(filter["date_name"].string_value()) +
            "&nbsp;&nbsp;<span style='font-weight:100;'>" +
            html_escaped(formatted_date(filter["from_date"].string_value(), "")) + " &ndash; " +
            html_escaped(formatted_date(filter["to_date"].string_value(), "")) + "</span></h2></div>";
    html += "<table><thead class='header'>" + head + "</thead>";

    // The sums in the home currency, in whole hundredths: exact for any count of documents.
    store::CentsSum net, tax, gross;
    auto money = [&](double value, const std::string& code) {
        return html_escaped(formatted_curr(value, code, true, currencies));
    };
    for (const Json& document : documents.array_items()) {
        const std::string currency = document["currency_code"].string_value();
        const double rate = document["exchange_rate"].number_value();
        const double doc_net = document["total_net_amount"].number_value();
        const double doc_tax = document["total_tax_amount"].number_value();
        const double doc_gross = document["total_gross_amount"].number_value();
        // The amounts keep their whole width; the number, date and client take what is left and end in
        // an ellipsis (max-width 0 lets the cell give way instead of widening the table past the page).
        html += "<tbody><tr><td colspan='2' style='text-align:left;padding-left:0;white-space:nowrap;overflow:hidden;"
                "max-width:0;width:100%;text-overflow:ellipsis;'><b>" +
                html_escaped(document["number_formatted"].string_value()) + "</b> <i style='font-size:11px'>" +
                html_escaped(formatted_date(document[date_type].string_value(), date_template)) +
                "</i>&nbsp;&nbsp;&nbsp;&nbsp;" + html_escaped(document["client_name"].string_value()) + "</td><td><b>" +
                money(doc_net, currency) + "</b></td><td><b>" + money(doc_tax, currency) + "</b></td><td><b>" +
                money(doc_gross, currency) + "</b></td></tr><tr><td colspan='5' style='border-bottom:1px solid "
                "black;'></td></tr></tbody>" + page_break_call;
        net.add(doc_net * rate);
        tax.add(doc_tax * rate);
        gross.add(doc_gross * rate);
    }
    auto sum = [&](const store::CentsSum& cents) {
        return html_escaped(formatted_cents(cents.value(), "", true, currencies));
    };
    html += "<tr style='font-size:16px'><td colspan='2'></td><td><b>" + sum(net) + "</b></td><td><b>" + sum(tax) +
            "</b></td><td><b style='border-bottom:5px double black'>" + sum(gross) + "</b></td></tr>" +
            page_break_call;
    html += report_close(*this);
    return html;
}

std::string Core::inventory_report_html(bool /*wide_margin*/) {
    const std::string head = "<td></td><td></td>";
    const std::string page_break_call = "<script>addNewReportPageIfNecessary('" + head + "')</script>";

    std::string html = report_frame(false);
    html += pagination_script;
    html += kPageOpening;
    html += "<div id='documentHeader'><br><h1 align='center'>" + html_escaped(translated("report_inventory", "")) +
            "</h1></div>";
    html += "<table><thead class='header'>" + head + "</thead>";
    const auto rows = store::rows(*this,
                                  "SELECT item_name, SUM(quantity) AS quantity FROM inventory GROUP BY itemRecordName "
                                  "ORDER BY item_name");
    for (const auto& row : rows) {
        const Json r(row);
        const double quantity = static_cast<double>(saturated_int64(r["quantity"].number_value()));
        html += "<tbody><tr><td style='text-align:left;white-space:nowrap;overflow:hidden;max-width:300px;"
                "text-overflow:ellipsis;'>" +
                html_escaped(r["item_name"].string_value()) + "</td><td align='right'>" +
                html_escaped(formatted_num(quantity, 4)) +
                "</td></tr><tr><td colspan='2' style='border-bottom:1px solid black;'></td></tr></tbody>" +
                page_break_call;
    }
    html += report_close(*this);
    html += "</html>";
    return html;
}
