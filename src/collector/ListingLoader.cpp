#include "collector/ListingLoader.h"

#include "app/basKestrune.h"

#include "collector/WebBrowser.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <limits>

namespace kestrune {

namespace {

int &navigateErrorPause()
{
    static int ms = 1000;
    return ms;
}


} // namespace

bool IsParentDirectoryLink(const QString &text)
{
    return text.contains(QStringLiteral("親ディレクトリへ"))
        || text.contains(QStringLiteral("Parent Directory"));
}

void ListingLoader::setNavigateErrorPause(int milliseconds)
{
    navigateErrorPause() = milliseconds;
}

ListingLoader::ListingLoader(Hooks hooks, QObject *parent)
    : QObject(parent), m_hooks(std::move(hooks))
{
    brwBrowser = new WebBrowser(this);
    tmrIE = new QTimer(this);
    tmrIE->setSingleShot(false);
    // A coarse timer may fire a little early; the time-out never does.
    tmrIE->setTimerType(Qt::PreciseTimer);
    connect(brwBrowser, &WebBrowser::DocumentComplete, this,
            &ListingLoader::brwBrowser_DocumentComplete);
    connect(brwBrowser, &WebBrowser::NavigateComplete2, this,
            &ListingLoader::brwBrowser_NavigateComplete2);
    connect(brwBrowser, &WebBrowser::NavigateError, this,
            &ListingLoader::brwBrowser_NavigateError);
    connect(tmrIE, &QTimer::timeout, this, &ListingLoader::tmrIE_Timer);
}

ListingLoader::~ListingLoader() = default;

void ListingLoader::setTimeout(qint32 milliseconds)
{
    // QTimer takes 0 ... INT_MAX; a negative time-out acts as 0.
    tmrIE->setInterval(milliseconds < 0 ? 0 : milliseconds);
}

int ListingLoader::timerInterval() const
{
    return tmrIE->interval();
}

void ListingLoader::LoadPage(const QString &url)
{
    intPageState = 1;
    if (m_hooks.setBusyPointer)
        m_hooks.setBusyPointer(true);
    brwBrowser->Navigate2(url);
    // An outcome reported inside Navigate2 has already ended the wait; the
    // timer then only disables itself at its tick.
    tmrIE->start();
    if (m_hooks.setStatusText)
        m_hooks.setStatusText(QStringLiteral("Loading..."));
    while (intPageState == 1) {
        if (m_hooks.abandoned && m_hooks.abandoned())
            break;
        // Block until the next event arrives: the browser's events and the
        // timer tick end the wait.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const HtmlDocument *doc = brwBrowser->Document();
    QString html;
    m_pageText.clear();
    if (doc) {
        html = doc->innerHTML;
        m_pageText = doc->innerText;
    }
    if (m_hooks.setPageSource)
        m_hooks.setPageSource(html, m_pageText);
    if (m_hooks.setStatusText)
        m_hooks.setStatusText(brwBrowser->LocationName());
    if (m_hooks.setBusyPointer)
        m_hooks.setBusyPointer(false);
}

qint32 ListingLoader::AnalyzeListingPage(const QString &url, QList<ListingRow> &rows)
{
    const auto log = [this](const QString &line) {
        if (m_hooks.writeRunLog)
            m_hooks.writeRunLog(line);
    };
    const auto done = [this](qint32 result) {
        if (m_hooks.setBusyPointer)
            m_hooks.setBusyPointer(false);
        return result;
    };
    if (m_hooks.setBusyPointer)
        m_hooks.setBusyPointer(true);

    LoadPage(url);
    const QString &text = m_pageText;

    if (intPageState == -1) {
        log(QStringLiteral("× ページを表示できません。\t") + url);
        return done(0);
    }
    if (intPageState == -2) {
        log(QStringLiteral("× タイムアウトが発生しました。\t") + brwBrowser->LocationURL());
        return done(0);
    }
    if (intPageState == 1) // the program is ending; the page never arrived
        return done(0);
    if (text.contains(QStringLiteral("指定されたドキュメントは存在しません。"))) {
        log(QStringLiteral("× 指定されたドキュメントは存在しません。\t") + url);
        return done(0);
    }

    const HtmlDocument *doc = brwBrowser->Document();
    if (!doc) {
        log(QStringLiteral("× ページ分析エラー！\t") + url);
        return done(-1);
    }
    qint32 count = 0;
    rows.reserve(rows.size() + doc->links.size());
    for (const DocumentLink &link : doc->links) {
        if (IsParentDirectoryLink(link.outerText))
            continue;
        rows.append({basKestrune::TrimSpaces(link.outerText), basKestrune::TrimSpaces(link.href)});
        ++count;
    }
    return done(count);
}

void ListingLoader::brwBrowser_DocumentComplete(const QString &)
{
    intPageState = 0;
    tmrIE->stop();
}

void ListingLoader::brwBrowser_NavigateComplete2(const QString &)
{
}

void ListingLoader::brwBrowser_NavigateError(const QString &, int)
{
    intPageState = -1;
    tmrIE->stop();
    QThread::msleep(static_cast<unsigned long>(navigateErrorPause()));
}

void ListingLoader::tmrIE_Timer()
{
    if (intPageState == 1) {
        if (m_hooks.setStatusText)
            m_hooks.setStatusText(QStringLiteral("Timed Out!"));
        tmrIE->stop();
        intPageState = -2;
    } else if (intPageState == -1) {
        tmrIE->stop();
    }
}

} // namespace kestrune
