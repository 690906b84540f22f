#pragma once

// The MIDI outputs of the system the program runs on, for main().

#include "midi/midiplatform.h"

#include <memory>

namespace midi {

// The platform made of the backends this build has, registered in one table: the
// built-in synthesizer answers for the mapper id, the system's MIDI ports are numbered
// 0..N-1 in the table's order and, within a backend, in the system's.
std::unique_ptr<MidiPlatform> createSystemPlatform();

// The process-wide settings the backends' libraries need: made once, at the start of
// main, before any of their threads starts and before anything reads the environment.
void prepareProcess();

} // namespace midi
