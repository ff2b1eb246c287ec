// Loopback stand-in for the tax authority's invoice interface (version 3.0):
//   POST /invoiceService/v3/<operation> with an XML request, answered with an XML reply.
// It checks a request the way the service does: well-formed XML valid against the published API
// schema, a request id not seen before, a timestamp within a day of the (test) clock, the technical
// user and its password hash, the tax number, and the request signature recomputed from the sent
// header and its own copy of the user's signing key. The hashes and the token cipher are OpenSSL's,
// not the program's. It answers tokenExchange (after a delay when asked), queryTaxpayer,
// manageInvoice, queryTransactionStatus (with the original invoice data when asked for it),
// queryTransactionList (the user's transactions received in a time interval, paged), queryInvoiceCheck
// and queryInvoiceData; every refusal is a GeneralErrorResponse with funcCode ERROR. Request ids are
// remembered for the fake's life, so a program started again meets the ids of its earlier runs.
// A submission is a transaction from the moment it arrives, whatever becomes of its reply (which can
// be lost or held on the way back); it is RECEIVED, then PROCESSING, and DONE only after the
// processing delay, as at the service: only then do the invoice queries know its invoices. A CREATE
// whose number the supplier already has in a transaction that is not aborted is ABORTED with
// INVOICE_NUMBER_NOT_UNIQUE, as at the service. Any operation's reply can be made to fail, come back
// cut short or not at all. Reception times (insDate) are read on the fake's own clock: the system's,
// shifted by a test's offset, since the service's clock is not the program's.
#pragma once

#include "json11/json11.hpp"
#include "tests/fakes/fake_server.h"

#include <map>
#include <optional>
#include <set>

// A technical user as the service has it registered.
struct NavUser {
    std::string login;
    std::string password;
    std::string signing_key;   // XML aláírókulcs
    std::string exchange_key;  // XML cserekulcs (its first 16 characters are the AES key)
    std::string tax_number;    // the 8-digit taxpayer id the user acts for

    // The supplier settings `supplier` with this user's credentials and the given tax number.
    json11::Json::object signed_in(json11::Json::object supplier, const std::string& identifier_number) const {
        supplier["identifier_number"] = identifier_number;
        supplier["nav_user_id"] = login;
        supplier["nav_user_pwd"] = password;
        supplier["nav_xml_alairokulcs"] = signing_key;
        supplier["nav_xml_cserekulcs"] = exchange_key;
        return supplier;
    }
};

struct NavAddress {
    std::string type = "HQ";  // HQ, SITE or BRANCH
    std::string postal_code;
    std::string city;
    std::string street_name;
    std::string public_place_category;
    std::string number;  // this and the parts below are left out of the reply when empty
    std::string building;
    std::string staircase;
    std::string floor;
    std::string door;
};

struct NavTaxpayer {
    std::string id;  // 8 digits
    std::string vat_code;
    std::string county_code;
    std::string name;
    std::vector<NavAddress> addresses;
};

// A validation message of a processing result.
struct NavMessage {
    bool technical = false;    // technical (CRITICAL/ERROR) or business (ERROR/WARN/INFO)
    std::string result_code;   // validationResultCode
    std::string error_code;    // validationErrorCode
    std::string message;
};

// A transaction as a test sets it (its status then stays put), or as a submission stands at the moment.
struct NavTransaction {
    std::string status = "RECEIVED";  // RECEIVED, PROCESSING, SAVED, DONE, ABORTED
    std::vector<NavMessage> messages;
    // For a transaction made by manageInvoice: each operation with its Base64 invoice data.
    std::vector<std::pair<std::string, std::string>> invoices;
};

// One request as the fake took it apart, with its verdict.
struct NavCall {
    std::string operation;  // the URL's last segment
    std::string root;       // the request's root element
    std::string request_id;
    std::string timestamp;
    std::string login;
    std::string password_hash;
    std::string tax_number;
    std::string request_signature;
    std::time_t service_time = 0;  // the service's clock when the request came in
    std::string error_code;  // empty when the request was answered with funcCode OK
    std::string error_message;
    RecordedRequest request;
};

// What becomes of the reply to an accepted submission.
enum class NavReplyFault {
    none,
    drop,  // the connection closes after the headers: accepted, and the program hears nothing
    hang,  // held until release_hung (or the fake goes), then dropped
    gateway,  // the front answers 504 at once; the submission is registered only after the gateway delay
};

