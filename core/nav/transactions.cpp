// Finding one submission in the tax authority's own records: the technical user's transactions of
// an interval, listed page by page, and each one identified by the invoice data it carried. A
// submission is "not there" only when every page was read and every transaction told apart; what
// could not be read is never taken as proof of anything. A long listing is read over several calls,
// each going on where the last one stopped.
#include "core/Core.h"
#include "core/nav/report_internal.h"
#include "core/nav/xml.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>

using json11::Json;

namespace {

// One call reads at most this many pages of a listing, and starts no page after this long: a save or
// the background query is answered promptly, and the next call goes on.
constexpr int kPagesPerCall = 20;
constexpr auto kTimePerCall = std::chrono::seconds(5);
// How far the listing of a report has been read, in the local settings row.
constexpr const char* kListingMember = "nav_listing";

// One invoice of a transaction as the authority gives it back.
struct Carried {
    std::string status;        // invoiceStatus
    std::string message;       // the validation messages of an aborted one
    std::string number;        // empty when the content could not be read
    std::string data_digest;   // of the Base64 data as sent
    std::string content_digest;
    std::string material;      // nav_invoice_material
};

// A transaction told apart: its invoices, and whether its processing has ended (then it never changes).
struct Identified {
    std::vector<Carried> invoices;
    bool finished = false;
    bool readable = true;  // every invoice's content was read
};

// Finished transactions with readable content, asked once per run; known by the service, the user,
// the transaction and its time of receipt, so that nothing of one service is taken for another's.
std::mutex known_mutex;
std::map<std::string, Identified> known;

bool known_transaction(const std::string& key, Identified& out) {
    std::lock_guard<std::mutex> lock(known_mutex);
    auto found = known.find(key);
    if (found == known.end()) return false;
    out = found->second;
    return true;
}

void remember(const std::string& key, const Identified& identified) {
    if (!identified.finished || !identified.readable) return;
    std::lock_guard<std::mutex> lock(known_mutex);
    known[key] = identified;
}

std::string without_whitespace(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') out += c;
    return out;
}

int number_in(const std::string& text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : -1;
}

// The words of a failure, in the user's language.
std::string told(bool hungarian, const std::string& hu, const std::string& en) {
    return hungarian ? hu : en;
}

// A reply that is no answer: the authority was not reached (nothing came back), it refused the
// question (its message), or it answered something that cannot be read (a reply cut short or out of
// form): a failure of the authority, never taken as absence nor as an authority out of reach.
NavFound no_answer(const std::string& reply, bool hungarian) {
    NavFound found;
    if (reply.empty()) return found;
    found.state = NavFound::State::refused;
    if (xml_tag_value(reply, "funcCode") == "ERROR") {
        found.message = xml_tag_value(reply, "message");
        if (found.message.empty()) found.message = xml_tag_value(reply, "errorCode");
        if (found.message.empty()) found.message = "ERROR";
        return found;
    }
    found.message = told(hungarian, "A NAV válasza nem olvasható (csonka vagy hibás).",
                         "The authority's reply cannot be read (cut short or malformed).");
    return found;
}

// One request to the authority; the time its reply carries tells this computer's offset to its clock.
std::string asked(const std::string& body, const char* request_element, const char* operation,
                  const Json::object& credentials) {
    std::string reply = nav_request(body, request_element, operation, credentials)["xml"].string_value();
    nav_report::note_service_time(nav_reply_time(reply));
    return reply;
}

NavFound found_as(NavFound::State state, std::string transaction_id = "", std::string message = "") {
    NavFound found;
    found.state = state;
    found.transaction_id = std::move(transaction_id);
    found.message = std::move(message);
    return found;
}

NavFound unread(NavFound::Gap gap) {
    NavFound found;
    found.state = NavFound::State::unread;
    found.gap = gap;
    return found;
}

// The validation messages of an aborted processing result, one per line.
std::string abort_reason(const std::string& result) {
    std::string text;
    for (const char* kind : {"technicalValidationMessages", "businessValidationMessages"}) {
        for (const std::string& message : xml_elements(result, kind)) {
            std::string line = xml_tag_value(message, "validationErrorCode");
            const std::string said = xml_tag_value(message, "message");
            if (!said.empty()) line += (line.empty() ? "" : ": ") + said;
            if (line.empty()) continue;
            text += (text.empty() ? "" : "\n") + line;
        }
    }
    return text.empty() ? std::string("ABORTED") : text;
}

bool finished_status(const std::string& status) {
    return status == "DONE" || status == "ABORTED";
}

bool open_status(const std::string& status) {
    return status == "RECEIVED" || status == "PROCESSING" || status == "SAVED";
}

// Reads the number and the digests of one Base64 invoice data; false when it is not invoice data.
bool read_content(const std::string& base64, Carried& carried) {
    const std::string data = without_whitespace(base64);
    std::string decoded = data;
    decoded.resize(base64_decode(decoded.size(), decoded.data()));
    const std::vector<std::string> numbers = xml_elements(decoded, "invoiceNumber");
    if (data.empty() || numbers.empty()) return false;
    carried.number = xml_unescaped(numbers.front());
    carried.data_digest = sha3_512_hex(data);
    carried.content_digest = nav_content_digest(decoded);
    carried.material = nav_invoice_material(decoded);
    return true;
}

std::string known_key(const Json::object& credentials, const std::string& transaction_id, const std::string& received) {
    return endpoint_config().nav_url + "\n" + credentials.at("nav_user_id").string_value() + "\n" +
           credentials.at("supplier_identifier_number").string_value() + "\n" + transaction_id + "\n" + received;
}

// Asks the authority what one transaction carried, with its original request. `received`, its
// time of receipt as listed, lets a finished one be remembered; without it, it is always asked.
bool identify(const Json::object& credentials, const std::string& transaction_id, const std::string& received,
              bool hungarian, Identified& out, NavFound& failure) {
    const std::string key = known_key(credentials, transaction_id, received);
    if (!received.empty() && known_transaction(key, out)) return true;
    const std::string status =
        asked("<transactionId>" + xml_escaped(transaction_id) +
                  "</transactionId><returnOriginalRequest>true</returnOriginalRequest>",
              "QueryTransactionStatusRequest", "queryTransactionStatus", credentials);
    if (xml_tag_value(status, "funcCode") != "OK") {
        failure = no_answer(status, hungarian);
        return false;
    }
    Identified identified;
    identified.finished = true;
    for (const std::string& result : xml_elements(status, "processingResult")) {
        Carried carried;
        carried.status = xml_tag_value(result, "invoiceStatus");
        if (!finished_status(carried.status) && !open_status(carried.status)) {
            failure = no_answer(status, hungarian);
            return false;
        }
        if (carried.status == "ABORTED") carried.message = abort_reason(result);
        if (!read_content(xml_tag_value(result, "originalRequest"), carried)) identified.readable = false;
        identified.finished = identified.finished && finished_status(carried.status);
        identified.invoices.push_back(std::move(carried));
    }
    // Received, its results not given out yet.
    if (identified.invoices.empty()) identified.finished = identified.readable = false;
    if (!received.empty()) remember(key, identified);
    out = std::move(identified);
    return true;
}

// This invoice data: the very data, the same content in another layout, or, from this technical user,
// an invoice that is what this one is (the same parties, dates, currency and totals per rate) in
// whatever form the authority gives it back.
bool is_ours(const Core::NavSought& sought, const Carried& carried, bool by_our_user) {
    return carried.data_digest == sought.data_digest ||
           (!sought.content_digest.empty() && carried.content_digest == sought.content_digest) ||
           (by_our_user && !sought.material.empty() && carried.material == sought.material);
}

bool not_unique(const Carried& carried) {
    return carried.message.find("INVOICE_NUMBER_NOT_UNIQUE") != std::string::npos;
}

// What the listing of one report has told so far. Finished transactions never change, so what they
// told holds; one not finished when it was read is asked again before anything is concluded.
struct Learnt {
    std::string done_id;          // ours, processed
    std::string aborted_id;       // ours, refused on processing
    std::string aborted_message;
    bool duplicate = false;       // ours, refused because the number was held
    bool taken = false;           // another invoice data holds the number
    bool unread_done = false;     // a finished transaction whose content could not be read
    // Transactions not finished when read, and whether each is of this technical user.
    std::map<std::string, bool> open;
    int next_page = 1;            // the last page read is read again: it may have grown
    int pages = 0;                // as the listing last said
    bool whole = false;           // every page has been read
};

// What a call learns of transactions that may still change (asked again at each call's end).
struct Unsettled {
    std::string open_id;      // ours, still being processed
    bool contested = false;   // another invoice data of the number is still being processed
    bool unread_open = false; // a transaction not told apart yet that may still change
};

Json learnt_json(const std::string& key, const Learnt& learnt) {
    Json::object open;
    for (const auto& [id, by_our_user] : learnt.open) open[id] = by_our_user;
    return Json::object{{"key", key},
                        {"done_id", learnt.done_id},
                        {"aborted_id", learnt.aborted_id},
                        {"aborted_message", learnt.aborted_message},
                        {"duplicate", learnt.duplicate},
                        {"taken", learnt.taken},
                        {"unread_done", learnt.unread_done},
                        {"open", open},
                        {"next_page", learnt.next_page},
                        {"pages", learnt.pages},
                        {"whole", learnt.whole}};
}

// Kept only for the listing of this very report and interval: another report starts afresh.
Learnt learnt_of(const Json& kept, const std::string& key) {
    Learnt learnt;
    if (kept["key"].string_value() != key) return learnt;
    learnt.done_id = kept["done_id"].string_value();
    learnt.aborted_id = kept["aborted_id"].string_value();
    learnt.aborted_message = kept["aborted_message"].string_value();
    learnt.duplicate = kept["duplicate"].bool_value();
    learnt.taken = kept["taken"].bool_value();
    learnt.unread_done = kept["unread_done"].bool_value();
    for (const auto& [id, by_our_user] : kept["open"].object_items()) learnt.open[id] = by_our_user.bool_value();
    learnt.next_page = std::max(1, kept["next_page"].int_value());
    learnt.pages = std::max(0, kept["pages"].int_value());
    learnt.whole = kept["whole"].bool_value();
    return learnt;
}

// Takes in what one identified transaction carried. A transaction not finished is noted to be asked
// again; `unsettled`, when given, gets what it tells now.
void take_in(const Core::NavSought& sought, const std::string& transaction_id, const Identified& identified,
             bool listed_finished, bool by_our_user, Learnt& learnt, Unsettled* unsettled) {
    const bool finished = identified.finished || (listed_finished && !identified.readable);
    if (!finished) {
        learnt.open[transaction_id] = by_our_user;
        if (!unsettled) return;
    } else {
        learnt.open.erase(transaction_id);
    }
    if (!identified.readable && identified.invoices.empty()) {
        if (finished) learnt.unread_done = true;
        else unsettled->unread_open = true;
        return;
    }
    for (const Carried& carried : identified.invoices) {
        const bool carried_finished = finished_status(carried.status);
        if (!carried_finished && !unsettled) continue;
        if (carried.number.empty()) {
            if (carried_finished) learnt.unread_done = true;
            else unsettled->unread_open = true;
        } else if (is_ours(sought, carried, by_our_user)) {
            if (carried.status == "DONE") learnt.done_id = transaction_id;
            else if (open_status(carried.status)) unsettled->open_id = transaction_id;
            else if (not_unique(carried)) learnt.duplicate = true;
            else learnt.aborted_id = transaction_id, learnt.aborted_message = carried.message;
        } else if (carried.number == sought.number) {
            if (carried.status == "DONE") learnt.taken = true;
            else if (open_status(carried.status)) unsettled->contested = true;
        }
    }
}

// An amount as whole hundredths, however it is written ("1200", "1200.0", "1200.00"); what is no
// number stays as it is written, equal only to the same text.
std::string amount_cents(const std::string& text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return text;
    return std::to_string(std::llround(value * 100));
}

// The parts of a tax number container, joined: "12345678-2-41", or the foreign number it holds.
std::string tax_number_of(const std::string& container) {
    std::string number = xml_tag_value(container, "taxpayerId");
    for (const char* part : {"vatCode", "countyCode"}) {
        const std::string value = xml_tag_value(container, part);
        if (!value.empty()) number += "-" + value;
    }
    for (const char* other : {"communityVatNumber", "thirdStateTaxId"}) {
        const std::string value = xml_tag_value(container, other);
        if (!value.empty()) number += (number.empty() ? "" : "/") + value;
    }
    return number;
}

}  // namespace

