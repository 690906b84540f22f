// The writable ports of the ALSA sequencer, played through RtMidi.

#include "alsa/alsaports.h"
#include "ports/portoutput.h"

#include <RtMidi.h>

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <streambuf>

#include <poll.h>
#include <unistd.h>

namespace midi {

namespace {

// Without the device RtMidi's ALSA backend throws, and alsa-lib prints first.
constexpr char kSequencerDevice[] = "/dev/snd/seq";

void discardAlsaMessage(const char *, int, const char *, int, const char *, ...) {}

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

std::uint32_t driverVersion()
{
    const std::string version = RtMidi::getVersion();
    const auto dot = version.find('.');
    return packedVersion(std::atoi(version.c_str()), dot == std::string::npos ? 0 : std::atoi(version.c_str() + dot + 1));
}

// Swallows what RtMidi writes to std::cerr while an RtMidiOut is being built: a
// constructor's failure is printed, as no error callback can be installed on an object
// that does not exist yet.
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

// One RtMidiOut on the sequencer. With an error callback installed RtMidi reports a
// failure there and carries on instead of printing and throwing, so each call is
// followed by takeFailure().
class RtOut
{
public:
    // Throws RtMidiError when the sequencer cannot be reached.
    RtOut()
    {
        {
            QuietCerr quiet;
            out_ = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, portClientName());
        }
        out_->setErrorCallback(&RtOut::report, this);
        // RtMidiOut silently takes another backend when the one asked for is not built in.
        if (out_->getCurrentApi() != RtMidi::LINUX_ALSA)
            throw RtMidiError("RtMidi was built without the ALSA backend", RtMidiError::INVALID_USE);
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
            failure = Failure{codeFor(type), QString::fromStdString(text)};
    }

    std::optional<Failure> failure_;
    std::unique_ptr<RtMidiOut> out_;
};

// ALSA drops messages to a port that has gone without a word: the sequencer's announcements
// tell of its end (AlsaWatch), and the output reads what they told.
class AlsaOutput final : public PortOutput
{
public:
    AlsaOutput(std::unique_ptr<RtOut> out, std::string port, std::shared_ptr<const bool> lost)
        : out_(std::move(out)), port_(std::move(port)), lost_(std::move(lost))
    {
    }

protected:
    std::optional<Failure> heardOfLoss() override
    {
        if (*lost_)
            return portGone(port_);
        return std::nullopt;
    }

    // RtMidi sends at once; the sequencer's own queues are not used.
    std::optional<Failure> write(const std::uint8_t *bytes, std::size_t size, std::int64_t) override
    {
        out_->out().sendMessage(bytes, size);
        return out_->takeFailure();
    }

private:
    std::unique_ptr<RtOut> out_;
    std::string port_;
    std::shared_ptr<const bool> lost_;
};

// Hears of clients and ports from the sequencer's announce port: that the list may have
// changed, and that a port an output plays to has gone. The sequencer's descriptors are
// watched on the watching thread's event loop, so no thread of its own is needed.
class AlsaWatch
{
public:
    // Null where the sequencer cannot be reached or will not announce.
    static std::unique_ptr<AlsaWatch> start(std::function<void()> changed)
    {
        snd_seq_t *seq = nullptr;
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0)
            return nullptr;
        auto watch = std::unique_ptr<AlsaWatch>(new AlsaWatch(seq, std::move(changed)));
        snd_seq_set_client_name(seq, (portClientName() + "-watch").c_str());
        const int port = snd_seq_create_simple_port(seq, "announce", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                    SND_SEQ_PORT_TYPE_APPLICATION);
        if (port < 0 || snd_seq_connect_from(seq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0)
            return nullptr;
        const int count = snd_seq_poll_descriptors_count(seq, POLLIN);
        std::vector<pollfd> descriptors(std::size_t(std::max(count, 0)));
        snd_seq_poll_descriptors(seq, descriptors.data(), unsigned(descriptors.size()), POLLIN);
        for (const pollfd &descriptor : descriptors) {
            auto notifier = std::make_unique<QSocketNotifier>(descriptor.fd, QSocketNotifier::Read);
            QObject::connect(notifier.get(), &QSocketNotifier::activated, [w = watch.get()] { w->readEvents(); });
            watch->notifiers_.push_back(std::move(notifier));
        }
        return watch;
    }

    ~AlsaWatch()
    {
        notifiers_.clear();
        snd_seq_close(seq_);
    }

    AlsaWatch(const AlsaWatch &) = delete;
    AlsaWatch &operator=(const AlsaWatch &) = delete;

    void setChanged(std::function<void()> changed) { changed_ = std::move(changed); }

    // Sets `lost` once the port at `address` has gone.
    void follow(snd_seq_addr_t address, std::weak_ptr<bool> lost) { followed_.push_back({address, std::move(lost)}); }

private:
    struct Followed
    {
        snd_seq_addr_t address;
        std::weak_ptr<bool> lost;
    };

    AlsaWatch(snd_seq_t *seq, std::function<void()> changed) : seq_(seq), changed_(std::move(changed)) {}

    void markLost(const std::function<bool(const snd_seq_addr_t &)> &gone)
    {
        std::erase_if(followed_, [&](const Followed &followed) {
            const std::shared_ptr<bool> lost = followed.lost.lock();
            if (lost && gone(followed.address))
                *lost = true;
            return !lost || *lost;
        });
    }

