// A program killed at any moment leaves a database that opens whole: a child process saves documents
// with lines and stock movements, imports archived invoices and syncs with the loopback cloud, and is
// killed with SIGKILL while it works, fifty times over the same data folder. After each kill the
// database opens, passes SQLite's integrity check, and every document in it has all its lines and
// stock movements. A second child reports invoices to the loopback tax authority, which loses or holds
// some replies, and is killed at spread-out moments, also while the authority holds its answer: after
// each kill the installation that starts again settles what is open, every number the authority took
// is stored once, none was taken twice, and the account can go on reporting.
#include "core/store/store_internal.h"
#include "tests/fakes/cloud_store.h"
#include "tests/fakes/nav_fake.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <map>
#include <thread>
#include <filesystem>
#include <poll.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using json11::Json;

namespace {

const std::string kAccount = "7D1C2B3A-4F5E-4D6C-8B7A-9F8E7D6C5B4A";
// Fifty kills; fewer in a sanitizer build, where every start of the child costs most of a second.
#ifndef TAVRIN_KILLS
#define TAVRIN_KILLS 50
#endif
constexpr int kKills = TAVRIN_KILLS;

// The number after `prefix` in `text` (-1 when there is none).
int number_after(const std::string& text, const std::string& prefix) {
    const std::size_t at = text.rfind(prefix);
    if (at == std::string::npos) return -1;
    return std::atoi(text.c_str() + at + prefix.size());
}

// Starts the child with its output on a pipe; gives its pid and the pipe's reading end.
std::pair<pid_t, int> start_child(const std::string& folder, unsigned seed, const char* mode = nullptr) {
    int fds[2];
    if (pipe(fds) != 0) return {-1, -1};
    const std::string seed_text = std::to_string(seed);
    const char* argv[] = {TAVRIN_KILL_CHILD, folder.c_str(), kAccount.c_str(), seed_text.c_str(), mode, nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execv(TAVRIN_KILL_CHILD, const_cast<char* const*>(argv));
        _exit(127);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

// Reads the child's progress until `operations` have started, or `stop_early` holds; false when it
// stopped or `limit` passed.
bool wait_for_operations(int fd, int operations, std::chrono::milliseconds limit,
                         const std::function<bool()>& stop_early = {}) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int started = 0;
    while (started < operations) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (stop_early && stop_early()) return true;
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), stop_early ? 20 : left.count()))) <= 0)
            continue;
        char bytes[64];
        const ssize_t n = read(fd, bytes, sizeof bytes);
        if (n <= 0) return false;
        for (ssize_t i = 0; i < n; ++i) started += bytes[i] == '.';
    }
    return true;
}

