// Numbering of each document type (prefix, number format and starting number) and the date format.
#include "app/settings/SettingsPage.h"

#include "app/settings/SettingsSupport.h"
#include "core/Core.h"

#include <algorithm>
#include <climits>
#include <cmath>

using json11::Json;

namespace Tavrin {

using settings::caption;

void SettingsPage::BuildNumberingEditor(ui::ContentDialog* dialog, Json::object data) {
    const std::string code = Json(data)["doc_type"].string_value();
    const std::string stem = to_lower(code);
    const Json formats = g_core->setting("formats");
    ui::Panel* stack = settings::new_stack();

    stack->Append(settings::text_box(caption("prefix"), formats[stem + "_number_prefix"].string_value()));

    auto* pattern = new ui::ComboBox;
    pattern->Header(caption("number_format"));
    const Json::array& patterns = g_core->constants["doc_number_formats"].array_items();
    for (const Json& p : patterns) pattern->Append(ui::qs(p.string_value()));
    pattern->SelectedIndex(index_of(patterns, "", formats[stem + "_number"].string_value()));
    stack->Append(pattern);

    auto* info = new ui::TextBlock;
    info->setWordWrap(true);
    info->Text(caption("formats_doc_info"));
    stack->Append(info);

    auto* initial = new ui::NumberBox;
    // The texts have no caption of this key; the starting number's caption says the same.
    initial->Header(caption("starting_number"));
    // 0 is a starting number like any other: the first document of the type is number 0.
    initial->Minimum(0);
    initial->Maximum(INT_MAX);
    initial->Value(formats[stem + "_number_initial"].int_value());
    // Invoices are numbered on from the last one once there is any: the starting number is spent.
    initial->IsEnabled(!(stem == "invoice" && !g_core->query("SELECT type FROM documents WHERE type = 'INVOICE'").empty()));
    stack->Append(initial);

    dialog->Title(caption(code));
    dialog->Content(stack);
}

void SettingsPage::SaveNumbering(const std::string& code, ui::ContentDialog* dialog) {
    QWidget* stack = dialog->ContentWidget();
    auto* prefix = settings::child_as<ui::TextBox>(stack, 0);
    auto* pattern = settings::child_as<ui::ComboBox>(stack, 1);
    auto* initial = settings::child_as<ui::NumberBox>(stack, 3);
    if (!prefix || !pattern || !initial || code.empty()) return;
    const std::string stem = to_lower(code);
    Json::object obj = g_core->setting("formats").object_items();

    obj[stem + "_number_prefix"] = normalize_whitespace(settings::text_of(prefix));
    if (pattern->SelectedIndex() >= 0) obj[stem + "_number"] = ui::utf8(pattern->SelectedText());
    // A cleared box keeps the stored number; every reader takes it as a whole number. The box cannot
    // show a stored number below its minimum: while it still shows what it was given, the stored
    // number stays as it is.
    const double value = initial->Value();
    const int shown = std::max(0, Json(obj)[stem + "_number_initial"].int_value());
    if (initial->IsEnabled() && std::isfinite(value) && saturated_int(std::trunc(value)) != shown)
        obj[stem + "_number_initial"] = saturated_int(std::trunc(value));
    settings::write_setting("formats", obj);
}

void SettingsPage::SaveDateFormat(QObject* sender) {
    auto* entry = qobject_cast<ui::MenuFlyoutItem*>(sender);
    if (!g_core || !entry) return;
    Json::object obj = g_core->setting("formats").object_items();
    obj["date"] = normalize_whitespace(ui::utf8(entry->Text()));
    if (!settings::write_setting("formats", obj)) return;
    dateFormatButton->Label(ui::qs(Json(obj)["date"].string_value()));
}

}  // namespace Tavrin
