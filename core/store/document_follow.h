// What an open tab or page of a stored document is to show after the store changed under it: the
// one rule every view of a document asks.
#pragma once

#include "json11/json11.hpp"

#include <cstdint>
#include <string>

class Core;

namespace store {

// A stored document as a tab or a page shows it: its row, its printed page, and how many moves of
// documents to other record names the store had made when they were read.
struct ShownDocument {
    json11::Json::object document;  // empty: nothing is stored under the name
    std::string page;               // the page its PDF is printed from
    std::int64_t moves_seen = 0;
};

// What a view of a stored document is to show now.
enum class DocumentFollow {
    same,     // what it shows is stored under its name
    changed,  // its record holds other content now
    moved,    // its record took another name and number (a renumbering, a merge of copies)
    gone,     // deleted, or its name holds another document: it closes, saying so
};

struct DocumentNow {
    DocumentFollow follow = DocumentFollow::gone;
    ShownDocument now;  // what to show; an empty row when gone
};

// The stored document `record_name` as a view shows it (an empty row when none is stored).
ShownDocument shown_document(Core& core, const std::string& record_name);
// Where the document a view shows is now: followed through the moves the store made since it was
// read, then compared with what is stored there.
DocumentNow document_now(Core& core, const ShownDocument& shown);

}  // namespace store
