#pragma once

// A one-shot timer for an absolute deadline on the monotonic clock, finer than
// QTimer's millisecond. It fires on the thread that owns it, through its event loop,
// so the slot runs exactly where a QTimer's would.

#include <QObject>

#include <cstdint>
#include <memory>

namespace song {

// Monotonic time in nanoseconds; the scale PreciseTimer's deadlines are on.
std::int64_t steadyNow();

class PreciseTimer : public QObject
{
    Q_OBJECT
public:
    explicit PreciseTimer(QObject *parent = nullptr);
    ~PreciseTimer() override;

    // Fires timeout() once when steadyNow() reaches `deadlineNs`; a deadline already
    // past fires on the next pass of the event loop. Replaces any deadline set before.
    void start(std::int64_t deadlineNs);
    void stop();
    bool isActive() const;

signals:
    void timeout();

private:
    class Backend;
    std::unique_ptr<Backend> m_backend;
};

} // namespace song
