// The list's reports, printed to PDF in tabs of their own, and the invoice export file.
#include "app/MainWindow.h"

#include "app/App.h"
#include "core/Core.h"
#include "ui/Pickers.h"

using json11::Json;

namespace Tavrin {

void MainWindow::OpenReport(bool inventory) {
    ui::NavigationViewItem* selected = navigationView->SelectedItem();
    if (!inventory && !selected) return;

    // Every click adds a tab; the printed PDF is shown in the newest report tab.
    auto* tab = new ui::TabViewItem;
    tab->Tag(QString("report"));
    tab->Header(tr_key(inventory ? "report_inventory" : "report"));
    auto* view = new ui::WebView2(tab);
    ui::SetVisibility(view, ui::Visibility::Collapsed);
    tab->Content(view);
    tabView->Append(tab);
    tabView->SelectedItem(tab);

    std::string html;
    if (inventory) {
        html = g_core->inventory_report_html(false);
    } else {
        const std::string section = ui::Name(selected);
        const std::string type = ListTypeFor(section);
        // -100: every row of the list, unpaged, into list_rows.
        g_core->list_html(-100, type, type == section ? list_filter : Json::object{}, ui::utf8(searchBox->Text()),
                          std::string());
        const Json filter(list_filter);
        const std::string date_type = filter["date_type"].string_value();
        const Json::object settings{{"list_type", 1},
                                    {"include_lines", false},
                                    {"report_title", ui::utf8(selected->Content())},
                                    {"date_name", g_core->translated(date_type, "")},
                                    {"date_type", date_type},
                                    {"from_date", filter["from_date"].string_value()},
                                    {"to_date", filter["to_date"].string_value()}};
        const Json rows(Json::array(g_core->list_rows.begin(), g_core->list_rows.end()));
        html = g_core->documents_report_html(false, rows, settings);
    }
    print_view->Tag(QString("report"));
    print_view->NavigateToString(ui::qs(html));
}

std::string MainWindow::ExportMessage(int written) {
    return ExportMessage(written, {});
}

std::string MainWindow::ExportMessage(int written, const std::vector<NavExportLeftOut>& left_out) {
    // Success is told only when the file holds invoices, all of the range, and was found valid against
    // the export schema; otherwise the user learns why there is none or what is missing from it.
    // Writing the file syncs nothing: it says "saved", not "saved and synced".
    if (written > 0 && left_out.empty()) return g_core->translated("saving_successful_demo", "");
    if (written == -1) return own_text("A fájl nem írható.", "The file could not be written.");
    if (written < -1)
        return own_text("A fájl nem készült el: nem sikerült ellenőrizni az adatszolgáltatás 2013-as sémájával.",
                        "No file was written: it could not be checked against the 2013 export schema.");
    if (left_out.empty())
        return own_text("A választott tartományban nincs számla, fájl nem készült.",
                        "No invoice falls in the chosen range; no file was written.");

    std::string text = written > 0
                           ? own_text("A fájl elkészült ", "The file was written with ") + std::to_string(written) +
                                 own_text(" számlával, de ezek kimaradtak belőle, mert a 2013-as séma nem tudja leírni "
                                          "őket:",
                                          " invoices, but these were left out, as the 2013 schema cannot carry them:")
                           : own_text("Fájl nem készült: a tartomány számláit a 2013-as séma nem tudja leírni:",
                                      "No file was written: the 2013 schema cannot carry the invoices of the range:");
    // Each invoice left out is a sentence of its own, and what to do with them a paragraph after them.
    for (const NavExportLeftOut& invoice : left_out) {
        text += "\n\u2022 " + invoice.number_formatted + ": ";
        text += invoice.too_many_digits
                    ? own_text("egy összege vagy mennyisége több mint 10 számjegyű a tizedesjel előtt.",
                               "an amount or quantity has more than 10 digits before the decimal point.")
                    : own_text("hibás vagy hiányzó adat (", "a value missing or not accepted (") + invoice.element + ").";
    }
    if (written > 0)
        text += own_text("\n\nEzeket a számlákat külön kell átadni.", "\n\nThese invoices have to be handed over separately.");
    return text;
}

ui::Action MainWindow::ExportInvoices() {
    QPointer<MainWindow> self(this);
    ui::FileSavePicker picker;
    picker.Owner(this);
    picker.FileTypeChoice("XML", {".xml"});
    picker.SuggestedFileName("NAV-Export.xml");
    const ui::StorageFile file = co_await picker.PickSaveFileAsync();
    if (!self || !g_core || !file) co_return;

    std::vector<NavExportLeftOut> left_out;
    const int written = g_core->nav_export_xml(Json(list_filter), ui::utf8(file.Path()), &left_out);
    ShowMessage(QString::fromUtf8("Adóhatósági adatszolgáltatás"), ui::qs(ExportMessage(written, left_out)));
}

}  // namespace Tavrin
