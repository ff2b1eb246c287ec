// The two outside services the program talks to for the user: the web shop's address and keys, and the
// accounting service's key. Neither is tried here; the order import and the save flow use them later.
#include "app/settings/SettingsPage.h"

#include "app/settings/SettingsSupport.h"
#include "core/Core.h"

using json11::Json;

namespace Tavrin {

using settings::caption;

namespace {

ui::ComboBox* single_choice(const char* text) {
    auto* choice = new ui::ComboBox;
    choice->Append(QString::fromUtf8(text));
    choice->SelectedIndex(0);
    return choice;
}

// A masked box: the secrets are shown as dots, and stored as typed.
ui::PasswordBox* secret_box(const QString& header, const std::string& text) {
    auto* box = new ui::PasswordBox;
    box->Header(header);
    box->Password(ui::qs(text));
    return box;
}

std::string secret_of(QWidget* panel, int index) {
    auto* box = settings::child_as<ui::PasswordBox>(panel, index);
    return box ? ui::utf8(box->Password()) : std::string();
}

}  // namespace

void SettingsPage::BuildWebshopEditor(ui::ContentDialog* dialog) {
    const Json stored = g_core->setting("webshop_connect");
    ui::Panel* stack = settings::new_stack();
    stack->Append(single_choice("WooCommerce"));
    stack->Append(settings::text_box(caption("webshop_domain"), stored["domain"].string_value()));
    stack->Append(settings::text_box(caption("webshop_key1"), stored["key1"].string_value()));
    stack->Append(secret_box(caption("webshop_key2"), stored["key2"].string_value()));
    dialog->Title(caption("webshop_connect"));
    dialog->Content(stack);
}

void SettingsPage::SaveWebshop(ui::ContentDialog* dialog) {
    QWidget* stack = dialog->ContentWidget();
    Json::object connect = g_core->setting("webshop_connect").object_items();
    connect["id"] = "woocommerce";
    // The address and the keys exactly as typed: the shop compares them byte for byte.
    connect["domain"] = settings::text_of(settings::child_as<ui::TextBox>(stack, 1));
    connect["key1"] = settings::text_of(settings::child_as<ui::TextBox>(stack, 2));
    connect["key2"] = secret_of(stack, 3);
    settings::write_setting("webshop_connect", connect);
}

void SettingsPage::BuildAccountingEditor(ui::ContentDialog* dialog, Json::object defaults) {
    const std::string accounting = Json(defaults)["accounting"].string_value();
    // "cashbook_<key>": the key is the second piece; a text without one shows an empty box.
    const std::vector<std::string> pieces = split('_', accounting);
    const std::string key = pieces.size() > 1 ? pieces[1] : std::string();
    ui::Panel* stack = settings::new_stack();
    stack->Append(single_choice("Cashbook"));
    stack->Append(secret_box(QString::fromUtf8("Cashbook titkos hitelesítő kulcs"), key));
    dialog->Title(caption("accounting"));
    dialog->Content(stack);
}

bool SettingsPage::SaveAccounting(ui::ContentDialog* dialog) {
    const std::string key = secret_of(dialog->ContentWidget(), 1);
    // The upload sends the text between the first and the second "_": a key holding one would be cut.
    if (key.find('_') != std::string::npos) return false;
    Json::object defaults = g_core->setting("defaults").object_items();
    // An emptied box keeps the stored key (posting stays as it was).
    if (!key.empty()) defaults["accounting"] = "cashbook_" + key;
    settings::write_setting("defaults", defaults);
    return true;
}

}  // namespace Tavrin
