// Saving from the document editor against the loopback cloud, tax authority, accounting service and
// exchange-rate service: a new invoice goes through the page's Save button and its dialogs, and is
// checked at the end in the database, in the fakes, in its PDF and on a second installation.
#include "tests/fakes/cashbook_fake.h"
#include "tests/fakes/cloud_store.h"
#include "tests/fakes/nav_fake.h"
#include "tests/fakes/rates_fake.h"
#include "tests/test_support.h"
#include "tests/ui/dialog_driver.h"
#include "tests/ui/ui_test_support.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "app/editor/DocumentPage.h"
#include "core/Core.h"
#include "core/nav/xml.h"
#include "core/nav/report_internal.h"
#include "core/store/store_internal.h"
#include "ui/Application.h"
#include "ui/Pickers.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest/QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <cstdio>
#include <set>
#include <thread>

#include <unistd.h>

using json11::Json;
using uitest::Dialogs;
using uitest::wait_until;
using Result = ui::ContentDialogResult;

namespace {

const std::string kAccount = "5B6C7D8E-9F0A-4B1C-8D2E-3F4A5B6C7D8E";
constexpr std::time_t kNow = 1772362800;  // 2026-03-01 12:00 in Budapest
const std::string kSchemaDir = std::string(TAVRIN_TEST_DATA) + "/../../resources/nav/";
// The company's e-mail and phone as the supplier block shows them.
constexpr const char* kContacts = "info@kiss.hu, +36 1 234 5678";

std::string text(const char* key) {
    return g_core->translated(key, "");
}

int count(Core& core, const std::string& sql) {
    return store::rows(core, sql).front().begin()->second.int_value();
}

std::string nowhere() {
    FakeServer gone;
    return gone.url();
}

// Pages of a PDF file, as the PDF tools count them.
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

// Waits off the UI thread for `condition`, for `limit_ms` at most.
bool wait_off_ui(const std::function<bool()>& condition, int limit_ms = 20000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class DocumentSave : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return kNow; });
        cloud.create_zone(kAccount);
        cloud.put_row("_defaultZone", "Settings", "accounts",
                      Json(Json::array{Json::object{{"id", kAccount}, {"name", "Mentő Kft."}}}));
        g_core = make_core(data, "hu").release();
        prepare(*g_core);
        nav.add_user(user);
        Json::object supplier = g_core->setting("supplier").object_items();
        for (const auto& [key, value] :
             {std::pair{"name", "Mentő Kft."}, {"identifier_number", "12345678-2-42"}, {"postcode", "1234"},
              {"city", "Budapest"}, {"street", "Fő utca 1"}, {"email", "info@kiss.hu"}, {"phone", "+36 1 234 5678"},
              {"nav_user_id", user.login.c_str()},
              {"nav_user_pwd", user.password.c_str()}, {"nav_xml_alairokulcs", user.signing_key.c_str()},
              {"nav_xml_cserekulcs", user.exchange_key.c_str()}})
            supplier[key] = value;
        write("supplier", supplier);
        write("defaults", Json::object{{"inventory_profit", "profit_fifo"}, {"accounting", "cashbook_tok-123_0001"}});
        Json::array currencies = g_core->setting("currencies").array_items();
        Json::object eur = currencies.at(0).object_items();
        eur["code"] = "EUR";
        currencies.push_back(eur);
        write("currencies", currencies);
        // The company's own account in place of the sample of a new account's transfer method.
        write("payments", with_bank("Mentő Bank 11773016-11111111"));
        // Everything set up so far is in the cloud before the window starts.
        g_core->sync_start(empty_completion());
    }

    void TearDown() override {
        if (window) {
            if (Tavrin::DocumentPage* p = page()) p->lines.clear();
            window->Close();
            delete window;
        }
        g_main_window = nullptr;
        ui::ThreadPool::WaitForIdle();
        delete g_core;
        g_core = nullptr;
        set_clock({});
    }

    static void prepare(Core& core) {
        core.current_account = kAccount;
        core.open_database();
        core.save_web_auth_token("session");
    }

    // The payment methods with the transfer method's bank account.
    static Json::array with_bank(const std::string& bank) {
        Json::array payments = g_core->setting("payments").array_items();
        Json::object transfer = payments.at(0).object_items();
        transfer["bank"] = bank;
        payments[0] = transfer;
        return payments;
    }

    static void write(const std::string& key, const Json& value) {
        ASSERT_TRUE(g_core->save_record({{"recordName", key}, {"value", value.dump()}, {"synced", 0}}, "settings"));
    }

    void start() {
        window = new Tavrin::MainWindow;
        g_main_window = window;
        window->Activate();
        ASSERT_TRUE(wait_until([&] {
            const ui::NavigationViewItem* item = window->navigationView->SelectedItem();
            return item && ui::Name(item) == "INVOICE" && !window->navigationView->isHidden();
        }));
        ASSERT_TRUE(wait_until([] { return ui::ThreadPool::ActiveCount() == 0; }));
    }

    Tavrin::DocumentPage* page() const {
        return window->document_window ? qobject_cast<Tavrin::DocumentPage*>(window->document_window->Content()) : nullptr;
    }

    // A new invoice with a client and `count` lines, rendered.
    Tavrin::DocumentPage* new_invoice(int count = 2) {
        window->OpenDocumentWindow(QString(), QString(), false, std::string());
        Tavrin::DocumentPage* p = page();
        if (!p || !wait_until([&] { return p->previews_shown > 0; })) return nullptr;
        for (const auto& [key, value] :
             {std::pair{"clientRecordName", "C1A2B3C4-D5E6-4F70-8192-A3B4C5D6E7F8"}, {"client_name", "Vevő Anna"},
              {"client_status", "PRIVATE_PERSON"}, {"client_country_code", "HU"}, {"client_postcode", "1111"},
              {"client_city", "Budapest"}, {"client_street", "Kő utca 2"}})
            p->document[key] = value;
        const Json taxes = g_core->setting("taxes");
        const Json units = g_core->setting("units");
        for (int i = 0; i < count; ++i)
            p->lines.push_back(Json::object{{"name", "Tétel " + std::to_string(i + 1)}, {"quantity", i + 1},
                                            {"price", 1000 * (i + 1)}, {"price_type", "NET"}, {"type", "SERVICE"},
                                            {"tax_id", taxes[0]["id"]}, {"unit_id", units[0]["id"]}});
        const std::int64_t shown = p->previews_shown;
        p->RefreshDocument();
        if (!wait_until([&] { return p->previews_shown > shown; })) return nullptr;
        return p;
    }

    // Clicks Save and confirms; returns the saving dialog once it shows its result (or its error).
    ui::ContentDialog* save(Tavrin::DocumentPage* p) {
        dialogs.answers.push_back([](ui::ContentDialog&) { return Result::Primary; });
        dialogs.answers.push_back([this](ui::ContentDialog& d) -> std::optional<Result> {
            saving_title = d.Title().toStdString();
            return std::nullopt;
        });
        QTest::mouseClick(p->saveButton, Qt::LeftButton);
        const QString ok = ui::qs(text("ok"));
        if (!wait_until([&] {
                ui::ContentDialog* d = ui::ContentDialog::Current();
                return d && d->PrimaryButtonText() == ok && dialogs.answers.empty();
            }))
            return nullptr;
        return ui::ContentDialog::Current();
    }

    // Saves a new invoice of one line: the text of its result, once the result is closed.
    std::string saved_new_invoice() {
        Tavrin::DocumentPage* p = new_invoice(1);
        ui::ContentDialog* dialog = p ? save(p) : nullptr;
        if (!dialog) return "";
        const std::string told = dialog->ContentText().toStdString();
        close_result(dialog, Result::Primary);
        return told;
    }

    // Clicks Save on a document that cannot be saved: the text that says why, once its dialog is closed.
    std::string refused_save(Tavrin::DocumentPage* p) {
        std::string told;
        dialogs.answers.push_back([&told](ui::ContentDialog& d) {
            told = d.ContentText().toStdString();
            return Result::None;
        });
        QTest::mouseClick(p->saveButton, Qt::LeftButton);
        if (!wait_until([&] { return !told.empty() && ui::ContentDialog::Current() == nullptr && !p->save_in_flight; }))
            return "";
        return told;
    }

    // Closes the document window and cancels the question it asks: its title, text and buttons.
    std::string close_asked() {
        std::string asked;
        dialogs.answers.push_back([&asked](ui::ContentDialog& d) {
            asked = ui::utf8(d.Title() + "|" + d.ContentText());
            for (const QPushButton* button : d.findChildren<QPushButton*>()) asked += "|" + ui::utf8(button->text());
            return Result::None;
        });
        window->document_window->Close();
        return wait_until([&] { return !asked.empty() && ui::ContentDialog::Current() == nullptr; }) ? asked : "";
    }

    // The program ends and starts again on the same data folder.
    void restart() {
        close_program();
        start_again();
    }

    void start_again() {
        g_core = make_core(data, "hu").release();
        prepare(*g_core);
        start();
    }

    // The user closes the main window with its title bar's button: true once the program has ended.
    bool ended_by_close() {
        window->Close();
        if (!wait_until([] { return g_core == nullptr; })) return false;
        delete window;
        window = nullptr;
        g_main_window = nullptr;
        ui::ThreadPool::WaitForIdle();
        return true;
    }

    // The first sync pass's download of changes answers only after `delay` (a slow cloud, a busy machine).
    void slow_change_downloads(std::chrono::milliseconds delay) {
        cloud.set_fault_policy([delay](const std::string& endpoint) -> std::optional<CloudStore::FaultChoice> {
            if (endpoint == "changes/zone") std::this_thread::sleep_for(delay);
            return std::nullopt;
        });
    }

    // Reports the page's invoice from the core with its reply lost, the authority still processing it.
    NavReport report_left_waiting(Tavrin::DocumentPage* p) {
        nav.set_processing_delay(std::chrono::hours(1));
        nav.fault_next_replies(NavReplyFault::drop);
        ScopedEnv quick("TAVRIN_NAV_SETTLE_SECONDS", "0");
        const NavReport report = g_core->nav_report_invoice(p->lines, p->document);
        p->lines.clear();
        return report;
    }

    // Other software of the same technical user reports the page's number with other content (the
    // first line's quantity).
    void other_software_reports(Tavrin::DocumentPage* p, int quantity) {
        std::vector<Json> lines = p->lines;
        Json::object first = lines.at(0).object_items();
        first["quantity"] = quantity;
        lines.at(0) = first;
        nav.add_foreign_submission(user.login, "CREATE", g_core->nav_invoice_payload(lines, p->document).data);
    }

    // Closes the page's window (nothing left on it to ask about).
    bool close_page() {
        window->document_window->Close();
        return wait_until([&] { return page() == nullptr; });
    }

    static int stored_as(Core& core, const std::string& number) {
        return count(core, "SELECT COUNT(*) FROM documents WHERE number_formatted = '" + number + "'");
    }

    // The program ends; restart starts it again.
    void close_program() {
        if (window) {
            window->CloseDroppingDocument();
            delete window;
            window = nullptr;
        }
        g_main_window = nullptr;
        ui::ThreadPool::WaitForIdle();
        delete g_core;
        g_core = nullptr;
    }

    // Closes the result with a button; the document window goes.
    void close_result(ui::ContentDialog* dialog, Result button) {
        QPointer<ui::Window> editor = window->document_window;
        dialog->Answer(button);
        ASSERT_TRUE(wait_until([&] { return editor.isNull() && ui::ContentDialog::Current() == nullptr; }));
    }

    std::vector<std::string> reported_ids() const {
        std::vector<std::string> ids;
        for (const NavCall& call : nav.calls())
            if (call.operation == "manageInvoice" && call.error_code.empty()) ids.push_back(call.request_id);
        return ids;
    }

    // Each stored invoice's number beside the number the tax authority received in its transaction.
    std::vector<std::pair<std::string, std::string>> stored_and_reported_numbers() const {
        std::vector<std::pair<std::string, std::string>> numbers;
        for (const auto& row : store::rows(*g_core, "SELECT number_formatted, nav_transaction_id FROM documents "
                                                    "WHERE type = 'INVOICE' AND nav_transaction_id <> ''")) {
            const Json invoice(row);
            const NavTransaction sent = nav.transaction(invoice["nav_transaction_id"].string_value());
            std::string xml = sent.invoices.empty() ? std::string() : sent.invoices.front().second;
            xml.resize(base64_decode(xml.size(), xml.data()));
            const std::size_t from = xml.find("<invoiceNumber>");
            const std::size_t to = xml.find("</invoiceNumber>");
            numbers.emplace_back(invoice["number_formatted"].string_value(),
                                 from == std::string::npos || to == std::string::npos ? std::string()
                                                                                      : xml.substr(from + 15, to - from - 15));
        }
        return numbers;
    }

    TempDir dir;
    const std::string data = dir.path() + "data/";
    CloudStore cloud;
    NavFake nav{std::string(TAVRIN_TEST_DATA) + "/nav"};
    CashbookFake cashbook{"tok-123"};
    RatesFake rates;
    const NavUser user{"mentouser01", "Titok-Jelszo1", "ce-8f5e-215119fa7dd621DLMRHRLH2S", "CE8F5E215119FA7D", "12345678"};
    ScopedEnv env{[this] {
        ScopedEnv::Values values = cloud.env();
        for (const auto& v : nav.env()) values.push_back(v);
        for (const auto& v : cashbook.env()) values.push_back(v);
        for (const auto& v : rates.env()) values.push_back(v);
        values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:1");
        values.emplace_back("TAVRIN_SCHEMA_DIR", kSchemaDir);
        values.emplace_back("TAVRIN_NAV_SETTLE_SECONDS", "5");
        // A copy of a request is on its way for at most this long (and a margin) after it went out.
        values.emplace_back("TAVRIN_NAV_REQUEST_SECONDS", "2");
        return values;
    }()};
    Dialogs dialogs;
    Tavrin::MainWindow* window = nullptr;
    std::string saving_title;
};

