// Handing a saved invoice, its PDF embedded, to the accounting service's document pool, and the
// invoices still owed to it (settings row "cashbook_pending", never uploaded).
#include "core/nav/report_internal.h"
#include "core/store/store_internal.h"

#include <algorithm>

using json11::Json;

std::string Core::cashbook_upload(std::vector<Json> lines, Json::object document, std::string token,
                                  std::string pdf_path) {
    // The sample company has no invoice data to hand over (only the fixed DEMO answer).
    if (current_account == "DEMO") return "";
    const std::string xml = nav_invoice_data_xml(std::move(lines), std::move(document), file_base64(pdf_path));

    // A line break in the stored token would start a header line of its own.
    std::erase_if(token, [](char c) { return c == '\r' || c == '\n'; });
    std::string base = endpoint_config().cashbook_url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    const Json reply = http_request(base + "/api/v3/document/pool/osa", Json(Json::object{{"xml", xml}}),
                                    "Authorization: Bearer " + token + "\nX-Request-ID: Tavrin");
    return reply["xml"].string_value();
}

std::vector<std::string> Core::cashbook_pending() {
    std::vector<std::string> names;
    const Json owed = setting(store::kCashbookRow);
    for (const Json& name : owed.array_items())
        if (!name.string_value().empty()) names.push_back(name.string_value());
    return names;
}

void Core::cashbook_uploaded(const std::string& record_name) {
    store::Transaction transaction(*this);
    Json::array owed = setting(store::kCashbookRow).array_items();
    std::erase_if(owed, [&record_name](const Json& name) { return name.string_value() == record_name; });
    const bool written =
        owed.empty() ? store::run(*this, "DELETE FROM settings WHERE recordName = ?", {store::kCashbookRow})
                     : save_record({{"recordName", store::kCashbookRow}, {"value", Json(owed).dump()}, {"synced", -1}},
                                   "settings");
    if (written) transaction.commit();
}

namespace {

// The cloud's reply to one request on the mark of an invoice's upload (null when none came).
Json mark_request(Core& core, const char* endpoint, Json request) {
    Json reply;
    core.cloudkit_request(endpoint, std::move(request), [&reply](Json answer) { reply = std::move(answer); });
    return reply["records"][0];
}

}  // namespace

Core::UploadMark Core::cashbook_mark_upload(const std::string& record_name) {
    // Without the company's cloud there is no other installation to ask.
    if (!nav_shares_reports()) return UploadMark::send;
    const std::string mark = "cashbook_upload_" + record_name;
    const std::string sender = nav_report::installation_id(*this);
    if (sender.empty()) return UploadMark::unknown;
    const Json zone = Json::object{{"zoneName", current_account.get()}};
    const Json fields = Json::object{{"data", Json::object{{"value", Json(Json::object{{"sender", sender}}).dump()}}}};
    const Json written = mark_request(
        *this, "records/modify",
        Json::object{{"operations", Json::array{Json::object{
                                        {"operationType", "create"},
                                        {"record", Json::object{{"recordType", "AccountingUpload"},
                                                                {"recordName", mark},
                                                                {"fields", fields}}}}}},
                     {"zoneID", zone}});
    if (written["recordName"].string_value() == mark && written["serverErrorCode"].string_value().empty() &&
        !written["recordChangeTag"].string_value().empty())
        return UploadMark::send;
    if (!is_standing_record_refusal(written)) return UploadMark::unknown;
    // Standing: this installation's own, from a sending cut off, or another's.
    const Json standing = mark_request(
        *this, "records/lookup",
        Json::object{{"records", Json::array{Json::object{{"recordName", mark}}}}, {"zoneID", zone}});
    if (standing["recordName"].string_value() != mark || !standing["serverErrorCode"].string_value().empty())
        return UploadMark::unknown;
    if (Json::parse(standing["fields"]["data"]["value"].string_value())["sender"].string_value() == sender)
        return UploadMark::send;
    cashbook_uploaded(record_name);
    return UploadMark::elsewhere;
}

bool Core::cashbook_accepted(const std::string& reply) {
    const Json receipt = Json::parse(reply);
    return receipt.is_object() && !receipt["id"].is_null();
}

bool Core::cashbook_claim(const std::string& record_name) {
    // Under the store's lock: the owed list cannot change between the look and the claim.
    std::lock_guard<std::recursive_mutex> lock(store_mutex);
    const std::vector<std::string> owed = cashbook_pending();
    if (cashbook_claims.count(record_name) || std::find(owed.begin(), owed.end(), record_name) == owed.end()) return false;
    cashbook_claims.insert(record_name);
    return true;
}

void Core::cashbook_release(const std::string& record_name) {
    std::lock_guard<std::recursive_mutex> lock(store_mutex);
    cashbook_claims.erase(record_name);
}

bool Core::accounting_on() {
    const Json accounting = setting("defaults")["accounting"];
    return current_account != "DEMO" && accounting.is_string() && accounting.string_value().size() > 16;
}
