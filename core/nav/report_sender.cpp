// Who may still be sending a report: a call of this process, or another process of this computer
// that is still running; and whether a copy of what this computer sent can still be on its way.
#include "core/nav/report_internal.h"
#include "core/store/store_internal.h"

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include <unistd.h>

using json11::Json;

namespace nav_report {

namespace {

std::string file_text(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::string read = text.str();
    while (!read.empty() && (read.back() == '\n' || read.back() == ' ')) read.pop_back();
    return read;
}

// The start time of a process (clock ticks since boot), which tells it from a later one that reuses

// The reports whose call runs in this process, with the boot clock when each was begun.
std::mutex flight_mutex;
std::map<std::string, double> in_flight;

}  // namespace

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


InFlight::InFlight(std::string id) : request_id(std::move(id)) {
    std::lock_guard<std::mutex> lock(flight_mutex);
    in_flight[request_id] = boot_seconds();
}

InFlight::~InFlight() {
    std::lock_guard<std::mutex> lock(flight_mutex);
    in_flight.erase(request_id);
}

// The sender's own window runs on the boot clock from the moment its call began, before the record
// was written: the wall clock may be set meanwhile. The moment written as its sending and the offset
// measured with it go together into the shared record before anything goes out, so that every other
// installation judges it on the authority's clock; the update holds only over the version this one
// wrote, so that a record another installation removed meanwhile is never sent. The invoice goes out
// within a request's time of that moment, or not at all (see on_the_way_after_sending).
std::optional<NavSubmission::Outcome> announce_sending(Core& core, NavReportRecord& record, std::time_t service_time) {
    double begun = 0;
    {
        std::lock_guard<std::mutex> lock(flight_mutex);
        const auto found = in_flight.find(record.request_id);
        if (found == in_flight.end()) return NavSubmission::Outcome::window_closed;
        begun = found->second;
    }
    const double sent_boot = boot_seconds();
    if (sent_boot - begun > static_cast<double>(send_window())) return NavSubmission::Outcome::window_closed;
    if (service_time > 0) {
        record.service_offset = service_time - clock_now();
        core.save_local_member("nav_clock_offset", static_cast<double>(*record.service_offset));
        note_service_time(service_time);
    } else {
        // The last known one may be of another setting of this computer's clock.
        record.service_offset.reset();
    }
    record.phase = NavReportRecord::Phase::sending;
    record.sent = clock_now();
    record.sent_boot = sent_boot;
    if (!record.shared_tag.empty()) {
        std::string tag = record.shared_tag;
        if (!core.nav_reshare_report(record, tag)) return NavSubmission::Outcome::cloud_failed;
        record.shared_tag = tag;
    }
    // The moment its request leaves, known here alone: this computer judges its own report by it. The
    // request goes within the leaving margin of it, or not at all.
    record.left_boot = boot_seconds();
    if (!save_pending(core, record)) return NavSubmission::Outcome::store_failed;
    const double now = boot_seconds();
    if (now - sent_boot > static_cast<double>(nav_request_seconds()) ||
        now - *record.left_boot > static_cast<double>(leaving_margin()))
        return NavSubmission::Outcome::window_closed;
    return std::nullopt;
}

// The record was written on this computer: not on another one, nor on one whose data folder was
// copied here. Only then can its process be looked at.
bool this_computer(const NavReportRecord& report) {
    const std::string machine = nav_machine_id();
    return !machine.empty() && report.machine == machine;
}

// True while the process that recorded the report may still send it: a report call of this process,
// or another process of this computer that is still running.
bool sender_running(const NavReportRecord& report) {
    {
        std::lock_guard<std::mutex> lock(flight_mutex);
        if (in_flight.count(report.request_id)) return true;
    }
    if (report.pid <= 0 || report.pid == static_cast<long>(::getpid())) return false;
    return report.boot == boot_id() && !report.process_start.empty() && process_start(report.pid) == report.process_start;
}

// No copy of what this computer sent can still be on its way: the whole time a sending may take has
// passed in real time since the moment its request left (recorded here as it left), else since the
// moment written as its sending (the shared record's update came between). Where neither was recorded
// (a copy of the data folder made before it was), the sender's window counts too: it runs from before
// the record was written, on the same clock. A boot since then counts as at least the time this one
// has run.
bool nothing_on_the_way(const NavReportRecord& report) {
    const std::string boot = boot_id();
    if (!this_computer(report) || boot.empty() || report.boot.empty()) return false;
    const bool going = report.phase != NavReportRecord::Phase::recorded;
    std::optional<double> since_when = report.written_boot;
    std::time_t on_the_way = send_window() + on_the_way_after_sending();
    if (going && report.left_boot) {
        since_when = report.left_boot;
        on_the_way = on_the_way_after_leaving();
    } else if (going && report.sent_boot) {
        since_when = report.sent_boot;
        on_the_way = on_the_way_after_sending();
    }
    if (!since_when) return false;
    const double now = boot_seconds();
    const double since = report.boot == boot ? now - *since_when : now;
    return since >= static_cast<double>(on_the_way);
}

}  // namespace nav_report

using namespace nav_report;

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
