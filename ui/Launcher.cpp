#include "ui/Launcher.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QUrl>

namespace ui {

namespace {

std::function<bool(const QString&)> launch_recorder;
std::function<void(int)> exit_recorder;

}  // namespace

bool Launcher::LaunchFile(const QString& path) {
    if (launch_recorder) return launch_recorder(path);
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void Launcher::SetRecorder(std::function<bool(const QString&)> recorder) {
    launch_recorder = std::move(recorder);
}

void ExitProcess(int code) {
    if (exit_recorder) {
        exit_recorder(code);
        return;
    }
    QCoreApplication::exit(code);
}

void SetExitRecorder(std::function<void(int)> recorder) {
    exit_recorder = std::move(recorder);
}

}  // namespace ui
