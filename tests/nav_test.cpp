// The tax-authority client: the signed request envelope, reading replies, the taxpayer query and the
// transaction-status query, against the published examples and the loopback tax-authority server.
#include "core/store/store_internal.h"
#include "core/nav/xml.h"
#include "tests/fakes/nav_fake.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <regex>
#include <set>
#include <thread>

using json11::Json;

namespace {

const std::string nav_data = std::string(TAVRIN_TEST_DATA) + "/nav";

// 2024-03-01 10:20:30 UTC (11:20:30 in Budapest).
constexpr std::time_t march_first = 1709288430;

std::time_t utc_seconds(const std::string& timestamp) {
    std::tm tm{};
    std::sscanf(timestamp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                &tm.tm_min, &tm.tm_sec);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return timegm(&tm);
}

// Every "<tag>text</tag>" of a text whose content is text, in order.
std::vector<std::string> all_values(const std::string& xml, const std::string& tag) {
    std::vector<std::string> values;
    const std::string open = "<" + tag + ">", close = "</" + tag + ">";
    for (std::size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
        const std::size_t end = xml.find(close, at);
        const std::string value = xml.substr(at + open.size(), end - at - open.size());
        if (value.find('<') == std::string::npos) values.push_back(value);  // text only, not a container
    }
    return values;
}

// One of the tax authority's signed sample requests, taken apart.
struct Sample {
    std::string text, root, request_id, timestamp, key, signature, body, extra;
    std::vector<std::string> commented_hashes;  // the index hashes its comments give
    std::vector<std::string> index_hashes;      // the index hashes of its operations, computed here
};

Sample load_sample(const std::string& name) {
    Sample s;
    s.text = read_file(nav_data + "/samples/" + name + ".xml");
    const std::size_t root_at = s.text.find('<', s.text.find("?>"));
    s.root = s.text.substr(root_at + 1, s.text.find(' ', root_at) - root_at - 1);
    s.request_id = xml_tag_value(s.text, "requestId");
    s.timestamp = xml_tag_value(s.text, "timestamp");
    s.key = xml_tag_value(s.text, "signKey");  // inside a comment
    const std::size_t signature_at = s.text.find('>', s.text.find("<common:requestSignature ")) + 1;
    s.signature = s.text.substr(signature_at, s.text.find('<', signature_at) - signature_at);
    const std::size_t body_at = s.text.find("</software>") + 11;
    s.body = s.text.substr(body_at, s.text.find("</" + s.root + ">") - body_at);
    for (const char* tag : {"firstIndexHash", "secondIndexHash", "thirdIndexHash"}) {
        if (!xml_tag_value(s.text, tag).empty()) s.commented_hashes.push_back(xml_tag_value(s.text, tag));
    }
    const auto operations = all_values(s.text, "invoiceOperation");
    const auto data = all_values(s.text, "invoiceData");
    for (std::size_t i = 0; i < operations.size() && i < data.size(); ++i) {
        s.index_hashes.push_back(sha3_512_hex(operations[i] + data[i]));
        s.extra += s.index_hashes.back();
    }
    return s;
}

NavAddress address(std::string type, std::string postal_code, std::string city, std::string street_name,
                   std::string category, std::string number, std::string building = "", std::string staircase = "",
                   std::string floor = "", std::string door = "") {
    NavAddress a;
    a.type = std::move(type);
    a.postal_code = std::move(postal_code);
    a.city = std::move(city);
    a.street_name = std::move(street_name);
    a.public_place_category = std::move(category);
    a.number = std::move(number);
    a.building = std::move(building);
    a.staircase = std::move(staircase);
    a.floor = std::move(floor);
    a.door = std::move(door);
    return a;
}

std::string dead_url() {
    FakeServer gone;
    return gone.url();  // nothing listens there once it is destroyed
}

const NavUser user{"tavrinuser01", "Jelsz0&<titok>", "ab-12cd-34ef56789a0bXYZW1234ABCD", "7f3aK9q2Lm8Zp4Rt", "12345678"};

Json::object credentials_of(const NavUser& u) {
    return {{"nav_user_id", u.login},
            {"nav_user_pwd", u.password},
            {"nav_xml_alairokulcs", u.signing_key},
            {"nav_xml_cserekulcs", u.exchange_key},
            {"supplier_identifier_number", u.tax_number + "-2-41"}};
}

// The local time zone for the life of the object.
class ScopedZone {
public:
    explicit ScopedZone(const std::string& zone) : env_(std::make_unique<ScopedEnv>("TZ", zone)) { tzset(); }
    ~ScopedZone() {
        env_.reset();
        tzset();
    }

private:
    std::unique_ptr<ScopedEnv> env_;
};

class NavEnvelope : public ::testing::Test {
protected:
    void TearDown() override { set_clock({}); }
    void at(std::time_t t) {
        set_clock([t] { return t; });
    }
};

}  // namespace

// ---- envelope ---------------------------------------------------------------------------------------

