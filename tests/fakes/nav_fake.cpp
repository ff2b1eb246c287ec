#include "tests/fakes/nav_fake.h"

#include "core/Core.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlschemas.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace {

constexpr const char* api_ns = "http://schemas.nav.gov.hu/OSA/3.0/api";
constexpr const char* common_ns = "http://schemas.nav.gov.hu/NTCA/1.0/common";
constexpr const char* base_ns = "http://schemas.nav.gov.hu/OSA/3.0/base";

// ---- schema -------------------------------------------------------------------------------------

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("NavFake: cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

void collect_first_error(void* first, xmlErrorPtr error) {
    auto* text = static_cast<std::string*>(first);
    if (text->empty() && error && error->message) {
        *text = error->message;
        while (!text->empty() && (text->back() == '\n' || text->back() == ' ')) text->pop_back();
    }
}

// The published schemas import each other by namespace only; libxml2 needs the file names, so the
// copies that are compiled get them. Compiled once per folder and kept for the process (and freed
// with it, so the leak checker sees nothing left behind).
xmlSchemaPtr api_schema(const std::string& folder) {
    using SchemaPtr = std::unique_ptr<xmlSchema, decltype(&xmlSchemaFree)>;
    static std::mutex mutex;
    static std::map<std::string, SchemaPtr> compiled;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = compiled.find(folder);
    if (found != compiled.end()) return found->second.get();

    xmlInitParser();
    std::string dir = (std::filesystem::temp_directory_path() / "tavrin-navschema-XXXXXX").string();
    if (!mkdtemp(dir.data())) throw std::runtime_error("NavFake: mkdtemp failed");
    for (const char* name : {"invoiceApi.xsd", "invoiceBase.xsd", "common.xsd"}) {
        std::string text = read_text(folder + "/" + name);
        replace_all(text, "<xs:import namespace=\"http://schemas.nav.gov.hu/NTCA/1.0/common\"/>",
                    "<xs:import namespace=\"http://schemas.nav.gov.hu/NTCA/1.0/common\" schemaLocation=\"common.xsd\"/>");
        replace_all(text, "<xs:import namespace=\"http://schemas.nav.gov.hu/OSA/3.0/base\"/>",
                    "<xs:import namespace=\"http://schemas.nav.gov.hu/OSA/3.0/base\" schemaLocation=\"invoiceBase.xsd\"/>");
        std::ofstream(dir + "/" + name, std::ios::binary) << text;
    }
    xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt((dir + "/invoiceApi.xsd").c_str());
    std::string problem;
    xmlSchemaSetParserStructuredErrors(parser, collect_first_error, &problem);
    xmlSchemaPtr schema = xmlSchemaParse(parser);
    xmlSchemaFreeParserCtxt(parser);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (!schema) throw std::runtime_error("NavFake: the API schema does not compile: " + problem);
    compiled.emplace(folder, SchemaPtr(schema, xmlSchemaFree));
    return schema;
}

using DocPtr = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

// Parses without recovery: a text that is not well-formed (or misuses namespaces) gives null.
DocPtr parse_strict(const std::string& xml) {
    xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "request.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc && (!(doc->properties & XML_DOC_WELLFORMED) || !(doc->properties & XML_DOC_NSVALID))) {
        xmlFreeDoc(doc);
        doc = nullptr;
    }
    return DocPtr(doc, xmlFreeDoc);
}

std::string validate(const std::string& folder, xmlDocPtr doc) {
    xmlSchemaValidCtxtPtr context = xmlSchemaNewValidCtxt(api_schema(folder));
    std::string problem;
    xmlSchemaSetValidStructuredErrors(context, collect_first_error, &problem);
    const int rc = xmlSchemaValidateDoc(context, doc);
    xmlSchemaFreeValidCtxt(context);
    if (rc == 0) return "";
    return problem.empty() ? "invalid request" : problem;
}

// ---- reading the request ------------------------------------------------------------------------

bool is_element(xmlNodePtr node, const char* ns, const char* name) {
    return node && node->type == XML_ELEMENT_NODE && node->ns && xmlStrEqual(node->ns->href, BAD_CAST ns) &&
           xmlStrEqual(node->name, BAD_CAST name);
}

// The first element of that name below `node`, depth first.
xmlNodePtr find_element(xmlNodePtr node, const char* ns, const char* name) {
    for (xmlNodePtr child = node ? node->children : nullptr; child; child = child->next) {
        if (is_element(child, ns, name)) return child;
        if (xmlNodePtr below = find_element(child, ns, name)) return below;
    }
    return nullptr;
}

std::string text_of(xmlNodePtr node) {
    if (!node) return "";
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
}

std::string child_text(xmlNodePtr node, const char* ns, const char* name) {
    return text_of(find_element(node, ns, name));
}

// ---- writing the reply --------------------------------------------------------------------------

std::string escaped(const std::string& text) {
    std::string out;
    for (char character : text) {
        if (character == '&') out += "&amp;";
        else if (character == '<') out += "&lt;";
        else if (character == '>') out += "&gt;";
        else out += character;
    }
    return out;
}

std::string element(const std::string& name, const std::string& value) {
    return "<" + name + ">" + escaped(value) + "</" + name + ">";
}

