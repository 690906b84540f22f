#pragma once

// A PipeWire playback stream of the program's own, for the built-in synthesizer where
// PipeWire is the desktop's sound server.
//
// Through PipeWire's PulseAudio service a stream waits at least 256 frames (5.3 ms) for
// the server's requests; a native stream runs in PipeWire's graph at the quantum it asks
// for. The source renders in PipeWire's real-time data thread, which must never lock,
// wait or allocate: it only dequeues a buffer, renders into it and queues it. When the
// source declines, the stream is made inactive from the loop thread and costs no CPU;
// kick() makes it active again, from any thread, without taking a lock.

#include "synth/soundsource.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct pw_registry;
struct spa_source;

namespace midi {

class PipeWireStream final : public SoundStream
{
public:
    // The graph's own rate unless the user set another: a stream at this rate needs no
    // resampler, which would add its own delay.
    static constexpr double kRate = 48000.0;

    // Connects to the PipeWire server that runs, which must have a sink and a session
    // manager to link the stream to it, and plays `source` at `rate` asking for a quantum
    // of `quantum` frames. Never call this where PipeWire is not the sound server already
    // running: connecting to a socket the system activates on demand would start it. Null,
    // with `error` in the system's words, when it fails.
    static std::unique_ptr<PipeWireStream> open(SoundSource &source, double rate, int quantum, QString &error);
    ~PipeWireStream() override;

    PipeWireStream(const PipeWireStream &) = delete;
    PipeWireStream &operator=(const PipeWireStream &) = delete;

    // Makes a resting stream play again at its next cycle.
    void kick() override;
    // Why the connection or the stream failed, once it has.
    std::optional<QString> failure() const override;

private:
    struct Hooks;

    PipeWireStream(SoundSource &source, double rate);

    bool connect(QString &error);
    bool checkGraph(QString &error);
    bool createStream(int quantum, QString &error);
    bool waitFor(const std::atomic<bool> &condition, int timeoutMs);
    void fail(int code, const char *message);

    static void process(void *self);
    static void rest(void *self, std::uint64_t);
    static void wake(void *self, std::uint64_t);

    SoundSource &source_;
    const double rate_;
    std::unique_ptr<Hooks> hooks_;
    pw_thread_loop *loop_ = nullptr;
    pw_context *context_ = nullptr;
    pw_core *core_ = nullptr;
    pw_registry *registry_ = nullptr;
    pw_stream *stream_ = nullptr;
    spa_source *restEvent_ = nullptr;
    spa_source *kickEvent_ = nullptr;

    // Made once, so the data thread never allocates.
    std::vector<float> left_;
    std::vector<float> right_;

    // The kicks so far, and how many there had been when the source last declined: the
    // stream rests only if none came since.
    std::atomic<std::uint64_t> kicks_{0};
    std::atomic<std::uint64_t> declinedAfter_{0};
    bool declining_ = false;  // the data thread's own
    bool active_ = true;      // the loop thread's own

    // Written by the loop thread while opening.
    std::atomic<bool> synced_{false};
    std::atomic<bool> ready_{false};
    int syncSeq_ = 0;
    bool hasSink_ = false;
    bool hasSessionManager_ = false;

    // The server's own words for the failure, once the core or the stream failed.
    std::atomic<bool> failed_{false};
    int failedCode_ = 0;
    char failedMessage_[160] = {};  // written once, before failed_ is set
};

} // namespace midi
