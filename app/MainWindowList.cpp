// The list: its refresh into the list view, the page label, the navigation's sections and the
// accounts menu.
#include "app/MainWindow.h"
#include "app/settings/SettingsPage.h"

#include "core/Core.h"

#include <QTimer>

using json11::Json;

namespace Tavrin {

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

QString summary_label_text(const std::string& summary) {
    // The line may wrap between its parts (the dates of the range, the filters, the three sums),
    // never inside a date, a name or an amount such as "1 861 125 Ft".
    const QString text = ui::qs(summary);
    const QString separators = QString::fromUtf8("|+=\xEF\xBC\x8D");  // the range's dash is U+FF0D
    QString shown = text;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != ' ') continue;
        const bool after_separator = i > 0 && (separators.contains(text[i - 1]) || text[i - 1] == ',');
        const bool before_separator = i + 1 < text.size() && separators.contains(text[i + 1]);
        if (!after_separator && !before_separator) shown[i] = QChar(0x00A0);
    }
    return shown;
}

// A section shows its list and starts its background work; the settings item shows the settings page;
// an entry of the accounts menu switches the account.
ui::Action MainWindow::OnNavigationChanged(ui::NavigationView*, ui::NavigationViewSelectionChangedEventArgs args) {
    if (!g_core) co_return;
    QPointer<MainWindow> self(this);
    ui::NavigationViewItem* item = args.SelectedItem();

    if (args.IsSettingsSelected()) {
        last_choice_ = item;
        homeTabItem->Header(ui::qs(g_core->translated("settings", "")));
        ui::SetVisibility(settingsView, ui::Visibility::Visible);
        ui::SetVisibility(listArea, ui::Visibility::Collapsed);
        settingsView->BuildSettingsList();
    } else if (item && !ui::TagText(item->Tag()).empty()) {
        // An entry of the accounts menu.
        SwitchAccount(ui::TagText(item->Tag()));
        co_return;
    } else if (item) {
        last_choice_ = item;
        StartWork(Work::sync);
        ui::SetVisibility(settingsView, ui::Visibility::Collapsed);
        ui::SetVisibility(listArea, ui::Visibility::Visible);
        searchBox->Text(QString());
        // Date range and type stay; currency, payment method and paid state match anything again.
        for (const char* member : {"currency_code", "payment_id", "paid"}) list_filter[member] = "%%";
        if (!listWebView->IsLoaded()) {
            co_await listWebView->EnsureCoreWebView2Async();
            if (!self || !g_core) co_return;
            // The list page is the program's own: no browser menu on it.
            listWebView->setContextMenuPolicy(Qt::NoContextMenu);
        }
        RefreshList(std::string());
        StartSectionWork();
    }

    ShowListTab();
}

void MainWindow::OnSelectedSectionInvoked() {
    if (!g_core || switching_account_) return;
    // Its list (or the settings) comes back to the front; a list is brought up to date as when it is
    // opened, and the invoices' status query asks the authority about a report left waiting.
    ShowListTab();
    ui::NavigationViewItem* item = navigationView->SelectedItem();
    if (!item || item == navigationView->SettingsItem() || !ui::TagText(item->Tag()).empty()) return;
    StartWork(Work::sync);
    StartSectionWork();
}

void MainWindow::ShowListTab() {
    for (int i = 0; i < tabView->Size(); ++i) {
        const QVariant tag = tabView->GetAt(i)->Tag();
        if (!tag.isValid() || tag.isNull()) tabView->SelectedIndex(i);
    }
    OnTabSelectionChanged();
}

std::optional<MainWindow::ListRequest> MainWindow::CurrentListRequest() const {
    ui::NavigationViewItem* selected = navigationView->SelectedItem();
    // The settings page, or an account entry while the switch runs: no list.
    if (!selected || selected == navigationView->SettingsItem() || !ui::TagText(selected->Tag()).empty())
        return std::nullopt;
    ListRequest request;
    request.section = ui::Name(selected);
    request.calendar = request.section == "TASK" && show_task_calendar;
    if (request.calendar) {
        request.type = "TASK";
        return request;
    }
    request.type = ListTypeFor(request.section);
    if (request.type == request.section) request.filter = list_filter;
    request.search = ui::utf8(searchBox->Text());
    return request;
}

MainWindow::ListFit MainWindow::FitOf(const ListKey& page) const {
    if (!g_core || switching_account_ || page.account != g_core->current_account) return ListFit::other_list;
    const std::optional<ListRequest> request = CurrentListRequest();
    if (!request || request->section != page.section || request->calendar != page.calendar) return ListFit::other_list;
    return page.refresh == list_generation_ ? ListFit::newest : ListFit::same_list;
}

std::optional<MainWindow::ListKey> MainWindow::NextListKey(const ListRequest& request) {
    if (!g_core || switching_account_) return std::nullopt;
    // A page asked for before this one is not shown over it.
    ListKey key{g_core->current_account, request.section, request.calendar, ++list_generation_};
    if (ui::NavigationViewItem* selected = navigationView->SelectedItem()) {
        homeTabItem->Header(selected->Content());
        if (tabView->SelectedIndex() == 0) tabTitleButton->Content(homeTabItem->Header());
    }
    FollowListCover();
    return key;
}

void MainWindow::RefreshList(std::string html) {
    if (!g_core) return;
    const std::optional<ListRequest> request = CurrentListRequest();
    if (!request) {
        ++list_generation_;
        return;
    }
    const std::optional<ListKey> key = NextListKey(*request);
    if (!key) return;
    if (request->calendar) {
        g_core->list_html(-100, request->type, request->filter, request->search, std::string());
        DrawList(TaskCalendarDrawing(*key));
        return;
    }
    if (html.empty()) html = g_core->list_html(0, request->type, request->filter, request->search, std::string());
    DrawList(ListPageDrawing(*key, html));
}

