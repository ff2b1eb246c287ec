// The main window while a sync pass applies change records downloaded from the loopback cloud store
// and the report pace runs (quickened, with a report of another computer left waiting, so that every
// beat reads what the notices need): the longest stall of the window's event loop, beside the pass's
// own time. For comparison, the same pass with one store read on the UI thread at each beat (what the
// window did before), each read's wait shown.
//
//   bench_ui_stall [records]   (default 10000; headless unless a display is set)
#include "app/App.h"
#include "app/MainWindow.h"
#include "bench/bench_common.h"
#include "core/store/store_internal.h"
#include "tests/fakes/cloud_store.h"
#include "tests/test_support.h"
#include "ui/Application.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

using json11::Json;

namespace {

const std::string kAccount = "1A2B3C4D-5E6F-4A8B-9C0D-E1F2A3B4C5D7";
constexpr int kPaceMs = 50;

Json client_row(int index) {
    return Json::object{{"name", "Ügyfél Kft. " + std::to_string(index)},
                        {"country_code", "HU"},
                        {"currency_code", "HUF"},
                        {"status", "DOMESTIC"},
                        {"identifier_number", "12345678-2-41"},
                        {"city", "Budapest"},
                        {"street", "Fő utca " + std::to_string(index % 200)},
                        {"postcode", "1051"}};
}

// Runs the event loop until `done` holds (at most two minutes), looking every millisecond.
bool wait_for(const std::function<bool()>& done) {
    if (done()) return true;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start();
    limit.start(120000);
    loop.exec();
    return done();
}

// The longest gap between two turns of the event loop while it runs: a 1 ms timer notes each turn.
class StallMeter {
public:
    StallMeter() {
        ticks_.setTimerType(Qt::PreciseTimer);
        ticks_.setInterval(1);
        QObject::connect(&ticks_, &QTimer::timeout, [this] {
            longest_ms_ = std::max(longest_ms_, since_last_.nsecsElapsed() / 1e6);
            since_last_.restart();
        });
    }
    void start() {
        longest_ms_ = 0;
        since_last_.start();
        ticks_.start();
    }
    double stop() {
        ticks_.stop();
        return longest_ms_;
    }

private:
    QTimer ticks_;
    QElapsedTimer since_last_;
    double longest_ms_ = 0;
};

// The longest stall of the event loop with nothing to do but the pace, for `ms`: the floor the
// machine's own scheduling gives.
double idle_stall(int ms) {
    StallMeter meter;
    meter.start();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return meter.stop();
}

struct PassFigures {
    double pass_ms = 0;
    double stall_ms = 0;
    double longest_read_ms = 0;
    bool complete = false;
};

// One pass over `count` new client records of the cloud, started as a click on the section shown
// starts it; with `read_on_ui`, each pace beat also reads the report under way on the UI thread.
PassFigures measured_pass(CloudStore& cloud, Tavrin::MainWindow& window, int first, int count, bool read_on_ui) {
    for (int index = first; index < first + count; ++index) {
        char name[40];
        std::snprintf(name, sizeof name, "CLIENT-%08d", index);
        cloud.put_row(kAccount, "Clients", name, client_row(index));
    }
    PassFigures figures;
    QTimer ui_reads;
    ui_reads.setInterval(kPaceMs);
    QObject::connect(&ui_reads, &QTimer::timeout, [&figures] {
        QElapsedTimer read;
        read.start();
        if (g_core) g_core->nav_pending_record();
        figures.longest_read_ms = std::max(figures.longest_read_ms, read.nsecsElapsed() / 1e6);
    });
    StallMeter meter;
    const auto idle = [&window] { return !window.busyIndicator->IsActive() && ui::ThreadPool::ActiveCount() == 0; };
    meter.start();
    if (read_on_ui) ui_reads.start();
    const bench::Clock::time_point start = bench::Clock::now();
    window.OnSelectedSectionInvoked();
    figures.complete = wait_for(idle);
    figures.pass_ms = bench::ms_since(start);
    ui_reads.stop();
    figures.stall_ms = meter.stop();
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
    if (std::getenv("DISPLAY") == nullptr || std::getenv("QT_QPA_PLATFORM") != nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
    const std::string root = bench::make_temp_folder();

    CloudStore cloud;
    ScopedEnv::Values values = cloud.env();
    values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:9");
    values.emplace_back("TAVRIN_NAV_URL", "http://127.0.0.1:9");
    ScopedEnv env(values);
    cloud.create_zone(kAccount);
    cloud.put_row("_defaultZone", "Settings", "accounts",
                  Json(Json::array{Json::object{{"id", kAccount}, {"name", "Mérő Kft."}}}));

    ui::Application application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    g_core = make_core(root + "data/", "hu").release();
    g_core->current_account = kAccount;
    g_core->open_database();
    g_core->save_web_auth_token("bench-session");
    // A report another computer recorded and may still send: the pace reads it at every beat.
    const Json waiting = Json::object{{"request_id", "TVBENCH_1"},       {"number_formatted", "BENCH-1"},
                                      {"written", 1.0e9},                {"deadline", 1.0e9 + 6},
                                      {"sent", 1.0e9},                   {"machine", "another-computer"},
                                      {"document", Json::object{{"type", "INVOICE"}}}, {"lines", Json::array{}}};
    g_core->save_record({{"recordName", "nav_pending"}, {"value", waiting.dump()}, {"synced", -1}}, "settings");

    auto* window = new Tavrin::MainWindow;
    g_main_window = window;
    window->Activate();
    const auto shown = [window] {
        const ui::NavigationViewItem* item = window->navigationView->SelectedItem();
        return item && ui::Name(item) == "INVOICE" && !window->navigationView->isHidden() &&
               !window->busyIndicator->IsActive() && ui::ThreadPool::ActiveCount() == 0;
    };
    if (!wait_for(shown)) {
        std::fputs("bench_ui_stall: the window never showed its list\n", stderr);
        return 1;
    }
    window->reportPace->setInterval(kPaceMs);

    std::printf("bench_ui_stall: a sync pass applying %d downloaded client records, report pace every %d ms\n", count,
                kPaceMs);
    const PassFigures off_ui = measured_pass(cloud, *window, 0, count, false);
    const double idle_ms = idle_stall(static_cast<int>(off_ui.pass_ms));
    const PassFigures on_ui = measured_pass(cloud, *window, count, count, true);
    const std::size_t applied = store::rows(*g_core, "SELECT recordName FROM clients").size();
    if (!off_ui.complete || !on_ui.complete || applied != static_cast<std::size_t>(2 * count)) {
        std::fprintf(stderr, "bench_ui_stall: the passes did not complete (%zu rows)\n", applied);
        return 1;
    }
    std::printf("  the pass (as the window runs it)      %9.1f ms\n", off_ui.pass_ms);
    std::printf("  longest event-loop stall meanwhile    %9.1f ms\n", off_ui.stall_ms);
    std::printf("  the same time with no pass (the floor)%9.1f ms\n", idle_ms);
    std::printf("  for comparison, one store read on the UI thread at each beat:\n");
    std::printf("    the pass                            %9.1f ms\n", on_ui.pass_ms);
    std::printf("    longest event-loop stall            %9.1f ms   (longest read %.1f ms)\n", on_ui.stall_ms,
                on_ui.longest_read_ms);
    std::printf("  target: the stall within one frame (16 ms): %s\n", off_ui.stall_ms <= 16.0 ? "met" : "NOT met");

    window->reportPace->stop();
    window->Close();
    delete window;
    g_main_window = nullptr;
    ui::ThreadPool::WaitForIdle();
    delete g_core;
    g_core = nullptr;
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
