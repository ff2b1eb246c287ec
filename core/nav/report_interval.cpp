// The record of a report and its interval: when it was written, until when its reporter may send
// it, and when, on the authority's clock, a copy of it can have arrived.
#include "core/nav/report_internal.h"

#include <algorithm>

using json11::Json;

namespace nav_report {

namespace {

// The listing's interval reaches this far around the report on the authority's clock, once the
// difference of the two clocks is known; while it is not, as far as the authority's own tolerance of
// request timestamps (a day) reaches.
constexpr std::time_t kClockMargin = 300;
constexpr std::time_t kServiceTolerance = 86400;
// Another installation's clock may differ from this one's by this much.
constexpr std::time_t kPeerClockMargin = 60;

std::time_t time_of(const Json& value) {
    return static_cast<std::time_t>(value.number_value());
}

}  // namespace

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

}  // namespace nav_report
