// The account store: database files, schema, default settings, queries, settings reads, record writes,
// transactions and the connection shared between threads.
#include "core/store/store_internal.h"
#include "tests/fakes/cloud_store.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <climits>
#include <filesystem>
#include <set>
#include <thread>

using json11::Json;

namespace json11 {
void PrintTo(const Json& value, std::ostream* out) { *out << value.dump(); }
}  // namespace json11

namespace {

struct Column {
    Column(std::string name_, std::string type_, std::string default_ = "", bool key_ = false)
        : name(std::move(name_)), type(std::move(type_)), default_value(std::move(default_)), key(key_) {}
    std::string name;
    std::string type;
    std::string default_value;  // "" for none
    bool key = false;
};

std::vector<Column> columns_of(Core& core, const std::string& table) {
    std::vector<Column> out;
    for (auto& row : core.query("PRAGMA table_info('" + table + "')")) {
        out.push_back({row["name"].string_value(), row["type"].string_value(),
                       row["dflt_value"].is_null() ? "" : row["dflt_value"].string_value(), row["pk"].number_value() > 0});
    }
    return out;
}

void expect_columns(Core& core, const std::string& table, const std::vector<Column>& columns) {
    auto actual = columns_of(core, table);
    ASSERT_EQ(actual.size(), columns.size()) << table;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        EXPECT_EQ(actual[i].name, columns[i].name) << table << " column " << i;
        EXPECT_EQ(actual[i].type, columns[i].type) << table << "." << columns[i].name;
        EXPECT_EQ(actual[i].default_value, columns[i].default_value) << table << "." << columns[i].name;
        EXPECT_EQ(actual[i].key, columns[i].key) << table << "." << columns[i].name;
    }
}

std::vector<Column> plain(std::initializer_list<const char*> names, const char* type) {
    std::vector<Column> out;
    for (const char* name : names) out.push_back({name, type, "", false});
    return out;
}

void append(std::vector<Column>& to, const std::vector<Column>& more) { to.insert(to.end(), more.begin(), more.end()); }

std::map<std::string, std::vector<Column>> expected_schema() {
    std::map<std::string, std::vector<Column>> s;
    s["settings"] = {{"recordName", "VARCHAR", "", true}, {"value", "VARCHAR"}, {"synced", "INT", "0"}};

    auto& clients = s["clients"];
    clients = {{"recordName", "VARCHAR", "", true}};
    append(clients, plain({"currency_id", "payment_id", "term_id", "country_code", "currency_code", "status", "name"},
                          "VARCHAR"));
    for (const char* name : {"identifier_number", "other", "state", "city", "street", "postcode", "email", "phone", "note"})
        clients.push_back({name, "VARCHAR", "''"});
    clients.push_back({"search", "VARCHAR"});
    clients.push_back({"synced", "INT", "0"});

    auto& items = s["items"];
    items = {{"recordName", "VARCHAR", "", true}, {"tax_id", "VARCHAR"}, {"unit_id", "VARCHAR"}, {"type", "VARCHAR", "''"}};
    append(items, plain({"name", "description", "sku", "upc"}, "VARCHAR"));
    append(items, plain({"selling_price", "purchase_price", "clearing_price"}, "DOUBLE"));
    append(items, plain({"price_type", "note", "search"}, "VARCHAR"));
    items.push_back({"synced", "INT", "0"});

    auto& documents = s["documents"];
    documents = {{"recordName", "VARCHAR", "", true}, {"recordChangeTag", "VARCHAR", "''"}};
    append(documents, plain({"clientRecordName", "reference_recordName"}, "VARCHAR"));
    append(documents, plain({"created", "modified"}, "BIGINT"));
    append(documents, plain({"payment_id", "language_code", "currency_code", "type", "client_status"}, "VARCHAR"));
    documents.push_back({"number", "INT"});
    append(documents, plain({"number_formatted", "reference_number_formatted", "template"}, "VARCHAR"));
    documents.push_back({"paid", "INT"});
    append(documents,
           plain({"issue_date", "delivery_date", "due_date", "supplier_name", "supplier_country_code", "supplier_state",
                  "supplier_city", "supplier_street", "supplier_postcode", "supplier_address",
                  "supplier_identifier_number", "supplier_other", "client_name", "client_country_code", "client_state",
                  "client_city", "client_street", "client_postcode", "client_address", "client_identifier_number",
                  "client_other", "client_email", "client_phone", "payment_name", "payment_bank", "header_note",
                  "footer_note"},
                 "VARCHAR"));
    append(documents, plain({"exchange_rate", "total_net_amount", "total_tax_amount", "total_gross_amount"}, "DOUBLE"));
    append(documents, plain({"nav_transaction_id", "nav_status"}, "VARCHAR"));
    documents.push_back({"task_progress", "INT", "0"});
    append(documents, plain({"task_repeat", "search"}, "VARCHAR"));
    documents.push_back({"synced", "INT", "0"});
    // Added since the first layout, at the end.
    documents.push_back({"supplier_email", "VARCHAR", "''"});
    documents.push_back({"supplier_phone", "VARCHAR", "''"});
    documents.push_back({"document_id", "VARCHAR", "''"});
    documents.push_back({"piece_modified", "VARCHAR", "''"});

    auto& lines = s["document_lines"];
    lines = {{"id", "VARCHAR", "", true}};
    append(lines, plain({"documentRecordName", "itemRecordName", "item_type", "tax_id", "unit_id", "name", "description",
                         "sku", "upc", "tax_name", "tax_summary_name", "tax_summary_name2"},
                        "VARCHAR"));
    append(lines, plain({"tax_rate", "tax_rate2"}, "DOUBLE"));
    lines.push_back({"tax_compound", "INT"});
    lines.push_back({"unit_name", "VARCHAR"});
    lines.push_back({"unit_digits", "INT"});
    lines.push_back({"price_type", "VARCHAR"});
    append(lines, plain({"price", "quantity"}, "DOUBLE"));
    lines.push_back({"discount_type", "VARCHAR"});
    append(lines, plain({"discount", "discount_net_amount", "discount_tax_amount", "discount_gross_amount", "net_amount",
                         "tax_amount", "gross_amount"},
                        "DOUBLE"));
    lines.push_back({"task_completed", "INT", "0"});
    lines.push_back({"search", "VARCHAR"});

    auto& inventory = s["inventory"];
    inventory = {{"recordName", "VARCHAR", "", true}};
    append(inventory, plain({"documentRecordName", "clientRecordName", "itemRecordName"}, "VARCHAR"));
    inventory.push_back({"created", "BIGINT"});
    append(inventory, plain({"number_formatted", "client_name", "item_name", "reason", "issue_date"}, "VARCHAR"));
    append(inventory, plain({"quantity", "remaining_fifo", "remaining_lifo"}, "INT"));
    append(inventory, plain({"remaining_history_fifo", "remaining_history_lifo"}, "VARCHAR"));
    append(inventory,
           plain({"price", "last_avg_purchase_price", "profit_fifo", "profit_lifo", "profit_avg", "profit_clearing"},
                 "DOUBLE"));
    inventory.push_back({"stock", "INT"});
    append(inventory, plain({"note", "search"}, "VARCHAR"));
    inventory.push_back({"synced", "INT", "0"});

    // The change tag added since the first layout.
    s["deleted"] = {{"recordName", "VARCHAR", "", true}, {"recordChangeTag", "VARCHAR", "''"}};
    return s;
}

