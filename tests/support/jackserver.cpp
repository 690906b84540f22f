#include "jackserver.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPollInterval = 5ms;
// Some 50000 short messages between two looks at events().
constexpr std::size_t kCaptureBufferBytes = 1 << 20;
constexpr char kShmDir[] = "/dev/shm";

void discardMessage(const char *) {}

// libjack reports every failed connection attempt on stderr; a test that polls for a
// server expects failures. The previous reporters come back afterwards, so a test can
// still see what the code under test lets through.
class QuietJack
{
public:
    QuietJack() : error_(jack_error_callback), info_(jack_info_callback)
    {
        jack_set_error_function(&discardMessage);
        jack_set_info_function(&discardMessage);
    }
    ~QuietJack()
    {
        jack_set_error_function(error_);
        jack_set_info_function(info_);
    }
    QuietJack(const QuietJack &) = delete;
    QuietJack &operator=(const QuietJack &) = delete;

private:
    void (*error_)(const char *);
    void (*info_)(const char *);
};

jack_client_t *openClient(const QString &serverName, const QString &clientName)
{
    const QByteArray server = serverName.toUtf8();
    const QByteArray client = clientName.toUtf8();
    return jack_client_open(client.constData(), static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                            nullptr, server.constData());
}

QString tail(const QString &path, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    if (file.size() > bytes)
        file.seek(file.size() - bytes);
    return QString::fromUtf8(file.readAll()).trimmed();
}

// What a killed server leaves in /dev/shm: its socket and the semaphores of its clients.
void removeServerFiles(const QString &name)
{
    const QString uid = QString::number(::getuid());
    const QStringList patterns = {QStringLiteral("jack_%1_%2_*").arg(name, uid),
                                  QStringLiteral("jack_sem.%1_%2_*").arg(uid, name)};
    QDir dir(QString::fromLatin1(kShmDir));
    for (const QString &file : dir.entryList(patterns, QDir::Files | QDir::System | QDir::Hidden))
        dir.remove(file);
}

} // namespace

