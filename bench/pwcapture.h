#pragma once

#include "pwclient.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace bench {

// Records what a PipeWire sink plays, natively, as mono float samples: the sink's monitor
// without PipeWire's PulseAudio service between. Each buffer is handed over with the time
// its callback ran, and the time the graph's cycle that played it began, both on the
// monotonic clock.
//
// The capture runs in PipeWire's real-time thread, as the program's stream does: a capture
// that missed cycles on a busy machine lost whole buffers (a second in twenty here) and
// heard gaps that were not there. It hands its buffers to a thread of its own through a
// lock-free ring.
class PipeWireCapture
{
public:
    using Sink = std::function<void(const float *samples, std::size_t count, std::int64_t arrivalNs, std::int64_t cycleNs)>;

    PipeWireCapture() = default;
    ~PipeWireCapture();
    PipeWireCapture(const PipeWireCapture &) = delete;
    PipeWireCapture &operator=(const PipeWireCapture &) = delete;

    // Captures sink `target` at `rate`, asking the graph for `quantum` frames a cycle. The
    // graph runs at the smallest quantum its running clients ask for, so the capture asks
    // for no less than the program under test.
    bool start(const QString &target, int rate, int quantum, Sink sink, QString *error);
    void stop();
    // Cycles whose buffer did not fit in the ring: the reader fell behind.
    std::uint64_t lost() const { return lost_.load(); }

private:
    struct Piece
    {
        std::uint32_t count;
        std::int64_t arrivalNs;
        std::int64_t cycleNs;
    };
    static constexpr std::size_t kSamples = std::size_t(1) << 20;
    static constexpr std::size_t kPieces = std::size_t(1) << 14;

    static void process(void *self);
    void drain();

    Sink sink_;
    PipeWireClient client_;
    std::thread reader_;
    std::atomic<bool> running_{false};
    std::vector<float> samples_ = std::vector<float>(kSamples);
    std::vector<Piece> pieces_ = std::vector<Piece>(kPieces);
    std::atomic<std::uint64_t> samplesWritten_{0};
    std::atomic<std::uint64_t> piecesWritten_{0};
    std::atomic<std::uint64_t> piecesRead_{0};
    std::atomic<std::uint64_t> lost_{0};
    std::uint64_t samplesRead_ = 0;
};

} // namespace bench