bool is_uuid(const std::string& text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

// Replaces every `id` that is a fresh UUID by "UUID" and collects the ids.
Json without_ids(const Json& value, std::vector<std::string>& ids) {
    if (value.is_array()) {
        Json::array out;
        for (const Json& item : value.array_items()) out.push_back(without_ids(item, ids));
        return out;
    }
    if (value.is_object()) {
        Json::object out;
        for (const auto& [key, member] : value.object_items()) {
            if (key == "id" && is_uuid(member.string_value())) {
                ids.push_back(member.string_value());
                out[key] = "UUID";
            } else {
                out[key] = without_ids(member, ids);
            }
        }
        return out;
    }
    return value;
}

Json::object labels(std::initializer_list<const char*> texts) {
    static const char* keys[] = {"invoice",    "proforma",      "estimate",      "delivery_note", "purchase_order",
                                 "purchase_receive", "draft",    "reference",     "supplier",      "billto",
                                 "vendor",     "issue_date",    "delivery_date", "due_date",      "payment_name",
                                 "quantity",   "price",         "net",           "tax",           "gross",
                                 "total"};
    Json::object out;
    std::size_t i = 0;
    for (const char* text : texts) out[keys[i++]] = text;
    return out;
}

Json::object english_labels() {
    return labels({"Invoice", "Proforma", "Estimate", "Delivery Note", "Purchase Order", "Purchase Receive", "Draft",
                   "Reference", "Supplier", "Bill to", "Vendor", "Issue", "Delivery", "Due", "Payment", "Quantity",
                   "Price", "Net", "Tax", "Gross", "Total"});
}

Json::object german_labels() {
    return labels({"Rechnung", "Proformarechnung", "Angebot", "Lieferschein", "Bestellung", "Wareneingangserfassung",
                   "Luftzug", "Referenz", "Verkauf", "Kunde", "Anbieter", "Rechnungsdatum", "Leistungsdatum",
                   "Zahlungsdatum", "Zahlung", "Anzahl", "Preis", "Nettobetrag", "MwSt.", "Bruttobetrag",
                   "Gesamtbetrag"});
}

// The eighteen rows of a new database with every id replaced by "UUID", as the UI language gives them.
std::vector<std::pair<std::string, Json>> expected_settings(bool hu) {
    auto t = [hu](const char* en, const char* hun) { return Json(hu ? hun : en); };
    Json::array currencies, taxes, units, languages;
    Json::object translate{{"en", english_labels()}, {"de", german_labels()}};
    if (hu) {
        currencies.push_back(Json::object{{"code", "HUF"}, {"digits_line", 0}, {"digits_total", 0}, {"decimal_point", ","},
                                          {"thousands_sep", " "}, {"symbol", "Ft"}, {"pattern", "3412"}});
        int rates[] = {27, 18, 5};
        int i = 0;
        for (const char* name : {"27%", "18%", "5%", "AAM", "TAM", "KBAET", "KBAUK", "EAM", "ATK", "EUFAD37", "EUFADE",
                                 "EUE", "HO", "FAD", "KAH", "KAM", "KAR"}) {
            taxes.push_back(Json::object{{"id", "UUID"}, {"name", name}, {"summary_name", name},
                                         {"rate", i < 3 ? rates[i] : 0}, {"summary_name2", ""}, {"rate2", 0},
                                         {"compound", 0}});
            ++i;
        }
        for (const char* name : {"darab", "kilogramm", "karton", "csomag", "tonna", "hónap", "nap", "óra", "perc",
                                 "méter", "kilométer", "folyóméter", "liter", "köbméter", "kilowatt óra"})
            units.push_back(Json::object{{"id", "UUID"}, {"name", name}, {"digits", 0}});
        languages = {Json::object{{"code", "hu"}}, Json::object{{"code", "en"}}, Json::object{{"code", "de"}}};
        translate["hu"] = labels({"Számla", "Díjbekérő", "Árajánlat", "Szállítólevél", "Megrendelés", "Bevételezés",
                                  "Piszkozat", "Hivatkozás", "Szállító", "Vevő", "Beszállító", "Kiállítás", "Teljesítés",
                                  "Határidő", "Fizetési mód", "Mennyiség", "Ár", "Nettó", "ÁFA", "Bruttó", "Összesen"});
    } else {
        currencies.push_back(Json::object{{"code", "USD"}, {"digits_line", 2}, {"digits_total", 0}, {"decimal_point", "."},
                                          {"thousands_sep", ","}, {"symbol", "$"}, {"pattern", "2034"}});
        currencies.push_back(Json::object{{"code", "EUR"}, {"digits_line", 2}, {"digits_total", 2}, {"decimal_point", ","},
                                          {"thousands_sep", "."}, {"symbol", "€"}, {"pattern", "3412"}});
        auto tax = [](const char* name, const char* summary, int rate, const char* summary2, Json rate2) {
            return Json::object{{"id", "UUID"}, {"name", name}, {"summary_name", summary}, {"rate", rate},
                                {"summary_name2", summary2}, {"rate2", rate2}, {"compound", 0}};
        };
        taxes = {tax("5%", "5%", 5, "", 0), tax("10%", "10%", 10, "", 0), tax("GST/QST", "GST", 5, "QST", 9.975)};
        units = {Json::object{{"id", "UUID"}, {"name", "Each"}, {"digits", 0}},
                 Json::object{{"id", "UUID"}, {"name", "Hour"}, {"digits", 0}}};
        languages = {Json::object{{"code", "en"}}, Json::object{{"code", "de"}}};
    }
    Json::object formats{{"date", hu ? "YYYY. MM. DD." : "YYYY-MM-DD"}};
    const std::pair<const char*, Json> prefixes[] = {
        {"invoice", t("INVOICE", "SZAMLA")},          {"estimate", t("ESTIMATE", "ARAJANLAT")},
        {"proforma", t("PROFORMA", "PROFORMA")},      {"delivery_note", t("DELIVERY", "SZLEV")},
        {"purchase_order", t("PO", "RENDELES")},      {"purchase_receive", t("RECEIVE", "BEVETELEZES")}};
    for (const auto& [type, prefix] : prefixes) {
        formats[std::string(type) + "_number"] = "/YYYY-NNNN";
        formats[std::string(type) + "_number_prefix"] = prefix;
        formats[std::string(type) + "_number_initial"] = 1;
    }
    return {
        {"local", Json::object{{"db_ver", "221101"}, {"syncToken", ""}}},
        {"countries", Json::array{Json::object{{"code", "HU"}}}},
        {"payments", Json::array{Json::object{{"id", "UUID"}, {"name", t("Bank Transfer", "Átutalás")},
                                              {"payment_name", t("Bank Transfer", "Átutalás")},
                                              {"bank", "BANK 12345678-12345678"}},
                                 Json::object{{"id", "UUID"}, {"name", t("Cash", "Készpénz")},
                                              {"payment_name", t("Cash", "Készpénz")}, {"bank", ""}}}},
        {"terms", Json::array{Json::object{{"id", "UUID"}, {"name", t("Due on Receipt", "Számlázás napján")}},
                              Json::object{{"id", "UUID"}, {"name", t("NET 7", "7 nap")}},
                              Json::object{{"id", "UUID"}, {"name", t("NET 30", "30 nap")}}}},
        {"supplier", Json::object{{"name", t("My Company", "Saját cégem")}, {"identifier_number", ""}, {"other", ""},
                                  {"state", ""}, {"city", ""}, {"street", ""}, {"postcode", ""}, {"nav_user_id", ""},
                                  {"nav_user_pwd", ""}, {"nav_xml_alairokulcs", ""}, {"nav_xml_cserekulcs", ""},
                                  {"small_business_indicator", "false"}, {"cash_accounting_indicator", "false"}}},
        {"currencies", currencies},
        {"taxes", taxes},
        {"units", units},
        {"languages", languages},
        {"translate", translate},
        {"header_notes", Json::array{Json::object{{"id", "UUID"}, {"name", t("Empty", "Üres")}, {"type", "INVOICE"},
                                                  {"note", ""}}}},
        {"footer_notes", Json::array{Json::object{{"id", "UUID"}, {"name", t("Thank you", "Köszönjük!")},
                                                  {"type", "INVOICE"}, {"note", t("Thank you", "Köszönjük!")}}}},
        {"line_notes", Json::array{}},
        {"formats", formats},
        {"templates", Json::object{{"INVOICE", "001"}, {"PROFORMA", "001"}, {"ESTIMATE", "001"}, {"DELIVERY_NOTE", "001"},
                                   {"PURCHASE_ORDER", "001"}, {"PURCHASE_RECEIVE", "001"}, {"DRAFT", "001"}}},
        {"theme_colors", Json::object{{"accent_font_color", "000000"}, {"accent_background_color", "ffffff"}}},
        {"defaults", Json::object{{"inventory_profit", "profit_fifo"}}},
        {"webshop_connect", Json::object{{"id", "woocommerce"}, {"domain", ""}, {"key1", ""}, {"key2", ""}}},
    };
}

// A Core over <temp>/data/ with the application folder <temp>/ and its database open.
std::unique_ptr<Core> open_core(const TempDir& dir, const std::string& language = "hu", const std::string& account = "") {
    auto core = make_core(dir.path() + "data/", language, dir.path());
    if (!account.empty()) core->current_account = account;
    core->open_database();
    return core;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> names_of(const std::vector<Json::object>& rows) {
    std::vector<std::string> out;
    for (const auto& row : rows) out.push_back(row.at("name").string_value());
    return out;
}

std::string typeof_column(Core& core, const std::string& table, const std::string& column, const std::string& key) {
    store::Statement statement(core, "SELECT typeof(" + column + ") FROM " + table + " WHERE recordName = ?");
    statement.bind(1, key);
    return statement.step() ? statement.column_text(0) : "missing";
}

}  // namespace

TEST(Store, NewAccountFileHasTheSchemaAndReopeningChangesNothing) {
    TempDir dir;
    auto core = open_core(dir, "hu", "Acme");
    ASSERT_NE(core->db, nullptr);
    ASSERT_TRUE(exists(dir.path() + "data/Acme.tvr"));

    auto expected = expected_schema();
    auto tables = core->query("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
    ASSERT_EQ(tables.size(), expected.size());
    for (const auto& [table, columns] : expected) expect_columns(*core, table, columns);
    EXPECT_EQ(core->query("SELECT name FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL").size(), 8u);
    EXPECT_EQ(core->setting("local").dump(), "{\"db_ver\": \"221101\", \"syncToken\": \"\"}");

    // Opening the same file again (closed first, or still open) writes nothing.
    auto before = core->query("SELECT * FROM settings ORDER BY rowid");
    core->close_database();
    std::string bytes = read_file(dir.path() + "data/Acme.tvr");
    core->open_database();
    core->open_database();
    EXPECT_EQ(core->query("SELECT * FROM settings ORDER BY rowid"), before);
    core->close_database();
    EXPECT_EQ(read_file(dir.path() + "data/Acme.tvr"), bytes);
}

// A file made before documents kept the company's e-mail and phone gets their columns at its next
// open; its documents print as they did, without the contacts that the settings hold now, and a
// document saved since keeps and prints them.
TEST(Store, OlderFileGetsTheSupplierContactColumnsAndItsDocumentsPrintAsBefore) {
    TempDir dir;
    const Json::object invoice{{"type", "INVOICE"}, {"template", "001"}, {"client_name", "Vevő Bt."},
                               {"supplier_email", "info@kiss.hu"}, {"supplier_phone", "+36 1 234 5678"}};
    const std::vector<Json> lines = {Json::object{{"name", "Alma"}, {"quantity", 2}, {"price", 100}}};
    auto printed = [](Core& core, const std::string& name) {
        const auto rows = store::rows(core, "SELECT * FROM documents WHERE recordName = ?", {name});
        return rows.empty() ? std::string() : core.document_html(1, Json(rows.front()), Json::array{}, "0,0");
    };
    std::string older, page_before;
    {
        auto core = open_core(dir, "hu", "Acme");
        for (const char* column : {"supplier_email", "supplier_phone", "document_id", "piece_modified"})
            ASSERT_TRUE(store::run(*core, std::string("ALTER TABLE documents DROP COLUMN ") + column));
        older = core->save_document(lines, false, invoice);
        page_before = printed(*core, older);
        ASSERT_EQ(page_before.find("info@kiss.hu"), std::string::npos);
        Json::object supplier = core->setting("supplier").object_items();
        supplier["email"] = "info@kiss.hu";
        ASSERT_TRUE(core->save_record({{"recordName", "supplier"}, {"value", Json(supplier).dump()}}, "settings"));
    }
    auto core = open_core(dir, "hu", "Acme");
    expect_columns(*core, "documents", expected_schema()["documents"]);
    // Empty, as a document of the first layout uploads them.
    EXPECT_EQ(core->query("SELECT * FROM documents WHERE supplier_email = '' AND supplier_phone = ''").size(), 1u);
    EXPECT_EQ(printed(*core, older), page_before);
    const std::string newer = core->save_document(lines, false, invoice);
    EXPECT_NE(printed(*core, newer).find("<br>info@kiss.hu, +36 1 234 5678</div>"), std::string::npos);
}

TEST(Store, DefaultSettingsOfBothLanguages) {
    for (bool hu : {true, false}) {
        SCOPED_TRACE(hu ? "hu" : "en");
        TempDir dir;
        auto core = open_core(dir, hu ? "hu" : "en");
        EXPECT_EQ(core->current_account, "DEMO");
        auto rows = core->query("SELECT * FROM settings ORDER BY rowid");
        auto expected = expected_settings(hu);
        ASSERT_EQ(rows.size(), 18u);
        std::vector<std::string> ids;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto& [key, value] = expected[i];
            EXPECT_EQ(rows[i]["recordName"].string_value(), key);
            EXPECT_EQ(rows[i]["synced"].number_value(), key == "local" ? -1.0 : 0.0) << key;
            const std::string& text = rows[i]["value"].string_value();
            Json parsed = Json::parse(text);
            EXPECT_EQ(parsed.dump(), text) << key;  // stored in the serializer's own form
            EXPECT_EQ(without_ids(parsed, ids), value) << key << ": " << text;
            EXPECT_EQ(core->setting(key), parsed) << key;
        }
        // 2 payments, 3 terms, the taxes, the units and 2 notes, each with its own id.
        EXPECT_EQ(ids.size(), hu ? 2u + 3u + 17u + 15u + 2u : 2u + 3u + 3u + 2u + 2u);
        EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
        EXPECT_EQ(core->setting("accounts"), Json(Json::array{}));

        // A second new database shares no id with the first.
        TempDir other;
        auto second = open_core(other, hu ? "hu" : "en");
        std::vector<std::string> more;
        for (auto& row : second->query("SELECT value FROM settings")) without_ids(Json::parse(row["value"].string_value()), more);
        for (const std::string& id : more) EXPECT_EQ(std::count(ids.begin(), ids.end(), id), 0);
    }
}

TEST(Store, SampleFilesAreCopiedOnlyWhenTheSampleDatabaseIsMissing) {
    TempDir dir;
    // A sample shipped for the UI language: any valid database of the current version.
    {
        TempDir maker;
        auto core = open_core(maker, "en", "Sample");
        core->save_record({{"recordName", "C1"}, {"name", "Sample client"}}, "clients");
        core->close_database();
        dir.write("DEMO_en.tvr", read_file(maker.path() + "data/Sample.tvr"));
    }
    dir.write("DEMOlogo", std::string("\x89PNG\0\1\2", 7));
    dir.write("data/old.pdf", "x");
    {
        auto core = open_core(dir, "en", "Acme");  // another account: the sample is copied all the same
        EXPECT_EQ(read_file(dir.path() + "data/DEMO.tvr"), read_file(dir.path() + "DEMO_en.tvr"));
        EXPECT_EQ(read_file(dir.path() + "data/DEMOlogo"), std::string("\x89PNG\0\1\2", 7));
        EXPECT_TRUE(core->query("SELECT * FROM clients").empty());
        core->current_account = "DEMO";
        core->open_database();
        EXPECT_EQ(names_of(core->query("SELECT * FROM clients")), std::vector<std::string>{"Sample client"});
    }
    // DEMO.tvr present: neither file is touched, even with the logo gone.
    unlink((dir.path() + "data/DEMOlogo").c_str());
    dir.write("DEMO_en.tvr", "changed");
    open_core(dir, "en", "Acme");
    EXPECT_FALSE(exists(dir.path() + "data/DEMOlogo"));
    EXPECT_NE(read_file(dir.path() + "data/DEMO.tvr"), "changed");

    // No sample shipped: an empty DEMO.tvr becomes a new database with the default settings.
    TempDir bare;
    auto core = open_core(bare, "hu");
    EXPECT_EQ(core->current_account, "DEMO");
    EXPECT_EQ(core->query("SELECT * FROM settings").size(), 18u);
    EXPECT_TRUE(exists(bare.path() + "data/DEMOlogo"));
    EXPECT_EQ(read_file(bare.path() + "data/DEMOlogo"), "");
}

TEST(Store, LeftoverFilesAreRemovedButFoldersStay) {
    TempDir dir;
    for (const char* name : {"a.pdf", "report.PDF", "ab.pdf", "Invoice 12.pdf", "EBWebView"}) dir.write(std::string("data/") + name, "x");
    std::filesystem::create_directories(dir.path() + "data/folder.pdf");
    open_core(dir);
    EXPECT_TRUE(exists(dir.path() + "data/a.pdf"));
    EXPECT_TRUE(exists(dir.path() + "data/report.PDF"));
    EXPECT_FALSE(exists(dir.path() + "data/ab.pdf"));
    EXPECT_FALSE(exists(dir.path() + "data/Invoice 12.pdf"));
    EXPECT_FALSE(exists(dir.path() + "data/EBWebView"));
    EXPECT_TRUE(exists(dir.path() + "data/folder.pdf"));

    std::filesystem::create_directories(dir.path() + "data/EBWebView");
    open_core(dir);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "data/EBWebView"));
}

