// Payment methods and payment terms, and the add-or-edit store step they share with the units.
#include "app/settings/SettingsPage.h"

#include "app/settings/SettingsSupport.h"
#include "core/Core.h"

#include <QLabel>

using json11::Json;

namespace Tavrin {

using settings::caption;

void SettingsPage::BuildPaymentEditor(ui::ContentDialog* dialog, Json::object item) {
    const Json stored(item);
    ui::Panel* stack = settings::new_stack();
    for (const char* key : {"name", "payment_name", "bank"})
        stack->Append(settings::text_box(caption(key), stored[key].string_value()));
    dialog->Title(caption("payment"));
    dialog->Content(stack);
}

void SettingsPage::BuildTermsEditor(ui::ContentDialog* dialog, Json::object item) {
    ui::Panel* stack = settings::new_stack();
    stack->Append(settings::text_box(caption("name"), Json(item)["name"].string_value()));
    auto* info = new ui::TextBlock;
    info->setWordWrap(true);
    info->Text(caption("terms_info"));
    stack->Append(info);
    dialog->Title(caption("terms"));
    dialog->Content(stack);
}

void SettingsPage::SaveListEntry(ui::ListView* list, bool edit, const std::string& tag, ui::ContentDialog* dialog) {
    QWidget* stack = dialog->ContentWidget();
    const std::string key = ListKey(list);
    Json::array items = g_core->setting(key).array_items();
    const std::string name = normalize_whitespace(settings::text_of(settings::child_as<ui::TextBox>(stack, 0)));
    if (name.empty()) return;

    int index = -1;
    std::string id;
    if (edit) {
        index = CheckedIndex(list, tag);
        if (index < 0) return;
        id = items[static_cast<std::size_t>(index)]["id"].string_value();
    } else {
        id = new_record_name();
        if (id.empty()) return;
    }

    Json::object entry{{"id", id}, {"name", name}};
    if (list == paymentsList) {
        entry["payment_name"] = normalize_whitespace(settings::text_of(settings::child_as<ui::TextBox>(stack, 1)));
        entry["bank"] = normalize_whitespace(settings::text_of(settings::child_as<ui::TextBox>(stack, 2)));
    } else if (list == unitsList) {
        const Json stored = edit ? items[static_cast<std::size_t>(index)] : Json();
        auto* digits = settings::child_as<ui::ComboBox>(stack, 1);
        const int chosen = digits ? digits->SelectedIndex() : -1;
        // No choice (a stored count outside 0 to 4): the stored count stays.
        entry["digits"] = chosen >= 0 ? Json(chosen) : edit ? stored["digits"] : Json(0);
        entry["own"] = edit ? stored["own"].int_value() : 1;
    }

    if (edit)
        items[static_cast<std::size_t>(index)] = entry;
    else
        items.push_back(entry);
    if (!settings::write_setting(key, items)) return;
    if (edit) {
        list->SetAt(index, ui::qs(name), ui::qs(id));
    } else {
        list->Append(ui::qs(name), ui::qs(id));
        ShowAddedRow(list, false);
    }
}

}  // namespace Tavrin
