// Change download speed: a zone of client records downloaded page by page from the loopback cloud
// store and applied, against the raw SQLite floor measured in the same run (the same rows inserted
// through one prepared statement in one transaction). The transfer alone (the same pages fetched and
// parsed, nothing applied) is shown too.
//
//   bench_sync [records]   (default 10000)
#include "bench/bench_common.h"
#include "core/store/store_internal.h"
#include "tests/fakes/cloud_store.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using json11::Json;

namespace {

using bench::Clock;
using bench::make_temp_folder;
using bench::open_core;
using bench::raw_insert;
using bench::seconds_since;

constexpr int kRuns = 3;

const char* const kWords[] = {"Ábel", "Éva", "Öcsi", "Ödön", "Ugor", "Ütő", "Zoltán", "abc", "Kovács", "Szabó",
                              "Tóth", "Nagy", "Horváth", "Kiss", "Molnár", "Németh", "Farkas", "Balogh", "Papp", "Lakatos"};

// Client rows as another installation uploads them: no recordName, synced or search, no empty texts.
Json client_row(int i) {
    return Json::object{{"name", std::string(kWords[i % 20]) + " és Társa Kft. " + std::to_string(i)},
                        {"country_code", "HU"},
                        {"currency_id", "HUF"},
                        {"currency_code", "HUF"},
                        {"payment_id", "CASH"},
                        {"term_id", "8"},
                        {"status", "DOMESTIC"},
                        {"identifier_number", "12345678-2-41"},
                        {"city", "Budapest"},
                        {"street", "Fő utca " + std::to_string(i % 200)},
                        {"postcode", "1051"},
                        {"email", "info" + std::to_string(i) + "@example.hu"},
                        {"phone", "+36 (1) 123-4567"},
                        {"note", "Törzsvásárló"}};
}

// The same pages fetched and parsed through the cloud request, nothing applied.
double transfer_only(Core& core, const std::string& account, std::size_t& records) {
    auto start = Clock::now();
    Json::object zone{{"zoneID", Json::object{{"zoneName", account}}}};
    records = 0;
    for (;;) {
        Json reply;
        core.cloudkit_request("changes/zone", Json(Json::object{{"resultsLimit", 200}, {"zones", zone}}),
                              [&reply](Json answer) { reply = std::move(answer); });
        const Json& page = reply["zones"][0];
        records += page["records"].array_items().size();
        if (!page["moreComing"].bool_value()) break;
        zone = Json::object{{"syncToken", page["syncToken"]}, {"zoneID", page["zoneID"]}};
    }
    return seconds_since(start);
}

void line(const char* what, std::size_t rows, double secs, double floor_secs) {
    std::printf("  %-46s %9.1f ms %12.0f records/s   %6.3fx the floor's speed\n", what, secs * 1000,
                static_cast<double>(rows) / secs, floor_secs / secs);
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (count <= 0) return 1;
    const std::string root = make_temp_folder();
    std::printf("bench_sync: %d change records (client rows) in pages of 200, best of %d runs, data in %s\n", count,
                kRuns, root.c_str());

    CloudStore cloud;
    ScopedEnv env({{"TAVRIN_CLOUD_URL", cloud.url()},
                   {"TAVRIN_CLOUD_API_TOKEN", CloudStore::api_token},
                   {"TAVRIN_MAKER_URL", "http://127.0.0.1:1"}});
    const std::string account = "BENCH-ZONE";
    cloud.create_zone(account);
    for (int i = 0; i < count; ++i) {
        char name[40];
        std::snprintf(name, sizeof name, "CLIENT-%08d", i);
        cloud.put_row(account, "Clients", name, client_row(i));
    }

    double sync_best = 1e9, again_best = 1e9, transfer_best = 1e9, floor_best = 1e9;
    std::size_t applied = 0, transferred = 0;
    std::vector<Json::object> written;
    for (int run = 0; run < kRuns; ++run) {
        auto core = open_core(root, "Run" + std::to_string(run));
        core->save_web_auth_token("bench-session");
        int calls = 0;
        auto start = Clock::now();
        core->fetch_zone_changes(Json::object{{"zoneID", Json::object{{"zoneName", account}}}}, [&calls](Json) { ++calls; });
        sync_best = std::min(sync_best, seconds_since(start));
        applied = core->query("SELECT recordName FROM clients").size();
        if (calls != 1 || applied != static_cast<std::size_t>(count) ||
            core->setting("local")["syncToken"].string_value() != cloud.token(account)) {
            std::fprintf(stderr, "bench_sync: the download did not complete (%zu rows, %d completions)\n", applied, calls);
            return 1;
        }
        // The same zone listed again from its start over the rows now held (as after a refused token):
        // every record finds its row here.
        core->save_local_member("syncToken", "");
        start = Clock::now();
        core->fetch_zone_changes(Json::object{{"zoneID", Json::object{{"zoneName", account}}}}, [&calls](Json) { ++calls; });
        again_best = std::min(again_best, seconds_since(start));
        if (calls != 2 || core->query("SELECT recordName FROM clients").size() != applied) {
            std::fprintf(stderr, "bench_sync: the download over the rows held did not complete\n");
            return 1;
        }
        transfer_best = std::min(transfer_best, transfer_only(*core, account, transferred));
        if (written.empty()) written = store::rows(*core, "SELECT * FROM clients");

        // The floor writes exactly the rows the download wrote, into an empty table of its own.
        auto floor_core = open_core(root, "Floor" + std::to_string(run));
        floor_best = std::min(floor_best, raw_insert(*floor_core, "clients", written));
        if (floor_core->query("SELECT recordName FROM clients").size() != written.size()) {
            std::fputs("bench_sync: the floor lost rows\n", stderr);
            return 1;
        }
    }

    line("raw SQLite floor (insert only)", written.size(), floor_best, floor_best);
    line("transfer only (fetch and parse the pages)", transferred, transfer_best, floor_best);
    line("download and apply (fetch_zone_changes)", applied, sync_best, floor_best);
    line("the same from the start over the rows held", applied, again_best, floor_best);
    std::printf("  target: download and apply at 0.15x the floor's speed or better: %s\n",
                floor_best / sync_best >= 0.15 ? "met" : "NOT met");

    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
