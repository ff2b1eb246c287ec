// The platform layer: coroutines and threads, events, dialogs, the navigation view, the web view
// with its message bridge, locale data and the process seams.
#include "tests/test_support.h"
#include "tests/ui/ui_test_support.h"

#include "ui/Action.h"
#include "ui/Application.h"
#include "ui/ContentDialog.h"
#include "ui/Controls.h"
#include "ui/Launcher.h"
#include "ui/Locale.h"
#include "ui/Threading.h"
#include "ui/WebView2.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <cstdio>
#include <csignal>
#include <semaphore>
#include <thread>

using uitest::result_of;
using uitest::script;
using uitest::wait_for_script;
using uitest::wait_until;

namespace {

struct Resumed {
    int value = 0;
    bool done = false;
    QThread* thread = nullptr;
};

// Coroutines of the tests are free functions taking their arguments by value.
ui::Action await_value(ui::AsyncOperation<int> op, Resumed* out) {
    out->value = co_await op;
    out->thread = QThread::currentThread();
    out->done = true;
}

ui::Action hop_threads(ui::DispatcherQueue queue, QThread** background, QThread** foreground, bool* done) {
    co_await ui::resume_background();
    *background = QThread::currentThread();
    co_await ui::resume_foreground(queue);
    *foreground = QThread::currentThread();
    *done = true;
}

ui::Action fail_after_await(ui::AsyncOperation<int> op, bool* reached) {
    co_await op;
    *reached = true;
    throw std::runtime_error("dropped");
}

ui::Action show_and_record(ui::ContentDialog* dialog, ui::ContentDialogResult* result, bool* done) {
    *result = co_await dialog->ShowAsync();
    *done = true;
}

std::string command_output(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

}  // namespace

TEST(Coroutines, ResumeOnTheUiThreadOnlyAfterTheCompletingCallHasReturned) {
    QThread* ui_thread = QApplication::instance()->thread();

    // Completed inside a signal emission: the coroutine goes on later, not within the emission.
    ui::AsyncOperation<int> op;
    Resumed first;
    await_value(op, &first);
    EXPECT_FALSE(first.done);
    QTimer timer;
    timer.setSingleShot(true);
    bool resumed_inside_emission = true;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        op.Complete(5);
        op.Complete(6);  // a second completion is ignored
        resumed_inside_emission = first.done;
    });
    timer.start(0);
    ASSERT_TRUE(wait_until([&] { return first.done; }));
    EXPECT_FALSE(resumed_inside_emission);
    EXPECT_EQ(first.value, 5);
    EXPECT_EQ(first.thread, ui_thread);

    // Completed on a pool thread: resumed on the UI thread.
    ui::AsyncOperation<int> from_worker;
    Resumed second;
    await_value(from_worker, &second);
    ui::ThreadPool::RunAsync([from_worker] { from_worker.Complete(7); });
    ASSERT_TRUE(wait_until([&] { return second.done; }));
    EXPECT_EQ(second.value, 7);
    EXPECT_EQ(second.thread, ui_thread);

    // Already finished: no suspension at all.
    Resumed third;
    await_value(ui::AsyncOperation<int>::Completed(9), &third);
    EXPECT_TRUE(third.done);
    EXPECT_EQ(third.value, 9);

    // To a pool thread and back.
    QThread* background = nullptr;
    QThread* foreground = nullptr;
    bool hopped = false;
    hop_threads(ui::DispatcherQueue::GetForCurrentThread(), &background, &foreground, &hopped);
    ASSERT_TRUE(wait_until([&] { return hopped; }));
    EXPECT_NE(background, ui_thread);
    EXPECT_EQ(foreground, ui_thread);

    // An error in an action that nobody awaits ends that action only.
    ui::AsyncOperation<int> failing;
    bool reached = false;
    fail_after_await(failing, &reached);
    failing.Complete(1);
    EXPECT_TRUE(wait_until([&] { return reached; }));
    ui::AsyncOperation<int> refused;
    Resumed fourth;
    await_value(refused, &fourth);
    refused.Fail(std::make_exception_ptr(std::runtime_error("refused")));
    QCoreApplication::processEvents();
    EXPECT_TRUE(refused.IsDone());
    EXPECT_FALSE(fourth.done);
    EXPECT_THROW(refused.GetResults(), std::runtime_error);
}

