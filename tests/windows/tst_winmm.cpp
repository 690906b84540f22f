// The WinMM backend behind the router: through a table of WinMM entry points that hands the
// calls to the recording double, for devices, results and bytes; and against the system's own
// WinMM (Wine's here, which has no MIDI devices and refuses to open its mapper). The built-in
// synthesizer follows WinMM's devices, with the sound font the build puts beside the test.

#include "errortext.h"
#include "midi/midiout.h"
#include "recording/recordingplatform.h"
#include "router/systemplatform.h"
#include "winmm/winmmcalls.h"

#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <optional>
#include <set>

using midi::MmResult;
using midi::RecordingPlatform;
using Op = RecordingPlatform::Op;

namespace {

// The double behind the fake entry points, one per test, and the codes they have no words for.
RecordingPlatform *recording = nullptr;
std::set<MMRESULT> wordless;

midi::HMidiOut fromWinmm(HMIDIOUT handle) { return static_cast<midi::HMidiOut>(reinterpret_cast<std::uintptr_t>(handle)); }

UINT WINAPI fakeDeviceCount() { return recording->deviceCount(); }

MMRESULT WINAPI fakeDeviceCaps(UINT_PTR deviceId, MIDIOUTCAPSW *caps, UINT size)
{
    // WinMM takes the record's size in bytes.
    if (caps == nullptr || size != sizeof(MIDIOUTCAPSW))
        return MMSYSERR_INVALPARAM;
    midi::DeviceCaps recorded;
    const MMRESULT result = recording->deviceCaps(static_cast<std::uint32_t>(deviceId), recorded);
    *caps = {};
    std::copy(std::begin(recorded.name), std::end(recorded.name), reinterpret_cast<char16_t *>(caps->szPname));
    // Fields that differ, so one copied into the wrong place shows.
    caps->wMid = WORD(0x100 + deviceId);
    caps->wTechnology = MOD_MIDIPORT;
    caps->wChannelMask = 0xFFFF;
    caps->dwSupport = MIDICAPS_CACHE;
    return result;
}

MMRESULT WINAPI fakeOpen(HMIDIOUT *handle, UINT deviceId, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    midi::HMidiOut opened = 0;
    const MMRESULT result = recording->open(opened, deviceId, callback, instance, flags);
    *handle = reinterpret_cast<HMIDIOUT>(static_cast<std::uintptr_t>(opened));
    return result;
}

MMRESULT WINAPI fakeClose(HMIDIOUT handle) { return recording->close(fromWinmm(handle)); }

MMRESULT WINAPI fakeSend(HMIDIOUT handle, DWORD message) { return recording->send(fromWinmm(handle), message); }

MMRESULT WINAPI fakeErrorText(MMRESULT code, LPWSTR text, UINT chars)
{
    if (wordless.count(code) != 0)
        return MMSYSERR_BADERRNUM;
    return recording->errorText(code, reinterpret_cast<char16_t *>(text), chars);
}

const midi::WinmmCalls kFakeCalls = {&fakeDeviceCount, &fakeDeviceCaps, &fakeOpen,
                                     &fakeClose,       &fakeSend,       &fakeErrorText};

QString textOf(midi::MidiPlatform &platform, MmResult code)
{
    char16_t text[midi::kMaxErrorLength] = {};
    if (platform.errorText(code, text, midi::kMaxErrorLength) != midi::result::NoError)
        return QStringLiteral("(no text)");
    return QString::fromUtf16(text);
}

QString systemText(MMRESULT code)
{
    wchar_t text[MAXERRORLENGTH] = {};
    if (midiOutGetErrorTextW(code, text, MAXERRORLENGTH) != MMSYSERR_NOERROR)
        return {};
    return QString::fromWCharArray(text);
}

// The last call of one kind the double saw.
RecordingPlatform::Call lastCall(Op op)
{
    for (auto it = recording->calls.rbegin(); it != recording->calls.rend(); ++it)
        if (it->op == op)
            return *it;
    return {op, 0xDEAD, 0xDEAD, 0xDEAD};
}

class RecordingBox final : public midi::ErrorBox
{
public:
    QStringList shown;
    void show(const QString &text) override { shown << text; }
};

} // namespace

using Names = std::vector<std::optional<QString>>;
using Call = std::function<MmResult(midi::MidiPlatform &)>;

class TestWinmm : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<midi::SystemPlatform> platform;

