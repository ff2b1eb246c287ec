// An invoice whose report ended without it being stored (it never arrived, the authority refused it,
// or the authority holds another invoice under its number) is never lost with its record: unless the
// page that sent it is still open to take it back, what the user typed is kept as a draft, synced like
// any document, and the user is told of it once.
#include "core/nav/report_internal.h"
#include "core/store/store_internal.h"

#include <optional>

using json11::Json;

namespace {

constexpr const char* kKeptRow = store::kKeptDraftsRow;

// On a thread that saves for an open page: the report that was under way when the save began. Any
// other report that thread settles is the one it sent itself.
thread_local std::optional<std::string> page_save_began_with;

// The document as the user typed it, made a new draft: nothing of the invoice's numbering, report
// or save is carried over.
Json::object draft_of(Core& core, const Json::object& document) {
    Json::object draft = document;
    for (const char* member : {"recordName", "number", "nav_number_formatted", "nav_transaction_id", "nav_status",
                               "request_signature_extra", "created", "modified", "synced", "recordChangeTag", "paid"})
        draft.erase(member);
    draft["type"] = "DRAFT";
    draft["number_formatted"] = core.next_number_formatted("DRAFT");
    return draft;
}

}  // namespace

namespace nav_report {

bool keep_as_draft(Core& core, const NavReportRecord& report, const NavSettled& verdict) {
    const bool unstored = verdict.result == NavSettled::Result::dropped ||
                          verdict.result == NavSettled::Result::refused ||
                          verdict.result == NavSettled::Result::taken;
    if (!unstored || report.document.empty() || core.nav_page_keeps_report(report.request_id)) return true;
    Json::object draft = draft_of(core, report.document);
    const std::string draft_number = Json(draft)["number_formatted"].string_value();
    const std::string draft_name = core.save_document(std::vector<Json>(report.lines.begin(), report.lines.end()), false, std::move(draft));
    if (draft_name.empty()) return false;
    return tell_kept_draft(core, report.number, verdict, KeptDraft{draft_name, draft_number});
}

bool tell_kept_draft(Core& core, const std::string& number, const NavSettled& verdict, const KeptDraft& draft) {
    Json::array kept = core.setting(kKeptRow).array_items();
    kept.push_back(Json::object{{"number", number},
                                {"draft", draft.name},
                                {"draft_number", draft.number},
                                {"outcome", verdict.result == NavSettled::Result::refused ? "refused"
                                            : verdict.result == NavSettled::Result::taken ? "taken"
                                                                                          : "dropped"},
                                {"message", verdict.message}});
    return save_local_row(core, kKeptRow, kept);
}

KeptDraft kept_draft_of(Core& core, const std::string& number) {
    const Json::array kept = core.setting(kKeptRow).array_items();
    for (auto entry = kept.rbegin(); entry != kept.rend(); ++entry)
        if ((*entry)["number"].string_value() == number)
            return KeptDraft{(*entry)["draft"].string_value(), (*entry)["draft_number"].string_value()};
    return KeptDraft{};
}

}  // namespace nav_report

Core::NavPageSave::NavPageSave(Core& core) : outer(page_save_began_with) {
    page_save_began_with = core.nav_pending_report()["request_id"].string_value();
}

Core::NavPageSave::~NavPageSave() {
    page_save_began_with = outer;
}

void Core::nav_page_holds_report(const std::string& request_id, bool holds) {
    if (request_id.empty()) return;
    std::lock_guard<std::mutex> lock(held_reports_mutex);
    if (holds)
        held_reports.insert(request_id);
    else
        held_reports.erase(request_id);
}

bool Core::nav_page_keeps_report(const std::string& request_id) {
    if (page_save_began_with && *page_save_began_with != request_id) return true;
    std::lock_guard<std::mutex> lock(held_reports_mutex);
    return held_reports.count(request_id) > 0;
}

Json Core::take_kept_drafts() {
    store::Transaction transaction(*this);
    const Json kept = setting(kKeptRow);
    if (kept.array_items().empty()) return Json::array{};
    if (!store::run(*this, "DELETE FROM settings WHERE recordName = ?", {kKeptRow}) || !transaction.commit())
        return Json::array{};
    return kept;
}

NavSettled Core::nav_settled_outcome(const std::string& request_id) {
    return request_id.empty() ? NavSettled() : nav_report::settled_outcome(*this, request_id);
}
