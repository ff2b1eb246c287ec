// Questions to the tax authority: a taxpayer's registered data, and the processing result of
// submitted invoices.
#include "core/store/store_internal.h"
#include "core/nav/xml.h"

#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

using json11::Json;

namespace {

std::string text_of(const Json::object& record, const char* name) {
    auto found = record.find(name);
    return found == record.end() ? std::string() : found->second.string_value();
}

std::string reply_text(const Json& result) {
    return result["xml"].string_value();
}

bool known_value(const std::string& text, std::initializer_list<const char*> values) {
    for (const char* value : values)
        if (text == value) return true;
    return false;
}

void refuse_status_reply(const char* why) {
    std::fprintf(stderr, "Tavrin: a transaction status reply was refused (%s); the invoice stays unreported\n", why);
}

// The status a status reply gives the invoice as it is stored: the final invoice status of its
// processing result directly followed by the first validation result code there, each only as one of
// the values the service's schema knows. None when nothing came back or the processing is still
// under way, and for a reply that is not what it claims to be (said in the log).
std::optional<std::string> final_status(const std::string& xml) {
    if (xml.empty()) return std::nullopt;
    const XmlReply reply(xml);
    if (!reply.whole()) {
        refuse_status_reply("it is no whole XML document");
        return std::nullopt;
    }
    if (!reply.ok()) {
        refuse_status_reply("its funcCode is not OK");
        return std::nullopt;
    }
    // A transaction the service gives no result for yet tells nothing either.
    const std::optional<std::string> given = reply.first("invoiceStatus", "processingResult");
    if (!given) return std::nullopt;
    const std::string& status = *given;
    if (known_value(status, {"RECEIVED", "PROCESSING", "SAVED"})) return std::nullopt;
    if (!known_value(status, {"DONE", "ABORTED"})) {
        refuse_status_reply("its invoice status is none the service gives");
        return std::nullopt;
    }
    const std::optional<std::string> code = reply.first("validationResultCode", "processingResult");
    if (code && !known_value(*code, {"CRITICAL", "ERROR", "WARN", "INFO"})) {
        refuse_status_reply("its validation result code is none the service gives");
        return std::nullopt;
    }
    return status + code.value_or("");
}

}  // namespace

void Core::nav_query_taxpayer(std::string tax_number, JsonCallback done) {
    Json::object supplier = setting("supplier").object_items();
    const std::string supplier_tax_number = text_of(supplier, "identifier_number");
    if (tax_number.size() < 8 || supplier_tax_number.size() < 8 || text_of(supplier, "nav_user_id").empty() ||
        text_of(supplier, "nav_user_pwd").empty()) {
        call_completion(done, Json());
        return;
    }
    supplier["supplier_identifier_number"] = supplier_tax_number.substr(0, 8);

    // Only the taxpayer id is asked; a VAT code and county code after it are not sent.
    const std::string body = "<taxNumber>" + xml_escaped(tax_number.substr(0, 8)) + "</taxNumber>";
    const std::string reply = reply_text(nav_request(body, "QueryTaxpayerRequest", "queryTaxpayer", supplier));

    const std::string taxpayer_id = xml_tag_value(reply, "taxpayerId");
    if (taxpayer_id.size() != 8) {
        call_completion(done, Json(Json::object{}));
        return;
    }
    auto value = [&reply](const char* tag) { return xml_tag_value(reply, tag); };
    // Joined by blanks and then normalised, so that missing parts leave no gaps.
    const std::string street = value("streetName") + " " + value("publicPlaceCategory") + " " + value("number") + " " +
                               value("building") + " " + value("staircase") + " " + value("floor") + " " + value("door");
    call_completion(done, Json(Json::object{
                              {"name", value("taxpayerName")},
                              {"identifierNumber", taxpayer_id + "-" + value("vatCode") + "-" + value("countyCode")},
                              {"postcode", value("postalCode")},
                              {"city", value("city")},
                              {"street", normalize_whitespace(street)},
                          }));
}

void Core::nav_query_transaction_status(std::function<void(bool)> done) {
    const Json::object supplier = setting("supplier").object_items();
    for (const char* name : nav_credential_names) {
        if (text_of(supplier, name).empty()) {
            if (done) done(false);
            return;
        }
    }

    // An invoice saved without the member, or written by an older version, holds NULL rather than
    // the empty text; it is just as unreported.
    const std::vector<Json::object> rows =
        store::rows(*this,
                    "SELECT * FROM documents WHERE type = 'INVOICE' AND (nav_status = '' OR nav_status IS NULL) "
                    "ORDER BY created DESC LIMIT 10");
    for (const Json::object& row : rows) {
        Json::object credentials = row;
        for (const char* name : nav_credential_names) credentials[name] = text_of(supplier, name);

        const std::string body =
            "<transactionId>" + xml_escaped(text_of(row, "nav_transaction_id")) + "</transactionId>";
        const std::string reply = reply_text(
            nav_request(body, "QueryTransactionStatusRequest", "queryTransactionStatus", credentials));

        // Anything but a final status (no answer, an error reply, still being processed) leaves
        // the invoice pending, to be asked again next time.
        const std::optional<std::string> status = final_status(reply);
        if (!status) continue;
        store::give_report_status(*this, text_of(row, "recordName"), *status);
    }
    if (done) done(!rows.empty());
}
