// The application object and every free function of the core library.
#pragma once

#include "core/sync_notices.h"
#include "json11/json11.hpp"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

struct sqlite3;

// ---------------------------------------------------------------------------------------------
// Clock and configuration
// ---------------------------------------------------------------------------------------------

// The present moment in whole seconds. Every operation that needs "now" reads this clock.
std::time_t clock_now();
// Replaces the clock (tests); an empty function restores the system clock.
void set_clock(std::function<std::time_t()> clock);

// Remote addresses and keys. Each field has its built-in default and is overridden by its
// environment variable, read anew on every call, so one process can be pointed at several servers.
struct EndpointConfig {
    std::string cloud_url;        // TAVRIN_CLOUD_URL: scheme + host (+ port) of the cloud web services
    std::string cloud_container;  // container identifier of the cloud database
    std::string cloud_api_token;  // TAVRIN_CLOUD_API_TOKEN
    std::string maker_url;        // TAVRIN_MAKER_URL: update files, error log, help pages, converter page
    std::string rates_url;        // TAVRIN_RATES_URL: the central bank's exchange-rate service
    std::string cashbook_url;     // TAVRIN_CASHBOOK_URL: the accounting service
    std::string nav_url;          // TAVRIN_NAV_URL: the tax authority's API base
    std::string schema_dir;       // TAVRIN_SCHEMA_DIR: folder of the invoice data schema files (may be empty)
    std::string ca_file;          // TAVRIN_CA_FILE: extra CA certificate file for HTTPS (may be empty)
    std::string data_dir;         // TAVRIN_DATA_DIR: data folder override, with a trailing '/' (may be empty)
};
EndpointConfig endpoint_config();

// ---------------------------------------------------------------------------------------------
// JSON, string and date utilities
// ---------------------------------------------------------------------------------------------

json11::Json::object find_object(json11::Json::array list, bool first_when_none, std::string key, std::string value);
int index_of(json11::Json::array list, std::string key, std::string value);
std::string to_lower(std::string text);
std::string to_upper(std::string text);
std::vector<std::string> split(char separator, std::string text);
std::tm make_date(int year, short month, short day);
std::tm local_time(std::int64_t t);
std::string iso_date(std::int64_t t);
std::string format_time(const std::tm& tm, std::string format);

// Saturating conversions of JSON numbers (NaN gives 0).
int saturated_int(double value);
std::int64_t saturated_int64(double value);
// A money amount in whole hundredths (fillér), rounded half away from zero; what is no number is 0.
// Sums of amounts are made in these, so that they are exact however many are added.
std::int64_t cents_of(double amount);

// The name of a country (two-letter code) or of a language (two-letter code) in `language`, the
// program's language ("hu" or "en"); empty when the code names none.
std::string country_name(const std::string& code, const std::string& language);
std::string language_name(const std::string& code, const std::string& language);

// ---------------------------------------------------------------------------------------------
// Record names and Base64
// ---------------------------------------------------------------------------------------------

std::string new_record_name();
std::string base64_encode(const std::string& bytes);
std::string file_base64(std::string path);

// ---------------------------------------------------------------------------------------------
// Text folding and search text
// ---------------------------------------------------------------------------------------------

std::string normalize_whitespace(std::string text);
std::string remove_diacritics(std::string text);
std::string search_text(json11::Json::object record);
void remove_empty_fields(json11::Json::object& record);
int number_in_text(std::string text);

// ---------------------------------------------------------------------------------------------
// Store helpers
// ---------------------------------------------------------------------------------------------

// Name order of list rows: by their `wname` members, letters case-blind, accented letters by the
// collation of the user's locale. A strict weak order (safe for std::sort and std::stable_sort).
bool less_by_wname(const json11::Json::object& a, const json11::Json::object& b);

namespace store {
class Statement;
class RowWriter;
}

// ---------------------------------------------------------------------------------------------
// Network
// ---------------------------------------------------------------------------------------------

// Completion of a network operation: called once, on the calling thread, before the operation
// returns, with the parsed reply, an error reply or the null value.
using JsonCallback = std::function<void(json11::Json)>;

// One request; a payload whose member "xml" is a string is sent as that XML text, any other
// payload as its JSON dump. A body of 5 bytes or less makes a GET. The result is {"xml": reply,
// "status": the HTTP status} for XML payloads and the parsed reply otherwise; a failed transfer gives
// {"xml": "", "status": 0} or null.
// `total_seconds` (when above 0) bounds the whole transfer.
json11::Json http_request(std::string url, json11::Json payload, std::string headers, long total_seconds = 0);
// The same request for a JSON payload, giving the reply's text as received (empty when the transfer
// failed), for a reply that the JSON reader may not take whole.
std::string http_request_text(const std::string& url, const json11::Json& payload, const std::string& headers,
                              long total_seconds = 0);
// While set, every transfer, running or new, fails within about a second: the program is closing
// and must not wait out the time limits of a service that does not answer.
void set_network_cancelled(bool cancelled);
// Stores the reply body in `path` (only when the transfer succeeded), then calls `done` with null.
void download_file(std::string url, std::string path, JsonCallback done);
// The forint rate of `currency` on `date` ("%Y-%m-%d"); 0 when none could be read.
void mnb_exchange_rates(std::string currency, std::string date, std::function<void(double)> done);

// Calls `done` with `value`; an empty function stands for the empty completion.
void call_completion(const JsonCallback& done, json11::Json value);
// Passes on the very value it receives to `done`.
JsonCallback forwarding_completion(JsonCallback done);
// Calls `done` with the null value, whatever it receives.
JsonCallback finishing_completion(JsonCallback done);
// Accepts any result and does nothing.
JsonCallback empty_completion();

// ---------------------------------------------------------------------------------------------
// Tax-authority primitives
// ---------------------------------------------------------------------------------------------

// Texts are read up to their first NUL byte; digests are 128 upper-case hexadecimal digits.

// The Keccak-f[1600] permutation (24 rounds) of 25 little-endian lanes, in place.
void keccak_f1600(std::uint64_t state[25]);
// SHA3-512 of `length` bytes; fills and returns the 64-byte `out`.
std::uint8_t* sha3_512(const std::uint8_t* input, std::size_t length, std::uint8_t out[64]);
std::string sha3_512_hex(std::string text);

// One padded SHA-512 block: sixteen big-endian 64-bit words.
struct Sha512Block {
    std::uint64_t w[16];
};
// The padded message of the C string `input`; `block_count` receives the number of blocks.
std::vector<Sha512Block> sha512_pad(const char* input, std::size_t& block_count);
// Compresses `block_count` blocks from the standard initial value; `out` receives H0-H7.
void sha512_transform(const std::vector<Sha512Block>& blocks, std::size_t block_count, std::uint64_t out[8]);
std::string sha512_hex(std::string text);

