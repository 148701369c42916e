#pragma once
// A Kerberos realm of its own for end-to-end tests: Debian's MIT KDC
// (krb5kdc, from krb5-kdc) in the foreground on a free loopback port, its
// database, configuration, logs and the user's ticket cache in a temporary
// folder; nothing of the system's Kerberos set-up is read or touched.  The
// realm holds the web service HTTP/localhost (its keys in a keytab) and a
// user with a random password, who is logged in (kinit) once the KDC
// answers.  The KDC is stopped when the fixture is destroyed.
//
//     KerberosFixture kdc;
//     if (!kdc.start())
//         QSKIP(qPrintable(kdc.errorString()));
//     ... Apache with kdc.serviceKeytab() and kdc.configPath() ...
//     process.setProcessEnvironment(kdc.clientEnvironment(env));
//
// The programs learn of the realm from the environment the test gives them
// (clientEnvironment()), never from the test's own.  Run as root, the keytab
// is opened to others: Apache serves as nobody.

#include "ServerProcessFixture.h"

#include <QProcessEnvironment>
#include <QString>

#include <optional>

class KerberosFixture : public ServerProcessFixture {
public:
    KerberosFixture();

    // Makes the realm, starts the KDC, waits until it accepts connections
    // and logs the user in.  Hides the base's start().
    bool start();

    static QString realm() { return QStringLiteral("KESTRUNE.TEST"); }
    static QString servicePrincipal() { return QStringLiteral("HTTP/localhost@KESTRUNE.TEST"); }
    static QString userPrincipal() { return QStringLiteral("ops@KESTRUNE.TEST"); }

    QString configPath() const;    // the realm's krb5.conf, for clients and services
    QString serviceKeytab() const; // the keys of HTTP/localhost

    // base with what a client of the realm needs: the configuration and
    // the user's ticket cache.
    QProcessEnvironment clientEnvironment(QProcessEnvironment base) const;

    // The user's ticket cache: kinit with the password, kdestroy, klist.
    bool logIn();
    bool logOut();
    QString tickets() const; // klist's listing; empty when there are none

protected:
    bool configure(quint16 port, QStringList &arguments) override;

private:
    // Runs a Kerberos tool with the realm's environment and input on its
    // stdin; its output, or nothing (and its words in why) when it failed.
    std::optional<QByteArray> runTool(const QString &program, const QStringList &arguments,
                                      const QByteArray &input = {}, QString *why = nullptr) const;
    bool makeRealm();

    QString m_userPassword;
    bool m_realmMade = false;
};
