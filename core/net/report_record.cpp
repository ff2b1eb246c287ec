// The company's one shared record of an invoice report under way, kept in the account's cloud zone
// beside its rows. It is created only where none exists, so that of several installations of one
// company only one reports at a time, and any of them can settle it from the authority's records.
#include "core/Core.h"
#include "core/nav/report_internal.h"

using json11::Json;

namespace {

constexpr const char* kRecordType = "InvoiceReport";
constexpr const char* kRecordName = "invoice_report";

// Sends one operation on the shared record; the cloud's whole reply (null when none came).
Json modify(Core& core, Json operation) {
    const Json body(Json::object{{"operations", Json::array{std::move(operation)}},
                                 {"zoneID", Json::object{{"zoneName", core.current_account.get()}}}});
    Json reply;
    core.cloudkit_request("records/modify", body, [&reply](Json answer) { reply = std::move(answer); });
    return reply;
}

// The record's fields: the report, saying that its reporter sends only once it has written into this
// very record that it does so (until then, removing the record stops the sending). The change tag of
// the record is the cloud's, never a member of it.
Json report_fields(NavReportRecord report) {
    report.announces_sending = true;
    report.shared_tag.clear();
    return Json::object{{"data", Json::object{{"value", report.json().dump()}}}};
}

std::optional<double> number_of(const Json& value) {
    if (!value.is_number()) return std::nullopt;
    return value.number_value();
}

std::optional<std::time_t> time_of(const Json& value) {
    if (!value.is_number()) return std::nullopt;
    return static_cast<std::time_t>(value.number_value());
}

}  // namespace

// Every version's record reads: one of an earlier version has only the time of its sending (no
// "written"), no deadline of its own, and does not name its database file.
std::optional<NavReportRecord> NavReportRecord::read(const Json& stored) {
    if (!stored.is_object() || stored["request_id"].string_value().empty()) return std::nullopt;
    NavReportRecord record;
    record.stored = stored.object_items();
    record.request_id = stored["request_id"].string_value();
    record.number = stored["number_formatted"].string_value();
    record.tax_number = stored["tax_number"].string_value();
    record.data_digest = stored["data_digest"].string_value();
    record.content_digest = stored["content_digest"].string_value();
    record.transaction_id = stored["transaction_id"].string_value();
    record.installation = stored["installation"].string_value();
    record.machine = stored["machine"].string_value();
    if (stored["store_file"].is_string()) record.store_file = stored["store_file"].string_value();
    record.pid = static_cast<long>(stored["pid"].number_value());
    record.process_start = stored["process_start"].string_value();
    record.boot = stored["boot"].string_value();
    record.shared_tag = stored["shared_tag"].string_value();
    record.replaces_tag = stored["replaces_tag"].string_value();
    record.announces_sending = stored["announces_sending"].bool_value();
    record.sent = time_of(stored["sent"]);
    record.written = time_of(stored["written"]).value_or(record.sent.value_or(0));
    record.deadline = time_of(stored["deadline"]).value_or(record.written + nav_report::send_deadline());
    record.written_boot = number_of(stored["written_boot"]);
    record.sent_boot = number_of(stored["sent_boot"]);
    record.left_boot = number_of(stored["left_boot"]);
    record.service_offset = time_of(stored["service_offset"]);
    record.document = stored["document"].object_items();
    record.lines = stored["lines"].array_items();
    record.phase = !record.transaction_id.empty() ? Phase::received : record.sent ? Phase::sending : Phase::recorded;
    return record;
}

Json NavReportRecord::json() const {
    Json::object out = stored;
    auto put_text = [&out](const char* name, const std::string& value) {
        if (value.empty()) out.erase(name);
        else out[name] = value;
    };
    auto put_number = [&out](const char* name, std::optional<double> value) {
        if (value) out[name] = *value;
        else out.erase(name);
    };
    auto put_time = [&put_number](const char* name, std::optional<std::time_t> value) {
        put_number(name, value ? std::optional<double>(static_cast<double>(*value)) : std::nullopt);
    };
    out["request_id"] = request_id;
    out["number_formatted"] = number;
    put_text("tax_number", tax_number);
    put_text("data_digest", data_digest);
    put_text("content_digest", content_digest);
    put_text("transaction_id", phase == Phase::received ? transaction_id : std::string());
    put_text("installation", installation);
    put_text("machine", machine);
    if (store_file) out["store_file"] = *store_file;
    else out.erase("store_file");
    put_number("pid", pid > 0 ? std::optional<double>(static_cast<double>(pid)) : std::nullopt);
    put_text("process_start", process_start);
    put_text("boot", boot);
    put_text("shared_tag", shared_tag);
    put_text("replaces_tag", replaces_tag);
    if (announces_sending) out["announces_sending"] = true;
    else out.erase("announces_sending");
    put_time("written", written);
    put_time("deadline", deadline);
    put_time("sent", phase == Phase::recorded ? std::nullopt : sent);
    put_number("written_boot", written_boot);
    put_number("sent_boot", phase == Phase::recorded ? std::nullopt : sent_boot);
    put_number("left_boot", phase == Phase::recorded ? std::nullopt : left_boot);
    put_time("service_offset", service_offset);
    out["document"] = document;
    out["lines"] = lines;
    return out;
}

