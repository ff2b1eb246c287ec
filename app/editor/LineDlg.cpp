#include "app/editor/LineDlg.h"

#include "app/App.h"
#include "app/editor/RecordForm.h"
#include "core/Core.h"
#include "ui/ContentDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>

#include <cmath>

using json11::Json;

namespace Tavrin {

namespace {


Json::array setting_list(const char* key) {
    return g_core ? g_core->setting(key).array_items() : Json::array();
}

Json::array constant_list(const char* key) {
    return g_core ? g_core->constants[key].array_items() : Json::array();
}

// Selects the item that shows the name of the list entry with `id` (the first entry when none has it).
void select_by_id(ui::ComboBox* box, const Json::array& list, const std::string& id) {
    const Json entry(find_object(list, true, "id", id));
    box->SelectedItem(ui::qs(entry["name"].string_value()));
}

// The list entry at a combo box's position: null when nothing is selected.
Json entry_at(const Json::array& list, int index) {
    return index < 0 ? Json() : Json(list)[static_cast<std::size_t>(index)];
}

// An empty box counts as 0.
double number_of(const ui::NumberBox* box) {
    return std::isnan(box->Value()) ? 0.0 : box->Value();
}

}  // namespace

LineDlg::LineDlg() {
    InitializeComponent();
    const Json::array item_types = constant_list("item_types");
    // A line typed in by hand is a product or a service; stock tracking comes only with an item.
    for (std::size_t i = 0; i + 1 < item_types.size(); ++i) itemTypesCombBox->Append(ui::qs(item_types[i]["name"].string_value()));
    for (const Json& entry : constant_list("price_types")) priceTypesCombBox->Append(ui::qs(entry["name"].string_value()));
    for (const Json& entry : constant_list("discount_types")) discountTypesCombBox->Append(ui::qs(entry["name"].string_value()));
    for (const Json& entry : setting_list("units")) unitsCombBox->Append(ui::qs(entry["name"].string_value()));
    for (const Json& entry : setting_list("taxes")) taxesCombBox->Append(ui::qs(entry["name"].string_value()));
}

void LineDlg::InitializeComponent() {
    if (content_loaded_) return;
    content_loaded_ = true;
    setMinimumWidth(520);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(8);

    auto* item_types = new ui::ComboBox;
    item_types->setObjectName("itemTypesCombBox");
    item_types->Header(tr_key("type"));
    auto* name = new ui::TextBox;
    name->setObjectName("nameTextBox");
    name->Header(tr_key("name"));
    auto* description = new ui::TextBox;
    description->setObjectName("descriptionTextBox");
    description->Header(tr_key("description"));
    description->AcceptsReturn(true);
    description->setMinimumHeight(90);
    auto* notes = new ui::Button;
    notes->setObjectName("notesButton");
    notes->Content(tr_key("line_notes") + QString::fromUtf8(" \u25BE"));
    auto* notes_menu = new ui::MenuFlyout(notes);
    notes_menu->setObjectName("notesMenuFlyout");
    notes->Flyout(notes_menu);
    auto* quantity = new ui::NumberBox;
    quantity->setObjectName("quantityNumberBox");
    quantity->Header(tr_key("quantity"));
    auto* units = new ui::ComboBox;
    units->setObjectName("unitsCombBox");
    units->Header(tr_key("unit"));
    auto* price = new ui::NumberBox;
    price->setObjectName("priceNumberBox");
    price->Header(tr_key("selling_price"));
    auto* price_types = new ui::ComboBox;
    price_types->setObjectName("priceTypesCombBox");
    price_types->Header(QString::fromUtf8("\u00A0"));
    auto* taxes = new ui::ComboBox;
    taxes->setObjectName("taxesCombBox");
    taxes->Header(tr_key("tax"));
    auto* discount = new ui::NumberBox;
    discount->setObjectName("discountNumberBox");
    discount->Header(tr_key("discount"));
    auto* discount_types = new ui::ComboBox;
    discount_types->setObjectName("discountTypesCombBox");
    discount_types->Header(QString::fromUtf8("\u00A0"));
    auto* completed = new ui::CheckBox;
    completed->setObjectName("taskCompletedCheckBox");
    completed->Content(tr_key("task_completed"));

    grid->addWidget(item_types, 0, 0);
    grid->addWidget(name, 1, 0, 1, 2);
    grid->addWidget(description, 2, 0, 1, 2);
    grid->addWidget(notes, 3, 1, Qt::AlignRight);
    grid->addWidget(quantity, 4, 0);
    grid->addWidget(units, 4, 1);
    grid->addWidget(price, 5, 0);
    grid->addWidget(price_types, 5, 1);
    grid->addWidget(taxes, 6, 0);
    grid->addWidget(discount, 7, 0);
    grid->addWidget(discount_types, 7, 1);
    grid->addWidget(completed, 8, 0);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);

