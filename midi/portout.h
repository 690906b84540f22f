#pragma once

// The system's MIDI output ports, device ids 0..N-1: the writable ports of the ALSA
// sequencer when there is one, then the MIDI inputs of the other clients of a running
// JACK server, both as RtMidi lists them. ALSA ports are played through RtMidi, JACK
// ports through a libjack client of the program's own. This layer keeps the ids
// stable, turns every failure into a result code with a reason, and notices ports
// that go away.

#include "midiplatform.h"

#include <memory>

namespace midi {

class PortOut final : public MidiPlatform
{
public:
    // Sets JACK_NO_START_SERVER for the whole process and silences libjack: no JACK
    // client of this program may start a server, and the program logs nothing.
    PortOut();
    ~PortOut() override;

    PortOut(const PortOut &) = delete;
    PortOut &operator=(const PortOut &) = delete;

    // Lists the ports again and keeps their names: ids given to deviceCaps and
    // open name the ports of the latest list, even after ports come and go.
    std::uint32_t deviceCount() override;
    MmResult deviceCaps(std::uint32_t deviceId, DeviceCaps &caps) override;
    MmResult open(HMidiOut &handle, std::uint32_t deviceId, std::uintptr_t callback,
                  std::uintptr_t instance, std::uint32_t flags) override;
    MmResult close(HMidiOut handle) override;
    MmResult send(HMidiOut handle, std::uint32_t message) override;
    MmResult errorText(MmResult code, char16_t *text, std::uint32_t chars) override;

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace midi
