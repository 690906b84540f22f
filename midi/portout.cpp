#include "portout.h"

#include "errortext.h"

#include <RtMidi.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <QString>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <new>
#include <optional>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <alsa/asoundlib.h>

namespace midi {

namespace {

using Clock = std::chrono::steady_clock;

// Unique per process: while a JACK client connects, the server calls it back through a
// file named after the client alone, so two programs on the machine opening clients of
// one name at the same moment break each other, even on different servers.
const std::string kClientName = "Tirrel-" + std::to_string(::getpid());
constexpr char kOutputPortName[] = "out";
// Without the device RtMidi's ALSA backend throws, and alsa-lib prints first.
constexpr char kAlsaSequencerDevice[] = "/dev/snd/seq";
// Listing the ALSA ports takes a sequencer query per port, too much for every message.
constexpr auto kAlsaCheckInterval = std::chrono::milliseconds(30);
// Several periods even at JACK's largest buffer sizes.
constexpr auto kConnectTimeout = std::chrono::milliseconds(500);
constexpr auto kFlushTimeout = std::chrono::milliseconds(250);
constexpr auto kConnectPoll = std::chrono::milliseconds(1);
// Room for some 4000 messages between two cycles.
constexpr std::size_t kJackBufferBytes = 1 << 14;
constexpr std::uint16_t kAllChannels = 0xFFFF;

void discardMessage(const char *) {}
void discardAlsaMessage(const char *, int, const char *, int, const char *, ...) {}

QString fromUtf8(const std::string &text)
{
    return QString::fromStdString(text);
}

MmResult codeFor(RtMidiError::Type type)
{
    switch (type) {
    case RtMidiError::NO_DEVICES_FOUND:
    case RtMidiError::INVALID_DEVICE:
        return result::MidiNoDevice;
    case RtMidiError::MEMORY_ERROR:
        return result::NoMem;
    case RtMidiError::INVALID_PARAMETER:
        return result::InvalidParam;
    default:
        return result::Error;
    }
}

// Data bytes after each status byte; -1 where a status cannot travel as a short
// message (running status, SysEx, the undefined system bytes).
int dataLength(std::uint8_t status)
{
    if (status < 0x80)
        return -1;
    switch (status & 0xF0) {
    case 0xC0:
    case 0xD0:
        return 1;
    case 0xF0:
        break;
    default:
        return 2;
    }
    switch (status) {
    case 0xF1: // MTC quarter frame
    case 0xF3: // song select
        return 1;
    case 0xF2: // song position
        return 2;
    case 0xF0:
    case 0xF4:
    case 0xF5:
    case 0xF7:
    case 0xF9:
    case 0xFD:
        return -1;
    default:
        return 0;
    }
}

// RtMidi's version the way the record packs a driver version: major in the high byte.
std::uint32_t driverVersion()
{
    const std::string version = RtMidi::getVersion();
    const auto dot = version.find('.');
    const int major = std::atoi(version.c_str());
    const int minor = dot == std::string::npos ? 0 : std::atoi(version.c_str() + dot + 1);
    return static_cast<std::uint32_t>((major & 0xFF) << 8 | (minor & 0xFF));
}

struct Failure
{
    MmResult code;
    QString reason;
};

Failure portGone(const std::string &port)
{
    return {result::MidiNoDevice, QStringLiteral("MIDI 端口“%1”已不存在。").arg(fromUtf8(port))};
}

// Swallows what RtMidi writes to std::cerr while an RtMidiOut is being built: a
// constructor's failure ("JACK server not running?") is printed, as no error
// callback can be installed on an object that does not exist yet.
class QuietCerr
{
public:
    QuietCerr() : saved_(std::cerr.rdbuf(&sink_)) {}
    ~QuietCerr() { std::cerr.rdbuf(saved_); }
    QuietCerr(const QuietCerr &) = delete;
    QuietCerr &operator=(const QuietCerr &) = delete;

private:
    struct Sink : std::streambuf
    {
        int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    };
    Sink sink_;
    std::streambuf *saved_;
};

// One RtMidiOut. With an error callback installed RtMidi reports a failure there and
// carries on instead of printing and throwing, so each call is followed by takeFailure().
class RtOut
{
public:
    // Throws RtMidiError when the backend cannot be reached.
    RtOut(RtMidi::Api api, const std::string &clientName)
    {
        {
            QuietCerr quiet;
            out_ = std::make_unique<RtMidiOut>(api, clientName);
        }
        out_->setErrorCallback(&RtOut::report, this);
        // RtMidiOut silently takes another backend when the one asked for is not built in.
        if (out_->getCurrentApi() != api)
            throw RtMidiError("RtMidi was built without the " + RtMidi::getApiName(api) + " backend",
                              RtMidiError::INVALID_USE);
    }
    RtOut(const RtOut &) = delete;
    RtOut &operator=(const RtOut &) = delete;

