// The system MIDI ports against a real JACK server that each test starts for itself,
// with capture clients that record what reaches them.

#include "alsa/alsaports.h"
#include "errortext.h"
#include "ports/portoutput.h"
#include "router/backend.h"
#include "router/systemplatform.h"
#include "support/jackserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QTest>

#include <jack/jack.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using midi::MmResult;
using testsupport::JackServer;
using testsupport::MidiCapture;
using namespace std::chrono_literals;
namespace result = midi::result;

namespace {

// Many periods, yet short enough that a lost message fails the test quickly.
constexpr auto kArrival = 500ms;
constexpr quint32 kNoteOn = 0x007F2490;

// The system's MIDI ports as the program has them, without the synthesizer.
class Ports : public midi::SystemPlatform
{
public:
    Ports()
    {
        addPorts(midi::createAlsaBackend());
        addPorts(midi::createJackBackend());
    }
};

// A server that is killed leaves its clients nothing; one that is terminated tells them first.
void addServerEndRows()
{
    QTest::addColumn<bool>("crash");

    QTest::newRow("server killed") << true;
    QTest::newRow("server terminated") << false;
}

QByteArray bytesOf(const MidiCapture::Event &event)
{
    return QByteArray(reinterpret_cast<const char *>(event.bytes.data()), static_cast<qsizetype>(event.bytes.size()));
}

QString productName(Ports &ports, std::uint32_t id)
{
    midi::DeviceCaps caps;
    if (ports.deviceCaps(id, caps) != result::NoError)
        return {};
    const std::u16string name = midi::productName(caps);
    return QString::fromUtf16(name.data(), static_cast<qsizetype>(name.size()));
}

// Takes a fresh list and returns the names under ids 0..N-1.
QStringList listPorts(Ports &ports)
{
    QStringList names;
    const std::uint32_t count = ports.deviceCount();
    for (std::uint32_t id = 0; id < count; ++id)
        names << productName(ports, id);
    return names;
}

QString errorText(Ports &ports, MmResult code)
{
    char16_t text[midi::kMaxErrorLength] = {};
    ports.errorText(code, text, midi::kMaxErrorLength);
    return QString::fromUtf16(text);
}

// Points file descriptor 2 at a file; text() is what anything wrote there meanwhile.
class StderrCapture
{
public:
    StderrCapture()
    {
        file_.open();
        std::fflush(stderr);
        std::cerr.flush();
        saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        ::dup2(file_.handle(), STDERR_FILENO);
    }
    ~StderrCapture() { restore(); }

    QByteArray text()
    {
        restore();
        file_.seek(0);
        return file_.readAll();
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        std::cerr.flush();
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }

    QTemporaryFile file_;
    int saved_ = -1;
};

// The server each test starts runs under the name main() gave this process: clients that
// cannot name a server find it by JACK_DEFAULT_SERVER.
std::unique_ptr<JackServer> defaultServer()
{
    return std::make_unique<JackServer>(qEnvironmentVariable("JACK_DEFAULT_SERVER"));
}

} // namespace

class TestPortOut : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void listsOtherClientsInputPorts();
    void productName_data();
    void productName();
    void sendsStatusAndItsDataBytes_data();
    void sendsStatusAndItsDataBytes();
    void refusesMessage_data();
    void refusesMessage();
    void refusesBadDeviceIds_data();
    void refusesBadDeviceIds();
    void handles();
    void closeDeliversWhatWasSent();
    void placesMessagesAtTheirDueFrame_data();
    void placesMessagesAtTheirDueFrame();
    void idKeepsItsPort_data();
    void idKeepsItsPort();
    void portVanishesWhileOpen_data();
    void portVanishesWhileOpen();
    void serverDiesWhileOpen_data();
    void serverDiesWhileOpen();
    void serverStallsWhileOpen();
    void noServer();
    void watchHearsOfPorts();
    void watchLosesAndFindsItsServer_data();
    void watchLosesAndFindsItsServer();
    void announcementsThatChangeThePorts_data();
    void announcementsThatChangeThePorts();
    void announcementsThatEndAnOutputsPort_data();
    void announcementsThatEndAnOutputsPort();

private:
    bool startServer(const JackServer::Options &options = {});
    MidiCapture *capture(const QString &client);
    // Lists the ports and opens the one named `port`; 0 if that fails.
    midi::HMidiOut openByName(Ports &ports, const QString &port);

    std::unique_ptr<JackServer> server_;
    std::vector<std::unique_ptr<MidiCapture>> captures_;
    std::vector<pid_t> children_;
};

bool TestPortOut::startServer(const JackServer::Options &options)
{
    server_ = defaultServer();
    if (server_->start(options) != JackServer::Start::Ready) {
        qWarning("%s", qPrintable(server_->errorString()));
        return false;
    }
    return true;
}

