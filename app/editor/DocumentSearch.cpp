// The client and item lists of the document page: searching them, and applying a chosen client or
// item to the edited document.
#include "app/editor/DocumentPage.h"

#include "core/Core.h"
#include "core/store/store_internal.h"

#include <algorithm>

using json11::Json;

namespace Tavrin {

namespace {

// The records whose search text holds `typed`, by name in the locale's order. The typed text is
// folded as the stored search texts are, and bound as a literal part of the pattern, so that
// accents, capitals, an apostrophe or a '%' match what they look like.
std::vector<Json::object> matching_records(const char* table, const QString& typed) {
    const std::string folded = normalize_whitespace(to_lower(remove_diacritics(ui::utf8(typed))));
    const std::string sql = std::string("SELECT name, recordName FROM ") + table +
                            " WHERE search LIKE ? ESCAPE '\\' ORDER BY name COLLATE NOCASE";
    std::vector<Json::object> rows;
    {
        store::Statement statement(*g_core, sql);
        statement.bind_all({Json("%" + store::like_escaped(folded) + "%")});
        rows = statement.rows(true);
    }
    std::stable_sort(rows.begin(), rows.end(), less_by_wname);
    return rows;
}

void fill_list(ui::ListView* list, const std::vector<Json::object>& rows) {
    list->Clear();
    for (const Json::object& row : rows) {
        const Json record(row);
        list->Append(ui::qs(record["name"].string_value()), ui::qs(record["recordName"].string_value()));
    }
}

}  // namespace

void DocumentPage::SearchRecords() {
    if (!g_core) return;
    fill_list(clientsListView, matching_records("clients", clientsSearchBox->Text()));
    fill_list(itemsListView, matching_records("items", itemsSearchBox->Text()));
}

void DocumentPage::ApplyRecordToDocument(bool isClient, std::string recordName) {
    if (!g_core) return;
    Core& core = *g_core;
    if (isClient) {
        const auto rows = store::rows(core, "SELECT * FROM clients WHERE recordName = ?", {Json(recordName)});
        if (rows.empty()) return;
        // Every column as text; NULL and numbers (synced) become empty texts.
        for (const auto& [column, value] : rows[0]) document["client_" + column] = value.string_value();
        const Json doc(document);
        std::map<std::string, std::string> address;
        for (const char* key : {"country_code", "state", "city", "street", "postcode"})
            address[key] = doc[std::string("client_") + key].string_value();
        document["client_address"] = core.formatted_address(false, address);
        document["clientRecordName"] = doc["client_recordName"];

        // Due date: today plus the days of the client's payment term.
        const Json term(find_object(core.setting("terms").array_items(), true, "id", doc["client_term_id"].string_value()));
        const int days = number_in_text(term["name"].string_value());
        if (const std::optional<QDate> today = stored_date(iso_date(0))) dueDatePicker->Date(today->addDays(days));

        paymentsCombBox->SelectedIndex(index_of(core.setting("payments").array_items(), "id", doc["client_payment_id"].string_value()));
        // A client in the document's currency keeps its rate; another currency gets its own.
        const std::string previous = ui::utf8(currenciesCombBox->SelectedText());
        currenciesCombBox->SelectedIndex(
            index_of(core.setting("currencies").array_items(), "code", doc["client_currency_code"].string_value()));
        OnCurrencyChanged(previous);
        // Once the client is chosen, the items come forward.
        recordsPivot->SelectedIndex(1);
    } else {
        const auto rows =
            store::rows(core, "SELECT * FROM items WHERE recordName = ? OR name = ?", {Json(recordName), Json(recordName)});
        if (rows.empty()) return;
        Json::object line = rows[0];
        line["unit_id"] = Json(line["unit_id"]).string_value();
        line["tax_id"] = Json(line["tax_id"]).string_value();
        line["discount"] = 0;
        line["quantity"] = 1;
        const std::string type = Json(document)["type"].string_value();
        const bool purchase = type == "PURCHASE_RECEIVE" || type == "PURCHASE_ORDER";
        line["price"] = Json(line[purchase ? "purchase_price" : "selling_price"]).number_value();
        lines.emplace_back(std::move(line));
    }
    SearchRecords();
    RefreshDocument();
}

}  // namespace Tavrin
