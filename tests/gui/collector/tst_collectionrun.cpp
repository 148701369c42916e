// The listing load and the collection run, driven through the real window
// against a real HTTP server on loopback: what the operator types and clicks,
// and what the list, the labels, the status bar, the folder and the run log
// show afterwards.

#include "base/collection/FolderLock.h"
#include "base/collection/RowJob.h"
#include "base/settings/TextCodec.h"
#include "base/settings/basKestrune.h"
#include "base/listing/ListingLoader.h"
#include "base/listing/WebBrowser.h"
#include "gui/collector/frmDownload.h"
#include "gui/dialogs/frmAbout.h"
#include "gui/dialogs/frmSetting.h"
#include "base/transfer/basWinInet.h"

#include "LoopbackPort.h"
#include "RecordingUi.h"
#include "TestHttpServer.h"
#include "WindowControls.h"
#include "WindowWaits.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <memory>
#include <optional>

using namespace kestrune;

namespace {

struct Link {
    QString name;
    QString href;
};

// An IIS-style listing page.
QByteArray listingPage(const QList<Link> &links,
                       const QString &parentText = QStringLiteral("[To Parent Directory]"),
                       const QByteArray &charsetMeta = QByteArray())
{
    QString html = QStringLiteral("<html><head>");
    if (!charsetMeta.isEmpty())
        html += QStringLiteral(
                    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=%1\">")
                    .arg(QString::fromLatin1(charsetMeta));
    html += QStringLiteral(
        "<title>127.0.0.1 - /logs/</title></head><body><H1>127.0.0.1 - /logs/</H1><hr>\n<pre>");
    if (!parentText.isEmpty())
        html += QStringLiteral("<A HREF=\"/\">%1</A><br><br>").arg(parentText);
    for (const Link &l : links)
        html += QStringLiteral(" 2026/12/01    10:00        12345 <A HREF=\"%1\">%2</A><br>")
                    .arg(l.href, l.name);
    html += QStringLiteral("</pre><hr></body></html>");
    return html.toUtf8();
}

TestResponse htmlResponse(const QByteArray &body,
                          const QByteArray &contentType = "text/html; charset=utf-8")
{
    TestResponse r;
    r.contentType = contentType;
    r.body = body;
    return r;
}

TestResponse fileResponse(const QByteArray &body)
{
    TestResponse r;
    r.contentType = "text/plain";
    r.body = body;
    return r;
}

} // namespace