std::string nav_content_digest(const std::string& invoice_xml) {
    // The content without the declaration and the blanks between elements: the same invoice data
    // given back in another layout is still known as the same.
    std::string_view text = invoice_xml;
    if (text.substr(0, 5) == "<?xml") {
        const std::size_t end = text.find("?>");
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 2);
    }
    std::string out;
    out.reserve(text.size());
    std::size_t blank_from = std::string::npos;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        const bool blank = c == ' ' || c == '\n' || c == '\r' || c == '\t';
        if (blank) {
            if (blank_from == std::string::npos) blank_from = at;
            continue;
        }
        // Blanks between two elements go; blanks inside a text stay.
        if (blank_from != std::string::npos && !(c == '<' && (out.empty() || out.back() == '>')))
            out.append(text.substr(blank_from, at - blank_from));
        blank_from = std::string::npos;
        out += c;
    }
    return sha3_512_hex(out);
}

std::string nav_invoice_material(const std::string& invoice_xml) {
    const std::string number = xml_tag_value(invoice_xml, "invoiceNumber");
    const std::vector<std::string> summaries = xml_elements(invoice_xml, "invoiceSummary");
    if (number.empty() || summaries.empty()) return "";
    auto first = [&invoice_xml](const char* name) {
        const std::vector<std::string> found = xml_elements(invoice_xml, name);
        return found.empty() ? std::string() : found.front();
    };
    auto cents = [](const std::string& container, const char* name) {
        return amount_cents(xml_tag_value(container, name));
    };
    std::string material = "number=" + number + "\nreference=" + xml_tag_value(invoice_xml, "originalInvoiceNumber") +
                           "\nsupplier=" + tax_number_of(first("supplierTaxNumber")) +
                           "\ncustomer=" + tax_number_of(first("customerVatData")) +
                           "\nissued=" + xml_tag_value(invoice_xml, "invoiceIssueDate") +
                           "\ndelivered=" + xml_tag_value(invoice_xml, "invoiceDeliveryDate") +
                           "\ncurrency=" + xml_tag_value(invoice_xml, "currencyCode");
    // Per rate, in the order of the rates, whatever order the data lists them in.
    std::vector<std::string> rates;
    for (const std::string& by_rate : xml_elements(summaries.front(), "summaryByVatRate")) {
        const std::vector<std::string> rate_elements = xml_elements(by_rate, "vatRate");
        const std::string rate = rate_elements.empty() ? std::string() : rate_elements.front();
        std::string label = xml_tag_value(rate, "vatPercentage");
        if (!label.empty()) label = "percent " + cents(rate, "vatPercentage");
        for (const char* kind : {"case", "vatDomesticReverseCharge", "marginSchemeIndicator", "vatContent"}) {
            const std::string value = xml_tag_value(rate, kind);
            if (!value.empty()) label += std::string(kind) + " " + value;
        }
        rates.push_back("rate=" + label + " net=" + cents(by_rate, "vatRateNetAmount") +
                        " vat=" + cents(by_rate, "vatRateVatAmount") + " gross=" + cents(by_rate, "vatRateGrossAmount"));
    }
    std::sort(rates.begin(), rates.end());
    for (const std::string& rate : rates) material += "\n" + rate;
    material += "\nnet=" + cents(summaries.front(), "invoiceNetAmount") +
                "\nvat=" + cents(summaries.front(), "invoiceVatAmount") +
                "\ngross=" + cents(summaries.front(), "invoiceGrossAmount");
    return material;
}

