#pragma once

// A short MIDI message, and the one rule of what may be sent as one.
//
// The platform's send() takes a message packed into 32 bits, as the Windows call it stands
// for does: the status byte in bits 0-7, the data bytes in bits 8-15 and 16-23; bits 24-31
// carry nothing. A value is a short message when its status byte can travel as one and
// each data byte that status takes is below 0x80; a byte the status does not take is not
// sent, and carries nothing either. Every platform that ends in devices checks a value by
// ShortMessage::unpack before anything else sees it, and what lies beneath takes only a
// ShortMessage, so the same value gets the same answer from every output.

#include "midi/midiconstants.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace midi {

// The data bytes that follow `status`; -1 where the status cannot travel as a short
// message: a data byte in its place (running status), system exclusive, which needs a
// long message, and the system statuses MIDI leaves undefined.
constexpr int dataLength(std::uint8_t status)
{
    if (status < kMinStatus)
        return -1;
    switch (status & 0xF0) {
    case kProgramChange:
    case kChannelPressure:
        return 1;
    case kSystemExclusive:
        break;
    default:
        return 2;
    }
    switch (status) {
    case kTimeCodeQuarterFrame:
    case kSongSelect:
        return 1;
    case kSongPosition:
        return 2;
    case kSystemExclusive:
    case kUndefinedF4:
    case kUndefinedF5:
    case kEndOfExclusive:
    case kUndefinedF9:
    case kUndefinedFD:
        return -1;
    default:
        return 0;
    }
}

constexpr std::uint32_t pack(std::uint8_t status, std::uint8_t data1 = 0, std::uint8_t data2 = 0)
{
    return std::uint32_t(status) | std::uint32_t(data1) << 8 | std::uint32_t(data2) << 16;
}

class ShortMessage
{
public:
    // What keeps a value from being a short message, and the byte at fault.
    struct Fault
    {
        enum Kind { Status, DataByte } kind;
        std::uint8_t byte;
    };

    // The message `packed` holds; nothing, with `fault` set where given, when it holds none.
    static constexpr std::optional<ShortMessage> unpack(std::uint32_t packed, Fault *fault = nullptr)
    {
        const std::array<std::uint8_t, 3> bytes = {std::uint8_t(packed), std::uint8_t(packed >> 8),
                                                   std::uint8_t(packed >> 16)};
        const int length = dataLength(bytes[0]);
        if (length < 0)
            return refuse({Fault::Status, bytes[0]}, fault);
        for (int i = 1; i <= length; ++i) {
            if (bytes[std::size_t(i)] > kMaxDataByte)
                return refuse({Fault::DataByte, bytes[std::size_t(i)]}, fault);
        }
        return ShortMessage(bytes, length);
    }

    constexpr std::uint8_t status() const { return bytes_[0]; }
    constexpr bool isChannelMessage() const { return status() < kSystemExclusive; }
    // A channel message's kind (kNoteOn, ...) and channel.
    constexpr std::uint8_t kind() const { return status() & 0xF0; }
    constexpr int channel() const { return status() & 0x0F; }
    // Zero where the status takes no such byte.
    constexpr std::uint8_t data1() const { return bytes_[1]; }
    constexpr std::uint8_t data2() const { return bytes_[2]; }

    // The bytes as they go on the wire: the status and the data bytes it takes.
    constexpr const std::uint8_t *bytes() const { return bytes_.data(); }
    constexpr std::size_t size() const { return size_; }
    // Packed again: bits 24-31 and the bytes the status does not take are zero.
    constexpr std::uint32_t packed() const { return pack(bytes_[0], bytes_[1], bytes_[2]); }

    // A note-on of velocity 0 is a note-off.
    constexpr bool startsNote() const { return kind() == kNoteOn && data2() > 0; }

    friend constexpr bool operator==(const ShortMessage &, const ShortMessage &) = default;

private:
    constexpr ShortMessage(std::array<std::uint8_t, 3> bytes, int length) : size_(std::uint8_t(1 + length))
    {
        for (int i = 0; i <= length; ++i)
            bytes_[std::size_t(i)] = bytes[std::size_t(i)];
    }

    static constexpr std::optional<ShortMessage> refuse(Fault why, Fault *fault)
    {
        if (fault != nullptr)
            *fault = why;
        return std::nullopt;
    }

    std::array<std::uint8_t, 3> bytes_{};
    std::uint8_t size_ = 1;
};

} // namespace midi
