// Loopback HTTP(S) servers standing in for the remote services in tests. Each fake listens on a
// free port of 127.0.0.1, records every request it receives (in arrival order) and answers through
// the routes its owner registers.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// One request as the server received it.
struct RecordedRequest {
    std::string method;
    std::string target;  // path and query exactly as sent
    std::string path;    // the path without the query
    std::string query;   // the raw text after '?', empty when there is none
    httplib::Headers headers;
    std::string body;

    // The first value of a header (names compare without regard to case); empty when absent.
    std::string header(const std::string& name) const;
    std::size_t header_count(const std::string& name) const;
    // The raw (still escaped) value of a query parameter; empty when absent.
    std::string query_value(const std::string& name) const;
    // The query parameter names in the order sent.
    std::vector<std::string> query_names() const;
};

// Environment variables set for the life of the object, restored (or removed) afterwards; the
// configuration of remote addresses reads them on every request.
class ScopedEnv {
public:
    using Values = std::vector<std::pair<std::string, std::string>>;
    explicit ScopedEnv(const Values& values);
    ScopedEnv(const std::string& name, const std::string& value) : ScopedEnv(Values{{name, value}}) {}
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    struct Saved {
        std::string name;
        bool had_value;
        std::string value;
    };
    std::vector<Saved> saved_;
};

class FakeServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // Certificate and key files (PEM) for an HTTPS fake.
    struct Tls {
        std::string cert_file;
        std::string key_file;
    };

    FakeServer();
    explicit FakeServer(const Tls& tls);
    virtual ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    // "http://127.0.0.1:PORT" (or https).
    std::string url() const;
    int port() const { return port_; }

    // Answers requests of `method` ("GET", "POST", ...; "*" for any) whose path (without the query)
    // equals `path`, or begins with it when it ends in '*'. Later routes are tried first, so a test
    // can override a fake's own route. Unrouted requests get 404 with an empty body; all are recorded.
    void route(const std::string& method, const std::string& path, Handler handler);
    // A route that accepts the request and never answers (until the fake is destroyed).
    void hang(const std::string& method, const std::string& path);

    // The record of a request, as requests() holds it.
    static RecordedRequest record(const httplib::Request& request);

    std::vector<RecordedRequest> requests() const;
    std::size_t request_count() const;
    void clear_requests();
    // Waits until at least `count` requests have arrived; false when `limit` passes first.
    bool wait_for_requests(std::size_t count, std::chrono::milliseconds limit) const;

protected:
    // Stops serving and waits for running handlers. A subclass whose routes use its own members calls
    // this first in its destructor, so that no handler runs on a half-destroyed object.
    void stop();

private:
    struct Route {
        std::string method;
        std::string path;
        Handler handler;
    };
    void start();
    void dispatch(const httplib::Request& request, httplib::Response& response);

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    bool tls_ = false;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Route> routes_;
    std::vector<RecordedRequest> requests_;
    bool stopping_ = false;
    bool stopped_ = false;
};
