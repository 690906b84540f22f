#include "router/backend.h"
#include "router/systemplatform.h"
#include "synth/engine.h"
#include "synth/fluidlog.h"
#include "synth/renderer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <fluidsynth.h>
#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

// What an audio thread must not do: take a lock, allocate, read a file. Counted on a thread
// while it has `onAudioThread` set: the executable's definitions come before those of the C
// library and GLib for every library in the process. AddressSanitizer owns malloc: its
// builds count the rest.
namespace probe {

enum Call { Lock, Allocation, FileRead };
thread_local bool onAudioThread = false;
std::atomic<int> counts[3];

void reset()
{
    for (std::atomic<int> &count : counts)
        count = 0;
}

// Counts the call, and returns the definition it stands in front of. dlsym takes none of
// the locks counted, so no call finds itself again.
template <typename Function>
Function counted(Call call, std::atomic<Function> &next, const char *name)
{
    if (onAudioThread)
        counts[call].fetch_add(1, std::memory_order_relaxed);
    if (next.load(std::memory_order_relaxed) == nullptr)
        next.store(reinterpret_cast<Function>(dlsym(RTLD_NEXT, name)), std::memory_order_relaxed);
    return next.load(std::memory_order_relaxed);
}

} // namespace probe

extern "C" {

int pthread_mutex_lock(pthread_mutex_t *mutex)
{
    static std::atomic<int (*)(pthread_mutex_t *)> next;
    return probe::counted(probe::Lock, next, "pthread_mutex_lock")(mutex);
}

// FluidSynth's own locks.
void g_mutex_lock(GMutex *mutex)
{
    static std::atomic<void (*)(GMutex *)> next;
    probe::counted(probe::Lock, next, "g_mutex_lock")(mutex);
}

// FluidSynth's sound font loader reads through these.
FILE *fopen(const char *path, const char *mode)
{
    static std::atomic<FILE *(*)(const char *, const char *)> next;
    return probe::counted(probe::FileRead, next, "fopen")(path, mode);
}

size_t fread(void *buffer, size_t size, size_t count, FILE *file)
{
    static std::atomic<size_t (*)(void *, size_t, size_t, FILE *)> next;
    return probe::counted(probe::FileRead, next, "fread")(buffer, size, count, file);
}

#ifndef __SANITIZE_ADDRESS__
void *__libc_malloc(size_t size);

void *malloc(size_t size)
{
    if (probe::onAudioThread)
        probe::counts[probe::Allocation].fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
#endif

} // extern "C"

using namespace midi;

namespace {

// The built-in synthesizer as the program has it, with the sound fonts given.
class SynthPlatform : public SystemPlatform
{
public:
    explicit SynthPlatform(QStringList soundFonts) { setMapper(createSynthBackend(std::move(soundFonts))); }
};

const QString kTimGM = QStringLiteral("/usr/share/sounds/sf2/TimGM6mb.sf2");
constexpr int kRate = static_cast<int>(SynthEngine::kSampleRate);

int frames(int milliseconds) { return kRate * milliseconds / 1000; }

using Messages = QList<std::uint32_t>;

// The message a test's packed constant holds.
ShortMessage checked(std::uint32_t packed) { return ShortMessage::unpack(packed).value(); }

// Left and right averaged: the tests listen to what a listener would.
std::vector<float> render(SynthEngine &synth, int length)
{
    std::vector<float> left(length), right(length), mono(length);
    if (!synth.render(length, left.data(), right.data()))
        return {};
    for (int i = 0; i < length; ++i)
        mono[i] = (left[i] + right[i]) / 2;
    return mono;
}

double levelDb(const std::vector<float> &x, int begin, int end)
{
    double sum = 0;
    for (int i = begin; i < end; ++i)
        sum += double(x[i]) * x[i];
    return 10 * std::log10(sum / (end - begin) + 1e-20);
}

// The period with the strongest normalised autocorrelation; of lags nearly as strong the
// shortest, so a tone is not taken an octave low.
double fundamentalHz(const std::vector<float> &x, int begin, int length)
{
    const int minLag = kRate / 2000;
    const int maxLag = kRate / 60;
    std::vector<double> r(maxLag + 2, 0.0);
    for (int lag = minLag - 1; lag <= maxLag + 1; ++lag) {
        double xy = 0, xx = 0, yy = 0;
        for (int i = begin; i < begin + length; ++i) {
            xy += double(x[i]) * x[i + lag];
            xx += double(x[i]) * x[i];
            yy += double(x[i + lag]) * x[i + lag];
        }
        r[lag] = xy / std::sqrt(xx * yy + 1e-30);
    }
    double best = 0;
    for (int lag = minLag; lag <= maxLag; ++lag)
        best = std::max(best, r[lag]);
    for (int lag = minLag; lag <= maxLag; ++lag) {
        if (r[lag] >= 0.9 * best && r[lag] >= r[lag - 1] && r[lag] >= r[lag + 1]) {
            const double denominator = r[lag - 1] - 2 * r[lag] + r[lag + 1];
            const double shift = denominator == 0 ? 0 : 0.5 * (r[lag - 1] - r[lag + 1]) / denominator;
            return kRate / (lag + shift);
        }
    }
    return 0;
}

// Energy in third-octave bands from 100 Hz to 10 kHz, in dB below the loudest band.
std::vector<double> bandProfile(const std::vector<float> &x, int begin, int length)
{
    std::vector<double> bands;
    for (double low = 100; low < 10000; low *= std::cbrt(2.0)) {
        double energy = 0;
        // A few DFT bins per band, on a Hann window.
        for (int step = 0; step < 8; ++step) {
            const double f = low * std::pow(2.0, step / 24.0);
            double re = 0, im = 0;
            for (int i = 0; i < length; ++i) {
                const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / length);
                const double phase = 2 * std::numbers::pi * f * i / kRate;
                re += w * x[begin + i] * std::cos(phase);
                im += w * x[begin + i] * std::sin(phase);
            }
            energy += re * re + im * im;
        }
        bands.push_back(10 * std::log10(energy + 1e-20));
    }
    const double loudest = *std::max_element(bands.begin(), bands.end());
    for (double &band : bands)
        band = std::max(band - loudest, -60.0);
    return bands;
}

double meanDifferenceDb(const std::vector<double> &a, const std::vector<double> &b)
{
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        sum += std::fabs(a[i] - b[i]);
    return sum / a.size();
}

// A JACK server that libjack starts inherits the environment of the process that asked.
bool jackdRunsWith(const QByteArray &variable)
{
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(entry));
        QFile environment(QStringLiteral("/proc/%1/environ").arg(entry));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "jackd"
            && environment.open(QIODevice::ReadOnly) && environment.readAll().split('\0').contains(variable))
            return true;
    }
    return false;
}

