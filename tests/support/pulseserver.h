#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace testsupport {

// A private sound server that speaks PulseAudio's protocol, with one null sink ("null",
// monitor "null.monitor") as its default sink, in its own runtime directory so that
// parallel runs never meet. Starting it points this process's XDG_RUNTIME_DIR at that
// directory, where libpulse and libpipewire clients look for it.
//
// Two kinds: PulseAudio's own server, or PipeWire (the graph, WirePlumber and its
// PulseAudio service, on a session bus of their own, which WirePlumber needs).
class SoundServer
{
public:
    enum class Kind { PulseAudio, PipeWire };

    explicit SoundServer(Kind kind) : kind_(kind) {}
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
    QTemporaryDir runtimeDir_;
    qint64 daemonPid_ = 0;  // PulseAudio's, which daemonises
    std::vector<std::unique_ptr<QProcess>> processes_;  // PipeWire's, children of ours
};

class PulseServer : public SoundServer
{
public:
    PulseServer() : SoundServer(Kind::PulseAudio) {}
};

} // namespace testsupport
