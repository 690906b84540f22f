#include "instruments.h"

#include "dropdownlist.h"
#include "textfile.h"

#include <QDir>

void LoadInstruments(DropDownList &ComSounds, const QString &directory, midi::ErrorBox &box)
{
    const text::ReadResult file = text::readFile(QDir(directory).filePath(kInstrumentFile));
    if (!file.ok) {
        box.show(file.error, MidiOut::kTitle);
        return;
    }
    ComSounds.addItems(file.lines);
    if (ComSounds.count() > 0)
        ComSounds.setListIndex(0);
}