QString errorText(MidiPlatform &platform, MmResult code)
{
    char16_t text[kMaxErrorLength];
    platform.errorText(code, text, kMaxErrorLength);
    return QString::fromUtf16(text);
}

// The time an output would ask for its next period, for a renderer under test.
std::atomic<std::int64_t> fakeNowNs{0};
std::int64_t fakeNow() { return fakeNowNs.load(); }
std::int64_t nsOfFrame(std::int64_t frame) { return frame * 1'000'000'000 / kRate; }
constexpr int kPeriod = 512;

// The first frame above -60 dBFS.
int onsetOf(const std::vector<float> &x)
{
    const auto found = std::find_if(x.begin(), x.end(), [](float sample) { return std::fabs(sample) > 1e-3f; });
    return found == x.end() ? -1 : int(found - x.begin());
}

// Renders 512-frame periods as an output asks for them, one every 512 frames on the fake
// clock, each message sent when the period before `sendFrame` has been rendered; returns
// the left channel. An output that tells when its frames are heard (`heardDelay` frames
// after they are asked for, as PipeWire's and PulseAudio's streams do) says so with each
// period; with -1 it says nothing, as FluidSynth's outputs do.
std::vector<float> renderScheduled(SynthEngine &synth, std::uint32_t message, int sendFrame, std::int64_t dueFrame,
                                   int heardDelay = -1)
{
    SynthRenderer renderer(synth, &fakeNow);
    std::vector<float> left(frames(500)), right(left.size());
    for (int at = 0; at + kPeriod <= int(left.size()); at += kPeriod) {
        if (at == sendFrame) {
            fakeNowNs = nsOfFrame(at);
            renderer.send(checked(message), dueFrame < 0 ? 0 : nsOfFrame(dueFrame));
            renderer.wake();
        }
        fakeNowNs = nsOfFrame(at);
        const std::int64_t heardAt = heardDelay < 0 ? 0 : fakeNowNs + nsOfFrame(heardDelay);
        renderer.render(kPeriod, left.data() + at, right.data() + at, heardAt);
    }
    return left;
}

// An output's thread on the fake clock: renders a period, moves the clock a period on and
// rests `pace`, `limit` times or until destroyed; `each` runs after every period.
struct AudioThread
{
    AudioThread(SynthRenderer &renderer, std::uint64_t limit, std::chrono::microseconds pace = {},
                std::function<void(std::uint64_t)> each = {})
        : thread([=, &renderer, this] {
            std::vector<float> left(kPeriod), right(kPeriod);
            probe::onAudioThread = true;
            for (std::uint64_t period = 0; period < limit && !stop; ++period) {
                rendered += renderer.render(kPeriod, left.data(), right.data());
                if (each)
                    each(period);
                fakeNowNs += nsOfFrame(kPeriod);
                ++periods;
                std::this_thread::sleep_for(pace);
            }
        })
    {
    }
    ~AudioThread()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }
    // Waits, for at most two seconds, until `count` periods have passed.
    bool reach(std::uint64_t count) const
    {
        QElapsedTimer timer;
        timer.start();
        while (periods < count && timer.elapsed() < 2000)
            std::this_thread::yield();
        return periods >= count;
    }

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> periods{0};
    std::atomic<std::uint64_t> rendered{0};
    std::thread thread;  // last, so it starts once the rest exists
};

