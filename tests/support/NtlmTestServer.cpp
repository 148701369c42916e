#include "NtlmTestServer.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QMessageAuthenticationCode>
#include <QMetaObject>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <optional>

namespace {

constexpr int kMaxRequestHead = 64 * 1024;
const QByteArray kSignature("NTLMSSP\0", 8);

// NTLM negotiate flags of the challenge: Unicode strings, NTLM, extended
// session security, target info, version, 128- and 56-bit keys, the target
// being a domain.
constexpr quint32 kUnicode = 0x00000001;
constexpr quint32 kChallengeFlags = kUnicode | 0x00000004 | 0x00000200 | 0x00008000 | 0x00010000
                                    | 0x00080000 | 0x00800000 | 0x02000000 | 0x20000000
                                    | 0x80000000;

// The AV pair ids of the challenge's target info.
enum AvId : quint16 {
    MsvAvEOL = 0,
    NbComputerName = 1,
    NbDomainName = 2,
    DnsComputerName = 3,
    DnsDomainName = 4
};

void putU16(QByteArray &out, quint16 v)
{
    out += char(v & 0xff);
    out += char(v >> 8);
}

void putU32(QByteArray &out, quint32 v)
{
    putU16(out, quint16(v & 0xffff));
    putU16(out, quint16(v >> 16));
}

quint32 u16At(const QByteArray &m, qsizetype at)
{
    return quint8(m.at(at)) | quint32(quint8(m.at(at + 1))) << 8;
}

quint32 u32At(const QByteArray &m, qsizetype at)
{
    return u16At(m, at) | u16At(m, at + 2) << 16;
}

QByteArray utf16Le(const QString &text)
{
    QByteArray out;
    for (const QChar c : text)
        putU16(out, c.unicode());
    return out;
}

QString fromUtf16Le(const QByteArray &bytes)
{
    QString text;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        text += QChar(char16_t(u16At(bytes, i)));
    return text;
}

// The payload a security buffer (length, allocated, offset) at `at` points to.
std::optional<QByteArray> securityBuffer(const QByteArray &m, qsizetype at)
{
    if (m.size() < at + 8)
        return std::nullopt;
    const quint32 length = u16At(m, at);
    const quint32 offset = u32At(m, at + 4);
    if (offset > quint32(m.size()) || length > quint32(m.size()) - offset)
        return std::nullopt;
    return m.mid(offset, length);
}

QByteArray avPair(quint16 id, const QByteArray &value)
{
    QByteArray out;
    putU16(out, id);
    putU16(out, quint16(value.size()));
    return out + value;
}

// The challenge message: header, version, then the target name and the
// target info.
QByteArray challengeMessage(const QByteArray &challenge, const QString &domain)
{
    const QByteArray target = utf16Le(domain);
    const QByteArray info = avPair(NbDomainName, target)
                            + avPair(NbComputerName, utf16Le("LOGHOST"))
                            + avPair(DnsDomainName, utf16Le(domain.toLower() + ".test"))
                            + avPair(DnsComputerName,
                                     utf16Le("loghost." + domain.toLower() + ".test"))
                            + avPair(MsvAvEOL, {});
    constexpr quint32 kHeader = 56;
    QByteArray m = kSignature;
    putU32(m, 2);
    putU16(m, quint16(target.size()));
    putU16(m, quint16(target.size()));
    putU32(m, kHeader);
    putU32(m, kChallengeFlags);
    m += challenge;
    m += QByteArray(8, '\0'); // reserved
    putU16(m, quint16(info.size()));
    putU16(m, quint16(info.size()));
    putU32(m, kHeader + quint32(target.size()));
    m += QByteArray::fromHex("0a007c4f0000000f"); // version 10.0.20348, NTLM revision 15
    return m + target + info;
}

// The path of a request target; an absolute-form one (as sent to a proxy)
// loses its scheme and authority.
QByteArray originForm(const QByteArray &target)
{
    const qsizetype schemeEnd = target.indexOf("://");
    if (schemeEnd <= 0 || target.startsWith('/'))
        return target;
    const qsizetype pathStart = target.indexOf('/', schemeEnd + 3);
    return pathStart < 0 ? QByteArray("/") : target.mid(pathStart);
}

QByteArray reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    case 416: return "Range Not Satisfiable";
    default: return "Status";
    }
}

