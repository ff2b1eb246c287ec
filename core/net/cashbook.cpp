// Handing a saved invoice, its PDF embedded, to the accounting service's document pool, the invoices
// still owed to it (settings row "cashbook_pending", never uploaded), and the company's mark of each
// upload in the cloud, which says who sends it, by when, and once the service took it.
#include "core/nav/report_internal.h"
#include "core/store/store_internal.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>

using json11::Json;

std::string Core::cashbook_upload(std::vector<Json> lines, Json::object document, std::string token,
                                  std::string pdf_path) {
    // The sample company has no invoice data to hand over (only the fixed DEMO answer).
    if (current_account == "DEMO") return "";
    const std::string xml = nav_invoice_data_xml(std::move(lines), std::move(document), file_base64(pdf_path));

    // A line break in the stored token would start a header line of its own.
    std::erase_if(token, [](char c) { return c == '\r' || c == '\n'; });
    std::string base = endpoint_config().cashbook_url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    // Bounded: the upload's mark promises it done within its moment.
    const Json reply = http_request(base + "/api/v3/document/pool/osa", Json(Json::object{{"xml", xml}}),
                                    "Authorization: Bearer " + token + "\nX-Request-ID: Tavrin",
                                    cashbook_request_seconds());
    return reply["xml"].string_value();
}

std::vector<std::string> Core::cashbook_pending() {
    std::vector<std::string> names;
    const Json owed = setting(store::kCashbookRow);
    for (const Json& name : owed.array_items())
        if (!name.string_value().empty()) names.push_back(name.string_value());
    return names;
}

void Core::cashbook_uploaded(const std::string& record_name) {
    store::Transaction transaction(*this);
    Json::array owed = setting(store::kCashbookRow).array_items();
    std::erase_if(owed, [&record_name](const Json& name) { return name.string_value() == record_name; });
    const bool written =
        owed.empty() ? store::run(*this, "DELETE FROM settings WHERE recordName = ?", {store::kCashbookRow})
                     : save_record({{"recordName", store::kCashbookRow}, {"value", Json(owed).dump()}, {"synced", -1}},
                                   "settings");
    if (written) transaction.commit();
}

namespace {

constexpr const char* kMarkType = "AccountingUpload";
// Uploads the service took whose mark could not yet be written as done: the mark's name and its tag.
constexpr const char* kAcceptedRow = store::kCashbookAcceptedRow;

std::string mark_name(const std::string& record_name) {
    return "cashbook_upload_" + record_name;
}

// The cloud's reply to one request on the mark of an invoice's upload (null when none came).
Json mark_request(Core& core, const char* endpoint, Json request) {
    Json reply;
    core.cloudkit_request(endpoint, std::move(request), [&reply](Json answer) { reply = std::move(answer); });
    return reply["records"][0];
}

Json zone_of(Core& core) {
    return Json::object{{"zoneName", core.current_account.get()}};
}

// Writes the mark: made where none stands (no tag), otherwise only while it still has `tag`, so that
// of two installations that take it over at once only one wins. Its new tag, empty when refused or
// unanswered; `refusal` tells a refusal (the mark stands, or changed since) from no answer.
std::string write_mark(Core& core, const std::string& mark, const std::string& tag, const Json::object& data,
                       bool& refusal) {
    Json::object record{{"recordType", kMarkType},
                        {"recordName", mark},
                        {"fields", Json::object{{"data", Json::object{{"value", Json(data).dump()}}}}}};
    if (!tag.empty()) record["recordChangeTag"] = tag;
    const Json written = mark_request(
        core, "records/modify",
        Json::object{{"operations", Json::array{Json::object{{"operationType", tag.empty() ? "create" : "update"},
                                                             {"record", record}}}},
                     {"zoneID", zone_of(core)}});
    // Standing where it was to be made; changed or gone where it was to be written over.
    refusal = is_standing_record_refusal(written) || written["serverErrorCode"].string_value() == "NOT_FOUND";
    if (written["recordName"].string_value() != mark || !written["serverErrorCode"].string_value().empty())
        return "";
    return written["recordChangeTag"].string_value();
}

// This installation sends the upload now: done by the moment it names, on its own clock; the length
// of that window is what another installation counts on its own.
Json::object sending_data(const std::string& sender) {
    const std::time_t now = clock_now();
    return Json::object{{"sender", sender},
                        {"written", static_cast<double>(now)},
                        {"until", static_cast<double>(now + Core::cashbook_mark_seconds())}};
}

// When this run first saw each mark as it stands (its name and tag), on the boot clock: a mark is no
// younger than that, whatever the two computers' clocks say.
std::mutex seen_mutex;
std::map<std::string, double> first_seen;

double first_seen_at(const std::string& mark, const std::string& tag) {
    std::lock_guard<std::mutex> lock(seen_mutex);
    if (first_seen.size() > 200) first_seen.clear();
    return first_seen.emplace(mark + "/" + tag, nav_report::boot_seconds()).first->second;
}

// What a standing mark says of its upload.
enum class Standing {
    done,      // the service took it
    sending,   // another installation sends it, within its moment
    free,      // this installation's own, or of a sender past its moment: whoever owes it takes it
};

struct StandingMark {
    Standing standing = Standing::free;
    double wait_seconds = 0;  // sending: until its moment has passed here
};

StandingMark standing_of(const Json& data, const std::string& sender, const std::string& mark, const std::string& tag) {
    StandingMark seen;
    if (data["done"].bool_value()) {
        seen.standing = Standing::done;
        return seen;
    }
    if (data["sender"].string_value() == sender) return seen;
    // An earlier version's mark names no moment and never says done: it lives as long as a mark of
    // ours, so that an upload its sender did not live to send is not lost.
    const bool names_moment = data["until"].is_number() && data["written"].is_number();
    const double lifetime = names_moment
                                ? std::max(0.0, data["until"].number_value() - data["written"].number_value())
                                : static_cast<double>(Core::cashbook_mark_seconds());
    const double left = first_seen_at(mark, tag) + lifetime - nav_report::boot_seconds();
    if (left > 0) {
        seen.standing = Standing::sending;
        seen.wait_seconds = left;
    }
    return seen;
}

bool save_accepted(Core& core, const Json::array& accepted) {
    return accepted.empty() ? store::run(core, "DELETE FROM settings WHERE recordName = ?", {kAcceptedRow})
                            : nav_report::save_local_row(core, kAcceptedRow, accepted);
}

}  // namespace