    RtMidiOut &out() { return *out_; }

    std::optional<Failure> takeFailure()
    {
        std::optional<Failure> failure;
        failure.swap(failure_);
        return failure;
    }

    // RtMidi's list of ports, index for index; a port that vanishes while being listed
    // leaves an empty name so the indices still match openPort's.
    std::vector<std::string> portNames()
    {
        std::vector<std::string> names;
        const unsigned count = out_->getPortCount();
        for (unsigned i = 0; i < count; ++i)
            names.push_back(out_->getPortName(i));
        return names;
    }

private:
    static void report(RtMidiError::Type type, const std::string &text, void *self)
    {
        auto &failure = static_cast<RtOut *>(self)->failure_;
        if (!failure)  // the first failure is the cause, the rest its consequences
            failure = Failure{codeFor(type), fromUtf8(text)};
    }

    std::optional<Failure> failure_;
    std::unique_ptr<RtMidiOut> out_;
};

// An open connection to one port.
class Output
{
public:
    virtual ~Output() = default;
    // A failure once the port can no longer be reached.
    virtual std::optional<Failure> check() = 0;
    virtual std::optional<Failure> send(const std::uint8_t *bytes, std::size_t size) = 0;
};

// Through RtMidi, for the ALSA sequencer. ALSA drops messages to a port that has gone
// without a word, so the port list is looked at now and then.
class RtMidiOutput final : public Output
{
public:
    RtMidiOutput(std::unique_ptr<RtOut> out, std::string port)
        : out_(std::move(out)), port_(std::move(port)), nextCheck_(Clock::now() + kAlsaCheckInterval)
    {
    }

    std::optional<Failure> check() override
    {
        const auto now = Clock::now();
        if (now < nextCheck_)
            return std::nullopt;
        nextCheck_ = now + kAlsaCheckInterval;
        const std::vector<std::string> names = out_->portNames();
        out_->takeFailure();
        if (std::find(names.begin(), names.end(), port_) == names.end())
            return portGone(port_);
        return std::nullopt;
    }

    std::optional<Failure> send(const std::uint8_t *bytes, std::size_t size) override
    {
        out_->out().sendMessage(bytes, size);
        return out_->takeFailure();
    }

private:
    std::unique_ptr<RtOut> out_;
    std::string port_;
    Clock::time_point nextCheck_;
};

// A JACK client of the program's own with one MIDI output port connected to the
// chosen port. Written against libjack instead of going through RtMidi 5.0.0, whose
// JACK output frees its ring buffer before closing its client, while the process
// callback may still read it (a crash on closing, in 2 of 4 test runs on a loaded
// machine), and waits forever for room in that buffer once the server stops.
//
// Once the server has gone, the next jack_client_open anywhere in the process makes
// libjack close and delete every client still open (JackLibGlobals::Init), so closing
// one afterwards would free it twice: the client of a dead server is left to libjack.
class JackOutput final : public Output
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

