// The sync pass of the current account: the zone's changes downloaded page by page and applied (with
// the repairs of older settings and clients), the change token stored, the unsynced rows and
// tombstones uploaded (a document the cloud has no copy of yet as a create, a deletion with the change
// tag of the copy it was made on; documents and deletions only after a whole download), the
// confirmations marked, the cloud's records behind refused or unanswered creates and refused
// deletions applied and the rest sent again, and the closing download.
#include "core/nav/report_internal.h"
#include "core/net/sync_internal.h"
#include "core/store/store_internal.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

using json11::Json;
using store::member;
using sync_state::SyncState;
using sync_state::Uploaded;

namespace {

constexpr int kResultsLimit = 200;  // change records per page
constexpr std::size_t kOperationLimit = 200;  // operations per upload
// Uploads a pass repeats after the cloud refused to create records it already held.
constexpr int kRepeatedUploads = 3;
// Full uploads a pass follows with another at once: a zone made anew takes up every row held here
// (10,000 in one pass), without waiting for the user's next step.
constexpr int kFurtherUploads = 49;
// A server that keeps reporting more changes must not keep the pass going for ever.
constexpr int kMaxPages = 10000;
// Downloaded pages are applied together up to this many records: one commit (and its disk flush)
// per page would cost more than the whole rest of the download.
constexpr std::size_t kBatchRecords = 2000;

// The record types that are rows of the account's tables, the table being the type in lower case.
constexpr std::array<const char*, 5> kRowTypes = {"Documents", "Settings", "Clients", "Items", "Inventory"};

bool is_row_type(const std::string& type) {
    for (const char* known : kRowTypes) {
        if (type == known) return true;
    }
    return false;
}


// --- repairs of older rows ----------------------------------------------------------------------

std::string lowered_unit_name(const std::string& name) {
    return name == "\xC3\x93ra" ? std::string("\xC3\xB3ra") : to_lower(name);
}

// Settings values of older shapes get the members the program reads now. A repaired row is marked
// unsynced, so the corrected value goes back to the cloud.
void repair_settings(Json::object& row, bool hungarian) {
    const std::string key = member(row, "recordName").string_value();
    const Json value = Json::parse(member(row, "value").string_value());
    Json repaired;
    if (key == "templates") {
        Json::object templates = value.object_items();
        if (member(templates, "DRAFT").is_null()) {
            templates["DRAFT"] = "001";
            repaired = Json(std::move(templates));
        }
    } else if (key == "theme_colors") {
        Json::object colors = value.object_items();
        if (member(colors, "accent_font_color").is_null()) {
            const std::string accent = member(colors, "accent").string_value();
            colors["accent_font_color"] = accent.substr(0, 6);
            colors["accent_background_color"] = accent.size() > 7 ? accent.substr(7) : std::string();
            colors.erase("accent");
            repaired = Json(std::move(colors));
        }
    } else if (key == "units") {
        if (!hungarian) return;
        Json::array units = value.array_items();
        if (units.empty()) return;
        const std::string first = units[0]["name"].string_value();
        if (first == lowered_unit_name(first)) return;
        for (Json& unit : units) {
            if (!unit.is_object()) continue;
            Json::object members = unit.object_items();
            members["name"] = lowered_unit_name(members["name"].string_value());
            unit = Json(std::move(members));
        }
        repaired = Json(std::move(units));
    } else if (key == "currencies") {
        Json::array currencies = value.array_items();
        bool changed = false;
        for (Json& currency : currencies) {
            if (!currency.is_object()) continue;
            Json::object members = currency.object_items();
            bool touched = false;
            if (!member(members, "name").is_null()) {
                members.erase("name");
                members.erase("locale");
                touched = true;
            }
            if (member(members, "code").is_null()) {
                members["code"] = hungarian ? "HUF" : "USD";
                members["decimal_point"] = hungarian ? "," : ".";
                members["thousands_sep"] = hungarian ? " " : ",";
                members["symbol"] = hungarian ? "Ft" : "$";
                members["pattern"] = hungarian ? "3412" : "2034";
                touched = true;
            }
            if (touched) {
                currency = Json(std::move(members));
                changed = true;
            }
        }
        if (changed) repaired = Json(std::move(currencies));
    }
    if (repaired.is_null()) return;
    row["value"] = repaired.dump();
    row["synced"] = 0;
}

// Clients without a currency code get one from the currencies setting; with the Hungarian interface
// the old status CUSTOMER becomes DOMESTIC or PRIVATE_PERSON by the identifier number.
bool repair_clients(Core& core) {
    bool ok = true;
    auto clients = store::rows(core, "SELECT * FROM clients WHERE currency_code IS NULL OR currency_code = ''");
    if (!clients.empty()) {
        const Json::array currencies = core.setting("currencies").array_items();
        for (Json::object& client : clients) {
            const Json::object currency =
                find_object(currencies, true, "id", member(client, "currency_id").string_value());
            const std::string code = member(currency, "code").string_value();
            // Writing the same empty code again would only upload the client on every pass.
            if (code.empty()) continue;
            client["currency_code"] = code;
            client["synced"] = 0;
            ok = core.save_record(client, "clients") && ok;
        }
    }
    if (core.is_hungarian && !store::rows(core, "SELECT 1 FROM clients WHERE status = 'CUSTOMER' LIMIT 1").empty()) {
        ok = store::run(core, "UPDATE clients SET status = 'DOMESTIC', synced = 0 "
                              "WHERE status = 'CUSTOMER' AND LENGTH(identifier_number) = 13") && ok;
        ok = store::run(core, "UPDATE clients SET status = 'PRIVATE_PERSON', synced = 0 "
                              "WHERE status = 'CUSTOMER' AND LENGTH(identifier_number) = 0") && ok;
    }
    return ok;
}

// --- upload -------------------------------------------------------------------------------------

// The text a row travels as: the row without its empty texts, recordName, synced and search; a
// document with its lines.
std::string upload_payload(Core& core, const std::string& table, Json::object row) {
    const std::string name = member(row, "recordName").string_value();
    remove_empty_fields(row);
    row.erase("recordName");
    row.erase("synced");
    row.erase("search");
    if (table == "documents") {
        Json::array lines;
        // rowid order is the order the lines were written in, that is their numbering.
        for (Json::object& line :
             store::rows(core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY rowid", {name})) {
            remove_empty_fields(line);
            line.erase("search");
            lines.emplace_back(std::move(line));
        }
        row["lines"] = std::move(lines);
    }
    return Json(std::move(row)).dump();
}

// --- own uploads ---------------------------------------------------------------------------------

// What this installation has sent since its last completed download (SyncState::uploaded). Until a
// download completes, the stored change token may lie before these uploads, so a download can bring
// them back; a record whose content is one of them is this installation's own echo, not a change made
// elsewhere.
//
// Documents and deletions go up only with the cloud's changes in hand: when the pass's first download
// ended whole, that is was received and applied to its last page. A deletion or a replace goes by
// name: sent without the cloud's changes in hand, it could delete or overwrite a document that came
// there since, which this installation never saw (another document under the name, or a change made
// elsewhere); after a whole download such a document is here, the deletion made before it is void and
// a document changed here moves aside for it. And a create sent to a cloud out of reach would count as
// possibly there, so that a deletion of its name made elsewhere (of another document) would remove it.
// The verdict belongs to the pass alone; an earlier version kept it in "local" as "whole_download",
// which nothing reads any more.
//
// Digests kept per record: more uploads of one record without a completed download in between are
// not worth remembering.
constexpr std::size_t kDigestsPerRecord = 16;

// 128 bits of FNV-1a (two 64-bit runs with different bases) over the record type and its payload;
// a deletion is the empty type with the empty payload.
std::string upload_digest(const std::string& type, const std::string& payload) {
    std::uint64_t first = 0xcbf29ce484222325ULL;
    std::uint64_t second = 0x84222325cbf29ce4ULL;
    auto add = [&](unsigned char c) {
        first = (first ^ c) * 0x100000001b3ULL;
        second = (second ^ c) * 0x100000001b3ULL;
    };
    for (char c : type) add(static_cast<unsigned char>(c));
    add(0);
    for (char c : payload) add(static_cast<unsigned char>(c));
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(first),
                  static_cast<unsigned long long>(second));
    return text;
}

bool is_own_upload(const Uploaded& uploaded, const std::string& name, const std::string& digest) {
    auto found = uploaded.find(name);
    return found != uploaded.end() && found->second.count(digest) != 0;
}

// Which document an upload carried, kept beside the digests of its content: a document is its type,
// the time of its first save and its own id (store::same_document), whatever name and content it has.
std::string document_identity_digest(const Json::object& document) {
    return upload_digest("Documents " + member(document, "type").string_value(), store::document_identity(document));
}

// Whether one of this installation's uploads since its last completed download carried this very
// document: the cloud may hold it under its name without this installation knowing.
bool upload_unanswered(const Uploaded& uploaded, const Json::object& document) {
    return is_own_upload(uploaded, member(document, "recordName").string_value(), document_identity_digest(document));
}

// Adds the digests of an upload about to be sent to those of the state.
void remember_uploads(SyncState& state, const Core::SentRecords& sent) {
    for (const auto& [key, payload] : sent) {
        const auto& [type, name] = key;
        std::set<std::string>& digests = state.uploaded[name];
        digests.insert(upload_digest(type, payload));
        if (type == "Documents") digests.insert(document_identity_digest(Json::parse(payload).object_items()));
        while (digests.size() > kDigestsPerRecord) digests.erase(digests.begin());
    }
}

// The digests a document's create leaves: of its content and of its identity.
std::set<std::string> create_digests(Core& core, const Json::object& document) {
    return {upload_digest("Documents", upload_payload(core, "documents", document)), document_identity_digest(document)};
}

// A document's create that the cloud is known not to hold under `name`: its digests go, so that a
// deletion seen there is not taken for one of it, and it goes up again unchanged.
void forget_create(SyncState& state, const std::string& name, const std::set<std::string>& digests) {
    auto found = state.uploaded.find(name);
    if (found == state.uploaded.end()) return;
    for (const std::string& digest : digests) found->second.erase(digest);
    if (found->second.empty()) state.uploaded.erase(found);
}

// --- applying a change record -------------------------------------------------------------------

// The zone's identity record came down: a listing of the zone from its start keeps it to tell this
// zone from one made anew; any other download is of the zone this installation knows.
void note_zone_identity(SyncState& state, const std::string& identity) {
    if (state.listing.under_way) state.listing.zone_identity = identity;
    else state.zone_identity = identity;
}

bool delete_everywhere(Core& core, const std::string& name) {
    bool ok = true;
    for (const char* table : {"deleted", "clients", "items", "documents", "inventory"})
        ok = store::run(core, std::string("DELETE FROM ") + table + " WHERE recordName = ?", {name}) && ok;
    return store::run(core, "DELETE FROM document_lines WHERE documentRecordName = ?", {name}) && ok;
}

// This installation's own deletion has reached the cloud: the tombstone goes, and so does any row of
// the name, except one made here again since (not yet uploaded), which is a new record.
bool settle_own_deletion(Core& core, const std::string& name) {
    bool ok = store::run(core, "DELETE FROM deleted WHERE recordName = ?", {name});
    for (const char* table : {"clients", "items", "inventory"})
        ok = store::run(core, std::string("DELETE FROM ") + table + " WHERE recordName = ? AND synced <> 0", {name}) && ok;
    ok = store::run(core, "DELETE FROM documents WHERE recordName = ? AND synced <> 0", {name}) && ok;
    if (store::rows(core, "SELECT 1 FROM documents WHERE recordName = ?", {name}).empty())
        ok = store::run(core, "DELETE FROM document_lines WHERE documentRecordName = ?", {name}) && ok;
    return ok;
}

// How the user knows a document: its number, or its record name when it has none.
std::string document_label(const Json::object& row, const std::string& name) {
    const std::string& number = member(row, "number_formatted").string_value();
    return number.empty() ? name : number;
}

// The table a record type's rows live in, empty for a type that is none of the account's tables.
std::string table_of(const std::string& type) { return is_row_type(type) ? to_lower(type) : std::string(); }

// What a batch looks up once for all its records: the rows and tombstones under the names its pages
// bring, one query a table. A name a record of the batch came under already is looked up again, and so
// is every name once a document moved aside (it took a free name, which a later record may bring).
class BatchLookups {
public:
    // Nothing looked up ahead: every record asks the store (a record fetched on its own).
    BatchLookups() = default;
    BatchLookups(Core& core, const std::vector<Json>& pages) : ahead_(true) {
        std::map<std::string, Json::array> names;
        Json::array tombstone_names;
        for (const Json& page : pages) {
            for (const Json& record : page["zones"][0]["records"].array_items()) {
                const std::string& name = record["recordName"].string_value();
                if (name.empty()) continue;
                const std::string table =
                    record["deleted"].bool_value() ? std::string("documents") : table_of(record["recordType"].string_value());
                if (table.empty()) continue;
                names[table].push_back(name);
                tombstone_names.push_back(name);
            }
        }
        for (const auto& [table, table_names] : names) {
            auto& found = rows_[table];
            for (Json::object& row : store::rows(core, "SELECT * FROM " + table +
                                                           " WHERE recordName IN (SELECT value FROM json_each(?))",
                                                 {Json(table_names).dump()}))
                found.emplace(member(row, "recordName").string_value(), std::move(row));
        }
        for (Json::object& row : store::rows(core,
                                             "SELECT recordName, recordChangeTag FROM deleted "
                                             "WHERE recordName IN (SELECT value FROM json_each(?))",
                                             {Json(tombstone_names).dump()}))
            tombstones_.emplace(member(row, "recordName").string_value(), member(row, "recordChangeTag").string_value());
    }

