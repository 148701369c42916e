#pragma once
// The collector window's hidden browser: loads one page at a time over HTTP
// and offers what the window reads from it (the document's text, markup and
// links, the page's title and address), with the completion and error events
// of a browser control.
//
// Events
//   Every event is emitted from the event loop, never inside Navigate2(): a
//   caller can set its waiting state after Navigate2() returns.  (A caller
//   that is written to also cope with an event arriving inside the call loses
//   nothing.)  Per navigation exactly one outcome is reported:
//     success - NavigateComplete2(url), then DocumentComplete(url); url is the
//               final address after redirects.  If a NavigateComplete2
//               handler starts another navigation, DocumentComplete of the
//               first is not emitted.
//     failure - NavigateError(url, statusCode) and nothing after it (no
//               DocumentComplete for the error page).
//   A page larger than kReadAtOnceBytes is read (decoded and parsed) on a
//   worker thread: DownloadComplete() tells that its bytes are in, before
//   the success events, which come once it is read.
//   Only the navigation started last reports: Navigate2() abandons one still
//   in flight, whose events never come.  A slow navigation that nobody
//   replaces reports whenever it ends, however late.
//
// State after an outcome
//   success - Document() is the new page, LocationURL() its final address,
//             LocationName() its title or, without one, the address.
//   failure - LocationURL() is the address that failed and LocationName()
//             the same address; Document() is a small error page (no title,
//             no links, innerText "ページを表示できません。" and the reason), so
//             reading it after an error is always safe and lists nothing.
//   While a navigation is in flight the previous page's state stays.
//   Document() is nullptr only until the first navigation has ended.  The
//   pointer stays valid until the next navigation ends; re-read it after
//   yielding to the event loop.
//
// Network
//   http and https only (plus "about:blank", which loads an empty page without
//   the network).  An address typed without a scheme ("host/logs/") is read
//   as http, as a browser's address bar does.  Requests go through the
//   program's HTTP client (transfer/CurlTransport.h) with the system's proxy
//   settings, never the program's own proxy setting; redirects between http
//   and https addresses are followed (at most 20; a redirect elsewhere fails
//   with kUnsupportedAddress).  A body larger than maxBodyBytes() is not read
//   to the end: the navigation fails.  The page's bytes are decoded as
//   DecodePage() does; a text/plain answer shows as its text.  The page load
//   has no time-out of its own (the caller decides how long to wait); the
//   client's idle time-out ends a server that stops sending.
//
// Logins
//   A 401 (server) or 407 (proxy) answer asks the login handler, when one is
//   set, for a user name and a password, as a browser's login dialog does:
//   the navigation is then made again with them, and a refused login asks
//   again, at most kMaxLoginPrompts times.  A cancelled prompt, or no
//   handler, ends the navigation with NavigateError(url, 401 or 407).  The
//   credentials the server took stay in memory for the program's life and go
//   with every later request to that server (transfer/Credentials.h).
//   A server that offers Negotiate is first answered, once per navigation,
//   with the user's Kerberos ticket, as a browser logs in to an intranet
//   site with the desktop's login; the handler is asked only when that is
//   refused (no ticket, or one the server does not take).

#include "base/listing/HtmlDocument.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>

#include "base/transfer/Credentials.h"
#include "base/transfer/TransferError.h"

#include <functional>
#include <optional>

namespace kestrune::transfer {
class HttpRequest;
}

