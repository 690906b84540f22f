#include "songplayer.h"
#include "stepvalue.h"
#include "textfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <utility>

using song::StepKind;

namespace {

constexpr std::int64_t kNsPerUs = 1000;
constexpr std::int64_t kNsPerMs = 1'000'000;

// Records every call in order, as text, so a test compares whole sequences.
class RecordingPiano : public song::Piano
{
public:
    QStringList calls;
    bool hasInstrument = true;
    // Advances the fake clock on each key press, as a slow MIDI output would.
    std::int64_t *clock = nullptr;
    std::int64_t keyOverCostNs = 0;

    void selectDevice(int entry) override { calls << QStringLiteral("selectDevice(%1)").arg(entry); }
    bool selectInstrument(int entry) override
    {
        calls << QStringLiteral("selectInstrument(%1)").arg(entry);
        return hasInstrument;
    }
    void setTransposition(int value) override { calls << QStringLiteral("setTransposition(%1)").arg(value); }
    void keyOver(int key) override
    {
        calls << QStringLiteral("keyOver(%1)").arg(key);
        keyDues << due;
        if (clock)
            *clock += keyOverCostNs;
    }
    void setReleased() override { calls << QStringLiteral("setReleased"); }
    void mutePad() override { calls << QStringLiteral("mutePad"); }
    void setPlayEnabled(bool enabled) override
    {
        calls << QStringLiteral("setPlayEnabled(%1)").arg(enabled ? "true" : "false");
    }
    void showError(const QString &text) override { calls << QStringLiteral("showError:") + text; }
    void setDueTime(std::int64_t dueNs) override { due = dueNs; }
    std::int64_t stepLeadNs() override { return leadNs; }

    std::int64_t due = 0;
    std::int64_t leadNs = 0;
    QList<qint64> keyDues;  // the due time in force at each key press

    QStringList take() { return std::exchange(calls, {}); }
};

const QStringList kStartCalls{"selectDevice(0)", "selectInstrument(9)", "setTransposition(32)",
                              "setPlayEnabled(false)"};
const QStringList kEndCalls{"setPlayEnabled(true)", "mutePad"};

// A song file in a temporary directory, a fake clock, and the player under test.
class Fixture
{
public:
    explicit Fixture(const QStringList &lines)
        : path(dir.filePath(QStringLiteral("haap.txt")))
        , player(piano, path, [this] { return now; })
    {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(lines.join(QStringLiteral("\r\n")).append(QStringLiteral("\r\n")).toUtf8());
        piano.clock = &now;
    }

    // Delivers a tick at `atNs` after the start.
    QStringList tickAt(std::int64_t atNs)
    {
        now = startNs + atNs;
        player.step();
        return piano.take();
    }

    QTemporaryDir dir;
    const QString path;
    std::int64_t startNs = 1'000'000'000;
    std::int64_t now = startNs;
    RecordingPiano piano;
    song::SongPlayer player;
};

QString sourceFile(const QString &relative)
{
    return qEnvironmentVariable("TIRREL_SOURCE_DIR") + u'/' + relative;
}

} // namespace

class SongPlayerTest : public QObject
{
    Q_OBJECT
private slots:
    void stepValue_data();
    void stepValue();
    void stepKeys_data();
    void stepKeys();
    void fourLineSong();
    void missingFileChangesNothing();
    void songWithoutEnd_data();
    void songWithoutEnd();
    void clickWhilePlayingIsIgnored();
    void missingInstrumentStillPlays();
    void stepTimes_data();
    void stepTimes();
    void realTimerPlaysToTheEnd();
    void shippedSong();
};

