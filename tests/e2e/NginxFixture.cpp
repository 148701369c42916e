#include "NginxFixture.h"

#include "LoopbackPort.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <cctype>

namespace {

// A double-quoted nginx configuration string.
QString quoted(QString text)
{
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// nginx writes '"', '\' and bytes outside printable ASCII as "\xHH" in its log.
QString unescapeLogField(const QString &field)
{
    const QByteArray bytes = field.toUtf8();
    const auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    QByteArray out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes.at(i) == '\\' && i + 3 < bytes.size() && bytes.at(i + 1) == 'x'
            && isHex(bytes.at(i + 2)) && isHex(bytes.at(i + 3))) {
            out.append(QByteArray::fromHex(bytes.mid(i + 2, 2)));
            i += 3;
            continue;
        }
        out.append(bytes.at(i));
    }
    return QString::fromUtf8(out);
}

// The beginning is nginx's "combined" format, which the request-line and
// byte-count checks of the older tests read; the rest feeds accessEntries().
const char kLogFormat[] =
    "'$remote_addr - $remote_user [$time_local] \"$request\" $status $body_bytes_sent "
    "\"$http_referer\" \"$http_user_agent\" "
    "conn=$connection req=$connection_requests sent=$bytes_sent scheme=$scheme "
    "user=\"$remote_user\" range=\"$http_range\" port=$remote_port'";

// The openssl settings for the test CA and the server certificate.  The
// server's only subject name is the address, so host-name checks against
// "localhost" fail.
const char kOpensslConfig[] =
    "[req]\n"
    "distinguished_name = dn\n"
    "prompt = no\n"
    "[dn]\n"
    "CN = Kestrune Test CA\n"
    "[ca_ext]\n"
    "basicConstraints = critical, CA:TRUE\n"
    "keyUsage = critical, keyCertSign, cRLSign\n"
    "subjectKeyIdentifier = hash\n"
    "[server_ext]\n"
    "basicConstraints = critical, CA:FALSE\n"
    "keyUsage = critical, digitalSignature\n"
    "extendedKeyUsage = serverAuth\n"
    "subjectAltName = IP:127.0.0.1\n"
    "subjectKeyIdentifier = hash\n"
    "authorityKeyIdentifier = keyid\n";

} // namespace

NginxFixture::NginxFixture()
    : ServerProcessFixture(QStringLiteral("nginx"), QStringLiteral("nginx-light"))
{
    QDir(folder()).mkpath(QStringLiteral("www"));
    QDir(folder()).mkpath(QStringLiteral("tmp"));
}

bool NginxFixture::start()
{
    const QString pidFile = filePath(QStringLiteral("nginx.pid"));
    const QString errorLog = filePath(QStringLiteral("error.log"));
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!ServerProcessFixture::start())
            return false;
        // The base class saw the plain port accept.  nginx writes its pid file
        // only once every listening socket is bound.  Should another process
        // hold one of the ports, nginx logs an [emerg] line and keeps trying
        // for a few seconds, the ports it did bind accepting all the while.
        const QDeadlineTimer deadline(30000);
        QByteArray log;
        while (!deadline.hasExpired()) {
            if (QFileInfo::exists(pidFile))
                return true;
            log = readAll(errorLog);
            if (log.contains("[emerg]"))
                break;
            QThread::msleep(10);
        }
        stop();
        setError(QStringLiteral("nginx did not bind its ports: %1")
                     .arg(QString::fromUtf8(log).trimmed()));
    }
    return startFailed();
}

QString NginxFixture::www() const
{
    return folder() + QStringLiteral("/www");
}

QString NginxFixture::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

QString NginxFixture::httpsUrl(const QString &path) const
{
    return QStringLiteral("https://127.0.0.1:%1%2").arg(m_tlsPort).arg(path);
}

QString NginxFixture::caFile() const
{
    return filePath(QStringLiteral("tls/ca.pem"));
}

void NginxFixture::enableTls()
{
    m_tls = true;
}

void NginxFixture::requireBasicAuth(const QString &locationPrefix, const QString &user,
                                    const QString &password, const QString &realm)
{
    for (AuthLocation &location : m_auth) {
        if (location.prefix == locationPrefix) {
            location.realm = realm;
            location.users.append({user, password});
            return;
        }
    }
    m_auth.append({locationPrefix, realm, {{user, password}}});
}

void NginxFixture::addServerConfig(const QString &snippet)
{
    m_snippets.append(snippet);
}

