// The list pages, the master-data view and the task calendar, built from a small account: exact
// frames, head rows and rows, status dots, totals lines, paging, the folded search, hostile values
// shown as text, and the month grids.
#include "core/views/html.h"
#include "core/store/store_internal.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <regex>

using json11::Json;

namespace {

const std::string kFrame =
    "<meta name='color-scheme' content='dark light'><meta name='supported-color-schemes' content='dark light'>"
    "<style>body{margin:0; font-family:\"Segoe UI\"; font-size:0.9em;} table{font-family:\"Segoe UI\"; "
    "font-size:0.9em; width:100%; padding-left:6px; padding-right:6px} thead td{position:sticky; "
    "position:-webkit-sticky; -webkit-backdrop-filter:blur(6px); backdrop-filter:blur(6px); text-align:center; "
    "font-weight:bolder; height:22px} thead td{top:0; border-bottom:1px solid #a9a9a9; text-align:left; "
    "height:22px; white-space:nowrap} table tbody td{height:20px; max-width:160px; overflow:hidden; "
    "white-space:nowrap; text-overflow: ellipsis;} .selectedRow, table.list tbody tr:hover{color:white; "
    "background-color:rgb(0,120,215);} .align_right{text-align:right; white-space:nowrap; } "
    "tbody{cursor:default} </style><script>function onListRowSelected(recordName, type) { for (var i = 0, row; "
    "row = document.getElementById('list').rows[i]; i++) { if (row.className == 'selectedRow') row.className = "
    "''; } document.getElementById(recordName).className = 'selectedRow'; "
    "window.chrome.webview.postMessage({\"action\":\"onListRowSelected\", \"recordName\":recordName, "
    "\"type\":type}); }</script>";
const std::string kTable = "<table id='list' class='list' cellpadding='6' cellspacing='0'><thead><tr><td>";
const std::string kDocumentHead =
    "Sorszám</td><td>Kiállítás</td><td>Teljesítés</td><td>Határidő</td><td>Partner</td><td "
    "class='align_right'>Bruttó</td></tr></thead><tbody id='list_tbody'>";

std::string dot(const char* colour) { return std::string("<span style='color:") + colour + "'>&#x2B24;</span>"; }
const char* const kGreen = "#34c759";
const char* const kRed = "#ff3b30";
const char* const kYellow = "#ffcc00";
const char* const kGrey = "#c0c0c0";

const std::string kHostile = "<b>O'Brien & \"Sons\"</b>";
const std::string kHostileShown = "&lt;b&gt;O&#39;Brien &amp; &quot;Sons&quot;&lt;/b&gt;";

std::size_t occurrences(const std::string& text, const std::string& piece) {
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size())) ++n;
    return n;
}

// The net, tax and gross sums of documents in the home currency, in whole fillér, as SQLite rounds.
const char* const kCentsSums =
    "SUM(CAST(ROUND(total_net_amount * exchange_rate * 100) AS INTEGER)), SUM(CAST(ROUND(total_tax_amount * "
    "exchange_rate * 100) AS INTEGER)), SUM(CAST(ROUND(total_gross_amount * exchange_rate * 100) AS INTEGER))";

Json::object year_filter() {
    return {{"from_to_type", 0}, {"date_type", "issue_date"}, {"from_date", "2026-01-01"}, {"to_date", "2026-12-31"},
            {"currency_code", "%%"}, {"payment_id", "%%"}, {"paid", "%%"}};
}

class Lists : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return local_seconds(2026, 3, 10); });
        core = make_core(dir.path(), "hu");
        core->open_database();
        ASSERT_NE(core->db, nullptr);
        payments = core->setting("payments").array_items();
        taxes = core->setting("taxes").array_items();
        units = core->setting("units").array_items();
        ASSERT_EQ(payments.size(), 2u);
        // A second currency for the foreign invoices.
        Json::array currencies = core->setting("currencies").array_items();
        currencies.push_back(Json::object{{"code", "EUR"}, {"digits_line", 2}, {"digits_total", 2},
                                          {"decimal_point", ","}, {"thousands_sep", "."}, {"symbol", "€"},
                                          {"pattern", "3412"}});
        ASSERT_TRUE(core->save_record({{"recordName", "currencies"}, {"value", Json(currencies).dump()}}, "settings"));
    }
    void TearDown() override {
        core.reset();
        set_clock({});
    }

    // A document as a download stores it: totals, times and flags as given.
    void document(Json::object doc, std::vector<Json> lines = {}) {
        const std::string name = doc["recordName"].string_value();
        ASSERT_EQ(core->save_document(std::move(lines), true, std::move(doc)), name);
    }
    Json::object invoice(const std::string& name, const std::string& number, const std::string& due, double gross,
                         int paid, const std::string& nav_status, double created) {
        return {{"recordName", name},        {"type", "INVOICE"},         {"number_formatted", number},
                {"issue_date", "2026-03-01"}, {"delivery_date", "2026-03-01"}, {"due_date", due},
                {"client_name", "Kovács Kft."}, {"total_net_amount", gross / 1.27}, {"total_tax_amount", gross - gross / 1.27},
                {"total_gross_amount", gross}, {"currency_code", "HUF"},   {"exchange_rate", 1},
                {"paid", paid},              {"nav_status", nav_status},  {"payment_id", payments[0]["id"]},
                {"created", created}};
    }
    void client(const std::string& name, const std::string& client_name, Json::object more = {}) {
        Json::object record{{"recordName", name}, {"name", client_name}, {"country_code", "HU"},
                            {"city", "Budapest"}, {"street", "Fő utca 1."}, {"postcode", "1011"}};
        for (auto& [key, value] : more) record[key] = value;
        ASSERT_TRUE(core->save_record(record, "clients"));
    }
    std::string address(const std::string& street = "Fő utca 1.") {
        return core->formatted_address(
            true, {{"country_code", "HU"}, {"city", "Budapest"}, {"street", street}, {"postcode", "1011"}});
    }

    TempDir dir;
    std::unique_ptr<Core> core;
    Json::array payments, taxes, units;
};

