// Settling a report under way from the authority's own records: stored once the authority has
// processed it, dropped once it is known never to have arrived, its number kept from reuse once the
// authority holds another invoice under it. The accounting uploads still owed are kept beside it.
#include "core/nav/report_internal.h"
#include "core/store/store_internal.h"

#include <algorithm>
#include <mutex>


using json11::Json;

namespace nav_report {

namespace {

constexpr const char* kPendingRow = store::kPendingReportRow;
constexpr const char* kCashbookRow = store::kCashbookRow;
constexpr const char* kSettledRow = store::kSettledReportsRow;
// The numbers the authority holds for other invoices: a synced settings row, so that every
// installation of the company passes them over.
constexpr const char* kTakenRow = "nav_taken";
// Taken numbers kept, newest last.
constexpr std::size_t kTakenKept = 50;

// What became of a record a settling meant to remove.
enum class Removal {
    removed,   // gone (or a newer record stands in its place)
    moved_on,  // it changed since it was read (sent meanwhile): kept, to be settled again
    failed,    // the store could not be written
};

// Adds a stored invoice to the accounting uploads owed (inside the caller's transaction).
bool owe_cashbook_upload(Core& core, const std::string& record_name) {
    Json::array owed = core.setting(kCashbookRow).array_items();
    for (const Json& name : owed)
        if (name.string_value() == record_name) return true;
    owed.push_back(record_name);
    return save_local_row(core, kCashbookRow, owed);
}

// The settled reports, newest last: their request ids, how each ended (stored with its record
// name, taken, refused, or never sent nor arrived) and whether it was this installation's own. An
// entry of an earlier version has only a record name: stored, and this installation's.
constexpr std::size_t kSettledKept = 20;

// How a settled report ended, as the list keeps it (only stored, taken, refused and dropped are kept).
const char* outcome_word(NavSettled::Result result) {
    switch (result) {
    case NavSettled::Result::stored:
        return "stored";
    case NavSettled::Result::taken:
        return "taken";
    case NavSettled::Result::refused:
        return "refused";
    case NavSettled::Result::dropped:
    case NavSettled::Result::none:
    case NavSettled::Result::waiting:
    case NavSettled::Result::unknown:
        break;
    }
    return "dropped";
}

Json settled_entry(Core& core, const std::string& request_id) {
    const Json settled = core.setting(kSettledRow);
    for (const Json& entry : settled.array_items())
        if (entry["request_id"].string_value() == request_id) return entry;
    return Json();
}

// The record name stored for a settled report, from the short list of the latest ones.
std::string settled_record(Core& core, const std::string& request_id) {
    return settled_entry(core, request_id)["recordName"].string_value();
}

// Inside the caller's transaction.
bool remember_settled(Core& core, const NavReportRecord& report, const NavSettled& settled, bool own) {
    Json::array list = core.setting(kSettledRow).array_items();
    Json::object entry{{"request_id", report.request_id},
                       {"outcome", outcome_word(settled.result)},
                       {"own", own}};
    if (!settled.record_name.empty()) entry["recordName"] = settled.record_name;
    if (!settled.message.empty()) entry["message"] = settled.message;
    list.push_back(entry);
    if (list.size() > kSettledKept) list.erase(list.begin(), list.end() - kSettledKept);
    return save_local_row(core, kSettledRow, list);
}

// The report was written by this installation (here, or in a copy of its data folder).
bool own_report(Core& core, const NavReportRecord& report) {
    return report.installation == installation_id(core);
}

// The record was written to this very database file. A record of an earlier version does not say:
// taken as written here, as that version took it.
bool written_to_this_store(Core& core, const NavReportRecord& report) {
    return !report.store_file || *report.store_file == store::file_identity(core);
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

// The record moved on since `read` was read: it did not know that the invoice went out, or what the
// authority answered, and the record does.
bool moved_on(const NavReportRecord& now, const NavReportRecord& read) {
    return now.phase > read.phase;
}

// The taken numbers of the synced row (every installation's) and of the local member (an earlier
// version's, and this installation's own should another's upload of the row overwrite it).
Json::array taken_numbers(Core& core) {
    Json::array taken = core.setting(kTakenRow).array_items();
    const Json local = core.setting("local");
    for (const Json& entry : local["nav_taken"].array_items())
        if (std::find(taken.begin(), taken.end(), entry) == taken.end()) taken.push_back(entry);
    return taken;
}

// The number of an invoice the authority holds with other content: never reported again, by any
// installation of the company (the synced row reaches them).
bool remember_taken(Core& core, const NavReportRecord& report) {
    const Json document(report.document);
    Json::array taken = taken_numbers(core);
    const Json entry = Json::object{{"type", document["type"].string_value()},
                                    {"year", document["issue_date"].string_value().substr(0, 4)},
                                    {"number", document["number"].number_value()},
                                    {"number_formatted", report.number}};
    if (std::find(taken.begin(), taken.end(), entry) == taken.end()) taken.push_back(entry);
    if (taken.size() > kTakenKept) taken.erase(taken.begin(), taken.end() - kTakenKept);
    store::Transaction transaction(core);
    return transaction.active() && core.save_local_member("nav_taken", taken) &&
           core.save_record({{"recordName", kTakenRow}, {"value", Json(taken).dump()}, {"synced", 0}}, "settings") &&
           transaction.commit();
}

// Removes the local record of this very report, on what the caller read of it, and its shared
// record. A newer record written meanwhile stays; so does this one when it moved on since it was read
// (the save sent it meanwhile): it is settled again from what it says now. With `verdict`, how the
// report ended is kept in the same transaction.
Removal remove_record(Core& core, const NavReportRecord& report, const NavSettled* verdict) {
    bool removed_here = false;
    bool remembered = false;
    {
        store::Transaction transaction(core);
        if (!transaction.active()) return Removal::failed;
        const std::optional<NavReportRecord> now = core.nav_pending_record();
        if (now && now->request_id == report.request_id) {
            if (moved_on(*now, report)) return Removal::moved_on;
            if (verdict) {
                if (verdict->result == NavSettled::Result::taken && !remember_taken(core, report)) return Removal::failed;
                if (!remember_settled(core, report, *verdict, true)) return Removal::failed;
                if (!keep_as_draft(core, report, *verdict)) return Removal::failed;
                remembered = true;
            }
            if (!remove_row(core, kPendingRow) || !transaction.commit()) return Removal::failed;
            removed_here = true;
        }
    }
    // Left in the cloud when it cannot be reached: any installation removes it once it finds the
    // number was never reported; this one knows that at once.
    const std::string& tag = report.shared_tag;
    if (!tag.empty() && !core.nav_unshare_report(tag) && removed_here && !remembered) {
        NavSettled never_sent;
        never_sent.result = NavSettled::Result::dropped;
        store::Transaction transaction(core);
        if (transaction.active() && remember_settled(core, report, never_sent, true)) transaction.commit();
    }
    return Removal::removed;
}

}  // namespace

// Stores the reported invoice with its transaction id and, for this installation's local record,
// removes the record in the same transaction: either both happen or neither. Two threads may settle
// the same report at once (a save and the background query): only the one that still finds the
// record stores it. An invoice already stored under this transaction (by another installation that
// settled the record) is not stored a second time. Its accounting upload belongs to the installation
// that reported it, whoever stored it.
std::string store_reported(Core& core, const NavReportRecord& report, const std::string& transaction_id, bool local) {
    const std::string& request_id = report.request_id;
    Json::object document = report.document;
    document["nav_transaction_id"] = transaction_id;
    document.erase("nav_number_formatted");
    store::Transaction transaction(core);
    if (!transaction.active()) return "";
    const std::optional<NavReportRecord> pending = core.nav_pending_record();
    if (local && (!pending || pending->request_id != request_id)) return settled_record(core, request_id);
    NavSettled settled;
    settled.result = NavSettled::Result::stored;
    settled.record_name = stored_transaction(core, transaction_id);
    if (settled.record_name.empty()) {
        std::vector<Json> lines = report.lines;
        settled.record_name = core.save_document(std::move(lines), false, std::move(document));
        if (settled.record_name.empty()) return "";
    }
    if (local && core.accounting_on() && !owe_cashbook_upload(core, settled.record_name)) return "";
    // The page that sent it learns at its next save that its invoice is stored.
    if (!remember_settled(core, report, settled, local || own_report(core, report))) return "";
    if (local && !remove_row(core, kPendingRow)) return "";
    return transaction.commit() ? settled.record_name : std::string();
}

bool drop_report(Core& core, const NavReportRecord& report) {
    return remove_record(core, report, nullptr) == Removal::removed;
}

namespace {

NavSettled waiting_on(const NavReportRecord& report, NavSettled::Reason reason, std::string message = "") {
    NavSettled settled;
    settled.result = NavSettled::Result::waiting;
    settled.reason = reason;
    settled.message = std::move(message);
    settled.number = report.number;
    settled.request_id = report.request_id;
    return settled;
}

// A report the authority's records decided (refused, taken, never arrived): the verdict is kept and
// its record goes. While the record cannot be removed, or it moved on since it was read, it waits.
NavSettled removed_on(Core& core, const NavReportRecord& report, bool local, NavSettled verdict) {
    Removal removal = Removal::failed;
    if (local)
        removal = remove_record(core, report, &verdict);
    else if ((verdict.result != NavSettled::Result::taken || remember_taken(core, report)) &&
             core.nav_unshare_report(report.shared_tag))
        removal = Removal::removed;
    if (removal == Removal::removed) return verdict;
    verdict.result = NavSettled::Result::waiting;
    verdict.reason = removal == Removal::moved_on ? NavSettled::Reason::sending : NavSettled::Reason::unrecorded;
    verdict.message.clear();
    return verdict;
}

// Acts on what the authority's records say of a report. `local`: the record is this installation's
// local row. `can_be_absent`: no copy can still be on its way, so "not there" means it never
// arrived. A processed one is stored at once, also when another installation reported it and may be
// storing it too: both name it and its stock rows alike, so the copies are one document.
NavSettled act_on(Core& core, const NavReportRecord& report, const NavFound& found, bool local, bool can_be_absent) {
    NavSettled settled = waiting_on(report, NavSettled::Reason::processing);
    switch (found.state) {
    case NavFound::State::done:
        // Another installation may have stored it already: what the cloud holds comes in first, so
        // that it is not stored twice.
        if (core.nav_shares_reports()) core.sync_start(empty_completion());
        settled.record_name = store_reported(core, report, found.transaction_id, local);
        if (settled.record_name.empty()) settled.reason = NavSettled::Reason::store;
        else settled.result = NavSettled::Result::stored;
        return settled;
    case NavFound::State::processing:
        return settled;
    case NavFound::State::contested:
        settled.reason = NavSettled::Reason::contested;
        return settled;
    case NavFound::State::aborted:
        settled.result = NavSettled::Result::refused;
        settled.message = found.message;
        return removed_on(core, report, local, settled);
    case NavFound::State::taken:
        settled.result = NavSettled::Result::taken;
        return removed_on(core, report, local, settled);
    case NavFound::State::absent:
        if (!can_be_absent) {
            settled.reason = NavSettled::Reason::sending;
            return settled;
        }
        settled.result = NavSettled::Result::dropped;
        return removed_on(core, report, local, settled);
    case NavFound::State::unread:
        settled.reason = found.gap == NavFound::Gap::pages ? NavSettled::Reason::listing_unread
                                                           : NavSettled::Reason::content_unread;
        settled.pages_read = found.pages_read;
        settled.pages_total = found.pages_total;
        return settled;
    case NavFound::State::unreachable:
        settled.reason = NavSettled::Reason::unreachable;
        return settled;
    case NavFound::State::unavailable:
        settled.reason = NavSettled::Reason::unavailable;
        return settled;
    case NavFound::State::refused:
        settled.reason = NavSettled::Reason::question_refused;
        settled.message = found.message;
        return settled;
    case NavFound::State::no_credentials:
        settled.reason = NavSettled::Reason::no_credentials;
        return settled;
    }
    return settled;
}

// What the authority holds of a report: its own transaction when the reply named it, else the
// technical user's transactions of its interval.
NavFound look_up(Core& core, const NavReportRecord& report) {
    const Core::NavSought sought = sought_of(core, report);
    if (report.phase == NavReportRecord::Phase::received) return core.nav_transaction_outcome(sought, report.transaction_id);
    return core.nav_find_submission(sought);
}

// Settles the report recorded in this installation's local row.
NavSettled settle_local(Core& core, const NavReportRecord& report) {
    const bool here = this_computer(report);
    if (here && sender_running(report)) return waiting_on(report, NavSettled::Reason::sending);
    // Never sent: its process ended before the invoice went out, and it wrote to this very store. A
    // copy of the data folder (or one restored from a backup) may hold the record as it was before
    // the sending was recorded.
    if (here && report.phase == NavReportRecord::Phase::recorded && written_to_this_store(core, report)) {
        NavSettled never_sent = waiting_on(report, NavSettled::Reason::sending);
        never_sent.result = NavSettled::Result::dropped;
        return removed_on(core, report, true, never_sent);
    }
    // A record copied from another computer is that computer's: it may still be sending and storing it.
    // Past its deadline nothing of it can be on its way, wherever it was written.
    const bool past = clock_now() > free_from(report);
    const bool can_be_absent = (here && nothing_on_the_way(report)) || past;
    NavSettled settled = act_on(core, report, look_up(core, report), true, can_be_absent);
    // It is the other computer's report: the user reads when it was recorded and from when this one
    // settles it.
    if (!here) {
        settled.elsewhere = true;
        settled.written = report.written;
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
        settled.reason = NavSettled::Reason::shared_unreadable;
        return settled;
    }
    NavReportRecord record = *NavReportRecord::read(shared["report"]);
    record.shared_tag = shared["tag"].string_value();
    const std::string& request_id = record.request_id;
    const bool ours = own_report(core, record) && this_computer(record);
    if (ours) {
        // Ours, and still recorded here: settled from the local record, which knows whether it was sent.
        const std::optional<NavReportRecord> pending = core.nav_pending_record();
        if (pending && pending->request_id == request_id) return settle_local(core, *pending);
        // Ours and settled here already (stored, refused, taken, or never sent): only its removal was left.
        const Json known = settled_entry(core, request_id);
        if (!known.is_null()) {
            settled = waiting_on(record, NavSettled::Reason::cloud);
            const std::string stored = known["recordName"].string_value();
            if (stored.empty() ? core.nav_unshare_report(shared["tag"].string_value()) : release_stored(core, stored))
                settled.result = NavSettled::Result::none;
            return settled;
        }
        if (sender_running(record)) return waiting_on(record, NavSettled::Reason::sending);
    }
    // Another installation's, or one this computer wrote and this data folder does not know (a copy
    // of the folder started after the original ended, a folder restored from an older backup): what it
    // sent can be on its way until its deadline has passed here too, and it is settled from the
    // authority's records; once the authority holds it processed, it is stored here at once.
    const bool past = clock_now() > free_from(record) || nothing_on_the_way(record);
    settled = act_on(core, record, look_up(core, record), false, past);
    settled.elsewhere = !ours;
    settled.written = record.written;
    settled.deadline = free_from(record);
    // The other installation's invoice is here now; the record goes once it is in the cloud too.
    if (settled.result == NavSettled::Result::stored) release_stored(core, settled.record_name);
    return settled;
}

}  // namespace

// This installation's own id, kept in the local row: it tells its shared records from another's.
std::string installation_id(Core& core) {
    const std::string known = core.setting("local")["installation"].string_value();
    if (!known.empty()) return known;
    const std::string made = new_record_name();
    return core.save_local_member("installation", made) ? made : std::string();
}

// True when another invoice is stored here under this document's number.
bool number_stored(Core& core, const Json& document) {
    return !store::rows(core,
                        "SELECT 1 FROM documents WHERE type = 'INVOICE' AND number_formatted = ? AND recordName <> ?",
                        {document["number_formatted"], Json(document["recordName"].string_value())})
                .empty();
}

// True when the authority holds another invoice under this document's number (learnt by any
// installation of the company).
bool number_taken(Core& core, const Json& document) {
    for (const Json& taken : taken_numbers(core))
        if (taken["type"] == document["type"] && taken["number_formatted"] == document["number_formatted"]) return true;
    return false;
}

// How a report settled here ended, from the short list of the latest ones: none when not among them.
NavSettled settled_outcome(Core& core, const std::string& request_id) {
    NavSettled settled;
    const Json entry = settled_entry(core, request_id);
    if (entry.is_null()) return settled;
    const std::string outcome = entry["outcome"].string_value();
    settled.result = outcome.empty() || outcome == "stored" ? NavSettled::Result::stored
                     : outcome == "taken"                   ? NavSettled::Result::taken
                     : outcome == "refused"                 ? NavSettled::Result::refused
                     : outcome == "dropped"                 ? NavSettled::Result::dropped
                                                            : NavSettled::Result::unknown;
    settled.request_id = request_id;
    settled.record_name = entry["recordName"].string_value();
    settled.message = entry["message"].string_value();
    return settled;
}

namespace {

std::mutex hook_mutex;
std::function<void(const Json& read)> settling_read_hook;

void run_settling_read_hook(const Json& read) {
    std::function<void(const Json& read)> hook;
    {
        std::lock_guard<std::mutex> lock(hook_mutex);
        hook = settling_read_hook;
    }
    if (hook) hook(read);
}

}  // namespace

void set_settling_read_hook(std::function<void(const Json& read)> hook) {
    std::lock_guard<std::mutex> lock(hook_mutex);
    settling_read_hook = std::move(hook);
}

bool save_local_row(Core& core, const char* name, const Json& value) {
    return core.save_record({{"recordName", name}, {"value", value.dump()}, {"synced", -1}}, "settings");
}

bool save_pending(Core& core, const NavReportRecord& record) {
    return save_local_row(core, kPendingRow, record.json());
}

bool remove_row(Core& core, const char* name) {
    return store::run(core, "DELETE FROM settings WHERE recordName = ?", {Json(name)});
}

}  // namespace nav_report

using namespace nav_report;

Json Core::nav_pending_report() {
    const std::optional<NavReportRecord> pending = nav_pending_record();
    return pending ? Json(pending->stored) : Json();
}

std::optional<NavReportRecord> Core::nav_pending_record() {
    return NavReportRecord::read(setting(kPendingRow));
}

NavSettled Core::nav_settle_report(bool shared) {
    const std::optional<NavReportRecord> pending = nav_pending_record();
    const bool cloud = shared && nav_shares_reports();
    if (!pending) return cloud ? settle_shared(*this) : NavSettled();
    run_settling_read_hook(pending->stored);
    const NavSettled own = settle_local(*this, *pending);
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

json11::Json::array Core::nav_taken_numbers() {
    return taken_numbers(*this);
}

std::string Core::nav_settled_record(const std::string& request_id) {
    return request_id.empty() ? std::string() : settled_record(*this, request_id);
}
