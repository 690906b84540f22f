#include "pulseserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <sys/types.h>

namespace testsupport {

namespace {

bool failed(QString *error, const QString &why)
{
    if (error != nullptr)
        *error = why;
    return false;
}

// Polls `ready` every 10 ms until it holds or `ms` have passed.
template<typename Ready>
bool waitUntil(int ms, Ready ready)
{
    const QDeadlineTimer deadline(ms);
    while (!ready()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

// pactl ARGS, with its output; false if it failed or took over 5 s.
bool pactl(const QStringList &args, QByteArray *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("pactl"), args);
    const bool done = process.waitForFinished(5000);
    if (output != nullptr)
        *output = process.readAll();
    return done && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool alive(qint64 pid)
{
    // A killed process lingers as a zombie until whoever adopted it reaps it.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype end = line.lastIndexOf(") ");
    return end >= 0 && line.size() > end + 2 && line.at(end + 2) != 'Z';
}

QString tail(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    if (file.size() > 1500)
        file.seek(file.size() - 1500);
    return QString::fromLocal8Bit(file.readAll());
}

} // namespace

SoundServer::~SoundServer()
{
    stop();
}

SoundServer::Kind SoundServer::kindFromEnvironment()
{
    const QByteArray chosen = qgetenv("TIRREL_TEST_SOUND_SERVER");
    if (chosen == "pipewire")
        return Kind::PipeWire;
    if (chosen == "pulseaudio" || !QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty())
        return Kind::PulseAudio;
    return Kind::PipeWire;
}

QString SoundServer::name(Kind kind)
{
    return kind == Kind::PulseAudio ? QStringLiteral("PulseAudio") : QStringLiteral("PipeWire");
}

bool SoundServer::start(QString *error)
{
    if (!runtimeDir_.isValid())
        return failed(error, QStringLiteral("no temporary directory"));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir_.path()));
    qunsetenv("PULSE_SERVER");
    const bool started = kind_ == Kind::PulseAudio ? startPulseAudio(error) : startPipeWire(error);
    if (!started)
        stop();
    return started;
}

bool SoundServer::startPulseAudio(QString *error)
{
    QProcess daemon;
    daemon.setProcessChannelMode(QProcess::MergedChannels);
    // -D returns once the daemon is ready to take clients.
    daemon.start(QStringLiteral("pulseaudio"),
                 {QStringLiteral("-D"), QStringLiteral("-n"), QStringLiteral("--exit-idle-time=-1"),
                  QStringLiteral("--load=module-null-sink sink_name=null"),
                  QStringLiteral("--load=module-native-protocol-unix")});
    if (!daemon.waitForFinished(10000) || daemon.exitStatus() != QProcess::NormalExit || daemon.exitCode() != 0)
        return failed(error, QStringLiteral("pulseaudio did not start: %1%2")
                                 .arg(daemon.errorString(), QString::fromLocal8Bit(daemon.readAll())));

    QFile pidFile(runtimeDir_.filePath(QStringLiteral("pulse/pid")));
    if (!pidFile.open(QIODevice::ReadOnly))
        return failed(error, QStringLiteral("pulseaudio wrote no pid file"));
    daemonPid_ = pidFile.readAll().trimmed().toLongLong();
    if (daemonPid_ <= 0)
        return failed(error, QStringLiteral("pulseaudio wrote no pid"));
    return true;
}

bool SoundServer::startPipeWire(QString *error)
{
    const QDir dir(runtimeDir_.path());
    for (const QString &program : {QStringLiteral("dbus-daemon"), QStringLiteral("pipewire"), QStringLiteral("wireplumber"),
                                  QStringLiteral("pipewire-pulse"), QStringLiteral("pactl")}) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            return failed(error, QStringLiteral("%1 is not installed").arg(program));
    }
    // WirePlumber keeps the chosen default sink in its state directory, under HOME.
    dir.mkpath(QStringLiteral("home"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), dir.filePath(QStringLiteral("home")));
    for (const QString &variable : {QStringLiteral("XDG_CONFIG_HOME"), QStringLiteral("XDG_STATE_HOME"), QStringLiteral("DISPLAY")})
        environment.remove(variable);
    const auto spawn = [&](const QString &program, const QStringList &arguments) {
        auto &process = processes_.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->setStandardOutputFile(dir.filePath(program + QStringLiteral(".log")));
        // A test that crashes leaves no server behind.
        process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process->start(program, arguments);
        return process->waitForStarted(5000);
    };
    const auto logs = [&dir] {
        QString text;
        for (const QFileInfo &log : dir.entryInfoList({QStringLiteral("*.log")}, QDir::Files))
            text += QStringLiteral("\n--- %1:\n%2").arg(log.fileName(), tail(log.filePath()));
        return text;
    };