std::string utc(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
    return buffer;
}

// The start of every reply: root with the service's namespace prefixes, header, result, software.
std::string reply_start(const std::string& root, const std::string& request_id, const std::string& error_code,
                        const std::string& message, std::time_t now) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>";
    xml += "<" + root + " xmlns=\"" + api_ns + "\" xmlns:ns2=\"" + common_ns + "\" xmlns:ns3=\"" + base_ns +
           "\" xmlns:ns4=\"http://schemas.nav.gov.hu/OSA/3.0/data\">";
    xml += "<ns2:header>" + element("ns2:requestId", request_id.empty() ? "UNKNOWN" : request_id) +
           element("ns2:timestamp", utc(now)) +
           "<ns2:requestVersion>3.0</ns2:requestVersion><ns2:headerVersion>1.0</ns2:headerVersion></ns2:header>";
    xml += "<ns2:result>";
    if (error_code.empty()) {
        xml += "<ns2:funcCode>OK</ns2:funcCode>";
    } else {
        xml += "<ns2:funcCode>ERROR</ns2:funcCode>" + element("ns2:errorCode", error_code) +
               element("ns2:message", message);
    }
    xml += "</ns2:result>";
    xml += "<software><softwareId>NAV-FAKE-SERVER-01</softwareId><softwareName>fake</softwareName>"
           "<softwareOperation>ONLINE_SERVICE</softwareOperation><softwareMainVersion>3.0</softwareMainVersion>"
           "<softwareDevName>tests</softwareDevName><softwareDevContact>tests@localhost</softwareDevContact>"
           "</software>";
    return xml;
}

std::string operation_root(const std::string& operation) {
    static const std::map<std::string, std::string> roots = {{"tokenExchange", "TokenExchangeRequest"},
                                                             {"manageInvoice", "ManageInvoiceRequest"},
                                                             {"queryTaxpayer", "QueryTaxpayerRequest"},
                                                             {"queryTransactionStatus", "QueryTransactionStatusRequest"},
                                                             {"queryTransactionList", "QueryTransactionListRequest"},
                                                             {"queryInvoiceCheck", "QueryInvoiceCheckRequest"},
                                                             {"queryInvoiceData", "QueryInvoiceDataRequest"}};
    auto found = roots.find(operation);
    return found == roots.end() ? "" : found->second;
}

// "2019-09-11T10:55:31.440Z" (schema-checked already) as seconds since 1970 and as the 14 digits that
// enter the signature.
bool timestamp_parts(const std::string& timestamp, std::time_t& seconds, std::string& digits) {
    std::tm tm{};
    if (timestamp.size() < 20 || std::sscanf(timestamp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon,
                                             &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    seconds = timegm(&tm);
    digits = timestamp.substr(0, 4) + timestamp.substr(5, 2) + timestamp.substr(8, 2) + timestamp.substr(11, 2) +
             timestamp.substr(14, 2) + timestamp.substr(17, 2);
    return true;
}

std::string upper_hex(const unsigned char* bytes, std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t index = 0; index < count; ++index) {
        out += digits[bytes[index] >> 4];
        out += digits[bytes[index] & 15];
    }
    return out;
}

std::string digest(const EVP_MD* md, const std::string& text) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), out, &size, md, nullptr) != 1) throw std::runtime_error("EVP_Digest");
    return upper_hex(out, size);
}

using SystemTime = std::chrono::system_clock::time_point;

// An InvoiceTimestampType ("2024-03-01T10:20:30Z", up to three decimals; schema-checked already).
bool parse_instant(const std::string& text, SystemTime& instant) {
    std::time_t seconds = 0;
    std::string digits;
    if (!timestamp_parts(text, seconds, digits)) return false;
    int millis = 0, scale = 100;
    for (std::size_t at = 20; text[19] == '.' && at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));
         ++at, scale /= 10)
        millis += (text[at] - '0') * scale;
    instant = std::chrono::system_clock::from_time_t(seconds) + std::chrono::milliseconds(millis);
    return true;
}

std::string instant_text(SystemTime instant) {
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(instant.time_since_epoch()).count();
    std::string text = utc(static_cast<std::time_t>(millis / 1000));
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, "%03d", static_cast<int>(millis % 1000));
    return text.replace(20, 3, fraction);
}

// The invoice number in Base64 invoice data: found as text, so that data the invoice schema would
// refuse still gets its number (the fake checks the API, not the invoice data).
// The text of the first element of that name in a reply the fake made.
std::string element_text(const std::string& xml, const std::string& name) {
    const std::size_t from = xml.find("<" + name + ">");
    const std::size_t to = xml.find("</" + name + ">");
    if (from == std::string::npos || to == std::string::npos || to < from) return "";
    return xml.substr(from + name.size() + 2, to - from - name.size() - 2);
}

std::string invoice_number(const std::string& data) {
    std::string decoded(data.size(), '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                       reinterpret_cast<const unsigned char*>(data.data()),
                                       static_cast<int>(data.size()));
    decoded.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    const std::size_t from = decoded.find("<invoiceNumber>");
    const std::size_t to = decoded.find("</invoiceNumber>");
    if (from == std::string::npos || to == std::string::npos) return "";
    return decoded.substr(from + 15, to - from - 15);
}

