// What the main window and its open document page tell of invoice reports, read from the store off
// the UI thread in one go and handed to the UI thread whole: a background pass may hold the store for
// a while, and the window must not wait for it.
#pragma once

#include "core/Core.h"
#include "json11/json11.hpp"

#include <optional>
#include <string>
#include <vector>

namespace Tavrin {

struct ReportSnapshot {
    // The account it was read for: one read for an account switched away from is dropped.
    std::string account;
    // This installation's report under way.
    std::optional<NavReportRecord> pending;
    // A report another installation holds (result waiting), as the company's shared record stood
    // when it was last read; none when there is none.
    NavSettled elsewhere;
    // The notice over the tabs, made from the two above; empty when no report waits.
    std::string notice;
    // The open page's report it was read for, and how it was settled here (none while unknown).
    std::string page_request_id;
    NavSettled page_outcome;
    // The draft that keeps the open page's invoice, once its report ended unstored.
    std::optional<KeptDraft> page_kept;
    // Taken from the store to be told once (arrays as the core gives them; empty when not taken).
    std::vector<KeptDraft> kept_drafts;
    json11::Json renumbered;
    json11::Json set_aside;
    Core::SyncNotices sync_notices;
};

// What a snapshot read asks for, decided on the UI thread.
struct ReportSnapshotRequest {
    std::string account;
    std::string page_request_id;
    // The company's shared record is looked up in the cloud (after a pass or a settling), else the
    // one read last stands.
    bool read_shared = false;
    NavSettled elsewhere_known;
    // The notices to be told once are taken (no dialog stands in their way).
    bool take_notices = false;
};

// Reads the snapshot a request asks for (a pool thread).
ReportSnapshot read_report_snapshot(Core& core, const ReportSnapshotRequest& request);

}  // namespace Tavrin
