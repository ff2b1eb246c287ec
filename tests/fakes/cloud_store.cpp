#include "tests/fakes/cloud_store.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <memory>

using json11::Json;

namespace {

Json error_reply(const std::string& code, const std::string& reason) {
    return Json(Json::object{{"serverErrorCode", code}, {"reason", reason}});
}

Json zone_id(const std::string& zone) {
    return Json(Json::object{{"zoneName", zone}, {"ownerRecordName", "_fake_owner"}, {"zoneType", "REGULAR_CUSTOM_ZONE"}});
}

}  // namespace

CloudStore::CloudStore() {
    zone_locked("_defaultZone");
    add_endpoint("changes/zone", [this](const Json& body) { return changes_zone(body); });
    add_endpoint("records/modify", [this](const Json& body) { return records_modify(body); });
    add_endpoint("records/query", [this](const Json& body) { return records_query(body); });
    add_endpoint("records/lookup", [this](const Json& body) { return records_lookup(body); });
    add_endpoint("zones/modify", [this](const Json& body) { return zones_modify(body); });
    add_endpoint("assets/upload", [this](const Json& body) { return assets_upload(body); });
    route("POST", "/upload/*", [this](const httplib::Request& request, httplib::Response& response) {
        upload_file(request, response);
    });
    route("GET", "/assets/*", [this](const httplib::Request& request, httplib::Response& response) {
        download_asset(request, response);
    });
}

CloudStore::~CloudStore() {
    release();
    stop();
}

void CloudStore::add_endpoint(const std::string& endpoint, Endpoint handler) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    endpoints_[endpoint] = std::move(handler);
}

void CloudStore::create_zone(const std::string& zone) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    zone_locked(zone);
}

void CloudStore::forget_tokens(const std::string& zone) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    zone_locked(zone).generation = generations_[zone]++;
}

bool CloudStore::has_zone(const std::string& zone) const {
    std::lock_guard<std::mutex> lock(store_mutex_);
    return zones_.count(zone) != 0;
}

std::string CloudStore::put_record(const std::string& zone, const std::string& type, const std::string& name,
                                   Json fields) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    return write_locked(zone_locked(zone), type, name, std::move(fields)).change_tag;
}

std::string CloudStore::put_row(const std::string& zone, const std::string& type, const std::string& name,
                                const Json& row) {
    return put_record(zone, type, name, Json(Json::object{{"data", Json::object{{"value", row.dump()}}}}));
}

void CloudStore::delete_record(const std::string& zone, const std::string& name) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    delete_locked(zone_locked(zone), name);
}

std::optional<CloudStore::Record> CloudStore::record(const std::string& zone, const std::string& name) const {
    std::lock_guard<std::mutex> lock(store_mutex_);
    auto z = zones_.find(zone);
    if (z == zones_.end()) return std::nullopt;
    auto found = z->second.records.find(name);
    if (found == z->second.records.end()) return std::nullopt;
    return found->second;
}

std::vector<CloudStore::Record> CloudStore::records(const std::string& zone) const {
    std::lock_guard<std::mutex> lock(store_mutex_);
    std::vector<Record> out;
    auto z = zones_.find(zone);
    if (z == zones_.end()) return out;
    for (const auto& [change, name] : z->second.by_change) {
        const Record& record = z->second.records.at(name);
        if (!record.deleted) out.push_back(record);
    }
    return out;
}

Json CloudStore::row(const std::string& zone, const std::string& name) const {
    auto found = record(zone, name);
    if (!found || found->deleted) return Json();
    return Json::parse(found->fields["data"]["value"].string_value());
}

std::string CloudStore::token(const std::string& zone) const {
    std::lock_guard<std::mutex> lock(store_mutex_);
    auto z = zones_.find(zone);
    return token_locked(zone, z == zones_.end() ? 0 : z->second.change);
}

void CloudStore::fail(const std::string& endpoint, Fault fault, int skip, bool after_apply) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    faults_.push_back({endpoint, fault, skip, after_apply});
}

