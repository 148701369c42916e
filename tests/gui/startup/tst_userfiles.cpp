// An installed copy run by a user who may not write the program's folder:
// the settings are saved into the user's own file, the window and
// kestrune-collect read them back from there, the first run's log lands in
// the user's state folder, and nothing is written beside the program.
//
// The copy is a scratch tree T/usr/bin (kestrune-collect copied in), T/etc
// (the system's settings), T/usr/share (the manual), unwritable for the
// user.  Under root, whom permissions do not stop, the window's part runs
// in a child process as nobody (this test again), and kestrune-collect too.

#include "RecordingUi.h"
#include "base/system/SystemError.h"
#include "ScratchFiles.h"
#include "WindowControls.h"

#include "base/settings/AppFiles.h"
#include "base/settings/TextCodec.h"
#include "base/settings/basKestrune.h"
#include "gui/collector/frmDownload.h"
#include "gui/dialogs/frmSetting.h"
#include "gui/startup/Startup.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace kestrune;
using namespace kestrune::basKestrune;
using scratch::modeOf;
using scratch::readAll;
using scratch::writeFile;

namespace {

constexpr uint kNobody = 65534;
const QByteArray kSystemIni = "; site settings\r\n[Kestrune]\r\nTimeout=7\r\nProxyAddress=\r\n"
                              "ProxyPort=\r\n[Site]\r\nOwner=ops\r\n";
const QString kChildVariable = QStringLiteral("KESTRUNE_USERFILES_CHILD");

// Every file under folder, relative, with its size: what "nothing written"
// is checked against.
QStringList listing(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        entries << QDir(folder).relativeFilePath(it.filePath()) + QLatin1Char(' ')
                       + QString::number(it.fileInfo().size());
    }
    entries.sort();
    return entries;
}

bool chmodAll(const QString &folder, mode_t dirs, mode_t files)
{
    bool ok = ::chmod(QFile::encodeName(folder).constData(), dirs) == 0;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const bool dir = it.fileInfo().isDir() && !it.fileInfo().isSymLink();
        const bool exe = it.fileInfo().isExecutable();
        ok = ::chmod(QFile::encodeName(it.filePath()).constData(),
                     dir ? dirs : (exe ? files | 0111 : files))
                 == 0
             && ok;
    }
    return ok;
}

} // namespace

class tst_UserFiles : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_tree;
    QString m_setpriv;

    QString t(const QString &relative) const { return m_tree->filePath(relative); }
    QString exeFolder() const { return t(QStringLiteral("usr/bin")); }
    bool asRoot() const { return ::geteuid() == 0; }

    // An environment whose user folders lie under home, none of the XDG
    // variables set.
    QProcessEnvironment userEnvironment(const QString &home) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home);
        env.remove(QStringLiteral("XDG_CONFIG_HOME"));
        env.remove(QStringLiteral("XDG_STATE_HOME"));
        return env;
    }

    // program as the test user (nobody under root), in workDir.
    bool runAsUser(QProcess &process, const QString &program, const QStringList &arguments,
                   const QProcessEnvironment &env, const QString &workDir)
    {
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(workDir);
        if (asRoot()) {
            process.start(m_setpriv, QStringList{QStringLiteral("--reuid=65534"),
                                                 QStringLiteral("--regid=65534"),
                                                 QStringLiteral("--clear-groups"),
                                                 QStringLiteral("--"), program}
                                         + arguments);
        } else {
            process.start(program, arguments);
        }
        return process.waitForStarted(30000) && process.waitForFinished(120000);
    }

    // A home folder the test user owns.
    QString makeHome(const QString &relative)
    {
        const QString home = t(relative);
        if (!QDir().mkpath(home))
            return QString();
        if (asRoot() && ::chown(QFile::encodeName(home).constData(), kNobody, kNobody) != 0)
            return QString();
        return home;
    }

    // Runs one of the child slots below as the test user; the child's own
    // checks decide its exit status.
    void runChild(const QString &slot, const QString &home)
    {
        QProcessEnvironment env = userEnvironment(home);
        env.insert(kChildVariable, exeFolder());
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        QVERIFY(runAsUser(child, QCoreApplication::applicationFilePath(), {slot}, env, home));
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 child.readAll().constData());
    }

    static bool isChild() { return qEnvironmentVariableIsSet("KESTRUNE_USERFILES_CHILD"); }

