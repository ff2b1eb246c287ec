// Document pages, layouts and reports as text: the header block of every layout, the sections of
// an invoice in the home and in a foreign currency, and values with HTML specials kept as text.
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>

using json11::Json;

namespace {

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class Pages : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return local_seconds(2026, 3, 10); });
        core = make_core(dir.path(), "hu");
        core->open_database();
        ASSERT_NE(core->db, nullptr);
        core->current_account = "ACC1";
        taxes = core->setting("taxes").array_items();
        units = core->setting("units").array_items();
    }
    void TearDown() override {
        core.reset();
        set_clock({});
    }
    void put_setting(const std::string& key, const Json& value) {
        ASSERT_TRUE(core->save_record({{"recordName", key}, {"value", value.dump()}}, "settings"));
    }
    // The id of the tax or unit of that name.
    std::string id_of(const Json::array& list, const std::string& name) {
        return Json(find_object(list, false, "name", name))["id"].string_value();
    }
    Json line(const std::string& name, double quantity, double price, const std::string& tax) {
        return Json::object{{"name", name},         {"quantity", quantity},           {"price", price},
                            {"price_type", "NET"},  {"tax_id", id_of(taxes, tax)},    {"unit_id", id_of(units, "darab")}};
    }
    static Json::object invoice(const std::string& layout) {
        return {{"type", "INVOICE"},
                {"template", layout},
                {"language_code", "en"},
                {"currency_code", "HUF"},
                {"exchange_rate", 1},
                {"number_formatted", "SZ-2026-0007"},
                {"payment_name", "Transfer"},
                {"issue_date", "2026-03-01T10:20:30"},
                {"delivery_date", "2026-03-02"},
                {"due_date", "2026-03-09"},
                {"client_name", "Alma Kft."},
                {"client_address", "Fő utca 1.\n1011 Budapest"},
                {"supplier_name", "Körte Bt."},
                {"supplier_email", "info@korte.hu"},
                {"payment_bank", "BANK 1111"}};
    }
    int header_height(const std::string& html) {
        std::smatch m;
        static const std::regex height("style\\.height = (-?[0-9]+);</script>");
        if (!std::regex_search(html, m, height)) return -1;
        return std::stoi(m[1]);
    }

    TempDir dir;
    std::unique_ptr<Core> core;
    Json::array taxes;
    Json::array units;
};

