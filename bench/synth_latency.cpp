// The built-in synthesizer against a private PulseAudio null sink: time from a note-on
// call to the first sample above -40 dBFS in the sink's monitor, dropouts in a held note
// (idle and with both cores busy), and the CPU the open, idle synthesizer takes.

#include "router/backend.h"
#include "router/systemplatform.h"
#include "stats.h"
#include "support/pulseserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

using namespace midi;
using testsupport::PulseServer;

namespace {

constexpr int kRate = 44100;
constexpr float kThreshold = 0.01f;  // -40 dBFS
constexpr int kTrials = 20;
constexpr std::uint32_t kMiddleCOn = 0x00643C90;   // middle C, velocity 100
constexpr std::uint32_t kMiddleCOff = 0x00003C80;

double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// The null sink's monitor, recorded as it arrives. A sample counts as heard when the
// read that brought it returns: an upper bound, as it includes the recording's own delay.
class Monitor
{
public:
    bool start()
    {
        parec_.start(QStringLiteral("parec"),
                     {QStringLiteral("--device=null.monitor"), QStringLiteral("--raw"),
                      QStringLiteral("--format=float32le"), QStringLiteral("--channels=1"),
                      QStringLiteral("--rate=%1").arg(kRate), QStringLiteral("--latency-msec=2")});
        return parec_.waitForStarted(3000);
    }
    void stop()
    {
        parec_.terminate();
        parec_.waitForFinished(3000);
    }
    // Reads for `ms`, or until a sample from `from` on reaches the threshold; returns its
    // index or -1, and when it arrived in `arrival`.
    long pump(double ms, long from = -1, double *arrival = nullptr)
    {
        const double end = nowMs() + ms;
        while (nowMs() < end) {
            if (!parec_.waitForReadyRead(1))
                continue;
            bytes_.append(parec_.readAll());
            const auto whole = bytes_.size() / sizeof(float);
            const std::size_t before = samples.size();
            samples.resize(whole);
            std::memcpy(samples.data() + before, bytes_.constData() + before * sizeof(float),
                        (whole - before) * sizeof(float));
            const double now = nowMs();
            if (from >= 0) {
                for (std::size_t i = std::max<std::size_t>(before, from); i < whole; ++i) {
                    if (std::fabs(samples[i]) < kThreshold)
                        continue;
                    if (arrival != nullptr)
                        *arrival = now;
                    return static_cast<long>(i);
                }
            }
        }
        return -1;
    }

