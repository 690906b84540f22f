#include "synth/pulsestream.h"

#include "midi/midiplatform.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace midi {

namespace {

// The most frames rendered at a time; a request for more is filled in several pieces.
constexpr int kChunkFrames = 1024;
constexpr int kChannels = 2;
constexpr int kRealtimePriority = 10;

} // namespace

PulseStream::PulseStream(SoundSource &source, double sampleRate)
    : source_(source)
    , rate_(static_cast<std::int64_t>(sampleRate))
    , left_(kChunkFrames)
    , right_(kChunkFrames)
    , interleaved_(std::size_t(kChunkFrames) * kChannels)
{
}

std::unique_ptr<PulseStream> PulseStream::open(SoundSource &source, double sampleRate, int periodFrames,
                                               QString &error)
{
    std::unique_ptr<PulseStream> stream(new PulseStream(source, sampleRate));
    PulseStream &s = *stream;
    s.loop_ = pa_threaded_mainloop_new();
    s.kickFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.loop_ == nullptr || s.kickFd_ < 0) {
        error = QStringLiteral("无法建立 PulseAudio 连接");
        return nullptr;
    }
    pa_mainloop_api *api = pa_threaded_mainloop_get_api(s.loop_);
    s.context_ = pa_context_new(api, "Tirrel");
    if (s.context_ == nullptr) {
        error = QStringLiteral("无法建立 PulseAudio 连接");
        return nullptr;
    }
    pa_context_set_state_callback(s.context_, &PulseStream::contextChanged, &s);
    // Never a server of our own, whatever the user's client.conf says about autospawn.
    if (pa_context_connect(s.context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        error = QString::fromUtf8(pa_strerror(pa_context_errno(s.context_)));
        return nullptr;
    }
    pa_threaded_mainloop_set_name(s.loop_, "tirrel-audio");
    pa_threaded_mainloop_lock(s.loop_);
    if (pa_threaded_mainloop_start(s.loop_) < 0) {
        pa_threaded_mainloop_unlock(s.loop_);
        error = QStringLiteral("PulseAudio 的事件线程未能启动");
        return nullptr;
    }
    pa_threaded_mainloop_once_unlocked(s.loop_, &PulseStream::becomeRealtime, nullptr);
    if (!s.waitUntilReady(error)) {
        pa_threaded_mainloop_unlock(s.loop_);
        return nullptr;
    }

    const pa_sample_spec format = {PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(sampleRate), kChannels};
    // As FluidSynth's own output asks for it: one period is the whole buffer, so a note
    // waits for no more than that period and the server's own latency.
    const std::uint32_t periodBytes = static_cast<std::uint32_t>(periodFrames) * kChannels * sizeof(float);
    pa_buffer_attr attributes;
    attributes.maxlength = periodBytes;
    attributes.tlength = periodBytes;
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    s.stream_ = pa_stream_new(s.context_, "Tirrel", &format, nullptr);
    bool ready = s.stream_ != nullptr;
    if (ready) {
        pa_stream_set_state_callback(s.stream_, &PulseStream::streamChanged, &s);
        pa_stream_set_write_callback(s.stream_, &PulseStream::requested, &s);
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_ADJUST_LATENCY
                                                          | PA_STREAM_AUTO_TIMING_UPDATE);
        ready = pa_stream_connect_playback(s.stream_, nullptr, &attributes, flags, nullptr, nullptr) == 0
                && s.waitUntilReady(error);
    }
    if (ready) {
        s.kickEvent_ = api->io_new(api, s.kickFd_, PA_IO_EVENT_INPUT, &PulseStream::kicked, &s);
        ready = s.kickEvent_ != nullptr;
    }
    if (!ready && error.isEmpty())
        error = QString::fromUtf8(pa_strerror(pa_context_errno(s.context_)));
    pa_threaded_mainloop_unlock(s.loop_);
    return ready ? std::move(stream) : nullptr;
}

PulseStream::~PulseStream()
{
    if (loop_ != nullptr) {
        pa_threaded_mainloop_lock(loop_);
        if (kickEvent_ != nullptr)
            pa_threaded_mainloop_get_api(loop_)->io_free(kickEvent_);
        if (stream_ != nullptr) {
            pa_stream_set_write_callback(stream_, nullptr, nullptr);
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
        }
        if (context_ != nullptr) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }
    if (kickFd_ >= 0)
        ::close(kickFd_);
}

