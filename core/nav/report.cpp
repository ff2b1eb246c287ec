// An invoice's report to the tax authority and its store write, kept in step: what may have reached
// the service is recorded here first, and a report whose answer never came is settled by asking the
// service, never guessed. The accounting uploads still owed are kept beside it.
#include "core/store/store_internal.h"
#include "core/nav/xml.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

using json11::Json;

namespace {

// Settings rows of this installation alone: synced -1 keeps them out of every upload.
constexpr const char* kPendingRow = "nav_pending";
constexpr const char* kCashbookRow = "cashbook_pending";

bool save_local_row(Core& core, const char* name, const Json& value) {
    return core.save_record({{"recordName", name}, {"value", value.dump()}, {"synced", -1}}, "settings");
}

bool remove_row(Core& core, const char* name) {
    return store::run(core, "DELETE FROM settings WHERE recordName = ?", {Json(name)});
}

const char* const kCredentialNames[] = {"nav_user_id", "nav_user_pwd", "nav_xml_alairokulcs", "nav_xml_cserekulcs"};

// The supplier's credentials as a request's credentials object; empty when one is missing.
Json::object credentials(Core& core) {
    const Json supplier = core.setting("supplier");
    Json::object out;
    for (const char* name : kCredentialNames) {
        if (supplier[name].string_value().empty()) return {};
        out[name] = supplier[name].string_value();
    }
    out["supplier_identifier_number"] = supplier["identifier_number"].string_value();
    return out;
}

// Adds a stored invoice to the accounting uploads owed (inside the caller's transaction).
bool owe_cashbook_upload(Core& core, const std::string& record_name) {
    Json::array owed = core.setting(kCashbookRow).array_items();
    for (const Json& name : owed)
        if (name.string_value() == record_name) return true;
    owed.push_back(record_name);
    return save_local_row(core, kCashbookRow, owed);
}

bool accounting_on(Core& core) {
    const Json accounting = core.setting("defaults")["accounting"];
    return core.current_account != "DEMO" && accounting.is_string() && accounting.string_value().size() > 16;
}

constexpr const char* kSettledRow = "nav_settled";

// The record name stored for a settled report, from the short list of the latest ones.
std::string settled_record(Core& core, const std::string& request_id) {
    const Json settled = core.setting(kSettledRow);
    for (const Json& entry : settled.array_items())
        if (entry["request_id"].string_value() == request_id) return entry["recordName"].string_value();
    return "";
}

// Stores the reported invoice with its transaction id and removes the record of its report, in one
// transaction: either both happen or neither. Two threads may settle the same report at once (a
// save and the background status query): only the one that still finds the record stores it.
std::string store_reported(Core& core, std::vector<Json> lines, Json::object document, const std::string& transaction_id,
                           const std::string& request_id) {
    document["nav_transaction_id"] = transaction_id;
    document.erase("nav_number_formatted");
    store::Transaction transaction(core);
    if (!transaction.active()) return "";
    if (core.nav_pending_report()["request_id"].string_value() != request_id) return settled_record(core, request_id);
    const std::string record_name = core.save_document(std::move(lines), false, std::move(document));
    if (record_name.empty()) return "";
    if (accounting_on(core) && !owe_cashbook_upload(core, record_name)) return "";
    // The page that sent it learns at its next save that its invoice is stored.
    Json::array settled = core.setting(kSettledRow).array_items();
    settled.push_back(Json::object{{"request_id", request_id}, {"recordName", record_name}});
    if (settled.size() > 20) settled.erase(settled.begin(), settled.end() - 20);
    if (!save_local_row(core, kSettledRow, settled) || !remove_row(core, kPendingRow)) return "";
    return transaction.commit() ? record_name : std::string();
}

}  // namespace

int Core::nav_settle_seconds() {
    const char* given = std::getenv("TAVRIN_NAV_SETTLE_SECONDS");
    if (given && *given) {
        const int seconds = std::atoi(given);
        if (seconds >= 0) return seconds;
    }
    return 45;
}

Json Core::nav_pending_report() {
    const Json pending = setting(kPendingRow);
    return pending.is_object() && !pending["request_id"].string_value().empty() ? pending : Json();
}

