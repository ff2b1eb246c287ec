// Requests to the account's private cloud database, the web-auth token file and the sign-in page.
#include "core/Core.h"
#include "core/net/net_internal.h"

#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using json11::Json;

namespace {

// A JavaScript string literal of `text` that cannot end the string or the surrounding script element.
std::string js_string(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '<') {
            out += "\\u003c";
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c == 0xe2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xa8 || static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
            // U+2028 and U+2029 end a line inside older script engines' string literals.
            out += static_cast<unsigned char>(text[i + 2]) == 0xa8 ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

// A request as the error log gets it: its shape, record names and field names, without the values
// the fields carry (names, addresses, tax numbers, invoice content).
Json without_values(const Json& value) {
    if (value.is_array()) {
        Json::array items;
        for (const Json& item : value.array_items()) items.push_back(without_values(item));
        return items;
    }
    if (!value.is_object()) return value;
    Json::object members;
    for (const auto& [name, member] : value.object_items())
        members[name] = name == "value" ? Json() : without_values(member);
    return members;
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

void Core::cloudkit_request(std::string endpoint, Json body, JsonCallback done) {
    call_completion(done, cloudkit_exchange(endpoint, body).value);
}

Core::CloudReply Core::cloudkit_exchange(const std::string& endpoint, const Json& body) {
    const std::string token = load_web_auth_token();
    const EndpointConfig config = endpoint_config();
    const std::string url = config.cloud_url + "/database/1/" + config.cloud_container + "/production/private/" +
                            endpoint + "?ckAPIToken=" + config.cloud_api_token + "&ckWebAuthToken=" + token;
    CloudReply reply;
    reply.text = http_request_text(url, body, "");
    reply.value = Json::parse(reply.text);

    const std::string& code = reply.value["serverErrorCode"].string_value();
    if (!code.empty() && code != "AUTHENTICATION_REQUIRED") {
        const std::string log_url = config.maker_url + "/_app/error_log.php?l=" + (is_hungarian ? "hu" : "en") +
                                    "&c=" + query_escape(code) + "&m=" + query_escape(endpoint);
        http_request(log_url,
                     Json(Json::object{{"reason", reply.value["reason"].string_value()}, {"sent", without_values(body).dump()}}), "");
    }
    return reply;
}

// The token is stored ready for a URL query. It is a credential: the file is private to the user and
// replaced in one step, so a reader on another thread never sees half a token.
void Core::save_web_auth_token(std::string token) {
    std::string text;
    text.reserve(token.size());
    for (char c : token) {
        if (c == '"') continue;
        if (c == '=') text += "%3D";
        else if (c == '+') text += "%2B";
        else if (c == '/') text += "%2F";
        else text += c;
    }
    const std::string path = data_folder + "tvrat";
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return;
    bool ok = fchmod(fd, 0600) == 0 && write_all(fd, text) && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) unlink(temp.c_str());
}

std::string Core::load_web_auth_token() {
    std::ifstream in(data_folder + "tvrat");
    std::string token;
    in >> token;
    return token;
}

std::string Core::cloudkit_signin_page(std::string signin_url) {
    const std::string picture = file_base64(app_folder + "connecting_" + language + ".png");
    return "<script>window.addEventListener('message', function(e) {"
           "window.chrome.webview.postMessage"
           "(e.data.ckSession);});"
           "window.addEventListener('load', function() {"
           "var newWindow = window.open('');"
           "var meta = newWindow.document.createElement('meta');"
           "meta.name = 'viewport';"
           "meta.content = 'width=device-width, initial-scale=1.0, maximum-scale=1.0, user-scalable=0';"
           "newWindow.document.getElementsByTagName('head')[0].appendChild(meta);"
           "newWindow.document.body.style.background = \"#fff url('data:image/png;base64," +
           picture +
           "') no-repeat center center\";"
           "function signin() {newWindow.location.href = " +
           js_string(signin_url) +
           ";}"
           "newWindow.setTimeout(signin, 500);"
           "} );</script>";
}