    // The row of `table` under the name, if any.
    std::optional<Json::object> row(Core& core, const std::string& table, const std::string& name) const {
        if (!known(name)) {
            auto rows = store::rows(core, "SELECT * FROM " + table + " WHERE recordName = ?", {name});
            if (rows.empty()) return std::nullopt;
            return std::move(rows.front());
        }
        auto table_rows = rows_.find(table);
        if (table_rows == rows_.end()) return std::nullopt;
        auto found = table_rows->second.find(name);
        if (found == table_rows->second.end()) return std::nullopt;
        return found->second;
    }
    // The change tag of the tombstone under the name (empty when it carries none), if there is one.
    std::optional<std::string> tombstone_tag(Core& core, const std::string& name) const {
        if (!known(name)) return store::tombstone_tag(core, name);
        auto found = tombstones_.find(name);
        if (found == tombstones_.end()) return std::nullopt;
        return found->second;
    }

    void wrote(const std::string& name) { written_.insert(name); }
    void names_moved() { ahead_ = false; }

private:
    bool known(const std::string& name) const { return ahead_ && !written_.count(name); }

    bool ahead_ = false;
    std::map<std::string, std::map<std::string, Json::object>> rows_;  // by table, then name
    std::map<std::string, std::string> tombstones_;
    std::set<std::string> written_;
};

// What became of one downloaded change record.
enum class Applied {
    written,    // applied (or, by the rules, left as the local row is)
    set_aside,  // no change of a row, not applied
    failed,     // a write failed: the store could not take it
};

Applied written_or_failed(bool ok) { return ok ? Applied::written : Applied::failed; }

// Whether a row's data carries its lines, if any, as line rows.
bool has_row_lines(const Json& row) {
    const Json& lines = row["lines"];
    if (lines.is_null()) return true;
    if (!lines.is_array()) return false;
    for (const Json& line : lines.array_items())
        if (!line.is_object()) return false;
    return true;
}

// The facts of a downloaded deletion of `name`.
sync_decision::RecordFacts deletion_facts(Core& core, const std::string& name, const Uploaded& uploaded,
                                          const std::optional<Json::object>& document) {
    sync_decision::RecordFacts facts;
    facts.kind = sync_decision::RecordKind::deletion;
    facts.zone_identity = name == kZoneIdentityName;
    facts.local_here = document.has_value();
    facts.awaits_merge = document && store::awaits_merge(core, *document);
    facts.in_cloud = document && !member(*document, "recordChangeTag").string_value().empty();
    facts.upload_unanswered = document && upload_unanswered(uploaded, *document);
    facts.own_deletion_sent = is_own_upload(uploaded, name, upload_digest("", ""));
    return facts;
}

// Applies a downloaded deletion as the decision says; the merge's rule is the store's
// (store::awaits_merge: a reported invoice changed here stays, and the merge takes its edit to the
// copy kept).
bool apply_deletion(Core& core, const std::string& name, SyncState& state, const BatchLookups& lookups) {
    using sync_decision::Action;
    const std::optional<Json::object> document = lookups.row(core, "documents", name);
    const sync_decision::Decision decision = sync_decision::decide(deletion_facts(core, name, state.uploaded, document));
    if (decision.tell_kept) state.told.kept_unconfirmed.push_back(document_label(*document, name));
    switch (decision.action) {
        case Action::keep_document_made_here: {
            bool ok = store::run(core, "DELETE FROM deleted WHERE recordName = ?", {name});
            for (const char* table : {"clients", "items", "inventory"})
                ok = store::run(core, std::string("DELETE FROM ") + table + " WHERE recordName = ?", {name}) && ok;
            return ok;
        }
        case Action::settle_own_deletion: return settle_own_deletion(core, name);
        case Action::delete_everywhere: return delete_everywhere(core, name);
        default: return true;
    }
}

// A downloaded row as the store keeps it, and what the rules read of it.
struct DownloadedRow {
    std::string name;
    std::string type;
    std::string table;
    std::string text;  // its content as it travelled
    std::string change_tag;
    Json::object row;
};

// Where a record came from: a download (from the zone's start after a refused token, or not), or a
// look-up of names this installation's upload left without an answer.
struct RecordOrigin {
    bool keep_pending = false;
    bool looked_up = false;
};

// The facts of a downloaded row against what is here.
sync_decision::RecordFacts row_facts(Core& core, const DownloadedRow& downloaded, const std::optional<Json::object>& local,
                                     const std::optional<std::string>& tombstone, const Uploaded& uploaded,
                                     RecordOrigin origin) {
    sync_decision::RecordFacts facts;
    const bool document = downloaded.type == "Documents";
    facts.kind = document ? sync_decision::RecordKind::document : sync_decision::RecordKind::row;
    facts.keep_pending = origin.keep_pending;
    facts.looked_up = origin.looked_up;
    facts.own_upload = is_own_upload(uploaded, downloaded.name, upload_digest(downloaded.type, downloaded.text));
    facts.tombstone_here = tombstone.has_value();
    facts.tombstone_tagged = tombstone && !tombstone->empty();
    facts.tombstone_of_this_copy = facts.tombstone_tagged && *tombstone == downloaded.change_tag;
    if (!local) return facts;
    facts.local_here = true;
    facts.local_unsynced = member(*local, "synced").number_value() == 0;
    facts.local_pending = facts.local_unsynced && upload_payload(core, downloaded.table, *local) != downloaded.text;
    if (!document) return facts;
    const std::string& base = member(*local, "recordChangeTag").string_value();
    facts.local_never_uploaded = base.empty();
    facts.upload_unanswered = upload_unanswered(uploaded, *local);
    facts.same_document = store::same_document(*local, downloaded.row);
    facts.edit_from_this_copy = !base.empty() && base == downloaded.change_tag;
    facts.local_later = member(*local, "modified").number_value() > member(downloaded.row, "modified").number_value();
    const bool status_here = !member(*local, "nav_status").string_value().empty();
    const bool status_downloaded = !member(downloaded.row, "nav_status").string_value().empty();
    facts.status_here_only = status_here && !status_downloaded;
    facts.status_downloaded_only = status_downloaded && !status_here;
    return facts;
}

// A downloaded document as the store keeps it: its change tag, its search text, and the members an
// older version named otherwise (such a document goes up again in today's shape).
void prepare_document(DownloadedRow& downloaded) {
    Json::object& row = downloaded.row;
    row["recordChangeTag"] = downloaded.change_tag;
    std::string search = search_text(row);
    for (const Json& line : member(row, "lines").array_items()) {
        search += ' ';
        search += search_text(line.object_items());
    }
    row["search"] = normalize_whitespace(search);
    bool legacy = false;
    if (row.count("currency_id")) {
        row.erase("currency_id");
        row.erase("language_id");
        legacy = true;
    }
    if (row.count("referenceRecordName")) {
        row["reference_recordName"] = member(row, "referenceRecordName").string_value();
        row.erase("referenceRecordName");
        legacy = true;
    }
    if (legacy) row["synced"] = 0;
}

// Writes a downloaded row over what its name holds.
bool write_downloaded_row(Core& core, DownloadedRow& downloaded, store::TableWriters& writers) {
    if (downloaded.type == "Documents") {
        const Json::array& lines = member(downloaded.row, "lines").array_items();
        std::vector<Json> document_lines(lines.begin(), lines.end());
        if (core.save_document(std::move(document_lines), true, downloaded.row).empty()) return false;
        return core.save_record(std::move(downloaded.row), "documents");
    }
    if (downloaded.type == "Settings") repair_settings(downloaded.row, core.is_hungarian);
    return writers.write(downloaded.table, downloaded.row);
}

// The local document, kept over the downloaded copy, takes the status the authority gave that copy.
bool keep_downloaded_status(Core& core, const Json::object& local, const DownloadedRow& downloaded) {
    Json::object kept = local;
    if (!store::keep_given_status(kept, downloaded.row)) return true;
    return store::run(core, "UPDATE documents SET nav_status = ?, piece_modified = ?, synced = 0 WHERE recordName = ?",
                      {kept["nav_status"], kept["piece_modified"], downloaded.name});
}

// Does what the decision says of a downloaded row.
Applied apply_row_decision(Core& core, const sync_decision::Decision& decision, DownloadedRow& downloaded,
                           const std::optional<Json::object>& local, SyncState& state, BatchLookups& lookups,
                           store::TableWriters& writers) {
    using sync_decision::Action;
    const std::string& name = downloaded.name;
    if (decision.drop_tombstone && !store::run(core, "DELETE FROM deleted WHERE recordName = ?", {name}))
        return Applied::failed;
    if (decision.tell_overtaken) state.told.overtaken.push_back(document_label(downloaded.row, name));
    if (decision.keep_status && decision.action != Action::write && !keep_downloaded_status(core, *local, downloaded))
        return Applied::failed;
    switch (decision.action) {
        case Action::tag_tombstone:
            return written_or_failed(store::set_tombstone_tag(core, name, downloaded.change_tag));
        case Action::tag_local_edit:
            return written_or_failed(store::run(core, "UPDATE documents SET recordChangeTag = ? WHERE recordName = ?",
                                                {downloaded.change_tag, name}));
        case Action::write:
            if (decision.move_local_aside) {
                const std::optional<Json::object> moved = store::move_document_aside(core, *local);
                if (!moved) return Applied::failed;
                lookups.names_moved();
                if (decision.tell_kept)
                    state.told.kept_unconfirmed.push_back(
                        document_label(*moved, member(*moved, "recordName").string_value()));
            }
            // The cloud's copy goes up again with the status given here.
            if (decision.keep_status && store::keep_given_status(downloaded.row, *local)) downloaded.row["synced"] = 0;
            return written_or_failed(write_downloaded_row(core, downloaded, writers));
        default: return Applied::written;
    }
}

// Writes one downloaded change record, as the decision over what is here and what came down says.
// Logo addresses are collected for after the page's transaction, so no transfer runs while the store
// is locked. A record that is no change of a row (not an object, without a name, data that is no row,
// a document's lines that are no line rows) is set aside and changes nothing.
Applied apply_downloaded_record(Core& core, const Json& record, SyncState& state, std::time_t now,
                                std::vector<std::string>& logos, RecordOrigin origin, BatchLookups& lookups,
                                store::TableWriters& writers) {
    DownloadedRow downloaded;
    downloaded.name = record["recordName"].string_value();
    downloaded.type = record["recordType"].string_value();
    if (!record.is_object() || downloaded.name.empty()) return Applied::set_aside;
    if (record["deleted"].bool_value()) {
        lookups.wrote(downloaded.name);
        return written_or_failed(apply_deletion(core, downloaded.name, state, lookups));
    }
    if (downloaded.type == kZoneIdentityType) {
        note_zone_identity(state, record["fields"]["data"]["value"].string_value());
        return Applied::written;
    }
    if (downloaded.type == "Assets") {
        logos.push_back(record["fields"]["data"]["value"]["downloadURL"].string_value());
        return Applied::written;
    }
    // Only the account's own tables, and never this installation's own settings rows (its token,
    // accounts, reports and uploads owed), whether or not it has such a row yet. A type of another
    // client of the account is no change of them.
    downloaded.table = table_of(downloaded.type);
    if (downloaded.table.empty() || (downloaded.type == "Settings" && store::is_local_setting(downloaded.name)))
        return Applied::written;

    downloaded.text = record["fields"]["data"]["value"].string_value();
    Json parsed = Json::parse(downloaded.text);
    if (!parsed.is_object() || !has_row_lines(parsed)) return Applied::set_aside;
    downloaded.row = std::move(parsed).object_items();
    downloaded.row["recordName"] = downloaded.name;
    downloaded.row["synced"] = static_cast<double>(now);
    downloaded.change_tag = record["recordChangeTag"].string_value();

    const std::optional<Json::object> local = lookups.row(core, downloaded.table, downloaded.name);
    const auto facts = row_facts(core, downloaded, local, lookups.tombstone_tag(core, downloaded.name), state.uploaded,
                                 origin);
    const sync_decision::Decision decision = sync_decision::decide(facts);
    lookups.wrote(downloaded.name);
    if (downloaded.type == "Documents") prepare_document(downloaded);
    return apply_row_decision(core, decision, downloaded, local, state, lookups, writers);
}

// A record looked up on its own (not by a download): false when a write failed.
bool apply_change_record(Core& core, const Json& record, SyncState& state, std::time_t now,
                         std::vector<std::string>& logos) {
    BatchLookups lookups;
    store::TableWriters writers(core);
    return apply_downloaded_record(core, record, state, now, logos, RecordOrigin{false, true}, lookups, writers) !=
           Applied::failed;
}

// A deletion reaches only the copy it was made on where its change tag is known: the cloud refuses
// it once that copy has changed. Without a tag it goes by name.
Json deletion_operation(const std::string& name, const std::string& change_tag) {
    if (change_tag.empty())
        return Json::object{{"operationType", "forceDelete"}, {"record", Json::object{{"recordName", name}}}};
    return Json::object{{"operationType", "delete"},
                        {"record", Json::object{{"recordName", name}, {"recordChangeTag", change_tag}}}};
}

Json replace_operation(const std::string& operation, const std::string& type, const std::string& name,
                       const std::string& payload) {
    return Json::object{
        {"operationType", operation},
        {"record", Json::object{{"recordType", type},
                                {"recordName", name},
                                {"fields", Json::object{{"data", Json::object{{"value", payload}}}}}}}};
}

// --- change pages -------------------------------------------------------------------------------

enum class PageKind { failed, more, last };

// What a change reply is: a failure (no reply, a server error, no zone with a token, or a page that
// claims more changes but names the token it was asked with), a page with more to come, or the last
// page.
PageKind page_kind(const Json& reply, const Json::object& zone) {
    if (reply.is_null() || !reply["serverErrorCode"].string_value().empty()) return PageKind::failed;
    const Json& page = reply["zones"][0];
    if (!page.is_object() || !page["syncToken"].is_string()) return PageKind::failed;
    if (!page["moreComing"].bool_value()) return PageKind::last;
    // More to come from the very point asked for: the same page would be asked for again and again.
    if (page["syncToken"].string_value() == member(zone, "syncToken").string_value()) return PageKind::failed;
    return PageKind::more;
}

// The zone entry of the page after `reply`: its token, and its zone as the reply named it.
Json::object continuation(const Json& reply, const Json::object& zone) {
    const Json& page = reply["zones"][0];
    return Json::object{{"syncToken", page["syncToken"]},
                        {"zoneID", page["zoneID"].is_object() ? page["zoneID"] : member(zone, "zoneID")}};
}

// Whether the cloud refused the change token the request carried: it answers so for a token it no
// longer knows (an expired one, one of a zone deleted and made anew, one of a data folder restored
// from an old backup), and would answer so at every pass.
bool token_refused(const Json& reply, const Json::object& zone) {
    if (member(zone, "syncToken").string_value().empty()) return false;
    const std::string& code = reply["serverErrorCode"].string_value();
    return code == "BAD_REQUEST" || code.find("TOKEN_EXPIRED") != std::string::npos;
}

// Whether the cloud holds no zone of the account any more (deleted, by another installation or by
// hand).
bool zone_not_found(const Json& reply) { return reply["serverErrorCode"].string_value() == "ZONE_NOT_FOUND"; }

// --- applying pages -----------------------------------------------------------------------------

// Downloaded pages waiting to be applied together.
struct ChangeBatch {
    std::vector<Json> pages;
    std::vector<Json> unread;  // records of these pages the reader could not take
    std::size_t records = 0;
    bool keep_pending = false;  // a download from the zone's start after a refused token
    bool listing = false;       // a download from the zone's start: it lists the zone as it stands
    bool listing_begins = false;  // its first batch: the rows held as synced are yet to be brought
    bool zone_made_here = false;  // the zone was not found and this download made it anew

