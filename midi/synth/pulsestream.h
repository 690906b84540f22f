#pragma once

// A PulseAudio playback stream that asks for sound only when the server wants it, for
// the built-in synthesizer.
//
// FluidSynth's own PulseAudio output writes from a loop of its own thread, so the only
// way to let a silent stream run dry there is to block that thread. Here the server's
// requests come to a callback; a source that has nothing to play declines them and the
// stream runs dry, which costs no CPU and keeps the stream ready: the next write plays at
// once. kick() asks for the next write from any thread without taking a lock.

#include "synth/soundsource.h"

#include <QString>
#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace midi {

class PulseStream final : public SoundStream
{
public:
    // Connects to the user's sound server, never starting one. `periodFrames` is the
    // stream's whole buffer. Null, with `error` in the system's words, when it fails.
    static std::unique_ptr<PulseStream> open(SoundSource &source, double sampleRate, int periodFrames,
                                             QString &error);
    ~PulseStream() override;

    PulseStream(const PulseStream &) = delete;
    PulseStream &operator=(const PulseStream &) = delete;

    // The name the PulseAudio-protocol server that runs gives itself ("pulseaudio", or
    // "PulseAudio (on PipeWire 0.3.65)" where PipeWire serves the protocol), asked without
    // starting one; nothing when none answers within `timeoutMs`.
    static std::optional<QString> serverName(int timeoutMs);

    // Asks for the sound the server wants now, after the source declined earlier requests.
    void kick() override;
    // Why the connection or the stream failed, once it has.
    std::optional<QString> failure() const override;

private:
    PulseStream(SoundSource &source, double sampleRate);

    static void becomeRealtime(pa_threaded_mainloop *loop, void *);
    static void contextChanged(pa_context *context, void *self);
    static void streamChanged(pa_stream *stream, void *self);
    static void requested(pa_stream *stream, std::size_t bytes, void *self);
    static void kicked(pa_mainloop_api *api, pa_io_event *event, int fd, pa_io_event_flags_t flags, void *self);
    bool waitUntilReady(QString &error);
    void fill(std::size_t bytes);

    SoundSource &source_;
    const std::int64_t rate_;
    pa_threaded_mainloop *loop_ = nullptr;
    pa_context *context_ = nullptr;
    pa_stream *stream_ = nullptr;
    pa_io_event *kickEvent_ = nullptr;
    int kickFd_ = -1;
    // Made once, so the stream's thread never allocates.
    std::vector<float> left_;
    std::vector<float> right_;
    std::vector<float> interleaved_;
    std::atomic<int> error_{0};  // PulseAudio's error code once something failed
};

} // namespace midi
