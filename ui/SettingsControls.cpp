#include "ui/SettingsControls.h"

#include <QDesktopServices>
#include <QUrl>

namespace ui {

namespace {

std::function<bool(const QString&)> uri_recorder;

}  // namespace

bool LaunchUriAsync(const QString& uri) {
    if (uri_recorder) return uri_recorder(uri);
    return QDesktopServices::openUrl(QUrl(uri));
}

void SetUriLaunchRecorder(std::function<bool(const QString&)> recorder) {
    uri_recorder = std::move(recorder);
}

}  // namespace ui
