#include "app/MainWindow.h"
#include "app/App.h"
#include "app/SettingsPage.h"

#include "core/Core.h"
#include "core/store_internal.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <chrono>
#include <charconv>
#include <optional>
#include <stdexcept>
#include <thread>

using json11::Json;

namespace Tavrin {

namespace {

// The list entries of the navigation, in their order: the name is the list type, the key that of
// the label's translation. The fourth entry is the one shown first.
struct ListEntry {
    const char* name;
    const char* label_key;
};
const ListEntry kListEntries[12] = {
    {"TASK", "tasks"},
    {"clients", "clients"},
    {"items", "items"},
    {"INVOICE", "invoices"},
    {"PROFORMA", "proformas"},
    {"ESTIMATE", "estimates"},
    {"DELIVERY_NOTE", "delivery_notes"},
    {"PURCHASE_ORDER", "purchase_orders"},
    {"PURCHASE_RECEIVE", "purchase_receives"},
    {"DRAFT", "drafts"},
    {"WEBSHOP_ORDER", "webshop"},
    {"inventory", "inventory"},
};

QString tr_key(const char* key) {
    return g_core ? ui::qs(g_core->translated(key, "")) : QString();
}

ui::MenuFlyoutItem* menu_item(ui::MenuFlyout* flyout, const char* name, const QString& text) {
    auto* item = new ui::MenuFlyoutItem(flyout);
    item->setObjectName(name);
    item->Text(text);
    flyout->Append(item);
    return item;
}

ui::Button* button(const char* name, const QString& text) {
    auto* b = new ui::Button;
    b->setObjectName(name);
    b->Content(text);
    return b;
}

// A step of the paging buttons: a whole decimal number, nothing else.
int parse_step(const std::string& text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        throw std::invalid_argument("paging step is not a number: " + text);
    return value;
}

// Today one year back; 29 February becomes 28 February, as the calendar's year step gives it.
std::string one_year_back() {
    std::tm today = local_time(0);
    today.tm_year -= 1;
    if (today.tm_mon == 1 && today.tm_mday == 29) today.tm_mday = 28;
    return format_time(today, "%Y-%m-%d");
}

// The cloud settings fetch, on a pool thread. It opens the current account's database first.
void cloud_settings_work_item(ui::DispatcherQueue queue, QPointer<MainWindow> window) {
    Core* core = g_core;
    if (!core) return;
    core->fetch_cloud_settings([queue, window](Json reply) {
        queue.TryEnqueue(ui::DispatcherQueuePriority::Normal, [window, reply = std::move(reply)] {
            if (window) window->OnCloudSettings(reply);
        });
    });
}

// The short wait before a printed view is shown, spent on a pool thread.
ui::AsyncAction pause_200ms() {
    ui::AsyncAction done;
    ui::ThreadPool::RunAsync([done] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        done.Complete(ui::Unit{});
    });
    return done;
}

// A member of a web message as text: nullopt when it is missing or not a string.
std::optional<std::string> message_text(const Json& message, const char* key) {
    const Json& value = message[key];
    if (!value.is_string()) return std::nullopt;
    return value.string_value();
}

}  // namespace

std::string record_tab_header(const std::string& name) {
    const std::vector<std::string> words = split(' ', name);
    if (words.empty()) return std::string();
    if (words.size() > 1) return words[0] + " " + words[1];
    return words[0];
}

std::string pdf_file_name(const std::string& number_formatted) {
    const std::string folded = remove_diacritics(number_formatted);
    std::string name;
    name.reserve(folded.size());
    for (std::size_t i = 0; i < folded.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(folded[i]);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') {
            name += static_cast<char>(c);
            continue;
        }
        name += '-';
        // One hyphen per character: the continuation bytes of a UTF-8 sequence belong to it.
        if (c >= 0xC0)
            while (i + 1 < folded.size() && (static_cast<unsigned char>(folded[i + 1]) & 0xC0) == 0x80) ++i;
    }
    return name;
}

std::string page_write_script(const std::string& html) {
    // The page travels inside a template literal: what would end it or be evaluated in it is escaped.
    std::string escaped;
    escaped.reserve(html.size() + html.size() / 16);
    for (std::size_t i = 0; i < html.size(); ++i) {
        const char c = html[i];
        if (c == '\\' || c == '`')
            escaped += '\\';
        else if (c == '$' && i + 1 < html.size() && html[i + 1] == '{')
            escaped += '\\';
        escaped += c;
    }
    return "document.body.innerHTML = '';document.write(`" + escaped + "`);";
}

