// The program's start-up and main window, driven through their real controls: the cloud sign-in
// road, the DEMO list offline, the search box, paging, the accounts menu, the update and closing.
#include "tests/fakes/cloud_fake.h"
#include "tests/fakes/maker_fake.h"
#include "tests/test_support.h"
#include "tests/ui/demo_program.h"
#include "tests/ui/ui_test_support.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/ContentDialog.h"
#include "ui/Launcher.h"

#include <QApplication>
#include <QImage>
#include <QTreeWidget>

#include <algorithm>
#include <csignal>
#include <set>
#include <filesystem>
#include <fstream>

using json11::Json;
using uitest::script;
using uitest::wait_for_script;
using uitest::wait_until;

namespace {

// Rows of the list page shown in the list view.
const QString kRowCount = "document.querySelectorAll('#list tbody tr').length";

// A port on which nothing listens: a fake that was started and stopped.
using uitest::unreachable_url;

// One run of the program's start-up against loopback services, in its own data folder; the window is
// closed and Core deleted at the end, as the program does.
class Program {
public:
    explicit Program(const TempDir& dir) : data_(dir.path() + "data/") { std::filesystem::create_directories(data_); }
    ~Program() { close(); }

    const std::string& data() const { return data_; }

    void launch() {
        Tavrin::App app;
        app.OnLaunched();
        window_ = qobject_cast<Tavrin::MainWindow*>(g_main_window.data());
        ASSERT_NE(window_, nullptr);
    }

    Tavrin::MainWindow* window() const { return window_; }

    // The navigation is shown with a list selected and the list view holds its page.
    bool wait_ready() {
        return wait_until([&] {
            return window_ && window_->navigationView->isVisible() && window_->navigationView->SelectedItem() &&
                   window_->listWebView->IsLoaded();
        });
    }

    std::string section() const { return ui::Name(window_->navigationView->SelectedItem()); }

    void close() {
        if (window_) window_->Close();
        delete window_;
        window_ = nullptr;
        ui::ThreadPool::WaitForIdle();
        ASSERT_EQ(g_core, nullptr);
    }

private:
    std::string data_;
    Tavrin::MainWindow* window_ = nullptr;
};

// The rows the list view shows once its page matches the current page of the core.
std::string expected_rows() {
    return std::to_string(std::min(g_core->list_count - g_core->list_page * 100, 100));
}

void add_invoices(const std::string& data, const std::string& account, int count) {
    auto core = make_core(data, "hu", Tavrin::get_app_folder());
    core->current_account = account;
    core->open_database();
    store::Transaction batch(*core);
    for (int i = 1; i <= count; ++i) {
        Json::object document{{"type", "INVOICE"},
                              {"number", i},
                              {"number_formatted", "LAP-" + std::to_string(i)},
                              {"issue_date", iso_date(0)},
                              {"delivery_date", iso_date(0)},
                              {"due_date", iso_date(0)},
                              {"currency_code", "HUF"},
                              {"exchange_rate", 1},
                              {"payment_id", "1"},
                              {"client_name", i % 2 ? "Lapozó Kft." : "Oldal Bt."}};
        Json line = Json::object{{"name", "Munkadíj"}, {"quantity", 1}, {"price", 1000 + i}, {"price_type", "NET"}};
        ASSERT_FALSE(core->save_document({line}, false, document).empty());
    }
    ASSERT_TRUE(batch.commit());
}

}  // namespace

