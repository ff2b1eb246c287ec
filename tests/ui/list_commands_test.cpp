// The main window's list commands on the DEMO account: the quick filters, the filter dialog, the overdue
// invoices, the reports printed to PDF and the invoice export file; then the commands on the selected
// record (paid, edit, copy, derive, re-save, delete, the web-shop order, the stock return and the
// valuation method); and a deletion and a payment reaching a second installation through the cloud.
#include "tests/fakes/cloud_store.h"
#include "tests/fakes/maker_fake.h"
#include "tests/test_support.h"
#include "tests/ui/dialog_driver.h"
#include "tests/ui/demo_program.h"
#include "tests/ui/ui_test_support.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "app/editor/ClientDlg.h"
#include "app/editor/DocumentPage.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/Pickers.h"

#include <QImage>

#include <libxml/xmlschemas.h>

#include <cstdio>
#include <filesystem>
#include <set>

using json11::Json;
using uitest::Dialogs;
using uitest::script;
using uitest::wait_for_script;
using uitest::wait_until;
using Result = ui::ContentDialogResult;

namespace {

const std::string kSchemaDir = std::string(TAVRIN_SOURCE_DIR) + "/resources/nav/";
const QString kRowCount = "document.querySelectorAll('#list tbody tr').length";

using uitest::unreachable_url;

int count(const std::string& sql, std::initializer_list<Json> values = {}) {
    const auto rows = store::rows(*g_core, sql, values);
    return rows.empty() ? -1 : rows.front().begin()->second.int_value();
}

Json row(const std::string& sql, std::initializer_list<Json> values = {}) {
    const auto rows = store::rows(*g_core, sql, values);
    return rows.empty() ? Json() : Json(rows.front());
}

// A text without blanks of any kind (the PDF and the formatter may use different spaces).
std::string squeezed(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ' ' || c == '\n' || c == '\t' || c == '\f') continue;
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xA0) {
            ++i;
            continue;
        }
        if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
            (static_cast<unsigned char>(text[i + 2]) == 0xAF || static_cast<unsigned char>(text[i + 2]) == 0x89)) {
            i += 2;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::size_t colours(const QImage& picture) {
    std::set<QRgb> seen;
    for (int y = 0; y < picture.height(); y += 2)
        for (int x = 0; x < picture.width(); x += 2) seen.insert(picture.pixel(x, y));
    return seen.size();
}

// True when the file is valid against the 2013 export schema shipped with the program.
bool valid_export(const std::string& path) {
    const std::string schema_file = kSchemaDir + "23_2014_szamlasema.xsd";
    xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt(schema_file.c_str());
    xmlSchemaPtr schema = parser ? xmlSchemaParse(parser) : nullptr;
    xmlSchemaValidCtxtPtr context = schema ? xmlSchemaNewValidCtxt(schema) : nullptr;
    const bool valid = context && xmlSchemaValidateFile(context, path.c_str(), 0) == 0;
    if (context) xmlSchemaFreeValidCtxt(context);
    if (schema) xmlSchemaFree(schema);
    if (parser) xmlSchemaFreeParserCtxt(parser);
    return valid;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The DEMO account started as the program starts, offline, in its own data folder.
class DemoWindow : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(data);
        {
            Tavrin::App app;
            app.OnLaunched();
        }
        w = qobject_cast<Tavrin::MainWindow*>(g_main_window.data());
        ASSERT_NE(w, nullptr);
        ASSERT_TRUE(wait_until([&] {
            return w->navigationView->isVisible() && w->navigationView->SelectedItem() && w->listWebView->IsLoaded();
        }));
        ASSERT_EQ(ui::Name(w->navigationView->SelectedItem()), "INVOICE");
    }
    void TearDown() override {
        ui::FilePicker::SetResponder(nullptr);
        if (w) {
            if (w->document_window)
                if (auto* page = qobject_cast<Tavrin::DocumentPage*>(w->document_window->Content())) page->lines.clear();
            w->Close();
            delete w;
        }
        ui::ThreadPool::WaitForIdle();
        EXPECT_EQ(g_core, nullptr);
    }

    // The list view shows as many rows as the core counted for the list (at most a page).
    bool list_shows_count() {
        const std::string expected = std::to_string(std::min(g_core->list_count, 100));
        return wait_for_script(w->listWebView, kRowCount, expected) == expected;
    }

    void select_section(int index) {
        w->navigationView->SelectedItem(w->listItems[static_cast<std::size_t>(index)]);
        ASSERT_TRUE(wait_until([&] { return w->listWebView->IsLoaded(); }));
    }

    // Opens the record's tab as a click on its row does (or selects it when it is open).
    void open_tab(const std::string& record_name, const std::string& type) {
        w->OnListMessage(w->listWebView, ui::WebMessageReceivedEventArgs(QString::fromStdString(
                                             Json(Json::object{{"action", "onListRowSelected"},
                                                               {"recordName", record_name},
                                                               {"type", type}})
                                                 .dump())));
        ASSERT_TRUE(wait_until([&] { return ui::TagText(w->tabView->SelectedItem()->Tag()) == record_name; }));
        // A document's tab shows its printed PDF; the print is left to end before the test goes on.
        auto* view = qobject_cast<ui::WebView2*>(w->tabView->SelectedItem()->Content());
        ASSERT_NE(view, nullptr);
        ASSERT_TRUE(wait_until([&] { return ui::GetVisibility(view) == ui::Visibility::Visible; }));
    }

    Tavrin::DocumentPage* document_page() {
        if (!wait_until([&] {
                auto* page = w->document_window ? qobject_cast<Tavrin::DocumentPage*>(w->document_window->Content()) : nullptr;
                return page && page->loaded;
            }))
            return nullptr;
        return qobject_cast<Tavrin::DocumentPage*>(w->document_window->Content());
    }

    void close_document_window() {
        if (auto* page = document_page()) page->lines.clear();
        QPointer<ui::Window> window = w->document_window;
        if (window) window->Close();
        ASSERT_TRUE(wait_until([&] { return !w->document_window; }));
    }

    TempDir dir;
    const std::string data = dir.path() + "data/";
    MakerFake maker;
    ScopedEnv env{{{"TAVRIN_CLOUD_URL", unreachable_url()},
                   {"TAVRIN_DATA_DIR", data},
                   {"TAVRIN_SCHEMA_DIR", kSchemaDir}}};
    ScopedEnv maker_env{maker.env()};
    Dialogs dialogs;
    Tavrin::MainWindow* w = nullptr;
};

}  // namespace