MidiCapture *TestPortOut::capture(const QString &client)
{
    auto capture = std::make_unique<MidiCapture>();
    if (!capture->open(server_->name(), client)) {
        qWarning("%s", qPrintable(capture->errorString()));
        return nullptr;
    }
    captures_.push_back(std::move(capture));
    return captures_.back().get();
}

midi::HMidiOut TestPortOut::openByName(Ports &ports, const QString &port)
{
    const QStringList names = listPorts(ports);
    const auto id = names.indexOf(port);
    if (id < 0) {
        qWarning("%s is not among %s", qPrintable(port), qPrintable(names.join(QStringLiteral(", "))));
        return 0;
    }
    midi::HMidiOut handle = 0;
    const MmResult code = ports.open(handle, static_cast<std::uint32_t>(id), 0, 0, 0);
    if (code != result::NoError)
        qWarning("opening %s: %u %s", qPrintable(port), code, qPrintable(errorText(ports, code)));
    return handle;
}

void TestPortOut::cleanup()
{
    captures_.clear();
    for (pid_t pid : children_)
        testsupport::endProcess(pid, SIGKILL);
    children_.clear();
    server_.reset();
}

void TestPortOut::listsOtherClientsInputPorts()
{
    QVERIFY(startServer());
    MidiCapture *a = capture(QStringLiteral("a"));
    MidiCapture *b = capture(QStringLiteral("b"));
    QVERIFY(a && b);
    const QStringList expected = {QStringLiteral("a:in"), QStringLiteral("b:in")};

    Ports ports;
    QStringList names = listPorts(ports);
    names.sort();
    QCOMPARE(names, expected);

    // The program's own output port now exists; it must not be offered as a device.
    QVERIFY(openByName(ports, QStringLiteral("a:in")) != 0);
    names = listPorts(ports);
    names.sort();
    QCOMPARE(names, expected);
}

void TestPortOut::productName_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("expected");

    const QString x28(28, QLatin1Char('x'));
    const QString piano = QStringLiteral("\U0001F3B9");  // two UTF-16 units
    QTest::newRow("short, whole") << QStringLiteral("short") << QStringLiteral("short:in");
    QTest::newRow("31 units, whole") << x28 << x28 + QStringLiteral(":in");
    QTest::newRow("32 units, cut to 31") << x28 + QLatin1Char('y') << x28 + QStringLiteral("y:i");
    QTest::newRow("Chinese, from UTF-8") << QStringLiteral("钢琴输出") << QStringLiteral("钢琴输出:in");
    QTest::newRow("pair ends at unit 31, kept") << x28 + QLatin1Char('a') + piano + QLatin1Char('b')
                                               << x28 + QLatin1Char('a') + piano;
    QTest::newRow("pair across the cut, dropped whole") << x28 + QStringLiteral("ab") + piano
                                                        << x28 + QStringLiteral("ab");
}

void TestPortOut::productName()
{
    QFETCH(QString, client);
    QFETCH(QString, expected);
    QVERIFY(startServer());
    MidiCapture *sink = capture(client);
    QVERIFY(sink);

    Ports ports;
    QCOMPARE(ports.deviceCount(), 1u);
    midi::DeviceCaps caps;
    QCOMPARE(ports.deviceCaps(0, caps), result::NoError);
    const std::u16string name = midi::productName(caps);
    QCOMPARE(QString::fromUtf16(name.data(), static_cast<qsizetype>(name.size())), expected);

    // The cut name is only for showing: the id still opens the port by its full name.
    midi::HMidiOut handle = 0;
    QCOMPARE(ports.open(handle, 0, 0, 0, 0), result::NoError);
    QCOMPARE(ports.send(handle, kNoteOn), result::NoError);
    QCOMPARE(sink->waitForEvents(1, kArrival).size(), 1u);
}

void TestPortOut::sendsStatusAndItsDataBytes_data()
{
    QTest::addColumn<quint32>("message");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("note on 0x007F2490") << 0x007F2490u << QByteArray("\x90\x24\x7F", 3);
    QTest::newRow("note off, zero velocity kept") << 0x00003C80u << QByteArray("\x80\x3C\x00", 3);
    QTest::newRow("0xBF, last status with two") << 0x000007BFu << QByteArray("\xBF\x07\x00", 3);
    QTest::newRow("0xC0, first status with one") << 0x000009C0u << QByteArray("\xC0\x09", 2);
    QTest::newRow("0xC0, unsent byte not checked") << 0x00FF09C0u << QByteArray("\xC0\x09", 2);
    QTest::newRow("0xDF, last status with one") << 0x000040DFu << QByteArray("\xDF\x40", 2);
    QTest::newRow("0xE0, two again") << 0x004000E0u << QByteArray("\xE0\x00\x40", 3);
    QTest::newRow("0xEF, largest data bytes") << 0x007F7FEFu << QByteArray("\xEF\x7F\x7F", 3);
    QTest::newRow("bits 24-31 ignored") << 0xFF7F2490u << QByteArray("\x90\x24\x7F", 3);
    QTest::newRow("song position, system with two") << 0x000201F2u << QByteArray("\xF2\x01\x02", 3);
    QTest::newRow("timing clock, status alone") << 0x00FFFFF8u << QByteArray("\xF8", 1);
}