TEST_F(NavEnvelope, PublishedSignatureExamplesAreReproduced) {
    // The interface description's worked example.
    const std::time_t worked = utc_seconds("2017-12-30T18:25:45.000Z");
    const std::string key = "ce-8f5e-215119fa7dd621DLMRHRLH2S";
    EXPECT_EQ(nav_request_signature("TSTKFT1222564", worked, key, ""),
              "0493F2F0247A2DF076775631FFDFA8B6D39D051F4928D26426CD29895EEDB24960A23E4C6443A54806EA8B0E126A7B97"
              "940169FEADE6EE42FC99E3BE6F74AB04");
    const std::string hashes = sha3_512_hex("CREATEQWJjZDEyMzQ=") + sha3_512_hex("MODIFYRGNiYTQzMjE=");
    EXPECT_EQ(nav_request_signature("TSTKFT1222564", worked, key, hashes),
              "60BC80609EE3B8F42FE904200A49A1921A1DADA08D55319ACD40C59F626514B74EEA49011D372600A10DBCF8199D590D"
              "A9C2841D987308F2D83DAE17C2470C42");

    // The signed sample requests, each with the signing key of its comment; the submission sample
    // also signs the hash of each of its three invoice operations.
    for (const char* name : {"tokenExchange", "queryTaxpayer", "queryTransactionStatus", "manageInvoice"}) {
        SCOPED_TRACE(name);
        const Sample s = load_sample(name);
        ASSERT_EQ(s.signature.size(), 128u);
        EXPECT_EQ(s.index_hashes, s.commented_hashes);
        EXPECT_EQ(nav_request_signature(s.request_id, utc_seconds(s.timestamp), s.key, s.extra), s.signature);
    }
    EXPECT_EQ(load_sample("manageInvoice").index_hashes.size(), 3u);
}

TEST_F(NavEnvelope, SignedSamplesSentThroughTheEnvelopeAreAccepted) {
    for (const char* name : {"tokenExchange", "queryTaxpayer", "queryTransactionStatus", "manageInvoice"}) {
        SCOPED_TRACE(name);
        const Sample s = load_sample(name);
        NavFake nav(nav_data);
        ScopedEnv env(nav.env());
        nav.add_user({"lwilsmn0uqdxe6u", "sample-password", s.key, "0123456789abcdef", "11111111"});
        at(utc_seconds(s.timestamp));  // the sample's second; its milliseconds do not enter the signature

        std::string operation = s.root.substr(0, s.root.size() - 7);
        operation[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(operation[0])));
        const Json reply = nav_request(s.body, s.root, operation,
                                       {{"nav_number_formatted", s.request_id},
                                        {"request_signature_extra", s.extra},
                                        {"nav_xml_alairokulcs", s.key},
                                        {"supplier_identifier_number", "11111111"},
                                        {"nav_user_id", "lwilsmn0uqdxe6u"},
                                        {"nav_user_pwd", "sample-password"}});
        const auto calls = nav.calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].request.path, "/invoiceService/v3/" + operation);
        EXPECT_EQ(calls[0].request.header("Content-Type"), "application/xml");
        EXPECT_EQ(calls[0].request_signature, s.signature);
        EXPECT_EQ(calls[0].request_id, s.request_id);
        EXPECT_EQ(calls[0].timestamp, s.timestamp.substr(0, 19) + ".000Z");
        if (operation == "manageInvoice") {
            // Signature and user passed; the sample's exchange token was never issued here.
            EXPECT_EQ(calls[0].error_code, "INVALID_EXCHANGE_TOKEN");
            EXPECT_EQ(xml_tag_value(reply["xml"].string_value(), "funcCode"), "ERROR");
        } else {
            EXPECT_EQ(calls[0].error_code, "") << calls[0].error_message;
            EXPECT_EQ(xml_tag_value(reply["xml"].string_value(), "funcCode"), "OK");
        }
    }
}

TEST_F(NavEnvelope, EnvelopeText) {
    FakeServer server;
    server.route("POST", "/invoiceService/v3/*", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<r><ns2:funcCode>OK</ns2:funcCode></r>", "application/xml");
    });
    ScopedEnv env("TAVRIN_NAV_URL", server.url() + "/");
    // The times are UTC whatever the local zone.
    ScopedZone zone("Asia/Tokyo");
    at(march_first);

    Json::object credentials = credentials_of(user);
    credentials["nav_number_formatted"] = "TAVRIN_202400012";
    const Json reply = nav_request("", "TokenExchangeRequest", "tokenExchange", credentials);
    EXPECT_EQ(reply["xml"].string_value(), "<r><ns2:funcCode>OK</ns2:funcCode></r>");

    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<TokenExchangeRequest xmlns:common=\"http://schemas.nav.gov.hu/NTCA/1.0/common\" "
        "xmlns=\"http://schemas.nav.gov.hu/OSA/3.0/api\">"
        "<common:header><common:requestId>TAVRIN_202400012</common:requestId>"
        "<common:timestamp>2024-03-01T10:20:30.000Z</common:timestamp>"
        "<common:requestVersion>3.0</common:requestVersion><common:headerVersion>1.0</common:headerVersion>"
        "</common:header><common:user><common:login>tavrinuser01</common:login>"
        "<common:passwordHash cryptoType=\"SHA-512\">" +
        NavFake::sha512_upper(user.password) +
        "</common:passwordHash><common:taxNumber>12345678</common:taxNumber>"
        "<common:requestSignature cryptoType=\"SHA3-512\">" +
        NavFake::sha3_512_upper("TAVRIN_20240001220240301102030" + user.signing_key) +
        "</common:requestSignature></common:user>"
        "<software><softwareId>41906253-TAVRIN-01</softwareId><softwareName>TAVRIN</softwareName>"
        "<softwareOperation>LOCAL_SOFTWARE</softwareOperation><softwareMainVersion>1</softwareMainVersion>"
        "<softwareDevName>Dunmaro</softwareDevName><softwareDevContact>info@tavrin.hu</softwareDevContact>"
        "</software></TokenExchangeRequest>";
    ASSERT_EQ(server.request_count(), 1u);
    EXPECT_EQ(server.requests()[0].path, "/invoiceService/v3/tokenExchange");
    EXPECT_EQ(server.requests()[0].body, expected);
    EXPECT_EQ(server.requests()[0].body.find(user.password), std::string::npos);
    EXPECT_EQ(NavFake::schema_problem(nav_data, expected), "");

    // Values from the user are escaped: the request stays well-formed and carries the text as given.
    server.clear_requests();
    credentials["nav_user_id"] = "a<b>&\"c'";
    credentials["supplier_identifier_number"] = "1&3";
    credentials["nav_number_formatted"] = "R&D";
    nav_request("<taxNumber>1</taxNumber>", "QueryTaxpayerRequest", "queryTaxpayer", credentials);
    const std::string sent = server.requests().at(0).body;
    EXPECT_NE(sent.find("<common:login>a&lt;b&gt;&amp;\"c'</common:login>"), std::string::npos) << sent;
    EXPECT_NE(sent.find("<common:taxNumber>1&amp;3</common:taxNumber>"), std::string::npos);
    EXPECT_NE(sent.find("<common:requestId>R&amp;D</common:requestId>"), std::string::npos);
    EXPECT_NE(NavFake::schema_problem(nav_data, sent), "not well-formed");
    // The signature is over the text itself, as the service reads it from the XML.
    EXPECT_NE(sent.find(NavFake::sha3_512_upper("R&D20240301102030" + user.signing_key)), std::string::npos);
}

