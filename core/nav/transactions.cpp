// Finding one submission in the tax authority's own records: the technical user's transactions of
// an interval, listed page by page, and each one identified by the invoice data it carried. A
// submission is "not there" only when every page was read and every transaction told apart; what
// could not be read is never taken as proof of anything. A long listing is read over several calls,
// each going on where the last one stopped.
#include "core/Core.h"
#include "core/nav/report_internal.h"
#include "core/nav/xml.h"
#include "core/store/store_internal.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

using json11::Json;

namespace {

using Clock = std::chrono::steady_clock;

// One call reads at most this many pages of a listing, and starts no request once this long has
// passed and it has learnt something new: a save or the background query is answered promptly, and
// the next call goes on. A request started keeps its own time limit, so that a slow authority is
// waited for and its answer used. Its pages are asked this far apart at least.
constexpr int kPagesPerCall = 20;
constexpr auto kTimePerCall = std::chrono::seconds(5);
constexpr auto kPagePace = std::chrono::milliseconds(50);
// How far the listing of a report has been read, in the local settings row; the transactions its
// pages gave are in a table of their own, so that a long listing is not read and written whole at
// every call.
constexpr const char* kListingMember = "nav_listing";
constexpr const char* kSeenTable =
    "CREATE TABLE IF NOT EXISTS nav_listing_seen (listing VARCHAR, transactionId VARCHAR, "
    "PRIMARY KEY (listing, transactionId)) WITHOUT ROWID";

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

// One call of the settling: it starts requests until `until`, and after it until it has learnt
// something new (a transaction told apart, a page read through), so that every call goes on from
// where the last one stopped however slowly the authority answers.
struct Bound {
    Clock::time_point until = Clock::now() + kTimePerCall;
    bool progressed = false;