// Kills the child and reaps it; true when that kill is what ended it.
bool killed(pid_t pid, int output) {
    ::kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(output);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// The test account's store, opened as a start of the program opens it.
std::unique_ptr<Core> open_account(const std::string& folder) {
    auto core = make_core(folder, "hu");
    core->current_account = kAccount;
    core->open_database();
    return core;
}

// Settles the report left open until it is no longer waiting, or `limit` has passed.
NavSettled settle_within(Core& core, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    NavSettled settled = core.nav_settle_report();
    while (settled.result == NavSettled::Result::waiting && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        settled = core.nav_settle_report();
    }
    return settled;
}

// The variables of a reporting child on the fake authority, with the cloud at `cloud_values`.
ScopedEnv::Values report_env(const NavFake& nav, const ScopedEnv::Values& cloud_values) {
    ScopedEnv::Values values = nav.env();
    for (const auto& value : cloud_values) values.push_back(value);
    values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:1");
    values.emplace_back("TAVRIN_SCHEMA_DIR", std::string(TAVRIN_TEST_DATA) + "/../../resources/nav/");
    values.emplace_back("TAVRIN_NAV_SETTLE_SECONDS", "1");
    // A request killed on its way is past arriving this long (and a margin) after it went out.
    values.emplace_back("TAVRIN_NAV_REQUEST_SECONDS", "2");
    return values;
}

// A data folder whose account is signed in to the fake authority as `user`.
std::string signed_in_folder(const std::string& base, const NavUser& user, bool cloud_session) {
    const std::string folder = base + "data/";
    std::filesystem::create_directories(folder);
    auto core = open_account(folder);
    Json::object supplier = user.signed_in(core->setting("supplier").object_items(), "12345678-2-42");
    if (!core->save_record({{"recordName", "supplier"}, {"value", Json(supplier).dump()}}, "settings")) return "";
    if (cloud_session) core->save_web_auth_token("session");
    return folder;
}

TEST(Crash, AKilledProgramLeavesEveryDocumentWhole) {
    TempDir dir;
    CloudStore cloud;
    cloud.create_zone(kAccount);
    std::mt19937 faults(7);
    cloud.set_fault_policy([&faults](const std::string&) -> std::optional<CloudStore::FaultChoice> {
        if (faults() % 10) return std::nullopt;
        return CloudStore::FaultChoice{faults() % 2 ? CloudStore::Fault::drop : CloudStore::Fault::status_500,
                                       faults() % 2 == 0};
    });
    ScopedEnv::Values values = cloud.env();
    values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:1");
    ScopedEnv env(values);
    const std::string folder = dir.path() + "data/";
    std::filesystem::create_directories(folder);

    std::mt19937 random(20260301);
    std::size_t documents = 0, movements = 0;
    for (int kill_number = 0; kill_number < kKills; ++kill_number) {
        SCOPED_TRACE("kill " + std::to_string(kill_number + 1));
        const auto [pid, output] = start_child(folder, random());
        ASSERT_GT(pid, 0);
        const bool working = wait_for_operations(output, 1 + static_cast<int>(random() % 12), std::chrono::seconds(60));
        const bool ended = killed(pid, output);
        ASSERT_TRUE(working) << "the child stopped on its own";
        ASSERT_TRUE(ended);

        auto core = open_account(folder);
        // Opened as it was, not rebuilt from a backup.
        ASSERT_FALSE(std::filesystem::exists(folder + "tmp"));
        EXPECT_EQ(core->setting("local")["db_ver"].string_value(), "221101");
        const auto integrity = store::rows(*core, "PRAGMA integrity_check");
        ASSERT_EQ(integrity.size(), 1u);
        EXPECT_EQ(Json(integrity.front())["integrity_check"].string_value(), "ok");

        documents = 0;
        movements = 0;
        for (const auto& row : store::rows(*core, "SELECT recordName, type, number_formatted, header_note FROM documents")) {
            const Json document(row);
            const std::string name = document["recordName"].string_value();
            const bool archived = document["type"].string_value() == "ARCHIVE_INVOICE";
            const std::string& note = document["header_note"].string_value();
            const int lines = archived ? number_after(document["number_formatted"].string_value(), "-L")
                                       : number_after(note, "L");
            const int stock = archived ? 0 : number_after(note, "S");
            ASSERT_GT(lines, 0) << name;
            EXPECT_EQ(store::rows(*core, "SELECT id FROM document_lines WHERE documentRecordName = ?", {name}).size(),
                      static_cast<std::size_t>(lines))
                << name;
            EXPECT_EQ(store::rows(*core, "SELECT recordName FROM inventory WHERE documentRecordName = ?", {name}).size(),
                      static_cast<std::size_t>(stock))
                << name;
            ++documents;
            movements += static_cast<std::size_t>(stock);
        }
        EXPECT_TRUE(store::rows(*core, "SELECT id FROM document_lines WHERE documentRecordName NOT IN "
                                       "(SELECT recordName FROM documents)")
                        .empty());
        EXPECT_TRUE(store::rows(*core, "SELECT recordName FROM inventory WHERE documentRecordName NOT IN "
                                       "(SELECT recordName FROM documents)")
                        .empty());
        if (HasFailure()) return;
    }
    // The child did its work between the kills, and the cloud got some of it.
    EXPECT_GT(documents, static_cast<std::size_t>(kKills) / 2);
    EXPECT_GT(movements, static_cast<std::size_t>(kKills) / 2);
    EXPECT_FALSE(cloud.records(kAccount).empty());
}

TEST(Crash, AKilledReportIsSettledStoredOnceAndNeverBlocksTheNext) {
    TempDir dir;
    NavFake nav(std::string(TAVRIN_TEST_DATA) + "/nav");
    const NavUser user{"killuser01", "Titok-Jelszo1", "ce-8f5e-215119fa7dd621DLMRHRLH2S", "CE8F5E215119FA7D", "12345678"};
    nav.add_user(user);
    nav.set_processing_delay(std::chrono::milliseconds(200));
    std::mt19937 faults(11);
    nav.set_reply_policy([&faults] {
        const unsigned roll = faults() % 10;
        return roll < 2 ? NavReplyFault::drop : roll < 4 ? NavReplyFault::hang : NavReplyFault::none;
    });
    ScopedEnv env(report_env(nav, {{"TAVRIN_CLOUD_URL", "http://127.0.0.1:1"}}));
    const std::string folder = signed_in_folder(dir.path(), user, false);
    ASSERT_FALSE(folder.empty());

    std::mt19937 random(20260302);
    int held = 0;
    const int kills = std::max(kKills / 2, 5);
    for (int kill_number = 0; kill_number < kills; ++kill_number) {
        SCOPED_TRACE("kill " + std::to_string(kill_number + 1));
        // From halfway, other software of the same technical user has sent more than a listing was once
        // read for, a transaction a page: a listing, where one is needed, is read over several calls
        // and program starts.
        if (kill_number == kills / 2) {
            for (int other = 0; other < 150; ++other) nav.add_annulment(user.login);
            nav.set_list_page_size(1);
        }
        const auto [pid, output] = start_child(folder, random(), "report");
        ASSERT_GT(pid, 0);
        // Killed after some reports, or at once while the authority holds the reply.
        const bool working = wait_for_operations(output, 1 + static_cast<int>(random() % 6), std::chrono::seconds(60),
                                                 [&nav] { return nav.wait_hung(std::chrono::milliseconds(0)); });
        held += nav.wait_hung(std::chrono::milliseconds(0));
        const bool ended = killed(pid, output);
        nav.release_hung();
        ASSERT_TRUE(working) << "the child stopped on its own";
        ASSERT_TRUE(ended);

        // The installation starts again: what was open is settled within the processing wait.
        auto core = open_account(folder);
        const NavSettled settled = settle_within(*core, std::chrono::seconds(20));
        ASSERT_NE(settled.result, NavSettled::Result::waiting) << "the account is left unable to report";

        std::vector<std::string> accepted = nav.accepted_numbers();
        std::map<std::string, int> stored;
        for (const auto& row : store::rows(*core, "SELECT number_formatted, nav_transaction_id FROM documents "
                                                  "WHERE type = 'INVOICE'")) {
            const Json invoice(row);
            ++stored[invoice["number_formatted"].string_value()];
            EXPECT_FALSE(invoice["nav_transaction_id"].string_value().empty());
        }
        std::vector<std::string> received = nav.received_numbers();
        std::sort(received.begin(), received.end());
        EXPECT_EQ(std::adjacent_find(received.begin(), received.end()), received.end()) << "a number sent twice";
        for (const std::string& number : accepted)
            EXPECT_EQ(stored.count(number) ? stored.at(number) : 0, 1) << number;
        EXPECT_EQ(stored.size(), accepted.size()) << "an invoice stored that the authority did not take";

        // It goes on: the next number is free, here and at the authority.
        EXPECT_EQ(stored.count(core->next_number_formatted("INVOICE")), 0u);
        EXPECT_EQ(std::count(accepted.begin(), accepted.end(), core->next_number_formatted("INVOICE")), 0);
        if (HasFailure()) return;
    }
    for (const NavCall& call : nav.calls()) EXPECT_NE(call.error_code, "REQUEST_ID_NOT_UNIQUE") << call.operation;
    EXPECT_GT(nav.accepted_numbers().size(), static_cast<std::size_t>(kKills / 4));
    EXPECT_GT(held, 0) << "no kill while the authority held a reply";
}

// A page's invoice whose submission never reached the authority ends unstored while the page is
// open, and the program is killed: the start after finds it a draft, and tells of it.
TEST(Crash, AnInvoiceLostWithItsPageOpenIsADraftAfterAKill) {
    TempDir dir;
    NavFake nav(std::string(TAVRIN_TEST_DATA) + "/nav");
    const NavUser user{"pageuser01", "Titok-Jelszo1", "ce-8f5e-215119fa7dd621DLMRHRLH2S", "CE8F5E215119FA7D", "12345678"};
    nav.add_user(user);
    nav.fail_next("manageInvoice", NavQueryFault::unavailable);
    ScopedEnv::Values values = report_env(nav, {{"TAVRIN_CLOUD_URL", "http://127.0.0.1:1"}});
    // The save waits until the authority's records tell that it never arrived.
    for (auto& [name, value] : values)
        if (name == "TAVRIN_NAV_SETTLE_SECONDS") value = "20";
    ScopedEnv env(values);
    const std::string folder = signed_in_folder(dir.path(), user, false);
    ASSERT_FALSE(folder.empty());
    const auto [pid, output] = start_child(folder, 1, "page");
    ASSERT_GT(pid, 0);
    const bool kept = wait_for_operations(output, 1, std::chrono::seconds(60));
    ASSERT_TRUE(killed(pid, output));
    ASSERT_TRUE(kept) << "the report did not end with its draft kept";

    auto core = open_account(folder);
    EXPECT_EQ(core->nav_settle_report().result, NavSettled::Result::none);
    const std::vector<KeptDraft> told = core->take_kept_drafts();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told.front().outcome, NavSettled::Result::dropped);
    const auto drafts = store::rows(*core, "SELECT * FROM documents WHERE type = 'DRAFT'");
    ASSERT_EQ(drafts.size(), 1u);
    EXPECT_EQ(Json(drafts.front())["client_name"].string_value(), "Vevő Page");
    EXPECT_EQ(Core::draft_keeping(Json(drafts.front())).number, told.front().number);
    EXPECT_TRUE(store::rows(*core, "SELECT 1 FROM documents WHERE type = 'INVOICE'").empty());
    EXPECT_TRUE(nav.accepted_numbers().empty());
}