TEST_F(NavEnvelope, RequestIdentifiers) {
    FakeServer server;
    server.route("POST", "/invoiceService/v3/*", [](const httplib::Request&, httplib::Response&) {});
    ScopedEnv env("TAVRIN_NAV_URL", server.url());
    at(march_first);

    const Json::object plain = credentials_of(user);
    Json::object numbered = plain;
    numbered["nav_number_formatted"] = "TAVRIN_7";
    auto sent_id = [&server](std::size_t index) { return xml_tag_value(server.requests().at(index).body, "requestId"); };

    nav_request("", "TokenExchangeRequest", "tokenExchange", plain);
    nav_request("", "TokenExchangeRequest", "tokenExchange", plain);
    nav_request("", "TokenExchangeRequest", "tokenExchange", numbered);
    nav_request("", "TokenExchangeRequest", "tokenExchange", plain);
    // Within the service's pattern, and never the same twice, however fast the runs follow each other
    // (the clock stands still here); a numbered request keeps its own.
    const std::regex pattern("[+a-zA-Z0-9_]{1,30}");
    EXPECT_EQ(sent_id(2), "TAVRIN_7");
    std::set<std::string> ids = {sent_id(0), sent_id(1), sent_id(3)};
    for (int i = 0; i < 2000; ++i) ids.insert(nav_new_request_id());
    EXPECT_EQ(ids.size(), 2003u);
    for (const std::string& id : ids) EXPECT_TRUE(std::regex_match(id, pattern)) << id;
}

TEST_F(NavEnvelope, RequestIdentifiersAreUniqueAcrossThreads) {
    FakeServer server;
    server.route("POST", "/invoiceService/v3/*", [](const httplib::Request&, httplib::Response&) {});
    ScopedEnv env("TAVRIN_NAV_URL", server.url());
    // A clock that moves on with every reading and is slow to read, so that threads read it in
    // another order than they counted their requests.
    auto readings = std::make_shared<std::atomic<long>>(0);
    set_clock([readings] {
        for (int i = 0; i < 4; ++i) std::this_thread::yield();
        return march_first + readings->fetch_add(1);
    });

    constexpr int threads = 8, per_thread = 40;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([] {
            for (int i = 0; i < per_thread; ++i)
                nav_request("", "TokenExchangeRequest", "tokenExchange", credentials_of(user));
        });
    }
    for (auto& worker : workers) worker.join();

    std::set<std::string> ids;
    for (const RecordedRequest& request : server.requests()) ids.insert(xml_tag_value(request.body, "requestId"));
    EXPECT_EQ(server.request_count(), static_cast<std::size_t>(threads * per_thread));
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(threads * per_thread));
}

TEST(NavReplies, XmlTagValue) {
    const std::string reply =
        "<GeneralErrorResponse xmlns:ns2=\"x\"><ns2:result><ns2:funcCode>ERROR</ns2:funcCode>"
        "<ns2:errorCode>INVALID_SECURITY_USER</ns2:errorCode><ns2:message>Kovács &amp; Társa &lt;Kft&gt; &#337;&#x151;"
        "</ns2:message></ns2:result></GeneralErrorResponse>";
    EXPECT_EQ(xml_tag_value(reply, "funcCode"), "ERROR");
    EXPECT_EQ(xml_tag_value(reply, "errorCode"), "INVALID_SECURITY_USER");
    EXPECT_EQ(xml_tag_value(reply, "message"), "Kovács & Társa <Kft> őő");
    EXPECT_EQ(xml_tag_value(reply, "transactionId"), "");
    EXPECT_EQ(xml_tag_value("", "funcCode"), "");
    // Empty elements and elements that open with a child do not match; the first text match wins,
    // and any name ending in the tag matches.
    EXPECT_EQ(xml_tag_value("<funcCode/><funcCode></funcCode>", "funcCode"), "");
    EXPECT_EQ(xml_tag_value("<a><number><x>1</x></number><b:number>7</b:number><number>8</number></a>", "number"),
              "7");
    EXPECT_EQ(xml_tag_value("<housenumber>12</housenumber><number>3</number>", "number"), "12");
    EXPECT_EQ(xml_tag_value("<houseNumber>12</houseNumber><number>3</number>", "number"), "3");
    // An element with attributes is not read.
    EXPECT_EQ(xml_tag_value("<hash cryptoType=\"SHA3-512\">AB</hash>", "hash"), "");
    EXPECT_EQ(xml_tag_value("<number>3", "number"), "");
    EXPECT_EQ(xml_tag_value("<number>3<x/>", "number"), "");
    // A long reply is read without trouble.
    const std::string long_text(4 << 20, 'Q');
    EXPECT_EQ(xml_tag_value("<a>" + long_text + "</a><invoiceStatus>DONE</invoiceStatus>", "invoiceStatus"), "DONE");
    EXPECT_EQ(xml_tag_value("<originalRequest>" + long_text + "</originalRequest>", "originalRequest").size(),
              long_text.size());
}

