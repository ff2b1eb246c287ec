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

    // Only an invoice that goes to the tax authority needs the company's data and credentials.
    const bool reported = account != "DEMO" && document["type"].string_value() == "INVOICE" &&
                          document["recordName"].string_value().rfind("ARCHIVE-", 0) != 0;
    if (reported) {
        // The company's data as the document took it when it was opened: that is what is reported.
        const Json supplier = Json::object{{"identifier_number", document["supplier_identifier_number"]},
                                           {"postcode", document["supplier_postcode"]},
                                           {"city", document["supplier_city"]},
                                           {"street", document["supplier_street"]}};
        const Json credentials = core.setting("supplier");
        if (supplier["identifier_number"].string_value().size() < 8)
            missing.push_back(own_text("a cég adószáma (Beállítások, cégadatok)",
                                       "the company's tax number (settings, company data)"));
        if (supplier["postcode"].string_value().empty() || supplier["city"].string_value().empty() ||
            supplier["street"].string_value().empty())
            missing.push_back(own_text("a cég címe: irányítószám, város, utca (Beállítások, cégadatok)",
                                       "the company's address: postcode, city, street (settings, company data)"));
        for (const char* key : {"nav_user_id", "nav_user_pwd", "nav_xml_alairokulcs", "nav_xml_cserekulcs"}) {
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

// An invoice whose report got no answer: which one waits, and why nothing new is reported meanwhile.
std::string waiting_text(const std::string& number, bool this_one) {
    std::string text =
        this_one ? own_text("A(z) ", "Invoice ") + number +
                       own_text(" számú számlát elküldtük a NAV-nak, de nem érkezett válasz, így nem tudni, befogadta-e.",
                                " was sent to the tax authority (NAV), but no answer came back, so it is not known "
                                "whether it was accepted.")
                 : own_text("A(z) ", "Invoice ") + number +
                       own_text(" számú számla még a NAV visszaigazolására vár: a beküldése után nem érkezett válasz.",
                                " is still waiting for the tax authority's (NAV) confirmation: no answer came after it "
                                "was sent.");
    text += own_text(" Amíg ez ki nem derül, új számla nem küldhető be, hogy egy sorszám se kerüljön kétszer a NAV-hoz. "
                     "A program a következő indításkor, mentéskor és a számlák listájának megnyitásakor újra "
                     "megkérdezi a NAV-ot; ha befogadta, a számla el lesz mentve.",
                     " Until this is known no new invoice can be reported, so that no number reaches the authority "
                     "twice. The program asks the authority again at the next start, at the next save and when the "
                     "invoice list is opened; if it was accepted, the invoice is stored then.");
    if (!this_one)
        text += own_text(" Ez a dokumentum nincs elmentve; később újra mentheti.",
                         " This document has not been saved; you can save it again later.");
    return text;
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
    context->own_request_id = pending_request_id;

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

    // A report left without an answer is settled first: the invoice it stores takes its number.
    NavSettled earlier;
    if (context->account != "DEMO") {
        earlier = core->nav_settle_report();
        // This page's own invoice, reported by an earlier try: once settled (here, or by the background
        // query) it is stored, and not reported again.
        const std::string own = core->nav_settled_record(context->own_request_id);
        if (!own.empty()) {
            context->recordName = own;
            const auto rows = store::rows(*core, "SELECT * FROM documents WHERE recordName = ?", {Json(own)});
            if (!rows.empty()) document = rows.front();
            StoredDocument(context);
            return;
        }
    }

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
            // Still unsettled just now: the service is not asked a second time before the user is told.
            NavReport report;
            if (earlier.result == NavSettled::Result::waiting) {
                report.result = NavReport::Result::waiting;
                report.pending_number = earlier.number;
                report.pending_request_id = earlier.request_id;
            } else {
                report = core->nav_report_invoice(context->lines, document);
            }
            switch (report.result) {
            case NavReport::Result::stored:
                context->recordName = report.record_name;
                break;
            case NavReport::Result::refused:
                error = kNavError + nav_error_text(report.message);
                break;
            case NavReport::Result::not_sent:
                error = kNavError + own_text("A NAV nem érhető el, ezért a számla nem lett sem elmentve, sem beküldve. "
                                             "A beírt adatok megmaradtak: ha helyreáll a kapcsolat, mentse újra.",
                                             "The tax authority (NAV) cannot be reached, so the invoice was neither "
                                             "saved nor reported. What you entered is kept: save it again when the "
                                             "connection is back.");
                break;
            case NavReport::Result::waiting: {
                const bool this_one = report.sent_now || report.pending_request_id == context->own_request_id;
                if (this_one) context->own_request_id = report.pending_request_id;
                error = waiting_text(report.pending_number, this_one);
                break;
            }
            case NavReport::Result::failed:
                error = own_text("A dokumentum mentése nem sikerült.", "The document could not be saved.");
                break;
            }
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
        page->pending_request_id = context->own_request_id;
        // The preview shows again the very document the page holds, with the number the flow gave it.
        if (page->numberTextBox) page->numberTextBox->Text(ui::qs(Json(page->document)["number_formatted"].string_value()));
        page->RefreshDocument();
    }
    ui::ContentDialog* dialog = context->dialog;
    if (!dialog) return;
    release_dialog(dialog);
    dialog->PrimaryButtonText(ui::qs(text_of("ok")));
    dialog->Content(ui::qs(message));
    dialog->Closed.Add(dialog, [](ui::ContentDialog* sender, ui::ContentDialogClosedEventArgs) { sender->deleteLater(); });
}

}  // namespace Tavrin
