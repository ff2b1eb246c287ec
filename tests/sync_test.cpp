// Cloud sync between installations through a loopback cloud database: the change download and its
// paging, applying and repairing downloaded records, the upload of changed rows and its confirmation,
// faults in the middle of a pass, one pass at a time, and the accounts record.
#include "core/net/sync_internal.h"
#include "core/store/store_internal.h"
#include "tests/fakes/cloud_store.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

using json11::Json;

namespace {

const std::string kAccount = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
constexpr std::time_t kNow = 1772362800;  // 2026-03-01 12:00 in Budapest

ScopedEnv::Values cloud_env(const CloudStore& cloud) {
    ScopedEnv::Values values = cloud.env();
    // Error reports of the cloud requests go nowhere.
    values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:1");
    return values;
}

// A pass whose completion must run exactly once; gives what it received.
Json pass(Core& core) {
    int calls = 0;
    Json received;
    core.sync_start([&](Json result) {
        ++calls;
        received = result;
    });
    EXPECT_EQ(calls, 1);
    return received;
}

Json fetch_settings(Core& core) {
    int calls = 0;
    Json received;
    core.fetch_cloud_settings([&](Json result) {
        ++calls;
        received = result;
    });
    EXPECT_EQ(calls, 1);
    return received;
}

std::string dump(Core& core, const std::string& sql) { return Json(store::rows(core, sql)).dump(); }

// "table/recordName" of every row waiting for upload, tombstones included.
std::set<std::string> pending(Core& core) {
    std::set<std::string> names;
    for (const std::string table : {"documents", "settings", "clients", "items", "inventory"}) {
        for (const auto& row : store::rows(core, "SELECT recordName FROM " + table + " WHERE synced = 0"))
            names.insert(table + "/" + Json(row)["recordName"].string_value());
    }
    for (const auto& row : store::rows(core, "SELECT recordName FROM deleted"))
        names.insert("deleted/" + Json(row)["recordName"].string_value());
    return names;
}

std::vector<CloudCall> calls_to(const CloudStore& cloud, const std::string& endpoint, std::size_t from = 0) {
    std::vector<CloudCall> found;
    auto all = cloud.calls();
    for (std::size_t i = from; i < all.size(); ++i) {
        if (all[i].endpoint == endpoint) found.push_back(all[i]);
    }
    return found;
}

Json row_of(Core& core, const std::string& table, const std::string& name) {
    auto rows = store::rows(core, "SELECT * FROM " + table + " WHERE recordName = ?", {name});
    return rows.empty() ? Json() : Json(rows.front());
}

std::size_t count(Core& core, const std::string& sql) {
    return static_cast<std::size_t>(store::rows(core, sql).size());
}

class Sync : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return kNow; });
        cloud.create_zone(kAccount);
    }
    void TearDown() override { set_clock({}); }

    // One installation: its own data folder, token file and copy of the account database.
    std::unique_ptr<Core> installation(const std::string& name, const std::string& account = kAccount,
                                       const std::string& language = "hu") {
        auto core = make_core(dir.path() + name + "/", language);
        core->current_account = account;
        core->open_database();
        core->save_web_auth_token(name + "-session");
        return core;
    }

    std::string add_client(Core& core, const std::string& name, const std::string& city = "Budapest") {
        const std::string record_name = new_record_name();
        EXPECT_TRUE(core.save_record({{"recordName", record_name},
                                      {"name", name},
                                      {"country_code", "HU"},
                                      {"city", city},
                                      {"currency_code", "HUF"},
                                      {"status", "DOMESTIC"},
                                      {"identifier_number", "12345678-2-42"}},
                                     "clients"));
        return record_name;
    }

    Json line(Core& core, const std::string& name, double quantity, double price) {
        return Json::object{{"name", name},
                            {"quantity", quantity},
                            {"price", price},
                            {"price_type", "GROSS"},
                            {"tax_id", core.setting("taxes")[0]["id"]},
                            {"unit_id", core.setting("units")[0]["id"]}};
    }

    TempDir dir;
    CloudStore cloud;
    ScopedEnv env{cloud_env(cloud)};
};

TEST_F(Sync, TwoInstallationsExchangeRowsEditsAndDeletions) {
    auto a = installation("a");
    auto b = installation("b");

    const std::string client = add_client(*a, "Kovács és Társa Kft.");
    const std::string item = new_record_name();
    ASSERT_TRUE(a->save_record({{"recordName", item},
                                {"name", "Csavar M8"},
                                {"type", "INVENTORY_TRACKING"},
                                {"selling_price", 127.5},
                                {"price_type", "GROSS"},
                                {"tax_id", a->setting("taxes")[0]["id"]},
                                {"unit_id", a->setting("units")[0]["id"]}},
                               "items"));
    Json::object sold = line(*a, "Csavar M8", 3, 127.5).object_items();
    sold["recordName"] = item;
    sold["item_type"] = "INVENTORY_TRACKING";
    const std::string invoice = a->save_document(
        {sold, line(*a, "Szállítás", 1, 1000)}, false,
        {{"type", "INVOICE"}, {"number", 1}, {"number_formatted", "SZLA/2026-0001"}, {"issue_date", "2026-03-01"},
         {"due_date", "2026-03-09"}, {"clientRecordName", client}, {"client_name", "Kovács és Társa Kft."},
         {"currency_code", "HUF"}, {"exchange_rate", 1}});
    ASSERT_FALSE(invoice.empty());
    ASSERT_EQ(count(*a, "SELECT * FROM inventory"), 1u);
    const std::set<std::string> waiting = pending(*a);
    ASSERT_TRUE(waiting.count("documents/" + invoice) && waiting.count("clients/" + client) &&
                waiting.count("items/" + item));

    // A's pass uploads everything and ends with the closing download's reply.
    Json result = pass(*a);
    EXPECT_TRUE(result["zones"].is_array());
    EXPECT_TRUE(pending(*a).empty());
    auto modify = calls_to(cloud, "records/modify");
    ASSERT_EQ(modify.size(), 1u);
    // The rows, and the identity record of a zone that had none.
    EXPECT_EQ(modify[0].body["operations"].array_items().size(), waiting.size() + 1);
    EXPECT_EQ(modify[0].body["zoneID"], Json(Json::object{{"zoneName", kAccount}}));
    const Json uploaded = cloud.row(kAccount, invoice);
    EXPECT_EQ(uploaded["lines"].array_items().size(), 2u);
    EXPECT_TRUE(uploaded["recordName"].is_null() && uploaded["synced"].is_null() && uploaded["search"].is_null());
    EXPECT_EQ(uploaded["lines"][0]["id"].string_value(), invoice + "-001");
    EXPECT_TRUE(uploaded["lines"][0]["search"].is_null());
    EXPECT_FALSE(cloud.record(kAccount, "local").has_value());

    // B brings it all down and has nothing of its own to send.
    EXPECT_TRUE(pass(*b).is_null());
    for (const std::string sql :
         {"SELECT * FROM clients ORDER BY recordName", "SELECT * FROM items ORDER BY recordName",
          "SELECT * FROM documents ORDER BY recordName", "SELECT * FROM document_lines ORDER BY id",
          "SELECT * FROM inventory ORDER BY recordName",
          "SELECT * FROM settings WHERE recordName <> 'local' ORDER BY recordName"})
        EXPECT_EQ(dump(*a, sql), dump(*b, sql)) << sql;
    EXPECT_EQ(count(*b, "SELECT * FROM document_lines"), 2u);
    for (Core* core : {a.get(), b.get()}) {
        EXPECT_EQ(core->setting("local")["syncToken"].string_value(), cloud.token(kAccount));
        EXPECT_EQ(core->setting("local")["db_ver"].string_value(), "221101");
    }
    std::set<std::string> sessions;
    for (const CloudCall& call : cloud.calls()) sessions.insert(call.web_auth_token);
    EXPECT_EQ(sessions, (std::set<std::string>{"a-session", "b-session"}));

    // An edit on B and a deletion on B travel to A; the deletion goes up as a tombstone.
    set_clock([] { return kNow + 60; });
    Json::object renamed = row_of(*b, "items", item).object_items();
    renamed["name"] = "Csavar M10";
    renamed.erase("synced");
    ASSERT_TRUE(b->save_record(renamed, "items"));
    ASSERT_TRUE(store::run(*b, "DELETE FROM clients WHERE recordName = ?", {client}));
    ASSERT_TRUE(store::run(*b, "INSERT INTO deleted(recordName) VALUES (?)", {client}));
    const std::size_t before = cloud.calls().size();
    EXPECT_FALSE(pass(*b).is_null());
    modify = calls_to(cloud, "records/modify", before);
    ASSERT_EQ(modify.size(), 1u);
    EXPECT_EQ(modify[0].body["operations"].dump(),
              Json(Json::array{Json::object{{"operationType", "forceReplace"},
                                            {"record", Json::object{{"fields", Json::object{{"data", Json::object{{"value", cloud.record(kAccount, item)->fields["data"]["value"]}}}}},
                                                                    {"recordName", item},
                                                                    {"recordType", "Items"}}}},
                               Json::object{{"operationType", "forceDelete"},
                                            {"record", Json::object{{"recordName", client}}}}})
                  .dump());
    EXPECT_TRUE(cloud.record(kAccount, client)->deleted);
    EXPECT_EQ(count(*b, "SELECT * FROM deleted"), 0u);

    pass(*a);
    EXPECT_TRUE(row_of(*a, "clients", client).is_null());
    EXPECT_EQ(row_of(*a, "items", item)["name"].string_value(), "Csavar M10");
    EXPECT_EQ(row_of(*a, "documents", invoice)["clientRecordName"].string_value(), client);
    EXPECT_EQ(dump(*a, "SELECT * FROM items"), dump(*b, "SELECT * FROM items"));
}

TEST_F(Sync, ManyNewDocumentsGoUpInOnePassNewestFirst) {
    auto a = installation("a");
    std::vector<std::string> names;  // oldest first
    {
        store::Transaction batch(*a);  // one commit for all, not 450
        for (int i = 0; i < 450; ++i) {
            set_clock([i] { return kNow + i; });
            names.push_back(a->save_document({line(*a, "Tétel " + std::to_string(i), 1, 100 + i)}, false,
                                             {{"type", "DRAFT"}, {"issue_date", "2026-03-01"}}));
            ASSERT_FALSE(names.back().empty());
        }
        ASSERT_TRUE(batch.commit());
    }
    set_clock([] { return kNow + 1000; });
    const std::size_t settings = count(*a, "SELECT * FROM settings WHERE synced = 0");
    ASSERT_GT(settings, 0u);

    // One pass sends them all, 200 to an upload.
    const std::size_t first_call = cloud.calls().size();
    EXPECT_FALSE(pass(*a).is_null());
    auto modify = calls_to(cloud, "records/modify", first_call);
    std::vector<std::size_t> sizes;
    for (const CloudCall& call : modify) sizes.push_back(call.body["operations"].array_items().size());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{200, 200, 50 + settings + 1}));  // and the zone's identity
    if (!modify.empty()) {
        // The 200 newest documents first, and nothing else.
        std::set<std::string> sent, newest(names.end() - 200, names.end());
        for (const Json& op : modify[0].body["operations"].array_items()) sent.insert(op["record"]["recordName"].string_value());
        EXPECT_EQ(sent, newest);
    }
    EXPECT_TRUE(pending(*a).empty());
    std::size_t documents = 0;
    for (const auto& record : cloud.records(kAccount)) documents += record.type == "Documents";
    EXPECT_EQ(documents, 450u);

    // Nothing left: no upload, and the pass says so with null.
    const std::size_t before = cloud.calls().size();
    EXPECT_TRUE(pass(*a).is_null());
    EXPECT_TRUE(calls_to(cloud, "records/modify", before).empty());

    // Another installation takes the whole zone in pages.
    auto b = installation("b");
    pass(*b);
    EXPECT_EQ(count(*b, "SELECT * FROM documents"), 450u);
    EXPECT_EQ(count(*b, "SELECT * FROM document_lines"), 450u);
    EXPECT_EQ(dump(*a, "SELECT * FROM document_lines ORDER BY id"), dump(*b, "SELECT * FROM document_lines ORDER BY id"));
}

