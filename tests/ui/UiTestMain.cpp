// GoogleTest with a QApplication: the window tests need one for their whole run.
#include <QApplication>

#include <gtest/gtest.h>

#include "platform/qt/QtMainThreadDispatcher.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ct::ScopedQtDispatcher dispatcher;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
