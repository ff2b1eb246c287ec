// An invoice whose report ended without it being stored (it never arrived, the authority refused it,
// or the authority holds another invoice under its number) is never lost with its record: what the
// user typed is kept as a draft in the same transaction, synced like any document. Its keeper tells
// the user of it: the open page that sent it, else the drafts list, once. The draft stands for the
// invoice until an invoice is issued from it; then it is used up.
#include "core/nav/report_internal.h"
#include "core/store/store_internal.h"

#include <algorithm>

using json11::Json;

namespace {

constexpr const char* kKeptRow = store::kKeptDraftsRow;

// The document as the user typed it, made a draft: nothing of the invoice's numbering, report or
// save is carried over.
Json::object draft_of(const Json::object& document) {
    Json::object draft = document;
    for (const char* member : {"recordName", "number", "nav_number_formatted", "nav_transaction_id", "nav_status",
                               "request_signature_extra", "created", "modified", "synced", "recordChangeTag", "paid",
                               "reference_recordName", "reference_number_formatted", "kept_draft"})
        draft.erase(member);
    draft["type"] = "DRAFT";
    return draft;
}

// The kept draft an invoice was issued from and that is not used up: written again when that invoice
// too ends unstored, so that one draft keeps it. Empty when there is none.
Json::object kept_source(Core& core, const Json& document) {
    const std::string source = Core::draft_source(document);
    if (source.empty()) return {};
    const auto rows = store::rows(core, "SELECT * FROM documents WHERE recordName = ?", {Json(source)});
    if (rows.empty() || Core::draft_keeping(Json(rows.front())).state != DraftKeeping::State::kept) return {};
    return rows.front();
}

// The draft still stands for its invoice: no invoice issued from it (a draft an earlier version kept
// carries no marks, and stands). One that another installation kept may not have come down yet: it
// stands too.
bool still_kept(Core& core, const std::string& draft_name) {
    const auto rows = store::rows(core,
                                  "SELECT type, nav_status, reference_recordName, reference_number_formatted "
                                  "FROM documents WHERE recordName = ?",
                                  {Json(draft_name)});
    return rows.empty() || Core::draft_keeping(Json(rows.front())).state != DraftKeeping::State::issued;
}

// The draft that keeps a report's invoice where no kept draft stood for it: named by the report, so
// that whichever installation keeps it, however often, writes the same record.
std::string draft_name_of(const NavReportRecord& report) {
    return "DRAFT-" + report.request_id;
}

KeptDraft kept_of(const Json& entry) {
    KeptDraft kept;
    kept.request_id = entry["request_id"].string_value();
    kept.number = entry["number"].string_value();
    kept.draft = entry["draft"].string_value();
    kept.draft_number = entry["draft_number"].string_value();
    kept.outcome = nav_outcome_of_word(entry["outcome"].string_value());
    kept.message = entry["message"].string_value();
    return kept;
}

Json entry_of(const KeptDraft& kept) {
    return Json::object{{"request_id", kept.request_id}, {"number", kept.number},
                        {"draft", kept.draft},           {"draft_number", kept.draft_number},
                        {"outcome", nav_outcome_word(kept.outcome)}, {"message", kept.message}};
}

}  // namespace

const char* nav_outcome_word(NavSettled::Result result) {
    switch (result) {
    case NavSettled::Result::stored:
        return "stored";
    case NavSettled::Result::taken:
        return "taken";
    case NavSettled::Result::refused:
        return "refused";
    case NavSettled::Result::unknown:
        return "unknown";
    case NavSettled::Result::dropped:
    case NavSettled::Result::none:
    case NavSettled::Result::waiting:
        break;
    }
    return "dropped";
}

NavSettled::Result nav_outcome_of_word(const std::string& word) {
    if (word.empty() || word == "stored") return NavSettled::Result::stored;
    if (word == "taken") return NavSettled::Result::taken;
    if (word == "refused") return NavSettled::Result::refused;
    if (word == "dropped") return NavSettled::Result::dropped;
    // A word a later version writes is not taken for one of ours.
    return NavSettled::Result::unknown;
}