TEST_F(Sync, ChangesArriveInPagesAndTheTokenEndsAsTheServersLast) {
    for (int i = 0; i < 260; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "CLIENT-%03d", i);
        cloud.put_row(kAccount, "Clients", name,
                      Json::object{{"name", "Ügyfél " + std::to_string(i)}, {"currency_code", "HUF"}, {"city", "Pécs"}});
    }
    // A listing of the zone from its start: its tokens remember the change it began at.
    const std::string first_page_token = kAccount + ":200+260";
    auto b = installation("b");
    pass(*b);

    auto changes = calls_to(cloud, "changes/zone");
    ASSERT_GE(changes.size(), 2u);
    EXPECT_EQ(changes[0].request.body,
              "{\"resultsLimit\": 200, \"zones\": {\"zoneID\": {\"zoneName\": \"" + kAccount + "\"}}}");
    // The next page is asked for with the token and the zone exactly as the previous reply gave them.
    EXPECT_EQ(changes[1].body["zones"]["syncToken"].string_value(), first_page_token);
    EXPECT_EQ(changes[1].body["zones"]["zoneID"]["ownerRecordName"].string_value(), "_fake_owner");
    EXPECT_EQ(changes[1].body["resultsLimit"].int_value(), 200);
    EXPECT_EQ(count(*b, "SELECT * FROM clients"), 260u);
    EXPECT_EQ(count(*b, "SELECT * FROM clients WHERE synced = " + std::to_string(kNow)), 260u);
    Json::object stored = row_of(*b, "clients", "CLIENT-007").object_items();
    const std::string search = stored["search"].string_value();
    stored.erase("search");
    EXPECT_EQ(search, search_text(stored));
    EXPECT_EQ(search, "pecs ugyfel 7");
    EXPECT_EQ(b->setting("local")["syncToken"].string_value(), cloud.token(kAccount));

    // The next pass starts from the stored token and finds nothing new.
    const std::size_t before = cloud.calls().size();
    EXPECT_TRUE(pass(*b).is_null());
    changes = calls_to(cloud, "changes/zone", before);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].body["zones"]["syncToken"].string_value(), cloud.token(kAccount));
}

TEST_F(Sync, FaultsInTheMiddleOfAPassLoseNoLocalChange) {
    const std::vector<CloudStore::Fault> faults = {CloudStore::Fault::close_connection, CloudStore::Fault::status_500,
                                                   CloudStore::Fault::invalid_json};
    int index = 0;
    for (CloudStore::Fault fault : faults) {
        for (bool after_apply : {false, true}) {
            SCOPED_TRACE("fault " + std::to_string(static_cast<int>(fault)) + (after_apply ? " after apply" : ""));
            const std::string account = "ACCOUNT-" + std::to_string(index);
            cloud.create_zone(account);
            auto a = installation("a" + std::to_string(index++), account);
            add_client(*a, "Nagy Kft.");
            ASSERT_FALSE(a->save_document({line(*a, "Munka", 2, 5000)}, false, {{"type", "ESTIMATE"}}).empty());
            const std::set<std::string> waiting = pending(*a);

            cloud.fail("records/modify", fault, 0, after_apply);
            const std::size_t before = cloud.calls().size();
            pass(*a);
            // The closing download still ran. Nothing was confirmed; rows the cloud did take come back
            // with it as they are here, which settles them.
            auto calls = cloud.calls();
            ASSERT_GE(calls.size(), before + 3);
            EXPECT_EQ(calls[before + 1].endpoint, "records/modify");
            EXPECT_EQ(calls.back().endpoint, "changes/zone");
            EXPECT_EQ(pending(*a), after_apply ? std::set<std::string>{} : waiting);

            // Otherwise the next pass sends them all again.
            const std::size_t again = cloud.calls().size();
            EXPECT_EQ(pass(*a).is_null(), after_apply);
            auto modify = calls_to(cloud, "records/modify", again);
            ASSERT_EQ(modify.size(), after_apply ? 0u : 1u);
            // The rows, and the identity record of a zone that had none.
            if (!after_apply) {
                EXPECT_EQ(modify[0].body["operations"].array_items().size(), waiting.size() + 1);
            }
            EXPECT_TRUE(pending(*a).empty());
            EXPECT_EQ(cloud.records(account).size(), waiting.size() + 1);
            EXPECT_EQ(a->setting("local")["syncToken"].string_value(), cloud.token(account));
        }
    }
}

TEST_F(Sync, BrokenDownloadsKeepTheTokenAndTheUploadStillRuns) {
    for (int i = 0; i < 250; ++i)
        cloud.put_row(kAccount, "Items", "ITEM-" + std::to_string(i), Json::object{{"name", "Cikk " + std::to_string(i)}});
    auto b = installation("b");
    add_client(*b, "Helyi Kft.");

    // The second page breaks off: the first page stays applied with the token that follows it.
    cloud.fail("changes/zone", CloudStore::Fault::close_connection, 1);
    cloud.fail("changes/zone", CloudStore::Fault::status_500, 0);  // the closing download too
    pass(*b);
    EXPECT_EQ(count(*b, "SELECT * FROM items"), 200u);
    EXPECT_EQ(b->setting("local")["syncToken"].string_value(), kAccount + ":200+250");
    EXPECT_TRUE(pending(*b).empty());  // the upload went ahead
    EXPECT_EQ(calls_to(cloud, "records/modify").size(), 1u);

    // The next pass downloads again from the old token and finishes.
    pass(*b);
    EXPECT_EQ(count(*b, "SELECT * FROM items"), 250u);
    EXPECT_EQ(b->setting("local")["syncToken"].string_value(), cloud.token(kAccount));

    // Replies that are no change pages keep the token and store nothing: an error, an object without
    // zones, a page that claims more but brings neither records nor a new token (which would otherwise
    // loop), a page whose records are text or an object, and a page of another zone.
    const std::string kept = b->setting("local")["syncToken"].string_value();
    auto page = [](const std::string& zone, const std::string& token, bool more, Json records) {
        return Json(Json::object{{"zones", Json::array{Json::object{{"zoneID", Json::object{{"zoneName", zone}}},
                                                                    {"syncToken", token},
                                                                    {"moreComing", more},
                                                                    {"records", std::move(records)}}}}});
    };
    const Json foreign = Json::object{{"recordName", "FOREIGN-1"},
                                      {"recordType", "Items"},
                                      {"recordChangeTag", "f1"},
                                      {"fields", Json::object{{"data", Json::object{{"value", "{\"name\": \"Idegen\"}"}}}}}};
    for (const Json& reply : {Json(Json::object{{"serverErrorCode", "ZONE_BUSY"}, {"reason", "busy"}}),
                              Json(Json::object{{"status", "ok"}}), page(kAccount, kept, true, Json::array{}),
                              page(kAccount, "T-text", false, Json(foreign.dump())),
                              page(kAccount, "T-object", false, Json::object{{"0", foreign}}),
                              page("ANOTHER-ACCOUNT", "T-other", false, Json::array{foreign})}) {
        cloud.reply("changes/zone", reply);
        const std::size_t before = cloud.calls().size();
        int calls = 0;
        Json received;
        b->fetch_zone_changes(Json::object{{"zoneID", Json::object{{"zoneName", kAccount}}}, {"syncToken", kept}},
                              [&](Json r) {
                                  ++calls;
                                  received = r;
                              });
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(received, reply);
        EXPECT_EQ(cloud.calls().size(), before + 1);
        EXPECT_EQ(b->setting("local")["syncToken"].string_value(), kept) << reply.dump();
        EXPECT_TRUE(row_of(*b, "items", "FOREIGN-1").is_null()) << reply.dump();
    }
}

