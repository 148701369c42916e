#include "transfer/HttpExchange.h"

#include "transfer/ProxySetting.h"

#include <QTcpSocket>
#if QT_CONFIG(ssl)
#include <QSslSocket>
#endif

#include <algorithm>

namespace transfer {

namespace {

constexpr int kMaxRedirects = 50;
constexpr qint64 kMaxHeadSize = 64 * 1024; // status line and headers together
constexpr qint64 kMaxFramingLine = 4096;   // a chunk-size or trailer line

bool isHttpScheme(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool isHttps(const QUrl &url)
{
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

QByteArray hostForHeader(const QUrl &url)
{
    QByteArray host = url.host(QUrl::EncodeUnicode).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    const int defaultPort = isHttps(url) ? 443 : 80;
    if (url.port() != -1 && url.port() != defaultPort)
        host += ':' + QByteArray::number(url.port());
    return host;
}

QByteArray originForm(const QUrl &url)
{
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    return target;
}

// A Content-Length value: decimal digits, possibly repeated as a
// comma-separated list of equal values; -1 when it is anything else.
qint64 parseContentLength(const QList<QByteArray> &values)
{
    qint64 result = -1;
    for (const QByteArray &value : values) {
        for (const QByteArray &part : value.split(',')) {
            const QByteArray digits = part.trimmed();
            if (digits.isEmpty() || digits.size() > 18)
                return -1;
            for (char c : digits) {
                if (c < '0' || c > '9')
                    return -1;
            }
            const qint64 length = digits.toLongLong();
            if (result >= 0 && length != result)
                return -1;
            result = length;
        }
    }
    return result;
}

} // namespace

HttpExchange::HttpExchange(QObject *parent) : QObject(parent) {}

HttpExchange::~HttpExchange()
{
    abort();
}

bool HttpExchange::start(const QUrl &url, const QString &strProxy, qint64 readBufferSize)
{
    if (!url.isValid() || !isHttpScheme(url) || url.host().isEmpty())
        return false;
    m_proxyText = strProxy;
    m_readBufferSize = readBufferSize;
    m_url = url;
    return connectTo(url);
}

bool HttpExchange::connectTo(const QUrl &url)
{
    const std::optional<QNetworkProxy> proxy = ProxyForRequest(m_proxyText, url);
    if (!proxy)
        return false;
    const bool https = isHttps(url);
#if QT_CONFIG(ssl)
    if (https && !QSslSocket::supportsSsl())
        return false;
    QTcpSocket *socket = https ? new QSslSocket(this) : new QTcpSocket(this);
#else
    if (https)
        return false;
    QTcpSocket *socket = new QTcpSocket(this);
#endif
    socket->setReadBufferSize(m_readBufferSize);

    QString connectHost = url.host(QUrl::EncodeUnicode);
    quint16 connectPort = quint16(url.port(https ? 443 : 80));
    QByteArray target = originForm(url);
    const bool httpProxy = proxy->type() == QNetworkProxy::HttpProxy
                           || proxy->type() == QNetworkProxy::HttpCachingProxy;
    if (httpProxy && !https) {
        // A plain request goes to the proxy itself, naming the whole URL.
        socket->setProxy(QNetworkProxy::NoProxy);
        connectHost = proxy->hostName();
        connectPort = proxy->port();
        target = url.adjusted(QUrl::RemoveUserInfo | QUrl::RemoveFragment).toEncoded();
        if (url.path().isEmpty())
            target += '/';
    } else if (httpProxy) {
        socket->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, proxy->hostName(),
                                       proxy->port())); // a CONNECT tunnel
    } else if (proxy->type() == QNetworkProxy::Socks5Proxy) {
        socket->setProxy(*proxy);
    } else {
        socket->setProxy(QNetworkProxy::NoProxy);
    }

    const QByteArray request = "GET " + target + " HTTP/1.1\r\n"
                               "Host: " + hostForHeader(url) + "\r\n"
                               "User-Agent: WinInet Test\r\n"
                               "Accept: */*\r\n"
                               "Accept-Encoding: identity\r\n"
                               "Cache-Control: no-cache\r\n"
                               "Pragma: no-cache\r\n"
                               "Connection: close\r\n"
                               "\r\n";

    m_socket = socket;
    m_state = State::Head;
    m_headBuffer.clear();
    m_status = 0;
    m_headers.clear();
    m_contentLength = -1;
    m_framing = Framing::None;
    m_peerClosed = false;
    m_connectionBroken = false;