TEST(Threads, QueuesAndThePoolGate) {
    ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    ASSERT_TRUE(static_cast<bool>(queue));

    // A pool thread has no queue of its own; what it posts to the UI queue runs there, in order.
    std::atomic<bool> worker_queue_null{false};
    std::vector<int> order;
    std::vector<QThread*> threads;
    ui::ThreadPool::RunAsync([queue, &worker_queue_null, &order, &threads] {
        worker_queue_null = !ui::DispatcherQueue::GetForCurrentThread();
        for (int i = 0; i < 3; ++i)
            queue.TryEnqueue(ui::DispatcherQueuePriority::Normal, [i, &order, &threads] {
                order.push_back(i);
                threads.push_back(QThread::currentThread());
            });
    });
    ASSERT_TRUE(wait_until([&] { return order.size() == 3; }));
    EXPECT_TRUE(worker_queue_null);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    for (QThread* t : threads) EXPECT_EQ(t, QApplication::instance()->thread());
    EXPECT_FALSE(ui::DispatcherQueue().TryEnqueue([] {}));

    // WaitForIdle returns only when every started work item has ended.
    std::counting_semaphore<8> gate(0);
    std::atomic<int> finished{0};
    for (int i = 0; i < 4; ++i)
        ui::ThreadPool::RunAsync([&] {
            gate.acquire();
            ++finished;
        });
    std::thread opener([&] { gate.release(4); });
    ui::ThreadPool::WaitForIdle();
    EXPECT_EQ(finished.load(), 4);
    opener.join();

    // An exception in a work item does not take the pool down.
    ui::ThreadPool::RunAsync([] { throw std::runtime_error("work item failure"); });
    std::atomic<bool> later{false};
    ui::ThreadPool::RunAsync([&] { later = true; });
    ui::ThreadPool::WaitForIdle();
    EXPECT_TRUE(later);
}

TEST(Events, HandlersOfAGoneContextAndRemovedHandlersAreNotCalled) {
    ui::Event<int> event;
    std::vector<std::string> calls;
    auto* context = new QObject;
    event.Add(context, [&](int v) { calls.push_back("context " + std::to_string(v)); });
    ui::EventToken plain = event.Add([&](int v) { calls.push_back("plain " + std::to_string(v)); });
    event.Invoke(1);
    delete context;
    event.Invoke(2);
    event.Remove(plain);
    event.Invoke(3);
    EXPECT_EQ(calls, (std::vector<std::string>{"context 1", "plain 1", "plain 2"}));

    // A handler that removes a later one during the call: the later one is not called.
    ui::Event<> chain;
    int second_calls = 0;
    ui::EventToken second = 0;
    chain.Add([&] { chain.Remove(second); });
    second = chain.Add([&] { ++second_calls; });
    chain.Invoke();
    EXPECT_EQ(second_calls, 0);
}