TEST(StartUp, SignInRoadStoresTheTokenAndOpensTheAccountsList) {
    TempDir dir;
    CloudFake cloud;
    MakerFake maker;
    Program program(dir);
    // A page of another site, framed in the sign-in window, sends a session of its own to the window's
    // opener first and then tells its parent; only then does the cloud's sign-in window send the real
    // session to its opener, as the real one does.
    FakeServer foreign;
    foreign.route("GET", "/frame", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Connection", "close");
        response.set_content("<html><body><script>window.top.opener.postMessage({ckSession: 'forged'}, '*');"
                             "window.parent.postMessage('sent', '*');</script></body></html>",
                             "text/html");
    });
    const std::string frame = foreign.url() + "/frame";
    cloud.route("GET", "/signin", [frame](const httplib::Request&, httplib::Response& response) {
        response.set_header("Connection", "close");
        response.set_content("<html><body><script>window.addEventListener('message', function (e) {"
                             "if (e.data === 'sent') window.opener.postMessage({ckSession: 'tok+ab/=='}, '*'); });"
                             "</script><iframe src='" + frame + "'></iframe></body></html>",
                             "text/html");
    });
    // The browser keeps connections open; the fake's end should not wait for them.
    for (FakeServer* server : {static_cast<FakeServer*>(&cloud), &foreign})
        server->route("GET", "/favicon.ico", [](const httplib::Request&, httplib::Response& response) {
            response.status = 404;
            response.set_header("Connection", "close");
        });
    cloud.require_web_auth_token("tok%2Bab%2F%3D%3D");
    const std::string accounts = Json(Json::array{Json::object{{"id", "A1"}, {"name", "Alfa Kft."}},
                                                  Json::object{{"id", "B2"}, {"name", "Béta Bt."}}})
                                     .dump();
    cloud.reply("records/query",
                Json::object{{"records", Json::array{Json::object{
                                             {"recordName", "accounts"},
                                             {"fields", Json::object{{"data", Json::object{{"value", accounts}}}}}}}}});
    ScopedEnv env(cloud.env());
    ScopedEnv maker_env(maker.env());
    ScopedEnv data_env("TAVRIN_DATA_DIR", program.data());

    program.launch();
    Tavrin::MainWindow* window = program.window();
    // What the start view hands on, with the origin of the window message behind it and the token file
    // as the window's own handler (which runs first) left it.
    struct Relayed {
        std::string json, origin, token_file, source;
    };
    std::vector<Relayed> relayed;
    window->startWebView->WebMessageReceived.Add(window, [&](ui::WebView2*, ui::WebMessageReceivedEventArgs args) {
        std::ifstream token(program.data() + "tvrat");
        relayed.push_back({args.WebMessageAsJson().toStdString(), args.RelayedOrigin().toStdString(),
                           std::string(std::istreambuf_iterator<char>(token), std::istreambuf_iterator<char>()),
                           args.Source().scheme().toStdString()});
    });

    // Sign-in required: the sign-in page is in the start view and the navigation stays hidden.
    ASSERT_EQ(wait_for_script(window->startWebView, "!!document.documentElement && document.documentElement.innerHTML.indexOf('ckSession') >= 0",
                              "true"),
              "true");
    EXPECT_FALSE(window->navigationView->isVisible());
    EXPECT_FALSE(window->busyIndicator->IsActive());
    // A message event made up by a script, whatever origin it claims, is handed on but signs nobody in.
    script(window->startWebView, QString::fromStdString("window.dispatchEvent(new MessageEvent('message', {data: "
                                                        "{ckSession: 'made-up'}, origin: '" + cloud.url() + "'})); 1"));

    // The sign-in window opens in the popup view, reaches the cloud page, and its session comes back:
    // stored without the JSON quotes and escaped for the address, then the set-up runs again.
    ASSERT_TRUE(program.wait_ready());
    EXPECT_EQ(read_file(program.data() + "tvrat"), "tok%2Bab%2F%3D%3D");
    // The other site's session and the made-up one reached the page and were handed on, each posted by
    // the program's own sign-in page, but neither was stored nor sent anywhere.
    ASSERT_TRUE(wait_until([&] { return relayed.size() == 3; }));
    auto relayed_of = [&](const std::string& json) {
        for (const Relayed& r : relayed)
            if (r.json == json) return r;
        ADD_FAILURE() << "not handed on: " << json;
        return Relayed{};
    };
    const Relayed made_up = relayed_of("\"made-up\"");
    EXPECT_EQ(made_up.origin, "");
    EXPECT_NE(made_up.token_file, "made-up");
    const Relayed forged = relayed_of("\"forged\"");
    EXPECT_EQ(forged.origin, foreign.url());
    EXPECT_NE(forged.token_file, "forged");
    const Relayed signed_in = relayed_of("\"tok+ab/==\"");
    EXPECT_EQ(signed_in.origin, cloud.url());
    EXPECT_EQ(signed_in.token_file, "tok%2Bab%2F%3D%3D");
    for (const Relayed& r : relayed) EXPECT_EQ(r.source, "tavrin");
    for (const CloudCall& call : cloud.calls()) {
        EXPECT_EQ(call.web_auth_token.find("forged"), std::string::npos);
        EXPECT_EQ(call.web_auth_token.find("made-up"), std::string::npos);
    }
    EXPECT_EQ(program.section(), "INVOICE");
    EXPECT_EQ(window->homeTabItem->Header(), window->navigationView->SelectedItem()->Content());
    EXPECT_EQ(window->tabTitleButton->Content(), window->homeTabItem->Header());
    // The sign-in window never became a window of its own.
    const QWidgetList tops = QApplication::topLevelWidgets();
    EXPECT_EQ(std::count_if(tops.begin(), tops.end(), [](QWidget* w) { return w->isVisible(); }), 1);

    std::vector<CloudCall> calls = cloud.calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.front().endpoint, "records/query");
    EXPECT_EQ(calls.front().web_auth_token, "");
    EXPECT_EQ(calls.back().web_auth_token, "tok%2Bab%2F%3D%3D");

    // The accounts menu: the open account (DEMO) names the entry, the cloud's accounts are its entries.
    ui::NavigationViewItem* entry = window->accountsItem;
    EXPECT_EQ(entry->Content().toStdString(), "DEMO");
    ASSERT_EQ(entry->MenuItems().Size(), 2);
    EXPECT_EQ(entry->MenuItems().GetAt(0)->Content().toStdString(), "Alfa Kft.");
    EXPECT_EQ(ui::TagText(entry->MenuItems().GetAt(0)->Tag()), "A1");
    EXPECT_EQ(entry->MenuItems().GetAt(1)->Content().toStdString(), "Béta Bt.");
    EXPECT_EQ(ui::TagText(entry->MenuItems().GetAt(1)->Tag()), "B2");
    // Set-ups asked for while one runs are run once after it, never beside it.
    cloud.reply("records/query",
                Json::object{{"records", Json::array{Json::object{
                                             {"recordName", "accounts"},
                                             {"fields", Json::object{{"data", Json::object{{"value", accounts}}}}}}}}});
    cloud.reply("records/query",
                Json::object{{"records", Json::array{Json::object{
                                             {"recordName", "accounts"},
                                             {"fields", Json::object{{"data", Json::object{{"value", accounts}}}}}}}}});
    const std::size_t asked = cloud.calls().size();
    window->SetupWebView();
    window->SetupWebView();
    window->SetupWebView();
    EXPECT_FALSE(window->navigationView->isVisible());
    EXPECT_TRUE(window->busyIndicator->IsActive());
    ASSERT_TRUE(wait_until([&] {
        return cloud.calls().size() == asked + 2 && window->navigationView->isVisible() && !window->busyIndicator->IsActive();
    }));
    ui::ThreadPool::WaitForIdle();
    QCoreApplication::processEvents();
    EXPECT_EQ(cloud.calls().size(), asked + 2);
    EXPECT_EQ(program.section(), "INVOICE");

    QTreeWidget* pane = window->navigationView->Pane();
    ASSERT_TRUE(wait_until([&] { return pane->topLevelItemCount() == 14 && pane->topLevelItem(12)->childCount() == 2; }));
    EXPECT_FALSE(pane->topLevelItem(12)->isExpanded());
    EXPECT_EQ(pane->topLevelItem(12)->child(1)->text(0).toStdString(), "Béta Bt.");
}

