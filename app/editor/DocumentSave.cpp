// Saving a document: the user's confirmation on the UI thread, then on a worker the first sync pass,
// numbering, the tax authority's report of an invoice, the store write and the second sync pass,
// while a dialog without buttons covers the page.
#include "app/editor/DocumentSave.h"

#include "app/App.h"
#include "app/editor/RecordForm.h"
#include "core/Core.h"
#include "core/store/store_internal.h"

#include <cmath>

#include <QEvent>
#include <QKeyEvent>
#include <QTimer>

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

const char* const kNavError = "NAV adatszolgáltatás hiba!\n";

// Why the document cannot be saved (or reported) as it stands, checked before anything is sent;
// empty when nothing is missing.
std::string missing_for_save(Core& core, const Json& document, const std::vector<Json>& lines, const std::string& account) {
    std::vector<std::string> missing;
    const Json client = document["clientRecordName"];
    if (client.is_null()) missing.push_back(own_text("a vevő", "a client"));
    if (lines.empty()) missing.push_back(own_text("legalább egy tétel", "at least one line"));

    const std::string currency = document["currency_code"].string_value();
    const std::string home = core.setting("currencies")[0]["code"].string_value();
    double rate_value = 1.0;
    if (!currency.empty() && !home.empty() && currency != home) {
        const Json rate = document["exchange_rate"];
        const double value = rate.number_value();
        if (!rate.is_number() || !std::isfinite(value) || value <= 0)
            missing.push_back(own_text("a(z) ", "the ") + currency +
                              own_text(" árfolyama (írja be, vagy kérje le az árfolyam gombbal)",
                                       " exchange rate (enter it, or fetch it with the rate button)"));
        else
            rate_value = value;
    }

    // The sample account of a new account's transfer method, printed on an invoice, would send the
    // client's payment nowhere. The document takes the method's account at each refresh.
    const bool archived = document["recordName"].string_value().rfind("ARCHIVE-", 0) == 0;
    if (document["type"].string_value() == "INVOICE" && !archived &&
        document["payment_bank"].string_value() == store::kSampleBankAccount)
        missing.push_back(own_text("a bankszámlaszám: a(z) „", "the bank account: payment method \"") +
                          document["payment_name"].string_value() +
                          own_text("” fizetési módnál még a minta számlaszám áll (",
                                   "\" still gives the sample account (") +
                          store::kSampleBankAccount +
                          own_text("). Írja be a sajátját: Beállítások, Fizetési módok; utána válassza ki újra a "
                                   "fizetési módot a dokumentumon.",
                                   "). Enter your own: settings, payments; then choose the payment method on the "
                                   "document again."));

    // Lines that came in other than through the line dialog (a drag, an order, a rate typed later) are
    // held to the same limits: no amount the invoice data cannot carry is stored.
    std::vector<std::string> too_large;
    const Json::array taxes = core.setting("taxes").array_items();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Core::LineLimit limit = Core::line_limit(lines[i], taxes, rate_value);
        if (limit != Core::LineLimit::Fits)
            too_large.push_back(std::to_string(i + 1) + own_text(". tétel: ", ". line: ") +
                                ui::utf8(record_form::limit_message(limit)));
    }
    // Lines that each fit can still add up to totals that do not.
    if (too_large.empty())
        for (const Core::TotalLimit& total : Core::totals_limit(core.tax_summary(Json(lines), taxes), rate_value))
            too_large.push_back(record_form::total_limit_text(total));

    // Only an invoice that goes to the tax authority needs the company's data and credentials.
    const bool reported = account != "DEMO" && document["type"].string_value() == "INVOICE" &&
                          document["recordName"].string_value().rfind("ARCHIVE-", 0) != 0;
    if (reported) {
        // The company's data as the document took it when it was opened: that is what is reported.
        const Json supplier = Json::object{{"identifier_number", document["supplier_identifier_number"]},
                                           {"postcode", document["supplier_postcode"]},
                                           {"city", document["supplier_city"]},
                                           {"street", document["supplier_street"]}};
        // A client who pays VAT is reported by tax number: one without is told as missing, not wrong.
        const std::string client_status = document["client_status"].string_value();
        const bool by_tax_number = client_status == "DOMESTIC" || client_status == "VENDOR" ||
                                   client_status == "COMMUNITY" || client_status == "THIRD_STATE";
        if (by_tax_number && !client.is_null() &&
            normalize_whitespace(document["client_identifier_number"].string_value()).empty())
            missing.push_back(own_text("a vevő adószáma (a partner adatainál)", "the client's tax number (in the client's data)"));
        const Json credentials = core.setting("supplier");
        if (supplier["identifier_number"].string_value().size() < 8)
            missing.push_back(own_text("a cég adószáma (Beállítások, cégadatok)",
                                       "the company's tax number (settings, company data)"));
        if (supplier["postcode"].string_value().empty() || supplier["city"].string_value().empty() ||
            supplier["street"].string_value().empty())
            missing.push_back(own_text("a cég címe: irányítószám, város, utca (Beállítások, cégadatok)",
                                       "the company's address: postcode, city, street (settings, company data)"));
        for (const char* key : nav_credential_names) {
            if (credentials[key].string_value().empty()) {
                missing.push_back(own_text("a NAV technikai felhasználó adatai: felhasználónév, jelszó, XML aláírókulcs "
                                           "és XML cserekulcs (Beállítások, NAV)",
                                           "the tax authority's credentials: user name, password, XML signing key "
                                           "and XML exchange key (settings, NAV)"));
                break;
            }
        }
    }
    if (missing.empty() && too_large.empty()) return "";
    std::string text;
    if (!missing.empty()) {
        text = own_text("A dokumentum nem menthető, mert hiányzik:", "The document cannot be saved; missing:");
        for (const std::string& item : missing) text += "\n\u2022 " + item;
    }
    if (!too_large.empty()) {
        text += (text.empty() ? "" : "\n") + own_text("A dokumentum nem menthető, mert túl nagy:",
                                                     "The document cannot be saved; too large:");
        for (const std::string& item : too_large) text += "\n\u2022 " + item;
    }
    if (reported && Json(document)["supplier_street"].string_value() != core.setting("supplier")["street"].string_value())
        text += own_text("\nA dokumentum a megnyitásakor érvényes cégadatokat használja: a beállítások módosítása után "
                         "nyissa meg újra.",
                         "\nThe document uses the company data in force when it was opened: after changing the "
                         "settings, open it again.");
    return text;
}