TEST(ContentDialog, AnswersOneDialogAtATime) {
    ui::Window owner;
    owner.resize(400, 300);
    owner.Activate();
    std::vector<QString> seen;
    ui::ContentDialog::SetResponder([&](ui::ContentDialog& dialog) -> std::optional<ui::ContentDialogResult> {
        seen.push_back(dialog.Title() + "|" + dialog.ContentText() + "|" + dialog.PrimaryButtonText());
        return ui::ContentDialogResult::Primary;
    });

    auto* dialog = new ui::ContentDialog(&owner);
    dialog->XamlRoot(&owner);
    dialog->Title("Title");
    dialog->Content("one\ntwo\n");
    dialog->PrimaryButtonText("OK");
    dialog->DefaultButton(ui::ContentDialogButton::Primary);
    int closed = 0;
    dialog->Closed.Add([&](ui::ContentDialog*, ui::ContentDialogClosedEventArgs args) {
        ++closed;
        EXPECT_EQ(args.Result(), ui::ContentDialogResult::Primary);
    });
    ui::ContentDialogResult result = ui::ContentDialogResult::None;
    bool done = false;
    show_and_record(dialog, &result, &done);
    EXPECT_TRUE(dialog->isModal() || dialog->windowModality() == Qt::WindowModal);

    // A second dialog while the first is open fails at once.
    ui::ContentDialog other(&owner);
    ui::AsyncOperation<ui::ContentDialogResult> refused = other.ShowAsync();
    EXPECT_TRUE(refused.IsDone());
    EXPECT_THROW(refused.GetResults(), std::runtime_error);

    ASSERT_TRUE(wait_until([&] { return done; }));
    EXPECT_EQ(result, ui::ContentDialogResult::Primary);
    EXPECT_EQ(closed, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], "Title|one\ntwo\n|OK");
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(ui::ContentDialog::Current(), nullptr);

    // Without an answer from the responder the dialog stays open; Escape closes it with None.
    ui::ContentDialog::SetResponder([](ui::ContentDialog&) { return std::optional<ui::ContentDialogResult>(); });
    ui::ContentDialog escaped(&owner);
    escaped.PrimaryButtonText("Go");
    ui::AsyncOperation<ui::ContentDialogResult> shown = escaped.ShowAsync();
    QCoreApplication::processEvents();
    EXPECT_FALSE(shown.IsDone());
    EXPECT_EQ(ui::ContentDialog::Current(), &escaped);
    // A result that replaces the progress text while the dialog is open is shown whole, wrapped
    // inside the screen and above the buttons; a refused primary press keeps the dialog open.
    QString reason;
    escaped.PrimaryCheck([&reason] { return reason; });
    escaped.Content(QString("Sikeres mentés és szinkronizálás! ").repeated(12) + "Vége.");
    QCoreApplication::processEvents();
    const QRect room = escaped.screen()->availableGeometry();
    EXPECT_TRUE(room.contains(escaped.geometry())) << escaped.width() << "x" << escaped.height();
    QLabel* text = nullptr;
    for (QLabel* label : escaped.findChildren<QLabel*>())
        if (label->text().endsWith("Vége.")) text = label;
    ASSERT_NE(text, nullptr);
    auto* buttons = escaped.findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    EXPECT_GE(text->height(), text->heightForWidth(text->width()));
    EXPECT_LE(text->mapTo(&escaped, QPoint(0, text->height())).y(), buttons->mapTo(&escaped, QPoint(0, 0)).y());
    EXPECT_LE(text->mapTo(&escaped, QPoint(text->width(), 0)).x(), escaped.width());
    reason = "Nem menthető.";
    escaped.Answer(ui::ContentDialogResult::Primary);
    QCoreApplication::processEvents();
    EXPECT_FALSE(shown.IsDone());
    EXPECT_EQ(escaped.ErrorText(), reason);
    QTest::keyClick(&escaped, Qt::Key_Escape);
    EXPECT_EQ(result_of(shown), ui::ContentDialogResult::None);
    ui::ContentDialog::SetResponder(nullptr);
}

TEST(NavigationView, SelectionChangesRaiseOneEventEach) {
    ui::Window window;
    auto* nav = new ui::NavigationView;
    window.Content(nav);
    window.Activate();
    std::vector<ui::NavigationViewItem*> items;
    for (const char* name : {"A", "B", "C", "D"}) {
        auto* item = new ui::NavigationViewItem;
        item->setObjectName(name);
        item->Content(QString(name) + " label");
        nav->MenuItems().Append(item);
        items.push_back(item);
    }
    auto* accounts = new ui::NavigationViewItem;
    accounts->SelectsOnInvoked(false);
    nav->FooterMenuItems().Append(accounts);
    auto* sub = new ui::NavigationViewItem;
    sub->Content("Other company");
    sub->Tag(QString("ID-2"));
    accounts->MenuItems().Append(sub);

    std::vector<std::string> events;
    nav->SelectionChanged.Add([&](ui::NavigationView*, ui::NavigationViewSelectionChangedEventArgs args) {
        events.push_back(args.IsSettingsSelected() ? "settings" : args.SelectedItem() ? ui::Name(args.SelectedItem()) + "|" + ui::TagText(args.SelectedItem()->Tag()) : "none");
    });

    nav->SelectedItem(nav->MenuItems().GetAt(3));
    nav->SelectedItem(items[3]);  // unchanged: no event
    nav->SelectedItem(nav->SettingsItem());
    EXPECT_EQ(events, (std::vector<std::string>{"D|", "settings"}));

    // The user picks an entry in the pane.
    QTreeWidget* pane = nav->Pane();
    ASSERT_TRUE(wait_until([&] { return pane->topLevelItemCount() == 6; }));
    pane->setCurrentItem(pane->topLevelItem(1));
    EXPECT_EQ(events.back(), "B|");
    EXPECT_EQ(nav->SelectedItem(), items[1]);

    // An entry that only holds sub-entries opens them and is never selected.
    const std::size_t before = events.size();
    pane->setCurrentItem(pane->topLevelItem(4));
    EXPECT_EQ(events.size(), before);
    ASSERT_TRUE(wait_until([&] { return pane->topLevelItem(4) && pane->topLevelItem(4)->isExpanded(); }));
    EXPECT_EQ(nav->SelectedItem(), items[1]);
    pane->setCurrentItem(pane->topLevelItem(4)->child(0));
    EXPECT_EQ(events.back(), "|ID-2");

    // Clearing the sub-entries drops the selection without an event; Collapse closes the entry.
    const std::size_t count = events.size();
    accounts->MenuItems().Clear();
    EXPECT_EQ(nav->SelectedItem(), nullptr);
    EXPECT_EQ(events.size(), count);
    nav->Collapse(accounts);
    ASSERT_TRUE(wait_until([&] { return pane->topLevelItem(4) && pane->topLevelItem(4)->childCount() == 0; }));
    EXPECT_FALSE(pane->topLevelItem(4)->isExpanded());
    EXPECT_EQ(pane->currentItem(), nullptr);

    ui::SetVisibility(nav, ui::Visibility::Collapsed);
    EXPECT_EQ(ui::GetVisibility(nav), ui::Visibility::Collapsed);
}

