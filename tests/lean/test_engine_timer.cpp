// The client's timers are enabled and disabled for every acknowledgement without touching the
// system timer; they must still tick one whole interval after they were last enabled, never on
// the strength of an earlier enabling, and never while disabled.

#include "clientengine.h"

#include <QElapsedTimer>
#include <QTest>
#include <gtest/gtest.h>

namespace {

constexpr int kIntervalMs = 200;
constexpr int kBoundMs = 20000; // a bound only: a loaded machine may be slow

} // namespace

TEST(EngineTimer, EnabledAgainItWaitsAWholeIntervalFromThen) {
    QObject owner;
    int ticks = 0;
    QElapsedTimer sinceEnabled;
    qint64 tickedAfter = -1;
    zelk::EngineTimer timer(&owner, [&] {
        ++ticks;
        tickedAfter = sinceEnabled.elapsed();
        timer.disable();
    });
    timer.setInterval(kIntervalMs);
    timer.enable();
    QTest::qWait(kIntervalMs / 2);
    ASSERT_EQ(ticks, 0);
    // As for every acknowledgement: off, then on again.
    timer.disable();
    timer.enable();
    sinceEnabled.start();
    EXPECT_TRUE(timer.ticking());
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks > 0; }, kBoundMs));
    EXPECT_EQ(ticks, 1);
    EXPECT_GE(tickedAfter, kIntervalMs);
}

TEST(EngineTimer, DisabledItNeverTicksAndAnIntervalOfZeroNeverTicks) {
    QObject owner;
    int ticks = 0;
    zelk::EngineTimer timer(&owner, [&] { ++ticks; });
    timer.setInterval(20);
    timer.enable();
    timer.disable();
    EXPECT_FALSE(timer.ticking());
    QTest::qWait(150);
    EXPECT_EQ(ticks, 0);

    timer.setInterval(0);
    timer.enable();
    EXPECT_TRUE(timer.enabled());
    EXPECT_FALSE(timer.ticking());
    QTest::qWait(100);
    EXPECT_EQ(ticks, 0);
}

TEST(EngineTimer, WhileEnabledItKeepsTicking) {
    QObject owner;
    int ticks = 0;
    zelk::EngineTimer timer(&owner, [&] { ++ticks; });
    timer.setInterval(10);
    timer.enable();
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, kBoundMs));
    timer.disable();
    const int seen = ticks;
    QTest::qWait(100);
    EXPECT_EQ(ticks, seen);
}
