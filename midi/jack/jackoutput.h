#pragma once

#include "ports/portoutput.h"

#include <memory>
#include <string>

namespace midi {

// Connects a JACK client of the program's own to the MIDI input `port`; null, with
// `failure` set, when that cannot be done.
std::unique_ptr<Output> openJackOutput(const std::string &port, Failure &failure);

} // namespace midi