TEST_F(Pages, EveryLayoutHasItsHeightAccentAndPlaceholderTexts) {
    struct Expected {
        int height;
        int plain_boxes;  // boxes other than logo, supplier and client
        bool accent;
    };
    const std::map<std::string, Expected> layouts = {{"TASK", {222, 8, false}}, {"001", {365, 14, false}},
                                                     {"002", {348, 14, true}},  {"003", {308, 12, true}},
                                                     {"004", {278, 13, true}},  {"005", {325, 15, true}},
                                                     {"", {0, 0, false}},       {"xyz", {0, 0, false}}};
    // Box class -> its text for a plain invoice (English document labels, no reference).
    const std::map<std::string, std::string> texts = {
        {"DocumentTitle", "Invoice"},  {"DocumentNumber", "SZ-2026-0007"},
        {"PaymentName", "Transfer"},   {"IssueDate", "2026. 03. 01."},
        {"DeliveryDate", "2026. 03. 02."}, {"DueDate", "2026. 03. 09."},
        {"ReferenceNumber", ""},       {"_ReferenceNumber", ""},
        {"_ReferenceNumber} {ReferenceNumber", ""},
        {"_IssueDate", "Issue"},       {"_DeliveryDate", "Delivery"},
        {"_DueDate", "Due"},           {"_PaymentName", "Payment"},
        {"Line", ""},                  {"Box", ""},
        {"Box1", ""},                  {"_TaskRepeat", core->translated("repeat", "")},
        {"TaskRepeat", core->repeat_description("")}};
    static const std::regex box("<div class='([^']*)' style='position:absolute;[^']*'>([^<]*)</div>");

    for (const auto& [name, expected] : layouts) {
        SCOPED_TRACE("layout " + name);
        Json::object document = invoice(name);
        if (name == "TASK") document["type"] = "TASK";
        const std::string html = core->document_html(1, document, Json::array{line("Alma", 1, 100, "27%")}, "0,0");
        EXPECT_EQ(header_height(html), expected.height);
        EXPECT_EQ(html.find("<style></style>") == std::string::npos, expected.accent);
        EXPECT_EQ(html.find("<img"), std::string::npos);  // no logo file

        int plain = 0;
        for (std::sregex_iterator it(html.begin(), html.end(), box), end; it != end; ++it) {
            const std::string css_class = (*it)[1];
            if (css_class == "supplier") continue;
            ++plain;
            std::string want = texts.count(css_class) ? texts.at(css_class) : "?";
            if (css_class == "DocumentTitle" && name == "TASK") want = core->translated("TASK", "");
            EXPECT_EQ((*it)[2].str(), want) << css_class;
        }
        EXPECT_EQ(plain, expected.plain_boxes);
    }

    // 001 in full: the exact title box, the supplier with caption, bank and e-mail, the client box.
    const std::string html = core->document_html(1, invoice("001"), Json::array{line("Alma", 1, 100, "27%")}, "0,0");
    EXPECT_NE(html.find("<div class='DocumentTitle' style='position:absolute;left:400;top:30;width:360;height:25;"
                        "font-size:22px;font-weight:bold;'>Invoice</div>"),
              std::string::npos);
    EXPECT_NE(html.find("<div><div class='supplier' style='position:absolute;left:400;top:65;width:360;height:140;'>"
                        "<div>Supplier</div><b>Körte Bt.</b><div style='line-height:1.3;'><b></b><br>BANK 1111<br>"
                        "info@korte.hu</div></div></div>"),
              std::string::npos);
    EXPECT_NE(html.find("<div><div style='position:absolute;left:30;top:220;width:360;height:140;'><div>Bill to</div>"
                        "<b>Alma Kft.</b><div style='line-height:1.3;'><b>Fő utca 1.<br>1011 Budapest</b><br></div>"
                        "</div></div>"),
              std::string::npos);
}

TEST_F(Pages, LogoReferencePurchaseAndContacts) {
    // A logo file is shown with its box as maximum size; a missing one still counts in the height.
    std::string logo_bytes = "\x89PNG fake";
    dir.write("ACC1logo", logo_bytes);
    std::string html = core->document_html(1, invoice("004"), Json::array{}, "0,0");
    EXPECT_NE(html.find("<div><img style='position:absolute;left:30;top:0;max-width:120;max-height:57;' "
                        "src='data:image/png;base64," +
                        base64_encode(logo_bytes) + "'></div>"),
              std::string::npos);

    // A storno of an invoice names the invoice it cancels.
    Json::object storno = invoice("001");
    storno["reference_recordName"] = "INVOICE-2026-0001";
    storno["reference_number_formatted"] = "SZ-2026-0001";
    html = core->document_html(1, storno, Json::array{line("Alma", -2, 100, "27%")}, "0,0");
    EXPECT_NE(html.find("'>SZ-2026-0001</div>"), std::string::npos);
    EXPECT_NE(html.find("class='_ReferenceNumber' style='position:absolute;left:400;top:345;width:130;height:20;"
                        "text-align:end;'>Reference</div>"),
              std::string::npos);
    EXPECT_NE(html.find("-254 Ft"), std::string::npos);  // gross of the cancelled line
    storno["template"] = "002";
    html = core->document_html(1, storno, Json::array{}, "0,0");
    EXPECT_NE(html.find(">Reference SZ-2026-0001</div>"), std::string::npos);

    // A purchase order: no supplier caption, the vendor caption on the client; phone only.
    Json::object order = invoice("001");
    order["type"] = "PURCHASE_ORDER";
    order["supplier_email"] = "";
    order["supplier_phone"] = "+36 1 234";
    order["client_email"] = "a@b.hu";
    order["client_phone"] = "5";
    html = core->document_html(1, order, Json::array{}, "0,0");
    EXPECT_NE(html.find("<div class='supplier' style='position:absolute;left:400;top:65;width:360;height:140;'><div></div>"),
              std::string::npos);
    EXPECT_NE(html.find("<br>+36 1 234</div>"), std::string::npos);
    EXPECT_NE(html.find("<div>Vendor</div>"), std::string::npos);
    EXPECT_NE(html.find("<br>a@b.hu, 5</div>"), std::string::npos);
    EXPECT_NE(html.find(">Purchase Order</div>"), std::string::npos);
}

