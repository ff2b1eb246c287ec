// The web shop's orders imported as WEBSHOP_ORDER documents against a loopback shop and cloud database.
#include "core/store/store_internal.h"
#include "tests/fakes/cloud_store.h"
#include "tests/fakes/webshop_fake.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

using json11::Json;

namespace {

const std::string kAccount = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
constexpr std::time_t kNow = 1772362800;  // 2026-03-01 12:00 in Budapest
// Keys holding characters that must be escaped in a query.
const std::string kKey = "ck_a&b#1";
const std::string kSecret = "cs_x+y=2";

Json order(int id, const std::string& total, Json::array lines, const std::string& day = "2026-02-10") {
    return Json::object{{"id", id},
                        {"date_created", day + "T10:20:30"},
                        {"currency", "HUF"},
                        {"total", total},
                        {"billing", Json::object{{"first_name", "Anna"},
                                                 {"last_name", "Kovács"},
                                                 {"company", ""},
                                                 {"address_1", "Fő utca 1."},
                                                 {"address_2", ""},
                                                 {"city", "Budapest"},
                                                 {"state", ""},
                                                 {"postcode", "1011"},
                                                 {"country", "HU"},
                                                 {"email", "anna@example.hu"},
                                                 {"phone", "+36 1 234 5678"}}},
                        {"line_items", lines}};
}

Json item_line(const std::string& name, const std::string& sku, double price, double quantity) {
    return Json::object{{"name", name}, {"sku", sku}, {"price", price}, {"quantity", quantity}, {"total", "0.00"}};
}

class Webshop : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return kNow; });
        setenv("TZ", "Europe/Budapest", 1);
        tzset();
        cloud.create_zone(kAccount);
        ScopedEnv::Values values = cloud.env();
        values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:1");
        env = std::make_unique<ScopedEnv>(values);
        core = make_core(dir.path() + "data/");
        core->current_account = kAccount;
        core->open_database();
        core->save_web_auth_token("session");
    }
    void TearDown() override { set_clock({}); }

    void connect(const std::string& id, const std::string& domain) {
        ASSERT_TRUE(core->save_record(
            {{"recordName", "webshop_connect"},
             {"value", Json(Json::object{{"id", id}, {"domain", domain}, {"key1", kKey}, {"key2", kSecret}}).dump()}},
            "settings"));
    }

    // Runs one import; its completion must run exactly once.
    bool import() {
        int calls = 0;
        bool result = false;
        core->import_webshop_orders([&](bool imported) {
            ++calls;
            result = imported;
        });
        EXPECT_EQ(calls, 1);
        return result;
    }

    std::size_t pass_requests() {
        std::size_t n = 0;
        for (const CloudCall& call : cloud.calls()) n += call.endpoint == "changes/zone";
        return n;
    }

    Json document(const std::string& name) {
        auto rows = store::rows(*core, "SELECT * FROM documents WHERE recordName = ?", {name});
        return rows.empty() ? Json() : Json(rows.front());
    }

    std::vector<Json::object> lines_of(const std::string& name) {
        return store::rows(*core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id", {name});
    }

    CloudStore cloud;
    WebshopFake shop{kKey, kSecret};
    std::unique_ptr<ScopedEnv> env;
    TempDir dir;
    std::unique_ptr<Core> core;
};