TEST_F(Lists, InvoiceListsHaveTheirHeadRowDotsAndTotals) {
    Json::object a = invoice("INVOICE-A", "SZLA/2026-0001", "2026-03-09", 12700, 1, "DONE", 1000);
    a["number"] = 7;
    document(a);
    Json::object b = invoice("INVOICE-B", "SZLA/2026-0002", "2026-03-10", 1270, 0, "", 2000);
    b["payment_id"] = payments[1]["id"];
    document(b);
    document(invoice("INVOICE-C", "SZLA/2026-0003", "2026-03-09", 127, 0, "DONE_WARN", 3000));
    Json::object d = invoice("INVOICE-D", "SZLA/2026-0004", "2026-03-20", -12700, 0, "ABORTED", 4000);
    d["reference_number_formatted"] = "SZLA/2026-0001";
    document(d);
    document({{"recordName", "ARCHIVE-E"}, {"type", "ARCHIVE_INVOICE"}, {"number_formatted", "R-17"},
              {"issue_date", "2026-02-15"}, {"delivery_date", "2026-02-15"}, {"due_date", "2026-02-20"},
              {"client_name", "Müller GmbH"}, {"total_net_amount", 10}, {"total_tax_amount", 2.5},
              {"total_gross_amount", 12.5}, {"currency_code", "EUR"}, {"exchange_rate", 400}, {"paid", 1},
              {"payment_id", payments[1]["id"]}, {"created", 500}});
    document({{"recordName", "ESTIMATE-F"}, {"type", "ESTIMATE"}, {"number_formatted", "AJ-1"},
              {"issue_date", "2026-03-05"}, {"client_name", "Kovács Kft."}, {"total_gross_amount", 500},
              {"currency_code", "HUF"}, {"exchange_rate", 1}, {"created", 6000}});

    std::string html = core->list_html(0, "INVOICE", year_filter(), "", "");
    EXPECT_EQ(html.substr(0, kFrame.size() + kTable.size() + kDocumentHead.size()), kFrame + kTable + kDocumentHead);
    EXPECT_TRUE(html.ends_with("</tr></tbody></table>"));
    ASSERT_EQ(core->list_rows.size(), 5u);
    EXPECT_EQ(core->list_count, 5);
    // Newest first; the archived invoice is part of the invoice list.
    std::vector<std::string> order;
    for (const auto& row : core->list_rows) order.push_back(Json(row)["recordName"].string_value());
    EXPECT_EQ(order, (std::vector<std::string>{"INVOICE-D", "INVOICE-C", "INVOICE-B", "INVOICE-A", "ARCHIVE-E"}));

    // Paid: green whatever the due date; reported without remarks: green.
    EXPECT_NE(html.find("<tr id='INVOICE-A' onclick='onListRowSelected(\"INVOICE-A\", \"INVOICE\")' ><td>" +
                        dot(kGreen) + " SZLA/2026-0001</td><td>2026. 03. 01.</td><td>2026. 03. 01.</td><td>2026. 03. "
                        "09.</td><td>Kovács Kft.</td><td class='align_right'>12 700 Ft " +
                        dot(kGreen) + "</td></tr>"),
              std::string::npos);
    // Unpaid and due today: yellow; not yet reported: grey.
    EXPECT_NE(html.find("<td>" + dot(kGrey) + " SZLA/2026-0002</td>"), std::string::npos);
    EXPECT_NE(html.find("1 270 Ft " + dot(kYellow) + "</td></tr>"), std::string::npos);
    // Unpaid and due yesterday: red; reported with a remark: yellow.
    EXPECT_NE(html.find("<td>" + dot(kYellow) + " SZLA/2026-0003</td>"), std::string::npos);
    EXPECT_NE(html.find(">127 Ft " + dot(kRed) + "</td></tr>"), std::string::npos);
    // Aborted report: red; the reference number follows the arrow.
    EXPECT_NE(html.find("<td>" + dot(kRed) + " SZLA/2026-0004 \xE2\x9E\x94 SZLA/2026-0001</td>"), std::string::npos);
    EXPECT_NE(html.find("-12 700 Ft " + dot(kYellow)), std::string::npos);
    // Foreign amounts in their own currency.
    EXPECT_NE(html.find("<td class='align_right'>12,50 € " + dot(kGreen) + "</td></tr>"), std::string::npos);
    // Sums in the home currency, each invoice converted by its own rate.
    EXPECT_EQ(core->list_summary, "2026. 01. 01. \xEF\xBC\x8D 2026. 12. 31. | 5 100 Ft + 1 297 Ft = 6 397 Ft");

    Json::object eur_cash_paid = year_filter();
    eur_cash_paid["currency_code"] = "EUR";
    eur_cash_paid["payment_id"] = payments[1]["id"];
    eur_cash_paid["paid"] = "1";
    core->list_html(0, "INVOICE", eur_cash_paid, "", "");
    EXPECT_EQ(core->list_rows.size(), 1u);
    EXPECT_EQ(core->list_summary,
              "2026. 01. 01. \xEF\xBC\x8D 2026. 12. 31., EUR, Készpénz, Kifizetett | 4 000 Ft + 1 000 Ft = 5 000 Ft");
    eur_cash_paid["paid"] = "0";
    html = core->list_html(0, "INVOICE", eur_cash_paid, "", "");
    EXPECT_EQ(html, kFrame + kTable + kDocumentHead + "</tbody></table>");
    EXPECT_EQ(core->list_count, 0);
    EXPECT_EQ(core->list_summary,
              "2026. 01. 01. \xEF\xBC\x8D 2026. 12. 31., EUR, Készpénz, Kifizetetlen | 0 Ft + 0 Ft = 0 Ft");

    // Overdue: unpaid invoices due before today, typed as invoices, totals without a date range.
    html = core->list_html(0, "overdue", {}, "", "");
    ASSERT_EQ(core->list_rows.size(), 1u);
    EXPECT_NE(html.find(kTable + kDocumentHead + "<tr id='INVOICE-C' onclick='onListRowSelected(\"INVOICE-C\", "
                                                 "\"INVOICE\")' ><td>" +
                        dot(kYellow) + " SZLA/2026-0003</td>"),
              std::string::npos);
    EXPECT_EQ(core->list_summary, "Lejárt számlák | 100 Ft + 27 Ft = 127 Ft");

    // Without the tax authority's reporting no reporting dot.
    core->is_hungarian = false;
    html = core->list_html(0, "INVOICE", year_filter(), "", "");
    EXPECT_EQ(occurrences(html, "&#x2B24;"), 5u);
    EXPECT_NE(html.find("' ><td>SZLA/2026-0001</td>"), std::string::npos);
    core->is_hungarian = true;

    // Archived invoices alone: no dots, but sums; estimates: the date range only.
    html = core->list_html(0, "ARCHIVE_INVOICE", year_filter(), "", "");
    EXPECT_EQ(html, kFrame + kTable + kDocumentHead +
                        "<tr id='ARCHIVE-E' onclick='onListRowSelected(\"ARCHIVE-E\", \"ARCHIVE_INVOICE\")' "
                        "><td>R-17</td><td>2026. 02. 15.</td><td>2026. 02. 15.</td><td>2026. 02. 20.</td><td>Müller "
                        "GmbH</td><td class='align_right'>12,50 €</td></tr></tbody></table>");
    EXPECT_EQ(core->list_summary, "2026. 01. 01. \xEF\xBC\x8D 2026. 12. 31. | 4 000 Ft + 1 000 Ft = 5 000 Ft");
    core->list_html(0, "ESTIMATE", year_filter(), "", "");
    EXPECT_EQ(core->list_rows.size(), 1u);
    EXPECT_EQ(core->list_summary, "2026. 01. 01. \xEF\xBC\x8D 2026. 12. 31.");

    // A number range instead of dates; a date column the lists do not know gives no rows.
    Json::object numbers = year_filter();
    numbers["from_to_type"] = 1;
    numbers["from_number"] = 5;
    numbers["to_number"] = 20;
    core->list_html(0, "INVOICE", numbers, "", "");
    ASSERT_EQ(core->list_rows.size(), 1u);
    EXPECT_EQ(Json(core->list_rows.front())["recordName"].string_value(), "INVOICE-A");
    Json::object injected = year_filter();
    injected["date_type"] = "1 OR 1 = 1 OR issue_date";
    core->list_html(0, "INVOICE", injected, "", "");
    EXPECT_EQ(core->list_rows.size(), 0u);
    injected = year_filter();
    injected["currency_code"] = "%' OR '1'='1";
    core->list_html(0, "INVOICE", injected, "", "");
    EXPECT_EQ(core->list_rows.size(), 0u);
    EXPECT_EQ(core->query("SELECT COUNT(*) AS n FROM documents").front().at("n").int_value(), 6);

    // The widest amounts a document may hold add up to the fillér, where sums of doubles lose it: in
    // the footer with and without a search, in the report and in the client's turnover.
    Json::array currencies = core->setting("currencies").array_items();
    Json::object home = currencies[0].object_items();
    home["digits_total"] = 2;
    currencies[0] = home;
    ASSERT_TRUE(core->save_record({{"recordName", "currencies"}, {"value", Json(currencies).dump()}}, "settings"));
    client("K-WIDE", "Kovács Kft.");
    for (int i = 0; i < 10; ++i) {
        Json::object widest = invoice("WIDE-" + std::to_string(i), "W-" + std::to_string(i), "2026-04-30",
                                      9999999999999.99, 0, "", 7000 + i);
        widest["issue_date"] = "2026-04-01";
        widest["clientRecordName"] = "K-WIDE";
        widest["total_net_amount"] = 7874015748031.49;
        widest["total_tax_amount"] = 2125984251968.50;
        document(widest);
    }
    Json::object april = year_filter();
    april["from_date"] = "2026-04-01";
    april["to_date"] = "2026-04-30";
    const std::string sums = " | 78 740 157 480 314,90 Ft + 21 259 842 519 685,00 Ft = 99 999 999 999 999,90 Ft";
    for (const char* search : {"", "Kovács"}) {
        core->list_html(0, "INVOICE", april, search, "");
        EXPECT_TRUE(core->list_summary.ends_with(sums)) << core->list_summary;
    }
    core->list_html(-100, "INVOICE", april, "", "");
    const Json rows(Json::array(core->list_rows.begin(), core->list_rows.end()));
    EXPECT_NE(core->documents_report_html(false, rows, april).find(">99 999 999 999 999,90 Ft<"), std::string::npos);
    EXPECT_NE(core->list_html(0, "client", {}, "", "K-WIDE").find(">99 999 999 999 999,90 Ft<"), std::string::npos);

    // Amounts far beyond what a document may hold, stored by an earlier version or come from the cloud,
    // on two days: the page still comes, the sums they are in show no value, the others stay exact.
    client("K-OLD", "Régi Kft.");
    Json::object may = year_filter();
    may["from_date"] = "2026-05-01";
    may["to_date"] = "2026-05-31";
    const std::vector<std::pair<double, const char*>> olds = {{9e18, "HUF"}, {1e300, "EUR"}, {1270, "HUF"}};
    for (std::size_t i = 0; i < olds.size(); ++i) {
        const std::string n = std::to_string(i);
        Json::object old = invoice("OLD-" + n, "R-" + n, "2026-05-30", olds[i].first, 0, "", 8000.0 + i);
        old["issue_date"] = "2026-05-0" + std::to_string(i + 1);
        old["clientRecordName"] = "K-OLD";
        old["currency_code"] = olds[i].second;
        old["exchange_rate"] = i == 1 ? 400 : 1;
        old["total_net_amount"] = olds[i].first - 270;
        old["total_tax_amount"] = 270;
        document(old);
    }
    const std::string unknown = " | \xE2\x80\x94 Ft + 108 540,00 Ft = \xE2\x80\x94 Ft";
    for (const char* search : {"", "Kovács"}) {
        html = core->list_html(0, "INVOICE", may, search, "");
        EXPECT_EQ(core->list_rows.size(), 3u) << search;
        EXPECT_EQ(core->list_count, 3) << search;
        EXPECT_NE(html.find("<tr id='OLD-2'"), std::string::npos) << search;
        EXPECT_TRUE(core->list_summary.ends_with(unknown)) << core->list_summary;
    }
    core->list_html(-100, "INVOICE", may, "", "");
    const std::string report =
        core->documents_report_html(false, Json(Json::array(core->list_rows.begin(), core->list_rows.end())), may);
    EXPECT_NE(report.find("<b>\xE2\x80\x94 Ft</b></td><td><b>108 540,00 Ft</b>"), std::string::npos);
    EXPECT_NE(core->list_html(0, "client", {}, "", "K-OLD").find(">\xE2\x80\x94 Ft</h1>"), std::string::npos);
    // Once they are corrected the sums are exact again.
    ASSERT_TRUE(store::run(*core, "UPDATE documents SET total_net_amount = 1000, total_gross_amount = 1270, "
                                  "exchange_rate = 1 WHERE recordName IN ('OLD-0', 'OLD-1')"));
    core->list_html(0, "INVOICE", may, "", "");
    EXPECT_TRUE(core->list_summary.ends_with(" | 3 000,00 Ft + 810,00 Ft = 3 810,00 Ft")) << core->list_summary;
    EXPECT_NE(core->list_html(0, "client", {}, "", "K-OLD").find(">3 810,00 Ft</h1>"), std::string::npos);
}

