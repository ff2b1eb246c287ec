// Document numbering and task repetition, both driven by the local clock.
#include "core/Core.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

using json11::Json;

namespace {

class Clocked : public ::testing::Test {
protected:
    void TearDown() override { set_clock({}); }
    void at(std::time_t t) {
        set_clock([t] { return t; });
    }
    std::unique_ptr<Core> open(const std::string& language) {
        auto core = make_core(dir.path() + language + "/", language, dir.path());
        core->open_database();
        return core;
    }
    void store(Core& core, const std::string& type, int number, const std::string& issue_date) {
        const std::string name = type + "-" + std::to_string(number) + "-" + issue_date;
        ASSERT_TRUE(core.save_record(
            Json::object{{"recordName", name}, {"type", type}, {"number", number}, {"issue_date", issue_date}},
            "documents"));
    }
    void set_formats(Core& core, const Json::object& changes) {
        Json::object formats = core.setting("formats").object_items();
        for (const auto& [key, value] : changes) formats[key] = value;
        ASSERT_TRUE(core.save_record(Json::object{{"recordName", "formats"}, {"value", Json(formats).dump()}},
                                     "settings"));
    }
    TempDir dir;
};

const char* const kNumbered[] = {"INVOICE",         "ESTIMATE",        "PROFORMA",
                                 "DELIVERY_NOTE",   "PURCHASE_ORDER",  "PURCHASE_RECEIVE"};

std::string rule(const std::string& day_type, int day, const Json::array& months = {}) {
    Json::object r{{"day_type", day_type}, {"day", day}};
    if (!months.empty()) r["months"] = months;
    return Json(r).dump();
}

}  // namespace

TEST_F(Clocked, EveryTypeIsNumberedFormattedAndNamed) {
    at(local_seconds(2026, 12, 7, 21, 52));
    auto en = open("en");
    auto hu = open("hu");
    const std::map<std::string, std::pair<std::string, std::string>> prefixes = {
        {"INVOICE", {"INVOICE", "SZAMLA"}},        {"ESTIMATE", {"ESTIMATE", "ARAJANLAT"}},
        {"PROFORMA", {"PROFORMA", "PROFORMA"}},    {"DELIVERY_NOTE", {"DELIVERY", "SZLEV"}},
        {"PURCHASE_ORDER", {"PO", "RENDELES"}},    {"PURCHASE_RECEIVE", {"RECEIVE", "BEVETELEZES"}}};

    for (const char* type : kNumbered) {
        // The first document of a type ever takes the initial number of the settings.
        EXPECT_EQ(en->next_number(type), 1) << type;
        EXPECT_EQ(en->next_number_formatted(type), prefixes.at(type).first + "/2026-0001") << type;
        EXPECT_EQ(hu->next_number_formatted(type), prefixes.at(type).second + "/2026-0001") << type;
        EXPECT_EQ(en->new_document_record_name(type), std::string(type) + "-2026-000001") << type;
    }

    // Types run separately.
    store(*en, "INVOICE", 41, "2026-11-30");
    EXPECT_EQ(en->next_number("INVOICE"), 42);
    EXPECT_EQ(en->next_number_formatted("INVOICE"), "INVOICE/2026-0042");
    EXPECT_EQ(en->new_document_record_name("INVOICE"), "INVOICE-2026-000042");
    EXPECT_EQ(en->next_number("ESTIMATE"), 1);
    // Nothing is reserved: asking again gives the same number.
    EXPECT_EQ(en->next_number("INVOICE"), 42);

    // Drafts and tasks are not numbered; their names come from the time.
    for (Core* core : {en.get(), hu.get()}) {
        EXPECT_EQ(core->next_number("DRAFT"), 0);
        EXPECT_EQ(core->next_number("TASK"), 0);
        EXPECT_EQ(core->new_document_record_name("DRAFT"), "DRAFT-20261207215200");
        EXPECT_EQ(core->new_document_record_name("TASK"), "TASK-20261207215200");
    }
    EXPECT_EQ(en->next_number_formatted("DRAFT"), "Draft-2026-12-07-2152");
    EXPECT_EQ(en->next_number_formatted("TASK"), "Task-2026-12-07-2152");
    EXPECT_EQ(hu->next_number_formatted("DRAFT"), "Piszkozat-2026-12-07-2152");
    EXPECT_EQ(hu->next_number_formatted("TASK"), "Feladat-2026-12-07-2152");
    at(local_seconds(2026, 12, 7, 21, 52, 9));
    EXPECT_EQ(en->new_document_record_name("TASK"), "TASK-20261207215209");
}

