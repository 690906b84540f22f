#pragma once

#include <cstdint>

namespace midi {

inline constexpr std::int16_t kNoteOff = 0x80;
inline constexpr std::int16_t kNoteOn = 0x90;
inline constexpr std::int16_t kControlChange = 0xB0;
inline constexpr std::int16_t kProgramChange = 0xC0;

inline constexpr std::int16_t kBankSelect = 0;      // controller 0
inline constexpr std::int16_t kAllNotesOff = 123;   // controller 123

inline constexpr std::int16_t kMinStatus = 0x80;
inline constexpr std::int16_t kMaxStatus = 0xFF;
inline constexpr std::int16_t kMaxDataByte = 127;
inline constexpr std::int16_t kMaxChannel = 15;

} // namespace midi
