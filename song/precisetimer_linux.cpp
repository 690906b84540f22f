#include "precisetimer_p.h"

#include <QSocketNotifier>

#include <algorithm>

#include <sys/timerfd.h>
#include <unistd.h>

namespace song {

namespace {

// A timerfd armed for the absolute deadline, watched by the event loop: the kernel wakes the
// loop at the deadline itself, with no millisecond rounding.
class TimerFd final : public SystemTimer
{
public:
    TimerFd(int fd, QObject &owner, std::function<void()> expired);
    ~TimerFd() override;

    bool arm(std::int64_t deadlineNs) override;
    void disarm() override;

private:
    void read();

    const int m_fd;
    QSocketNotifier *const m_notifier;
    const std::function<void()> m_expired;
};

TimerFd::TimerFd(int fd, QObject &owner, std::function<void()> expired)
    : m_fd(fd)
    , m_notifier(new QSocketNotifier(fd, QSocketNotifier::Read, &owner))
    , m_expired(std::move(expired))
{
    QObject::connect(m_notifier, &QSocketNotifier::activated, &owner, [this] { read(); });
}

TimerFd::~TimerFd()
{
    // The notifier must let go of the descriptor before it is closed.
    delete m_notifier;
    ::close(m_fd);
}

bool TimerFd::arm(std::int64_t deadlineNs)
{
    constexpr std::int64_t kNsPerS = 1'000'000'000;
    // An all-zero time disarms a timerfd, so a deadline at or before the clock's origin
    // becomes its first nanosecond, which has passed and so fires at once.
    const std::int64_t at = std::max<std::int64_t>(deadlineNs, 1);
    itimerspec deadline = {};
    deadline.it_value.tv_sec = time_t(at / kNsPerS);
    deadline.it_value.tv_nsec = long(at % kNsPerS);
    return ::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &deadline, nullptr) == 0;
}

void TimerFd::disarm()
{
    // Setting the time also drops an expiry not yet read, so it cannot fire later.
    const itimerspec off = {};
    ::timerfd_settime(m_fd, 0, &off, nullptr);
}

void TimerFd::read()
{
    // The read clears the readiness; without it the notifier would fire again and again.
    // It finds nothing (EAGAIN) when the timer was re-armed or stopped after it expired
    // but before the event loop came round to it: that expiry belonged to an old deadline.
    std::uint64_t expirations = 0;
    if (::read(m_fd, &expirations, sizeof expirations) != ssize_t(sizeof expirations))
        return;
    m_expired();
}

} // namespace

std::unique_ptr<SystemTimer> createSystemTimer(QObject &owner, std::function<void()> expired)
{
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return std::make_unique<TimerFd>(fd, owner, std::move(expired));
}

} // namespace song
