// The MIDI inputs of the other clients of a running JACK server, played through a JACK
// client of the program's own.

#include "portoutput.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <limits>
#include <system_error>
#include <thread>

#include <sys/eventfd.h>
#include <unistd.h>

namespace midi {

namespace {

using Clock = std::chrono::steady_clock;

// Several periods even at JACK's largest buffer sizes.
constexpr auto kConnectTimeout = std::chrono::milliseconds(500);
constexpr auto kFlushTimeout = std::chrono::milliseconds(250);
constexpr auto kConnectPoll = std::chrono::milliseconds(1);
// Room for some 4000 messages between two cycles.
constexpr std::size_t kBufferBytes = 1 << 16;
constexpr std::uint16_t kAllChannels = 0xFFFF;

void discardMessage(const char *) {}

QString quoted(const std::string &port) { return QString::fromStdString(port); }

std::int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

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

std::uint32_t driverVersion()
{
    int major = 0, minor = 0, micro = 0, protocol = 0;
    jack_get_version(&major, &minor, &micro, &protocol);
    return static_cast<std::uint32_t>((major & 0xFF) << 8 | (minor & 0xFF));
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

    // A message is written in the cycle its due time falls in, which the server processes
    // at the start of that cycle: sent a period ahead, it is there in time.
    std::chrono::nanoseconds lead() const override
    {
        // A dead server's client may have been deleted by libjack since.
        if (gone_.load())
            return {};
        const double rate = jack_get_sample_rate(client_);
        return std::chrono::nanoseconds(rate > 0 ? std::int64_t(jack_get_buffer_size(client_) * 1e9 / rate) : 0);
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
        client_ = jack_client_open(portClientName().c_str(), JackNoStartServer, nullptr);
        if (client_ == nullptr)
            return Failure{result::MidiNoDevice,
                           QStringLiteral("JACK 服务器没有运行，MIDI 端口“%1”已不存在。").arg(quoted(port_))};
        buffer_ = jack_ringbuffer_create(kBufferBytes);
        ownPort_ = jack_port_register(client_, kOutputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (buffer_ == nullptr || ownPort_ == nullptr)
            return Failure{result::Error, QStringLiteral("无法建立 JACK MIDI 输出端口。")};
        jack_set_process_callback(client_, &JackOutput::process, this);
        jack_on_info_shutdown(client_, &JackOutput::shutdown, this);
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
    static void shutdown(jack_status_t, const char *, void *self)
    {
        static_cast<JackOutput *>(self)->gone_.store(true);
    }

    std::string port_;
    jack_client_t *client_ = nullptr;
    jack_port_t *ownPort_ = nullptr;
    jack_ringbuffer_t *buffer_ = nullptr;
    std::atomic<bool> gone_{false};
};

// The MIDI inputs of every client of `client`'s server, in the server's order.
std::vector<Port> midiInputs(jack_client_t *client)
{
    std::vector<Port> ports;
    if (const char **names = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
        for (const char **name = names; *name != nullptr; ++name) {
            Port port{*name, {}};
            setProductName(port.caps, QString::fromStdString(port.name).toStdU16String());
            port.caps.driverVersion = driverVersion();
            port.caps.technology = kModMidiPort;
            port.caps.channelMask = kAllChannels;
            ports.push_back(std::move(port));
        }
        jack_free(names);
    }
    return ports;
}

// A client of the program's own that stays connected to hear of ports coming, going and
// being renamed, and of its server's end; the ports are listed through it. Its callbacks
// run on libjack's threads while the server's cycles go on, so they only set flags and
// write to an eventfd, which a notifier on the watching thread reads.
//
// Connecting took a third of the start-up with a server running (the window showed 160 ms
// after launch against 107 ms without one), so the first attempt runs on a thread of its
// own and the ports join the list when it is done.
// A server that is not running is looked for again only when the user opens the list:
// nothing polls in the background.
class JackWatch
{
public:
    explicit JackWatch(std::function<void()> changed) : changed_(std::move(changed))
    {
        wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wake_ < 0)
            throw std::system_error(errno, std::generic_category(), "eventfd");
        notifier_ = std::make_unique<QSocketNotifier>(wake_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { woken(); });
        connecting_.store(true);
        thread_ = std::thread([this] {
            opened_ = openClient();
            connecting_.store(false);
            if (opened_ != nullptr)
                raise();
        });
    }

    ~JackWatch()
    {
        adopt(true);
        dropIfGone();
        if (client_ != nullptr)
            jack_client_close(client_);
        notifier_.reset();
        ::close(wake_);
    }

    JackWatch(const JackWatch &) = delete;
    JackWatch &operator=(const JackWatch &) = delete;

    void setChanged(std::function<void()> changed) { changed_ = std::move(changed); }

    std::vector<Port> list()
    {
        adopt(false);
        dropIfGone();
        return client_ != nullptr ? midiInputs(client_) : std::vector<Port>{};
    }

    // One attempt to reach a server, unless one is under way: then its end is waited for,
    // so that the list the user is about to see holds what it found.
    void lookAgain()
    {
        const bool underWay = connecting_.load();
        adopt(true);
        dropIfGone();
        if (client_ == nullptr && !underWay)
            client_ = openClient();
    }

private:
    jack_client_t *openClient()
    {
        const std::string name = portClientName() + "-watch";
        jack_client_t *client = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
        if (client == nullptr)
            return nullptr;
        jack_set_port_registration_callback(client, &JackWatch::portRegistered, this);
        jack_set_port_rename_callback(client, &JackWatch::portRenamed, this);
        jack_on_info_shutdown(client, &JackWatch::serverGone, this);
        // Only an active client hears of other clients' ports. With no process callback it
        // takes no part in the server's cycles.
        if (jack_activate(client) != 0) {
            jack_client_close(client);
            return nullptr;
        }
        return client;
    }

    // Takes over the client the connecting thread opened, once it is done, or waiting for it.
    void adopt(bool wait)
    {
        if (!thread_.joinable() || (!wait && connecting_.load()))
            return;
        thread_.join();
        client_ = opened_;
        opened_ = nullptr;
    }

    // The client of a server that has gone is left to libjack (see JackOutput).
    void dropIfGone()
    {
        if (client_ != nullptr && gone_.load()) {
            client_ = nullptr;
            gone_.store(false);
        }
    }

    void woken()
    {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(wake_, &count, sizeof count);
        // Cleared before the list is read again, so a change from now on wakes once more.
        raised_.store(false);
        adopt(false);
        dropIfGone();
        changed_();
    }

    // Runs on libjack's threads: no lock, no allocation, no wait. One write for a burst.
    void raise() noexcept
    {
        if (raised_.exchange(true))
            return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
    }

    static void portRegistered(jack_port_id_t, int, void *self) { static_cast<JackWatch *>(self)->raise(); }
    static void portRenamed(jack_port_id_t, const char *, const char *, void *self)
    {
        static_cast<JackWatch *>(self)->raise();
    }
    static void serverGone(jack_status_t, const char *, void *self)
    {
        auto *watch = static_cast<JackWatch *>(self);
        watch->gone_.store(true);
        watch->raise();
    }

    static_assert(std::atomic<bool>::is_always_lock_free);

    std::function<void()> changed_;
    int wake_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::thread thread_;
    std::atomic<bool> connecting_{false};
    jack_client_t *opened_ = nullptr;  // the connecting thread's until it is joined
    jack_client_t *client_ = nullptr;
    std::atomic<bool> gone_{false};
    std::atomic<bool> raised_{false};
};

class JackBackend final : public Backend
{
public:
    // Without a watch, lists with a short-lived client of the program's own: RtMidi 5.0.0
    // loses a ring buffer each time its JACK backend finds no server.
    std::vector<Port> list() override
    {
        if (watch_)
            return watch_->list();
        jack_client_t *client = jack_client_open(portClientName().c_str(), JackNoStartServer, nullptr);
        if (client == nullptr)
            return {};
        std::vector<Port> ports = midiInputs(client);
        jack_client_close(client);
        return ports;
    }

    std::unique_ptr<Output> open(const Port &port, Failure &failure) override
    {
        return JackOutput::open(port.name, failure);
    }

    bool watch(std::function<void()> changed) override
    {
        if (watch_)
            watch_->setChanged(std::move(changed));
        else
            watch_ = std::make_unique<JackWatch>(std::move(changed));
        return true;
    }

    void lookAgain() override
    {
        if (watch_)
            watch_->lookAgain();
    }

private:
    std::unique_ptr<JackWatch> watch_;
};

} // namespace

void prepareJackProcess()
{
    jack_set_error_function(&discardMessage);
    jack_set_info_function(&discardMessage);
}

std::unique_ptr<Backend> createJackBackend() { return std::make_unique<JackBackend>(); }

} // namespace midi
