#include "systemplatform.h"

#include "errortext.h"
#include "router/backend.h"

#include <exception>
#include <map>
#include <new>
#include <type_traits>
#include <vector>

#include <cstdlib>

namespace midi {

namespace {

struct BackendEntry
{
    bool mapper;  // answers for the mapper id rather than numbering ports
    void (*prepareProcess)();
    std::unique_ptr<Backend> (*create)();
};

// Every backend this build has, as the configure step found them. The ports are numbered
// in this order.
constexpr BackendEntry kBackends[] = {
#if defined(TIRREL_HAVE_FLUIDSYNTH) && !defined(TIRREL_HAVE_WINMM)
    // Where the system has no mapper of its own, the synthesizer answers for it.
    {true, &prepareSynthProcess, [] { return createSynthBackend(); }},
#endif
#ifdef TIRREL_HAVE_ALSA
    {false, &prepareAlsaProcess, &createAlsaBackend},
#endif
#ifdef TIRREL_HAVE_JACK
    {false, &prepareJackProcess, &createJackBackend},
#endif
#ifdef TIRREL_HAVE_WINMM
    // Router ids are WinMM's own: the mapper is WinMM's, and its devices are the first ports.
    {true, nullptr, &createWinmmMapper},
    {false, nullptr, &createWinmmPorts},
#ifdef TIRREL_HAVE_FLUIDSYNTH
    // The synthesizer after them, so that they keep their numbers: its id is WinMM's count.
    {false, &prepareSynthProcess, [] { return createSynthBackend(); }},
#endif
#endif
};

} // namespace

void prepareProcess()
{
#ifndef Q_OS_WIN
    // libjack, beneath the JACK ports and the synthesizer's JACK output, starts a server
    // for any client that does not say otherwise; without a JACK setup that takes seconds,
    // fails, and may take the sound card from the desktop.
    ::setenv("JACK_NO_START_SERVER", "1", 1);
    // libpulse, beneath the synthesizer's PulseAudio output and ALSA's pulse plugin, starts
    // a sound server where autospawn is on. The program must never start one, and the
    // user's client.conf cannot be overridden from here: the daemon it would start is one
    // that exits at once. Programs started from this one (the browser) inherit it; a
    // desktop's sound server is started by the session, not by its clients.
    ::setenv("PULSE_BINARY", "/bin/false", 1);
#endif
    for (const BackendEntry &entry : kBackends) {
        if (entry.prepareProcess != nullptr)
            entry.prepareProcess();
    }
}

std::unique_ptr<MidiPlatform> createSystemPlatform()
{
    auto platform = std::make_unique<SystemPlatform>();
    for (const BackendEntry &entry : kBackends) {
        if (entry.mapper)
            platform->setMapper(entry.create());
        else
            platform->addPorts(entry.create());
    }
    return platform;
}

class SystemPlatform::Private
{
public:
    struct Listed
    {
        Backend *backend;
        Port port;
    };

    struct Opened
    {
        Backend *backend;
        std::unique_ptr<Output> output;
    };

    // Records a failure. `source` is the backend that returned the code: where it has words
    // of its own for the code, they are the text shown for it until the code fails again.
    MmResult fail(MmResult code, const QString &reason = {}, Backend *source = nullptr)
    {
        textSources[code] = source;
        return reasons.fail(code, reason);
    }

    // The one boundary where what the libraries beneath the backends throw becomes a result.
    // A call that returns nothing succeeded unless it threw.
    template <typename Call>
    MmResult guarded(Call &&call) noexcept
    {
        try {
            if constexpr (std::is_void_v<std::invoke_result_t<Call>>) {
                call();
                return result::NoError;
            } else {
                return call();
            }
        } catch (const std::bad_alloc &) {
            return fail(result::NoMem);
        } catch (const std::exception &e) {
            return fail(result::Error, QString::fromLocal8Bit(e.what()));
        } catch (...) {
            return fail(result::Error);
        }
    }

    void list()
    {
        listed.clear();
        for (const auto &backend : ports) {
            std::vector<Port> found;
            // A backend that cannot be reached has no ports; the device list has no place for why.
            guarded([&] { found = backend->list(); });
            for (Port &port : found)
                listed.push_back({backend.get(), std::move(port)});
        }
        everListed = true;
    }

    // The port with this id in the latest list, listing first if nothing has been yet.
    const Listed *listedPort(std::uint32_t deviceId)
    {
        if (!everListed)
            list();
        return deviceId < listed.size() ? &listed[deviceId] : nullptr;
    }

    MmResult badDeviceId(std::uint32_t deviceId)
    {
        if (deviceId == kMidiMapper)
            return fail(result::BadDeviceId, QStringLiteral("系统 MIDI 端口没有 MIDI 映射器。"));
        return fail(result::BadDeviceId,
                    QStringLiteral("设备号 %1 不在 %2 个系统 MIDI 端口之内。").arg(deviceId).arg(listed.size()));
    }

