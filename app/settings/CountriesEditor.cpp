// Adding countries, languages and currencies from the constant tables, and the document labels of
// one language.
#include "app/settings/SettingsPage.h"

#include "app/settings/SettingsSupport.h"
#include "core/Core.h"

#include <QScrollArea>

#include <set>

using json11::Json;

namespace Tavrin {

using settings::caption;

namespace {

// The text after the first blank of a currency table entry ("EUR €" gives "€").
std::string currency_symbol(const std::string& entry) {
    const std::size_t blank = entry.find(' ');
    return blank == std::string::npos ? std::string() : entry.substr(blank + 1);
}

}  // namespace

void SettingsPage::BuildPicker(ui::ContentDialog* dialog, const std::string& key) {
    ui::ListView* page_list = key == "countries" ? countriesList : key == "languages" ? languagesList : currenciesList;
    std::set<std::string> listed;
    for (int i = 0; i < page_list->Size(); ++i) listed.insert(ui::TagText(page_list->TagAt(i)));

    auto* choices = new ui::ListView;
    choices->setMinimumHeight(320);
    for (const Json& entry : g_core->constants[key].array_items()) {
        const std::string& text = entry.string_value();
        const std::string code = settings::first_word(text);
        if (listed.count(code)) continue;
        if (key == "countries")
            choices->Append(ui::qs(settings::country_row(text)));
        else if (key == "languages")
            choices->Append(ui::qs(settings::language_row(text)));
        else
            choices->Append(ui::qs(text));
    }
    dialog->Title(caption(key));
    dialog->Content(choices);
}

void SettingsPage::SavePicked(const std::string& key, ui::ContentDialog* dialog) {
    auto* choices = qobject_cast<ui::ListView*>(dialog->ContentWidget());
    // Saved with no row chosen: as if cancelled.
    if (!choices || choices->SelectedIndex() < 0) return;
    const std::string text = ui::utf8(choices->ContentAt(choices->SelectedIndex()));
    const std::string code = settings::first_word(text);
    if (code.empty()) return;

    Json::array items = g_core->setting(key).array_items();
    if (key == "currencies")
        items.push_back(Json::object{{"code", code},
                                     {"symbol", currency_symbol(text)},
                                     {"decimal_point", "."},
                                     {"thousands_sep", ","},
                                     {"digits_line", 2},
                                     {"digits_total", 2},
                                     {"pattern", "2034"}});
    else
        items.push_back(Json::object{{"code", code}});
    if (!settings::write_setting(key, items)) return;

    ui::ListView* page_list = key == "countries" ? countriesList : key == "languages" ? languagesList : currenciesList;
    const std::string row = key == "countries"   ? settings::country_row(code)
                            : key == "languages" ? settings::language_row(code)
                                                 : settings::currency_row(code);
    // A language added (again) starts with the default document labels.
    if (key == "languages") {
        Json::object translate = g_core->setting("translate").object_items();
        translate[code] = g_core->constants["default_translate"];
        settings::write_setting("translate", translate);
    }
    page_list->Append(ui::qs(row), ui::qs(code));
    ShowAddedRow(page_list, true);
}

void SettingsPage::BuildTranslationsEditor(ui::ContentDialog* dialog, Json::object values) {
    const Json stored(values);
    const Json& defaults = g_core->constants["default_translate"];
    ui::Panel* stack = settings::new_stack();
    for (const Json& key : g_core->constants["translate_sorted"].array_items())
        stack->Append(settings::text_box(ui::qs(defaults[key.string_value()].string_value()),
                                         stored[key.string_value()].string_value()));
    auto* scroller = new QScrollArea;
    scroller->setWidgetResizable(true);
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setMinimumHeight(420);
    scroller->setWidget(stack);
    dialog->Title(languagesList->ContentAt(languagesList->SelectedIndex()));
    dialog->Content(scroller);
}

void SettingsPage::SaveTranslations(const std::string& code, ui::ContentDialog* dialog) {
    auto* scroller = qobject_cast<QScrollArea*>(dialog->ContentWidget());
    if (!scroller || code.empty()) return;
    QWidget* stack = scroller->widget();
    const Json::array& keys = g_core->constants["translate_sorted"].array_items();
    Json::object labels;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        auto* box = settings::child_as<ui::TextBox>(stack, static_cast<int>(i));
        if (!box) return;
        labels[keys[i].string_value()] = normalize_whitespace(settings::text_of(box));
    }
    Json::object translate = g_core->setting("translate").object_items();
    translate[code] = labels;
    settings::write_setting("translate", translate);
}

}  // namespace Tavrin