TEST(Store, OutOfDateFileIsBackedUpVerifiedAndRebuiltOnce) {
    TempDir dir;
    const std::string data = dir.path() + "data/";
    {
        auto core = open_core(dir, "hu", "Acme");
        core->save_record({{"recordName", "C1"}, {"name", "Unsynced client"}}, "clients");
        core->query("UPDATE settings SET value = '{\"db_ver\": \"220101\", \"syncToken\": \"\"}' WHERE recordName = 'local'");
    }
    const std::string original = read_file(data + "Acme.tvr");
    static constexpr std::time_t when = 1667313045;  // 2022-11-01 14:30:45 UTC
    set_clock([] { return when; });
    std::tm local{};
    localtime_r(&when, &local);
    const std::string backup = data + "tmp/" + format_time(local, "%y%m%d%H%M%S") + "_Acme.tvr";

    auto core = make_core(data, "hu", dir.path());
    core->current_account = "Acme";
    testing::internal::CaptureStdout();
    core->open_database();
    std::string out = testing::internal::GetCapturedStdout();
    set_clock(nullptr);

    EXPECT_EQ(out, "SILENT DATABASE UPDATE\n");
    ASSERT_TRUE(exists(backup));
    EXPECT_EQ(read_file(backup), original);
    ASSERT_NE(core->db, nullptr);
    EXPECT_TRUE(core->query("SELECT * FROM clients").empty());
    EXPECT_EQ(core->setting("local")["db_ver"], Json("221101"));
    EXPECT_EQ(core->query("SELECT * FROM settings").size(), 18u);
    EXPECT_TRUE(exists(data + "DEMO.tvr"));

    // db_ver held as a number counts as out of date as well.
    core->query("UPDATE settings SET value = '{\"db_ver\": 221101}' WHERE recordName = 'local'");
    testing::internal::CaptureStdout();
    core->open_database();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SILENT DATABASE UPDATE\n");
    EXPECT_EQ(core->setting("local")["db_ver"], Json("221101"));
}