TEST(NavReplies, XmlEscaping) {
    EXPECT_EQ(xml_escaped("Fő utca 1 & 3 <b> \"x\" 'y'"), "Fő utca 1 &amp; 3 &lt;b&gt; \"x\" 'y'");
    EXPECT_EQ(xml_escaped("\"x\" 'y' &", true), "&quot;x&quot; &apos;y&apos; &amp;");
    EXPECT_EQ(xml_escaped(std::string("a\x01\x1f\tb\r\nc\0d", 11)), "a\tb\r\ncd");
    EXPECT_EQ(xml_escaped("ABC-123_abc"), "ABC-123_abc");
    EXPECT_EQ(xml_unescaped(xml_escaped("a&b<c>d\"e'f", true)), "a&b<c>d\"e'f");
    // Unknown, unterminated or out-of-range references stay as they are.
    EXPECT_EQ(xml_unescaped("&nbsp; & &amp &#0; &#xD800; &#x110000; &#12a; &#;"),
              "&nbsp; & &amp &#0; &#xD800; &#x110000; &#12a; &#;");
    EXPECT_EQ(xml_unescaped("&#65;&#x1F600;&amp;amp;"), "A\xF0\x9F\x98\x80&amp;");
}

TEST(NavReplies, FakeRepliesFollowTheSchema) {
    NavFake nav(nav_data);
    ScopedEnv env(nav.env());
    nav.add_user(user);
    nav.add_taxpayer({"87654321", "2", "13", "Példa & Fia Kft.", {address("HQ", "1234", "Budapest", "Fő", "utca", "1.")}});
    nav.set_transaction("TX1", {"DONE", {{true, "ERROR", "E1", "m"}, {false, "WARN", "W1", "w"}}, {}});
    Json::object wrong = credentials_of(user);
    wrong["nav_user_pwd"] = "wrong";
    const std::vector<Json> replies = {
        nav_request("", "TokenExchangeRequest", "tokenExchange", credentials_of(user)),
        nav_request("<taxNumber>87654321</taxNumber>", "QueryTaxpayerRequest", "queryTaxpayer", credentials_of(user)),
        nav_request("<taxNumber>11112222</taxNumber>", "QueryTaxpayerRequest", "queryTaxpayer", credentials_of(user)),
        nav_request("<transactionId>TX1</transactionId>", "QueryTransactionStatusRequest", "queryTransactionStatus",
                    credentials_of(user)),
        nav_request("<transactionId></transactionId>", "QueryTransactionStatusRequest", "queryTransactionStatus",
                    credentials_of(user)),
        nav_request("", "TokenExchangeRequest", "tokenExchange", wrong),
        nav_request("<invoiceNumberQuery><invoiceNumber>A/1</invoiceNumber><invoiceDirection>OUTBOUND</invoiceDirection>"
                    "</invoiceNumberQuery>",
                    "QueryInvoiceCheckRequest", "queryInvoiceCheck", credentials_of(user)),
        nav_request("<invoiceNumberQuery><invoiceNumber>A/1</invoiceNumber><invoiceDirection>OUTBOUND</invoiceDirection>"
                    "</invoiceNumberQuery>",
                    "QueryInvoiceDataRequest", "queryInvoiceData", credentials_of(user)),
    };
    const auto calls = nav.calls();
    ASSERT_EQ(calls.size(), replies.size());
    EXPECT_EQ(calls[4].error_code, "INVALID_REQUEST");  // an empty transaction id is refused
    EXPECT_EQ(calls[5].error_code, "INVALID_SECURITY_USER");
    // A refusal is read like any reply, whatever its HTTP status: the caller gets the service's words.
    EXPECT_EQ(xml_tag_value(replies[5]["xml"].string_value(), "errorCode"), "INVALID_SECURITY_USER");
    EXPECT_EQ(xml_tag_value(replies[5]["xml"].string_value(), "message"), "Helytelen authentikációs adatok!");
    // The fake's replies are what the service may send: valid against the same schema.
    for (std::size_t i = 0; i < replies.size(); ++i) {
        SCOPED_TRACE(calls[i].operation);
        EXPECT_EQ(NavFake::schema_problem(nav_data, replies[i]["xml"].string_value()), "");
        EXPECT_EQ(calls[i].request.body.find(user.password), std::string::npos);
    }
    EXPECT_EQ(xml_tag_value(replies[1]["xml"].string_value(), "taxpayerName"), "Példa & Fia Kft.");
    EXPECT_EQ(xml_tag_value(replies[3]["xml"].string_value(), "validationResultCode"), "ERROR");
    EXPECT_EQ(xml_tag_value(replies[6]["xml"].string_value(), "invoiceCheckResult"), "false");
    EXPECT_EQ(xml_tag_value(replies[7]["xml"].string_value(), "funcCode"), "OK");
    // The token decrypts with the program's own cipher.
    const std::string encoded = xml_tag_value(replies[0]["xml"].string_value(), "encodedExchangeToken");
    EXPECT_EQ(decrypt_exchange_token(encoded, user.exchange_key), nav.issued_tokens().at(0));
}

