// Stock commands: returning the item of a sale's stock movement, and the stock valuation method.
#include "app/MainWindow.h"

#include "app/App.h"
#include "core/Core.h"
#include "core/store/store_internal.h"

using json11::Json;

namespace Tavrin {

ui::Action MainWindow::ReturnStock(std::string inventory_record) {
    if (inventory_record.empty()) co_return;
    QPointer<MainWindow> self(this);
    const auto rows = store::rows(*g_core, "SELECT * FROM inventory WHERE recordName = ?", {Json(inventory_record)});
    // The movement is gone: nothing to return.
    if (rows.empty()) co_return;
    Json::object movement = rows[0];
    const Json row(movement);

    QPointer<ui::ContentDialog> dialog = NewCommandDialog();
    dialog->Title(tr_key("inventory"));
    dialog->PrimaryButtonText(tr_key("RETURN"));
    dialog->Content(ui::qs(g_core->translated("confirm_return", row["item_name"].string_value())));
    const ui::ContentDialogResult result = co_await dialog->ShowAsyncOrNone();
    if (dialog) dialog->deleteLater();
    if (!self || !g_core || result != ui::ContentDialogResult::Primary) co_return;

    // The movement, marked as a return, is the document of one line that gives the item back.
    movement["reason"] = "RETURN";
    const Json line = Json::object{{"itemRecordName", row["itemRecordName"].string_value()},
                                   {"item_name", row["item_name"].string_value()},
                                   {"item_type", "INVENTORY_TRACKING"},
                                   {"quantity", row["quantity"].number_value()},
                                   {"price", row["price"].number_value()}};
    g_core->post_inventory({line}, Json(movement));
    RefreshList(std::string());
}

void MainWindow::ChooseProfitMethod(QObject* sender) {
    auto* item = qobject_cast<ui::MenuFlyoutItem*>(sender);
    if (!item) return;
    Json::object defaults = g_core->setting("defaults").object_items();
    defaults["inventory_profit"] = ui::TagText(item->Tag());
    g_core->save_record(Json::object{{"recordName", "defaults"}, {"value", Json(defaults).dump()}, {"synced", 0}},
                        "settings");
    RefreshList(std::string());
}

}  // namespace Tavrin
