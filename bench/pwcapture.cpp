#include "pwcapture.h"

#include "precisetimer.h"

#include <pipewire/pipewire.h>

#include <cstring>

namespace bench {

PipeWireCapture::~PipeWireCapture()
{
    stop();
}

bool PipeWireCapture::start(const QString &target, int rate, int quantum, Sink sink, QString *error)
{
    stop();
    sink_ = std::move(sink);
    samplesWritten_ = piecesWritten_ = piecesRead_ = lost_ = 0;
    samplesRead_ = 0;
    pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_APP_NAME, "pianobench",
                                             PW_KEY_NODE_NAME, "pianobench-capture", nullptr);
    pw_properties_set(props, PW_KEY_TARGET_OBJECT, target.toUtf8().constData());
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%d/%d", quantum, rate);
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = &PipeWireCapture::process;
        return e;
    }();
    running_ = true;
    reader_ = std::thread([this] { drain(); });
    if (!client_.start("pianobench-capture", props, true, rate, &events, this, error)) {
        stop();
        return false;
    }
    return true;
}

void PipeWireCapture::stop()
{
    client_.stop();
    running_ = false;
    if (reader_.joinable())
        reader_.join();
}

void PipeWireCapture::process(void *data)
{
    auto *self = static_cast<PipeWireCapture *>(data);
    pw_buffer *buffer = pw_stream_dequeue_buffer(self->client_.stream());
    if (buffer == nullptr)
        return;
    const std::int64_t arrival = song::steadyNow();
    pw_time time{};
    pw_stream_get_time_n(self->client_.stream(), &time, sizeof time);
    const spa_data &d = buffer->buffer->datas[0];
    if (d.data != nullptr && d.chunk != nullptr) {
        const auto *samples = reinterpret_cast<const float *>(static_cast<const char *>(d.data) + d.chunk->offset);
        const std::uint32_t count = d.chunk->size / sizeof(float);
        const std::uint64_t written = self->samplesWritten_.load(std::memory_order_relaxed);
        const std::uint64_t pieces = self->piecesWritten_.load(std::memory_order_relaxed);
        const std::uint64_t read = self->piecesRead_.load(std::memory_order_acquire);
        if (pieces - read >= kPieces || count > kSamples / 4) {
            self->lost_.fetch_add(1);
        } else {
            for (std::uint32_t i = 0; i < count; ++i)
                self->samples_[(written + i) & (kSamples - 1)] = samples[i];
            self->pieces_[pieces & (kPieces - 1)] = {count, arrival, time.now};
            self->samplesWritten_.store(written + count, std::memory_order_relaxed);
            self->piecesWritten_.store(pieces + 1, std::memory_order_release);
        }
    }
    pw_stream_queue_buffer(self->client_.stream(), buffer);
}

// Hands the captured pieces over every millisecond: the sample a measurement waits for is
// then timed by its callback, not by this thread.
void PipeWireCapture::drain()
{
    std::vector<float> piece;
    while (true) {
        const bool last = !running_.load();
        const std::uint64_t written = piecesWritten_.load(std::memory_order_acquire);
        for (std::uint64_t p = piecesRead_.load(std::memory_order_relaxed); p < written; ++p) {
            const Piece info = pieces_[p & (kPieces - 1)];
            piece.resize(info.count);
            for (std::uint32_t i = 0; i < info.count; ++i)
                piece[i] = samples_[(samplesRead_ + i) & (kSamples - 1)];
            samplesRead_ += info.count;
            piecesRead_.store(p + 1, std::memory_order_release);
            sink_(piece.data(), piece.size(), info.arrivalNs, info.cycleNs);
        }
        if (last)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace bench
