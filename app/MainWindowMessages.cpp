// The messages the list pages post: opening records, paging, sorting and the rest; and the main
// window's own message of documents that took a new number.
#include "app/App.h"
#include "app/MainWindow.h"
#include "app/ReportSnapshot.h"

#include "core/Core.h"
#include "core/store/store_internal.h"

#include <optional>
#include <utility>

using json11::Json;

namespace Tavrin {

namespace {

// A member of a web message as text: nullopt when it is missing or not a string.
std::optional<std::string> message_text(const Json& message, const char* key) {
    const Json& value = message[key];
    if (!value.is_string()) return std::nullopt;
    return value.string_value();
}

}  // namespace

ui::Action MainWindow::OnListMessage(ui::WebView2* sender, ui::WebMessageReceivedEventArgs args) {
    if (!g_core) co_return;
    std::string error;
    const Json message = Json::parse(ui::utf8(args.WebMessageAsJson()), error);
    // A page may post anything: a message whose members are missing or not texts is dropped.
    if (!message.is_object()) co_return;
    const std::optional<std::string> action = message_text(message, "action");
    // The list view's word that it has drawn the page written into it.
    if (sender == listWebView && action == "listDrawn" && message["refresh"].is_number()) {
        OnListDrawn(static_cast<std::uint64_t>(message["refresh"].number_value()));
        co_return;
    }
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

    const bool master = type == "client" || type == "item";
    // A document's tab follows its record: the row opens the tab of its own record.
    if (!master) {
        ShowDocumentTab(*record_name);
        co_return;
    }
    for (int index = 1; index < tabView->Size(); ++index) {
        if (ui::TagText(tabView->GetAt(index)->Tag()) == *record_name) {
            tabView->SelectedItem(tabView->GetAt(index));
            co_return;
        }
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

void MainWindow::ShowRenumberedDocuments() {
    // One dialog at a time: with another open, the list waits for the next time.
    if (!g_core || ui::ContentDialog::Current() || untold_renumbered_.empty()) return;
    const Json renumbered = std::exchange(untold_renumbered_, {});
    std::string text = own_text("Egy másik gépen ugyanilyen típusú és számú dokumentum készült, ezért az ezen a gépen "
                                "készült dokumentum a következő szabad számot kapta:",
                                "A document of the same type and number was made on another computer, so the one made "
                                "on this computer took the next free number:");
    for (const Json& entry : renumbered.array_items())
        text += "\n\u2022 " + g_core->translated(entry["type"].string_value(), "") + " " + entry["old"].string_value() +
                " \u2192 " + entry["new"].string_value();
    ShowMessage(ui::qs(own_text("Új dokumentumszám", "New document number")), ui::qs(text));
}

std::string unstored_invoice_text(const KeptDraft& ended) {
    const std::string& number = ended.number;
    switch (ended.outcome) {
    case NavSettled::Result::refused:
        return own_text("A NAV visszautasította a(z) ", "The tax authority (NAV) refused invoice ") + number +
               own_text(" számú számlát (", " (") + nav_error_text(ended.message) +
               own_text("), ezért az nincs sem beküldve, sem elmentve.", "), so it is neither reported nor stored.");
    case NavSettled::Result::taken:
        return own_text("A NAV-nál a(z) ", "The tax authority (NAV) holds another invoice under number ") + number +
               own_text(" sorszámon már egy másik számla szerepel, ezért ez a számla nincs sem beküldve, sem elmentve.",
                        ", so this invoice is neither reported nor stored.");
    case NavSettled::Result::unknown:
        return own_text("A(z) ", "Invoice ") + number +
               own_text(" számú számla bejelentése lezárult, de hogy hogyan, azt a program ezen változata nem tudja "
                        "megmondani (egy újabb változat zárta le). Nézze meg a számlák listájában.",
                        "'s report was settled, but how it ended cannot be told by this version of the program (a "
                        "newer version settled it). Look for it in the list of invoices.");
    default:
        break;
    }
    return own_text("A(z) ", "Invoice ") + number +
           own_text(" számú számla nem érkezett meg a NAV-hoz, ezért nincs sem beküldve, sem elmentve.",
                    " never reached the tax authority (NAV), so it is neither reported nor stored.");
}

std::string draft_used_text(const DraftKeeping& used) {
    return own_text("Ebből a piszkozatból már kiállították a(z) ", "Invoice ") + used.number +
           own_text(" számú számlát, ezért újabb számla nem készül belőle. Ha mégis kell egy, készítsen róla másolatot.",
                    " was issued from this draft already, so no other invoice is made of it. Should you need one, "
                    "make a copy of it.");
}

void MainWindow::ShowKeptDrafts() {
    // One dialog at a time: with another open, the drafts wait for the next time.
    if (!g_core || ui::ContentDialog::Current() || untold_drafts_.empty()) return;
    const std::vector<KeptDraft> kept = std::exchange(untold_drafts_, {});
    std::string text;
    for (const KeptDraft& entry : kept)
        text += (text.empty() ? "" : "\n\n") + unstored_invoice_text(entry) +
                own_text(" Amit beírt (vevő, tételek, dátumok, megjegyzések), az megmaradt a(z) ",
                         " What you entered (client, lines, dates, notes) is kept in draft ") +
                entry.draft_number +
                own_text(" piszkozatban (Piszkozatok): nyissa meg, és a Műveletek menü „Számla készítése” parancsával "
                         "kiállíthatja a számlát.",
                         " (Drafts): open it, and issue the invoice with \"Create Invoice\" in the commands menu.");
    ShowMessage(ui::qs(own_text("Piszkozatként megőrzött számla", "Invoice kept as a draft")), ui::qs(text));
    // The drafts are documents like any: the list shows them (made off the UI thread, as this follows
    // background work), and the next pass takes them up.
    RefreshListOffThread();
    StartWork(Work::sync);
}

void MainWindow::ShowReportNotice() {
    ReadReportSnapshot(false);
}

namespace {

std::string own_report_notice(Core& core, const NavReportRecord& pending) {
    return own_text("A(z) ", "Invoice ") + pending.number + own_text(" számú számla ", " has been waiting for the tax authority's (NAV) answer since ") +
           moment_text(core, pending.written) +
           own_text(" óta a NAV válaszára vár: még nem dőlt el, hogy befogadta-e. Amíg ez ki nem derül, új számla nem "
                    "küldhető be; a program futás közben ",
                    ": whether it was accepted is not known yet. Until it is, no new invoice can be reported; while "
                    "it runs, the program asks the authority again by itself every ") +
           std::to_string(MainWindow::kReportPaceMs / 1000) +
           own_text(" másodpercenként magától újra megkérdezi a NAV-ot.", " seconds.");
}

// Another installation's report: which invoice, since when, and until when this one waits for it at the latest.
std::string elsewhere_report_notice(Core& core, const NavSettled& held) {
    if (held.reason == NavSettled::Reason::judged_elsewhere)
        return own_text("A(z) ", "Invoice ") + held.number +
               own_text(" számú számla bejelentéséről a cég egy másik gépe már döntött, és most őrzi meg a számlát "
                        "piszkozatként. Amíg ezzel nem végez, ezen a gépen sem küldhető be új számla (más dokumentumok "
                        "menthetők); ha ",
                        ": another computer of the company has settled its report and is keeping the invoice as a "
                        "draft now. Until it is done, no new invoice can be reported from this computer either "
                        "(other documents can be saved); if it has not finished by ") +
               moment_text(core, held.deadline) +
               own_text(" után sem végzett, ez a gép fejezi be.", ", this computer finishes it.");
    std::string text = own_text("A cég egy másik gépe ", "Another computer of the company has been reporting invoice ") +
                       held.number +
                       own_text(" számú számlát küldött be a NAV-nak, és ", " to the tax authority (NAV) since ") +
                       moment_text(core, held.written) +
                       own_text(" óta a NAV válaszára vár. Amíg ez ki nem derül, ezen a gépen sem küldhető be új számla "
                                "(más dokumentumok menthetők)",
                                " and waits for its answer. Until it is known, no new invoice can be reported from this "
                                "computer either (other documents can be saved)");
    if (held.deadline > held.written)
        text += own_text("; legkésőbb ", "; from ") + moment_text(core, held.deadline) +
                own_text(" után ez a gép maga dönti el a NAV nyilvántartásából, mi lett vele.",
                         " at the latest, this computer settles it from the authority's records.");
    else
        text += ".";
    return text;
}

}  // namespace

ReportSnapshot read_report_snapshot(Core& core, const ReportSnapshotRequest& request) {
    ReportSnapshot snapshot;
    snapshot.account = request.account;
    const bool demo = request.account == "DEMO";
    if (!demo) snapshot.pending = core.nav_pending_record();
    snapshot.elsewhere = request.read_shared && !demo ? core.nav_report_held_elsewhere() : request.elsewhere_known;
    const bool held_elsewhere = snapshot.elsewhere.result == NavSettled::Result::waiting && snapshot.elsewhere.elsewhere;
    // Another installation's verdict on this installation's own report is told as that installation's work.
    if (snapshot.pending && !(held_elsewhere && snapshot.elsewhere.reason == NavSettled::Reason::judged_elsewhere))
        snapshot.notice = own_report_notice(core, *snapshot.pending);
    else if (held_elsewhere)
        snapshot.notice = elsewhere_report_notice(core, snapshot.elsewhere);
    snapshot.page_request_id = request.page_request_id;
    snapshot.page_outcome = core.nav_settled_outcome(request.page_request_id);
    snapshot.page_kept = core.nav_kept_draft(request.page_request_id);
    if (request.take_notices) {
        snapshot.kept_drafts = core.take_kept_drafts();
        snapshot.renumbered = core.take_renumbered_documents();
        snapshot.set_aside = core.take_set_aside_records();
        snapshot.sync_notices = core.take_sync_notices();
    }
    return snapshot;
}

void MainWindow::ShowSetAsideRecords() {
    // One dialog at a time: with another open, the records wait for the next time.
    if (!g_core || ui::ContentDialog::Current() || untold_set_aside_.empty()) return;
    const Json set_aside = std::exchange(untold_set_aside_, {});
    const std::string text =
        own_text("A felhőből letöltött változások közül ", "Of the changes downloaded from the cloud, ") +
        std::to_string(set_aside.array_items().size()) +
        own_text(" bejegyzést ez a gép nem tud beolvasni (talán a program egy újabb változata vagy egy másik program "
                 "írta), ezért kimaradt; a többi változás rendben megérkezett. A kimaradt bejegyzések a felhőben és az "
                 "őket író gépen megmaradnak, de ez a gép magától nem tölti le őket újra, a program frissítése után "
                 "sem. Ha ezen a gépen is szüksége van rájuk, frissítse itt a programot, majd azon a gépen, ahol "
                 "készültek, mentse el őket újra.",
                 " record(s) cannot be read on this computer (perhaps a newer version of the program or another "
                 "program wrote them) and were left out; the other changes arrived. The records left out stay in the "
                 "cloud and on the computer that wrote them, but this computer does not download them again by "
                 "itself, not even after an update. If you need them here too, update the program on this computer, "
                 "then save them again on the computer where they were made.");
    ShowMessage(ui::qs(own_text("Kimaradt bejegyzések", "Records left out")), ui::qs(text));
}

namespace {

std::string sync_notices_text(const Core::SyncNotices& notices) {
    std::string text;
    auto add = [&text](const std::string& paragraph) { text += (text.empty() ? "" : "\n\n") + paragraph; };
    if (notices.zone_made_anew)
        add(own_text("A cég felhőbeli példányát törölték vagy újra létrehozták: ennek a gépnek a dokumentumai, "
                     "ügyfelei, termékei és beállításai újra felkerültek a felhőbe, semmi sem veszett el.",
                     "The company's copy in the cloud was deleted or made anew: this computer's documents, clients, "
                     "items and settings went up to it again, and nothing was lost."));
    if (notices.removed > 0)
        add(std::to_string(notices.removed) +
            own_text(" bejegyzést (dokumentum, ügyfél vagy termék) egy másik gépen töröltek, ezért ezen a gépen is "
                     "törlődött.",
                     " record(s) (documents, clients or items) were deleted on another computer, so they were "
                     "deleted on this computer too."));
    for (const std::string& number : notices.overtaken)
        add(own_text("A(z) ", "Document ") + number +
            own_text(" számú dokumentum nem törlődött, mert egy másik gépen közben módosították.",
                     " was not deleted, because it was changed on another computer meanwhile."));
    for (const std::string& number : notices.kept_unconfirmed)
        add(own_text("Lehet, hogy a(z) ", "Document ") + number +
            own_text(" számú dokumentumot egy másik gépen törölték: ez a gép nem tudta meg, hogy a feltöltése "
                     "megérkezett-e a felhőbe, és közben egy másik gép törölte a felhőben a számán álló "
                     "dokumentumot. Ez a gép megtartotta és újra feltöltötte; ha a törlés neki szólt, törölje újra.",
                     " may have been deleted on another computer: this computer never learnt whether its upload had "
                     "reached the cloud, and meanwhile another computer deleted the document that stood under its "
                     "number there. This computer kept it and sent it up again; if the deletion was meant for it, "
                     "delete it again."));
    return text;
}

}  // namespace

void MainWindow::ShowSyncNotices() {
    // One dialog at a time: with another open, the notices wait for the next time.
    if (!g_core || ui::ContentDialog::Current()) return;
    const Core::SyncNotices notices = std::exchange(untold_sync_, {});
    const std::string text = sync_notices_text(notices);
    if (text.empty()) return;
    ShowMessage(ui::qs(own_text("Változások a felhőben", "Changes in the cloud")), ui::qs(text));
}

void MainWindow::ShowMessage(const QString& title, const QString& text) {
    auto* message = new ui::ContentDialog(this);
    message->XamlRoot(this);
    message->Title(title);
    message->PrimaryButtonText(tr_key("ok"));
    message->DefaultButton(ui::ContentDialogButton::Primary);
    message->Content(text);
    QPointer<ui::ContentDialog> held(message);
    message->Closed.Add(message, [held](ui::ContentDialog*, ui::ContentDialogClosedEventArgs) {
        if (held) held->deleteLater();
    });
    try {
        message->ShowAsync();
    } catch (...) {
        message->deleteLater();
    }
}

}  // namespace Tavrin
