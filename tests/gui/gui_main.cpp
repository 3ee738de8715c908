#include <QApplication>
#include <gtest/gtest.h>

// The windows need a widget application; the display comes from under-xvfb.
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
