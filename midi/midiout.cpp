#include "midiout.h"

#include "midiconstants.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <optional>

namespace MidiOut {

namespace {

midi::HMidiOut handle = 0;
midi::MidiPlatform *platform = nullptr;
midi::ErrorBox *messageBox = nullptr;

// A box per failed call would bury the user: two per key press with no device,
// 65 per movement over the mute pad, and since timers and input run on while a
// modal box is open, boxes would nest under a playing song. So at most one box is
// open at a time, and a code already shown stays quiet until MIDI works again or
// the user picks a device.
bool boxOpen = false;
std::optional<std::int16_t> lastShownCode;

void showBox(std::int16_t code, const QString &text)
{
    if (boxOpen || lastShownCode == code || messageBox == nullptr)
        return;
    lastShownCode = code;
    boxOpen = true;
    messageBox->show(text, kTitle);
    boxOpen = false;
}

void succeeded() { lastShownCode.reset(); }

// A platform result as the callers see it: a 16-bit value.
std::int16_t code16(midi::MmResult result) { return static_cast<std::int16_t>(result); }

// Device ids and codes go to the platform widened with their sign: -1 is the mapper.
std::uint32_t widen(std::int16_t value) { return static_cast<std::uint32_t>(static_cast<std::int32_t>(value)); }

struct Field
{
    const char *name;
    int value;
    int low;
    int high;
};

// Nothing outside MIDI leaves the program: a message with a value out of range is
// not sent, and the user is told which value it was.
bool inRange(std::initializer_list<Field> fields)
{
    for (const Field &f : fields) {
        if (f.value < f.low || f.value > f.high) {
            showBox(code16(midi::result::InvalidParam),
                    QStringLiteral("MIDI 消息未发送：%1 %2 超出了 %3 至 %4 的范围。")
                        .arg(QString::fromUtf8(f.name))
                        .arg(f.value)
                        .arg(f.low)
                        .arg(f.high));
            return false;
        }
    }
    return true;
}

Field channelField(std::int16_t channel) { return {"通道", channel, 0, midi::kMaxChannel}; }

} // namespace

const midi::HMidiOut &hMidiOut = handle;

void setPlatform(midi::MidiPlatform *p) { platform = p; }

void setMessageBox(midi::ErrorBox *box)
{
    messageBox = box;
    boxOpen = false;
    lastShownCode.reset();
}

bool FillDeviceList(midi::DeviceList &list)
{
    list.clear();
    bool added = false;

    midi::DeviceCaps caps;
    if (platform->deviceCaps(midi::kMidiMapper, caps) == midi::result::NoError) {
        list.addItem(QString::fromStdU16String(midi::productName(caps)));
        list.setItemData(list.newIndex(), -1);
        added = true;
    }

    // Item values are 16-bit, so ids beyond 32767 cannot be listed.
    const std::uint32_t count = std::min<std::uint32_t>(platform->deviceCount(), 32768);
    for (std::uint32_t id = 0; id < count; ++id) {
        caps = {};
        if (platform->deviceCaps(id, caps) != midi::result::NoError)
            continue;
        list.addItem(QString::fromStdU16String(midi::productName(caps)));
        list.setItemData(list.newIndex(), static_cast<std::int16_t>(id));
        added = true;
    }
    return added;
}

bool OpenDevice(std::int16_t id)
{
    CloseDevice();
    // The user has chosen a device: whatever goes wrong now is news.
    succeeded();
    midi::HMidiOut opened = 0;
    const std::int16_t result = code16(platform->open(opened, widen(id), 0, 0, 0));
    handle = result == 0 ? opened : 0;
    if (result != 0)
        ShowMidiError(result);
    return handle != 0;
}

void CloseDevice()
{
    if (handle == 0)
        return;
    // The device may keep sounding whatever was left on; stop it first. The user is
    // told about the close, not about this.
    const std::uint32_t allNotesOff = midi::kControlChange | (midi::kAllNotesOff << 8);
    platform->send(handle, allNotesOff);

    const std::int16_t result = code16(platform->close(handle));
    handle = 0;
    succeeded();
    if (result != 0)
        ShowMidiError(result);
}

void SendShortMessage(std::int16_t status, std::int16_t data1, std::int16_t data2)
{
    if (!inRange({{"状态字节", status, midi::kMinStatus, midi::kMaxStatus},
                  {"第一个数据字节", data1, 0, midi::kMaxDataByte},
                  {"第二个数据字节", data2, 0, midi::kMaxDataByte}}))
        return;
    const std::uint32_t message = static_cast<std::uint32_t>(status) | static_cast<std::uint32_t>(data1) << 8
                                  | static_cast<std::uint32_t>(data2) << 16;
    const std::int16_t result = code16(platform->send(handle, message));
    if (result == 0)
        succeeded();
    else
        ShowMidiError(result);
}

void NoteOn(std::int16_t channel, std::int16_t note, std::int16_t velocity)
{
    if (inRange({channelField(channel), {"音符", note, 0, midi::kMaxDataByte},
                 {"力度", velocity, 0, midi::kMaxDataByte}}))
        SendShortMessage(midi::kNoteOn + channel, note, velocity);
}

void NoteOff(std::int16_t channel, std::int16_t note)
{
    if (inRange({channelField(channel), {"音符", note, 0, midi::kMaxDataByte}}))
        SendShortMessage(midi::kNoteOff + channel, note, 0);
}

void ControlChange(std::int16_t channel, std::int16_t controller, std::int16_t value)
{
    if (inRange({channelField(channel), {"控制器号", controller, 0, midi::kMaxDataByte},
                 {"控制值", value, 0, midi::kMaxDataByte}}))
        SendShortMessage(midi::kControlChange + channel, controller, value);
}

void ProgramChange(std::int16_t channel, std::int16_t bank, std::int16_t program)
{
    // Checked before the bank select, so a bad program sends neither message.
    if (!inRange({channelField(channel), {"音色库号", bank, 0, midi::kMaxDataByte},
                  {"音色号", program, 0, midi::kMaxDataByte}}))
        return;
    ControlChange(channel, midi::kBankSelect, bank);
    SendShortMessage(midi::kProgramChange + channel, program, 0);
}

void ShowMidiError(std::int16_t code)
{
    std::array<char16_t, midi::kMaxErrorLength> buffer;
    buffer.fill(u' ');
    platform->errorText(widen(code), buffer.data(), midi::kMaxErrorLength);
    const auto end = std::find(buffer.begin(), buffer.end(), u'\0');
    showBox(code, QString::fromUtf16(buffer.data(), end - buffer.begin()));
}

} // namespace MidiOut
