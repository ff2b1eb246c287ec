// Cloud requests, the web-auth token, the sign-in page, completions, the update check and the
// exchange rates, against loopback fakes of the remote services.
#include "core/Core.h"
#include "tests/fakes/cloud_fake.h"
#include "tests/fakes/maker_fake.h"
#include "tests/fakes/rates_fake.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using json11::Json;

namespace {

const std::string cloud_prefix = "/database/1/iCloud.com.dunmaro.TavrinInvoice/production/private/";

Json zone_body(const std::string& zone) {
    return Json(Json::object{
        {"operations",
         Json::object{{"operationType", "create"}, {"zone", Json::object{{"zoneID", Json::object{{"zoneName", zone}}}}}}}});
}

// Runs a cloud request and checks that its completion ran exactly once; gives what it received.
Json cloud_call(Core& core, const std::string& endpoint, const Json& body) {
    int calls = 0;
    Json received;
    core.cloudkit_request(endpoint, body, [&](Json reply) {
        ++calls;
        received = reply;
    });
    EXPECT_EQ(calls, 1) << endpoint;
    return received;
}

std::string update_check(Core& core, const std::string& running_version) {
    int calls = 0;
    std::string notes = "(not called)";
    core.check_update(running_version, [&](std::string text) {
        ++calls;
        notes = text;
    });
    EXPECT_EQ(calls, 1);
    return notes;
}

double rate_of(const std::string& currency, const std::string& date) {
    int calls = 0;
    double rate = -1;
    mnb_exchange_rates(currency, date, [&](double value) {
        ++calls;
        rate = value;
    });
    EXPECT_EQ(calls, 1);
    return rate;
}

}  // namespace

TEST(CloudRequest, AddressesThePrivateDatabaseWithBothTokens) {
    TempDir dir;
    auto core = make_core(dir.path() + "data/");
    CloudFake cloud;
    MakerFake maker;
    ScopedEnv cloud_env(cloud.env());
    ScopedEnv maker_env(maker.env());

    const Json zones = Json(Json::object{{"zones", Json::array{Json::object{{"zoneID", Json::object{{"zoneName", "A1"}}}}}}});
    cloud.reply("zones/modify", zones);
    EXPECT_EQ(cloud_call(*core, "zones/modify", zone_body("A1")), zones);

    // No token file yet: the parameter is there and empty.
    auto seen = cloud.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].target, cloud_prefix + "zones/modify?ckAPIToken=" + CloudFake::api_token + "&ckWebAuthToken=");
    EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
    EXPECT_EQ(seen[0].body,
              "{\"operations\": {\"operationType\": \"create\", \"zone\": {\"zoneID\": {\"zoneName\": \"A1\"}}}}");

    // The token posted by the sign-in page arrives in JSON quotes; it goes out escaped once.
    core->save_web_auth_token("\"3_ab+cd/ef==\"");
    cloud_call(*core, "records/query", Json(Json::object{{"query", Json::object{{"recordType", "Settings"}}}}));
    seen = cloud.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].path, cloud_prefix + "records/query");
    EXPECT_EQ(seen[1].query_names(), (std::vector<std::string>{"ckAPIToken", "ckWebAuthToken"}));
    EXPECT_EQ(seen[1].query_value("ckWebAuthToken"), "3_ab%2Bcd%2Fef%3D%3D");
    EXPECT_EQ(maker.request_count(), 0u);
}

