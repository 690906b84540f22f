#pragma once

// What the ALSA sequencer's announcements mean to the device list and the open outputs.

#include <alsa/asoundlib.h>

#include <optional>
#include <string>

namespace midi {

// True for an announcement that clients or ports came, went or changed, after which the
// sequencer's ports may list differently; false for anything else, connections included.
bool changesPorts(const snd_seq_event_t &event);

// True for an announcement that the port at `port` has gone, alone or with its client.
bool endsPort(const snd_seq_event_t &event, const snd_seq_addr_t &port);

// The sequencer address at the end of a port name as RtMidi lists it, "Client:Port 20:0";
// nothing for a name without one.
std::optional<snd_seq_addr_t> sequencerAddress(const std::string &portName);

} // namespace midi
