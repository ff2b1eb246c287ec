// The application object of the user interface: what must happen before and right after Qt's
// application object is made, and the way termination signals reach the UI thread.
#pragma once

#include <functional>
#include <memory>

class QApplication;
class QSocketNotifier;

namespace ui {

class Application {
public:
    Application(int& argc, char** argv);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    int Exec();
    // The end of the program, once its event loop has ended and before this object goes: the windows
    // left are deleted, and the pages they kept for prints to PDF are given the time to finish (the
    // event loop running, `print_limit_ms` at most). A print still under way then ends with the
    // process, which leaves at once with `exit_code`. No web page outlives the browser engine.
    static void Finish(int exit_code = 0, int print_limit_ms = 10000);

    // Runs on the UI thread (after the signal handler has returned) when the process receives
    // SIGTERM or SIGINT. Without a handler the event loop ends.
    static void OnTerminationRequested(std::function<void()> handler);

private:
    std::unique_ptr<QApplication> app_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace ui
