#include "formfixture.h"
#include "midirecord.h"
#include "rapidinput.h"

#include "keygeometry.h"
#include "twips.h"

#include <QTest>

using Op = midi::RecordingPlatform::Op;

namespace {

constexpr int kBaseNote = 36;  // the transposition after start-up
const QRect kWindowRect(0, 0, 623, 163);
const QPoint kMutePad(300, 78);
constexpr int kDrainTimeoutMs = 60000;  // only a hang takes this long

QRect keyPixels(int index)
{
    const QRect r = keyboard::keyRectTwips(index);
    return twipsRect(r.x(), r.y(), r.width(), r.height());
}

// The key under a window point by the layout and its stacking: black keys above the white
// ones, each white key above its left-hand neighbour; -1 where there is none.
int keyAt(QPoint pos)
{
    for (int i = 0; i < keyboard::kKeyCount; ++i)
        if (keyboard::isBlackKey(i) && keyPixels(i).contains(pos))
            return i;
    for (int i = keyboard::kKeyCount - 1; i >= 0; --i)
        if (!keyboard::isBlackKey(i) && keyPixels(i).contains(pos))
            return i;
    return -1;
}

// The notes a drag along `path` owes, pressed at `press`: one note-on on every arrival on a
// key other than the one sounding, inside the window only; passing over anything that is not
// a key, or leaving the window, sounds nothing.
std::vector<int> expectedNoteOns(QPoint press, const std::vector<QPoint> &path)
{
    int sounding = keyAt(press);
    std::vector<int> notes = {kBaseNote + sounding};
    for (const QPoint &pos : path) {
        const int key = kWindowRect.contains(pos) ? keyAt(pos) : -1;
        if (key >= 0 && key != sounding) {
            notes.push_back(kBaseNote + key);
            sounding = key;
        }
    }
    return notes;
}

std::vector<int> noteOnsSent(const midi::RecordingPlatform &platform)
{
    std::vector<int> notes;
    for (std::uint32_t m : platform.messages())
        if ((m & 0xF0) == 0x90 && (m >> 16 & 0xFF) > 0)
            notes.push_back(int(m >> 8 & 0xFF));
    return notes;
}

// A short message as it goes on the wire: a status byte, then one data byte for program
// and channel pressure, two for the other channel messages, each below 0x80; nothing above.
bool isValidShortMessage(std::uint32_t m)
{
    const std::uint32_t status = m & 0xFF, data1 = m >> 8 & 0xFF, data2 = m >> 16 & 0xFF;
    if (status < 0x80 || status >= 0xF0 || data1 >= 0x80 || data2 >= 0x80 || m >> 24 != 0)
        return false;
    const std::uint32_t kind = status & 0xF0;
    return (kind != 0xC0 && kind != 0xD0) || data2 == 0;
}

} // namespace

class TestRapidInput : public QObject
{
    Q_OBJECT

    std::unique_ptr<FormFixture> f;
    QWindow *window = nullptr;

    void startForm()
    {
        f = std::make_unique<FormFixture>();
        Form1 &form = f->start();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        window = form.windowHandle();
        f->platform.clearCalls();
    }

    // Presses at the path's start, queues the moves, and runs the event loop until all of them
    // have come through; leaves in `atKeys` how many reached a key.
    void pressQueueAndDrain(const std::vector<QPoint> &path, int *atKeys = nullptr)
    {
        QTest::mousePress(window, Qt::LeftButton, {}, rapidinput::kPress);
        rapidinput::MoveCounter counter(window);
        for (const QPoint &pos : path)
            rapidinput::queueMove(window, pos);
        QCOMPARE(counter.atWindow, 0);  // queued, not delivered on the spot
        QTRY_COMPARE_WITH_TIMEOUT(counter.atWindow, int(path.size()), kDrainTimeoutMs);
        if (atKeys)
            *atKeys = counter.atKeys;
    }

private slots:
    void cleanup()
    {
        if (window)
            QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(2, 2));
        window = nullptr;
        f.reset();
    }

    void queuedMovesPlayAsMovesDeliveredOneByOne()
    {
        // A backlog of moves must play as the same moves do when each is handled before the
        // next arrives. Long enough to leave the window, cross the mute pad and jitter in a key.
        const std::vector<QPoint> path = rapidinput::pointerPath(rapidinput::kSeed, 1500);
        QVERIFY(std::any_of(path.begin(), path.end(), [](QPoint p) { return !kWindowRect.contains(p); }));
        QVERIFY(std::any_of(path.begin(), path.end(), [](QPoint p) { return p.y() < 90; }));

        startForm();
        QTest::mousePress(window, Qt::LeftButton, {}, rapidinput::kPress);
        for (const QPoint &pos : path) {
            rapidinput::deliverMove(window, pos);
            QCoreApplication::processEvents();
        }
        const std::vector<std::uint32_t> oneByOne = f->platform.messages();
        cleanup();

        startForm();
        pressQueueAndDrain(path);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(f->platform.messages(), oneByOne);
    }

    void tenThousandMovesDrainAndLeaveNothingSounding()
    {
        const std::vector<QPoint> path = rapidinput::pointerPath();
        QCOMPARE(int(path.size()), rapidinput::kMoves);

        startForm();
        int atKeys = 0;
        pressQueueAndDrain(path, &atKeys);
        if (QTest::currentTestFailed())
            return;
        // The pressed key holds the grab: every move reached it, wherever the pointer was.
        QCOMPARE(atKeys, rapidinput::kMoves);

        for (const auto &c : f->platform.calls)
            if (c.op == Op::ShortMsg)
                QVERIFY2(isValidShortMessage(c.value), qPrintable(QString::number(c.value, 16)));
        const std::vector<int> expected = expectedNoteOns(rapidinput::kPress, path);
        const std::vector<int> sent = noteOnsSent(f->platform);
        if (sent != expected) {
            const auto parting = std::mismatch(sent.begin(), sent.end(), expected.begin(), expected.end());
            const auto at = parting.first - sent.begin();
            QFAIL(qPrintable(QStringLiteral("%1 note-ons sent, %2 expected; they part at note-on %3")
                                 .arg(sent.size()).arg(expected.size()).arg(at)));
        }
        QCOMPARE(SoundingModel(f->platform).notes(), QList<int>{expected.back()});

        QTest::mouseRelease(window, Qt::LeftButton, {}, path.back());  // where the pointer is
        QTest::mouseMove(window, kMutePad);
        const SoundingModel model(f->platform);
        QVERIFY2(model.invalid.isEmpty(), qPrintable(model.invalid.join(' ')));
        QVERIFY2(model.notes().isEmpty(), qPrintable(QString::number(model.notes().size())));
    }
};

QTEST_MAIN(TestRapidInput)
#include "tst_rapid_input.moc"
