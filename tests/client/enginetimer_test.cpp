// The client's timers are enabled and disabled for every acknowledgement without touching the
// system timer; they must still tick one whole interval after they were last enabled, never on
// the strength of an earlier enabling, and never while disabled.

#include "clientengine.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

constexpr int kIntervalMs = 200;
constexpr int kBoundMs = 20000; // a bound only: a loaded machine may be slow

// Runs the event loop until a timer of `ms` started now has fired. Timers fire in the order they
// fall due, so any tick due earlier has come by then.
void untilReferenceFires(int ms) {
    bool fired = false;
    QTimer::singleShot(ms, [&] { fired = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired; }, kBoundMs)) << "the reference never fired";
}

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
    untilReferenceFires(kIntervalMs / 2);
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
    untilReferenceFires(150);
    EXPECT_EQ(ticks, 0);

    timer.setInterval(0);
    timer.enable();
    EXPECT_TRUE(timer.enabled());
    EXPECT_FALSE(timer.ticking());
    untilReferenceFires(100);
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
    untilReferenceFires(100);
    EXPECT_EQ(ticks, seen);
}