// Steps of the AES inverse cipher on a 16-byte state, in place.
void inv_sub_bytes(std::uint8_t state[16]);
void inv_shift_rows(std::uint8_t state[16]);
void inv_mix_columns(std::uint8_t state[16]);
// AES-128 decryption of one 16-byte block in place.
void aes128_decrypt_block(std::uint8_t block[16], const std::uint8_t key[16]);

// Decodes the Base64 text of `length` bytes in place and returns the decoded length. Bytes outside
// the alphabet and every "=" are skipped; a NUL byte follows the decoded bytes, so `bytes` must
// hold at least length + 1 bytes (a std::string's data() does).
std::size_t base64_decode(std::size_t length, char* bytes);

// The plain text of the tax authority's exchange token: Base64, AES-128-ECB under the first 16
// characters of `key`, PKCS#7 padding (not checked). A key shorter than 16 characters or a token
// with nothing to decode is refused: the result is empty and `error`, when given, says why.
std::string decrypt_exchange_token(std::string token, std::string key, std::string* error = nullptr);

// ---------------------------------------------------------------------------------------------
// Tax-authority requests
// ---------------------------------------------------------------------------------------------

// Sends one operation ("tokenExchange", "queryTaxpayer", ...) to the tax authority: `body` (XML
// whose values the caller has escaped) wrapped in the signed envelope whose root is `request_element`.
// Read from `credentials` (strings): "nav_number_formatted" (the request id; otherwise a fresh
// "RID_" id), "request_signature_extra", "nav_xml_alairokulcs", "supplier_identifier_number",
// "nav_user_pwd", "nav_user_id". The result is http_request's: {"xml": reply, "status": HTTP status},
// with an empty reply (or null) when nothing came back. The request takes nav_request_seconds() at
// most, or `total_seconds` when that is less (and above 0).
json11::Json nav_request(std::string body, std::string request_element, std::string operation,
                         json11::Json::object credentials, long total_seconds = 0);
// A request id the service has never seen: unique across runs, restarts and installations, within
// the service's pattern ([+a-zA-Z0-9_], at most 30 characters).
std::string nav_new_request_id();
// The text of the first element whose name ends in `tag` and whose content is text (no child
// element, not empty), entities decoded; empty text when there is none.
std::string xml_tag_value(std::string xml, std::string tag);
// The requestSignature: SHA3-512 of request id + the request time as UTC "%Y%m%d%H%M%S" + signing
// key + the per-operation extra (the invoice hashes of a submission).
std::string nav_request_signature(const std::string& request_id, std::time_t request_time,
                                  const std::string& signing_key, const std::string& extra);

// ---------------------------------------------------------------------------------------------
// Invoice data checks
// ---------------------------------------------------------------------------------------------