TEST(Store, OutOfDateSampleIsCopiedAgainButRebuiltOnlyOnce) {
    TempDir dir;
    {
        TempDir maker;
        auto core = open_core(maker, "hu", "Old");
        core->query("UPDATE settings SET value = '{\"db_ver\": \"190101\"}' WHERE recordName = 'local'");
        core->close_database();
        dir.write("DEMO_hu.tvr", read_file(maker.path() + "data/Old.tvr"));
    }
    auto core = make_core(dir.path() + "data/", "hu", dir.path());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    core->open_database();
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "SILENT DATABASE UPDATE\n");
    EXPECT_NE(err.find("still out of date"), std::string::npos);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    // The fresh copy stays open and usable; no backup is made of the sample.
    ASSERT_NE(core->db, nullptr);
    EXPECT_EQ(core->setting("local")["db_ver"], Json("190101"));
    EXPECT_FALSE(exists(dir.path() + "data/tmp"));
}

TEST(Store, BackupThatCannotBeWrittenLeavesTheAccountFile) {
    TempDir dir;
    const std::string data = dir.path() + "data/";
    {
        auto core = open_core(dir, "hu", "Acme");
        for (int i = 0; i < 200; ++i)
            core->save_record({{"recordName", "C" + std::to_string(i)}, {"note", std::string(200, 'n')}}, "clients");
        core->query("UPDATE settings SET value = '{}' WHERE recordName = 'local'");
    }
    const std::string original = read_file(data + "Acme.tvr");
    ASSERT_GT(original.size(), 16384u);

    // A write that stops part-way (the file size limit stands in for a full disk).
    std::filesystem::create_directories(data + "tmp");
    auto core = make_core(data, "hu", dir.path());
    core->current_account = "Acme";
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 8192;
    setrlimit(RLIMIT_FSIZE, &small);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    core->open_database();
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(read_file(data + "Acme.tvr"), original);
    EXPECT_TRUE(std::filesystem::is_empty(data + "tmp"));  // no broken backup kept
    EXPECT_NE(err.find("could not be backed up"), std::string::npos);
    // The store stays closed: nothing reads or writes the old file.
    EXPECT_EQ(core->db, nullptr);
    EXPECT_TRUE(core->query("SELECT * FROM clients").empty());
    EXPECT_FALSE(core->save_record({{"recordName", "X"}}, "clients"));

    // A backup folder that cannot be made (a file stands in its place): the file stays as well.
    std::filesystem::remove_all(data + "tmp");
    dir.write("data/tmp", "not a folder");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    core->open_database();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(read_file(data + "Acme.tvr"), original);
    EXPECT_EQ(core->db, nullptr);
}

