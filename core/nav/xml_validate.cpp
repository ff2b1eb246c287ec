// Checking invoice data against the tax authority's schema with libxml2, and the Hungarian
// explanations of the messages that name invoice elements.
#include "core/Core.h"
#include "core/nav/xml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlschemas.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

namespace {

std::mutex xml_error_mutex;
// The message of the last failed validation (or of a libxml2 report outside one).
std::string g_xml_error;

void set_last_xml_error(const std::string& text) {
    std::lock_guard<std::mutex> lock(xml_error_mutex);
    g_xml_error = text;
}

// Keeps libxml2's messages on this thread in `target` for the life of the object, then gives the
// generic channel back to the process-wide last message. libxml2 keeps the channel per thread.
class ErrorChannel {
public:
    explicit ErrorChannel(std::string* target) { xmlSetGenericErrorFunc(target, collect_xml_error); }
    ~ErrorChannel() { xmlSetGenericErrorFunc(nullptr, collect_xml_error); }
    ErrorChannel(const ErrorChannel&) = delete;
    ErrorChannel& operator=(const ErrorChannel&) = delete;
};

using ParserContext = std::unique_ptr<xmlParserCtxt, decltype(&xmlFreeParserCtxt)>;
using Document = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;
using SchemaParser = std::unique_ptr<xmlSchemaParserCtxt, decltype(&xmlSchemaFreeParserCtxt)>;
using Schema = std::unique_ptr<xmlSchema, decltype(&xmlSchemaFree)>;
using Validator = std::unique_ptr<xmlSchemaValidCtxt, decltype(&xmlSchemaFreeValidCtxt)>;

// Parses without recovery: a text that is not well-formed XML with well-formed namespaces gives no
// document, and `error` says why.
Document parse_clean(const std::string& xml, std::string& error) {
    Document none(nullptr, xmlFreeDoc);
    if (xml.size() > static_cast<std::size_t>(INT_MAX)) {
        collect_xml_error(&error, "The document is too large.");
        return none;
    }
    ParserContext parser(xmlNewParserCtxt(), xmlFreeParserCtxt);
    if (!parser) {
        collect_xml_error(&error, "The XML parser could not be set up.");
        return none;
    }
    Document doc(xmlCtxtReadMemory(parser.get(), xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
                 xmlFreeDoc);
    const bool clean = doc && (doc->properties & XML_DOC_WELLFORMED) && (doc->properties & XML_DOC_NSVALID) &&
                       xmlDocGetRootElement(doc.get());
    if (clean) return doc;
    const xmlError* last = xmlCtxtGetLastError(parser.get());
    if (last && last->message)
        collect_xml_error(&error, "line %d: %s", last->line, last->message);
    else
        collect_xml_error(&error, "The document is not well-formed XML.");
    return none;
}

// The element a validation message is about, as the names of it and its ancestors from the root
// ("/InvoiceData/invoiceMain/.../city"), so that the message tells whose field it is.
std::string element_path(const xmlNode* node) {
    std::string path;
    for (; node && node->type == XML_ELEMENT_NODE; node = node->parent)
        path.insert(0, "/" + std::string(reinterpret_cast<const char*>(node->name)));
    return path;
}

// Keeps a validation message in the text `context` points to, after the path of its element.
void collect_validation_error(void* context, xmlErrorPtr error) {
    if (!error || !error->message) return;
    const std::string path = element_path(static_cast<const xmlNode*>(error->node));
    if (path.empty())
        collect_xml_error(context, "%s", error->message);
    else
        collect_xml_error(context, "%s: %s", path.c_str(), error->message);
}

}  // namespace

void collect_xml_error(void* context, const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (context)
        *static_cast<std::string*>(context) = buffer;
    else
        set_last_xml_error(buffer);
}

std::string last_xml_error() {
    std::lock_guard<std::mutex> lock(xml_error_mutex);
    return g_xml_error;
}

std::string Core::nav_schema_folder() {
    const std::string folder = endpoint_config().schema_dir;
    return folder.empty() ? app_folder + "nav/" : folder;
}

struct XmlSchema::Compiled {
    Schema schema{nullptr, xmlSchemaFree};
};

namespace {

void init_libxml() {
    static std::once_flag init;
    std::call_once(init, [] {
        xmlInitParser();
        xmlSetGenericErrorFunc(nullptr, collect_xml_error);
    });
}

}  // namespace

XmlSchema::XmlSchema(const std::string& path) : compiled_(std::make_unique<Compiled>()) {
    init_libxml();
    ErrorChannel channel(&error_);
    SchemaParser parser(xmlSchemaNewParserCtxt(path.c_str()), xmlSchemaFreeParserCtxt);
    if (parser) {
        xmlSchemaSetParserErrors(parser.get(), collect_xml_error, collect_xml_error, &error_);
        compiled_->schema.reset(xmlSchemaParse(parser.get()));
    }
    if (!compiled_->schema && error_.empty()) collect_xml_error(&error_, "The schema file %s could not be read.", path.c_str());
}

XmlSchema::~XmlSchema() = default;

bool XmlSchema::ok() const {
    return compiled_->schema != nullptr;
}

bool XmlSchema::valid(const std::string& xml, std::string* error) const {
    std::string message = error_;
    bool valid = false;
    if (compiled_->schema) {
        message.clear();
        ErrorChannel channel(&message);
        Document doc = parse_clean(xml, message);
        Validator validator(doc ? xmlSchemaNewValidCtxt(compiled_->schema.get()) : nullptr, xmlSchemaFreeValidCtxt);
        if (validator) {
            xmlSchemaSetValidStructuredErrors(validator.get(), collect_validation_error, &message);
            valid = xmlSchemaValidateDoc(validator.get(), doc.get()) == 0;
        }
    }
    if (valid) return true;
    if (message.empty()) message = "invalid XML";
    if (error) *error = message;
    return false;
}

struct XmlReply::Parsed {
    Document doc{nullptr, xmlFreeDoc};
};

namespace {

bool named(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

// The first element of that local name below `parent`, in document order.
const xmlNode* first_below(const xmlNode* parent, const char* name) {
    for (const xmlNode* child = parent->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        if (named(child, name)) return child;
        if (const xmlNode* found = first_below(child, name)) return found;
    }
    return nullptr;
}

// The same, the element itself counted first.
const xmlNode* first_from(const xmlNode* element, const char* name) {
    return named(element, name) ? element : first_below(element, name);
}

const xmlNode* child_named(const xmlNode* parent, const char* name) {
    for (const xmlNode* child = parent ? parent->children : nullptr; child; child = child->next)
        if (named(child, name)) return child;
    return nullptr;
}

// An element's character data, or its whole content as written when it holds other nodes too.
std::string content_of(xmlDoc* doc, const xmlNode* element) {
    bool plain = true;
    for (const xmlNode* child = element->children; child; child = child->next)
        plain = plain && (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE);
    std::string text;
    if (plain) {
        for (const xmlNode* child = element->children; child; child = child->next)
            if (child->content) text += reinterpret_cast<const char*>(child->content);
        return text;
    }
    std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> buffer(xmlBufferCreate(), xmlBufferFree);
    if (!buffer) return "<>";  // markup all the same, never taken for a value
    for (xmlNode* child = element->children; child; child = child->next)
        xmlNodeDump(buffer.get(), doc, child, 0, 0);
    return std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                       static_cast<std::size_t>(xmlBufferLength(buffer.get())));
}

}  // namespace

XmlReply::XmlReply(const std::string& xml) : parsed_(std::make_unique<Parsed>()) {
    if (xml.empty()) return;
    init_libxml();
    std::string message;
    ErrorChannel channel(&message);
    parsed_->doc = parse_clean(xml, message);
}

XmlReply::~XmlReply() = default;

bool XmlReply::whole() const {
    return parsed_->doc != nullptr;
}

bool XmlReply::ok() const {
    if (!whole()) return false;
    const xmlNode* func_code = child_named(child_named(xmlDocGetRootElement(parsed_->doc.get()), "result"), "funcCode");
    return func_code && content_of(parsed_->doc.get(), func_code) == "OK";
}

std::optional<std::string> XmlReply::first(const char* name, const char* within) const {
    if (!whole()) return std::nullopt;
    const xmlNode* root = xmlDocGetRootElement(parsed_->doc.get());
    const xmlNode* scope = within ? first_from(root, within) : nullptr;
    const xmlNode* found = within ? (scope ? first_below(scope, name) : nullptr) : first_from(root, name);
    if (!found) return std::nullopt;
    return content_of(parsed_->doc.get(), found);
}

bool Core::validate_invoice_xml(std::string xml, std::string* error) {
    // Compiled anew each time: invoices are checked one at a time, at saving.
    std::string message;
    if (XmlSchema(nav_schema_folder() + "invoiceData").valid(xml, &message)) return true;
    set_last_xml_error(message);
    if (error) *error = message;
    return false;
}

std::string nav_error_text(std::string text) {
    static const std::pair<const char*, const char*> explanations[] = {
        {"additionalAddressDetail", "Hibás utca."},
        {"city", "Hibás település."},
        {"communityVatNumber", "Hibás közösségi adószám. Minta: AU12345678"},
        {"countyCode", "Hibás adószám megyekód. Minta: 12345678-9-10"},
        {"exchangeRate", "Deviza számla esetén 0-nál nagyobb összegű árfolyam szükséges."},
        {"postalCode", "Hibás irányítószám."},
        {"taxpayerId", "Hibás adószám. Minta: 12345678-9-10"},
        {"thirdStateTaxId", "Hibás harmadik országbeli adószám."},
        {"vatCode", "Hibás adószám áfakód. Minta: 12345678-9-10"},
    };
    // A field of the buyer's or the supplier's block is told as theirs: the same street, city or tax
    // number stands in both. Each line is one message of its own, with its own path.
    std::string out;
    std::size_t line_start = 0;
    while (line_start <= text.size()) {
        const std::size_t line_end = std::min(text.find('\n', line_start), text.size());
        const std::string_view line = std::string_view(text).substr(line_start, line_end - line_start);
        const char* whose = line.find("/customerInfo") != std::string_view::npos   ? "Vevő: "
                            : line.find("/supplierInfo") != std::string_view::npos ? "Szállító: "
                                                                                     : "";
        for (const auto& [element, explanation] : explanations) {
            if (line.find(element) != std::string_view::npos) {
                out += whose;
                out += explanation;
                out += '\n';
            }
        }
        line_start = line_end + 1;
    }
    return out.empty() ? text : out;
}
