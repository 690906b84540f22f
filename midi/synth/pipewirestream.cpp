#include "synth/pipewirestream.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace midi {

namespace {

constexpr int kChannels = 2;
constexpr std::uint32_t kFrameBytes = kChannels * sizeof(float);
// The most frames rendered at a time; a buffer of more is filled in several pieces.
constexpr std::uint32_t kChunkFrames = 1024;
// A server that answers at all answers within milliseconds.
constexpr int kOpenTimeoutMs = 2000;
constexpr std::int64_t kNsPerS = 1'000'000'000;

const char *property(const spa_dict *props, const char *key)
{
    return props != nullptr ? spa_dict_lookup(props, key) : nullptr;
}

bool equals(const char *value, const char *expected)
{
    return value != nullptr && std::strcmp(value, expected) == 0;
}

} // namespace

struct PipeWireStream::Hooks
{
    spa_hook core{};
    spa_hook registry{};
    spa_hook stream{};
};

PipeWireStream::PipeWireStream(SoundSource &source, double rate)
    : source_(source)
    , rate_(rate)
    , hooks_(std::make_unique<Hooks>())
    , left_(kChunkFrames)
    , right_(kChunkFrames)
{
}

std::unique_ptr<PipeWireStream> PipeWireStream::open(SoundSource &source, double rate, int quantum, QString &error)
{
    std::unique_ptr<PipeWireStream> stream(new PipeWireStream(source, rate));
    PipeWireStream &s = *stream;
    s.loop_ = pw_thread_loop_new("tirrel-pipewire", nullptr);
    if (s.loop_ == nullptr) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    pw_thread_loop_lock(s.loop_);
    const bool ready = pw_thread_loop_start(s.loop_) == 0 && s.connect(error) && s.checkGraph(error)
                       && s.createStream(quantum, error);
    if (!ready && error.isEmpty())
        error = s.failure().value_or(QStringLiteral("未能启动"));
    pw_thread_loop_unlock(s.loop_);
    return ready ? std::move(stream) : nullptr;
}

PipeWireStream::~PipeWireStream()
{
    if (loop_ == nullptr)
        return;
    // The loop thread first, so that no callback of it runs while its objects go; the
    // stream's own removal waits for the data thread to leave process().
    pw_thread_loop_stop(loop_);
    if (stream_ != nullptr) {
        spa_hook_remove(&hooks_->stream);
        pw_stream_destroy(stream_);
    }
    pw_loop *loop = pw_thread_loop_get_loop(loop_);
    if (restEvent_ != nullptr)
        pw_loop_destroy_source(loop, restEvent_);
    if (kickEvent_ != nullptr)
        pw_loop_destroy_source(loop, kickEvent_);
    if (registry_ != nullptr) {
        spa_hook_remove(&hooks_->registry);
        pw_proxy_destroy(reinterpret_cast<pw_proxy *>(registry_));
    }
    if (core_ != nullptr) {
        spa_hook_remove(&hooks_->core);
        pw_core_disconnect(core_);
    }
    if (context_ != nullptr)
        pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
}

void PipeWireStream::kick()
{
    kicks_.fetch_add(1);
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_), kickEvent_);
}

std::optional<QString> PipeWireStream::failure() const
{
    if (!failed_.load(std::memory_order_acquire))
        return std::nullopt;
    if (failedMessage_[0] != '\0')
        return QString::fromUtf8(failedMessage_);
    return QString::fromLocal8Bit(std::strerror(failedCode_ < 0 ? -failedCode_ : failedCode_));
}

// The rest runs with the loop's lock held: on the thread that opens the stream, or on the
// loop thread in its callbacks.

void PipeWireStream::fail(int code, const char *message)
{
    if (failed_.load())
        return;
    failedCode_ = code;
    if (message != nullptr)
        std::snprintf(failedMessage_, sizeof failedMessage_, "%s", message);
    failed_.store(true, std::memory_order_release);
    pw_thread_loop_signal(loop_, false);
}

bool PipeWireStream::waitFor(const std::atomic<bool> &condition, int timeoutMs)
{
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, std::int64_t(timeoutMs) * SPA_NSEC_PER_MSEC);
    while (!condition.load() && !failed_.load()) {
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0)
            break;
    }
    return condition.load() && !failed_.load();
}

