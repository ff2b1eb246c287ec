// Reporting an invoice to the tax authority: its invoice data checked against the schema, an
// exchange token, then manageInvoice as a new (CREATE) or cancelling (STORNO) invoice.
#include "core/Core.h"
#include "core/nav/xml.h"

#include <cstdio>

using json11::Json;

namespace {

// The answer to a refused or missing reply: the server's message when it says ERROR.
std::string refusal(const std::string& reply) {
    if (xml_tag_value(reply, "funcCode") == "ERROR") return xml_tag_value(reply, "message");
    return "NO_INTERNET";
}

}  // namespace

std::string Core::nav_send_invoice(std::vector<Json> lines, Json::object document) {
    if (current_account == "DEMO") return "ok^1234567890";
    const NavSubmission sent = nav_submit_invoice(std::move(lines), std::move(document), nav_new_request_id());
    return sent.outcome == NavSubmission::Outcome::accepted ? "ok^" + sent.text : sent.text;
}

NavSubmission Core::nav_submit_invoice(std::vector<Json> lines, Json::object document, std::string request_id) {
    using Outcome = NavSubmission::Outcome;
    if (current_account == "DEMO") return {Outcome::accepted, "1234567890"};

    // The working copy is the credentials object of both requests.
    const Json supplier = setting("supplier");
    for (const char* key : {"nav_user_id", "nav_user_pwd", "nav_xml_alairokulcs", "nav_xml_cserekulcs"})
        document[key] = supplier[key].string_value();
    document.erase("nav_number_formatted");  // the token exchange gets a fresh request id
    document.erase("request_signature_extra");

    const std::string xml = nav_invoice_data_xml(lines, document, "");
    std::string error;
    if (!validate_invoice_xml(xml, &error)) {
        std::fwrite(xml.data(), 1, xml.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        return {Outcome::refused, error};
    }

    const std::string token_reply =
        nav_request("", "TokenExchangeRequest", "tokenExchange", document)["xml"].string_value();
    // Until the invoice itself has gone out, a failure leaves nothing at the service.
    if (xml_tag_value(token_reply, "funcCode") != "OK") {
        const std::string text = refusal(token_reply);
        return {text == "NO_INTERNET" ? Outcome::not_sent : Outcome::refused, text};
    }

    const double net_total = tax_summary(Json(lines)).total_net;
    const std::string operation = is_cancelling_invoice(net_total, document) ? "STORNO" : "CREATE";
    const std::string data = base64_encode(xml);
    document["request_signature_extra"] = sha3_512_hex(operation + data);

    // Never derived from the invoice number: a retried or repeated number must not repeat the id.
    document["nav_number_formatted"] = request_id;

    const std::string token = decrypt_exchange_token(xml_tag_value(token_reply, "encodedExchangeToken"),
                                                     Json(document)["nav_xml_cserekulcs"].string_value());
    const std::string body = "<exchangeToken>" + xml_escaped(token) +
                             "</exchangeToken><invoiceOperations><compressedContent>false</compressedContent>"
                             "<invoiceOperation><index>1</index><invoiceOperation>" +
                             operation + "</invoiceOperation><invoiceData>" + data +
                             "</invoiceData></invoiceOperation></invoiceOperations>";

    const std::string reply = nav_request(body, "ManageInvoiceRequest", "manageInvoice", document)["xml"].string_value();
    const std::string transaction_id = xml_tag_value(reply, "transactionId");
    if (!transaction_id.empty()) return {Outcome::accepted, transaction_id};
    // No readable answer: the service may have taken the invoice all the same.
    const std::string text = refusal(reply);
    return {text == "NO_INTERNET" ? Outcome::unknown : Outcome::refused, text};
}