    // The connection table, in id order; the tab order follows the form from top to bottom.
    Connect(2, completed);
    Connect(3, discount);
    Connect(4, discount_types);
    Connect(5, price);
    Connect(6, price_types);
    Connect(7, taxes);
    Connect(8, quantity);
    Connect(9, units);
    Connect(10, description);
    Connect(11, notes);
    Connect(12, notes_menu);
    Connect(13, name);
    Connect(14, item_types);
    QWidget::setTabOrder(item_types, name);
    QWidget::setTabOrder(name, description->Editor());
    QWidget::setTabOrder(description->Editor(), notes);
    QWidget::setTabOrder(notes, quantity);
    QWidget::setTabOrder(quantity, units);
    QWidget::setTabOrder(units, price);
    QWidget::setTabOrder(price, price_types);
    QWidget::setTabOrder(price_types, taxes);
    QWidget::setTabOrder(taxes, discount);
    QWidget::setTabOrder(discount, discount_types);
    QWidget::setTabOrder(discount_types, completed);
}

void LineDlg::Connect(int connection_id, QObject* target) {
    switch (connection_id) {
    case 2: taskCompletedCheckBox = static_cast<ui::CheckBox*>(target); break;
    case 3: discountNumberBox = static_cast<ui::NumberBox*>(target); break;
    case 4: discountTypesCombBox = static_cast<ui::ComboBox*>(target); break;
    case 5: priceNumberBox = static_cast<ui::NumberBox*>(target); break;
    case 6: priceTypesCombBox = static_cast<ui::ComboBox*>(target); break;
    case 7: taxesCombBox = static_cast<ui::ComboBox*>(target); break;
    case 8: quantityNumberBox = static_cast<ui::NumberBox*>(target); break;
    case 9: unitsCombBox = static_cast<ui::ComboBox*>(target); break;
    case 10: descriptionTextBox = static_cast<ui::TextBox*>(target); break;
    case 11:
        notesButton = static_cast<ui::Button*>(target);
        notesButton->Click.Add(this, [this](QObject* sender) { OnNotesClick(sender); });
        break;
    case 12: notesMenuFlyout = static_cast<ui::MenuFlyout*>(target); break;
    case 13: nameTextBox = static_cast<ui::TextBox*>(target); break;
    case 14: itemTypesCombBox = static_cast<ui::ComboBox*>(target); break;
    default: break;
    }
}

