// The invoice list: the first page with its count and totals line, out of 1,000, 10,000 and 100,000
// documents, for the whole year (every document matches) and for one month of it. The growth
// from the smallest size is printed beside each figure.
//
//   bench_lists [largest]   (default 100000)
#include "bench/bench_common.h"
#include "core/store/store_internal.h"

#include <algorithm>
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
        char number[32], date[16];
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

// Median milliseconds of one first-page call.
double page_ms(Core& core, const Json::object& filter, int runs) {
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        auto start = Clock::now();
        const std::string html = core.list_html(0, "INVOICE", filter, "", "");
        times.push_back(bench::ms_since(start));
        if (html.empty() || core.list_rows.empty()) {
            std::fprintf(stderr, "unexpected page: %zu rows\n", core.list_rows.size());
            std::exit(1);
        }
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int largest = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 100000;
    const Json::object year{{"from_to_type", 0}, {"date_type", "issue_date"}, {"from_date", "2025-01-01"},
                            {"to_date", "2025-12-31"}, {"currency_code", "%%"}, {"payment_id", "%%"}, {"paid", "%%"}};
    Json::object month = year;
    month["from_date"] = "2025-06-01";
    month["to_date"] = "2025-06-30";

    std::printf("Invoice list, first page (up to 100 rows) with count and totals line; median of several calls\n");
    std::printf("%10s  %14s %8s  %14s %8s\n", "documents", "year ms", "growth", "one month ms", "growth");
    double base_year = 0, base_month = 0;
    for (int size = 1000; size <= largest; size *= 10) {
        const std::string root = make_temp_folder();
        {
            auto core = open_core(root);
            insert_invoices(*core, size);
            const int runs = size >= 100000 ? 7 : 21;
            page_ms(*core, year, 2);  // warm the page cache
            const double y = page_ms(*core, year, runs);
            const double m = page_ms(*core, month, runs);
            if (base_year == 0) base_year = y, base_month = m;
            std::printf("%10d  %14.3f %7.2fx  %14.3f %7.2fx\n", size, y, y / base_year, m, m / base_month);
            std::printf("%10s  totals: %s\n", "", core->list_summary.c_str());
        }
        std::filesystem::remove_all(root);
    }
    return 0;
}
