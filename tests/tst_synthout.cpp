// The built-in synthesizer against a real sound server with a null sink, started and
// stopped by each test: PulseAudio's own, or PipeWire (TIRREL_TEST_SOUND_SERVER; CTest
// runs this once with each). Where that server cannot run, the whole test reports itself
// skipped to CTest (exit code 77).

#include "router/backend.h"
#include "router/systemplatform.h"
#include "support/jackserver.h"
#include "support/pulseserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace midi;
using testsupport::AudioCapture;
using testsupport::JackServer;
using testsupport::MidiCapture;
using testsupport::SoundServer;

namespace {

// The built-in synthesizer as the program has it, with the sound fonts given.
class SynthPlatform : public SystemPlatform
{
public:
    explicit SynthPlatform(QStringList soundFonts) { setMapper(createSynthBackend(std::move(soundFonts))); }
};

const QString kTimGM = QStringLiteral("/usr/share/sounds/sf2/TimGM6mb.sf2");

// A fresh null sink holds a new stream's first write for about two seconds.
constexpr int kSinkStartMs = 2500;

// The JACK server FluidSynth's JACK output reaches: the one main() named, before any thread
// started, for this process alone.
QString fluidJackServer() { return QString::fromLocal8Bit(qgetenv("JACK_DEFAULT_SERVER")); }

QString errorText(MidiPlatform &platform, MmResult code)
{
    char16_t text[kMaxErrorLength];
    platform.errorText(code, text, kMaxErrorLength);
    return QString::fromUtf16(text);
}

// What the null sink plays, as parec hears it on the sink's monitor.
class Monitor
{
public:
    Monitor()
    {
        parec_.start(QStringLiteral("parec"), {QStringLiteral("--device=null.monitor"), QStringLiteral("--raw"),
                                               QStringLiteral("--format=float32le"), QStringLiteral("--channels=1"),
                                               QStringLiteral("--latency-msec=10")});
    }
    ~Monitor()
    {
        parec_.kill();
        parec_.waitForFinished(3000);
    }
    bool isRecording() { return parec_.waitForStarted(3000); }
    // The loudest sample heard in the next `ms` milliseconds.
    float peak(int ms)
    {
        QElapsedTimer timer;
        timer.start();
        float loudest = 0;
        while (timer.elapsed() < ms) {
            if (!parec_.waitForReadyRead(10))
                continue;
            pending_.append(parec_.readAll());
            const qsizetype whole = pending_.size() / qsizetype(sizeof(float));
            const auto *samples = reinterpret_cast<const float *>(pending_.constData());
            for (qsizetype i = 0; i < whole; ++i)
                loudest = std::max(loudest, std::fabs(samples[i]));
            pending_.remove(0, whole * qsizetype(sizeof(float)));
        }
        return loudest;
    }

private:
    QProcess parec_;
    QByteArray pending_;
};

// The first loud cycle in the capture after `sentAt` (JACK's clock), counted in cycles from
// the first one that ran after it; -1 if none comes within `timeout`.
int cyclesUntilLoud(AudioCapture &capture, std::uint64_t sentAt, std::chrono::milliseconds timeout)
{
    QElapsedTimer timer;
    timer.start();
    int count = 0;
    while (timer.elapsed() < timeout.count()) {
        for (const AudioCapture::Cycle &cycle : capture.takeCycles()) {
            if (cycle.usecs < sentAt)
                continue;
            ++count;
            if (cycle.peak > 0.01f)  // -40 dBFS
                return count;
        }
        QTest::qWait(5);
    }
    return -1;
}

// The output of `program` run with `arguments`; empty if it failed.
QByteArray outputOf(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(5000) || process.exitCode() != 0)
        return {};
    return process.readAllStandardOutput();
}

