#pragma once

// Line-by-line input of the program's small text files (the instrument names and
// the demo song), which may have been written on any system.

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QStringList>

namespace text {

inline constexpr qint64 kMaxFileSize = 1 << 20;     // 1 MiB
inline constexpr qsizetype kMaxLineLength = 64 << 10; // 64 KiB

struct ReadResult
{
    bool ok = false;
    QStringList lines;  // without line ends; a final line end adds no line
    QString error;      // one plain sentence naming the file and the system's reason, when !ok
};

// Splits and decodes bytes already in memory. Lines end at CR LF, LF or CR and are
// kept as they are, blanks and empty lines included. UTF-8 with or without a byte-order
// mark; bytes that are not valid UTF-8 as a whole are read as GBK (code page 936), as
// files saved on a Chinese Windows system are. Each byte that starts no character, and
// each NUL, becomes U+FFFD. More than kMaxFileSize bytes, or a line of more than
// kMaxLineLength bytes, is refused.
ReadResult decodeLines(const QByteArray &bytes, const QString &fileName);
// Reads from `device` until its end, but never more than kMaxFileSize + 1 bytes, so an
// endless or huge input is refused without being held in memory.
ReadResult readLines(QIODevice &device, const QString &fileName);
// Opens, reads and closes the file at `path`. Anything but a regular file is refused
// unopened, since a FIFO would block the open and a device may never end.
ReadResult readFile(const QString &path);

// The directory holding the program, where its data files live.
QString programDirectory();

} // namespace text
