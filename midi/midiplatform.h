#pragma once

// The MIDI output calls the rest of the program is written against. They keep the
// verbs, argument order and result codes of the Windows multimedia MIDI output API,
// so the module above them reads the same on every system; each backend is one
// implementation of this interface.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace midi {

using MmResult = std::uint32_t;
using HMidiOut = std::uint32_t;

// Numbered as the Windows multimedia API numbers them.
namespace result {
inline constexpr MmResult NoError = 0;
inline constexpr MmResult Error = 1;
inline constexpr MmResult BadDeviceId = 2;
inline constexpr MmResult NotEnabled = 3;
inline constexpr MmResult Allocated = 4;
inline constexpr MmResult InvalidHandle = 5;
inline constexpr MmResult NoDriver = 6;
inline constexpr MmResult NoMem = 7;
inline constexpr MmResult NotSupported = 8;
inline constexpr MmResult BadErrNum = 9;
inline constexpr MmResult InvalidFlag = 10;
inline constexpr MmResult InvalidParam = 11;
inline constexpr MmResult MidiNotReady = 67;  // MIDIERR_NOTREADY: the device is busy or its output stopped
inline constexpr MmResult MidiNoDevice = 68;  // MIDIERR_NODEVICE: the port is gone
} // namespace result

// The mapper's device id as the platform takes it: -1 widened with its sign.
inline constexpr std::uint32_t kMidiMapper = 0xFFFFFFFFu;

inline constexpr std::size_t kMaxProductNameLength = 32;  // including the terminating NUL
inline constexpr std::uint32_t kMaxErrorLength = 128;

struct MidiOutCaps {
    std::uint16_t wMid = 0;
    std::uint16_t wPid = 0;
    std::uint32_t vDriverVersion = 0;
    char16_t szPname[kMaxProductNameLength] = {};
    std::uint16_t wTechnology = 0;
    std::uint16_t wVoices = 0;
    std::uint16_t wNotes = 0;
    std::uint16_t wChannelMask = 0;
    std::uint32_t dwSupport = 0;
};

// Technology values of the record, as Windows numbers them.
inline constexpr std::uint16_t kModMidiPort = 1;
inline constexpr std::uint16_t kModSynth = 2;
inline constexpr std::uint16_t kModSwSynth = 7;

// Stores `name` cut to 31 UTF-16 units, never between the two halves of a surrogate pair.
void setProductName(MidiOutCaps &caps, std::u16string_view name);
// The name field up to its first NUL.
std::u16string productName(const MidiOutCaps &caps);

// Copies `text` with a terminating NUL into a buffer of `chars` UTF-16 units, cut
// where it does not fit, never between the halves of a surrogate pair.
void copyText(std::u16string_view text, char16_t *buffer, std::uint32_t chars);

class MidiPlatform
{
public:
    virtual ~MidiPlatform() = default;

    virtual std::uint32_t midiOutGetNumDevs() = 0;
    virtual MmResult midiOutGetDevCaps(std::uint32_t deviceId, MidiOutCaps &caps) = 0;
    virtual MmResult midiOutOpen(HMidiOut &handle, std::uint32_t deviceId, std::uintptr_t callback,
                                 std::uintptr_t instance, std::uint32_t flags) = 0;
    virtual MmResult midiOutClose(HMidiOut handle) = 0;
    virtual MmResult midiOutShortMsg(HMidiOut handle, std::uint32_t message) = 0;
    // Writes the text of `code` into `text` (`chars` UTF-16 units, NUL included).
    virtual MmResult midiOutGetErrorText(MmResult code, char16_t *text, std::uint32_t chars) = 0;
};

} // namespace midi
