#pragma once

// The MIDI output calls the rest of the program is written against. Each stands for one
// call of the Windows multimedia MIDI output API (device count, capabilities, open, close,
// short message, error text) and keeps its arguments, order and result codes, so the
// module above reads the same on every system. The names are the program's own:
// <windows.h> defines the API's names as macros, which would rename these methods in any
// file that includes it.

#include <cstddef>
#include <cstdint>
#include <functional>
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

// The device's capability record, field for field as Windows has it; only the name is shown.
struct DeviceCaps {
    std::uint16_t manufacturerId = 0;
    std::uint16_t productId = 0;
    std::uint32_t driverVersion = 0;
    char16_t name[kMaxProductNameLength] = {};
    std::uint16_t technology = 0;
    std::uint16_t voices = 0;
    std::uint16_t notes = 0;
    std::uint16_t channelMask = 0;
    std::uint32_t support = 0;
};

// Technology values of the record, as Windows numbers them.
inline constexpr std::uint16_t kModMidiPort = 1;
inline constexpr std::uint16_t kModSynth = 2;
inline constexpr std::uint16_t kModSwSynth = 7;

// Stores `name` cut to 31 UTF-16 units, never between the two halves of a surrogate pair.
void setProductName(DeviceCaps &caps, std::u16string_view name);
// The name field up to its first NUL.
std::u16string productName(const DeviceCaps &caps);

// Copies `text` with a terminating NUL into a buffer of `chars` UTF-16 units, cut
// where it does not fit, never between the halves of a surrogate pair.
void copyText(std::u16string_view text, char16_t *buffer, std::uint32_t chars);

// Now on the monotonic clock, in nanoseconds: the clock of due times.
std::int64_t steadyNs();

class MidiPlatform
{
public:
    virtual ~MidiPlatform() = default;

    // The number of devices, ids 0..N-1; the mapper, id kMidiMapper, is not counted.
    virtual std::uint32_t deviceCount() = 0;
    virtual MmResult deviceCaps(std::uint32_t deviceId, DeviceCaps &caps) = 0;
    virtual MmResult open(HMidiOut &handle, std::uint32_t deviceId, std::uintptr_t callback,
                          std::uintptr_t instance, std::uint32_t flags) = 0;
    virtual MmResult close(HMidiOut handle) = 0;
    // One short message: status in bits 0-7, data bytes in bits 8-15 and 16-23.
    virtual MmResult send(HMidiOut handle, std::uint32_t message) = 0;
    // The same message, to sound at `dueNs` on the steady clock (see steadyNs) where
    // the device can place it in time, else as soon as possible. Not in the Windows API,
    // whose short messages always go at once.
    virtual MmResult sendAt(HMidiOut handle, std::uint32_t message, std::int64_t dueNs)
    {
        (void)dueNs;
        return send(handle, message);
    }
    // How long before their due time messages must reach the device to be placed in time;
    // zero for a device that plays everything as soon as it comes.
    virtual std::int64_t leadNs(HMidiOut handle)
    {
        (void)handle;
        return 0;
    }
    // Writes the text of `code` into `text` (`chars` UTF-16 units, NUL included).
    virtual MmResult errorText(MmResult code, char16_t *text, std::uint32_t chars) = 0;

    // Outputs come and go while the program runs. Windows tells a program so only through
    // window messages, so these are the program's own: `changed` runs on the calling
    // thread's event loop, possibly several times for one burst, whenever deviceCount()
    // may count differently. A platform that hears of nothing never calls it.
    virtual void watchDevices(std::function<void()> changed) { (void)changed; }
    // The user is about to look at the list: devices that nothing announces are looked
    // for now, before the next deviceCount().
    virtual void lookForDevices() {}
};

} // namespace midi
