#pragma once
// A real forward proxy for tests: Debian's tinyproxy, started in the
// foreground on a free loopback port with a configuration and log file in a
// temporary folder, stopped when the fixture is destroyed.
//
//     TinyproxyFixture proxy;
//     if (!proxy.start())
//         QSKIP(qPrintable(proxy.errorString()));
//     ... "127.0.0.1:" + QString::number(proxy.port()) ...
//     QVERIFY(proxy.logText().contains("GET http://127.0.0.1:..."));

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class TinyproxyFixture {
public:
    TinyproxyFixture();
    ~TinyproxyFixture();
    TinyproxyFixture(const TinyproxyFixture &) = delete;
    TinyproxyFixture &operator=(const TinyproxyFixture &) = delete;

    // True when the binary exists on this machine.
    static bool available();
    static QString executable();

    // Starts the proxy and waits until its port accepts connections.  False
    // (see errorString()) when tinyproxy is missing or would not come up.
    bool start();
    void stop();
    bool isRunning() const;

    quint16 port() const { return m_port; }
    QString address() const; // "127.0.0.1:<port>", the form the program's proxy setting takes
    // The proxy's log so far (it logs every request line at level Info).
    QString logText() const;
    QString errorString() const { return m_error; }

private:
    bool startOnce();

    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