bool privateJackState(QString *error)
{
    const auto failed = [error](const char *step) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(QLatin1String(step), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    };
    if (::unshare(CLONE_NEWNS) != 0)
        return failed("unshare");
    // Mounts made here must not reach the rest of the system.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("private mounts");
    if (::mount("tmpfs", kShmDir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
        return failed("mount /dev/shm");
    return true;
}

pid_t spawnProcess(const QStringList &argv, const QString &logFile, QString *error)
{
    const QString program = QStandardPaths::findExecutable(argv.value(0));
    if (program.isEmpty()) {
        if (error)
            *error = QStringLiteral("cannot run %1: not found in PATH").arg(argv.value(0));
        return -1;
    }
    // Everything the child needs is prepared here: between fork and exec only
    // async-signal-safe calls are allowed.
    const QByteArray path = QFile::encodeName(program);
    std::vector<QByteArray> args;
    for (const QString &arg : argv)
        args.push_back(arg.toLocal8Bit());
    std::vector<char *> cargs;
    for (QByteArray &arg : args)
        cargs.push_back(arg.data());
    cargs.push_back(nullptr);
    const QByteArray log = logFile.isEmpty() ? QByteArrayLiteral("/dev/null") : QFile::encodeName(logFile);
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) {
        if (error)
            *error = QStringLiteral("cannot fork: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    if (pid == 0) {
        // A test that crashes must not leave a server running: it would keep one of the
        // 8 places in jackd's table of servers.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0)
            ::_exit(127);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        // Nor may it hold the test's pipes or files open.
        ::close_range(3, ~0U, 0);
        ::execve(path.constData(), cargs.data(), environ);
        ::_exit(127);
    }
    return pid;
}

bool endProcess(pid_t pid, int signal, std::chrono::milliseconds grace)
{
    if (pid <= 0)
        return false;
    ::kill(pid, signal);
    const auto deadline = Clock::now() + grace;
    while (Clock::now() < deadline) {
        const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
        if (done == pid)
            return true;
        if (done < 0)
            return false;
        std::this_thread::sleep_for(kPollInterval);
    }
    ::kill(pid, SIGKILL);
    return ::waitpid(pid, nullptr, 0) == pid;
}

QString JackServer::uniqueName(const QString &prefix)
{
    static std::atomic<int> counter{0};
    return QStringLiteral("%1-%2-%3").arg(prefix).arg(::getpid()).arg(++counter);
}

JackServer::JackServer(QString name)
    : name_(std::move(name))
    , logFile_(QDir::temp().filePath(QStringLiteral("jackd-%1.log").arg(name_)))
{
}

JackServer::~JackServer()
{
    stop();
    releaseKilledEntry();
    QFile::remove(logFile_);
}

JackServer::Start JackServer::start()
{
    return start(Options());
}

JackServer::Start JackServer::start(const Options &options)
{
    stop();
    killed_ = false;
    error_.clear();
    options_ = options;
    QStringList argv = {QStringLiteral("jackd"), QStringLiteral("-n"), name_, QStringLiteral("--no-realtime")};
    if (options.synchronous)
        argv << QStringLiteral("-S");
    argv << QStringLiteral("-d") << QStringLiteral("dummy") << QStringLiteral("-r") << QString::number(options.sampleRate)
         << QStringLiteral("-p") << QString::number(options.periodFrames);
    pid_ = spawnProcess(argv, logFile_, &error_);
    if (pid_ < 0)
        return Start::CannotStart;

    QuietJack quiet;
    const auto deadline = Clock::now() + options.timeout;
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = QStringLiteral("jackd exited (status %1): %2").arg(status).arg(tail(logFile_, 2000));
            removeServerFiles(name_);
            return Start::CannotStart;
        }
        if (jack_client_t *client = openClient(name_, QStringLiteral("ready-probe"))) {
            jack_client_close(client);
            return Start::Ready;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    error_ = QStringLiteral("jackd was not ready within %1 ms: %2").arg(options.timeout.count()).arg(tail(logFile_, 2000));
    kill();
    return Start::CannotStart;
}

void JackServer::stop()
{
    if (pid_ > 0) {
        endProcess(pid_, SIGTERM);
        reaped();
    }
}

void JackServer::kill()
{
    if (pid_ > 0) {
        endProcess(pid_, SIGKILL);
        reaped();
        killed_ = true;
    }
}

void JackServer::releaseKilledEntry()
{
    Options brief = options_;
    brief.timeout = std::chrono::seconds(2);
    if (killed_ && start(brief) == Start::Ready)
        stop();
    killed_ = false;
}

void JackServer::reaped()
{
    pid_ = -1;
    removeServerFiles(name_);
}

QString JackServer::log() const
{
    QFile file(logFile_);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

bool JackServer::waitForPort(const QString &port, bool present, std::chrono::milliseconds timeout) const
{
    QuietJack quiet;
    jack_client_t *client = openClient(name_, QStringLiteral("port-watch"));
    if (client == nullptr)
        return !present;
    const QByteArray name = port.toUtf8();
    const auto deadline = Clock::now() + timeout;
    const auto exists = [&] { return jack_port_by_name(client, name.constData()) != nullptr; };
    while (exists() != present && Clock::now() < deadline)
        std::this_thread::sleep_for(kPollInterval);
    const bool done = exists() == present;
    jack_client_close(client);
    return done;
}

std::vector<pid_t> JackServer::serverProcesses(const QString &name)
{
    std::vector<pid_t> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const pid_t pid = entry.toInt(&isPid);
        if (!isPid)
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> args = cmdline.readAll().split('\0');
        if (args.isEmpty() || !args.front().endsWith("jackd"))
            continue;
        // libjack starts a server as "jackd -T -nNAME ..."; tests write "-n NAME".
        const QByteArray wanted = name.toUtf8();
        for (qsizetype i = 1; i < args.size(); ++i) {
            const QByteArray &arg = args[i];
            const bool separate = (arg == "-n" || arg == "--name") && i + 1 < args.size() && args[i + 1] == wanted;
            if (separate || arg == "-n" + wanted || arg == "--name=" + wanted) {
                pids.push_back(pid);
                break;
            }
        }
    }
    return pids;
}

struct MidiCapture::State
{
    // What the process callback writes before an event's bytes.
    struct Record
    {
        jack_time_t arrival;
        jack_time_t frame;
        std::uint32_t size;
    };

    static int process(jack_nframes_t frames, void *self);
    static void shutdown(jack_status_t, const char *, void *self);
    void drain();

    jack_client_t *client = nullptr;
    jack_port_t *port = nullptr;
    jack_ringbuffer_t *buffer = nullptr;
    std::atomic<bool> gone{false};
    std::atomic<std::size_t> dropped{0};
    std::atomic<std::size_t> xruns{0};
    QString portName;
    QString error;
    std::vector<Event> received;
};

int MidiCapture::State::process(jack_nframes_t frames, void *self)
{
    auto *state = static_cast<State *>(self);
    void *midi = jack_port_get_buffer(state->port, frames);
    const jack_time_t arrival = jack_get_time();
    const jack_nframes_t start = jack_last_frame_time(state->client);
    const std::uint32_t count = jack_midi_get_event_count(midi);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, midi, i) != 0)
            continue;
        const Record record{arrival, jack_frames_to_time(state->client, start + event.time),
                            static_cast<std::uint32_t>(event.size)};
        if (jack_ringbuffer_write_space(state->buffer) < sizeof record + event.size) {
            state->dropped.fetch_add(count - i);
            break;
        }
        jack_ringbuffer_write(state->buffer, reinterpret_cast<const char *>(&record), sizeof record);
        jack_ringbuffer_write(state->buffer, reinterpret_cast<const char *>(event.buffer), event.size);
    }
    return 0;
}

