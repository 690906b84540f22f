#include "systemplatform.h"

#include "errortext.h"
#include "portout.h"
#include "synthout.h"

#include <map>

namespace midi {

namespace {

// Routes each call to the backend that owns the device id or handle. Handles are
// its own, so two backends numbering theirs alike never meet.
class SystemPlatform final : public MidiPlatform
{
public:
    std::uint32_t deviceCount() override { return ports_.deviceCount(); }

    MmResult deviceCaps(std::uint32_t deviceId, DeviceCaps &caps) override
    {
        return remember(backendFor(deviceId).deviceCaps(deviceId, caps), backendFor(deviceId));
    }

    MmResult open(HMidiOut &handle, std::uint32_t deviceId, std::uintptr_t callback,
                  std::uintptr_t instance, std::uint32_t flags) override
    {
        MidiPlatform &backend = backendFor(deviceId);
        HMidiOut inner = 0;
        const MmResult r = backend.open(inner, deviceId, callback, instance, flags);
        if (r != result::NoError)
            return remember(r, backend);
        handle = nextHandle_++;
        routes_[handle] = {&backend, inner};
        return r;
    }

    MmResult close(HMidiOut handle) override
    {
        const auto it = routes_.find(handle);
        if (it == routes_.end())
            return result::InvalidHandle;
        const Route route = it->second;
        routes_.erase(it);
        return remember(route.backend->close(route.handle), *route.backend);
    }

    MmResult send(HMidiOut handle, std::uint32_t message) override
    {
        const auto it = routes_.find(handle);
        if (it == routes_.end())
            return result::InvalidHandle;
        return remember(it->second.backend->send(it->second.handle, message), *it->second.backend);
    }

    MmResult errorText(MmResult code, char16_t *text, std::uint32_t chars) override
    {
        // The backend that last failed with this code knows why.
        const auto it = lastFailure_.find(code);
        if (it != lastFailure_.end())
            return it->second->errorText(code, text, chars);
        return plain_.getErrorText(code, text, chars);
    }

private:
    struct Route
    {
        MidiPlatform *backend;
        HMidiOut handle;
    };

    MidiPlatform &backendFor(std::uint32_t deviceId)
    {
        if (deviceId == kMidiMapper)
            return synth_;
        return ports_;
    }

    MmResult remember(MmResult r, MidiPlatform &backend)
    {
        if (r != result::NoError)
            lastFailure_[r] = &backend;
        return r;
    }

    SynthOut synth_;
    PortOut ports_;
    ErrorReasons plain_;
    std::map<HMidiOut, Route> routes_;
    std::map<MmResult, MidiPlatform *> lastFailure_;
    HMidiOut nextHandle_ = 1;
};

} // namespace

std::unique_ptr<MidiPlatform> createSystemPlatform() { return std::make_unique<SystemPlatform>(); }

} // namespace midi
