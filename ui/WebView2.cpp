#include "ui/WebView2.h"

#include <QBuffer>
#include <QChildEvent>
#include <QDropEvent>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QPageLayout>
#include <QPageSize>
#include <QPointer>
#include <QShowEvent>
#include <QWebChannel>
#include <QWebEngineLoadingInfo>
#include <QWebEngineNewWindowRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>

#include <set>
#include <stdexcept>
#include <utility>

namespace ui {

namespace {

const char* const kScheme = "tavrin";

// What the page scripts see as window.chrome.webview. Messages posted before the channel is up
// are kept and sent once it is.
const char* const kBridgeScript = R"JS(
(function () {
    if (window.chrome && window.chrome.webview) return;
    var bridge = null, waiting = [], listeners = [];
    function send(message) {
        if (bridge) bridge.postMessage(message[0], message[1], message[2]); else waiting.push(message);
    }
    // The browser sets the origin of a window message it delivers (a trusted event); no other window
    // can forge it. The host reads it to know who stands behind a message that the page only hands on.
    function relayed_origin() {
        var e = window.event;
        return e instanceof MessageEvent && e.isTrusted && e.type === 'message' ? String(e.origin) : '';
    }
    window.chrome = window.chrome || {};
    window.chrome.webview = {
        postMessage: function (value) {
            var text = JSON.stringify(value);
            send([text === undefined ? 'null' : text, String(location.href), relayed_origin()]);
        },
        addEventListener: function (type, listener) {
            if (type === 'message' && typeof listener === 'function') listeners.push(listener);
        },
        removeEventListener: function (type, listener) {
            listeners = listeners.filter(function (l) { return l !== listener; });
        }
    };
    new QWebChannel(qt.webChannelTransport, function (channel) {
        bridge = channel.objects.webview;
        bridge.message.connect(function (text) {
            var event = { data: JSON.parse(text) };
            listeners.slice().forEach(function (l) { l(event); });
        });
        waiting.splice(0).forEach(send);
    });
})();
)JS";

// Pages given as text, served by URL: tavrin://view/<view>/<page>. Only each view's newest page
// is kept; an older address gets an empty document.
class PageStore : public QWebEngineUrlSchemeHandler {
public:
    void put(int view, int page, QByteArray html) { pages_[view] = {page, std::move(html)}; }
    void drop(int view) { pages_.remove(view); }

