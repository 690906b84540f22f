#pragma once

// Renders the built-in synthesizer for its audio output and plays the messages sent to
// it, each at its time: a message with a due time at the frame that time falls on, any
// other as soon as possible, all in the order they were sent.
//
// Two threads touch the synthesizer: the sending side and the audio output's thread.
// The audio thread never locks, waits, allocates or reads a file: messages reach it
// through a ring of fixed size, and a message the sending side plays itself is kept apart
// from the audio thread's by two flags, the sending side being the one that waits. What
// may read the sound font (a program change, a bank select, a system reset) the sending
// side always plays itself.

#include "midi/midiplatform.h"
#include "midi/shortmessage.h"
#include "synth/soundsource.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace midi {

class Instrument;

class SynthRenderer final : public SoundSource
{
public:
    // Monotonic time in nanoseconds; tests give a clock of their own.
    using Clock = std::int64_t (*)();

    explicit SynthRenderer(Instrument &synth, Clock clock = &steadyNs);

    enum class Sent {
        Played,  // played at once, by the sending side
        Queued,  // waits for the audio thread, which must be rendering to take it
        Full,    // not taken: the audio output has not taken those sent before
    };
    // On the sending side. Plays `message` at `dueNs` on the clock, or as soon as possible
    // when `dueNs` is 0. A system reset plays at once, and what waits is dropped: the
    // reset would have ended it, at most the output's lead later.
    Sent send(ShortMessage message, std::int64_t dueNs = 0);
    // Rendering resumes after a pause; true if it had paused, so that an output which
    // stopped asking for sound must be asked again.
    bool wake();
    void setHeldNotes(int notes) { held_.store(notes, std::memory_order_relaxed); }
    // How long before its due time a message must be sent to be placed exactly: the most
    // the output renders at once, its period, and no less than the output asked for.
    std::chrono::nanoseconds lead() const;
    // An output that asks for sound in pieces of varying size gives its period here, and one
    // whose period is far shorter than a timer's lateness the slack it needs.
    void setLeadFrames(int frames) { mostFrames_.store(frames); }

    bool rendering() const { return (state_.load() & kRendering) != 0; }
    std::uint64_t renders() const { return renders_.load(std::memory_order_relaxed); }
    std::chrono::nanoseconds silentFor() const;

    // On the audio thread: false, writing nothing, when rendering has paused.
    bool render(int frames, float *left, float *right, std::int64_t heardAtNs = 0) override;

private:
    // The message packed: the ring is an array of plain records.
    struct Event
    {
        std::int64_t dueNs;
        std::uint32_t message;
    };
    // A power of two; far more than the messages of the few steps the output renders ahead.
    static constexpr std::uint64_t kEvents = 4096;
    // FluidSynth starts what a message changes at the next block of this many frames.
    static constexpr int kBlockFrames = 64;
    // Bit 0 says whether the output renders; the bits above count the wake-ups, so that a
    // decision of the audio thread to pause never undoes a wake-up that came meanwhile.
    static constexpr std::uint64_t kRendering = 1;
    static constexpr std::uint64_t kWakeUp = 2;
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

    void applyHere(ShortMessage message);
    bool applyOnAudioThread(ShortMessage message);
    // The first message still to play: those before it have played or were dropped.
    std::uint64_t firstWaiting(std::uint64_t head) const;
    void renderEvents(int frames, float *left, float *right);
    void renderSpan(int from, int to, float *left, float *right);
    std::int64_t frameOf(std::int64_t dueNs) const;
    void followClock(std::int64_t now, std::int64_t heardAtNs);
    void pauseIfQuiet(std::uint64_t state, std::int64_t now, int frames, const float *left, const float *right);

    Instrument &synth_;
    const Clock clock_;
    const double rate_;

    // The ring: written by the sending side at `tail_`, read by the audio thread at `head_`.
    // The audio thread skips, unplayed, what comes before `dropBefore_`. Positions of 64 bits
    // never wrap, so the later of two is the larger.
    std::array<Event, kEvents> events_{};
    std::atomic<std::uint64_t> head_{0};
    std::atomic<std::uint64_t> tail_{0};
    std::atomic<std::uint64_t> dropBefore_{0};
    // Which side is inside the synthesizer's message calls.
    std::atomic<bool> senderInside_{false};
    std::atomic<bool> rendererInside_{false};

    std::atomic<std::uint64_t> state_{kRendering};
    std::atomic<int> held_{0};
    std::atomic<bool> resync_{true};
    std::atomic<int> mostFrames_{0};
    std::atomic<std::int64_t> lastRenderNs_{0};
    std::atomic<std::int64_t> lastLoudNs_{0};
    std::atomic<std::uint64_t> renders_{0};

    // The audio thread's own: the frames rendered so far, and when frame 0 would have
    // sounded. Where the output says when its frames are heard, the median of its last
    // reports, which a stream's underrun moves at once, and a message sounds the lead after
    // its time, or the output's delay where that is longer, since the frames rendered now
    // are heard that much later; elsewhere the earliest callback of the last second or so,
    // which no scheduling delay distorts, and a message is rendered at its time.
    static constexpr int kReports = 31;
    std::int64_t rendered_ = 0;
    std::int64_t originNs_ = 0;
    std::int64_t delayNs_ = 0;
    std::array<std::int64_t, kReports> reported_{};
    std::array<std::int64_t, kReports> latencies_{};
    int reports_ = 0;
    std::int64_t windowStartNs_ = 0;
    std::int64_t windowOrigin_ = 0;
    std::int64_t previousWindowOrigin_ = 0;
};

} // namespace midi
