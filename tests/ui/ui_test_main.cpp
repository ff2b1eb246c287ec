// The user-interface test programs make their application object after GoogleTest has read its flags,
// and not at all when the tests are only listed. A web page that outlives the browser engine fails the
// run: the engine warns of it, and crashes soon after.
#include "ui/Application.h"

#include <QApplication>
#include <QString>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<bool> page_outlived_engine{false};
QtMessageHandler default_handler = nullptr;

void record_messages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QStringLiteral("WebEnginePage still not deleted"))) {
        page_outlived_engine = true;
        std::fprintf(stderr, "FAILED: a web page outlived the browser engine\n");
        if (testing::UnitTest::GetInstance()->current_test_info()) ADD_FAILURE() << message.toStdString();
    }
    if (default_handler) default_handler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    default_handler = qInstallMessageHandler(record_messages);
    int result = 0;
    {
        ui::Application application(argc, argv);
        // The tests close windows and go on with the next test.
        QApplication::setQuitOnLastWindowClosed(false);
        result = RUN_ALL_TESTS();
        ui::Application::Finish(result);
    }
    return page_outlived_engine ? 1 : result;
}
