// What sync passes found that the user is told once.
#pragma once

#include <string>
#include <vector>

// Rows a listing of the zone from its start showed deleted on another computer, a zone that was
// deleted (a pass made it anew) or deleted and made anew (this computer's rows and settings went up
// to it), deletions another computer's change overtook (the documents' numbers; they stay), and
// documents made or edited here that a deletion from another computer may have been meant for, kept
// because this computer never learnt whether their upload had reached the cloud (their numbers as
// they now stand).
struct SyncNotices {
    int removed = 0;
    bool zone_made_anew = false;
    std::vector<std::string> overtaken;
    std::vector<std::string> kept_unconfirmed;

    bool empty() const { return removed == 0 && !zone_made_anew && overtaken.empty() && kept_unconfirmed.empty(); }
    // Adds the notices of `later` after these.
    void add(const SyncNotices& later);
};
