// Imports of clients, items and archived invoices, and the shipped sample account.
#include "core/store/import_check.h"
#include "core/store/store_internal.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

using json11::Json;

namespace {

// What an import reported, and where.
struct Report {
    int calls = 0;
    int count = -1;
    std::thread::id thread;
    std::function<void(int)> callback() {
        return [this](int n) {
            ++calls;
            count = n;
            thread = std::this_thread::get_id();
        };
    }
};

class Imports : public ::testing::Test {
protected:
    void open(const std::string& language = "hu") {
        core = make_core(dir.path() + "data/", language);
        core->open_database();
        ASSERT_NE(core->db, nullptr);
    }
    void TearDown() override { core.reset(); }

    void set_setting(const std::string& key, const std::string& value) {
        ASSERT_TRUE(store::run(*core, "UPDATE settings SET value = ? WHERE recordName = ?", {value, key}));
    }
    std::size_t count(const std::string& sql, std::initializer_list<Json> values = {}) {
        return static_cast<std::size_t>(store::rows(*core, sql, values).front().begin()->second.number_value());
    }
    Json row(const std::string& sql, std::initializer_list<Json> values) {
        auto rows = store::rows(*core, sql, values);
        return rows.empty() ? Json() : Json(rows.front());
    }
    Json client(const std::string& name) { return row("SELECT * FROM clients WHERE name = ?", {name}); }
    Json item(const std::string& name) { return row("SELECT * FROM items WHERE name = ?", {name}); }

    Report import_clients(const std::string& content) {
        Report report;
        core->import_clients(dir.write("clients.csv", content), report.callback());
        return report;
    }
    Report import_items(const std::string& content) {
        Report report;
        core->import_items(dir.write("items.csv", content), report.callback());
        return report;
    }
    Report import_invoices(const std::string& content, int mode) {
        Report report;
        core->import_invoices(dir.write("invoices.tavrinimport", content), mode, report.callback());
        return report;
    }