TEST_F(DemoWindow, FiltersReportsAndTheExportFile) {
    const std::string today = iso_date(0);
    const QDate now = QDate::fromString(QString::fromStdString(today), "yyyy-MM-dd");
    auto invoices_issued = [](const std::string& from, const std::string& to) {
        return count("SELECT COUNT(*) FROM documents WHERE type = 'INVOICE' AND issue_date BETWEEN ? AND ?", {from, to});
    };

    // The quick filters: this month, this year, the past year, each from its first day to today.
    const std::pair<ui::MenuFlyoutItem*, QDate> presets[] = {{w->actionMonthFilter, QDate(now.year(), now.month(), 1)},
                                                             {w->actionYearFilter, QDate(now.year(), 1, 1)},
                                                             {w->actionPastYearFilter, now.addYears(-1)}};
    for (const auto& [item, first] : presets) {
        item->trigger();
        const std::string from = first.toString("yyyy-MM-dd").toStdString();
        EXPECT_EQ(Json(w->list_filter)["from_date"].string_value(), from);
        EXPECT_EQ(Json(w->list_filter)["to_date"].string_value(), today);
        EXPECT_EQ(g_core->list_count, invoices_issued(from, today)) << from;
        EXPECT_TRUE(list_shows_count()) << from;
    }
    ASSERT_GT(g_core->list_count, 0);

    // The filter dialog: the month of the newest invoice, its unpaid invoices only.
    const std::string newest = row("SELECT MAX(issue_date) AS d FROM documents WHERE type = 'INVOICE'")["d"].string_value();
    const QDate month = QDate::fromString(QString::fromStdString(newest), "yyyy-MM-dd");
    const QDate month_first(month.year(), month.month(), 1);
    const QDate month_last = month_first.addMonths(1).addDays(-1);
    const std::string from = month_first.toString("yyyy-MM-dd").toStdString();
    const std::string to = month_last.toString("yyyy-MM-dd").toStdString();
    std::size_t dialog_colours = 0;
    dialogs.answers.push_back([&](ui::ContentDialog& dialog) -> std::optional<Result> {
        EXPECT_EQ(dialog.Title().toStdString(), g_core->translated("filter", ""));
        auto* start = uitest::control<ui::CalendarDatePicker>(dialog, g_core->translated("from_date", ""));
        auto* end = uitest::control<ui::CalendarDatePicker>(dialog, g_core->translated("to_date", ""));
        if (!start || !end) return Result::None;
        EXPECT_EQ(start->Date(), now.addYears(-1));
        start->Date(month_first);
        end->Date(month_last);
        for (auto* box : dialog.findChildren<ui::ComboBox*>())
            if (box->ItemText(0).toStdString() == g_core->translated("paid_and_unpaid", "")) box->SelectedIndex(2);
        const QImage picture = dialog.grab().toImage();
        dialog_colours = colours(picture);
        EXPECT_TRUE(picture.save(QString(TAVRIN_UI_TEST_OUTPUT) + "/filter_dialog.png"));
        return Result::Primary;
    });
    w->actionCustomFilter->trigger();
    ASSERT_TRUE(wait_until([&] { return Json(w->list_filter)["from_date"].string_value() == from; }));
    EXPECT_GT(dialog_colours, 8u);
    const Json filter(w->list_filter);
    EXPECT_EQ(filter["to_date"].string_value(), to);
    EXPECT_EQ(filter["paid"].string_value(), "0");
    EXPECT_EQ(filter["from_to_type"].int_value(), 0);
    EXPECT_TRUE(filter["from_number"].is_number());
    const int unpaid_in_month = count(
        "SELECT COUNT(*) FROM documents WHERE type = 'INVOICE' AND paid = 0 AND issue_date BETWEEN ? AND ?", {from, to});
    ASSERT_GT(unpaid_in_month, 0);
    EXPECT_EQ(g_core->list_count, unpaid_in_month);
    EXPECT_TRUE(list_shows_count());

    // The period report of that list: its PDF holds the totals of those invoices in the home currency,
    // and a client name with markup in it as plain text.
    store::run(*g_core,
               "UPDATE documents SET client_name = '<i>K&B</i>' WHERE recordName = (SELECT recordName FROM documents "
               "WHERE type = 'INVOICE' AND paid = 0 AND issue_date BETWEEN ? AND ? LIMIT 1)",
               {from, to});
    const int tabs = w->tabView->Size();
    w->actionReport->trigger();
    ASSERT_EQ(w->tabView->Size(), tabs + 1);
    ui::TabViewItem* report_tab = w->tabView->SelectedItem();
    EXPECT_EQ(ui::TagText(report_tab->Tag()), "report");
    auto* report_view = qobject_cast<ui::WebView2*>(report_tab->Content());
    ASSERT_NE(report_view, nullptr);
    // The report is printed, then loaded in the engine's PDF viewer; a loaded machine takes its time.
    const QUrl report_url = QUrl::fromLocalFile(QString::fromStdString(data + "tavrin-report.pdf"));
    bool report_loaded = false;
    report_view->NavigationCompleted.Add([&](ui::WebView2* view, ui::NavigationCompletedEventArgs args) {
        report_loaded = report_loaded || (args.IsSuccess() && view->url() == report_url);
    });
    ASSERT_TRUE(wait_until([&] { return report_loaded; }, uitest::kEngineLimitMs));
    ASSERT_TRUE(wait_until([&] { return ui::GetVisibility(report_view) == ui::Visibility::Visible; }));
    const Json totals = row(
        "SELECT SUM(total_net_amount * exchange_rate) AS net, SUM(total_gross_amount * exchange_rate) AS gross "
        "FROM documents WHERE type = 'INVOICE' AND paid = 0 AND issue_date BETWEEN ? AND ?",
        {from, to});
    const Json::array currencies = g_core->setting("currencies").array_items();
    const std::string report = squeezed(pdf_text(data + "tavrin-report.pdf"));
    EXPECT_NE(report.find(squeezed(g_core->formatted_curr(totals["gross"].number_value(), "", true, currencies))),
              std::string::npos)
        << report;
    EXPECT_NE(report.find(squeezed(g_core->formatted_curr(totals["net"].number_value(), "", true, currencies))),
              std::string::npos);
    for (const auto& invoice : store::rows(*g_core,
                                           "SELECT number_formatted FROM documents WHERE type = 'INVOICE' AND paid = 0 "
                                           "AND issue_date BETWEEN ? AND ?",
                                           {from, to}))
        EXPECT_NE(report.find(squeezed(Json(invoice)["number_formatted"].string_value())), std::string::npos);
    EXPECT_NE(report.find("<i>K&B</i>"), std::string::npos);
    // The engine's PDF viewer, its document loaded, draws the report's white page, with its text, in
    // its tab. Each look takes a picture of the whole view on the UI thread: it is looked at every
    // 100 ms, not without pause, on a machine that may be short of time.
    auto page_drawn = [&] {
        const QImage picture = report_view->grab().toImage();
        int white = 0, samples = 0;
        for (int y = picture.height() / 4; y < picture.height() * 3 / 4; y += 4)
            for (int x = picture.width() / 2; x < picture.width(); x += 4, ++samples)
                if (picture.pixel(x, y) == qRgb(255, 255, 255)) ++white;
        return samples > 0 && white * 4 > samples && colours(picture) > 40;
    };
    EXPECT_TRUE(wait_until(page_drawn, uitest::kEngineLimitMs, 100));
    EXPECT_EQ(report_view->title().toStdString(), "tavrin-report.pdf");
    EXPECT_TRUE(w->grab().toImage().save(QString(TAVRIN_UI_TEST_OUTPUT) + "/report_tab.png"));

    // The widest amounts a document may hold are printed whole, not cut at the page's edge.
    const Json widest = row("SELECT recordName, currency_code FROM documents WHERE type = 'INVOICE' AND paid = 0 AND "
                            "issue_date BETWEEN ? AND ? LIMIT 1",
                            {from, to});
    const double amounts[] = {-7874015748031.49, -2125984251968.5, -9999999999999.99};
    ASSERT_TRUE(store::run(*g_core,
                           "UPDATE documents SET total_net_amount = ?, total_tax_amount = ?, total_gross_amount = ? "
                           "WHERE recordName = ?",
                           {amounts[0], amounts[1], amounts[2], widest["recordName"]}));
    w->actionReport->trigger();
    auto* wide_view = qobject_cast<ui::WebView2*>(w->tabView->SelectedItem()->Content());
    ASSERT_NE(wide_view, nullptr);
    ASSERT_TRUE(wait_until([&] { return ui::GetVisibility(wide_view) == ui::Visibility::Visible; }));
    const std::string wide = squeezed(pdf_text(data + "tavrin-report.pdf"));
    for (const double amount : amounts)
        EXPECT_NE(wide.find(squeezed(g_core->formatted_curr(amount, widest["currency_code"].string_value(), true,
                                                            currencies))),
                  std::string::npos)
            << wide;
    w->tabView->SelectedIndex(0);

    // The export file of that month: chosen in the save picker, valid against the 2013 schema, with
    // every invoice of the month (paid or not); success is told only then.
    const std::string path = dir.path() + "export.xml";
    QString picked = QString::fromStdString(path);
    int pickers = 0;
    ui::FilePicker::SetResponder([&](const ui::FilePicker& picker) {
        ++pickers;
        EXPECT_TRUE(picker.IsSave());
        EXPECT_EQ(picker.SuggestedFileName(), "NAV-Export.xml");
        return picked;
    });
    std::string told;
    auto tell = [&](ui::ContentDialog& dialog) -> std::optional<Result> {
        EXPECT_EQ(dialog.Title(), QString::fromUtf8("Adóhatósági adatszolgáltatás"));
        told = dialog.ContentText().toStdString();
        return Result::Primary;
    };
    dialogs.answers.push_back(tell);
    w->actionNavExport->trigger();
    ASSERT_TRUE(wait_until([&] { return !told.empty(); }));
    // Writing the file syncs nothing: the message says saved, and no more.
    EXPECT_EQ(told, "Sikeres mentés!");
    EXPECT_TRUE(valid_export(path));
    const std::string xml = read_file(path);
    EXPECT_EQ(static_cast<int>(occurrences(xml, "<szamla>")), invoices_issued(from, to));
    for (const auto& invoice : store::rows(
             *g_core, "SELECT number_formatted FROM documents WHERE type = 'INVOICE' AND issue_date BETWEEN ? AND ?",
             {from, to}))
        EXPECT_NE(xml.find("<szlasorszam>" + Json(invoice)["number_formatted"].string_value() + "</szlasorszam>"),
                  std::string::npos);

    // An invoice of the month with amounts of more than the 10 digits the 2013 schema carries: it is
    // left out of a file still valid, named, and the export is not told as a success.
    const Json large = row("SELECT recordName, number_formatted FROM documents WHERE type = 'INVOICE' AND issue_date "
                           "BETWEEN ? AND ? ORDER BY created LIMIT 1",
                           {from, to});
    // Well past the 10 digits whatever the line's quantity (a price of 2e10 times 3 still fits).
    const auto prices = store::rows(*g_core, "SELECT id, price FROM document_lines WHERE documentRecordName = ?",
                                    {large["recordName"]});
    ASSERT_TRUE(store::run(*g_core, "UPDATE document_lines SET price = 2e12 WHERE documentRecordName = ?",
                           {large["recordName"]}));
    told.clear();
    dialogs.answers.push_back(tell);
    w->actionNavExport->trigger();
    ASSERT_TRUE(wait_until([&] { return !told.empty(); }));
    EXPECT_EQ(told.find("Sikeres mentés!"), std::string::npos) << told;
    const std::string large_number = large["number_formatted"].string_value();
    EXPECT_NE(told.find("\u2022 " + large_number + ": egy összege vagy mennyisége több mint 10 számjegyű"),
              std::string::npos)
        << told;
    // The month of the sample's newest invoice may hold that invoice alone: then no file is written.
    if (invoices_issued(from, to) > 1) {
        EXPECT_NE(told.find("előtt.\n\nEzeket a számlákat külön kell átadni."), std::string::npos) << told;
        EXPECT_TRUE(valid_export(path));
        const std::string without = read_file(path);
        EXPECT_EQ(static_cast<int>(occurrences(without, "<szamla>")), invoices_issued(from, to) - 1);
        EXPECT_EQ(without.find("<szlasorszam>" + large_number + "</szlasorszam>"), std::string::npos);
    } else {
        EXPECT_NE(told.find("Fájl nem készült"), std::string::npos) << told;
    }
    for (const auto& line : prices)
        ASSERT_TRUE(store::run(*g_core, "UPDATE document_lines SET price = ? WHERE id = ?",
                               {Json(line)["price"], Json(line)["id"]}));

    // A folder that does not exist: the failure is told, not success.
    told.clear();
    picked = QString::fromStdString(dir.path() + "no-such-folder/export.xml");
    dialogs.answers.push_back(tell);
    w->actionNavExport->trigger();
    ASSERT_TRUE(wait_until([&] { return !told.empty(); }));
    EXPECT_EQ(told, Tavrin::MainWindow::ExportMessage(-1));
    EXPECT_NE(told, "Sikeres mentés!");
    // A range without invoices: no file, and the user is told so.
    told.clear();
    const std::string none_path = dir.path() + "none.xml";
    picked = QString::fromStdString(none_path);
    const Json::object kept = w->list_filter;
    w->list_filter["from_date"] = "1990-01-01";
    w->list_filter["to_date"] = "1990-01-31";
    dialogs.answers.push_back(tell);
    w->actionNavExport->trigger();
    ASSERT_TRUE(wait_until([&] { return !told.empty(); }));
    EXPECT_EQ(told, Tavrin::MainWindow::ExportMessage(0));
    EXPECT_FALSE(std::filesystem::exists(none_path));
    w->list_filter = kept;
    // Cancelled in the picker: nothing written, nothing said.
    picked.clear();
    const int shown = dialogs.shown;
    w->actionNavExport->trigger();
    ASSERT_TRUE(wait_until([&] { return pickers == 5; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(dialogs.shown, shown);

    // The overdue invoices: unpaid and past due, and the list stays that when it is built again.
    w->actionOverdueFilter->trigger();
    const int overdue = count("SELECT COUNT(*) FROM documents WHERE type = 'INVOICE' AND paid = 0 AND due_date < ?", {today});
    ASSERT_GT(overdue, 0);
    EXPECT_EQ(g_core->list_count, overdue);
    w->RefreshList(std::string());
    EXPECT_EQ(g_core->list_count, overdue);
    ASSERT_TRUE(list_shows_count());
    const std::string ids =
        script(w->listWebView, "JSON.stringify([...document.querySelectorAll('#list tbody tr')].map(r => r.id))");
    std::string error;
    const Json shown_ids = Json::parse(Json::parse(ids, error).string_value(), error);
    ASSERT_EQ(static_cast<int>(shown_ids.array_items().size()), overdue);
    for (const Json& id : shown_ids.array_items()) {
        const Json invoice = row("SELECT paid, due_date FROM documents WHERE recordName = ?", {id});
        EXPECT_EQ(invoice["paid"].int_value(), 0);
        EXPECT_LT(invoice["due_date"].string_value(), today);
    }
    // A quick filter ends it.
    w->actionYearFilter->trigger();
    EXPECT_EQ(Json(w->list_filter)["paid"].string_value(), "%%");

    // The stock report: one line per item with its stock.
    select_section(11);
    ASSERT_EQ(ui::Name(w->navigationView->SelectedItem()), "inventory");
    w->actionInventoryReport->trigger();
    auto* stock_view = qobject_cast<ui::WebView2*>(w->tabView->SelectedItem()->Content());
    ASSERT_NE(stock_view, nullptr);
    EXPECT_EQ(w->tabView->SelectedItem()->Header().toStdString(), g_core->translated("report_inventory", ""));
    ASSERT_TRUE(wait_until([&] { return ui::GetVisibility(stock_view) == ui::Visibility::Visible; }));
    const std::string stock = squeezed(pdf_text(data + "tavrin-report.pdf"));
    const auto items = store::rows(*g_core, "SELECT item_name, SUM(quantity) AS q FROM inventory GROUP BY itemRecordName");
    ASSERT_FALSE(items.empty());
    for (const auto& item : items) {
        const Json r(item);
        EXPECT_NE(stock.find(squeezed(r["item_name"].string_value()) + squeezed(g_core->formatted_num(r["q"].number_value(), 4))),
                  std::string::npos)
            << r["item_name"].string_value();
    }

    // Every report is printed to the same file, yet each tab keeps its own: the first report tab saves
    // the period report, under the report's name.
    w->tabView->SelectedItem(report_tab);
    ASSERT_TRUE(w->actionSavePdf->IsEnabled());
    const std::string saved = dir.path() + "report.pdf";
    QString chosen = QString::fromStdString(saved);
    QString suggested;
    ui::FilePicker::SetResponder([&](const ui::FilePicker& picker) {
        suggested = picker.SuggestedFileName();
        return chosen;
    });
    w->actionSavePdf->trigger();
    ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(saved); }));
    EXPECT_EQ(squeezed(pdf_text(saved)), report);
    EXPECT_EQ(suggested.toStdString(), g_core->translated("report", "") + ".pdf");
    // A place that cannot be written: the user is told, with the place.
    chosen = QString::fromStdString(dir.path() + "no-such-folder/report.pdf");
    told.clear();
    dialogs.answers.push_back([&](ui::ContentDialog& dialog) -> std::optional<Result> {
        told = dialog.ContentText().toStdString();
        return Result::Primary;
    });
    w->actionSavePdf->trigger();
    ASSERT_TRUE(wait_until([&] { return !told.empty(); }));
    EXPECT_NE(told.find(chosen.toStdString()), std::string::npos) << told;
    ui::FilePicker::SetResponder(nullptr);
}

