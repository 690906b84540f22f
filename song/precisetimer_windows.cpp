#include "precisetimer.h"
#include "precisetimer_p.h"

#include <QWinEventNotifier>

#include <algorithm>

#include <qt_windows.h>

namespace song {

namespace {

// A waitable timer, watched by the event loop; high-resolution where the system has them
// (Windows 10 1803 on), since a plain one only expires on the system's tick of about 15.6 ms.
class WaitableTimer final : public SystemTimer
{
public:
    WaitableTimer(HANDLE timer, QObject &owner, std::function<void()> expired);
    ~WaitableTimer() override;

    bool arm(std::int64_t deadlineNs) override;
    void disarm() override;

private:
    void signalled();

    const HANDLE m_timer;
    QWinEventNotifier *const m_notifier;
    const std::function<void()> m_expired;
    std::int64_t m_deadline = 0;
    bool m_armed = false;
};

WaitableTimer::WaitableTimer(HANDLE timer, QObject &owner, std::function<void()> expired)
    : m_timer(timer)
    , m_notifier(new QWinEventNotifier(timer, &owner))
    , m_expired(std::move(expired))
{
    QObject::connect(m_notifier, &QWinEventNotifier::activated, &owner, [this] { signalled(); });
}

WaitableTimer::~WaitableTimer()
{
    // The notifier must stop waiting on the handle before it is closed.
    delete m_notifier;
    ::CloseHandle(m_timer);
}

bool WaitableTimer::arm(std::int64_t deadlineNs)
{
    // The timer's absolute times are on the wall clock, which may be set while it runs, so it
    // is armed for the time left on the monotonic one: negative, in units of 100 ns, rounded
    // up so it never expires early. A deadline that has passed takes the shortest wait, so it
    // still fires through the event loop, never from within start().
    constexpr std::int64_t kNsPerUnit = 100;
    const std::int64_t remainingNs = std::max<std::int64_t>(deadlineNs - steadyNow(), 0);
    LARGE_INTEGER due;
    due.QuadPart = -std::max<std::int64_t>((remainingNs + kNsPerUnit - 1) / kNsPerUnit, 1);
    if (!::SetWaitableTimer(m_timer, &due, 0, nullptr, nullptr, FALSE))
        return false;
    m_deadline = deadlineNs;
    m_armed = true;
    return true;
}

void WaitableTimer::disarm()
{
    m_armed = false;
    ::CancelWaitableTimer(m_timer);
}

void WaitableTimer::signalled()
{
    // The signal may belong to a deadline that was stopped or replaced after the timer
    // expired but before the event loop came round to it: neither cancelling nor arming
    // takes back a signal the notifier's wait has already taken. A stopped deadline's is
    // dropped; after a replaced one's the current deadline is still ahead: wait for it again.
    if (!m_armed)
        return;
    if (steadyNow() < m_deadline && arm(m_deadline))
        return;
    m_armed = false;
    m_expired();
}

} // namespace

std::unique_ptr<SystemTimer> createSystemTimer(QObject &owner, std::function<void()> expired)
{
    // Older systems refuse the flag, not the timer. Not a manual-reset timer: the wait
    // that the notifier runs takes the signal, so each expiry is reported once.
    constexpr DWORD kHighResolution = 0x2;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, not in mingw-w64's headers
    HANDLE timer = ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolution, TIMER_ALL_ACCESS);
    if (timer == nullptr)
        timer = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    if (timer == nullptr)
        return nullptr;
    return std::make_unique<WaitableTimer>(timer, owner, std::move(expired));
}

} // namespace song