// How long another computer's report may still keep this one waiting: until this one settles it
// itself; nothing when that is not known.
std::string wait_length_text(Core& core, const NavSettled& pending) {
    const std::time_t now = clock_now();
    if (pending.deadline <= now) return "";
    const long minutes = static_cast<long>((pending.deadline - now + 59) / 60);
    return own_text(" (legfeljebb ", " (at most ") + std::to_string(minutes) +
           own_text(" perc, legkésőbb ", " minutes, until ") + moment_text(core, pending.deadline) + ")";
}

// A report whose outcome is not known yet: which invoice waits, what the authority said last, and
// what to do. `renumbered_from`: this save's invoice went under another number than the page showed.
std::string waiting_text(Core& core, const NavSettled& pending, bool this_one, const std::string& renumbered_from) {
    const std::string& number = pending.number;
    std::string text;
    const bool judged_elsewhere = pending.reason == NavSettled::Reason::judged_elsewhere;
    if (judged_elsewhere)
        text = own_text("A(z) ", "Invoice ") + number +
               own_text(" számú számla bejelentéséről a cég egy másik gépe már döntött a NAV nyilvántartása alapján, és "
                        "most őrzi meg a számlát piszkozatként.",
                        ": another computer of the company has settled its report from the authority's records and is "
                        "keeping the invoice as a draft now.");
    else if (this_one && !renumbered_from.empty() && renumbered_from != number)
        text = own_text("A számla a(z) ", "The invoice took number ") + number +
               own_text(" számot kapta a(z) ", " instead of ") + renumbered_from +
               own_text(" helyett, mert az közben foglalt lett. Elküldtük a NAV-nak, de a befogadásáról még nincs válasz.",
                        ", which was taken meanwhile. It was sent to the tax authority (NAV), but whether it was "
                        "accepted is not known yet.");
    else if (this_one)
        text = own_text("A(z) ", "Invoice ") + number +
               own_text(" számú számlát elküldtük a NAV-nak, de a befogadásáról még nincs válasz.",
                        " was sent to the tax authority (NAV), but whether it was accepted is not known yet.");
    else if (pending.elsewhere)
        text = own_text("A cég egy másik gépe most küld be a NAV-nak egy számlát",
                        "Another computer of the company is reporting an invoice to the tax authority (NAV)") +
               (number.empty() ? std::string() : " (" + number + ")") +
               own_text(", és a befogadásáról még nincs válasz.", ", and whether it was accepted is not known yet.");
    else
        text = own_text("A(z) ", "Invoice ") + number +
               own_text(" számú számla még a NAV visszaigazolására vár.",
                        " is still waiting for the tax authority's (NAV) confirmation.");
    switch (pending.reason) {
    case NavSettled::Reason::sending:
        text += own_text(" A beküldés még úton lehet.", " The report may still be on its way.");
        break;
    case NavSettled::Reason::processing:
        text += own_text(" A NAV megkapta, és még feldolgozza.", " The authority has received it and is still processing it.");
        break;
    case NavSettled::Reason::contested:
        text += own_text(" A NAV egy másik program ugyanezt a sorszámot viselő beküldését még feldolgozza, ezért még "
                         "nem dönthető el, melyik számláé a sorszám.",
                         " The authority is still processing another program's submission that may carry the same "
                         "number, so which invoice holds the number cannot be told yet.");
        break;
    case NavSettled::Reason::unreachable:
        text += own_text(" A NAV most nem érhető el, vagy nem adott értelmezhető választ.",
                         " The authority cannot be reached now, or its answer could not be read.");
        break;
    case NavSettled::Reason::unavailable:
        text += own_text(" A NAV rendszere átmenetileg nem elérhető (a NAV így jelezte); a program rövidesen újra "
                         "megkérdezi.",
                         " The authority's system is briefly unavailable (as the authority said); the program asks "
                         "again shortly.");
        break;
    case NavSettled::Reason::question_refused:
        text += own_text(" A NAV hibával válaszolt a kérdésre: ", " The authority answered the question with an error: ") +
                nav_error_text(pending.message);
        break;
    case NavSettled::Reason::no_credentials:
        text += own_text(" A NAV nem kérdezhető meg, mert hiányoznak a NAV technikai felhasználó adatai "
                         "(Beállítások, NAV).",
                         " The authority cannot be asked: the tax authority's credentials are missing "
                         "(settings, NAV).");
        break;
    case NavSettled::Reason::cloud:
        text += own_text(" A felhő most nem érhető el, így a cég közös nyilvántartása nem olvasható.",
                         " The cloud cannot be reached now, so the company's shared record cannot be read.");
        break;
    case NavSettled::Reason::shared_unreadable:
        text += own_text(" A cég közös nyilvántartásában álló bejelentés nem olvasható (talán a program egy "
                         "újabb változata írta): frissítse a programot ezen a gépen.",
                         " The report standing in the company's shared record cannot be read (perhaps a newer "
                         "version of the program wrote it): update the program on this computer.");
        break;
    case NavSettled::Reason::listing_unread:
        if (pending.pages_total > 0)
            text += own_text(" A program most olvassa a NAV tranzakcióinak listáját: ", " The program is reading the "
                                                                                      "authority's list of transactions: ") +
                    std::to_string(pending.pages_read) + " / " + std::to_string(pending.pages_total) +
                    own_text(" oldal kész.", " pages done.");
        else
            text += own_text(" A program most olvassa a NAV tranzakcióinak listáját.",
                             " The program is reading the authority's list of transactions.");
        break;
    case NavSettled::Reason::content_unread:
        text += own_text(" A NAV egy tranzakciójának tartalma nem olvasható, így nem dönthető el, hogy "
                         "megérkezett-e a számla.",
                         " The content of one of the authority's transactions cannot be read, so whether the "
                         "invoice arrived cannot be told.");
        break;
    case NavSettled::Reason::store:
        text += own_text(" A NAV befogadta, de ezen a gépen nem sikerült elmenteni; a program újra megpróbálja.",
                         " The authority has accepted it, but it could not be stored on this computer; the program "
                         "tries again.");
        break;
    case NavSettled::Reason::judged_elsewhere:
        if (pending.deadline > 0)
            text += own_text(" Ha ", " If it has not finished by ") + moment_text(core, pending.deadline) +
                    own_text(" után sem végzett, ez a gép fejezi be.", ", this computer finishes it.");
        break;
    case NavSettled::Reason::unrecorded:
        text += own_text(" A NAV döntése már megvan, de a bejelentés nyilvántartását nem sikerült törölni (ezen a gépen "
                         "vagy a felhőben); a program újra megpróbálja.",
                         " The authority's decision is known, but the record of the report could not be removed (on "
                         "this computer or in the cloud); the program tries again.");
        break;
    }
    // A report of another computer: when it was recorded, and from when this one may go on without it.
    if (pending.elsewhere && !judged_elsewhere && pending.written > 0 && pending.deadline > pending.written)
        text += own_text(" A bejelentést ", " The report was recorded at ") + moment_text(core, pending.written) +
                own_text(" órakor rögzítették; ha addig nem dől el, ", "; if it is not settled before, this computer "
                                                                       "settles it from the authority's records from ") +
                moment_text(core, pending.deadline) +
                own_text(" után ez a gép dönti el a NAV nyilvántartásából.", " on.");
    if (pending.elsewhere && !this_one) {
        // The other computer's invoice is not this page's: the page's document only waits.
        text += own_text(" Amíg ez ki nem derül, ezen a gépen sem küldhető be új számla, hogy egy sorszám se kerüljön "
                         "kétszer a NAV-hoz (más dokumentumok menthetők). A másik gép számláját a NAV befogadása "
                         "után a program elmenti. Ez a dokumentum nincs elmentve, a beírt adatok megmaradtak: mentse újra, "
                         "amint a másik gép végzett",
                         " Until this is known no new invoice can be reported from this computer either, so that no "
                         "number reaches the authority twice (other documents can be saved). The other computer's "
                         "invoice is stored once the authority has accepted it. This document has not been saved, "
                         "and what you entered is kept: save it again as soon as the other computer is done") +
                wait_length_text(core, pending) +
                own_text("; akkor a következő szabad sorszámot kapja.", "; it then takes the next free number.");
        return text;
    }
    text += own_text(" Amíg ez ki nem derül, új számla nem küldhető be, hogy egy sorszám se kerüljön kétszer a NAV-hoz "
                     "(más dokumentumok menthetők). A program futás közben ",
                     " Until this is known no new invoice can be reported, so that no number reaches the authority "
                     "twice (other documents can be saved). While it runs, the program asks the authority again by "
                     "itself every ") +
            std::to_string(MainWindow::kReportPaceMs / 1000) +
            own_text(" másodpercenként magától újra megkérdezi a NAV-ot, és a következő indításkor, mentéskor és a "
                     "számlák listájának megnyitásakor is; ha befogadta, a(z) ",
                     " seconds, and at the next start, at the next save and when the invoice list is opened; if it "
                     "was accepted, invoice ") +
            number +
            own_text(" számú számla el lesz mentve: ehhez nem kell semmit tennie.",
                     " is stored then: you need not do anything for that.");
    if (this_one)
        text += own_text(" Ha most módosítja a számlát, a módosítás nem kerül be: a számla úgy lesz elmentve, "
                         "ahogy a NAV-nak elküldtük.",
                         " Changes made to the invoice now are not kept: it is stored as it was sent to the authority.");
    else
        text += own_text(" Ez a dokumentum nincs elmentve; később újra mentheti.",
                         " This document has not been saved; you can save it again later.");
    return text;
}

