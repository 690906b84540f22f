#include "synth/renderer.h"

#include "synth/engine.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace midi {

namespace {

constexpr std::int64_t kNsPerS = 1'000'000'000;

// A running stream costs its process 4 % of a core at 512 frames (17 % at 64) even in
// silence, so once nothing has sounded for a while rendering pauses: the PulseAudio stream
// runs dry and takes no CPU, and PulseAudio plays the next period at once (a note from that
// state was heard after 4.5 ms, whatever the period size); FluidSynth's outputs get silence
// without rendering. Silence means no note held, nothing waiting and the output below
// -80 dBFS for this long, so reverb tails die out first; what remains below that level
// waits in the effects until the next note.
constexpr float kQuietLevel = 1e-4f;
constexpr std::int64_t kQuietBeforePauseNs = 250'000'000;
// The clock is followed over two windows of this length: long enough to hold a callback
// that came on time, short enough to follow an output whose clock drifts from ours.
constexpr std::int64_t kClockWindowNs = 500'000'000;
// Until the output has rendered once, the lead assumes the period it was opened with.
constexpr int kAssumedFrames = 512;

// FluidSynth loads a preset's samples from the sound font when the preset is chosen, with
// dynamic sample loading on (SynthEngine): so on a program change, on the bank select
// before it, and on a system reset, which chooses every channel's preset again.
bool mayReadSoundFont(ShortMessage message)
{
    return message.status() == kSystemReset || message.kind() == kProgramChange
           || (message.kind() == kControlChange
               && (message.data1() == kBankSelect || message.data1() == kBankSelectLsb));
}

} // namespace

SynthRenderer::SynthRenderer(Instrument &synth, Clock clock)
    : synth_(synth)
    , clock_(clock)
    , rate_(synth.sampleRate())
{
    const std::int64_t now = clock_();
    lastLoudNs_.store(now);
    lastRenderNs_.store(now);
}

SynthRenderer::Sent SynthRenderer::send(ShortMessage message, std::int64_t dueNs)
{
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    if (message.status() == kSystemReset)
        dropBefore_.store(tail, std::memory_order_release);
    const bool waiting = firstWaiting(head) != tail;
    // Reading the sound font must not happen on the audio thread, so a program change, and
    // the bank select before it, may overtake messages that wait for their time, which ends
    // no note early or late; a system reset drops them.
    if ((dueNs == 0 && !waiting) || mayReadSoundFont(message)) {
        applyHere(message);
        return Sent::Played;
    }
    // Counted from the audio thread's place, not from what it will skip: until it has
    // passed them, those records are its own.
    if (tail - head == kEvents)
        return Sent::Full;
    events_[tail & (kEvents - 1)] = {dueNs, message.packed()};
    tail_.store(tail + 1, std::memory_order_release);
    return Sent::Queued;
}

std::uint64_t SynthRenderer::firstWaiting(std::uint64_t head) const
{
    return std::max(head, dropBefore_.load(std::memory_order_acquire));
}

// The sending side waits while the audio thread plays a message, which takes microseconds;
// the audio thread never waits for the sending side, but leaves its messages for its next
// period instead.
void SynthRenderer::applyHere(ShortMessage message)
{
    senderInside_.store(true);
    while (rendererInside_.load())
        std::this_thread::yield();
    synth_.play(message);
    senderInside_.store(false, std::memory_order_release);
}

bool SynthRenderer::applyOnAudioThread(ShortMessage message)
{
    rendererInside_.store(true);
    if (senderInside_.load()) {
        rendererInside_.store(false, std::memory_order_release);
        return false;
    }
    synth_.play(message);
    rendererInside_.store(false, std::memory_order_release);
    return true;
}

bool SynthRenderer::wake()
{
    const std::int64_t now = clock_();
    lastLoudNs_.store(now);
    state_.fetch_add(kWakeUp);
    const bool paused = (state_.fetch_or(kRendering) & kRendering) == 0;
    if (paused) {
        // The frames rendered no longer tell the time: the clock is taken afresh. An output
        // that stopped asking for sound meanwhile has not stalled.
        resync_.store(true);
        lastRenderNs_.store(now);
    }
    return paused;
}

std::chrono::nanoseconds SynthRenderer::lead() const
{
    const int frames = mostFrames_.load(std::memory_order_relaxed);
    return std::chrono::nanoseconds(
        static_cast<std::int64_t>((frames > 0 ? frames : kAssumedFrames) * double(kNsPerS) / rate_));
}

std::chrono::nanoseconds SynthRenderer::silentFor() const
{
    return std::chrono::nanoseconds(clock_() - lastRenderNs_.load());
}

