// Company accounts with their cloud zones and the accounts record, and the logo stored as a cloud
// asset, against a loopback cloud database.
#include "core/store/store_internal.h"
#include "tests/fakes/cloud_store.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

using json11::Json;

namespace {

constexpr std::time_t kNow = 1772362800;  // 2026-03-01 12:00 in Budapest

Json entry(const std::string& id, const std::string& name) {
    return Json(Json::object{{"id", id}, {"name", name}});
}

class CloudTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return kNow; });
        // Error reports of the cloud requests go nowhere.
        env = std::make_unique<ScopedEnv>(
            [this] {
                ScopedEnv::Values values = cloud.env();
                values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:1");
                return values;
            }());
    }
    void TearDown() override { set_clock({}); }

    std::unique_ptr<Core> installation(const std::string& name, const std::string& account) {
        auto core = make_core(dir.path() + name + "/");
        core->current_account = account;
        core->open_database();
        core->save_web_auth_token(name + "-session");
        return core;
    }

    // Runs one account change; its completion must run exactly once, with null when the cloud took
    // the change. Returns what it received.
    Json change(Core& core, Json account, std::int16_t mode, bool taken = true) {
        int calls = 0;
        Json received = "not called";
        core.setup_account_zone(account, mode, [&](Json result) {
            ++calls;
            received = result;
        });
        EXPECT_EQ(calls, 1) << "mode " << mode;
        EXPECT_EQ(received.is_null(), taken) << "mode " << mode << ": " << received.dump();
        return received;
    }

    Json cloud_accounts() {
        auto record = cloud.record("_defaultZone", "accounts");
        if (!record || record->deleted) return Json();
        return Json::parse(record->fields["data"]["value"].string_value());
    }

    // The cloud's accounts record equals the local list and every account has its zone.
    void expect_in_line(Core& core, const Json::array& expected) {
        EXPECT_EQ(core.setting("local")["accounts"], Json(expected));
        EXPECT_EQ(cloud_accounts(), Json(expected));
        for (const Json& account : expected) EXPECT_TRUE(cloud.has_zone(account["id"].string_value()));
    }

    std::vector<CloudCall> calls_from(std::size_t from) {
        auto all = cloud.calls();
        return std::vector<CloudCall>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
    }

    CloudStore cloud;
    std::unique_ptr<ScopedEnv> env;
    TempDir dir;
};

using AccountZones = CloudTest;