// The draft that keeps the page's invoice since a report of it ended unstored: the save's document
// names it, so that the invoice stored from it uses it up.
void show_kept(const DocumentPage::SaveContextPtr& context, const KeptDraft& kept) {
    context->kept = kept;
    context->document["kept_draft"] = kept.draft;
}

// Where the invoice is kept besides the page, once a report of it ended unstored.
std::string kept_text(const DocumentPage::SaveContextPtr& context) {
    if (!context->kept) return "";
    return own_text(" A(z) ", " Draft ") + context->kept->draft_number +
           own_text(" piszkozat (Piszkozatok) is őrzi: ha itt menti újra, a számla abból készül el.",
                    " (Drafts) keeps it too: saved again here, the invoice is issued from it.");
}

// The page's document and lines as one text, to tell whether they changed since a report.
std::string snapshot_of(const Json::object& document, const std::vector<Json>& lines) {
    Json::object shown = document;
    shown.erase("nav_number_formatted");
    return Json(shown).dump() + Json(lines).dump();
}

// A new document's number was fixed at the page's last refresh; what has come in since (this pass, or
// an earlier one while the page was open) may hold that number already. An invoice's number cannot be
// typed, so it always follows the store; another type's number text is kept when the user typed it.
void number_new_document(Core& core, const DocumentPage::SaveContextPtr& context) {
    Json::object& document = context->document;
    const std::string type = Json(document)["type"].string_value();
    if (!context->is_new) return;
    const std::string shown = Json(document)["number_formatted"].string_value();
    if (type != "INVOICE" && shown != context->formatted_before) return;  // typed by the user
    // The text is compared too: a refresh after a pass that brought the number in moved the integer
    // on already, while the text stayed as the page showed it.
    const int now = core.next_number(type);
    const std::string formatted = core.next_number_formatted(type);
    if (now == Json(document)["number"].int_value() && formatted == shown) return;
    document["number"] = now;
    document["number_formatted"] = formatted;
    const QString title = ui::qs(formatted);
    context->queue.TryEnqueue(ui::DispatcherQueuePriority::Normal, [context, title] {
        if (context->dialog) context->dialog->Title(title);
    });
}

}  // namespace