bool PipeWireStream::connect(QString &error)
{
    // The real-time module gives the data thread real-time scheduling where the system
    // grants it, directly or through RTKit: then a busy desktop does not make it late.
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                              pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (context_ == nullptr) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    static const pw_core_events events = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = [](void *data, std::uint32_t id, int seq) {
            auto *self = static_cast<PipeWireStream *>(data);
            if (id == PW_ID_CORE && seq == self->syncSeq_) {
                self->synced_.store(true);
                pw_thread_loop_signal(self->loop_, false);
            }
        };
        // An error on the core is the connection's: the server went away or threw us out.
        // Errors on the stream's own objects reach it as its state.
        e.error = [](void *data, std::uint32_t id, int, int res, const char *message) {
            if (id == PW_ID_CORE)
                static_cast<PipeWireStream *>(data)->fail(res, message);
        };
        return e;
    }();
    pw_core_add_listener(core_, &hooks_->core, &events, this);
    return true;
}

// Without a sink the stream would play into nothing, and without a session manager it
// would never be linked to one: then the next output is tried. The session manager is
// the one that keeps the "default" metadata (WirePlumber and its predecessor both do).
bool PipeWireStream::checkGraph(QString &error)
{
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    static const pw_registry_events events = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = [](void *data, std::uint32_t, std::uint32_t, const char *type, std::uint32_t,
                      const spa_dict *props) {
            auto *self = static_cast<PipeWireStream *>(data);
            if (equals(type, PW_TYPE_INTERFACE_Node) && equals(property(props, PW_KEY_MEDIA_CLASS), "Audio/Sink"))
                self->hasSink_ = true;
            if (equals(type, PW_TYPE_INTERFACE_Metadata) && equals(property(props, PW_KEY_METADATA_NAME), "default"))
                self->hasSessionManager_ = true;
        };
        return e;
    }();
    pw_registry_add_listener(registry_, &hooks_->registry, &events, this);
    // The server answers the sync after it has announced every object it had.
    syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
    if (!waitFor(synced_, kOpenTimeoutMs)) {
        error = failure().value_or(QStringLiteral("PipeWire 服务器没有回应"));
        return false;
    }
    spa_hook_remove(&hooks_->registry);
    pw_proxy_destroy(reinterpret_cast<pw_proxy *>(registry_));
    registry_ = nullptr;
    if (!hasSink_)
        error = QStringLiteral("没有声音输出设备");
    else if (!hasSessionManager_)
        error = QStringLiteral("没有会话管理器");
    return hasSink_ && hasSessionManager_;
}

bool PipeWireStream::createStream(int quantum, QString &error)
{
    pw_loop *loop = pw_thread_loop_get_loop(loop_);
    restEvent_ = pw_loop_add_event(loop, &PipeWireStream::rest, this);
    kickEvent_ = pw_loop_add_event(loop, &PipeWireStream::wake, this);
    if (restEvent_ == nullptr || kickEvent_ == nullptr) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }

    pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                             PW_KEY_MEDIA_ROLE, "Music", PW_KEY_APP_NAME, "Tirrel",
                                             PW_KEY_NODE_NAME, "Tirrel", nullptr);
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%d/%d", quantum, static_cast<int>(rate_));
    stream_ = pw_stream_new(core_, "Tirrel", props);
    if (stream_ == nullptr) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void *data, pw_stream_state, pw_stream_state state, const char *message) {
            auto *self = static_cast<PipeWireStream *>(data);
            if (state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && self->ready_.load()))
                self->fail(-EPIPE, message);
            if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
                self->ready_.store(true);
                pw_thread_loop_signal(self->loop_, false);
            }
        };
        e.process = &PipeWireStream::process;
        return e;
    }();
    pw_stream_add_listener(stream_, &hooks_->stream, &events, this);

    std::uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw format{};
    format.format = SPA_AUDIO_FORMAT_F32;
    format.rate = static_cast<std::uint32_t>(rate_);
    format.channels = kChannels;
    format.position[0] = SPA_AUDIO_CHANNEL_FL;
    format.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod *params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                                    | PW_STREAM_FLAG_RT_PROCESS);
    const int connected = pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1);
    if (connected < 0) {
        error = QString::fromLocal8Bit(std::strerror(-connected));
        return false;
    }
    if (!waitFor(ready_, kOpenTimeoutMs)) {
        error = failure().value_or(QStringLiteral("PipeWire 没有建立声音流"));
        return false;
    }
    return true;
}