TEST_F(DocumentSave, NewInvoiceIsStoredReportedPrintedUploadedMarkedPaidAndSeenByASecondInstallation) {
    start();
    Tavrin::DocumentPage* p = new_invoice(2);
    ASSERT_NE(p, nullptr);
    const std::string number = Json(p->document)["number_formatted"].string_value();
    ASSERT_FALSE(number.empty());

    // The first pass is held in the cloud: a second click and a close of the window meanwhile do nothing.
    cloud.hold("changes/zone");
    dialogs.answers.push_back([](ui::ContentDialog&) { return Result::Primary; });
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    QTest::mouseClick(p->saveButton, Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return cloud.wait_held(std::chrono::milliseconds(0)); }));
    QTest::mouseClick(p->saveButton, Qt::LeftButton);
    ui::ContentDialog* saving = ui::ContentDialog::Current();
    ASSERT_NE(saving, nullptr);
    EXPECT_EQ(saving->Title().toStdString(), number);
    EXPECT_EQ(saving->ContentText().toStdString(), text("saving"));
    EXPECT_TRUE(saving->PrimaryButtonText().isEmpty());
    QTest::keyClick(saving, Qt::Key_Escape);
    window->document_window->Close();
    EXPECT_EQ(ui::ContentDialog::Current(), saving) << "the saving dialog cannot be closed";
    EXPECT_TRUE(window->document_window && window->document_window->isVisible());
    // The page renders on; the worker has its own copy.
    p->RefreshDocument();
    cloud.release();

    ASSERT_TRUE(wait_until([&] { return saving->PrimaryButtonText() == ui::qs(text("ok")); }));
    EXPECT_EQ(dialogs.shown, 2) << "one confirmation and one saving dialog";
    EXPECT_EQ(saving->ContentText().toStdString(), text("saving_successful"));
    // The preview's pages, as the page-break script made them, are the pages of the PDF.
    const std::string preview_pages =
        uitest::script(p->previewWebView, "document.querySelectorAll('div.page').length");
    close_result(saving, Result::Secondary);

    Core& core = *g_core;
    const auto stored = store::rows(core, "SELECT * FROM documents WHERE type = 'INVOICE'");
    ASSERT_EQ(stored.size(), 1u);
    const Json doc(stored.front());
    const std::string name = doc["recordName"].string_value();
    EXPECT_EQ(doc["number_formatted"].string_value(), number);
    EXPECT_EQ(doc["number"].int_value(), 1);
    EXPECT_EQ(count(core, "SELECT COUNT(*) FROM document_lines WHERE documentRecordName = '" + name + "'"), 2);

    // Reported once, with data that the shipped schemas accept; its transaction id is kept.
    ASSERT_EQ(reported_ids().size(), 1u);
    const std::string transaction = doc["nav_transaction_id"].string_value();
    const NavTransaction reported = nav.transaction(transaction);
    ASSERT_EQ(reported.invoices.size(), 1u);
    std::string invoice_data = reported.invoices[0].second;
    invoice_data.push_back('\0');
    invoice_data.resize(base64_decode(invoice_data.size() - 1, invoice_data.data()));
    std::string problem;
    EXPECT_TRUE(core.validate_invoice_xml(invoice_data, &problem)) << problem;
    EXPECT_NE(invoice_data.find("<invoiceNumber>" + number + "</invoiceNumber>"), std::string::npos);

    // The PDF of the saved document went to the accounting service with its data.
    const std::string pdf = data + "tmp/" + Tavrin::pdf_file_name(number) + ".pdf";
    ASSERT_TRUE(std::filesystem::exists(pdf));
    EXPECT_EQ(std::to_string(pdf_pages(pdf)), preview_pages);
    ASSERT_EQ(cashbook.request_count(), 1u);
    EXPECT_EQ(cashbook.requests()[0].header("Authorization"), "Bearer tok-123");
    EXPECT_NE(cashbook.requests()[0].body.find(base64_encode(read_file(pdf))), std::string::npos);

    // Paid once, and the mark goes up; the main window shows the document in a new selected tab.
    EXPECT_EQ(window->tabView->SelectedItem()->Header().toStdString(), number);
    EXPECT_EQ(ui::TagText(window->tabView->SelectedItem()->Tag()), name);
    ASSERT_TRUE(wait_until([&] {
        return count(core, "SELECT COUNT(*) FROM documents WHERE paid = 1 AND synced > 0") == 1 &&
               ui::ThreadPool::ActiveCount() == 0;
    }));
    EXPECT_EQ(cloud.row(kAccount, name)["paid"].int_value(), 1);

    // A second installation of the account sees the invoice with its lines.
    TempDir other;
    auto second = make_core(other.path() + "data/", "hu");
    prepare(*second);
    second->sync_start(empty_completion());
    EXPECT_EQ(count(*second, "SELECT COUNT(*) FROM documents WHERE recordName = '" + name + "' AND paid = 1"), 1);
    EXPECT_EQ(count(*second, "SELECT COUNT(*) FROM document_lines WHERE documentRecordName = '" + name + "'"), 2);
    // It prints there, and its storno here, with the supplier's contacts it was issued with.
    Json::array downloaded_lines;
    for (Json::object& line : store::rows(*second, "SELECT * FROM document_lines WHERE documentRecordName = ?", {name}))
        downloaded_lines.emplace_back(std::move(line));
    const std::string printed = second->document_html(
        1, Json(store::rows(*second, "SELECT * FROM documents WHERE recordName = ?", {name}).at(0)), downloaded_lines, "0,0");
    EXPECT_NE(printed.find(kContacts), std::string::npos) << printed;
    window->OpenDocumentWindow(ui::qs(name), "STORNO", false, std::string());
    Tavrin::DocumentPage* storno = page();
    ASSERT_NE(storno, nullptr);
    ASSERT_TRUE(wait_until([&] { return storno->previews_shown > 0; }));
    EXPECT_EQ(uitest::script(storno->previewWebView,
                             ui::qs("document.querySelector('.supplier').innerText.indexOf('" + std::string(kContacts) +
                                    "') >= 0")),
              "true");

    // The program is closed while the invoice prints in the print view, and a print starts during the
    // wait (as the accounting upload of an invoice settled meanwhile does): the close waits for both,
    // ten seconds at most.
    auto* upload_view = new ui::WebView2(window);
    upload_view->hide();
    upload_view->NavigateToString(ui::qs(printed));
    ASSERT_EQ(uitest::wait_for_script(upload_view, "document.querySelector('.supplier') ? 1 : 0", "1"), "1");
    window->print_view->Tag(ui::qs(name));
    window->print_view->NavigateToString(ui::qs(printed));
    ASSERT_TRUE(wait_until([&] { return window->print_view->Printing(); }));
    const auto asked = std::chrono::steady_clock::now();
    window->CloseDroppingDocument();
    ASSERT_NE(g_core, nullptr);
    const ui::AsyncOperation<bool> started_meanwhile =
        upload_view->PrintToPdfAsync(ui::qs(data + "tmp/meanwhile.pdf"), Tavrin::a4_print_settings());
    ASSERT_TRUE(wait_until([] { return g_core == nullptr; }, uitest::kEngineLimitMs));
    if (std::chrono::steady_clock::now() - asked < std::chrono::milliseconds(9500)) {
        EXPECT_TRUE(started_meanwhile.IsDone() && started_meanwhile.GetResults());
    }
    // The window goes while a print runs: the program's end lets its page finish before the browser
    // engine goes (the test program fails on the engine's warning of a page left).
    upload_view->PrintToPdfAsync(ui::qs(data + "tmp/end.pdf"), Tavrin::a4_print_settings());
    delete window;
    window = nullptr;
    EXPECT_EQ(ui::WebView2::KeptPages(), 1u);
    const auto ending = std::chrono::steady_clock::now();
    ui::Application::Finish();
    EXPECT_EQ(ui::WebView2::KeptPages(), 0u);
    if (std::chrono::steady_clock::now() - ending < std::chrono::milliseconds(9500)) {
        EXPECT_GT(pdf_pages(data + "tmp/end.pdf"), 0);
    }
    // A print that outlasts the end's wait is not taken from under the engine: it ends with the
    // program, which leaves before the engine goes.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto* late_view = new ui::WebView2(nullptr);
            late_view->NavigateToString(ui::qs(printed));
            uitest::wait_for_script(late_view, "document.querySelector('.supplier') ? 1 : 0", "1");
            late_view->PrintToPdfAsync(ui::qs(data + "tmp/late.pdf"), Tavrin::a4_print_settings());
            delete late_view;
            ui::Application::Finish(3, 0);
        },
        testing::ExitedWithCode(3), "");
}

TEST_F(DocumentSave, FailureRoadsTellTheUserAndKeepTheDocument) {
    start();
    Core& core = *g_core;

    // What is missing is said before anything is sent: a client, the company's tax number and address,
    // the tax authority's credentials, and the bank account while the transfer method has the sample.
    Json::object supplier = core.setting("supplier").object_items();
    const Json::object complete = supplier;
    for (const char* key : {"identifier_number", "street", "nav_xml_cserekulcs"}) supplier[key] = "";
    write("supplier", supplier);
    write("payments", with_bank("BANK 12345678-12345678"));  // as a new account has it
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    p->document.erase("clientRecordName");
    const std::string missing = refused_save(p);
    for (const char* word : {"vevő", "adószáma", "címe", "NAV technikai felhasználó", "bankszámlaszám", "„Átutalás”",
                             "Beállítások, Fizetési módok"})
        EXPECT_NE(missing.find(word), std::string::npos) << word << " in " << missing;
    EXPECT_EQ(missing.find("tétel"), std::string::npos) << missing;
    EXPECT_EQ(nav.request_count(), 0u);
    write("supplier", complete);
    // The own account entered, the payment method chosen again on the document: the bank is not named.
    write("payments", with_bank("Mentő Bank 11773016-11111111"));
    p->OnSelectorChanged(p->paymentsCombBox);
    EXPECT_EQ(refused_save(p).find("bankszámlaszám"), std::string::npos);
    // A client who pays VAT but has no tax number: the number is told as missing, not as wrong.
    for (const auto& [key, value] : {std::pair{"clientRecordName", "C1A2B3C4-D5E6-4F70-8192-A3B4C5D6E7F8"},
                                     {"client_status", "DOMESTIC"}, {"client_identifier_number", " "}})
        p->document[key] = value;
    const std::string no_number = refused_save(p);
    EXPECT_NE(no_number.find("a vevő adószáma"), std::string::npos) << no_number;
    EXPECT_EQ(no_number.find("Hibás"), std::string::npos) << no_number;
    EXPECT_EQ(nav.request_count(), 0u);
    p->lines.clear();
    window->document_window->Close();
    ASSERT_TRUE(wait_until([&] { return page() == nullptr; }));

    // The tax authority cannot be reached: nothing was sent or saved, and the user is told so.
    p = new_invoice(2);
    ASSERT_NE(p, nullptr);
    ui::ContentDialog* dialog = nullptr;
    {
        ScopedEnv down("TAVRIN_NAV_URL", nowhere());
        dialog = save(p);
        ASSERT_NE(dialog, nullptr);
    }
    EXPECT_NE(dialog->ContentText().toStdString().find("nem lett sem elmentve, sem beküldve"), std::string::npos)
        << dialog->ContentText().toStdString();
    dialog->Answer(Result::Primary);
    ASSERT_TRUE(wait_until([] { return ui::ContentDialog::Current() == nullptr; }));
    EXPECT_EQ(count(core, "SELECT COUNT(*) FROM documents WHERE type = 'INVOICE'"), 0);
    EXPECT_TRUE(core.nav_pending_report().is_null());

    // The tax authority refuses: the user reads why, nothing is stored, and the page may save again.
    supplier = complete;
    supplier["nav_user_pwd"] = "wrong";
    write("supplier", supplier);
    const std::string refused_number = Json(p->document)["number_formatted"].string_value();
    dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->ContentText().toStdString().rfind("NAV adatszolgáltatás hiba!\n", 0), 0u) << dialog->ContentText().toStdString();
    EXPECT_NE(dialog->ContentText().toStdString().find("Helytelen authentikációs adatok!"), std::string::npos);
    dialog->Answer(Result::Primary);
    ASSERT_TRUE(wait_until([] { return ui::ContentDialog::Current() == nullptr; }));
    EXPECT_EQ(count(core, "SELECT COUNT(*) FROM documents WHERE type = 'INVOICE'"), 0);
    ASSERT_EQ(page(), p) << "the editor stays with its document";
    EXPECT_EQ(p->lines.size(), 2u);
    EXPECT_FALSE(p->save_in_flight);

    // The cloud cannot be reached: no other installation could know of the report, so nothing is
    // reported or stored, and the page keeps the invoice.
    supplier["nav_user_pwd"] = user.password;
    write("supplier", supplier);
    const std::size_t received = nav.received_numbers().size();
    {
        ScopedEnv offline({{"TAVRIN_CLOUD_URL", nowhere()}});
        dialog = save(p);
        ASSERT_NE(dialog, nullptr);
        EXPECT_NE(dialog->ContentText().toStdString().find("A felhő nem érhető el, ezért a számla nem lett sem elmentve"),
                  std::string::npos)
            << dialog->ContentText().toStdString();
        dialog->Answer(Result::Primary);
        ASSERT_TRUE(wait_until([] { return ui::ContentDialog::Current() == nullptr; }));
    }
    // The shared record cannot be written to say that the invoice goes, or the time for sending runs
    // out in a slow token exchange: nothing is sent, and each is told in its own words.
    auto withheld_on_save = [&] {
        dialog = save(p);
        const std::string told = dialog ? dialog->ContentText().toStdString() : std::string();
        if (dialog) dialog->Answer(Result::Primary);
        return wait_until([] { return ui::ContentDialog::Current() == nullptr; }) ? told : std::string();
    };
    const std::size_t asked_before = nav.request_count();
    bool update_failed = false;
    cloud.set_fault_policy([&](const std::string& endpoint) -> std::optional<CloudStore::FaultChoice> {
        if (endpoint != "records/modify" || update_failed || nav.request_count() == asked_before) return std::nullopt;
        update_failed = true;
        return CloudStore::FaultChoice{CloudStore::Fault::status_500, false};
    });
    std::string withheld = withheld_on_save();
    EXPECT_NE(withheld.find("A cég közös nyilvántartását a felhőben nem sikerült frissíteni"), std::string::npos) << withheld;
    cloud.set_fault_policy([](const std::string& endpoint) -> std::optional<CloudStore::FaultChoice> {
        if (endpoint == "records/modify") std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        return std::nullopt;
    });
    withheld = withheld_on_save();
    cloud.set_fault_policy({});
    EXPECT_NE(withheld.find("A beküldésre szánt idő lejárt"), std::string::npos) << withheld;
    EXPECT_EQ(nav.received_numbers().size(), received);
    EXPECT_EQ(count(core, "SELECT COUNT(*) FROM documents WHERE type = 'INVOICE'"), 0);
    ASSERT_EQ(page(), p);

    // The cloud goes down once the invoice is reported, and the accounting service is down: saved
    // here, synced later.
    cloud.set_fault_policy([this, received](const std::string&) -> std::optional<CloudStore::FaultChoice> {
        if (nav.received_numbers().size() == received) return std::nullopt;
        return CloudStore::FaultChoice{CloudStore::Fault::drop, false};
    });
    {
        ScopedEnv offline({{"TAVRIN_CASHBOOK_URL", nowhere()}});
        dialog = save(p);
        ASSERT_NE(dialog, nullptr);
        // Unreachable, not refused: the words say it is kept here and synced later.
        EXPECT_NE(dialog->ContentText().toStdString().find("el van mentve ezen a számítógépen"), std::string::npos)
            << dialog->ContentText().toStdString();
        close_result(dialog, Result::Primary);
    }
    cloud.set_fault_policy({});
    EXPECT_EQ(cashbook.request_count(), 0u);
    EXPECT_EQ(core.cashbook_pending().size(), 1u) << "the upload is owed";
    EXPECT_EQ(count(core, "SELECT COUNT(*) FROM documents WHERE type = 'INVOICE' AND synced = 0 AND paid = 0"), 1);
    const Json stored_invoice(store::rows(core, "SELECT recordName, number_formatted FROM documents WHERE type = 'INVOICE'").front());
    const std::string name = stored_invoice["recordName"].string_value();
    EXPECT_EQ(stored_invoice["number_formatted"].string_value(), refused_number) << "the refused number is free";
    EXPECT_TRUE(cloud.row(kAccount, name).is_null());
    core.sync_start(empty_completion());
    EXPECT_EQ(count(core, "SELECT COUNT(*) FROM documents WHERE type = 'INVOICE' AND synced > 0"), 1);
    EXPECT_FALSE(cloud.row(kAccount, name).is_null());

    // A euro invoice while the rate service is down: the user is told and types the rate in.
    p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    p->currenciesCombBox->SelectedIndex(1);
    p->OnSelectorChanged(p->currenciesCombBox);
    ASSERT_EQ(ui::GetVisibility(p->exchangeRateButton), ui::Visibility::Visible);
    const double before = p->exchangeRateNumberBox->Value();
    std::string told;
    {
        ScopedEnv down("TAVRIN_RATES_URL", nowhere());
        dialogs.answers.push_back([&told](ui::ContentDialog& d) {
            told = d.ContentText().toStdString();
            return Result::Primary;
        });
        QTest::mouseClick(p->exchangeRateButton, Qt::LeftButton);
        ASSERT_TRUE(wait_until([&] { return !told.empty() && ui::ContentDialog::Current() == nullptr; }));
    }
    EXPECT_NE(told.find("árfolyam"), std::string::npos) << told;
    EXPECT_TRUE(p->exchangeRateNumberBox->Value() == before || (std::isnan(before) && std::isnan(p->exchangeRateNumberBox->Value())));
    // Without a rate the euro invoice is not saved: the user is told to enter or fetch it.
    for (const double rate : {std::nan(""), 0.0, -3.0}) {
        p->exchangeRateNumberBox->Value(rate);
        p->document["exchange_rate"] = rate;
        const std::string why = refused_save(p);
        EXPECT_NE(why.find("EUR árfolyama"), std::string::npos) << rate << ": " << why;
    }
    // A rate typed with many digits too many gives amounts no invoice carries: the line is named.
    p->exchangeRateNumberBox->Value(4.015e20);
    p->document["exchange_rate"] = 4.015e20;
    const std::string huge = refused_save(p);
    EXPECT_NE(huge.find("\u2022 1. tétel: A tétel összege túl nagy"), std::string::npos) << huge;
    p->exchangeRateNumberBox->Value(401.5);
    EXPECT_EQ(Json(p->document)["exchange_rate"].number_value(), 401.5);
    // Two lines that each fit add up, in forints at that rate, to totals beyond what a double holds to
    // the fillér: those totals are named, and nothing is stored.
    const std::vector<Json> one_line = p->lines;
    Json::object wide = one_line.front().object_items();
    wide["price"] = 1.5e10;
    wide["quantity"] = 1;
    p->lines = {wide, wide};
    const std::string totals = refused_save(p);
    EXPECT_NE(totals.find("\u2022 Nettó összesen az árfolyammal átszámítva: egy számla összegeiben legfeljebb 13 "
                          "számjegy állhat a tizedesjel előtt."),
              std::string::npos)
        << totals;
    EXPECT_NE(totals.find("\u2022 Bruttó összesen az árfolyammal átszámítva"), std::string::npos) << totals;
    EXPECT_EQ(totals.find("tétel"), std::string::npos) << totals;
    EXPECT_EQ(count(core, "SELECT COUNT(*) FROM documents WHERE currency_code = 'EUR'"), 0);
    p->lines = one_line;
    // Up again, the service gives the day's rate.
    rates.add_rate(iso_date(0), "EUR", "393,51");
    QTest::mouseClick(p->exchangeRateButton, Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return p->exchangeRateNumberBox->Value() == 393.51; }));
    dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    close_result(dialog, Result::Primary);
    const Json eur(store::rows(core, "SELECT * FROM documents WHERE currency_code = 'EUR'").at(0));
    EXPECT_EQ(eur["exchange_rate"].number_value(), 393.51);
    EXPECT_EQ(eur["paid"].int_value(), 0);
    // The upload owed by the earlier save goes after this one's: each once.
    ASSERT_TRUE(wait_until([&] { return cashbook.request_count() == 2u && core.cashbook_pending().empty(); }));

    // The program is ended while a save waits for the cloud: the save's work ends before the core goes.
    p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    cloud.hold("changes/zone");
    dialogs.answers.push_back([](ui::ContentDialog&) { return Result::Primary; });
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    QTest::mouseClick(p->saveButton, Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return cloud.wait_held(std::chrono::milliseconds(0)); }));
    // The last save's document still prints in the print view: the close comes once it has.
    window->CloseDroppingDocument();
    ASSERT_TRUE(wait_until([] { return g_core == nullptr; }));
    EXPECT_EQ(ui::ThreadPool::ActiveCount(), 0);
    cloud.release();
    // What the worker posted finds no page and no core.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

