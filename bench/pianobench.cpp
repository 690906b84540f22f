// Measures the real program (or a peer) as a user meets it, under a private X server,
// PulseAudio server with a null sink, and JACK server that scripts/bench.sh starts. Each
// figure is printed as one `name: value` line.
//
// Usage: pianobench FIGURE [options] -- PROGRAM [ARGS...]
//   startup  [--runs N] [--idle-seconds S]    launch to window shown with its sound open,
//            [--tag TEXT]                     resident memory, CPU while idle; TEXT goes after
//                                             the first word of each name (_with_jack)
//   sound    [--trials N] [--glide-seconds S] key press to the first sample above -40 dBFS,
//            [--glide-runs N]                 a glide onto a key while another rings, and
//                                             dropouts in N glides of S seconds
//   midi     [--trials N]                     key press to the note-on at a JACK capture port
//   song     --song FILE                      the demo song's note onsets against its grid
//   floor    --server pulse|pipewire          a click of a minimal client of that server to
//            [--trials N] [--frames N]        the same capture, and dropouts in N runs of S
//            [--glide-seconds S]              seconds of its tone: the measuring chain's floor
//            [--glide-runs N]
// Options for all: --kind tirrel|vmpk (where the keys are), --prefix TEXT (before each name),
// --monitor SOURCE (the PulseAudio source, or pipewire:SINK for PipeWire's own capture of a
// sink; null.monitor by default), --capture-quantum N (the frames PipeWire's capture asks for).

#include "floorclient.h"
#include "precisetimer.h"
#include "sinkwatch.h"
#include "songplayer.h"
#include "options.h"
#include "soundmonitor.h"
#include "stats.h"
#include "stepvalue.h"
#include "support/jackserver.h"
#include "xpointer.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <pipewire/pipewire.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <unistd.h>

using namespace std::chrono_literals;
using bench::SoundMonitor;