TEST_F(Lists, OtherKindsHaveTheirHeadRowsAndRows) {
    client("C1", "Béla Bt.", {{"identifier_number", "12345678-1-42"}, {"email", "bela@example.hu"}, {"phone", "+36 1 234 5678"}});
    client("C2", "alma Zrt.");
    client("C3", "Árvíztűrő Kft.");
    std::string html = core->list_html(0, "clients", {}, "", "");
    EXPECT_TRUE(html.starts_with(kFrame + kTable +
                                 "Név</td><td>Cím</td><td>Adószám</td><td>Egyéb azonosító</td><td>Email</td><td>Telefon"
                                 "</td></tr></thead><tbody><tr id='C2'"));
    EXPECT_NE(html.find("<tr id='C1' onclick='onListRowSelected(\"C1\", \"client\")' > <td>Béla Bt.</td><td>" + address() +
                        "</td><td>12345678-1-42</td><td></td><td>bela@example.hu</td><td>+36 1 234 5678</td></tr>"),
              std::string::npos);
    // Names in the locale's order: accented letters with their base letters.
    EXPECT_LT(html.find("id='C2'"), html.find("id='C3'"));
    EXPECT_LT(html.find("id='C3'"), html.find("id='C1'"));
    EXPECT_EQ(core->list_summary, "");

    auto item = [&](const std::string& name, const std::string& item_name, const std::string& type,
                    const std::string& price_type, double price) {
        ASSERT_TRUE(core->save_record({{"recordName", name}, {"name", item_name}, {"description", "Piros"},
                                       {"sku", "SKU-" + name}, {"upc", "599"}, {"type", type},
                                       {"price_type", price_type}, {"selling_price", price}, {"purchase_price", 60},
                                       {"clearing_price", 70.25}, {"tax_id", taxes[0]["id"]}, {"unit_id", units[0]["id"]}},
                                      "items"));
    };
    item("I1", "Alma", "PRODUCT", "NET", 100);
    item("I2", "Bérmunka", "SERVICE", "GROSS", 1234.5);
    item("I3", "Csavar", "INVENTORY_TRACKING", "NET", 10);
    item("I4", "Dübel", "INVENTORY_TRACKING", "NET", 5);
    auto movement = [&](const std::string& name, const std::string& reason, double quantity, double stock, double price,
                        double profit, double created) {
        ASSERT_TRUE(core->save_record({{"recordName", name}, {"itemRecordName", "I3"}, {"item_name", "Csavar"},
                                       {"client_name", "Szállító Kft."}, {"number_formatted", "BEV-" + name},
                                       {"issue_date", "2026-03-02"}, {"reason", reason}, {"quantity", quantity},
                                       {"stock", stock}, {"price", price}, {"profit_fifo", profit},
                                       {"profit_lifo", 1}, {"note", "első"}, {"created", created}},
                                      "inventory"));
    };
    movement("M1", "RECEIVE", 5, 5, 40, 0, 1000);
    movement("M2", "INVOICE", -3, 2, 100, 180, 2000);
    movement("M3", "STORNO", 1, 3, -100, -60, 3000);

    html = core->list_html(0, "items", {}, "", "");
    EXPECT_TRUE(html.starts_with(
        kFrame + kTable +
        "Név</td><td>Leírás</td><td>SKU</td><td>UPC</td><td>ÁFA</td><td>Mennyiségi egység</td><td "
        "class='align_right'>Eladási ár (Nettó)</td><td class='align_right'>Eladási ár (Bruttó)</td><td "
        "class='align_right'>Beszerzési ár</td><td class='align_right'>Elszámoló ár</td><td "
        "class='align_right'>Készlet</td></tr></thead><tbody><tr id='I1' onclick='onListRowSelected(\"I1\", "
        "\"item\")'><td>Alma</td><td>Piros</td><td>SKU-I1</td><td>599</td><td>27%</td><td>darab</td><td "
        "class='align_right'>100</td><td class='align_right'></td><td class='align_right'>60</td><td "
        "class='align_right'>70,25</td><td class='align_right'></td></tr>"));
    // Gross price in its own column; a service has no stock; tracked items show their summed stock.
    EXPECT_NE(html.find("<td class='align_right'></td><td class='align_right'>1 234,5</td><td class='align_right'>60</td>"
                        "<td class='align_right'>70,25</td><td class='align_right'></td></tr>"),
              std::string::npos);
    EXPECT_NE(html.find("Csavar</td>"), std::string::npos);
    EXPECT_NE(html.find("<td class='align_right'>70,25</td><td class='align_right'>3</td></tr><tr id='I4'"),
              std::string::npos);
    EXPECT_TRUE(html.ends_with("<td class='align_right'>70,25</td><td class='align_right'>0</td></tr></tbody></table>"));

    Json::object march{{"from_date", "2026-03-01"}, {"to_date", "2026-03-31"}};
    html = core->list_html(0, "inventory", march, "", "");
    const std::string inventory_head =
        "Termék</td><td>Partner</td><td>Sorszám</td><td>Kiállítás</td><td>Ok</td><td "
        "class='align_right'>Mennyiség</td><td class='align_right'>Készlet</td><td class='align_right'>Beszerzési "
        "ár</td><td class='align_right'>Eladási ár</td><td class='align_right'>FIFO haszon</td><td "
        "class='align_right'>Megjegyzés</td></tr></thead><tbody>";
    EXPECT_TRUE(html.starts_with(kFrame + kTable + inventory_head +
                                 "<tr id='M3' onclick='onListRowSelected(\"M3\", \"STORNO\")' ><td>Csavar</td><td>Szállító "
                                 "Kft.</td><td>BEV-M3</td><td>2026. 03. 02.</td><td>Sztornó</td><td "
                                 "class='align_right'>1</td><td class='align_right'>3</td><td class='align_right'></td><td "
                                 "class='align_right'>-100 Ft</td><td class='align_right'>-60 Ft</td><td "
                                 "class='align_right'>első</td></tr>"));
    EXPECT_NE(html.find("<tr id='M1' onclick='onListRowSelected(\"M1\", \"RECEIVE\")' ><td>Csavar</td><td>Szállító "
                        "Kft.</td><td>BEV-M1</td><td>2026. 03. 02.</td><td>Bevételezés</td><td class='align_right'>5</td>"
                        "<td class='align_right'>5</td><td class='align_right'>40 Ft</td><td class='align_right'></td>"
                        "<td class='align_right'></td><td class='align_right'>első</td></tr>"),
              std::string::npos);
    EXPECT_EQ(core->list_summary, "FIFO haszon: 120 Ft");
    EXPECT_EQ(core->list_count, 3);
    march["to_date"] = "2026-03-01";
    core->list_html(0, "inventory", march, "", "");
    EXPECT_EQ(core->list_rows.size(), 0u);
    EXPECT_EQ(core->list_summary, "FIFO haszon: 0 Ft");

    // Fractional profits add up to the fillér, where their sum as doubles ends one fillér off; a profit
    // stored far beyond what a document may hold leaves the sum without a value, and the rows shown.
    Json::array currencies = core->setting("currencies").array_items();
    Json::object home = currencies[0].object_items();
    home["digits_line"] = 2;
    currencies[0] = home;
    ASSERT_TRUE(core->save_record({{"recordName", "currencies"}, {"value", Json(currencies).dump()}}, "settings"));
    const double profits[] = {7281398632898.66, 7400920761287.44, 6266122469499.49, 1e300};
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(core->save_record({{"recordName", "S" + std::to_string(i)}, {"itemRecordName", "I4"},
                                       {"item_name", "Dübel"}, {"issue_date", "2026-04-0" + std::to_string(i + 1)},
                                       {"reason", "INVOICE"}, {"quantity", -1}, {"price", 1}, {"profit_fifo", profits[i]},
                                       {"created", 5000 + i}},
                                      "inventory"));
    Json::object april{{"from_date", "2026-04-01"}, {"to_date", "2026-04-03"}};
    core->list_html(0, "inventory", april, "", "");
    EXPECT_EQ(core->list_summary, "FIFO haszon: 20 948 441 863 685,59 Ft");
    april["to_date"] = "2026-04-30";
    html = core->list_html(0, "inventory", april, "", "");
    EXPECT_EQ(core->list_rows.size(), 4u);
    EXPECT_NE(html.find("<tr id='S3'"), std::string::npos);
    EXPECT_EQ(core->list_summary, "FIFO haszon: \xE2\x80\x94 Ft");

    // Tasks by due date: one-off tasks green when done, red when due, yellow before; repeating ones
    // red when due, green before.
    const std::string rule = "{\"day_type\":\"day\",\"day\":15,\"months\":[]}";
    auto task = [&](const std::string& name, const std::string& due, int progress, const std::string& repeat) {
        ASSERT_TRUE(core->save_record({{"recordName", name}, {"type", "TASK"}, {"number_formatted", "Feladat " + name},
                                       {"due_date", due}, {"task_progress", progress}, {"task_repeat", repeat},
                                       {"client_name", "Kovács Kft."}},
                                      "documents"));
    };
    task("TASK-1", "2026-03-10", 40, "");
    task("TASK-2", "2026-03-08", 100, "");
    task("TASK-3", "2026-03-11", 0, rule);
    task("TASK-4", "2026-03-12", 0, "");
    task("TASK-5", "2026-03-09", 0, rule);
    html = core->list_html(0, "TASK", {}, "", "");
    EXPECT_TRUE(html.starts_with(kFrame + kTable +
                                 "Feladat</td><td>Határidő</td><td>Ismétlés</td><td>Partner</td></tr></thead><tbody>"
                                 "<tr id='TASK-2' onclick='onListRowSelected(\"TASK-2\", \"TASK\")' ><td>" +
                                 dot(kGreen) + " <b>100%</b> Feladat TASK-2</td><td>2026. 03. 08.</td><td>Nincs "
                                               "ismétlés</td><td>Kovács Kft.</td></tr>"));
    EXPECT_NE(html.find("<td>" + dot(kRed) + " <b>40%</b> Feladat TASK-1</td>"), std::string::npos);
    EXPECT_NE(html.find("<td>" + dot(kGreen) + " <b>0%</b> Feladat TASK-3</td><td>2026. 03. 11.</td><td>" +
                        core->repeat_description(rule) + "</td>"),
              std::string::npos);
    EXPECT_NE(html.find("<td>" + dot(kYellow) + " <b>0%</b> Feladat TASK-4</td>"), std::string::npos);
    EXPECT_NE(html.find("<td>" + dot(kRed) + " <b>0%</b> Feladat TASK-5</td>"), std::string::npos);
    EXPECT_EQ(core->list_count, 5);

    ASSERT_TRUE(core->save_record({{"recordName", "WEBSHOP_ORDER-1"}, {"type", "WEBSHOP_ORDER"},
                                   {"number_formatted", "#1001"}, {"issue_date", "2026-03-03"},
                                   {"client_name", "Vevő Vera"}, {"client_email", "vera@example.hu"},
                                   {"client_phone", "+36 30 111 2222"}, {"client_address", "Szeged"},
                                   {"total_gross_amount", 5000}, {"currency_code", "HUF"}},
                                  "documents"));
    html = core->list_html(0, "WEBSHOP_ORDER", {}, "", "");
    EXPECT_EQ(html, kFrame + kTable +
                        "Sorszám</td><td>Rendelés</td><td>Partner</td><td>Email</td><td>Telefon</td><td>Cím</td><td "
                        "class='align_right'>Bruttó</td></tr></thead><tbody><tr id='WEBSHOP_ORDER-1' "
                        "onclick='onListRowSelected(\"WEBSHOP_ORDER-1\", \"WEBSHOP_ORDER\")' ><td>#1001</td><td>2026. "
                        "03. 03.</td><td>Vevő Vera</td><td>vera@example.hu</td><td>+36 30 111 2222</td><td>Szeged</td>"
                        "<td class='align_right'>5 000 Ft</td></tr></tbody></table>");

    // A kind the lists do not know: the frame and an empty table.
    EXPECT_EQ(core->list_html(0, "nonsense", {}, "", ""),
              kFrame + kTable + "</td></tr></thead><tbody></tbody></table>");
    EXPECT_EQ(core->list_summary, "");
}

