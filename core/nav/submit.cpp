// Reporting an invoice to the tax authority: its invoice data checked against the schema, an
// exchange token, then manageInvoice as a new (CREATE) or cancelling (STORNO) invoice.
#include "core/Core.h"
#include "core/nav/xml.h"

#include <cstdio>
#include <ctime>
#include <optional>

using json11::Json;

namespace {

// A refusal of the service: its message when the reply says ERROR; none when the reply is no answer
// of the service (nothing came back, or something that is not its reply).
std::optional<std::string> refusal(const std::string& reply) {
    if (xml_tag_value(reply, "funcCode") != "ERROR") return std::nullopt;
    const std::string message = xml_tag_value(reply, "message");
    if (!message.empty()) return message;
    const std::string code = xml_tag_value(reply, "errorCode");
    return code.empty() ? std::string("ERROR") : code;
}

// A refusal goes to the log by the invoice's number and the service's codes: its message may quote
// the invoice.
void log_refusal(const Json::object& document, const std::string& reply) {
    std::fprintf(stderr, "Tavrin: the tax authority refused invoice %s: %s %s\n",
                 Json(document)["number_formatted"].string_value().c_str(), xml_tag_value(reply, "funcCode").c_str(),
                 xml_tag_value(reply, "errorCode").c_str());
}

}  // namespace

bool is_nav_transaction_id(const std::string& text) {
    if (text.empty() || text.size() > 30) return false;
    for (char c : text) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
                             c == '_';
        if (!allowed) return false;
    }
    return true;
}

Core::NavPayload Core::nav_invoice_payload(const std::vector<Json>& lines, Json::object document) {
    NavPayload payload;
    document.erase("nav_number_formatted");
    document.erase("request_signature_extra");
    const std::string xml = nav_invoice_data_xml(lines, document, "");
    std::string codes;
    if (!validate_invoice_xml(xml, &payload.error, &codes)) {
        // The message and the data name the customer: the log gets the number and the codes only.
        std::fprintf(stderr, "Tavrin: invoice %s does not pass the tax authority's schema: %s\n",
                     Json(document)["number_formatted"].string_value().c_str(), codes.c_str());
        if (payload.error.empty()) payload.error = last_xml_error();
        return payload;
    }
    const double net_total = tax_summary(Json(lines)).total_net;
    payload.operation = is_cancelling_invoice(net_total, document) ? "STORNO" : "CREATE";
    payload.data = base64_encode(xml);
    return payload;
}

NavSubmission Core::nav_submit_invoice(std::vector<Json> lines, Json::object document, std::string request_id,
                                       std::function<std::optional<NavSubmission::Outcome>(std::time_t)> before_send,
                                       const NavPayload* prepared) {
    using Outcome = NavSubmission::Outcome;
    if (current_account == "DEMO") return {Outcome::accepted, "1234567890"};

    const NavPayload payload = prepared ? *prepared : nav_invoice_payload(lines, document);
    if (payload.data.empty()) return {Outcome::refused, payload.error};

    // The working copy is the credentials object of both requests.
    const Json supplier = setting("supplier");
    for (const char* key : nav_credential_names)
        document[key] = supplier[key].string_value();
    document.erase("nav_number_formatted");  // the token exchange gets a fresh request id
    document.erase("request_signature_extra");

    const Json token_answer = nav_request("", "TokenExchangeRequest", "tokenExchange", document);
    const std::string token_reply = token_answer["xml"].string_value();
    // Until the invoice itself has gone out, a failure leaves nothing at the service.
    if (xml_tag_value(token_reply, "funcCode") != "OK") {
        if (const std::optional<std::string> refused = refusal(token_reply)) {
            log_refusal(document, token_reply);
            return {Outcome::refused, *refused};
        }
        // The front's own 503 page: the service is there, briefly unavailable.
        if (token_answer["status"].int_value() == 503 && xml_tag_value(token_reply, "funcCode").empty())
            return {Outcome::unavailable, ""};
        return {Outcome::not_reached, ""};
    }

    document["request_signature_extra"] = sha3_512_hex(payload.operation + payload.data);
    // Never derived from the invoice number: a retried or repeated number must not repeat the id.
    document["nav_number_formatted"] = request_id;

    const std::string token = decrypt_exchange_token(xml_tag_value(token_reply, "encodedExchangeToken"),
                                                     Json(document)["nav_xml_cserekulcs"].string_value());
    const std::string body = "<exchangeToken>" + xml_escaped(token) +
                             "</exchangeToken><invoiceOperations><compressedContent>false</compressedContent>"
                             "<invoiceOperation><index>1</index><invoiceOperation>" +
                             payload.operation + "</invoiceOperation><invoiceData>" + payload.data +
                             "</invoiceData></invoiceOperation></invoiceOperations>";

    if (before_send) {
        if (const std::optional<Outcome> withheld = before_send(nav_reply_time(token_reply))) return {*withheld, ""};
    }
    const std::string reply = nav_request(body, "ManageInvoiceRequest", "manageInvoice", document)["xml"].string_value();
    // Only a reply that says OK and names a transaction of the service's form is an acceptance.
    const std::string transaction_id = xml_tag_value(reply, "transactionId");
    if (xml_tag_value(reply, "funcCode") == "OK" && is_nav_transaction_id(transaction_id))
        return {Outcome::accepted, transaction_id};
    // No readable answer: the service may have taken the invoice all the same.
    if (const std::optional<std::string> refused = refusal(reply)) {
        log_refusal(document, reply);
        return {Outcome::refused, *refused};
    }
    return {Outcome::unknown, ""};
}
