#pragma once

// The keyboard's state and actions: which key sounded last, the transposition, the
// velocity, and the retrigger flag that the button poll keeps. Widgets call in;
// the notes go out through the MIDI connection.

#include <QString>
#include <cstdint>
#include <optional>

namespace midi { class MidiOut; }

namespace keyboard {

inline constexpr std::int16_t kKeyCount = 65;
inline constexpr std::int16_t kMaxBaseNote = 63;  // 63 + 64 is note 127, the top of MIDI
inline constexpr std::int16_t kMaxVelocity = 127;
inline constexpr std::int16_t kStartBaseNote = 36;
inline constexpr std::int16_t kStartVelocity = 127;
inline constexpr std::int16_t kChannel = 0;

// The name of pitch class n (0 = C), or empty outside 0..11.
QString noteName(std::int16_t n);

class Keyboard
{
public:
    explicit Keyboard(midi::MidiOut &midi);

    // The pointer reached key `key` with the button held, or a song step pressed it: the
    // note last sounded stops and this key's sounds, unless it is the key last sounded
    // and the button has been held since.
    void glideOnto(std::int16_t key);
    // The 100 ms poll of the left mouse button.
    void pollButton(bool down);
    // Sets the base note of key 0 and returns the name to show for it.
    QString setTransposition(std::int16_t value);
    void setVelocity(std::int16_t value);
    // The mute pad: note-off for the 65 notes the keyboard covers, and for the note that
    // sounded last if it lies outside them.
    void silence();
    // Lets the next key reached strike anew, as a song step does.
    void release() { released_ = true; }

    // The note key `key` sounds at the present transposition.
    std::int16_t noteOf(std::int16_t key) const { return static_cast<std::int16_t>(baseNote_ + key); }

    std::int16_t baseNote() const { return baseNote_; }
    std::int16_t velocity() const { return velocity_; }
    std::int16_t lastKey() const { return lastKey_; }
    bool released() const { return released_; }

private:
    midi::MidiOut &midi_;
    std::int16_t baseNote_ = 0;
    std::int16_t velocity_ = 0;
    bool released_ = false;
    std::int16_t lastKey_ = 0;
    // The note the last note-on sounded. Its note-off must reach that note even after
    // the transposition has moved on, or it would ring until something happened to cover it.
    std::optional<std::int16_t> sounding_;
};

} // namespace keyboard
