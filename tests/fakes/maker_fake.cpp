#include "tests/fakes/maker_fake.h"

#include <memory>

MakerFake::MakerFake() {
    route("GET", "/downloads/update_hu.txt", [this](const httplib::Request&, httplib::Response& response) {
        std::optional<std::string> content;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            content = version_file_;
        }
        serve_file(content, content ? content->size() : 0, response);
    });
    route("GET", "/downloads/update.msi", [this](const httplib::Request&, httplib::Response& response) {
        std::optional<std::string> content;
        std::size_t announced = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            content = installer_;
            announced = installer_announced_;
        }
        serve_file(content, announced, response);
    });
    route("POST", "/_app/error_log.php", [this](const httplib::Request& request, httplib::Response& response) {
        ErrorLog log;
        log.request = record(request);
        log.language = log.request.query_value("l");
        log.code = log.request.query_value("c");
        log.endpoint = log.request.query_value("m");
        log.body = json11::Json::parse(request.body);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            error_logs_.push_back(std::move(log));
        }
        response.set_content("OK", "text/plain");
    });
}

MakerFake::~MakerFake() {
    stop();
}

ScopedEnv::Values MakerFake::env() const {
    return {{"TAVRIN_MAKER_URL", url()}};
}

void MakerFake::set_version_file(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_file_ = std::move(text);
}

void MakerFake::set_installer(std::string bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    installer_announced_ = bytes.size();
    installer_ = std::move(bytes);
}

void MakerFake::set_broken_installer(std::string bytes, std::size_t announced) {
    std::lock_guard<std::mutex> lock(mutex_);
    installer_announced_ = announced;
    installer_ = std::move(bytes);
}

std::vector<MakerFake::ErrorLog> MakerFake::error_logs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_logs_;
}

void MakerFake::serve_file(const std::optional<std::string>& content, std::size_t announced,
                           httplib::Response& response) {
    if (!content) {
        response.status = 404;
        response.set_content("<html><body>Not Found</body></html>", "text/html");
        return;
    }
    auto bytes = std::make_shared<std::string>(*content);
    response.set_content_provider(
        announced, "application/octet-stream",
        [bytes](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            // Past the real content the transfer breaks off (a closed connection).
            if (offset >= bytes->size()) return false;
            std::size_t n = std::min(length, bytes->size() - offset);
            sink.write(bytes->data() + offset, n);
            return true;
        });
}
