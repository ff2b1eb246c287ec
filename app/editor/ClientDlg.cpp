#include "app/editor/ClientDlg.h"

#include "app/App.h"
#include "app/editor/RecordForm.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/Threading.h"

#include <QGridLayout>
#include <QHBoxLayout>


using json11::Json;

namespace Tavrin {

using namespace record_form;

namespace {

// The selected code; the stored one while the list does not hold it (nothing is selected then), so
// that a save does not drop it.
std::string code_of(const ui::ComboBox* box, const Json::object& client, const char* member) {
    if (box->SelectedIndex() < 0) return Json(client)[member].string_value();
    // An entry that shows more than its code keeps the code as its Tag.
    const QVariant tag = box->SelectedTag();
    return ui::utf8(tag.isValid() ? tag.toString() : box->SelectedText());
}

}  // namespace

std::vector<std::string> address_keys(const std::string& country_code) {
    std::vector<std::string> keys;
    if (g_core) {
        // Each address key holds its own name, so the formatted text lists the keys in the country's order.
        const std::string text = g_core->formatted_address(true, {{"country_code", country_code},
                                                                  {"state", "state"},
                                                                  {"city", "city"},
                                                                  {"street", "street"},
                                                                  {"postcode", "postcode"}});
        for (const std::string& word : split(' ', text))
            if (word == "street" || word == "postcode" || word == "city" || word == "state") keys.push_back(word);
    }
    if (keys.empty()) keys = {"street", "postcode", "city", "state"};
    if (keys.size() > 4) keys.resize(4);
    return keys;
}

ClientDlg::ClientDlg(QString recordName) {
    InitializeComponent();
    if (!g_core) return;
    const auto rows = store::rows(*g_core, "SELECT * FROM clients WHERE recordName = ?", {Json(ui::utf8(recordName))});
    if (rows.size() == 1) {
        client = rows[0];
    } else {
        client = Json::object{{"country_code", g_core->setting("countries")[0]["code"].string_value()},
                              {"currency_code", g_core->setting("currencies")[0]["code"].string_value()}};
    }
    const Json record(client);

    fill(statusesCombBox, g_core->constants["client_statuses"].array_items(), record["status"].string_value());
    fill(paymentsCombBox, setting_list("payments"), record["payment_id"].string_value());
    fill(termsCombBox, setting_list("terms"), record["term_id"].string_value());
    // Countries show their names in the program's language beside the code.
    const std::string country = record["country_code"].string_value();
    for (const Json& entry : setting_list("countries")) {
        const std::string code = entry["code"].string_value();
        const std::string name = country_name(code, g_core->language);
        countriesCombBox->Append(ui::qs(name.empty() ? code : code + " - " + name), ui::qs(code));
        if (code == country && countriesCombBox->SelectedIndex() < 0)
            countriesCombBox->SelectedIndex(countriesCombBox->Size() - 1);
    }
    for (const Json& entry : setting_list("currencies")) currenciesCombBox->Append(ui::qs(entry["code"].string_value()));
    currenciesCombBox->SelectedItem(ui::qs(record["currency_code"].string_value()));

    nameTextBox->Text(ui::qs(record["name"].string_value()));
    identifierNumberTextBox->Text(ui::qs(record["identifier_number"].string_value()));
    otherTextBox->Text(ui::qs(record["other"].string_value()));
    emailTextBox->Text(ui::qs(record["email"].string_value()));
    phoneTextBox->Text(ui::qs(record["phone"].string_value()));
    noteTextBox->Text(ui::qs(record["note"].string_value()));
    LayoutAddressFields();
}

// The name and the tax number first, the address beside the payment terms, the contacts last.
void ClientDlg::InitializeComponent() {
    if (content_loaded_) return;
    content_loaded_ = true;
    setMinimumWidth(620);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(8);

    auto* currencies = captioned<ui::ComboBox>("currenciesCombBox", tr_key("currency"));
    auto* payments = captioned<ui::ComboBox>("paymentsCombBox", tr_key("payment"));
    auto* terms = captioned<ui::ComboBox>("termsCombBox", tr_key("term"));
    auto* address = new ui::Panel;
    address->setObjectName("addressPanel");
    auto* countries = captioned<ui::ComboBox>("countriesCombBox", tr_key("country"));
    std::array<ui::TextBox*, 4> boxes{};
    const char* const box_names[] = {"address1TextBox", "address2TextBox", "address3TextBox", "address4TextBox"};
    address->Append(countries);
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        boxes[i] = captioned<ui::TextBox>(box_names[i], QString());
        address->Append(boxes[i]);
    }
    auto* info = new ui::InfoBar;
    info->setObjectName("taxpayerInfoBar");
    auto* statuses = captioned<ui::ComboBox>("statusesCombBox", tr_key("status"));
    auto* name = captioned<ui::TextBox>("nameTextBox", tr_key("name"));
    auto* note = captioned<ui::TextBox>("noteTextBox", tr_key("note"));
    note->AcceptsReturn(true);
    note->setMinimumHeight(70);
    auto* email = captioned<ui::TextBox>("emailTextBox", tr_key("email"));
    auto* phone = captioned<ui::TextBox>("phoneTextBox", tr_key("phone"));
    auto* identifier = captioned<ui::TextBox>("identifierNumberTextBox", tr_key("identifier_number"));
    auto* lookup = new ui::Button;
    lookup->setObjectName("taxpayerButton");
    lookup->Content(own_caption("Lekérdezés", "Look Up"));
    auto* other = captioned<ui::TextBox>("otherTextBox", tr_key("other"));