// On PipeWire's data thread, in the graph's cycle: no lock, wait or allocation, and only
// calls of the stream that take none (its buffer queues are lock-free rings, its time a
// sequence-counted copy).
void PipeWireStream::process(void *data)
{
    auto &self = *static_cast<PipeWireStream *>(data);
    // Read before rendering: a kick that comes after the source declined is one this
    // count misses, so the loop thread knows not to rest.
    const std::uint64_t kicks = self.kicks_.load();
    pw_buffer *buffer = pw_stream_dequeue_buffer(self.stream_);
    if (buffer == nullptr)
        return;
    spa_data &out = buffer->buffer->datas[0];
    auto *samples = static_cast<float *>(out.data);
    std::uint32_t frames = samples != nullptr ? out.maxsize / kFrameBytes : 0;
    if (buffer->requested != 0)
        frames = std::min<std::uint64_t>(frames, buffer->requested);

    // The graph's cycle began at `now`; what is queued now is heard after the delay to the
    // device, in the graph's rate, and what the stream still holds, in ours.
    std::int64_t heardAtNs = 0;
    pw_time time{};
    if (pw_stream_get_time_n(self.stream_, &time, sizeof time) == 0 && time.now != 0 && time.rate.denom != 0) {
        heardAtNs = time.now + time.delay * kNsPerS * time.rate.num / time.rate.denom
                    + std::int64_t(double(time.queued + time.buffered) * double(kNsPerS) / self.rate_);
    }

    std::uint32_t done = 0;
    bool declined = false;
    while (done < frames) {
        const std::uint32_t n = std::min(frames - done, kChunkFrames);
        if (!self.source_.render(int(n), self.left_.data(), self.right_.data(), heardAtNs)) {
            declined = true;
            break;
        }
        if (heardAtNs != 0)
            heardAtNs += std::int64_t(double(n) * double(kNsPerS) / self.rate_);
        float *to = samples + std::size_t(done) * kChannels;
        for (std::uint32_t i = 0; i < n; ++i) {
            to[2 * i] = self.left_[i];
            to[2 * i + 1] = self.right_[i];
        }
        done += n;
    }
    if (declined) {
        std::fill(samples + std::size_t(done) * kChannels, samples + std::size_t(frames) * kChannels, 0.0f);
        self.declinedAfter_.store(kicks);
        if (!self.declining_)
            pw_loop_signal_event(pw_thread_loop_get_loop(self.loop_), self.restEvent_);
    }
    self.declining_ = declined;
    out.chunk->offset = 0;
    out.chunk->stride = kFrameBytes;
    out.chunk->size = frames * kFrameBytes;
    buffer->size = frames;
    pw_stream_queue_buffer(self.stream_, buffer);
}

// On the loop thread, once the source has begun to decline. An inactive stream is left out
// of the graph's cycles: the data thread sleeps, and the graph may drop to a longer quantum
// or stop. An active one costs this process 4.6 % of a core even in silence, and the
// server as much again (64-frame quantum, measured here); made active again, it is back in
// the graph 1-2 ms after the kick, about a cycle later than a running one would play.
void PipeWireStream::rest(void *data, std::uint64_t)
{
    auto &self = *static_cast<PipeWireStream *>(data);
    if (self.active_ && self.kicks_.load() == self.declinedAfter_.load()) {
        pw_stream_set_active(self.stream_, false);
        self.active_ = false;
    }
}

void PipeWireStream::wake(void *data, std::uint64_t)
{
    auto &self = *static_cast<PipeWireStream *>(data);
    if (!self.active_) {
        pw_stream_set_active(self.stream_, true);
        self.active_ = true;
    }
}

} // namespace midi
