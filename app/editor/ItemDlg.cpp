#include "app/editor/ItemDlg.h"

#include "app/App.h"
#include "app/editor/RecordForm.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/ContentDialog.h"
#include "ui/Threading.h"

#include <QGridLayout>
#include <QLabel>

#include <cmath>

using json11::Json;

namespace Tavrin {

using namespace record_form;

namespace {

Json::array constant_list(const char* key) {
    return g_core ? g_core->constants[key].array_items() : Json::array();
}

// An empty box counts as 0.
double number_of(const ui::NumberBox* box) {
    return box->Text().isEmpty() || std::isnan(box->Value()) ? 0.0 : box->Value();
}

}  // namespace

ItemDlg::ItemDlg(QString recordName) {
    InitializeComponent();
    if (!g_core) return;
    const std::string record_name = ui::utf8(recordName);
    const auto rows = store::rows(*g_core, "SELECT * FROM items WHERE recordName = ?", {Json(record_name)});
    if (rows.size() == 1) {
        item = Json(rows[0]);
    } else {
        item = Json(Json::object{{"tax_id", g_core->setting("taxes")[0]["id"].string_value()},
                                 {"unit_id", g_core->setting("units")[0]["id"].string_value()},
                                 {"type", g_core->constants["item_types"][0]["id"].string_value()},
                                 {"price_type", g_core->constants["price_types"][0]["id"].string_value()}});
    }
    fill(itemTypesCombBox, constant_list("item_types"), item["type"].string_value());
    fill(priceTypesCombBox, constant_list("price_types"), item["price_type"].string_value());
    for (const Json& entry : constant_list("inventory_item_reasons")) reasonsCombBox->Append(ui::qs(entry["name"].string_value()));
    reasonsCombBox->SelectedIndex(0);
    fill(taxesCombBox, setting_list("taxes"), item["tax_id"].string_value());
    fill(unitsCombBox, setting_list("units"), item["unit_id"].string_value());

    nameTextBox->Text(ui::qs(item["name"].string_value()));
    descriptionTextBox->Text(ui::qs(item["description"].string_value()));
    noteTextBox->Text(ui::qs(item["note"].string_value()));
    skuTextBox->Text(ui::qs(item["sku"].string_value()));
    upcTextBox->Text(ui::qs(item["upc"].string_value()));
    sellingPriceNumberBox->Value(item["selling_price"].number_value());
    clearingPriceNumberBox->Value(item["clearing_price"].number_value());
    purchasePriceNumberBox->Value(item["purchase_price"].number_value());
    purchasePriceNumberBox->Header(ui::qs(g_core->last_purchase_price_text(record_name)));
    quantityNumberBox->Header(ui::qs(g_core->stock_quantity_text(record_name)));
    quantityNumberBox->PlaceholderText(own_caption("egész egységek", "whole units"));
}

// The item on the left, its prices on the right, the stock change underneath.
void ItemDlg::InitializeComponent() {
    if (content_loaded_) return;
    content_loaded_ = true;
    setMinimumWidth(620);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(8);

    auto* reasons = captioned<ui::ComboBox>("reasonsCombBox", tr_key("reason"));
    auto* quantity = captioned<ui::NumberBox>("quantityNumberBox", QString());
    auto* stock_note = captioned<ui::TextBox>("stockNoteTextBox", tr_key("note"));
    auto* purchase = captioned<ui::NumberBox>("purchasePriceNumberBox", tr_key("purchase_price"));
    auto* clearing = captioned<ui::NumberBox>("clearingPriceNumberBox", tr_key("clearing_price"));
    auto* sku = captioned<ui::TextBox>("skuTextBox", tr_key("sku"));
    auto* upc = captioned<ui::TextBox>("upcTextBox", tr_key("upc"));
    auto* types = captioned<ui::ComboBox>("itemTypesCombBox", tr_key("type"));
    auto* name = captioned<ui::TextBox>("nameTextBox", tr_key("name"));
    auto* description = captioned<ui::TextBox>("descriptionTextBox", tr_key("description"));
    description->AcceptsReturn(true);
    description->setMinimumHeight(70);
    auto* note = captioned<ui::TextBox>("noteTextBox", tr_key("note"));
    auto* selling = captioned<ui::NumberBox>("sellingPriceNumberBox", tr_key("selling_price"));
    auto* price_types = captioned<ui::ComboBox>("priceTypesCombBox", own_caption("Ártípus", "Price Type"));
    auto* units = captioned<ui::ComboBox>("unitsCombBox", tr_key("unit"));
    auto* taxes = captioned<ui::ComboBox>("taxesCombBox", tr_key("tax"));
    auto* stock = new QLabel(own_caption("Készletmozgás", "Stock Change"));
    stock->setStyleSheet("font-weight: bold");

    grid->addWidget(types, 0, 0);
    grid->addWidget(name, 0, 1, 1, 2);
    grid->addWidget(description, 1, 0, 2, 2);
    grid->addWidget(selling, 1, 2, Qt::AlignTop);
    grid->addWidget(price_types, 2, 2, Qt::AlignTop);
    grid->addWidget(units, 3, 0);
    grid->addWidget(taxes, 3, 1);
    grid->addWidget(clearing, 3, 2);
    grid->addWidget(sku, 4, 0);
    grid->addWidget(upc, 4, 1);
    grid->addWidget(note, 4, 2);
    grid->addWidget(stock, 5, 0, 1, 3);
    grid->addWidget(reasons, 6, 0);
    grid->addWidget(quantity, 6, 1);
    grid->addWidget(purchase, 6, 2);
    grid->addWidget(stock_note, 7, 0, 1, 3);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);