    TempDir dir;
    std::unique_ptr<Core> core;
};

TEST_F(Imports, ClientLinesAreCheckedNormalisedAndCounted) {
    open("hu");
    set_setting("countries", R"([{"code": "HU"}, {"code": "AT"}])");
    // Stored before the import: one client matched by name and postcode, one by identifier number.
    core->save_record({{"recordName", "STORED-1"}, {"name", "Meglévő Kft."}, {"postcode", "1111"}}, "clients");
    core->save_record({{"recordName", "STORED-2"}, {"name", "Más Név Bt."}, {"identifier_number", "11111111-2-42"}},
                      "clients");

    const std::string file =
        "\xEF\xBB\xBF"
        "Árvíztűrő  Tükörfúró Kft.;12345678-2-41;hu;Pest;Budapest;Fő utca 1.;1011;info@example.hu;+36 1 555 0101;"
        "első sor\n"
        "Név;Adószám;Ország;Megye;Város;Utca;Irányítószám;Email;Telefon;Megjegyzés\n"  // header: no such country
        "\n"
        "\"O'Brien & Társa\" Bt.;;HU;;Szeged;Kossuth u. 2.;6720;;;jegyzet\r\n"
        "Rövid sor;;HU;;Pécs;;7621;;\n"                       // 9 columns
        "Hosszú sor;;HU;;Pécs;;7621;;;;\n"                    // 11 columns
        "\"Pontos; Vesszős\";;HU;;Győr;;9021;;;\n"            // the quoted semicolon still splits
        "   ;;HU;;Győr;;9021;;;\n"                            // blank name
        "Idegen GmbH;ATU12345678;DE;;Berlin;;10115;;;\n"      // country not listed
        "Bécsi GmbH;ATU87654321;at;Wien;Wien;Ring 1;1010;;;\n"
        "Meglévő Kft.;;HU;;Budapest;;1111;;;\n"               // stored: same name and postcode
        "Új Név Kft.;11111111-2-42;HU;;Budapest;;1234;;;\n"   // stored: same identifier
        "Meglévő Kft.;;HU;;Budapest;;2222;;;\n"               // other postcode, empty identifier: new
        "Bécsi GmbH;;HU;;Wien;;1010;;;\n"                     // duplicate of a line above
        "Utolsó Zrt.;;HU;;Eger;;3300;;;sor vége";             // no final line feed
    Report report = import_clients(file);

    EXPECT_EQ(report.calls, 1);
    EXPECT_EQ(report.thread, std::this_thread::get_id());
    EXPECT_EQ(report.count, 5);
    EXPECT_EQ(count("SELECT COUNT(*) FROM clients"), 2u + 5u);

    Json first = client("Árvíztűrő Tükörfúró Kft.");  // no byte-order mark, one blank
    ASSERT_TRUE(first.is_object());
    EXPECT_EQ(first["status"].string_value(), "DOMESTIC");
    EXPECT_EQ(first["identifier_number"].string_value(), "12345678-2-41");
    EXPECT_EQ(first["country_code"].string_value(), "HU");
    EXPECT_EQ(first["state"].string_value(), "Pest");
    EXPECT_EQ(first["city"].string_value(), "Budapest");
    EXPECT_EQ(first["street"].string_value(), "Fő utca 1.");
    EXPECT_EQ(first["postcode"].string_value(), "1011");
    EXPECT_EQ(first["email"].string_value(), "info@example.hu");
    EXPECT_EQ(first["phone"].string_value(), "+36 1 555 0101");
    EXPECT_EQ(first["note"].string_value(), "első sor");
    EXPECT_EQ(first["other"].string_value(), "");
    EXPECT_EQ(first["synced"].number_value(), 0);
    EXPECT_EQ(first["recordName"].string_value().size(), 36u);
    EXPECT_EQ(first["currency_code"].string_value(), "HUF");
    EXPECT_EQ(first["payment_id"].string_value(), core->setting("payments")[0]["id"].string_value());
    EXPECT_EQ(first["term_id"].string_value(), core->setting("terms")[0]["id"].string_value());
    EXPECT_NE(first["search"].string_value().find("arvizturo"), std::string::npos);

    Json quoted = client("O'Brien & Társa Bt.");
    ASSERT_TRUE(quoted.is_object());
    EXPECT_EQ(quoted["status"].string_value(), "PRIVATE_PERSON");
    EXPECT_EQ(quoted["note"].string_value(), "jegyzet");  // no carriage return

    Json vienna = client("Bécsi GmbH");
    EXPECT_EQ(vienna["country_code"].string_value(), "AT");
    EXPECT_EQ(vienna["status"].string_value(), "PRIVATE_PERSON");  // 11 characters
    EXPECT_EQ(vienna["postcode"].string_value(), "1010");
    EXPECT_EQ(count("SELECT COUNT(*) FROM clients WHERE name = ?", {"Meglévő Kft."}), 2u);
    EXPECT_EQ(count("SELECT COUNT(*) FROM clients WHERE postcode = '2222'"), 1u);
    EXPECT_FALSE(client("Új Név Kft.").is_object());
    EXPECT_FALSE(client("Idegen GmbH").is_object());
    EXPECT_EQ(client("Utolsó Zrt.")["note"].string_value(), "sor vége");
    // Stored records are never changed.
    EXPECT_EQ(client("Más Név Bt.")["recordName"].string_value(), "STORED-2");

    // The same file again: each line passed over is named with its reason, blank lines are not.
    const ImportReport again = import_clients_reported(*core, dir.path() + "clients.csv");
    EXPECT_TRUE(again.readable);
    EXPECT_EQ(again.count, 0);
    EXPECT_EQ(again.skipped, (std::map<ImportSkip, std::vector<int>>{
                                 {ImportSkip::wrong_fields, {5, 6, 7}},
                                 {ImportSkip::no_name, {8}},
                                 {ImportSkip::unknown_country, {2, 9}},
                                 {ImportSkip::already_stored, {1, 4, 10, 11, 12, 13, 14, 15}}}));
    EXPECT_FALSE(import_clients_reported(*core, dir.path() + "no such file.csv").readable);

    // The same file again finds every client: nothing is written.
    report = import_clients(file);
    EXPECT_EQ(report.calls, 1);
    EXPECT_EQ(report.count, 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM clients"), 7u);

    // No listed country lets no line through; a missing file reports 0 once.
    set_setting("countries", "[]");
    EXPECT_EQ(import_clients("Másik Kft.;;HU;;Eger;;3300;;;\n").count, 0);
    Report missing;
    core->import_clients(dir.path() + "no such file.csv", missing.callback());
    EXPECT_EQ(missing.calls, 1);
    EXPECT_EQ(missing.count, 0);
}

TEST_F(Imports, ClientStatusOutsideHungarianIsCustomer) {
    open("en");
    Report report = import_clients("Acme Ltd;12345678-2-41;hu;;Budapest;;1011;;;\nJane Doe;;HU;;Budapest;;1012;;;\n");
    EXPECT_EQ(report.count, 2);
    EXPECT_EQ(client("Acme Ltd")["status"].string_value(), "CUSTOMER");
    EXPECT_EQ(client("Jane Doe")["status"].string_value(), "CUSTOMER");
    EXPECT_EQ(client("Acme Ltd")["currency_code"].string_value(), "USD");
}

TEST_F(Imports, ItemLinesMatchTaxesAndUnitsAndReadPrices) {
    open("hu");
    core->save_record({{"recordName", "STORED-ITEM"}, {"name", "Meglévő termék"}}, "items");
    const std::string file =
        "\xEF\xBB\xBF"
        "Kerámia  bögre;Kézzel festett;SKU-1;5991234567890;12.50;27%;darab;első\r\n"
        "Név;Leírás;Cikkszám;Vonalkód;Ár;Adó;Egység;Megjegyzés\n"  // header: no such tax
        "Vesszős ár;;;;12,50;aam;DARAB;\n"                         // tax and unit in other case
        "Betűs ár;;;;tizenkettő;5%;óra;\n"
        "Szóközös adó;;;;1;  27%;darab;\n"                          // tax names are not trimmed
        "Ismeretlen egység;;;;1;27%;db;\n"
        "O'Reilly kés;;;;-3.5e2;18%;darab;\n"
        "Rövid;;;;1;27%;darab\n"
        "Meglévő termék;;;;1;27%;darab;\n"
        "Kerámia bögre;;;;99;27%;darab;\n";  // the same name again
    Report report = import_items(file);
    EXPECT_EQ(report.calls, 1);
    EXPECT_EQ(report.count, 4);
    EXPECT_EQ(count("SELECT COUNT(*) FROM items"), 5u);

    const Json::array taxes = core->setting("taxes").array_items();
    const Json::array units = core->setting("units").array_items();
    Json mug = item("Kerámia bögre");
    ASSERT_TRUE(mug.is_object());
    EXPECT_EQ(mug["type"].string_value(), "PRODUCT");
    EXPECT_EQ(mug["description"].string_value(), "Kézzel festett");
    EXPECT_EQ(mug["sku"].string_value(), "SKU-1");
    EXPECT_EQ(mug["upc"].string_value(), "5991234567890");
    EXPECT_EQ(mug["selling_price"].number_value(), 12.5);
    EXPECT_EQ(mug["tax_id"], taxes[0]["id"]);
    EXPECT_EQ(mug["unit_id"], units[0]["id"]);
    EXPECT_EQ(mug["price_type"].string_value(), "NET");
    EXPECT_EQ(mug["note"].string_value(), "első");
    EXPECT_EQ(mug["recordName"].string_value().size(), 36u);

    Json comma = item("Vesszős ár");
    EXPECT_EQ(comma["selling_price"].number_value(), 12);
    EXPECT_EQ(comma["tax_id"], taxes[3]["id"]);  // AAM
    EXPECT_EQ(item("Betűs ár")["selling_price"].number_value(), 0);
    EXPECT_EQ(item("Betűs ár")["unit_id"], units[7]["id"]);  // óra
    EXPECT_EQ(item("O'Reilly kés")["selling_price"].number_value(), -350);
    EXPECT_FALSE(item("Szóközös adó").is_object());
    EXPECT_FALSE(item("Ismeretlen egység").is_object());
    EXPECT_EQ(count("SELECT COUNT(*) FROM items WHERE name = ?", {"Kerámia bögre"}), 1u);
}

// Counts the rows of another connection at each insert: the rows the import has committed so far.
struct CommitProbe {
    sqlite3* reader = nullptr;
    std::vector<int> committed_at_insert;
    static void function(sqlite3_context* context, int, sqlite3_value**) {
        auto* probe = static_cast<CommitProbe*>(sqlite3_user_data(context));
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(probe->reader, "SELECT COUNT(*) FROM clients", -1, &stmt, nullptr);
        probe->committed_at_insert.push_back(sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1);
        sqlite3_finalize(stmt);
        sqlite3_result_null(context);
    }
};

TEST_F(Imports, ClientsAreWrittenInBatchesOfAHundredAndOnlyWrittenRowsCount) {
    open("hu");
    CommitProbe probe;
    ASSERT_EQ(sqlite3_open_v2((dir.path() + "data/DEMO.tvr").c_str(), &probe.reader, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_create_function(core->db, "probe", 0, SQLITE_UTF8, &probe, &CommitProbe::function, nullptr,
                                      nullptr),
              SQLITE_OK);
    core->query("CREATE TRIGGER probe_insert AFTER INSERT ON clients BEGIN SELECT probe(); END");
    // The store refuses rows beyond the 230th (a full disk, say): those lines are not counted.
    core->query(
        "CREATE TRIGGER full_store BEFORE INSERT ON clients WHEN (SELECT COUNT(*) FROM clients) >= 230 "
        "BEGIN SELECT RAISE(FAIL, 'full'); END");

    std::string file;
    for (int i = 0; i < 250; ++i) file += "Ügyfél " + std::to_string(i) + ";;HU;;Budapest;;1000;;;\n";
    Report report = import_clients(file);
    EXPECT_EQ(report.calls, 1);
    EXPECT_EQ(report.count, 230);
    EXPECT_EQ(count("SELECT COUNT(*) FROM clients"), 230u);

    // Row k (from 0) sees the batches before its own committed, and nothing of its own batch.
    ASSERT_EQ(probe.committed_at_insert.size(), 230u);
    for (int k = 0; k < 230; ++k) EXPECT_EQ(probe.committed_at_insert[k], k / 100 * 100) << k;
    sqlite3_close(probe.reader);
}

TEST_F(Imports, ImportRunsOnItsCallersThread) {
    open("hu");
    const std::string path = dir.write("clients.csv", "Szálas Kft.;;HU;;Budapest;;1000;;;\n");
    Report report;
    std::thread::id worker;
    std::thread thread([&] {
        worker = std::this_thread::get_id();
        core->import_clients(path, report.callback());
    });
    thread.join();
    EXPECT_EQ(report.calls, 1);
    EXPECT_EQ(report.count, 1);
    EXPECT_EQ(report.thread, worker);
}

// An import file: one JSON array on the first line.
std::string invoice_file(const Json::array& invoices) { return Json(invoices).dump() + "\nnot read\n"; }

Json::object invoice(const std::string& number, const std::string& client, const std::string& issue_date,
                     Json::array lines) {
    return {{"number_formatted", number},
            {"client_name", client},
            {"client_postcode", "1011"},
            {"client_identifier_number", ""},
            {"client_status", "DOMESTIC"},
            {"client_country_code", "HU"},
            {"client_city", "Budapest"},
            {"client_street", "Fő utca 1."},
            {"currency", "HUF"},
            {"issue_date", issue_date},
            {"delivery_date", issue_date},
            {"due_date", issue_date},
            {"payment_name", "Készpénz"},
            {"supplier_name", "Előző Program Kft."},
            {"supplier_country_code", "HU"},
            {"supplier_city", "Szeged"},
            {"supplier_street", "Tisza Lajos krt. 1."},
            {"supplier_postcode", "6720"},
            {"supplier_identifier_number", "87654321-2-06"},
            {"total_net_amount", 1},
            {"total_tax_amount", 2},
            {"total_gross_amount", 3},
            {"lines", std::move(lines)}};
}

Json::object archived_line(const std::string& item, double price, double quantity, double rate,
                           const std::string& unit) {
    return {{"item_name", item}, {"price", price}, {"quantity", quantity}, {"tax_rate", rate}, {"unit_name", unit}};
}

double midnight_ms(const std::string& date) {
    std::tm tm{};
    strptime(date.c_str(), "%Y-%m-%d", &tm);
    tm.tm_isdst = 0;
    return static_cast<double>(mktime(&tm)) * 1000.0;
}

TEST_F(Imports, ArchivedInvoicesWithClientsItemsTaxesAndDates) {
    open("hu");
    const Json::array taxes = core->setting("taxes").array_items();
    const Json::array units = core->setting("units").array_items();
    const Json::array payments = core->setting("payments").array_items();
    ASSERT_EQ(taxes[0]["name"].string_value(), "27%");

    Json::object first_invoice =
        invoice("E-2023/0001", "O'Hara Kft.", "2023-05-17",
                {archived_line("Kávé", 1000, 2, 27, "darab"), archived_line("Könyv", 500, 1, 0, "DARAB"),
                 archived_line("Titok", 100, 1, 27.9, "nincs ilyen")});
    first_invoice["payment_name"] = "KéSZPéNZ";  // letter case counts for ASCII letters only
    Json::object second_invoice =
        invoice("E-2023/0002", "Ékezetes Árvíz Bt.", "2023-05-17", {archived_line("Kávé", 1000, 1, 27, "darab")});
    second_invoice["payment_name"] = "Bankkártya";
    second_invoice["client_identifier_number"] = "12345678-2-41";
    const Json::array invoices = {
        first_invoice,
        second_invoice,
        invoice("E-2023/0003", "O'Hara Kft.", "2023-05-17", {}),  // the client of the first invoice
        invoice("E-2023/0004", "Negyedik Kft.", "2023-06-01", {archived_line("Szolgáltatás", 100, 1, 18, "óra")}),
        invoice("E-2023/0004", "Negyedik Kft.", "2023-06-02", {}),  // the same number again
        invoice("E-2023/0005", "Dátum Nélkül Kft.", "", {}),
    };

    Report report = import_invoices("\xEF\xBB\xBF" + invoice_file(invoices), 0);
    EXPECT_EQ(report.calls, 1);
    EXPECT_EQ(report.thread, std::this_thread::get_id());
    EXPECT_EQ(report.count, 6);

    EXPECT_EQ(count("SELECT COUNT(*) FROM clients"), 4u);
    EXPECT_EQ(count("SELECT COUNT(*) FROM items"), 4u);
    EXPECT_EQ(count("SELECT COUNT(*) FROM documents"), 5u);
    EXPECT_EQ(count("SELECT COUNT(*) FROM inventory"), 0u);  // archives post no stock

    Json ohara = client("O'Hara Kft.");
    ASSERT_TRUE(ohara.is_object());
    EXPECT_EQ(ohara["country_code"].string_value(), "HU");
    EXPECT_EQ(ohara["status"].string_value(), "DOMESTIC");
    EXPECT_EQ(ohara["currency_code"].string_value(), "HUF");
    EXPECT_EQ(ohara["payment_id"], payments[0]["id"]);

    Json coffee = item("Kávé");
    EXPECT_EQ(coffee["selling_price"].number_value(), 1000);
    EXPECT_EQ(coffee["tax_id"], taxes[0]["id"]);
    EXPECT_EQ(coffee["unit_id"], units[0]["id"]);
    EXPECT_EQ(item("Titok")["unit_id"].string_value(), "");

    Json first = row("SELECT * FROM documents WHERE recordName = ?", {"ARCHIVE-E-2023/0001"});
    ASSERT_TRUE(first.is_object());
    EXPECT_EQ(first["type"].string_value(), "ARCHIVE_INVOICE");
    EXPECT_EQ(first["number"].number_value(), 0);
    EXPECT_EQ(first["number_formatted"].string_value(), "E-2023/0001");
    EXPECT_EQ(first["paid"].number_value(), 1);
    EXPECT_EQ(first["clientRecordName"], ohara["recordName"]);
    EXPECT_EQ(first["language_code"].string_value(), "hu");
    EXPECT_EQ(first["template"].string_value(), "001");
    EXPECT_EQ(first["payment_id"], payments[1]["id"]);  // Készpénz
    EXPECT_EQ(first["payment_name"].string_value(), "Készpénz");
    EXPECT_EQ(first["supplier_address"].string_value().empty(), false);
    EXPECT_NE(first["client_address"].string_value().find("Budapest"), std::string::npos);
    EXPECT_EQ(first["created"].number_value(), midnight_ms("2023-05-17"));
    // Totals come from the lines: 2000 at 27 %, 500 exempt, 100 at 27 % (27.9 counts as 27).
    EXPECT_NEAR(first["total_net_amount"].number_value(), 2600, 1e-9);
    EXPECT_NEAR(first["total_tax_amount"].number_value(), 567, 1e-9);

    auto lines = store::rows(*core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id",
                             {"ARCHIVE-E-2023/0001"});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Json(lines[0])["itemRecordName"], coffee["recordName"]);
    EXPECT_EQ(Json(lines[0])["item_type"].string_value(), "PRODUCT");
    EXPECT_EQ(Json(lines[0])["price_type"].string_value(), "NET");
    EXPECT_EQ(Json(lines[0])["name"].string_value(), "Kávé");
    EXPECT_EQ(Json(lines[0])["tax_id"], taxes[0]["id"]);
    // An exempt line stays exempt: the first tax without a rate, not the first tax.
    EXPECT_EQ(Json(lines[1])["tax_id"], taxes[3]["id"]);
    EXPECT_EQ(Json(lines[1])["tax_amount"].number_value(), 0);
    EXPECT_EQ(Json(lines[2])["tax_id"], taxes[0]["id"]);
    EXPECT_EQ(Json(lines[2])["unit_id"].string_value(), units[0]["id"].string_value());  // snapshot of the first unit

    // The same issue date in a row: T, T - 1, T - 1; another date its own value; no date -1000.
    Json second = row("SELECT * FROM documents WHERE recordName = ?", {"ARCHIVE-E-2023/0002"});
    EXPECT_EQ(second["created"].number_value(), midnight_ms("2023-05-17") - 1);
    EXPECT_EQ(second["payment_id"], payments[0]["id"]);  // no such payment: the first
    EXPECT_EQ(row("SELECT * FROM documents WHERE recordName = ?", {"ARCHIVE-E-2023/0003"})["created"].number_value(),
              midnight_ms("2023-05-17") - 1);
    EXPECT_EQ(row("SELECT * FROM documents WHERE recordName = ?", {"ARCHIVE-E-2023/0003"})["clientRecordName"],
              ohara["recordName"]);
    Json fourth = row("SELECT * FROM documents WHERE recordName = ?", {"ARCHIVE-E-2023/0004"});
    EXPECT_EQ(fourth["created"].number_value(), midnight_ms("2023-06-01"));
    EXPECT_EQ(fourth["issue_date"].string_value(), "2023-06-01");  // the first of the two
    EXPECT_EQ(row("SELECT * FROM documents WHERE recordName = ?", {"ARCHIVE-E-2023/0005"})["created"].number_value(),
              -1000);

    // A second import finds everything and writes nothing, but still counts the invoices.
    report = import_invoices(invoice_file(invoices), 0);
    EXPECT_EQ(report.count, 6);
    EXPECT_EQ(count("SELECT COUNT(*) FROM clients"), 4u);
    EXPECT_EQ(count("SELECT COUNT(*) FROM items"), 4u);
    EXPECT_EQ(count("SELECT COUNT(*) FROM documents"), 5u);
}

TEST_F(Imports, ArchivedInvoiceModesWriteOnlyTheirKinds) {
    struct Expect {
        int mode;
        std::size_t clients, items, documents;
    };
    const Expect expected[] = {{0, 2, 2, 2}, {1, 2, 0, 0}, {2, 0, 2, 0}, {3, 2, 2, 0},
                               {4, 2, 0, 2}, {5, 0, 2, 2}, {6, 0, 0, 0}, {-1, 0, 0, 0}};
    const std::string file = invoice_file({
        invoice("M-1", "Első Kft.", "2024-01-10", {archived_line("Alma", 10, 1, 27, "kilogramm")}),
        invoice("M-2", "Második Kft.", "2024-01-11", {archived_line("Körte", 20, 1, 5, "kilogramm")}),
    });
    for (const Expect& e : expected) {
        TempDir data;
        core = make_core(data.path(), "hu");
        core->open_database();
        Report report = import_invoices(file, e.mode);
        EXPECT_EQ(report.calls, 1) << e.mode;
        EXPECT_EQ(report.count, 2) << e.mode;
        EXPECT_EQ(count("SELECT COUNT(*) FROM clients"), e.clients) << e.mode;
        EXPECT_EQ(count("SELECT COUNT(*) FROM items"), e.items) << e.mode;
        EXPECT_EQ(count("SELECT COUNT(*) FROM documents"), e.documents) << e.mode;
        if (e.mode == 5) {
            // Invoices without a stored client keep an empty client reference; their lines name the items.
            EXPECT_EQ(count("SELECT COUNT(*) FROM documents WHERE clientRecordName = ''"), 2u);
            EXPECT_EQ(count("SELECT COUNT(*) FROM document_lines WHERE LENGTH(itemRecordName) = 36"), 2u);
        }
        if (e.mode == 4) {
            EXPECT_EQ(count("SELECT COUNT(*) FROM document_lines WHERE itemRecordName = ''"), 2u);
        }
        core.reset();
    }
}

TEST_F(Imports, ArchivedInvoiceFilesThatDoNotParseCountNothing) {
    open("hu");
    for (const std::string& content :
         {std::string(), std::string("\n[{}]"), std::string("[\n{}]"), std::string("{\"a\": 1}"), std::string("[{]")}) {
        Report report = import_invoices(content, 0);
        EXPECT_EQ(report.calls, 1);
        EXPECT_EQ(report.count, 0) << content;
    }
    Report missing;
    core->import_invoices(dir.path() + "missing.tavrinimport", 0, missing.callback());
    EXPECT_EQ(missing.calls, 1);
    EXPECT_EQ(missing.count, 0);
    // Elements that are not objects still count, and make empty archives.
    Report odd = import_invoices("[1, \"x\"]", 2);
    EXPECT_EQ(odd.count, 2);
    EXPECT_EQ(count("SELECT COUNT(*) FROM documents"), 0u);
}

// The text in UTF-16 behind its byte-order mark, little or big endian.
std::string utf16_file(const std::string& text, bool little_endian) {
    std::string out = little_endian ? "\xFF\xFE" : "\xFE\xFF";
    for (char16_t unit : store::utf16_from_utf8(text)) {
        const char low = static_cast<char>(unit & 0xFF);
        const char high = static_cast<char>(unit >> 8);
        out += little_endian ? low : high;
        out += little_endian ? high : low;
    }
    return out;
}

// The text in Windows-1250, for the letters and signs these files use.
std::string windows_1250(const std::string& text) {
    static const std::map<std::string, char> code = {
        {"Á", '\xC1'}, {"á", '\xE1'}, {"É", '\xC9'}, {"é", '\xE9'}, {"í", '\xED'}, {"ó", '\xF3'}, {"ö", '\xF6'},
        {"ő", '\xF5'}, {"Ő", '\xD5'}, {"ú", '\xFA'}, {"ü", '\xFC'}, {"Ü", '\xDC'}, {"ű", '\xFB'}, {"€", '\x80'},
        {"„", '\x84'}, {"”", '\x94'}};
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (length == 1) {
            out += text[i];
        } else {
            auto found = code.find(text.substr(i, length));
            EXPECT_NE(found, code.end()) << text.substr(i, length);
            if (found != code.end()) out += found->second;
        }
        i += length;
    }
    return out;
}

// Spreadsheet programs save a list as UTF-8, as "Unicode text" (UTF-16 with a byte-order mark) or in
// the Windows code page of Hungarian. Every form stores the same rows, and nothing that is not UTF-8
// reaches the store.
TEST_F(Imports, FilesInUtf16AndWindows1250StoreTheSameRows) {
    open("hu");
    const std::string clients =
        "Árvíztűrő Tükörfúró Kft.;12345678-2-41;HU;Pest;Budapest;Fő utca 1.;1011;info@example.hu;+36 1 555 0101;"
        "Díj: 5 €, „sürgős”\r\n"
        "Őszi Ügynökség Bt.;;HU;;Győr;Szél u. 3.;9021;;;\r\n";
    auto stored_clients = [&] {
        auto rows = store::rows(*core, "SELECT * FROM clients ORDER BY name");
        for (auto& stored : rows) stored.erase("recordName");
        return Json(rows);
    };
    EXPECT_EQ(import_clients(clients).count, 2);
    const Json expected = stored_clients();
    ASSERT_EQ(expected.array_items().size(), 2u);
    EXPECT_EQ(expected[0]["name"].string_value(), "Árvíztűrő Tükörfúró Kft.");
    EXPECT_EQ(expected[0]["note"].string_value(), "Díj: 5 €, „sürgős”");
    EXPECT_EQ(expected[1]["city"].string_value(), "Győr");

    const std::vector<std::pair<std::string, std::string>> forms = {
        {"UTF-16LE", utf16_file(clients, true)},
        {"UTF-16BE", utf16_file(clients, false)},
        {"UTF-16LE cut in a character", utf16_file(clients, true) + "A"},
        {"Windows-1250", windows_1250(clients)},
        {"UTF-8 with byte-order mark", "\xEF\xBB\xBF" + clients},
    };
    for (const auto& [form, bytes] : forms) {
        SCOPED_TRACE(form);
        ASSERT_TRUE(store::run(*core, "DELETE FROM clients"));
        EXPECT_EQ(import_clients(bytes).count, 2);
        EXPECT_EQ(stored_clients().dump(), expected.dump());
    }

    // A file that declares UTF-8 but holds a stray byte: the byte is stored as U+FFFD.
    ASSERT_TRUE(store::run(*core, "DELETE FROM clients"));
    EXPECT_EQ(import_clients("\xEF\xBB\xBF" "Rossz \xF5 Kft.;;HU;;Eger;;3300;;;\n").count, 1);
    EXPECT_TRUE(client("Rossz \xEF\xBF\xBD Kft.").is_object());

    const std::string items = "Kerámia bögre;Kézzel festett, kék;SKU-1;599;12.50;27%;darab;első\r\n";
    EXPECT_EQ(import_items(utf16_file(items, true)).count, 1);
    EXPECT_EQ(item("Kerámia bögre")["description"].string_value(), "Kézzel festett, kék");
    ASSERT_TRUE(store::run(*core, "DELETE FROM items"));
    EXPECT_EQ(import_items(windows_1250(items)).count, 1);
    EXPECT_EQ(item("Kerámia bögre")["note"].string_value(), "első");
    ASSERT_TRUE(store::run(*core, "DELETE FROM items"));

    // The archived-invoice file, in UTF-16 and in Windows-1250.
    const Json::array first = {invoice("E-2023/0101", "Ékezetes Árvíz Bt.", "2023-05-17",
                                       {archived_line("Kávé", 1000, 1, 27, "darab")})};
    EXPECT_EQ(import_invoices(utf16_file(invoice_file(first), false), 0).count, 1);
    EXPECT_TRUE(client("Ékezetes Árvíz Bt.").is_object());
    EXPECT_TRUE(item("Kávé").is_object());
    EXPECT_EQ(row("SELECT supplier_name FROM documents WHERE number_formatted = ?", {"E-2023/0101"})["supplier_name"]
                  .string_value(),
              "Előző Program Kft.");
    const Json::array second = {invoice("E-2023/0102", "Második Ügyfél Kft.", "2023-05-18",
                                        {archived_line("Könyv", 500, 1, 0, "darab")})};
    EXPECT_EQ(import_invoices(windows_1250(invoice_file(second)), 0).count, 1);
    EXPECT_TRUE(client("Második Ügyfél Kft.").is_object());
    EXPECT_EQ(row("SELECT name FROM document_lines WHERE documentRecordName = ?", {"ARCHIVE-E-2023/0102"})["name"]
                  .string_value(),
              "Könyv");

    // A JSON escape can still spell no character (a lone surrogate): each of its bytes is stored as
    // U+FFFD, and the next invoice of that client finds it.
    std::string escaped = invoice_file({invoice("E-2023/0103", "Hibás @ Kft.", "2023-05-19",
                                                {archived_line("Tét @", 1, 1, 27, "darab")}),
                                        invoice("E-2023/0104", "Hibás @ Kft.", "2023-05-20", {})});
    for (std::size_t at = escaped.find('@'); at != std::string::npos; at = escaped.find('@'))
        escaped.replace(at, 1, "\\ud800");
    const std::string replaced = "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
    EXPECT_EQ(import_invoices(escaped, 0).count, 2);
    EXPECT_EQ(count("SELECT COUNT(*) FROM clients WHERE name = ?", {"Hibás " + replaced + " Kft."}), 1u);
    EXPECT_TRUE(item("Tét " + replaced).is_object());
    EXPECT_EQ(row("SELECT client_name FROM documents WHERE number_formatted = ?", {"E-2023/0104"})["client_name"]
                  .string_value(),
              "Hibás " + replaced + " Kft.");
}

}  // namespace

