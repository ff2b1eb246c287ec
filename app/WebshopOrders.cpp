// An order imported from the web shop made into an invoice, for a stored client or a new one.
#include "app/MainWindow.h"

#include "app/App.h"
#include "app/editor/ClientDlg.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/Inputs.h"

using json11::Json;

namespace Tavrin {

namespace {

// The first word of a name; empty when it begins with a blank.
std::string first_word(const std::string& name) { return name.substr(0, name.find(' ')); }

std::string one_line(std::string text) {
    for (char& c : text)
        if (c == '\n') c = ' ';
    return text;
}

}  // namespace

ui::Action MainWindow::ConvertWebshopOrder(std::string sel) {
    QPointer<MainWindow> self(this);
    const auto orders = store::rows(*g_core, "SELECT * FROM documents WHERE recordName = ?", {Json(sel)});
    // The order is gone: nothing to convert.
    if (orders.empty()) co_return;
    const Json order(orders[0]);

    // Clients whose name holds the first word of the order's client name: the likely matches.
    const std::string word = first_word(order["client_name"].string_value());
    const std::vector<Json::object> candidates =
        store::rows(*g_core, "SELECT * FROM clients WHERE name LIKE ? ESCAPE '\\'",
                    {Json("%" + store::like_escaped(word) + "%")});
    auto* chooser = new ui::ComboBox;
    chooser->setObjectName("webshopClientChooser");
    chooser->Append(tr_key("<new_client>"));
    for (const Json::object& row : candidates) {
        const Json client(row);
        std::map<std::string, std::string> fields;
        for (const char* key : {"country_code", "state", "street", "city", "postcode"})
            fields[key] = client[key].string_value();
        chooser->Append(ui::qs(client["name"].string_value() + " | " + g_core->formatted_address(true, fields)));
    }
    chooser->SelectedIndex(0);

    QPointer<ui::ContentDialog> dialog = NewCommandDialog();
    dialog->Title(ui::qs(order["client_name"].string_value() + "\n" + one_line(order["client_address"].string_value())));
    dialog->Content(chooser);
    const ui::ContentDialogResult result = co_await dialog->ShowAsyncOrNone();
    const int index = dialog ? chooser->SelectedIndex() : -1;
    if (dialog) dialog->deleteLater();
    if (!self || !g_core || result != ui::ContentDialogResult::Primary || index < 0) co_return;

    if (index == 0) {
        ConvertOrderForNewClient(sel, order);
        co_return;
    }
    const std::string client = Json(candidates[static_cast<std::size_t>(index - 1)])["recordName"].string_value();
    // The chosen client is applied to the invoice the window holds.
    OpenDocumentWindow(ui::qs(sel), "INVOICE", false, client);
}

ui::Action MainWindow::ConvertOrderForNewClient(std::string sel, Json order) {
    // The client dialog starts from the order's client: its name, contacts, currency and address.
    QPointer<MainWindow> self(this);
    QPointer<ui::ContentDialog> dialog = NewCommandDialog();
    dialog->Title(ui::qs(order["client_name"].string_value() + "\n" + one_line(order["client_address"].string_value())));
    QPointer<ClientDlg> page = new ClientDlg(QString());
    dialog->Content(page.data());
    page->nameTextBox->Text(ui::qs(order["client_name"].string_value()));
    page->emailTextBox->Text(ui::qs(order["client_email"].string_value()));
    page->phoneTextBox->Text(ui::qs(order["client_phone"].string_value()));
    page->currenciesCombBox->SelectedItem(ui::qs(order["currency_code"].string_value()));
    page->client = Json::object{{"country_code", order["client_country_code"]},
                                {"state", order["client_state"]},
                                {"street", order["client_street"]},
                                {"city", order["client_city"]},
                                {"postcode", order["client_postcode"]}};
    page->countriesCombBox->SelectedItem(ui::qs(order["client_country_code"].string_value()));
    page->LayoutAddressFields();
    const ui::ContentDialogResult result = co_await dialog->ShowAsyncOrNone();
    if (dialog) dialog->deleteLater();
    // Closed without saving: no client and no invoice.
    if (!self || !page || !g_core || result != ui::ContentDialogResult::Primary) co_return;
    const std::string client = page->SaveClient();
    OpenDocumentWindow(ui::qs(sel), "INVOICE", false, client);
}

}  // namespace Tavrin
