#include "TestHttpServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMap>
#include <QMetaObject>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>

namespace {

constexpr qint64 kPiece = 64 * 1024;           // bytes handed to the socket at a time
constexpr qint64 kWriteHighWater = 256 * 1024; // the socket's write buffer stays below this
constexpr int kMaxRequestHead = 64 * 1024;
constexpr qint64 kPatternPeriod = 65521;

const QByteArray &patternTable()
{
    static const QByteArray table = [] {
        QByteArray t(kPatternPeriod, Qt::Uninitialized);
        quint32 x = 0x9E3779B9u;
        for (qint64 i = 0; i < kPatternPeriod; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            t[i] = char(x >> 24);
        }
        return t;
    }();
    return table;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// The path part of a request target; an absolute-form target (as sent to a
// proxy) loses its scheme and authority.
QByteArray originForm(const QByteArray &target)
{
    const int schemeEnd = target.indexOf("://");
    if (schemeEnd > 0 && !target.startsWith('/')) {
        const int pathStart = target.indexOf('/', schemeEnd + 3);
        return pathStart < 0 ? QByteArray("/") : target.mid(pathStart);
    }
    return target;
}

QByteArray md5Hex(const QByteArray &text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

// 128 random bits as 32 hex digits.
QByteArray randomHex()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex();
}

// text as an HTTP quoted-string.
QByteArray quotedString(QByteArray text)
{
    text.replace('\\', "\\\\");
    text.replace('"', "\\\"");
    return '"' + text + '"';
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

// The auth-params after the scheme ("realm=\"a\", nc=00000001, ..."), names
// lower-cased, quoted values unquoted.  None when the text is malformed or
// names a parameter twice.
std::optional<QMap<QByteArray, QByteArray>> authParams(const QByteArray &text)
{
    QMap<QByteArray, QByteArray> params;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (true) {
        while (i < n && (isSpace(text.at(i)) || text.at(i) == ','))
            ++i;
        if (i == n)
            return params;
        const qsizetype eq = text.indexOf('=', i);
        if (eq < 0)
            return std::nullopt;
        const QByteArray name = text.mid(i, eq - i).trimmed().toLower();
        if (name.isEmpty() || params.contains(name))
            return std::nullopt;
        i = eq + 1;
        while (i < n && isSpace(text.at(i)))
            ++i;
        QByteArray value;
        if (i < n && text.at(i) == '"') {
            for (++i;; ++i) {
                if (i == n)
                    return std::nullopt; // unterminated
                const char c = text.at(i);
                if (c == '"')
                    break;
                if (c == '\\') {
                    if (++i == n)
                        return std::nullopt;
                }
                value += text.at(i);
            }
            ++i; // the closing quote
            while (i < n && isSpace(text.at(i)))
                ++i;
            if (i < n && text.at(i) != ',')
                return std::nullopt;
        } else {
            const qsizetype comma = text.indexOf(',', i);
            const qsizetype end = comma < 0 ? n : comma;
            value = text.mid(i, end - i).trimmed();
            i = end;
        }
        params.insert(name, value);
    }
}

// The credentials' text after "<scheme> " when the header uses that scheme.
std::optional<QByteArray> credentials(const QByteArray &authorization, const QByteArray &scheme)
{
    const QByteArray value = authorization.trimmed();
    if (value.size() <= scheme.size() || !isSpace(value.at(scheme.size()))
        || value.left(scheme.size()).compare(scheme, Qt::CaseInsensitive) != 0)
        return std::nullopt;
    return value.mid(scheme.size() + 1).trimmed();
}

QByteArray unauthorizedBody()
{
    return "<html><head><title>401 Authorization Required</title></head>"
           "<body><h1>401 Authorization Required</h1></body></html>\r\n";
}

} // namespace

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

// One accepted connection: reads one request, answers it, closes.
class TestHttpConnection : public QObject {
public:
    TestHttpConnection(TestHttpServer *server, QTcpSocket *socket)
        : QObject(server), m_server(server), m_socket(socket)
    {
        m_socket->setParent(this);
        connect(m_socket, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        connect(m_socket, &QTcpSocket::bytesWritten, this, [this] { pump(); });
        connect(m_socket, &QTcpSocket::disconnected, this, [this] { deleteLater(); });
        connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
            // The peer went away (or reset the connection): nothing more to send.
            m_done = true;
            if (m_socket->state() == QAbstractSocket::UnconnectedState)
                deleteLater();
        });
    }

    // The server counted the connection open when it accepted it.
    ~TestHttpConnection() override
    {
        if (m_held)
            m_server->countHeld(-1);
        m_server->connectionClosed();
    }

private:
    void onReadyRead()
    {
        if (m_gotRequest) {
            m_socket->readAll(); // a request body, or a second request: ignored
            return;
        }
        m_head += m_socket->readAll();
        const int end = m_head.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_head.size() > kMaxRequestHead)
                m_socket->abort();
            return;
        }
        m_gotRequest = true;
        const QList<QByteArray> lines = m_head.left(end).split('\n');
        RecordedRequest request;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        const QByteArray target = requestLine.value(1);
        request.path = originForm(target);
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        m_server->record(request);
        m_headOnly = request.method == "HEAD";

