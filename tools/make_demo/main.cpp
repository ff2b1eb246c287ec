// Makes the files of the sample account that the program copies into a new data folder: the account
// database of one language from its source data, the sample company's logo, and the picture of the cloud
// sign-in page.
//
//   make_demo account <language> <source.json> <output.tvr>
//   make_demo logo <output>
//   make_demo connecting <output>
//
// The database is made by the core itself, the way the program makes its own records (settings,
// clients, items, stock changes, documents through the document save, archived invoices through the
// import), so the shipped file always has the current schema, real numbers, totals and stock
// postings. Dates in the source are days before the day the file is made; the clock is set to each
// record's moment while it is written, so numbers, times and stock rows follow the calendar.
#include "core/store/store_internal.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using json11::Json;

namespace {

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "make_demo: %s\n", message.c_str());
    std::exit(1);
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes next to the target and renames, so an interrupted build never leaves half a file.
void write_atomically(const std::string& path, const std::string& bytes) {
    const std::string part = path + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) fail("cannot write " + part);
    }
    if (std::rename(part.c_str(), path.c_str()) != 0) fail("cannot rename " + part);
}

// ---------------------------------------------------------------------------------------------
// Logo: a small PNG drawn here, a clay pot on a terracotta badge beside the word MINTA.
// ---------------------------------------------------------------------------------------------

std::uint32_t crc32(const std::string& bytes) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void put32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

void chunk(std::string& png, const char* type, const std::string& data) {
    put32(png, static_cast<std::uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    png += body;
    put32(png, crc32(body));
}

std::string zlib_compressed(const std::string& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
                  static_cast<uLong>(raw.size()), 9) != Z_OK)
        fail("cannot compress the logo");
    out.resize(size);
    return out;
}

struct Rgba {
    double r, g, b, a;
};

// A PNG file of RGBA rows, each row led by its filter byte.
std::string encoded_png(int width, int height, const std::string& raw) {
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    put32(header, static_cast<std::uint32_t>(width));
    put32(header, static_cast<std::uint32_t>(height));
    header += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, no filter, no interlace
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", zlib_compressed(raw));
    chunk(png, "IEND", "");
    return png;
}

// 5 x 7 letters of the word on the logo.
const std::map<char, std::array<const char*, 7>> kGlyphs = {
    {'M', {"10001", "11011", "10101", "10101", "10001", "10001", "10001"}},
    {'I', {"11111", "00100", "00100", "00100", "00100", "00100", "11111"}},
    {'N', {"10001", "11001", "10101", "10011", "10001", "10001", "10001"}},
    {'T', {"11111", "00100", "00100", "00100", "00100", "00100", "00100"}},
    {'A', {"01110", "10001", "10001", "11111", "10001", "10001", "10001"}},
};

// Draws a picture of `width` x `height` pixels from the colour at each point, smoothed by sampling
// every pixel 4 x 4 times; edges blend with the page behind the picture (premultiplied sums).
template <class ColourAt>
std::string drawn_png(int width, int height, ColourAt colour_at) {
    const int samples = 4;
    auto byte = [](double v) {
        return static_cast<char>(static_cast<unsigned char>(std::lround(std::clamp(v, 0.0, 1.0) * 255)));
    };
    std::string raw;
    raw.reserve(static_cast<std::size_t>(height) * (width * 4 + 1));
    for (int y = 0; y < height; ++y) {
        raw += '\0';  // no filter
        for (int x = 0; x < width; ++x) {
            Rgba sum{0, 0, 0, 0};
            for (int sy = 0; sy < samples; ++sy) {
                for (int sx = 0; sx < samples; ++sx) {
                    const Rgba colour = colour_at(x + (sx + 0.5) / samples, y + (sy + 0.5) / samples);
                    sum.r += colour.r * colour.a;
                    sum.g += colour.g * colour.a;
                    sum.b += colour.b * colour.a;
                    sum.a += colour.a;
                }
            }
            const double a = sum.a / (samples * samples);
            raw += a > 0 ? byte(sum.r / sum.a) : '\0';
            raw += a > 0 ? byte(sum.g / sum.a) : '\0';
            raw += a > 0 ? byte(sum.b / sum.a) : '\0';
            raw += byte(a);
        }
    }
    return encoded_png(width, height, raw);
}