void TestPortOut::sendsStatusAndItsDataBytes()
{
    QFETCH(quint32, message);
    QFETCH(QByteArray, expected);
    QVERIFY(startServer());
    MidiCapture *sink = capture(QStringLiteral("sink"));
    QVERIFY(sink);
    Ports ports;
    const midi::HMidiOut handle = openByName(ports, sink->portName());
    QVERIFY(handle != 0);

    QCOMPARE(ports.send(handle, message), result::NoError);
    const auto events = sink->waitForEvents(1, kArrival);
    QCOMPARE(events.size(), 1u);
    QCOMPARE(bytesOf(events[0]), expected);
    QCOMPARE(sink->waitForEvents(2, 20ms).size(), 1u);
    QCOMPARE(ports.close(handle), result::NoError);
}

void TestPortOut::refusesMessage_data()
{
    QTest::addColumn<quint32>("message");

    QTest::newRow("status 0x7F, running status") << 0x0040247Fu;
    QTest::newRow("status 0x00") << 0x00000000u;
    QTest::newRow("0xF0, SysEx start") << 0x000001F0u;
    QTest::newRow("0xF7, SysEx end") << 0x000000F7u;
    QTest::newRow("0xF4, undefined") << 0x000000F4u;
    QTest::newRow("0xFD, undefined") << 0x000000FDu;
    QTest::newRow("note 0x80") << 0x007F8090u;
    QTest::newRow("velocity 0x80") << 0x00802490u;
    QTest::newRow("program 0x80") << 0x000080C0u;
}

void TestPortOut::refusesMessage()
{
    QFETCH(quint32, message);
    QVERIFY(startServer());
    MidiCapture *sink = capture(QStringLiteral("sink"));
    QVERIFY(sink);
    Ports ports;
    const midi::HMidiOut handle = openByName(ports, sink->portName());
    QVERIFY(handle != 0);

    QCOMPARE(ports.send(handle, message), result::InvalidParam);
    QVERIFY(errorText(ports, result::InvalidParam).contains(QStringLiteral("0x")));
    // Nothing of the refused message goes out, and the port still works.
    QCOMPARE(ports.send(handle, 0x00003C80), result::NoError);
    const auto events = sink->waitForEvents(1, kArrival);
    QCOMPARE(sink->waitForEvents(2, 20ms).size(), 1u);
    QCOMPARE(bytesOf(events[0]), QByteArray("\x80\x3C\x00", 3));
}

void TestPortOut::refusesBadDeviceIds_data()
{
    QTest::addColumn<quint32>("id");

    QTest::newRow("mapper") << midi::kMidiMapper;
    QTest::newRow("one past the last") << 1u;
    QTest::newRow("far beyond") << 1000u;
    QTest::newRow("just below the mapper") << 0xFFFFFFFEu;
}

void TestPortOut::refusesBadDeviceIds()
{
    QFETCH(quint32, id);
    QVERIFY(startServer());
    QVERIFY(capture(QStringLiteral("only")));
    Ports ports;
    QCOMPARE(ports.deviceCount(), 1u);

    midi::DeviceCaps caps;
    QCOMPARE(ports.deviceCaps(id, caps), result::BadDeviceId);
    midi::HMidiOut handle = 99;
    QCOMPARE(ports.open(handle, id, 0, 0, 0), result::BadDeviceId);
    QCOMPARE(handle, 0u);
}

