#include "recording/recordingplatform.h"

#include "midi/shortmessage.h"

namespace midi {

std::uint32_t RecordingPlatform::deviceCount()
{
    calls.push_back({Op::GetNumDevs, 0, static_cast<std::uint32_t>(devices.size())});
    return static_cast<std::uint32_t>(devices.size());
}

MmResult RecordingPlatform::deviceCaps(std::uint32_t deviceId, DeviceCaps &caps)
{
    std::optional<QString> name;
    if (deviceId == kMidiMapper)
        name = mapper;
    else if (deviceId < devices.size())
        name = devices[deviceId];
    const MmResult r = name ? result::NoError : result::BadDeviceId;
    if (name)
        setProductName(caps, name->toStdU16String());
    calls.push_back({Op::GetDevCaps, deviceId, 0, r});
    return r;
}

MmResult RecordingPlatform::open(HMidiOut &handle, std::uint32_t deviceId, std::uintptr_t callback,
                                 std::uintptr_t instance, std::uint32_t flags)
{
    MmResult r = openResult;
    if (callback != 0 || instance != 0 || flags != 0)
        r = result::InvalidFlag;
    else if (deviceId != kMidiMapper && deviceId >= devices.size())
        r = result::BadDeviceId;
    if (r == result::NoError) {
        handle = nextHandle_++;
        open_.insert(handle);
        opened_.emplace_back(handle, deviceId);
    }
    calls.push_back({Op::Open, deviceId, r == result::NoError ? handle : 0, r});
    return r;
}

MmResult RecordingPlatform::close(HMidiOut handle)
{
    MmResult r = open_.count(handle) ? closeResult : result::InvalidHandle;
    // A close that fails still gives the handle up, as the caller forgets it either way.
    open_.erase(handle);
    calls.push_back({Op::Close, handle, 0, r});
    return r;
}

MmResult RecordingPlatform::send(HMidiOut handle, std::uint32_t message)
{
    return sendAt(handle, message, 0);
}

MmResult RecordingPlatform::sendAt(HMidiOut handle, std::uint32_t message, std::int64_t dueNs)
{
    // Refused as the system's outputs refuse it (midi/shortmessage.h).
    const MmResult r = !open_.count(handle)                ? result::InvalidHandle
                       : !ShortMessage::unpack(message) ? result::InvalidParam
                                                        : sendResult;
    calls.push_back({Op::ShortMsg, handle, message, r, dueNs});
    return r;
}

QString RecordingPlatform::errorText(MmResult code) { return QStringLiteral("error %1").arg(code); }

MmResult RecordingPlatform::errorText(MmResult code, char16_t *text, std::uint32_t chars)
{
    const QString t = errorText(code);
    copyText(std::u16string_view(reinterpret_cast<const char16_t *>(t.utf16()), t.size()), text, chars);
    calls.push_back({Op::GetErrorText, 0, code});
    return result::NoError;
}

std::vector<std::uint32_t> RecordingPlatform::messages() const
{
    std::vector<std::uint32_t> out;
    for (const Call &c : calls)
        if (c.op == Op::ShortMsg)
            out.push_back(c.value);
    return out;
}

std::optional<std::uint32_t> RecordingPlatform::deviceOf(HMidiOut handle) const
{
    for (const auto &[h, id] : opened_)
        if (h == handle)
            return id;
    return std::nullopt;
}

} // namespace midi
