#pragma once

#include <QString>

#include <pulse/def.h>

#include <chrono>
#include <cstdint>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;

namespace bench {

// Notes when PulseAudio gains a playback stream: the moment a program has opened its
// sound output, seen from outside it.
class SinkWatch
{
public:
    SinkWatch() = default;
    ~SinkWatch();
    SinkWatch(const SinkWatch &) = delete;
    SinkWatch &operator=(const SinkWatch &) = delete;

    bool start(QString *error);
    void stop();
    // The time (steady_clock ns) of the first stream that appeared at or after `afterNs`,
    // waiting up to `timeout` for one; -1 if none did.
    std::int64_t waitForNew(std::int64_t afterNs, std::chrono::milliseconds timeout);

private:
    static void stateChanged(pa_context *context, void *self);
    static void event(pa_context *context, pa_subscription_event_type type, std::uint32_t index, void *self);

    pa_threaded_mainloop *loop_ = nullptr;
    pa_context *context_ = nullptr;
    std::vector<std::int64_t> appeared_;
};

} // namespace bench