void TestPortOut::handles()
{
    QVERIFY(startServer());
    MidiCapture *a = capture(QStringLiteral("a"));
    MidiCapture *b = capture(QStringLiteral("b"));
    QVERIFY(a && b);
    Ports ports;
    const QStringList names = listPorts(ports);
    const auto idA = static_cast<std::uint32_t>(names.indexOf(a->portName()));
    const auto idB = static_cast<std::uint32_t>(names.indexOf(b->portName()));

    QCOMPARE(ports.send(0, kNoteOn), result::InvalidHandle);
    QCOMPARE(ports.close(0), result::InvalidHandle);
    midi::HMidiOut withCallback = 0;
    constexpr std::uint32_t kCallbackFunction = 0x30000;
    QCOMPARE(ports.open(withCallback, idA, 1, 0, kCallbackFunction), result::InvalidFlag);
    QCOMPARE(withCallback, 0u);

    midi::HMidiOut first = 0;
    midi::HMidiOut second = 0;
    QCOMPARE(ports.open(first, idA, 0, 0, 0), result::NoError);
    QCOMPARE(ports.open(second, idB, 0, 0, 0), result::NoError);
    QVERIFY(first != 0 && second != 0 && first != second);
    QCOMPARE(ports.send(first, 0x00403C90), result::NoError);
    QCOMPARE(ports.send(second, 0x00403E90), result::NoError);
    QCOMPARE(a->waitForEvents(1, kArrival).size(), 1u);
    QCOMPARE(b->waitForEvents(1, kArrival).size(), 1u);
    QCOMPARE(bytesOf(a->events()[0]), QByteArray("\x90\x3C\x40", 3));
    QCOMPARE(bytesOf(b->events()[0]), QByteArray("\x90\x3E\x40", 3));

    QCOMPARE(ports.close(first), result::NoError);
    QCOMPARE(ports.close(first), result::InvalidHandle);
    QCOMPARE(ports.send(first, kNoteOn), result::InvalidHandle);
    QVERIFY(!errorText(ports, result::InvalidHandle).isEmpty());
    QVERIFY(server_->waitForPort(a->portName(), true));
    // The other handle is untouched.
    QCOMPARE(ports.send(second, kNoteOn), result::NoError);
    QCOMPARE(b->waitForEvents(2, kArrival).size(), 2u);
    QCOMPARE(a->events().size(), 1u);
    QCOMPARE(ports.close(second), result::NoError);
}

void TestPortOut::closeDeliversWhatWasSent()
{
    // As many as the mute pad sends at once, the last of them right before the close.
    constexpr int kMessages = 65;
    QVERIFY(startServer());
    MidiCapture *sink = capture(QStringLiteral("sink"));
    QVERIFY(sink);
    Ports ports;
    for (int round = 0; round < 5; ++round) {
        const midi::HMidiOut handle = openByName(ports, sink->portName());
        QVERIFY(handle != 0);
        for (int i = 0; i < kMessages; ++i)
            QCOMPARE(ports.send(handle, 0x00003C80), result::NoError);
        QCOMPARE(ports.close(handle), result::NoError);
    }
    QCOMPARE(sink->waitForEvents(5 * kMessages, kArrival).size(), std::size_t(5 * kMessages));
}

void TestPortOut::placesMessagesAtTheirDueFrame_data()
{
    QTest::addColumn<int>("aheadUs");  // the due time, after the send
    QTest::addColumn<bool>("placed");  // at its frame; else at the start of the next cycle
    // The server runs 64-frame periods of 1333 us.
    QTest::newRow("two periods ahead") << 2700 << true;
    QTest::newRow("ten periods and a frame ahead") << 13354 << true;
    QTest::newRow("already late") << -5000 << false;
    QTest::newRow("no due time") << 0 << false;
}

void TestPortOut::placesMessagesAtTheirDueFrame()
{
    QFETCH(int, aheadUs);
    QFETCH(bool, placed);
    QVERIFY(startServer());
    MidiCapture *sink = capture(QStringLiteral("sink"));
    QVERIFY(sink);
    Ports ports;
    const midi::HMidiOut handle = openByName(ports, sink->portName());
    QVERIFY(handle != 0);
    const double frameUs = 1e6 / server_->sampleRate();
    QVERIFY(ports.leadNs(handle) >= std::int64_t(server_->periodFrames() * frameUs * 1000) - 1000);

    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(300 + i * 97));
        // Our clock read between two readings of JACK's close together: a preempted
        // reading would tell the time wrong by the length of the preemption.
        std::int64_t now = 0;
        std::uint64_t before = 0, after = 0;
        do {
            before = MidiCapture::now();
            now = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
            after = MidiCapture::now();
        } while (after - before > 2);
        const std::uint64_t sentAt = (before + after) / 2;
        const std::int64_t dueNs = aheadUs == 0 ? 0 : now + aheadUs * 1000;
        QCOMPARE(ports.sendAt(handle, 0x007F0090u | std::uint32_t(36 + i) << 8, dueNs), result::NoError);
        const auto events = sink->waitForEvents(std::size_t(i + 1), kArrival);
        QCOMPARE(events.size(), std::size_t(i + 1));
        const MidiCapture::Event &event = events.back();
        if (placed) {
            const double error = double(event.frameUsecs) - double(sentAt + std::uint64_t(aheadUs));
            QVERIFY2(std::fabs(error) <= frameUs + 1, qPrintable(QStringLiteral("%1 us from its time").arg(error)));
        } else {
            // Never held back: the first cycle that runs after the send takes it, at its start.
            const double after = double(event.frameUsecs) - double(sentAt);
            QVERIFY2(after <= (server_->periodFrames() + 1) * frameUs,
                     qPrintable(QStringLiteral("placed %1 us after the send").arg(after)));
        }
    }
}

