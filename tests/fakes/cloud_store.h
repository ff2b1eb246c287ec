// A small in-memory cloud database behind the cloud fake: zones of records, each change numbered, and
// change tokens that name a point in a zone's changes. It serves the request shapes the program sends:
//   changes/zone   {"resultsLimit": N, "zones": {"zoneID": {"zoneName": Z}[, "syncToken": T]}}; without a
//                  token only the live records, as the service lists a zone from its start
//   records/modify {"operations": [op, ...] or op, "zoneID": {"zoneName": Z}} with the operations
//                  forceReplace, forceDelete, create (refused per record with serverErrorCode "EXISTS",
//                  or "CONFLICT" when set so, when a live record of that name exists, otherwise written
//                  as forceReplace writes) and
//                  delete with the record's recordChangeTag (refused with "CONFLICT" when the tag is not
//                  the live record's, "NOT_FOUND" when there is no live record); each refusal is the
//                  record's entry in the reply, {"recordName", "serverErrorCode", "reason"}
//   records/query  {"query": {"recordType": T}, "zoneID": {"zoneName": Z}}
//   records/lookup {"records": [{"recordName": N}, ...], "zoneID": {"zoneName": Z}}, a live record or,
//                  in its place, {"recordName", "serverErrorCode": "NOT_FOUND", "reason"}
//   zones/modify   {"operations": {"operationType": "create" or "delete", "zone": {"zoneID": {"zoneName": Z}}}}
//   assets/upload  {"tokens": {"recordType": T, "fieldName": F}, "zoneID": {"zoneName": Z}}, answered with an
//                  upload address on this fake (POST /upload/<n>, one multipart part "upload_file"); an
//                  "Assets" record saved with that upload's receipt is served with a downloadURL
//                  (GET /assets/<receipt>)
// Further endpoints are added with add_endpoint(). Replies can be broken on purpose (fail(), or a
// policy that chooses per request), and queued replies of the cloud fake still come first. Several
// installations can share one fake, told apart by their web-auth tokens; set_unreachable() cuts one off.
#pragma once

#include "tests/fakes/cloud_fake.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>

class CloudStore : public CloudFake {
public:
    struct Record {
        std::string type;
        std::string name;
        std::string change_tag;
        json11::Json fields;
        bool deleted = false;
        std::uint64_t change = 0;  // the zone's change number when the record last changed
    };

    enum class Fault {
        close_connection,  // the headers go out, then the connection closes mid-body
        status_500,        // an HTML error page with status 500
        invalid_json,      // status 200 with a body cut off in the middle of the JSON
        drop,              // the headers go out, then the connection closes before any of the body
    };
    // A fault chosen for one request: `after_apply` carries the request out first.
    struct FaultChoice {
        Fault fault;
        bool after_apply;
    };
    // Asked for every request that no fault queued with fail() matches (on the server's thread, with
    // the store locked): a fault for it, or none. An empty function chooses none.
    using FaultPolicy = std::function<std::optional<FaultChoice>(const std::string& endpoint)>;

    CloudStore();  // with the zone "_defaultZone"
    ~CloudStore() override;

    void create_zone(const std::string& zone);
    bool has_zone(const std::string& zone) const;
    // Every change token given out for the zone so far is refused with "BAD_REQUEST" from now on, as an
    // expired one is. A zone deleted and made anew refuses the tokens of the one before alike.
    void forget_tokens(const std::string& zone);

    // Writes a record as a forceReplace does (the zone is made when missing); gives its change tag.
    std::string put_record(const std::string& zone, const std::string& type, const std::string& name,
                           json11::Json fields);
    // A record whose one field data holds the JSON text of `row`, as the program writes rows.
    std::string put_row(const std::string& zone, const std::string& type, const std::string& name,
                        const json11::Json& row);
    // Deletes a record as a forceDelete does.
    void delete_record(const std::string& zone, const std::string& name);

    // A record, deleted ones included.
    std::optional<Record> record(const std::string& zone, const std::string& name) const;
    // The live records of a zone, in the order of their last change.
    std::vector<Record> records(const std::string& zone) const;
    // The parsed data value of a live row record (null when there is none).
    json11::Json row(const std::string& zone, const std::string& name) const;
    // The token that names the zone's newest change.
    std::string token(const std::string& zone) const;

