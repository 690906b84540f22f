#include "ports/portoutput.h"

#include <unistd.h>

namespace midi {

namespace {

// Data bytes after each status byte; -1 where a status cannot travel as a short
// message (running status, SysEx, the undefined system bytes).
int dataLength(std::uint8_t status)
{
    if (status < 0x80)
        return -1;
    switch (status & 0xF0) {
    case 0xC0:
    case 0xD0:
        return 1;
    case 0xF0:
        break;
    default:
        return 2;
    }
    switch (status) {
    case 0xF1: // MTC quarter frame
    case 0xF3: // song select
        return 1;
    case 0xF2: // song position
        return 2;
    case 0xF0:
    case 0xF4:
    case 0xF5:
    case 0xF7:
    case 0xF9:
    case 0xFD:
        return -1;
    default:
        return 0;
    }
}

QString hexByte(std::uint8_t byte) { return QStringLiteral("%1").arg(unsigned(byte), 2, 16, QLatin1Char('0')); }

} // namespace

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

std::optional<Failure> PortOutput::sendAt(std::uint32_t message, std::int64_t dueNs)
{
    const auto status = static_cast<std::uint8_t>(message & 0xFF);
    const int length = dataLength(status);
    if (length < 0)
        return Failure{result::InvalidParam, QStringLiteral("状态字节 0x%1 不能作为短消息发送。").arg(hexByte(status))};
    const std::uint8_t bytes[3] = {status, static_cast<std::uint8_t>(message >> 8 & 0xFF),
                                   static_cast<std::uint8_t>(message >> 16 & 0xFF)};
    for (int i = 1; i <= length; ++i) {
        if (bytes[i] > 0x7F)
            return Failure{result::InvalidParam,
                           QStringLiteral("数据字节 0x%1 超出了 0 到 0x7F 的范围。").arg(hexByte(bytes[i]))};
    }
    if (!lost_)
        lost_ = check();
    if (lost_)
        return lost_;
    return write(bytes, static_cast<std::size_t>(1 + length), dueNs);
}

} // namespace midi