TEST(CloudRequest, ServerErrorsOtherThanSignInGoToTheErrorLog) {
    TempDir dir;
    auto core = make_core(dir.path() + "data/", "hu");
    CloudFake cloud;
    MakerFake maker;
    ScopedEnv cloud_env(cloud.env());
    ScopedEnv maker_env(maker.env());
    // The log gets the request's shape and names, not the values of its records' fields.
    auto operation = [](Json name) {
        return Json::object{{"operationType", "forceReplace"},
                            {"record", Json::object{{"recordName", "C1"}, {"fields", Json::object{{"name", Json::object{{"value", name}}}}}}}};
    };
    const Json body = Json(Json::object{{"operations", Json::array{operation("Vevő Bt")}}, {"zoneID", Json::object{{"zoneName", "Z"}}}});
    const std::string sent = Json(Json::object{{"operations", Json::array{operation(Json())}}, {"zoneID", Json::object{{"zoneName", "Z"}}}}).dump();

    const Json quota = Json(Json::object{{"serverErrorCode", "QUOTA_EXCEEDED"}, {"reason", "over quota"}});
    cloud.reply("records/modify", quota);
    EXPECT_EQ(cloud_call(*core, "records/modify", body), quota);
    auto logs = maker.error_logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].request.method, "POST");
    EXPECT_EQ(logs[0].request.path, "/_app/error_log.php");
    EXPECT_EQ(logs[0].request.query, "l=hu&c=QUOTA_EXCEEDED&m=records/modify");
    EXPECT_EQ(logs[0].request.header("Content-Type"), "application/json");
    EXPECT_EQ(logs[0].body, Json(Json::object{{"reason", "over quota"}, {"sent", sent}}));

    // Sign-in is the callers' business: passed on, not reported.
    cloud.require_web_auth_token("valid");
    const Json refused = cloud_call(*core, "records/query", body);
    EXPECT_EQ(refused["serverErrorCode"], Json("AUTHENTICATION_REQUIRED"));
    EXPECT_EQ(refused["redirectURL"], Json(cloud.url() + "/signin"));
    // A reply that is not JSON is null and reported nowhere.
    core->save_web_auth_token("valid");
    cloud.reply_text("changes/zone", "<html><body>Bad gateway</body></html>");
    EXPECT_TRUE(cloud_call(*core, "changes/zone", body).is_null());
    EXPECT_EQ(maker.error_logs().size(), 1u);

    // English interface; a code without a reason, and one that would break the query, escaped.
    auto english = make_core(dir.path() + "data/", "en");
    cloud.reply("zones/modify", Json(Json::object{{"serverErrorCode", "A&B=C"}}));
    cloud_call(*english, "zones/modify", body);
    logs = maker.error_logs();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[1].language, "en");
    EXPECT_EQ(logs[1].code, "A%26B%3DC");
    EXPECT_EQ(logs[1].endpoint, "zones/modify");
    EXPECT_EQ(logs[1].body, Json(Json::object{{"reason", ""}, {"sent", sent}}));
}

TEST(WebAuthToken, StoredEscapedPrivateAndWhole) {
    TempDir dir;
    auto core = make_core(dir.path());
    const std::string file = dir.path() + "tvrat";
    EXPECT_EQ(core->load_web_auth_token(), "");

    core->save_web_auth_token("\"a+b/c=d\"\"e%3D\"");
    EXPECT_EQ(read_file(file), "a%2Bb%2Fc%3Dde%3D");
    EXPECT_EQ(core->load_web_auth_token(), "a%2Bb%2Fc%3Dde%3D");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Written through a temporary file that is gone afterwards.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().rfind("tvrat.", 0), std::string::npos) << entry.path();
    }

    core->save_web_auth_token("");
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(read_file(file), "");
    EXPECT_EQ(core->load_web_auth_token(), "");

    dir.write("tvrat", "  first second\n");
    EXPECT_EQ(core->load_web_auth_token(), "first");
}

