#pragma once
// A real SOCKS5 proxy for tests: Debian's dante-server (danted), listening on
// a free loopback port and connecting out from 127.0.0.1, without a login,
// CONNECT only.  Its configuration and log are in a temporary folder; the
// log has a line for every connection it opens for a client.
//
//     DanteFixture socks;
//     if (!socks.start())
//         QSKIP(qPrintable(socks.errorString()));
//     ... "socks5://" + socks.address() ...
//     QVERIFY(socks.sourcePortsTo(nginx.port()).contains(entry.remotePort));

#include "ServerProcessFixture.h"

#include <QList>

class DanteFixture : public ServerProcessFixture {
public:
    DanteFixture();

    QString address() const; // "127.0.0.1:<port>"
    QString logText() const;
    // The local ports of the connections the proxy opened to 127.0.0.1:port,
    // as the server there sees them (its client's port), in the log's order.
    QList<quint16> sourcePortsTo(quint16 port) const;

protected:
    bool configure(quint16 port, QStringList &arguments) override;
};
