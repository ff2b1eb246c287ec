// Import of the web shop's recent orders as WEBSHOP_ORDER documents.
#include "core/net/net_internal.h"
#include "core/store/store_internal.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>

using json11::Json;

namespace {

// The shop returns its orders a page at a time; further pages are asked for up to this many.
constexpr int kMaxOrderPages = 100;

// The leading decimal number of a shop amount in the C locale ("12.50 Ft" gives 12.5); a text that
// holds no number, or one out of range, counts as 0 rather than stopping the import.
double shop_amount(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || (text[start] >= '\t' && text[start] <= '\r'))) ++start;
    if (start < text.size() && text[start] == '+') ++start;
    double value = 0;
    auto [end, ec] = std::from_chars(text.data() + start, text.data() + text.size(), value);
    (void)end;
    if (ec != std::errc() || !std::isfinite(value)) return 0;
    return value;
}

// The first day of the import window: the calendar date 60 days back, counted at noon so that a
// daylight-saving change cannot move it.
std::string start_date() {
    std::tm day = local_time(clock_now());
    day.tm_mday -= 60;
    day.tm_hour = 12;
    day.tm_min = 0;
    day.tm_sec = 0;
    day.tm_isdst = -1;
    const std::time_t back = std::mktime(&day);
    std::tm broken{};
    localtime_r(&back, &broken);
    char buffer[80];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &broken);
    return buffer;
}

// The shop's id of an order: a whole number within the integer range, or none (text, a fraction, a
// number beyond the range, a missing id), when the order is not one this import can name.
std::optional<int> order_id(const Json& order) {
    const Json& id = order["id"];
    if (!id.is_number()) return std::nullopt;
    const double value = id.number_value();
    if (!std::isfinite(value) || value != std::trunc(value) || value < INT_MIN || value > INT_MAX) return std::nullopt;
    return static_cast<int>(value);
}

std::string item_of_sku(Core& core, const std::string& sku) {
    auto found = store::rows(core, "SELECT recordName FROM items WHERE sku = ? LIMIT 1", {sku});
    return found.empty() ? std::string() : Json(found.front())["recordName"].string_value();
}

}  // namespace

