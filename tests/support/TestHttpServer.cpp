#include "TestHttpServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMetaObject>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstring>

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
        request.path = originForm(requestLine.value(1));
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
        if (!resolved.filePath.isEmpty()) {
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
        if (m_response.delayMs > 0)
            QTimer::singleShot(m_response.delayMs, this, [this] { answer(); });
        else
            answer();
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
        if (!m_response.rawReply.isEmpty()) {
            m_socket->write(m_response.rawReply);
            m_done = true;
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
    bool m_done = false;
    bool m_cut = false;
    qint64 m_total = 0;
    qint64 m_limit = 0;
    qint64 m_sent = 0;
};

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer() = default;

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

int TestHttpServer::connectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_connections;
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
        QMetaObject::invokeMethod(server, [server] { delete server; },
                                  Qt::BlockingQueuedConnection);
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
    QMetaObject::invokeMethod(m_server, &TestHttpServer::listen, Qt::BlockingQueuedConnection,
                              &ok);
    return ok;
}
