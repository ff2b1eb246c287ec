#include "core/store/import_check.h"

#include "core/Core.h"

using json11::Json;

std::optional<ImportProblem> import_file_problem(const std::string& path, ImportKind kind) {
    std::string text;
    if (!read_import_text(path, text)) return ImportProblem{0};
    if (kind != ImportKind::invoices) return std::nullopt;
    std::string error;
    if (!Json::parse(text.substr(0, text.find('\n')), error).is_array()) return ImportProblem{1};
    return std::nullopt;
}
