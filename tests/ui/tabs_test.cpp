// Record tabs of the main window on the DEMO account: rows clicked in the list pages open clients and
// documents in tabs of their own, documents are printed to PDF and shown there, the command menu
// follows the selected tab and section, and tabs close in any order.
#include "tests/fakes/maker_fake.h"
#include "tests/test_support.h"
#include "tests/ui/demo_program.h"
#include "tests/ui/ui_test_support.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "app/editor/DocumentPage.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/ContentDialog.h"
#include "ui/Pickers.h"
#include "ui/Printing.h"

#include <QAbstractButton>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPrinter>
#include <QTabBar>

#include <cstdio>
#include <filesystem>
#include <set>

using json11::Json;
using uitest::script;
using uitest::wait_for_script;
using uitest::wait_until;

namespace {

using uitest::unreachable_url;

bool shown(QWidget* element) { return ui::GetVisibility(element) == ui::Visibility::Visible; }
bool shown(ui::MenuFlyoutItem* item) { return item->GetVisibility() == ui::Visibility::Visible; }

// The commands of the bar that are shown, by element name.
std::set<std::string> shown_commands(Tavrin::MainWindow* w) {
    std::set<std::string> names;
    for (QWidget* element : {static_cast<QWidget*>(w->tabTitleButton), static_cast<QWidget*>(w->listOnlyElement),
                             static_cast<QWidget*>(w->taskListElement)})
        if (shown(element)) names.insert(ui::Name(element));
    for (ui::MenuFlyoutItem* item :
         {w->actionOverdueFilter, w->actionPaid, w->actionResave, w->actionCopy, w->actionInvoice, w->actionPurchaseReceive,
          w->actionNewForRecord, w->actionEdit, w->actionStorno, w->actionDelete, w->actionReturn, w->profitItems[0],
          w->profitItems[1], w->profitItems[2], w->profitItems[3], w->actionReport, w->actionInventoryReport,
          w->actionNavExport, w->actionSavePdf, w->actionPrintPdf})
        if (shown(item)) names.insert(ui::Name(item));
    return names;
}

int pdf_pages(const std::string& path) {
    FILE* pipe = popen(("pdfinfo '" + path + "' 2>/dev/null").c_str(), "r");
    if (!pipe) return -1;
    char line[512];
    int pages = -1;
    while (fgets(line, sizeof line, pipe))
        if (std::sscanf(line, "Pages: %d", &pages) == 1) break;
    pclose(pipe);
    return pages;
}

// True once a PDF file has been written to its end.
bool pdf_finished(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly) || file.size() < 8) return false;
    file.seek(file.size() - 8);
    return file.readAll().contains("%%EOF");
}

ui::TabViewItem* tab_with_tag(Tavrin::MainWindow* w, const std::string& tag) {
    for (int i = 1; i < w->tabView->Size(); ++i)
        if (ui::TagText(w->tabView->GetAt(i)->Tag()) == tag) return w->tabView->GetAt(i);
    return nullptr;
}

std::string json_string(const std::string& text) {
    std::string error;
    return Json::parse(text, error).string_value();
}

void post(ui::WebView2* view, const std::string& message_js) {
    script(view, QString::fromStdString("window.chrome.webview.postMessage(" + message_js + "); 1"));
}

}  // namespace