TEST_F(Lists, PagesHoldHundredRowsAndTheUnpagedModeHoldsAll) {
    {
        store::Transaction batch(*core);
        for (int i = 1; i <= 250; ++i) {
            char number[32];
            std::snprintf(number, sizeof number, "SZLA/2026-%04d", i);
            document(invoice(std::string("INVOICE-") + number, number, "2026-03-20", 100, 0, "DONE", 1000.0 * i));
            client("K" + std::to_string(i), "Ügyfél " + std::to_string(i));
        }
        ASSERT_TRUE(batch.commit());
    }
    auto first_number = [&] { return Json(core->list_rows.front())["number_formatted"].string_value(); };

    core->list_html(0, "INVOICE", year_filter(), "", "");
    EXPECT_EQ(core->list_page, 0);
    EXPECT_EQ(core->list_count, 250);
    EXPECT_EQ(core->list_rows.size(), 100u);
    EXPECT_EQ(first_number(), "SZLA/2026-0250");
    core->list_html(1, "INVOICE", year_filter(), "", "");
    std::string html = core->list_html(1, "INVOICE", year_filter(), "", "");
    EXPECT_EQ(core->list_page, 2);
    ASSERT_EQ(core->list_rows.size(), 50u);
    EXPECT_EQ(first_number(), "SZLA/2026-0050");
    EXPECT_EQ(occurrences(html, "<tr id="), 50u);
    // Past the last page: the head row and no rows; back before the first: the first page.
    core->list_html(5, "INVOICE", year_filter(), "", "");
    EXPECT_TRUE(core->list_rows.empty());
    core->list_html(-9, "INVOICE", year_filter(), "", "");
    EXPECT_EQ(core->list_page, -2);
    EXPECT_EQ(first_number(), "SZLA/2026-0250");
    core->list_html(2, "INVOICE", year_filter(), "", "");
    core->list_html(0, "INVOICE", year_filter(), "", "");
    EXPECT_EQ(core->list_page, 0);
    EXPECT_EQ(first_number(), "SZLA/2026-0250");

    // Unpaged: every row, the page and the count untouched, the totals line computed afresh.
    core->list_html(1, "INVOICE", year_filter(), "", "");
    core->list_summary = "stale";
    core->list_count = 7;
    EXPECT_EQ(core->list_html(-100, "INVOICE", year_filter(), "", ""), "");
    EXPECT_EQ(core->list_rows.size(), 250u);
    EXPECT_EQ(core->list_page, 1);
    EXPECT_EQ(core->list_count, 7);
    EXPECT_EQ(core->list_summary, "2026. 01. 01. \xEF\xBC\x8D 2026. 12. 31. | 19 685 Ft + 5 315 Ft = 25 000 Ft");

    // Clients are never paged; their count is the whole table whatever the search.
    html = core->list_html(0, "clients", {}, "", "");
    EXPECT_EQ(core->list_rows.size(), 250u);
    EXPECT_EQ(occurrences(html, "<tr id="), 250u);
    html = core->list_html(0, "clients", {}, "ügyfél 12", "");
    EXPECT_EQ(core->list_rows.size(), 11u);  // 12, 120-129
    EXPECT_EQ(core->list_count, 250);
}

