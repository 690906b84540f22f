#include "ports/portoutput.h"

#include <unistd.h>

namespace midi {

const std::string &portClientName()
{
    // Unique per process: while a JACK client connects, the server calls it back through a
    // file named after the client alone, so two programs on the machine opening clients of
    // one name at the same moment break each other, even on different servers.
    static const std::string name = "Tirrel-" + std::to_string(::getpid());
    return name;
}

Port systemPort(std::string name, std::uint32_t driverVersion)
{
    Port port{std::move(name), {}};
    setProductName(port.caps, QString::fromStdString(port.name).toStdU16String());
    port.caps.driverVersion = driverVersion;
    port.caps.technology = kModMidiPort;
    port.caps.channelMask = 0xFFFF;  // all channels
    return port;
}

std::uint32_t packedVersion(int major, int minor)
{
    return static_cast<std::uint32_t>((major & 0xFF) << 8 | (minor & 0xFF));
}

Failure portGone(const std::string &port)
{
    return {result::MidiNoDevice, QStringLiteral("MIDI 端口“%1”已不存在。").arg(QString::fromStdString(port))};
}

std::optional<Failure> PortOutput::sendAt(ShortMessage message, std::int64_t dueNs)
{
    if (!lost_)
        lost_ = heardOfLoss();
    if (lost_)
        return lost_;
    return write(message.bytes(), message.size(), dueNs);
}

} // namespace midi
