// A headless web view for tests, set up as the program's list and document views are: pages are
// loaded through a custom URL scheme and a script injected at document creation gives them
// window.chrome.webview.postMessage over a QWebChannel, so the page's own script runs unchanged and
// its messages reach the test as JSON text.
#pragma once

#include <QByteArray>
#include <QPageLayout>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QWebEngineUrlSchemeHandler>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

class QWebChannel;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineUrlRequestJob;
class QWebEngineView;

namespace web {

// The scheme the harness serves its pages under.
inline constexpr const char* kScheme = "tavrin";

// Registers the page scheme; must run before the application object is made.
void register_page_scheme();

// The main of a web test program. GoogleTest reads its flags first; the application object is made
// only when tests are to run (test discovery lists them without one).
int run_tests(int argc, char** argv);

// Runs the event loop until `done` gives true or the time is up; returns the last answer of `done`.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30));

// The host end of the message bridge: what the page posts, in order.
class HostBridge : public QObject {
    Q_OBJECT
public:
    QStringList messages;
public slots:
    void postMessage(const QString& json) { messages.push_back(json); }
};

// Serves the pages put into it, by path, as UTF-8 HTML.
class PageServer : public QWebEngineUrlSchemeHandler {
    Q_OBJECT
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
    void put(const QString& path, const QByteArray& html) { pages_[path] = html; }
    void requestStarted(QWebEngineUrlRequestJob* job) override;

private:
    std::map<QString, QByteArray> pages_;
};

class WebHarness {
public:
    WebHarness();
    ~WebHarness();
    WebHarness(const WebHarness&) = delete;
    WebHarness& operator=(const WebHarness&) = delete;

    // Loads the page; true once it finished loading and its message bridge is connected.
    bool load(const std::string& html);
    // Runs a script in the page and waits for its result (an invalid value when none came in time).
    QVariant run(const QString& script);
    // Waits until at least `count` messages have arrived.
    bool wait_for_messages(int count);
    // Prints the loaded page to a PDF file with that page layout; true once the file is written.
    bool print_to_pdf(const QString& path, const QPageLayout& layout);
    const QStringList& messages() const { return bridge_->messages; }

    QWebEngineView& view() { return *view_; }
    QWebEnginePage& page() { return *page_; }

private:
    std::unique_ptr<QWebEngineProfile> profile_;
    std::unique_ptr<PageServer> server_;
    std::unique_ptr<HostBridge> bridge_;
    std::unique_ptr<QWebChannel> channel_;
    std::unique_ptr<QWebEngineView> view_;
    QWebEnginePage* page_ = nullptr;  // owned by the view
    int loads_ = 0;
};

}  // namespace web
