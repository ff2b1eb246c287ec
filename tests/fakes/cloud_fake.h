// Loopback stand-in for the cloud web services: every request goes to
//   POST /database/1/<container>/production/private/<endpoint>?ckAPIToken=..&ckWebAuthToken=..
// with a JSON body, and is answered with a JSON object. Replies are scripted per endpoint; a fake
// that keeps zones and records overrides answer().
#pragma once

#include "tests/fakes/fake_server.h"

#include "json11/json11.hpp"

#include <deque>
#include <map>

// One cloud request, taken apart.
struct CloudCall {
    std::string endpoint;        // e.g. "records/modify"
    std::string api_token;       // ckAPIToken as sent
    std::string web_auth_token;  // ckWebAuthToken as sent (still escaped)
    json11::Json body;           // the parsed request body (null when it was not JSON)
    RecordedRequest request;
};

class CloudFake : public FakeServer {
public:
    static constexpr const char* container = "iCloud.com.dunmaro.TavrinInvoice";
    static constexpr const char* api_token = "5c1e8a0f3b7d2c64e9a1f0b38d7c2e5a4b6f9d0c1e3a5b7d9f2c4e6a8b0d1f3e";

    CloudFake();
    ~CloudFake() override;

    // TAVRIN_CLOUD_URL and TAVRIN_CLOUD_API_TOKEN for this fake.
    ScopedEnv::Values env() const;

    // Queues a reply for the next request to `endpoint`; queued replies are served in order.
    void reply(const std::string& endpoint, json11::Json answer);
    // Queues a reply body that is sent as it stands (for replies that are not JSON).
    void reply_text(const std::string& endpoint, std::string text);
    // From now on requests whose ckWebAuthToken differs get AUTHENTICATION_REQUIRED with a
    // redirectURL pointing at this fake's sign-in path.
    void require_web_auth_token(std::string token);

    std::vector<CloudCall> calls() const;

protected:
    // The answer for a request when nothing is queued for its endpoint: an empty object.
    virtual json11::Json answer(const CloudCall& call);
    // Sends the answer for a request when nothing is queued for its endpoint: by default answer()
    // with status 200. A fake that breaks replies on purpose overrides this.
    virtual void respond(const CloudCall& call, httplib::Response& response);
    // Sends a JSON body with a status.
    static void send_json(httplib::Response& response, int status, const json11::Json& body);

private:
    void handle(const httplib::Request& request, httplib::Response& response);

    mutable std::mutex mutex_;
    std::map<std::string, std::deque<std::string>> queued_;
    std::vector<CloudCall> calls_;
    bool check_token_ = false;
    std::string required_token_;
};
