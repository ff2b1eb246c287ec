// An invoice's report to the tax authority and its store write, kept in step. What may reach the
// service is recorded first (here, and in the company's shared cloud record where the account uses
// the cloud), and a report whose answer never came is settled from the service's own records: the
// submission is looked for by its content among the technical user's transactions. A number is
// freed only once the service is known not to hold it, never because time has passed. The
// accounting uploads still owed are kept beside it.
#include "core/store/store_internal.h"
#include "core/nav/xml.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include <unistd.h>

using json11::Json;

namespace {

// Settings rows of this installation alone: synced -1 keeps them out of every upload.
constexpr const char* kPendingRow = store::kPendingReportRow;
constexpr const char* kCashbookRow = store::kCashbookRow;
constexpr const char* kSettledRow = store::kSettledReportsRow;

// The listing's interval reaches this far around the report, for a clock here that differs from
// the service's.
constexpr std::time_t kClockMargin = 300;
// Another installation's clock may differ from this one's by this much.
constexpr std::time_t kPeerClockMargin = 60;
// A request sent just before its process ended may still be on the wire for a moment.
constexpr std::time_t kEndedMargin = 5;
// An installation sends an invoice only within this long of writing its shared record; with the
// request's own time-out, no copy can be on the way after the record's deadline.
constexpr std::time_t kSendWindow = 2 * nav_request_seconds;

bool save_local_row(Core& core, const char* name, const Json& value) {
    return core.save_record({{"recordName", name}, {"value", value.dump()}, {"synced", -1}}, "settings");
}

bool remove_row(Core& core, const char* name) {
    return store::run(core, "DELETE FROM settings WHERE recordName = ?", {Json(name)});
}

// Adds a stored invoice to the accounting uploads owed (inside the caller's transaction).
bool owe_cashbook_upload(Core& core, const std::string& record_name) {
    Json::array owed = core.setting(kCashbookRow).array_items();
    for (const Json& name : owed)
        if (name.string_value() == record_name) return true;
    owed.push_back(record_name);
    return save_local_row(core, kCashbookRow, owed);
}

// The record name stored for a settled report, from the short list of the latest ones.
std::string settled_record(Core& core, const std::string& request_id) {
    const Json settled = core.setting(kSettledRow);
    for (const Json& entry : settled.array_items())
        if (entry["request_id"].string_value() == request_id) return entry["recordName"].string_value();
    return "";
}

// --- who may still be sending --------------------------------------------------------------------

std::string file_text(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::string read = text.str();
    while (!read.empty() && (read.back() == '\n' || read.back() == ' ')) read.pop_back();
    return read;
}

// The start time of a process (clock ticks since boot), which tells it from a later one that reuses
// its id; empty when there is no such process.
std::string process_start(long pid) {
    const std::string stat = file_text("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) return "";
    std::istringstream fields(stat.substr(name_end + 2));
    std::string field;
    // The state is field 3 and the start time field 22.
    for (int number = 3; number <= 22 && fields >> field; ++number)
        if (number == 22) return field;
    return "";
}

std::string boot_id() {
    return file_text("/proc/sys/kernel/random/boot_id");
}

// The reports whose call runs in this process: what they record may be sent at any moment.
std::mutex flight_mutex;
std::set<std::string> in_flight;
// When a report's sender was first seen ended, by request id (a span of real time, whatever the
// clock of the program says).
std::map<std::string, std::chrono::steady_clock::time_point> seen_ended;

struct InFlight {
    std::string request_id;
    explicit InFlight(std::string id) : request_id(std::move(id)) {
        std::lock_guard<std::mutex> lock(flight_mutex);
        in_flight.insert(request_id);
    }
    ~InFlight() {
        std::lock_guard<std::mutex> lock(flight_mutex);
        in_flight.erase(request_id);
    }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
};

// True while the process that recorded the report may still send it: a report call of this process,
// or another process of this computer that is still running.
bool sender_running(const Json& report) {
    {
        std::lock_guard<std::mutex> lock(flight_mutex);
        if (in_flight.count(report["request_id"].string_value())) return true;
    }
    const long pid = static_cast<long>(report["pid"].number_value());
    if (pid <= 0 || pid == static_cast<long>(::getpid())) return false;
    return report["boot"].string_value() == boot_id() && !report["process_start"].string_value().empty() &&
           process_start(pid) == report["process_start"].string_value();
}

// Seconds since the report's sender was first seen ended.
std::time_t ended_for(const std::string& request_id) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(flight_mutex);
    const auto [entry, added] = seen_ended.emplace(request_id, now);
    return std::chrono::duration_cast<std::chrono::seconds>(now - entry->second).count();
}

// This installation's own id, kept in the local row: it tells its shared records from another's.
std::string installation_id(Core& core) {
    const std::string known = core.setting("local")["installation"].string_value();
    if (!known.empty()) return known;
    const std::string made = new_record_name();
    return core.save_local_member("installation", made) ? made : std::string();
}

// --- storing and dropping ------------------------------------------------------------------------

// A document already stored as this transaction's invoice (here, or brought by the sync from the
// installation that reported it).
std::string stored_transaction(Core& core, const std::string& transaction_id) {
    if (transaction_id.empty()) return "";
    const auto rows = store::rows(core, "SELECT recordName FROM documents WHERE type = 'INVOICE' AND nav_transaction_id = ?",
                                  {Json(transaction_id)});
    return rows.empty() ? std::string() : rows.front().at("recordName").string_value();
}

void remember_settled(Core& core, const std::string& request_id, const std::string& record_name) {
    Json::array settled = core.setting(kSettledRow).array_items();
    settled.push_back(Json::object{{"request_id", request_id}, {"recordName", record_name}});
    if (settled.size() > 20) settled.erase(settled.begin(), settled.end() - 20);
    save_local_row(core, kSettledRow, settled);
}

// Stores the reported invoice with its transaction id and removes the local record of its report,
// in one transaction: either both happen or neither. Two threads may settle the same report at once
// (a save and the background query): only the one that still finds the record stores it. An invoice
// already stored under this transaction is not stored a second time.
std::string store_reported(Core& core, const Json& report, const std::string& transaction_id, bool own) {
    const std::string request_id = report["request_id"].string_value();
    Json::object document = report["document"].object_items();
    document["nav_transaction_id"] = transaction_id;
    document.erase("nav_number_formatted");
    store::Transaction transaction(core);
    if (!transaction.active()) return "";
    if (own && core.nav_pending_report()["request_id"].string_value() != request_id) return settled_record(core, request_id);
    std::string record_name = stored_transaction(core, transaction_id);
    if (record_name.empty()) {
        std::vector<Json> lines = report["lines"].array_items();
        record_name = core.save_document(std::move(lines), false, std::move(document));
        if (record_name.empty()) return "";
        if (core.accounting_on() && !owe_cashbook_upload(core, record_name)) return "";
    }
    // The page that sent it learns at its next save that its invoice is stored.
    remember_settled(core, request_id, record_name);
    if (own && !remove_row(core, kPendingRow)) return "";
    return transaction.commit() ? record_name : std::string();
}

// Removes the local record of this very report (a newer one written meanwhile stays) and its shared
// record; true when the local one is gone.
bool drop_report(Core& core, const Json& report) {
    {
        store::Transaction transaction(core);
        if (core.nav_pending_report()["request_id"].string_value() == report["request_id"].string_value() &&
            !(remove_row(core, kPendingRow) && transaction.commit()))
            return false;
    }
    // Left in the cloud when it cannot be reached: any installation removes it once it finds the
    // number was never reported.
    const std::string tag = report["shared_tag"].string_value();
    if (!tag.empty()) core.nav_unshare_report(tag);
    return true;
}

NavSettled waiting_on(const Json& report, NavSettled::Reason reason, std::string message = "") {
    NavSettled settled;
    settled.result = NavSettled::Result::waiting;
    settled.reason = reason;
    settled.message = std::move(message);
    settled.number = report["number_formatted"].string_value();
    settled.request_id = report["request_id"].string_value();
    return settled;
}

// What the service's records say of a report, as a settling result; `can_be_absent` tells whether
// no copy can still be on its way (only then does "not there" mean "never arrived").
NavSettled settle_from_records(Core& core, const Json& report, bool own, bool can_be_absent) {
    const std::time_t now = clock_now();
    // A record of an earlier version of the program holds neither: its time is that of its sending,
    // and the invoice data is made again from its document, as it was then.
    const Json& written_at = report["written"].is_number() ? report["written"] : report["sent"];
    const std::time_t written = static_cast<std::time_t>(written_at.number_value());
    std::string digest = report["data_digest"].string_value();
    if (digest.empty()) {
        std::vector<Json> lines = report["lines"].array_items();
        digest = sha3_512_hex(core.nav_invoice_payload(lines, report["document"].object_items()).data);
    }
    const NavFound found = core.nav_find_submission(digest, written - kClockMargin, now + kClockMargin);
    NavSettled settled = waiting_on(report, NavSettled::Reason::processing);
    settled.elsewhere = !own;
    switch (found.state) {
    case NavFound::State::done:
        // Another installation may have stored it already (it settled this report while this one could
        // not): what the cloud holds comes in first, so that it is not stored twice.
        if (core.nav_shares_reports()) core.sync_start(empty_completion());
        settled.record_name = store_reported(core, report, found.transaction_id, own);
        if (!settled.record_name.empty()) settled.result = NavSettled::Result::stored;
        return settled;
    case NavFound::State::processing:
        return settled;
    case NavFound::State::aborted:
        if (own ? drop_report(core, report) : core.nav_unshare_report(report["shared_tag"].string_value())) {
            settled.result = NavSettled::Result::refused;
            settled.message = found.message;
        }
        return settled;
    case NavFound::State::absent:
        if (!can_be_absent) {
            settled.reason = NavSettled::Reason::sending;
            return settled;
        }
        if (own ? drop_report(core, report) : core.nav_unshare_report(report["shared_tag"].string_value()))
            settled.result = NavSettled::Result::dropped;
        return settled;
    case NavFound::State::no_answer:
        break;
    }
    settled.reason = found.message.empty() ? NavSettled::Reason::unreachable : NavSettled::Reason::question_refused;
    settled.message = found.message;
    return settled;
}

// Settles this installation's own report, recorded in its local row.
NavSettled settle_own(Core& core, const Json& report) {
    if (sender_running(report)) return waiting_on(report, NavSettled::Reason::sending);
    // Never sent: its process ended before the invoice went out, so nothing can be there.
    if (report["sent"].is_null()) {
        NavSettled settled = waiting_on(report, NavSettled::Reason::cloud);
        if (drop_report(core, report)) settled.result = NavSettled::Result::dropped;
        return settled;
    }
    // Sent by this very process, its request has ended: nothing of it is left on the wire.
    const bool this_process = static_cast<long>(report["pid"].number_value()) == static_cast<long>(::getpid()) &&
                              report["process_start"].string_value() == process_start(::getpid());
    if (!this_process && ended_for(report["request_id"].string_value()) < kEndedMargin)
        return waiting_on(report, NavSettled::Reason::sending);
    return settle_from_records(core, report, true, true);
}

// Removes the shared record of a report stored here, once the stored invoice is in the cloud; it is
// uploaded first when it is not there yet.
bool release_stored(Core& core, const std::string& record_name) {
    if (core.nav_release_report(record_name)) return true;
    core.sync_start(empty_completion());
    return core.nav_release_report(record_name);
}

// Settles the company's shared record, whichever installation made it.
NavSettled settle_shared(Core& core) {
    NavSettled settled;
    bool reachable = false;
    const Json shared = core.nav_shared_report(reachable);
    if (!reachable) {
        settled.result = NavSettled::Result::waiting;
        settled.reason = NavSettled::Reason::cloud;
        return settled;
    }
    if (shared.is_null()) return settled;
    Json::object report = shared["report"].object_items();
    report["shared_tag"] = shared["tag"];
    const Json record(report);
    const std::string request_id = record["request_id"].string_value();
    if (record["installation"].string_value() == installation_id(core)) {
        // Ours, and still recorded here: settled from the local record, which knows whether it was sent.
        const Json pending = core.nav_pending_report();
        if (pending["request_id"].string_value() == request_id) return settle_own(core, pending);
        // Ours and settled here already (stored, refused, or never sent): only its removal was left.
        const std::string stored = settled_record(core, request_id);
        if (!stored.empty()) {
            settled = waiting_on(record, NavSettled::Reason::cloud);
            if (release_stored(core, stored)) settled.result = NavSettled::Result::none;
            return settled;
        }
        if (!sender_running(record)) {
            settled = waiting_on(record, NavSettled::Reason::cloud);
            if (core.nav_unshare_report(shared["tag"].string_value())) settled.result = NavSettled::Result::none;
            return settled;
        }
        return waiting_on(record, NavSettled::Reason::sending);
    }
    // Another installation's: what it sent can be on its way until its deadline has passed here too.
    const std::time_t deadline = static_cast<std::time_t>(record["deadline"].number_value());
    const bool can_be_absent = clock_now() > deadline + kPeerClockMargin + kEndedMargin;
    settled = settle_from_records(core, record, false, can_be_absent);
    settled.elsewhere = true;
    // The other installation's invoice is here now; the record goes once it is in the cloud too.
    if (settled.result == NavSettled::Result::stored) release_stored(core, settled.record_name);
    return settled;
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

Json::object Core::nav_credentials() {
    const Json supplier = setting("supplier");
    Json::object out;
    for (const char* name : nav_credential_names) {
        if (supplier[name].string_value().empty()) return {};
        out[name] = supplier[name].string_value();
    }
    out["supplier_identifier_number"] = supplier["identifier_number"].string_value();
    return out;
}

Json Core::nav_pending_report() {
    const Json pending = setting(kPendingRow);
    return pending.is_object() && !pending["request_id"].string_value().empty() ? pending : Json();
}

NavSettled Core::nav_settle_report(bool shared) {
    const Json pending = nav_pending_report();
    const bool cloud = shared && nav_shares_reports();
    if (pending.is_null()) return cloud ? settle_shared(*this) : NavSettled();
    const NavSettled own = settle_own(*this, pending);
    // Settled here: its shared record (or another's) is settled too, so that it blocks no one.
    if (own.result != NavSettled::Result::waiting && cloud) settle_shared(*this);
    return own;
}

bool Core::nav_release_report(const std::string& record_name) {
    if (!nav_shares_reports()) return true;
    const auto rows = store::rows(*this, "SELECT synced FROM documents WHERE recordName = ?", {Json(record_name)});
    // Not yet in the cloud: another installation must not number its next invoice before it has this one.
    if (rows.empty() || rows.front().at("synced").number_value() == 0) return false;
    bool reachable = false;
    const Json shared = nav_shared_report(reachable);
    if (!reachable) return false;
    if (shared.is_null()) return true;
    // Only the record of this invoice's report goes.
    const std::string request_id = shared["report"]["request_id"].string_value();
    if (settled_record(*this, request_id) != record_name) return true;
    return nav_unshare_report(shared["tag"].string_value());
}

NavReport Core::nav_report_invoice(std::vector<Json> lines, Json::object document) {
    NavReport report;
    const NavSettled earlier = nav_settle_report();
    if (earlier.result == NavSettled::Result::waiting) {
        report.result = NavReport::Result::waiting;
        report.pending = earlier;
        return report;
    }

    // What would be sent, checked before anything is recorded: invalid data never leaves.
    document.erase("nav_number_formatted");
    document.erase("request_signature_extra");
    const NavPayload payload = nav_invoice_payload(lines, document);
    if (current_account != "DEMO" && payload.data.empty()) {
        report.result = NavReport::Result::refused;
        report.message = payload.error;
        return report;
    }

    // The record of the report under way, written before anything is sent.
    const std::string request_id = nav_new_request_id();
    std::optional<InFlight> flight(std::in_place, request_id);
    const std::time_t written = clock_now();
    Json::object record{{"request_id", request_id},
                        {"number_formatted", Json(document)["number_formatted"].string_value()},
                        {"written", static_cast<double>(written)},
                        {"deadline", static_cast<double>(written + kSendWindow + nav_request_seconds)},
                        {"data_digest", sha3_512_hex(payload.data)},
                        {"installation", installation_id(*this)},
                        {"pid", static_cast<double>(::getpid())},
                        {"process_start", process_start(::getpid())},
                        {"boot", boot_id()},
                        {"document", document},
                        {"lines", lines}};
    if (!save_local_row(*this, kPendingRow, record)) {
        report.message = "store";
        return report;
    }

    // Shared with the company's other installations before anything is sent: only one reports at a time.
    if (nav_shares_reports()) {
        std::string tag;
        std::string reason;
        const SharedWrite shared = nav_share_report(Json(record), tag, reason);
        if (shared != SharedWrite::written) {
            drop_report(*this, Json(record));
            if (shared == SharedWrite::unreachable) {
                report.result = NavReport::Result::cloud;
                report.message = reason;
                return report;
            }
            // Another installation's report stands (or one of this one whose removal was left): settled
            // here if its outcome is known, else waited for; settled, the number is taken again.
            const NavSettled theirs = nav_settle_report(true);
            if (theirs.result == NavSettled::Result::waiting) {
                report.result = NavReport::Result::waiting;
                report.pending = theirs;
                report.pending.elsewhere = true;
                return report;
            }
            report.result = NavReport::Result::renumber;
            return report;
        }
        record["shared_tag"] = tag;
        // What the other installations stored up to the moment this one took the record comes in
        // now: an invoice of the same number means the number is no longer free.
        fetch_zone_changes(sync_zone_entry(), empty_completion());
        const std::string number = Json(document)["number_formatted"].string_value();
        const auto taken = store::rows(*this,
                                       "SELECT 1 FROM documents WHERE type = 'INVOICE' AND number_formatted = ? "
                                       "AND recordName <> ?",
                                       {Json(number), Json(Json(document)["recordName"].string_value())});
        if (!taken.empty() || !save_local_row(*this, kPendingRow, record)) {
            drop_report(*this, Json(record));
            report.result = taken.empty() ? NavReport::Result::failed : NavReport::Result::renumber;
            return report;
        }
    }

    // Sent only within the window the shared record promises, and only once this installation has
    // recorded that it is sending.
    auto before_send = [this, &record]() {
        if (clock_now() + nav_request_seconds > static_cast<std::time_t>(Json(record)["deadline"].number_value()))
            return false;
        record["sent"] = static_cast<double>(clock_now());
        return save_local_row(*this, kPendingRow, record);
    };
    const NavSubmission sent = nav_submit_invoice(lines, document, request_id, before_send, &payload);
    flight.reset();
    switch (sent.outcome) {
    case NavSubmission::Outcome::accepted:
        report.record_name = store_reported(*this, Json(record), sent.text, true);
        // The record stays when the write failed: the next settling stores the invoice.
        report.result = report.record_name.empty() ? NavReport::Result::failed : NavReport::Result::stored;
        return report;
    case NavSubmission::Outcome::refused:
    case NavSubmission::Outcome::not_sent:
        drop_report(*this, Json(record));
        report.result = sent.outcome == NavSubmission::Outcome::refused ? NavReport::Result::refused
                                                                         : NavReport::Result::not_sent;
        report.message = sent.text;
        return report;
    case NavSubmission::Outcome::unknown:
        break;
    }

    // No answer: the service's records tell, once nothing can still be on its way; asked while the
    // service answers and is processing it, for as long as the save may wait.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(nav_settle_seconds());
    NavSettled now;
    while (true) {
        now = nav_settle_report();
        switch (now.result) {
        case NavSettled::Result::stored:
            report.result = NavReport::Result::stored;
            report.record_name = now.record_name;
            return report;
        case NavSettled::Result::none:
            // Settled meanwhile by another thread (the background query).
            report.record_name = nav_settled_record(request_id);
            report.result = report.record_name.empty() ? NavReport::Result::not_sent : NavReport::Result::stored;
            report.message = sent.text;
            return report;
        case NavSettled::Result::dropped:
            report.result = NavReport::Result::not_sent;
            report.message = sent.text;
            return report;
        case NavSettled::Result::refused:
            report.result = NavReport::Result::refused;
            report.message = now.message;
            return report;
        case NavSettled::Result::waiting:
            break;
        }
        const bool may_change = now.reason == NavSettled::Reason::sending || now.reason == NavSettled::Reason::processing;
        if (!may_change || std::chrono::steady_clock::now() >= until) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    report.result = NavReport::Result::waiting;
    report.pending = now;
    report.sent_now = true;
    return report;
}

std::string Core::nav_settled_record(const std::string& request_id) {
    return request_id.empty() ? std::string() : settled_record(*this, request_id);
}
