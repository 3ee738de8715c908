#include <QCoreApplication>
#include <gtest/gtest.h>

// Every test runs inside one Qt application so that sockets, timers and QSignalSpy::wait work.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
