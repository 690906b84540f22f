#include "midi/midiout.h"
#include "recording/recordingplatform.h"
#include "router/backend.h"
#include "router/systemplatform.h"

#include <QTest>
#include <functional>
#include <stdexcept>

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
    std::function<void()> whileOpen;  // what happens while the modal box waits for the user
    void show(const QString &text) override
    {
        shown << text;
        if (whileOpen)
            whileOpen();
    }
};

using Send = std::function<void(midi::MidiOut &)>;

// A backend of the router with the ports named, or none when its system cannot be reached;
// its outputs log the port they play to and the bytes.
using Delivered = std::vector<std::pair<std::string, QByteArray>>;

class FakeBackend final : public midi::Backend
{
public:
    FakeBackend(QStringList names, Delivered &log, bool reachable = true) : names_(names), log_(log), reachable_(reachable) {}

    std::vector<midi::Port> list() override
    {
        if (!reachable_)
            throw std::runtime_error("no such system here");
        std::vector<midi::Port> ports;
        for (const QString &name : names_) {
            ports.push_back({name.toStdString(), {}});
            midi::setProductName(ports.back().caps, name.toStdU16String());
        }
        return ports;
    }
    std::unique_ptr<midi::Output> open(const midi::Port &port, midi::Failure &) override
    {
        struct Logged final : midi::Output
        {
            Logged(std::string port, Delivered &log) : port(std::move(port)), log(log) {}
            std::optional<midi::Failure> send(midi::ShortMessage message) override
            {
                log.emplace_back(port, QByteArray(reinterpret_cast<const char *>(message.bytes()), qsizetype(message.size())));
                return std::nullopt;
            }
            std::string port;
            Delivered &log;
        };
        return std::make_unique<Logged>(port.name, log_);
    }

private:
    QStringList names_;
    Delivered &log_;
    bool reachable_;
};

} // namespace

class TestMidiOut : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<RecordingPlatform> platform;
    std::unique_ptr<FakeBox> box;
    std::unique_ptr<midi::MidiOut> midi;

    void openDevice0()
    {
        platform->devices = {QStringLiteral("Port A")};
        QVERIFY(midi->openDevice(0));
        platform->clearCalls();
    }

