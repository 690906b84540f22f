#pragma once

// The meaning of one line of the song file.
//
// - After trimming spaces (U+0020 only) the exact, case-sensitive text "End" ends the
//   song; "end" or a tab before "End" make an ordinary line.
// - Otherwise the line's value v is the decimal number at its start, after spaces and
//   tabs: an optional sign, ASCII digits, an optional fraction (".5" and "12." count).
//   Whatever follows is not part of the number, so "1e3" is 1, "0x10" is 0 and "1 2"
//   is 1. A line that does not start with a number, the empty line included, has v = 0.
// - v is rounded to the nearest integer, halves to the even neighbour, on the digits
//   themselves, so "2.5000000000000001" rounds up where a double would round it down.
// - v must fit 16 bits (-32768..32767) after rounding; a larger number sends nothing.
// - v < 100 presses keys v + 7 and v + 31, which exist only for v in -7..33; any other
//   such v sends nothing. v >= 100 holds what sounds.

#include <QStringView>

namespace song {

enum class StepKind {
    End,   // end of the song
    Note,  // press lowKey(), then highKey()
    Hold,  // send nothing; the last note keeps sounding
    Skip,  // a value without keys: send nothing
};

struct Step
{
    StepKind kind = StepKind::Note;
    int value = 0;  // v for Note and Hold, and for Skip when v fits 16 bits; else 0

    int lowKey() const { return value + 7; }
    int highKey() const { return value + 31; }  // two octaves above lowKey()
};

inline constexpr int kMinNoteValue = -7;  // lowKey() 0, the leftmost key
inline constexpr int kMaxNoteValue = 33;  // highKey() 64, the rightmost key
inline constexpr int kHoldValue = 100;    // this and above hold

Step parseStep(QStringView line);

} // namespace song
