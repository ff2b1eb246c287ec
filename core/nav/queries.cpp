// Questions to the tax authority: a taxpayer's registered data, and the processing result of
// submitted invoices.
#include "core/store/store_internal.h"
#include "core/nav/xml.h"

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
        const std::string status = xml_tag_value(reply, "invoiceStatus");
        if (status != "DONE" && status != "ABORTED") continue;
        store::give_report_status(*this, text_of(row, "recordName"), status + xml_tag_value(reply, "validationResultCode"));
    }
    if (done) done(!rows.empty());
}