TEST(StartUp, OfflineTheDemoListIsShownAndTheSearchBoxRefreshesIt) {
    TempDir dir;
    Program program(dir);
    MakerFake maker;
    ScopedEnv env({{"TAVRIN_CLOUD_URL", unreachable_url()}, {"TAVRIN_DATA_DIR", program.data()}});
    ScopedEnv maker_env(maker.env());

    program.launch();
    ASSERT_TRUE(program.wait_ready());
    Tavrin::MainWindow* window = program.window();
    EXPECT_EQ(g_core->current_account, "DEMO");
    EXPECT_EQ(program.section(), "INVOICE");
    ASSERT_GT(g_core->list_count, 0) << "the DEMO sample has invoices";
    EXPECT_EQ(wait_for_script(window->listWebView, kRowCount, expected_rows()), expected_rows());
    EXPECT_EQ(window->listPageText->Text().toStdString(), Tavrin::page_label(false, g_core->list_count, 0));
    EXPECT_EQ(window->listSummaryText->Text(), Tavrin::summary_label_text(g_core->list_summary));
    EXPECT_FALSE(window->listPageBackButton->IsEnabled());
    EXPECT_FALSE(window->startWebView->isVisible() && !window->navigationView->isVisible());

    // Every change of the search text writes the list once; a set text is one change, typing one per key.
    // Building the window's elements again connects nothing twice.
    window->InitializeComponent();
    script(window->listWebView,
           "window.writes = 0; (function () { var write = document.write.bind(document);"
           "document.write = function (html) { window.writes++; return write(html); }; })(); 1");
    window->searchBox->Text("zzzz-nincs-ilyen");
    EXPECT_EQ(wait_for_script(window->listWebView, "window.writes", "1"), "1");
    EXPECT_EQ(g_core->list_count, 0);
    EXPECT_EQ(wait_for_script(window->listWebView, kRowCount, "0"), "0");
    EXPECT_EQ(window->listPageText->Text().toStdString(), "0 / 0\xEF\xBC\x8D" "0");
    EXPECT_FALSE(window->listPageForwardButton->IsEnabled());
    window->searchBox->clear();
    window->searchBox->setFocus();
    QTest::keyClicks(window->searchBox, "ab");
    // A page being written is followed by the newest one only: at most one write per change.
    const auto writes = [&] { return std::stoi(script(window->listWebView, "window.writes")); };
    ASSERT_TRUE(wait_until([&] { return writes() >= 2 && window->listCover->isHidden(); }));
    EXPECT_LE(writes(), 4);
}

