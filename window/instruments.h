#pragma once

#include <QString>

class DropDownList;
namespace midi {
class ErrorBox;
class MidiOut;
}

inline const QString kInstrumentFile = QStringLiteral("genmidi.txt");

// Fills the instrument list from the names file in `directory`, one entry per line,
// and selects entry 0, which runs the list's click handler. A file that cannot be read
// is reported in one box and leaves the list empty.
void loadInstruments(DropDownList &list, const QString &directory, midi::ErrorBox &box);

// Sends entry `entry` of the instrument list as the keyboard channel's program, bank 0.
void sendInstrument(midi::MidiOut &midi, int entry);
