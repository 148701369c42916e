#include "cli/CollectCommand.h"
#include "base/system/ControlCharacters.h"
#include "base/system/SystemError.h"

#include "base/settings/basKestrune.h"
#include "cli/CollectProgress.h"
#include "base/collection/CollectionRun.h"
#include "base/collection/FolderLock.h"
#include "base/listing/ListingLoader.h"
#include "base/collection/RunLog.h"
#include "base/settings/TextCodec.h"
#include "cli/ListingTree.h"
#include "cli/TerminalPrompt.h"
#include "cli/ListRows.h"
#include "cli/NameFilter.h"
#include "base/transfer/Credentials.h"
#include "base/transfer/CurlTransport.h"
#include "base/transfer/ProxySetting.h"
#include "base/transfer/TransferError.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <utility>
#include <limits>
#include <cerrno>
#include <csignal>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrune::cli {

namespace {

// ------------------------------------------------------------ interrupts

std::atomic<bool> g_interrupted{false};
// The first signal that ended the run (0: none, or not a signal).
std::atomic<int> g_signal{0};

// What ends the work in progress when the run is interrupted (a signal or
// --max-time): set while there is any.
std::function<void()> g_onInterrupt;

void interruptNow()
{
    if (g_onInterrupt)
        g_onInterrupt();
}

#ifdef Q_OS_WIN
// Ctrl+C, Ctrl+Break and the console closing arrive on a thread of their
// own; posting an event wakes the event loop from there.
BOOL WINAPI onConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    g_interrupted.store(true);
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] { interruptNow(); }, Qt::QueuedConnection);
    return TRUE;
}

bool isTerminal(std::FILE *stream)
{
    return ::_isatty(::_fileno(stream)) != 0;
}

int terminalWidth(std::FILE *)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 80;
}
#else
int g_wakeFds[2] = {-1, -1};

extern "C" void onInterruptSignal(int signal)
{
    const int saved = errno;
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
    g_interrupted.store(true);
    if (g_wakeFds[1] >= 0) {
        const char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost.
        [[maybe_unused]] const ssize_t n = ::write(g_wakeFds[1], &byte, 1);
    }
    errno = saved;
}

// Wakes the event loop when a signal arrives, so the run in progress ends at
// once, whatever it waits for (the page load, a transfer with no data).
QSocketNotifier *wakeNotifier()
{
    static QSocketNotifier *notifier = nullptr;
    if (!notifier && g_wakeFds[0] >= 0 && QCoreApplication::instance()) {
        notifier = new QSocketNotifier(g_wakeFds[0], QSocketNotifier::Read,
                                       QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
            char buffer[64];
            while (::read(g_wakeFds[0], buffer, sizeof buffer) > 0) {
            }
            if (g_interrupted.load())
                interruptNow();
        });
    }
    return notifier;
}

bool isTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) != 0;
}

