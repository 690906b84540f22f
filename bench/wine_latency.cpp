// Times Windows programs' sound under Wine, from Linux: Wine plays WASAPI, DirectSound and
// WaveOut through its PulseAudio driver, and what a program plays arrives in the null sink of
// the PulseAudio server scripts/bench.sh starts, where it is recorded and timed on the
// monotonic clock. Each figure is printed as one `name: value` line.
//
// Usage: wine_latency FIGURE [options] -- WINE PROGRAM.exe [ARGS...]
//   floor       [--runs N]   bench/windows/wasapi_floor.exe, run N times: its clicks from the
//               write into the stream to the first sample above -40 dBFS, and dropouts in
//               its steady tone (per run, as are the times its stream ran empty). It reports
//               when it wrote on QueryPerformanceCounter, which Wine 8 reads from
//               CLOCK_MONOTONIC_RAW, not from the CLOCK_MONOTONIC the recording is timed on: the
//               two were 260 ms apart here after 20 minutes up. The clock lines it prints
//               first show which clock it is.
//   fluidsynth  [--trials N] [--hold-seconds S]   FluidSynth's own fluidsynth.exe, played
//               through its shell on standard input: a note-on typed to the first sample
//               above -40 dBFS (the shell's reading included), and dropouts in a held note.
//   program     [--runs N] [--trials N]   the Windows program, started N times: a key pressed
//               through XTest on the X server it shows on (timed just before the request
//               leaves, on the monotonic clock, as bench/pianobench times the Linux program) to
//               the first sample above -40 dBFS, from silence. Under Wine the delay of a
//               stream is set as it starts and differed here by up to 25 ms from one start to
//               the next, so the trials of several starts are pooled, and each start's median
//               is printed too.
// Options for all: --prefix TEXT (before each name).

#include "precisetimer.h"
#include "options.h"
#include "soundmonitor.h"
#include "stats.h"
#include "xpointer.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using bench::SoundMonitor;

