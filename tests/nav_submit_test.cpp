// Invoice submission against the loopback tax authority (which checks the schema, the password hash,
// the signature over the sent invoice data and the exchange token), its refusals, the DEMO answer,
// and the upload to the accounting service.
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "tests/fakes/cashbook_fake.h"
#include "tests/fakes/nav_fake.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

using json11::Json;

namespace {

const std::string kSchemaDir = std::string(TAVRIN_TEST_DATA) + "/../../resources/nav/";

std::string decoded(std::string base64) {
    base64.push_back('\0');
    const std::size_t size = base64_decode(base64.size() - 1, base64.data());
    return base64.substr(0, size);
}

class NavSubmit : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return std::time_t(1767261600); });
        core = make_core(dir.path() + "data/", "hu");
        core->current_account = "ACME";
        core->open_database();
        ASSERT_NE(core->db, nullptr);
        nav.add_user(user);
        set_credentials(user.password, user.exchange_key);
    }
    void TearDown() override {
        core.reset();
        set_clock({});
    }

    void set_credentials(const std::string& password, const std::string& exchange_key) {
        Json::object supplier = core->setting("supplier").object_items();
        supplier["nav_user_id"] = user.login;
        supplier["nav_user_pwd"] = password;
        supplier["nav_xml_alairokulcs"] = user.signing_key;
        supplier["nav_xml_cserekulcs"] = exchange_key;
        ASSERT_TRUE(core->save_record(Json::object{{"recordName", "supplier"}, {"value", Json(supplier).dump()}},
                                      "settings"));
    }
    // A net-priced line at the first tax (27 %) in the first unit.
    Json line(double quantity, double price) {
        return Json::object{{"name", "Alma"}, {"quantity", quantity}, {"price", price}, {"price_type", "NET"}};
    }
    Json::object invoice(const std::string& number, Json::object extra = {}) {
        Json::object d{{"recordName", "INVOICE-" + number}, {"type", "INVOICE"}, {"number_formatted", "2026/" + number},
                       {"issue_date", "2026-01-01"}, {"delivery_date", "2026-01-01"}, {"due_date", "2026-01-09"},
                       {"currency_code", "HUF"}, {"exchange_rate", 1}, {"supplier_identifier_number", "12345678-2-42"},
                       {"supplier_name", "ACME Kft"}, {"supplier_country_code", "HU"}, {"supplier_postcode", "1234"},
                       {"supplier_city", "Budapest"}, {"supplier_street", "Fő utca 1 & 3"},
                       {"client_status", "PRIVATE_PERSON"}};
        for (auto& [k, v] : extra) d[k] = v;
        return d;
    }
    // The operation and invoice data of the transaction a result names.
    std::pair<std::string, std::string> submitted(const std::string& result) {
        EXPECT_EQ(result.rfind("ok^", 0), 0u) << result;
        const NavTransaction t = nav.transaction(result.substr(3));
        if (t.invoices.size() != 1) return {};
        return {t.invoices[0].first, decoded(t.invoices[0].second)};
    }

    TempDir dir;
    ScopedEnv schema{"TAVRIN_SCHEMA_DIR", kSchemaDir};
    NavFake nav{std::string(TAVRIN_TEST_DATA) + "/nav"};
    ScopedEnv nav_url{nav.env()};
    NavUser user{"acmeuser01", "Titok&Jelszo1", "ce-8f5e-215119fa7dd621DLMRHRLH2S", "CE8F5E215119FA7D", "12345678"};
    std::unique_ptr<Core> core;
};

// One submission as a report makes it: "ok^" + the transaction id, the refusal's text, or how it
// ended without an answer.
std::string send_invoice(Core& core, std::vector<Json> lines, Json::object document) {
    const NavSubmission sent = core.nav_submit_invoice(std::move(lines), std::move(document), nav_new_request_id());
    switch (sent.outcome) {
    case NavSubmission::Outcome::accepted:
        return "ok^" + sent.text;
    case NavSubmission::Outcome::not_reached:
        return "not reached";
    case NavSubmission::Outcome::unknown:
        return "no answer";
    default:
        return sent.text;
    }
}

