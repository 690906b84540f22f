#include "formfixture.h"
#include "midirecord.h"

#include "dropdownlist.h"
#include "label.h"

#include <QRandomGenerator>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>


using Op = midi::RecordingPlatform::Op;

namespace {


// Centres of a few keys, in window pixels, away from any overlap.
const QPoint kKey10(104, 110);  // black A#
const QPoint kKey11(114, 150);
const QPoint kKey12(128, 150);
const QPoint kKey20(200, 110);  // black G#
const QPoint kKey64(610, 150);

// The centre of a part of a scroll bar, where its style draws it.
QPoint centreOf(const QScrollBar *bar, QStyle::SubControl part)
{
    QStyleOptionSlider option;
    option.initFrom(bar);
    option.orientation = bar->orientation();
    if (bar->orientation() == Qt::Horizontal)
        option.state |= QStyle::State_Horizontal;
    option.minimum = bar->minimum();
    option.maximum = bar->maximum();
    option.sliderPosition = bar->sliderPosition();
    option.sliderValue = bar->value();
    option.singleStep = bar->singleStep();
    option.pageStep = bar->pageStep();
    option.upsideDown = bar->invertedAppearance();
    option.subControls = QStyle::SC_All;
    return bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, part, bar).center();
}

} // namespace

class TestKeyboard : public QObject
{
    Q_OBJECT

    std::unique_ptr<FormFixture> f;
    Form1 *form = nullptr;
    QWindow *window = nullptr;

    std::vector<std::uint32_t> sent() const { return f->platform.messages(); }

private slots:
    void init()
    {
        f = std::make_unique<FormFixture>();
        f->platform.devices = {QStringLiteral("Port A"), QStringLiteral("Port B")};
        form = f->startPlayable();
        QVERIFY(form);
        window = form->windowHandle();
    }