// The service's words for a CREATE of a number the supplier has reported before.
const NavMessage number_not_unique{false, "ERROR", "INVOICE_NUMBER_NOT_UNIQUE",
                                   "A számlaszám már szerepel a szállító egy korábbi adatszolgáltatásában"};

// One invoice's processing result, as queryTransactionStatus gives it.
struct InvoiceResult {
    std::string status;
    std::vector<NavMessage> messages;
    std::string data;  // Base64, as sent
};

std::string processing_results(const std::vector<InvoiceResult>& results, bool with_original) {
    std::string xml = "<processingResults>";
    for (std::size_t index = 0; index < results.size(); ++index) {
        const InvoiceResult& result = results[index];
        xml += "<processingResult>" + element("index", std::to_string(index + 1)) +
               element("invoiceStatus", result.status);
        // The schema wants every technical message before the first business one.
        for (const NavMessage& message : result.messages) {
            if (!message.technical) continue;
            xml += "<technicalValidationMessages>" + element("ns2:validationResultCode", message.result_code) +
                   element("ns2:validationErrorCode", message.error_code) + element("ns2:message", message.message) +
                   "</technicalValidationMessages>";
        }
        for (const NavMessage& message : result.messages) {
            if (message.technical) continue;
            xml += "<businessValidationMessages>" + element("validationResultCode", message.result_code) +
                   element("validationErrorCode", message.error_code) + element("message", message.message) +
                   "</businessValidationMessages>";
        }
        xml += "<compressedContentIndicator>false</compressedContentIndicator>";
        if (with_original && !result.data.empty()) xml += element("originalRequest", result.data);
        xml += "</processingResult>";
    }
    return xml + "<originalRequestVersion>3.0</originalRequestVersion></processingResults>";
}

}  // namespace

// ---- NavFake ------------------------------------------------------------------------------------

NavFake::NavFake(const std::string& schema_folder) : schema_folder_(schema_folder) {
    api_schema(schema_folder_);  // fail at once on a missing or broken schema
    // The authority's transaction ids are never given twice: another fake of the same process (a test
    // after another, on a port used before, under the same fixed clock) gives other ones.
    char tag[16];
    std::snprintf(tag, sizeof tag, "%06x", static_cast<unsigned>(std::random_device{}() & 0xffffff));
    transaction_prefix_ = std::string("FAKE") + tag;
    route("POST", "/invoiceService/v3/*", [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    });
}

NavFake::~NavFake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    hung_changed_.notify_all();
    stop();
}

void NavFake::fault_next_replies(NavReplyFault fault, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int added = 0; added < count; ++added) next_faults_.push_back(fault);
}

void NavFake::set_reply_policy(std::function<NavReplyFault()> policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_policy_ = std::move(policy);
}

void NavFake::release_hung() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++releases_;
    }
    hung_changed_.notify_all();
}

bool NavFake::wait_hung(std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return hung_changed_.wait_for(lock, limit, [this] { return hung_ > 0; });
}

void NavFake::set_processing_delay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    // What the service has processed it does not take back: a longer delay holds only what is open.
    for (Submission& submission : submissions_) submission.processed = stage(submission) == Stage::processed;
    processing_delay_ = delay;
}

std::vector<std::string> NavFake::accepted_numbers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> numbers;
    for (const Submission& submission : submissions_) {
        if (submission.foreign) continue;
        for (const Submission::Invoice& invoice : submission.invoices)
            if (!invoice.duplicate) numbers.push_back(invoice.number);
    }
    return numbers;
}

std::vector<std::string> NavFake::received_numbers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> numbers;
    for (const Submission& submission : submissions_) {
        if (submission.foreign) continue;
        for (const Submission::Invoice& invoice : submission.invoices)
            if (invoice.operation == "CREATE") numbers.push_back(invoice.number);
    }
    return numbers;
}

void NavFake::set_list_page_size(int size) {
    std::lock_guard<std::mutex> lock(mutex_);
    list_page_size_ = std::max(size, 1);
}

void NavFake::set_list_extra_pages(int extra) {
    std::lock_guard<std::mutex> lock(mutex_);
    list_extra_pages_ = std::max(extra, 0);
}

std::string NavFake::in_another_form(const std::string& base64_data) {
    std::string xml = base64_data;
    xml.resize(base64_decode(xml.size(), xml.data()));
    // Amounts without trailing zeros: 1200.00 as 1200, 12.50 as 12.5.
    static const std::regex amount("(Amount[A-Za-z]*>)(-?[0-9]+)\\.([0-9]*?)0*<");
    xml = std::regex_replace(xml, amount, "$1$2.$3<");
    static const std::regex bare_point("(Amount[A-Za-z]*>-?[0-9]+)\\.<");
    xml = std::regex_replace(xml, bare_point, "$1<");
    // The issue date before the number.
    static const std::regex number_then_date("(<invoiceNumber>[^<]*</invoiceNumber>)\\s*(<invoiceIssueDate>[^<]*</invoiceIssueDate>)");
    xml = std::regex_replace(xml, number_then_date, "$2$1");
    // Indented, with a declaration of its own.
    static const std::regex declaration("^<\\?xml[^>]*\\?>\\s*");
    xml = std::regex_replace(xml, declaration, "");
    static const std::regex line_end("\n");
    xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n" + std::regex_replace(xml, line_end, "\n    ");
    return base64_encode(xml);
}

