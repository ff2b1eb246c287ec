// The company's one shared record of an invoice report under way, kept in the account's cloud zone
// beside its rows. It is created only where none exists, so that of several installations of one
// company only one reports at a time, and any of them can settle it from the authority's records.
#include "core/Core.h"

using json11::Json;

namespace {

constexpr const char* kRecordType = "InvoiceReport";
constexpr const char* kRecordName = "invoice_report";

// Sends one operation on the shared record; the cloud's whole reply (null when none came).
Json modify(Core& core, Json operation) {
    const Json body(Json::object{{"operations", Json::array{std::move(operation)}},
                                 {"zoneID", Json::object{{"zoneName", core.current_account}}}});
    Json reply;
    core.cloudkit_request("records/modify", body, [&reply](Json answer) { reply = std::move(answer); });
    return reply;
}

// The record's fields: the report, saying that its reporter sends only once it has written into this
// very record that it does so (until then, removing the record stops the sending).
Json report_fields(Json::object report) {
    report["announces_sending"] = true;
    return Json::object{{"data", Json::object{{"value", Json(report).dump()}}}};
}

}  // namespace

bool is_standing_record_refusal(const Json& entry) {
    const std::string& code = entry["serverErrorCode"].string_value();
    return code == "EXISTS" || code == "CONFLICT";
}

bool Core::nav_shares_reports() {
    return current_account != "DEMO" && !load_web_auth_token().empty();
}

Core::SharedWrite Core::nav_share_report(const Json& report, std::string& change_tag, std::string& reason) {
    const Json operation = Json::object{
        {"operationType", "create"},
        {"record", Json::object{{"recordType", kRecordType},
                                {"recordName", kRecordName},
                                {"fields", report_fields(report.object_items())}}}};
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
                                 {"zoneID", Json::object{{"zoneName", current_account}}}});
    Json reply;
    cloudkit_request("records/lookup", body, [&reply](Json answer) { reply = std::move(answer); });
    const Json& record = reply["records"][0];
    reachable = reply.is_object() && reply["serverErrorCode"].string_value().empty() &&
                record["recordName"].string_value() == kRecordName &&
                (record["serverErrorCode"].string_value().empty() || record["serverErrorCode"].string_value() == "NOT_FOUND");
    if (!reachable || !record["serverErrorCode"].string_value().empty()) return Json();
    const Json report = Json::parse(record["fields"]["data"]["value"].string_value());
    // Standing, but not readable here (written by another version, or damaged): it is not "none".
    if (!report.is_object() || report["request_id"].string_value().empty())
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
    return reachable && standing["report"]["replaces_tag"].string_value() != change_tag;
}

bool Core::nav_reshare_report(const Json& report, std::string& change_tag) {
    Json::object shared = report.object_items();
    shared.erase("shared_tag");
    // A reader that meant to remove the record it read can tell that it was this report's own.
    shared["replaces_tag"] = change_tag;
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
