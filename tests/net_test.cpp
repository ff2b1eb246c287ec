// HTTP transport against loopback servers: request shapes, failures, limits, downloads and HTTPS.
#include "core/Core.h"
#include "core/net/net_internal.h"
#include "tests/fakes/fake_server.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <thread>
#include <filesystem>
#include <sys/stat.h>

using json11::Json;

namespace {

void send_text(httplib::Response& response, const std::string& text, const std::string& type) {
    response.set_content(text, type);
}

// Serves `size` bytes of a JSON string ("aaa...") with or without a Content-Length.
void serve_big_string(httplib::Response& response, std::size_t size, bool announce_length) {
    auto provider = [size](std::size_t offset, httplib::DataSink& sink) {
        static const std::string block(1 << 16, 'a');
        std::string chunk = block.substr(0, std::min(block.size(), size - offset));
        if (offset == 0) chunk[0] = '"';
        if (offset + chunk.size() == size) chunk.back() = '"';
        return sink.write(chunk.data(), chunk.size());
    };
    if (announce_length) {
        response.set_content_provider(size, "application/json",
                                      [provider](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                          return provider(offset, sink);
                                      });
    } else {
        response.set_chunked_content_provider("application/json",
                                              [provider, size](std::size_t offset, httplib::DataSink& sink) {
                                                  if (offset >= size) {
                                                      sink.done();
                                                      return true;
                                                  }
                                                  return provider(offset, sink);
                                              });
    }
}

// Shortens the low-speed window for one test.
struct ShortLowSpeedWindow {
    ShortLowSpeedWindow() { set_http_low_speed_time(1); }
    ~ShortLowSpeedWindow() { set_http_low_speed_time(60); }
};

// A self-signed certificate for 127.0.0.1 (as an IP subject alternative name) and its key, as PEM files.
bool write_self_signed_certificate(const std::string& cert_path, const std::string& key_path) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    bool ok = key && cert;
    if (ok) {
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                                   -1, 0);
        X509_set_issuer_name(cert, name);
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
        for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                                  std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
            ok = ok && extension && X509_add_ext(cert, extension, -1) == 1;
            X509_EXTENSION_free(extension);
        }
        ok = ok && X509_sign(cert, key, EVP_sha256()) > 0;
    }
    if (ok) {
        std::FILE* out = std::fopen(cert_path.c_str(), "w");
        ok = out && PEM_write_X509(out, cert) == 1;
        if (out) std::fclose(out);
        out = std::fopen(key_path.c_str(), "w");
        ok = ok && out && PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
        if (out) std::fclose(out);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return ok;
}

}  // namespace

TEST(HttpTransport, MethodBodyHeadersAndResultFollowThePayload) {
    FakeServer server;
    server.route("*", "/json", [](const httplib::Request&, httplib::Response& r) {
        send_text(r, "{\"ok\": 1}", "application/json");
    });
    server.route("*", "/array", [](const httplib::Request&, httplib::Response& r) {
        send_text(r, "[1, \"two\"]", "application/json");
    });
    server.route("*", "/text", [](const httplib::Request&, httplib::Response& r) {
        send_text(r, "not json", "text/plain");
    });
    server.route("*", "/xml", [](const httplib::Request&, httplib::Response& r) {
        send_text(r, "<r a=\"1\">x</r>", "text/xml");
    });
    const std::string base = server.url();

    // Null, empty-object and empty-array payloads make body-less GETs, still declared as JSON.
    EXPECT_EQ(http_request(base + "/json", Json(), ""), Json(Json::object{{"ok", 1}}));
    http_request(base + "/json", Json(Json::object{}), "");
    http_request(base + "/json", Json(Json::array{}), "");
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 3u);
    for (const auto& request : seen) {
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.body, "");
        EXPECT_EQ(request.header("Content-Type"), "application/json");
        EXPECT_EQ(request.header_count("Content-Type"), 1u);
    }

    // A JSON payload goes as its dump in a POST; extra header lines follow in order.
    server.clear_requests();
    Json reply = http_request(base + "/array?x=1", Json(Json::object{{"b", "x"}, {"a", 1}}),
                              "X-First: one\nAuthorization: Bearer t0k");
    EXPECT_EQ(reply, Json(Json::array{1, "two"}));
    seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].target, "/array?x=1");
    EXPECT_EQ(seen[0].body, "{\"a\": 1, \"b\": \"x\"}");
    EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
    EXPECT_EQ(seen[0].header("X-First"), "one");
    EXPECT_EQ(seen[0].header("Authorization"), "Bearer t0k");

    // An XML payload is sent as it stands and its reply comes back whole under "xml", its HTTP status
    // under "status".
    server.clear_requests();
    const std::string soap = "<?xml version=\"1.0\"?>\n<q>é &amp; ü</q>\n";
    EXPECT_EQ(http_request(base + "/xml", Json(Json::object{{"xml", soap}}), ""),
              Json(Json::object{{"xml", "<r a=\"1\">x</r>"}, {"status", 200}}));
    EXPECT_EQ(http_request(base + "/xml", Json(Json::object{{"xml", "<a>"}}), ""),
              Json(Json::object{{"xml", "<r a=\"1\">x</r>"}, {"status", 200}}));
    // "xml" that is not a string makes an ordinary JSON payload.
    EXPECT_TRUE(http_request(base + "/xml", Json(Json::object{{"xml", 5}}), "").is_null());
    seen = server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].body, soap);
    EXPECT_EQ(seen[0].header("Content-Type"), "application/xml");
    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_EQ(seen[1].header("Content-Type"), "application/xml");
    EXPECT_EQ(seen[2].method, "POST");
    EXPECT_EQ(seen[2].body, "{\"xml\": 5}");
    EXPECT_EQ(seen[2].header("Content-Type"), "application/json");

    // Replies that are not one JSON value, and unrouted paths, give null.
    EXPECT_TRUE(http_request(base + "/text", Json(), "").is_null());
    EXPECT_TRUE(http_request(base + "/missing", Json(), "").is_null());
}

