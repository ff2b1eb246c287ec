// Reading a change page for what it is. One the transport's JSON reader did not take whole (a record
// nested deeper than it reads, say) is built here by an iterative reader, which has no depth limit of
// its own: a record that is nested too deep to be a row, or is no object, is set aside by its name and
// type, and a member too deep outside any record is left out. A page whose records are no list, or
// that names another zone than the one asked for, is refused.
#include "core/net/sync_internal.h"

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>

#include <cstdio>

using json11::Json;

namespace {

// A row record is a few levels deep; one deeper than this is no row and is not built (the values
// built here are freed recursively).
constexpr std::size_t kRecordDepthLimit = 64;

// The path of a record: the reply, its "zones", a zone, its "records", the record.
constexpr std::size_t kRecordLevel = 4;

class PageBuilder {
public:
    bool Null() { return add(Json()); }
    bool Bool(bool value) { return add(Json(value)); }
    bool Int(int value) { return add(Json(value)); }
    bool Uint(unsigned value) { return add(Json(static_cast<double>(value))); }
    bool Int64(std::int64_t value) { return add(Json(static_cast<double>(value))); }
    bool Uint64(std::uint64_t value) { return add(Json(static_cast<double>(value))); }
    bool Double(double value) { return add(Json(value)); }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }
    bool String(const char* text, rapidjson::SizeType length, bool) { return add(Json(std::string(text, length))); }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        if (skipped_ == 0) frames_.back().key.assign(text, length);
        return true;
    }
    bool StartObject() { return open(true); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool StartArray() { return open(false); }
    bool EndArray(rapidjson::SizeType) { return close(); }

    sync_page::ChangePage take() {
        sync_page::ChangePage page;
        page.reply = std::move(root_);
        page.unread = std::move(unread_);
        return page;
    }

private:
    struct Frame {
        bool is_object;
        Json::object object;
        Json::array array;
        std::string key;  // of the member being read
    };

    // Whether the frames open now lead to a record of the page's zones.
    bool on_record_path() const {
        return frames_.size() >= kRecordLevel && frames_[0].key == "zones" && frames_[2].key == "records" &&
               !frames_[1].is_object && !frames_[3].is_object;
    }
    // Whether a value starting now is a record of the page's zones.
    bool at_record() const { return frames_.size() == kRecordLevel && on_record_path(); }
    // Whether a value starting now lies inside a record.
    bool in_record() const { return frames_.size() > kRecordLevel && on_record_path(); }

    bool open(bool is_object) {
        if (skipped_ > 0) {
            ++skipped_;
            return true;
        }
        if (at_record() && !is_object) broken_ = true;  // a record that is no object
        if (frames_.size() >= kRecordLevel + kRecordDepthLimit) {
            // Too deep for a row: the record it lies in is set aside; outside any record it costs
            // nothing but itself.
            if (in_record()) broken_ = true;
            skipped_ = 1;
            return true;
        }
        frames_.push_back(Frame{is_object, {}, {}, {}});
        return true;
    }

    bool close() {
        if (skipped_ > 0) {
            --skipped_;
            return true;
        }
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        Json value = frame.is_object ? Json(std::move(frame.object)) : Json(std::move(frame.array));
        if (at_record() && broken_) {
            set_aside(value);
            return true;
        }
        return add(std::move(value));
    }

    bool add(Json value) {
        if (skipped_ > 0) return true;
        if (frames_.empty()) {
            root_ = std::move(value);
            return true;
        }
        if (at_record() && !value.is_object()) {
            set_aside(value);
            return true;
        }
        Frame& top = frames_.back();
        if (top.is_object) top.object[top.key] = std::move(value);
        else top.array.push_back(std::move(value));
        return true;
    }

    // A record that is no row: its name and type as far as its own members tell them.
    void set_aside(const Json& record) {
        unread_.push_back(Json::object{{"recordName", record["recordName"].string_value()},
                                       {"recordType", record["recordType"].string_value()}});
        broken_ = false;
    }

    std::vector<Frame> frames_;
    std::size_t skipped_ = 0;  // containers entered below the depth limit, not built
    bool broken_ = false;      // the record being read is set aside when it ends
    Json root_;
    std::vector<Json> unread_;
};

// The reply as values: the transport's, or else built record by record.
sync_page::ChangePage built(const Core::CloudReply& answer) {
    if (!answer.value.is_null() || answer.text.empty()) return sync_page::ChangePage{answer.value, {}};
    PageBuilder builder;
    rapidjson::Reader reader;
    rapidjson::StringStream stream(answer.text.c_str());
    if (reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag>(stream, builder).IsError())
        return sync_page::ChangePage{};
    sync_page::ChangePage page = builder.take();
    if (!page.reply.is_object()) return sync_page::ChangePage{};
    return page;
}

// Why a page that has a zone is no page of the zone asked for; null when it is one. A reply without a
// zone is no page either, which the download tells by itself.
const char* refusal(const Json& reply, const std::string& zone_name) {
    const Json& zone = reply["zones"][0];
    if (!zone.is_object()) return nullptr;
    if (!zone["records"].is_array()) return "its records are no list";
    const Json& zone_id = zone["zoneID"];
    if (!zone_id.is_object() || !zone_id["zoneName"].is_string() || zone_id["zoneName"].string_value() != zone_name)
        return "it names another zone than the one asked for";
    return nullptr;
}

}  // namespace

namespace sync_page {

ChangePage read(const Core::CloudReply& answer, const std::string& zone_name) {
    ChangePage page = built(answer);
    if (const char* why = refusal(page.reply, zone_name)) {
        std::fprintf(stderr, "Tavrin: a page of cloud changes was refused (%s); the change token is kept\n", why);
        page.refused = true;
        page.unread.clear();
    }
    return page;
}

}  // namespace sync_page
