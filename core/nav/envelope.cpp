// The signed request envelope of the tax authority's invoice interface (version 3.0), and the
// reader of single values in its replies.
#include "core/Core.h"
#include "core/nav/xml.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstdint>
#include <random>
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

std::string text_member(const Json::object& credentials, const char* name) {
    auto found = credentials.find(name);
    return found == credentials.end() ? std::string() : found->second.string_value();
}

std::string request_id(const Json::object& credentials) {
    auto given = credentials.find("nav_number_formatted");
    if (given != credentials.end() && given->second.is_string()) return given->second.string_value();
    return nav_new_request_id();
}

std::string element(const char* name, const std::string& value) {
    return std::string("<") + name + ">" + xml_escaped(value) + "</" + name + ">";
}

}  // namespace

std::string nav_new_request_id() {
    // The service refuses an id it has seen from the taxpayer before, whichever installation sent it
    // and however long ago: the time, this run's counter and random letters make one that no restart,
    // clock change or other installation repeats. At most 2 + 7 + 1 + 14 + 4 characters.
    static std::atomic<std::uint32_t> counter{0};
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    auto base36 = [](std::uint64_t value, std::size_t most) {
        std::string out;
        do {
            out.insert(out.begin(), digits[value % 36]);
            value /= 36;
        } while (value && out.size() < most);
        return out;
    };
    const std::time_t now = clock_now();
    std::string id = "TV" + base36(static_cast<std::uint64_t>(now < 0 ? 0 : now), 7) + "_";
    std::random_device device;
    std::uniform_int_distribution<int> pick(0, 61);
    for (int i = 0; i < 14; ++i) id += digits[pick(device)];
    id += base36(counter.fetch_add(1) % (36u * 36u * 36u * 36u), 4);
    return id;
}

std::string nav_request_signature(const std::string& request_id, std::time_t request_time,
                                  const std::string& signing_key, const std::string& extra) {
    return sha3_512_hex(request_id + utc_text(request_time, "%Y%m%d%H%M%S") + signing_key + extra);
}

Json nav_request(std::string body, std::string request_element, std::string operation, Json::object credentials,
                 long total_seconds) {
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

    // Bounded as a whole: the settling of an unanswered report relies on no copy outliving it.
    const long limit = total_seconds > 0 ? std::min(total_seconds, nav_request_seconds()) : nav_request_seconds();
    return http_request(url, Json(Json::object{{"xml", std::move(xml)}}), "", limit);
}

long nav_request_seconds() {
    const char* given = std::getenv("TAVRIN_NAV_REQUEST_SECONDS");
    const long seconds = given && *given ? std::atol(given) : 0;
    return seconds >= 1 && seconds <= 600 ? seconds : 60;
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