        const TestHttpServer::Resolved resolved = m_server->resolve(request.path);
        m_response = resolved.response;
        if (!authorized(request, target)) {
            m_response = challenge();
        } else if (!resolved.filePath.isEmpty()) {
            m_file.setFileName(resolved.filePath);
            if (!m_file.open(QIODevice::ReadOnly)) {
                m_response = TestResponse();
                m_response.status = 404;
                m_response.contentType = "text/html";
                m_response.body = TestHttpServer::notFoundBody();
            }
        }
        if (m_response.stallBeforeHeaders)
            return;
        if (m_response.holdUntilReleased) {
            m_held = true;
            m_server->countHeld(1);
            connect(m_server, &TestHttpServer::heldReleased, this, [this] {
                if (!m_held)
                    return;
                m_held = false;
                m_server->countHeld(-1);
                answer();
            });
            return;
        }
        if (m_response.delayMs > 0)
            QTimer::singleShot(m_response.delayMs, this, [this] { answer(); });
        else
            answer();
    }

    bool authorized(const RecordedRequest &request, const QByteArray &target) const
    {
        const QByteArray authorization = request.header("Authorization");
        switch (m_response.auth) {
        case TestResponse::Auth::None: return true;
        case TestResponse::Auth::Basic: {
            const auto encoded = credentials(authorization, "Basic");
            if (!encoded)
                return false;
            const auto decoded =
                QByteArray::fromBase64Encoding(*encoded, QByteArray::AbortOnBase64DecodingErrors);
            return decoded && *decoded == m_response.authUser + ':' + m_response.authPassword;
        }
        case TestResponse::Auth::Digest: return digestValid(authorization, request.method, target);
        }
        return false;
    }

    // RFC 7616 with MD5 and qop "auth"; without qop, the RFC 2069 form.
    bool digestValid(const QByteArray &authorization, const QByteArray &method,
                     const QByteArray &target) const
    {
        const auto text = credentials(authorization, "Digest");
        if (!text)
            return false;
        const auto params = authParams(*text);
        if (!params)
            return false;
        const auto p = [&](const char *name) { return params->value(name); };
        const QByteArray uri = p("uri");
        const QByteArray nonce = p("nonce");
        const QByteArray response = p("response");
        const QByteArray qop = p("qop");
        // The digest covers the request target as sent; through a proxy that
        // is the absolute form, which clients may reduce to the path.
        if (!params->contains("username") || p("username") != m_response.authUser
            || !params->contains("realm") || p("realm") != m_response.authRealm || uri.isEmpty()
            || (uri != target && uri != originForm(target)) || response.isEmpty()
            || !m_server->issuedNonce(nonce))
            return false;
        if (params->contains("algorithm")
            && p("algorithm").compare("MD5", Qt::CaseInsensitive) != 0)
            return false;
        if (params->contains("opaque") && p("opaque") != m_server->opaque())
            return false;
        if (params->contains("userhash")
            && p("userhash").compare("false", Qt::CaseInsensitive) != 0)
            return false;
        const QByteArray ha1 = md5Hex(m_response.authUser + ':' + m_response.authRealm + ':'
                                      + m_response.authPassword);
        const QByteArray ha2 = md5Hex(method + ':' + uri);
        QByteArray expected;
        if (params->contains("qop")) {
            const QByteArray nc = p("nc");
            const QByteArray cnonce = p("cnonce");
            const bool hex = std::all_of(nc.cbegin(), nc.cend(), [](char c) {
                return std::isxdigit(static_cast<unsigned char>(c)) != 0;
            });
            if (qop != "auth" || nc.size() != 8 || !hex || cnonce.isEmpty())
                return false;
            expected = md5Hex(ha1 + ':' + nonce + ':' + nc + ':' + cnonce + ':' + qop + ':' + ha2);
        } else {
            expected = md5Hex(ha1 + ':' + nonce + ':' + ha2);
        }
        return response.toLower() == expected;
    }

    // The 401 answer to a request without valid credentials.
    TestResponse challenge() const
    {
        const QByteArray realm = quotedString(m_response.authRealm);
        TestResponse r;
        r.status = 401;
        r.contentType = "text/html";
        r.body = unauthorizedBody();
        if (m_response.auth == TestResponse::Auth::Basic)
            r.extraHeaders.append({"WWW-Authenticate", "Basic realm=" + realm});
        else
            r.extraHeaders.append(
                {"WWW-Authenticate", "Digest realm=" + realm + ", qop=\"auth\", nonce=\""
                                         + m_server->issueNonce() + "\", opaque=\""
                                         + m_server->opaque() + "\", algorithm=MD5"});
        return r;
    }

    qint64 bodySize() const
    {
        if (m_file.isOpen())
            return m_file.size();
        if (m_response.generatedSize >= 0)
            return m_response.generatedSize;
        return m_response.body.size();
    }

    QByteArray bodyPiece(qint64 offset, qint64 length)
    {
        if (m_file.isOpen()) {
            m_file.seek(offset);
            return m_file.read(length);
        }
        if (m_response.generatedSize >= 0)
            return TestHttpServer::patternBytes(offset, length);
        return m_response.body.mid(offset, length);
    }

    void answer()
    {
        if (m_done || m_socket->state() != QAbstractSocket::ConnectedState)
            return;
        if (!m_response.rawReply.isEmpty() || !m_response.endlessRepeat.isEmpty()) {
            m_socket->write(m_response.rawReply);
            if (!m_response.endlessRepeat.isEmpty()) {
                // Whole repetitions, about a piece's worth per write.
                const qint64 times = std::max<qint64>(1, kPiece / m_response.endlessRepeat.size());
                m_repeatBlock = m_response.endlessRepeat.repeated(times);
                m_repeating = true;
                pump();
                return;
            }
            m_done = true;
            if (!m_response.keepOpenAfterRaw)
                m_socket->disconnectFromHost();
            return;
        }
        const qint64 total = bodySize();
        QByteArray head = "HTTP/1.1 " + QByteArray::number(m_response.status) + ' '
                          + reasonPhrase(m_response.status) + "\r\n";
        if (!m_response.contentType.isEmpty())
            head += "Content-Type: " + m_response.contentType + "\r\n";
        if (m_response.chunked)
            head += "Transfer-Encoding: chunked\r\n";
        else if (!m_response.omitContentLength)
            head += "Content-Length: " + QByteArray::number(total) + "\r\n";
        for (const auto &h : m_response.extraHeaders)
            head += h.first + ": " + h.second + "\r\n";
        head += "Connection: close\r\n\r\n";
        m_socket->write(head);

        if (m_response.stallAfterHeaders)
            return;
        m_total = total;
        m_limit = m_headOnly ? 0 : total;
        m_cut = false;
        if (!m_headOnly && m_response.cutAfter >= 0 && m_response.cutAfter < total) {
            m_limit = m_response.cutAfter;
            m_cut = true;
        }
        m_sending = true;
        pump();
    }

    // Tops the write buffer up; called again whenever the socket has written.
    // A cut chunked body stops inside a chunk, as a server that dies would.
    void pump()
    {
        if (m_repeating) {
            // Endless: only the client's going away (m_done) ends it.  Once
            // the client stops reading, the buffer stays full and no more
            // bytesWritten signals come, so nothing spins.
            while (!m_done && m_socket->state() == QAbstractSocket::ConnectedState
                   && m_socket->bytesToWrite() < kWriteHighWater)
                m_socket->write(m_repeatBlock);
            return;
        }
        if (!m_sending || m_done)
            return;
        while (m_socket->bytesToWrite() < kWriteHighWater) {
            const qint64 remaining = m_limit - m_sent;
            if (remaining <= 0) {
                if (m_response.chunked && !m_cut && !m_headOnly)
                    m_socket->write("0\r\n\r\n");
                m_done = true;
                m_socket->disconnectFromHost(); // flushes what is queued, then closes
                return;
            }
            const qint64 chunk = std::min(m_total - m_sent, kPiece);
            const QByteArray piece = bodyPiece(m_sent, std::min(remaining, chunk));
            if (piece.isEmpty()) { // the served file shrank or could not be read
                m_done = true;
                m_socket->abort();
                return;
            }
            if (m_response.chunked) {
                m_socket->write(QByteArray::number(chunk, 16) + "\r\n");
                m_socket->write(piece);
                if (piece.size() == chunk)
                    m_socket->write("\r\n");
            } else {
                m_socket->write(piece);
            }
            m_sent += piece.size();
            m_server->countBodyBytes(piece.size());
        }
    }

    TestHttpServer *m_server;
    QTcpSocket *m_socket;
    QByteArray m_head;
    bool m_gotRequest = false;
    bool m_headOnly = false;
    TestResponse m_response;
    QFile m_file;
    bool m_sending = false;
    bool m_repeating = false;
    QByteArray m_repeatBlock;
    bool m_done = false;
    bool m_held = false;
    bool m_cut = false;
    qint64 m_total = 0;
    qint64 m_limit = 0;
    qint64 m_sent = 0;
};

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent), m_server(new QTcpServer(this)), m_opaque(randomHex())
{
    connect(m_server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer()
{
    // The connections report their end to this object (and its mutex), so
    // they go while it is whole, not in ~QObject().
    const QObjectList children = this->children();
    for (QObject *child : children) {
        if (child != m_server)
            delete child;
    }
}

bool TestHttpServer::listen()
{
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        return false;
    QMutexLocker lock(&m_mutex);
    m_port = m_server->serverPort();
    return true;
}

quint16 TestHttpServer::port() const
{
    QMutexLocker lock(&m_mutex);
    return m_port;
}

QString TestHttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port()) + path;
}