    // The request to `endpoint` after `skip` further ones is answered with `fault`. With `after_apply`
    // the store carries the request out first, as when a reply is lost on its way back.
    void fail(const std::string& endpoint, Fault fault, int skip = 0, bool after_apply = false);
    // Operations on a record of this name are refused with serverErrorCode "CONFLICT".
    void refuse_record(const std::string& name);
    void set_fault_policy(FaultPolicy policy);
    // A create over a live record is refused with "CONFLICT" instead of "EXISTS", as the cloud
    // service also answers it.
    void answer_exists_as_conflict(bool conflict = true);
    // Requests carrying this ckWebAuthToken (as sent) find the cloud unreachable: the connection closes
    // before any reply and nothing is carried out, until set_unreachable(token, false).
    void set_unreachable(const std::string& web_auth_token, bool unreachable = true);
    // Change pages hold at most this many records, whatever the request's resultsLimit (0: no limit).
    void set_page_limit(int records);

    // One multipart upload to an address handed out by assets/upload.
    struct Upload {
        RecordedRequest request;  // method, target and headers; the form part is below
        std::size_t part_count = 0;
        std::string part_name;  // of the first part
        std::string filename;
        std::string content;
        std::string receipt;  // empty when the upload was refused
    };
    std::vector<Upload> uploads() const;
    // The bytes of an uploaded asset by its receipt (empty when unknown).
    std::string asset(const std::string& receipt) const;
    // The next `count` uploads are answered with status 500 and no receipt.
    void refuse_uploads(int count);

    // The next request to `endpoint` waits in the server until release(); wait_held() waits (at most
    // `limit`) until such a request has arrived.
    void hold(const std::string& endpoint);
    bool wait_held(std::chrono::milliseconds limit);
    void release();

protected:
    // Handlers get the parsed request body and give the reply; they run with the store locked.
    using Endpoint = std::function<json11::Json(const json11::Json& body)>;
    void add_endpoint(const std::string& endpoint, Endpoint handler);

    json11::Json answer(const CloudCall& call) override;
    void respond(const CloudCall& call, httplib::Response& response) override;

private:
    struct Zone {
        std::map<std::string, Record> records;
        std::map<std::uint64_t, std::string> by_change;  // change number to record name
        std::uint64_t change = 0;
        std::uint64_t generation = 0;  // the tokens of another generation are refused
    };
    struct PendingFault {
        std::string endpoint;
        Fault fault;
        int skip;
        bool after_apply;
    };

    json11::Json changes_zone(const json11::Json& body);
    json11::Json records_modify(const json11::Json& body);
    // One operation of a records/modify each, giving the record's entry of the reply.
    json11::Json modify_replace(Zone& zone, const json11::Json& record);
    json11::Json modify_create(Zone& zone, const json11::Json& record);
    json11::Json modify_update(Zone& zone, const json11::Json& record);
    json11::Json modify_force_delete(Zone& zone, const json11::Json& record);
    json11::Json modify_delete(Zone& zone, const json11::Json& record);
    static json11::Json refusal(const std::string& record_name, const std::string& code, const std::string& reason);
    json11::Json records_query(const json11::Json& body);
    json11::Json records_lookup(const json11::Json& body);
    json11::Json zones_modify(const json11::Json& body);
    json11::Json assets_upload(const json11::Json& body);
    void upload_file(const httplib::Request& request, httplib::Response& response);
    void download_asset(const httplib::Request& request, httplib::Response& response);

    // With store_mutex_ held.
    Zone& zone_locked(const std::string& zone);  // made when missing
    Record& write_locked(Zone& zone, const std::string& type, const std::string& name, json11::Json fields);
    bool delete_locked(Zone& zone, const std::string& name);
    static const Record* live_locked(const Zone& zone, const std::string& name);
    // A change token: the zone's change it names and, for a page of a listing without a token, the
    // zone's change when that listing began (0 otherwise).
    struct TokenPoint {
        std::uint64_t change = 0;
        std::uint64_t listing_start = 0;
    };
    std::string token_locked(const std::string& zone, std::uint64_t change, std::uint64_t listing_start = 0) const;
    std::optional<TokenPoint> read_token_locked(const std::string& zone, const std::string& token) const;
    static json11::Json record_json(const Record& record);

    mutable std::mutex store_mutex_;
    std::map<std::string, Zone> zones_;
    std::map<std::string, std::uint64_t> generations_;  // per zone name, given out so far
    std::map<std::string, Endpoint> endpoints_;
    std::vector<PendingFault> faults_;
    std::set<std::string> refused_;
    bool exists_as_conflict_ = false;
    std::set<std::string> unreachable_;  // web-auth tokens
    FaultPolicy fault_policy_;
    int page_limit_ = 0;
    std::uint64_t tags_ = 0;
    std::set<std::string> upload_tokens_;
    std::map<std::string, std::string> assets_;  // receipt to bytes
    std::vector<Upload> uploads_;
    std::uint64_t upload_count_ = 0;
    int refused_uploads_ = 0;
    std::condition_variable hold_changed_;
    std::string hold_endpoint_;
    bool holding_ = false;
    bool held_ = false;
    bool released_ = false;
};
