#include "base/transfer/Credentials.h"

#include <QHash>
#include <QMutex>
#include <QRegularExpression>

namespace kestrune::transfer {

namespace {

struct Store {
    QHash<QString, Credentials> servers; // "scheme://host:port"
    QHash<QString, Credentials> proxies; // "host:port"
    QHash<QString, bool> basicOnly;      // "scheme://host:port"
    bool netrc = false;
};

Store &store()
{
    static Store s;
    return s;
}

// The store is read by every request, from whichever thread makes it.
QMutex &storeLock()
{
    static QMutex lock;
    return lock;
}

QString proxyKey(const QString &host, quint16 port)
{
    return QStringLiteral("%1:%2").arg(host.toLower()).arg(port);
}

} // namespace

QString OriginKey(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    const int port = url.port(scheme == QLatin1String("https") ? 443 : 80);
    return QStringLiteral("%1://%2:%3").arg(scheme, url.host().toLower()).arg(port);
}

void RememberServerLogin(const QUrl &url, const Credentials &credentials)
{
    const QMutexLocker locker(&storeLock());
    store().servers.insert(OriginKey(url), credentials);
}

void ForgetServerLogin(const QUrl &url)
{
    const QMutexLocker locker(&storeLock());
    store().servers.remove(OriginKey(url));
}

std::optional<Credentials> ServerLoginFor(const QUrl &url)
{
    const QMutexLocker locker(&storeLock());
    const auto server = store().servers.constFind(OriginKey(url));
    if (server == store().servers.constEnd())
        return std::nullopt;
    return *server;
}

void RememberProxyLogin(const QString &host, quint16 port, const Credentials &credentials)
{
    const QMutexLocker locker(&storeLock());
    store().proxies.insert(proxyKey(host, port), credentials);
}

void ForgetProxyLogin(const QString &host, quint16 port)
{
    const QMutexLocker locker(&storeLock());
    store().proxies.remove(proxyKey(host, port));
}

std::optional<Credentials> ProxyLoginFor(const QString &host, quint16 port)
{
    const QMutexLocker locker(&storeLock());
    const auto proxy = store().proxies.constFind(proxyKey(host, port));
    if (proxy == store().proxies.constEnd())
        return std::nullopt;
    return *proxy;
}

void NoteServerAuthSchemes(const QUrl &url, bool basicOnly)
{
    const QMutexLocker locker(&storeLock());
    store().basicOnly.insert(OriginKey(url), basicOnly);
}

bool ServerTakesBasicOnly(const QUrl &url)
{
    const QMutexLocker locker(&storeLock());
    return store().basicOnly.value(OriginKey(url), false);
}

void SetUseNetrc(bool use)
{
    const QMutexLocker locker(&storeLock());
    store().netrc = use;
}

bool UseNetrc()
{
    const QMutexLocker locker(&storeLock());
    return store().netrc;
}

QString HidePasswords(const QString &text)
{
    if (!text.contains(QLatin1Char('@')))
        return text;
    // scheme "://" user ":" password "@": the authority runs to the first
    // "/", and its last "@" ends the password; the user name may hold an
    // "@" of its own.
    static const QRegularExpression login(
        QStringLiteral("([A-Za-z][A-Za-z0-9+.-]*://[^/?#\\s:]*):[^/?#\\s]*@"));
    QString shown = text;
    shown.replace(login, QStringLiteral("\\1:***@"));
    return shown;
}

std::optional<PasswordSpan> AddressPasswordSpan(QByteArrayView address)
{
    qsizetype start = address.indexOf(QByteArrayView("://"));
    start = start < 0 ? 0 : start + 3;
    const QByteArrayView rest = address.sliced(start);
    // The authority ends at the first "/", "?" or "#"; its last "@" ends the
    // login.
    qsizetype end = 0;
    while (end < rest.size() && rest[end] != '/' && rest[end] != '?' && rest[end] != '#')
        ++end;
    qsizetype at = rest.first(end).lastIndexOf('@');
    const qsizetype colon = rest.indexOf(':');
    if (colon < 0)
        return std::nullopt;
    if (at < 0) {
        // A password holding a raw "/", "?" or "#" cuts the authority short:
        // "user:pa/ss@host".  What follows the ":" is a port only when it is
        // all digits up to that cut.
        at = rest.lastIndexOf('@');
        if (at < 0 || colon > end)
            return std::nullopt;
        bool port = colon + 1 < end;
        for (qsizetype i = colon + 1; i < end; ++i)
            port = port && rest[i] >= '0' && rest[i] <= '9';
        if (port)
            return std::nullopt;
    }
    if (colon > at)
        return std::nullopt;
    return PasswordSpan{start + colon + 1, at - colon - 1};
}

QString HideAddressPassword(const QString &address)
{
    const QByteArray bytes = address.toUtf8();
    const std::optional<PasswordSpan> span = AddressPasswordSpan(bytes);
    if (!span)
        return address;
    return QString::fromUtf8(bytes.first(span->from)) + QStringLiteral("***")
           + QString::fromUtf8(bytes.sliced(span->from + span->length));
}

void ForgetAllLogins()
{
    const QMutexLocker locker(&storeLock());
    Store &s = store();
    s.servers.clear();
    s.proxies.clear();
    s.basicOnly.clear();
    s.netrc = false;
}

} // namespace kestrune::transfer