void MidiCapture::State::shutdown(jack_status_t, const char *, void *self)
{
    static_cast<State *>(self)->gone.store(true);
}

void MidiCapture::State::drain()
{
    if (buffer == nullptr)
        return;
    Record record;
    while (jack_ringbuffer_read_space(buffer) >= sizeof record) {
        jack_ringbuffer_read(buffer, reinterpret_cast<char *>(&record), sizeof record);
        Event event;
        event.bytes.resize(record.size);
        jack_ringbuffer_read(buffer, reinterpret_cast<char *>(event.bytes.data()), record.size);
        event.arrivalUsecs = record.arrival;
        event.frameUsecs = record.frame;
        received.push_back(std::move(event));
    }
}

MidiCapture::MidiCapture()
    : s(std::make_unique<State>())
{
}

MidiCapture::~MidiCapture()
{
    close();
}

bool MidiCapture::open(const QString &serverName, const QString &clientName, const QString &portName)
{
    close();
    s->gone.store(false);
    s->dropped.store(0);
    s->xruns.store(0);
    s->received.clear();
    {
        QuietJack quiet;
        s->client = openClient(serverName, clientName);
    }
    if (s->client == nullptr) {
        s->error = QStringLiteral("cannot connect to JACK server %1").arg(serverName);
        return false;
    }
    s->buffer = jack_ringbuffer_create(kCaptureBufferBytes);
    s->port = jack_port_register(s->client, portName.toUtf8().constData(), JACK_DEFAULT_MIDI_TYPE,
                                 JackPortIsInput, 0);
    if (s->port == nullptr) {
        s->error = QStringLiteral("cannot register MIDI port %1").arg(portName);
        close();
        return false;
    }
    s->portName = QString::fromUtf8(jack_port_name(s->port));
    jack_set_process_callback(s->client, &State::process, s.get());
    jack_on_info_shutdown(s->client, &State::shutdown, s.get());
    jack_set_xrun_callback(s->client, [](void *self) {
        static_cast<State *>(self)->xruns.fetch_add(1);
        return 0;
    }, s.get());
    if (jack_activate(s->client) != 0) {
        s->error = QStringLiteral("cannot activate JACK client %1").arg(clientName);
        close();
        return false;
    }
    return true;
}

void MidiCapture::close()
{
    if (s->client != nullptr) {
        // After the server has gone, libjack deletes the client itself at the next
        // jack_client_open in the process; closing it too could free it twice.
        if (!s->gone.load())
            jack_client_close(s->client);
        s->client = nullptr;
        s->port = nullptr;
    }
    s->drain();
    if (s->buffer != nullptr) {
        jack_ringbuffer_free(s->buffer);
        s->buffer = nullptr;
    }
}

bool MidiCapture::isOpen() const
{
    return s->client != nullptr;
}

QString MidiCapture::portName() const
{
    return s->portName;
}

QString MidiCapture::errorString() const
{
    return s->error;
}

bool MidiCapture::serverGone() const
{
    return s->gone.load();
}