TEST(WebView2, PagesScriptsAndTheMessageBridge) {
    ui::Window window;
    auto* view = new ui::WebView2;
    window.Content(view);
    window.resize(800, 600);

    std::vector<std::string> messages;
    int completed = 0;
    view->WebMessageReceived.Add([&](ui::WebView2*, ui::WebMessageReceivedEventArgs args) {
        messages.push_back(args.WebMessageAsJson().toStdString());
    });
    view->NavigationCompleted.Add([&](ui::WebView2*, ui::NavigationCompletedEventArgs args) {
        EXPECT_TRUE(args.IsSuccess());
        ++completed;
    });
    int loaded = 0;
    view->Loaded.Add([&](QObject*) { ++loaded; });
    window.Activate();
    ASSERT_TRUE(wait_until([&] { return loaded == 1; }));

    // A script given before the view is prepared waits for the first document; the preparation is
    // not a navigation.
    EXPECT_FALSE(view->IsLoaded());
    ui::AsyncOperation<QString> early = view->ExecuteScriptAsync("1 + 1");
    EXPECT_EQ(result_of(early).toStdString(), "2");
    EXPECT_TRUE(view->IsLoaded());
    EXPECT_EQ(completed, 0);

    view->NavigateToString(QString::fromUtf8(
        "<html><body><p id='p'>Árvíztűrő</p><script>"
        "window.chrome.webview.postMessage({action: 'hello', n: 1});"
        "window.chrome.webview.postMessage('a \"quoted\" text');"
        "window.chrome.webview.addEventListener('message', function (e) {"
        "  window.chrome.webview.postMessage({echo: e.data}); });"
        "</script></body></html>"));
    ASSERT_TRUE(wait_until([&] { return completed == 1 && messages.size() == 2; }));
    EXPECT_EQ(messages[0], R"({"action":"hello","n":1})");
    EXPECT_EQ(messages[1], R"("a \"quoted\" text")");
    EXPECT_EQ(script(view, "document.getElementById('p').textContent"), "\"Árvíztűrő\"");
    EXPECT_EQ(script(view, "({a: [1, 'x'], b: null})"), R"({"a":[1,"x"],"b":null})");
    EXPECT_EQ(script(view, "undefined"), "null");

    view->PostWebMessageAsJson(R"({"k":"v"})");
    ASSERT_TRUE(wait_until([&] { return messages.size() == 3; }));
    EXPECT_EQ(messages[2], R"({"echo":{"k":"v"}})");

    // Replacing the document with document.write keeps the bridge and is not a navigation.
    view->ExecuteScriptAsync(
        "document.body.innerHTML = '';document.write(`<table><tr><td>1</td></tr><tr><td>2</td></tr></table>"
        "<script>window.chrome.webview.postMessage('written');</script>`);");
    ASSERT_TRUE(wait_until([&] { return messages.size() == 4; }));
    EXPECT_EQ(messages[3], "\"written\"");
    EXPECT_EQ(script(view, "document.querySelectorAll('tr').length"), "2");
    EXPECT_EQ(completed, 1);

    // Pages far above 2 MB load whole.
    QString big = "<html><body>";
    const QString row = "<div class='r'>" + QString(1000, 'x') + "</div>";
    for (int i = 0; i < 2500; ++i) big += row;
    big += "</body></html>";
    view->NavigateToString(big);
    ASSERT_TRUE(wait_until([&] { return completed == 2; }));
    EXPECT_EQ(script(view, "document.querySelectorAll('.r').length"), "2500");

    // A script waiting for the first document runs in the page given right after it, not in the
    // empty document that page replaced.
    auto* fresh = new ui::WebView2;
    window.Content(fresh);
    ui::AsyncOperation<QString> waiting = fresh->ExecuteScriptAsync("document.getElementById('m') ? 'page' : 'empty'");
    fresh->NavigateToString("<html><body><p id='m'>m</p></body></html>");
    EXPECT_EQ(result_of(waiting).toStdString(), "\"page\"");
}

