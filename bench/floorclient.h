#pragma once

#include "pwclient.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

struct pa_simple;

namespace bench {

// The least a program can do to be heard through a sound server: a stream that plays
// silence and, when asked, a click at the start of the next piece it writes, or a steady
// tone. Measured by the same capture as the program, it gives the measuring chain's own
// floor: how soon a click can be heard, and how often a tone breaks up.
class FloorClient
{
public:
    FloorClient() = default;
    ~FloorClient();
    FloorClient(const FloorClient &) = delete;
    FloorClient &operator=(const FloorClient &) = delete;

    // A PulseAudio-protocol stream whose whole buffer is `frames` frames, written `frames`
    // at a time.
    bool startPulse(int rate, int frames, QString *error);
    // A native PipeWire stream asking for a quantum of `frames` frames.
    bool startPipeWire(int rate, int frames, QString *error);
    void stop();
    // Asks for a click; returns the time asked, on the monotonic clock.
    std::int64_t click();
    void playTone(bool on) { tone_.store(on); }

private:
    void writeLoop();
    void fill(float *samples, std::uint32_t frames);
    static void process(void *self);

    int frames_ = 0;
    std::atomic<bool> clickWanted_{false};
    std::atomic<bool> tone_{false};
    double phase_ = 0;  // the writing thread's own
    std::atomic<bool> running_{false};
    pa_simple *pulse_ = nullptr;
    std::thread writer_;
    PipeWireClient pipewire_;
};

} // namespace bench
