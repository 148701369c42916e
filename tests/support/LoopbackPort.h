#pragma once
// A loopback port on which nothing listens: bound, then released.  Tests use
// it for a server that refuses connections, and the server fixtures as a
// free port to start on.

#include <QHostAddress>
#include <QTcpServer>

inline quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}
