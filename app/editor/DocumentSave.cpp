// Saving a document: the user's confirmation on the UI thread, then on a worker the first sync pass,
// numbering, the tax authority's report of an invoice, the store write and the second sync pass,
// while a dialog without buttons covers the page.
#include "app/editor/DocumentSave.h"

#include "app/App.h"
#include "core/Core.h"

#include <QEvent>
#include <QKeyEvent>

using json11::Json;

namespace Tavrin {

namespace {

// Eats what would close a dialog without buttons.
class KeepOpen : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close) {
            event->ignore();
            return true;
        }
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) return true;
        return QObject::eventFilter(watched, event);
    }
};

std::string text_of(const char* key) {
    return g_core ? g_core->translated(key, "") : std::string();
}

// Sends one result of the save to the UI thread; later ones are dropped.
bool answer(const DocumentPage::SaveContextPtr& context, std::function<void()> step) {
    if (context->answered.exchange(true)) return false;
    context->queue.TryEnqueue(ui::DispatcherQueuePriority::Normal, std::move(step));
    return true;
}

void post_error(const DocumentPage::SaveContextPtr& context, std::string message) {
    answer(context, [context, message] { DocumentPage::ShowSaveError(context, message); });
}

}  // namespace

void hold_dialog_open(ui::ContentDialog* dialog) {
    auto* keeper = new KeepOpen(dialog);
    keeper->setObjectName("keepOpen");
    dialog->installEventFilter(keeper);
}

void release_dialog(ui::ContentDialog* dialog) {
    if (auto* keeper = dialog->findChild<KeepOpen*>("keepOpen", Qt::FindDirectChildrenOnly)) {
        dialog->removeEventFilter(keeper);
        delete keeper;
    }
}

ui::Action DocumentPage::OnSaveClick(QObject* sender) {
    // A page that has not finished opening holds no document to save; a save under way is not started twice.
    if (!loaded || !g_core || sender != saveButton || save_in_flight) co_return;
    const Json client = Json(document)["clientRecordName"];
    if (client.is_null() || lines.empty()) co_return;
    save_in_flight = true;
    QPointer<DocumentPage> self(this);

    QPointer<ui::ContentDialog> confirm = new ui::ContentDialog(window());
    confirm->XamlRoot(window());
    confirm->Title(ui::qs(Json(document)["number_formatted"].string_value()));
    confirm->PrimaryButtonText(tr_key("save"));
    confirm->CloseButtonText(tr_key("cancel"));
    confirm->DefaultButton(ui::ContentDialogButton::Primary);
    confirm->Content(tr_key("save_confirm"));
    const ui::ContentDialogResult result = co_await confirm->ShowAsyncOrNone();
    if (confirm) confirm->deleteLater();
    if (!self) co_return;
    if (result != ui::ContentDialogResult::Primary || !g_core) {
        save_in_flight = false;
        co_return;
    }

    const Json doc(document);
    if (doc["type"].string_value() == "TASK" && doc["number_formatted"].string_value().empty())
        document["number_formatted"] = g_core->translated("TASK", "");

    auto context = std::make_shared<SaveContext>();
    context->page = this;
    context->window = DocumentWindow();
    context->main = qobject_cast<MainWindow*>(g_main_window.data());
    context->queue = ui::DispatcherQueue::GetForCurrentThread();
    context->account = g_core->current_account;
    context->is_new = !editing;
    // The worker has a copy of its own: the page may go on rendering meanwhile.
    context->document = document;
    context->lines = lines;

    ui::ContentDialog* saving = new ui::ContentDialog(window());
    saving->XamlRoot(window());
    saving->Title(ui::qs(Json(document)["number_formatted"].string_value()));
    saving->Content(tr_key("saving"));
    saving->DefaultButton(ui::ContentDialogButton::Primary);
    hold_dialog_open(saving);
    context->dialog = saving;
    saving->ShowAsync();

    ui::ThreadPool::RunAsync([context] { RunSave(context); });
}

