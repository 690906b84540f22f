#include "boxwatcher.h"
#include "formfixture.h"
#include "midirecord.h"

#include "dropdownlist.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTest>

#include <map>
#include <set>

using Op = midi::RecordingPlatform::Op;
using Messages = std::vector<std::uint32_t>;

namespace {

const QString kInstrumentFileName = QStringLiteral("genmidi.txt");

constexpr std::uint32_t kBankSelect0 = 0x000000B0;
constexpr std::uint32_t kProgram9 = 0x000009C0;

// The mute pad's 65 note-offs from `base` up, then any further ones.
Messages muted(int base, std::initializer_list<int> further = {})
{
    Messages m;
    for (int i = 0; i <= 64; ++i)
        m.push_back(noteOff(base + i));
    for (int note : further)
        m.push_back(noteOff(note));
    return m;
}

Messages operator+(Messages a, const Messages &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Centres of a few keys, in window pixels, away from any overlap.
const QPoint kKey11(114, 150);
const QPoint kKey12(128, 150);
const QPoint kKey20(200, 110);  // black G#
const QPoint kKey64(610, 150);

QByteArray songFile(const QStringList &lines) { return lines.join(QStringLiteral("\r\n")).toUtf8() + "\r\n"; }


// The device-level calls, as text, so a test compares whole sequences.
QStringList deviceCalls(const midi::RecordingPlatform &platform)
{
    QStringList out;
    for (const auto &c : platform.calls) {
        if (c.op == Op::ShortMsg)
            out << QString::number(c.value, 16);
        else if (c.op == Op::Open)
            out << (c.deviceOrHandle == midi::kMidiMapper ? QStringLiteral("open mapper")
                                                           : QStringLiteral("open %1").arg(c.deviceOrHandle));
        else if (c.op == Op::Close)
            out << QStringLiteral("close");
    }
    return out;
}


} // namespace

class TestSongWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<FormFixture> f;
    Form1 *form = nullptr;

    // A window with two ports beside the mapper, the shipped instrument list and the
    // given song, shown, with the button poll left to the test.
    void start(const QStringList &song)
    {
        f = std::make_unique<FormFixture>();
        f->platform.devices = {QStringLiteral("Port A"), QStringLiteral("Port B")};
        f->writeFile(QStringLiteral("haap.txt"), songFile(song));
        form = f->startPlayable();
        QVERIFY(form);
    }

    Messages sent() const { return f->platform.messages(); }

    // One step, at once rather than on the clock; returns what it sent.
    Messages step()
    {
        f->platform.clearCalls();
        form->songPlayer().step();
        return sent();
    }

private slots:
    void cleanup()
    {
        if (form && form->isVisible())
            QTest::mouseRelease(form->windowHandle(), Qt::LeftButton, {}, QPoint(2, 2));
        f.reset();
        form = nullptr;
    }

    void fourLineSong()
    {
        start({"0", "100", "100", "End"});
        QTest::mouseClick(form->Command2, Qt::LeftButton);
        QVERIFY(form->songPlayer().isPlaying());
        QVERIFY(!form->Command2->isEnabled());
        QCOMPARE(sent(), (Messages{kBankSelect0, kProgram9}));
        QCOMPARE(form->HScroll1->value(), 32);
        QCOMPARE(form->Label2->text(), QStringLiteral("G#"));

        // Key 7 for an instant, then key 31; the note-off is for key 0, sounded last.
        QCOMPARE(step(), (Messages{noteOff(32), noteOn(39), noteOff(39), noteOn(63)}));
        QCOMPARE(SoundingModel(f->platform).notes(), QList<int>{63});
        for (int hold = 0; hold < 2; ++hold) {
            QCOMPARE(step(), Messages{});
            QVERIFY(!form->Command2->isEnabled());
        }

        // A click on the disabled button does nothing, nor does a second start.
        f->platform.clearCalls();
        QTest::mouseClick(form->Command2, Qt::LeftButton);
        form->Command2_Click();
        QCOMPARE(sent(), Messages{});

        QCOMPARE(step(), muted(32));
        QVERIFY(!form->songPlayer().isPlaying());
        QVERIFY(form->Command2->isEnabled());
        QCOMPARE(form->HScroll1->value(), 32);
        QCOMPARE(form->ComSounds->listIndex(), 9);
        QCOMPARE(form->ComDevies->listIndex(), 0);

        // And it plays again.
        f->platform.clearCalls();
        QTest::mouseClick(form->Command2, Qt::LeftButton);
        QVERIFY(form->songPlayer().isPlaying());
        QCOMPARE(step(), (Messages{noteOff(63), noteOn(39), noteOff(39), noteOn(63)}));
    }

