// What the units of an invoice's report share: the record of a report under way, who may still be
// sending it, the interval in which the authority may have received it, and how it is settled.
#pragma once

#include "core/Core.h"

#include <ctime>
#include <functional>
#include <optional>
#include <string>

namespace nav_report {

// Settings rows of this installation alone: synced -1 keeps them out of every upload.
bool save_local_row(Core& core, const char* name, const json11::Json& value);
// This computer's record of the report under way, as `record` says it.
bool save_pending(Core& core, const NavReportRecord& record);
bool remove_row(Core& core, const char* name);

// --- who may still be sending (report_sender.cpp) ---

// The start time of a process (clock ticks since boot), which tells it from a later one that reuses
// its id; empty when there is no such process.
std::string process_start(long pid);
std::string boot_id();
// Real time since this computer started, suspended time included.
double boot_seconds();

// Marks a report whose call runs in this process: what it records may be sent at any moment.
class InFlight {
public:
    explicit InFlight(std::string id);
    ~InFlight();
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

private:
    std::string request_id;
};

// Just before the invoice goes out, after the token exchange gave the authority's time (0 when it gave
// none): within the sender's window on the boot clock, the record, here and in the company's shared
// record, says that it is sent now, with the offset to the authority's clock measured for it. Why not
// when it is too late or either could not be written: then nothing may be sent.
std::optional<NavSubmission::Outcome> announce_sending(Core& core, NavReportRecord& record, std::time_t service_time);

// The record was written on this computer, not on another one nor on one whose data folder was
// copied here.
bool this_computer(const NavReportRecord& report);
// True while the process that recorded the report may still send it.
bool sender_running(const NavReportRecord& report);
// No copy of what this computer sent can still be on its way.
bool nothing_on_the_way(const NavReportRecord& report);

// --- the record and its interval (report_interval.cpp) ---

// A front that has taken a request in may still register it for a while after the request's own
// limit ran out.
long arrival_margin();
// An installation sends an invoice only within this long of writing its shared record.
std::time_t send_window();
// A record's deadline: this long after it was written, its writer sends it no more.
std::time_t send_deadline();
// How long the maker of a verdict gives itself to keep the invoice, pass it to the cloud and remove
// the shared record.
std::time_t verdict_lifetime();
// From when, on this computer's clock, the work of a verdict made at `made` to be done by `until` (on
// its maker's clock) is anyone's to finish.
std::time_t finished_by(const std::string& request_id, std::time_t made, std::time_t until);
// How long after the moment written as its sending a copy of an invoice can still arrive: it goes out
// within a request's time of that moment (the shared record's update comes between), and its request
// takes up to another, with the margin of a late registration.
std::time_t on_the_way_after_sending();
// A request goes out within this long of the moment recorded as its leaving, or not at all.
long leaving_margin();
// How long after the moment its request left a copy of this computer's own report can still arrive:
// its request's own time, with the margin of its leaving and of a late registration.
std::time_t on_the_way_after_leaving();
// From when, on this computer's clock, nothing of another computer's record can be on its way.
std::time_t free_from(const NavReportRecord& report);
// The invoice data of a report and the interval of its receipt on the authority's clock.
Core::NavSought sought_of(Core& core, const NavReportRecord& report);
// A reply of the authority gave its time: this computer's offset to it is known from now on.
void note_service_time(std::time_t service_time);
// Tests only: this run has heard nothing of the authority's time and seen no record, as one just begun.
void forget_service_time();
// The authority's present time, from its latest reply in this run carried forward in real time; none
// before the first.
std::optional<std::time_t> service_now();
// The interval of one whose clock offset is not known, narrowed with the authority's present time.
Core::NavSought narrowed(Core::NavSought sought, std::time_t service_now);

// --- settling (report_settling.cpp) ---

// This installation's own id, kept in the local row: it tells its shared records from another's.
std::string installation_id(Core& core);
// Stores the reported invoice with its transaction id; see the definition.
std::string store_reported(Core& core, const NavReportRecord& report, const std::string& transaction_id, bool local);
// Removes the local record of this very report and its shared record; true when the local one is gone
// (or it was never recorded, or a newer one stands in its place).
bool drop_report(Core& core, const NavReportRecord& report);
// True when another invoice is stored here under this document's number.
bool number_stored(Core& core, const json11::Json& document);
// True when the authority holds another invoice under this document's number.
bool number_taken(Core& core, const json11::Json& document);
// Tests only: when set (empty clears it), runs on a settling's thread with the local record it read,
// before it acts on it (a test lets a save send the report right there).
void set_settling_read_hook(std::function<void(const json11::Json& read)> hook);
// How a report settled here ended (one of the latest settled): none when not known.
NavSettled settled_outcome(Core& core, const std::string& request_id);

// --- drafts (report_draft.cpp) ---

// The draft that is to keep the invoice of a report that ended unstored (`verdict`): the kept draft
// it was issued from, else one named by the report itself; none when nothing is to be kept.
KeptDraft draft_for(Core& core, const NavReportRecord& report, const NavSettled& verdict);
// Inside the caller's transaction: keeps the report's invoice in the draft `named` (of draft_for, or
// as a verdict names it), whoever its keeper is, and tells of it. A draft kept already under that name
// is not written again; false when the draft could not be written.
bool keep_as_draft(Core& core, const NavReportRecord& report, const KeptDraft& named);
// Inside the caller's transaction: tells the user once that the invoice of `kept.number` is kept in
// the draft `kept.draft` (here, or by the installation that settled it).
bool tell_kept_draft(Core& core, const KeptDraft& kept);
// The draft kept last for the invoice of report `number`, while it is still to be told; empty when none.
KeptDraft kept_draft_of(Core& core, const std::string& number);
// Inside the caller's transaction: the kept draft the page of a stored invoice showed is used up,
// marked with the invoice (`invoice_name`, `number`) as a draft an invoice was made from is.
bool use_up_draft(Core& core, const json11::Json& document, const std::string& invoice_name, const std::string& number);

}  // namespace nav_report