class TestCollectionRun : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_exeDir;
    std::unique_ptr<QTemporaryDir> m_saveDir;
    std::unique_ptr<RecordingUi> m_ui;
    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<frmDownload> m_w;
    std::optional<DownloadControls> m_c; // m_w's controls
    QString m_originalDir = QDir::currentPath();

    QString save(const QString &name) const { return m_saveDir->path() + QDir::separator() + name; }

    static QByteArray readFile(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

    // The event lines of a run log: the messages after the time stamp.
    static QStringList logMessages(const QString &path)
    {
        const QStringList lines = QString::fromUtf8(readFile(path)).split(QStringLiteral("\r\n"));
        QStringList messages;
        for (qsizetype i = 4; i < lines.size(); ++i) {
            if (lines[i].isEmpty())
                continue;
            messages.append(lines[i].mid(20));
        }
        return messages;
    }

    QString logPath() const { return m_exeDir->filePath(QStringLiteral("Kestrune.log")); }

    // Loads the listing at url into the list; false when the load did not end.
    [[nodiscard]] bool load(const QString &url)
    {
        m_c->txtURL->setText(url);
        return windowwaits::loadListing(*m_w);
    }

    void serveListing(const QList<Link> &links,
                      const QString &parent = QStringLiteral("[To Parent Directory]"))
    {
        m_server->setRoute(QStringLiteral("/logs/"), htmlResponse(listingPage(links, parent)));
    }

    // Serves each file under /logs/ and returns the links to them, in order.
    QList<Link> serveFiles(const QList<QPair<QString, QByteArray>> &files)
    {
        QList<Link> links;
        for (const auto &[name, body] : files) {
            m_server->setRoute(QStringLiteral("/logs/") + name, fileResponse(body));
            links.append({name, QStringLiteral("/logs/") + name});
        }
        return links;
    }

    // Runs action once, inside the run, while row `row` is downloading.
    void duringDownloadOfRow(int row, std::function<void()> action, bool &fired)
    {
        fired = false;
        connect(m_c->pgrDownload, &QProgressBar::valueChanged, this,
                [this, row, action = std::move(action), &fired](int value) {
                    if (fired || value == 0 || m_c->lblLogCount->text() != QString::number(row))
                        return;
                    fired = true;
                    action();
                });
    }

    // Starts a run into the save folder and waits for its end; false when
    // none started or it did not end.
    [[nodiscard]] bool startRun()
    {
        m_c->txtFolder->setText(m_saveDir->path());
        return windowwaits::runToEnd(*m_w);
    }

    // Gives 開始 for the save folder where no run is to start.
    void startRefused()
    {
        m_c->txtFolder->setText(m_saveDir->path());
        m_c->cmdButton[1]->click();
        QVERIFY(!m_w->isCollecting());
    }

    // The bytes in the files this process holds open in the save folder: a
    // download on its way.
    qint64 bytesInTransfer() const
    {
        qint64 bytes = 0;
        const QString folder = QDir(m_saveDir->path()).canonicalPath();
        const QDir fds(QStringLiteral("/proc/self/fd"));
        for (const QString &fd : fds.entryList(QDir::Files | QDir::System)) {
            const QString path = fds.filePath(fd);
            if (QFile::symLinkTarget(path).startsWith(folder + QLatin1Char('/')))
                bytes += QFileInfo(path).size();
        }
        return bytes;
    }

    QStringList listNames() const
    {
        QStringList names;
        for (int i = 0; i < m_c->lstLogfiles->topLevelItemCount(); ++i)
            names.append(m_c->lstLogfiles->topLevelItem(i)->text(0));
        return names;
    }

    // Temporary files of unfinished downloads: named ones in the save folder
    // and, where the system makes them without a name, files this process
    // still holds open there.
    QStringList tempFiles() const
    {
        QStringList temps;
        const QStringList names = QDir(m_saveDir->path()).entryList(QDir::Files | QDir::Hidden);
        for (const QString &n : names) {
            if (n.contains(QLatin1Char('.')) && !n.endsWith(QStringLiteral(".log")))
                temps.append(n);
        }
        const QString folder = QDir(m_saveDir->path()).canonicalPath();
        const QDir fds(QStringLiteral("/proc/self/fd"));
        for (const QString &fd : fds.entryList(QDir::Files | QDir::System)) {
            const QString target = QFile::symLinkTarget(fds.filePath(fd));
            if (target.startsWith(folder + QLatin1Char('/')))
                temps.append(target);
        }
        return temps;
    }

private slots:
    void initTestCase()
    {
        kestrune::TextCodec::setFileCodec(kestrune::TextCodec("UTF-8"));
        frmDownload::setNavigateErrorPause(50);
    }

    void init()
    {
        m_exeDir = std::make_unique<QTemporaryDir>();
        m_saveDir = std::make_unique<QTemporaryDir>();
        QDir::setCurrent(m_exeDir->path());
        // Long enough for the 100,000-link page on a busy machine; the test
        // of the time-out sets its own.
        basKestrune::glngTimeout = 60000;
        basKestrune::gstrProxy.clear();
        m_ui = std::make_unique<RecordingUi>();
        m_server = std::make_unique<TestHttpServer>();
        QVERIFY(m_server->listen());
        m_w = std::make_unique<frmDownload>();
        QVERIFY(windowwaits::loadWindow(*m_w));
        m_w->show();
        m_c = DownloadControls(m_w.get());
    }

    void cleanup()
    {
        m_c.reset();
        m_w.reset();
        m_server.reset();
        m_ui.reset();
        QDir::setCurrent(m_originalDir);
        SetTransferIdleTimeout(60000);
    }

    // ------------------------------------------------------------ listing

    void spacesOnlyUrlIsEmpty()
    {
        m_c->lblLogTotal->setText(QStringLiteral("7"));
        m_c->txtURL->setText(QStringLiteral("   "));
        m_c->cmdLoad->click();
        QCOMPARE(m_ui->messageTexts(),
                 QStringList{QStringLiteral("IISログのURLを指定してください。")});
        QCOMPARE(m_ui->messages[0].icon, kestrune::MsgIcon::Exclamation);
        QCOMPARE(m_c->lblLogTotal->text(), QStringLiteral("7"));
        QVERIFY(m_server->requests().isEmpty());
    }

    void onlyTheParentLinkGivesNoRows()
    {
        serveListing({});
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        QCOMPARE(m_c->lstLogfiles->topLevelItemCount(), 0);
        QCOMPARE(m_c->lblLogTotal->text(), QStringLiteral("0"));
        QCOMPARE(m_c->lblLogCount->text(), QStringLiteral("0"));
        QVERIFY(m_c->cmdButton[1]->isEnabled());
        QVERIFY(!m_c->cmdButton[2]->isEnabled());
        QCOMPARE(m_c->panels[1]->text(), QStringLiteral("127.0.0.1 - /logs/"));
        QVERIFY(!m_ui->busy);
    }

    void parentLinkVariants()
    {
        const QString page = QStringLiteral(
            "<html><body><pre><A HREF=\"/\">[To Parent Directory]</A><br>"
            "<A HREF=\"/\">[親ディレクトリへ]</A><br>"
            "<A HREF=\"/\">go to Parent Directory now</A><br>"
            "<A HREF=\"/a\">[to parent directory]</A><br>"
            "<A HREF=\"/b\">PARENT DIRECTORY</A><br></pre></body></html>");
        m_server->setRoute(QStringLiteral("/logs/"), htmlResponse(page.toUtf8()));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        QCOMPARE(listNames(), (QStringList{QStringLiteral("[to parent directory]"),
                                           QStringLiteral("PARENT DIRECTORY")}));
        QCOMPARE(m_c->lblLogTotal->text(), QStringLiteral("2"));
    }

    void rowsKeepDocumentOrderDuplicatesAndResolveHrefs()
    {
        serveListing({{QStringLiteral("b.log"), QStringLiteral("/logs/b.log")},
                      {QStringLiteral("a.log"), QStringLiteral("a.log")},
                      {QStringLiteral("b.log"), QStringLiteral("/logs/b.log")},
                      {QStringLiteral("abs.log"), QStringLiteral("http://other.example/x/abs.log")},
                      {QStringLiteral("sub"), QStringLiteral("/logs/sub/")}});
        QVERIFY(load(QStringLiteral("  ") + m_server->url(QStringLiteral("/logs/"))
                     + QStringLiteral("  ")));
        QCOMPARE(basKestrune::gstrLogURL, m_server->url(QStringLiteral("/logs/")));
        QCOMPARE(listNames(), (QStringList{"b.log", "a.log", "b.log", "abs.log", "sub"}));
        QTreeWidget *list = m_c->lstLogfiles;
        QCOMPARE(list->topLevelItem(0)->text(1), m_server->url(QStringLiteral("/logs/b.log")));
        QCOMPARE(list->topLevelItem(1)->text(1), m_server->url(QStringLiteral("/logs/a.log")));
        QCOMPARE(list->topLevelItem(3)->text(1), QStringLiteral("http://other.example/x/abs.log"));
        QCOMPARE(m_c->lblLogTotal->text(), QStringLiteral("5"));
    }

    void japaneseNamesInWindows31j()
    {
        const QString name = QStringLiteral("ログ_ex261201.log");
        QByteArray page = kestrune::TextCodec("windows-31j")
                              .encode(QString::fromUtf8(
                                  listingPage({{name, QStringLiteral("/logs/") + name}},
                                              QStringLiteral("[親ディレクトリへ]"), "shift_jis")));
        m_server->setRoute(QStringLiteral("/logs/"), htmlResponse(page, "text/html"));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        QCOMPARE(listNames(), QStringList{name});
    }

    void pageThatCannotBeShown()
    {
        serveListing({{QStringLiteral("a.log"), QStringLiteral("/logs/a.log")}});
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        QCOMPARE(m_c->lstLogfiles->topLevelItemCount(), 1);
        QVERIFY(load(m_server->url(QStringLiteral("/missing/"))));
        QCOMPARE(m_w->intPageState(), qint16(-1));
        QCOMPARE(m_c->lstLogfiles->topLevelItemCount(), 0); // the old rows are gone
        QCOMPARE(m_c->lblLogTotal->text(), QStringLiteral("0"));
        QVERIFY(m_c->cmdButton[1]->isEnabled());
        QVERIFY(!QFile::exists(logPath())); // no run: the lines are dropped
    }

    void notFoundSentence()
    {
        m_server->setRoute(QStringLiteral("/gone/"),
                           htmlResponse(
                               QStringLiteral(
                                   "<html><body><p>指定されたドキュメントは存在しません。</p>"
                                   "<a href=\"/x.log\">x.log</a></body></html>")
                                   .toUtf8()));
        QVERIFY(load(m_server->url(QStringLiteral("/gone/"))));
        QCOMPARE(m_w->intPageState(), qint16(0));
        QCOMPARE(m_c->lstLogfiles->topLevelItemCount(), 0);
        QCOMPARE(m_c->lblLogTotal->text(), QStringLiteral("0"));
    }

    // Closed while a listing loads: the load is dropped; the page that
    // comes afterwards fills no list, and the pointer is normal again.
    void closingWhileAListingLoads()
    {
        TestResponse slow = htmlResponse(
            listingPage({{QStringLiteral("a.log"), QStringLiteral("/logs/a.log")}}));
        slow.holdUntilReleased = true;
        m_server->setRoute(QStringLiteral("/logs/"), slow);
        QSignalSpy listed(m_w.get(), &frmDownload::listingLoaded);
        m_c->txtURL->setText(m_server->url(QStringLiteral("/logs/")));
        m_c->cmdLoad->click();
        QTRY_COMPARE_WITH_TIMEOUT(m_server->heldCount(), 1, 30000);
        m_c->cmdButton[0]->click();
        QVERIFY(m_w->isUnloaded());
        m_server->releaseHeld();
        // The answer has gone out and the client has let go of it.
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnectionCount(), 0, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!m_w->brwBrowser()->Busy(), 30000);
        QCOMPARE(listed.size(), 0);
        QCOMPARE(m_c->lstLogfiles->topLevelItemCount(), 0);
        QVERIFY(!m_w->tmrIE()->isActive());
        QVERIFY(!m_ui->busy);
        QCOMPARE(m_ui->helpQuits, 1);
    }

    void timeOutAndALateDocumentComplete()
    {
        frmDownload w;
        basKestrune::glngTimeout = 300;
        QVERIFY(windowwaits::loadWindow(w));
        const DownloadControls c(&w);
        TestResponse slow = htmlResponse(
            listingPage({{QStringLiteral("a.log"), QStringLiteral("/a.log")}}));
        slow.holdUntilReleased = true;
        m_server->setRoute(QStringLiteral("/slow/"), slow);
        c.txtURL->setText(m_server->url(QStringLiteral("/slow/")));
        QVERIFY(windowwaits::loadListing(w));
        // The load gave up through its time-out: the server still holds the answer.
        QCOMPARE(m_server->heldCount(), 1);
        QCOMPARE(w.intPageState(), qint16(-2));
        QCOMPARE(c.lblLogTotal->text(), QStringLiteral("0"));
        QCOMPARE(c.lstLogfiles->topLevelItemCount(), 0);
        QVERIFY(c.panels[1]->text() != QStringLiteral("Timed Out!")); // replaced by the location
        QVERIFY(c.cmdButton[1]->isEnabled());
        // The slow page completes later: the state follows, the result does not.
        m_server->releaseHeld();
        QTRY_COMPARE_WITH_TIMEOUT(w.intPageState(), qint16(0), 30000);
        QCOMPARE(c.lstLogfiles->topLevelItemCount(), 0);
        QVERIFY(!w.tmrIE()->isActive());
    }

    void hundredThousandLinks()
    {
        QList<Link> links;
        links.reserve(100000);
        for (int i = 0; i < 100000; ++i)
            links.append({QStringLiteral("u_ex%1.log").arg(i, 6, 10, QLatin1Char('0')),
                          QStringLiteral("/logs/u_ex%1.log").arg(i, 6, 10, QLatin1Char('0'))});
        serveListing(links);
        QElapsedTimer t;
        t.start();
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        qInfo("100,000-link listing loaded and listed in %lld ms", t.elapsed());
        QCOMPARE(m_c->lstLogfiles->topLevelItemCount(), 100000);
        QCOMPARE(m_c->lblLogTotal->text(), QStringLiteral("100000"));
        QCOMPARE(m_c->lstLogfiles->topLevelItem(99999)->text(0), QStringLiteral("u_ex099999.log"));
    }

    // Control characters of the page's names and title show as escapes in
    // the list and in the status bar; the row keeps the name as the page
    // gave it (the run refuses to store it).
    // Control characters of the page's names and title show as escapes in
    // the list and in the status bar (a title's line breaks and TABs are
    // spaces by then, as in a browser; the other C0 characters never leave
    // the parser); the row keeps the name as the page gave it.
    void controlCharactersShowEscaped_data()
    {
        QTest::addColumn<QString>("written"); // in the page's HTML
        QTest::addColumn<QString>("listed");
        QTest::addColumn<QString>("title");
        QTest::newRow("CR LF") << "a&#13;&#10;b.log"
                               << "a\\r\\nb.log"
                               << "a b.log";
        QTest::newRow("tab") << "a&#9;b.log"
                             << "a\\tb.log"
                             << "a b.log";
        QTest::newRow("DEL") << "a\x7f.log"
                             << "a\\x7f.log"
                             << "a\\x7f.log";
        QTest::newRow("C1") << QStringLiteral("a\u009b31mb.log") << "a\\u009b31mb.log"
                            << "a\\u009b31mb.log";
        QTest::newRow("backslash stays") << "a\\b.log"
                                         << "a\\b.log"
                                         << "a\\b.log";
        QTest::newRow("japanese stays") << QStringLiteral("ログ.log") << QStringLiteral("ログ.log")
                                        << QStringLiteral("ログ.log");
    }

    void controlCharactersShowEscaped()
    {
        QFETCH(QString, written);
        QFETCH(QString, listed);
        QFETCH(QString, title);
        const QString page = QStringLiteral(
                                 "<html><head><title>%1</title></head><body><pre>"
                                 "<A HREF=\"/logs/a.log\">%1</A><br></pre></body></html>")
                                 .arg(written);
        m_server->setRoute(QStringLiteral("/logs/"), htmlResponse(page.toUtf8()));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        QCOMPARE(listNames(), QStringList{listed});
        QCOMPARE(m_c->panels[1]->text(), title);
    }

    void unsafeNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("unsafe");
        QTest::newRow("plain") << "u_ex261201.log" << false;
        QTest::newRow("japanese") << "ログ.log" << false;
        QTest::newRow("dots inside") << "a..b.log" << false;
        QTest::newRow("empty is fetched, not stored") << "" << false;
        QTest::newRow("dot") << "." << true;
        QTest::newRow("dot dot") << ".." << true;
        QTest::newRow("slash") << "a/b" << true;
        QTest::newRow("backslash") << "a\\b" << true;
        QTest::newRow("absolute") << "/etc/passwd" << true;
        QTest::newRow("nul") << QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b"))
                             << true;
        QTest::newRow("tab") << "a\tb" << true;
        QTest::newRow("newline") << "a\nb" << true;
        QTest::newRow("delete") << QString(QStringLiteral("a") + QChar(0x7F)) << true;
    }

    void unsafeNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, unsafe);
        QCOMPARE(kestrune::RowJob::isUnsafeFileName(name), unsafe);
    }

    // ------------------------------------------------------------ start command

    void startRefusals()
    {
        m_c->cmdButton[1]->setEnabled(true);
        m_c->txtURL->clear();
        m_c->txtFolder->setText(QStringLiteral("/tmp"));
        m_c->cmdButton[1]->click();
        m_c->txtURL->setText(QStringLiteral("   ")); // spaces count as filled in here
        m_c->txtFolder->clear();
        m_c->cmdButton[1]->click();
        QCOMPARE(m_ui->messageTexts(),
                 (QStringList{QStringLiteral("IISログのURLを指定してください。"),
                              QStringLiteral("保存先フォルダを指定してください。")}));
        QCOMPARE(m_w->focusWidget(), static_cast<QWidget *>(m_c->txtFolder));
        QVERIFY(!QFile::exists(logPath()));
    }

    void aFolderInUseIsNotCollectedInto()
    {
        serveListing(serveFiles({{"a.log", "aaa"}, {"b.log", "bbb"}}));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        {
            // Another collection works in the folder.
            FolderLock other;
            QCOMPARE(other.lock(m_saveDir->path()), FolderLock::Outcome::Locked);
            m_server->clearRequests();
            const QString status = m_c->panels[1]->text();
            startRefused();
            QCOMPARE(m_ui->messageTexts(),
                     QStringList{QStringLiteral("保存先フォルダは他の収集が使用中です。\r\n")
                                 + m_saveDir->path()});
            QCOMPARE(m_ui->messages[0].icon, kestrune::MsgIcon::Exclamation);
            QCOMPARE(m_ui->messages[0].title, QStringLiteral("Kestrune"));
            // Nothing started: no request, no run log, the window idle.
            QCOMPARE(m_server->requests().size(), 0);
            QVERIFY(!QFile::exists(logPath()));
            QVERIFY(m_c->cmdButton[1]->isEnabled());
            QVERIFY(!m_c->cmdButton[2]->isEnabled());
            QVERIFY(m_c->cmdLoad->isEnabled());
            QVERIFY(m_c->cmdBrowse->isEnabled());
            QCOMPARE(m_c->panels[1]->text(), status);
        }
        // The other one done, the run works, holding the folder while it does.
        bool fired = false;
        FolderLock::Outcome meanwhile = FolderLock::Outcome::NotLocked;
        duringDownloadOfRow(
            2, [&] { meanwhile = FolderLock().lock(m_saveDir->path()); }, fired);
        QVERIFY(startRun());
        QVERIFY(fired);
        QCOMPARE(meanwhile, FolderLock::Outcome::InUse);
        QCOMPARE(readFile(save("b.log")), QByteArray("bbb"));
        FolderLock after;
        QCOMPARE(after.lock(m_saveDir->path()), FolderLock::Outcome::Locked);
        QCOMPARE(m_ui->messages.size(), 1);
    }

    void startWithAnEmptyListWritesTheHeaderOnly()
    {
        serveListing({});
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        startRefused();
        const QByteArray log = readFile(logPath());
        QVERIFY(log.startsWith("Kestrune\r\n"));
        QCOMPARE(log.count("\r\n"), 4);
        QVERIFY(m_c->cmdButton[1]->isEnabled());
    }

    void unchangedFilesAreSkipped()
    {
        const QList<QPair<QString, QByteArray>> files = {{"a.log", "a body"},
                                                         {"b.log", "b body"},
                                                         {"c.log", "c body"}};
        for (const auto &[name, body] : files)
            writeFile(save(name), body);
        serveListing(serveFiles(files));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        m_server->clearRequests();
        QVERIFY(startRun());
        const QString base = m_server->url(QStringLiteral("/logs/"));
        QCOMPARE(logMessages(logPath()),
                 (QStringList{QStringLiteral("○ IISログダウンロード開始。\t"),
                              QStringLiteral("× ファイルサイズが同じ ") + base + "a.log",
                              QStringLiteral("× ファイルサイズが同じ ") + base + "b.log",
                              QStringLiteral("× ファイルサイズが同じ ") + base + "c.log",
                              QStringLiteral("○ IISログダウンロード終了。\t") + base + "c.log"}));
        QCOMPARE(m_server->requests().size(), 3); // three size probes, no download
        QVERIFY(m_c->cmdButton[1]->isEnabled());
        QVERIFY(!m_c->cmdButton[2]->isEnabled());
        QVERIFY(m_c->cmdLoad->isEnabled());
        QCOMPARE(m_c->panels[1]->text(), QString());
        QCOMPARE(m_c->lblLogCount->text(), QStringLiteral("3"));
        QVERIFY(!m_ui->busy);
    }

    void changedMissingAndLongerLocalFilesAreFetchedExactly()
    {
        const QByteArray changed = TestHttpServer::patternBytes(0, 100000);
        const QByteArray missing = TestHttpServer::patternBytes(7, 32767);
        const QByteArray shorter = "new short content\n";
        writeFile(save("changed.log"), "old");
        writeFile(save("shorter.log"), QByteArray(5000, 'x'));
        serveListing(serveFiles(
            {{"changed.log", changed}, {"missing.log", missing}, {"shorter.log", shorter}}));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        QVERIFY(startRun());
        QCOMPARE(readFile(save("changed.log")), changed);
        QCOMPARE(readFile(save("missing.log")), missing);
        QCOMPARE(readFile(save("shorter.log")), shorter);
        const QString base = m_server->url(QStringLiteral("/logs/"));
        QCOMPARE(logMessages(logPath()).mid(1, 3),
                 (QStringList{QStringLiteral("○ ") + base + "changed.log",
                              QStringLiteral("○ ") + base + "missing.log",
                              QStringLiteral("○ ") + base + "shorter.log"}));
        QCOMPARE(m_c->pgrDownload->value(), 100);
        QVERIFY(tempFiles().isEmpty());
        // The current directory followed the folder box after a download.
        QCOMPARE(QDir(QDir::currentPath()).canonicalPath(),
                 QDir(m_saveDir->path()).canonicalPath());
    }

    void secondRunWritesItsLogIntoTheSaveFolder()
    {
        serveListing(serveFiles({{"a.log", "aaa"}}));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        QVERIFY(startRun());
        QVERIFY(QFile::exists(logPath()));
        QVERIFY(startRun());
        const QString second = save(QStringLiteral("Kestrune.log"));
        QVERIFY(QFile::exists(second));
        QCOMPARE(logMessages(second).value(1), QStringLiteral("× ファイルサイズが同じ ")
                                                   + m_server->url(QStringLiteral("/logs/a.log")));
    }

    void stopDuringRowTwoOfFive()
    {
        QList<QPair<QString, QByteArray>> files;
        for (int i = 1; i <= 5; ++i)
            files.append(
                {QStringLiteral("f%1.log").arg(i), TestHttpServer::patternBytes(i, 50000)});
        serveListing(serveFiles(files));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        bool clicked = false;
        bool idleRightAfterStop = false;
        duringDownloadOfRow(
            2,
            [&] {
                m_c->cmdButton[2]->click();
                idleRightAfterStop = m_c->cmdButton[1]->isEnabled()
                                     && !m_c->cmdButton[2]->isEnabled() && m_c->cmdLoad->isEnabled()
                                     && m_c->cmdBrowse->isEnabled();
            },
            clicked);
        QVERIFY(startRun());
        QVERIFY(clicked);
        QVERIFY(idleRightAfterStop);
        QCOMPARE(m_w->intRunState, qint16(1));
        QCOMPARE(readFile(save("f1.log")), files[0].second);
        QCOMPARE(readFile(save("f2.log")), files[1].second); // finished
        for (int i = 3; i <= 5; ++i)
            QVERIFY(!QFile::exists(save(files[i - 1].first)));
        const QStringList log = logMessages(logPath());
        QCOMPARE(log.size(), 2); // start line and row 1; row 2's line went to a closed log
        QCOMPARE(log[1], QStringLiteral("○ ") + m_server->url(QStringLiteral("/logs/f1.log")));
        QCOMPARE(m_c->lblLogCount->text(), QStringLiteral("2"));
        QVERIFY(!m_ui->busy);
    }

    // 開始 given again while the stopped run's last row still ends: the new
    // run starts once that row has ended, from the first row.
    void startAgainWhileAStoppedRowEnds()
    {
        QList<QPair<QString, QByteArray>> files;
        for (int i = 1; i <= 3; ++i)
            files.append(
                {QStringLiteral("s%1.log").arg(i), TestHttpServer::patternBytes(i, 50000)});
        serveListing(serveFiles(files));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        bool clicked = false;
        bool stillEnding = false;
        duringDownloadOfRow(
            2,
            [&] {
                m_c->cmdButton[2]->click();
                m_c->cmdButton[1]->click();
                stillEnding = m_w->isCollecting();
            },
            clicked);
        QSignalSpy ended(m_w.get(), &frmDownload::runEnded);
        QVERIFY(startRun()); // the stopped run
        QVERIFY(clicked);
        QVERIFY(stillEnding);
        QVERIFY(m_w->isCollecting()); // the new one
        QVERIFY(windowwaits::waitRunEnded(*m_w));
        QCOMPARE(ended.size(), 2);
        for (const auto &[name, body] : files)
            QCOMPARE(readFile(save(name)), body);
        // The second run logs into the save folder (a file was stored there).
        const QString base = m_server->url(QStringLiteral("/logs/"));
        QCOMPARE(logMessages(save(QStringLiteral("Kestrune.log"))),
                 (QStringList{QStringLiteral("○ IISログダウンロード開始。\t"),
                              QStringLiteral("× ファイルサイズが同じ ") + base + "s1.log",
                              QStringLiteral("× ファイルサイズが同じ ") + base + "s2.log",
                              QStringLiteral("○ ") + base + "s3.log",
                              QStringLiteral("○ IISログダウンロード終了。\t") + base + "s3.log"}));
        QVERIFY(m_c->cmdButton[1]->isEnabled() && !m_c->cmdButton[2]->isEnabled());
        QVERIFY(!m_ui->busy);
    }

    void runningStateThenIdle_data()
    {
        QTest::addColumn<bool>("stopDuringLastRow");
        QTest::newRow("run to the end") << false;
        QTest::newRow("stop during the last row") << true;
    }

    // What the window shows while a run works through its rows, and that it
    // is idle again afterwards; the last file has no Content-Length, so the
    // bar is busy (0...0) while it comes.
    void runningStateThenIdle()
    {
        QFETCH(bool, stopDuringLastRow);
        const QList<QPair<QString, QByteArray>> files = {{"r1.log",
                                                          TestHttpServer::patternBytes(1, 20000)},
                                                         {"r2.log",
                                                          TestHttpServer::patternBytes(2, 20000)}};
        const QByteArray last = TestHttpServer::patternBytes(3, 2000000);
        QList<Link> links = serveFiles(files);
        TestResponse unsized = fileResponse(last);
        unsized.chunked = true;
        m_server->setRoute(QStringLiteral("/logs/r3.log"), unsized);
        links.append({QStringLiteral("r3.log"), QStringLiteral("/logs/r3.log")});
        serveListing(links);
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));

        struct Sample {
            QString count, status;
            int value, minimum, maximum, currentRow;
            bool selected, start, stop, load, browse;
        };
        QList<Sample> samples;
        bool stopped = false;
        bool idleAtOnce = false;
        QTimer sampler; // fires at every turn of the event loop while the run works
        sampler.setInterval(0);
        connect(m_w.get(), &frmDownload::runEnded, &sampler, &QTimer::stop);
        connect(&sampler, &QTimer::timeout, this, [&] {
            if (stopped)
                return;
            QTreeWidgetItem *current = m_c->lstLogfiles->currentItem();
            const QProgressBar *bar = m_c->pgrDownload;
            samples.append({m_c->lblLogCount->text(), m_c->panels[1]->text(), bar->value(),
                            bar->minimum(), bar->maximum(),
                            m_c->lstLogfiles->indexOfTopLevelItem(current),
                            current != nullptr && current->isSelected(),
                            m_c->cmdButton[1]->isEnabled(), m_c->cmdButton[2]->isEnabled(),
                            m_c->cmdLoad->isEnabled(), m_c->cmdBrowse->isEnabled()});
            if (stopDuringLastRow && samples.last().count == QStringLiteral("3")
                && bar->maximum() == 0) {
                stopped = true;
                m_c->cmdButton[2]->click();
                idleAtOnce = m_c->cmdButton[1]->isEnabled() && !m_c->cmdButton[2]->isEnabled()
                             && m_c->cmdLoad->isEnabled() && m_c->cmdBrowse->isEnabled()
                             && bar->maximum() == 100 && m_c->panels[1]->text().isEmpty();
            }
        });
        sampler.start();
        QVERIFY(startRun());
        sampler.stop();

        // While it ran: the running state, rows counted 1...3, each row
        // selected with the bar back at 0 when it began.
        static const QRegularExpression running(
            QStringLiteral("^処理中\\[\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}開始\\]$"));
        QStringList counts;
        bool sawBusy = false;
        for (const Sample &s : samples) {
            QVERIFY(!s.start && s.stop && !s.load && !s.browse);
            QVERIFY2(running.match(s.status).hasMatch(), qPrintable(s.status));
            if (s.count == QStringLiteral("0")) // before row 1 begins
                continue;
            sawBusy = sawBusy || s.maximum == 0;
            if (!counts.isEmpty() && counts.last() == s.count)
                continue;
            counts.append(s.count);
            QCOMPARE(s.currentRow, s.count.toInt() - 1);
            QVERIFY(s.selected);
            QCOMPARE(s.value, 0);
            QCOMPARE(s.minimum, 0);
            QCOMPARE(s.maximum, 100);
        }
        QCOMPARE(counts, (QStringList{"1", "2", "3"}));
        QVERIFY(sawBusy);

        // Afterwards: idle, the last row complete, a normal 0...100 bar.
        QCOMPARE(stopped, stopDuringLastRow);
        QCOMPARE(idleAtOnce, stopDuringLastRow);
        QVERIFY(m_c->cmdButton[1]->isEnabled() && !m_c->cmdButton[2]->isEnabled());
        QVERIFY(m_c->cmdLoad->isEnabled() && m_c->cmdBrowse->isEnabled());
        QCOMPARE(m_c->panels[1]->text(), QString());
        QCOMPARE(m_c->pgrDownload->minimum(), 0);
        QCOMPARE(m_c->pgrDownload->maximum(), 100);
        QCOMPARE(readFile(save("r3.log")), last);
        QCOMPARE(m_w->intRunState, qint16(stopDuringLastRow ? 1 : 0));
        const QString end = QStringLiteral("○ IISログダウンロード終了。\t")
                            + m_server->url(QStringLiteral("/logs/r3.log"));
        QCOMPARE(logMessages(logPath()).contains(end),
                 !stopDuringLastRow); // lost to the closed log
        QVERIFY(!m_ui->busy);
    }

    void settingsSavedDuringARunApplyFromTheNextRow()
    {
        // A port nobody listens on: once it is the proxy, every transfer fails
        // and nothing reaches the server directly.
        const quint16 deadPort = closedPort();
        QVERIFY(deadPort != 0);
        QFile ini(m_exeDir->filePath(QStringLiteral("Kestrune.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Kestrune]\r\nTimeout=30\r\n");
        ini.close();
        frmSetting::SetExecutableFolder(m_exeDir->path());

        QList<QPair<QString, QByteArray>> files;
        for (int i = 1; i <= 3; ++i)
            files.append(
                {QStringLiteral("p%1.log").arg(i), TestHttpServer::patternBytes(i, 20000)});
        serveListing(serveFiles(files));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        m_server->clearRequests();

        bool opened = false;
        QStringList rowWhileOpen; // the count at each turn while the dialog is open
        duringDownloadOfRow(
            1,
            [&] {
                // Runs once the dialog is up, inside its modal loop: the run
                // waits meanwhile, whatever the turns of the loop.
                auto *poll = new QTimer(this);
                poll->setInterval(10);
                connect(poll, &QTimer::timeout, this, [&, poll] {
                    auto *dlg = qobject_cast<frmSetting *>(QApplication::activeModalWidget());
                    if (!dlg)
                        return;
                    rowWhileOpen.append(m_c->lblLogCount->text());
                    if (rowWhileOpen.size() < 20)
                        return;
                    poll->stop();
                    poll->deleteLater();
                    const SettingControls s(dlg);
                    s.txtProxyAddress->setText(QStringLiteral("127.0.0.1"));
                    s.txtProxyPort->setText(QString::number(deadPort));
                    s.cmdButton[0]->click();
                });
                poll->start();
                m_c->cmdButton[3]->click(); // modal: returns when the dialog closes
            },
            opened);
        QVERIFY(startRun());
        frmSetting::SetExecutableFolder(QString());
        QVERIFY(opened);
        QCOMPARE(rowWhileOpen, QStringList(20, QStringLiteral("1")));
        QCOMPARE(basKestrune::gstrProxy, QStringLiteral("127.0.0.1:%1").arg(deadPort));
        QCOMPARE(readFile(save("p1.log")), files[0].second);
        QVERIFY(!QFile::exists(save("p2.log")));
        const QString base = m_server->url(QStringLiteral("/logs/"));
        const QStringList log = logMessages(logPath());
        QVERIFY2(log.contains(QStringLiteral("× ") + base + "p2.log"), qPrintable(log.join('\n')));
        QVERIFY(log.contains(QStringLiteral("× ") + base + "p3.log"));
        for (const RecordedRequest &r : m_server->requests())
            QVERIFY2(r.path.endsWith("p1.log"), r.path.constData());
        basKestrune::gstrProxy.clear();
    }

    void exitDuringATransfer()
    {
        const QByteArray old = "old copy of b";
        writeFile(save("b.log"), old);
        serveListing(serveFiles(
            {{"a.log", "a"}, {"b.log", TestHttpServer::patternBytes(0, 300000)}, {"c.log", "c"}}));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        bool clicked = false;
        duringDownloadOfRow(
            2, [&] { m_c->cmdButton[0]->click(); }, clicked);
        QVERIFY(startRun()); // the run ends with the window
        QVERIFY(clicked);
        QVERIFY(m_w->isUnloaded());
        QVERIFY(!m_w->isCollecting());
        QCOMPARE(readFile(save("b.log")), old);
        QVERIFY(!QFile::exists(save("c.log")));
        for (const RecordedRequest &r : m_server->requests())
            QVERIFY2(!r.path.endsWith("c.log"), r.path.constData()); // no row after it began
        QVERIFY2(tempFiles() == QStringList{}, qPrintable(tempFiles().join(',')));
        const QStringList log = logMessages(logPath());
        QVERIFY(!log.isEmpty());
        QVERIFY(!log.last().contains(QStringLiteral("終了")));
        QCOMPARE(m_ui->helpQuits, 1);
    }

    // A modal dialog over the window holds the run: the file in transfer
    // takes no more bytes while it is open, and once it closes the run
    // completes the file exactly.
    void aModalDialogHoldsTheTransferInFlight()
    {
        constexpr qint64 size = 32 * 1024 * 1024; // far more than the buffers on the way
        TestResponse big;
        big.contentType = "text/plain";
        big.generatedSize = size;
        m_server->setRoute(QStringLiteral("/logs/big.log"), big);
        serveListing({{"big.log", "/logs/big.log"}});
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));

        struct Sample {
            int bar;
            qint64 bytes;
            QString count;
            bool collecting;
        };
        QList<Sample> whileOpen;
        constexpr int turns = 25;
        bool opened = false;
        duringDownloadOfRow(
            1,
            [&] {
                // Samples the window at turns of the dialog's loop, then closes it.
                auto *watch = new QTimer(this);
                watch->setInterval(20);
                connect(watch, &QTimer::timeout, this, [&, watch] {
                    auto *dlg = qobject_cast<frmAbout *>(QApplication::activeModalWidget());
                    if (!dlg)
                        return;
                    whileOpen.append({m_c->pgrDownload->value(), bytesInTransfer(),
                                      m_c->lblLogCount->text(), m_w->isCollecting()});
                    if (whileOpen.size() < turns)
                        return;
                    watch->stop();
                    watch->deleteLater();
                    AboutControls(dlg).cmdOK->click();
                });
                watch->start();
                m_c->cmdButton[4]->click(); // modal: returns when the dialog closes
            },
            opened);
        QVERIFY(startRun());
        QVERIFY(opened);
        QCOMPARE(whileOpen.size(), turns);
        const Sample &first = whileOpen.first();
        QVERIFY2(first.bar > 0 && first.bar < 100, qPrintable(QString::number(first.bar)));
        for (const Sample &s : std::as_const(whileOpen)) {
            QCOMPARE(s.bar, first.bar);
            QCOMPARE(s.bytes, first.bytes);
            QCOMPARE(s.count, QStringLiteral("1"));
            QVERIFY(s.collecting);
        }

        {
            QFile copy(save("big.log"));
            QVERIFY(copy.open(QIODevice::ReadOnly));
            QCOMPARE(copy.size(), size);
            constexpr qint64 block = 1024 * 1024;
            for (qint64 at = 0; at < size; at += block)
                QVERIFY2(copy.read(block) == TestHttpServer::patternBytes(at, block),
                         qPrintable(QStringLiteral("at %1").arg(at)));
        }
        const QString url = m_server->url(QStringLiteral("/logs/big.log"));
        QCOMPARE(logMessages(logPath()).mid(1),
                 (QStringList{QStringLiteral("○ ") + url,
                              QStringLiteral("○ IISログダウンロード終了。\t") + url}));
        QCOMPARE(m_c->pgrDownload->value(), 100);
        QVERIFY2(tempFiles().isEmpty(), qPrintable(tempFiles().join(',')));
    }

    void emptyAndUnsafeFileNames()
    {
        m_server->setRoute(QStringLiteral("/logs/empty"), fileResponse("fetched but not stored"));
        const QString page = QStringLiteral(
            "<html><body><pre>"
            "<a href=\"/logs/empty\"> </a>"
            "<a href=\"/logs/e1\">../escape.log</a>"
            "<a href=\"/logs/e2\">..</a>"
            "<a href=\"/logs/e3\">.</a>"
            "<a href=\"/logs/e4\">sub\\x.log</a>"
            "<a href=\"/logs/e5\">/etc/passwd</a>"
            "</pre></body></html>");
        m_server->setRoute(QStringLiteral("/logs/"), htmlResponse(page.toUtf8()));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        QCOMPARE(m_c->lstLogfiles->topLevelItemCount(), 6);
        m_server->clearRequests();
        QVERIFY(startRun());
        const QStringList log = logMessages(logPath());
        const QString base = m_server->url(QStringLiteral("/logs/"));
        QCOMPARE(log.value(1), QStringLiteral("○ ") + base + "empty");
        int refused = 0;
        for (const QString &line : log)
            refused += line.startsWith(QStringLiteral("× ファイル名が不正です。\t")) ? 1 : 0;
        QCOMPARE(refused, 5); // every unsafe row is logged...
        for (const RecordedRequest &r : m_server->requests())
            QVERIFY2(r.path == "/logs/empty", r.path.constData()); // ...and never requested
        // Nothing was stored anywhere.
        QCOMPARE(QDir(m_saveDir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{});
        QVERIFY(!QFile::exists(QDir(m_saveDir->path()).absoluteFilePath("../escape.log")));
    }

    void localFailuresAreReportedAndTheRunGoesOn()
    {
        QVERIFY(QDir(m_saveDir->path()).mkdir(QStringLiteral("a.log"))); // a folder of that name
        serveListing(serveFiles({{"a.log", "aaa"}, {"b.log", "bbb"}}));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        QVERIFY(startRun());
        QStringList log = logMessages(logPath());
        QVERIFY2(log.contains(QStringLiteral("× ファイルを保存できません。\t") + save("a.log")),
                 qPrintable(log.join('\n')));
        QCOMPARE(readFile(save("b.log")), QByteArray("bbb"));
        QVERIFY(log.last().startsWith(QStringLiteral("○ IISログダウンロード終了。")));

        // A folder that does not exist: every row fails locally, the run ends idle.
        m_c->txtFolder->setText(m_saveDir->filePath(QStringLiteral("no/such")));
        QDir::setCurrent(m_exeDir->path());
        QVERIFY(windowwaits::runToEnd(*m_w));
        log = logMessages(logPath());
        QCOMPARE(log.size(), 4);
        QVERIFY(log[1].startsWith(QStringLiteral("× ファイルを保存できません。\t")));
        QVERIFY(m_c->cmdButton[1]->isEnabled());
    }

    void foldersAreNeverStoredAsFiles_data()
    {
        // With an old copy of the moved file, the run asks for what it grew
        // by; without one, for the whole file.
        QTest::addColumn<bool>("oldCopy");
        QTest::newRow("new copy") << false;
        QTest::newRow("old copy shorter") << true;
    }

    void foldersAreNeverStoredAsFiles()
    {
        QFETCH(bool, oldCopy);
        if (oldCopy)
            writeFile(save("moved.log"), "old");
        // IIS's own log folder: a sub-folder row, an Apache-style sort link
        // (the page's own folder with a query) and a file that the server
        // sends on to a folder.  The window lists them all; the run stores
        // none of them.
        const QByteArray folderPage = "<html><body><pre>a sub-folder listing</pre></body></html>";
        m_server->setRoute(QStringLiteral("/logs/W3SVC1/"), htmlResponse(folderPage));
        m_server->setRoute(QStringLiteral("/logs/moved/"), htmlResponse(folderPage));
        TestResponse moved = htmlResponse("<html><body>moved</body></html>");
        moved.status = 302;
        moved.extraHeaders.append({QByteArray("Location"), QByteArray("/logs/moved/")});
        m_server->setRoute(QStringLiteral("/logs/moved.log"), moved);
        m_server->setRoute(QStringLiteral("/logs/a.log"), fileResponse("a body"));
        const QString page = QStringLiteral(
            "<html><body><pre><A HREF=\"/\">[To Parent Directory]</A><br><br>"
            " 2026/12/01 10:00 &lt;dir&gt; <A HREF=\"/logs/W3SVC1/\">W3SVC1</A><br>"
            "<a href=\"?C=N;O=D\">Name</a>"
            " 2026/12/01 10:00 12 <A HREF=\"/logs/moved.log\">moved.log</A><br>"
            " 2026/12/01 10:00 6 <A HREF=\"/logs/a.log\">a.log</A><br></pre></body></html>");
        m_server->setRoute(QStringLiteral("/logs/"), htmlResponse(page.toUtf8()));
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        QCOMPARE(listNames(), (QStringList{"W3SVC1", "Name", "moved.log", "a.log"}));
        m_server->clearRequests();
        QVERIFY(startRun());

        const QString base = m_server->url(QStringLiteral("/logs/"));
        const QString refused = QStringLiteral("× ファイルを保存できません。\t");
        QCOMPARE(logMessages(logPath()),
                 (QStringList{QStringLiteral("○ IISログダウンロード開始。\t"),
                              refused + save("W3SVC1"), refused + save("Name"),
                              refused + save("moved.log"), QStringLiteral("○ ") + base + "a.log",
                              QStringLiteral("○ IISログダウンロード終了。\t") + base + "a.log"}));
        QCOMPARE(QDir(m_saveDir->path())
                     .entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot),
                 oldCopy ? (QStringList{"a.log", "moved.log"}) : QStringList{"a.log"});
        QCOMPARE(readFile(save("a.log")), QByteArray("a body"));
        if (oldCopy)
            QCOMPARE(readFile(save("moved.log")), QByteArray("old"));
        // Nothing was asked of the folder rows; the moved file was asked and
        // sent on, its folder's page read no further than its head.
        QStringList paths;
        for (const RecordedRequest &r : m_server->requests())
            paths.append(QString::fromUtf8(r.path));
        QVERIFY2(!paths.contains(QStringLiteral("/logs/W3SVC1/")), qPrintable(paths.join(' ')));
        QVERIFY2(!paths.contains(QStringLiteral("/logs/?C=N;O=D")), qPrintable(paths.join(' ')));
        QVERIFY2(paths.contains(QStringLiteral("/logs/moved.log")), qPrintable(paths.join(' ')));
        QVERIFY(tempFiles().isEmpty());
    }

    void copiesTakeTheServersTime_data()
    {
        QTest::addColumn<QByteArray>("lastModified"); // empty: no such header
        QTest::addColumn<qint64>("expected");         // seconds since 1970; -1: the write's time
        QTest::newRow("IMF-fixdate")
            << QByteArray("Tue, 05 Mar 2024 06:07:08 GMT") << qint64(1709618828);
        QTest::newRow("RFC 850") << QByteArray("Tuesday, 05-Mar-24 06:07:08 GMT")
                                 << qint64(1709618828);
        QTest::newRow("asctime") << QByteArray("Tue Mar  5 06:07:08 2024") << qint64(1709618828);
        QTest::newRow("none") << QByteArray() << qint64(-1);
        QTest::newRow("unreadable") << QByteArray("yesterday-ish") << qint64(-1);
    }

    void copiesTakeTheServersTime()
    {
        QFETCH(QByteArray, lastModified);
        QFETCH(qint64, expected);
        TestResponse file = fileResponse("dated body");
        if (!lastModified.isEmpty())
            file.extraHeaders.append(qMakePair(QByteArray("Last-Modified"), lastModified));
        m_server->setRoute(QStringLiteral("/logs/dated.log"), file);
        serveListing({{"dated.log", "/logs/dated.log"}});
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-2);
        QVERIFY(startRun());
        QCOMPARE(readFile(save("dated.log")), QByteArray("dated body"));
        const QDateTime modified = QFileInfo(save("dated.log")).lastModified().toUTC();
        if (expected >= 0) {
            QCOMPARE(modified, QDateTime::fromSecsSinceEpoch(expected, Qt::UTC));
        } else {
            QVERIFY2(modified >= before, qPrintable(modified.toString(Qt::ISODate)));
            QVERIFY2(modified <= QDateTime::currentDateTimeUtc().addSecs(2),
                     qPrintable(modified.toString(Qt::ISODate)));
        }
    }

    void errorStatusNeverReplacesALocalFile()
    {
        writeFile(save("gone.log"), "precious");
        serveListing({{"gone.log", "/logs/gone.log"}}); // no route: 404 with a body
        QVERIFY(load(m_server->url(QStringLiteral("/logs/"))));
        QVERIFY(startRun());
        QCOMPARE(readFile(save("gone.log")), QByteArray("precious"));
        QCOMPARE(logMessages(logPath()).value(1),
                 QStringLiteral("× ") + m_server->url(QStringLiteral("/logs/gone.log")));
        QVERIFY(tempFiles().isEmpty());
    }
};

QTEST_MAIN(TestCollectionRun)
#include "tst_collectionrun.moc"