TEST_F(Clocked, NumbersRestartEachYear) {
    at(local_seconds(2026, 12, 31, 23, 59, 59));
    auto core = open("en");
    set_formats(*core, {{"invoice_number_initial", 500}});
    EXPECT_EQ(core->next_number("INVOICE"), 500);
    store(*core, "INVOICE", 500, "2026-12-30");
    store(*core, "INVOICE", 501, "2026-12-31");
    EXPECT_EQ(core->next_number("INVOICE"), 502);

    // One second later a new year begins: the initial number is used only once.
    at(local_seconds(2027, 1, 1, 0, 0, 0));
    EXPECT_EQ(core->next_number("INVOICE"), 1);
    EXPECT_EQ(core->next_number_formatted("INVOICE"), "INVOICE/2027-0001");
    EXPECT_EQ(core->new_document_record_name("INVOICE"), "INVOICE-2027-000001");

    store(*core, "INVOICE", 1, "2027-01-01");
    store(*core, "INVOICE", 2, "2027-01-02");
    store(*core, "INVOICE", 3, "2027-01-02");
    EXPECT_EQ(core->next_number("INVOICE"), 4);
    // A document of this year's sequence dated last year does not count for this year's maximum.
    store(*core, "INVOICE", 4, "2026-12-31");
    EXPECT_EQ(core->next_number("INVOICE"), 4);
    // Removing the highest number of the year frees it again.
    core->query("DELETE FROM documents WHERE recordName = 'INVOICE-3-2027-01-02'");
    EXPECT_EQ(core->next_number("INVOICE"), 3);
}

TEST_F(Clocked, FormattedNumberFollowsTheNumberingSettings) {
    at(local_seconds(2026, 3, 4));
    auto core = open("hu");
    set_formats(*core, {{"invoice_number", "NNNN/YYYY/NNNN-YYYY"},
                        {"invoice_number_prefix", "A'B-"},
                        {"estimate_number", "YYYYNNNN"},
                        {"estimate_number_prefix", ""}});
    store(*core, "INVOICE", 6, "2026-03-01");
    EXPECT_EQ(core->next_number_formatted("INVOICE"), "A'B-0007/2026/0007-2026");
    EXPECT_EQ(core->next_number_formatted("ESTIMATE"), "20260001");

    // Long numbers are written in full, never cut.
    store(*core, "INVOICE", 9999, "2026-03-02");
    EXPECT_EQ(core->next_number_formatted("INVOICE"), "A'B-10000/2026/10000-2026");
    store(*core, "INVOICE", 1234566, "2026-03-02");
    EXPECT_EQ(core->new_document_record_name("INVOICE"), "INVOICE-2026-1234567");

    // A type without numbering settings numbers from 0 and formats to an empty text.
    EXPECT_EQ(core->next_number("WEBSHOP_ORDER"), 0);
    EXPECT_EQ(core->next_number_formatted("WEBSHOP_ORDER"), "");
    EXPECT_EQ(core->new_document_record_name("WEBSHOP_ORDER"), "WEBSHOP_ORDER-2026-000000");

    // The type is a value, not SQL: an apostrophe or a LIKE wildcard in it changes nothing.
    store(*core, "O'HARA", 5, "2026-01-01");
    EXPECT_EQ(core->next_number("O'HARA"), 6);
    EXPECT_EQ(core->next_number("INVOICE' OR '1'='1"), 0);
    EXPECT_EQ(core->next_number("%"), 0);
    EXPECT_EQ(core->query("SELECT COUNT(*) AS n FROM documents").front().at("n").number_value(), 4);
}

TEST_F(Clocked, RepeatOptionsInBothLanguages) {
    auto en = open("en");
    auto hu = open("hu");
    const auto options = en->repeat_options();
    ASSERT_EQ(options.size(), 50u);
    EXPECT_EQ(options[0].string_value(), "No Repeat");
    EXPECT_EQ(options[1].string_value(), "1");
    EXPECT_EQ(options[28].string_value(), "28");
    EXPECT_EQ(options[29].string_value(), "every Mon");
    EXPECT_EQ(options[35].string_value(), "every Sun");
    EXPECT_EQ(options[36].string_value(), "first Mon");
    EXPECT_EQ(options[43].string_value(), "last Mon");
    EXPECT_EQ(options[49].string_value(), "last Sun");

    const auto magyar = hu->repeat_options();
    ASSERT_EQ(magyar.size(), 50u);
    EXPECT_EQ(magyar[0].string_value(), "Nincs ismétlés");
    EXPECT_EQ(magyar[30].string_value(), "minden Tue");
    EXPECT_EQ(magyar[37].string_value(), "első Tue");
    EXPECT_EQ(magyar[44].string_value(), "utolsó Tue");
}