int terminalWidth(std::FILE *stream)
{
    winsize ws{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}
#endif

// ------------------------------------------------------------ output

// One line on stream.  Names and addresses in it come from the page: a
// control character is shown as its escape, never sent to the terminal.
void printLine(std::FILE *stream, const QString &text)
{
    const QByteArray bytes =
        (EscapeControlCharacters(transfer::HidePasswords(text)) + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void printError(std::FILE *err, const QString &message)
{
    printLine(err, QStringLiteral("kestrune-collect: ") + message);
}

// ------------------------------------------------------------ the run's front end

class CommandHost : public CollectionRun::Host {
public:
    CommandHost(RunLog &log, qint16 fileNo, int rowCount, std::FILE *err, bool showProgress)
        : m_log(log), m_fileNo(fileNo), m_rowCount(rowCount), m_err(err),
          m_showProgress(showProgress), m_width(showProgress ? terminalWidth(err) : 0)
    {}

    // The line follows the first row not finished; the rows after it that
    // are in work at the same time are not shown.
    void rowStarted(int i, const ListingRow &row) override
    {
        if (i == m_shown + 1)
            show(i, row);
    }

    void remoteSizeKnown(int i, std::optional<qint64> size) override
    {
        if (i != m_row)
            return;
        m_expected = size.value_or(0);
        m_rowClock.restart(); // the rate counts the transfer, not the probes
    }

    void rowProgress(int i, int percent, bool busy) override
    {
        if (i != m_row)
            return;
        // Until the transfer reports its byte count, the percentage of the
        // announced size stands in for it.
        if (!m_exactBytes && !busy && m_expected > 0)
            m_received = m_expected * percent / 100;
        draw(false);
    }

    void bytesReceived(int i, qint64 received, qint64 expected) override
    {
        if (i != m_row)
            return;
        m_exactBytes = true;
        m_received = received;
        if (expected > 0)
            m_expected = expected;
        draw(false);
    }

    void writeRunLog(const QString &message) override { m_log.write(m_fileNo, message); }

    void rowDone(int i, const ListingRow &row, const RowOutcome &result) override
    {
        if (i != m_row)
            show(i, row);
        m_shown = i;
        switch (result.kind) {
        case RowOutcome::Kind::Downloaded: ++totals.downloaded; break;
        case RowOutcome::Kind::Unchanged: ++totals.unchanged; break;
        case RowOutcome::Kind::Failed:
        case RowOutcome::Kind::InvalidName:
        case RowOutcome::Kind::StoreFailed:
            ++totals.failed;
            // The run log keeps its own lines; the operator reads why here.
            finishProgress();
            printError(m_err,
                       QStringLiteral("%1: %2 (%3)").arg(row.shownPath(), result.reason, row.url));
            break;
        }
        totals.bytes += result.bytes;
        if (result.bytes > 0)
            m_received = result.bytes;
        draw(true);
    }

    // Ends the progress line so that what follows starts on a line of its own.
    void finishProgress()
    {
        if (m_showProgress && m_drawn) {
            std::fputs("\r\x1b[K", m_err);
            std::fflush(m_err);
            m_drawn = false;
        }
    }

    CollectTotals totals;

private:
    void draw(bool force)
    {
        if (!m_showProgress)
            return;
        // A terminal line rewritten for every 1 KiB read would cost more than
        // the read; five times a second is plenty to watch.
        if (!force && m_drawClock.isValid() && m_drawClock.elapsed() < 200)
            return;
        m_drawClock.start();
        const QString line = progressLine(m_row, m_rowCount, m_name, m_received, m_expected,
                                          m_rowClock.isValid() ? m_rowClock.elapsed() : 0,
                                          m_width - 1);
        const QByteArray bytes = "\r" + line.toLocal8Bit() + "\x1b[K";
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_err);
        std::fflush(m_err);
        m_drawn = true;
    }

    void show(int i, const ListingRow &row)
    {
        m_row = i;
        m_name = row.fileName;
        m_received = 0;
        m_expected = 0;
        m_exactBytes = false;
        m_rowClock.start();
        draw(true);
    }

    RunLog &m_log;
    qint16 m_fileNo;
    int m_rowCount;
    int m_shown = 0; // rows handed on
    std::FILE *m_err;
    bool m_showProgress;
    int m_width;
    int m_row = 0;
    QString m_name;
    qint64 m_received = 0;
    qint64 m_expected = 0;
    bool m_exactBytes = false;
    bool m_drawn = false;
    QElapsedTimer m_rowClock;
    QElapsedTimer m_drawClock;
};

// Why FOLDER cannot take the run's files, in one line naming it and the
// system's reason; the empty text when it can.
QString checkSaveFolder(const QString &folder, bool forWriting = true)
{
#ifdef Q_OS_WIN
    const QFileInfo info(folder);
    if (!info.exists())
        return QStringLiteral("cannot use the folder \"%1\": it does not exist").arg(folder);
    if (!info.isDir())
        return QStringLiteral("cannot use the folder \"%1\": not a folder").arg(folder);
    return QString();
#else
    const QByteArray path = QFile::encodeName(folder);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return QStringLiteral("cannot use the folder \"%1\": %2")
            .arg(folder, SystemErrorText(errno));
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("cannot use the folder \"%1\": not a folder").arg(folder);
    // New files are made in the folder itself: it needs write and search.
    if (forWriting && ::access(path.constData(), W_OK | X_OK) != 0)
        return QStringLiteral("cannot write into the folder \"%1\": %2")
            .arg(folder, SystemErrorText(errno));
    return QString();
#endif
}

// The password of a login: from the environment variable, else asked for on
// the terminal.  Nothing when neither can give one.
std::optional<QString> passwordFor(const char *variable, const QString &prompt)
{
    if (qEnvironmentVariableIsSet(variable))
        return qEnvironmentVariable(variable);
    return askSecretOnTerminal(prompt, [] { return g_interrupted.load(); });
}

// The proxies a --proxy-user login is for: those --proxy names, else the one
// the system's settings name for the listing page.  Never any other: a
// login given for one proxy is not offered to the next.
QList<QNetworkProxy> loginProxies(const CollectOptions &o)
{
    QList<QNetworkProxy> proxies;
    if (!o.proxy.isEmpty()) {
        if (const std::optional<transfer::ProxyList> list = transfer::ParseProxySetting(o.proxy)) {
            for (const transfer::ProxyList::Entry &entry : list->entries)
                proxies.append(entry.proxy);
        }
    } else if (const std::optional<QNetworkProxy> system =
                   transfer::ProxyForRequest(QString(), QUrl(o.url))) {
        proxies.append(*system);
    }
    proxies.removeIf([](const QNetworkProxy &p) {
        return p.type() == QNetworkProxy::NoProxy || p.hostName().isEmpty();
    });
    return proxies;
}

// Makes the command line's logins and trust known to the HTTP client.
// Returns the usage error, or the empty text.
QString setUpLogins(const CollectOptions &o)
{
    if (!o.caFile.isEmpty()) {
        QString why;
        if (!transfer::AddTrustedCaFile(o.caFile, &why))
            return QStringLiteral("option --cacert: cannot use \"%1\": %2").arg(o.caFile, why);
    }
    transfer::SetUseNetrc(o.netrc);
    const QUrl listing(o.url);
    if (o.user) {
        const std::optional<QString> password =
            o.password ? o.password
                       : passwordFor("KESTRUNE_PASSWORD",
                                     QStringLiteral("Password for %1 at %2: ")
                                         .arg(*o.user, listing.host()));
        if (!password)
            return QStringLiteral(
                "option --user needs the password in KESTRUNE_PASSWORD or a terminal to ask on");
        // The listing's origin only: its scheme, host and port.
        transfer::RememberServerLogin(listing, transfer::Credentials{*o.user, *password});
    }
    if (o.negotiate)
        transfer::RememberServerLogin(listing, transfer::Credentials{{}, {}, true});
    if (o.proxyUser) {
        const std::optional<QString> password =
            o.proxyPassword
                ? o.proxyPassword
                : passwordFor("KESTRUNE_PROXY_PASSWORD",
                              QStringLiteral("Password for %1 at the proxy: ").arg(*o.proxyUser));
        if (!password)
            return QStringLiteral(
                "option --proxy-user needs the password in KESTRUNE_PROXY_PASSWORD or a terminal to ask on");
        for (const QNetworkProxy &proxy : loginProxies(o))
            transfer::RememberProxyLogin(proxy.hostName(), proxy.port(),
                                         transfer::Credentials{*o.proxyUser, *password});
    }
    return QString();
}

// Says on err that the run ended early, at --max-time or on a signal, and
// returns its exit status.
int reportInterrupted(std::FILE *err, const CollectOptions &o, bool maxTimeReached)
{
    printError(err, maxTimeReached
                        ? QStringLiteral("interrupted: the run took longer than --max-time %1 s")
                              .arg(double(*o.maxTimeMs) / 1000.0)
                        : QStringLiteral("interrupted"));
    return maxTimeReached ? int(ExitInterrupted) : interruptedStatus();
}

// --list: one line per row on out, in the list's order, from one size
// request each; nothing is stored.
int listRows(const QList<ListingRow> &rows, const QString &folder, const CollectOptions &o,
             const QString &logPath, std::FILE *out, std::FILE *err, const QElapsedTimer &clock,
             const bool &maxTimeReached)
{
    RowLister::Settings settings;
    settings.folder = folder;
    const QString proxy = o.proxy;
    settings.proxy = [proxy] { return proxy; };
    settings.jobs = o.jobs;
    const transfer::LocalEntry logEntry = transfer::InspectLocalPath(logPath);
    if (logEntry.kind == transfer::LocalEntry::Kind::PlainFile)
        settings.runLog = logEntry.identity;
    int counts[5] = {};
    const auto onRow = [&](const ListedRow &row) {
        ++counts[int(row.what)];
        const QByteArray line = (listLine(row) + QLatin1Char('\n')).toLocal8Bit();
        std::fwrite(line.constData(), 1, size_t(line.size()), out);
        std::fflush(out);
        if (row.what == ListedRow::What::Failed)
            printError(err, QStringLiteral("%1: %2 (%3)").arg(row.path, row.reason, row.url));
    };
    bool ended = rows.isEmpty();
    if (!ended && !g_interrupted.load()) {
        QEventLoop loop;
        RowLister lister(rows, settings, onRow);
        QObject::connect(&lister, &RowLister::finished, &loop, [&] {
            ended = true;
            loop.quit();
        });
        g_onInterrupt = [&] {
            lister.cancel();
            loop.quit();
        };
        lister.start();
        loop.exec();
        g_onInterrupt = nullptr;
    }
    const auto count = [&](ListedRow::What what) { return counts[int(what)]; };
    const int interruptedExit = ended ? 0 : reportInterrupted(err, o, maxTimeReached);
    if (!o.quiet)
        printLine(err, QStringLiteral("kestrune-collect: %1 new, %2 unchanged, %3 grown, "
                                      "%4 differ, %5 failed, listed in %6 s")
                           .arg(count(ListedRow::What::New))
                           .arg(count(ListedRow::What::Unchanged))
                           .arg(count(ListedRow::What::Grown))
                           .arg(count(ListedRow::What::Differs))
                           .arg(count(ListedRow::What::Failed))
                           .arg(double(clock.elapsed()) / 1000.0, 0, 'f', 1));
    if (!ended)
        return interruptedExit;
    return count(ListedRow::What::Failed) > 0 ? ExitSomeFailed : ExitAllCollected;
}

} // namespace

void installInterruptHandlers()
{
#ifdef Q_OS_WIN
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
#else
    if (g_wakeFds[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_wakeFds) == 0) {
            for (int fd : g_wakeFds) {
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
        } else {
            g_wakeFds[0] = g_wakeFds[1] = -1;
        }
    }
    wakeNotifier();
    struct sigaction sa {};
    sa.sa_handler = onInterruptSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
#endif
}

bool interrupted()
{
    return g_interrupted.load();
}

int interruptedStatus()
{
#ifdef SIGTERM
    if (g_signal.load() == SIGTERM)
        return ExitTerminated;
#endif
    return ExitInterrupted;
}

void resetInterrupted()
{
    g_interrupted.store(false);
    g_signal.store(0);
}

int runCollect(const CollectOptions &o, const QString &exeFolder, std::FILE *out, std::FILE *err)
{
    if (o.help) {
        const QByteArray text = usageText().toLocal8Bit();
        std::fwrite(text.constData(), 1, size_t(text.size()), out);
        std::fflush(out);
        return ExitAllCollected;
    }
    if (o.version) {
        const QByteArray text = versionText().toLocal8Bit();
        std::fwrite(text.constData(), 1, size_t(text.size()), out);
        std::fflush(out);
        return ExitAllCollected;
    }
    if (!o.error.isEmpty()) {
        printError(err, o.error + QStringLiteral(" (see kestrune-collect --help)"));
        return ExitNothingDone;
    }

    // A list-only run reads the folder and writes nothing into it.
    if (const QString why = checkSaveFolder(o.folder, !o.list); !why.isEmpty()) {
        printError(err, why);
        return ExitNothingDone;
    }
    // The run moves the current directory into the save folder after a
    // download, so a relative folder would point elsewhere for the next row.
    const QString folder = QDir::toNativeSeparators(
        QDir::cleanPath(QFileInfo(o.folder).absoluteFilePath()));
    // One run at a time in a folder, held until the program ends.  A folder
    // that cannot be locked at all (one that may not be read) is worked
    // without the lock, as the window does.
    FolderLock folderLock;
    if (!o.list && folderLock.lock(folder) == FolderLock::Outcome::InUse) {
        printError(err, QStringLiteral("the folder \"%1\" is in use by another collection")
                            .arg(o.folder));
        return ExitNothingDone;
    }
    if (const QString why = setUpLogins(o); !why.isEmpty()) {
        printError(err, why);
        return g_interrupted.load() ? interruptedStatus() : ExitNothingDone;
    }

    // --max-time ends the run as an interrupt does.
    QTimer maxTime;
    bool maxTimeReached = false;
    if (o.maxTimeMs) {
        maxTime.setSingleShot(true);
        QObject::connect(&maxTime, &QTimer::timeout, [&maxTimeReached] {
            maxTimeReached = true;
            g_interrupted.store(true);
            interruptNow();
        });
        maxTime.start(int(std::min<qint64>(*o.maxTimeMs, std::numeric_limits<int>::max())));
    }
    // Whatever is in progress when the program ends is given up through
    // g_onInterrupt; nothing is left to it once the command returns.
    struct InterruptScope {
        ~InterruptScope() { g_onInterrupt = nullptr; }
    } interruptScope;
    QEventLoop loop;

    const QString logPath = QFileInfo(o.logPath).absoluteFilePath();
    const qint32 timeoutMs = o.timeoutMs ? *o.timeoutMs
                                         : defaultTimeoutMs(basKestrune::SettingsFile(exeFolder));

    QElapsedTimer clock;
    clock.start();
    const bool showProgress = !o.quiet && isTerminal(err);

    RunLog log;
    // A list-only run leaves the log of the last collection as it is.
    const qint16 fileNo = o.list ? 0
                                 : log.open(logPath, o.logAppend ? RunLog::Mode::Append
                                                                 : RunLog::Mode::Replace);
    // A run without its log is not a clean run, whatever it collects.
    const bool logFailed = !o.list && !log.isOpen();
    if (log.openRefused())
        printError(err,
                   QStringLiteral(
                       "\"%1\" is not a run log, it is left as it is; collecting without a log")
                       .arg(QDir::toNativeSeparators(logPath)));
    else if (logFailed)
        printError(err,
                   QStringLiteral("cannot write the run log \"%1\" (%2); collecting without it")
                       .arg(QDir::toNativeSeparators(logPath), log.openError()));

    ListingLoader::Hooks hooks;
    hooks.writeRunLog = [&](const QString &line) { log.write(fileNo, line); };
    ListingLoader loader(std::move(hooks));
    loader.setTimeout(timeoutMs);

    // Loads one listing page and waits for it; an interrupt gives it up.
    const auto loadListing = [&](const QString &url) {
        ListingResult result;
        result.status = ListingStatus::Abandoned;
        if (g_interrupted.load())
            return result;
        const QMetaObject::Connection c = QObject::connect(&loader, &ListingLoader::listed, &loop,
                                                           [&](const ListingResult &r) {
                                                               result = r;
                                                               loop.quit();
                                                           });
        g_onInterrupt = [&] {
            loader.abandon();
            loop.quit();
        };
        loader.AnalyzeListing(url);
        loop.exec();
        g_onInterrupt = nullptr;
        QObject::disconnect(c);
        return result;
    };
    ListingResult listing = loadListing(o.url);
    const QUrl pageUrl(loader.brwBrowser()->LocationURL());
    // Every run ends with its summary, also one that ends early.
    const auto summary = [&](const CollectTotals &totals) {
        if (!o.quiet)
            printLine(err, summaryLine(totals, clock.elapsed()));
    };
    const auto interruptedExit = [&](const CollectTotals &totals) {
        log.close();
        const int status = reportInterrupted(err, o, maxTimeReached);
        summary(totals);
        return status;
    };
    if (g_interrupted.load() || listing.status == ListingStatus::Abandoned)
        return interruptedExit({});
    // Why a loaded page gives no rows, with its run-log line; empty when it
    // gives them.
    const auto pageFailure = [&](const ListingResult &result, const QString &url) {
        QString why;
        switch (result.status) {
        case ListingStatus::Listed:
            // Whatever links a text file or an archive seems to hold, it is no
            // directory listing.
            if (!result.pageIsHtml()) {
                log.write(fileNo, QStringLiteral("× ページ分析エラー！\t") + url);
                why = QStringLiteral("the listing page is not HTML (%1): %2")
                          .arg(result.contentType, url);
            }
            break;
        case ListingStatus::Abandoned: break;
        case ListingStatus::NavigationError:
            why = QStringLiteral("the listing page could not be loaded: %1 (%2)")
                      .arg(url, result.reason);
            // Without a ticket the library sends no token, and the refusal
            // is all that comes back.
            if (o.negotiate && result.reason == transfer::DescribeHttpStatus(401))
                why += QStringLiteral(
                    ": the server took no Kerberos ticket for --negotiate "
                    "(none at hand, or not one it accepts: see klist; "
                    "kinit gets one)");
            break;
        case ListingStatus::TimedOut:
            why = QStringLiteral("the listing page did not load within %1 s: %2")
                      .arg(double(timeoutMs) / 1000.0)
                      .arg(url);
            break;
        case ListingStatus::NotFound:
            why = QStringLiteral("the server says the listing page does not exist: %1").arg(url);
            break;
        case ListingStatus::AnalysisError:
            why = QStringLiteral("the listing page could not be read: %1").arg(url);
            break;
        }
        return why;
    };
    const QString why = pageFailure(listing, o.url);
    if (!why.isEmpty()) {
        log.close();
        printError(err, why);
        summary({});
        return ExitNothingDone;
    }
    // Only files are collected.  The sub-folders are named once, as news
    // rather than as a failure; the page's own sort links go unmentioned.
    // A file linked twice (a listing that makes each entry's icon a link of
    // its own) is one row: a link without a name whose address a named row
    // has would only fetch the file again and store nothing, and the same
    // name with the same address is collected once.
    // The rows are sifted where they are: a listing of a million files is not
    // held twice.
    QList<ListingRow> rows = std::move(listing.rows);
    listing.rows = QList<ListingRow>();
    // --recursive: the sub-folders' pages, one after another, before any
    // file is collected, so that --jobs works across the whole tree.
    int failedFolders = 0;
    if (o.recursive) {
        TreeHooks tree;
        tree.load = [&](const QString &url, QUrl *finalUrl) {
            const ListingResult result = loadListing(url);
            *finalUrl = QUrl(loader.brwBrowser()->LocationURL());
            return result;
        };
        tree.pageFailure = pageFailure;
        tree.report = [&](const QString &line) { printError(err, line); };
        const TreeWalk walk = walkListingTree(rows, pageUrl.isValid() ? pageUrl : QUrl(o.url),
                                              folder, o.depth, tree);
        failedFolders = walk.failedFolders;
        if (walk.interrupted || g_interrupted.load()) {
            CollectTotals totals;
            totals.failed = failedFolders;
            return interruptedExit(totals);
        }
    }
    {
        // Only a link without a name asks whether a named row has its address.
        const bool unnamed = std::any_of(rows.cbegin(), rows.cend(), [](const ListingRow &row) {
            return row.kind == ListingRow::Kind::File && row.fileName.isEmpty();
        });
        QSet<QString> namedUrls;
        for (const ListingRow &row : std::as_const(rows)) {
            if (unnamed && row.kind == ListingRow::Kind::File && !row.fileName.isEmpty())
                namedUrls.insert(row.url);
        }
        QSet<std::pair<QString, QString>> listed;
        listed.reserve(rows.size());
        QStringList folders;
        const NameFilter names(o.include, o.exclude);
        // Each row is looked at once, in order.
        rows.removeIf([&](const ListingRow &row) {
            if (row.kind == ListingRow::Kind::File) {
                if (!names.accepts(row.fileName))
                    return true;
                if (row.fileName.isEmpty() && namedUrls.contains(row.url))
                    return true;
                const qsizetype before = listed.size();
                listed.insert({row.fileName, row.url});
                return listed.size() == before; // the same name and address again
            }
            if (row.kind == ListingRow::Kind::Folder) {
                const QString path = QUrl(row.url).path(QUrl::FullyDecoded);
                const QString name = path.section(QLatin1Char('/'), -2, -2);
                const QString shown = name.isEmpty() ? row.url : name + QLatin1Char('/');
                if (!folders.contains(shown))
                    folders.append(shown);
            }
            return true;
        });
        if (!folders.isEmpty() && !o.quiet)
            printError(err, QStringLiteral("not collected, sub-folders: ")
                                + folders.join(QStringLiteral(", ")));
    }

    if (o.list)
        return listRows(rows, folder, o, logPath, out, err, clock, maxTimeReached);

    CommandHost host(log, fileNo, int(rows.size()), err, showProgress);
    CollectionRun::Ending ending = CollectionRun::Ending::Completed;
    // A listing without log files ends like the start command on an empty
    // list: the run log holds its header only.
    if (!rows.isEmpty() && !g_interrupted.load()) {
        CollectionRun::Options options;
        options.jobs = o.jobs;
        options.probeMissingCopies = false;
        options.failUnansweredProbe = true;
        const QString proxy = o.proxy;
        CollectionRun run(
            host, rows, folder, [proxy] { return proxy; }, log.identity(), options);
        QObject::connect(&run, &CollectionRun::finished, &loop, [&](CollectionRun::Ending how) {
            ending = how;
            loop.quit();
        });
        g_onInterrupt = [&run] { run.cancel(); };
        run.start();
        loop.exec();
        g_onInterrupt = nullptr;
    } else if (g_interrupted.load()) {
        ending = CollectionRun::Ending::Abandoned;
    }
    log.close();
    host.finishProgress();
    host.totals.failed += failedFolders;

    if (ending == CollectionRun::Ending::Abandoned)
        return interruptedExit(host.totals);
    summary(host.totals);
    return host.totals.failed > 0 || logFailed ? ExitSomeFailed : ExitAllCollected;
}

} // namespace kestrune::cli