#ifdef TAVRIN_DEMO_FOLDER
// A new data folder opened as DEMO receives the shipped sample account of the interface language.
TEST(SampleAccount, NewDataFolderHoldsTheSampleCompanyInBothLanguages) {
    for (const std::string language : {"hu", "en"}) {
        SCOPED_TRACE(language);
        TempDir dir;
        auto core = make_core(dir.path(), language, TAVRIN_DEMO_FOLDER);
        ASSERT_EQ(core->current_account, "DEMO");
        core->open_database();
        ASSERT_NE(core->db, nullptr);
        // Copied, not rebuilt: the shipped file is of the current schema version.
        EXPECT_EQ(read_file(dir.path() + "DEMO.tvr").size(),
                  read_file(std::string(TAVRIN_DEMO_FOLDER) + "DEMO_" + language + ".tvr").size());
        EXPECT_EQ(core->setting("local")["db_ver"].string_value(), "221101");
        const std::string logo = read_file(dir.path() + "DEMOlogo");
        EXPECT_TRUE(logo.starts_with("\x89PNG\r\n\x1a\n"));
        EXPECT_EQ(logo, read_file(std::string(TAVRIN_DEMO_FOLDER) + "DEMOlogo"));

        auto count = [&](const std::string& sql) {
            return static_cast<int>(store::rows(*core, sql).front().begin()->second.number_value());
        };
        auto texts = [&](const std::string& sql) {
            std::set<std::string> out;
            for (auto& row : store::rows(*core, sql)) out.insert(row.begin()->second.string_value());
            return out;
        };
        const bool hu = language == "hu";

        EXPECT_GE(count("SELECT COUNT(*) FROM clients"), 12);
        const std::set<std::string> countries = {"HU", "AT", "DE", "SK", "CH", "US"};
        EXPECT_EQ(texts("SELECT DISTINCT country_code FROM clients"), countries);
        const std::set<std::string> statuses =
            hu ? std::set<std::string>{"DOMESTIC", "COMMUNITY", "THIRD_STATE", "PRIVATE_PERSON", "VENDOR"}
               : std::set<std::string>{"CUSTOMER", "VENDOR"};
        EXPECT_EQ(texts("SELECT DISTINCT status FROM clients"), statuses);
        EXPECT_EQ(count("SELECT COUNT(*) FROM clients WHERE search = '' OR LENGTH(recordName) <> 36"), 0);

        const std::set<std::string> item_types = {"PRODUCT", "SERVICE", "INVENTORY_TRACKING"};
        EXPECT_EQ(texts("SELECT DISTINCT type FROM items"), item_types);
        // Every stock-tracked item has stock left, made of receipts, manual additions and sales.
        EXPECT_EQ(count("SELECT COUNT(*) FROM items WHERE type = 'INVENTORY_TRACKING' AND "
                        "(SELECT COALESCE(SUM(quantity), 0) FROM inventory WHERE itemRecordName = items.recordName) <= 0"),
                  0);
        const std::set<std::string> reasons = {"ADD", "RECEIVE", "INVOICE", "STORNO", "DAMAGE"};
        EXPECT_EQ(texts("SELECT DISTINCT reason FROM inventory"), reasons);

        std::set<std::string> types = {"INVOICE", "PROFORMA", "ESTIMATE", "DELIVERY_NOTE", "PURCHASE_ORDER",
                                       "PURCHASE_RECEIVE", "DRAFT", "TASK"};
        if (hu) types.insert("ARCHIVE_INVOICE");
        EXPECT_EQ(texts("SELECT DISTINCT type FROM documents"), types);
        EXPECT_GE(count("SELECT COUNT(*) FROM documents WHERE type = 'INVOICE' AND paid = 1"), 5);
        EXPECT_GE(count("SELECT COUNT(*) FROM documents WHERE type = 'INVOICE' AND paid = 0"), 2);
        EXPECT_EQ(count("SELECT COUNT(*) FROM documents WHERE type = 'INVOICE' AND total_gross_amount < 0 AND "
                        "reference_recordName LIKE 'INVOICE-%'"),
                  1);
        EXPECT_GE(count("SELECT COUNT(*) FROM documents WHERE type = 'ESTIMATE' AND reference_recordName LIKE 'INVOICE-%'"), 1);
        EXPECT_GE(count("SELECT COUNT(*) FROM documents WHERE type = 'TASK' AND task_repeat <> '' AND due_date > issue_date"), 2);
        EXPECT_GE(count("SELECT COUNT(*) FROM documents WHERE type = 'TASK' AND task_progress > 0"), 1);
        EXPECT_GE(count("SELECT COUNT(DISTINCT currency_code) FROM documents"), 3);
        EXPECT_GE(count("SELECT CAST(julianday(MAX(issue_date)) - julianday(MIN(issue_date)) AS INT) FROM documents "
                        "WHERE type <> 'ARCHIVE_INVOICE'"),
                  300);
        // Totals are the sums of the stored lines, and every row has its search text.
        EXPECT_EQ(count("SELECT COUNT(*) FROM documents d WHERE ABS(d.total_net_amount - (SELECT "
                        "COALESCE(SUM(net_amount + discount_net_amount), 0) FROM document_lines l WHERE "
                        "l.documentRecordName = d.recordName)) > 0.001"),
                  0);
        EXPECT_EQ(count("SELECT COUNT(*) FROM documents WHERE search = '' OR search IS NULL"), 0);
        EXPECT_EQ(count("SELECT COUNT(*) FROM document_lines WHERE documentRecordName NOT IN "
                        "(SELECT recordName FROM documents)"),
                  0);
        // Stock is valued in forints: the sales of the EUR and USD invoices are posted at the line price
        // times the invoice's rate, and every sale of the sample leaves a profit.
        EXPECT_GE(count("SELECT COUNT(*) FROM inventory i JOIN documents d ON d.recordName = i.documentRecordName "
                        "WHERE i.reason = 'INVOICE' AND d.currency_code IN ('EUR', 'USD')"),
                  8);
        EXPECT_EQ(count("SELECT COUNT(*) FROM inventory i JOIN documents d ON d.recordName = i.documentRecordName "
                        "JOIN document_lines l ON l.documentRecordName = d.recordName AND l.itemRecordName = "
                        "i.itemRecordName WHERE i.reason = 'INVOICE' AND ABS(i.price - l.price * d.exchange_rate) > 0.001"),
                  0);
        EXPECT_EQ(count("SELECT COUNT(*) FROM inventory WHERE reason = 'INVOICE' AND (profit_fifo <= 0 OR "
                        "profit_lifo <= 0 OR profit_avg <= 0)"),
                  0);
        // Texts of the language: document languages and item names.
        EXPECT_GT(count(std::string("SELECT COUNT(*) FROM documents WHERE language_code = '") + language + "'"), 10);
        EXPECT_EQ(count(hu ? "SELECT COUNT(*) FROM items WHERE name = 'Kézműves kerámia bögre'"
                           : "SELECT COUNT(*) FROM items WHERE name = 'Handmade ceramic mug'"),
                  1);
        EXPECT_EQ(core->setting("supplier")["name"].string_value(), "Minta Műhely Kft.");
    }
}
#endif
