#include "tests/web/web_harness.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineView>

#include <clocale>

namespace web {

namespace {

// The host object as the page sees it: postMessage sends the message as JSON text; messages posted
// before the channel is up wait for it.
const char* const kBridgeScript = R"JS(
(function () {
    var pending = [];
    var host = null;
    window.chrome = window.chrome || {};
    window.chrome.webview = {
        postMessage: function (message) {
            var text = JSON.stringify(message);
            if (host) host.postMessage(text); else pending.push(text);
        },
        addEventListener: function () {}
    };
    function connect() {
        new QWebChannel(qt.webChannelTransport, function (channel) {
            host = channel.objects.host;
            pending.forEach(function (text) { host.postMessage(text); });
            pending = [];
            window.__hostBridgeReady = true;
        });
    }
    if (typeof qt !== 'undefined' && qt.webChannelTransport) connect();
    else document.addEventListener('DOMContentLoaded', connect);
})();
)JS";

QString bridge_source() {
    QFile library(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    if (!library.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(library.readAll()) + QString::fromUtf8(kBridgeScript);
}

}  // namespace

void register_page_scheme() {
    QWebEngineUrlScheme scheme(kScheme);
    scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
    scheme.setFlags(QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::LocalScheme |
                    QWebEngineUrlScheme::LocalAccessAllowed);
    QWebEngineUrlScheme::registerScheme(scheme);
}

int run_tests(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    register_page_scheme();
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    // Qt took the number format from the environment; the core writes numbers in the C locale.
    std::setlocale(LC_NUMERIC, "C");
    return RUN_ALL_TESTS();
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limit.count()) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void PageServer::requestStarted(QWebEngineUrlRequestJob* job) {
    auto found = pages_.find(job->requestUrl().path());
    if (found == pages_.end()) {
        job->fail(QWebEngineUrlRequestJob::UrlNotFound);
        return;
    }
    auto* body = new QBuffer(job);
    body->setData(found->second);
    body->open(QIODevice::ReadOnly);
    job->reply("text/html;charset=utf-8", body);
}

WebHarness::WebHarness()
    : profile_(std::make_unique<QWebEngineProfile>()),
      server_(std::make_unique<PageServer>()),
      bridge_(std::make_unique<HostBridge>()),
      channel_(std::make_unique<QWebChannel>()),
      view_(std::make_unique<QWebEngineView>()) {
    profile_->installUrlSchemeHandler(kScheme, server_.get());

    QWebEngineScript bridge;
    bridge.setName(QStringLiteral("host-bridge"));
    bridge.setSourceCode(bridge_source());
    bridge.setInjectionPoint(QWebEngineScript::DocumentCreation);
    bridge.setWorldId(QWebEngineScript::MainWorld);
    bridge.setRunsOnSubFrames(false);
    profile_->scripts()->insert(bridge);

    page_ = new QWebEnginePage(profile_.get(), view_.get());
    channel_->registerObject(QStringLiteral("host"), bridge_.get());
    page_->setWebChannel(channel_.get());
    QObject::connect(page_, &QWebEnginePage::loadFinished, [this](bool) { ++loads_; });
    view_->setPage(page_);
    view_->resize(1024, 768);
    view_->show();
}

WebHarness::~WebHarness() {
    // The page goes before its profile.
    view_.reset();
    channel_.reset();
    profile_.reset();
}

bool WebHarness::load(const std::string& html) {
    const QString path = QStringLiteral("/page%1.html").arg(loads_);
    server_->put(path, QByteArray::fromStdString(html));
    const int before = loads_;
    page_->load(QUrl(QString::fromLatin1(kScheme) + QStringLiteral(":") + path));
    if (!wait_until([&] { return loads_ > before; })) return false;
    return wait_until([&] { return run(QStringLiteral("window.__hostBridgeReady === true")).toBool(); });
}

QVariant WebHarness::run(const QString& script) {
    // Shared with the callback, which may still come after the wait gave up.
    auto answer = std::make_shared<std::pair<bool, QVariant>>(false, QVariant());
    page_->runJavaScript(script, QWebEngineScript::MainWorld, [answer](const QVariant& value) {
        answer->second = value;
        answer->first = true;
    });
    if (!wait_until([&] { return answer->first; })) return {};
    return answer->second;
}

bool WebHarness::wait_for_messages(int count) {
    return wait_until([&] { return bridge_->messages.size() >= count; });
}

bool WebHarness::print_to_pdf(const QString& path, const QPageLayout& layout) {
    auto result = std::make_shared<std::pair<bool, bool>>(false, false);  // finished, success
    const auto connection = QObject::connect(page_, &QWebEnginePage::pdfPrintingFinished,
                                             [result, path](const QString& file, bool success) {
                                                 if (file != path) return;
                                                 result->first = true;
                                                 result->second = success;
                                             });
    page_->printToPdf(path, layout);
    const bool finished = wait_until([&] { return result->first; }, std::chrono::seconds(60));
    QObject::disconnect(connection);
    return finished && result->second;
}

}  // namespace web
