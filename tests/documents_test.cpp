// Saving documents with their lines: names, times, totals, line snapshots and amounts, tasks, back
// links, saves from the cloud, and saves that fail part-way.
#include "core/store/store_internal.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <set>

using json11::Json;

namespace {

class Documents : public ::testing::Test {
protected:
    void SetUp() override {
        at(local_seconds(2026, 3, 1, 10, 0, 0));
        core = make_core(dir.path(), "hu");
        core->open_database();
        ASSERT_NE(core->db, nullptr);
        taxes = core->setting("taxes").array_items();
        units = core->setting("units").array_items();
        ASSERT_GE(taxes.size(), 3u);
        ASSERT_GE(units.size(), 2u);
    }
    void TearDown() override {
        core.reset();
        set_clock({});
    }
    void at(std::time_t t) {
        now = t;
        set_clock([t] { return t; });
    }

    Json document(const std::string& record_name) {
        auto rows = store::rows(*core, "SELECT * FROM documents WHERE recordName = ?", {record_name});
        return rows.empty() ? Json() : Json(rows.front());
    }
    std::vector<Json::object> lines_of(const std::string& record_name) {
        return store::rows(*core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id",
                           {record_name});
    }
    std::size_t count(const std::string& sql, std::initializer_list<Json> values = {}) {
        return static_cast<std::size_t>(Json(store::rows(*core, sql, values).front())["n"].number_value());
    }
    // A line at 27 %: 127 gross each.
    Json line(const std::string& name, double quantity) {
        return Json::object{{"name", name},       {"quantity", quantity}, {"price", 127},
                            {"price_type", "GROSS"}, {"tax_id", taxes[0]["id"]}, {"unit_id", units[1]["id"]}};
    }