std::string page_label(bool master, int count, int page) {
    const std::string dash = "\xEF\xBC\x8D";  // U+FF0D FULLWIDTH HYPHEN-MINUS
    if (master) return std::to_string(count) + " / 0" + dash + std::to_string(count);
    const int upper = page == count / 100 ? count : (page + 1) * 100;
    return std::to_string(count) + " / " + std::to_string(page * 100) + dash + std::to_string(upper);
}

MainWindow::MainWindow() {
    print_view = new ui::WebView2(this);
    print_view->hide();

    InitializeComponent();

    SetIcon(ui::qs(get_app_folder() + "tavrin.png"));
    Title(tr_key("tavrin_invoice"));
    resize(1280, 800);

    const std::tm today = local_time(0);
    calendar_month = QDate(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday);
    list_filter = Json::object{{"from_to_type", 0},           {"date_type", "issue_date"},
                               {"from_date", one_year_back()}, {"to_date", iso_date(0)},
                               {"currency_code", "%%"},        {"payment_id", "%%"},
                               {"paid", "%%"}};
}

MainWindow::~MainWindow() = default;

// The window's layout: the sign-in views under the navigation view, which is hidden until the
// cloud set-up is done; inside the navigation, the tool bar, the tabs and the list.
void MainWindow::InitializeComponent() {
    if (content_loaded_) return;
    content_loaded_ = true;

    auto* root = new QWidget;
    auto* grid = new QGridLayout(root);
    grid->setContentsMargins(0, 0, 0, 0);

    auto* start = new ui::WebView2;
    start->setObjectName("startWebView");
    grid->addWidget(start, 0, 0);
    auto* popup = new ui::WebView2;
    popup->setObjectName("popupWebView");
    popup->setMinimumSize(480, 600);
    popup->setMaximumSize(560, 720);
    grid->addWidget(popup, 0, 0, Qt::AlignCenter);

    auto* nav = new ui::NavigationView;
    nav->setObjectName("navigationView");
    nav->setAutoFillBackground(true);
    nav->hide();
    grid->addWidget(nav, 0, 0);
    auto* busy = new ui::ProgressRing;
    busy->setObjectName("busyIndicator");
    grid->addWidget(busy, 0, 0, Qt::AlignCenter);

    // The tool bar above the tabs.
    auto* content = new QWidget;
    auto* content_layout = new QVBoxLayout(content);
    content_layout->setContentsMargins(0, 0, 0, 0);
    auto* bar = new QHBoxLayout;
    content_layout->addLayout(bar);
    auto* search = new ui::AutoSuggestBox;
    search->setObjectName("searchBox");
    search->PlaceholderText(QString::fromUtf8("Keresés"));
    bar->addWidget(search, 1);
    auto* new_document = button("newDocument", QString::fromUtf8("+ Bizonylat"));
    auto* new_client = button("newClient", "+ " + tr_key("client"));
    auto* new_item = button("newItem", "+ " + tr_key("item"));
    bar->addWidget(new_document);
    bar->addWidget(new_client);
    bar->addWidget(new_item);

    // Commands on the selected record.
    auto* record_button = new ui::DropDownButton;
    record_button->Content(QString::fromUtf8("Műveletek"));
    auto* record_menu = new ui::MenuFlyout(record_button);
    record_button->Flyout(record_menu);
    bar->addWidget(record_button);
    // Commands on the whole list.
    auto* list_only = new ui::Panel(ui::Panel::Orientation::Horizontal);
    list_only->setObjectName("listOnlyElement");
    auto* list_button = new ui::DropDownButton;
    list_button->Content(tr_key("filter"));
    auto* list_menu = new ui::MenuFlyout(list_button);
    list_button->Flyout(list_menu);
    list_only->Append(list_button);
    bar->addWidget(list_only);
    // The task list's two views.
    auto* task_list = new ui::Panel(ui::Panel::Orientation::Horizontal);
    task_list->setObjectName("taskListElement");
    auto* task_button = new ui::DropDownButton;
    task_button->Content(tr_key("tasks"));
    auto* task_menu = new ui::MenuFlyout(task_button);
    task_button->Flyout(task_menu);
    task_list->Append(task_button);
    bar->addWidget(task_list);

    // The tabs; the first holds the list, or the settings page in its place.
    auto* tabs = new ui::TabView;
    tabs->setObjectName("tabView");
    content_layout->addWidget(tabs, 1);
    auto* title_button = button("tabTitleButton", QString());
    title_button->setFlat(true);
    tabs->setCornerWidget(title_button, Qt::TopLeftCorner);
    auto* home = new ui::TabViewItem;
    home->setObjectName("homeTabItem");
    home->IsClosable(false);
    tabs->Append(home);
    auto* home_content = new QWidget;
    auto* home_layout = new QVBoxLayout(home_content);
    home_layout->setContentsMargins(0, 0, 0, 0);
    home->Content(home_content);

    auto* list_area = new ui::Panel;
    list_area->setObjectName("listArea");
    home_layout->addWidget(list_area, 1);
    auto* settings = new SettingsPage;
    settings->setObjectName("settingsView");
    settings->hide();
    home_layout->addWidget(settings, 1);

    auto* list_view = new ui::WebView2;
    list_view->setObjectName("listWebView");
    list_area->Append(list_view, 1);
    auto* list_bar = new ui::Panel(ui::Panel::Orientation::Horizontal);
    list_area->Append(list_bar);
    auto* summary = new ui::TextBlock;
    summary->setObjectName("listSummaryText");
    list_bar->Append(summary, 1);
    auto* back = button("listPageBackButton", QString::fromUtf8("◀"));
    back->Tag(QString("-1"));
    auto* page_text = new ui::TextBlock;
    page_text->setObjectName("listPageText");
    auto* forward = button("listPageForwardButton", QString::fromUtf8("▶"));
    forward->Tag(QString("1"));
    list_bar->Append(back);
    list_bar->Append(page_text);
    list_bar->Append(forward);
    nav->Content(content);

    // The connection table, in id order.
    Connect(1, this);
    Connect(2, start);
    Connect(3, popup);
    Connect(4, nav);
    Connect(5, busy);
    Connect(6, search);
    Connect(7, new_document);
    Connect(8, new_client);
    Connect(9, new_item);
    for (int i = 0; i < 12; ++i) {
        auto* item = new ui::NavigationViewItem;
        item->setObjectName(kListEntries[i].name);
        item->Content(tr_key(kListEntries[i].label_key));
        nav->MenuItems().Append(item);
        Connect(10 + i, item);
    }
    auto* accounts = new ui::NavigationViewItem;
    accounts->setObjectName("accountsItem");
    accounts->Content(tr_key("accounts"));
    accounts->SelectsOnInvoked(false);
    nav->FooterMenuItems().Append(accounts);
    nav->SettingsItem()->Content(tr_key("settings"));
    Connect(22, accounts);
    Connect(23, tabs);
    Connect(24, home);
    Connect(25, list_area);
    Connect(26, settings);
    Connect(27, list_view);
    Connect(28, summary);
    Connect(29, back);
    Connect(30, forward);
    Connect(31, page_text);
    Connect(32, title_button);
    Connect(33, list_only);

    const char* record_actions[10][2] = {{"actionPaid", "paid"},         {"actionResave", "save"},
                                         {"actionCopy", "duplicate"},    {"actionInvoice", "create_invoice"},
                                         {"actionPurchaseReceive", "create_receive"}, {"actionEdit", "edit"},
                                         {"actionNewForRecord", "INVOICE"}, {"actionStorno", "storno"},
                                         {"actionDelete", "delete"},     {"actionReturn", "RETURN"}};
    for (int i = 0; i < 10; ++i) Connect(34 + i, menu_item(record_menu, record_actions[i][0], tr_key(record_actions[i][1])));
    record_menu->AppendSeparator();
    const char* profits[4][2] = {{"actionProfitFifo", "profit_fifo"},
                                 {"actionProfitLifo", "profit_lifo"},
                                 {"actionProfitAvg", "profit_avg"},
                                 {"actionProfitClearing", "profit_clearing"}};
    for (int i = 0; i < 4; ++i) {
        ui::MenuFlyoutItem* item = menu_item(record_menu, profits[i][0], tr_key(profits[i][1]));
        item->Tag(QString(profits[i][1]));
        Connect(44 + i, item);
    }
    Connect(48, menu_item(list_menu, "actionReport", tr_key("report")));
    Connect(49, menu_item(list_menu, "actionInventoryReport", tr_key("report_inventory")));
    Connect(50, menu_item(list_menu, "actionNavExport", tr_key("nav")));
    list_menu->AppendSeparator();
    Connect(51, task_list);
    Connect(52, menu_item(task_menu, "actionTaskList", tr_key("tasks")));
    Connect(53, menu_item(task_menu, "actionTaskCalendar", QString::fromUtf8("Naptár")));
    Connect(54, menu_item(list_menu, "actionMonthFilter", QString::fromUtf8("Ez a hónap")));
    Connect(55, menu_item(list_menu, "actionYearFilter", QString::fromUtf8("Ez az év")));
    Connect(56, menu_item(list_menu, "actionPastYearFilter", QString::fromUtf8("Az elmúlt egy év")));
    Connect(57, menu_item(list_menu, "actionOverdueFilter", tr_key("overdue")));
    Connect(58, menu_item(list_menu, "actionCustomFilter", tr_key("filter") + QString::fromUtf8("…")));

    Content(root);
}

