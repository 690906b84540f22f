#pragma once

#include "midi/system.h"

#include <memory>

namespace midi {

class Backend;

// Routes each call to the backend that owns the device id or handle. Tests build one of
// the backends they need.
class SystemPlatform : public MidiPlatform
{
public:
    SystemPlatform();
    ~SystemPlatform() override;
    SystemPlatform(const SystemPlatform &) = delete;
    SystemPlatform &operator=(const SystemPlatform &) = delete;

    // The backend that answers for the mapper id; none by default.
    void setMapper(std::unique_ptr<Backend> backend);
    // A backend whose outputs follow those of the backends added before it.
    void addPorts(std::unique_ptr<Backend> backend);

    // Lists the ports again; ids given to deviceCaps and open name the ports of the
    // latest list, even after ports come and go.
    std::uint32_t deviceCount() override;
    MmResult deviceCaps(std::uint32_t deviceId, DeviceCaps &caps) override;
    MmResult open(HMidiOut &handle, std::uint32_t deviceId, std::uintptr_t callback,
                  std::uintptr_t instance, std::uint32_t flags) override;
    MmResult close(HMidiOut handle) override;
    MmResult send(HMidiOut handle, std::uint32_t message) override;
    MmResult sendAt(HMidiOut handle, std::uint32_t message, std::int64_t dueNs) override;
    std::int64_t leadNs(HMidiOut handle) override;
    MmResult errorText(MmResult code, char16_t *text, std::uint32_t chars) override;
    // Each port backend that can hears of its outputs' changes; the others are read anew by
    // every deviceCount().
    void watchDevices(std::function<void()> changed) override;
    void lookForDevices() override;

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace midi