// What a program needs of the service to settle a submission whose reply it never got: the list of
// the user's transactions by reception time, each with its invoices as sent, and a repeated number
// refused; also a slow token and replies that fail, arrive cut short or not at all.
TEST(NavReplies, FakeListsAndSettlesSubmissions) {
    NavFake nav(nav_data);
    ScopedEnv env(nav.env());
    nav.add_user(user);
    nav.set_list_page_size(2);
    nav.set_processing_delay(std::chrono::hours(1));
    auto ask = [&](const std::string& body, const std::string& operation, Json::object credentials) {
        std::string root = operation + "Request";
        root[0] = static_cast<char>(std::toupper(root[0]));
        return nav_request(body, root, operation, credentials)["xml"].string_value();
    };
    auto query = [&](const std::string& body, const std::string& operation) {
        return ask(body, operation, credentials_of(user));
    };
    auto utc_text = [](std::chrono::system_clock::time_point instant) {
        const std::time_t seconds = std::chrono::system_clock::to_time_t(instant);
        std::tm tm{};
        gmtime_r(&seconds, &tm);
        char text[24];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
        return std::string(text);
    };
    auto list = [&](int page, std::chrono::system_clock::time_point from, std::chrono::system_clock::time_point to) {
        return query("<page>" + std::to_string(page) + "</page><insDate><dateTimeFrom>" + utc_text(from) +
                         "</dateTimeFrom><dateTimeTo>" + utc_text(to) + "</dateTimeTo></insDate>",
                     "queryTransactionList");
    };
    auto data_of = [](const std::string& number) {
        return base64_encode("<InvoiceData><invoiceNumber>" + number + "</invoiceNumber></InvoiceData>");
    };
    auto submit = [&](const std::string& number) {
        const std::string token = xml_tag_value(query("", "tokenExchange"), "encodedExchangeToken");
        Json::object signed_in = credentials_of(user);
        signed_in["request_signature_extra"] = NavFake::sha3_512_upper("CREATE" + data_of(number));
        const std::string body = "<exchangeToken>" + decrypt_exchange_token(token, user.exchange_key) +
                                 "</exchangeToken><invoiceOperations><compressedContent>false</compressedContent>"
                                 "<invoiceOperation><index>1</index><invoiceOperation>CREATE</invoiceOperation>"
                                 "<invoiceData>" + data_of(number) +
                                 "</invoiceData></invoiceOperation></invoiceOperations>";
        return xml_tag_value(ask(body, "manageInvoice", signed_in), "transactionId");
    };
    std::vector<std::string> replies;
    const auto before = std::chrono::system_clock::now() - std::chrono::seconds(1);

    // The first reply is lost; the third repeats the first number.
    nav.fault_next_replies(NavReplyFault::drop);
    EXPECT_EQ(submit("A/1"), "");
    const std::string second = submit("A/2"), third = submit("A/1");
    const auto after = std::chrono::system_clock::now() + std::chrono::seconds(1);
    replies = {list(1, before, after), list(2, before, after), list(3, before, after), list(1, after, after)};
    EXPECT_EQ(all_values(replies[0], "requestStatus"), std::vector<std::string>(2, "RECEIVED"));
    EXPECT_EQ(all_values(replies[0], "availablePage"), std::vector<std::string>{"2"});
    EXPECT_EQ(all_values(replies[1], "transactionId"), std::vector<std::string>{third});
    EXPECT_EQ(all_values(replies[2], "availablePage"), std::vector<std::string>{"2"});
    EXPECT_TRUE(all_values(replies[2], "transactionId").empty());
    EXPECT_TRUE(all_values(replies[3], "transactionId").empty());
    const std::string first = all_values(replies[0], "transactionId").at(0);
    EXPECT_EQ(all_values(replies[0], "transactionId"), (std::vector<std::string>{first, second}));

    // Processed: the repeat is aborted, and each status can carry the invoice data as sent.
    nav.set_processing_delay(std::chrono::milliseconds(0));
    const std::string original = "<returnOriginalRequest>true</returnOriginalRequest>";
    replies.push_back(query("<transactionId>" + first + "</transactionId>" + original, "queryTransactionStatus"));
    replies.push_back(query("<transactionId>" + third + "</transactionId>" + original, "queryTransactionStatus"));
    replies.push_back(query("<transactionId>" + third + "</transactionId>", "queryTransactionStatus"));
    replies.push_back(list(1, before, after));
    EXPECT_EQ(xml_tag_value(replies[4], "invoiceStatus"), "DONE");
    EXPECT_EQ(xml_tag_value(replies[4], "originalRequest"), data_of("A/1"));
    EXPECT_EQ(xml_tag_value(replies[5], "invoiceStatus"), "ABORTED");
    EXPECT_EQ(xml_tag_value(replies[5], "validationErrorCode"), "INVOICE_NUMBER_NOT_UNIQUE");
    EXPECT_EQ(xml_tag_value(replies[5], "originalRequest"), data_of("A/1"));
    EXPECT_EQ(xml_tag_value(replies[6], "originalRequest"), "");
    EXPECT_EQ(all_values(replies[7], "requestStatus"), std::vector<std::string>(2, "FINISHED"));
    EXPECT_EQ(nav.accepted_numbers(), (std::vector<std::string>{"A/1", "A/2"}));
    EXPECT_EQ(nav.received_numbers(), (std::vector<std::string>{"A/1", "A/2", "A/1"}));

    // On a service clock an hour ahead, a submission is listed at its time, not the program's.
    nav.set_clock_offset(std::chrono::hours(1));
    const std::string later = submit("A/3");
    replies.push_back(list(2, before, after));
    replies.push_back(list(1, after + std::chrono::minutes(58), after + std::chrono::minutes(61)));
    EXPECT_EQ(all_values(replies[8], "transactionId"), std::vector<std::string>{third});
    EXPECT_EQ(all_values(replies[9], "transactionId"), std::vector<std::string>{later});

    // A slow token holds nothing else up.
    nav.set_token_delay(std::chrono::milliseconds(500));
    std::atomic<bool> token_came{false};
    const std::size_t asked_before = nav.request_count();
    std::thread token([&] {
        replies.push_back(query("", "tokenExchange"));
        token_came = true;
    });
    ASSERT_TRUE(nav.wait_for_requests(asked_before + 1, std::chrono::seconds(10)));
    const std::string meanwhile = list(1, before, after);
    EXPECT_FALSE(token_came);
    token.join();
    replies.push_back(meanwhile);

    // An operation failed, a reply cut short and one not given.
    nav.fail_next("queryInvoiceCheck", NavQueryFault::error);
    nav.fail_next("queryTransactionList", NavQueryFault::garbled);
    nav.fail_next("queryTransactionStatus", NavQueryFault::drop);
    replies.push_back(query("<invoiceNumberQuery><invoiceNumber>A/1</invoiceNumber><invoiceDirection>OUTBOUND"
                            "</invoiceDirection></invoiceNumberQuery>",
                            "queryInvoiceCheck"));
    EXPECT_EQ(xml_tag_value(replies.back(), "errorCode"), "OPERATION_FAILED");
    const std::string garbled = list(1, before, after);
    EXPECT_FALSE(garbled.empty());
    EXPECT_EQ(NavFake::schema_problem(nav_data, garbled), "not well-formed");
    EXPECT_EQ(query("<transactionId>" + first + "</transactionId>", "queryTransactionStatus"), "");
    for (const std::string& reply : replies) EXPECT_EQ(NavFake::schema_problem(nav_data, reply), "") << reply;
    EXPECT_EQ(replies.size(), 13u);
}

