// Internals of the sync pass shared by its files: the sync's own state kept in the settings row
// "local", the reader of change pages, and the rule that decides what a downloaded record does here.
#pragma once

#include "core/Core.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sync_state {

// The digests of what this installation sent since its last completed download, by record name.
using Uploaded = std::map<std::string, std::set<std::string>>;

// Where a download that began without a change token stands while it is not complete: it lists the
// zone as it is, so the rows it did not bring were deleted elsewhere, or belong to a zone that was
// deleted and made anew.
struct Listing {
    bool under_way = false;
    // A record of the listing was set aside: it may be one of the rows not brought, so none of them is
    // taken for deleted.
    bool unproven = false;
    // The identity record the listing brought, empty when none so far.
    std::string zone_identity;
};

// What the user is told once, after the pass that found it.
struct Told {
    int removed = 0;          // rows a listing of the zone showed deleted elsewhere
    bool zone_made_anew = false;
    std::vector<std::string> overtaken;  // deletions another installation's change overtook (numbers)
    json11::Json::array set_aside;       // records set aside, {recordName, recordType}
};

// The sync's state of the open account, kept in the settings row "local" beside members others own.
struct SyncState {
    std::string token;
    Uploaded uploaded;
    Listing listing;
    // The identity of the zone whose rows this installation holds as synced; empty when not known.
    std::string zone_identity;
    Told told;
};

SyncState read(Core& core);
// Writes the whole state, keeping the other members of "local"; false when the write failed.
bool write(Core& core, const SyncState& state);

}  // namespace sync_state

// The record the program writes into a zone it makes (or finds without one), whose value tells this
// zone from one deleted and made anew under the same name. Older versions take its type for another
// client's and leave it alone.
inline constexpr const char* kZoneIdentityType = "ZoneIdentity";
inline constexpr const char* kZoneIdentityName = "zoneIdentity";

namespace sync_page {

// A change reply as the program reads it, and the records it could not read ({recordName,
// recordType}, as far as they could be told).
struct ChangePage {
    json11::Json reply;
    std::vector<json11::Json> unread;
};

// Reads a reply of changes/zone: the value the transport read, or else its text record by record with
// a reader that has no depth limit, setting aside each record that cannot be read.
ChangePage read(const Core::CloudReply& answer);

}  // namespace sync_page

namespace sync_decision {

// What a downloaded deletion finds here, each fact looked up once.
struct DeletionFacts {
    bool zone_identity = false;  // the deletion is of the zone's identity record
    bool document_here = false;  // a document holds the name
    bool awaits_merge = false;   // it is a reported invoice's copy changed here, its other copy here
    bool may_be_in_cloud = false;  // that document has a cloud copy, or an upload of it may have landed
    bool own_deletion_sent = false;  // this installation sent a deletion of the name without an answer
};

enum class DeletionAction {
    nothing,                  // no row of this account's tables
    leave_for_merge,          // the store's merge of the copies keeps the work
    keep_document_made_here,  // the deletion was of another document: this one stays and goes up
    settle_own_deletion,      // this installation's own deletion came back
    delete_everywhere,        // the row, its lines and any tombstone go
};

DeletionAction decide_deletion(const DeletionFacts& facts);

}  // namespace sync_decision
