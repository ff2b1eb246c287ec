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
                       {"outcome", nav_outcome_word(settled.result)},
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

// --- the verdict, made once ----------------------------------------------------------------------

// A report's verdict is made once, by the installation that settles it first: written into the
// company's shared record over the version it was judged on, naming its maker, the draft that is to
// keep the typed invoice, and the moment by which its maker has kept that draft, passed it to the
// cloud with the synced row of the latest verdicts, and removed the shared record. Past that moment
// any installation that reads the verdict finishes that work; the draft's name follows from the
// report, so the invoice is kept once whoever keeps it. Every other installation, the reporter too,
// follows it and never judges that report again: an invoice the authority holds under the number
// later (another's, of whatever content) is not taken for the reporter's.
constexpr const char* kVerdictsRow = "nav_verdicts";
constexpr std::size_t kVerdictsKept = 50;
constexpr const char* kVerdictMember = "verdict";

// A verdict that a report ended unstored (refused, taken, never arrived).
struct Verdict {
    NavSettled settled;          // its result, and its message (refused)
    std::string installation;    // who made it
    KeptDraft draft;             // the draft that keeps the invoice (none named by an earlier version)
    // On its maker's clock: when it was made, and by when its maker's work is done (0: not said).
    std::time_t made = 0;
    std::time_t until = 0;
};

Json verdict_json(const Verdict& verdict) {
    Json::object out{{"outcome", nav_outcome_word(verdict.settled.result)}, {"by", verdict.installation}};
    auto put = [&out](const char* name, const std::string& value) {
        if (!value.empty()) out[name] = value;
    };
    put("message", verdict.settled.message);
    put("draft", verdict.draft.draft);
    put("draft_number", verdict.draft.draft_number);
    if (verdict.until > 0) {
        out["made"] = static_cast<double>(verdict.made);
        out["until"] = static_cast<double>(verdict.until);
    }
    return out;
}

std::optional<Verdict> verdict_read(const Json& stored, const NavReportRecord& report) {
    if (!stored.is_object() || stored["by"].string_value().empty()) return std::nullopt;
    Verdict verdict;
    verdict.settled.result = nav_outcome_of_word(stored["outcome"].string_value());
    verdict.settled.request_id = report.request_id;
    verdict.settled.number = report.number;
    verdict.settled.message = stored["message"].string_value();
    verdict.installation = stored["by"].string_value();
    verdict.draft.request_id = report.request_id;
    verdict.draft.number = report.number;
    verdict.draft.draft = stored["draft"].string_value();
    verdict.draft.draft_number = stored["draft_number"].string_value();
    verdict.draft.outcome = verdict.settled.result;
    verdict.draft.message = verdict.settled.message;
    verdict.made = static_cast<std::time_t>(stored["made"].number_value());
    verdict.until = static_cast<std::time_t>(stored["until"].number_value());
    return verdict;
}

// This installation's verdict on a report, made now.
Verdict verdict_of(Core& core, const NavReportRecord& report, const NavSettled& settled) {
    Verdict verdict;
    verdict.settled = settled;
    verdict.installation = installation_id(core);
    verdict.draft = draft_for(core, report, settled);
    verdict.made = clock_now();
    verdict.until = verdict.made + verdict_lifetime();
    return verdict;
}

// The verdict the synced row holds on a report, as it came in with the latest download.
std::optional<Verdict> synced_verdict(Core& core, const NavReportRecord& report) {
    const Json verdicts = core.setting(kVerdictsRow);
    for (const Json& entry : verdicts.array_items())
        if (entry["request_id"].string_value() == report.request_id) return verdict_read(entry, report);
    return std::nullopt;
}

// Inside the caller's transaction: the verdict goes up with the next pass, to every installation.
bool remember_verdict(Core& core, const NavReportRecord& report, const Verdict& verdict) {
    if (synced_verdict(core, report)) return true;
    Json::array list = core.setting(kVerdictsRow).array_items();
    Json::object entry = verdict_json(verdict).object_items();
    entry["request_id"] = report.request_id;
    list.push_back(entry);
    if (list.size() > kVerdictsKept) list.erase(list.begin(), list.end() - kVerdictsKept);
    return core.save_record({{"recordName", kVerdictsRow}, {"value", Json(list).dump()}, {"synced", 0}}, "settings");
}

