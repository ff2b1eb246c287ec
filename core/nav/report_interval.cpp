// The record of a report and its interval: when it was written, until when its reporter may send
// it, and when, on the authority's clock, a copy of it can have arrived.
#include "core/nav/report_internal.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

using json11::Json;

namespace nav_report {

namespace {

// The listing's interval reaches this far around the report on the authority's clock, once the
// difference of the two clocks is known; while it is not, as far as the authority's own tolerance of
// request timestamps (a day) reaches.
constexpr std::time_t kClockMargin = 300;
constexpr std::time_t kServiceTolerance = 86400;
// How far a difference of two clocks read off the authority's replies may be off (the time a reply
// takes, and the whole seconds it is written in).
constexpr std::time_t kMeasureMargin = 60;
// The longest a verdict's maker may give itself to finish its work.
constexpr std::time_t kLongestVerdict = 600;

// The authority's time as its latest reply in this run gave it, with the boot clock at that moment:
// carried forward in real time, it stays right whatever this computer's wall clock is set to since.
struct SeenTime {
    std::time_t service_time = 0;
    double boot = 0;
};
std::mutex seen_mutex;
std::optional<SeenTime> seen_time;

// When this run first saw each record of another writer, on this computer's clock, newest last: the
// record is no younger than that.
constexpr std::size_t kFirstSeenKept = 20;
std::vector<std::pair<std::string, std::time_t>> first_seen;

std::time_t first_seen_at(const std::string& request_id, std::time_t now) {
    std::lock_guard<std::mutex> lock(seen_mutex);
    for (const auto& [seen_id, seen] : first_seen)
        if (seen_id == request_id) return seen;
    first_seen.emplace_back(request_id, now);
    if (first_seen.size() > kFirstSeenKept) first_seen.erase(first_seen.begin());
    return now;
}

// The offset to the authority's clock that the record's writer measured for this very report: only a
// record written as it went on to send carries one (an earlier one may be of another clock setting).
std::optional<std::time_t> writer_offset(const NavReportRecord& report) {
    if (report.phase == NavReportRecord::Phase::recorded) return std::nullopt;
    return report.service_offset;
}

// The latest moment, on the writer's wall clock, a copy of the report can arrive.
std::time_t latest_arrival(const NavReportRecord& report) {
    if (report.phase != NavReportRecord::Phase::recorded && report.sent) return *report.sent + on_the_way_after_sending();
    return report.deadline + arrival_margin();
}

}  // namespace

std::optional<std::time_t> service_now() {
    std::lock_guard<std::mutex> lock(seen_mutex);
    if (!seen_time) return std::nullopt;
    return seen_time->service_time + static_cast<std::time_t>(boot_seconds() - seen_time->boot);
}

void note_service_time(std::time_t service_time) {
    if (service_time <= 0) return;
    std::lock_guard<std::mutex> lock(seen_mutex);
    seen_time = SeenTime{service_time, boot_seconds()};
}

void forget_service_time() {
    std::lock_guard<std::mutex> lock(seen_mutex);
    seen_time.reset();
    first_seen.clear();
}

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

std::time_t send_deadline() {
    return send_window() + nav_request_seconds();
}

std::time_t verdict_lifetime() {
    return 2 * nav_request_seconds();
}

// Counted from when this run first saw the verdict, for as long as its maker gave itself: no clock of
// another computer is trusted, and a lifetime past reason (or none, from an earlier version) is the
// usual one.
std::time_t finished_by(const std::string& request_id, std::time_t made, std::time_t until) {
    const std::time_t given = until - made;
    const std::time_t lifetime = given > 0 && given <= kLongestVerdict ? given : verdict_lifetime();
    return first_seen_at("verdict " + request_id, clock_now()) + lifetime;
}

std::time_t on_the_way_after_sending() {
    return 2 * nav_request_seconds() + arrival_margin();
}

// The local write between the moment recorded and the request leaving is short; a store held up for
// longer withholds the invoice rather than let its copy arrive later than judged.
long leaving_margin() {
    return std::max(1L, arrival_margin() / 2);
}

std::time_t on_the_way_after_leaving() {
    return nav_request_seconds() + leaving_margin() + arrival_margin();
}

// From when, on this computer's clock, nothing of another computer's record can be on its way. The
// latest arrival is compared on the authority's clock: the writer's time plus the offset it measured
// (as it sent; before it sends, as it last knew it), and the authority's present time as its latest
// reply here gave it, carried forward on the boot clock. A record is never judged on a clock that is
// not known: where either offset is not, it lives as long as its writer says it does (from its writing
// to its latest arrival, on the writer's clock), counted from when this run first saw it.
std::time_t free_from(const NavReportRecord& report) {
    const std::time_t now = clock_now();
    const std::optional<std::time_t> service = service_now();
    const bool before_sending = report.phase == NavReportRecord::Phase::recorded && report.announces_sending;
    const std::optional<std::time_t> writer = before_sending ? report.service_offset : writer_offset(report);
    const std::time_t latest = before_sending ? report.deadline + arrival_margin() : latest_arrival(report);
    if (writer && service) return latest + *writer - (*service - now) + kMeasureMargin;
    const std::time_t lifetime = std::max<std::time_t>(0, latest - report.written);
    return first_seen_at(report.request_id, now) + lifetime + kMeasureMargin;
}

// --- what is looked for ----------------------------------------------------------------------------

// The invoice data of a report, on the authority's clock: from when it was recorded to the latest
// moment a copy of it could arrive.
Core::NavSought sought_of(Core& core, const NavReportRecord& report) {
    Core::NavSought sought;
    sought.data_digest = report.data_digest;
    sought.content_digest = report.content_digest;
    // The invoice data made again from the record's document, as it was then: what it is, whatever
    // form the authority gives it back in; and, for a record of an earlier version, its digests.
    Json::object document = report.document;
    document.erase("nav_number_formatted");
    document.erase("request_signature_extra");
    const std::string rebuilt = core.nav_invoice_data_xml(report.lines, document, "");
    sought.material = nav_invoice_material(rebuilt);
    if (sought.data_digest.empty()) {
        const std::string data = base64_encode(rebuilt);
        sought.data_digest = sha3_512_hex(data);
        sought.content_digest = nav_content_digest(rebuilt);
    }
    sought.number = report.number;
    sought.tax_number = report.tax_number;
    sought.request_id = report.request_id;
    const std::optional<std::time_t> measured = writer_offset(report);
    sought.clock_known = measured.has_value();
    const std::time_t offset = measured.value_or(0);
    const std::time_t margin = sought.clock_known ? kClockMargin : kServiceTolerance + kClockMargin;
    sought.from = report.written + offset - margin;
    sought.to = std::max(latest_arrival(report), report.written) + offset + margin;
    // Sent in this very boot: how long ago is known in real time, whatever either clock says.
    if (report.phase != NavReportRecord::Phase::recorded && report.sent_boot && this_computer(report) &&
        !report.boot.empty() && report.boot == boot_id())
        sought.sent_ago = std::max(0.0, boot_seconds() - *report.sent_boot);
    return sought;
}

// The interval of a report whose clock offset is not known, with the authority's present time: a
// copy sent in this boot arrived about as long before it as real time has passed since; and nothing
// arrived after it.
Core::NavSought narrowed(Core::NavSought sought, std::time_t service_now) {
    if (sought.clock_known || service_now <= 0) return sought;
    if (sought.sent_ago) {
        const std::time_t sent = service_now - static_cast<std::time_t>(*sought.sent_ago);
        sought.from = std::max(sought.from, sent - kClockMargin);
        sought.to = std::min(sought.to, sent + on_the_way_after_sending() + kClockMargin);
    }
    sought.to = std::min(sought.to, service_now + 1);
    sought.from = std::min(sought.from, sought.to);
    return sought;
}

}  // namespace nav_report