// ---- queries against the loopback server -------------------------------------------------------------

namespace {

class NavQueries : public NavEnvelope {
protected:
    void SetUp() override {
        at(march_first);
        core = make_core(dir.path(), "hu");
        core->open_database();
        ASSERT_NE(core->db, nullptr);
        nav.add_user(user);
        supplier = user.signed_in(core->setting("supplier").object_items(), "12345678-2-41");
        write_supplier();
    }
    void TearDown() override {
        core.reset();
        NavEnvelope::TearDown();
    }
    void write_supplier() {
        ASSERT_TRUE(core->save_record({{"recordName", "supplier"}, {"value", Json(supplier).dump()}}, "settings"));
    }

    // Every callback value of one taxpayer query (there must be exactly one).
    std::vector<Json> taxpayer(const std::string& tax_number) {
        std::vector<Json> results;
        core->nav_query_taxpayer(tax_number, [&results](Json value) { results.push_back(value); });
        return results;
    }
    std::vector<bool> status_query() {
        std::vector<bool> results;
        core->nav_query_transaction_status([&results](bool value) { results.push_back(value); });
        return results;
    }

    // A saved invoice, created `age` seconds before March 1st.
    std::string invoice(const std::string& transaction_id, int age, const std::string& type = "INVOICE") {
        at(march_first - age);
        const std::string name = core->save_document({}, false,
                                                     {{"type", type},
                                                      {"nav_transaction_id", transaction_id},
                                                      {"nav_status", ""},
                                                      {"supplier_identifier_number", "12345678-2-41"}});
        at(march_first);
        return name;
    }
    Json::object row(const std::string& record_name) {
        auto rows = store::rows(*core, "SELECT * FROM documents WHERE recordName = ?", {record_name});
        return rows.empty() ? Json::object{} : rows.front();
    }

    TempDir dir;
    std::unique_ptr<Core> core;
    NavFake nav{nav_data};
    Json::object supplier;
};

}  // namespace

TEST_F(NavQueries, TaxpayerQueryFillsTheClientFields) {
    ScopedEnv env(nav.env());
    nav.add_taxpayer({"87654321",
                      "2",
                      "13",
                      "Kovács & Társa Kft.",
                      {address("HQ", "1234", "Budapest", "Fő", "utca", "12."),
                       address("SITE", "6720", "Szeged", "Kárász", "utca", "5.", "B", "2", "3", "4")}});

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto results = taxpayer("87654321-2-13");
    const std::string printed = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["name"].string_value(), "Kovács & Társa Kft.");
    EXPECT_EQ(results[0]["identifierNumber"].string_value(), "87654321-2-13");
    EXPECT_EQ(results[0]["postcode"].string_value(), "1234");
    EXPECT_EQ(results[0]["city"].string_value(), "Budapest");
    // Parts the first address lacks are read from the next one, as the reply is read by element name.
    EXPECT_EQ(results[0]["street"].string_value(), "Fő utca 12. B 2 3 4");
    auto calls = nav.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].error_code, "");
    EXPECT_EQ(calls[0].tax_number, "12345678");
    EXPECT_NE(calls[0].request.body.find("<taxNumber>87654321</taxNumber></QueryTaxpayerRequest>"), std::string::npos);
    EXPECT_EQ(printed.find(user.password), std::string::npos);

    // Without the other parts: no gaps and no trailing blanks.
    nav.add_taxpayer({"11223344", "1", "01", "Egyéni Vállalkozó", {address("HQ", "9700", "Szombathely", "Kossuth Lajos", "utca", "1.")}});
    results = taxpayer("11223344");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["street"].string_value(), "Kossuth Lajos utca 1.");
    EXPECT_EQ(results[0]["identifierNumber"].string_value(), "11223344-1-01");

    // Not in the register: an empty object.
    results = taxpayer("99999999");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].is_object());
    EXPECT_TRUE(results[0].object_items().empty());
}