TEST_F(DemoWindow, CommandsOnTheSelectedRecord) {
    // Paid and back: the value written once per click, the list's dot following it.
    const std::string invoice =
        row("SELECT recordName FROM documents WHERE type = 'INVOICE' AND paid = 0 ORDER BY issue_date DESC")["recordName"]
            .string_value();
    ASSERT_FALSE(invoice.empty());
    store::run(*g_core, "UPDATE documents SET synced = 1 WHERE recordName = ?", {Json(invoice)});
    open_tab(invoice, "INVOICE");
    const QString dot = QString::fromStdString("document.getElementById('" + invoice + "').innerHTML.includes('#34c759')");
    EXPECT_EQ(wait_for_script(w->listWebView, dot, "false"), "false");
    w->actionPaid->trigger();
    EXPECT_EQ(row("SELECT paid, synced FROM documents WHERE recordName = ?", {invoice})["paid"].int_value(), 1);
    EXPECT_EQ(row("SELECT paid, synced FROM documents WHERE recordName = ?", {invoice})["synced"].int_value(), 0);
    EXPECT_EQ(wait_for_script(w->listWebView, dot, "true"), "true");
    w->actionPaid->trigger();
    EXPECT_EQ(row("SELECT paid FROM documents WHERE recordName = ?", {invoice})["paid"].int_value(), 0);
    EXPECT_EQ(wait_for_script(w->listWebView, dot, "false"), "false");

    // Storno and copy of the invoice: new documents in the document window, the stored one unchanged.
    w->actionStorno->trigger();
    Tavrin::DocumentPage* page = document_page();
    ASSERT_NE(page, nullptr);
    EXPECT_FALSE(page->editing);
    EXPECT_EQ(Json(page->document)["reference_recordName"].string_value(), invoice);
    close_document_window();

    // Edit a draft: opened in place.
    const std::string draft = row("SELECT recordName FROM documents WHERE type = 'DRAFT' LIMIT 1")["recordName"].string_value();
    open_tab(draft, "DRAFT");
    w->actionEdit->trigger();
    page = document_page();
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(page->editing);
    EXPECT_EQ(Json(page->document)["recordName"].string_value(), draft);
    close_document_window();

    // An invoice from an estimate.
    const std::string estimate =
        row("SELECT recordName FROM documents WHERE type = 'ESTIMATE' LIMIT 1")["recordName"].string_value();
    open_tab(estimate, "ESTIMATE");
    w->actionInvoice->trigger();
    page = document_page();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(Json(page->document)["type"].string_value(), "INVOICE");
    EXPECT_NE(Json(page->document)["recordName"].string_value(), estimate);
    close_document_window();

    // Delete: cancelled changes nothing; confirmed removes the draft and its lines, leaves a tombstone
    // and closes its tab.
    open_tab(draft, "DRAFT");
    const std::string draft_number =
        row("SELECT number_formatted FROM documents WHERE recordName = ?", {draft})["number_formatted"].string_value();
    std::string asked;
    dialogs.answers.push_back([&](ui::ContentDialog& dialog) -> std::optional<Result> {
        asked = dialog.ContentText().toStdString();
        return Result::None;
    });
    w->actionDelete->trigger();
    ASSERT_TRUE(wait_until([&] { return !asked.empty(); }));
    EXPECT_EQ(asked, g_core->translated("confirm_delete", draft_number));
    QCoreApplication::processEvents();
    EXPECT_EQ(count("SELECT COUNT(*) FROM documents WHERE recordName = ?", {draft}), 1);
    const int lines = count("SELECT COUNT(*) FROM document_lines WHERE documentRecordName = ?", {draft});
    ASSERT_GT(lines, 0);
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return Result::Primary; });
    const int tabs = w->tabView->Size();
    w->actionDelete->trigger();
    ASSERT_TRUE(wait_until([&] { return w->tabView->Size() == tabs - 1; }));
    EXPECT_EQ(count("SELECT COUNT(*) FROM documents WHERE recordName = ?", {draft}), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM document_lines WHERE documentRecordName = ?", {draft}), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM deleted WHERE recordName = ?", {draft}), 1);

    // A record that is gone: no command asks, opens or writes anything.
    const int shown = dialogs.shown;
    w->DeleteRecord(draft);
    w->EditRecord(draft);
    w->ResaveDocument(draft);
    w->ReturnStock("no-such-movement");
    w->ConvertWebshopOrder("WEBSHOP-none");
    QCoreApplication::processEvents();
    EXPECT_EQ(dialogs.shown, shown);
    EXPECT_FALSE(w->document_window);
    EXPECT_EQ(count("SELECT COUNT(*) FROM documents WHERE recordName = ?", {draft}), 0);

    // Re-save a task: stored anew as changed, its tab closed.
    const std::string task = row("SELECT recordName FROM documents WHERE type = 'TASK' LIMIT 1")["recordName"].string_value();
    store::run(*g_core, "UPDATE documents SET synced = 1 WHERE recordName = ?", {Json(task)});
    const int task_lines = count("SELECT COUNT(*) FROM document_lines WHERE documentRecordName = ?", {task});
    open_tab(task, "TASK");
    const int with_task = w->tabView->Size();
    w->actionResave->trigger();
    EXPECT_EQ(w->tabView->Size(), with_task - 1);
    EXPECT_EQ(row("SELECT synced FROM documents WHERE recordName = ?", {task})["synced"].int_value(), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM document_lines WHERE documentRecordName = ?", {task}), task_lines);

    // A web-shop order for a client whose name has a quote: the chooser offers the stored client, and
    // the invoice of the order opens.
    const std::string client = "C-OBRIEN";
    ASSERT_TRUE(g_core->save_record({{"recordName", client}, {"name", "O'Brien Kert Kft."}, {"country_code", "HU"},
                                     {"city", "Szeged"}, {"postcode", "6720"}, {"street", "Fő utca 1."}, {"synced", 0}},
                                    "clients"));
    Json::object order{{"recordName", "WEBSHOP-77"}, {"type", "WEBSHOP_ORDER"}, {"number_formatted", "WEBSHOP-77"},
                       {"client_name", "O'Brien Kert"}, {"client_address", "6720 Szeged\nFő utca 1."},
                       {"client_country_code", "HU"}, {"client_city", "Szeged"}, {"client_postcode", "6720"},
                       {"issue_date", iso_date(0)}, {"currency_code", "HUF"}, {"exchange_rate", 1}};
    ASSERT_FALSE(g_core->save_document({Json::object{{"name", "Bögre"}, {"quantity", 2}, {"price", 1000}}}, true, order).empty());
    open_tab("WEBSHOP-77", "WEBSHOP_ORDER");
    std::vector<std::string> entries;
    dialogs.answers.push_back([&](ui::ContentDialog& dialog) -> std::optional<Result> {
        EXPECT_EQ(dialog.Title().toStdString(), "O'Brien Kert\n6720 Szeged Fő utca 1.");
        auto* chooser = qobject_cast<ui::ComboBox*>(dialog.ContentWidget());
        if (!chooser) return Result::None;
        for (int i = 0; i < chooser->Size(); ++i) entries.push_back(chooser->ItemText(i).toStdString());
        chooser->SelectedIndex(1);
        return Result::Primary;
    });
    w->actionInvoice->trigger();
    page = document_page();
    ASSERT_NE(page, nullptr);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], g_core->translated("<new_client>", ""));
    EXPECT_EQ(entries[1].rfind("O'Brien Kert Kft. | ", 0), 0u) << entries[1];
    EXPECT_NE(entries[1].find("Szeged"), std::string::npos);
    EXPECT_EQ(Json(page->document)["type"].string_value(), "INVOICE");
    EXPECT_EQ(Json(page->document)["reference_recordName"].string_value(), "WEBSHOP-77");
    EXPECT_EQ(Json(page->document)["clientRecordName"].string_value(), client);
    close_document_window();

    // The same order for a new client: the client dialog starts from the order, and the saved client
    // is the invoice's.
    dialogs.answers.push_back([&](ui::ContentDialog&) -> std::optional<Result> { return Result::Primary; });
    std::string typed_name;
    dialogs.answers.push_back([&](ui::ContentDialog& dialog) -> std::optional<Result> {
        auto* form = qobject_cast<Tavrin::ClientDlg*>(dialog.ContentWidget());
        if (!form) return Result::None;
        typed_name = form->nameTextBox->Text().toStdString();
        return Result::Primary;
    });
    w->actionInvoice->trigger();
    page = document_page();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(typed_name, "O'Brien Kert");
    const Json made = row("SELECT * FROM clients WHERE name = 'O''Brien Kert'");
    ASSERT_TRUE(made.is_object());
    EXPECT_EQ(made["city"].string_value(), "Szeged");
    EXPECT_EQ(made["postcode"].string_value(), "6720");
    EXPECT_EQ(Json(page->document)["clientRecordName"].string_value(), made["recordName"].string_value());
    close_document_window();
    EXPECT_EQ(row("SELECT type FROM documents WHERE recordName = 'WEBSHOP-77'")["type"].string_value(), "WEBSHOP_ORDER");

    // The stock: a sale's movement given back writes the reversed movement.
    select_section(11);
    const Json sale = row("SELECT * FROM inventory WHERE quantity < 0 ORDER BY created DESC");
    ASSERT_TRUE(sale.is_object());
    w->OnListMessage(w->listWebView, ui::WebMessageReceivedEventArgs(QString::fromStdString(
                                         "{\"action\":\"onListRowSelected\",\"recordName\":\"" +
                                         sale["recordName"].string_value() + "\",\"type\":\"INVOICE\"}")));
    ASSERT_TRUE(wait_until([&] { return ui::TagText(w->actionReturn->Tag()) == sale["recordName"].string_value(); }));
    dialogs.answers.push_back([&](ui::ContentDialog& dialog) -> std::optional<Result> {
        EXPECT_EQ(dialog.ContentText().toStdString(), g_core->translated("confirm_return", sale["item_name"].string_value()));
        return Result::Primary;
    });
    w->actionReturn->trigger();
    ASSERT_TRUE(wait_until([&] {
        return count("SELECT COUNT(*) FROM inventory WHERE reason = 'RETURN' AND documentRecordName = ?",
                     {sale["documentRecordName"]}) == 1;
    }));
    const Json given_back = row("SELECT * FROM inventory WHERE reason = 'RETURN' AND documentRecordName = ?",
                                {sale["documentRecordName"]});
    EXPECT_EQ(given_back["quantity"].number_value(), -sale["quantity"].number_value());
    EXPECT_EQ(given_back["itemRecordName"], sale["itemRecordName"]);

    // The four valuation methods: the setting follows the choice and the list's profit total is the
    // sum of the movements' profits by that method.
    const Json filter(w->list_filter);
    for (ui::MenuFlyoutItem* choice : w->profitItems) {
        const std::string method = ui::TagText(choice->Tag());
        choice->trigger();
        EXPECT_EQ(g_core->setting("defaults")["inventory_profit"].string_value(), method);
        EXPECT_EQ(row("SELECT synced FROM settings WHERE recordName = 'defaults'")["synced"].int_value(), 0);
        const double sum = row("SELECT SUM(" + method + ") AS s FROM inventory WHERE issue_date BETWEEN ? AND ?",
                               {filter["from_date"], filter["to_date"]})["s"]
                               .number_value();
        EXPECT_NE(g_core->list_summary.find(g_core->translated(method, "") + ": " + g_core->formatted_curr(sum, "", false, {})),
                  std::string::npos)
            << method << ": " << g_core->list_summary;
    }

    // The window closed while a document prints to PDF closes once the print has ended: the engine
    // never loses a page it is printing, and the file is whole.
    const Json last = row("SELECT recordName, number_formatted FROM documents WHERE type = 'INVOICE' ORDER BY created DESC");
    const std::string pdf = g_core->data_folder + Tavrin::pdf_file_name(last["number_formatted"].string_value()) + ".pdf";
    std::filesystem::remove(pdf);
    while (w->tabView->Size() > 1) w->tabView->RemoveAt(1);
    for (std::size_t i = 0; i < w->listItems.size(); ++i)
        if (w->listItems[i] && ui::Name(w->listItems[i]) == "INVOICE") select_section(static_cast<int>(i));
    w->OnListMessage(w->listWebView, ui::WebMessageReceivedEventArgs(QString::fromStdString(
                                         "{\"action\":\"onListRowSelected\",\"recordName\":\"" +
                                         last["recordName"].string_value() + "\",\"type\":\"INVOICE\"}")));
    ASSERT_TRUE(wait_until([&] { return w->print_view->Printing(); }));
    EXPECT_FALSE(w->Close());
    ASSERT_TRUE(wait_until([] { return g_core == nullptr; }));
    EXPECT_FALSE(w->print_view->Printing());
    delete w;
    w = nullptr;
    ASSERT_TRUE(std::filesystem::exists(pdf));
    std::FILE* file = std::fopen(pdf.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    char head[5] = {};
    EXPECT_EQ(std::fread(head, 1, 4, file), 4u);
    std::fclose(file);
    EXPECT_STREQ(head, "%PDF");
}

