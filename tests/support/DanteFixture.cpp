#include "DanteFixture.h"

#include <QFile>
#include <QRegularExpression>

#include <unistd.h>

DanteFixture::DanteFixture()
    : ServerProcessFixture(QStringLiteral("danted"), QStringLiteral("dante-server"))
{}

bool DanteFixture::configure(quint16 port, QStringList &arguments)
{
    const QString logPath = filePath(QStringLiteral("danted.log"));
    QFile::remove(logPath);
    QByteArray conf = "logoutput: " + logPath.toUtf8() + "\n"
                      "internal: 127.0.0.1 port = " + QByteArray::number(port) + "\n"
                      "external: 127.0.0.1\n"
                      "clientmethod: none\n"
                      "socksmethod: none\n";
    // Started by root it would otherwise keep root for the relayed
    // connections (and warn); the log stays open from before the switch.
    if (::geteuid() == 0)
        conf += "user.unprivileged: nobody\n";
    // "connect" logs every connection opened for a client when it is made.
    conf +=
        "client pass {\n"
        "  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
        "  log: error\n"
        "}\n"
        "socks pass {\n"
        "  from: 127.0.0.0/8 to: 127.0.0.0/8\n"
        "  command: connect\n"
        "  log: connect error\n"
        "}\n"
        "socks block {\n"
        "  from: 0.0.0.0/0 to: 0.0.0.0/0\n"
        "  log: connect error\n"
        "}\n";
    const QString confPath = filePath(QStringLiteral("danted.conf"));
    if (!writeAll(confPath, conf)) {
        setError(QStringLiteral("cannot write %1").arg(confPath));
        return false;
    }
    // In the foreground (no -D), one process answering clients (-N 1).
    arguments = {QStringLiteral("-f"), confPath,
                 QStringLiteral("-p"), filePath(QStringLiteral("danted.pid")),
                 QStringLiteral("-N"), QStringLiteral("1")};
    return true;
}

QString DanteFixture::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(port());
}

QString DanteFixture::logText() const
{
    return QString::fromUtf8(readAll(filePath(QStringLiteral("danted.log"))));
}

QList<quint16> DanteFixture::sourcePortsTo(quint16 port) const
{
    // "tcp/connect [: <client> <proxy's port> -> <out address.port> <target>"
    const QRegularExpression connect(
        QStringLiteral("pass\\(\\d+\\): tcp/connect \\[: \\S+ \\S+ -> 127\\.0\\.0\\.1\\.(\\d+) "
                       "127\\.0\\.0\\.1\\.%1\\s*$")
            .arg(port));
    QList<quint16> ports;
    for (const QString &line : logText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const auto m = connect.match(line);
        if (m.hasMatch())
            ports.append(quint16(m.captured(1).toUInt()));
    }
    return ports;
}