TEST(StartUp, PagingForwardAndBack) {
    TempDir dir;
    Program program(dir);
    add_invoices(program.data(), "LAPOZAS", 250);
    MakerFake maker;
    ScopedEnv env({{"TAVRIN_CLOUD_URL", unreachable_url()}, {"TAVRIN_DATA_DIR", program.data()}});
    ScopedEnv maker_env(maker.env());

    program.launch();
    ASSERT_TRUE(program.wait_ready());
    Tavrin::MainWindow* window = program.window();
    ASSERT_EQ(g_core->current_account, "LAPOZAS");
    ui::WebView2* list = window->listWebView;
    auto label = [&] { return window->listPageText->Text().toStdString(); };
    const std::string dash = "\xEF\xBC\x8D";

    EXPECT_EQ(wait_for_script(list, kRowCount, "100"), "100");
    EXPECT_EQ(label(), "250 / 0" + dash + "100");
    EXPECT_FALSE(window->listPageBackButton->IsEnabled());
    EXPECT_TRUE(window->listPageForwardButton->IsEnabled());

    window->listPageForwardButton->click();
    EXPECT_EQ(label(), "250 / 100" + dash + "200");
    EXPECT_TRUE(window->listPageBackButton->IsEnabled());
    window->listPageForwardButton->click();
    EXPECT_EQ(label(), "250 / 200" + dash + "250");
    EXPECT_FALSE(window->listPageForwardButton->IsEnabled());
    EXPECT_EQ(wait_for_script(list, kRowCount, "50"), "50");
    window->listPageBackButton->click();
    EXPECT_EQ(label(), "250 / 100" + dash + "200");
    EXPECT_EQ(wait_for_script(list, kRowCount, "100"), "100");
    EXPECT_TRUE(window->listPageForwardButton->IsEnabled());

    // A new search text starts again at page 0.
    window->searchBox->Text("oldal");
    EXPECT_EQ(label(), "125 / 0" + dash + "100");

    // The task calendar pages by months: the label is the year and the month's name.
    window->show_task_calendar = true;
    window->navigationView->SelectedItem(window->listItems[0]);
    ASSERT_EQ(program.section(), "TASK");
    const QDate month = window->calendar_month;
    auto calendar_label = [&](const QDate& date) {
        return std::to_string(date.year()) + " " + g_core->month_names[static_cast<std::size_t>(date.month() - 1)];
    };
    EXPECT_EQ(label(), calendar_label(month));
    EXPECT_TRUE(window->listPageBackButton->IsEnabled());
    EXPECT_TRUE(window->listPageForwardButton->IsEnabled());
    EXPECT_EQ(window->listSummaryText->Text(), QString());
    window->listPageForwardButton->click();
    EXPECT_EQ(window->calendar_month, month.addMonths(1));
    EXPECT_EQ(label(), calendar_label(month.addMonths(1)));
    // Six weeks of days in the list view.
    EXPECT_EQ(wait_for_script(list, "document.querySelectorAll('table.calendar span.number').length", "42"), "42");

    // The open account is not in the (empty) accounts list: the entry keeps its label, DEMO is offered.
    ASSERT_EQ(window->accountsItem->MenuItems().Size(), 1);
    EXPECT_EQ(ui::TagText(window->accountsItem->MenuItems().GetAt(0)->Tag()), "DEMO");
    EXPECT_EQ(window->accountsItem->Content(), QString::fromStdString(g_core->translated("accounts", "")));
}

