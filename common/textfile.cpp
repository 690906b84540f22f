#include "textfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QSysInfo>

#include <optional>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <cstring>
#include <iconv.h>
#endif

namespace text {

namespace {

constexpr QByteArrayView kUtf8Bom = "\xEF\xBB\xBF";
constexpr char16_t kReplacement = QChar::ReplacementCharacter;

QString failure(const QString &fileName, const QString &reason)
{
    return QStringLiteral("无法读取文件 %1：%2。").arg(QDir::toNativeSeparators(fileName), reason);
}

QString tooLargeReason()
{
    return QStringLiteral("文件大于 %1 KiB 的上限").arg(kMaxFileSize / 1024);
}

// Line ends are the bytes CR and LF in both encodings read here (GBK trail bytes are
// 0x40..0xFE), so lines can be measured before decoding. Returns the 1-based number of
// the first line longer than the limit, or 0.
qsizetype firstOverlongLine(QByteArrayView bytes)
{
    qsizetype line = 1;
    qsizetype length = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
            ++line;
            length = 0;
        } else if (++length > kMaxLineLength) {
            return line;
        }
    }
    return 0;
}

// Empty when `bytes` is not valid UTF-8 as a whole.
std::optional<QString> strictUtf8(QByteArrayView bytes)
{
    // Stateless: a sequence cut off at the end counts as an error, not as pending input.
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    QString decoded = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return decoded;
}

QString lenientUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

#ifdef Q_OS_WIN

// GBK as Windows has it, code page 936, one U+FFFD for each byte that starts no character,
// as the Linux converter below gives. MultiByteToWideChar cannot be handed the whole text:
// without MB_ERR_INVALID_CHARS it puts its own default character, not U+FFFD, for a pair it
// cannot map, and takes the byte after a lead byte with it even when that is a digit or a
// line end; with the flag it refuses the whole text and says nowhere where. So the bytes are
// cut into characters here by GBK's shape (a byte below 0x80, or the euro sign 0x80, or a
// lead byte 0x81..0xFE with a trail byte 0x40..0xFE other than 0x7F), each is converted
// strictly, and what does not convert costs its first byte.
QString gbk(QByteArrayView bytes)
{
    constexpr UINT kGbk = 936;
    const auto isLead = [](unsigned char c) { return c >= 0x81 && c <= 0xFE; };
    const auto isTrail = [](unsigned char c) { return c >= 0x40 && c <= 0xFE && c != 0x7F; };

    QString decoded;
    decoded.reserve(bytes.size());
    qsizetype i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            decoded += QChar(c);
            ++i;
            continue;
        }
        const int length = isLead(c) && i + 1 < bytes.size() && isTrail(static_cast<unsigned char>(bytes[i + 1])) ? 2 : 1;
        wchar_t unit = 0;
        if (MultiByteToWideChar(kGbk, MB_ERR_INVALID_CHARS, bytes.data() + i, length, &unit, 1) == 1) {
            decoded += QChar(static_cast<char16_t>(unit));
            i += length;
        } else {
            decoded += QChar(kReplacement);
            ++i;
        }
    }
    return decoded;
}

#else

// GBK through glibc's converter, one U+FFFD for each byte that starts no character, so
// a damaged byte costs one character and the text after it still reads.
QString gbk(QByteArrayView bytes)
{
    QString decoded;
    const char *utf16 = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? "UTF-16LE" : "UTF-16BE";
    const iconv_t converter = iconv_open(utf16, "GBK");
    if (converter == iconv_t(-1)) {
        // Without the converter (gconv modules missing) at least the ASCII text survives.
        decoded.reserve(bytes.size());
        for (const char c : bytes)
            decoded += static_cast<unsigned char>(c) < 0x80 ? QChar(c) : QChar(kReplacement);
        return decoded;
    }

    // Every input byte yields at most one UTF-16 unit (GBK maps into the BMP); twice that
    // leaves room however the converter behaves, so E2BIG cannot happen.
    decoded.resize(2 * bytes.size());
    char *in = const_cast<char *>(bytes.data());
    std::size_t inLeft = bytes.size();
    char *const outStart = reinterpret_cast<char *>(decoded.data());
    char *out = outStart;
    std::size_t outLeft = decoded.size() * sizeof(char16_t);
    while (inLeft > 0) {
        if (iconv(converter, &in, &inLeft, &out, &outLeft) != std::size_t(-1))
            break;
        if (errno != EILSEQ && errno != EINVAL)
            break;
        const char16_t replacement = kReplacement;
        std::memcpy(out, &replacement, sizeof replacement);
        out += sizeof replacement;
        outLeft -= sizeof replacement;
        ++in;
        --inLeft;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(converter);
    decoded.truncate((out - outStart) / qsizetype(sizeof(char16_t)));
    return decoded;
}

#endif

QString decode(QByteArrayView bytes)
{
    QString decoded;
    if (bytes.startsWith(kUtf8Bom)) {
        // The mark settles the encoding, so bad bytes after it are damage, not GBK.
        decoded = lenientUtf8(bytes.sliced(kUtf8Bom.size()));
    } else if (std::optional<QString> utf8 = strictUtf8(bytes)) {
        decoded = std::move(*utf8);
    } else {
        decoded = gbk(bytes);
    }
    // A NUL would end the text early wherever it reaches a C string.
    decoded.replace(QChar(u'\0'), QChar(kReplacement));
    return decoded;
}

QStringList splitLines(const QString &decoded)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < decoded.size(); ++i) {
        const QChar c = decoded.at(i);
        if (c != u'\r' && c != u'\n')
            continue;
        lines.append(decoded.sliced(start, i - start));
        if (c == u'\r' && i + 1 < decoded.size() && decoded.at(i + 1) == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < decoded.size())
        lines.append(decoded.sliced(start));
    return lines;
}

} // namespace

ReadResult decodeLines(const QByteArray &bytes, const QString &fileName)
{
    ReadResult result;
    if (bytes.size() > kMaxFileSize) {
        result.error = failure(fileName, tooLargeReason());
        return result;
    }
    if (const qsizetype line = firstOverlongLine(bytes)) {
        result.error = failure(fileName, QStringLiteral("第 %1 行长于 %2 KiB 的上限")
                                             .arg(line)
                                             .arg(kMaxLineLength / 1024));
        return result;
    }
    result.lines = splitLines(decode(bytes));
    result.ok = true;
    return result;
}

ReadResult readLines(QIODevice &device, const QString &fileName)
{
    // One byte beyond the limit tells a file of exactly the limit from a larger one
    // without ever holding more than that in memory.
    QByteArray bytes(kMaxFileSize + 1, Qt::Uninitialized);
    qint64 filled = 0;
    while (filled < bytes.size()) {
        const qint64 got = device.read(bytes.data() + filled, bytes.size() - filled);
        if (got < 0) {
            ReadResult result;
            result.error = failure(fileName, device.errorString());
            return result;
        }
        if (got == 0)
            break;
        filled += got;
    }
    bytes.truncate(filled);
    return decodeLines(bytes, fileName);
}

ReadResult readFile(const QString &path)
{
    ReadResult result;
    const QFileInfo info(path);
    // Opening a FIFO would wait for a writer, and a device may never end.
    if (info.exists() && !info.isFile()) {
        result.error = failure(path, QStringLiteral("它不是普通文件"));
        return result;
    }
    if (info.size() > kMaxFileSize) {
        result.error = failure(path, tooLargeReason());
        return result;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = failure(path, file.errorString());
        return result;
    }
    return readLines(file, path);
}

QString programDirectory()
{
    return QCoreApplication::applicationDirPath();
}

} // namespace text
