// Money amounts of document lines and the per-tax summary of a document. Amounts stay unrounded
// doubles in the document's own currency; rounding belongs to display formatting.
#include "core/Core.h"
#include "core/store/store_internal.h"

#include <cmath>

namespace {

struct Rates {
    double r1 = 0;
    double r2 = 0;
    bool compound = false;
};

// The line's tax: the first whose id matches case-blind, else the first of the list, else none.
json11::Json::object line_tax(const json11::Json& line, const json11::Json::array& taxes) {
    return find_object(taxes, true, "id", line["tax_id"].string_value());
}

Rates rates_of(const json11::Json::object& tax_object) {
    const json11::Json tax(tax_object);
    Rates rates;
    rates.r1 = tax["rate"].number_value() / 100;
    rates.r2 = tax["rate2"].number_value() / 100;
    rates.compound = tax["compound"].int_value() == 1;
    // Rates that would take a price out of the gross by dividing by zero or a negative factor
    // (a rate of -100 %, say) give infinite or NaN amounts; such a tax is treated as no tax.
    const double sum = (rates.r2 + rates.r1) + 1;
    const bool bad = !(sum > 0) || (rates.compound && (!(rates.r1 + 1 > 0) || !(rates.r2 + 1 > 0)));
    if (bad) return Rates{};
    return rates;
}

double amount_with(short kind, short mode, const json11::Json& line, const Rates& rates) {
    const double r1 = rates.r1;
    const double r2 = rates.r2;
    const double s = (r2 + r1) + 1;

    double p = line["price"].number_value();
    const bool net_price = line["price_type"].string_value() == "NET";
    if (!net_price) p = rates.compound ? (p / (r2 + 1)) / (r1 + 1) : p / s;

    if (mode == 1 || mode == 2) {
        const double discount = line["discount"].number_value();
        double d;
        if (line["discount_type"].string_value() == "RATE") {
            d = (discount / 100) * p;
        } else {
            // A value discount is given like the price: net on a net line, gross otherwise.
            d = net_price ? discount : discount / s;
        }
        p = mode == 1 ? p - d : -d;
    }

    const double t1 = p * r1;
    const double t2 = rates.compound ? (t1 + p) * r2 : p * r2;
    const double q = line["quantity"].number_value();
    switch (kind) {
    case 0: return p;
    case 1: return p * q;
    case 2: return (t2 + t1) * q;
    case 10: return t1 * q;
    case 11: return t2 * q;
    default: return (t2 + (t1 + p)) * q;
    }
}

}  // namespace

namespace {

// Quantities and unit prices: the invoice data's 22 digits with 10 after the point.
constexpr double kLargestQuantity = 1e12;
// Money amounts: the invoice data would carry 16 digits before the point (18 with 2 after it), but
// amounts are doubles, and sums made in whole fillérs are exact only below store::kLargestAmount.
using store::kLargestAmount;

bool within(double value, double limit) {
    return std::isfinite(value) && std::fabs(value) < limit;
}

// An amount that is no number (an overflowing product) is stored as none rather than as NaN.
double finite_or_zero(double value) {
    return std::isfinite(value) ? value : 0.0;
}

}  // namespace

Core::LineLimit Core::line_limit(const json11::Json& line, const json11::Json::array& taxes, double exchange_rate) {
    if (!within(line["quantity"].number_value(), kLargestQuantity)) return LineLimit::Quantity;
    if (!within(line["price"].number_value(), kLargestQuantity) || !within(line["discount"].number_value(), kLargestQuantity))
        return LineLimit::Price;
    const Rates rates = rates_of(line_tax(line, taxes));
    const double rate = std::isfinite(exchange_rate) && exchange_rate > 0 ? exchange_rate : 1.0;
    for (short mode : {0, 1, 2})
        for (short kind : {0, 1, 2, 3}) {
            const double amount = amount_with(kind, mode, line, rates);
            if (!within(amount, kLargestAmount) || !within(amount * rate, kLargestAmount)) return LineLimit::Amount;
        }
    return LineLimit::Fits;
}

std::vector<Core::TotalLimit> Core::totals_limit(const TaxSummary& summary, double exchange_rate) {
    const double rate = std::isfinite(exchange_rate) && exchange_rate > 0 ? exchange_rate : 1.0;
    std::vector<TotalLimit> beyond;
    auto check = [&](TotalLimit::Kind kind, const std::string& label, double amount) {
        if (!within(amount, kLargestAmount))
            beyond.push_back({kind, label, false});
        else if (!within(amount * rate, kLargestAmount))
            beyond.push_back({kind, label, true});
    };
    check(TotalLimit::Kind::Net, "", summary.total_net);
    check(TotalLimit::Kind::Tax, "", summary.total_tax);
    check(TotalLimit::Kind::Gross, "", summary.total_gross);
    // Lines of opposite signs can leave a total small while the amounts of one tax are not. A single
    // label holds the totals themselves.
    if (summary.net.size() < 2) return beyond;
    for (const auto& [label, amount] : summary.net) check(TotalLimit::Kind::Net, label, amount);
    for (const auto& [label, amount] : summary.tax) check(TotalLimit::Kind::Tax, label, amount);
    for (const auto& [label, amount] : summary.gross) check(TotalLimit::Kind::Gross, label, amount);
    return beyond;
}

double Core::line_amount(short kind, short mode, json11::Json line) {
    return line_amount(kind, mode, line, setting("taxes").array_items());
}

double Core::line_amount(short kind, short mode, const json11::Json& line, const json11::Json::array& taxes) {
    return finite_or_zero(amount_with(kind, mode, line, rates_of(line_tax(line, taxes))));
}

TaxSummary Core::tax_summary(json11::Json lines) {
    return tax_summary(lines, setting("taxes").array_items());
}

TaxSummary Core::tax_summary(const json11::Json& lines, const json11::Json::array& taxes) {
    TaxSummary summary;
    for (const json11::Json& line : lines.array_items()) {
        const json11::Json tax(line_tax(line, taxes));
        const Rates rates = rates_of(tax.object_items());
        auto amount = [&](short kind) { return finite_or_zero(amount_with(kind, 1, line, rates)); };

        const double net = amount(1);
        const double gross = amount(3);
        if (tax["rate2"].number_value() > 0) {
            const std::string& name = tax["name"].string_value();
            const std::string first = name + " | " + tax["summary_name"].string_value();
            const std::string second = name + " | " + tax["summary_name2"].string_value();
            summary.net[first] += 0;
            summary.tax[first] += amount(10);
            summary.gross[first] += gross;
            summary.net[second] += net;
            summary.tax[second] += amount(11);
            summary.gross[second] = 0;
        } else {
            const std::string& label = tax["summary_name"].string_value();
            summary.net[label] += net;
            summary.tax[label] += amount(10);
            summary.gross[label] += gross;
        }
        summary.total_net += net;
        summary.total_tax += amount(2);
        summary.total_gross += gross;
    }
    return summary;
}