    void requestStarted(QWebEngineUrlRequestJob* job) override {
        const QStringList parts = job->requestUrl().path().split('/', Qt::SkipEmptyParts);
        QByteArray html;
        if (parts.size() == 2) {
            auto found = pages_.constFind(parts[0].toInt());
            if (found != pages_.constEnd() && found->first == parts[1].toInt()) html = found->second;
        }
        auto* body = new QBuffer(job);
        body->setData(html);
        body->open(QIODevice::ReadOnly);
        job->reply("text/html;charset=utf-8", body);
    }

private:
    QHash<int, std::pair<int, QByteArray>> pages_;
};

PageStore& page_store() {
    static PageStore* store = [] {
        auto* s = new PageStore;
        QWebEngineProfile::defaultProfile()->installUrlSchemeHandler(kScheme, s);
        return s;
    }();
    return *store;
}

QString bridge_script_source() {
    static const QString source = [] {
        QFile channel(":/qtwebchannel/qwebchannel.js");
        QString text;
        if (channel.open(QIODevice::ReadOnly)) text = QString::fromUtf8(channel.readAll());
        return text + QString::fromUtf8(kBridgeScript);
    }();
    return source;
}

QString json_text(const QVariant& value) {
    if (!value.isValid() || value.isNull()) return "null";
    const QByteArray wrapped = QJsonDocument(QJsonArray{QJsonValue::fromVariant(value)}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(wrapped.mid(1, wrapped.size() - 2));
}

std::exception_ptr view_gone() {
    return std::make_exception_ptr(std::runtime_error("the web view was closed"));
}

int next_view_id = 1;

// The prints to PDF under way in the program, counted by the page that makes them, and the pages kept
// for their prints. A page taken from under the engine while it prints to PDF crashes the engine when
// the print ends: the page of a view that goes while it prints stays on its own, and goes once its
// prints have ended. A page left when the engine goes crashes the process: the program's end waits
// for the kept pages (ui::Application::Finish).
class PrintsUnderWay {
public:
    // Follows `page` from its making: its prints, and its going.
    void follow(QWebEnginePage* page) {
        QObject::connect(page, &QWebEnginePage::pdfPrintingFinished, page, [this, page] { finished(page); });
        QObject::connect(page, &QObject::destroyed, [this, page] { gone(page); });
    }
    void started(QWebEnginePage* page) { ++prints_[page]; }
    bool any() const { return !prints_.empty(); }
    AsyncAction all_ended() {
        if (prints_.empty()) return AsyncAction::Completed(Unit{});
        AsyncAction ended;
        waiting_.push_back(ended);
        return ended;
    }

    void keep(QWebEnginePage* page) {
        page->setWebChannel(nullptr);
        page->setParent(nullptr);
        kept_.insert(page);
    }
    std::size_t kept() const { return kept_.size(); }
    void delete_kept() {
        for (QWebEnginePage* page : std::set<QWebEnginePage*>(kept_)) delete page;
    }

private:
    void finished(QWebEnginePage* page) {
        auto found = prints_.find(page);
        if (found == prints_.end()) return;
        if (--found->second > 0) return;
        prints_.erase(found);
        if (kept_.count(page)) page->deleteLater();
        if (prints_.empty()) tell_ended();
    }
    // A page deleted while it printed ends its prints with it.
    void gone(QWebEnginePage* page) {
        kept_.erase(page);
        if (prints_.erase(page) && prints_.empty()) tell_ended();
    }
    void tell_ended() {
        for (const AsyncAction& ended : std::exchange(waiting_, {})) ended.Complete(Unit{});
    }

    std::map<QWebEnginePage*, std::size_t> prints_;
    std::set<QWebEnginePage*> kept_;
    std::vector<AsyncAction> waiting_;
};

PrintsUnderWay& prints_under_way() {
    // Pages may still go while the program's statics do.
    static PrintsUnderWay* prints = new PrintsUnderWay;
    return *prints;
}

}  // namespace

// The page's side of window.chrome.webview.
class WebBridge : public QObject {
    Q_OBJECT
public:
    explicit WebBridge(WebView2* view) : QObject(view), view_(view) {}
    Q_INVOKABLE void postMessage(const QString& json, const QString& source, const QString& relayed_origin) {
        // Handlers run after the channel has finished with the message.
        QPointer<WebView2> view(view_);
        const QUrl source_url(source);
        QMetaObject::invokeMethod(
            this, [view, json, source_url, relayed_origin] { if (view) view->on_message(json, source_url, relayed_origin); },
            Qt::QueuedConnection);
    }
signals:
    void message(const QString& json);

private:
    WebView2* view_;
};

void RegisterWebSchemes() {
    QWebEngineUrlScheme scheme(kScheme);
    scheme.setSyntax(QWebEngineUrlScheme::Syntax::Host);
    // Not a local scheme: its pages open network windows (the cloud sign-in).
    scheme.setFlags(QWebEngineUrlScheme::SecureScheme);
    QWebEngineUrlScheme::registerScheme(scheme);
}

WebView2::WebView2(QWidget* parent) : QWebEngineView(parent), id_(next_view_id++) {
    setContextMenuPolicy(Qt::NoContextMenu);
    // The view's page is its child, not the view's own default page: a page that prints when the view
    // goes can be left to finish.
    auto* own_page = new QWebEnginePage(QWebEngineProfile::defaultProfile(), this);
    prints_under_way().follow(own_page);
    setPage(own_page);
}

WebView2::~WebView2() {
    // The page goes after this part of the object (or, printing, after its prints): nothing it signals
    // may reach this view any more.
    if (set_up_) disconnect(page(), nullptr, this, nullptr);
    page_store().drop(id_);
    for (auto& [script, op] : queued_scripts_) op.Fail(view_gone());
    for (auto& [path, op] : printing_) op.Fail(view_gone());
    for (const AsyncAction& ended : prints_ended_) ended.Complete(Unit{});
    if (!printing_.empty()) prints_under_way().keep(page());
}

void WebView2::showEvent(QShowEvent* event) {
    QWebEngineView::showEvent(event);
    if (loaded_fired_) return;
    loaded_fired_ = true;
    QPointer<WebView2> self(this);
    post_to_ui([self] {
        if (self) self->Loaded.Invoke(self.data());
    });
}

// --- drops -----------------------------------------------------------------------------------------

bool WebView2::handle_drag(QEvent* event) {
    if (DragEnter.Empty() && DragOver.Empty() && Drop.Empty()) return false;
    auto* drop = static_cast<QDropEvent*>(event);
    DragEventArgs args(drop->mimeData());
    if (event->type() == QEvent::Drop) {
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        Drop.Invoke(this, args);
        return true;
    }
    (event->type() == QEvent::DragEnter ? DragEnter : DragOver).Invoke(this, args);
    if (args.AcceptedOperation() == DataPackageOperation::Copy) {
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
    } else {
        drop->ignore();
    }
    return true;
}

// The browser's own widget inside the view receives the drags first: they are taken there.
void WebView2::childEvent(QChildEvent* event) {
    QWebEngineView::childEvent(event);
    if (event->added() && event->child()->isWidgetType()) event->child()->installEventFilter(this);
}

bool WebView2::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if ((type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop) && handle_drag(event)) return true;
    return QWebEngineView::eventFilter(watched, event);
}