// A report whose answer does not come: the invoices it leaves are settled, never lost, never reported
// twice, and the save never blocks on them.
class UnansweredReport : public DocumentSave {
protected:
    void SetUp() override {
        DocumentSave::SetUp();
        start();
    }

    void TearDown() override {
        if (g_core) {
            // Each invoice stored is the one the authority processed under its number.
            for (const auto& row : store::rows(*g_core, "SELECT nav_transaction_id FROM documents WHERE type = 'INVOICE'"))
                EXPECT_EQ(nav.transaction(Json(row)["nav_transaction_id"].string_value()).status, "DONE");
            for (const auto& [stored, sent] : stored_and_reported_numbers()) EXPECT_EQ(stored, sent);
        }
        // Quick restarts with the clock standing still: no request was refused as a repeated one.
        for (const NavCall& call : nav.calls()) EXPECT_NE(call.error_code, "REQUEST_ID_NOT_UNIQUE") << call.operation;
        DocumentSave::TearDown();
    }

    static int invoices() { return count(*g_core, "SELECT COUNT(*) FROM documents WHERE type = 'INVOICE'"); }

    static std::string number_of(Tavrin::DocumentPage* p) { return Json(p->document)["number_formatted"].string_value(); }

    // Saves and dismisses the answer, returning its text; with `lose`, the reply is lost and the
    // service does not know the invoice for now.
    std::string told_on_save(Tavrin::DocumentPage* p, bool lose) {
        if (lose) {
            nav.set_processing_delay(std::chrono::hours(1));
            nav.fault_next_replies(NavReplyFault::drop);
        }
        ScopedEnv quick("TAVRIN_NAV_SETTLE_SECONDS", "1");
        ui::ContentDialog* d = save(p);
        const std::string told = d ? d->ContentText().toStdString() : std::string();
        if (d) d->Answer(Result::Primary);
        return wait_until([] { return ui::ContentDialog::Current() == nullptr; }) ? told : std::string();
    }

    // The text of the PDF an upload carried.
    std::string uploaded_pdf_text(const std::string& uploaded) const {
        const std::size_t pdf_at = uploaded.rfind("<dataValue>");
        if (pdf_at == std::string::npos) return std::string();
        std::string pdf = uploaded.substr(pdf_at + 11, uploaded.find("</dataValue>", pdf_at) - pdf_at - 11);
        pdf.resize(base64_decode(pdf.size(), pdf.data()));
        const std::string pdf_path = dir.path() + "uploaded.pdf";
        std::FILE* pdf_file = std::fopen(pdf_path.c_str(), "wb");
        if (!pdf_file) return std::string();
        std::fwrite(pdf.data(), 1, pdf.size(), pdf_file);
        std::fclose(pdf_file);
        return pdf_text(pdf_path);
    }

    // Every number the service took is stored once, with the data it took: `stored` of them.
    void each_taken_number_stored_once(std::size_t stored) const {
        EXPECT_EQ(stored_and_reported_numbers().size(), stored);
        std::vector<std::string> received = nav.received_numbers();
        std::sort(received.begin(), received.end());
        EXPECT_EQ(std::adjacent_find(received.begin(), received.end()), received.end()) << "a number reported twice";
        EXPECT_EQ(nav.accepted_numbers().size(), stored);
    }

    // A report recorded for the page's invoice, as a copy of the data folder holds it on another computer
    // that sent it now.
    static Json::object copied_report(Tavrin::DocumentPage* p, const std::string& request_id) {
        return Json::object{{"request_id", request_id},  {"number_formatted", number_of(p)},
                            {"written", static_cast<double>(kNow)}, {"deadline", static_cast<double>(kNow + 6)},
                            {"sent", static_cast<double>(kNow)},    {"service_offset", 0.0},
                            {"machine", "another-computer"},        {"pid", static_cast<double>(::getpid())},
                            {"document", p->document},              {"lines", p->lines}};
    }

    static void record_pending(const Json& report) {
        ASSERT_TRUE(g_core->save_record({{"recordName", "nav_pending"}, {"value", report.dump()}, {"synced", -1}},
                                        "settings"));
    }

    // The page's invoice as a program killed after recording its report, before it went out, left it.
    static void record_killed_before_sending(Tavrin::DocumentPage* p, const std::string& request_id) {
        record_pending(Json::object{{"request_id", request_id},
                                    {"number_formatted", number_of(p)},
                                    {"written", static_cast<double>(kNow)},
                                    {"pid", 999999999.0},
                                    {"process_start", "1"},
                                    {"machine", nav_machine_id()},
                                    {"document", p->document},
                                    {"lines", p->lines}});
    }

    // Settles until the authority has processed the waiting report and it is stored.
    static bool settled_and_stored() {
        return wait_until([] {
            g_core->nav_settle_report(true);
            return g_core->nav_pending_report().is_null();
        }, 15000);
    }
};

TEST_F(UnansweredReport, ALostReplyIsAskedForAndStoredOnce) {
    // The service takes the invoice and its reply is lost: the service is asked, and the invoice is
    // stored once, with the service's transaction id.
    nav.set_processing_delay(std::chrono::milliseconds(300));
    nav.fault_next_replies(NavReplyFault::drop);
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->ContentText().toStdString(), text("saving_successful"));
    close_result(dialog, Result::Primary);
    EXPECT_EQ(invoices(), 1);
    each_taken_number_stored_once(1);

    // Slow is not down: the authority answers its queries in 6 s, within the request's own limit. The
    // lost reply's invoice is stored once within the save's wait, and the next invoice is issued.
    {
        ScopedEnv limit("TAVRIN_NAV_REQUEST_SECONDS", "10");
        ScopedEnv long_wait("TAVRIN_NAV_SETTLE_SECONDS", "15");
        nav.set_answer_delay("queryInvoiceData", std::chrono::seconds(6));
        nav.fault_next_replies(NavReplyFault::drop);
        EXPECT_EQ(saved_new_invoice(), text("saving_successful"));
        nav.set_answer_delay("queryInvoiceData", std::chrono::milliseconds(0));
        EXPECT_EQ(saved_new_invoice(), text("saving_successful"));
        each_taken_number_stored_once(3);
    }

    // The authority says it is briefly unavailable for as long as the save waits: told in its words.
    p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    nav.fail_next("queryInvoiceData", NavQueryFault::unavailable, 3);
    const std::string told = told_on_save(p, true);
    EXPECT_NE(told.find("A NAV rendszere átmenetileg nem elérhető"), std::string::npos) << told;
    EXPECT_EQ(told.find("nem olvasható"), std::string::npos) << told;
    nav.set_processing_delay(std::chrono::milliseconds(0));
    ASSERT_TRUE(settled_and_stored());
    each_taken_number_stored_once(4);
}

TEST_F(UnansweredReport, AWaitingInvoiceIsStoredInTheBackgroundAsItWasSent) {
    // No answer, and the service does not know the invoice yet: the user reads that it waits. Saved
    // again once the service knows it, it is stored as the one reported, not reported twice.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string waiting = number_of(p);
    const std::string told = told_on_save(p, true);
    EXPECT_NE(told.find(waiting + " számú számlát elküldtük"), std::string::npos) << told;
    EXPECT_NE(told.find("A NAV megkapta, és még feldolgozza."), std::string::npos) << told;
    EXPECT_EQ(invoices(), 0);
    const std::size_t reported = reported_ids().size();
    // The main window says which invoice waits, and since when, whatever tab is shown; and that it
    // asks again by itself, and how often.
    ASSERT_TRUE(wait_until([&] { return window->reportNotice->isVisible(); }));
    const std::string notice = ui::utf8(window->reportNotice->Text());
    EXPECT_NE(notice.find(waiting + " számú számla " + Tavrin::moment_text(*g_core, kNow) + " óta a NAV válaszára vár"),
              std::string::npos) << notice;
    EXPECT_NE(notice.find("15 másodpercenként magától újra megkérdezi"), std::string::npos) << notice;
    EXPECT_NE(told.find("15 másodpercenként magától újra megkérdezi"), std::string::npos) << told;
    EXPECT_EQ(told.find("néhány perc"), std::string::npos) << told;
    // The user changes a line meanwhile.
    Json::object changed_line = p->lines.at(0).object_items();
    changed_line["name"] = "Átírt tétel";
    p->lines.at(0) = changed_line;
    const std::int64_t shown_before_edit = p->previews_shown;
    p->RefreshDocument();
    ASSERT_TRUE(wait_until([&] { return p->previews_shown > shown_before_edit; }));
    // The authority has processed it: the background settles it at its pace, with no press, and the
    // page learns at once that its invoice is stored as it was sent.
    nav.set_processing_delay(std::chrono::milliseconds(0));
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    window->reportPace->setInterval(100);
    const QString ok = ui::qs(text("ok"));
    ASSERT_TRUE(wait_until([&] {
        ui::ContentDialog* d = ui::ContentDialog::Current();
        return d && d->PrimaryButtonText() == ok;
    }, 15000));
    EXPECT_TRUE(g_core->nav_pending_report().is_null());
    EXPECT_TRUE(wait_until([&] { return !window->reportNotice->isVisible(); }));
    ui::ContentDialog* dialog = ui::ContentDialog::Current();
    EXPECT_EQ(dialog->ContentText().toStdString().rfind(text("saving_successful"), 0), 0u) << dialog->ContentText().toStdString();
    EXPECT_NE(dialog->ContentText().toStdString().find("az azóta tett módosítások nem kerültek bele"), std::string::npos);
    EXPECT_EQ(dialog->Title().toStdString(), waiting);
    close_result(dialog, Result::Primary);
    EXPECT_EQ(reported_ids().size(), reported);
    EXPECT_EQ(invoices(), 1);
    EXPECT_EQ(count(*g_core, "SELECT COUNT(*) FROM document_lines WHERE name = 'Átírt tétel'"), 0);
    // The accounting service gets the PDF of the invoice as stored, not of the page's edits.
    ASSERT_TRUE(wait_until([&] { return cashbook.request_count() == 1u && g_core->cashbook_pending().empty(); }));
    const std::string uploaded_text = uploaded_pdf_text(cashbook.requests().back().body);
    EXPECT_NE(uploaded_text.find(waiting), std::string::npos) << uploaded_text;
    EXPECT_EQ(uploaded_text.find("Átírt tétel"), std::string::npos) << uploaded_text;
    EXPECT_NE(uploaded_text.find(kContacts), std::string::npos) << "the supplier's contacts: " << uploaded_text;
    each_taken_number_stored_once(1);
}

TEST_F(UnansweredReport, AClosedWaitingInvoiceIsNotWithdrawnAndTheNextSaveTakesTheNextNumber) {
    // An invoice waits, and its page is closed: the user reads that the invoice is not withdrawn by
    // that, with no "discard" to press. No other invoice is reported meanwhile.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string waiting = number_of(p);
    EXPECT_NE(told_on_save(p, true).find(waiting + " számú számlát elküldtük"), std::string::npos);
    const std::string asked = close_asked();
    EXPECT_EQ(asked.rfind("Beküldött számla|A(z) " + waiting + " számú számlát elküldtük a NAV-nak", 0), 0u) << asked;
    EXPECT_NE(asked.find("Az ablak bezárása ezt nem vonja vissza"), std::string::npos) << asked;
    EXPECT_NE(asked.find("Ha kiderül, hogy nem érkezett meg, vagy a NAV nem fogadja be, a beírt számla piszkozatként "
                         "megmarad"),
              std::string::npos) << asked;
    EXPECT_NE(asked.find("|Bezárás|Mégse"), std::string::npos) << asked;
    EXPECT_EQ(asked.find(text("discard")), std::string::npos) << asked;
    ASSERT_EQ(page(), p) << "cancelled, the page stays";
    dialogs.answers.push_back([](ui::ContentDialog&) { return Result::Primary; });
    window->document_window->Close();
    ASSERT_TRUE(wait_until([&] { return page() == nullptr; }));
    p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::size_t reported = reported_ids().size();
    const std::string told = told_on_save(p, false);
    EXPECT_NE(told.find(waiting + " számú számla még a NAV visszaigazolására vár"), std::string::npos) << told;
    EXPECT_EQ(reported_ids().size(), reported);
    // Now the service knows it: the next save stores it first, and takes the next number itself.
    nav.set_processing_delay(std::chrono::milliseconds(0));
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    const std::string renumbered = dialog->Title().toStdString();
    EXPECT_NE(renumbered, waiting);
    EXPECT_NE(dialog->ContentText().toStdString().find(waiting + " számot a korábban beküldött számla kapta"), std::string::npos)
        << dialog->ContentText().toStdString();
    close_result(dialog, Result::Primary);
    EXPECT_EQ(invoices(), 2);
    EXPECT_TRUE(g_core->nav_pending_report().is_null());
    // The invoice stored by settling had no upload of its own: it goes after this save's, once.
    ASSERT_TRUE(wait_until([&] { return cashbook.request_count() == 2u && g_core->cashbook_pending().empty(); }));
    // The renumbered invoice's PDF names the number it was stored with, not the one the page showed.
    std::string renumbered_pdf;
    for (const RecordedRequest& request : cashbook.requests())
        if (request.body.find("<invoiceNumber>" + renumbered + "</invoiceNumber>") != std::string::npos)
            renumbered_pdf = uploaded_pdf_text(request.body);
    EXPECT_NE(renumbered_pdf.find(renumbered), std::string::npos) << renumbered_pdf;
    EXPECT_EQ(renumbered_pdf.find(waiting), std::string::npos) << renumbered_pdf;
    each_taken_number_stored_once(2);
}

TEST_F(UnansweredReport, TheNextStartSettlesAReplyHeldAtTheEnd) {
    // The service holds the reply: once the save has waited as long as it waits, it explains itself
    // while the request still runs, also when its report is recorded only after that moment (a slow
    // first pass). The user closes the program, as the explanation offers: it ends, and the next start
    // settles the invoice as it was typed.
    nav.fault_next_replies(NavReplyFault::hang);
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string held = number_of(p);
    dialogs.answers.push_back([](ui::ContentDialog&) { return Result::Primary; });
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    {
        ScopedEnv quick("TAVRIN_NAV_SETTLE_SECONDS", "1");
        ScopedEnv slow("TAVRIN_NAV_REQUEST_SECONDS", "30");
        slow_change_downloads(std::chrono::milliseconds(1500));
        QTest::mouseClick(p->saveButton, Qt::LeftButton);
        ASSERT_TRUE(wait_until([&] { return nav.wait_hung(std::chrono::milliseconds(0)); }));
        cloud.set_fault_policy({});
        const std::string explained = held + " számú számlát elküldtük a NAV-nak, de a NAV még nem válaszolt";
        ASSERT_TRUE(wait_until([&] {
            ui::ContentDialog* d = ui::ContentDialog::Current();
            return d && d->ContentText().toStdString().find(explained) != std::string::npos;
        }));
        EXPECT_TRUE(p->save_in_flight);
        const std::string told = ui::ContentDialog::Current()->ContentText().toStdString();
        EXPECT_NE(told.find("legfeljebb 30 másodpercig"), std::string::npos) << told;
        EXPECT_NE(told.find("akkor sem, ha közben bezárja a programot"), std::string::npos) << told;
        ASSERT_TRUE(ended_by_close());
    }
    dialogs.answers.clear();
    start_again();
    nav.release_hung();
    EXPECT_EQ(invoices(), 1);
    EXPECT_EQ(count(*g_core, "SELECT COUNT(*) FROM documents WHERE type = 'INVOICE' AND client_name = 'Vevő Anna'"), 1);
    EXPECT_EQ(count(*g_core, "SELECT COUNT(*) FROM document_lines WHERE name = 'Tétel 1'"), 1);
    EXPECT_TRUE(g_core->nav_pending_report().is_null());
    ASSERT_TRUE(wait_until([&] { return cashbook.request_count() == 1u && g_core->cashbook_pending().empty(); }, uitest::kEngineLimitMs));
    each_taken_number_stored_once(1);
}