TEST_F(Sync, DownloadedRecordsAreRepairedAndTheRepairsGoBackUp) {
    auto put_setting = [&](const std::string& key, const Json& value) {
        cloud.put_row(kAccount, "Settings", key, Json::object{{"value", value.dump()}});
    };
    put_setting("templates", Json::object{{"INVOICE", "002"}, {"ESTIMATE", "003"}});
    put_setting("theme_colors", Json::object{{"accent", "112233 445566"}});
    put_setting("units", Json::array{Json::object{{"id", "u1"}, {"name", "Óra"}, {"digits", 2}},
                                     Json::object{{"id", "u2"}, {"name", "DARAB"}}});
    put_setting("currencies", Json::array{Json::object{{"id", "cur-huf"}, {"code", "HUF"}, {"name", "Forint"},
                                                       {"locale", "hu_HU"}},
                                          Json::object{{"id", "CUR-EUR"}, {"code", "EUR"}},
                                          Json::object{{"id", "cur-x"}, {"symbol", "?"}}});
    put_setting("payments", Json::array{Json::object{{"id", "p1"}, {"name", "Készpénz"}}});
    cloud.put_row(kAccount, "Settings", "local", Json::object{{"value", "{\"syncToken\": \"forged\"}"}});
    cloud.put_row(kAccount, "Deleted", "SOMETHING", Json::object{});
    cloud.put_row(kAccount, "Clients", "C-EUR", Json::object{{"name", "Euro Kft."}, {"currency_id", "cur-eur"}});
    cloud.put_row(kAccount, "Clients", "C-NONE", Json::object{{"name", "Más Kft."}, {"currency_id", "nope"}});
    for (const auto& [name, identifier] : std::vector<std::pair<std::string, std::string>>{
             {"C-13", "12345678-2-42"}, {"C-0", ""}, {"C-11", "12345678901"}})
        cloud.put_row(kAccount, "Clients", name,
                      Json::object{{"name", name}, {"status", "CUSTOMER"}, {"currency_code", "HUF"},
                                   {"identifier_number", identifier}});
    cloud.put_row(kAccount, "Documents", "INVOICE-2019-000001",
                  Json::object{{"type", "INVOICE"}, {"number_formatted", "SZLA/2019-1"}, {"currency_id", "HUF"},
                               {"language_id", "hu"}, {"referenceRecordName", "ESTIMATE-2019-000004"},
                               {"client_name", "Régi Ügyfél"}, {"modified", 1500000000000.0},
                               {"lines", Json::array{Json::object{{"name", "Első"}, {"quantity", 1}},
                                                     Json::object{{"name", "Második"}, {"quantity", 2}},
                                                     Json::object{{"name", "Harmadik"}, {"quantity", 3}}}}});
    const std::string tag = cloud.record(kAccount, "INVOICE-2019-000001")->change_tag;
    cloud.route("GET", "/assets/logo", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("PNG-BYTES", "image/png");
    });
    cloud.put_record(kAccount, "Assets", kAccount + "logo",
                     Json::object{{"data", Json::object{{"value", Json::object{{"downloadURL", cloud.url() + "/assets/logo"}}}}}});

    auto b = installation("b");
    pass(*b);

    const Json templates = b->setting("templates");
    EXPECT_EQ(templates, Json(Json::object{{"DRAFT", "001"}, {"ESTIMATE", "003"}, {"INVOICE", "002"}}));
    EXPECT_EQ(b->setting("theme_colors"),
              Json(Json::object{{"accent_background_color", "445566"}, {"accent_font_color", "112233"}}));
    EXPECT_EQ(b->setting("units")[0], Json(Json::object{{"digits", 2}, {"id", "u1"}, {"name", "óra"}}));
    EXPECT_EQ(b->setting("units")[1]["name"].string_value(), "darab");
    const Json currencies = b->setting("currencies");
    EXPECT_EQ(currencies[0], Json(Json::object{{"code", "HUF"}, {"id", "cur-huf"}}));
    EXPECT_EQ(currencies[2], Json(Json::object{{"code", "HUF"}, {"decimal_point", ","}, {"id", "cur-x"}, {"pattern", "3412"},
                                               {"symbol", "Ft"}, {"thousands_sep", " "}}));
    EXPECT_EQ(row_of(*b, "settings", "payments")["synced"].number_value(), kNow);

    EXPECT_EQ(row_of(*b, "clients", "C-EUR")["currency_code"].string_value(), "EUR");
    EXPECT_EQ(row_of(*b, "clients", "C-NONE")["currency_code"].string_value(), "HUF");
    EXPECT_EQ(row_of(*b, "clients", "C-13")["status"].string_value(), "DOMESTIC");
    EXPECT_EQ(row_of(*b, "clients", "C-0")["status"].string_value(), "PRIVATE_PERSON");
    EXPECT_EQ(row_of(*b, "clients", "C-11")["status"].string_value(), "CUSTOMER");

    // The older document: its fields renamed, its three lines, its search text and change tag.
    const Json document = row_of(*b, "documents", "INVOICE-2019-000001");
    EXPECT_EQ(document["reference_recordName"].string_value(), "ESTIMATE-2019-000004");
    EXPECT_EQ(document["recordChangeTag"].string_value().empty(), false);
    auto lines = store::rows(*b, "SELECT * FROM document_lines WHERE documentRecordName = 'INVOICE-2019-000001' ORDER BY id");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Json(lines[2])["id"].string_value(), "INVOICE-2019-000001-003");
    Json::object own = Json::parse(cloud.record(kAccount, "INVOICE-2019-000001")->fields["data"]["value"].string_value()).object_items();

    // Every repair went back up in the same pass, and nothing waits any more.
    EXPECT_TRUE(pending(*b).empty());
    EXPECT_EQ(cloud.row(kAccount, "templates")["value"].string_value(), templates.dump());
    EXPECT_EQ(cloud.row(kAccount, "C-EUR")["currency_code"].string_value(), "EUR");
    EXPECT_EQ(cloud.row(kAccount, "C-0")["status"].string_value(), "PRIVATE_PERSON");
    EXPECT_TRUE(own.count("reference_recordName") && !own.count("referenceRecordName") && !own.count("currency_id"));
    EXPECT_NE(cloud.record(kAccount, "INVOICE-2019-000001")->change_tag, tag);
    // The uploaded document carries its change tag and the search text stored is the folded one.
    EXPECT_EQ(own["recordChangeTag"].string_value(), tag);
    std::string search = search_text(own);
    for (const Json& l : own["lines"].array_items()) search += " " + search_text(l.object_items());
    EXPECT_EQ(row_of(*b, "documents", "INVOICE-2019-000001")["search"].string_value(), normalize_whitespace(search));

    // The row "local" is this machine's, and records of unknown types are not stored.
    EXPECT_EQ(b->setting("local")["db_ver"].string_value(), "221101");
    EXPECT_EQ(b->setting("local")["syncToken"].string_value(), cloud.token(kAccount));
    EXPECT_EQ(count(*b, "SELECT * FROM deleted"), 0u);
    EXPECT_EQ(read_file(dir.path() + "b/" + kAccount + "logo"), "PNG-BYTES");

    // A deletion in the zone removes the row and its lines.
    cloud.delete_record(kAccount, "INVOICE-2019-000001");
    cloud.delete_record(kAccount, "payments");
    pass(*b);
    EXPECT_TRUE(row_of(*b, "documents", "INVOICE-2019-000001").is_null());
    EXPECT_EQ(count(*b, "SELECT * FROM document_lines"), 0u);
    EXPECT_FALSE(row_of(*b, "settings", "payments").is_null());  // settings are never deleted
}

TEST_F(Sync, OtherInterfacesRepairWithTheirOwnDefaults) {
    cloud.put_row(kAccount, "Settings", "units",
                  Json::object{{"value", Json(Json::array{Json::object{{"name", "Óra"}}}).dump()}});
    cloud.put_row(kAccount, "Settings", "currencies",
                  Json::object{{"value", Json(Json::array{Json::object{{"digits_line", 2}}}).dump()}});
    cloud.put_row(kAccount, "Clients", "C-0",
                  Json::object{{"name", "Customer"}, {"status", "CUSTOMER"}, {"currency_code", "USD"}});
    auto b = installation("en", kAccount, "en");
    pass(*b);
    EXPECT_EQ(b->setting("units")[0]["name"].string_value(), "Óra");
    EXPECT_EQ(b->setting("currencies")[0],
              Json(Json::object{{"code", "USD"}, {"decimal_point", "."}, {"digits_line", 2}, {"pattern", "2034"},
                                {"symbol", "$"}, {"thousands_sep", ","}}));
    EXPECT_EQ(row_of(*b, "clients", "C-0")["status"].string_value(), "CUSTOMER");
}

TEST_F(Sync, ConflictsCloudWinsExceptForANewerUnsentDocument) {
    auto a = installation("a");
    auto b = installation("b");
    const std::string client = add_client(*a, "Első Kft.");
    const std::string estimate = a->save_document({line(*a, "Terv", 1, 100)}, false, {{"type", "ESTIMATE"}});
    pass(*a);
    pass(*b);

    // Both change the client; A's change reaches the cloud first and wins on B.
    Json::object mine = row_of(*b, "clients", client).object_items();
    mine["city"] = "Győr";
    mine.erase("synced");
    b->save_record(mine, "clients");
    Json::object theirs = row_of(*a, "clients", client).object_items();
    theirs["city"] = "Szeged";
    theirs.erase("synced");
    a->save_record(theirs, "clients");

    // Both change the document; B's later change is kept and replaces the cloud's copy.
    set_clock([] { return kNow + 10; });
    Json::object older = row_of(*a, "documents", estimate).object_items();
    ASSERT_FALSE(a->save_document({line(*a, "Terv A", 1, 100)}, false, older).empty());
    pass(*a);
    const std::string tag = cloud.record(kAccount, estimate)->change_tag;
    set_clock([] { return kNow + 20; });
    Json::object newer = row_of(*b, "documents", estimate).object_items();
    ASSERT_FALSE(b->save_document({line(*b, "Terv B", 1, 100)}, false, newer).empty());

    const std::size_t before = cloud.calls().size();
    pass(*b);
    EXPECT_EQ(row_of(*b, "clients", client)["city"].string_value(), "Szeged");
    EXPECT_EQ(row_of(*b, "clients", client)["synced"].number_value(), kNow + 20);
    auto modify = calls_to(cloud, "records/modify", before);
    ASSERT_EQ(modify.size(), 1u);
    ASSERT_EQ(modify[0].body["operations"].array_items().size(), 1u);  // only the document
    const Json sent = Json::parse(modify[0].body["operations"][0]["record"]["fields"]["data"]["value"].string_value());
    EXPECT_EQ(sent["recordChangeTag"].string_value(), tag);
    EXPECT_EQ(sent["lines"][0]["name"].string_value(), "Terv B");
    EXPECT_EQ(cloud.row(kAccount, estimate)["lines"][0]["name"].string_value(), "Terv B");

    pass(*a);
    EXPECT_EQ(store::rows(*a, "SELECT name FROM document_lines WHERE documentRecordName = ?", {estimate}).front()["name"],
              Json("Terv B"));

    // An unsent local document older than the cloud's copy gives way.
    set_clock([] { return kNow + 30; });
    ASSERT_FALSE(b->save_document({line(*b, "Régebbi", 1, 100)}, false, row_of(*b, "documents", estimate).object_items()).empty());
    set_clock([] { return kNow + 40; });
    ASSERT_FALSE(a->save_document({line(*a, "Újabb", 1, 100)}, false, row_of(*a, "documents", estimate).object_items()).empty());
    pass(*a);
    pass(*b);
    EXPECT_EQ(store::rows(*b, "SELECT name FROM document_lines WHERE documentRecordName = ?", {estimate}).front()["name"],
              Json("Újabb"));
    EXPECT_TRUE(pending(*b).empty());
}

// Two installations number documents alike while one cannot reach the cloud: both documents stay, in
// both stores and the cloud. The one made offline takes the next number (a reported invoice keeps its
// number under another record name), and its maker is told once.
TEST_F(Sync, DocumentsNumberedAlikeApartAreBothKept) {
    auto a = installation("a");
    auto b = installation("b");
    auto make = [&](Core& core, const std::string& type, const std::string& text, std::time_t at, const char* nav = "") {
        set_clock([at] { return at; });
        return core.save_document({line(core, text, 1, 100)}, false,
                                  {{"type", type}, {"number", core.next_number(type)}, {"issue_date", "2026-03-01"},
                                   {"number_formatted", core.next_number_formatted(type)}, {"nav_transaction_id", nav}});
    };
    // "recordName number_formatted first line" of each document, here and in the cloud.
    auto documents = [](Core& core) {
        std::set<std::string> found;
        for (const Json::object& row : store::rows(core, "SELECT d.recordName, d.number_formatted, l.name FROM documents d "
                                                         "JOIN document_lines l ON l.documentRecordName = d.recordName")) {
            const Json document(row);
            found.insert(document["recordName"].string_value() + " " + document["number_formatted"].string_value() + " " +
                         document["name"].string_value());
        }
        return found;
    };
    auto in_cloud = [&] {
        std::set<std::string> found;
        for (const CloudStore::Record& record : cloud.records(kAccount)) {
            const Json document = cloud.row(kAccount, record.name);
            if (record.type == "Documents")
                found.insert(record.name + " " + document["number_formatted"].string_value() + " " +
                             document["lines"][0]["name"].string_value());
        }
        return found;
    };

    const std::string estimate = make(*a, "ESTIMATE", "A terve", kNow + 10);
    const std::string invoice = make(*a, "INVOICE", "A számlája", kNow + 10, "TX-A");
    ASSERT_EQ(make(*b, "ESTIMATE", "B terve", kNow + 20), estimate);
    ASSERT_EQ(make(*b, "INVOICE", "B számlája", kNow + 20, "TX-B"), invoice);
    const Json offline = row_of(*b, "documents", estimate);
    const std::string invoice_number = row_of(*b, "documents", invoice)["number_formatted"].string_value();
    // A's uploads land between B's download and B's upload: B's creates find the names taken in the
    // cloud, which words its refusal of the creates as a conflict.
    cloud.answer_exists_as_conflict();
    cloud.hold("records/modify");
    std::thread b_pass([&] { pass(*b); });
    ASSERT_TRUE(cloud.wait_held(std::chrono::seconds(20)));
    pass(*a);
    cloud.release();
    b_pass.join();
    EXPECT_FALSE(calls_to(cloud, "records/lookup").empty());
    const Json moved(store::rows(*b, "SELECT * FROM documents WHERE type = 'ESTIMATE' AND recordName <> ?", {estimate}).at(0));
    EXPECT_EQ(moved["number"].int_value(), offline["number"].int_value() + 1);
    // A page still holding B's estimate under its old name saves it where it went.
    EXPECT_EQ(b->save_document({line(*b, "B terve", 1, 100)}, false, offline.object_items()), moved["recordName"]);
    pass(*b);
    pass(*a);
    const std::set<std::string> both = {
        estimate + " " + offline["number_formatted"].string_value() + " A terve",
        moved["recordName"].string_value() + " " + moved["number_formatted"].string_value() + " B terve",
        invoice + " " + invoice_number + " A számlája", invoice + "-TX-B " + invoice_number + " B számlája"};
    EXPECT_EQ(documents(*a), both);
    EXPECT_EQ(documents(*b), both);
    EXPECT_EQ(in_cloud(), both);
    EXPECT_EQ(b->take_renumbered_documents(),
              Json(Json::array{Json::object{{"type", "ESTIMATE"}, {"created", offline["created"]},
                                            {"old", offline["number_formatted"]}, {"new", moved["number_formatted"]}}}));
    EXPECT_EQ(b->take_renumbered_documents(), Json(Json::array{}));
    EXPECT_TRUE(pending(*a).empty() && pending(*b).empty());

    // So also when B could not reach the cloud and its next download works, and for two estimates
    // of one number made in the same second; cloud records named like this installation's own
    // settings rows change nothing here.
    cloud.set_unreachable("b-session");
    make(*a, "DELIVERY_NOTE", "A szállítója", kNow + 30);
    const std::string same_second = make(*a, "ESTIMATE", "A második terve", kNow + 35);
    pass(*a);
    make(*b, "DELIVERY_NOTE", "B szállítója", kNow + 40);
    ASSERT_EQ(make(*b, "ESTIMATE", "B második terve", kNow + 35), same_second);
    pass(*b);
    cloud.set_unreachable("b-session", false);
    for (const std::string_view name : store::kLocalSettings)
        cloud.put_row(kAccount, "Settings", std::string(name), Json::object{{"value", "[\"FOREIGN\"]"}});
    pass(*b);
    pass(*a);
    std::set<std::string> renumbered_types;
    const Json renumbered = b->take_renumbered_documents();
    for (const Json& entry : renumbered.array_items())
        renumbered_types.insert(entry["type"].string_value());
    EXPECT_EQ(renumbered_types, (std::set<std::string>{"DELIVERY_NOTE", "ESTIMATE"}));
    EXPECT_EQ(count(*b, "SELECT * FROM settings WHERE value LIKE '%FOREIGN%'"), 0u);
    EXPECT_EQ(b->setting("local")["syncToken"].string_value(), cloud.token(kAccount));
    EXPECT_EQ(documents(*a), documents(*b));
    EXPECT_EQ(documents(*b), in_cloud());
    EXPECT_EQ(documents(*b).size(), 8u);
    EXPECT_EQ(count(*b, "SELECT 1 FROM document_lines WHERE name = 'B második terve' AND documentRecordName <> '" +
                            same_second + "'"),
              1u);
}