void CloudStore::refuse_record(const std::string& name) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    refused_.insert(name);
}

void CloudStore::answer_exists_as_conflict(bool conflict) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    exists_as_conflict_ = conflict;
}

void CloudStore::set_unreachable(const std::string& web_auth_token, bool unreachable) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    if (unreachable) unreachable_.insert(web_auth_token);
    else unreachable_.erase(web_auth_token);
}

void CloudStore::set_fault_policy(FaultPolicy policy) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    fault_policy_ = std::move(policy);
}

void CloudStore::set_page_limit(int records) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    page_limit_ = records;
}

void CloudStore::hold(const std::string& endpoint) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    hold_endpoint_ = endpoint;
    holding_ = true;
    held_ = false;
    released_ = false;
}

bool CloudStore::wait_held(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(store_mutex_);
    return hold_changed_.wait_for(lock, limit, [this] { return held_; });
}

void CloudStore::release() {
    {
        std::lock_guard<std::mutex> lock(store_mutex_);
        released_ = true;
        holding_ = false;
    }
    hold_changed_.notify_all();
}

CloudStore::Zone& CloudStore::zone_locked(const std::string& zone) {
    auto found = zones_.find(zone);
    if (found != zones_.end()) return found->second;
    Zone& made = zones_[zone];
    made.generation = generations_[zone]++;
    return made;
}

CloudStore::Record& CloudStore::write_locked(Zone& zone, const std::string& type, const std::string& name,
                                             Json fields) {
    Record& record = zone.records[name];
    if (record.change) zone.by_change.erase(record.change);
    record.type = type;
    record.name = name;
    record.change_tag = "ct" + std::to_string(++tags_);
    record.fields = std::move(fields);
    record.deleted = false;
    record.change = ++zone.change;
    zone.by_change[record.change] = name;
    return record;
}

const CloudStore::Record* CloudStore::live_locked(const Zone& zone, const std::string& name) {
    auto found = zone.records.find(name);
    return found == zone.records.end() || found->second.deleted ? nullptr : &found->second;
}

bool CloudStore::delete_locked(Zone& zone, const std::string& name) {
    auto found = zone.records.find(name);
    if (found == zone.records.end() || found->second.deleted) return false;
    Record& record = found->second;
    zone.by_change.erase(record.change);
    record.deleted = true;
    record.fields = Json();
    record.change_tag = "ct" + std::to_string(++tags_);
    record.change = ++zone.change;
    zone.by_change[record.change] = name;
    return true;
}

std::string CloudStore::token_locked(const std::string& zone, std::uint64_t change, std::uint64_t listing_start) const {
    auto found = zones_.find(zone);
    const std::uint64_t generation = found == zones_.end() ? 0 : found->second.generation;
    return zone + ":" + std::to_string(change) + (generation ? "~" + std::to_string(generation) : std::string()) +
           (listing_start ? "+" + std::to_string(listing_start) : std::string());
}

Json CloudStore::record_json(const Record& record) {
    if (record.deleted) return Json::object{{"recordName", record.name}, {"deleted", true}};
    return Json::object{{"recordName", record.name},
                        {"recordType", record.type},
                        {"recordChangeTag", record.change_tag},
                        {"fields", record.fields}};
}

