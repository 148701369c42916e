#include "ApacheFixture.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kModules[] = "/usr/lib/apache2/modules";

// The first folder on the way to path that others may not pass through;
// empty when there is none.
QString closedFolderAbove(const QString &path)
{
    QString folder = QFileInfo(path).absoluteFilePath();
    while (!folder.isEmpty()) {
        struct stat st {};
        if (::stat(QFile::encodeName(folder).constData(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
            return folder;
        if (folder == QLatin1String("/"))
            break;
        folder = QFileInfo(folder).absolutePath();
    }
    return {};
}

} // namespace

ApacheFixture::ApacheFixture()
    : ServerProcessFixture(QStringLiteral("apache2"), QStringLiteral("apache2"))
{
    QDir(folder()).mkpath(QStringLiteral("www"));
}

bool ApacheFixture::start()
{
    const QString pidFile = filePath(QStringLiteral("apache2.pid"));
    if (!ServerProcessFixture::start())
        return false;
    // The port accepts once the parent has bound it; the pid file follows
    // when the server is about to hand out its first connections.
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        if (QFileInfo::exists(pidFile))
            return true;
        if (!isRunning())
            break;
        QThread::msleep(10);
    }
    const QByteArray log = readAll(filePath(QStringLiteral("error.log")));
    stop();
    setError(QStringLiteral("apache2 wrote no pid file: %1").arg(QString::fromUtf8(log).trimmed()));
    return startFailed();
}

QString ApacheFixture::www() const
{
    return folder() + QStringLiteral("/www");
}

QString ApacheFixture::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

bool ApacheFixture::writeFile(const QString &relative, const QByteArray &bytes) const
{
    const QString p = path(relative);
    QDir().mkpath(QFileInfo(p).absolutePath());
    return writeAll(p, bytes);
}

bool ApacheFixture::makeFolder(const QString &relative) const
{
    return QDir().mkpath(path(relative));
}

void ApacheFixture::addConfig(const QString &snippet)
{
    m_snippets.append(snippet);
}

void ApacheFixture::requireNegotiate(const QString &relative, const QString &keytab,
                                     const QString &config)
{
    if (!m_gssapiLoaded) {
        const QString modules = QString::fromLatin1(kModules);
        m_snippets.append(QStringLiteral("LoadModule authn_core_module %1/mod_authn_core.so\n"
                                         "LoadModule authz_user_module %1/mod_authz_user.so\n"
                                         "LoadModule auth_gssapi_module %1/mod_auth_gssapi.so")
                              .arg(modules));
        m_gssapiLoaded = true;
    }
    // The Kerberos library reads its configuration from the environment;
    // without a replay cache it writes nothing outside the test's folders.
    setEnvironmentVariable(QStringLiteral("KRB5_CONFIG"), config);
    setEnvironmentVariable(QStringLiteral("KRB5RCACHETYPE"), QStringLiteral("none"));
    m_snippets.append(QStringLiteral("<Directory \"%1\">\n"
                                     "  AuthType GSSAPI\n"
                                     "  AuthName \"Kestrune\"\n"
                                     "  GssapiCredStore keytab:%2\n"
                                     "  GssapiAllowedMech krb5\n"
                                     "  GssapiBasicAuth Off\n"
                                     "  Require valid-user\n"
                                     "</Directory>")
                          .arg(path(relative), keytab));
}

bool ApacheFixture::configure(quint16 port, QStringList &arguments)
{
    const QString d = folder();
    const QString modules = QString::fromLatin1(kModules);
    if (!QFileInfo::exists(modules + QStringLiteral("/mod_autoindex.so"))) {
        setError(QStringLiteral("no Apache modules in %1 (apt-get install apache2)").arg(modules));
        return false;
    }
    // Apache will not serve as root: its children become nobody, who must
    // reach the document root.  The logs and the pid file stay the parent's.
    QString user;
    if (::geteuid() == 0) {
        QFile::setPermissions(d, QFile::permissions(d) | QFile::ReadOther | QFile::ExeOther
                                     | QFile::ReadGroup | QFile::ExeGroup);
        if (const QString closed = closedFolderAbove(www()); !closed.isEmpty()) {
            setError(
                QStringLiteral("apache2 would serve as nobody, who cannot enter %1").arg(closed));
            return false;
        }
        user = QStringLiteral("User nobody\nGroup nogroup\n");
    }
    QString conf = QStringLiteral(
                       "ServerRoot \"%1\"\n"
                       "DefaultRuntimeDir \"%1\"\n"
                       "PidFile \"%1/apache2.pid\"\n"
                       "ErrorLog \"%1/error.log\"\n"
                       "LogLevel warn\n"
                       "ServerName 127.0.0.1\n"
                       "Listen 127.0.0.1:%2\n"
                       "LoadModule mpm_event_module %3/mod_mpm_event.so\n"
                       "LoadModule authz_core_module %3/mod_authz_core.so\n"
                       "LoadModule dir_module %3/mod_dir.so\n"
                       "LoadModule mime_module %3/mod_mime.so\n"
                       "LoadModule autoindex_module %3/mod_autoindex.so\n"
                       "StartServers 1\n"
                       "KeepAliveTimeout 5\n"
                       "TypesConfig /dev/null\n"
                       "AddType text/html .html\n"
                       "AddType text/plain .log .txt\n"
                       "LogFormat \"%h %l %u %t \\\"%r\\\" %>s %b\" kestrune\n"
                       "CustomLog \"%1/access.log\" kestrune\n"
                       "DocumentRoot \"%1/www\"\n"
                       "<Directory />\n"
                       "  AllowOverride None\n"
                       "  Require all denied\n"
                       "</Directory>\n"
                       "<Directory \"%1/www\">\n"
                       "  Options +Indexes\n"
                       "  IndexOptions FancyIndexing\n"
                       "  Require all granted\n"
                       "</Directory>\n")
                       .arg(d)
                       .arg(port)
                       .arg(modules)
                   + user;
    for (const QString &snippet : std::as_const(m_snippets))
        conf += snippet + QLatin1Char('\n');
    const QString confPath = d + QStringLiteral("/apache2.conf");
    if (!writeAll(confPath, conf.toUtf8())) {
        setError(QStringLiteral("cannot write %1").arg(confPath));
        return false;
    }
    arguments = {QStringLiteral("-d"), d, QStringLiteral("-f"), confPath,
                 QStringLiteral("-DFOREGROUND")};
    if (!m_snippets.isEmpty()
        && !configurationAccepted(QStringList{QStringLiteral("-t")} + arguments))
        return false;
    QFile::remove(d + QStringLiteral("/access.log"));
    // start() waits for the new pid file.
    QFile::remove(d + QStringLiteral("/apache2.pid"));
    QFile::remove(d + QStringLiteral("/error.log"));
    return true;
}

QString ApacheFixture::accessLog() const
{
    return QString::fromUtf8(readAll(filePath(QStringLiteral("access.log"))));
}

QStringList ApacheFixture::requestLines() const
{
    QStringList lines;
    for (const AccessEntry &entry : accessEntries())
        lines.append(entry.requestLine);
    return lines;
}

QList<ApacheFixture::AccessEntry> ApacheFixture::accessEntries() const
{
    // "%h %l %u %t \"%r\" %>s %b"; Apache escapes '"' and '\' inside %r, so
    // "(...)" cannot run past it.
    static const QRegularExpression entry(QStringLiteral(
        "^\\S+ \\S+ (\\S+) \\[[^\\]]*\\] \"([A-Z]+ (?:[^\"\\\\]|\\\\.)* HTTP/[0-9.]+)\" (\\d+) "));
    QList<AccessEntry> entries;
    for (const QString &line : accessLog().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const auto m = entry.match(line);
        if (!m.hasMatch())
            continue;
        const QString user = m.captured(1);
        entries.append(
            {m.captured(2), m.captured(3).toInt(), user == QLatin1String("-") ? QString() : user});
    }
    return entries;
}

void ApacheFixture::clearAccessLog() const
{
    // Apache keeps the file open for appending; emptying it in place keeps
    // the later lines coming into the same file.
    QFile f(filePath(QStringLiteral("access.log")));
    if (f.open(QIODevice::ReadWrite))
        f.resize(0);
}