void TestHttpServer::setRoute(const QString &path, const TestResponse &response)
{
    QMutexLocker lock(&m_mutex);
    for (auto &route : m_routes) {
        if (route.first == path) {
            route.second = response;
            return;
        }
    }
    m_routes.append({path, response});
}

void TestHttpServer::removeRoute(const QString &path)
{
    QMutexLocker lock(&m_mutex);
    m_routes.removeIf([&](const auto &route) { return route.first == path; });
}

void TestHttpServer::serveDirectory(const QString &urlPrefix, const QString &folder)
{
    QMutexLocker lock(&m_mutex);
    m_folders.append({urlPrefix, QDir(folder).absolutePath()});
}

QList<RecordedRequest> TestHttpServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

void TestHttpServer::clearRequests()
{
    QMutexLocker lock(&m_mutex);
    m_requests.clear();
}

qint64 TestHttpServer::bodyBytesSent() const
{
    QMutexLocker lock(&m_mutex);
    return m_bodyBytesSent;
}

void TestHttpServer::countBodyBytes(qint64 bytes)
{
    QMutexLocker lock(&m_mutex);
    m_bodyBytesSent += bytes;
}

int TestHttpServer::heldCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_held;
}

void TestHttpServer::countHeld(int change)
{
    QMutexLocker lock(&m_mutex);
    m_held += change;
}

