// The client dialog: edits one client inside a content dialog of its host, which calls SaveClient
// when the user saves.
#pragma once

#include "json11/json11.hpp"
#include "ui/Controls.h"
#include "ui/Inputs.h"

#include <QString>
#include <QWidget>

#include <array>
#include <string>
#include <vector>

namespace Tavrin {

class ClientDlg : public QWidget {
    Q_OBJECT
public:
    // An empty `recordName`, or one that names no client, starts a new client.
    explicit ClientDlg(QString recordName);

    // Builds the form once, connecting each control through Connect.
    void InitializeComponent();
    // Stores control `connection_id` (2 to 19) in its field and hooks its events.
    void Connect(int connection_id, QObject* target);

    // Shows the address slots the selected country's address format has, captioned and filled from `client`.
    void LayoutAddressFields();
    void OnCountryChanged(QObject* sender);
    // Stores the form as a client: its record name, or an empty text when there is no name.
    std::string SaveClient();
    // Asks the tax authority for the taxpayer of the typed tax number and fills the form from it.
    void OnTaxpayerLookupClick(QObject* sender);
    void ApplyTaxpayerResult(json11::Json reply);

    // --- controls, by connection id --------------------------------------------------------------
    ui::ComboBox* currenciesCombBox = nullptr;       // 2
    ui::ComboBox* paymentsCombBox = nullptr;         // 3
    ui::ComboBox* termsCombBox = nullptr;            // 4
    ui::Panel* addressPanel = nullptr;               // 5: the countries and the four address slots
    ui::ComboBox* countriesCombBox = nullptr;        // 6
    ui::TextBox* address1TextBox = nullptr;          // 7
    ui::TextBox* address2TextBox = nullptr;          // 8
    ui::TextBox* address3TextBox = nullptr;          // 9
    ui::TextBox* address4TextBox = nullptr;          // 10
    ui::InfoBar* taxpayerInfoBar = nullptr;          // 11
    ui::ComboBox* statusesCombBox = nullptr;         // 12
    ui::TextBox* nameTextBox = nullptr;              // 13
    ui::TextBox* noteTextBox = nullptr;              // 14
    ui::TextBox* emailTextBox = nullptr;             // 15
    ui::TextBox* phoneTextBox = nullptr;             // 16
    ui::TextBox* identifierNumberTextBox = nullptr;  // 17
    ui::Button* taxpayerButton = nullptr;            // 18
    ui::TextBox* otherTextBox = nullptr;             // 19

    // The client as stored, or the starting values of a new one; the address slots are filled from it.
    json11::Json::object client;

protected:
    // The name takes the keyboard when the dialog opens.
    void showEvent(QShowEvent* event) override;

private:
    std::array<ui::TextBox*, 4> address_slots() const;
    bool content_loaded_ = false;
    bool focused_ = false;
};

// The address keys (street, postcode, city, state) of a country's address format, in its order. A
// country without a format gives all four, so that nothing typed is lost.
std::vector<std::string> address_keys(const std::string& country_code);

}  // namespace Tavrin
