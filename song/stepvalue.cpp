#include "stepvalue.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace song {

namespace {

constexpr int kMin16 = std::numeric_limits<qint16>::min();
constexpr int kMax16 = std::numeric_limits<qint16>::max();
// More integer digits than this, after leading zeros, cannot fit 16 bits.
constexpr qsizetype kMaxSignificantDigits = 5;

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

QStringView trimmedSpaces(QStringView line)
{
    while (line.startsWith(u' '))
        line = line.sliced(1);
    while (line.endsWith(u' '))
        line.chop(1);
    return line;
}

QStringView digitsFrom(QStringView line, qsizetype &pos)
{
    const qsizetype start = pos;
    while (pos < line.size() && isDigit(line[pos]))
        ++pos;
    return line.sliced(start, pos - start);
}

// Rounds whole.fraction to the nearest integer, halves to even, working on the digit
// strings so that no binary fraction blurs a half. Empty when the result cannot fit 16 bits.
std::optional<int> roundedMagnitude(QStringView whole, QStringView fraction)
{
    while (whole.startsWith(u'0'))
        whole = whole.sliced(1);
    if (whole.size() > kMaxSignificantDigits)
        return std::nullopt;
    int magnitude = 0;
    for (const QChar digit : whole)
        magnitude = magnitude * 10 + (digit.unicode() - u'0');

    if (!fraction.isEmpty()) {
        const QChar first = fraction.front();
        bool up = first > u'5';
        if (first == u'5') {
            const QStringView rest = fraction.sliced(1);
            const bool aboveHalf = std::any_of(rest.begin(), rest.end(), [](QChar c) { return c != u'0'; });
            up = aboveHalf || magnitude % 2 == 1;
        }
        if (up)
            ++magnitude;
    }
    return magnitude;
}

// The leading number of the line, rounded; 0 when the line starts with none, empty when
// it does not fit 16 bits.
std::optional<int> leadingValue(QStringView line)
{
    qsizetype pos = 0;
    while (pos < line.size() && isBlank(line[pos]))
        ++pos;
    bool negative = false;
    if (pos < line.size() && (line[pos] == u'+' || line[pos] == u'-')) {
        negative = line[pos] == u'-';
        ++pos;
    }
    const QStringView whole = digitsFrom(line, pos);
    QStringView fraction;
    if (pos < line.size() && line[pos] == u'.') {
        ++pos;
        fraction = digitsFrom(line, pos);
    }
    if (whole.isEmpty() && fraction.isEmpty())
        return 0;

    const std::optional<int> magnitude = roundedMagnitude(whole, fraction);
    if (!magnitude)
        return std::nullopt;
    const int value = negative ? -*magnitude : *magnitude;
    if (value < kMin16 || value > kMax16)
        return std::nullopt;
    return value;
}

} // namespace

Step parseStep(QStringView line)
{
    if (trimmedSpaces(line) == u"End")
        return {StepKind::End, 0};

    const std::optional<int> value = leadingValue(line);
    if (!value)
        return {StepKind::Skip, 0};
    if (*value >= kHoldValue)
        return {StepKind::Hold, *value};
    if (*value < kMinNoteValue || *value > kMaxNoteValue)
        return {StepKind::Skip, *value};
    return {StepKind::Note, *value};
}

} // namespace song
