// Small stateless helpers: look-ups in record lists, ASCII case conversion, splitting, dates,
// record names and Base64.
#include "core/Core.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>

json11::Json::object find_object(json11::Json::array list, bool first_when_none, std::string key, std::string value) {
    const std::string wanted = to_lower(std::move(value));
    for (const auto& element : list) {
        if (to_lower(element[key].string_value()) == wanted) return element.object_items();
    }
    if (!first_when_none || list.empty()) return {};
    return list.front().object_items();
}

int index_of(json11::Json::array list, std::string key, std::string value) {
    const json11::Json wanted(value);
    for (size_t i = 0; i < list.size(); ++i) {
        bool match = key.empty() ? list[i] == wanted : list[i][key].string_value() == value;
        if (match) return static_cast<int>(i);
    }
    return 0;
}

std::string to_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string to_upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::vector<std::string> split(char separator, std::string text) {
    // The text ends at its first zero byte, as a C string would.
    const size_t end = std::min(text.size(), text.find('\0'));
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        size_t stop = text.find(separator, start);
        if (stop == std::string::npos || stop >= end) {
            pieces.emplace_back(text, start, end - start);
            return pieces;
        }
        pieces.emplace_back(text, start, stop - start);
        start = stop + 1;
    }
}

std::tm local_time(std::int64_t t) {
    std::time_t when = t == 0 ? clock_now() : static_cast<std::time_t>(t);
    std::tm result{};
    localtime_r(&when, &result);
    return result;
}

std::tm make_date(int year, short month, short day) {
    std::tm tm = local_time(0);
    tm.tm_hour = 12;
    tm.tm_min = 0;
    tm.tm_sec = 0;
    tm.tm_year = year - 1900;
    tm.tm_mon = month;
    tm.tm_mday = day;
    std::time_t t = mktime(&tm);
    if (t == 0) return local_time(0);
    return local_time(t);
}

std::string iso_date(std::int64_t t) {
    return format_time(local_time(t), "%Y-%m-%d");
}

std::string format_time(const std::tm& tm, std::string format) {
    char buffer[30];
    size_t n = std::strftime(buffer, sizeof buffer, format.c_str(), &tm);
    return std::string(buffer, n);
}

int saturated_int(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    if (value <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

std::int64_t saturated_int64(double value) {
    if (std::isnan(value)) return 0;
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (value >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (value < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

std::int64_t cents_of(double amount) {
    if (!std::isfinite(amount)) return 0;
    // Held symmetric, so that the negated amount of a document taken away fits too.
    return std::max(saturated_int64(std::round(amount * 100)), -std::numeric_limits<std::int64_t>::max());
}

std::string new_record_name() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_upper(id, text);
    return to_upper(text);
}

std::string base64_encode(const std::string& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (bytes.size() > 3221225469u) throw std::length_error("Converting too large a string to base64.");
    std::string out(4 * ((bytes.size() + 2) / 3), '=');
    size_t pos = 0;
    unsigned buffer = 0;
    int bits = 0;
    for (unsigned char byte : bytes) {
        buffer = (buffer << 8) | byte;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out[pos++] = alphabet[(buffer >> bits) & 63];
        }
        buffer &= (1u << bits) - 1;  // keep only the bits not yet written
    }
    if (bits > 0) out[pos++] = alphabet[(buffer << (6 - bits)) & 63];
    return out;
}

std::string file_base64(std::string path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return base64_encode(bytes);
}