NavSettled Core::nav_settle_report() {
    NavSettled settled;
    const Json pending = nav_pending_report();
    if (pending.is_null()) return settled;
    settled.number = pending["number_formatted"].string_value();
    settled.request_id = pending["request_id"].string_value();
    settled.result = NavSettled::Result::waiting;
    const Json::object asking = credentials(*this);
    if (asking.empty() || settled.number.empty()) return settled;

    const std::string body = "<invoiceNumberQuery><invoiceNumber>" + xml_escaped(settled.number) +
                             "</invoiceNumber><invoiceDirection>OUTBOUND</invoiceDirection></invoiceNumberQuery>";
    const std::string check =
        nav_request(body, "QueryInvoiceCheckRequest", "queryInvoiceCheck", asking)["xml"].string_value();
    if (xml_tag_value(check, "funcCode") != "OK") return settled;  // not reached, or refused the question
    settled.answered = true;
    const std::string exists = xml_tag_value(check, "invoiceCheckResult");
    if (exists == "true") {
        const std::string data =
            nav_request(body, "QueryInvoiceDataRequest", "queryInvoiceData", asking)["xml"].string_value();
        const std::string transaction_id = xml_tag_value(data, "transactionId");
        Json::object document = pending["document"].object_items();
        if (transaction_id.empty()) {
            // Held as a valid invoice, yet with no transaction to follow: stored as processed, so that
            // the number is never left blocking the next one.
            if (data.find("invoiceDataResult>") == std::string::npos) return settled;
            document["nav_status"] = "DONE";
        }
        std::vector<Json> lines = pending["lines"].array_items();
        settled.record_name =
            store_reported(*this, std::move(lines), std::move(document), transaction_id, settled.request_id);
        if (!settled.record_name.empty()) settled.result = NavSettled::Result::stored;
        return settled;
    }
    if (exists != "false") return settled;
    // A submission is processed after its answer: until then the number is not known there yet.
    const std::time_t sent = static_cast<std::time_t>(pending["sent"].number_value());
    // Whole seconds: the wait has passed only once a full second more has begun.
    if (clock_now() - sent <= nav_settle_seconds()) return settled;
    // Only the record of this very report goes; a newer one written meanwhile stays.
    store::Transaction transaction(*this);
    if (nav_pending_report()["request_id"].string_value() == settled.request_id && remove_row(*this, kPendingRow) &&
        transaction.commit())
        settled.result = NavSettled::Result::dropped;
    return settled;
}

NavReport Core::nav_report_invoice(std::vector<Json> lines, Json::object document) {
    NavReport report;
    const NavSettled earlier = nav_settle_report();
    if (earlier.result == NavSettled::Result::waiting) {
        report.result = NavReport::Result::waiting;
        report.pending_number = earlier.number;
        report.pending_request_id = earlier.request_id;
        return report;
    }

    // The record of the report under way, written before anything is sent.
    const std::string request_id = nav_new_request_id();
    document.erase("nav_number_formatted");
    document.erase("request_signature_extra");
    if (!save_local_row(*this, kPendingRow,
                        Json::object{{"request_id", request_id},
                                     {"number_formatted", Json(document)["number_formatted"].string_value()},
                                     {"sent", static_cast<double>(clock_now())},
                                     {"document", document},
                                     {"lines", lines}})) {
        report.message = "store";
        return report;
    }

    const NavSubmission sent = nav_submit_invoice(lines, document, request_id);
    switch (sent.outcome) {
    case NavSubmission::Outcome::accepted:
        report.record_name = store_reported(*this, std::move(lines), std::move(document), sent.text, request_id);
        // The record stays when the write failed: the next settling stores the invoice.
        report.result = report.record_name.empty() ? NavReport::Result::failed : NavReport::Result::stored;
        return report;
    case NavSubmission::Outcome::refused:
    case NavSubmission::Outcome::not_sent:
        remove_row(*this, kPendingRow);
        report.result = sent.outcome == NavSubmission::Outcome::refused ? NavReport::Result::refused
                                                                         : NavReport::Result::not_sent;
        report.message = sent.text;
        return report;
    case NavSubmission::Outcome::unknown:
        break;
    }

    // No answer: ask until the service knows the invoice, as long as it answers and the submission
    // may still be processing.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(nav_settle_seconds());
    while (true) {
        const NavSettled now = nav_settle_report();
        if (now.result == NavSettled::Result::stored) {
            report.result = NavReport::Result::stored;
            report.record_name = now.record_name;
            return report;
        }
        if (now.result == NavSettled::Result::none) {
            // Settled meanwhile by another thread (the background status query).
            report.record_name = nav_settled_record(request_id);
            report.result = report.record_name.empty() ? NavReport::Result::not_sent : NavReport::Result::stored;
            report.message = sent.text;
            return report;
        }
        if (now.result == NavSettled::Result::dropped) {
            report.result = NavReport::Result::not_sent;
            report.message = sent.text;
            return report;
        }
        if (std::chrono::steady_clock::now() >= until) break;
        // Unreachable again: the next start, save or visit of the invoice list asks once more.
        if (!now.answered) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    report.result = NavReport::Result::waiting;
    report.pending_number = Json(document)["number_formatted"].string_value();
    report.pending_request_id = request_id;
    report.sent_now = true;
    return report;
}

std::string Core::nav_settled_record(const std::string& request_id) {
    return request_id.empty() ? std::string() : settled_record(*this, request_id);
}
