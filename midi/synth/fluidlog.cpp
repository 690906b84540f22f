#include "synth/fluidlog.h"

#include <fluidsynth.h>

#include <deque>
#include <mutex>
#include <utility>

namespace midi {

namespace {

constexpr std::size_t kKeptErrors = 16;

struct ErrorLog
{
    std::mutex mutex;
    std::uint64_t count = 0;
    std::deque<std::pair<std::uint64_t, QString>> recent;
};

ErrorLog &errorLog()
{
    static ErrorLog log;
    return log;
}

// Called from whichever thread FluidSynth is on (the audio thread reports a dead
// output), and from C: nothing may propagate out of it.
void logLine(int level, const char *message, void *)
{
    if (level > FLUID_ERR || message == nullptr)
        return;
    try {
        ErrorLog &log = errorLog();
        const std::lock_guard lock(log.mutex);
        log.recent.emplace_back(++log.count, QString::fromUtf8(message).trimmed());
        if (log.recent.size() > kKeptErrors)
            log.recent.pop_front();
    } catch (...) {
    }
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
    ErrorLog &log = errorLog();
    const std::lock_guard lock(log.mutex);
    return log.count;
}

QStringList FluidLog::errorsSince(std::uint64_t mark)
{
    ErrorLog &log = errorLog();
    const std::lock_guard lock(log.mutex);
    QStringList lines;
    for (const auto &[number, line] : log.recent) {
        if (number > mark)
            lines << line;
    }
    return lines;
}

} // namespace midi