TEST_F(UnansweredReport, AnInvoiceOfAProgramKilledBeforeItWentOutIsKeptAsADraftAndTold) {
    // The program was killed after recording the report of the page's invoice and before it went out:
    // what the user typed (client, lines, dates, notes) is in that record alone.
    Tavrin::DocumentPage* p = new_invoice(2);
    ASSERT_NE(p, nullptr);
    const std::string lost = number_of(p);
    p->document["header_note"] = "Fejléc megjegyzés";
    p->document["delivery_date"] = "2026-02-26";
    record_killed_before_sending(p, "TVKILLED_1");
    p->lines.clear();
    ASSERT_TRUE(close_page());
    // The next start finds it never sent: the invoice is kept as a draft with what was typed, and the
    // user is told which invoice and what to do.
    std::string told;
    dialogs.answers.push_back([&told](ui::ContentDialog& d) {
        told = d.ContentText().toStdString();
        return Result::Primary;
    });
    restart();
    ASSERT_TRUE(wait_until([&] { return !told.empty(); }, 20000));
    EXPECT_TRUE(g_core->nav_pending_report().is_null());
    EXPECT_EQ(invoices(), 0);
    const auto drafts = store::rows(*g_core, "SELECT * FROM documents WHERE type = 'DRAFT'");
    ASSERT_EQ(drafts.size(), 1u);
    const Json draft(drafts.front());
    const std::string draft_name = draft["recordName"].string_value();
    EXPECT_EQ(draft["client_name"].string_value(), "Vevő Anna");
    EXPECT_EQ(draft["header_note"].string_value(), "Fejléc megjegyzés");
    EXPECT_EQ(draft["delivery_date"].string_value(), "2026-02-26");
    EXPECT_EQ(store::rows(*g_core, "SELECT name FROM document_lines WHERE documentRecordName = ? ORDER BY id", {draft_name})
                  .size(), 2u);
    EXPECT_EQ(told.rfind("A(z) " + lost + " számú számla nem érkezett meg a NAV-hoz, ezért nincs sem beküldve, sem elmentve.",
                         0), 0u) << told;
    EXPECT_NE(told.find("megmaradt a(z) " + draft["number_formatted"].string_value() + " piszkozatban"), std::string::npos)
        << told;
    EXPECT_NE(told.find("„Számla készítése”"), std::string::npos) << told;
    ASSERT_TRUE(wait_until([&] { return cloud.record(kAccount, draft_name).has_value(); }));
    // Opened, the draft issues the invoice, under the number that was never reported.
    window->OpenDocumentWindow(ui::qs(draft_name), "INVOICE", false, std::string());
    ASSERT_TRUE(wait_until([&] { return page() && page()->previews_shown > 0; }));
    EXPECT_EQ(Json(page()->document)["client_name"].string_value(), "Vevő Anna");
    EXPECT_EQ(page()->lines.size(), 2u);
    ui::ContentDialog* dialog = save(page());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->ContentText().toStdString(), text("saving_successful"));
    EXPECT_EQ(dialog->Title().toStdString(), lost);
    close_result(dialog, Result::Primary);
    EXPECT_EQ(invoices(), 1);
}

TEST_F(UnansweredReport, AnUploadCutOffByTheEndGoesAtTheNextStartOnce) {
    // Stored, and the program killed before its accounting upload: the next start uploads it, once.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::size_t uploads = cashbook.request_count();
    const NavReport report = g_core->nav_report_invoice(p->lines, p->document);
    ASSERT_EQ(report.result, NavReport::Result::stored);
    EXPECT_EQ(g_core->cashbook_pending(), std::vector<std::string>{report.record_name});
    p->lines.clear();
    restart();
    ASSERT_TRUE(wait_until([&] { return cashbook.request_count() == uploads + 1 && g_core->cashbook_pending().empty(); }));
    restart();
    EXPECT_EQ(cashbook.request_count(), uploads + 1);
}

TEST_F(UnansweredReport, ASlowTokenExchangeThenALostReplyIsStoredWithTheProcessedTransaction) {
    // A slow token exchange, then the reply lost: the authority's records still tell, and it is stored
    // with the transaction the authority processed.
    ScopedEnv limit("TAVRIN_NAV_REQUEST_SECONDS", "10");
    nav.set_token_delay(std::chrono::milliseconds(1500));
    nav.fault_next_replies(NavReplyFault::drop);
    EXPECT_EQ(saved_new_invoice(), text("saving_successful"));
    nav.set_token_delay(std::chrono::milliseconds(0));
    const std::string slow_token = Json(store::rows(*g_core, "SELECT nav_transaction_id FROM documents WHERE "
                                                             "type = 'INVOICE' ORDER BY number DESC LIMIT 1")
                                            .at(0))["nav_transaction_id"].string_value();
    EXPECT_EQ(nav.transaction(slow_token).status, "DONE");
}

TEST_F(UnansweredReport, AReportRecordedAndNeverSentIsNoCauseToWait) {
    // The program was killed after recording a report and before sending it: the next save goes on at
    // once, and the number is the one that was never sent.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string never_sent = number_of(p);
    record_killed_before_sending(p, "TVGONE_1");
    const auto before_kill_road = std::chrono::steady_clock::now();
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->ContentText().toStdString(), text("saving_successful"));
    EXPECT_EQ(dialog->Title().toStdString(), never_sent);
    EXPECT_LT(std::chrono::steady_clock::now() - before_kill_road, std::chrono::seconds(4)) << "nothing to wait for";
    close_result(dialog, Result::Primary);
}

TEST_F(UnansweredReport, AReportAnotherComputerMayStillSendWaitsForItsLatestArrival) {
    // The same record as a copy of the data folder holds it on another computer, which may still send
    // it: nothing is reported until the latest moment its copy can arrive has passed on the authority's
    // clock (sent, within two request times and a margin, with the offset the other computer measured
    // as it sent), and the user reads from when.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string copied = number_of(p);
    record_pending(copied_report(p, "TVCOPY_1"));
    const std::size_t received_before_copy = nav.received_numbers().size();
    const std::string told = told_on_save(p, false);
    EXPECT_NE(told.find("A bejelentést"), std::string::npos) << told;
    EXPECT_NE(told.find(format_time(local_time(kNow + 2 * 2 + 2 + 60), "%H:%M:%S")), std::string::npos) << told;
    EXPECT_NE(told.find(g_core->formatted_date(iso_date(kNow), "") + " " + format_time(local_time(kNow), "%H:%M:%S")),
              std::string::npos)
        << told;
    EXPECT_NE(told.find("mentse újra, amint a másik gép végzett (legfeljebb 2 perc, legkésőbb "), std::string::npos)
        << told;
    EXPECT_EQ(told.find("néhány"), std::string::npos) << told;
    EXPECT_EQ(told.find("el lesz mentve"), std::string::npos) << told;
    EXPECT_EQ(nav.received_numbers().size(), received_before_copy);
    // The clocks move on together: this computer learns the authority's time from its next reply.
    set_clock([] { return kNow + 100; });
    g_core->nav_settle_report();
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->Title().toStdString(), copied) << "never sent: the number is free";
    close_result(dialog, Result::Primary);
    set_clock([] { return kNow; });
}

TEST_F(UnansweredReport, AReportInAnOlderCopyOfThisComputersDataWaitsForItsDeadline) {
    // On this computer, in a copy of the data folder made before the sending was recorded: it may have
    // been sent, so it is not taken as never sent before its deadline has passed.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    Json::object copied_record = copied_report(p, "TVCOPY_2");
    copied_record["machine"] = nav_machine_id();
    copied_record["pid"] = 999999999.0;
    copied_record["store_file"] = "0:0";
    copied_record["boot"] = nav_report::boot_id();
    copied_record["written_boot"] = nav_report::boot_seconds();
    copied_record.erase("sent");
    record_pending(copied_record);
    const std::string told = told_on_save(p, false);
    EXPECT_NE(told.find(number_of(p) + " számú számla még a NAV visszaigazolására vár. A beküldés még úton lehet."),
              std::string::npos)
        << told;
    // Its sender's window, the request's limit and the margin have run out since it was written.
    Json::object window_over = g_core->nav_pending_report().object_items();
    window_over["written_boot"] = nav_report::boot_seconds() - 100;
    record_pending(window_over);
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->ContentText().toStdString(), text("saving_successful"));
    close_result(dialog, Result::Primary);
}

TEST_F(UnansweredReport, AGatewayTimeOutFromAnAuthorityAheadIsWaitedOut) {
    // The authority's clock runs ten minutes ahead, and its front answers a gateway time-out while the
    // submission is registered a moment later: the save waits out the request's own limit and stores
    // the invoice with the transaction the authority processed.
    nav.set_clock_offset(std::chrono::minutes(10));
    nav.set_gateway_delay(std::chrono::milliseconds(1500));
    nav.fault_next_replies(NavReplyFault::gateway);
    EXPECT_EQ(saved_new_invoice(), text("saving_successful"));
}

TEST_F(UnansweredReport, AnUnreadableOriginalRequestIsToldByTheInvoiceUnderItsNumber) {
    // Other software of the same technical user sends meanwhile, one of them a technical annulment,
    // listed a transaction a page; this reply is lost and the authority gives its original request
    // back unreadable: the invoice it holds under the number tells.
    nav.set_clock_offset(std::chrono::minutes(10));
    nav.set_list_page_size(1);
    nav.add_annulment(user.login);
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    for (const char* other_number : {"KULSO/1", "KULSO/2"}) {
        Json::object foreign = p->document;
        foreign["number_formatted"] = other_number;
        nav.add_foreign_submission(user.login, "CREATE", g_core->nav_invoice_payload(p->lines, foreign).data);
    }
    nav.set_original_request(number_of(p), base64_encode("<nem>számla</nem>"));
    nav.fault_next_replies(NavReplyFault::drop);
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->ContentText().toStdString(), text("saving_successful"));
    close_result(dialog, Result::Primary);
}

TEST_F(UnansweredReport, ANumberOtherSoftwareReportedIsNeverSentAgain) {
    // Other software reported the number this page shows: this one is refused as a duplicate, never
    // sent again under that number, and stored under the next one.
    nav.set_list_page_size(1);
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string taken = number_of(p);
    other_software_reports(p, 7);
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    EXPECT_NE(dialog->ContentText().toStdString().find(taken + " számon a NAV-nál már egy másik számla szerepel"),
              std::string::npos)
        << dialog->ContentText().toStdString();
    EXPECT_NE(dialog->Title().toStdString(), taken);
    close_result(dialog, Result::Primary);
    const std::vector<std::string> sent_numbers = nav.received_numbers();
    EXPECT_EQ(std::count(sent_numbers.begin(), sent_numbers.end(), taken), 1);
    EXPECT_EQ(stored_as(*g_core, taken), 0);
}

TEST_F(UnansweredReport, AWaitingInvoiceThatEndsUnstoredIsToldOnItsOpenPageWhichShowsItsDraft) {
    // Other software took the number just before (not processed yet, so no query finds it), and the
    // reply to ours is lost: once the authority has processed ours, the background settles it, and
    // the open page tells the user and shows the draft that keeps the invoice; the drafts list does
    // not tell of it besides.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string taken = number_of(p);
    nav.set_processing_delay(std::chrono::hours(1));
    other_software_reports(p, 7);
    // The user leaves the dialog that says the invoice waits open: it tells the outcome as soon as the
    // background learns it.
    nav.fault_next_replies(NavReplyFault::drop);
    ScopedEnv quick("TAVRIN_NAV_SETTLE_SECONDS", "1");
    QPointer<ui::ContentDialog> waiting = save(p);
    ASSERT_NE(waiting, nullptr);
    EXPECT_NE(waiting->ContentText().toStdString().find(taken + " számú számlát elküldtük"), std::string::npos);
    nav.set_processing_delay(std::chrono::milliseconds(0));
    window->reportPace->setInterval(100);
    ASSERT_TRUE(wait_until([&] { return waiting && waiting->ContentText().toStdString().find("sorszámon") != std::string::npos; },
                           15000));
    EXPECT_EQ(ui::ContentDialog::Current(), waiting.data());
    const std::string told = waiting->ContentText().toStdString();
    waiting->Answer(Result::Primary);
    ASSERT_TRUE(wait_until([] { return ui::ContentDialog::Current() == nullptr; }));
    EXPECT_NE(told.find(taken + " sorszámon már egy másik számla szerepel, ezért ez a számla nincs sem beküldve, sem "
                                "elmentve. A beírt adatok megmaradtak ezen az oldalon és a(z) "),
              std::string::npos) << told;
    EXPECT_EQ(page(), p);
    EXPECT_EQ(p->lines.size(), 1u);
    EXPECT_TRUE(p->pending_request_id.empty());
    EXPECT_EQ(count(*g_core, "SELECT COUNT(*) FROM documents WHERE type = 'INVOICE'"), 0);
    const auto drafts = store::rows(*g_core, "SELECT * FROM documents WHERE type = 'DRAFT'");
    ASSERT_EQ(drafts.size(), 1u);
    const Json draft(drafts.front());
    const std::string draft_name = draft["recordName"].string_value();
    EXPECT_EQ(Json(p->document)["kept_draft"].string_value(), draft_name);
    EXPECT_NE(told.find(draft["number_formatted"].string_value() + " piszkozatban"), std::string::npos) << told;
    EXPECT_TRUE(g_core->take_kept_drafts().empty()) << "told twice";
    // Its list row names the invoice it stands for.
    EXPECT_NE(g_core->list_html(0, "DRAFT", Tavrin::fresh_list_filter("2000-01-01"), "", "").find("<b>" + taken + "</b> (nem kiállított)"),
              std::string::npos);

    // Saved again from the page, the invoice is issued from the draft under the next number, and the
    // draft is used up: "Számla készítése" on it makes no second invoice, and says so.
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    const std::string issued = dialog->Title().toStdString();
    EXPECT_NE(issued, taken);
    close_result(dialog, Result::Primary);
    EXPECT_EQ(count(*g_core, "SELECT COUNT(*) FROM documents WHERE type = 'INVOICE'"), 1);
    const DraftKeeping used = g_core->draft_keeping_of(draft_name);
    EXPECT_EQ(used.state, DraftKeeping::State::issued);
    EXPECT_EQ(used.number, issued);
    // Its list row leads with the invoice it became: where the column is cut, the mark stays.
    EXPECT_NE(g_core->list_html(0, "DRAFT", Tavrin::fresh_list_filter("2000-01-01"), "", "").find("<td>\xE2\x9E\x94 " + issued + " "),
              std::string::npos);
    std::string second_try;
    dialogs.answers.push_back([&second_try](ui::ContentDialog& d) {
        second_try = d.ContentText().toStdString();
        return Result::Primary;
    });
    window->DeriveDocument(window->actionInvoice, draft_name);
    ASSERT_TRUE(wait_until([&] { return !second_try.empty() && !ui::ContentDialog::Current(); }));
    EXPECT_NE(second_try.find("már kiállították a(z) " + issued + " számú számlát"), std::string::npos) << second_try;
    EXPECT_EQ(page(), nullptr);
    EXPECT_TRUE(g_core->take_kept_drafts().empty());
    EXPECT_EQ(count(*g_core, "SELECT COUNT(*) FROM documents WHERE type = 'INVOICE'"), 1);
}

// A submission lost before the authority ends unstored on its open page, and the program is closed
// with the page open: the next start tells of the draft that keeps it.
TEST_F(UnansweredReport, ALostSubmissionWithItsPageOpenIsADraftToldAfterTheProgramEnds) {
    Tavrin::DocumentPage* p = new_invoice(2);
    ASSERT_NE(p, nullptr);
    const std::string lost = number_of(p);
    nav.fail_next("manageInvoice", NavQueryFault::unavailable);
    std::string told;
    {
        ScopedEnv wait("TAVRIN_NAV_SETTLE_SECONDS", "20");
        ui::ContentDialog* d = save(p);
        ASSERT_NE(d, nullptr);
        told = d->ContentText().toStdString();
        d->Answer(Result::Primary);
    }
    EXPECT_NE(told.find(lost + " számú számla a NAV nyilvántartása szerint nem érkezett meg"), std::string::npos) << told;
    const auto drafts = store::rows(*g_core, "SELECT number_formatted FROM documents WHERE type = 'DRAFT'");
    ASSERT_EQ(drafts.size(), 1u);
    const std::string draft_number = Json(drafts.front())["number_formatted"].string_value();
    EXPECT_NE(told.find(draft_number + " piszkozat (Piszkozatok) is őrzi"), std::string::npos) << told;
    ASSERT_EQ(page(), p);
    std::string after_restart;
    dialogs.answers.push_back([&after_restart](ui::ContentDialog& d) {
        after_restart = d.ContentText().toStdString();
        return Result::Primary;
    });
    restart();
    ASSERT_TRUE(wait_until([&] { return !after_restart.empty(); }, 20000));
    EXPECT_EQ(after_restart.rfind("A(z) " + lost + " számú számla nem érkezett meg a NAV-hoz", 0), 0u) << after_restart;
    EXPECT_NE(after_restart.find(draft_number + " piszkozatban"), std::string::npos) << after_restart;
    EXPECT_EQ(invoices(), 0);
}

// The page's invoice ends unstored with the page open, and is issued at once from the draft the page
// keeps; the authority accepts it, the reply is lost, and the program is killed. The start after
// settles it while the authority still processes it: no draft is offered meanwhile, and once stored
// the draft is used up. One invoice.
TEST_F(UnansweredReport, AnInvoiceIssuedFromAKeptDraftAndAcceptedBeforeAKillLeavesNoDraftOffered) {
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    nav.fail_next("manageInvoice", NavQueryFault::unavailable);
    {
        ScopedEnv wait("TAVRIN_NAV_SETTLE_SECONDS", "20");
        ui::ContentDialog* d = save(p);
        ASSERT_NE(d, nullptr);
        d->Answer(Result::Primary);
    }
    ASSERT_TRUE(wait_until([] { return ui::ContentDialog::Current() == nullptr; }));
    const std::string draft_name = Json(p->document)["kept_draft"].string_value();
    ASSERT_FALSE(draft_name.empty());
    const std::string issued = number_of(p);
    EXPECT_NE(told_on_save(p, true).find(issued + " számú számlát elküldtük"), std::string::npos);
    restart();
    const int shown = dialogs.shown;
    nav.set_processing_delay(std::chrono::milliseconds(0));
    ASSERT_TRUE(settled_and_stored());
    window->OnSelectedSectionInvoked();
    ASSERT_TRUE(wait_until([] { return ui::ThreadPool::ActiveCount() == 0; }));
    EXPECT_EQ(dialogs.shown, shown) << "a draft offered";
    EXPECT_EQ(g_core->draft_keeping_of(draft_name).state, DraftKeeping::State::issued);
    EXPECT_TRUE(g_core->take_kept_drafts().empty());
    EXPECT_EQ(invoices(), 1);
    EXPECT_EQ(stored_as(*g_core, issued), 1);
}

