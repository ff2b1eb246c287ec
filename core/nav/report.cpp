// An invoice's report to the tax authority and its store write, kept in step. What may reach the
// service is recorded first (here, and in the company's shared cloud record where the account uses
// the cloud), and a report whose answer never came is settled from the service's own records. A
// number is freed only once the service is known not to hold it, never because time has passed.
#include "core/nav/report_internal.h"
#include "core/store/store_internal.h"

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include <unistd.h>

using json11::Json;
using namespace nav_report;

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

namespace {

using PhaseCallback = std::function<void(const NavReportRecord&)>;

NavReport report_of(NavReport::Result result, std::string message = "") {
    NavReport report;
    report.result = result;
    report.message = std::move(message);
    return report;
}

// Why the cloud's changes are not in hand, told as the report's result.
NavReport report_of_download(const Core::ChangeDownload& download) {
    switch (download.result) {
    case Core::ChangeDownload::Result::refused:
        return report_of(NavReport::Result::changes_refused, download.last_reply["serverErrorCode"].string_value());
    case Core::ChangeDownload::Result::not_applied:
        return report_of(NavReport::Result::changes_unwritten);
    case Core::ChangeDownload::Result::unreachable:
    case Core::ChangeDownload::Result::whole:
        break;
    }
    return report_of(NavReport::Result::cloud);
}

NavReport waiting_report(const NavSettled& pending) {
    NavReport report = report_of(NavReport::Result::waiting);
    report.pending = pending;
    return report;
}

// Takes the company's shared record for a report recorded here; what the other installations stored
// up to that moment comes in, so that an invoice of the same number is seen. Not written: the report
// is dropped and the result says why (an empty result: taken and the number still free).
std::optional<NavReport> share_report(Core& core, NavReportRecord& record) {
    std::string tag;
    std::string reason;
    const Core::SharedWrite shared = core.nav_share_report(record, tag, reason);
    if (shared != Core::SharedWrite::written) {
        drop_report(core, record);
        if (shared == Core::SharedWrite::unreachable) return report_of(NavReport::Result::cloud, reason);
        // Another installation's report stands (or one of this one whose removal was left): settled
        // here if its outcome is known, else waited for; settled, the number is taken again.
        NavReport theirs = waiting_report(core.nav_settle_report(true));
        if (theirs.pending.result != NavSettled::Result::waiting) return report_of(NavReport::Result::renumber);
        return theirs;
    }
    record.shared_tag = tag;
    const Core::ChangeDownload download = core.download_changes();
    if (download.result != Core::ChangeDownload::Result::whole) {
        drop_report(core, record);
        return report_of_download(download);
    }
    if (number_stored(core, Json(record.document))) {
        drop_report(core, record);
        return report_of(NavReport::Result::renumber);
    }
    if (!save_pending(core, record)) {
        drop_report(core, record);
        return report_of(NavReport::Result::failed);
    }
    return std::nullopt;
}

// How a settled report ended, told as the save's result; none while it is still to be settled.
std::optional<NavReport> report_of_settled(const NavSettled& settled) {
    switch (settled.result) {
    case NavSettled::Result::stored: {
        NavReport report = report_of(NavReport::Result::stored);
        report.record_name = settled.record_name;
        return report;
    }
    case NavSettled::Result::taken:
        return report_of(NavReport::Result::taken);
    case NavSettled::Result::refused:
        return report_of(NavReport::Result::refused, settled.message);
    case NavSettled::Result::dropped:
        return report_of(NavReport::Result::dropped);
    case NavSettled::Result::unknown:
        return report_of(NavReport::Result::outcome_unknown);
    case NavSettled::Result::none:
    case NavSettled::Result::waiting:
        break;
    }
    return std::nullopt;
}

// A report settled by another thread while this one waited for it, told as it ended there.
NavReport settled_meanwhile(Core& core, const std::string& request_id) {
    if (std::optional<NavReport> ended = report_of_settled(settled_outcome(core, request_id))) return *ended;
    // Gone from the list of the latest settled ones: what became of it cannot be told.
    return report_of(NavReport::Result::failed);
}

// Waits for the outcome of a report that went out: asked at once, then every few seconds, for as
// long as the save may wait and the answer may still change.
NavReport await_outcome(Core& core, const std::string& request_id) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(Core::nav_settle_seconds());
    auto pause = std::chrono::seconds(2);
    NavSettled now;
    while (true) {
        now = core.nav_settle_report();
        // Settled meanwhile by another thread (the background query): told as it ended there.
        if (now.result == NavSettled::Result::none) return settled_meanwhile(core, request_id);
        if (std::optional<NavReport> ended = report_of_settled(now)) return *ended;
        // The listing is read a page at a time: each pass reads on. An authority briefly unavailable
        // is asked again.
        const bool may_change = now.reason == NavSettled::Reason::sending ||
                                now.reason == NavSettled::Reason::processing ||
                                now.reason == NavSettled::Reason::listing_unread ||
                                now.reason == NavSettled::Reason::unavailable;
        if (!may_change || std::chrono::steady_clock::now() + pause > until) break;
        std::this_thread::sleep_for(pause);
        pause = std::chrono::seconds(3);
    }
    NavReport report = waiting_report(now);
    report.sent_now = true;
    return report;
}

