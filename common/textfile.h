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

// Splits and decodes bytes already in memory. Lines end at CR LF, LF or CR. UTF-8
// with or without a byte-order mark; bytes that are not valid UTF-8 as a whole are
// read as GBK (code page 936). Undecodable bytes and NULs become U+FFFD.
ReadResult decodeLines(const QByteArray &bytes, const QString &fileName);
// Reads at most the size limit from `device` and decodes it; larger input is refused.
ReadResult readLines(QIODevice &device, const QString &fileName);
// Opens, reads and closes the file at `path`.
ReadResult readFile(const QString &path);

// The directory holding the program, where its data files live.
QString programDirectory();

} // namespace text
