#include "ui/Application.h"
#include "ui/Action.h"
#include "ui/WebView2.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QPointer>
#include <QWidget>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ui {

namespace {

int signal_fds[2] = {-1, -1};
std::function<void()> termination_handler;

void on_signal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(signal_fds[0], &byte, 1);
    errno = saved;
}

// The browser engine reports its start-up (GL surface, init parameters, the sandbox) and logs its own
// errors on the terminal. That is for those who ask for it: QT_LOGGING_RULES overrides the filter set
// here, and a log level in QTWEBENGINE_CHROMIUM_FLAGS is left as the user gave it.
void quiet_browser_engine() {
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false\ndefault.info=false"));
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (flags.contains("--log-level") || flags.contains("--enable-logging")) return;
    if (!flags.isEmpty()) flags += ' ';
    flags += "--log-level=3";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
}

// Windows still open, or left to a deletion the ended event loop never ran, go while the browser
// engine is still up: a web page outliving the engine crashes the process on its way out.
void delete_windows() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QList<QPointer<QWidget>> windows;
    for (QWidget* window : QApplication::topLevelWidgets()) windows.append(window);
    for (const QPointer<QWidget>& window : windows) delete window.data();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Runs the event loop until the pages kept for prints have gone (each once its prints have ended),
// for `limit_ms` at most.
void wait_for_kept_pages(int limit_ms) {
    if (WebView2::KeptPages() == 0) return;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&loop] {
        if (WebView2::KeptPages() == 0) loop.quit();
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start();
    limit.start(limit_ms);
    loop.exec();
}

}  // namespace

Application::Application(int& argc, char** argv) {
    quiet_browser_engine();
    RegisterWebSchemes();
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The browser engine's sandbox refuses to start for root (containers, CI).
    if (geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setApplicationName("Tavrin");
    QGuiApplication::setDesktopFileName("tavrin");
    app_ = std::make_unique<QApplication>(argc, argv);
    // Qt has set the C library's locale from the environment; numbers are written and read in "C".
    std::setlocale(LC_NUMERIC, "C");

    // Termination signals go through a socket pair to the event loop, so that the windows close
    // the ordinary way and the database is closed cleanly.
    if (signal_fds[0] < 0 && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signal_fds) == 0) {
        fcntl(signal_fds[0], F_SETFL, O_NONBLOCK);
        fcntl(signal_fds[1], F_SETFL, O_NONBLOCK);
    }
    if (signal_fds[1] >= 0) {
        notifier_ = new QSocketNotifier(signal_fds[1], QSocketNotifier::Read, app_.get());
        QObject::connect(notifier_, &QSocketNotifier::activated, app_.get(), [] {
            char buffer[16];
            while (read(signal_fds[1], buffer, sizeof buffer) > 0) {
            }
            post_to_ui([] {
                if (termination_handler)
                    termination_handler();
                else
                    QCoreApplication::quit();
            });
        });
        struct sigaction action = {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
}

Application::~Application() {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    termination_handler = nullptr;

    // Without Finish (an early return), or after it: nothing waits here, whatever is left goes.
    delete_windows();
    WebView2::DeleteKeptPages();
}

int Application::Exec() {
    return app_->exec();
}

void Application::Finish(int exit_code, int print_limit_ms) {
    delete_windows();
    wait_for_kept_pages(print_limit_ms);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // A page is never deleted while it prints (the engine crashes when the print ends), nor left to
    // the engine's end: a print still under way ends with the process, here. The database is closed.
    if (WebView2::KeptPages() > 0) {
        std::fflush(nullptr);
        std::_Exit(exit_code);
    }
}

void Application::OnTerminationRequested(std::function<void()> handler) {
    termination_handler = std::move(handler);
}

}  // namespace ui
