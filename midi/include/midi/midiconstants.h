#pragma once

// The numbers of the MIDI 1.0 protocol the program uses, in one place.

#include <cstdint>

namespace midi {

// Channel messages: the status byte's upper half, the channel in its lower half.
inline constexpr std::uint8_t kNoteOff = 0x80;
inline constexpr std::uint8_t kNoteOn = 0x90;
inline constexpr std::uint8_t kKeyPressure = 0xA0;
inline constexpr std::uint8_t kControlChange = 0xB0;
inline constexpr std::uint8_t kProgramChange = 0xC0;
inline constexpr std::uint8_t kChannelPressure = 0xD0;
inline constexpr std::uint8_t kPitchBend = 0xE0;

// System messages: the whole status byte.
inline constexpr std::uint8_t kSystemExclusive = 0xF0;
inline constexpr std::uint8_t kTimeCodeQuarterFrame = 0xF1;
inline constexpr std::uint8_t kSongPosition = 0xF2;
inline constexpr std::uint8_t kSongSelect = 0xF3;
inline constexpr std::uint8_t kUndefinedF4 = 0xF4;
inline constexpr std::uint8_t kUndefinedF5 = 0xF5;
inline constexpr std::uint8_t kEndOfExclusive = 0xF7;
inline constexpr std::uint8_t kUndefinedF9 = 0xF9;
inline constexpr std::uint8_t kUndefinedFD = 0xFD;
inline constexpr std::uint8_t kSystemReset = 0xFF;

// Controller numbers.
inline constexpr std::uint8_t kBankSelect = 0;
inline constexpr std::uint8_t kBankSelectLsb = 32;
inline constexpr std::uint8_t kAllSoundOff = 120;
inline constexpr std::uint8_t kAllNotesOff = 123;

inline constexpr std::uint8_t kMinStatus = 0x80;
inline constexpr std::uint8_t kMaxStatus = 0xFF;
inline constexpr std::uint8_t kMaxDataByte = 0x7F;
inline constexpr std::uint8_t kMaxChannel = 15;
inline constexpr int kChannels = 16;
inline constexpr int kKeys = 128;

} // namespace midi