bool SynthRenderer::render(int frames, float *left, float *right, std::int64_t heardAtNs)
{
    const std::int64_t now = clock_();
    lastRenderNs_.store(now, std::memory_order_relaxed);
    renders_.fetch_add(1, std::memory_order_relaxed);
    if (frames > mostFrames_.load(std::memory_order_relaxed))
        mostFrames_.store(frames, std::memory_order_relaxed);
    const std::uint64_t state = state_.load(std::memory_order_acquire);
    if ((state & kRendering) == 0)
        return false;
    followClock(now, heardAtNs);
    renderEvents(frames, left, right);
    rendered_ += frames;
    pauseIfQuiet(state, now, frames, left, right);
    return true;
}

// When frame 0 would have sounded. A callback comes no earlier than its output asks for
// it, so the earliest of them shows the output's own timing.
void SynthRenderer::followClock(std::int64_t now, std::int64_t heardAtNs)
{
    const auto elapsed = static_cast<std::int64_t>(double(rendered_) * double(kNsPerS) / rate_);
    const bool resync = resync_.exchange(false);
    if (heardAtNs != 0) {
        if (resync)
            reports_ = 0;
        reported_[std::size_t(reports_ % kReports)] = heardAtNs - elapsed;
        latencies_[std::size_t(reports_ % kReports)] = heardAtNs - now;
        ++reports_;
        const int n = std::min(reports_, kReports);
        const auto median = [n](std::array<std::int64_t, kReports> values) {
            std::nth_element(values.begin(), values.begin() + n / 2, values.begin() + n);
            return values[std::size_t(n / 2)];
        };
        originNs_ = median(reported_);
        // A message sent the lead ahead of its time reaches the next callback, whose frames
        // are heard the output's delay later: a delay beyond the lead would make every
        // message late, and put it wherever its callback happened to fall.
        delayNs_ = std::max(lead().count(), median(latencies_));
        return;
    }
    const std::int64_t origin = now - elapsed;
    delayNs_ = 0;
    if (resync) {
        windowStartNs_ = now;
        windowOrigin_ = previousWindowOrigin_ = origin;
    } else if (now - windowStartNs_ >= kClockWindowNs) {
        previousWindowOrigin_ = windowOrigin_;
        windowOrigin_ = origin;
        windowStartNs_ = now;
    } else {
        windowOrigin_ = std::min(windowOrigin_, origin);
    }
    originNs_ = std::min(windowOrigin_, previousWindowOrigin_);
}

std::int64_t SynthRenderer::frameOf(std::int64_t dueNs) const
{
    return static_cast<std::int64_t>(std::llround(double(dueNs + delayNs_ - originNs_) * rate_ / double(kNsPerS)));
}

void SynthRenderer::renderEvents(int frames, float *left, float *right)
{
    const std::int64_t end = rendered_ + frames;
    int done = 0;
    for (;;) {
        const std::uint64_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire))
            break;
        // What a reset dropped is skipped. A message taken before the drop shows here plays
        // before the reset: the sending side waits for it (applyHere).
        if (const std::uint64_t next = firstWaiting(head); next != head) {
            head_.store(next, std::memory_order_release);
            continue;
        }
        const Event event = events_[head & (kEvents - 1)];
        const std::int64_t at = event.dueNs == 0 ? rendered_ + done : frameOf(event.dueNs);
        // FluidSynth starts a message's effect with its next block: the block boundary
        // nearest the frame puts it within half a block, 0.7 ms, of its time. A message
        // whose time has passed plays at once.
        const std::int64_t boundary = (at + kBlockFrames / 2) / kBlockFrames * kBlockFrames;
        if (boundary >= end)
            break;
        if (boundary > rendered_ + done) {
            renderSpan(done, int(boundary - rendered_), left, right);
            done = int(boundary - rendered_);
        }
        if (!applyOnAudioThread(*ShortMessage::unpack(event.message)))
            break;
        head_.store(head + 1, std::memory_order_release);
    }
    renderSpan(done, frames, left, right);
}

void SynthRenderer::renderSpan(int from, int to, float *left, float *right)
{
    if (to > from)
        synth_.render(to - from, left + from, right + from);
}

void SynthRenderer::pauseIfQuiet(std::uint64_t state, std::int64_t now, int frames, const float *left,
                                 const float *right)
{
    const auto loud = [](float sample) { return std::fabs(sample) >= kQuietLevel; };
    if (std::any_of(left, left + frames, loud) || std::any_of(right, right + frames, loud)) {
        lastLoudNs_.store(now, std::memory_order_relaxed);
        return;
    }
    const bool waiting = firstWaiting(head_.load(std::memory_order_relaxed)) != tail_.load(std::memory_order_acquire);
    if (held_.load(std::memory_order_relaxed) == 0 && !waiting
        && now - lastLoudNs_.load(std::memory_order_relaxed) >= kQuietBeforePauseNs)
        // Fails, and rendering goes on, if the sending side has woken it since `state` was read.
        state_.compare_exchange_strong(state, state & ~kRendering);
}

} // namespace midi
