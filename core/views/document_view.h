// The document page in parts: the editor's preview replaces only the parts a change touched.
#pragma once

#include "json11/json11.hpp"

#include <string>
#include <vector>

class Core;

struct DocumentPageParts {
    int mode = 0;
    // False for the empty document's page, which has no parts.
    bool paged = false;
    // Style, scripts, the column head and the first page's opening: a change here redraws the page.
    std::string frame;
    // The header block and the header note.
    std::string header;
    // The column head cells, repeated on every page the lines run onto.
    std::string table_head;
    // Each line's row group after its row opening (which carries the line's index).
    std::vector<std::string> rows;
    // The summary's head and body.
    std::string summary;
    std::string end;
    // The lines the rows were made from, and everything else a row depends on.
    json11::Json::array source_lines;
    std::string row_context;

    // The whole page, as the renderer gives it.
    std::string whole() const;
};

// `earlier`, when given, lends its rows of lines that have not changed (the same line and context).
DocumentPageParts document_page_parts(Core& core, int mode, const json11::Json& document, const json11::Json& lines,
                                      const std::string& extra, const DocumentPageParts* earlier = nullptr);

// The script that turns a preview showing `shown` (marked `from`) into one showing `next` (marked
// `to`), with `stamp` at the foot of every page; empty when only writing the whole page can.
std::string page_update_script(const DocumentPageParts& shown, const DocumentPageParts& next, const std::string& stamp,
                               long from, long to);
