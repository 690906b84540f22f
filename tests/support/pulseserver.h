#pragma once

#include <QString>

#include <utility>

namespace testsupport {

// A private PulseAudio server with one null sink ("null", monitor "null.monitor"), in a
// runtime directory of the test's own so that parallel runs never meet. libpulse clients look
// for it where XDG_RUNTIME_DIR points: the process sets that once, first in main(), since
// changing the environment races with any thread that reads it. Servers started one after
// another may share the directory.
class PulseServer
{
public:
    explicit PulseServer(QString runtimeDir) : runtimeDir_(std::move(runtimeDir)) {}
    ~PulseServer();
    PulseServer(const PulseServer &) = delete;
    PulseServer &operator=(const PulseServer &) = delete;

    // False, with the reason, when no server could be started here.
    bool start(QString *error = nullptr);
    // SIGTERM by its pid, SIGKILL if it lingers.
    void stop();
    bool isRunning() const;
    qint64 pid() const { return pid_; }

private:
    QString runtimeDir_;
    qint64 pid_ = 0;
};

} // namespace testsupport