// This process's playback streams as the server has them: on PipeWire each with the way
// its client came ("protocol-native" on a socket of its own, "protocol-pulse" through
// PipeWire's PulseAudio service, which connects a client of its own for each of its
// clients, named after them) and the quantum it asked for; on PulseAudio, "pulse" for each
// of its sink inputs.
struct Stream
{
    QString protocol;
    QString latency;
};
QList<Stream> ourStreams(SoundServer::Kind kind)
{
    const QString pid = QString::number(QCoreApplication::applicationPid());
    QList<Stream> streams;
    if (kind == SoundServer::Kind::PulseAudio) {
        const QByteArray inputs = outputOf(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("sink-inputs")});
        const qsizetype count = inputs.count(QStringLiteral("application.process.id = \"%1\"").arg(pid).toUtf8());
        for (qsizetype i = 0; i < count; ++i)
            streams.append({QStringLiteral("pulse"), {}});
        return streams;
    }
    const QJsonArray objects = QJsonDocument::fromJson(outputOf(QStringLiteral("pw-dump"), {})).array();
    QHash<int, QString> ourClients;  // id, protocol
    for (const QJsonValue &object : objects) {
        const QJsonObject props = object[QLatin1String("info")][QLatin1String("props")].toObject();
        if (!object[QLatin1String("type")].toString().endsWith(QLatin1String("Client"))
            || props[QLatin1String("application.process.id")].toVariant().toString() != pid)
            continue;
        const bool onItsOwnSocket = props[QLatin1String("pipewire.sec.pid")].toVariant().toString() == pid;
        ourClients.insert(object[QLatin1String("id")].toInt(),
                          props[QLatin1String("client.api")].toString() == QLatin1String("pipewire-pulse")
                              ? QStringLiteral("protocol-pulse")
                              : onItsOwnSocket ? props[QLatin1String("pipewire.protocol")].toString() : QString());
    }
    for (const QJsonValue &object : objects) {
        const QJsonObject props = object[QLatin1String("info")][QLatin1String("props")].toObject();
        const int client = props[QLatin1String("client.id")].toInt(-1);
        if (props[QLatin1String("media.class")].toString() == QLatin1String("Stream/Output/Audio") && ourClients.contains(client))
            streams.append({ourClients.value(client), props[QLatin1String("node.latency")].toString()});
    }
    return streams;
}

// A socket that listens where PipeWire's would, as the system's socket activation leaves
// it on a desktop whose sound server is PulseAudio: connecting to it would start PipeWire.
class WaitingSocket
{
public:
    explicit WaitingSocket(const QString &path) : path_(QFile::encodeName(path))
    {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.constData());
        listening_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                     && ::listen(fd_, 8) == 0;
    }
    ~WaitingSocket()
    {
        if (fd_ >= 0)
            ::close(fd_);
        ::unlink(path_.constData());
    }
    bool isListening() const { return listening_; }
    bool wasConnected() const
    {
        const int peer = ::accept(fd_, nullptr, nullptr);
        if (peer >= 0)
            ::close(peer);
        return peer >= 0;
    }

private:
    QByteArray path_;
    int fd_ = -1;
    bool listening_ = false;
};

} // namespace

class TestSynthOut : public QObject
{
    Q_OBJECT

private:
    // A member: midi::kNoteOn, the status byte, is in reach too.
    static constexpr std::uint32_t kNoteOn = 0x007F3C90;
    const SoundServer::Kind kind = SoundServer::kindFromEnvironment();
    std::unique_ptr<SoundServer> server;

    // The JACK rows play with no sound server at all: run once, in the copy on PulseAudio.
    bool jackRunsElsewhere() const
    {
        return kind == SoundServer::Kind::PipeWire && !QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty();
    }

private slots:
    void init()
    {
        server = std::make_unique<SoundServer>(kind, qEnvironmentVariable("XDG_RUNTIME_DIR"));
        QString why;
        QVERIFY2(server->start(&why), qPrintable(why));
    }
    void cleanup() { server.reset(); }

