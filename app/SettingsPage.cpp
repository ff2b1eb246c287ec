#include "app/SettingsPage.h"

#include <QVBoxLayout>

namespace Tavrin {

SettingsPage::SettingsPage(QWidget* parent) : QWidget(parent) {
    new QVBoxLayout(this);
}

// The sections of the page come with the settings editor; until then the page is empty.
void SettingsPage::BuildSettingsList() {}

}  // namespace Tavrin
