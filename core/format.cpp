// Display formatting of numbers, money amounts, dates and postal addresses.
// The number and money formatters are written by hand: the standard money output of libstdc++
// has no minus sign and no leading zero in its classic data, and these run for every figure shown.
#include "core/Core.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

using json11::Json;

namespace {

// Defaults of a new database, used when the currencies setting is missing, not a list or empty.
Json::array default_currencies(bool hungarian) {
    if (hungarian)
        return {Json(Json::object{{"code", "HUF"}, {"digits_line", 0}, {"digits_total", 0}, {"decimal_point", ","},
                                  {"thousands_sep", " "}, {"symbol", "Ft"}, {"pattern", "3412"}})};
    return {Json(Json::object{{"code", "USD"}, {"digits_line", 2}, {"digits_total", 0}, {"decimal_point", "."},
                              {"thousands_sep", ","}, {"symbol", "$"}, {"pattern", "2034"}}),
            Json(Json::object{{"code", "EUR"}, {"digits_line", 2}, {"digits_total", 2}, {"decimal_point", ","},
                              {"thousands_sep", "."}, {"symbol", "€"}, {"pattern", "3412"}})};
}

bool usable_currency_list(const Json& list) {
    return list.is_array() && !list.array_items().empty() && list.array_items()[0].is_object();
}

// The first UTF-8 character of a text (a whole multi-byte sequence, never half of one).
std::string first_character(const std::string& text) {
    if (text.empty()) return text;
    std::size_t len = 1;
    while (len < text.size() && (static_cast<unsigned char>(text[len]) & 0xC0) == 0x80) ++len;
    return text.substr(0, len);
}

// The decimal point of an entry; an entry without one writes the C locale's point.
std::string decimal_point_of(const Json& entry) {
    std::string point = first_character(entry["decimal_point"].string_value());
    return point.empty() ? "." : point;
}

// What stands where a number is missing.
const char* const kMissing = "\u2014";

// Fixed notation of |value| with `decimals` digits after the point, in the C locale.
std::string fixed_digits(double value, int decimals) {
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::fixed, decimals);
    if (res.ec != std::errc()) return "0";
    return std::string(buf, res.ptr);
}

// Inserts `sep` between every two groups of three digits, counted from the right.
std::string grouped(std::string_view digits, const std::string& sep) {
    std::string out;
    out.reserve(digits.size() + digits.size() / 3 * sep.size());
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += sep;
        out += digits[i];
    }
    return out;
}

void append_number(std::string& out, int value, int width) {
    char buf[16];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    for (int len = static_cast<int>(res.ptr - buf); len < width; ++len) out += '0';
    out.append(buf, res.ptr);
}

// Reads the stored date text "%Y-%m-%dT%H:%M:%S", keeping the fields read before a mismatch.
// Returns false when year, month and day could not all be read.
bool parse_stored_date(const std::string& text, std::tm& tm) {
    std::size_t i = 0;
    auto number = [&](int max_digits, int min, int max, int& field) {
        int value = 0;
        int digits = 0;
        while (digits < max_digits && i < text.size() && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + (text[i] - '0');
            ++i, ++digits;
        }
        if (digits == 0 || value < min || value > max) return false;
        field = value;
        return true;
    };
    auto literal = [&](char c) {
        if (i >= text.size() || text[i] != c) return false;
        ++i;
        return true;
    };
    int year = 0, month = 0, day = 0;
    if (!number(4, 0, 9999, year) || !literal('-') || !number(2, 1, 12, month) || !literal('-') ||
        !number(2, 1, 31, day))
        return false;
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    int hour = 0, minute = 0, second = 0;
    if (literal('T') && number(2, 0, 23, hour)) {
        tm.tm_hour = hour;
        if (literal(':') && number(2, 0, 59, minute)) {
            tm.tm_min = minute;
            if (literal(':') && number(2, 0, 60, second)) tm.tm_sec = second;
        }
    }
    return true;
}

// The currency entry an amount is shown with: that of `code` in `currencies` (the account's list
// when empty, the defaults when it has none), else the first.
Json currency_entry(Core& core, Json::array currencies, const std::string& code) {
    if (currencies.empty()) {
        Json list = core.setting("currencies");
        currencies = usable_currency_list(list) ? list.array_items() : default_currencies(core.is_hungarian);
    }
    return Json(find_object(std::move(currencies), true, "code", code));
}

