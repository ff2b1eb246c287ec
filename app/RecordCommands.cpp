// The main window's client and item dialogs: a new record or an edited one, saved and shown in its tab.
#include "app/MainWindow.h"

#include "app/App.h"
#include "app/editor/ClientDlg.h"
#include "app/editor/ItemDlg.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/ContentDialog.h"

using json11::Json;

namespace Tavrin {

namespace {

// Shows the form of one client or item; once the user saves, `save` stores it and its tab shows it.
template <class Form>
ui::Action show_record_dialog(QPointer<MainWindow> self, std::string recordName, bool isClient, std::string (Form::*save)()) {
    if (!g_core || ui::ContentDialog::Current()) co_return;
    QPointer<ui::ContentDialog> dialog = self->NewCommandDialog();
    QPointer<Form> form = new Form(ui::qs(recordName));
    dialog->Content(form.data());
    const ui::ContentDialogResult result = co_await dialog->ShowAsyncOrNone();
    if (dialog) dialog->deleteLater();
    if (!self || !form || !g_core || result != ui::ContentDialogResult::Primary) co_return;
    const std::string saved = (form.data()->*save)();
    if (!saved.empty()) self->ShowRecordTab(saved, isClient);
}

}  // namespace

ui::Action MainWindow::ShowClientDialog(std::string recordName) {
    return show_record_dialog<ClientDlg>(this, std::move(recordName), true, &ClientDlg::SaveClient);
}

ui::Action MainWindow::ShowItemDialog(std::string recordName) {
    return show_record_dialog<ItemDlg>(this, std::move(recordName), false, &ItemDlg::SaveItem);
}

ui::Action MainWindow::ShowRecordTab(std::string recordName, bool isClient) {
    if (!g_core) co_return;
    const std::string type = isClient ? "client" : "item";
    // An edited record whose tab is open is shown again there.
    for (int index = 1; index < tabView->Size(); ++index) {
        ui::TabViewItem* tab = tabView->GetAt(index);
        if (ui::TagText(tab->Tag()) != recordName) continue;
        if (auto* view = qobject_cast<ui::WebView2*>(tab->Content())) WriteHtmlToWebView(view, type, recordName);
        tabView->SelectedItem(tab);
        RefreshList(std::string());
        OnTabSelectionChanged();
        co_return;
    }

    QPointer<MainWindow> self(this);
    QPointer<ui::TabViewItem> tab = new ui::TabViewItem;
    tab->Tag(ui::qs(recordName));
    const auto rows = store::rows(*g_core, isClient ? "SELECT name FROM clients WHERE recordName = ?"
                                                    : "SELECT name FROM items WHERE recordName = ?",
                                  {Json(recordName)});
    tab->Header(ui::qs(rows.empty() ? std::string(" ") : record_tab_header(Json(rows[0])["name"].string_value())));
    QPointer<ui::WebView2> view = new ui::WebView2(tab);
    co_await view->EnsureCoreWebView2Async();
    if (!self || !tab || !view || !g_core) {
        delete tab.data();
        co_return;
    }
    view->WebMessageReceived.Add(
        this, [this](ui::WebView2* sender, ui::WebMessageReceivedEventArgs args) { OnListMessage(sender, args); });
    view->NavigateToString(QString());
    QPointer<ui::WebView2> held(view);
    view->NavigationCompleted.Add(this, [this, held, type, recordName](ui::WebView2*, ui::NavigationCompletedEventArgs) {
        if (held) WriteHtmlToWebView(held, type, recordName);
    });
    tab->Content(view);
    tabView->Append(tab);
    tabView->SelectedItem(tab);
    RefreshList(std::string());
    OnTabSelectionChanged();
}

}  // namespace Tavrin
