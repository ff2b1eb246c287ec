// Line amounts and the per-tax summary of documents.
#include "core/Core.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cmath>

using json11::Json;

namespace {

Json tax(const std::string& id, const std::string& name, const std::string& summary_name, double rate,
         const std::string& summary_name2 = "", double rate2 = 0, int compound = 0) {
    return Json::object{{"id", id},       {"name", name},   {"summary_name", summary_name},
                        {"rate", rate},   {"rate2", rate2}, {"summary_name2", summary_name2},
                        {"compound", compound}};
}

// A test account holding these taxes in its settings.
struct Account {
    TempDir dir;
    std::unique_ptr<Core> core;
    explicit Account(const Json::array& taxes, const std::string& language = "en") {
        core = make_core(dir.path() + "data/", language, dir.path());
        core->open_database();
        if (!taxes.empty() || language == "en") set_taxes(taxes);
    }
    void set_taxes(const Json::array& taxes) {
        ASSERT_TRUE(core->save_record(Json::object{{"recordName", "taxes"}, {"value", Json(taxes).dump()}}, "settings"));
    }
};

Json line(const std::string& tax_id, const std::string& price_type, double price, double quantity,
          const std::string& discount_type = "VALUE", double discount = 0) {
    return Json::object{{"tax_id", tax_id},     {"price_type", price_type},       {"price", price},
                        {"quantity", quantity}, {"discount_type", discount_type}, {"discount", discount}};
}

const Json::array kTaxes = {
    tax("T27", "27%", "27%", 27),
    tax("K5", "5%", "5%", 5),
    tax("QC", "GST/QST", "GST", 5, "QST", 9.975, 1),
    tax("QS", "GST/QST", "GST", 5, "QST", 9.975, 0),
    tax("AAM", "AAM", "27%", 27),  // another tax under the same summary label as T27
};

}  // namespace

TEST(LineAmount, SingleRateGrossAndNetPrices) {
    Account account(kTaxes);
    Core& core = *account.core;

    const Json gross = line("T27", "GROSS", 127, 1);
    EXPECT_DOUBLE_EQ(core.line_amount(0, 0, gross), 100);
    EXPECT_DOUBLE_EQ(core.line_amount(1, 0, gross), 100);
    EXPECT_DOUBLE_EQ(core.line_amount(2, 0, gross), 27);
    EXPECT_DOUBLE_EQ(core.line_amount(10, 0, gross), 27);
    EXPECT_DOUBLE_EQ(core.line_amount(11, 0, gross), 0);
    EXPECT_DOUBLE_EQ(core.line_amount(3, 0, gross), 127);
    // Any kind not listed is the gross total.
    EXPECT_DOUBLE_EQ(core.line_amount(7, 0, gross), 127);
    // An empty price type counts as gross; the tax id is compared without regard to case.
    EXPECT_DOUBLE_EQ(core.line_amount(1, 0, line("t27", "", 127, 3)), 300);

    const Json net = line("T27", "NET", 100, 2.5);
    EXPECT_DOUBLE_EQ(core.line_amount(1, 0, net), 250);
    EXPECT_DOUBLE_EQ(core.line_amount(2, 0, net), 67.5);
    EXPECT_DOUBLE_EQ(core.line_amount(3, 0, net), 317.5);

    // A negative quantity turns every total negative, the unit price stays.
    const Json back = line("T27", "NET", 100, -2);
    EXPECT_DOUBLE_EQ(core.line_amount(0, 0, back), 100);
    EXPECT_DOUBLE_EQ(core.line_amount(1, 0, back), -200);
    EXPECT_DOUBLE_EQ(core.line_amount(2, 0, back), -54);
    EXPECT_DOUBLE_EQ(core.line_amount(3, 0, back), -254);

    // Missing price or quantity give 0.
    EXPECT_EQ(core.line_amount(3, 0, Json::object{{"tax_id", "T27"}, {"price", 10}}), 0);
}

TEST(LineAmount, CompoundAndParallelSecondTax) {
    Account account(kTaxes);
    Core& core = *account.core;

    const Json compound = line("QC", "NET", 100, 1);
    EXPECT_DOUBLE_EQ(core.line_amount(10, 0, compound), 5);
    EXPECT_DOUBLE_EQ(core.line_amount(11, 0, compound), 10.47375);
    EXPECT_DOUBLE_EQ(core.line_amount(2, 0, compound), 15.47375);
    EXPECT_DOUBLE_EQ(core.line_amount(3, 0, compound), 115.47375);

    const Json parallel = line("QS", "NET", 100, 1);
    EXPECT_DOUBLE_EQ(core.line_amount(11, 0, parallel), 9.975);
    EXPECT_DOUBLE_EQ(core.line_amount(3, 0, parallel), 114.975);

    // Taking the price out of the gross undoes the compounding.
    EXPECT_DOUBLE_EQ(core.line_amount(0, 0, line("QC", "GROSS", 115.47375, 1)), 100);
    EXPECT_DOUBLE_EQ(core.line_amount(0, 0, line("QS", "GROSS", 114.975, 1)), 100);
}

