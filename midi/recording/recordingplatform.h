#pragma once

// A MIDI platform for tests and benchmarks: devices and results are set by the test,
// and every call is recorded in order.

#include "midi/midiplatform.h"

#include <QString>
#include <optional>
#include <set>
#include <vector>

namespace midi {

class RecordingPlatform final : public MidiPlatform
{
public:
    enum class Op { GetNumDevs, GetDevCaps, Open, Close, ShortMsg, GetErrorText, LookForDevices };

    struct Call
    {
        Op op;
        std::uint32_t deviceOrHandle = 0;  // device id for caps and open, handle otherwise
        std::uint32_t value = 0;           // message, error code, or the handle an open returned
        MmResult result = result::NoError;
        std::int64_t dueNs = 0;            // a message's due time; 0 for as soon as possible
    };

    // The mapper's name, or nullopt when its capability query fails.
    std::optional<QString> mapper = QStringLiteral("Mapper");
    // Devices 0..N-1; nullopt makes that id's capability query fail.
    std::vector<std::optional<QString>> devices;

    // Results the next calls give; sends also fail with InvalidHandle on a handle that is not
    // open, and with InvalidParam for a value that is no short message, as the system's do.
    MmResult openResult = result::NoError;
    MmResult closeResult = result::NoError;
    MmResult sendResult = result::NoError;
    // How early the open device wants messages with a due time.
    std::int64_t lead = 0;

    std::vector<Call> calls;
    // What watchDevices was given: a test calls it where the system would announce a change.
    std::function<void()> devicesChanged;

    std::uint32_t deviceCount() override;
    MmResult deviceCaps(std::uint32_t deviceId, DeviceCaps &caps) override;
    MmResult open(HMidiOut &handle, std::uint32_t deviceId, std::uintptr_t callback,
                  std::uintptr_t instance, std::uint32_t flags) override;
    MmResult close(HMidiOut handle) override;
    MmResult send(HMidiOut handle, std::uint32_t message) override;
    MmResult sendAt(HMidiOut handle, std::uint32_t message, std::int64_t dueNs) override;
    std::int64_t leadNs(HMidiOut) override { return lead; }
    MmResult errorText(MmResult code, char16_t *text, std::uint32_t chars) override;
    void watchDevices(std::function<void()> changed) override { devicesChanged = std::move(changed); }
    void lookForDevices() override { calls.push_back({Op::LookForDevices}); }

    // The text errorText writes for `code`.
    static QString errorText(MmResult code);

    // The messages sent, in order, whatever their result.
    std::vector<std::uint32_t> messages() const;
    // The device id each handle was opened with.
    std::optional<std::uint32_t> deviceOf(HMidiOut handle) const;
    const std::set<HMidiOut> &openHandles() const { return open_; }
    void clearCalls() { calls.clear(); }

private:
    HMidiOut nextHandle_ = 0x100;
    std::set<HMidiOut> open_;
    std::vector<std::pair<HMidiOut, std::uint32_t>> opened_;
};

} // namespace midi