    bool may_ask() const { return !progressed || Clock::now() < until; }
};

// A reply of the authority: its text and HTTP status, and whether the call's time ran out before it
// was asked (then nothing was sent).
struct Reply {
    std::string xml;
    long status = 0;
    bool out_of_time = false;
    // A whole reply whose own result says funcCode OK: only such a reply tells anything.
    bool answered = false;
};

// A reply that is no answer: the authority was not reached (nothing came back), it said it is
// briefly unavailable (503 without a reply of its own), it refused the question (its message), or it
// answered something that cannot be read (a reply cut short or out of form): a failure of the
// authority, never taken as absence nor as an authority out of reach.
NavFound no_answer(const Reply& reply, bool hungarian) {
    NavFound found;
    const bool its_own = !xml_tag_value(reply.xml, "funcCode").empty();
    if (reply.status == 503 && !its_own) {
        found.state = NavFound::State::unavailable;
        return found;
    }
    if (reply.xml.empty()) return found;
    found.state = NavFound::State::refused;
    if (xml_tag_value(reply.xml, "funcCode") == "ERROR") {
        found.message = xml_tag_value(reply.xml, "message");
        if (found.message.empty()) found.message = xml_tag_value(reply.xml, "errorCode");
        if (found.message.empty()) found.message = "ERROR";
        return found;
    }
    std::fprintf(stderr, "Tavrin: a reply of the tax authority was refused (cut short or malformed)\n");
    found.message = told(hungarian, "A NAV válasza nem olvasható (csonka vagy hibás).",
                         "The authority's reply cannot be read (cut short or malformed).");
    return found;
}

// One request to the authority within its own time limit, unless the call's time is up; the time its
// reply carries tells this computer's offset to its clock.
Reply asked(const std::string& body, const char* request_element, const char* operation,
            const Json::object& credentials, const Bound& bound) {
    Reply reply;
    if (!bound.may_ask()) {
        reply.out_of_time = true;
        return reply;
    }
    const Json answer = nav_request(body, request_element, operation, credentials);
    reply.xml = answer["xml"].string_value();
    reply.status = static_cast<long>(answer["status"].number_value());
    reply.answered = XmlReply(reply.xml).ok();
    nav_report::note_service_time(nav_reply_time(reply.xml));
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

// How asking what one transaction carried ended.
enum class Asking { answered, failed, out_of_time };

// Asks the authority what one transaction carried, with its original request. `received`, its
// time of receipt as listed, lets a finished one be remembered; without it, it is always asked.
Asking identify(const Json::object& credentials, const std::string& transaction_id, const std::string& received,
                bool hungarian, Bound& bound, Identified& out, NavFound& failure) {
    const std::string key = known_key(credentials, transaction_id, received);
    if (!received.empty() && known_transaction(key, out)) return Asking::answered;
    const Reply reply = asked("<transactionId>" + xml_escaped(transaction_id) +
                                  "</transactionId><returnOriginalRequest>true</returnOriginalRequest>",
                              "QueryTransactionStatusRequest", "queryTransactionStatus", credentials, bound);
    if (reply.out_of_time) return Asking::out_of_time;
    const std::string& status = reply.xml;
    if (!reply.answered) {
        failure = no_answer(reply, hungarian);
        return Asking::failed;
    }
    bound.progressed = true;
    Identified identified;
    identified.finished = true;
    for (const std::string& result : xml_elements(status, "processingResult")) {
        Carried carried;
        carried.status = xml_tag_value(result, "invoiceStatus");
        if (!finished_status(carried.status) && !open_status(carried.status)) {
            failure = no_answer(reply, hungarian);
            return Asking::failed;
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
    return Asking::answered;
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

// An interval of receipt on the authority's clock (UTC seconds, both ends included).
struct Interval {
    std::time_t from = 0;
    std::time_t to = 0;
};

// What the listing of one report has told so far. Finished transactions never change, so what they
// told holds whatever interval listed them; one not finished when it was read is asked again before
// anything is concluded. The listing is read an interval at a time: pages are counted only within the
// interval listed, and once it is read whole, what the report still needs beyond it is listed next.
struct Learnt {
    std::string done_id;          // ours, processed
    std::string aborted_id;       // ours, refused on processing
    std::string aborted_message;
    bool duplicate = false;       // ours, refused because the number was held
    bool taken = false;           // another invoice data holds the number
    bool unread_done = false;     // a finished transaction whose content could not be read
    // Transactions not finished when read, and whether each is of this technical user.
    std::map<std::string, bool> open;
    // Read whole before the interval under way, which begins or ends where it does.
    std::optional<Interval> covered;
    // The interval listed now, the transactions its pages gave and the most one page gave.
    std::optional<Interval> listed;
    // The transactions its pages gave: how many the store holds, and those seen since it was written
    // (the store's are forgotten when `seen_cleared`).
    long seen_kept = 0;
    std::set<std::string> seen_new;
    bool seen_cleared = false;
    int page_size = 0;
    int next_page = 1;            // the last page read is read again: it may have grown
    int pages = 0;                // as the listing last said
    bool whole = false;           // every page of the interval listed has been read
};

// What a call learns of transactions that may still change (asked again at each call's end).
struct Unsettled {
    std::string open_id;      // ours, still being processed
    bool contested = false;   // another invoice data of the number is still being processed
    bool unread_open = false; // a transaction not told apart yet that may still change
};

Json interval_json(const std::optional<Interval>& interval) {
    if (!interval) return Json();
    return Json::array{static_cast<double>(interval->from), static_cast<double>(interval->to)};
}

std::optional<Interval> interval_of(const Json& kept) {
    if (kept.array_items().size() != 2) return std::nullopt;
    return Interval{static_cast<std::time_t>(kept[0].number_value()), static_cast<std::time_t>(kept[1].number_value())};
}

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
                        {"covered", interval_json(learnt.covered)},
                        {"listed", interval_json(learnt.listed)},
                        {"page_size", learnt.page_size},
                        {"next_page", learnt.next_page},
                        {"pages", learnt.pages},
                        {"whole", learnt.whole}};
}

// How many transactions the store holds as seen by the listing of `key`.
long seen_count(Core& core, const std::string& key) {
    const auto rows = store::rows(core, "SELECT COUNT(*) AS seen FROM nav_listing_seen WHERE listing = ?", {Json(key)});
    return rows.empty() ? 0 : static_cast<long>(rows.front().at("seen").number_value());
}

// Notes a transaction a page of the listing gave.
void note_seen(Core& core, const std::string& key, Learnt& learnt, const std::string& transaction_id) {
    if (learnt.seen_new.count(transaction_id)) return;
    if (!learnt.seen_cleared &&
        !store::rows(core, "SELECT 1 FROM nav_listing_seen WHERE listing = ? AND transactionId = ?",
                     {Json(key), Json(transaction_id)})
             .empty())
        return;
    learnt.seen_new.insert(transaction_id);
}

long seen_total(const Learnt& learnt) {
    return learnt.seen_kept + static_cast<long>(learnt.seen_new.size());
}

// Writes what the listing has learnt, its seen transactions in the same transaction; the seen ones
// of another report's listing go.
bool keep_learnt(Core& core, const std::string& key, Learnt& learnt) {
    store::Transaction transaction(core);
    if (!transaction.active()) return false;
    if (learnt.seen_cleared && !store::run(core, "DELETE FROM nav_listing_seen WHERE listing = ?", {Json(key)}))
        return false;
    if (!store::run(core, "DELETE FROM nav_listing_seen WHERE listing <> ?", {Json(key)})) return false;
    for (const std::string& transaction_id : learnt.seen_new)
        if (!store::run(core, "INSERT OR IGNORE INTO nav_listing_seen (listing, transactionId) VALUES (?, ?)",
                        {Json(key), Json(transaction_id)}))
            return false;
    if (!core.save_local_member(kListingMember, learnt_json(key, learnt)) || !transaction.commit()) return false;
    learnt.seen_kept = seen_total(learnt);
    learnt.seen_new.clear();
    learnt.seen_cleared = false;
    return true;
}

// Kept only for the listing of this very report: another report starts afresh. The seen
// transactions an earlier version kept in the row itself are taken over into the table.
Learnt learnt_of(Core& core, const Json& kept, const std::string& key) {
    Learnt learnt;
    // Nothing seen yet, whatever the table holds from a listing begun before.
    learnt.seen_cleared = kept["key"].string_value() != key;
    if (learnt.seen_cleared) return learnt;
    learnt.done_id = kept["done_id"].string_value();
    learnt.aborted_id = kept["aborted_id"].string_value();
    learnt.aborted_message = kept["aborted_message"].string_value();
    learnt.duplicate = kept["duplicate"].bool_value();
    learnt.taken = kept["taken"].bool_value();
    learnt.unread_done = kept["unread_done"].bool_value();
    for (const auto& [id, by_our_user] : kept["open"].object_items()) learnt.open[id] = by_our_user.bool_value();
    learnt.covered = interval_of(kept["covered"]);
    learnt.listed = interval_of(kept["listed"]);
    learnt.seen_kept = seen_count(core, key);
    for (const Json& id : kept["seen"].array_items()) note_seen(core, key, learnt, id.string_value());
    learnt.page_size = std::max(0, kept["page_size"].int_value());
    learnt.next_page = std::max(1, kept["next_page"].int_value());
    learnt.pages = std::max(0, kept["pages"].int_value());
    learnt.whole = kept["whole"].bool_value();
    return learnt;
}

// Lists `interval` from its first page.
void list_anew(Learnt& learnt, const Interval& interval) {
    learnt.listed = interval;
    learnt.seen_kept = 0;
    learnt.seen_new.clear();
    learnt.seen_cleared = true;
    learnt.page_size = 0;
    learnt.next_page = 1;
    learnt.pages = 0;
    learnt.whole = false;
}

// Both read whole, the one after the other.
Interval joined(const std::optional<Interval>& covered, const Interval& listed) {
    if (!covered) return listed;
    return Interval{std::min(covered->from, listed.from), std::max(covered->to, listed.to)};
}

// Chooses the interval this call lists for the report, which needs `needed`: the one under way until
// it is read whole; then what is still needed beyond what has been read whole (before it, then after
// it); where nothing is, the last one again, to see what came in since. An interval that does not
// meet what was read whole starts the listing over.
void plan_listing(Learnt& learnt, const Interval& needed) {
    if (!learnt.listed) {
        learnt.covered.reset();
        list_anew(learnt, needed);
        return;
    }
    const bool meets = !(needed.to < learnt.listed->from || needed.from > learnt.listed->to);
    if (!learnt.whole && meets) return;
    const Interval read = joined(learnt.covered, *learnt.listed);
    if (!meets || needed.to < read.from || needed.from > read.to) {
        learnt.covered.reset();
        list_anew(learnt, needed);
    } else if (needed.from < read.from) {
        learnt.covered = read;
        list_anew(learnt, Interval{needed.from, read.from});
    } else if (needed.to > read.to) {
        learnt.covered = read;
        list_anew(learnt, Interval{read.to, needed.to});
    }
}

// Every transaction the interval holds has been read whole: its last page read, and as many
// transactions seen as its pages hold (all but the last are full). A transaction that moved to a page
// read before is missing from that count: the interval is read again from its first page.
bool read_whole(Learnt& learnt, int last_page_count) {
    const long expected = static_cast<long>(learnt.pages - 1) * learnt.page_size + last_page_count;
    if (learnt.pages <= 0 || seen_total(learnt) >= expected) return true;
    learnt.next_page = 1;
    return false;
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

namespace {

// The invoice the authority holds under the number, asked within the call's bound.
NavFound invoice_holder(const Json::object& credentials, const Core::NavSought& sought, bool hungarian,
                        const Bound& bound) {
    const Reply reply =
        asked("<invoiceNumberQuery><invoiceNumber>" + xml_escaped(sought.number) +
                  "</invoiceNumber><invoiceDirection>OUTBOUND</invoiceDirection></invoiceNumberQuery>",
              "QueryInvoiceDataRequest", "queryInvoiceData", credentials, bound);
    // A reply cut short after its result holds no invoice either: it is a failure, never an absence.
    if (!reply.answered) return no_answer(reply, hungarian);
    const std::vector<std::string> results = xml_elements(reply.xml, "invoiceDataResult");
    if (results.empty()) return found_as(NavFound::State::absent);
    const std::string transaction_id = xml_tag_value(results.front(), "transactionId");
    Carried carried;
    if (!is_nav_transaction_id(transaction_id) || !read_content(xml_tag_value(results.front(), "invoiceData"), carried))
        return unread(NavFound::Gap::content);
    const bool by_our_user = xml_tag_value(results.front(), "insCusUser") == credentials.at("nav_user_id").string_value();
    return found_as(is_ours(sought, carried, by_our_user) ? NavFound::State::done : NavFound::State::taken,
                    transaction_id);
}

}  // namespace

NavFound Core::nav_invoice_holder(const NavSought& sought) {
    const Json::object credentials = nav_credentials(sought.tax_number);
    if (credentials.empty()) return found_as(NavFound::State::no_credentials);
    return invoice_holder(credentials, sought, is_hungarian, Bound());
}

NavFound Core::nav_transaction_outcome(const NavSought& sought, const std::string& transaction_id) {
    const Json::object credentials = nav_credentials(sought.tax_number);
    if (credentials.empty()) return found_as(NavFound::State::no_credentials);
    Bound bound;
    Identified identified;
    NavFound failure;
    switch (identify(credentials, transaction_id, "", is_hungarian, bound, identified, failure)) {
    case Asking::answered:
        break;
    case Asking::failed:
        return failure;
    case Asking::out_of_time:
        // Not asked in this call: it stands as it was.
        return found_as(NavFound::State::processing, transaction_id);
    }
    if (identified.invoices.empty()) return found_as(NavFound::State::processing, transaction_id);
    const Carried& carried = identified.invoices.front();
    if (carried.status == "DONE") return found_as(NavFound::State::done, transaction_id);
    // A duplicate number: the invoice that holds it tells whether it is this very invoice data (an
    // earlier copy of it arrived) or another one.
    if (carried.status == "ABORTED" && not_unique(carried)) {
        // The same question's second half, asked whatever the call's time.
        NavFound holder = invoice_holder(credentials, sought, is_hungarian, Bound());
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
std::string interval_element(const Interval& within) {
    return "<insDate><dateTimeFrom>" + utc_text(within.from, "%Y-%m-%dT%H:%M:%S.000Z") + "</dateTimeFrom><dateTimeTo>" +
           utc_text(within.to, "%Y-%m-%dT%H:%M:%S.000Z") + "</dateTimeTo></insDate>";
}

// What one call of the listing reads with.
struct Reading {
    Core& core;
    const std::string& key;  // of the listing
    const Core::NavSought& sought;
    const Json::object& credentials;
    bool hungarian = false;
    Bound bound;
};

enum class PageRead { read, out_of_time };

// Takes in the transactions of one listed page, each identified by what it carried, until the call's
// time is up. A failure of the authority, when there was one.
std::optional<NavFound> take_in_page(Reading& reading, const Reply& listing,
                                     const std::vector<std::string>& transactions, Learnt& learnt, PageRead& read) {
    read = PageRead::read;
    for (const std::string& transaction : transactions) {
        const std::string transaction_id = xml_tag_value(transaction, "transactionId");
        if (!is_nav_transaction_id(transaction_id)) return no_answer(listing, reading.hungarian);
        const std::string request_status = xml_tag_value(transaction, "requestStatus");
        const bool listed_finished = request_status == "FINISHED" || request_status == "NOTIFIED";
        // An annulment carries no invoice data; whether it touched this number is asked at the end.
        if (xml_tag_value(transaction, "technicalAnnulment") == "true") {
            if (listed_finished) learnt.unread_done = true;
            else learnt.open[transaction_id] = true;
            note_seen(reading.core, reading.key, learnt, transaction_id);
            continue;
        }
        Identified identified;
        NavFound failure;
        const Asking asking = identify(reading.credentials, transaction_id, xml_tag_value(transaction, "insDate"),
                                       reading.hungarian, reading.bound, identified, failure);
        if (asking == Asking::out_of_time) {
            read = PageRead::out_of_time;
            return std::nullopt;
        }
        if (asking == Asking::failed) return failure;
        const std::string& user = xml_tag_value(transaction, "insCusUser");
        const bool by_our_user = user.empty() || user == reading.credentials.at("nav_user_id").string_value();
        take_in(reading.sought, transaction_id, identified, listed_finished, by_our_user, learnt, nullptr);
        note_seen(reading.core, reading.key, learnt, transaction_id);
    }
    return std::nullopt;
}

// Waits the pace between two pages, within the call's time.
void pace(const Bound& bound) {
    const Clock::time_point next = std::min(Clock::now() + kPagePace, bound.until);
    std::this_thread::sleep_until(next);
}

// Reads the interval listed from where the last call stopped, a bounded number of pages within the
// call's time; a page cut off by the time is read again by the next call, which finds its finished
// transactions known already. A failure of the authority, when there was one.
std::optional<NavFound> read_pages(Reading& reading, Learnt& learnt, int& pages_left) {
    const std::string interval = interval_element(*learnt.listed);
    while (pages_left > 0) {
        if (pages_left < kPagesPerCall) pace(reading.bound);
        --pages_left;
        const int page = learnt.next_page;
        learnt.whole = false;
        const Reply listing = asked("<page>" + std::to_string(page) + "</page>" + interval,
                                    "QueryTransactionListRequest", "queryTransactionList", reading.credentials,
                                    reading.bound);
        if (listing.out_of_time) break;
        const std::vector<std::string> results = xml_elements(listing.xml, "transactionListResult");
        if (!listing.answered || results.size() != 1)
            return no_answer(listing, reading.hungarian);
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
        if (std::optional<NavFound> failure = take_in_page(reading, listing, transactions, learnt, page_read))
            return failure;
        learnt.pages = pages;
        if (page_read == PageRead::out_of_time) break;
        reading.bound.progressed = true;
        learnt.page_size = std::max(learnt.page_size, static_cast<int>(transactions.size()));
        if (page >= pages) {
            learnt.whole = read_whole(learnt, static_cast<int>(transactions.size()));
            if (learnt.whole) break;
        } else {
            learnt.next_page = page + 1;
        }
    }
    return std::nullopt;
}

// Once the listing is read whole, what may still change is asked as it stands now, within the call's
// time. A failure of the authority, when there was one; false in `in_time` when the time ran out first.
std::optional<NavFound> ask_open_again(Reading& reading, Learnt& learnt, Unsettled& unsettled, bool& in_time) {
    in_time = true;
    for (const auto& [transaction_id, by_our_user] : std::map<std::string, bool>(learnt.open)) {
        Identified identified;
        NavFound failure;
        const Asking asking =
            identify(reading.credentials, transaction_id, "", reading.hungarian, reading.bound, identified, failure);
        if (asking == Asking::out_of_time) {
            in_time = false;
            return std::nullopt;
        }
        if (asking == Asking::failed) return failure;
        take_in(reading.sought, transaction_id, identified, false, by_our_user, learnt, &unsettled);
    }
    return std::nullopt;
}

// What a listing read whole says; the invoice held under the number tells a transaction that could
// not be told apart.
NavFound verdict(const Learnt& learnt, const Unsettled& unsettled, const NavFound& holder) {
    if (!learnt.done_id.empty()) return found_as(NavFound::State::done, learnt.done_id);
    if (!unsettled.open_id.empty()) return found_as(NavFound::State::processing, unsettled.open_id);
    if (unsettled.contested) return found_as(NavFound::State::contested);
    if (learnt.taken) return found_as(NavFound::State::taken);
    if (unsettled.unread_open) return found_as(NavFound::State::contested);
    if (!learnt.aborted_id.empty() && !learnt.duplicate && !learnt.unread_done)
        return found_as(NavFound::State::aborted, learnt.aborted_id, learnt.aborted_message);
    if (learnt.duplicate || learnt.unread_done) {
        if (holder.state != NavFound::State::absent) return holder;
        if (learnt.duplicate) return unread(NavFound::Gap::content);
        if (!learnt.aborted_id.empty()) return found_as(NavFound::State::aborted, learnt.aborted_id, learnt.aborted_message);
    }
    return found_as(NavFound::State::absent);
}

NavFound listing_unread(const Learnt& learnt) {
    NavFound found = unread(NavFound::Gap::pages);
    found.pages_read = learnt.whole ? learnt.pages : learnt.next_page - 1;
    found.pages_total = learnt.pages;
    return found;
}

}  // namespace

NavFound Core::nav_find_submission(const NavSought& sought) {
    const Json::object credentials = nav_credentials(sought.tax_number);
    if (credentials.empty()) return found_as(NavFound::State::no_credentials);
    std::lock_guard<std::mutex> reading_one(listing_mutex);
    const std::string key = known_key(credentials, sought.request_id, sought.number);
    Reading reading{*this, key, sought, credentials, is_hungarian, Bound()};
    store::run(*this, kSeenTable);
    Learnt learnt = learnt_of(*this, setting("local")[kListingMember], key);
    // What was learnt up to a failure is kept too: the next call goes on from there.
    auto keep = [&] { keep_learnt(*this, key, learnt); };

    // The invoice the authority holds under the number is asked first: it settles a processed one at
    // once, and its reply carries the authority's present time, which the interval may need.
    const NavFound holder = invoice_holder(credentials, sought, is_hungarian, reading.bound);
    if (conclusive(holder)) return holder;
    if (holder.state == NavFound::State::unavailable) return holder;
    NavSought within = sought;
    if (!sought.clock_known) {
        if (holder.state == NavFound::State::unreachable || holder.state == NavFound::State::refused) return holder;
        if (const std::optional<std::time_t> service_now = nav_report::service_now())
            within = nav_report::narrowed(sought, *service_now);
    }
    const Interval needed{within.from, within.to};
    // What is needed beyond an interval read whole is listed next, within the same call's pages.
    auto covers = [&] {
        const Interval read = joined(learnt.covered, *learnt.listed);
        return learnt.whole && read.from <= needed.from && read.to >= needed.to;
    };
    int pages_left = kPagesPerCall;
    do {
        plan_listing(learnt, needed);
        const std::optional<NavFound> failure = read_pages(reading, learnt, pages_left);
        keep();
        if (failure) return *failure;
    } while (learnt.whole && !covers() && pages_left > 0);
    if (!covers()) return listing_unread(learnt);
    Unsettled unsettled;
    bool in_time = true;
    const std::optional<NavFound> asked_again = ask_open_again(reading, learnt, unsettled, in_time);
    keep();
    if (asked_again) return *asked_again;
    if (!in_time) return listing_unread(learnt);
    return verdict(learnt, unsettled, holder);
}