TEST_F(UnansweredReport, OurInvoiceGivenBackInAnotherFormIsKnownAsOurs) {
    // Our invoice, its reply lost, given back by the authority in another form (another layout, element
    // order and number format): it is known by what it is, and stored as ours under its number.
    nav.set_list_page_size(1);
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string reformed = number_of(p);
    nav.set_original_request(reformed, NavFake::in_another_form(g_core->nav_invoice_payload(p->lines, p->document).data));
    nav.fault_next_replies(NavReplyFault::drop);
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->ContentText().toStdString(), text("saving_successful"));
    EXPECT_EQ(dialog->Title().toStdString(), reformed);
    close_result(dialog, Result::Primary);
    EXPECT_EQ(stored_as(*g_core, reformed), 1);
}

TEST_F(UnansweredReport, ALongListingIsReadInBoundedStepsThatGoOnWhereTheyStopped) {
    // More transactions than a listing was once read for, a page each, while the authority still
    // processes this report: each call reads a bounded number of pages and says how far it got, the
    // next goes on from there (only the last page read is read again), and the whole listing finds it.
    nav.set_clock_offset(std::chrono::minutes(10));
    nav.set_list_page_size(1);
    auto listing_requests = [&] {
        const std::vector<NavCall> calls = nav.calls();
        return std::count_if(calls.begin(), calls.end(),
                             [](const NavCall& call) { return call.operation == "queryTransactionList"; });
    };
    // Settles until the listing is read whole, the program started again after the first call when
    // asked; the number of calls it took.
    auto read_whole = [&](NavSettled& settled, bool restart_midway) {
        const auto listed_before = listing_requests();
        int settle_calls = 0;
        int pages = 0;
        do {
            if (restart_midway && settle_calls == 1) restart();
            settled = g_core->nav_settle_report();
            ++settle_calls;
            if (settled.reason == NavSettled::Reason::listing_unread) {
                EXPECT_GT(settled.pages_read, 0);
                EXPECT_LT(settled.pages_read, settled.pages_total);
                pages = settled.pages_total;
            }
        } while (settled.reason == NavSettled::Reason::listing_unread && settle_calls < 100);
        EXPECT_GT(pages, 150);
        EXPECT_LE(listing_requests() - listed_before, pages + 2 * settle_calls) << "pages read again";
        return settle_calls;
    };
    for (int other = 0; other < 150; ++other) nav.add_annulment(user.login);
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string waiting = number_of(p);
    const std::string told = told_on_save(p, true);
    EXPECT_NE(told.find("A program most olvassa a NAV tranzakcióinak listáját"), std::string::npos) << told;
    EXPECT_NE(told.find(waiting + " számú számlát elküldtük"), std::string::npos) << told;
    NavSettled settled;
    EXPECT_GT(read_whole(settled, false), 2);
    EXPECT_EQ(settled.reason, NavSettled::Reason::processing) << "found at the end of the listing";
    // The transactions its pages gave are kept beside the local row, not written into it at every call.
    EXPECT_TRUE(g_core->setting("local")["nav_listing"]["seen"].is_null());
    EXPECT_GT(count(*g_core, "SELECT COUNT(*) FROM nav_listing_seen"), 150);
    // The same without a known clock offset, the listing read so far forgotten: the interval is
    // narrowed with the authority's present time, and read whole again, going on after a restart
    // where it stopped.
    ASSERT_TRUE(g_core->save_local_member("nav_listing", Json()));
    Json::object unknown_offset = g_core->nav_pending_report().object_items();
    unknown_offset.erase("service_offset");
    record_pending(unknown_offset);
    EXPECT_GT(read_whole(settled, true), 2);
    EXPECT_EQ(settled.reason, NavSettled::Reason::processing);
    const std::vector<NavCall> calls = nav.calls();
    const NavCall& listed = *std::find_if(calls.rbegin(), calls.rend(),
                                          [](const NavCall& call) { return call.operation == "queryTransactionList"; });
    EXPECT_LE(listed.request.body.substr(listed.request.body.find("<dateTimeTo>") + 12, 19),
              utc_text(listed.service_time + 1, "%Y-%m-%dT%H:%M:%S")) << "narrowed to the authority's now";
    // Processed now: the invoice the authority holds under the number settles it at once.
    nav.set_processing_delay(std::chrono::milliseconds(0));
    ASSERT_TRUE(settled_and_stored());
    EXPECT_EQ(stored_as(*g_core, waiting), 1);
    EXPECT_EQ(page(), nullptr) << "the restart closed the invoice's window";
}

TEST_F(UnansweredReport, AFailingListingIsToldAsItsFailureAndTheReportStands) {
    // The authority fails on its listing: a page answered 500, a reply cut short, pages claimed and not
    // given. Each is told as its failure, never as absence nor as an authority out of reach, and the
    // report stands until the listing is read whole.
    nav.set_clock_offset(std::chrono::minutes(10));
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string waiting = number_of(p);
    const std::string told = told_on_save(p, true);
    EXPECT_NE(told.find(waiting + " számú számlát elküldtük"), std::string::npos) << told;
    const std::pair<std::function<void()>, const char*> faults[] = {
        {[&] { nav.fail_next("queryTransactionList", NavQueryFault::error); }, "nem sikerült"},
        {[&] { nav.fail_next("queryTransactionList", NavQueryFault::garbled); }, "nem olvasható"},
        {[&] { nav.set_list_extra_pages(2); }, "oldalt jelez"}};
    for (const auto& [fault, words] : faults) {
        fault();
        const NavSettled settled = g_core->nav_settle_report();
        EXPECT_EQ(settled.reason, NavSettled::Reason::question_refused) << words;
        EXPECT_NE(settled.message.find(words), std::string::npos) << settled.message;
    }
    nav.set_list_extra_pages(0);
    EXPECT_EQ(g_core->nav_pending_report()["number_formatted"].string_value(), waiting);
    nav.set_processing_delay(std::chrono::milliseconds(0));
    ASSERT_TRUE(settled_and_stored());
    EXPECT_EQ(stored_as(*g_core, waiting), 1);
    p->lines.clear();
    ASSERT_TRUE(close_page());
    nav.set_clock_offset(std::chrono::seconds(0));
}

TEST_F(UnansweredReport, AReportRecordedByAnEarlierVersionIsSettledAllTheSame) {
    // A report recorded by an earlier version of the program (no digest, no process, no time of
    // writing) whose reply was lost is settled from the authority's records all the same.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    nav.set_processing_delay(std::chrono::hours(1));
    nav.fault_next_replies(NavReplyFault::drop);
    NavReport older;
    {
        ScopedEnv quick("TAVRIN_NAV_SETTLE_SECONDS", "0");
        older = g_core->nav_report_invoice(p->lines, p->document);
    }
    ASSERT_EQ(older.result, NavReport::Result::waiting);
    Json::object older_record = g_core->nav_pending_report().object_items();
    for (const char* added : {"data_digest", "written", "pid", "process_start", "boot", "deadline", "installation"})
        older_record.erase(added);
    record_pending(older_record);
    nav.set_processing_delay(std::chrono::milliseconds(0));
    ASSERT_TRUE(settled_and_stored());
    EXPECT_EQ(stored_as(*g_core, Json(older_record)["number_formatted"].string_value()), 1);
    p->lines.clear();
    ASSERT_TRUE(close_page());
}

TEST_F(UnansweredReport, ASettlingThatReadTheRecordBeforeItWasSentKeepsIt) {
    // A settling reads the record before the save sends it and acts on it only after the save has
    // sent it (its reply lost) and ended its call: the report is kept, never dropped as one never
    // sent, and stored once its outcome is known.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string raced = number_of(p);
    ScopedEnv limit("TAVRIN_NAV_REQUEST_SECONDS", "10");
    nav.set_processing_delay(std::chrono::hours(1));
    nav.set_token_delay(std::chrono::milliseconds(1000));
    nav.fault_next_replies(NavReplyFault::hang);
    std::atomic<bool> interleaved{false};
    nav_report::set_settling_read_hook([&](const Json& read) {
        if (!read["sent"].is_null() || interleaved.exchange(true)) return;
        // The save sends meanwhile; its reply is held, then lost, and its call ends.
        EXPECT_TRUE(nav.wait_hung(std::chrono::seconds(20)));
        nav.release_hung();
        EXPECT_TRUE(wait_off_ui([&] {
            const std::optional<NavReportRecord> now = g_core->nav_pending_record();
            return now && now->sent && !nav_report::sender_running(*now);
        }));
    });
    NavReport raced_report;
    {
        ScopedEnv quick("TAVRIN_NAV_SETTLE_SECONDS", "0");
        std::thread saving([&] { raced_report = g_core->nav_report_invoice(p->lines, p->document); });
        EXPECT_TRUE(wait_until([&] { return !g_core->nav_pending_report().is_null(); }));
        g_core->nav_settle_report();
        saving.join();
    }
    nav_report::set_settling_read_hook({});
    nav.set_token_delay(std::chrono::milliseconds(0));
    ASSERT_TRUE(interleaved);
    EXPECT_EQ(raced_report.result, NavReport::Result::waiting);
    EXPECT_EQ(g_core->nav_pending_report()["number_formatted"].string_value(), raced) << "the report sent is kept";
    nav.set_processing_delay(std::chrono::milliseconds(0));
    ASSERT_TRUE(settled_and_stored());
    EXPECT_EQ(stored_as(*g_core, raced), 1);
    p->lines.clear();
    ASSERT_TRUE(close_page());
}

TEST_F(UnansweredReport, ANumberSettledAsTakenWhileTheSaveWaitsIsPassedOver) {
    // Other software holds the number this page shows; this report's reply is lost, and while the save
    // waits the background settles it as taken: the save reads that and takes the next number.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string held_by_other = number_of(p);
    other_software_reports(p, 9);
    nav.set_processing_delay(std::chrono::hours(1));
    nav.fault_next_replies(NavReplyFault::drop);
    const std::size_t calls_before = nav.calls().size();
    auto asked_after_sending = [&] {
        const std::vector<NavCall> calls = nav.calls();
        bool sent = false;
        for (std::size_t at = calls_before; at < calls.size(); ++at) {
            if (calls[at].operation == "manageInvoice") sent = true;
            else if (sent && calls[at].operation.rfind("query", 0) == 0) return true;
        }
        return false;
    };
    dialogs.answers.push_back([](ui::ContentDialog&) { return Result::Primary; });
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    QTest::mouseClick(p->saveButton, Qt::LeftButton);
    ASSERT_TRUE(wait_until(asked_after_sending));
    nav.set_processing_delay(std::chrono::milliseconds(0));
    // The invoice list's status query settles it on a pool thread.
    std::thread status_query([] { g_core->nav_settle_report(true); });
    status_query.join();
    ui::ContentDialog* dialog = nullptr;
    ASSERT_TRUE(wait_until([&] {
        dialog = ui::ContentDialog::Current();
        return dialog && dialog->PrimaryButtonText() == ui::qs(text("ok"));
    }));
    const std::string told = dialog->ContentText().toStdString();
    EXPECT_NE(told.find(held_by_other + " számon a NAV-nál már egy másik számla szerepel"), std::string::npos) << told;
    EXPECT_EQ(told.find("nem érhető el"), std::string::npos) << told;
    close_result(dialog, Result::Primary);
    EXPECT_EQ(stored_as(*g_core, held_by_other), 0);
    // One invoice: the draft the query kept of it is used up by the one the save issued.
    EXPECT_EQ(invoices(), 1);
    const auto drafts = store::rows(*g_core, "SELECT recordName FROM documents WHERE type = 'DRAFT'");
    ASSERT_EQ(drafts.size(), 1u);
    EXPECT_EQ(g_core->draft_keeping_of(Json(drafts.front())["recordName"].string_value()).state,
              DraftKeeping::State::issued);
    EXPECT_TRUE(g_core->take_kept_drafts().empty());

    // Refused on processing while the next save waits, settled by the status query: the page tells
    // it and shows the one draft that keeps it; nothing is stored.
    p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string refused = number_of(p);
    nav.refuse_next_on_processing({false, "ERROR", "INCORRECT_CUSTOMER_DATA", "Hibás vevőadat"});
    nav.set_processing_delay(std::chrono::hours(1));
    nav.fault_next_replies(NavReplyFault::drop);
    const std::size_t sent_before = nav.calls().size();
    dialogs.answers.push_back([](ui::ContentDialog&) { return Result::Primary; });
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    QTest::mouseClick(p->saveButton, Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] {
        const std::vector<NavCall> calls = nav.calls();
        return calls.size() > sent_before + 2 && calls.back().operation.rfind("query", 0) == 0;
    }));
    nav.set_processing_delay(std::chrono::milliseconds(0));
    std::thread refusing_query([] { g_core->nav_settle_report(true); });
    refusing_query.join();
    ASSERT_TRUE(wait_until([&] {
        dialog = ui::ContentDialog::Current();
        return dialog && dialog->PrimaryButtonText() == ui::qs(text("ok"));
    }));
    const std::string told_refused = dialog->ContentText().toStdString();
    dialog->Answer(Result::Primary);
    ASSERT_TRUE(wait_until([] { return ui::ContentDialog::Current() == nullptr; }));
    EXPECT_NE(told_refused.find("piszkozat (Piszkozatok) is őrzi"), std::string::npos) << told_refused;
    EXPECT_EQ(page(), p);
    EXPECT_EQ(stored_as(*g_core, refused), 0);
    EXPECT_EQ(invoices(), 1);
    const auto kept = store::rows(*g_core, "SELECT * FROM documents WHERE type = 'DRAFT' AND reference_recordName = ''");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(Json(p->document)["kept_draft"], Json(kept.front())["recordName"]);
    EXPECT_EQ(Core::draft_keeping(Json(kept.front())).outcome, NavSettled::Result::refused);
    EXPECT_TRUE(g_core->take_kept_drafts().empty());
}