    void add(sync_page::ChangePage page) {
        records += page.reply["zones"][0]["records"].array_items().size() + page.unread.size();
        pages.push_back(std::move(page.reply));
        for (Json& record : page.unread) unread.push_back(std::move(record));
    }
    void clear() {
        pages.clear();
        unread.clear();
        records = 0;
    }
};

// The tables whose rows a listing of the zone proves deleted where it does not bring them: settings
// are never deleted.
constexpr std::array<const char*, 4> kListedTables = {"documents", "clients", "items", "inventory"};
// The tables whose rows a listing looks for: settings too, one the listing does not bring being one the
// cloud lost. This installation's own settings rows are never uploaded and never marked (synced -1).
constexpr std::array<const char*, 5> kSyncedTables = {"documents", "settings", "clients", "items", "inventory"};
// The mark of a row held as synced that the listing under way has not brought yet: a time no
// download or upload writes (it writes the present one).
constexpr int kNotYetListed = 1;

bool mark_rows_to_be_listed(Core& core) {
    bool ok = true;
    for (const char* table : kSyncedTables)
        ok = store::run(core, std::string("UPDATE ") + table + " SET synced = ? WHERE synced > 0", {kNotYetListed}) && ok;
    return ok;
}

// The rows held as synced that a complete listing of the same zone did not bring were deleted
// elsewhere: they go here too (a row holding a change not yet uploaded was not marked, and goes up
// as new). Gives how many went, or -1 when a write failed.
int remove_unlisted_rows(Core& core) {
    int removed = 0;
    for (const char* table : kListedTables) {
        const auto rows = store::rows(core, std::string("SELECT recordName FROM ") + table + " WHERE synced = ?",
                                      {kNotYetListed});
        if (rows.empty()) continue;
        if (std::string(table) == "documents" &&
            !store::run(core,
                        "DELETE FROM document_lines WHERE documentRecordName IN "
                        "(SELECT recordName FROM documents WHERE synced = ?)",
                        {kNotYetListed}))
            return -1;
        if (!store::run(core, std::string("DELETE FROM ") + table + " WHERE synced = ?", {kNotYetListed})) return -1;
        // Stock movements are the history of a document, not what the user is told about.
        if (std::string(table) != "inventory") removed += static_cast<int>(rows.size());
    }
    return removed;
}

// The rows of a zone deleted and made anew (or of one that cannot be told to be the same) that the
// listing did not bring go up to it: a document as one the cloud has no copy of. So do the settings
// rows a listing of this installation's zone did not bring.
bool send_unlisted_rows_again(Core& core, bool settings_only) {
    bool ok = store::run(core, "UPDATE settings SET synced = 0 WHERE synced = ?", {kNotYetListed});
    if (settings_only) return ok;
    ok = store::run(core, "UPDATE documents SET synced = 0, recordChangeTag = '' WHERE synced = ?", {kNotYetListed}) && ok;
    for (const char* table : kListedTables)
        ok = store::run(core, std::string("UPDATE ") + table + " SET synced = 0 WHERE synced = ?", {kNotYetListed}) && ok;
    return ok;
}

// The listing ends (concluded, or given up for a download of another kind): the rows it did not bring
// and that stayed here are synced as they were.
bool end_listing(Core& core, SyncState& state) {
    state.listing = sync_state::Listing{};
    bool ok = true;
    for (const char* table : kSyncedTables)
        ok = store::run(core, std::string("UPDATE ") + table + " SET synced = ? WHERE synced = ?",
                        {static_cast<double>(clock_now()), kNotYetListed}) && ok;
    return ok;
}

// A complete listing of the zone is its whole truth, when it is the zone this installation knows (its
// identity record the one seen before, and no record of it set aside): the rows it did not bring go.
// Any other zone, or one that cannot be told to be the same, takes up the rows this installation held;
// the user is told when it is known to be another (`zone_made_here`: the zone was gone and this pass
// made it anew).
bool conclude_listing(Core& core, SyncState& state, bool zone_made_here) {
    const bool same_zone = !state.zone_identity.empty() && state.listing.zone_identity == state.zone_identity;
    bool ok = true;
    if (same_zone && !state.listing.unproven) {
        const int removed = remove_unlisted_rows(core);
        if (removed < 0) return false;
        state.told.removed += removed;
        ok = send_unlisted_rows_again(core, true);
    } else if (!same_zone) {
        ok = send_unlisted_rows_again(core, false);
        if (!state.zone_identity.empty() || zone_made_here) state.told.zone_made_anew = true;
    }
    state.zone_identity = state.listing.zone_identity;
    return end_listing(core, state) && ok;
}

// The records set aside are kept for the user, each once.
void keep_set_aside(SyncState& state, const std::vector<Json>& set_aside) {
    for (const Json& record : set_aside)
        if (std::find(state.told.set_aside.begin(), state.told.set_aside.end(), record) == state.told.set_aside.end())
            state.told.set_aside.push_back(record);
}

void log_set_aside(const std::vector<Json>& set_aside) {
    for (const Json& record : set_aside)
        std::fprintf(stderr, "Tavrin: a downloaded record (%s %s) cannot be read or is no row; it was set aside\n",
                     record["recordType"].string_value().c_str(), record["recordName"].string_value().c_str());
}

// Applies the records of the pages; false when a write failed.
bool apply_pages(Core& core, const ChangeBatch& batch, SyncState& state, std::vector<Json>& set_aside,
                 std::vector<std::string>& logos) {
    const std::time_t now = clock_now();
    BatchLookups lookups(core, batch.pages);
    store::TableWriters writers(core);
    for (const Json& page : batch.pages) {
        for (const Json& record : page["zones"][0]["records"].array_items()) {
            const Applied applied =
                apply_downloaded_record(core, record, state, now, logos, RecordOrigin{batch.keep_pending, false},
                                        lookups, writers);
            if (applied == Applied::set_aside)
                set_aside.push_back(Json::object{{"recordName", record["recordName"].string_value()},
                                                 {"recordType", record["recordType"].string_value()}});
            if (applied == Applied::failed) return false;
        }
    }
    return true;
}

// Applies the pages in one transaction and stores the token of the last; with `last`, the client
// repairs and the merge of a reported invoice's copies run too, and a listing of the zone from its
// start is concluded. False when a write failed: nothing of these pages is kept, and the next download
// asks for them again.
bool apply_batch(Core& core, const ChangeBatch& batch, bool last) {
    std::vector<std::string> logos;
    std::vector<Json> set_aside = batch.unread;
    if (batch.pages.empty()) return true;
    {
        store::Transaction transaction(core);
        if (!transaction.active()) return false;
        SyncState state = sync_state::read(core);
        bool ok = true;
        if (batch.listing_begins) {
            state.listing = sync_state::Listing{};
            state.listing.under_way = true;
            state.listing.keeps_pending = batch.keep_pending;
            ok = mark_rows_to_be_listed(core);
        }
        if (ok && !batch.listing && state.listing.under_way) ok = end_listing(core, state);
        if (ok) ok = apply_pages(core, batch, state, set_aside, logos);
        if (ok && last) ok = repair_clients(core);
        if (ok && last) ok = store::merge_reported_copies(core);
        keep_set_aside(state, set_aside);
        if (batch.listing && !set_aside.empty()) state.listing.unproven = true;
        if (ok && last && batch.listing) ok = conclude_listing(core, state, batch.zone_made_here);
        // A completed download has brought back everything uploaded before it: from its token on, no
        // echo of those uploads can come again.
        state.token = batch.pages.back()["zones"][0]["syncToken"].string_value();
        if (last) state.uploaded.clear();
        if (ok) ok = sync_state::write(core, state);
        if (!ok || !transaction.commit()) return false;
    }
    log_set_aside(set_aside);
    for (const std::string& url : logos)
        download_file(url, core.data_folder + core.current_account + "logo", empty_completion());
    return true;
}

}  // namespace