int shown_decimals(const Json& entry, bool total) {
    return std::clamp(entry[total ? "digits_total" : "digits_line"].int_value(), 0, 30);
}

// An amount laid out by its currency's pattern: `digits` are its minor units, without sign.
std::string laid_out(const Json& entry, std::string digits, int decimals, bool negative, bool missing) {
    const std::size_t d = static_cast<std::size_t>(decimals);
    if (d > 0 && digits.size() <= d) digits.insert(0, d + 1 - digits.size(), '0');

    std::string sep = first_character(entry["thousands_sep"].string_value());
    if (sep.empty()) sep = " ";
    std::string number = grouped(std::string_view(digits).substr(0, digits.size() - d), sep);
    if (d > 0) {
        number += decimal_point_of(entry);
        number.append(digits, digits.size() - d, d);
    }

    const std::string& pattern = entry["pattern"].string_value();
    std::string out;
    for (std::size_t i = 0; i < pattern.size() && i < 4; ++i) {
        switch (pattern[i]) {
            case '1': out += ' '; break;
            case '2': out += entry["symbol"].string_value(); break;
            case '3': if (negative && !missing) out += '-'; break;
            case '4': out += missing ? kMissing : number; break;
            default: break;  // '0' and any other character write nothing
        }
    }
    return out;
}

}  // namespace

std::string Core::formatted_rate(double rate) {
    if (!std::isfinite(rate) || !(rate > 0)) return kMissing;
    return fixed_digits(rate, 6);
}

std::string Core::formatted_num(double value, int decimals) {
    Json list = setting("currencies");
    if (!usable_currency_list(list)) list = Json(default_currencies(is_hungarian));
    const Json& entry = list.array_items()[0];

    const std::string& sep_text = entry["thousands_sep"].string_value();
    const std::string sep = (sep_text == "," || sep_text == "." || sep_text == "'") ? sep_text : " ";
    const std::string point = decimal_point_of(entry);

    if (!std::isfinite(value)) value = 0;
    if (decimals < 0) decimals = 0;
    if (decimals > 300) decimals = 300;

    std::string digits = fixed_digits(value, decimals);
    std::string_view int_part(digits);
    std::string_view fraction;
    if (decimals > 0) {
        std::size_t dot = digits.find('.');
        int_part = std::string_view(digits).substr(0, dot);
        fraction = std::string_view(digits).substr(dot + 1);
        // Only the zeros at the end of the fraction go; the integer part is never touched.
        while (!fraction.empty() && fraction.back() == '0') fraction.remove_suffix(1);
    }

    std::string out;
    if (std::signbit(value)) out += '-';
    out += grouped(int_part, sep);
    if (!fraction.empty()) {
        out += point;
        out += fraction;
    }
    return out;
}

std::string Core::formatted_curr(double value, std::string currency_code, bool total, json11::Json::array currencies) {
    const Json entry = currency_entry(*this, std::move(currencies), currency_code);
    const int decimals = shown_decimals(entry, total);

    // The amount in minor units; the sign follows the unrounded amount. No number is no amount.
    const bool missing = !std::isfinite(value);
    double minor = missing ? 0.0 : value * std::pow(10.0, decimals);
    if (!std::isfinite(minor)) minor = 0.0;
    return laid_out(entry, fixed_digits(minor, 0), decimals, minor < 0, missing);
}

std::string Core::formatted_cents(std::optional<std::int64_t> sum, std::string currency_code, bool total,
                                  json11::Json::array currencies) {
    if (!sum) return formatted_curr(std::numeric_limits<double>::quiet_NaN(), currency_code, total, std::move(currencies));
    const std::int64_t cents = *sum;
    const Json entry = currency_entry(*this, std::move(currencies), currency_code);
    const int decimals = shown_decimals(entry, total);

    // The magnitude as unsigned, so that the most negative sum has one too.
    const std::uint64_t units = cents < 0 ? 0 - static_cast<std::uint64_t>(cents) : static_cast<std::uint64_t>(cents);
    if (decimals >= 2)
        return laid_out(entry, std::to_string(units) + std::string(static_cast<std::size_t>(decimals - 2), '0'),
                        decimals, cents < 0, false);
    // Fewer decimals: an exact half goes to the even neighbour, as the formatter of doubles rounds it.
    const std::uint64_t step = decimals == 1 ? 10 : 100;
    std::uint64_t shown = units / step;
    const std::uint64_t rest = units % step;
    if (rest * 2 > step || (rest * 2 == step && shown % 2 == 1)) ++shown;
    return laid_out(entry, std::to_string(shown), decimals, cents < 0, false);
}