// Every stored invoice goes to the accounting service once, whichever sender gets to it first: the
// saving page or the retry of the uploads owed, on this installation, on another that stored it, or on
// a copy of its data folder.
TEST_F(DocumentSave, EachStoredInvoiceGoesToTheAccountingServiceOnce) {
    start();
    // How often the service took each invoice number; each stored invoice's number, once.
    auto uploads = [&] {
        std::map<std::string, int> numbers;
        for (const std::string& body : cashbook.taken()) {
            const std::size_t from = body.find("<invoiceNumber>") + 15;
            ++numbers[body.substr(from, body.find("</invoiceNumber>") - from)];
        }
        return numbers;
    };
    // An upload goes after a print of its PDF, which a loaded machine can make slow.
    const int print_limit = uitest::kEngineLimitMs;
    // Nothing owed here, and the service's acceptance of each upload written in its mark (a program
    // ended before that leaves it for its next start).
    auto all_recorded = [] { return g_core->cashbook_pending().empty() && g_core->setting("cashbook_accepted").is_null(); };
    auto stored = [] {
        std::map<std::string, int> numbers;
        for (const auto& row : store::rows(*g_core, "SELECT number_formatted FROM documents WHERE type = 'INVOICE'"))
            numbers[Json(row)["number_formatted"].string_value()] = 1;
        return numbers;
    };
    auto show = [&](const std::string& section) {
        for (ui::NavigationViewItem* item : window->listItems)
            if (ui::Name(item) == section) window->navigationView->SelectedItem(item);
    };

    // The report waits; the invoice list settles and stores it, and the retry uploads it; the page
    // learns that it is stored, and uploads nothing more.
    nav.set_processing_delay(std::chrono::hours(1));
    nav.fault_next_replies(NavReplyFault::drop);
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    {
        ScopedEnv quick("TAVRIN_NAV_SETTLE_SECONDS", "1");
        ui::ContentDialog* dialog = save(p);
        ASSERT_NE(dialog, nullptr);
        dialog->Answer(Result::Primary);
        ASSERT_TRUE(wait_until([] { return ui::ContentDialog::Current() == nullptr; }));
    }
    nav.set_processing_delay(std::chrono::milliseconds(0));
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    show("ESTIMATE");
    show("INVOICE");
    ASSERT_TRUE(wait_until([&] { return cashbook.request_count() == 1u && all_recorded(); },
                           print_limit));
    const QString ok = ui::qs(text("ok"));
    ASSERT_TRUE(wait_until([&] {
        ui::ContentDialog* shown = ui::ContentDialog::Current();
        return shown && shown->PrimaryButtonText() == ok;
    }));
    ui::ContentDialog* dialog = ui::ContentDialog::Current();
    EXPECT_EQ(dialog->ContentText().toStdString(), text("saving_successful"));
    close_result(dialog, Result::Primary);
    EXPECT_EQ(uploads(), stored());

    // Owed at the next start: an invoice deleted since, then one that the start's retry is sending
    // while a new invoice is saved and owed; the page and the retry race for the new one.
    p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    Json::object document = p->document;
    std::string deleted;
    for (int i = 0; i < 2; ++i) {
        // The earlier invoice's shared record goes first (it is uploaded then): numbered again.
        NavReport report;
        for (int attempt = 0; attempt < 2 && report.result != NavReport::Result::stored; ++attempt) {
            document["number"] = g_core->next_number("INVOICE");
            document["number_formatted"] = g_core->next_number_formatted("INVOICE");
            report = g_core->nav_report_invoice(p->lines, document);
        }
        ASSERT_EQ(report.result, NavReport::Result::stored);
        if (deleted.empty()) deleted = report.record_name;
    }
    ASSERT_TRUE(store::run(*g_core, "DELETE FROM documents WHERE recordName = ?", {deleted}));
    p->lines.clear();
    cashbook.hold();
    restart();
    ASSERT_TRUE(wait_until([&] { return cashbook.wait_held(std::chrono::milliseconds(0)); }, print_limit));
    p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    dialogs.answers.push_back([](ui::ContentDialog&) { return Result::Primary; });
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    QTest::mouseClick(p->saveButton, Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return g_core->cashbook_pending().size() == 2u; }));
    cashbook.release();
    ASSERT_TRUE(wait_until([&] {
        dialog = ui::ContentDialog::Current();
        return dialog && dialog->PrimaryButtonText() == ui::qs(text("ok"));
    }));
    close_result(dialog, Result::Primary);
    ASSERT_TRUE(wait_until([&] { return all_recorded() && cashbook.request_count() == 3u; },
                           print_limit));
    EXPECT_EQ(uploads(), stored());
    EXPECT_EQ(stored().size(), 3u);

    // This installation's reply is lost and the program is closed, never to start again; well before
    // its deadline another installation finds the invoice processed, stores it at once and owes its
    // upload, which it sends. Should the reporter start again after all, it sends nothing more.
    TempDir other;
    auto second = make_core(other.path() + "data/", "hu");
    prepare(*second);
    second->sync_start(empty_completion());
    p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string comes_back = Json(p->document)["number_formatted"].string_value();
    ASSERT_EQ(report_left_waiting(p).result, NavReport::Result::waiting);
    close_program();
    nav.set_processing_delay(std::chrono::milliseconds(0));
    const NavSettled settled_there = second->nav_settle_report(true);
    ASSERT_EQ(settled_there.result, NavSettled::Result::stored);
    EXPECT_TRUE(settled_there.elsewhere);
    EXPECT_EQ(second->cashbook_pending().size(), 1u) << "owed by whoever stores it";
    second->sync_start(empty_completion());
    g_core = second.release();
    start();
    show("ESTIMATE");
    show("INVOICE");
    ASSERT_TRUE(wait_until([&] { return uploads()[comes_back] == 1 && all_recorded(); },
                           print_limit));
    for (int start_again = 0; start_again < 2; ++start_again) {
        restart();
        show("ESTIMATE");
        show("INVOICE");
        ASSERT_TRUE(wait_until([&] { return uploads()[comes_back] == 1 && all_recorded(); },
                               print_limit));
    }
    ASSERT_TRUE(wait_until([] { return ui::ThreadPool::ActiveCount() == 0; }));
    EXPECT_EQ(uploads()[comes_back], 1);
    EXPECT_EQ(stored_as(*g_core, comes_back), 1);

    // Accepted, its reply lost and the program killed; the data folder is copied to another computer,
    // and both settle it: one document, uploaded once, by the first to mark it (the copy).
    p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string copied = Json(p->document)["number_formatted"].string_value();
    ASSERT_EQ(report_left_waiting(p).result, NavReport::Result::waiting);
    close_program();
    nav.set_processing_delay(std::chrono::milliseconds(0));
    // The data folder copied to another computer, started there; seen from the copy, the original is
    // the other computer.
    auto start_a_copy = [&](const TempDir& elsewhere) {
        const std::string copy = elsewhere.path() + "data/";
        std::filesystem::copy(data, copy, std::filesystem::copy_options::recursive);
        {
            auto opened = make_core(copy, "hu");
            prepare(*opened);
            Json::object local = opened->setting("local").object_items();
            local["installation_computer"] = "original-computer";
            Json::object pending = opened->setting("nav_pending").object_items();
            pending["machine"] = "original-computer";
            opened->save_record({{"recordName", "local"}, {"value", Json(local).dump()}, {"synced", -1}}, "settings");
            if (!pending.empty())
                opened->save_record({{"recordName", "nav_pending"}, {"value", Json(pending).dump()}, {"synced", -1}},
                                    "settings");
        }
        g_core = make_core(copy, "hu").release();
        prepare(*g_core);
        start();
        show("ESTIMATE");
        show("INVOICE");
    };
    TempDir first_copy;
    start_a_copy(first_copy);
    ASSERT_TRUE(wait_until([&] { return g_core->nav_pending_report().is_null(); }, 20000));
    EXPECT_EQ(stored_as(*g_core, copied), 1);
    ASSERT_TRUE(wait_until([&] { return uploads()[copied] == 1 && all_recorded(); }, print_limit));
    restart();
    show("ESTIMATE");
    show("INVOICE");
    ASSERT_TRUE(wait_until([&] { return g_core->nav_pending_report().is_null() && all_recorded(); },
                           print_limit));

    // A new invoice stored (its number taken anew if another took it meanwhile), its upload owed:
    // its record name, empty when it was not stored.
    const auto stored_owed = [&] {
        p = new_invoice(1);
        if (!p) return std::string();
        document = p->document;
        NavReport owed;
        for (int attempt = 0; attempt < 2 && owed.result != NavReport::Result::stored; ++attempt) {
            document["number"] = g_core->next_number("INVOICE");
            document["number_formatted"] = g_core->next_number_formatted("INVOICE");
            owed = g_core->nav_report_invoice(p->lines, document);
        }
        p->lines.clear();
        return owed.result == NavReport::Result::stored ? owed.record_name : std::string();
    };
    // Stored, the program killed before its upload, and the folder copied: both owe it, and the first
    // to mark it in the cloud sends it.
    ASSERT_FALSE(stored_owed().empty());
    const std::string both = Json(document)["number_formatted"].string_value();
    close_program();
    TempDir second_copy;
    start_a_copy(second_copy);
    ASSERT_TRUE(wait_until([&] { return uploads()[both] == 1 && all_recorded(); }, print_limit));
    restart();
    ASSERT_TRUE(wait_until([&] { return all_recorded(); }, print_limit));
    ASSERT_TRUE(wait_until([] { return ui::ThreadPool::ActiveCount() == 0; }));
    EXPECT_EQ(uploads()[copied], 1);
    EXPECT_EQ(uploads()[both], 1);
    EXPECT_EQ(stored_as(*g_core, copied), 1);

    // Stored, the program killed before its upload, and its data folder copied beside it on this same
    // computer: the copy is an installation of its own. It marks the upload and is sending it as the
    // original starts; the original waits on the copy's mark, keeps the upload owed until the mark
    // says the service took it, and then drops it.
    const std::string beside_name = stored_owed();
    ASSERT_FALSE(beside_name.empty());
    const std::string beside_number = Json(document)["number_formatted"].string_value();
    close_program();
    TempDir beside;
    std::filesystem::copy(data, beside.path() + "data/", std::filesystem::copy_options::recursive);
    auto copy_here = make_core(beside.path() + "data/", "hu");
    prepare(*copy_here);
    const Core::UploadTurn copy_turn = copy_here->cashbook_mark_upload(beside_name);
    ASSERT_EQ(copy_turn.mark, Core::UploadMark::send);
    restart();
    EXPECT_NE(nav_report::installation_id(*g_core), nav_report::installation_id(*copy_here));
    const std::string mark = "cashbook_upload_" + beside_name;
    auto mark_looked_up = [&] {
        for (const RecordedRequest& request : cloud.requests())
            if (request.path.find("records/lookup") != std::string::npos && request.body.find(mark) != std::string::npos)
                return true;
        return false;
    };
    show("ESTIMATE");
    show("INVOICE");
    ASSERT_TRUE(wait_until(mark_looked_up, print_limit));
    EXPECT_EQ(g_core->cashbook_pending(), std::vector<std::string>{beside_name}) << "still owed while the copy sends";
    const auto beside_rows = store::rows(*copy_here, "SELECT * FROM documents WHERE recordName = ?", {Json(beside_name)});
    ASSERT_EQ(beside_rows.size(), 1u);
    std::vector<Json> beside_lines;
    for (Json::object& row :
         store::rows(*copy_here, "SELECT * FROM document_lines WHERE documentRecordName = ?", {Json(beside_name)}))
        beside_lines.emplace_back(std::move(row));
    ASSERT_TRUE(Core::cashbook_accepted(copy_here->cashbook_upload(beside_lines, beside_rows.front(), "tok-123", "")));
    copy_here->cashbook_upload_accepted(beside_name, copy_turn.change_tag);
    show("ESTIMATE");
    show("INVOICE");
    ASSERT_TRUE(wait_until([&] { return all_recorded(); }, print_limit));
    ASSERT_TRUE(wait_until([] { return ui::ThreadPool::ActiveCount() == 0; }));
    EXPECT_EQ(uploads()[beside_number], 1);
    copy_here.reset();

    // The accounting service is down as an invoice is saved: its sender's mark stands, the upload not
    // taken. The data folder is copied to another computer and the original deleted: the copy finds
    // the original's mark, keeps the upload owed, waits out the mark's moment and takes it over.
    cashbook.set_down(true);
    std::string lost_number;
    {
        ScopedEnv short_mark("TAVRIN_CASHBOOK_REQUEST_SECONDS", "2");
        p = new_invoice(1);
        ASSERT_NE(p, nullptr);
        ui::ContentDialog* result = save(p);
        ASSERT_NE(result, nullptr);
        close_result(result, Result::Primary);
        const std::vector<std::string> owed = g_core->cashbook_pending();
        ASSERT_EQ(owed.size(), 1u);
        lost_number = Json(store::rows(*g_core, "SELECT number_formatted FROM documents WHERE recordName = ?",
                                       {Json(owed.front())})
                               .at(0))["number_formatted"]
                          .string_value();
        close_program();
    }
    cashbook.set_down(false);
    ASSERT_EQ(uploads()[lost_number], 0);
    TempDir away;
    start_a_copy(away);
    std::filesystem::remove_all(data);
    ASSERT_TRUE(wait_until([&] { return uploads()[lost_number] == 1 && all_recorded(); },
                           print_limit));
    ASSERT_TRUE(wait_until([] { return ui::ThreadPool::ActiveCount() == 0; }));
    EXPECT_EQ(uploads()[lost_number], 1);
}

// Two installations of the same account with the same next number: each number is reported and stored
// once, on both.
class TwoInstallations : public DocumentSave {
protected:
    void SetUp() override {
        DocumentSave::SetUp();
        start();
        second = make_core(other.path() + "data/", "hu");
        prepare(*second);
        second->sync_start(empty_completion());
    }

    void TearDown() override {
        second.reset();
        DocumentSave::TearDown();
    }

    // Reports the other installation's invoice with the next number it knows, numbering again while
    // this installation's invoice takes the number.
    NavReport second_reports() {
        NavReport result;
        for (int attempt = 0; attempt < 3; ++attempt) {
            second->sync_start(empty_completion());
            Json::object theirs_next = their_invoice;
            theirs_next["number"] = second->next_number("INVOICE");
            theirs_next["number_formatted"] = second->next_number_formatted("INVOICE");
            result = second->nav_report_invoice(their_lines, theirs_next);
            if (result.result != NavReport::Result::renumber && result.result != NavReport::Result::taken) break;
        }
        if (result.result == NavReport::Result::stored) second->sync_start(empty_completion());
        return result;
    }

    // The other installation reports without waiting for the authority's processing.
    NavReport::Result their_reply() {
        ScopedEnv quick("TAVRIN_NAV_SETTLE_SECONDS", "0");
        return second_reports().result;
    }

    // The other installation's clock is 6 minutes behind this one's (the authority's is this one's).
    // Its report goes out and the reply is a gateway time-out, the submission registered a moment later.
    NavReport::Result their_reply_with_clock_behind() {
        set_clock([] { return kNow - 360; });
        nav.set_clock_offset(std::chrono::seconds(360));
        nav.set_gateway_delay(std::chrono::milliseconds(3000));
        nav.fault_next_replies(NavReplyFault::gateway);
        const NavReport::Result result = their_reply();
        set_clock([] { return kNow; });
        nav.set_clock_offset(std::chrono::seconds(0));
        return result;
    }

    // The other installation's next invoice: the content of a new page, whose window is closed then.
    bool their_invoice_from_new_page() {
        Tavrin::DocumentPage* p = new_invoice(1);
        if (!p) return false;
        their_invoice = p->document;
        their_lines = p->lines;
        p->lines.clear();
        return close_page();
    }

    // The page's invoice as this installation left it, killed after its request went out, which was
    // lost before the authority: recorded here and in the company's shared record.
    void lost_before_the_authority(Tavrin::DocumentPage* p, const std::string& request_id) {
        const double long_ago = nav_report::boot_seconds() - 100;
        Json::object record{{"request_id", request_id},
                            {"number_formatted", p->document["number_formatted"]},
                            {"tax_number", "12345678-2-42"},
                            {"data_digest", sha3_512_hex(g_core->nav_invoice_payload(p->lines, p->document).data)},
                            {"written", static_cast<double>(kNow)},
                            {"deadline", static_cast<double>(kNow + 6)},
                            {"sent", static_cast<double>(kNow)},
                            {"service_offset", 0.0},
                            {"installation", nav_report::installation_id(*g_core)},
                            {"machine", nav_machine_id()},
                            {"pid", 999999999.0},
                            {"process_start", "1"},
                            {"boot", nav_report::boot_id()},
                            {"written_boot", long_ago},
                            {"sent_boot", long_ago},
                            {"document", p->document},
                            {"lines", p->lines}};
        std::string tag;
        std::string reason;
        ASSERT_EQ(g_core->nav_share_report(*NavReportRecord::read(record), tag, reason), Core::SharedWrite::written);
        record["shared_tag"] = tag;
        ASSERT_TRUE(g_core->save_record({{"recordName", "nav_pending"}, {"value", Json(record).dump()}, {"synced", -1}},
                                        "settings"));
    }

    static bool settled_by(Core& core) {
        return wait_until([&core] {
            core.nav_settle_report(true);
            return core.nav_pending_report().is_null();
        }, 15000);
    }

    // The drafts the cloud holds.
    int cloud_drafts() const {
        int drafts = 0;
        for (const CloudStore::Record& record : cloud.records(kAccount))
            drafts += record.type == "Documents" && cloud.row(kAccount, record.name)["type"].string_value() == "DRAFT";
        return drafts;
    }

    // Once passes have run on both: one draft keeps the lost invoice, here, there and in the cloud.
    void one_draft_overall() {
        g_core->sync_start(empty_completion());
        if (second) second->sync_start(empty_completion());
        for (Core* store : {g_core, second.get()}) {
            if (!store) continue;
            EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM documents WHERE type = 'DRAFT'"), 1) << "one draft";
        }
        EXPECT_EQ(cloud_drafts(), 1);
    }

    // Waits for the window to tell of a kept draft: the text told.
    std::string told_kept_draft() {
        std::string told;
        dialogs.answers.push_back([&told](ui::ContentDialog& d) {
            told = d.ContentText().toStdString();
            return Result::Primary;
        });
        window->OnSelectedSectionInvoked();
        return wait_until([&] { return !told.empty() && !ui::ContentDialog::Current(); }, 15000) ? told : "";
    }

    void each_number_once() const {
        std::vector<std::string> sent = nav.received_numbers();
        std::sort(sent.begin(), sent.end());
        EXPECT_EQ(std::adjacent_find(sent.begin(), sent.end()), sent.end()) << "a number reported twice";
    }

    TempDir other;
    std::unique_ptr<Core> second;
    Json::object their_invoice;
    std::vector<Json> their_lines;
};

TEST_F(TwoInstallations, TheNumberIssuedElsewhereFirstIsPassedOver) {
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string first_number = Json(p->document)["number_formatted"].string_value();

    // The other installation saves, reports and uploads an invoice with the same number first.
    ASSERT_EQ(second->next_number_formatted("INVOICE"), first_number);
    Json::object theirs = Json(p->document).object_items();
    theirs["number"] = second->next_number("INVOICE");
    const NavReport reply = second->nav_report_invoice(p->lines, theirs);
    ASSERT_EQ(reply.result, NavReport::Result::stored) << reply.message;
    second->sync_start(empty_completion());
    ASSERT_TRUE(second->nav_release_report(reply.record_name));

    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    const std::string mine = Json(store::rows(*g_core, "SELECT number_formatted FROM documents WHERE number = 2")
                                      .at(0))["number_formatted"].string_value();
    EXPECT_NE(mine, first_number);
    EXPECT_EQ(dialog->Title().toStdString(), mine) << "the saving dialog names the number taken";
    // The result says so in words, and the page behind it shows the stored number.
    EXPECT_EQ(dialog->ContentText().toStdString().rfind("A dokumentum a(z) " + mine + " számon lett elmentve, mert a(z) " +
                                                            first_number + " számot közben egy másik gépen kiállították.",
                                                        0),
              0u)
        << dialog->ContentText().toStdString();
    EXPECT_EQ(ui::utf8(p->numberTextBox->Text()), mine);
    EXPECT_EQ(uitest::wait_for_script(p->previewWebView, ui::qs("document.body.innerText.indexOf('" + mine + "') >= 0"), "true"),
              "true");
    close_result(dialog, Result::Primary);
    EXPECT_EQ(count(*g_core, "SELECT COUNT(*) FROM documents WHERE type = 'INVOICE'"), 2);
    const std::vector<std::string> ids = reported_ids();
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size()) << "each number reported once";
    EXPECT_EQ(cashbook.request_count(), 1u);
}

