#include "midiout.h"
#include "recordingplatform.h"

#include <QTest>
#include <functional>

using midi::RecordingPlatform;
using Op = RecordingPlatform::Op;

namespace {

class FakeList final : public midi::DeviceList
{
public:
    QStringList texts;
    QList<std::int16_t> values;
    void clear() override { texts.clear(), values.clear(); }
    void addItem(const QString &text) override { texts << text, values << 0; }
    int newIndex() const override { return int(texts.size()) - 1; }
    void setItemData(int index, std::int16_t value) override { values[index] = value; }
    std::int16_t itemData(int index) const override { return values.at(index); }
};

class FakeBox final : public midi::ErrorBox
{
public:
    QStringList shown;
    QStringList captions;
    std::function<void()> whileOpen;  // what happens while the modal box waits for the user
    void show(const QString &text, const QString &caption) override
    {
        shown << text, captions << caption;
        if (whileOpen)
            whileOpen();
    }
};

} // namespace

class TestMidiOut : public QObject
{
    Q_OBJECT

private:
    RecordingPlatform *platform = nullptr;
    FakeBox *box = nullptr;

    void openDevice0()
    {
        platform->devices = {QStringLiteral("Port A")};
        QVERIFY(MidiOut::OpenDevice(0));
        platform->clearCalls();
    }

private slots:
    void init()
    {
        platform = new RecordingPlatform;
        box = new FakeBox;
        MidiOut::setPlatform(platform);
        MidiOut::setMessageBox(box);
    }

    void cleanup()
    {
        MidiOut::CloseDevice();
        MidiOut::setPlatform(nullptr);
        MidiOut::setMessageBox(nullptr);
        delete platform;
        delete box;
    }

    void channelMessages_data()
    {
        QTest::addColumn<std::function<void()>>("send");
        QTest::addColumn<QList<quint32>>("expected");

        QTest::newRow("note on 36 full velocity") << std::function<void()>([] { MidiOut::NoteOn(0, 36, 127); })
                                                  << QList<quint32>{0x007F2490};
        QTest::newRow("note off is a true note-off") << std::function<void()>([] { MidiOut::NoteOff(0, 60); })
                                                     << QList<quint32>{0x00003C80};
        QTest::newRow("note on velocity 0") << std::function<void()>([] { MidiOut::NoteOn(0, 0, 0); })
                                            << QList<quint32>{0x00000090};
        QTest::newRow("top note on last channel") << std::function<void()>([] { MidiOut::NoteOn(15, 127, 1); })
                                                  << QList<quint32>{0x00017F9F};
        QTest::newRow("control change") << std::function<void()>([] { MidiOut::ControlChange(0, 7, 100); })
                                        << QList<quint32>{0x006407B0};
        QTest::newRow("program change sends bank then program")
            << std::function<void()>([] { MidiOut::ProgramChange(0, 0, 9); }) << QList<quint32>{0x000000B0, 0x000009C0};
        QTest::newRow("program change with bank") << std::function<void()>([] { MidiOut::ProgramChange(1, 2, 127); })
                                                  << QList<quint32>{0x000200B1, 0x00007FC1};
        QTest::newRow("raw message top bytes") << std::function<void()>([] { MidiOut::SendShortMessage(0xFF, 127, 127); })
                                               << QList<quint32>{0x007F7FFF};
    }

    void channelMessages()
    {
        QFETCH(std::function<void()>, send);
        QFETCH(QList<quint32>, expected);
        openDevice0();
        send();
        const auto sent = platform->messages();
        QCOMPARE(QList<quint32>(sent.begin(), sent.end()), expected);
        QVERIFY(box->shown.isEmpty());
    }

    void valuesOutsideMidiAreNotSent_data()
    {
        QTest::addColumn<std::function<void()>>("send");
        QTest::addColumn<QString>("named");

        auto row = [](const char *name, std::function<void()> f, const char *named) {
            QTest::newRow(name) << f << QString::fromUtf8(named);
        };
        row("note 128", [] { MidiOut::NoteOn(0, 128, 100); }, "音符 128");
        row("negative note", [] { MidiOut::NoteOff(0, -1); }, "音符 -1");
        row("velocity 128", [] { MidiOut::NoteOn(0, 60, 128); }, "力度 128");
        row("channel 16 would make another status", [] { MidiOut::NoteOn(16, 60, 100); }, "通道 16");
        row("negative channel", [] { MidiOut::NoteOff(-1, 60); }, "通道 -1");
        row("program 128 sends no bank select either", [] { MidiOut::ProgramChange(0, 0, 128); }, "音色号 128");
        row("bank 200", [] { MidiOut::ProgramChange(0, 200, 1); }, "音色库号 200");
        row("controller 128", [] { MidiOut::ControlChange(0, 128, 0); }, "控制器号 128");
        row("status below 0x80", [] { MidiOut::SendShortMessage(0x7F, 0, 0); }, "状态字节 127");
        row("status above a byte", [] { MidiOut::SendShortMessage(0x100, 0, 0); }, "状态字节 256");
        row("data1 that would overflow when shifted", [] { MidiOut::SendShortMessage(0x90, 32767, 0); },
            "第一个数据字节 32767");
        row("most negative data1", [] { MidiOut::SendShortMessage(0x90, -32768, 0); }, "第一个数据字节 -32768");
        row("data2 255", [] { MidiOut::SendShortMessage(0x90, 1, 255); }, "第二个数据字节 255");
    }