Json CloudStore::changes_zone(const Json& body) {
    // One zone entry, an object (not an array of them).
    const Json& entry = body["zones"];
    if (!entry.is_object()) return error_reply("BAD_REQUEST", "zones must be one zone entry");
    const Json& name = entry["zoneID"]["zoneName"];
    if (!name.is_string()) return error_reply("BAD_REQUEST", "missing zoneID.zoneName");
    auto z = zones_.find(name.string_value());
    if (z == zones_.end()) return error_reply("ZONE_NOT_FOUND", "no zone " + name.string_value());
    Zone& zone = z->second;

    // A listing without a token is the zone as it stands: its live records only, the service keeps no
    // deletion from before for it. Its continuation tokens remember where it started, so that later
    // pages leave out those deletions too.
    std::uint64_t since = 0;
    std::uint64_t listing_start = zone.change;
    if (!entry["syncToken"].is_null()) {
        const std::optional<TokenPoint> point = read_token_locked(name.string_value(), entry["syncToken"].string_value());
        if (!point) return error_reply("BAD_REQUEST", "unknown sync token");
        since = point->change;
        listing_start = point->listing_start;
    }
    int limit = body["resultsLimit"].int_value();
    if (limit <= 0) limit = 200;
    if (page_limit_ > 0 && page_limit_ < limit) limit = page_limit_;

    Json::array records;
    std::uint64_t reached = since;
    auto it = zone.by_change.upper_bound(since);
    for (; it != zone.by_change.end() && records.size() < static_cast<std::size_t>(limit); ++it) {
        const Record& record = zone.records.at(it->second);
        reached = it->first;
        if (record.deleted && record.change <= listing_start) continue;
        records.push_back(record_json(record));
    }
    const bool more = it != zone.by_change.end();
    if (!more) reached = zone.change;
    return Json::object{
        {"zones", Json::array{Json::object{{"zoneID", zone_id(name.string_value())},
                                           {"syncToken", token_locked(name.string_value(), reached,
                                                                      more ? listing_start : 0)},
                                           {"moreComing", more},
                                           {"records", std::move(records)}}}}};
}