TEST_F(TwoInstallations, AReportTheOtherInstallationHoldsIsNoticedAfterAPass) {
    // The other installation's reply is lost while the authority processes its invoice: after the next
    // pass this one's window says which invoice waits, since when and until when at the latest.
    ASSERT_TRUE(their_invoice_from_new_page());
    nav.set_processing_delay(std::chrono::hours(1));
    nav.fault_next_replies(NavReplyFault::drop);
    const NavReport held = [&] {
        ScopedEnv quick("TAVRIN_NAV_SETTLE_SECONDS", "0");
        return second_reports();
    }();
    ASSERT_EQ(held.result, NavReport::Result::waiting);
    window->OnSelectedSectionInvoked();
    ASSERT_TRUE(wait_until([&] { return window->reportNotice->isVisible(); }));
    const std::string notice = ui::utf8(window->reportNotice->Text());
    EXPECT_EQ(notice.rfind("A cég egy másik gépe " + held.pending.number + " számú számlát küldött be a NAV-nak, és " +
                               Tavrin::moment_text(*g_core, kNow) + " óta a NAV válaszára vár.",
                           0),
              0u) << notice;
    // Until when at the latest: within the few minutes a copy of it could still arrive.
    bool deadline_told = false;
    for (std::time_t deadline = kNow + 1; deadline <= kNow + 300; ++deadline)
        deadline_told = deadline_told ||
                        notice.find("; legkésőbb " + Tavrin::moment_text(*g_core, deadline) + " után ez a gép") != std::string::npos;
    EXPECT_TRUE(deadline_told) << notice;
    // Settled and released there, the next pass here takes the notice away.
    nav.set_processing_delay(std::chrono::milliseconds(0));
    ASSERT_TRUE(settled_by(*second));
    second->sync_start(empty_completion());
    for (const auto& row : store::rows(*second, "SELECT recordName FROM documents WHERE type = 'INVOICE'"))
        ASSERT_TRUE(second->nav_release_report(Json(row)["recordName"].string_value()));
    window->OnSelectedSectionInvoked();
    EXPECT_TRUE(wait_until([&] { return !window->reportNotice->isVisible(); }));
}

TEST_F(TwoInstallations, TheNumberTakenInByThisInstallationsOwnPassIsPassedOver) {
    // This installation's own background pass takes the other's invoice in while the page is open: the
    // number the page shows is taken already, and the next one is reported and stored.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string shown = Json(p->document)["number_formatted"].string_value();
    second->sync_start(empty_completion());
    ASSERT_EQ(second->next_number_formatted("INVOICE"), shown);
    Json::object again = Json(p->document).object_items();
    again["number"] = second->next_number("INVOICE");
    const NavReport reply_again = second->nav_report_invoice(p->lines, again);
    ASSERT_EQ(reply_again.result, NavReport::Result::stored) << reply_again.message;
    second->sync_start(empty_completion());
    ASSERT_TRUE(second->nav_release_report(reply_again.record_name));
    g_core->sync_start(empty_completion());
    // An edit after that pass moves the document's number on while its text stays as shown.
    const std::int64_t before_edit = p->previews_shown;
    p->RefreshDocument();
    ASSERT_TRUE(wait_until([&] { return p->previews_shown > before_edit; }));
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    EXPECT_NE(dialog->Title().toStdString(), shown);
    EXPECT_NE(dialog->ContentText().toStdString().find(shown + " számot közben egy másik gépen kiállították"), std::string::npos)
        << dialog->ContentText().toStdString();
    close_result(dialog, Result::Primary);
    EXPECT_EQ(reported_ids().size(), 2u);
    g_core->sync_start(empty_completion());
    const auto numbers = stored_and_reported_numbers();
    ASSERT_EQ(numbers.size(), 2u);
    std::set<std::string> reported;
    for (const auto& [stored, sent] : numbers) {
        EXPECT_EQ(stored, sent) << "the stored number is the reported one";
        reported.insert(sent);
    }
    EXPECT_EQ(reported.size(), 2u) << "each number reported once";
}

TEST_F(TwoInstallations, ARecordTheOtherSettledAsNeverArrivedIsFollowedWhateverItIssuedUnderTheNumber) {
    // This installation's request was lost before the authority and the program killed. The other
    // installation settles its record as never arrived, keeps the typed invoice as a draft, and issues
    // its own invoice of the same content under the number. Started again, this installation follows
    // that verdict: the other's invoice is not taken for its own, the user reads where the draft is,
    // and there is one draft and one upload owed, the other's.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    their_invoice = p->document;
    their_lines = p->lines;
    const std::string number = Json(p->document)["number_formatted"].string_value();
    lost_before_the_authority(p, "TVLOST_1");
    p->lines.clear();
    close_program();
    ASSERT_EQ(second->nav_settle_report(true).result, NavSettled::Result::dropped);
    const NavReport issued = second_reports();
    ASSERT_EQ(issued.result, NavReport::Result::stored) << issued.message;
    ASSERT_TRUE(second->nav_release_report(issued.record_name));
    ASSERT_EQ(stored_as(*second, number), 1);
    std::string told;
    dialogs.answers.push_back([&told](ui::ContentDialog& d) {
        told = d.ContentText().toStdString();
        return Result::Primary;
    });
    restart();
    ASSERT_TRUE(wait_until([&] { return !told.empty(); }, 20000));
    EXPECT_TRUE(g_core->nav_pending_report().is_null());
    const auto drafts = store::rows(*second, "SELECT number_formatted FROM documents WHERE type = 'DRAFT'");
    ASSERT_EQ(drafts.size(), 1u);
    EXPECT_EQ(told.rfind("A(z) " + number + " számú számla nem érkezett meg a NAV-hoz", 0), 0u) << told;
    EXPECT_NE(told.find("megmaradt a(z) " + Json(drafts.front())["number_formatted"].string_value() + " piszkozatban"),
              std::string::npos) << told;
    g_core->sync_start(empty_completion());
    second->sync_start(empty_completion());
    for (Core* store : {g_core, second.get()}) {
        EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM documents WHERE type = 'DRAFT'"), 1) << "one draft overall";
        EXPECT_EQ(stored_as(*store, number), 1);
    }
    ASSERT_TRUE(wait_until([] { return ui::ThreadPool::ActiveCount() == 0; }));
    EXPECT_TRUE(g_core->cashbook_pending().empty()) << "the other's invoice is not uploaded from here";
    EXPECT_EQ(cashbook.request_count(), 0u);
    EXPECT_EQ(second->cashbook_pending(), std::vector<std::string>{issued.record_name});
    each_number_once();
}

TEST_F(TwoInstallations, AVerdictWhoseMakerVanishedIsFinishedPastItsMomentWithOneDraft) {
    // This installation's request was lost before the authority and the program killed. The other
    // installation settles its record as never arrived, writes its verdict into the shared record, and
    // vanishes before its pass and the record's removal reach the cloud: its computer never comes back.
    // Started again, this installation is told which invoice waits for the other and until when, never
    // that the cloud cannot be reached; past that moment it keeps the draft itself, removes the
    // record, and issues its next invoice. One draft.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string number = Json(p->document)["number_formatted"].string_value();
    lost_before_the_authority(p, "TVGONE_1");
    p->lines.clear();
    close_program();
    int writes = 0;
    cloud.set_fault_policy([&writes](const std::string& endpoint) -> std::optional<CloudStore::FaultChoice> {
        if (endpoint != "records/modify" || ++writes == 1) return std::nullopt;
        return CloudStore::FaultChoice{CloudStore::Fault::drop, false};
    });
    EXPECT_EQ(second->nav_settle_report(true).result, NavSettled::Result::waiting);
    cloud.set_fault_policy({});
    ASSERT_NE(cloud.record(kAccount, "invoice_report")->fields.dump().find("verdict"), std::string::npos);
    second.reset();
    std::filesystem::remove_all(other.path());

    restart();
    const std::string until = Tavrin::moment_text(*g_core, kNow + nav_report::verdict_lifetime());
    window->OnSelectedSectionInvoked();
    ASSERT_TRUE(wait_until([&] { return ui::utf8(window->reportNotice->Text()).find(until) != std::string::npos; }))
        << ui::utf8(window->reportNotice->Text());
    EXPECT_EQ(ui::utf8(window->reportNotice->Text()).rfind("A(z) " + number + " számú számla bejelentéséről", 0), 0u);
    Tavrin::DocumentPage* next = new_invoice(1);
    ASSERT_NE(next, nullptr);
    ui::ContentDialog* refused = save(next);
    ASSERT_NE(refused, nullptr);
    const std::string told = refused->ContentText().toStdString();
    refused->Answer(Result::Primary);
    ASSERT_TRUE(wait_until([] { return ui::ContentDialog::Current() == nullptr; }));
    EXPECT_NE(told.find(number + " számú számla bejelentéséről a cég egy másik gépe már döntött"), std::string::npos) << told;
    EXPECT_NE(told.find("Ha " + until + " után sem végzett, ez a gép fejezi be."), std::string::npos) << told;
    EXPECT_EQ(told.find("A felhő most nem érhető el"), std::string::npos) << told;
    next->lines.clear();
    ASSERT_TRUE(close_page());

    set_clock([] { return kNow + 60; });
    ASSERT_TRUE(settled_by(*g_core));
    EXPECT_NE(told_kept_draft().find("megmaradt a(z) "), std::string::npos);
    EXPECT_FALSE(cloud.record(kAccount, "invoice_report") && !cloud.record(kAccount, "invoice_report")->deleted);
    EXPECT_EQ(saved_new_invoice(), text("saving_successful"));
    EXPECT_EQ(stored_as(*g_core, number), 1);
    one_draft_overall();
    each_number_once();
}

TEST_F(TwoInstallations, AVerdictReadDuringItsMakersPassIsFollowedWithOneDraft) {
    // The other installation settles this one's lost report as never arrived; this installation
    // starts again while that installation's pass (its draft, its verdict row) is still on its way to
    // the cloud. It waits for that draft rather than keep one of its own, then follows the verdict.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    lost_before_the_authority(p, "TVPASS_1");
    p->lines.clear();
    close_program();
    cloud.hold("changes/zone");
    NavSettled::Result made = NavSettled::Result::waiting;
    std::thread maker([&] { made = second->nav_settle_report(true).result; });
    ASSERT_TRUE(cloud.wait_held(std::chrono::seconds(20)));
    restart();
    EXPECT_FALSE(g_core->nav_pending_report().is_null()) << "followed before the verdict's draft was there";
    EXPECT_EQ(count(*g_core, "SELECT COUNT(*) FROM documents WHERE type = 'DRAFT'"), 0);
    cloud.release();
    maker.join();
    EXPECT_EQ(made, NavSettled::Result::dropped);
    ASSERT_TRUE(settled_by(*g_core));
    const auto drafts = store::rows(*g_core, "SELECT number_formatted FROM documents WHERE type = 'DRAFT'");
    ASSERT_EQ(drafts.size(), 1u);
    EXPECT_NE(told_kept_draft().find("megmaradt a(z) " + Json(drafts.front())["number_formatted"].string_value() +
                                     " piszkozatban"),
              std::string::npos);
    one_draft_overall();
}

TEST_F(TwoInstallations, AnEstimateIsNeitherReportedNorBookedNorMarkedPaid) {
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    p->docTypesCombBox->SelectedIndex(index_of(g_core->constants["doc_types"].array_items(), "id", "ESTIMATE"));
    p->OnSelectorChanged(p->docTypesCombBox);
    ASSERT_TRUE(wait_until([&] { return Json(p->document)["type"].string_value() == "ESTIMATE"; }));
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->findChildren<QPushButton*>().size(), 1u);
    close_result(dialog, Result::Primary);
    EXPECT_EQ(count(*g_core, "SELECT COUNT(*) FROM documents WHERE type = 'ESTIMATE'"), 1);
    EXPECT_TRUE(reported_ids().empty());
    EXPECT_EQ(cashbook.request_count(), 0u);

    // The program is closed while the next estimate's save waits for a slow cloud: the close waits
    // for the save, saying so, and the program ends once it is stored.
    p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    p->docTypesCombBox->SelectedIndex(index_of(g_core->constants["doc_types"].array_items(), "id", "ESTIMATE"));
    p->OnSelectorChanged(p->docTypesCombBox);
    ASSERT_TRUE(wait_until([&] { return Json(p->document)["type"].string_value() == "ESTIMATE"; }));
    slow_change_downloads(std::chrono::milliseconds(1500));
    dialogs.answers.push_back([](ui::ContentDialog&) { return Result::Primary; });
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    QTest::mouseClick(p->saveButton, Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] {
        const ui::ContentDialog* d = ui::ContentDialog::Current();
        return dialogs.answers.empty() && d && d->ContentText() == ui::qs(text("saving"));
    }));
    window->Close();
    ASSERT_NE(g_core, nullptr) << "the close waits for the save";
    const std::string told = ui::ContentDialog::Current()->ContentText().toStdString();
    EXPECT_NE(told.find("A program bezárul, amint a mentés véget ért."), std::string::npos) << told;
    ASSERT_TRUE(ended_by_close());
    cloud.set_fault_policy({});
    start_again();
    EXPECT_EQ(count(*g_core, "SELECT COUNT(*) FROM documents WHERE type = 'ESTIMATE'"), 2);
}

TEST_F(TwoInstallations, AnInstallationOutOfTheCloudsReachReportsNothing) {
    ASSERT_TRUE(their_invoice_from_new_page());
    const std::size_t received = nav.received_numbers().size();
    {
        ScopedEnv offline("TAVRIN_CLOUD_URL", nowhere());
        EXPECT_EQ(second_reports().result, NavReport::Result::cloud);
    }
    EXPECT_EQ(nav.received_numbers().size(), received);
}

TEST_F(TwoInstallations, AReplyHeldAcrossARestartLeavesEachInvoiceStoredOnceOnBoth) {
    // The cloud words its refusal of a create over a standing record as a conflict.
    cloud.answer_exists_as_conflict();
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    their_invoice = p->document;
    their_lines = p->lines;
    // This installation's reply is held, its processing slower than any wait; the other installation
    // saves meanwhile and waits for it, whatever its number. This one ends while the reply is held and
    // starts again; the authority then finishes, and each installation stores each invoice once.
    nav.set_processing_delay(std::chrono::hours(1));
    nav.fault_next_replies(NavReplyFault::hang);
    dialogs.answers.push_back([](ui::ContentDialog&) { return Result::Primary; });
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    QTest::mouseClick(p->saveButton, Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return nav.wait_hung(std::chrono::milliseconds(0)); }));
    const NavReport held_off = second_reports();
    EXPECT_EQ(held_off.result, NavReport::Result::waiting);
    EXPECT_TRUE(held_off.pending.elsewhere);
    EXPECT_EQ(held_off.pending.reason, NavSettled::Reason::processing);
    dialogs.answers.clear();
    restart();
    nav.release_hung();
    nav.set_processing_delay(std::chrono::milliseconds(0));
    // Settled when the user next opens the invoice list (or saves).
    ASSERT_TRUE(wait_until([&] { return g_core->nav_settle_report(true).result == NavSettled::Result::none; }, 30000));
    const NavReport after = second_reports();
    ASSERT_EQ(after.result, NavReport::Result::stored) << after.message;
    ASSERT_TRUE(second->nav_release_report(after.record_name));
    g_core->sync_start(empty_completion());

    each_number_once();
    const char* const by_number = "SELECT number_formatted, nav_transaction_id FROM documents WHERE type = 'INVOICE' "
                                  "ORDER BY number_formatted";
    const auto mine_now = store::rows(*g_core, by_number);
    EXPECT_EQ(mine_now.size(), 2u);
    EXPECT_EQ(Json(mine_now).dump(), Json(store::rows(*second, by_number)).dump()) << "both stores hold the same";
    std::set<std::string> transactions;
    for (const auto& row : mine_now) transactions.insert(Json(row)["nav_transaction_id"].string_value());
    EXPECT_EQ(transactions.size(), mine_now.size()) << "each invoice with its own transaction";
    for (const auto& [stored, reported_number] : stored_and_reported_numbers()) EXPECT_EQ(stored, reported_number);
    std::size_t in_cloud = 0;
    for (const CloudStore::Record& record : cloud.records(kAccount))
        in_cloud += record.type == "Documents" && cloud.row(kAccount, record.name)["type"].string_value() == "INVOICE";
    EXPECT_EQ(in_cloud, mine_now.size());
}