TEST(LineAmount, RateAndValueDiscounts) {
    Account account(kTaxes);
    Core& core = *account.core;

    const Json rate = line("T27", "NET", 100, 3, "RATE", 10);
    EXPECT_DOUBLE_EQ(core.line_amount(0, 0, rate), 100);
    EXPECT_DOUBLE_EQ(core.line_amount(0, 1, rate), 90);
    EXPECT_DOUBLE_EQ(core.line_amount(0, 2, rate), -10);
    EXPECT_DOUBLE_EQ(core.line_amount(1, 1, rate), 270);
    EXPECT_DOUBLE_EQ(core.line_amount(3, 2, rate), -38.1);
    // Modes other than 1 and 2 leave the line undiscounted.
    EXPECT_DOUBLE_EQ(core.line_amount(1, 5, rate), 300);

    // A rate discount on a gross line is a share of the net unit price.
    const Json gross_rate = line("T27", "GROSS", 127, 1, "RATE", 50);
    EXPECT_DOUBLE_EQ(core.line_amount(3, 1, gross_rate), 63.5);

    // A value discount on a gross line is a gross amount per unit.
    const Json value = line("T27", "GROSS", 127, 2, "VALUE", 10);
    const double d = 10 / 1.27;
    EXPECT_DOUBLE_EQ(core.line_amount(1, 1, value), (100 - d) * 2);
    EXPECT_DOUBLE_EQ(core.line_amount(1, 2, value), -d * 2);
    EXPECT_DOUBLE_EQ(core.line_amount(3, 2, value), -20);
    EXPECT_DOUBLE_EQ(core.line_amount(3, 1, value), 234);

    // A value discount on a net line is net; a missing discount type means a value.
    Json::object net_value = line("T27", "NET", 100, 2, "VALUE", 10).object_items();
    net_value.erase("discount_type");
    EXPECT_DOUBLE_EQ(core.line_amount(1, 1, net_value), 180);
    EXPECT_DOUBLE_EQ(core.line_amount(2, 2, net_value), -5.4);

    // On a compound tax a gross value discount is divided by the plain rate sum.
    const Json compound = line("QC", "GROSS", 115.47375, 1, "VALUE", 11.4975);
    EXPECT_DOUBLE_EQ(core.line_amount(0, 2, compound), -10);
    EXPECT_DOUBLE_EQ(core.line_amount(0, 1, compound), 90);
}

