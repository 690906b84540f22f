#pragma once

// The system's own deadline timer behind PreciseTimer. Each system's is in a file of its
// own (precisetimer_linux.cpp, precisetimer_windows.cpp, precisetimer_other.cpp for the
// systems with none), and song/CMakeLists.txt builds the one for the system at hand.

#include <cstdint>
#include <functional>
#include <memory>

class QObject;

namespace song {

class SystemTimer
{
public:
    virtual ~SystemTimer() = default;
    // Arms the timer for `deadlineNs` on steadyNow()'s clock, replacing any deadline armed
    // before; a deadline already past expires on the next pass of the event loop, never
    // from within. False when the system refuses: PreciseTimer then takes its fallback.
    virtual bool arm(std::int64_t deadlineNs) = 0;
    // Disarms it, taking back an expiry the event loop has not reported yet as well.
    virtual void disarm() = 0;
};

// The system's timer, which calls `expired` through the event loop of `owner`'s thread once
// its armed deadline has been reached, never before; null where the system has none or
// cannot make one. The timer's notifier is a child of `owner`, so it follows it across
// threads.
std::unique_ptr<SystemTimer> createSystemTimer(QObject &owner, std::function<void()> expired);

} // namespace song