TEST(SignInPage, OpensTheSignInAddressAfterThePicture) {
    TempDir dir;
    dir.write("app/connecting_hu.png", "PNG");
    auto core = make_core(dir.path() + "data/", "hu", dir.path() + "app/");

    const std::string address = "https://signin.example.test/auth?a=1&b=%2F";
    const std::string page = core->cloudkit_signin_page(address);
    EXPECT_EQ(page.rfind("<script>window.addEventListener('message', function(e) {"
                         "window.chrome.webview.postMessage(e.data.ckSession);});",
                         0),
              0u);
    EXPECT_EQ(page.substr(page.size() - 13), "} );</script>");
    const std::string placed = "newWindow.location.href = \"" + address + "\"";
    ASSERT_NE(page.find(placed), std::string::npos);
    EXPECT_EQ(page.find(address), page.find(placed) + placed.size() - address.size() - 1);
    EXPECT_EQ(page.find(address, page.find(address) + 1), std::string::npos);
    EXPECT_NE(page.find("setTimeout(signin, 500)"), std::string::npos);
    EXPECT_NE(page.find("#fff url('data:image/png;base64,UE5H') no-repeat center center"), std::string::npos);
    EXPECT_NE(page.find("width=device-width, initial-scale=1.0, maximum-scale=1.0, user-scalable=0"), std::string::npos);

    // An address from the server cannot leave its string or the script element.
    const std::string hostile = core->cloudkit_signin_page("x\";alert(1);//</script><script>alert(2)\\");
    EXPECT_NE(hostile.find("href = \"x\\\";alert(1);//\\u003c/script>\\u003cscript>alert(2)\\\\\""), std::string::npos);
    EXPECT_EQ(hostile.find("</script>"), hostile.size() - 9);
}

TEST(Completions, ForwardFinishAndIgnore) {
    const Json reply = Json(Json::object{{"records", Json::array{1, 2}}});
    std::vector<Json> received;
    JsonCallback record = [&](Json value) { received.push_back(value); };

    forwarding_completion(record)(reply);
    finishing_completion(record)(reply);
    empty_completion()(reply);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], reply);
    EXPECT_TRUE(received[1].is_null());

    // An empty function acts as the empty completion instead of throwing.
    EXPECT_NO_THROW(forwarding_completion(JsonCallback())(reply));
    EXPECT_NO_THROW(call_completion(JsonCallback(), reply));
    TempDir dir;
    auto core = make_core(dir.path());
    CloudFake cloud;
    MakerFake maker;
    ScopedEnv cloud_env(cloud.env());
    ScopedEnv maker_env(maker.env());
    EXPECT_NO_THROW(core->cloudkit_request("records/query", reply, JsonCallback()));
    EXPECT_NO_THROW(core->check_update("1.0.0.0", nullptr));
    EXPECT_NO_THROW(mnb_exchange_rates("EUR", "bad", nullptr));
}

TEST(UpdateCheck, OffersAnUpdateOnlyWithItsCompleteInstaller) {
    TempDir dir;
    auto core = make_core(dir.path());
    MakerFake maker;
    ScopedEnv maker_env(maker.env());
    const std::string package = dir.path() + "update.msi";

    // A new version with two lines of notes (CR LF lines, as the server writes them).
    maker.set_version_file("1.4.0.2\r\nFaster lists\r\nNew report\r\n");
    maker.set_installer("MSI-PACKAGE");
    EXPECT_EQ(update_check(*core, "1.4.0.1"), "Faster lists\nNew report\n");
    EXPECT_EQ(read_file(package), "MSI-PACKAGE");
    auto seen = maker.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].target, "/downloads/update_hu.txt");
    EXPECT_EQ(seen[1].target, "/downloads/update.msi");

    // The running version: nothing more is fetched.
    maker.clear_requests();
    EXPECT_EQ(update_check(*core, "1.4.0.2"), "");
    EXPECT_EQ(maker.request_count(), 1u);
    // Not a four-piece version.
    maker.set_version_file("1.4.2\nnotes\n");
    EXPECT_EQ(update_check(*core, "1.4.0.1"), "");
    EXPECT_EQ(maker.request_count(), 2u);

    // A version and no notes: the package comes, the notes are empty. A trailing blank is a difference.
    maker.set_version_file("1.4.0.3");
    EXPECT_EQ(update_check(*core, "1.4.0.2"), "");
    EXPECT_EQ(maker.request_count(), 4u);
    maker.set_version_file("1.4.0.2 \nNote\n");
    EXPECT_EQ(update_check(*core, "1.4.0.2"), "Note\n");

    // An installer that breaks off, or is missing, is no update, and no stale package stays.
    maker.set_version_file("2.0.0.0\nBig release\n");
    maker.set_broken_installer("MSI", 5000);
    EXPECT_EQ(update_check(*core, "1.4.0.2"), "");
    EXPECT_FALSE(std::filesystem::exists(package));
    maker.set_installer("");
    EXPECT_EQ(update_check(*core, "1.4.0.2"), "");
    EXPECT_FALSE(std::filesystem::exists(package));

    // No version file on the server: the one from the last check is not read again.
    MakerFake empty_server;
    ScopedEnv empty_env(empty_server.env());
    EXPECT_EQ(update_check(*core, "1.0.0.0"), "");
    EXPECT_EQ(empty_server.request_count(), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "update"));
}

