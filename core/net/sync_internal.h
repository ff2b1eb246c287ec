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
    // Begun after the cloud refused the stored token (or lost the zone): the copies it brings may be
    // ones this installation held before its edits, so its pages keep the rows pending here. A first
    // listing (no token yet) keeps none: what it brings of this installation's own is its upload.
    bool keeps_pending = false;
    // A record of the listing was set aside: it may be one of the rows not brought, so none of them is
    // taken for deleted.
    bool unproven = false;
    // The identity record the listing brought, empty when none so far.
    std::string zone_identity;
};

// What the user is told once, after the pass that found it: the notices, and the records set aside
// ({recordName, recordType}), which are told apart.
struct Told : SyncNotices {
    json11::Json::array set_aside;
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

// The body of a zones/modify request that creates or deletes the zone of that name.
json11::Json zone_operation_body(const std::string& operation, const std::string& zone);

namespace sync_page {

// A change reply as the program reads it, and the records it could not read ({recordName,
// recordType}, as far as they could be told).
struct ChangePage {
    json11::Json reply;
    std::vector<json11::Json> unread;
    // The reply has a zone but is no page of the zone asked for (its records no list, another zone
    // named): nothing of it is applied and its token is not kept.
    bool refused = false;
};

// Reads a reply of changes/zone for the zone `zone_name`: the value the transport read, or else its
// text record by record with a reader that has no depth limit, setting aside each record that cannot
// be read.
ChangePage read(const Core::CloudReply& answer, const std::string& zone_name);

}  // namespace sync_page

namespace sync_decision {

// What a downloaded change record is, as far as the rules below need to know.
enum class RecordKind {
    deletion,  // a deletion of its name
    document,  // a document row with its lines
    row,       // a row of another of the account's tables
};

// What a downloaded record finds here, each fact looked up once before the decision.
struct RecordFacts {
    RecordKind kind = RecordKind::row;
    // A deletion's own facts.
    bool zone_identity = false;      // it deletes the zone's identity record
    bool awaits_merge = false;       // a reported invoice's copy changed here, its other copy here
    bool in_cloud = false;           // the document here has a change tag: the cloud held this copy
    bool upload_unanswered = false;  // an upload of the document here since the last completed download went unanswered
    bool own_deletion_sent = false;  // this installation sent a deletion of the name without an answer
    // What this installation holds under the name (for a deletion: a document).
    bool local_here = false;
    bool local_unsynced = false;        // it holds a change not yet uploaded (synced = 0)
    bool local_pending = false;         // ... and that change is not the downloaded content
    bool local_never_uploaded = false;  // a document with no change tag from the cloud
    bool same_document = false;         // the local document is the downloaded one (type, first save, id)
    bool edit_from_this_copy = false;   // the local document's edit began from the downloaded copy
    bool local_later = false;           // the local document was modified after the downloaded copy
    // A deletion of the name made here, still to go up.
    bool tombstone_here = false;
    bool tombstone_tagged = false;        // it carries the change tag of the copy it was made on
    bool tombstone_of_this_copy = false;  // that tag is the downloaded copy's
    // The downloaded content is one of this installation's own uploads since its last completed download.
    bool own_upload = false;
    // A download from the zone's start after the cloud refused the stored token.
    bool keep_pending = false;
    // A reporting status the authority gave, held by only one of the local and the downloaded document.
    bool status_here_only = false;
    bool status_downloaded_only = false;
    // Looked up after an upload of the name went without an answer, not brought by a download.
    bool looked_up = false;
};

enum class Action {
    leave,                    // nothing here changes (apart from the tombstone steps below)
    // a deletion
    leave_for_merge,          // the store's merge of a reported invoice's copies keeps the work
    keep_document_made_here,  // the deletion was of another document, or may have been: this one stays and goes up
    settle_own_deletion,      // this installation's own deletion came back
    delete_everywhere,        // the row, its lines and any tombstone go
    // a row
    tag_tombstone,            // the deletion here goes up with the downloaded copy's change tag
    tag_local_edit,           // the local edit takes the downloaded copy's tag, and its upload replaces it
    write,                    // the downloaded row is written
};

struct Decision {
    Action action = Action::leave;
    bool drop_tombstone = false;    // the deletion made here is done, or void
    bool tell_overtaken = false;    // ... void because another installation changed the copy it was made on
    bool move_local_aside = false;  // the local document goes to a free number before the write
    // A status the authority gave is never replaced by none: the row written takes the status of the
    // other copy of the document (the downloaded one goes up again with it).
    bool keep_status = false;
    bool tell_kept = false;  // a document kept over a deletion that may have been made on it
    bool operator==(const Decision&) const = default;
};

// The rules of a downloaded record, from what is here and what came down to what is done.
Decision decide(const RecordFacts& facts);

}  // namespace sync_decision
