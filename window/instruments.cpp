#include "instruments.h"

#include "dropdownlist.h"
#include "keyboard.h"
#include "midi/midiout.h"
#include "textfile.h"

#include <QDir>

#include <algorithm>

void loadInstruments(DropDownList &list, const QString &directory, midi::ErrorBox &box)
{
    const text::ReadResult file = text::readFile(QDir(directory).filePath(kInstrumentFile));
    if (!file.ok) {
        box.show(file.error);
        return;
    }
    list.addItems(file.lines);
    if (list.count() > 0)
        list.setListIndex(0);
}

void sendInstrument(midi::MidiOut &midi, int entry)
{
    // Entries past 32767 cannot be numbered in 16 bits; they are out of MIDI's range anyway.
    midi.programChange(keyboard::kChannel, 0, static_cast<std::int16_t>(std::min(entry, 32767)));
}
