// The signed request envelope of the tax authority's invoice interface (version 3.0), and the
// reader of single values in its replies.
#include "core/Core.h"
#include "core/nav/xml.h"

#include <atomic>
#include <cstdint>
#include <string>

using json11::Json;

namespace {

constexpr const char* common_namespace = "http://schemas.nav.gov.hu/NTCA/1.0/common";
constexpr const char* api_namespace = "http://schemas.nav.gov.hu/OSA/3.0/api";
constexpr const char* software_block =
    "<software>"
    "<softwareId>41906253-TAVRIN-01</softwareId>"
    "<softwareName>TAVRIN</softwareName>"
    "<softwareOperation>LOCAL_SOFTWARE</softwareOperation>"
    "<softwareMainVersion>1</softwareMainVersion>"
    "<softwareDevName>Dunmaro</softwareDevName>"
    "<softwareDevContact>info@tavrin.hu</softwareDevContact>"
    "</software>";

// The counter of generated request ids and the last id number handed out. The service refuses a
// repeated id, so two threads must never get the same number, even when one of them reads the clock
// a second later than the other: an id is never lower than the previous one plus one.
std::atomic<std::int64_t> request_counter{0};
std::atomic<std::int64_t> last_request_number{0};

std::string text_member(const Json::object& credentials, const char* name) {
    auto found = credentials.find(name);
    return found == credentials.end() ? std::string() : found->second.string_value();
}

std::string request_id(const Json::object& credentials) {
    auto given = credentials.find("nav_number_formatted");
    if (given != credentials.end() && given->second.is_string()) return given->second.string_value();
    const std::int64_t count = request_counter.fetch_add(1) + 1;
    const std::int64_t wanted = static_cast<std::int64_t>(clock_now()) + count;
    std::int64_t previous = last_request_number.load();
    std::int64_t number;
    do {
        number = wanted > previous ? wanted : previous + 1;
    } while (!last_request_number.compare_exchange_weak(previous, number));
    return "RID_" + std::to_string(number);
}

std::string utc_text(std::time_t t, const char* format) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[40];
    const std::size_t size = std::strftime(buffer, sizeof buffer, format, &tm);
    return std::string(buffer, size);
}

std::string element(const char* name, const std::string& value) {
    return std::string("<") + name + ">" + xml_escaped(value) + "</" + name + ">";
}

}  // namespace

std::string nav_request_signature(const std::string& request_id, std::time_t request_time,
                                  const std::string& signing_key, const std::string& extra) {
    return sha3_512_hex(request_id + utc_text(request_time, "%Y%m%d%H%M%S") + signing_key + extra);
}

Json nav_request(std::string body, std::string request_element, std::string operation, Json::object credentials) {
    std::string base = endpoint_config().nav_url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    const std::string url = base + "/invoiceService/v3/" + operation;

    const std::string id = request_id(credentials);
    const std::time_t now = clock_now();  // one reading for the signature and the header
    const std::string signature = nav_request_signature(id, now, text_member(credentials, "nav_xml_alairokulcs"),
                                                        text_member(credentials, "request_signature_extra"));
    const std::string tax_number = text_member(credentials, "supplier_identifier_number").substr(0, 8);
    const std::string password_hash = sha512_hex(text_member(credentials, "nav_user_pwd"));

    std::string xml;
    xml.reserve(1500 + body.size());
    xml += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    xml += "<" + request_element + " xmlns:common=\"" + common_namespace + "\" xmlns=\"" + api_namespace + "\">";
    xml += "<common:header>";
    xml += element("common:requestId", id);
    xml += element("common:timestamp", utc_text(now, "%Y-%m-%dT%H:%M:%S.000Z"));
    xml += "<common:requestVersion>3.0</common:requestVersion>";
    xml += "<common:headerVersion>1.0</common:headerVersion>";
    xml += "</common:header>";
    xml += "<common:user>";
    xml += element("common:login", text_member(credentials, "nav_user_id"));
    xml += "<common:passwordHash cryptoType=\"SHA-512\">" + password_hash + "</common:passwordHash>";
    xml += element("common:taxNumber", tax_number);
    xml += "<common:requestSignature cryptoType=\"SHA3-512\">" + signature + "</common:requestSignature>";
    xml += "</common:user>";
    xml += software_block;
    xml += body;
    xml += "</" + request_element + ">";

    return http_request(url, Json(Json::object{{"xml", std::move(xml)}}), "");
}

std::string xml_tag_value(std::string xml, std::string tag) {
    // The first "<tag>text</" in document order, matched as text: a namespace prefix or any longer
    // name ending in the tag matches too. Scanned by hand, since a regular expression recurses per
    // character and replies can be long.
    const std::string opener = tag + ">";
    for (std::size_t at = xml.find(opener); at != std::string::npos; at = xml.find(opener, at + 1)) {
        const std::size_t start = at + opener.size();
        const std::size_t end = xml.find('<', start);
        if (end == std::string::npos) break;  // no later match can end in "</" either
        if (end > start && end + 1 < xml.size() && xml[end + 1] == '/')
            return xml_unescaped(std::string_view(xml).substr(start, end - start));
    }
    return "";
}