TEST_F(NavQueries, TaxpayerQueryRefusals) {
    ScopedEnv env(nav.env());
    nav.add_taxpayer({"87654321", "2", "13", "Példa Kft.", {address("HQ", "1234", "Budapest", "Fő", "utca", "1.")}});

    // Nothing is asked without a full tax number or the user's credentials.
    auto results = taxpayer("8765432");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].is_null());
    supplier["nav_user_pwd"] = "";
    write_supplier();
    results = taxpayer("87654321");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].is_null());
    supplier["nav_user_pwd"] = user.password;
    supplier["identifier_number"] = "1234567";
    write_supplier();
    EXPECT_TRUE(taxpayer("87654321").at(0).is_null());
    EXPECT_EQ(nav.calls().size(), 0u);
    supplier["identifier_number"] = "12345678";
    write_supplier();

    // A wrong password or signing key is refused by the service: an empty object.
    supplier["nav_user_pwd"] = "not-the-password";
    write_supplier();
    results = taxpayer("87654321");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].is_object() && results[0].object_items().empty());
    EXPECT_EQ(nav.calls().back().error_code, "INVALID_SECURITY_USER");
    supplier["nav_user_pwd"] = user.password;
    supplier["nav_xml_alairokulcs"] = "another-signing-key";
    write_supplier();
    results = taxpayer("87654321");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].is_object() && results[0].object_items().empty());
    EXPECT_EQ(nav.calls().back().error_code, "INVALID_REQUEST_SIGNATURE");
    ASSERT_EQ(nav.calls().size(), 2u);

    // No server: an empty object as well.
    supplier["nav_xml_alairokulcs"] = user.signing_key;
    write_supplier();
    ScopedEnv down("TAVRIN_NAV_URL", dead_url());
    results = taxpayer("87654321");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].is_object() && results[0].object_items().empty());
}

TEST_F(NavQueries, StatusQueryStoresTheResultOnEachInvoice) {
    ScopedEnv env(nav.env());
    const std::string done = invoice("TXDONE", 100);
    const std::string warned = invoice("TXWARN", 90);
    const std::string aborted = invoice("TXABORT", 80);
    const std::string processing = invoice("TXPROC", 70);
    const std::string received = invoice("TXRECV", 60);
    const std::string unset = invoice("TXNULL", 50);
    const std::string empty_id = invoice("", 40);
    const std::string proforma = invoice("TXPRO", 30, "PROFORMA");
    const std::string reported = invoice("TXOLD", 20);
    // An invoice written without the member holds NULL: it is unreported all the same.
    core->query("UPDATE documents SET nav_status = NULL WHERE recordName = '" + unset + "'");
    core->query("UPDATE documents SET nav_status = 'DONE' WHERE recordName = '" + reported + "'");
    core->query("UPDATE documents SET synced = 1");

    nav.set_transaction("TXDONE", {"DONE", {}, {}});
    nav.set_transaction("TXWARN", {"DONE", {{false, "WARN", "VAT_RATE_MISMATCH", "ÁFA-kulcs eltér"},
                                            {false, "INFO", "X", "y"}}, {}});
    nav.set_transaction("TXABORT", {"ABORTED", {{true, "ERROR", "SCHEMA_VIOLATION", "a < b"},
                                                {false, "ERROR", "INVOICE_NUMBER_NOT_UNIQUE", "már létezik"}}, {}});
    nav.set_transaction("TXPROC", {"PROCESSING", {}, {}});
    nav.set_transaction("TXRECV", {"RECEIVED", {}, {}});
    nav.set_transaction("TXNULL", {"DONE", {{false, "WARN", "W", "w"}}, {}});
    nav.set_transaction("TXPRO", {"DONE", {}, {}});
    nav.set_transaction("TXOLD", {"ABORTED", {}, {}});

    EXPECT_EQ(status_query(), std::vector<bool>{true});

    EXPECT_EQ(row(done)["nav_status"].string_value(), "DONE");
    EXPECT_EQ(row(warned)["nav_status"].string_value(), "DONEWARN");
    EXPECT_EQ(row(aborted)["nav_status"].string_value(), "ABORTEDERROR");
    EXPECT_EQ(row(unset)["nav_status"].string_value(), "DONEWARN");
    for (const std::string& name : {done, warned, aborted, unset}) {
        EXPECT_EQ(row(name)["synced"].int_value(), 0) << name;
        EXPECT_FALSE(row(name)["nav_transaction_id"].string_value().empty()) << name;
    }
    // Still in progress, refused (no transaction id), not an invoice, already final: untouched.
    for (const std::string& name : {processing, received, empty_id}) {
        EXPECT_EQ(row(name)["nav_status"].string_value(), "") << name;
        EXPECT_EQ(row(name)["synced"].int_value(), 1) << name;
    }
    EXPECT_EQ(row(proforma)["nav_status"].string_value(), "");
    EXPECT_EQ(row(reported)["nav_status"].string_value(), "DONE");

    // Newest first, each signed for the invoice's own supplier tax number.
    std::vector<std::string> asked;
    for (const NavCall& call : nav.calls()) {
        asked.push_back(xml_tag_value(call.request.body, "transactionId"));
        if (call.error_code.empty()) {
            EXPECT_EQ(call.tax_number, "12345678");
        }
        EXPECT_TRUE(std::regex_match(call.request_id, std::regex("[+a-zA-Z0-9_]{1,30}"))) << call.request_id;
    }
    EXPECT_EQ(asked, (std::vector<std::string>{"", "TXNULL", "TXRECV", "TXPROC", "TXABORT", "TXWARN", "TXDONE"}));
    EXPECT_EQ(nav.calls().front().error_code, "INVALID_REQUEST");

    // The next run asks only what is still open.
    nav.set_transaction("TXPROC", {"DONE", {}, {}});
    EXPECT_EQ(status_query(), std::vector<bool>{true});
    EXPECT_EQ(row(processing)["nav_status"].string_value(), "DONE");
    EXPECT_EQ(nav.calls().size(), 7u + 3u);
}

