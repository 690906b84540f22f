// The built-in synthesizer against a real sound server with a null sink, started and
// stopped by each test: PulseAudio's own, or PipeWire (TIRREL_TEST_SOUND_SERVER; CTest
// runs this once with each). Where that server cannot run, the whole test reports itself
// skipped to CTest (exit code 77).

#include "router/backend.h"
#include "router/systemplatform.h"
#include "support/jackserver.h"
#include "support/pulseserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>

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
constexpr std::uint32_t kNoteOn = 0x007F3C90;

// A fresh null sink holds a new stream's first write for about two seconds.
constexpr int kSinkStartMs = 2500;

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

} // namespace

class TestSynthOut : public QObject
{
    Q_OBJECT

private:
    const SoundServer::Kind kind = SoundServer::kindFromEnvironment();
    std::unique_ptr<SoundServer> server;

private slots:
    void init()
    {
        server = std::make_unique<SoundServer>(kind);
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

    // Under JACK the render callback runs in the server's cycle: it must never hold the
    // cycle up, neither while playing nor while the synthesizer rests between notes.
    void playsThroughJackAndRestsBetweenNotes()
    {
        if (kind == SoundServer::Kind::PipeWire && !QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty())
            QSKIP("no sound server here: run once, in the copy on PulseAudio");
        server.reset();  // no sound server: the next output is JACK
        JackServer jack(JackServer::uniqueName(QStringLiteral("tso")));
        JackServer::Options options;
        options.periodFrames = 256;
        QVERIFY2(jack.start(options) == JackServer::Start::Ready, qPrintable(jack.errorString()));
        jack.useAsDefault();
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
        QTest::newRow("killed at once") << int(SIGKILL) << 0 << true;
        QTest::newRow("killed while playing") << int(SIGKILL) << kSinkStartMs << true;
        QTest::newRow("terminated while playing") << int(SIGTERM) << kSinkStartMs << true;
        QTest::newRow("frozen while playing") << int(SIGSTOP) << kSinkStartMs << true;
        QTest::newRow("killed while silent") << int(SIGKILL) << kSinkStartMs + 1000 << false;
        QTest::newRow("frozen while silent") << int(SIGSTOP) << kSinkStartMs + 1000 << false;
    }
    void serverGone()
    {
        QFETCH(int, signal);
        QFETCH(int, playingMs);
        QFETCH(bool, sounding);
        SynthPlatform synth({kTimGM});
        HMidiOut handle = 0;
        QCOMPARE(synth.open(handle, kMidiMapper, 0, 0, 0), result::NoError);
        QTest::qWait(playingMs);
        if (sounding)
            QCOMPARE(synth.send(handle, kNoteOn), result::NoError);

        server->signal(signal);
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
        if (signal == SIGKILL)
            QCOMPARE(attempts, 1);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QStringLiteral("noticed after %1 ms").arg(timer.elapsed())));
        // Named after the way the program took to the server; to PipeWire's it may take either.
        const QString text = errorText(synth, sent);
        QVERIFY2(text.contains("pulseaudio") || (kind == SoundServer::Kind::PipeWire && text.contains("pipewire", Qt::CaseInsensitive)),
                 qPrintable(text));

        timer.restart();
        QCOMPARE(synth.close(handle), result::NoError);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QStringLiteral("closing took %1 ms").arg(timer.elapsed())));
        if (signal == SIGSTOP) {
            server->signal(SIGCONT);
            return;
        }
        timer.restart();
        HMidiOut reopened = 0;
        QVERIFY(synth.open(reopened, kMidiMapper, 0, 0, 0) != result::NoError);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QStringLiteral("reopening took %1 ms").arg(timer.elapsed())));
    }
};

int main(int argc, char **argv)
{
    QString isolation;
    if (!testsupport::privateJackState(&isolation))
        std::fprintf(stderr, "note: JACK state shared with other processes (%s)\n", qPrintable(isolation));
    prepareProcess();
    QCoreApplication app(argc, argv);
    // Should PulseAudio fail, FluidSynth tries JACK next: never a server another test runs.
    qputenv("JACK_DEFAULT_SERVER", QByteArray("tirrel-synthout-") + QByteArray::number(getpid()));
    {
        SoundServer probe(SoundServer::kindFromEnvironment());
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
