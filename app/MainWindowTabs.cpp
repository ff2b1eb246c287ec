// The tabs: opening a record's tab, switching between tabs and closing them; a document's tab follows
// its record as the store changes.
#include "app/MainWindow.h"

#include "app/App.h"
#include "app/editor/DocumentPage.h"
#include "core/Core.h"
#include "core/store/document_follow.h"
#include "core/store/store_internal.h"

#include <QPointer>

#include <algorithm>
#include <exception>

using json11::Json;

namespace Tavrin {

namespace {

// How long a tab printed anew may hold the print view before the next one takes it.
constexpr int kTabPrintWaitMs = 15000;

using ShownPointer = std::shared_ptr<const store::ShownDocument>;

// What the store holds of `shown`, decided off the UI thread; in the order given.
ui::AsyncOperation<std::vector<store::DocumentNow>> documents_now(std::vector<ShownPointer> shown) {
    ui::AsyncOperation<std::vector<store::DocumentNow>> result;
    ui::ThreadPool::RunAsync([result, shown] {
        std::vector<store::DocumentNow> now;
        try {
            if (Core* core = g_core)
                for (const auto& each : shown) now.push_back(store::document_now(*core, *each));
        } catch (const std::exception&) {
            now.clear();
        }
        // Without an answer for each, nothing is followed this time.
        if (now.size() != shown.size())
            now.assign(shown.size(), store::DocumentNow{store::DocumentFollow::same, store::ShownDocument{}});
        result.Complete(std::move(now));
    });
    return result;
}

// The stored document `record_name` as a tab shows it, read off the UI thread.
ui::AsyncOperation<ShownPointer> read_shown_document(std::string record_name) {
    ui::AsyncOperation<ShownPointer> result;
    ui::ThreadPool::RunAsync([result, record_name] {
        auto shown = std::make_shared<store::ShownDocument>();
        try {
            if (Core* core = g_core) *shown = store::shown_document(*core, record_name);
        } catch (const std::exception&) {
            *shown = store::ShownDocument{};
        }
        result.Complete(std::move(shown));
    });
    return result;
}

}  // namespace

std::string record_tab_header(const std::string& name) {
    const std::vector<std::string> words = split(' ', name);
    if (words.empty()) return std::string();
    if (words.size() > 1) return words[0] + " " + words[1];
    return words[0];
}

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
            // A document tab follows its record off the UI thread: the row it holds is what is stored.
            const auto held = std::find_if(document_tabs_.begin(), document_tabs_.end(), [sel](const DocumentTab& entry) {
                return entry.tab == sel && entry.shown && !entry.shown->document.empty();
            });
            // Not read yet: the tab and the menu stay as they are until it is.
            if (held == document_tabs_.end()) return;
            const Json doc(held->shown->document);
            list_type = doc["type"].string_value();
            if (list_type == "INVOICE" || list_type == "ARCHIVE_INVOICE") {
                const Json& paid_value = doc["paid"];
                ShowPaidSwitch(paid_value.is_number() ? paid_value.int_value() == 1 : paid_value.string_value() == "1");
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
    // A document or a report is shown as a PDF: once printed, it can be saved and printed again.
    const bool printed_tab = tagged && list_type != "master_data";
    const bool pdf_ready = printed_tab && !TabPdf(sel).isEmpty();
    for (ui::MenuFlyoutItem* item : {actionSavePdf, actionPrintPdf}) {
        show(item, printed_tab);
        item->IsEnabled(pdf_ready);
    }
    ShowRecordCommandsState();
}

void MainWindow::ShowPaidSwitch(bool is_paid) {
    const QString arrow = QString::fromUtf8(" \xE2\x9E\x94 ");  // U+2794
    const QString paid = ui::qs(g_core->translated("paid", ""));
    const QString unpaid = ui::qs(g_core->translated("unpaid", ""));
    // The tag is the value a click writes.
    actionPaid->Text(is_paid ? paid + arrow + unpaid : unpaid + arrow + paid);
    actionPaid->Tag(QVariant(is_paid ? 0 : 1));
}

void MainWindow::ShowRecordCommandsState() {
    bool any = false;
    for (QAction* item : recordCommandsButton->menu()->actions())
        if (!item->isSeparator() && item->isVisible()) any = true;
    // A button that opened nothing would leave the user guessing.
    recordCommandsButton->setEnabled(any);
    recordCommandsButton->setToolTip(any ? QString()
                                         : ui::qs(own_text("Ehhez a laphoz nincs művelet.", "No commands for this tab.")));
}

void MainWindow::OnTabCloseRequested(ui::TabView*, ui::TabViewTabCloseRequestedEventArgs args) {
    const int index = tabView->IndexOf(args.Tab());
    // The list tab always stays.
    if (index <= 0) return;
    tabView->RemoveAt(index);
}

ui::Action MainWindow::ShowDocumentTab(std::string record_name) {
    QPointer<MainWindow> self(this);
    co_await FollowDocumentTabs();
    if (!self || !g_core) co_return;
    for (int index = 1; index < tabView->Size(); ++index) {
        if (ui::TagText(tabView->GetAt(index)->Tag()) == record_name) {
            tabView->SelectedItem(tabView->GetAt(index));
            co_return;
        }
    }
    const ShownPointer shown = co_await read_shown_document(record_name);
    // The document is gone: nothing to open.
    if (!self || !g_core || shown->document.empty()) co_return;

    QPointer<ui::TabViewItem> tab = new ui::TabViewItem;
    QPointer<ui::WebView2> view = new ui::WebView2(tab);
    co_await view->EnsureCoreWebView2Async();
    if (!self || !tab || !view || !g_core) {
        delete tab.data();
        co_return;
    }
    tab->Content(view);
    ShowInDocumentTab(tab, shown);
    document_tabs_.push_back(DocumentTab{tab, shown});
    tabView->Append(tab);
    tabView->SelectedItem(tab);
    OnTabSelectionChanged();
}

ui::Action MainWindow::WatchDocumentTab(QPointer<ui::TabViewItem> tab, std::string page) {
    if (!tab) co_return;
    QPointer<MainWindow> self(this);
    const std::string record_name = ui::TagText(tab->Tag());
    ShownPointer shown = co_await read_shown_document(record_name);
    if (!self || !tab || shown->document.empty() || ui::TagText(tab->Tag()) != record_name) co_return;
    // The tab shows the page it was printed from: where the store holds another one, the next follow
    // prints what is stored.
    if (shown->page != page) {
        auto printed = std::make_shared<store::ShownDocument>(*shown);
        printed->page = std::move(page);
        shown = std::move(printed);
    }
    document_tabs_.push_back(DocumentTab{tab, shown});
    if (tabView->SelectedItem() == tab) OnTabSelectionChanged();
}

void MainWindow::ShowInDocumentTab(ui::TabViewItem* tab, ShownPointer shown) {
    const std::string record_name = store::member(shown->document, "recordName").string_value();
    tab->Tag(ui::qs(record_name));
    tab->Header(ui::qs(store::member(shown->document, "number_formatted").string_value()));
    if (tabView->SelectedItem() == tab) tabTitleButton->Content(tab->Header());
    // Hidden until its PDF is printed, so that no earlier PDF is seen, saved or printed meanwhile.
    ForgetTabPdf(tab);
    if (QWidget* view = tab->Content()) ui::SetVisibility(view, ui::Visibility::Collapsed);
    print_view->Tag(ui::qs(record_name));
    print_view->NavigateToString(ui::qs(shown->page));
}

ui::AsyncAction MainWindow::FollowDocumentTabs() {
    ui::AsyncAction done;
    FollowTabs(done);
    return done;
}

ui::Action MainWindow::FollowTabs(ui::AsyncAction done) {
    struct Ended {
        ui::AsyncAction done;
        ~Ended() { done.Complete(ui::Unit{}); }
    } ended{done};
    QPointer<MainWindow> self(this);
    std::erase_if(document_tabs_, [](const DocumentTab& entry) { return entry.tab.isNull(); });
    // The open page follows its stored document too, unless its save is under way (the save finds
    // where the document went by itself).
    QPointer<DocumentPage> page = document_window ? qobject_cast<DocumentPage*>(document_window->Content()) : nullptr;
    const ShownPointer page_shown = page && !page->save_in_flight ? page->stored_shown : nullptr;
    if ((document_tabs_.empty() && !page_shown) || !g_core) {
        TellClosedTabs();
        co_return;
    }
    const std::vector<DocumentTab> asked = document_tabs_;
    std::vector<ShownPointer> shown;
    for (const DocumentTab& entry : asked) shown.push_back(entry.shown);
    if (page_shown) shown.push_back(page_shown);
    const std::vector<store::DocumentNow> answers = co_await documents_now(shown);
    if (!self || !g_core) co_return;
    // One dialog at a time: with another open, the page follows the next time.
    if (page && page_shown && page->stored_shown == page_shown && !page->save_in_flight &&
        !ui::ContentDialog::Current())
        page->FollowStoredDocument(answers.back());

    QPointer<ui::TabViewItem> printing;
    for (std::size_t index = 0; index < asked.size(); ++index) {
        const store::DocumentNow& answer = answers[index];
        auto entry = std::find_if(document_tabs_.begin(), document_tabs_.end(), [&](const DocumentTab& held) {
            return held.tab == asked[index].tab && held.shown == asked[index].shown;
        });
        // Closed meanwhile, or followed already by a later call.
        if (entry == document_tabs_.end() || !entry->tab) continue;
        if (answer.follow == store::DocumentFollow::same) {
            // Its page stands; the row it holds, which the commands follow, is what is stored now.
            // (A read that failed answers with nothing: the row held stays.)
            if (!answer.now.document.empty()) entry->shown = std::make_shared<const store::ShownDocument>(answer.now);
            continue;
        }
        QPointer<ui::TabViewItem> tab = entry->tab;
        if (answer.follow == store::DocumentFollow::gone) {
            closed_tabs_untold_.push_back(ui::utf8(tab->Header()));
            document_tabs_.erase(entry);
            const int position = tabView->IndexOf(tab);
            if (position > 0) tabView->RemoveAt(position);
            continue;
        }
        // One print view: each tab waits until the one before has its PDF.
        for (int waited = 0; printing && TabPdf(printing).isEmpty() && waited < kTabPrintWaitMs; waited += 50) {
            co_await ui::Delay(50);
            if (!self) co_return;
        }
        entry = std::find_if(document_tabs_.begin(), document_tabs_.end(),
                             [&](const DocumentTab& held) { return held.tab == tab; });
        if (!tab || entry == document_tabs_.end() || entry->shown != asked[index].shown) continue;
        entry->shown = std::make_shared<const store::ShownDocument>(answer.now);
        ShowInDocumentTab(tab, entry->shown);
        printing = tab;
    }
    // The commands follow the selected tab when it is one of those followed (a client's or an item's
    // tab is named anew when the user selects it).
    ui::TabViewItem* selected = tabView->SelectedItem();
    if (std::any_of(document_tabs_.begin(), document_tabs_.end(),
                    [selected](const DocumentTab& entry) { return entry.tab == selected; }))
        OnTabSelectionChanged();
    TellClosedTabs();
}

void MainWindow::TellClosedTabs() {
    // One dialog at a time: with another open, the word waits for the next time.
    if (closed_tabs_untold_.empty() || ui::ContentDialog::Current()) return;
    std::string text = own_text("Ezek a dokumentumok már nincsenek meg a számukon (törölték őket, vagy a számukat egy "
                                "másik dokumentum kapta), ezért a lapjuk bezárult:",
                                "These documents are no longer stored under their numbers (they were deleted, or "
                                "another document took their number), so their tabs were closed:");
    for (const std::string& number : closed_tabs_untold_) text += "\n\u2022 " + number;
    closed_tabs_untold_.clear();
    ShowMessage(ui::qs(own_text("Bezárt lapok", "Tabs closed")), ui::qs(text));
}
}  // namespace Tavrin
