#include "tests/fakes/webshop_fake.h"

#include <algorithm>

using json11::Json;

namespace {

const char* const kOrdersPath = "/wp-json/wc/v3/orders";

int positive_param(const httplib::Request& request, const char* name, int fallback) {
    if (!request.has_param(name)) return fallback;
    try {
        const int value = std::stoi(request.get_param_value(name));
        return value > 0 ? value : -1;
    } catch (const std::exception&) {
        return -1;
    }
}

void send_json(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json; charset=UTF-8");
}

}  // namespace

WebshopFake::WebshopFake(std::string consumer_key, std::string consumer_secret)
    : key_(std::move(consumer_key)), secret_(std::move(consumer_secret)) {
    route("GET", kOrdersPath, [this](const httplib::Request& request, httplib::Response& response) {
        orders(request, response);
    });
}

WebshopFake::~WebshopFake() {
    stop();
}

void WebshopFake::add_order(Json order) {
    std::lock_guard<std::mutex> lock(mutex_);
    orders_.push_back(std::move(order));
}

void WebshopFake::fail(Fault fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = fault;
}

void WebshopFake::reply_raw(std::string body) {
    std::lock_guard<std::mutex> lock(mutex_);
    raw_replies_.push_back(std::move(body));
}

std::vector<RecordedRequest> WebshopFake::order_requests() const {
    std::vector<RecordedRequest> found;
    for (const RecordedRequest& request : requests()) {
        if (request.path == kOrdersPath) found.push_back(request);
    }
    return found;
}

void WebshopFake::orders(const httplib::Request& request, httplib::Response& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fault_ == Fault::status_500) {
        response.status = 500;
        response.set_content("<html><body><h1>Internal Server Error</h1></body></html>", "text/html");
        return;
    }
    // The query values arrive percent-decoded here, as the shop reads them.
    if (request.get_param_value("consumer_key") != key_ || request.get_param_value("consumer_secret") != secret_) {
        send_json(response, 401, Json::object{{"code", "woocommerce_rest_authentication_error"},
                                              {"message", "Invalid signature - provided signature does not match."},
                                              {"data", Json::object{{"status", 401}}}});
        return;
    }
    if (!raw_replies_.empty()) {
        response.status = 200;
        response.set_content(raw_replies_.front(), "application/json; charset=UTF-8");
        raw_replies_.erase(raw_replies_.begin());
        return;
    }
    const int page = positive_param(request, "page", 1);
    const int per_page = positive_param(request, "per_page", 10);
    if (page < 0 || per_page < 0 || per_page > 100) {
        send_json(response, 400, Json::object{{"code", "rest_invalid_param"}, {"message", "Invalid parameter(s)"}});
        return;
    }
    // "after" limits by creation time; ISO texts order as their times do.
    const std::string after = request.get_param_value("after");
    std::vector<Json> selected;
    for (const Json& order : orders_) {
        if (after.empty() || order["date_created"].string_value() > after) selected.push_back(order);
    }
    std::stable_sort(selected.begin(), selected.end(), [](const Json& a, const Json& b) {
        return a["date_created"].string_value() > b["date_created"].string_value();
    });
    Json::array reply;
    const std::size_t first = static_cast<std::size_t>(page - 1) * static_cast<std::size_t>(per_page);
    for (std::size_t i = first; i < selected.size() && i < first + static_cast<std::size_t>(per_page); ++i)
        reply.push_back(selected[i]);
    response.set_header("X-WP-Total", std::to_string(selected.size()));
    response.set_header("X-WP-TotalPages", std::to_string((selected.size() + per_page - 1) / per_page));
    const std::string text = Json(reply).dump();
    response.status = 200;
    response.set_content(fault_ == Fault::invalid_json ? text.substr(0, text.size() / 2) : text,
                         "application/json; charset=UTF-8");
}
