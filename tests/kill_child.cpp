// The program the kill test kills: it saves documents with lines and stock movements, imports
// archived invoices and runs sync passes against the cloud the test names, over and over, until it is
// killed. It writes one byte to its standard output as each operation starts, so the test can kill it
// in the middle of one.
//
// Each document says how many lines and stock movements it must have: a saved document in its
// header note ("L<lines> S<movements>"), an imported one at the end of its number ("-L<lines>").
//
// Arguments: the data folder, the account and a seed; with a fourth argument "report" it reports and
// stores invoices to the tax authority the environment names instead, one after the other, each with
// the next number, as the save does; with "page", one invoice as its open page reports it.
#include "core/Core.h"
#include "tests/test_support.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

using json11::Json;

namespace {

void progress() {
    const char byte = '.';
    if (write(1, &byte, 1) != 1) std::_Exit(2);  // the test has gone
}

}  // namespace

// Invoices reported and stored until the process is killed.
[[noreturn]] void report_invoices(Core& core, std::mt19937& random) {
    for (;;) {
        progress();
        // As the save: an unsettled report first, then the number the store gives.
        core.nav_settle_report();
        const unsigned count = 1 + random() % 3;
        std::vector<Json> lines;
        for (unsigned i = 0; i < count; ++i)
            lines.push_back(Json::object{{"name", "Tétel " + std::to_string(i)}, {"quantity", 1 + static_cast<int>(i)},
                                         {"price", 1000}, {"price_type", "NET"}});
        core.nav_report_invoice(
            lines, {{"type", "INVOICE"}, {"number", core.next_number("INVOICE")},
                    {"number_formatted", core.next_number_formatted("INVOICE")}, {"issue_date", "2026-03-01"},
                    {"delivery_date", "2026-03-01"}, {"due_date", "2026-03-09"}, {"currency_code", "HUF"},
                    {"exchange_rate", 1}, {"supplier_identifier_number", "12345678-2-42"}, {"supplier_name", "Kill Kft"},
                    {"supplier_country_code", "HU"}, {"supplier_postcode", "1234"}, {"supplier_city", "Budapest"},
                    {"supplier_street", "Fő utca 1"}, {"client_name", "Vevő Anna"}, {"client_status", "PRIVATE_PERSON"},
                    {"client_country_code", "HU"}, {"client_postcode", "1111"}, {"client_city", "Budapest"},
                    {"client_street", "Kő utca 2"}});
    }
}

// One invoice reported as its open page does; once its report has ended, the page stays open until
// the process is killed.
[[noreturn]] void report_from_page(Core& core) {
    const NavReport report = core.nav_report_invoice(
        {Json::object{{"name", "Tétel"}, {"quantity", 1}, {"price", 1000}, {"price_type", "NET"}}},
        {{"type", "INVOICE"}, {"number", core.next_number("INVOICE")},
         {"number_formatted", core.next_number_formatted("INVOICE")}, {"issue_date", "2026-03-01"},
         {"delivery_date", "2026-03-01"}, {"due_date", "2026-03-09"}, {"currency_code", "HUF"}, {"exchange_rate", 1},
         {"supplier_identifier_number", "12345678-2-42"}, {"supplier_name", "Kill Kft"}, {"supplier_country_code", "HU"},
         {"supplier_postcode", "1234"}, {"supplier_city", "Budapest"}, {"supplier_street", "Fő utca 1"},
         {"client_name", "Vevő Page"}, {"client_status", "PRIVATE_PERSON"}, {"client_country_code", "HU"},
         {"client_postcode", "1111"}, {"client_city", "Budapest"}, {"client_street", "Kő utca 2"}},
        InvoiceKeeper::page);
    if (report.kept) progress();
    for (;;) pause();
}

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) return 2;
    const std::string folder = argv[1];
    std::mt19937 random(static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    auto core = make_core(folder, "hu");
    core->current_account = argv[2];
    core->open_database();
    if (argc == 5 && std::string(argv[4]) == "report") report_invoices(*core, random);
    if (argc == 5 && std::string(argv[4]) == "page") report_from_page(*core);

    std::vector<std::string> items;
    for (const char* name : {"Csavar", "Anya", "Alátét"}) {
        const std::string record_name = std::string("KILL-ITEM-") + name;
        items.push_back(record_name);
        if (!core->query("SELECT 1 FROM items WHERE recordName = '" + record_name + "'").empty()) continue;
        core->save_record({{"recordName", record_name}, {"name", name}, {"type", "INVENTORY_TRACKING"},
                           {"selling_price", 100}, {"purchase_price", 60}, {"price_type", "NET"}},
                          "items");
    }
    const Json tax = core->setting("taxes")[0]["id"];
    const Json unit = core->setting("units")[0]["id"];

    for (unsigned counter = 0;; ++counter) {
        progress();
        const unsigned operation = random() % 4;
        if (operation < 2) {
            // A receipt of every line's item, or an invoice that sells some of them.
            const bool receipt = operation == 0;
            const unsigned count = 1 + random() % 5;
            std::vector<Json> lines;
            unsigned movements = 0;
            for (unsigned i = 0; i < count; ++i) {
                Json::object line{{"name", "Sor " + std::to_string(i)},
                                  {"quantity", static_cast<double>(receipt ? 50 : 1)},
                                  {"price", 100},
                                  {"price_type", "NET"},
                                  {"tax_id", tax},
                                  {"unit_id", unit}};
                if (receipt || random() % 2) {
                    line["recordName"] = items[random() % items.size()];
                    line["item_type"] = "INVENTORY_TRACKING";
                    ++movements;
                }
                lines.emplace_back(std::move(line));
            }
            core->save_document(std::move(lines), false,
                                {{"type", receipt ? "PURCHASE_RECEIVE" : "INVOICE"},
                                 {"issue_date", "2026-03-01"},
                                 {"currency_code", "HUF"},
                                 {"exchange_rate", 1},
                                 {"header_note", "L" + std::to_string(count) + " S" + std::to_string(movements)}});
        } else if (operation == 2) {
            Json::array invoices;
            for (unsigned n = 0; n < 3; ++n) {
                const unsigned count = 1 + random() % 4;
                Json::array lines;
                for (unsigned i = 0; i < count; ++i)
                    lines.push_back(Json::object{{"item_name", "Régi tétel " + std::to_string(i)}, {"price", 1000},
                                                 {"quantity", 1}, {"tax_rate", 27}, {"unit_name", "darab"}});
                invoices.push_back(Json::object{
                    {"number_formatted", "IMP-" + std::to_string(getpid()) + "-" + std::to_string(counter) + "-" +
                                             std::to_string(n) + "-L" + std::to_string(count)},
                    {"client_name", "Régi Ügyfél Kft."}, {"client_postcode", "1011"}, {"client_status", "DOMESTIC"},
                    {"client_country_code", "HU"}, {"currency", "HUF"}, {"issue_date", "2025-05-17"},
                    {"payment_name", "Készpénz"}, {"total_net_amount", 1000.0 * count},
                    {"total_tax_amount", 270.0 * count}, {"total_gross_amount", 1270.0 * count}, {"lines", lines}});
            }
            const std::string path = folder + "import.tavrinimport";
            std::ofstream(path, std::ios::trunc) << Json(invoices).dump() << "\n";
            core->import_invoices(path, 0, [](int) {});
        } else {
            core->sync_start([](Json) {});
        }
    }
}