void MainWindow::Connect(int connection_id, QObject* target) {
    auto command = [this](QObject* sender) { OnCommandClick(sender); };
    switch (connection_id) {
    case 1:
        Closed.Add(this, [this](ui::Window* sender, ui::WindowEventArgs& args) { OnClosed(sender, args); });
        break;
    case 2:
        startWebView = static_cast<ui::WebView2*>(target);
        startWebView->Loaded.Add(this, [this](QObject* sender) { OnWebViewLoaded(sender); });
        startWebView->WebMessageReceived.Add(
            this, [this](ui::WebView2* sender, ui::WebMessageReceivedEventArgs args) { OnSignInMessage(sender, args); });
        break;
    case 3:
        popupWebView = static_cast<ui::WebView2*>(target);
        break;
    case 4:
        navigationView = static_cast<ui::NavigationView*>(target);
        navigationView->SelectionChanged.Add(
            this, [this](ui::NavigationView* sender, ui::NavigationViewSelectionChangedEventArgs args) {
                OnNavigationChanged(sender, args);
            });
        break;
    case 5:
        busyIndicator = static_cast<ui::ProgressRing*>(target);
        break;
    case 6:
        searchBox = static_cast<ui::AutoSuggestBox*>(target);
        // Every change of the text builds the list anew, from page 0.
        searchBox->TextChanged.Add(this, [this](ui::AutoSuggestBox*) { RefreshList(std::string()); });
        break;
    case 7:
    case 8:
    case 9: {
        auto* b = static_cast<ui::Button*>(target);
        (connection_id == 7 ? newDocument : connection_id == 8 ? newClient : newItem) = b;
        b->Click.Add(this, command);
        break;
    }
    case 22:
        accountsItem = static_cast<ui::NavigationViewItem*>(target);
        break;
    case 23:
        tabView = static_cast<ui::TabView*>(target);
        tabView->SelectionChanged.Add(this, [this](ui::TabView*) { OnTabSelectionChanged(); });
        tabView->TabCloseRequested.Add(this, [this](ui::TabView* sender, ui::TabViewTabCloseRequestedEventArgs args) {
            OnTabCloseRequested(sender, args);
        });
        break;
    case 24:
        homeTabItem = static_cast<ui::TabViewItem*>(target);
        break;
    case 25:
        listArea = static_cast<ui::Panel*>(target);
        break;
    case 26:
        settingsView = static_cast<SettingsPage*>(target);
        break;
    case 27:
        listWebView = static_cast<ui::WebView2*>(target);
        listWebView->WebMessageReceived.Add(
            this, [this](ui::WebView2* sender, ui::WebMessageReceivedEventArgs args) { OnListMessage(sender, args); });
        break;
    case 28:
        listSummaryText = static_cast<ui::TextBlock*>(target);
        break;
    case 29:
    case 30:
    case 32: {
        auto* b = static_cast<ui::Button*>(target);
        (connection_id == 29 ? listPageBackButton : connection_id == 30 ? listPageForwardButton : tabTitleButton) = b;
        b->Click.Add(this, command);
        break;
    }
    case 31:
        listPageText = static_cast<ui::TextBlock*>(target);
        break;
    case 33:
        listOnlyElement = static_cast<ui::Panel*>(target);
        break;
    case 51:
        taskListElement = static_cast<ui::Panel*>(target);
        break;
    default:
        if (connection_id >= 10 && connection_id <= 21) {
            listItems[static_cast<std::size_t>(connection_id - 10)] = static_cast<ui::NavigationViewItem*>(target);
        } else if (connection_id >= 34 && connection_id <= 58) {
            auto* item = static_cast<ui::MenuFlyoutItem*>(target);
            ui::MenuFlyoutItem** fields[25] = {
                &actionPaid,         &actionResave,       &actionCopy,           &actionInvoice,         &actionPurchaseReceive,
                &actionEdit,         &actionNewForRecord, &actionStorno,         &actionDelete,          &actionReturn,
                &profitItems[0],     &profitItems[1],     &profitItems[2],       &profitItems[3],        &actionReport,
                &actionInventoryReport, &actionNavExport, nullptr,               &actionTaskList,        &actionTaskCalendar,
                &actionMonthFilter,  &actionYearFilter,   &actionPastYearFilter, &actionOverdueFilter,   &actionCustomFilter};
            *fields[connection_id - 34] = item;
            item->Click.Add(this, command);
        }
        break;
    }
}

