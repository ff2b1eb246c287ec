// The PDF of the saved document, printed from the page's preview (or, when the save took another
// number than the page showed, from the stored document), and its upload with the invoice data to
// the accounting service. An upload that did not succeed stays owed (Core::cashbook_pending) and is
// made again later from a hidden view of its own.
#include "app/editor/DocumentSave.h"

#include "core/Core.h"
#include "core/store/document_follow.h"
#include "core/store/store_internal.h"

#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <system_error>

#include <unistd.h>

using json11::Json;

namespace Tavrin {

namespace {

// How one upload ended: the service took it, it did not, it is owed here no more (the invoice was
// deleted meanwhile, or the upload's mark says the service took it), or another installation sends it
// now (still owed: looked at again once that sender's moment has passed).
enum class Outcome { accepted, failed, gone, waiting };
struct Sent {
    Outcome outcome = Outcome::failed;
    double wait_seconds = 0;  // waiting: until the other sender's moment has passed here
};

// An owed upload claimed for one sender (the saving page or the retry) until it is done with it, so
// that an invoice goes up once: never twice at a time, never again once accepted. Claimed and released
// on a pool thread, where a background pass holding the store may be waited for.
class OwedClaim {
public:
    OwedClaim() = default;
    // Pool thread: claims `record_name` when it is owed and no other sender holds it.
    static std::shared_ptr<OwedClaim> Take(const std::string& record_name) {
        auto claim = std::make_shared<OwedClaim>();
        Core* core = g_core;
        if (core && core->cashbook_claim(record_name)) {
            claim->core_ = core;
            claim->name_ = record_name;
        }
        return claim;
    }
    ~OwedClaim() {
        if (name_.empty()) return;
        ui::ThreadPool::RunAsync([core = core_, name = name_] {
            // The program may have ended while the upload waited.
            if (g_core == core) core->cashbook_release(name);
        });
    }
    OwedClaim(const OwedClaim&) = delete;
    OwedClaim& operator=(const OwedClaim&) = delete;
    bool held() const { return !name_.empty(); }

private:
    Core* core_ = nullptr;
    std::string name_;
};

// What an upload sends, read off the UI thread: the stored invoice, its lines, the service's token
// and the PDF's path. `gone`: the invoice was deleted meanwhile (nothing is owed any more).
struct UploadFacts {
    bool gone = false;
    Json::object document;
    std::vector<Json> lines;
    std::string token;
    std::string path;
};

UploadFacts read_upload_facts(Core& core, const std::string& record_name) {
    UploadFacts facts;
    const auto documents = store::rows(core, "SELECT * FROM documents WHERE recordName = ?", {Json(record_name)});
    if (documents.empty()) {
        core.cashbook_uploaded(record_name);
        facts.gone = true;
        return facts;
    }
    facts.document = documents.front();
    for (Json::object& row : store::rows(core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id",
                                         {Json(record_name)}))
        facts.lines.emplace_back(std::move(row));
    // Without a token there is nothing to send: no empty credentials go out.
    const std::vector<std::string> pieces = split('_', core.setting("defaults")["accounting"].string_value());
    if (pieces.size() < 2 || pieces[1].empty()) return facts;
    facts.token = pieces[1];
    const std::string folder = core.data_folder + "tmp/";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    facts.path = folder + pdf_file_name(Json(facts.document)["number_formatted"].string_value()) + ".pdf";
    // An older file of the same name is never sent in this one's place.
    ::unlink(facts.path.c_str());
    return facts;
}

// Completes an upload's operation with what became of it, on every way out of the coroutine.
struct SentWhenEnded {
    explicit SentWhenEnded(ui::AsyncOperation<Sent> operation) : done(std::move(operation)) {}
    ~SentWhenEnded() { done.Complete(sent); }
    SentWhenEnded(const SentWhenEnded&) = delete;
    SentWhenEnded& operator=(const SentWhenEnded&) = delete;