void NavFake::set_clock_offset(std::chrono::seconds offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_offset_ = offset;
}

void NavFake::set_token_delay(std::chrono::milliseconds delay) {
    set_answer_delay("tokenExchange", delay);
}

void NavFake::set_answer_delay(const std::string& operation, std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_delays_[operation] = delay;
}

void NavFake::fail_next(const std::string& operation, NavQueryFault fault, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int added = 0; added < count; ++added) query_faults_[operation].push_back(fault);
}

void NavFake::rewrite_next(const std::string& operation, Rewrite rewrite) {
    std::lock_guard<std::mutex> lock(mutex_);
    rewrites_[operation].push_back(std::move(rewrite));
}

NavFake::Stage NavFake::stage(const Submission& submission) const {
    const auto elapsed = std::chrono::steady_clock::now() - submission.received;
    if (submission.processed || elapsed >= processing_delay_) return Stage::processed;
    return elapsed * 2 < processing_delay_ ? Stage::received : Stage::processing;
}

const NavFake::Submission* NavFake::submission(const std::string& transaction_id) const {
    for (const Submission& candidate : submissions_) {
        if (candidate.transaction_id == transaction_id) return &candidate;
    }
    return nullptr;
}

bool NavFake::registered(const Submission& submission) const {
    return std::chrono::steady_clock::now() >= submission.received;
}

std::chrono::system_clock::time_point NavFake::service_now() const {
    // The process clock (a test may hold it still), as the request timestamps are checked against,
    // with the real clock's milliseconds; whole milliseconds, as insDate carries them, so that a listed
    // time compares equal to itself.
    const auto real = std::chrono::system_clock::now().time_since_epoch();
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(real) % 1000;
    return std::chrono::system_clock::from_time_t(clock_now()) + millis + clock_offset_;
}

ScopedEnv::Values NavFake::env() const {
    return {{"TAVRIN_NAV_URL", url()}};
}

void NavFake::add_user(NavUser user) {
    std::lock_guard<std::mutex> lock(mutex_);
    users_[user.login] = std::move(user);
}

void NavFake::add_taxpayer(NavTaxpayer taxpayer) {
    std::lock_guard<std::mutex> lock(mutex_);
    taxpayers_[taxpayer.id] = std::move(taxpayer);
}

void NavFake::set_transaction(const std::string& transaction_id, NavTransaction transaction) {
    std::lock_guard<std::mutex> lock(mutex_);
    transactions_[transaction_id] = std::move(transaction);
}

NavTransaction NavFake::transaction(const std::string& transaction_id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = transactions_.find(transaction_id);
    if (found != transactions_.end()) return found->second;
    const Submission* submitted = submission(transaction_id);
    if (!submitted) return NavTransaction{};
    // A submission as it stands: aborted when every invoice in it is, with the reasons.
    NavTransaction now;
    const Stage at = stage(*submitted);
    bool all_aborted = true;
    for (const Submission::Invoice& invoice : submitted->invoices) {
        now.invoices.emplace_back(invoice.operation, invoice.data);
        if (invoice.duplicate && at == Stage::processed)
            now.messages.push_back(invoice.refusal.value_or(number_not_unique));
        all_aborted = all_aborted && invoice.duplicate;
    }
    now.status = at == Stage::received     ? "RECEIVED"
                 : at == Stage::processing ? "PROCESSING"
                 : all_aborted             ? "ABORTED"
                                           : "DONE";
    return now;
}

std::vector<NavCall> NavFake::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<std::string> NavFake::issued_tokens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return issued_tokens_;
}

std::string NavFake::schema_problem(const std::string& schema_folder, const std::string& xml) {
    DocPtr doc = parse_strict(xml);
    if (!doc) return "not well-formed";
    return validate(schema_folder, doc.get());
}

std::string NavFake::sha512_upper(const std::string& text) {
    return digest(EVP_sha512(), text);
}

std::string NavFake::sha3_512_upper(const std::string& text) {
    return digest(EVP_sha3_512(), text);
}