// The record of a report about to go out: what is sent (its digests, its document and lines), under
// which tax number, and who sends it from where, so that any installation can settle it.
NavReportRecord new_record(Core& core, const std::string& request_id, const Json::object& document,
                           const std::vector<Json>& lines, const Core::NavPayload& payload) {
    std::string decoded = payload.data;
    decoded.resize(base64_decode(decoded.size(), decoded.data()));
    NavReportRecord record;
    record.request_id = request_id;
    record.number = Json(document)["number_formatted"].string_value();
    record.written = clock_now();
    record.deadline = record.written + send_deadline();
    record.data_digest = sha3_512_hex(payload.data);
    record.content_digest = nav_content_digest(decoded);
    // Asked after under the tax number the invoice went under.
    record.tax_number = Json(document)["supplier_identifier_number"].string_value();
    if (record.tax_number.empty()) record.tax_number = core.setting("supplier")["identifier_number"].string_value();
    record.installation = installation_id(core);
    record.machine = nav_machine_id();
    record.store_file = store::file_identity(core);
    record.pid = static_cast<long>(::getpid());
    record.process_start = process_start(::getpid());
    record.boot = boot_id();
    record.written_boot = boot_seconds();
    record.document = document;
    record.lines = Json::array(lines.begin(), lines.end());
    // The difference of the authority's clock from this one, as last seen, until this report's token
    // exchange measures its own.
    if (const Json offset = core.setting("local")["nav_clock_offset"]; offset.is_number())
        record.service_offset = static_cast<std::time_t>(offset.number_value());
    return record;
}

// A submission that never went out, told as the save's result.
NavReport withheld(const NavSubmission& sent) {
    switch (sent.outcome) {
    case NavSubmission::Outcome::window_closed:
        return report_of(NavReport::Result::window_closed);
    case NavSubmission::Outcome::cloud_failed:
        return report_of(NavReport::Result::cloud_update);
    case NavSubmission::Outcome::store_failed:
        return report_of(NavReport::Result::failed);
    default:
        return report_of(NavReport::Result::not_sent);
    }
}

// Acts on how the submission ended: the result when it is final, none when its outcome is still to
// be asked.
std::optional<NavReport> after_submission(Core& core, NavReportRecord& record, const NavSubmission& sent) {
    switch (sent.outcome) {
    case NavSubmission::Outcome::accepted:
        if (core.current_account == "DEMO") {
            NavReport stored = report_of(NavReport::Result::stored);
            stored.record_name = store_reported(core, record, sent.text, true);
            if (stored.record_name.empty()) stored.result = NavReport::Result::failed;
            return stored;
        }
        // Received, not yet processed: stored once the authority has processed it. Its transaction is
        // kept, so that its status is asked directly from now on.
        record.phase = NavReportRecord::Phase::received;
        record.transaction_id = sent.text;
        save_pending(core, record);
        return std::nullopt;
    case NavSubmission::Outcome::refused:
        drop_report(core, record);
        return report_of(NavReport::Result::refused, sent.text);
    case NavSubmission::Outcome::unavailable:
        drop_report(core, record);
        return report_of(NavReport::Result::unavailable);
    case NavSubmission::Outcome::not_reached:
    case NavSubmission::Outcome::window_closed:
    case NavSubmission::Outcome::cloud_failed:
    case NavSubmission::Outcome::store_failed:
        drop_report(core, record);
        return withheld(sent);
    case NavSubmission::Outcome::unknown:
        break;
    }
    return std::nullopt;
}