// Two copies of one reported invoice, stored apart under two names and each taking its stock where
// its store saw it, become one on both installations with one take from the layers; each piece of
// the work on either copy is kept by its own time: a paid mark on the copy that goes, made on the
// other installation after the merge deleted it there, and a note edited later on the kept copy,
// whose change after the merge brings the copy's deletion down before it.
TEST_F(Sync, CopiesOfAReportedInvoiceKeepTheLaterWorkAndOneTake) {
    auto a = installation("a");
    auto b = installation("b");
    auto at = [](std::time_t seconds) { set_clock([seconds] { return kNow + seconds; }); };
    auto add_layer = [](Core& core) {
        core.post_inventory({Json::object{{"itemRecordName", "ITEM-M"}, {"item_name", "Raktári"}, {"quantity", 5},
                             {"price", 10}, {"item_type", "INVENTORY_TRACKING"}}},
                            Json::object{{"documentRecordName", ""}, {"reason", "ADD"}});
    };
    auto store_copy = [&](Core& core, const char* name) {
        Json::object sale = line(core, "Raktári", 1, 100).object_items();
        sale["itemRecordName"] = "ITEM-M";
        sale["item_type"] = "INVENTORY_TRACKING";
        Json::object copy{{"type", "INVOICE"}, {"number", 7}, {"issue_date", "2026-03-01"},
                          {"number_formatted", "SZ/2026-0007"}, {"nav_transaction_id", "TX-7"}};
        if (name) copy["recordName"] = name;
        return core.save_document({sale}, false, copy);
    };
    ASSERT_TRUE(a->save_record({{"recordName", "ITEM-M"}, {"name", "Raktári"}, {"type", "INVENTORY_TRACKING"}}, "items"));
    add_layer(*a);
    pass(*a);
    pass(*b);
    // B's copy under a name of an earlier version takes the only layer it knows; A's takes by LIFO
    // from a layer it added since.
    at(10);
    const std::string other = store_copy(*b, "INVOICE-2026-000003");
    pass(*b);
    at(20);
    add_layer(*a);
    at(30);
    const std::string kept = store_copy(*a, nullptr);
    ASSERT_EQ(kept, "INVOICE-2026-000007");
    pass(*a);
    ASSERT_TRUE(cloud.record(kAccount, other)->deleted);
    // B marks its copy paid before it hears of the merge; A edits the kept copy's note later.
    at(40);
    ASSERT_TRUE(store::mark_paid(*b, other, 1));
    at(50);
    Json::object edited = row_of(*a, "documents", kept).object_items();
    edited["header_note"] = "Átutalással fizetve";
    const auto lines = store::rows(*a, "SELECT * FROM document_lines WHERE documentRecordName = ?", {kept});
    ASSERT_EQ(a->save_document({lines.begin(), lines.end()}, false, edited), kept);
    pass(*a);
    at(60);
    pass(*b);
    pass(*a);

    const std::string invoice_sql = "SELECT recordName, paid, header_note, modified FROM documents WHERE nav_transaction_id = 'TX-7'";
    const std::string stock_sql = "SELECT recordName, documentRecordName, quantity, remaining_fifo, remaining_lifo, "
                                  "remaining_history_fifo, remaining_history_lifo FROM inventory ORDER BY recordName";
    EXPECT_EQ(dump(*a, invoice_sql),
              Json(Json::array{Json::object{{"recordName", kept}, {"paid", 1}, {"header_note", "Átutalással fizetve"},
                                            {"modified", static_cast<double>(kNow + 50) * 1000}}})
                  .dump());
    EXPECT_EQ(dump(*b, invoice_sql), dump(*a, invoice_sql));
    EXPECT_EQ(dump(*b, stock_sql), dump(*a, stock_sql));
    for (Core* core : {a.get(), b.get()}) {
        EXPECT_EQ(dump(*core, "SELECT SUM(quantity) AS stock, SUM(remaining_fifo) AS fifo, SUM(remaining_lifo) AS lifo, "
                              "COUNT(*) AS rows FROM inventory"),
                  Json(Json::array{Json::object{{"stock", 9}, {"fifo", 9}, {"lifo", 9}, {"rows", 3}}}).dump());
        EXPECT_EQ(count(*core, "SELECT 1 FROM inventory WHERE instr(remaining_history_lifo, 'INVOICE') > 0"), 1u);
        EXPECT_TRUE(pending(*core).empty());
    }
    EXPECT_EQ(cloud.row(kAccount, kept)["paid"].number_value(), 1);
    EXPECT_EQ(cloud.row(kAccount, kept)["header_note"], "Átutalással fizetve");

    // In one second B's status query hears DONE for an invoice (as it stores it) and A marks the
    // invoice paid; either goes up first. Both stay everywhere, and no save of a page opened before
    // the status came takes it away.
    std::time_t second = 70;
    for (const bool status_first : {true, false}) {
        at(second);
        const std::string invoice = a->save_document({line(*a, "Szolgáltatás", 1, 500)}, false,
                                                     {{"type", "INVOICE"}, {"issue_date", "2026-03-01"},
                                                      {"nav_transaction_id", status_first ? "TX-8" : "TX-9"}});
        pass(*a);
        pass(*b);
        const Json::object opened = row_of(*b, "documents", invoice).object_items();
        at(second + 10);
        ASSERT_TRUE(store::give_report_status(*b, invoice, "DONE"));
        ASSERT_TRUE(store::mark_paid(*a, invoice, 1));
        for (Core* core : status_first ? std::vector<Core*>{b.get(), a.get(), b.get()}
                                       : std::vector<Core*>{a.get(), b.get(), a.get()})
            pass(*core);
        for (Core* core : {a.get(), b.get()}) {
            EXPECT_EQ(row_of(*core, "documents", invoice)["nav_status"], "DONE") << status_first;
            EXPECT_EQ(row_of(*core, "documents", invoice)["paid"].number_value(), 1) << status_first;
            EXPECT_TRUE(pending(*core).empty());
        }
        EXPECT_EQ(cloud.row(kAccount, invoice)["nav_status"], "DONE") << status_first;
        EXPECT_EQ(cloud.row(kAccount, invoice)["paid"].number_value(), 1) << status_first;
        Json::object edited = opened;
        edited["header_note"] = "Késői megjegyzés";
        const auto invoice_lines = store::rows(*b, "SELECT * FROM document_lines WHERE documentRecordName = ?", {invoice});
        ASSERT_EQ(b->save_document({invoice_lines.begin(), invoice_lines.end()}, false, edited), invoice);
        EXPECT_EQ(row_of(*b, "documents", invoice)["nav_status"], "DONE");
        pass(*b);
        second += 100;
    }
}

TEST_F(Sync, UploadResultMarksOnlyWhatTheCloudConfirmedUnchanged) {
    auto a = installation("a");
    const std::string kept = add_client(*a, "Elfogadott Kft.");
    const std::string refused = add_client(*a, "Visszautasított Kft.");
    cloud.refuse_record(refused);
    // A tombstone whose name a live document carries again is dropped without a deletion.
    const std::string draft = a->save_document({}, false, {{"type", "DRAFT"}});
    ASSERT_TRUE(store::run(*a, "INSERT INTO deleted(recordName) VALUES (?)", {draft}));
    pass(*a);
    EXPECT_GT(row_of(*a, "clients", kept)["synced"].number_value(), 0);
    EXPECT_EQ(row_of(*a, "clients", refused)["synced"].number_value(), 0);
    EXPECT_EQ(count(*a, "SELECT * FROM deleted"), 0u);
    for (const Json& op : calls_to(cloud, "records/modify")[0].body["operations"].array_items())
        if (op["record"]["recordType"] != Json("ZoneIdentity")) {
            EXPECT_EQ(op["operationType"].string_value(), "forceReplace");
        }

    // A client saved again while its upload is under way stays unsynced, keeps its new content
    // through the closing download, and goes up in the next pass.
    cloud.hold("records/modify");
    Json::object edited = row_of(*a, "clients", kept).object_items();
    edited["city"] = "Szolnok";
    edited["synced"] = 0;
    a->save_record(edited, "clients");  // pending again, to be uploaded
    std::thread worker([&] { pass(*a); });
    ASSERT_TRUE(cloud.wait_held(std::chrono::seconds(20)));
    edited["city"] = "Eger";
    ASSERT_TRUE(a->save_record(edited, "clients"));
    cloud.release();
    worker.join();
    EXPECT_EQ(cloud.row(kAccount, kept)["city"].string_value(), "Szolnok");
    EXPECT_EQ(row_of(*a, "clients", kept)["city"].string_value(), "Eger");
    EXPECT_EQ(row_of(*a, "clients", kept)["synced"].number_value(), 0);
    pass(*a);
    EXPECT_EQ(cloud.row(kAccount, kept)["city"].string_value(), "Eger");
    EXPECT_GT(row_of(*a, "clients", kept)["synced"].number_value(), 0);
}

TEST_F(Sync, OnePassRunsAtATime) {
    auto a = installation("a");
    add_client(*a, "Első Kft.");
    cloud.hold("changes/zone");
    std::thread first([&] { pass(*a); });
    ASSERT_TRUE(cloud.wait_held(std::chrono::seconds(20)));
    const std::size_t held_at = cloud.calls().size();
    std::thread second([&] { pass(*a); });
    // While the first pass waits for the cloud, the second sends nothing.
    EXPECT_FALSE(cloud.wait_for_requests(held_at + 1, std::chrono::milliseconds(300)));
    cloud.release();
    first.join();
    second.join();
    std::vector<std::string> endpoints;
    for (const CloudCall& call : cloud.calls()) endpoints.push_back(call.endpoint);
    EXPECT_EQ(endpoints, (std::vector<std::string>{"changes/zone", "records/modify", "changes/zone", "changes/zone"}));
}

