#pragma once

#include "midiplatform.h"

#include <memory>

namespace midi {

// The platform the program runs on: the built-in synthesizer answers for the mapper
// id, the system's MIDI ports for ids 0..N-1.
std::unique_ptr<MidiPlatform> createSystemPlatform();

} // namespace midi