    void openSendClose()
    {
        SynthPlatform synth({kTimGM});
        HMidiOut handle = 0;
        QCOMPARE(synth.open(handle, kMidiMapper, 0, 0, 0), result::NoError);
        QVERIFY(handle != 0);
        HMidiOut second = 0;
        QCOMPARE(synth.open(second, kMidiMapper, 0, 0, 0), result::Allocated);
        QCOMPARE(synth.send(handle, kNoteOn), result::NoError);
        QCOMPARE(synth.send(handle, 0x00007F3C), result::InvalidParam);
        QCOMPARE(synth.send(handle + 1, kNoteOn), result::InvalidHandle);

        QCOMPARE(synth.close(handle), result::NoError);
        QCOMPARE(synth.close(handle), result::InvalidHandle);
        QCOMPARE(synth.send(handle, kNoteOn), result::InvalidHandle);

        HMidiOut reopened = 0;
        QCOMPARE(synth.open(reopened, kMidiMapper, 0, 0, 0), result::NoError);
        QVERIFY(reopened != 0 && reopened != handle);
        QCOMPARE(synth.send(reopened, kNoteOn), result::NoError);
        QCOMPARE(synth.close(reopened), result::NoError);
    }

    void noteReachesTheSink()
    {
        SynthPlatform synth({kTimGM});
        HMidiOut handle = 0;
        QCOMPARE(synth.open(handle, kMidiMapper, 0, 0, 0), result::NoError);
        QTest::qWait(kSinkStartMs);
        Monitor monitor;
        QVERIFY(monitor.isRecording());
        const float before = monitor.peak(300);
        QCOMPARE(synth.send(handle, kNoteOn), result::NoError);
        const float after = monitor.peak(700);
        QVERIFY2(before < 0.001f, qPrintable(QString::number(before)));
        QVERIFY2(after > 0.01f, qPrintable(QString::number(after)));  // -40 dBFS
        QCOMPARE(synth.close(handle), result::NoError);
    }

