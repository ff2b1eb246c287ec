// The rule for a downloaded deletion, as one decision over the facts found here.
#include "core/net/sync_internal.h"

namespace sync_decision {

// A downloaded deletion removes the record of its name, not a document made here under that name
// that never reached the cloud (another installation numbered its own alike and deleted it): that
// one stays and goes up as a new record, and a deletion of the name still to go up from here has
// nothing left to delete. Client, item and stock rows are named by the program alone (new
// identifiers, or the reported invoice's transaction), so a deletion of their name is theirs. A
// reported invoice changed here stays for the merge when its other copy is here.
DeletionAction decide_deletion(const DeletionFacts& facts) {
    if (facts.zone_identity) return DeletionAction::nothing;
    if (facts.document_here && facts.awaits_merge) return DeletionAction::leave_for_merge;
    if (facts.document_here && !facts.may_be_in_cloud) return DeletionAction::keep_document_made_here;
    if (facts.own_deletion_sent) return DeletionAction::settle_own_deletion;
    return DeletionAction::delete_everywhere;
}

}  // namespace sync_decision
