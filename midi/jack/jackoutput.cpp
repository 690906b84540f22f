// A JACK client of the program's own, playing into one MIDI input of another client.

#include "jack/jackoutput.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

namespace midi {

namespace {

using Clock = std::chrono::steady_clock;

// Several periods even at JACK's largest buffer sizes.
constexpr auto kConnectTimeout = std::chrono::milliseconds(500);
constexpr auto kFlushTimeout = std::chrono::milliseconds(250);
constexpr auto kConnectPoll = std::chrono::milliseconds(1);
// Room for some 4000 messages between two cycles.
constexpr std::size_t kBufferBytes = 1 << 16;

QString quoted(const std::string &port) { return QString::fromStdString(port); }

// JACK keeps time on a clock of its own, a fixed distance from ours: the distance, in ns,
// from two readings of JACK's clock taken close around one of ours, so that the thread
// being preempted between them cannot spoil it.
std::int64_t jackMinusSteadyNs()
{
    std::int64_t best = 0;
    std::int64_t narrowest = std::numeric_limits<std::int64_t>::max();
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto before = std::int64_t(jack_get_time());
        const std::int64_t ours = steadyNs();
        const auto after = std::int64_t(jack_get_time());
        if (after - before < narrowest) {
            narrowest = after - before;
            best = (before + after) * 500 - ours;
        }
        if (narrowest <= 2)
            break;
    }
    return best;
}

// A JACK client of the program's own with one MIDI output port connected to the chosen
// port. Written against libjack instead of going through RtMidi 5.0.0, whose JACK output
// frees its ring buffer before closing its client, while the process callback may still
// read it (a crash on closing, in 2 of 4 test runs on a loaded machine), and waits
// forever for room in that buffer once the server stops.
//
// Once the server has gone, the next jack_client_open anywhere in the process makes
// libjack close and delete every client still open (JackLibGlobals::Init), so closing
// one afterwards would free it twice: the client of a dead server is left to libjack.
class JackOutput final : public PortOutput
{
public:
    static std::unique_ptr<JackOutput> open(const std::string &port, Failure &failure)
    {
        auto output = std::unique_ptr<JackOutput>(new JackOutput(port));
        if (const auto error = output->connect()) {
            failure = *error;
            return nullptr;
        }
        return output;
    }

    ~JackOutput() override
    {
        if (client_ == nullptr)
            return;
        // Messages sent last, a note-off before the device changes, go out with the
        // next cycle; a server that runs no cycles is not waited for long.
        const auto deadline = Clock::now() + kFlushTimeout;
        while (buffer_ != nullptr && jack_ringbuffer_read_space(buffer_) > 0 && !gone_.load()
               && Clock::now() < deadline)
            std::this_thread::sleep_for(kConnectPoll);
        if (gone_.load()) {
            // The client's thread stopped with the server, and stays stopped: no cycle comes.
            if (buffer_ != nullptr)
                jack_ringbuffer_free(buffer_);
            return;
        }
        // Deactivating waits for a running cycle to end; then nothing reads the buffer.
        jack_deactivate(client_);
        jack_client_close(client_);
        if (buffer_ != nullptr)
            jack_ringbuffer_free(buffer_);
    }

    // A message is written in the cycle its due time falls in, and the server processes
    // a cycle up to a period before its frames: so a message must come more than a period
    // ahead, and the sending thread wakes a little late now and then. Measured with the
    // shipped song at 64-frame periods (1.3 ms): sent one period ahead, 10 % of its steps
    // landed 40-240 frames late; two periods ahead, all but a few within a frame.
    std::chrono::nanoseconds lead() const override
    {
        // A dead server's client may have been deleted by libjack since.
        if (gone_.load())
            return {};
        const double rate = jack_get_sample_rate(client_);
        return std::chrono::nanoseconds(rate > 0 ? std::int64_t(2 * jack_get_buffer_size(client_) * 1e9 / rate) : 0);
    }

protected:
    std::optional<Failure> check() override
    {
        if (gone_.load())
            return Failure{result::MidiNoDevice,
                           QStringLiteral("JACK 服务器已停止，MIDI 端口“%1”随之消失。").arg(quoted(port_))};
        if (jack_port_by_name(client_, port_.c_str()) == nullptr)
            return portGone(port_);
        if (jack_port_connected_to(ownPort_, port_.c_str()) <= 0)
            return Failure{result::MidiNoDevice,
                           QStringLiteral("本程序与 MIDI 端口“%1”的连接已断开。").arg(quoted(port_))};
        return std::nullopt;
    }

