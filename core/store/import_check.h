// A look at an import file before anything of it is written: an import that cannot read the file, or
// a line of it, would otherwise end in silence with a count of 0 or with part of the file stored.
#pragma once

#include <optional>
#include <string>

enum class ImportKind { clients, items, invoices };

// What keeps a file from being imported: it cannot be read (line 0), or line `line` (counted from 1)
// does not have the shape the import reads (a client line 10 semicolon-separated columns, an item line
// 8, an invoice file one JSON array on its first line). Blank lines are no problem.
struct ImportProblem {
    int line = 0;
};
std::optional<ImportProblem> import_file_problem(const std::string& path, ImportKind kind);

// The file's text as the imports read it (any of their encodings, as UTF-8); false when unreadable.
bool read_import_text(const std::string& path, std::string& text);
