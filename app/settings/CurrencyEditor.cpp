// How amounts of one currency are written: separators, line and total decimals, and where the symbol
// and the sign stand.
#include "app/settings/SettingsPage.h"

#include "app/settings/SettingsSupport.h"
#include "core/Core.h"

using json11::Json;

namespace Tavrin {

using settings::caption;

namespace {

ui::ComboBox* combo(const char* header_key) {
    auto* box = new ui::ComboBox;
    box->Header(caption(header_key));
    return box;
}

// Choices 0 to 4; a stored count outside them selects nothing.
ui::ComboBox* digits_combo(const char* header_key, const Json& stored) {
    ui::ComboBox* box = combo(header_key);
    for (int i = 0; i <= 4; ++i) box->Append(QString::number(i));
    box->SelectedIndex(stored.is_number() ? stored.int_value() : -1);
    if (stored.is_number() && stored.number_value() != stored.int_value()) box->SelectedIndex(-1);
    return box;
}

// One-character choices, quoted so that the blank can be seen; the Tag holds the character. A stored
// value that is not among them selects nothing.
ui::ComboBox* separator_combo(const char* header_key, const Json& choices, const Json& stored) {
    ui::ComboBox* box = combo(header_key);
    for (const Json& choice : choices.array_items()) {
        const QString text = ui::qs(choice.string_value());
        box->Append("\"" + text + "\"", text);
        if (stored.is_string() && choice == stored) box->SelectedIndex(box->Size() - 1);
    }
    return box;
}

}  // namespace

void SettingsPage::BuildCurrencyEditor(ui::ContentDialog* dialog, Json::object entry) {
    const Json stored(entry);
    const Json& constants = g_core->constants;
    ui::Panel* stack = settings::new_stack();

    stack->Append(separator_combo("decimal_point", constants["decimal_points"], stored["decimal_point"]));
    stack->Append(separator_combo("thousands_separator", constants["thousands_separators"], stored["thousands_sep"]));
    stack->Append(digits_combo("line_rounding", stored["digits_line"]));
    stack->Append(digits_combo("total_rounding", stored["digits_total"]));

    ui::ComboBox* format = combo("format");
    const QString symbol = ui::qs(stored["symbol"].string_value());
    for (const Json& picture : constants["curr_patterns_display"].array_items()) {
        format->Append(ui::qs(picture.string_value()).replace("S", symbol));
    }
    format->SelectedIndex(index_of(constants["curr_patterns"].array_items(), "", stored["pattern"].string_value()));
    stack->Append(format);

    const int row = currenciesList->SelectedIndex();
    dialog->Title(currenciesList->ContentAt(row));
    dialog->Content(stack);
}

void SettingsPage::SaveCurrency(const std::string& tag, ui::ContentDialog* dialog) {
    QWidget* stack = dialog->ContentWidget();
    ui::ComboBox* boxes[5];
    for (int i = 0; i < 5; ++i) {
        boxes[i] = settings::child_as<ui::ComboBox>(stack, i);
        if (!boxes[i]) return;
    }
    const int index = CheckedIndex(currenciesList, tag);
    if (index < 0) return;
    Json::array items = g_core->setting("currencies").array_items();
    Json::object entry = items[static_cast<std::size_t>(index)].object_items();

    // A box with nothing selected (a stored value that is not among its choices) keeps that value.
    if (boxes[0]->SelectedIndex() >= 0) entry["decimal_point"] = ui::TagText(boxes[0]->SelectedTag());
    if (boxes[1]->SelectedIndex() >= 0) entry["thousands_sep"] = ui::TagText(boxes[1]->SelectedTag());
    if (boxes[2]->SelectedIndex() >= 0) entry["digits_line"] = boxes[2]->SelectedIndex();
    if (boxes[3]->SelectedIndex() >= 0) entry["digits_total"] = boxes[3]->SelectedIndex();
    const Json::array& patterns = g_core->constants["curr_patterns"].array_items();
    const int pattern = boxes[4]->SelectedIndex();
    if (pattern >= 0 && static_cast<std::size_t>(pattern) < patterns.size())
        entry["pattern"] = patterns[static_cast<std::size_t>(pattern)];

    items[static_cast<std::size_t>(index)] = entry;
    if (!settings::write_setting("currencies", items)) return;
    const std::string code = Json(entry)["code"].string_value();
    currenciesList->SetAt(index, ui::qs(settings::currency_row(code)), ui::qs(code));
}

}  // namespace Tavrin
