// Adding, renaming, reordering and removing company accounts: the local accounts list first, then the
// account's cloud zone and the accounts record of the default zone.
#include "core/net/sync_internal.h"

using json11::Json;

namespace {

const Json default_zone(Json::object{{"zoneName", "_defaultZone"}});

Json accounts_replace_body(const Json::array& accounts) {
    return Json(Json::object{
        {"operations",
         Json::object{{"operationType", "forceReplace"},
                      {"record", Json::object{{"recordType", "Settings"},
                                              {"recordName", "accounts"},
                                              {"fields", Json::object{{"data", Json::object{
                                                                                   {"value", Json(accounts).dump()}}}}}}}}},
        {"zoneID", default_zone}});
}

// The zone answer names the account's zone: the zone step succeeded.
bool names_zone(const Json& answer, const Json& account) {
    const Json& zone = answer["zones"][0]["zoneID"]["zoneName"];
    return zone.is_string() && account["id"].is_string() && zone.string_value() == account["id"].string_value();
}

// The record answer names the accounts record without an error: the record step succeeded.
bool names_accounts_record(const Json& answer) {
    const Json& record = answer["records"][0];
    return record["recordName"].string_value() == "accounts" && record["serverErrorCode"].string_value().empty();
}

// What a failed step hands to the completion: the error the cloud gave (for the whole request or for
// the record), the answer it gave otherwise, an empty object when nothing readable came back.
Json failure(const Json& answer) {
    const Json& record = answer["records"][0];
    if (!record["serverErrorCode"].string_value().empty()) return record;
    return answer.is_object() ? answer : Json(Json::object{});
}

// Uploads the list as the accounts record and, once the cloud holds it, reads it back.
void replace_accounts_record(Core& core, const Json::array& accounts, const JsonCallback& done) {
    core.cloudkit_request("records/modify", accounts_replace_body(accounts), [&](Json answer) {
        if (!names_accounts_record(answer)) return call_completion(done, failure(answer));
        core.fetch_cloud_settings(finishing_completion(done));
    });
}

}  // namespace

Json zone_operation_body(const std::string& operation, const std::string& zone) {
    return Json(Json::object{
        {"operations", Json::object{{"operationType", operation},
                                    {"zone", Json::object{{"zoneID", Json::object{{"zoneName", zone}}}}}}}});
}

void Core::setup_account_zone(Json account, std::int16_t mode, JsonCallback done) {
    // The accounts query at the end may switch the open account: no pass may run meanwhile.
    std::lock_guard<std::recursive_mutex> pass(sync_mutex);
    const Json::array before = setting("local")["accounts"].array_items();
    Json::array accounts = before;

    const bool zone_mode = mode == -1 || mode == -2 || mode == -3;
    const std::string id = account["id"].string_value();
    // A zone is named by the entry's id: without one there is nothing to create or delete. An index
    // past the list names no entry.
    if ((zone_mode && id.empty()) || (mode >= 0 && static_cast<std::size_t>(mode) >= accounts.size())) {
        call_completion(done, Json());
        return;
    }

    if (mode == -1) {
        accounts.push_back(account);
    } else if (mode >= 0) {
        accounts[static_cast<std::size_t>(mode)] = account;
    } else if (mode == -2) {
        for (auto it = accounts.begin(); it != accounts.end(); ++it) {
            if ((*it)["id"] == account["id"]) {
                accounts.erase(it);
                break;
            }
        }
    }
    save_local_member("accounts", Json(accounts));

    // A step the cloud did not carry out puts the list back as it was: the cloud's copy still holds
    // the old one, and the next start would bring that back anyway. `done` learns why.
    const JsonCallback finish = [&](Json result) {
        if (!result.is_null()) save_local_member("accounts", Json(before));
        call_completion(done, std::move(result));
    };

    if (mode == -1) {
        cloudkit_request("zones/modify", zone_operation_body("create", id), [&](Json answer) {
            on_account_zone_created(std::move(answer), account, accounts, finish);
        });
    } else if (mode == -2) {
        cloudkit_request("zones/modify", zone_operation_body("delete", id), [&](Json answer) {
            on_zone_deleted_save_accounts(std::move(answer), account, accounts, finish);
        });
    } else if (mode == -3) {
        cloudkit_request("zones/modify", zone_operation_body("delete", id), [&](Json answer) {
            on_zone_deleted_delete_accounts(std::move(answer), account, accounts, finish);
        });
    } else {
        replace_accounts_record(*this, accounts, finish);
    }
}

void Core::on_account_zone_created(Json answer, const Json& account, const Json::array& accounts,
                                   const JsonCallback& done) {
    // A failed zone step sends nothing more.
    if (!names_zone(answer, account)) return call_completion(done, failure(answer));
    replace_accounts_record(*this, accounts, done);
}

void Core::on_zone_deleted_save_accounts(Json answer, const Json& account, const Json::array& accounts,
                                         const JsonCallback& done) {
    on_account_zone_created(std::move(answer), account, accounts, done);
}

void Core::on_zone_deleted_delete_accounts(Json answer, const Json& account, const Json::array&,
                                           const JsonCallback& done) {
    if (!names_zone(answer, account)) return call_completion(done, failure(answer));
    const Json body(Json::object{
        {"operations", Json::object{{"operationType", "forceDelete"}, {"record", Json::object{{"recordName", "accounts"}}}}},
        {"zoneID", default_zone}});
    cloudkit_request("records/modify", body, [&](Json deleted) {
        if (!names_accounts_record(deleted)) return call_completion(done, failure(deleted));
        // The last account is gone: the user is signed out.
        save_web_auth_token("");
        call_completion(done, Json());
    });
}