namespace {

// Overwrites `count` whole pages from page `first` (1-based) with junk, as a failing disk or a stray
// write would.
void overwrite_pages(const TempDir& dir, const std::string& name, std::size_t first, std::size_t count) {
    std::string bytes = read_file(dir.path() + name);
    ASSERT_GT(bytes.size(), 100u);
    const std::size_t page = static_cast<std::size_t>(static_cast<unsigned char>(bytes[16]) << 8 |
                                                      static_cast<unsigned char>(bytes[17]));
    ASSERT_GE(bytes.size(), (first - 1 + count) * page) << name;
    for (std::size_t i = (first - 1) * page; i < (first - 1 + count) * page; ++i)
        bytes[i] = static_cast<char>(0xA5 ^ (i * 131 % 251));
    dir.write(name, bytes);
}

std::string quick_check(Core& core) {
    auto rows = core.query("PRAGMA quick_check");
    return rows.size() == 1 ? Json(rows[0])["quick_check"].string_value() : "rows: " + std::to_string(rows.size());
}

}  // namespace

TEST(Store, DamagedFileIsSetAsideAndTheNextSyncFillsAFreshOne) {
    TempDir dir;
    const std::string account = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
    const std::string data = dir.path() + "data/";
    CloudStore cloud;
    cloud.create_zone(account);
    cloud.put_record("_defaultZone", "Settings", "accounts",
                     Json::object{{"data", Json::object{{"value", Json(Json::array{Json::object{
                                                                  {"id", account}, {"name", "F\xC5\x91 c\xC3\xA9g"}}})
                                                                  .dump()}}}});
    for (int i = 0; i < 300; ++i)
        cloud.put_row(account, "Clients", "CLIENT-" + std::to_string(i),
                      Json::object{{"name", "Client " + std::to_string(i)}, {"note", std::string(200, 'n')}});
    ScopedEnv::Values values = cloud.env();
    values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:1");
    ScopedEnv env(values);
    static constexpr std::time_t when = 1667313045;
    set_clock([] { return when; });
    std::tm local{};
    localtime_r(&when, &local);
    const std::string stem = data + "tmp/" + format_time(local, "%y%m%d%H%M%S") + "_" + account + "_damaged";

    auto core = open_core(dir, "hu", account);
    core->save_web_auth_token("session");
    EXPECT_FALSE(core->take_damaged_file());  // a sound file
    core->fetch_cloud_settings([](Json) {});
    ASSERT_EQ(core->query("SELECT * FROM clients").size(), 300u);
    ASSERT_FALSE(core->setting("local")["syncToken"].string_value().empty());

    // A few pages in the middle, then the file's first page: each time the file is set aside under a
    // name of its own, and the open that the sync starts with gives a fresh file the cloud fills.
    std::vector<std::pair<std::string, std::string>> set_aside;  // path and bytes
    for (const auto& [first, count] : {std::pair<std::size_t, std::size_t>{6, 3}, {1, 1}}) {
        SCOPED_TRACE("page " + std::to_string(first));
        core->close_database();
        overwrite_pages(dir, "data/" + account + ".tvr", first, count);
        const std::string damaged = read_file(data + account + ".tvr");
        const std::size_t calls_before = cloud.calls().size();
        testing::internal::CaptureStderr();
        core->fetch_cloud_settings([](Json) {});
        const std::string err = testing::internal::GetCapturedStderr();

        const std::optional<Core::DamagedFile> found = core->take_damaged_file();
        ASSERT_TRUE(found);
        EXPECT_FALSE(core->take_damaged_file());  // told once
        EXPECT_EQ(found->account, account);
        EXPECT_EQ(found->moved_to, set_aside.empty() ? stem + ".tvr" : stem + "-2.tvr");
        EXPECT_EQ(read_file(found->moved_to), damaged);
        EXPECT_NE(err.find(found->moved_to), std::string::npos);
        EXPECT_NE(core->damaged_file_message(*found).find(found->moved_to), std::string::npos);
        set_aside.emplace_back(found->moved_to, damaged);

        EXPECT_EQ(quick_check(*core), "ok");
        EXPECT_EQ(core->query("SELECT * FROM clients").size(), 300u);
        EXPECT_EQ(core->setting("local")["syncToken"].string_value(), cloud.token(account));
        EXPECT_EQ(core->setting("accounts")[0]["id"].string_value(), account);
        // The fresh file held no change token: the download started from the zone's beginning.
        std::vector<CloudCall> calls = cloud.calls();
        ASSERT_GT(calls.size(), calls_before + 1);
        EXPECT_EQ(calls[calls_before + 1].endpoint, "changes/zone");
        EXPECT_TRUE(calls[calls_before + 1].body["zones"]["syncToken"].is_null());
    }
    // The second damage did not replace the first one's file.
    for (const auto& [path, bytes] : set_aside) EXPECT_EQ(read_file(path), bytes);
    core.reset();

    // The sample company's damaged file: the shipped sample is copied again.
    {
        TempDir maker;
        auto sample = open_core(maker, "hu", "Sample");
        for (int i = 0; i < 200; ++i)
            sample->save_record({{"recordName", "C" + std::to_string(i)}, {"name", "Minta"}, {"note", std::string(200, 'n')}},
                                "clients");
        sample->close_database();
        dir.write("DEMO_hu.tvr", read_file(maker.path() + "data/Sample.tvr"));
    }
    unlink((data + "DEMO.tvr").c_str());
    core = open_core(dir, "hu", "DEMO");
    ASSERT_EQ(core->query("SELECT * FROM clients").size(), 200u);
    core->close_database();
    overwrite_pages(dir, "data/DEMO.tvr", 4, 2);
    const std::string damaged = read_file(data + "DEMO.tvr");
    testing::internal::CaptureStderr();
    core->open_database();
    testing::internal::GetCapturedStderr();
    const std::optional<Core::DamagedFile> found = core->take_damaged_file();
    ASSERT_TRUE(found);
    EXPECT_EQ(found->account, "DEMO");
    EXPECT_EQ(read_file(found->moved_to), damaged);
    EXPECT_EQ(read_file(data + "DEMO.tvr"), read_file(dir.path() + "DEMO_hu.tvr"));
    EXPECT_EQ(core->query("SELECT * FROM clients").size(), 200u);

    // No backup folder can be made (a file stands in its place): the damaged file stays where it is,
    // and the user is told so.
    core->close_database();
    std::filesystem::remove_all(data + "tmp");
    dir.write("data/tmp", "not a folder");
    overwrite_pages(dir, "data/DEMO.tvr", 4, 2);
    const std::string kept = read_file(data + "DEMO.tvr");
    testing::internal::CaptureStderr();
    core->open_database();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("could not be set aside"), std::string::npos);
    const std::optional<Core::DamagedFile> unmoved = core->take_damaged_file();
    ASSERT_TRUE(unmoved);
    EXPECT_TRUE(unmoved->moved_to.empty());
    EXPECT_NE(core->damaged_file_message(*unmoved).find("nem sikerült félretenni"), std::string::npos);
    core->close_database();
    EXPECT_EQ(read_file(data + "DEMO.tvr"), kept);
    set_clock({});
}

