#include "base/transfer/ProxySetting.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>

namespace kestrune::transfer {

namespace {

std::optional<quint16> parsePort(QStringView text)
{
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    const int port = text.toInt();
    if (port < 1 || port > 65535)
        return std::nullopt;
    return quint16(port);
}

bool isValidHostName(const QString &host)
{
    if (host.isEmpty())
        return false;
    for (QChar c : host) {
        if (c.isSpace() || c == u'/' || c == u'@' || c == u'?' || c == u'#' || c == u'\\'
            || c == u'[' || c == u']' || c == u':' || c == u'=')
            return false;
    }
    QUrl probe;
    probe.setScheme(QStringLiteral("http"));
    probe.setHost(host, QUrl::StrictMode);
    return probe.isValid() && !probe.host().isEmpty();
}

// One proxy: "host", "host:port", "[ipv6]", "[ipv6]:port" or a bare IPv6
// address, optionally with "http://" before and "/" after.
std::optional<QNetworkProxy> parseProxy(QString text)
{
    if (text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
        text = text.mid(7);
    if (text.endsWith(u'/'))
        text.chop(1);
    if (text.isEmpty())
        return std::nullopt;

    QString host;
    quint16 port = 80;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        host = text.mid(1, close - 1);
        const QStringView rest = QStringView(text).mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return std::nullopt;
            const auto p = parsePort(rest.mid(1));
            if (!p)
                return std::nullopt;
            port = *p;
        }
        QHostAddress address;
        if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
    } else {
        const qsizetype colons = text.count(u':');
        if (colons == 0) {
            host = text;
        } else if (colons == 1) {
            const qsizetype colon = text.indexOf(u':');
            host = text.left(colon);
            const auto p = parsePort(QStringView(text).mid(colon + 1));
            if (!p)
                return std::nullopt;
            port = *p;
        } else {
            // A bare IPv6 address; a port would need the brackets.
            QHostAddress address;
            if (!address.setAddress(text) || address.protocol() != QAbstractSocket::IPv6Protocol)
                return std::nullopt;
            host = text;
        }
        if (colons <= 1 && !isValidHostName(host))
            return std::nullopt;
    }
    return QNetworkProxy(QNetworkProxy::HttpProxy, host, port);
}

bool isSchemeName(QStringView name)
{
    if (name.isEmpty()
        || !((name[0] >= u'a' && name[0] <= u'z') || (name[0] >= u'A' && name[0] <= u'Z')))
        return false;
    for (QChar c : name) {
        if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
              || c == u'+' || c == u'-' || c == u'.'))
            return false;
    }
    return true;
}

// One entry of a list: a proxy, or "scheme=" and a proxy.
std::optional<ProxyList::Entry> parseEntry(const QString &text)
{
    ProxyList::Entry entry;
    QString proxyText = text;
    if (const qsizetype eq = text.indexOf(u'='); eq >= 0) {
        if (!isSchemeName(QStringView(text).left(eq)))
            return std::nullopt;
        entry.scheme = text.left(eq).toLower();
        proxyText = text.mid(eq + 1);
    }
    const std::optional<QNetworkProxy> proxy = parseProxy(proxyText);
    if (!proxy)
        return std::nullopt;
    entry.proxy = *proxy;
    return entry;
}

} // namespace

std::optional<QNetworkProxy> ProxyList::forScheme(const QString &scheme) const
{
    for (const Entry &entry : entries) {
        if (entry.scheme.isEmpty() || entry.scheme.compare(scheme, Qt::CaseInsensitive) == 0)
            return entry.proxy;
    }
    return std::nullopt;
}

std::optional<ProxyList> ParseProxySetting(const QString &strProxy)
{
    ProxyList list;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= strProxy.size(); ++i) {
        if (i < strProxy.size() && strProxy.at(i) != u';' && !strProxy.at(i).isSpace())
            continue;
        if (i > start) {
            const std::optional<ProxyList::Entry> entry = parseEntry(
                strProxy.mid(start, i - start));
            if (!entry)
                return std::nullopt;
            list.entries.append(*entry);
        }
        start = i + 1;
    }
    if (list.entries.isEmpty())
        return std::nullopt;
    return list;
}