namespace {

constexpr float kHeard = 0.01f;  // -40 dBFS
constexpr auto kLaunchTimeout = 20s;


double ms(std::int64_t ns) { return double(ns) / 1e6; }

void sleepMs(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

using bench::percentile;

QString prefix;

void print(const char *name, const QString &value)
{
    std::printf("%s%s: %s\n", qPrintable(prefix), name, qPrintable(value));
    std::fflush(stdout);
}
void print(const char *name, double value, int decimals = 1) { print(name, QString::number(value, 'f', decimals)); }

using bench::die;

// Where a program's controls are, in window pixels.
struct Layout
{
    QString title;
    QPoint keyA;  // two white keys, pressed in their lower half
    QPoint keyB;
    std::optional<QPoint> highKey;  // three octaves above keyA
    std::optional<QPoint> mutePad;
    std::optional<QPoint> playButton;
    std::optional<QPoint> deviceList;
};

Layout layoutFor(const QString &kind)
{
    if (kind == QLatin1String("vmpk")) {
        // Its keyboard fills the window's bottom strip; a key sounds while it is held.
        return {QStringLiteral("Virtual MIDI Piano Keyboard"), {490, 175}, {508, 175}, {}, {}, {}, {}};
    }
    // Keys 12 (C3) and 14 (D3), key 48 (C6); the mute pad, the play button and the device list.
    return {QStringLiteral("Tirrel V2.5"), {127, 150}, {143, 150}, QPoint(463, 150), QPoint(300, 78), QPoint(344, 20),
            QPoint(150, 50)};
}

struct Options
{
    QString figure;
    QString kind = QStringLiteral("tirrel");
    int runs = 5;
    int idleSeconds = 10;
    int trials = 20;
    int glideSeconds = 60;
    int glideRuns = 1;
    QString song;
    QString monitor = QStringLiteral("null.monitor");
    int captureQuantum = 64;
    QString server;
    int frames = 64;
    QString tag;
    QStringList command;
};

Options parse(const QStringList &args)
{
    Options o;
    const QString usage = QStringLiteral("pianobench startup|sound|midi|song|floor [options] [-- PROGRAM [ARGS...]]");
    o.figure = bench::readOptions(args, usage, o.command, [&o](const QString &name, const QString &value) {
        if (name == QLatin1String("--kind"))
            o.kind = value;
        else if (name == QLatin1String("--prefix"))
            prefix = value;
        else if (name == QLatin1String("--song"))
            o.song = value;
        else if (name == QLatin1String("--tag"))
            o.tag = value;
        else if (name == QLatin1String("--runs"))
            o.runs = bench::number(name, value);
        else if (name == QLatin1String("--idle-seconds"))
            o.idleSeconds = bench::number(name, value);
        else if (name == QLatin1String("--trials"))
            o.trials = bench::number(name, value);
        else if (name == QLatin1String("--glide-seconds"))
            o.glideSeconds = bench::number(name, value);
        else if (name == QLatin1String("--glide-runs"))
            o.glideRuns = bench::number(name, value);
        else if (name == QLatin1String("--monitor"))
            o.monitor = value;
        else if (name == QLatin1String("--capture-quantum"))
            o.captureQuantum = bench::number(name, value);
        else if (name == QLatin1String("--server"))
            o.server = value;
        else if (name == QLatin1String("--frames"))
            o.frames = bench::number(name, value);
        else
            return false;
        return true;
    });
    if (o.command.isEmpty() && o.figure != QLatin1String("floor"))
        die(QStringLiteral("no program given after --"));
    return o;
}

// The program under test, launched and watched until it has a window and a sound stream.
class Program
{
public:
    Program(const Options &options, bench::XPointer &x, bench::SinkWatch *sinks)
        : options_(options), layout_(layoutFor(options.kind)), x_(x), sinks_(sinks)
    {
    }
    ~Program()
    {
        stop();
        QFile::remove(log());
    }

    // Returns the time from launch until both had appeared.
    std::int64_t launch()
    {
        x_.forgetWindows();
        const std::int64_t start = song::steadyNow();
        QString error;
        pid_ = testsupport::spawnProcess(options_.command, log(), &error);
        if (pid_ < 0)
            die(error);
        std::int64_t mapped = 0;
        window_ = x_.waitForWindow(layout_.title, kLaunchTimeout, &mapped);
        if (window_ == 0)
            die(QStringLiteral("no window titled '%1' appeared within %2 s; its output:\n%3")
                    .arg(layout_.title).arg(kLaunchTimeout.count()).arg(output()));
        origin_ = x_.origin(window_);
        std::int64_t ready = mapped;
        if (sinks_ != nullptr) {
            const std::int64_t opened = sinks_->waitForNew(start, kLaunchTimeout);
            if (opened < 0)
                die(QStringLiteral("%1 opened no sound stream; its output:\n%2").arg(layout_.title, output()));
            ready = std::max(ready, opened);
        }
        return ready - start;
    }

    void stop()
    {
        if (pid_ > 0)
            testsupport::endProcess(pid_, SIGTERM);
        pid_ = -1;
    }

    pid_t pid() const { return pid_; }
    const Layout &layout() const { return layout_; }
    QPoint at(QPoint windowPos) const { return origin_ + windowPos; }
    QString output() const
    {
        QFile file(log());
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.read(4000)) : QString();
    }

private:
    QString log() const { return QStringLiteral("/tmp/pianobench-%1.log").arg(::getpid()); }

    const Options &options_;
    Layout layout_;
    bench::XPointer &x_;
    bench::SinkWatch *sinks_;
    pid_t pid_ = -1;
    unsigned long window_ = 0;
    QPoint origin_;
};

// utime + stime of a process, in seconds.
double cpuSeconds(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(file, line);
    const auto end = line.rfind(')');
    if (end == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    std::string field;
    for (std::size_t i = end + 2; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += line[i];
        }
    }
    // Fields 14 and 15 of the file; the first two (pid, name) are cut off here.
    return fields.size() > 12 ? (std::stod(fields[11]) + std::stod(fields[12])) / double(::sysconf(_SC_CLK_TCK)) : 0;
}

double residentMb(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (file >> key) {
        if (key == "VmRSS:") {
            double kb = 0;
            file >> kb;
            return kb / 1024.0;
        }
        file.ignore(4096, '\n');
    }
    return 0;
}

void startup(const Options &o, bench::XPointer &x, bench::SinkWatch &sinks)
{
    std::vector<double> times;
    std::vector<double> resident;
    std::vector<double> idle;
    for (int run = 0; run < o.runs; ++run) {
        Program program(o, x, &sinks);
        times.push_back(ms(program.launch()));
        sleepMs(2000);
        resident.push_back(residentMb(program.pid()));
        if (run + 1 == o.runs) {
            // One-second windows, so that a single busy moment shows in the 95th percentile.
            for (int second = 0; second < o.idleSeconds; ++second) {
                const double cpu0 = cpuSeconds(program.pid());
                const std::int64_t t0 = song::steadyNow();
                sleepMs(1000);
                idle.push_back(100.0 * (cpuSeconds(program.pid()) - cpu0) / (double(song::steadyNow() - t0) / 1e9));
            }
        }
        program.stop();
        sleepMs(300);
    }
    const auto name = [&](const char *first, const char *rest) { return (first + o.tag + rest).toStdString(); };
    print(name("startup", "_median_ms").c_str(), percentile(times, 0.5));
    print(name("startup", "_p95_ms").c_str(), percentile(times, 0.95));
    print(name("rss", "_median_mb").c_str(), percentile(resident, 0.5));
    print(name("idle_cpu", "_percent").c_str(), std::accumulate(idle.begin(), idle.end(), 0.0) / double(idle.size()), 2);
    print(name("idle_cpu", "_p95_percent").c_str(), percentile(idle, 0.95), 2);
}

// A new note, also over one already sounding: the first sample from `from` on whose step
// from the sample before is twice as large as any step in the 10 ms before it, and which is
// loud enough to hear. A key's attack is a burst of high frequencies; a sounding note's
// steps only shrink as it decays.
std::int64_t onsetIn(const std::vector<float> &s, std::size_t from, std::size_t to, int rate)
{
    const std::size_t kLookBack = std::size_t(rate) / 100;
    const std::size_t kGap = std::size_t(rate) / 1000;
    const auto step = [&](std::size_t n) { return std::fabs(s[n] - s[n - 1]); };
    for (std::size_t n = std::max(from, kLookBack + 1); n < std::min(to, s.size()); ++n) {
        if (std::fabs(s[n]) < kHeard)
            continue;
        float before = 0;
        for (std::size_t k = n - kLookBack; k < n - kGap; ++k)
            before = std::max(before, step(k));
        if (step(n) >= 2 * before && step(n) > 0)
            return std::int64_t(n);
    }
    return -1;
}

// Records the null sink's monitor, where the program's sound arrives.
void listenToTheSink(SoundMonitor &monitor, const Options &o)
{
    QString error;
    if (!monitor.start(o.monitor, &error, o.captureQuantum))
        die(error);
}

void sound(const Options &o, bench::XPointer &x, bench::SinkWatch &sinks)
{
    SoundMonitor monitor;
    listenToTheSink(monitor, o);
    const int rate = monitor.rate();
    Program program(o, x, &sinks);
    program.launch();
    const Layout &layout = program.layout();
    // Let the start-up settle: the program's stream has started and gone quiet.
    sleepMs(1500);

    const auto silence = [&] {
        if (layout.mutePad)
            x.moveTo(program.at(*layout.mutePad));
        monitor.waitQuiet(kHeard, 300ms, 5s);
        // Long enough for an output that stops in silence to have stopped: the release and
        // the reverb of a piano note take about a second to die away below -80 dBFS.
        sleepMs(1500);
    };
    // Presses where the pointer is, holds for `holdMs`, and keeps the time to the first
    // sound heard, if any.
    const auto timePress = [&](int holdMs, std::vector<double> &times) {
        const std::size_t from = monitor.size();
        const std::int64_t pressed = x.press();
        const std::int64_t heard = monitor.waitFor(kHeard, from, 2s);
        sleepMs(holdMs);
        x.release();
        if (heard >= 0)
            times.push_back(ms(monitor.arrivalNs(std::size_t(heard)) - pressed));
        silence();
    };

    std::vector<double> fromSilence;
    for (int trial = 0; trial < o.trials; ++trial) {
        x.moveTo(program.at(trial % 2 == 0 ? layout.keyA : layout.keyB));
        sleepMs(50);
        timePress(200, fromSilence);
    }
    print("press_to_sound_trials", QStringLiteral("%1/%2").arg(fromSilence.size()).arg(o.trials));
    if (!fromSilence.empty()) {
        print("press_to_sound_median_ms", percentile(fromSilence, 0.5));
        print("press_to_sound_p95_ms", percentile(fromSilence, 0.95));
    }

    // Into a running stream: a note is stopped on the mute pad and, once it has fallen
    // below the threshold but long before the output would rest, the next key is pressed.
    std::vector<double> intoRunning;
    for (int trial = 0; trial < o.trials && layout.mutePad; ++trial) {
        x.moveTo(program.at(layout.keyA));
        x.press();
        sleepMs(300);
        x.release();
        x.moveTo(program.at(*layout.mutePad));
        if (!monitor.waitQuiet(kHeard, 20ms, 2s))
            continue;
        x.moveTo(program.at(layout.keyB));
        timePress(100, intoRunning);
    }
    if (!intoRunning.empty()) {
        print("press_to_sound_running_median_ms", percentile(intoRunning, 0.5));
        print("press_to_sound_running_p95_ms", percentile(intoRunning, 0.95));
    }

    // Onto a key while another rings: the button held on one key, then the pointer moved on
    // to another, which ends the first note as it starts the second. The new note's attack
    // is found over the first one's release: the piano's attack is soft, and over a note a
    // step away it shows no edge, so the second key is three octaves up.
    std::vector<double> glideOnto;
    for (int trial = 0; trial < o.trials && layout.highKey; ++trial) {
        x.moveTo(program.at(layout.keyA));
        sleepMs(50);
        x.press();
        sleepMs(300);
        const std::size_t from = monitor.size();
        const std::int64_t moved = x.moveTo(program.at(*layout.highKey));
        sleepMs(300);
        const std::size_t to = monitor.size();
        x.release();
        const std::int64_t onset = onsetIn(monitor.samples(0, to), from, to, rate);
        if (onset >= 0)
            glideOnto.push_back(ms(monitor.arrivalNs(std::size_t(onset)) - moved));
        silence();
    }
    if (!glideOnto.empty()) {
        print("glide_onto_ringing_trials", QStringLiteral("%1/%2").arg(glideOnto.size()).arg(o.trials));
        print("glide_onto_ringing_median_ms", percentile(glideOnto, 0.5));
        print("glide_onto_ringing_p95_ms", percentile(glideOnto, 0.95));
    }

    if (o.glideSeconds > 0 && layout.mutePad) {
        // Back and forth over all 38 white keys with the button held, a key (16 pixels)
        // every 50 ms.
        const double left = 16, right = 16 * 38;
        int total = 0;
        int most = 0;
        for (int run = 0; run < o.glideRuns; ++run) {
            x.moveTo(program.at({int(left), layout.keyA.y()}));
            const std::size_t from = monitor.size();
            x.press();
            const std::int64_t end = song::steadyNow() + std::int64_t(o.glideSeconds) * 1'000'000'000;
            double step = 3.2;
            double column = left;
            while (song::steadyNow() < end) {
                column += step;
                if (column <= left || column >= right)
                    step = -step;
                x.moveTo(program.at({int(column), layout.keyA.y()}));
                sleepMs(10);
            }
            const std::size_t to = monitor.size();
            x.release();
            const std::int64_t first = monitor.waitFor(kHeard, from, 1s);
            if (first < 0)
                die(QStringLiteral("a glide was not heard"));
            const int gaps = bench::dropouts(monitor.samples(std::size_t(first), to), rate);
            total += gaps;
            most = std::max(most, gaps);
            silence();
        }
        print("glide_seconds", QString::number(o.glideSeconds));
        print("glide_runs", QString::number(o.glideRuns));
        print("glide_dropouts", QString::number(total));
        print("glide_dropouts_most_in_a_run", QString::number(most));
    }
    program.stop();
    monitor.stop();
}

void midi(const Options &o, bench::XPointer &x)
{
    const QString server = qEnvironmentVariable("JACK_DEFAULT_SERVER");
    if (server.isEmpty())
        die(QStringLiteral("JACK_DEFAULT_SERVER names no JACK server"));
    testsupport::MidiCapture capture;
    const QString client = QStringLiteral("pianobench-%1").arg(::getpid());
    if (!capture.open(server, client, QStringLiteral("in")))
        die(capture.errorString());
    // The port exists before the program does, as a synthesizer started first would.
    Program program(o, x, nullptr);
    program.launch();
    const Layout &layout = program.layout();
    if (!layout.deviceList)
        die(QStringLiteral("no device list to choose the JACK port from"));
    // Choosing the port is not timed; xdotool types its name into the open list.
    sleepMs(500);
    x.click(program.at(*layout.deviceList));
    sleepMs(500);
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"),
                                                  capture.portName()});
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Return")});

    // JACK's clock is the monotonic clock in microseconds; the offset is measured all the same.
    const std::int64_t offsetNs = std::int64_t(testsupport::MidiCapture::now()) * 1000 - song::steadyNow();
    const auto noteOnAfter = [&](std::size_t seen, std::chrono::milliseconds timeout) -> std::int64_t {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto events = capture.waitForEvents(seen + 1, 50ms);
            for (std::size_t i = seen; i < events.size(); ++i) {
                const auto &b = events[i].bytes;
                if (b.size() == 3 && (b[0] & 0xF0) == 0x90 && b[2] > 0)
                    return std::int64_t(events[i].arrivalUsecs) * 1000 - offsetNs;
            }
        }
        return -1;
    };

    std::vector<double> latencies;
    for (int trial = -1; trial < o.trials; ++trial) {
        const QPoint key = trial % 2 == 0 ? layout.keyA : layout.keyB;
        x.moveTo(program.at(key));
        sleepMs(150);
        const std::size_t seen = capture.events().size();
        const std::int64_t pressed = x.press();
        const std::int64_t arrived = noteOnAfter(seen, trial < 0 ? 5000ms : 2000ms);
        x.release();
        if (trial < 0 && arrived < 0)
            die(QStringLiteral("no note reached %1 after choosing it; the program said:\n%2").arg(capture.portName(), program.output()));
        if (trial >= 0 && arrived >= 0)
            latencies.push_back(ms(arrived - pressed));
    }
    program.stop();
    print("press_to_midi_trials", QStringLiteral("%1/%2").arg(latencies.size()).arg(o.trials));
    if (!latencies.empty()) {
        print("press_to_midi_median_ms", percentile(latencies, 0.5), 2);
        print("press_to_midi_p95_ms", percentile(latencies, 0.95), 2);
    }
}

