// What an import makes of its file: the rows it wrote and the lines it passed over, and a look at an
// invoice import file before anything of it is written.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

class Core;

enum class ImportKind { clients, items, invoices };

// Why a line of a client or item file was passed over.
enum class ImportSkip {
    wrong_fields,     // not 10 (clients) or 8 (items) semicolon-separated fields
    no_name,          // the name field is empty
    unknown_country,  // the country code is not in the countries setting
    unknown_tax,      // the tax or the unit is not in the taxes or units setting
    already_stored,   // a client or item like it is stored already
};

// The outcome of a client or item import: the rows written and, by reason, the numbers (from 1) of
// the lines passed over. Blank lines are passed over without a word.
struct ImportReport {
    // False when the file could not be read: nothing was written.
    bool readable = false;
    int count = 0;
    std::map<ImportSkip, std::vector<int>> skipped;
};
// The imports of Core::import_clients and Core::import_items, with their reports.
ImportReport import_clients_reported(Core& core, const std::string& path);
ImportReport import_items_reported(Core& core, const std::string& path);

// What keeps a file from being imported: it cannot be read (line 0), or, for an invoice import file,
// its first line (line 1) is not one JSON array. A client or item file is imported line by line: only
// an unreadable one is a problem here.
struct ImportProblem {
    int line = 0;
};
std::optional<ImportProblem> import_file_problem(const std::string& path, ImportKind kind);

// The file's text as the imports read it (any of their encodings, as UTF-8); false when unreadable.
bool read_import_text(const std::string& path, std::string& text);
