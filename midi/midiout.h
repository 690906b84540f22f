#pragma once

// The program's one connection to a MIDI output device: the device list, opening
// and closing, channel messages, and error boxes. Free functions sharing one handle,
// written against the MidiPlatform calls and two small services the window provides.

#include "midiplatform.h"

#include <QString>
#include <cstdint>

namespace midi {

// The drop-down list that FillDeviceList fills.
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

// A modal box with one OK button; returns when the user dismisses it.
class ErrorBox
{
public:
    virtual ~ErrorBox() = default;
    virtual void show(const QString &text, const QString &caption) = 0;
};

} // namespace midi

namespace MidiOut {

inline const QString kTitle = QStringLiteral("Tirrel");

// The handle of the open device, 0 when none is open. Only OpenDevice and CloseDevice change it.
extern const midi::HMidiOut &hMidiOut;

// Wiring, done once at start-up (and by tests). Neither is owned.
void setPlatform(midi::MidiPlatform *platform);
void setMessageBox(midi::ErrorBox *box);

bool FillDeviceList(midi::DeviceList &list);
bool OpenDevice(std::int16_t id);
void CloseDevice();

void SendShortMessage(std::int16_t status, std::int16_t data1, std::int16_t data2);
void NoteOn(std::int16_t channel, std::int16_t note, std::int16_t velocity);
void NoteOff(std::int16_t channel, std::int16_t note);
void ControlChange(std::int16_t channel, std::int16_t controller, std::int16_t value);
void ProgramChange(std::int16_t channel, std::int16_t bank, std::int16_t program);

void ShowMidiError(std::int16_t code);

} // namespace MidiOut
