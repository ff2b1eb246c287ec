// Parse and write speed of json11 on a ~10 MB document of invoice records, compared with nlohmann::json and
// RapidJSON (when they were found at build time) on the same text. Best of several runs.
#include "json11/json11.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#ifdef BENCH_WITH_NLOHMANN
#include <nlohmann/json.hpp>
#endif
#ifdef BENCH_WITH_RAPIDJSON
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#endif

using json11::Json;

namespace {

const int runs = 7;

// An array of invoice records with nested lines, amounts, dates and Hungarian text.
std::string make_document(std::size_t target_bytes) {
    static const char* const clients[] = {"Kov\xC3\xA1" "cs \xC3\xA9s T\xC3\xA1rsa Kft.", "\xC3\x81rv\xC3\xADz\xC5\xB1r\xC5\x91 Bt.",
                                          "Sz\xC5\xB1" "cs Gy\xC3\xB6rgy e.v.", "Northwind Trading Ltd.",
                                          "B\xC3\xA1lint \"Kert\" Zrt."};
    static const char* const items[] = {"Sz\xC3\xA1ll\xC3\xADt\xC3\xA1si d\xC3\xADj", "Tan\xC3\xA1" "csad\xC3\xA1s \xC3\xB3r\xC3\xA1" "d\xC3\xADj",
                                        "Csavar M6\\x20", "\xC3\x96ntv\xC3\xA9nyes szelep", "Licence, 1 year",
                                        "Karbantart\xC3\xA1s\n(havi)"};
    static const char* const cities[] = {"Budapest", "Debrecen", "Szeged", ("P\xC3\xA9" "cs"), "Gy\xC5\x91r"};
    std::mt19937 random(42);
    std::uniform_int_distribution<int> pick(0, 1 << 20);
    std::uniform_real_distribution<double> price(10.0, 250000.0);

    Json::array records;
    std::string text;
    std::size_t estimate = 0;
    int number = 0;
    while (estimate < target_bytes) {
        ++number;
        Json::array lines;
        double total = 0.0;
        const int line_count = 1 + pick(random) % 6;
        for (int l = 0; l < line_count; ++l) {
            const int qty = 1 + pick(random) % 40;
            const double unit_price = static_cast<int>(price(random) * 100) / 100.0;
            const double amount = qty * unit_price * 1.27;
            total += amount;
            lines.push_back(Json::object{{"item", items[pick(random) % 6]},
                                         {"itemRecordName", "ITEM-" + std::to_string(pick(random))},
                                         {"qty", qty},
                                         {"unit", "db"},
                                         {"unit_price", unit_price},
                                         {"vat", 27},
                                         {"discount", l % 3 == 0 ? Json(5.5) : Json()},
                                         {"amount", amount}});
        }
        char name[32];
        std::snprintf(name, sizeof name, "INVOICE2024%06d", number);
        const int c = pick(random) % 5;
        Json record = Json::object{
            {"recordName", name},
            {"type", "INVOICE"},
            {"number", number},
            {"issue_date", "2024-03-" + std::to_string(10 + number % 19)},
            {"currency", number % 7 == 0 ? "EUR" : "HUF"},
            {"paid", number % 3 == 0},
            {"note", number % 5 == 0 ? Json("Fizet\xC3\xA9si hat\xC3\xA1rid\xC5\x91: 8 nap / \xE2\x82\xAC") : Json()},
            {"client", Json::object{{"name", clients[c]},
                                    {"city", cities[c]},
                                    {"zip", 1000 + pick(random) % 8000},
                                    {"tax_number", std::to_string(10000000 + pick(random)) + "-2-41"}}},
            {"lines", std::move(lines)},
            {"total", total},
        };
        estimate += record.dump().size() + 2;
        records.push_back(std::move(record));
    }
    return Json(std::move(records)).dump();
}

// The best time of `run_once`; `reset` runs untimed before each run (freeing the previous result).
double best_seconds(const std::function<void()>& run_once, const std::function<void()>& reset = {}) {
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        if (reset)
            reset();
        const auto start = std::chrono::steady_clock::now();
        run_once();
        const auto stop = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(stop - start).count());
    }
    return best;
}