// --- closing ------------------------------------------------------------------------------------------

void MainWindow::OnClosed(ui::Window*, ui::WindowEventArgs&) {
    // Background work uses Core and the database: it ends before they go.
    ui::ThreadPool::WaitForIdle();
    delete g_core;
    g_core = nullptr;
}

// --- start views and the cloud sign-in -----------------------------------------------------------------

ui::Action MainWindow::OnWebViewLoaded(QObject*) {
    QPointer<MainWindow> self(this);
    co_await startWebView->EnsureCoreWebView2Async();
    if (!self) co_return;
    co_await popupWebView->EnsureCoreWebView2Async();
    if (!self) co_return;
    startWebView->NewWindowRequested.Add(this, [this](ui::WebView2* sender, ui::NewWindowRequestedEventArgs& args) {
        OnNewWindowRequested(sender, args);
    });
    SetupWebView();
}

void MainWindow::OnNewWindowRequested(ui::WebView2*, ui::NewWindowRequestedEventArgs& args) {
    args.NewWindow(popupWebView);
    args.Handled(true);
}

ui::Action MainWindow::SetupWebView() {
    if (setup_running_) {
        setup_again_ = true;
        co_return;
    }
    setup_running_ = true;
    QPointer<MainWindow> self(this);
    ui::SetVisibility(navigationView, ui::Visibility::Collapsed);
    busyIndicator->IsActive(true);
    try {
        co_await print_view->EnsureCoreWebView2Async();
    } catch (...) {
        if (self) self->setup_running_ = false;
        throw;
    }
    if (!self) co_return;
    if (print_hook_ == 0)
        print_hook_ = print_view->NavigationCompleted.Add(
            this, [this](ui::WebView2* sender, ui::NavigationCompletedEventArgs args) { OnPrintNavigationCompleted(sender, args); });
    if (!g_core) {
        setup_running_ = false;
        co_return;
    }
    ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    ui::ThreadPool::RunAsync([queue, self] { cloud_settings_work_item(queue, self); });
}