TEST(WebView2, NewWindowsGoIntoTheGivenViewAndPagesPrintToPdf) {
    TempDir dir;
    ui::Window window;
    auto* panel = new ui::Panel(ui::Panel::Orientation::Horizontal);
    auto* opener = new ui::WebView2;
    auto* popup = new ui::WebView2;
    panel->Append(opener, 1);
    panel->Append(popup, 1);
    window.Content(panel);
    window.resize(1000, 600);
    window.Activate();
    opener->NewWindowRequested.Add([&](ui::WebView2*, ui::NewWindowRequestedEventArgs& args) {
        args.NewWindow(popup);
        args.Handled(true);
    });
    result_of(opener->EnsureCoreWebView2Async());
    result_of(popup->EnsureCoreWebView2Async());
    const int windows_before = QApplication::topLevelWidgets().size();

    std::vector<std::string> messages;
    opener->WebMessageReceived.Add([&](ui::WebView2*, ui::WebMessageReceivedEventArgs args) {
        messages.push_back(args.WebMessageAsJson().toStdString());
    });
    // The opened window talks back to its opener, as the cloud sign-in window does.
    opener->NavigateToString(
        "<html><body><script>"
        "window.addEventListener('message', function (e) { window.chrome.webview.postMessage(e.data.ckSession); });"
        "var w = window.open('');"
        "w.document.body.innerHTML = '<p id=\"inside\">opened</p>';"
        "w.opener.postMessage({ckSession: 'tok'}, '*');"
        "window.chrome.webview.addEventListener('message', function () { w.location.href = 'tavrin://view/0/0'; });"
        "</script></body></html>");
    ASSERT_TRUE(wait_until([&] { return messages.size() == 1; }));
    EXPECT_EQ(messages[0], "\"tok\"");
    EXPECT_EQ(wait_for_script(popup, "document.getElementById('inside') ? document.getElementById('inside').textContent : ''",
                              "\"opened\""),
              "\"opened\"");
    EXPECT_EQ(QApplication::topLevelWidgets().size(), windows_before);
    // Once the opened window navigates, the view that holds it is shown again.
    int popup_navigations = 0;
    popup->NavigationCompleted.Add([&](ui::WebView2*, ui::NavigationCompletedEventArgs) { ++popup_navigations; });
    opener->PostWebMessageAsJson("1");
    ASSERT_TRUE(wait_until([&] { return popup_navigations == 1; }));
    EXPECT_TRUE(popup->isVisible());

    // Printing: the page layout in inches, written where asked.
    opener->NavigateToString("<html><body><h1>Számla</h1></body></html>");
    wait_for_script(opener, "document.querySelector('h1') ? 1 : 0", "1");
    ui::PrintSettings settings;
    settings.MarginTop = settings.MarginBottom = settings.MarginLeft = settings.MarginRight = 0;
    settings.PageWidth = 8.3;
    settings.PageHeight = 11.7;
    const std::string path = dir.path() + "page.pdf";
    EXPECT_TRUE(result_of(opener->PrintToPdfAsync(QString::fromStdString(path), settings)));
    const std::string pdf = read_file(path);
    ASSERT_GE(pdf.size(), 5u);
    EXPECT_EQ(pdf.substr(0, 5), "%PDF-");
    // 8.3 x 11.7 inches are 597.6 x 842.4 points (the engine keeps them to within a point).
    const std::string info = command_output("pdfinfo '" + path + "'");
    double width = 0, height = 0;
    const std::size_t at = info.find("Page size:");
    ASSERT_NE(at, std::string::npos) << info;
    ASSERT_EQ(std::sscanf(info.c_str() + at, "Page size: %lf x %lf", &width, &height), 2) << info;
    EXPECT_NEAR(width, 597.6, 1.0);
    EXPECT_NEAR(height, 842.4, 1.0);

    // A view that goes while it prints leaves its print to end: the destructor waits for nothing, and
    // the file is written whole.
    const std::string left = dir.path() + "left.pdf";
    ui::AsyncOperation<bool> printing = opener->PrintToPdfAsync(QString::fromStdString(left), settings);
    ui::AsyncAction ended = opener->PrintsEnded();
    delete opener;
    EXPECT_TRUE(ended.IsDone());
    EXPECT_TRUE(printing.IsDone());
    // Looked at a few times a second: a process started every few milliseconds slows the engine down.
    ASSERT_TRUE(wait_until([&] { return command_output("pdfinfo '" + left + "' 2>/dev/null").find("Pages:") != std::string::npos; },
                           uitest::kEngineLimitMs, 250));
}

