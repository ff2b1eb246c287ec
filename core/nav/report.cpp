// An invoice's report to the tax authority and its store write, kept in step. What may reach the
// service is recorded first (here, and in the company's shared cloud record where the account uses
// the cloud), and a report whose answer never came is settled from the service's own records: the
// submission is looked for by its content among the technical user's transactions. A number is
// freed only once the service is known not to hold it, never because time has passed. The
// accounting uploads still owed are kept beside it.
#include "core/store/store_internal.h"
#include "core/nav/xml.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <fstream>
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

// The listing's interval reaches this far around the report on the authority's clock, once the
// difference of the two clocks is known; while it is not, as far as the authority's own tolerance of
// request timestamps (a day) reaches.
constexpr std::time_t kClockMargin = 300;
constexpr std::time_t kServiceTolerance = 86400;
// Another installation's clock may differ from this one's by this much.
constexpr std::time_t kPeerClockMargin = 60;
// Taken numbers kept, newest last.
constexpr std::size_t kTakenKept = 50;

// A front that has taken a request in may still register it for a while after the request's own
// limit ran out.
long arrival_margin() {
    return std::max(2L, nav_request_seconds() / 4);
}

// An installation sends an invoice only within this long of writing its shared record; with the
// request's own time-out, no copy can be on the way after the record's deadline.
std::time_t send_window() {
    return 2 * nav_request_seconds();
}

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


// Real time since this computer started, suspended time included: it runs on whatever the clock says,
// and every process of this boot reads the same.
double boot_seconds() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The reports whose call runs in this process: what they record may be sent at any moment.
std::mutex flight_mutex;
std::set<std::string> in_flight;

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

// The record was written on this computer: not on another one, nor on one whose data folder was
// copied here. Only then can its process be looked at.
bool this_computer(const Json& report) {
    const std::string machine = nav_machine_id();
    return !machine.empty() && report["machine"].string_value() == machine;
}

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

// No copy of what this computer sent can still be on its way: the request's own limit and the margin
// for a late registration have passed in real time since it went out. A boot since then counts as
// at least the time this one has run.
bool nothing_on_the_way(const Json& report) {
    const std::string boot = boot_id();
    const std::string sent_in = report["boot"].string_value();
    if (!report["sent_boot"].is_number() || !this_computer(report) || boot.empty() || sent_in.empty()) return false;
    const double now = boot_seconds();
    const double since = sent_in == boot ? now - report["sent_boot"].number_value() : now;
    return since >= static_cast<double>(nav_request_seconds() + arrival_margin());
}

std::time_t time_of(const Json& value) {
    return static_cast<std::time_t>(value.number_value());
}

// When the record was written; a record of an earlier version has only the time of its sending.
std::time_t written_of(const Json& report) {
    return time_of(report["written"].is_number() ? report["written"] : report["sent"]);
}

std::time_t deadline_of(const Json& report) {
    if (report["deadline"].is_number()) return time_of(report["deadline"]);
    return written_of(report) + send_window() + nav_request_seconds();
}

// From when, on this computer's clock, nothing of another computer's record can be on its way.
std::time_t free_from(const Json& report) {
    return deadline_of(report) + kPeerClockMargin + arrival_margin();
}

// This installation's own id, kept in the local row: it tells its shared records from another's.
std::string installation_id(Core& core) {
    const std::string known = core.setting("local")["installation"].string_value();
    if (!known.empty()) return known;
    const std::string made = new_record_name();
    return core.save_local_member("installation", made) ? made : std::string();
}

// --- what is looked for ----------------------------------------------------------------------------