bool NginxFixture::runOpenssl(const QStringList &arguments, const QByteArray &input,
                              QByteArray *output)
{
    const QString openssl = findProgram(QStringLiteral("openssl"));
    if (openssl.isEmpty()) {
        setError(QStringLiteral("openssl is not installed (apt-get install openssl)"));
        return false;
    }
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Only our settings: the machine's openssl.cnf may add extensions of its own.
    env.insert(QStringLiteral("OPENSSL_CONF"), filePath(QStringLiteral("tls/openssl.cnf")));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(folder());
    p.start(openssl, arguments);
    if (!p.waitForStarted(30000)) {
        setError(QStringLiteral("openssl did not start: %1").arg(p.errorString()));
        return false;
    }
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(15000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        p.kill();
        setError(QStringLiteral("openssl %1 failed: %2")
                     .arg(arguments.value(0), QString::fromLocal8Bit(p.readAllStandardError())));
        return false;
    }
    if (output)
        *output = p.readAllStandardOutput();
    return true;
}

bool NginxFixture::makeCertificates()
{
    const QString tls = filePath(QStringLiteral("tls"));
    const QString caKey = tls + QStringLiteral("/ca.key");
    const QString serverKey = tls + QStringLiteral("/server.key");
    const QString serverCsr = tls + QStringLiteral("/server.csr");
    const QString serverPem = tls + QStringLiteral("/server.pem");
    // Made once per fixture: a restart keeps the CA the test already trusts.
    if (QFileInfo::exists(caFile()) && QFileInfo::exists(serverKey) && QFileInfo::exists(serverPem))
        return true;
    const QString config = tls + QStringLiteral("/openssl.cnf");
    if (!QDir().mkpath(tls) || !writeAll(config, kOpensslConfig)) {
        setError(QStringLiteral("cannot write %1").arg(config));
        return false;
    }
    const QStringList p256 = {QStringLiteral("-newkey"), QStringLiteral("EC"),
                              QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"),
                              QStringLiteral("-nodes")};
    const QString days = QStringLiteral("30");
    const QString serial = QStringLiteral("0x%1").arg(QRandomGenerator::global()->generate64() >> 1,
                                                      16, 16, QLatin1Char('0'));
    return runOpenssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509"),
                                  QStringLiteral("-config"), config, QStringLiteral("-extensions"),
                                  QStringLiteral("ca_ext"), QStringLiteral("-days"), days,
                                  QStringLiteral("-subj"), QStringLiteral("/CN=Kestrune Test CA"),
                                  QStringLiteral("-keyout"), caKey, QStringLiteral("-out"),
                                  caFile()}
                          + p256,
                      {}, nullptr)
           && runOpenssl(QStringList{QStringLiteral("req"), QStringLiteral("-new"),
                                     QStringLiteral("-config"), config, QStringLiteral("-subj"),
                                     QStringLiteral("/CN=Kestrune test server"),
                                     QStringLiteral("-keyout"), serverKey, QStringLiteral("-out"),
                                     serverCsr}
                             + p256,
                         {}, nullptr)
           && runOpenssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                          serverCsr, QStringLiteral("-CA"), caFile(), QStringLiteral("-CAkey"),
                          caKey, QStringLiteral("-set_serial"), serial, QStringLiteral("-days"),
                          days, QStringLiteral("-extfile"), config, QStringLiteral("-extensions"),
                          QStringLiteral("server_ext"), QStringLiteral("-out"), serverPem},
                         {}, nullptr);
}

