// Finding one submission in the tax authority's own records: the technical user's transactions of
// an interval, listed page by page, and each one identified by the invoice data it carried. A
// submission is "not there" only when every page was read and every transaction told apart; what
// could not be read is never taken as proof of anything.
#include "core/Core.h"
#include "core/nav/xml.h"

#include <charconv>
#include <map>
#include <mutex>

using json11::Json;

namespace {

// A listing longer than this many pages is not read to its end: what it holds beyond stays unknown.
constexpr int kMaxListPages = 100;

// One invoice of a transaction as the authority gives it back.
struct Carried {
    std::string status;        // invoiceStatus
    std::string message;       // the validation messages of an aborted one
    std::string number;        // empty when the content could not be read
    std::string data_digest;   // of the Base64 data as sent
    std::string content_digest;
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

// A reply that is no answer: the authority was not reached, or it refused the question (its
// message).
NavFound no_answer(const std::string& reply) {
    NavFound found;
    if (xml_tag_value(reply, "funcCode") == "ERROR") {
        found.state = NavFound::State::refused;
        found.message = xml_tag_value(reply, "message");
        if (found.message.empty()) found.message = xml_tag_value(reply, "errorCode");
        if (found.message.empty()) found.message = "ERROR";
    }
    return found;
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
    return true;
}

std::string known_key(const Json::object& credentials, const std::string& transaction_id, const std::string& received) {
    return endpoint_config().nav_url + "\n" + credentials.at("nav_user_id").string_value() + "\n" +
           credentials.at("supplier_identifier_number").string_value() + "\n" + transaction_id + "\n" + received;
}

// Asks the authority what one transaction carried, with its original request. `received`, its
// time of receipt as listed, lets a finished one be remembered; without it, it is always asked.
bool identify(const Json::object& credentials, const std::string& transaction_id, const std::string& received,
              Identified& out, NavFound& failure) {
    const std::string key = known_key(credentials, transaction_id, received);
    if (!received.empty() && known_transaction(key, out)) return true;
    const std::string status =
        nav_request("<transactionId>" + xml_escaped(transaction_id) +
                        "</transactionId><returnOriginalRequest>true</returnOriginalRequest>",
                    "QueryTransactionStatusRequest", "queryTransactionStatus", credentials)["xml"]
            .string_value();
    if (xml_tag_value(status, "funcCode") != "OK") {
        failure = no_answer(status);
        return false;
    }
    Identified identified;
    identified.finished = true;
    for (const std::string& result : xml_elements(status, "processingResult")) {
        Carried carried;
        carried.status = xml_tag_value(result, "invoiceStatus");
        if (!finished_status(carried.status) && !open_status(carried.status)) {
            failure = no_answer(status);
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

bool is_ours(const Core::NavSought& sought, const Carried& carried) {
    return carried.data_digest == sought.data_digest ||
           (!sought.content_digest.empty() && carried.content_digest == sought.content_digest);
}

bool not_unique(const Carried& carried) {
    return carried.message.find("INVOICE_NUMBER_NOT_UNIQUE") != std::string::npos;
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

NavFound Core::nav_invoice_holder(const NavSought& sought) {
    const Json::object credentials = nav_credentials(sought.tax_number);
    if (credentials.empty()) return found_as(NavFound::State::no_credentials);
    const std::string reply =
        nav_request("<invoiceNumberQuery><invoiceNumber>" + xml_escaped(sought.number) +
                        "</invoiceNumber><invoiceDirection>OUTBOUND</invoiceDirection></invoiceNumberQuery>",
                    "QueryInvoiceDataRequest", "queryInvoiceData", credentials)["xml"]
            .string_value();
    if (xml_tag_value(reply, "funcCode") != "OK") return no_answer(reply);
    const std::vector<std::string> results = xml_elements(reply, "invoiceDataResult");
    if (results.empty()) return found_as(NavFound::State::absent);
    const std::string transaction_id = xml_tag_value(results.front(), "transactionId");
    Carried carried;
    if (!is_nav_transaction_id(transaction_id) || !read_content(xml_tag_value(results.front(), "invoiceData"), carried))
        return unread(NavFound::Gap::content);
    return found_as(is_ours(sought, carried) ? NavFound::State::done : NavFound::State::taken, transaction_id);
}

NavFound Core::nav_transaction_outcome(const NavSought& sought, const std::string& transaction_id) {
    const Json::object credentials = nav_credentials(sought.tax_number);
    if (credentials.empty()) return found_as(NavFound::State::no_credentials);
    Identified identified;
    NavFound failure;
    if (!identify(credentials, transaction_id, "", identified, failure)) return failure;
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

NavFound Core::nav_find_submission(const NavSought& sought) {
    const Json::object credentials = nav_credentials(sought.tax_number);
    if (credentials.empty()) return found_as(NavFound::State::no_credentials);
    const std::string interval = "<insDate><dateTimeFrom>" + utc_text(sought.from, "%Y-%m-%dT%H:%M:%S.000Z") +
                                 "</dateTimeFrom><dateTimeTo>" + utc_text(sought.to, "%Y-%m-%dT%H:%M:%S.000Z") +
                                 "</dateTimeTo></insDate>";
    std::string done_id, open_id, aborted_id, aborted_message;
    bool duplicate = false;   // ours, refused because the number was held
    bool taken = false;       // another invoice data holds the number
    bool contested = false;   // another invoice data of the number is still being processed
    bool unread_open = false; // a transaction not told apart yet that may still change
    bool unread_done = false; // a finished transaction whose content could not be read
    int pages = 1;
    for (int page = 1; page <= pages; ++page) {
        if (page > kMaxListPages) return unread(NavFound::Gap::pages);
        const std::string listing =
            nav_request("<page>" + std::to_string(page) + "</page>" + interval, "QueryTransactionListRequest",
                        "queryTransactionList", credentials)["xml"]
                .string_value();
        const std::vector<std::string> results = xml_elements(listing, "transactionListResult");
        if (xml_tag_value(listing, "funcCode") != "OK" || results.size() != 1) return no_answer(listing);
        pages = number_in(xml_tag_value(results.front(), "availablePage"));
        if (pages < 0) return no_answer(listing);

        for (const std::string& transaction : xml_elements(results.front(), "transaction")) {
            const std::string transaction_id = xml_tag_value(transaction, "transactionId");
            if (!is_nav_transaction_id(transaction_id)) return no_answer(listing);
            const std::string request_status = xml_tag_value(transaction, "requestStatus");
            const bool listed_finished = request_status == "FINISHED" || request_status == "NOTIFIED";
            // An annulment carries no invoice data; whether it touched this number is asked below.
            if (xml_tag_value(transaction, "technicalAnnulment") == "true") {
                (listed_finished ? unread_done : unread_open) = true;
                continue;
            }
            Identified identified;
            NavFound failure;
            const std::string received = xml_tag_value(transaction, "insDate");
            if (!identify(credentials, transaction_id, received, identified, failure)) return failure;
            if (!identified.readable) {
                (identified.finished || listed_finished ? unread_done : unread_open) = true;
                if (identified.invoices.empty()) continue;
            }
            for (const Carried& carried : identified.invoices) {
                if (carried.number.empty()) {
                    (finished_status(carried.status) ? unread_done : unread_open) = true;
                } else if (is_ours(sought, carried)) {
                    if (carried.status == "DONE") done_id = transaction_id;
                    else if (open_status(carried.status)) open_id = transaction_id;
                    else if (not_unique(carried)) duplicate = true;
                    else aborted_id = transaction_id, aborted_message = carried.message;
                } else if (carried.number == sought.number) {
                    if (carried.status == "DONE") taken = true;
                    else if (open_status(carried.status)) contested = true;
                }
            }
        }
    }
    if (!done_id.empty()) return found_as(NavFound::State::done, done_id);
    if (!open_id.empty()) return found_as(NavFound::State::processing, open_id);
    if (contested) return found_as(NavFound::State::contested);
    if (taken) return found_as(NavFound::State::taken);
    if (unread_open) return found_as(NavFound::State::contested);
    if (!aborted_id.empty() && !duplicate && !unread_done)
        return found_as(NavFound::State::aborted, aborted_id, aborted_message);
    if (duplicate || unread_done) {
        // The invoice the authority holds under the number is the second witness.
        NavFound holder = nav_invoice_holder(sought);
        if (holder.state != NavFound::State::absent) return holder;
        if (duplicate) return unread(NavFound::Gap::content);
        if (!aborted_id.empty()) return found_as(NavFound::State::aborted, aborted_id, aborted_message);
    }
    return found_as(NavFound::State::absent);
}