std::optional<CloudStore::TokenPoint> CloudStore::read_token_locked(const std::string& zone_name,
                                                                    const std::string& token) const {
    auto z = zones_.find(zone_name);
    if (z == zones_.end()) return std::nullopt;
    const std::string prefix = zone_name + ":";
    if (token.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    const char* last = token.data() + token.size();
    TokenPoint point;
    auto [end, ec] = std::from_chars(token.data() + prefix.size(), last, point.change);
    if (ec != std::errc()) return std::nullopt;
    std::uint64_t generation = 0;
    if (end != last && *end == '~') {
        auto [generation_end, generation_ec] = std::from_chars(end + 1, last, generation);
        if (generation_ec != std::errc()) return std::nullopt;
        end = generation_end;
    }
    if (end != last && *end == '+') {
        auto [start_end, start_ec] = std::from_chars(end + 1, last, point.listing_start);
        if (start_ec != std::errc()) return std::nullopt;
        end = start_end;
    }
    if (end != last || point.change > z->second.change || generation != z->second.generation) return std::nullopt;
    return point;
}

Json CloudStore::records_modify(const Json& body) {
    const Json& name = body["zoneID"]["zoneName"];
    if (!name.is_string()) return error_reply("BAD_REQUEST", "missing zoneID.zoneName");
    auto z = zones_.find(name.string_value());
    if (z == zones_.end()) return error_reply("ZONE_NOT_FOUND", "no zone " + name.string_value());
    Zone& zone = z->second;

    // The rows go as an array of operations, the accounts record as one operation object.
    const Json& given = body["operations"];
    Json::array operations;
    if (given.is_array()) operations = given.array_items();
    else if (given.is_object()) operations.push_back(given);
    else return error_reply("BAD_REQUEST", "missing operations");

    Json::array results;
    for (const Json& operation : operations) {
        const std::string& type = operation["operationType"].string_value();
        const Json& record = operation["record"];
        const std::string& record_name = record["recordName"].string_value();
        if (record_name.empty()) results.push_back(refusal(record_name, "BAD_REQUEST", "missing recordName"));
        else if (refused_.count(record_name)) results.push_back(refusal(record_name, "CONFLICT", "record refused by the test"));
        else if (type == "forceReplace") results.push_back(modify_replace(zone, record));
        else if (type == "create") results.push_back(modify_create(zone, record));
        else if (type == "update") results.push_back(modify_update(zone, record));
        else if (type == "forceDelete") results.push_back(modify_force_delete(zone, record));
        else if (type == "delete") results.push_back(modify_delete(zone, record));
        else results.push_back(refusal(record_name, "BAD_REQUEST", "unsupported operationType " + type));
    }
    return Json::object{{"records", std::move(results)}};
}

Json CloudStore::refusal(const std::string& record_name, const std::string& code, const std::string& reason) {
    return Json::object{{"recordName", record_name}, {"serverErrorCode", code}, {"reason", reason}};
}

Json CloudStore::modify_replace(Zone& zone, const Json& record) {
    const std::string& record_name = record["recordName"].string_value();
    const Json& record_type = record["recordType"];
    if (!record_type.is_string() || record_type.string_value().empty() || !record["fields"].is_object())
        return refusal(record_name, "BAD_REQUEST", "the record needs recordType and fields");
    Json fields = record["fields"];
    if (record_type.string_value() == "Assets") {
        // An asset field is saved with the receipt of its upload and read back with an address.
        const Json& value = fields["data"]["value"];
        const std::string& receipt = value["receipt"].string_value();
        if (!value.is_object() || !assets_.count(receipt)) return refusal(record_name, "BAD_REQUEST", "unknown asset receipt");
        fields = Json::object{{"data", Json::object{{"value", Json::object{{"downloadURL", url() + "/assets/" + receipt},
                                                                           {"fileChecksum", value["fileChecksum"]},
                                                                           {"size", value["size"]}}}}}};
    }
    return record_json(write_locked(zone, record_type.string_value(), record_name, fields));
}

Json CloudStore::modify_create(Zone& zone, const Json& record) {
    const std::string& record_name = record["recordName"].string_value();
    if (live_locked(zone, record_name)) {
        // The native framework's answer is a server-record-changed refusal.
        if (exists_as_conflict_) return refusal(record_name, "CONFLICT", "record to insert already exists");
        return refusal(record_name, "EXISTS", "record already exists");
    }
    return modify_replace(zone, record);
}

Json CloudStore::modify_update(Zone& zone, const Json& record) {
    // Written only over the version the writer read.
    const std::string& record_name = record["recordName"].string_value();
    const Record* live = live_locked(zone, record_name);
    if (!live) return refusal(record_name, "NOT_FOUND", "no such record");
    if (record["recordChangeTag"].string_value() != live->change_tag)
        return refusal(record_name, "CONFLICT", "the record has changed");
    if (!record["fields"].is_object()) return refusal(record_name, "BAD_REQUEST", "update needs fields");
    const std::string record_type = live->type;
    return record_json(write_locked(zone, record_type, record_name, record["fields"]));
}

Json CloudStore::modify_force_delete(Zone& zone, const Json& record) {
    const std::string& record_name = record["recordName"].string_value();
    delete_locked(zone, record_name);
    return Json::object{{"recordName", record_name}, {"deleted", true}};
}

Json CloudStore::modify_delete(Zone& zone, const Json& record) {
    // Carried out only on the version the writer read.
    const std::string& record_name = record["recordName"].string_value();
    const Record* live = live_locked(zone, record_name);
    if (!live) return refusal(record_name, "NOT_FOUND", "no such record");
    if (record["recordChangeTag"].string_value() != live->change_tag)
        return refusal(record_name, "CONFLICT", "the record has changed");
    return modify_force_delete(zone, record);
}

Json CloudStore::records_query(const Json& body) {
    const Json& name = body["zoneID"]["zoneName"];
    if (!name.is_string()) return error_reply("BAD_REQUEST", "missing zoneID.zoneName");
    auto z = zones_.find(name.string_value());
    if (z == zones_.end()) return error_reply("ZONE_NOT_FOUND", "no zone " + name.string_value());
    const std::string& type = body["query"]["recordType"].string_value();
    Json::array results;
    for (const auto& [record_name, record] : z->second.records) {
        if (!record.deleted && record.type == type) results.push_back(record_json(record));
    }
    return Json::object{{"records", std::move(results)}};
}

Json CloudStore::records_lookup(const Json& body) {
    const Json& name = body["zoneID"]["zoneName"];
    if (!name.is_string()) return error_reply("BAD_REQUEST", "missing zoneID.zoneName");
    auto z = zones_.find(name.string_value());
    if (z == zones_.end()) return error_reply("ZONE_NOT_FOUND", "no zone " + name.string_value());
    if (!body["records"].is_array()) return error_reply("BAD_REQUEST", "missing records");
    Json::array results;
    for (const Json& wanted : body["records"].array_items()) {
        const std::string& record_name = wanted["recordName"].string_value();
        if (const Record* live = live_locked(z->second, record_name))
            results.push_back(record_json(*live));
        else
            results.push_back(Json::object{{"recordName", record_name}, {"serverErrorCode", "NOT_FOUND"}, {"reason", "no such record"}});
    }
    return Json::object{{"records", std::move(results)}};
}

Json CloudStore::zones_modify(const Json& body) {
    const Json& given = body["operations"];
    Json::array operations;
    if (given.is_array()) operations = given.array_items();
    else if (given.is_object()) operations.push_back(given);
    else return error_reply("BAD_REQUEST", "missing operations");

    Json::array results;
    for (const Json& operation : operations) {
        const std::string& type = operation["operationType"].string_value();
        const Json& name = operation["zone"]["zoneID"]["zoneName"];
        if (!name.is_string() || name.string_value().empty())
            return error_reply("BAD_REQUEST", "missing zone.zoneID.zoneName");
        const std::string& zone = name.string_value();
        if (type == "create") {
            zone_locked(zone);
            results.push_back(Json::object{{"zoneID", zone_id(zone)}});
        } else if (type == "delete") {
            if (zone == "_defaultZone") return error_reply("BAD_REQUEST", "the default zone cannot be deleted");
            if (!zones_.erase(zone)) return error_reply("ZONE_NOT_FOUND", "no zone " + zone);
            results.push_back(Json::object{{"zoneID", zone_id(zone)}, {"deleted", true}});
        } else {
            return error_reply("BAD_REQUEST", "unsupported operationType " + type);
        }
    }
    return Json::object{{"zones", std::move(results)}};
}

Json CloudStore::assets_upload(const Json& body) {
    const Json& name = body["zoneID"]["zoneName"];
    if (!name.is_string()) return error_reply("BAD_REQUEST", "missing zoneID.zoneName");
    if (!zones_.count(name.string_value())) return error_reply("ZONE_NOT_FOUND", "no zone " + name.string_value());
    // One token request, an object (not an array of them).
    const Json& request = body["tokens"];
    if (!request.is_object() || request["recordType"].string_value().empty() ||
        request["fieldName"].string_value().empty())
        return error_reply("BAD_REQUEST", "tokens must be one object with recordType and fieldName");
    const std::string token = "u" + std::to_string(++upload_count_);
    upload_tokens_.insert(token);
    return Json::object{{"tokens", Json::array{Json::object{{"recordType", request["recordType"]},
                                                            {"fieldName", request["fieldName"]},
                                                            {"url", url() + "/upload/" + token}}}}};
}

void CloudStore::upload_file(const httplib::Request& request, httplib::Response& response) {
    Upload upload;
    upload.request = FakeServer::record(request);
    upload.part_count = request.files.size();
    if (!request.files.empty()) {
        const httplib::MultipartFormData& part = request.files.begin()->second;
        upload.part_name = part.name;
        upload.filename = part.filename;
        upload.content = part.content;
    }
    const std::string token = upload.request.path.substr(std::string("/upload/").size());
    std::lock_guard<std::mutex> lock(store_mutex_);
    const bool known = upload_tokens_.erase(token) != 0;
    if (refused_uploads_ > 0 || !known || upload.part_count != 1 || upload.part_name != "upload_file") {
        if (refused_uploads_ > 0) --refused_uploads_;
        uploads_.push_back(upload);
        send_json(response, known ? 500 : 404, error_reply("BAD_REQUEST", "upload refused"));
        return;
    }
    upload.receipt = "rcpt-" + token;
    assets_[upload.receipt] = upload.content;
    uploads_.push_back(upload);
    const std::string checksum = "sum-" + std::to_string(std::hash<std::string>()(upload.content));
    send_json(response, 200, Json::object{{"singleFile", Json::object{{"fileChecksum", checksum},
                                                                      {"receipt", upload.receipt},
                                                                      {"referenceChecksum", "ref-" + token},
                                                                      {"size", static_cast<double>(upload.content.size())},
                                                                      {"wrappingKey", "wk-" + token}}}});
}

void CloudStore::download_asset(const httplib::Request& request, httplib::Response& response) {
    const std::string receipt = request.path.substr(std::string("/assets/").size());
    std::lock_guard<std::mutex> lock(store_mutex_);
    auto found = assets_.find(receipt);
    if (found == assets_.end()) {
        response.status = 404;
        return;
    }
    response.set_content(found->second, "application/octet-stream");
}

std::vector<CloudStore::Upload> CloudStore::uploads() const {
    std::lock_guard<std::mutex> lock(store_mutex_);
    return uploads_;
}

std::string CloudStore::asset(const std::string& receipt) const {
    std::lock_guard<std::mutex> lock(store_mutex_);
    auto found = assets_.find(receipt);
    return found == assets_.end() ? std::string() : found->second;
}

void CloudStore::refuse_uploads(int count) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    refused_uploads_ = count;
}