    // Declared before the outputs, which may refer to their backend until they close.
    std::unique_ptr<Backend> mapper;
    std::vector<std::unique_ptr<Backend>> ports;
    ErrorReasons reasons;
    std::map<MmResult, Backend *> textSources;
    std::vector<Listed> listed;
    bool everListed = false;
    HMidiOut lastHandle = 0;
    std::map<HMidiOut, Opened> outputs;
};

SystemPlatform::SystemPlatform() : d(std::make_unique<Private>()) {}

SystemPlatform::~SystemPlatform() = default;

void SystemPlatform::setMapper(std::unique_ptr<Backend> backend) { d->mapper = std::move(backend); }

void SystemPlatform::addPorts(std::unique_ptr<Backend> backend) { d->ports.push_back(std::move(backend)); }

std::uint32_t SystemPlatform::deviceCount()
{
    d->list();
    return static_cast<std::uint32_t>(d->listed.size());
}

MmResult SystemPlatform::deviceCaps(std::uint32_t deviceId, DeviceCaps &caps)
{
    if (deviceId == kMidiMapper) {
        if (!d->mapper)
            return d->badDeviceId(deviceId);
        return d->guarded([&] {
            const std::vector<Port> offered = d->mapper->list();
            if (offered.empty())
                return d->fail(result::NoDriver);
            if (offered.front().capsResult != result::NoError)
                return d->fail(offered.front().capsResult, {}, d->mapper.get());
            caps = offered.front().caps;
            return result::NoError;
        });
    }
    const Private::Listed *listed = d->listedPort(deviceId);
    if (listed == nullptr)
        return d->badDeviceId(deviceId);
    if (listed->port.capsResult != result::NoError)
        return d->fail(listed->port.capsResult, {}, listed->backend);
    caps = listed->port.caps;
    return result::NoError;
}

MmResult SystemPlatform::open(HMidiOut &handle, std::uint32_t deviceId, std::uintptr_t, std::uintptr_t,
                              std::uint32_t flags)
{
    handle = 0;
    // Nothing is called back: messages only go out.
    if (flags != 0)
        return d->fail(result::InvalidFlag, QStringLiteral("MIDI 输出不支持回调（标志 0x%1）。").arg(flags, 0, 16));
    Backend *backend = nullptr;
    Port port;
    if (deviceId == kMidiMapper) {
        if (!d->mapper)
            return d->badDeviceId(deviceId);
        backend = d->mapper.get();
    } else {
        const Private::Listed *listed = d->listedPort(deviceId);
        if (listed == nullptr)
            return d->badDeviceId(deviceId);
        backend = listed->backend;
        port = listed->port;
    }

    std::unique_ptr<Output> output;
    const MmResult code = d->guarded([&] {
        Failure failure{result::Error, {}};
        output = backend->open(port, failure);
        return output ? result::NoError : d->fail(failure.code, failure.reason, backend);
    });
    if (code != result::NoError)
        return code;

    do {
        ++d->lastHandle;
    } while (d->lastHandle == 0 || d->outputs.count(d->lastHandle) != 0);
    d->outputs.emplace(d->lastHandle, Private::Opened{backend, std::move(output)});
    handle = d->lastHandle;
    return result::NoError;
}

MmResult SystemPlatform::close(HMidiOut handle)
{
    const auto it = d->outputs.find(handle);
    if (it == d->outputs.end())
        return d->fail(result::InvalidHandle);
    Private::Opened opened = std::move(it->second);
    d->outputs.erase(it);
    return d->guarded([&] {
        const std::optional<Failure> failure = opened.output->close();
        opened.output.reset();
        return failure ? d->fail(failure->code, failure->reason, opened.backend) : result::NoError;
    });
}

MmResult SystemPlatform::send(HMidiOut handle, std::uint32_t packed)
{
    return sendAt(handle, packed, 0);
}

MmResult SystemPlatform::sendAt(HMidiOut handle, std::uint32_t packed, std::int64_t dueNs)
{
    const auto it = d->outputs.find(handle);
    if (it == d->outputs.end())
        return d->fail(result::InvalidHandle);
    // The one check of a message, in front of every output (midi/shortmessage.h).
    ShortMessage::Fault fault{};
    const std::optional<ShortMessage> message = ShortMessage::unpack(packed, &fault);
    if (!message)
        return d->fail(result::InvalidParam, refusalText(packed, fault));
    return d->guarded([&] {
        Output &output = *it->second.output;
        const std::optional<Failure> failure = dueNs == 0 ? output.send(*message) : output.sendAt(*message, dueNs);
        return failure ? d->fail(failure->code, failure->reason, it->second.backend) : result::NoError;
    });
}

std::int64_t SystemPlatform::leadNs(HMidiOut handle)
{
    const auto it = d->outputs.find(handle);
    return it == d->outputs.end() ? 0 : it->second.output->lead().count();
}

MmResult SystemPlatform::errorText(MmResult code, char16_t *text, std::uint32_t chars)
{
    if (text == nullptr || chars == 0)
        return result::InvalidParam;
    // The words of the backend that returned the code last, where it has its own. A code
    // the router returned itself it returned in the system's place (a bad handle, a device
    // id out of range), so it takes the system's words where a backend has them: WinMM's,
    // on Windows. Otherwise the program's text, with the reason.
    std::vector<Backend *> speakers;
    const auto source = d->textSources.find(code);
    if (source != d->textSources.end() && source->second != nullptr) {
        speakers.push_back(source->second);
    } else {
        if (d->mapper)
            speakers.push_back(d->mapper.get());
        for (const auto &backend : d->ports)
            speakers.push_back(backend.get());
    }
    for (Backend *speaker : speakers) {
        QString own;
        d->guarded([&] { own = speaker->errorText(code); });
        if (!own.isEmpty()) {
            copyText(std::u16string_view(reinterpret_cast<const char16_t *>(own.utf16()), own.size()), text, chars);
            return result::NoError;
        }
    }
    return d->reasons.getErrorText(code, text, chars);
}

void SystemPlatform::watchDevices(std::function<void()> changed)
{
    // The synthesizer is always there: only the ports come and go.
    for (const auto &backend : d->ports)
        d->guarded([&] { backend->watch(changed); });
}

void SystemPlatform::lookForDevices()
{
    for (const auto &backend : d->ports)
        d->guarded([&] { backend->lookAgain(); });
}

} // namespace midi