TEST(LineAmount, TaxLookupFallbacksAndUnsoundRates) {
    Account account(kTaxes);
    Core& core = *account.core;

    // An unknown tax id takes the first tax of the list.
    EXPECT_DOUBLE_EQ(core.line_amount(2, 0, line("gone", "NET", 100, 1)), 27);

    // The rates are read at each computation: a changed setting counts at once.
    account.set_taxes({tax("T27", "27%", "27%", 18)});
    EXPECT_DOUBLE_EQ(core.line_amount(2, 0, line("T27", "NET", 100, 1)), 18);

    // No taxes at all: no tax.
    account.set_taxes({});
    EXPECT_DOUBLE_EQ(core.line_amount(3, 0, line("T27", "GROSS", 127, 1)), 127);
    EXPECT_EQ(core.line_amount(2, 0, line("T27", "GROSS", 127, 1)), 0);

    // Rates adding up to -100 % or less would divide by zero or flip signs: such a tax counts as
    // no tax, and every amount stays finite.
    account.set_taxes({tax("NEG", "neg", "neg", -100), tax("NEG2", "neg", "neg", -150, "x", 20),
                       tax("CMP", "c", "c", 50, "d", -100, 1)});
    for (const char* id : {"NEG", "NEG2", "CMP"}) {
        const Json bad = line(id, "GROSS", 50, 2, "VALUE", 5);
        for (short kind : {0, 1, 2, 3, 10, 11}) {
            for (short mode : {0, 1, 2}) EXPECT_TRUE(std::isfinite(core.line_amount(kind, mode, bad))) << id;
        }
        EXPECT_DOUBLE_EQ(core.line_amount(1, 0, bad), 100) << id;
        EXPECT_EQ(core.line_amount(2, 1, bad), 0) << id;
        EXPECT_DOUBLE_EQ(core.line_amount(3, 1, bad), 90) << id;
    }

    // The invoice data carries 12 digits of quantity and unit price; money keeps its fillér in a
    // double up to 13 digits: a line beyond is named, and an overflowing product is never an
    // infinite or not-a-number amount.
    account.set_taxes(kTaxes);
    const Json::array taxes = kTaxes;
    using Limit = Core::LineLimit;
    EXPECT_EQ(Core::line_limit(line("T27", "NET", 999999999999, 1), taxes, 1), Limit::Fits);
    EXPECT_EQ(Core::line_limit(line("T27", "NET", 1, 1e12), taxes, 1), Limit::Quantity);
    EXPECT_EQ(Core::line_limit(line("T27", "NET", 1, std::nan("")), taxes, 1), Limit::Quantity);
    EXPECT_EQ(Core::line_limit(line("T27", "NET", -1e12, 1), taxes, 1), Limit::Price);
    EXPECT_EQ(Core::line_limit(line("T27", "NET", 1e11, 1e6), taxes, 1), Limit::Amount);
    EXPECT_EQ(Core::line_limit(line("T27", "NET", 999999999999, 7000), taxes, 1), Limit::Amount);
    EXPECT_EQ(Core::line_limit(line("T27", "NET", 7e8, 1e4), taxes, 1), Limit::Fits);
    EXPECT_EQ(Core::line_limit(line("T27", "NET", 7e8, 1e4), taxes, 400), Limit::Amount);

    // Lines that each fit can add up to totals that do not: the totals beyond are named, those of
    // one tax only when lines of opposite signs hide them in the document's totals.
    using Total = Core::TotalLimit::Kind;
    auto named = [](const TaxSummary& summary, double rate) {
        std::vector<std::string> names;
        for (const Core::TotalLimit& total : Core::totals_limit(summary, rate))
            names.push_back(std::to_string(static_cast<int>(total.kind)) + total.label + (total.converted ? "*" : ""));
        return names;
    };
    const Json fitting = line("T27", "NET", 7e8, 1e4);
    const TaxSummary two = core.tax_summary(Json::array{fitting, fitting});
    EXPECT_EQ(named(two, 1), (std::vector<std::string>{std::to_string(static_cast<int>(Total::Net)),
                                                        std::to_string(static_cast<int>(Total::Gross))}));
    EXPECT_TRUE(named(core.tax_summary(Json::array{fitting}), 1).empty());
    const Json returned = line("K5", "NET", -6e8, 1e4);
    EXPECT_EQ(named(core.tax_summary(Json::array{fitting, fitting, returned, returned}), 1),
              (std::vector<std::string>{"027%", "05%", "227%", "25%"}));
    // In the home currency at the rate only: named as converted.
    EXPECT_EQ(named(core.tax_summary(Json::array{line("T27", "NET", 5e8, 1e4)}), 3),
              (std::vector<std::string>{"0*", "2*"}));
    const Json huge = line("T27", "NET", 1e300, 1e300);
    for (short kind : {0, 1, 2, 3}) EXPECT_TRUE(std::isfinite(core.line_amount(kind, 1, huge)));
    EXPECT_TRUE(std::isfinite(core.tax_summary(Json(Json::array{huge})).total_gross));
}