// What becomes of the reply to one request of an operation (fail_next).
enum class NavQueryFault {
    error,    // GeneralErrorResponse OPERATION_FAILED (HTTP 500); the request is not carried out
    garbled,  // carried out, and the reply arrives with status 200 but cut in the middle
    drop,     // carried out, and the connection closes after the headers with no reply
    unavailable,  // the front answers 503 with a page of its own, no reply of the service; not carried out
};

class NavFake : public FakeServer {
public:
    // `schema_folder` holds the published invoiceApi.xsd, invoiceBase.xsd and common.xsd.
    explicit NavFake(const std::string& schema_folder);
    ~NavFake() override;

    // TAVRIN_NAV_URL for this fake.
    ScopedEnv::Values env() const;

    void add_user(NavUser user);
    void add_taxpayer(NavTaxpayer taxpayer);
    void set_transaction(const std::string& transaction_id, NavTransaction transaction);
    NavTransaction transaction(const std::string& transaction_id) const;

    // The next `count` accepted submissions get `fault`; a policy, when set, chooses for the rest.
    void fault_next_replies(NavReplyFault fault, int count = 1);
    void set_reply_policy(std::function<NavReplyFault()> policy);
    // Lets every held reply go (dropped).
    void release_hung();
    // True once a reply is held, within `limit`.
    bool wait_hung(std::chrono::milliseconds limit) const;
    // How long a submission takes to process: until then its invoices are unknown to queryInvoiceCheck
    // and queryInvoiceData, and its status is RECEIVED for the first half and PROCESSING for the
    // second. A submission processed under the old delay stays processed when the delay grows.
    void set_processing_delay(std::chrono::milliseconds delay);
    // The invoice numbers the fake took as valid invoices, in order of receipt (an aborted duplicate
    // is not among them; a number taken twice under different operations is there twice).
    std::vector<std::string> accepted_numbers() const;
    // The number of every CREATE received, in order, aborted ones included: what reached the service.
    std::vector<std::string> received_numbers() const;

    // The next submission received is ABORTED once processed, for a business error its schema check
    // does not see (`reason`); its number stays free.
    void refuse_next_on_processing(NavMessage reason);
    // How long after a gateway 504 the submission is registered (received, listed, processed).
    void set_gateway_delay(std::chrono::milliseconds delay);
    // A submission of the same technical user by other software (not among accepted_numbers and
    // received_numbers), processed as any other; its transaction id.
    std::string add_foreign_submission(const std::string& login, const std::string& operation,
                                       const std::string& base64_data);
    // A technical annulment of the user: listed with technicalAnnulment true, DONE, without content.
    std::string add_annulment(const std::string& login);
    // What queryTransactionStatus gives as the original request of every invoice of this number, sent
    // or to come: `shown` in place of the data sent, or nothing at all when `shown` is empty.
    void set_original_request(const std::string& invoice_number, const std::string& shown);

    // The same invoice data in another form, as the service may give it back: another layout, the
    // issue date before the number, amounts without their trailing zeros.
    static std::string in_another_form(const std::string& base64_data);

    // Transactions per page of queryTransactionList (100 unless a test wants paging sooner).
    void set_list_page_size(int size);
    // queryTransactionList claims `extra` pages more than it has, and gives them empty (0: as it has).
    void set_list_extra_pages(int extra);
    // The service's clock (insDate) ahead of the system clock by `offset` (behind when negative).
    void set_clock_offset(std::chrono::seconds offset);
    // tokenExchange answers only after `delay`; other requests are served meanwhile.
    void set_token_delay(std::chrono::milliseconds delay);
    // Every request of `operation` ("queryInvoiceData", ...) is answered only after `delay`, as a slow
    // service answers; other requests are served meanwhile.
    void set_answer_delay(const std::string& operation, std::chrono::milliseconds delay);
    // The next `count` requests of `operation` ("queryTransactionList", "tokenExchange", ...) get `fault`.
    void fail_next(const std::string& operation, NavQueryFault fault, int count = 1);
    // The next request of `operation` is carried out as any other, and its reply goes out (status 200)
    // as `rewrite` makes it of the service's own: a raw reply of the test's, or the service's altered.
    using Rewrite = std::function<std::string(const std::string& reply)>;
    void rewrite_next(const std::string& operation, Rewrite rewrite);

