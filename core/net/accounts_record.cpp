// The accounts record: the list of the user's companies, kept as one record of the private database's
// default zone, and the machine brought in line with it.
#include "core/store/store_internal.h"

#include <cstdio>

using json11::Json;

namespace {

const Json default_zone(Json::object{{"zoneName", "_defaultZone"}});

// The accounts record of a query answer: the one named "accounts"; a lone record without a name
// counts as it. Null when there is none.
const Json* accounts_record(const Json::array& records) {
    for (const Json& record : records) {
        if (record["recordName"].string_value() == "accounts") return &record;
    }
    if (records.size() == 1 && !records[0]["recordName"].is_string()) return &records[0];
    return nullptr;
}

}  // namespace

void Core::fetch_cloud_settings(JsonCallback done) {
    // The open account may change here: no pass may run meanwhile.
    std::lock_guard<std::recursive_mutex> pass(sync_mutex);
    open_database();
    const Json body(Json::object{{"query", Json::object{{"recordType", "Settings"}}}, {"zoneID", default_zone}});
    cloudkit_request("records/query", body, [this, &done](Json answer) { on_cloud_settings(std::move(answer), done); });
}

void Core::on_cloud_settings(Json answer, const JsonCallback& done) {
    std::lock_guard<std::recursive_mutex> pass(sync_mutex);
    if (answer.is_null() || !answer["serverErrorCode"].string_value().empty()) {
        call_completion(done, std::move(answer));
        return;
    }
    // Only a readable answer may start a first start: an answer without a record list, or an
    // accounts record whose list cannot be read, changes nothing (it would replace the cloud's list).
    const Json& records = answer["records"];
    if (!records.is_array()) {
        call_completion(done, std::move(answer));
        return;
    }
    Json::array list;
    if (const Json* record = accounts_record(records.array_items())) {
        const Json& value = (*record)["fields"]["data"]["value"];
        const Json parsed = value.is_string() ? Json::parse(value.string_value()) : Json();
        if (!parsed.is_array()) {
            call_completion(done, std::move(answer));
            return;
        }
        list = parsed.array_items();
    }

    if (list.empty()) {
        const std::string id = new_record_name();
        if (id.empty()) {
            call_completion(done, std::move(answer));
            return;
        }
        std::puts("FIRST START");
        std::fflush(stdout);
        current_account = id;
        const Json body(Json::object{
            {"operations", Json::object{{"operationType", "create"},
                                        {"zone", Json::object{{"zoneID", Json::object{{"zoneName", id}}}}}}}});
        cloudkit_request("zones/modify", body,
                         [this, &done](Json created) { save_cloud_settings(std::move(created), done); });
        return;
    }

    save_local_member("accounts", Json(list));
    bool found = false;
    for (const Json& entry : list) {
        if (entry["id"].is_string() && entry["id"].string_value() == current_account) found = true;
    }
    if (current_account != "DEMO" && !found) {
        // The open account is gone from the cloud: the sample company takes over.
        current_account = "DEMO";
        fetch_cloud_settings(empty_completion());
        call_completion(done, std::move(answer));
        return;
    }
    if (current_account == "DEMO") {
        call_completion(done, std::move(answer));
        return;
    }
    fetch_zone_changes(sync_zone_entry(), [&done](Json result) { call_completion(done, std::move(result)); });
}

void Core::save_cloud_settings(Json, const JsonCallback& done) {
    std::lock_guard<std::recursive_mutex> pass(sync_mutex);
    const Json list(Json::array{Json::object{{"id", current_account.get()}, {"name", translated("1_account", "")}}});
    const Json body(Json::object{
        {"operations",
         Json::object{{"operationType", "forceReplace"},
                      {"record", Json::object{{"recordType", "Settings"},
                                              {"recordName", "accounts"},
                                              {"fields", Json::object{{"data", Json::object{{"value", list.dump()}}}}}}}}},
        {"zoneID", default_zone}});
    cloudkit_request("records/modify", body,
                     [this, &done](Json saved) { on_cloud_settings_saved(std::move(saved), done); });
}

void Core::on_cloud_settings_saved(Json answer, const JsonCallback& done) {
    std::lock_guard<std::recursive_mutex> pass(sync_mutex);
    // The new account's database does not exist yet: it is made with its schema and default rows.
    open_database();
    save_local_member("accounts", Json(Json::array{Json::object{{"id", current_account.get()},
                                                                 {"name", translated("1_account", "")}}}));
    call_completion(done, std::move(answer));
}
