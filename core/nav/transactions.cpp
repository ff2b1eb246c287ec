// Finding one submission in the tax authority's own records: the technical user's transactions of
// an interval, listed page by page, and the status of each one with the invoice data it carried.
// A submission whose reply was lost is known by its content, never by its invoice number alone.
#include "core/Core.h"
#include "core/nav/xml.h"

#include <charconv>
#include <map>
#include <mutex>
#include <set>

using json11::Json;

namespace {

// A listing longer than this many pages is not a small company's day of invoices: asking on would
// only keep the save waiting.
constexpr int kMaxListPages = 100;

// Transactions known to carry other invoice data than the one looked for, per data digest: their
// content never changes, so they are asked once per run.
std::mutex known_mutex;
std::map<std::string, std::set<std::string>> known_other;

bool known_not_it(const std::string& digest, const std::string& transaction_id) {
    std::lock_guard<std::mutex> lock(known_mutex);
    auto found = known_other.find(digest);
    return found != known_other.end() && found->second.count(transaction_id) != 0;
}

void remember_not_it(const std::string& digest, const std::string& transaction_id) {
    std::lock_guard<std::mutex> lock(known_mutex);
    known_other[digest].insert(transaction_id);
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

// A reply that is no answer: the authority was not reached (empty message), or it refused the
// question (its message).
NavFound no_answer(const std::string& reply) {
    NavFound found;
    if (xml_tag_value(reply, "funcCode") == "ERROR") {
        found.message = xml_tag_value(reply, "message");
        if (found.message.empty()) found.message = xml_tag_value(reply, "errorCode");
        if (found.message.empty()) found.message = "ERROR";
    }
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
    return text;
}

}  // namespace

NavFound Core::nav_find_submission(const std::string& data_digest, std::time_t from, std::time_t to) {
    const Json::object credentials = nav_credentials();
    if (credentials.empty()) {
        NavFound missing;
        missing.message = "credentials";
        return missing;
    }
    const std::string interval = "<insDate><dateTimeFrom>" + utc_text(from, "%Y-%m-%dT%H:%M:%S.000Z") +
                                 "</dateTimeFrom><dateTimeTo>" + utc_text(to, "%Y-%m-%dT%H:%M:%S.000Z") +
                                 "</dateTimeTo></insDate>";
    bool still_unknown = false;  // a transaction that could not yet be told apart
    int pages = 1;
    for (int page = 1; page <= pages && page <= kMaxListPages; ++page) {
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
            if (known_not_it(data_digest, transaction_id)) continue;

            const std::string status =
                nav_request("<transactionId>" + transaction_id +
                                "</transactionId><returnOriginalRequest>true</returnOriginalRequest>",
                            "QueryTransactionStatusRequest", "queryTransactionStatus", credentials)["xml"]
                    .string_value();
            if (xml_tag_value(status, "funcCode") != "OK") return no_answer(status);
            const std::vector<std::string> processing = xml_elements(status, "processingResult");
            if (processing.empty()) {
                still_unknown = true;  // received, its content not yet given out
                continue;
            }
            bool carried = false;
            for (const std::string& result : processing) {
                const std::string original = without_whitespace(xml_tag_value(result, "originalRequest"));
                if (original.empty()) {
                    still_unknown = true;
                    carried = true;
                    continue;
                }
                if (sha3_512_hex(original) != data_digest) continue;
                carried = true;
                NavFound found;
                found.transaction_id = transaction_id;
                const std::string state = xml_tag_value(result, "invoiceStatus");
                if (state == "DONE") {
                    found.state = NavFound::State::done;
                } else if (state == "ABORTED") {
                    found.state = NavFound::State::aborted;
                    found.message = abort_reason(result);
                    if (found.message.empty()) found.message = "ABORTED";
                } else if (state == "RECEIVED" || state == "PROCESSING" || state == "SAVED") {
                    found.state = NavFound::State::processing;
                } else {
                    return no_answer(status);
                }
                return found;
            }
            if (!carried) remember_not_it(data_digest, transaction_id);
        }
    }
    NavFound found;
    found.state = still_unknown ? NavFound::State::processing : NavFound::State::absent;
    return found;
}
