// Document pages: Core::document_html for 10, 100 and 1,000 lines (the time per line shows whether
// the growth stays linear), then a two-page invoice loaded into a headless web view and printed to
// PDF, the print against the load of the same page.
//
//   bench_pages            (QT_QPA_PLATFORM=offscreen for the view part without a display)
#include "bench/bench_common.h"

#include <cstdio>
#include <filesystem>
#include <string>

#ifdef TAVRIN_BENCH_PDF
#include <QApplication>
#include <QElapsedTimer>
#include <QPageLayout>
#include <QPageSize>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <clocale>
#endif

using json11::Json;

namespace {

Json invoice_lines(Core& core, int count) {
    const Json::array taxes = core.setting("taxes").array_items();
    const Json::array units = core.setting("units").array_items();
    Json::array lines;
    for (int i = 1; i <= count; ++i) {
        Json::object line{{"name", "Tétel " + std::to_string(i)},
                          {"description", "Leírás\nmásodik sor"},
                          {"quantity", i % 7 + 1},
                          {"price", 1000 + i},
                          {"price_type", "NET"},
                          {"tax_id", taxes[i % 3]["id"]},
                          {"unit_id", units[0]["id"]}};
        if (i % 5 == 0) {
            line["discount"] = 10;
            line["discount_type"] = "RATE";
        }
        lines.push_back(line);
    }
    return lines;
}

const Json::object kDocument{{"type", "INVOICE"},          {"template", "001"},        {"currency_code", "HUF"},
                             {"exchange_rate", 1},         {"number_formatted", "SZ-1"}, {"issue_date", "2026-03-01"},
                             {"client_name", "Alma Kft."}, {"footer_note", "Köszönjük"}};

#ifdef TAVRIN_BENCH_PDF
// Loads the page and prints it; prints both times. The page is served from a file, as the view of
// the program would get it, so its size is not limited.
void view_and_print(const std::string& html, const std::string& folder) {
    const std::string page_path = folder + "invoice.html";
    FILE* file = std::fopen(page_path.c_str(), "wb");
    if (!file) return;
    std::fwrite(html.data(), 1, html.size(), file);
    std::fclose(file);

    QWebEngineView view;
    view.resize(1024, 768);
    view.show();
    QWebEnginePage& page = *view.page();
    bool loaded = false;
    QObject::connect(&page, &QWebEnginePage::loadFinished, [&](bool) { loaded = true; });
    auto wait = [](const bool& flag) {
        QElapsedTimer limit;
        limit.start();
        while (!flag && limit.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return flag;
    };

    // A first load warms the engine up, so the timed load is the page's own.
    page.load(QUrl::fromLocalFile(QString::fromStdString(page_path)));
    if (!wait(loaded)) return;
    loaded = false;
    QElapsedTimer timer;
    timer.start();
    page.load(QUrl::fromLocalFile(QString::fromStdString(page_path)));
    if (!wait(loaded)) return;
    const double load_ms = timer.nsecsElapsed() / 1e6;

    bool counted = false;
    int pages = 0;
    page.runJavaScript("Array.prototype.filter.call(document.getElementsByTagName('div'), "
                       "function(d){return d.className=='page';}).length",
                       [&](const QVariant& value) {
                           pages = value.toInt();
                           counted = true;
                       });
    wait(counted);

    bool printed = false;
    QObject::connect(&page, &QWebEnginePage::pdfPrintingFinished, [&](const QString&, bool) { printed = true; });
    const QPageLayout a4(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(0, 0, 0, 0));
    timer.restart();
    page.printToPdf(QString::fromStdString(folder + "invoice.pdf"), a4);
    if (!wait(printed)) return;
    const double print_ms = timer.nsecsElapsed() / 1e6;
    std::printf("invoice of %d pages: load into the view %.1f ms, PDF print %.1f ms (%.2fx the load), %lld bytes\n",
                pages, load_ms, print_ms, print_ms / load_ms,
                static_cast<long long>(std::filesystem::file_size(folder + "invoice.pdf")));
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const std::string root = bench::make_temp_folder();
    std::filesystem::create_directories(root + "data");
    {
        auto core = bench::open_core(root, "BENCH");
        std::printf("document_html (best of 5):\n");
        double first_per_line = 0;
        for (int count : {10, 100, 1000}) {
            const Json lines = invoice_lines(*core, count);
            double best = 1e300;
            std::size_t size = 0;
            for (int run = 0; run < 5; ++run) {
                const auto start = bench::Clock::now();
                size = core->document_html(1, kDocument, lines, "0,0").size();
                best = std::min(best, bench::ms_since(start));
            }
            const double per_line = best / count;
            if (first_per_line == 0) first_per_line = per_line;
            std::printf("  %5d lines: %9.2f ms  %7.4f ms/line (x%.2f of 10 lines)  %zu bytes\n", count, best, per_line,
                        per_line / first_per_line, size);
        }

#ifdef TAVRIN_BENCH_PDF
        // 14 lines run onto a second page.
        const std::string html = core->document_html(1, kDocument, invoice_lines(*core, 14), "0,0");
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        QApplication app(argc, argv);
        std::setlocale(LC_NUMERIC, "C");
        view_and_print(html, root);
#else
        (void)argc;
        (void)argv;
        std::printf("(built without Qt WebEngine: no PDF figures)\n");
#endif
    }
    std::filesystem::remove_all(root);
    return 0;
}
