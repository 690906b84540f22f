#include "keyboard.h"

#include "midi/midiout.h"

#include <array>

namespace keyboard {

QString noteName(std::int16_t n)
{
    static const std::array<const char *, 12> names = {"C", "C#", "D", "D#", "E", "F",
                                                       "F#", "G", "G#", "A", "A#", "B"};
    if (n < 0 || n >= 12)
        return {};
    return QString::fromLatin1(names[n]);
}

Keyboard::Keyboard(midi::MidiOut &midi)
    : midi_(midi)
{
}

void Keyboard::glideOnto(std::int16_t key)
{
    if (key == lastKey_ && !released_)
        return;
    midi_.noteOff(kChannel, sounding_.value_or(noteOf(lastKey_)));
    const std::int16_t note = noteOf(key);
    midi_.noteOn(kChannel, note, velocity_);
    sounding_ = note;
    lastKey_ = key;
    released_ = false;
}

void Keyboard::pollButton(bool down) { released_ = !down; }

QString Keyboard::setTransposition(std::int16_t value)
{
    baseNote_ = value;
    return noteName(static_cast<std::int16_t>(baseNote_ % 12));
}

void Keyboard::setVelocity(std::int16_t value) { velocity_ = value; }

void Keyboard::silence()
{
    for (std::int16_t key = 0; key < kKeyCount; ++key)
        midi_.noteOff(kChannel, noteOf(key));
    // A note sounded under another transposition lies outside the 65 just stopped.
    if (sounding_ && (*sounding_ < noteOf(0) || *sounding_ > noteOf(kKeyCount - 1)))
        midi_.noteOff(kChannel, *sounding_);
}

} // namespace keyboard