std::string logo_png() {
    const int width = 300, height = 96, badge = 96;
    const Rgba clay{0.63, 0.32, 0.18, 1}, white{1, 1, 1, 1}, ink{0.18, 0.24, 0.27, 1}, none{0, 0, 0, 0};
    const std::string word = "MINTA";
    const int cell = 6, letter_left = badge + 18, letter_top = (height - 7 * cell) / 2;

    // Coverage of one point (u, v in 0..1 over the badge) by the badge and by the pot.
    auto in_badge = [](double u, double v) {
        const double r = 0.2;
        const double dx = std::max({r - u, 0.0, u - (1 - r)}), dy = std::max({r - v, 0.0, v - (1 - r)});
        return dx * dx + dy * dy <= r * r;
    };
    auto in_pot = [](double u, double v) {
        double half;
        if (v < 0.2 || v > 0.84) return false;
        if (v < 0.27) half = 0.25;  // rim
        else if (v < 0.35) half = 0.15;  // neck
        else if (v < 0.8) half = 0.15 + 0.17 * std::sin(M_PI * (v - 0.35) / 0.45);  // body
        else half = 0.19;  // foot
        return std::abs(u - 0.5) <= half;
    };
    return drawn_png(width, height, [&](double px, double py) {
        if (px < badge) {
            const double u = px / badge, v = py / badge;
            if (!in_badge(u, v)) return none;
            return in_pot(u, v) ? white : clay;
        }
        const int column = static_cast<int>(std::floor((px - letter_left) / cell));
        const int row = static_cast<int>(std::floor((py - letter_top) / cell));
        const int letter = column >= 0 ? column / 6 : -1, in_letter = column >= 0 ? column % 6 : -1;
        if (letter >= 0 && letter < static_cast<int>(word.size()) && in_letter < 5 && row >= 0 && row < 7 &&
            kGlyphs.at(word[letter])[row][in_letter] == '1')
            return ink;
        return none;
    });
}

// The picture of the cloud sign-in page while the sign-in window opens: a cloud with three dots.
std::string connecting_png() {
    const Rgba sky{0.0, 0.47, 0.84, 1}, white{1, 1, 1, 1}, none{0, 0, 0, 0};
    auto in_circle = [](double x, double y, double cx, double cy, double r) {
        return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
    };
    auto in_cloud = [&](double x, double y) {
        return in_circle(x, y, 80, 92, 36) || in_circle(x, y, 124, 72, 46) || in_circle(x, y, 168, 96, 32) ||
               (x >= 80 && x <= 168 && y >= 92 && y <= 128);
    };
    auto in_dot = [&](double x, double y) {
        return in_circle(x, y, 96, 104, 8) || in_circle(x, y, 124, 104, 8) || in_circle(x, y, 152, 104, 8);
    };
    return drawn_png(240, 160, [&](double x, double y) {
        if (!in_cloud(x, y)) return none;
        return in_dot(x, y) ? white : sky;
    });
}

// ---------------------------------------------------------------------------------------------
// Account
// ---------------------------------------------------------------------------------------------

class SampleMaker {
public:
    SampleMaker(Core& core, std::time_t base) : core_(core), base_(base) {}

    void make(const Json& source) {
        apply_settings(source["settings"]);
        for (const Json& client : source["clients"].array_items()) add_client(client);
        for (const Json& item : source["items"].array_items()) add_item(item);

        // Everything that happens on a day, in calendar order; on one day stock changes come first.
        struct Event {
            int days_ago;
            int order;
            const Json* entry;
            bool stock;
        };
        std::vector<Event> events;
        int order = 0;
        for (const Json& entry : source["stock"].array_items())
            events.push_back({entry["days_ago"].int_value(), order++, &entry, true});
        for (const Json& entry : source["documents"].array_items())
            events.push_back({entry["days_ago"].int_value(), order++, &entry, false});
        std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
            if (a.days_ago != b.days_ago) return a.days_ago > b.days_ago;
            return a.stock && !b.stock;
        });

        if (!source["archive"].array_items().empty()) import_archive(source["archive"]);
        int previous_day = -1, on_day = 0;
        for (const Event& event : events) {
            on_day = event.days_ago == previous_day ? on_day + 1 : 0;
            previous_day = event.days_ago;
            at(event.days_ago, on_day);
            if (event.stock)
                add_stock(*event.entry);
            else
                add_document(*event.entry);
        }
        set_clock({});
    }

