#pragma once
// Loads a listing page in the hidden browser, times it with the page-load
// timer, and reads its links into rows.  Nothing here waits: a load reports
// its end by a signal.  The collector window and the
// command-line collector both drive this unit; what they show of it goes
// through the hooks.

#include "base/listing/ListingRow.h"
#include "base/listing/WebBrowser.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QTimer;

namespace kestrune {

// How a listing load ended.
enum class ListingStatus {
    Listed,          // the page loaded; rows holds its links (maybe none)
    NavigationError, // the page could not be loaded
    TimedOut,        // no page within the page-load time-out
    NotFound,        // the server's page says the document does not exist
    AnalysisError,   // the page's links could not be read
    Abandoned,       // the program is ending
};

struct ListingResult {
    ListingStatus status = ListingStatus::Listed;
    QList<ListingRow> rows;
    // Why the page failed, in plain words (English): the HTTP status or the
    // client's reason.  Empty when it loaded.
    QString reason;
    // The media type the server gave the page (WebBrowser::contentType()).
    QString contentType;
    // Whether the page that loaded was sent as HTML.  A page sent as
    // anything else (a text file, an archive) is still listed for what its
    // links are worth, but it is no directory listing.  A server that names
    // no type is taken at its word that the page is one.
    bool pageIsHtml() const
    {
        return contentType.isEmpty() || contentType == QLatin1String("text/html")
               || contentType == QLatin1String("application/xhtml+xml");
    }
};

class ListingLoader : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void(const QString &)> setStatusText; // status panel 2
        std::function<void(const QString &)> writeRunLog;
        std::function<void(bool busy)> setBusyPointer;
        // The markup and the text of the page just loaded (txtHtml, txtSource).
        // They are made only when this is set.
        std::function<void(const QString &html, const QString &text)> setPageSource;
        // How long a failed navigation pauses before it is reported, in
        // milliseconds (the window's habit; 0: none).
        int navigateErrorPauseMs = 0;
        // Asks the operator for a login when the page (or the proxy) wants
        // one; empty: such a page is a navigation error.  The page-load
        // time-out does not run while it asks.
        WebBrowser::LoginHandler askLogin;
    };

    explicit ListingLoader(Hooks hooks, QObject *parent = nullptr);
    ~ListingLoader() override;

    // The page-load time-out in milliseconds.  Values the timer cannot take
    // are clamped; zero or less fires at the next turn of the event loop.
    void setTimeout(qint32 milliseconds);
    int timerInterval() const;

    // How a page load stands.
    enum class PageState { Loading, Complete, NavigationError, TimedOut };

    // Navigates; pageLoaded() follows once the page is complete, has failed
    // or has timed out.
    void LoadPage(const QString &url);

    // Loads url; listed() follows with one row per link except the
    // parent-folder links (see ClassifyLink), each with its kind, after the
    // run-log line of a failure.
    void AnalyzeListing(const QString &url);

    // The number AnalyzeListingPage gives for a result: the rows' count, 0
    // for a page that failed, -1 when reading the links failed.
    static qint32 RowCount(const ListingResult &result);

    // The program is ending: the load in flight is dropped and reports
    // nothing.
    void abandon();

    // The text of the page last loaded (what txtSource holds); empty unless
    // the setPageSource hook is set.
    const QString &pageText() const { return m_pageText; }

    // The hidden browser the pages load in.
    WebBrowser *brwBrowser() const { return m_brwBrowser; }
    // The page-load timer: it runs while a page is awaited.
    const QTimer *tmrIE() const { return m_tmrIE; }
    PageState pageState() const { return m_pageState; }
    // The same as a number: 1 while it is awaited, 0 complete, -1 a
    // navigation error, -2 timed out.
    qint16 intPageState() const;

    // Stops the page-load timer (the program is ending): no time-out is
    // reported after this.
    void stopTimer();

    // Browser events and the timer tick.
    void brwBrowser_DocumentComplete(const QString &url);
    void brwBrowser_NavigateComplete2(const QString &url);
    void brwBrowser_NavigateError(const QString &url, int statusCode);
    void tmrIE_Timer();

Q_SIGNALS:
    void pageLoaded();
    void listed(const kestrune::ListingResult &result);

private:
    void pageEnded();
    void analyze();
    void readRows();
    void stopReadingRows();

    Hooks m_hooks;
    QString m_pageText;
    WebBrowser *m_brwBrowser = nullptr;
    QTimer *m_tmrIE = nullptr;
    QTimer *m_errorPause = nullptr;
    QTimer *m_rowSlice = nullptr;      // the next slice of the links awaited
    QList<DocumentLink> m_linksInWork; // the links the rows are read from
    ListingResult m_rowsInWork;        // the rows read so far
    QUrl m_rowsPageUrl;
    qsizetype m_nextLink = 0;
    PageState m_pageState = PageState::Complete;
    bool m_awaiting = false;  // a LoadPage has not reported yet
    bool m_analyzing = false; // the page awaited is for AnalyzeListing
    QString m_analyzedUrl;
};

// True when the link text names the parent folder of a listing.
bool IsParentDirectoryLink(const QString &text);

// What a link of the listing page at pageUrl (its address after redirects)
// points at, by its absolute target href.  Nothing for a link up: to the
// page itself, the listing's own folder or a folder above it on the same
// server (scheme, host and port), paths compared decoded and without dot
// segments, whatever the link's text.  QueryOnly for the page's own address
// with a query; Folder for a target whose path ends in '/'; File otherwise.
std::optional<ListingRow::Kind> ClassifyLink(const QString &href, const QUrl &pageUrl);

} // namespace kestrune
Q_DECLARE_METATYPE(kestrune::ListingResult)
