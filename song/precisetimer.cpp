#include "precisetimer.h"

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <limits>

#ifdef Q_OS_LINUX
#include <QSocketNotifier>
#include <sys/timerfd.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
#include <QWinEventNotifier>
#include <qt_windows.h>
#endif

namespace song {

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

} // namespace

std::int64_t steadyNow()
{
    // steady_clock is CLOCK_MONOTONIC on Linux, the clock the timerfd below runs on.
    const auto sinceEpoch = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count();
}

// On Linux a timerfd armed for the absolute deadline, watched by the event loop: the
// kernel wakes the loop at the deadline itself, with no millisecond rounding. On Windows a
// waitable timer, watched the same way; high-resolution where the system has them (Windows
// 10 1803 on), since a plain one only expires on the system's tick of about 15.6 ms.
// Elsewhere, and where neither can be had, a QTimer for the nearest whole millisecond.
class PreciseTimer::Backend
{
public:
    explicit Backend(PreciseTimer &owner);
    ~Backend();

    void start(std::int64_t deadlineNs);
    void stop();
    bool isActive() const { return m_active; }

private:
    void fire();
    void startFallback(std::int64_t deadlineNs);

    PreciseTimer &m_owner;
    QTimer *const m_fallback;
    bool m_active = false;

#ifdef Q_OS_LINUX
    bool armTimerFd(std::int64_t deadlineNs);
    void disarmTimerFd();
    void readTimerFd();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
#endif
#ifdef Q_OS_WIN
    bool armWaitableTimer(std::int64_t deadlineNs);
    void waitableTimerSignalled();

    HANDLE m_timer = nullptr;
    QWinEventNotifier *m_notifier = nullptr;
    std::int64_t m_deadline = 0;
#endif
};

PreciseTimer::Backend::Backend(PreciseTimer &owner)
    : m_owner(owner)
    , m_fallback(new QTimer(&owner))
{
    m_fallback->setSingleShot(true);
    m_fallback->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_fallback, &QTimer::timeout, &owner, [this] { fire(); });

#ifdef Q_OS_LINUX
    m_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd >= 0) {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, &owner);
        QObject::connect(m_notifier, &QSocketNotifier::activated, &owner, [this] { readTimerFd(); });
    }
#endif
#ifdef Q_OS_WIN
    // Older systems refuse the flag, not the timer. Not a manual-reset timer: the wait
    // that the notifier runs takes the signal, so each expiry is reported once.
    constexpr DWORD kHighResolution = 0x2;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, not in mingw-w64's headers
    m_timer = ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolution, TIMER_ALL_ACCESS);
    if (m_timer == nullptr)
        m_timer = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    if (m_timer != nullptr) {
        m_notifier = new QWinEventNotifier(m_timer, &owner);
        QObject::connect(m_notifier, &QWinEventNotifier::activated, &owner, [this] { waitableTimerSignalled(); });
    }
#endif
}

PreciseTimer::Backend::~Backend()
{
#ifdef Q_OS_LINUX
    // The notifier must let go of the descriptor before it is closed.
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
#endif
#ifdef Q_OS_WIN
    // The notifier must stop waiting on the handle before it is closed.
    delete m_notifier;
    if (m_timer != nullptr)
        ::CloseHandle(m_timer);
#endif
}

void PreciseTimer::Backend::start(std::int64_t deadlineNs)
{
    stop();
    m_active = true;
#ifdef Q_OS_LINUX
    if (armTimerFd(deadlineNs))
        return;
#endif
#ifdef Q_OS_WIN
    if (armWaitableTimer(deadlineNs))
        return;
#endif
    startFallback(deadlineNs);
}

void PreciseTimer::Backend::stop()
{
    m_active = false;
    m_fallback->stop();
#ifdef Q_OS_LINUX
    disarmTimerFd();
#endif
#ifdef Q_OS_WIN
    if (m_timer != nullptr)
        ::CancelWaitableTimer(m_timer);
#endif
}

void PreciseTimer::Backend::fire()
{
    // A tick of a deadline that was stopped or replaced in the meantime is stale.
    if (!m_active)
        return;
    m_active = false;
    emit m_owner.timeout();
}

void PreciseTimer::Backend::startFallback(std::int64_t deadlineNs)
{
    const std::int64_t remainingNs = std::max<std::int64_t>(deadlineNs - steadyNow(), 0);
    const std::int64_t remainingMs = (remainingNs + kNsPerMs / 2) / kNsPerMs;
    m_fallback->start(int(std::min<std::int64_t>(remainingMs, std::numeric_limits<int>::max())));
}

#ifdef Q_OS_LINUX

bool PreciseTimer::Backend::armTimerFd(std::int64_t deadlineNs)
{
    if (m_fd < 0)
        return false;
    constexpr std::int64_t kNsPerS = 1'000'000'000;
    // An all-zero time disarms a timerfd, so a deadline at or before the clock's origin
    // becomes its first nanosecond, which has passed and so fires at once.
    const std::int64_t at = std::max<std::int64_t>(deadlineNs, 1);
    itimerspec deadline = {};
    deadline.it_value.tv_sec = time_t(at / kNsPerS);
    deadline.it_value.tv_nsec = long(at % kNsPerS);
    return ::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &deadline, nullptr) == 0;
}

void PreciseTimer::Backend::disarmTimerFd()
{
    if (m_fd < 0)
        return;
    // Setting the time also drops an expiry not yet read, so it cannot fire later.
    const itimerspec off = {};
    ::timerfd_settime(m_fd, 0, &off, nullptr);
}

void PreciseTimer::Backend::readTimerFd()
{
    // The read clears the readiness; without it the notifier would fire again and again.
    // It finds nothing (EAGAIN) when the timer was re-armed or stopped after it expired
    // but before the event loop came round to it: that expiry belonged to an old deadline.
    std::uint64_t expirations = 0;
    if (::read(m_fd, &expirations, sizeof expirations) != ssize_t(sizeof expirations))
        return;
    fire();
}

#endif

#ifdef Q_OS_WIN

bool PreciseTimer::Backend::armWaitableTimer(std::int64_t deadlineNs)
{
    if (m_timer == nullptr)
        return false;
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
    return true;
}

void PreciseTimer::Backend::waitableTimerSignalled()
{
    // The signal may belong to a deadline that was replaced after the timer expired but
    // before the event loop came round to it; arming cannot take back a signal already
    // taken. The current deadline is then still ahead: wait for it again.
    if (m_active && steadyNow() < m_deadline && armWaitableTimer(m_deadline))
        return;
    fire();
}

#endif

PreciseTimer::PreciseTimer(QObject *parent)
    : QObject(parent)
    , m_backend(std::make_unique<Backend>(*this))
{
}

PreciseTimer::~PreciseTimer() = default;

void PreciseTimer::start(std::int64_t deadlineNs) { m_backend->start(deadlineNs); }

void PreciseTimer::stop() { m_backend->stop(); }

bool PreciseTimer::isActive() const { return m_backend->isActive(); }

} // namespace song