    void valuesOutsideMidiAreNotSent()
    {
        QFETCH(std::function<void()>, send);
        QFETCH(QString, named);
        openDevice0();
        send();
        QVERIFY(platform->messages().empty());
        QCOMPARE(box->shown.size(), 1);
        QVERIFY2(box->shown.first().contains(named), qPrintable(box->shown.first()));
        QCOMPARE(box->captions.first(), QStringLiteral("Tirrel"));
    }

    void deviceList_data()
    {
        QTest::addColumn<bool>("mapperAnswers");
        QTest::addColumn<QList<bool>>("deviceAnswers");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QList<std::int16_t>>("values");

        QTest::newRow("mapper and two devices") << true << QList<bool>{true, true}
                                                << QStringList{"Mapper", "Dev 0", "Dev 1"}
                                                << QList<std::int16_t>{-1, 0, 1};
        QTest::newRow("failing mapper, device 0 comes first") << false << QList<bool>{true}
                                                              << QStringList{"Dev 0"} << QList<std::int16_t>{0};
        QTest::newRow("failing id leaves a gap") << true << QList<bool>{true, false, true}
                                                 << QStringList{"Mapper", "Dev 0", "Dev 2"}
                                                 << QList<std::int16_t>{-1, 0, 2};
        QTest::newRow("nothing at all") << false << QList<bool>{} << QStringList{} << QList<std::int16_t>{};
    }

    void deviceList()
    {
        QFETCH(bool, mapperAnswers);
        QFETCH(QList<bool>, deviceAnswers);
        QFETCH(QStringList, texts);
        QFETCH(QList<std::int16_t>, values);

        if (!mapperAnswers)
            platform->mapper.reset();
        for (int i = 0; i < deviceAnswers.size(); ++i)
            platform->devices.push_back(deviceAnswers[i] ? std::optional(QStringLiteral("Dev %1").arg(i)) : std::nullopt);

        FakeList list;
        list.addItem(QStringLiteral("stale entry"));
        QCOMPARE(MidiOut::FillDeviceList(list), !texts.isEmpty());
        QCOMPARE(list.texts, texts);
        QCOMPARE(list.values, values);
        QVERIFY(box->shown.isEmpty());
    }

    void productNameIsCutWithoutSplittingACharacter()
    {
        // 30 ASCII units and an emoji (a surrogate pair) would need 32 units; the pair must go whole.
        const QString name = QString(30, u'x') + QString::fromUtf8("🎹") + QStringLiteral("tail");
        platform->devices = {name};
        platform->mapper.reset();
        FakeList list;
        MidiOut::FillDeviceList(list);
        QCOMPARE(list.texts, QStringList{QString(30, u'x')});

        platform->devices = {QString(29, u'y') + QString::fromUtf8("🎹") + QStringLiteral("tail")};
        MidiOut::FillDeviceList(list);
        QCOMPARE(list.texts, QStringList{QString(29, u'y') + QString::fromUtf8("🎹")});
    }

    void openPassesTheIdWidenedWithItsSign()
    {
        QVERIFY(MidiOut::OpenDevice(-1));
        QCOMPARE(platform->calls.back().op, Op::Open);
        QCOMPARE(platform->calls.back().deviceOrHandle, midi::kMidiMapper);
        QVERIFY(MidiOut::hMidiOut != 0);
    }

    void openClosesTheOpenDeviceFirst()
    {
        platform->devices = {QStringLiteral("A"), QStringLiteral("B")};
        QVERIFY(MidiOut::OpenDevice(0));
        const midi::HMidiOut first = MidiOut::hMidiOut;
        platform->clearCalls();

        QVERIFY(MidiOut::OpenDevice(1));
        QCOMPARE(platform->calls.size(), size_t(3));
        QCOMPARE(platform->calls[0].op, Op::ShortMsg);
        QCOMPARE(platform->calls[0].deviceOrHandle, first);
        QCOMPARE(platform->calls[0].value, 0x00007BB0u);  // all notes off before letting go
        QCOMPARE(platform->calls[1].op, Op::Close);
        QCOMPARE(platform->calls[1].deviceOrHandle, first);
        QCOMPARE(platform->calls[2].op, Op::Open);
        QCOMPARE(platform->calls[2].deviceOrHandle, 1u);
        QCOMPARE(platform->deviceOf(MidiOut::hMidiOut), std::optional<std::uint32_t>(1));
    }