TEST_F(AccountZones, AddRenameReorderRemoveKeepTheCloudInLine) {
    // A first start makes the first account with its zone.
    auto a = installation("a", "DEMO");
    testing::internal::CaptureStdout();
    a->fetch_cloud_settings([](Json) {});
    testing::internal::GetCapturedStdout();
    const Json first = entry(a->current_account, "1. fiók");
    ASSERT_EQ(a->current_account.size(), 36u);
    expect_in_line(*a, {first});

    // Adding: the zone is made, the record replaced, the account's changes downloaded.
    const Json second = entry(new_record_name(), "Második Kft.");
    std::size_t before = cloud.calls().size();
    change(*a, second, -1);
    auto calls = calls_from(before);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].endpoint, "zones/modify");
    EXPECT_EQ(calls[0].request.body, "{\"operations\": {\"operationType\": \"create\", \"zone\": {\"zoneID\": {\"zoneName\": \"" +
                                         second["id"].string_value() + "\"}}}}");
    EXPECT_EQ(calls[1].endpoint, "records/modify");
    EXPECT_EQ(calls[1].request.body,
              "{\"operations\": {\"operationType\": \"forceReplace\", \"record\": {\"fields\": {\"data\": {\"value\": " +
                  Json(Json(Json::array{first, second}).dump()).dump() +
                  "}}, \"recordName\": \"accounts\", \"recordType\": \"Settings\"}}, \"zoneID\": {\"zoneName\": "
                  "\"_defaultZone\"}}");
    EXPECT_EQ(calls[2].endpoint, "records/query");
    EXPECT_EQ(calls[3].endpoint, "changes/zone");
    expect_in_line(*a, {first, second});

    const Json third = entry(new_record_name(), "Harmadik Bt.");
    change(*a, third, -1);
    expect_in_line(*a, {first, second, third});

    // Renaming by index.
    const Json renamed = entry(second["id"].string_value(), "Átnevezett Kft.");
    change(*a, renamed, 1);
    expect_in_line(*a, {first, renamed, third});

    // Reordering: the page writes the new order itself, then uploads the list as it stands.
    const Json::array reordered{third, first, renamed};
    ASSERT_TRUE(a->save_record({{"recordName", "local"},
                                {"value", Json(Json::object{{"accounts", reordered}, {"db_ver", "221101"}}).dump()},
                                {"synced", -1}},
                               "settings"));
    change(*a, Json(), -100);
    expect_in_line(*a, reordered);

    // Removing one: its zone goes, the record keeps the others.
    change(*a, third, -2);
    expect_in_line(*a, {first, renamed});
    EXPECT_FALSE(cloud.has_zone(third["id"].string_value()));
    EXPECT_EQ(a->current_account, first["id"].string_value());

    // Removing the open account: the accounts query hands over to the sample company.
    change(*a, first, -2);
    EXPECT_FALSE(cloud.has_zone(first["id"].string_value()));
    EXPECT_EQ(a->current_account, "DEMO");
    expect_in_line(*a, {renamed});

    // Removing the last account deletes its zone and the record and signs the user out.
    ASSERT_FALSE(a->load_web_auth_token().empty());
    before = cloud.calls().size();
    change(*a, renamed, -3);
    calls = calls_from(before);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].request.body,
              "{\"operations\": {\"operationType\": \"forceDelete\", \"record\": {\"recordName\": \"accounts\"}}, "
              "\"zoneID\": {\"zoneName\": \"_defaultZone\"}}");
    EXPECT_FALSE(cloud.has_zone(renamed["id"].string_value()));
    EXPECT_TRUE(cloud_accounts().is_null());
    EXPECT_EQ(read_file(a->data_folder + "tvrat"), "");
    EXPECT_EQ(a->setting("local")["accounts"], Json(Json::array{renamed}));  // the local list stays
}