// The loopback cloud's create and delete answer as the real one does.
TEST_F(Sync, TheCloudRefusesACreateOverALiveRecordAndADeleteOfAStaleTag) {
    auto a = installation("a");
    // The reply's error code, else the record's change tag.
    auto modify = [&](const std::string& type, const std::string& tag = "") {
        Json reply;
        const Json::object record{{"recordName", "R"}, {"recordType", "Settings"}, {"recordChangeTag", tag},
                                  {"fields", Json::object{{"data", Json::object{{"value", "{}"}}}}}};
        a->cloudkit_request("records/modify",
                            Json::object{{"operations", Json::object{{"operationType", type}, {"record", record}}},
                                         {"zoneID", Json::object{{"zoneName", kAccount}}}},
                            [&](Json result) { reply = result["records"][0]; });
        return reply["serverErrorCode"].is_string() ? reply["serverErrorCode"].string_value()
                                                    : reply["recordChangeTag"].string_value();
    };
    const std::string made = modify("create");
    EXPECT_EQ(made, cloud.record(kAccount, "R")->change_tag);
    EXPECT_EQ(modify("create"), "EXISTS");
    EXPECT_EQ(modify("delete", "old"), "CONFLICT");
    EXPECT_EQ(modify("delete", made), "");
    EXPECT_TRUE(cloud.record(kAccount, "R")->deleted);
    EXPECT_EQ(modify("delete", made), "NOT_FOUND");
    EXPECT_NE(modify("create"), "EXISTS");
}

TEST_F(Sync, TheSampleCompanyIsNeverSynced) {
    auto demo = installation("demo", "DEMO");
    add_client(*demo, "Minta Kft.");
    EXPECT_TRUE(pass(*demo).is_null());
    EXPECT_TRUE(cloud.calls().empty());
    demo->upload_unsynced(true, [](Json) {});
    EXPECT_TRUE(cloud.calls().empty());
    EXPECT_EQ(pending(*demo).size(), count(*demo, "SELECT * FROM settings WHERE synced = 0") + 1);
}

// A deletion as the program's commands make it: the tombstone first, then the row (and its lines).
void delete_row(Core& core, const std::string& table, const std::string& name) {
    ASSERT_TRUE(store::add_tombstone(core, name));
    ASSERT_TRUE(store::run(core, "DELETE FROM " + table + " WHERE recordName = ?", {name}));
    if (table == "documents") {
        ASSERT_TRUE(store::run(core, "DELETE FROM document_lines WHERE documentRecordName = ?", {name}));
    }
}

void set_city(Core& core, const std::string& client, const std::string& city) {
    Json::object row = row_of(core, "clients", client).object_items();
    ASSERT_FALSE(row.empty());
    row["city"] = city;
    row["synced"] = 0;
    ASSERT_TRUE(core.save_record(row, "clients"));
}

TEST_F(Sync, TheCloudsCopyOfOwnUploadNeverUndoesALaterLocalChange) {
    auto a = installation("a");
    auto b = installation("b");
    const std::string client = add_client(*a, "Visszhang Kft.", "Vác");
    const std::string item = new_record_name();
    ASSERT_TRUE(a->save_record({{"recordName", item}, {"name", "Tipli"}, {"price_type", "GROSS"}}, "items"));
    pass(*a);
    pass(*b);

    // The upload reaches the cloud but the closing download fails: the stored token stays before it.
    set_city(*a, client, "Vác 1");
    const std::string estimate = a->save_document({line(*a, "Terv", 1, 100)}, false, {{"type", "ESTIMATE"}});
    ASSERT_FALSE(estimate.empty());
    cloud.fail("changes/zone", CloudStore::Fault::status_500, 1);
    pass(*a);
    EXPECT_EQ(cloud.row(kAccount, client)["city"].string_value(), "Vác 1");
    ASSERT_FALSE(cloud.row(kAccount, estimate).is_null());

    // Meanwhile the user edits the client again and deletes the document and the item.
    set_city(*a, client, "Vác 2");
    delete_row(*a, "documents", estimate);
    delete_row(*a, "items", item);
    const std::size_t before = cloud.calls().size();
    pass(*a);
    EXPECT_EQ(row_of(*a, "clients", client)["city"].string_value(), "Vác 2");
    EXPECT_EQ(cloud.row(kAccount, client)["city"].string_value(), "Vác 2");
    EXPECT_TRUE(row_of(*a, "documents", estimate).is_null());
    EXPECT_EQ(count(*a, "SELECT * FROM document_lines WHERE documentRecordName = '" + estimate + "'"), 0u);
    EXPECT_TRUE(row_of(*a, "items", item).is_null());
    EXPECT_TRUE(cloud.record(kAccount, estimate)->deleted);
    EXPECT_TRUE(cloud.record(kAccount, item)->deleted);
    EXPECT_TRUE(pending(*a).empty());
    // Each record went up once: the client's new city and the two deletions.
    auto modify = calls_to(cloud, "records/modify", before);
    ASSERT_EQ(modify.size(), 1u);
    std::multiset<std::string> sent;
    for (const Json& op : modify[0].body["operations"].array_items())
        sent.insert(op["operationType"].string_value() + " " + op["record"]["recordName"].string_value());
    EXPECT_EQ(sent, (std::multiset<std::string>{"forceReplace " + client, "delete " + estimate,
                                                "forceDelete " + item}));

    // The reply of an upload is lost and the closing download fails too; the client is edited again
    // and the program restarts before the next pass.
    set_city(*a, client, "Vác 3");
    cloud.fail("records/modify", CloudStore::Fault::close_connection, 0, true);
    cloud.fail("changes/zone", CloudStore::Fault::close_connection, 1);
    pass(*a);
    EXPECT_EQ(cloud.row(kAccount, client)["city"].string_value(), "Vác 3");
    EXPECT_EQ(row_of(*a, "clients", client)["synced"].number_value(), 0);
    set_city(*a, client, "Vác 4");
    a.reset();
    a = installation("a");
    pass(*a);
    EXPECT_EQ(row_of(*a, "clients", client)["city"].string_value(), "Vác 4");
    EXPECT_EQ(cloud.row(kAccount, client)["city"].string_value(), "Vác 4");
    EXPECT_TRUE(pending(*a).empty());

    // The other installation ends with the same rows.
    pass(*b);
    for (const std::string table : {"clients", "items", "documents", "document_lines"})
        EXPECT_EQ(dump(*a, "SELECT * FROM " + table + " ORDER BY 1"), dump(*b, "SELECT * FROM " + table + " ORDER BY 1"))
            << table;
    EXPECT_EQ(row_of(*b, "clients", client)["city"].string_value(), "Vác 4");
}

TEST_F(Sync, AnUploadOfUnknownFateIsNotSentAgainOverTheOtherInstallationsEdit) {
    auto a = installation("a");
    auto b = installation("b");
    const std::string client = add_client(*b, "Kétes Kft.", "Eger");
    pass(*b);
    pass(*a);

    // B's upload reaches the cloud, its reply is lost, and the closing download fails.
    set_city(*b, client, "Eger B");
    cloud.fail("records/modify", CloudStore::Fault::drop, 0, true);
    cloud.fail("changes/zone", CloudStore::Fault::status_500, 1);
    pass(*b);
    EXPECT_EQ(row_of(*b, "clients", client)["synced"].number_value(), 0);

    // A takes B's change and edits it.
    pass(*a);
    ASSERT_EQ(row_of(*a, "clients", client)["city"].string_value(), "Eger B");
    set_city(*a, client, "Eger A");

    // B's next download fails: B cannot tell whether the cloud has its row, and does not send it again.
    cloud.fail("changes/zone", CloudStore::Fault::status_500, 0);
    std::size_t before = cloud.calls().size();
    EXPECT_TRUE(pass(*b).is_null());
    EXPECT_TRUE(calls_to(cloud, "records/modify", before).empty());
    // A completed download shows the cloud has it.
    before = cloud.calls().size();
    EXPECT_TRUE(pass(*b).is_null());
    EXPECT_TRUE(calls_to(cloud, "records/modify", before).empty());
    EXPECT_TRUE(pending(*b).empty());

    // A's edit, made on B's change, stands everywhere.
    pass(*a);
    pass(*b);
    for (Core* core : {a.get(), b.get()}) EXPECT_EQ(row_of(*core, "clients", client)["city"].string_value(), "Eger A");
    EXPECT_EQ(cloud.row(kAccount, client)["city"].string_value(), "Eger A");

    // Nor is a deletion of unknown fate sent again.
    delete_row(*b, "clients", client);
    cloud.fail("records/modify", CloudStore::Fault::drop, 0, true);
    cloud.fail("changes/zone", CloudStore::Fault::drop, 1);
    pass(*b);
    ASSERT_EQ(count(*b, "SELECT * FROM deleted"), 1u);
    cloud.fail("changes/zone", CloudStore::Fault::drop, 0);
    before = cloud.calls().size();
    pass(*b);
    EXPECT_TRUE(calls_to(cloud, "records/modify", before).empty());
    pass(*b);
    EXPECT_EQ(count(*b, "SELECT * FROM deleted"), 0u);
    EXPECT_TRUE(cloud.record(kAccount, client)->deleted);
}

TEST_F(Sync, ARecordDownloadedBeforeABrokenPageIsNotDownloadedOverALaterEdit) {
    for (int i = 0; i < 250; ++i)
        cloud.put_row(kAccount, "Clients", "CLIENT-" + std::to_string(1000 + i),
                      Json::object{{"name", "Ügyfél " + std::to_string(i)}, {"currency_code", "HUF"}, {"city", "Pécs"}});
    auto b = installation("b");
    cloud.fail("changes/zone", CloudStore::Fault::status_500, 1);
    cloud.fail("changes/zone", CloudStore::Fault::status_500, 0);  // the closing download too
    pass(*b);
    ASSERT_EQ(count(*b, "SELECT * FROM clients"), 200u);

    // The first page's clients are edited before the download is finished. The uploads land without a
    // reply and the download fails again; another installation then changes one of them: the listing's
    // later pages bring that change, which stands over the edit sent before it.
    set_city(*b, "CLIENT-1000", "Szeged");
    set_city(*b, "CLIENT-1001", "Kecskemét");
    cloud.fail("changes/zone", CloudStore::Fault::status_500);
    cloud.fail("records/modify", CloudStore::Fault::drop, 0, true);
    cloud.fail("changes/zone", CloudStore::Fault::status_500);
    pass(*b);
    auto a = installation("a");
    pass(*a);
    set_city(*a, "CLIENT-1001", "Debrecen");
    pass(*a);
    pass(*b);
    pass(*a);
    EXPECT_EQ(count(*b, "SELECT * FROM clients"), 250u);
    EXPECT_EQ(row_of(*b, "clients", "CLIENT-1000")["city"].string_value(), "Szeged");
    EXPECT_EQ(cloud.row(kAccount, "CLIENT-1000")["city"].string_value(), "Szeged");
    for (Core* core : {a.get(), b.get()}) EXPECT_EQ(row_of(*core, "clients", "CLIENT-1001")["city"].string_value(), "Debrecen");
    EXPECT_EQ(cloud.row(kAccount, "CLIENT-1001")["city"].string_value(), "Debrecen");
    EXPECT_EQ(b->setting("local")["syncToken"].string_value(), cloud.token(kAccount));
}

