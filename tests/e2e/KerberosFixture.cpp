#include "KerberosFixture.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

#include <unistd.h>

namespace {

// Letters and digits only: the text goes into kadmin's command lines.
QString randomPassword()
{
    static const char kCharacters[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    QString password;
    for (int i = 0; i < 24; ++i)
        password += QLatin1Char(
            kCharacters[QRandomGenerator::system()->bounded(int(sizeof kCharacters) - 1)]);
    return password;
}

} // namespace

KerberosFixture::KerberosFixture()
    : ServerProcessFixture(QStringLiteral("krb5kdc"), QStringLiteral("krb5-kdc"))
{
    // The KDC and the tools read these; the system's /etc/krb5.conf and
    // the user's own ticket cache stay out of it.
    setEnvironmentVariable(QStringLiteral("KRB5_CONFIG"), configPath());
    setEnvironmentVariable(QStringLiteral("KRB5_KDC_PROFILE"),
                           filePath(QStringLiteral("kdc.conf")));
    setEnvironmentVariable(QStringLiteral("KRB5CCNAME"),
                           QStringLiteral("FILE:") + filePath(QStringLiteral("ccache")));
}

bool KerberosFixture::start()
{
    if (!ServerProcessFixture::start())
        return false;
    // The KDC opens its sockets once its database is loaded: a port that
    // accepts is a KDC that answers.  The first login proves it.
    if (logIn())
        return true;
    stop();
    return startFailed();
}

QString KerberosFixture::configPath() const
{
    return filePath(QStringLiteral("krb5.conf"));
}

QString KerberosFixture::serviceKeytab() const
{
    return filePath(QStringLiteral("http.keytab"));
}

QProcessEnvironment KerberosFixture::clientEnvironment(QProcessEnvironment base) const
{
    const QProcessEnvironment own = environment();
    for (const char *name : {"KRB5_CONFIG", "KRB5CCNAME"})
        base.insert(QString::fromLatin1(name), own.value(QString::fromLatin1(name)));
    return base;
}

bool KerberosFixture::logIn()
{
    QString why;
    if (!runTool(QStringLiteral("kinit"), {userPrincipal()}, m_userPassword.toUtf8() + '\n',
                 &why)) {
        setError(QStringLiteral("kinit failed: ") + why);
        return false;
    }
    return true;
}

bool KerberosFixture::logOut()
{
    QString why;
    if (!runTool(QStringLiteral("kdestroy"), {}, {}, &why)) {
        setError(QStringLiteral("kdestroy failed: ") + why);
        return false;
    }
    return true;
}

QString KerberosFixture::tickets() const
{
    return QString::fromUtf8(runTool(QStringLiteral("klist"), {}).value_or(QByteArray()));
}

std::optional<QByteArray> KerberosFixture::runTool(const QString &program,
                                                   const QStringList &arguments,
                                                   const QByteArray &input, QString *why) const
{
    const QString path = findProgram(program);
    if (path.isEmpty()) {
        if (why)
            *why = QStringLiteral(
                       "%1 is not installed (apt-get install krb5-user krb5-kdc "
                       "krb5-admin-server)")
                       .arg(program);
        return std::nullopt;
    }
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.setProcessEnvironment(environment());
    tool.start(path, arguments);
    if (tool.waitForStarted(30000)) {
        tool.write(input);
        tool.closeWriteChannel();
        if (tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit
            && tool.exitCode() == 0)
            return tool.readAll();
    }
    tool.kill();
    tool.waitForFinished(2000);
    if (why)
        *why = QStringLiteral("%1 %2: %3")
                   .arg(program, arguments.join(u' '), QString::fromLocal8Bit(tool.readAll()))
                   .trimmed();
    return std::nullopt;
}

bool KerberosFixture::makeRealm()
{
    const QString keytab = serviceKeytab();
    QString why;
    // The master key's password is needed by nobody: the stash holds the key.
    const bool made = runTool(QStringLiteral("kdb5_util"),
                              {QStringLiteral("create"), QStringLiteral("-s"), QStringLiteral("-r"),
                               realm(), QStringLiteral("-P"), randomPassword()},
                              {}, &why)
                      && runTool(QStringLiteral("kadmin.local"), {QStringLiteral("-r"), realm()},
                                 QStringLiteral("addprinc -randkey %1\n"
                                                "ktadd -k %2 %1\n"
                                                "addprinc -pw %3 %4\n")
                                     .arg(servicePrincipal(), keytab, m_userPassword,
                                          userPrincipal())
                                     .toUtf8(),
                                 &why);
    if (!made) {
        setError(why);
        return false;
    }
    // kadmin.local carries on after a command that failed: check its work.
    if (!QFile::exists(keytab)) {
        setError(QStringLiteral("kadmin.local wrote no keytab"));
        return false;
    }
    if (::geteuid() == 0) {
        // Apache's children, serving as nobody, read the keytab; the
        // database and the ticket cache stay the owner's alone.
        QFile::setPermissions(folder(),
                              QFile::permissions(folder()) | QFile::ExeGroup | QFile::ExeOther);
        QFile::setPermissions(keytab,
                              QFile::permissions(keytab) | QFile::ReadGroup | QFile::ReadOther);
    }
    return true;
}

bool KerberosFixture::configure(quint16 port, QStringList &arguments)
{
    const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
    const QString d = folder();
    // Names are taken as they are: no DNS, no reverse lookups.
    const QString krb5 = QStringLiteral(
                             "[libdefaults]\n"
                             "  default_realm = %1\n"
                             "  rdns = false\n"
                             "  dns_canonicalize_hostname = false\n"
                             "  dns_lookup_kdc = false\n"
                             "  dns_lookup_realm = false\n"
                             "[realms]\n"
                             "  %1 = {\n"
                             "    kdc = %2\n"
                             "  }\n"
                             "[domain_realm]\n"
                             "  localhost = %1\n")
                             .arg(realm(), address);
    const QString kdc = QStringLiteral(
                            "[kdcdefaults]\n"
                            "  kdc_listen = %2\n"
                            "  kdc_tcp_listen = %2\n"
                            "[realms]\n"
                            "  %1 = {\n"
                            "    database_name = %3/principal\n"
                            "    key_stash_file = %3/stash\n"
                            "    acl_file = %3/kadm5.acl\n"
                            "  }\n"
                            "[logging]\n"
                            "  kdc = FILE:%3/kdc.log\n"
                            "  admin_server = FILE:%3/kadmin.log\n"
                            "  default = FILE:%3/krb5.log\n")
                            .arg(realm(), address, d);
    if (!writeAll(configPath(), krb5.toUtf8())
        || !writeAll(filePath(QStringLiteral("kdc.conf")), kdc.toUtf8())) {
        setError(QStringLiteral("cannot write the Kerberos configuration into %1").arg(d));
        return false;
    }
    if (!m_realmMade) {
        if (m_userPassword.isEmpty())
            m_userPassword = randomPassword();
        if (!makeRealm())
            return false;
        m_realmMade = true;
    }
    arguments = {QStringLiteral("-n"), QStringLiteral("-r"), realm(), QStringLiteral("-P"),
                 filePath(QStringLiteral("krb5kdc.pid"))};
    return true;
}
