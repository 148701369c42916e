// The collector window, offscreen, against nginx (and tinyproxy): what the operator gets by
// typing the listing address, clicking 読込 and 開始, and that its run log
// holds the same lines as kestrune-collect's.
//
// A run that permissions must limit runs in a child process (this test
// again, the child's slot named on its command line) as nobody when the
// test runs as root, whom permissions do not stop.

#include "E2eSupport.h"
#include "NginxFixture.h"
#include "TinyproxyFixture.h"

#include "base/settings/basKestrune.h"
#include "gui/collector/frmDownload.h"
#include "base/transfer/Credentials.h"
#include "base/transfer/LocalFile.h"

#include "RecordingUi.h"
#include "WindowControls.h"
#include "WindowWaits.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace kestrune;

using namespace e2e;

namespace {

// Set in a child run: the listing's address and the save folder.
constexpr const char *kChildUrl = "KESTRUNE_E2E_WINDOW_CHILD_URL";
constexpr const char *kChildFolder = "KESTRUNE_E2E_WINDOW_CHILD_FOLDER";

bool isChild()
{
    return qEnvironmentVariableIsSet(kChildUrl);
}

struct stat statOf(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        st.st_ino = 0;
    return st;
}

} // namespace

class TestE2eWindow : public QObject {
    Q_OBJECT

