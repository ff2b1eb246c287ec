#include "app/MainWindow.h"
#include "app/App.h"
#include "app/editor/DocumentPage.h"
#include "app/editor/DocumentSave.h"
#include "app/settings/SettingsPage.h"

#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/ContentDialog.h"

#include <QGridLayout>
#include <QScreen>
#include <QTimer>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>

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

const int kTitleButtonWidth = 160;

// The window at its preferred size, or at what the screen's free area holds with the window's
// frame (a small laptop screen holds less), centred in that area so that no part of it is off the
// screen. Its smallest size is bounded the same way.
void place_window(QWidget* window, QSize size, const QScreen* screen) {
    if (!screen) {
        window->resize(size);
        return;
    }
    const QRect room = screen->availableGeometry();
    // The frame is not known before the window is shown; a title bar and borders are allowed for.
    const QSize frame(16, 48);
    const QSize fits = room.size() - frame;
    window->setMinimumSize(window->minimumSize().boundedTo(fits));
    size = size.boundedTo(fits);
    window->resize(size);
    window->move(room.left() + std::max(0, (room.width() - size.width() - frame.width()) / 2),
                 room.top() + std::max(0, (room.height() - size.height() - frame.height()) / 2));
}

}  // namespace

MainWindow::MainWindow() {
    print_view = new ui::WebView2(this);
    print_view->hide();

    InitializeComponent();

    SetIcon(ui::qs(get_app_folder() + "tavrin.png"));
    Title(tr_key("tavrin_invoice"));
    // Every command stays within reach down to this size.
    setMinimumSize(800, 600);
    place_window(this, QSize(1280, 800), screen());

    const std::tm today = local_time(0);
    calendar_month = QDate(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday);
    list_filter = fresh_list_filter(one_year_back());

    reportPace = new QTimer(this);
    reportPace->setObjectName("reportPace");
    reportPace->setInterval(kReportPaceMs);
    connect(reportPace, &QTimer::timeout, this, &MainWindow::OnReportPace);
    reportPace->start();
}