    const QString bus = dir.filePath(QStringLiteral("bus"));
    if (!spawn(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                               QStringLiteral("--address=unix:path=") + bus})
        || !waitUntil(5000, [&] { return QFileInfo::exists(bus); }))
        return failed(error, QStringLiteral("no session bus for WirePlumber:") + logs());
    const QByteArray address = "unix:path=" + QFile::encodeName(bus);
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromLocal8Bit(address));

    // The other two give up if the graph's socket is not there yet.
    if (!spawn(QStringLiteral("pipewire"), {})
        || !waitUntil(5000, [&] { return QFileInfo::exists(dir.filePath(QStringLiteral("pipewire-0"))); }))
        return failed(error, QStringLiteral("pipewire did not start:") + logs());
    if (!spawn(QStringLiteral("wireplumber"), {}) || !spawn(QStringLiteral("pipewire-pulse"), {})
        || !waitUntil(10000, [] { return pactl({QStringLiteral("info")}); }))
        return failed(error, QStringLiteral("PipeWire's PulseAudio service did not answer:") + logs());

    // As in tests/e2e/lib.sh: the sink now and then refused at first, and listed a little
    // after it was made; a default sink named before that is refused.
    bool loaded = false;
    const bool sink = waitUntil(10000, [&] {
        QByteArray sinks;
        if (pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sinks")}, &sinks) && sinks.contains("\tnull\t"))
            return true;
        loaded = loaded
            || pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"), QStringLiteral("sink_name=null"),
                      QStringLiteral("rate=48000")});
        return false;
    });
    if (!sink)
        return failed(error, QStringLiteral("PipeWire made no null sink:") + logs());
    // WirePlumber links new streams to the default sink.
    QByteArray info;
    if (!waitUntil(10000, [&] {
            return pactl({QStringLiteral("set-default-sink"), QStringLiteral("null")})
                && pactl({QStringLiteral("info")}, &info) && info.contains("\nDefault Sink: null\n");
        }))
        return failed(error, QStringLiteral("PipeWire's default sink is not the null sink:\n") + QString::fromLocal8Bit(info) + logs());
    return true;
}

std::vector<qint64> SoundServer::pids() const
{
    std::vector<qint64> pids;
    if (daemonPid_ > 0)
        pids.push_back(daemonPid_);
    // The first is the session bus, which is not part of the server.
    for (std::size_t i = 1; i < processes_.size(); ++i) {
        if (processes_[i]->processId() > 0)
            pids.push_back(processes_[i]->processId());
    }
    return pids;
}

bool SoundServer::isRunning() const
{
    for (const qint64 pid : pids()) {
        if (alive(pid))
            return true;
    }
    return false;
}

void SoundServer::signal(int signal)
{
    for (const qint64 pid : pids())
        ::kill(static_cast<pid_t>(pid), signal);
}

void SoundServer::stop()
{
    // A frozen server takes SIGTERM only once it runs again.
    signal(SIGCONT);
    if (daemonPid_ > 0) {
        ::kill(static_cast<pid_t>(daemonPid_), SIGTERM);
        // The daemon is not our child: wait for it to vanish rather than reaping it.
        waitUntil(3000, [this] { return !alive(daemonPid_); });
        if (alive(daemonPid_))
            ::kill(static_cast<pid_t>(daemonPid_), SIGKILL);
        daemonPid_ = 0;
    }
    // Clients before the bus they need.
    for (auto process = processes_.rbegin(); process != processes_.rend(); ++process) {
        (*process)->terminate();
        if (!(*process)->waitForFinished(3000)) {
            (*process)->kill();
            (*process)->waitForFinished(3000);
        }
    }
    processes_.clear();
}

} // namespace testsupport