void TestPortOut::idKeepsItsPort_data()
{
    QTest::addColumn<QStringList>("before");              // capture clients when the list is taken
    QTest::addColumn<QStringList>("leftBeforeListing");   // ... and those of them gone before it
    QTest::addColumn<QStringList>("leaveAfterListing");
    QTest::addColumn<QStringList>("joinAfterListing");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("nowUnderItsId");           // what a fresh list shows under the id
    QTest::addColumn<MmResult>("expected");

    const QStringList none;
    const QStringList a = {QStringLiteral("a")};
    const QStringList c = {QStringLiteral("c")};
    const auto port = [](const char *name) { return QString::fromLatin1(name); };
    QTest::newRow("list unchanged") << a << none << none << none << port("a") << port("a:in") << result::NoError;
    QTest::newRow("earlier port gone, id beyond the list")
        << QStringList{"a", "b"} << none << a << none << port("b") << QString() << result::NoError;
    QTest::newRow("new port in an earlier place")
        << QStringList{"x", "b"} << QStringList{"x"} << none << c << port("b") << port("c:in") << result::NoError;
    QTest::newRow("listed port gone") << a << none << a << none << port("a") << QString() << result::MidiNoDevice;
    QTest::newRow("listed port gone, another in its place")
        << a << none << a << c << port("a") << port("c:in") << result::MidiNoDevice;
    QTest::newRow("listed port back under its name")
        << a << none << a << a << port("a") << port("a:in") << result::NoError;
}

void TestPortOut::idKeepsItsPort()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, leftBeforeListing);
    QFETCH(QStringList, leaveAfterListing);
    QFETCH(QStringList, joinAfterListing);
    QFETCH(QString, target);
    QFETCH(QString, nowUnderItsId);
    QFETCH(MmResult, expected);
    QVERIFY(startServer());

    std::map<QString, std::unique_ptr<MidiCapture>> clients;
    const auto join = [&](const QString &name) {
        auto client = std::make_unique<MidiCapture>();
        const bool opened = client->open(server_->name(), name);
        clients[name] = std::move(client);
        return opened;
    };
    const auto leave = [&](const QString &name) {
        clients.at(name)->close();
        return server_->waitForPort(name + QStringLiteral(":in"), false);
    };
    for (const QString &name : before)
        QVERIFY(join(name));
    for (const QString &name : leftBeforeListing)
        QVERIFY(leave(name));

    Ports ports;
    const QString targetPort = target + QStringLiteral(":in");
    const auto id = listPorts(ports).indexOf(targetPort);
    QVERIFY(id >= 0);

    for (const QString &name : leaveAfterListing)
        QVERIFY(leave(name));
    for (const QString &name : joinAfterListing)
        QVERIFY(join(name));
    // The row probes what it claims only if the ports really moved under the id.
    Ports observer;
    QCOMPARE(listPorts(observer).value(id), nowUnderItsId);

    midi::HMidiOut handle = 0;
    QCOMPARE(ports.open(handle, static_cast<std::uint32_t>(id), 0, 0, 0), expected);
    if (expected != result::NoError) {
        QCOMPARE(handle, 0u);
        QVERIFY2(errorText(ports, expected).contains(targetPort), qPrintable(errorText(ports, expected)));
        return;
    }
    QCOMPARE(ports.send(handle, kNoteOn), result::NoError);
    QCOMPARE(clients.at(target)->waitForEvents(1, kArrival).size(), 1u);
    for (const auto &[name, client] : clients) {
        if (name != target)
            QVERIFY2(client->events().empty(), qPrintable(name));
    }
}

void TestPortOut::portVanishesWhileOpen_data()
{
    QTest::addColumn<int>("signal");  // to the capture process; 0: an in-process client closes
    QTest::addColumn<bool>("cut");    // the port stays; another client cuts the connection to it

    QTest::newRow("capture client closes") << 0 << false;
    QTest::newRow("capture process killed") << int(SIGKILL) << false;
    QTest::newRow("capture process terminated") << int(SIGTERM) << false;
    QTest::newRow("connection cut by another client") << 0 << true;
}