    ui::AsyncOperation<Sent> done;
    Sent sent;
};

// Prints what `view` shows to the document's PDF and sends it with the stored invoice's data; the
// caller holds the invoice's claim. The owed upload is cleared once the service took it, or when the
// invoice is gone.
ui::Action print_and_upload(QPointer<ui::WebView2> view, std::string record_name, ui::AsyncOperation<Sent> done) {
    SentWhenEnded ended(done);

    const ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    co_await ui::resume_background();
    UploadFacts facts;
    if (Core* core = g_core) facts = read_upload_facts(*core, record_name);
    co_await ui::resume_foreground(queue);
    if (facts.gone) ended.sent.outcome = Outcome::gone;
    if (!g_core || facts.token.empty()) co_return;
    if (!view) co_return;
    const ui::PrintSettings settings = a4_print_settings();
    bool printed = false;
    try {
        // The preview's frame around its pages is for the screen: on paper each page fills one sheet.
        co_await view->ExecuteScriptAsync(
            "if(!document.getElementById('printFrame')){var s=document.createElement('style');s.id='printFrame';"
            "s.textContent='@media print{body{margin:0 !important}.page{box-shadow:none !important}}';"
            "document.head.appendChild(s);}1");
        if (!view) co_return;
        printed = co_await view->PrintToPdfAsync(ui::qs(facts.path), settings);
    } catch (...) {
        printed = false;
    }
    std::error_code ignored;
    if (!printed || !std::filesystem::exists(facts.path, ignored)) co_return;

    // The request blocks until the service answers: it runs on a pool thread, not on the UI's.
    ui::AsyncOperation<Sent> sent;
    ui::ThreadPool::RunAsync([sent, facts, record_name] {
        struct Done {
            ui::AsyncOperation<Sent> sent;
            Sent outcome;
            ~Done() { sent.Complete(outcome); }
        } finish{sent, Sent{}};
        Core* c = g_core;
        if (!c) return;
        // Of the installations that owe it, the one whose mark stands sends it.
        const Core::UploadTurn turn = c->cashbook_mark_upload(record_name);
        if (turn.mark == Core::UploadMark::done) finish.outcome.outcome = Outcome::gone;
        if (turn.mark == Core::UploadMark::wait) finish.outcome = Sent{Outcome::waiting, turn.wait_seconds};
        if (turn.mark != Core::UploadMark::send) return;
        if (!Core::cashbook_accepted(c->cashbook_upload(facts.lines, facts.document, facts.token, facts.path))) return;
        c->cashbook_upload_accepted(record_name, turn.change_tag);
        finish.outcome.outcome = Outcome::accepted;
    });
    ended.sent = co_await sent;
}

// Prints the stored document from a view of `owner` that is never shown, and sends it as
// print_and_upload does: the PDF is what is stored, whatever another view shows, and the user's
// views stay as they are. The caller holds the invoice's claim.
ui::Action print_stored_and_upload(QPointer<QWidget> owner, std::string record_name, ui::AsyncOperation<Sent> done) {
    SentWhenEnded ended(done);

    if (!g_core || !owner) co_return;
    // The stored document's page, made off the UI thread.
    const ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    co_await ui::resume_background();
    store::ShownDocument stored;
    if (Core* core = g_core) stored = store::shown_document(*core, record_name);
    co_await ui::resume_foreground(queue);
    if (!g_core || !owner) co_return;
    const std::string html = stored.document.empty() ? std::string("<html></html>") : stored.page;

    QPointer<ui::WebView2> view = new ui::WebView2(owner);
    view->hide();
    ui::AsyncAction loaded;
    view->NavigationCompleted.Add(view, [loaded](ui::WebView2*, ui::NavigationCompletedEventArgs) {
        loaded.Complete(ui::Unit{});
    });
    // Its window closed (the program ends, or the account is switched): nothing is left to wait for.
    QObject::connect(view, &QObject::destroyed, [loaded] { loaded.Complete(ui::Unit{}); });
    try {
        co_await view->EnsureCoreWebView2Async();
    } catch (...) {
    }
    if (!view) co_return;
    view->NavigateToString(ui::qs(html));
    ui::AsyncAction ready;
    complete_when(loaded, ready);
    complete_when(ui::Delay(30000), ready);
    co_await ready;
    if (!view) co_return;
    ui::AsyncOperation<Sent> sent;
    print_and_upload(view, record_name, sent);
    ended.sent = co_await sent;
    // A print still running is left to end: the view's page stays for it.
    if (view) view->deleteLater();
}

}  // namespace

ui::Action DocumentPage::UploadDocumentPdf(SaveContextPtr context) {
    // The result dialog waits for this on every road.
    struct Ended {
        ui::AsyncAction upload;
        ~Ended() { upload.Complete(ui::Unit{}); }
    } ended{context->upload ? *context->upload : ui::AsyncAction()};

    QPointer<DocumentPage> page = context->page;
    if (!page || !page->previewWebView) co_return;
    // The page shows edits that were not kept (its invoice was stored as it had been sent): the upload
    // stays owed, and the retry after the result prints it from the stored invoice.
    if (context->edits_dropped) co_return;
    // Only while the invoice is still owed and no other sender has it: the retry may have sent it (it
    // was stored by settling a report, and this save only found it stored) or be sending it now.
    // Both are read off the UI thread.
    const std::string record_name = context->recordName;
    const ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    co_await ui::resume_background();
    const std::shared_ptr<OwedClaim> claim = OwedClaim::Take(record_name);
    std::string stored_number;
    if (Core* core = g_core; core && claim->held()) {
        const auto stored =
            store::rows(*core, "SELECT number_formatted FROM documents WHERE recordName = ?", {Json(record_name)});
        if (!stored.empty()) stored_number = Json(stored.front())["number_formatted"].string_value();
    }
    co_await ui::resume_foreground(queue);
    page = context->page;
    if (!claim->held() || !g_core || !page || !page->previewWebView) co_return;
    // The preview shows the number the page had: a save that took another one prints the stored
    // document, so that the PDF names the number the invoice went under.
    const bool preview_shows_stored = !stored_number.empty() && stored_number == context->shown_number;
    ui::AsyncOperation<Sent> done;
    if (preview_shows_stored)
        print_and_upload(page->previewWebView, context->recordName, done);
    else
        print_stored_and_upload(QPointer<QWidget>(page), context->recordName, done);
    co_await done;
}

ui::Action DocumentPage::RetryAccountingUploads(QPointer<QWidget> owner) {
    // The window whose run goes on: a run that a closed window left waiting (the program ended during
    // it) never keeps the next window's from starting.
    static QPointer<QWidget> running_for;
    // Asked for while a run went on (a visit, a save): what it found owed may have changed since, so
    // it looks once more at its end.
    static bool asked_again = false;
    const bool running = running_for && running_for == owner;
    if (running) asked_again = true;
    if (running || !g_core || !owner) co_return;
    if (!running_for) asked_again = false;
    running_for = owner;
    struct Reset {
        QPointer<QWidget> owner;
        ~Reset() {
            if (running_for != owner) return;
            running_for = nullptr;
            asked_again = false;
        }
    } reset{owner};

    std::set<std::string> tried;
    // The soonest moment, in seconds from now, at which an upload another installation sends is free
    // to take over; none when no other sender was met.
    std::optional<double> look_again;
    const ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    while (true) {
        // What is owed is read and claimed off the UI thread, where a background pass may hold the
        // store: the next owed invoice no other sender holds (a save's own upload goes on by itself).
        // Marks of uploads taken earlier that could not yet say so are written first.
        co_await ui::resume_background();
        std::string name;
        std::shared_ptr<OwedClaim> claim;
        if (Core* core = g_core) {
            core->cashbook_finish_marks();
            for (const std::string& owed : core->cashbook_pending()) {
                if (tried.count(owed)) continue;
                claim = OwedClaim::Take(owed);
                if (claim->held()) {
                    name = owed;
                    break;
                }
            }
        }
        co_await ui::resume_foreground(queue);
        if (!g_core || !owner) co_return;
        if (name.empty() && asked_again) {
            asked_again = false;
            tried.clear();
            look_again.reset();
            continue;
        }
        if (name.empty()) break;
        tried.insert(name);

        ui::AsyncOperation<Sent> done;
        print_stored_and_upload(owner, name, done);
        const Sent sent = co_await done;
        // The service is down or refuses: the rest wait for the next start or save. A deleted invoice
        // only leaves the list.
        if (sent.outcome == Outcome::failed) co_return;
        if (sent.outcome == Outcome::waiting)
            look_again = std::min(look_again.value_or(sent.wait_seconds), sent.wait_seconds);
    }
    // Nothing waits on a sender for good: once its moment has passed, its upload is taken over here.
    if (look_again && owner) {
        const int delay_ms = static_cast<int>(std::min(*look_again, 3600.0) * 1000) + 500;
        QTimer::singleShot(delay_ms, owner, [owner] { RetryAccountingUploads(owner); });
    }
}

}  // namespace Tavrin
