// Stock movements: receipts as layers, sales valued by FIFO, LIFO, weighted average and clearing
// price, cancellations and returns giving layers back, and the running stock kept per item.
#include "core/store/store_internal.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <thread>

using json11::Json;

namespace {

class Stock : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([this] { return now.load(); });
        core = make_core(dir.path(), "hu");
        core->open_database();
        ASSERT_NE(core->db, nullptr);
    }
    void TearDown() override {
        core.reset();
        set_clock({});
    }

    // Every movement at its own second, so the order of layers is the order of the test.
    void tick() { now += 1; }

    void add_item(const std::string& record_name, const std::string& type = "INVENTORY_TRACKING") {
        ASSERT_TRUE(core->save_record({{"recordName", record_name}, {"name", "Item " + record_name}, {"type", type}},
                                      "items"));
    }

    static Json line(const std::string& item, double quantity, double price, double clearing = 0) {
        return Json::object{{"itemRecordName", item}, {"item_type", "INVENTORY_TRACKING"}, {"name", "Line " + item},
                            {"quantity", quantity},   {"price", price},                    {"price_type", "NET"},
                            {"clearing_price", clearing}};
    }

    std::string receive(std::vector<Json> lines) {
        tick();
        return core->save_document(std::move(lines), false,
                                   {{"type", "PURCHASE_RECEIVE"}, {"number_formatted", "BE/1"}, {"client_name", "Szállító"}});
    }

    std::string sell(std::vector<Json> lines, Json::object extra = {}) {
        tick();
        Json::object document{{"type", "INVOICE"}, {"client_name", "Vevő Kft."}, {"clientRecordName", "CLIENT-1"}};
        for (auto& [key, value] : extra) document[key] = value;
        return core->save_document(std::move(lines), false, document);
    }

    // The movements of a document for one item, oldest first.
    std::vector<Json::object> rows_of(const std::string& document, const std::string& item) {
        return store::rows(*core,
                           "SELECT * FROM inventory WHERE documentRecordName = ? AND itemRecordName = ? "
                           "ORDER BY created, rowid",
                           {document, item});
    }
    Json row(const std::string& document, const std::string& item) {
        auto rows = rows_of(document, item);
        EXPECT_EQ(rows.size(), 1u) << document << " " << item;
        return rows.empty() ? Json() : Json(rows.front());
    }
    static Json::object history(const Json& row, const char* column) {
        const std::string& text = row[column].string_value();
        return text.empty() ? Json::object() : Json::parse(text).object_items();
    }
    std::int64_t stock_sum(const std::string& item) {
        auto rows = store::rows(*core, "SELECT coalesce(SUM(quantity), 0) AS s FROM inventory WHERE itemRecordName = ?",
                                {item});
        return static_cast<std::int64_t>(Json(rows.front())["s"].number_value());
    }
    std::size_t inventory_count() { return core->query("SELECT COUNT(*) AS n FROM inventory").front()["n"].int_value(); }

    TempDir dir;
    std::unique_ptr<Core> core;
    std::atomic<std::time_t> now{1772355600};  // 2026-03-01
};