Core::WebshopImport Core::import_webshop_orders(std::function<void(bool)> done) {
    WebshopImport outcome;
    const Json connect = setting("webshop_connect");
    const Json::object supplier = setting("supplier").object_items();
    std::string domain = connect["domain"].string_value();
    if (domain.size() < 5) {
        if (done) done(false);
        return outcome;
    }
    if (domain.back() == '/') domain.pop_back();

    const bool woocommerce = connect["id"].string_value() == "woocommerce";
    const std::string url =
        woocommerce ? domain + "/wp-json/wc/v3/orders?consumer_key=" + query_escape(connect["key1"].string_value()) +
                          "&consumer_secret=" + query_escape(connect["key2"].string_value()) + "&after=" +
                          start_date() + "T00:00:00"
                    : domain;

    try {
        const std::string today = iso_date(clock_now());
        const double now_ms = static_cast<double>(clock_now()) * 1000.0;
        const Json templates = setting("templates");
        const std::string language_code = setting("languages")[0]["code"].string_value();
        const std::string supplier_country = setting("countries")[0]["code"].string_value();

        for (int page = 1; page <= kMaxOrderPages; ++page) {
            const Json reply = http_request(page == 1 ? url : url + "&page=" + std::to_string(page), Json(""), "");
            const Json::array& orders = reply.array_items();
            for (std::size_t index = 0; index < orders.size(); ++index) {
                const Json& order = orders[index];
                // An order that is no object, or whose id is no whole number in range, cannot be named
                // without taking another order's name.
                const std::optional<int> id = order.is_object() ? order_id(order) : std::nullopt;
                if (!id) {
                    std::fprintf(stderr, "Tavrin: web shop order %zu of page %d was refused (%s)\n", index + 1, page,
                                 order.is_object() ? "its id is no whole number in range" : "it is no order");
                    ++outcome.refused;
                    continue;
                }
                const std::string name = "WEBSHOP-" + std::to_string(*id);
                const Json& billing = order["billing"];
                const double total = shop_amount(order["total"].string_value());
                if (!store::rows(*this, "SELECT recordName FROM documents WHERE recordName = ?", {name}).empty())
                    continue;

                Json::object document{
                    {"recordName", name},
                    {"type", "WEBSHOP_ORDER"},
                    {"number_formatted", name},
                    {"issue_date", order["date_created"].string_value()},
                    {"delivery_date", today},
                    {"due_date", today},
                    {"template", templates["INVOICE"]},
                    {"language_code", language_code},
                    {"currency_code", order["currency"].string_value()},
                    {"exchange_rate", 1},
                    {"client_status", is_hungarian ? "PRIVATE_PERSON" : "CUSTOMER"},
                    {"client_name", normalize_whitespace(billing["company"].string_value() + " " +
                                                         billing["first_name"].string_value() + " " +
                                                         billing["last_name"].string_value())},
                    {"client_identifier_number", ""},
                    {"client_other", ""},
                    {"client_country_code", billing["country"].string_value()},
                    {"client_state", billing["state"].string_value()},
                    {"client_city", billing["city"].string_value()},
                    {"client_street", billing["address_1"].string_value() + " " + billing["address_2"].string_value()},
                    {"client_postcode", billing["postcode"].string_value()},
                    {"client_email", billing["email"].string_value()},
                    {"client_phone", billing["phone"].string_value()},
                    {"total_gross_amount", total},
                    {"created", now_ms},
                    {"modified", now_ms},
                    {"synced", 0},
                };
                document["client_address"] = formatted_address(
                    false, {{"country_code", document["client_country_code"].string_value()},
                            {"state", document["client_state"].string_value()},
                            {"city", document["client_city"].string_value()},
                            {"street", document["client_street"].string_value()},
                            {"postcode", document["client_postcode"].string_value()}});
                for (const auto& [key, value] : supplier) document["supplier_" + key] = value.string_value();
                document["supplier_country_code"] = supplier_country;
                document["supplier_address"] = formatted_address(
                    false, {{"country_code", supplier_country},
                            {"state", document["supplier_state"].string_value()},
                            {"city", document["supplier_city"].string_value()},
                            {"street", document["supplier_street"].string_value()},
                            {"postcode", document["supplier_postcode"].string_value()}});

                std::vector<Json> lines;
                for (const Json& item : order["line_items"].array_items()) {
                    const std::string& sku = item["sku"].string_value();
                    const std::string item_name = item_of_sku(*this, sku);
                    lines.push_back(Json::object{{"documentRecordName", name},
                                                 {"itemRecordName", item_name},
                                                 {"item_type", item_name.empty() ? "PRODUCT" : "INVENTORY_TRACKING"},
                                                 {"name", item["name"].string_value()},
                                                 {"sku", sku},
                                                 {"price_type", "GROSS"},
                                                 {"price", item["price"].number_value()},
                                                 {"quantity", item["quantity"].number_value()},
                                                 {"gross_amount", shop_amount(item["total"].string_value())},
                                                 {"synced", 0}});
                }
                if (!save_document(lines, false, document).empty()) ++outcome.stored;
            }
            // An empty page (or an answer that is no list of orders) is the end; only the shop's own
            // route is paged.
            if (orders.empty() || !woocommerce) break;
        }
    } catch (const std::exception&) {
        // What was stored stays; the pass and the completion still run.
    }

    if (outcome.refused > 0)
        std::fprintf(stderr, "Tavrin: the web shop import did not take every order: %d refused\n", outcome.refused);
    sync_start(empty_completion());
    if (done) done(outcome.stored > 0);
    return outcome;
}
