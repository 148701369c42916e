#include "base/transfer/Credentials.h"

#include <QHash>
#include <QMutex>
#include <QRegularExpression>

namespace kestrune::transfer {

namespace {

struct HostLogin {
    bool includeHttp = false;
    Credentials credentials;
};

struct Store {
    QHash<QString, Credentials> servers; // "scheme://host:port"
    QHash<QString, HostLogin> hosts;     // host
    QHash<QString, Credentials> proxies; // "host:port"
    std::optional<Credentials> anyProxy;
    QHash<QString, bool> basicOnly; // "scheme://host:port"
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

QString originKey(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    const int port = url.port(scheme == QLatin1String("https") ? 443 : 80);
    return QStringLiteral("%1://%2:%3").arg(scheme, url.host().toLower()).arg(port);
}

QString proxyKey(const QString &host, quint16 port)
{
    return QStringLiteral("%1:%2").arg(host.toLower()).arg(port);
}

} // namespace

void RememberServerLogin(const QUrl &url, const Credentials &credentials)
{
    const QMutexLocker locker(&storeLock());
    store().servers.insert(originKey(url), credentials);
}

void RememberHostLogin(const QString &host, bool includeHttp, const Credentials &credentials)
{
    const QMutexLocker locker(&storeLock());
    store().hosts.insert(host.toLower(), HostLogin{includeHttp, credentials});
}

void ForgetServerLogin(const QUrl &url)
{
    const QMutexLocker locker(&storeLock());
    store().servers.remove(originKey(url));
}

std::optional<Credentials> ServerLoginFor(const QUrl &url)
{
    const QMutexLocker locker(&storeLock());
    const auto server = store().servers.constFind(originKey(url));
    if (server != store().servers.constEnd())
        return *server;
    const auto host = store().hosts.constFind(url.host().toLower());
    if (host == store().hosts.constEnd())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https") || (scheme == QLatin1String("http") && host->includeHttp))
        return host->credentials;
    return std::nullopt;
}

void RememberProxyLogin(const QString &host, quint16 port, const Credentials &credentials)
{
    const QMutexLocker locker(&storeLock());
    store().proxies.insert(proxyKey(host, port), credentials);
}

void RememberAnyProxyLogin(const Credentials &credentials)
{
    const QMutexLocker locker(&storeLock());
    store().anyProxy = credentials;
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
    if (proxy != store().proxies.constEnd())
        return *proxy;
    return store().anyProxy;
}

void NoteServerAuthSchemes(const QUrl &url, bool basicOnly)
{
    const QMutexLocker locker(&storeLock());
    store().basicOnly.insert(originKey(url), basicOnly);
}

bool ServerTakesBasicOnly(const QUrl &url)
{
    const QMutexLocker locker(&storeLock());
    return store().basicOnly.value(originKey(url), false);
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
    // "/", and its last "@" ends the password.
    static const QRegularExpression login(
        QStringLiteral("([A-Za-z][A-Za-z0-9+.-]*://[^/?#\\s:@]*):[^/?#\\s]*@"));
    QString shown = text;
    shown.replace(login, QStringLiteral("\\1:***@"));
    return shown;
}

void ForgetAllLogins()
{
    const QMutexLocker locker(&storeLock());
    Store &s = store();
    s.servers.clear();
    s.hosts.clear();
    s.proxies.clear();
    s.anyProxy.reset();
    s.basicOnly.clear();
    s.netrc = false;
}

} // namespace kestrune::transfer