TEST(RecordTabs, RowsOpenTabsOncePrintDocumentsAndTheMenuFollows) {
    TempDir dir;
    const std::string data = dir.path() + "data/";
    std::filesystem::create_directories(data);
    MakerFake maker;
    ScopedEnv env({{"TAVRIN_CLOUD_URL", unreachable_url()}, {"TAVRIN_DATA_DIR", data}});
    ScopedEnv maker_env(maker.env());
    {
        Tavrin::App app;
        app.OnLaunched();
    }
    auto* w = qobject_cast<Tavrin::MainWindow*>(g_main_window.data());
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(wait_until([&] {
        return w->navigationView->isVisible() && w->navigationView->SelectedItem() && w->listWebView->IsLoaded();
    }));
    ASSERT_EQ(ui::Name(w->navigationView->SelectedItem()), "INVOICE");
    ASSERT_EQ(wait_for_script(w->listWebView, "document.querySelectorAll('#list tbody tr').length > 0", "true"), "true");

    // The list tab of the invoices: the list commands only; it has no close button, and the record
    // commands' button, with nothing to open, is disabled and says so.
    EXPECT_EQ(shown_commands(w), (std::set<std::string>{"tabTitleButton", "listOnlyElement", "actionOverdueFilter",
                                                        "actionReport", "actionNavExport"}));
    EXPECT_EQ(w->tabView->tabBar()->tabButton(0, QTabBar::RightSide), nullptr);
    EXPECT_FALSE(w->recordCommandsButton->isEnabled());
    EXPECT_FALSE(w->recordCommandsButton->toolTip().isEmpty());
    const QPoint new_client_at = w->newClient->mapTo(w, QPoint(0, 0));

    // An invoice row clicked through the page's own script opens its tab and its printed PDF.
    const std::string first = script(w->listWebView, "document.querySelector('#list tbody tr').id");
    const std::string invoice = json_string(first);
    ASSERT_FALSE(invoice.empty());
    const Json doc(store::rows(*g_core, "SELECT * FROM documents WHERE recordName = ?", {Json(invoice)}).at(0));
    script(w->listWebView, QString::fromStdString("document.getElementById(" + first + ").click(); 1"));
    ASSERT_TRUE(wait_until([&] { return w->tabView->Size() == 2; }));
    ui::TabViewItem* invoice_tab = w->tabView->SelectedItem();
    EXPECT_EQ(ui::TagText(invoice_tab->Tag()), invoice);
    EXPECT_EQ(invoice_tab->Header().toStdString(), doc["number_formatted"].string_value());
    EXPECT_EQ(w->tabTitleButton->Content(), invoice_tab->Header());

    const std::string name = Tavrin::pdf_file_name(doc["number_formatted"].string_value());
    EXPECT_EQ(name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-"), std::string::npos);
    const std::string pdf = data + name + ".pdf";
    auto* invoice_view = qobject_cast<ui::WebView2*>(invoice_tab->Content());
    ASSERT_NE(invoice_view, nullptr);
    ASSERT_TRUE(wait_until([&] { return shown(invoice_view); }));
    EXPECT_EQ(invoice_view->Source(), QUrl::fromLocalFile(QString::fromStdString(pdf)));
    const std::string pages = script(w->print_view, "document.querySelectorAll('div.page').length");
    EXPECT_GT(pdf_pages(pdf), 0);
    EXPECT_EQ(std::to_string(pdf_pages(pdf)), pages);

    // The invoice's commands and its paid/unpaid switch.
    const bool paid = doc["paid"].int_value() == 1 || doc["paid"].string_value() == "1";
    const std::string paid_text = g_core->translated("paid", "");
    const std::string unpaid_text = g_core->translated("unpaid", "");
    const std::string arrow = " \xE2\x9E\x94 ";
    EXPECT_EQ(w->actionPaid->Text().toStdString(), paid ? paid_text + arrow + unpaid_text : unpaid_text + arrow + paid_text);
    EXPECT_EQ(w->actionPaid->Tag(), QVariant(paid ? 0 : 1));
    std::set<std::string> invoice_commands{"tabTitleButton", "actionPaid", "actionCopy", "actionSavePdf", "actionPrintPdf"};
    if (doc["reference_number_formatted"].string_value().empty()) invoice_commands.insert("actionStorno");
    EXPECT_EQ(shown_commands(w), invoice_commands);
    EXPECT_TRUE(w->recordCommandsButton->isEnabled());
    // The tool bar's buttons stay where they were: a click aimed at one never lands on another.
    EXPECT_EQ(w->newClient->mapTo(w, QPoint(0, 0)), new_client_at);

    // The invoice's PDF saved where the user chooses, under the document's number. The dialog starts
    // in the user's documents folder, not in the program's working folder.
    ASSERT_TRUE(wait_until([&] { return w->actionSavePdf->IsEnabled() && w->actionPrintPdf->IsEnabled(); }));
    const std::string home = dir.path() + "home";
    std::filesystem::create_directories(home + "/Documents");
    const auto same_folder = [](const QString& folder, const std::string& expected) {
        std::error_code unreadable;
        return !folder.isEmpty() && std::filesystem::equivalent(folder.toStdString(), expected, unreadable);
    };
    std::filesystem::create_directories(dir.path() + "chosen");
    const std::string saved = dir.path() + "chosen/invoice.pdf";
    QString suggested;
    QString started_in;
    ui::FilePicker::SetResponder([&](const ui::FilePicker& picker) {
        EXPECT_TRUE(picker.IsSave());
        EXPECT_EQ(picker.Filters(), QStringList("PDF (*.pdf)"));
        suggested = picker.SuggestedFileName();
        started_in = picker.Folder();
        return QString::fromStdString(saved);
    });
    {
        const ScopedEnv user_home({{"HOME", home}, {"XDG_CONFIG_HOME", home + "/.config"}});
        w->actionSavePdf->trigger();
        ASSERT_TRUE(wait_until([&] { return pdf_finished(saved); }));
    }
    ui::FilePicker::SetResponder(nullptr);
    EXPECT_TRUE(same_folder(started_in, home + "/Documents")) << started_in.toStdString();
    EXPECT_EQ(suggested.toStdString(), Tavrin::saved_pdf_name(doc["number_formatted"].string_value()) + ".pdf");
    const std::string saved_text = pdf_text(saved);
    EXPECT_NE(saved_text.find(doc["number_formatted"].string_value()), std::string::npos) << saved_text;
    EXPECT_EQ(saved_text, pdf_text(pdf));

    // Printed on the printer chosen in the print dialog (here a PDF file): every page of the document.
    // A print to a file is offered in the folder the PDF was saved to.
    const std::string printed = dir.path() + "printed.pdf";
    QString job;
    QString offered_file;
    ui::PrintDialog::SetResponder([&](QPrinter& printer) {
        job = printer.docName();
        offered_file = printer.outputFileName();
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(QString::fromStdString(printed));
        return true;
    });
    w->actionPrintPdf->trigger();
    ASSERT_TRUE(wait_until([&] { return pdf_finished(printed); }));
    EXPECT_EQ(job, suggested.chopped(4));
    EXPECT_EQ(pdf_pages(printed), pdf_pages(pdf));
    EXPECT_EQ(QFileInfo(offered_file).fileName(), suggested) << offered_file.toStdString();
    EXPECT_TRUE(same_folder(QFileInfo(offered_file).path(), dir.path() + "chosen")) << offered_file.toStdString();
    // Cancelled in the dialog, the printer pointed at a file: nothing printed, nothing said.
    std::filesystem::remove(printed);
    bool asked = false;
    ui::PrintDialog::SetResponder([&](QPrinter& printer) {
        asked = true;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(QString::fromStdString(printed));
        return false;
    });
    w->actionPrintPdf->trigger();
    ASSERT_TRUE(wait_until([&] { return asked; }));
    // A print would run on a pool thread: it would have written the file once the pool is idle.
    ui::ThreadPool::WaitForIdle();
    QCoreApplication::processEvents();
    EXPECT_FALSE(std::filesystem::exists(printed));
    EXPECT_EQ(ui::ContentDialog::Current(), nullptr);
    ui::PrintDialog::SetResponder(nullptr);
    // The next save starts in the folder of the last file the user chose: the printed one's.
    started_in.clear();
    ui::FilePicker::SetResponder([&](const ui::FilePicker& picker) {
        started_in = picker.Folder();
        return QString();
    });
    w->actionSavePdf->trigger();
    ASSERT_TRUE(wait_until([&] { return !started_in.isEmpty(); }));
    ui::FilePicker::SetResponder(nullptr);
    EXPECT_TRUE(same_folder(started_in, dir.path())) << started_in.toStdString();

    // The same invoice, marked the other way, shows the switch turned round.
    store::run(*g_core, "UPDATE documents SET paid = ? WHERE recordName = ?", {Json(paid ? 0 : 1), Json(invoice)});
    const ui::AsyncAction followed = w->FollowDocumentTabs();
    ASSERT_TRUE(wait_until([&] { return followed.IsDone(); }));
    EXPECT_EQ(w->actionPaid->Text().toStdString(), paid ? unpaid_text + arrow + paid_text : paid_text + arrow + unpaid_text);
    EXPECT_EQ(w->actionPaid->Tag(), QVariant(paid ? 1 : 0));

    // Clicked again from the list, the row selects its tab; nothing new opens.
    w->tabView->SelectedIndex(0);
    EXPECT_TRUE(shown(w->actionNavExport));
    script(w->listWebView, QString::fromStdString("document.getElementById(" + first + ").click(); 1"));
    ASSERT_TRUE(wait_until([&] { return w->tabView->SelectedIndex() == 1; }));
    EXPECT_EQ(w->tabView->Size(), 2);

    // A picture of the window with the invoice's PDF shown is not blank.
    auto colours = [&] {
        const QImage picture = w->grab().toImage();
        std::set<QRgb> seen;
        for (int y = 0; y < picture.height(); y += 3)
            for (int x = 0; x < picture.width(); x += 3) seen.insert(picture.pixel(x, y));
        return seen.size();
    };
    auto view_colours = [&] {
        const QImage picture = invoice_view->grab().toImage();
        std::set<QRgb> seen;
        for (int y = 0; y < picture.height(); y += 3)
            for (int x = 0; x < picture.width(); x += 3) seen.insert(picture.pixel(x, y));
        return seen.size();
    };
    // The engine's PDF viewer has opened the file in the tab (its bar with the file name is drawn).
    EXPECT_TRUE(wait_until([&] { return view_colours() > 40; })) << view_colours();
    EXPECT_EQ(invoice_view->title().toStdString(), name + ".pdf");
    EXPECT_TRUE(wait_until([&] { return colours() > 20; })) << colours();
    EXPECT_TRUE(w->grab().toImage().save(QString(TAVRIN_UI_TEST_OUTPUT) + "/invoice_tab.png"));

    // Messages with missing or non-text members, or no JSON object at all, are ignored.
    const std::string other = store::rows(*g_core, "SELECT recordName FROM documents WHERE recordName <> ? LIMIT 1",
                                          {Json(invoice)})
                                  .at(0)
                                  .at("recordName")
                                  .string_value();
    for (const char* text : {"{not json", "\"onListRowSelected\"", "[1,2]", "{\"action\":\"onListRowSelected\"}",
                             "{\"action\":7,\"recordName\":\"x\"}"})
        w->OnListMessage(w->listWebView, ui::WebMessageReceivedEventArgs(text));
    w->OnListMessage(w->listWebView, ui::WebMessageReceivedEventArgs(QString::fromStdString(
                                         "{\"action\":\"onListRowSelected\",\"recordName\":{\"a\":1},\"type\":\"INVOICE\"}")));
    w->OnListMessage(w->listWebView, ui::WebMessageReceivedEventArgs(QString::fromStdString(
                                         "{\"action\":\"onListRowSelected\",\"recordName\":\"" + other + "\",\"type\":5}")));
    w->OnListMessage(w->listWebView, ui::WebMessageReceivedEventArgs(QString::fromStdString(
                                         "{\"action\":\"onListRowSelected\",\"recordName\":\"no-such-document\",\"type\":\"INVOICE\"}")));
    QCoreApplication::processEvents();
    EXPECT_EQ(w->tabView->Size(), 2);

    // A document tab closed while its view is being printed: the print goes on, nothing is shown, no crash.
    post(w->listWebView, "{action: 'onListRowSelected', recordName: '" + other + "', type: 'INVOICE'}");
    ASSERT_TRUE(wait_until([&] { return tab_with_tag(w, other) != nullptr; }));
    QPointer<ui::TabViewItem> closing = tab_with_tag(w, other);
    w->tabView->RemoveAt(w->tabView->IndexOf(closing));
    ASSERT_TRUE(wait_until([&] { return closing.isNull(); }));
    const std::string other_pdf =
        data + Tavrin::pdf_file_name(store::rows(*g_core, "SELECT number_formatted FROM documents WHERE recordName = ?",
                                                 {Json(other)})
                                         .at(0)
                                         .at("number_formatted")
                                         .string_value()) +
        ".pdf";
    // Polled by its size, not by pdfinfo: a process started every few milliseconds slows the engine down.
    ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(other_pdf) && std::filesystem::file_size(other_pdf) > 0; }));
    EXPECT_GT(pdf_pages(other_pdf), 0);

    // This installation's estimate never went up; a pass takes in the other installation's estimate of
    // the same number. Ours moves to the next number and its open tab follows it; the row of the other
    // estimate opens that one; a PDF is written only of what is stored under the number it carries.
    const Json::object estimate =
        store::rows(*g_core, "SELECT * FROM documents WHERE type = 'ESTIMATE' ORDER BY recordName LIMIT 1").at(0);
    const std::string estimate_name = estimate.at("recordName").string_value();
    const std::string estimate_number = estimate.at("number_formatted").string_value();
    ASSERT_TRUE(store::run(*g_core, "UPDATE documents SET synced = 0, recordChangeTag = '' WHERE recordName = ?",
                           {Json(estimate_name)}));
    const auto estimate_lines = store::rows(
        *g_core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id", {Json(estimate_name)});
    ASSERT_FALSE(estimate_lines.empty());
    const std::string own_line = estimate_lines.front().at("name").string_value();
    const std::string their_line = "Másik gép tétele";
    const auto printed_text = [&](ui::TabViewItem* tab) {
        return pdf_text(data + Tavrin::pdf_file_name(ui::utf8(tab->Header())) + ".pdf");
    };
    const auto printed_under = [&](ui::TabViewItem* tab, const std::string& name) {
        return tab && ui::TagText(tab->Tag()) == name && !Tavrin::MainWindow::TabPdf(tab).isEmpty();
    };
    post(w->listWebView, "{action: 'onListRowSelected', recordName: '" + estimate_name + "', type: 'ESTIMATE'}");
    ASSERT_TRUE(wait_until([&] { return printed_under(tab_with_tag(w, estimate_name), estimate_name); }));
    const QPointer<ui::TabViewItem> estimate_tab = tab_with_tag(w, estimate_name);
    // It is open for editing too.
    w->OpenDocumentWindow(QString::fromStdString(estimate_name), "ESTIMATE", true, std::string());
    ASSERT_TRUE(wait_until([&] { return w->document_window && w->document_window->Content(); }));
    const QPointer<Tavrin::DocumentPage> page = qobject_cast<Tavrin::DocumentPage*>(w->document_window->Content());
    ASSERT_TRUE(page && wait_until([&] { return page->loaded; }));
    std::vector<std::string> told;
    ui::ContentDialog::SetResponder([&](ui::ContentDialog& dialog) -> std::optional<ui::ContentDialogResult> {
        // The window's own notice of the renumbering comes whenever its pace reads the store (a slow
        // run meets it); only what the tabs and the page tell is counted here.
        const std::string title = dialog.Title().toStdString();
        if (title != "Új dokumentumszám") told.push_back(title);
        return ui::ContentDialogResult::Primary;
    });

    Json::object theirs = estimate;
    theirs["created"] = estimate.at("created").number_value() + 7;
    theirs["document_id"] = "their-estimate";
    Json::array their_lines;
    for (Json::object line : estimate_lines) {
        line["id"] = "their-line-" + std::to_string(their_lines.size());
        line["name"] = their_line;
        their_lines.push_back(line);
    }
    theirs["lines"] = their_lines;
    const auto download = [&](const Json& record) {
        return g_core->apply_zone_changes(
            {Json::object{{"zones", Json::array{Json::object{{"records", Json::array{record}}, {"syncToken", "t-1"}}}}}},
            false);
    };
    ASSERT_TRUE(download(Json::object{{"recordName", estimate_name},
                                      {"recordType", "Documents"},
                                      {"recordChangeTag", "their-tag"},
                                      {"fields", Json::object{{"data", Json::object{{"value", Json(theirs).dump()}}}}}}));
    const Json moved(store::rows(*g_core, "SELECT * FROM documents WHERE type = 'ESTIMATE' AND created = ? AND recordName <> ?",
                                 {estimate.at("created"), Json(estimate_name)})
                         .at(0));
    const std::string moved_name = moved["recordName"].string_value();
    w->FollowDocumentTabs();
    ASSERT_TRUE(wait_until([&] { return printed_under(estimate_tab, moved_name); }));
    EXPECT_EQ(estimate_tab->Header().toStdString(), moved["number_formatted"].string_value());
    std::string text = printed_text(estimate_tab);
    EXPECT_NE(text.find(moved["number_formatted"].string_value()), std::string::npos) << text;
    EXPECT_NE(text.find(own_line), std::string::npos) << text;
    EXPECT_EQ(text.find(their_line), std::string::npos) << text;
    // The page saves where the document went, and the user was told of its new number.
    ASSERT_TRUE(wait_until([&] { return told.size() == 1; }));
    EXPECT_EQ(told[0], estimate_number);
    EXPECT_EQ(page->numberTextBox->Text().toStdString(), moved["number_formatted"].string_value());
    EXPECT_EQ(Json(page->document)["recordName"], moved["recordName"]);
    page->lines.clear();
    w->document_window->Close();
    ASSERT_TRUE(wait_until([&] { return page.isNull(); }));

    post(w->listWebView, "{action: 'onListRowSelected', recordName: '" + estimate_name + "', type: 'ESTIMATE'}");
    ASSERT_TRUE(wait_until([&] { return printed_under(tab_with_tag(w, estimate_name), estimate_name); }));
    const QPointer<ui::TabViewItem> their_tab = tab_with_tag(w, estimate_name);
    EXPECT_NE(their_tab, estimate_tab);
    EXPECT_EQ(their_tab->Header().toStdString(), estimate_number);
    text = printed_text(their_tab);
    EXPECT_NE(text.find(their_line), std::string::npos) << text;

    // Saved as PDF: what is stored under the moved number. Changed while the user chose the file, the
    // document is not written; the tab prints it anew and the user is told.
    w->tabView->SelectedItem(estimate_tab);
    const std::string estimate_pdf = dir.path() + "chosen/estimate.pdf";
    const std::string stale_pdf = dir.path() + "chosen/stale.pdf";
    ui::FilePicker::SetResponder([&](const ui::FilePicker&) { return QString::fromStdString(estimate_pdf); });
    w->actionSavePdf->trigger();
    ASSERT_TRUE(wait_until([&] { return pdf_finished(estimate_pdf); }));
    text = pdf_text(estimate_pdf);
    EXPECT_NE(text.find(moved["number_formatted"].string_value()), std::string::npos) << text;
    EXPECT_NE(text.find(own_line), std::string::npos) << text;
    ui::FilePicker::SetResponder([&](const ui::FilePicker&) {
        store::run(*g_core, "UPDATE document_lines SET name = 'Javított tétel' WHERE documentRecordName = ?",
                   {Json(moved_name)});
        return QString::fromStdString(stale_pdf);
    });
    w->actionSavePdf->trigger();
    // The tab's new print replaces its old one: looked at a few times a second, as pdftotext is a
    // process of its own.
    const auto reprinted = [&] {
        return told.size() == 2 && printed_under(estimate_tab, moved_name) &&
               printed_text(estimate_tab).find("Javított tétel") != std::string::npos;
    };
    EXPECT_TRUE(wait_until(reprinted, uitest::kEngineLimitMs, 250)) << printed_text(estimate_tab);
    EXPECT_FALSE(std::filesystem::exists(stale_pdf));
    ui::FilePicker::SetResponder(nullptr);

    // Deleted by the next pass, the other estimate's tab closes, saying so.
    ASSERT_TRUE(download(Json::object{{"recordName", estimate_name}, {"deleted", true}}));
    w->FollowDocumentTabs();
    ASSERT_TRUE(wait_until([&] { return their_tab.isNull() && told.size() == 3; }));
    ui::ContentDialog::SetResponder(nullptr);
    w->tabView->RemoveAt(w->tabView->IndexOf(estimate_tab));
    ASSERT_EQ(w->tabView->Size(), 2);

    // A client row of the clients list opens a client tab with its master-data view, named after the client.
    w->navigationView->SelectedItem(w->listItems[1]);
    ASSERT_EQ(ui::Name(w->navigationView->SelectedItem()), "clients");
    EXPECT_EQ(w->tabView->SelectedIndex(), 0);
    EXPECT_EQ(shown_commands(w), (std::set<std::string>{"listOnlyElement"}));
    EXPECT_FALSE(w->recordCommandsButton->isEnabled());
    const std::string client_id = wait_for_script(
        w->listWebView, "document.querySelector('#list tbody tr[onclick*=client]') ? 'found' : ''", "\"found\"");
    ASSERT_EQ(client_id, "\"found\"");
    const std::string client_row = script(w->listWebView, "document.querySelector('#list tbody tr[onclick*=client]').id");
    const std::string client = json_string(client_row);
    script(w->listWebView, QString::fromStdString("document.getElementById(" + client_row + ").click(); 1"));
    ASSERT_TRUE(wait_until([&] { return tab_with_tag(w, client) != nullptr; }));
    ui::TabViewItem* client_tab = tab_with_tag(w, client);
    EXPECT_EQ(w->tabView->SelectedItem(), client_tab);
    const std::string client_name =
        store::rows(*g_core, "SELECT name FROM clients WHERE recordName = ?", {Json(client)}).at(0).at("name").string_value();
    EXPECT_EQ(client_tab->Header().toStdString(), Tavrin::record_tab_header(client_name));
    EXPECT_EQ(shown_commands(w), (std::set<std::string>{"tabTitleButton", "actionNewForRecord", "actionEdit", "actionDelete"}));
    EXPECT_EQ(w->newClient->mapTo(w, QPoint(0, 0)), new_client_at);
    auto* client_view = qobject_cast<ui::WebView2*>(client_tab->Content());
    ASSERT_NE(client_view, nullptr);
    EXPECT_EQ(wait_for_script(client_view, "document.body && document.body.innerHTML.length > 200", "true"), "true");
    w->tabView->SelectedIndex(0);
    script(w->listWebView, QString::fromStdString("document.getElementById(" + client_row + ").click(); 1"));
    ASSERT_TRUE(wait_until([&] { return w->tabView->SelectedItem() == client_tab; }));
    EXPECT_EQ(w->tabView->Size(), 3);

    // A report tab prints the report PDF.
    auto* report_tab = new ui::TabViewItem;
    report_tab->Tag(QString("report"));
    report_tab->Header("report");
    auto* report_view = new ui::WebView2;
    ui::SetVisibility(report_view, ui::Visibility::Collapsed);
    report_tab->Content(report_view);
    w->tabView->Append(report_tab);
    w->tabView->SelectedItem(report_tab);
    EXPECT_FALSE(shown(w->tabTitleButton));
    w->print_view->Tag(QString("report"));
    w->print_view->NavigateToString("<html><body><h1>Report</h1></body></html>");
    ASSERT_TRUE(wait_until([&] { return shown(report_view); }));
    EXPECT_EQ(pdf_pages(data + "tavrin-report.pdf"), 1);

    // Closing the tabs through their close buttons, in any order, leaves the list tab.
    auto close_button = [&](int index) {
        return qobject_cast<QAbstractButton*>(w->tabView->tabBar()->tabButton(index, QTabBar::RightSide));
    };
    ASSERT_NE(close_button(1), nullptr);
    close_button(2)->click();
    EXPECT_EQ(w->tabView->Size(), 3);
    close_button(2)->click();
    close_button(1)->click();
    ASSERT_EQ(w->tabView->Size(), 1);
    EXPECT_EQ(w->tabView->SelectedItem(), w->homeTabItem);

    w->Close();
    delete w;
    ui::ThreadPool::WaitForIdle();
    EXPECT_EQ(g_core, nullptr);
}

