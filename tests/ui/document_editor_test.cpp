// The document editor on the DEMO account, driven through its real controls: a new invoice with lines
// typed into the line dialog and edited from the preview, documents derived, copied and edited in
// place, the task repetition editor, the close guard, and pictures of the window and the dialog.
#include "tests/fakes/maker_fake.h"
#include "tests/test_support.h"
#include "tests/ui/demo_program.h"
#include "tests/ui/ui_test_support.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "app/editor/DocumentPage.h"
#include "app/editor/LineDlg.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/ContentDialog.h"

#include <QApplication>
#include <QDateEdit>
#include <QDateTime>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>

#include <cmath>
#include <filesystem>
#include <memory>
#include <set>

using json11::Json;
using uitest::DemoProgram;
using uitest::press;
using uitest::tr_key;
using uitest::wait_for_dialog;
using uitest::script;
using uitest::wait_for_script;
using uitest::wait_until;

namespace {

// Types into a number box and leaves it with Tab: the typed text becomes the value then.
void type_number(ui::NumberBox* box, const QString& text) {
    // The headless platform activates no window by itself; a window must be active for focus to move.
    QApplication::setActiveWindow(box->window());
    box->Editor()->setFocus();
    box->Editor()->selectAll();
    // Nothing typed empties the box.
    if (text.isEmpty()) QTest::keyClick(box->Editor(), Qt::Key_Delete);
    QTest::keyClicks(box->Editor(), text);
    QTest::keyClick(box->Editor(), Qt::Key_Tab);
}

void type_text(ui::TextBox* box, const QString& text) {
    QTest::keyClicks(box->Editor(), text);
}

// A user's choice in a combo box: the list opened, an entry taken, the list closed; returns once
// the closing has been reported.
void choose(ui::ComboBox* box, int index) {
    bool closed = false;
    const ui::EventToken token = box->DropDownClosed.Add([&closed](ui::ComboBox*) { closed = true; });
    box->List()->showPopup();
    box->SelectedIndex(index);
    box->List()->hidePopup();
    EXPECT_TRUE(wait_until([&] { return closed; }));
    box->DropDownClosed.Remove(token);
}

// The line dialog inside the open content dialog.
Tavrin::LineDlg* line_dialog(ui::ContentDialog* dialog) {
    return dialog ? qobject_cast<Tavrin::LineDlg*>(dialog->ContentWidget()) : nullptr;
}

// Adds a line through the add-line button and the line dialog.
void add_line(Tavrin::DocumentPage* page, const QString& name, const QString& quantity, const QString& price) {
    const std::int64_t shown = page->previews_shown;
    QTest::mouseClick(page->newLineButton, Qt::LeftButton);
    ui::ContentDialog* dialog = wait_for_dialog();
    Tavrin::LineDlg* line = line_dialog(dialog);
    ASSERT_NE(line, nullptr);
    type_text(line->nameTextBox, name);
    type_number(line->quantityNumberBox, quantity);
    type_number(line->priceNumberBox, price);
    press(dialog, tr_key("save"));
    ASSERT_TRUE(wait_until([&] { return page->previews_shown > shown; }));
}

std::string total_text(Tavrin::DocumentPage* page) {
    return script(page->previewWebView, "document.querySelector('.footer-total b').innerText");
}

// Many colours: the picture shows drawn content, not an empty surface.
std::size_t colours_of(const QImage& picture) {
    std::set<QRgb> colours;
    for (int y = 0; y < picture.height(); y += 2)
        for (int x = 0; x < picture.width(); x += 2) colours.insert(picture.pixel(x, y));
    return colours.size();
}

int count_rows(const char* sql) {
    return static_cast<int>(Json(store::rows(*g_core, sql).at(0))["n"].number_value());
}

}  // namespace