std::string moment_text(Core& core, std::time_t moment) {
    return core.formatted_date(iso_date(moment), "") + " " + format_time(local_time(moment), "%H:%M:%S");
}

void close_program_later(const DocumentPage::SaveContextPtr& context) {
    QPointer<MainWindow> main = context->main;
    if (!main) return;
    QTimer::singleShot(0, main, [main] {
        if (main) main->Close();
    });
}

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
    save_in_flight = true;
    QPointer<DocumentPage> self(this);
    const std::string missing = missing_for_save(*g_core, Json(document), lines, g_core->current_account);
    if (!missing.empty()) {
        QPointer<ui::ContentDialog> told = new ui::ContentDialog(window());
        told->XamlRoot(window());
        told->Title(ui::qs(Json(document)["number_formatted"].string_value()));
        told->Content(ui::qs(missing));
        told->CloseButtonText(tr_key("ok"));
        co_await told->ShowAsyncOrNone();
        if (told) told->deleteLater();
        if (self) save_in_flight = false;
        co_return;
    }

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
    StartSave();
}

void DocumentPage::StartSave() {
    save_in_flight = true;
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
    context->reported = context->account != "DEMO" && doc["type"].string_value() == "INVOICE";
    // A report of this page that went under another number than the page showed: the user is told of
    // that number when it is stored.
    context->shown_number = !pending_request_id.empty() && !pending_shown_number.empty()
                                ? pending_shown_number
                                : Json(document)["number_formatted"].string_value();
    context->own_request_id = pending_request_id;
    context->reported_snapshot = pending_snapshot;

    ui::ContentDialog* saving = new ui::ContentDialog(window());
    saving->XamlRoot(window());
    saving->Title(ui::qs(Json(document)["number_formatted"].string_value()));
    saving->Content(tr_key("saving"));
    saving->DefaultButton(ui::ContentDialogButton::Primary);
    hold_dialog_open(saving);
    context->dialog = saving;
    saving->ShowAsync();
    running_save_ = context;

    ui::ThreadPool::RunAsync([context] { RunSave(context); });
    if (context->reported) ExplainLongReport(context);
}