void WebView2::dragEnterEvent(QDragEnterEvent* event) {
    if (!handle_drag(event)) QWebEngineView::dragEnterEvent(event);
}

void WebView2::dragMoveEvent(QDragMoveEvent* event) {
    if (!handle_drag(event)) QWebEngineView::dragMoveEvent(event);
}

void WebView2::dropEvent(QDropEvent* event) {
    if (!handle_drag(event)) QWebEngineView::dropEvent(event);
}

void WebView2::set_up() {
    if (set_up_) return;
    set_up_ = true;
    page_store();
    QWebEnginePage* p = page();
    channel_ = new QWebChannel(this);
    bridge_ = new WebBridge(this);
    channel_->registerObject("webview", bridge_);
    p->setWebChannel(channel_);

    QWebEngineScript script;
    script.setName("tavrin-webview-bridge");
    script.setSourceCode(bridge_script_source());
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(false);
    p->scripts().insert(script);

    connect(p, &QWebEnginePage::loadingChanged, this, &WebView2::on_loading_changed);
    connect(p, &QWebEnginePage::newWindowRequested, this, &WebView2::on_new_window);
    connect(p, &QWebEnginePage::pdfPrintingFinished, this, [this](const QString& path, bool ok) {
        auto found = printing_.find(path);
        if (found == printing_.end()) return;
        AsyncOperation<bool> op = found->second;
        printing_.erase(found);
        op.Complete(ok);
        if (printing_.empty())
            for (const AsyncAction& ended : std::exchange(prints_ended_, {})) ended.Complete(Unit{});
    });
}

// Preparing costs nothing visible: the first document is loaded when a page or a script needs one,
// so that views that stay empty at start-up start no page at all.
AsyncAction WebView2::EnsureCoreWebView2Async() {
    set_up();
    core_ready_ = true;
    return AsyncAction::Completed(Unit{});
}

void WebView2::NavigateToString(const QString& html) {
    set_up();
    core_ready_ = true;
    load_page(html, false);
}

void WebView2::Source(const QUrl& uri) {
    set_up();
    core_ready_ = true;
    QWebEngineSettings* settings = page()->settings();
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, true);
    settings->setAttribute(QWebEngineSettings::PdfViewerEnabled, true);
    requested_url_ = uri;
    load_in_flight_ = true;
    page()->load(uri);
}

void WebView2::load_page(const QString& html, bool preparation) {
    const int number = ++page_number_;
    page_store().put(id_, number, html.toUtf8());
    QUrl url;
    url.setScheme(kScheme);
    url.setHost("view");
    url.setPath(QString("/%1/%2").arg(id_).arg(number));
    if (preparation) preparation_url_ = url;
    requested_url_ = url;
    load_in_flight_ = true;
    page()->load(url);
}