std::time_t nav_reply_time(const std::string& reply) {
    const std::string stamp = xml_tag_value(reply, "timestamp");
    std::tm parts{};
    if (stamp.size() < 19 || std::sscanf(stamp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &parts.tm_year, &parts.tm_mon,
                                         &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6)
        return 0;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return timegm(&parts);
}

NavFound Core::nav_invoice_holder(const NavSought& sought) {
    const Json::object credentials = nav_credentials(sought.tax_number);
    if (credentials.empty()) return found_as(NavFound::State::no_credentials);
    const std::string reply =
        asked("<invoiceNumberQuery><invoiceNumber>" + xml_escaped(sought.number) +
                  "</invoiceNumber><invoiceDirection>OUTBOUND</invoiceDirection></invoiceNumberQuery>",
              "QueryInvoiceDataRequest", "queryInvoiceData", credentials);
    if (xml_tag_value(reply, "funcCode") != "OK") return no_answer(reply, is_hungarian);
    const std::vector<std::string> results = xml_elements(reply, "invoiceDataResult");
    if (results.empty()) return found_as(NavFound::State::absent);
    const std::string transaction_id = xml_tag_value(results.front(), "transactionId");
    Carried carried;
    if (!is_nav_transaction_id(transaction_id) || !read_content(xml_tag_value(results.front(), "invoiceData"), carried))
        return unread(NavFound::Gap::content);
    const bool by_our_user = xml_tag_value(results.front(), "insCusUser") == credentials.at("nav_user_id").string_value();
    return found_as(is_ours(sought, carried, by_our_user) ? NavFound::State::done : NavFound::State::taken,
                    transaction_id);
}

NavFound Core::nav_transaction_outcome(const NavSought& sought, const std::string& transaction_id) {
    const Json::object credentials = nav_credentials(sought.tax_number);
    if (credentials.empty()) return found_as(NavFound::State::no_credentials);
    Identified identified;
    NavFound failure;
    if (!identify(credentials, transaction_id, "", is_hungarian, identified, failure)) return failure;
    if (identified.invoices.empty()) return found_as(NavFound::State::processing, transaction_id);
    const Carried& carried = identified.invoices.front();
    if (carried.status == "DONE") return found_as(NavFound::State::done, transaction_id);
    // A duplicate number: the invoice that holds it tells whether it is this very invoice data (an
    // earlier copy of it arrived) or another one.
    if (carried.status == "ABORTED" && not_unique(carried)) {
        NavFound holder = nav_invoice_holder(sought);
        return holder.state == NavFound::State::absent ? unread(NavFound::Gap::content) : holder;
    }
    if (carried.status == "ABORTED") return found_as(NavFound::State::aborted, transaction_id, carried.message);
    return found_as(NavFound::State::processing, transaction_id);
}

namespace {

// One listing read at a time in this process: the save and the background query go on from the same
// page instead of reading it twice.
std::mutex listing_mutex;

bool conclusive(const NavFound& found) {
    return found.state == NavFound::State::done || found.state == NavFound::State::taken;
}

// The interval of a listing request, on the authority's clock.
std::string interval_element(const Core::NavSought& within) {
    return "<insDate><dateTimeFrom>" + utc_text(within.from, "%Y-%m-%dT%H:%M:%S.000Z") + "</dateTimeFrom><dateTimeTo>" +
           utc_text(within.to, "%Y-%m-%dT%H:%M:%S.000Z") + "</dateTimeTo></insDate>";
}

// What one call of the listing reads with.
struct Reading {
    const Core::NavSought& sought;
    const Json::object& credentials;
    std::string interval;
    bool hungarian = false;
};

enum class PageRead { read, out_of_time };

// Takes in the transactions of one listed page, each identified by what it carried, until the call's
// time is up. A failure of the authority, when there was one.
std::optional<NavFound> take_in_page(const Reading& reading, const std::string& listing,
                                     const std::vector<std::string>& transactions,
                                     std::chrono::steady_clock::time_point until, Learnt& learnt, PageRead& read) {
    read = PageRead::read;
    for (const std::string& transaction : transactions) {
        if (std::chrono::steady_clock::now() >= until) {
            read = PageRead::out_of_time;
            return std::nullopt;
        }
        const std::string transaction_id = xml_tag_value(transaction, "transactionId");
        if (!is_nav_transaction_id(transaction_id)) return no_answer(listing, reading.hungarian);
        const std::string request_status = xml_tag_value(transaction, "requestStatus");
        const bool listed_finished = request_status == "FINISHED" || request_status == "NOTIFIED";
        // An annulment carries no invoice data; whether it touched this number is asked at the end.
        if (xml_tag_value(transaction, "technicalAnnulment") == "true") {
            if (listed_finished) learnt.unread_done = true;
            else learnt.open[transaction_id] = true;
            continue;
        }
        Identified identified;
        NavFound failure;
        if (!identify(reading.credentials, transaction_id, xml_tag_value(transaction, "insDate"), reading.hungarian,
                      identified, failure))
            return failure;
        const std::string& user = xml_tag_value(transaction, "insCusUser");
        const bool by_our_user = user.empty() || user == reading.credentials.at("nav_user_id").string_value();
        take_in(reading.sought, transaction_id, identified, listed_finished, by_our_user, learnt, nullptr);
    }
    return std::nullopt;
}

// Reads the listing from where the last call stopped, a bounded number of pages and of time; a page
// cut off by the time is read again by the next call, which finds its finished transactions known
// already. A failure of the authority, when there was one.
std::optional<NavFound> read_pages(const Reading& reading, Learnt& learnt) {
    const auto until = std::chrono::steady_clock::now() + kTimePerCall;
    for (int read = 0; read < kPagesPerCall && std::chrono::steady_clock::now() < until; ++read) {
        const int page = learnt.next_page;
        learnt.whole = false;
        const std::string listing = asked("<page>" + std::to_string(page) + "</page>" + reading.interval,
                                          "QueryTransactionListRequest", "queryTransactionList", reading.credentials);
        const std::vector<std::string> results = xml_elements(listing, "transactionListResult");
        if (xml_tag_value(listing, "funcCode") != "OK" || results.size() != 1) return no_answer(listing, reading.hungarian);
        const int pages = number_in(xml_tag_value(results.front(), "availablePage"));
        if (pages < 0) return no_answer(listing, reading.hungarian);
        const std::vector<std::string> transactions = xml_elements(results.front(), "transaction");
        // A page it claims to have and does not give is a failure of the authority, never an end.
        if (page <= pages && transactions.empty())
            return found_as(NavFound::State::refused, "",
                            told(reading.hungarian,
                                 "A NAV tranzakciólistája " + std::to_string(pages) + " oldalt jelez, de a(z) " +
                                     std::to_string(page) + ". oldalt üresen adta.",
                                 "The authority's list of transactions claims " + std::to_string(pages) +
                                     " pages, but gave page " + std::to_string(page) + " empty."));
        PageRead page_read = PageRead::read;
        if (std::optional<NavFound> failure = take_in_page(reading, listing, transactions, until, learnt, page_read))
            return failure;
        learnt.pages = pages;
        if (page_read == PageRead::out_of_time) break;
        learnt.whole = page >= pages;
        if (learnt.whole) break;
        learnt.next_page = page + 1;
    }
    return std::nullopt;
}

// Once the listing is read whole, what may still change is asked as it stands now. A failure of the
// authority, when there was one.
std::optional<NavFound> ask_open_again(const Reading& reading, Learnt& learnt, Unsettled& unsettled) {
    for (const auto& [transaction_id, by_our_user] : std::map<std::string, bool>(learnt.open)) {
        Identified identified;
        NavFound failure;
        if (!identify(reading.credentials, transaction_id, "", reading.hungarian, identified, failure)) return failure;
        take_in(reading.sought, transaction_id, identified, false, by_our_user, learnt, &unsettled);
    }
    return std::nullopt;
}

// What a listing read whole says; the invoice held under the number tells a transaction that could
// not be told apart.
NavFound verdict(const Learnt& learnt, const Unsettled& unsettled, const std::function<const NavFound&()>& second_witness) {
    if (!learnt.done_id.empty()) return found_as(NavFound::State::done, learnt.done_id);
    if (!unsettled.open_id.empty()) return found_as(NavFound::State::processing, unsettled.open_id);
    if (unsettled.contested) return found_as(NavFound::State::contested);
    if (learnt.taken) return found_as(NavFound::State::taken);
    if (unsettled.unread_open) return found_as(NavFound::State::contested);
    if (!learnt.aborted_id.empty() && !learnt.duplicate && !learnt.unread_done)
        return found_as(NavFound::State::aborted, learnt.aborted_id, learnt.aborted_message);
    if (learnt.duplicate || learnt.unread_done) {
        const NavFound& witness = second_witness();
        if (witness.state != NavFound::State::absent) return witness;
        if (learnt.duplicate) return unread(NavFound::Gap::content);
        if (!learnt.aborted_id.empty()) return found_as(NavFound::State::aborted, learnt.aborted_id, learnt.aborted_message);
    }
    return found_as(NavFound::State::absent);
}

}  // namespace

NavFound Core::nav_find_submission(const NavSought& sought) {
    const Json::object credentials = nav_credentials(sought.tax_number);
    if (credentials.empty()) return found_as(NavFound::State::no_credentials);
    std::lock_guard<std::mutex> reading_one(listing_mutex);
    const std::string key = known_key(credentials, sought.request_id, std::to_string(sought.from) + "/" +
                                                                          std::to_string(sought.to) + "/" + sought.number);
    Learnt learnt = learnt_of(setting("local")[kListingMember], key);
    // What was learnt up to a failure is kept too: the next call goes on from there.
    auto keep = [&] { save_local_member(kListingMember, learnt_json(key, learnt)); };

    // The invoice the authority holds under the number is the second witness: asked first when the
    // listing is long, and when the interval needs the authority's present time, which its reply carries.
    std::optional<NavFound> holder;
    auto second_witness = [&]() -> const NavFound& {
        if (!holder) holder = nav_invoice_holder(sought);
        return *holder;
    };
    NavSought within = sought;
    if (!sought.clock_known || learnt.next_page > 1) {
        const NavFound& witness = second_witness();
        if (conclusive(witness)) return witness;
        if (!sought.clock_known) {
            if (witness.state == NavFound::State::unreachable || witness.state == NavFound::State::refused)
                return witness;
            if (const std::optional<std::time_t> service_now = nav_report::service_now())
                within = nav_report::narrowed(sought, *service_now);
        }
    }

    const Reading reading{sought, credentials, interval_element(within), is_hungarian};
    const std::optional<NavFound> failure = read_pages(reading, learnt);
    keep();
    if (failure) return *failure;
    if (!learnt.whole) {
        const NavFound& witness = second_witness();
        if (conclusive(witness)) return witness;
        NavFound found = unread(NavFound::Gap::pages);
        found.pages_read = learnt.next_page - 1;
        found.pages_total = learnt.pages;
        return found;
    }
    Unsettled unsettled;
    const std::optional<NavFound> asked_again = ask_open_again(reading, learnt, unsettled);
    keep();
    if (asked_again) return *asked_again;
    return verdict(learnt, unsettled, second_witness);
}
