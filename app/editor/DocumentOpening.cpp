// Opening a document: a stored one edited in place or copied, an invoice, storno or purchase
// receipt derived from a stored one, or a new one; the controls are filled and the preview prepared.
// A document edited in place follows its stored record when a pass moves it.
#include "app/editor/DocumentPage.h"

#include "app/App.h"
#include "core/Core.h"
#include "core/store/document_follow.h"
#include "core/store/store_internal.h"
#include "ui/ContentDialog.h"

#include <QColor>

#include <charconv>

using json11::Json;

namespace Tavrin {

namespace {

// The leading decimal digits of `text`; 0 when it starts with none.
int leading_number(std::string_view text) {
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::optional<QDate> today() {
    return stored_date(iso_date(0));
}

}  // namespace

// Year, month and day stand where an ISO date has them; a text too short for them or naming no
// real day gives nothing, and the caller takes today instead.
std::optional<QDate> stored_date(const std::string& text) {
    if (text.size() < 8) return std::nullopt;
    const int year = leading_number(std::string_view(text).substr(0, 4));
    const int month = leading_number(std::string_view(text).substr(5, 2));
    const int day = leading_number(std::string_view(text).substr(8));
    const QDate date(year, month, day);
    if (!date.isValid() || year < 1000) return std::nullopt;
    return date;
}

ui::Action DocumentPage::OpenDocument(QString recordName, QString kind_text, bool editing_in) {
    if (!g_core) co_return;
    Core& core = *g_core;
    const std::string record_name = ui::utf8(recordName);
    const std::string kind = ui::utf8(kind_text);
    const bool derive = kind == "INVOICE" || kind == "STORNO" || kind == "PURCHASE_RECEIVE";

    editing = editing_in;

    // The supplier as it stands today; a stored document keeps its own.
    const Json supplier_setting = core.setting("supplier");
    for (const auto& [key, value] : supplier_setting.object_items()) document["supplier_" + key] = value.string_value();
    document["supplier_country_code"] = core.setting("countries")[0]["code"].string_value();
    const Json supplier(document);
    document["supplier_address"] = core.formatted_address(
        false, {{"country_code", supplier["supplier_country_code"].string_value()},
                {"state", supplier["supplier_state"].string_value()},
                {"city", supplier["supplier_city"].string_value()},
                {"street", supplier["supplier_street"].string_value()},
                {"postcode", supplier["supplier_postcode"].string_value()}});
    document["type"] = "INVOICE";

    // A record name that names no stored document opens a new document.
    bool stored = false;
    if (!record_name.empty()) {
        const auto rows = store::rows(core, "SELECT * FROM documents WHERE recordName = ?", {record_name});
        if (!rows.empty()) {
            stored = true;
            document = rows.front();
            // A copy or a derived document keeps the source's company data, contacts included; from a
            // source without any (stored before documents kept them) it takes today's, being issued now.
            // A stored document edited in place keeps its own, even none.
            const Json source(rows.front());
            if (!editing && source["supplier_email"].string_value().empty() &&
                source["supplier_phone"].string_value().empty()) {
                for (const char* contact : {"email", "phone"})
                    document[std::string("supplier_") + contact] = supplier_setting[contact].string_value();
            }
            if (editing) {
                stored_type_ = Json(document)["type"].string_value();
                stored_number_ = Json(document)["number"].int_value();
                stored_shown = std::make_shared<const store::ShownDocument>(store::shown_document(core, record_name));
            }
            if (kind == "INVOICE" || kind == "STORNO") document["type"] = "INVOICE";
            if (kind == "PURCHASE_RECEIVE") document["type"] = "PURCHASE_RECEIVE";
            document["reference_recordName"] = derive ? record_name : std::string();
            document["reference_number_formatted"] =
                derive ? Json(rows.front())["number_formatted"].string_value() : std::string();
            for (const Json::object& row : store::rows(
                     core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id", {record_name})) {
                Json::object line = row;
                const Json source(row);
                line["recordName"] = source["itemRecordName"].string_value();
                line["type"] = source["item_type"].string_value();
                if (kind == "STORNO")
                    for (const char* amount : {"quantity", "net_amount", "tax_amount", "gross_amount"})
                        line[amount] = -source[amount].number_value();
                lines.emplace_back(std::move(line));
            }
        }
    }
    if (!editing) {
        document.erase("recordName");
        // A new document has not been reported to the tax authority, whatever its source was.
        if (stored) {
            document["nav_transaction_id"] = "";
            document["nav_status"] = "";
        }
    }

    const Json doc_now(document);
    const std::string type = doc_now["type"].string_value();
    if (type == "TASK") {
        ui::SetVisibility(taskRepeatButton, ui::Visibility::Visible);
        ui::SetVisibility(deliveryDatePicker, ui::Visibility::Collapsed);
    }

    const Json::array doc_types = core.constants["doc_types"].array_items();
    for (const Json& entry : doc_types) docTypesCombBox->Append(ui::qs(entry["name"].string_value()));
    docTypesCombBox->SelectedIndex(index_of(doc_types, "id", type));
    docTypesCombBox->IsEnabled(!editing && !derive);

    const Json::array languages = core.setting("languages").array_items();
    for (const Json& entry : languages) languagesCombBox->Append(ui::qs(entry["code"].string_value()));
    languagesCombBox->SelectedIndex(index_of(languages, "code", doc_now["language_code"].string_value()));

    const Json::array currencies = core.setting("currencies").array_items();
    for (const Json& entry : currencies) currenciesCombBox->Append(ui::qs(entry["code"].string_value()));
    currenciesCombBox->SelectedIndex(index_of(currencies, "code", doc_now["currency_code"].string_value()));

    exchangeRateNumberBox->Value(doc_now["exchange_rate"].number_value());
    // A stored rate is the rate of the stored delivery date.
    rate_date_ = doc_now["delivery_date"].string_value();
    const ui::Visibility rate_shown =
        currenciesCombBox->SelectedIndex() == 0 ? ui::Visibility::Collapsed : ui::Visibility::Visible;
    ui::SetVisibility(exchangeRateNumberBox, rate_shown);
    ui::SetVisibility(exchangeRateButton, rate_shown);

    const Json::array payments = core.setting("payments").array_items();
    for (const Json& entry : payments) paymentsCombBox->Append(ui::qs(entry["name"].string_value()));
    paymentsCombBox->SelectedIndex(index_of(payments, "id", doc_now["payment_id"].string_value()));

    for (const Json& entry : core.constants["default_colors"].array_items()) {
        const std::string hex = entry.string_value();
        const QColor fill(ui::qs("#" + hex));
        const QColor border = hex == "FFFFFF" ? QColor(0, 0, 0, 0x20) : QColor(0, 0, 0, 0);
        colorSwatchList->AppendSwatch(fill.isValid() ? fill : QColor(Qt::white), border, 30);
    }

    if (!(type == "ARCHIVE_INVOICE" && editing)) document["issue_date"] = iso_date(0);

    if (type == "ARCHIVE_INVOICE" || type == "TASK" || kind == "STORNO") {
        const std::optional<QDate> delivery = stored_date(doc_now["delivery_date"].string_value());
        const std::optional<QDate> due = stored_date(doc_now["due_date"].string_value());
        deliveryDatePicker->Date(delivery ? delivery : today());
        dueDatePicker->Date(due ? due : today());
    } else {
        deliveryDatePicker->Date(today());
        dueDatePicker->Date(today());
    }
    dueDatePicker->IsEnabled(doc_now["task_repeat"].string_value().empty());

    numberTextBox->Text(ui::qs(editing ? doc_now["number_formatted"].string_value() : core.next_number_formatted(type)));

    FillDocumentNotes();
    SearchRecords();
    // A foreign-currency document without a stored rate (a new one), or delivered on another day than
    // its stored rate's (a copy, a derived one), gets the rate of its delivery date.
    OnCurrencyChanged(doc_now["currency_code"].string_value());
    loaded = true;

    // The first document is rendered when the preview's empty page has loaded, and again after
    // every navigation of the preview.
    QPointer<DocumentPage> self(this);
    co_await previewWebView->EnsureCoreWebView2Async();
    if (!self) co_return;
    previewWebView->NavigationCompleted.Add(this,
                                            [this](ui::WebView2*, ui::NavigationCompletedEventArgs) { RefreshDocument(); });
    previewWebView->NavigateToString(QString());
}

void DocumentPage::FollowStoredDocument(const store::DocumentNow& now) {
    if (now.follow == store::DocumentFollow::same || !stored_shown) return;
    const std::string number = store::member(stored_shown->document, "number_formatted").string_value();
    std::string text;
    if (now.follow == store::DocumentFollow::moved) {
        const Json moved(now.now.document);
        const std::string new_number = moved["number_formatted"].string_value();
        document["recordName"] = moved["recordName"].string_value();
        stored_number_ = moved["number"].int_value();
        numberTextBox->Text(ui::qs(new_number));
        text = own_text("Egy másik gépen ugyanilyen számú dokumentum készült, ezért a(z) ",
                        "A document of the same number was made on another computer, so ") +
               number + own_text(" számú dokumentum a következő szabad számot kapta: ", " took the next free number: ") +
               new_number + own_text(". Amit beírt, megmaradt; mentéskor ezen a számon tárolódik.",
                                     ". What you entered is kept; it is saved under this number.");
    } else if (now.follow == store::DocumentFollow::changed) {
        text = own_text("A(z) ", "Document ") + number +
               own_text(" számú dokumentumot közben egy másik gépen módosították. Amit itt beírt, megmaradt; ha menti, "
                        "az a másik gépen tett módosítás helyére kerül.",
                        " was changed on another computer meanwhile. What you entered here is kept; saving it "
                        "replaces the change made there.");
    } else {
        text = own_text("A(z) ", "Document ") + number +
               own_text(" számú dokumentum már nincs meg ezen a számon (törölték, vagy a számát egy másik dokumentum "
                        "kapta). Amit beírt, megmaradt ezen az oldalon.",
                        " is no longer stored under this number (it was deleted, or another document took its "
                        "number). What you entered is kept on this page.");
    }
    stored_shown = now.follow == store::DocumentFollow::gone ? nullptr
                                                             : std::make_shared<const store::ShownDocument>(now.now);
    auto* told = new ui::ContentDialog(window());
    told->XamlRoot(window());
    told->Title(ui::qs(number));
    told->Content(ui::qs(text));
    told->PrimaryButtonText(tr_key("ok"));
    told->Closed.Add(told, [](ui::ContentDialog* sender, ui::ContentDialogClosedEventArgs) { sender->deleteLater(); });
    told->ShowAsync();
}

}  // namespace Tavrin
