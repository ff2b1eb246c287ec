// The tabs: opening a record's tab, switching between tabs and closing them.
#include "app/MainWindow.h"

#include "app/App.h"
#include "core/Core.h"
#include "core/store/store_internal.h"

using json11::Json;

namespace Tavrin {

std::string record_tab_header(const std::string& name) {
    const std::vector<std::string> words = split(' ', name);
    if (words.empty()) return std::string();
    if (words.size() > 1) return words[0] + " " + words[1];
    return words[0];
}

void MainWindow::OnTabSelectionChanged() {
    if (!g_core) return;
    ui::TabViewItem* sel = tabView->SelectedItem();
    if (!sel) return;
    bool storno = false;
    const bool tagged = sel->Tag().isValid() && !sel->Tag().isNull();
    std::string list_type;
    if (tagged) {
        const std::string tag = ui::TagText(sel->Tag());
        if (tag.size() == 36) {
            auto rows = store::rows(*g_core, "SELECT name FROM clients WHERE recordName = ?", {Json(tag)});
            if (rows.empty()) rows = store::rows(*g_core, "SELECT name FROM items WHERE recordName = ?", {Json(tag)});
            // The record is gone: the tab and the menu stay as they are.
            if (rows.empty()) return;
            sel->Header(ui::qs(record_tab_header(Json(rows[0])["name"].string_value())));
            tabTitleButton->Content(sel->Header());
            list_type = "master_data";
        } else if (tag == "report") {
            list_type = "report";
        } else {
            const auto rows = store::rows(*g_core, "SELECT * FROM documents WHERE recordName = ?", {Json(tag)});
            if (rows.empty()) return;
            const Json doc(rows[0]);
            list_type = doc["type"].string_value();
            if (list_type == "INVOICE" || list_type == "ARCHIVE_INVOICE") {
                const QString arrow = QString::fromUtf8(" \xE2\x9E\x94 ");  // U+2794
                const QString paid = ui::qs(g_core->translated("paid", ""));
                const QString unpaid = ui::qs(g_core->translated("unpaid", ""));
                const Json& paid_value = doc["paid"];
                const bool is_paid = paid_value.is_number() ? paid_value.int_value() == 1
                                                            : paid_value.string_value() == "1";
                if (is_paid) {
                    actionPaid->Text(paid + arrow + unpaid);
                    actionPaid->Tag(QVariant(0));
                } else {
                    actionPaid->Text(unpaid + arrow + paid);
                    actionPaid->Tag(QVariant(1));
                }
                storno = doc["reference_number_formatted"].string_value().empty();
            }
        }
    }
    tabTitleButton->Content(sel->Header());

    ui::NavigationViewItem* selected = navigationView->SelectedItem();
    const bool nav = selected != nullptr;
    const std::string nav_name = nav ? ui::Name(selected) : std::string();
    auto one_of = [](const std::string& value, std::initializer_list<const char*> names) {
        for (const char* name : names)
            if (value == name) return true;
        return false;
    };
    auto show = [](auto* element, bool visible) {
        element->SetVisibility(visible ? ui::Visibility::Visible : ui::Visibility::Collapsed);
    };
    auto show_widget = [](QWidget* element, bool visible) {
        ui::SetVisibility(element, visible ? ui::Visibility::Visible : ui::Visibility::Collapsed);
    };
    const bool list_nav = !tagged && nav;
    show_widget(tabTitleButton, (tagged && list_type != "report") ||
                                    (list_nav && selected != navigationView->SettingsItem() &&
                                     !one_of(nav_name, {"clients", "items", "WEBSHOP_ORDER"})));
    show_widget(listOnlyElement, list_nav && !one_of(nav_name, {"TASK", "WEBSHOP_ORDER"}));
    show(actionOverdueFilter, list_nav && nav_name == "INVOICE");
    show(actionPaid, tagged && list_type == "INVOICE");
    show(actionResave, tagged && list_type == "TASK");
    show(actionCopy, tagged && !one_of(list_type, {"report", "master_data", "WEBSHOP_ORDER"}));
    show(actionInvoice,
         tagged && one_of(list_type, {"ESTIMATE", "PROFORMA", "DELIVERY_NOTE", "WEBSHOP_ORDER", "DRAFT", "TASK"}));
    show(actionPurchaseReceive, tagged && list_type == "PURCHASE_ORDER");
    show(actionNewForRecord, tagged && list_type == "master_data");
    show(actionEdit, tagged && one_of(list_type, {"master_data", "ARCHIVE_INVOICE", "TASK", "DRAFT"}));
    show(actionStorno, storno);
    show(actionDelete, tagged && !one_of(list_type, {"report", "INVOICE", "PURCHASE_RECEIVE"}));
    const bool inventory = nav && nav_name == "inventory";
    show(actionReturn, inventory && actionReturn->Tag().isValid() && !actionReturn->Tag().isNull());
    for (ui::MenuFlyoutItem* item : profitItems) show(item, inventory);
    show(actionReport, list_nav && one_of(nav_name, {"INVOICE", "PROFORMA", "ESTIMATE", "DELIVERY_NOTE",
                                                     "PURCHASE_ORDER", "PURCHASE_RECEIVE"}));
    show(actionInventoryReport, inventory);
    show(actionNavExport, list_nav && nav_name == "INVOICE");
    show_widget(taskListElement, list_nav && nav_name == "TASK");
    // A document or a report is shown as a PDF: once printed, it can be saved and printed again.
    const bool printed_tab = tagged && list_type != "master_data";
    const bool pdf_ready = printed_tab && !TabPdf(sel).isEmpty();
    for (ui::MenuFlyoutItem* item : {actionSavePdf, actionPrintPdf}) {
        show(item, printed_tab);
        item->IsEnabled(pdf_ready);
    }
    ShowRecordCommandsState();
}

void MainWindow::ShowRecordCommandsState() {
    bool any = false;
    for (QAction* item : recordCommandsButton->menu()->actions())
        if (!item->isSeparator() && item->isVisible()) any = true;
    // A button that opened nothing would leave the user guessing.
    recordCommandsButton->setEnabled(any);
    recordCommandsButton->setToolTip(any ? QString()
                                         : ui::qs(own_text("Ehhez a laphoz nincs művelet.", "No commands for this tab.")));
}

void MainWindow::OnTabCloseRequested(ui::TabView*, ui::TabViewTabCloseRequestedEventArgs args) {
    const int index = tabView->IndexOf(args.Tab());
    // The list tab always stays.
    if (index <= 0) return;
    tabView->RemoveAt(index);
}
}  // namespace Tavrin
