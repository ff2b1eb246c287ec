// The commands of the list's tool bar.
#include "app/MainWindow.h"

#include "app/App.h"
#include "core/Core.h"

#include <algorithm>
#include <charconv>

using json11::Json;

namespace Tavrin {

namespace {

// A step of the paging buttons: a whole decimal number, nothing else.
int parse_step(const std::string& text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        throw std::invalid_argument("paging step is not a number: " + text);
    return value;
}

}  // namespace

ui::Action MainWindow::OnCommandClick(QObject* sender) {
    if (!g_core) co_return;
    const std::string name = ui::Name(sender);
    // The record of the selected tab, read once: a later tab change does not redirect the command.
    std::string sel;
    if (ui::TabViewItem* tab = tabView->SelectedItem()) sel = ui::TagText(tab->Tag());

    if (name == "newDocument") {
        OpenDocumentWindow(QString(), QString(), false, std::string());
        co_return;
    }
    if (name == "newClient") {
        ShowClientDialog(std::string());
        co_return;
    }
    if (name == "newItem") {
        ShowItemDialog(std::string());
        co_return;
    }
    if (sender == tabTitleButton) {
        OnTabSelectionChanged();
    } else if (sender == actionMonthFilter || sender == actionYearFilter || sender == actionPastYearFilter) {
        ApplyQuickFilter(sender);
    } else if (sender == actionOverdueFilter) {
        ShowOverdueInvoices();
    } else if (sender == actionCustomFilter) {
        ShowFilterDialog();
    } else if (sender == actionPaid) {
        TogglePaid(sel);
    } else if (sender == actionResave) {
        ResaveDocument(sel);
    } else if (name == "listPageBackButton" || name == "listPageForwardButton") {
        auto* pager = qobject_cast<ui::Button*>(sender);
        ui::NavigationViewItem* selected = navigationView->SelectedItem();
        if (!pager || !selected) co_return;
        const int step = parse_step(ui::TagText(pager->Tag()));
        const std::string section = ui::Name(selected);
        if (section == "TASK") {
            // The task calendar moves by months, whether or not it is shown.
            calendar_month = calendar_month.addMonths(step);
            RefreshList(std::string());
        } else {
            const std::string type = ListTypeFor(section);
            const Json::object filter = type == section ? list_filter : Json::object{};
            RefreshList(g_core->list_html(step, type, filter, ui::utf8(searchBox->Text()), std::string()));
        }
    } else if (name == "actionEdit") {
        EditRecord(sel);
    } else if (sender == actionDelete) {
        DeleteRecord(sel);
    } else if (sender == actionInvoice && sel.find("WEBSHOP") != std::string::npos) {
        ConvertWebshopOrder(sel);
    } else if (sender == actionCopy || sender == actionNewForRecord || sender == actionInvoice ||
               sender == actionPurchaseReceive || sender == actionStorno) {
        DeriveDocument(sender, sel);
    } else if (sender == actionReturn) {
        ReturnStock(ui::TagText(actionReturn->Tag()));
    } else if (std::find(profitItems.begin(), profitItems.end(), sender) != profitItems.end()) {
        ChooseProfitMethod(sender);
    } else if (sender == actionReport || sender == actionInventoryReport) {
        OpenReport(sender == actionInventoryReport);
    } else if (sender == actionNavExport) {
        ExportInvoices();
    } else if (sender == actionSavePdf) {
        SavePdf(tabView->SelectedItem());
    } else if (sender == actionPrintPdf) {
        PrintPdf(tabView->SelectedItem());
    } else if (sender == actionTaskList || sender == actionTaskCalendar) {
        show_task_calendar = sender == actionTaskCalendar;
        RefreshList(std::string());
    }
}

ui::ContentDialog* MainWindow::NewCommandDialog() {
    auto* dialog = new ui::ContentDialog(this);
    dialog->XamlRoot(this);
    dialog->PrimaryButtonText(tr_key("save"));
    dialog->CloseButtonText(tr_key("cancel"));
    dialog->DefaultButton(ui::ContentDialogButton::Primary);
    return dialog;
}
}  // namespace Tavrin
