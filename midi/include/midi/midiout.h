#pragma once

// A connection to one MIDI output device at a time: the device list, opening and
// closing, channel messages, and error boxes. Written against the MidiPlatform calls
// and two small services the window provides.

#include "midi/midiplatform.h"

#include <QString>
#include <cstdint>
#include <optional>

namespace midi {

// The drop-down list that fillDeviceList fills.
class DeviceList
{
public:
    virtual ~DeviceList() = default;
    virtual void clear() = 0;
    virtual void addItem(const QString &text) = 0;
    virtual int newIndex() const = 0;  // index of the entry added last
    virtual void setItemData(int index, std::int16_t value) = 0;
    virtual std::int16_t itemData(int index) const = 0;
};

// A modal box with one OK button; returns when the user dismisses it. Its caption is
// the window's business.
class ErrorBox
{
public:
    virtual ~ErrorBox() = default;
    virtual void show(const QString &text) = 0;
};

class MidiOut
{
public:
    // The platform must outlive the connection.
    explicit MidiOut(MidiPlatform &platform);
    // Silences and closes the open device, without a box: nobody is left to answer one.
    ~MidiOut();

    MidiOut(const MidiOut &) = delete;
    MidiOut &operator=(const MidiOut &) = delete;

    // Where errors are shown; none shows nothing. Not owned. Setting it forgets the last
    // error shown, so the next failure is news again.
    void setErrorBox(ErrorBox *box);

    bool fillDeviceList(DeviceList &list);
    // The platform's news of devices that come and go, for filling the list again.
    void watchDevices(std::function<void()> changed) { platform_.watchDevices(std::move(changed)); }
    void lookForDevices() { platform_.lookForDevices(); }
    bool openDevice(std::int16_t id);
    void closeDevice();

    void sendShortMessage(std::int16_t status, std::int16_t data1, std::int16_t data2);
    void noteOn(std::int16_t channel, std::int16_t note, std::int16_t velocity);
    void noteOff(std::int16_t channel, std::int16_t note);
    void controlChange(std::int16_t channel, std::int16_t controller, std::int16_t value);
    void programChange(std::int16_t channel, std::int16_t bank, std::int16_t program);

    void showError(std::int16_t code);

    // Messages sent from now on are due at `dueNs` on the steady clock, and the device
    // places them at that time where it can; 0, as at start, sends them as soon as
    // possible. For what is known ahead, a song's steps: whatever is played live stays
    // as soon as possible.
    void setDueTime(std::int64_t dueNs) { dueNs_ = dueNs; }
    // How long before their due time messages must be sent to be placed in time.
    std::int64_t leadNs() { return handle_ == 0 ? 0 : platform_.leadNs(handle_); }

    // The handle of the open device, 0 when none is open.
    HMidiOut handle() const { return handle_; }

private:
    // False, with a box, for a message that a complaint about its values stops.
    bool accepted(const std::optional<QString> &complaint);
    void showBox(std::int16_t code, const QString &text);
    void succeeded();

    MidiPlatform &platform_;
    ErrorBox *box_ = nullptr;
    HMidiOut handle_ = 0;
    bool boxOpen_ = false;
    std::optional<std::int16_t> lastShownCode_;
    std::int64_t dueNs_ = 0;
};

} // namespace midi