Core::ChangeDownload Core::download_changes() { return download_zone_changes(sync_zone_entry()); }

// ---------------------------------------------------------------------------------------------
// Core: the pass
// ---------------------------------------------------------------------------------------------

Json::object Core::sync_zone_entry() {
    Json::object zone{{"zoneID", Json::object{{"zoneName", current_account.get()}}}};
    const std::string token = sync_state::read(*this).token;
    if (!token.empty()) zone["syncToken"] = token;
    return zone;
}

bool Core::save_local_member(const std::string& name, Json value) {
    store::Transaction transaction(*this);
    if (!transaction.active()) return false;
    Json::object local = setting("local").object_items();
    local[name] = std::move(value);
    if (!save_record({{"recordName", "local"}, {"value", Json(local).dump()}, {"synced", -1}}, "settings")) return false;
    return transaction.commit();
}

Core::SyncOutcome Core::sync_start(JsonCallback done) {
    std::lock_guard<std::recursive_mutex> pass(sync_mutex);
    repeated_uploads = 0;
    further_uploads = 0;
    SyncOutcome outcome;
    if (current_account == "DEMO") {
        call_completion(done, Json());
        return outcome;
    }
    const std::string token_before = sync_state::read(*this).token;
    const ChangeDownload first = download_zone_changes(sync_zone_entry());
    outcome.changes = first.result;
    // A pass whose first download answered but could not be taken in holds back documents and
    // deletions; the cloud's code tells the user the true cause.
    if (first.result == ChangeDownload::Result::refused)
        outcome.refusal_code = first.last_reply["serverErrorCode"].string_value();
    upload_unsynced(first.result == ChangeDownload::Result::whole,
                    [&outcome](Json reply) { outcome.last_reply = std::move(reply); });
    outcome.cloud_changed = sync_state::read(*this).token != token_before;
    call_completion(done, outcome.last_reply);
    return outcome;
}