private slots:
    void init()
    {
        recording = new RecordingPlatform;
        platform = std::make_unique<midi::SystemPlatform>();
        platform->setMapper(midi::createWinmmMapper(kFakeCalls));
        platform->addPorts(midi::createWinmmPorts(kFakeCalls));
        platform->addPorts(midi::createSynthBackend());
    }

    void cleanup()
    {
        platform.reset();
        delete recording;
        recording = nullptr;
        wordless.clear();
    }

    void idsAreWinmmIds_data()
    {
        QTest::addColumn<Names>("devices");
        QTest::newRow("no devices") << Names{};
        QTest::newRow("three devices") << Names{QStringLiteral("Port A"), QStringLiteral("合成器"), QStringLiteral("Port C")};
        QTest::newRow("a device that cannot be described keeps its place")
            << Names{QStringLiteral("Port A"), std::nullopt, QStringLiteral("Port C")};
        QTest::newRow("the first device cannot be described") << Names{std::nullopt, QStringLiteral("Port B")};
        QTest::newRow("a name of 31 units, the most the record holds") << Names{QString(31, u'名')};
    }

    void idsAreWinmmIds()
    {
        QFETCH(Names, devices);
        recording->devices = devices;

        // WinMM's devices, then the synthesizer.
        QCOMPARE(platform->deviceCount(), std::uint32_t(devices.size() + 1));
        for (std::uint32_t id = 0; id < devices.size(); ++id) {
            midi::DeviceCaps caps;
            const MmResult result = platform->deviceCaps(id, caps);
            if (!devices[id]) {
                // WinMM's own code for the device, not the router's for an id out of range.
                QCOMPARE(result, MmResult(MMSYSERR_BADDEVICEID));
                QCOMPARE(textOf(*platform, result), RecordingPlatform::errorText(result));
                continue;
            }
            QCOMPARE(result, midi::result::NoError);
            QCOMPARE(QString::fromStdU16String(midi::productName(caps)), *devices[id]);
            QCOMPARE(caps.manufacturerId, std::uint16_t(0x100 + id));
            QCOMPARE(caps.channelMask, std::uint16_t(0xFFFF));
            QCOMPARE(caps.support, std::uint32_t(MIDICAPS_CACHE));

            midi::HMidiOut handle = 0;
            QCOMPARE(platform->open(handle, id, 0, 0, 0), midi::result::NoError);
            QCOMPARE(recording->deviceOf(lastCall(Op::Open).value), std::optional<std::uint32_t>(id));
            QCOMPARE(platform->close(handle), midi::result::NoError);
        }
        // The synthesizer's id is WinMM's count, and WinMM is never asked about it.
        const auto synth = std::uint32_t(devices.size());
        midi::DeviceCaps caps;
        QCOMPARE(platform->deviceCaps(synth, caps), midi::result::NoError);
        QCOMPARE(QString::fromStdU16String(midi::productName(caps)), QStringLiteral("内置合成器 (FluidSynth)"));
        QCOMPARE(caps.technology, midi::kModSwSynth);
        for (const RecordingPlatform::Call &call : recording->calls)
            QVERIFY2(call.op != Op::GetDevCaps || call.deviceOrHandle < synth, "WinMM asked about the synthesizer's id");
        QCOMPARE(platform->deviceCaps(synth + 1, caps), midi::result::BadDeviceId);
    }

    void mapper_data()
    {
        QTest::addColumn<std::optional<QString>>("name");
        QTest::addColumn<MmResult>("openResult");
        QTest::newRow("described and opened") << std::optional(QStringLiteral("Microsoft MIDI 映射器")) << MmResult(0);
        // As under Wine with no MIDI devices.
        QTest::newRow("not described, its setup damaged") << std::optional<QString>() << MmResult(MIDIERR_INVALIDSETUP);
    }

    void mapper()
    {
        QFETCH(std::optional<QString>, name);
        QFETCH(MmResult, openResult);
        recording->mapper = name;
        recording->openResult = openResult;

        midi::DeviceCaps caps;
        const MmResult described = platform->deviceCaps(midi::kMidiMapper, caps);
        QCOMPARE(lastCall(Op::GetDevCaps).deviceOrHandle, midi::kMidiMapper);
        QCOMPARE(described, name ? midi::result::NoError : MmResult(MMSYSERR_BADDEVICEID));
        if (name)
            QCOMPARE(QString::fromStdU16String(midi::productName(caps)), *name);

        midi::HMidiOut handle = 0;
        QCOMPARE(platform->open(handle, midi::kMidiMapper, 0, 0, 0), openResult);
        QCOMPARE(lastCall(Op::Open).deviceOrHandle, midi::kMidiMapper);
        if (openResult != midi::result::NoError)
            QCOMPARE(textOf(*platform, openResult), RecordingPlatform::errorText(openResult));
    }

    // WinMM's codes pass through as they are; their text is WinMM's, looked for when the box
    // shows, or the program's where WinMM has none.
    void codesPassThrough_data()
    {
        QTest::addColumn<Op>("failing");
        QTest::addColumn<MmResult>("code");
        QTest::addColumn<bool>("winmmHasWords");
        QTest::newRow("open: device allocated") << Op::Open << MmResult(MMSYSERR_ALLOCATED) << true;
        QTest::newRow("open: a code the program has no words for") << Op::Open << MmResult(MIDIERR_INVALIDSETUP) << true;
        QTest::newRow("send: not ready") << Op::ShortMsg << MmResult(MIDIERR_NOTREADY) << true;
        QTest::newRow("send: not ready, and WinMM without words") << Op::ShortMsg << MmResult(MIDIERR_NOTREADY) << false;
        QTest::newRow("close: still playing") << Op::Close << MmResult(MIDIERR_STILLPLAYING) << true;
    }

    void codesPassThrough()
    {
        QFETCH(Op, failing);
        QFETCH(MmResult, code);
        QFETCH(bool, winmmHasWords);
        recording->devices = {QStringLiteral("Port A")};
        platform->deviceCount();
        (failing == Op::Open ? recording->openResult : failing == Op::ShortMsg ? recording->sendResult
                                                                               : recording->closeResult) = code;
        if (!winmmHasWords)
            wordless = {code};

        midi::HMidiOut handle = 0;
        MmResult result = platform->open(handle, 0, 0, 0, 0);
        if (failing == Op::ShortMsg)
            result = platform->send(handle, 0x007F3C90);
        else if (failing == Op::Close)
            result = platform->close(handle);
        QCOMPARE(result, code);
        QCOMPARE(lastCall(failing).result, code);
        QCOMPARE(textOf(*platform, code),
                 winmmHasWords ? RecordingPlatform::errorText(code) : midi::standardErrorText(code));
    }

    void bytesReachWinmm()
    {
        recording->devices = {QStringLiteral("Port A"), QStringLiteral("Port B")};
        platform->deviceCount();
        midi::HMidiOut handle = 0;
        QCOMPARE(platform->open(handle, 1, 0, 0, 0), midi::result::NoError);
        const midi::HMidiOut winmmHandle = lastCall(Op::Open).value;

        const std::vector<std::uint32_t> messages = {0x007F2490, 0x00002480, 0x000000C0, 0x007B00B0, 0x00402090};
        for (const std::uint32_t message : messages)
            QCOMPARE(platform->send(handle, message), midi::result::NoError);
        QCOMPARE(recording->messages(), messages);
        QCOMPARE(lastCall(Op::ShortMsg).deviceOrHandle, winmmHandle);

        QCOMPARE(platform->close(handle), midi::result::NoError);
        QCOMPARE(lastCall(Op::Close).deviceOrHandle, winmmHandle);
        QVERIFY(recording->openHandles().empty());
        // Closed means closed: nothing more goes out on it.
        QCOMPARE(platform->send(handle, 0x007F2490), midi::result::InvalidHandle);
        QCOMPARE(recording->messages().size(), messages.size());
    }

    // A code the router returns itself, in WinMM's place, reads as WinMM would have it.
    void routersOwnCodesInWinmmsWords_data()
    {
        QTest::addColumn<Call>("call");
        QTest::addColumn<MmResult>("code");
        QTest::newRow("a handle never opened")
            << Call([](midi::MidiPlatform &p) { return p.send(0x4711, 0x007F2490); }) << midi::result::InvalidHandle;
        QTest::newRow("a device id past the synthesizer, the last device") << Call([](midi::MidiPlatform &p) {
            midi::DeviceCaps caps;
            return p.deviceCaps(2, caps);
        }) << midi::result::BadDeviceId;
        QTest::newRow("a callback asked for") << Call([](midi::MidiPlatform &p) {
            midi::HMidiOut handle = 0;
            return p.open(handle, 0, 0, 0, CALLBACK_FUNCTION);
        }) << midi::result::InvalidFlag;
    }

    void routersOwnCodesInWinmmsWords()
    {
        QFETCH(Call, call);
        QFETCH(MmResult, code);
        recording->devices = {QStringLiteral("Port A")};
        platform->deviceCount();
        recording->clearCalls();

        QCOMPARE(call(*platform), code);
        QVERIFY(recording->calls.empty());
        QCOMPARE(textOf(*platform, code), RecordingPlatform::errorText(code));

        // Where WinMM has no words for it, the program's own, with the reason.
        wordless = {code};
        QVERIFY2(textOf(*platform, code).startsWith(midi::standardErrorText(code)), qPrintable(textOf(*platform, code)));
    }

    // The synthesizer's failure is told in the program's words with its reason, even where
    // WinMM has words for the same code.
    void synthesizerFailsInTheProgramsWords()
    {
        QTemporaryDir dir;
        QFile broken(dir.filePath(QStringLiteral("broken.sf2")));
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write("RIFF") == 4);
        broken.close();
        midi::SystemPlatform withBrokenFont;
        withBrokenFont.setMapper(midi::createWinmmMapper(kFakeCalls));
        withBrokenFont.addPorts(midi::createWinmmPorts(kFakeCalls));
        withBrokenFont.addPorts(midi::createSynthBackend({broken.fileName()}));
        recording->devices = {QStringLiteral("Port A")};

        QCOMPARE(withBrokenFont.deviceCount(), std::uint32_t(2));
        midi::HMidiOut handle = 0;
        const MmResult code = withBrokenFont.open(handle, 1, 0, 0, 0);
        QCOMPARE(code, midi::result::NoDriver);
        QCOMPARE(lastCall(Op::Open).deviceOrHandle, std::uint32_t(0xDEAD));  // WinMM opened nothing
        const QString text = textOf(withBrokenFont, code);
        QVERIFY2(text.startsWith(midi::standardErrorText(code)) && text.contains(QStringLiteral("broken.sf2")),
                 qPrintable(text));
        QVERIFY(text != RecordingPlatform::errorText(code));
    }

    // The program's platform against winmm.dll called directly.
    void systemWinmm()
    {
        const auto system = midi::createSystemPlatform();
        // WinMM's devices, then the synthesizer.
        QCOMPARE(system->deviceCount(), midiOutGetNumDevs() + 1);
        for (UINT id = 0; id < midiOutGetNumDevs(); ++id) {
            MIDIOUTCAPSW direct = {};
            midi::DeviceCaps caps;
            QCOMPARE(system->deviceCaps(id, caps), MmResult(midiOutGetDevCapsW(id, &direct, sizeof direct)));
        }
        midi::DeviceCaps synth;
        QCOMPARE(system->deviceCaps(midiOutGetNumDevs(), synth), midi::result::NoError);
        QCOMPARE(QString::fromStdU16String(midi::productName(synth)), QStringLiteral("内置合成器 (FluidSynth)"));
        MIDIOUTCAPSW direct = {};
        midi::DeviceCaps caps;
        const MMRESULT described = midiOutGetDevCapsW(MIDI_MAPPER, &direct, sizeof direct);
        QCOMPARE(system->deviceCaps(midi::kMidiMapper, caps), MmResult(described));
        if (described == MMSYSERR_NOERROR)
            QCOMPARE(QString::fromStdU16String(midi::productName(caps)), QString::fromWCharArray(direct.szPname));
        qInfo("devices %u, the mapper's caps query: %u", midiOutGetNumDevs(), described);
    }

    // What the user reads when MIDI fails: the system's text for the system's code, no more.
    void boxesInTheSystemsWords_data()
    {
        QTest::addColumn<std::function<void(midi::MidiOut &)>>("act");
        QTest::addColumn<bool>("opensMapper");
        QTest::newRow("the mapper cannot be opened")
            << std::function([](midi::MidiOut &out) { out.openDevice(-1); }) << true;
        QTest::newRow("a note with no device open")
            << std::function([](midi::MidiOut &out) { out.noteOn(0, 60, 127); }) << false;
    }

    void boxesInTheSystemsWords()
    {
        QFETCH(std::function<void(midi::MidiOut &)>, act);
        QFETCH(bool, opensMapper);
        MMRESULT expected = MMSYSERR_INVALHANDLE;
        if (opensMapper) {
            HMIDIOUT direct = nullptr;
            expected = midiOutOpen(&direct, MIDI_MAPPER, 0, 0, CALLBACK_NULL);
            if (expected == MMSYSERR_NOERROR)
                midiOutClose(direct);
            qInfo("opening the mapper: %u (%s)", expected, qPrintable(systemText(expected)));
        }

        const auto system = midi::createSystemPlatform();
        RecordingBox box;
        midi::MidiOut midiOut(*system);
        midiOut.setErrorBox(&box);
        act(midiOut);
        midiOut.setErrorBox(nullptr);
        QCOMPARE(box.shown, expected == MMSYSERR_NOERROR ? QStringList() : QStringList{systemText(expected)});
        QVERIFY(expected == MMSYSERR_NOERROR || !systemText(expected).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWinmm)
#include "tst_winmm.moc"