// "bytes=a-b" or "bytes=a-" of a body of size bytes: first and last byte;
// none for any other form.
std::optional<std::pair<qint64, qint64>> byteRange(const QByteArray &header, qint64 size)
{
    if (!header.startsWith("bytes=") || header.contains(','))
        return std::nullopt;
    const QList<QByteArray> ends = header.mid(6).trimmed().split('-');
    bool firstOk = false;
    bool lastOk = true;
    const qint64 first = ends.value(0).toLongLong(&firstOk);
    qint64 last = size - 1;
    if (ends.size() != 2 || !firstOk || first < 0)
        return std::nullopt;
    if (!ends.at(1).isEmpty())
        last = std::min(ends.at(1).toLongLong(&lastOk), size - 1);
    if (!lastOk || last < first - 1)
        return std::nullopt;
    return std::make_pair(first, last);
}

} // namespace

// One accepted connection: answers its requests in turn and keeps its login.
class NtlmConnection : public QObject {
public:
    NtlmConnection(NtlmTestServer *server, QTcpSocket *socket, int id)
        : QObject(socket), m_server(server), m_socket(socket), m_id(id)
    {
        connect(socket, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    enum class State { LoggedOut, Challenged, LoggedIn };

    void onReadyRead()
    {
        m_buffer += m_socket->readAll();
        while (m_socket->state() == QAbstractSocket::ConnectedState) {
            const qsizetype end = m_buffer.indexOf("\r\n\r\n");
            if (end < 0) {
                if (m_buffer.size() > kMaxRequestHead)
                    m_socket->abort();
                return;
            }
            const QList<QByteArray> lines = m_buffer.left(end).split('\n');
            QList<QPair<QByteArray, QByteArray>> headers;
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines.at(i).trimmed();
                const qsizetype colon = line.indexOf(':');
                if (colon > 0)
                    headers.append(
                        {line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()});
            }
            const auto header = [&](const QByteArray &name) {
                for (const auto &h : headers) {
                    if (h.first == name)
                        return h.second;
                }
                return QByteArray();
            };
            const qsizetype bodyLength = std::max(0LL, header("content-length").toLongLong());
            if (m_buffer.size() < end + 4 + bodyLength)
                return; // a request body still on its way
            m_buffer.remove(0, end + 4 + bodyLength);

            {
                QMutexLocker lock(&m_server->m_mutex);
                m_asProxy = m_server->m_proxy;
            }
            const QList<QByteArray> requestLine = lines.at(0).trimmed().split(' ');
            NtlmTestServer::Request request;
            request.method = requestLine.value(0);
            request.path = originForm(requestLine.value(1));
            request.range = header("range");
            request.connection = m_id;
            const QByteArray credentials = header(m_asProxy ? "proxy-authorization"
                                                            : "authorization");
            request.authorization = !credentials.isEmpty();
            answer(request, credentials);
            if (header("connection").toLower() == "close")
                m_socket->disconnectFromHost();
        }
    }

    void answer(NtlmTestServer::Request &request, const QByteArray &authorization)
    {
        const QByteArray token = authorization.startsWith("NTLM ")
                                     ? QByteArray::fromBase64(authorization.mid(5).trimmed())
                                     : QByteArray();
        if (!authorization.isEmpty()) {
            const quint32 type = token.size() >= 12 && token.startsWith(kSignature)
                                     ? u32At(token, 8)
                                     : 0;
            if (type == 1) {
                m_state = State::Challenged;
                quint32 random[2];
                QRandomGenerator::system()->fillRange(random);
                m_challenge = QByteArray(reinterpret_cast<const char *>(random), sizeof random);
                send(request, refusal(),
                     {challengeHeader() + "NTLM "
                      + challengeMessage(m_challenge, m_server->m_domain).toBase64()},
                     unauthorizedPage());
                return;
            }
            m_state = type == 3 && m_state == State::Challenged && logIn(token) ? State::LoggedIn
                                                                                : State::LoggedOut;
        }
        request.authenticated = m_state == State::LoggedIn;
        if (!request.authenticated) {
            QList<QByteArray> offered;
            {
                QMutexLocker lock(&m_server->m_mutex);
                offered = m_server->m_offered;
            }
            QList<QByteArray> headers;
            for (const QByteArray &scheme : std::as_const(offered))
                headers.append(challengeHeader() + scheme);
            send(request, refusal(), headers, unauthorizedPage());
            return;
        }
        serve(request);
    }

    int refusal() const { return m_asProxy ? 407 : 401; }
    QByteArray challengeHeader() const
    {
        return m_asProxy ? "Proxy-Authenticate: " : "WWW-Authenticate: ";
    }

    // Checks an authenticate message against the account.
    bool logIn(const QByteArray &m)
    {
        NtlmTestServer::Login login;
        login.connection = m_id;
        login.challenge = m_challenge;
        const auto nt = securityBuffer(m, 20);
        const auto domain = securityBuffer(m, 28);
        const auto user = securityBuffer(m, 36);
        if (m.size() < 64 || !nt || !domain || !user)
            return false;
        const bool unicode = u32At(m, 60) & kUnicode;
        login.ntResponse = *nt;
        login.domain = unicode ? fromUtf16Le(*domain) : QString::fromLatin1(*domain);
        login.user = unicode ? fromUtf16Le(*user) : QString::fromLatin1(*user);
        // Windows compares account names without regard to case.
        login.accepted = login.user.compare(m_server->m_user, Qt::CaseInsensitive) == 0
                         && login.domain.compare(m_server->m_domain, Qt::CaseInsensitive) == 0
                         && NtlmTestServer::ntlmV2Matches(login.ntResponse, m_challenge, login.user,
                                                          login.domain, m_server->m_password);
        m_server->recordLogin(login);
        return login.accepted;
    }

    void serve(NtlmTestServer::Request &request)
    {
        QByteArray path = request.path;
        path.truncate(path.indexOf('?') < 0 ? path.size() : path.indexOf('?'));
        std::optional<NtlmTestServer::File> file;
        {
            QMutexLocker lock(&m_server->m_mutex);
            for (const QString &key :
                 {QString::fromLatin1(path), QUrl::fromPercentEncoding(path)}) {
                if (!file && m_server->m_files.contains(key))
                    file = m_server->m_files.value(key);
            }
        }
        if (!file) {
            send(request, 404, {}, "<html><body><h1>404 Not Found</h1></body></html>\r\n");
            return;
        }
        const qint64 size = file->body.size();
        const auto range = byteRange(request.range, size);
        QList<QByteArray> headers{"Content-Type: " + file->contentType, "Accept-Ranges: bytes"};
        if (range && range->first >= size) {
            send(request, 416, {"Content-Range: bytes */" + QByteArray::number(size)}, {});
        } else if (range) {
            headers.append("Content-Range: bytes " + QByteArray::number(range->first) + '-'
                           + QByteArray::number(range->second) + '/' + QByteArray::number(size));
            send(request, 206, headers,
                 file->body.mid(range->first, range->second - range->first + 1));
        } else {
            send(request, 200, headers, file->body);
        }
    }

    static QByteArray unauthorizedPage()
    {
        return "<html><head><title>401 - Unauthorized</title></head>"
               "<body><h1>401 - Unauthorized: Access is denied due to invalid credentials."
               "</h1></body></html>\r\n";
    }

    // Records the request with its answer and sends that.
    void send(NtlmTestServer::Request &request, int status, const QList<QByteArray> &headers,
              const QByteArray &body)
    {
        request.status = status;
        m_server->record(request);
        QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n";
        for (const QByteArray &h : headers)
            head += h + "\r\n";
        if (status == 401 || status == 404 || status == 407)
            head += "Content-Type: text/html\r\n";
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
        m_socket->write(request.method == "HEAD" ? head : head + body);
    }

    NtlmTestServer *m_server;
    QTcpSocket *m_socket;
    const int m_id;
    QByteArray m_buffer;
    State m_state = State::LoggedOut;
    bool m_asProxy = false;
    QByteArray m_challenge;
};

NtlmTestServer::NtlmTestServer(const QString &domain, const QString &user, const QString &password)
    : m_domain(domain), m_user(user), m_password(password), m_thread(std::make_unique<QThread>())
{
    m_thread->setObjectName(QStringLiteral("NtlmTestServer"));
}

NtlmTestServer::~NtlmTestServer()
{
    if (!m_thread->isRunning())
        return;
    // The server and its connections go on their own thread.
    QMetaObject::invokeMethod(
        m_server, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

bool NtlmTestServer::start()
{
    m_thread->start();
    m_server = new QTcpServer;
    m_server->moveToThread(m_thread.get());
    QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] { onNewConnection(); });
    bool ok = false;
    QMetaObject::invokeMethod(
        m_server, [this] { return m_server->listen(QHostAddress::LocalHost, 0); },
        Qt::BlockingQueuedConnection, &ok);
    QMutexLocker lock(&m_mutex);
    m_port = m_server->serverPort();
    return ok;
}

QString NtlmTestServer::url(const QString &path) const
{
    QMutexLocker lock(&m_mutex);
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port) + path;
}

