// The collector window, offscreen, against nginx (and tinyproxy): what the
// operator gets by typing the listing address, clicking 読込 and 開始, and
// that its run log holds the same lines as kestrune-collect's.

#include "E2eSupport.h"
#include "NginxFixture.h"
#include "TinyproxyFixture.h"

#include "app/basKestrune.h"
#include "collector/frmDownload.h"

#include "RecordingUi.h"

#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

using namespace e2e;

class TestE2eWindow : public QObject {
    Q_OBJECT

    NginxFixture m_nginx;
    Site m_site;
    QString m_originalDir;
    std::unique_ptr<RecordingUi> m_ui;
    std::unique_ptr<frmDownload> m_w;

    QStringList listNames() const
    {
        QStringList names;
        for (int i = 0; i < m_w->lstLogfiles->topLevelItemCount(); ++i)
            names.append(m_w->lstLogfiles->topLevelItem(i)->text(0));
        return names;
    }

    void loadAndStart(const QString &folder)
    {
        m_w->txtURL->setText(m_nginx.url(m_site.pagePath));
        m_w->cmdLoad->click();
        QCOMPARE(listNames(), m_site.names);
        QCOMPARE(m_w->lblLogTotal->text(), QString::number(m_site.names.size()));
        QVERIFY(m_w->cmdButton[1]->isEnabled());
        m_w->txtFolder->setText(folder);
        m_w->cmdButton[1]->click();
        // The run has ended: idle buttons, the log closed, nothing asked.
        QVERIFY(m_w->cmdButton[1]->isEnabled());
        QVERIFY(!m_w->cmdButton[2]->isEnabled());
        QVERIFY(m_ui->messages.isEmpty());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(collectProgram()).isExecutable());
        if (!m_nginx.start())
            QSKIP(qPrintable(m_nginx.errorString()));
        m_site = publish(m_nginx, QStringLiteral("win/"), QStringLiteral("[親ディレクトリへ]"),
                         {{QStringLiteral("u_ex261201.log"), QStringLiteral("/win/u_ex261201.log"),
                           QStringLiteral("win/u_ex261201.log"), logBytes(51, 30000)},
                          {QStringLiteral("日本語_261202.log"), QStringLiteral("日本語_261202.log"),
                           QStringLiteral("win/日本語_261202.log"), logBytes(52, 300000)},
                          {QStringLiteral("u_ex261203.log"), QStringLiteral("/win/u_ex261203.log"),
                           QStringLiteral("win/u_ex261203.log"), logBytes(53, 1)}},
                         "windows-31j", true);
        // The loader reports links as a browser does: percent-encoded.
        for (QString &u : m_site.rowUrls)
            u = QString::fromLatin1(QUrl(u).toEncoded());
        m_originalDir = QDir::currentPath();
        // The system's proxy settings must not take loopback traffic elsewhere.
        for (const char *name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
    }

    void init()
    {
        basKestrune::glngTimeout = 30000;
        basKestrune::gstrProxy.clear();
        m_ui = std::make_unique<RecordingUi>();
        m_w = std::make_unique<frmDownload>();
        m_w->Form_Load();
        m_w->show();
    }

    void cleanup()
    {
        m_w.reset();
        m_ui.reset();
        basKestrune::gstrProxy.clear();
        QDir::setCurrent(m_originalDir);
    }

