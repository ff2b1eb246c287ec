#include "tests/fakes/cloud_fake.h"

using json11::Json;

namespace {

Json error_reply(const std::string& code, const std::string& reason) {
    return Json(Json::object{{"serverErrorCode", code}, {"reason", reason}, {"uuid", "00000000-fake-0000-0000-000000000000"}});
}

}  // namespace

CloudFake::CloudFake() {
    route("*", "/database/1/*", [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    });
}

CloudFake::~CloudFake() {
    stop();
}

ScopedEnv::Values CloudFake::env() const {
    return {{"TAVRIN_CLOUD_URL", url()}, {"TAVRIN_CLOUD_API_TOKEN", api_token}};
}

void CloudFake::reply(const std::string& endpoint, Json answer) {
    reply_text(endpoint, answer.dump());
}

void CloudFake::reply_text(const std::string& endpoint, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_[endpoint].push_back(std::move(text));
}

void CloudFake::require_web_auth_token(std::string token) {
    std::lock_guard<std::mutex> lock(mutex_);
    check_token_ = true;
    required_token_ = std::move(token);
}

std::vector<CloudCall> CloudFake::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

Json CloudFake::answer(const CloudCall&) {
    return Json(Json::object{});
}

void CloudFake::respond(const CloudCall& call, httplib::Response& response) {
    send_json(response, 200, answer(call));
}

void CloudFake::send_json(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json; charset=UTF-8");
}

void CloudFake::handle(const httplib::Request& request, httplib::Response& response) {
    CloudCall call;
    call.request = record(request);
    const std::string prefix = std::string("/database/1/") + container + "/production/private/";
    const std::string& path = call.request.path;
    call.endpoint = path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : "";
    call.api_token = call.request.query_value("ckAPIToken");
    call.web_auth_token = call.request.query_value("ckWebAuthToken");
    call.body = Json::parse(request.body);

    std::string queued;
    bool has_queued = false;
    bool token_refused = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
        token_refused = check_token_ && call.web_auth_token != required_token_;
        auto found = queued_.find(call.endpoint);
        if (!token_refused && found != queued_.end() && !found->second.empty()) {
            queued = std::move(found->second.front());
            found->second.pop_front();
            has_queued = true;
        }
    }

    if (call.endpoint.empty()) {
        send_json(response, 400, error_reply("BAD_REQUEST", "unknown database path " + path));
    } else if (call.api_token != api_token) {
        send_json(response, 401, error_reply("AUTHENTICATION_FAILED", "unknown API token"));
    } else if (token_refused) {
        Json::object body = error_reply("AUTHENTICATION_REQUIRED", "request needs authorization").object_items();
        body["redirectURL"] = url() + "/signin";
        send_json(response, 421, Json(body));
    } else if (has_queued) {
        response.status = 200;
        response.set_content(queued, "application/json; charset=UTF-8");
    } else {
        respond(call, response);
    }
}