void DocumentPage::RunSave(SaveContextPtr context) {
    // Whatever ends the worker early (an exception, the core gone), the dialog gets a way to close.
    struct Fallback {
        SaveContextPtr context;
        ~Fallback() { post_error(context, own_text("A dokumentum mentése nem sikerült.", "The document could not be saved.")); }
    } fallback{context};
    try {
        Core* core = g_core;
        if (!core) return;
        const std::string type = Json(context->document)["type"].string_value();
        if (context->is_new) context->formatted_before = core->next_number_formatted(type);
        // First pass: what the other installations saved comes in before anything is written.
        Json first;
        core->sync_start([&first](Json reply) { first = std::move(reply); });
        SaveDocumentAfterSync(context, first);
    } catch (const std::exception& error) {
        post_error(context, own_text("A dokumentum mentése nem sikerült.", "The document could not be saved.") +
                                std::string("\n") + error.what());
    }
}

void DocumentPage::SaveDocumentAfterSync(SaveContextPtr context, Json) {
    Core* core = g_core;
    if (!core) return;
    Json::object& document = context->document;
    std::string error;

    // A new document's number was fixed at the page's last refresh; what has come in since (this pass, or
    // an earlier one while the page was open) may hold that number already. An invoice's number cannot be
    // typed, so it always follows the store; another type's number text is kept when the user typed it.
    const std::string type = Json(document)["type"].string_value();
    if (context->is_new) {
        const int now = core->next_number(type);
        const bool typed = type != "INVOICE" && Json(document)["number_formatted"].string_value() != context->formatted_before;
        if (now != Json(document)["number"].int_value() && !typed) {
            document["number"] = now;
            document["number_formatted"] = core->next_number_formatted(type);
            const QString title = ui::qs(Json(document)["number_formatted"].string_value());
            context->queue.TryEnqueue(ui::DispatcherQueuePriority::Normal, [context, title] {
                if (context->dialog) context->dialog->Title(title);
            });
        }
    }

    if (context->account != "DEMO") {
        if (Json(document)["recordName"].string_value().rfind("ARCHIVE-", 0) == 0) {
            document["type"] = "ARCHIVE_INVOICE";
            document["number"] = 0;
        }
        if (Json(document)["type"].string_value() == "INVOICE") {
            const std::string reply = core->nav_send_invoice(context->lines, document);
            if (reply.size() >= 3 && reply.compare(0, 3, "ok^") == 0)
                document["nav_transaction_id"] = reply.substr(3);
            else
                error = "NAV adatszolgáltatás hiba!\n" + nav_error_text(reply);
        }
    }
    if (!error.empty()) {
        post_error(context, error);
        return;
    }

    context->recordName = core->save_document(context->lines, false, document);
    if (context->recordName.empty()) {
        post_error(context, own_text("A dokumentum mentése nem sikerült.", "The document could not be saved."));
        return;
    }
    document["recordName"] = context->recordName;

    // The accounting service books invoices; other documents are not sent to it.
    const Json accounting = core->setting("defaults")["accounting"];
    if (context->account != "DEMO" && Json(document)["type"].string_value() == "INVOICE" && accounting.is_string() &&
        accounting.string_value().size() > 16) {
        context->upload = ui::AsyncAction();
        const ui::AsyncAction upload = *context->upload;
        if (!context->queue.TryEnqueue(ui::DispatcherQueuePriority::Normal, [context] { UploadDocumentPdf(context); }))
            upload.Complete(ui::Unit{});
    }

    // Second pass: the new rows go up.
    Json second;
    core->sync_start([&second](Json reply) { second = std::move(reply); });
    answer(context, [context, second] { ShowSaveResult(context, second); });
}

void DocumentPage::ShowSaveError(SaveContextPtr context, std::string message) {
    if (DocumentPage* page = context->page) {
        // The page keeps what the flow did to the document; the user may save it again.
        page->document = context->document;
        page->save_in_flight = false;
    }
    ui::ContentDialog* dialog = context->dialog;
    if (!dialog) return;
    release_dialog(dialog);
    dialog->PrimaryButtonText(ui::qs(text_of("ok")));
    dialog->Content(ui::qs(message));
    dialog->Closed.Add(dialog, [](ui::ContentDialog* sender, ui::ContentDialogClosedEventArgs) { sender->deleteLater(); });
}

}  // namespace Tavrin