    std::optional<Failure> check() override
    {
        if (gone_.load())
            return Failure{result::MidiNoDevice,
                           QStringLiteral("JACK 服务器已停止，MIDI 端口“%1”随之消失。").arg(fromUtf8(port_))};
        if (jack_port_by_name(client_, port_.c_str()) == nullptr)
            return portGone(port_);
        if (jack_port_connected_to(ownPort_, port_.c_str()) <= 0)
            return Failure{result::MidiNoDevice,
                           QStringLiteral("本程序与 MIDI 端口“%1”的连接已断开。").arg(fromUtf8(port_))};
        return std::nullopt;
    }

    std::optional<Failure> send(const std::uint8_t *bytes, std::size_t size) override
    {
        Record record{};
        record[0] = static_cast<std::uint8_t>(size);
        std::copy_n(bytes, size, record.begin() + 1);
        if (jack_ringbuffer_write_space(buffer_) < record.size())
            return Failure{result::MidiNotReady, QStringLiteral("JACK 没有取走已发出的 MIDI 消息。")};
        jack_ringbuffer_write(buffer_, reinterpret_cast<const char *>(record.data()), record.size());
        return std::nullopt;
    }

private:
    // The length, then up to three bytes: a short message. Records of four bytes in a
    // buffer whose size is a power of two never wrap in the middle, so the process
    // callback never finds half of one.
    using Record = std::array<std::uint8_t, 4>;

    explicit JackOutput(std::string port) : port_(std::move(port)) {}

