// The list's filters: the quick date ranges, the overdue invoices and the filter dialog.
#include "app/MainWindow.h"

#include "app/App.h"
#include "core/Core.h"
#include "ui/Inputs.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include <cmath>

using json11::Json;

namespace Tavrin {

namespace {

// Today as a date of the program's clock.
QDate today() {
    const std::tm now = local_time(0);
    return QDate(now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);
}

std::string iso(const QDate& date) { return date.toString("yyyy-MM-dd").toStdString(); }

// A row of controls side by side, 12 pixels apart.
QWidget* row_of(std::initializer_list<QWidget*> children) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    for (QWidget* child : children) layout->addWidget(child);
    layout->addStretch(1);
    return row;
}

ui::ComboBox* combo(const QString& header, const QStringList& items) {
    auto* box = new ui::ComboBox;
    box->Header(header);
    for (const QString& item : items) box->Append(item);
    box->SelectedIndex(0);
    return box;
}

// A number box's value as a filter bound: an empty box (NaN) reads as 0.
double bound_of(const ui::NumberBox* box) {
    const double value = box->Value();
    return std::isfinite(value) ? value : 0.0;
}

}  // namespace

std::string one_year_back() {
    std::tm today = local_time(0);
    today.tm_year -= 1;
    if (today.tm_mon == 1 && today.tm_mday == 29) today.tm_mday = 28;
    return format_time(today, "%Y-%m-%d");
}

Json::object fresh_list_filter(const std::string& from_date) {
    return Json::object{{"from_to_type", 0},        {"date_type", "issue_date"}, {"from_date", from_date},
                        {"to_date", iso_date(0)},   {"currency_code", "%%"},     {"payment_id", "%%"},
                        {"paid", "%%"}};
}

std::string MainWindow::ListTypeFor(const std::string& section) const {
    // The overdue filter shows its own list until another filter or section replaces it.
    auto paid = list_filter.find("paid");
    if (section == "INVOICE" && paid != list_filter.end() && paid->second.string_value() == "overdue") return "overdue";
    return section;
}

void MainWindow::ApplyQuickFilter(QObject* sender) {
    const QDate now = today();
    QDate from = now;
    if (sender == actionMonthFilter)
        from = QDate(now.year(), now.month(), 1);
    else if (sender == actionYearFilter)
        from = QDate(now.year(), 1, 1);
    else
        from = now.addYears(-1);
    list_filter = fresh_list_filter(iso(from));
    RefreshList(std::string());
}

void MainWindow::ShowOverdueInvoices() {
    list_filter["paid"] = "overdue";
    RefreshList(g_core->list_html(0, "overdue", Json::object{}, ui::utf8(searchBox->Text()), std::string()));
}

