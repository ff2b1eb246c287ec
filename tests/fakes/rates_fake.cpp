#include "tests/fakes/rates_fake.h"

#include <optional>
#include <set>
#include <sstream>

namespace {

// The text of the first <name>...</name> element, or nullopt when there is none.
std::optional<std::string> element_text(const std::string& xml, const std::string& name) {
    const std::string open = "<" + name + ">";
    const std::string close = "</" + name + ">";
    std::size_t start = xml.find(open);
    if (start == std::string::npos) return std::nullopt;
    start += open.size();
    std::size_t end = xml.find(close, start);
    if (end == std::string::npos) return std::nullopt;
    return xml.substr(start, end - start);
}

std::set<std::string> currency_list(const std::string& text) {
    std::set<std::string> names;
    std::stringstream in(text);
    std::string name;
    while (std::getline(in, name, ',')) {
        if (!name.empty()) names.insert(name);
    }
    return names;
}

std::string envelope(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>" +
           body + "</s:Body></s:Envelope>";
}

void soap_fault(httplib::Response& response, const std::string& message) {
    response.status = 500;
    response.set_content(envelope("<s:Fault><faultcode>s:Client</faultcode><faultstring>" + message +
                                  "</faultstring></s:Fault>"),
                         "text/xml; charset=utf-8");
}

}  // namespace

RatesFake::RatesFake() {
    route("POST", "/arfolyamok.asmx", [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    });
}

RatesFake::~RatesFake() {
    stop();
}

ScopedEnv::Values RatesFake::env() const {
    return {{"TAVRIN_RATES_URL", url()}};
}

void RatesFake::add_rate(const std::string& date, const std::string& currency, const std::string& rate, int unit) {
    std::lock_guard<std::mutex> lock(mutex_);
    days_[date][currency] = {rate, unit};
}

std::vector<RatesFake::Query> RatesFake::queries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queries_;
}

void RatesFake::handle(const httplib::Request& request, httplib::Response& response) {
    const std::string& body = request.body;
    const auto start = element_text(body, "startDate");
    const auto end = element_text(body, "endDate");
    const auto currencies = element_text(body, "currencyNames");
    Query query;
    query.request = record(request);
    query.start_date = start.value_or("");
    query.end_date = end.value_or("");
    query.currencies = currencies.value_or("");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queries_.push_back(query);
    }
    if (body.find("<GetExchangeRates ") == std::string::npos || !start || !end || !currencies) {
        soap_fault(response, "Server was unable to read request.");
        return;
    }

    const std::set<std::string> wanted = currency_list(*currencies);
    std::string result = "&lt;MNBExchangeRates&gt;";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Days of the period that have a rate, newest first (ISO dates order as text).
        for (auto day = days_.rbegin(); day != days_.rend(); ++day) {
            if (day->first < *start || day->first > *end) continue;
            std::string rates;
            for (const auto& [currency, rate] : day->second) {
                if (!wanted.count(currency)) continue;
                rates += "&lt;Rate unit=\"" + std::to_string(rate.unit) + "\" curr=\"" + currency + "\"&gt;" + rate.text +
                         "&lt;/Rate&gt;";
            }
            if (!rates.empty()) result += "&lt;Day date=\"" + day->first + "\"&gt;" + rates + "&lt;/Day&gt;";
        }
    }
    result += "&lt;/MNBExchangeRates&gt;";
    response.set_content(envelope("<GetExchangeRatesResponse xmlns=\"http://www.mnb.hu/webservices/\" "
                                  "xmlns:i=\"http://www.w3.org/2001/XMLSchema-instance\"><GetExchangeRatesResult>" +
                                  result + "</GetExchangeRatesResult></GetExchangeRatesResponse>"),
                         "text/xml; charset=utf-8");
}