    auto* identifier_row = new QWidget;
    auto* identifier_layout = new QHBoxLayout(identifier_row);
    identifier_layout->setContentsMargins(0, 0, 0, 0);
    identifier_layout->addWidget(identifier, 1);
    identifier_layout->addWidget(lookup, 0, Qt::AlignBottom);

    grid->addWidget(name, 0, 0, 1, 2);
    grid->addWidget(statuses, 0, 2);
    grid->addWidget(identifier_row, 1, 0, 1, 2);
    grid->addWidget(other, 1, 2);
    grid->addWidget(info, 2, 0, 1, 3);
    grid->addWidget(address, 3, 0, 4, 2, Qt::AlignTop);
    grid->addWidget(currencies, 3, 2);
    grid->addWidget(payments, 4, 2);
    grid->addWidget(terms, 5, 2);
    grid->addWidget(email, 7, 0);
    grid->addWidget(phone, 7, 1);
    grid->addWidget(note, 8, 0, 1, 3);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);

    Connect(2, currencies);
    Connect(3, payments);
    Connect(4, terms);
    Connect(5, address);
    Connect(6, countries);
    for (int i = 0; i < 4; ++i) Connect(7 + i, boxes[static_cast<std::size_t>(i)]);
    Connect(11, info);
    Connect(12, statuses);
    Connect(13, name);
    Connect(14, note);
    Connect(15, email);
    Connect(16, phone);
    Connect(17, identifier);
    Connect(18, lookup);
    Connect(19, other);
}

void ClientDlg::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (focused_) return;
    focused_ = true;
    nameTextBox->Editor()->setFocus();
}

// The handlers hold the dialog as their context: they do nothing once it is gone.
void ClientDlg::Connect(int connection_id, QObject* target) {
    auto changed = [this](ui::ComboBox* sender, ui::SelectionChangedEventArgs) { OnCountryChanged(sender); };
    switch (connection_id) {
    case 2: currenciesCombBox = static_cast<ui::ComboBox*>(target); break;
    case 3: paymentsCombBox = static_cast<ui::ComboBox*>(target); break;
    case 4: termsCombBox = static_cast<ui::ComboBox*>(target); break;
    case 5: addressPanel = static_cast<ui::Panel*>(target); break;
    case 6:
        countriesCombBox = static_cast<ui::ComboBox*>(target);
        countriesCombBox->SelectionChanged.Add(this, changed);
        break;
    case 7: address1TextBox = static_cast<ui::TextBox*>(target); break;
    case 8: address2TextBox = static_cast<ui::TextBox*>(target); break;
    case 9: address3TextBox = static_cast<ui::TextBox*>(target); break;
    case 10: address4TextBox = static_cast<ui::TextBox*>(target); break;
    case 11: taxpayerInfoBar = static_cast<ui::InfoBar*>(target); break;
    case 12:
        statusesCombBox = static_cast<ui::ComboBox*>(target);
        statusesCombBox->SelectionChanged.Add(this, changed);
        break;
    case 13: nameTextBox = static_cast<ui::TextBox*>(target); break;
    case 14: noteTextBox = static_cast<ui::TextBox*>(target); break;
    case 15: emailTextBox = static_cast<ui::TextBox*>(target); break;
    case 16: phoneTextBox = static_cast<ui::TextBox*>(target); break;
    case 17: identifierNumberTextBox = static_cast<ui::TextBox*>(target); break;
    case 18:
        taxpayerButton = static_cast<ui::Button*>(target);
        taxpayerButton->Click.Add(this, [this](QObject* sender) { OnTaxpayerLookupClick(sender); });
        break;
    case 19: otherTextBox = static_cast<ui::TextBox*>(target); break;
    default: break;
    }
}

std::array<ui::TextBox*, 4> ClientDlg::address_slots() const {
    return {address1TextBox, address2TextBox, address3TextBox, address4TextBox};
}

void ClientDlg::OnCountryChanged(QObject* sender) {
    // The status list changes no address.
    if (sender == countriesCombBox) LayoutAddressFields();
}