// Two receipts, three sales (one of two items), the cancellation of the first sale and the return
// of the last one's row, each figure worked out by hand from the valuation rules.
TEST_F(Stock, PurchaseSaleStornoReturnSequence) {
    add_item("A");
    add_item("B");
    const std::string r1 = receive({line("A", 5, 10)});
    const std::string r2 = receive({line("A", 5, 12)});
    ASSERT_FALSE(r1.empty());
    ASSERT_NE(r1, r2);

    // 7 at 20: FIFO 5 x 10 + 2 x 12 = 74, LIFO 5 x 12 + 2 x 10 = 80, average 11, clearing 15.
    const std::string s1 = sell({line("A", 7, 20, 15)});
    Json sale1 = row(s1, "A");
    EXPECT_EQ(sale1["reason"].string_value(), "INVOICE");
    EXPECT_EQ(sale1["quantity"].number_value(), -7);
    EXPECT_EQ(sale1["remaining_fifo"].number_value(), 0);
    EXPECT_EQ(sale1["stock"].number_value(), 3);
    EXPECT_DOUBLE_EQ(sale1["profit_fifo"].number_value(), 66);
    EXPECT_DOUBLE_EQ(sale1["profit_lifo"].number_value(), 60);
    EXPECT_DOUBLE_EQ(sale1["last_avg_purchase_price"].number_value(), 11);
    EXPECT_DOUBLE_EQ(sale1["profit_avg"].number_value(), 63);
    EXPECT_DOUBLE_EQ(sale1["profit_clearing"].number_value(), 35);
    EXPECT_EQ(sale1["client_name"].string_value(), "Vevő Kft.");
    EXPECT_EQ(sale1["clientRecordName"].string_value(), "CLIENT-1");
    EXPECT_EQ(sale1["item_name"].string_value(), "Line A");
    EXPECT_EQ(sale1["created"].number_value(), static_cast<double>(now.load()) * 1000);
    {
        Json l1 = row(r1, "A"), l2 = row(r2, "A");
        EXPECT_EQ(l1["remaining_fifo"].number_value(), 0);
        EXPECT_EQ(l2["remaining_fifo"].number_value(), 3);
        EXPECT_EQ(l2["remaining_lifo"].number_value(), 0);
        EXPECT_EQ(l1["remaining_lifo"].number_value(), 3);
        EXPECT_EQ(history(l1, "remaining_history_fifo"), (Json::object{{s1, 5}}));
        EXPECT_EQ(history(l2, "remaining_history_fifo"), (Json::object{{s1, 2}}));
        EXPECT_EQ(history(l2, "remaining_history_lifo"), (Json::object{{s1, 5}}));
        EXPECT_EQ(history(l1, "remaining_history_lifo"), (Json::object{{s1, 2}}));
    }

    // 2 at 25: FIFO from the second layer (cost 24), LIFO from the first (cost 20); the average
    // stays 11 (no receipt since the last sale).
    const std::string s2 = sell({line("A", 2, 25, 15)});
    Json sale2 = row(s2, "A");
    EXPECT_DOUBLE_EQ(sale2["profit_fifo"].number_value(), 26);
    EXPECT_DOUBLE_EQ(sale2["profit_lifo"].number_value(), 30);
    EXPECT_DOUBLE_EQ(sale2["last_avg_purchase_price"].number_value(), 11);
    EXPECT_DOUBLE_EQ(sale2["profit_avg"].number_value(), 28);
    EXPECT_DOUBLE_EQ(sale2["profit_clearing"].number_value(), 20);
    EXPECT_EQ(sale2["stock"].number_value(), 1);

    const std::string r3 = receive({line("A", 4, 13), line("B", 2, 40)});

    // 3 of A at 30: FIFO 1 x 12 + 2 x 13 = 38, LIFO 3 x 13 = 39, average (4 x 13 + 1 x 11) / 5 = 12.6.
    // 1 of B at 50 from its one layer at 40.
    const std::string s3 = sell({line("A", 3, 30, 15), line("B", 1, 50, 45)});
    Json sale3 = row(s3, "A");
    EXPECT_DOUBLE_EQ(sale3["profit_fifo"].number_value(), 52);
    EXPECT_DOUBLE_EQ(sale3["profit_lifo"].number_value(), 51);
    EXPECT_DOUBLE_EQ(sale3["last_avg_purchase_price"].number_value(), 12.6);
    EXPECT_NEAR(sale3["profit_avg"].number_value(), 52.2, 1e-9);
    EXPECT_DOUBLE_EQ(sale3["profit_clearing"].number_value(), 45);
    EXPECT_EQ(sale3["stock"].number_value(), 2);
    Json sale3b = row(s3, "B");
    EXPECT_DOUBLE_EQ(sale3b["profit_fifo"].number_value(), 10);
    EXPECT_DOUBLE_EQ(sale3b["profit_lifo"].number_value(), 10);
    EXPECT_DOUBLE_EQ(sale3b["profit_avg"].number_value(), 10);
    EXPECT_DOUBLE_EQ(sale3b["profit_clearing"].number_value(), 5);
    EXPECT_EQ(sale3b["stock"].number_value(), 1);

    // Cancelling the first sale: a STORNO row with the negated profits; both layers regain what
    // that sale took and lose its history member.
    const std::string storno = sell({line("A", -7, 20, 15)}, {{"reference_recordName", s1}});
    Json cancel = row(storno, "A");
    EXPECT_EQ(cancel["reason"].string_value(), "STORNO");
    EXPECT_EQ(cancel["quantity"].number_value(), 7);
    EXPECT_DOUBLE_EQ(cancel["price"].number_value(), -20);
    EXPECT_DOUBLE_EQ(cancel["profit_fifo"].number_value(), -66);
    EXPECT_DOUBLE_EQ(cancel["profit_lifo"].number_value(), -60);
    EXPECT_DOUBLE_EQ(cancel["profit_avg"].number_value(), -63);
    EXPECT_DOUBLE_EQ(cancel["profit_clearing"].number_value(), -35);
    EXPECT_DOUBLE_EQ(cancel["last_avg_purchase_price"].number_value(), 0);
    EXPECT_EQ(cancel["stock"].number_value(), 9);
    {
        Json l1 = row(r1, "A"), l2 = row(r2, "A"), l3 = row(r3, "A");
        EXPECT_EQ(l1["remaining_fifo"].number_value(), 5);
        EXPECT_EQ(l2["remaining_fifo"].number_value(), 2);
        EXPECT_EQ(l3["remaining_fifo"].number_value(), 2);
        EXPECT_EQ(l1["remaining_lifo"].number_value(), 3);
        EXPECT_EQ(l2["remaining_lifo"].number_value(), 5);
        EXPECT_EQ(l3["remaining_lifo"].number_value(), 1);
        EXPECT_EQ(l1["remaining_history_fifo"].string_value(), "{}");
        EXPECT_EQ(history(l2, "remaining_history_fifo"), (Json::object{{s2, 2}, {s3, 1}}));
        EXPECT_EQ(history(l2, "remaining_history_lifo"), Json::object{});
        EXPECT_EQ(history(l1, "remaining_history_lifo"), (Json::object{{s2, 2}}));
        EXPECT_EQ(l1["synced"].number_value(), 0);
    }

    // Returning item A's row of the third sale from the inventory list: A's layers get back what
    // that sale took of A; item B, sold on the same invoice, keeps its layer as it is.
    tick();
    Json::object returned = sale3.object_items();
    returned["reason"] = "RETURN";
    core->post_inventory({Json::object{{"itemRecordName", "A"},
                                       {"item_name", sale3["item_name"]},
                                       {"item_type", "INVENTORY_TRACKING"},
                                       {"quantity", sale3["quantity"]},
                                       {"price", sale3["price"]}}},
                         returned);
    auto rows = rows_of(s3, "A");
    ASSERT_EQ(rows.size(), 2u);
    Json back(rows[1]);
    EXPECT_EQ(back["reason"].string_value(), "RETURN");
    EXPECT_EQ(back["quantity"].number_value(), 3);
    EXPECT_DOUBLE_EQ(back["price"].number_value(), -30);
    EXPECT_DOUBLE_EQ(back["profit_fifo"].number_value(), -52);
    EXPECT_DOUBLE_EQ(back["profit_lifo"].number_value(), -51);
    EXPECT_NEAR(back["profit_avg"].number_value(), -52.2, 1e-9);
    EXPECT_DOUBLE_EQ(back["profit_clearing"].number_value(), -45);
    EXPECT_EQ(back["stock"].number_value(), 12);
    EXPECT_EQ(back["clientRecordName"].string_value(), "CLIENT-1");
    {
        Json l2 = row(r2, "A"), l3 = row(r3, "A"), lb = row(r3, "B");
        EXPECT_EQ(l2["remaining_fifo"].number_value(), 3);
        EXPECT_EQ(l3["remaining_fifo"].number_value(), 4);
        EXPECT_EQ(l3["remaining_lifo"].number_value(), 4);
        EXPECT_EQ(history(l2, "remaining_history_fifo"), (Json::object{{s2, 2}}));
        EXPECT_EQ(history(l3, "remaining_history_lifo"), Json::object{});
        EXPECT_EQ(lb["remaining_fifo"].number_value(), 1);
        EXPECT_EQ(lb["remaining_lifo"].number_value(), 1);
        EXPECT_EQ(history(lb, "remaining_history_fifo"), (Json::object{{s3, 1}}));
    }
    // Each method's layers hold exactly the stock.
    auto layer_total = [&](const char* column) {
        auto r = store::rows(*core,
                             std::string("SELECT SUM(") + column + ") AS s FROM inventory WHERE itemRecordName = 'A' "
                             "AND reason = 'RECEIVE'");
        return Json(r.front())["s"].number_value();
    };
    EXPECT_EQ(stock_sum("A"), 12);
    EXPECT_EQ(layer_total("remaining_fifo"), 12);
    EXPECT_EQ(layer_total("remaining_lifo"), 12);

    EXPECT_EQ(core->stock_quantity_text("A"), "Mennyiség (12)");
    EXPECT_EQ(core->last_purchase_price_text("A"), "Beszerzési ár (utolsó 13)");
    EXPECT_EQ(core->last_purchase_price_text("nothing"), "Beszerzési ár (utolsó 0)");
    EXPECT_EQ(core->stock_quantity_text("nothing"), "Mennyiség (0)");

    // The next plain sale after the cancellation keeps the average of the sales before it: the
    // cancelled units went back at that cost, not at zero.
    const std::string s4 = sell({line("A", 1, 20, 15)});
    Json sale4 = row(s4, "A");
    EXPECT_DOUBLE_EQ(sale4["last_avg_purchase_price"].number_value(), 12.6);
    EXPECT_NEAR(sale4["profit_avg"].number_value(), 7.4, 1e-9);
}