    NginxFixture m_nginx;
    QString m_originalDir;

private slots:
    void initTestCase()
    {
        m_originalDir = QDir::currentPath();
        basKestrune::glngTimeout = 30000;
        basKestrune::gstrProxy.clear();
        // The system's proxy settings must not take loopback traffic elsewhere.
        for (const char *name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
        if (isChild())
            return; // the parent's nginx serves it
        QVERIFY(QFileInfo(collectProgram()).isExecutable());
        m_nginx.requireBasicAuth(QStringLiteral("/winpriv/"), QStringLiteral("ops"),
                                 QStringLiteral("s3cret"));
        m_nginx.requireBasicAuth(QStringLiteral("/winother/"), QStringLiteral("someone"),
                                 QStringLiteral("else"));
        if (!m_nginx.start())
            QSKIP(qPrintable(m_nginx.errorString()));
    }

    void cleanupTestCase() { QDir::setCurrent(m_originalDir); }

    void windowAndCommandWriteTheSameRun()
    {
        const Site site =
            publish(m_nginx, QStringLiteral("win/"), QStringLiteral("[親ディレクトリへ]"),
                    {{QStringLiteral("u_ex261201.log"), QStringLiteral("/win/u_ex261201.log"),
                      QStringLiteral("win/u_ex261201.log"), logBytes(51, 30000)},
                     {QStringLiteral("日本語_261202.log"), QStringLiteral("日本語_261202.log"),
                      QStringLiteral("win/日本語_261202.log"), logBytes(52, 300000)},
                     {QStringLiteral("u_ex261203.log"), QStringLiteral("/win/u_ex261203.log"),
                      QStringLiteral("win/u_ex261203.log"), logBytes(53, 1)}},
                    "windows-31j", true);
        QTemporaryDir windowCwd;
        QTemporaryDir windowSave;
        QTemporaryDir cliCwd;
        QTemporaryDir cliSave;
        QVERIFY(QDir::setCurrent(windowCwd.path()));

        // Fresh collection through the window.
        RecordingUi ui;
        frmDownload w;
        QVERIFY(windowwaits::loadWindow(w));
        const DownloadControls c(&w);
        w.show();
        c.txtURL->setText(m_nginx.url(site.pagePath));
        QVERIFY(windowwaits::loadListing(w));
        QStringList listed;
        for (int i = 0; i < c.lstLogfiles->topLevelItemCount(); ++i)
            listed.append(c.lstLogfiles->topLevelItem(i)->text(0));
        QCOMPARE(listed, site.names);
        QCOMPARE(c.lblLogTotal->text(), QString::number(site.names.size()));
        c.txtFolder->setText(windowSave.path());
        QVERIFY(windowwaits::runToEnd(w));
        // The run has ended: idle buttons, nothing asked.
        QVERIFY(c.cmdButton[1]->isEnabled());
        QVERIFY(!c.cmdButton[2]->isEnabled());
        QVERIFY(ui.messages.isEmpty());
        for (const SiteFile &f : site.files)
            QCOMPARE(readFile(windowSave.filePath(f.name)), f.bytes);
        QCOMPARE(strayFiles(windowSave.path(), site.names), QStringList());
        const QStringList windowLog = logLines(windowCwd.filePath(QStringLiteral("Kestrune.log")));

        // The same collection through kestrune-collect.
        const CollectResult r = runCollect({m_nginx.url(site.pagePath), cliSave.path()},
                                           cliCwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        const QStringList cliLog = logLines(cliCwd.filePath(QStringLiteral("Kestrune.log")));

        // Line for line the same, the time stamps aside; the loader reports
        // the links percent-encoded, as a browser does.
        QCOMPARE(windowLog.size(), 4 + 2 + site.files.size());
        QCOMPARE(cliLog.size(), windowLog.size());
        QCOMPARE(cliLog.mid(0, 2), windowLog.mid(0, 2));
        QCOMPARE(cliLog[3], windowLog[3]);
        for (qsizetype i = 4; i < windowLog.size(); ++i)
            QCOMPARE(cliLog[i].mid(19), windowLog[i].mid(19));
        QCOMPARE(windowLog[4].mid(20), QStringLiteral("○ IISログダウンロード開始。\t"));
        for (qsizetype i = 0; i < site.files.size(); ++i)
            QCOMPARE(windowLog[5 + i].mid(20),
                     QStringLiteral("○ ") + QString::fromLatin1(QUrl(site.rowUrls[i]).toEncoded()));
        QCOMPARE(windowLog.last().mid(20),
                 QStringLiteral("○ IISログダウンロード終了。\t")
                     + QString::fromLatin1(QUrl(site.rowUrls.last()).toEncoded()));
    }

    void loginDialogThenCollection()
    {
        // A protected listing: the window asks as a browser does, and the
        // login then goes with the run's transfers to that server.  A file
        // behind another login fails during the run; the run asks nobody.
        QVERIFY(m_nginx.writeFile(QStringLiteral("winother/u_ex261209.log"), logBytes(59, 100)));
        const QString otherUrl = m_nginx.url(QStringLiteral("/winother/u_ex261209.log"));
        const Site site =
            publish(m_nginx, QStringLiteral("winpriv/"), QStringLiteral("[To Parent Directory]"),
                    {{QStringLiteral("u_ex261207.log"), QStringLiteral("/winpriv/u_ex261207.log"),
                      QStringLiteral("winpriv/u_ex261207.log"), logBytes(57, 25000)},
                     {QStringLiteral("u_ex261208.log"), QStringLiteral("/winpriv/u_ex261208.log"),
                      QStringLiteral("winpriv/u_ex261208.log"), logBytes(58, 90000)}},
                    "UTF-8", false, {{QStringLiteral("u_ex261209.log"), otherUrl, 100, false}});
        transfer::ForgetAllLogins();
        QTemporaryDir cwd;
        QTemporaryDir save;
        QVERIFY(QDir::setCurrent(cwd.path()));
        RecordingUi ui;
        frmDownload w;
        QVERIFY(windowwaits::loadWindow(w));
        const DownloadControls c(&w);
        c.txtURL->setText(m_nginx.url(site.pagePath));

        // Cancelled: the page's load failed, as any navigation error.
        QVERIFY(windowwaits::loadListing(w));
        QCOMPARE(ui.loginRequests.size(), 1);
        QCOMPARE(c.lstLogfiles->topLevelItemCount(), 0);
        QCOMPARE(c.lblLogTotal->text(), QStringLiteral("0"));

        // A wrong password, then the right one.
        ui.loginRequests.clear();
        ui.loginAnswers = {kestrune::LoginAnswer{QStringLiteral("ops"), QStringLiteral("wrong")},
                           kestrune::LoginAnswer{QStringLiteral("ops"), QStringLiteral("s3cret")}};
        QVERIFY(windowwaits::loadListing(w));
        QCOMPARE(ui.loginRequests.size(), 2);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(ui.loginRequests[i].host, QStringLiteral("127.0.0.1:%1").arg(m_nginx.port()));
            QCOMPARE(ui.loginRequests[i].realm, QStringLiteral("Kestrune test"));
            QCOMPARE(ui.loginRequests[i].attempt, i + 1);
        }
        QCOMPARE(ui.loginRequests[1].user, QStringLiteral("ops"));
        QCOMPARE(c.lblLogTotal->text(), QStringLiteral("3"));

        m_nginx.clearAccessLog();
        c.txtFolder->setText(save.path());
        QVERIFY(windowwaits::runToEnd(w));
        QCOMPARE(ui.loginRequests.size(), 2);
        QVERIFY(ui.messages.isEmpty());
        for (const SiteFile &f : site.files)
            QCOMPARE(readFile(save.filePath(f.name)), f.bytes);
        QCOMPARE(strayFiles(save.path(), site.names), QStringList());
        const QStringList messages = logMessages(cwd.filePath(QStringLiteral("Kestrune.log")));
        QCOMPARE(messages.value(3), QStringLiteral("× ") + otherUrl);
        QVERIFY(!readFile(cwd.filePath(QStringLiteral("Kestrune.log"))).contains("s3cret"));
        QList<NginxFixture::AccessEntry> entries;
        QTRY_VERIFY_WITH_TIMEOUT((entries = m_nginx.accessEntries()).size() >= 2 * 2, 30000);
        for (const NginxFixture::AccessEntry &e : std::as_const(entries)) {
            if (e.requestLine.contains(QStringLiteral("/winpriv/")))
                QCOMPARE(e.remoteUser, QStringLiteral("ops"));
        }
        transfer::ForgetAllLogins();
    }

    void subFoldersOfAnIisListing()
    {
        // The window lists every "<dir>" row of IIS's page; a run stores
        // nothing for them, asks the server nothing about them and says so
        // in the run log, one line each.
        const QStringList folders{QStringLiteral("W3SVC1"), QStringLiteral("W3SVC2"),
                                  QStringLiteral("HTTPERR")};
        QList<IisEntry> entries;
        for (const QString &name : folders)
            entries.append({name, -1});
        QVERIFY(m_nginx.writeFile(QStringLiteral("winiis/LogFiles/index.html"),
                                  iisPage(QStringLiteral("/winiis/LogFiles/"), entries)));
        QTemporaryDir cwd;
        QTemporaryDir save;
        QVERIFY(QDir::setCurrent(cwd.path()));
        RecordingUi ui;
        frmDownload w;
        QVERIFY(windowwaits::loadWindow(w));
        const DownloadControls c(&w);
        c.txtURL->setText(m_nginx.url(QStringLiteral("/winiis/LogFiles/")));
        QVERIFY(windowwaits::loadListing(w));
        QStringList listed;
        for (int i = 0; i < c.lstLogfiles->topLevelItemCount(); ++i)
            listed.append(c.lstLogfiles->topLevelItem(i)->text(0));
        QCOMPARE(listed, folders);
        // nginx logs a request once it has answered it: the page's line must
        // be in before the log is emptied, or it lands among the run's.
        QTRY_VERIFY_WITH_TIMEOUT(m_nginx.requestLines().contains(
                                     QStringLiteral("GET /winiis/LogFiles/ HTTP/1.1")),
                                 30000);

        m_nginx.clearAccessLog();
        c.txtFolder->setText(save.path());
        QVERIFY(windowwaits::runToEnd(w));
        QVERIFY(c.cmdButton[1]->isEnabled());
        QCOMPARE(QDir(save.path())
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                | QDir::NoDotAndDotDot),
                 QStringList());
        QStringList expected{QStringLiteral("○ IISログダウンロード開始。\t")};
        for (const QString &name : folders)
            expected.append(QStringLiteral("× ファイルを保存できません。\t") + save.filePath(name));
        expected.append(QStringLiteral("○ IISログダウンロード終了。\t")
                        + m_nginx.url(QStringLiteral("/winiis/LogFiles/HTTPERR/")));
        QCOMPARE(logMessages(cwd.filePath(QStringLiteral("Kestrune.log"))), expected);
        QCOMPARE(m_nginx.requestLines(), QStringList());
        QCOMPARE(ui.messages.size(), 0);
    }