void Core::fetch_zone_changes(Json::object zone, JsonCallback done) {
    call_completion(done, download_zone_changes(std::move(zone)).last_reply);
}

Core::ChangeDownload Core::download_zone_changes(Json::object zone) {
    std::lock_guard<std::recursive_mutex> pass(sync_mutex);
    ChangeBatch batch;
    // Going on with a download from the start cut short in an earlier pass, or beginning one.
    const SyncState state = sync_state::read(*this);
    const std::string& token = member(zone, "syncToken").string_value();
    const bool listing_resumed = state.listing.under_way && !token.empty() && token == state.token;
    batch.keep_pending = listing_resumed && state.listing.keeps_pending;
    batch.listing = listing_resumed || token.empty();
    batch.listing_begins = token.empty();
    bool restarted = false;
    ChangeDownload download;
    // Pages are asked for in a loop, at most kMaxPages of them. Applied pages are stored with the token
    // that follows them, also when a later page fails: downloading them again after the user changed
    // one of their rows would bring back the older row.
    for (int page = 0; page < kMaxPages; ++page) {
        const Json body(Json::object{{"resultsLimit", kResultsLimit}, {"zones", zone}});
        sync_page::ChangePage received = sync_page::read(cloudkit_exchange("changes/zone", body),
                                                         member(zone, "zoneID")["zoneName"].string_value());
        download.last_reply = received.reply;
        const PageKind kind = received.refused ? PageKind::failed : page_kind(received.reply, zone);
        if (kind == PageKind::failed) {
            const bool zone_lost = zone_not_found(received.reply);
            if (!restarted && (token_refused(received.reply, zone) || zone_lost)) {
                // Asked for again from the start, once, merged as any download is; the token goes with
                // the first batch applied. A zone that is gone is made anew first, and this
                // installation's rows go up to it.
                if (zone_lost) {
                    cloudkit_exchange("zones/modify", zone_operation_body("create", current_account));
                    batch.zone_made_here = true;
                }
                batch.clear();
                batch.keep_pending = true;
                batch.listing = true;
                batch.listing_begins = true;
                restarted = true;
                zone.erase("syncToken");
                continue;
            }
            download.result = received.reply["serverErrorCode"].string_value().empty()
                                  ? ChangeDownload::Result::unreachable
                                  : ChangeDownload::Result::refused;
            break;
        }
        const Json reply = received.reply;
        batch.add(std::move(received));
        if (kind == PageKind::last) {
            download.result = apply_batch(*this, batch, true) ? ChangeDownload::Result::whole
                                                              : ChangeDownload::Result::not_applied;
            batch.clear();
            break;
        }
        if (batch.records >= kBatchRecords) {
            const bool applied = apply_batch(*this, batch, false);
            batch.clear();
            if (applied) batch.listing_begins = false;
            if (!applied) {
                download.result = ChangeDownload::Result::not_applied;
                break;
            }
        }
        zone = continuation(reply, zone);
    }
    if (!batch.pages.empty()) apply_batch(*this, batch, false);
    return download;
}