private slots:
    void init()
    {
        platform = std::make_unique<RecordingPlatform>();
        box = std::make_unique<FakeBox>();
        midi = std::make_unique<midi::MidiOut>(*platform);
        midi->setErrorBox(box.get());
    }

    void cleanup()
    {
        midi.reset();
        box.reset();
        platform.reset();
    }

    void channelMessages_data()
    {
        QTest::addColumn<Send>("send");
        QTest::addColumn<QList<quint32>>("expected");

        QTest::newRow("note on 36 full velocity") << Send([](midi::MidiOut &m) { m.noteOn(0, 36, 127); })
                                                  << QList<quint32>{0x007F2490};
        QTest::newRow("note off is a true note-off") << Send([](midi::MidiOut &m) { m.noteOff(0, 60); })
                                                     << QList<quint32>{0x00003C80};
        QTest::newRow("note on velocity 0") << Send([](midi::MidiOut &m) { m.noteOn(0, 0, 0); })
                                            << QList<quint32>{0x00000090};
        QTest::newRow("top note on last channel") << Send([](midi::MidiOut &m) { m.noteOn(15, 127, 1); })
                                                  << QList<quint32>{0x00017F9F};
        QTest::newRow("control change") << Send([](midi::MidiOut &m) { m.controlChange(0, 7, 100); })
                                        << QList<quint32>{0x006407B0};
        QTest::newRow("program change sends bank then program")
            << Send([](midi::MidiOut &m) { m.programChange(0, 0, 9); }) << QList<quint32>{0x000000B0, 0x000009C0};
        QTest::newRow("program change with bank") << Send([](midi::MidiOut &m) { m.programChange(1, 2, 127); })
                                                  << QList<quint32>{0x000200B1, 0x00007FC1};
        QTest::newRow("raw message top bytes") << Send([](midi::MidiOut &m) { m.sendShortMessage(0xFF, 127, 127); })
                                               << QList<quint32>{0x007F7FFF};
    }

    void channelMessages()
    {
        QFETCH(Send, send);
        QFETCH(QList<quint32>, expected);
        openDevice0();
        send(*midi);
        const auto sent = platform->messages();
        QCOMPARE(QList<quint32>(sent.begin(), sent.end()), expected);
        QVERIFY(box->shown.isEmpty());
    }

    // Whether a value is a short message is answered once, in front of every output: the
    // system's outputs behind the router and the recording double alike.
    void oneAnswerForEveryOutput_data()
    {
        QTest::addColumn<quint32>("message");
        QTest::addColumn<QByteArray>("sent");  // empty: refused

        QTest::newRow("note on") << 0x007F3C90u << QByteArray("\x90\x3C\x7F", 3);
        QTest::newRow("bits 24-31 carry nothing") << 0xFF7F3C90u << QByteArray("\x90\x3C\x7F", 3);
        QTest::newRow("program change, unsent byte above 0x7F") << 0x00FF09C0u << QByteArray("\xC0\x09", 2);
        QTest::newRow("timing clock, status alone") << 0x00FFFFF8u << QByteArray("\xF8", 1);
        QTest::newRow("system reset") << 0x000000FFu << QByteArray("\xFF", 1);
        QTest::newRow("no status byte") << 0x00007F3Cu << QByteArray();
        QTest::newRow("data1 with top bit") << 0x007FBC90u << QByteArray();
        QTest::newRow("data2 with top bit") << 0x00FF3C90u << QByteArray();
        QTest::newRow("system exclusive") << 0x000001F0u << QByteArray();
        QTest::newRow("0xF4, undefined") << 0x000000F4u << QByteArray();
    }

    void oneAnswerForEveryOutput()
    {
        QFETCH(quint32, message);
        QFETCH(QByteArray, sent);
        const midi::MmResult expected = sent.isEmpty() ? midi::result::InvalidParam : midi::result::NoError;
        Delivered delivered;
        midi::SystemPlatform system;
        system.setMapper(std::make_unique<FakeBackend>(QStringList{"Mapper"}, delivered));
        midi::HMidiOut handle = 0;
        QCOMPARE(system.open(handle, midi::kMidiMapper, 0, 0, 0), midi::result::NoError);
        QCOMPARE(system.send(handle, message), expected);
        QCOMPARE(system.sendAt(handle, message, midi::steadyNs()), expected);
        QCOMPARE(delivered, (sent.isEmpty() ? Delivered{} : Delivered(2, {"", sent})));
        char16_t text[midi::kMaxErrorLength] = {};
        system.errorText(midi::result::InvalidParam, text, midi::kMaxErrorLength);
        QCOMPARE(QString::fromUtf16(text).contains(QStringLiteral("0x%1").arg(message, 8, 16, QLatin1Char('0'))), sent.isEmpty());

        openDevice0();
        QCOMPARE(platform->send(midi->handle(), message), expected);
    }

    // The ports of the backends in the router's table, numbered on from one backend to the
    // next: the id the list gives opens that port, and no other.
    void deviceIdsAcrossTwoPortBackends_data()
    {
        QTest::addColumn<bool>("firstReachable");
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("opens");  // empty: no such id

        const QStringList b = {"b0", "b1"};
        QTest::newRow("first backend's last port") << true << b << 1 << "a1";
        QTest::newRow("second backend's first port follows it") << true << b << 2 << "b0";
        QTest::newRow("one past the last") << true << b << 4 << QString();
        QTest::newRow("first backend unreachable: the second's from 0") << false << b << 1 << "b1";
        QTest::newRow("second backend empty") << true << QStringList{} << 2 << QString();
    }

    void deviceIdsAcrossTwoPortBackends()
    {
        QFETCH(bool, firstReachable);
        QFETCH(QStringList, second);
        QFETCH(int, id);
        QFETCH(QString, opens);
        const QStringList first = {"a0", "a1"};
        Delivered delivered;
        midi::SystemPlatform system;
        system.addPorts(std::make_unique<FakeBackend>(first, delivered, firstReachable));
        system.addPorts(std::make_unique<FakeBackend>(second, delivered));
        midi::MidiOut overRouter(system);
        overRouter.setErrorBox(box.get());

        FakeList list;
        overRouter.fillDeviceList(list);
        QCOMPARE(list.texts, (firstReachable ? first : QStringList{}) + second);
        QCOMPARE(list.values, QList<std::int16_t>({0, 1, 2, 3}).first(list.texts.size()));
        QCOMPARE(overRouter.openDevice(std::int16_t(id)), !opens.isEmpty());
        overRouter.noteOn(0, 60, 100);
        QCOMPARE(delivered, (opens.isEmpty() ? Delivered{} : Delivered{{opens.toStdString(), "\x90\x3C\x64"}}));
        QCOMPARE(box->shown.size(), opens.isEmpty() ? 2 : 0);
    }

    void valuesOutsideMidiAreNotSent_data()
    {
        QTest::addColumn<Send>("send");
        QTest::addColumn<QString>("named");

        auto row = [](const char *name, Send f, const char *named) {
            QTest::newRow(name) << f << QString::fromUtf8(named);
        };
        row("note 128", [](midi::MidiOut &m) { m.noteOn(0, 128, 100); }, "音符 128");
        row("negative note", [](midi::MidiOut &m) { m.noteOff(0, -1); }, "音符 -1");
        row("velocity 128", [](midi::MidiOut &m) { m.noteOn(0, 60, 128); }, "力度 128");
        row("channel 16 would make another status", [](midi::MidiOut &m) { m.noteOn(16, 60, 100); }, "通道 16");
        row("negative channel", [](midi::MidiOut &m) { m.noteOff(-1, 60); }, "通道 -1");
        row("program 128 sends no bank select either", [](midi::MidiOut &m) { m.programChange(0, 0, 128); }, "音色号 128");
        row("bank 200", [](midi::MidiOut &m) { m.programChange(0, 200, 1); }, "音色库号 200");
        row("controller 128", [](midi::MidiOut &m) { m.controlChange(0, 128, 0); }, "控制器号 128");
        row("status below 0x80", [](midi::MidiOut &m) { m.sendShortMessage(0x7F, 0, 0); }, "状态字节 127");
        row("status above a byte", [](midi::MidiOut &m) { m.sendShortMessage(0x100, 0, 0); }, "状态字节 256");
        row("data1 that would overflow when shifted", [](midi::MidiOut &m) { m.sendShortMessage(0x90, 32767, 0); },
            "第一个数据字节 32767");
        row("most negative data1", [](midi::MidiOut &m) { m.sendShortMessage(0x90, -32768, 0); }, "第一个数据字节 -32768");
        row("data2 255", [](midi::MidiOut &m) { m.sendShortMessage(0x90, 1, 255); }, "第二个数据字节 255");
    }

    void valuesOutsideMidiAreNotSent()
    {
        QFETCH(Send, send);
        QFETCH(QString, named);
        openDevice0();
        send(*midi);
        QVERIFY(platform->messages().empty());
        QCOMPARE(box->shown.size(), 1);
        QVERIFY2(box->shown.first().contains(named), qPrintable(box->shown.first()));
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
        QCOMPARE(midi->fillDeviceList(list), !texts.isEmpty());
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
        midi->fillDeviceList(list);
        QCOMPARE(list.texts, QStringList{QString(30, u'x')});

        platform->devices = {QString(29, u'y') + QString::fromUtf8("🎹") + QStringLiteral("tail")};
        midi->fillDeviceList(list);
        QCOMPARE(list.texts, QStringList{QString(29, u'y') + QString::fromUtf8("🎹")});
    }

    void openPassesTheIdWidenedWithItsSign()
    {
        QVERIFY(midi->openDevice(-1));
        QCOMPARE(platform->calls.back().op, Op::Open);
        QCOMPARE(platform->calls.back().deviceOrHandle, midi::kMidiMapper);
        QVERIFY(midi->handle() != 0);
    }

    void openClosesTheOpenDeviceFirst()
    {
        platform->devices = {QStringLiteral("A"), QStringLiteral("B")};
        QVERIFY(midi->openDevice(0));
        const midi::HMidiOut first = midi->handle();
        platform->clearCalls();

        QVERIFY(midi->openDevice(1));
        QCOMPARE(platform->calls.size(), size_t(3));
        QCOMPARE(platform->calls[0].op, Op::ShortMsg);
        QCOMPARE(platform->calls[0].deviceOrHandle, first);
        QCOMPARE(platform->calls[0].value, 0x00007BB0u);  // all notes off before letting go
        QCOMPARE(platform->calls[1].op, Op::Close);
        QCOMPARE(platform->calls[1].deviceOrHandle, first);
        QCOMPARE(platform->calls[2].op, Op::Open);
        QCOMPARE(platform->calls[2].deviceOrHandle, 1u);
        QCOMPARE(platform->deviceOf(midi->handle()), std::optional<std::uint32_t>(1));
    }

    void failingCloseShowsItsBoxAndStillForgetsTheHandle()
    {
        openDevice0();
        platform->closeResult = midi::result::Error;
        platform->sendResult = midi::result::Error;  // the all-notes-off fails too, silently
        bool handleClearedWhileBoxOpen = false;
        box->whileOpen = [&] { handleClearedWhileBoxOpen = midi->handle() == 0; };
        midi->closeDevice();
        QCOMPARE(box->shown, QStringList{RecordingPlatform::errorText(midi::result::Error)});
        QVERIFY(handleClearedWhileBoxOpen);
        QCOMPARE(midi->handle(), 0u);
    }

    void failedOpenLeavesNoDeviceAndOneBox()
    {
        platform->openResult = midi::result::Allocated;
        QVERIFY(!midi->openDevice(-1));
        QCOMPARE(midi->handle(), 0u);
        QCOMPARE(box->shown, QStringList{RecordingPlatform::errorText(midi::result::Allocated)});
    }

    void closeWithNothingOpenDoesNothing()
    {
        midi->closeDevice();
        QVERIFY(platform->calls.empty());
        QVERIFY(box->shown.isEmpty());
    }

    void sendingWithNoDeviceShowsTheInvalidHandleTextOnce()
    {
        midi->noteOff(0, 36);
        midi->noteOn(0, 36, 127);
        for (int i = 0; i <= 64; ++i)
            midi->noteOff(0, 36 + i);
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
        midi->noteOn(0, 60, 100);
        midi->noteOn(0, 61, 100);
        QCOMPARE(box->shown.size(), 1);

        platform->sendResult = midi::result::MidiNoDevice;  // a new failure is news
        midi->noteOn(0, 62, 100);
        QCOMPARE(box->shown.size(), 2);

        platform->sendResult = midi::result::NoError;
        midi->noteOn(0, 63, 100);
        platform->sendResult = midi::result::MidiNoDevice;
        midi->noteOn(0, 64, 100);
        QCOMPARE(box->shown.size(), 3);

        midi->openDevice(0);
        midi->noteOn(0, 65, 100);
        QCOMPARE(box->shown.size(), 4);
    }

    void noBoxOpensWhileOneIsOpen()
    {
        // Timers and input run on under a modal box; their failures must not stack boxes.
        int nestedCalls = 0;
        box->whileOpen = [&] {
            ++nestedCalls;
            platform->sendResult = midi::result::MidiNotReady;
            midi->noteOn(0, 60, 100);
            midi->programChange(0, 0, 200);
        };
        midi->noteOn(0, 60, 100);  // no device open
        QCOMPARE(nestedCalls, 1);
        QCOMPARE(box->shown.size(), 1);

        // Once the box is gone, the next distinct failure is shown again.
        box->whileOpen = nullptr;
        midi->programChange(0, 0, 200);
        QCOMPARE(box->shown.size(), 2);
    }

    void destructionSilencesAndClosesWithoutABox()
    {
        openDevice0();
        const midi::HMidiOut open = midi->handle();
        platform->closeResult = midi::result::Error;
        midi.reset();
        QVERIFY(platform->calls.size() >= 2);
        QCOMPARE(platform->calls[0].value, 0x00007BB0u);
        QCOMPARE(platform->calls[1].op, Op::Close);
        QCOMPARE(platform->calls[1].deviceOrHandle, open);
        QVERIFY(box->shown.isEmpty());
    }

    void twoConnectionsShareNothing()
    {
        platform->devices = {QStringLiteral("A"), QStringLiteral("B")};
        FakeBox otherBox;
        midi::MidiOut other(*platform);
        other.setErrorBox(&otherBox);
        QVERIFY(midi->openDevice(0) && other.openDevice(1));
        platform->sendResult = midi::result::MidiNotReady;
        midi->noteOn(0, 60, 100);
        other.noteOn(0, 61, 100);  // the failure one connection showed is news to the other
        QCOMPARE(otherBox.shown.size(), 1);
        midi->closeDevice();
        QCOMPARE(platform->openHandles(), std::set<midi::HMidiOut>{other.handle()});
    }

    // Whatever fails beneath the router, the boxes the user meets have words: the open's, and
    // the one for the note then sent to no device.
    void everyFailureThroughTheRouterHasWords_data()
    {
        QTest::addColumn<std::int16_t>("device");  // the router's one port fails to open with `code`
        QTest::addColumn<midi::MmResult>("code");
        namespace r = midi::result;
        QTest::newRow("no mapper") << std::int16_t(-1) << r::NoError;
        QTest::newRow("device id past the list") << std::int16_t(1) << r::NoError;
        for (const auto &[name, code] : {std::pair{"unspecified", r::Error}, {"not enabled", r::NotEnabled},
                                         {"busy", r::Allocated}, {"no driver", r::NoDriver}, {"no memory", r::NoMem},
                                         {"not supported", r::NotSupported}, {"bad parameter", r::InvalidParam},
                                         {"output stopped", r::MidiNotReady}, {"port gone", r::MidiNoDevice}})
            QTest::newRow(name) << std::int16_t(0) << code;
    }

    void everyFailureThroughTheRouterHasWords()
    {
        QFETCH(std::int16_t, device);
        QFETCH(midi::MmResult, code);
        struct Failing final : midi::Backend
        {
            midi::MmResult code;
            explicit Failing(midi::MmResult c) : code(c) {}
            std::vector<midi::Port> list() override { return {midi::Port{"port", {}}}; }
            std::unique_ptr<midi::Output> open(const midi::Port &, midi::Failure &failure) override
            {
                failure = {code, {}};
                return nullptr;
            }
        };
        midi::SystemPlatform router;
        router.addPorts(std::make_unique<Failing>(code));
        midi::MidiOut overRouter(router);
        overRouter.setErrorBox(box.get());
        QVERIFY(!overRouter.openDevice(device));
        overRouter.noteOn(0, 60, 100);
        QCOMPARE(box->shown.size(), 2);
        for (const QString &text : box->shown)
            QVERIFY2(!text.trimmed().isEmpty(), qPrintable(QStringLiteral("[%1]").arg(text)));
    }
};

QTEST_GUILESS_MAIN(TestMidiOut)
#include "tst_midiout.moc"
