// The settings editor page, shown in the main window in place of the list.
#pragma once

#include <QWidget>

namespace Tavrin {

class SettingsPage : public QWidget {
    Q_OBJECT
public:
    explicit SettingsPage(QWidget* parent = nullptr);
    // Fills the page's lists from the current settings.
    void BuildSettingsList();
};

}  // namespace Tavrin