void songTiming(const Options &o, bench::XPointer &x, bench::SinkWatch &sinks)
{
    QFile file(o.song);
    if (!file.open(QIODevice::ReadOnly))
        die(QStringLiteral("cannot read %1").arg(o.song));
    // Line k of the song is due (k + 1) steps after the start; only note lines sound.
    std::vector<int> noteLines;
    int lines = 0;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const song::Step step = song::parseStep(QString::fromLatin1(raw).remove(QLatin1Char('\r')));
        if (step.kind == song::StepKind::End)
            break;
        if (step.kind == song::StepKind::Note)
            noteLines.push_back(lines);
        ++lines;
    }
    if (noteLines.size() < 2)
        die(QStringLiteral("%1 has fewer than two notes").arg(o.song));

    SoundMonitor monitor;
    listenToTheSink(monitor, o);
    const int rate = monitor.rate();
    Program program(o, x, &sinks);
    program.launch();
    if (!program.layout().playButton)
        die(QStringLiteral("no play button"));
    sleepMs(1500);
    const std::size_t from = monitor.size();
    x.click(program.at(*program.layout().playButton));
    monitor.waitSize(from + std::size_t((lines + 3) * song::kStepMs) * std::size_t(rate) / 1000, std::chrono::milliseconds((lines + 20) * song::kStepMs));
    program.stop();
    monitor.stop();

    const std::vector<float> s = monitor.samples(0, monitor.size());
    const std::int64_t first = onsetIn(s, from, s.size(), rate);
    if (first < 0)
        die(QStringLiteral("the song was not heard"));
    // Onsets on the monotonic clock, against the grid through the first note, in ms; each
    // looked for from 40 ms before its step to 60 ms after.
    const double firstMs = ms(monitor.fittedNs(std::size_t(first)));
    std::vector<double> errors;
    std::vector<double> steps;
    for (const int line : noteLines) {
        const double dueMs = firstMs + (line - noteLines.front()) * song::kStepMs;
        const std::size_t lo = monitor.indexAt(std::int64_t((dueMs - 40) * 1e6));
        const std::size_t hi = monitor.indexAt(std::int64_t((dueMs + 60) * 1e6));
        const std::int64_t onset = onsetIn(s, lo, hi, rate);
        if (onset < 0)
            continue;
        errors.push_back(ms(monitor.fittedNs(std::size_t(onset))) - firstMs - (line - noteLines.front()) * song::kStepMs);
        steps.push_back(line - noteLines.front());
    }
    if (errors.empty())
        die(QStringLiteral("no note of the song was found in the recording"));
    // The grid is placed where the notes lie best (the median error), so the first note's own error counts too.
    const double centre = percentile(errors, 0.5);
    double largest = 0;
    for (const double e : errors)
        largest = std::max(largest, std::fabs(e - centre));
    // Drift: the least-squares slope of the errors, over the length of the song.
    const double n = double(errors.size());
    const double meanStep = std::accumulate(steps.begin(), steps.end(), 0.0) / n;
    const double meanError = std::accumulate(errors.begin(), errors.end(), 0.0) / n;
    double num = 0, den = 0;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        num += (steps[i] - meanStep) * (errors[i] - meanError);
        den += (steps[i] - meanStep) * (steps[i] - meanStep);
    }
    const double drift = den > 0 ? num / den * (noteLines.back() - noteLines.front()) : 0;
    print("song_onsets", QStringLiteral("%1/%2").arg(errors.size()).arg(noteLines.size()));
    print("song_max_error_ms", largest, 2);
    std::vector<double> absolute;
    for (const double e : errors)
        absolute.push_back(std::fabs(e - centre));
    print("song_p50_error_ms", percentile(absolute, 0.5), 2);
    print("song_p90_error_ms", percentile(absolute, 0.9), 2);
    print("song_p95_error_ms", percentile(absolute, 0.95), 2);
    print("song_drift_ms", drift, 2);
}

