// Loopback stand-in for the maker's web server: the update files under /downloads/ and the error
// log script /_app/error_log.php?l=..&c=..&m=.. (a JSON body of "reason" and "sent").
#pragma once

#include "tests/fakes/fake_server.h"

#include "json11/json11.hpp"

#include <optional>

class MakerFake : public FakeServer {
public:
    // One report to the error log; the query values as sent (not unescaped).
    struct ErrorLog {
        std::string language;  // l
        std::string code;      // c
        std::string endpoint;  // m
        json11::Json body;     // the parsed body (null when it was not JSON)
        RecordedRequest request;
    };

    MakerFake();
    ~MakerFake() override;

    // TAVRIN_MAKER_URL for this fake.
    ScopedEnv::Values env() const;

    // The version file /downloads/update_hu.txt; without one the path answers 404.
    void set_version_file(std::string text);
    // The installer /downloads/update.msi; without one the path answers 404.
    void set_installer(std::string bytes);
    // An installer transfer that breaks off: announces `announced` bytes, sends `bytes`, then closes.
    void set_broken_installer(std::string bytes, std::size_t announced);

    std::vector<ErrorLog> error_logs() const;

private:
    void serve_file(const std::optional<std::string>& content, std::size_t announced, httplib::Response& response);

    mutable std::mutex mutex_;
    std::optional<std::string> version_file_;
    std::optional<std::string> installer_;
    std::size_t installer_announced_ = 0;
    std::vector<ErrorLog> error_logs_;
};