TEST_F(Sync, APageThatRepeatsTheTokenSentEndsTheDownloadAsFailed) {
    cloud.put_row(kAccount, "Items", "ITEM-1", Json::object{{"name", "Cikk"}});
    auto b = installation("b");
    pass(*b);
    const std::string kept = b->setting("local")["syncToken"].string_value();
    ASSERT_FALSE(kept.empty());

    // A full page that claims more and names the same token again, answered again and again.
    Json::array records;
    for (int i = 0; i < 200; ++i)
        records.push_back(Json::object{{"recordName", "LOOP-" + std::to_string(i)},
                                       {"recordType", "Items"},
                                       {"recordChangeTag", "x"},
                                       {"fields", Json::object{{"data", Json::object{{"value", "{\"name\": \"Hurok\"}"}}}}}});
    const Json endless(Json::object{{"zones", Json::array{Json::object{{"zoneID", Json::object{{"zoneName", kAccount}}},
                                                                       {"syncToken", kept},
                                                                       {"moreComing", true},
                                                                       {"records", records}}}}});
    for (int i = 0; i < 30; ++i) cloud.reply("changes/zone", endless);
    const std::size_t before = cloud.calls().size();
    EXPECT_TRUE(pass(*b).is_null());  // nothing to upload
    EXPECT_EQ(calls_to(cloud, "changes/zone", before).size(), 1u);
    EXPECT_EQ(b->setting("local")["syncToken"].string_value(), kept);
    EXPECT_EQ(count(*b, "SELECT * FROM items WHERE recordName LIKE 'LOOP-%'"), 0u);
}

// A token the cloud no longer knows (expired, as after a data folder restored from an old backup) is
// dropped: the zone comes again from its start, merged with what is pending here, and the documents go
// up again on both installations.
TEST_F(Sync, ARefusedTokenIsDroppedAndTheZoneDownloadedFromItsStart) {
    auto a = installation("a");
    auto b = installation("b");
    auto make = [&](Core& core, const std::string& text) {
        return core.save_document({line(core, text, 1, 100)}, false, {{"type", "ESTIMATE"}, {"issue_date", "2026-03-01"}});
    };
    const std::string client = add_client(*a, "Lejárt Kft.");
    const std::string first = make(*a, "A terve");
    pass(*a);
    pass(*b);

    cloud.forget_tokens(kAccount);
    set_clock([] { return kNow + 60; });
    set_city(*b, client, "Győr");
    const std::string second = make(*b, "B terve");
    ASSERT_TRUE(store::run(*a, "UPDATE documents SET paid = 1, synced = 0 WHERE recordName = ?", {first}));
    for (Core* core : {b.get(), a.get(), b.get()}) {
        const std::size_t before = cloud.calls().size();
        pass(*core);
        EXPECT_EQ(core->setting("local")["syncToken"].string_value(), cloud.token(kAccount));
        EXPECT_TRUE(pending(*core).empty());
        EXPECT_GE(calls_to(cloud, "changes/zone", before).size(), 1u);
    }
    EXPECT_EQ(cloud.row(kAccount, client)["city"].string_value(), "Győr");
    EXPECT_EQ(cloud.row(kAccount, first)["paid"].number_value(), 1);
    EXPECT_FALSE(cloud.row(kAccount, second).is_null());
    for (const std::string sql : {"SELECT * FROM clients", "SELECT * FROM documents ORDER BY recordName",
                                  "SELECT * FROM document_lines ORDER BY id"})
        EXPECT_EQ(dump(*a, sql), dump(*b, sql)) << sql;
    EXPECT_EQ(count(*a, "SELECT * FROM documents"), 2u);
    EXPECT_EQ(count(*a, "SELECT * FROM document_lines"), 2u);

    // A download from the start cut short after its first batch goes on keeping the row pending here,
    // which the cloud holds as it was when this installation last had it.
    for (int i = 0; i < 2000; ++i)
        cloud.put_row(kAccount, "Items", "ITEM-" + std::to_string(i), Json::object{{"name", "Cikk"}});
    cloud.put_row(kAccount, "Clients", client, cloud.row(kAccount, client));
    pass(*b);
    set_city(*b, client, "Pécs");
    cloud.forget_tokens(kAccount);
    cloud.fail("changes/zone", CloudStore::Fault::status_500, 11);  // the page after the first batch
    cloud.fail("records/modify", CloudStore::Fault::drop);
    pass(*b);
    EXPECT_EQ(row_of(*b, "clients", client)["city"].string_value(), "Pécs");
    pass(*b);
    EXPECT_EQ(cloud.row(kAccount, client)["city"].string_value(), "Pécs");

    // Deletions made in the gap of a refused token: the listing from the zone's start shows no deletion,
    // but the rows it did not bring are gone here too, the user told; a row changed here and not yet
    // uploaded goes up as new. An edit elsewhere brings nothing back.
    pass(*a);
    pass(*b);
    set_clock([] { return kNow + 120; });
    const std::string third = make(*b, "B második terve");
    pass(*b);
    pass(*a);
    delete_row(*a, "documents", second);
    delete_row(*a, "documents", third);
    delete_row(*a, "clients", client);
    pass(*a);
    cloud.forget_tokens(kAccount);
    set_city(*b, client, "Sopron");
    b->take_sync_notices();
    pass(*b);
    EXPECT_EQ(b->take_sync_notices().removed, 2);
    EXPECT_EQ(b->take_sync_notices().removed, 0);
    set_clock([] { return kNow + 180; });
    ASSERT_TRUE(store::run(*a, "UPDATE documents SET paid = 0, synced = 0 WHERE recordName = ?", {first}));
    pass(*a);
    pass(*b);
    for (Core* core : {a.get(), b.get()}) {
        EXPECT_EQ(count(*core, "SELECT * FROM documents"), 1u);
        EXPECT_EQ(row_of(*core, "clients", client)["city"].string_value(), "Sopron");
        EXPECT_TRUE(pending(*core).empty());
    }
    EXPECT_TRUE(cloud.row(kAccount, second).is_null());
    EXPECT_TRUE(cloud.row(kAccount, third).is_null());

    // Invoicing asks for the changes alike.
    cloud.forget_tokens(kAccount);
    EXPECT_EQ(a->download_changes().result, Core::ChangeDownload::Result::whole);
    // A zone the cloud says it does not hold is made and listed from its start (the zone here stood all
    // along, its identity the one known: nothing is told).
    const std::size_t before = cloud.calls().size();
    cloud.reply("changes/zone", Json::object{{"serverErrorCode", "ZONE_NOT_FOUND"}, {"reason", "no zone"}});
    EXPECT_EQ(a->download_changes().result, Core::ChangeDownload::Result::whole);
    EXPECT_EQ(calls_to(cloud, "zones/modify", before).size(), 1u);
    EXPECT_FALSE(a->take_sync_notices().zone_made_anew);
}

// A record the program cannot read (nested deeper than the JSON reader goes, data that is no row) is
// set aside and the download goes on past it; a page this computer cannot write is asked for again,
// and until it is written no document or deletion goes up.
TEST_F(Sync, AnUnreadableRecordIsSetAsideAndAnUnwrittenPageIsAskedForAgain) {
    Json deep("mély");
    for (int i = 0; i < 260; ++i) deep = Json::object{{"v", deep}};
    cloud.put_row(kAccount, "Items", "ITEM-1", Json::object{{"name", "Első"}});
    cloud.put_record(kAccount, "Notes", "NOTE-1",
                     Json::object{{"data", Json::object{{"value", "{}"}}}, {"extra", Json::object{{"value", deep}}}});
    cloud.put_record(kAccount, "Items", "ITEM-BAD", Json::object{{"data", Json::object{{"value", "[1, 2]"}}}});
    cloud.put_row(kAccount, "Items", "ITEM-2", Json::object{{"name", "Második"}});
    auto b = installation("b");
    const std::string estimate =
        b->save_document({line(*b, "Terv", 1, 100)}, false, {{"type", "ESTIMATE"}, {"issue_date", "2026-03-01"}});
    pass(*b);
    EXPECT_EQ(dump(*b, "SELECT recordName FROM items ORDER BY recordName"),
              Json(Json::array{Json::object{{"recordName", "ITEM-1"}}, Json::object{{"recordName", "ITEM-2"}}}).dump());
    EXPECT_EQ(b->setting("local")["syncToken"].string_value(), cloud.token(kAccount));
    EXPECT_FALSE(cloud.row(kAccount, estimate).is_null());
    EXPECT_EQ(b->take_set_aside_records(),
              Json(Json::array{Json::object{{"recordName", "NOTE-1"}, {"recordType", "Notes"}},
                               Json::object{{"recordName", "ITEM-BAD"}, {"recordType", "Items"}}}));
    EXPECT_EQ(b->take_set_aside_records(), Json(Json::array{}));

    // A member too deep outside any record costs nothing but itself: the record after it is applied.
    const Json sound = Json::object{{"recordName", "ITEM-AFTER-DEEP"},
                                    {"recordType", "Items"},
                                    {"recordChangeTag", "d1"},
                                    {"fields", Json::object{{"data", Json::object{{"value", "{\"name\": \"Ép\"}"}}}}}};
    cloud.reply_text("changes/zone",
                     Json(Json::object{{"zones", Json::array{Json::object{{"deep", deep},
                                                                          {"moreComing", false},
                                                                          {"records", Json::array{sound}},
                                                                          {"syncToken", cloud.token(kAccount)},
                                                                          {"zoneID", Json::object{{"zoneName", kAccount}}}}}}})
                         .dump());
    EXPECT_EQ(b->download_changes().result, Core::ChangeDownload::Result::whole);
    EXPECT_EQ(row_of(*b, "items", "ITEM-AFTER-DEEP")["name"].string_value(), "Ép");
    EXPECT_EQ(b->take_set_aside_records(), Json(Json::array{}));

    // Another program's trigger refuses every new item, as a locked database or a full disk would.
    cloud.put_row(kAccount, "Items", "ITEM-3", Json::object{{"name", "Harmadik"}});
    const std::string client = add_client(*b, "Zárolt Kft.");
    const std::string later =
        b->save_document({line(*b, "Másik terv", 1, 100)}, false, {{"type", "ESTIMATE"}, {"issue_date", "2026-03-02"}});
    delete_row(*b, "documents", estimate);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open_v2((dir.path() + "b/" + kAccount + ".tvr").c_str(), &other, SQLITE_OPEN_READWRITE, nullptr),
              SQLITE_OK);
    auto exec = [other](const char* sql) { EXPECT_EQ(sqlite3_exec(other, sql, nullptr, nullptr, nullptr), SQLITE_OK); };
    exec("CREATE TRIGGER refuse_items BEFORE INSERT ON items BEGIN SELECT RAISE(ABORT, 'full'); END");
    const std::size_t before = cloud.calls().size();
    EXPECT_EQ(b->sync_start(empty_completion()).changes, Core::ChangeDownload::Result::not_applied);
    const auto modify = calls_to(cloud, "records/modify", before);
    ASSERT_EQ(modify.size(), 1u);
    EXPECT_EQ(modify[0].body["operations"].array_items().size(), 1u);
    EXPECT_EQ(modify[0].body["operations"][0]["record"]["recordName"].string_value(), client);
    EXPECT_EQ(b->download_changes().result, Core::ChangeDownload::Result::not_applied);
    EXPECT_TRUE(row_of(*b, "items", "ITEM-3").is_null());

    exec("DROP TRIGGER refuse_items");
    sqlite3_close(other);
    pass(*b);
    EXPECT_FALSE(row_of(*b, "items", "ITEM-3").is_null());
    EXPECT_FALSE(cloud.row(kAccount, later).is_null());
    EXPECT_TRUE(cloud.record(kAccount, estimate)->deleted);
    EXPECT_TRUE(pending(*b).empty());
}