TEST(Store, BadAccountNamesFallBackToDemo) {
    TempDir dir;
    dir.write("outside.tvr", "");
    for (const std::string& name : {std::string(""), std::string("."), std::string(".."), std::string("../outside"),
                                    std::string("a/b"), std::string("a\\b"), std::string("a\0b", 3)}) {
        auto core = make_core(dir.path() + "data/", "hu", dir.path());
        core->current_account = name;
        core->open_database();
        EXPECT_EQ(core->current_account, "DEMO") << name;
        EXPECT_EQ(core->query("SELECT * FROM settings").size(), 18u) << name;
    }
    EXPECT_EQ(read_file(dir.path() + "outside.tvr"), "");
    std::set<std::string> files;
    for (auto& entry : std::filesystem::directory_iterator(dir.path() + "data")) files.insert(entry.path().filename());
    EXPECT_EQ(files, (std::set<std::string>{"DEMO.tvr", "DEMOlogo"}));
}

TEST(StoreDeathTest, DatabaseThatCannotBeOpenedEndsTheProcessWithStatusOne) {
    // The "fast" style forks at the statement: the folder belongs to this process, which removes it.
    GTEST_FLAG_SET(death_test_style, "fast");
    TempDir dir;
    std::filesystem::create_directories(dir.path() + "data/Acme.tvr/inside");
    EXPECT_EXIT(
        {
            auto core = make_core(dir.path() + "data/", "hu", dir.path());
            core->current_account = "Acme";
            core->open_database();
        },
        testing::ExitedWithCode(1), "cannot open the account database .*Acme\\.tvr");
}

TEST(Store, QueryPathsAndColumnKinds) {
    TempDir dir;
    auto core = open_core(dir);
    core->query("CREATE TABLE kinds (recordName VARCHAR, n, i, f, t, b);"
                "INSERT INTO kinds VALUES ('k', NULL, 42, 2.5, 'text', x'00ff');"
                "INSERT INTO kinds VALUES ('k2', NULL, -7, 0.25, '', x'')");
    auto rows = core->query("SELECT * FROM kinds ORDER BY recordName");
    ASSERT_EQ(rows.size(), 2u);
    const auto& row = rows[0];
    EXPECT_EQ(row.size(), 5u);  // the BLOB column has no member
    EXPECT_TRUE(row.at("n").is_null());
    EXPECT_TRUE(row.at("i").is_number());
    EXPECT_EQ(row.at("i").number_value(), 42.0);
    EXPECT_EQ(row.at("f").number_value(), 2.5);
    EXPECT_EQ(row.at("t"), Json("text"));
    EXPECT_EQ(row.count("b"), 0u);
    EXPECT_EQ(row.count("wname"), 0u);
    EXPECT_EQ(rows[1].at("i").int_value(), -7);

    // Only "SELECT " and "PRAGMA " at the very start take the row path; the rest is executed.
    EXPECT_TRUE(core->query("select * from kinds").empty());
    EXPECT_TRUE(core->query(" SELECT * FROM kinds").empty());
    EXPECT_EQ(core->query("PRAGMA table_info('kinds')").size(), 6u);
    EXPECT_TRUE(core->query("SELECT * FROM no_such_table").empty());
    // The row path runs only the first statement of a text.
    EXPECT_EQ(core->query("SELECT * FROM kinds; DELETE FROM kinds").size(), 2u);
    EXPECT_EQ(core->query("SELECT * FROM kinds").size(), 2u);
    // The execute path runs every statement until one fails.
    core->query("DELETE FROM kinds WHERE recordName = 'k2'; DELETE FROM no_such_table; DELETE FROM kinds");
    EXPECT_EQ(core->query("SELECT * FROM kinds").size(), 1u);
    // In a join the last of two equal column names wins; a NULL column is present as null.
    auto joined = core->query("SELECT 'first' AS x, NULL AS y, 'second' AS x");
    ASSERT_EQ(joined.size(), 1u);
    EXPECT_EQ(joined[0].at("x"), Json("second"));
    EXPECT_TRUE(joined[0].at("y").is_null());

    // Bound values through the internal statement.
    EXPECT_TRUE(store::run(*core, "INSERT INTO kinds (recordName, i, t) VALUES (?, ?, ?)", {"k3", 5, true}));
    store::Statement named(*core, "SELECT i, t FROM kinds WHERE recordName = :key");
    named.bind("key", "k3");
    ASSERT_TRUE(named.step());
    EXPECT_EQ(named.column_int64(0), 5);
    EXPECT_EQ(named.column_int64(1), 1);

    // A closed store answers nothing and writes nothing.
    core->close_database();
    EXPECT_EQ(core->db, nullptr);
    EXPECT_TRUE(core->query("SELECT * FROM settings").empty());
    EXPECT_TRUE(core->setting("local").is_null());
    EXPECT_EQ(core->setting("accounts"), Json(Json::array{}));
    EXPECT_FALSE(core->save_record({{"recordName", "C1"}}, "clients"));
    EXPECT_FALSE(store::run(*core, "DELETE FROM settings"));
    store::Transaction transaction(*core);
    EXPECT_FALSE(transaction.active());
    EXPECT_FALSE(transaction.commit());
}

TEST(Store, SettingsReads) {
    TempDir dir;
    auto core = open_core(dir);
    EXPECT_EQ(core->setting("taxes").array_items().size(), 17u);
    core->query("DELETE FROM settings WHERE recordName = 'taxes'");
    EXPECT_TRUE(core->setting("taxes").is_null());
    core->query("UPDATE settings SET value = 'not json' WHERE recordName = 'units'");
    EXPECT_TRUE(core->setting("units").is_null());
    // The key is bound: a quote in it neither breaks the statement nor finds another row.
    EXPECT_TRUE(core->setting("local' OR '1' = '1").is_null());

    core->query("UPDATE settings SET value = '{\"db_ver\": \"221101\", \"accounts\": [{\"id\": \"A\"}, \"B\"]}' "
                "WHERE recordName = 'local'");
    EXPECT_EQ(core->setting("accounts"), Json(Json::array{Json::object{{"id", "A"}}, "B"}));
    core->query("UPDATE settings SET value = '{\"accounts\": {\"id\": \"A\"}}' WHERE recordName = 'local'");
    EXPECT_EQ(core->setting("accounts"), Json(Json::array{}));
    core->query("DELETE FROM settings WHERE recordName = 'local'");
    EXPECT_EQ(core->setting("accounts"), Json(Json::array{}));
}