void SongPlayerTest::stepValue_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<StepKind>("kind");
    QTest::addColumn<int>("value");

    QTest::newRow("integer") << "12" << StepKind::Note << 12;
    QTest::newRow("spaces around") << " 12 " << StepKind::Note << 12;
    QTest::newRow("tab and space before") << "\t 12" << StepKind::Note << 12;
    QTest::newRow("fraction below half") << "12.4" << StepKind::Note << 12;
    QTest::newRow("half to even, down") << "12.5" << StepKind::Note << 12;
    QTest::newRow("half to even, up") << "13.5" << StepKind::Note << 14;
    QTest::newRow("negative half to even") << "-2.5" << StepKind::Note << -2;
    QTest::newRow("negative half up in magnitude") << "-3.5" << StepKind::Note << -4;
    QTest::newRow("just above half, beyond double precision") << "2.5000000000000001" << StepKind::Note << 3;
    QTest::newRow("just below half, beyond double precision") << "2.4999999999999999" << StepKind::Note << 2;
    QTest::newRow("fraction without integer part") << ".5" << StepKind::Note << 0;
    QTest::newRow("point without fraction") << "12." << StepKind::Note << 12;
    QTest::newRow("plus sign") << "+5" << StepKind::Note << 5;
    QTest::newRow("leading zeros") << "000000000012" << StepKind::Note << 12;
    QTest::newRow("lowest note") << "-7" << StepKind::Note << -7;
    QTest::newRow("below the lowest note") << "-8" << StepKind::Skip << -8;
    QTest::newRow("highest note") << "33" << StepKind::Note << 33;
    QTest::newRow("above the highest note") << "34" << StepKind::Skip << 34;
    QTest::newRow("just below hold") << "99" << StepKind::Skip << 99;
    QTest::newRow("rounds up to hold") << "99.5" << StepKind::Hold << 100;
    QTest::newRow("hold") << "100" << StepKind::Hold << 100;
    QTest::newRow("largest 16-bit value") << "32767" << StepKind::Hold << 32767;
    QTest::newRow("rounds past 16 bits") << "32767.5" << StepKind::Skip << 0;
    QTest::newRow("past 16 bits") << "32768" << StepKind::Skip << 0;
    QTest::newRow("smallest 16-bit value") << "-32768" << StepKind::Skip << -32768;
    QTest::newRow("below 16 bits") << "-32769" << StepKind::Skip << 0;
    QTest::newRow("far past 16 bits") << "99999" << StepKind::Skip << 0;
    QTest::newRow("many digits") << "123456789012345678901234567890" << StepKind::Skip << 0;
    QTest::newRow("word") << "abc" << StepKind::Note << 0;
    QTest::newRow("empty line") << "" << StepKind::Note << 0;
    QTest::newRow("sign alone") << "-" << StepKind::Note << 0;
    QTest::newRow("point alone") << "." << StepKind::Note << 0;
    QTest::newRow("End in lower case") << "end" << StepKind::Note << 0;
    QTest::newRow("End in upper case") << "END" << StepKind::Note << 0;
    QTest::newRow("tab before End") << "\tEnd" << StepKind::Note << 0;
    QTest::newRow("tab after End") << "End\t" << StepKind::Note << 0;
    QTest::newRow("End") << "End" << StepKind::End << 0;
    QTest::newRow("spaces around End") << "  End " << StepKind::End << 0;
    QTest::newRow("exponent not read") << "1e3" << StepKind::Note << 1;
    QTest::newRow("hexadecimal not read") << "0x10" << StepKind::Note << 0;
    QTest::newRow("blank ends the number") << "1 2" << StepKind::Note << 1;
    QTest::newRow("comma ends the number") << "1,5" << StepKind::Note << 1;
    QTest::newRow("non-ASCII digits") << QStringLiteral("١٢") << StepKind::Note << 0;
}

void SongPlayerTest::stepValue()
{
    QFETCH(QString, line);
    QFETCH(StepKind, kind);
    QFETCH(int, value);

    const song::Step step = song::parseStep(line);
    QCOMPARE(step.kind, kind);
    QCOMPARE(step.value, value);
}

void SongPlayerTest::stepKeys_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("calls");

    const QStringList releasedOnly{"setReleased"};
    QTest::newRow("12") << "12" << QStringList{"keyOver(19)", "keyOver(43)", "setReleased"};
    QTest::newRow("12.5 rounds down") << "12.5" << QStringList{"keyOver(19)", "keyOver(43)", "setReleased"};
    QTest::newRow("13.5 rounds up") << "13.5" << QStringList{"keyOver(21)", "keyOver(45)", "setReleased"};
    QTest::newRow("lowest note") << "-7" << QStringList{"keyOver(0)", "keyOver(24)", "setReleased"};
    QTest::newRow("highest note") << "33" << QStringList{"keyOver(40)", "keyOver(64)", "setReleased"};
    QTest::newRow("end in lower case") << "end" << QStringList{"keyOver(7)", "keyOver(31)", "setReleased"};
    QTest::newRow("hold") << "100" << releasedOnly;
    QTest::newRow("below the keyboard") << "-8" << releasedOnly;
    QTest::newRow("above the keyboard") << "34" << releasedOnly;
    QTest::newRow("past 16 bits") << "99999" << releasedOnly;
}

