// Sequence numbers, formatted numbers and record names of new documents. Numbers run per type and
// per calendar year of the local clock; drafts and tasks are not numbered but named after the time.
#include "core/Core.h"
#include "core/store/store_internal.h"

#include <climits>
#include <cstdio>
#include <set>

namespace {

bool unnumbered(const std::string& type) {
    return type == "TASK" || type == "DRAFT";
}

std::string current_year() {
    return format_time(local_time(0), "%Y");
}

std::string padded(long long number, int width) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*lld", width, number);
    return buffer;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

int Core::next_number(std::string type) {
    if (unnumbered(type)) return 0;

    // Both reads under one lock, so a save on another thread cannot slip in between them.
    std::lock_guard<std::recursive_mutex> lock(store_mutex);
    double count = 0;
    {
        store::Statement statement(*this, "SELECT COUNT(number) FROM documents WHERE type = ?");
        statement.bind(1, type);
        if (statement.step()) count = statement.column_double(0);
    }
    double max = 0;
    {
        store::Statement statement(
            *this, "SELECT MAX(number) FROM documents WHERE type = ? AND issue_date LIKE ? ESCAPE '\\'");
        statement.bind(1, type);
        statement.bind(2, store::like_escaped(current_year()) + "%");
        if (statement.step() && !statement.column_is_null(0)) max = statement.column_double(0);
    }

    int next = setting("formats")[to_lower(type) + "_number_initial"].int_value();
    if (saturated_int(count) != 0) {
        const int m = saturated_int(max);
        next = m == INT_MAX ? m : m + 1;
    }
    // Numbers the tax authority holds for other invoices are passed over.
    std::set<int> taken;
    for (const json11::Json& entry : nav_taken_numbers())
        if (entry["type"].string_value() == type && entry["year"].string_value() == current_year())
            taken.insert(entry["number"].int_value());
    while (taken.count(next) && next < INT_MAX) ++next;
    return next;
}

std::string Core::next_number_formatted(std::string type) {
    if (unnumbered(type)) return format_time(local_time(0), translated(type, "") + "-%Y-%m-%d-%H%M");

    const std::string sequence = padded(next_number(type), 4);
    const json11::Json formats = setting("formats");
    const std::string lower = to_lower(type);
    std::string pattern = formats[lower + "_number"].string_value();
    replace_all(pattern, "YYYY", current_year());
    replace_all(pattern, "NNNN", sequence);
    return formats[lower + "_number_prefix"].string_value() + pattern;
}

std::string Core::new_document_record_name(std::string type) {
    if (unnumbered(type)) return format_time(local_time(0), type + "-%Y%m%d%H%M%S");
    return type + "-" + current_year() + "-" + padded(next_number(type), 6);
}
