// The supplier's own data, its tax-authority credentials and the supplier summary of the page. Both
// editors change the one settings row "supplier" and keep every member they do not edit.
#include "app/settings/SettingsPage.h"

#include "app/settings/SettingsSupport.h"
#include "core/Core.h"

#include <QBoxLayout>

using json11::Json;

namespace Tavrin {

using settings::caption;

namespace {

const char* const kCompanyKeys[] = {"name", "identifier_number", "other", "email", "phone"};
const auto& kCredentialKeys = nav_credential_names;

// The supplier's country decides the address layout: the first entry of the countries list.
std::string first_country_code() {
    return g_core->setting("countries")[0]["code"].string_value();
}

}  // namespace

void SettingsPage::BuildSupplierEditor(ui::ContentDialog* dialog, Json::object values) {
    auto* pivot = new ui::Pivot;
    pivot->setFixedWidth(300);

    ui::Panel* company = settings::new_stack();
    for (const char* key : kCompanyKeys)
        company->Append(settings::text_box(caption(key), Json(values)[key].string_value()));

    ui::Panel* address = settings::new_stack();
    const std::string country = first_country_code();
    auto* country_box = new ui::ComboBox;
    country_box->Header(caption("country"));
    country_box->Append(ui::qs(country));
    country_box->SelectedIndex(0);
    country_box->IsEnabled(false);
    address->Append(country_box);
    // The layout with each placeholder replaced by its own name gives the parts in layout order.
    const std::string layout = g_core->formatted_address(
        true, {{"country_code", country}, {"state", "state"}, {"city", "city"}, {"street", "street"}, {"postcode", "postcode"}});
    for (const std::string& piece : split(' ', layout)) {
        // A country without a layout gives no pieces to edit.
        if (piece.empty() || piece == country) continue;
        ui::TextBox* box = settings::text_box(caption(piece), Json(values)[piece].string_value());
        box->setObjectName(ui::qs(piece));
        address->Append(box);
    }
    static_cast<QBoxLayout*>(address->layout())->addStretch(1);

    pivot->Append(caption("my_company"), company);
    pivot->Append(caption("address"), address);
    dialog->Content(pivot);
}

void SettingsPage::BuildCredentialsEditor(ui::ContentDialog* dialog, Json::object values) {
    const Json stored(values);
    ui::Panel* stack = settings::new_stack();
    for (const char* key : kCredentialKeys) {
        // The password is never shown in the clear.
        if (std::string(key) == "nav_user_pwd") {
            auto* box = new ui::PasswordBox;
            box->Header(caption(key));
            box->Password(ui::qs(stored[key].string_value()));
            stack->Append(box);
            continue;
        }
        stack->Append(settings::text_box(caption(key), stored[key].string_value()));
    }
    for (const char* key : {"small_business_indicator", "cash_accounting_indicator"}) {
        auto* check = new ui::CheckBox;
        check->Content(caption(key));
        check->IsChecked(stored[key].string_value() == "true");
        stack->Append(check);
    }
    dialog->Title(caption("nav"));
    dialog->Content(stack);
}

void SettingsPage::SaveSupplier(ui::ContentDialog* dialog) {
    auto* pivot = qobject_cast<ui::Pivot*>(dialog->ContentWidget());
    if (!pivot) return;
    Json::object obj = g_core->setting("supplier").object_items();

    QWidget* company = pivot->ItemAt(0);
    for (int i = 0; i < 5; ++i) {
        auto* box = settings::child_as<ui::TextBox>(company, i);
        if (box) obj[kCompanyKeys[i]] = normalize_whitespace(settings::text_of(box));
    }
    QWidget* address = pivot->ItemAt(1);
    for (int i = settings::child_count(address) - 1; i >= 1; --i) {
        auto* box = settings::child_as<ui::TextBox>(address, i);
        if (!box) break;
        obj[ui::Name(box)] = normalize_whitespace(settings::text_of(box));
    }
    if (!settings::write_setting("supplier", obj)) return;
    SupplierSummary();
}

void SettingsPage::SaveCredentials(ui::ContentDialog* dialog) {
    QWidget* stack = dialog->ContentWidget();
    Json::object obj = g_core->setting("supplier").object_items();
    for (int i = 0; i < 4; ++i) {
        if (auto* box = settings::child_as<ui::TextBox>(stack, i)) obj[kCredentialKeys[i]] = normalize_whitespace(settings::text_of(box));
        // The password is stored as typed: blanks in it are part of it.
        if (auto* box = settings::child_as<ui::PasswordBox>(stack, i)) obj[kCredentialKeys[i]] = ui::utf8(box->Password());
    }
    const char* indicators[] = {"small_business_indicator", "cash_accounting_indicator"};
    for (int i = 0; i < 2; ++i) {
        if (auto* check = settings::child_as<ui::CheckBox>(stack, 4 + i)) obj[indicators[i]] = check->IsChecked() ? "true" : "false";
    }
    settings::write_setting("supplier", obj);
}

void SettingsPage::SupplierSummary() {
    if (!g_core) return;
    const Json s = g_core->setting("supplier");
    supplierNameText->Text(ui::qs(s["name"].string_value()));
    std::string details = g_core->formatted_address(true, {{"country_code", first_country_code()},
                                                           {"state", s["state"].string_value()},
                                                           {"city", s["city"].string_value()},
                                                           {"street", s["street"].string_value()},
                                                           {"postcode", s["postcode"].string_value()}}) +
                          "\n\n";
    for (const char* key : {"identifier_number", "other", "email", "phone"}) {
        const std::string& value = s[key].string_value();
        if (!value.empty()) details += value + "\n";
    }
    supplierDetailsText->Text(ui::qs(details));
}

}  // namespace Tavrin