// The invoice list's count, totals and pages come from a summary kept beside the documents; every
// way of writing them must keep it equal to what the documents themselves give.
TEST_F(Lists, CountTotalsAndPagesFollowEveryWrite) {
    const std::string cash = payments[1]["id"].string_value();
    auto invoice_at = [&](int i) {
        char number[32], date[32];
        std::snprintf(number, sizeof number, "SZLA/2026-%04d", i);
        std::snprintf(date, sizeof date, "2026-%02d-%02d", 1 + i * 12 / 1100, 1 + i % 28);
        const bool eur = i % 7 == 0;
        Json::object doc = invoice(std::string("INVOICE-") + number, number, date, 1000 + (i % 13) * 123.45, i % 3 == 0,
                                   "", 1000.0 * i);
        doc["issue_date"] = date;
        doc["type"] = i % 11 == 0 ? "ARCHIVE_INVOICE" : "INVOICE";
        doc["currency_code"] = eur ? "EUR" : "HUF";
        doc["exchange_rate"] = eur ? 391.27 : 1.0;
        if (i % 5 == 0) doc["payment_id"] = cash;
        doc["search"] = i % 2 ? "kovacs kft." : "szabo bt.";
        return doc;
    };
    {
        store::Transaction batch(*core);
        for (int i = 1; i <= 1000; ++i) ASSERT_TRUE(core->save_record(invoice_at(i), "documents"));
        ASSERT_TRUE(batch.commit());
    }

    std::vector<Json::object> filters(5, year_filter());
    filters[1]["from_date"] = "2026-03-01";
    filters[1]["to_date"] = "2026-03-31";
    filters[2]["paid"] = "0";
    filters[3]["currency_code"] = "EUR";
    filters[4]["payment_id"] = cash;
    const Json::array currencies = core->setting("currencies").array_items();
    auto check = [&](const std::string& when) {
        for (const Json::object& filter : filters) {
            for (const std::string search : {"", "Kovács"}) {
                const std::string where =
                    "(type = 'INVOICE' OR type = 'ARCHIVE_INVOICE') AND issue_date BETWEEN ? AND ? AND currency_code "
                    "LIKE ? AND payment_id LIKE ? AND paid LIKE ? AND search LIKE ?";
                const std::string pattern = search.empty() ? "%%" : "%kovacs%";
                auto values = [&](std::initializer_list<Json> more) {
                    std::vector<Json> all = {filter.at("from_date"), filter.at("to_date"), filter.at("currency_code"),
                                             filter.at("payment_id"), filter.at("paid"), pattern};
                    all.insert(all.end(), more.begin(), more.end());
                    return all;
                };
                // Each document's converted amount to the fillér, summed exactly.
                store::Statement plain(*core, "SELECT COUNT(recordName), " + std::string(kCentsSums) +
                                                  " FROM documents WHERE " + where);
                int index = 1;
                for (const Json& value : values({})) plain.bind(index++, value);
                ASSERT_TRUE(plain.step());
                const int count = static_cast<int>(plain.column_int64(0));
                const std::string sums = " | " + core->formatted_cents(plain.column_int64(1), "", true, currencies) +
                                         " + " + core->formatted_cents(plain.column_int64(2), "", true, currencies) +
                                         " = " + core->formatted_cents(plain.column_int64(3), "", true, currencies);
                for (int page : {0, 1, 4, count / 100}) {
                    core->list_html(0, "INVOICE", filter, search, "");
                    if (page) core->list_html(page, "INVOICE", filter, search, "");
                    const std::string at = when + ", " + filter.at("from_date").string_value() + " " +
                                           filter.at("currency_code").string_value() + " " +
                                           filter.at("paid").string_value() + " '" + search + "' page " +
                                           std::to_string(page);
                    EXPECT_EQ(core->list_count, count) << at;
                    EXPECT_TRUE(core->list_summary.ends_with(sums)) << at << ": " << core->list_summary << sums;
                    std::vector<std::string> shown, stored;
                    for (const auto& row : core->list_rows) shown.push_back(Json(row)["recordName"].string_value());
                    store::Statement rows(*core, "SELECT recordName FROM documents WHERE " + where +
                                                     " ORDER BY created DESC, rowid LIMIT 100 OFFSET ?");
                    index = 1;
                    for (const Json& value : values({page * 100})) rows.bind(index++, value);
                    while (rows.step()) stored.push_back(rows.column_text(0));
                    EXPECT_EQ(shown, stored) << at;
                }
            }
        }
    };
    check("as saved");

    // Saved again with other values (a replace), marked paid, cancelled, deleted, rolled back.
    Json::object moved = invoice_at(500);
    moved["issue_date"] = "2026-03-15";
    moved["currency_code"] = "EUR";
    moved["exchange_rate"] = 389.5;
    moved["total_gross_amount"] = 77.77;
    document(moved);
    ASSERT_TRUE(store::run(*core, "UPDATE documents SET paid = 1, nav_status = 'DONE' WHERE number_formatted = ?",
                           {"SZLA/2026-0301"}));
    ASSERT_TRUE(store::run(*core, "DELETE FROM documents WHERE recordName = ?", {"INVOICE-SZLA/2026-0302"}));
    {
        store::Transaction undone(*core);
        Json::object gone = invoice_at(303);
        gone["total_net_amount"] = 1e9;
        document(gone);
        ASSERT_TRUE(store::run(*core, "DELETE FROM documents WHERE recordName = ?", {"INVOICE-SZLA/2026-0304"}));
        undone.rollback();
    }
    // Written past the program: no currency, no search text, no creation time, no record name.
    ASSERT_TRUE(store::run(*core,
                           "INSERT INTO documents (recordName, type, issue_date, created, search, currency_code, "
                           "payment_id, paid, total_net_amount, total_tax_amount, total_gross_amount, exchange_rate) "
                           "VALUES ('RAW-1', 'INVOICE', '2026-03-02', 5, 'kovacs', NULL, ?1, 0, 10, 2.7, 12.7, 1), "
                           "('RAW-2', 'INVOICE', '2026-03-03', NULL, NULL, 'HUF', ?1, 0, 20, 5.4, 25.4, 1), "
                           "(NULL, 'INVOICE', '2026-03-04', 7, 'kovacs', 'HUF', ?1, 1, 30, 8.1, 38.1, 1)",
                           {Json(payments[0]["id"])}));
    check("after writes");

    // A download: a new invoice, a changed one and a deletion, applied in one transaction.
    auto change = [](const Json::object& doc) {
        return Json::object{{"recordName", doc.at("recordName")},
                            {"recordType", "Documents"},
                            {"recordChangeTag", "t2"},
                            {"fields", Json::object{{"data", Json::object{{"value", Json(doc).dump()}}}}}};
    };
    // The new invoice shares the summary row of the newest one and is newer still.
    Json::object fresh = invoice_at(1000);
    fresh["recordName"] = "INVOICE-NEW";
    fresh["number_formatted"] = "SZLA/2026-1001";
    fresh["created"] = 1001000;
    fresh["client_name"] = "Kovács Kft.";
    fresh["modified"] = 1;
    Json::object changed = invoice_at(10);
    changed["issue_date"] = "2026-02-02";
    changed["paid"] = 0;
    changed["modified"] = 1;
    ASSERT_TRUE(store::run(*core, "UPDATE documents SET synced = 1 WHERE recordName = ?", {changed["recordName"]}));
    const Json page = Json::object{
        {"zones", Json::array{Json::object{
                      {"syncToken", "T"},
                      {"records", Json::array{change(fresh), change(changed),
                                              Json::object{{"recordName", "INVOICE-SZLA/2026-0020"}, {"deleted", true}}}}}}}};
    ASSERT_TRUE(core->apply_zone_changes({page}, false));
    check("after a download");

    // Another instance of the program writes the same file.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open_v2((dir.path() + core->current_account + ".tvr").c_str(), &other, SQLITE_OPEN_READWRITE,
                              nullptr),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other,
                           "DELETE FROM documents WHERE recordName = 'INVOICE-SZLA/2026-0030'; UPDATE documents SET "
                           "total_gross_amount = 1 WHERE recordName = 'INVOICE-SZLA/2026-0031'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);
    check("after another connection's writes");

    core->close_database();
    core->open_database();
    check("after reopening");
}