namespace {

// What the saving dialog says of the save's own report once it has waited long: what it waits for,
// as the worker last told it.
std::string long_report_text(NavReportRecord::Phase phase, const std::string& number) {
    const std::string limit = std::to_string(nav_request_seconds());
    const std::string not_lost =
        own_text(" A számla nem vész el, és nem kerül kétszer a NAV-hoz akkor sem, ha közben bezárja a programot: "
                 "a következő indításkor a program a NAV nyilvántartásából dönti el, hogy befogadta-e.",
                 " The invoice is not lost and does not reach the authority twice even if you close the program "
                 "meanwhile: at the next start the program tells from the authority's records whether it was "
                 "accepted.");
    switch (phase) {
    case NavReportRecord::Phase::recorded:
        return own_text("A(z) ", "Invoice ") + number +
               own_text(" számú számla beküldése még előkészül: a felhő vagy a NAV lassan válaszol. A program tovább "
                        "vár (egy kérés legfeljebb ",
                        " is still being prepared for the tax authority (NAV): the cloud or the authority is slow to "
                        "answer. The program goes on waiting (a request takes at most ") +
               limit + own_text(" másodperc); a számla addig nem kerül a NAV-hoz.", " seconds); until then the invoice does "
                                                                                  "not reach the authority.");
    case NavReportRecord::Phase::sending:
        return own_text("A(z) ", "Invoice ") + number +
               own_text(" számú számlát elküldtük a NAV-nak, de a NAV még nem válaszolt. A program tovább vár: egy "
                        "kérés legfeljebb ",
                        " was sent to the tax authority (NAV), but the authority has not answered yet. The program "
                        "goes on waiting: a request takes at most ") +
               limit +
               own_text(" másodpercig tart, utána a program a NAV nyilvántartásából dönti el, hogy befogadta-e.",
                        " seconds, after which the program tells from the authority's records whether it was "
                        "accepted.") +
               not_lost;
    case NavReportRecord::Phase::received:
        return own_text("A(z) ", "Invoice ") + number +
               own_text(" számú számlát a NAV megkapta, és még feldolgozza; a program megvárja az eredményét.",
                        " has reached the tax authority (NAV), which is still processing it; the program waits for "
                        "the result.") +
               not_lost;
    }
    return "";
}

// The saving dialog's text while the save runs: what the report waits for once the wait is long, and
// that the program closes when it may, once the user closed it.
void show_saving_text(const DocumentPage::SaveContextPtr& context) {
    ui::ContentDialog* dialog = context->dialog;
    // A dialog with its buttons shows the save's result.
    if (!dialog || !dialog->PrimaryButtonText().isEmpty()) return;
    std::string text = text_of("saving");
    if (context->long_wait && context->report_phase)
        text += " " + long_report_text(*context->report_phase, context->report_number);
    if (context->close_asked)
        text += context->reported
                    ? own_text("\nA program bezárul, amint a számla a NAV-hoz került, vagy a mentés véget ért: így "
                               "semmi sem vész el abból, amit beírt.",
                               "\nThe program closes as soon as the invoice has gone to the tax authority (NAV) or "
                               "the save has ended, so that nothing you entered is lost.")
                    : own_text("\nA program bezárul, amint a mentés véget ért.",
                               "\nThe program closes as soon as the save has ended.");
    dialog->Content(ui::qs(text));
}

// The worker's word that its report reached a phase: the dialog follows it, and a close the user
// asked for goes on once the invoice is in the authority's hands with its report recorded.
void tell_phase(const DocumentPage::SaveContextPtr& context, const NavReportRecord& record) {
    const NavReportRecord::Phase phase = record.phase;
    const std::string number = record.number;
    context->queue.TryEnqueue(ui::DispatcherQueuePriority::Normal, [context, phase, number] {
        context->report_phase = phase;
        context->report_number = number;
        show_saving_text(context);
        if (context->close_asked && phase != NavReportRecord::Phase::recorded && !context->answered)
            close_program_later(context);
    });
}

}  // namespace

ui::Action DocumentPage::ExplainLongReport(SaveContextPtr context) {
    co_await ui::Delay(Core::nav_settle_seconds() * 1000);
    context->long_wait = true;
    show_saving_text(context);
}