    void failingCloseShowsItsBoxAndStillForgetsTheHandle()
    {
        openDevice0();
        platform->closeResult = midi::result::Error;
        platform->sendResult = midi::result::Error;  // the all-notes-off fails too, silently
        bool handleClearedWhileBoxOpen = false;
        box->whileOpen = [&] { handleClearedWhileBoxOpen = MidiOut::hMidiOut == 0; };
        MidiOut::CloseDevice();
        QCOMPARE(box->shown, QStringList{RecordingPlatform::errorText(midi::result::Error)});
        QVERIFY(handleClearedWhileBoxOpen);
        QCOMPARE(MidiOut::hMidiOut, 0u);
    }

    void failedOpenLeavesNoDeviceAndOneBox()
    {
        platform->openResult = midi::result::Allocated;
        QVERIFY(!MidiOut::OpenDevice(-1));
        QCOMPARE(MidiOut::hMidiOut, 0u);
        QCOMPARE(box->shown, QStringList{RecordingPlatform::errorText(midi::result::Allocated)});
    }

    void closeWithNothingOpenDoesNothing()
    {
        MidiOut::CloseDevice();
        QVERIFY(platform->calls.empty());
        QVERIFY(box->shown.isEmpty());
    }

    void sendingWithNoDeviceShowsTheInvalidHandleTextOnce()
    {
        MidiOut::NoteOff(0, 36);
        MidiOut::NoteOn(0, 36, 127);
        for (int i = 0; i <= 64; ++i)
            MidiOut::NoteOff(0, 36 + i);
        // Every message still reaches the platform, which refuses the zero handle.
        QCOMPARE(platform->messages().size(), size_t(67));
        QCOMPARE(box->shown, QStringList{RecordingPlatform::errorText(midi::result::InvalidHandle)});
        const auto &textCall = *std::find_if(platform->calls.begin(), platform->calls.end(),
                                             [](const auto &c) { return c.op == Op::GetErrorText; });
        QCOMPARE(textCall.value, midi::result::InvalidHandle);
    }

    void suppressionLiftsAfterSuccessOrDeviceChange()
    {
        openDevice0();
        platform->sendResult = midi::result::MidiNotReady;
        MidiOut::NoteOn(0, 60, 100);
        MidiOut::NoteOn(0, 61, 100);
        QCOMPARE(box->shown.size(), 1);

        platform->sendResult = midi::result::MidiNoDevice;  // a new failure is news
        MidiOut::NoteOn(0, 62, 100);
        QCOMPARE(box->shown.size(), 2);

        platform->sendResult = midi::result::NoError;
        MidiOut::NoteOn(0, 63, 100);
        platform->sendResult = midi::result::MidiNoDevice;
        MidiOut::NoteOn(0, 64, 100);
        QCOMPARE(box->shown.size(), 3);

        MidiOut::OpenDevice(0);
        MidiOut::NoteOn(0, 65, 100);
        QCOMPARE(box->shown.size(), 4);
    }

    void noBoxOpensWhileOneIsOpen()
    {
        // Timers and input run on under a modal box; their failures must not stack boxes.
        int nestedCalls = 0;
        box->whileOpen = [&] {
            ++nestedCalls;
            platform->sendResult = midi::result::MidiNotReady;
            MidiOut::NoteOn(0, 60, 100);
            MidiOut::ProgramChange(0, 0, 200);
        };
        MidiOut::NoteOn(0, 60, 100);  // no device open
        QCOMPARE(nestedCalls, 1);
        QCOMPARE(box->shown.size(), 1);

        // Once the box is gone, the next distinct failure is shown again.
        box->whileOpen = nullptr;
        MidiOut::ProgramChange(0, 0, 200);
        QCOMPARE(box->shown.size(), 2);
    }

    void errorTextWithoutNulShowsTheWholeBuffer()
    {
        // A platform that writes nothing leaves the 128 spaces the buffer was filled with.
        class Silent final : public midi::MidiPlatform
        {
        public:
            std::uint32_t deviceCount() override { return 0; }
            midi::MmResult deviceCaps(std::uint32_t, midi::DeviceCaps &) override { return 2; }
            midi::MmResult open(midi::HMidiOut &, std::uint32_t, std::uintptr_t, std::uintptr_t,
                                std::uint32_t) override { return 2; }
            midi::MmResult close(midi::HMidiOut) override { return 5; }
            midi::MmResult send(midi::HMidiOut, std::uint32_t) override { return 5; }
            midi::MmResult errorText(midi::MmResult, char16_t *, std::uint32_t) override { return 9; }
        } silent;
        MidiOut::setPlatform(&silent);
        MidiOut::ShowMidiError(5);
        MidiOut::setPlatform(platform);
        QCOMPARE(box->shown, QStringList{QString(128, u' ')});
    }
};

QTEST_GUILESS_MAIN(TestMidiOut)
#include "tst_midiout.moc"
