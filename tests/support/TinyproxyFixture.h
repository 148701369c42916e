#pragma once
// A real forward proxy for tests: Debian's tinyproxy, with its configuration
// and log file in a temporary folder.  It forwards plain requests and opens
// CONNECT tunnels to any port (for https:// addresses).
//
//     TinyproxyFixture proxy;
//     if (!proxy.start())
//         QSKIP(qPrintable(proxy.errorString()));
//     ... proxy.address() ...
//     QVERIFY(proxy.logText().contains("GET http://127.0.0.1:..."));

#include "ServerProcessFixture.h"

class TinyproxyFixture : public ServerProcessFixture {
public:
    TinyproxyFixture();

    // True when the binary exists on this machine.
    static bool available();

    // Before start(): the proxy asks every client for this Basic login (407).
    void requireBasicAuth(const QString &user, const QString &password)
    {
        m_authUser = user;
        m_authPassword = password;
    }

    QString address() const; // "127.0.0.1:<port>", the form the program's proxy setting takes
    // The proxy's log so far (it logs every request line at level Info;
    // a tunnel shows as "CONNECT 127.0.0.1:<port> HTTP/1.1").
    QString logText() const;

protected:
    bool configure(quint16 port, QStringList &arguments) override;

private:
    QString m_authUser;
    QString m_authPassword;
};