std::size_t MidiCapture::dropped() const
{
    return s->dropped.load();
}

std::size_t MidiCapture::xruns() const
{
    return s->xruns.load();
}

std::vector<MidiCapture::Event> MidiCapture::events()
{
    s->drain();
    return s->received;
}

std::vector<MidiCapture::Event> MidiCapture::waitForEvents(std::size_t count, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    s->drain();
    while (s->received.size() < count && Clock::now() < deadline && s->client != nullptr) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        s->drain();
    }
    return s->received;
}

void MidiCapture::clear()
{
    s->drain();
    s->received.clear();
}

std::uint64_t MidiCapture::now()
{
    return jack_get_time();
}

struct AudioCapture::State
{
    static constexpr int kPorts = 2;

    static int process(jack_nframes_t frames, void *self)
    {
        auto *state = static_cast<State *>(self);
        Cycle cycle{jack_get_time(), 0.0f};
        for (jack_port_t *port : state->ports) {
            const auto *samples = static_cast<const float *>(jack_port_get_buffer(port, frames));
            for (jack_nframes_t i = 0; i < frames; ++i)
                cycle.peak = std::max(cycle.peak, std::fabs(samples[i]));
        }
        if (jack_ringbuffer_write_space(state->buffer) >= sizeof cycle)
            jack_ringbuffer_write(state->buffer, reinterpret_cast<const char *>(&cycle), sizeof cycle);
        return 0;
    }

    jack_client_t *client = nullptr;
    jack_port_t *ports[kPorts] = {};
    jack_ringbuffer_t *buffer = nullptr;
    QString error;
};

AudioCapture::AudioCapture()
    : s(std::make_unique<State>())
{
}

AudioCapture::~AudioCapture()
{
    close();
}

bool AudioCapture::open(const QString &serverName, const QString &clientName, const QString &sourceClient)
{
    close();
    {
        QuietJack quiet;
        s->client = openClient(serverName, clientName);
    }
    if (s->client == nullptr) {
        s->error = QStringLiteral("cannot connect to JACK server %1").arg(serverName);
        return false;
    }
    s->buffer = jack_ringbuffer_create(kCaptureBufferBytes);
    for (int i = 0; i < State::kPorts; ++i) {
        s->ports[i] = jack_port_register(s->client, QByteArray("in_").append(QByteArray::number(i + 1)).constData(),
                                         JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        if (s->ports[i] == nullptr) {
            s->error = QStringLiteral("cannot register audio ports");
            close();
            return false;
        }
    }
    jack_set_process_callback(s->client, &State::process, s.get());
    if (jack_activate(s->client) != 0) {
        s->error = QStringLiteral("cannot activate JACK client %1").arg(clientName);
        close();
        return false;
    }
    const QByteArray pattern = "^" + QRegularExpression::escape(sourceClient).toUtf8() + ":";
    const char **sources = jack_get_ports(s->client, pattern.constData(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    int connected = 0;
    for (const char **source = sources; source != nullptr && *source != nullptr && connected < State::kPorts; ++source)
        connected += jack_connect(s->client, *source, jack_port_name(s->ports[connected])) == 0;
    if (sources != nullptr)
        jack_free(sources);
    if (connected == 0) {
        s->error = QStringLiteral("client %1 has no audio output to listen to").arg(sourceClient);
        close();
        return false;
    }
    return true;
}

void AudioCapture::close()
{
    if (s->client != nullptr) {
        jack_client_close(s->client);
        s->client = nullptr;
        std::fill(std::begin(s->ports), std::end(s->ports), nullptr);
    }
    if (s->buffer != nullptr) {
        jack_ringbuffer_free(s->buffer);
        s->buffer = nullptr;
    }
}

QString AudioCapture::errorString() const
{
    return s->error;
}

std::vector<AudioCapture::Cycle> AudioCapture::takeCycles()
{
    std::vector<Cycle> cycles;
    Cycle cycle;
    while (s->buffer != nullptr && jack_ringbuffer_read_space(s->buffer) >= sizeof cycle) {
        jack_ringbuffer_read(s->buffer, reinterpret_cast<char *>(&cycle), sizeof cycle);
        cycles.push_back(cycle);
    }
    return cycles;
}

} // namespace testsupport
