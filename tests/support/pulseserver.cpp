#include "pulseserver.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <sys/types.h>

namespace testsupport {

PulseServer::~PulseServer()
{
    stop();
}

bool PulseServer::start(QString *error)
{
    const auto failed = [error](const QString &why) {
        if (error != nullptr)
            *error = why;
        return false;
    };
    if (!QFileInfo(runtimeDir_).isDir())
        return failed(QStringLiteral("no runtime directory %1").arg(runtimeDir_));
    // A server killed before leaves its pid behind.
    const QString pidPath = runtimeDir_ + QStringLiteral("/pulse/pid");
    QFile::remove(pidPath);

    QProcess daemon;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir_);
    environment.remove(QStringLiteral("PULSE_SERVER"));
    daemon.setProcessEnvironment(environment);
    daemon.setProcessChannelMode(QProcess::MergedChannels);
    // -D returns once the daemon is ready to take clients.
    daemon.start(QStringLiteral("pulseaudio"),
                 {QStringLiteral("-D"), QStringLiteral("-n"), QStringLiteral("--exit-idle-time=-1"),
                  QStringLiteral("--load=module-null-sink sink_name=null"),
                  QStringLiteral("--load=module-native-protocol-unix")});
    if (!daemon.waitForFinished(10000) || daemon.exitStatus() != QProcess::NormalExit || daemon.exitCode() != 0)
        return failed(QStringLiteral("pulseaudio did not start: %1%2")
                          .arg(daemon.errorString(), QString::fromLocal8Bit(daemon.readAll())));

    QFile pidFile(pidPath);
    if (!pidFile.open(QIODevice::ReadOnly))
        return failed(QStringLiteral("pulseaudio wrote no pid file"));
    pid_ = pidFile.readAll().trimmed().toLongLong();
    if (pid_ <= 0)
        return failed(QStringLiteral("pulseaudio wrote no pid"));
    return true;
}

bool PulseServer::isRunning() const
{
    if (pid_ <= 0)
        return false;
    // A killed daemon may linger as a zombie until whoever adopted it reaps it.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid_));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype end = line.lastIndexOf(") ");
    return end >= 0 && line.size() > end + 2 && line.at(end + 2) != 'Z';
}

void PulseServer::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(static_cast<pid_t>(pid_), SIGTERM);
    // The daemon is not our child: wait for it to vanish rather than reaping it.
    const QDeadlineTimer deadline(3000);
    while (isRunning() && !deadline.hasExpired())
        QThread::msleep(10);
    if (isRunning())
        ::kill(static_cast<pid_t>(pid_), SIGKILL);
    pid_ = 0;
}

} // namespace testsupport
