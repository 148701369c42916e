#include "base/listing/ListingLoader.h"

#include "base/settings/basKestrune.h"

#include "base/listing/WebBrowser.h"
#include "base/transfer/basWinInet.h"

#include <QElapsedTimer>
#include <QTimer>

#include <limits>

namespace kestrune {

bool IsParentDirectoryLink(const QString &text)
{
    return text.contains(QStringLiteral("親ディレクトリへ"))
           || text.contains(QStringLiteral("Parent Directory"));
}

namespace {

// What a server's page says when the document asked for does not exist.
const QString &notFoundSentence()
{
    static const QString sentence = QStringLiteral("指定されたドキュメントは存在しません。");
    return sentence;
}

// A path as the server reads it: percent-escapes decoded, dot segments
// removed, the empty path as the root.
QString serverPath(const QUrl &url)
{
    QString path = url.adjusted(QUrl::NormalizePathSegments).path(QUrl::FullyDecoded);
    if (path.isEmpty())
        path = QStringLiteral("/");
    return path;
}

bool sameServer(const QUrl &a, const QUrl &b)
{
    const QString scheme = a.scheme().toLower();
    const int standard = scheme == QLatin1String("https") ? 443 : 80;
    return scheme == b.scheme().toLower() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0
           && a.port(standard) == b.port(standard);
}

} // namespace

std::optional<ListingRow::Kind> ClassifyLink(const QString &href, const QUrl &pageUrl)
{
    const QUrl target(href);
    const auto plainKind = [&] {
        return IsFolderAddress(target) ? ListingRow::Kind::Folder : ListingRow::Kind::File;
    };
    if (!target.isValid() || target.host().isEmpty() || !pageUrl.isValid()
        || !sameServer(target, pageUrl))
        return plainKind();

    const QString pagePath = serverPath(pageUrl);
    const QString targetPath = serverPath(target);
    // The page itself in another order ("?C=N;O=D").
    if (target.hasQuery() && targetPath == pagePath)
        return ListingRow::Kind::QueryOnly;
    // The page itself, the listing's own folder or one above it.  A folder
    // named without its trailing '/' ("/logs" from "/logs/") is the same
    // folder.
    if (targetPath == pagePath)
        return std::nullopt;
    const QString folder = pagePath.left(pagePath.lastIndexOf(QLatin1Char('/')) + 1);
    const QString targetFolder = targetPath.endsWith(QLatin1Char('/'))
                                     ? targetPath
                                     : targetPath + QLatin1Char('/');
    if (folder.startsWith(targetFolder))
        return std::nullopt;
    return plainKind();
}

ListingLoader::ListingLoader(Hooks hooks, QObject *parent)
    : QObject(parent), m_hooks(std::move(hooks))
{
    m_brwBrowser = new WebBrowser(this);
    // Only a caller that shows the page's markup and text has them made; the
    // links and the not-found check need neither.
    HtmlParseOptions options;
    options.serialise = bool(m_hooks.setPageSource);
    options.phrase = notFoundSentence();
    m_brwBrowser->setDocumentOptions(options);
    m_tmrIE = new QTimer(this);
    m_tmrIE->setSingleShot(false);
    // A coarse timer may fire a little early; the time-out never does.
    m_tmrIE->setTimerType(Qt::PreciseTimer);
    connect(m_brwBrowser, &WebBrowser::DocumentComplete, this,
            &ListingLoader::brwBrowser_DocumentComplete);
    connect(m_brwBrowser, &WebBrowser::NavigateComplete2, this,
            &ListingLoader::brwBrowser_NavigateComplete2);
    connect(m_brwBrowser, &WebBrowser::NavigateError, this,
            &ListingLoader::brwBrowser_NavigateError);
    // The time-out is for the page to come; reading a large one once it has
    // come is no part of it.
    connect(m_brwBrowser, &WebBrowser::DownloadComplete, m_tmrIE, &QTimer::stop);
    connect(m_tmrIE, &QTimer::timeout, this, &ListingLoader::tmrIE_Timer);
    m_rowSlice = new QTimer(this);
    m_rowSlice->setSingleShot(true);
    connect(m_rowSlice, &QTimer::timeout, this, &ListingLoader::readRows);
    m_errorPause = new QTimer(this);
    m_errorPause->setSingleShot(true);
    connect(m_errorPause, &QTimer::timeout, this, &ListingLoader::pageEnded);
    if (m_hooks.askLogin) {
        m_brwBrowser->setLoginHandler([this](const LoginPrompt &prompt) {
            // The operator's typing is no part of the page's load time.
            const bool timing = m_tmrIE->isActive();
            m_tmrIE->stop();
            std::optional<transfer::Credentials> answer = m_hooks.askLogin(prompt);
            if (timing && m_pageState == PageState::Loading)
                m_tmrIE->start();
            return answer;
        });
    }
}

ListingLoader::~ListingLoader() = default;

void ListingLoader::setTimeout(qint32 milliseconds)
{
    // QTimer takes 0 ... INT_MAX; a negative time-out acts as 0.
    m_tmrIE->setInterval(milliseconds < 0 ? 0 : milliseconds);
}

int ListingLoader::timerInterval() const
{
    return m_tmrIE->interval();
}

void ListingLoader::stopTimer()
{
    m_tmrIE->stop();
}

qint16 ListingLoader::intPageState() const
{
    switch (m_pageState) {
    case PageState::Loading: return 1;
    case PageState::Complete: return 0;
    case PageState::NavigationError: return -1;
    case PageState::TimedOut: return -2;
    }
    return 0;
}

void ListingLoader::abandon()
{
    m_awaiting = false;
    m_analyzing = false;
    stopReadingRows();
    m_tmrIE->stop();
    m_errorPause->stop();
    m_brwBrowser->Stop();
}

void ListingLoader::LoadPage(const QString &url)
{
    stopReadingRows();
    m_pageState = PageState::Loading;
    m_awaiting = true;
    m_errorPause->stop();
    if (m_hooks.setBusyPointer)
        m_hooks.setBusyPointer(true);
    m_brwBrowser->Navigate2(url);
    // The browser reports from the event loop, never inside Navigate2.
    m_tmrIE->start();
    if (m_hooks.setStatusText)
        m_hooks.setStatusText(QStringLiteral("Loading..."));
}

void ListingLoader::pageEnded()
{
    if (!m_awaiting || m_pageState == PageState::Loading)
        return;
    m_awaiting = false;
    const HtmlDocument *doc = m_brwBrowser->Document();
    QString html;
    m_pageText.clear();
    if (doc) {
        html = doc->innerHTML;
        m_pageText = doc->innerText;
    }
    if (m_hooks.setPageSource)
        m_hooks.setPageSource(html, m_pageText);
    if (m_hooks.setStatusText)
        m_hooks.setStatusText(m_brwBrowser->LocationName());
    if (m_hooks.setBusyPointer)
        m_hooks.setBusyPointer(false);
    Q_EMIT pageLoaded();
    if (m_analyzing) {
        m_analyzing = false;
        analyze();
    }
}

void ListingLoader::AnalyzeListing(const QString &url)
{
    if (m_hooks.setBusyPointer)
        m_hooks.setBusyPointer(true);
    m_analyzedUrl = url;
    LoadPage(url);
    m_analyzing = true;
}

void ListingLoader::analyze()
{
    const QString url = m_analyzedUrl;
    const auto log = [this](const QString &line) {
        if (m_hooks.writeRunLog)
            m_hooks.writeRunLog(line);
    };
    ListingResult result;
    const auto done = [this, &result](ListingStatus status) {
        if (m_hooks.setBusyPointer)
            m_hooks.setBusyPointer(false);
        result.status = status;
        Q_EMIT listed(result);
    };
    result.contentType = m_brwBrowser->contentType();

    if (m_pageState == PageState::NavigationError) {
        log(QStringLiteral("× ページを表示できません。\t") + url);
        result.reason = m_brwBrowser->lastErrorText();
        return done(ListingStatus::NavigationError);
    }
    if (m_pageState == PageState::TimedOut) {
        log(QStringLiteral("× タイムアウトが発生しました。\t") + m_brwBrowser->LocationURL());
        result.reason =
            QStringLiteral("no page within %1 s").arg(double(m_tmrIE->interval()) / 1000.0);
        return done(ListingStatus::TimedOut);
    }
    const HtmlDocument *doc = m_brwBrowser->Document();
    if (doc && doc->phraseFound) {
        log(QStringLiteral("× ") + notFoundSentence() + QStringLiteral("\t") + url);
        result.reason = QStringLiteral("the server says the document does not exist");
        return done(ListingStatus::NotFound);
    }
    if (!doc) {
        log(QStringLiteral("× ページ分析エラー！\t") + url);
        result.reason = QStringLiteral("the page has no document");
        return done(ListingStatus::AnalysisError);
    }
    // The folder the listing shows is that of the address it came from
    // after redirects ("/logs" answered from "/logs/").
    // A caller that shows no page source has no other use for the links.
    m_linksInWork = m_hooks.setPageSource ? doc->links : m_brwBrowser->takeDocumentLinks();
    m_rowsInWork = std::move(result);
    m_rowsInWork.rows.reserve(m_linksInWork.size());
    m_rowsPageUrl = QUrl(m_brwBrowser->LocationURL());
    m_nextLink = 0;
    readRows();
}

void ListingLoader::readRows()
{
    // A page of a million links takes a second or more to read: it is read
    // in slices, and the event loop turns between them.
    constexpr qint64 kSliceMs = 50;
    const qsizetype count = m_linksInWork.size();
    QElapsedTimer slice;
    slice.start();
    for (; m_nextLink < count; ++m_nextLink) {
        if ((m_nextLink & 1023) == 0 && m_nextLink > 0 && slice.elapsed() >= kSliceMs) {
            m_rowSlice->start(0);
            return;
        }
        const DocumentLink &link = m_linksInWork[m_nextLink];
        if (IsParentDirectoryLink(link.outerText))
            continue;
        const QString href = basKestrune::TrimSpaces(link.href);
        const std::optional<ListingRow::Kind> kind = ClassifyLink(href, m_rowsPageUrl);
        if (!kind)
            continue; // the way up ("../", Apache's "Parent Directory")
        m_rowsInWork.rows.append({basKestrune::TrimSpaces(link.outerText), href, *kind, QString()});
    }
    m_linksInWork = QList<DocumentLink>();
    ListingResult result = std::move(m_rowsInWork);
    m_rowsInWork = ListingResult();
    if (m_hooks.setBusyPointer)
        m_hooks.setBusyPointer(false);
    result.status = ListingStatus::Listed;
    Q_EMIT listed(result);
}

void ListingLoader::stopReadingRows()
{
    if (!m_rowSlice->isActive())
        return;
    m_rowSlice->stop();
    m_linksInWork = QList<DocumentLink>();
    m_rowsInWork = ListingResult();
}

qint32 ListingLoader::RowCount(const ListingResult &result)
{
    switch (result.status) {
    case ListingStatus::Listed: return qint32(result.rows.size());
    case ListingStatus::AnalysisError: return -1;
    default: return 0;
    }
}

void ListingLoader::brwBrowser_DocumentComplete(const QString &)
{
    m_pageState = PageState::Complete;
    m_tmrIE->stop();
    pageEnded();
}

void ListingLoader::brwBrowser_NavigateComplete2(const QString &) {}

void ListingLoader::brwBrowser_NavigateError(const QString &, int)
{
    m_pageState = PageState::NavigationError;
    m_tmrIE->stop();
    if (m_hooks.navigateErrorPauseMs > 0 && m_awaiting)
        m_errorPause->start(m_hooks.navigateErrorPauseMs);
    else
        pageEnded();
}

void ListingLoader::tmrIE_Timer()
{
    if (m_pageState == PageState::Loading) {
        if (m_hooks.setStatusText)
            m_hooks.setStatusText(QStringLiteral("Timed Out!"));
        m_tmrIE->stop();
        m_pageState = PageState::TimedOut;
        pageEnded();
    } else if (m_pageState == PageState::NavigationError) {
        m_tmrIE->stop();
    }
}

} // namespace kestrune
