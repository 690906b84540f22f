#include "midi/midiout.h"

#include "midi/midiconstants.h"
#include "midi/shortmessage.h"

#include <algorithm>
#include <array>
#include <initializer_list>

namespace midi {

namespace {

// A platform result as the callers see it: a 16-bit value.
std::int16_t code16(MmResult result) { return static_cast<std::int16_t>(result); }

// Device ids and codes go to the platform widened with their sign: -1 is the mapper.
std::uint32_t widen(std::int16_t value) { return static_cast<std::uint32_t>(static_cast<std::int32_t>(value)); }

struct Field
{
    const char *name;
    int value;
    int low;
    int high;
};

Field channelField(std::int16_t channel) { return {"通道", channel, 0, kMaxChannel}; }

// Nothing outside MIDI leaves the program: a message with a value out of range is not
// sent, and the user is told which value it was.
std::optional<QString> outOfRange(std::initializer_list<Field> fields)
{
    for (const Field &f : fields) {
        if (f.value < f.low || f.value > f.high)
            return QStringLiteral("MIDI 消息未发送：%1 %2 超出了 %3 至 %4 的范围。")
                .arg(QString::fromUtf8(f.name))
                .arg(f.value)
                .arg(f.low)
                .arg(f.high);
    }
    return std::nullopt;
}

} // namespace

MidiOut::MidiOut(MidiPlatform &platform)
    : platform_(platform)
{
}

MidiOut::~MidiOut()
{
    box_ = nullptr;
    closeDevice();
}

void MidiOut::setErrorBox(ErrorBox *box)
{
    box_ = box;
    boxOpen_ = false;
    lastShownCode_.reset();
}

// A box per failed call would bury the user: two per key press with no device, 65 per
// movement over the mute pad, and since timers and input run on while a modal box is
// open, boxes would nest under a playing song. So at most one box is open at a time,
// and a code already shown stays quiet until MIDI works again or the user picks a device.
void MidiOut::showBox(std::int16_t code, const QString &text)
{
    if (boxOpen_ || lastShownCode_ == code || box_ == nullptr)
        return;
    lastShownCode_ = code;
    boxOpen_ = true;
    box_->show(text);
    boxOpen_ = false;
}

void MidiOut::succeeded() { lastShownCode_.reset(); }

bool MidiOut::accepted(const std::optional<QString> &complaint)
{
    if (complaint)
        showBox(code16(result::InvalidParam), *complaint);
    return !complaint;
}

bool MidiOut::fillDeviceList(DeviceList &list)
{
    list.clear();
    bool added = false;

    DeviceCaps caps;
    if (platform_.deviceCaps(kMidiMapper, caps) == result::NoError) {
        list.addItem(QString::fromStdU16String(productName(caps)));
        list.setItemData(list.newIndex(), -1);
        added = true;
    }

    // Item values are 16-bit, so ids beyond 32767 cannot be listed.
    const std::uint32_t count = std::min<std::uint32_t>(platform_.deviceCount(), 32768);
    for (std::uint32_t id = 0; id < count; ++id) {
        caps = {};
        if (platform_.deviceCaps(id, caps) != result::NoError)
            continue;
        list.addItem(QString::fromStdU16String(productName(caps)));
        list.setItemData(list.newIndex(), static_cast<std::int16_t>(id));
        added = true;
    }
    return added;
}

bool MidiOut::openDevice(std::int16_t id)
{
    closeDevice();
    // The user has chosen a device: whatever goes wrong now is news.
    succeeded();
    HMidiOut opened = 0;
    const std::int16_t result = code16(platform_.open(opened, widen(id), 0, 0, 0));
    handle_ = result == 0 ? opened : 0;
    if (result != 0)
        showError(result);
    return handle_ != 0;
}

void MidiOut::closeDevice()
{
    if (handle_ == 0)
        return;
    // The device may keep sounding whatever was left on; stop it first. The user is
    // told about the close, not about this.
    platform_.send(handle_, pack(kControlChange, kAllNotesOff));

    const std::int16_t result = code16(platform_.close(handle_));
    handle_ = 0;
    succeeded();
    if (result != 0)
        showError(result);
}

void MidiOut::sendShortMessage(std::int16_t status, std::int16_t data1, std::int16_t data2)
{
    if (!accepted(outOfRange({{"状态字节", status, kMinStatus, kMaxStatus},
                  {"第一个数据字节", data1, 0, kMaxDataByte},
                  {"第二个数据字节", data2, 0, kMaxDataByte}})))
        return;
    // Above, the arguments, each named to the user; whether the bytes make a message that
    // may be sent is the platform's answer, the same for every caller (midi/shortmessage.h).
    const std::uint32_t message = pack(std::uint8_t(status), std::uint8_t(data1), std::uint8_t(data2));
    const std::int16_t result =
        code16(dueNs_ == 0 ? platform_.send(handle_, message) : platform_.sendAt(handle_, message, dueNs_));
    if (result == 0)
        succeeded();
    else
        showError(result);
}

void MidiOut::noteOn(std::int16_t channel, std::int16_t note, std::int16_t velocity)
{
    if (accepted(outOfRange(
            {channelField(channel), {"音符", note, 0, kMaxDataByte}, {"力度", velocity, 0, kMaxDataByte}})))
        sendShortMessage(kNoteOn + channel, note, velocity);
}

void MidiOut::noteOff(std::int16_t channel, std::int16_t note)
{
    if (accepted(outOfRange({channelField(channel), {"音符", note, 0, kMaxDataByte}})))
        sendShortMessage(kNoteOff + channel, note, 0);
}

void MidiOut::controlChange(std::int16_t channel, std::int16_t controller, std::int16_t value)
{
    if (accepted(outOfRange({channelField(channel), {"控制器号", controller, 0, kMaxDataByte},
                             {"控制值", value, 0, kMaxDataByte}})))
        sendShortMessage(kControlChange + channel, controller, value);
}

void MidiOut::programChange(std::int16_t channel, std::int16_t bank, std::int16_t program)
{
    // Checked before the bank select, so a bad program sends neither message.
    if (!accepted(outOfRange(
            {channelField(channel), {"音色库号", bank, 0, kMaxDataByte}, {"音色号", program, 0, kMaxDataByte}})))
        return;
    controlChange(channel, kBankSelect, bank);
    sendShortMessage(kProgramChange + channel, program, 0);
}

void MidiOut::showError(std::int16_t code)
{
    std::array<char16_t, kMaxErrorLength> buffer;
    buffer.fill(u' ');
    platform_.errorText(widen(code), buffer.data(), kMaxErrorLength);
    const auto end = std::find(buffer.begin(), buffer.end(), u'\0');
    showBox(code, QString::fromUtf16(buffer.data(), end - buffer.begin()));
}

} // namespace midi