MainWindow::~MainWindow() {
    // The document window is a window of its own (see OpenDocumentWindow): it goes with this one.
    delete document_window.data();
}

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
    popup->setMinimumSize(480, 480);
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
    record_button->setObjectName("recordCommandsButton");
    record_button->Content(QString::fromUtf8("Műveletek"));
    auto* record_menu = new ui::MenuFlyout(record_button);
    record_button->Flyout(record_menu);
    bar->addWidget(record_button);
    recordCommandsButton = record_button;
    // Commands on the whole list, or the task list's two views, in one place at the end of the bar:
    // the place keeps its width when they are hidden (on a record's tab), so that no button of the bar
    // moves under the mouse.
    auto* list_place = new QWidget;
    auto* list_place_layout = new QHBoxLayout(list_place);
    list_place_layout->setContentsMargins(0, 0, 0, 0);
    auto* list_only = new ui::Panel(ui::Panel::Orientation::Horizontal);
    list_only->setObjectName("listOnlyElement");
    auto* list_button = new ui::DropDownButton;
    list_button->Content(tr_key("filter"));
    auto* list_menu = new ui::MenuFlyout(list_button);
    list_button->Flyout(list_menu);
    list_only->Append(list_button);
    list_place_layout->addWidget(list_only);
    auto* task_list = new ui::Panel(ui::Panel::Orientation::Horizontal);
    task_list->setObjectName("taskListElement");
    auto* task_button = new ui::DropDownButton;
    task_button->Content(tr_key("tasks"));
    auto* task_menu = new ui::MenuFlyout(task_button);
    task_button->Flyout(task_menu);
    task_list->Append(task_button);
    list_place_layout->addWidget(task_list);
    list_place->setFixedWidth(std::max(list_only->sizeHint().width(), task_list->sizeHint().width()));
    bar->addWidget(list_place);

    // While an invoice's report waits for the tax authority, a line over the tabs says so, whatever
    // tab or page is shown.
    auto* notice = new ui::TextBlock;
    notice->setObjectName("reportNotice");
    notice->setWordWrap(true);
    notice->setContentsMargins(8, 4, 8, 4);
    notice->setStyleSheet("QLabel { background: #FFF4CE; color: #3B2A00; border-bottom: 1px solid #E6D28A; }");
    notice->hide();
    content_layout->addWidget(notice);
    reportNotice = notice;

    // The tabs; the first holds the list, or the settings page in its place.
    auto* tabs = new ui::TabView;
    tabs->setObjectName("tabView");
    content_layout->addWidget(tabs, 1);
    // The title button shows the selected tab's header. Its place keeps one width, whatever the header and
    // whether the button is shown, so that the tabs beside it never move under the mouse.
    auto* title_place = new QWidget;
    auto* title_layout = new QHBoxLayout(title_place);
    title_layout->setContentsMargins(0, 0, 0, 0);
    auto* title_button = button("tabTitleButton", QString());
    title_button->setFlat(true);
    title_button->setFixedWidth(kTitleButtonWidth);
    title_button->TextTrimming(true);
    QSizePolicy keep_place = title_button->sizePolicy();
    keep_place.setRetainSizeWhenHidden(true);
    title_button->setSizePolicy(keep_place);
    title_layout->addWidget(title_button);
    title_place->setFixedWidth(kTitleButtonWidth);
    tabs->setCornerWidget(title_place, Qt::TopLeftCorner);
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

    // The list view, and over it the cover shown while it does not show the list the tab names; the
    // view stays shown beneath, so that it goes on drawing.
    auto* view_place = new QWidget;
    auto* view_layout = new QGridLayout(view_place);
    view_layout->setContentsMargins(0, 0, 0, 0);
    auto* list_view = new ui::WebView2;
    list_view->setObjectName("listWebView");
    view_layout->addWidget(list_view, 0, 0);
    auto* cover = new QWidget;
    cover->setObjectName("listCover");
    cover->setBackgroundRole(QPalette::Base);
    cover->setAutoFillBackground(true);
    cover->hide();
    view_layout->addWidget(cover, 0, 0);
    listCover = cover;
    list_area->Append(view_place, 1);
    auto* list_bar = new ui::Panel(ui::Panel::Orientation::Horizontal);
    list_area->Append(list_bar);
    auto* summary = new ui::TextBlock;
    summary->setObjectName("listSummaryText");
    // A long totals line wraps rather than push the paging buttons out of the window.
    summary->setWordWrap(true);
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
    // A printed document or report first, as a PDF viewer offers them.
    ui::MenuFlyoutItem* save_pdf =
        menu_item(record_menu, "actionSavePdf", ui::qs(own_text("Mentés PDF-ként…", "Save as PDF…")));
    ui::MenuFlyoutItem* print_pdf = menu_item(record_menu, "actionPrintPdf", ui::qs(own_text("Nyomtatás…", "Print…")));
    record_menu->AppendSeparator();
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
    Connect(59, save_pdf);
    Connect(60, print_pdf);

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
        navigationView->SelectedItemInvoked.Add(
            this, [this](ui::NavigationView*, ui::NavigationViewItem*) { OnSelectedSectionInvoked(); });
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
        } else if (connection_id >= 34 && connection_id <= 60) {
            auto* item = static_cast<ui::MenuFlyoutItem*>(target);
            ui::MenuFlyoutItem** fields[27] = {
                &actionPaid,         &actionResave,       &actionCopy,           &actionInvoice,         &actionPurchaseReceive,
                &actionEdit,         &actionNewForRecord, &actionStorno,         &actionDelete,          &actionReturn,
                &profitItems[0],     &profitItems[1],     &profitItems[2],       &profitItems[3],        &actionReport,
                &actionInventoryReport, &actionNavExport, nullptr,               &actionTaskList,        &actionTaskCalendar,
                &actionMonthFilter,  &actionYearFilter,   &actionPastYearFilter, &actionOverdueFilter,   &actionCustomFilter,
                &actionSavePdf,      &actionPrintPdf};
            *fields[connection_id - 34] = item;
            item->Click.Add(this, command);
        }
        break;
    }
}