void TestPortOut::portVanishesWhileOpen()
{
    QFETCH(int, signal);
    QFETCH(bool, cut);
    // Messages to a dead port are not looked for, so the faster asynchronous server will do.
    JackServer::Options options;
    options.synchronous = signal == 0;
    QVERIFY(startServer(options));
    MidiCapture *sink = nullptr;
    pid_t dump = -1;
    QString port;
    if (signal == 0) {
        sink = capture(QStringLiteral("sink"));
        QVERIFY(sink);
        port = sink->portName();
    } else {
        QString error;
        dump = testsupport::spawnProcess({QStringLiteral("jack_midi_dump")}, {}, &error);
        QVERIFY2(dump > 0, qPrintable(error));
        children_.push_back(dump);
        port = QStringLiteral("midi-monitor:input");
        QVERIFY(server_->waitForPort(port, true));
    }

    Ports ports;
    const midi::HMidiOut handle = openByName(ports, port);
    QVERIFY(handle != 0);
    QCOMPARE(ports.send(handle, kNoteOn), result::NoError);
    if (sink)
        QCOMPARE(sink->waitForEvents(1, kArrival).size(), 1u);

    if (cut) {
        jack_client_t *other = jack_client_open("cutter", JackNoStartServer, nullptr);
        QVERIFY(other);
        const std::string ours = midi::portClientName() + ":" + midi::kOutputPortName;
        QCOMPARE(jack_disconnect(other, ours.c_str(), qPrintable(port)), 0);
        jack_client_close(other);
    } else if (sink) {
        sink->close();
    } else {
        QVERIFY(testsupport::endProcess(dump, signal));
        children_.clear();
    }
    QVERIFY(cut || server_->waitForPort(port, false));

    // The output hears of it from JACK a moment after the graph shows it; until then a
    // message goes nowhere, as to any port that has just gone.
    QTRY_COMPARE_WITH_TIMEOUT(ports.send(handle, kNoteOn), result::MidiNoDevice, 1000);
    QVERIFY2(errorText(ports, result::MidiNoDevice).contains(port), qPrintable(errorText(ports, result::MidiNoDevice)));
    QCOMPARE(ports.send(handle, 0x00003C80), result::MidiNoDevice);
    QCOMPARE(ports.close(handle), result::NoError);
    QCOMPARE(ports.close(handle), result::InvalidHandle);
}

void TestPortOut::serverDiesWhileOpen_data()
{
    addServerEndRows();
}

void TestPortOut::serverDiesWhileOpen()
{
    QFETCH(bool, crash);
    QVERIFY(startServer());
    MidiCapture *sink = capture(QStringLiteral("sink"));
    QVERIFY(sink);
    Ports ports;
    const midi::HMidiOut handle = openByName(ports, sink->portName());
    QVERIFY(handle != 0);
    QCOMPARE(ports.send(handle, kNoteOn), result::NoError);
    QCOMPARE(sink->waitForEvents(1, kArrival).size(), 1u);

    StderrCapture stderrText;
    if (crash)
        server_->kill();
    else
        server_->stop();

    // Until libjack has noticed, a message may still go into the output buffer.
    QElapsedTimer timer;
    timer.start();
    MmResult code = result::NoError;
    while (code == result::NoError && timer.elapsed() < 2000) {
        code = ports.send(handle, kNoteOn);
        std::this_thread::sleep_for(1ms);
    }
    QCOMPARE(code, result::MidiNoDevice);
    QVERIFY(errorText(ports, code).contains(QStringLiteral("JACK")));

    // Nothing empties the output buffer now: a dead port must refuse at once, and keep
    // refusing, rather than fill it or wait for room.
    timer.restart();
    int refused = 0;
    for (int i = 0; i < 5000; ++i)
        refused += ports.send(handle, kNoteOn) == result::MidiNoDevice;
    QCOMPARE(refused, 5000);
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));

    QCOMPARE(ports.deviceCount(), 0u);

    // JACK comes back: libjack deletes the dead clients when the first new one opens,
    // and the old handle must neither come back to life nor free them a second time.
    QVERIFY(server_->start() == JackServer::Start::Ready);
    MidiCapture *newSink = capture(QStringLiteral("sink"));
    QVERIFY(newSink);
    const midi::HMidiOut newHandle = openByName(ports, newSink->portName());
    QVERIFY(newHandle != 0);
    QCOMPARE(ports.send(newHandle, kNoteOn), result::NoError);
    QCOMPARE(newSink->waitForEvents(1, kArrival).size(), 1u);
    QCOMPARE(ports.send(handle, kNoteOn), result::MidiNoDevice);

    timer.restart();
    QCOMPARE(ports.close(handle), result::NoError);
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(ports.close(newHandle), result::NoError);
    QCOMPARE(stderrText.text(), QByteArray());
}