    std::optional<Failure> write(const std::uint8_t *bytes, std::size_t size, std::int64_t dueNs) override
    {
        Record record{};
        record.size = static_cast<std::uint8_t>(size);
        std::copy_n(bytes, size, record.bytes);
        if (dueNs != 0) {
            record.dueUs = static_cast<jack_time_t>(std::max<std::int64_t>((dueNs + jackMinusSteadyNs()) / 1000, 1));
        }
        if (jack_ringbuffer_write_space(buffer_) < sizeof record)
            return Failure{result::MidiNotReady, QStringLiteral("JACK 没有取走已发出的 MIDI 消息。")};
        jack_ringbuffer_write(buffer_, reinterpret_cast<const char *>(&record), sizeof record);
        return std::nullopt;
    }

private:
    // A short message and when it is due, 0 for at once. Records of sixteen bytes in a
    // buffer whose size is a power of two never wrap in the middle, so the process
    // callback never finds half of one.
    struct Record
    {
        jack_time_t dueUs;
        std::uint8_t size;
        std::uint8_t bytes[3];
        std::uint8_t unused[4];
    };
    static_assert(sizeof(Record) == 16);

    explicit JackOutput(std::string port) : port_(std::move(port)) {}

    std::optional<Failure> connect()
    {
        client_ = openJackClient(portClientName());
        if (client_ == nullptr)
            return Failure{result::MidiNoDevice,
                           QStringLiteral("JACK 服务器没有运行，MIDI 端口“%1”已不存在。").arg(quoted(port_))};
        buffer_ = jack_ringbuffer_create(kBufferBytes);
        ownPort_ = jack_port_register(client_, kOutputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (buffer_ == nullptr || ownPort_ == nullptr)
            return Failure{result::Error, QStringLiteral("无法建立 JACK MIDI 输出端口。")};
        jack_set_process_callback(client_, &JackOutput::process, this);
        // Not jack_on_info_shutdown: PipeWire's libjack (0.3.65) never calls that one.
        jack_on_shutdown(client_, &JackOutput::shutdown, this);
        if (jack_activate(client_) != 0)
            return Failure{result::Error, QStringLiteral("无法启用 JACK 客户端。")};

        if (jack_port_by_name(client_, port_.c_str()) == nullptr)
            return portGone(port_);
        if (jack_connect(client_, jack_port_name(ownPort_), port_.c_str()) != 0)
            return Failure{result::Error, QStringLiteral("未能连接到 MIDI 端口“%1”。").arg(quoted(port_))};
        // A new connection shows in the graph that clients read only after a cycle or two.
        const auto deadline = Clock::now() + kConnectTimeout;
        while (jack_port_connected_to(ownPort_, port_.c_str()) <= 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(kConnectPoll);
        return check();
    }

    // Runs on JACK's thread: the messages due in this cycle go out at their frames, those
    // waiting without a time or past theirs at its start, as many as the port's buffer
    // holds (some 2700 here); the rest wait for the next cycle.
    static int process(jack_nframes_t frames, void *self)
    {
        auto *output = static_cast<JackOutput *>(self);
        void *midi = jack_port_get_buffer(output->ownPort_, frames);
        jack_midi_clear_buffer(midi);
        const jack_nframes_t start = jack_last_frame_time(output->client_);
        jack_nframes_t offset = 0;
        Record record;
        while (jack_ringbuffer_peek(output->buffer_, reinterpret_cast<char *>(&record), sizeof record) == sizeof record) {
            if (record.dueUs != 0) {
                const auto frame = static_cast<std::int32_t>(jack_time_to_frames(output->client_, record.dueUs) - start);
                if (frame >= std::int32_t(frames))
                    break;
                // Events go into the buffer in order of time; one sent after a later one waits for it.
                offset = std::max(offset, jack_nframes_t(std::max(frame, 0)));
            }
            jack_midi_data_t *event = jack_midi_event_reserve(midi, offset, record.size);
            if (event == nullptr)
                break;
            std::copy_n(record.bytes, record.size, event);
            jack_ringbuffer_read_advance(output->buffer_, sizeof record);
        }
        return 0;
    }

    // Runs on libjack's thread.
    static void shutdown(void *self)
    {
        static_cast<JackOutput *>(self)->gone_.store(true);
    }

    std::string port_;
    jack_client_t *client_ = nullptr;
    jack_port_t *ownPort_ = nullptr;
    jack_ringbuffer_t *buffer_ = nullptr;
    std::atomic<bool> gone_{false};
};

} // namespace

// PipeWire's libjack (0.3.65) fails an open, with JackInitFailure, when a node leaves the
// graph while the new client binds to it: our own synthesizer's stream as the device
// changes, for one. Opens against a PipeWire server whose streams came and went failed so in
// 9 of 300 here, and none of 600 with up to two more attempts. A server that is not there
// (JackServerFailed) is not asked again.
jack_client_t *openJackClient(const std::string &name)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        jack_status_t status{};
        if (jack_client_t *client = jack_client_open(name.c_str(), JackNoStartServer, &status))
            return client;
        if ((status & JackServerFailed) != 0)
            break;
    }
    return nullptr;
}

std::unique_ptr<Output> openJackOutput(const std::string &port, Failure &failure)
{
    return JackOutput::open(port, failure);
}

} // namespace midi
