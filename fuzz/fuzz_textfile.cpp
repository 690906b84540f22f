// text::decodeLines on any bytes, checked against a byte-level reading of the same input.

#include "fuzzcheck.h"
#include "limitprobe.h"
#include "textfile.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace {

const QString kName = QStringLiteral("fuzz.txt");
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

// The input cut at CR LF, LF or CR. Line ends are the same bytes in UTF-8 and GBK, so
// this needs no decoding, and it is written apart from the reader's own splitting.
std::vector<std::string_view> byteLines(std::string_view bytes)
{
    std::vector<std::string_view> lines;
    while (!bytes.empty()) {
        const std::size_t end = bytes.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            lines.push_back(bytes);
            break;
        }
        lines.push_back(bytes.substr(0, end));
        bytes.remove_prefix(bytes.substr(end).starts_with("\r\n") ? end + 2 : end + 1);
    }
    return lines;
}

// Well-formed UTF-8 as Unicode defines it (table 3-7): no overlong forms, no
// surrogates, nothing above U+10FFFF, no sequence cut short.
bool isWellFormedUtf8(std::string_view bytes)
{
    std::size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = bytes[i];
        std::size_t length = 1;
        unsigned char secondLow = 0x80;
        unsigned char secondHigh = 0xBF;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            secondLow = lead == 0xE0 ? 0xA0 : 0x80;
            secondHigh = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            secondLow = lead == 0xF0 ? 0x90 : 0x80;
            secondHigh = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (bytes.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char c = bytes[i + k];
            const unsigned char low = k == 1 ? secondLow : 0x80;
            const unsigned char high = k == 1 ? secondHigh : 0xBF;
            if (c < low || c > high)
                return false;
        }
        i += length;
    }
    return true;
}

// What a well-formed UTF-8 line reads as, in UTF-8 again: itself, each NUL replaced.
std::string withNulReplaced(std::string_view line)
{
    std::string out(line);
    std::size_t nul = out.find('\0');
    while (nul != std::string::npos) {
        out.replace(nul, 1, kUtf8Replacement);
        nul = out.find('\0', nul + kUtf8Replacement.size());
    }
    return out;
}

std::string describeLine(qsizetype index, const QString &line)
{
    return "line " + std::to_string(index) + ": \"" + line.toStdString() + '"';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = fuzz::limitProbe(data, size);
    const text::ReadResult result = text::decodeLines(bytes, kName);

    const std::string_view all(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    const bool tooLarge = bytes.size() > text::kMaxFileSize;
    // The 1-based number of the first line over the length limit, 0 when none is. The
    // limit counts a file's bytes as they are, a byte-order mark with the first line.
    std::size_t overlongLine = 0;
    if (!tooLarge) {
        const std::vector<std::string_view> rawLines = byteLines(all);
        const auto overlong = std::find_if(rawLines.begin(), rawLines.end(), [](std::string_view line) {
            return static_cast<qsizetype>(line.size()) > text::kMaxLineLength;
        });
        if (overlong != rawLines.end())
            overlongLine = static_cast<std::size_t>(overlong - rawLines.begin()) + 1;
    }
    fuzz::require(result.ok == (!tooLarge && overlongLine == 0), "read exactly when within the size and line limits",
                  [&] {
                      return "ok " + std::to_string(result.ok) + ", size " + std::to_string(bytes.size())
                          + ", first long line " + std::to_string(overlongLine);
                  });

    if (!result.ok) {
        fuzz::require(result.error.startsWith(QStringLiteral("无法读取文件 ") + kName + u'：')
                          && result.error.endsWith(u'。'),
                      "a refusal is one sentence naming the file", [&] { return result.error.toStdString(); });
        const QString reason = tooLarge ? QStringLiteral("1024 KiB") : QStringLiteral("第 %1 行").arg(overlongLine);
        fuzz::require(result.error.contains(reason), "a refusal gives the limit or the line that broke it",
                      [&] { return result.error.toStdString() + " lacks " + reason.toStdString(); });
        fuzz::require(result.lines.isEmpty(), "a refused file gives no lines");
        return 0;
    }
    fuzz::require(result.error.isEmpty(), "a file read has no error", [&] { return result.error.toStdString(); });

    const std::string_view body = all.starts_with(kUtf8Bom) ? all.substr(kUtf8Bom.size()) : all;
    const std::vector<std::string_view> lines = byteLines(body);
    fuzz::require(result.lines.size() == static_cast<qsizetype>(lines.size()),
                  "one line per line end, decoding neither adds nor swallows one", [&] {
                      return std::to_string(result.lines.size()) + " lines read, " + std::to_string(lines.size())
                          + " in the bytes";
                  });

    const bool utf8 = isWellFormedUtf8(body);
    for (qsizetype i = 0; i < result.lines.size(); ++i) {
        const QString &line = result.lines.at(i);
        const std::string_view source = lines[static_cast<std::size_t>(i)];
        fuzz::require(!line.contains(u'\r') && !line.contains(u'\n'), "no line holds a line end",
                      [&] { return describeLine(i, line); });
        fuzz::require(!line.contains(QChar(u'\0')), "no line holds a NUL", [&] { return describeLine(i, line); });
        // A byte that starts no character becomes one U+FFFD; a character needs at
        // least as many bytes as UTF-16 units in both encodings.
        fuzz::require(line.size() <= static_cast<qsizetype>(source.size()), "no more UTF-16 units than bytes in a line",
                      [&] { return describeLine(i, line); });
        if (utf8) {
            const QByteArray again = line.toUtf8();
            fuzz::require(std::string_view(again.constData(), static_cast<std::size_t>(again.size()))
                              == withNulReplaced(source),
                          "well-formed UTF-8 reads back unchanged", [&] { return describeLine(i, line); });
        }
    }
    return 0;
}
