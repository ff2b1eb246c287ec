// The application object and every free function of the core library.
#pragma once

#include "json11/json11.hpp"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
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
}

// ---------------------------------------------------------------------------------------------
// Network
// ---------------------------------------------------------------------------------------------

// Completion of a network operation: called once, on the calling thread, before the operation
// returns, with the parsed reply, an error reply or the null value.
using JsonCallback = std::function<void(json11::Json)>;

// One request; a payload whose member "xml" is a string is sent as that XML text, any other
// payload as its JSON dump. A body of 5 bytes or less makes a GET. The result is {"xml": reply}
// for XML payloads and the parsed reply otherwise; a failed transfer gives {"xml": ""} or null.
json11::Json http_request(std::string url, json11::Json payload, std::string headers);
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

// ---------------------------------------------------------------------------------------------
// The application object
// ---------------------------------------------------------------------------------------------

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
    std::string current_account;
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
    std::string formatted_curr(double value, std::string currency_code, bool total, json11::Json::array currencies);
    std::string formatted_address(bool single_line, std::map<std::string, std::string> fields);
    std::string formatted_date(std::string date, std::string tmpl);

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

    // --- document amounts, numbering and task repetition -------------------------------------
    // kind: 0 unit net price, 1 net, 2 tax, 10 first tax, 11 second tax, 3 (and others) gross.
    // mode: 1 discounted line, 2 the discount alone, others the undiscounted line.
    double line_amount(short kind, short mode, json11::Json line);
    TaxSummary tax_summary(json11::Json lines);
    // The same over an already read `taxes` setting, so one save reads and parses it once.
    double line_amount(short kind, short mode, const json11::Json& line, const json11::Json::array& taxes);
    TaxSummary tax_summary(const json11::Json& lines, const json11::Json::array& taxes);

    int next_number(std::string type);
    std::string next_number_formatted(std::string type);
    std::string new_document_record_name(std::string type);

    std::vector<json11::Json> repeat_options();
    std::string repeat_description(std::string rule);
    std::int64_t next_repeat_date(std::string rule);

    // --- stock and document save -------------------------------------------------------------
    // Completes and writes a document with all its lines in one transaction. Returns its record
    // name, or an empty text when nothing could be written (the store is unchanged then).
    std::string save_document(std::vector<json11::Json> lines, bool from_cloud, json11::Json::object document);
    // One stock movement per line (sale, receipt, manual change or return), with its profits.
    void post_inventory(std::vector<json11::Json> lines, json11::Json document);
    // The same inside the caller's transaction: false when a write failed (the caller rolls back).
    bool post_inventory_checked(const std::vector<json11::Json>& lines, const json11::Json& document);
    std::string last_purchase_price_text(std::string item_record_name);
    std::string stock_quantity_text(std::string item_record_name);

    // --- network --------------------------------------------------------------------------

    // A request to the account's private cloud database; `done` gets the reply unchanged.
    void cloudkit_request(std::string endpoint, json11::Json body, JsonCallback done);
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

private:
    // --- store internals --------------------------------------------------------------------
    friend class store::Statement;
    void open_account_file(bool may_rebuild);
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
