#pragma once

// What the system's MIDI ports, ALSA and JACK alike, share: the client name they show
// to other programs, and a connection that stays dead once its port is lost.

#include "router/backend.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace midi {

// The name of the program's own client on the sequencer or the JACK server.
const std::string &portClientName();
inline constexpr char kOutputPortName[] = "out";

Failure portGone(const std::string &port);

// A system MIDI port as the device list shows it: named as the system names it, with
// the version of the library that reaches it.
Port systemPort(std::string name, std::uint32_t driverVersion);

// A library's version the way the capabilities pack a driver version: major in the high byte.
std::uint32_t packedVersion(int major, int minor);

class PortOutput : public Output
{
public:
    // Writes the status and the data bytes it takes unless the port has been lost: a lost
    // port stays lost, as the handle names a connection that no longer exists; the user
    // opens the port again.
    std::optional<Failure> send(ShortMessage message) final { return sendAt(message, 0); }
    std::optional<Failure> sendAt(ShortMessage message, std::int64_t dueNs) final;

protected:
    // A failure once the system has said that the port can no longer be reached. Called for
    // every message, so it reads what the system's news left and looks nothing up.
    virtual std::optional<Failure> heardOfLoss() = 0;
    // Writes the message for `dueNs` on the steady clock, or as soon as possible when 0
    // or where the port cannot place messages in time.
    virtual std::optional<Failure> write(const std::uint8_t *bytes, std::size_t size, std::int64_t dueNs) = 0;

private:
    std::optional<Failure> lost_;
};

} // namespace midi
