#include "floorclient.h"

#include "precisetimer.h"

#include <pipewire/pipewire.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <spa/param/audio/format-utils.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace bench {

namespace {

// Half of full scale: far above the capture's -40 dBFS threshold, whatever it is mixed with.
constexpr float kClick = 0.5f;
constexpr int kClickFrames = 16;
// A tone far above -40 dBFS that never crosses zero on a sample's boundary by chance.
constexpr float kTone = 0.25f;
constexpr double kToneStep = 2 * 3.14159265358979 * 441.3 / 48000;

} // namespace

FloorClient::~FloorClient()
{
    stop();
}

std::int64_t FloorClient::click()
{
    const std::int64_t asked = song::steadyNow();
    clickWanted_.store(true);
    return asked;
}

bool FloorClient::startPulse(int rate, int frames, QString *error)
{
    stop();
    frames_ = frames;
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(rate), 1};
    const auto bytes = static_cast<std::uint32_t>(frames * sizeof(float));
    const pa_buffer_attr attr{bytes, bytes, static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1),
                              static_cast<std::uint32_t>(-1)};
    int err = 0;
    pulse_ = pa_simple_new(nullptr, "pianobench-floor", PA_STREAM_PLAYBACK, nullptr, "floor", &format, nullptr, &attr, &err);
    if (pulse_ == nullptr) {
        if (error != nullptr)
            *error = QStringLiteral("cannot play through PulseAudio: %1").arg(QString::fromUtf8(pa_strerror(err)));
        return false;
    }
    running_ = true;
    writer_ = std::thread([this] { writeLoop(); });
    return true;
}

// A blocking write returns once the buffer has room again: the loop writes as the server
// takes the sound.
void FloorClient::writeLoop()
{
    std::vector<float> piece(std::size_t(frames_), 0.0f);
    while (running_) {
        fill(piece.data(), std::uint32_t(piece.size()));
        int err = 0;
        if (pa_simple_write(pulse_, piece.data(), piece.size() * sizeof(float), &err) < 0)
            break;
    }
}

bool FloorClient::startPipeWire(int rate, int frames, QString *error)
{
    stop();
    frames_ = frames;
    loop_ = pw_thread_loop_new("pianobench-floor", nullptr);
    pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                             PW_KEY_APP_NAME, "pianobench", PW_KEY_NODE_NAME, "pianobench-floor",
                                             PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr);
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%d/%d", frames, rate);
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = &FloorClient::process;
        return e;
    }();
    stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "pianobench-floor", props, &events, this);
    std::uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw format{};
    format.format = SPA_AUDIO_FORMAT_F32;
    format.rate = static_cast<std::uint32_t>(rate);
    format.channels = 1;
    format.position[0] = SPA_AUDIO_CHANNEL_MONO;
    const spa_pod *params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                                    | PW_STREAM_FLAG_RT_PROCESS);
    if (stream_ == nullptr || pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0
        || pw_thread_loop_start(loop_) < 0) {
        if (error != nullptr)
            *error = QStringLiteral("cannot play through PipeWire: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        stop();
        return false;
    }
    return true;
}

// In PipeWire's real-time thread: an atomic and the buffer, nothing else.
void FloorClient::process(void *data)
{
    auto *self = static_cast<FloorClient *>(data);
    pw_buffer *buffer = pw_stream_dequeue_buffer(self->stream_);
    if (buffer == nullptr)
        return;
    spa_data &d = buffer->buffer->datas[0];
    auto *samples = static_cast<float *>(d.data);
    std::uint32_t frames = samples != nullptr ? d.maxsize / sizeof(float) : 0;
    if (buffer->requested != 0 && buffer->requested < frames)
        frames = std::uint32_t(buffer->requested);
    self->fill(samples, frames);
    d.chunk->offset = 0;
    d.chunk->stride = sizeof(float);
    d.chunk->size = frames * sizeof(float);
    pw_stream_queue_buffer(self->stream_, buffer);
}

void FloorClient::fill(float *samples, std::uint32_t frames)
{
    if (tone_.load()) {
        for (std::uint32_t i = 0; i < frames; ++i, phase_ += kToneStep)
            samples[i] = kTone * float(std::sin(phase_));
        return;
    }
    std::fill_n(samples, frames, 0.0f);
    if (frames > 0 && clickWanted_.exchange(false))
        std::fill_n(samples, std::min<std::uint32_t>(kClickFrames, frames), kClick);
}

void FloorClient::stop()
{
    running_ = false;
    if (writer_.joinable())
        writer_.join();
    if (pulse_ != nullptr) {
        pa_simple_free(pulse_);
        pulse_ = nullptr;
    }
    if (loop_ != nullptr) {
        pw_thread_loop_stop(loop_);
        if (stream_ != nullptr)
            pw_stream_destroy(stream_);
        stream_ = nullptr;
        pw_thread_loop_destroy(loop_);
        loop_ = nullptr;
    }
}

} // namespace bench
