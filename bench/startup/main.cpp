// Start-up time: from the start of the program's process to the first list shown (its rows in the
// list view's page), on the sample DEMO account and on an account of 10,000 invoices. Each start is
// a new process: this program starts itself with --child, which runs the program's own start-up
// (headless, no cloud, no update server) and reports once the list view holds rows.
//
//   bench_startup [runs]   (default 7 starts per account, after one start that warms the caches)
#include "app/App.h"
#include "app/MainWindow.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/Application.h"

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>
#include <vector>

extern char** environ;

using json11::Json;

namespace {

using Clock = std::chrono::steady_clock;

const char* const kRowCount = "document.querySelectorAll('#list tbody tr').length";

// --- the started program ------------------------------------------------------------------------

int run_child(int argc, char** argv) {
    ui::Application application(argc, argv);
    Tavrin::App app;
    app.OnLaunched();
    auto* window = qobject_cast<Tavrin::MainWindow*>(g_main_window.data());
    if (!window) return 2;

    // One row count at a time, asked once the window shows a list; scripts run in order, so the
    // count follows the page the window wrote.
    QTimer poll;
    std::optional<ui::AsyncOperation<QString>> asked;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (asked) {
            if (!asked->IsDone()) return;
            const int rows = asked->GetResults().toInt();
            asked.reset();
            if (rows > 0) {
                std::printf("SHOWN %d %d\n", rows, g_core ? g_core->list_count : 0);
                std::fflush(stdout);
                poll.stop();
                window->Close();
                QCoreApplication::quit();
                return;
            }
        }
        if (window->navigationView->isVisible() && window->navigationView->SelectedItem())
            asked = window->listWebView->ExecuteScriptAsync(kRowCount);
    });
    poll.start(1);
    const int code = application.Exec();
    if (g_core) {
        ui::ThreadPool::WaitForIdle();
        delete g_core;
        g_core = nullptr;
    }
    delete g_main_window.data();
    return code;
}

// --- the measuring parent ---------------------------------------------------------------------------

std::string make_temp_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrin-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern + "/";
}

// An account of `count` invoices over the last year, written in one transaction; it becomes the
// current account of `data` (the newest account file).
void make_account(const std::string& app_folder, const std::string& data, const std::string& account, int count) {
    std::map<std::string, std::string> info = {
        {"platform", "win"}, {"ver", "1.0.1.0"}, {"country_code", "HU"}, {"currency_code", "HUF"}};
    Core core(data, app_folder, info,
              {"jan.", "febr.", "márc.", "ápr.", "máj.", "jún.", "júl.", "aug.", "szept.", "okt.", "nov.", "dec."},
              {{{1, "H"}}, {{2, "K"}}, {{3, "Sze"}}, {{4, "Cs"}}, {{5, "P"}}, {{6, "Szo"}}, {{0, "V"}}}, "hu",
              "0,120,215");
    core.current_account = account;
    core.open_database();
    store::Transaction transaction(core);
    store::Statement insert(core,
                            "INSERT INTO documents (recordName, type, number, number_formatted, issue_date, "
                            "delivery_date, due_date, client_name, currency_code, exchange_rate, total_net_amount, "
                            "total_tax_amount, total_gross_amount, paid, nav_status, payment_id, created, search, "
                            "reference_number_formatted) VALUES (?, 'INVOICE', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                            "?, 'P1', ?, ?, '')");
    const std::time_t now = clock_now();
    for (int i = 0; i < count; ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "SZLA/%06d", i + 1);
        const std::string date = iso_date(now - static_cast<std::time_t>(i % 360) * 86400);
        const bool foreign = i % 10 == 0;
        const double net = 1000.0 + i % 977;
        const std::string client = "Ügyfél " + std::to_string(i % 500) + " Kft.";
        insert.reset();
        insert.bind(1, "BENCH-" + std::string(number));
        insert.bind(2, i + 1);
        insert.bind(3, std::string(number));
        insert.bind(4, date);
        insert.bind(5, date);
        insert.bind(6, date);
        insert.bind(7, client);
        insert.bind(8, foreign ? "EUR" : "HUF");
        insert.bind(9, foreign ? 395.5 : 1.0);
        insert.bind(10, net);
        insert.bind(11, net * 0.27);
        insert.bind(12, net * 1.27);
        insert.bind(13, i % 3 == 0 ? 1 : 0);
        insert.bind(14, i % 5 == 0 ? "" : "DONE");
        insert.bind(15, static_cast<std::int64_t>(now) * 1000 + i);
        insert.bind(16, search_text({{"client_name", client}, {"number_formatted", number}}));
        if (!insert.run()) {
            std::fprintf(stderr, "bench_startup: could not write the invoices\n");
            std::exit(1);
        }
    }
    transaction.commit();
}

struct Start {
    double ms = 0;
    int rows = 0;
    int count = 0;
};

// One start of the program in a new process; the time runs from just before the process is made.
// The account file `last_used`, when given, is made the newest, as the account worked in last.
Start start_once(const std::string& self, const std::string& data, const std::string& last_used) {
    if (!last_used.empty()) utime((data + last_used).c_str(), nullptr);
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    setenv("TAVRIN_DATA_DIR", data.c_str(), 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    char child_flag[] = "--child";
    char* args[] = {const_cast<char*>(self.c_str()), child_flag, nullptr};
    const Clock::time_point begin = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, self.c_str(), &actions, nullptr, args, environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    Start start;
    std::string line;
    char c;
    while (read(fds[0], &c, 1) == 1) {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.rfind("SHOWN ", 0) == 0) {
            start.ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
            std::sscanf(line.c_str(), "SHOWN %d %d", &start.rows, &start.count);
            break;
        }
        line.clear();
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (start.rows == 0) {
        std::fprintf(stderr, "bench_startup: the program showed no list (exit status %d)\n", status);
        std::exit(1);
    }
    return start;
}

Start measure(const std::string& self, const std::string& data, const std::string& last_used, int runs) {
    start_once(self, data, last_used);  // the first start fills the data folder and the system's caches
    std::vector<Start> starts;
    for (int i = 0; i < runs; ++i) starts.push_back(start_once(self, data, last_used));
    std::sort(starts.begin(), starts.end(), [](const Start& a, const Start& b) { return a.ms < b.ms; });
    return starts[starts.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return run_child(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;

    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string app_folder = std::filesystem::path(self).parent_path().string() + "/";
    // Headless, and nothing reaches a network service: the cloud and the update server are addresses
    // where nothing listens.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
    setenv("TAVRIN_CLOUD_URL", "http://127.0.0.1:9", 1);
    setenv("TAVRIN_MAKER_URL", "http://127.0.0.1:9", 1);

    const std::string root = make_temp_folder();
    const std::string demo = root + "demo/";
    const std::string large = root + "large/";
    std::filesystem::create_directories(demo);
    std::filesystem::create_directories(large);
    make_account(app_folder, large, "BENCH10000", 10000);

    std::printf("Start-up: process start to the first list shown (offscreen), median of %d starts\n", runs);
    const Start d = measure(self, demo, "", runs);
    std::printf("%-24s %8.0f ms   %3d rows shown of %d invoices   (target: under 1500 ms)\n", "DEMO account", d.ms,
                d.rows, d.count);
    const Start l = measure(self, large, "BENCH10000.tvr", runs);
    std::printf("%-24s %8.0f ms   %3d rows shown of %d invoices   %.2fx DEMO (target: at most 1.50x)\n",
                "10,000 invoices", l.ms, l.rows, l.count, l.ms / d.ms);
    std::filesystem::remove_all(root);
    return 0;
}