TEST_F(Clocked, RepeatDescriptions) {
    auto en = open("en");
    auto hu = open("hu");

    EXPECT_EQ(en->repeat_description(""), "No Repeat");
    EXPECT_EQ(hu->repeat_description(""), "Nincs ismétlés");
    EXPECT_EQ(en->repeat_description(rule("day", 0)), "No Repeat");
    EXPECT_EQ(en->repeat_description(rule("day", 15)), "every month 15.");
    EXPECT_EQ(hu->repeat_description(rule("day", 15)), "minden hónap 15.");
    // Months stay in the stored order; no trailing separator.
    EXPECT_EQ(en->repeat_description(rule("day", 15, {6, 0})), "Jul 15, Jan 15");
    EXPECT_EQ(en->repeat_description(rule("first", 1)), "every month, first Mon");
    EXPECT_EQ(hu->repeat_description(rule("first", 1)), "minden hónap, első Mon");
    EXPECT_EQ(en->repeat_description(rule("every", 0)), "every month, every Sun");
    EXPECT_EQ(en->repeat_description(rule("last", 5, {0, 6})), "Jan last Fri, Jul last Fri");
    EXPECT_EQ(hu->repeat_description(rule("last", 5, {11})), "Dec utolsó Fri");
    // An unknown weekday number takes the first name of the list.
    EXPECT_EQ(en->repeat_description(rule("every", 9)), "every month, every Mon");

    // Month entries that name no month (rules come from other devices too) are skipped.
    EXPECT_EQ(en->repeat_description(rule("day", 3, {12, -1, 2, "x", 11.5})), "Mar 3");
    EXPECT_EQ(en->repeat_description(rule("day", 3, {99})), "");

    // Without any names from the start-up nothing is read out of range.
    Core bare(dir.path() + "bare/", dir.path(), {}, {}, {}, "en", "0,0,0");
    EXPECT_EQ(bare.repeat_description(rule("day", 3, {0, 5})), "");
    EXPECT_EQ(bare.repeat_description(rule("first", 1)), "every month, first ");
    const auto options = bare.repeat_options();
    ASSERT_EQ(options.size(), 50u);
    EXPECT_EQ(options[29].string_value(), "every ");
}

TEST_F(Clocked, NextRepeatDate) {
    auto core = open("en");
    auto next = [&](const std::string& r) { return iso_date(core->next_repeat_date(r)); };

    // Today never counts: on the 15th the next 15th is a month away.
    at(local_seconds(2026, 5, 15, 10));
    EXPECT_EQ(next(rule("day", 15)), "2026-06-15");
    EXPECT_EQ(next(rule("day", 16)), "2026-05-16");
    EXPECT_EQ(next(rule("day", 15, {0})), "2027-01-15");
    // The time of day is kept.
    EXPECT_EQ(core->next_repeat_date(rule("day", 16)), local_seconds(2026, 5, 16, 10));

    // 2024 began on a Monday: on 2 January the next first Monday of January or July is in July.
    at(local_seconds(2024, 1, 2, 9));
    EXPECT_EQ(next(rule("first", 1, {0, 6})), "2024-07-01");

    // Last Friday of February: 29 February 2008 was a Friday, 22 February 2019 the last one.
    at(local_seconds(2008, 1, 10));
    EXPECT_EQ(next(rule("last", 5, {1})), "2008-02-29");
    at(local_seconds(2019, 1, 10));
    EXPECT_EQ(next(rule("last", 5, {1})), "2019-02-22");

    // Every Sunday: from a Sunday a week ahead, from a Wednesday four days.
    at(local_seconds(2026, 6, 7, 8));
    EXPECT_EQ(next(rule("every", 0)), "2026-06-14");
    at(local_seconds(2026, 6, 10, 8));
    EXPECT_EQ(next(rule("every", 0)), "2026-06-14");

    // Rules that never fall give the present moment.
    const std::time_t now = local_seconds(2026, 6, 10, 8);
    EXPECT_EQ(core->next_repeat_date(rule("day", 0)), now);
    EXPECT_EQ(core->next_repeat_date(rule("fortnight", 1)), now);
    EXPECT_EQ(core->next_repeat_date(rule("day", 1, {12, -3})), now);
    EXPECT_EQ(core->next_repeat_date("not json"), now);
    EXPECT_EQ(core->next_repeat_date(""), now);
}

TEST_F(Clocked, NextRepeatDateAcrossDaylightSavingChanges) {
    auto core = open("hu");
    auto next = [&](const std::string& r) { return iso_date(core->next_repeat_date(r)); };

    // Late on 1 March 2025 (winter time): 30 March, the day clocks go forward, is still found.
    at(local_seconds(2025, 3, 1, 23, 30));
    EXPECT_EQ(next(rule("last", 0, {2})), "2025-03-30");
    EXPECT_EQ(next(rule("day", 30)), "2025-03-30");
    EXPECT_EQ(next(rule("day", 31)), "2025-03-31");
    EXPECT_EQ(core->next_repeat_date(rule("day", 31)), local_seconds(2025, 3, 31, 23, 30));

    // At 02:30 the day before the change the hour does not exist on the Sunday; the date holds.
    at(local_seconds(2025, 3, 29, 2, 30));
    EXPECT_EQ(next(rule("every", 0)), "2025-03-30");

    // Just after midnight in summer time: the October change keeps dates and the time of day.
    at(local_seconds(2025, 10, 1, 0, 30));
    EXPECT_EQ(next(rule("last", 0, {9})), "2025-10-26");
    EXPECT_EQ(next(rule("day", 27)), "2025-10-27");
    EXPECT_EQ(core->next_repeat_date(rule("day", 27)), local_seconds(2025, 10, 27, 0, 30));
    EXPECT_EQ(next(rule("day", 26)), "2025-10-26");
}
