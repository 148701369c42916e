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
//   system's proxy settings, never the program's own proxy setting; redirects
//   between http and https addresses are followed (at most 20; a redirect
//   elsewhere fails with kUnsupportedAddress).  A body larger than
//   maxBodyBytes() is not read to the end: the navigation fails.  The page's
//   bytes are decoded as DecodePage() does; a text/plain answer shows as its
//   text.  There is no time-out of its own: the caller decides how long to
//   wait, and the navigation goes on until it ends or is replaced.

#include "collector/HtmlDocument.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

namespace kestrune {

class WebBrowser : public QObject {
    Q_OBJECT
public:
    // statusCode of NavigateError: the HTTP status (400 and above) when the
    // server answered with one; otherwise 0 or negative.  Transport failures
    // use the negated QNetworkReply::NetworkError value (connection refused
    // -1, host not found -3, too many redirects -10, a final answer that is no
    // page such as a 1xx status -399 — which is also how a redirect loop that
    // Qt gives up on by itself ends, ...).
    static constexpr int kUnsupportedAddress = 0; // not http/https/about:blank, or malformed
    static constexpr int kBodyTooLarge = -1000;   // the body exceeds maxBodyBytes()

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
    QString LocationName() const;
    QString LocationURL() const;

    qint64 maxBodyBytes() const { return m_maxBodyBytes; }
    void setMaxBodyBytes(qint64 bytes) { m_maxBodyBytes = bytes; }

Q_SIGNALS:
    void DocumentComplete(const QString &url);
    void NavigateComplete2(const QString &url);
    void NavigateError(const QString &url, int statusCode);

private:
    void abandon();
    void onReadyRead();
    void onFinished();
    void failTooLarge();
    void complete(quint64 navigation, const QUrl &finalUrl, const QByteArray &body,
                  const QByteArray &contentType);
    void fail(quint64 navigation, const QString &url, int statusCode, const QString &reason);

    QNetworkAccessManager *m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    QByteArray m_body;
    qint64 m_maxBodyBytes = kDefaultMaxBodyBytes;
    quint64 m_navigation = 0; // counts Navigate2 calls; stale events carry an older number
    int m_redirects = 0;      // redirects followed by the navigation in flight
    bool m_busy = false;

    std::unique_ptr<HtmlDocument> m_document;
    QString m_locationName;
    QString m_locationUrl;
};

} // namespace kestrune
