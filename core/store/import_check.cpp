#include "core/store/import_check.h"

#include "core/Core.h"

#include <algorithm>
#include <string_view>

using json11::Json;

std::optional<ImportProblem> import_file_problem(const std::string& path, ImportKind kind) {
    std::string text;
    if (!read_import_text(path, text)) return ImportProblem{0};
    std::string_view rest(text);
    if (kind == ImportKind::invoices) {
        const std::string first(rest.substr(0, rest.find('\n')));
        std::string error;
        if (!Json::parse(first, error).is_array()) return ImportProblem{1};
        return std::nullopt;
    }
    const std::size_t columns = kind == ImportKind::clients ? 10 : 8;
    for (int line = 1; !rest.empty(); ++line) {
        const std::size_t end = rest.find('\n');
        std::string_view current = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const bool blank = std::all_of(current.begin(), current.end(), [](char c) {
            return c == ' ' || c == '\t' || c == '\r' || c == '"';
        });
        if (blank) continue;
        // As the import reads it: quotes dropped, every semicolon a separator.
        if (static_cast<std::size_t>(std::count(current.begin(), current.end(), ';')) + 1 != columns)
            return ImportProblem{line};
    }
    return std::nullopt;
}
