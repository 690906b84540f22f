#pragma once

#include "ports/portoutput.h"

#include <jack/types.h>

#include <memory>
#include <string>

namespace midi {

// jack_client_open without starting a server; null when there is none or it refused the client.
jack_client_t *openJackClient(const std::string &name);

// Connects a JACK client of the program's own to the MIDI input `port`; null, with
// `failure` set, when that cannot be done.
std::unique_ptr<Output> openJackOutput(const std::string &port, Failure &failure);

} // namespace midi