// Stock is kept in forints: receipts and sales of documents in another currency post their prices at
// the document's rate, a cancellation and a return give back the same forint values, and the
// inventory list shows forints.
TEST_F(Stock, ForeignCurrencyDocumentsPostForints) {
    add_item("E");
    const Json::object eur{{"currency_code", "EUR"}, {"exchange_rate", 400.0}};
    tick();
    Json::object receipt{{"type", "PURCHASE_RECEIVE"}, {"number_formatted", "BE/1"}, {"client_name", "Lieferant"}};
    receipt.insert(eur.begin(), eur.end());
    const std::string r1 = core->save_document({line("E", 10, 5)}, false, receipt);  // 10 at 2000 Ft
    const std::string r2 = receive({line("E", 10, 2400)});                           // no rate: forints
    EXPECT_DOUBLE_EQ(row(r1, "E")["price"].number_value(), 2000);
    EXPECT_DOUBLE_EQ(row(r2, "E")["price"].number_value(), 2400);
    EXPECT_EQ(core->last_purchase_price_text("E"), "Beszerzési ár (utolsó 2 400)");

    // 12 at 12.5 EUR, rate 395.2: 4940 Ft each. FIFO 10 x 2000 + 2 x 2400 = 24800, LIFO 10 x 2400 +
    // 2 x 2000 = 28000, average 2200, clearing price 1500 Ft (the item's, already forints).
    const std::string s1 =
        sell({line("E", 12, 12.5, 1500)}, {{"currency_code", "EUR"}, {"exchange_rate", 395.2}, {"number_formatted", "SZ/1"}});
    Json sale = row(s1, "E");
    EXPECT_NEAR(sale["price"].number_value(), 4940, 1e-9);
    EXPECT_NEAR(sale["profit_fifo"].number_value(), 12 * 4940 - 24800, 1e-6);
    EXPECT_NEAR(sale["profit_lifo"].number_value(), 12 * 4940 - 28000, 1e-6);
    EXPECT_NEAR(sale["last_avg_purchase_price"].number_value(), 2200, 1e-9);
    EXPECT_NEAR(sale["profit_avg"].number_value(), 12 * (4940 - 2200), 1e-6);
    EXPECT_NEAR(sale["profit_clearing"].number_value(), 12 * (4940 - 1500), 1e-6);

    Json::object march{{"from_date", "2026-03-01"}, {"to_date", "2026-03-31"}};
    std::string html = core->list_html(0, "inventory", march, "", "");
    const std::string sale_cells = "<td class='align_right'>4 940 Ft</td><td class='align_right'>34 480 Ft</td>";
    EXPECT_NE(html.find(sale_cells), std::string::npos) << html;
    EXPECT_NE(html.find("<td class='align_right'>2 000 Ft</td>"), std::string::npos);
    EXPECT_EQ(core->list_summary, "FIFO haszon: 34 480 Ft");

    // The storno was made on another day at another rate: it still mirrors the sale in forints.
    const std::string storno = sell({line("E", -12, 12.5, 1500)}, {{"currency_code", "EUR"},
                                                                    {"exchange_rate", 410.0},
                                                                    {"reference_recordName", s1},
                                                                    {"number_formatted", "SZ/2"}});
    Json cancel = row(storno, "E");
    EXPECT_EQ(cancel["reason"].string_value(), "STORNO");
    EXPECT_NEAR(cancel["price"].number_value(), -4940, 1e-9);
    EXPECT_NEAR(cancel["profit_fifo"].number_value(), -(12 * 4940 - 24800), 1e-6);
    EXPECT_EQ(row(r1, "E")["remaining_fifo"].number_value(), 10);
    EXPECT_EQ(row(r2, "E")["remaining_lifo"].number_value(), 10);
    html = core->list_html(0, "inventory", march, "", "");
    EXPECT_NE(html.find("<td class='align_right'>-4 940 Ft</td><td class='align_right'>-34 480 Ft</td>"),
              std::string::npos);
    EXPECT_EQ(core->list_summary, "FIFO haszon: 0 Ft");

    // A USD sale returned from the inventory list: the return row's price is the sale row's forints
    // negated, not converted a second time.
    const std::string s2 = sell({line("E", 3, 10, 1500)}, {{"currency_code", "USD"}, {"exchange_rate", 360.0}});
    Json usd = row(s2, "E");
    EXPECT_NEAR(usd["price"].number_value(), 3600, 1e-9);
    EXPECT_NEAR(usd["profit_fifo"].number_value(), 3 * (3600 - 2000), 1e-6);
    tick();
    Json::object returned = usd.object_items();
    returned["reason"] = "RETURN";
    core->post_inventory({Json::object{{"itemRecordName", "E"},
                                       {"item_name", usd["item_name"]},
                                       {"item_type", "INVENTORY_TRACKING"},
                                       {"quantity", usd["quantity"]},
                                       {"price", usd["price"]}}},
                         returned);
    auto rows = rows_of(s2, "E");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(Json(rows[1])["reason"].string_value(), "RETURN");
    EXPECT_NEAR(Json(rows[1])["price"].number_value(), -3600, 1e-9);
    EXPECT_NEAR(Json(rows[1])["profit_fifo"].number_value(), -3 * (3600 - 2000), 1e-6);
    EXPECT_EQ(stock_sum("E"), 20);
    EXPECT_EQ(row(r1, "E")["remaining_fifo"].number_value(), 10);

    // A rate that is no rate (0, not finite) counts as forints.
    const std::string s3 = sell({line("E", 1, 3000)}, {{"exchange_rate", 0.0}});
    EXPECT_DOUBLE_EQ(row(s3, "E")["price"].number_value(), 3000);
}

