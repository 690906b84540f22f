// song::parseStep on the input read as UTF-8 and as UTF-16, against a reference that
// reads the number with std::from_chars and rounds it in long double.

#include "fuzzcheck.h"
#include "stepvalue.h"

#include <QString>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace {

using song::Step;
using song::StepKind;

// With more integer digits than this, leading zeros aside, a number is 100000 or more:
// outside 16 bits whatever its fraction.
constexpr std::size_t kReferenceWholeDigits = 5;
// Fraction digits the reference keeps; one more stands for any that follow. Five
// integer and eleven fraction digits are well within a long double's 64-bit mantissa,
// so a half is told from a value just above or below it.
constexpr std::size_t kReferenceFractionDigits = 10;

bool isAsciiDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

std::size_t digitRun(std::u16string_view line, std::size_t pos)
{
    std::size_t end = pos;
    while (end < line.size() && isAsciiDigit(line[end]))
        ++end;
    return end;
}

std::string narrow(std::u16string_view digits)
{
    return std::string(digits.begin(), digits.end());
}

Step classify(int value)
{
    if (value >= song::kHoldValue)
        return {StepKind::Hold, value};
    if (value < song::kMinNoteValue || value > song::kMaxNoteValue)
        return {StepKind::Skip, value};
    return {StepKind::Note, value};
}

Step expectedStep(std::u16string_view line)
{
    const std::size_t first = line.find_first_not_of(u' ');
    const std::size_t last = line.find_last_not_of(u' ');
    const std::u16string_view trimmed =
        first == std::u16string_view::npos ? std::u16string_view() : line.substr(first, last - first + 1);
    if (trimmed == u"End")
        return {StepKind::End, 0};

    std::size_t pos = line.find_first_not_of(u" \t");
    if (pos == std::u16string_view::npos)
        return classify(0);
    bool negative = false;
    if (line[pos] == u'+' || line[pos] == u'-') {
        negative = line[pos] == u'-';
        ++pos;
    }
    const std::size_t wholeEnd = digitRun(line, pos);
    std::u16string_view whole = line.substr(pos, wholeEnd - pos);
    std::u16string_view fraction;
    if (wholeEnd < line.size() && line[wholeEnd] == u'.')
        fraction = line.substr(wholeEnd + 1, digitRun(line, wholeEnd + 1) - (wholeEnd + 1));
    if (whole.empty() && fraction.empty())
        return classify(0);

    whole.remove_prefix(std::min(whole.find_first_not_of(u'0'), whole.size()));
    if (whole.size() > kReferenceWholeDigits)
        return {StepKind::Skip, 0};
    std::string number = whole.empty() ? std::string("0") : narrow(whole);
    if (!fraction.empty()) {
        number += '.' + narrow(fraction.substr(0, kReferenceFractionDigits));
        if (fraction.size() > kReferenceFractionDigits
            && fraction.substr(kReferenceFractionDigits).find_first_not_of(u'0') != std::u16string_view::npos)
            number += '1';
    }

    long double magnitude = 0;
    const auto [end, error] =
        std::from_chars(number.data(), number.data() + number.size(), magnitude, std::chars_format::fixed);
    fuzz::require(error == std::errc() && end == number.data() + number.size(), "the reference reads its number",
                  [&] { return number; });
    // The default rounding mode rounds halves to the even neighbour.
    const long double rounded = std::nearbyint(negative ? -magnitude : magnitude);
    if (rounded < std::numeric_limits<qint16>::min() || rounded > std::numeric_limits<qint16>::max())
        return {StepKind::Skip, 0};
    return classify(static_cast<int>(rounded));
}

const char *kindName(StepKind kind)
{
    switch (kind) {
    case StepKind::End: return "End";
    case StepKind::Note: return "Note";
    case StepKind::Hold: return "Hold";
    case StepKind::Skip: return "Skip";
    }
    return "?";
}