bool Core::apply_zone_changes(const std::vector<Json>& pages, bool last) {
    std::lock_guard<std::recursive_mutex> pass(sync_mutex);
    ChangeBatch batch;
    batch.pages = pages;
    return apply_batch(*this, batch, last);
}

// Each change of the sync state is read and written in one store transaction, so these need not wait
// for a pass (the window asks them).
Json Core::take_set_aside_records() {
    store::Transaction transaction(*this);
    SyncState state = sync_state::read(*this);
    const Json told = state.told.set_aside;
    if (state.told.set_aside.empty()) return Json::array{};
    state.told.set_aside.clear();
    if (!sync_state::write(*this, state) || !transaction.commit()) return Json::array{};
    return told;
}

void SyncNotices::add(const SyncNotices& later) {
    removed += later.removed;
    zone_made_anew = zone_made_anew || later.zone_made_anew;
    overtaken.insert(overtaken.end(), later.overtaken.begin(), later.overtaken.end());
    kept_unconfirmed.insert(kept_unconfirmed.end(), later.kept_unconfirmed.begin(), later.kept_unconfirmed.end());
}

Core::SyncNotices Core::take_sync_notices() {
    store::Transaction transaction(*this);
    SyncState state = sync_state::read(*this);
    SyncNotices& told = state.told;
    const SyncNotices notices = std::exchange(told, {});
    if (notices.empty()) return notices;
    if (!sync_state::write(*this, state) || !transaction.commit()) return SyncNotices{};
    return notices;
}

