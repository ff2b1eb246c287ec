// Starting files with the desktop's default program, and the end of the process.
#pragma once

#include <QString>

#include <functional>

namespace ui {

class Launcher {
public:
    // Opens `path` with the program the desktop associates with it. True when it was started.
    static bool LaunchFile(const QString& path);

    // Test seam: receives each launch instead of the desktop and says whether it started.
    static void SetRecorder(std::function<bool(const QString&)> recorder);
};

// Ends the event loop, so that the program returns `code` from main once its windows are closed.
void ExitProcess(int code);
// Test seam: receives the exit instead of the event loop.
void SetExitRecorder(std::function<void(int)> recorder);

}  // namespace ui