TEST_F(Stock, ResavingADocumentPostsNothingMore) {
    add_item("A");
    const std::string r1 = receive({line("A", 10, 10)});
    const std::string s1 = sell({line("A", 4, 20)});
    const std::size_t rows = inventory_count();
    Json layer_before = row(r1, "A");

    // The editor saves the same invoice and receipt again (a note changed, say).
    tick();
    auto doc = store::rows(*core, "SELECT * FROM documents WHERE recordName = ?", {s1});
    ASSERT_EQ(doc.size(), 1u);
    doc.front()["header_note"] = "javítva";
    EXPECT_EQ(core->save_document({line("A", 4, 20)}, false, doc.front()), s1);
    auto receipt = store::rows(*core, "SELECT * FROM documents WHERE recordName = ?", {r1});
    EXPECT_EQ(core->save_document({line("A", 10, 10)}, false, receipt.front()), r1);

    EXPECT_EQ(inventory_count(), rows);
    Json layer_after = row(r1, "A");
    EXPECT_EQ(layer_after["remaining_fifo"], layer_before["remaining_fifo"]);
    EXPECT_EQ(layer_after["remaining_history_fifo"], layer_before["remaining_history_fifo"]);
    EXPECT_EQ(layer_after["remaining_lifo"].number_value(), 6);
    EXPECT_EQ(stock_sum("A"), 6);

    // A document first stored from the cloud was posted where it was made: saving it here later
    // does not post it a second time.
    tick();
    const std::string cloud = core->save_document({line("A", 1, 20)}, true,
                                                  {{"recordName", "INVOICE-2026-000900"}, {"type", "INVOICE"}});
    EXPECT_EQ(cloud, "INVOICE-2026-000900");
    auto stored = store::rows(*core, "SELECT * FROM documents WHERE recordName = ?", {cloud});
    core->save_document({line("A", 1, 20)}, false, stored.front());
    EXPECT_EQ(inventory_count(), rows);
}

