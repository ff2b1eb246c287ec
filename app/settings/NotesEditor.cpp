// Header, line and footer notes: one editor for the three kinds, each note tied to a document type.
#include "app/settings/SettingsPage.h"

#include "app/settings/SettingsSupport.h"
#include "core/Core.h"

using json11::Json;

namespace Tavrin {

using settings::caption;

void SettingsPage::BuildNotesEditor(ui::ContentDialog* dialog, Json::object note) {
    const Json stored(note);
    ui::Panel* stack = settings::new_stack();

    auto* type = new ui::ComboBox;
    type->Header(caption("type"));
    const Json::array& doc_types = g_core->constants["doc_types"].array_items();
    for (const Json& doc_type : doc_types) type->Append(ui::qs(doc_type["name"].string_value()));
    // A note without a type belongs to invoices; an unknown type shows the first entry.
    const std::string current = stored["type"].string_value().empty() ? "INVOICE" : stored["type"].string_value();
    type->SelectedIndex(index_of(doc_types, "id", current));
    stack->Append(type);

    stack->Append(settings::text_box(caption("name"), stored["name"].string_value()));

    ui::TextBox* text = settings::text_box(caption("note"), stored["note"].string_value());
    text->AcceptsReturn(true);
    text->setMinimumHeight(140);
    stack->Append(text);

    dialog->Title(caption("note"));
    dialog->Content(stack);
}

void SettingsPage::SaveNote(ui::ListView* list, bool edit, const std::string& tag, ui::ContentDialog* dialog) {
    QWidget* stack = dialog->ContentWidget();
    const std::string key = ListKey(list);
    const std::string name = normalize_whitespace(settings::text_of(settings::child_as<ui::TextBox>(stack, 1)));
    if (name.empty()) return;
    const Json::array& doc_types = g_core->constants["doc_types"].array_items();
    auto* type_box = settings::child_as<ui::ComboBox>(stack, 0);
    const int chosen = type_box ? type_box->SelectedIndex() : -1;
    const std::string type =
        chosen >= 0 && static_cast<std::size_t>(chosen) < doc_types.size()
            ? doc_types[static_cast<std::size_t>(chosen)]["id"].string_value()
            : std::string("INVOICE");
    const std::string text = normalize_whitespace(settings::text_of(settings::child_as<ui::TextBox>(stack, 2)));

    Json::array notes = g_core->setting(key).array_items();
    int index = -1;
    std::string id;
    if (edit) {
        // The row selected now, when it still stands for the same note.
        index = CheckedIndex(list, tag);
        if (index < 0) return;
        id = notes[static_cast<std::size_t>(index)]["id"].string_value();
    } else {
        id = new_record_name();
        if (id.empty()) return;
    }

    const Json entry = Json::object{{"id", id}, {"type", type}, {"name", name}, {"note", text}};
    if (edit)
        notes[static_cast<std::size_t>(index)] = entry;
    else
        notes.push_back(entry);
    if (!settings::write_setting(key, notes)) return;

    const QString row = ui::qs(name + " - " + g_core->translated(type, ""));
    if (edit) {
        list->SetAt(index, row, ui::qs(id));
    } else {
        list->Append(row, ui::qs(id));
        ShowAddedRow(list, false);
    }
}

}  // namespace Tavrin