void MainWindow::OnCloudSettings(Json reply) {
    setup_running_ = false;
    if (!g_core) return;
    busyIndicator->IsActive(false);
    if (reply["serverErrorCode"].string_value() == "AUTHENTICATION_REQUIRED") {
        startWebView->NavigateToString(ui::qs(g_core->cloudkit_signin_page(reply["redirectURL"].string_value())));
    } else {
        popupWebView->NavigateToString(QString());
        FillAccountsMenu();
        ui::SetVisibility(navigationView, ui::Visibility::Visible);
        navigationView->SelectedItem(navigationView->MenuItems().GetAt(3));
    }
    if (setup_again_) {
        setup_again_ = false;
        SetupWebView();
    }
}

void MainWindow::OnSignInMessage(ui::WebView2*, ui::WebMessageReceivedEventArgs args) {
    if (!g_core) return;
    g_core->save_web_auth_token(ui::utf8(args.WebMessageAsJson()));
    SetupWebView();
}

// --- printing ---------------------------------------------------------------------------------------------

// A document or report written into the print view is printed to a PDF in the data folder and shown
// in its own tab: the tab whose Tag is the print view's (the newest report tab for a report), else
// the selected one, so that switching tabs meanwhile does not put the PDF in the wrong tab.
ui::Action MainWindow::OnPrintNavigationCompleted(ui::WebView2*, ui::NavigationCompletedEventArgs) {
    if (!g_core) co_return;
    QPointer<MainWindow> self(this);
    const std::string tag = ui::TagText(print_view->Tag());
    std::string name = "document";
    if (tag == "report") {
        name = "tavrin-report";
    } else {
        const auto rows = store::rows(*g_core, "SELECT number_formatted FROM documents WHERE recordName = ?", {Json(tag)});
        if (!rows.empty()) {
            auto found = rows[0].find("number_formatted");
            const std::string number = found != rows[0].end() ? found->second.string_value() : std::string();
            if (!number.empty()) name = pdf_file_name(number);
        }
    }
    const std::string path = g_core->data_folder + name + ".pdf";

    QPointer<ui::TabViewItem> target;
    for (int i = tabView->Size() - 1; i >= 1 && !target; --i)
        if (!tag.empty() && ui::TagText(tabView->GetAt(i)->Tag()) == tag) target = tabView->GetAt(i);
    if (!target) target = tabView->SelectedItem();

    ui::PrintSettings settings;
    settings.MarginTop = 0;
    settings.MarginLeft = 0;
    settings.MarginRight = 0;
    settings.MarginBottom = 0;
    settings.ShouldPrintHeaderAndFooter = false;
    settings.ShouldPrintBackgrounds = true;
    settings.PageWidth = 8.3;
    settings.PageHeight = 11.7;
    bool printed = false;
    try {
        printed = co_await print_view->PrintToPdfAsync(ui::qs(path), settings);
    } catch (const std::exception&) {
        co_return;  // the window went while printing
    }
    if (!self || !target || !printed) co_return;
    QPointer<ui::WebView2> view = qobject_cast<ui::WebView2*>(target->Content());
    if (!view) co_return;
    view->Source(QUrl::fromLocalFile(ui::qs(path)));

    co_await pause_200ms();
    if (!self || !view) co_return;
    ui::SetVisibility(view, ui::Visibility::Visible);
}

