// Coroutines of the user interface: the fire-and-forget handler type and the awaitable results of
// asynchronous platform operations. A suspended handler is always resumed on the UI thread by a
// queued call, never from inside the signal or callback that completed the operation.
#pragma once

// Qt's moc cannot parse the standard library's concepts; nothing here concerns it.
#ifndef Q_MOC_RUN

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

namespace ui {

// Posts `work` to the UI thread's event loop (a queued call). Safe from any thread.
void post_to_ui(std::function<void()> work);

// An eagerly started coroutine that nobody awaits. An exception that leaves it ends that run only:
// it is written to standard error and dropped, as a platform error in an unawaited action is.
class Action {
public:
    struct promise_type {
        Action get_return_object() noexcept { return Action(); }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept;
    };
};

struct Unit {};

// The result of an asynchronous operation: it is started when made and completes once, on any
// thread. It may be awaited (once) or ignored. Copies share the one state. Not an aggregate, on
// purpose: g++ 12 miscompiles co_await of aggregate temporaries that hold a std::string.
template <class T>
class AsyncOperation {
public:
    AsyncOperation() : state_(std::make_shared<State>()) {}

    // A finished operation.
    static AsyncOperation Completed(T value) {
        AsyncOperation op;
        op.Complete(std::move(value));
        return op;
    }

    // The first completion wins; later ones are ignored.
    void Complete(T value) const { finish(std::move(value), nullptr); }
    void Fail(std::exception_ptr error) const { finish(std::nullopt, std::move(error)); }

    bool IsDone() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->done;
    }
    // The value of a finished operation (rethrows its error).
    T GetResults() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->done) throw std::logic_error("the operation has not finished");
        if (state_->error) std::rethrow_exception(state_->error);
        return *state_->value;
    }

    bool await_ready() const noexcept { return IsDone(); }
    bool await_suspend(std::coroutine_handle<> handle) const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->done) return false;
        state_->waiter = handle;
        return true;
    }
    T await_resume() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->error) std::rethrow_exception(state_->error);
        return std::move(*state_->value);
    }

private:
    struct State {
        std::mutex mutex;
        bool done = false;
        std::optional<T> value;
        std::exception_ptr error;
        std::coroutine_handle<> waiter;
    };

    void finish(std::optional<T> value, std::exception_ptr error) const {
        std::coroutine_handle<> waiter;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            if (state_->done) return;
            state_->done = true;
            state_->value = std::move(value);
            state_->error = std::move(error);
            waiter = std::exchange(state_->waiter, nullptr);
        }
        if (waiter) post_to_ui([waiter] { waiter.resume(); });
    }

    std::shared_ptr<State> state_;
};

using AsyncAction = AsyncOperation<Unit>;

class DispatcherQueue;

// Awaiters of a change of thread; made by the functions below.
class BackgroundAwaiter {
public:
    BackgroundAwaiter() = default;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const;
    void await_resume() const noexcept {}
};

class ForegroundAwaiter {
public:
    explicit ForegroundAwaiter(const DispatcherQueue& queue);
    ForegroundAwaiter(const ForegroundAwaiter&);
    ~ForegroundAwaiter();
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> handle) const;
    void await_resume() const noexcept {}

private:
    std::unique_ptr<DispatcherQueue> queue_;
};

// Completes after `milliseconds`, the event loop running meanwhile (UI thread only).
AsyncAction Delay(int milliseconds);

// Continues the coroutine on a thread-pool thread.
BackgroundAwaiter resume_background();
// Continues the coroutine on the thread of `queue` (the UI thread).
ForegroundAwaiter resume_foreground(const DispatcherQueue& queue);

}  // namespace ui

#endif  // Q_MOC_RUN
