// The Windows multimedia MIDI outputs: the MIDI mapper, and the devices numbered as WinMM
// numbers them. The platform's result codes are WinMM's, so WinMM's pass through as they
// are, and their texts are WinMM's own, which come in the user's language.

#include "winmm/winmmcalls.h"

#include <QString>

#include <array>
#include <cwchar>
#include <utility>

namespace midi {

namespace {

DeviceCaps toDeviceCaps(const MIDIOUTCAPSW &system)
{
    DeviceCaps caps;
    caps.manufacturerId = system.wMid;
    caps.productId = system.wPid;
    caps.driverVersion = system.vDriverVersion;
    // A driver may fill the name to the last unit with no NUL.
    const std::size_t length = wcsnlen(system.szPname, MAXPNAMELEN);
    setProductName(caps, std::u16string_view(reinterpret_cast<const char16_t *>(system.szPname), length));
    caps.technology = system.wTechnology;
    caps.voices = system.wVoices;
    caps.notes = system.wNotes;
    caps.channelMask = system.wChannelMask;
    caps.support = system.dwSupport;
    return caps;
}

Port describe(const WinmmCalls &calls, UINT deviceId)
{
    Port port;
    port.systemId = deviceId;
    MIDIOUTCAPSW caps = {};
    port.capsResult = calls.deviceCaps(deviceId, &caps, sizeof caps);
    if (port.capsResult == MMSYSERR_NOERROR) {
        port.caps = toDeviceCaps(caps);
        port.name = QString::fromStdU16String(productName(port.caps)).toStdString();
    }
    return port;
}

class WinmmOutput final : public Output
{
public:
    WinmmOutput(const WinmmCalls &calls, HMIDIOUT handle) : calls_(calls), handle_(handle) {}
    ~WinmmOutput() override
    {
        if (handle_ != nullptr)
            calls_.close(handle_);
    }
    WinmmOutput(const WinmmOutput &) = delete;
    WinmmOutput &operator=(const WinmmOutput &) = delete;

    std::optional<Failure> send(ShortMessage message) override
    {
        const MMRESULT code = calls_.send(handle_, message.packed());
        if (code != MMSYSERR_NOERROR)
            return Failure{code, {}};
        return std::nullopt;
    }

    // The router forgets the output whatever WinMM says, so it is not closed again. (The one
    // refusal, MIDIERR_STILLPLAYING, is for long messages, which are never sent.)
    std::optional<Failure> close() override
    {
        const MMRESULT code = calls_.close(std::exchange(handle_, nullptr));
        if (code != MMSYSERR_NOERROR)
            return Failure{code, {}};
        return std::nullopt;
    }

private:
    const WinmmCalls &calls_;
    HMIDIOUT handle_;
};

class WinmmBackend final : public Backend
{
public:
    WinmmBackend(const WinmmCalls &calls, bool mapper) : calls_(calls), mapper_(mapper) {}

    std::vector<Port> list() override
    {
        // Where the mapper cannot be described (Wine with no devices says BADDEVICEID) it is
        // still offered, so its code, not one of the router's, answers for it.
        if (mapper_)
            return {describe(calls_, MIDI_MAPPER)};
        std::vector<Port> ports;
        const UINT count = calls_.deviceCount();
        for (UINT id = 0; id < count; ++id)
            ports.push_back(describe(calls_, id));
        return ports;
    }

    std::unique_ptr<Output> open(const Port &port, Failure &failure) override
    {
        HMIDIOUT handle = nullptr;
        const MMRESULT code = calls_.open(&handle, mapper_ ? MIDI_MAPPER : port.systemId, 0, 0, CALLBACK_NULL);
        if (code != MMSYSERR_NOERROR) {
            failure = Failure{code, {}};
            return nullptr;
        }
        return std::make_unique<WinmmOutput>(calls_, handle);
    }

    QString errorText(MmResult code) override
    {
        std::array<wchar_t, MAXERRORLENGTH> text = {};
        if (calls_.errorText(code, text.data(), UINT(text.size())) != MMSYSERR_NOERROR)
            return {};
        return QString::fromWCharArray(text.data(), qsizetype(wcsnlen(text.data(), text.size())));
    }

private:
    const WinmmCalls &calls_;
    const bool mapper_;
};

} // namespace

const WinmmCalls &systemWinmmCalls()
{
    static const WinmmCalls calls = {&midiOutGetNumDevs, &midiOutGetDevCapsW, &midiOutOpen,
                                     &midiOutClose, &midiOutShortMsg, &midiOutGetErrorTextW};
    return calls;
}

std::unique_ptr<Backend> createWinmmMapper(const WinmmCalls &calls)
{
    return std::make_unique<WinmmBackend>(calls, true);
}

std::unique_ptr<Backend> createWinmmPorts(const WinmmCalls &calls)
{
    return std::make_unique<WinmmBackend>(calls, false);
}

std::unique_ptr<Backend> createWinmmMapper() { return createWinmmMapper(systemWinmmCalls()); }

std::unique_ptr<Backend> createWinmmPorts() { return createWinmmPorts(systemWinmmCalls()); }

} // namespace midi