// Submits the invoice; an authority that says it is briefly unavailable before anything went out is
// asked again every few seconds within the save's wait (the sender's window still decides whether
// the invoice may go).
NavSubmission submitted(Core& core, const std::vector<Json>& lines, const Json::object& document,
                        const std::string& request_id, NavReportRecord& record, const Core::NavPayload& payload,
                        const PhaseCallback& on_phase) {
    auto before_send = [&core, &record, &on_phase](std::time_t service_time) {
        const std::optional<NavSubmission::Outcome> withheld = announce_sending(core, record, service_time);
        if (!withheld && on_phase) on_phase(record);
        return withheld;
    };
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(Core::nav_settle_seconds());
    const auto pause = std::chrono::seconds(3);
    NavSubmission sent = core.nav_submit_invoice(lines, document, request_id, before_send, &payload);
    while (sent.outcome == NavSubmission::Outcome::unavailable && std::chrono::steady_clock::now() + pause <= until) {
        std::this_thread::sleep_for(pause);
        sent = core.nav_submit_invoice(lines, document, request_id, before_send, &payload);
    }
    return sent;
}

// Sends the report of `request_id`, recorded first, and waits for its outcome.
NavReport report_recorded(Core& core, const std::string& request_id, const std::vector<Json>& lines,
                          const Json::object& document, const Core::NavPayload& payload,
                          const PhaseCallback& on_phase) {
    std::optional<InFlight> flight(std::in_place, request_id);
    NavReportRecord record = new_record(core, request_id, document, lines, payload);
    if (!save_pending(core, record)) return report_of(NavReport::Result::failed);
    if (on_phase) on_phase(record);

    // Shared with the company's other installations before anything is sent: only one reports at a time.
    if (core.nav_shares_reports()) {
        if (std::optional<NavReport> refused = share_report(core, record)) return *refused;
    }

    // Sent only within the window the shared record promises, and only once this installation has
    // recorded, here and in the shared record, that it is sending, with the authority's clock as its
    // token exchange gave it.
    const NavSubmission sent = submitted(core, lines, document, request_id, record, payload, on_phase);
    flight.reset();
    if (std::optional<NavReport> ended = after_submission(core, record, sent)) return *ended;
    if (record.phase == NavReportRecord::Phase::received && on_phase) on_phase(record);
    return await_outcome(core, request_id);
}

}  // namespace

NavReport Core::nav_report_invoice(std::vector<Json> lines, Json::object document, InvoiceKeeper keeper,
                                   std::function<void(const NavReportRecord&)> on_phase) {
    const NavSettled earlier = nav_settle_report();
    if (earlier.result == NavSettled::Result::waiting) return waiting_report(earlier);
    // The authority holds another invoice of this number (learnt just now or before): never sent again.
    if (number_taken(*this, Json(document))) return report_of(NavReport::Result::taken);
    // The earlier report settled just now may have stored its invoice under this very number.
    if (number_stored(*this, Json(document))) return report_of(NavReport::Result::renumber);

    // What would be sent, checked before anything is recorded: invalid data never leaves.
    document.erase("nav_number_formatted");
    document.erase("request_signature_extra");
    const NavPayload payload = nav_invoice_payload(lines, document);
    if (current_account != "DEMO" && payload.data.empty()) return report_of(NavReport::Result::refused, payload.error);

    const std::string request_id = nav_new_request_id();
    // Held before it is recorded: whichever thread settles it, its page is its keeper.
    if (keeper == InvoiceKeeper::page) nav_hold_for_page(request_id);
    NavReport report = report_recorded(*this, request_id, lines, document, payload, on_phase);
    const bool unstored = report.result == NavReport::Result::dropped || report.result == NavReport::Result::refused ||
                          report.result == NavReport::Result::taken;
    if (unstored) report.kept = nav_kept_draft(request_id);
    // The page keeps a report still to be settled, or the draft of one that ended unstored.
    const bool kept_on = (report.result == NavReport::Result::waiting && report.sent_now) || report.kept;
    if (keeper == InvoiceKeeper::page && !kept_on) nav_release_invoice(request_id);
    return report;
}