// --- tabs -----------------------------------------------------------------------------------------------

void MainWindow::OnTabSelectionChanged() {
    if (!g_core) return;
    ui::TabViewItem* sel = tabView->SelectedItem();
    if (!sel) return;
    bool storno = false;
    const bool tagged = sel->Tag().isValid() && !sel->Tag().isNull();
    std::string list_type;
    if (tagged) {
        const std::string tag = ui::TagText(sel->Tag());
        if (tag.size() == 36) {
            auto rows = store::rows(*g_core, "SELECT name FROM clients WHERE recordName = ?", {Json(tag)});
            if (rows.empty()) rows = store::rows(*g_core, "SELECT name FROM items WHERE recordName = ?", {Json(tag)});
            // The record is gone: the tab and the menu stay as they are.
            if (rows.empty()) return;
            sel->Header(ui::qs(record_tab_header(Json(rows[0])["name"].string_value())));
            tabTitleButton->Content(sel->Header());
            list_type = "master_data";
        } else if (tag == "report") {
            list_type = "report";
        } else {
            const auto rows = store::rows(*g_core, "SELECT * FROM documents WHERE recordName = ?", {Json(tag)});
            if (rows.empty()) return;
            const Json doc(rows[0]);
            list_type = doc["type"].string_value();
            if (list_type == "INVOICE" || list_type == "ARCHIVE_INVOICE") {
                const QString arrow = QString::fromUtf8(" \xE2\x9E\x94 ");  // U+2794
                const QString paid = ui::qs(g_core->translated("paid", ""));
                const QString unpaid = ui::qs(g_core->translated("unpaid", ""));
                const Json& paid_value = doc["paid"];
                const bool is_paid = paid_value.is_number() ? paid_value.int_value() == 1
                                                            : paid_value.string_value() == "1";
                if (is_paid) {
                    actionPaid->Text(paid + arrow + unpaid);
                    actionPaid->Tag(QVariant(0));
                } else {
                    actionPaid->Text(unpaid + arrow + paid);
                    actionPaid->Tag(QVariant(1));
                }
                storno = doc["reference_number_formatted"].string_value().empty();
            }
        }
    }
    tabTitleButton->Content(sel->Header());

    ui::NavigationViewItem* selected = navigationView->SelectedItem();
    const bool nav = selected != nullptr;
    const std::string nav_name = nav ? ui::Name(selected) : std::string();
    auto one_of = [](const std::string& value, std::initializer_list<const char*> names) {
        for (const char* name : names)
            if (value == name) return true;
        return false;
    };
    auto show = [](auto* element, bool visible) {
        element->SetVisibility(visible ? ui::Visibility::Visible : ui::Visibility::Collapsed);
    };
    auto show_widget = [](QWidget* element, bool visible) {
        ui::SetVisibility(element, visible ? ui::Visibility::Visible : ui::Visibility::Collapsed);
    };
    const bool list_nav = !tagged && nav;
    show_widget(tabTitleButton, (tagged && list_type != "report") ||
                                    (list_nav && selected != navigationView->SettingsItem() &&
                                     !one_of(nav_name, {"clients", "items", "WEBSHOP_ORDER"})));
    show_widget(listOnlyElement, list_nav && !one_of(nav_name, {"TASK", "WEBSHOP_ORDER"}));
    show(actionOverdueFilter, list_nav && nav_name == "INVOICE");
    show(actionPaid, tagged && list_type == "INVOICE");
    show(actionResave, tagged && list_type == "TASK");
    show(actionCopy, tagged && !one_of(list_type, {"report", "master_data", "WEBSHOP_ORDER"}));
    show(actionInvoice,
         tagged && one_of(list_type, {"ESTIMATE", "PROFORMA", "DELIVERY_NOTE", "WEBSHOP_ORDER", "DRAFT", "TASK"}));
    show(actionPurchaseReceive, tagged && list_type == "PURCHASE_ORDER");
    show(actionNewForRecord, tagged && list_type == "master_data");
    show(actionEdit, tagged && one_of(list_type, {"master_data", "ARCHIVE_INVOICE", "TASK", "DRAFT"}));
    show(actionStorno, storno);
    show(actionDelete, tagged && !one_of(list_type, {"report", "INVOICE", "PURCHASE_RECEIVE"}));
    const bool inventory = nav && nav_name == "inventory";
    show(actionReturn, inventory && actionReturn->Tag().isValid() && !actionReturn->Tag().isNull());
    for (ui::MenuFlyoutItem* item : profitItems) show(item, inventory);
    show(actionReport, list_nav && one_of(nav_name, {"INVOICE", "PROFORMA", "ESTIMATE", "DELIVERY_NOTE",
                                                     "PURCHASE_ORDER", "PURCHASE_RECEIVE"}));
    show(actionInventoryReport, inventory);
    show(actionNavExport, list_nav && nav_name == "INVOICE");
    show_widget(taskListElement, list_nav && nav_name == "TASK");
}

