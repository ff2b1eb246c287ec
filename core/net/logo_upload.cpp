// The account's logo as a cloud asset: an upload address from the database, the picture sent there as
// a multipart form, the receipt saved as the "Assets" record, and the local copy.
#include "core/Core.h"
#include "core/net/net_internal.h"

#include <curl/curl.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <unistd.h>

using json11::Json;

namespace {

std::string lower_ascii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The upload address comes from the server: only https, and plain http to this machine (tests), are
// followed, so a reply cannot make the program send the picture elsewhere or read local files.
bool usable_upload_url(const std::string& url) {
    const std::string lower = lower_ascii(url);
    if (lower.rfind("https://", 0) == 0) return lower.size() > 8;
    if (lower.rfind("http://", 0) != 0) return false;
    const std::string rest = lower.substr(7);
    for (const char* host : {"127.0.0.1", "localhost", "[::1]"}) {
        const std::string h(host);
        if (rest.compare(0, h.size(), h) == 0 &&
            (rest.size() == h.size() || rest[h.size()] == ':' || rest[h.size()] == '/'))
            return true;
    }
    return false;
}

// Posts the file as the one form part "upload_file" (named after the file, as a browser does);
// gives the parsed reply, null when the transfer failed.
Json post_file(const std::string& url, const std::string& path) {
    if (!curl_ready()) return Json();
    CURL* curl = curl_easy_init();
    if (!curl) return Json();
    curl_mime* form = curl_mime_init(curl);
    curl_mimepart* part = curl_mime_addpart(form);
    curl_mime_name(part, "upload_file");
    bool ok = curl_mime_filedata(part, path.c_str()) == CURLE_OK;

    std::string reply;
    set_common_options(curl, url);
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, form);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_to_string);
    if (ok) ok = curl_easy_perform(curl) == CURLE_OK;
    curl_easy_cleanup(curl);
    curl_mime_free(form);
    return ok ? Json::parse(reply) : Json();
}

// Copies the picture over the logo file in one step: a source that cannot be read, or a copy that
// fails half-way, leaves the earlier logo as it was.
bool copy_logo(const std::string& source, const std::string& target) {
    std::ifstream in(source, std::ios::binary);
    if (!in) return false;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    const std::string part = target + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            unlink(part.c_str());
            return false;
        }
    }
    if (std::rename(part.c_str(), target.c_str()) != 0) {
        unlink(part.c_str());
        return false;
    }
    return true;
}

bool readable(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return static_cast<bool>(in);
}

Json upload_failed(const std::string& reason) {
    return Json(Json::object{{"serverErrorCode", "UPLOAD_FAILED"}, {"reason", reason}});
}

}  // namespace

void Core::upload_logo_asset(std::string source_path, std::string logo_name, JsonCallback done) {
    // The sample company is never synchronised.
    if (current_account == "DEMO") {
        copy_logo(source_path, data_folder + logo_name);
        call_completion(done, Json());
        return;
    }
    const Json body(Json::object{{"tokens", Json::object{{"fieldName", "data"}, {"recordType", "Assets"}}},
                                 {"zoneID", Json::object{{"zoneName", current_account.get()}}}});
    cloudkit_request("assets/upload", body, [&](Json reply) {
        upload_asset_file(std::move(reply), source_path, logo_name, done);
    });
}

void Core::upload_asset_file(Json reply, const std::string& source_path, const std::string& logo_name,
                             const JsonCallback& done) {
    if (reply.is_null() || !reply["serverErrorCode"].string_value().empty()) {
        call_completion(done, std::move(reply));
        return;
    }
    const std::string& url = reply["tokens"][0]["url"].string_value();
    if (!readable(source_path)) {
        call_completion(done, upload_failed("the picture cannot be read"));
        return;
    }
    if (!usable_upload_url(url)) {
        call_completion(done, upload_failed("no usable upload address"));
        return;
    }
    const Json uploaded = post_file(url, source_path);
    const Json& file = uploaded["singleFile"];
    // Without a receipt the cloud has no file: a record pointing at nothing would only look like success.
    if (file["receipt"].string_value().empty()) {
        call_completion(done, upload_failed("the picture was not accepted"));
        return;
    }
    const Json receipt(Json::object{{"fileChecksum", file["fileChecksum"].string_value()},
                                    {"receipt", file["receipt"].string_value()},
                                    {"referenceChecksum", file["referenceChecksum"].string_value()},
                                    {"size", file["size"].number_value()},
                                    {"wrappingKey", file["wrappingKey"].string_value()}});
    const Json body(Json::object{
        {"operations",
         Json::object{{"operationType", "forceReplace"},
                      {"record", Json::object{{"recordType", "Assets"},
                                              {"recordName", logo_name},
                                              {"fields", Json::object{{"data", Json::object{{"value", receipt}}}}}}}}},
        {"zoneID", Json::object{{"zoneName", current_account.get()}}}});
    cloudkit_request("records/modify", body, [&](Json saved) {
        on_logo_uploaded(std::move(saved), source_path, logo_name, done);
    });
}

void Core::on_logo_uploaded(Json reply, const std::string& source_path, const std::string& logo_name,
                            const JsonCallback& done) {
    copy_logo(source_path, data_folder + logo_name);
    call_completion(done, std::move(reply));
}
