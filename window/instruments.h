#pragma once

#include <QString>

class DropDownList;
namespace midi { class ErrorBox; }

inline const QString kInstrumentFile = QStringLiteral("genmidi.txt");

// Fills the instrument list from the names file in `directory`, one entry per line,
// and selects entry 0, which sends it. A file that cannot be read is reported in one
// box and leaves the list empty.
void LoadInstruments(DropDownList &ComSounds, const QString &directory, midi::ErrorBox &box);