struct Result {
    const char* name;
    double parse_s = 0;
    double free_s = 0;
    double dump_s = 0;
    std::size_t dump_bytes = 0;
    std::size_t records = 0;
};

double mb_per_s(std::size_t bytes, double seconds) { return bytes / 1e6 / seconds; }

} // namespace

int main() {
    const std::string text = make_document(10u << 20);
    std::printf("document: %zu bytes (%.2f MB), best of %d runs\n", text.size(), text.size() / 1e6, runs);

    std::vector<Result> results;

    {
        Result r{"json11"};
        Json value;
        r.parse_s = best_seconds([&] { value = Json::parse(text); }, [&] { value = Json(); });
        r.records = value.array_items().size();
        std::string out;
        r.dump_s = best_seconds([&] { out = value.dump(); });
        r.dump_bytes = out.size();
        r.free_s = best_seconds([&] { value = Json(); }, [&] { value = Json::parse(text); });
        if (out != text)
            std::printf("json11: the written text differs from the input\n");
        results.push_back(r);
    }

#ifdef BENCH_WITH_NLOHMANN
    {
        Result r{"nlohmann::json"};
        nlohmann::json value;
        r.parse_s = best_seconds([&] { value = nlohmann::json::parse(text); }, [&] { value = nlohmann::json(); });
        r.records = value.size();
        std::string out;
        r.dump_s = best_seconds([&] { out = value.dump(); });
        r.dump_bytes = out.size();
        r.free_s = best_seconds([&] { value = nlohmann::json(); }, [&] { value = nlohmann::json::parse(text); });
        results.push_back(r);
    }
#else
    std::printf("nlohmann::json: not found at build time, skipped\n");
#endif

#ifdef BENCH_WITH_RAPIDJSON
    {
        Result r{"RapidJSON"};
        rapidjson::Document value;
        r.parse_s = best_seconds([&] { value.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size()); },
                                 [&] { rapidjson::Document().Swap(value); });
        if (value.HasParseError())
            std::printf("RapidJSON: parse error\n");
        r.records = value.IsArray() ? value.Size() : 0;
        std::string out;
        r.dump_s = best_seconds([&] {
            rapidjson::StringBuffer buffer;
            rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
            value.Accept(writer);
            out.assign(buffer.GetString(), buffer.GetSize());
        });
        r.dump_bytes = out.size();
        r.free_s = best_seconds([&] { rapidjson::Document().Swap(value); },
                                [&] { value.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size()); });
        results.push_back(r);
    }
#else
    std::printf("RapidJSON: not found at build time, skipped\n");
#endif

    std::printf("\n%-16s %8s %9s %11s %8s %8s %10s %11s\n", "library", "records", "parse ms", "parse MB/s", "free ms",
                "dump ms", "dump MB/s", "dump bytes");
    for (const Result& r : results)
        std::printf("%-16s %8zu %9.1f %11.1f %8.1f %8.1f %10.1f %11zu\n", r.name, r.records, r.parse_s * 1e3,
                    mb_per_s(text.size(), r.parse_s), r.free_s * 1e3, r.dump_s * 1e3, mb_per_s(r.dump_bytes, r.dump_s),
                    r.dump_bytes);

    // Ratios of json11's speed to the others' (above 1: json11 is faster), by time for the same document.
    // Parse times leave out freeing the result (shown apart); the written texts differ in separators and in
    // number spelling, so dump is compared by time, not by MB/s.
    std::printf("\n");
    const Result& own = results.front();
    for (std::size_t k = 1; k < results.size(); ++k)
        std::printf("json11 / %-14s parse speed ratio %.2f, parse and free %.2f, dump %.2f\n", results[k].name,
                    results[k].parse_s / own.parse_s, (results[k].parse_s + results[k].free_s) / (own.parse_s + own.free_s),
                    results[k].dump_s / own.dump_s);
    return 0;
}
