// The save's result: the saving dialog tells whether the document reached the cloud and offers to
// mark an invoice paid; closing it shows the saved document in the main window and ends the editor.
#include "app/editor/DocumentSave.h"

#include "core/Core.h"
#include "core/store/store_internal.h"
#include "app/App.h"
#include "app/ReportSnapshot.h"

#include <algorithm>

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

// Says so when the save took another number than the page showed, and who took the shown one: an
// invoice of this installation whose report was waiting for the authority's answer and has been
// stored since, another invoice the authority holds under it (sent by other software), or otherwise
// another computer of the company.
std::string renumbered_text(Core& core, const DocumentPage::SaveContext& context) {
    const Json document(context.document);
    const std::string stored = document["number_formatted"].string_value();
    if (context.shown_number.empty() || stored == context.shown_number) return "";
    const auto holders = store::rows(core,
                                     "SELECT recordName FROM documents WHERE type = ? AND number_formatted = ? "
                                     "AND recordName <> ?",
                                     {document["type"], Json(context.shown_number), Json(context.recordName)});
    // This installation's own invoice, settled here (an entry of an earlier version is always its own).
    const Json settled = core.setting(store::kSettledReportsRow);
    bool settled_here = false;
    for (const auto& holder : holders)
        for (const Json& entry : settled.array_items())
            settled_here = settled_here || (entry["recordName"] == Json(holder)["recordName"] &&
                                            (entry["own"].is_null() || entry["own"].bool_value()));
    bool taken_at_authority = false;
    for (const Json& taken : core.nav_taken_numbers())
        taken_at_authority = taken_at_authority || (taken["type"] == document["type"] &&
                                                    taken["number_formatted"] == Json(context.shown_number));

    std::string why = own_text(" számot közben egy másik gépen kiállították.", " was issued on another computer meanwhile.");
    if (settled_here)
        why = own_text(" számot a korábban beküldött számla kapta, amelyet a NAV azóta befogadott.",
                       " went to the invoice sent earlier, which the tax authority (NAV) has accepted since.");
    else if (holders.empty() && taken_at_authority)
        why = own_text(" számon a NAV-nál már egy másik számla szerepel.",
                       " is held at the tax authority (NAV) by another invoice.");
    return own_text("A dokumentum a(z) ", "Saved as ") + stored + own_text(" számon lett elmentve, mert a(z) ", ": ") +
           context.shown_number + why;
}

// A document kept here because the cloud answered but its changes could not be taken in this pass.
std::string changes_not_in_hand_text(const Core::SyncOutcome& outcome) {
    const std::string text =
        own_text("A dokumentum el van mentve ezen a számítógépen, de még nem került fel a felhőbe: ",
                 "The document is saved on this computer but not yet in the cloud: ");
    if (outcome.changes == Core::ChangeDownload::Result::not_applied)
        return text + own_text("a felhő válaszol, de a cég többi gépének onnan letöltött változásait ez a számítógép "
                               "nem tudta elmenteni (az adatbázist egy másik program tartja zárolva, vagy megtelt a "
                               "lemez). Zárja be a program többi ablakát, vagy szabadítson fel helyet a lemezen; a "
                               "következő szinkronizáláskor felkerül.",
                               "the cloud answers, but this computer could not store the changes of the company's "
                               "other computers downloaded from it (another program holds the database locked, or "
                               "the disk is full). Close the program's other windows or free space on the disk; it "
                               "goes up at the next sync.");
    const std::string& code = outcome.refusal_code;
    return text +
           own_text("a felhő válaszol, de nem adja ki a cég többi gépének változásait. ",
                    "the cloud answers but does not give the changes of the company's other computers. ") +
           (code == "AUTHENTICATION_REQUIRED"
                ? own_text("A felhőbe való bejelentkezés lejárt: jelentkezzen be újra (Beállítások).",
                           "The cloud sign-in has expired: sign in again (settings).")
                : own_text("A program magától újra próbálja; ha a hiba megmarad, frissítse a programot ezen a gépen.",
                           "The program tries again by itself; if the error stays, update the program on this "
                           "computer.")) +
           (code.empty() ? std::string() : "\n(" + code + ")");
}

}  // namespace

ui::Action complete_when(ui::AsyncAction from, ui::AsyncAction to) {
    try {
        co_await from;
    } catch (...) {
    }
    to.Complete(ui::Unit{});
}