// The location blocks: the fixture's own (/utf8/, /slow/) and one per
// authentication prefix.  nginx serves a request from the longest matching
// prefix alone, so a location nested in another repeats the outer one's
// settings that it does not set itself.
bool NginxFixture::locationsConfig(QString &text)
{
    // prefix -> directive name -> directive
    QMap<QString, QMap<QString, QString>> own;
    own[QStringLiteral("/utf8/")][QStringLiteral("charset")] = QStringLiteral("charset utf-8;");
    own[QStringLiteral("/slow/")][QStringLiteral("limit_rate")] = QStringLiteral("limit_rate 1m;");

    for (qsizetype i = 0; i < m_auth.size(); ++i) {
        const AuthLocation &location = m_auth.at(i);
        if (!location.prefix.startsWith(QLatin1Char('/')) || hasControlCharacter(location.prefix)) {
            setError(
                QStringLiteral("bad location prefix for authentication: %1").arg(location.prefix));
            return false;
        }
        // nginx reads '$' as the start of a variable, copies the realm into
        // the header's quoted string unescaped, and takes "off" as switching
        // authentication off.
        if (location.realm == QLatin1String("off") || location.realm.contains(QLatin1Char('$'))
            || location.realm.contains(QLatin1Char('"'))
            || location.realm.contains(QLatin1Char('\\')) || hasControlCharacter(location.realm)) {
            setError(QStringLiteral("nginx cannot announce the realm %1").arg(location.realm));
            return false;
        }
        QByteArray users;
        for (const auto &[user, password] : location.users) {
            if (user.contains(QLatin1Char(':')) || hasControlCharacter(user)
                || password.contains(QLatin1Char('\n')) || password.contains(QLatin1Char('\r'))) {
                setError(
                    QStringLiteral("cannot put the user %1 into an nginx password file").arg(user));
                return false;
            }
            // Apache's MD5 crypt, which nginx checks itself (it hands "$5$"
            // and "$6$" hashes to the C library's crypt(), which takes them
            // too).  The password goes in on stdin: as an argument, one
            // starting with '-' would read as an option.
            QByteArray hash;
            if (!runOpenssl({QStringLiteral("passwd"), QStringLiteral("-apr1"),
                             QStringLiteral("-stdin")},
                            password.toUtf8() + '\n', &hash))
                return false;
            users += user.toUtf8() + ':' + hash.trimmed() + '\n';
        }
        const QString userFile = filePath(QStringLiteral("htpasswd-%1").arg(i));
        if (!writeAll(userFile, users)) {
            setError(QStringLiteral("cannot write %1").arg(userFile));
            return false;
        }
        auto &directives = own[location.prefix];
        directives[QStringLiteral("auth_basic")] =
            QStringLiteral("auth_basic %1;").arg(quoted(location.realm));
        directives[QStringLiteral("auth_basic_user_file")] =
            QStringLiteral("auth_basic_user_file %1;").arg(quoted(userFile));
    }

    text.clear();
    for (auto it = own.cbegin(); it != own.cend(); ++it) {
        QStringList outer; // the prefixes this location lies in, itself last
        for (auto o = own.cbegin(); o != own.cend(); ++o) {
            if (it.key().startsWith(o.key()))
                outer.append(o.key());
        }
        std::sort(outer.begin(), outer.end(),
                  [](const QString &a, const QString &b) { return a.size() < b.size(); });
        QMap<QString, QString> effective;
        for (const QString &prefix : outer)
            effective.insert(own.value(prefix));
        text += QStringLiteral("    location %1 {").arg(quoted(it.key()));
        for (const QString &directive : std::as_const(effective))
            text += QLatin1Char(' ') + directive;
        text += QStringLiteral(" }\n");
    }
    return true;
}

bool NginxFixture::configure(quint16 port, QStringList &arguments)
{
    const QString d = folder();
    QString tls;
    m_tlsPort = 0;
    if (m_tls) {
        if (!makeCertificates())
            return false;
        for (int i = 0; i < 5 && (m_tlsPort == 0 || m_tlsPort == port); ++i)
            m_tlsPort = closedPort();
        if (m_tlsPort == 0 || m_tlsPort == port) {
            setError(QStringLiteral("no second free loopback port"));
            return false;
        }
        tls = QStringLiteral(
                  "    listen 127.0.0.1:%1 ssl%3;\n"
                  "    ssl_certificate %2/tls/server.pem;\n"
                  "    ssl_certificate_key %2/tls/server.key;\n")
                  .arg(m_tlsPort)
                  .arg(d, m_http2 ? QStringLiteral(" http2") : QString());
    }
    QString locations;
    if (!locationsConfig(locations))
        return false;
    QString snippets;
    for (const QString &snippet : std::as_const(m_snippets))
        snippets += QStringLiteral("    ") + snippet + QLatin1Char('\n');

    const QString conf = QStringLiteral(
                             "daemon off;\n"
                             "master_process off;\n"
                             "worker_processes 1;\n"
                             "error_log %1/error.log warn;\n"
                             "pid %1/nginx.pid;\n"
                             "events { worker_connections 256; }\n"
                             "http {\n"
                             "  log_format kestrune %3;\n"
                             "  access_log %1/access.log kestrune;\n"
                             "  client_body_temp_path %1/tmp/body;\n"
                             "  proxy_temp_path %1/tmp/proxy;\n"
                             "  fastcgi_temp_path %1/tmp/fastcgi;\n"
                             "  uwsgi_temp_path %1/tmp/uwsgi;\n"
                             "  scgi_temp_path %1/tmp/scgi;\n"
                             "  types { text/html html; text/plain log txt; }\n"
                             "  default_type application/octet-stream;\n"
                             "  sendfile on;\n"
                             "  keepalive_timeout 5;\n"
                             "  server {\n"
                             "    listen 127.0.0.1:%2;\n")
                             .arg(d)
                             .arg(port)
                             .arg(QLatin1String(kLogFormat))
                         + tls
                         + QStringLiteral(
                               "    server_name localhost;\n"
                               "    root %1/www;\n")
                               .arg(d)
                         + locations + snippets
                         + QStringLiteral(
                             "  }\n"
                             "}\n");
    const QString confPath = d + QStringLiteral("/nginx.conf");
    if (!writeAll(confPath, conf.toUtf8())) {
        setError(QStringLiteral("cannot write %1").arg(confPath));
        return false;
    }
    arguments = {QStringLiteral("-p"), d,
                 QStringLiteral("-e"), d + QStringLiteral("/error.log"),
                 QStringLiteral("-c"), confPath};
    if (!m_snippets.isEmpty()
        && !configurationAccepted(QStringList{QStringLiteral("-t"), QStringLiteral("-q")}
                                  + arguments))
        return false;
    QFile::remove(d + QStringLiteral("/access.log"));
    // start() waits for the new pid file, or an error in the new log.
    QFile::remove(d + QStringLiteral("/nginx.pid"));
    QFile::remove(d + QStringLiteral("/error.log"));
    return true;
}

