#pragma once

// A JACK server of a test's own, and a MIDI capture client on it.
//
// The server runs the dummy backend under a private name, so tests that run at the
// same time never meet. Clients in the test process reach it by that name; code that
// cannot name a server (RtMidi) finds it by JACK_DEFAULT_SERVER, which main() sets before
// any thread starts (the environment is not safe to change while threads read it), so a
// server meant for RtMidi takes the name that variable gives. The capture client records the bytes and arrival times of
// what reaches its MIDI input port.

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include <sys/types.h>

namespace testsupport {

// Gives this process, and the servers and clients it starts afterwards, a /dev/shm of
// their own. JACK keeps its state there under names fixed per user: a table of at
// most 8 servers, and a metadata database that each server deletes when it exits, so
// that a client opening at that moment in another process dies of SIGBUS. Call it
// first in main(), before any thread starts. False, with `error` set, where the
// system does not allow a mount namespace; the shared /dev/shm is then used.
bool privateJackState(QString *error);

// Starts argv[0] (looked up in PATH) with stdout and stderr going to `logFile`, or
// nowhere when it is empty, and no other descriptor of the test. The child gets
// SIGTERM when the test process dies. Returns the pid, or -1 with `error` set.
pid_t spawnProcess(const QStringList &argv, const QString &logFile, QString *error);

// Sends `signal` to the child `pid`, waits up to `grace` for it to end, kills it if it
// has not, and reaps it. False if there was no such child to reap.
bool endProcess(pid_t pid, int signal, std::chrono::milliseconds grace = std::chrono::seconds(2));

class JackServer
{
public:
    enum class Start { Ready, CannotStart };

    // `prefix`, the test's pid and a counter: no other server uses it.
    static QString uniqueName(const QString &prefix);

    // `name` must not contain '_': the server's files are found by it after a kill.
    explicit JackServer(QString name);
    ~JackServer();

    JackServer(const JackServer &) = delete;
    JackServer &operator=(const JackServer &) = delete;

    struct Options
    {
        int sampleRate = 48000;
        int periodFrames = 64;
        // The server waits for every client in each cycle. Without it, a client that a
        // loaded machine runs late misses that cycle's MIDI: up to 2 messages in 100
        // were lost here. A synchronous server, though, waits 5 s for a client process
        // that died before dropping it.
        bool synchronous = true;
        std::chrono::milliseconds timeout = std::chrono::seconds(5);
    };

    // Runs `jackd -n NAME --no-realtime [-S] -d dummy -r RATE -p FRAMES` and waits until
    // a client can connect. CannotStart means the environment cannot run one (no
    // jackd, it exits, or it is not ready in time); errorString() says which.
    Start start(const Options &options);
    Start start();
    QString errorString() const { return error_; }

    void stop();  // SIGTERM, as an orderly shutdown; SIGKILL if it lingers
    // SIGKILL: the server dies as in a crash. Its entry in jackd's table of at most 8
    // servers stays until a server of the same name starts, so the destructor runs one
    // briefly; otherwise every killed server would take a place for good.
    void kill();

    bool isRunning() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    QString name() const { return name_; }
    int sampleRate() const { return options_.sampleRate; }
    int periodFrames() const { return options_.periodFrames; }

    // Waits until a port of that full name exists (`present`) or no longer does.
    bool waitForPort(const QString &port, bool present,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    // What the server has printed so far.
    QString log() const;

    // Pids of the jackd processes that serve `name`, found by their command lines.
    static std::vector<pid_t> serverProcesses(const QString &name);

private:
    void reaped();
    void releaseKilledEntry();

    QString name_;
    QString logFile_;
    QString error_;
    pid_t pid_ = -1;
    Options options_;
    bool killed_ = false;
};

class MidiCapture
{
public:
    struct Event
    {
        std::vector<std::uint8_t> bytes;
        std::uint64_t arrivalUsecs = 0;  // now() when the capture's cycle found it
        std::uint64_t frameUsecs = 0;    // the time of the frame it was placed at, on the same clock
    };

    MidiCapture();
    ~MidiCapture();

    MidiCapture(const MidiCapture &) = delete;
    MidiCapture &operator=(const MidiCapture &) = delete;

    bool open(const QString &serverName, const QString &clientName, const QString &portName = QStringLiteral("in"));
    // The client leaves the server and its port vanishes.
    void close();
    bool isOpen() const;
    QString portName() const;  // full name, "client:port"
    QString errorString() const;
    bool serverGone() const;
    // Events that arrived while the capture's buffer was full: events() was called too rarely.
    std::size_t dropped() const;
    // The server's cycles that overran since open(): a cycle's MIDI may be lost in one.
    std::size_t xruns() const;

    // Everything received so far, in order of arrival.
    std::vector<Event> events();
    // Waits until at least `count` events have arrived, or `timeout`; returns them all.
    std::vector<Event> waitForEvents(std::size_t count, std::chrono::milliseconds timeout);
    void clear();

    // JACK's clock in microseconds, the clock of Event::arrivalUsecs.
    static std::uint64_t now();

private:
    struct State;
    std::unique_ptr<State> s;
};

// A JACK client that listens to another client's audio outputs and keeps, cycle by
// cycle, the loudest sample heard.
class AudioCapture
{
public:
    struct Cycle
    {
        std::uint64_t usecs = 0;  // JACK's clock when the cycle ran
        float peak = 0;
    };

    AudioCapture();
    ~AudioCapture();

    AudioCapture(const AudioCapture &) = delete;
    AudioCapture &operator=(const AudioCapture &) = delete;

    // Opens the client and connects every audio output port of `sourceClient` to it.
    bool open(const QString &serverName, const QString &clientName, const QString &sourceClient);
    void close();
    QString errorString() const;

    // The cycles run since the last call, oldest first.
    std::vector<Cycle> takeCycles();

private:
    struct State;
    std::unique_ptr<State> s;
};

} // namespace testsupport
