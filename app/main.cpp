// The program: the user interface's application object, the start-up, the event loop, and a clean
// end (running work waited for and the database closed) however the window was closed.
#include "app/App.h"

#include "core/Core.h"
#include "ui/Application.h"

int main(int argc, char** argv) {
    ui::Application application(argc, argv);

    Tavrin::App app;
    app.OnLaunched();
    const int code = application.Exec();

    if (g_core) {
        ui::ThreadPool::WaitForIdle();
        delete g_core;
        g_core = nullptr;
    }
    delete g_main_window.data();
    ui::Application::Finish(code);
    return code;
}