TEST(Store, NameOrder) {
    TempDir dir;
    auto core = open_core(dir);
    for (const char* name : {"cherry", "Banana", "apple", "Ab", "abc"})
        core->save_record({{"recordName", new_record_name()}, {"name", name}}, "items");
    const std::string list = "SELECT * FROM items WHERE search LIKE '%' ORDER BY name COLLATE NOCASE";
    auto rows = core->query(list);
    EXPECT_EQ(names_of(rows), (std::vector<std::string>{"Ab", "abc", "apple", "Banana", "cherry"}));
    ASSERT_EQ(rows[0].count("wname"), 1u);
    EXPECT_EQ(rows[0].at("wname").wstring_value(), u"Ab");
    EXPECT_EQ(core->query("SELECT * FROM items").front().count("wname"), 0u);
    // The marker inside a string literal counts too.
    EXPECT_EQ(names_of(core->query("SELECT * FROM items WHERE name <> 'COLLATE NOCASE' ORDER BY rowid DESC")),
              (std::vector<std::string>{"Ab", "abc", "apple", "Banana", "cherry"}));

    core->query("DELETE FROM items");
    for (const char* name : {"Zoltán", "Ütő", "Öcsi", "abc", "Ugor", "Éva", "Ödön", "Ábel", "éva"})
        core->save_record({{"recordName", new_record_name()}, {"name", name}}, "items");
    EXPECT_EQ(names_of(core->query("SELECT * FROM items ORDER BY name COLLATE NOCASE")),
              (std::vector<std::string>{"abc", "Ábel", "Éva", "éva", "Öcsi", "Ödön", "Ugor", "Ütő", "Zoltán"}));
}

TEST(Store, NameOrderIsAStrictWeakOrder) {
    std::vector<Json::object> rows;
    for (const char* name : {"", "a", "A", "á", "Á", "ä", "b", "~", "€", "_", "0", "9", "²", "ő", "Ő", "ö", "o", "p",
                             "z", "ž", "{", "Ω", "ω", "日", "\xF0\x9F\x98\x80", "a~", "a€", "aa", "ab", "ÁB", "e\xCC\x81"})
        rows.push_back({{"wname", store::utf16_from_utf8(name)}, {"name", name}});
    rows.push_back({{"name", "no wide name"}});
    auto less = [](const Json::object& x, const Json::object& y) { return less_by_wname(x, y); };
    auto equal = [&](const Json::object& x, const Json::object& y) { return !less(x, y) && !less(y, x); };
    for (const auto& a : rows) {
        EXPECT_FALSE(less(a, a)) << a.at("name").string_value();
        for (const auto& b : rows) {
            if (less(a, b)) {
                EXPECT_FALSE(less(b, a));
            }
            for (const auto& c : rows) {
                if (less(a, b) && less(b, c)) {
                    EXPECT_TRUE(less(a, c)) << a.at("name").string_value() << " < " << b.at("name").string_value()
                                            << " < " << c.at("name").string_value();
                }
                if (equal(a, b) && equal(b, c)) {
                    EXPECT_TRUE(equal(a, c));
                }
            }
        }
    }
    // Case-blind, a prefix first, and a row without a wide name counts as empty.
    auto row = [](const char* name) { return Json::object{{"wname", store::utf16_from_utf8(name)}}; };
    EXPECT_TRUE(equal(row("Adam"), row("adam")));
    EXPECT_TRUE(equal(row("ÁDÁM"), row("ádám")));
    EXPECT_TRUE(less(row("Ab"), row("abc")));
    EXPECT_TRUE(less(row("a"), row("á")));
    EXPECT_TRUE(less(row("á"), row("b")));
    EXPECT_TRUE(equal(rows.back(), row("")));
}

TEST(Store, Utf16Conversion) {
    EXPECT_EQ(store::utf16_from_utf8("Ütő"), u"Ütő");
    EXPECT_EQ(store::utf16_from_utf8("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(store::utf16_from_utf8("a\xC3"), u"a\uFFFD");
    EXPECT_EQ(store::utf16_from_utf8("\xC0\xAF!"), u"\uFFFD\uFFFD!");
    EXPECT_EQ(store::utf16_from_utf8("\xED\xA0\x80x"), u"\uFFFDx");
    EXPECT_EQ(store::like_escaped("100%_a\\b"), "100\\%\\_a\\\\b");
}

TEST(Store, SaveRecordBindsByDeclaredType) {
    TempDir dir;
    auto core = open_core(dir);
    Json::object client{{"recordName", "C1"}, {"name", "Kovács és Társa Kft."}, {"city", "Budapest"}};
    EXPECT_TRUE(core->save_record(client, "clients"));
    auto rows = core->query("SELECT * FROM clients");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].size(), 19u);
    EXPECT_EQ(rows[0]["name"], Json("Kovács és Társa Kft."));
    EXPECT_EQ(rows[0]["identifier_number"], Json(""));
    EXPECT_EQ(rows[0]["currency_id"], Json(""));  // an empty text, not the column default or NULL
    EXPECT_EQ(rows[0]["synced"], Json(0));
    EXPECT_EQ(rows[0]["search"], Json(search_text(client)));
    EXPECT_FALSE(rows[0]["search"].string_value().empty());

    // The same name again: one row, made from the second record alone.
    EXPECT_TRUE(core->save_record({{"recordName", "C1"}, {"email", "a@b.hu"}, {"synced", 1e10}}, "clients"));
    rows = core->query("SELECT * FROM clients");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["name"], Json(""));
    EXPECT_EQ(rows[0]["city"], Json(""));
    EXPECT_EQ(rows[0]["email"], Json("a@b.hu"));
    EXPECT_EQ(rows[0]["synced"], Json(INT_MAX));  // saturated into the INT column

    Json::object document{{"recordName", "D1"},
                          {"number_formatted", 12},        // a number in a text column
                          {"paid", true},                  // a boolean in an INT column
                          {"task_progress", "50"},         // a text in an INT column
                          {"number", -2.9},                // truncated toward zero
                          {"created", 1667313045000.0},    // whole milliseconds
                          {"modified", 1.75},              // a fraction is cut off
                          {"exchange_rate", 392.25},
                          {"total_net_amount", true},
                          {"total_tax_amount", "7"},
                          {"unknown_member", "ignored"}};
    EXPECT_TRUE(core->save_record(document, "documents"));
    auto doc = core->query("SELECT * FROM documents WHERE recordName = 'D1'");
    ASSERT_EQ(doc.size(), 1u);
    EXPECT_EQ(doc[0]["number_formatted"], Json(""));
    EXPECT_EQ(doc[0]["paid"], Json(1));
    EXPECT_EQ(doc[0]["task_progress"], Json(0));
    EXPECT_EQ(doc[0]["number"], Json(-2));
    EXPECT_EQ(doc[0]["created"], Json(1667313045000.0));
    EXPECT_EQ(doc[0]["modified"], Json(1));
    EXPECT_EQ(doc[0]["exchange_rate"], Json(392.25));
    EXPECT_EQ(doc[0]["total_net_amount"], Json(1));
    EXPECT_EQ(doc[0]["total_tax_amount"], Json(0));
    EXPECT_EQ(doc[0].count("unknown_member"), 0u);
    EXPECT_EQ(typeof_column(*core, "documents", "paid", "D1"), "integer");
    EXPECT_EQ(typeof_column(*core, "documents", "created", "D1"), "integer");
    EXPECT_EQ(typeof_column(*core, "documents", "exchange_rate", "D1"), "real");
    EXPECT_EQ(typeof_column(*core, "documents", "number_formatted", "D1"), "text");
    EXPECT_TRUE(core->save_record({{"recordName", "D1"}, {"paid", false}, {"created", 9.3e18}}, "documents"));
    EXPECT_EQ(core->query("SELECT paid FROM documents")[0]["paid"], Json(0));
    {
        store::Statement big(*core, "SELECT created FROM documents");
        ASSERT_TRUE(big.step());
        EXPECT_EQ(big.column_int64(0), INT64_MAX);
    }

    // Lines are keyed by id and have no synced column; the search text is left to the caller.
    EXPECT_TRUE(core->save_record({{"id", "D1-001"}, {"name", "Line"}, {"synced", 5}}, "document_lines"));
    EXPECT_TRUE(core->save_record({{"id", "D1-001"}, {"name", "Line again"}}, "document_lines"));
    auto lines = core->query("SELECT * FROM document_lines");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["name"], Json("Line again"));
    EXPECT_EQ(lines[0]["search"], Json(""));

    // A table the database lacks: nothing is written.
    EXPECT_FALSE(core->save_record({{"recordName", "X"}}, "no_such_table"));
    EXPECT_FALSE(core->save_record({{"recordName", "X"}}, "clients\" (recordName) VALUES ('Y'); --"));
    EXPECT_EQ(core->query("SELECT * FROM clients").size(), 1u);

    // A table that changes under the store is written in its new form.
    core->query("CREATE TABLE extra (recordName VARCHAR PRIMARY KEY, a INT)");
    EXPECT_TRUE(core->save_record({{"recordName", "E"}, {"a", 3}}, "extra"));
    core->query("DROP TABLE extra; CREATE TABLE extra (recordName VARCHAR PRIMARY KEY, b DOUBLE, c VARCHAR)");
    EXPECT_TRUE(core->save_record({{"recordName", "E"}, {"b", 0.5}, {"c", "x"}}, "extra"));
    auto extra = core->query("SELECT * FROM extra");
    ASSERT_EQ(extra.size(), 1u);
    EXPECT_EQ(extra[0]["b"], Json(0.5));
    EXPECT_EQ(extra[0]["c"], Json("x"));
    { store::Statement drop(*core, "DROP TABLE extra"); drop.run(); }
    { store::Statement create(*core, "CREATE TABLE extra (recordName VARCHAR PRIMARY KEY, d VARCHAR)"); create.run(); }
    EXPECT_TRUE(core->save_record({{"recordName", "E"}, {"d", "y"}}, "extra"));
    EXPECT_EQ(core->query("SELECT * FROM extra")[0]["d"], Json("y"));
}