TEST(RecordTabs, HeadersAndPdfNames) {
    EXPECT_EQ(Tavrin::record_tab_header("Kovács és Társa Kft."), "Kovács és");
    EXPECT_EQ(Tavrin::record_tab_header("Egyszó"), "Egyszó");
    EXPECT_EQ(Tavrin::record_tab_header(""), "");
    EXPECT_EQ(Tavrin::record_tab_header(" Vezető szóköz"), " Vezető");

    EXPECT_EQ(Tavrin::pdf_file_name("INV/2024/001"), "INV-2024-001");
    EXPECT_EQ(Tavrin::pdf_file_name("Számla 7"), "Szamla-7");
    // Path parts, quotes and characters without a base letter each become one hyphen.
    EXPECT_EQ(Tavrin::pdf_file_name("../a\\b'c\"d"), "---a-b-c-d");
    EXPECT_EQ(Tavrin::pdf_file_name("Ő/ű_2"), "O-u_2");

    // Saved or printed, a PDF keeps the number as written; only what no file name can hold is replaced.
    EXPECT_EQ(Tavrin::saved_pdf_name("SZAMLA/2026-0005"), "SZAMLA_2026-0005");
    EXPECT_EQ(Tavrin::saved_pdf_name("Számla 7"), "Számla 7");
    EXPECT_EQ(Tavrin::saved_pdf_name(".a\\b:c*d?e\"f<g>h|i\n"), "_a_b_c_d_e_f_g_h_i_");
    EXPECT_EQ(Tavrin::saved_pdf_name(""), "document");
}
