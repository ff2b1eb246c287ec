// The item dialog: edits one item, and one optional stock change of it, inside a content dialog of
// its host, which calls SaveItem when the user saves.
#pragma once

#include "json11/json11.hpp"
#include "ui/Controls.h"
#include "ui/Inputs.h"

#include <QString>
#include <QWidget>

#include <string>

namespace Tavrin {

class ItemDlg : public QWidget {
    Q_OBJECT
public:
    // An empty `recordName`, or one that names no item, starts a new item.
    explicit ItemDlg(QString recordName);

    // Builds the form once, connecting each control through Connect.
    void InitializeComponent();
    // Stores control `connection_id` (2 to 16) in its field.
    void Connect(int connection_id, QObject* target);

    // Stores the form as an item and posts the stock change typed in: the item's record name, or an
    // empty text when there is no name.
    std::string SaveItem();
    // Why the item cannot be saved: a price the invoice cannot carry, or a stock change that is not a
    // whole number of units. Empty when it can; the dialog it is shown in refuses it with this text.
    QString Problem() const;

    // --- controls, by connection id --------------------------------------------------------------
    ui::ComboBox* reasonsCombBox = nullptr;          // 2
    ui::NumberBox* quantityNumberBox = nullptr;      // 3
    ui::TextBox* stockNoteTextBox = nullptr;         // 4
    ui::NumberBox* purchasePriceNumberBox = nullptr; // 5
    ui::NumberBox* clearingPriceNumberBox = nullptr; // 6
    ui::TextBox* skuTextBox = nullptr;               // 7
    ui::TextBox* upcTextBox = nullptr;               // 8
    ui::ComboBox* itemTypesCombBox = nullptr;        // 9
    ui::TextBox* nameTextBox = nullptr;              // 10
    ui::TextBox* descriptionTextBox = nullptr;       // 11
    ui::TextBox* noteTextBox = nullptr;              // 12
    ui::NumberBox* sellingPriceNumberBox = nullptr;  // 13
    ui::ComboBox* priceTypesCombBox = nullptr;       // 14
    ui::ComboBox* unitsCombBox = nullptr;            // 15
    ui::ComboBox* taxesCombBox = nullptr;            // 16

    // The item as stored, or the starting values of a new one.
    json11::Json item;

protected:
    // The name takes the keyboard when the dialog opens.
    void showEvent(QShowEvent* event) override;

private:
    bool content_loaded_ = false;
    bool focused_ = false;
};

}  // namespace Tavrin