void WebView2::on_loading_changed(const QWebEngineLoadingInfo& info) {
    if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) return;
    // A load that a newer one replaced: the waiting scripts are for the newer document.
    if (load_in_flight_ && info.url() != requested_url_) return;
    const bool preparation = info.url() == preparation_url_;
    load_in_flight_ = false;
    if (!document_ready_) {
        document_ready_ = true;
        auto scripts = std::move(queued_scripts_);
        queued_scripts_.clear();
        for (auto& [script, op] : scripts) run_script(script, op);
    }
    if (hidden_for_new_window_ && info.status() == QWebEngineLoadingInfo::LoadSucceededStatus &&
        info.url().scheme() != "about") {
        hidden_for_new_window_ = false;
        show();
    }
    if (preparation) return;
    // Handlers may load or print: they run after the engine's signal has returned.
    QPointer<WebView2> self(this);
    const bool success = info.status() == QWebEngineLoadingInfo::LoadSucceededStatus;
    post_to_ui([self, success] {
        if (self) self->NavigationCompleted.Invoke(self.data(), NavigationCompletedEventArgs(success));
    });
}

void WebView2::on_new_window(QWebEngineNewWindowRequest& request) {
    NewWindowRequestedEventArgs args(request.requestedUrl());
    NewWindowRequested.Invoke(this, args);
    WebView2* target = args.NewWindow();
    if (!target) return;
    target->set_up();
    // The browser engine (Qt 6.4) crashes drawing a new window's blank document that its opener
    // scripts, as the sign-in page does. The view stays hidden until the window has navigated.
    if (!target->isHidden()) {
        target->hide();
        target->hidden_for_new_window_ = true;
    }
    request.openIn(target->page());
    target->core_ready_ = true;
    target->document_ready_ = true;
}

void WebView2::on_message(const QString& json, const QUrl& source, const QString& relayed_origin) {
    WebMessageReceived.Invoke(this, WebMessageReceivedEventArgs(json, source, relayed_origin));
}

AsyncOperation<QString> WebView2::ExecuteScriptAsync(const QString& script) {
    AsyncOperation<QString> op;
    if (!document_ready_) {
        // Run once the first document is there: the one being loaded, or an empty one.
        queued_scripts_.emplace_back(script, op);
        set_up();
        core_ready_ = true;
        if (!load_in_flight_) load_page(QString(), true);
        return op;
    }
    run_script(script, op);
    return op;
}

// A script still running when the page goes gets its callback then, with no value.
void WebView2::run_script(const QString& script, AsyncOperation<QString> op) {
    page()->runJavaScript(script, [op](const QVariant& result) { op.Complete(json_text(result)); });
}

AsyncOperation<bool> WebView2::PrintToPdfAsync(const QString& path, const PrintSettings& settings) {
    set_up();
    AsyncOperation<bool> op;
    printing_.emplace(path, op);
    prints_under_way().started(page());
    const QPageLayout layout(QPageSize(QSizeF(settings.PageWidth, settings.PageHeight), QPageSize::Inch, QString(), QPageSize::ExactMatch),
                             QPageLayout::Portrait,
                             QMarginsF(settings.MarginLeft, settings.MarginTop, settings.MarginRight, settings.MarginBottom),
                             QPageLayout::Inch);
    page()->printToPdf(path, layout);
    return op;
}

AsyncAction WebView2::PrintsEnded() {
    if (printing_.empty()) return AsyncAction::Completed(Unit{});
    AsyncAction ended;
    prints_ended_.push_back(ended);
    return ended;
}

bool WebView2::AnyPrinting() {
    return prints_under_way().any();
}

AsyncAction WebView2::AllPrintsEnded() {
    return prints_under_way().all_ended();
}

std::size_t WebView2::KeptPages() {
    return prints_under_way().kept();
}

void WebView2::DeleteKeptPages() {
    prints_under_way().delete_kept();
}

void WebView2::PostWebMessageAsJson(const QString& json) {
    set_up();
    emit bridge_->message(json);
}

}  // namespace ui

#include "WebView2.moc"