bool Core::put_back_untold(const UntoldNotices& untold) {
    if (untold.empty()) return true;
    store::Transaction transaction(*this);
    for (const KeptDraft& kept : untold.kept_drafts)
        if (!nav_report::tell_kept_draft(*this, kept)) return false;
    if (!untold.renumbered.empty()) {
        // Told first, as they were found first.
        Json::array renumbered = untold.renumbered;
        for (const Json& entry : setting(store::kRenumberedRow).array_items()) renumbered.push_back(entry);
        if (!save_record({{"recordName", store::kRenumberedRow}, {"value", Json(renumbered).dump()}, {"synced", -1}},
                         "settings"))
            return false;
    }
    SyncState state = sync_state::read(*this);
    sync_state::Told& told = state.told;
    told.set_aside.insert(told.set_aside.begin(), untold.set_aside.begin(), untold.set_aside.end());
    // Told first, as they were found first.
    SyncNotices notices = untold.sync;
    notices.add(told);
    static_cast<SyncNotices&>(told) = std::move(notices);
    return sync_state::write(*this, state) && transaction.commit();
}

namespace {

// A document the cloud has no copy of yet: it goes up as a create, which the cloud refuses when it
// holds the name. One that takes the name of a document deleted here follows that document's
// deletion; where the deleted one's cloud copy is not known (its tombstone has no change tag), it
// replaces whatever the cloud holds under the name, as the deletion meant.
bool created_here(Core& core, const Json::object& row) {
    if (!member(row, "recordChangeTag").string_value().empty()) return false;
    const std::optional<std::string> deleted_tag = store::tombstone_tag(core, member(row, "recordName").string_value());
    return !deleted_tag || !deleted_tag->empty();
}

bool created_here(Core& core, const std::string& name) {
    const auto rows = store::rows(core, "SELECT * FROM documents WHERE recordName = ?", {Json(name)});
    return !rows.empty() && created_here(core, rows.front());
}

// A document of this name that no reply of the cloud has confirmed: it has no change tag.
bool never_confirmed(Core& core, const std::string& name) {
    const auto rows = store::rows(core, "SELECT recordChangeTag FROM documents WHERE recordName = ?", {Json(name)});
    return !rows.empty() && member(rows.front(), "recordChangeTag").string_value().empty();
}

}  // namespace

void Core::upload_unsynced(bool cloud_changes_in_hand, const JsonCallback& done) {
    std::lock_guard<std::recursive_mutex> pass(sync_mutex);
    upload_changes_in_hand = cloud_changes_in_hand;
    Json::array operations;
    SentRecords sent;
    if (current_account != "DEMO") {
        store::Transaction transaction(*this);
        // What went up since the last completed download and is unchanged here waits for a download
        // to tell whether the cloud has it: sent again, it would reach the other installations as a
        // new change and win over their edits made on it.
        SyncState state = sync_state::read(*this);
        const Uploaded& uploaded = state.uploaded;
        auto add = [&](const std::string& type, const std::string& name, std::string payload,
                       const char* operation = "forceReplace") {
            if (is_own_upload(uploaded, name, upload_digest(type, payload))) return;
            if (type.empty())
                operations.push_back(deletion_operation(name, store::tombstone_tag(*this, name).value_or("")));
            else
                operations.push_back(replace_operation(operation, type, name, payload));
            sent[{type, name}] = std::move(payload);
        };
        // Newest documents first (after a whole download only); past the limit rows stay unsynced for
        // a later pass.
        const std::vector<Json::object> documents =
            cloud_changes_in_hand
                ? store::rows(*this, "SELECT * FROM documents WHERE synced = 0 ORDER BY created DESC LIMIT ?",
                              {static_cast<double>(kOperationLimit + uploaded.size())})
                : std::vector<Json::object>{};
        for (const Json::object& row : documents) {
            if (operations.size() >= kOperationLimit) break;
            const std::string name = member(row, "recordName").string_value();
            // A deletion of this name went up with no answer: until a download tells whether the cloud
            // carried it out, a deletion seen there cannot tell this document from the one deleted.
            if (is_own_upload(uploaded, name, upload_digest("", ""))) continue;
            // A document the cloud has no copy of yet must not replace one another installation made
            // under the same name: it is created, and the cloud refuses when the name is taken. One
            // that takes the name of a document deleted here goes right after that deletion, which
            // the cloud refuses (and so the create) when the deleted copy changed there meanwhile.
            const bool create = created_here(*this, row);
            if (create && store::tombstone_tag(*this, name)) {
                if (operations.size() + 1 >= kOperationLimit) break;
                add("", name, "");
            }
            add("Documents", name, upload_payload(*this, "documents", row), create ? "create" : "forceReplace");
        }
        for (const char* type : {"Settings", "Clients", "Items", "Inventory"}) {
            if (operations.size() >= kOperationLimit) break;
            const std::string table = to_lower(type);
            for (const Json::object& row : store::rows(*this, "SELECT * FROM " + table + " WHERE synced = 0")) {
                if (operations.size() >= kOperationLimit) break;
                const std::string name = member(row, "recordName").string_value();
                if (table == "settings" && store::is_local_setting(name)) continue;
                add(type, name, upload_payload(*this, table, row));
            }
        }
        for (const Json::object& row : store::rows(*this, "SELECT recordName FROM deleted")) {
            if (operations.size() >= kOperationLimit) break;
            const std::string name = member(row, "recordName").string_value();
            // A live document carries the name again: its upload replaces the deleted one, and the
            // tombstone stays until the cloud is known to hold it (an upload lost on its way would
            // otherwise leave the deleted document in the cloud, to come back).
            const auto live = store::rows(*this, "SELECT synced FROM documents WHERE recordName = ?", {name});
            if (!live.empty()) {
                if (member(live.front(), "synced").number_value() != 0)
                    store::run(*this, "DELETE FROM deleted WHERE recordName = ?", {name});
                continue;
            }
            if (cloud_changes_in_hand) add("", name, "");
        }
        // A zone without an identity record known here gets one, so that a zone made anew under its
        // name is told apart from it. Only with the cloud's changes in hand: the download may bring one.
        if (cloud_changes_in_hand && state.zone_identity.empty() && operations.size() < kOperationLimit) {
            const std::string identity = new_record_name();
            operations.push_back(replace_operation("create", kZoneIdentityType, kZoneIdentityName, identity));
            sent[{kZoneIdentityType, kZoneIdentityName}] = identity;
        }
        // Known before the request goes: its reply may be lost while the cloud keeps what it got.
        remember_uploads(state, sent);
        if (!operations.empty() && !sync_state::write(*this, state)) operations.clear();
        if (!transaction.commit()) operations.clear();
    }
    if (operations.empty()) {
        // A repeated upload with nothing left to send still ends the pass with its download.
        if (repeated_uploads > 0 || further_uploads > 0) closing_download(done);
        else call_completion(done, Json());
        return;
    }
    const Json body(Json::object{{"operations", std::move(operations)},
                                 {"zoneID", Json::object{{"zoneName", current_account.get()}}}});
    cloudkit_request("records/modify", body,
                     [this, &sent, &done](Json reply) { apply_modify_result(std::move(reply), sent, done); });
}