    Connect(2, reasons);
    Connect(3, quantity);
    Connect(4, stock_note);
    Connect(5, purchase);
    Connect(6, clearing);
    Connect(7, sku);
    Connect(8, upc);
    Connect(9, types);
    Connect(10, name);
    Connect(11, description);
    Connect(12, note);
    Connect(13, selling);
    Connect(14, price_types);
    Connect(15, units);
    Connect(16, taxes);
}

QString ItemDlg::Problem() const {
    const Json::array taxes = setting_list("taxes");
    for (const ui::NumberBox* box : {sellingPriceNumberBox, purchasePriceNumberBox, clearingPriceNumberBox}) {
        const Json line = Json::object{{"price", number_of(box)},
                                       {"quantity", 1},
                                       {"tax_id", id_at(taxes, taxesCombBox->SelectedIndex())},
                                       {"price_type", id_at(constant_list("price_types"), priceTypesCombBox->SelectedIndex())}};
        if (const Core::LineLimit limit = Core::line_limit(line, taxes, 1.0); limit != Core::LineLimit::Fits)
            return limit_message(limit == Core::LineLimit::Quantity ? Core::LineLimit::Price : limit);
    }
    // Stock is kept in whole units, as the invoice data counts them.
    const double quantity = number_of(quantityNumberBox);
    if (!(std::fabs(quantity) < 1e12))
        return limit_message(Core::LineLimit::Quantity);
    if (quantity != std::trunc(quantity))
        return own_caption("A készlet egész egységekben változik: kérjük, egész számot írjon be.",
                           "Stock changes in whole units: please type a whole number.");
    return QString();
}

void ItemDlg::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (auto* dialog = qobject_cast<ui::ContentDialog*>(window())) {
        QPointer<const ItemDlg> self(this);
        dialog->PrimaryCheck([self] { return self ? self->Problem() : QString(); });
    }
    if (focused_) return;
    focused_ = true;
    nameTextBox->Editor()->setFocus();
}