TEST(LocaleData, NamesRegionAndColours) {
    const ui::LocaleData hungarian(QLocale(QLocale::Hungarian, QLocale::Hungary));
    for (int m = 1; m <= 12; ++m) EXPECT_FALSE(hungarian.MonthName(m).empty()) << m;
    EXPECT_EQ(hungarian.FirstDayOfWeek(), 0);
    EXPECT_EQ(hungarian.CountryCode(), "HU");
    EXPECT_EQ(hungarian.CurrencyCode(), "HUF");
    EXPECT_NE(hungarian.WeekdayName(0), hungarian.WeekdayName(1));

    const ui::LocaleData american(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(american.MonthName(1), "Jan");
    EXPECT_EQ(american.MonthName(12), "Dec");
    EXPECT_EQ(american.WeekdayName(0), "Sun");
    EXPECT_EQ(american.WeekdayName(6), "Sat");
    EXPECT_EQ(american.FirstDayOfWeek(), 6);
    EXPECT_EQ(american.CountryCode(), "US");
    EXPECT_EQ(american.CurrencyCode(), "USD");

    QPalette palette;
    palette.setColor(QPalette::Active, QPalette::Highlight, QColor(0, 120, 215));
    EXPECT_EQ(ui::LocaleData::AccentColor(palette), "0,120,215");
    palette.setColor(QPalette::Active, QPalette::Highlight, QColor(0, 0, 0));
    EXPECT_EQ(ui::LocaleData::AccentColor(palette), "0,0,0");
}

TEST(ProcessSeams, LauncherExitAndTerminationSignals) {
    std::vector<QString> launched;
    ui::Launcher::SetRecorder([&](const QString& path) {
        launched.push_back(path);
        return path.endsWith(".msi");
    });
    EXPECT_TRUE(ui::Launcher::LaunchFile("/data/update.msi"));
    EXPECT_FALSE(ui::Launcher::LaunchFile("/data/other"));
    EXPECT_EQ(launched.size(), 2u);
    ui::Launcher::SetRecorder(nullptr);

    std::vector<int> exits;
    ui::SetExitRecorder([&](int code) { exits.push_back(code); });
    ui::ExitProcess(0);
    EXPECT_EQ(exits, std::vector<int>{0});
    ui::SetExitRecorder(nullptr);

    // SIGTERM and SIGINT reach the handler on the UI thread, after the signal handler has returned.
    std::vector<QThread*> calls;
    ui::Application::OnTerminationRequested([&] { calls.push_back(QThread::currentThread()); });
    std::raise(SIGTERM);
    ASSERT_TRUE(wait_until([&] { return calls.size() == 1; }));
    std::raise(SIGINT);
    ASSERT_TRUE(wait_until([&] { return calls.size() == 2; }));
    for (QThread* t : calls) EXPECT_EQ(t, QApplication::instance()->thread());
    ui::Application::OnTerminationRequested(nullptr);
}
