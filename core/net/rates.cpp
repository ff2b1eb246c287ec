// Exchange rates from the central bank's SOAP service.
#include "core/Core.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

using json11::Json;

namespace {

constexpr const char* bank_namespace = "http://www.mnb.hu/webservices/";
// Forints per one unit of a currency the bank has ever quoted lie well within these; a rate outside
// them is a reply gone wrong, not a rate.
constexpr double kLowestRate = 1e-4;
constexpr double kHighestRate = 1e5;

bool is_iso_day(const std::string& date) {
    if (date.size() != 10 || date[4] != '-' || date[7] != '-') return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (date[i] < '0' || date[i] > '9') return false;
    }
    return true;
}

std::string xml_escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, start)) {
        out.append(text, start, at - start);
        out += to;
        start = at + from.size();
    }
    out.append(text, start, std::string::npos);
    text = std::move(out);
}

// The number at the start of `text` from `at` on, as atof reads it but always with a decimal point.
double leading_number(const std::string& text, std::size_t at) {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    if (at < text.size() && text[at] == '+') {
        ++at;
        if (at < text.size() && text[at] == '-') return 0;
    }
    if (at >= text.size()) return 0;
    double value = 0;
    const auto result = std::from_chars(text.data() + at, text.data() + text.size(), value);
    return result.ec == std::errc() ? value : 0;
}

// The unit of the rate element that holds the currency at `at` (1 when it names none): rates of
// some currencies are quoted per 100 units. None when the unit is no positive whole number.
std::optional<long> rate_unit(const std::string& text, std::size_t at) {
    const std::string before = text.substr(0, at);
    const std::size_t element = before.rfind("Rate");
    const std::size_t unit = before.rfind("unit=");
    if (unit == std::string::npos || (element != std::string::npos && unit < element)) return 1;
    const char* digits = before.c_str() + unit + 5;
    const char* end = before.c_str() + before.size();
    long value = 0;
    const auto [stop, error] = std::from_chars(digits, end, value);
    if (error != std::errc() || value < 1 || (stop != end && !std::isspace(static_cast<unsigned char>(*stop))))
        return std::nullopt;
    return value;
}

double refused_rate(const char* why) {
    std::fprintf(stderr, "Tavrin: an exchange rate reply was refused (%s)\n", why);
    return 0;
}

double fetch_rate(const std::string& currency, const std::string& date) {
    // Only the "%Y-%m-%d" form can be cut into a day.
    if (!is_iso_day(date)) return 0;
    const int year = std::atoi(date.substr(0, 4).c_str());
    const int month = std::atoi(date.substr(5, 2).c_str()) - 1;
    const int day = std::atoi(date.substr(8).c_str());
    // Local noon, so that a daylight-saving change inside the week does not move the start day.
    std::tm noon = make_date(year, static_cast<short>(month), static_cast<short>(day));
    const std::time_t start_time = std::mktime(&noon) - 604800;
    std::tm start{};
    localtime_r(&start_time, &start);

    const std::string body = std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n") +
                             "<soap:Envelope xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                             "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
                             "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>\n"
                             "<GetExchangeRates xmlns=\"" +
                             bank_namespace + "\">\n<startDate>" + format_time(start, "%Y-%m-%d") +
                             "</startDate>\n<endDate>" + date + "</endDate>\n<currencyNames>" + xml_escaped(currency) +
                             "</currencyNames>\n</GetExchangeRates>\n</soap:Body>\n</soap:Envelope>\n";
    const Json reply =
        http_request(endpoint_config().rates_url + "/arfolyamok.asmx?wsdl", Json(Json::object{{"xml", body}}), "");

    // The rates come as escaped XML inside the SOAP reply, with decimal commas; stripping the escapes
    // and quotes leaves the currency code followed by its rate.
    std::string text = reply["xml"].string_value();
    replace_all(text, ",", ".");
    replace_all(text, "&gt;", "");
    replace_all(text, "&lt;", "");
    replace_all(text, "\"", "");
    if (text.empty() || currency.empty()) return 0;

    // A reply without the code (an error page, a code the bank does not list) holds no rate, whatever
    // numbers it shows.
    const std::size_t found = text.find(currency);
    if (found == std::string::npos) return 0;
    const std::optional<long> unit = rate_unit(text, found);
    if (!unit) return refused_rate("its unit is no positive whole number");
    const double rate = leading_number(text, found + currency.size()) / static_cast<double>(*unit);
    // "NaN", "INF" or a negative number is no rate: the caller sees the failure value.
    if (!std::isfinite(rate) || rate <= 0) return 0;
    if (rate < kLowestRate || rate > kHighestRate) return refused_rate("its rate lies outside any plausible range");
    return rate;
}

}  // namespace

void mnb_exchange_rates(std::string currency, std::string date, std::function<void(double)> done) {
    const double rate = fetch_rate(currency, date);
    if (done) done(rate);
}
