// The MIDI inputs of the other clients of a running JACK server, as the device list shows
// them; each is played through a JACK client of the program's own (jackoutput.cpp).

#include "jack/jackoutput.h"
#include "ports/portoutput.h"

#include <jack/jack.h>

#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include <sys/eventfd.h>
#include <unistd.h>

namespace midi {

namespace {

using Clock = std::chrono::steady_clock;

void discardMessage(const char *) {}

std::uint32_t driverVersion()
{
    int major = 0, minor = 0, micro = 0, protocol = 0;
    jack_get_version(&major, &minor, &micro, &protocol);
    return packedVersion(major, minor);
}

// The MIDI inputs of every client of `client`'s server, in the server's order.
std::vector<Port> midiInputs(jack_client_t *client)
{
    std::vector<Port> ports;
    if (const char **names = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
        for (const char **name = names; *name != nullptr; ++name)
            ports.push_back(systemPort(*name, driverVersion()));
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
        jack_client_t *client = openJackClient(name);
        if (client == nullptr)
            return nullptr;
        jack_set_port_registration_callback(client, &JackWatch::portRegistered, this);
        jack_set_port_rename_callback(client, &JackWatch::portRenamed, this);
        // PipeWire's libjack (0.3.65) never calls a jack_on_info_shutdown callback; jackd2
        // calls this one when no such callback is set.
        jack_on_shutdown(client, &JackWatch::serverGone, this);
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
    static void serverGone(void *self)
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
        jack_client_t *client = openJackClient(portClientName());
        if (client == nullptr)
            return {};
        std::vector<Port> ports = midiInputs(client);
        jack_client_close(client);
        return ports;
    }

    std::unique_ptr<Output> open(const Port &port, Failure &failure) override
    {
        return openJackOutput(port.name, failure);
    }

    void watch(std::function<void()> changed) override
    {
        if (watch_)
            watch_->setChanged(std::move(changed));
        else
            watch_ = std::make_unique<JackWatch>(std::move(changed));
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
