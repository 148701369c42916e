#include "base/transfer/CurlTransport.h"

#include "base/transfer/Credentials.h"
#include "base/transfer/ProxySetting.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QNetworkProxy>
#include <QPointer>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QThread>
#include <QStringDecoder>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>

namespace kestrune::transfer {

namespace {

std::atomic<int> g_idleTimeoutMs{60000};

// A received body is kept in pieces of this capacity (or one piece as large
// as a bigger callback).  Emptied pieces are kept for reuse, as many as the
// buffer limit holds: no more memory than the fullest buffer took.
constexpr qsizetype kPieceCapacity = 64 * 1024;

// The schemes a user name and password answer a server's (or a proxy's)
// challenge with.  Negotiate is not among them: it logs in with the
// Kerberos ticket of whoever runs the program, never with the login given,
// and the library, which prefers it, gives up without a ticket instead of
// going on to NTLM, while Windows logins offer both.
constexpr unsigned long kPasswordSchemes = CURLAUTH_ANY & ~CURLAUTH_NEGOTIATE;

// The extra certificate authorities, with the system's bundle in front.
QByteArray &trustedCaBlob()
{
    static QByteArray blob;
    return blob;
}

QByteArray lowerTrimmed(const QByteArray &text)
{
    return text.trimmed().toLower();
}

// A header value as text: UTF-8 when it is valid UTF-8, else Latin-1.
QString headerText(const QByteArray &value)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(value);
    return utf8.hasError() ? QString::fromLatin1(value) : text;
}

TransferError::Kind kindOf(CURLcode code)
{
    using K = TransferError::Kind;
    switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT: return K::BadAddress;
    case CURLE_COULDNT_RESOLVE_HOST: return K::HostNotFound;
    case CURLE_COULDNT_RESOLVE_PROXY: return K::ProxyNotFound;
    case CURLE_COULDNT_CONNECT: return K::Refused;
    case CURLE_OPERATION_TIMEDOUT: return K::TimedOut;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE: return K::Certificate;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_SHUTDOWN_FAILED: return K::Tls;
    case CURLE_TOO_MANY_REDIRECTS: return K::TooManyRedirects;
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return K::BadFraming;
    case CURLE_ABORTED_BY_CALLBACK: return K::Aborted;
    default: return K::Network;
    }
}

QString reasonOf(CURLcode code)
{
    return QString::fromLatin1(curl_easy_strerror(code));
}

QString reasonOf(CURLMcode code)
{
    return QString::fromLatin1(curl_multi_strerror(code));
}

// Sets the options of one easy handle and keeps the first failure: the
// request then fails at start with the library's reason.
class EasyOptions {
public:
    explicit EasyOptions(CURL *easy) : m_easy(easy) {}
    template <typename T>
    void operator()(CURLoption option, T value)
    {
        if (m_result == CURLE_OK)
            m_result = curl_easy_setopt(m_easy, option, value);
    }
    // A failure of our own making (no memory for a header line).
    void fail(CURLcode code)
    {
        if (m_result == CURLE_OK)
            m_result = code;
    }
    CURLcode result() const { return m_result; }

private:
    CURL *m_easy;
    CURLcode m_result = CURLE_OK;
};

} // namespace

// ------------------------------------------------------------------ driver

// Owns the multi handle and turns its wishes (sockets to watch, a time-out
// to wait for) into socket notifiers and a timer.
class CurlDriver : public QObject {
public:
    static CurlDriver &instance();
    static void shutdown();

    static bool alive() { return t_instance != nullptr; }
    static void releaseThisThread();
    // The name look-ups and TLS sessions of this thread's requests; null
    // when the driver could not be set up.
    const std::shared_ptr<CURLSH> &share() const { return m_share; }
    // Empty, or why the request cannot go into the pool.
    QString add(HttpRequest *request);
    CURLMcode remove(HttpRequest *request);
    void markDirty(HttpRequest *request);

private:
    struct SocketWatch {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    CurlDriver();
    ~CurlDriver() override;

    static int onSocket(CURL *easy, curl_socket_t socket, int what, void *self, void *watch);
    static int onTimer(CURLM *multi, long timeoutMs, void *self);
    void watch(SocketWatch *w, QSocketNotifier *&notifier, curl_socket_t socket,
               QSocketNotifier::Type type, bool wanted);
    void dropWatch(SocketWatch *w);
    void act(curl_socket_t socket, int events);
    void collect(CURLMcode result);