    void startSelectsDeviceZeroInstrumentNineAndTransposition32_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<int>("instrument");
        QTest::addColumn<int>("transposition");
        QTest::addColumn<QStringList>("calls");

        QTest::newRow("as after start-up") << 0 << 0 << 36 << QStringList{"b0", "9c0"};
        QTest::newRow("instrument 9 already selected") << 0 << 9 << 36 << QStringList{"b0", "9c0"};
        QTest::newRow("transposition already 32") << 0 << 0 << 32 << QStringList{"b0", "9c0"};
        // The old device is silenced and closed before the mapper opens and hears the program.
        QTest::newRow("another device selected")
            << 2 << 9 << 36 << QStringList{"7bb0", "close", "open mapper", "b0", "9c0"};
    }

    void startSelectsDeviceZeroInstrumentNineAndTransposition32()
    {
        QFETCH(int, device);
        QFETCH(int, instrument);
        QFETCH(int, transposition);
        QFETCH(QStringList, calls);

        start({"0", "End"});
        if (device != 0)
            chooseWithKeyboard(*form->ComDevies, device);
        if (instrument != 0)
            chooseWithKeyboard(*form->ComSounds, instrument);
        form->HScroll1->setValue(transposition);
        f->platform.clearCalls();

        QTest::mouseClick(form->Command2, Qt::LeftButton);
        QCOMPARE(deviceCalls(f->platform), calls);
        QCOMPARE(form->ComDevies->listIndex(), 0);
        QCOMPARE(f->platform.deviceOf(f->midi.handle()), std::optional<std::uint32_t>(midi::kMidiMapper));
        QCOMPARE(form->ComSounds->listIndex(), 9);
        QCOMPARE(form->HScroll1->value(), 32);
        QCOMPARE(form->keys().baseNote(), 32);
        QCOMPARE(form->Label2->text(), QStringLiteral("G#"));
        QVERIFY(!form->Command2->isEnabled());
    }

    void scrollBarsMovedDuringASongTakeEffectFromTheNextStep_data()
    {
        QTest::addColumn<QStringList>("song");
        QTest::addColumn<int>("transposition");
        QTest::addColumn<int>("velocity");
        QTest::addColumn<Messages>("secondStep");
        QTest::addColumn<Messages>("end");

        QTest::newRow("up and softer") << QStringList{"0", "0", "End"} << 40 << 100
                                       << Messages{noteOff(63), noteOn(47, 100), noteOff(47), noteOn(71, 100)}
                                       << muted(40);
        QTest::newRow("silent") << QStringList{"0", "5", "End"} << 32 << 0
                                << Messages{noteOff(63), noteOn(44, 0), noteOff(44), noteOn(68, 0)} << muted(32);
        // Note 96 lies above 0..64; the mute pad still reaches it.
        QTest::newRow("down to 0 under a held high note")
            << QStringList{"33", "100", "End"} << 0 << 127 << Messages{} << muted(0, {96});
    }

    void scrollBarsMovedDuringASongTakeEffectFromTheNextStep()
    {
        QFETCH(QStringList, song);
        QFETCH(int, transposition);
        QFETCH(int, velocity);
        QFETCH(Messages, secondStep);
        QFETCH(Messages, end);

        start(song);
        QTest::mouseClick(form->Command2, Qt::LeftButton);
        QVERIFY(!step().empty());

        f->platform.clearCalls();
        form->HScroll1->setValue(transposition);
        form->HScroll2->setValue(velocity);
        QCOMPARE(sent(), Messages{});  // nothing changes until the next step

        QCOMPARE(step(), secondStep);
        QCOMPARE(step(), end);
        QVERIFY(form->Command2->isEnabled());
        QCOMPARE(form->HScroll1->value(), transposition);
        QCOMPARE(SoundingModel(f->platform).notes(), QList<int>{});
    }

    void mouseAndSongShareTheKeyboard()
    {
        start({"0", "100", "5", "End"});
        // The output places messages in time if they come 5 ms ahead: the song's notes
        // carry their step's time, the mouse's go as soon as possible.
        constexpr std::int64_t kLead = 5'000'000;
        f->platform.lead = kLead;
        QList<std::int64_t> expectedDues;
        const auto stepDue = [&] { return form->songPlayer().nextDeadlineNs() + kLead; };
        const auto expectDue = [&](qsizetype messages, std::int64_t due) { expectedDues << QList<std::int64_t>(messages, due); };
        QWindow *window = form->windowHandle();
        QTest::mouseClick(form->Command2, Qt::LeftButton);
        std::int64_t due = stepDue();
        Messages expected = step();
        expectDue(expected.size(), due);

        QTest::mousePress(window, Qt::LeftButton, {}, kKey12);  // stops the song's note
        QTest::mouseMove(window, kKey11);
        expected = expected + Messages{noteOff(63), noteOn(44), noteOff(44), noteOn(43)};
        expectDue(4, 0);
        form->songPlayer().step();  // a hold step
        // After any step the held key strikes anew on its next notification.
        QTest::mouseMove(window, kKey11 + QPoint(2, 2));
        expected = expected + Messages{noteOff(43), noteOn(43)};
        expectDue(2, 0);
        due = stepDue();
        form->songPlayer().step();  // keys 12 and 36
        expected = expected + Messages{noteOff(43), noteOn(44), noteOff(44), noteOn(68)};
        expectDue(4, due);
        QTest::mouseMove(window, kKey11 + QPoint(1, 1));
        expected = expected + Messages{noteOff(68), noteOn(43)};
        expectDue(2, 0);
        QTest::mouseRelease(window, Qt::LeftButton, {}, kKey11);
        due = stepDue();
        form->songPlayer().step();  // End
        expected = expected + muted(32);
        expectDue(muted(32).size(), due);

        QCOMPARE(sent(), expected);
        QList<std::int64_t> dues;
        for (const auto &call : f->platform.calls)
            if (call.op == midi::RecordingPlatform::Op::ShortMsg)
                dues << call.dueNs;
        QCOMPARE(dues.mid(dues.size() - expectedDues.size()), expectedDues);
        QVERIFY(form->Command2->isEnabled());
        QCOMPARE(SoundingModel(f->platform).notes(), QList<int>{});
    }

    void nothingHangsAfterASongPlayedAlongWith()
    {
        // Random songs played along with random presses, glides, polls, transpositions
        // and volumes; once the song has ended no note may sound.
        const std::array<QPoint, 5> keys = {kKey11, kKey12, kKey20, kKey64, QPoint(8, 100)};
        for (quint32 seed = 1; seed <= 12; ++seed) {
            QRandomGenerator rng(seed);
            QStringList song;
            for (int i = 0; i < 30; ++i) {
                const int pick = rng.bounded(10);
                song << (pick < 7 ? QString::number(rng.bounded(-7, 34)) : pick < 9 ? QStringLiteral("100")
                                                                                   : QStringLiteral("40"));
            }
            song << QStringLiteral("End");
            start(song);
            QWindow *window = form->windowHandle();
            QTest::mouseClick(form->Command2, Qt::LeftButton);

            bool down = false;
            int actions = 0;
            while (form->songPlayer().isPlaying()) {
                QVERIFY2(++actions < 2000, "the song never ended");
                const QPoint key = keys[rng.bounded(int(keys.size()))];
                switch (rng.bounded(7)) {
                case 0:
                    form->songPlayer().step();
                    break;
                case 1:
                    if (!down)
                        QTest::mousePress(window, Qt::LeftButton, {}, key), down = true;
                    break;
                case 2:
                    QTest::mouseMove(window, key);
                    break;
                case 3:
                    if (down)
                        QTest::mouseRelease(window, Qt::LeftButton, {}, key), down = false;
                    break;
                case 4:
                    form->Timer1_Timer();
                    break;
                case 5:
                    form->HScroll1->setValue(rng.bounded(64));
                    break;
                case 6:
                    form->HScroll2->setValue(rng.bounded(128));
                    break;
                }
            }
            QVERIFY(form->Command2->isEnabled());
            const SoundingModel model(f->platform);
            QVERIFY2(model.invalid.isEmpty(), qPrintable(model.invalid.join(' ')));
            QVERIFY2(model.notes().isEmpty(), qPrintable(QStringLiteral("seed %1").arg(seed)));
            cleanup();
        }
    }

    void missingSongChangesNothing()
    {
        start({"0", "End"});
        chooseWithKeyboard(*form->ComDevies, 1);
        const midi::HMidiOut handle = f->midi.handle();
        chooseWithKeyboard(*form->ComSounds, 3);
        form->HScroll1->setValue(40);
        const QString path = f->dir.filePath(QStringLiteral("haap.txt"));
        QVERIFY(QFile::remove(path));
        f->platform.clearCalls();

        BoxWatcher boxes;
        QTest::mouseClick(form->Command2, Qt::LeftButton);
        QCOMPARE(boxes.texts.size(), 1);
        const QRegularExpression sentence(
            QStringLiteral("^无法读取文件 %1：.+。$").arg(QRegularExpression::escape(QDir::toNativeSeparators(path))));
        QVERIFY2(sentence.match(boxes.texts.first()).hasMatch(), qPrintable(boxes.texts.first()));
        QCOMPARE(deviceCalls(f->platform), QStringList{});
        QCOMPARE(form->ComDevies->listIndex(), 1);
        QCOMPARE(f->midi.handle(), handle);
        QCOMPARE(form->ComSounds->listIndex(), 3);
        QCOMPARE(form->HScroll1->value(), 40);
        QCOMPARE(form->Label2->text(), QStringLiteral("E"));
        QVERIFY(form->Command2->isEnabled());
        QVERIFY(!form->songPlayer().isPlaying());

        // Put back, the song plays.
        f->writeFile(QStringLiteral("haap.txt"), songFile({"0", "End"}));
        QTest::mouseClick(form->Command2, Qt::LeftButton);
        QVERIFY(form->songPlayer().isPlaying());
        QCOMPARE(boxes.texts.size(), 1);
    }

    void fewerThanTenInstrumentsLeaveTheInstrumentAsItIs_data()
    {
        QTest::addColumn<int>("instruments");
        QTest::addColumn<int>("selected");  // before the song, and after it starts
        QTest::addColumn<Messages>("atStart");

        QTest::newRow("empty list") << 0 << -1 << Messages{};
        QTest::newRow("nine, entry 8 the last") << 9 << 3 << Messages{};
        QTest::newRow("ten, entry 9 the last") << 10 << 9 << Messages{kBankSelect0, kProgram9};
    }

    void fewerThanTenInstrumentsLeaveTheInstrumentAsItIs()
    {
        QFETCH(int, instruments);
        QFETCH(int, selected);
        QFETCH(Messages, atStart);

        f = std::make_unique<FormFixture>();
        QByteArray names;
        for (int i = 0; i < instruments; ++i)
            names += "Instrument " + QByteArray::number(i) + "\r\n";
        f->writeFile(kInstrumentFileName, names);
        f->writeFile(QStringLiteral("haap.txt"), songFile({"0", "End"}));
        form = &f->start();
        if (instruments == 9)
            chooseWithKeyboard(*form->ComSounds, 3);
        f->platform.clearCalls();

        form->Command2_Click();
        QCOMPARE(sent(), atStart);
        QCOMPARE(form->ComSounds->listIndex(), selected);
        QVERIFY(form->songPlayer().isPlaying());
        QCOMPARE(step(), (Messages{noteOff(32), noteOn(39), noteOff(39), noteOn(63)}));
        QCOMPARE(step(), muted(32));
        QVERIFY(form->Command2->isEnabled());
    }

    void closingTheWindowStopsTheSongAtOnce_data()
    {
        QTest::addColumn<bool>("power");
        QTest::newRow("close box") << false;
        QTest::newRow("Power button") << true;
    }

    void closingTheWindowStopsTheSongAtOnce()
    {
        QFETCH(bool, power);
        start({"0", "0", "0", "0", "End"});
        QTest::mouseClick(form->Command2, Qt::LeftButton);
        step();
        f->platform.clearCalls();

        // A step after the close would send to no device, and its error would show.
        BoxWatcher boxes;
        if (power)
            QTest::mouseClick(form->Command1, Qt::LeftButton);
        else
            form->close();
        QCOMPARE(f->endCalls, 1);
        QVERIFY(!form->songPlayer().isPlaying());
        QCOMPARE(deviceCalls(f->platform), (QStringList{"7bb0", "close"}));

        // Neither the timer nor a late tick plays another step.
        f->platform.clearCalls();
        QTest::qWait(3 * song::kStepMs);
        form->songPlayer().step();
        QCOMPARE(deviceCalls(f->platform), QStringList{});
        QCOMPARE(boxes.texts, QStringList{});
        QCOMPARE(f->endCalls, 1);
    }

    void realTimeSongPlaysToTheEnd()
    {
        start({"0", "100", "End"});
        const std::int64_t before = song::steadyNow();
        QTest::mouseClick(form->Command2, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(form->Command2->isEnabled(), 5000);
        const double elapsedMs = double(song::steadyNow() - before) / 1e6;

        QCOMPARE(sent(), (Messages{kBankSelect0, kProgram9, noteOff(32), noteOn(39), noteOff(39), noteOn(63)}
                          + muted(32)));
        // Two steps and the End, each a whole step after the one before.
        QVERIFY2(elapsedMs >= 3 * song::kStepMs - 0.5, qPrintable(QString::number(elapsedMs)));
    }
};

QTEST_MAIN(TestSongWindow)
#include "tst_song_window.moc"
