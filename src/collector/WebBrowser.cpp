#include "collector/WebBrowser.h"

#include "collector/PageCharset.h"

#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

namespace kestrune {

namespace {

const QString kBlankPage = QStringLiteral("about:blank");
constexpr int kMaxRedirects = 20;

// The proxy a browser uses: the system's settings, whatever the program sets
// as its own proxy (the collector's transfers have their own setting).
class SystemProxyFactory : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        return systemProxyForQuery(query);
    }
};

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

    static const QRegularExpression schemePattern(QStringLiteral("^([A-Za-z][A-Za-z0-9+.\\-]*):(.?)"));
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
    return ParseHtmlDocument(QStringLiteral("<html><head></head><body><h1>ページを表示できません。</h1>"
                                            "<p>%1</p></body></html>")
                                 .arg(escapeText(reason)),
                             QUrl());
}

} // namespace

WebBrowser::WebBrowser(QObject *parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{
    m_network->setProxyFactory(new SystemProxyFactory);
}

WebBrowser::~WebBrowser()
{
    abandon();
}

void WebBrowser::Navigate2(const QString &url)
{
    abandon();
    const quint64 navigation = ++m_navigation;
    m_busy = true;

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

    QNetworkRequest request{QUrl(address)};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setRawHeader("Accept", "text/html,application/xhtml+xml,*/*;q=0.8");
    request.setRawHeader("Accept-Language", "ja,en;q=0.5");

    m_body.clear();
    m_redirects = 0;
    QNetworkReply *reply = m_network->get(request);
    m_reply = reply;
    connect(reply, &QNetworkReply::readyRead, this, &WebBrowser::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &WebBrowser::onFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        if (reply != m_reply)
            return;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if ((status < 300 || status >= 400) && length.isValid()
            && length.toLongLong() > m_maxBodyBytes)
            failTooLarge();
    });
    connect(reply, &QNetworkReply::redirected, this, [this, reply](const QUrl &to) {
        if (reply != m_reply)
            return;
        m_body.clear();
        const quint64 navigation = m_navigation;
        if (++m_redirects > kMaxRedirects) {
            abandon();
            fail(navigation, addressOf(to), -int(QNetworkReply::TooManyRedirectsError),
                 QStringLiteral("リダイレクトが多すぎます。"));
            return;
        }
        if (isWebScheme(to.scheme())) {
            Q_EMIT reply->redirectAllowed();
            return;
        }
        abandon();
        fail(navigation, addressOf(to), kUnsupportedAddress,
             QStringLiteral("このアドレスは開けません。"));
    });
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
    if (QNetworkReply *reply = m_reply) {
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    m_body.clear();
    m_body.squeeze();
}

void WebBrowser::onReadyRead()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != m_reply)
        return;
    m_body += reply->read(m_maxBodyBytes - m_body.size() + 1);
    if (m_body.size() > m_maxBodyBytes)
        failTooLarge();
}

void WebBrowser::failTooLarge()
{
    const QString url = addressOf(m_reply->url());
    const quint64 navigation = m_navigation;
    abandon();
    fail(navigation, url, kBodyTooLarge,
         QStringLiteral("ページが大きすぎます（%1 バイトを超えています）。").arg(m_maxBodyBytes));
}

void WebBrowser::onFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != m_reply)
        return;
    const quint64 navigation = m_navigation;
    m_reply = nullptr;
    reply->disconnect(this);
    reply->deleteLater();

    const QString url = addressOf(reply->url());
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400) {
        m_body.clear();
        fail(navigation, url, status,
             QStringLiteral("HTTP %1 %2")
                 .arg(status)
                 .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()));
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        m_body.clear();
        // A redirect to an address that is not http(s) ends here.
        const int code = reply->error() == QNetworkReply::ProtocolUnknownError
                             ? kUnsupportedAddress
                             : -int(reply->error());
        fail(navigation, url, code, reply->errorString());
        return;
    }
    // A redirect that was not followed (a loop the network layer gave up on)
    // or an interim status as the final answer is no page.
    const bool unfollowedRedirect = status >= 300 && status < 400 && reply->hasRawHeader("Location");
    if (status < 200 || unfollowedRedirect) {
        m_body.clear();
        const auto error = unfollowedRedirect ? QNetworkReply::TooManyRedirectsError
                                              : QNetworkReply::ProtocolFailure;
        fail(navigation, url, -int(error),
             QStringLiteral("HTTP %1: %2")
                 .arg(status)
                 .arg(unfollowedRedirect ? QStringLiteral("リダイレクトが多すぎます。")
                                         : QStringLiteral("サーバーの応答が正しくありません。")));
        return;
    }
    m_body += reply->read(m_maxBodyBytes - m_body.size() + 1);
    if (m_body.size() > m_maxBodyBytes) {
        m_body.clear();
        fail(navigation, url, kBodyTooLarge,
             QStringLiteral("ページが大きすぎます（%1 バイトを超えています）。").arg(m_maxBodyBytes));
        return;
    }
    QByteArray body;
    body.swap(m_body);
    complete(navigation, reply->url(), body, reply->rawHeader("Content-Type"));
}

void WebBrowser::complete(quint64 navigation, const QUrl &finalUrl, const QByteArray &body,
                          const QByteArray &contentType)
{
    if (navigation != m_navigation)
        return;
    m_busy = false;

    const bool blank = finalUrl.toString() == kBlankPage;
    const QString address = blank ? kBlankPage : addressOf(finalUrl);
    QString html = DecodePage(body, contentType);
    const QByteArray mime = contentType.split(';').first().trimmed().toLower();
    if (mime == "text/plain")
        html = QStringLiteral("<html><head></head><body><pre>%1</pre></body></html>")
                   .arg(escapeText(html));
    m_document = std::make_unique<HtmlDocument>(ParseHtmlDocument(html, finalUrl));
    m_locationUrl = address;
    m_locationName = m_document->title.isEmpty() ? address : m_document->title;

    const QPointer<WebBrowser> self(this);
    Q_EMIT NavigateComplete2(address);
    if (!self || navigation != m_navigation)
        return; // a handler started another navigation (or deleted us)
    Q_EMIT DocumentComplete(address);
}

void WebBrowser::fail(quint64 navigation, const QString &url, int statusCode,
                      const QString &reason)
{
    if (navigation != m_navigation)
        return;
    m_busy = false;
    m_document = std::make_unique<HtmlDocument>(errorPage(reason));
    m_locationUrl = url;
    m_locationName = url;
    Q_EMIT NavigateError(url, statusCode);
}

} // namespace kestrune
