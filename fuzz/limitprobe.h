#pragma once

// Inputs that reach the text reader's limits. A 64 KiB line or a 1 MiB file is far
// beyond what libFuzzer grows a small input to, so an input can ask for one:
//
//   0x1F 'L' d rest   a line of kMaxLineLength + d bytes 'x', then rest, which may go on
//                     with that line or end it (d is a signed byte, -128..127)
//   0x1F 'F' d rest   rest, then lines of 'x' filling the file to kMaxFileSize + 1 + d
//                     bytes (d is an unsigned byte, 0..255)
//
// A file at or just under the size limit is read in full, some 100 ms a run with the
// sanitizers, which would starve every other input; the unit tests hold that boundary,
// and the fuzzer only ever goes over it.
//
// No text file starts with 0x1F (the unit separator); any other input is used as it is.

#include "textfile.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>

namespace fuzz {

inline constexpr char kProbe = '\x1F';
inline constexpr char kLineProbe = 'L';
inline constexpr char kFileProbe = 'F';

inline QByteArray limitProbe(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (input.size() < 3 || input[0] != kProbe)
        return input;
    const QByteArray rest = input.sliced(3);
    if (input[1] == kLineProbe)
        return QByteArray(text::kMaxLineLength + static_cast<signed char>(input[2]), 'x') + rest;
    if (input[1] != kFileProbe)
        return input;

    // Lines far below the length limit, so only the size can refuse the file.
    const qsizetype total = text::kMaxFileSize + 1 + static_cast<unsigned char>(input[2]);
    const QByteArray line = QByteArray(1023, 'x') + '\n';
    QByteArray bytes = rest;
    bytes.reserve(total);
    while (bytes.size() + line.size() <= total)
        bytes += line;
    if (bytes.size() < total)
        bytes += QByteArray(total - bytes.size(), 'x');
    return bytes;
}

} // namespace fuzz