private Q_SLOTS:
    void initTestCase()
    {
        if (isChild())
            return;
        if (asRoot()) {
            m_setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
            if (m_setpriv.isEmpty())
                QSKIP("setpriv (util-linux) is needed to run as nobody");
        }
        m_tree = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tree->isValid());
        QVERIFY(QDir().mkpath(exeFolder()));
        QVERIFY(QFile::copy(QStringLiteral(KESTRUNE_COLLECT_PROGRAM),
                            t(QStringLiteral("usr/bin/kestrune-collect"))));
        QVERIFY(writeFile(t(QStringLiteral("etc/kestrune/Kestrune.ini")), kSystemIni));
        QVERIFY(writeFile(t(QStringLiteral("usr/share/kestrune/Kestrune.hlp")), "manual"));
        // The installed parts: readable, not writable, for everybody.
        QVERIFY(chmodAll(t(QStringLiteral("usr")), 0555, 0444));
        QVERIFY(chmodAll(t(QStringLiteral("etc")), 0555, 0444));
        QVERIFY(::chmod(QFile::encodeName(m_tree->path()).constData(), 0755) == 0);
        if (!asRoot())
            QVERIFY(!appfiles::FolderWritable(exeFolder()));
    }

    void cleanupTestCase()
    {
        if (m_tree)
            chmodAll(m_tree->path(), 0755, 0644);
    }

    // The window as the user: start-up, a save, an empty run; then
    // kestrune-collect reads the saved time-out.
    void savesIntoTheUsersFolders()
    {
        if (isChild())
            QSKIP("runs in the parent");
        const QString home = makeHome(QStringLiteral("home/op"));
        QVERIFY(!home.isEmpty());
        const QStringList installedBefore = listing(t(QStringLiteral("usr")))
                                            + listing(t(QStringLiteral("etc")));

        runChild(QStringLiteral("childStartsAndSaves"), home);

        const QString userIni = home + QStringLiteral("/.config/kestrune/Kestrune.ini");
        // The system's lines and keys kept, the three keys saved.
        QCOMPARE(readAll(userIni),
                 QByteArray("; site settings\r\n[Kestrune]\r\nTimeout=1\r\n"
                            "ProxyAddress=user.proxy\r\nProxyPort=8080\r\n[Site]\r\nOwner=ops\r\n"));
        QCOMPARE(modeOf(home + QStringLiteral("/.config")), 0700);
        QCOMPARE(modeOf(home + QStringLiteral("/.config/kestrune")), 0700);
        QCOMPARE(modeOf(home + QStringLiteral("/.local/state/kestrune")), 0700);
        // The first run's log, header only (the list was empty).
        const QList<QByteArray> log =
            readAll(home + QStringLiteral("/.local/state/kestrune/Kestrune.log")).split('\n');
        QCOMPARE(log.size(), 5);
        QCOMPARE(log.at(0), QByteArray("Kestrune\r"));
        QCOMPARE(listing(t(QStringLiteral("usr"))) + listing(t(QStringLiteral("etc"))),
                 installedBefore);

        // kestrune-collect of the same copy reads the user's time-out (1 s,
        // the system's is 7 s) against a server that never answers.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const QString url = QStringLiteral("http://127.0.0.1:%1/logs/").arg(silent.serverPort());
        QProcess collect;
        QVERIFY(runAsUser(collect, t(QStringLiteral("usr/bin/kestrune-collect")),
                          {url, home}, userEnvironment(home), home));
        const QString err = QString::fromLocal8Bit(collect.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("did not load within 1 s")), qPrintable(err));
        QCOMPARE(listing(t(QStringLiteral("usr"))) + listing(t(QStringLiteral("etc"))),
                 installedBefore);
    }

    void childStartsAndSaves()
    {
        if (!isChild())
            QSKIP("runs as the test user, started by savesIntoTheUsersFolders");
        const QString exe = qEnvironmentVariable("KESTRUNE_USERFILES_CHILD");
        const QString tree = QDir::cleanPath(exe + QStringLiteral("/../.."));
        const QString home = qEnvironmentVariable("HOME");
        RecordingUi ui;
        QVERIFY(Main(exe));
        QVERIFY(ui.messages.isEmpty());
        QCOMPARE(glngTimeout, 7000);
        QCOMPARE(gstrIniFile, tree + QStringLiteral("/etc/kestrune/Kestrune.ini"));
        QCOMPARE(gstrHelpFile, tree + QStringLiteral("/usr/share/kestrune/Kestrune.hlp"));
        QCOMPARE(QDir::current().canonicalPath(),
                 QDir(home + QStringLiteral("/.local/state/kestrune")).canonicalPath());

        frmSetting::SetExecutableFolder(exe);
        {
            frmSetting dlg;
            const SettingControls c(&dlg);
            QCOMPARE(c.txtTimeOut->text(), QStringLiteral("7"));
            c.txtTimeOut->setText(QStringLiteral("1"));
            c.txtProxyAddress->setText(QStringLiteral("user.proxy"));
            c.txtProxyPort->setText(QStringLiteral("8080"));
            c.cmdButton[0]->click();
            QCOMPARE(ui.messageTexts(), QStringList{QStringLiteral("設定が変更されました！")});
        }
        const QString userIni = home + QStringLiteral("/.config/kestrune/Kestrune.ini");
        QCOMPARE(gstrIniFile, userIni);
        {
            // Opened again, the dialog reads the user's file.
            frmSetting dlg;
            const SettingControls c(&dlg);
            QCOMPARE(c.txtTimeOut->text(), QStringLiteral("1"));
            QCOMPARE(c.txtProxyAddress->text(), QStringLiteral("user.proxy"));
        }

        frmDownload *w = frmDownload::instance();
        QVERIFY(w);
        QTRY_VERIFY_WITH_TIMEOUT(w->isLoaded(), 60000);
        const DownloadControls d(w);
        d.txtURL->setText(QStringLiteral("http://127.0.0.1:9/logs/"));
        d.txtFolder->setText(home);
        w->cmdButton_Click(1); // an empty list: the log's header only
        frmDownload::destroyInstance();
        frmSetting::SetExecutableFolder(QString());
    }

    // A home the user may not write: one warning with the system's reason,
    // no confirmation, the program goes on with what was typed.
    void unwritableHomeWarnsOnce()
    {
        if (isChild())
            QSKIP("runs in the parent");
        const QString home = t(QStringLiteral("home/locked"));
        QVERIFY(QDir().mkpath(home));
        QVERIFY(::chmod(QFile::encodeName(home).constData(), 0555) == 0);
        if (!asRoot()) {
            QFile probe(home + QStringLiteral("/probe"));
            if (probe.open(QIODevice::WriteOnly))
                QSKIP("this user may write a 0555 folder");
        }
        runChild(QStringLiteral("childCannotSave"), home);
        QCOMPARE(listing(home), QStringList());
    }

    void childCannotSave()
    {
        if (!isChild())
            QSKIP("runs as the test user, started by unwritableHomeWarnsOnce");
        const QString exe = qEnvironmentVariable("KESTRUNE_USERFILES_CHILD");
        const QString home = qEnvironmentVariable("HOME");
        RecordingUi ui;
        QVERIFY(Main(exe));
        // No state folder to be had: the program stays in its own folder.
        QCOMPARE(QDir::current().canonicalPath(), QDir(exe).canonicalPath());
        frmSetting::SetExecutableFolder(exe);
        frmSetting dlg;
        dlg.show();
        const SettingControls c(&dlg);
        c.txtTimeOut->setText(QStringLiteral("45"));
        c.txtProxyAddress->setText(QStringLiteral("p.example"));
        c.cmdButton[0]->click();
        QCOMPARE(ui.messageTexts(),
                 QStringList{home + QStringLiteral("/.config/kestrune/Kestrune.ini")
                             + QStringLiteral(" ファイルの書き込み時にエラーが発生しました。\r\n")
                             + SystemErrorText(EACCES)});
        QCOMPARE(ui.messages.at(0).icon, MsgIcon::Exclamation);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(glngTimeout, 45000);
        QCOMPARE(gstrProxy, QStringLiteral("p.example"));
        frmDownload::destroyInstance();
        frmSetting::SetExecutableFolder(QString());
    }
};

QTEST_MAIN(tst_UserFiles)
#include "tst_userfiles.moc"