TEST_F(NavSubmit, NewAndCancellingInvoicesAreAccepted) {
    const std::vector<Json> lines = {line(2, 1000), line(1, 500)};
    const Json::object document = invoice("00012");
    const std::string result = send_invoice(*core, lines, document);
    const auto [operation, data] = submitted(result);
    EXPECT_EQ(operation, "CREATE");
    EXPECT_EQ(data, core->nav_invoice_data_xml(lines, document, ""));

    const std::vector<NavCall> calls = nav.calls();  // each passed the fake's checks (error_code empty)
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].operation + calls[0].error_code, "tokenExchange");
    EXPECT_EQ(calls[1].operation + calls[1].error_code, "manageInvoice");
    // The submission's id is not made from the number: a second try of the same number gets another.
    EXPECT_NE(calls[1].request_id, calls[0].request_id);
    EXPECT_EQ(calls[1].request_id.find("202600012"), std::string::npos);

    // The save flow keeps the transaction id on the document.
    Json::object saved = document;
    saved["nav_transaction_id"] = result.substr(3);
    ASSERT_EQ(core->save_document(lines, false, saved), "INVOICE-00012");
    EXPECT_EQ(Json(store::rows(*core, "SELECT nav_transaction_id AS id FROM documents").at(0))["id"],
              Json(result.substr(3)));

    // Negative total with a reference: STORNO; without one, or positive with one: CREATE.
    const auto storno = submitted(send_invoice(*core, 
        {line(-2, 1000)},
        invoice("00013", {{"reference_recordName", "INVOICE-00012"}, {"reference_number_formatted", "2026/00012"}})));
    EXPECT_EQ(storno.first, "STORNO");
    EXPECT_NE(storno.second.find("<originalInvoiceNumber>2026/00012</originalInvoiceNumber>"), std::string::npos);
    EXPECT_EQ(submitted(send_invoice(*core, {line(-2, 1000)}, invoice("00014"))).first, "CREATE");
    EXPECT_EQ(submitted(send_invoice(*core, {line(2, 1000)}, invoice("00015", {{"reference_recordName", "X"}})))
                  .first,
              "CREATE");
}

TEST_F(NavSubmit, RefusalsAndFailuresAreReported) {
    // Invalid invoice data: nothing is sent, the data goes to standard output, the message comes back.
    const Json::object bad = invoice("00020", {{"supplier_identifier_number", "1234567-82-42"}});
    testing::internal::CaptureStdout();
    const std::string invalid = send_invoice(*core, {line(1, 10)}, bad);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(invalid.find("taxpayerId"), std::string::npos) << invalid;
    EXPECT_EQ(printed, core->nav_invoice_data_xml({line(1, 10)}, bad, "") + "\n");
    EXPECT_EQ(nav.calls().size(), 0u);

    // A wrong password is refused at the token exchange.
    set_credentials("wrong", user.exchange_key);
    EXPECT_EQ(send_invoice(*core, {line(1, 10)}, invoice("00021")), "Helytelen authentikációs adatok!");
    EXPECT_EQ(nav.calls().size(), 1u);
    // A wrong exchange key yields a meaningless token, which the service refuses.
    set_credentials(user.password, "0000000000000000");
    const std::string meaningless = send_invoice(*core, {line(1, 10)}, invoice("00022"));
    EXPECT_EQ(nav.calls().back().operation, "manageInvoice");
    EXPECT_EQ(meaningless, nav.calls().back().error_message);
    EXPECT_NE(meaningless, "");
    set_credentials(user.password, user.exchange_key);

    // Only funcCode OK with a transaction id of the service's form is an acceptance; anything else
    // is no answer (the invoice may be there all the same).
    nav.route("POST", "/invoiceService/v3/manageInvoice", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<r><ns2:funcCode>OK</ns2:funcCode><transactionId>T77_X</transactionId></r>",
                             "application/xml");
    });
    EXPECT_EQ(send_invoice(*core, {line(1, 10)}, invoice("00024")), "ok^T77_X");
    for (const char* reply : {"<r><ns2:funcCode>WARN</ns2:funcCode><transactionId>T77</transactionId></r>",
                              "<r><ns2:funcCode>OK</ns2:funcCode><transactionId>T-77</transactionId></r>",
                              "<r><ns2:funcCode>OK</ns2:funcCode><transactionId>T7"}) {
        nav.route("POST", "/invoiceService/v3/manageInvoice", [reply](const httplib::Request&, httplib::Response& response) {
            response.set_content(reply, "application/xml");
        });
        EXPECT_EQ(send_invoice(*core, {line(1, 10)}, invoice("00024")), "no answer") << reply;
    }
    nav.route("POST", "/invoiceService/v3/manageInvoice", [](const httplib::Request&, httplib::Response& response) {
        response.status = 502;
        response.set_content("<html>Bad gateway</html>", "text/html");
    });
    EXPECT_EQ(send_invoice(*core, {line(1, 10)}, invoice("00025")), "no answer");

    // A question after an invoice's number answered with a reply cut short after its funcCode OK is a
    // failure, never "no invoice under this number".
    Core::NavSought sought;
    sought.number = "2026/00099";
    sought.tax_number = "12345678";
    EXPECT_EQ(core->nav_invoice_holder(sought).state, NavFound::State::absent);
    nav.rewrite_next("queryInvoiceData", [](const std::string& reply) {
        const std::string result_end = "</ns2:result>";
        return reply.substr(0, reply.find(result_end) + result_end.size());
    });
    EXPECT_EQ(core->nav_invoice_holder(sought).state, NavFound::State::refused);
    EXPECT_EQ(nav.calls().back().operation, "queryInvoiceData");

    // No server at all.
    ScopedEnv nowhere("TAVRIN_NAV_URL", "http://127.0.0.1:1");
    testing::internal::CaptureStdout();
    EXPECT_EQ(send_invoice(*core, {line(1, 10)}, invoice("00026")), "not reached");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// A report whose reply is lost is settled by the invoice the authority holds under its number,
