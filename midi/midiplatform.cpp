#include "midi/midiplatform.h"

#include <algorithm>
#include <chrono>

namespace midi {

namespace {
bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
} // namespace

void copyText(std::u16string_view text, char16_t *buffer, std::uint32_t chars)
{
    if (buffer == nullptr || chars == 0)
        return;
    std::size_t n = std::min<std::size_t>(text.size(), chars - 1);
    // Cutting after a high surrogate would leave half a character.
    if (n < text.size() && n > 0 && isHighSurrogate(text[n - 1]))
        --n;
    std::copy_n(text.begin(), n, buffer);
    buffer[n] = u'\0';
}

std::int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

void setProductName(DeviceCaps &caps, std::u16string_view name)
{
    copyText(name, caps.name, kMaxProductNameLength);
}

std::u16string productName(const DeviceCaps &caps)
{
    const auto end = std::find(std::begin(caps.name), std::end(caps.name), u'\0');
    return std::u16string(std::begin(caps.name), end);
}

} // namespace midi