    void windowAndCommandWriteTheSameRun()
    {
        QTemporaryDir windowCwd;
        QTemporaryDir windowSave;
        QTemporaryDir cliCwd;
        QTemporaryDir cliSave;
        QVERIFY(QDir::setCurrent(windowCwd.path()));

        // Fresh collection through the window.
        loadAndStart(windowSave.path());
        for (const SiteFile &f : m_site.files)
            QCOMPARE(readFile(windowSave.filePath(f.name)), f.bytes);
        QCOMPARE(strayFiles(windowSave.path(), m_site.names), QStringList());
        const QStringList windowFresh = logLines(windowCwd.filePath(QStringLiteral("Kestrune.log")));

        // The same collection through kestrune-collect.
        const CollectResult r = runCollect({m_nginx.url(m_site.pagePath), cliSave.path()}, cliCwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        const QStringList cliFresh = logLines(cliCwd.filePath(QStringLiteral("Kestrune.log")));

        // Line for line the same, the time stamps aside.
        QCOMPARE(windowFresh.size(), 4 + 2 + m_site.files.size());
        QCOMPARE(cliFresh.size(), windowFresh.size());
        QCOMPARE(cliFresh.mid(0, 2), windowFresh.mid(0, 2));
        QCOMPARE(cliFresh[3], windowFresh[3]);
        for (qsizetype i = 4; i < windowFresh.size(); ++i)
            QCOMPARE(cliFresh[i].mid(19), windowFresh[i].mid(19));
        QCOMPARE(windowFresh[4].mid(20), QStringLiteral("○ IISログダウンロード開始。\t"));
        QCOMPARE(windowFresh.last().mid(20), QStringLiteral("○ IISログダウンロード終了。\t") + m_site.rowUrls.last());

        // Second run: all unchanged; the window's log now lands in the save
        // folder (the current directory followed it after the downloads).
        loadAndStart(windowSave.path());
        const QStringList same = logMessages(windowSave.filePath(QStringLiteral("Kestrune.log")));
        QStringList expected{QStringLiteral("○ IISログダウンロード開始。\t")};
        for (const QString &u : m_site.rowUrls)
            expected.append(QStringLiteral("× ファイルサイズが同じ ") + u);
        expected.append(QStringLiteral("○ IISログダウンロード終了。\t") + m_site.rowUrls.last());
        QCOMPARE(same, expected);
        for (const SiteFile &f : m_site.files)
            QCOMPARE(readFile(windowSave.filePath(f.name)), f.bytes);
    }

    void windowThroughProxies_data()
    {
        QTest::addColumn<bool>("refusing");
        QTest::newRow("tinyproxy") << false;
        QTest::newRow("refusing proxy") << true;
    }

    void windowThroughProxies()
    {
        QFETCH(bool, refusing);
        TinyproxyFixture proxy;
        if (refusing) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            basKestrune::gstrProxy = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        } else {
            if (!proxy.start())
                QSKIP(qPrintable(proxy.errorString()));
            basKestrune::gstrProxy = proxy.address();
        }
        QTemporaryDir cwd;
        QTemporaryDir save;
        QVERIFY(QDir::setCurrent(cwd.path()));
        m_nginx.clearAccessLog();
        loadAndStart(save.path());
        const QStringList messages = logMessages(cwd.filePath(QStringLiteral("Kestrune.log")));
        QCOMPARE(messages.size(), 2 + m_site.files.size());
        if (refusing) {
            for (qsizetype i = 0; i < m_site.rowUrls.size(); ++i)
                QCOMPARE(messages[i + 1], QStringLiteral("× ") + m_site.rowUrls[i]);
            QCOMPARE(QDir(save.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
            QCOMPARE(m_nginx.requestLines(), QStringList{QStringLiteral("GET /win/ HTTP/1.1")});
        } else {
            for (qsizetype i = 0; i < m_site.rowUrls.size(); ++i)
                QCOMPARE(messages[i + 1], QStringLiteral("○ ") + m_site.rowUrls[i]);
            for (const SiteFile &f : m_site.files)
                QCOMPARE(readFile(save.filePath(f.name)), f.bytes);
            const QString log = proxy.logText();
            for (const QString &u : m_site.rowUrls)
                QVERIFY2(log.contains(QStringLiteral("GET ") + QString::fromLatin1(QUrl(u).toEncoded())),
                         qPrintable(u));
        }
    }
};

QTEST_MAIN(TestE2eWindow)
#include "tst_e2e_window.moc"
