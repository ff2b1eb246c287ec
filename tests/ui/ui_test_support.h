// Helpers of the user-interface tests: waiting on the event loop for a condition or a result,
// always with a time limit.
#pragma once

#include "ui/Action.h"
#include "ui/WebView2.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

namespace uitest {

#ifdef TAVRIN_TEST_SANITIZED
constexpr int kLimitMs = 60000;
#else
constexpr int kLimitMs = 20000;
#endif
// The browser engine's own work (a print, a PDF drawn in its viewer) on a machine under load.
constexpr int kEngineLimitMs = 180000;

// Runs the event loop until `condition` holds (looked at every `poll_ms`); false when the limit passed
// first. A real event loop: QTest::qWaitFor sleeps between its rounds, which slows the browser engine
// down tenfold.
inline bool wait_until(const std::function<bool()>& condition, int limit_ms = kLimitMs, int poll_ms = 2) {
    if (condition()) return true;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(poll_ms);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition()) loop.quit();
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start();
    limit.start(limit_ms);
    loop.exec();
    return condition();
}

// The result of an operation, once it has finished (the test fails when it does not in time).
template <class T>
T result_of(const ui::AsyncOperation<T>& op, int limit_ms = kLimitMs) {
    if (!wait_until([&] { return op.IsDone(); }, limit_ms)) {
        ADD_FAILURE() << "the operation did not finish in time";
        return T();
    }
    return op.GetResults();
}

// A script's value as JSON text.
inline std::string script(ui::WebView2* view, const QString& js) {
    return result_of(view->ExecuteScriptAsync(js)).toStdString();
}

// Waits until the script's value (JSON text) equals `expected`; gives the last value seen.
inline std::string wait_for_script(ui::WebView2* view, const QString& js, const std::string& expected,
                                   int limit_ms = kLimitMs) {
    QDeadlineTimer deadline(limit_ms);
    std::string last;
    while (!deadline.hasExpired()) {
        ui::AsyncOperation<QString> op = view->ExecuteScriptAsync(js);
        if (!wait_until([&] { return op.IsDone(); }, static_cast<int>(deadline.remainingTime()))) break;
        last = op.GetResults().toStdString();
        if (last == expected) break;
    }
    return last;
}

}  // namespace uitest

// The text of a PDF file as poppler's pdftotext lays it out; empty when it cannot be read.
inline std::string pdf_text(const std::string& path) {
    std::string text;
    FILE* pipe = popen(("pdftotext -layout '" + path + "' - 2>/dev/null").c_str(), "r");
    if (!pipe) return text;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    pclose(pipe);
    return text;
}