DocumentPage::SaveAtClose DocumentPage::SaveHoldsClose() {
    const SaveContextPtr context = running_save_.lock();
    ui::ContentDialog* dialog = context ? context->dialog.data() : nullptr;
    // Only the saving dialog and the result are the save's: after an error the page holds the document.
    if (!save_in_flight || !dialog) return SaveAtClose::none;
    // The result shows: the close is its OK, and goes on after it.
    if (!dialog->PrimaryButtonText().isEmpty()) {
        context->close_asked = true;
        dialog->Answer(ui::ContentDialogResult::Primary);
        return SaveAtClose::holds;
    }
    // Sent: the report stays recorded and the next start settles it, as the dialog says.
    const bool sent = context->report_phase && *context->report_phase != NavReportRecord::Phase::recorded;
    if (sent && !context->answered) return SaveAtClose::lets_end;
    context->close_asked = true;
    show_saving_text(context);
    return SaveAtClose::holds;
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

    const bool invoice = Json(document)["type"].string_value() == "INVOICE";
    // A report left without an answer is settled first: the invoice it stores takes its number. Only
    // invoices wait on it; other documents are saved as usual.
    NavSettled earlier;
    if (context->account != "DEMO" && invoice) {
        earlier = core->nav_settle_report();
        // This page's own invoice, reported by an earlier try: once settled (here, or by the background
        // query) it is stored as it was sent, and not reported again.
        const std::string own = core->nav_settled_record(context->own_request_id);
        if (!own.empty()) {
            context->recordName = own;
            context->edits_dropped = !context->reported_snapshot.empty() &&
                                     context->reported_snapshot != snapshot_of(document, context->lines);
            const auto rows = store::rows(*core, "SELECT * FROM documents WHERE recordName = ?", {Json(own)});
            if (!rows.empty()) document = rows.front();
            StoredDocument(context);
            return;
        }
        // Settled unstored: its draft keeps the invoice, and this save issues it from there.
        if (std::optional<KeptDraft> kept = core->nav_kept_draft(context->own_request_id)) show_kept(context, *kept);
        // A draft an invoice was issued from already issues no second one.
        const std::string source = Core::draft_source(Json(document));
        const DraftKeeping used = source.empty() ? DraftKeeping() : core->draft_keeping_of(source);
        if (used.state == DraftKeeping::State::issued) {
            post_error(context, draft_used_text(used));
            return;
        }
    }

    if (context->account != "DEMO" && Json(document)["recordName"].string_value().rfind("ARCHIVE-", 0) == 0) {
        document["type"] = "ARCHIVE_INVOICE";
        document["number"] = 0;
    }
    const bool reported = context->account != "DEMO" && Json(document)["type"].string_value() == "INVOICE";
    // Still unsettled just now: the service is not asked a second time before the user is told.
    NavReport report;
    if (reported && earlier.result == NavSettled::Result::waiting) {
        report.result = NavReport::Result::waiting;
        report.pending = earlier;
    }
    // Another installation's invoice may take the number while this one is being reported: it is
    // numbered again and reported with the next (a few times at most).
    for (int attempt = 0; attempt < 3; ++attempt) {
        number_new_document(*core, context);
        if (!reported || report.result == NavReport::Result::waiting) break;
        report = core->nav_report_invoice(context->lines, document, InvoiceKeeper::page,
                                          [context](const NavReportRecord& record) { tell_phase(context, record); });
        // Ended unstored: its draft keeps it, and the next try issues it from there.
        if (report.kept) show_kept(context, *report.kept);
        const bool renumbered = report.result == NavReport::Result::renumber || report.result == NavReport::Result::taken;
        if (!renumbered || !context->is_new) break;
    }

    if (reported) {
        switch (report.result) {
        case NavReport::Result::stored:
            context->recordName = report.record_name;
            break;
        case NavReport::Result::refused:
            error = kNavError + nav_error_text(report.message) + kept_text(context);
            break;
        case NavReport::Result::not_sent:
            error = kNavError + own_text("A NAV nem érhető el, ezért a számla nem lett sem elmentve, sem beküldve. "
                                         "A beírt adatok megmaradtak: ha helyreáll a kapcsolat, mentse újra.",
                                         "The tax authority (NAV) cannot be reached, so the invoice was neither "
                                         "saved nor reported. What you entered is kept: save it again when the "
                                         "connection is back.");
            break;
        case NavReport::Result::unavailable:
            error = kNavError + own_text("A NAV rendszere átmenetileg nem elérhető (a NAV így jelezte), és a program "
                                         "várakozás közben többször újra megkérdezte, ezért a számla nem lett sem "
                                         "elmentve, sem beküldve. A beírt adatok megmaradtak: mentse újra néhány "
                                         "perc múlva.",
                                         "The tax authority's (NAV) system is briefly unavailable (as the authority "
                                         "said), also when the program asked again while it waited, so the invoice "
                                         "was neither saved nor reported. What you entered is kept: save it again "
                                         "in a few minutes.");
            break;
        case NavReport::Result::outcome_unknown:
            error = kNavError + own_text("A(z) ", "Invoice ") + Json(document)["number_formatted"].string_value() +
                    own_text(" számú számla bejelentése közben lezárult, de hogy hogyan, azt a program ezen változata "
                             "nem tudja megmondani (egy újabb változat zárta le). Nézze meg a számlák listájában; ha "
                             "nincs ott, mentse újra: a beírt adatok megmaradtak.",
                             "'s report was settled meanwhile, but how it ended cannot be told by this version of the "
                             "program (a newer version settled it). Look for it in the list of invoices; if it is "
                             "not there, save again: what you entered is kept.");
            break;
        case NavReport::Result::dropped:
            error = kNavError + own_text("A(z) ", "Invoice ") + Json(document)["number_formatted"].string_value() +
                    own_text(" számú számla a NAV nyilvántartása szerint nem érkezett meg, ezért nem lett sem "
                             "elmentve, sem beküldve. A beírt adatok megmaradtak: mentse újra.",
                             " did not arrive at the tax authority (NAV), as its records show, so it was neither "
                             "saved nor reported. What you entered is kept: save it again.") +
                    kept_text(context);
            break;
        case NavReport::Result::window_closed:
            error = kNavError + own_text("A beküldésre szánt idő lejárt, mielőtt a számla elindult volna (a felhő vagy "
                                         "a NAV túl lassan válaszolt), ezért a számla nem lett sem elmentve, sem "
                                         "beküldve. A beírt adatok megmaradtak: mentse újra.",
                                         "The time allowed for sending ran out before the invoice went (the cloud or "
                                         "the tax authority answered too slowly), so it was neither saved nor "
                                         "reported. What you entered is kept: save it again.");
            break;
        case NavReport::Result::cloud_update:
            error = own_text("A cég közös nyilvántartását a felhőben nem sikerült frissíteni a beküldés előtt, ezért a "
                             "számla nem lett sem elmentve, sem beküldve: a NAV-nak csak úgy küldhető számla, hogy a "
                             "cég többi gépe tudjon róla. A beírt adatok megmaradtak: mentse újra.",
                             "The company's shared record in the cloud could not be updated before sending, so the "
                             "invoice was neither saved nor reported: an invoice is reported only when the company's "
                             "other computers can know of it. What you entered is kept: save it again.");
            break;
        case NavReport::Result::cloud:
            error = own_text("A felhő nem érhető el, ezért a számla nem lett sem elmentve, sem beküldve: a NAV-nak csak "
                             "úgy küldhető számla, hogy a cég többi gépe tudjon róla, különben egy sorszám kétszer "
                             "kerülhetne a NAV-hoz. A beírt adatok megmaradtak: ha helyreáll a kapcsolat, mentse újra.",
                             "The cloud cannot be reached, so the invoice was neither saved nor reported: an invoice "
                             "is reported only when the company's other computers can know of it, otherwise a "
                             "number could reach the tax authority twice. What you entered is kept: save it again "
                             "when the connection is back.") +
                    (report.message.empty() ? std::string() : "\n(" + report.message + ")");
            break;
        case NavReport::Result::changes_refused:
            error = own_text("A felhő válaszol, de nem adja ki a cég többi gépének változásait, ezért a számla nem "
                             "lett sem elmentve, sem beküldve: a NAV-nak csak úgy küldhető számla, hogy ez a gép "
                             "ismerje a többi gép számláit. ",
                             "The cloud answers but does not give the changes of the company's other computers, so "
                             "the invoice was neither saved nor reported: an invoice is reported only when this "
                             "computer knows the other computers' invoices. ") +
                    (report.message == "AUTHENTICATION_REQUIRED"
                         ? own_text("A felhőbe való bejelentkezés lejárt: jelentkezzen be újra (Beállítások), majd "
                                    "mentse újra. A beírt adatok megmaradtak.",
                                    "The cloud sign-in has expired: sign in again (settings), then save again. What "
                                    "you entered is kept.")
                         : own_text("A beírt adatok megmaradtak: mentse újra néhány perc múlva; ha a hiba megmarad, "
                                    "frissítse a programot ezen a gépen.",
                                    "What you entered is kept: save again in a few minutes; if the error stays, "
                                    "update the program on this computer.")) +
                    (report.message.empty() ? std::string() : "\n(" + report.message + ")");
            break;
        case NavReport::Result::changes_unwritten:
            error = own_text("A felhő válaszol, de a cég többi gépének onnan letöltött változásait ez a számítógép nem "
                             "tudta elmenteni (az adatbázist egy másik program tartja zárolva, vagy megtelt a lemez), "
                             "ezért a számla nem lett sem elmentve, sem beküldve. Zárja be a program többi ablakát, "
                             "vagy szabadítson fel helyet a lemezen, majd mentse újra: a beírt adatok megmaradtak.",
                             "The cloud answers, but this computer could not store the changes of the company's other "
                             "computers downloaded from it (another program holds the database locked, or the disk "
                             "is full), so the invoice was neither saved nor reported. Close the program's other "
                             "windows or free space on the disk, then save again: what you entered is kept.");
            break;
        case NavReport::Result::waiting: {
            const bool this_one = report.sent_now || (!report.pending.request_id.empty() &&
                                                      report.pending.request_id == context->own_request_id);
            if (this_one) {
                context->own_request_id = report.pending.request_id;
                context->reported_snapshot = snapshot_of(document, context->lines);
            }
            error = waiting_text(*core, report.pending, this_one, context->shown_number);
            break;
        }
        case NavReport::Result::taken:
            error = own_text("A NAV-nál a(z) ", "The tax authority (NAV) already holds another invoice numbered ") +
                    Json(document)["number_formatted"].string_value() +
                    own_text(" sorszámon már egy másik számla szerepel, ezért ez a számla nem lett sem "
                             "elmentve, sem beküldve. Mentse újra: a következő szabad sorszámot kapja.",
                             ", so this invoice was neither saved nor reported. Save it again: it takes the "
                             "next free number.") +
                    kept_text(context);
            break;
        case NavReport::Result::renumber:
            // Every number tried was taken meanwhile by another invoice stored under it.
            error = own_text("A(z) ", "Invoice number ") + Json(document)["number_formatted"].string_value() +
                    own_text(" sorszámon közben egy másik számla lett elmentve, ezért ez a számla nem lett sem "
                             "elmentve, sem beküldve. A beírt adatok megmaradtak: mentse újra, a következő szabad "
                             "sorszámot kapja.",
                             " was meanwhile taken by another invoice stored under it, so this invoice was neither "
                             "saved nor reported. What you entered is kept: save it again, it takes the next free "
                             "number.");
            break;
        case NavReport::Result::failed:
            error = own_text("A dokumentum mentése nem sikerült.", "The document could not be saved.");
            break;
        }
    }
    if (!error.empty()) {
        post_error(context, error);
        return;
    }

    if (context->recordName.empty()) context->recordName = core->save_document(context->lines, false, document);
    if (context->recordName.empty()) {
        post_error(context, own_text("A dokumentum mentése nem sikerült.", "The document could not be saved."));
        return;
    }
    StoredDocument(context);
}