// Nothing reacts while the user edits: the save reads the controls.
void ItemDlg::Connect(int connection_id, QObject* target) {
    switch (connection_id) {
    case 2: reasonsCombBox = static_cast<ui::ComboBox*>(target); break;
    case 3: quantityNumberBox = static_cast<ui::NumberBox*>(target); break;
    case 4: stockNoteTextBox = static_cast<ui::TextBox*>(target); break;
    case 5: purchasePriceNumberBox = static_cast<ui::NumberBox*>(target); break;
    case 6: clearingPriceNumberBox = static_cast<ui::NumberBox*>(target); break;
    case 7: skuTextBox = static_cast<ui::TextBox*>(target); break;
    case 8: upcTextBox = static_cast<ui::TextBox*>(target); break;
    case 9: itemTypesCombBox = static_cast<ui::ComboBox*>(target); break;
    case 10: nameTextBox = static_cast<ui::TextBox*>(target); break;
    case 11: descriptionTextBox = static_cast<ui::TextBox*>(target); break;
    case 12: noteTextBox = static_cast<ui::TextBox*>(target); break;
    case 13: sellingPriceNumberBox = static_cast<ui::NumberBox*>(target); break;
    case 14: priceTypesCombBox = static_cast<ui::ComboBox*>(target); break;
    case 15: unitsCombBox = static_cast<ui::ComboBox*>(target); break;
    case 16: taxesCombBox = static_cast<ui::ComboBox*>(target); break;
    default: break;
    }
}

std::string ItemDlg::SaveItem() {
    if (!g_core) return std::string();
    const std::string name = typed(nameTextBox);
    if (name.empty()) return std::string();
    // The dialog refuses these; a host that saves without asking stores nothing rather than a
    // changed number.
    if (!Problem().isEmpty()) return std::string();

    Json::object record;
    const std::string stored = item["recordName"].string_value();
    record["recordName"] = stored.size() == 36 ? stored : new_record_name();
    record["type"] = id_at(constant_list("item_types"), itemTypesCombBox->SelectedIndex());
    record["tax_id"] = id_at(setting_list("taxes"), taxesCombBox->SelectedIndex());
    record["unit_id"] = id_at(setting_list("units"), unitsCombBox->SelectedIndex());
    record["name"] = name;
    record["description"] = typed(descriptionTextBox);
    record["sku"] = typed(skuTextBox);
    record["upc"] = typed(upcTextBox);
    record["selling_price"] = number_of(sellingPriceNumberBox);
    record["purchase_price"] = number_of(purchasePriceNumberBox);
    record["clearing_price"] = number_of(clearingPriceNumberBox);
    record["price_type"] = id_at(constant_list("price_types"), priceTypesCombBox->SelectedIndex());
    record["note"] = typed(noteTextBox);
    g_core->save_record(record, "items");

    // The stock change: the reason alone gives its direction, whatever sign was typed.
    const double q = std::fabs(number_of(quantityNumberBox));
    if (q > 0) {
        const int reason = reasonsCombBox->SelectedIndex();
        const double price = record["purchase_price"].number_value();
        const bool add = reason == 0;
        const Json::object document{{"documentRecordName", ""},
                                    {"clientRecordName", ""},
                                    {"number_formatted", ""},
                                    {"client_name", ""},
                                    {"reason", id_at(constant_list("inventory_item_reasons"), reason)},
                                    {"header_note", ui::utf8(stockNoteTextBox->Text())}};
        const Json::object line{{"itemRecordName", record["recordName"]},
                                {"item_name", name},
                                {"item_type", "INVENTORY_TRACKING"},
                                {"quantity", add ? q : -q},
                                {"price", add ? price : -price}};
        g_core->post_inventory({Json(line)}, Json(document));
    }

    // The program waits for its work items before the store closes, so the pass never outlives it.
    ui::ThreadPool::RunAsync([] {
        if (g_core) g_core->sync_start([](Json) {});
    });
    return record["recordName"].string_value();
}

}  // namespace Tavrin