void LineDlg::FillFromItem(Json::object document_in, Json::object line_in) {
    document = std::move(document_in);
    line = std::move(line_in);
    const Json doc(document);
    const Json item(line);
    const std::string type = doc["type"].string_value();
    const bool purchase = type == "PURCHASE_RECEIVE" || type == "PURCHASE_ORDER";
    const Json::array item_types = constant_list("item_types");

    const bool from_item = !item["recordName"].is_null();
    if (from_item && item_types.size() >= 3) itemTypesCombBox->Append(ui::qs(item_types[2]["name"].string_value()));
    select_by_id(itemTypesCombBox, item_types, item["type"].string_value());
    itemTypesCombBox->IsEnabled(!from_item);

    nameTextBox->Text(ui::qs(item["name"].string_value()));
    descriptionTextBox->Text(ui::qs(item["description"].string_value()));
    select_by_id(unitsCombBox, setting_list("units"), item["unit_id"].string_value());
    select_by_id(taxesCombBox, setting_list("taxes"), item["tax_id"].string_value());

    priceNumberBox->Header(tr_key(purchase ? "purchase_price" : "selling_price"));
    priceNumberBox->Value(item["price"].number_value());
    quantityNumberBox->Value(item["quantity"].number_value());
    select_by_id(priceTypesCombBox, constant_list("price_types"), purchase ? std::string() : item["price_type"].string_value());
    priceTypesCombBox->IsEnabled(!purchase);
    discountNumberBox->Value(item["discount"].number_value());
    ui::SetVisibility(discountNumberBox, purchase ? ui::Visibility::Collapsed : ui::Visibility::Visible);
    select_by_id(discountTypesCombBox, constant_list("discount_types"), item["discount_type"].string_value());
    ui::SetVisibility(discountTypesCombBox, purchase ? ui::Visibility::Collapsed : ui::Visibility::Visible);

    ui::SetVisibility(taskCompletedCheckBox, type == "TASK" ? ui::Visibility::Visible : ui::Visibility::Collapsed);
    taskCompletedCheckBox->IsChecked(item["task_completed"].is_number() && item["task_completed"].int_value() == 1);
    // Typing starts in the name.
    nameTextBox->setFocus();
}

Json::object LineDlg::ReadLine() {
    Json::object result = line;
    result["type"] = entry_at(constant_list("item_types"), itemTypesCombBox->SelectedIndex())["id"].string_value();
    result["name"] = normalize_whitespace(ui::utf8(nameTextBox->Text()));
    result["description"] = normalize_whitespace(ui::utf8(descriptionTextBox->Text()));
    result["quantity"] = number_of(quantityNumberBox);
    result["unit_id"] = entry_at(setting_list("units"), unitsCombBox->SelectedIndex())["id"];
    result["tax_id"] = entry_at(setting_list("taxes"), taxesCombBox->SelectedIndex())["id"];
    result["price"] = number_of(priceNumberBox);
    result["price_type"] = entry_at(constant_list("price_types"), priceTypesCombBox->SelectedIndex())["id"].string_value();
    result["discount"] = number_of(discountNumberBox);
    result["discount_type"] =
        entry_at(constant_list("discount_types"), discountTypesCombBox->SelectedIndex())["id"].string_value();
    result["task_completed"] = taskCompletedCheckBox->IsChecked() ? 1 : 0;
    return result;
}

QString LineDlg::Problem() {
    const Json rate = Json(document)["exchange_rate"];
    return record_form::limit_message(
        Core::line_limit(Json(ReadLine()), setting_list("taxes"), rate.is_number() ? rate.number_value() : 1.0));
}

void LineDlg::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (auto* dialog = qobject_cast<ui::ContentDialog*>(window())) {
        QPointer<LineDlg> self(this);
        dialog->PrimaryCheck([self] { return self ? self->Problem() : QString(); });
    }
}

void LineDlg::OnNotesClick(QObject* sender) {
    if (auto* entry = qobject_cast<ui::MenuFlyoutItem*>(sender)) {
        const Json note(find_object(setting_list("line_notes"), true, "name", ui::utf8(entry->Text())));
        descriptionTextBox->Text(ui::qs(note["note"].string_value()));
        return;
    }
    notesMenuFlyout->clear();
    std::string type = Json(document)["type"].string_value();
    // An archived invoice is shown and printed as an invoice, and has the invoices' notes.
    if (type == "ARCHIVE_INVOICE") type = "INVOICE";
    for (const Json& note : setting_list("line_notes")) {
        if (note["type"].string_value() != type) continue;
        auto* entry = new ui::MenuFlyoutItem(notesMenuFlyout);
        entry->Text(ui::qs(note["name"].string_value()));
        entry->Click.Add(this, [this](QObject* s) { OnNotesClick(s); });
        notesMenuFlyout->Append(entry);
    }
}

}  // namespace Tavrin