void DocumentPage::StoredDocument(SaveContextPtr context) {
    Core* core = g_core;
    if (!core) return;
    Json::object& document = context->document;
    document["recordName"] = context->recordName;
    // Its draft is used up with it: nothing is left for the page to keep.
    if (context->kept) core->nav_release_invoice(context->kept->request_id);

    // The accounting service books invoices; other documents are not sent to it.
    if (context->account != "DEMO" && Json(document)["type"].string_value() == "INVOICE" && core->accounting_on()) {
        context->upload = ui::AsyncAction();
        const ui::AsyncAction upload = *context->upload;
        if (!context->queue.TryEnqueue(ui::DispatcherQueuePriority::Normal, [context] { UploadDocumentPdf(context); }))
            upload.Complete(ui::Unit{});
    }

    // Second pass: the new rows go up. A reported invoice's shared record goes once the invoice is in
    // the cloud: only then may another installation number the next one.
    const Core::SyncOutcome second = core->sync_start(empty_completion());
    if (context->account != "DEMO" && Json(document)["type"].string_value() == "INVOICE")
        core->nav_release_report(context->recordName);
    answer(context, [context, second] { ShowSaveResult(context, second); });
}

void DocumentPage::ShowSaveError(SaveContextPtr context, std::string message) {
    if (DocumentPage* page = context->page) {
        // The page keeps what the flow did to the document; the user may save it again.
        page->document = context->document;
        page->save_in_flight = false;
        page->HoldReport(context->own_request_id);
        if (context->kept) page->ShowKeptDraft(*context->kept);
        page->pending_snapshot = context->reported_snapshot;
        page->pending_shown_number = context->own_request_id.empty() ? std::string() : context->shown_number;
        // The dialog left open tells of the report the page holds: its outcome is told in it.
        page->report_dialog = context->own_request_id.empty() ? nullptr : context->dialog.data();
        // The preview shows again the very document the page holds, with the number the flow gave it.
        if (page->numberTextBox) page->numberTextBox->Text(ui::qs(Json(page->document)["number_formatted"].string_value()));
        page->RefreshDocument();
    } else if (Core* core = g_core) {
        // No page to take the invoice back: its draft is the drafts list's.
        core->nav_release_invoice(context->own_request_id);
        if (context->kept) core->nav_release_invoice(context->kept->request_id);
    }
    if (context->main) context->main->ShowReportNotice();
    ui::ContentDialog* dialog = context->dialog;
    if (!dialog) return;
    release_dialog(dialog);
    dialog->PrimaryButtonText(ui::qs(text_of("ok")));
    dialog->Content(ui::qs(message));
    // A close asked for meanwhile goes on once the user has read why nothing was stored: the page
    // still holds the document, so the close asks about it.
    dialog->Closed.Add(dialog, [context](ui::ContentDialog* sender, ui::ContentDialogClosedEventArgs) {
        sender->deleteLater();
        if (context->close_asked) close_program_later(context);
    });
}

}  // namespace Tavrin
