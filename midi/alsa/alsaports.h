#pragma once

// What the ALSA sequencer's announcements mean to the device list.

#include <alsa/asoundlib.h>

namespace midi {

// True for an announcement that clients or ports came, went or changed, after which the
// sequencer's ports may list differently; false for anything else, connections included.
bool changesPorts(const snd_seq_event_t &event);

} // namespace midi
