#include "precisetimer.h"

#include "precisetimer_p.h"

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <limits>

namespace song {

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

} // namespace

std::int64_t steadyNow()
{
    // steady_clock is CLOCK_MONOTONIC on Linux, the clock the timerfd in
    // precisetimer_linux.cpp runs on.
    const auto sinceEpoch = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count();
}

// The system's deadline timer where it has one (precisetimer_p.h); elsewhere, and where it
// cannot be had, a QTimer for the nearest whole millisecond.
class PreciseTimer::Backend
{
public:
    explicit Backend(PreciseTimer &owner);

    void start(std::int64_t deadlineNs);
    void stop();
    bool isActive() const { return m_active; }

private:
    void fire();
    void startFallback(std::int64_t deadlineNs);

    PreciseTimer &m_owner;
    QTimer *const m_fallback;
    const std::unique_ptr<SystemTimer> m_system;
    bool m_active = false;
};

PreciseTimer::Backend::Backend(PreciseTimer &owner)
    : m_owner(owner)
    , m_fallback(new QTimer(&owner))
    , m_system(createSystemTimer(owner, [this] { fire(); }))
{
    m_fallback->setSingleShot(true);
    m_fallback->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_fallback, &QTimer::timeout, &owner, [this] { fire(); });
}

void PreciseTimer::Backend::start(std::int64_t deadlineNs)
{
    stop();
    m_active = true;
    if (m_system && m_system->arm(deadlineNs))
        return;
    startFallback(deadlineNs);
}

void PreciseTimer::Backend::stop()
{
    m_active = false;
    m_fallback->stop();
    if (m_system)
        m_system->disarm();
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