long Core::cashbook_request_seconds() {
    const char* given = std::getenv("TAVRIN_CASHBOOK_REQUEST_SECONDS");
    const long seconds = given && *given ? std::atol(given) : 0;
    return seconds >= 1 && seconds <= 600 ? seconds : 120;
}

std::time_t Core::cashbook_mark_seconds() {
    // The request's own limit, and as long again for the service's acceptance to be written in the mark.
    return 2 * cashbook_request_seconds();
}

Core::UploadTurn Core::cashbook_mark_upload(const std::string& record_name) {
    UploadTurn turn;
    // Without the company's cloud there is no other installation to ask.
    if (!nav_shares_reports()) {
        turn.mark = UploadMark::send;
        return turn;
    }
    const std::string mark = mark_name(record_name);
    const std::string sender = nav_report::installation_id(*this);
    if (sender.empty()) return turn;
    bool refusal = false;
    turn.change_tag = write_mark(*this, mark, "", sending_data(sender), refusal);
    if (!turn.change_tag.empty()) {
        turn.mark = UploadMark::send;
        return turn;
    }
    if (!refusal) return turn;
    const Json standing = mark_request(
        *this, "records/lookup",
        Json::object{{"records", Json::array{Json::object{{"recordName", mark}}}}, {"zoneID", zone_of(*this)}});
    const std::string tag = standing["recordChangeTag"].string_value();
    if (standing["recordName"].string_value() != mark || !standing["serverErrorCode"].string_value().empty() ||
        tag.empty())
        return turn;
    const StandingMark seen = standing_of(Json::parse(standing["fields"]["data"]["value"].string_value()), sender, mark, tag);
    switch (seen.standing) {
        case Standing::done:
            cashbook_uploaded(record_name);
            turn.mark = UploadMark::done;
            return turn;
        case Standing::sending:
            turn.mark = UploadMark::wait;
            turn.wait_seconds = seen.wait_seconds;
            return turn;
        case Standing::free:
            break;
    }
    // Taken over (or renewed) only while it stands as read: a taker that came first has changed it.
    turn.change_tag = write_mark(*this, mark, tag, sending_data(sender), refusal);
    if (!turn.change_tag.empty()) {
        turn.mark = UploadMark::send;
    } else if (refusal) {
        turn.mark = UploadMark::wait;
        turn.wait_seconds = 1;
    }
    return turn;
}

void Core::cashbook_upload_accepted(const std::string& record_name, const std::string& change_tag) {
    {
        // First here: whatever becomes of the mark, this installation never sends it again.
        store::Transaction transaction(*this);
        Json::array accepted = setting(kAcceptedRow).array_items();
        if (!change_tag.empty())
            accepted.push_back(Json::object{{"mark", mark_name(record_name)}, {"tag", change_tag}});
        if (!transaction.active() || !save_accepted(*this, accepted)) return;
        cashbook_uploaded(record_name);
        transaction.commit();
    }
    cashbook_finish_marks();
}

void Core::cashbook_finish_marks() {
    if (!nav_shares_reports()) return;
    const Json::array accepted = setting(kAcceptedRow).array_items();
    if (accepted.empty()) return;
    Json::array unwritten;
    const std::string sender = nav_report::installation_id(*this);
    for (const Json& entry : accepted) {
        bool refusal = false;
        const Json::object data{{"sender", sender}, {"done", true}};
        // A refusal means it changed since: another has taken it over, and its mark is its own.
        if (write_mark(*this, entry["mark"].string_value(), entry["tag"].string_value(), data, refusal).empty() &&
            !refusal)
            unwritten.push_back(entry);
    }
    // Entries added meanwhile stay; the ones written (or refused) go.
    store::Transaction transaction(*this);
    Json::array now = setting(kAcceptedRow).array_items();
    std::erase_if(now, [&](const Json& entry) {
        return std::find(accepted.begin(), accepted.end(), entry) != accepted.end() &&
               std::find(unwritten.begin(), unwritten.end(), entry) == unwritten.end();
    });
    if (transaction.active() && save_accepted(*this, now)) transaction.commit();
}

bool Core::cashbook_accepted(const std::string& reply) {
    const Json receipt = Json::parse(reply);
    return receipt.is_object() && !receipt["id"].is_null();
}

bool Core::cashbook_claim(const std::string& record_name) {
    // Under the store's lock: the owed list cannot change between the look and the claim.
    std::lock_guard<std::recursive_mutex> lock(store_mutex);
    const std::vector<std::string> owed = cashbook_pending();
    if (cashbook_claims.count(record_name) || std::find(owed.begin(), owed.end(), record_name) == owed.end()) return false;
    cashbook_claims.insert(record_name);
    return true;
}

void Core::cashbook_release(const std::string& record_name) {
    std::lock_guard<std::recursive_mutex> lock(store_mutex);
    cashbook_claims.erase(record_name);
}

bool Core::accounting_on() {
    const Json accounting = setting("defaults")["accounting"];
    return current_account != "DEMO" && accounting.is_string() && accounting.string_value().size() > 16;
}