ui::Action MainWindow::ShowFilterDialog() {
    QPointer<MainWindow> self(this);
    ui::NavigationViewItem* selected = navigationView->SelectedItem();
    const std::string section = selected ? ui::Name(selected) : std::string();
    const bool inventory = section == "inventory";
    const bool invoices = section == "INVOICE";
    const Json constants = g_core->constants;

    auto* root = new QWidget;
    root->setObjectName("filterDialogContent");
    auto* root_layout = new QVBoxLayout(root);
    root_layout->setContentsMargins(0, 0, 0, 0);

    auto* from_date = new ui::CalendarDatePicker;
    from_date->Header(tr_key("from_date"));
    from_date->setFixedWidth(128);
    from_date->Date(today().addYears(-1));
    auto* to_date = new ui::CalendarDatePicker;
    to_date->Header(tr_key("to_date"));
    to_date->setFixedWidth(128);
    to_date->Date(today());

    ui::ComboBox* date_type = nullptr;
    QWidget* date_row = nullptr;
    if (inventory) {
        date_row = row_of({from_date, to_date});
    } else {
        QStringList names;
        for (const Json& type : constants["filter_date_types"].array_items()) names << ui::qs(type["name"].string_value());
        date_type = combo(" ", names);
        date_row = row_of({from_date, to_date, date_type});
    }

    ui::NumberBox* from_number = nullptr;
    ui::NumberBox* to_number = nullptr;
    ui::RadioButtons* range_kind = nullptr;
    ui::ComboBox* currency = nullptr;
    ui::ComboBox* payment = nullptr;
    ui::ComboBox* paid = nullptr;
    const Json::array payments = g_core->setting("payments").array_items();
    if (inventory) {
        root_layout->addWidget(date_row);
    } else {
        from_number = new ui::NumberBox;
        from_number->Header(tr_key("from_number"));
        from_number->setFixedWidth(128);
        to_number = new ui::NumberBox;
        to_number->Header(tr_key("to_number"));
        to_number->setFixedWidth(128);
        range_kind = new ui::RadioButtons;
        range_kind->Append(date_row);
        range_kind->Append(row_of({from_number, to_number}));
        range_kind->SelectedIndex(0);
        root_layout->addWidget(range_kind);

        QStringList codes{tr_key("%%")};
        const Json currencies = g_core->setting("currencies");
        for (const Json& c : currencies.array_items()) codes << ui::qs(c["code"].string_value());
        currency = combo(tr_key("currency"), codes);
        QStringList payment_names{tr_key("%%")};
        for (const Json& p : payments) payment_names << ui::qs(p["name"].string_value());
        payment = combo(tr_key("payment"), payment_names);
        QWidget* options = nullptr;
        if (invoices) {
            QStringList paid_names;
            for (const Json& p : constants["filter_paids"].array_items()) paid_names << ui::qs(p["name"].string_value());
            paid = combo(" ", paid_names);
            options = row_of({currency, payment, paid});
        } else {
            options = row_of({currency, payment});
        }
        options->setContentsMargins(0, 24, 0, 0);
        root_layout->addWidget(options);
    }

    QPointer<ui::ContentDialog> dialog = NewCommandDialog();
    dialog->Title(tr_key("filter"));
    dialog->PrimaryButtonText(tr_key("filter"));
    dialog->Content(root);
    const ui::ContentDialogResult result = co_await dialog->ShowAsyncOrNone();
    if (!self || !g_core || !dialog || result != ui::ContentDialogResult::Primary) {
        if (dialog) dialog->deleteLater();
        co_return;
    }

    auto id_at = [](const Json& table, int index) {
        const Json::array& items = table.array_items();
        return index >= 0 && index < static_cast<int>(items.size()) ? items[static_cast<std::size_t>(index)]["id"].string_value()
                                                                     : std::string();
    };
    list_filter["from_to_type"] = !inventory && range_kind->SelectedIndex() != 0 ? 1 : 0;
    std::string column = inventory ? std::string() : id_at(constants["filter_date_types"], date_type->SelectedIndex());
    list_filter["date_type"] = column.empty() ? std::string("issue_date") : column;
    list_filter["from_date"] = iso(from_date->Date().value_or(today().addYears(-1)));
    list_filter["to_date"] = iso(to_date->Date().value_or(today()));
    if (from_number) {
        list_filter["from_number"] = bound_of(from_number);
        list_filter["to_number"] = bound_of(to_number);
    }
    list_filter["currency_code"] =
        !inventory && currency->SelectedIndex() > 0 ? ui::utf8(currency->SelectedText()) : std::string("%%");
    std::string payment_id = "%%";
    if (!inventory && payment->SelectedIndex() > 0) payment_id = id_at(Json(payments), payment->SelectedIndex() - 1);
    list_filter["payment_id"] = payment_id;
    std::string paid_id = "%%";
    if (paid) paid_id = id_at(constants["filter_paids"], paid->SelectedIndex());
    list_filter["paid"] = paid_id.empty() ? std::string("%%") : paid_id;
    dialog->deleteLater();
    RefreshList(std::string());
}

}  // namespace Tavrin
