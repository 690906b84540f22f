#include "precisetimer.h"

#include <QTest>
#include <QTimer>

#include <vector>

using song::PreciseTimer;
using song::steadyNow;

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;
#if defined(Q_OS_LINUX) || defined(Q_OS_WIN)
// A timerfd, or a waitable timer, fires once the monotonic clock has reached the deadline
// itself, never before.
constexpr std::int64_t kMaxEarlyNs = 0;
#else
// Where no finer timer exists the deadline is rounded to the nearest millisecond.
constexpr std::int64_t kMaxEarlyNs = kNsPerMs / 2;
#endif
// How late a tick comes depends on the machine's load, so nothing here bounds it; the
// benchmark measures it.

// Records when each timeout came.
struct Ticks
{
    explicit Ticks(PreciseTimer &timer)
    {
        QObject::connect(&timer, &PreciseTimer::timeout, [this] { at.push_back(steadyNow()); });
    }
    std::vector<std::int64_t> at;
};

QByteArray ms(std::int64_t ns) { return QByteArray::number(double(ns) / kNsPerMs, 'f', 3) + " ms"; }

} // namespace

class TestPreciseTimer : public QObject
{
    Q_OBJECT

private slots:
    void firesOnceNeverBeforeItsDeadline_data()
    {
        QTest::addColumn<qint64>("aheadNs");
        QTest::newRow("0.1 ms ahead, which a millisecond timer rounds to no wait") << qint64(100'000);
        QTest::newRow("0.49 ms ahead, the most a millisecond timer rounds away") << qint64(490'000);
        QTest::newRow("1.4 ms ahead, which a millisecond timer rounds down") << qint64(1'400'000);
        QTest::newRow("a step ahead") << qint64(150 * kNsPerMs);
    }

    void firesOnceNeverBeforeItsDeadline()
    {
        QFETCH(qint64, aheadNs);
        PreciseTimer timer;
        Ticks ticks(timer);
        const std::int64_t deadline = steadyNow() + aheadNs;
        timer.start(deadline);
        QVERIFY(timer.isActive());
        QTRY_COMPARE_WITH_TIMEOUT(ticks.at.size(), size_t(1), 5000);
        QVERIFY2(ticks.at[0] >= deadline - kMaxEarlyNs, ms(ticks.at[0] - deadline));
        QVERIFY(!timer.isActive());
        QTest::qWait(20);
        QCOMPARE(ticks.at.size(), size_t(1));
    }

    void pastDeadlineFiresOnTheNextPassOfTheLoop_data()
    {
        QTest::addColumn<qint64>("deadlineNs");
        QTest::newRow("a second ago") << qint64(steadyNow() - 1'000'000'000);
        QTest::newRow("the clock's origin") << qint64(0);
        QTest::newRow("before the clock's origin") << qint64(-5);
    }

    void pastDeadlineFiresOnTheNextPassOfTheLoop()
    {
        QFETCH(qint64, deadlineNs);
        PreciseTimer timer;
        Ticks ticks(timer);
        timer.start(deadlineNs);
        // Never from within start(): the caller may not be ready for it.
        QVERIFY(ticks.at.empty());
        QTRY_COMPARE_WITH_TIMEOUT(ticks.at.size(), size_t(1), 1000);
    }

    void stopPreventsTheTick_data()
    {
        QTest::addColumn<bool>("expiredBeforeStop");
        QTest::newRow("stopped before the deadline") << false;
        QTest::newRow("stopped after it expired, before the loop saw it") << true;
    }

    void stopPreventsTheTick()
    {
        QFETCH(bool, expiredBeforeStop);
        PreciseTimer timer;
        Ticks ticks(timer);
        timer.start(steadyNow() + (expiredBeforeStop ? 0 : 5 * kNsPerMs));
        if (expiredBeforeStop)
            QTest::qSleep(2);  // expired, but the event loop has not run
        timer.stop();
        QVERIFY(!timer.isActive());
        QTest::qWait(30);
        QVERIFY(ticks.at.empty());
    }

    void aNewDeadlineReplacesTheOld_data()
    {
        QTest::addColumn<qint64>("oldAheadNs");
        QTest::newRow("old deadline still ahead") << qint64(5 * kNsPerMs);
        QTest::newRow("old deadline expired, not yet seen by the loop") << qint64(0);
        // Kept, the old deadline would outlast the wait for the tick.
        QTest::newRow("old deadline a minute ahead, the new one sooner") << qint64(60'000 * kNsPerMs);
    }

    void aNewDeadlineReplacesTheOld()
    {
        QFETCH(qint64, oldAheadNs);
        PreciseTimer timer;
        Ticks ticks(timer);
        timer.start(steadyNow() + oldAheadNs);
        if (oldAheadNs == 0)
            QTest::qSleep(2);
        const std::int64_t deadline = steadyNow() + 40 * kNsPerMs;
        timer.start(deadline);
        QTRY_COMPARE_WITH_TIMEOUT(ticks.at.size(), size_t(1), 5000);
        QVERIFY2(ticks.at[0] >= deadline - kMaxEarlyNs, ms(ticks.at[0] - deadline));
        QTest::qWait(20);
        QCOMPARE(ticks.at.size(), size_t(1));
    }

    void anExpiryTheLoopSawBeforeTheRestartIsDropped()
    {
        // The event loop finds the expired timer readable, then, in the same pass, runs
        // a handler that sets a new deadline before the timer's turn comes. The expiry
        // it found belongs to the old deadline and must not fire the new one early.
        PreciseTimer timer;
        Ticks ticks(timer);
        std::int64_t restartedAt = 0;
        std::int64_t deadline = 0;
        QTimer::singleShot(0, [&] {
            timer.start(steadyNow() - 1);
            QTimer::singleShot(0, [&] {
                restartedAt = steadyNow();
                deadline = restartedAt + 20 * kNsPerMs;
                timer.start(deadline);
            });
        });
        QTRY_VERIFY_WITH_TIMEOUT(deadline != 0 && !timer.isActive(), 5000);
        QTest::qWait(20);
        // Whether the old deadline fired before the restart depends on the order the
        // loop serves its sources in; after the restart, only the new one may fire.
        std::vector<std::int64_t> afterRestart;
        for (const std::int64_t at : ticks.at)
            if (at > restartedAt)
                afterRestart.push_back(at - deadline);
        QCOMPARE(afterRestart.size(), size_t(1));
        QVERIFY2(afterRestart[0] >= -kMaxEarlyNs, ms(afterRestart[0]));
    }

    void restartsFromTheTimeoutNeverComeEarly()
    {
        // What the song player does: each tick sets the next grid point, here 0.7 ms on, a
        // step a millisecond timer would round. A tick late enough to find the next grid
        // point past fires that one at once, which is never early either.
        PreciseTimer timer;
        constexpr std::int64_t kPeriodNs = 700'000;
        constexpr int kCount = 20;
        const std::int64_t origin = steadyNow();
        std::vector<std::int64_t> lateness;
        connect(&timer, &PreciseTimer::timeout, [&] {
            const std::int64_t due = origin + std::int64_t(lateness.size() + 1) * kPeriodNs;
            lateness.push_back(steadyNow() - due);
            if (lateness.size() < kCount)
                timer.start(due + kPeriodNs);
        });
        timer.start(origin + kPeriodNs);
        QTRY_COMPARE_WITH_TIMEOUT(lateness.size(), size_t(kCount), 5000);
        QTest::qWait(5);
        QCOMPARE(lateness.size(), size_t(kCount));
        for (const std::int64_t late : lateness)
            QVERIFY2(late >= -kMaxEarlyNs, ms(late));
    }
};

QTEST_GUILESS_MAIN(TestPreciseTimer)
#include "tst_precisetimer.moc"