    std::optional<Failure> connect()
    {
        client_ = jack_client_open(kClientName.c_str(), JackNoStartServer, nullptr);
        if (client_ == nullptr)
            return Failure{result::MidiNoDevice,
                           QStringLiteral("JACK 服务器没有运行，MIDI 端口“%1”已不存在。").arg(fromUtf8(port_))};
        buffer_ = jack_ringbuffer_create(kJackBufferBytes);
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
            return Failure{result::Error, QStringLiteral("未能连接到 MIDI 端口“%1”。").arg(fromUtf8(port_))};
        // A new connection shows in the graph that clients read only after a cycle or two.
        const auto deadline = Clock::now() + kConnectTimeout;
        while (jack_port_connected_to(ownPort_, port_.c_str()) <= 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(kConnectPoll);
        return check();
    }

    // Runs on JACK's thread: the messages waiting go out at the start of this cycle, as
    // many as the port's buffer holds (some 2700 here); the rest wait for the next one.
    static int process(jack_nframes_t frames, void *self)
    {
        auto *output = static_cast<JackOutput *>(self);
        void *midi = jack_port_get_buffer(output->ownPort_, frames);
        jack_midi_clear_buffer(midi);
        Record record;
        char *const data = reinterpret_cast<char *>(record.data());
        while (jack_ringbuffer_peek(output->buffer_, data, record.size()) == record.size()) {
            jack_midi_data_t *event = jack_midi_event_reserve(midi, 0, record[0]);
            if (event == nullptr)
                break;
            std::copy_n(record.begin() + 1, record[0], event);
            jack_ringbuffer_read_advance(output->buffer_, record.size());
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

// The MIDI inputs of the JACK server's clients, the ports RtMidi's JACK backend lists,
// in its order. Taken with a client of our own: RtMidi 5.0.0 loses a ring buffer each
// time its JACK backend finds no server, and the list is taken at every start-up.
std::vector<std::string> jackInputNames()
{
    std::vector<std::string> names;
    jack_client_t *client = jack_client_open(kClientName.c_str(), JackNoStartServer, nullptr);
    if (client == nullptr)
        return names;
    if (const char **ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
        for (const char **port = ports; *port != nullptr; ++port)
            names.emplace_back(*port);
        jack_free(ports);
    }
    jack_client_close(client);
    return names;
}

struct ListedPort
{
    RtMidi::Api api;
    std::string name;  // full and exact: the port is found again by it
};

struct Connection
{
    std::unique_ptr<Output> output;
    std::optional<Failure> lost;  // once the port is lost, the handle stays dead
};

} // namespace

class PortOut::Private
{
public:
    std::vector<ListedPort> listPorts();
    void appendPorts(RtMidi::Api api, std::vector<ListedPort> &ports);
    MmResult openRtMidi(const ListedPort &listed, std::unique_ptr<Output> &output);
    MmResult send(Connection &connection, std::uint32_t message);
    MmResult fail(const Failure &failure) { return reasons.fail(failure.code, failure.reason); }
    MmResult badDeviceId(std::uint32_t deviceId);

    template <typename Call>
    MmResult guarded(Call &&call)
    {
        try {
            return call();
        } catch (const RtMidiError &e) {
            return reasons.fail(codeFor(e.getType()), fromUtf8(e.getMessage()));
        } catch (const std::bad_alloc &) {
            return reasons.fail(result::NoMem);
        }
    }

    ErrorReasons reasons;
    std::vector<ListedPort> listed;
    bool everListed = false;
    HMidiOut lastHandle = 0;
    std::map<HMidiOut, std::unique_ptr<Connection>> connections;
};

std::vector<ListedPort> PortOut::Private::listPorts()
{
    std::vector<ListedPort> ports;
    if (::access(kAlsaSequencerDevice, R_OK | W_OK) == 0)
        appendPorts(RtMidi::LINUX_ALSA, ports);
    appendPorts(RtMidi::UNIX_JACK, ports);
    return ports;
}

void PortOut::Private::appendPorts(RtMidi::Api api, std::vector<ListedPort> &ports)
{
    if (api == RtMidi::UNIX_JACK) {
        for (std::string &name : jackInputNames())
            ports.push_back({api, std::move(name)});
        return;
    }
    try {
        RtOut out(api, kClientName);
        for (std::string &name : out.portNames()) {
            if (!name.empty())
                ports.push_back({api, std::move(name)});
        }
    } catch (const RtMidiError &) {
        // A backend that cannot be reached has no ports; the device list has no place for why.
    }
}

MmResult PortOut::Private::openRtMidi(const ListedPort &listed, std::unique_ptr<Output> &output)
{
    auto out = std::make_unique<RtOut>(listed.api, kClientName);
    // The list may have changed since it was taken: find the port by its name, not its place.
    const std::vector<std::string> names = out->portNames();
    out->takeFailure();
    const auto found = std::find(names.begin(), names.end(), listed.name);
    if (found == names.end())
        return fail(portGone(listed.name));
    out->out().openPort(static_cast<unsigned>(found - names.begin()), kOutputPortName);
    if (const auto failure = out->takeFailure())
        return fail(*failure);
    output = std::make_unique<RtMidiOutput>(std::move(out), listed.name);
    return result::NoError;
}

MmResult PortOut::Private::send(Connection &connection, std::uint32_t message)
{
    const auto status = static_cast<std::uint8_t>(message & 0xFF);
    const int length = dataLength(status);
    if (length < 0)
        return reasons.fail(result::InvalidParam, QStringLiteral("状态字节 0x%1 不能作为短消息发送。")
                                                      .arg(unsigned(status), 2, 16, QLatin1Char('0')));
    const std::uint8_t bytes[3] = {status, static_cast<std::uint8_t>(message >> 8 & 0xFF),
                                   static_cast<std::uint8_t>(message >> 16 & 0xFF)};
    for (int i = 1; i <= length; ++i) {
        if (bytes[i] > 0x7F)
            return reasons.fail(result::InvalidParam, QStringLiteral("数据字节 0x%1 超出了 0 到 0x7F 的范围。")
                                                          .arg(unsigned(bytes[i]), 2, 16, QLatin1Char('0')));
    }

    if (!connection.lost)
        connection.lost = connection.output->check();
    if (connection.lost)
        return fail(*connection.lost);
    if (const auto failure = connection.output->send(bytes, static_cast<std::size_t>(1 + length)))
        return fail(*failure);
    return result::NoError;
}

MmResult PortOut::Private::badDeviceId(std::uint32_t deviceId)
{
    if (deviceId == kMidiMapper)
        return reasons.fail(result::BadDeviceId, QStringLiteral("系统 MIDI 端口没有 MIDI 映射器。"));
    return reasons.fail(result::BadDeviceId,
                        QStringLiteral("设备号 %1 不在 %2 个系统 MIDI 端口之内。").arg(deviceId).arg(listed.size()));
}

PortOut::PortOut()
    : d(std::make_unique<Private>())
{
    // libjack starts a server for any client that does not say otherwise, as the
    // synthesizer's JACK driver does not; without hardware that takes seconds and fails.
    ::setenv("JACK_NO_START_SERVER", "1", 1);
    jack_set_error_function(&discardMessage);
    jack_set_info_function(&discardMessage);
    // The program logs nothing; alsa-lib would print from the sequencer here and from
    // the synthesizer's ALSA output when there is no sound card.
    snd_lib_error_set_handler(&discardAlsaMessage);
}

PortOut::~PortOut() = default;

std::uint32_t PortOut::deviceCount()
{
    try {
        d->listed = d->listPorts();
    } catch (const std::bad_alloc &) {
        d->listed.clear();
    }
    d->everListed = true;
    return static_cast<std::uint32_t>(d->listed.size());
}

MmResult PortOut::deviceCaps(std::uint32_t deviceId, DeviceCaps &caps)
{
    if (!d->everListed)
        deviceCount();
    if (deviceId >= d->listed.size())
        return d->badDeviceId(deviceId);

    caps = DeviceCaps{};
    const QString name = fromUtf8(d->listed[deviceId].name);
    setProductName(caps, std::u16string_view(reinterpret_cast<const char16_t *>(name.utf16()),
                                             static_cast<std::size_t>(name.size())));
    caps.driverVersion = driverVersion();
    caps.technology = kModMidiPort;
    caps.channelMask = kAllChannels;
    return result::NoError;
}

MmResult PortOut::open(HMidiOut &handle, std::uint32_t deviceId, std::uintptr_t, std::uintptr_t,
                       std::uint32_t flags)
{
    handle = 0;
    if (flags != 0)
        return d->reasons.fail(result::InvalidFlag,
                               QStringLiteral("系统 MIDI 端口不支持回调（标志 0x%1）。").arg(flags, 0, 16));
    if (!d->everListed)
        deviceCount();
    if (deviceId >= d->listed.size())
        return d->badDeviceId(deviceId);

    const ListedPort listed = d->listed[deviceId];
    auto connection = std::make_unique<Connection>();
    const MmResult code = d->guarded([&] {
        if (listed.api != RtMidi::UNIX_JACK)
            return d->openRtMidi(listed, connection->output);
        Failure failure{result::Error, {}};
        connection->output = JackOutput::open(listed.name, failure);
        return connection->output ? result::NoError : d->fail(failure);
    });
    if (code != result::NoError)
        return code;

    do {
        ++d->lastHandle;
    } while (d->lastHandle == 0 || d->connections.count(d->lastHandle) != 0);
    d->connections.emplace(d->lastHandle, std::move(connection));
    handle = d->lastHandle;
    return result::NoError;
}

MmResult PortOut::close(HMidiOut handle)
{
    const auto it = d->connections.find(handle);
    if (it == d->connections.end())
        return d->reasons.fail(result::InvalidHandle, QStringLiteral("句柄 %1 没有打开的 MIDI 端口。").arg(handle));
    d->connections.erase(it);
    return result::NoError;
}

MmResult PortOut::send(HMidiOut handle, std::uint32_t message)
{
    const auto it = d->connections.find(handle);
    if (it == d->connections.end())
        return d->reasons.fail(result::InvalidHandle, QStringLiteral("句柄 %1 没有打开的 MIDI 端口。").arg(handle));
    return d->guarded([&] { return d->send(*it->second, message); });
}

MmResult PortOut::errorText(MmResult code, char16_t *text, std::uint32_t chars)
{
    return d->reasons.getErrorText(code, text, chars);
}

} // namespace midi
