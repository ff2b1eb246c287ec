#include "tests/fakes/cashbook_fake.h"

CashbookFake::CashbookFake(std::string accepted_token) : accepted_token_(std::move(accepted_token)) {
    route("POST", "/api/v3/document/pool/osa", [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    });
}

CashbookFake::~CashbookFake() {
    release();
    stop();
}

void CashbookFake::hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = true;
    held_ = false;
}

bool CashbookFake::wait_held(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return hold_changed_.wait_for(lock, limit, [this] { return held_; });
}

void CashbookFake::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_ = false;
    }
    hold_changed_.notify_all();
}

void CashbookFake::set_down(bool down) {
    std::lock_guard<std::mutex> lock(mutex_);
    down_ = down;
}

std::vector<std::string> CashbookFake::taken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return taken_;
}

ScopedEnv::Values CashbookFake::env() const {
    return {{"TAVRIN_CASHBOOK_URL", url()}};
}

void CashbookFake::handle(const httplib::Request& request, httplib::Response& response) {
    if (request.get_header_value("Authorization") != "Bearer " + accepted_token_) {
        response.status = 401;
        response.set_content("{\"error\":\"unauthorized\"}", "application/json");
        return;
    }
    if (request.get_header_value("Content-Type").rfind("application/xml", 0) != 0) {
        response.status = 415;
        response.set_content("{\"error\":\"unsupported media type\"}", "application/json");
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (down_) {
        response.status = 503;
        response.set_content("{\"error\":\"service unavailable\"}", "application/json");
        return;
    }
    if (holding_ && !held_) {
        held_ = true;
        hold_changed_.notify_all();
        hold_changed_.wait(lock, [this] { return !holding_; });
    }
    taken_.push_back(request.body);
    response.status = 201;
    response.set_content("{\"id\":" + std::to_string(next_id_++) + ",\"status\":\"RECEIVED\"}", "application/json");
}
