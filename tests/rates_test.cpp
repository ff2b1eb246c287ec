// Exchange-rate replies that hold no usable rate, against the loopback bank service: the caller
// always gets its failure value 0 instead of a made-up rate.
#include "core/Core.h"
#include "tests/fakes/rates_fake.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace {

double rate_of(const std::string& currency, const std::string& date) {
    int calls = 0;
    double rate = -1;
    mnb_exchange_rates(currency, date, [&](double value) {
        ++calls;
        rate = value;
    });
    EXPECT_EQ(calls, 1);
    return rate;
}

}  // namespace

TEST(ExchangeRates, RepliesWithoutAUsableRateGiveNoRate) {
    RatesFake bank;
    ScopedEnv bank_env(bank.env());
    const std::string day = "2024-03-08";
    bank.add_rate(day, "EUR", "NaN");
    bank.add_rate(day, "USD", "inf");
    bank.add_rate(day, "GBP", "-393,51");
    bank.add_rate(day, "CHF", "0");
    bank.add_rate(day, "JPY", "-246,12", 100);
    bank.add_rate(day, "SEK", "infinity", 100);
    bank.add_rate(day, "NOK", "1e999");
    // Beyond any plausible rate, and a unit that is no positive whole number.
    bank.add_rate(day, "ISK", "1e308");
    bank.add_rate(day, "KRW", "1e-300");
    bank.add_rate(day, "RON", "88,12", -100);
    bank.add_rate(day, "CZK", "16,05");
    bank.add_rate(day, "PLN", "9140,5", 100);

    testing::internal::CaptureStderr();
    for (const char* currency : {"EUR", "USD", "GBP", "CHF", "JPY", "SEK", "NOK", "ISK", "KRW", "RON"})
        EXPECT_EQ(rate_of(currency, day), 0.0) << currency;
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("outside any plausible range"), std::string::npos) << log;
    EXPECT_NE(log.find("unit is no positive whole number"), std::string::npos) << log;
    // Sound rates beside them are still read, per unit.
    EXPECT_DOUBLE_EQ(rate_of("CZK", day), 16.05);
    EXPECT_DOUBLE_EQ(rate_of("PLN", day), 91.405);
    // An empty code names no currency, though the reply is full of numbers.
    EXPECT_EQ(rate_of("", day), 0.0);

    // Error pages from a proxy in front of the service: numbers, but no currency code before them.
    // Each page is a route of its own (later routes are tried first).
    auto serve = [&bank](int status, const std::string& page) {
        bank.route("POST", "/arfolyamok.asmx", [status, page](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            response.set_content(page, "text/html");
        });
    };
    serve(502, "<h1>502 Bad Gateway</h1><p>proxy</p>");
    EXPECT_EQ(rate_of("CZK", day), 0.0);
    serve(429, "  42 requests too many");
    EXPECT_EQ(rate_of("CZK", day), 0.0);
    // A page that names the code without a number after it.
    serve(500, "<html><body>Unknown currency CZK, try again</body></html>");
    EXPECT_EQ(rate_of("CZK", day), 0.0);
    EXPECT_EQ(bank.request_count(), 16u);
}