namespace {

constexpr float kHeard = 0.01f;  // -40 dBFS

QString prefix;

void print(const char *name, const QString &value)
{
    std::printf("%s%s: %s\n", qPrintable(prefix), name, qPrintable(value));
    std::fflush(stdout);
}
void print(const char *name, double value, int decimals = 1) { print(name, QString::number(value, 'f', decimals)); }

using bench::die;

double ms(std::int64_t ns) { return double(ns) / 1e6; }

std::int64_t rawNow()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

struct Options
{
    QString figure;
    int trials = 20;
    int holdSeconds = 10;
    int runs = 1;
    QStringList command;
};

Options parse(const QStringList &args)
{
    Options o;
    const QString usage = QStringLiteral("wine_latency floor|fluidsynth|program [options] -- WINE PROGRAM.exe [ARGS...]");
    o.figure = bench::readOptions(args, usage, o.command, [&o](const QString &name, const QString &value) {
        if (name == QLatin1String("--prefix"))
            prefix = value;
        else if (name == QLatin1String("--trials"))
            o.trials = bench::number(name, value);
        else if (name == QLatin1String("--hold-seconds"))
            o.holdSeconds = bench::number(name, value);
        else if (name == QLatin1String("--runs"))
            o.runs = bench::number(name, value);
        else
            return false;
        return true;
    });
    if (o.command.size() < 2)
        die(QStringLiteral("no Wine and program given after --"));
    return o;
}

void start(QProcess &program, const QStringList &command)
{
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(command.front(), command.mid(1));
    if (!program.waitForStarted(10'000))
        die(QStringLiteral("cannot start %1: %2").arg(command.join(u' '), program.errorString()));
}

// The first sample from `from` on, within `within` samples, at or above the level heard.
std::optional<std::size_t> firstHeard(const SoundMonitor &monitor, std::size_t from, std::size_t within)
{
    const std::vector<float> s = monitor.samples(from, from + within);
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (std::fabs(s[i]) >= kHeard)
            return from + i;
    }
    return std::nullopt;
}

void printTimes(const char *what, const std::vector<double> &times, int trials)
{
    print(qPrintable(QStringLiteral("%1_trials").arg(QLatin1String(what))), QStringLiteral("%1/%2").arg(times.size()).arg(trials));
    if (times.empty())
        return;
    print(qPrintable(QStringLiteral("%1_median_ms").arg(QLatin1String(what))), bench::median(times));
    print(qPrintable(QStringLiteral("%1_p95_ms").arg(QLatin1String(what))), bench::percentile(times, 0.95));
    print(qPrintable(QStringLiteral("%1_max_ms").arg(QLatin1String(what))), *std::max_element(times.begin(), times.end()));
}

// One run of the floor program: its clicks' times to sound, the dropouts in its tone.
struct FloorRun
{
    std::vector<double> fromWrite, fromAsking;
    int clicks = 0;
    int dropouts = -1;  // -1: the tone was not heard
    double toneSeconds = 0;
    int starved = 0;
};

FloorRun floorRun(const Options &o, SoundMonitor &monitor, bool printInfo)
{
    QProcess program;
    start(program, o.command);
    struct Click
    {
        std::int64_t asked, written;
    };
    std::vector<Click> clicks;
    std::int64_t toneFirst = 0, toneLast = 0;
    FloorRun run;
    // Each clock line's arrival here less the time it reports: at least the way through the
    // pipe when both read one clock, off by the clocks' distance when they do not.
    std::int64_t offset = INT64_MAX, rawOffset = INT64_MAX;
    // The program's times on the recording's clock: the two clocks drift apart by parts per
    // million, so their distance read as each line comes in is good for it.
    std::int64_t rawToSteady = 0;
    const auto steady = [&](const QByteArray &rawNs) { return rawNs.toLongLong() + rawToSteady; };
    while (program.state() != QProcess::NotRunning || program.canReadLine()) {
        if (!program.canReadLine() && !program.waitForReadyRead(100))
            continue;
        const std::int64_t arrived = song::steadyNow(), rawArrived = rawNow();
        rawToSteady = arrived - rawArrived;
        while (program.canReadLine()) {
            const QList<QByteArray> words = program.readLine().trimmed().split(' ');
            if (words.front() == "clock" && words.size() == 2) {
                offset = std::min<std::int64_t>(offset, arrived - words[1].toLongLong());
                rawOffset = std::min<std::int64_t>(rawOffset, rawArrived - words[1].toLongLong());
            } else if (words.front() == "info" && words.size() == 3) {
                if (words[1] == "starved")
                    run.starved = words[2].toInt();
                else if (printInfo)
                    print(words[1].constData(), QString::fromLatin1(words[2]));
            } else if (words.front() == "click" && words.size() == 3) {
                clicks.push_back({steady(words[1]), steady(words[2])});
            } else if (words.front() == "tone" && words.size() == 3 && words[1] != "0") {
                toneFirst = steady(words[1]);
                toneLast = steady(words[2]);
            }
        }
    }
    if (program.exitStatus() != QProcess::NormalExit || program.exitCode() != 0)
        die(QStringLiteral("%1 failed with status %2").arg(o.command.join(u' ')).arg(program.exitCode()));
    if (printInfo) {
        print("clock_offset_ms", ms(offset), 3);
        print("clock_offset_raw_ms", ms(rawOffset), 3);
    }

    run.clicks = int(clicks.size());
    for (const Click &click : clicks) {
        const auto heard = firstHeard(monitor, monitor.firstArrivedAfter(click.written), monitor.rate() / 5);
        if (!heard)
            continue;
        const std::int64_t at = monitor.arrivalNs(*heard);
        run.fromWrite.push_back(ms(at - click.written));
        run.fromAsking.push_back(ms(at - click.asked));
    }
    // The tone's last write is heard a buffer later: up to that read, all of it is tone.
    const auto toneHeard = firstHeard(monitor, monitor.firstArrivedAfter(toneFirst), monitor.rate());
    if (toneFirst != 0 && toneHeard) {
        const std::size_t toneEnd = monitor.firstArrivedAfter(toneLast);
        run.toneSeconds = double(toneEnd - *toneHeard) / monitor.rate();
        run.dropouts = bench::dropouts(monitor.samples(*toneHeard, toneEnd), monitor.rate());
    }
    return run;
}

// The trials of all runs together, and each run's median: under Wine a stream's delay is
// set when it starts, and differs from one start to the next by more than within one.
void wasapiFloor(const Options &o, SoundMonitor &monitor)
{
    std::vector<double> fromWrite, fromAsking;
    QStringList runMedians, dropouts, starved;
    int clicks = 0;
    double toneSeconds = 0;
    for (int i = 0; i < o.runs; ++i) {
        const FloorRun run = floorRun(o, monitor, i == 0);
        clicks += run.clicks;
        fromWrite.insert(fromWrite.end(), run.fromWrite.begin(), run.fromWrite.end());
        fromAsking.insert(fromAsking.end(), run.fromAsking.begin(), run.fromAsking.end());
        runMedians << (run.fromWrite.empty() ? QStringLiteral("-") : QString::number(bench::median(run.fromWrite), 'f', 1));
        dropouts << (run.dropouts < 0 ? QStringLiteral("no sound") : QString::number(run.dropouts));
        starved << QString::number(run.starved);
        toneSeconds = std::max(toneSeconds, run.toneSeconds);
    }
    printTimes("write_to_sound", fromWrite, clicks);
    print("write_to_sound_run_medians_ms", runMedians.join(u'/'));
    printTimes("asked_to_sound", fromAsking, clicks);
    print("tone_seconds", toneSeconds);
    print("tone_dropouts", dropouts.join(u'/'));
    print("tone_starved", starved.join(u'/'));
}

void type(QProcess &program, const char *line)
{
    program.write(line);
    program.waitForBytesWritten(1000);
}

void fluidsynthShell(const Options &o, SoundMonitor &monitor)
{
    QProcess program;
    start(program, o.command);
    const auto drain = [&](std::chrono::milliseconds time) {
        const auto end = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < end) {
            program.waitForReadyRead(20);
            program.readAllStandardOutput();
            if (program.state() == QProcess::NotRunning)
                die(QStringLiteral("%1 ended with status %2").arg(o.command.join(u' ')).arg(program.exitCode()));
        }
    };
    // Loading the soundfont and opening the driver, under Wine.
    drain(3s);

    std::vector<double> times;
    for (int trial = 0; trial < o.trials; ++trial) {
        const std::size_t from = monitor.size();
        type(program, trial % 2 == 0 ? "noteon 0 60 100\n" : "noteon 0 62 100\n");
        const std::int64_t typed = song::steadyNow();
        const std::int64_t heard = monitor.waitFor(kHeard, from, 2s);
        drain(200ms);
        type(program, trial % 2 == 0 ? "noteoff 0 60\n" : "noteoff 0 62\n");
        if (heard >= 0)
            times.push_back(ms(monitor.arrivalNs(std::size_t(heard)) - typed));
        monitor.waitQuiet(kHeard, 300ms, 5s);
        drain(300ms);
    }
    printTimes("typed_to_sound", times, o.trials);

    // An organ, which holds its level while the key is down.
    type(program, "prog 0 19\n");
    drain(200ms);
    const std::size_t from = monitor.size();
    type(program, "noteon 0 60 100\n");
    const std::int64_t first = monitor.waitFor(kHeard, from, 2s);
    drain(std::chrono::seconds(o.holdSeconds));
    const std::size_t end = monitor.size();
    type(program, "noteoff 0 60\n");
    print("held_seconds", QString::number(o.holdSeconds));
    print("held_dropouts", first < 0 ? QStringLiteral("no sound")
                                     : QString::number(bench::dropouts(monitor.samples(std::size_t(first), end), monitor.rate())));
    type(program, "quit\n");
    program.closeWriteChannel();
    if (!program.waitForFinished(10'000))
        program.kill();
}

// The Windows program's window and where it is pressed: keys 12 (C) and 14 (D), and the
// mute pad, as bench/pianobench presses the Linux program.
constexpr char kTitle[] = "Tirrel V2.5";
constexpr QPoint kKeys[] = {{127, 150}, {143, 150}};
constexpr QPoint kMutePad{300, 78};
constexpr QPoint kPower{420, 20};

void windowsProgram(const Options &o, SoundMonitor &monitor)
{
    bench::XPointer x;
    QString error;
    if (!x.open(&error))
        die(error);
    std::vector<double> times;
    QStringList runMedians;
    for (int run = 0; run < o.runs; ++run) {
        x.forgetWindows();
        QProcess program;
        start(program, o.command);
        std::int64_t mapped = 0;
        const unsigned long window = x.waitForWindow(QString::fromLatin1(kTitle), 30s, &mapped);
        if (window == 0)
            die(QStringLiteral("no window titled %1 appeared within 30 s").arg(QLatin1String(kTitle)));
        const QPoint origin = x.origin(window);
        // The stream has started and the instrument chosen at start-up has gone quiet.
        std::this_thread::sleep_for(1500ms);
        std::vector<double> runTimes;
        for (int trial = 0; trial < o.trials; ++trial) {
            x.moveTo(origin + kKeys[trial % 2]);
            std::this_thread::sleep_for(50ms);
            const std::size_t from = monitor.size();
            const std::int64_t pressed = x.press();
            const std::int64_t heard = monitor.waitFor(kHeard, from, 2s);
            std::this_thread::sleep_for(200ms);
            x.release();
            if (heard >= 0)
                runTimes.push_back(ms(monitor.arrivalNs(std::size_t(heard)) - pressed));
            x.moveTo(origin + kMutePad);
            monitor.waitQuiet(kHeard, 300ms, 5s);
            // Long enough for the renderer to rest, as it does after a while of silence.
            std::this_thread::sleep_for(1500ms);
        }
        times.insert(times.end(), runTimes.begin(), runTimes.end());
        runMedians << (runTimes.empty() ? QStringLiteral("-") : QString::number(bench::median(runTimes), 'f', 1));
        x.click(origin + kPower);
        if (!program.waitForFinished(10'000)) {
            program.kill();
            program.waitForFinished();
        }
    }
    printTimes("press_to_sound", times, o.runs * o.trials);
    print("press_to_sound_run_medians_ms", runMedians.join(u'/'));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const Options o = parse(app.arguments());
    SoundMonitor monitor;
    QString error;
    if (!monitor.start(QStringLiteral("null.monitor"), &error))
        die(error);
    if (o.figure == QLatin1String("floor"))
        wasapiFloor(o, monitor);
    else if (o.figure == QLatin1String("fluidsynth"))
        fluidsynthShell(o, monitor);
    else if (o.figure == QLatin1String("program"))
        windowsProgram(o, monitor);
    else
        die(QStringLiteral("unknown figure %1").arg(o.figure));
    monitor.stop();
    return 0;
}
