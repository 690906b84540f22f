#include "synth/fluidlog.h"

#include <fluidsynth.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace midi {

namespace {

// FluidSynth's audio threads log too (an output whose server went away), and a logging
// call there must neither lock nor allocate: lines go into a fixed ring of fixed slots,
// claimed with an atomic counter, and are read, and made text, on the reading side.
constexpr std::size_t kKeptErrors = 16;
// FluidSynth formats a line into 1024 bytes; its errors, a call and the system's words,
// fit in a quarter of that.
constexpr std::size_t kLineBytes = 256;

// A slot's number while a line is written into it.
constexpr std::uint64_t kWriting = ~std::uint64_t(0);

struct Slot
{
    // The number of the line it holds, 0 for none: a reader that finds the same number
    // before and after copying the text has a whole line.
    std::atomic<std::uint64_t> number{0};
    std::array<std::atomic<char>, kLineBytes> text{};
};

struct ErrorLog
{
    std::atomic<std::uint64_t> count{0};
    std::array<Slot, kKeptErrors> kept;
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<char>::is_always_lock_free);

ErrorLog &errorLog()
{
    static ErrorLog log;
    return log;
}

// Called from whichever thread FluidSynth is on, and from C.
void logLine(int level, const char *message, void *) noexcept
{
    if (level > FLUID_ERR || message == nullptr)
        return;
    ErrorLog &log = errorLog();
    const std::uint64_t number = log.count.fetch_add(1) + 1;
    Slot &slot = log.kept[number % kKeptErrors];
    // A slot another thread is writing is left to it: this line is lost rather than waited for.
    std::uint64_t previous = slot.number.load();
    if (previous == kWriting || !slot.number.compare_exchange_strong(previous, kWriting))
        return;
    // A reader that sees any of the text written below then sees kWriting or the new number.
    std::atomic_thread_fence(std::memory_order_release);
    std::size_t i = 0;
    for (; i + 1 < kLineBytes && message[i] != '\0'; ++i)
        slot.text[i].store(message[i], std::memory_order_relaxed);
    slot.text[i].store('\0', std::memory_order_relaxed);
    slot.number.store(number, std::memory_order_release);
}

} // namespace

void FluidLog::install()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (int level = FLUID_PANIC; level < LAST_LOG_LEVEL; ++level)
            fluid_set_log_function(level, logLine, nullptr);
    });
}

std::uint64_t FluidLog::mark()
{
    return errorLog().count.load();
}

QStringList FluidLog::errorsSince(std::uint64_t mark)
{
    std::vector<std::pair<std::uint64_t, QString>> lines;
    for (const Slot &slot : errorLog().kept) {
        const std::uint64_t number = slot.number.load(std::memory_order_acquire);
        if (number <= mark || number == kWriting)
            continue;
        std::array<char, kLineBytes> text{};
        for (std::size_t i = 0; i < kLineBytes; ++i)
            text[i] = slot.text[i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (slot.number.load(std::memory_order_relaxed) != number)
            continue;
        text.back() = '\0';
        lines.emplace_back(number, QString::fromUtf8(text.data()).trimmed());
    }
    std::sort(lines.begin(), lines.end());
    QStringList ordered;
    for (auto &[number, line] : lines)
        ordered << line;
    return ordered;
}

} // namespace midi
