// The invoice list: the first page with its count and totals line, out of 1,000, 10,000 and 100,000
// documents, for the whole year (every document matches) and for one month of it, without and with a
// search text. Without one, the growth from the smallest size is printed beside each figure; with
// one, the ratio to the floor measured in the same run: a bare COUNT(*) with the same LIKE over the
// same rows.
//
//   bench_lists [largest [rounds]]   (defaults 100000 and 15)
#include "bench/bench_common.h"
#include "core/store/store_internal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using json11::Json;

namespace {

using bench::Clock;
using bench::make_temp_folder;

std::unique_ptr<Core> open_core(const std::string& root) {
    std::filesystem::create_directories(root + "data");
    return bench::open_core(root, "BENCH");
}

// Invoices spread over one year, one statement in one transaction.
void insert_invoices(Core& core, int count) {
    store::Transaction transaction(core);
    store::Statement insert(core,
                            "INSERT INTO documents (recordName, type, number, number_formatted, issue_date, "
                            "delivery_date, due_date, client_name, currency_code, exchange_rate, total_net_amount, "
                            "total_tax_amount, total_gross_amount, paid, nav_status, payment_id, created, search, "
                            "reference_number_formatted) VALUES (?, 'INVOICE', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                            "?, 'P1', ?, ?, '')");
    for (int i = 0; i < count; ++i) {
        char number[32], date[32];
        std::snprintf(number, sizeof number, "SZLA/2025-%06d", i + 1);
        std::snprintf(date, sizeof date, "2025-%02d-%02d", 1 + (i * 12 / count), 1 + i % 28);
        const bool foreign = i % 10 == 0;
        const double net = 1000.0 + i % 977;
        const std::string client = "Ügyfél " + std::to_string(i % 500) + " Kft.";
        insert.reset();
        insert.bind(1, "INVOICE-" + std::string(number));
        insert.bind(2, i + 1);
        insert.bind(3, std::string(number));
        insert.bind(4, std::string(date));
        insert.bind(5, std::string(date));
        insert.bind(6, std::string(date));
        insert.bind(7, client);
        insert.bind(8, foreign ? "EUR" : "HUF");
        insert.bind(9, foreign ? 395.5 : 1.0);
        insert.bind(10, net);
        insert.bind(11, net * 0.27);
        insert.bind(12, net * 1.27);
        insert.bind(13, i % 3 == 0 ? 1 : 0);
        insert.bind(14, i % 5 == 0 ? "" : "DONE");
        insert.bind(15, static_cast<std::int64_t>(1735700000000LL + static_cast<std::int64_t>(i) * 60000));
        insert.bind(16, search_text({{"client_name", client}, {"number_formatted", number}}));
        if (!insert.run()) {
            std::fprintf(stderr, "insert failed\n");
            std::exit(1);
        }
    }
    transaction.commit();
}

Json::object filter_of(const char* from, const char* to) {
    return {{"from_to_type", 0}, {"date_type", "issue_date"}, {"from_date", from}, {"to_date", to},
            {"currency_code", "%%"}, {"payment_id", "%%"}, {"paid", "%%"}};
}

double page_call(Core& core, const Json::object& filter, const std::string& search) {
    auto start = Clock::now();
    const std::string html = core.list_html(0, "INVOICE", filter, search, "");
    const double ms = bench::ms_since(start);
    if (html.empty() || (search.empty() && core.list_rows.empty())) {
        std::fprintf(stderr, "unexpected page: %zu rows\n", core.list_rows.size());
        std::exit(1);
    }
    return ms;
}

// The floor: the rows of the same type and range that hold the search text, counted.
double floor_call(Core& core, const Json::object& filter, const std::string& search) {
    const std::string folded = normalize_whitespace(to_lower(remove_diacritics(search)));
    auto start = Clock::now();
    store::Statement count(core,
                           "SELECT COUNT(*) FROM documents WHERE (type = 'INVOICE' OR type = 'ARCHIVE_INVOICE') "
                           "AND issue_date BETWEEN ? AND ? AND search LIKE ? ESCAPE '\\'");
    count.bind_all({filter.at("from_date"), filter.at("to_date"), Json("%" + store::like_escaped(folded) + "%")});
    if (!count.step()) {
        std::fprintf(stderr, "floor query failed\n");
        std::exit(1);
    }
    return bench::ms_since(start);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int largest = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 100000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;
    const Json::object year = filter_of("2025-01-01", "2025-12-31");
    const Json::object month = filter_of("2025-06-01", "2025-06-30");
    const std::vector<std::string> searches = {"Ügyfél 12", "000777"};

    struct Case {
        const Json::object* filter;
        std::string search;
        bool floor;
        std::vector<double> times;
    };
    struct Size {
        int documents;
        std::string root;
        std::unique_ptr<Core> core;
        double first_page = 0;
        std::vector<Case> cases;
    };
    std::vector<Size> sizes;
    for (int documents = 1000; documents <= largest; documents *= 10) {
        Size size{documents, make_temp_folder(), nullptr, 0, {}};
        size.core = open_core(size.root);
        insert_invoices(*size.core, documents);
        // The first page after opening also builds the per-connection summary.
        size.first_page = page_call(*size.core, year, "");
        for (const Json::object* filter : {&year, &month}) {
            size.cases.push_back({filter, "", false, {}});
            for (const std::string& search : searches) {
                size.cases.push_back({filter, search, false, {}});
                size.cases.push_back({filter, search, true, {}});
            }
        }
        sizes.push_back(std::move(size));
    }

    // Every size and case in each round, so that a busy machine weighs on all alike.
    for (int r = -1; r < rounds; ++r)
        for (Size& size : sizes)
            for (Case& c : size.cases) {
                const double ms = c.floor ? floor_call(*size.core, *c.filter, c.search)
                                          : page_call(*size.core, *c.filter, c.search);
                if (r >= 0) c.times.push_back(ms);  // round -1 warms the caches
            }

    std::printf("Invoice list, first page (up to 100 rows) with count and totals line; median ms of %d rounds\n", rounds);
    std::printf("Without a search text: growth against 1,000 documents. With one: ratio to COUNT(*) with the same "
                "LIKE over the same rows.\n\n");
    std::printf("%10s %6s %9s %7s", "documents", "range", "page", "growth");
    for (const std::string& search : searches)
        std::printf(" | %-14s %9s %9s %6s", ("\"" + search + "\"").c_str(), "page", "COUNT(*)", "ratio");
    std::printf("\n");
    double base[2] = {0, 0};
    double worst_growth = 0, worst_ratio = 0;  // of the largest size
    for (Size& size : sizes) {
        std::size_t at = 0;
        for (int range = 0; range < 2; ++range) {
            const double page = median(size.cases[at++].times);
            if (size.documents == 1000) base[range] = page;
            const double growth = page / base[range];
            std::printf("%10d %6s %9.3f %6.2fx", size.documents, range == 0 ? "year" : "month", page, growth);
            if (&size == &sizes.back()) worst_growth = std::max(worst_growth, growth);
            for (std::size_t s = 0; s < searches.size(); ++s) {
                const double searched = median(size.cases[at++].times);
                const double floor = median(size.cases[at++].times);
                std::printf(" | %-14s %9.3f %9.3f %5.2fx", "", searched, floor, searched / floor);
                if (&size == &sizes.back()) worst_ratio = std::max(worst_ratio, searched / floor);
            }
            std::printf("\n");
        }
    }
    std::printf("\nAt %d documents: without a search text at most %.2fx the page at 1,000 (target: at most 2x), %s; "
                "with one at most %.2fx the COUNT(*) floor (target: at most 1.5x), %s\n\n",
                sizes.back().documents, worst_growth, worst_growth <= 2.0 ? "on target" : "ABOVE TARGET", worst_ratio,
                worst_ratio <= 1.5 ? "on target" : "ABOVE TARGET");
    for (Size& size : sizes) {
        Core& core = *size.core;
        page_call(core, year, "");
        std::printf("%10d %6s totals %s (%d documents; first page after opening %.1f ms)\n", size.documents, "year",
                    core.list_summary.c_str(), core.list_count, size.first_page);
        page_call(core, month, "");
        std::printf("%10s %6s totals %s (%d documents)\n", "", "month", core.list_summary.c_str(), core.list_count);
        size.core.reset();
        std::filesystem::remove_all(size.root);
    }
    return 0;
}