void TestPortOut::serverStallsWhileOpen()
{
    QVERIFY(startServer());
    MidiCapture *sink = capture(QStringLiteral("sink"));
    QVERIFY(sink);
    Ports ports;
    const midi::HMidiOut handle = openByName(ports, sink->portName());
    QVERIFY(handle != 0);

    // A server that runs no cycles empties no buffer: sends must fail, not wait for room.
    QCOMPARE(::kill(server_->pid(), SIGSTOP), 0);
    // The signal is only sent here; the server's threads stop a moment later.
    int status = 0;
    QCOMPARE(::waitpid(server_->pid(), &status, WUNTRACED), server_->pid());
    QVERIFY(WIFSTOPPED(status));
    QElapsedTimer timer;
    timer.start();
    int notReady = 0;
    for (int i = 0; i < 10000; ++i) {
        const MmResult code = ports.send(handle, kNoteOn);
        if (code == result::MidiNotReady)
            ++notReady;
        else
            QCOMPARE(code, result::NoError);
    }
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(::kill(server_->pid(), SIGCONT), 0);
    QVERIFY2(notReady > 0, qPrintable(QStringLiteral("all 10000 sends taken in %1 ms").arg(elapsed)));
    QVERIFY2(elapsed < 1000, qPrintable(QString::number(elapsed)));

    // Once the server runs again, so does the port.
    const QByteArray marker("\x80\x3C\x00", 3);
    const auto arrived = [&] {
        const auto events = sink->events();
        return std::any_of(events.begin(), events.end(), [&](const auto &event) { return bytesOf(event) == marker; });
    };
    timer.restart();
    while (!arrived() && timer.elapsed() < 2000) {
        QVERIFY(ports.send(handle, 0x00003C80) != result::MidiNoDevice);
        std::this_thread::sleep_for(10ms);
    }
    QVERIFY(arrived());
}

// No server runs under the process's name between tests; main() prepared the process as the
// program does, from an environment that does not stop libjack starting a server.
void TestPortOut::noServer()
{
    const QString name = qEnvironmentVariable("JACK_DEFAULT_SERVER");
    StderrCapture stderrText;
    QElapsedTimer timer;
    timer.start();
    Ports ports;
    QCOMPARE(ports.deviceCount(), 0u);
    midi::DeviceCaps caps;
    QCOMPARE(ports.deviceCaps(0, caps), result::BadDeviceId);
    midi::HMidiOut handle = 0;
    QCOMPARE(ports.open(handle, 0, 0, 0, 0), result::BadDeviceId);
    QCOMPARE(ports.deviceCount(), 0u);
    const qint64 elapsed = timer.elapsed();

    QCOMPARE(stderrText.text(), QByteArray());
    QCOMPARE(qgetenv("JACK_NO_START_SERVER"), QByteArray("1"));
    QVERIFY(JackServer::serverProcesses(name).empty());
    // A server that libjack started would take seconds to come up or fail.
    QVERIFY2(elapsed < 1000, qPrintable(QString::number(elapsed)));
}

void TestPortOut::watchHearsOfPorts()
{
    QVERIFY(startServer());
    Ports ports;
    int news = 0;
    ports.watchDevices([&] { ++news; });
    // The client connects beside the caller; the list is read again once it has.
    QTRY_VERIFY(news > 0);

    // A synthesizer's ports, one after the other, one of them renamed, then all gone.
    jack_client_t *synth = jack_client_open("synth", JackNoStartServer, nullptr);
    QVERIFY(synth);
    std::vector<jack_port_t *> inputs;
    for (int i = 0; i < 16; ++i)
        inputs.push_back(jack_port_register(synth, qPrintable(QStringLiteral("in%1").arg(i)), JACK_DEFAULT_MIDI_TYPE,
                                            JackPortIsInput, 0));
    // JACK tells of a client's ports when it is activated.
    int before = news;
    QCOMPARE(jack_activate(synth), 0);
    QTRY_VERIFY(news > before);
    QCOMPARE(listPorts(ports).size(), 16);
    before = news;
    QCOMPARE(jack_port_rename(synth, inputs.front(), "renamed"), 0);
    QTRY_VERIFY(news > before);
    QVERIFY(listPorts(ports).contains(QStringLiteral("synth:renamed")));
    before = news;
    jack_client_close(synth);
    QTRY_VERIFY(news > before);
    QTRY_COMPARE(listPorts(ports), QStringList{});
}

void TestPortOut::watchLosesAndFindsItsServer_data()
{
    addServerEndRows();
}

void TestPortOut::watchLosesAndFindsItsServer()
{
    QFETCH(bool, crash);
    StderrCapture stderrText;
    server_ = defaultServer();
    Ports ports;
    int news = 0;
    ports.watchDevices([&] { ++news; });

    // A server that starts later is not looked for in the background...
    QVERIFY(server_->start() == JackServer::Start::Ready);
    QVERIFY(capture(QStringLiteral("late")));
    QTest::qWait(300);
    QCOMPARE(news, 0);
    QCOMPARE(ports.deviceCount(), 0u);
    // ...but when the user looks.
    ports.lookForDevices();
    QCOMPARE(listPorts(ports), QStringList{QStringLiteral("late:in")});

    const int before = news;
    if (crash)
        server_->kill();
    else
        server_->stop();
    QTRY_VERIFY(news > before);
    QCOMPARE(ports.deviceCount(), 0u);

    // Back again: libjack deletes the dead client as the new one opens, and it is not closed twice.
    QVERIFY(server_->start() == JackServer::Start::Ready);
    captures_.clear();
    QVERIFY(capture(QStringLiteral("back")));
    ports.lookForDevices();
    QCOMPARE(listPorts(ports), QStringList{QStringLiteral("back:in")});
    QCOMPARE(stderrText.text(), QByteArray());
}