private:
    // Sets the clock to a moment of the day `days_ago` days before the base: 9:00, then a while later
    // for each further record of that day.
    void at(int days_ago, int nth) {
        std::tm tm = local_time(base_ - static_cast<std::int64_t>(days_ago) * 86400);
        tm.tm_hour = 9 + nth / 4;
        tm.tm_min = (nth % 4) * 14 + 3;
        tm.tm_sec = 0;
        tm.tm_isdst = -1;
        const std::time_t moment = mktime(&tm);
        set_clock([moment] { return moment; });
    }

    std::string day(int days_from_now) const {
        return iso_date(static_cast<std::int64_t>(clock_now()) + static_cast<std::int64_t>(days_from_now) * 86400);
    }

    void save_setting(const std::string& key, const Json& value) {
        if (!core_.save_record({{"recordName", key}, {"value", value.dump()}, {"synced", 0}}, "settings"))
            fail("cannot write the setting " + key);
    }

    void apply_settings(const Json& settings) {
        Json::object supplier = core_.setting("supplier").object_items();
        for (const auto& [key, value] : settings["supplier"].object_items()) supplier[key] = value;
        save_setting("supplier", supplier);

        if (settings["countries"].is_array()) {
            Json::array countries;
            for (const Json& code : settings["countries"].array_items())
                countries.push_back(Json::object{{"code", code}});
            save_setting("countries", countries);
        }
        if (settings["currencies"].is_array()) save_setting("currencies", settings["currencies"]);
        if (settings["taxes"].is_array()) {
            Json::array taxes;
            for (const Json& tax : settings["taxes"].array_items()) {
                Json::object entry = tax.object_items();
                entry["id"] = new_record_name();
                taxes.push_back(entry);
            }
            save_setting("taxes", taxes);
        }
        if (settings["units"].is_array()) {
            Json::array units;
            for (const Json& name : settings["units"].array_items())
                units.push_back(Json::object{{"id", new_record_name()}, {"name", name}, {"digits", 0}});
            save_setting("units", units);
        }
        if (settings["bank"].is_string()) {
            Json::array payments = core_.setting("payments").array_items();
            if (!payments.empty()) {
                Json::object transfer = payments.front().object_items();
                transfer["bank"] = settings["bank"];
                payments.front() = transfer;
            }
            save_setting("payments", payments);
        }
        if (settings["theme_colors"].is_object()) save_setting("theme_colors", settings["theme_colors"]);
    }

    std::string setting_id(const char* list, const std::string& name) {
        const Json::object found = find_object(core_.setting(list).array_items(), false, "name", name);
        auto id = found.find("id");
        if (id == found.end()) fail(std::string("no entry ") + name + " in " + list);
        return id->second.string_value();
    }

    void add_client(const Json& source) {
        const Json payments = core_.setting("payments"), terms = core_.setting("terms");
        const std::string record_name = new_record_name();
        Json::object client{
            {"recordName", record_name},
            {"status", source["status"]},
            {"currency_code", source["currency_code"]},
            {"payment_id", payments[static_cast<std::size_t>(source["payment"].int_value())]["id"]},
            {"term_id", terms[static_cast<std::size_t>(source["term"].int_value())]["id"]},
            {"name", source["name"]},
            {"identifier_number", source["identifier_number"].string_value()},
            {"other", source["other"].string_value()},
            {"country_code", source["country_code"]},
            {"state", source["state"].string_value()},
            {"city", source["city"]},
            {"street", source["street"]},
            {"postcode", source["postcode"]},
            {"email", source["email"]},
            {"phone", source["phone"]},
            {"note", source["note"]},
        };
        if (!core_.save_record(client, "clients")) fail("cannot write the client " + source["name"].string_value());
        clients_[source["key"].string_value()] = record_name;
    }

    void add_item(const Json& source) {
        const std::string record_name = new_record_name();
        Json::object item{
            {"recordName", record_name},
            {"tax_id", setting_id("taxes", source["tax"].string_value())},
            {"unit_id", setting_id("units", source["unit"].string_value())},
            {"type", source["type"]},
            {"name", source["name"]},
            {"description", source["description"]},
            {"sku", source["sku"]},
            {"upc", source["upc"]},
            {"selling_price", source["selling_price"]},
            {"purchase_price", source["purchase_price"]},
            {"clearing_price", source["clearing_price"]},
            {"price_type", source["price_type"]},
            {"note", source["note"]},
        };
        if (!core_.save_record(item, "items")) fail("cannot write the item " + source["name"].string_value());
        items_[source["key"].string_value()] = record_name;
    }

    const std::string& record_of(const std::map<std::string, std::string>& names, const Json& key) {
        auto found = names.find(key.string_value());
        if (found == names.end()) fail("unknown key " + key.string_value());
        return found->second;
    }

    Json::object row(const char* table, const std::string& record_name) {
        auto rows = store::rows(core_, std::string("SELECT * FROM ") + table + " WHERE recordName = ?", {record_name});
        if (rows.empty()) fail(std::string("no row ") + record_name + " in " + table);
        return rows.front();
    }

    // A stock change of the item dialog: added units are a layer, the others take stock away.
    void add_stock(const Json& source) {
        const std::string& item = record_of(items_, source["item"]);
        const std::string reason = source["reason"].string_value();
        const double quantity = std::abs(source["quantity"].number_value());
        const double price = source["price"].number_value();
        const bool adds = reason == "ADD";
        core_.post_inventory({Json::object{{"itemRecordName", item},
                                           {"item_name", row("items", item)["name"]},
                                           {"item_type", "INVENTORY_TRACKING"},
                                           {"quantity", adds ? quantity : -quantity},
                                           {"price", adds ? price : -price}}},
                             Json::object{{"documentRecordName", ""},
                                          {"clientRecordName", ""},
                                          {"number_formatted", ""},
                                          {"client_name", ""},
                                          {"reason", reason}});
    }

    // Archived invoices of the program used before, brought in by the import.
    void import_archive(const Json& archive) {
        const Json::object supplier = core_.setting("supplier").object_items();
        auto supplier_text = [&](const char* key) {
            auto found = supplier.find(key);
            return found == supplier.end() ? std::string() : found->second.string_value();
        };
        Json::array invoices;
        int latest = 1 << 30;
        for (const Json& source : archive.array_items()) {
            const int days_ago = source["issue_days_ago"].int_value();
            latest = std::min(latest, days_ago);
            at(days_ago, 0);
            const std::string issue = day(0);
            const Json::object client = row("clients", record_of(clients_, source["client"]));
            auto client_text = [&](const char* key) { return client.at(key).string_value(); };
            invoices.push_back(Json::object{
                {"number_formatted", source["number_formatted"]},
                {"issue_date", issue},
                {"delivery_date", issue},
                {"due_date", day(8)},
                {"payment_name", source["payment_name"]},
                {"currency", "HUF"},
                {"client_name", client_text("name")},
                {"client_postcode", client_text("postcode")},
                {"client_identifier_number", client_text("identifier_number")},
                {"client_status", client_text("status")},
                {"client_country_code", client_text("country_code")},
                {"client_city", client_text("city")},
                {"client_street", client_text("street")},
                {"supplier_name", supplier_text("name")},
                {"supplier_country_code", supplier_text("country_code")},
                {"supplier_city", supplier_text("city")},
                {"supplier_street", supplier_text("street")},
                {"supplier_postcode", supplier_text("postcode")},
                {"supplier_identifier_number", supplier_text("identifier_number")},
                {"lines", source["lines"]},
            });
        }
        const std::string path = core_.data_folder + "archive.tavrinimport";
        write_atomically(path, Json(invoices).dump() + "\n");
        // Imported the day after the last of them was issued.
        at(latest - 1, 0);
        int count = -1;
        core_.import_invoices(path, 0, [&count](int n) { count = n; });
        if (count != static_cast<int>(invoices.size())) fail("the archived invoices were not imported");
        unlink(path.c_str());
    }

    // The supplier block of a new document, as the document editor fills it.
    void supplier_members(Json::object& document) {
        const Json supplier = core_.setting("supplier");
        for (const auto& [key, value] : supplier.object_items()) document["supplier_" + key] = value.string_value();
        document["supplier_country_code"] = core_.setting("countries")[0]["code"].string_value();
        document["supplier_address"] = address(document, "supplier_");
    }

    std::string address(const Json::object& document, const std::string& prefix) {
        std::map<std::string, std::string> fields;
        for (const char* key : {"country_code", "state", "city", "street", "postcode"}) {
            auto found = document.find(prefix + key);
            fields[key] = found == document.end() ? std::string() : found->second.string_value();
        }
        return core_.formatted_address(false, fields);
    }

    // The client block: every column of the client's row under "client_", and its address.
    Json::object client_members(Json::object& document, const std::string& record_name) {
        Json::object client = row("clients", record_name);
        for (const auto& [key, value] : client) document["client_" + key] = value.string_value();
        document["client_address"] = address(document, "client_");
        document["clientRecordName"] = record_name;
        return client;
    }

    Json line_of(const Json& source, const std::string& type) {
        const Json::array taxes = core_.setting("taxes").array_items();
        Json::object line;
        if (source["item"].is_string()) {
            // An item row used as a line, as a drop of the item on the document makes it.
            line = row("items", record_of(items_, source["item"]));
            const bool purchase = type == "PURCHASE_ORDER" || type == "PURCHASE_RECEIVE";
            line["price"] = line[purchase ? "purchase_price" : "selling_price"].number_value();
        } else {
            line = {{"name", source["name"]},
                    {"item_type", ""},
                    {"price", 0.0},
                    {"price_type", "NET"},
                    {"tax_id", taxes.empty() ? Json("") : taxes.front()["id"]},
                    {"unit_id", core_.setting("units")[0]["id"]}};
        }
        line["discount"] = 0;
        line["quantity"] = 1;
        for (const char* key : {"quantity", "price", "discount_type", "discount", "description", "price_type"})
            if (!source[key].is_null()) line[key] = source[key];
        if (source["tax"].is_string()) line["tax_id"] = setting_id("taxes", source["tax"].string_value());
        line["task_completed"] = source["task_completed"].int_value();
        return line;
    }

    void add_document(const Json& source) {
        const std::string type = source["type"].string_value();
        Json::object document;
        std::vector<Json> lines;
        const Json payments = core_.setting("payments");
        const Json currencies = core_.setting("currencies");
        int payment = source["payment"].is_number() ? source["payment"].int_value() : -1;
        int due_days = source["due_days"].int_value();

        if (source["from"].is_string() || source["storno_of"].is_string()) {
            // A document made from a stored one: an invoice from an estimate, pro-forma or delivery
            // note, a receipt from an order, or a storno invoice with negated lines.
            const bool storno = source["storno_of"].is_string();
            const std::string& from = record_of(documents_, storno ? source["storno_of"] : source["from"]);
            document = row("documents", from);
            document["reference_recordName"] = from;
            document["reference_number_formatted"] = document["number_formatted"];
            document.erase("recordName");
            for (const char* key : {"created", "modified", "paid", "synced", "search", "recordChangeTag"})
                document.erase(key);
            for (Json::object line :
                 store::rows(core_, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id", {from})) {
                line["recordName"] = line["itemRecordName"];
                line["type"] = line["item_type"];
                if (storno)
                    for (const char* key : {"quantity", "net_amount", "tax_amount", "gross_amount"})
                        line[key] = -line[key].number_value();
                lines.emplace_back(line);
            }
            if (!storno) {
                document["delivery_date"] = day(0);
                const Json::object client = row("clients", document["clientRecordName"].string_value());
                if (!due_days)
                    due_days = number_in_text(
                        find_object(core_.setting("terms").array_items(), true, "id", client.at("term_id").string_value())["name"]
                            .string_value());
                document["due_date"] = day(due_days);
            }
            if (payment < 0) payment = index_of(payments.array_items(), "id", document["payment_id"].string_value());
        } else {
            supplier_members(document);
            std::string currency = currencies[0]["code"].string_value();
            if (source["client"].is_string()) {
                const Json::object client = client_members(document, record_of(clients_, source["client"]));
                currency = client.at("currency_code").string_value();
                if (payment < 0) payment = index_of(payments.array_items(), "id", client.at("payment_id").string_value());
                if (!source["due_days"].is_number())
                    due_days = number_in_text(
                        find_object(core_.setting("terms").array_items(), true, "id", client.at("term_id").string_value())["name"]
                            .string_value());
            }
            if (payment < 0) payment = 0;
            document["currency_code"] = currency;
            document["exchange_rate"] =
                index_of(currencies.array_items(), "code", currency) == 0 ? 1.0 : source["exchange_rate"].number_value();
            document["language_code"] = source["language"].is_string() ? source["language"].string_value()
                                                                       : core_.setting("languages")[0]["code"].string_value();
            document["delivery_date"] = day(source["delivery_days"].int_value());
            document["due_date"] = day(due_days);
            document["footer_note"] = source["footer_note"].string_value();
            document["task_repeat"] = source["task_repeat"].is_object() ? source["task_repeat"].dump() : "";
            for (const Json& line : source["lines"].array_items()) lines.push_back(line_of(line, type));
        }
        // A note written for the source document (an estimate's, say) does not carry over.
        document["header_note"] = source["header_note"].string_value();
        if (type == "INVOICE" && document["footer_note"].string_value().empty())
            document["footer_note"] = core_.setting("footer_notes")[0]["note"].string_value();

        document["type"] = type;
        document["template"] = core_.setting("templates")[type].string_value();
        document["number"] = core_.next_number(type);
        document["number_formatted"] = source["number_formatted"].is_string() ? source["number_formatted"].string_value()
                                                                              : core_.next_number_formatted(type);
        document["issue_date"] = day(0);
        const Json& method = payments[static_cast<std::size_t>(payment)];
        document["payment_id"] = method["id"].string_value();
        document["payment_name"] = method["payment_name"].string_value();
        document["payment_bank"] = method["bank"].string_value();

        const std::string record_name = core_.save_document(lines, false, document);
        if (record_name.empty()) fail("cannot save the document " + source["key"].string_value());
        documents_[source["key"].string_value()] = record_name;
        if (source["paid"].bool_value() &&
            !store::run(core_, "UPDATE documents SET synced = 0, paid = 1 WHERE recordName = ?", {record_name}))
            fail("cannot mark " + record_name + " paid");
    }

    Core& core_;
    std::time_t base_;
    std::map<std::string, std::string> clients_, items_, documents_;
};