    connect(socket, &QTcpSocket::readyRead, this, &HttpExchange::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &HttpExchange::onDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &HttpExchange::onError);
#if QT_CONFIG(ssl)
    if (https) {
        auto *ssl = static_cast<QSslSocket *>(socket);
        connect(ssl, &QSslSocket::encrypted, this, [ssl, request] { ssl->write(request); });
        ssl->connectToHostEncrypted(connectHost, connectPort);
        return true;
    }
#endif
    connect(socket, &QTcpSocket::connected, this, [socket, request] { socket->write(request); });
    socket->connectToHost(connectHost, connectPort);
    return true;
}

void HttpExchange::abort()
{
    if (!m_socket)
        return;
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

QByteArray HttpExchange::header(const QByteArray &name) const
{
    for (const auto &h : m_headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

qint64 HttpExchange::bytesBuffered() const
{
    return m_socket ? m_socket->bytesAvailable() : 0;
}

void HttpExchange::onReadyRead()
{
    if (m_state == State::Head)
        parseHead();
    Q_EMIT progressed();
}

void HttpExchange::onDisconnected()
{
    m_peerClosed = true;
    if (m_state == State::Head) {
        parseHead();
        if (m_state == State::Head)
            fail(); // closed before the answer was complete
    }
    Q_EMIT progressed();
}

void HttpExchange::onError()
{
    if (!m_socket)
        return;
    // A normal close shows as RemoteHostClosedError too.  Either way, what is
    // buffered is still read; the framing decides whether the body is whole.
    m_peerClosed = true;
    if (m_socket->error() != QAbstractSocket::RemoteHostClosedError)
        m_connectionBroken = true;
    if (m_state == State::Head) {
        parseHead();
        if (m_state == State::Head)
            fail();
    }
    Q_EMIT progressed();
}

void HttpExchange::parseHead()
{
    while (m_state == State::Head && m_socket && m_socket->canReadLine()) {
        const QByteArray line = m_socket->readLine(kMaxHeadSize);
        m_headBuffer += line;
        if (m_headBuffer.size() > kMaxHeadSize) {
            fail();
            return;
        }
        const QByteArray text = line.endsWith("\r\n") ? line.chopped(2) : line.chopped(1);
        if (m_status == 0 && text.isEmpty())
            continue; // stray line ends before the status line
        if (m_status == 0) {
            // "HTTP/1.1 200 OK"
            const QList<QByteArray> parts = text.split(' ');
            bool ok = false;
            const int status = parts.value(1).toInt(&ok);
            if (!text.startsWith("HTTP/") || !ok || status < 100 || status > 999) {
                fail();
                return;
            }
            m_status = status;
            continue;
        }
        if (!text.isEmpty()) {
            if ((text.startsWith(' ') || text.startsWith('\t')) && !m_headers.isEmpty()) {
                m_headers.last().second += ' ' + text.trimmed(); // folded line
                continue;
            }
            const int colon = text.indexOf(':');
            if (colon <= 0) {
                fail();
                return;
            }
            m_headers.append({text.left(colon).trimmed(), text.mid(colon + 1).trimmed()});
            continue;
        }

        // The end of one answer's head.
        if (m_status >= 100 && m_status < 200 && m_status != 101) {
            m_status = 0; // an interim answer; the real one follows
            m_headers.clear();
            m_headBuffer.clear();
            continue;
        }
        const QByteArray location = header("Location");
        const bool redirect = m_status == 301 || m_status == 302 || m_status == 303
                              || m_status == 307 || m_status == 308;
        if (redirect && !location.isEmpty() && m_redirects < kMaxRedirects) {
            const QUrl next = m_url.resolved(QUrl(QString::fromUtf8(location)));
            // Followed as a browser does, but never from https down to http.
            if (next.isValid() && isHttpScheme(next) && !next.host().isEmpty()
                && !(isHttps(m_url) && !isHttps(next))) {
                ++m_redirects;
                abort();
                m_url = next;
                if (!connectTo(next))
                    fail();
                return;
            }
        }
        beginBody();
        return;
    }
    if (m_state == State::Head && m_socket
        && m_headBuffer.size() + m_socket->bytesAvailable() > kMaxHeadSize)
        fail();
}

bool HttpExchange::beginBody()
{
    m_state = State::Body;
    const QByteArray transferEncoding = header("Transfer-Encoding").trimmed().toLower();
    QList<QByteArray> lengths;
    for (const auto &h : m_headers) {
        if (h.first.compare("Content-Length", Qt::CaseInsensitive) == 0)
            lengths.append(h.second);
    }
    if ((m_status >= 100 && m_status < 200) || m_status == 204 || m_status == 304) {
        m_framing = Framing::None;
        finish();
    } else if (!transferEncoding.isEmpty()) {
        const QList<QByteArray> codings = transferEncoding.split(',');
        m_framing = codings.last().trimmed() == "chunked" ? Framing::Chunked : Framing::UntilClose;
        m_chunkStep = ChunkStep::Size;
        m_remaining = 0;
    } else if (!lengths.isEmpty()) {
        m_contentLength = parseContentLength(lengths);
        if (m_contentLength < 0) {
            fail(); // a length that frames nothing: the body cannot be trusted
            return false;
        }
        m_framing = Framing::Length;
        m_remaining = m_contentLength;
        if (m_remaining == 0)
            finish();
    } else {
        m_framing = Framing::UntilClose;
    }
    return true;
}

bool HttpExchange::socketAtEnd() const
{
    return !m_socket
           || ((m_peerClosed || m_socket->state() == QAbstractSocket::UnconnectedState)
               && m_socket->bytesAvailable() <= 0);
}

// Consumes chunk-size lines, the line ends after chunk data and the trailer.
// True when chunk data can be read now; false when more input is needed or
// the body has ended (finished() or failed() tell which).
bool HttpExchange::advanceChunkFraming()
{
    for (;;) {
        if (m_chunkStep == ChunkStep::Data)
            return true;
        if (!m_socket->canReadLine()) {
            if (m_socket->bytesAvailable() > kMaxFramingLine || socketAtEnd())
                fail(); // a framing line that never ends, or the body cut short
            return false;
        }
        const QByteArray line = m_socket->readLine(kMaxFramingLine + 2).trimmed();
        switch (m_chunkStep) {
        case ChunkStep::Size: {
            const qsizetype extension = line.indexOf(';');
            const QByteArray size = (extension < 0 ? line : line.left(extension)).trimmed();
            bool ok = !size.isEmpty() && size.size() <= 15;
            const qint64 length = ok ? size.toLongLong(&ok, 16) : 0;
            if (!ok || length < 0) {
                fail();
                return false;
            }
            if (length == 0) {
                m_chunkStep = ChunkStep::Trailer;
            } else {
                m_remaining = length;
                m_chunkStep = ChunkStep::Data;
            }
            break;
        }
        case ChunkStep::DataEnd:
            if (!line.isEmpty()) {
                fail();
                return false;
            }
            m_chunkStep = ChunkStep::Size;
            break;
        case ChunkStep::Trailer:
            if (line.isEmpty()) {
                finish();
                return false;
            }
            break; // a trailer field: not needed
        case ChunkStep::Data:
            break;
        }
    }
}

qint64 HttpExchange::read(char *data, qint64 maxSize)
{
    if (m_state != State::Body || !m_socket || maxSize <= 0)
        return 0;
    qint64 total = 0;
    while (total < maxSize && m_state == State::Body) {
        qint64 want = maxSize - total;
        if (m_framing == Framing::Chunked) {
            if (!advanceChunkFraming())
                break;
            want = std::min(want, m_remaining);
        } else if (m_framing == Framing::Length) {
            want = std::min(want, m_remaining);
        }
        const qint64 n = m_socket->read(data + total, want);
        if (n < 0 && !socketAtEnd()) {
            fail();
            break;
        }
        if (n <= 0)
            break; // nothing buffered now, or the connection is over
        total += n;
        if (m_framing == Framing::Length) {
            m_remaining -= n;
            if (m_remaining == 0)
                finish();
        } else if (m_framing == Framing::Chunked) {
            m_remaining -= n;
            if (m_remaining == 0)
                m_chunkStep = ChunkStep::DataEnd;
        }
    }
    if (total == 0 && m_state == State::Body && socketAtEnd()) {
        // The connection is over and nothing is left to read.  Only a body
        // without length or chunks ends this way; any other is cut short.
        if (m_framing == Framing::UntilClose && !m_connectionBroken)
            finish();
        else
            fail();
    }
    return total;
}

void HttpExchange::fail()
{
    m_state = State::Failed;
    abort();
    Q_EMIT progressed();
}

void HttpExchange::finish()
{
    m_state = State::Done;
    abort();
    Q_EMIT progressed();
}

} // namespace transfer
