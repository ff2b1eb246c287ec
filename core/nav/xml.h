// Text going into and coming out of the XML the program writes by hand (tax-authority requests,
// invoice data, export files).
#pragma once

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// `text` made safe as XML character data: "&", "<" and ">" become entity references, and with
// `attribute` also the double and the single quote. Control characters that XML 1.0 cannot carry
// (below 0x20 except tab, line feed and carriage return) are left out. Letters, digits and other
// text come back unchanged.
std::string xml_escaped(std::string_view text, bool attribute = false);

// The reverse for a run of character data read from a reply: the five predefined entities and
// decimal or hexadecimal character references are replaced by their characters (UTF-8); anything
// else, an unknown or unterminated reference included, is kept as it stands.
std::string xml_unescaped(std::string_view text);

// A moment as UTC text in the given strftime format.
std::string utc_text(std::time_t t, const char* format);

// The contents of every element whose local name is `name` (any namespace prefix), in document
// order, as raw text; an element whose end is missing ends the list.
std::vector<std::string> xml_elements(const std::string& xml, const std::string& name);

// A schema file compiled once with libxml2, to check one document or many against it.
class XmlSchema {
public:
    explicit XmlSchema(const std::string& path);
    ~XmlSchema();
    XmlSchema(const XmlSchema&) = delete;
    XmlSchema& operator=(const XmlSchema&) = delete;

    // False when the file could not be read or compiled.
    bool ok() const;
    // True when `xml` is a well-formed document (read without recovery) valid against the schema;
    // otherwise `error`, when given, gets libxml2's last message (never empty).
    bool valid(const std::string& xml, std::string* error = nullptr) const;

private:
    struct Compiled;
    std::unique_ptr<Compiled> compiled_;
    std::string error_;  // why the schema could not be compiled
};

// A reply of the tax authority read for what it is: one whole, well-formed document (read without
// recovery), or nothing. Its elements are found in the document's tree by their local name (any
// namespace), so that text that only looks like markup, in a comment, a CDATA section or an error
// message, is never taken for an element.
class XmlReply {
public:
    explicit XmlReply(const std::string& xml);
    ~XmlReply();
    XmlReply(const XmlReply&) = delete;
    XmlReply& operator=(const XmlReply&) = delete;

    // False when the text is not one whole document: cut short, empty, or no XML at all.
    bool whole() const;
    // Whether the service answered the question: a whole reply whose own result says funcCode OK.
    bool ok() const;
    // The content of the first element named `name` in document order, searched within the first
    // element named `within` when that is given: its character data, or its content as written when
    // it holds markup of its own. None when there is no such element.
    std::optional<std::string> first(const char* name, const char* within = nullptr) const;

private:
    struct Parsed;
    std::unique_ptr<Parsed> parsed_;
};