// asked first; an authority briefly unavailable (503 without a reply of its own) is asked again within
// the save's wait, and told in its own words while it stays so.
TEST_F(NavSubmit, ALostReplyIsSettledByItsNumberFirstAndABriefOutageIsWaitedOut) {
    ScopedEnv wait("TAVRIN_NAV_SETTLE_SECONDS", "10");
    auto asked_after_sending = [&](std::size_t from) {
        std::vector<std::string> operations;
        const std::vector<NavCall> calls = nav.calls();
        for (std::size_t at = from; at < calls.size(); ++at) operations.push_back(calls[at].operation);
        return operations;
    };
    std::size_t before = nav.calls().size();
    nav.fault_next_replies(NavReplyFault::drop);
    EXPECT_EQ(core->nav_report_invoice({line(1, 100)}, invoice("00050")).result, NavReport::Result::stored);
    EXPECT_EQ(asked_after_sending(before),
              (std::vector<std::string>{"tokenExchange", "manageInvoice", "queryInvoiceData"}));

    before = nav.calls().size();
    nav.fault_next_replies(NavReplyFault::drop);
    nav.fail_next("queryInvoiceData", NavQueryFault::unavailable);
    EXPECT_EQ(core->nav_report_invoice({line(1, 100)}, invoice("00051")).result, NavReport::Result::stored);
    EXPECT_EQ(asked_after_sending(before),
              (std::vector<std::string>{"tokenExchange", "manageInvoice", "queryInvoiceData", "queryInvoiceData"}));

    // Slow is not down: queries answered in 6 s, more than a settling call's own time, within the
    // request's limit, settle a lost reply and the processing of an accepted submission.
    {
        ScopedEnv limit("TAVRIN_NAV_REQUEST_SECONDS", "10");
        ScopedEnv long_wait("TAVRIN_NAV_SETTLE_SECONDS", "20");
        for (const char* operation : {"queryInvoiceData", "queryTransactionStatus"})
            nav.set_answer_delay(operation, std::chrono::seconds(6));
        nav.fault_next_replies(NavReplyFault::drop);
        EXPECT_EQ(core->nav_report_invoice({line(1, 100)}, invoice("00053")).result, NavReport::Result::stored);
        nav.set_processing_delay(std::chrono::milliseconds(300));
        EXPECT_EQ(core->nav_report_invoice({line(1, 100)}, invoice("00054")).result, NavReport::Result::stored);
        nav.set_processing_delay(std::chrono::milliseconds(0));
        for (const char* operation : {"queryInvoiceData", "queryTransactionStatus"})
            nav.set_answer_delay(operation, std::chrono::milliseconds(0));
    }
    // A token exchange answered 503 is asked again within the wait; for as long as the wait, it is
    // told as briefly unavailable, and nothing went out.
    nav.fail_next("tokenExchange", NavQueryFault::unavailable);
    EXPECT_EQ(core->nav_report_invoice({line(1, 100)}, invoice("00055")).result, NavReport::Result::stored);
    {
        ScopedEnv short_wait("TAVRIN_NAV_SETTLE_SECONDS", "4");
        nav.fail_next("tokenExchange", NavQueryFault::unavailable, 2);
        EXPECT_EQ(core->nav_report_invoice({line(1, 100)}, invoice("00056")).result, NavReport::Result::unavailable);
        const std::vector<std::string> received = nav.received_numbers();
        EXPECT_EQ(std::count(received.begin(), received.end(), "2026/00056"), 0);
    }

    ScopedEnv no_wait("TAVRIN_NAV_SETTLE_SECONDS", "0");
    nav.fault_next_replies(NavReplyFault::drop);
    nav.fail_next("queryInvoiceData", NavQueryFault::unavailable);
    const NavReport waiting = core->nav_report_invoice({line(1, 100)}, invoice("00052"));
    EXPECT_EQ(waiting.result, NavReport::Result::waiting);
    EXPECT_EQ(waiting.pending.reason, NavSettled::Reason::unavailable);
    EXPECT_EQ(core->nav_settle_report().result, NavSettled::Result::stored);

    // An outcome a later version kept under a word of its own is told as unknown, never as dropped.
    const Json later = Json::array{Json::object{{"request_id", "TVLATER"}, {"outcome", "annulled"}}};
    ASSERT_TRUE(core->save_record({{"recordName", store::kSettledReportsRow}, {"value", later.dump()}, {"synced", -1}},
                                  "settings"));
    EXPECT_EQ(core->nav_settled_outcome("TVLATER").result, NavSettled::Result::unknown);
}

