// The navigation's background work: the sync pass, the invoices' status query and the web shop's
// order import run on the thread pool and come back to the UI thread; the list is written at once, so
// a remote service that does not answer never holds the window up. And the account switch, which waits
// for that work before it closes the database.
#include "app/MainWindow.h"
#include "app/ReportSnapshot.h"
#include "app/editor/DocumentPage.h"

#include "core/Core.h"
#include "ui/ContentDialog.h"

#include <algorithm>
#include <utility>

using json11::Json;

namespace Tavrin {

namespace {

// Waits until a document window whose close was held by its guard has either gone (the user let the
// document go) or stayed with no question open any more (the user kept it).
ui::Action watch_document_close(QPointer<ui::Window> window, ui::AsyncOperation<bool> result) {
    int quiet = 0;
    while (window && window->isVisible()) {
        // The guard's answer closes the window a few queued steps after its dialog has gone.
        if (ui::ContentDialog::Current())
            quiet = 0;
        else if (++quiet > 8)
            break;
        co_await ui::Delay(25);
    }
    result.Complete(!window || !window->isVisible());
}

DocumentPage* document_page(ui::Window* window) {
    return window ? qobject_cast<DocumentPage*>(window->Content()) : nullptr;
}

}  // namespace

// --- background work ------------------------------------------------------------------------------------

void MainWindow::StartWork(Work kind) {
    if (!g_core || switching_account_) return;
    bool& running = work_running_[static_cast<std::size_t>(kind)];
    if (running) {
        // The pass under way may have started before the latest change: one more follows it.
        if (kind == Work::sync) sync_again_ = true;
        return;
    }
    running = true;
    ShowBusy();
    const ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    const QPointer<MainWindow> window(this);
    switch (kind) {
    case Work::sync:
        ui::ThreadPool::RunAsync([queue, window] {
            // A pass that brought changes of the cloud shows them in the list at once.
            auto changed = std::make_shared<bool>(false);
            ui::PostOnce end(queue, [window, changed] {
                if (window) window->WorkEnded(Work::sync, *changed);
            });
            Core* core = g_core;
            if (!core) return;
            *changed = core->sync_start([](Json) {}).cloud_changed;
        });
        break;
    case Work::status:
        ui::ThreadPool::RunAsync([queue, window] { QueryNavStatus(queue, window); });
        break;
    case Work::orders:
        ui::ThreadPool::RunAsync([queue, window] { ImportWebshopOrders(queue, window); });
        break;
    case Work::report:
        ui::ThreadPool::RunAsync([queue, window] { SettleWaitingReport(queue, window); });
        break;
    }
}

void MainWindow::StartSectionWork() {
    const std::string section = ui::Name(navigationView->SelectedItem());
    if (section == "INVOICE")
        StartWork(Work::status);
    else if (section == "WEBSHOP_ORDER")
        StartWork(Work::orders);
}

void MainWindow::QueryNavStatus(ui::DispatcherQueue queue, QPointer<MainWindow> window) {
    auto changed = std::make_shared<bool>(false);
    ui::PostOnce end(std::move(queue), [window, changed] {
        if (window) window->WorkEnded(Work::status, *changed);
    });
    Core* core = g_core;
    if (!core) return;
    // A report left without an answer (the program ended, the reply lost) is settled first, also
    // one another installation of the company left in the cloud.
    const NavSettled settled = core->nav_settle_report(true);
    core->nav_query_transaction_status([&end, changed, &settled](bool ok) {
        *changed = ok || settled.result == NavSettled::Result::stored;
        end.post();
    });
}

void MainWindow::ImportWebshopOrders(ui::DispatcherQueue queue, QPointer<MainWindow> window) {
    auto changed = std::make_shared<bool>(false);
    ui::PostOnce end(std::move(queue), [window, changed] {
        if (window) window->WorkEnded(Work::orders, *changed);
    });
    Core* core = g_core;
    if (!core) return;
    core->import_webshop_orders([&end, changed](bool ok) {
        *changed = ok;
        end.post();
    });
}

void MainWindow::SettleWaitingReport(ui::DispatcherQueue queue, QPointer<MainWindow> window) {
    auto stored = std::make_shared<bool>(false);
    ui::PostOnce end(std::move(queue), [window, stored] {
        if (window) window->WorkEnded(Work::report, *stored);
    });
    if (Core* core = g_core) *stored = core->nav_settle_report(true).result == NavSettled::Result::stored;
}

void MainWindow::OnReportPace() {
    if (!g_core || switching_account_ || navigationView->isHidden()) return;
    // Whether a report waits is known once the read has come back.
    pace_due_ = true;
    ReadReportSnapshot(false);
}

void MainWindow::ReadReportSnapshot(bool read_shared) {
    if (!g_core || switching_account_) return;
    if (snapshot_reading_) {
        snapshot_again_ = true;
        snapshot_again_shared_ = snapshot_again_shared_ || read_shared;
        return;
    }
    snapshot_reading_ = true;
    ReportSnapshotRequest request;
    request.account = g_core->current_account;
    if (const DocumentPage* page = document_page(document_window); page && !page->save_in_flight)
        request.page_request_id = page->pending_request_id;
    request.read_shared = read_shared;
    if (report_snapshot_ && report_snapshot_->account == request.account) request.elsewhere_known = report_snapshot_->elsewhere;
    // Taken only when they can be told now; else they stay in the store for a later read.
    request.take_notices = !ui::ContentDialog::Current();
    const ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    const QPointer<MainWindow> window(this);
    ui::ThreadPool::RunAsync([queue, window, request] {
        auto snapshot = std::make_shared<ReportSnapshot>();
        // Back whatever happens, so that the next read is never held up.
        ui::PostOnce back(queue, [window, snapshot] {
            if (window) window->TakeReportSnapshot(snapshot);
        });
        if (Core* core = g_core) *snapshot = read_report_snapshot(*core, request);
    });
}

void MainWindow::TakeReportSnapshot(std::shared_ptr<const ReportSnapshot> snapshot) {
    snapshot_reading_ = false;
    // What it took from the store is the current account's (a switch waits for this read): told now,
    // or, once the switch has begun, put back before its database closes.
    if (g_core && snapshot->account == g_core->current_account) {
        const auto keep = [](json11::Json::array& untold, const json11::Json& taken) {
            untold.insert(untold.end(), taken.array_items().begin(), taken.array_items().end());
        };
        untold_drafts_.insert(untold_drafts_.end(), snapshot->kept_drafts.begin(), snapshot->kept_drafts.end());
        keep(untold_renumbered_, snapshot->renumbered);
        keep(untold_set_aside_, snapshot->set_aside);
        untold_sync_.add(snapshot->sync_notices);
    }
    if (g_core && !switching_account_ && snapshot->account == g_core->current_account) {
        report_snapshot_ = snapshot;
        ShowReportOutcomes();
        // A save settles its own wait; the pace only takes up a report nobody is waiting on.
        const DocumentPage* page = document_page(document_window);
        if (pace_due_ && snapshot->pending && !(page && page->save_in_flight) && snapshot->account != "DEMO")
            StartWork(Work::report);
    }
    pace_due_ = false;
    if (snapshot_again_) {
        const bool read_shared = snapshot_again_shared_;
        snapshot_again_ = false;
        snapshot_again_shared_ = false;
        ReadReportSnapshot(read_shared);
    }
}

void MainWindow::WorkEnded(Work kind, bool refresh) {
    work_running_[static_cast<std::size_t>(kind)] = false;
    // Accounting uploads that an earlier run could not finish go now (at start and at each visit).
    if (kind == Work::status && g_core && !switching_account_ && g_core->current_account != "DEMO")
        DocumentPage::RetryAccountingUploads(QPointer<QWidget>(this));
    if (refresh && g_core && !switching_account_) RefreshListOffThread();
    // A pass or a settled report may have renumbered, changed or deleted what a tab shows.
    if (g_core && !switching_account_) FollowDocumentTabs();
    if (kind == Work::sync && sync_again_) {
        sync_again_ = false;
        StartWork(Work::sync);
    }
    // After a pass or a settling the company's shared record may have changed too.
    ReadReportSnapshot(kind != Work::orders);
    ShowBusy();
}

void MainWindow::ShowReportOutcomes() {
    if (!report_snapshot_) return;
    const ReportSnapshot& snapshot = *report_snapshot_;
    if (reportNotice) {
        reportNotice->Text(ui::qs(snapshot.notice));
        reportNotice->setVisible(!snapshot.notice.empty());
    }
    // The page's own save goes once the background's passes are done, so that it finds the
    // cloud as they left it.
    const bool idle = std::none_of(work_running_.begin(), work_running_.end(), [](bool running) { return running; });
    if (DocumentPage* page = document_page(document_window); page && idle) page->LearnReportOutcome(snapshot);
    ShowKeptDrafts();
    ShowRenumberedDocuments();
    ShowSetAsideRecords();
    ShowSyncNotices();
}

void MainWindow::ShowBusy() {
    // While the navigation is hidden the cloud set-up owns the indicator.
    if (navigationView->isHidden()) return;
    const bool busy = work_running_[0] || work_running_[1] || work_running_[2];
    busyIndicator->IsActive(busy);
}

// --- account switch -------------------------------------------------------------------------------------

ui::AsyncOperation<bool> MainWindow::CloseDocumentWindow() {
    ui::AsyncOperation<bool> result;
    QPointer<ui::Window> window = document_window;
    if (!window || !window->isVisible() || window->Close()) {
        result.Complete(true);
        return result;
    }
    // Its close guard holds the window (an unsaved document): the answer decides.
    watch_document_close(window, result);
    return result;
}

ui::Action MainWindow::SwitchAccount(std::string id) {
    if (!g_core || switching_account_) co_return;
    QPointer<MainWindow> self(this);
    switching_account_ = true;
    sync_again_ = false;

    // An edited document is not dropped without asking; kept, it keeps its account open.
    const bool document_gone = co_await CloseDocumentWindow();
    if (!self) co_return;
    if (!document_gone || !g_core) {
        switching_account_ = false;
        if (last_choice_) navigationView->SelectedItem(last_choice_);
        co_return;
    }

    // The record tabs belong to the old account, and so does the list's filter (its payment method
    // is one of the old account's).
    for (int i = tabView->Size() - 1; i >= 0 && tabView->Size() > 1; --i)
        if (ui::Name(tabView->GetAt(i)) != "homeTabItem") tabView->RemoveAt(i);
    list_filter = fresh_list_filter(one_year_back());

    // Work of the old account ends before its database closes; the window stays responsive meanwhile.
    ui::SetVisibility(navigationView, ui::Visibility::Collapsed);
    busyIndicator->IsActive(true);
    FollowListCover();
    set_network_cancelled(true);
    // A read of the notices under way comes back too: what it took is not lost with the old account.
    while (ui::ThreadPool::ActiveCount() > 0 || snapshot_reading_) {
        co_await ui::Delay(25);
        if (!self) {
            set_network_cancelled(false);
            co_return;
        }
    }
    set_network_cancelled(false);
    if (!g_core) co_return;
    // Notices taken and not told yet are the old account's: back into its store, for its next look.
    Core::UntoldNotices untold;
    untold.kept_drafts = std::exchange(untold_drafts_, {});
    untold.renumbered = std::exchange(untold_renumbered_, {});
    untold.set_aside = std::exchange(untold_set_aside_, {});
    untold.sync = std::exchange(untold_sync_, {});
    if (!untold.empty()) {
        const ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
        co_await ui::resume_background();
        if (Core* core = g_core) core->put_back_untold(untold);
        co_await ui::resume_foreground(queue);
        if (!self || !g_core) co_return;
    }
    switching_account_ = false;
    g_core->close_database();
    g_core->current_account = id;
    // The cloud set-up opens the new account's database and shows its first list.
    SetupWebView();
}

}  // namespace Tavrin