// What each announcement means to the device list, by alsa-lib's own classes of event types:
// every type of the class is tried, so that none is left out or let in by a case label.
void TestPortOut::announcementsThatChangeThePorts_data()
{
    QTest::addColumn<int>("kind");  // alsa-lib's class of event types; -1 for those of neither
    QTest::addColumn<bool>("changes");

    QTest::newRow("clients and ports start, exit or change") << int(SND_SEQ_EVFLG_MESSAGE) << true;
    // The program's own output connecting to its port must not start a refresh.
    QTest::newRow("ports are connected or disconnected") << int(SND_SEQ_EVFLG_CONNECTION) << false;
    QTest::newRow("notes, controls, queues and the rest") << -1 << false;
}

void TestPortOut::announcementsThatChangeThePorts()
{
    QFETCH(int, kind);
    QFETCH(bool, changes);
    snd_seq_event_t event{};
    event.source = {SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
    event.data.addr = {130, 0};
    int types = 0;
    for (int type = 0; type <= 255; ++type) {
        event.type = static_cast<snd_seq_event_type_t>(type);
        const bool ofKind = kind >= 0 ? snd_seq_type_check(&event, kind) != 0
                                      : !snd_seq_ev_is_message_type(&event) && !snd_seq_ev_is_subscribe_type(&event);
        if (!ofKind)
            continue;
        ++types;
        QVERIFY2(midi::changesPorts(event) == changes, qPrintable(QStringLiteral("event type %1").arg(type)));
    }
    QVERIFY(types > 0);
}

// An ALSA output follows the port at the address that ends its name as RtMidi lists it,
// and is lost by the announcement that ends that port.
void TestPortOut::announcementsThatEndAnOutputsPort_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("client");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("lost");

    const QString synth = QStringLiteral("Synth:out 130:1");
    const int portExit = SND_SEQ_EVENT_PORT_EXIT;
    QTest::newRow("its port exits") << synth << portExit << 130 << 1 << true;
    QTest::newRow("its client exits") << synth << int(SND_SEQ_EVENT_CLIENT_EXIT) << 130 << 0 << true;
    QTest::newRow("another port of its client exits") << synth << portExit << 130 << 0 << false;
    QTest::newRow("its port number on another client exits") << synth << portExit << 131 << 1 << false;
    QTest::newRow("its port is disconnected") << synth << int(SND_SEQ_EVENT_PORT_UNSUBSCRIBED) << 130 << 1 << false;
    QTest::newRow("numbers in the names too") << "Synth 2:Port 3 130:1" << portExit << 130 << 1 << true;
    QTest::newRow("client number beyond a byte") << "Synth:out 386:1" << portExit << 130 << 1 << false;
    QTest::newRow("a name without an address") << "Synth:out" << portExit << 130 << 1 << false;
}

void TestPortOut::announcementsThatEndAnOutputsPort()
{
    QFETCH(QString, name);
    QFETCH(int, type);
    QFETCH(int, client);
    QFETCH(int, port);
    QFETCH(bool, lost);
    snd_seq_event_t event{};
    event.type = static_cast<snd_seq_event_type_t>(type);
    event.source = {SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
    event.data.addr = {static_cast<unsigned char>(client), static_cast<unsigned char>(port)};
    const std::optional<snd_seq_addr_t> address = midi::sequencerAddress(name.toStdString());
    QCOMPARE(address && midi::endsPort(event, *address), lost);
}

int main(int argc, char *argv[])
{
    QString isolation;
    if (!testsupport::privateJackState(&isolation))
        std::fprintf(stderr, "note: JACK state shared with other processes (%s)\n", qPrintable(isolation));
    // Before any thread starts: one server name for the whole run, and, as in a fresh process,
    // nothing but the program's own preparation stops libjack starting a server.
    qputenv("JACK_DEFAULT_SERVER", JackServer::uniqueName(QStringLiteral("tpo")).toUtf8());
    qunsetenv("JACK_NO_START_SERVER");
    midi::prepareProcess();
    QCoreApplication app(argc, argv);
    // A machine that cannot run a JACK server skips these tests (exit 77) rather than
    // reporting them as passed.
    JackServer probe(JackServer::uniqueName(QStringLiteral("tpo-probe")));
    if (probe.start() != JackServer::Start::Ready) {
        std::fprintf(stderr, "SKIP: cannot start a JACK server: %s\n", qPrintable(probe.errorString()));
        return 77;
    }
    probe.stop();
    TestPortOut test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_portout.moc"
