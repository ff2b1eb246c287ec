// Escaping of values that go into the pages. Every text taken from a record, a setting, a
// translation, a server reply or the user passes through here; the program's own markup does not.
#pragma once

#include <string>
#include <string_view>

// A value in HTML text or in a quoted attribute value: & < > " ' become entities. The backslash,
// the backquote and "${" become entities too, so that a page the host passes to the view inside
// a JavaScript template literal keeps the value as it is. Letters, digits and every other
// character (UTF-8 included) are copied unchanged.
std::string html_escaped(std::string_view text);

// A value inside a JavaScript string or template literal (quoted with ", ' or `) that stands in
// an HTML attribute, such as an onclick handler: the value is escaped for the script first
// (a backslash before \ " ' ` and "${", line breaks as \n and \r), then for HTML, so the
// attribute decodes to a script literal that holds the value exactly. The result holds no raw
// backslash, backquote or "${", so it also survives a template literal around the whole page.
std::string script_escaped(std::string_view text);