    void cleanup()
    {
        // Let go of any button a test left down, so the next test starts clean.
        QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(2, 2));
        f.reset();
    }

    void pressThenGlideSoundsEachKeyOnce()
    {
        QTest::mousePress(window, Qt::LeftButton, {}, kKey10);
        QTest::mouseMove(window, kKey11);
        QTest::mouseMove(window, kKey11 + QPoint(2, 3));  // within one key: nothing more
        QTest::mouseMove(window, kKey12);
        QTest::mouseRelease(window, Qt::LeftButton, {}, kKey12);
        // The very first action stops the note of key 0, as nothing has sounded yet.
        QCOMPARE(sent(), (std::vector<std::uint32_t>{noteOff(36), noteOn(46), noteOff(46), noteOn(47),
                                                     noteOff(47), noteOn(48)}));
    }

    void glideOverOverlapsFollowsTheStacking()
    {
        QTest::mousePress(window, Qt::LeftButton, {}, QPoint(8, 100));
        for (int x = 9; x <= 46; ++x)
            QTest::mouseMove(window, QPoint(x, 100));
        std::vector<int> struck;
        for (std::uint32_t m : sent())
            if ((m & 0xF0) == 0x90)
                struck.push_back(int(m >> 8 & 0xFF) - 36);
        QCOMPARE(struck, (std::vector<int>{0, 1, 2, 3, 4}));
    }

    void pressOutsideTheKeysPlaysNothing_data()
    {
        QTest::addColumn<QPoint>("start");
        QTest::newRow("window background") << QPoint(2, 60);
        QTest::newRow("mute pad") << QPoint(30, 75);
        QTest::newRow("frame") << QPoint(300, 40);
    }

    void pressOutsideTheKeysPlaysNothing()
    {
        QFETCH(QPoint, start);
        QTest::mousePress(window, Qt::LeftButton, {}, start);
        f->platform.clearCalls();  // a press on the mute pad may mute; gliding must not play
        QTest::mouseMove(window, kKey10);
        QTest::mouseMove(window, kKey12);
        QTest::mouseRelease(window, Qt::LeftButton, {}, kKey12);
        for (std::uint32_t m : sent())
            QVERIFY2((m & 0xF0) != 0x90, qPrintable(QString::number(m, 16)));
    }

    void onlyTheLeftButtonPlays()
    {
        QTest::mousePress(window, Qt::RightButton, {}, kKey12);
        QTest::mouseRelease(window, Qt::RightButton, {}, kKey12);
        QTest::mousePress(window, Qt::MiddleButton, {}, kKey12);
        QTest::mouseRelease(window, Qt::MiddleButton, {}, kKey12);
        for (Qt::Key key : {Qt::Key_A, Qt::Key_Z, Qt::Key_1, Qt::Key_Q})
            QTest::keyClick(window, key);
        QVERIFY(sent().empty());
    }

    void muteGoesQuietDuringADrag()
    {
        QTest::mousePress(window, Qt::LeftButton, {}, kKey12);
        f->platform.clearCalls();
        QTest::mouseMove(window, QPoint(300, 75));  // over the mute pad
        QTest::mouseMove(window, QPoint(320, 75));
        QVERIFY(sent().empty());
        QTest::mouseMove(window, kKey12);  // back onto the key still sounding: no retrigger
        QVERIFY(sent().empty());
    }

    void mutePadStopsTheKeyboardsNotes()
    {
        QTest::mouseMove(window, QPoint(300, 75));
        QCOMPARE(sent().size(), size_t(65));
        for (int i = 0; i <= 64; ++i)
            QCOMPARE(sent()[i], noteOff(36 + i));
    }

    void leavingTheWindowSoundsNothingAndComingBackGlidesOn()
    {
        QTest::mousePress(window, Qt::LeftButton, {}, kKey11);
        f->platform.clearCalls();
        QTest::mouseMove(window, QPoint(700, 150));
        QTest::mouseMove(window, QPoint(12, 400));
        QVERIFY(sent().empty());
        QTest::mouseMove(window, kKey12);
        QCOMPARE(sent(), (std::vector<std::uint32_t>{noteOff(47), noteOn(48)}));
    }

    void theButtonPollRunsFromStartUp()
    {
        // A window of its own: the playable one has its poll stopped, to keep the others exact.
        f = std::make_unique<FormFixture>();
        form = &f->start();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form));
        window = form->windowHandle();
        QSignalSpy polls(form->Timer1, &QTimer::timeout);  // heard after the window's handler

        QTest::mousePress(window, Qt::LeftButton, {}, kKey20);
        f->platform.clearCalls();
        polls.clear();
        QTRY_VERIFY(!polls.isEmpty());
        QTest::mouseMove(window, kKey20 + QPoint(1, 1));  // held since: the key stays silent
        QVERIFY(sent().empty());

        QTest::mouseRelease(window, Qt::LeftButton, {}, kKey20);
        polls.clear();
        QTRY_VERIFY(!polls.isEmpty());
        QTest::mousePress(window, Qt::LeftButton, {}, kKey20);  // a poll saw the button up
        QCOMPARE(sent(), (std::vector<std::uint32_t>{noteOff(56), noteOn(56)}));
    }

    void aDragWhoseReleaseGoesAstrayEnds_data()
    {
        QTest::addColumn<bool>("box");
        QTest::newRow("a box opened mid-glide") << true;
        QTest::newRow("the release reaches another window") << false;
    }

    void aDragWhoseReleaseGoesAstrayEnds()
    {
        QFETCH(bool, box);
        QTest::mousePress(window, Qt::LeftButton, {}, kKey10);
        QWindow elsewhere;
        QString text, caption;
        QObject boxTimer;  // takes the timer along if the test ends before the box opens
        if (box) {
            f->platform.sendResult = midi::result::MidiNoDevice;
            QTimer::singleShot(50, &boxTimer, [&] {
                // Qt drops it, as it drops any mouse event to a window a modal box blocks.
                QTest::mouseRelease(window, Qt::LeftButton, {}, kKey11);
                if (QWidget *open = QApplication::activeModalWidget()) {
                    text = open->property("text").toString();
                    caption = open->windowTitle();
                    open->close();
                }
            });
        }
        QTest::mouseMove(window, kKey11);  // with a box, from the failing note-off of key 10
        if (box) {
            QCOMPARE(text, midi::RecordingPlatform::errorText(midi::result::MidiNoDevice));
            QCOMPARE(caption, QStringLiteral("Tirrel"));
        } else {
            QTest::mouseRelease(&elsewhere, Qt::LeftButton, {}, QPoint(1, 1));
        }

        f->platform.sendResult = midi::result::NoError;
        f->platform.clearCalls();
        QTest::mousePress(window, Qt::LeftButton, {}, kKey10);
        QCOMPARE(sent(), (std::vector<std::uint32_t>{noteOff(47), noteOn(46)}));
    }

    void rangeEdges()
    {
        form->HScroll1->setValue(63);
        QCOMPARE(form->HScroll1->maximum(), 63);
        form->HScroll2->setValue(0);
        QTest::mousePress(window, Qt::LeftButton, {}, kKey64);
        QCOMPARE(sent().back(), noteOn(127, 0));
    }

    void scrollBarClicksStepByOne_data()
    {
        QTest::addColumn<bool>("transposition");  // else the velocity
        QTest::addColumn<int>("part");
        QTest::addColumn<int>("start");
        QTest::addColumn<QString>("name");
        QTest::addColumn<quint32>("key12");  // what key 12 sounds then

        const int right = QStyle::SC_ScrollBarAddLine, left = QStyle::SC_ScrollBarSubLine;
        const int trackRight = QStyle::SC_ScrollBarAddPage, trackLeft = QStyle::SC_ScrollBarSubPage;
        QTest::newRow("transposition, right arrow") << true << right << 36 << "C#" << noteOn(49);
        QTest::newRow("transposition, left arrow") << true << left << 36 << "B" << noteOn(47);
        QTest::newRow("transposition, track right of the thumb") << true << trackRight << 36 << "C#" << noteOn(49);
        QTest::newRow("transposition, track left of the thumb") << true << trackLeft << 36 << "B" << noteOn(47);
        QTest::newRow("transposition, right arrow at the top") << true << right << 63 << "D#" << noteOn(75);
        QTest::newRow("transposition, left arrow at the bottom") << true << left << 0 << "C" << noteOn(12);
        QTest::newRow("velocity, left arrow") << false << left << 127 << "C" << noteOn(48, 126);
        QTest::newRow("velocity, track left of the thumb") << false << trackLeft << 127 << "C" << noteOn(48, 126);
        QTest::newRow("velocity, right arrow at the top") << false << right << 127 << "C" << noteOn(48, 127);
        QTest::newRow("velocity, right arrow from silence") << false << right << 0 << "C" << noteOn(48, 1);
    }

    void scrollBarClicksStepByOne()
    {
        QFETCH(bool, transposition);
        QFETCH(int, part);
        QFETCH(int, start);
        QFETCH(QString, name);
        QFETCH(quint32, key12);
        QScrollBar *bar = transposition ? form->HScroll1 : form->HScroll2;
        bar->setValue(start);

        QTest::mouseClick(bar, Qt::LeftButton, {}, centreOf(bar, QStyle::SubControl(part)));
        QCOMPARE(form->Label2->text(), name);
        f->platform.clearCalls();
        QTest::mousePress(window, Qt::LeftButton, {}, kKey12);
        QCOMPARE(sent().back(), key12);
    }

    void draggingAThumbReportsOnceOnRelease_data()
    {
        QTest::addColumn<bool>("transposition");
        QTest::addColumn<int>("dragBy");  // pixels, well past the end of the bar
        QTest::addColumn<QString>("name");
        QTest::addColumn<quint32>("key12");
        QTest::newRow("transposition to the top") << true << 300 << "D#" << noteOn(75);
        QTest::newRow("velocity to silence") << false << -300 << "C" << noteOn(48, 0);
    }

    void draggingAThumbReportsOnceOnRelease()
    {
        QFETCH(bool, transposition);
        QFETCH(int, dragBy);
        QFETCH(QString, name);
        QFETCH(quint32, key12);
        QScrollBar *bar = transposition ? form->HScroll1 : form->HScroll2;
        QSignalSpy changes(bar, &QScrollBar::valueChanged);

        const QPoint thumb = centreOf(bar, QStyle::SC_ScrollBarSlider);
        QTest::mousePress(bar, Qt::LeftButton, {}, thumb);
        for (int step = 1; step <= 10; ++step)
            QTest::mouseMove(bar, thumb + QPoint(dragBy * step / 10, 0));
        QCOMPARE(changes.count(), 0);
        QCOMPARE(form->Label2->text(), QStringLiteral("C"));
        QTest::mouseRelease(bar, Qt::LeftButton, {}, thumb + QPoint(dragBy, 0));
        QCOMPARE(changes.count(), 1);
        QCOMPARE(form->Label2->text(), name);

        f->platform.clearCalls();
        QTest::mousePress(window, Qt::LeftButton, {}, kKey12);
        QCOMPARE(sent().back(), key12);
    }

    void noteOffFollowsTheNoteThatSoundedAcrossTransposition()
    {
        QTest::mousePress(window, Qt::LeftButton, {}, kKey10);
        QTest::mouseRelease(window, Qt::LeftButton, {}, kKey10);
        form->HScroll1->setValue(40);
        f->platform.clearCalls();
        QTest::mousePress(window, Qt::LeftButton, {}, kKey12);
        QCOMPARE(sent(), (std::vector<std::uint32_t>{noteOff(46), noteOn(52)}));
    }

    // The mute pad stops the 65 notes the keys play now, and the one sounded last only where a
    // transposition since has left it outside them.
    void mutePadReachesTheNoteThatSounded_data()
    {
        QTest::addColumn<int>("key");   // played at the start-up transposition: note 36 + key
        QTest::addColumn<int>("base");  // the transposition the mute comes at
        QTest::addColumn<bool>("outside");
        QTest::newRow("far above the keys") << 64 << 0 << true;
        QTest::newRow("one above the top key") << 64 << 35 << true;
        QTest::newRow("the top key") << 63 << 35 << false;
        QTest::newRow("the bottom key") << 1 << 37 << false;
        QTest::newRow("one below the bottom key") << 0 << 37 << true;
    }

    void mutePadReachesTheNoteThatSounded()
    {
        QFETCH(int, key);
        QFETCH(int, base);
        QFETCH(bool, outside);
        const QRect r = form->Picture1[key]->geometry();
        QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(r.center().x(), r.bottom() - 2));  // below any black key
        form->HScroll1->setValue(base);
        f->platform.clearCalls();
        form->mutePad();
        std::vector<std::uint32_t> expected;
        for (int note = base; note <= base + 64; ++note)
            expected.push_back(noteOff(note));
        if (outside)
            expected.push_back(noteOff(36 + key));
        QCOMPARE(sent(), expected);
    }

    void afterAMuteNothingTheProgramStartedStillSounds()
    {
        // Random presses, glides, polls, transpositions, volumes, device switches and
        // mutes; after a final mute no note may sound on any device.
        const std::array<QPoint, 6> keys = {kKey10, kKey11, kKey12, kKey20, kKey64, QPoint(8, 100)};
        for (quint32 seed = 1; seed <= 20; ++seed) {
            QRandomGenerator rng(seed);
            bool down = false;
            for (int step = 0; step < 60; ++step) {
                const QPoint key = keys[rng.bounded(int(keys.size()))];
                switch (rng.bounded(8)) {
                case 0:
                    if (!down)
                        QTest::mousePress(window, Qt::LeftButton, {}, key), down = true;
                    break;
                case 1:
                    QTest::mouseMove(window, key);
                    break;
                case 2:
                    if (down)
                        QTest::mouseRelease(window, Qt::LeftButton, {}, key), down = false;
                    break;
                case 3:
                    form->Timer1_Timer();
                    break;
                case 4:
                    form->HScroll1->setValue(rng.bounded(64));
                    break;
                case 5:
                    form->HScroll2->setValue(rng.bounded(128));
                    break;
                case 6:
                    form->ComDevies->choose(rng.bounded(form->ComDevies->count()));
                    break;
                case 7:
                    if (!down)
                        form->mutePad();
                    break;
                }
            }
            if (down)
                QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(2, 2));
            form->mutePad();

            const SoundingModel model(f->platform);
            QVERIFY2(model.invalid.isEmpty(), qPrintable(model.invalid.join(' ')));
            QVERIFY2(model.notes().isEmpty(), qPrintable(QStringLiteral("seed %1").arg(seed)));
        }
    }
};

QTEST_MAIN(TestKeyboard)
#include "tst_keyboard.moc"