// Records what it is played, and whether on the audio thread, in room made beforehand;
// renders silence.
struct Recorder final : Instrument
{
    using Played = std::pair<std::uint32_t, bool>;

    explicit Recorder(std::size_t room) : played(room) {}
    void play(ShortMessage message) override
    {
        const std::size_t at = count.load(std::memory_order_relaxed);
        if (at < played.size())
            played[at] = {message.packed(), probe::onAudioThread};
        count.store(at + 1, std::memory_order_release);
    }
    bool render(int frames, float *left, float *right) override
    {
        std::fill_n(left, frames, 0.0f);
        std::fill_n(right, frames, 0.0f);
        return true;
    }
    double sampleRate() const override { return SynthEngine::kSampleRate; }

    std::vector<Played> played;
    std::atomic<std::size_t> count{0};
};

} // namespace

class TestSynth : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // libfluidsynth-dev, which the build needs, installs it.
        QVERIFY2(QFile::exists(kTimGM), qPrintable(kTimGM));
    }

    // Offline: what the synthesizer makes of the messages.

    void pitch_data()
    {
        QTest::addColumn<Messages>("before");
        QTest::addColumn<int>("note");
        QTest::addColumn<double>("hz");
        QTest::newRow("C3") << Messages{} << 48 << 130.81;
        QTest::newRow("A4") << Messages{} << 69 << 440.0;
        QTest::newRow("C6") << Messages{} << 84 << 1046.5;
        // The full bend is 8191/8192 of the default two-semitone range.
        QTest::newRow("pitch bend up, full") << Messages{0x007F7FE0} << 60 << 293.65;
        QTest::newRow("pitch bend on another channel") << Messages{0x007F7FE1} << 60 << 261.63;
        QTest::newRow("pitch bend back to centre") << Messages{0x007F7FE0, 0x004000E0} << 60 << 261.63;
    }
    void pitch()
    {
        QFETCH(Messages, before);
        QFETCH(int, note);
        QFETCH(double, hz);
        SynthEngine synth;
        QString error;
        QVERIFY2(synth.loadSoundFont({kTimGM}, error), qPrintable(error));
        for (std::uint32_t message : before)
            synth.play(checked(message));
        synth.play(checked(0x00640090u | std::uint32_t(note) << 8));
        const std::vector<float> x = render(synth, frames(400));
        QVERIFY(!x.empty());
        const double heard = fundamentalHz(x, frames(100), frames(100));
        QVERIFY2(std::fabs(heard / hz - 1) < 0.01, qPrintable(QStringLiteral("heard %1 Hz").arg(heard)));
    }

    void release_data()
    {
        QTest::addColumn<Messages>("after");
        QTest::addColumn<bool>("silenced");
        QTest::newRow("held") << Messages{} << false;
        QTest::newRow("note off") << Messages{0x00003C80} << true;
        QTest::newRow("note off with velocity") << Messages{0x00403C80} << true;
        QTest::newRow("note on, velocity 0") << Messages{0x00003C90} << true;
        QTest::newRow("all notes off") << Messages{0x00007BB0} << true;
        QTest::newRow("note off, other key") << Messages{0x00003D80} << false;
        QTest::newRow("note off, other channel") << Messages{0x00003C81} << false;
        QTest::newRow("all notes off, other channel") << Messages{0x00007BB1} << false;
    }
    void release()
    {
        QFETCH(Messages, after);
        QFETCH(bool, silenced);
        SynthEngine synth;
        QString error;
        QVERIFY2(synth.loadSoundFont({kTimGM}, error), qPrintable(error));
        synth.play(checked(0x007F3C90));
        render(synth, frames(200));
        for (std::uint32_t message : after)
            synth.play(checked(message));
        const std::vector<float> x = render(synth, frames(500));
        QVERIFY(!x.empty());
        const double level = levelDb(x, frames(400), frames(500));
        if (silenced)
            QVERIFY2(level < -70, qPrintable(QStringLiteral("%1 dBFS").arg(level)));
        else
            QVERIFY2(level > -55, qPrintable(QStringLiteral("%1 dBFS").arg(level)));
    }

    void instrument_data()
    {
        QTest::addColumn<Messages>("first");
        QTest::addColumn<Messages>("second");
        QTest::addColumn<bool>("differ");
        QTest::newRow("piano, glockenspiel") << Messages{} << Messages{0x000009C0} << true;
        QTest::newRow("piano, piano") << Messages{} << Messages{0x000000C0} << false;
        QTest::newRow("program change, other channel") << Messages{} << Messages{0x000009C1} << false;
        QTest::newRow("bank 0 selected first") << Messages{0x000009C0} << Messages{0x000000B0, 0x000009C0} << false;
    }
    void instrument()
    {
        QFETCH(Messages, first);
        QFETCH(Messages, second);
        QFETCH(bool, differ);
        std::vector<double> profiles[2];
        for (int i = 0; i < 2; ++i) {
            SynthEngine synth;
            QString error;
            QVERIFY2(synth.loadSoundFont({kTimGM}, error), qPrintable(error));
            for (std::uint32_t message : i == 0 ? first : second)
                synth.play(checked(message));
            synth.play(checked(0x00643C90));
            const std::vector<float> x = render(synth, frames(300));
            QVERIFY(!x.empty());
            profiles[i] = bandProfile(x, frames(50), 8192);
        }
        const double difference = meanDifferenceDb(profiles[0], profiles[1]);
        if (differ)
            QVERIFY2(difference > 6, qPrintable(QStringLiteral("%1 dB apart").arg(difference)));
        else
            QVERIFY2(difference < 0.5, qPrintable(QStringLiteral("%1 dB apart").arg(difference)));
    }

    // A message with a due time sounds at the frame that time falls on, within half of
    // FluidSynth's 64-frame block, wherever it falls in the output's periods. Where the
    // output tells when its frames are heard, the message is heard the lead (a period)
    // after its time, or the output's delay after it where that is longer: never earlier,
    // which would take a message sent the lead ahead for late.
    void placement_data()
    {
        QTest::addColumn<int>("sendFrame");
        QTest::addColumn<int>("dueFrame");    // -1: as soon as possible
        QTest::addColumn<int>("heardDelay");  // -1: the output does not say
        QTest::addColumn<int>("expected");    // the frame rendered
        QTest::newRow("inside the next period") << 0 << 700 << -1 << 700;
        QTest::newRow("on a block boundary") << 0 << 1024 << -1 << 1024;
        QTest::newRow("half a block past a boundary") << 0 << 1056 << -1 << 1056;
        QTest::newRow("periods ahead") << 0 << 5000 << -1 << 5000;
        QTest::newRow("sent a period ahead") << 4608 << 5300 << -1 << 5300;
        QTest::newRow("already late: at once") << 4608 << 2000 << -1 << 4608;
        QTest::newRow("no due time: at once") << 4608 << -1 << -1 << 4608;
        // Heard at 1500 + 512, the lead: rendered 300 frames before.
        QTest::newRow("stream's delay within the lead") << 0 << 1500 << 300 << 1712;
        // Heard at 3000 + 1200, the delay: rendered at the due frame itself.
        QTest::newRow("stream's delay beyond the lead") << 0 << 3000 << 1200 << 3000;
        QTest::newRow("stream's delay beyond the lead, sent late") << 2048 << 2300 << 1200 << 2300;
        QTest::newRow("stream's delay, already late: at once") << 4608 << 2000 << 1200 << 4608;
    }
    void placement()
    {
        QFETCH(int, sendFrame);
        QFETCH(int, dueFrame);
        QFETCH(int, heardDelay);
        QFETCH(int, expected);
        // The sample's own attack, measured with the note played at frame 0.
        int attack = 0;
        {
            SynthEngine synth;
            QString error;
            QVERIFY2(synth.loadSoundFont({kTimGM}, error), qPrintable(error));
            attack = onsetOf(renderScheduled(synth, 0x007F3C90, 0, -1));
            QVERIFY2(attack >= 0 && attack < 512, qPrintable(QString::number(attack)));
        }
        SynthEngine synth;
        QString error;
        QVERIFY2(synth.loadSoundFont({kTimGM}, error), qPrintable(error));
        const int onset = onsetOf(renderScheduled(synth, 0x007F3C90, sendFrame, dueFrame, heardDelay)) - attack;
        QVERIFY2(std::abs(onset - expected) <= 32, qPrintable(QStringLiteral("sounded at frame %1").arg(onset)));
    }

    // The audio thread meets a message that waits for its time and what is sent behind it.
    // Whatever reads the sound font (a preset chosen again) is played by the sending side
    // instead, and FluidSynth's log takes no lock there either.
    void audioThreadNeitherLocksNorLoads_data()
    {
        QTest::addColumn<Messages>("behind");
        QTest::addColumn<bool>("readsSoundFont");  // on the sending side
        QTest::addColumn<bool>("logs");
        QTest::newRow("a note-off") << Messages{0x00003C80} << false << false;
        QTest::newRow("a system reset") << Messages{0x000000FF} << true << false;
        QTest::newRow("a bank select and a program change") << Messages{0x000000B0, 0x000005C0} << true << false;
        QTest::newRow("an error logged on the audio thread") << Messages{} << false << true;
    }
    void audioThreadNeitherLocksNorLoads()
    {
        QFETCH(Messages, behind);
        QFETCH(bool, readsSoundFont);
        QFETCH(bool, logs);
        SynthEngine synth;
        QString error;
        QVERIFY2(synth.loadSoundFont({kTimGM}, error), qPrintable(error));
        // Every melodic channel leaves the piano for the flute, which shares no sample with
        // it, and FluidSynth unloads the piano's samples: choosing it again, as a reset
        // does, reads them from the sound font.
        for (int channel = 0; channel < kChannels; ++channel) {
            if (channel != 9)
                synth.play(checked(pack(kProgramChange | channel, 73)));
        }
        fakeNowNs = 0;
        SynthRenderer renderer(synth, &fakeNow);
        renderer.send(checked(0x00643C90), nsOfFrame(20 * kPeriod));
        probe::reset();
        probe::onAudioThread = true;
        for (std::uint32_t message : std::as_const(behind))
            renderer.send(checked(message));
        probe::onAudioThread = false;
        const bool readWhileSending = probe::counts[probe::FileRead] > 0;

        const std::uint64_t mark = FluidLog::mark();
        AudioThread audio(renderer, 40, {}, [&](std::uint64_t period) {
            // FluidSynth renders through OpenMP, whose first parallel region on a thread
            // allocates that thread's state: once, in an output's first period.
            if (period == 0)
                probe::reset();
            if (logs && period == 10)
                fluid_log(FLUID_ERR, "fluid_probe: error %d on the audio thread", int(period));
        });
        audio.thread.join();
        QCOMPARE(audio.periods.load(), 40u);
        QCOMPARE(probe::counts[probe::FileRead].load(), 0);
        QCOMPARE(probe::counts[probe::Lock].load(), 0);
        QCOMPARE(probe::counts[probe::Allocation].load(), 0);
        QCOMPARE(readWhileSending, readsSoundFont);
        if (logs)
            QCOMPARE(FluidLog::errorsSince(mark), QStringList{"fluid_probe: error 10 on the audio thread"});
    }

    // A reset drops what waits for its time; what comes after it plays at its time.
    void systemResetDropsWhatWaits()
    {
        Recorder recorder(4);
        fakeNowNs = 0;
        SynthRenderer renderer(recorder, &fakeNow);
        renderer.send(checked(0x00643C90), nsOfFrame(5 * kPeriod));
        renderer.send(checked(0x00003C80), nsOfFrame(6 * kPeriod));
        QCOMPARE(renderer.send(checked(0x000000FF)), SynthRenderer::Sent::Played);
        renderer.send(checked(0x00643E90), nsOfFrame(7 * kPeriod));
        AudioThread(renderer, 10).thread.join();
        QCOMPARE(recorder.count.load(), 2u);
        QCOMPARE(recorder.played[0], Recorder::Played(0x000000FF, false));
        QCOMPARE(recorder.played[1], Recorder::Played(0x00643E90, true));
    }

    // The sending side fills the ring faster than the audio thread, a period a millisecond,
    // empties it: it is told so, and every message it queued plays once, in order, there.
    void fullRingWithTwoThreads()
    {
        constexpr std::size_t kMessages = 3 * 4096;
        Recorder recorder(kMessages);
        fakeNowNs = 0;
        SynthRenderer renderer(recorder, &fakeNow);
        AudioThread audio(renderer, 1'000'000, std::chrono::milliseconds(1));
        int full = 0;
        for (std::size_t i = 0; i < kMessages; ++i) {
            // All different, spread over some fifty periods, none the sending side plays itself.
            const std::uint32_t message = pack(kKeyPressure | (i % 16), i / 16 % 128, i / 2048);
            SynthRenderer::Sent sent;
            while ((sent = renderer.send(checked(message), nsOfFrame(2 * i) + 1)) == SynthRenderer::Sent::Full) {
                ++full;
                std::this_thread::yield();
            }
            QCOMPARE(sent, SynthRenderer::Sent::Queued);
        }
        QTRY_COMPARE_WITH_TIMEOUT(recorder.count.load(), kMessages, 5000);
        QVERIFY(full > 0);
        for (std::size_t i = 0; i < kMessages; ++i)
            QCOMPARE(recorder.played[i], Recorder::Played(pack(kKeyPressure | (i % 16), i / 16 % 128, i / 2048), true));
    }

    // The audio thread decides to pause after 250 ms of silence, 22 periods after the last
    // wake-up; the next wake-up lands just before, at or after that decision, and wins.
    void wakeRacesThePause()
    {
        Recorder recorder(0);
        fakeNowNs = 0;
        SynthRenderer renderer(recorder, &fakeNow);
        AudioThread audio(renderer, 100'000'000);
        std::mt19937 random(1);
        std::uniform_int_distribution<int> between(20, 23);
        for (int round = 0; round < 2000; ++round) {
            QVERIFY(audio.reach(audio.periods + std::uint64_t(between(random))));
            renderer.wake();
            const std::uint64_t rendered = audio.rendered;
            // The period under way may have begun before the wake-up; the next may not.
            QVERIFY(audio.reach(audio.periods + 2));
            QVERIFY2(audio.rendered > rendered, qPrintable(QStringLiteral("round %1").arg(round)));
        }
    }

    // Finding and loading the sound font.

    void search_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("winner");  // empty: one of the system's
        QTest::newRow(".sf2 beside the program") << QStringList{"piano.sf2"} << "piano.sf2";
        QTest::newRow(".sf3 beside the program") << QStringList{"piano.sf3"} << "piano.sf3";
        QTest::newRow("upper-case extension") << QStringList{"PIANO.SF2"} << "PIANO.SF2";
        QTest::newRow("first by name") << QStringList{"b.sf2", "a.sf3"} << "a.sf3";
        QTest::newRow("other files") << QStringList{"genmidi.txt", "piano.sf2.bak"} << QString();
        QTest::newRow("directory named .sf2") << QStringList{"fonts.sf2/"} << QString();
        QTest::newRow("nothing beside the program") << QStringList{} << QString();
    }
    void search()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, winner);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const QString &file : files) {
            if (file.endsWith(QLatin1Char('/')))
                QVERIFY(QDir(dir.path()).mkdir(file.chopped(1)));
            else
                QVERIFY(QFile::link(kTimGM, dir.filePath(file)));
        }
        const QString found = SynthEngine::findSoundFont(SynthEngine::soundFontCandidates(dir.path()));
        if (winner.isEmpty()) {
            QVERIFY(!found.isEmpty());
            QVERIFY2(!found.startsWith(dir.path()), qPrintable(found));
        } else {
            QCOMPARE(found, dir.filePath(winner));
        }
    }

    // Installed beside the system's sound fonts, the program finds them twice: each is tried once.
    void fontsFoundTwiceAreTriedOnce()
    {
        const QStringList candidates = SynthEngine::soundFontCandidates(QFileInfo(kTimGM).path());
        QVERIFY(candidates.contains(kTimGM));
        QCOMPARE(QSet<QString>(candidates.begin(), candidates.end()).size(), candidates.size());
    }

    void load_data()
    {
        QTest::addColumn<QStringList>("candidates");  // "broken" is a file that is no sound font
        QTest::addColumn<QString>("loaded");
        QTest::newRow("first loads") << QStringList{kTimGM, "broken"} << kTimGM;
        QTest::newRow("broken one skipped") << QStringList{"broken", kTimGM} << kTimGM;
        QTest::newRow("missing one skipped") << QStringList{"/nonexistent/x.sf2", kTimGM} << kTimGM;
        QTest::newRow("none loads") << QStringList{"broken", "/nonexistent/x.sf2"} << QString();
        QTest::newRow("no candidates") << QStringList{} << QString();
    }
    void load()
    {
        QFETCH(QStringList, candidates);
        QFETCH(QString, loaded);
        QTemporaryDir dir;
        QFile broken(dir.filePath("broken.sf2"));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("RIFF\x04\0\0\0sfbk");
        broken.close();
        for (QString &candidate : candidates) {
            if (candidate == QLatin1String("broken"))
                candidate = broken.fileName();
        }

        SynthEngine synth;
        QString error;
        QCOMPARE(synth.loadSoundFont(candidates, error), !loaded.isEmpty());
        QCOMPARE(synth.soundFont(), loaded);
        if (loaded.isEmpty() && candidates.contains(broken.fileName()))
            QVERIFY2(error.contains("broken.sf2"), qPrintable(error));
    }

    // The backend, where no sound server is needed.

    void caps_data()
    {
        QTest::addColumn<std::uint32_t>("deviceId");
        QTest::addColumn<QStringList>("soundFonts");
        QTest::addColumn<MmResult>("expected");
        QTest::newRow("mapper") << kMidiMapper << QStringList{kTimGM} << result::NoError;
        QTest::newRow("mapper, no sound font") << kMidiMapper << QStringList{"/nonexistent/x.sf2"} << result::NoDriver;
        QTest::newRow("mapper, a folder for a sound font") << kMidiMapper << QStringList{QFileInfo(kTimGM).path()}
                                                           << result::NoDriver;
        QTest::newRow("device 0") << std::uint32_t(0) << QStringList{kTimGM} << result::BadDeviceId;
        QTest::newRow("mapper - 1") << std::uint32_t(0xFFFFFFFE) << QStringList{kTimGM} << result::BadDeviceId;
    }
    void caps()
    {
        QFETCH(std::uint32_t, deviceId);
        QFETCH(QStringList, soundFonts);
        QFETCH(MmResult, expected);
        SynthPlatform synth(soundFonts);
        QCOMPARE(synth.deviceCount(), 0u);
        DeviceCaps caps;
        QCOMPARE(synth.deviceCaps(deviceId, caps), expected);
        if (expected == result::NoError) {
            const std::u16string name = productName(caps);
            QVERIFY(!name.empty() && name.size() < kMaxProductNameLength);
        }
    }

    void refusedCalls()
    {
        SynthPlatform synth({kTimGM});
        HMidiOut handle = 0;
        QCOMPARE(synth.open(handle, 0, 0, 0, 0), result::BadDeviceId);
        QCOMPARE(handle, HMidiOut(0));
        QCOMPARE(synth.open(handle, kMidiMapper, 0, 0, 0x00030000), result::InvalidFlag);
        QCOMPARE(synth.send(0, 0x007F3C90), result::InvalidHandle);
        QCOMPARE(synth.close(0), result::InvalidHandle);
        QCOMPARE(synth.close(1), result::InvalidHandle);
        QCOMPARE(synth.errorText(result::InvalidHandle, nullptr, 0), result::InvalidParam);
    }

    void openWithoutSoundFont()
    {
        SynthPlatform synth({"/nonexistent/x.sf2"});
        HMidiOut handle = 0;
        const MmResult r = synth.open(handle, kMidiMapper, 0, 0, 0);
        QCOMPARE(r, result::NoDriver);
        QCOMPARE(handle, HMidiOut(0));
        QVERIFY2(errorText(synth, r).contains("音色库"), qPrintable(errorText(synth, r)));
    }

    // Nothing to play through, as main() leaves the process: no PulseAudio socket, no JACK
    // server of that name, no ALSA configuration. The open must fail at once, say what it
    // tried, start no server and print nothing of FluidSynth's.
    void openWithoutSoundServer()
    {
        QTemporaryFile stderrCopy;
        QVERIFY(stderrCopy.open());
        const QByteArray jackServer = qgetenv("JACK_DEFAULT_SERVER");
        SynthPlatform synth({kTimGM});
        HMidiOut handle = 0;
        QElapsedTimer timer;
        const int savedStderr = dup(STDERR_FILENO);
        dup2(stderrCopy.handle(), STDERR_FILENO);
        timer.start();
        const MmResult r = synth.open(handle, kMidiMapper, 0, 0, 0);
        const qint64 elapsed = timer.elapsed();
        dup2(savedStderr, STDERR_FILENO);
        ::close(savedStderr);

        QCOMPARE(r, result::NotEnabled);
        QCOMPARE(handle, HMidiOut(0));
        // A server started for us would take seconds: jackd gives up on missing hardware
        // after about 6 s. Well below that, even in a sanitizer build on a busy machine.
        QVERIFY2(elapsed < 3000, qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
        const QString text = errorText(synth, r);
        for (const char *output : {"pulseaudio", "jack", "alsa"})
            QVERIFY2(text.contains(QLatin1String(output)), qPrintable(text));
        QVERIFY2(text.contains("Connection refused"), qPrintable(text));  // the system's own words
        stderrCopy.seek(0);
        const QByteArray printed = stderrCopy.readAll();
        QVERIFY2(!printed.contains("fluidsynth"), printed.constData());

        // libjack forks a server at once when allowed to.
        QTest::qWait(300);
        QVERIFY2(!jackdRunsWith("JACK_DEFAULT_SERVER=" + jackServer), "a JACK server was started");
        QCOMPARE(synth.send(handle, 0x007F3C90), result::InvalidHandle);
    }
};

int main(int argc, char **argv)
{
    // Before any library's thread starts: the sound servers this process could reach are
    // none, for openWithoutSoundServer; everything else renders offline.
    QTemporaryDir runtime;
    QTemporaryFile alsaConfig;
    if (!runtime.isValid() || !alsaConfig.open())
        return 1;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    qunsetenv("PULSE_SERVER");
    qputenv("JACK_DEFAULT_SERVER", QByteArray("tirrel-none-") + QByteArray::number(getpid()));
    qputenv("ALSA_CONFIG_PATH", QFile::encodeName(alsaConfig.fileName()));
    // As the program does first; the synthesizer needs nothing of the MIDI ports.
    prepareProcess();
    QCoreApplication app(argc, argv);
    TestSynth test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_synth.moc"