TEST_F(Webshop, ImportsEveryPageOnceWithItemsFoundBySku) {
    ASSERT_TRUE(core->save_record({{"recordName", "ITEM-PLAIN"}, {"name", "Bögre"}, {"sku", "MUG-1"}}, "items"));
    ASSERT_TRUE(core->save_record({{"recordName", "ITEM-QUOTE"}, {"name", "Kalap"}, {"sku", "O'HAT-2"}}, "items"));
    ASSERT_TRUE(core->save_record({{"recordName", "ITEM-OTHER"}, {"name", "Sál"}, {"sku", "x' OR '1'='1"}}, "items"));
    // 25 orders, newest first over three pages of ten; one with a total that is no number, one outside
    // the 60 days.
    for (int i = 0; i < 25; ++i) {
        char day[16];
        std::snprintf(day, sizeof day, "2026-02-%02d", i + 1);
        Json::array lines{item_line("Bögre", "MUG-1", 1234.5, 2), item_line("Kalap", "O'HAT-2", 990, 1 + i % 3)};
        if (i % 5 == 0) lines.push_back(item_line("Ajándékkártya", "GIFT", 0.1, 3));
        shop.add_order(order(1001 + i, i == 7 ? "abc" : "12.50 Ft", lines, day));
    }
    shop.add_order(order(900, "1", {}, "2025-12-20"));
    connect("woocommerce", shop.url() + "/");

    EXPECT_TRUE(import());

    auto requests = shop.order_requests();
    ASSERT_EQ(requests.size(), 4u);
    const std::string first = "/wp-json/wc/v3/orders?consumer_key=ck_a%26b%231&consumer_secret=cs_x%2By%3D2"
                              "&after=2025-12-31T00:00:00";
    EXPECT_EQ(requests[0].target, first);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[1].target, first + "&page=2");
    EXPECT_EQ(requests[3].target, first + "&page=4");

    EXPECT_EQ(store::rows(*core, "SELECT * FROM documents WHERE type = 'WEBSHOP_ORDER'").size(), 25u);
    EXPECT_TRUE(document("WEBSHOP-900").is_null());
    for (int i = 0; i < 25; ++i) {
        const std::string name = "WEBSHOP-" + std::to_string(1001 + i);
        const Json doc = document(name);
        ASSERT_FALSE(doc.is_null()) << name;
        EXPECT_EQ(doc["number_formatted"].string_value(), name);
        const double gift = i % 5 == 0 ? 0.1 * 3 : 0;
        EXPECT_DOUBLE_EQ(doc["total_gross_amount"].number_value(), 2469 + 990.0 * (1 + i % 3) + gift) << name;
        auto lines = lines_of(name);
        ASSERT_EQ(lines.size(), i % 5 == 0 ? 3u : 2u) << name;
        EXPECT_EQ(Json(lines[0])["itemRecordName"].string_value(), "ITEM-PLAIN");
        EXPECT_EQ(Json(lines[0])["item_type"].string_value(), "INVENTORY_TRACKING");
        EXPECT_EQ(Json(lines[1])["itemRecordName"].string_value(), "ITEM-QUOTE");
        EXPECT_DOUBLE_EQ(Json(lines[1])["quantity"].number_value(), 1 + i % 3);
        if (i % 5 == 0) {
            EXPECT_EQ(Json(lines[2])["itemRecordName"].string_value(), "");
            EXPECT_EQ(Json(lines[2])["item_type"].string_value(), "PRODUCT");
        }
    }
    const Json doc = document("WEBSHOP-1008");  // the one with the total "abc"
    EXPECT_EQ(doc["issue_date"].string_value(), "2026-02-08T10:20:30");
    EXPECT_EQ(doc["delivery_date"].string_value(), "2026-03-01");
    EXPECT_EQ(doc["client_name"].string_value(), "Anna Kovács");
    EXPECT_EQ(doc["client_street"].string_value(), "Fő utca 1. ");
    EXPECT_EQ(doc["client_status"].string_value(), "PRIVATE_PERSON");
    EXPECT_EQ(doc["currency_code"].string_value(), "HUF");
    EXPECT_EQ(doc["synced"].number_value(), kNow);  // the pass after the import took it up

    // The sync pass took the new documents to the cloud.
    EXPECT_EQ(cloud.row(kAccount, "WEBSHOP-1025")["number_formatted"].string_value(), "WEBSHOP-1025");

    // A second run stores nothing new, but still runs its pass.
    const std::size_t passes = pass_requests();
    EXPECT_FALSE(import());
    EXPECT_EQ(store::rows(*core, "SELECT * FROM documents WHERE type = 'WEBSHOP_ORDER'").size(), 25u);
    EXPECT_EQ(store::rows(*core, "SELECT * FROM document_lines").size(), 55u);
    EXPECT_GT(pass_requests(), passes);
}

TEST_F(Webshop, EveryFailureRoadCompletesOnceWithFalse) {
    shop.add_order(order(7, "10", {item_line("Bögre", "MUG-1", 10, 1)}));

    // No usable domain: nothing is asked, no pass.
    connect("woocommerce", "http");
    EXPECT_FALSE(import());
    EXPECT_EQ(cloud.request_count(), 0u);

    // Orders that cannot be named (an id that is text, a fraction or beyond the integer range) and a
    // null order are refused in the log, none taking another's name, and the import says so.
    connect("woocommerce", shop.url());
    auto with_id = [](Json id) {
        Json::object refused = order(1, "10", {item_line("Bögre", "MUG-1", 10, 1)}).object_items();
        refused["id"] = id;
        return Json(refused);
    };
    shop.reply_raw(Json(Json::array{with_id("abc"), with_id("xyz"), with_id(1e12), with_id(12.5), Json()}).dump());
    bool imported = true;
    testing::internal::CaptureStderr();
    const Core::WebshopImport outcome = core->import_webshop_orders([&imported](bool stored) { imported = stored; });
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(imported);
    EXPECT_EQ(outcome.stored, 0);
    EXPECT_EQ(outcome.refused, 5);
    EXPECT_NE(log.find("did not take every order: 5 refused"), std::string::npos) << log;
    EXPECT_EQ(log.find("Kovács"), std::string::npos) << log;

    struct Road {
        const char* what;
        std::function<void()> prepare;
    };
    const std::vector<Road> roads{
        {"shop down", [&] { connect("woocommerce", "http://127.0.0.1:1"); }},
        {"wrong keys", [&] {
             ASSERT_TRUE(core->save_record(
                 {{"recordName", "webshop_connect"},
                  {"value", Json(Json::object{{"id", "woocommerce"}, {"domain", shop.url()}, {"key1", "ck_wrong"},
                                              {"key2", kSecret}})
                                .dump()}},
                 "settings"));
         }},
        {"500", [&] {
             connect("woocommerce", shop.url());
             shop.fail(WebshopFake::Fault::status_500);
         }},
        {"invalid JSON", [&] {
             connect("woocommerce", shop.url());
             shop.fail(WebshopFake::Fault::invalid_json);
         }},
        {"other kind of shop", [&] {
             shop.fail(WebshopFake::Fault::none);
             connect("othershop", shop.url());
         }},
    };
    for (const Road& road : roads) {
        road.prepare();
        const std::size_t asked = shop.request_count();
        const std::size_t passes = pass_requests();
        EXPECT_FALSE(import()) << road.what;
        EXPECT_GT(pass_requests(), passes) << road.what;
        EXPECT_LE(shop.request_count(), asked + 1) << road.what;
    }
    EXPECT_EQ(shop.requests().back().target, "/");
    EXPECT_TRUE(store::rows(*core, "SELECT * FROM documents WHERE type = 'WEBSHOP_ORDER'").empty());
}

}  // namespace