TEST(StartUp, UpdateNotesAreShownAndClosingThemStartsTheInstaller) {
    TempDir dir;
    Program program(dir);
    MakerFake maker;
    maker.set_version_file("9.9.9.9\nElső sor\nMásodik sor\nHarmadik sor\n");
    maker.set_installer("MSI bytes");
    ScopedEnv env({{"TAVRIN_CLOUD_URL", unreachable_url()}, {"TAVRIN_DATA_DIR", program.data()}});
    ScopedEnv maker_env(maker.env());

    // The first time the installer does not start: the program goes on.
    std::vector<std::string> dialogs;
    ui::ContentDialog::SetResponder([&](ui::ContentDialog& dialog) -> std::optional<ui::ContentDialogResult> {
        dialogs.push_back(dialog.Title().toStdString() + "|" + dialog.ContentText().toStdString() + "|" +
                          dialog.PrimaryButtonText().toStdString());
        return ui::ContentDialogResult::Primary;
    });
    std::vector<std::string> launched;
    bool installer_starts = false;
    ui::Launcher::SetRecorder([&](const QString& path) {
        launched.push_back(path.toStdString());
        return installer_starts;
    });
    std::vector<int> exits;
    ui::SetExitRecorder([&](int code) { exits.push_back(code); });

    program.launch();
    ASSERT_TRUE(wait_until([&] { return launched.size() == 1; }));
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0], "Tavrin Frissítés|Első sor\nMásodik sor\nHarmadik sor\n|Tavrin Frissítés");
    EXPECT_EQ(launched[0], program.data() + "update.msi");
    EXPECT_EQ(read_file(launched[0]), "MSI bytes");
    EXPECT_TRUE(exits.empty());
    EXPECT_NE(g_core, nullptr);
    EXPECT_TRUE(program.window()->isVisible());

    // When it starts, the window closes the ordinary way (Core and its database go) and the process ends.
    installer_starts = true;
    ASSERT_TRUE(program.wait_ready());
    Tavrin::show_update_dialog("Új verzió\n");
    ASSERT_TRUE(wait_until([&] { return exits.size() == 1; }));
    EXPECT_EQ(exits[0], 0);
    EXPECT_EQ(launched.size(), 2u);
    EXPECT_EQ(dialogs.back(), "Tavrin Frissítés|Új verzió\n|Tavrin Frissítés");
    EXPECT_EQ(g_core, nullptr);
    EXPECT_FALSE(program.window()->isVisible());

    // Empty notes: nothing to offer.
    Tavrin::show_update_dialog("");
    EXPECT_EQ(ui::ContentDialog::Current(), nullptr);

    ui::ContentDialog::SetResponder(nullptr);
    ui::Launcher::SetRecorder(nullptr);
    ui::SetExitRecorder(nullptr);
}

