#pragma once

#include <QProcess>
#include <QString>

#include <memory>
#include <utility>
#include <vector>

namespace testsupport {

// A private sound server that speaks PulseAudio's protocol, with one null sink ("null",
// monitor "null.monitor") as its default sink, in a runtime directory of the test's own so
// that parallel runs never meet. libpulse and libpipewire clients look for it where
// XDG_RUNTIME_DIR points: the process sets that once, first in main(), since changing the
// environment races with any thread that reads it; the server's own processes and the tools
// it runs are given it. Servers started one after another may share the directory.
//
// Two kinds: PulseAudio's own server, or PipeWire (the graph, WirePlumber and its
// PulseAudio service, on a session bus of their own, which WirePlumber needs).
class SoundServer
{
public:
    enum class Kind { PulseAudio, PipeWire };

    SoundServer(Kind kind, QString runtimeDir) : kind_(kind), runtimeDir_(std::move(runtimeDir)) {}
    ~SoundServer();
    SoundServer(const SoundServer &) = delete;
    SoundServer &operator=(const SoundServer &) = delete;

    // TIRREL_TEST_SOUND_SERVER (pulseaudio or pipewire), as CTest sets it for each copy
    // of a test; without it PulseAudio where it is installed, else PipeWire.
    static Kind kindFromEnvironment();
    static QString name(Kind kind);

    Kind kind() const { return kind_; }
    // False, with the reason, when no server could be started here.
    bool start(QString *error = nullptr);
    // SIGTERM by pid, SIGKILL if it lingers.
    void stop();
    bool isRunning() const;
    // Sends `signal` to every process of the server at once, as a crash or a freeze of
    // the whole server would come, whichever of them a client talks to.
    void signal(int signal);

private:
    bool startPulseAudio(QString *error);
    bool startPipeWire(QString *error);
    std::vector<qint64> pids() const;

    Kind kind_;
    QString runtimeDir_;
    qint64 daemonPid_ = 0;  // PulseAudio's, which daemonises
    std::vector<std::unique_ptr<QProcess>> processes_;  // PipeWire's, children of ours
};

class PulseServer : public SoundServer
{
public:
    explicit PulseServer(QString runtimeDir) : SoundServer(Kind::PulseAudio, std::move(runtimeDir)) {}
};

} // namespace testsupport
