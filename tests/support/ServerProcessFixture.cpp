#include "ServerProcessFixture.h"

#include "LoopbackPort.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest/QTest>

#include <csignal>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

bool portAccepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    const bool ok = socket.waitForConnected(200);
    socket.abort();
    return ok;
}

} // namespace

ServerProcessFixture::ServerProcessFixture(QString name, QString package)
    : m_name(std::move(name)), m_package(std::move(package))
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
#ifdef Q_OS_LINUX
    // Should the test crash, the kernel stops the server too instead of
    // leaving it serving a deleted folder.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
}

ServerProcessFixture::~ServerProcessFixture()
{
    stop();
}

QString ServerProcessFixture::findProgram(const QString &name)
{
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"),
                                                     QStringLiteral("/usr/bin"),
                                                     QStringLiteral("/sbin")});
    return path;
}

bool ServerProcessFixture::start()
{
    if (executablePath().isEmpty()) {
        m_error = QStringLiteral("%1 is not installed (apt-get install %2)").arg(m_name, m_package);
        return startFailed();
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder for %1").arg(m_name);
        return startFailed();
    }
    // The free port is found by binding and letting go; another process may
    // take it in between, so try a few times.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (startOnce())
            return true;
    }
    return startFailed();
}

bool ServerProcessFixture::startFailed()
{
    const QByteArray ci = qgetenv("CI");
    if (!ci.isEmpty() && ci != "0" && ci.toLower() != "false")
        QTest::qFail(qPrintable(QStringLiteral("CI: %1 could not start: %2").arg(m_name, m_error)),
                     __FILE__, __LINE__);
    return false;
}

bool ServerProcessFixture::startOnce()
{
    stop();
    m_port = closedPort();
    if (m_port == 0) {
        m_error = QStringLiteral("no free loopback port");
        return false;
    }
    QStringList arguments;
    if (!configure(m_port, arguments))
        return false;
    m_process.setProcessEnvironment(environment());
    m_process.start(executablePath(), arguments);
    if (!m_process.waitForStarted(30000)) {
        m_error = QStringLiteral("%1 did not start: %2").arg(m_name, m_process.errorString());
        return false;
    }
    const QDeadlineTimer deadline(30000); // a busy machine starts servers slowly
    while (!deadline.hasExpired()) {
        // The pause between tries also notices the server ending: without an
        // event loop, QProcess learns of that only while waiting for it.
        if (m_process.waitForFinished(20) || m_process.state() != QProcess::Running) {
            m_error = QStringLiteral("%1 ended at once: %2")
                          .arg(m_name, QString::fromLocal8Bit(m_process.readAll()));
            return false;
        }
        if (portAccepts(m_port))
            return true;
    }
    m_error = QStringLiteral("%1 did not accept connections on port %2").arg(m_name).arg(m_port);
    stop();
    return false;
}

void ServerProcessFixture::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

void ServerProcessFixture::setEnvironmentVariable(const QString &name, const QString &value)
{
    m_environment.append({name, value});
}

QProcessEnvironment ServerProcessFixture::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &[name, value] : m_environment)
        env.insert(name, value);
    return env;
}

bool ServerProcessFixture::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

QByteArray ServerProcessFixture::readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool ServerProcessFixture::writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

bool ServerProcessFixture::configurationAccepted(const QStringList &checkArguments)
{
    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.setProcessEnvironment(environment());
    check.start(executablePath(), checkArguments);
    if (check.waitForFinished(10000) && check.exitStatus() == QProcess::NormalExit
        && check.exitCode() == 0)
        return true;
    check.kill();
    check.waitForFinished(2000);
    setError(QStringLiteral("%1 refused the configuration: %2")
                 .arg(m_name, QString::fromLocal8Bit(check.readAll()).trimmed()));
    return false;
}