namespace kestrune {

// What a login prompt shows: the server's (or the proxy's) host, with its
// port when that is not the scheme's own, and the realm it named.
struct LoginPrompt {
    QString host;
    QString realm;
    bool proxy = false;
    QString user;    // the name given last time, to start from
    int attempt = 1; // 1 for the first prompt of a navigation
};

class WebBrowser : public QObject {
    Q_OBJECT
public:
    // statusCode of NavigateError: the HTTP status (400 and above) when the
    // server answered with one; otherwise 0 or negative.
    static constexpr int kUnsupportedAddress = 0; // not http/https/about:blank, or malformed
    static constexpr int kConnectionRefused = -1;
    static constexpr int kConnectionClosed = -2; // the answer broke off
    static constexpr int kHostNotFound = -3;
    static constexpr int kTimedOut = -4;  // no data for the idle time-out
    static constexpr int kTlsFailed = -6; // TLS handshake or certificate
    static constexpr int kTooManyRedirects = -10;
    static constexpr int kNetworkError = -99;     // any other transport failure
    static constexpr int kProtocolFailure = -399; // an answer that is no page (1xx, a bare 3xx)
    static constexpr int kBodyTooLarge = -1000;   // the body exceeds maxBodyBytes()
    static constexpr int kMaxLoginPrompts = 3;
    // Pages up to this size are read at once, in the event that ends their
    // download.
    static constexpr qsizetype kReadAtOnceBytes = 1024 * 1024;

    using LoginHandler = std::function<std::optional<transfer::Credentials>(const LoginPrompt &)>;

    static constexpr qint64 kDefaultMaxBodyBytes = qint64(64) * 1024 * 1024;

    explicit WebBrowser(QObject *parent = nullptr);
    ~WebBrowser() override;

    // Starts loading url and returns at once.
    void Navigate2(const QString &url);
    // Abandons the navigation in flight, if any, without an event.
    void Stop();
    // Whether a navigation has been started and has not reported yet.
    bool Busy() const;

    const HtmlDocument *Document() const;
    // Moves the links out of the document shown (empty without one): a
    // reader that needs them once does not keep a large page's links twice.
    QList<DocumentLink> takeDocumentLinks();
    QString LocationName() const;
    QString LocationURL() const;

    // How the pages that load are read (default: the whole document, markup
    // and text included).  A caller that shows neither asks for the links
    // alone and spares the memory a large page's tree and text take.
    void setDocumentOptions(const HtmlParseOptions &options) { m_documentOptions = options; }

    qint64 maxBodyBytes() const { return m_maxBodyBytes; }
    void setMaxBodyBytes(qint64 bytes) { m_maxBodyBytes = bytes; }

    // Asked for a login on 401 and 407 (may open a modal dialog); none set:
    // such an answer is a navigation error.
    void setLoginHandler(LoginHandler handler) { m_loginHandler = std::move(handler); }

    // Why the last navigation failed, in plain words (English): the HTTP
    // status or the client's reason.  Empty after a success.
    QString lastErrorText() const { return m_lastErrorText; }

    // The media type the server gave the page last loaded, lower case and
    // without parameters ("text/html", "text/plain"); empty when its answer
    // named none, for about:blank and after a failure.
    QString contentType() const { return m_contentType; }

Q_SIGNALS:
    void DownloadComplete();
    void DocumentComplete(const QString &url);
    void NavigateComplete2(const QString &url);
    void NavigateError(const QString &url, int statusCode);

private:
    void request(const QUrl &url);
    void abandon();
    void onProgress();
    void onEnded();
    enum class LoginStep { Retried, Refused, Replaced };
    LoginStep askLogin(quint64 navigation, bool proxy);
    void complete(quint64 navigation, const QUrl &finalUrl, QByteArray body,
                  const QByteArray &contentType);
    void fail(quint64 navigation, const QString &url, int statusCode, const QString &reason);

    std::unique_ptr<transfer::HttpRequest> m_request;
    QString m_requestedUrl; // the address the navigation asked for
    qint64 m_maxBodyBytes = kDefaultMaxBodyBytes;
    HtmlParseOptions m_documentOptions;
    quint64 m_navigation = 0; // counts Navigate2 calls; stale events carry an older number
    bool m_busy = false;
    LoginHandler m_loginHandler;
    int m_loginPrompts = 0; // prompts of the navigation in flight
    bool m_triedTicket = false; // the navigation in flight offered the Kerberos ticket
    QString m_lastErrorText;
    QString m_contentType;

    std::unique_ptr<HtmlDocument> m_document;
    QString m_locationName;
    QString m_locationUrl;
};

} // namespace kestrune