// A deletion removes the document it was made on, never another one under the same name: not one made
// elsewhere with the deleted one's number, nor one made in the place of one deleted here, whatever
// happens to the uploads and downloads between.
TEST_F(Sync, ADeletionRemovesOnlyTheDocumentItWasMadeOn) {
    auto a = installation("a");
    auto b = installation("b");
    auto make = [&](Core& core, const std::string& text) {
        return core.save_document({line(core, text, 1, 100)}, false, {{"type", "ESTIMATE"}, {"issue_date", "2026-03-01"}});
    };
    // "recordName first line" of each document, here and in the cloud.
    auto documents = [](Core& core) {
        std::set<std::string> found;
        for (const Json::object& row : store::rows(core, "SELECT d.recordName, l.name FROM documents d "
                                                         "JOIN document_lines l ON l.documentRecordName = d.recordName"))
            found.insert(Json(row)["recordName"].string_value() + " " + Json(row)["name"].string_value());
        return found;
    };
    auto in_cloud = [&] {
        std::set<std::string> found;
        for (const CloudStore::Record& record : cloud.records(kAccount))
            if (record.type == "Documents")
                found.insert(record.name + " " + cloud.row(kAccount, record.name)["lines"][0]["name"].string_value());
        return found;
    };

    // A uploads an estimate, deletes it and makes another, which takes the same number before the
    // deletion went up. A's passes meet a download cut short, an upload dropped and one carried out
    // with its reply lost; the deleted estimate never comes back.
    const std::string replaced = make(*a, "A első terve");
    pass(*a);
    pass(*b);
    set_clock([] { return kNow + 10; });
    delete_row(*a, "documents", replaced);
    ASSERT_EQ(make(*a, "A második terve"), replaced);
    cloud.fail("changes/zone", CloudStore::Fault::close_connection);
    cloud.fail("records/modify", CloudStore::Fault::drop);
    pass(*a);
    cloud.fail("records/modify", CloudStore::Fault::status_500, 0, true);
    pass(*a);
    pass(*a);
    pass(*b);
    std::set<std::string> expected = {replaced + " A második terve"};
    EXPECT_EQ(documents(*a), expected);
    EXPECT_EQ(documents(*b), expected);
    EXPECT_EQ(in_cloud(), expected);
    EXPECT_TRUE(pending(*a).empty() && pending(*b).empty());

    // B makes an estimate and deletes it while A cannot reach the cloud; A makes its own estimate,
    // which takes the same number. B's deletion leaves A's estimate alone.
    cloud.set_unreachable("a-session");
    set_clock([] { return kNow + 20; });
    const std::string estimate = make(*b, "B terve");
    pass(*b);
    set_clock([] { return kNow + 30; });
    ASSERT_EQ(make(*a, "A harmadik terve"), estimate);
    pass(*a);
    delete_row(*b, "documents", estimate);
    pass(*b);
    ASSERT_TRUE(cloud.record(kAccount, estimate)->deleted);
    cloud.set_unreachable("a-session", false);
    pass(*a);
    pass(*b);
    expected.insert(estimate + " A harmadik terve");
    EXPECT_EQ(documents(*a), expected);
    EXPECT_EQ(documents(*b), expected);
    EXPECT_EQ(in_cloud(), expected);
    EXPECT_TRUE(pending(*a).empty() && pending(*b).empty());
    for (const std::string& name : {replaced, estimate})
        EXPECT_EQ(row_of(*a, "documents", name)["recordChangeTag"], row_of(*b, "documents", name)["recordChangeTag"]);

    // A deletes the second estimate and makes another under its number, while B's edit of the deleted
    // one reaches the cloud before A's upload: the cloud refuses the deletion and the create. A keeps
    // B's edit under the name and its own estimate under the next number.
    set_clock([] { return kNow + 40; });
    ASSERT_FALSE(b->save_document({line(*b, "B javítása", 1, 200)}, false, row_of(*b, "documents", estimate).object_items())
                     .empty());
    set_clock([] { return kNow + 50; });
    delete_row(*a, "documents", estimate);
    ASSERT_EQ(make(*a, "A negyedik terve"), estimate);
    cloud.hold("records/modify");
    std::thread racing([&] { pass(*a); });
    ASSERT_TRUE(cloud.wait_held(std::chrono::seconds(20)));
    pass(*b);
    cloud.release();
    racing.join();
    pass(*b);
    const std::string moved = Json(store::rows(*a, "SELECT documentRecordName FROM document_lines WHERE name = ?",
                                               {"A negyedik terve"}).at(0))["documentRecordName"].string_value();
    EXPECT_NE(moved, estimate);
    expected.erase(estimate + " A harmadik terve");
    expected.insert({estimate + " B javítása", moved + " A negyedik terve"});
    EXPECT_EQ(documents(*a), expected);
    EXPECT_EQ(documents(*b), expected);
    EXPECT_EQ(in_cloud(), expected);
    EXPECT_TRUE(pending(*a).empty() && pending(*b).empty());
    // A is told once that its deletion did not happen.
    const std::vector<std::string> overtaken{estimate};  // an estimate without a number is known by its name
    EXPECT_EQ(a->take_sync_notices().overtaken, overtaken);
    EXPECT_TRUE(a->take_sync_notices().overtaken.empty());

    // A deletes an estimate as an earlier version did (the deletion knows no change tag) and makes
    // another under its number; the upload is answered 500, or dropped, and looked up, which finds the
    // deleted copy. It never comes back: the deletion and the new estimate go up, and the new one is
    // everywhere.
    for (const CloudStore::Fault fault : {CloudStore::Fault::status_500, CloudStore::Fault::drop}) {
        set_clock([] { return kNow + 60; });
        const std::string remade = make(*a, "A régi terve");
        pass(*a);
        pass(*b);
        ASSERT_TRUE(store::run(*a, "INSERT INTO deleted(recordName) VALUES (?)", {remade}));
        ASSERT_TRUE(store::run(*a, "DELETE FROM documents WHERE recordName = ?", {remade}));
        ASSERT_TRUE(store::run(*a, "DELETE FROM document_lines WHERE documentRecordName = ?", {remade}));
        set_clock([] { return kNow + 70; });
        ASSERT_EQ(make(*a, "A új terve"), remade);
        const std::size_t before = cloud.calls().size();
        cloud.fail("records/modify", fault);
        pass(*a);
        EXPECT_EQ(calls_to(cloud, "records/lookup", before).size(), 1u);
        for (Core* core : {b.get(), a.get(), b.get()}) pass(*core);
        expected.insert(remade + " A új terve");
        EXPECT_EQ(documents(*a), expected);
        EXPECT_EQ(documents(*b), expected);
        EXPECT_EQ(in_cloud(), expected);
        EXPECT_TRUE(pending(*a).empty() && pending(*b).empty());
        delete_row(*a, "documents", remade);
        pass(*a);
        pass(*b);
        expected.erase(remade + " A új terve");
    }
}

// The company's zone is deleted and made anew, and later deleted and left so: each installation takes a
// zone made anew for another zone than the one it knew and makes a missing one anew, sends up every
// row and setting it held (a long list of them in one pass), and says so once; a new installation
// finds every row and setting there.
TEST_F(Sync, AZoneMadeAnewTakesUpTheRowsOfTheOldOne) {
    auto a = installation("a");
    auto b = installation("b");
    const std::string client = add_client(*a, "Újra Kft.");
    for (int index = 0; index < 230; ++index) add_client(*a, "Ügyfél " + std::to_string(index));
    Json::object supplier = a->setting("supplier").object_items();
    supplier["name"] = "Felhő Bt.";
    ASSERT_TRUE(a->save_record({{"recordName", "supplier"}, {"value", Json(supplier).dump()}}, "settings"));
    const std::string estimate = a->save_document({line(*a, "Terv", 1, 100)}, false,
                                                  {{"type", "ESTIMATE"}, {"issue_date", "2026-03-01"}});
    pass(*a);
    EXPECT_TRUE(pending(*a).empty());
    const std::string invoice = b->save_document({line(*b, "Számla", 2, 300)}, false,
                                                 {{"type", "INVOICE"}, {"issue_date", "2026-03-01"}});
    pass(*b);
    pass(*a);
    const auto zone_operation = [](const std::string& operation) {
        return Json::object{{"operations", Json::object{{"operationType", operation},
                                                        {"zone", Json::object{{"zoneID", Json::object{
                                                                                             {"zoneName", kAccount}}}}}}}};
    };
    const std::string settings_sql =
        "SELECT recordName, value FROM settings WHERE synced >= 0 AND recordName <> 'local' ORDER BY recordName";
    // Every row and setting of the installation is in the cloud, as it holds them.
    const auto all_in_cloud = [&](Core& core) {
        std::size_t rows = 0;
        for (const std::string table : {"settings", "clients", "documents"})
            for (const Json::object& row : store::rows(core, "SELECT recordName FROM " + table + " WHERE synced >= 0")) {
                EXPECT_FALSE(cloud.row(kAccount, Json(row)["recordName"].string_value()).is_null())
                    << table << " " << Json(row)["recordName"].string_value();
                ++rows;
            }
        return rows > 240;
    };
    std::time_t second = 60;
    for (const bool made_anew : {true, false}) {
        SCOPED_TRACE(made_anew ? "the zone made anew" : "the zone deleted");
        a->cloudkit_request("zones/modify", zone_operation("delete"), empty_completion());
        if (made_anew) a->cloudkit_request("zones/modify", zone_operation("create"), empty_completion());
        ASSERT_TRUE(cloud.records(kAccount).empty());
        ASSERT_EQ(cloud.has_zone(kAccount), made_anew);

        set_clock([second] { return kNow + second; });
        pass(*b);
        EXPECT_TRUE(pending(*b).empty());
        EXPECT_TRUE(all_in_cloud(*b));
        for (Core* core : {a.get(), b.get()}) {
            pass(*core);
            EXPECT_TRUE(pending(*core).empty());
        }
        EXPECT_TRUE(all_in_cloud(*a));
        EXPECT_TRUE(a->take_sync_notices().zone_made_anew);
        EXPECT_TRUE(b->take_sync_notices().zone_made_anew);
        EXPECT_FALSE(b->take_sync_notices().zone_made_anew);
        for (const std::string& name : {client, estimate, invoice}) EXPECT_FALSE(cloud.row(kAccount, name).is_null()) << name;
        EXPECT_EQ(Json::parse(cloud.row(kAccount, "supplier")["value"].string_value())["name"], "Felhő Bt.");
        auto c = installation(made_anew ? "c" : "d");
        pass(*c);
        for (const std::string sql : {"SELECT * FROM clients", "SELECT * FROM documents ORDER BY recordName",
                                      "SELECT * FROM document_lines ORDER BY id"}) {
            EXPECT_EQ(dump(*a, sql), dump(*b, sql)) << sql;
            EXPECT_EQ(count(*c, sql), count(*a, sql)) << sql;
        }
        EXPECT_EQ(dump(*c, settings_sql), dump(*a, settings_sql));
        EXPECT_EQ(c->setting("supplier")["name"], "Felhő Bt.");
        EXPECT_FALSE(c->take_sync_notices().zone_made_anew);
        second += 60;
    }
}

// An installation that never learnt its zone's identity (its file is an older version's, its token past
// the identity record another installation wrote) has its create refused, reads the identity that
// stands and learns it: a zone made anew later is told apart.
TEST_F(Sync, ARefusedIdentityCreateLearnsTheIdentityThatStands) {
    auto a = installation("a");
    auto b = installation("b");
    add_client(*a, "Régi Kft.");
    pass(*a);
    pass(*b);
    const std::string identity = cloud.record(kAccount, kZoneIdentityName)->fields["data"]["value"].string_value();
    ASSERT_FALSE(identity.empty());
    ASSERT_EQ(sync_state::read(*b).zone_identity, identity);
    Json::object local = b->setting("local").object_items();
    local.erase("zone_identity");
    ASSERT_TRUE(b->save_record({{"recordName", "local"}, {"value", Json(local).dump()}, {"synced", -1}}, "settings"));
    for (int round = 0; round < 2; ++round) pass(*b);
    EXPECT_EQ(sync_state::read(*b).zone_identity, identity);
    EXPECT_EQ(calls_to(cloud, "records/lookup").size(), 1u);
    EXPECT_EQ(cloud.record(kAccount, kZoneIdentityName)->fields["data"]["value"], identity);
}

