// The company's one shared record of an invoice report under way, kept in the account's cloud zone
// beside its rows. It is created only where none exists, so that of several installations of one
// company only one reports at a time, and any of them can settle it from the authority's records.
#include "core/Core.h"

using json11::Json;

namespace {

constexpr const char* kRecordType = "InvoiceReport";
constexpr const char* kRecordName = "invoice_report";

Json modify_body(const Core& core, Json operation) {
    return Json(Json::object{{"operations", Json::array{std::move(operation)}},
                             {"zoneID", Json::object{{"zoneName", core.current_account}}}});
}

}  // namespace

bool Core::nav_shares_reports() {
    return current_account != "DEMO" && !load_web_auth_token().empty();
}

Core::SharedWrite Core::nav_share_report(const Json& report, std::string& change_tag, std::string& reason) {
    const Json operation = Json::object{
        {"operationType", "create"},
        {"record", Json::object{{"recordType", kRecordType},
                                {"recordName", kRecordName},
                                {"fields", Json::object{{"data", Json::object{{"value", report.dump()}}}}}}}};
    Json reply;
    cloudkit_request("records/modify", modify_body(*this, operation), [&reply](Json answer) { reply = std::move(answer); });
    const Json& record = reply["records"][0];
    if (record["recordName"].string_value() == kRecordName && record["serverErrorCode"].string_value().empty() &&
        !record["recordChangeTag"].string_value().empty()) {
        change_tag = record["recordChangeTag"].string_value();
        return SharedWrite::written;
    }
    if (record["serverErrorCode"].string_value() == "EXISTS") return SharedWrite::held;
    reason = record["serverErrorCode"].is_string() ? record["serverErrorCode"].string_value()
                                                   : reply["serverErrorCode"].string_value();
    return SharedWrite::unreachable;
}

Json Core::nav_shared_report(bool& reachable) {
    const Json body(Json::object{{"query", Json::object{{"recordType", kRecordType}}},
                                 {"zoneID", Json::object{{"zoneName", current_account}}}});
    Json reply;
    cloudkit_request("records/query", body, [&reply](Json answer) { reply = std::move(answer); });
    reachable = reply.is_object() && reply["serverErrorCode"].string_value().empty() && reply["records"].is_array();
    if (!reachable) return Json();
    for (const Json& record : reply["records"].array_items()) {
        if (record["recordName"].string_value() != kRecordName) continue;
        const Json report = Json::parse(record["fields"]["data"]["value"].string_value());
        if (!report.is_object()) return Json();
        return Json::object{{"report", report}, {"tag", record["recordChangeTag"]}};
    }
    return Json();
}

bool Core::nav_unshare_report(const std::string& change_tag) {
    const Json operation = Json::object{
        {"operationType", "delete"},
        {"record", Json::object{{"recordName", kRecordName}, {"recordChangeTag", change_tag}}}};
    Json reply;
    cloudkit_request("records/modify", modify_body(*this, operation), [&reply](Json answer) { reply = std::move(answer); });
    const Json& record = reply["records"][0];
    // Gone already, or made anew by another installation since: nothing of this one is left.
    const std::string& code = record["serverErrorCode"].string_value();
    return record["deleted"].bool_value() || code == "NOT_FOUND" || code == "CONFLICT";
}