ui::Action DocumentPage::ShowSaveResult(SaveContextPtr context, Core::SyncOutcome outcome) {
    // The PDF is printed from the page's preview: the window stays until the upload has ended.
    if (context->upload && !context->upload->IsDone()) {
        ui::AsyncAction ready;
        complete_when(*context->upload, ready);
        complete_when(ui::Delay(kUploadLimitMs), ready);
        co_await ready;
    }
    Core* core = g_core;
    if (!core) co_return;
    if (context->close_asked) {
        // The program was closed meanwhile: the editor ends as after an OK, and the close goes on.
        if (DocumentPage* page = context->page) page->document = context->document;
        MarkDocumentPaid(context, false);
        co_return;
    }
    const std::string renumbered = renumbered_text(*core, *context);
    if (DocumentPage* page = context->page) {
        page->document = context->document;
        // The page and its preview show the number the document was stored with.
        if (!renumbered.empty() && page->numberTextBox)
            page->numberTextBox->Text(ui::qs(Json(page->document)["number_formatted"].string_value()));
    }
    if (context->main) {
        context->main->RefreshList(std::string());
        context->main->ShowReportNotice();
    }

    std::string text;
    if (context->account == "DEMO")
        text = core->translated("saving_successful_demo", "");
    else if (uploaded(*core, context->recordName))
        text = core->translated("saving_successful", "");
    else if (outcome.changes == Core::ChangeDownload::Result::refused ||
             outcome.changes == Core::ChangeDownload::Result::not_applied)
        text = changes_not_in_hand_text(outcome);
    else if (!outcome.last_reply.is_object())
        // No answer at all: the cloud could not be reached; nothing is wrong with the sign-in.
        text = own_text("A dokumentum el van mentve ezen a számítógépen; a felhőbe akkor kerül fel, amikor a felhő "
                        "elérhető lesz.",
                        "The document is saved on this computer; it will be synced when the cloud can be reached.");
    else
        text = core->translated("saving_successful_offline", "");
    if (!renumbered.empty()) text = renumbered + "\n" + text;
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
    if (paid && store::mark_paid(*core, context->recordName, 1)) {
        // The mark goes up with a pass of its own.
        ui::ThreadPool::RunAsync([] {
            if (Core* c = g_core) c->sync_start(empty_completion());
        });
    }

    const Json document(context->document);
    const Json lines(context->lines);
    MainWindow* main = context->main;
    const std::string printed_page = core->document_html(1, document, lines, "0,0");
    if (main && main->print_view) {
        main->print_view->Tag(ui::qs(context->recordName));
        main->print_view->NavigateToString(ui::qs(printed_page));
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
        main->WatchDocumentTab(tab, printed_page);
        main->RefreshList(std::string());
    }
    // Uploads owed from earlier saves go now, after this one's own.
    if (main && context->account != "DEMO") RetryAccountingUploads(QPointer<QWidget>(main));
    if (context->close_asked) close_program_later(context);
}

void DocumentPage::HoldReport(const std::string& request_id) {
    if (!request_id.empty() && std::find(held_reports_.begin(), held_reports_.end(), request_id) == held_reports_.end())
        held_reports_.push_back(request_id);
    pending_request_id = request_id;
}

void DocumentPage::ShowKeptDraft(const KeptDraft& kept) {
    if (std::find(held_reports_.begin(), held_reports_.end(), kept.request_id) == held_reports_.end())
        held_reports_.push_back(kept.request_id);
    document["kept_draft"] = kept.draft;
}

void DocumentPage::LearnReportOutcome(const ReportSnapshot& snapshot) {
    if (!g_core || save_in_flight || pending_request_id.empty() || snapshot.page_request_id != pending_request_id) return;
    // The save's dialog saying the report waits is told the outcome in its place; with another dialog
    // open the page is busy with the user: it learns at the next turn.
    ui::ContentDialog* open = ui::ContentDialog::Current();
    ui::ContentDialog* waiting = open && open == report_dialog ? open : nullptr;
    if (open && !waiting) return;
    if (snapshot.pending && snapshot.pending->request_id == pending_request_id) return;
    const NavSettled& settled = snapshot.page_outcome;
    if (settled.result == NavSettled::Result::stored) {
        // The save finds it stored, and ends as a save does.
        if (waiting) waiting->Hide();
        StartSave();
        return;
    }
    if (settled.result == NavSettled::Result::none || settled.result == NavSettled::Result::waiting) return;
    // The number it was reported under, as the page holds it since.
    KeptDraft ended;
    ended.number = Json(document)["number_formatted"].string_value();
    ended.outcome = settled.result;
    ended.message = settled.message;
    const std::optional<KeptDraft>& kept = snapshot.page_kept;
    if (kept) ShowKeptDraft(*kept);
    // The page shows the invoice still: its next save reports it anew.
    HoldReport(std::string());
    pending_snapshot.clear();
    pending_shown_number.clear();
    const std::string kept_here =
        kept ? own_text(" A beírt adatok megmaradtak ezen az oldalon és a(z) ",
                        " What you entered is kept on this page and in draft ") +
                   kept->draft_number +
                   own_text(" piszkozatban (Piszkozatok): mentse újra itt, és a számla abból készül el, újra beküldve.",
                            " (Drafts): save it again here, and the invoice is issued from it, reported anew.")
             : own_text(" A beírt adatok megmaradtak ezen az oldalon: mentse újra, és a számla újra beküldésre kerül.",
                        " What you entered is kept on this page: save it again, and the invoice is reported anew.");
    const QString told = ui::qs(unstored_invoice_text(ended) + kept_here);
    report_dialog = nullptr;
    if (waiting) {
        waiting->Title(ui::qs(ended.number));
        waiting->Content(told);
        return;
    }
    auto* dialog = new ui::ContentDialog(window());
    dialog->XamlRoot(window());
    dialog->Title(ui::qs(ended.number));
    dialog->Content(told);
    dialog->PrimaryButtonText(tr_key("ok"));
    dialog->Closed.Add(dialog, [](ui::ContentDialog* sender, ui::ContentDialogClosedEventArgs) { sender->deleteLater(); });
    dialog->ShowAsync();
}