Json CloudStore::answer(const CloudCall& call) {
    std::lock_guard<std::mutex> lock(store_mutex_);
    auto handler = endpoints_.find(call.endpoint);
    if (handler == endpoints_.end()) return CloudFake::answer(call);
    if (!call.body.is_object()) return error_reply("BAD_REQUEST", "the body is not a JSON object");
    return handler->second(call.body);
}

void CloudStore::respond(const CloudCall& call, httplib::Response& response) {
    std::optional<PendingFault> fault;
    {
        std::unique_lock<std::mutex> lock(store_mutex_);
        if (holding_ && call.endpoint == hold_endpoint_) {
            holding_ = false;
            held_ = true;
            hold_changed_.notify_all();
            hold_changed_.wait(lock, [this] { return released_; });
        }
        for (auto it = faults_.begin(); it != faults_.end(); ++it) {
            if (it->endpoint != call.endpoint) continue;
            if (it->skip > 0) {
                --it->skip;
            } else {
                fault = *it;
                faults_.erase(it);
            }
            break;
        }
        if (unreachable_.count(call.web_auth_token)) fault = PendingFault{call.endpoint, Fault::drop, 0, false};
        if (!fault && fault_policy_) {
            if (auto chosen = fault_policy_(call.endpoint))
                fault = PendingFault{call.endpoint, chosen->fault, 0, chosen->after_apply};
        }
    }
    if (!fault) {
        CloudFake::respond(call, response);
        return;
    }
    const std::string reply = fault->after_apply ? answer(call).dump() : std::string("{\"records\": []}");
    switch (fault->fault) {
        case Fault::close_connection: {
            // Announces the whole reply, sends its first half and hangs up.
            auto text = std::make_shared<std::string>(reply);
            const std::size_t half = text->size() / 2;
            response.set_content_provider(
                text->size(), "application/json",
                [text, half](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset >= half) return false;
                    sink.write(text->data() + offset, half - offset);
                    return true;
                });
            break;
        }
        case Fault::drop:
            // A content provider that gives nothing: the connection closes right after the headers.
            response.set_content_provider(reply.size(), "application/json",
                                          [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
            break;
        case Fault::status_500:
            response.status = 500;
            response.set_content("<html><body><h1>500 Internal Server Error</h1></body></html>", "text/html");
            break;
        case Fault::invalid_json:
            response.status = 200;
            response.set_content(reply.substr(0, reply.size() / 2), "application/json");
            break;
    }
}
