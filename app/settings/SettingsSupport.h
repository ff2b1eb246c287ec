// Helpers shared by the settings page and its editors: texts, the stacked editor panels, reading
// controls back by position, row texts of the lists and the one settings-row write.
#pragma once

#include "json11/json11.hpp"
#include "ui/Controls.h"
#include "ui/ContentDialog.h"
#include "ui/Inputs.h"

#include <QWidget>

#include <string>

namespace Tavrin::settings {

// The text of a translation key with no argument.
QString caption(const std::string& key);

// A vertical stack whose controls each sit 24 pixels below the one before (the first below the top).
ui::Panel* new_stack();
// The controls of a stack, or of any widget with a box layout, in their order.
int child_count(QWidget* panel);
QWidget* child_at(QWidget* panel, int index);
template <class T>
T* child_as(QWidget* panel, int index) {
    return qobject_cast<T*>(child_at(panel, index));
}

// A single-line text box with a caption.
ui::TextBox* text_box(const QString& header, const std::string& text);
std::string text_of(const ui::TextBox* box);

// Writes the settings row `key` with `value`, marked for the next upload.
bool write_setting(const std::string& key, const json11::Json& value);

// Closes a progress dialog, or drops it when it was never shown.
void finish_progress(ui::ContentDialog* progress);
// Turns a progress dialog into a message with an OK button (shown again when it was closed meanwhile).
void progress_result(ui::ContentDialog* progress, const std::string& message);

// Why an account change did not reach the cloud, from what the zone service reported: not signed in,
// refused (with the cloud's code), an unexpected answer, or no answer at all.
std::string cloud_failure_text(const json11::Json& failure);

// Row texts of the page's lists: "code - name" for countries and languages, and for currencies the
// code with the sample amount in line and in total rounding.
std::string country_row(const std::string& code);
std::string language_row(const std::string& code);
std::string currency_row(const std::string& code);
// The first blank-separated word of a text.
std::string first_word(const std::string& text);

}  // namespace Tavrin::settings