void TestHttpServer::releaseHeld()
{
    // Queued to the server's thread when called from another one.
    emit heldReleased();
}

int TestHttpServer::connectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_connections;
}

int TestHttpServer::openConnectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_openConnections;
}

void TestHttpServer::connectionClosed()
{
    QMutexLocker lock(&m_mutex);
    --m_openConnections;
}

QByteArray TestHttpServer::issueNonce()
{
    const QByteArray nonce = randomHex();
    QMutexLocker lock(&m_mutex);
    m_nonces.insert(nonce);
    return nonce;
}

bool TestHttpServer::issuedNonce(const QByteArray &nonce) const
{
    QMutexLocker lock(&m_mutex);
    return m_nonces.contains(nonce);
}

QByteArray TestHttpServer::patternBytes(qint64 offset, qint64 length)
{
    if (offset < 0 || length <= 0)
        return {};
    const QByteArray &table = patternTable();
    QByteArray out(length, Qt::Uninitialized);
    char *dst = out.data();
    qint64 pos = offset % kPatternPeriod;
    qint64 left = length;
    while (left > 0) {
        const qint64 n = std::min(left, kPatternPeriod - pos);
        std::memcpy(dst, table.constData() + pos, size_t(n));
        dst += n;
        left -= n;
        pos = 0;
    }
    return out;
}