bool is_standing_record_refusal(const Json& entry) {
    const std::string& code = entry["serverErrorCode"].string_value();
    return code == "EXISTS" || code == "CONFLICT";
}

bool Core::nav_shares_reports() {
    return current_account != "DEMO" && !load_web_auth_token().empty();
}

Core::SharedWrite Core::nav_share_report(const NavReportRecord& report, std::string& change_tag, std::string& reason) {
    const Json operation = Json::object{
        {"operationType", "create"},
        {"record", Json::object{{"recordType", kRecordType},
                                {"recordName", kRecordName},
                                {"fields", report_fields(report)}}}};
    const Json reply = modify(*this, operation);
    const Json& record = reply["records"][0];
    if (record["recordName"].string_value() == kRecordName && record["serverErrorCode"].string_value().empty() &&
        !record["recordChangeTag"].string_value().empty()) {
        change_tag = record["recordChangeTag"].string_value();
        return SharedWrite::written;
    }
    // The cloud refuses a create over a standing record in either of two words.
    if (is_standing_record_refusal(record)) return SharedWrite::held;
    reason = record["serverErrorCode"].is_string() ? record["serverErrorCode"].string_value()
                                                   : reply["serverErrorCode"].string_value();
    return SharedWrite::unreachable;
}

Json Core::nav_shared_report(bool& reachable) {
    // Looked up by its fixed name: no query index is needed for it.
    const Json body(Json::object{{"records", Json::array{Json::object{{"recordName", kRecordName}}}},
                                 {"zoneID", Json::object{{"zoneName", current_account.get()}}}});
    Json reply;
    cloudkit_request("records/lookup", body, [&reply](Json answer) { reply = std::move(answer); });
    const Json& record = reply["records"][0];
    reachable = reply.is_object() && reply["serverErrorCode"].string_value().empty() &&
                record["recordName"].string_value() == kRecordName &&
                (record["serverErrorCode"].string_value().empty() || record["serverErrorCode"].string_value() == "NOT_FOUND");
    if (!reachable || !record["serverErrorCode"].string_value().empty()) return Json();
    const Json report = Json::parse(record["fields"]["data"]["value"].string_value());
    // Standing, but not readable here (written by another version, or damaged): it is not "none".
    if (!NavReportRecord::read(report))
        return Json::object{{"unreadable", true}, {"tag", record["recordChangeTag"]}};
    return Json::object{{"report", report}, {"tag", record["recordChangeTag"]}};
}

bool Core::nav_unshare_report(const std::string& change_tag) {
    const Json operation = Json::object{
        {"operationType", "delete"},
        {"record", Json::object{{"recordName", kRecordName}, {"recordChangeTag", change_tag}}}};
    const Json reply = modify(*this, operation);
    const Json& record = reply["records"][0];
    const std::string& code = record["serverErrorCode"].string_value();
    if (record["deleted"].bool_value() || code == "NOT_FOUND") return true;
    if (code != "CONFLICT") return false;
    // Changed since: made anew by another report (nothing of this one is left), or written again by
    // this very report's sender as it went on to send it (it stands).
    bool reachable = false;
    const Json standing = nav_shared_report(reachable);
    const std::optional<NavReportRecord> written = NavReportRecord::read(standing["report"]);
    return reachable && (!written || written->replaces_tag != change_tag);
}

bool Core::nav_reshare_report(const NavReportRecord& report, std::string& change_tag) {
    NavReportRecord shared = report;
    // A reader that meant to remove the record it read can tell that it was this report's own.
    shared.replaces_tag = change_tag;
    const Json operation = Json::object{
        {"operationType", "update"},
        {"record", Json::object{{"recordType", kRecordType},
                                {"recordName", kRecordName},
                                {"recordChangeTag", change_tag},
                                {"fields", report_fields(std::move(shared))}}}};
    const Json reply = modify(*this, operation);
    const Json& record = reply["records"][0];
    if (record["recordName"].string_value() != kRecordName || !record["serverErrorCode"].string_value().empty() ||
        record["recordChangeTag"].string_value().empty())
        return false;
    change_tag = record["recordChangeTag"].string_value();
    return true;
}