TEST_F(AccountZones, FailedStepsEndTheChainAndStillComplete) {
    const std::string id = "5A1B2C3D-0000-4000-8000-000000000001";
    const Json open = entry(id, "Nyitott");
    cloud.create_zone(id);
    cloud.put_record("_defaultZone", "Settings", "accounts",
                     Json::object{{"data", Json::object{{"value", Json(Json::array{open}).dump()}}}});
    auto a = installation("a", id);
    a->fetch_cloud_settings([](Json) {});
    expect_in_line(*a, {open});

    // An index past the list changes nothing and sends nothing.
    std::size_t before = cloud.calls().size();
    change(*a, entry(id, "Más"), 1);
    change(*a, entry(id, "Más"), 32767);
    EXPECT_EQ(cloud.calls().size(), before);
    expect_in_line(*a, {open});

    // A zone creation refused, or answered for another zone: nothing more goes out, the list is as it
    // was, and the completion learns why.
    const Json added = entry("5A1B2C3D-0000-4000-8000-000000000002", "Új");
    cloud.reply("zones/modify", Json::object{{"serverErrorCode", "QUOTA_EXCEEDED"}, {"reason", "full"}});
    before = cloud.calls().size();
    EXPECT_EQ(change(*a, added, -1, false)["serverErrorCode"].string_value(), "QUOTA_EXCEEDED");
    EXPECT_EQ(calls_from(before).size(), 1u);
    EXPECT_EQ(a->setting("local")["accounts"], Json(Json::array{open}));
    EXPECT_EQ(cloud_accounts(), Json(Json::array{open}));

    cloud.reply("zones/modify",
                Json::object{{"zones", Json::array{Json::object{{"zoneID", Json::object{{"zoneName", "OTHER"}}}}}}});
    before = cloud.calls().size();
    change(*a, added, -3, false);
    EXPECT_EQ(calls_from(before).size(), 1u);
    EXPECT_EQ(a->load_web_auth_token(), "a-session");
    EXPECT_EQ(cloud_accounts(), Json(Json::array{open}));

    // Deleting a zone the cloud does not have: signed in, record kept.
    before = cloud.calls().size();
    change(*a, entry("NO-SUCH-ZONE", "x"), -3, false);
    EXPECT_EQ(calls_from(before).size(), 1u);
    EXPECT_EQ(a->load_web_auth_token(), "a-session");
    EXPECT_FALSE(cloud_accounts().is_null());

    // The cloud out of reach: a delete leaves the list as it was, and nothing came back.
    cloud.fail("zones/modify", CloudStore::Fault::drop);
    EXPECT_EQ(change(*a, open, -2, false), Json(Json::object{}));
    EXPECT_EQ(a->setting("local")["accounts"], Json(Json::array{open}));

    // -2 removes only the first entry of a repeated id; an unknown id removes nothing but its zone goes.
    const Json twin = entry(added["id"].string_value(), "Iker");
    ASSERT_TRUE(a->save_record({{"recordName", "local"},
                                {"value", Json(Json::object{{"accounts", Json::array{open, added, twin}}}).dump()},
                                {"synced", -1}},
                               "settings"));
    cloud.create_zone(added["id"].string_value());
    change(*a, added, -2);
    EXPECT_EQ(a->setting("local")["accounts"], Json(Json::array{open, twin}));
    EXPECT_EQ(cloud_accounts(), Json(Json::array{open, twin}));
    EXPECT_FALSE(cloud.has_zone(added["id"].string_value()));
    cloud.create_zone("UNLISTED");
    change(*a, entry("UNLISTED", "?"), -2);
    EXPECT_FALSE(cloud.has_zone("UNLISTED"));
    EXPECT_EQ(a->setting("local")["accounts"], Json(Json::array{open, twin}));

    // An entry without an id names no zone.
    before = cloud.calls().size();
    change(*a, Json(), -1);
    EXPECT_EQ(cloud.calls().size(), before);
    EXPECT_EQ(a->setting("local")["accounts"], Json(Json::array{open, twin}));

    // The accounts record refused: a rename leaves the list as it was, with the record's error.
    cloud.refuse_record("accounts");
    EXPECT_EQ(change(*a, entry(id, "Új név"), 0, false)["serverErrorCode"].string_value(), "CONFLICT");
    EXPECT_EQ(a->setting("local")["accounts"], Json(Json::array{open, twin}));
}

// ---------------------------------------------------------------------------------------------
// Logo asset
// ---------------------------------------------------------------------------------------------

using LogoAsset = CloudTest;

const std::string kAccount = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";

// Runs one upload; its completion must run exactly once.
Json upload(Core& core, const std::string& source) {
    int calls = 0;
    Json received = "not called";
    core.upload_logo_asset(source, core.current_account + "logo", [&](Json result) {
        ++calls;
        received = result;
    });
    EXPECT_EQ(calls, 1);
    return received;
}

TEST_F(LogoAsset, ArrivesByteForByteAndReachesTheOtherInstallation) {
    cloud.create_zone(kAccount);
    auto a = installation("a", kAccount);
    std::string picture("\x89PNG\r\n\x1a\n", 8);
    picture += std::string("\0\xff\x01 logo", 8);
    for (int i = 0; i < 3000; ++i) picture += static_cast<char>(i * 7);
    const std::string source = dir.write("pictures/céges logó.png", picture);

    const Json reply = upload(*a, source);
    EXPECT_EQ(reply["records"][0]["recordName"].string_value(), kAccount + "logo");

    auto calls = cloud.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].endpoint, "assets/upload");
    EXPECT_EQ(calls[0].request.body, "{\"tokens\": {\"fieldName\": \"data\", \"recordType\": \"Assets\"}, \"zoneID\": "
                                     "{\"zoneName\": \"" + kAccount + "\"}}");
    auto uploads = cloud.uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].request.method, "POST");
    EXPECT_EQ(uploads[0].request.header("Content-Type").rfind("multipart/form-data; boundary=", 0), 0u);
    EXPECT_EQ(uploads[0].part_count, 1u);
    EXPECT_EQ(uploads[0].part_name, "upload_file");
    EXPECT_EQ(uploads[0].filename, "céges logó.png");
    EXPECT_EQ(uploads[0].content, picture);
    EXPECT_EQ(cloud.asset(uploads[0].receipt), picture);

    // The record carries the upload's receipt.
    EXPECT_EQ(calls[1].endpoint, "records/modify");
    const Json operation = calls[1].body["operations"];
    EXPECT_EQ(operation["operationType"].string_value(), "forceReplace");
    EXPECT_EQ(operation["record"]["recordType"].string_value(), "Assets");
    EXPECT_EQ(operation["record"]["recordName"].string_value(), kAccount + "logo");
    const Json value = operation["record"]["fields"]["data"]["value"];
    EXPECT_EQ(value["receipt"].string_value(), uploads[0].receipt);
    EXPECT_EQ(value["size"], Json(static_cast<double>(picture.size())));
    EXPECT_FALSE(value["fileChecksum"].string_value().empty());
    EXPECT_EQ(calls[1].body["zoneID"]["zoneName"].string_value(), kAccount);
    EXPECT_EQ(read_file(a->data_folder + kAccount + "logo"), picture);

    // Another installation of the account gets the same file with its next pass.
    auto b = installation("b", kAccount);
    b->sync_start([](Json) {});
    EXPECT_EQ(read_file(b->data_folder + kAccount + "logo"), picture);
}