bool NginxFixture::writeFile(const QString &relative, const QByteArray &bytes) const
{
    const QString p = path(relative);
    QDir().mkpath(QFileInfo(p).absolutePath());
    return writeAll(p, bytes);
}

bool NginxFixture::appendFile(const QString &relative, const QByteArray &bytes) const
{
    QFile f(path(relative));
    return f.open(QIODevice::WriteOnly | QIODevice::Append) && f.write(bytes) == bytes.size();
}

bool NginxFixture::removeFile(const QString &relative) const
{
    return QFile::remove(path(relative));
}

QString NginxFixture::accessLog() const
{
    return QString::fromUtf8(readAll(folder() + QStringLiteral("/access.log")));
}

QStringList NginxFixture::requestLines() const
{
    static const QRegularExpression request(QStringLiteral("\"([A-Z]+ [^\"]* HTTP/[0-9.]+)\""));
    QStringList lines;
    for (const QString &line : accessLog().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const auto m = request.match(line);
        if (m.hasMatch())
            lines.append(m.captured(1));
    }
    return lines;
}

QList<NginxFixture::AccessEntry> NginxFixture::accessEntries() const
{
    // The first quoted field after the time is the request line; nginx
    // escapes '"' inside fields, so "[^"]*" cannot run past one.
    static const QRegularExpression entry(
        QStringLiteral("^.*?\\] \"([^\"]*)\" (\\d+) \\d+ \"[^\"]*\" \"[^\"]*\" "
                       "conn=(\\d+) req=(\\d+) sent=(\\d+) scheme=(\\w+) user=\"([^\"]*)\" "
                       "range=\"([^\"]*)\" port=(\\d+)$"));
    QList<AccessEntry> entries;
    for (const QString &line : accessLog().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const auto m = entry.match(line);
        if (!m.hasMatch())
            continue;
        AccessEntry e;
        e.requestLine = unescapeLogField(m.captured(1));
        e.status = m.captured(2).toInt();
        e.connection = m.captured(3).toLongLong();
        e.connectionRequests = m.captured(4).toInt();
        e.bytesSent = m.captured(5).toLongLong();
        e.scheme = m.captured(6);
        const QString user = m.captured(7);
        e.remoteUser = user == QLatin1String("-") ? QString() : unescapeLogField(user);
        const QString range = m.captured(8);
        e.range = range == QLatin1String("-") ? QString() : unescapeLogField(range);
        e.remotePort = quint16(m.captured(9).toUInt());
        entries.append(e);
    }
    return entries;
}

int NginxFixture::distinctConnections() const
{
    QSet<qint64> connections;
    for (const AccessEntry &e : accessEntries())
        connections.insert(e.connection);
    return int(connections.size());
}

void NginxFixture::clearAccessLog() const
{
    // nginx keeps the file open in append mode; emptying it in place keeps
    // the later lines coming into the same file.
    QFile f(folder() + QStringLiteral("/access.log"));
    if (f.open(QIODevice::ReadWrite))
        f.resize(0);
}