// Manual changes from the item dialog, untracked items, sales without stock and fractions.
TEST_F(Stock, ItemChangesUntrackedItemsAndShortStock) {
    add_item("A");
    add_item("S", "SERVICE");

    // No receipts and no earlier sale: the average cost is 0, the whole line price is profit.
    const std::string s0 = sell({line("A", 2, 15)});
    Json first = row(s0, "A");
    EXPECT_DOUBLE_EQ(first["profit_avg"].number_value(), 30);
    EXPECT_DOUBLE_EQ(first["profit_fifo"].number_value(), 30);
    EXPECT_EQ(first["stock"].number_value(), -2);

    // A sale of an untracked item posts nothing; receiving it makes it tracked.
    const std::size_t before = inventory_count();
    Json service = line("S", 1, 100);
    Json::object untracked = service.object_items();
    untracked["item_type"] = "SERVICE";
    sell({untracked});
    EXPECT_EQ(inventory_count(), before);
    const std::string rs = receive({untracked});
    EXPECT_EQ(row(rs, "S")["reason"].string_value(), "RECEIVE");
    auto item = store::rows(*core, "SELECT type, synced FROM items WHERE recordName = 'S'");
    EXPECT_EQ(Json(item.front())["type"].string_value(), "INVENTORY_TRACKING");

    // The item dialog removes 2 units: never a layer to consume.
    const std::string r1 = receive({line("A", 10, 10)});
    tick();
    core->post_inventory({Json::object{{"itemRecordName", "A"},
                                       {"item_name", "Alma"},
                                       {"item_type", "INVENTORY_TRACKING"},
                                       {"quantity", -2},
                                       {"price", -10}}},
                         Json::object{{"documentRecordName", ""},
                                      {"clientRecordName", ""},
                                      {"number_formatted", ""},
                                      {"client_name", ""},
                                      {"reason", "REMOVE"},
                                      {"header_note", "  törött\n\n  doboz "}});
    auto removed = store::rows(*core, "SELECT * FROM inventory WHERE reason = 'REMOVE'");
    ASSERT_EQ(removed.size(), 1u);
    Json remove(removed.front());
    EXPECT_EQ(remove["quantity"].number_value(), -2);
    EXPECT_EQ(remove["remaining_fifo"].number_value(), -2);
    EXPECT_DOUBLE_EQ(remove["price"].number_value(), -10);
    EXPECT_DOUBLE_EQ(remove["profit_fifo"].number_value(), 0);
    EXPECT_EQ(remove["stock"].number_value(), 6);
    EXPECT_EQ(remove["note"].string_value(), "törött doboz");
    EXPECT_EQ(remove["documentRecordName"].string_value(), "");

    // Selling more than the layers hold: the missing units have no cost, stock goes below 0.
    const std::string s1 = sell({line("A", 12, 20)});
    Json big = row(s1, "A");
    EXPECT_DOUBLE_EQ(big["profit_fifo"].number_value(), 12 * 20 - 10 * 10);
    EXPECT_EQ(big["stock"].number_value(), -6);
    EXPECT_EQ(row(r1, "A")["remaining_fifo"].number_value(), 0);
    EXPECT_EQ(Json(store::rows(*core, "SELECT remaining_fifo FROM inventory WHERE reason = 'REMOVE'").front())
                  ["remaining_fifo"].number_value(),
              -2);

    // Fractions count in whole units everywhere, so a cancellation gives back exactly what was taken.
    const std::string r2 = receive({line("A", 10, 10)});
    const std::string s2 = sell({line("A", 2.5, 20)});
    Json half = row(s2, "A");
    EXPECT_EQ(half["quantity"].number_value(), -2);
    EXPECT_DOUBLE_EQ(half["profit_fifo"].number_value(), 20);
    Json layer = row(r2, "A");
    EXPECT_EQ(layer["remaining_fifo"].number_value(), 8);
    EXPECT_EQ(history(layer, "remaining_history_fifo"), (Json::object{{s2, 2}}));
    sell({line("A", -2.5, 20)}, {{"reference_recordName", s2}});
    EXPECT_EQ(row(r2, "A")["remaining_fifo"].number_value(), 10);
    EXPECT_EQ(row(r2, "A")["remaining_lifo"].number_value(), 10);
}