TEST_F(LogoAsset, FailuresKeepTheOldLogoAndReportIt) {
    cloud.create_zone(kAccount);
    auto a = installation("a", kAccount);
    const std::string logo = a->data_folder + kAccount + "logo";
    dir.write("a/" + kAccount + "logo", "OLD");
    const std::string source = dir.write("new.png", "NEW-PICTURE");

    // The file transfer refused: no record pointing at nothing, the old logo stays.
    cloud.refuse_uploads(1);
    Json reply = upload(*a, source);
    EXPECT_EQ(reply["serverErrorCode"].string_value(), "UPLOAD_FAILED");
    EXPECT_EQ(cloud.uploads().size(), 1u);
    EXPECT_EQ(cloud.calls().size(), 1u);
    EXPECT_FALSE(cloud.record(kAccount, kAccount + "logo"));
    EXPECT_EQ(read_file(logo), "OLD");

    // An upload address that is not http(s) to a server is not followed.
    cloud.reply("assets/upload", Json::object{{"tokens", Json::array{Json::object{{"url", "file://" + source}}}}});
    reply = upload(*a, source);
    EXPECT_EQ(reply["serverErrorCode"].string_value(), "UPLOAD_FAILED");
    EXPECT_EQ(cloud.uploads().size(), 1u);
    EXPECT_EQ(cloud.calls().size(), 2u);
    EXPECT_EQ(read_file(logo), "OLD");

    // A picture that cannot be read.
    reply = upload(*a, dir.path() + "missing.png");
    EXPECT_EQ(reply["serverErrorCode"].string_value(), "UPLOAD_FAILED");
    EXPECT_EQ(read_file(logo), "OLD");

    // Not signed in: the token request's reply, and nothing else.
    cloud.require_web_auth_token("someone-else");
    const std::size_t before = cloud.calls().size();
    reply = upload(*a, source);
    EXPECT_EQ(reply["serverErrorCode"].string_value(), "AUTHENTICATION_REQUIRED");
    EXPECT_EQ(cloud.calls().size(), before + 1);
    EXPECT_EQ(read_file(logo), "OLD");
}

TEST_F(LogoAsset, TheSampleCompanyOnlyCopiesLocally) {
    auto demo = installation("demo", "DEMO");
    const std::string logo = demo->data_folder + "DEMOlogo";
    const std::string source = dir.write("demo.png", std::string("P\0N\nG", 5));
    EXPECT_TRUE(upload(*demo, source).is_null());
    EXPECT_EQ(read_file(logo), std::string("P\0N\nG", 5));
    EXPECT_TRUE(upload(*demo, dir.path() + "missing.png").is_null());
    EXPECT_EQ(read_file(logo), std::string("P\0N\nG", 5));  // an unreadable picture leaves the logo
    EXPECT_EQ(cloud.request_count(), 0u);
}

}  // namespace