    TempDir dir;
    std::unique_ptr<Core> core;
    Json::array taxes, units;
    std::time_t now = 0;
};

TEST_F(Documents, NewInvoiceIsNamedTimedTotalledAndItsLinesRewritten) {
    Json::object discounted = line("Kedvezményes szolgáltatás", 2).object_items();
    discounted["discount_type"] = "RATE";
    discounted["discount"] = 10;
    std::vector<Json> five = {line("Első tétel", 1), discounted, line("Harmadik", 1), line("Negyedik", 1),
                              line("Ötödik", 1)};
    const std::string name = core->save_document(
        five, false,
        {{"type", "INVOICE"}, {"number", 1}, {"number_formatted", "SZLA/2026-0001"}, {"issue_date", "2026-03-01"},
         {"client_name", "Kovács és Társa Kft."}, {"client_city", "Budapest"}, {"synced", 7},
         {"recordChangeTag", "old-tag"}, {"paid", 1}});
    EXPECT_EQ(name, "INVOICE-2026-000001");
    Json doc = document(name);
    ASSERT_TRUE(doc.is_object());
    EXPECT_EQ(doc["created"].number_value(), static_cast<double>(now) * 1000);
    EXPECT_EQ(doc["modified"].number_value(), static_cast<double>(now) * 1000);
    EXPECT_EQ(doc["paid"].number_value(), 0);
    EXPECT_EQ(doc["synced"].number_value(), 0);
    EXPECT_EQ(doc["recordChangeTag"].string_value(), "");
    EXPECT_EQ(doc["number_formatted"].string_value(), "SZLA/2026-0001");
    // Six units at 127 gross, 27 %; the discount is not part of the undiscounted line amounts but of the totals.
    EXPECT_NEAR(doc["total_net_amount"].number_value(), 600 - 20, 1e-9);
    EXPECT_NEAR(doc["total_tax_amount"].number_value(), 162 - 5.4, 1e-9);
    EXPECT_NEAR(doc["total_gross_amount"].number_value(), 762 - 25.4, 1e-9);

    auto rows = lines_of(name);
    ASSERT_EQ(rows.size(), 5u);
    Json second(rows[1]);
    EXPECT_EQ(second["id"].string_value(), "INVOICE-2026-000001-002");
    EXPECT_NEAR(second["net_amount"].number_value(), 200, 1e-9);
    EXPECT_NEAR(second["tax_amount"].number_value(), 54, 1e-9);
    EXPECT_NEAR(second["gross_amount"].number_value(), 254, 1e-9);
    EXPECT_NEAR(second["discount_net_amount"].number_value(), -20, 1e-9);
    EXPECT_NEAR(second["discount_tax_amount"].number_value(), -5.4, 1e-9);
    EXPECT_NEAR(second["discount_gross_amount"].number_value(), -25.4, 1e-9);
    EXPECT_EQ(second["tax_name"].string_value(), "27%");
    EXPECT_EQ(second["tax_rate"].number_value(), 27);
    EXPECT_EQ(second["unit_name"].string_value(), units[1]["name"].string_value());
    EXPECT_EQ(second["search"].string_value(), "27% kedvezmenyes szolgaltatas kilogramm");
    // Each line's search text is that of the whole stored line.
    for (const auto& row : rows) EXPECT_EQ(Json(row)["search"].string_value(), search_text(row));

    // The search text: each word once, in byte order.
    const std::string search = doc["search"].string_value();
    EXPECT_EQ(search.find("  "), std::string::npos);
    std::vector<std::string> words = split(' ', search);
    EXPECT_TRUE(std::is_sorted(words.begin(), words.end()));
    EXPECT_EQ(std::set<std::string>(words.begin(), words.end()).size(), words.size());
    for (const char* word : {"kovacs", "tarsa", "kft", "budapest", "szla/2026-0001", "elso", "otodik", "27%"})
        EXPECT_NE(std::find(words.begin(), words.end(), word), words.end()) << word;

    // Saving again with three lines leaves three rows, numbered from 1 again, and keeps the name.
    Json::object again = doc.object_items();
    at(now + 60);
    EXPECT_EQ(core->save_document({line("A", 1), line("B", 1), line("C", 1)}, false, again), name);
    rows = lines_of(name);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(Json(rows[2])["id"].string_value(), "INVOICE-2026-000001-003");
    EXPECT_EQ(document(name)["created"], doc["created"]);
    EXPECT_EQ(document(name)["modified"].number_value(), static_cast<double>(now) * 1000);
    EXPECT_EQ(count("SELECT COUNT(*) AS n FROM documents"), 1u);
}

TEST_F(Documents, ItemRowsAsLinesAndSettingSnapshots) {
    Json::object item{{"recordName", "ITEM-1"},       {"type", "SERVICE"},         {"name", "Munkadíj"},
                      {"selling_price", 1000},        {"purchase_price", 600},     {"price_type", "NET"},
                      {"tax_id", taxes[1]["id"]},     {"unit_id", units[0]["id"]}, {"search", "stale"},
                      {"quantity", 1}};
    const std::string invoice = core->save_document({item}, false, {{"type", "INVOICE"}});
    const std::string order = core->save_document({item}, false, {{"type", "PURCHASE_ORDER"}});
    Json sold(lines_of(invoice).front()), ordered(lines_of(order).front());
    EXPECT_EQ(sold["itemRecordName"].string_value(), "ITEM-1");
    EXPECT_EQ(sold["item_type"].string_value(), "SERVICE");
    EXPECT_EQ(sold["price"].number_value(), 1000);
    EXPECT_EQ(ordered["price"].number_value(), 600);
    EXPECT_EQ(sold["tax_id"], taxes[1]["id"]);
    EXPECT_EQ(sold["tax_name"].string_value(), "18%");
    EXPECT_NEAR(sold["gross_amount"].number_value(), 1180, 1e-9);
    EXPECT_EQ(sold["unit_name"].string_value(), units[0]["name"].string_value());
    EXPECT_EQ(sold["unit_digits"].number_value(), 0);
    EXPECT_EQ(sold["search"].string_value(), "18% darab munkadij");

    // A tax or unit no longer in the settings: the first of each list, its id included. An empty
    // name takes the item's name.
    const std::string other = core->save_document(
        {Json::object{{"name", ""}, {"item_name", "Régi tétel"}, {"tax_id", "GONE"}, {"unit_id", "GONE"},
                      {"item_type", "PRODUCT"}, {"type", "SERVICE"}, {"price", 10}, {"quantity", 1}}},
        false, {{"type", "ESTIMATE"}});
    Json fallback(lines_of(other).front());
    EXPECT_EQ(fallback["tax_id"], taxes[0]["id"]);
    EXPECT_EQ(fallback["unit_id"], units[0]["id"]);
    EXPECT_EQ(fallback["name"].string_value(), "Régi tétel");
    EXPECT_EQ(fallback["item_type"].string_value(), "PRODUCT");
}

// A new document never takes the row of a stored document of another record.
TEST_F(Documents, NewDocumentsNeverReplaceStoredOnes) {
    // Early January: the year's first invoice was dated in December, so the numbering offers its
    // name again.
    at(local_seconds(2027, 1, 5, 9, 30, 0));
    const std::string first = core->save_document(
        {line("Decemberi", 1)}, false,
        {{"type", "INVOICE"}, {"number", 1}, {"number_formatted", "SZLA/2027-0001"}, {"issue_date", "2026-12-31"}});
    EXPECT_EQ(first, "INVOICE-2027-000001");
    const std::string second = core->save_document(
        {line("Januári", 1)}, false,
        {{"type", "INVOICE"}, {"number", 1}, {"number_formatted", "SZLA/2027-0001B"}, {"issue_date", "2027-01-05"}});
    EXPECT_EQ(second, "INVOICE-2027-000002");
    const std::string third = core->save_document({line("Harmadik", 1)}, false,
                                                  {{"type", "INVOICE"}, {"number", 2}, {"issue_date", "2027-01-05"}});
    EXPECT_EQ(third, "INVOICE-2027-000003");
    EXPECT_EQ(document(first)["number_formatted"].string_value(), "SZLA/2027-0001");
    EXPECT_EQ(Json(lines_of(first).front())["name"].string_value(), "Decemberi");
    // The number and its text stay as the editor gave them.
    EXPECT_EQ(document(second)["number"].number_value(), 1);
    EXPECT_EQ(document(second)["number_formatted"].string_value(), "SZLA/2027-0001B");

    // Drafts and tasks saved within one second.
    EXPECT_EQ(core->save_document({}, false, {{"type", "DRAFT"}}), "DRAFT-20270105093000");
    EXPECT_EQ(core->save_document({}, false, {{"type", "DRAFT"}}), "DRAFT-20270105093000-2");
    EXPECT_EQ(core->save_document({}, false, {{"type", "DRAFT"}, {"recordName", nullptr}}), "DRAFT-20270105093000-3");
    EXPECT_EQ(core->save_document({}, false, {{"type", "TASK"}}), "TASK-20270105093000");
    // An empty name is no name.
    EXPECT_EQ(core->save_document({}, false, {{"type", "TASK"}, {"recordName", ""}}), "TASK-20270105093000-2");
    // Made in one second, each is a document of its own; one an older version wrote, without its id,
    // is known by the second alone.
    const Json::object first_draft = document("DRAFT-20270105093000").object_items();
    Json::object older_draft = document("DRAFT-20270105093000-2").object_items();
    EXPECT_FALSE(store::same_document(first_draft, older_draft));
    older_draft.erase("document_id");
    EXPECT_TRUE(store::same_document(first_draft, older_draft));
    EXPECT_EQ(count("SELECT COUNT(*) AS n FROM documents"), 8u);
    EXPECT_EQ(count("SELECT COUNT(*) AS n FROM documents WHERE recordName = ''"), 0u);
}

// A reported invoice is named after its own number and year of issue, whatever the clock says when it
// is stored; copies stored under two names by an earlier version become one at the next download,
// with one set of stock movements and one take from the stock layers.
TEST_F(Documents, AReportedInvoiceIsNamedByItsNumberAndItsCopiesBecomeOne) {
    at(local_seconds(2027, 1, 1, 0, 5, 0));
    EXPECT_EQ(core->save_document({line("Szilveszteri", 1)}, false,
                                  {{"type", "INVOICE"}, {"number", 8}, {"issue_date", "2026-12-31"},
                                   {"nav_transaction_id", "T-32"}}),
              "INVOICE-2026-000008");
    // Its name held here by an invoice of the old naming: never the next number, another invoice's name.
    ASSERT_FALSE(core->save_document({}, true, {{"recordName", "INVOICE-2026-000009"}, {"type", "INVOICE"}}).empty());
    EXPECT_EQ(core->save_document({line("Régi nevű mellett", 1)}, false,
                                  {{"type", "INVOICE"}, {"number", 9}, {"issue_date", "2026-12-30"},
                                   {"nav_transaction_id", "T-33"}}),
              "INVOICE-2026-000009-T-33");

    const Json::object sale{{"itemRecordName", "ITEM-T"}, {"item_type", "INVENTORY_TRACKING"}, {"quantity", 1},
                            {"price", 100}, {"name", "Raktári"}};
    const Json::object invoice{{"type", "INVOICE"}, {"number", 7}, {"issue_date", "2026-12-31"},
                               {"number_formatted", "SZ/2026-0007"}, {"nav_transaction_id", "T-31"}};
    // The copy the settling installation stored on New Year's Day, each copy's take in the layer.
    Json::object older = invoice;
    older["recordName"] = "INVOICE-2027-000001";
    older["synced"] = 1;
    ASSERT_FALSE(core->save_document({sale}, true, older).empty());
    const std::string took = R"({"INVOICE-2026-000007":1,"INVOICE-2027-000001":1})";
    ASSERT_TRUE(core->save_record({{"recordName", "LAYER"}, {"itemRecordName", "ITEM-T"}, {"reason", "ADD"},
                                   {"quantity", 5}, {"remaining_fifo", 3}, {"remaining_lifo", 3},
                                   {"remaining_history_fifo", took}, {"remaining_history_lifo", took}},
                                  "inventory"));
    for (const char* movement : {"STOCK-T-31-1", "SALE-OF-AN-OLDER-VERSION"})
        ASSERT_TRUE(core->save_record({{"recordName", movement}, {"documentRecordName", "INVOICE-2027-000001"},
                                       {"itemRecordName", "ITEM-T"}, {"reason", "INVOICE"}, {"quantity", -1}},
                                      "inventory"));
    ASSERT_TRUE(core->save_record(
        {{"recordName", "cashbook_pending"}, {"value", R"(["INVOICE-2027-000001"])"}, {"synced", -1}}, "settings"));

    // The reporter's copy comes down.
    Json::object theirs = invoice;
    theirs["lines"] = Json::array{sale};
    const Json record = Json::object{{"recordName", "INVOICE-2026-000007"}, {"recordType", "Documents"},
                                     {"recordChangeTag", "tag-1"},
                                     {"fields", Json::object{{"data", Json::object{{"value", Json(theirs).dump()}}}}}};
    ASSERT_TRUE(core->apply_zone_changes(
        {Json::object{{"zones", Json::array{Json::object{{"records", Json::array{record}}, {"syncToken", "t-1"}}}}}},
        true));

    EXPECT_EQ(count("SELECT COUNT(*) AS n FROM documents WHERE nav_transaction_id = 'T-31'"), 1u);
    EXPECT_TRUE(document("INVOICE-2026-000007").is_object());
    EXPECT_TRUE(lines_of("INVOICE-2027-000001").empty());
    EXPECT_EQ(count("SELECT COUNT(*) AS n FROM deleted WHERE recordName IN ('INVOICE-2027-000001', "
                    "'SALE-OF-AN-OLDER-VERSION')"),
              2u)
        << "the cloud loses the copy and its doubled movement too";
    const auto sales = store::rows(*core, "SELECT recordName, documentRecordName, synced FROM inventory WHERE "
                                          "itemRecordName = 'ITEM-T' AND reason = 'INVOICE'");
    ASSERT_EQ(sales.size(), 1u);
    EXPECT_EQ(Json(sales.front()).dump(),
              Json(Json::object{{"recordName", "STOCK-T-31-1"}, {"documentRecordName", "INVOICE-2026-000007"},
                                {"synced", 0}})
                  .dump());
    const Json layer(store::rows(*core, "SELECT * FROM inventory WHERE recordName = 'LAYER'").front());
    EXPECT_EQ(layer["remaining_fifo"].number_value(), 4);
    EXPECT_EQ(Json::parse(layer["remaining_history_lifo"].string_value()), Json(Json::object{{"INVOICE-2026-000007", 1}}));
    EXPECT_EQ(core->cashbook_pending(), std::vector<std::string>{"INVOICE-2026-000007"});
}

TEST_F(Documents, BackLinksToTheSourceDocument) {
    const std::string estimate = core->save_document({line("Ajánlat", 1)}, false,
                                                     {{"type", "ESTIMATE"}, {"number_formatted", "AJ/1"}});
    core->query("UPDATE documents SET synced = 1");
    const std::string invoice = core->save_document(
        {line("Ajánlat", 1)}, false,
        {{"type", "INVOICE"}, {"number_formatted", "SZ/1"}, {"reference_recordName", estimate},
         {"reference_number_formatted", "AJ/1"}});
    Json source = document(estimate);
    EXPECT_EQ(source["reference_recordName"].string_value(), invoice);
    EXPECT_EQ(source["reference_number_formatted"].string_value(), "SZ/1");
    EXPECT_EQ(source["synced"].number_value(), 0);
    EXPECT_EQ(document(invoice)["reference_recordName"].string_value(), "");
    EXPECT_EQ(document(invoice)["reference_number_formatted"].string_value(), "");

    // An invoice cancelling an invoice keeps its reference and links the cancelled one to it.
    const std::string storno = core->save_document(
        {line("Ajánlat", -1)}, false,
        {{"type", "INVOICE"}, {"number_formatted", "SZ/2"}, {"reference_recordName", invoice},
         {"reference_number_formatted", "SZ/1"}});
    EXPECT_EQ(document(storno)["reference_recordName"].string_value(), invoice);
    EXPECT_EQ(document(storno)["reference_number_formatted"].string_value(), "SZ/1");
    EXPECT_EQ(document(invoice)["reference_recordName"].string_value(), storno);
    EXPECT_EQ(document(invoice)["reference_number_formatted"].string_value(), "SZ/2");

    // A purchase receipt made from an order.
    const std::string order = core->save_document({line("Rendelés", 1)}, false,
                                                  {{"type", "PURCHASE_ORDER"}, {"number_formatted", "RE/1"}});
    const std::string receipt = core->save_document(
        {line("Rendelés", 1)}, false,
        {{"type", "PURCHASE_RECEIVE"}, {"number_formatted", "BE/1"}, {"reference_recordName", order}});
    EXPECT_EQ(document(order)["reference_recordName"].string_value(), receipt);
    EXPECT_EQ(document(order)["reference_number_formatted"].string_value(), "BE/1");
    EXPECT_EQ(document(receipt)["reference_recordName"].string_value(), "");

    // Other documents set no back link and lose their reference.
    const std::string note = core->save_document({}, false,
                                                 {{"type", "DELIVERY_NOTE"}, {"reference_recordName", order}});
    EXPECT_EQ(document(order)["reference_recordName"].string_value(), receipt);
    EXPECT_EQ(document(note)["reference_recordName"].string_value(), "");

    // Names and formatted numbers with apostrophes are plain values.
    ASSERT_EQ(core->save_document({}, false, {{"type", "ESTIMATE"}, {"recordName", "ESTIMATE-D'Arc"}}),
              "ESTIMATE-D'Arc");
    EXPECT_EQ(core->save_document({line("O'Neil", 1)}, false,
                                  {{"type", "INVOICE"}, {"recordName", "INVOICE-O'Neil"},
                                   {"number_formatted", "O'1"}, {"reference_recordName", "ESTIMATE-D'Arc"}}),
              "INVOICE-O'Neil");
    EXPECT_EQ(document("ESTIMATE-D'Arc")["reference_recordName"].string_value(), "INVOICE-O'Neil");
    EXPECT_EQ(document("ESTIMATE-D'Arc")["reference_number_formatted"].string_value(), "O'1");
    EXPECT_EQ(Json(lines_of("INVOICE-O'Neil").front())["id"].string_value(), "INVOICE-O'Neil-001");
}

TEST_F(Documents, TaskProgressAndDueDate) {
    auto task = [&](int lines, int completed, Json::object extra = {}) {
        std::vector<Json> list;
        for (int i = 0; i < lines; ++i)
            list.push_back(Json::object{{"name", "Lépés " + std::to_string(i)}, {"task_completed", i < completed ? 1 : 0}});
        Json::object doc{{"type", "TASK"}, {"number_formatted", ""}, {"due_date", "2026-03-10"}};
        for (auto& [k, v] : extra) doc[k] = v;
        at(now + 1);
        return document(core->save_document(list, false, doc));
    };
    EXPECT_EQ(task(3, 1)["task_progress"].number_value(), 33);
    EXPECT_EQ(task(3, 2)["task_progress"].number_value(), 66);
    EXPECT_EQ(task(100, 29)["task_progress"].number_value(), 28);
    Json empty = task(0, 0);
    EXPECT_EQ(empty["task_progress"].number_value(), 0);
    EXPECT_EQ(empty["number_formatted"].string_value(), "Feladat");
    EXPECT_EQ(empty["due_date"].string_value(), "2026-03-10");
    // A ticked box from the editor counts as completed.
    Json ticked = document(core->save_document({Json::object{{"name", "x"}, {"task_completed", true}}}, false,
                                               {{"type", "TASK"}}));
    EXPECT_EQ(ticked["task_progress"].number_value(), 100);

    // Repeating on the 15th: saved on 1 March, due on 15 March.
    const std::string rule = Json(Json::object{{"day_type", "day"}, {"day", 15}}).dump();
    Json repeating = task(1, 0, {{"task_repeat", rule}, {"number_formatted", "Heti"}});
    EXPECT_EQ(repeating["due_date"].string_value(), "2026-03-15");
    EXPECT_EQ(repeating["due_date"].string_value(), iso_date(core->next_repeat_date(rule)));
    EXPECT_EQ(repeating["number_formatted"].string_value(), "Heti");
}

TEST_F(Documents, SaveFromTheCloudStoresWhatWasSent) {
    ASSERT_TRUE(core->save_record({{"recordName", "ITEM-T"}, {"name", "Raktári"}, {"type", "INVENTORY_TRACKING"}},
                                  "items"));
    Json::object sent_line{{"itemRecordName", "ITEM-T"}, {"item_type", "INVENTORY_TRACKING"}, {"quantity", 2},
                           {"price", 50},               {"net_amount", 1},                 {"tax_amount", 2},
                           {"gross_amount", 3},         {"tax_name", "felhő"},             {"tax_id", "CLOUD-TAX"},
                           {"name", "Felhős sor"}};
    const std::string name = core->save_document(
        {sent_line}, true,
        {{"recordName", "INVOICE-2026-000042"}, {"type", "INVOICE"}, {"synced", 1},
         {"recordChangeTag", "tag-7"}, {"modified", 1600000000000.0}, {"total_gross_amount", 99},
         {"reference_recordName", "ESTIMATE-X"}, {"number_formatted", "SZ/42"}});
    EXPECT_EQ(name, "INVOICE-2026-000042");
    Json doc = document(name);
    EXPECT_EQ(doc["synced"].number_value(), 1);
    EXPECT_EQ(doc["recordChangeTag"].string_value(), "tag-7");
    EXPECT_EQ(doc["modified"].number_value(), 1600000000000.0);
    EXPECT_EQ(doc["total_gross_amount"].number_value(), 99);
    EXPECT_EQ(doc["reference_recordName"].string_value(), "ESTIMATE-X");
    EXPECT_EQ(doc["search"].string_value(), "felho felhos sor sz/42");
    Json row(lines_of(name).front());
    EXPECT_EQ(row["id"].string_value(), "INVOICE-2026-000042-001");
    EXPECT_EQ(row["gross_amount"].number_value(), 3);
    EXPECT_EQ(row["tax_id"].string_value(), "CLOUD-TAX");
    EXPECT_EQ(count("SELECT COUNT(*) AS n FROM inventory"), 0u);
}

// A save that fails part-way leaves the store exactly as it was: no document, no lines, no stock
// movement, no back link; an existing document keeps its old lines.
TEST_F(Documents, FailedSaveLeavesNothingHalfWritten) {
    ASSERT_TRUE(core->save_record({{"recordName", "ITEM-T"}, {"name", "Raktári"}, {"type", "INVENTORY_TRACKING"}},
                                  "items"));
    Json::object stocked{{"itemRecordName", "ITEM-T"}, {"item_type", "INVENTORY_TRACKING"}, {"quantity", 5},
                         {"price", 10},                {"name", "Raktári"}};
    const std::string receipt = core->save_document({stocked}, false, {{"type", "PURCHASE_RECEIVE"}});
    const std::string estimate = core->save_document({line("Ajánlat", 1)}, false, {{"type", "ESTIMATE"}});
    const std::string existing = core->save_document({line("Régi 1", 1), line("Régi 2", 1)}, false,
                                                     {{"type", "PROFORMA"}});
    core->query("UPDATE documents SET synced = 1");
    auto layer = [&] {
        return Json(store::rows(*core, "SELECT remaining_fifo, remaining_history_fifo FROM inventory WHERE "
                                       "documentRecordName = ?",
                                {receipt})
                        .front());
    };
    const Json layer_before = layer();

    // The document row is the last write of a save: make exactly that one fail.
    core->query("CREATE TEMP TRIGGER refuse_invoice BEFORE INSERT ON main.documents "
                "WHEN NEW.recordName = 'INVOICE-FAIL' BEGIN SELECT RAISE(ABORT, 'disk full'); END");
    Json::object sale = stocked;
    sale["quantity"] = 3;
    sale["price"] = 20;
    EXPECT_EQ(core->save_document({sale, line("Másik", 1)}, false,
                                  {{"recordName", "INVOICE-FAIL"}, {"type", "INVOICE"}, {"reference_recordName", estimate}}),
              "");
    EXPECT_FALSE(document("INVOICE-FAIL").is_object());
    EXPECT_TRUE(lines_of("INVOICE-FAIL").empty());
    EXPECT_EQ(count("SELECT COUNT(*) AS n FROM inventory WHERE documentRecordName = 'INVOICE-FAIL'"), 0u);
    EXPECT_EQ(layer(), layer_before);
    EXPECT_EQ(document(estimate)["reference_recordName"].string_value(), "");
    EXPECT_EQ(document(estimate)["synced"].number_value(), 1);

    // A line write failing half-way through a re-save: the old lines stay.
    core->query("CREATE TEMP TRIGGER refuse_line BEFORE INSERT ON main.document_lines "
                "WHEN NEW.id LIKE '%-002' BEGIN SELECT RAISE(ABORT, 'disk full'); END");
    Json::object proforma = document(existing).object_items();
    EXPECT_EQ(core->save_document({line("Új 1", 1), line("Új 2", 1), line("Új 3", 1)}, false, proforma), "");
    auto rows = lines_of(existing);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(Json(rows[0])["name"].string_value(), "Régi 1");
    EXPECT_EQ(document(existing)["synced"].number_value(), 1);

    // Once the store accepts writes again the same saves go through, and the invoice posts its stock.
    core->query("DROP TRIGGER temp.refuse_invoice");
    core->query("DROP TRIGGER temp.refuse_line");
    EXPECT_EQ(core->save_document({sale}, false, {{"recordName", "INVOICE-FAIL"}, {"type", "INVOICE"}}),
              "INVOICE-FAIL");
    EXPECT_EQ(count("SELECT COUNT(*) AS n FROM inventory WHERE documentRecordName = 'INVOICE-FAIL'"), 1u);
    EXPECT_EQ(layer()["remaining_fifo"].number_value(), 2);

    // A closed store writes nothing and says so.
    core->close_database();
    EXPECT_EQ(core->save_document({line("x", 1)}, false, {{"type", "INVOICE"}}), "");
}

}  // namespace