    std::vector<NavCall> calls() const;
    // The plain exchange tokens handed out, in order.
    std::vector<std::string> issued_tokens() const;

    // Empty when `xml` is well-formed and valid against the API schema, else the first complaint.
    static std::string schema_problem(const std::string& schema_folder, const std::string& xml);
    // Upper-case hexadecimal digests and the Base64 AES-128-ECB (PKCS#7) token as OpenSSL makes them.
    static std::string sha512_upper(const std::string& text);
    static std::string sha3_512_upper(const std::string& text);
    static std::string encrypted_token(const std::string& token, const std::string& key);

private:
    struct Reply {
        int status = 200;
        std::string xml;
    };
    struct Asked;  // a request that passed the checks, as the operation's answer reads it

    void handle(const httplib::Request& request, httplib::Response& response);
    Reply answer(NavCall& call, const std::string& body);
    Reply failed(NavCall& call, const std::string& body);
    static Reply refused(NavCall& call, int status, const std::string& code, const std::string& message);
    static Reply replied(const Asked& asked, const std::string& content);
    Reply answer_token_exchange(Asked& asked);
    Reply answer_taxpayer(Asked& asked);
    Reply answer_manage_invoice(Asked& asked);
    Reply answer_transaction_status(Asked& asked);
    Reply answer_transaction_list(Asked& asked);
    Reply answer_invoice_check(Asked& asked);
    Reply answer_invoice_data(Asked& asked);

    std::string schema_folder_;
    mutable std::mutex mutex_;
    std::map<std::string, NavUser> users_;
    std::map<std::string, NavTaxpayer> taxpayers_;
    std::map<std::string, NavTransaction> transactions_;
    std::set<std::string> seen_request_ids_;
    std::map<std::string, std::string> open_tokens_;  // token -> login
    std::vector<std::string> issued_tokens_;
    std::vector<NavCall> calls_;
    int next_number_ = 1;
    std::string transaction_prefix_;
    std::string new_transaction_id();

    // A transaction made by manageInvoice, from the moment it arrived.
    struct Submission {
        struct Invoice {
            std::string operation;  // CREATE, MODIFY, STORNO
            std::string data;       // Base64 invoice data as sent
            std::string number;
            bool duplicate = false;  // a CREATE of a number taken before: aborted once processed
            std::optional<NavMessage> refusal;  // aborted once processed for this reason instead
        };
        std::string transaction_id;
        std::string login;
        std::string tax_number;
        std::chrono::system_clock::time_point ins_date;  // on the service's clock, whole milliseconds
        std::chrono::steady_clock::time_point received;  // registered from then on
        bool processed = false;  // latched when the processing delay changes
        std::vector<Invoice> invoices;
        bool foreign = false;     // sent by other software of the same user
        bool annulment = false;   // a technical annulment: no invoice data
    };
    enum class Stage { received, processing, processed };
    Stage stage(const Submission& submission) const;  // with mutex_ held
    const Submission* submission(const std::string& transaction_id) const;
    std::pair<const Submission*, std::size_t> known_invoice(const std::string& number,
                                                            const std::string& tax_number) const;
    std::chrono::system_clock::time_point service_now() const;
    bool registered(const Submission& submission) const;
    // A submission of other software of the user, or a technical annulment (with mutex_ held).
    Submission& add_other_submission(const std::string& login, bool annulment);
    Submission::Invoice checked_invoice(const Submission& received, const std::string& operation,
                                        const std::string& data) const;

    std::vector<Submission> submissions_;  // in order of receipt
    std::chrono::milliseconds processing_delay_{0};
    std::vector<NavReplyFault> next_faults_;
    std::optional<NavMessage> next_refusal_;
    std::function<NavReplyFault()> reply_policy_;
    std::map<std::string, std::vector<NavQueryFault>> query_faults_;  // by operation, next first
    std::map<std::string, std::vector<Rewrite>> rewrites_;            // by operation, next first
    int list_page_size_ = 100;
    int list_extra_pages_ = 0;
    std::chrono::seconds clock_offset_{0};
    std::map<std::string, std::chrono::milliseconds> answer_delays_;  // by operation
    std::chrono::milliseconds gateway_delay_{2000};
    std::map<std::string, std::string> shown_originals_;  // by invoice number
    mutable std::condition_variable hung_changed_;
    int hung_ = 0;
    std::uint64_t releases_ = 0;
    bool stopping_ = false;
};