    // Everything waiting is read, and one burst makes one call.
    void readEvents()
    {
        bool changed = false;
        for (;;) {
            snd_seq_event_t *event = nullptr;
            const int read = snd_seq_event_input(seq_, &event);
            // The input overflowed and its events are lost: any of them may have been news,
            // so the ports followed are looked for once.
            if (read == -ENOSPC) {
                changed = true;
                markLost([this](const snd_seq_addr_t &address) { return !exists(address); });
                continue;
            }
            if (read < 0 || event == nullptr)
                break;
            changed = changesPorts(*event) || changed;
            markLost([event](const snd_seq_addr_t &address) { return endsPort(*event, address); });
        }
        if (changed && changed_)
            changed_();
    }

    bool exists(const snd_seq_addr_t &address)
    {
        snd_seq_port_info_t *info = nullptr;
        snd_seq_port_info_alloca(&info);
        return snd_seq_get_any_port_info(seq_, address.client, address.port, info) == 0;
    }

    snd_seq_t *seq_;
    std::function<void()> changed_;
    std::vector<std::unique_ptr<QSocketNotifier>> notifiers_;
    std::vector<Followed> followed_;
};

class AlsaBackend final : public Backend
{
public:
    std::vector<Port> list() override
    {
        std::vector<Port> ports;
        if (::access(kSequencerDevice, R_OK | W_OK) != 0)
            return ports;
        // A watching backend lists through one client that stays: a new client for each list
        // would itself be announced, and the list read again for ever.
        std::unique_ptr<RtOut> fresh;
        RtOut &out = lister_ ? *lister_ : *(fresh = std::make_unique<RtOut>());
        std::vector<std::string> names = out.portNames();
        out.takeFailure();
        for (std::string &name : names) {
            if (!name.empty())
                ports.push_back(systemPort(std::move(name), driverVersion()));
        }
        return ports;
    }

    std::unique_ptr<Output> open(const Port &port, Failure &failure) override
    {
        auto out = std::make_unique<RtOut>();
        const std::vector<std::string> names = out->portNames();
        out->takeFailure();
        const auto found = std::find(names.begin(), names.end(), port.name);
        if (found == names.end()) {
            failure = portGone(port.name);
            return nullptr;
        }
        out->out().openPort(static_cast<unsigned>(found - names.begin()), kOutputPortName);
        if (auto opening = out->takeFailure()) {
            failure = *opening;
            return nullptr;
        }
        // Without the announcements, which a sequencer that lets the program play always
        // makes, a port that goes is not noticed, and ALSA drops what is sent to it.
        auto lost = std::make_shared<bool>(false);
        if (!watch_)
            watch_ = AlsaWatch::start({});
        if (const std::optional<snd_seq_addr_t> address = sequencerAddress(port.name); watch_ && address)
            watch_->follow(*address, lost);
        return std::make_unique<AlsaOutput>(std::move(out), port.name, std::move(lost));
    }

    void watch(std::function<void()> changed) override
    {
        if (::access(kSequencerDevice, R_OK | W_OK) != 0)
            return;
        // Made before the announcements are subscribed to, so its own start is no news.
        if (!lister_)
            lister_ = std::make_unique<RtOut>();
        if (watch_)
            watch_->setChanged(std::move(changed));
        else
            watch_ = AlsaWatch::start(std::move(changed));
    }

private:
    std::unique_ptr<RtOut> lister_;
    std::unique_ptr<AlsaWatch> watch_;
};

} // namespace

std::optional<snd_seq_addr_t> sequencerAddress(const std::string &portName)
{
    // RtMidi names a port "client:port C:P", C and P being its numbers on the sequencer.
    const std::size_t space = portName.rfind(' ');
    if (space == std::string::npos)
        return std::nullopt;
    unsigned client = 0;
    unsigned port = 0;
    char rest = 0;
    if (std::sscanf(portName.c_str() + space + 1, "%u:%u%c", &client, &port, &rest) != 2 || client > 255 || port > 255)
        return std::nullopt;
    return snd_seq_addr_t{static_cast<unsigned char>(client), static_cast<unsigned char>(port)};
}

bool endsPort(const snd_seq_event_t &event, const snd_seq_addr_t &port)
{
    switch (event.type) {
    case SND_SEQ_EVENT_CLIENT_EXIT:
        return event.data.addr.client == port.client;
    case SND_SEQ_EVENT_PORT_EXIT:
        return event.data.addr.client == port.client && event.data.addr.port == port.port;
    default:
        return false;
    }
}

bool changesPorts(const snd_seq_event_t &event)
{
    switch (event.type) {
    case SND_SEQ_EVENT_CLIENT_START:
    case SND_SEQ_EVENT_CLIENT_EXIT:
    case SND_SEQ_EVENT_CLIENT_CHANGE:
    case SND_SEQ_EVENT_PORT_START:
    case SND_SEQ_EVENT_PORT_EXIT:
    case SND_SEQ_EVENT_PORT_CHANGE:
        return true;
    default:
        return false;
    }
}

void prepareAlsaProcess()
{
    // The program logs nothing; alsa-lib would print from the sequencer here and from
    // the synthesizer's ALSA output when there is no sound card.
    snd_lib_error_set_handler(&discardAlsaMessage);
}

std::unique_ptr<Backend> createAlsaBackend() { return std::make_unique<AlsaBackend>(); }

} // namespace midi
