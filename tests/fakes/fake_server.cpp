#include "tests/fakes/fake_server.h"

#include <cstdlib>
#include <stdexcept>

std::string RecordedRequest::header(const std::string& name) const {
    auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

std::size_t RecordedRequest::header_count(const std::string& name) const {
    return headers.count(name);
}

namespace {

std::vector<std::pair<std::string, std::string>> query_pairs(const std::string& query) {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (query.empty()) return pairs;
    std::size_t start = 0;
    while (true) {
        std::size_t end = query.find('&', start);
        std::string piece = query.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::size_t equals = piece.find('=');
        if (equals == std::string::npos) pairs.emplace_back(piece, "");
        else pairs.emplace_back(piece.substr(0, equals), piece.substr(equals + 1));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return pairs;
}

bool path_matches(const std::string& route, const std::string& path) {
    if (!route.empty() && route.back() == '*') return path.compare(0, route.size() - 1, route, 0, route.size() - 1) == 0;
    return path == route;
}

}  // namespace

std::string RecordedRequest::query_value(const std::string& name) const {
    for (const auto& [key, value] : query_pairs(query)) {
        if (key == name) return value;
    }
    return "";
}

std::vector<std::string> RecordedRequest::query_names() const {
    std::vector<std::string> names;
    for (const auto& pair : query_pairs(query)) names.push_back(pair.first);
    return names;
}

ScopedEnv::ScopedEnv(const Values& values) {
    for (const auto& [name, value] : values) {
        const char* old = std::getenv(name.c_str());
        saved_.push_back({name, old != nullptr, old ? old : ""});
        setenv(name.c_str(), value.c_str(), 1);
    }
}

ScopedEnv::~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->had_value) setenv(it->name.c_str(), it->value.c_str(), 1);
        else unsetenv(it->name.c_str());
    }
}

FakeServer::FakeServer() : server_(std::make_unique<httplib::Server>()) {
    start();
}

FakeServer::FakeServer(const Tls& tls)
    : server_(std::make_unique<httplib::SSLServer>(tls.cert_file.c_str(), tls.key_file.c_str())), tls_(true) {
    if (!server_->is_valid()) throw std::runtime_error("fake server: unusable certificate or key");
    start();
}

void FakeServer::start() {
    auto handler = [this](const httplib::Request& request, httplib::Response& response) { dispatch(request, response); };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->Put(".*", handler);
    server_->Patch(".*", handler);
    server_->Delete(".*", handler);
    server_->Options(".*", handler);
    // The socket listens once bound, so requests queue up even before the accept loop runs.
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("fake server: no free port on 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() only takes effect on a running accept loop, so a fake destroyed at once must wait for it.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

FakeServer::~FakeServer() {
    stop();
}

void FakeServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string FakeServer::url() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void FakeServer::route(const std::string& method, const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_.push_back({method, path, std::move(handler)});
}

void FakeServer::hang(const std::string& method, const std::string& path) {
    route(method, path, [this](const httplib::Request&, httplib::Response&) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stopping_; });
    });
}

std::vector<RecordedRequest> FakeServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::size_t FakeServer::request_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

void FakeServer::clear_requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

bool FakeServer::wait_for_requests(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
}

RecordedRequest FakeServer::record(const httplib::Request& request) {
    RecordedRequest recorded;
    recorded.method = request.method;
    recorded.target = request.target;
    std::size_t question = request.target.find('?');
    recorded.path = request.target.substr(0, question);
    recorded.query = question == std::string::npos ? std::string() : request.target.substr(question + 1);
    recorded.headers = request.headers;
    recorded.body = request.body;
    return recorded;
}

void FakeServer::dispatch(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest recorded = record(request);
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(recorded);
        for (auto it = routes_.rbegin(); it != routes_.rend(); ++it) {
            if ((it->method == "*" || it->method == request.method) && path_matches(it->path, recorded.path)) {
                handler = it->handler;
                break;
            }
        }
    }
    changed_.notify_all();
    if (handler) {
        handler(request, response);
    } else {
        response.status = 404;
    }
}
