// Text folding, search text and the small text helpers that every record writer uses.
// These run on every field of every write, so they scan by hand instead of using std::regex
// (slow, and recursive enough to overflow the stack on long notes).
#include "core/Core.h"

#include <array>
#include <climits>
#include <cstdint>
#include <set>
#include <string_view>

namespace {

// The six bytes that count as whitespace (the no-break space does not).
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Decodes one UTF-8 sequence starting at text[i]; advances i past it. An invalid or truncated
// sequence gives U+FFFD and consumes only its first byte, so a following valid byte is kept.
char32_t next_code_point(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + len > text.size()) {
        ++i;
        return 0xFFFD;
    }
    for (int k = 1; k < len; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += len;
    return cp;
}

// Each row: the plain letter and every character that folds to it (besides the letter itself).
// Upper- and lower-case variants sit under their own case; ligatures have no row and are dropped.
struct FoldRow {
    char letter;
    const char* variants;
};

constexpr FoldRow fold_rows[] = {
    {'A', "ⒶＡÀÁÂẦẤẪẨÃĀĂẰẮẴẲȦǠÄǞẢÅǺǍȀȂẠẬẶḀĄȺⱯ"},
    {'B', "ⒷＢḂḄḆɃƂƁ"},
    {'C', "ⒸＣĆĈĊČÇḈƇȻꜾ"},
    {'D', "ⒹＤḊĎḌḐḒḎĐƋƊƉꝹ"},
    {'E', "ⒺＥÈÉÊỀẾỄỂẼĒḔḖĔĖËẺĚȄȆẸỆȨḜĘḘḚƐƎ"},
    {'F', "ⒻＦḞƑꝻ"},
    {'G', "ⒼＧǴĜḠĞĠǦĢǤƓꞠꝽꝾ"},
    {'H', "ⒽＨĤḢḦȞḤḨḪĦⱧⱵꞍ"},
    {'I', "ⒾＩÌÍÎĨĪĬİÏḮỈǏȈȊỊĮḬƗ"},
    {'J', "ⒿＪĴɈ"},
    {'K', "ⓀＫḰǨḲĶḴƘⱩꝀꝂꝄꞢ"},
    {'L', "ⓁＬĿĹĽḶḸĻḼḺŁȽⱢⱠꝈꝆꞀ"},
    {'M', "ⓂＭḾṀṂⱮƜ"},
    {'N', "ⓃＮǸŃÑṄŇṆŅṊṈȠƝꞐꞤ"},
    {'O', "ⓄＯÒÓÔỒỐỖỔÕṌȬṎŌṐṒŎȮȰÖȪỎŐǑȌȎƠỜỚỠỞỢỌỘǪǬØǾƆƟꝊꝌ"},
    {'P', "ⓅＰṔṖƤⱣꝐꝒꝔ"},
    {'Q', "ⓆＱꝖꝘɊ"},
    {'R', "ⓇＲŔṘŘȐȒṚṜŖṞɌⱤꝚꞦꞂ"},
    {'S', "ⓈＳẞŚṤŜṠŠṦṢṨȘŞⱾꞨꞄ"},
    {'T', "ⓉＴṪŤṬȚŢṰṮŦƬƮȾꞆ"},
    {'U', "ⓊＵÙÚÛŨṸŪṺŬÜǛǗǕǙỦŮŰǓȔȖƯỪỨỮỬỰỤṲŲṶṴɄ"},
    {'V', "ⓋＶṼṾƲꝞɅ"},
    {'W', "ⓌＷẀẂŴẆẄẈⱲ"},
    {'X', "ⓍＸẊẌ"},
    {'Y', "ⓎＹỲÝŶỸȲẎŸỶỴƳɎỾ"},
    {'Z', "ⓏＺŹẐŻŽẒẔƵȤⱿⱫꝢ"},
    {'a', "ⓐａẚàáâầấẫẩãāăằắẵẳȧǡäǟảåǻǎȁȃạậặḁąⱥɐ"},
    {'b', "ⓑｂḃḅḇƀƃɓ"},
    {'c', "ⓒｃćĉċčçḉƈȼꜿↄ"},
    {'d', "ⓓｄḋďḍḑḓḏđƌɖɗꝺ"},
    {'e', "ⓔｅèéêềếễểẽēḕḗĕėëẻěȅȇẹệȩḝęḙḛɇɛǝ"},
    {'f', "ⓕｆḟƒꝼ"},
    {'g', "ⓖｇǵĝḡğġǧģǥɠꞡᵹꝿ"},
    {'h', "ⓗｈĥḣḧȟḥḩḫẖħⱨⱶɥ"},
    {'i', "ⓘｉìíîĩīĭïḯỉǐȉȋịįḭɨı"},
    {'j', "ⓙｊĵǰɉ"},
    {'k', "ⓚｋḱǩḳķḵƙⱪꝁꝃꝅꞣ"},
    {'l', "ⓛｌŀĺľḷḹļḽḻſłƚɫⱡꝉꞁꝇ"},
    {'m', "ⓜｍḿṁṃɱɯ"},
    {'n', "ⓝｎǹńñṅňṇņṋṉƞɲŉꞑꞥ"},
    {'o', "ⓞｏòóôồốỗổõṍȭṏōṑṓŏȯȱöȫỏőǒȍȏơờớỡởợọộǫǭøǿɔꝋꝍɵ"},
    {'p', "ⓟｐṕṗƥᵽꝑꝓꝕ"},
    {'q', "ⓠｑɋꝗꝙ"},
    {'r', "ⓡｒŕṙřȑȓṛṝŗṟɍɽꝛꞧꞃ"},
    {'s', "ⓢｓßśṥŝṡšṧṣṩșşȿꞩꞅẛ"},
    {'t', "ⓣｔṫẗťṭțţṱṯŧƭʈⱦꞇ"},
    {'u', "ⓤｕùúûũṹūṻŭüǜǘǖǚủůűǔȕȗưừứữửựụṳųṷṵʉ"},
    {'v', "ⓥｖṽṿʋꝟʌ"},
    {'w', "ⓦｗẁẃŵẇẅẘẉⱳ"},
    {'x', "ⓧｘẋẍ"},
    {'y', "ⓨｙỳýŷỹȳẏÿỷẙỵƴɏỿ"},
    {'z', "ⓩｚźẑżžẓẕƶȥɀⱬꝣ"},
};

// Letter per UTF-16 code unit; 0 where the unit has no row.
struct FoldTable {
    std::array<char, 0x10000> letter{};
    FoldTable() {
        for (const FoldRow& row : fold_rows) {
            letter[static_cast<unsigned char>(row.letter)] = row.letter;
            std::string_view v(row.variants);
            for (std::size_t i = 0; i < v.size();) {
                char32_t cp = next_code_point(v, i);
                if (cp < 0x10000) letter[cp] = row.letter;
            }
        }
    }
};

const FoldTable& fold_table() {
    static const FoldTable table;
    return table;
}

// Does the member take part in the search text? Decided by its name alone.
bool counts_for_search(const std::string& name) {
    static constexpr std::string_view contained[] = {"name",   "client_address", "state",
                                                     "city",   "street",         "postcode",
                                                     "identifier_number", "other", "email"};
    static constexpr std::string_view exact[] = {"phone", "note", "description", "sku", "upc", "number_formatted"};
    for (std::string_view e : exact)
        if (name == e) return true;
    for (std::string_view c : contained)
        if (name.find(c) != std::string::npos) return true;
    return false;
}

// One member's piece of the search text: folded, lower case, commas and full stops as blanks,
// words separated by single blanks; a phone number reduced to its digits.
std::string search_piece(const std::string& value, bool phone) {
    std::string folded = remove_diacritics(value);
    std::string out;
    out.reserve(folded.size());
    if (phone) {
        for (char c : folded)
            if (is_digit(c)) out += c;
        return out;
    }
    bool pending_blank = false;
    for (char c : folded) {
        if (is_space(c) || c == ',' || c == '.') {
            pending_blank = !out.empty();
            continue;
        }
        if (pending_blank) out += ' ';
        pending_blank = false;
        // The folded text is plain ASCII, so byte-wise lower-casing is exact.
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

}  // namespace

std::string normalize_whitespace(std::string text) {
    // Line by line: line breaks become "\n", runs of blanks inside a line become one blank,
    // lines lose their edge blanks, empty lines go, and so does whitespace at both ends.
    std::string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        bool pending_blank = false;
        bool line_has_text = false;
        while (i < n && text[i] != '\n' && text[i] != '\r') {
            char c = text[i++];
            if (is_space(c)) {
                pending_blank = line_has_text;
                continue;
            }
            if (pending_blank) out += ' ';
            pending_blank = false;
            if (!line_has_text && !out.empty()) out += '\n';
            line_has_text = true;
            out += c;
        }
        // Skip the line break: "\r\n", "\r" or "\n".
        if (i < n) {
            if (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n') ++i;
            ++i;
        }
    }
    return out;
}

std::string remove_diacritics(std::string text) {
    const FoldTable& table = fold_table();
    std::string out;
    out.reserve(text.size());
    std::string_view in(text);
    for (std::size_t i = 0; i < in.size();) {
        char32_t cp = next_code_point(in, i);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0xC0) {
            // Latin-1 signs (no-break space, degree, section sign...) and U+0080 become a blank;
            // a lone 0x80 byte would not be valid UTF-8.
            out += ' ';
        } else if (cp < 0x10000) {
            char letter = table.letter[cp];
            if (letter) out += letter;
        }
        // Everything else (no row, outside the BMP, invalid input) is dropped.
    }
    return out;
}

std::string search_text(json11::Json::object record) {
    std::set<std::string> pieces;
    for (const auto& [name, value] : record) {
        if (!counts_for_search(name)) continue;
        std::string piece = search_piece(value.is_string() ? value.string_value() : std::string(), name == "phone");
        if (!piece.empty()) pieces.insert(std::move(piece));
    }
    std::string out;
    for (const std::string& piece : pieces) {
        if (!out.empty()) out += ' ';
        out += piece;
    }
    return out;
}

void remove_empty_fields(json11::Json::object& record) {
    for (auto it = record.begin(); it != record.end();) {
        if (it->second.is_string() && it->second.string_value().empty())
            it = record.erase(it);
        else
            ++it;
    }
}

int number_in_text(std::string text) {
    std::size_t i = 0;
    while (i < text.size() && !is_digit(text[i])) ++i;
    long long value = 0;
    // A long digit run saturates instead of overflowing.
    for (; i < text.size() && is_digit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) value = INT_MAX;
    }
    return static_cast<int>(value);
}
