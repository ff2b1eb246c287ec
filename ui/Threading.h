// Background work and the way back to the UI thread.
#pragma once

#include <QPointer>

#include <atomic>
#include <functional>

class QObject;

namespace ui {

// Work items of the program. They run on a pool of their own, so that the program can wait for
// exactly its own work before it closes the database under it.
class ThreadPool {
public:
    // Starts `work` on a pool thread and returns at once. An exception leaving `work` is written to
    // standard error and dropped.
    static void RunAsync(std::function<void()> work);
    // Blocks until every work item started so far has ended. Called on the UI thread before the
    // database is closed; the work items never wait for the UI thread, so this cannot deadlock.
    static void WaitForIdle();
    // Work items running or waiting to run.
    static int ActiveCount();
};

enum class DispatcherQueuePriority { Low, Normal, High };

// The event queue of a thread with an event loop: the UI thread.
class DispatcherQueue {
public:
    DispatcherQueue() = default;
    // The queue of the calling thread; a null queue on a thread without one (a pool thread).
    static DispatcherQueue GetForCurrentThread();

    explicit operator bool() const { return !target_.isNull(); }

    // Posts `handler` to run later on the queue's thread. False when the queue is gone or null.
    bool TryEnqueue(std::function<void()> handler) const;
    bool TryEnqueue(DispatcherQueuePriority priority, std::function<void()> handler) const;

private:
    explicit DispatcherQueue(QObject* target) : target_(target) {}
    QPointer<QObject> target_;
};

}  // namespace ui

namespace ui {

// Posts `step` to `queue` exactly once: when post() is first called (from a completion), or else when
// the object goes, as a work item ends without its completion having been called, or with an error.
// So a step that the UI waits for (a progress dialog's end, say) always comes.
class PostOnce {
public:
    PostOnce(DispatcherQueue queue, std::function<void()> step) : queue_(std::move(queue)), step_(std::move(step)) {}
    ~PostOnce() { post(); }
    PostOnce(const PostOnce&) = delete;
    PostOnce& operator=(const PostOnce&) = delete;
    void post() {
        if (posted_.exchange(true)) return;
        queue_.TryEnqueue(DispatcherQueuePriority::Normal, std::move(step_));
    }

private:
    DispatcherQueue queue_;
    std::function<void()> step_;
    std::atomic<bool> posted_{false};
};

}  // namespace ui
