// The user-interface test programs make their application object after GoogleTest has read its flags,
// and not at all when the tests are only listed.
#include "ui/Application.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    ui::Application application(argc, argv);
    // The tests close windows and go on with the next test.
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
