// The start views and the cloud sign-in: the web views' set-up, the cloud settings fetch and the
// sign-in page's messages.
#include "app/MainWindow.h"

#include "core/Core.h"
#include "ui/ContentDialog.h"

#include <optional>

#include <QUrl>

using json11::Json;

namespace Tavrin {

namespace {

// The origin of an address as a browser writes it: "scheme://host", with ":port" when the port is
// not the scheme's own.
QString origin_of(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty()) return QString();
    const QString scheme = url.scheme().toLower();
    QString origin = scheme + "://" + url.host().toLower();
    const int port = url.port();
    if (port != -1 && !(scheme == "http" && port == 80) && !(scheme == "https" && port == 443))
        origin += ":" + QString::number(port);
    return origin;
}

// The cloud settings fetch, on a pool thread. It opens the current account's database first.
void cloud_settings_work_item(ui::DispatcherQueue queue, QPointer<MainWindow> window) {
    Core* core = g_core;
    if (!core) return;
    core->fetch_cloud_settings([queue, window](Json reply) {
        queue.TryEnqueue(ui::DispatcherQueuePriority::Normal, [window, reply = std::move(reply)] {
            if (window) window->OnCloudSettings(reply);
        });
    });
}

// An account file that the open at the fetch's start found damaged and set aside: the user is told
// once. While another dialog is open, the message waits for it to close.
void show_damaged_file_message(QPointer<MainWindow> window) {
    if (!g_core || !window) return;
    if (ui::ContentDialog* open = ui::ContentDialog::Current()) {
        open->Closed.Add(window.data(), [window](ui::ContentDialog*, ui::ContentDialogClosedEventArgs) {
            show_damaged_file_message(window);
        });
        return;
    }
    const std::optional<Core::DamagedFile> found = g_core->take_damaged_file();
    if (!found) return;
    auto* dialog = new ui::ContentDialog(window.data());
    dialog->XamlRoot(window.data());
    dialog->Content(ui::qs(g_core->damaged_file_message(*found)));
    dialog->CloseButtonText(ui::qs(g_core->translated("ok", "")));
    dialog->DefaultButton(ui::ContentDialogButton::Close);
    dialog->Closed.Add([dialog](ui::ContentDialog*, ui::ContentDialogClosedEventArgs) { dialog->deleteLater(); });
    dialog->ShowAsync();
}

}  // namespace

ui::Action MainWindow::OnWebViewLoaded(QObject*) {
    QPointer<MainWindow> self(this);
    co_await startWebView->EnsureCoreWebView2Async();
    if (!self) co_return;
    co_await popupWebView->EnsureCoreWebView2Async();
    if (!self) co_return;
    startWebView->NewWindowRequested.Add(this, [this](ui::WebView2* sender, ui::NewWindowRequestedEventArgs& args) {
        OnNewWindowRequested(sender, args);
    });
    SetupWebView();
}

void MainWindow::OnNewWindowRequested(ui::WebView2*, ui::NewWindowRequestedEventArgs& args) {
    args.NewWindow(popupWebView);
    args.Handled(true);
}

ui::Action MainWindow::SetupWebView() {
    if (setup_running_) {
        setup_again_ = true;
        co_return;
    }
    setup_running_ = true;
    QPointer<MainWindow> self(this);
    ui::SetVisibility(navigationView, ui::Visibility::Collapsed);
    busyIndicator->IsActive(true);
    try {
        co_await print_view->EnsureCoreWebView2Async();
    } catch (...) {
        if (self) self->setup_running_ = false;
        throw;
    }
    if (!self) co_return;
    if (print_hook_ == 0)
        print_hook_ = print_view->NavigationCompleted.Add(
            this, [this](ui::WebView2* sender, ui::NavigationCompletedEventArgs args) { OnPrintNavigationCompleted(sender, args); });
    if (!g_core) {
        setup_running_ = false;
        co_return;
    }
    ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    ui::ThreadPool::RunAsync([queue, self] { cloud_settings_work_item(queue, self); });
}

void MainWindow::OnCloudSettings(Json reply) {
    setup_running_ = false;
    if (!g_core) return;
    busyIndicator->IsActive(false);
    if (reply["serverErrorCode"].string_value() == "AUTHENTICATION_REQUIRED") {
        const std::string signin_url = reply["redirectURL"].string_value();
        sign_in_origin_ = origin_of(QUrl(ui::qs(signin_url)));
        startWebView->NavigateToString(ui::qs(g_core->cloudkit_signin_page(signin_url)));
    } else {
        popupWebView->NavigateToString(QString());
        FillAccountsMenu();
        ui::SetVisibility(navigationView, ui::Visibility::Visible);
        navigationView->SelectedItem(navigationView->MenuItems().GetAt(3));
    }
    show_damaged_file_message(this);
    if (setup_again_) {
        setup_again_ = false;
        SetupWebView();
    }
}

bool MainWindow::IsCloudOrigin(const QString& origin) const {
    if (origin.isEmpty()) return false;
    return origin == origin_of(QUrl(ui::qs(endpoint_config().cloud_url))) || origin == sign_in_origin_;
}

// The sign-in page hands on every window message that reaches it, whoever sent it: only one sent by
// the cloud's own pages (the configured cloud address or the sign-in address it gave) is a token.
void MainWindow::OnSignInMessage(ui::WebView2*, ui::WebMessageReceivedEventArgs args) {
    if (!g_core) return;
    if (!IsCloudOrigin(args.RelayedOrigin())) return;
    g_core->save_web_auth_token(ui::utf8(args.WebMessageAsJson()));
    SetupWebView();
}
}  // namespace Tavrin
