#pragma once

#include "pwcapture.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

struct pa_simple;

namespace bench {

// Records a PulseAudio source (a null sink's monitor) as mono float samples on a thread of
// its own, or what a PipeWire sink plays through a native capture, and notes when each read
// returned on the monotonic clock. A sample counts as heard when the read that brought it
// returns: an upper bound, which includes the recording's own delay of well under a
// millisecond with PulseAudio and up to a quantum with PipeWire.
class SoundMonitor
{
public:
    // The rates the program plays at on each server: no resampling on the way.
    static constexpr int kPulseRate = 44100;
    static constexpr int kPipeWireRate = 48000;
    static constexpr char kPipeWirePrefix[] = "pipewire:";

    SoundMonitor() = default;
    ~SoundMonitor();
    SoundMonitor(const SoundMonitor &) = delete;
    SoundMonitor &operator=(const SoundMonitor &) = delete;

    // `source` is a PulseAudio source ("null.monitor"), or "pipewire:" and a PipeWire sink's
    // name, captured asking for `quantum` frames a cycle.
    bool start(const QString &source, QString *error, int quantum = 64);
    void stop();
    int rate() const { return rate_; }

    std::size_t size() const;
    std::vector<float> samples(std::size_t from, std::size_t to) const;
    // When the read that brought sample `index` returned, in steady_clock nanoseconds.
    std::int64_t arrivalNs(std::size_t index) const;
    // When sample `index` was recorded, in steady_clock nanoseconds: from PulseAudio, on the
    // straight line that fits every read's arrival best, free of the jitter of single reads
    // and of any difference between the sink's sample clock and the monotonic clock; from
    // PipeWire, by the graph's own clock, which also shows the cycles a busy graph skipped.
    std::int64_t fittedNs(std::size_t index) const;
    // The first sample recorded at or after `ns` (as fittedNs has it).
    std::size_t indexAt(std::int64_t ns) const;
    // The first sample from `from` on whose magnitude reaches `level`, waiting up to
    // `timeout` for it; -1 if none came.
    std::int64_t waitFor(float level, std::size_t from, std::chrono::milliseconds timeout) const;
    // Waits until the last `quiet` of the recording stayed below `level`; false after `timeout`.
    bool waitQuiet(float level, std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) const;
    // Blocks until at least `count` samples have arrived or `timeout` passed.
    bool waitSize(std::size_t count, std::chrono::milliseconds timeout) const;
    // The first sample that came with a read returning after `ns` (steady_clock nanoseconds):
    // no sample before it can hold a sound made at `ns`. The recording's size if none did yet.
    std::size_t firstArrivedAfter(std::int64_t ns) const;

private:
    void run();
    void append(const float *samples, std::size_t count, std::int64_t arrival, std::int64_t cycle = 0);
    std::int64_t timeOf(std::size_t index) const;

    int rate_ = kPulseRate;
    PipeWireCapture capture_;
    pa_simple *stream_ = nullptr;
    std::thread thread_;
    std::atomic<bool> running_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<float> samples_;
    std::vector<std::pair<std::size_t, std::int64_t>> reads_;  // end of each read, its time
    std::vector<std::pair<std::size_t, std::int64_t>> cycles_;  // start of each of PipeWire's, its cycle's
};

// Runs of at least 1 ms of digital silence in samples at `rate`: the sink had nothing from
// the player to mix.
int dropouts(const std::vector<float> &samples, int rate);

} // namespace bench
