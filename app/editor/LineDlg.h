// The line dialog: edits one line of a document inside a content dialog of the document page.
#pragma once

#include "json11/json11.hpp"
#include "ui/Controls.h"
#include "ui/Inputs.h"

#include <QWidget>

namespace Tavrin {

class LineDlg : public QWidget {
    Q_OBJECT
public:
    LineDlg();

    // Builds the form once, connecting each control through Connect.
    void InitializeComponent();
    // Stores control `connection_id` (2 to 14) in its field and hooks its events.
    void Connect(int connection_id, QObject* target);

    // Fills the controls from `line`; `document` decides purchase or selling price and the shown fields.
    void FillFromItem(json11::Json::object document, json11::Json::object line);
    // The edited line: a copy of the given one with the edited members replaced.
    json11::Json::object ReadLine();
    // The notes button refills the notes menu; a menu entry puts its note into the description.
    void OnNotesClick(QObject* sender);
    // Why the line cannot be saved (a number the invoice cannot carry); empty when it can.
    QString Problem();

    // --- controls, by connection id --------------------------------------------------------------
    ui::CheckBox* taskCompletedCheckBox = nullptr;  // 2
    ui::NumberBox* discountNumberBox = nullptr;     // 3
    ui::ComboBox* discountTypesCombBox = nullptr;   // 4
    ui::NumberBox* priceNumberBox = nullptr;        // 5
    ui::ComboBox* priceTypesCombBox = nullptr;      // 6
    ui::ComboBox* taxesCombBox = nullptr;           // 7
    ui::NumberBox* quantityNumberBox = nullptr;     // 8
    ui::ComboBox* unitsCombBox = nullptr;           // 9
    ui::TextBox* descriptionTextBox = nullptr;      // 10
    ui::Button* notesButton = nullptr;              // 11
    ui::MenuFlyout* notesMenuFlyout = nullptr;      // 12
    ui::TextBox* nameTextBox = nullptr;             // 13
    ui::ComboBox* itemTypesCombBox = nullptr;       // 14

    json11::Json::object document;
    json11::Json::object line;

protected:
    // The dialog it is shown in refuses a line that the invoice cannot carry.
    void showEvent(QShowEvent* event) override;

private:
    bool content_loaded_ = false;
};

}  // namespace Tavrin