namespace {

// What the system said for a scheme, host and port.  Asking costs a round
// through the platform's proxy library (a worker thread, or a PAC script),
// as much as a whole request on a fast network; the answer is kept for a
// while, and for as long as the proxy variables of the environment stay.
struct SystemAnswer {
    QNetworkProxy proxy;
    QElapsedTimer age;
};
constexpr qint64 kSystemAnswerLifeMs = 30000;

QByteArray proxyEnvironment()
{
    QByteArray all;
    for (const char *name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY",
                             "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"})
        all += qgetenv(name) + '\n';
    return all;
}

// The proxy variable that names url's proxy, in the order curl and wget
// read them: "<scheme>_proxy" (for https also in capitals), then all_proxy.
QByteArray proxyVariableFor(const QUrl &url)
{
    const QByteArray scheme = url.scheme().toLower().toLatin1();
    QList<QByteArray> names{scheme + "_proxy"};
    if (scheme != "http") // HTTP_PROXY is left alone: a CGI program gets it from the request
        names.append(scheme.toUpper() + "_PROXY");
    names.append({"all_proxy", "ALL_PROXY"});
    for (const QByteArray &name : names) {
        const QByteArray value = qgetenv(name.constData()).trimmed();
        if (!value.isEmpty())
            return value;
    }
    return {};
}

// Whether no_proxy names url's host: "*", the host itself, or a domain it
// is in ("example.com" and ".example.com" both take www.example.com).
bool exemptFromProxy(const QUrl &url)
{
    QByteArray list = qgetenv("no_proxy");
    if (list.trimmed().isEmpty())
        list = qgetenv("NO_PROXY");
    const QString host = url.host().toLower();
    for (const QByteArray &item : list.split(',')) {
        QString entry = QString::fromLatin1(item.trimmed()).toLower();
        if (entry == u'*')
            return true;
        if (entry.startsWith(u'.'))
            entry.remove(0, 1);
        if (!entry.isEmpty() && (host == entry || host.endsWith(u'.' + entry)))
            return true;
    }
    return false;
}

// A "socks5h://" proxy (curl's spelling for SOCKS5 with the names resolved
// by the proxy) in the variables.  The platform's proxy library does not
// know that scheme and answers "no proxy" for it; going direct would send
// the requests around the proxy the operator named.
std::optional<QNetworkProxy> socksProxyOfEnvironment(const QUrl &url)
{
    const QUrl proxy(QString::fromLocal8Bit(proxyVariableFor(url)), QUrl::StrictMode);
    if (!proxy.isValid() || proxy.scheme().compare(QLatin1String("socks5h"), Qt::CaseInsensitive)
        || proxy.host().isEmpty() || exemptFromProxy(url))
        return std::nullopt;
    return QNetworkProxy(QNetworkProxy::Socks5Proxy, proxy.host(), quint16(proxy.port(1080)),
                         proxy.userName(), proxy.password());
}

QNetworkProxy askSystem(const QUrl &url)
{
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(
        QNetworkProxyQuery(url));
    for (const QNetworkProxy &proxy : proxies) {
        // A SOCKS or HTTP proxy serves a plain request; a caching-only or
        // FTP proxy does not, and DefaultProxy here means "nothing set".
        if (proxy.type() == QNetworkProxy::HttpProxy || proxy.type() == QNetworkProxy::Socks5Proxy)
            return proxy;
        if (proxy.type() == QNetworkProxy::NoProxy)
            break;
    }
    return socksProxyOfEnvironment(url).value_or(QNetworkProxy(QNetworkProxy::NoProxy));
}

} // namespace

std::optional<QNetworkProxy> ProxyForRequest(const QString &strProxy, const QUrl &url)
{
    if (!strProxy.isEmpty()) {
        const std::optional<ProxyList> list = ParseProxySetting(strProxy);
        if (!list)
            return std::nullopt;
        if (std::optional<QNetworkProxy> proxy = list->forScheme(url.scheme()))
            return proxy;
        // No entry for this scheme: the system decides, as for an empty text.
    }
    thread_local QHash<QString, SystemAnswer> answers; // each thread its own: no lock
    const QString key = QStringLiteral("%1://%2:%3\n")
                            .arg(url.scheme().toLower(), url.host().toLower())
                            .arg(url.port(-1))
                        + QString::fromLocal8Bit(proxyEnvironment());
    auto it = answers.find(key);
    if (it == answers.end() || it->age.hasExpired(kSystemAnswerLifeMs)) {
        if (answers.size() > 256)
            answers.clear();
        SystemAnswer answer{askSystem(url), {}};
        answer.age.start();
        it = answers.insert(key, answer);
    }
    return it->proxy;
}

} // namespace kestrune::transfer