TEST_F(Pages, HomeCurrencyInvoiceWithDiscountsAndTwoRates) {
    Json::object rate_discount = line("Alma", 2, 1000, "27%").object_items();
    rate_discount["discount"] = 12.5;
    rate_discount["discount_type"] = "RATE";
    rate_discount["description"] = "piros\nédes";
    Json::object value_discount = line("Körte", 3, 200, "5%").object_items();
    value_discount["discount"] = 20;
    value_discount["discount_type"] = "VALUE";
    const Json lines = Json::array{rate_discount, value_discount, line("Szilva", 1, 100, "27%")};
    Json::object document = invoice("001");
    document["language_code"] = "";  // falls back to the first language: Hungarian labels
    document["footer_note"] = "  Köszönjük   a\nvásárlást ";

    const std::string html = core->document_html(1, document, lines, "0,0");
    EXPECT_EQ(html.rfind("<meta name='color-scheme' content='dark light'>", 0), 0u);
    EXPECT_NE(html.find("body{margin:0;padding:0;"), std::string::npos);
    EXPECT_EQ(html.find("box-shadow"), std::string::npos);
    EXPECT_NE(html.find("<html oncontextmenu='return false;'>" + pagination_script + "<style></style><head>"),
              std::string::npos);
    EXPECT_EQ(html.find("TAVRIN DEMO"), std::string::npos);
    EXPECT_NE(html.find("<tbody><tr><td style='text-align:left;white-space:normal;'><b>Alma</b><div>piros<br>édes</div>"
                        "</td><td>2<br>darab</td><td>1 000 Ft</td><td>2 000 Ft</td><td>540 Ft<br>27%</td>"
                        "<td>2 540 Ft</td></tr>"),
              std::string::npos);
    EXPECT_NE(html.find("<tr class='line'><td style='text-align:left;'><b><i>12,5% Kedvezmény</i></b></td>"
                        "<td colspan='2'></td><td>-250 Ft</td><td>-68 Ft</td><td>-318 Ft</td></tr>"),
              std::string::npos);
    EXPECT_NE(html.find("<b><i>20 Ft / darab Kedvezmény</i></b>"), std::string::npos);
    EXPECT_EQ(count_of(html, "<tr class='line'>"), 2u);

    const std::string head = "<td></td><td>Mennyiség</td><td>Ár</td><td>Nettó</td><td>ÁFA</td><td>Bruttó</td>";
    EXPECT_EQ(core->translated("quantity", ""), "Mennyiség");
    // The head reaches the page-break calls once, as a script value.
    EXPECT_EQ(count_of(html, "<script>var tableHeader='" + head + "';</script>"), 1u);
    EXPECT_EQ(count_of(html, "<script>addNewPageIfNecessary(tableHeader)</script>"), 3u);
    EXPECT_NE(html.find("<table><thead class='header'>" + head + "</thead><tbody>"), std::string::npos);

    // Two summary labels in key order, their totals row, no exchange-rate line.
    const std::size_t first = html.find("<td>27%</td><td>1 850 Ft</td><td>500 Ft</td><td>2 350 Ft</td>");
    const std::size_t second = html.find("<td>5%</td><td>540 Ft</td><td>27 Ft</td><td>567 Ft</td>");
    EXPECT_NE(first, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_NE(html.find("<td class='border_top'></td><td class='border_top'>2 390 Ft</td>"), std::string::npos);
    EXPECT_EQ(html.find(core->translated("exchange_rate", "")), std::string::npos);
    EXPECT_NE(html.find("double;'>Összesen 2 916 Ft</b>"), std::string::npos);
    EXPECT_NE(html.find("<div style='display:flex;justify-content:center;'>Köszönjük a<br>vásárlást</div>"),
              std::string::npos);
    const std::string end = "</tbody><script>addNewSummaryPageIfNecessary()</script></table></div><script>window.onload = "
                            "function(){setPageNumbers(0,0, 'Tavrin Számlázó');};</script></div></body></html>";
    EXPECT_EQ(html.substr(html.size() - end.size()), end);
}

TEST_F(Pages, ForeignCurrencyInvoiceAndPreviewMode) {
    Json::array currencies = core->setting("currencies").array_items();
    currencies.push_back(Json::object{{"code", "EUR"},          {"digits_line", 2}, {"digits_total", 2},
                                      {"decimal_point", ","},   {"thousands_sep", "."},
                                      {"symbol", "€"},          {"pattern", "3412"}});
    put_setting("currencies", currencies);
    ASSERT_TRUE(core->save_record({{"recordName", "M1"}, {"itemRecordName", "ITEM-1"}, {"quantity", 10}}, "inventory"));

    Json::object document = invoice("002");
    document["currency_code"] = "EUR";
    document["exchange_rate"] = 385.12;
    document["client_name"] = Json();
    Json::object tracked = line("Alma", 3, 10, "27%").object_items();
    tracked["item_name"] = "Alma (raktár)";
    tracked["type"] = "INVENTORY_TRACKING";
    tracked["recordName"] = "ITEM-1";
    const Json lines = Json::array{tracked, line("Körte", 1, 5, "27%")};

    std::string html = core->document_html(-1, document, lines, "\"12,34\"");
    EXPECT_NE(html.find("body{margin:24;"), std::string::npos);
    EXPECT_NE(html.find("box-shadow:1px 1px 8px #999; background-size:100%% 100%%;}"), std::string::npos);
    EXPECT_NE(html.find("<tbody><tr class='row_line' onclick='window.chrome.webview.postMessage(1)'>"), std::string::npos);
    EXPECT_NE(html.find("<b>Alma (raktár)</b>"), std::string::npos);
    EXPECT_NE(html.find("<td>3<br>darab<br><b><i>10 - 3 = 7</i></b></td><td>10,00 €</td><td>30,00 €</td>"),
              std::string::npos);
    // Saved, the document's own movement is in the store: the hint still counts it once.
    ASSERT_TRUE(core->save_record({{"recordName", "M2"}, {"itemRecordName", "ITEM-1"}, {"documentRecordName", "INVOICE-7"},
                                   {"quantity", -3}},
                                  "inventory"));
    document["recordName"] = "INVOICE-7";
    EXPECT_NE(core->document_html(-1, document, lines, "0,0").find("<b><i>10 - 3 = 7</i></b>"), std::string::npos);
    // One label: two amounts per cell, no totals row; the rate with six decimals.
    EXPECT_NE(html.find("<td class='border_bottom'>35,00 €<div>13 479 Ft</div></td>"), std::string::npos);
    EXPECT_EQ(html.find("class='border_top'>"), std::string::npos);
    EXPECT_NE(html.find("<br><br><div>Árfolyam: 385.120000</div>"), std::string::npos);
    EXPECT_NE(html.find("setPageNumbers(12,34, '"), std::string::npos);
    EXPECT_NE(html.find(".DocumentTitle {color:var(--accent-font-color)}"), std::string::npos);

    // The sample company's watermark shows in the document view only.
    core->current_account = "DEMO";
    EXPECT_EQ(html.find("TAVRIN DEMO"), std::string::npos);
    html = core->document_html(1, document, lines, "0,0");
    EXPECT_NE(html.find(">TAVRIN DEMO</span></div><script>document.getElementById('documentHeader').style.height = 348;"),
              std::string::npos);
    EXPECT_EQ(html.find("postMessage"), std::string::npos);
    EXPECT_EQ(html.find("<i>10 - 3"), std::string::npos);  // stock hints belong to the preview

    // Neither a client nor lines: the drag hint page alone.
    EXPECT_EQ(core->document_html(1, Json::object{{"type", "INVOICE"}}, Json::array{}, "0,0"),
              "<html oncontextmenu='return false;'><table width='100%' height='100%' style='font-family:\"Segoe UI\";'>"
              "<tr><td style='vertical-align:middle;'><h4 style='width:100%;color:lightgray;text-align:center;'>" +
                  core->translated("drag_here", "") + "</h4></td></tr></table></html>");
}

TEST_F(Pages, ValuesWithHtmlSpecialsStayText) {
    const std::string hostile = "<b>O'Brien & \"Sons\"</b>\\";
    Json::object translate = core->setting("translate").object_items();
    Json::object labels = translate["en"].object_items();
    labels["quantity"] = "Qty'); alert('x";
    translate["en"] = labels;
    put_setting("translate", translate);
    put_setting("theme_colors", Json::object{{"accent_font_color", "ff0000;}</style><script>"},
                                             {"accent_background_color", "00ff00"}});

    Json::object document = invoice("001");
    document["client_name"] = hostile;
    document["header_note"] = hostile;
    Json::object item = line(hostile, 1, 1, "27%").object_items();
    const std::string html = core->document_html(1, document, Json::array{item}, "0,0);alert(1");

    EXPECT_EQ(html.find("O'Brien"), std::string::npos);
    EXPECT_EQ(html.find("<b>O"), std::string::npos);
    EXPECT_NE(html.find("&lt;b&gt;O&#39;Brien &amp; &quot;Sons&quot;&lt;/b&gt;&#92;"), std::string::npos);
    EXPECT_NE(html.find("var tableHeader='<td></td><td>Qty&#39;); alert(&#39;x</td>"), std::string::npos);
    EXPECT_NE(html.find("--accent-font-color:#; --accent-bg-color:#00ff00;"), std::string::npos);
    EXPECT_NE(html.find("setPageNumbers(0,01, '"), std::string::npos);
}

TEST_F(Pages, PeriodAndStockReports) {
    Json::array currencies = core->setting("currencies").array_items();
    currencies.push_back(Json::object{{"code", "EUR"},          {"digits_line", 2}, {"digits_total", 2},
                                      {"decimal_point", ","},   {"thousands_sep", "."},
                                      {"symbol", "€"},          {"pattern", "3412"}});
    put_setting("currencies", currencies);
    const Json documents = Json::array{
        Json::object{{"number_formatted", "E-1"}, {"client_name", "A & B"}, {"currency_code", "EUR"},
                     {"total_net_amount", 100}, {"total_tax_amount", 27}, {"total_gross_amount", 127},
                     {"exchange_rate", 400}, {"issue_date", "2026-03-01"}},
        Json::object{{"number_formatted", "H-1"}, {"client_name", "C"}, {"currency_code", "HUF"},
                     {"total_net_amount", 1000}, {"total_tax_amount", 270}, {"total_gross_amount", 1270},
                     {"exchange_rate", 1}, {"issue_date", "2026-03-02"}},
        Json::object{{"number_formatted", "X-1"}, {"currency_code", "HUF"}, {"total_net_amount", 5000}}};
    const Json filter = Json::object{{"report_title", "Számlák <2026>"}, {"date_name", "Kiállítás"},
                                     {"date_type", "issue_date"},       {"from_date", "2026-03-01"},
                                     {"to_date", "2026-03-31"}};

    std::string html = core->documents_report_html(true, documents, filter);
    EXPECT_NE(html.find("body{margin:24;"), std::string::npos);
    EXPECT_NE(html.find("background-color:white;box-shadow:1px 1px 8px #999; background-size:100%% 100%%;}"),
              std::string::npos);
    EXPECT_NE(html.find("<h1 align='center'>Számlák &lt;2026&gt;</h1><h2 align='center'>Kiállítás&nbsp;&nbsp;<span "
                        "style='font-weight:100;'>2026. 03. 01. &ndash; 2026. 03. 31.</span></h2>"),
              std::string::npos);
    EXPECT_NE(html.find("<b>E-1</b> <i style='font-size:11px'>2026. 03. 01.</i>&nbsp;&nbsp;&nbsp;&nbsp;A &amp; B</td>"
                        "<td><b>100,00 €</b></td><td><b>27,00 €</b></td><td><b>127,00 €</b></td>"),
              std::string::npos);
    // The document without a rate adds nothing; 100 EUR at 400 and 1000 HUF give 41 000.
    EXPECT_NE(html.find("<tr style='font-size:16px'><td colspan='2'></td><td><b>41 000 Ft</b></td><td><b>11 070 Ft</b>"
                        "</td><td><b style='border-bottom:5px double black'>52 070 Ft</b></td></tr>"),
              std::string::npos);
    const std::string call = "<script>addNewReportPageIfNecessary('<td></td><td></td><td>Nettó</td><td>ÁFA</td>"
                             "<td>Bruttó</td>')</script>";
    EXPECT_EQ(count_of(html, call), 4u);
    EXPECT_NE(html.find("<html oncontextmenu='return false;'>" + pagination_script + "<body"), std::string::npos);
    EXPECT_EQ(html.substr(html.size() - 7), "</body>");

    html = core->documents_report_html(false, Json::array{}, filter);
    EXPECT_NE(html.find("body{margin:0;"), std::string::npos);
    EXPECT_EQ(html.find("box-shadow"), std::string::npos);
    EXPECT_NE(html.find("<td><b>0 Ft</b></td><td><b>0 Ft</b></td>"), std::string::npos);

    // Stock: one line per item record, even when two share a name; whole sums with separators.
    int n = 0;
    for (const auto& [item, quantity] : std::vector<std::pair<std::string, int>>{
             {"I1", 1000}, {"I1", 234}, {"I2", 5}, {"I3", -2}}) {
        const std::string name = item == "I3" ? "Alma" : item == "I2" ? "Alma" : "Körte & társa";
        ASSERT_TRUE(core->save_record({{"recordName", "M" + std::to_string(++n)}, {"itemRecordName", item},
                                       {"item_name", name}, {"quantity", quantity}},
                                      "inventory"));
    }
    html = core->inventory_report_html();
    EXPECT_EQ(html.find("<html"), std::string::npos);
    EXPECT_NE(html.find("body{margin:0;"), std::string::npos);
    EXPECT_NE(html.find("<h1 align='center'>" + core->translated("report_inventory", "") + "</h1></div>"),
              std::string::npos);
    EXPECT_NE(html.find("text-overflow:ellipsis;'>Körte &amp; társa</td><td align='right'>1 234</td>"), std::string::npos);
    EXPECT_EQ(count_of(html, ">Alma</td>"), 2u);
    EXPECT_EQ(count_of(html, "<script>addNewReportPageIfNecessary('<td></td><td></td>')</script>"), 3u);
    EXPECT_EQ(html.substr(html.size() - 14), "</body></html>");
}

}  // namespace