void NtlmTestServer::setOffered(const QList<QByteArray> &schemes)
{
    QMutexLocker lock(&m_mutex);
    m_offered = schemes;
}

void NtlmTestServer::setProxy(bool proxy)
{
    QMutexLocker lock(&m_mutex);
    m_proxy = proxy;
}

void NtlmTestServer::setFile(const QString &path, const QByteArray &body,
                             const QByteArray &contentType)
{
    QMutexLocker lock(&m_mutex);
    m_files.insert(path, {body, contentType});
}

QList<NtlmTestServer::Request> NtlmTestServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

QList<NtlmTestServer::Login> NtlmTestServer::logins() const
{
    QMutexLocker lock(&m_mutex);
    return m_logins;
}

void NtlmTestServer::clearRecord()
{
    QMutexLocker lock(&m_mutex);
    m_requests.clear();
    m_logins.clear();
}

bool NtlmTestServer::ntlmV2Matches(const QByteArray &ntResponse, const QByteArray &challenge,
                                   const QString &user, const QString &domain,
                                   const QString &password)
{
    // 24 bytes are an LM or NTLMv1 answer; NTLMv2's proof is followed by
    // a blob of at least 28 bytes.
    if (ntResponse.size() < 16 + 28)
        return false;
    const QByteArray ntHash = QCryptographicHash::hash(utf16Le(password), QCryptographicHash::Md4);
    const QByteArray ntowf2 = QMessageAuthenticationCode::hash(utf16Le(user.toUpper() + domain),
                                                               ntHash, QCryptographicHash::Md5);
    const QByteArray proof = QMessageAuthenticationCode::hash(challenge + ntResponse.mid(16),
                                                              ntowf2, QCryptographicHash::Md5);
    return ntResponse.left(16) == proof;
}

void NtlmTestServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        int id = 0;
        {
            QMutexLocker lock(&m_mutex);
            id = ++m_connections;
        }
        new NtlmConnection(this, socket, id);
    }
}

void NtlmTestServer::record(const Request &request)
{
    QMutexLocker lock(&m_mutex);
    m_requests.append(request);
}

void NtlmTestServer::recordLogin(const Login &login)
{
    QMutexLocker lock(&m_mutex);
    m_logins.append(login);
}