// The rules of a downloaded record, case by case: what is here and what came down, and what is done.
TEST(SyncDecision, ADownloadedRecordFollowsTheTable) {
    using sync_decision::Action;
    using sync_decision::Decision;
    using sync_decision::RecordKind;
    constexpr RecordKind deletion = RecordKind::deletion, document = RecordKind::document, row = RecordKind::row;
    struct Case {
        sync_decision::RecordFacts facts;
        Decision decision;
    };
    const Case cases[] = {
        // deletions
        {{.kind = deletion, .zone_identity = true, .in_cloud = true, .local_here = true}, {Action::leave}},
        {{.kind = deletion, .awaits_merge = true, .in_cloud = true, .local_here = true},
         {Action::leave_for_merge}},
        {{.kind = deletion, .awaits_merge = true, .own_deletion_sent = true, .local_here = true},
         {Action::leave_for_merge}},
        {{.kind = deletion, .local_here = true}, {Action::keep_document_made_here}},
        {{.kind = deletion, .own_deletion_sent = true, .local_here = true}, {Action::keep_document_made_here}},
        {{.kind = deletion, .upload_unanswered = true, .local_here = true},
         {.action = Action::keep_document_made_here, .tell_kept = true}},
        {{.kind = deletion, .in_cloud = true, .own_deletion_sent = true, .local_here = true},
         {Action::settle_own_deletion}},
        {{.kind = deletion, .own_deletion_sent = true}, {Action::settle_own_deletion}},
        {{.kind = deletion, .in_cloud = true, .local_here = true}, {Action::delete_everywhere}},
        {{.kind = deletion}, {Action::delete_everywhere}},
        // rows other than documents: the cloud's change wins, but not over this installation's own
        // upload, a download from the start or a deletion still to go up
        {{.kind = row}, {Action::write}},
        {{.kind = row, .local_here = true, .local_unsynced = true, .local_pending = true}, {Action::write}},
        {{.kind = row, .local_here = true, .local_unsynced = true, .local_pending = true, .own_upload = true},
         {Action::leave}},
        {{.kind = row, .local_here = true, .local_unsynced = true, .local_pending = true, .keep_pending = true},
         {Action::leave}},
        {{.kind = row, .tombstone_here = true, .tombstone_tagged = true}, {Action::leave}},
        // documents deleted here
        {{.kind = document, .tombstone_here = true, .tombstone_tagged = true, .tombstone_of_this_copy = true},
         {Action::leave}},
        {{.kind = document, .tombstone_here = true, .own_upload = true}, {Action::tag_tombstone}},
        {{.kind = document, .tombstone_here = true, .tombstone_tagged = true}, {Action::write, true, true}},
        {{.kind = document, .tombstone_here = true}, {Action::write, true, false}},
        {{.kind = document, .local_here = true, .local_unsynced = true, .local_pending = true,
          .local_never_uploaded = true, .tombstone_here = true, .looked_up = true},
         {Action::tag_tombstone}},
        {{.kind = document, .local_here = true, .local_unsynced = true, .local_pending = true,
          .local_never_uploaded = true, .tombstone_here = true},
         {Action::write, true, false, true}},
        {{.kind = document, .local_here = true, .local_unsynced = true, .local_pending = true,
          .local_never_uploaded = true, .tombstone_here = true, .own_upload = true},
         {Action::tag_tombstone}},
        {{.kind = document, .local_here = true, .local_unsynced = true, .local_pending = true,
          .local_never_uploaded = true, .tombstone_here = true, .tombstone_tagged = true},
         {Action::write, true, true, true}},
        {{.kind = document, .local_here = true, .local_unsynced = true, .local_pending = true,
          .same_document = true, .tombstone_here = true, .tombstone_tagged = true, .own_upload = true},
         {Action::tag_local_edit, true, false}},
        // documents held here
        {{.kind = document, .local_here = true, .local_never_uploaded = true}, {Action::write, false, false, true}},
        {{.kind = document, .upload_unanswered = true, .local_here = true, .local_unsynced = true, .local_pending = true},
         {.action = Action::write, .move_local_aside = true, .tell_kept = true}},
        {{.kind = document, .local_here = true, .local_never_uploaded = true, .same_document = true}, {Action::write}},
        {{.kind = document, .local_here = true}, {Action::write}},
        {{.kind = document, .local_here = true, .local_unsynced = true, .local_pending = true, .same_document = true,
          .edit_from_this_copy = true, .local_later = true},
         {Action::leave}},
        {{.kind = document, .local_here = true, .local_unsynced = true, .local_pending = true, .same_document = true,
          .local_later = true},
         {Action::tag_local_edit}},
        {{.kind = document, .local_here = true, .local_unsynced = true, .local_pending = true, .same_document = true,
          .keep_pending = true},
         {Action::write}},
        {{.kind = document, .local_here = true, .local_unsynced = true, .same_document = true}, {Action::write}},
        // a status the authority gave either copy of one document stays
        {{.kind = document, .local_here = true, .local_unsynced = true, .local_pending = true, .same_document = true,
          .local_later = true, .status_downloaded_only = true},
         {Action::tag_local_edit, false, false, false, true}},
        {{.kind = document, .local_here = true, .same_document = true, .status_here_only = true},
         {Action::write, false, false, false, true}},
        {{.kind = document, .local_here = true, .local_never_uploaded = true, .status_here_only = true},
         {Action::write, false, false, true}},
    };
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        const Decision decision = sync_decision::decide(cases[index].facts);
        EXPECT_TRUE(decision == cases[index].decision)
            << "case " << index << ": action " << static_cast<int>(decision.action) << ", drop "
            << decision.drop_tombstone << ", tell " << decision.tell_overtaken << ", move " << decision.move_local_aside
            << ", kept " << decision.tell_kept;
    }
}

class AccountsRecord : public Sync {
protected:
    void put_accounts(const Json& list) {
        cloud.put_record("_defaultZone", "Settings", "accounts",
                         Json::object{{"data", Json::object{{"value", list.dump()}}}});
    }
    const Json list{Json::array{Json::object{{"id", kAccount}, {"name", "Fő cég"}},
                                Json::object{{"id", "OTHER"}, {"name", "Másik"}}}};
};

TEST_F(AccountsRecord, GarbledAnswersChangeNothing) {
    put_accounts(list);
    auto a = installation("a");
    const std::string local_before = row_of(*a, "settings", "local")["value"].string_value();
    for (const std::string text :
         {"{\"records\": \"none\"}", "{\"status\": \"ok\"}",
          "{\"records\": [{\"recordName\": \"accounts\", \"fields\": {\"data\": {\"value\": \"[{\\\"id\\\": \"}}}}]}",
          "{\"records\": [{\"recordName\": \"accounts\", \"fields\": {\"data\": {\"value\": 42}}}]}",
          "{\"records\": [{\"recordName\": \"accounts\", \"fields\": {\"data\": {\"value\": \"{}\"}}}]}"}) {
        SCOPED_TRACE(text);
        cloud.reply_text("records/query", text);
        const std::size_t before = cloud.calls().size();
        EXPECT_EQ(fetch_settings(*a), Json::parse(text));
        EXPECT_EQ(a->current_account, kAccount);
        EXPECT_EQ(cloud.calls().size(), before + 1);
        EXPECT_EQ(row_of(*a, "settings", "local")["value"].string_value(), local_before);
    }
    EXPECT_EQ(Json::parse(cloud.record("_defaultZone", "accounts")->fields["data"]["value"].string_value()), list);

    // An answer with the list: the local copy takes it and the account's changes come down.
    cloud.put_row(kAccount, "Items", "ITEM-1", Json::object{{"name", "Cikk"}});
    const Json result = fetch_settings(*a);
    EXPECT_TRUE(result["zones"].is_array());
    EXPECT_EQ(a->setting("accounts"), list);
    EXPECT_EQ(row_of(*a, "settings", "local")["synced"].number_value(), -1);
    EXPECT_FALSE(row_of(*a, "items", "ITEM-1").is_null());
    EXPECT_TRUE(calls_to(cloud, "records/modify").empty());
}

TEST_F(AccountsRecord, AMissingAccountFallsBackToTheSampleCompany) {
    put_accounts(Json::array{Json::object{{"id", "OTHER"}, {"name", "Másik"}}});
    auto a = installation("a");
    const std::size_t before = cloud.calls().size();
    const Json answer = fetch_settings(*a);
    EXPECT_EQ(answer["records"][0]["recordName"].string_value(), "accounts");
    EXPECT_EQ(a->current_account, "DEMO");
    auto calls = cloud.calls();
    ASSERT_EQ(calls.size(), before + 2);
    EXPECT_EQ(calls[before + 1].endpoint, "records/query");
    EXPECT_EQ(a->setting("accounts")[0]["id"].string_value(), "OTHER");  // the sample company's own copy
}

// The start-up's fetch runs on a pool thread while the window reads the open account (for its
// title, the accounts menu, the next list's request).
TEST_F(AccountsRecord, ThreadsReadTheOpenAccountWhileTheFetchChangesIt) {
    put_accounts(Json::array{Json::object{{"id", "OTHER"}, {"name", "Másik"}}});
    auto a = installation("a");
    std::atomic<bool> fetched{false};
    std::thread start_up([&] {
        fetch_settings(*a);
        fetched = true;
    });
    std::set<std::string> seen;
    while (!fetched) seen.insert(a->current_account);
    start_up.join();
    for (const std::string& account : seen) EXPECT_TRUE(account == kAccount || account == "DEMO") << account;
    EXPECT_EQ(a->current_account, "DEMO");
}

TEST_F(AccountsRecord, AnEmptyCloudStartsAFirstAccount) {
    for (const bool empty_list : {false, true}) {
        if (empty_list) put_accounts(Json::array{});
        auto a = installation(empty_list ? "b" : "a", "DEMO");
        const std::size_t before = cloud.calls().size();
        testing::internal::CaptureStdout();
        const Json answer = fetch_settings(*a);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "FIRST START\n");
        const std::string id = a->current_account;
        ASSERT_EQ(id.size(), 36u);
        auto calls = cloud.calls();
        ASSERT_EQ(calls.size(), before + 3);
        EXPECT_EQ(calls[before + 1].endpoint, "zones/modify");
        EXPECT_EQ(calls[before + 1].request.body,
                  "{\"operations\": {\"operationType\": \"create\", \"zone\": {\"zoneID\": {\"zoneName\": \"" + id +
                      "\"}}}}");
        EXPECT_EQ(calls[before + 2].endpoint, "records/modify");
        const Json expected(Json::array{Json::object{{"id", id}, {"name", "1. fiók"}}});
        EXPECT_EQ(calls[before + 2].body["operations"]["record"]["fields"]["data"]["value"].string_value(), expected.dump());
        EXPECT_EQ(answer["records"][0]["recordName"].string_value(), "accounts");
        EXPECT_EQ(Json::parse(cloud.record("_defaultZone", "accounts")->fields["data"]["value"].string_value()), expected);
        EXPECT_TRUE(std::filesystem::exists(a->data_folder + id + ".tvr"));
        EXPECT_EQ(a->setting("accounts"), expected);
        EXPECT_EQ(a->setting("local")["db_ver"].string_value(), "221101");
        cloud.delete_record("_defaultZone", "accounts");
    }
}

}  // namespace