std::string Core::formatted_date(std::string date, std::string tmpl) {
    std::tm tm{};
    tm.tm_isdst = -1;
    if (!parse_stored_date(date, tm)) return "";

    if (tmpl.empty()) tmpl = setting("formats")["date"].string_value();
    if (tmpl.empty()) tmpl = is_hungarian ? "YYYY. MM. DD." : "YYYY-MM-DD";

    // Normalise through the calendar (a day past the month's end rolls over, a time inside a
    // daylight-saving gap moves) and take every field from the normalised date.
    tm.tm_wday = -1;
    std::time_t t = std::mktime(&tm);
    if (tm.tm_wday < 0) return "";
    std::tm local{};
    if (!localtime_r(&t, &local)) return "";

    const int year = local.tm_year + 1900;
    const int month = local.tm_mon + 1;
    std::string out;
    out.reserve(tmpl.size() + 16);
    // One left-to-right pass, longest token first, so an inserted month name is never read
    // as tokens itself.
    std::string_view rest(tmpl);
    while (!rest.empty()) {
        if (rest.starts_with("YYYY")) {
            append_number(out, year, 4);
            rest.remove_prefix(4);
        } else if (rest.starts_with("YY")) {
            append_number(out, ((year % 100) + 100) % 100, 2);
            rest.remove_prefix(2);
        } else if (rest.starts_with("MMM")) {
            if (local.tm_mon >= 0 && static_cast<std::size_t>(local.tm_mon) < month_names.size())
                out += month_names[local.tm_mon];
            rest.remove_prefix(3);
        } else if (rest.starts_with("MM")) {
            append_number(out, month, 2);
            rest.remove_prefix(2);
        } else if (rest.starts_with("M")) {
            append_number(out, month, 1);
            rest.remove_prefix(1);
        } else if (rest.starts_with("DD")) {
            append_number(out, local.tm_mday, 2);
            rest.remove_prefix(2);
        } else if (rest.starts_with("D")) {
            append_number(out, local.tm_mday, 1);
            rest.remove_prefix(1);
        } else {
            out += rest.front();
            rest.remove_prefix(1);
        }
    }
    // A stored text that carries a time of day shows it.
    if (date.size() > 10) {
        out += ' ';
        append_number(out, local.tm_hour, 2);
        out += ':';
        append_number(out, local.tm_min, 2);
    }
    return out;
}

std::string Core::formatted_address(bool single_line, std::map<std::string, std::string> fields) {
    const std::string& tmpl = constants["address_formats"][fields["country_code"]].string_value();
    if (tmpl.empty()) return "";

    const std::string& city = fields["city"];
    // The one-line form puts a comma after the city; the field-order query (city "city") and an
    // empty city get none.
    const std::string city_text = (single_line && !city.empty() && city != "city") ? city + ", " : city;

    // One pass over the template: field texts are inserted literally and never scanned again.
    std::string out;
    out.reserve(tmpl.size() + 64);
    std::string_view rest(tmpl);
    while (!rest.empty()) {
        if (rest.starts_with("_st_")) {
            out += fields["street"];
            rest.remove_prefix(4);
        } else if (rest.starts_with("_s_")) {
            out += fields["state"];
            rest.remove_prefix(3);
        } else if (rest.starts_with("_cc_")) {
            out += fields["country_code"];
            rest.remove_prefix(4);
        } else if (rest.starts_with("_c_")) {
            out += city_text;
            rest.remove_prefix(3);
        } else if (rest.starts_with("_p_")) {
            out += fields["postcode"];
            rest.remove_prefix(3);
        } else {
            out += (single_line && rest.front() == '\n') ? ' ' : rest.front();
            rest.remove_prefix(1);
        }
    }

    // A comma that would end the text goes (in one-line mode also when only blanks follow it,
    // as when the city is the last part written).
    std::size_t end = out.size();
    if (single_line)
        while (end > 0 && (out[end - 1] == ' ' || out[end - 1] == '\t' || out[end - 1] == '\n' ||
                           out[end - 1] == '\r' || out[end - 1] == '\v' || out[end - 1] == '\f'))
            --end;
    if (end > 0 && out[end - 1] == ',') out.erase(end - 1, 1);

    return normalize_whitespace(std::move(out));
}
