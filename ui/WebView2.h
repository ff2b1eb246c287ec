// A web view for the program's own pages. Pages given as text are served through a URL scheme of
// the program (no size limit). A script added when each document is created gives the page
// window.chrome.webview: postMessage(value) reaches the host as JSON text, addEventListener('message')
// receives what the host posts.
#pragma once

#include "ui/Action.h"
#include "ui/DragDrop.h"
#include "ui/Event.h"

#include <QUrl>
#include <QVariant>
#include <QWebEngineView>

#include <map>
#include <vector>

class QWebChannel;
class QWebEngineLoadingInfo;
class QWebEngineNewWindowRequest;

namespace ui {

class WebView2;
class WebBridge;

// Registers the program's URL scheme; must run before the application object is made.
void RegisterWebSchemes();

class NavigationCompletedEventArgs {
public:
    explicit NavigationCompletedEventArgs(bool success) : success_(success) {}
    bool IsSuccess() const { return success_; }

private:
    bool success_;
};

class WebMessageReceivedEventArgs {
public:
    explicit WebMessageReceivedEventArgs(QString json, QUrl source = QUrl(), QString relayed_origin = QString())
        : json_(std::move(json)), source_(std::move(source)), relayed_origin_(std::move(relayed_origin)) {}
    // The posted value as JSON text (a posted string arrives in double quotes).
    QString WebMessageAsJson() const { return json_; }
    // The address of the document that posted the message.
    QUrl Source() const { return source_; }
    // When the page posted while handling a window message (one sent to it by another window or
    // frame), that message's origin as the browser gave it ("scheme://host[:port]"); else empty.
    QString RelayedOrigin() const { return relayed_origin_; }

private:
    QString json_;
    QUrl source_;
    QString relayed_origin_;
};

// Where a window that a page opens goes: into NewWindow's view when it is set, else nowhere.
class NewWindowRequestedEventArgs {
public:
    explicit NewWindowRequestedEventArgs(QUrl uri) : uri_(std::move(uri)) {}
    QUrl Uri() const { return uri_; }
    WebView2* NewWindow() const { return new_window_; }
    void NewWindow(WebView2* view) { new_window_ = view; }
    bool Handled() const { return handled_; }
    void Handled(bool value) { handled_ = value; }

private:
    QUrl uri_;
    WebView2* new_window_ = nullptr;
    bool handled_ = false;
};

// Page layout of a PDF, lengths in inches.
class PrintSettings {
public:
    PrintSettings() = default;
    double MarginTop = 0.4, MarginBottom = 0.4, MarginLeft = 0.4, MarginRight = 0.4;
    double PageWidth = 8.5, PageHeight = 11.0;
    bool ShouldPrintBackgrounds = true;
    bool ShouldPrintHeaderAndFooter = false;
};

class WebView2 : public QWebEngineView {
    Q_OBJECT
public:
    explicit WebView2(QWidget* parent = nullptr);
    ~WebView2() override;

    // Prepares the view (bridge, scripts). Its first document is an empty one, loaded when a script
    // needs it, unless a page comes first.
    AsyncAction EnsureCoreWebView2Async();
    // True once the view is prepared.
    bool IsLoaded() const { return core_ready_; }
    void NavigateToString(const QString& html);
    // Navigates to `uri`; a PDF file is shown in the browser's own PDF viewer.
    // Source is the address last asked for, also while it is still loading.
    QUrl Source() const { return requested_url_; }
    void Source(const QUrl& uri);
    // Runs `script` in the current document; the result is its value as JSON text ("null" for
    // none). A script given before the first document has loaded waits for it.
    AsyncOperation<QString> ExecuteScriptAsync(const QString& script);
    // Writes the current document to `path` as PDF; the result tells whether the file was written.
    AsyncOperation<bool> PrintToPdfAsync(const QString& path, const PrintSettings& settings);
    // Completes once no print of this view runs any more (at once when none does), or when the view
    // goes. A view may go while it prints: its page stays until the print has ended.
    AsyncAction PrintsEnded();
    bool Printing() const { return !printing_.empty(); }
    // The prints of every view of the program, those of views that went while printing included.
    static bool AnyPrinting();
    // Completes once no print of the program runs any more (at once when none does).
    static AsyncAction AllPrintsEnded();
    // Pages of views that went while printing, still there (printing, or about to be deleted).
    static std::size_t KeptPages();
    // Deletes the kept pages that are still there: the last step before the browser engine goes,
    // once their prints have had their time.
    static void DeleteKeptPages();
    // Delivers `json` to the page's window.chrome.webview 'message' listeners.
    void PostWebMessageAsJson(const QString& json);

    QVariant Tag() const { return tag_; }
    void Tag(const QVariant& value) { tag_ = value; }

    // Fires once, after the view is first shown.
    Event<QObject*> Loaded;
    // Real navigations only: the empty document of the preparation and document.write do not count.
    Event<WebView2*, NavigationCompletedEventArgs> NavigationCompleted;
    Event<WebView2*, WebMessageReceivedEventArgs> WebMessageReceived;
    Event<WebView2*, NewWindowRequestedEventArgs&> NewWindowRequested;
    // Drags over the view and drops on it. While any handler is added the view takes drops itself
    // (the page never sees them): a drop is possible where a DragEnter/DragOver handler accepts one.
    Event<QObject*, DragEventArgs&> DragEnter;
    Event<QObject*, DragEventArgs&> DragOver;
    Event<QObject*, DragEventArgs&> Drop;

protected:
    void showEvent(QShowEvent* event) override;
    void childEvent(QChildEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    friend class WebBridge;
    void set_up();
    void load_page(const QString& html, bool preparation);
    void on_loading_changed(const QWebEngineLoadingInfo& info);
    void on_new_window(QWebEngineNewWindowRequest& request);
    void on_message(const QString& json, const QUrl& source, const QString& relayed_origin);
    void run_script(const QString& script, AsyncOperation<QString> op);
    // Handles a drag event for the drop handlers: false when there are none (the page takes it).
    bool handle_drag(QEvent* event);

    int id_;
    int page_number_ = 0;
    bool set_up_ = false;
    bool core_ready_ = false;
    bool document_ready_ = false;
    bool load_in_flight_ = false;
    bool loaded_fired_ = false;
    bool hidden_for_new_window_ = false;
    QUrl preparation_url_;
    QUrl requested_url_;
    QWebChannel* channel_ = nullptr;
    WebBridge* bridge_ = nullptr;
    QVariant tag_;
    std::vector<std::pair<QString, AsyncOperation<QString>>> queued_scripts_;
    std::multimap<QString, AsyncOperation<bool>> printing_;
    std::vector<AsyncAction> prints_ended_;
};

}  // namespace ui