std::string describe(std::u16string_view line, const Step &got, const Step &expected)
{
    const QString text = QString::fromUtf16(line.data(), static_cast<qsizetype>(line.size()));
    return "line \"" + text.toStdString() + "\": got " + kindName(got.kind) + ' ' + std::to_string(got.value)
        + ", expected " + kindName(expected.kind) + ' ' + std::to_string(expected.value);
}

void check(std::u16string_view line)
{
    const Step step = song::parseStep(QStringView(line.data(), static_cast<qsizetype>(line.size())));
    const Step expected = expectedStep(line);
    fuzz::require(step.kind == expected.kind && step.value == expected.value, "parseStep agrees with the reference",
                  [&] { return describe(line, step, expected); });

    fuzz::require(step.value >= std::numeric_limits<qint16>::min() && step.value <= std::numeric_limits<qint16>::max(),
                  "the value fits 16 bits", [&] { return describe(line, step, expected); });
    switch (step.kind) {
    case StepKind::End:
        fuzz::require(step.value == 0, "End carries no value", [&] { return describe(line, step, expected); });
        break;
    case StepKind::Note:
        fuzz::require(step.value >= song::kMinNoteValue && step.value <= song::kMaxNoteValue,
                      "a note's value is in the note range", [&] { return describe(line, step, expected); });
        fuzz::require(step.lowKey() >= 0 && step.highKey() <= 64 && step.highKey() - step.lowKey() == 24,
                      "a note presses two keys of the 65, two octaves apart",
                      [&] { return describe(line, step, expected); });
        break;
    case StepKind::Hold:
        fuzz::require(step.value >= song::kHoldValue, "a hold's value is at least the hold value",
                      [&] { return describe(line, step, expected); });
        break;
    case StepKind::Skip:
        fuzz::require(step.value < song::kMinNoteValue || step.value > song::kMaxNoteValue || step.value == 0,
                      "a skip's value has no keys", [&] { return describe(line, step, expected); });
        fuzz::require(step.value < song::kHoldValue, "a skip's value does not hold",
                      [&] { return describe(line, step, expected); });
        break;
    }
}

} // namespace

// The reference is only worth comparing against if it reads the documented examples right.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    struct Example
    {
        std::u16string_view line;
        Step step;
    };
    constexpr Example examples[] = {
        {u"  End ", {StepKind::End, 0}},
        {u"end", {StepKind::Note, 0}},
        {u"\tEnd", {StepKind::Note, 0}},
        {u"", {StepKind::Note, 0}},
        {u"1e3", {StepKind::Note, 1}},
        {u"0x10", {StepKind::Note, 0}},
        {u"1 2", {StepKind::Note, 1}},
        {u"12.", {StepKind::Note, 12}},
        {u" \t.5", {StepKind::Note, 0}},
        {u"-2.5", {StepKind::Note, -2}},
        {u"2.5000000000000001", {StepKind::Note, 3}},
        {u"-8", {StepKind::Skip, -8}},
        {u"99.5", {StepKind::Hold, 100}},
        {u"32767.5", {StepKind::Skip, 0}},
        {u"-32768.5", {StepKind::Skip, -32768}},
    };
    for (const Example &example : examples) {
        const Step expected = expectedStep(example.line);
        fuzz::require(expected.kind == example.step.kind && expected.value == example.step.value,
                      "the reference reads a documented example",
                      [&] { return describe(example.line, expected, example.step); });
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString utf8 = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    check(std::u16string_view(reinterpret_cast<const char16_t *>(utf8.utf16()), static_cast<std::size_t>(utf8.size())));

    // The same bytes as UTF-16 in this machine's order reach characters UTF-8 decoding
    // never gives, unpaired surrogates among them.
    std::u16string utf16(size / 2, u'\0');
    std::memcpy(utf16.data(), data, utf16.size() * sizeof(char16_t));
    check(utf16);
    return 0;
}