TEST_F(NavQueries, StatusQueryAsksTheTenNewest) {
    ScopedEnv env(nav.env());
    for (int i = 0; i < 12; ++i) {
        const std::string id = "TX" + std::to_string(i);
        invoice(id, 1000 - i);  // TX11 is the newest
        nav.set_transaction(id, {"DONE", {}, {}});
    }
    EXPECT_EQ(status_query(), std::vector<bool>{true});
    std::set<std::string> asked;
    for (const NavCall& call : nav.calls()) asked.insert(xml_tag_value(call.request.body, "transactionId"));
    EXPECT_EQ(asked.size(), 10u);
    EXPECT_EQ(asked.count("TX0") + asked.count("TX1"), 0u);
    EXPECT_EQ(store::rows(*core, "SELECT recordName FROM documents WHERE nav_status = ''").size(), 2u);
}

TEST_F(NavQueries, StatusQueryWithTheServerDownLosesNothing) {
    const std::string first = invoice("TXA", 20);
    const std::string second = invoice("TXB", 10);
    core->query("UPDATE documents SET synced = 1");
    nav.set_transaction("TXA", {"DONE", {{false, "WARN", "VAT_RATE_MISMATCH", "eltér"}}, {}});
    nav.set_transaction("TXB", {"ABORTED", {}, {}});
    const auto before = store::rows(*core, "SELECT * FROM documents ORDER BY recordName");

    {
        ScopedEnv down("TAVRIN_NAV_URL", dead_url());
        EXPECT_EQ(status_query(), std::vector<bool>{true});
    }
    EXPECT_EQ(store::rows(*core, "SELECT * FROM documents ORDER BY recordName"), before);

    // A refused user changes nothing either.
    ScopedEnv env(nav.env());
    supplier["nav_user_pwd"] = "wrong-password";
    write_supplier();
    EXPECT_EQ(status_query(), std::vector<bool>{true});
    EXPECT_EQ(store::rows(*core, "SELECT * FROM documents ORDER BY recordName"), before);
    ASSERT_EQ(nav.calls().size(), 2u);
    EXPECT_EQ(nav.calls()[0].error_code, "INVALID_SECURITY_USER");
    supplier["nav_user_pwd"] = user.password;
    write_supplier();

    // Replies that are not what they claim, each refused in the log: a final status under funcCode
    // ERROR; the word in a comment or an error text beside a status still in progress; a result code
    // with markup or of any length; a reply cut short.
    auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        const std::size_t at = text.find(from);
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    const std::string done_in_text = "<!--<invoiceStatus>DONE</invoiceStatus>--><message><![CDATA[<invoiceStatus>"
                                     "DONE</invoiceStatus>]]></message>";
    // The log's word for each (none for a sound reply of a status still in progress).
    const std::vector<std::pair<const char*, NavFake::Rewrite>> roads{
        {"funcCode is not OK",
         [&](const std::string& reply) {
             return replaced(reply, "<ns2:funcCode>OK</ns2:funcCode>",
                             "<ns2:funcCode>ERROR</ns2:funcCode><ns2:errorCode>OPERATION_FAILED</ns2:errorCode>");
         }},
        {nullptr, [&](const std::string& reply) {
             const std::string status = reply.find("DONE") != std::string::npos ? "DONE" : "ABORTED";
             return replaced(reply, "<invoiceStatus>" + status + "</invoiceStatus>",
                             done_in_text + "<invoiceStatus>PROCESSING</invoiceStatus>");
         }},
        {"validation result code",
         [&](const std::string& reply) {
             return replaced(replaced(reply, "<validationResultCode>WARN</validationResultCode>",
                                      "<validationResultCode>WA<b>R</b>N</validationResultCode>"),
                             "<invoiceStatus>ABORTED</invoiceStatus>",
                             "<invoiceStatus>ABORTED</invoiceStatus><businessValidationMessages><validationResultCode>" +
                                 std::string(300, 'E') + "</validationResultCode></businessValidationMessages>");
         }},
        {"no whole XML document", [](const std::string& reply) { return reply.substr(0, reply.size() - 20); }},
    };
    for (const auto& [word, rewrite] : roads) {
        nav.rewrite_next("queryTransactionStatus", rewrite);
        nav.rewrite_next("queryTransactionStatus", rewrite);
        testing::internal::CaptureStderr();
        EXPECT_EQ(status_query(), std::vector<bool>{true});
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(store::rows(*core, "SELECT * FROM documents ORDER BY recordName"), before) << log;
        if (word) EXPECT_NE(log.find(word), std::string::npos) << log;
        else EXPECT_EQ(log, "");
        EXPECT_EQ(log.find(first), std::string::npos) << log;
    }

    // Back online, both are stored.
    EXPECT_EQ(status_query(), std::vector<bool>{true});
    EXPECT_EQ(row(first)["nav_status"].string_value(), "DONEWARN");
    EXPECT_EQ(row(second)["nav_status"].string_value(), "ABORTED");
}

TEST_F(NavQueries, StatusQueryNeedsCredentialsAndOpenInvoices) {
    ScopedEnv env(nav.env());
    // No open invoice: nothing is asked.
    EXPECT_EQ(status_query(), std::vector<bool>{false});
    invoice("TXA", 10);
    // The exchange key is required though the query does not use it.
    supplier.erase("nav_xml_cserekulcs");
    write_supplier();
    EXPECT_EQ(status_query(), std::vector<bool>{false});
    EXPECT_EQ(nav.calls().size(), 0u);
    supplier["nav_xml_cserekulcs"] = user.exchange_key;
    write_supplier();
    nav.set_transaction("TXA", {"RECEIVED", {}, {}});
    EXPECT_EQ(status_query(), std::vector<bool>{true});
    EXPECT_EQ(nav.calls().size(), 1u);
}