DocumentPage::DiscardFacts DocumentPage::ReadDiscardFacts(Core& core, const Json& document,
                                                         const std::string& request_id, bool editing) {
    DiscardFacts facts;
    // The page's invoice is with the authority when its report waits for the answer, or was stored
    // since (by a later save, or by the background query), or when a reported invoice is edited.
    const std::optional<NavReportRecord> pending = core.nav_pending_record();
    facts.waiting = !request_id.empty() && pending && pending->request_id == request_id;
    facts.stored = core.nav_settled_record(request_id);
    if (facts.stored.empty() && editing && !document["nav_transaction_id"].string_value().empty())
        facts.stored = document["recordName"].string_value();
    if (facts.waiting) facts.number = pending->number;
    if (!facts.stored.empty()) {
        const auto rows =
            store::rows(core, "SELECT number_formatted FROM documents WHERE recordName = ?", {Json(facts.stored)});
        if (!rows.empty()) facts.number = Json(rows.front())["number_formatted"].string_value();
    }
    return facts;
}

DocumentPage::DiscardQuestion DocumentPage::DiscardQuestionText(const DiscardFacts& facts) const {
    DiscardQuestion question{tr_key("discard"), tr_key("discard_text"), tr_key("discard")};
    if (!facts.waiting && facts.stored.empty()) return question;
    const std::string number = facts.number.empty() ? Json(document)["number_formatted"].string_value() : facts.number;
    const bool stored = !facts.stored.empty();
    const std::string withdraw =
        own_text(" Az ablak bezárása ezt nem vonja vissza: kiállított számlát sztornó számlával lehet érvényteleníteni.",
                 " Closing this window does not withdraw it: an issued invoice is cancelled with a storno invoice.");
    if (!stored) {
        question.title = ui::qs(own_text("Beküldött számla", "Invoice sent"));
        question.text = ui::qs(own_text("A(z) ", "Invoice ") + number +
                               own_text(" számú számlát elküldtük a NAV-nak, és a válaszára vár. Ha a NAV befogadja, a "
                                        "számla ki van állítva, és a program úgy menti el, ahogy elküldtük. Ha kiderül, "
                                        "hogy nem érkezett meg, vagy a NAV nem fogadja be, a beírt számla "
                                        "piszkozatként megmarad (Piszkozatok), és onnan újra kiállítható.",
                                        " was sent to the tax authority (NAV) and waits for its answer. If the authority "
                                        "accepts it, the invoice is issued, and the program stores it as it was sent. If "
                                        "it turns out it never arrived, or the authority does not accept it, the invoice "
                                        "you entered is kept as a draft (Drafts), from which it can be issued again.") +
                               withdraw);
    } else {
        question.title = ui::qs(own_text("Kiállított számla", "Issued invoice"));
        question.text = ui::qs(own_text("A(z) ", "The tax authority (NAV) has accepted invoice ") + number +
                               own_text(" számú számlát a NAV befogadta: a számla ki van állítva, és el van mentve; az "
                                        "oldalon azóta tett módosítások nem kerülnek bele.",
                                        ": the invoice is issued and stored; changes made on this page since are not "
                                        "kept.") +
                               withdraw);
    }
    question.close_button = ui::qs(own_text("Bezárás", "Close"));
    return question;
}

}  // namespace Tavrin
