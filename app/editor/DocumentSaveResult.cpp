// The save's result: the saving dialog tells whether the document reached the cloud and offers to
// mark an invoice paid; closing it shows the saved document in the main window and ends the editor.
#include "app/editor/DocumentSave.h"

#include "core/Core.h"
#include "core/store/store_internal.h"
#include "app/App.h"

using json11::Json;

namespace Tavrin {

namespace {

// The result waits this long at most for the PDF and its upload: the dialog always gets its buttons.
constexpr int kUploadLimitMs = 180000;

// The stored row went up with the pass: only then is the document in the cloud.
bool uploaded(Core& core, const std::string& record_name) {
    const auto rows = store::rows(core, "SELECT synced FROM documents WHERE recordName = ?", {Json(record_name)});
    return !rows.empty() && Json(rows.front())["synced"].int_value() != 0;
}

}  // namespace

ui::Action complete_when(ui::AsyncAction from, ui::AsyncAction to) {
    try {
        co_await from;
    } catch (...) {
    }
    to.Complete(ui::Unit{});
}

ui::Action DocumentPage::ShowSaveResult(SaveContextPtr context, Json reply) {
    // The PDF is printed from the page's preview: the window stays until the upload has ended.
    if (context->upload && !context->upload->IsDone()) {
        ui::AsyncAction ready;
        complete_when(*context->upload, ready);
        complete_when(ui::Delay(kUploadLimitMs), ready);
        co_await ready;
    }
    Core* core = g_core;
    if (!core) co_return;
    if (DocumentPage* page = context->page) page->document = context->document;
    if (context->main) context->main->RefreshList(std::string());

    std::string text;
    if (context->account == "DEMO")
        text = core->translated("saving_successful_demo", "");
    else if (uploaded(*core, context->recordName))
        text = core->translated("saving_successful", "");
    else if (!reply.is_object())
        // No answer at all: the cloud could not be reached; nothing is wrong with the sign-in.
        text = own_text("A dokumentum el van mentve ezen a számítógépen; a felhőbe akkor kerül fel, amikor a felhő "
                        "elérhető lesz.",
                        "The document is saved on this computer; it will be synced when the cloud can be reached.");
    else
        text = core->translated("saving_successful_offline", "");
    if (context->edits_dropped)
        text += own_text("\nA számla úgy lett elmentve, ahogy a NAV-nak elküldtük; az azóta tett módosítások nem "
                         "kerültek bele.",
                         "\nThe invoice was stored as it was sent to the tax authority; the changes made since were "
                         "not kept.");

    ui::ContentDialog* dialog = context->dialog;
    if (!dialog || !dialog->isVisible()) {
        // No dialog to answer: the editor ends as after an OK.
        MarkDocumentPaid(context, false);
        co_return;
    }
    release_dialog(dialog);
    dialog->Content(ui::qs(text));
    dialog->PrimaryButtonText(ui::qs(core->translated("ok", "")));
    if (Json(context->document)["type"].string_value() == "INVOICE")
        dialog->SecondaryButtonText(ui::qs(core->translated("paid", "")));
    dialog->Closed.Add(dialog, [context](ui::ContentDialog* sender, ui::ContentDialogClosedEventArgs args) {
        sender->deleteLater();
        MarkDocumentPaid(context, args.Result() == ui::ContentDialogResult::Secondary);
    });
}

void DocumentPage::MarkDocumentPaid(SaveContextPtr context, bool paid) {
    Core* core = g_core;
    if (!core) return;
    if (paid && store::run(*core, "UPDATE documents SET synced = 0, paid = 1 WHERE recordName = ? AND paid IS NOT 1",
                           {Json(context->recordName)})) {
        // The mark goes up with a pass of its own.
        ui::ThreadPool::RunAsync([] {
            if (Core* c = g_core) c->sync_start(empty_completion());
        });
    }

    const Json document(context->document);
    const Json lines(context->lines);
    MainWindow* main = context->main;
    if (main && main->print_view) {
        main->print_view->Tag(ui::qs(context->recordName));
        main->print_view->NavigateToString(ui::qs(core->document_html(1, document, lines, "0,0")));
    }
    if (DocumentPage* page = context->page) {
        page->lines.clear();
        page->save_in_flight = false;
    }
    // Only the page's own window: another document may have its own window by now.
    if (ui::Window* window = context->window) window->Close();
    if (main) {
        auto* tab = new ui::TabViewItem;
        tab->Tag(ui::qs(context->recordName));
        tab->Header(ui::qs(document["number_formatted"].string_value()));
        tab->Content(new ui::WebView2);
        main->tabView->Append(tab);
        main->tabView->SelectedItem(tab);
        main->RefreshList(std::string());
    }
    // Uploads owed from earlier saves go now, after this one's own.
    if (main && context->account != "DEMO") RetryAccountingUploads(QPointer<QWidget>(main));
}

}  // namespace Tavrin