TEST_F(Lists, SearchIsFoldedAndTakenLiterally) {
    client("C1", "Árvíztűrő Tükörfúrógép Kft.");
    client("C2", "O'Brien és Fia");
    client("C3", "Száz Százalék 100% Kft.");
    client("C4", "Ezer 1000 Bt.");
    auto found = [&](const std::string& search) {
        core->list_html(0, "clients", {}, search, "");
        std::vector<std::string> names;
        for (const auto& row : core->list_rows) names.push_back(Json(row)["recordName"].string_value());
        return names;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(found("arvizturo"), Names{"C1"});
    EXPECT_EQ(found("  ÁRVÍZTŰRŐ   tükörfúrógép "), Names{"C1"});
    EXPECT_EQ(found("o'brien"), Names{"C2"});
    // "%" and "_" are letters of the search, not wildcards.
    EXPECT_EQ(found("100%"), Names{"C3"});
    EXPECT_EQ(found("1_0"), Names{});
    EXPECT_EQ(found("' OR 1=1 --"), Names{});
    EXPECT_EQ(found("").size(), 4u);

    document(invoice("INVOICE-1", "SZLA/2026-0001", "2026-03-20", 100, 0, "", 1000));
    Json::object other = invoice("INVOICE-2", "SZLA/2026-0002", "2026-03-20", 100, 0, "", 2000);
    other["client_name"] = "Árvíztűrő Tükörfúrógép Kft.";
    document(other);
    core->list_html(0, "INVOICE", year_filter(), "arvizturo", "");
    ASSERT_EQ(core->list_rows.size(), 1u);
    EXPECT_EQ(Json(core->list_rows.front())["recordName"].string_value(), "INVOICE-2");
    EXPECT_EQ(core->list_count, 1);
}

TEST_F(Lists, RecordValuesAreShownAsText) {
    const std::string name = "CLIENT'\"1";
    client(name, kHostile, {{"identifier_number", kHostile}, {"note", kHostile}});
    Json::object bill = invoice("INVOICE-1", kHostile, "2026-03-20", 100, 0, "", 1000);
    bill["client_name"] = kHostile;
    bill["clientRecordName"] = name;
    document(bill);
    ASSERT_TRUE(core->save_record({{"recordName", "TASK-1"}, {"type", "TASK"}, {"number_formatted", kHostile},
                                   {"due_date", "2026-03-10"}, {"client_name", kHostile}},
                                  "documents"));
    ASSERT_TRUE(core->save_record({{"recordName", "WEBSHOP_ORDER-1"}, {"type", "WEBSHOP_ORDER"},
                                   {"number_formatted", "#1"}, {"issue_date", "2026-03-03"}, {"client_name", kHostile},
                                   {"client_address", kHostile}},
                                  "documents"));
    ASSERT_TRUE(core->save_record({{"recordName", "M1"}, {"itemRecordName", "I1"}, {"item_name", kHostile},
                                   {"client_name", kHostile}, {"issue_date", "2026-03-02"}, {"reason", "RECEIVE"},
                                   {"note", kHostile}},
                                  "inventory"));

    const std::vector<std::pair<std::string, std::string>> views = {
        {"clients", ""}, {"INVOICE", ""}, {"TASK", ""}, {"WEBSHOP_ORDER", ""}, {"inventory", ""}, {"client", name}};
    for (const auto& [kind, record] : views) {
        Json::object filter = year_filter();
        const std::string html = core->list_html(0, kind, filter, "", record);
        EXPECT_NE(html.find(kHostileShown), std::string::npos) << kind;
        EXPECT_EQ(html.find("<b>O"), std::string::npos) << kind;
        EXPECT_EQ(html.find("O'Brien"), std::string::npos) << kind;
    }
    // The record name as element id and as the script's argument.
    const std::string html = core->list_html(0, "clients", {}, "", "");
    EXPECT_NE(html.find("<tr id='CLIENT&#39;&quot;1' onclick='onListRowSelected(\"CLIENT&#92;&#39;&#92;&quot;1\", "
                        "\"client\")' > <td>" +
                        kHostileShown + "</td>"),
              std::string::npos);
    // The master-data view's buttons carry it the same way.
    ASSERT_TRUE(core->save_record({{"recordName", "ESTIMATE-1"}, {"type", "ESTIMATE"}, {"clientRecordName", name}},
                                  "documents"));
    const std::string view = core->list_html(0, "client", year_filter(), "", name);
    EXPECT_NE(view.find("\"recordName\":\"CLIENT&#92;&#39;&#92;&quot;1\", \"type\":\"client|ESTIMATE\"})'"),
              std::string::npos);

    std::vector<Json> tasks;
    for (const auto& row : core->query("SELECT * FROM documents WHERE type = 'TASK'")) tasks.emplace_back(row);
    const std::string calendar = core->calendar_html(2026, 3, tasks);
    EXPECT_NE(calendar.find(kHostileShown), std::string::npos);
    EXPECT_EQ(calendar.find("<b>O"), std::string::npos);
}

TEST_F(Lists, MasterDataViewShowsTheCardAndTheRecordsDocuments) {
    client("K1", "Kovács Kft.",
           {{"identifier_number", "12345678-1-42"}, {"status", "DOMESTIC"}, {"currency_code", "HUF"},
            {"payment_id", payments[0]["id"]}, {"term_id", core->setting("terms")[2]["id"]}});
    ASSERT_TRUE(core->save_record({{"recordName", "I1"}, {"name", "Csavar"}, {"type", "INVENTORY_TRACKING"},
                                   {"description", "Horganyzott\ncsavar"}, {"sku", "CS-1"}, {"price_type", "NET"},
                                   {"selling_price", 12.5}, {"purchase_price", 8}, {"clearing_price", 9},
                                   {"tax_id", taxes[0]["id"]}, {"unit_id", units[0]["id"]}},
                                  "items"));
    const Json line = Json::object{{"recordName", "I1"}, {"name", "Csavar"}, {"quantity", 2.5}};
    for (int i = 1; i <= 5; ++i) {
        Json::object bill = invoice("INVOICE-" + std::to_string(i), "SZLA/2026-000" + std::to_string(i), "2026-03-20",
                                    1270, 0, "", 1000.0 * i);
        bill["clientRecordName"] = "K1";
        document(bill, {line, line});
    }
    for (int i = 1; i <= 2; ++i)
        document({{"recordName", "ESTIMATE-" + std::to_string(i)}, {"type", "ESTIMATE"}, {"clientRecordName", "K1"},
                  {"issue_date", "2026-03-01"}, {"number_formatted", "AJ-" + std::to_string(i)},
                  {"created", 9000.0 + i}});

    std::string html = core->list_html(0, "client", year_filter(), "", "K1");
    const std::string card =
        "<table cellpadding='24' cellspacing='0' width='100%'><tr><td style='white-space:normal'><h1>Kovács Kft.</h1>"
        "<h2>" + address() +
        "</h2><h2>Magyar adóalany</h2><h3>12345678-1-42&emsp;<span style='font-weight:normal'></span></h3><h3><span "
        "style='font-weight:normal'></span></h3><h3>HUF&emsp;<span style='font-weight:normal'>Átutalás</span>&emsp;30 "
        "nap</h3></td><td align='center'><h1 style='margin-bottom:-14px'>5</h1><h3>Beszerzés</h3><p>&nbsp;</p><h1 "
        "style='margin-bottom:-14px'>6 350 Ft</h1><h3>Bruttó</h3></td></tr></table><div align='center'>";
    EXPECT_EQ(html.substr(0, kFrame.size() + card.size()), kFrame + card);
    EXPECT_NE(html.find(card + "<b>Számla (5)</b>&emsp;<input type='button' "
                               "onclick='window.chrome.webview.postMessage({\"action\":\"onMasterDataDocTypeFilter\", "
                               "\"recordName\":\"K1\", \"type\":\"client|ESTIMATE\"})' value='Árajánlat (2)' "
                               "/>&emsp;</div><br />" +
                        kTable + kDocumentHead),
              std::string::npos);
    // Each invoice once, although it has two lines; no totals inside the view.
    EXPECT_EQ(core->list_rows.size(), 5u);
    EXPECT_EQ(core->list_count, 5);
    EXPECT_EQ(occurrences(html, "<tr id='INVOICE-1'"), 1u);
    EXPECT_EQ(core->list_summary, "");

    html = core->list_html(0, "client|ESTIMATE", year_filter(), "", "K1");
    EXPECT_NE(html.find("<input type='button' onclick='window.chrome.webview.postMessage({\"action\":"
                        "\"onMasterDataDocTypeFilter\", \"recordName\":\"K1\", \"type\":\"client|INVOICE\"})' "
                        "value='Számla (5)' />&emsp;<b>Árajánlat (2)</b>&emsp;</div><br />"),
              std::string::npos);
    EXPECT_EQ(core->list_rows.size(), 2u);

    // The item: sold quantity, tracked stock, the lines counted per type, the stock movements.
    ASSERT_TRUE(core->save_record({{"recordName", "M1"}, {"itemRecordName", "I1"}, {"item_name", "Csavar"},
                                   {"issue_date", "2026-03-01"}, {"reason", "RECEIVE"}, {"quantity", 30},
                                   {"stock", 30}, {"price", 8}, {"created", 1}},
                                  "inventory"));
    ASSERT_TRUE(core->save_record({{"recordName", "M2"}, {"itemRecordName", "I1"}, {"item_name", "Csavar"},
                                   {"issue_date", "2026-03-02"}, {"reason", "INVOICE"}, {"quantity", -5},
                                   {"stock", 25}, {"price", 12}, {"profit_fifo", 20}, {"created", 2}},
                                  "inventory"));
    html = core->list_html(0, "item", {}, "", "I1");
    EXPECT_NE(html.find("<table cellpadding='24' cellspacing='0' width='100%'><tr><td style='white-space:normal'>"
                        "<h1>Csavar</h1><h2>Készletkövetés"
                        "</h2><h3>Horganyzott<br>csavar</h3><h3><h3>CS-1&emsp;<span style='font-weight:normal'></span>"
                        "</h3></h3><h3>27%&emsp;<span style='font-weight:normal'>darab</span></h3><h3><h3>Eladási ár: "
                        "12,5&emsp;<span style='font-weight:normal'>Nettó</span></h3></h3><h3>Beszerzési ár (utolsó 8): "
                        "8&emsp;<span style='font-weight:normal'>Elszámoló ár: 9</span>&emsp;<span>Mennyiség (25)</span>"
                        "</h3><h4></h4></td><td align='center'><h1 style='margin-bottom:-14px'>25</h1><h3>Eladott</h3>"
                        "</td></tr></table><div align='center'><b>Számla (10)</b>&emsp;<input type='button' "
                        "onclick='window.chrome.webview.postMessage({\"action\":\"onMasterDataDocTypeFilter\", "
                        "\"recordName\":\"I1\", \"type\":\"item|inventory\"})' value='Raktár (2)' /></div><br />"),
              std::string::npos);
    EXPECT_EQ(core->list_rows.size(), 5u);
    html = core->list_html(0, "item|inventory", {}, "", "I1");
    EXPECT_NE(html.find("value='Számla (10)' />&emsp;<b>Raktár (2)</b>&emsp;</div><br />"), std::string::npos);
    EXPECT_EQ(core->list_rows.size(), 2u);
    EXPECT_EQ(core->list_summary, "FIFO haszon: 20 Ft");

    // Stock movements but no documents: only the stock button, and no list until it is chosen.
    ASSERT_TRUE(core->save_record({{"recordName", "I2"}, {"name", "Anyag"}, {"type", "PRODUCT"}}, "items"));
    ASSERT_TRUE(core->save_record({{"recordName", "M3"}, {"itemRecordName", "I2"}, {"issue_date", "2026-03-01"},
                                   {"reason", "ADD"}, {"quantity", 1}},
                                  "inventory"));
    html = core->list_html(0, "item", {}, "", "I2");
    EXPECT_TRUE(html.ends_with("<div align='center'><input type='button' "
                               "onclick='window.chrome.webview.postMessage({\"action\":\"onMasterDataDocTypeFilter\", "
                               "\"recordName\":\"I2\", \"type\":\"item|inventory\"})' value='Raktár (1)' /></div><br />" +
                               kTable + "</td></tr></thead><tbody></tbody></table>"));

    // A client without documents: no entries and an empty list; the note line only with a note.
    client("K2", "Üres Bt.", {{"note", "Csak készpénz"}});
    html = core->list_html(0, "client", {}, "", "K2");
    EXPECT_NE(html.find("<h4>Csak készpénz</h4></td><td align='center'><h1 style='margin-bottom:-14px'>0</h1>"),
              std::string::npos);
    EXPECT_TRUE(html.ends_with("<h3>Bruttó</h3></td></tr></table><div align='center'></div><br />" + kTable +
                               "</td></tr></thead><tbody></tbody></table>"));
    EXPECT_TRUE(core->list_rows.empty());

    // A record that is not there: an empty card and no list.
    html = core->list_html(0, "client|INVOICE", {}, "", "NO-SUCH-CLIENT");
    EXPECT_EQ(html, kFrame +
                        "<table cellpadding='24' cellspacing='0' width='100%'><tr><td style='white-space:normal'></td>"
                        "</tr></table>" +
                        kTable +
                        "</td></tr></thead><tbody></tbody></table>");
    EXPECT_TRUE(core->list_rows.empty());
    html = core->list_html(0, "item", {}, "", "NO-SUCH-ITEM");
    EXPECT_TRUE(html.ends_with("</td></tr></table>" + kTable + "</td></tr></thead><tbody></tbody></table>"));
}

// The month grid: day labels and class lists of the 42 cells, in order.
struct Grid {
    std::vector<std::string> labels;
    std::vector<std::string> classes;
};

Grid grid_of(const std::string& html) {
    Grid grid;
    static const std::regex cell("<td class='([^']*)'><span class='date'><span class='number'>(.*?)</span><div");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), cell); it != std::sregex_iterator(); ++it) {
        grid.classes.push_back((*it)[1]);
        grid.labels.push_back((*it)[2]);
    }
    return grid;
}