// --- the document window ---------------------------------------------------------------------------

namespace {

DocumentPage* page_of(ui::Window* window) {
    return window ? qobject_cast<DocumentPage*>(window->Content()) : nullptr;
}

// How often a command that waits for a save looks again, in milliseconds.
constexpr int kSaveWaitStep = 200;

}  // namespace

void MainWindow::OpenDocumentWindow(QString recordName, QString kind, bool edit, std::string apply_record_name) {
    if (!g_core) return;
    if (DocumentPage* saving = page_of(document_window); saving && saving->save_in_flight) {
        // The open document is being saved: the command waits until the save has ended (the
        // window then closes, or shows the document again after an error) and runs then.
        QTimer::singleShot(kSaveWaitStep, this, [this, recordName, kind, edit, apply_record_name] {
            OpenDocumentWindow(recordName, kind, edit, apply_record_name);
        });
        return;
    }
    if (document_window) {
        // One document at a time: the open one stays as it is.
        document_window->Activate();
    } else {
        auto* page = new DocumentPage;
        // A window of its own, not a child of this one: its dialogs hold the document window alone, so
        // that this window's close (its title bar's button) still reaches it while one shows.
        auto* window = new ui::Window;
        window->Closed.Add(this, [this](ui::Window* sender, ui::WindowEventArgs& args) { OnDocumentWindowClosed(sender, args); });
        window->Content(page);
        place_window(window, QSize(1320, 900), this->screen());
        page->OpenDocument(recordName, kind, edit);
        window->Activate();
        document_window = window;
        window->Title(QString());
        window->SetIcon(ui::qs(get_app_folder() + "tavrin.png"));
    }
    if (apply_record_name.empty()) return;
    if (DocumentPage* page = page_of(document_window)) {
        const bool is_client =
            !store::rows(*g_core, "SELECT name FROM clients WHERE recordName = ?", {apply_record_name}).empty();
        page->ApplyRecordToDocument(is_client, apply_record_name);
    }
}

void MainWindow::OnDocumentWindowClosed(ui::Window* sender, ui::WindowEventArgs& args) {
    DocumentPage* page = page_of(sender);
    // A save under way ends with the window's close of its own.
    if (page && page->save_in_flight) {
        args.Handled(true);
        return;
    }
    if (!page || page->lines.empty() || discard_confirmed) {
        args.Handled(false);
        discard_confirmed = false;
        if (document_window == sender) document_window = nullptr;
        // The page, its preview and its dialogs go with the window, once the close is handled.
        sender->deleteLater();
        return;
    }
    args.Handled(true);
    AskDiscardDocument(false);
}

