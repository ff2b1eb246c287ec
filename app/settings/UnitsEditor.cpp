// Quantity units: the user's own units can be renamed, the built-in ones only get another rounding.
#include "app/settings/SettingsPage.h"

#include "app/settings/SettingsSupport.h"
#include "core/Core.h"

using json11::Json;

namespace Tavrin {

using settings::caption;

void SettingsPage::BuildUnitsEditor(ui::ContentDialog* dialog, Json::object item) {
    const Json stored(item);
    ui::Panel* stack = settings::new_stack();
    ui::TextBox* name = settings::text_box(caption("name"), stored["name"].string_value());
    name->IsEnabled(stored["own"].int_value() == 1 || stored["id"].string_value().empty());
    stack->Append(name);

    auto* digits = new ui::ComboBox;
    digits->Header(caption("rounding"));
    for (int i = 0; i <= 4; ++i) digits->Append(QString::number(i));
    // A stored count outside 0 to 4 selects nothing.
    const Json& count = stored["digits"];
    digits->SelectedIndex(count.is_null() ? 0 : count.is_number() && count.number_value() == count.int_value() ? count.int_value() : -1);
    stack->Append(digits);

    dialog->Title(caption("units"));
    dialog->Content(stack);
}

}  // namespace Tavrin