TEST(TaxSummary, MultiRateInvoiceWithDiscounts) {
    Account account(kTaxes);
    Core& core = *account.core;

    const Json lines = Json::array{
        line("T27", "NET", 1000, 2, "RATE", 10),        // net 1800, tax 486
        line("AAM", "GROSS", 254, 1),                   // net 200, tax 54 - same label as T27
        line("K5", "GROSS", 105, 4, "VALUE", 5.25),     // net (100 - 5) * 4 = 380, tax 19
        line("QC", "NET", 100, 1),                      // net 100, GST 5, QST 10.47375
        line("QS", "GROSS", 229.95, 1, "VALUE", 11.4975),  // net 190, GST 9.5, QST 18.9525
    };
    const TaxSummary s = core.tax_summary(lines);

    ASSERT_EQ(s.net.size(), 4u);
    std::vector<std::string> labels;
    for (const auto& [label, value] : s.net) labels.push_back(label);
    EXPECT_EQ(labels, (std::vector<std::string>{"27%", "5%", "GST/QST | GST", "GST/QST | QST"}));

    EXPECT_DOUBLE_EQ(s.net.at("27%"), 2000);
    EXPECT_DOUBLE_EQ(s.tax.at("27%"), 540);
    EXPECT_DOUBLE_EQ(s.gross.at("27%"), 2540);
    EXPECT_DOUBLE_EQ(s.net.at("5%"), 380);
    EXPECT_DOUBLE_EQ(s.tax.at("5%"), 19);
    EXPECT_DOUBLE_EQ(s.gross.at("5%"), 399);
    // A two-rate tax: net and second tax under the second label, first tax and gross under the first.
    EXPECT_EQ(s.net.at("GST/QST | GST"), 0);
    EXPECT_DOUBLE_EQ(s.tax.at("GST/QST | GST"), 14.5);
    EXPECT_DOUBLE_EQ(s.gross.at("GST/QST | GST"), 115.47375 + 218.4525);
    EXPECT_DOUBLE_EQ(s.net.at("GST/QST | QST"), 290);
    EXPECT_DOUBLE_EQ(s.tax.at("GST/QST | QST"), 10.47375 + 18.9525);
    EXPECT_EQ(s.gross.at("GST/QST | QST"), 0);

    EXPECT_DOUBLE_EQ(s.total_net, 2670);
    EXPECT_DOUBLE_EQ(s.total_tax, 540 + 19 + 14.5 + 29.42625);
    EXPECT_DOUBLE_EQ(s.total_gross, 2540 + 399 + 115.47375 + 218.4525);

    // Each map adds up to its total.
    auto sum = [](const std::map<std::string, double>& m) {
        double total = 0;
        for (const auto& [label, value] : m) total += value;
        return total;
    };
    EXPECT_DOUBLE_EQ(sum(s.net), s.total_net);
    EXPECT_DOUBLE_EQ(sum(s.tax), s.total_tax);
    EXPECT_DOUBLE_EQ(sum(s.gross), s.total_gross);

    // The overload over an already read taxes list gives the very same figures.
    const TaxSummary again = core.tax_summary(lines, core.setting("taxes").array_items());
    EXPECT_EQ(again.net, s.net);
    EXPECT_EQ(again.tax, s.tax);
    EXPECT_EQ(again.gross, s.gross);
    EXPECT_EQ(again.total_gross, s.total_gross);
    for (const Json& l : lines.array_items()) {
        for (short kind : {0, 1, 2, 3, 10, 11})
            EXPECT_EQ(core.line_amount(kind, 1, l, core.setting("taxes").array_items()), core.line_amount(kind, 1, l));
    }

    // Nothing to add up.
    const TaxSummary empty = core.tax_summary(Json::array{});
    EXPECT_TRUE(empty.net.empty() && empty.tax.empty() && empty.gross.empty());
    EXPECT_EQ(empty.total_net, 0);
    EXPECT_EQ(empty.total_tax, 0);
    EXPECT_EQ(empty.total_gross, 0);
}

TEST(TaxSummary, GrossPricesAddUpExactly) {
    // Hungarian defaults: forint, 27 % first in the list.
    Account account({}, "hu");
    Core& core = *account.core;
    const std::string t27 = core.setting("taxes")[0]["id"].string_value();
    ASSERT_FALSE(t27.empty());

    const TaxSummary s = core.tax_summary(Json::array{line(t27, "GROSS", 300, 1), line(t27, "GROSS", 100, 2)});
    // Taking the net out of a gross price and adding the tax back gives the gross price itself.
    EXPECT_EQ(s.total_gross, 500);
    EXPECT_EQ(core.line_amount(3, 1, line(t27, "GROSS", 500, 1)), 500);
    EXPECT_EQ(core.formatted_num(s.total_gross, 2), core.formatted_num(500, 2));
    EXPECT_DOUBLE_EQ(s.total_net + s.total_tax, 500);
    EXPECT_EQ(s.gross.at("27%"), 500);

    // A negative quantity negates the totals.
    const TaxSummary storno = core.tax_summary(Json::array{line(t27, "GROSS", 300, -1), line(t27, "GROSS", 100, -2)});
    EXPECT_EQ(storno.total_gross, -500);
    EXPECT_DOUBLE_EQ(storno.total_net, -s.total_net);
}

TEST(TaxSummary, ForeignCurrencyAmountsStayInDocumentCurrency) {
    Account account(kTaxes);
    Core& core = *account.core;

    // Currency members of a line change nothing: no exchange rate is applied here.
    Json::object eur = line("T27", "NET", 19.99, 3, "RATE", 5).object_items();
    const TaxSummary plain = core.tax_summary(Json::array{eur});
    eur["currency"] = "EUR";
    eur["exchange_rate"] = 395.5;
    const TaxSummary foreign = core.tax_summary(Json::array{eur});
    EXPECT_EQ(foreign.total_gross, plain.total_gross);
    EXPECT_DOUBLE_EQ(foreign.total_net, 19.99 * 0.95 * 3);
    EXPECT_DOUBLE_EQ(foreign.total_gross, 19.99 * 0.95 * 3 * 1.27);
}