TEST(MainWindowState, TheDefaultFilterCoversTheYearBeforeToday) {
    TempDir dir;
    // 29 February: one year back is 28 February.
    std::tm noon{};
    noon.tm_year = 2024 - 1900;
    noon.tm_mon = 1;
    noon.tm_mday = 29;
    noon.tm_hour = 12;
    noon.tm_isdst = -1;
    const std::time_t leap_day = mktime(&noon);
    set_clock([leap_day] { return leap_day; });
    g_core = make_core(dir.path() + "data/", "hu", Tavrin::get_app_folder()).release();
    {
        Tavrin::MainWindow window;
        EXPECT_EQ(Json(window.list_filter), Json(Json::object{{"from_to_type", 0},
                                                               {"date_type", "issue_date"},
                                                               {"from_date", "2023-02-28"},
                                                               {"to_date", "2024-02-29"},
                                                               {"currency_code", "%%"},
                                                               {"payment_id", "%%"},
                                                               {"paid", "%%"}}));
        EXPECT_EQ(window.calendar_month, QDate(2024, 2, 29));
        EXPECT_FALSE(window.show_task_calendar);
        EXPECT_EQ(window.Title().toStdString(), "Tavrin Számlázó");
        EXPECT_FALSE(window.navigationView->isVisibleTo(&window));
        ASSERT_EQ(window.navigationView->MenuItems().Size(), 12);
        EXPECT_EQ(ui::Name(window.navigationView->MenuItems().GetAt(3)), "INVOICE");
        EXPECT_EQ(ui::TagText(window.listPageBackButton->Tag()), "-1");
        EXPECT_EQ(ui::TagText(window.listPageForwardButton->Tag()), "1");
        // Without a selected section the list is left alone.
        window.RefreshList(std::string());
        EXPECT_EQ(window.listPageText->Text(), QString());
    }
    delete g_core;
    g_core = nullptr;
    set_clock(nullptr);
}

TEST(StartUp, TerminationSignalClosesTheWindowAndTheDatabase) {
    TempDir dir;
    Program program(dir);
    MakerFake maker;
    ScopedEnv env({{"TAVRIN_CLOUD_URL", unreachable_url()}, {"TAVRIN_DATA_DIR", program.data()}});
    ScopedEnv maker_env(maker.env());
    program.launch();
    ASSERT_TRUE(program.wait_ready());
    ASSERT_NE(g_core->db, nullptr);
    std::raise(SIGTERM);
    ASSERT_TRUE(wait_until([&] { return g_core == nullptr; }));
    EXPECT_FALSE(program.window()->isVisible());
}

