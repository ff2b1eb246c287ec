// The rules of a downloaded change record, as one decision over the facts found here.
#include "core/net/sync_internal.h"

namespace sync_decision {

namespace {

// A downloaded deletion removes the record of its name, not a document made here under that name
// that the cloud never confirmed holding: another installation may have numbered its own alike and
// deleted it. That one stays and goes up as a new record, and a deletion of the name still to go up
// from here has nothing left to delete. Where an upload of the document went unanswered, the
// deletion may also have been made on its copy, had the upload landed and been seen elsewhere: no
// deletion record tells which copy it removed, so the document stays, and the user is told that it
// was kept and may have been deleted elsewhere. Client, item and stock rows are named by the program
// alone (new identifiers, or the reported invoice's transaction), so a deletion of their name is
// theirs. A reported invoice changed here stays for the merge when its other copy is here.
Decision decide_deletion(const RecordFacts& facts) {
    Decision decision;
    if (facts.zone_identity) return decision;
    if (facts.local_here && facts.awaits_merge) {
        decision.action = Action::leave_for_merge;
    } else if (facts.local_here && !facts.in_cloud) {
        decision.action = Action::keep_document_made_here;
        decision.tell_kept = facts.upload_unanswered;
    } else {
        decision.action = facts.own_deletion_sent ? Action::settle_own_deletion : Action::delete_everywhere;
    }
    return decision;
}

// A deletion made here of a document the download brings. The cloud still holding the very copy
// deleted here, or this installation's own upload of it, the deletion goes up with that copy's tag.
// So it does where the deletion knows no copy (an earlier version made it without a tag), a document
// made here took the name, and a look-up after that document's upload went without an answer finds
// a copy under the name: the pass's download came whole before the upload and left the name to that
// document, so the copy is the one the deletion was made on, never to come back in its place. (A
// download bringing such a copy may bring another installation's document of the number: that one
// stays, and the document made here moves to a free number.) Otherwise the deletion is done (this installation's
// upload of a document made in its place came back) or void (the cloud's document is one this
// installation never held: another document under the name, or a change made elsewhere that the
// deletion did not see, which is told).
Decision decide_tombstone(const RecordFacts& facts) {
    Decision decision;
    if (facts.tombstone_of_this_copy) return decision;
    const bool made_here_in_its_place =
        facts.local_here && facts.local_unsynced && facts.local_never_uploaded && !facts.same_document;
    const bool deleted_copy_came_back =
        (facts.own_upload && (!facts.local_here || (facts.local_unsynced && !facts.same_document))) ||
        (facts.looked_up && !facts.tombstone_tagged && made_here_in_its_place);
    if (deleted_copy_came_back) {
        decision.action = Action::tag_tombstone;
        return decision;
    }
    decision.drop_tombstone = true;
    decision.tell_overtaken = facts.tombstone_tagged && (!facts.local_here || !facts.own_upload);
    decision.action = Action::write;
    return decision;
}

}  // namespace

// A downloaded row never replaces a local row that holds changes not yet uploaded unless it is a
// change made elsewhere: the local row's own content, one of this installation's uploads since its
// last completed download (its own echo), or, for a document, the copy the local edit started from,
// is none. A real change made elsewhere follows the conflict rule: the cloud's row wins, except over a
// local document modified later. Nor does a download bring back a row whose local deletion is still to
// be uploaded, nor replace a document made here and never uploaded, or changed here and not yet
// uploaded, by a different one: that one moves to a free number first. In a download from the zone's
// start after a refused token, a pending row other than a document stays: the download cannot tell a
// change made elsewhere from the copy this installation already had (a document's change tag can).
// Whichever copy of one document is kept, it keeps a status the authority gave the other.
Decision decide(const RecordFacts& facts) {
    Decision decision;
    if (facts.kind == RecordKind::deletion) return decide_deletion(facts);
    const bool document = facts.kind == RecordKind::document;
    if (facts.tombstone_here && (document || !facts.local_here)) {
        if (!document) return decision;
        decision = decide_tombstone(facts);
        if (decision.action != Action::write) return decision;
    }
    decision.move_local_aside = document && facts.local_here && !facts.own_upload &&
                                (facts.local_never_uploaded || facts.local_unsynced) && !facts.same_document;
    // Another document holds the name, so what stood there was deleted elsewhere: where this one's
    // upload went unanswered, the deletion may have been made on its copy. It is kept, and told.
    decision.tell_kept = decision.move_local_aside && facts.upload_unanswered;
    const bool pending = facts.local_here && !decision.move_local_aside && facts.local_pending;
    const bool kept_here = pending && (facts.own_upload || (facts.keep_pending && !document));
    decision.action = Action::write;
    if (document && pending) {
        if (facts.edit_from_this_copy) decision.action = Action::leave;
        else if (kept_here || facts.local_later) decision.action = Action::tag_local_edit;
    } else if (kept_here) {
        decision.action = Action::leave;
    }
    // One document, two copies: whichever is kept, a status the authority gave either stays.
    if (document && facts.local_here && facts.same_document && !decision.move_local_aside) {
        const bool local_kept = decision.action != Action::write;
        decision.keep_status = local_kept ? facts.status_downloaded_only : facts.status_here_only;
    }
    return decision;
}

}  // namespace sync_decision