ui::Action MainWindow::AskDiscardDocument(bool then_close_main) {
    if (!g_core || !document_window || ui::ContentDialog::Current() || asking_discard_) co_return;
    QPointer<MainWindow> self(this);
    QPointer<ui::Window> window = document_window;
    DocumentPage* page = page_of(window.data());
    if (!page) co_return;
    // An invoice the tax authority holds is not "discarded" by closing: the page says what stays. What
    // the store knows of it is read off the UI thread, one question at a time.
    asking_discard_ = true;
    const json11::Json document(page->document);
    const std::string request_id = page->pending_request_id;
    const bool editing = page->editing;
    const ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    co_await ui::resume_background();
    DocumentPage::DiscardFacts facts;
    if (Core* core = g_core) facts = DocumentPage::ReadDiscardFacts(*core, document, request_id, editing);
    co_await ui::resume_foreground(queue);
    if (!self) co_return;
    asking_discard_ = false;
    page = page_of(window.data());
    if (!window || !page || !g_core || ui::ContentDialog::Current()) co_return;
    const DocumentPage::DiscardQuestion question = page->DiscardQuestionText(facts);
    QPointer<ui::ContentDialog> dialog = new ui::ContentDialog(window.data());
    dialog->XamlRoot(window.data());
    dialog->PrimaryButtonText(question.close_button);
    dialog->CloseButtonText(ui::qs(g_core->translated("cancel", "")));
    dialog->DefaultButton(ui::ContentDialogButton::Secondary);
    dialog->Title(question.title);
    dialog->Content(question.text);
    window->Activate();
    const ui::ContentDialogResult result = co_await dialog->ShowAsyncOrNone();
    if (dialog) dialog->deleteLater();
    if (!self || !window || result != ui::ContentDialogResult::Primary) co_return;
    if (then_close_main) {
        // The document is dropped; closing this window now closes the document window unasked.
        if (DocumentPage* page = page_of(window)) page->lines.clear();
        Close();
        co_return;
    }
    discard_confirmed = true;
    window->Close();
}

ui::Action MainWindow::CloseOncePrinted() {
    // A print that does not end keeps the program from closing for this long at the most.
    constexpr int kPrintLimitMs = 10000;
    QPointer<MainWindow> self(this);
    prints_at_close_ = PrintsAtClose::waiting;
    const ui::AsyncAction limit = ui::Delay(kPrintLimitMs);
    // A print started meanwhile (the accounting upload of an invoice the background settled) is
    // waited for too, within the same limit.
    while (ui::WebView2::AnyPrinting() && !limit.IsDone()) {
        ui::AsyncAction ended;
        complete_when(ui::WebView2::AllPrintsEnded(), ended);
        complete_when(limit, ended);
        co_await ended;
        if (!self) co_return;
    }
    prints_at_close_ = PrintsAtClose::ended;
    Close();
}

void MainWindow::CloseDroppingDocument() {
    if (DocumentPage* page = page_of(document_window)) page->lines.clear();
    Close();
}

// --- closing ------------------------------------------------------------------------------------------

void MainWindow::OnClosed(ui::Window*, ui::WindowEventArgs& args) {
    if (document_window) {
        DocumentPage* page = page_of(document_window);
        // A save under way holds the close until nothing typed can be lost, and says so in its dialog;
        // a document dropped unasked (the desktop's logout) holds nothing: the save's work is cut short.
        const DocumentPage::SaveAtClose save =
            page && !page->lines.empty() ? page->SaveHoldsClose() : DocumentPage::SaveAtClose::none;
        if (save == DocumentPage::SaveAtClose::holds) {
            args.Handled(true);
            return;
        }
        // An edited document is not dropped without asking; the close waits for the answer. A save
        // that lets the program end has its invoice recorded: nothing is asked.
        if (save == DocumentPage::SaveAtClose::none && page && !page->lines.empty()) {
            args.Handled(true);
            AskDiscardDocument(true);
            return;
        }
    }
    // A PDF being printed (the print view's, an accounting upload's) is written whole before the
    // window closes: the close waits for the prints and comes again.
    if (prints_at_close_ == PrintsAtClose::waiting) {
        args.Handled(true);
        return;
    }
    if (prints_at_close_ == PrintsAtClose::unasked && ui::WebView2::AnyPrinting()) {
        args.Handled(true);
        CloseOncePrinted();
        return;
    }
    prints_at_close_ = PrintsAtClose::unasked;
    if (document_window) {
        QPointer<ui::Window> window = document_window;
        window->Close();
        // The page and its preview go now, before Core does.
        delete window.data();
    }
    // Background work uses Core and the database: it ends before they go. A request to a service
    // that does not answer is given up at once rather than waited out.
    set_network_cancelled(true);
    ui::ThreadPool::WaitForIdle();
    set_network_cancelled(false);
    delete g_core;
    g_core = nullptr;
}

}  // namespace Tavrin