// True for a cancelling (storno) invoice: a net total below zero and a non-empty text in the
// document's "reference_recordName".
bool is_cancelling_invoice(double net_total, const json11::Json::object& document);
// libxml2's error handler: the formatted message (at most 255 bytes) goes into the std::string that
// `context` points to, or, when it is null, becomes the last XML error.
void collect_xml_error(void* context, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The message of the last failed validation (or of a libxml2 report outside one), process-wide.
std::string last_xml_error();
// The Hungarian explanation of each invoice element a validation or server message names, one per
// line, naming the buyer or the supplier when the message is about a field of theirs; the text
// itself when it names none.
std::string nav_error_text(std::string text);

// ---------------------------------------------------------------------------------------------
// Document logic types
// ---------------------------------------------------------------------------------------------

// A document's amounts added up by tax: per summary label (byte order) and in total.
struct TaxSummary {
    std::map<std::string, double> net;
    std::map<std::string, double> tax;
    std::map<std::string, double> gross;
    double total_net = 0;
    double total_tax = 0;
    double total_gross = 0;
};

// The page-break and page-number script of the printable pages, inserted verbatim into each.
extern const std::string pagination_script;

// How one invoice submission ended.
struct NavSubmission {
    enum class Outcome {
        accepted,       // text: the transaction id
        refused,        // text: the service's message or the validation text; nothing is kept there
        not_reached,    // the service was not reached before the invoice went out: nothing sent
        unavailable,    // the service said it is briefly unavailable (503 without a reply of its own)
                        // before the invoice went out: nothing sent
        unknown,        // the invoice went out and no answer came back
        window_closed,  // nothing sent: the report's window for sending had run out
        cloud_failed,   // nothing sent: the company's shared record could not be written to say it is sent
        store_failed,   // nothing sent: this computer's record of the report could not be written
    };
    Outcome outcome = Outcome::not_reached;
    std::string text;
};

// The record of a report under way, as it is kept on this computer (settings row "nav_pending") and
// in the company's shared record: read once from its stored JSON, written back by json() alone.
struct NavReportRecord {
    // How far the report has gone: recorded (nothing sent), sending (its sending is recorded: a copy
    // may be on its way), received (the authority's reply named its transaction).
    enum class Phase { recorded, sending, received };
    Phase phase = Phase::recorded;
    std::string request_id;
    std::string number;          // number_formatted
    std::string tax_number;      // the supplier's tax number it went under
    std::string data_digest;     // of the Base64 invoice data sent
    std::string content_digest;
    std::string transaction_id;  // received
    // Who writes it from where.
    std::string installation;
    std::string machine;
    std::optional<std::string> store_file;  // none: written by an earlier version, which did not say
    long pid = 0;
    std::string process_start;
    std::string boot;
    // The company's shared record: its change tag when read or written here, and the tag of the version
    // its sender wrote over as it went on to send.
    std::string shared_tag;
    std::string replaces_tag;
    // The writer sends only once its sending is written into this very record.
    bool announces_sending = false;
    // On this computer's wall clock (UTC seconds): when it was written, until when its writer may send
    // it, and when its sending was recorded (sending and received).
    std::time_t written = 0;
    std::time_t deadline = 0;
    std::optional<std::time_t> sent;
    // On the boot clock of `boot`: when it was written, when its sending was recorded, and when its
    // request left (recorded on this computer alone, once the shared record says it is sent).
    std::optional<double> written_boot;
    std::optional<double> sent_boot;
    std::optional<double> left_boot;
    // The authority's clock less this computer's wall clock: measured for this very report once it is
    // sending, else as last known.
    std::optional<std::time_t> service_offset;
    json11::Json::object document;
    json11::Json::array lines;
    // Every member as it was read, so that what a later version added is written back unchanged.
    json11::Json::object stored;

    // None when `stored` is no record of a report (no request id).
    static std::optional<NavReportRecord> read(const json11::Json& stored);
    json11::Json json() const;
};

// What settling the report under way did.
struct NavSettled {
    enum class Result {
        none,     // no report under way
        stored,   // the authority holds it: stored (record_name)
        taken,    // its number is held at the authority by another invoice: nothing stored, the number
                  // is never reported again
        dropped,  // it never reached the authority: the record is gone and the number free
        refused,  // the authority refused it on processing (message): nothing stored, the number free
        waiting,  // still unknown (reason, message)
        unknown,  // settled here, but how it ended is a word this version does not know (a later version
                  // settled it)
    };
    // Why a report is still unknown.
    enum class Reason {
        sending,           // its request may still be on the way
        processing,        // the authority has it and is still processing it
        contested,         // another transaction that may carry its number is still being processed
        unreachable,       // the authority did not answer
        unavailable,       // the authority said it is briefly unavailable (503 without a reply of its own)
        question_refused,  // the authority refused the question (message)
        no_credentials,    // the authority cannot be asked: the technical user's data are missing
        cloud,             // the company's shared record could not be read or removed
        shared_unreadable, // the company's shared record stands but cannot be read here
        listing_unread,    // the authority's list of transactions is not read whole yet
        content_unread,    // a transaction's content could not be read, and nothing else tells
        store,             // it is accepted, but this computer's store could not be written
        unrecorded,        // the authority's verdict (refused, taken, never arrived) is known, but its
                           // record here or in the cloud could not be removed
        judged_elsewhere,  // another installation settled it and is keeping its invoice and removing
                           // the shared record; from `deadline` on, this one finishes that
    };
    Result result = Result::none;
    Reason reason = Reason::sending;
    std::string number;       // the invoice number of the report (not none)
    std::string request_id;   // its request id
    std::string record_name;  // stored: the stored document
    std::string message;
    bool elsewhere = false;   // reported by another installation of the company
    // elsewhere: when the shared record was written and from when the other installations may go on
    // without its reporter (on this computer's clock; 0 when unknown).
    std::time_t written = 0;
    std::time_t deadline = 0;
    // listing_unread: how far the authority's listing has been read (0 when unknown).
    int pages_read = 0;
    int pages_total = 0;
};

// How a settled report ended, as files and records keep it ("stored", "taken", "refused", "dropped"):
// the one place of these words. An empty word is an earlier version's stored report; a word not
// known reads as dropped.
const char* nav_outcome_word(NavSettled::Result result);
NavSettled::Result nav_outcome_of_word(const std::string& word);

// Who keeps the invoice of a report that ends unstored, and tells the user of it. Its draft is in the
// store whoever it is: the open page that sends the report (from the moment it is recorded until the
// page lets it go) shows that draft and issues it; otherwise the drafts list holds it and the user is
// told once (Core::take_kept_drafts).
enum class InvoiceKeeper { drafts, page };

// The draft that keeps the invoice of a report that ended unstored.
struct KeptDraft {
    std::string request_id;
    std::string number;        // the invoice number it was reported under
    std::string draft;         // the draft's record name
    std::string draft_number;  // the draft's own number
    NavSettled::Result outcome = NavSettled::Result::dropped;  // dropped, refused (message) or taken
    std::string message;
};

// What a draft stands for: a draft of the user's own, one kept for an invoice whose report ended
// unstored (number: that invoice's number), or such a draft used up since by the invoice issued from
// it (number: the issued invoice's).
struct DraftKeeping {
    enum class State { own, kept, issued };
    State state = State::own;
    NavSettled::Result outcome = NavSettled::Result::dropped;
    std::string number;
};

// The outcome of reporting and storing an invoice (Core::nav_report_invoice).
struct NavReport {
    enum class Result {
        stored,   // reported and stored: record_name
        refused,  // message: the service's answer; nothing stored
        not_sent, // the service could not be reached; nothing sent, nothing stored
        unavailable,  // the service said it is briefly unavailable, also when asked again within the
                      // save's wait; nothing sent, nothing stored
        dropped,  // it was settled as never arrived at the authority: nothing stored, the number free
        window_closed,  // its window for sending ran out before it went: nothing sent, nothing stored
        cloud_update,   // the company's shared record could not be written to say it is sent: nothing sent
        waiting,  // a report's outcome is still unknown (pending): nothing new is sent
        failed,   // the store could not be written
        cloud,    // the company's shared record of the report could not be written (message), or the cloud
                  // did not answer for its changes: nothing sent
        changes_refused,    // the cloud refused to give its changes (message: its serverErrorCode): nothing sent
        changes_unwritten,  // the cloud's changes came but could not be written here: nothing sent
        renumber, // the number was taken meanwhile (another installation's invoice came in): nothing stored
        taken,    // the authority holds another invoice of the number: nothing stored, the number is never
                  // reported again
        outcome_unknown,  // it was settled meanwhile, in a way this version cannot tell
    };
    Result result = Result::failed;
    std::string record_name;
    std::string message;
    // waiting: the unsettled report (number, request id, why it waits).
    NavSettled pending;
    // waiting: it is the report this very call sent.
    bool sent_now = false;
    // dropped, refused on processing, taken: the draft that keeps what this call sent.
    std::optional<KeptDraft> kept;
};

// What the tax authority's own records say of one invoice data sent by the technical user.
struct NavFound {
    enum class State {
        done,            // processed and kept (with or without warnings): transaction_id
        processing,      // received, still being processed (transaction_id when known)
        contested,       // another transaction that may carry the number is still being processed
        aborted,         // refused on processing: message
        taken,           // its invoice number is held by another invoice data (transaction_id)
        absent,          // not among the user's transactions of the interval, each of them identified
        unread,          // the records could not be read whole: gap
        unreachable,     // the authority was not reached
        unavailable,     // the authority answered 503 without a reply of its own: briefly unavailable
        refused,         // the authority refused the question, or failed to answer it as it should (a
                         // listing that claims pages it does not give, a reply cut short): message
        no_credentials,  // the technical user's data are missing: nothing was asked
    };
    // What could not be read of an unread one.
    enum class Gap {
        none,
        pages,    // the listing is not read to its end
        content,  // a transaction's content could not be read, and the invoice held under the number
                  // does not tell
    };
    State state = State::unreachable;
    std::string transaction_id;
    std::string message;
    Gap gap = Gap::none;
    // Gap pages: how far the listing has been read (pages read of the pages it has; 0 when unknown).
    int pages_read = 0;
    int pages_total = 0;
};

// The supplier settings members that make the tax authority's technical user: name, password, XML
// signing key and XML exchange key. Every request needs all four.
inline constexpr const char* nav_credential_names[] = {"nav_user_id", "nav_user_pwd", "nav_xml_alairokulcs",
                                                       "nav_xml_cserekulcs"};

// This computer, told from any other, also from one that holds a copy of this data folder.
std::string nav_machine_id();

// The SHA3-512 digest of invoice data XML without its declaration and the blanks between elements.
std::string nav_content_digest(const std::string& invoice_xml);
// What an invoice data XML says the invoice is, whatever its layout, element order or number format:
// its number, the supplier's and the customer's tax numbers, issue and delivery dates, currency, and
// the net, VAT and gross totals per rate and in all; empty when it is no invoice data.
std::string nav_invoice_material(const std::string& invoice_xml);
// The authority's own time in a reply's header (UTC seconds), 0 when it gives none.
std::time_t nav_reply_time(const std::string& reply);

// True when the cloud's answer to one create operation says a record of that name stands already
// ("EXISTS", or "CONFLICT" as the native framework words it).
bool is_standing_record_refusal(const json11::Json& entry);

// True when `text` is a transaction id of the form the authority gives ([+a-zA-Z0-9_], 1 to 30).
bool is_nav_transaction_id(const std::string& text);

// How long one request to the tax authority may take in all, in seconds: once it has passed (and a
// margin for a front that registers what it had taken in), no copy of it is still on its way.
// TAVRIN_NAV_REQUEST_SECONDS (1 to 600), else 60.
long nav_request_seconds();

// ---------------------------------------------------------------------------------------------
// The application object
// ---------------------------------------------------------------------------------------------

// An invoice the export schema cannot carry: its number, the element the schema refused, and
// whether that was one of its numbers (10 digits at most before the point).
struct NavExportLeftOut {
    std::string number_formatted;
    std::string element;
    bool too_many_digits = false;
};

// A list page, its position and what it sums up (Core::list_page_of).
struct ListPage {
    std::string html;
    std::int32_t page = 0;
    std::int32_t count = 0;
    std::string summary;
    std::vector<json11::Json::object> rows;
};

// A text that pool threads and the UI thread both read and write: each read is a copy taken under
// its lock, each write replaces it whole.
class SharedText {
public:
    SharedText() = default;
    SharedText(const SharedText&) = delete;
    SharedText& operator=(const SharedText&) = delete;
    SharedText& operator=(std::string text) {
        std::lock_guard<std::mutex> lock(mutex_);
        text_ = std::move(text);
        return *this;
    }
    std::string get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    operator std::string() const { return get(); }
    bool empty() const { return get().empty(); }
    std::size_t size() const { return get().size(); }
    friend bool operator==(const SharedText& shared, const std::string& text) { return shared.get() == text; }
    friend bool operator==(const SharedText& shared, const char* text) { return shared.get() == text; }
    friend std::string operator+(const std::string& left, const SharedText& right) { return left + right.get(); }
    friend std::string operator+(const SharedText& left, const std::string& right) { return left.get() + right; }
    friend std::string operator+(const SharedText& left, const char* right) { return left.get() + right; }
    friend std::ostream& operator<<(std::ostream& out, const SharedText& shared) { return out << shared.get(); }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

class Core {
public:
    Core(std::string data_folder, std::string app_folder, std::map<std::string, std::string> system_info,
         std::vector<std::string> month_names, std::vector<std::map<int, std::string>> weekday_names,
         std::string language, std::string accent_color);
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // --- state -----------------------------------------------------------------------------
    bool is_hungarian = false;
    // The open account: the cloud settings fetch sets it on a pool thread while the window reads it.
    SharedText current_account;
    json11::Json constants;
    std::vector<std::string> month_names;
    std::vector<std::map<int, std::string>> weekday_names;
    std::map<std::string, std::string> system_info;
    std::int32_t list_page = 0;
    std::int32_t list_count = 0;
    std::string list_summary;
    std::vector<json11::Json::object> list_rows;
    std::string data_folder;
    sqlite3* db = nullptr;
    std::string app_folder;
    std::string language;
    std::map<std::string, json11::Json> translations;
    std::string accent_color;

    // --- translations and constant tables ----------------------------------------------------
    std::string translated(std::string key, std::string arg);

    // --- formatting -------------------------------------------------------------------------
    std::string formatted_num(double value, int decimals);
    // A value that is no number (an emptied exchange rate times an amount) is shown as missing.
    std::string formatted_curr(double value, std::string currency_code, bool total, json11::Json::array currencies);
    // The same for a sum kept in hundredths (cents_of), laid out without passing through a double; a
    // sum that has no exact value (none) is shown as missing, never as a wrong amount.
    std::string formatted_cents(std::optional<std::int64_t> cents, std::string currency_code, bool total,
                                json11::Json::array currencies);
    // An exchange rate with six decimals; a missing, zero or negative one as missing.
    static std::string formatted_rate(double rate);
    std::string formatted_address(bool single_line, std::map<std::string, std::string> fields);
    std::string formatted_date(std::string date, std::string tmpl);

    // --- list views -------------------------------------------------------------------------
    // The list page of a kind ("clients", "items", "inventory", "overdue", a document type, or the
    // master-data view "client|TYPE" / "item|TYPE" of master_record_name). Fills list_page,
    // list_count, list_summary and list_rows; page_delta -100 only fills list_rows (every row) and
    // list_summary and returns an empty text.
    std::string list_html(int page_delta, std::string list_type, json11::Json::object filter, std::string search,
                          std::string master_record_name);
    // One list page as list_html makes it, handed back rather than kept in the list members (which it
    // leaves alone), so that a thread other than the window's may make it: page `page` (0 the first),
    // or with `every_row` only every row, unpaged, and the summary.
    ListPage list_page_of(int page, bool every_row, std::string list_type, json11::Json::object filter,
                          std::string search, std::string master_record_name);
    // Makes `shown` the list's page, as list_html leaves the list members; returns its text (empty
    // with `every_row`).
    std::string keep_list_page(ListPage shown, bool every_row);
    // The six-week month grid of the tasks (rows of the task list), month 1 to 12.
    std::string calendar_html(int year, unsigned short month, std::vector<json11::Json> tasks);

    // --- document views and reports ------------------------------------------------------------
    // A document and its lines as printable A4 pages: mode 1 the document view, -1 the editor's
    // preview (rows post their line index when clicked); `extra` is the scroll position "x,y".
    std::string document_html(int mode, json11::Json document, json11::Json lines, std::string extra);
    // The period report of the listed documents (filter: report_title, date_name, date_type,
    // from_date, to_date); totals in the home currency through each document's exchange rate.
    std::string documents_report_html(bool wide_margin, json11::Json documents, json11::Json filter);
    // The stock report: one line per item with its summed stock movements. Always the print look;
    // the argument is accepted for callers that pass the margin choice and is not read.
    std::string inventory_report_html(bool wide_margin = false);

    // --- store ------------------------------------------------------------------------------
    void open_database();
    std::vector<json11::Json::object> query(std::string sql);
    json11::Json setting(std::string key);
    bool save_record(json11::Json::object record, std::string table);
    // Closes the connection under the store mutex; afterwards `db` is null and store calls return
    // empty or write nothing until the next open_database.
    void close_database();

    // The store-wide recursive mutex held by every operation of several statements.
    std::recursive_mutex store_mutex;

    // An account file that failed SQLite's quick check when open_database opened it. It is moved into
    // the backup folder as `moved_to` and a fresh file takes its place (the sync downloads the account
    // again; the sample company is copied anew). `moved_to` is empty when the file could not be moved
    // and stays in use.
    struct DamagedFile {
        std::string account;
        std::string moved_to;
    };
    // The damaged file found since the last call, if any: the app tells the user once.
    std::optional<DamagedFile> take_damaged_file();
    // The message for the user about `file`, in the UI language.
    std::string damaged_file_message(const DamagedFile& file) const;

    // --- document amounts, numbering and task repetition -------------------------------------
    // kind: 0 unit net price, 1 net, 2 tax, 10 first tax, 11 second tax, 3 (and others) gross.
    // mode: 1 discounted line, 2 the discount alone, others the undiscounted line.
    double line_amount(short kind, short mode, json11::Json line);
    TaxSummary tax_summary(json11::Json lines);
    // The same over an already read `taxes` setting, so one save reads and parses it once.
    double line_amount(short kind, short mode, const json11::Json& line, const json11::Json::array& taxes);
    TaxSummary tax_summary(const json11::Json& lines, const json11::Json::array& taxes);
    // What of a line the invoice data cannot carry: quantities and unit prices have at most 12
    // digits before the point, money amounts (also in the home currency at `exchange_rate`) 13, the
    // most a double holds to the fillér.
    enum class LineLimit { Fits, Quantity, Price, Amount };
    static LineLimit line_limit(const json11::Json& line, const json11::Json::array& taxes, double exchange_rate);
    // A total of a document beyond the same money limit: the document's net, tax or gross total
    // (`label` empty) or that of one tax label, in the document's currency or, when only there
    // (`converted`), in the home currency at `exchange_rate`.
    struct TotalLimit {
        enum class Kind { Net, Tax, Gross };
        Kind kind;
        std::string label;
        bool converted;
    };
    // The totals of `summary` beyond the limit, the document's own first; empty when all fit.
    static std::vector<TotalLimit> totals_limit(const TaxSummary& summary, double exchange_rate);

    int next_number(std::string type);
    std::string next_number_formatted(std::string type);
    std::string new_document_record_name(std::string type);

    std::vector<json11::Json> repeat_options();
    std::string repeat_description(std::string rule);
    std::int64_t next_repeat_date(std::string rule);

    // --- stock and document save -------------------------------------------------------------
    // Completes and writes a document with all its lines in one transaction. Returns its record
    // name, or an empty text when nothing could be written (the store is unchanged then). A local
    // save keeps the stored document's change tag; one whose record name now holds a different
    // document (store::same_document) is saved where that document was moved, or under a free name.
    std::string save_document(std::vector<json11::Json> lines, bool from_cloud, json11::Json::object document);
    // One stock movement per line (sale, receipt, manual change or return), with its profits.
    void post_inventory(std::vector<json11::Json> lines, json11::Json document);
    // The same inside the caller's transaction: false when a write failed (the caller rolls back).
    bool post_inventory_checked(const std::vector<json11::Json>& lines, const json11::Json& document);
    std::string last_purchase_price_text(std::string item_record_name);
    std::string stock_quantity_text(std::string item_record_name);

    // --- imports ----------------------------------------------------------------------------
    // Clients (10 columns) and items (8 columns) from semicolon-separated UTF-8 files; lines of the
    // wrong shape, with unknown settings values or duplicating a stored record are skipped. Rows are
    // written in transactions of 100; `on_done` gets the number of rows written, once, on the
    // calling thread, before the call returns.
    void import_clients(std::string path, std::function<void(int)> on_done);
    void import_items(std::string path, std::function<void(int)> on_done);
    // Archived invoices with the clients and items they name, from the first line of an import file
    // (one JSON array). mode: 0 all, 1 clients, 2 items, 3 clients and items, 4 invoices and
    // clients, 5 invoices and items; any other value writes nothing. `on_done` gets the number of
    // invoices in the file, once, on the calling thread.
    void import_invoices(std::string path, int mode, std::function<void(int)> on_done);

    // --- network --------------------------------------------------------------------------

    // A request to the account's private cloud database; `done` gets the reply unchanged.
    void cloudkit_request(std::string endpoint, json11::Json body, JsonCallback done);
    // A cloud request's answer: its text as received (empty when the transfer failed) and its value
    // (null when the text is no JSON the reader takes).
    struct CloudReply {
        std::string text;
        json11::Json value;
    };
    CloudReply cloudkit_exchange(const std::string& endpoint, const json11::Json& body);
    // The signed-in user's web-auth token, kept in the data folder's file "tvrat".
    void save_web_auth_token(std::string token);
    std::string load_web_auth_token();
    // The page that opens the cloud sign-in address and posts the session token back.
    std::string cloudkit_signin_page(std::string signin_url);
    // Looks for a newer build; `done` gets the release notes once the installer is downloaded,
    // an empty text otherwise.
    void check_update(std::string running_version, std::function<void(std::string)> done);
    void on_update_info(const std::string& running_version, const std::function<void(std::string)>& done);
    void on_update_downloaded(const std::vector<std::string>& lines, const std::function<void(std::string)>& done);

    // --- invoice data and submission -------------------------------------------------------

    // The tax authority's InvoiceData document (version 3.0) of an invoice and its lines, every value
    // XML-escaped; a non-empty `pdf_base64` rides along as additional invoice data. In the DEMO
    // account the text "ok^1234567890".
    std::string nav_invoice_data_xml(std::vector<json11::Json> lines, json11::Json::object document,
                                     std::string pdf_base64);
    // The folder of the schema files: TAVRIN_SCHEMA_DIR, else the folder "nav/" beside the program.
    std::string nav_schema_folder();
    // True when `xml` is a well-formed document valid against the invoice data schema (the file
    // "invoiceData" of the schema folder). On failure `error`, when given, gets libxml2's last message
    // of this validation (never empty); last_xml_error() holds it too. `codes` gets where and why it
    // failed without the document's values (XmlSchema::valid), fit for a log.
    bool validate_invoice_xml(std::string xml, std::string* error = nullptr, std::string* codes = nullptr);
    // One submission with the given request id, telling apart a refusal, a service that was never
    // reached and an answer that never came. `before_send` runs after the token exchange, just before
    // the invoice goes out; when it gives an outcome, nothing is sent and the submission ends so.
    // `prepared`, when given, is the document's payload made already (nav_invoice_payload).
    struct NavPayload;
    // `before_send` gets the authority's time as its token exchange reply gave it (0 when it gave none).
    NavSubmission nav_submit_invoice(std::vector<json11::Json> lines, json11::Json::object document,
                                     std::string request_id,
                                     std::function<std::optional<NavSubmission::Outcome>(std::time_t)> before_send = {},
                                     const NavPayload* prepared = nullptr);
    // The operation (CREATE or STORNO) and the Base64 invoice data a submission sends; `error` holds
    // the validation message when the data is not valid (nothing may be sent).
    struct NavPayload {
        std::string operation;
        std::string data;
        std::string error;
    };
    NavPayload nav_invoice_payload(const std::vector<json11::Json>& lines, json11::Json::object document);
    // Reports a new or changed invoice and stores it. The report under way is recorded first: in the
    // settings row "nav_pending" (never uploaded), and, where the account uses the cloud, in the
    // company's one shared record, written only when no installation holds one; so an invoice the
    // service may hold is never unknown, and no two installations report at once. Once the service
    // has processed it (its transaction DONE), the document, its lines, stock and transaction id are
    // stored and the record removed in one transaction. An earlier report still unsettled is settled
    // first; while it stays so, nothing new is sent (result waiting).
    // `keeper`: page when an open page sends it; the hold is taken before the report is recorded.
    // `on_phase`, when given, is called on the calling thread as the report's record reaches each phase
    // (recorded, sending, received), so that a caller can tell what the report waits for as it waits.
    NavReport nav_report_invoice(std::vector<json11::Json> lines, json11::Json::object document,
                                 InvoiceKeeper keeper = InvoiceKeeper::drafts,
                                 std::function<void(const NavReportRecord&)> on_phase = {});
    // Settles the report under way, if any, from the authority's own records: its transaction when the
    // reply named it, else the user's transactions of its interval, each identified by its content.
    // Processed: the invoice is stored with its transaction id. Aborted: the record goes (refused). Its
    // number held by another invoice: the record goes and the number is not used again (taken). Not
    // there, every transaction identified, once no copy of it can still be on its way: it never
    // arrived, the record goes. With
    // `shared`, the company's shared record is read too and settled the same way, whichever
    // installation made it.
    NavSettled nav_settle_report(bool shared = false);
    // The report another installation of the company holds, as the company's shared record stands in
    // the cloud, read without asking the authority: waiting (elsewhere, number, written, deadline), or
    // none when no other installation's record stands or the cloud gave no answer.
    NavSettled nav_report_held_elsewhere();
    // Removes the company's shared record of a report this installation has stored, once the stored
    // invoice has reached the cloud; true when no shared record of it is left.
    bool nav_release_report(const std::string& record_name);
    // The record name a settled report with this request id was stored under (one of the latest 20
    // settled here), or empty.
    std::string nav_settled_record(const std::string& request_id);
    // How a report settled here ended (one of the latest 20 settled): none when not known.
    NavSettled nav_settled_outcome(const std::string& request_id);
    // A report that ends without its invoice stored (never arrived, refused, its number taken) keeps
    // the invoice as a draft ("DRAFT", with the document's client, lines, dates and notes) in the same
    // transaction, whoever settles it; a report of an invoice issued from a kept draft that is not used
    // up yet writes that draft again instead of a new one. nav_invoice_keeper: who tells of it and
    // issues it (the one decision every settler and the app ask). A page lets a report go when it
    // closes; its draft is then the drafts list's.
    InvoiceKeeper nav_invoice_keeper(const std::string& request_id);
    void nav_release_invoice(const std::string& request_id);
    // The draft kept for this report, if one was and it is not used up.
    std::optional<KeptDraft> nav_kept_draft(const std::string& request_id);
    // The drafts kept since the last call whose keeper is the drafts list and that are not used up,
    // each given once; those a page keeps stay until it lets them go.
    std::vector<KeptDraft> take_kept_drafts();
    // What a stored draft (its row) stands for; the one reading of its marks.
    static DraftKeeping draft_keeping(const json11::Json& draft);
    // The same of the stored document of this record name (own when it is no draft).
    DraftKeeping draft_keeping_of(const std::string& record_name);
    // The draft an invoice document is issued from: the kept draft its page shows ("kept_draft"), else
    // the document it was made from; empty when none.
    static std::string draft_source(const json11::Json& document);
    // The numbers the authority holds for other invoices, learnt by any installation of the company
    // ({"type", "year", "number", "number_formatted"}): never reported again, passed over in numbering.
    json11::Json::array nav_taken_numbers();
    // The report under way ({"request_id", "number_formatted", "written", "sent", "document", "lines",
    // ...}) or null.
    json11::Json nav_pending_report();
    // The same, read: none when no report is under way.
    std::optional<NavReportRecord> nav_pending_record();
    // How long a save waits for the authority to process an invoice whose answer did not come, before
    // telling the user: TAVRIN_NAV_SETTLE_SECONDS, else 45. It never frees a number.
    static int nav_settle_seconds();
    // What the authority holds of one invoice data: its SHA3-512 digest, its invoice number, the tax
    // number it was sent under, and the interval of receipt on the authority's clock (UTC seconds).
    struct NavSought {
        std::string data_digest;
        std::string content_digest;  // nav_content_digest of the invoice data; may be empty
        std::string material;        // nav_invoice_material of the invoice data; may be empty
        std::string number;
        std::string tax_number;
        std::string request_id;      // the report's: how far its listing was read is kept for it alone
        std::time_t from = 0;
        std::time_t to = 0;
        // False when the difference of the two clocks is not known: the interval reaches as far as the
        // authority's tolerance, and is narrowed with the authority's present time before listing.
        bool clock_known = true;
        // Real seconds since this computer sent it, when this very boot did (known whatever the clocks say).
        std::optional<double> sent_ago;
    };
    // Finds it: first the invoice the authority holds under the number, then the technical user's
    // transactions of the interval, every page, each transaction identified by its original request
    // (asked once: a finished one never changes). Absent only when every page was read and every
    // transaction identified; a transaction without readable content is told apart by the invoice held
    // under the number. One call reads a bounded number of pages, paced, and each of its requests gets
    // what is left of the call's time; the next call (of this run or a later one) goes on under the
    // interval that was listed, and lists next what the report needs beyond it.
    NavFound nav_find_submission(const NavSought& sought);
    // The status of one known transaction of this invoice data (the reply of its submission); a
    // refusal of a duplicate number is settled by the invoice that holds the number.
    NavFound nav_transaction_outcome(const NavSought& sought, const std::string& transaction_id);
    // The invoice the authority holds under the number (queryInvoiceData): done with its transaction
    // when it is this invoice data, taken when it is another, absent when there is none.
    NavFound nav_invoice_holder(const NavSought& sought);
    // The technical user's credentials with the supplier's tax number, as a request's credentials
    // object; empty when one of them is missing.
    json11::Json::object nav_credentials(const std::string& tax_number = "");
    // The company's shared record of a report under way, in the cloud (record type "InvoiceReport").
    // nav_shares_reports: the account uses the cloud (not DEMO, signed in). nav_share_report writes the
    // record only when none exists; `change_tag` gets its tag. nav_shared_report reads it ({"report",
    // "tag"}, or {"unreadable": true, "tag"} when it cannot be read; null when none), `reachable` false
    // when the cloud gave no answer. nav_unshare_report
    // removes it, only while it still has that tag; true when nothing of that report is left (false
    // when its sender has written it anew since, as it went on to send).
    enum class SharedWrite { written, held, unreachable };
    bool nav_shares_reports();
    SharedWrite nav_share_report(const NavReportRecord& report, std::string& change_tag, std::string& reason);
    json11::Json nav_shared_report(bool& reachable);
    bool nav_unshare_report(const std::string& change_tag);
    // Writes the shared record anew, only while it still has `change_tag`, which then gets the new tag;
    // false when it could not (changed or removed meanwhile, or the cloud gave no answer).
    bool nav_reshare_report(const NavReportRecord& report, std::string& change_tag);
    // Stored invoices whose accounting upload has not yet succeeded (settings row "cashbook_pending",
    // never uploaded), and the clearing of one once it has.
    std::vector<std::string> cashbook_pending();
    void cashbook_uploaded(const std::string& record_name);
    // Just before an owed upload is sent: the company's mark of it in the cloud (record
    // "cashbook_upload_<invoice>"), which names its sender and the moment by which that sender's upload is
    // done, and says so once the service took it. send: the mark is this installation's now (made, renewed,
    // or taken over from a sender past its moment, who no longer sends), `change_tag` its tag; done: the
    // service took it (owed here no more); wait: another installation sends it within its moment (still
    // owed: look again in `wait_seconds`); unknown: the cloud gave no answer (still owed).
    enum class UploadMark { send, done, wait, unknown };
    struct UploadTurn {
        UploadMark mark = UploadMark::unknown;
        std::string change_tag;
        double wait_seconds = 0;
    };
    UploadTurn cashbook_mark_upload(const std::string& record_name);
    // The service took the upload sent under the mark of `change_tag`: owed here no more, and the mark
    // says it is done (once the cloud can be written: cashbook_finish_marks writes what is left).
    void cashbook_upload_accepted(const std::string& record_name, const std::string& change_tag);
    void cashbook_finish_marks();
    // The longest an upload's request lasts (TAVRIN_CASHBOOK_REQUEST_SECONDS, 120 by default), and the
    // length of a sender's mark, within which it has sent and recorded the service's answer.
    static long cashbook_request_seconds();
    static std::time_t cashbook_mark_seconds();
    // True when the accounting service's reply is its receipt of the document.
    static bool cashbook_accepted(const std::string& reply);
    // One upload of an invoice at a time in this process: a sender (the saving page, the retry) claims
    // an owed invoice before it uploads it, and releases it when done. False when the invoice is not
    // owed (uploaded meanwhile, or never) or another sender holds it.
    bool cashbook_claim(const std::string& record_name);
    // Whether stored invoices go to the accounting service: a connection key in the defaults, outside
    // the sample company.
    bool accounting_on();
    void cashbook_release(const std::string& record_name);
    // Writes the invoices of the filter's date range (from_to_type 0) or number range to `path` in the
    // 2013 invoice export schema, each checked against the schema (the file "23_2014_szamlasema.xsd"
    // of the schema folder); those it refuses are left out and, when `left_out` is given, added to it.
    // Returns the number of invoices written; 0 when the range holds none that the schema accepts (no
    // file is created or changed); -1 when the file could not be written and -2 when the schema could
    // not be read or refused the file as a whole (in both cases it is left as it was).
    int nav_export_xml(json11::Json filter, std::string path, std::vector<NavExportLeftOut>* left_out = nullptr);
    // Posts the invoice data with the PDF at `pdf_path` embedded to the accounting service's document
    // pool; the reply body as received, empty when nothing came back (or nothing could be sent).
    std::string cashbook_upload(std::vector<json11::Json> lines, json11::Json::object document, std::string token,
                                std::string pdf_path);

    // --- tax authority ----------------------------------------------------------------------

    // Looks a taxpayer up by tax number. `done` is called once, before the call returns: with null
    // when nothing could be asked (a tax number or the supplier's tax number under 8 characters, no
    // NAV user or password), an empty object when no taxpayer came back (no answer, an error reply,
    // not registered), else {"name", "identifierNumber", "postcode", "city", "street"}.
    void nav_query_taxpayer(std::string tax_number, JsonCallback done);
    // Asks the processing result of the newest (at most 10) invoices whose NAV status is still open
    // and stores a final one ("DONE"/"ABORTED" + the first validation result code) on each, marked
    // for sync. `done` gets false when the NAV credentials are incomplete or no invoice was open.
    void nav_query_transaction_status(std::function<void(bool)> done);

    // --- sync -------------------------------------------------------------------------------

    // The payload texts of one upload by (record type, record name); a deletion has the type "".
    using SentRecords = std::map<std::pair<std::string, std::string>, std::string>;

    // How a download of the zone's changes ended, and its last reply.
    struct ChangeDownload {
        enum class Result {
            whole,        // every page came and was applied: the cloud's changes are in hand
            unreachable,  // no answer, or one that is no change page
            refused,      // the cloud answered with an error (last_reply's serverErrorCode), also after a
                          // refused token was dropped and the zone asked for from its start
            not_applied,  // the pages came, but this computer could not write them (the database locked by
                          // another program, a full disk): they are asked for again
        };
        Result result = Result::unreachable;
        json11::Json last_reply;
    };
    // How a pass ended, as the save, the report and the list read it.
    struct SyncOutcome {
        // The pass's first download: documents and deletions went up only when it was whole.
        ChangeDownload::Result changes = ChangeDownload::Result::unreachable;
        std::string refusal_code;  // the cloud's error code when it refused the changes
        bool cloud_changed = false;  // the change token moved: the lists may show something new
        json11::Json last_reply;     // the closing download's last reply; null when nothing went up
    };
    // One pass over the current account's zone: its changes downloaded and applied, the unsynced rows
    // and tombstones uploaded, and the changes downloaded once more. One pass runs at a time; `done`
    // gets null when nothing went up (at once for "DEMO"), else the closing download's last reply.
    SyncOutcome sync_start(JsonCallback done);
    // Downloads a zone's changes page by page from the entry {zoneID[, syncToken]}, applies them and
    // stores the newest change token; `done` gets the last reply (an error reply or null when the
    // download failed, the stored token then being that of the pages applied before the failure).
    void fetch_zone_changes(json11::Json::object zone, JsonCallback done);
    // Downloads the current account's changes since the last download.
    ChangeDownload download_changes();
    // Applies the records of downloaded change pages in one transaction and stores the token of the
    // last page; with `last` (the download is complete), also the client repairs. A record that cannot
    // be applied for what it is (not an object, data that is no row) is set aside, not applied. False
    // when a write failed (nothing of these pages is kept).
    bool apply_zone_changes(const std::vector<json11::Json>& pages, bool last);
    // The downloaded records set aside since the last call, each given once ([{"recordName",
    // "recordType"}], either empty when unreadable): the list is emptied.
    json11::Json take_set_aside_records();
    // What passes found that the user is told once (the record is emptied).
    using SyncNotices = ::SyncNotices;
    SyncNotices take_sync_notices();
    // Sends up to 200 unsynced rows and tombstones in one request (one already sent unchanged since the
    // last completed download waits for the next one; documents and deletions go only with the cloud's
    // changes in hand, that is when the pass's first download ended whole; a document the cloud has no
    // copy of yet goes as a create, which the cloud refuses when it holds the name); `done` gets null
    // at once when there is nothing to send.
    void upload_unsynced(bool cloud_changes_in_hand, const JsonCallback& done);
    // Marks what the upload reply confirms (a row only while it still holds what was sent; a document
    // takes the change tag of its cloud copy), removes the confirmed deletions, applies the cloud's
    // records behind refused creates and sends again what is left (a few rounds at most), then runs
    // the closing download, which ends with `done`.
    void apply_modify_result(json11::Json reply, const SentRecords& sent, const JsonCallback& done);
    // The documents made here that took a new number because another installation had made one of the
    // same type and number ([{"type", "created", "old", "new"}], the numbers as formatted), each
    // given once: the list is emptied.
    json11::Json take_renumbered_documents();
    // What the window took of the notices above (take_kept_drafts, take_set_aside_records,
    // take_sync_notices, take_renumbered_documents) and could not tell after all, as it left the
    // account first: put back beside what came since, to be told at the next look. False when a write
    // failed.
    struct UntoldNotices {
        std::vector<KeptDraft> kept_drafts;
        json11::Json::array renumbered;
        json11::Json::array set_aside;
        SyncNotices sync;
        bool empty() const {
            return kept_drafts.empty() && renumbered.empty() && set_aside.empty() && sync.empty();
        }
    };
    bool put_back_untold(const UntoldNotices& untold);

    // Reads the accounts record and brings the machine in line with it: the local accounts list, a
    // first start when the cloud has no accounts, the sample company when the open account is gone,
    // else the open account's changes downloaded.
    void fetch_cloud_settings(JsonCallback done);
    void on_cloud_settings(json11::Json answer, const JsonCallback& done);
    void save_cloud_settings(json11::Json answer, const JsonCallback& done);
    void on_cloud_settings_saved(json11::Json answer, const JsonCallback& done);

    // --- accounts, web shop and logo ---------------------------------------------------------

    // Changes the accounts list (row "local" first) and then the cloud: mode -1 appends `account` and
    // creates its zone; 0 or more replaces the entry at that index; -2 removes the first entry with
    // that id and deletes its zone; -3 deletes the zone and the accounts record and signs out; any
    // other negative uploads the list as it stands. `done` is called once: with null when every step
    // succeeded; when one failed, the list is put back as it was and `done` gets why (the cloud's
    // error reply or the record's error, the answer it gave otherwise, an empty object when nothing
    // readable came back).
    void setup_account_zone(json11::Json account, std::int16_t mode, JsonCallback done);
    void on_account_zone_created(json11::Json answer, const json11::Json& account, const json11::Json::array& accounts,
                                 const JsonCallback& done);
    void on_zone_deleted_save_accounts(json11::Json answer, const json11::Json& account,
                                       const json11::Json::array& accounts, const JsonCallback& done);
    void on_zone_deleted_delete_accounts(json11::Json answer, const json11::Json& account,
                                         const json11::Json::array& accounts, const JsonCallback& done);

    // How an import of the web shop's orders went: the orders stored, and those refused for what they
    // are (no order, or an id that is no whole number in range), which it did not take.
    struct WebshopImport {
        int stored = 0;
        int refused = 0;
    };
    // Stores the web shop's orders of the last 60 days that are new here as WEBSHOP_ORDER documents,
    // then runs a sync pass; `done` gets true when at least one order was stored (called once).
    WebshopImport import_webshop_orders(std::function<void(bool)> done);

    // Stores the picture at `source_path` as the account's cloud asset `logo_name` and copies it to
    // data_folder + logo_name (only the copy for "DEMO"). `done` gets the record save's reply, an
    // error reply, or null (DEMO); it is called once.
    void upload_logo_asset(std::string source_path, std::string logo_name, JsonCallback done);
    void upload_asset_file(json11::Json reply, const std::string& source_path, const std::string& logo_name,
                           const JsonCallback& done);
    void on_logo_uploaded(json11::Json reply, const std::string& source_path, const std::string& logo_name,
                          const JsonCallback& done);

    // Sets one member of the settings row "local" (never uploaded), keeping its other members.
    bool save_local_member(const std::string& name, json11::Json value);

private:
    // --- sync internals -----------------------------------------------------------------------
    // Held for a whole pass (and for the accounts record), so passes never overlap and the change
    // token only moves forward. Taken before the store mutex: never start a pass inside a store
    // transaction.
    std::recursive_mutex sync_mutex;
    // The zone entry of the current account's download: zoneID and, when one is stored, syncToken.
    json11::Json::object sync_zone_entry();
    // Uploads repeated in the current pass after the cloud refused to create records it already held.
    int repeated_uploads = 0;
    // Further uploads of the current pass after full ones, and whether its uploads may send documents
    // and deletions (its first download was whole).
    int further_uploads = 0;
    bool upload_changes_in_hand = false;
    // The zone's identity record stands in the cloud although this installation never learnt it: it
    // is read and learnt.
    void learn_zone_identity();
    // Gets the cloud's records of these names and applies them as a download does.
    bool apply_cloud_records(const std::vector<std::string>& names);
    // The last download of a pass, which ends it with `done`.
    void closing_download(const JsonCallback& done);
    // A download of the zone's changes from the entry {zoneID[, syncToken]}. A token the cloud refuses
    // is dropped and the zone asked for from its start.
    ChangeDownload download_zone_changes(json11::Json::object zone);

    // The owed accounting uploads claimed by a sender (under store_mutex).
    std::set<std::string> cashbook_claims;
    // The reports whose keeper is an open page (nav_invoice_keeper), held from before they are recorded.
    std::mutex held_reports_mutex;
    std::set<std::string> held_reports;
    void nav_hold_for_page(const std::string& request_id);

    // --- store internals --------------------------------------------------------------------
    friend class store::Statement;
    friend class store::RowWriter;
    void open_account_file(bool may_rebuild, bool check_file = true);
    void set_aside_damaged_file(const std::string& path);
    std::mutex damaged_mutex;
    std::optional<DamagedFile> damaged_file;
    bool rebuild_account_file();
    void remove_leftover_files();
    const std::vector<std::pair<std::string, std::string>>& table_columns(const std::string& table);
    // Column names and declared types per table, read once per connection; dropped whenever
    // statements that may change tables run.
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> store_columns;

    void fill_translations_en();
    void fill_translations_hu();
    void build_constants();
    void choose_current_account();
};

// The one application object of the running program.
extern Core* g_core;
