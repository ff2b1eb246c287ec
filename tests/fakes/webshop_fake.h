// Loopback stand-in for a web shop's REST API (version 3): GET /wp-json/wc/v3/orders with the consumer
// key and secret in the query, the orders created after "after" (an ISO date and time), newest first,
// "per_page" of them (10 unless asked otherwise) on the page "page" (from 1); a page past the last is
// an empty array. Wrong keys get 401 with an error object, as the real service answers.
#pragma once

#include "tests/fakes/fake_server.h"

#include "json11/json11.hpp"

class WebshopFake : public FakeServer {
public:
    enum class Fault {
        none,
        status_500,    // an HTML error page with status 500
        invalid_json,  // status 200 with a reply cut off in the middle
    };

    WebshopFake(std::string consumer_key, std::string consumer_secret);
    ~WebshopFake() override;

    // An order as the shop serves it (members id, billing, date_created, currency, total, line_items).
    void add_order(json11::Json order);
    // Every orders request from now on is answered with `fault`.
    void fail(Fault fault);
    // The next orders request with the right keys is answered with this body (status 200), as the
    // shop's own orders would be.
    void reply_raw(std::string body);

    // The orders requests received, in order.
    std::vector<RecordedRequest> order_requests() const;

private:
    void orders(const httplib::Request& request, httplib::Response& response);

    mutable std::mutex mutex_;
    std::string key_;
    std::string secret_;
    std::vector<json11::Json> orders_;
    Fault fault_ = Fault::none;
    std::vector<std::string> raw_replies_;  // next first
};