    void updatesACopyInAFolderNobodyMayWriteTo()
    {
        // The folder takes no new file, but its f0.log may be written: the
        // window's run updates it in place (same file, owner and
        // permissions) and reports f1.log as not storable.
        if (isChild())
            QSKIP("runs in the parent");
        const Site site = publish(m_nginx, QStringLiteral("wininplace/"),
                                  QStringLiteral("[To Parent Directory]"),
                                  {{QStringLiteral("f0.log"), QStringLiteral("/wininplace/f0.log"),
                                    QStringLiteral("wininplace/f0.log"), logBytes(60, 300000)},
                                   {QStringLiteral("f1.log"), QStringLiteral("/wininplace/f1.log"),
                                    QStringLiteral("wininplace/f1.log"), logBytes(61, 7000)}});
        QTemporaryDir cwd;
        QTemporaryDir save;
        const QString folder = QDir::cleanPath(save.path());
        const QString f0 = folder + QStringLiteral("/f0.log");
        const QString f1 = folder + QStringLiteral("/f1.log");
        QVERIFY(writeFile(f0, "an older, shorter copy\r\n"));
        QVERIFY(::chmod(QFile::encodeName(f0).constData(), 0666) == 0);
        QVERIFY(::chmod(QFile::encodeName(cwd.path()).constData(), 0777) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
        const auto writable = qScopeGuard(
            [&folder] { ::chmod(QFile::encodeName(folder).constData(), 0755); });
        if (::geteuid() != 0 && ::access(QFile::encodeName(folder).constData(), W_OK) == 0)
            QSKIP("this user may write a 0555 folder");
        const struct stat before = statOf(f0);
        QVERIFY(before.st_ino != 0);
        const transfer::LocalEntry beforeEntry = transfer::InspectLocalPath(f0);
        QVERIFY(beforeEntry.kind == transfer::LocalEntry::Kind::PlainFile);

        QProcess child;
        child.setProgram(QCoreApplication::applicationFilePath());
        child.setArguments({QStringLiteral("childUpdatesInPlace")});
        child.setWorkingDirectory(cwd.path());
        QProcessEnvironment env = cleanEnvironment();
        env.insert(QString::fromLatin1(kChildUrl), m_nginx.url(site.pagePath));
        env.insert(QString::fromLatin1(kChildFolder), folder);
        child.setProcessEnvironment(env);
        if (!runAsNobodyIfRoot(child))
            QSKIP("setpriv (util-linux) is needed to run as nobody");
        child.start();
        QVERIFY(child.waitForStarted(30000));
        const CollectResult r = finish(child, 120000);
        QVERIFY2(!r.crashed && r.exitCode == 0, (r.out + r.err).constData());

        // The server's bytes in the same file, its owner and permissions kept.
        QCOMPARE(readFile(f0), site.files[0].bytes);
        const struct stat after = statOf(f0);
        QVERIFY(transfer::InspectLocalPath(f0).identity == beforeEntry.identity);
        QCOMPARE(after.st_uid, before.st_uid);
        QCOMPARE(after.st_gid, before.st_gid);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(QFileInfo(f0).permissions(), QFileDevice::Permissions(0x6666));
        QVERIFY(!QFileInfo::exists(f1));
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                        | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("f0.log")});
        QCOMPARE(logMessages(cwd.filePath(QStringLiteral("Kestrune.log"))),
                 (QStringList{QStringLiteral("○ IISログダウンロード開始。\t"),
                              QStringLiteral("○ ") + site.rowUrls[0],
                              QStringLiteral("× ファイルを保存できません。\t") + f1,
                              QStringLiteral("○ IISログダウンロード終了。\t") + site.rowUrls[1]}));
    }

    void childUpdatesInPlace()
    {
        if (!isChild())
            QSKIP("runs as the test user, started by updatesACopyInAFolderNobodyMayWriteTo");
        const QString folder = qEnvironmentVariable(kChildFolder);
        // The premise: this user may not make a file in the folder.
        QVERIFY(::access(QFile::encodeName(folder).constData(), W_OK) != 0);
        RecordingUi ui;
        frmDownload w;
        QVERIFY(windowwaits::loadWindow(w));
        const DownloadControls c(&w);
        w.show();
        c.txtURL->setText(qEnvironmentVariable(kChildUrl));
        QVERIFY(windowwaits::loadListing(w));
        QCOMPARE(c.lblLogTotal->text(), QStringLiteral("2"));
        c.txtFolder->setText(folder);
        QVERIFY(windowwaits::runToEnd(w));
        QTRY_VERIFY_WITH_TIMEOUT(c.cmdButton[1]->isEnabled() && !c.cmdButton[2]->isEnabled(),
                                 60000);
        QCOMPARE(ui.messageTexts(), QStringList());
    }

    void windowThroughTinyproxy()
    {
        TinyproxyFixture proxy;
        if (!proxy.start())
            QSKIP(qPrintable(proxy.errorString()));
        const Site site =
            publish(m_nginx, QStringLiteral("viaproxy/"), QStringLiteral("[To Parent Directory]"),
                    {{QStringLiteral("u_ex261204.log"), QStringLiteral("/viaproxy/u_ex261204.log"),
                      QStringLiteral("viaproxy/u_ex261204.log"), logBytes(54, 20000)},
                     {QStringLiteral("u_ex261205.log"), QStringLiteral("/viaproxy/u_ex261205.log"),
                      QStringLiteral("viaproxy/u_ex261205.log"), logBytes(55, 70000)}},
                    "UTF-8", true);
        QTemporaryDir cwd;
        QTemporaryDir save;
        QVERIFY(QDir::setCurrent(cwd.path()));
        RecordingUi ui;
        frmDownload w;
        QVERIFY(windowwaits::loadWindow(w));
        const DownloadControls c(&w);
        basKestrune::gstrProxy = proxy.address(); // as a save in the settings dialog leaves it
        c.txtURL->setText(m_nginx.url(site.pagePath));
        QVERIFY(windowwaits::loadListing(w));
        c.txtFolder->setText(save.path());
        QVERIFY(windowwaits::runToEnd(w));
        basKestrune::gstrProxy.clear();
        for (const SiteFile &f : site.files)
            QCOMPARE(readFile(save.filePath(f.name)), f.bytes);
        // Every probe and download went through the proxy.
        const QString log = proxy.logText();
        for (const QString &u : site.rowUrls)
            QVERIFY2(log.count(QStringLiteral("GET ") + QString::fromLatin1(QUrl(u).toEncoded()))
                         >= 2,
                     qPrintable(u));
    }
};

QTEST_MAIN(TestE2eWindow)
#include "tst_e2e_window.moc"
