// One escaping routine for the two places a page carries values: HTML and script literals in HTML.
#include "core/views/html.h"

namespace {

// Appends the entity of one character that HTML (or a template literal around the page) must not
// see raw; returns false for a character that stays as it is.
bool append_entity(std::string& out, char c) {
    switch (c) {
        case '&': out += "&amp;"; return true;
        case '<': out += "&lt;"; return true;
        case '>': out += "&gt;"; return true;
        case '"': out += "&quot;"; return true;
        case '\'': out += "&#39;"; return true;
        case '\\': out += "&#92;"; return true;
        case '`': out += "&#96;"; return true;
        default: return false;
    }
}

std::string escaped(std::string_view text, bool script) {
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool interpolation = c == '$' && i + 1 < text.size() && text[i + 1] == '{';
        if (script) {
            // The script's own escapes, written as entities: the attribute decodes "&#92;" to "\".
            if (c == '\n') {
                out += "&#92;n";
                continue;
            }
            if (c == '\r') {
                out += "&#92;r";
                continue;
            }
            if (c == '\\' || c == '"' || c == '\'' || c == '`' || interpolation) out += "&#92;";
        }
        if (interpolation) {
            out += "&#36;";
            continue;
        }
        if (!append_entity(out, c)) out += c;
    }
    return out;
}

}  // namespace

std::string html_escaped(std::string_view text) { return escaped(text, false); }

std::string script_escaped(std::string_view text) { return escaped(text, true); }
