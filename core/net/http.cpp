// HTTP transport over libcurl's easy interface, and the shared completions of network operations.
#include "core/Core.h"
#include "core/net/net_internal.h"

#include <curl/curl.h>

#include <atomic>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

using json11::Json;

namespace {
constexpr long connect_timeout_seconds = 30;
std::atomic<long> low_speed_seconds{60};
std::atomic<bool> network_cancelled{false};

// Called by libcurl about once a second while a transfer runs (connecting included).
int cancel_check(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) { return network_cancelled.load() ? 1 : 0; }
}  // namespace

void set_network_cancelled(bool cancelled) { network_cancelled = cancelled; }

// libcurl's global set-up is not thread-safe and transfers run on several threads: do it once per
// process and never tear it down while the program runs.
bool curl_ready() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK; });
    return ready;
}

// Options of every transfer: certificates checked for every HTTPS host (with the configured extra CA
// file), only http and https (a server-chosen address must not read local files), bounded waiting
// and a bounded reply.
void set_common_options(void* handle, const std::string& url) {
    CURL* curl = static_cast<CURL*>(handle);
    EndpointConfig config = endpoint_config();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!config.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, config.ca_file.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, low_speed_seconds.load());
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(http_reply_limit));
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, cancel_check);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
}

namespace {

struct EasyHandle {
    CURL* curl = curl_ready() ? curl_easy_init() : nullptr;
    EasyHandle() = default;
    EasyHandle(const EasyHandle&) = delete;
    EasyHandle& operator=(const EasyHandle&) = delete;
    ~EasyHandle() {
        if (curl) curl_easy_cleanup(curl);
    }
};

struct HeaderList {
    curl_slist* list = nullptr;
    HeaderList() = default;
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;
    ~HeaderList() { curl_slist_free_all(list); }
    void append(const std::string& line) {
        if (curl_slist* grown = curl_slist_append(list, line.c_str())) list = grown;
    }
};


// Fetches `url` into `path` through `path`.part; the earlier file is replaced only by a complete,
// non-empty 2xx reply.
bool fetch_to_file(const std::string& url, const std::string& path) {
    const std::string part = path + ".part";
    std::FILE* file = std::fopen(part.c_str(), "wb");
    if (!file) return false;
    bool ok = false;
    {
        EasyHandle handle;
        if (handle.curl) {
            set_common_options(handle.curl, url);
            curl_easy_setopt(handle.curl, CURLOPT_WRITEFUNCTION, write_to_file);
            curl_easy_setopt(handle.curl, CURLOPT_WRITEDATA, file);
            long status = 0;
            ok = curl_easy_perform(handle.curl) == CURLE_OK &&
                 curl_easy_getinfo(handle.curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status >= 200 &&
                 status < 300;
        }
    }
    if (std::fclose(file) != 0) ok = false;
    struct stat st;
    if (ok) ok = stat(part.c_str(), &st) == 0 && st.st_size > 0;
    if (ok) ok = std::rename(part.c_str(), path.c_str()) == 0;
    if (!ok) unlink(part.c_str());
    return ok;
}

}  // namespace

std::size_t write_to_string(char* data, std::size_t size, std::size_t count, std::string* out) {
    const std::size_t bytes = size * count;
    if (bytes > http_reply_limit - out->size()) return 0;
    out->append(data, bytes);
    return bytes;
}

std::size_t write_to_file(char* data, std::size_t size, std::size_t count, std::FILE* file) {
    const long written = std::ftell(file);
    if (written < 0 || size * count > http_reply_limit - static_cast<std::size_t>(written)) return 0;
    return std::fwrite(data, size, count, file);
}

void set_http_low_speed_time(long seconds) {
    low_speed_seconds = seconds > 0 ? seconds : 60;
}

std::string query_escape(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

namespace {

// One request's reply: its text (empty when the transfer failed, not the part that happened to
// arrive: a time-out, a refused certificate, an oversized reply) and its HTTP status (0 then).
struct Transfer {
    std::string text;
    long status = 0;
};

Transfer transfer(const std::string& url, const std::string& body, bool xml, const std::string& headers,
                  long total_seconds) {
    EasyHandle handle;
    if (!handle.curl) return Transfer{};

    set_common_options(handle.curl, url);
    if (total_seconds > 0) curl_easy_setopt(handle.curl, CURLOPT_TIMEOUT, total_seconds);
    // Callers ask for a GET with a null, empty-object or empty-array payload.
    if (body.size() > 5) {
        curl_easy_setopt(handle.curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(handle.curl, CURLOPT_POSTFIELDS, body.c_str());
    }
    HeaderList header_list;
    header_list.append(xml ? "Content-Type: application/xml" : "Content-Type: application/json");
    if (!headers.empty()) {
        for (const std::string& line : split('\n', headers)) header_list.append(line);
    }
    curl_easy_setopt(handle.curl, CURLOPT_HTTPHEADER, header_list.list);

    Transfer result;
    curl_easy_setopt(handle.curl, CURLOPT_WRITEDATA, &result.text);
    curl_easy_setopt(handle.curl, CURLOPT_WRITEFUNCTION, write_to_string);
    if (curl_easy_perform(handle.curl) != CURLE_OK ||
        curl_easy_getinfo(handle.curl, CURLINFO_RESPONSE_CODE, &result.status) != CURLE_OK)
        return Transfer{};
    return result;
}

}  // namespace

Json http_request(std::string url, Json payload, std::string headers, long total_seconds) {
    if (payload["xml"].is_string()) {
        Transfer reply = transfer(url, payload["xml"].string_value(), true, headers, total_seconds);
        return Json(Json::object{{"xml", Json(std::move(reply.text))}, {"status", static_cast<double>(reply.status)}});
    }
    return Json::parse(http_request_text(url, payload, headers, total_seconds));
}

std::string http_request_text(const std::string& url, const Json& payload, const std::string& headers,
                              long total_seconds) {
    return transfer(url, payload.dump(), false, headers, total_seconds).text;
}

void download_file(std::string url, std::string path, JsonCallback done) {
    fetch_to_file(url, path);
    call_completion(done, Json());
}

void call_completion(const JsonCallback& done, Json value) {
    if (done) done(std::move(value));
}

JsonCallback forwarding_completion(JsonCallback done) {
    return [done = std::move(done)](Json result) { call_completion(done, std::move(result)); };
}

JsonCallback finishing_completion(JsonCallback done) {
    return [done = std::move(done)](Json) { call_completion(done, Json()); };
}

JsonCallback empty_completion() {
    return [](Json) {};
}