std::string NavFake::encrypted_token(const std::string& token, const std::string& key) {
    std::string key16 = key.substr(0, 16);
    key16.resize(16, '\0');
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_EncryptInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, reinterpret_cast<const unsigned char*>(key16.data()),
                       nullptr);
    std::string cipher(token.size() + 32, '\0');
    int written = 0, final_written = 0;
    EVP_EncryptUpdate(context.get(), reinterpret_cast<unsigned char*>(cipher.data()), &written,
                      reinterpret_cast<const unsigned char*>(token.data()), static_cast<int>(token.size()));
    EVP_EncryptFinal_ex(context.get(), reinterpret_cast<unsigned char*>(cipher.data()) + written, &final_written);
    cipher.resize(static_cast<std::size_t>(written + final_written));
    std::string encoded(4 * ((cipher.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                       reinterpret_cast<const unsigned char*>(cipher.data()),
                                       static_cast<int>(cipher.size()));
    encoded.resize(static_cast<std::size_t>(length));
    return encoded;
}

struct NavFake::Asked {
    NavCall& call;
    xmlNodePtr root;
    const NavUser& user;
    std::time_t now;  // the clock the request timestamps are checked against
    std::string reply_root;
    std::vector<std::pair<std::string, std::string>> invoices;  // of a submission: operation, Base64 data
};

void NavFake::handle(const httplib::Request& request, httplib::Response& response) {
    NavCall call;
    call.request = record(request);
    const std::string prefix = "/invoiceService/v3/";
    call.operation = call.request.path.substr(prefix.size());
    if (operation_root(call.operation).empty()) {
        response.status = 404;
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::move(call));
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    call.service_time = std::chrono::system_clock::to_time_t(service_now());
    if (auto delay = answer_delays_.find(call.operation); delay != answer_delays_.end() && delay->second.count() > 0) {
        // Waits without the lock, so the server goes on answering everything else meanwhile.
        hung_changed_.wait_for(lock, delay->second, [this] { return stopping_; });
    }
    std::optional<NavQueryFault> query_fault;
    if (auto queued = query_faults_.find(call.operation); queued != query_faults_.end() && !queued->second.empty()) {
        query_fault = queued->second.front();
        queued->second.erase(queued->second.begin());
    }
    Rewrite rewrite;
    if (auto queued = rewrites_.find(call.operation); queued != rewrites_.end() && !queued->second.empty()) {
        rewrite = std::move(queued->second.front());
        queued->second.erase(queued->second.begin());
    }
    lock.unlock();

    if (query_fault == NavQueryFault::unavailable) {
        lock.lock();
        calls_.push_back(call);
        lock.unlock();
        response.status = 503;
        response.set_content("<html><body><h1>503 Service Unavailable</h1></body></html>", "text/html");
        return;
    }
    Reply reply = query_fault == NavQueryFault::error ? failed(call, request.body) : answer(call, request.body);
    lock.lock();
    NavReplyFault fault = NavReplyFault::none;
    if (call.operation == "manageInvoice" && call.error_code.empty() && !query_fault) {
        if (!next_faults_.empty()) {
            fault = next_faults_.front();
            next_faults_.erase(next_faults_.begin());
        } else if (reply_policy_) {
            fault = reply_policy_();
        }
    }
    calls_.push_back(call);
    if (fault == NavReplyFault::gateway) {
        // The front gave up on the backend, which registers the submission a little later.
        const std::string transaction_id = element_text(reply.xml, "transactionId");
        for (Submission& submitted : submissions_) {
            if (submitted.transaction_id != transaction_id) continue;
            submitted.received += gateway_delay_;
            submitted.ins_date += std::chrono::duration_cast<std::chrono::system_clock::duration>(gateway_delay_);
        }
        lock.unlock();
        response.status = 504;
        response.set_content("<html><body><h1>504 Gateway Time-out</h1></body></html>", "text/html");
        return;
    }
    if (fault == NavReplyFault::hang) {
        ++hung_;
        hung_changed_.notify_all();
        const std::uint64_t releases = releases_;
        // Bounded, so that a forgotten hold never keeps a server thread for good.
        hung_changed_.wait_for(lock, std::chrono::minutes(2), [&] { return stopping_ || releases_ != releases; });
        --hung_;
    }
    lock.unlock();
    if (fault != NavReplyFault::none || query_fault == NavQueryFault::drop) {
        // A content provider that gives nothing: the connection closes right after the headers.
        response.set_content_provider(reply.xml.size(), "application/xml",
                                      [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
        return;
    }
    if (query_fault == NavQueryFault::garbled) {
        response.status = 200;
        response.set_content(reply.xml.substr(0, reply.xml.size() / 2), "application/xml;charset=UTF-8");
        return;
    }
    if (rewrite) {
        response.status = 200;
        response.set_content(rewrite(reply.xml), "application/xml;charset=UTF-8");
        return;
    }
    response.status = reply.status;
    response.set_content(reply.xml, "application/xml;charset=UTF-8");
}

NavFake::Reply NavFake::refused(NavCall& call, int status, const std::string& code, const std::string& message) {
    call.error_code = code;
    call.error_message = message;
    return Reply{status, reply_start("GeneralErrorResponse", call.request_id, code, message, call.service_time) +
                             "</GeneralErrorResponse>"};
}

NavFake::Reply NavFake::replied(const Asked& asked, const std::string& content) {
    return Reply{200, reply_start(asked.reply_root, asked.call.request_id, "", "", asked.now) + content + "</" +
                          asked.reply_root + ">"};
}

// The service failing on its side: the request is not carried out, and its id is not taken.
NavFake::Reply NavFake::failed(NavCall& call, const std::string& body) {
    if (DocPtr doc = parse_strict(body)) {
        xmlNodePtr root = xmlDocGetRootElement(doc.get());
        call.root = root ? reinterpret_cast<const char*>(root->name) : "";
        call.request_id = child_text(root, common_ns, "requestId");
    }
    return refused(call, 500, "OPERATION_FAILED", "A művelet végrehajtása nem sikerült, próbálja újra később");
}

NavFake::Reply NavFake::answer(NavCall& call, const std::string& body) {
    DocPtr doc = parse_strict(body);
    if (!doc) return refused(call, 400, "INVALID_REQUEST", "The request is not well-formed XML");
    xmlNodePtr root = xmlDocGetRootElement(doc.get());
    call.root = root ? reinterpret_cast<const char*>(root->name) : "";
    call.request_id = child_text(root, common_ns, "requestId");
    if (!is_element(root, api_ns, operation_root(call.operation).c_str()))
        return refused(call, 400, "INVALID_REQUEST", "The request element does not fit the operation");
    const std::string problem = validate(schema_folder_, doc.get());
    if (!problem.empty()) return refused(call, 400, "INVALID_REQUEST", "Schema violation: " + problem);

    call.timestamp = child_text(root, common_ns, "timestamp");
    call.login = child_text(root, common_ns, "login");
    call.password_hash = child_text(root, common_ns, "passwordHash");
    call.tax_number = child_text(root, common_ns, "taxNumber");
    call.request_signature = child_text(root, common_ns, "requestSignature");

    std::lock_guard<std::mutex> lock(mutex_);
    if (!seen_request_ids_.insert(call.request_id).second)
        return refused(call, 400, "REQUEST_ID_NOT_UNIQUE", "The request id has been used before");

    std::time_t sent = 0;
    std::string time_digits;
    const std::time_t now = std::chrono::system_clock::to_time_t(service_now());
    if (!timestamp_parts(call.timestamp, sent, time_digits) || sent < now - 86400 || sent > now + 86400)
        return refused(call, 400, "INVALID_REQUEST", "The timestamp is not within a day of the server time");

    auto user = users_.find(call.login);
    if (user == users_.end() || sha512_upper(user->second.password) != call.password_hash ||
        user->second.tax_number != call.tax_number)
        return refused(call, 401, "INVALID_SECURITY_USER", "Helytelen authentikációs adatok!");

    // A submission signs the hash of each invoice operation, in order, after the key.
    Asked asked{call, root, user->second, now, call.root.substr(0, call.root.size() - 7) + "Response", {}};
    std::string extra;
    if (call.operation == "manageInvoice") {
        xmlNodePtr list = find_element(root, api_ns, "invoiceOperations");
        for (xmlNodePtr item = list ? list->children : nullptr; item; item = item->next) {
            if (!is_element(item, api_ns, "invoiceOperation")) continue;
            const std::string operation = child_text(item, api_ns, "invoiceOperation");
            const std::string data = child_text(item, api_ns, "invoiceData");
            extra += sha3_512_upper(operation + data);
            asked.invoices.emplace_back(operation, data);
        }
    }
    if (sha3_512_upper(call.request_id + time_digits + user->second.signing_key + extra) != call.request_signature)
        return refused(call, 400, "INVALID_REQUEST_SIGNATURE", "Helytelen kérés aláírás!");

    if (call.operation == "tokenExchange") return answer_token_exchange(asked);
    if (call.operation == "queryTaxpayer") return answer_taxpayer(asked);
    if (call.operation == "manageInvoice") return answer_manage_invoice(asked);
    if (call.operation == "queryTransactionStatus") return answer_transaction_status(asked);
    if (call.operation == "queryTransactionList") return answer_transaction_list(asked);
    if (call.operation == "queryInvoiceCheck") return answer_invoice_check(asked);
    return answer_invoice_data(asked);
}

NavFake::Reply NavFake::answer_token_exchange(Asked& asked) {
    char token[64];
    std::snprintf(token, sizeof token, "%08x-fa4e-4d1b-9c2e-%012d%s", 0x5eed0000 + next_number_, next_number_,
                  "2P0ZHLXBRI2U");
    ++next_number_;
    issued_tokens_.push_back(token);
    open_tokens_[token] = asked.call.login;
    return replied(asked, element("encodedExchangeToken", encrypted_token(token, asked.user.exchange_key)) +
                              element("tokenValidityFrom", utc(asked.now)) +
                              element("tokenValidityTo", utc(asked.now + 300)));
}

NavFake::Reply NavFake::answer_taxpayer(Asked& asked) {
    auto taxpayer = taxpayers_.find(child_text(asked.root, api_ns, "taxNumber"));
    if (taxpayer == taxpayers_.end()) return replied(asked, "<taxpayerValidity>false</taxpayerValidity>");
    const NavTaxpayer& found = taxpayer->second;
    std::string xml = "<infoDate>2019-09-11T00:00:00.000Z</infoDate><taxpayerValidity>true</taxpayerValidity>";
    xml += "<taxpayerData>" + element("taxpayerName", found.name) + "<taxNumberDetail>" +
           element("ns3:taxpayerId", found.id);
    if (!found.vat_code.empty()) xml += element("ns3:vatCode", found.vat_code);
    if (!found.county_code.empty()) xml += element("ns3:countyCode", found.county_code);
    xml += "</taxNumberDetail><incorporation>ORGANIZATION</incorporation>";
    if (!found.addresses.empty()) {
        xml += "<taxpayerAddressList>";
        for (const NavAddress& address : found.addresses) {
            xml += "<taxpayerAddressItem>" + element("taxpayerAddressType", address.type) + "<taxpayerAddress>" +
                   element("ns3:countryCode", "HU") + element("ns3:postalCode", address.postal_code) +
                   element("ns3:city", address.city) + element("ns3:streetName", address.street_name) +
                   element("ns3:publicPlaceCategory", address.public_place_category);
            const std::pair<const char*, const std::string*> optional[] = {
                {"ns3:number", &address.number},       {"ns3:building", &address.building},
                {"ns3:staircase", &address.staircase}, {"ns3:floor", &address.floor},
                {"ns3:door", &address.door}};
            for (const auto& [name, value] : optional) {
                if (!value->empty()) xml += element(name, *value);
            }
            xml += "</taxpayerAddress></taxpayerAddressItem>";
        }
        xml += "</taxpayerAddressList>";
    }
    return replied(asked, xml + "</taxpayerData>");
}

std::string NavFake::new_transaction_id() {
    char number[24];
    std::snprintf(number, sizeof number, "%020d", next_number_++);
    return transaction_prefix_ + number;
}

NavFake::Reply NavFake::answer_manage_invoice(Asked& asked) {
    const std::string token = child_text(asked.root, api_ns, "exchangeToken");
    auto open = open_tokens_.find(token);
    if (open == open_tokens_.end() || open->second != asked.call.login)
        return refused(asked.call, 400, "INVALID_EXCHANGE_TOKEN", "Érvénytelen adatszolgáltatási token!");
    open_tokens_.erase(open);  // a token serves one submission
    const std::string id = new_transaction_id();

    Submission received{id, asked.call.login, asked.user.tax_number, service_now(), std::chrono::steady_clock::now(),
                        false, {}, false, false};
    for (auto& [operation, data] : asked.invoices) received.invoices.push_back(checked_invoice(received, operation, data));
    if (next_refusal_) {
        // Refused on processing: aborted as a duplicate is, with its own reason.
        for (Submission::Invoice& invoice : received.invoices) {
            invoice.duplicate = true;
            invoice.refusal = next_refusal_;
        }
        next_refusal_.reset();
    }
    submissions_.push_back(std::move(received));
    return replied(asked, element("transactionId", id));
}

// One invoice of a submission as received. The number is taken when an earlier invoice of the
// supplier has it and is not aborted; the verdict is known at receipt, as processing goes in order,
// and shown once processed.
NavFake::Submission::Invoice NavFake::checked_invoice(const Submission& received, const std::string& operation,
                                                      const std::string& data) const {
    auto has_number = [](const Submission& earlier, const std::string& number) {
        for (const Submission::Invoice& invoice : earlier.invoices)
            if (!invoice.duplicate && invoice.number == number) return true;
        return false;
    };
    Submission::Invoice invoice{operation, data, invoice_number(data), false, std::nullopt};
    bool taken = has_number(received, invoice.number);
    for (const Submission& earlier : submissions_)
        taken = taken || (earlier.tax_number == received.tax_number && has_number(earlier, invoice.number));
    invoice.duplicate = operation == "CREATE" && !invoice.number.empty() && taken;
    return invoice;
}

NavFake::Submission& NavFake::add_other_submission(const std::string& login, bool annulment) {
    const std::string id = new_transaction_id();
    const auto user = users_.find(login);
    submissions_.push_back(Submission{id, login, user == users_.end() ? "" : user->second.tax_number, service_now(),
                                      std::chrono::steady_clock::now(), annulment, {}, true, annulment});
    return submissions_.back();
}

void NavFake::refuse_next_on_processing(NavMessage reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    next_refusal_ = std::move(reason);
}

std::string NavFake::add_foreign_submission(const std::string& login, const std::string& operation,
                                            const std::string& base64_data) {
    std::lock_guard<std::mutex> lock(mutex_);
    Submission& received = add_other_submission(login, false);
    received.invoices.push_back(checked_invoice(received, operation, base64_data));
    return received.transaction_id;
}

std::string NavFake::add_annulment(const std::string& login) {
    std::lock_guard<std::mutex> lock(mutex_);
    return add_other_submission(login, true).transaction_id;
}

void NavFake::set_original_request(const std::string& invoice_number, const std::string& shown) {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_originals_[invoice_number] = shown;
}

void NavFake::set_gateway_delay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    gateway_delay_ = delay;
}

NavFake::Reply NavFake::answer_transaction_status(Asked& asked) {
    const std::string transaction_id = child_text(asked.root, api_ns, "transactionId");
    const std::string original = child_text(asked.root, api_ns, "returnOriginalRequest");
    const bool with_original = original == "true" || original == "1";
    std::vector<InvoiceResult> results;
    if (auto set = transactions_.find(transaction_id); set != transactions_.end()) {
        // As the test set it: every invoice (at least one) with the transaction's status and messages.
        const NavTransaction& fixed = set->second;
        for (std::size_t index = 0; index < std::max<std::size_t>(fixed.invoices.size(), 1); ++index)
            results.push_back({fixed.status, fixed.messages,
                               index < fixed.invoices.size() ? fixed.invoices[index].second : std::string()});
    } else if (const Submission* submitted = submission(transaction_id);
               submitted && submitted->tax_number == asked.user.tax_number && registered(*submitted)) {
        // Another taxpayer's, or one not registered yet, is unknown.
        const Stage at = stage(*submitted);
        // An annulment's result carries no invoice data.
        if (submitted->annulment) results.push_back({at == Stage::processed ? "DONE" : "RECEIVED", {}, ""});
        for (const Submission::Invoice& invoice : submitted->invoices) {
            const auto shown = shown_originals_.find(invoice.number);
            InvoiceResult result{at == Stage::received ? "RECEIVED" : "PROCESSING", {},
                                 shown == shown_originals_.end() ? invoice.data : shown->second};
            if (at == Stage::processed) result.status = invoice.duplicate ? "ABORTED" : "DONE";
            if (at == Stage::processed && invoice.duplicate)
                result.messages.push_back(invoice.refusal.value_or(number_not_unique));
            results.push_back(std::move(result));
        }
    }
    return replied(asked, results.empty() ? std::string() : processing_results(results, with_original));
}

NavFake::Reply NavFake::answer_transaction_list(Asked& asked) {
    SystemTime from, to;
    xmlNodePtr interval = find_element(asked.root, api_ns, "insDate");
    if (!parse_instant(child_text(interval, api_ns, "dateTimeFrom"), from) ||
        !parse_instant(child_text(interval, api_ns, "dateTimeTo"), to) || to < from)
        return refused(asked.call, 400, "INVALID_REQUEST", "Érvénytelen időintervallum");
    const std::string wanted_status = child_text(asked.root, api_ns, "requestStatus");
    const int page = std::atoi(child_text(asked.root, api_ns, "page").c_str());

    // The user's transactions received within the interval, in order of receipt; the request status
    // is RECEIVED until processed and FINISHED after.
    std::vector<std::pair<const Submission*, std::string>> listed;
    for (const Submission& submitted : submissions_) {
        const std::string status = stage(submitted) == Stage::processed ? "FINISHED" : "RECEIVED";
        if (submitted.login == asked.call.login && registered(submitted) && submitted.ins_date >= from &&
            submitted.ins_date <= to && (wanted_status.empty() || wanted_status == status))
            listed.emplace_back(&submitted, status);
    }
    const std::size_t size = static_cast<std::size_t>(list_page_size_);
    // None listed: no page at all (unless the test makes it claim some).
    const std::size_t pages = (listed.size() + size - 1) / size + static_cast<std::size_t>(list_extra_pages_);
    std::string xml = "<transactionListResult>" + element("currentPage", std::to_string(page)) +
                      element("availablePage", std::to_string(pages));
    for (std::size_t index = (static_cast<std::size_t>(page) - 1) * size;
         index < listed.size() && index < static_cast<std::size_t>(page) * size; ++index) {
        const Submission& submitted = *listed[index].first;
        xml += "<transaction>" + element("insDate", instant_text(submitted.ins_date)) +
               element("insCusUser", submitted.login) + element("source", "MGM") +
               element("transactionId", submitted.transaction_id) + element("requestStatus", listed[index].second) +
               element("technicalAnnulment", submitted.annulment ? "true" : "false") +
               "<originalRequestVersion>3.0</originalRequestVersion>" +
               element("itemCount", std::to_string(std::max<std::size_t>(submitted.invoices.size(), 1))) +
               "</transaction>";
    }
    return replied(asked, xml + "</transactionListResult>");
}

// Where the supplier's processed submissions hold an invoice of that number that was not aborted:
// the submission and the invoice's place in it; null when nowhere.
std::pair<const NavFake::Submission*, std::size_t> NavFake::known_invoice(const std::string& number,
                                                                         const std::string& tax_number) const {
    for (const Submission& submitted : submissions_) {
        if (submitted.tax_number != tax_number || !registered(submitted) || stage(submitted) != Stage::processed)
            continue;
        for (std::size_t index = 0; index < submitted.invoices.size(); ++index) {
            const Submission::Invoice& invoice = submitted.invoices[index];
            if (!invoice.duplicate && invoice.number == number) return {&submitted, index};
        }
    }
    return {nullptr, 0};
}

NavFake::Reply NavFake::answer_invoice_check(Asked& asked) {
    const auto [found, index] = known_invoice(child_text(asked.root, api_ns, "invoiceNumber"), asked.user.tax_number);
    return replied(asked, element("invoiceCheckResult", found ? "true" : "false"));
}

NavFake::Reply NavFake::answer_invoice_data(Asked& asked) {
    const auto [found, index] = known_invoice(child_text(asked.root, api_ns, "invoiceNumber"), asked.user.tax_number);
    if (!found) return replied(asked, "");
    return replied(asked, "<invoiceDataResult>" + element("invoiceData", found->invoices[index].data) + "<auditData>" +
                              element("insdate", instant_text(found->ins_date)) + element("insCusUser", found->login) +
                              element("source", "MGM") + element("transactionId", found->transaction_id) +
                              element("index", std::to_string(index + 1)) + element("originalRequestVersion", "3.0") +
                              "</auditData><compressedContentIndicator>false</compressedContentIndicator>"
                              "</invoiceDataResult>");
}
