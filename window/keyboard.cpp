#include "keyboard.h"

#include "midiout.h"

#include <array>

namespace keyboard {

QString NoteName(std::int16_t n)
{
    static const std::array<const char *, 12> names = {"C", "C#", "D", "D#", "E", "F",
                                                       "F#", "G", "G#", "A", "A#", "B"};
    if (n < 0 || n >= 12)
        return {};
    return QString::fromLatin1(names[n]);
}

void Keyboard::Picture1_DragOver(std::int16_t index)
{
    if (index == lastKey_ && !released_)
        return;
    MidiOut::NoteOff(kChannel, sounding_.value_or(static_cast<std::int16_t>(baseNote_ + lastKey_)));
    const auto note = static_cast<std::int16_t>(baseNote_ + index);
    MidiOut::NoteOn(kChannel, note, velocity_);
    sounding_ = note;
    lastKey_ = index;
    released_ = false;
}

void Keyboard::Timer1_Timer(bool leftButtonDown) { released_ = !leftButtonDown; }

QString Keyboard::HScroll1_Change(std::int16_t value)
{
    baseNote_ = value;
    return NoteName(static_cast<std::int16_t>(baseNote_ % 12));
}

void Keyboard::HScroll2_Change(std::int16_t value) { velocity_ = value; }

void Keyboard::Label1_MouseMove()
{
    for (std::int16_t i = 0; i < kKeyCount; ++i)
        MidiOut::NoteOff(kChannel, static_cast<std::int16_t>(baseNote_ + i));
    // A note sounded under another transposition lies outside the 65 just stopped.
    if (sounding_ && (*sounding_ < baseNote_ || *sounding_ > baseNote_ + kKeyCount - 1))
        MidiOut::NoteOff(kChannel, *sounding_);
}

} // namespace keyboard
