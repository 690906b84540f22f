#include "floorclient.h"

#include "precisetimer.h"

#include <pipewire/pipewire.h>
#include <pulse/error.h>
#include <pulse/simple.h>

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
    pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                             PW_KEY_APP_NAME, "pianobench", PW_KEY_NODE_NAME, "pianobench-floor", nullptr);
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%d/%d", frames, rate);
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = &FloorClient::process;
        return e;
    }();
    return pipewire_.start("pianobench-floor", props, false, rate, &events, this, error);
}

// In PipeWire's real-time thread: an atomic and the buffer, nothing else.
void FloorClient::process(void *data)
{
    auto *self = static_cast<FloorClient *>(data);
    pw_buffer *buffer = pw_stream_dequeue_buffer(self->pipewire_.stream());
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
    pw_stream_queue_buffer(self->pipewire_.stream(), buffer);
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
    pipewire_.stop();
}

} // namespace bench