std::unique_ptr<Core> sample_core(const std::string& folder, const std::string& language) {
    const bool hu = language == "hu";
    std::map<std::string, std::string> info = {
        {"platform", "linux"}, {"ver", "1.0.0.0"}, {"country_code", "HU"}, {"currency_code", "HUF"}};
    std::vector<std::string> months =
        hu ? std::vector<std::string>{"jan.", "febr.", "márc.", "ápr.", "máj.", "jún.", "júl.", "aug.", "szept.", "okt.",
                                      "nov.", "dec."}
           : std::vector<std::string>{"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::vector<std::map<int, std::string>> weekdays =
        hu ? std::vector<std::map<int, std::string>>{{{1, "H"}}, {{2, "K"}}, {{3, "Sze"}}, {{4, "Cs"}}, {{5, "P"}},
                                                     {{6, "Szo"}}, {{0, "V"}}}
           : std::vector<std::map<int, std::string>>{{{1, "Mon"}}, {{2, "Tue"}}, {{3, "Wed"}}, {{4, "Thu"}},
                                                     {{5, "Fri"}}, {{6, "Sat"}}, {{0, "Sun"}}};
    return std::make_unique<Core>(folder, folder, info, months, weekdays, language, "0,120,215");
}

void make_account(const std::string& language, const std::string& source_path, const std::string& output) {
    std::string error;
    const Json source = Json::parse(read_all(source_path), error);
    if (!source.is_object()) fail(source_path + ": " + error);

    // A private folder: opening a database there also copies sample files and clears PDF files.
    const std::filesystem::path target(output);
    std::string folder = (target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path()).string() +
                         "/.make_demo-XXXXXX";
    if (!mkdtemp(folder.data())) fail("cannot make a work folder beside " + output);
    folder += "/";

    const std::time_t base = clock_now();
    {
        auto core = sample_core(folder, language);
        core->current_account = "sample";
        core->open_database();
        if (!core->db) fail("cannot open the work database");
        SampleMaker(*core, base).make(source);
        core->query("VACUUM");
        core->close_database();
    }
    write_atomically(output, read_all(folder + "sample.tvr"));
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "account") {
        make_account(args[1], args[2], args[3]);
    } else if (args.size() == 2 && args[0] == "logo") {
        write_atomically(args[1], logo_png());
    } else if (args.size() == 2 && args[0] == "connecting") {
        write_atomically(args[1], connecting_png());
    } else {
        std::fprintf(stderr, "usage: make_demo account <language> <source.json> <output.tvr>\n"
                             "       make_demo logo <output>\n"
                             "       make_demo connecting <output>\n");
        return 2;
    }
    return 0;
}