TEST(DocumentEditor, NewInvoiceLinesPreviewEditingAndTheCloseGuard) {
    DemoProgram program;
    ASSERT_TRUE(program.ready());
    Tavrin::MainWindow* w = program.window;
    const int documents_before = count_rows("SELECT COUNT(*) AS n FROM documents");
    const int lines_before = count_rows("SELECT COUNT(*) AS n FROM document_lines");
    const std::string expected_number = g_core->next_number_formatted("INVOICE");

    // The tool bar's button opens the document window with a new invoice.
    QTest::mouseClick(w->newDocument, Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return program.page() && program.page()->previews_shown > 0; }));
    Tavrin::DocumentPage* page = program.page();
    const Json doc(page->document);
    EXPECT_EQ(doc["type"].string_value(), "INVOICE");
    EXPECT_EQ(ui::utf8(page->numberTextBox->Text()), expected_number);
    EXPECT_EQ(doc["number_formatted"].string_value(), expected_number);
    EXPECT_FALSE(page->numberTextBox->IsEnabled()) << "an invoice's number is not typed";
    EXPECT_TRUE(page->docTypesCombBox->IsEnabled());
    EXPECT_EQ(doc["issue_date"].string_value(), iso_date(0));
    EXPECT_EQ(doc["delivery_date"].string_value(), iso_date(0));
    EXPECT_EQ(doc["due_date"].string_value(), iso_date(0));
    EXPECT_EQ(doc["currency_code"].string_value(), "HUF");
    EXPECT_EQ(doc["exchange_rate"].number_value(), 1.0);
    EXPECT_EQ(doc["language_code"].string_value(), "hu");
    EXPECT_EQ(doc["supplier_name"].string_value(), "Minta Műhely Kft.");
    EXPECT_FALSE(doc["supplier_address"].string_value().empty());
    EXPECT_TRUE(doc["recordName"].is_null());
    EXPECT_TRUE(doc["reference_recordName"].is_null());
    EXPECT_EQ(doc["footer_note"].string_value(), "Köszönjük!") << "the type's first footer note is taken";
    EXPECT_EQ(ui::GetVisibility(page->exchangeRateNumberBox), ui::Visibility::Collapsed);
    EXPECT_EQ(ui::GetVisibility(page->taskRepeatButton), ui::Visibility::Collapsed);
    EXPECT_EQ(w->document_window->Title().toStdString(), expected_number);
    EXPECT_EQ(wait_for_script(page->previewWebView, "document.querySelectorAll('.row_line').length", "0"), "0");

    // A second request brings the same window forward and leaves its document alone.
    QPointer<ui::Window> first_window = w->document_window;
    QTest::mouseClick(w->newDocument, Qt::LeftButton);
    EXPECT_EQ(w->document_window, first_window);
    EXPECT_EQ(program.page(), page);

    // Lines typed into the line dialog appear in the preview with their totals (27 % tax).
    add_line(page, "Keramia bogre", "3", "2500");
    ASSERT_EQ(page->lines.size(), 1u);
    const Json first(page->lines[0]);
    EXPECT_EQ(first["name"].string_value(), "Keramia bogre");
    EXPECT_EQ(first["quantity"].number_value(), 3);
    EXPECT_EQ(first["price"].number_value(), 2500);
    EXPECT_EQ(first["price_type"].string_value(), "NET");
    EXPECT_EQ(first["tax_id"], g_core->setting("taxes")[0]["id"]);
    EXPECT_EQ(first["unit_id"], g_core->setting("units")[0]["id"]);
    EXPECT_EQ(total_text(page), "\"Összesen 9 525 Ft\"");
    add_line(page, "Teaskanna", "1", "8000");
    add_line(page, "Csomagolas", "2", "500");
    EXPECT_EQ(script(page->previewWebView, "document.querySelectorAll('.row_line').length"), "3");
    EXPECT_EQ(total_text(page), "\"Összesen 20 955 Ft\"");

    // A picture of the window with its three-line invoice.
    const QString output(TAVRIN_UI_TEST_OUTPUT);
    EXPECT_TRUE(wait_until([&] { return colours_of(page->previewWebView->grab().toImage()) > 20; }));
    const QImage window_picture = w->document_window->grab().toImage();
    EXPECT_GT(colours_of(window_picture), 20u);
    EXPECT_TRUE(window_picture.save(output + "/document_window.png"));

    // A message that names no line opens nothing: the next click on the first row opens that row.
    script(page->previewWebView, "window.chrome.webview.postMessage(7); window.chrome.webview.postMessage(-1); 1");
    script(page->previewWebView, "document.querySelectorAll('.row_line')[1].click(); 1");
    ui::ContentDialog* dialog = wait_for_dialog();
    Tavrin::LineDlg* line = line_dialog(dialog);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(dialog->Title().toStdString(), "Teaskanna");
    EXPECT_EQ(line->nameTextBox->Text().toStdString(), "Teaskanna");
    EXPECT_EQ(line->quantityNumberBox->Value(), 1);
    EXPECT_EQ(line->priceNumberBox->Value(), 8000);
    EXPECT_EQ(line->priceNumberBox->Header(), tr_key("selling_price"));
    EXPECT_EQ(ui::GetVisibility(line->taskCompletedCheckBox), ui::Visibility::Collapsed);
    EXPECT_TRUE(line->itemTypesCombBox->IsEnabled()) << "a line typed in may change its type";
    EXPECT_EQ(line->itemTypesCombBox->Size(), 2);
    const QImage dialog_picture = dialog->grab().toImage();
    EXPECT_GT(colours_of(dialog_picture), 8u);
    EXPECT_TRUE(dialog_picture.save(output + "/line_dialog.png"));
    std::int64_t shown = page->previews_shown;
    type_number(line->quantityNumberBox, "2");
    press(dialog, tr_key("save"));
    ASSERT_TRUE(wait_until([&] { return page->previews_shown > shown; }));
    EXPECT_EQ(Json(page->lines[1])["quantity"].number_value(), 2);
    EXPECT_EQ(Json(page->lines[1])["name"].string_value(), "Teaskanna");
    EXPECT_EQ(total_text(page), "\"Összesen 31 115 Ft\"");

    // Deleting the first line moves the others up; cancelling changes nothing but renders again.
    script(page->previewWebView, "document.querySelectorAll('.row_line')[0].click(); 1");
    shown = page->previews_shown;
    press(wait_for_dialog(), tr_key("delete"));
    ASSERT_TRUE(wait_until([&] { return page->previews_shown > shown; }));
    ASSERT_EQ(page->lines.size(), 2u);
    EXPECT_EQ(Json(page->lines[0])["name"].string_value(), "Teaskanna");
    script(page->previewWebView, "document.querySelectorAll('.row_line')[1].click(); 1");
    shown = page->previews_shown;
    press(wait_for_dialog(), tr_key("cancel"));
    ASSERT_TRUE(wait_until([&] { return page->previews_shown > shown; }));
    EXPECT_EQ(page->lines.size(), 2u);
    EXPECT_EQ(script(page->previewWebView, "document.querySelectorAll('.row_line').length"), "2");

    // Closing asks first while the document has lines: "cancel" keeps it, "discard" drops it.
    w->document_window->Close();
    dialog = wait_for_dialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->Title(), tr_key("discard"));
    EXPECT_EQ(dialog->ContentText(), tr_key("discard_text"));
    press(dialog, tr_key("cancel"));
    ASSERT_EQ(w->document_window, first_window);
    EXPECT_TRUE(w->document_window->isVisible());
    EXPECT_EQ(page->lines.size(), 2u);
    w->document_window->Close();
    press(wait_for_dialog(), tr_key("discard"));
    ASSERT_TRUE(wait_until([&] { return first_window.isNull(); })) << "the discarded window goes";
    EXPECT_EQ(w->document_window, nullptr);
    EXPECT_EQ(count_rows("SELECT COUNT(*) AS n FROM documents"), documents_before);
    EXPECT_EQ(count_rows("SELECT COUNT(*) AS n FROM document_lines"), lines_before);

    // A document without lines closes at once, and the next one with lines asks again.
    page = program.open(std::string(), "", false);
    ASSERT_NE(page, nullptr);
    first_window = w->document_window;
    first_window->Close();
    EXPECT_EQ(ui::ContentDialog::Current(), nullptr);
    ASSERT_TRUE(wait_until([&] { return first_window.isNull(); }));
    page = program.open(std::string(), "", false);
    ASSERT_NE(page, nullptr);
    add_line(page, "Egy", "1", "100");
    w->document_window->Close();
    press(wait_for_dialog(), tr_key("cancel"));
    EXPECT_TRUE(w->document_window);

    // Closing the main window asks for the open document too; "cancel" keeps both windows open.
    EXPECT_FALSE(w->Close());
    press(wait_for_dialog(), tr_key("cancel"));
    EXPECT_TRUE(w->document_window);
    EXPECT_NE(g_core, nullptr);
    // "discard" closes the document window and then the main window, Core last.
    EXPECT_FALSE(w->Close());
    press(wait_for_dialog(), tr_key("discard"));
    EXPECT_TRUE(wait_until([] { return g_core == nullptr; }));
}