// What holds of a report's verdict, as an installation about to act on its own judgment finds it.
struct Held {
    enum class Kind {
        none,     // no verdict of another: this installation's judgment stands (or its own verdict)
        theirs,   // another installation made the verdict: it is followed
        changed,  // the shared record moved on since it was judged (sent meanwhile): judged again
        unknown,  // the cloud could not be asked, or did not take the verdict: it waits
    } kind = Kind::none;
    Verdict verdict;
    std::string tag;        // the shared record's tag now; none when it is gone
    bool moved_on = false;  // it stands without a verdict, further on than the version judged
};

Held held_of(Core& core, const Verdict& verdict, const std::string& tag) {
    Held held;
    held.verdict = verdict;
    held.tag = tag;
    held.kind = verdict.installation == installation_id(core) ? Held::Kind::none : Held::Kind::theirs;
    return held;
}

// Another installation's verdict on a report, where its shared record carries one or, once that has
// gone, in the synced row (brought in first). A record gone with no verdict was removed by an earlier
// version: the judgment here stands, as it did there.
Held verdict_elsewhere(Core& core, const NavReportRecord& report) {
    Held held;
    if (!core.nav_shares_reports() || report.shared_tag.empty()) return held;
    bool reachable = false;
    const Json shared = core.nav_shared_report(reachable);
    if (!reachable) {
        held.kind = Held::Kind::unknown;
        return held;
    }
    const std::optional<NavReportRecord> standing = NavReportRecord::read(shared["report"]);
    if (standing && standing->request_id == report.request_id) {
        const std::string tag = shared["tag"].string_value();
        if (const auto made = verdict_read(Json(standing->stored)[kVerdictMember], report)) return held_of(core, *made, tag);
        held.tag = tag;
        held.moved_on = moved_on(*standing, report);
        return held;
    }
    core.sync_start(empty_completion());
    if (const std::optional<Verdict> made = synced_verdict(core, report)) return held_of(core, *made, "");
    return held;
}

// Makes `verdict` the verdict on `report`, over the version of its shared record it was judged on,
// unless another installation made one first; what holds then comes back. `local`: the report is
// this installation's local record, which is what it sent (a shared record further on was never sent
// from it: the reporter records its sending here before it sends).
Held claim_verdict(Core& core, const NavReportRecord& report, const Verdict& verdict, bool local) {
    if (!core.nav_shares_reports() || report.shared_tag.empty()) return Held{};
    NavReportRecord marked = report;
    marked.stored[kVerdictMember] = verdict_json(verdict);
    std::string tag = report.shared_tag;
    if (core.nav_reshare_report(marked, tag)) return held_of(core, verdict, tag);
    Held held = verdict_elsewhere(core, report);
    if (held.kind != Held::Kind::none || held.tag.empty()) return held;
    if (held.tag == report.shared_tag || (held.moved_on && !local)) {
        held.kind = held.tag == report.shared_tag ? Held::Kind::unknown : Held::Kind::changed;
        return held;
    }
    // Written again since, with nothing that changes the judgment: claimed over what stands now.
    tag = held.tag;
    if (core.nav_reshare_report(marked, tag)) return held_of(core, verdict, tag);
    held.kind = Held::Kind::unknown;
    return held;
}

// Before a report's deadline has passed here, no other installation takes it as never arrived: while
// the cloud cannot be asked, its reporter goes on with its own judgment.
bool judged_here_alone(const NavReportRecord& report) {
    return clock_now() <= free_from(report);
}

// Inside the caller's transaction: the invoice of a report that ended unstored is kept here in the
// draft its verdict names (one an earlier version's verdict named none for is named here) and, for a
// shared report, that verdict with the draft goes to every installation.
bool keep_verdict(Core& core, const NavReportRecord& report, Verdict verdict) {
    if (verdict.draft.draft.empty()) verdict.draft = draft_for(core, report, verdict.settled);
    if (!keep_as_draft(core, report, verdict.draft)) return false;
    if (report.shared_tag.empty()) return true;
    return remember_verdict(core, report, verdict);
}

