// What the settings page needs of the platform beyond the common controls: opening a web address in
// the user's browser.
#pragma once

#include <QString>

#include <functional>

namespace ui {

// Hands `uri` to the desktop's browser and returns at once; true when it was handed over. Nobody
// waits for the browser.
bool LaunchUriAsync(const QString& uri);
// Test seam: receives each address instead of the desktop and says whether it was opened.
void SetUriLaunchRecorder(std::function<bool(const QString&)> recorder);

}  // namespace ui
