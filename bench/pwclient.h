#pragma once

#include <QString>

#include <memory>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct pw_stream_events;
struct pw_properties;

namespace bench {

// One mono float stream of the benchmark's own on PipeWire, processed in PipeWire's
// real-time thread. Its context loads the real-time module, as the program's does: the
// simple constructor's context does not, and a capture and a minimal client that ran at
// normal priority missed cycles on a busy machine (a gap every half second at 64 frames).
class PipeWireClient
{
public:
    PipeWireClient();
    ~PipeWireClient();
    PipeWireClient(const PipeWireClient &) = delete;
    PipeWireClient &operator=(const PipeWireClient &) = delete;

    // Plays (`capture` false) or records a stream with `props` (taken over) at `rate`;
    // `events` are called with `data`.
    bool start(const char *name, pw_properties *props, bool capture, int rate, const pw_stream_events *events,
               void *data, QString *error);
    void stop();
    pw_stream *stream() const { return stream_; }

private:
    struct Hook;
    std::unique_ptr<Hook> hook_;
    pw_thread_loop *loop_ = nullptr;
    pw_context *context_ = nullptr;
    pw_core *core_ = nullptr;
    pw_stream *stream_ = nullptr;
};

} // namespace bench