QByteArray TestHttpServer::notFoundBody()
{
    return "<html><head><title>404 Not Found</title></head>"
           "<body><h1>Not Found</h1></body></html>\r\n";
}

TestHttpServer::Resolved TestHttpServer::resolve(const QByteArray &rawPath) const
{
    QByteArray path = rawPath;
    const int query = path.indexOf('?');
    if (query >= 0)
        path.truncate(query);
    const QString raw = QString::fromLatin1(path);
    const QString decoded = QUrl::fromPercentEncoding(path);

    QMutexLocker lock(&m_mutex);
    for (const QString &candidate : {raw, decoded}) {
        for (const auto &route : m_routes) {
            if (route.first == candidate)
                return {route.second, {}};
        }
    }
    for (const auto &folder : m_folders) {
        if (!decoded.startsWith(folder.first))
            continue;
        const QString relative = decoded.mid(folder.first.size());
        if (relative.isEmpty() || relative.split(u'/').contains(QStringLiteral("..")))
            continue;
        const QString file = folder.second + u'/' + relative;
        if (QFileInfo(file).isFile())
            return {TestResponse(), file};
    }
    TestResponse notFound;
    notFound.status = 404;
    notFound.contentType = "text/html";
    notFound.body = notFoundBody();
    return {notFound, {}};
}

void TestHttpServer::record(const RecordedRequest &request)
{
    QMutexLocker lock(&m_mutex);
    m_requests.append(request);
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        {
            QMutexLocker lock(&m_mutex);
            ++m_connections;
            ++m_openConnections;
        }
        new TestHttpConnection(this, socket);
    }
}

TestHttpServerThread::TestHttpServerThread()
    : m_thread(std::make_unique<QThread>()), m_server(new TestHttpServer)
{
    m_thread->setObjectName(QStringLiteral("TestHttpServer"));
    m_server->moveToThread(m_thread.get());
}

TestHttpServerThread::~TestHttpServerThread()
{
    if (m_thread->isRunning()) {
        TestHttpServer *server = m_server;
        QMetaObject::invokeMethod(
            server, [server] { delete server; }, Qt::BlockingQueuedConnection);
        m_thread->quit();
        m_thread->wait();
    } else {
        delete m_server;
    }
}

bool TestHttpServerThread::start()
{
    if (!m_thread->isRunning())
        m_thread->start();
    bool ok = false;
    QMetaObject::invokeMethod(m_server, &TestHttpServer::listen, Qt::BlockingQueuedConnection, &ok);
    return ok;
}