std::vector<std::string> days(int from, int to, const std::string& month_name = "") {
    std::vector<std::string> out;
    for (int day = from; day <= to; ++day) out.push_back(day == 1 ? "<b>" + month_name + " 1</b>" : std::to_string(day));
    return out;
}

std::vector<std::string> joined(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST_F(Lists, CalendarGridsFollowTheWeekStart) {
    // February of a leap year, week from Monday: 29 January to 10 March.
    std::string html = core->calendar_html(2024, 2, {});
    Grid grid = grid_of(html);
    EXPECT_EQ(grid.labels, joined({days(29, 31), days(1, 29, "Feb"), days(1, 10, "Mar")}));
    EXPECT_EQ(grid.classes[2], " out-date");
    EXPECT_EQ(grid.classes[3], "");
    EXPECT_EQ(occurrences(html, "</tr><tr class='week'>"), 5u);
    EXPECT_NE(html.find("<h3 align='center'>2024 Feb</h3></td></tr><tr class='days'><td class='weekday'>Mon</td><td "
                        "class='weekday'>Tue</td>"),
              std::string::npos);
    EXPECT_TRUE(html.starts_with("<html><head><meta name='color-scheme' content='dark light'><meta "
                                 "name='supported-color-schemes' content='dark light'><meta name='viewport' "
                                 "content='width=device-width, initial-scale=1.0'><style>body{height:100%; margin:0; "
                                 "-webkit-user-select:none;}"));
    EXPECT_NE(html.find("</style></head><body oncontextmenu='return false;'><table class='calendar'><thead><tr><td "
                        "colspan='7'>"),
              std::string::npos);
    EXPECT_NE(html.find("</tr></thead><tbody><td class=' out-date'>"), std::string::npos);
    EXPECT_TRUE(html.ends_with("</div></span></td></tr></tbody></table></body></html>"));
    EXPECT_EQ(grid_of(core->calendar_html(1900, 2, {})).labels,
              joined({days(29, 31), days(1, 28, "Feb"), days(1, 11, "Mar")}));  // 1900: no leap year

    // March 2026 begins on a Sunday; today is 10 March.
    const std::vector<Json> tasks = {
        Json::object{{"recordName", "TASK-1"}, {"due_date", "2026-03-10"}, {"task_progress", 40}, {"number_formatted", "T1"}},
        Json::object{{"recordName", "TASK-2"}, {"due_date", "2026-03-10"}, {"task_progress", 100}, {"number_formatted", "T2"}},
        Json::object{{"recordName", "TASK-3"}, {"due_date", "2026-03-11"}, {"task_repeat", "{}"}, {"task_progress", 100}, {"number_formatted", "T3"}},
        Json::object{{"recordName", "TASK-4"}, {"due_date", "2026-03-11"}, {"number_formatted", "T4"}},
        Json::object{{"recordName", "TASK-5"}, {"due_date", "2026-03-09"}, {"task_repeat", "{}"}, {"number_formatted", "T5"}},
        Json::object{{"recordName", "INVOICE-1"}, {"due_date", "2026-03-12"}, {"number_formatted", "SZLA"}},
        Json::object{{"recordName", "TASK-6"}, {"number_formatted", "no date"}},
    };
    html = core->calendar_html(2026, 3, tasks);
    grid = grid_of(html);
    EXPECT_EQ(grid.labels, joined({days(23, 28), days(1, 31, "Mar"), days(1, 5, "Apr")}));
    EXPECT_EQ(grid.labels[6], "<b>Mar 1</b>");
    EXPECT_EQ(grid.classes[15], " today event event");
    EXPECT_EQ(grid.classes[16], " event event");
    EXPECT_EQ(grid.classes[17], "");
    EXPECT_NE(html.find("<span class='number'>10</span><div style='text-align:left;font-size:10px;padding-left:6px;"
                        "padding-right:6px;'><div class='title' onclick='window.chrome.webview.postMessage({\"action\":"
                        "\"onListRowSelected\", \"recordName\":\"TASK-1\"})'><span style='color:#ff3b30;'>&#x2B24;"
                        "</span> T1</div><div class='title' onclick='window.chrome.webview.postMessage({\"action\":"
                        "\"onListRowSelected\", \"recordName\":\"TASK-2\"})'><span style='color:#34c759;'>&#x2B24;"
                        "</span> T2</div></div></span></td>"),
              std::string::npos);
    EXPECT_NE(html.find("#34c759;'>&#x2B24;</span> T3</div>"), std::string::npos);
    EXPECT_NE(html.find("#ffcc00;'>&#x2B24;</span> T4</div>"), std::string::npos);
    EXPECT_NE(html.find("#ff3b30;'>&#x2B24;</span> T5</div>"), std::string::npos);
    EXPECT_EQ(html.find("SZLA"), std::string::npos);
    EXPECT_EQ(html.find("no date"), std::string::npos);

    // The same month with the week from Sunday: a whole first row of February.
    core->weekday_names = {{{0, "Sun"}}, {{1, "Mon"}}, {{2, "Tue"}}, {{3, "Wed"}}, {{4, "Thu"}}, {{5, "Fri"}}, {{6, "Sat"}}};
    html = core->calendar_html(2026, 3, tasks);
    grid = grid_of(html);
    EXPECT_EQ(grid.labels, joined({days(22, 28), days(1, 31, "Mar"), days(1, 4, "Apr")}));
    EXPECT_EQ(grid.labels[7], "<b>Mar 1</b>");
    EXPECT_EQ(grid.classes[16], " today event event");
    EXPECT_NE(html.find("<tr class='days'><td class='weekday'>Sun</td><td class='weekday'>Mon</td>"), std::string::npos);
    EXPECT_EQ(grid_of(core->calendar_html(2021, 2, {})).labels,
              joined({days(31, 31), days(1, 28, "Feb"), days(1, 13, "Mar")}));

    // Across the year's ends; today in a greyed day of the next month.
    set_clock([] { return local_seconds(2027, 1, 2); });
    grid = grid_of(core->calendar_html(2026, 12, {}));
    EXPECT_EQ(grid.labels, joined({days(29, 30), days(1, 31, "Dec"), days(1, 9, "Jan")}));
    EXPECT_EQ(grid.classes[34], " out-date today");
    grid = grid_of(core->calendar_html(2027, 1, {}));
    EXPECT_EQ(grid.labels, joined({days(27, 31), days(1, 31, "Jan"), days(1, 6, "Feb")}));

    // Values that would end the host's template literal are escaped; months outside the year are clamped.
    const std::vector<Json> odd = {
        Json::object{{"recordName", "TASK-`${x}\\"}, {"due_date", "2027-01-05"}, {"number_formatted", "a`b${c}\\d"}}};
    html = core->calendar_html(2027, 1, odd);
    EXPECT_EQ(html.find('`'), std::string::npos);
    EXPECT_EQ(html.find("${"), std::string::npos);
    EXPECT_EQ(html.find('\\'), std::string::npos);
    EXPECT_NE(html.find("a&#96;b&#36;{c}&#92;d"), std::string::npos);
    EXPECT_EQ(grid_of(core->calendar_html(2027, 13, {})).labels.size(), 42u);
    EXPECT_EQ(grid_of(core->calendar_html(2027, 0, {})).labels.size(), 42u);
}

TEST(Escaping, HtmlAndScriptLiterals) {
    EXPECT_EQ(html_escaped("Árvíztűrő tükörfúrógép 123 ABC"), "Árvíztűrő tükörfúrógép 123 ABC");
    EXPECT_EQ(html_escaped("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
    EXPECT_EQ(html_escaped("a`b${c}\\d$e"), "a&#96;b&#36;{c}&#92;d$e");
    EXPECT_EQ(script_escaped("SZLA/2026-0001 Árvíz"), "SZLA/2026-0001 Árvíz");
    EXPECT_EQ(script_escaped("A\"B'C\\D"), "A&#92;&quot;B&#92;&#39;C&#92;&#92;D");
    EXPECT_EQ(script_escaped("x`${y}\n</script>"), "x&#92;&#96;&#92;&#36;{y}&#92;n&lt;/script&gt;");
}

}  // namespace
