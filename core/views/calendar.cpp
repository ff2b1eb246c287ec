// The task calendar: six weeks of seven days around one month, every task on its due date as a
// coloured dot and its number. The host passes the page to the view inside a script template
// literal, so every value is escaped to hold no backquote, backslash or "${" of its own.
#include "core/views/html.h"
#include "core/Core.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

using json11::Json;

namespace {

const char* const kStyle =
    "body{height:100%; margin:0; -webkit-user-select:none;}"
    "h3{margin:4px;}"
    "table, th, td{border:1px solid #eee;}"
    "table.calendar{table-layout:fixed; padding:0; border-spacing:0; width:100%; height:100%; "
    "font-family:\"Segoe UI\"; font-size:0.9em; font-weight:300;}"
    "table.calendar tr.days th{text-align:right; padding:0px;}"
    "table.calendar td{text-align:right; font-size:16px;}"
    "table.calendar td .date{cursor:default; display:block; height:100%;}"
    "table.calendar td .date .number{display:inline-block; line-height:50px; padding-right:16px; white-space:nowrap;}"
    "table.calendar td.weekday{padding:0px 14px 0px 0px; font-weight:bold;}"
    "table.calendar td.today{font-weight:bold;}"
    "table.calendar td.out-date .date{color:rgb(192, 192, 192); font-weight:100;}"
    "table.calendar td.event .date{position:relative; z-index:1;}"
    ".title{font-size:13px; cursor:pointer;}";

bool leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int month_length(int year, int month_index) {
    static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month_index == 1 && leap_year(year) ? 29 : lengths[month_index];
}

struct Day {
    int year;
    int month_index;  // 0 January
    int day;
    bool out;  // a day of the previous or the next month
};

const char* task_colour(const Json& task, const std::string& today) {
    const std::string& due = task["due_date"].string_value();
    if (task["task_repeat"].string_value().empty()) {
        if (task["task_progress"].int_value() == 100) return "#34c759";
        return due <= today ? "#ff3b30" : "#ffcc00";
    }
    return due > today ? "#34c759" : "#ff3b30";
}

}  // namespace

std::string Core::calendar_html(int year, unsigned short month, std::vector<Json> tasks) {
    // Months outside 1 to 12 are not asked for; the nearest one is shown rather than reading past
    // the name table.
    if (month < 1) month = 1;
    if (month > 12) month = 12;
    const int shown = month - 1;
    auto month_name = [this](int index) {
        return index >= 0 && static_cast<std::size_t>(index) < month_names.size() ? html_escaped(month_names[index])
                                                                                     : std::string();
    };

    // The week starts on Sunday when the first weekday shown is Sunday.
    const bool sunday_start = !weekday_names.empty() && !weekday_names.front().empty() &&
                              weekday_names.front().begin()->first == 0;
    const int s = sunday_start ? 1 : 2;
    const std::tm first = make_date(year, static_cast<short>(shown), 1);
    const int offset = (first.tm_wday - s + 7) % 7;

    std::vector<Day> grid;
    grid.reserve(42);
    const int previous_year = shown == 0 ? year - 1 : year;
    const int previous = shown == 0 ? 11 : shown - 1;
    const int previous_length = month_length(previous_year, previous);
    for (int day = previous_length - offset; day <= previous_length; ++day) grid.push_back({previous_year, previous, day, true});
    for (int day = 1; day <= month_length(year, shown); ++day) grid.push_back({year, shown, day, false});
    const int next_year = shown == 11 ? year + 1 : year;
    const int next = shown == 11 ? 0 : shown + 1;
    for (int day = 1; grid.size() < 42; ++day) grid.push_back({next_year, next, day, true});

    const std::tm now = local_time(0);
    const std::string today = format_time(now, "%Y-%m-%d");

    // The tasks of each date, in the order given.
    std::map<std::string, std::vector<const Json*>> by_date;
    for (const Json& task : tasks) {
        if (task["recordName"].string_value().rfind("TASK", 0) != 0) continue;
        by_date[task["due_date"].string_value()].push_back(&task);
    }

    std::string html =
        "<html><head><meta name='color-scheme' content='dark light'><meta name='supported-color-schemes' "
        "content='dark light'><meta name='viewport' content='width=device-width, initial-scale=1.0'><style>";
    html += kStyle;
    html += "</style></head><body oncontextmenu='return false;'><table class='calendar'><thead><tr><td colspan='7'>"
            "<h3 align='center'>" +
            std::to_string(year) + " " + month_name(shown) + "</h3></td></tr><tr class='days'>";
    for (const auto& weekday : weekday_names)
        html += "<td class='weekday'>" + (weekday.empty() ? std::string() : html_escaped(weekday.begin()->second)) +
                "</td>";
    html += "</tr></thead><tbody>";

    for (std::size_t i = 0; i < grid.size(); ++i) {
        const Day& cell = grid[i];
        if (i > 0 && i % 7 == 0) html += "</tr><tr class='week'>";
        char iso[32];
        std::snprintf(iso, sizeof iso, "%04d-%02d-%02d", cell.year, cell.month_index + 1, cell.day);

        std::string classes;
        if (cell.out) classes += " out-date";
        if (cell.year == now.tm_year + 1900 && cell.month_index == now.tm_mon && cell.day == now.tm_mday)
            classes += " today";
        std::string task_text;
        auto found = by_date.find(iso);
        if (found != by_date.end()) {
            for (const Json* task : found->second) {
                classes += " event";
                task_text += "<div class='title' onclick='window.chrome.webview.postMessage({\"action\":"
                             "\"onListRowSelected\", \"recordName\":\"" +
                             script_escaped((*task)["recordName"].string_value()) + "\"})'><span style='color:" +
                             task_colour(*task, today) + ";'>&#x2B24;</span> " +
                             html_escaped((*task)["number_formatted"].string_value()) + "</div>";
            }
        }
        html += "<td class='" + classes + "'><span class='date'><span class='number'>";
        if (cell.day == 1)
            html += "<b>" + month_name(cell.month_index) + " 1</b>";
        else
            html += std::to_string(cell.day);
        html += "</span><div style='text-align:left;font-size:10px;padding-left:6px;padding-right:6px;'>" + task_text +
                "</div></span></td>";
    }
    html += "</tr></tbody></table></body></html>";
    return html;
}
