// Loopback stand-in for the accounting service's document pool:
//   POST /api/v3/document/pool/osa, "Content-Type: application/xml", "Authorization: Bearer <token>",
//   "X-Request-ID: <id>", the invoice data XML as the body.
// A request with the accepted token and an XML body gets 201 with a JSON receipt; a wrong token 401,
// another content type 415, each with a JSON error body; while it is down, 503.
#pragma once

#include "tests/fakes/fake_server.h"

#include <chrono>
#include <condition_variable>

class CashbookFake : public FakeServer {
public:
    explicit CashbookFake(std::string accepted_token);
    ~CashbookFake() override;

    // TAVRIN_CASHBOOK_URL for this fake.
    ScopedEnv::Values env() const;

    // The next upload waits in the server until release(); wait_held() waits (at most `limit`) until
    // it has arrived.
    void hold();
    bool wait_held(std::chrono::milliseconds limit);
    void release();

    // While down, every upload is answered 503 and not taken.
    void set_down(bool down);
    // The bodies of the uploads it took (answered 201), in arrival order.
    std::vector<std::string> taken() const;

private:
    void handle(const httplib::Request& request, httplib::Response& response);

    std::string accepted_token_;
    mutable std::mutex mutex_;
    bool down_ = false;
    std::vector<std::string> taken_;
    int next_id_ = 1;
    std::condition_variable hold_changed_;
    bool holding_ = false;
    bool held_ = false;
};