    std::vector<float> samples;

private:
    QProcess parec_;
    QByteArray bytes_;
};

using bench::percentile;

// Runs of at least 1 ms of digital silence inside a held organ note: the sink mixed
// nothing from the synthesizer for that block.
int dropouts(const std::vector<float> &s, std::size_t from, std::size_t to)
{
    int runs = 0;
    int quiet = 0;
    for (std::size_t i = from; i < to && i < s.size(); ++i) {
        quiet = std::fabs(s[i]) < 1e-5f ? quiet + 1 : 0;
        if (quiet == kRate / 1000)
            ++runs;
    }
    return runs;
}

// Over ten seconds of a held note.
int heldNoteDropouts(MidiPlatform &synth, HMidiOut h, Monitor &monitor)
{
    const std::size_t start = monitor.samples.size();
    synth.send(h, kMiddleCOn);
    const long first = monitor.pump(1000, static_cast<long>(start));
    monitor.pump(10500);
    synth.send(h, kMiddleCOff);
    if (first < 0)
        return -1;
    return dropouts(monitor.samples, first + kRate / 5, first + kRate / 5 + 10 * kRate);
}

// Steps of a song on the 150 ms grid, each sent the output's lead before it is due, with its
// due time or, for comparison, without; returns each step's distance from the grid in ms,
// the grid placed where the steps lie best. A wood block on the drum channel: its clicks
// die away within a step, so each onset stands clear.
std::vector<double> stepErrors(MidiPlatform &synth, HMidiOut h, Monitor &monitor, bool withDueTime)
{
    constexpr int kSteps = 40;
    constexpr std::uint32_t kClick = 0x007F4C99;  // channel 10, note 76 (hi wood block)
    constexpr double kStepMs = 150;
    monitor.pump(500);
    const std::size_t from = monitor.samples.size();
    const double lead = double(synth.leadNs(h)) / 1e6;
    const double start = nowMs() + 100;
    for (int k = 0; k < kSteps; ++k) {
        const double due = start + k * kStepMs;
        monitor.pump(due - lead - nowMs());
        // As a song's step does: the previous note ends as the next begins.
        synth.sendAt(h, (kClick & 0xFF00u) | 0x89u, withDueTime ? std::int64_t(due * 1e6) : 0);
        synth.sendAt(h, kClick, withDueTime ? std::int64_t(due * 1e6) : 0);
    }
    synth.send(h, (kClick & 0xFF00u) | 0x89u);
    monitor.pump(500);
    // An onset is the first sample above -26 dBFS; the click and its echoes are over long
    // before half a step.
    std::vector<double> onsets;
    for (std::size_t i = from; i < monitor.samples.size(); ++i) {
        if (std::fabs(monitor.samples[i]) > 0.05f) {
            onsets.push_back(double(i) * 1000.0 / kRate);
            i += std::size_t(kRate * kStepMs / 2000);
        }
    }
    std::vector<double> errors;
    // What still rang from before comes first.
    if (onsets.size() < std::size_t(kSteps))
        return errors;
    onsets.erase(onsets.begin(), onsets.end() - kSteps);
    for (int k = 0; k < kSteps; ++k)
        errors.push_back(onsets[std::size_t(k)] - onsets[0] - k * kStepMs);
    // The sink plays on a clock of its own, a few hundred parts per million from ours: the
    // grid is laid along the onsets' own slope (least squares), and then placed where the
    // onsets lie best.
    double meanK = (kSteps - 1) / 2.0, meanE = 0, num = 0, den = 0;
    for (double e : errors)
        meanE += e / kSteps;
    for (int k = 0; k < kSteps; ++k) {
        num += (k - meanK) * (errors[std::size_t(k)] - meanE);
        den += (k - meanK) * (k - meanK);
    }
    for (int k = 0; k < kSteps; ++k)
        errors[std::size_t(k)] -= num / den * k;
    std::vector<double> sorted = errors;
    std::sort(sorted.begin(), sorted.end());
    const double centre = sorted[sorted.size() / 2];
    for (double &e : errors)
        e = std::fabs(e - centre);
    return errors;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    // The server's runtime directory, for libpulse to find it: set before any thread starts.
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    qunsetenv("PULSE_SERVER");
    prepareProcess();
    QCoreApplication app(argc, argv);
    PulseServer server(runtime.path());
    QString error;
    if (!server.start(&error)) {
        std::printf("skipped: %s\n", qPrintable(error));
        return 77;
    }

    SystemPlatform synth;
    synth.setMapper(createSynthBackend());
    HMidiOut h = 0;
    const double openStart = nowMs();
    const MmResult opened = synth.open(h, kMidiMapper, 0, 0, 0);
    std::printf("open_ms: %.1f\n", nowMs() - openStart);
    if (opened != result::NoError) {
        char16_t text[kMaxErrorLength];
        synth.errorText(opened, text, kMaxErrorLength);
        std::printf("open failed: %u %s\n", opened, qPrintable(QString::fromUtf16(text)));
        return 1;
    }

    Monitor monitor;
    if (!monitor.start()) {
        std::printf("parec did not start\n");
        return 1;
    }
    // A fresh null sink renders far ahead; a recording started then comes out short.
    monitor.pump(2200);

    std::vector<double> latencies;
    for (int i = 0; i < kTrials; ++i) {
        monitor.pump(600);
        const std::size_t from = monitor.samples.size();
        const double t0 = nowMs();
        synth.send(h, kMiddleCOn);
        double heard = 0;
        const long first = monitor.pump(1000, static_cast<long>(from), &heard);
        synth.send(h, kMiddleCOff);
        if (first >= 0)
            latencies.push_back(heard - t0);
    }
    std::printf("latency_trials: %zu of %d heard\n", latencies.size(), kTrials);
    if (!latencies.empty()) {
        std::printf("latency_median_ms: %.1f\n", percentile(latencies, 0.5));
        std::printf("latency_p95_ms: %.1f\n", percentile(latencies, 0.95));
        std::printf("latency_min_ms: %.1f\n", *std::min_element(latencies.begin(), latencies.end()));
        std::printf("latency_max_ms: %.1f\n", *std::max_element(latencies.begin(), latencies.end()));
    }

    for (const bool withDueTime : {true, false}) {
        const std::vector<double> errors = stepErrors(synth, h, monitor, withDueTime);
        const char *kind = withDueTime ? "due" : "asap";
        if (errors.empty()) {
            std::printf("step_error_%s: onsets not found\n", kind);
            continue;
        }
        std::printf("step_error_%s_p50_ms: %.2f\n", kind, percentile(errors, 0.5));
        std::printf("step_error_%s_p90_ms: %.2f\n", kind, percentile(errors, 0.9));
        std::printf("step_error_%s_max_ms: %.2f\n", kind, *std::max_element(errors.begin(), errors.end()));
    }

    synth.send(h, 0x000013C0);  // church organ: a held note that never decays
    monitor.pump(300);
    std::printf("dropouts_idle_per_10s: %d\n", heldNoteDropouts(synth, h, monitor));
    std::atomic<bool> busy{true};
    std::vector<std::thread> burners;
    for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i)
        burners.emplace_back([&busy] { while (busy.load(std::memory_order_relaxed)) {} });
    std::printf("dropouts_all_cores_busy_per_10s: %d\n", heldNoteDropouts(synth, h, monitor));
    busy = false;
    for (std::thread &t : burners)
        t.join();
    monitor.stop();

    synth.send(h, 0x00007BB0);  // all notes off
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double cpu0 = cpuSeconds();
    const double wall0 = nowMs();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double cpu = (cpuSeconds() - cpu0) / ((nowMs() - wall0) / 1000.0);
    std::printf("idle_cpu_percent_of_one_core: %.1f\n", cpu * 100.0);

    synth.close(h);
    return 0;
}
