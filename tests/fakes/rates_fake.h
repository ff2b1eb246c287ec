// Loopback stand-in for the central bank's exchange-rate SOAP service: POST /arfolyamok.asmx with a
// GetExchangeRates envelope (startDate, endDate, currencyNames). The reply's GetExchangeRatesResult
// holds the rates as escaped XML, newest day first:
//   <MNBExchangeRates><Day date="2024-03-08"><Rate unit="1" curr="EUR">393,51</Rate></Day>...
#pragma once

#include "tests/fakes/fake_server.h"

#include <map>

class RatesFake : public FakeServer {
public:
    // One GetExchangeRates request, taken apart.
    struct Query {
        std::string start_date;
        std::string end_date;
        std::string currencies;
        RecordedRequest request;
    };

    RatesFake();
    ~RatesFake() override;

    // TAVRIN_RATES_URL for this fake.
    ScopedEnv::Values env() const;

    // The rate of `currency` on `date` ("YYYY-MM-DD"), written as the bank writes it (decimal comma),
    // per `unit` units of the currency.
    void add_rate(const std::string& date, const std::string& currency, const std::string& rate, int unit = 1);

    std::vector<Query> queries() const;

private:
    struct Rate {
        std::string text;
        int unit;
    };
    void handle(const httplib::Request& request, httplib::Response& response);

    mutable std::mutex mutex_;
    std::map<std::string, std::map<std::string, Rate>> days_;  // date -> currency -> rate
    std::vector<Query> queries_;
};