// A click of a minimal client, asked for as a key is pressed, to the first sample above
// -40 dBFS in the same capture as the program's: what the server and the capture cost
// without the program, the X server or the window.
void floorFigure(const Options &o)
{
    SoundMonitor monitor;
    listenToTheSink(monitor, o);
    bench::FloorClient client;
    QString error;
    const bool started = o.server == QLatin1String("pipewire") ? client.startPipeWire(monitor.rate(), o.frames, &error)
                         : o.server == QLatin1String("pulse")  ? client.startPulse(monitor.rate(), o.frames, &error)
                                                              : (error = QStringLiteral("--server pulse|pipewire"), false);
    if (!started)
        die(error);
    // Until a fresh stream plays in step with the capture.
    sleepMs(1000);
    std::vector<double> times;
    for (int trial = 0; trial < o.trials; ++trial) {
        monitor.waitQuiet(kHeard, 100ms, 2s);
        sleepMs(37);  // a little off the server's period, from trial to trial
        const std::size_t from = monitor.size();
        const std::int64_t asked = client.click();
        const std::int64_t heard = monitor.waitFor(kHeard, from, 2s);
        if (heard >= 0)
            times.push_back(ms(monitor.arrivalNs(std::size_t(heard)) - asked));
    }
    print("floor_frames", QString::number(o.frames));
    print("floor_trials", QStringLiteral("%1/%2").arg(times.size()).arg(o.trials));
    if (!times.empty()) {
        print("floor_median_ms", percentile(times, 0.5));
        print("floor_p95_ms", percentile(times, 0.95));
    }
    // A steady tone for as long as the program's glides: the gaps the server and the
    // capture make on their own.
    if (o.glideSeconds > 0) {
        int total = 0;
        for (int run = 0; run < o.glideRuns; ++run) {
            client.playTone(true);
            sleepMs(300);
            const std::size_t from = monitor.size();
            sleepMs(o.glideSeconds * 1000);
            total += bench::dropouts(monitor.samples(from, monitor.size()), monitor.rate());
            client.playTone(false);
        }
        print("floor_dropouts", QString::number(total));
    }
    client.stop();
    monitor.stop();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    pw_init(nullptr, nullptr);
    const Options o = parse(app.arguments());
    if (o.figure == QLatin1String("floor")) {
        floorFigure(o);
        return 0;
    }
    bench::XPointer x;
    QString error;
    if (!x.open(&error))
        die(error);
    bench::SinkWatch sinks;
    if (o.figure != QLatin1String("midi") && !sinks.start(&error))
        die(error);
    if (o.figure == QLatin1String("startup"))
        startup(o, x, sinks);
    else if (o.figure == QLatin1String("sound"))
        sound(o, x, sinks);
    else if (o.figure == QLatin1String("midi"))
        midi(o, x);
    else if (o.figure == QLatin1String("song"))
        songTiming(o, x, sinks);
    else
        die(QStringLiteral("unknown figure %1").arg(o.figure));
    return 0;
}