void Core::apply_modify_result(Json reply, const SentRecords& sent, const JsonCallback& done) {
    std::lock_guard<std::recursive_mutex> pass(sync_mutex);
    std::vector<std::string> refused;  // creates and deletions the cloud's record stands against
    std::set<std::string> answered;
    bool taken = false;             // the cloud carried out at least one operation
    bool identity_stands = false;   // the create of the zone's identity met one standing
    {
        store::Transaction transaction(*this);
        for (const Json& entry : reply["records"].array_items()) {
            const std::string& name = entry["recordName"].string_value();
            answered.insert(name);
            if (entry["serverErrorCode"].string_value().empty()) taken = true;
            if (name == kZoneIdentityName && sent.count({kZoneIdentityType, name}) && is_standing_record_refusal(entry)) {
                identity_stands = true;
                continue;
            }
            if (entry["deleted"].bool_value()) {
                // Only deletions this upload asked for.
                if (sent.count({"", name})) settle_own_deletion(*this, name);
                continue;
            }
            const bool deletion_sent = sent.count({"", name}) != 0;
            if (deletion_sent && entry["serverErrorCode"].string_value() == "NOT_FOUND") {
                // The cloud holds nothing under the name any more: the deletion has nothing left to do.
                settle_own_deletion(*this, name);
                continue;
            }
            if (is_standing_record_refusal(entry) &&
                (deletion_sent || (sent.count({"Documents", name}) && created_here(*this, name)))) {
                if (std::find(refused.begin(), refused.end(), name) == refused.end()) refused.push_back(name);
                continue;
            }
            const std::string& type = entry["recordType"].string_value();
            if (type.empty()) continue;  // a refused operation: the row goes up again next time
            auto payload = sent.find({type, name});
            if (payload == sent.end()) continue;
            if (type == kZoneIdentityType) {
                SyncState state = sync_state::read(*this);
                state.zone_identity = payload->second;
                sync_state::write(*this, state);
                continue;
            }
            // A row saved again while its upload was under way keeps its unsynced mark.
            const std::string table = to_lower(type);
            auto rows = store::rows(*this, "SELECT * FROM " + table + " WHERE recordName = ?", {name});
            if (rows.empty()) {
                // Deleted here while its upload was under way: the deletion was made on this copy.
                if (table == "documents" && entry["recordChangeTag"].is_string() && store::tombstone_tag(*this, name))
                    store::set_tombstone_tag(*this, name, entry["recordChangeTag"].string_value());
                continue;
            }
            const bool unchanged = upload_payload(*this, table, rows.front()) == payload->second;
            // The cloud's copy is now this upload's: the document is known there even when the
            // closing download fails, and a later edit here is based on this copy. A document deleted
            // here under this name is gone from the cloud with it.
            if (table == "documents" && entry["recordChangeTag"].is_string()) {
                store::run(*this, "UPDATE documents SET recordChangeTag = ? WHERE recordName = ?",
                           {entry["recordChangeTag"], name});
                store::run(*this, "DELETE FROM deleted WHERE recordName = ?", {name});
            }
            if (unchanged)
                store::run(*this, "UPDATE " + table + " SET synced = ? WHERE recordName = ?",
                           {static_cast<double>(clock_now()), name});
        }
        transaction.commit();
    }

    // Documents the cloud never confirmed whose upload has no answer (the reply was lost) are looked up
    // at once, whether they went as a create or, over a deletion without a change tag, as a replace: a
    // document the cloud did not take must not be taken for the one another installation deleted under
    // its name, and one it took is known there.
    std::vector<std::string> unanswered;
    for (const auto& [key, payload] : sent) {
        const auto& [type, name] = key;
        if (type == "Documents" && !answered.count(name) && never_confirmed(*this, name)) unanswered.push_back(name);
    }
    if (!unanswered.empty()) apply_cloud_records(unanswered);
    if (identity_stands) learn_zone_identity();

    // The cloud holds records under names of documents made here, or a deleted document changed there
    // since this installation saw it: its copies are applied as a download does (the deletion is void,
    // a different document moves this one to a free number), and what is left goes up again. A few
    // rounds at most; the rest waits for the next pass.
    if (!refused.empty() && repeated_uploads < kRepeatedUploads && apply_cloud_records(refused)) {
        ++repeated_uploads;
        // Creates went up, so the pass's first download was whole.
        upload_unsynced(true, done);
        return;
    }
    // A full upload the cloud took leaves more rows to send: they go now, a bounded number of times.
    if (sent.size() >= kOperationLimit && taken && further_uploads < kFurtherUploads) {
        ++further_uploads;
        upload_unsynced(upload_changes_in_hand, done);
        return;
    }
    closing_download(done);
}

void Core::learn_zone_identity() {
    Json reply;
    cloudkit_request("records/lookup",
                     Json::object{{"records", Json::array{Json::object{{"recordName", kZoneIdentityName}}}},
                                  {"zoneID", Json::object{{"zoneName", current_account.get()}}}},
                     [&reply](Json answer) { reply = std::move(answer); });
    const Json& record = reply["records"][0];
    const Json& identity = record["fields"]["data"]["value"];
    if (record["recordType"].string_value() != kZoneIdentityType || !identity.is_string() ||
        identity.string_value().empty())
        return;
    store::Transaction transaction(*this);
    SyncState state = sync_state::read(*this);
    state.zone_identity = identity.string_value();
    if (sync_state::write(*this, state)) transaction.commit();
}

bool Core::apply_cloud_records(const std::vector<std::string>& names) {
    Json::array wanted;
    for (const std::string& name : names) wanted.push_back(Json::object{{"recordName", name}});
    Json reply;
    cloudkit_request("records/lookup",
                     Json::object{{"records", std::move(wanted)}, {"zoneID", Json::object{{"zoneName", current_account.get()}}}},
                     [&reply](Json answer) { reply = std::move(answer); });
    store::Transaction transaction(*this);
    if (!transaction.active()) return false;
    SyncState state = sync_state::read(*this);
    std::vector<std::string> logos;  // only documents are asked for
    // Held here now although no download brought them: until one completes, a download bringing them
    // again is no change made elsewhere (nor a document that a deletion made here did not see).
    SentRecords held;
    bool changed = false;
    for (const Json& record : reply["records"].array_items()) {
        const std::string& name = record["recordName"].string_value();
        const bool found = record["serverErrorCode"].string_value() != "NOT_FOUND";
        const std::string& text = record["fields"]["data"]["value"].string_value();
        if (found && record["recordType"].string_value() != "Documents") continue;  // an error
        // This installation's upload of the name is not there when no record holds the name, or
        // another document does: its digests go, whatever the tombstone under the name carries (one
        // deleted here stays until its deletion goes up).
        const auto documents = store::rows(*this, "SELECT * FROM documents WHERE recordName = ?", {name});
        const bool unconfirmed = !documents.empty() && member(documents.front(), "recordChangeTag").string_value().empty();
        if (unconfirmed && !(found && store::same_document(documents.front(), Json::parse(text).object_items()))) {
            forget_create(state, name, create_digests(*this, documents.front()));
            changed = true;
        }
        if (found) {
            if (!apply_change_record(*this, record, state, clock_now(), logos)) return false;
            held[{"Documents", name}] = text;
            changed = true;
        }
    }
    remember_uploads(state, held);
    return changed && sync_state::write(*this, state) && transaction.commit();
}

void Core::closing_download(const JsonCallback& done) {
    // The closing download brings the uploaded records back, recognised as this installation's own.
    fetch_zone_changes(sync_zone_entry(), [&done](Json result) { call_completion(done, std::move(result)); });
}