TEST(ExchangeRates, RateOfTheDayOrTheLastEarlierOnePerUnit) {
    RatesFake bank;
    ScopedEnv bank_env(bank.env());
    bank.add_rate("2024-03-06", "EUR", "391,20");
    bank.add_rate("2024-03-07", "EUR", "392,05");
    bank.add_rate("2024-03-08", "EUR", "393,51");
    bank.add_rate("2024-03-08", "USD", "361,8");
    bank.add_rate("2024-03-08", "JPY", "246,12", 100);

    EXPECT_DOUBLE_EQ(rate_of("EUR", "2024-03-07"), 392.05);
    auto queries = bank.queries();
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].request.target, "/arfolyamok.asmx?wsdl");
    EXPECT_EQ(queries[0].request.method, "POST");
    EXPECT_EQ(queries[0].request.header("Content-Type"), "application/xml");
    EXPECT_EQ(queries[0].request.header_count("SOAPAction"), 0u);
    EXPECT_EQ(queries[0].request.body,
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<soap:Envelope xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
              "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
              "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>\n"
              "<GetExchangeRates xmlns=\"http://www.mnb.hu/webservices/\">\n"
              "<startDate>2024-02-29</startDate>\n<endDate>2024-03-07</endDate>\n"
              "<currencyNames>EUR</currencyNames>\n</GetExchangeRates>\n</soap:Body>\n</soap:Envelope>\n");

    // Saturday: Friday's rate, the newest of the week.
    EXPECT_DOUBLE_EQ(rate_of("EUR", "2024-03-09"), 393.51);
    EXPECT_DOUBLE_EQ(rate_of("USD", "2024-03-08"), 361.8);
    // Quoted per 100 yen.
    EXPECT_DOUBLE_EQ(rate_of("JPY", "2024-03-08"), 2.4612);
    // No rate in the week, an unknown code.
    EXPECT_EQ(rate_of("EUR", "2024-03-01"), 0.0);
    EXPECT_EQ(rate_of("XYZ", "2024-03-08"), 0.0);

    // The week before reaches back over a year end and over the spring clock change.
    rate_of("EUR", "2024-01-03");
    rate_of("EUR", "2024-04-02");
    queries = bank.queries();
    ASSERT_EQ(queries.size(), 8u);
    EXPECT_EQ(queries[6].start_date, "2023-12-27");
    EXPECT_EQ(queries[7].start_date, "2024-03-26");

    // The code is escaped in the request; a date that cannot be cut is not sent.
    rate_of("<EUR>", "2024-03-08");
    EXPECT_NE(bank.queries().back().request.body.find("<currencyNames>&lt;EUR&gt;</currencyNames>"), std::string::npos);
    EXPECT_EQ(rate_of("EUR", "2024-3-8"), 0.0);
    EXPECT_EQ(bank.queries().size(), 9u);

    // No service at all.
    std::string closed_url;
    {
        FakeServer gone;
        closed_url = gone.url();
    }
    ScopedEnv gone_env("TAVRIN_RATES_URL", closed_url);
    EXPECT_EQ(rate_of("EUR", "2024-03-08"), 0.0);
}