// A listing read over several calls goes on under the interval it listed, whatever interval a later
// call needs: a transaction that a moved interval would have put on a page read before is still read.
TEST_F(NavSubmit, AResumedListingWhoseIntervalMovedReadsEveryTransaction) {
    nav.set_processing_delay(std::chrono::hours(1));
    nav.set_list_page_size(1);
    auto other_software = [&](int count, const std::string& first) {
        for (int index = 0; index < count; ++index) {
            const std::string number = first + std::to_string(index);
            nav.add_foreign_submission(user.login, "CREATE",
                                       base64_encode(core->nav_invoice_data_xml({line(1, 10)}, invoice(number), "")));
        }
    };
    nav.set_clock_offset(std::chrono::seconds(-600));
    other_software(5, "0010");
    nav.set_clock_offset(std::chrono::seconds(0));
    other_software(17, "002");
    const Json::object ours = invoice("00060");
    const Core::NavPayload payload = core->nav_invoice_payload({line(1, 100)}, ours);
    nav.fault_next_replies(NavReplyFault::drop);
    EXPECT_EQ(core->nav_submit_invoice({line(1, 100)}, ours, nav_new_request_id()).outcome,
              NavSubmission::Outcome::unknown);
    other_software(8, "003");

    Core::NavSought sought;
    sought.data_digest = sha3_512_hex(payload.data);
    sought.number = "2026/00060";
    sought.tax_number = "12345678-2-42";
    sought.request_id = "MOVED";
    const std::time_t service_now = clock_now();
    sought.from = service_now - 10000;
    sought.to = service_now + 1000;
    sought.clock_known = false;
    // First listed from before the earlier transactions, then from after them.
    sought.sent_ago = 400;
    const NavFound first = core->nav_find_submission(sought);
    ASSERT_EQ(first.state, NavFound::State::unread);
    EXPECT_LT(first.pages_read, first.pages_total);
    sought.sent_ago = 100;
    EXPECT_EQ(core->nav_find_submission(sought).state, NavFound::State::processing);
}

TEST_F(NavSubmit, DemoAccountSendsNothing) {
    core->current_account = "DEMO";
    EXPECT_EQ(send_invoice(*core, {line(1, 10)}, invoice("00030")), "ok^1234567890");
    EXPECT_EQ(nav.request_count(), 0u);
}

TEST_F(NavSubmit, CashbookUploadCarriesTheInvoiceDataWithItsPdf) {
    CashbookFake cashbook("tok-123");
    ScopedEnv cashbook_url(cashbook.env());
    const std::string pdf = dir.write("invoice.pdf", std::string("%PDF-1.4\n\x01\xff binary\n%%EOF\n", 26));
    const std::vector<Json> lines = {line(2, 1000)};
    const Json::object document = invoice("00040");

    EXPECT_EQ(core->cashbook_upload(lines, document, "tok-123", pdf), "{\"id\":1,\"status\":\"RECEIVED\"}");
    ASSERT_EQ(cashbook.request_count(), 1u);
    const RecordedRequest sent = cashbook.requests()[0];
    EXPECT_EQ(sent.method + " " + sent.target, "POST /api/v3/document/pool/osa");
    EXPECT_EQ(sent.header("Content-Type") + "|" + sent.header("Authorization") + "|" + sent.header("X-Request-ID"),
              "application/xml|Bearer tok-123|Tavrin");
    const std::string pdf_base64 = base64_encode(read_file(pdf));
    EXPECT_EQ(sent.body, core->nav_invoice_data_xml(lines, document, pdf_base64));
    EXPECT_NE(sent.body.find("<dataValue>" + pdf_base64 + "</dataValue>"), std::string::npos);

    // Refusals come back as the service wrote them; a token cannot add header lines.
    EXPECT_EQ(core->cashbook_upload(lines, document, "", pdf), "{\"error\":\"unauthorized\"}");
    EXPECT_EQ(core->cashbook_upload(lines, document, "tok-123\nX-Evil: 1", pdf), "{\"error\":\"unauthorized\"}");
    EXPECT_EQ(cashbook.requests().back().header_count("X-Evil"), 0u);
    {
        ScopedEnv nowhere("TAVRIN_CASHBOOK_URL", "http://127.0.0.1:1");
        EXPECT_EQ(core->cashbook_upload(lines, document, "tok-123", pdf), "");
    }
    core->current_account = "DEMO";
    EXPECT_EQ(core->cashbook_upload(lines, document, "tok-123", pdf), "");
    EXPECT_EQ(cashbook.request_count(), 3u);
}

}  // namespace