void MainWindow::RefreshListOffThread() {
    if (!g_core) return;
    const std::optional<ListRequest> request = CurrentListRequest();
    if (!request) return;
    const std::optional<ListKey> key = NextListKey(*request);
    if (!key) return;
    const ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    const QPointer<MainWindow> window(this);
    const ListRequest asked = *request;
    const ListKey made_for = *key;
    ui::ThreadPool::RunAsync([queue, window, asked, made_for] {
        auto made = std::make_shared<ListPage>();
        ui::PostOnce back(queue, [window, asked, made_for, made] {
            if (window) window->TakeListPage(made_for, asked, made);
        });
        Core* core = g_core;
        if (!core || core->current_account != made_for.account) return;
        *made = core->list_page_of(0, asked.calendar, asked.type, asked.filter, asked.search, std::string());
    });
}

void MainWindow::TakeListPage(const ListKey& key, const ListRequest& asked, std::shared_ptr<ListPage> made) {
    // Taken only while it answers the newest refresh: none asked since, the same list and account.
    if (FitOf(key) != ListFit::newest) return;
    const std::string html = g_core->keep_list_page(std::move(*made), asked.calendar);
    DrawList(asked.calendar ? TaskCalendarDrawing(key) : ListPageDrawing(key, html));
}

MainWindow::ListDrawing MainWindow::TaskCalendarDrawing(const ListKey& key) const {
    const std::vector<Json> tasks(g_core->list_rows.begin(), g_core->list_rows.end());
    const int year = calendar_month.year();
    const int month = calendar_month.month();
    ListDrawing drawing;
    drawing.key = key;
    drawing.html = g_core->calendar_html(year, static_cast<unsigned short>(month), tasks);
    drawing.back_enabled = true;
    drawing.forward_enabled = true;
    const std::string month_name =
        month >= 1 && month <= static_cast<int>(g_core->month_names.size()) ? g_core->month_names[month - 1] : "";
    drawing.page_text = ui::qs(std::to_string(year) + " " + month_name);
    return drawing;
}

MainWindow::ListDrawing MainWindow::ListPageDrawing(const ListKey& key, const std::string& html) const {
    const int page = g_core->list_page;
    const int count = g_core->list_count;
    const bool master = key.section == "clients" || key.section == "items";
    ListDrawing drawing;
    drawing.key = key;
    drawing.html = html;
    drawing.back_enabled = page > 0;
    drawing.forward_enabled = !master && page < count / 100;
    drawing.page_text = ui::qs(page_label(master, count, page));
    drawing.summary_text = summary_label_text(g_core->list_summary);
    return drawing;
}

namespace {

// After the page: once a frame holding it has been drawn (at once when the page is not shown, where
// no frame comes), the page says so with the refresh it answers.
std::string list_drawn_script(std::uint64_t refresh) {
    const std::string told = "function(){window.chrome.webview.postMessage({\"action\":\"listDrawn\",\"refresh\":" +
                             std::to_string(refresh) + "});}";
    return "(function(){var told=" + told +
           ";if(document.visibilityState!=='visible'){told();}"
           "else{requestAnimationFrame(function(){requestAnimationFrame(told);});}})();";
}

}  // namespace

void MainWindow::DrawList(ListDrawing drawing) {
    // What stands around the list follows the newest page of the list the tab names at once; while
    // the view shows another list it is covered.
    if (FitOf(drawing.key) != ListFit::other_list) {
        listPageBackButton->IsEnabled(drawing.back_enabled);
        listPageForwardButton->IsEnabled(drawing.forward_enabled);
        listPageText->Text(drawing.page_text);
        listSummaryText->Text(drawing.summary_text);
    }
    // Only the newest page waits: one that came before it would be drawn just to be replaced.
    if (!list_waiting_ || list_waiting_->key.refresh < drawing.key.refresh) list_waiting_ = std::move(drawing);
    WriteNextList();
}

void MainWindow::WriteNextList() {
    if (list_writing_ || !list_waiting_) return;
    ListDrawing drawing = std::move(*list_waiting_);
    list_waiting_.reset();
    if (FitOf(drawing.key) == ListFit::other_list) return;
    const std::string script = page_write_script(drawing.html) + list_drawn_script(drawing.key.refresh);
    drawing.html.clear();
    list_writing_ = std::move(drawing);
    FollowListCover();
    listWebView->ExecuteScriptAsync(ui::qs(script));
}

void MainWindow::OnListDrawn(std::uint64_t refresh) {
    if (!list_writing_ || list_writing_->key.refresh != refresh) return;
    const ListDrawing drawn = std::move(*list_writing_);
    list_writing_.reset();
    list_drawn_ = drawn.key;
    FollowListCover();
    // The next page goes once this turn of the event loop is over.
    QTimer::singleShot(0, this, [this] { WriteNextList(); });
}

void MainWindow::FollowListCover() {
    const auto of_current_list = [this](const std::optional<ListKey>& key) {
        return key && FitOf(*key) != ListFit::other_list;
    };
    const bool shows_current =
        of_current_list(list_drawn_) && (!list_writing_ || of_current_list(list_writing_->key));
    if (shows_current == listCover->isHidden()) return;
    listCover->setVisible(!shows_current);
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
}  // namespace Tavrin
