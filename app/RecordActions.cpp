// Commands on the record of the selected tab: edit, paid or unpaid, re-save, derived documents, delete.
#include "app/MainWindow.h"

#include "app/App.h"
#include "app/editor/DocumentPage.h"
#include "core/Core.h"
#include "core/store/store_internal.h"

#include <chrono>
#include <thread>

using json11::Json;

namespace Tavrin {

namespace {

// The short wait before the deleted record's tab closes, spent on a pool thread.
ui::AsyncAction pause_100ms() {
    ui::AsyncAction done;
    ui::ThreadPool::RunAsync([done] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        done.Complete(ui::Unit{});
    });
    return done;
}

bool has_row(const char* sql, const std::string& record_name) {
    return !store::rows(*g_core, sql, {Json(record_name)}).empty();
}

}  // namespace

ui::Action MainWindow::EditRecord(std::string sel) {
    if (sel.empty()) co_return;
    // A client or an item is edited in its own dialog, then its tab is written anew.
    if (has_row("SELECT recordName FROM clients WHERE recordName = ?", sel)) {
        ShowClientDialog(sel);
        co_return;
    }
    if (has_row("SELECT recordName FROM items WHERE recordName = ?", sel)) {
        ShowItemDialog(sel);
        co_return;
    }
    const auto rows = store::rows(*g_core, "SELECT type FROM documents WHERE recordName = ?", {Json(sel)});
    // The document is gone: nothing to open.
    if (rows.empty()) co_return;
    OpenDocumentWindow(ui::qs(sel), ui::qs(Json(rows[0])["type"].string_value()), true, std::string());
}

void MainWindow::TogglePaid(std::string sel) {
    const QVariant tag = actionPaid->Tag();
    bool is_int = false;
    const int value = tag.toInt(&is_int);
    // No invoice tab has set the value to write, or no document is selected.
    if (!is_int || sel.empty()) return;
    store::mark_paid(*g_core, sel, value);
    RefreshList(std::string());
    // The menu offers the way back now; the tab follows its record, read off the UI thread.
    ShowPaidSwitch(value == 1);
    FollowDocumentTabs();
}

void MainWindow::ResaveDocument(std::string sel) {
    const auto rows = store::rows(*g_core, "SELECT * FROM documents WHERE recordName = ?", {Json(sel)});
    // Without its row there is nothing to save: saving an empty document would make a bogus one.
    if (rows.empty()) return;
    const auto lines = store::rows(*g_core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id",
                                   {Json(sel)});
    g_core->save_document(std::vector<Json>(lines.begin(), lines.end()), false, rows[0]);
    RefreshList(std::string());
    const int index = tabView->SelectedIndex();
    if (index > 0) tabView->RemoveAt(index);
}

void MainWindow::DeriveDocument(QObject* sender, std::string sel) {
    if (sel.empty()) return;
    if (sender == actionNewForRecord) {
        OpenDocumentWindow(QString(), QString(), false, sel);
        return;
    }
    QString kind;
    if (sender == actionInvoice) {
        // A kept draft is used up by the invoice issued from it.
        if (const DraftKeeping used = g_core->draft_keeping_of(sel); used.state == DraftKeeping::State::issued) {
            ShowMessage(tr_key("create_invoice"), ui::qs(draft_used_text(used)));
            return;
        }
        kind = "INVOICE";
    }
    else if (sender == actionPurchaseReceive)
        kind = "PURCHASE_RECEIVE";
    else if (sender == actionStorno)
        kind = "STORNO";
    // Copy: an empty kind keeps the type; the window drops the recordName, so a new document is saved.
    OpenDocumentWindow(ui::qs(sel), kind, false, std::string());
}

ui::Action MainWindow::DeleteRecord(std::string sel) {
    if (sel.empty()) co_return;
    QPointer<MainWindow> self(this);
    std::string name;
    bool found = false;
    for (const char* sql : {"SELECT name FROM clients WHERE recordName = ?", "SELECT name FROM items WHERE recordName = ?",
                            "SELECT number_formatted AS name FROM documents WHERE recordName = ?"}) {
        const auto rows = store::rows(*g_core, sql, {Json(sel)});
        if (rows.empty()) continue;
        name = Json(rows[0])["name"].string_value();
        found = true;
        break;
    }
    // The record is gone already (deleted meanwhile, or the tab names none): nothing to ask about.
    if (!found) co_return;

    QPointer<ui::ContentDialog> dialog = NewCommandDialog();
    dialog->Title(tr_key("delete"));
    dialog->PrimaryButtonText(tr_key("delete"));
    dialog->Content(ui::qs(g_core->translated("confirm_delete", name)));
    const ui::ContentDialogResult result = co_await dialog->ShowAsyncOrNone();
    if (dialog) dialog->deleteLater();
    if (!self || !g_core || result != ui::ContentDialogResult::Primary) co_return;

    {
        // The tombstone carries the deletion to the cloud; a record of any kind goes the same way.
        // Stock movements of a deleted document stay: they are the stock's history.
        store::Transaction transaction(*g_core);
        store::add_tombstone(*g_core, sel);
        store::run(*g_core, "DELETE FROM clients WHERE recordName = ?", {Json(sel)});
        store::run(*g_core, "DELETE FROM items WHERE recordName = ?", {Json(sel)});
        store::run(*g_core, "DELETE FROM documents WHERE recordName = ?", {Json(sel)});
        store::run(*g_core, "DELETE FROM document_lines WHERE documentRecordName = ?", {Json(sel)});
        transaction.commit();
    }
    RefreshList(std::string());

    co_await pause_100ms();
    if (!self || !g_core) co_return;
    // The deleted record's tab closes, wherever it now stands.
    for (int i = tabView->Size() - 1; i >= 1; --i)
        if (ui::TagText(tabView->GetAt(i)->Tag()) == sel) tabView->RemoveAt(i);
    if (document_window)
        if (auto* page = qobject_cast<DocumentPage*>(document_window->Content())) page->SearchRecords();
}

}  // namespace Tavrin