TEST(DocumentEditor, DerivedCopiedAndStoredDocumentsOpenByTheirRules) {
    DemoProgram program;
    ASSERT_TRUE(program.ready());

    // An invoice made from an estimate carries its client and lines and refers to it.
    const Json estimate(store::rows(*g_core, "SELECT * FROM documents WHERE type = 'ESTIMATE' ORDER BY recordName").at(0));
    const std::string estimate_name = estimate["recordName"].string_value();
    const auto estimate_lines =
        store::rows(*g_core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id", {estimate_name});
    ASSERT_FALSE(estimate_lines.empty());
    Tavrin::DocumentPage* page = program.open(estimate_name, "INVOICE", false);
    ASSERT_NE(page, nullptr);
    Json doc(page->document);
    EXPECT_EQ(doc["type"].string_value(), "INVOICE");
    EXPECT_EQ(doc["client_name"], estimate["client_name"]);
    EXPECT_EQ(doc["reference_recordName"].string_value(), estimate_name);
    EXPECT_EQ(doc["reference_number_formatted"], estimate["number_formatted"]);
    EXPECT_TRUE(doc["recordName"].is_null());
    EXPECT_EQ(ui::utf8(page->numberTextBox->Text()), g_core->next_number_formatted("INVOICE"));
    EXPECT_FALSE(page->docTypesCombBox->IsEnabled());
    ASSERT_EQ(page->lines.size(), estimate_lines.size());
    for (std::size_t i = 0; i < estimate_lines.size(); ++i) {
        EXPECT_EQ(page->lines[i]["name"], Json(estimate_lines[i])["name"]);
        EXPECT_EQ(page->lines[i]["quantity"], Json(estimate_lines[i])["quantity"]);
        EXPECT_EQ(page->lines[i]["recordName"].string_value(), Json(estimate_lines[i])["itemRecordName"].string_value());
    }
    EXPECT_EQ(script(page->previewWebView, "document.querySelectorAll('.row_line').length"),
              std::to_string(estimate_lines.size()));
    EXPECT_EQ(script(page->previewWebView,
                     "document.body.innerText.indexOf(" + ui::qs(Json(estimate["client_name"]).dump()) + ") >= 0"),
              "true");
    program.close_document();

    // A storno of a reported invoice: negated amounts, the reference, the stored dates, not reported.
    const Json invoice(store::rows(*g_core, "SELECT * FROM documents WHERE recordName = 'INVOICE-2026-000004'").at(0));
    ASSERT_TRUE(store::run(*g_core, "UPDATE documents SET nav_status = 'DONE', nav_transaction_id = 'T1' WHERE recordName = ?",
                           {"INVOICE-2026-000004"}));
    const auto invoice_lines = store::rows(
        *g_core, "SELECT * FROM document_lines WHERE documentRecordName = 'INVOICE-2026-000004' ORDER BY id");
    page = program.open("INVOICE-2026-000004", "STORNO", false);
    ASSERT_NE(page, nullptr);
    doc = Json(page->document);
    EXPECT_EQ(doc["type"].string_value(), "INVOICE");
    EXPECT_EQ(doc["reference_recordName"].string_value(), "INVOICE-2026-000004");
    EXPECT_EQ(doc["reference_number_formatted"], invoice["number_formatted"]);
    EXPECT_EQ(doc["delivery_date"], invoice["delivery_date"]);
    EXPECT_EQ(doc["due_date"], invoice["due_date"]);
    EXPECT_EQ(doc["issue_date"].string_value(), iso_date(0));
    EXPECT_EQ(doc["nav_status"].string_value(), "");
    EXPECT_EQ(doc["nav_transaction_id"].string_value(), "");
    ASSERT_EQ(page->lines.size(), invoice_lines.size());
    for (std::size_t i = 0; i < invoice_lines.size(); ++i) {
        const Json source(invoice_lines[i]);
        ASSERT_NE(source["quantity"].number_value(), 0);
        EXPECT_EQ(page->lines[i]["quantity"].number_value(), -source["quantity"].number_value());
        EXPECT_EQ(page->lines[i]["gross_amount"].number_value(), -source["gross_amount"].number_value());
        EXPECT_EQ(page->lines[i]["price"].number_value(), source["price"].number_value()) << "prices stay";
    }
    EXPECT_EQ(script(page->previewWebView, "document.querySelector('.footer-total b').innerText.indexOf('-') >= 0"), "true");
    program.close_document();
    // A storno of stocked items gives the stock back: its hints add what comes back.
    page = program.open("INVOICE-2026-000005", "STORNO", false);
    ASSERT_NE(page, nullptr);
    const std::string hints = script(page->previewWebView, "[...document.querySelectorAll('td b i')].map(e => e.innerText).join('|')");
    EXPECT_NE(hints.find(" + 10 = "), std::string::npos) << hints;
    EXPECT_NE(hints.find(" + 4 = "), std::string::npos) << hints;
    EXPECT_EQ(hints.find(" - "), std::string::npos) << hints;
    program.close_document();

    // A copy keeps the type, gets a fresh number and no record name or reference.
    page = program.open("INVOICE-2026-000004", "", false);
    ASSERT_NE(page, nullptr);
    doc = Json(page->document);
    EXPECT_EQ(doc["type"].string_value(), "INVOICE");
    EXPECT_TRUE(doc["recordName"].is_null());
    EXPECT_EQ(doc["reference_recordName"].string_value(), "");
    EXPECT_NE(doc["number_formatted"], invoice["number_formatted"]);
    EXPECT_EQ(doc["number_formatted"].string_value(), g_core->next_number_formatted("INVOICE"));
    EXPECT_EQ(doc["delivery_date"].string_value(), iso_date(0));
    EXPECT_TRUE(page->docTypesCombBox->IsEnabled());
    program.close_document();

    // An invoice edited in place keeps its number: editing never moves the numbering on.
    page = program.open("INVOICE-2026-000004", "INVOICE", true);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(Json(page->document)["number"].number_value(), invoice["number"].number_value());
    EXPECT_EQ(Json(page->document)["number_formatted"], invoice["number_formatted"]);
    program.close_document();

    // An archived invoice edited in place stays archived, with its own number text and dates.
    const Json archive(store::rows(*g_core, "SELECT * FROM documents WHERE type = 'ARCHIVE_INVOICE' ORDER BY recordName").at(0));
    page = program.open(archive["recordName"].string_value(), "ARCHIVE_INVOICE", true);
    ASSERT_NE(page, nullptr);
    doc = Json(page->document);
    EXPECT_EQ(doc["type"].string_value(), "ARCHIVE_INVOICE");
    EXPECT_EQ(doc["number"].number_value(), 0);
    EXPECT_EQ(doc["recordName"], archive["recordName"]);
    EXPECT_EQ(doc["number_formatted"], archive["number_formatted"]);
    EXPECT_EQ(doc["issue_date"], archive["issue_date"]);
    EXPECT_EQ(doc["due_date"], archive["due_date"]);
    EXPECT_FALSE(page->docTypesCombBox->IsEnabled());
    // It is shown and printed as an invoice: its template buttons and line notes are the invoices'.
    const Json::array invoice_note{Json::object{{"id", "1"}, {"name", "Garancia"}, {"note", "Két év"}, {"type", "INVOICE"}}};
    ASSERT_TRUE(g_core->save_record({{"recordName", "line_notes"}, {"value", Json(invoice_note).dump()}, {"synced", 0}}, "settings"));
    QTest::mouseClick(page->templateNextButton, Qt::LeftButton);
    EXPECT_EQ(g_core->setting("templates")["INVOICE"].string_value(), "002");
    EXPECT_TRUE(g_core->setting("templates")["ARCHIVE_INVOICE"].is_null());
    ASSERT_TRUE(wait_until([&] { return Json(page->document)["template"].string_value() == "002"; }));
    ASSERT_FALSE(page->lines.empty());
    script(page->previewWebView, "document.querySelectorAll('.row_line')[0].click(); 1");
    ui::ContentDialog* notes_dialog = wait_for_dialog();
    ASSERT_NE(line_dialog(notes_dialog), nullptr);
    QTest::mouseClick(line_dialog(notes_dialog)->notesButton, Qt::LeftButton);
    EXPECT_EQ(line_dialog(notes_dialog)->notesMenuFlyout->actions().size(), 1);
    line_dialog(notes_dialog)->notesMenuFlyout->hide();
    press(notes_dialog, tr_key("cancel"));
    program.close_document();

    // A foreign-currency document copied with the rate of its own earlier delivery date gets the rate
    // of the copy's delivery date.
    const Json euro(store::rows(*g_core, "SELECT * FROM documents WHERE currency_code = 'EUR' ORDER BY recordName").at(0));
    ASSERT_NE(euro["delivery_date"].string_value(), iso_date(0));
    program.rates().add_rate(iso_date(0), "EUR", "392,75");
    page = program.open(euro["recordName"].string_value(), "", false);
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(wait_until([&] { return Json(page->document)["exchange_rate"].number_value() == 392.75; }));
    EXPECT_EQ(Json(page->document)["currency_code"].string_value(), "EUR");
    program.close_document();

    // A record name that names nothing (an apostrophe in it included) opens a new document.
    page = program.open("NO-SUCH-'DOCUMENT", "INVOICE", false);
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(page->loaded);
    EXPECT_TRUE(page->lines.empty());
    EXPECT_EQ(Json(page->document)["type"].string_value(), "INVOICE");
    EXPECT_EQ(Json(page->document)["number_formatted"].string_value(), g_core->next_number_formatted("INVOICE"));
    program.close_document();

    // A stored date too short to read leaves a working page with today in its picker.
    ASSERT_TRUE(store::run(*g_core, "UPDATE documents SET delivery_date = '2026-1' WHERE recordName = 'INVOICE-2026-000004'"));
    page = program.open("INVOICE-2026-000004", "STORNO", false);
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(page->loaded);
    EXPECT_EQ(Json(page->document)["delivery_date"].string_value(), iso_date(0));
    EXPECT_EQ(Json(page->document)["due_date"], invoice["due_date"]);
    program.close_document();

    // A purchase receipt from an order: purchase lines, not negated; the line dialog shows purchase prices.
    const Json order(store::rows(*g_core, "SELECT * FROM documents WHERE type = 'PURCHASE_ORDER' ORDER BY recordName").at(0));
    page = program.open(order["recordName"].string_value(), "PURCHASE_RECEIVE", false);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(Json(page->document)["type"].string_value(), "PURCHASE_RECEIVE");
    ASSERT_FALSE(page->lines.empty());
    EXPECT_GT(page->lines[0]["quantity"].number_value(), 0);
    script(page->previewWebView, "document.querySelectorAll('.row_line')[0].click(); 1");
    ui::ContentDialog* dialog = wait_for_dialog();
    Tavrin::LineDlg* line = line_dialog(dialog);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->priceNumberBox->Header(), tr_key("purchase_price"));
    EXPECT_FALSE(line->priceTypesCombBox->IsEnabled());
    EXPECT_EQ(line->priceTypesCombBox->SelectedIndex(), 0);
    EXPECT_EQ(ui::GetVisibility(line->discountNumberBox), ui::Visibility::Collapsed);
    EXPECT_EQ(line->itemTypesCombBox->Size(), 3) << "a line from an item offers stock tracking too";
    press(dialog, tr_key("cancel"));
    program.close_document();

    // Empty language and currency lists leave nothing to choose, and the preview still renders.
    for (const char* key : {"languages", "currencies"})
        ASSERT_TRUE(g_core->save_record({{"recordName", key}, {"value", "[]"}, {"synced", 0}}, "settings"));
    page = program.open(std::string(), "", false);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->languagesCombBox->SelectedIndex(), -1);
    EXPECT_EQ(Json(page->document)["language_code"].string_value(), "");
    EXPECT_EQ(Json(page->document)["currency_code"].string_value(), "");
    add_line(page, "Munkadij", "1", "1000");
    EXPECT_EQ(script(page->previewWebView, "document.querySelectorAll('.row_line').length"), "1");

    // Ending the process closes both windows without a question; the open document is dropped.
    program.window->CloseDroppingDocument();
    EXPECT_EQ(ui::ContentDialog::Current(), nullptr);
    EXPECT_EQ(program.window->document_window, nullptr);
    EXPECT_EQ(g_core, nullptr);
}

