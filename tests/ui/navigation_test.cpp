// The main window's navigation against loopback services: sections start their background work (the
// sync pass, the invoices' status query, the web shop's order import) and show their lists without
// waiting for it, even when no service answers; company accounts are added, switched, renamed and
// deleted from the settings page and the accounts menu.
#include "tests/fakes/cloud_store.h"
#include "tests/fakes/nav_fake.h"
#include "tests/fakes/webshop_fake.h"
#include "tests/test_support.h"
#include "tests/ui/dialog_driver.h"
#include "tests/ui/ui_test_support.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "app/settings/SettingsPage.h"
#include "core/Core.h"
#include "core/store/store_internal.h"

#include <QElapsedTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <vector>

using json11::Json;
using uitest::control;
using uitest::Dialogs;
using uitest::wait_for_script;
using uitest::wait_until;
using Result = ui::ContentDialogResult;

namespace {

const std::string kFirst = "1A2B3C4D-5E6F-4A8B-9C0D-E1F2A3B4C5D6";
constexpr std::time_t kNow = 1772362800;  // 2026-03-01 12:00 in Budapest
const QString kRowCount = "document.querySelectorAll('#list tbody tr').length";

int count(const std::string& sql) {
    return store::rows(*g_core, sql).front().begin()->second.int_value();
}

// The first account's installation and its cloud; the main window started as the program starts it.
class Navigation : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return kNow; });
        cloud.create_zone(kFirst);
        first = Json::object{{"id", kFirst}, {"name", "Első Kft."}};
        cloud.put_row("_defaultZone", "Settings", "accounts", Json(Json::array{first}));
        g_core = make_core(data, "hu").release();
        g_core->current_account = kFirst;
        g_core->open_database();
        g_core->save_web_auth_token("session");
    }

    void TearDown() override {
        if (window) {
            window->Close();
            delete window;
        }
        g_main_window = nullptr;
        ui::ThreadPool::WaitForIdle();
        delete g_core;
        g_core = nullptr;
        set_clock({});
    }

    // The window is shown: the cloud set-up runs and the invoices are listed.
    void start() {
        window = new Tavrin::MainWindow;
        g_main_window = window;
        window->Activate();
        ASSERT_TRUE(wait_until([&] { return section() == "INVOICE" && !window->navigationView->isHidden(); }));
    }

    std::string section() const {
        ui::NavigationViewItem* item = window->navigationView->SelectedItem();
        return item ? ui::Name(item) : std::string();
    }

    // The rows the list view should show for the list the core built last: clients and items are not
    // paged.
    std::string expected_rows() const {
        const bool master = section() == "clients" || section() == "items";
        return std::to_string(master ? g_core->list_count : std::min(g_core->list_count, 100));
    }

    bool idle() const { return !window->busyIndicator->IsActive() && ui::ThreadPool::ActiveCount() == 0; }

    ui::NavigationViewItem* menu_entry(const std::string& id) const {
        ui::NavigationItemList& entries = window->accountsItem->MenuItems();
        for (int i = 0; i < entries.Size(); ++i)
            if (ui::TagText(entries.GetAt(i)->Tag()) == id) return entries.GetAt(i);
        return nullptr;
    }

    Json cloud_accounts() const {
        auto record = cloud.record("_defaultZone", "accounts");
        if (!record || record->deleted) return Json();
        return Json::parse(record->fields["data"]["value"].string_value());
    }

    TempDir dir;
    const std::string data = dir.path() + "data/";
    CloudStore cloud;
    ScopedEnv env{[this] {
        ScopedEnv::Values values = cloud.env();
        values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:1");
        return values;
    }()};
    Json first;
    Dialogs dialogs;
    Tavrin::MainWindow* window = nullptr;
};