// The shared record's update before the sending is slow, the front registers the invoice late, and
// the program is killed right after its request left: the installation that starts again waits as long
// as a copy can arrive, and stores it once it has.
TEST(Crash, AKilledReportWhoseSharedRecordWasSlowToUpdateIsNeverDropped) {
    TempDir dir;
    CloudStore cloud;
    cloud.create_zone(kAccount);
    // Every write of a record takes most of a request's time.
    cloud.set_fault_policy([](const std::string& endpoint) -> std::optional<CloudStore::FaultChoice> {
        if (endpoint == "records/modify") std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        return std::nullopt;
    });
    NavFake nav(std::string(TAVRIN_TEST_DATA) + "/nav");
    const NavUser user{"slowuser01", "Titok-Jelszo1", "ce-8f5e-215119fa7dd621DLMRHRLH2S", "CE8F5E215119FA7D", "12345678"};
    nav.add_user(user);
    nav.set_processing_delay(std::chrono::milliseconds(200));
    // Within a request's time and the margin after it went out.
    nav.set_gateway_delay(std::chrono::milliseconds(3500));
    nav.fault_next_replies(NavReplyFault::gateway);
    ScopedEnv env(report_env(nav, cloud.env()));
    const std::string folder = signed_in_folder(dir.path(), user, true);
    ASSERT_FALSE(folder.empty());

    const auto [pid, output] = start_child(folder, 5, "report");
    ASSERT_GT(pid, 0);
    // Killed as its invoice reaches the authority: the token exchange, then the submission.
    ASSERT_TRUE(nav.wait_for_requests(2, std::chrono::seconds(30)));
    ASSERT_TRUE(killed(pid, output));

    auto core = open_account(folder);
    const NavSettled settled = settle_within(*core, std::chrono::seconds(20));
    EXPECT_EQ(settled.result, NavSettled::Result::stored) << "dropped while its copy could still arrive";
    ASSERT_EQ(nav.accepted_numbers().size(), 1u);
    EXPECT_EQ(store::rows(*core, "SELECT 1 FROM documents WHERE type = 'INVOICE' AND number_formatted = ?",
                          {Json(nav.accepted_numbers().front())})
                  .size(),
              1u);

    // The next submission is lost before the authority (its front answers 503 and carries nothing
    // out) and the program is killed: the installation that starts again settles it as never arrived
    // one request time and a margin after its request left, whatever its shared record's update took.
    core.reset();
    // Long enough requests that the two rules stand well apart (one request time and a margin against
    // two and a margin) however busy the machine is.
    ScopedEnv longer_requests("TAVRIN_NAV_REQUEST_SECONDS", "12");
    nav.fail_next("manageInvoice", NavQueryFault::unavailable);
    const std::size_t asked_before = nav.calls().size();
    const auto [lost_pid, lost_output] = start_child(folder, 6, "report");
    ASSERT_GT(lost_pid, 0);
    ASSERT_TRUE(nav.wait_for_requests(asked_before + 2, std::chrono::seconds(30)));
    const auto left = std::chrono::steady_clock::now();
    ASSERT_TRUE(killed(lost_pid, lost_output));
    core = open_account(folder);
    EXPECT_EQ(settle_within(*core, std::chrono::seconds(45)).result, NavSettled::Result::dropped);
    const auto settled_after = std::chrono::steady_clock::now() - left;
    EXPECT_GE(settled_after, std::chrono::seconds(12)) << "dropped within its request's time";
    EXPECT_LT(settled_after, std::chrono::seconds(24)) << "judged by its shared record's moment";
    EXPECT_EQ(nav.accepted_numbers().size(), 1u);
}

}  // namespace