// The invoice data of a report, on the authority's clock: from when it was recorded to the latest
// moment a copy of it could arrive.
Core::NavSought sought_of(Core& core, const Json& report) {
    Core::NavSought sought;
    sought.data_digest = report["data_digest"].string_value();
    sought.content_digest = report["content_digest"].string_value();
    if (sought.data_digest.empty()) {
        // A record of an earlier version: its invoice data made again from its document, as it was then.
        std::vector<Json> lines = report["lines"].array_items();
        const std::string data = core.nav_invoice_payload(lines, report["document"].object_items()).data;
        std::string decoded = data;
        decoded.resize(base64_decode(decoded.size(), decoded.data()));
        sought.data_digest = sha3_512_hex(data);
        sought.content_digest = nav_content_digest(decoded);
    }
    sought.number = report["number_formatted"].string_value();
    sought.tax_number = report["tax_number"].string_value();
    const bool offset_known = report["service_offset"].is_number();
    const std::time_t offset = time_of(report["service_offset"]);
    const std::time_t margin = offset_known ? kClockMargin : kServiceTolerance + kClockMargin;
    const std::time_t last = report["sent"].is_number() ? time_of(report["sent"]) + nav_request_seconds() + arrival_margin()
                                                        : deadline_of(report) + arrival_margin();
    sought.from = written_of(report) + offset - margin;
    sought.to = std::max(last, written_of(report)) + offset + margin;
    return sought;
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

// Stores the reported invoice with its transaction id and, for this installation's local record,
// removes the record in the same transaction: either both happen or neither. Two threads may settle
// the same report at once (a save and the background query): only the one that still finds the
// record stores it. An invoice already stored under this transaction is not stored a second time.
// Its accounting upload belongs to the installation that reported it.
std::string store_reported(Core& core, const Json& report, const std::string& transaction_id, bool local) {
    const std::string request_id = report["request_id"].string_value();
    Json::object document = report["document"].object_items();
    document["nav_transaction_id"] = transaction_id;
    document.erase("nav_number_formatted");
    store::Transaction transaction(core);
    if (!transaction.active()) return "";
    if (local && core.nav_pending_report()["request_id"].string_value() != request_id) return settled_record(core, request_id);
    std::string record_name = stored_transaction(core, transaction_id);
    if (record_name.empty()) {
        std::vector<Json> lines = report["lines"].array_items();
        record_name = core.save_document(std::move(lines), false, std::move(document));
        if (record_name.empty()) return "";
        if (local && core.accounting_on() && !owe_cashbook_upload(core, record_name)) return "";
    }
    // The page that sent it learns at its next save that its invoice is stored.
    remember_settled(core, request_id, record_name);
    if (local && !remove_row(core, kPendingRow)) return "";
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

// A record goes with its report: the local one with its shared one, another's shared one alone.
bool drop(Core& core, const Json& report, bool local) {
    return local ? drop_report(core, report) : core.nav_unshare_report(report["shared_tag"].string_value());
}

// The number of an invoice the authority holds with other content: never reported again from here.
bool remember_taken(Core& core, const Json& report) {
    const Json& document = report["document"];
    Json::array taken = core.setting("local")["nav_taken"].array_items();
    taken.push_back(Json::object{{"type", document["type"].string_value()},
                                 {"year", document["issue_date"].string_value().substr(0, 4)},
                                 {"number", document["number"].number_value()},
                                 {"number_formatted", report["number_formatted"].string_value()}});
    if (taken.size() > kTakenKept) taken.erase(taken.begin(), taken.end() - kTakenKept);
    return core.save_local_member("nav_taken", taken);
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

// Acts on what the authority's records say of a report. `local`: the record is this installation's
// local row. `can_be_absent`: no copy can still be on its way, so "not there" means it never
// arrived. `may_store`: its reporter can no longer be storing it.
NavSettled act_on(Core& core, const Json& report, const NavFound& found, bool local, bool can_be_absent,
                  bool may_store) {
    NavSettled settled = waiting_on(report, NavSettled::Reason::processing);
    switch (found.state) {
    case NavFound::State::done:
        if (!may_store) {
            settled.reason = NavSettled::Reason::storing;
            return settled;
        }
        // Another installation may have stored it already: what the cloud holds comes in first, so
        // that it is not stored twice.
        if (core.nav_shares_reports()) core.sync_start(empty_completion());
        settled.record_name = store_reported(core, report, found.transaction_id, local);
        if (settled.record_name.empty()) settled.reason = NavSettled::Reason::store;
        else settled.result = NavSettled::Result::stored;
        return settled;
    case NavFound::State::processing:
        return settled;
    case NavFound::State::aborted:
        if (drop(core, report, local)) {
            settled.result = NavSettled::Result::refused;
            settled.message = found.message;
        }
        return settled;
    case NavFound::State::taken:
        if (remember_taken(core, report) && drop(core, report, local)) settled.result = NavSettled::Result::taken;
        return settled;
    case NavFound::State::absent:
        if (!can_be_absent) {
            settled.reason = NavSettled::Reason::sending;
            return settled;
        }
        if (drop(core, report, local)) settled.result = NavSettled::Result::dropped;
        return settled;
    case NavFound::State::unread:
        settled.reason = NavSettled::Reason::unread;
        settled.message = found.message;
        return settled;
    case NavFound::State::no_answer:
        break;
    }
    settled.reason = found.message.empty() ? NavSettled::Reason::unreachable : NavSettled::Reason::question_refused;
    settled.message = found.message;
    return settled;
}

// What the authority holds of a report: its own transaction when the reply named it, else the
// technical user's transactions of its interval.
NavFound look_up(Core& core, const Json& report) {
    const Core::NavSought sought = sought_of(core, report);
    const std::string transaction_id = report["transaction_id"].string_value();
    return transaction_id.empty() ? core.nav_find_submission(sought) : core.nav_transaction_outcome(sought, transaction_id);
}

// Settles the report recorded in this installation's local row.
NavSettled settle_local(Core& core, const Json& report) {
    const bool here = this_computer(report);
    if (here && sender_running(report)) return waiting_on(report, NavSettled::Reason::sending);
    // Never sent from this computer: its process ended before the invoice went out.
    if (here && report["sent"].is_null()) {
            NavSettled settled = waiting_on(report, NavSettled::Reason::cloud);
        if (drop_report(core, report)) settled.result = NavSettled::Result::dropped;
        return settled;
    }
    // A record copied from another computer is that computer's: it may still be sending and storing it.
    const bool past = clock_now() > free_from(report);
    const bool can_be_absent = here ? nothing_on_the_way(report) : past;
    NavSettled settled = act_on(core, report, look_up(core, report), true, can_be_absent, here || past);
    // It is the other computer's report: the user reads when it was recorded and from when this one
    // settles it.
    if (!here) {
        settled.elsewhere = true;
        settled.written = written_of(report);
        settled.deadline = free_from(report);
    }
    return settled;
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
    if (shared["unreadable"].bool_value()) {
        settled.result = NavSettled::Result::waiting;
        settled.reason = NavSettled::Reason::cloud;
        settled.message = "unreadable";
        return settled;
    }
    Json::object report = shared["report"].object_items();
    report["shared_tag"] = shared["tag"];
    const Json record(report);
    const std::string request_id = record["request_id"].string_value();
    if (record["installation"].string_value() == installation_id(core) && this_computer(record)) {
        // Ours, and still recorded here: settled from the local record, which knows whether it was sent.
        const Json pending = core.nav_pending_report();
        if (pending["request_id"].string_value() == request_id) return settle_local(core, pending);
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
    // Another installation's (or a copy's): what it sent can be on its way, and it may be storing it,
    // until its deadline has passed here too.
    const bool past = clock_now() > free_from(record);
    settled = act_on(core, record, look_up(core, record), false, past, past);
    settled.elsewhere = true;
    settled.written = written_of(record);
    settled.deadline = free_from(record);
    // The other installation's invoice is here now; the record goes once it is in the cloud too.
    if (settled.result == NavSettled::Result::stored) release_stored(core, settled.record_name);
    return settled;
}

// True when another invoice is stored here under this document's number.
bool number_stored(Core& core, const Json& document) {
    return !store::rows(core,
                        "SELECT 1 FROM documents WHERE type = 'INVOICE' AND number_formatted = ? AND recordName <> ?",
                        {document["number_formatted"], Json(document["recordName"].string_value())})
                .empty();
}

// True when the authority holds another invoice under this document's number.
bool number_taken(Core& core, const Json& document) {
    const Json local = core.setting("local");
    for (const Json& taken : local["nav_taken"].array_items())
        if (taken["type"] == document["type"] && taken["number_formatted"] == document["number_formatted"]) return true;
    return false;
}

}  // namespace

std::string nav_machine_id() {
    std::string id = file_text("/etc/machine-id");
    if (id.empty()) id = file_text("/var/lib/dbus/machine-id");
    // Without one, the host's name for as long as it runs: a record of before a restart is then
    // settled as another computer's, which is slower but never wrong.
    if (id.empty()) {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        id = std::string("host:") + host + "/" + boot_id();
    }
    return id;
}

int Core::nav_settle_seconds() {
    const char* given = std::getenv("TAVRIN_NAV_SETTLE_SECONDS");
    if (given && *given) {
        const int seconds = std::atoi(given);
        if (seconds >= 0) return seconds;
    }
    return 45;
}

Json::object Core::nav_credentials(const std::string& tax_number) {
    const Json supplier = setting("supplier");
    Json::object out;
    for (const char* name : nav_credential_names) {
        if (supplier[name].string_value().empty()) return {};
        out[name] = supplier[name].string_value();
    }
    // A report is asked after under the tax number it was sent under, whatever the settings say now.
    out["supplier_identifier_number"] = tax_number.empty() ? supplier["identifier_number"].string_value() : tax_number;
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
    const NavSettled own = settle_local(*this, pending);
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
    if (shared.is_null() || shared["unreadable"].bool_value()) return true;
    // Only the record of this invoice's report goes.
    const std::string request_id = shared["report"]["request_id"].string_value();
    if (settled_record(*this, request_id) != record_name) return true;
    return nav_unshare_report(shared["tag"].string_value());
}

namespace {

NavReport report_of(NavReport::Result result, std::string message = "") {
    NavReport report;
    report.result = result;
    report.message = std::move(message);
    return report;
}

NavReport waiting_report(const NavSettled& pending) {
    NavReport report = report_of(NavReport::Result::waiting);
    report.pending = pending;
    return report;
}

// Takes the company's shared record for a report recorded here; what the other installations stored
// up to that moment comes in, so that an invoice of the same number is seen. Not written: the report
// is dropped and the result says why (an empty result: taken and the number still free).
std::optional<NavReport> share_report(Core& core, Json::object& record) {
    std::string tag;
    std::string reason;
    const Core::SharedWrite shared = core.nav_share_report(Json(record), tag, reason);
    if (shared != Core::SharedWrite::written) {
        drop_report(core, Json(record));
        if (shared == Core::SharedWrite::unreachable) return report_of(NavReport::Result::cloud, reason);
        // Another installation's report stands (or one of this one whose removal was left): settled
        // here if its outcome is known, else waited for; settled, the number is taken again.
        NavReport theirs = waiting_report(core.nav_settle_report(true));
        if (theirs.pending.result != NavSettled::Result::waiting) return report_of(NavReport::Result::renumber);
        theirs.pending.elsewhere = theirs.pending.elsewhere || theirs.pending.reason != NavSettled::Reason::cloud;
        return theirs;
    }
    record["shared_tag"] = tag;
    if (!core.download_changes()) {
        drop_report(core, Json(record));
        return report_of(NavReport::Result::cloud);
    }
    if (number_stored(core, record["document"])) {
        drop_report(core, Json(record));
        return report_of(NavReport::Result::renumber);
    }
    if (!save_local_row(core, kPendingRow, record)) {
        drop_report(core, Json(record));
        return report_of(NavReport::Result::failed);
    }
    return std::nullopt;
}

// Waits for the outcome of a report that went out: asked at once, then every few seconds, for as
// long as the save may wait and the answer may still change.
NavReport await_outcome(Core& core, const std::string& request_id) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(Core::nav_settle_seconds());
    auto pause = std::chrono::seconds(2);
    NavSettled now;
    while (true) {
        now = core.nav_settle_report();
        switch (now.result) {
        case NavSettled::Result::stored: {
            NavReport report = report_of(NavReport::Result::stored);
            report.record_name = now.record_name;
            return report;
        }
        case NavSettled::Result::none: {
            // Settled meanwhile by another thread (the background query).
            NavReport report = report_of(NavReport::Result::not_sent);
            report.record_name = core.nav_settled_record(request_id);
            if (!report.record_name.empty()) report.result = NavReport::Result::stored;
            return report;
        }
        case NavSettled::Result::dropped:
            return report_of(NavReport::Result::not_sent, "NO_INTERNET");
        case NavSettled::Result::refused:
            return report_of(NavReport::Result::refused, now.message);
        case NavSettled::Result::taken:
            return report_of(NavReport::Result::renumber, "taken");
        case NavSettled::Result::waiting:
            break;
        }
        const bool may_change = now.reason == NavSettled::Reason::sending || now.reason == NavSettled::Reason::processing;
        if (!may_change || std::chrono::steady_clock::now() + pause > until) break;
        std::this_thread::sleep_for(pause);
        pause = std::chrono::seconds(3);
    }
    NavReport report = waiting_report(now);
    report.sent_now = true;
    return report;
}

}  // namespace

NavReport Core::nav_report_invoice(std::vector<Json> lines, Json::object document) {
    const NavSettled earlier = nav_settle_report();
    if (earlier.result == NavSettled::Result::waiting) return waiting_report(earlier);
    // The authority holds another invoice of this number (learnt just now or before): never sent again.
    if (number_taken(*this, Json(document))) return report_of(NavReport::Result::renumber, "taken");
    // The earlier report settled just now may have stored its invoice under this very number.
    if (number_stored(*this, Json(document))) return report_of(NavReport::Result::renumber);

    // What would be sent, checked before anything is recorded: invalid data never leaves.
    document.erase("nav_number_formatted");
    document.erase("request_signature_extra");
    const NavPayload payload = nav_invoice_payload(lines, document);
    if (current_account != "DEMO" && payload.data.empty()) return report_of(NavReport::Result::refused, payload.error);

    // The record of the report under way, written before anything is sent.
    const std::string request_id = nav_new_request_id();
    std::optional<InFlight> flight(std::in_place, request_id);
    const std::time_t written = clock_now();
    std::string decoded = payload.data;
    decoded.resize(base64_decode(decoded.size(), decoded.data()));
    Json::object record{{"request_id", request_id},
                        {"number_formatted", Json(document)["number_formatted"].string_value()},
                        {"written", static_cast<double>(written)},
                        {"deadline", static_cast<double>(written + send_window() + nav_request_seconds())},
                        {"data_digest", sha3_512_hex(payload.data)},
                        {"content_digest", nav_content_digest(decoded)},
                        {"tax_number", setting("supplier")["identifier_number"].string_value()},
                        {"installation", installation_id(*this)},
                        {"machine", nav_machine_id()},
                        {"pid", static_cast<double>(::getpid())},
                        {"process_start", process_start(::getpid())},
                        {"boot", boot_id()},
                        {"document", document},
                        {"lines", lines}};
    // The difference of the authority's clock from this one, as last seen: the shared record carries
    // it to whoever settles it.
    if (const Json offset = setting("local")["nav_clock_offset"]; offset.is_number()) record["service_offset"] = offset;
    if (!save_local_row(*this, kPendingRow, record)) return report_of(NavReport::Result::failed, "store");

    // Shared with the company's other installations before anything is sent: only one reports at a time.
    if (nav_shares_reports()) {
        if (std::optional<NavReport> refused = share_report(*this, record)) return *refused;
    }

    // Sent only within the window the shared record promises, and only once this installation has
    // recorded that it is sending, with the authority's clock as its token exchange gave it.
    auto before_send = [this, &record](std::time_t service_time) {
        if (clock_now() + nav_request_seconds() > static_cast<std::time_t>(Json(record)["deadline"].number_value()))
            return false;
        if (service_time > 0) {
            const double offset = static_cast<double>(service_time - clock_now());
            record["service_offset"] = offset;
            save_local_member("nav_clock_offset", offset);
        }
        record["sent"] = static_cast<double>(clock_now());
        record["sent_boot"] = boot_seconds();
        return save_local_row(*this, kPendingRow, record);
    };
    const NavSubmission sent = nav_submit_invoice(lines, document, request_id, before_send, &payload);
    flight.reset();
    switch (sent.outcome) {
    case NavSubmission::Outcome::accepted:
        if (current_account == "DEMO") {
            NavReport stored = report_of(NavReport::Result::stored);
            stored.record_name = store_reported(*this, Json(record), sent.text, true);
            if (stored.record_name.empty()) stored.result = NavReport::Result::failed;
            return stored;
        }
        // Received, not yet processed: stored once the authority has processed it. Its transaction is
        // kept, so that its status is asked directly from now on.
        record["transaction_id"] = sent.text;
        save_local_row(*this, kPendingRow, record);
        break;
    case NavSubmission::Outcome::refused:
    case NavSubmission::Outcome::not_sent:
        drop_report(*this, Json(record));
        return report_of(sent.outcome == NavSubmission::Outcome::refused ? NavReport::Result::refused
                                                                          : NavReport::Result::not_sent,
                         sent.text);
    case NavSubmission::Outcome::unknown:
        break;
    }
    return await_outcome(*this, request_id);
}

std::string Core::nav_settled_record(const std::string& request_id) {
    return request_id.empty() ? std::string() : settled_record(*this, request_id);
}