TEST_F(Navigation, SectionsRunTheirWorkAndNeverWaitForAServiceThatDoesNotAnswer) {
    // The invoice is reported, and the tax authority has finished with it; the shop holds two orders.
    NavFake nav(std::string(TAVRIN_TEST_DATA) + "/nav");
    const NavUser user{"tavrintechuser", "Jelszo-123", "ab-12cd-34ef-56ab78", "EXCHANGE-KEY-1234", "12345678"};
    nav.add_user(user);
    NavTransaction processed;
    processed.status = "DONE";
    nav.set_transaction("TX0001", processed);
    ScopedEnv nav_env(nav.env());
    WebshopFake shop("ck_nav", "cs_nav");
    for (int id : {501, 502})
        shop.add_order(Json::object{{"id", id},
                                    {"date_created", "2026-02-20T10:00:00"},
                                    {"currency", "HUF"},
                                    {"total", "1000"},
                                    {"billing", Json::object{{"first_name", "Anna"}, {"last_name", "Bolt"}}},
                                    {"line_items", Json::array{}}});

    Json::object supplier = user.signed_in(g_core->setting("supplier").object_items(), "12345678-2-41");
    const auto write = [](const std::string& key, const Json& value) {
        ASSERT_TRUE(g_core->save_record({{"recordName", key}, {"value", value.dump()}, {"synced", 0}}, "settings"));
    };
    write("supplier", supplier);
    write("webshop_connect",
          Json::object{{"id", "woocommerce"}, {"domain", shop.url()}, {"key1", "ck_nav"}, {"key2", "cs_nav"}});
    // Reported invoices whose processing result is not known yet.
    const auto invoice = [](int number, const std::string& transaction) {
        ASSERT_FALSE(g_core->save_document({}, false,
                                           {{"type", "INVOICE"},
                                            {"number", number},
                                            {"number_formatted", "NAV-" + std::to_string(number)},
                                            {"issue_date", iso_date(0)},
                                            {"currency_code", "HUF"},
                                            {"supplier_identifier_number", "12345678-2-41"},
                                            {"nav_transaction_id", transaction}})
                         .empty());
    };
    invoice(1, "TX0001");
    // As an older version left it: no reporting status at all.
    ASSERT_TRUE(store::run(*g_core, "UPDATE documents SET nav_status = NULL", {}));

    // The invoices come first: their status query stores the result and the list shows it.
    start();
    ASSERT_TRUE(wait_until([&] {
        return count("SELECT COUNT(*) FROM documents WHERE nav_status = 'DONE'") == 1 && idle();
    }));
    EXPECT_EQ(wait_for_script(window->listWebView,
                              "document.querySelector('#list tbody tr td span').getAttribute('style')",
                              "\"color:#34c759\""),
              "\"color:#34c759\"");
    const auto called = [](const auto& calls, auto match) { return std::count_if(calls.begin(), calls.end(), match); };
    EXPECT_EQ(called(nav.calls(), [](const NavCall& c) { return c.operation == "queryTransactionStatus"; }), 1);
    const auto downloads = [&] { return called(cloud.calls(), [](const CloudCall& c) { return c.endpoint == "changes/zone"; }); };
    const auto first_downloads = downloads();

    // The web shop's orders are imported on the first visit only.
    window->navigationView->SelectedItem(window->listItems[10]);
    ASSERT_TRUE(wait_until([&] { return count("SELECT COUNT(*) FROM documents WHERE type = 'WEBSHOP_ORDER'") == 2 && idle(); }));
    EXPECT_EQ(wait_for_script(window->listWebView, kRowCount, "2"), "2");
    const std::size_t asked = shop.order_requests().size();
    window->navigationView->SelectedItem(window->listItems[1]);
    window->navigationView->SelectedItem(window->listItems[10]);
    ASSERT_TRUE(wait_until([&] { return shop.order_requests().size() > asked && idle(); }));
    EXPECT_EQ(count("SELECT COUNT(*) FROM documents WHERE type = 'WEBSHOP_ORDER'"), 2);
    // Every section change started a sync pass.
    EXPECT_GE(downloads(), first_downloads + 3);

    // Another installation's estimate reaches the cloud: a click on the list already shown syncs, and
    // the list shows what the pass brought, with no other click.
    window->navigationView->SelectedItem(window->listItems[5]);
    ASSERT_TRUE(wait_until([&] { return idle(); }));
    EXPECT_EQ(wait_for_script(window->listWebView, kRowCount, "0"), "0");
    cloud.put_row(kFirst, "Documents", "ESTIMATE-2026-000001",
                  Json::object{{"type", "ESTIMATE"}, {"number", 1}, {"number_formatted", "AJ-2026-1"},
                               {"issue_date", iso_date(0)}, {"currency_code", "HUF"}, {"client_name", "Másik Gép Kft."},
                               {"created", 1.0}, {"modified", 1.0}});
    window->OnSelectedSectionInvoked();
    EXPECT_EQ(wait_for_script(window->listWebView, kRowCount, "1"), "1");
    EXPECT_EQ(count("SELECT COUNT(*) FROM documents WHERE type = 'ESTIMATE'"), 1);
    // A list made off the UI thread is not shown over the one the user asked for after it: the store
    // is held here until the search has shown its empty list.
    {
        const std::lock_guard<std::recursive_mutex> held(g_core->store_mutex);
        window->RefreshListOffThread();
        window->searchBox->Text("Nincs ilyen ügyfél");
    }
    ASSERT_TRUE(wait_until([&] { return idle(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(g_core->list_count, 0);
    EXPECT_EQ(wait_for_script(window->listWebView, kRowCount, "0"), "0");
    window->searchBox->Text(QString());
    EXPECT_EQ(wait_for_script(window->listWebView, kRowCount, "1"), "1");

    // Documents made here that took a new number are told once, after a pass.
    const Json renumbered = Json::array{Json::object{
        {"type", "ESTIMATE"}, {"created", 1.0}, {"old", "ARAJANLAT/2026-0001"}, {"new", "ARAJANLAT/2026-0002"}}};
    ASSERT_TRUE(g_core->save_record({{"recordName", store::kRenumberedRow}, {"value", renumbered.dump()}, {"synced", -1}},
                                    "settings"));
    // What the one message shown over two passes (two list clicks) says.
    std::string told;
    const auto told_over_two_passes = [&] {
        told.clear();
        dialogs.answers.push_back([&told](ui::ContentDialog& d) {
            told = d.ContentText().toStdString();
            return Result::Primary;
        });
        for (int index : {1, 10}) {
            window->navigationView->SelectedItem(window->listItems[static_cast<std::size_t>(index)]);
            if (!wait_until([&] { return idle() && !ui::ContentDialog::Current(); })) return false;
        }
        return true;
    };
    ASSERT_TRUE(told_over_two_passes());
    EXPECT_NE(told.find("\u2022 Árajánlat ARAJANLAT/2026-0001 \u2192 ARAJANLAT/2026-0002"), std::string::npos) << told;
    EXPECT_EQ(dialogs.shown, 1);
    // So are the downloaded records that could not be read.
    ASSERT_TRUE(g_core->save_local_member("set_aside", Json::array{Json::object{{"recordName", "NOTE-1"},
                                                                                {"recordType", "Notes"}}}));
    ASSERT_TRUE(told_over_two_passes());
    EXPECT_NE(told.find(" 1 bejegyzést ez a gép nem tud beolvasni"), std::string::npos) << told;
    // An update does not fetch them again: the text says so, and what brings them here.
    EXPECT_NE(told.find("a program frissítése után sem"), std::string::npos) << told;
    EXPECT_NE(told.find("ahol készültek, mentse el őket újra"), std::string::npos) << told;
    EXPECT_EQ(dialogs.shown, 2);

    // Right after the cloud brought thousands of clients, quick clicks between the clients and the
    // invoices while the pass applies them: each list drawn is the one its tab names (looked at in
    // the page each time one is drawn), and the last click's list stays, with all the pass brought.
    const QString columns = "document.querySelector('#list thead') ? document.querySelector('#list thead').textContent : ''";
    std::map<std::string, std::string> columns_of;
    for (std::size_t index : {1u, 3u}) {
        window->navigationView->SelectedItem(window->listItems[index]);
        ASSERT_TRUE(wait_until([&] { return idle() && window->listCover->isHidden(); }));
        columns_of[section()] = uitest::script(window->listWebView, columns);
    }
    ASSERT_NE(columns_of["clients"], columns_of["INVOICE"]);
    struct Drawn {
        std::string section;
        ui::AsyncOperation<QString> columns;
    };
    std::vector<Drawn> drawn;
    int covered_draws = 0;
    const ui::EventToken checking = window->listWebView->WebMessageReceived.Add(window, [&](ui::WebView2* view, ui::WebMessageReceivedEventArgs args) {
        if (Json::parse(ui::utf8(args.WebMessageAsJson()))["action"].string_value() != "listDrawn") return;
        if (!window->listCover->isHidden()) {
            ++covered_draws;
            return;
        }
        EXPECT_EQ(window->homeTabItem->Header(), window->navigationView->SelectedItem()->Content());
        drawn.push_back(Drawn{section(), view->ExecuteScriptAsync(columns)});
    });
    constexpr int kBrought = 3000;
    for (int index = 0; index < kBrought; ++index) {
        char name[40];
        std::snprintf(name, sizeof name, "CLIENT-%08d", index);
        cloud.put_row(kFirst, "Clients", name,
                      Json::object{{"name", "Ügyfél " + std::to_string(index)}, {"country_code", "HU"},
                                   {"currency_code", "HUF"}, {"status", "DOMESTIC"}});
    }
    const int clients_before = count("SELECT COUNT(*) FROM clients");
    for (int click = 0; click < 12; ++click) {
        window->navigationView->SelectedItem(window->listItems[click % 2 == 0 ? 1 : 3]);
        const std::size_t seen = drawn.size() + static_cast<std::size_t>(covered_draws);
        wait_until([&] { return drawn.size() + static_cast<std::size_t>(covered_draws) > seen; }, 300);
    }
    ASSERT_EQ(section(), "INVOICE");
    window->navigationView->SelectedItem(window->listItems[1]);
    ASSERT_TRUE(wait_until([&] { return idle() && count("SELECT COUNT(*) FROM clients") == clients_before + kBrought; }, 120000));
    const std::string all_clients = std::to_string(clients_before + kBrought);
    EXPECT_EQ(wait_for_script(window->listWebView, kRowCount, all_clients, 120000), all_clients);
    ASSERT_TRUE(wait_until([&] { return window->listCover->isHidden(); }));
    EXPECT_EQ(window->homeTabItem->Header(), window->listItems[1]->Content());
    EXPECT_EQ(uitest::script(window->listWebView, columns), columns_of["clients"]);
    ASSERT_TRUE(wait_until([&] {
        return std::all_of(drawn.begin(), drawn.end(), [](const Drawn& each) { return each.columns.IsDone(); });
    }));
    window->listWebView->WebMessageReceived.Remove(checking);
    EXPECT_FALSE(drawn.empty());
    for (const Drawn& each : drawn)
        EXPECT_EQ(each.columns.GetResults().toStdString(), columns_of[each.section]) << each.section;
    std::printf("rapid clicks: %zu lists drawn under their tabs, %d drawn while covered\n", drawn.size(), covered_draws);

    // Now no service answers: each list is written at once, while the work waits in the background.
    invoice(2, "TX0002");
    auto silent = std::make_unique<FakeServer>();
    silent->hang("*", "/*");
    ScopedEnv silent_env({{"TAVRIN_CLOUD_URL", silent->url()}, {"TAVRIN_NAV_URL", silent->url()}});
    write("webshop_connect",
          Json::object{{"id", "woocommerce"}, {"domain", silent->url()}, {"key1", "ck_nav"}, {"key2", "cs_nav"}});
    for (int index : {3, 1, 2, 10, 0, 3}) {
        ui::NavigationViewItem* item = window->listItems[static_cast<std::size_t>(index)];
        QElapsedTimer clock;
        clock.start();
        window->navigationView->SelectedItem(item);
        const qint64 written = clock.elapsed();
        EXPECT_EQ(window->homeTabItem->Header(), item->Content()) << ui::Name(item);
        // Written without the service: a wait for it would last its request's limit (a minute). The
        // clients' list holds the thousands a pass brought, which a sanitized build on a busy machine
        // takes seconds to make.
        EXPECT_LT(written, 10000) << ui::Name(item);
        EXPECT_EQ(wait_for_script(window->listWebView, kRowCount, expected_rows()), expected_rows()) << ui::Name(item);
        std::printf("%s: list written after %lld ms, shown after %lld ms\n", ui::Name(item).c_str(),
                    static_cast<long long>(written), static_cast<long long>(clock.elapsed()));
        EXPECT_TRUE(window->busyIndicator->IsActive());
    }
    EXPECT_TRUE(silent->wait_for_requests(3, std::chrono::seconds(10)));
    // The silent service goes away; the waiting work ends, and with it the busy indicator.
    silent.reset();
    EXPECT_TRUE(wait_until([&] { return idle(); }, 60000));
}

TEST_F(Navigation, ASecondAccountIsAddedSwitchedToRenamedAndDeletedBesideTheFirst) {
    ASSERT_TRUE(g_core->save_record({{"recordName", "C-1"}, {"name", "Első ügyfél"}, {"synced", 0}}, "clients"));
    start();
    // A client's tab in front: a click on the section already chosen brings its list back.
    window->ShowRecordTab("C-1", true);
    ASSERT_TRUE(wait_until([&] { return window->tabView->SelectedItem() != window->homeTabItem; }));
    QTreeWidget* pane = window->navigationView->Pane();
    ASSERT_TRUE(wait_until([&] { return pane->currentItem() != nullptr; }));
    QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, pane->visualItemRect(pane->currentItem()).center());
    EXPECT_EQ(section(), "INVOICE");
    EXPECT_EQ(window->tabView->SelectedItem(), window->homeTabItem);
    // A date range chosen here is this account's: the next account starts with the past year.
    window->ApplyQuickFilter(window->actionMonthFilter);
    ASSERT_EQ(Json(window->list_filter)["from_date"].string_value(), "2026-03-01");
    window->navigationView->SelectedItem(window->navigationView->SettingsItem());
    Tavrin::SettingsPage* p = window->settingsView;
    ASSERT_EQ(p->accountsList->Size(), 1);

    // Added: a new zone, the list here and in the cloud, the accounts menu.
    int gone = dialogs.gone;
    dialogs.answers.push_back([](ui::ContentDialog& d) {
        control<ui::TextBox>(d, g_core->translated("name", ""))->Text("  Második   Bt. ");
        return Result::Primary;
    });
    dialogs.answers.push_back([](ui::ContentDialog& d) -> std::optional<Result> {
        EXPECT_EQ(d.Title().toStdString(), "Második Bt.");
        return std::nullopt;
    });
    p->addAccountButton->click();
    ASSERT_TRUE(wait_until([&] { return dialogs.gone == gone + 2; }));
    const Json::array listed = g_core->setting("accounts").array_items();
    ASSERT_EQ(listed.size(), 2u);
    const std::string second = listed[1]["id"].string_value();
    EXPECT_EQ(second.size(), 36u);
    Json second_entry = Json::object{{"id", second}, {"name", "Második Bt."}};
    EXPECT_EQ(Json(listed), Json(Json::array{first, second_entry}));
    EXPECT_EQ(cloud_accounts(), Json(listed));
    EXPECT_TRUE(cloud.has_zone(second));
    EXPECT_EQ(window->accountsItem->Content().toStdString(), "Első Kft.");
    ASSERT_NE(menu_entry(second), nullptr);

    // The open account cannot be deleted.
    p->accountsList->SelectedIndex(0);
    const int shown = dialogs.shown;
    p->deleteAccountButton->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(dialogs.shown, shown);

    // A document window whose edited document the user keeps holds the switch back.
    auto* document = new ui::Window(window);
    bool discarded = false;
    document->Closed.Add(window, [&discarded, document](ui::Window*, ui::WindowEventArgs& args) {
        if (discarded) return;
        args.Handled(true);
        auto* question = new ui::ContentDialog(document);
        question->XamlRoot(document);
        question->Title("Elveti?");
        question->PrimaryButtonText("Elvetés");
        question->CloseButtonText("Mégse");
        question->Closed.Add([&discarded, document, question](ui::ContentDialog*, ui::ContentDialogClosedEventArgs e) {
            question->deleteLater();
            if (e.Result() != Result::Primary) return;
            discarded = true;
            document->Close();
        });
        question->ShowAsync();
    });
    document->Activate();
    window->document_window = document;
    dialogs.answers.push_back([](ui::ContentDialog& d) {
        EXPECT_EQ(d.Title().toStdString(), "Elveti?");
        return Result::None;
    });
    window->navigationView->SelectedItem(menu_entry(second));
    ASSERT_TRUE(wait_until([&] { return window->navigationView->SelectedItem() == window->navigationView->SettingsItem(); }));
    EXPECT_TRUE(document->isVisible());
    EXPECT_EQ(g_core->current_account, kFirst);

    // Let go, it closes; the switch then waits for the sync pass under way before the database closes.
    window->navigationView->SelectedItem(window->listItems[3]);
    ASSERT_TRUE(wait_until([&] { return idle(); }));
    cloud.hold("changes/zone");
    window->navigationView->SelectedItem(window->listItems[2]);
    ASSERT_TRUE(cloud.wait_held(std::chrono::seconds(10)));
    // A notice a read takes from the store while the switch begins is the first account's: it is
    // not lost with the switch, but told when that account is open again.
    const Json renumbered = Json::array{Json::object{
        {"type", "ESTIMATE"}, {"created", 1.0}, {"old", "ARAJANLAT/2026-0007"}, {"new", "ARAJANLAT/2026-0008"}}};
    ASSERT_TRUE(g_core->save_record({{"recordName", store::kRenumberedRow}, {"value", renumbered.dump()}, {"synced", -1}},
                                    "settings"));
    {
        // The read waits for the store until the switch runs.
        const std::lock_guard<std::recursive_mutex> held(g_core->store_mutex);
        window->ShowReportNotice();
        dialogs.answers.push_back([](ui::ContentDialog&) { return Result::Primary; });
        window->navigationView->SelectedItem(menu_entry(second));
        ASSERT_TRUE(wait_until([&] { return !document->isVisible() && window->navigationView->isHidden(); }));
    }
    EXPECT_EQ(g_core->current_account, kFirst);
    EXPECT_NE(g_core->db, nullptr);
    EXPECT_TRUE(window->busyIndicator->IsActive());
    cloud.release();
    ASSERT_TRUE(wait_until([&] {
        return g_core->current_account == second && section() == "INVOICE" && !window->navigationView->isHidden() && idle();
    }));
    EXPECT_EQ(window->accountsItem->Content().toStdString(), "Második Bt.");
    EXPECT_EQ(Json(window->list_filter)["from_date"].string_value(), "2025-03-01");
    EXPECT_EQ(count("SELECT COUNT(*) FROM clients WHERE name = 'Első ügyfél'"), 0);
    EXPECT_TRUE(std::filesystem::exists(data + kFirst + ".tvr"));

    // Renamed while open: the list, the cloud and the menu's label follow.
    window->navigationView->SelectedItem(window->navigationView->SettingsItem());
    p->accountsList->SelectedIndex(1);
    gone = dialogs.gone;
    dialogs.answers.push_back([](ui::ContentDialog& d) {
        auto* name = control<ui::TextBox>(d, g_core->translated("name", ""));
        EXPECT_EQ(name->Text().toStdString(), "Második Bt.");
        name->Text("Második Kft.");
        return Result::Primary;
    });
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    p->editAccountButton->click();
    ASSERT_TRUE(wait_until([&] { return dialogs.gone == gone + 2; }));
    second_entry = Json::object{{"id", second}, {"name", "Második Kft."}};
    EXPECT_EQ(g_core->setting("accounts"), Json(Json::array{first, second_entry}));
    EXPECT_EQ(cloud_accounts(), Json(Json::array{first, second_entry}));
    EXPECT_EQ(window->accountsItem->Content().toStdString(), "Második Kft.");

    // Back to the first, which is as it was, telling the notice it kept; the second is deleted with
    // its zone.
    std::string told;
    dialogs.answers.push_back([&told](ui::ContentDialog& d) {
        told = d.ContentText().toStdString();
        return Result::Primary;
    });
    window->navigationView->SelectedItem(menu_entry(kFirst));
    ASSERT_TRUE(wait_until([&] {
        return g_core->current_account == kFirst && section() == "INVOICE" && !window->navigationView->isHidden() &&
               idle() && !told.empty() && dialogs.gone == dialogs.shown;
    }));
    EXPECT_NE(told.find("ARAJANLAT/2026-0007 \u2192 ARAJANLAT/2026-0008"), std::string::npos) << told;
    EXPECT_EQ(count("SELECT COUNT(*) FROM clients WHERE name = 'Első ügyfél'"), 1);
    window->navigationView->SelectedItem(window->navigationView->SettingsItem());
    p->accountsList->SelectedIndex(1);
    gone = dialogs.gone;
    dialogs.answers.push_back([](ui::ContentDialog& d) {
        EXPECT_EQ(d.ContentText().toStdString(), g_core->translated("confirm_delete", "Második Kft."));
        return Result::Primary;
    });
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    p->deleteAccountButton->click();
    ASSERT_TRUE(wait_until([&] { return dialogs.gone == gone + 2; }));
    EXPECT_EQ(g_core->setting("accounts"), Json(Json::array{first}));
    EXPECT_EQ(cloud_accounts(), Json(Json::array{first}));
    EXPECT_FALSE(cloud.has_zone(second));
    EXPECT_TRUE(cloud.has_zone(kFirst));
    EXPECT_EQ(menu_entry(second), nullptr);
}

}  // namespace