// Two receipt lines of one item in one document are written in the same second: FIFO takes the
// first line's layer first, LIFO the second's.
TEST_F(Stock, EqualTimesKeepTheOrderOfWriting) {
    add_item("A");
    const std::string r = receive({line("A", 5, 10), line("A", 5, 12), line("A", 5, 11)});
    const std::string s = sell({line("A", 3, 20)});
    Json sale = row(s, "A");
    EXPECT_DOUBLE_EQ(sale["profit_fifo"].number_value(), 60 - 30);
    EXPECT_DOUBLE_EQ(sale["profit_lifo"].number_value(), 60 - 33);
    auto layers = rows_of(r, "A");
    ASSERT_EQ(layers.size(), 3u);
    EXPECT_EQ(Json(layers[0])["remaining_fifo"].number_value(), 2);
    EXPECT_EQ(Json(layers[2])["remaining_lifo"].number_value(), 2);
    EXPECT_EQ(Json(layers[0])["created"], Json(layers[2])["created"]);
}

// Giving back looks for the referenced document's exact name among the item's layers: a name that
// merely contains it, or matches it with "_" as a wildcard, is left alone.
TEST_F(Stock, GivingBackMatchesTheExactDocumentName) {
    add_item("A");
    const std::string r1 = receive({line("A", 10, 10)});
    auto sell_as = [&](const std::string& name, double quantity) {
        tick();
        return core->save_document({line("A", quantity, 20)}, false, {{"recordName", name}, {"type", "INVOICE"}});
    };
    EXPECT_EQ(sell_as("INVOICE-2026-100000", 1), "INVOICE-2026-100000");
    sell_as("INVOICE-2026-1000001", 2);
    sell_as("INVOICE_X", 3);
    sell_as("INVOICE-X", 1);
    tick();
    core->save_document({line("A", -1, 20)}, false,
                        {{"recordName", "INVOICE-STORNO-1"}, {"type", "INVOICE"}, {"reference_recordName", "INVOICE-2026-100000"}});
    tick();
    core->save_document({line("A", -1, 20)}, false,
                        {{"recordName", "INVOICE-STORNO-2"}, {"type", "INVOICE"}, {"reference_recordName", "INVOICE-X"}});
    Json layer = row(r1, "A");
    EXPECT_EQ(history(layer, "remaining_history_fifo"), (Json::object{{"INVOICE-2026-1000001", 2}, {"INVOICE_X", 3}}));
    EXPECT_EQ(layer["remaining_fifo"].number_value(), 5);
    EXPECT_EQ(layer["remaining_lifo"].number_value(), 5);
    EXPECT_EQ(stock_sum("A"), 5);
}