    CURLM *m_multi = nullptr;
    std::shared_ptr<CURLSH> m_share;
    // Why the driver cannot take requests; empty when it can.
    QString m_setupError;
    QTimer m_timer;
    QList<SocketWatch *> m_watches;
    QList<HttpRequest *> m_active;
    QList<QPointer<HttpRequest>> m_dirty;
    // One driver, and one pool of connections, per thread.
    static thread_local CurlDriver *t_instance;
};

thread_local CurlDriver *CurlDriver::t_instance = nullptr;

namespace {
CURLcode g_globalInit = CURLE_OK;
}

CurlDriver &CurlDriver::instance()
{
    if (!t_instance) {
        static std::once_flag initialised;
        std::call_once(initialised, [] { g_globalInit = curl_global_init(CURL_GLOBAL_DEFAULT); });
        t_instance = new CurlDriver;
        // The main thread's sockets and notifiers go before the application
        // object does; another thread releases its own before it ends.
        if (QCoreApplication::instance()
            && QThread::currentThread() == QCoreApplication::instance()->thread())
            qAddPostRoutine(&CurlDriver::shutdown);
    }
    return *t_instance;
}

void CurlDriver::shutdown()
{
    delete t_instance;
    t_instance = nullptr;
}

void CurlDriver::releaseThisThread()
{
    shutdown();
}

CurlDriver::CurlDriver()
{
    if (g_globalInit != CURLE_OK) {
        m_setupError = reasonOf(g_globalInit);
        return;
    }
    m_multi = curl_multi_init();
    CURLMcode multiResult = m_multi ? CURLM_OK : CURLM_OUT_OF_MEMORY;
    const auto setMulti = [&](CURLMoption option, auto value) {
        if (multiResult == CURLM_OK)
            multiResult = curl_multi_setopt(m_multi, option, value);
    };
    setMulti(CURLMOPT_SOCKETFUNCTION, &CurlDriver::onSocket);
    setMulti(CURLMOPT_SOCKETDATA, this);
    setMulti(CURLMOPT_TIMERFUNCTION, &CurlDriver::onTimer);
    setMulti(CURLMOPT_TIMERDATA, this);
    setMulti(CURLMOPT_MAXCONNECTS, 32L);
    if (multiResult != CURLM_OK) {
        m_setupError = reasonOf(multiResult);
        return;
    }

    // Only this thread uses the share, so it needs no locks.  Every request
    // keeps a reference: the share goes after the last handle set to it.
    CURLSH *share = curl_share_init();
    CURLSHcode shareResult = share ? CURLSHE_OK : CURLSHE_NOMEM;
    for (const curl_lock_data data : {CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION}) {
        if (shareResult == CURLSHE_OK)
            shareResult = curl_share_setopt(share, CURLSHOPT_SHARE, data);
    }
    if (share) {
        m_share.reset(share, [](CURLSH *s) {
            [[maybe_unused]] const CURLSHcode result = curl_share_cleanup(s);
            Q_ASSERT(result == CURLSHE_OK);
        });
    }
    if (shareResult != CURLSHE_OK) {
        m_share.reset();
        m_setupError = QString::fromLatin1(curl_share_strerror(shareResult));
        return;
    }

    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

CurlDriver::~CurlDriver()
{
    // Requests left to finish on their own are ours; the others belong to
    // their callers, who are gone by now.
    qDeleteAll(findChildren<HttpRequest *>(QString(), Qt::FindDirectChildrenOnly));
    // The pool goes now, whatever a removal says.
    for (HttpRequest *request : std::as_const(m_active)) {
        (void)curl_multi_remove_handle(m_multi, request->m_easy);
        request->m_inMulti = false;
    }
    m_active.clear();
    if (m_multi)
        (void)curl_multi_cleanup(m_multi);
    for (SocketWatch *w : std::as_const(m_watches)) {
        delete w->read;
        delete w->write;
        delete w;
    }
    // Requests that outlive the driver still hold the share; it goes with
    // the last of them.
    m_share.reset();
}

QString CurlDriver::add(HttpRequest *request)
{
    if (!m_setupError.isEmpty())
        return m_setupError;
    const CURLMcode result = curl_multi_add_handle(m_multi, request->m_easy);
    if (result != CURLM_OK)
        return reasonOf(result);
    m_active.append(request);
    return {};
}

CURLMcode CurlDriver::remove(HttpRequest *request)
{
    m_active.removeOne(request);
    return curl_multi_remove_handle(m_multi, request->m_easy);
}

void CurlDriver::markDirty(HttpRequest *request)
{
    m_dirty.append(request);
}

int CurlDriver::onSocket(CURL *, curl_socket_t socket, int what, void *self, void *watchData)
{
    auto *d = static_cast<CurlDriver *>(self);
    auto *w = static_cast<SocketWatch *>(watchData);
    if (what == CURL_POLL_REMOVE) {
        if (w) {
            // The socket leaves the library's table right after this.
            (void)curl_multi_assign(d->m_multi, socket, nullptr);
            d->dropWatch(w);
        }
        return 0;
    }
    if (!w) {
        w = new SocketWatch;
        if (curl_multi_assign(d->m_multi, socket, w) != CURLM_OK) {
            // Unwatched, the socket would stall its transfers: the library
            // fails the call that got here instead.
            delete w;
            return -1;
        }
        d->m_watches.append(w);
    }
    d->watch(w, w->read, socket, QSocketNotifier::Read, what & CURL_POLL_IN);
    d->watch(w, w->write, socket, QSocketNotifier::Write, what & CURL_POLL_OUT);
    return 0;
}

void CurlDriver::watch(SocketWatch *, QSocketNotifier *&notifier, curl_socket_t socket,
                       QSocketNotifier::Type type, bool wanted)
{
    if (!wanted) {
        if (notifier)
            notifier->setEnabled(false);
        return;
    }
    if (!notifier) {
        notifier = new QSocketNotifier(qintptr(socket), type, this);
        const int events = type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
        connect(notifier, &QSocketNotifier::activated, this,
                [this, socket, events] { act(socket, events); });
    }
    notifier->setEnabled(true);
}

void CurlDriver::dropWatch(SocketWatch *w)
{
    // The notifier may be the one whose signal is being handled: it goes
    // quiet now and away later.
    for (QSocketNotifier *n : {w->read, w->write}) {
        if (n) {
            n->setEnabled(false);
            n->deleteLater();
        }
    }
    m_watches.removeOne(w);
    delete w;
}

int CurlDriver::onTimer(CURLM *, long timeoutMs, void *self)
{
    auto *d = static_cast<CurlDriver *>(self);
    if (timeoutMs < 0)
        d->m_timer.stop();
    else
        d->m_timer.start(int(std::min<long>(timeoutMs, std::numeric_limits<int>::max())));
    return 0;
}

void CurlDriver::act(curl_socket_t socket, int events)
{
    int running = 0;
    collect(curl_multi_socket_action(m_multi, socket, events, &running));
}

void CurlDriver::collect(CURLMcode result)
{
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        const auto it = std::find_if(m_active.cbegin(), m_active.cend(), [&](HttpRequest *r) {
            return r->m_easy == message->easy_handle;
        });
        if (it != m_active.cend())
            (*it)->onDone(message->data.result);
    }
    if (result != CURLM_OK) {
        // The pool cannot drive its transfers any more: none of them would
        // ever end, so they all fail now.
        const QString reason = reasonOf(result);
        const QList<HttpRequest *> stranded = m_active;
        for (HttpRequest *request : stranded)
            request->failAndStop(TransferError::Kind::Network, reason);
    }
    // Readers hear of it only now, outside every callback of the library:
    // they may read, pause, abort or start other requests.
    const QList<QPointer<HttpRequest>> dirty = std::exchange(m_dirty, {});
    for (const QPointer<HttpRequest> &request : dirty) {
        if (!request)
            continue;
        request->m_dirty = false;
        if (request->m_detached) {
            if (request->m_finished || request->failed())
                request->deleteLater();
            continue;
        }
        if (request->m_held) {
            request->m_withheld = true;
            continue;
        }
        Q_EMIT request->progressed();
    }
}

// ------------------------------------------------------------------ request

HttpRequest::HttpRequest(const RequestOptions &options, QObject *parent)
    : QObject(parent), m_url(options.url), m_discardBody(options.discardBody),
      m_decodeContent(options.decodeContent), m_bufferLimit(options.bufferLimit),
      m_maxBodyBytes(options.maxBodyBytes)
{
    m_watchdog.setSingleShot(true);
    connect(&m_watchdog, &QTimer::timeout, this, &HttpRequest::onWatchdog);
    m_sinceActivity.start();
    if (!configure(options))
        return;
    if (const QString why = CurlDriver::instance().add(this); !why.isEmpty()) {
        failEarly(TransferError::Kind::Network, why);
        return;
    }
    m_inMulti = true;
    m_watchdog.start(IdleTimeout());
}

HttpRequest::~HttpRequest()
{
    detachFromMulti();
    if (m_easy)
        curl_easy_cleanup(m_easy);
    curl_slist_free_all(m_headerList);
}

bool HttpRequest::configure(const RequestOptions &o)
{
    const QString scheme = o.url.scheme().toLower();
    if (!o.url.isValid() || o.url.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        failEarly(TransferError::Kind::BadAddress, o.url.toString());
        return false;
    }
    const std::optional<QNetworkProxy> proxy = ProxyForRequest(o.proxyText, o.url);
    if (!proxy) {
        failEarly(TransferError::Kind::BadProxy, o.proxyText);
        return false;
    }

    m_easy = curl_easy_init();
    if (!m_easy) {
        failEarly(TransferError::Kind::Network, QStringLiteral("out of memory"));
        return false;
    }
    EasyOptions set(m_easy);
    // A login written into the address goes as a login, never in the URL.
    QUrl target = o.url;
    std::optional<Credentials> addressLogin;
    if (!target.password().isEmpty())
        addressLogin = Credentials{target.userName(), target.password()};
    target.setUserInfo(QString());
    m_url = target;
    const QByteArray url = target.toEncoded();
    set(CURLOPT_URL, url.constData());
    m_share = CurlDriver::instance().share();
    if (m_share)
        set(CURLOPT_SHARE, m_share.get());
    set(CURLOPT_ERRORBUFFER, m_errorBuffer);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    const bool stayOnHttps = scheme == QLatin1String("https") && !o.allowHttpsToHttp;
    set(CURLOPT_REDIR_PROTOCOLS_STR, stayOnHttps ? "https" : "http,https");
    set(CURLOPT_FOLLOWLOCATION, 1L);
    // A login follows a redirect only while scheme, host and port stay.
    set(CURLOPT_UNRESTRICTED_AUTH, 0L);
    set(CURLOPT_MAXREDIRS, long(kMaxRedirects));
    set(CURLOPT_CONNECTTIMEOUT_MS, long(IdleTimeout()));
    if (o.decodeContent) {
        set(CURLOPT_ACCEPT_ENCODING, ""); // every coding the library can decode
        set(CURLOPT_HTTP_CONTENT_DECODING, 1L);
    } else {
        set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
    }
    set(CURLOPT_BUFFERSIZE, 64L * 1024);
    set(CURLOPT_HEADERFUNCTION, &HttpRequest::onHeaderData);
    set(CURLOPT_HEADERDATA, this);
    set(CURLOPT_WRITEFUNCTION, &HttpRequest::onBodyData);
    set(CURLOPT_WRITEDATA, this);
    if (!o.userAgent.isEmpty())
        set(CURLOPT_USERAGENT, o.userAgent.constData());
    for (const QByteArray &line : o.headers) {
        curl_slist *list = curl_slist_append(m_headerList, line.constData());
        if (!list)
            set.fail(CURLE_OUT_OF_MEMORY);
        else
            m_headerList = list;
    }
    if (m_headerList)
        set(CURLOPT_HTTPHEADER, m_headerList);
    if (!o.range.isEmpty())
        set(CURLOPT_RANGE, o.range.constData());

    // The proxy is always named, so the library's own reading of the
    // environment never decides.
    QByteArray proxyUrl;
    if (proxy->type() == QNetworkProxy::HttpProxy || proxy->type() == QNetworkProxy::Socks5Proxy) {
        m_proxyHost = proxy->hostName();
        m_proxyPort = proxy->port();
        QUrl p;
        p.setScheme(proxy->type() == QNetworkProxy::HttpProxy ? QStringLiteral("http")
                                                              : QStringLiteral("socks5h"));
        p.setHost(m_proxyHost);
        p.setPort(m_proxyPort);
        proxyUrl = p.toEncoded();
    }
    set(CURLOPT_PROXY, proxyUrl.constData());
    set(CURLOPT_NOPROXY, "");
    set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    if (!m_proxyHost.isEmpty()) {
        std::optional<Credentials> login = ProxyLoginFor(m_proxyHost, m_proxyPort);
        if (!login && !proxy->user().isEmpty())
            login = Credentials{proxy->user(), proxy->password()};
        if (login) {
            set(CURLOPT_PROXYUSERNAME, login->user.toUtf8().constData());
            set(CURLOPT_PROXYPASSWORD, login->password.toUtf8().constData());
            set(CURLOPT_PROXYAUTH, kPasswordSchemes);
            m_sentProxyLogin = true;
        }
    }

    std::optional<Credentials> serverLogin = ServerLoginFor(o.url);
    if (!serverLogin)
        serverLogin = addressLogin;
    if (serverLogin && serverLogin->negotiate) {
        // The ticket names the user.  The library answers a challenge only
        // with a user name set, and an empty one stands for the ticket's;
        // with Negotiate alone it sends the token with the first request.
        set(CURLOPT_USERNAME, "");
        set(CURLOPT_PASSWORD, "");
        set(CURLOPT_HTTPAUTH, CURLAUTH_NEGOTIATE);
        m_sentServerLogin = true;
    } else if (const std::optional<Credentials> &login = serverLogin) {
        set(CURLOPT_USERNAME, login->user.toUtf8().constData());
        set(CURLOPT_PASSWORD, login->password.toUtf8().constData());
        // A server known to take Basic only gets the login with the first
        // request, as a browser sends it; otherwise the server's challenge
        // picks the scheme.
        set(CURLOPT_HTTPAUTH, ServerTakesBasicOnly(o.url) ? CURLAUTH_BASIC : kPasswordSchemes);
        m_sentServerLogin = true;
    } else if (UseNetrc()) {
        set(CURLOPT_NETRC, long(CURL_NETRC_OPTIONAL));
        set(CURLOPT_HTTPAUTH, ServerTakesBasicOnly(o.url) ? CURLAUTH_BASIC : kPasswordSchemes);
        m_sentServerLogin = true;
    }

    if (!trustedCaBlob().isEmpty()) {
        curl_blob blob{trustedCaBlob().data(), size_t(trustedCaBlob().size()), CURL_BLOB_COPY};
        set(CURLOPT_CAINFO_BLOB, &blob);
    }
#ifdef Q_OS_WIN
    set(CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_NATIVE_CA));
#endif
    if (set.result() != CURLE_OK) {
        failEarly(kindOf(set.result()), reasonOf(set.result()));
        return false;
    }
    return true;
}

QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (const auto &h : m_headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

size_t HttpRequest::onHeaderData(char *data, size_t size, size_t count, void *self)
{
    return static_cast<HttpRequest *>(self)->headerData(data, size * count);
}

size_t HttpRequest::onBodyData(char *data, size_t size, size_t count, void *self)
{
    return static_cast<HttpRequest *>(self)->bodyData(data, size * count);
}

size_t HttpRequest::headerData(const char *data, size_t length)
{
    if (m_held) {
        // The library keeps these bytes and hands them over again later.
        m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    // The library hands the head over a line at a time, except after a
    // pause: the lines it kept then come in one piece.  The lines are cut
    // out here; a piece that ends inside a line waits for the rest of it.
    size_t start = 0;
    while (start < length) {
        const auto *end = static_cast<const char *>(
            std::memchr(data + start, '\n', length - start));
        const size_t stop = end ? size_t(end - data) + 1 : length;
        m_headLine.append(data + start, qsizetype(stop - start));
        start = stop;
        if (!end) {
            if (m_headLine.size() > kHeaderLimit) {
                // Fails the request: the head is too large.
                headerLine(m_headLine.constData(), size_t(m_headLine.size()));
                return 0;
            }
            break;
        }
        const QByteArray line = std::exchange(m_headLine, {});
        if (headerLine(line.constData(), size_t(line.size())) != size_t(line.size()))
            return 0;
    }
    touched();
    return length;
}

size_t HttpRequest::headerLine(const char *data, size_t length)
{
    touched();
    const QByteArray line = QByteArray(data, qsizetype(length))
                                .chopped(length >= 2 && data[length - 2] == '\r'
                                             ? 2
                                             : (length >= 1 && data[length - 1] == '\n' ? 1 : 0));
    const bool statusLine = line.startsWith("HTTP/");
    // A new answer after a complete one that was a redirect or a login
    // round starts its own count; interim answers and trailers count with
    // the answer they belong to.
    if (statusLine && m_answerComplete && (m_answerStatus < 100 || m_answerStatus >= 200))
        m_headBytes = 0;
    m_headBytes += qint64(length);
    if (m_headBytes > kHeaderLimit) {
        failNow(TransferError::Kind::HeadersTooLarge,
                QStringLiteral("more than %1 KiB").arg(kHeaderLimit / 1024));
        return 0;
    }
    if (m_headersReady && !statusLine)
        return length; // a trailer

    if (statusLine) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        m_answerStatus = parts.value(1).toInt();
        m_answerHeaders.clear();
        m_answerComplete = false;
        return length;
    }
    if (line.isEmpty()) {
        m_answerComplete = true;
        endOfAnswerHead();
        return failed() ? 0 : length;
    }
    if ((line.startsWith(' ') || line.startsWith('\t')) && !m_answerHeaders.isEmpty()) {
        // A folded line continues the header before it.
        m_answerHeaders.last().second += ' ' + line.trimmed();
        return length;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon > 0)
        m_answerHeaders.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    return length;
}

void HttpRequest::endOfAnswerHead()
{
    const int status = m_answerStatus;
    if (status >= 100 && status < 200)
        return; // interim: the real answer follows
    if (status == 401 || status == 407) {
        const QByteArray name = status == 401 ? "WWW-Authenticate" : "Proxy-Authenticate";
        static const QRegularExpression
            realm(QStringLiteral("realm=(?:\"((?:[^\"\\\\]|\\\\.)*)\"|([^,\\s]+))"),
                  QRegularExpression::CaseInsensitiveOption);
        m_authRealm.clear();
        QStringList schemes;
        for (const auto &h : std::as_const(m_answerHeaders)) {
            if (h.first.compare(name, Qt::CaseInsensitive) != 0)
                continue;
            const QString value = headerText(h.second);
            if (m_authRealm.isEmpty()) {
                const QRegularExpressionMatch m = realm.match(value);
                if (m.hasMatch()) {
                    m_authRealm = m.captured(1).isNull() ? m.captured(2) : m.captured(1);
                    static const QRegularExpression escaped(QStringLiteral("\\\\(.)"));
                    m_authRealm.replace(escaped, QStringLiteral("\\1"));
                }
            }
            // A challenge starts with its scheme's name, a bare token;
            // parameters are "name=value".
            for (const QString &piece : value.split(u',')) {
                const QString token = piece.trimmed().section(u' ', 0, 0);
                if (!token.isEmpty() && !token.contains(u'='))
                    schemes.append(token.toLower());
            }
        }
        schemes.removeDuplicates();
        m_authBasicOnly = schemes == QStringList{QStringLiteral("basic")};
        m_offersNegotiate = schemes.contains(QStringLiteral("negotiate"));
        if (status == 401 && m_sentServerLogin)
            m_challengedAt = effectiveUrl();
    }
    bool hasLocation = false;
    for (const auto &h : std::as_const(m_answerHeaders)) {
        if (h.first.compare("Location", Qt::CaseInsensitive) == 0 && !h.second.isEmpty())
            hasLocation = true;
    }
    // The library follows a redirect and answers a login challenge by
    // itself; the answer after it is the one that counts.  Whether it does
    // answer a challenge shows when a body comes (settleHead() then).
    if (status >= 300 && status < 400 && hasLocation)
        return;
    if ((status == 401 && m_sentServerLogin) || (status == 407 && m_sentProxyLogin))
        return;
    settleHead();
}

bool HttpRequest::settleHead()
{
    if (m_headersReady)
        return true;
    // The framing must be one the library reads as the server meant it.
    QByteArray length;
    for (const auto &h : std::as_const(m_answerHeaders)) {
        if (h.first.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            for (const QByteArray &coding : h.second.split(',')) {
                const QByteArray c = lowerTrimmed(coding);
                if (!c.isEmpty() && c != "chunked") {
                    failNow(TransferError::Kind::UnsupportedCoding, QString::fromLatin1(h.second));
                    return false;
                }
            }
        } else if (h.first.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            for (const QByteArray &value : h.second.split(',')) {
                const QByteArray v = value.trimmed();
                const std::optional<qint64> n = ParseByteCount(v);
                if (!n || (!length.isEmpty() && *n != length.toLongLong())) {
                    failNow(TransferError::Kind::BadFraming,
                            QStringLiteral("Content-Length: %1")
                                .arg(QString::fromLatin1(h.second)));
                    return false;
                }
                length = v;
            }
        } else if (h.first.compare("Content-Encoding", Qt::CaseInsensitive) == 0 && !m_decodeContent
                   && m_answerStatus >= 200 && m_answerStatus <= 299) {
            // Bytes in a coding nobody asked for are not the resource: they
            // would be taken for it byte for byte.
            for (const QByteArray &coding : h.second.split(',')) {
                const QByteArray c = lowerTrimmed(coding);
                if (!c.isEmpty() && c != "identity") {
                    failNow(TransferError::Kind::UnwantedEncoding, headerText(h.second));
                    return false;
                }
            }
        }
    }
    m_status = m_answerStatus;
    m_headers = m_answerHeaders;
    m_contentLength = length.isEmpty() ? -1 : length.toLongLong();
    if (m_easy)
        m_url = effectiveUrl();
    // The server took the login after a challenge: when Basic was all it
    // offered, later requests send the login right away and save a round.
    if (!m_challengedAt.isEmpty() && m_status != 401)
        NoteServerAuthSchemes(m_challengedAt, m_authBasicOnly);
    m_headersReady = true;
    markDirty();
    return true;
}

QUrl HttpRequest::effectiveUrl() const
{
    char *effective = nullptr;
    if (curl_easy_getinfo(m_easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
        return QUrl::fromEncoded(QByteArray(effective));
    return m_url;
}

size_t HttpRequest::bodyData(const char *data, size_t length)
{
    if (m_held) {
        m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    touched();
    if (!m_headersReady && !settleHead())
        return 0;
    const qint64 n = qint64(length);
    if (m_maxBodyBytes >= 0 && m_bodyReceived + n > m_maxBodyBytes) {
        failNow(TransferError::Kind::BodyTooLarge,
                QStringLiteral("more than %1 bytes").arg(m_maxBodyBytes));
        return 0;
    }
    if (m_discardBody) {
        m_bodyReceived += n;
        return length;
    }
    if (bytesAvailable() > 0 && bytesAvailable() + n > m_bufferLimit) {
        // Nobody reads: stop reading from the network until the reader
        // has made room (the library hands this piece over again then).
        m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    const auto size = qsizetype(length);
    if (m_pieces.empty() || m_pieces.back().capacity() - m_pieces.back().size() < size) {
        if (!m_spares.empty()) {
            m_pieces.push_back(std::move(m_spares.back()));
            m_spares.pop_back();
        } else {
            m_pieces.emplace_back();
        }
        if (m_pieces.back().capacity() < size)
            m_pieces.back().reserve(std::max(size, kPieceCapacity));
    }
    m_pieces.back().append(data, size);
    m_available += n;
    m_bodyReceived += n;
    markDirty();
    return length;
}

qint64 HttpRequest::read(char *data, qint64 maxSize)
{
    qint64 done = 0;
    while (done < maxSize && !m_pieces.empty()) {
        const QByteArray &front = m_pieces.front();
        const qint64 n = std::min(maxSize - done, qint64(front.size()) - m_frontPos);
        std::memcpy(data + done, front.constData() + m_frontPos, size_t(n));
        done += n;
        m_frontPos += n;
        if (m_frontPos == front.size()) {
            QByteArray spent = std::move(m_pieces.front());
            m_pieces.pop_front();
            m_frontPos = 0;
            if (qint64(m_spares.size()) * kPieceCapacity < m_bufferLimit + kPieceCapacity
                && spent.capacity() <= kPieceCapacity) {
                spent.resize(0); // keeps its buffer
                m_spares.push_back(std::move(spent));
            }
        }
    }
    m_available -= done;
    resumeIfRoom();
    return done;
}

QByteArray HttpRequest::readAll()
{
    QByteArray all;
    all.reserve(m_available);
    qint64 skip = m_frontPos;
    for (const QByteArray &piece : m_pieces) {
        all.append(piece.constData() + skip, piece.size() - skip);
        skip = 0;
    }
    m_pieces.clear();
    m_frontPos = 0;
    m_available = 0;
    resumeIfRoom();
    return all;
}

void HttpRequest::resumeIfRoom()
{
    if (m_paused && !m_held && m_available <= m_bufferLimit / 2 && m_inMulti) {
        m_paused = false;
        touched();
        // May hand what the library kept over at once (into headerData and
        // bodyData); the reader hears of it from the driver.
        const CURLcode result = curl_easy_pause(m_easy, CURLPAUSE_CONT);
        if (result != CURLE_OK)
            failAndStop(kindOf(result), reasonOf(result));
    }
}

void HttpRequest::setHeld(bool held)
{
    if (held == m_held)
        return;
    m_held = held;
    if (!held && std::exchange(m_withheld, false)) {
        QMetaObject::invokeMethod(
            this, [this] { Q_EMIT progressed(); }, Qt::QueuedConnection);
    }
    if (!m_inMulti)
        return;
    if (!held) {
        touched();
        resumeIfRoom();
        return;
    }
    // Stops reading at once.  Before the library has a connection for the
    // request it has nothing to pause (and says so); the callbacks then
    // hold the first bytes that come instead.
    if (!m_paused && curl_easy_pause(m_easy, CURLPAUSE_RECV) == CURLE_OK)
        m_paused = true;
}

void HttpRequest::onDone(int code)
{
    detachFromMulti();
    m_watchdog.stop();
    if (m_easy) {
        long connectCode = 0;
        if (curl_easy_getinfo(m_easy, CURLINFO_HTTP_CONNECTCODE, &connectCode) == CURLE_OK)
            m_proxyStatus = int(connectCode);
    }
    if (!failed()) {
        const auto result = CURLcode(code);
        if (result != CURLE_OK) {
            TransferError::Kind kind = kindOf(result);
            if (m_proxyStatus == 407)
                kind = TransferError::Kind::ProxyAuth;
            m_error.kind = kind;
            m_error.detail = QString::fromLocal8Bit(m_errorBuffer);
            if (m_error.detail.isEmpty())
                m_error.detail = QString::fromLatin1(curl_easy_strerror(result));
        } else if (!m_headersReady && !m_answerComplete) {
            // The connection ended inside the head.
            m_error.kind = TransferError::Kind::BadFraming;
            m_error.detail = QStringLiteral("the reply ended inside its head");
        } else if (settleHead()) {
            m_finished = true;
        }
    }
    markDirty();
}

void HttpRequest::failNow(TransferError::Kind kind, const QString &detail)
{
    if (failed())
        return;
    m_error.kind = kind;
    m_error.detail = detail;
    markDirty();
}

void HttpRequest::failEarly(TransferError::Kind kind, const QString &detail)
{
    m_error.kind = kind;
    m_error.detail = detail;
    // The caller sees failed() on return; a waiting reader hears of it
    // from the event loop.
    QMetaObject::invokeMethod(
        this, [this] { Q_EMIT progressed(); }, Qt::QueuedConnection);
}

void HttpRequest::failAndStop(TransferError::Kind kind, const QString &detail)
{
    failNow(kind, detail);
    detachFromMulti();
    m_watchdog.stop();
    markDirty();
}

void HttpRequest::onWatchdog()
{
    if (!m_inMulti)
        return;
    const qint64 idle = IdleTimeout();
    const qint64 quiet = m_paused || m_held ? 0 : m_sinceActivity.elapsed();
    if (quiet < idle) {
        m_watchdog.start(int(idle - quiet));
        return;
    }
    detachFromMulti();
    m_error.kind = TransferError::Kind::TimedOut;
    m_error.detail = QStringLiteral("no data for %1 s").arg(double(idle) / 1000.0);
    if (m_detached) {
        deleteLater();
        return;
    }
    Q_EMIT progressed();
}

void HttpRequest::markDirty()
{
    if (m_dirty || !CurlDriver::alive())
        return;
    m_dirty = true;
    CurlDriver::instance().markDirty(this);
}

void HttpRequest::detachFromMulti()
{
    if (!m_inMulti)
        return;
    m_inMulti = false;
    if (!CurlDriver::alive())
        return;
    const CURLMcode result = CurlDriver::instance().remove(this);
    if (result != CURLM_OK && !m_finished)
        failNow(TransferError::Kind::Network, reasonOf(result));
}

void HttpRequest::abort()
{
    if (m_finished || failed())
        return;
    detachFromMulti();
    m_watchdog.stop();
    m_error.kind = TransferError::Kind::Aborted;
}

void HttpRequest::finishDetached(int ms)
{
    disconnect(this, &HttpRequest::progressed, nullptr, nullptr);
    m_detached = true;
    setParent(&CurlDriver::instance());
    if (!m_inMulti) {
        deleteLater();
        return;
    }
    QTimer::singleShot(ms, this, [this] { deleteLater(); });
}

// ------------------------------------------------------------------ settings

void ReleaseThreadConnections()
{
    CurlDriver::releaseThisThread();
}

void SetIdleTimeout(int milliseconds)
{
    g_idleTimeoutMs.store(milliseconds > 0 ? milliseconds : 1);
}

int IdleTimeout()
{
    return g_idleTimeoutMs.load();
}

std::optional<qint64> ParseByteCount(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 18
        || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return text.toLongLong();
}

bool AddTrustedCaFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    const QByteArray pem = file.readAll();
    if (!pem.contains("-----BEGIN CERTIFICATE-----")) {
        if (error)
            *error = QStringLiteral("no PEM certificate in the file");
        return false;
    }
    QByteArray &blob = trustedCaBlob();
    if (blob.isEmpty()) {
        // The blob replaces the library's bundle file: the system's
        // authorities go in first.
        if (CURL *probe = curl_easy_init()) {
            char *bundle = nullptr;
            if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &bundle) == CURLE_OK && bundle) {
                QFile system(QString::fromLocal8Bit(bundle));
                if (system.open(QIODevice::ReadOnly))
                    blob = system.readAll();
            }
            curl_easy_cleanup(probe);
        }
    }
    if (!blob.isEmpty() && !blob.endsWith('\n'))
        blob += '\n';
    blob += pem;
    return true;
}

} // namespace kestrune::transfer