TEST_F(TwoInstallations, CopiesOfAStockInvoiceSettledAcrossNewYearBecomeOneDocument) {
    cloud.answer_exists_as_conflict();
    // This installation stores an invoice of a stock item on New Year's Eve and does not upload it
    // before the other settles its record, past the deadline on New Year's Day, and stores the same
    // invoice: the copies become one document with one stock movement, and its upload is owed by both
    // (the upload's mark lets one of them send it).
    const std::time_t new_years_eve = local_seconds(2026, 12, 31, 23, 59, 0);
    set_clock([new_years_eve] { return new_years_eve; });
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    their_lines = p->lines;
    Json::object stock_line = p->lines.at(0).object_items();
    stock_line["itemRecordName"] = "ITEM-RAKTAR-1";
    stock_line["item_type"] = "INVENTORY_TRACKING";
    stock_line["type"] = "PRODUCT";
    p->lines.at(0) = stock_line;
    const NavReport stored_here = g_core->nav_report_invoice(p->lines, p->document);
    ASSERT_EQ(stored_here.result, NavReport::Result::stored) << stored_here.message;
    p->lines.clear();
    set_clock([new_years_eve] { return new_years_eve + 100; });
    // The clocks moved on together: the other installation learns the authority's time from its next reply.
    second->nav_settle_report(true);
    their_invoice = Json(store::rows(*second, "SELECT * FROM documents WHERE type = 'INVOICE' LIMIT 1").at(0)).object_items();
    their_invoice.erase("nav_transaction_id");
    their_invoice.erase("recordName");
    const NavReport after_settling = second_reports();
    ASSERT_EQ(after_settling.result, NavReport::Result::stored) << after_settling.message;
    g_core->sync_start(empty_completion());
    second->sync_start(empty_completion());
    set_clock([] { return kNow; });
    // Counted by the invoice's transaction and the item, whatever the names.
    const std::string transaction =
        Json(store::rows(*g_core, "SELECT nav_transaction_id FROM documents WHERE recordName = ?", {stored_here.record_name})
                 .at(0))["nav_transaction_id"]
            .string_value();
    ASSERT_FALSE(transaction.empty());
    for (Core* store : {g_core, second.get()}) {
        EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM documents WHERE nav_transaction_id = '" + transaction + "'"), 1);
        EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM documents WHERE recordName = '" + stored_here.record_name + "'"), 1);
        EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM inventory AS i JOIN documents AS d ON d.recordName = "
                                "i.documentRecordName WHERE d.nav_transaction_id = '" + transaction +
                                    "' AND i.itemRecordName = 'ITEM-RAKTAR-1'"),
                  1)
            << "one stock movement for the line";
        EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM inventory WHERE itemRecordName = 'ITEM-RAKTAR-1'"), 1)
            << "no movement of another copy";
    }
    const std::vector<std::string> owed_here = g_core->cashbook_pending();
    const std::vector<std::string> owed_there = second->cashbook_pending();
    EXPECT_EQ(std::count(owed_here.begin(), owed_here.end(), stored_here.record_name), 1);
    EXPECT_EQ(std::count(owed_there.begin(), owed_there.end(), stored_here.record_name), 1);
    each_number_once();
    ASSERT_TRUE(second->nav_release_report(after_settling.record_name));
}

TEST_F(TwoInstallations, ANumberOtherSoftwareHoldsIsPassedOverByBoth) {
    cloud.answer_exists_as_conflict();
    // Other software holds the next number: once this installation has learnt it, the other passes it
    // over too, and a page of the other that still shows it does not send it.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string foreign_number = Json(p->document)["number_formatted"].string_value();
    other_software_reports(p, 5);
    EXPECT_EQ(g_core->nav_report_invoice(p->lines, p->document).result, NavReport::Result::taken);
    g_core->sync_start(empty_completion());
    second->sync_start(empty_completion());
    EXPECT_NE(second->next_number_formatted("INVOICE"), foreign_number);
    EXPECT_EQ(second->nav_report_invoice(p->lines, p->document).result, NavReport::Result::taken);
    const std::vector<std::string> sent = nav.received_numbers();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), foreign_number), 1);
    p->lines.clear();
    ASSERT_TRUE(close_page());
}

TEST_F(TwoInstallations, ARenumberedSaveWhoseReplyIsLostNamesBothNumbers) {
    cloud.answer_exists_as_conflict();
    // The page shows a number the other installation issues meanwhile; this save takes the next one and
    // its reply is lost: the user reads both numbers, and, once it is stored, that it was renumbered.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string page_number = Json(p->document)["number_formatted"].string_value();
    their_invoice = p->document;
    their_lines = p->lines;
    const NavReport issued_there = second_reports();
    ASSERT_EQ(issued_there.result, NavReport::Result::stored) << issued_there.message;
    ASSERT_TRUE(second->nav_release_report(issued_there.record_name));
    ASSERT_EQ(stored_as(*second, page_number), 1);
    nav.set_processing_delay(std::chrono::hours(1));
    nav.fault_next_replies(NavReplyFault::drop);
    std::string renumbered_to;
    {
        ScopedEnv quick("TAVRIN_NAV_SETTLE_SECONDS", "1");
        ui::ContentDialog* dialog = save(p);
        ASSERT_NE(dialog, nullptr);
        renumbered_to = dialog->Title().toStdString();
        const std::string told = dialog->ContentText().toStdString();
        EXPECT_NE(told.find("A számla a(z) " + renumbered_to + " számot kapta a(z) " + page_number + " helyett"),
                  std::string::npos)
            << told;
        dialog->Answer(Result::Primary);
        ASSERT_TRUE(wait_until([] { return ui::ContentDialog::Current() == nullptr; }));
    }
    EXPECT_NE(renumbered_to, page_number);
    nav.set_processing_delay(std::chrono::milliseconds(0));
    ASSERT_TRUE(settled_by(*g_core));
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->ContentText().toStdString().rfind("A dokumentum a(z) " + renumbered_to + " számon lett elmentve, mert a(z) " +
                                                            page_number + " számot közben egy másik gépen kiállították.",
                                                        0),
              0u)
        << dialog->ContentText().toStdString();
    close_result(dialog, Result::Primary);
}

TEST_F(TwoInstallations, AReportUnknownToARestoredDataFolderIsSettledNotSentAgain) {
    cloud.answer_exists_as_conflict();
    // A data folder restored from a backup older than its report: the shared record this computer
    // wrote is unknown to it. It is settled from the authority's records, never removed blindly, and
    // its number is not sent again.
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    const std::string restored = Json(p->document)["number_formatted"].string_value();
    their_invoice = p->document;
    their_lines = p->lines;
    ASSERT_EQ(report_left_waiting(p).result, NavReport::Result::waiting);
    ASSERT_TRUE(store::run(*g_core, "DELETE FROM settings WHERE recordName = 'nav_pending'"));
    restart();
    const NavSettled unknown = g_core->nav_settle_report(true);
    EXPECT_EQ(unknown.result, NavSettled::Result::waiting);
    EXPECT_EQ(unknown.reason, NavSettled::Reason::processing);
    nav.set_processing_delay(std::chrono::milliseconds(0));
    ASSERT_TRUE(wait_until([&] { return g_core->nav_settle_report(true).result == NavSettled::Result::none; }, 15000));
    EXPECT_EQ(stored_as(*g_core, restored), 1);
    const NavReport after_restore = second_reports();
    ASSERT_EQ(after_restore.result, NavReport::Result::stored) << after_restore.message;
    const std::vector<std::string> sent = nav.received_numbers();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), restored), 1);
    each_number_once();
}

TEST_F(TwoInstallations, AReportFromAClockBehindIsJudgedOnTheAuthoritysClock) {
    cloud.answer_exists_as_conflict();
    ASSERT_TRUE(their_invoice_from_new_page());
    // The other installation's report from a clock behind: this installation judges the record on the
    // authority's clock, waits for it instead of taking it as expired, and never reports the number a
    // second time.
    EXPECT_EQ(their_reply_with_clock_behind(), NavReport::Result::waiting);
    Json::object same_number = their_invoice;
    same_number["number"] = second->nav_pending_report()["document"]["number"];
    same_number["number_formatted"] = second->nav_pending_report()["number_formatted"];
    const NavReport ahead = g_core->nav_report_invoice(their_lines, same_number);
    EXPECT_EQ(ahead.result, NavReport::Result::waiting);
    EXPECT_TRUE(ahead.pending.elsewhere);
    ASSERT_TRUE(settled_by(*second));
    each_number_once();
}

TEST_F(TwoInstallations, TheSharedRecordCarriesTheOffsetOfItsOwnTokenExchange) {
    cloud.answer_exists_as_conflict();
    ASSERT_TRUE(their_invoice_from_new_page());
    ASSERT_EQ(their_reply_with_clock_behind(), NavReport::Result::waiting);
    ASSERT_TRUE(settled_by(*second));
    // Its clock set right, the other installation reports again and its reply is lost: the shared
    // record carries the offset this report's token exchange measured, not the one of the clock
    // before, and this installation finds the submission in the authority's records.
    ASSERT_TRUE(wait_until([&] { return g_core->nav_settle_report(true).result == NavSettled::Result::none; }, 15000));
    EXPECT_EQ(second->setting("local")["nav_clock_offset"].number_value(), 360.0);
    nav.set_processing_delay(std::chrono::hours(1));
    nav.fault_next_replies(NavReplyFault::drop);
    EXPECT_EQ(their_reply(), NavReport::Result::waiting);
    bool reachable = false;
    EXPECT_NEAR(g_core->nav_shared_report(reachable)["report"]["service_offset"].number_value(), 0.0, 2.0);
    EXPECT_EQ(g_core->nav_settle_report(true).reason, NavSettled::Reason::processing) << "found where it arrived";
    nav.set_processing_delay(std::chrono::milliseconds(0));
    ASSERT_TRUE(settled_by(*second));
}

TEST_F(TwoInstallations, ASharedRecordRemovedWhileItsWriterExchangesItsTokenIsNeverSent) {
    cloud.answer_exists_as_conflict();
    ASSERT_TRUE(their_invoice_from_new_page());
    // A shared record removed by another installation while its writer still exchanges its token is
    // never sent; a removal meant for the record as it stood before its writer wrote that it sends
    // leaves it standing.
    ScopedEnv limit("TAVRIN_NAV_REQUEST_SECONDS", "10");
    nav.set_token_delay(std::chrono::milliseconds(3000));
    bool reachable = false;
    auto tag_while_exchanging = [&] {
        std::string tag;
        wait_until([&] { return !(tag = g_core->nav_shared_report(reachable)["tag"].string_value()).empty(); });
        return tag;
    };
    const std::size_t received_before_race = nav.received_numbers().size();
    NavReport raced;
    std::thread writer([&] { raced = second_reports(); });
    EXPECT_TRUE(g_core->nav_unshare_report(tag_while_exchanging()));
    writer.join();
    EXPECT_EQ(raced.result, NavReport::Result::cloud_update);
    EXPECT_EQ(nav.received_numbers().size(), received_before_race) << "sent after its record was removed";
    std::thread sender([&] { raced = second_reports(); });
    const std::string before_sending = tag_while_exchanging();
    sender.join();
    nav.set_token_delay(std::chrono::milliseconds(0));
    ASSERT_EQ(raced.result, NavReport::Result::stored) << raced.message;
    EXPECT_FALSE(g_core->nav_unshare_report(before_sending));
    EXPECT_TRUE(g_core->nav_shared_report(reachable)["report"]["sent"].is_number()) << "the record stands";
    second->sync_start(empty_completion());
    EXPECT_TRUE(second->nav_release_report(raced.record_name));
    each_number_once();
}

TEST_F(TwoInstallations, TwoSavingAtOnceWithAClockAheadGoOneAfterTheOther) {
    cloud.answer_exists_as_conflict();
    ASSERT_TRUE(their_invoice_from_new_page());
    // The other installation's token exchange is slow, within its request's limit; this one's clock
    // is 6 minutes ahead, and it has heard nothing of the authority's time yet. It saves the same
    // number meanwhile: it is told the other's report waits, and never removes its shared record.
    ScopedEnv limit("TAVRIN_NAV_REQUEST_SECONDS", "10");
    nav.set_token_delay(std::chrono::milliseconds(4000));
    nav_report::forget_service_time();
    bool reachable = false;
    NavReport theirs;
    std::thread writer([&] { theirs = second_reports(); });
    ASSERT_TRUE(wait_until([&] { return !g_core->nav_shared_report(reachable)["tag"].string_value().empty(); }, 5000));
    set_clock([] { return kNow + 360; });
    Json::object same_number = their_invoice;
    same_number["number"] = g_core->next_number("INVOICE");
    same_number["number_formatted"] = g_core->next_number_formatted("INVOICE");
    const NavReport ahead = g_core->nav_report_invoice(their_lines, same_number);
    set_clock([] { return kNow; });
    writer.join();
    nav.set_token_delay(std::chrono::milliseconds(0));
    EXPECT_EQ(ahead.result, NavReport::Result::waiting);
    EXPECT_TRUE(ahead.pending.elsewhere);
    ASSERT_EQ(theirs.result, NavReport::Result::stored) << theirs.message;
    second->sync_start(empty_completion());
    EXPECT_TRUE(second->nav_release_report(theirs.record_name));
    // This one goes next, under the next number.
    g_core->sync_start(empty_completion());
    Json::object next = their_invoice;
    next["number"] = g_core->next_number("INVOICE");
    next["number_formatted"] = g_core->next_number_formatted("INVOICE");
    const NavReport after = g_core->nav_report_invoice(their_lines, next);
    EXPECT_EQ(after.result, NavReport::Result::stored) << after.message;
    each_number_once();
}

TEST_F(DocumentSave, DemoTaskLogoAndThemeColours) {
    g_core->close_database();
    g_core->current_account = "DEMO";
    g_core->open_database();
    start();
    Tavrin::DocumentPage* p = new_invoice(1);
    ASSERT_NE(p, nullptr);
    Core& core = *g_core;

    // The colour panel takes the record lists' place; the font colour is the first target.
    QTest::mouseClick(p->colorsButton, Qt::LeftButton);
    EXPECT_TRUE(p->recordsPivot->isHidden());
    EXPECT_FALSE(p->colorsPanel->isHidden());
    EXPECT_EQ(p->colorsButton->Content().toStdString(), text("colors_close"));
    EXPECT_TRUE(Tavrin::has_target_style(p->fontColorButton));
    EXPECT_FALSE(Tavrin::has_target_style(p->backgroundColorButton));
    EXPECT_EQ(p->themeColorPicker->Color(), QColor(0, 0, 0));
    QTest::mouseClick(p->backgroundColorButton, Qt::LeftButton);
    EXPECT_TRUE(Tavrin::has_target_style(p->backgroundColorButton));
    EXPECT_EQ(p->themeColorPicker->Color(), QColor(255, 255, 255));
    p->themeColorPicker->Color(QColor(255, 8, 0));
    EXPECT_EQ(core.setting("theme_colors")["accent_background_color"].string_value(), "ff0800");
    EXPECT_EQ(core.setting("theme_colors")["accent_font_color"].string_value(), "000000");
    // A swatch is stored under the target even when the picker shows its colour already.
    QTest::mouseClick(p->fontColorButton, Qt::LeftButton);
    const QColor swatch = p->colorSwatchList->TagAt(2).value<QColor>();
    p->themeColorPicker->Color(swatch);
    write("theme_colors", Json::object{{"accent_font_color", "123456"}, {"accent_background_color", "ff0800"}});
    p->colorSwatchList->SelectedIndex(2);
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x", swatch.red(), swatch.green(), swatch.blue());
    EXPECT_EQ(core.setting("theme_colors")["accent_font_color"].string_value(), hex);
    EXPECT_EQ(uitest::wait_for_script(p->previewWebView,
                                      "getComputedStyle(document.documentElement).getPropertyValue('--accent-font-color').trim()",
                                      "\"#" + std::string(hex) + "\""),
              "\"#" + std::string(hex) + "\"");
    QTest::mouseClick(p->colorsButton, Qt::LeftButton);
    EXPECT_FALSE(p->recordsPivot->isHidden());
    EXPECT_TRUE(p->colorsPanel->isHidden());
    EXPECT_EQ(p->colorsButton->Content().toStdString(), text("colors"));

    // A logo: the dialog stays until the copy is made, then the preview shows it.
    const std::string picture = dir.write("logo.png", read_file(std::string(TAVRIN_TEST_DATA) + "/../../resources/icons/tavrin.png"));
    ui::FilePicker::SetResponder([&](const ui::FilePicker& picker) {
        EXPECT_EQ(picker.Filters().size(), 1);
        return ui::qs(picture);
    });
    bool logo_dialog = false;
    dialogs.answers.push_back([&](ui::ContentDialog& d) -> std::optional<Result> {
        logo_dialog = d.Title().toStdString() == text("logo") && d.ContentText().toStdString() == text("saving");
        return std::nullopt;
    });
    QTest::mouseClick(p->logoButton, Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return logo_dialog && ui::ContentDialog::Current() == nullptr; }));
    ui::FilePicker::SetResponder(nullptr);
    EXPECT_EQ(read_file(data + "DEMOlogo"), read_file(picture));

    // A task without a number is saved as "Task"; the sample account reports and uploads nothing.
    p->docTypesCombBox->SelectedIndex(index_of(core.constants["doc_types"].array_items(), "id", "TASK"));
    p->OnSelectorChanged(p->docTypesCombBox);
    p->numberTextBox->Text(QString());
    ASSERT_TRUE(wait_until([&] { return Json(p->document)["number_formatted"].string_value().empty(); }));
    ui::ContentDialog* dialog = save(p);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(saving_title, text("TASK"));
    EXPECT_EQ(dialog->ContentText().toStdString(), text("saving_successful_demo"));
    EXPECT_EQ(dialog->findChildren<QPushButton*>().size(), 1u) << "a task is not marked paid";
    close_result(dialog, Result::Primary);
    EXPECT_EQ(count(core, "SELECT COUNT(*) FROM documents WHERE type = 'TASK' AND number_formatted = '" + text("TASK") + "'"), 1);
    EXPECT_EQ(nav.request_count(), 0u);
    EXPECT_EQ(cashbook.request_count(), 0u);
}

}  // namespace
