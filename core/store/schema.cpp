// The tables of an account database and the settings a new database starts with.
#include "core/store/store_internal.h"

#include <algorithm>
#include <iterator>

using json11::Json;

namespace store {

// Seven tables, created together on a new file, in their first layout; the columns added since
// follow at every open (add_missing_columns).
const char* schema_text() {
    return "CREATE TABLE settings (recordName VARCHAR PRIMARY KEY, value VARCHAR, synced INT DEFAULT 0);"
           "CREATE TABLE clients (recordName VARCHAR PRIMARY KEY, currency_id VARCHAR, payment_id VARCHAR, "
           "term_id VARCHAR, country_code VARCHAR, currency_code VARCHAR, status VARCHAR, name VARCHAR, "
           "identifier_number VARCHAR DEFAULT '', other VARCHAR DEFAULT '', state VARCHAR DEFAULT '', "
           "city VARCHAR DEFAULT '', street VARCHAR DEFAULT '', postcode VARCHAR DEFAULT '', "
           "email VARCHAR DEFAULT '', phone VARCHAR DEFAULT '', note VARCHAR DEFAULT '', search VARCHAR, "
           "synced INT DEFAULT 0);"
           "CREATE TABLE items (recordName VARCHAR PRIMARY KEY, tax_id VARCHAR, unit_id VARCHAR, "
           "type VARCHAR DEFAULT '', name VARCHAR, description VARCHAR, sku VARCHAR, upc VARCHAR, "
           "selling_price DOUBLE, purchase_price DOUBLE, clearing_price DOUBLE, price_type VARCHAR, "
           "note VARCHAR, search VARCHAR, synced INT DEFAULT 0);"
           "CREATE TABLE documents (recordName VARCHAR PRIMARY KEY, recordChangeTag VARCHAR DEFAULT '', "
           "clientRecordName VARCHAR, reference_recordName VARCHAR, created BIGINT, modified BIGINT, "
           "payment_id VARCHAR, language_code VARCHAR, currency_code VARCHAR, type VARCHAR, "
           "client_status VARCHAR, number INT, number_formatted VARCHAR, reference_number_formatted VARCHAR, "
           "template VARCHAR, paid INT, issue_date VARCHAR, delivery_date VARCHAR, due_date VARCHAR, "
           "supplier_name VARCHAR, supplier_country_code VARCHAR, supplier_state VARCHAR, "
           "supplier_city VARCHAR, supplier_street VARCHAR, supplier_postcode VARCHAR, "
           "supplier_address VARCHAR, supplier_identifier_number VARCHAR, supplier_other VARCHAR, "
           "client_name VARCHAR, client_country_code VARCHAR, client_state VARCHAR, client_city VARCHAR, "
           "client_street VARCHAR, client_postcode VARCHAR, client_address VARCHAR, "
           "client_identifier_number VARCHAR, client_other VARCHAR, client_email VARCHAR, "
           "client_phone VARCHAR, payment_name VARCHAR, payment_bank VARCHAR, header_note VARCHAR, "
           "footer_note VARCHAR, exchange_rate DOUBLE, total_net_amount DOUBLE, total_tax_amount DOUBLE, "
           "total_gross_amount DOUBLE, nav_transaction_id VARCHAR, nav_status VARCHAR, "
           "task_progress INT DEFAULT 0, task_repeat VARCHAR, search VARCHAR, synced INT DEFAULT 0);"
           "CREATE TABLE document_lines (id VARCHAR PRIMARY KEY, documentRecordName VARCHAR, "
           "itemRecordName VARCHAR, item_type VARCHAR, tax_id VARCHAR, unit_id VARCHAR, name VARCHAR, "
           "description VARCHAR, sku VARCHAR, upc VARCHAR, tax_name VARCHAR, tax_summary_name VARCHAR, "
           "tax_summary_name2 VARCHAR, tax_rate DOUBLE, tax_rate2 DOUBLE, tax_compound INT, "
           "unit_name VARCHAR, unit_digits INT, price_type VARCHAR, price DOUBLE, quantity DOUBLE, "
           "discount_type VARCHAR, discount DOUBLE, discount_net_amount DOUBLE, discount_tax_amount DOUBLE, "
           "discount_gross_amount DOUBLE, net_amount DOUBLE, tax_amount DOUBLE, gross_amount DOUBLE, "
           "task_completed INT DEFAULT 0, search VARCHAR);"
           "CREATE TABLE inventory (recordName VARCHAR PRIMARY KEY, documentRecordName VARCHAR, "
           "clientRecordName VARCHAR, itemRecordName VARCHAR, created BIGINT, number_formatted VARCHAR, "
           "client_name VARCHAR, item_name VARCHAR, reason VARCHAR, issue_date VARCHAR, quantity INT, "
           "remaining_fifo INT, remaining_lifo INT, remaining_history_fifo VARCHAR, "
           "remaining_history_lifo VARCHAR, price DOUBLE, last_avg_purchase_price DOUBLE, profit_fifo DOUBLE, "
           "profit_lifo DOUBLE, profit_avg DOUBLE, profit_clearing DOUBLE, stock INT, note VARCHAR, "
           "search VARCHAR, synced INT DEFAULT 0);"
           "CREATE TABLE deleted (recordName VARCHAR PRIMARY KEY);";
}

// The look-ups that would otherwise scan a whole table: numbering, line rewrites, stock postings
// and the name-ordered lists. The document lists show the newest documents first: they walk the
// creation order when most documents match, and sort a date range of one type from the index alone
// otherwise. Indexes leave the columns, the rows and the schema version alone.
const std::vector<std::string>& index_texts() {
    static const std::vector<std::string> texts = {
        "CREATE INDEX IF NOT EXISTS documents_type_issue_date ON documents(type, issue_date)",
        "CREATE INDEX IF NOT EXISTS documents_created ON documents(created DESC)",
        "CREATE INDEX IF NOT EXISTS documents_type_issue_date_created ON documents(type, issue_date, created, paid)",
        "CREATE INDEX IF NOT EXISTS documents_number_formatted ON documents(number_formatted)",
        "CREATE INDEX IF NOT EXISTS document_lines_document ON document_lines(documentRecordName)",
        "CREATE INDEX IF NOT EXISTS inventory_item_created ON inventory(itemRecordName, created)",
        "CREATE INDEX IF NOT EXISTS clients_name ON clients(name)",
        "CREATE INDEX IF NOT EXISTS items_name ON items(name)",
    };
    return texts;
}

namespace {

struct AddedColumn {
    const char* table;
    const char* name;
    const char* declaration;
};

// Columns added after the first layout, appended to their table. A column is only added, never
// changed, so files of the same schema version stay interchangeable and none is rebuilt for it; rows
// stored before it read the declared default. A document keeps the company's e-mail and phone as its
// page showed them (the address already travels with it); an empty default leaves the older rows and
// their cloud records as they were. A tombstone keeps the change tag of the cloud copy it deletes
// (empty where none is known). A document keeps an id of its own and the times its pieces last
// changed (store::same_document, store::Piece); empty in the rows and records of older versions,
// which leave them out.
constexpr AddedColumn kAddedColumns[] = {
    {"documents", "supplier_email", "VARCHAR DEFAULT ''"},
    {"documents", "supplier_phone", "VARCHAR DEFAULT ''"},
    {"deleted", "recordChangeTag", "VARCHAR DEFAULT ''"},
    {"documents", "document_id", "VARCHAR DEFAULT ''"},
    {"documents", "piece_modified", "VARCHAR DEFAULT ''"},
};

}  // namespace

bool add_missing_columns(Core& core) {
    auto missing = [&core](const AddedColumn& column) {
        return rows(core, "SELECT 1 FROM pragma_table_info(?) WHERE name = ?", {column.table, column.name}).empty();
    };
    if (std::none_of(std::begin(kAddedColumns), std::end(kAddedColumns), missing)) return true;
    // All or none: a file is never left with part of a layout.
    Transaction transaction(core);
    if (!transaction.active()) return false;
    for (const AddedColumn& column : kAddedColumns) {
        if (!missing(column)) continue;
        const std::string sql = "ALTER TABLE " + quoted_identifier(column.table) + " ADD COLUMN " +
                                quoted_identifier(column.name) + " " + column.declaration;
        if (!run(core, sql)) return false;
    }
    return transaction.commit();
}

namespace {

Json::object document_labels(Core& core) {
    auto tr = [&core](const char* key) { return Json(core.translated(key, "")); };
    return {
        {"invoice", tr("INVOICE")},
        {"proforma", tr("PROFORMA")},
        {"estimate", tr("ESTIMATE")},
        {"delivery_note", tr("DELIVERY_NOTE")},
        {"purchase_order", tr("PURCHASE_ORDER")},
        {"purchase_receive", tr("PURCHASE_RECEIVE")},
        {"draft", tr("DRAFT")},
        {"reference", tr("reference")},
        {"supplier", tr("supplier")},
        {"billto", tr("bill_to")},
        {"vendor", tr("vendor")},
        {"issue_date", tr("issue_date")},
        {"delivery_date", tr("delivery_date")},
        {"due_date", tr("due_date")},
        {"payment_name", tr("payment_name")},
        {"quantity", tr("quantity")},
        {"price", tr("price")},
        {"net", tr("NET")},
        {"tax", tr("tax")},
        {"gross", tr("GROSS")},
        {"total", tr("total")},
    };
}

Json::object english_labels() {
    return {
        {"invoice", "Invoice"},           {"proforma", "Proforma"},
        {"estimate", "Estimate"},         {"delivery_note", "Delivery Note"},
        {"purchase_order", "Purchase Order"}, {"purchase_receive", "Purchase Receive"},
        {"draft", "Draft"},               {"reference", "Reference"},
        {"supplier", "Supplier"},         {"billto", "Bill to"},
        {"vendor", "Vendor"},             {"issue_date", "Issue"},
        {"delivery_date", "Delivery"},    {"due_date", "Due"},
        {"payment_name", "Payment"},      {"quantity", "Quantity"},
        {"price", "Price"},               {"net", "Net"},
        {"tax", "Tax"},                   {"gross", "Gross"},
        {"total", "Total"},
    };
}

Json::object german_labels() {
    return {
        {"invoice", "Rechnung"},          {"proforma", "Proformarechnung"},
        {"estimate", "Angebot"},          {"delivery_note", "Lieferschein"},
        {"purchase_order", "Bestellung"}, {"purchase_receive", "Wareneingangserfassung"},
        {"draft", "Luftzug"},             {"reference", "Referenz"},
        {"supplier", "Verkauf"},          {"billto", "Kunde"},
        {"vendor", "Anbieter"},           {"issue_date", "Rechnungsdatum"},
        {"delivery_date", "Leistungsdatum"}, {"due_date", "Zahlungsdatum"},
        {"payment_name", "Zahlung"},      {"quantity", "Anzahl"},
        {"price", "Preis"},               {"net", "Nettobetrag"},
        {"tax", "MwSt."},                 {"gross", "Bruttobetrag"},
        {"total", "Gesamtbetrag"},
    };
}

Json tax(const std::string& name, const std::string& summary_name, int rate, const std::string& summary_name2,
         Json rate2) {
    return Json::object{{"id", new_record_name()},   {"name", name},
                        {"summary_name", summary_name}, {"rate", rate},
                        {"summary_name2", summary_name2}, {"rate2", rate2},
                        {"compound", 0}};
}

Json unit(const std::string& name) {
    return Json::object{{"id", new_record_name()}, {"name", name}, {"digits", 0}};
}

// The leading decimal digits of a tax name ("27%" gives 27, a letter code 0).
int leading_number(const std::string& text) {
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> default_settings(Core& core) {
    auto tr = [&core](const std::string& key) { return core.translated(key, ""); };
    const bool hu = core.is_hungarian;

    std::string country_code;
    auto found = core.system_info.find("country_code");
    if (found != core.system_info.end()) country_code = found->second;
    // A locale that names no country (C.UTF-8, say) must not leave the account without one: the
    // addresses and new clients take their fields from it. The program is made for Hungary.
    if (country_code.empty()) country_code = "HU";

    Json::array currencies;
    Json::array taxes;
    Json::array units;
    Json::array languages;
    Json::object translate;
    if (hu) {
        currencies.push_back(Json::object{{"code", "HUF"},
                                          {"digits_line", 0},
                                          {"digits_total", 0},
                                          {"decimal_point", ","},
                                          {"thousands_sep", " "},
                                          {"symbol", "Ft"},
                                          {"pattern", "3412"}});
        for (const char* name : {"27%", "18%", "5%", "AAM", "TAM", "KBAET", "KBAUK", "EAM", "ATK", "EUFAD37",
                                 "EUFADE", "EUE", "HO", "FAD", "KAH", "KAM", "KAR"})
            taxes.push_back(tax(name, name, leading_number(name), "", Json(0)));
        for (const char* name : {"darab", "kilogramm", "karton", "csomag", "tonna", "hónap", "nap", "óra", "perc",
                                 "méter", "kilométer", "folyóméter", "liter", "köbméter", "kilowatt óra"})
            units.push_back(unit(name));
        for (const char* code : {"hu", "en", "de"}) languages.push_back(Json::object{{"code", code}});
        translate["hu"] = document_labels(core);
    } else {
        currencies.push_back(Json::object{{"code", "USD"},
                                          {"digits_line", 2},
                                          {"digits_total", 0},
                                          {"decimal_point", "."},
                                          {"thousands_sep", ","},
                                          {"symbol", "$"},
                                          {"pattern", "2034"}});
        currencies.push_back(Json::object{{"code", "EUR"},
                                          {"digits_line", 2},
                                          {"digits_total", 2},
                                          {"decimal_point", ","},
                                          {"thousands_sep", "."},
                                          {"symbol", "€"},
                                          {"pattern", "3412"}});
        taxes.push_back(tax("5%", "5%", 5, "", Json(0)));
        taxes.push_back(tax("10%", "10%", 10, "", Json(0)));
        taxes.push_back(tax("GST/QST", "GST", 5, "QST", Json(9.975)));
        units.push_back(unit(tr("each")));
        units.push_back(unit(tr("hour")));
        for (const char* code : {"en", "de"}) languages.push_back(Json::object{{"code", code}});
    }
    translate["en"] = english_labels();
    translate["de"] = german_labels();

    Json::object formats{{"date", hu ? "YYYY. MM. DD." : "YYYY-MM-DD"}};
    for (const char* type : {"invoice", "estimate", "proforma", "delivery_note", "purchase_order", "purchase_receive"}) {
        std::string t = type;
        formats[t + "_number"] = "/YYYY-NNNN";
        formats[t + "_number_prefix"] = tr("prefix_" + t);
        formats[t + "_number_initial"] = 1;
    }

    std::vector<std::pair<std::string, Json>> rows = {
        {"local", Json::object{{"db_ver", kSchemaVersion}, {"syncToken", ""}}},
        {"countries", Json::array{Json::object{{"code", country_code}}}},
        {"payments",
         Json::array{Json::object{{"id", new_record_name()},
                                  {"name", tr("bank_transfer")},
                                  {"payment_name", tr("bank_transfer")},
                                  {"bank", kSampleBankAccount}},
                     Json::object{{"id", new_record_name()},
                                  {"name", tr("cash")},
                                  {"payment_name", tr("cash")},
                                  {"bank", ""}}}},
        {"terms", Json::array{Json::object{{"id", new_record_name()}, {"name", tr("due_on_receipt")}},
                              Json::object{{"id", new_record_name()}, {"name", tr("net_7")}},
                              Json::object{{"id", new_record_name()}, {"name", tr("net_30")}}}},
        {"supplier", Json::object{{"name", tr("my_company")},
                                  {"identifier_number", ""},
                                  {"other", ""},
                                  {"state", ""},
                                  {"city", ""},
                                  {"street", ""},
                                  {"postcode", ""},
                                  {"nav_user_id", ""},
                                  {"nav_user_pwd", ""},
                                  {"nav_xml_alairokulcs", ""},
                                  {"nav_xml_cserekulcs", ""},
                                  {"small_business_indicator", "false"},
                                  {"cash_accounting_indicator", "false"}}},
        {"currencies", currencies},
        {"taxes", taxes},
        {"units", units},
        {"languages", languages},
        {"translate", translate},
        {"header_notes", Json::array{Json::object{
                             {"id", new_record_name()}, {"name", tr("empty")}, {"type", "INVOICE"}, {"note", ""}}}},
        {"footer_notes", Json::array{Json::object{{"id", new_record_name()},
                                                  {"name", tr("thank_you")},
                                                  {"type", "INVOICE"},
                                                  {"note", tr("thank_you")}}}},
        {"line_notes", Json::array{}},
        {"formats", formats},
        {"templates", Json::object{{"INVOICE", "001"},
                                   {"PROFORMA", "001"},
                                   {"ESTIMATE", "001"},
                                   {"DELIVERY_NOTE", "001"},
                                   {"PURCHASE_ORDER", "001"},
                                   {"PURCHASE_RECEIVE", "001"},
                                   {"DRAFT", "001"}}},
        {"theme_colors", Json::object{{"accent_font_color", "000000"}, {"accent_background_color", "ffffff"}}},
        {"defaults", Json::object{{"inventory_profit", "profit_fifo"}}},
        {"webshop_connect", Json::object{{"id", "woocommerce"}, {"domain", ""}, {"key1", ""}, {"key2", ""}}},
    };

    std::vector<std::pair<std::string, std::string>> texts;
    texts.reserve(rows.size());
    for (auto& [key, value] : rows) texts.emplace_back(key, value.dump());
    return texts;
}

}  // namespace store