// A company account with its cloud: what the list commands change reaches a second installation.
TEST(ListCommandsCloud, ADeletionAndAPaymentReachASecondInstallation) {
    const std::string account = "1A2B3C4D-5E6F-4A8B-9C0D-E1F2A3B4C5D6";
    TempDir dir;
    CloudStore cloud;
    ScopedEnv env{[&] {
        ScopedEnv::Values values = cloud.env();
        values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:1");
        return values;
    }()};
    cloud.create_zone(account);
    cloud.put_row("_defaultZone", "Settings", "accounts",
                  Json(Json::array{Json::object{{"id", account}, {"name", "Első Kft."}}}));
    auto open = [&](const std::string& folder) {
        std::unique_ptr<Core> core = make_core(dir.path() + folder + "/", "hu");
        core->current_account = account;
        core->open_database();
        core->save_web_auth_token("session");
        return core;
    };
    auto pass = [](Core& core) {
        int calls = 0;
        core.sync_start([&](Json) { ++calls; });
        EXPECT_EQ(calls, 1);
    };

    g_core = open("first").release();
    ASSERT_TRUE(g_core->save_record({{"recordName", "C-GONE"}, {"name", "Törlendő Bt."}, {"synced", 0}}, "clients"));
    const std::string invoice = g_core->save_document(
        {Json::object{{"name", "Bögre"}, {"quantity", 1}, {"price", 1000}}}, false,
        Json::object{{"type", "INVOICE"}, {"client_name", "Vevő"}, {"issue_date", iso_date(0)}, {"due_date", iso_date(0)},
                     {"currency_code", "HUF"}, {"exchange_rate", 1}, {"paid", 0}});
    ASSERT_FALSE(invoice.empty());
    pass(*g_core);
    std::unique_ptr<Core> second = open("second");
    pass(*second);
    ASSERT_EQ(store::rows(*second, "SELECT 1 FROM clients WHERE recordName = 'C-GONE'").size(), 1u);
    ASSERT_EQ(store::rows(*second, "SELECT paid FROM documents WHERE recordName = ?", {Json(invoice)}).size(), 1u);

    Dialogs dialogs;
    auto* w = new Tavrin::MainWindow;
    g_main_window = w;
    w->Activate();
    ASSERT_TRUE(wait_until([&] {
        return !w->navigationView->isHidden() && w->navigationView->SelectedItem() &&
               ui::Name(w->navigationView->SelectedItem()) == "INVOICE" && w->listWebView->IsLoaded();
    }));

    // The invoice marked paid, and the client deleted.
    auto select = [&](const std::string& record_name, const std::string& type) {
        w->OnListMessage(w->listWebView, ui::WebMessageReceivedEventArgs(QString::fromStdString(
                                             Json(Json::object{{"action", "onListRowSelected"},
                                                               {"recordName", record_name},
                                                               {"type", type}})
                                                 .dump())));
        return wait_until([&] { return ui::TagText(w->tabView->SelectedItem()->Tag()) == record_name; });
    };
    ASSERT_TRUE(select(invoice, "INVOICE"));
    auto* invoice_view = qobject_cast<ui::WebView2*>(w->tabView->SelectedItem()->Content());
    ASSERT_TRUE(wait_until([&] { return ui::GetVisibility(invoice_view) == ui::Visibility::Visible; }));
    w->actionPaid->trigger();
    ASSERT_TRUE(select("C-GONE", "client"));
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return Result::Primary; });
    w->actionDelete->trigger();
    ASSERT_TRUE(wait_until([&] { return store::rows(*g_core, "SELECT 1 FROM clients WHERE recordName = 'C-GONE'").empty(); }));
    ASSERT_TRUE(wait_until([&] { return ui::TagText(w->tabView->SelectedItem()->Tag()) != "C-GONE"; }));

    // One pass up from this installation and one down to the other: the client is gone there too, and
    // the invoice is paid.
    ui::ThreadPool::WaitForIdle();
    pass(*g_core);
    pass(*second);
    EXPECT_TRUE(store::rows(*second, "SELECT 1 FROM clients WHERE recordName = 'C-GONE'").empty());
    EXPECT_EQ(Json(store::rows(*second, "SELECT paid FROM documents WHERE recordName = ?", {Json(invoice)}).at(0))["paid"]
                  .int_value(),
              1);
    EXPECT_TRUE(store::rows(*g_core, "SELECT 1 FROM deleted").empty());

    w->Close();
    delete w;
    g_main_window = nullptr;
    ui::ThreadPool::WaitForIdle();
    delete g_core;
    g_core = nullptr;
}