TEST(HttpTransport, FailedTransfersGiveTheFailureResult) {
    std::string closed_url;
    {
        FakeServer gone;
        closed_url = gone.url();
    }
    EXPECT_TRUE(http_request(closed_url + "/x", Json(Json::object{{"a", 1}}), "").is_null());
    EXPECT_EQ(http_request(closed_url + "/x", Json(Json::object{{"xml", "<request/>"}}), ""),
              Json(Json::object{{"xml", ""}, {"status", 0}}));

    // Only http and https: a server-named address must not read local files.
    TempDir dir;
    const std::string secret = dir.write("secret.json", "{\"key\": \"value\"}");
    EXPECT_TRUE(http_request("file://" + secret, Json(), "").is_null());
    int calls = 0;
    download_file("file://" + secret, dir.path() + "copy", [&](Json value) {
        ++calls;
        EXPECT_TRUE(value.is_null());
    });
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "copy"));
}

TEST(HttpTransport, ServerThatNeverAnswersEndsInTheTimeOut) {
    ShortLowSpeedWindow short_window;
    FakeServer server;
    server.hang("*", "/silent");
    TempDir dir;

    const auto started = std::chrono::steady_clock::now();
    // GETs: with a request body the window starts only once the upload has averaged out.
    EXPECT_TRUE(http_request(server.url() + "/silent", Json(), "").is_null());
    EXPECT_EQ(http_request(server.url() + "/silent", Json(Json::object{{"xml", "<r/>"}}), ""),
              Json(Json::object{{"xml", ""}, {"status", 0}}));
    int calls = 0;
    download_file(server.url() + "/silent", dir.path() + "file", [&](Json) { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "file"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "file.part"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_EQ(server.request_count(), 3u);
}

// Closing the program gives up a request to a service that does not answer instead of waiting out
// its time limit; requests made afterwards work again.
TEST(HttpTransport, CancelledTransfersEndAtOnce) {
    FakeServer server;
    server.hang("*", "/silent");
    server.route("GET", "/ok", [](const httplib::Request&, httplib::Response& r) { r.set_content("{}", "application/json"); });

    const auto started = std::chrono::steady_clock::now();
    Json reply = Json(Json::object{{"pending", true}});
    std::thread worker([&] { reply = http_request(server.url() + "/silent", Json(), ""); });
    ASSERT_TRUE(server.wait_for_requests(1, std::chrono::seconds(10)));
    set_network_cancelled(true);
    worker.join();
    EXPECT_TRUE(reply.is_null());
    EXPECT_TRUE(http_request(server.url() + "/ok", Json(), "").is_null());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

    set_network_cancelled(false);
    EXPECT_EQ(http_request(server.url() + "/ok", Json(), ""), Json(Json::object{}));
}

TEST(HttpTransport, RepliesOverTheLimitAreRefused) {
    constexpr std::size_t hundred_mb = 100u * 1000 * 1000;
    FakeServer server;
    server.route("GET", "/announced", [](const httplib::Request&, httplib::Response& r) {
        serve_big_string(r, hundred_mb, true);
    });
    server.route("GET", "/streamed", [](const httplib::Request&, httplib::Response& r) {
        serve_big_string(r, hundred_mb, false);
    });
    server.route("GET", "/megabyte", [](const httplib::Request&, httplib::Response& r) {
        serve_big_string(r, 1u << 20, false);
    });

    EXPECT_TRUE(http_request(server.url() + "/announced", Json(), "").is_null());
    EXPECT_TRUE(http_request(server.url() + "/streamed", Json(), "").is_null());
    EXPECT_EQ(http_request(server.url() + "/streamed", Json(Json::object{{"xml", "<request/>"}}), "")["xml"], Json(""));
    // Well below the limit a large reply is whole.
    EXPECT_EQ(http_request(server.url() + "/megabyte", Json(), "").string_value().size(), (1u << 20) - 2);

    TempDir dir;
    int calls = 0;
    download_file(server.url() + "/streamed", dir.path() + "big", [&](Json) { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "big"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "big.part"));
}

TEST(HttpTransport, DownloadReplacesTheFileOnlyAfterACompleteTransfer) {
    FakeServer server;
    server.route("GET", "/file", [](const httplib::Request&, httplib::Response& r) {
        send_text(r, std::string("new\0bytes", 9), "application/octet-stream");
    });
    server.route("GET", "/empty", [](const httplib::Request&, httplib::Response& r) {
        send_text(r, "", "application/octet-stream");
    });
    server.route("GET", "/error", [](const httplib::Request&, httplib::Response& r) {
        r.status = 500;
        send_text(r, "<html>Internal error</html>", "text/html");
    });
    server.route("GET", "/cut", [](const httplib::Request&, httplib::Response& r) {
        r.set_content_provider(1000, "application/octet-stream",
                               [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                   if (offset > 0) return false;  // breaks off after 10 of 1000 bytes
                                   return sink.write("0123456789", 10);
                               });
    });
    TempDir dir;
    const std::string target = dir.write("logo", "old");
    int calls = 0;
    auto count = [&](Json value) {
        ++calls;
        EXPECT_TRUE(value.is_null());
    };

    for (const char* path : {"/empty", "/error", "/cut", "/missing"}) {
        download_file(server.url() + path, target, count);
        EXPECT_EQ(read_file(target), "old") << path;
        EXPECT_FALSE(std::filesystem::exists(target + ".part")) << path;
    }
    download_file(server.url() + "/file", target, count);
    EXPECT_EQ(read_file(target), std::string("new\0bytes", 9));
    EXPECT_FALSE(std::filesystem::exists(target + ".part"));
    EXPECT_EQ(calls, 5);

    // A download is a plain GET without the content type of requests.
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen.back().method, "GET");
    EXPECT_EQ(seen.back().header_count("Content-Type"), 0u);

    // A file that cannot be written is not fetched at all; the completion still runs once.
    download_file(server.url() + "/file", dir.path() + "no-such-folder/logo", count);
    EXPECT_EQ(calls, 6);
    EXPECT_EQ(server.request_count(), 5u);
}

TEST(HttpTransport, HttpsNeedsATrustedCertificate) {
    TempDir dir;
    const std::string cert = dir.path() + "cert.pem";
    const std::string key = dir.path() + "key.pem";
    ASSERT_TRUE(write_self_signed_certificate(cert, key));
    FakeServer server(FakeServer::Tls{cert, key});
    server.route("*", "/secure", [](const httplib::Request&, httplib::Response& r) {
        send_text(r, "{\"secure\": true}", "application/json");
    });
    ASSERT_EQ(server.url().rfind("https://127.0.0.1:", 0), 0u);

    {
        ScopedEnv no_ca("TAVRIN_CA_FILE", "");
        EXPECT_TRUE(http_request(server.url() + "/secure", Json(Json::object{{"a", 1}}), "").is_null());
        download_file(server.url() + "/secure", dir.path() + "copy", empty_completion());
        EXPECT_FALSE(std::filesystem::exists(dir.path() + "copy"));
        EXPECT_EQ(server.request_count(), 0u);
    }
    {
        ScopedEnv with_ca("TAVRIN_CA_FILE", cert);
        EXPECT_EQ(http_request(server.url() + "/secure", Json(Json::object{{"a", 1}}), ""),
                  Json(Json::object{{"secure", true}}));
        download_file(server.url() + "/secure", dir.path() + "copy", empty_completion());
        EXPECT_EQ(read_file(dir.path() + "copy"), "{\"secure\": true}");
    }
}
