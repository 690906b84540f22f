#pragma once

#include <QString>
#include <QTemporaryDir>

namespace testsupport {

// A private PulseAudio server with one null sink ("null", monitor "null.monitor"), in
// its own runtime directory so that parallel runs never meet. Starting it points this
// process's XDG_RUNTIME_DIR at that directory, where libpulse clients look for it.
class PulseServer
{
public:
    PulseServer() = default;
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
    QTemporaryDir runtimeDir_;
    qint64 pid_ = 0;
};

} // namespace testsupport
