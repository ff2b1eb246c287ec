#include "core/nav/xml.h"

#include <charconv>
#include <cstdint>

std::string xml_escaped(std::string_view text, bool attribute) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += attribute ? "&quot;" : "\""; break;
        case '\'': out += attribute ? "&apos;" : "'"; break;
        default:
            if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') break;  // not allowed in XML 1.0
            out += c;
        }
    }
    return out;
}

namespace {

void append_utf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The character of one reference body (the text between "&" and ";"), or false.
bool reference_value(std::string_view body, std::string& out) {
    if (body == "amp") return out += '&', true;
    if (body == "lt") return out += '<', true;
    if (body == "gt") return out += '>', true;
    if (body == "quot") return out += '"', true;
    if (body == "apos") return out += '\'', true;
    if (body.size() < 2 || body[0] != '#') return false;
    int base = 10;
    std::string_view digits = body.substr(1);
    if (digits[0] == 'x' || digits[0] == 'X') {
        base = 16;
        digits = digits.substr(1);
    }
    if (digits.empty()) return false;
    std::uint32_t code = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), code, base);
    if (error != std::errc() || end != digits.data() + digits.size()) return false;
    // Only characters XML can hold: no NUL, no surrogate halves, nothing above U+10FFFF.
    if (code == 0 || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
    append_utf8(out, code);
    return true;
}

}  // namespace

std::string xml_unescaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '&') {
            // References are short; a stray "&" must not make the scan look far ahead.
            const std::size_t end = text.find(';', i + 1);
            if (end != std::string_view::npos && end - i <= 12 && reference_value(text.substr(i + 1, end - i - 1), out)) {
                i = end + 1;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

std::string utc_text(std::time_t t, const char* format) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[40];
    const std::size_t size = std::strftime(buffer, sizeof buffer, format, &tm);
    return std::string(buffer, size);
}

std::vector<std::string> xml_elements(const std::string& xml, const std::string& name) {
    std::vector<std::string> contents;
    std::size_t at = 0;
    while ((at = xml.find('<', at)) != std::string::npos) {
        const std::size_t name_end = xml.find_first_of(" \t\r\n/>", at + 1);
        if (name_end == std::string::npos) break;
        const std::string qualified = xml.substr(at + 1, name_end - at - 1);
        const std::size_t colon = qualified.find(':');
        const std::string local = colon == std::string::npos ? qualified : qualified.substr(colon + 1);
        const std::size_t tag_end = xml.find('>', name_end);
        if (tag_end == std::string::npos) break;
        if (local != name || xml[tag_end - 1] == '/') {
            at = tag_end;
            continue;
        }
        const std::string closing = "</" + qualified + ">";
        const std::size_t end = xml.find(closing, tag_end + 1);
        if (end == std::string::npos) break;
        contents.push_back(xml.substr(tag_end + 1, end - tag_end - 1));
        at = end + closing.size();
    }
    return contents;
}