void SongPlayerTest::stepKeys()
{
    QFETCH(QString, line);
    QFETCH(QStringList, calls);

    Fixture f({line, "End"});
    f.player.play();
    QCOMPARE(f.piano.take(), kStartCalls);
    QCOMPARE(f.tickAt(150 * kNsPerMs), calls);
    QCOMPARE(f.tickAt(300 * kNsPerMs), kEndCalls);
}

void SongPlayerTest::fourLineSong()
{
    Fixture f({"0", "100", "100", "End"});
    f.player.play();
    QCOMPARE(f.piano.take(), kStartCalls);
    QVERIFY(f.player.isPlaying());
    QCOMPARE(f.player.nextDeadlineNs() - f.startNs, song::kStepMs * kNsPerMs);

    QCOMPARE(f.tickAt(150 * kNsPerMs), (QStringList{"keyOver(7)", "keyOver(31)", "setReleased"}));
    QCOMPARE(f.tickAt(300 * kNsPerMs), QStringList{"setReleased"});
    QCOMPARE(f.tickAt(450 * kNsPerMs), QStringList{"setReleased"});
    QVERIFY(f.player.isPlaying());
    QCOMPARE(f.tickAt(600 * kNsPerMs), kEndCalls);
    QVERIFY(!f.player.isPlaying());

    // Idle again: a stray tick does nothing, and the song can be played anew.
    QCOMPARE(f.tickAt(750 * kNsPerMs), QStringList{});
    f.player.play();
    QCOMPARE(f.piano.take(), kStartCalls);
    QCOMPARE(f.tickAt(900 * kNsPerMs), (QStringList{"keyOver(7)", "keyOver(31)", "setReleased"}));
}

void SongPlayerTest::missingFileChangesNothing()
{
    Fixture f({"0", "End"});
    QVERIFY(QFile::remove(f.path));

    f.player.play();
    const QStringList calls = f.piano.take();
    QCOMPARE(calls.size(), 1);
    QVERIFY2(calls.first().startsWith(QStringLiteral("showError:无法读取文件 %1：").arg(QDir::toNativeSeparators(f.path))),
             qPrintable(calls.first()));
    QVERIFY(!f.player.isPlaying());
    QCOMPARE(f.tickAt(150 * kNsPerMs), QStringList{});
}

void SongPlayerTest::songWithoutEnd_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("steps");

    QTest::newRow("empty file") << QStringList{} << 0;
    QTest::newRow("notes without End") << QStringList{"5", "100"} << 2;
}

void SongPlayerTest::songWithoutEnd()
{
    QFETCH(QStringList, lines);
    QFETCH(int, steps);

    Fixture f(lines);
    if (lines.isEmpty())
        QVERIFY(QFile::resize(f.path, 0));
    f.player.play();
    QCOMPARE(f.piano.take(), kStartCalls);
    for (int k = 1; k <= steps; ++k)
        QVERIFY(f.tickAt(k * 150 * kNsPerMs).endsWith("setReleased"));
    QCOMPARE(f.tickAt((steps + 1) * 150 * kNsPerMs), kEndCalls);
    QVERIFY(!f.player.isPlaying());
}

void SongPlayerTest::clickWhilePlayingIsIgnored()
{
    Fixture f({"1", "2", "End"});
    f.player.play();
    f.piano.take();
    QCOMPARE(f.tickAt(150 * kNsPerMs), (QStringList{"keyOver(8)", "keyOver(32)", "setReleased"}));

    f.player.play();
    QCOMPARE(f.piano.take(), QStringList{});
    // The song goes on where it was, on the same grid.
    QCOMPARE(f.tickAt(300 * kNsPerMs), (QStringList{"keyOver(9)", "keyOver(33)", "setReleased"}));
    QCOMPARE(f.player.nextDeadlineNs() - f.startNs, 450 * kNsPerMs);
}

