#include "ui/Threading.h"
#include "ui/Action.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>
#include <exception>

namespace ui {

namespace {

QThreadPool& pool() {
    // Never destroyed: pool threads may still be ending while static objects go away.
    static QThreadPool* instance = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(8);
        p->setExpiryTimeout(30000);
        return p;
    }();
    return *instance;
}

// The application object lives on the UI thread: queued calls addressed to it run there.
QObject* ui_target() {
    return QCoreApplication::instance();
}

void report(const char* where, std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Tavrin: %s ended with an error: %s\n", where, e.what());
    } catch (...) {
        std::fprintf(stderr, "Tavrin: %s ended with an error\n", where);
    }
}

}  // namespace

void ThreadPool::RunAsync(std::function<void()> work) {
    pool().start([work = std::move(work)] {
        try {
            work();
        } catch (...) {
            report("a background work item", std::current_exception());
        }
    });
}

void ThreadPool::WaitForIdle() {
    pool().waitForDone(-1);
}

int ThreadPool::ActiveCount() {
    return pool().activeThreadCount();
}

AsyncAction Delay(int milliseconds) {
    AsyncAction op;
    QTimer::singleShot(milliseconds, ui_target(), [op] { op.Complete(Unit{}); });
    return op;
}

DispatcherQueue DispatcherQueue::GetForCurrentThread() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) return DispatcherQueue();
    return DispatcherQueue(ui_target());
}

bool DispatcherQueue::TryEnqueue(std::function<void()> handler) const {
    return TryEnqueue(DispatcherQueuePriority::Normal, std::move(handler));
}

bool DispatcherQueue::TryEnqueue(DispatcherQueuePriority, std::function<void()> handler) const {
    QObject* target = target_.data();
    if (!target) return false;
    return QMetaObject::invokeMethod(target, std::move(handler), Qt::QueuedConnection);
}

// --- coroutine support ----------------------------------------------------------------------

void post_to_ui(std::function<void()> work) {
    QObject* target = ui_target();
    if (target) QMetaObject::invokeMethod(target, std::move(work), Qt::QueuedConnection);
}

void Action::promise_type::unhandled_exception() noexcept {
    report("a user interface action", std::current_exception());
}

void BackgroundAwaiter::await_suspend(std::coroutine_handle<> handle) const {
    ThreadPool::RunAsync([handle] { handle.resume(); });
}

ForegroundAwaiter::ForegroundAwaiter(const DispatcherQueue& queue) : queue_(std::make_unique<DispatcherQueue>(queue)) {}
ForegroundAwaiter::ForegroundAwaiter(const ForegroundAwaiter& other)
    : queue_(std::make_unique<DispatcherQueue>(*other.queue_)) {}
ForegroundAwaiter::~ForegroundAwaiter() = default;

bool ForegroundAwaiter::await_suspend(std::coroutine_handle<> handle) const {
    // A queue that is gone cannot take the coroutine: it goes on where it is.
    return queue_->TryEnqueue([handle] { handle.resume(); });
}

BackgroundAwaiter resume_background() {
    return BackgroundAwaiter();
}

ForegroundAwaiter resume_foreground(const DispatcherQueue& queue) {
    return ForegroundAwaiter(queue);
}

}  // namespace ui