namespace nav_report {

KeptDraft draft_for(Core& core, const NavReportRecord& report, const NavSettled& verdict) {
    KeptDraft kept;
    const bool unstored = verdict.result == NavSettled::Result::dropped ||
                          verdict.result == NavSettled::Result::refused ||
                          verdict.result == NavSettled::Result::taken;
    if (!unstored || report.document.empty()) return kept;
    kept.request_id = report.request_id;
    kept.number = report.number;
    kept.outcome = verdict.result;
    kept.message = verdict.message;
    const Json::object source = kept_source(core, Json(report.document));
    if (!source.empty()) {
        kept.draft = Json(source)["recordName"].string_value();
        kept.draft_number = Json(source)["number_formatted"].string_value();
    } else {
        kept.draft = draft_name_of(report);
        kept.draft_number = core.next_number_formatted("DRAFT");
    }
    return kept;
}

bool keep_as_draft(Core& core, const NavReportRecord& report, const KeptDraft& named) {
    if (named.draft.empty()) return true;
    const auto stored = store::rows(core, "SELECT * FROM documents WHERE recordName = ?", {Json(named.draft)});
    const bool source = !stored.empty() && Core::draft_source(Json(report.document)) == named.draft &&
                        Core::draft_keeping(Json(stored.front())).state == DraftKeeping::State::kept;
    // Kept already for this report (here, or by another installation and brought in): written once.
    if (!stored.empty() && !source) return tell_kept_draft(core, named);
    Json::object draft = source ? stored.front() : Json::object{};
    for (const auto& [name, value] : draft_of(report.document)) draft[name] = value;
    if (!source) {
        // Alike wherever it is kept: the copies of the cloud and of every installation are one draft.
        draft["recordName"] = named.draft;
        draft["document_id"] = named.draft;
        draft["created"] = static_cast<double>(report.written > 0 ? report.written : clock_now()) * 1000.0;
        draft["paid"] = 0;
        draft["number_formatted"] = named.draft_number;
    }
    // Kept for this invoice: its outcome and the number it was reported under (no source named).
    draft["nav_status"] = nav_outcome_word(named.outcome);
    std::vector<Json> lines(report.lines.begin(), report.lines.end());
    const std::string draft_name = core.save_document(std::move(lines), false, std::move(draft));
    if (draft_name.empty()) return false;
    if (!store::run(core,
                    "UPDATE documents SET reference_recordName = '', reference_number_formatted = ? "
                    "WHERE recordName = ?",
                    {Json(report.number), Json(draft_name)}))
        return false;
    KeptDraft kept = named;
    kept.draft = draft_name;
    return tell_kept_draft(core, kept);
}

bool tell_kept_draft(Core& core, const KeptDraft& kept) {
    Json::array entries;
    const Json earlier = core.setting(kKeptRow);
    for (const Json& entry : earlier.array_items())
        if (entry["draft"].string_value() != kept.draft) entries.push_back(entry);
    entries.push_back(entry_of(kept));
    return save_local_row(core, kKeptRow, entries);
}

bool use_up_draft(Core& core, const Json& document, const std::string& invoice_name, const std::string& number) {
    const std::string shown = document["kept_draft"].string_value();
    if (shown.empty()) return true;
    return store::run(core,
                      "UPDATE documents SET reference_recordName = ?, reference_number_formatted = ?, synced = 0 "
                      "WHERE recordName = ? AND type = 'DRAFT'",
                      {Json(invoice_name), Json(number), Json(shown)});
}

KeptDraft kept_draft_of(Core& core, const std::string& number) {
    const Json::array kept = core.setting(kKeptRow).array_items();
    for (auto entry = kept.rbegin(); entry != kept.rend(); ++entry)
        if ((*entry)["number"].string_value() == number) return kept_of(*entry);
    return KeptDraft{};
}

}  // namespace nav_report

std::string Core::draft_source(const Json& document) {
    const std::string shown = document["kept_draft"].string_value();
    return shown.empty() ? document["reference_recordName"].string_value() : shown;
}

void Core::nav_hold_for_page(const std::string& request_id) {
    std::lock_guard<std::mutex> lock(held_reports_mutex);
    held_reports.insert(request_id);
}

InvoiceKeeper Core::nav_invoice_keeper(const std::string& request_id) {
    std::lock_guard<std::mutex> lock(held_reports_mutex);
    return held_reports.count(request_id) > 0 ? InvoiceKeeper::page : InvoiceKeeper::drafts;
}

void Core::nav_release_invoice(const std::string& request_id) {
    std::lock_guard<std::mutex> lock(held_reports_mutex);
    held_reports.erase(request_id);
}

DraftKeeping Core::draft_keeping(const Json& draft) {
    DraftKeeping keeping;
    const std::string outcome = draft["nav_status"].string_value();
    if (draft["type"].string_value() != "DRAFT" || outcome.empty()) return keeping;
    keeping.outcome = nav_outcome_of_word(outcome);
    // The invoice issued from it names itself as the draft's reference (Core::save_document).
    keeping.state = draft["reference_recordName"].string_value().empty() ? DraftKeeping::State::kept
                                                                          : DraftKeeping::State::issued;
    keeping.number = draft["reference_number_formatted"].string_value();
    return keeping;
}

DraftKeeping Core::draft_keeping_of(const std::string& record_name) {
    const auto rows = store::rows(*this,
                                  "SELECT type, nav_status, reference_recordName, reference_number_formatted "
                                  "FROM documents WHERE recordName = ?",
                                  {Json(record_name)});
    return rows.empty() ? DraftKeeping() : draft_keeping(Json(rows.front()));
}

std::optional<KeptDraft> Core::nav_kept_draft(const std::string& request_id) {
    if (request_id.empty()) return std::nullopt;
    const Json entries = setting(kKeptRow);
    for (const Json& entry : entries.array_items()) {
        if (entry["request_id"].string_value() != request_id) continue;
        KeptDraft kept = kept_of(entry);
        if (still_kept(*this, kept.draft)) return kept;
    }
    return std::nullopt;
}

std::vector<KeptDraft> Core::take_kept_drafts() {
    store::Transaction transaction(*this);
    const Json::array entries = setting(kKeptRow).array_items();
    if (entries.empty()) return {};
    // An invoice issued from a kept draft and still to be settled may yet be stored: its draft is
    // offered only once that report has ended unstored (stored, the draft is used up).
    const std::optional<NavReportRecord> settling = nav_pending_record();
    const std::string issued_from = settling ? draft_source(Json(settling->document)) : std::string();
    std::vector<KeptDraft> given;
    Json::array left;
    for (const Json& entry : entries) {
        KeptDraft kept = kept_of(entry);
        // Used up: nothing to tell.
        if (!still_kept(*this, kept.draft)) continue;
        if (nav_invoice_keeper(kept.request_id) == InvoiceKeeper::page || kept.draft == issued_from)
            left.push_back(entry);
        else
            given.push_back(std::move(kept));
    }
    const bool written = left.empty() ? store::run(*this, "DELETE FROM settings WHERE recordName = ?", {kKeptRow})
                                      : nav_report::save_local_row(*this, kKeptRow, left);
    if (!written || !transaction.commit()) return {};
    return given;
}

NavSettled Core::nav_settled_outcome(const std::string& request_id) {
    return request_id.empty() ? NavSettled() : nav_report::settled_outcome(*this, request_id);
}