TEST(MainWindowScreenshot, TheDemoInvoiceListIsDrawn) {
    TempDir dir;
    Program program(dir);
    MakerFake maker;
    ScopedEnv env({{"TAVRIN_CLOUD_URL", unreachable_url()}, {"TAVRIN_DATA_DIR", program.data()}});
    ScopedEnv maker_env(maker.env());
    program.launch();
    ASSERT_TRUE(program.wait_ready());
    Tavrin::MainWindow* window = program.window();
    ASSERT_EQ(wait_for_script(window->listWebView, kRowCount, expected_rows()), expected_rows());
    ASSERT_GT(g_core->list_count, 0);

    // The list is drawn when its rows have been painted: many colours in the list view's area.
    auto colours_in_list = [&] {
        const QImage list = window->listWebView->grab().toImage();
        std::set<QRgb> colours;
        for (int y = 0; y < list.height(); y += 2)
            for (int x = 0; x < list.width(); x += 2) colours.insert(list.pixel(x, y));
        return colours.size();
    };
    EXPECT_TRUE(wait_until([&] { return colours_in_list() > 20; })) << colours_in_list();
    const QImage picture = window->grab().toImage();
    EXPECT_TRUE(picture.save(QString(TAVRIN_UI_TEST_OUTPUT) + "/main_window.png"));
}

TEST(StartUpHelpers, WeekdaysLabelsAndPageScripts) {
    auto name = [](int day) { return std::string(1, static_cast<char>('0' + day)); };
    auto sunday_first = Tavrin::weekday_list(6, name);
    ASSERT_EQ(sunday_first.size(), 7u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(sunday_first[i].begin()->first, i);
    for (int first : {0, 5}) {
        auto monday_first = Tavrin::weekday_list(first, name);
        ASSERT_EQ(monday_first.size(), 7u);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(monday_first[i].begin()->first, i + 1);
        EXPECT_EQ(monday_first[6].begin()->first, 0);
        EXPECT_EQ(monday_first[6].begin()->second, "0");
    }

    const std::string dash = "\xEF\xBC\x8D";
    EXPECT_EQ(Tavrin::page_label(false, 250, 0), "250 / 0" + dash + "100");
    EXPECT_EQ(Tavrin::page_label(false, 250, 2), "250 / 200" + dash + "250");
    EXPECT_EQ(Tavrin::page_label(false, 200, 1), "200 / 100" + dash + "200");
    EXPECT_EQ(Tavrin::page_label(false, 200, 2), "200 / 200" + dash + "200");
    EXPECT_EQ(Tavrin::page_label(false, 0, 0), "0 / 0" + dash + "0");
    EXPECT_EQ(Tavrin::page_label(true, 57, 0), "57 / 0" + dash + "57");
    // The totals line wraps between its parts only, never inside a date, a name or an amount.
    const std::string nb = "\xC2\xA0";
    EXPECT_EQ(Tavrin::summary_label_text("2025. 12. 09. " + dash + " 2026. 12. 09., Banki átutalás | 1 606 406 Ft + "
                                         "254 719 Ft = 1 861 125 Ft")
                  .toStdString(),
              "2025." + nb + "12." + nb + "09. " + dash + " 2026." + nb + "12." + nb + "09., Banki" + nb +
                  "átutalás | 1" + nb + "606" + nb + "406" + nb + "Ft + 254" + nb + "719" + nb + "Ft = 1" + nb + "861" +
                  nb + "125" + nb + "Ft");

    // A page holding a backquote, "${", a backslash or "$" is written as it stands, nothing evaluated.
    ui::Window window;
    auto* view = new ui::WebView2;
    window.Content(view);
    window.Activate();
    const std::string text = "a`b ${window.evaluated = 1} c\\n $d `${";
    view->ExecuteScriptAsync(QString::fromStdString(Tavrin::page_write_script("<p id='t'>" + text + "</p>")));
    EXPECT_EQ(wait_for_script(view, "document.getElementById('t') ? document.getElementById('t').textContent : ''",
                              Json(text).dump()),
              Json(text).dump());
    EXPECT_EQ(script(view, "window.evaluated === undefined"), "true");
}