// What an installation does with the verdict on its own record: its maker keeps the invoice and
// removes the shared record (the reporter's own verdict, or another's it finishes); a follower drops
// its record once the verdict's draft is in place, and tells where the invoice is.
enum class Role { maker, follower };

// Removes the local record of this very report, on what the caller read of it, and its shared
// record. A newer record written meanwhile stays; so does this one when it moved on since it was read
// (the save sent it meanwhile): it is settled again from what it says now. With `verdict`, how the
// report ended is kept in the same transaction. A follower's user is told where the verdict's draft
// keeps the invoice, and the shared record is left to the verdict's maker.
Removal remove_record(Core& core, const NavReportRecord& report, const Verdict* verdict, Role role = Role::maker) {
    bool removed_here = false;
    bool remembered = false;
    {
        store::Transaction transaction(core);
        if (!transaction.active()) return Removal::failed;
        const std::optional<NavReportRecord> now = core.nav_pending_record();
        if (now && now->request_id == report.request_id) {
            if (moved_on(*now, report)) return Removal::moved_on;
            if (verdict) {
                const NavSettled& settled = verdict->settled;
                if (settled.result == NavSettled::Result::taken && !remember_taken(core, report)) return Removal::failed;
                if (!remember_settled(core, report, settled, true)) return Removal::failed;
                const bool kept = role == Role::maker            ? keep_verdict(core, report, *verdict)
                                  : verdict->draft.draft.empty() ? true
                                                                 : tell_kept_draft(core, verdict->draft);
                if (!kept) return Removal::failed;
                remembered = true;
            }
            if (!remove_row(core, kPendingRow) || !transaction.commit()) return Removal::failed;
            removed_here = true;
        }
    }
    if (role == Role::follower) return Removal::removed;
    // The draft and the verdict reach the cloud before the shared record goes.
    if (remembered && !report.shared_tag.empty()) core.sync_start(empty_completion());
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
// settled the record) is not stored a second time.
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
    const bool stored_here = settled.record_name.empty();
    if (stored_here) {
        std::vector<Json> lines = report.lines;
        settled.record_name = core.save_document(std::move(lines), false, std::move(document));
        if (settled.record_name.empty()) return "";
    }
    if (!use_up_draft(core, Json(report.document), settled.record_name, report.number)) return "";
    // Owed by its reporter (or a copy of its data folder) and by whoever stores it: of all who owe it,
    // the upload's mark in the cloud lets one send it, and another take it over from a sender that
    // no longer sends.
    if ((local || stored_here) && core.accounting_on() && !owe_cashbook_upload(core, settled.record_name)) return "";
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

// Another installation's report whose verdict this one made or finishes: its invoice (which the
// shared record carries) is kept here in the verdict's draft, and the verdict goes up with it before
// the shared record goes.
Removal remove_theirs(Core& core, const NavReportRecord& report, const Verdict& verdict) {
    if (report.shared_tag.empty()) return Removal::removed;
    {
        store::Transaction transaction(core);
        if (!transaction.active()) return Removal::failed;
        // Kept already when only the removal was left.
        if (!synced_verdict(core, report)) {
            if (verdict.settled.result == NavSettled::Result::taken && !remember_taken(core, report)) return Removal::failed;
            if (!keep_verdict(core, report, verdict)) return Removal::failed;
        }
        if (!transaction.commit()) return Removal::failed;
    }
    core.sync_start(empty_completion());
    return core.nav_unshare_report(report.shared_tag) ? Removal::removed : Removal::failed;
}

// How a removal on a verdict ended, told as the settling's result: `done` once removed.
NavSettled removal_told(const NavReportRecord& report, Removal removal, const NavSettled& done) {
    switch (removal) {
    case Removal::removed:
        return done;
    case Removal::moved_on:
        return waiting_on(report, NavSettled::Reason::sending);
    case Removal::failed:
        break;
    }
    return waiting_on(report, NavSettled::Reason::unrecorded);
}

// The verdict's draft is here, or there is nothing to keep; a pass brings it in when it is not.
bool draft_in_place(Core& core, const NavReportRecord& report, const Verdict& verdict) {
    if (verdict.draft.draft.empty()) return report.document.empty();
    const Json draft_name(verdict.draft.draft);
    auto here = [&core, &draft_name] {
        return !store::rows(core, "SELECT 1 FROM documents WHERE recordName = ?", {draft_name}).empty();
    };
    if (here()) return true;
    core.sync_start(empty_completion());
    return here();
}

// Takes up a verdict on a report, `local` when it is this installation's own record, `report`
// carrying the shared record's tag as it stands (none when it is gone). Its maker's work (the draft,
// the pass, the shared record's removal) is this installation's to do when the verdict is its own or
// past its moment; before that the reporter follows it once its draft is in place, and the user is
// told which invoice waits for whom, and until when. Nothing waits for the maker for good.
NavSettled take_up_verdict(Core& core, const NavReportRecord& report, bool local, const Verdict& verdict) {
    const bool own = verdict.installation == installation_id(core);
    const std::time_t due = own ? 0 : finished_by(report.request_id, verdict.made, verdict.until);
    if (own || clock_now() > due) {
        NavSettled finished = verdict.settled;
        if (local) return removal_told(report, remove_record(core, report, &verdict), finished);
        // Another's report: only its removal was left, and it is none once done.
        finished.result = NavSettled::Result::none;
        return removal_told(report, remove_theirs(core, report, verdict), finished);
    }
    if (local && draft_in_place(core, report, verdict))
        return removal_told(report, remove_record(core, report, &verdict, Role::follower), verdict.settled);
    NavSettled awaited = waiting_on(report, NavSettled::Reason::judged_elsewhere);
    awaited.elsewhere = !local;
    awaited.written = report.written;
    awaited.deadline = due;
    return awaited;
}

// The record with the shared record's tag as it stands now.
NavReportRecord with_tag(NavReportRecord report, const std::string& tag) {
    report.shared_tag = tag;
    return report;
}

// A report the authority's records decided (refused, taken, never arrived): the verdict is kept and
// its record goes. While the record cannot be removed, or it moved on since it was read, it waits.
NavSettled removed_on(Core& core, const NavReportRecord& report, bool local, const NavSettled& settled) {
    const Verdict made = verdict_of(core, report, settled);
    const Held held = claim_verdict(core, report, made, local);
    if (held.kind == Held::Kind::theirs) return take_up_verdict(core, with_tag(report, held.tag), local, held.verdict);
    if (held.kind == Held::Kind::changed) return waiting_on(report, NavSettled::Reason::sending);
    if (held.kind == Held::Kind::unknown && !(local && judged_here_alone(report)))
        return waiting_on(report, NavSettled::Reason::cloud);
    // The verdict is this installation's: the record goes over what stands now (left in the cloud
    // when it cannot be reached).
    NavReportRecord claimed = report;
    if (!report.shared_tag.empty() && held.kind != Held::Kind::unknown) claimed.shared_tag = held.tag;
    const Removal removal = local ? remove_record(core, claimed, &made) : remove_theirs(core, claimed, made);
    return removal_told(report, removal, settled);
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
        // Another installation may have judged this installation's record first: its verdict holds,
        // whatever the authority holds under the number since.
        if (local) {
            const Held held = verdict_elsewhere(core, report);
            if (held.kind == Held::Kind::theirs)
                return take_up_verdict(core, with_tag(report, held.tag), local, held.verdict);
            if (held.kind == Held::Kind::unknown && !judged_here_alone(report))
                return waiting_on(report, NavSettled::Reason::cloud);
        }
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

// A shared record that carries a verdict, taken up with the reporter's own record where this
// installation is the reporter (the process that made the verdict may have ended before it kept the
// invoice or removed the record).
NavSettled finish_verdict(Core& core, const NavReportRecord& record, const Verdict& made) {
    const std::optional<NavReportRecord> pending = core.nav_pending_record();
    const bool reporter = pending && pending->request_id == record.request_id;
    return take_up_verdict(core, with_tag(reporter ? *pending : record, record.shared_tag), reporter, made);
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
    // Judged already: its maker finishes it, and the reporter follows it.
    if (const std::optional<Verdict> made = verdict_read(Json(record.stored)[kVerdictMember], record))
        return finish_verdict(core, record, *made);
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

namespace {

// The computer an installation id was made on. Without a machine id, the host's name stands for it
// (not the boot it was read in: an installation stays itself across restarts).
std::string computer_of(const std::string& machine) {
    return machine.rfind("host:", 0) == 0 ? machine.substr(0, machine.find('/')) : machine;
}

}  // namespace

namespace {

// The database file an installation id was made in: the file itself (a copy of the data folder has
// files of its own) and where it lies. The id stays with the folder moved elsewhere (the same file),
// and with one restored in place or on a disk seen under another device number after a restart (the
// same path); a copy beside its original differs in both.
bool made_in_this_store(const Json& local, const std::string& file, const std::string& path) {
    return local["installation_file"].string_value() == file || local["installation_path"].string_value() == path;
}

bool save_installation(Core& core, const std::string& id, const std::string& computer, const std::string& file,
                       const std::string& path) {
    if (!core.save_local_member("installation", id) || !core.save_local_member("installation_computer", computer))
        return false;
    return file.empty() || path.empty() ||
           (core.save_local_member("installation_file", file) && core.save_local_member("installation_path", path));
}

}  // namespace

// This installation's own id, kept in the local row with the computer and the database file it was
// made in: it tells its shared records and its marks of accounting uploads from another's. A data
// folder copied, to another computer or beside the original on the same one, is another installation
// from its first start: the original's marks are another's to it. A local row of an earlier version,
// which did not say, belongs to the computer and the file that read it first.
std::string installation_id(Core& core) {
    // Two threads of a first start make one id.
    std::lock_guard<std::recursive_mutex> lock(core.store_mutex);
    const Json local = core.setting("local");
    const std::string known = local["installation"].string_value();
    const std::string computer = computer_of(nav_machine_id());
    const std::string file = store::file_identity(core);
    const std::string path = store::file_path(core);
    const Json& made_on = local["installation_computer"];
    // A store whose file cannot be told (none open) keeps the id it reads.
    const bool file_known = !file.empty() && !path.empty();
    const bool this_computer = !made_on.is_string() || made_on.string_value() == computer;
    const bool this_store = !file_known || !local["installation_file"].is_string() || made_in_this_store(local, file, path);
    if (!known.empty() && this_computer && this_store) {
        const bool bound = made_on.is_string() && (!file_known || (local["installation_file"].string_value() == file &&
                                                                    local["installation_path"].string_value() == path));
        if (bound) return known;
        // Bound now (an id of an earlier version, or the folder moved): later copies are told from it.
        store::Transaction transaction(core);
        if (!transaction.active() || !save_installation(core, known, computer, file, path) || !transaction.commit())
            return std::string();
        return known;
    }
    const std::string made = new_record_name();
    store::Transaction transaction(core);
    if (!transaction.active() || !save_installation(core, made, computer, file, path) || !transaction.commit())
        return std::string();
    return made;
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
    settled.result = nav_outcome_of_word(entry["outcome"].string_value());
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

NavSettled Core::nav_report_held_elsewhere() {
    NavSettled held;
    if (!nav_shares_reports()) return held;
    bool reachable = false;
    const Json shared = nav_shared_report(reachable);
    const std::optional<NavReportRecord> record =
        reachable ? NavReportRecord::read(shared["report"]) : std::optional<NavReportRecord>();
    if (!record) return held;
    // Another installation's verdict stands on it, this installation's own report too: until its
    // maker's work is done, or its moment has passed.
    const std::optional<Verdict> made = verdict_read(Json(record->stored)[kVerdictMember], *record);
    const bool judged_elsewhere = made && made->installation != installation_id(*this);
    if (!judged_elsewhere && own_report(*this, *record) && this_computer(*record)) return held;
    // Read, not settled: whether it may still be on its way is the settling's to tell.
    held = waiting_on(*record, judged_elsewhere ? NavSettled::Reason::judged_elsewhere : NavSettled::Reason::sending);
    held.elsewhere = true;
    held.written = record->written;
    held.deadline = judged_elsewhere ? finished_by(record->request_id, made->made, made->until) : free_from(*record);
    return held;
}

json11::Json::array Core::nav_taken_numbers() {
    return taken_numbers(*this);
}

std::string Core::nav_settled_record(const std::string& request_id) {
    return request_id.empty() ? std::string() : settled_record(*this, request_id);
}