std::optional<QString> PulseStream::serverName(int timeoutMs)
{
    pa_mainloop *loop = pa_mainloop_new();
    if (loop == nullptr)
        return std::nullopt;
    pa_context *context = pa_context_new(pa_mainloop_get_api(loop), "Tirrel");
    std::optional<QString> name;
    // Runs the loop until `done` or the deadline; a server that hangs must not hang the caller.
    const std::int64_t deadline = steadyNs() + std::int64_t(timeoutMs) * 1'000'000;
    const auto runUntil = [&](const auto &done) {
        while (!done()) {
            const std::int64_t left = deadline - steadyNs();
            if (left <= 0 || pa_mainloop_prepare(loop, static_cast<int>(left / 1000)) < 0 || pa_mainloop_poll(loop) < 0
                || pa_mainloop_dispatch(loop) < 0)
                return false;
        }
        return true;
    };
    const auto settled = [context] {
        const pa_context_state_t state = pa_context_get_state(context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    if (context != nullptr && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0
        && runUntil(settled) && pa_context_get_state(context) == PA_CONTEXT_READY) {
        struct Answer
        {
            bool done = false;
            std::optional<QString> name;
        } answer;
        pa_operation *asked = pa_context_get_server_info(
            context,
            [](pa_context *, const pa_server_info *info, void *data) {
                auto *answer = static_cast<Answer *>(data);
                if (info != nullptr && info->server_name != nullptr)
                    answer->name = QString::fromUtf8(info->server_name);
                answer->done = true;
            },
            &answer);
        if (asked != nullptr) {
            if (runUntil([&answer] { return answer.done; }))
                name = answer.name;
            if (pa_operation_get_state(asked) == PA_OPERATION_RUNNING)
                pa_operation_cancel(asked);
            pa_operation_unref(asked);
        }
    }
    if (context != nullptr) {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    pa_mainloop_free(loop);
    return name;
}

void PulseStream::kick()
{
    const std::uint64_t one = 1;
    // Fails only when the counter is full of earlier kicks, which the stream has yet to see.
    [[maybe_unused]] const ssize_t written = ::write(kickFd_, &one, sizeof one);
}

std::optional<QString> PulseStream::failure() const
{
    const int code = error_.load();
    if (code == 0)
        return std::nullopt;
    return QString::fromUtf8(pa_strerror(code));
}

// With the loop's lock held, on the thread that opens the stream.
bool PulseStream::waitUntilReady(QString &error)
{
    for (;;) {
        const pa_context_state_t context = pa_context_get_state(context_);
        const pa_stream_state_t stream = stream_ != nullptr ? pa_stream_get_state(stream_) : PA_STREAM_READY;
        if (!PA_CONTEXT_IS_GOOD(context) || !PA_STREAM_IS_GOOD(stream)) {
            error = QString::fromUtf8(pa_strerror(pa_context_errno(context_)));
            return false;
        }
        if (context == PA_CONTEXT_READY && stream == PA_STREAM_READY)
            return true;
        pa_threaded_mainloop_wait(loop_);
    }
}

// The callbacks below run on the stream's thread.

// Real-time scheduling, where the system grants it (root, or a real-time limit such as
// the audio group's): then a busy desktop does not make the stream run dry. A low
// priority among real-time threads, below the sound server's own and JACK's. Elsewhere
// the thread runs as it was.
void PulseStream::becomeRealtime(pa_threaded_mainloop *, void *)
{
    sched_param parameters{};
    parameters.sched_priority = kRealtimePriority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO | SCHED_RESET_ON_FORK, &parameters);
}

void PulseStream::contextChanged(pa_context *context, void *self)
{
    auto *stream = static_cast<PulseStream *>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
        const int code = pa_context_errno(context);
        stream->error_.store(code != 0 ? code : PA_ERR_CONNECTIONTERMINATED);
    }
    pa_threaded_mainloop_signal(stream->loop_, 0);
}

void PulseStream::streamChanged(pa_stream *s, void *self)
{
    auto *stream = static_cast<PulseStream *>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s))) {
        const int code = pa_context_errno(pa_stream_get_context(s));
        stream->error_.store(code != 0 ? code : PA_ERR_KILLED);
    }
    pa_threaded_mainloop_signal(stream->loop_, 0);
}

void PulseStream::requested(pa_stream *, std::size_t bytes, void *self)
{
    static_cast<PulseStream *>(self)->fill(bytes);
}

void PulseStream::kicked(pa_mainloop_api *, pa_io_event *, int fd, pa_io_event_flags_t, void *self)
{
    auto *stream = static_cast<PulseStream *>(self);
    std::uint64_t kicks = 0;
    [[maybe_unused]] const ssize_t read = ::read(fd, &kicks, sizeof kicks);
    if (stream->stream_ != nullptr && pa_stream_get_state(stream->stream_) == PA_STREAM_READY)
        stream->fill(pa_stream_writable_size(stream->stream_));
}

void PulseStream::fill(std::size_t bytes)
{
    const std::size_t frameBytes = kChannels * sizeof(float);
    std::size_t frames = bytes / frameBytes;
    // What is written now is heard after the stream's latency, as the server last reported
    // it and the stream's clock has moved on since.
    std::int64_t heardAtNs = 0;
    pa_usec_t latencyUs = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream_, &latencyUs, &negative) == 0 && !negative)
        heardAtNs = steadyNs() + std::int64_t(latencyUs) * 1000;
    while (frames > 0) {
        const int n = static_cast<int>(std::min<std::size_t>(frames, kChunkFrames));
        // Declined: the stream runs dry until kick() asks again.
        if (!source_.render(n, left_.data(), right_.data(), heardAtNs))
            return;
        if (heardAtNs != 0)
            heardAtNs += std::int64_t(n) * 1'000'000'000 / rate_;
        for (int i = 0; i < n; ++i) {
            interleaved_[std::size_t(i) * 2] = left_[std::size_t(i)];
            interleaved_[std::size_t(i) * 2 + 1] = right_[std::size_t(i)];
        }
        if (pa_stream_write(stream_, interleaved_.data(), std::size_t(n) * frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return;
        frames -= std::size_t(n);
    }
}

} // namespace midi