void SongPlayerTest::missingInstrumentStillPlays()
{
    Fixture f({"0", "End"});
    f.piano.hasInstrument = false;
    f.player.play();
    QCOMPARE(f.piano.take(), kStartCalls);
    QCOMPARE(f.tickAt(150 * kNsPerMs), (QStringList{"keyOver(7)", "keyOver(31)", "setReleased"}));
}

void SongPlayerTest::stepTimes_data()
{
    QTest::addColumn<QList<qint64>>("ticksNs");      // when each tick arrives, after the click
    QTest::addColumn<QList<qint64>>("deadlinesNs");  // the deadline set after each tick, after the click
    QTest::addColumn<qint64>("keyOverCostUs");
    QTest::addColumn<qint64>("leadNs");       // how early the output needs a step
    QTest::addColumn<QList<qint64>>("duesNs");  // the due time each step's notes carry, after the click

    constexpr qint64 ms = kNsPerMs;
    QTest::newRow("on time") << QList<qint64>{150 * ms, 300 * ms, 450 * ms}
                             << QList<qint64>{300 * ms, 450 * ms, 600 * ms} << 0ll
        << 0ll << QList<qint64>{150 * ms, 300 * ms, 450 * ms};
    QTest::newRow("a late tick leaves the next deadline on the grid")
        << QList<qint64>{180 * ms, 300 * ms, 450 * ms} << QList<qint64>{300 * ms, 450 * ms, 600 * ms} << 0ll
        << 0ll << QList<qint64>{150 * ms, 300 * ms, 450 * ms};
    QTest::newRow("lateness does not add up")
        << QList<qint64>{160 * ms, 310 * ms, 460 * ms} << QList<qint64>{300 * ms, 450 * ms, 600 * ms} << 0ll
        << 0ll << QList<qint64>{150 * ms, 300 * ms, 450 * ms};
    QTest::newRow("just under a step late keeps the grid")
        << QList<qint64>{299 * ms, 300 * ms} << QList<qint64>{300 * ms, 450 * ms} << 0ll
        << 0ll << QList<qint64>{150 * ms, 300 * ms};
    QTest::newRow("a whole step late restarts the grid")
        << QList<qint64>{300 * ms, 450 * ms} << QList<qint64>{450 * ms, 600 * ms} << 0ll
        << 0ll << QList<qint64>{300 * ms, 450 * ms};
    QTest::newRow("a stall restarts the grid, one step per tick")
        << QList<qint64>{150 * ms, 700 * ms, 850 * ms, 1000 * ms}
        << QList<qint64>{300 * ms, 850 * ms, 1000 * ms, 1150 * ms} << 0ll
        << 0ll << QList<qint64>{150 * ms, 700 * ms, 850 * ms, 1000 * ms};
    QTest::newRow("a nanosecond late is not rounded to a millisecond")
        << QList<qint64>{150 * ms + 1} << QList<qint64>{300 * ms} << 0ll
        << 0ll << QList<qint64>{150 * ms};
    QTest::newRow("sub-millisecond lateness is not rounded either")
        << QList<qint64>{150 * ms + 600'000} << QList<qint64>{300 * ms} << 0ll
        << 0ll << QList<qint64>{150 * ms};
    QTest::newRow("a restart keeps the tick's own nanoseconds")
        << QList<qint64>{300 * ms + 123'457} << QList<qint64>{450 * ms + 123'457} << 0ll
        << 0ll << QList<qint64>{300 * ms + 123'457};
    QTest::newRow("slow key presses do not push the next deadline")
        << QList<qint64>{150 * ms, 300 * ms} << QList<qint64>{300 * ms, 450 * ms} << 3000ll
        << 0ll << QList<qint64>{150 * ms, 300 * ms};
    QTest::newRow("a lead fires each step early; its notes keep the grid time")
        << QList<qint64>{150 * ms - 11'610'000, 300 * ms - 11'610'000}
        << QList<qint64>{300 * ms - 11'610'000, 450 * ms - 11'610'000} << 0ll << 11'610'000ll
        << QList<qint64>{150 * ms, 300 * ms};
    QTest::newRow("a lead of more than half a step is cut to half")
        << QList<qint64>{75 * ms} << QList<qint64>{225 * ms} << 0ll << 100 * ms << QList<qint64>{150 * ms};
    QTest::newRow("a step a whole step late plays at once, with a lead")
        << QList<qint64>{300 * ms} << QList<qint64>{440 * ms} << 0ll << 10 * ms << QList<qint64>{300 * ms};
}

void SongPlayerTest::stepTimes()
{
    QFETCH(QList<qint64>, ticksNs);
    QFETCH(QList<qint64>, deadlinesNs);
    QFETCH(qint64, keyOverCostUs);
    QFETCH(qint64, leadNs);
    QFETCH(QList<qint64>, duesNs);

    Fixture f(QStringList(10, QStringLiteral("0")) << "End");
    f.piano.keyOverCostNs = keyOverCostUs * kNsPerUs;
    f.piano.leadNs = leadNs;
    f.player.play();
    f.piano.take();
    QCOMPARE(f.player.nextDeadlineNs() - f.startNs, song::kStepMs * kNsPerMs - std::min<qint64>(leadNs, 75 * kNsPerMs));

    QList<qint64> deadlines;
    QList<qint64> dues;
    for (const qint64 tickNs : ticksNs) {
        // Every tick plays exactly one step, however late it comes.
        QCOMPARE(f.tickAt(tickNs), (QStringList{"keyOver(7)", "keyOver(31)", "setReleased"}));
        deadlines << f.player.nextDeadlineNs() - f.startNs;
        // Both keys of a step are due together; what is played between steps is not due.
        QCOMPARE(f.piano.keyDues.size(), 2);
        QCOMPARE(f.piano.keyDues[0], f.piano.keyDues[1]);
        dues << f.piano.keyDues[0] - f.startNs;
        f.piano.keyDues.clear();
        QCOMPARE(f.piano.due, 0);
    }
    QCOMPARE(deadlines, deadlinesNs);
    QCOMPARE(dues, duesNs);
}

void SongPlayerTest::realTimerPlaysToTheEnd()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("haap.txt"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("1\r\n100\r\n2\r\nEnd\r\n");
    file.close();

    RecordingPiano piano;
    song::SongPlayer player(piano, path);
    const std::int64_t start = song::steadyNow();
    player.play();
    QTRY_VERIFY_WITH_TIMEOUT(!player.isPlaying(), 5000);
    const double elapsedMs = double(song::steadyNow() - start) / kNsPerMs;

    const QStringList steps{"keyOver(8)", "keyOver(32)", "setReleased", "setReleased",
                            "keyOver(9)", "keyOver(33)", "setReleased"};
    QCOMPARE(piano.calls, kStartCalls + steps + kEndCalls);
    // Four ticks of 150 ms; QTRY polls, so allow for its step as well.
    QVERIFY2(elapsedMs >= 4 * song::kStepMs - 1, qPrintable(QString::number(elapsedMs)));
}

void SongPlayerTest::shippedSong()
{
    const QString path = sourceFile(QStringLiteral("data/haap.txt"));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.endsWith("End\r\n"));
    QCOMPARE(bytes.count('\n'), bytes.count("\r\n"));
    QCOMPARE(bytes.count('\r'), bytes.count("\r\n"));
    QVERIFY(std::all_of(bytes.begin(), bytes.end(), [](char c) { return c > 0 && c < 0x7F; }));

    const text::ReadResult song = text::readFile(path);
    QVERIFY2(song.ok, qPrintable(song.error));
    QCOMPARE(song::parseStep(song.lines.last()).kind, StepKind::End);
    const QStringList steps = song.lines.mid(0, song.lines.size() - 1);
    // A hold step first would hold nothing.
    QCOMPARE(song::parseStep(steps.first()).kind, StepKind::Note);
    for (const QString &line : steps) {
        const StepKind kind = song::parseStep(line).kind;
        QVERIFY2(kind == StepKind::Note || kind == StepKind::Hold, qPrintable(line));
    }
    QVERIFY2(steps.size() * song::kStepMs >= 30'000, qPrintable(QString::number(steps.size())));
}

QTEST_GUILESS_MAIN(SongPlayerTest)
#include "tst_songplayer.moc"