void MainWindow::OnTabCloseRequested(ui::TabView*, ui::TabViewTabCloseRequestedEventArgs args) {
    const int index = tabView->IndexOf(args.Tab());
    // The list tab always stays.
    if (index <= 0) return;
    tabView->RemoveAt(index);
}

// --- list messages ------------------------------------------------------------------------------------------

ui::Action MainWindow::OnListMessage(ui::WebView2*, ui::WebMessageReceivedEventArgs args) {
    if (!g_core) co_return;
    std::string error;
    const Json message = Json::parse(ui::utf8(args.WebMessageAsJson()), error);
    // A page may post anything: a message whose members are missing or not texts is dropped.
    if (!message.is_object()) co_return;
    const std::optional<std::string> action = message_text(message, "action");
    std::optional<std::string> record_name = message_text(message, "recordName");
    if (!action || !record_name) co_return;
    std::string type;
    if (!message["type"].is_null()) {
        const std::optional<std::string> text = message_text(message, "type");
        if (!text) co_return;
        type = *text;
    }

    if (*action == "onMasterDataDocTypeFilter") {
        ui::TabViewItem* sel = tabView->SelectedItem();
        auto* view = sel ? qobject_cast<ui::WebView2*>(sel->Content()) : nullptr;
        if (!view) co_return;
        const std::string html = g_core->list_html(0, type, Json::object{}, std::string(), *record_name);
        view->ExecuteScriptAsync(ui::qs(page_write_script(html)));
        co_return;
    }
    if (*action != "onListRowSelected") co_return;

    actionReturn->Tag(QVariant());
    ui::NavigationViewItem* selected = navigationView->SelectedItem();
    if (selected && ui::Name(selected) == "inventory") {
        if (type == "RECEIVE") {
            const auto rows =
                store::rows(*g_core, "SELECT documentRecordName FROM inventory WHERE recordName = ?", {Json(*record_name)});
            if (rows.empty()) co_return;
            record_name = Json(rows[0])["documentRecordName"].string_value();
        } else {
            if (type == "INVOICE") actionReturn->Tag(ui::qs(*record_name));
            co_return;
        }
    }
    if (record_name->empty()) co_return;

    for (int index = 1; index < tabView->Size(); ++index) {
        if (ui::TagText(tabView->GetAt(index)->Tag()) == *record_name) {
            tabView->SelectedItem(tabView->GetAt(index));
            co_return;
        }
    }

    const bool master = type == "client" || type == "item";
    Json::object doc;
    if (!master) {
        const auto rows = store::rows(*g_core, "SELECT * FROM documents WHERE recordName = ?", {Json(*record_name)});
        // The document is gone: nothing to open.
        if (rows.empty()) co_return;
        doc = rows[0];
    }

    QPointer<MainWindow> self(this);
    QPointer<ui::TabViewItem> tab = new ui::TabViewItem;
    tab->Tag(ui::qs(*record_name));
    QPointer<ui::WebView2> view = new ui::WebView2(tab);
    co_await view->EnsureCoreWebView2Async();
    if (!self || !tab || !view || !g_core) {
        delete tab.data();
        co_return;
    }

    if (master) {
        tab->Header(" ");
        view->WebMessageReceived.Add(
            this, [this](ui::WebView2* sender, ui::WebMessageReceivedEventArgs args) { OnListMessage(sender, args); });
        view->NavigateToString(QString());
        QPointer<ui::WebView2> held(view);
        const std::string held_type = type;
        const std::string held_record = *record_name;
        view->NavigationCompleted.Add(this, [this, held, held_type, held_record](ui::WebView2*, ui::NavigationCompletedEventArgs) {
            if (held) WriteHtmlToWebView(held, held_type, held_record);
        });
    } else {
        tab->Header(ui::qs(Json(doc)["number_formatted"].string_value()));
        tabTitleButton->Content(tab->Header());
        ui::SetVisibility(view, ui::Visibility::Collapsed);
        print_view->Tag(ui::qs(*record_name));
        const auto lines = store::rows(
            *g_core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id", {Json(*record_name)});
        const std::string html = g_core->document_html(1, Json(doc), Json(Json::array(lines.begin(), lines.end())), "0,0");
        print_view->NavigateToString(ui::qs(html));
    }

    tab->Content(view);
    tabView->Append(tab);
    tabView->SelectedItem(tab);
    OnTabSelectionChanged();
}

void MainWindow::WriteHtmlToWebView(ui::WebView2* view, std::string type, std::string record_name) {
    if (!g_core || !view) return;
    const std::string html = g_core->list_html(0, type, Json::object{}, std::string(), record_name);
    view->ExecuteScriptAsync(ui::qs(page_write_script(html)));
}

// --- navigation -----------------------------------------------------------------------------------------

// A section shows its list; the settings item and the account entries are handled with the navigation's
// background work.
ui::Action MainWindow::OnNavigationChanged(ui::NavigationView*, ui::NavigationViewSelectionChangedEventArgs args) {
    ui::NavigationViewItem* item = args.SelectedItem();
    if (!item || !ui::TagText(item->Tag()).empty()) co_return;
    if (!args.IsSettingsSelected()) RefreshList(std::string());
    // The list tab comes to the front and the command menu follows the section.
    for (int i = 0; i < tabView->Size(); ++i) {
        const QVariant tag = tabView->GetAt(i)->Tag();
        if (!tag.isValid() || tag.isNull()) tabView->SelectedIndex(i);
    }
    OnTabSelectionChanged();
}

// --- list ---------------------------------------------------------------------------------------------------

void MainWindow::RefreshList(std::string html) {
    if (!g_core) return;
    ui::NavigationViewItem* selected = navigationView->SelectedItem();
    if (!selected || selected == navigationView->SettingsItem()) return;
    const std::string section = ui::Name(selected);

    if (section == "TASK" && show_task_calendar) {
        g_core->list_html(-100, "TASK", Json::object{}, std::string(), std::string());
        const std::vector<Json> tasks(g_core->list_rows.begin(), g_core->list_rows.end());
        const int year = calendar_month.year();
        const int month = calendar_month.month();
        listWebView->ExecuteScriptAsync(
            ui::qs(page_write_script(g_core->calendar_html(year, static_cast<unsigned short>(month), tasks))));
        listPageBackButton->IsEnabled(true);
        listPageForwardButton->IsEnabled(true);
        const std::string month_name =
            month >= 1 && month <= static_cast<int>(g_core->month_names.size()) ? g_core->month_names[month - 1] : "";
        listPageText->Text(ui::qs(std::to_string(year) + " " + month_name));
        listSummaryText->Text(QString());
        return;
    }

    if (html.empty())
        html = g_core->list_html(0, section, list_filter, ui::utf8(searchBox->Text()), std::string());
    listWebView->ExecuteScriptAsync(ui::qs(page_write_script(html)));
    const int page = g_core->list_page;
    const int count = g_core->list_count;
    listPageBackButton->IsEnabled(page > 0);
    const bool master = section == "clients" || section == "items";
    listPageForwardButton->IsEnabled(!master && page < count / 100);
    listPageText->Text(ui::qs(page_label(master, count, page)));
    listSummaryText->Text(ui::qs(g_core->list_summary));
    homeTabItem->Header(selected->Content());
    if (tabView->SelectedIndex() == 0) tabTitleButton->Content(homeTabItem->Header());
}

void MainWindow::FillAccountsMenu() {
    if (!g_core) return;
    accountsItem->MenuItems().Clear();
    Json::array accounts = g_core->setting("accounts").array_items();
    // The sample company is always offered, last.
    accounts.push_back(Json::object{{"id", "DEMO"}, {"name", "DEMO"}});
    for (const Json& account : accounts) {
        const std::string& id = account["id"].string_value();
        const QString name = ui::qs(account["name"].string_value());
        if (id == g_core->current_account) {
            accountsItem->Content(name);
            continue;
        }
        auto* entry = new ui::NavigationViewItem;
        entry->Content(name);
        entry->Tag(ui::qs(id));
        accountsItem->MenuItems().Append(entry);
    }
    navigationView->Collapse(accountsItem);
}

// --- commands -------------------------------------------------------------------------------------------------

ui::Action MainWindow::OnCommandClick(QObject* sender) {
    if (!g_core) co_return;
    const std::string name = ui::Name(sender);
    if (name == "listPageBackButton" || name == "listPageForwardButton") {
        auto* pager = qobject_cast<ui::Button*>(sender);
        ui::NavigationViewItem* selected = navigationView->SelectedItem();
        if (!pager || !selected) co_return;
        const int step = parse_step(ui::TagText(pager->Tag()));
        const std::string section = ui::Name(selected);
        if (section == "TASK") {
            // The task calendar moves by months, whether or not it is shown.
            calendar_month = calendar_month.addMonths(step);
            RefreshList(std::string());
        } else {
            RefreshList(g_core->list_html(step, section, list_filter, ui::utf8(searchBox->Text()), std::string()));
        }
    }
}

}  // namespace Tavrin