    // The way the synthesizer takes to the sound server that runs: PipeWire natively, at the
    // quantum it asks for, never through PipeWire's PulseAudio service; PulseAudio's own
    // server through the PulseAudio stream, even where PipeWire's socket waits to be
    // activated on demand, which it must never touch.
    void wayToTheServer_data()
    {
        QTest::addColumn<int>("server");
        QTest::addColumn<bool>("socketWaiting");
        QTest::addColumn<QString>("protocol");
        QTest::newRow("PipeWire: a stream of its own") << int(SoundServer::Kind::PipeWire) << false
                                                       << QStringLiteral("protocol-native");
        QTest::newRow("PulseAudio: the PulseAudio stream") << int(SoundServer::Kind::PulseAudio) << false
                                                           << QStringLiteral("pulse");
        QTest::newRow("PulseAudio, PipeWire's socket waiting: left alone")
            << int(SoundServer::Kind::PulseAudio) << true << QStringLiteral("pulse");
    }
    void wayToTheServer()
    {
        QFETCH(int, server);
        QFETCH(bool, socketWaiting);
        QFETCH(QString, protocol);
        if (SoundServer::Kind(server) != kind)
            QSKIP("runs in the copy of this test on the other server");
        std::optional<WaitingSocket> waiting;
        if (socketWaiting) {
            waiting.emplace(QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).filePath(QStringLiteral("pipewire-0")));
            QVERIFY(waiting->isListening());
        }
        SynthPlatform synth({kTimGM});
        HMidiOut handle = 0;
        QCOMPARE(synth.open(handle, kMidiMapper, 0, 0, 0), result::NoError);
        QCOMPARE(synth.send(handle, kNoteOn), result::NoError);
        // The server lists a new stream a little after the client made it.
        QList<Stream> streams;
        QElapsedTimer timer;
        timer.start();
        while (streams.isEmpty() && timer.elapsed() < 3000) {
            QTest::qWait(50);
            streams = ourStreams(kind);
        }
        QCOMPARE(streams.size(), 1);
        QCOMPARE(streams.front().protocol, protocol);
        if (protocol == QLatin1String("protocol-native")) {
            // No more than 256 frames, or the server's PulseAudio service would have done as well.
            const QStringList latency = streams.front().latency.split(QLatin1Char('/'));
            QVERIFY2(latency.size() == 2 && latency[0].toInt() > 0 && latency[0].toInt() <= 256
                         && latency[1] == QLatin1String("48000"),
                     qPrintable(streams.front().latency));
        }
        if (waiting)
            QVERIFY2(!waiting->wasConnected(), "the program connected to PipeWire's waiting socket");
        QCOMPARE(synth.close(handle), result::NoError);
    }

    // Under JACK the render callback runs in the server's cycle: it must never hold the
    // cycle up, neither while playing nor while the synthesizer rests between notes.
    void playsThroughJackAndRestsBetweenNotes()
    {
        if (jackRunsElsewhere())
            QSKIP("plays through JACK, with no sound server: run once, in the copy on PulseAudio");
        server.reset();  // no sound server: the next output is JACK
        JackServer jack(fluidJackServer());
        JackServer::Options options;
        options.periodFrames = 256;
        QVERIFY2(jack.start(options) == JackServer::Start::Ready, qPrintable(jack.errorString()));
        SynthPlatform synth({kTimGM});
        HMidiOut handle = 0;
        QCOMPARE(synth.open(handle, kMidiMapper, 0, 0, 0), result::NoError);
        AudioCapture capture;
        QVERIFY2(capture.open(jack.name(), QStringLiteral("listener"), QStringLiteral("Tirrel")),
                 qPrintable(capture.errorString()));

        for (int note = 0; note < 3; ++note) {
            capture.takeCycles();
            const std::uint64_t sentAt = MidiCapture::now();
            QCOMPARE(synth.send(handle, kNoteOn), result::NoError);
            // Rendered in the next cycle, whether the synthesizer rested or not.
            const int cycles = cyclesUntilLoud(capture, sentAt, std::chrono::seconds(2));
            QVERIFY2(cycles >= 1 && cycles <= 2, qPrintable(QStringLiteral("note %1 heard in cycle %2").arg(note).arg(cycles)));
            QCOMPARE(synth.send(handle, 0x00003C80), result::NoError);

            // At rest the output plays silence without rendering: not even a reverb tail
            // far below hearing is left in it.
            QElapsedTimer timer;
            timer.start();
            int silentInARow = 0;
            while (silentInARow < 100 && timer.elapsed() < 5000) {
                for (const AudioCapture::Cycle &cycle : capture.takeCycles())
                    silentInARow = cycle.peak == 0.0f ? silentInARow + 1 : 0;
                QTest::qWait(20);
            }
            QVERIFY2(silentInARow >= 100, qPrintable(QStringLiteral("after note %1 the output never rested").arg(note)));
        }
        QCOMPARE(synth.close(handle), result::NoError);
        const QStringList xruns = jack.log().split(QLatin1Char('\n')).filter(QStringLiteral("Tirrel"));
        QVERIFY2(xruns.filter(QStringLiteral("xrun"), Qt::CaseInsensitive).isEmpty(), qPrintable(xruns.join('\n')));
    }

    void serverGone_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("playingMs");  // how long the stream ran before
        QTest::addColumn<bool>("sounding");  // a note sounds when the server goes; else the output waits in silence
        QTest::addColumn<bool>("restarted");  // the server comes back, and is chosen again
        // FluidSynth's own JACK output instead of the program's own stream: it says in its
        // log, from libjack's thread, that the server has gone.
        QTest::addColumn<bool>("jack");
        QTest::newRow("killed at once") << int(SIGKILL) << 0 << true << false << false;
        QTest::newRow("killed while playing") << int(SIGKILL) << kSinkStartMs << true << true << false;
        QTest::newRow("terminated while playing") << int(SIGTERM) << kSinkStartMs << true << false << false;
        QTest::newRow("frozen while playing") << int(SIGSTOP) << kSinkStartMs << true << false << false;
        QTest::newRow("killed while silent") << int(SIGKILL) << kSinkStartMs + 1000 << false << false << false;
        QTest::newRow("frozen while silent") << int(SIGSTOP) << kSinkStartMs + 1000 << false << false << false;
        QTest::newRow("JACK output, killed while playing") << int(SIGKILL) << 500 << true << false << true;
        QTest::newRow("JACK output, terminated while playing") << int(SIGTERM) << 500 << true << false << true;
    }
    void serverGone()
    {
        QFETCH(int, signal);
        QFETCH(int, playingMs);
        QFETCH(bool, sounding);
        QFETCH(bool, restarted);
        QFETCH(bool, jack);
        std::unique_ptr<JackServer> jackServer;
        if (jack) {
            if (jackRunsElsewhere())
                QSKIP("plays through JACK, with no sound server: run once, in the copy on PulseAudio");
            server.reset();  // no sound server: the next output is JACK
            jackServer = std::make_unique<JackServer>(fluidJackServer());
            QVERIFY2(jackServer->start() == JackServer::Start::Ready, qPrintable(jackServer->errorString()));
        }
        const auto stopServer = [&](int sig) {
            if (jack)
                ::kill(static_cast<pid_t>(jackServer->pid()), sig);
            else
                server->signal(sig);
        };
        SynthPlatform synth({kTimGM});
        HMidiOut handle = 0;
        QCOMPARE(synth.open(handle, kMidiMapper, 0, 0, 0), result::NoError);
        QTest::qWait(playingMs);
        if (sounding)
            QCOMPARE(synth.send(handle, kNoteOn), result::NoError);

        stopServer(signal);
        QElapsedTimer timer;
        timer.start();
        MmResult sent = result::NoError;
        int attempts = 0;
        while (sent == result::NoError && timer.elapsed() < 3000) {
            QTest::qWait(10);
            sent = synth.send(handle, kNoteOn);
            ++attempts;
        }
        QCOMPARE(sent, result::MidiNotReady);
        // A server that has gone is noticed by the message that finds it gone, even one that
        // comes while the output rests; one that hangs only by its silence.
        if (signal == SIGKILL && !jack)
            QCOMPARE(attempts, 1);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QStringLiteral("noticed after %1 ms").arg(timer.elapsed())));
        // Named after the way the program took to the server: its own to PipeWire.
        const QString text = errorText(synth, sent);
        QVERIFY2(text.contains(jack ? "jack" : kind == SoundServer::Kind::PipeWire ? "pipewire" : "pulseaudio"), qPrintable(text));
        // FluidSynth's own words, logged on libjack's thread, reach the box.
        if (jack)
            QVERIFY2(text.contains("JACK server"), qPrintable(text));

        timer.restart();
        QCOMPARE(synth.close(handle), result::NoError);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QStringLiteral("closing took %1 ms").arg(timer.elapsed())));
        if (signal == SIGSTOP) {
            stopServer(SIGCONT);
            return;
        }
        timer.restart();
        HMidiOut reopened = 0;
        QVERIFY(synth.open(reopened, kMidiMapper, 0, 0, 0) != result::NoError);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QStringLiteral("reopening took %1 ms").arg(timer.elapsed())));
        if (!restarted)
            return;

        // Chosen again once the server is back, the output plays into its sink.
        server = std::make_unique<SoundServer>(kind, qEnvironmentVariable("XDG_RUNTIME_DIR"));
        QString why;
        QVERIFY2(server->start(&why), qPrintable(why));
        QCOMPARE(synth.open(reopened, kMidiMapper, 0, 0, 0), result::NoError);
        QTest::qWait(kSinkStartMs);
        Monitor monitor;
        QVERIFY(monitor.isRecording());
        QCOMPARE(synth.send(reopened, kNoteOn), result::NoError);
        const float after = monitor.peak(700);
        QVERIFY2(after > 0.01f, qPrintable(QString::number(after)));
        QCOMPARE(synth.close(reopened), result::NoError);
    }
};

int main(int argc, char **argv)
{
    QString isolation;
    if (!testsupport::privateJackState(&isolation))
        std::fprintf(stderr, "note: JACK state shared with other processes (%s)\n", qPrintable(isolation));
    // Before any thread starts: where each test's sound server runs, and the JACK server
    // FluidSynth tries next should it fail, never one another test runs.
    QTemporaryDir runtime;
    if (!runtime.isValid())
        return 1;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    qunsetenv("PULSE_SERVER");
    qputenv("JACK_DEFAULT_SERVER", JackServer::uniqueName(QStringLiteral("tso")).toUtf8());
    prepareProcess();
    QCoreApplication app(argc, argv);
    {
        SoundServer probe(SoundServer::kindFromEnvironment(), runtime.path());
        QString why;
        if (!probe.start(&why)) {
            std::printf("SKIP: no %s server can run here: %s\n", qPrintable(SoundServer::name(probe.kind())), qPrintable(why));
            return 77;
        }
    }
    TestSynthOut test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_synthout.moc"