// The running stock follows every write to the inventory table, also those that do not go
// through a posting, and a change made by another connection to the same file.
TEST_F(Stock, RunningStockFollowsEveryWriter) {
    add_item("A");
    const std::string r1 = receive({line("A", 10, 10)});
    sell({line("A", 1, 20)});

    // A downloaded movement replaces one with the same name; one is deleted; one is edited.
    Json::object replaced = row(r1, "A").object_items();
    replaced["quantity"] = 30;
    replaced["remaining_fifo"] = 29;
    replaced["remaining_lifo"] = 29;
    ASSERT_TRUE(core->save_record(replaced, "inventory"));
    ASSERT_TRUE(core->save_record({{"recordName", "X1"}, {"itemRecordName", "A"}, {"reason", "ADD"}, {"quantity", 5},
                                   {"remaining_fifo", 5}, {"remaining_lifo", 5}, {"price", 11}, {"created", 1000.0}},
                                  "inventory"));
    ASSERT_TRUE(core->save_record({{"recordName", "X2"}, {"itemRecordName", "A"}, {"reason", "LOSS"}, {"quantity", -4}},
                                  "inventory"));
    core->query("DELETE FROM inventory WHERE recordName = 'X2'");
    core->query("UPDATE inventory SET quantity = quantity + 100 WHERE recordName = 'X1'");
    EXPECT_EQ(stock_sum("A"), 30 - 1 + 105);

    // The ADD layer dated long ago is the oldest: FIFO takes it first.
    const std::string s2 = sell({line("A", 2, 20)});
    Json sale = row(s2, "A");
    EXPECT_EQ(sale["stock"].number_value(), 134 - 2);
    EXPECT_DOUBLE_EQ(sale["profit_fifo"].number_value(), 40 - 22);

    // Another connection (another instance of the program) adds a movement.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() + core->current_account + ".tvr").c_str(), &other), SQLITE_OK);
    sqlite3_busy_timeout(other, 5000);
    EXPECT_EQ(sqlite3_exec(other,
                           "INSERT INTO inventory (recordName, itemRecordName, reason, quantity, created) "
                           "VALUES ('Y1', 'A', 'LOSS', -50, 0)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);
    const std::string s3 = sell({line("A", 1, 20)});
    EXPECT_EQ(row(s3, "A")["stock"].number_value(), 132 - 50 - 1);
    EXPECT_EQ(stock_sum("A"), 81);

    // A fresh connection starts from the stored rows.
    core->close_database();
    core->open_database();
    const std::string s4 = sell({line("A", 1, 20)});
    EXPECT_EQ(row(s4, "A")["stock"].number_value(), 80);

    // A layer without a time sorts first for FIFO and last for LIFO, as the plain ORDER BY puts it.
    core->query("INSERT INTO inventory (recordName, itemRecordName, reason, quantity, remaining_fifo, "
                "remaining_lifo, price) VALUES ('N1', 'A', 'ADD', 3, 3, 3, 9)");
    const std::string s5 = sell({line("A", 1, 20)});
    EXPECT_DOUBLE_EQ(row(s5, "A")["profit_fifo"].number_value(), 20 - 9);
    EXPECT_DOUBLE_EQ(row(s5, "A")["profit_lifo"].number_value(), 20 - 10);
    // LIFO: the rest of the replaced receipt (24 at 10), the dated ADD layer (5 at 11), 2 of the undated one.
    const std::string s6 = sell({line("A", 31, 20)});
    EXPECT_DOUBLE_EQ(row(s6, "A")["profit_lifo"].number_value(), 31 * 20 - (24 * 10 + 5 * 11 + 2 * 9));
}

// Record names with apostrophes are values like any other.
TEST_F(Stock, ApostrophesInNames) {
    add_item("O'Brien's");
    const std::string r1 = receive({line("O'Brien's", 3, 10)});
    tick();
    const std::string s1 = core->save_document({line("O'Brien's", 2, 20)}, false,
                                               {{"recordName", "INVOICE-'1"}, {"type", "INVOICE"}});
    EXPECT_EQ(s1, "INVOICE-'1");
    EXPECT_EQ(history(row(r1, "O'Brien's"), "remaining_history_fifo"), (Json::object{{"INVOICE-'1", 2}}));
    tick();
    core->save_document({line("O'Brien's", -2, 20)}, false,
                        {{"recordName", "INVOICE-'2"}, {"type", "INVOICE"}, {"reference_recordName", "INVOICE-'1"}});
    EXPECT_EQ(row(r1, "O'Brien's")["remaining_fifo"].number_value(), 3);
    EXPECT_EQ(core->stock_quantity_text("O'Brien's"), "Mennyiség (3)");
    EXPECT_EQ(core->last_purchase_price_text("O'Brien's"), "Beszerzési ár (utolsó 10)");
}

// Saves racing on two threads: each unit of a layer is taken once, and a document saved twice at
// the same moment is posted once.
TEST_F(Stock, ThreadsPostEachLayerOnce) {
    add_item("A");
    receive({line("A", 50, 10)});
    receive({line("A", 50, 12)});
    constexpr int kPerThread = 20;
    auto seller = [&](int thread) {
        for (int i = 0; i < kPerThread; ++i) {
            const std::string name = "INVOICE-T" + std::to_string(thread) + "-" + std::to_string(i);
            core->save_document({line("A", 2, 20)}, false, {{"recordName", name}, {"type", "INVOICE"}});
        }
    };
    std::thread t1(seller, 1), t2(seller, 2);
    // Both threads also save one shared document.
    auto shared = [&] {
        core->save_document({line("A", 1, 20)}, false, {{"recordName", "INVOICE-SHARED"}, {"type", "INVOICE"}});
    };
    std::thread t3(shared), t4(shared);
    t1.join();
    t2.join();
    t3.join();
    t4.join();

    EXPECT_EQ(rows_of("INVOICE-SHARED", "A").size(), 1u);
    const std::int64_t sold = 2 * 2 * kPerThread + 1;
    EXPECT_EQ(stock_sum("A"), 100 - sold);
    for (const char* method : {"fifo", "lifo"}) {
        std::int64_t remaining = 0, recorded = 0;
        for (auto& layer : store::rows(*core, "SELECT * FROM inventory WHERE reason = 'RECEIVE'")) {
            const Json l(layer);
            remaining += static_cast<std::int64_t>(l[std::string("remaining_") + method].number_value());
            for (auto& [document, taken] : history(l, (std::string("remaining_history_") + method).c_str()))
                recorded += taken.int_value();
        }
        EXPECT_EQ(remaining, 100 - sold) << method;
        EXPECT_EQ(recorded, sold) << method;
    }
}

}  // namespace