TEST(DocumentEditor, SelectorsOptionsAndTheTaskRepetitionEditor) {
    DemoProgram program;
    ASSERT_TRUE(program.ready());
    Tavrin::DocumentPage* page = program.open(std::string(), "", false);
    ASSERT_NE(page, nullptr);

    // The payment method changed with the keys, its list closed, reaches the preview with its bank line.
    const Json payments = g_core->setting("payments");
    page->document["client_name"] = "Próba Vevő";  // a document without a client shows no parties
    page->RefreshDocument();
    const QString transfer_bank = ui::qs("document.body.innerText.indexOf('" + payments[0]["bank"].string_value() + "') >= 0");
    ASSERT_EQ(wait_for_script(page->previewWebView, transfer_bank, "true"), "true");
    QTest::keyClick(page->paymentsCombBox->List(), Qt::Key_Down);
    ASSERT_TRUE(wait_until([&] { return Json(page->document)["payment_id"] == payments[1]["id"]; }));
    EXPECT_EQ(wait_for_script(page->previewWebView, transfer_bank, "false"), "false");

    // A foreign currency shows the rate box with the rate of the delivery date; a typed one
    // reaches the document. Chosen again after the home currency, it is fetched again.
    program.rates().add_rate(iso_date(0), "EUR", "391,25");
    for (int round = 0; round < 2; ++round) {
        choose(page->currenciesCombBox, 0);
        choose(page->currenciesCombBox, 1);
        EXPECT_EQ(ui::GetVisibility(page->exchangeRateNumberBox), ui::Visibility::Visible);
        ASSERT_TRUE(wait_until([&] { return Json(page->document)["exchange_rate"].number_value() == 391.25; })) << round;
        page->exchangeRateNumberBox->Value(1.0);
    }
    EXPECT_EQ(program.rates().queries().size(), 2u);
    std::int64_t shown = page->previews_shown;
    type_number(page->exchangeRateNumberBox, "391,5");
    ASSERT_TRUE(wait_until([&] { return page->previews_shown > shown; }));
    EXPECT_EQ(Json(page->document)["exchange_rate"].number_value(), 391.5);
    EXPECT_EQ(Json(page->document)["currency_code"].string_value(), "EUR");
    // Another delivery date: the typed rate is not replaced unasked. Kept, it stays; asked for, the
    // date's rate comes; a fetched rate then follows the date unasked.
    const QDate today = *Tavrin::stored_date(iso_date(0));
    const std::string later = ui::utf8(today.addDays(3).toString(Qt::ISODate));
    program.rates().add_rate(later, "EUR", "395,5");
    const std::size_t queries = program.rates().queries().size();
    for (const bool fetch : {false, true}) {
        page->deliveryDatePicker->Date(today.addDays(fetch ? 3 : 1));
        ui::ContentDialog* asked = wait_for_dialog();
        ASSERT_NE(asked, nullptr);
        EXPECT_NE(asked->ContentText().indexOf("391"), -1) << ui::utf8(asked->ContentText());
        press(asked, ui::qs(fetch ? Tavrin::own_text("Új árfolyam lekérése", "Fetch the new rate")
                                  : Tavrin::own_text("Beírt árfolyam marad", "Keep the typed rate")));
    }
    ASSERT_TRUE(wait_until([&] { return Json(page->document)["exchange_rate"].number_value() == 395.5; }));
    EXPECT_EQ(program.rates().queries().size(), queries + 1) << "the kept rate asked for nothing";
    EXPECT_EQ(program.rates().queries().back().end_date, later);
    page->deliveryDatePicker->Date(today);
    ASSERT_TRUE(wait_until([&] { return Json(page->document)["exchange_rate"].number_value() == 391.25; }));
    choose(page->currenciesCombBox, 0);
    EXPECT_EQ(ui::GetVisibility(page->exchangeRateNumberBox), ui::Visibility::Collapsed);
    ASSERT_TRUE(wait_until([&] { return Json(page->document)["exchange_rate"].number_value() == 1.0; }));

    ui::ContentDialog* dialog = nullptr;

    // The layout template steps round the five and is kept per type.
    ASSERT_EQ(g_core->setting("templates")["INVOICE"].string_value(), "001");
    QTest::mouseClick(page->templatePreviousButton, Qt::LeftButton);
    EXPECT_EQ(g_core->setting("templates")["INVOICE"].string_value(), "005");
    ASSERT_TRUE(wait_until([&] { return Json(page->document)["template"].string_value() == "005"; }));
    QTest::mouseClick(page->templateNextButton, Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return Json(page->document)["template"].string_value() == "001"; }));
    EXPECT_EQ(g_core->setting("templates")["ESTIMATE"].string_value(), "001");

    // The line dialog's notes menu offers the notes of the document's type; one replaces the description.
    const Json::array notes{Json::object{{"id", "1"}, {"name", "Garancia"}, {"note", "Két év garancia"}, {"type", "INVOICE"}},
                            Json::object{{"id", "2"}, {"name", "Szállítás"}, {"note", "Házhoz"}, {"type", "ESTIMATE"}}};
    ASSERT_TRUE(g_core->save_record({{"recordName", "line_notes"}, {"value", Json(notes).dump()}, {"synced", 0}}, "settings"));
    QTest::mouseClick(page->newLineButton, Qt::LeftButton);
    dialog = wait_for_dialog();
    Tavrin::LineDlg* line = line_dialog(dialog);
    ASSERT_NE(line, nullptr);
    type_text(line->descriptionTextBox, "mas");
    QTest::mouseClick(line->notesButton, Qt::LeftButton);
    ASSERT_EQ(line->notesMenuFlyout->actions().size(), 1);
    EXPECT_EQ(line->notesMenuFlyout->actions()[0]->text().toStdString(), "Garancia");
    line->notesMenuFlyout->actions()[0]->trigger();
    EXPECT_EQ(ui::utf8(line->descriptionTextBox->Text()), "Két év garancia");
    line->notesMenuFlyout->hide();
    type_text(line->nameTextBox, "Munkadij");
    shown = page->previews_shown;
    press(dialog, tr_key("save"));
    // Another refresh may show the preview first: the line is waited for too.
    ASSERT_TRUE(wait_until([&] { return !page->lines.empty() && page->previews_shown > shown; }));
    EXPECT_EQ(Json(page->lines.at(0))["description"].string_value(), "Két év garancia");

    // An emptied rate box shows the home-currency amounts as missing, not as 0 Ft.
    choose(page->currenciesCombBox, 1);
    ASSERT_TRUE(wait_until([&] { return page->exchangeRateNumberBox->Value() == 391.25; }));
    shown = page->previews_shown;
    type_number(page->exchangeRateNumberBox, "");
    ASSERT_TRUE(wait_until([&] { return page->previews_shown > shown && std::isnan(Json(page->document)["exchange_rate"].number_value()); }));
    EXPECT_EQ(wait_for_script(page->previewWebView, "document.body.innerText.indexOf('\u2014 Ft') >= 0", "true"), "true");
    // The rate itself is shown as missing too.
    EXPECT_EQ(script(page->previewWebView, "/\\bnan\\b/i.test(document.body.innerText)"), "false");
    EXPECT_EQ(script(page->previewWebView, "document.body.innerText.indexOf(': \u2014') >= 0"), "true");
    choose(page->currenciesCombBox, 0);

    // The header note editor: white space runs become one blank; the preview shows the note.
    shown = page->previews_shown;
    QTest::mouseClick(page->headerNoteButton, Qt::LeftButton);
    dialog = wait_for_dialog();
    auto* note_box = dialog ? qobject_cast<ui::TextBox*>(dialog->ContentWidget()) : nullptr;
    ASSERT_NE(note_box, nullptr);
    EXPECT_EQ(dialog->Title(), tr_key("header_note"));
    note_box->Text("  Fizetés   30 napon belül \t `${x}` ");
    press(dialog, tr_key("save"));
    ASSERT_TRUE(wait_until([&] { return page->previews_shown > shown; }));
    // An earlier refresh may still land first: the note's own one is waited for.
    wait_until([&] { return !Json(page->document)["header_note"].string_value().empty(); });
    EXPECT_EQ(Json(page->document)["header_note"].string_value(), "Fizetés 30 napon belül `${x}`");
    EXPECT_EQ(wait_for_script(page->previewWebView, "document.body.innerText.indexOf('30 napon belül `${x}`') >= 0", "true"),
              "true")
        << "a backquote and ${ in the document reach the preview as text";

    // A task: the repetition button replaces the delivery date, the number is a dated name.
    const Json::array types = g_core->constants["doc_types"].array_items();
    const int task = index_of(types, "id", "TASK");
    choose(page->docTypesCombBox, task);
    EXPECT_EQ(ui::GetVisibility(page->taskRepeatButton), ui::Visibility::Visible);
    EXPECT_EQ(ui::GetVisibility(page->deliveryDatePicker), ui::Visibility::Collapsed);
    ASSERT_TRUE(wait_until([&] { return Json(page->document)["type"].string_value() == "TASK"; }));
    EXPECT_TRUE(page->numberTextBox->IsEnabled());
    EXPECT_EQ(page->headerNotesCombBox->Size(), 0) << "the sample has notes for invoices only";
    // The notes the task keeps, which its preview shows, are what its empty selectors show.
    EXPECT_EQ(ui::utf8(page->headerNotesCombBox->List()->placeholderText()), "Fizetés 30 napon belül `${x}`");
    EXPECT_EQ(ui::utf8(page->footerNotesCombBox->List()->placeholderText()), "Köszönjük!");
    EXPECT_EQ(page->deliveryDatePicker->Header(), tr_key("from_date"));

    // The repetition editor, in both languages: each choice rewrites the rule and its description.
    for (const char* language : {"hu", "en"}) {
        g_core->language = language;
        QTest::mouseClick(page->taskRepeatButton, Qt::LeftButton);
        dialog = wait_for_dialog();
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->Title(), tr_key("repeat"));
        auto* days = dialog->findChild<ui::ComboBox*>("repeatDaysCombBox");
        auto* months = dialog->findChild<ui::ComboBox*>("repeatMonthsCombBox");
        auto* description = dialog->findChild<ui::TextBlock*>("repeatDescriptionText");
        ASSERT_TRUE(days && months && description);
        ASSERT_EQ(days->Size(), 50);
        ASSERT_EQ(months->Size(), 13);
        const std::string every_month = g_core->translated("every_month", "");
        const std::string jan = g_core->month_names[1], may = g_core->month_names[4];

        choose(months, 3);  // no day yet: the month choice goes back
        EXPECT_EQ(months->SelectedIndex(), 0);
        choose(days, 3);
        EXPECT_EQ(Json(page->document)["task_repeat"].string_value(), R"({"day": 3, "day_type": "day", "months": []})");
        EXPECT_EQ(ui::utf8(description->Text()), every_month + " 3.");
        choose(months, 2);
        choose(months, 5);
        EXPECT_EQ(Json(page->document)["task_repeat"].string_value(), R"({"day": 3, "day_type": "day", "months": [1, 4]})");
        EXPECT_EQ(ui::utf8(description->Text()), jan + " 3, " + may + " 3");
        choose(months, 2);  // chosen again: taken out
        EXPECT_EQ(ui::utf8(description->Text()), may + " 3");
        choose(days, 29);  // every first weekday of the week, in the months chosen
        const std::string weekday = g_core->weekday_names[0].begin()->second;
        EXPECT_EQ(ui::utf8(description->Text()), may + " " + g_core->translated("every", "") + " " + weekday);
        choose(months, 0);
        EXPECT_EQ(ui::utf8(description->Text()), every_month + ", " + g_core->translated("every", "") + " " + weekday);
        choose(days, 0);
        EXPECT_EQ(Json(page->document)["task_repeat"].string_value(), "");
        EXPECT_EQ(ui::utf8(description->Text()), g_core->translated("no_repeat", ""));
        choose(days, 3);
        choose(months, 2);
        choose(months, 5);
        press(dialog, tr_key("ok"));
        const QDate next = QDateTime::fromSecsSinceEpoch(g_core->next_repeat_date(
                                                             Json(page->document)["task_repeat"].string_value()))
                               .date();
        EXPECT_TRUE(wait_until([&] { return page->dueDatePicker->Date() == next; }));
        EXPECT_FALSE(page->dueDatePicker->IsEnabled());

        // Opened again, the editor shows the rule's day and first month.
        QTest::mouseClick(page->taskRepeatButton, Qt::LeftButton);
        dialog = wait_for_dialog();
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->findChild<ui::ComboBox*>("repeatDaysCombBox")->SelectedIndex(), 3);
        EXPECT_EQ(dialog->findChild<ui::ComboBox*>("repeatMonthsCombBox")->SelectedIndex(), 2);
        choose(dialog->findChild<ui::ComboBox*>("repeatDaysCombBox"), 0);
        press(dialog, tr_key("ok"));
        EXPECT_TRUE(wait_until([&] { return page->dueDatePicker->IsEnabled(); }));
        EXPECT_EQ(page->dueDatePicker->Date(), Tavrin::stored_date(iso_date(0)));
    }
    g_core->language = "hu";
}