void ClientDlg::LayoutAddressFields() {
    // The constructor's lists fire this before the boxes exist.
    if (!g_core || !address4TextBox) return;
    const std::vector<std::string> keys = address_keys(code_of(countriesCombBox, client, "country_code"));
    const Json record(client);
    const auto boxes = address_slots();
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        if (i >= keys.size()) {
            ui::SetVisibility(boxes[i], ui::Visibility::Collapsed);
            continue;
        }
        ui::SetVisibility(boxes[i], ui::Visibility::Visible);
        boxes[i]->Header(tr_key(keys[i].c_str()));
        boxes[i]->Text(ui::qs(record[keys[i]].string_value()));
    }
}

std::string ClientDlg::SaveClient() {
    if (!g_core) return std::string();
    const std::string name = typed(nameTextBox);
    if (name.empty()) return std::string();

    Json::object record;
    const std::string stored = Json(client)["recordName"].string_value();
    record["recordName"] = stored.size() == 36 ? stored : new_record_name();
    record["payment_id"] = id_at(setting_list("payments"), paymentsCombBox->SelectedIndex());
    record["term_id"] = id_at(setting_list("terms"), termsCombBox->SelectedIndex());
    const std::string country = code_of(countriesCombBox, client, "country_code");
    record["country_code"] = country;
    record["currency_code"] = code_of(currenciesCombBox, client, "currency_code");
    record["status"] = id_at(g_core->constants["client_statuses"].array_items(), statusesCombBox->SelectedIndex());
    record["name"] = name;
    record["identifier_number"] = typed(identifierNumberTextBox);
    record["other"] = typed(otherTextBox);
    record["email"] = typed(emailTextBox);
    record["phone"] = typed(phoneTextBox);
    record["note"] = typed(noteTextBox);
    // Each shown slot under the key its caption shows, as typed.
    const std::vector<std::string> keys = address_keys(country);
    const auto boxes = address_slots();
    for (std::size_t i = 0; i < keys.size() && i < boxes.size(); ++i) record[keys[i]] = ui::utf8(boxes[i]->Text());

    g_core->save_record(record, "clients");
    // The program waits for its work items before the store closes, so the pass never outlives it.
    ui::ThreadPool::RunAsync([] {
        if (g_core) g_core->sync_start([](Json) {});
    });
    return record["recordName"].string_value();
}

void ClientDlg::OnTaxpayerLookupClick(QObject*) {
    if (!g_core) return;
    QPointer<ClientDlg> self(this);
    const std::string tax_number = ui::utf8(identifierNumberTextBox->Text());
    g_core->nav_query_taxpayer(tax_number, [self](Json reply) {
        if (self) self->ApplyTaxpayerResult(reply);
    });
}

// A reply without a taxpayer leaves the form as the user typed it and says why.
void ClientDlg::ApplyTaxpayerResult(json11::Json reply) {
    const std::string name = reply["name"].string_value();
    if (name.empty()) {
        taxpayerInfoBar->Severity(ui::InfoBar::InfoBarSeverity::Warning);
        taxpayerInfoBar->Message(
            reply.is_null()
                ? own_caption("A NAV lekérdezés nem indult: az adószámnak legalább 8 karakteresnek kell lennie, és a "
                           "beállításokban meg kell adni a cég adószámát és NAV belépési adatait. Az űrlap nem változott.",
                           "The tax authority was not asked: the tax number needs at least 8 characters, and the "
                           "company's tax number and tax authority login must be set in the settings. The form is "
                           "unchanged.")
                : own_caption("A NAV nem adott adózót erre az adószámra, vagy nem volt elérhető. Az űrlap nem változott.",
                           "The tax authority gave no taxpayer for this tax number, or it could not be reached. The "
                           "form is unchanged."));
        taxpayerInfoBar->IsOpen(true);
        return;
    }
    nameTextBox->Text(ui::qs(name));
    identifierNumberTextBox->Text(ui::qs(reply["identifierNumber"].string_value()));
    // The address parts go into the boxes of their keys in the selected country's layout.
    const std::vector<std::string> keys = address_keys(code_of(countriesCombBox, client, "country_code"));
    const auto boxes = address_slots();
    for (std::size_t i = 0; i < keys.size() && i < boxes.size(); ++i)
        if (keys[i] != "state") boxes[i]->Text(ui::qs(reply[keys[i]].string_value()));
    if (name.size() > 1) {
        taxpayerInfoBar->Severity(ui::InfoBar::InfoBarSeverity::Success);
        taxpayerInfoBar->Message(own_caption("Kitöltve a NAV adózói adataiból.", "Filled in from the tax authority's taxpayer data."));
        taxpayerInfoBar->IsOpen(true);
    }
}

}  // namespace Tavrin
