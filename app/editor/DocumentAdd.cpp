// Making a client or an item from the document page: its dialog, its save, and the new record
// applied to the document as if it had been dragged onto it.
#include "app/editor/ClientDlg.h"
#include "app/editor/DocumentPage.h"
#include "app/editor/ItemDlg.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "core/Core.h"
#include "ui/ContentDialog.h"

namespace Tavrin {

ui::Action DocumentPage::AddRecord(bool isClient) {
    if (!g_core) co_return;
    QPointer<DocumentPage> self(this);
    QPointer<ui::ContentDialog> dialog = new ui::ContentDialog(window());
    dialog->XamlRoot(window());
    dialog->PrimaryButtonText(tr_key("save"));
    dialog->CloseButtonText(tr_key("cancel"));
    dialog->DefaultButton(ui::ContentDialogButton::Primary);
    QPointer<ClientDlg> client;
    QPointer<ItemDlg> item;
    if (isClient) {
        client = new ClientDlg(QString());
        dialog->Content(client.data());
    } else {
        item = new ItemDlg(QString());
        dialog->Content(item.data());
    }

    const ui::ContentDialogResult result = co_await dialog->ShowAsyncOrNone();
    if (!self || !dialog || !g_core || (isClient ? !client : !item)) co_return;
    dialog->deleteLater();
    if (result != ui::ContentDialogResult::Primary) co_return;
    const std::string record_name = isClient ? client->SaveClient() : item->SaveItem();
    if (record_name.empty()) co_return;

    // The main window's list shows the new record when it lists clients or items.
    if (auto* main = qobject_cast<MainWindow*>(g_main_window.data())) {
        if (ui::NavigationViewItem* selected = main->navigationView->SelectedItem()) {
            const std::string section = ui::Name(selected);
            if (section == "clients" || section == "items") main->RefreshList(std::string());
        }
    }
    ApplyRecordToDocument(isClient, record_name);
}

}  // namespace Tavrin
