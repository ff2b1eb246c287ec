// The sync's state in the settings row "local" (never uploaded): read and written here only, under
// the member names earlier versions wrote, so their files are read alike.
#include "core/net/sync_internal.h"

#include "core/store/store_internal.h"

using json11::Json;

namespace {

constexpr const char* kToken = "syncToken";
// {recordName: [digest, ...]}
constexpr const char* kUploaded = "uploaded";
// [{recordName, recordType}]
constexpr const char* kSetAside = "set_aside";
constexpr const char* kFromStart = "download_from_start";
constexpr const char* kFromStartUnproven = "download_from_start_unproven";
constexpr const char* kFromStartZone = "download_from_start_zone";
// Beside kFromStart for a first listing: earlier versions wrote kFromStart alone for one that keeps
// the rows pending here.
constexpr const char* kFromStartFirst = "download_from_start_first";
constexpr const char* kZoneIdentity = "zone_identity";
constexpr const char* kRemoved = "removed_by_listing";
constexpr const char* kZoneMadeAnew = "zone_made_anew";
constexpr const char* kOvertaken = "overtaken_deletions";
constexpr const char* kKeptUnconfirmed = "kept_over_deletions";

Json uploaded_json(const sync_state::Uploaded& uploaded) {
    Json::object members;
    for (const auto& [name, digests] : uploaded) members[name] = Json::array(digests.begin(), digests.end());
    return members;
}

// Sets `name` to `value`, or removes it when the value is its empty default.
template <typename Value>
void set_member(Json::object& local, const char* name, const Value& value, bool is_default) {
    if (is_default) local.erase(name);
    else local[name] = Json(value);
}

}  // namespace

namespace sync_state {

SyncState read(Core& core) {
    const Json local = core.setting("local");
    SyncState state;
    state.token = local[kToken].string_value();
    for (const auto& [name, digests] : local[kUploaded].object_items())
        for (const Json& digest : digests.array_items()) state.uploaded[name].insert(digest.string_value());
    state.listing.under_way = local[kFromStart].bool_value();
    state.listing.unproven = local[kFromStartUnproven].bool_value();
    state.listing.keeps_pending = state.listing.under_way && !local[kFromStartFirst].bool_value();
    state.listing.zone_identity = local[kFromStartZone].string_value();
    state.zone_identity = local[kZoneIdentity].string_value();
    state.told.removed = local[kRemoved].int_value();
    state.told.zone_made_anew = local[kZoneMadeAnew].bool_value();
    for (const Json& number : local[kOvertaken].array_items()) state.told.overtaken.push_back(number.string_value());
    for (const Json& number : local[kKeptUnconfirmed].array_items())
        state.told.kept_unconfirmed.push_back(number.string_value());
    state.told.set_aside = local[kSetAside].array_items();
    return state;
}

bool write(Core& core, const SyncState& state) {
    Json::object local = core.setting("local").object_items();
    local[kToken] = state.token;
    set_member(local, kUploaded, uploaded_json(state.uploaded), state.uploaded.empty());
    set_member(local, kFromStart, true, !state.listing.under_way);
    set_member(local, kFromStartUnproven, true, !state.listing.under_way || !state.listing.unproven);
    set_member(local, kFromStartFirst, true, !state.listing.under_way || state.listing.keeps_pending);
    set_member(local, kFromStartZone, state.listing.zone_identity,
               !state.listing.under_way || state.listing.zone_identity.empty());
    set_member(local, kZoneIdentity, state.zone_identity, state.zone_identity.empty());
    set_member(local, kRemoved, state.told.removed, state.told.removed == 0);
    set_member(local, kZoneMadeAnew, true, !state.told.zone_made_anew);
    set_member(local, kOvertaken, Json::array(state.told.overtaken.begin(), state.told.overtaken.end()),
               state.told.overtaken.empty());
    set_member(local, kKeptUnconfirmed,
               Json::array(state.told.kept_unconfirmed.begin(), state.told.kept_unconfirmed.end()),
               state.told.kept_unconfirmed.empty());
    set_member(local, kSetAside, state.told.set_aside, state.told.set_aside.empty());
    return core.save_record({{"recordName", "local"}, {"value", Json(local).dump()}, {"synced", -1}}, "settings");
}

}  // namespace sync_state