TEST(Store, QuotesPercentAndUnderscoreAreStoredAndFoundIntact) {
    TempDir dir;
    auto core = open_core(dir);
    const std::string tricky = "O'Brien 100% _x_ \\ '); DELETE FROM clients; --";
    const std::string with_nul("before\0after", 12);
    core->save_record({{"recordName", "plain1"}, {"name", "OBrien 100 x"}, {"note", "keep"}}, "clients");
    core->save_record({{"recordName", "plain2"}, {"name", "OBrien 1000 axa"}, {"note", "keep"}}, "clients");
    core->save_record({{"recordName", "quote'd"}, {"name", tricky}, {"note", with_nul}}, "clients");
    auto before = core->query("SELECT * FROM clients WHERE recordName LIKE 'plain%' ORDER BY recordName");
    ASSERT_EQ(before.size(), 2u);

    auto all = core->query("SELECT * FROM clients ORDER BY recordName");
    ASSERT_EQ(all.size(), 3u);
    auto stored = store::rows(*core, "SELECT * FROM clients WHERE recordName = ?", {"quote'd"});
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["name"], Json(tricky));
    EXPECT_EQ(stored[0]["note"], Json(with_nul));

    // Found by a LIKE pattern with the value escaped, and only that row.
    for (const std::string& part : {std::string("100% _x_"), std::string("O'Brien"), std::string("_x_ \\")}) {
        auto found = store::rows(*core, "SELECT * FROM clients WHERE name LIKE ? ESCAPE '\\'",
                                 {"%" + store::like_escaped(part) + "%"});
        ASSERT_EQ(found.size(), 1u) << part;
        EXPECT_EQ(found[0]["recordName"], Json("quote'd"));
    }
    EXPECT_EQ(store::rows(*core, "SELECT * FROM clients WHERE name LIKE ? ESCAPE '\\'", {"%" + store::like_escaped("0%") + "%"}).size(), 1u);

    // Rewriting the row touches no other row.
    core->save_record({{"recordName", "quote'd"}, {"name", tricky + "'"}}, "clients");
    EXPECT_EQ(core->query("SELECT * FROM clients WHERE recordName LIKE 'plain%' ORDER BY recordName"), before);
    EXPECT_EQ(core->query("SELECT * FROM clients").size(), 3u);
}

TEST(Store, TransactionsNestAndKeepOtherThreadsOut) {
    TempDir dir;
    auto core = open_core(dir);
    auto count = [&] { return core->query("SELECT * FROM deleted").size(); };
    {
        store::Transaction outer(*core);
        ASSERT_TRUE(outer.active());
        store::run(*core, "INSERT INTO deleted(recordName) VALUES (?)", {"A"});
        {
            store::Transaction inner(*core);
            ASSERT_TRUE(inner.active());
            store::run(*core, "INSERT INTO deleted(recordName) VALUES (?)", {"B"});
        }  // rolled back: B goes, A stays
        {
            store::Transaction inner(*core);
            core->save_record({{"recordName", "C"}}, "deleted");
            EXPECT_TRUE(inner.commit());
        }
        EXPECT_EQ(count(), 2u);
        EXPECT_TRUE(outer.commit());
    }
    EXPECT_EQ(count(), 2u);
    {
        store::Transaction outer(*core);
        store::run(*core, "DELETE FROM deleted");
        store::Transaction inner(*core);
        EXPECT_TRUE(inner.commit());
    }  // the outer one was not committed
    EXPECT_EQ(count(), 2u);

    // Another thread cannot read inside a transaction of this one: it waits until the transaction ends.
    std::size_t seen = 99;
    {
        store::Transaction transaction(*core);
        store::run(*core, "INSERT INTO deleted(recordName) VALUES (?)", {"uncommitted"});
        std::thread reader([&] { seen = core->query("SELECT * FROM deleted").size(); });
        transaction.rollback();
        reader.join();
    }
    EXPECT_EQ(seen, 2u);
}

TEST(StoreThreads, ReadersWhileTheDatabaseIsClosedAndReopened) {
    TempDir dir;
    auto core = open_core(dir, "hu", "Acme");
    for (int i = 0; i < 50; ++i)
        core->save_record({{"recordName", "C" + std::to_string(i)}, {"name", "Client " + std::to_string(i)}}, "clients");
    const std::string local = core->query("SELECT value FROM settings WHERE recordName = 'local'")[0]["value"].string_value();

    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::atomic<long> answered{0};
    std::atomic<long> empty{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            while (!done.load()) {
                // Each answer is either empty (closed at that moment) or complete and right.
                auto rows = core->query("SELECT * FROM clients ORDER BY name COLLATE NOCASE");
                if (rows.empty()) {
                    ++empty;
                } else if (rows.size() != 50 || rows.front()["name"] != Json("Client 0")) {
                    ++wrong;
                }
                Json value = t % 2 ? core->setting("local") : core->setting("taxes");
                if (!value.is_null() && (t % 2 ? value.dump() != local : value.array_items().size() != 17)) ++wrong;
                auto bound = store::rows(*core, "SELECT name FROM clients WHERE recordName = ?", {"C7"});
                if (!bound.empty() && bound[0]["name"] != Json("Client 7")) ++wrong;
                ++answered;
            }
        });
    }
    for (int cycle = 0; cycle < 200; ++cycle) {
        core->close_database();
        core->open_database();
    }
    // Let the readers answer against the open database as well, then stop them.
    long target = answered.load() + 40;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (answered.load() < target && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(answered.load(), 0);
    EXPECT_EQ(core->query("SELECT * FROM clients").size(), 50u);
}
