#include "base/listing/WebBrowser.h"

#include "base/listing/PageCharset.h"

#include "base/transfer/CurlTransport.h"

#include <QFutureWatcher>
#include <QMetaObject>
#include <QPromise>
#include <QRegularExpression>
#include <QThreadPool>

#include <utility>

namespace kestrune {

namespace {

const QString kBlankPage = QStringLiteral("about:blank");

bool isWebScheme(const QString &scheme)
{
    return scheme == u"http" || scheme == u"https";
}

enum class Target { Blank, Web, Unsupported };

// What a navigation to the typed text loads; *address is the normalised
// http(s) address for Target::Web.
Target interpret(const QString &typed, QString *address)
{
    const QString text = typed.trimmed();
    if (text.compare(kBlankPage, Qt::CaseInsensitive) == 0)
        return Target::Blank;
    if (text.isEmpty())
        return Target::Unsupported;

    static const QRegularExpression schemePattern(
        QStringLiteral("^([A-Za-z][A-Za-z0-9+.\\-]*):(.?)"));
    const QRegularExpressionMatch m = schemePattern.match(text);
    QString candidate = text;
    if (m.hasMatch()) {
        const QString scheme = m.captured(1).toLower();
        const bool hostAndPort = !m.captured(2).isEmpty() && m.captured(2).at(0).isDigit();
        if (!isWebScheme(scheme) && !hostAndPort)
            return Target::Unsupported;
        if (hostAndPort && !isWebScheme(scheme))
            candidate = QStringLiteral("http://") + text; // "server:8080/logs/"
    } else {
        candidate = QStringLiteral("http://") + text; // "server/logs/"
    }
    const QString normalised = ResolveHref(candidate, QUrl());
    const QUrl url(normalised, QUrl::StrictMode);
    if (!url.isValid() || !isWebScheme(url.scheme()) || url.host().isEmpty())
        return Target::Unsupported;
    *address = normalised;
    return Target::Web;
}

QString addressOf(const QUrl &url)
{
    return url.toString(QUrl::FullyEncoded);
}

QString escapeText(const QString &text)
{
    return text.toHtmlEscaped();
}

// What the browser shows in place of a page it could not load.
HtmlDocument errorPage(const QString &reason)
{
    return ParseHtmlDocument(QStringLiteral(
                                 "<html><head></head><body><h1>ページを表示できません。</h1>"
                                 "<p>%1</p></body></html>")
                                 .arg(escapeText(reason)),
                             QUrl());
}

} // namespace

WebBrowser::WebBrowser(QObject *parent) : QObject(parent) {}

WebBrowser::~WebBrowser()
{
    abandon();
}

void WebBrowser::Navigate2(const QString &url)
{
    abandon();
    const quint64 navigation = ++m_navigation;
    m_busy = true;
    m_loginPrompts = 0;
    m_triedTicket = false;
    m_lastErrorText.clear();

    QString address;
    switch (interpret(url, &address)) {
    case Target::Blank:
        QMetaObject::invokeMethod(
            this, [this, navigation] { complete(navigation, QUrl(kBlankPage), {}, {}); },
            Qt::QueuedConnection);
        return;
    case Target::Unsupported: {
        const QString failed = url.trimmed();
        QMetaObject::invokeMethod(
            this,
            [this, navigation, failed] {
                fail(navigation, failed, kUnsupportedAddress,
                     QStringLiteral("このアドレスは開けません。"));
            },
            Qt::QueuedConnection);
        return;
    }
    case Target::Web: break;
    }
    // A password typed into the address becomes the server's login; the
    // address goes on without it (the user name stays), so no page address,
    // link or log line carries it.
    QUrl target(address);
    if (!target.password().isEmpty()) {
        transfer::RememberServerLogin(target,
                                      transfer::Credentials{target.userName(), target.password()});
        target.setPassword(QString());
        address = addressOf(target);
    }
    m_requestedUrl = address;
    request(target);
}

void WebBrowser::request(const QUrl &url)
{
    transfer::RequestOptions o;
    o.url = url;
    o.userAgent = "Mozilla/5.0 (compatible; Kestrune)";
    o.headers = {"Accept: text/html,application/xhtml+xml,*/*;q=0.8",
                 "Accept-Language: ja,en;q=0.5", "Cache-Control: no-cache", "Pragma: no-cache"};
    o.allowHttpsToHttp = true; // a browser follows a site that leaves https
    o.decodeContent = true;    // and takes the page compressed
    o.maxBodyBytes = m_maxBodyBytes;
    o.bufferLimit = m_maxBodyBytes + 1; // the page is read whole
    m_request = std::make_unique<transfer::HttpRequest>(o);
    // Handled from the event loop, never inside a call into the client: the
    // login prompt runs a modal loop of its own.
    const QPointer<transfer::HttpRequest> request = m_request.get();
    connect(
        m_request.get(), &transfer::HttpRequest::progressed, this,
        [this, request] {
            if (request && request == m_request.get())
                onProgress();
        },
        Qt::QueuedConnection);
}

void WebBrowser::Stop()
{
    abandon();
    ++m_navigation; // drops queued events of the navigation stopped
    m_busy = false;
}

bool WebBrowser::Busy() const
{
    return m_busy;
}

const HtmlDocument *WebBrowser::Document() const
{
    return m_document.get();
}

QList<DocumentLink> WebBrowser::takeDocumentLinks()
{
    return m_document ? std::exchange(m_document->links, {}) : QList<DocumentLink>();
}

QString WebBrowser::LocationName() const
{
    return m_locationName;
}

QString WebBrowser::LocationURL() const
{
    return m_locationUrl;
}

void WebBrowser::abandon()
{
    m_request.reset();
}

void WebBrowser::onProgress()
{
    if (m_request && (m_request->failed() || m_request->finished()))
        onEnded();
}

namespace {

int navigateErrorCode(transfer::TransferError::Kind kind)
{
    using K = transfer::TransferError::Kind;
    switch (kind) {
    case K::None: return WebBrowser::kNetworkError;
    case K::BadAddress: return WebBrowser::kUnsupportedAddress;
    case K::HostNotFound:
    case K::ProxyNotFound: return WebBrowser::kHostNotFound;
    case K::Refused: return WebBrowser::kConnectionRefused;
    case K::TimedOut: return WebBrowser::kTimedOut;
    case K::Tls:
    case K::Certificate: return WebBrowser::kTlsFailed;
    case K::ProxyAuth: return 407;
    case K::TooManyRedirects: return WebBrowser::kTooManyRedirects;
    case K::HeadersTooLarge:
    case K::UnsupportedCoding:
    case K::UnwantedEncoding: return WebBrowser::kProtocolFailure;
    case K::BadFraming: return WebBrowser::kConnectionClosed;
    case K::BodyTooLarge: return WebBrowser::kBodyTooLarge;
    case K::BadProxy:
    case K::Network:
    case K::Aborted: return WebBrowser::kNetworkError;
    }
    return WebBrowser::kNetworkError;
}

// host, or host:port when the port is not the scheme's own.
QString hostForPrompt(const QString &scheme, const QString &host, int port)
{
    const int standard = scheme == QLatin1String("https") ? 443 : 80;
    const QString shown = host.contains(u':') ? QStringLiteral("[%1]").arg(host) : host;
    return port < 0 || port == standard ? shown : QStringLiteral("%1:%2").arg(shown).arg(port);
}

} // namespace

void WebBrowser::onEnded()
{
    const quint64 navigation = m_navigation;
    transfer::HttpRequest &r = *m_request;
    // The address that failed: where the answer came from, or the address
    // asked for when the request never got to an http(s) answer.
    const QUrl answered = r.url();
    const QString url = isWebScheme(answered.scheme()) ? addressOf(answered) : m_requestedUrl;

    if (r.failed()) {
        const transfer::TransferError error = r.error();
        if (error.kind == transfer::TransferError::Kind::ProxyAuth) {
            const LoginStep step = askLogin(navigation, true);
            if (step != LoginStep::Refused)
                return;
        }
        const int code = navigateErrorCode(error.kind);
        m_lastErrorText = code == 407 ? transfer::DescribeHttpStatus(407) : error.describe();
        abandon();
        fail(navigation, url, code,
             code == kUnsupportedAddress ? QStringLiteral("このアドレスは開けません。")
                                         : m_lastErrorText);
        return;
    }

    const int status = r.status();
    if (status == 401 || status == 407) {
        const LoginStep step = askLogin(navigation, status == 407);
        if (step != LoginStep::Refused)
            return;
    }
    if (status >= 400) {
        m_lastErrorText = transfer::DescribeHttpStatus(status);
        abandon();
        fail(navigation, url, status, m_lastErrorText);
        return;
    }
    // An interim status or a redirect without a target as the final answer
    // is no page.
    if (status < 200 || status >= 300) {
        m_lastErrorText = QStringLiteral("HTTP %1: no page").arg(status);
        abandon();
        fail(navigation, url, kProtocolFailure,
             QStringLiteral("HTTP %1: サーバーの応答が正しくありません。").arg(status));
        return;
    }
    QByteArray body = r.readAll();
    const QByteArray contentType = r.header("Content-Type");
    abandon();
    complete(navigation, answered, std::move(body), contentType);
}

WebBrowser::LoginStep WebBrowser::askLogin(quint64 navigation, bool proxy)
{
    transfer::HttpRequest &r = *m_request;
    const QUrl url = r.url();
    const QString proxyHost = r.proxyHost();
    const quint16 proxyPort = r.proxyPort();
    const bool refusedLogin = proxy ? r.sentProxyLogin() : r.sentServerLogin();
    // A login the server refused is of no use to the transfers either.
    const auto forgetRefused = [&] {
        if (!refusedLogin)
            return;
        if (proxy)
            transfer::ForgetProxyLogin(proxyHost, proxyPort);
        else
            transfer::ForgetServerLogin(url);
    };
    if (m_loginHandler && !proxy && !refusedLogin && !m_triedTicket && r.offersNegotiate()) {
        // The ticket, if the user holds one, before any dialog.  Without one
        // the library sends no token and the server refuses again.
        m_triedTicket = true;
        abandon();
        transfer::RememberServerLogin(url, transfer::Credentials{{}, {}, true});
        request(url);
        return LoginStep::Retried;
    }
    if (!m_loginHandler || m_loginPrompts >= kMaxLoginPrompts || (proxy && proxyHost.isEmpty())) {
        if (m_loginHandler)
            forgetRefused();
        return LoginStep::Refused;
    }

    LoginPrompt prompt;
    prompt.proxy = proxy;
    prompt.host = proxy ? hostForPrompt(QStringLiteral("http"), proxyHost, proxyPort)
                        : hostForPrompt(url.scheme(), url.host(), url.port());
    prompt.realm = r.authRealm();
    prompt.attempt = ++m_loginPrompts;
    const std::optional<transfer::Credentials> previous = proxy ? transfer::ProxyLoginFor(proxyHost,
                                                                                          proxyPort)
                                                                : transfer::ServerLoginFor(url);
    if (previous)
        prompt.user = previous->user;
    // Nothing of this navigation runs while the operator types.
    abandon();

    const QPointer<WebBrowser> self(this);
    const std::optional<transfer::Credentials> answer = m_loginHandler(prompt);
    if (!self || navigation != m_navigation)
        return LoginStep::Replaced; // stopped, replaced or gone meanwhile
    if (!answer) {
        forgetRefused();
        m_lastErrorText = transfer::DescribeHttpStatus(proxy ? 407 : 401);
        fail(navigation, proxy ? m_requestedUrl : addressOf(url), proxy ? 407 : 401,
             m_lastErrorText);
        return LoginStep::Replaced;
    }
    if (proxy)
        transfer::RememberProxyLogin(proxyHost, proxyPort, *answer);
    else
        transfer::RememberServerLogin(url, *answer);
    request(proxy ? QUrl(m_requestedUrl) : url);
    return LoginStep::Retried;
}

namespace {

// Decodes and parses a page; runs on a worker thread.
std::shared_ptr<HtmlDocument> readPage(QByteArray body, const QByteArray &contentType,
                                       const QByteArray &mime, const QUrl &finalUrl,
                                       const HtmlParseOptions &options)
{
    QString html = DecodePage(body, contentType);
    body = QByteArray(); // the page's bytes are not needed once decoded
    if (mime == "text/plain")
        html = QStringLiteral("<html><head></head><body><pre>%1</pre></body></html>")
                   .arg(escapeText(html));
    return std::make_shared<HtmlDocument>(ParseHtmlDocument(std::move(html), finalUrl, options));
}

} // namespace

void WebBrowser::complete(quint64 navigation, const QUrl &finalUrl, QByteArray body,
                          const QByteArray &contentType)
{
    if (navigation != m_navigation)
        return;
    const QByteArray mime = contentType.split(';').first().trimmed().toLower();
    using Result = std::shared_ptr<HtmlDocument>;
    const auto show = [this, navigation, finalUrl, mime](const Result &document) {
        if (navigation != m_navigation)
            return;
        m_busy = false;
        m_document = document ? std::make_unique<HtmlDocument>(std::move(*document))
                              : std::make_unique<HtmlDocument>();
        const bool blank = finalUrl.toString() == kBlankPage;
        const QString address = blank ? kBlankPage : addressOf(finalUrl);
        m_contentType = QString::fromLatin1(mime);
        m_locationUrl = address;
        m_locationName = m_document->title.isEmpty() ? address : m_document->title;

        const QPointer<WebBrowser> self(this);
        Q_EMIT NavigateComplete2(address);
        if (!self || navigation != m_navigation)
            return; // a handler started another navigation (or deleted us)
        Q_EMIT DocumentComplete(address);
    };
    if (body.size() <= kReadAtOnceBytes) {
        show(readPage(std::move(body), contentType, mime, finalUrl, m_documentOptions));
        return;
    }
    // A large page takes seconds to read: that happens on a worker thread,
    // so the event loop (and a window) goes on meanwhile.  The navigation
    // stays in flight until its document is there; a later navigation or
    // Stop() drops it as it drops any other event of this one.
    const QPointer<WebBrowser> self(this);
    Q_EMIT DownloadComplete();
    if (!self || navigation != m_navigation)
        return;
    auto promise = std::make_shared<QPromise<Result>>();
    auto *watcher = new QFutureWatcher<Result>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [watcher, show] {
        watcher->deleteLater();
        show(watcher->future().resultCount() > 0 ? watcher->result() : Result());
    });
    promise->start();
    watcher->setFuture(promise->future());
    QThreadPool::globalInstance()->start([promise, body = std::move(body), contentType, mime,
                                          finalUrl, options = m_documentOptions]() mutable {
        promise->addResult(readPage(std::move(body), contentType, mime, finalUrl, options));
        promise->finish();
    });
}

void WebBrowser::fail(quint64 navigation, const QString &url, int statusCode, const QString &reason)
{
    if (navigation != m_navigation)
        return;
    m_busy = false;
    m_document = std::make_unique<HtmlDocument>(errorPage(reason));
    m_contentType.clear();
    m_locationUrl = url;
    m_locationName = url;
    Q_EMIT NavigateError(url, statusCode);
}

} // namespace kestrune
