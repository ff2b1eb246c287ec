// Repetition rules of tasks: the editor's choice list, the readable description of a rule and the
// next day on which a rule falls.
#include "core/Core.h"

#include <string>

namespace {

struct Rule {
    std::string day_type;
    int day = 0;
    json11::Json::array months;
};

Rule parse_rule(const std::string& text) {
    std::string error;
    const json11::Json json = json11::Json::parse(text, error);
    return Rule{json["day_type"].string_value(), json["day"].int_value(), json["months"].array_items()};
}

// A month entry names a month only when it is a whole number from 0 to 11; rules also arrive from other
// devices, so anything else is passed over.
bool month_index(const json11::Json& entry, int& month) {
    if (!entry.is_number()) return false;
    const double value = entry.number_value();
    if (!(value >= 0 && value < 12) || value != static_cast<int>(value)) return false;
    month = static_cast<int>(value);
    return true;
}

int days_in_month(int month, int year) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 1 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
    return days[month];
}

}  // namespace

std::vector<json11::Json> Core::repeat_options() {
    std::vector<json11::Json> options;
    options.reserve(50);
    options.emplace_back(translated("no_repeat", ""));
    for (int day = 1; day <= 28; ++day) options.emplace_back(std::to_string(day));
    for (const char* kind : {"every", "first", "last"}) {
        const std::string word = translated(kind, "");
        for (size_t i = 0; i < 7; ++i) {
            // Positions are fixed by the rule they stand for, so a short name list leaves blanks.
            std::string name;
            if (i < weekday_names.size() && !weekday_names[i].empty()) name = weekday_names[i].begin()->second;
            options.emplace_back(word + " " + name);
        }
    }
    return options;
}

std::string Core::repeat_description(std::string rule_text) {
    if (rule_text.empty()) return translated("no_repeat", "");
    const Rule rule = parse_rule(rule_text);
    if (rule.day_type == "day" && rule.day == 0) return translated("no_repeat", "");

    auto month_name = [&](const json11::Json& entry, std::string& name) {
        int month = 0;
        if (!month_index(entry, month) || month >= static_cast<int>(month_names.size())) return false;
        name = month_names[month];
        return true;
    };
    auto joined = [&](const std::string& after_month) {
        std::string text;
        for (const json11::Json& entry : rule.months) {
            std::string name;
            if (!month_name(entry, name)) continue;
            if (!text.empty()) text += ", ";
            text += name + " " + after_month;
        }
        return text;
    };

    const std::string day = std::to_string(rule.day);
    if (rule.day_type == "day") {
        if (rule.months.empty()) return translated("every_month", "") + " " + day + ".";
        return joined(day);
    }

    // The first entry with the rule's weekday number, else the first entry; none at all gives a blank.
    const std::map<int, std::string>* weekday = nullptr;
    for (const auto& entry : weekday_names) {
        if (!entry.empty() && entry.begin()->first == rule.day) {
            weekday = &entry;
            break;
        }
    }
    if (!weekday && !weekday_names.empty() && !weekday_names.front().empty()) weekday = &weekday_names.front();
    const std::string weekday_name = weekday ? weekday->begin()->second : std::string();

    const std::string kind = translated(rule.day_type, "") + " " + weekday_name;
    if (rule.months.empty()) return translated("every_month", "") + ", " + kind;
    return joined(kind);
}

std::int64_t Core::next_repeat_date(std::string rule_text) {
    const Rule rule = parse_rule(rule_text);
    bool months[12] = {};
    if (rule.months.empty()) {
        for (bool& m : months) m = true;
    } else {
        for (const json11::Json& entry : rule.months) {
            int month = 0;
            if (month_index(entry, month)) months[month] = true;
        }
    }

    const std::time_t now = clock_now();
    std::tm today{};
    localtime_r(&now, &today);
    for (int k = 1; k <= 366; ++k) {
        std::tm candidate = today;
        candidate.tm_mday += k;
        // Let mktime choose the daylight-saving flag of the candidate's own date: forcing today's
        // flag would shift the time by an hour across a change and could skip a calendar day.
        candidate.tm_isdst = -1;
        const std::time_t when = mktime(&candidate);
        if (candidate.tm_mon < 0 || candidate.tm_mon > 11 || !months[candidate.tm_mon]) continue;

        bool match = false;
        if (rule.day_type == "day") {
            match = rule.day == candidate.tm_mday;
        } else if (rule.day_type == "every") {
            match = rule.day == candidate.tm_wday;
        } else if (rule.day_type == "first") {
            match = rule.day == candidate.tm_wday && candidate.tm_mday <= 7;
        } else if (rule.day_type == "last") {
            match = rule.day == candidate.tm_wday &&
                    candidate.tm_mday > days_in_month(candidate.tm_mon, candidate.tm_year + 1900) - 7;
        }
        if (match) return when;
    }
    return now;
}
