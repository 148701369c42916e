// Where the program's files are found: beside a copy the user may write, in
// the user's and the system's folders for an installed one.

#include "base/settings/AppFiles.h"
#include "base/system/SystemError.h"
#include "base/settings/TextCodec.h"
#include "base/settings/IniFile.h"

#include "ScratchFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace kestrune;
using namespace kestrune::appfiles;
using scratch::modeOf;
using scratch::readAll;

namespace {

bool makeFile(const QString &path, const QByteArray &content = "[Kestrune]\r\nTimeout=30\r\n")
{
    return scratch::writeFile(path, content);
}

} // namespace

class tst_AppFiles : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    QString r(const QString &relative) const { return m_root.path() + QLatin1Char('/') + relative; }

private Q_SLOTS:
    void userFolders_data()
    {
        QTest::addColumn<QString>("home");
        QTest::addColumn<QString>("config"); // XDG_CONFIG_HOME as set
        QTest::addColumn<QString>("state");  // XDG_STATE_HOME as set
        QTest::addColumn<QString>("configFolder");
        QTest::addColumn<QString>("stateFolder");

        QTest::newRow("defaults under HOME")
            << "/home/op" << "" << "" << "/home/op/.config/kestrune"
            << "/home/op/.local/state/kestrune";
        QTest::newRow("absolute variables")
            << "/home/op" << "/srv/cfg" << "/srv/st/" << "/srv/cfg/kestrune" << "/srv/st/kestrune";
        QTest::newRow("relative variables are ignored")
            << "/home/op" << "cfg" << "./st" << "/home/op/.config/kestrune"
            << "/home/op/.local/state/kestrune";
        QTest::newRow("no HOME, variables set")
            << "" << "/c" << "/s" << "/c/kestrune" << "/s/kestrune";
        QTest::newRow("no HOME, nothing set") << "" << "" << "" << "" << "";
        QTest::newRow("relative HOME") << "op" << "" << "" << "" << "";
    }

    void userFolders()
    {
        QFETCH(QString, home);
        QFETCH(QString, config);
        QFETCH(QString, state);
        const Environment env{home, config, state};
        QTEST(UserConfigFolder(env), "configFolder");
        QTEST(UserStateFolder(env), "stateFolder");
    }

    // One program tree per row under a scratch root: the executable's
    // folder T/usr/bin, the system's settings in T/etc or T/usr/etc, the
    // manual in T/usr/share, the user's files under T/home.
    void resolution_data()
    {
        QTest::addColumn<bool>("writable");   // the user may write T/usr/bin
        QTest::addColumn<QStringList>("files"); // made before resolving
        QTest::addColumn<QString>("xdgConfig"); // XDG_CONFIG_HOME, "" unset
        QTest::addColumn<QString>("iniRead");
        QTest::addColumn<QString>("iniWrite");
        QTest::addColumn<QString>("iniSystem");
        QTest::addColumn<QString>("help");
        QTest::addColumn<QString>("state"); // "" : stays beside the program

        const QString beside = "usr/bin/Kestrune.ini";
        const QString user = "home/.config/kestrune/Kestrune.ini";
        const QString etc = "etc/kestrune/Kestrune.ini";
        const QString usrEtc = "usr/etc/kestrune/Kestrune.ini";
        const QString helpBeside = "usr/bin/Kestrune.hlp";
        const QString helpShared = "usr/share/kestrune/Kestrune.hlp";
        const QString state = "home/.local/state/kestrune";

        QTest::newRow("portable: everything beside")
            << true << QStringList{beside, helpBeside, user, helpShared} << "" << beside << beside
            << beside << helpBeside << "";
        QTest::newRow("portable without files: still beside")
            << true << QStringList{etc} << "" << beside << beside << beside << helpBeside << "";
        QTest::newRow("installed under /usr: /etc, share")
            << false << QStringList{etc, helpShared} << "" << etc << user << etc << helpShared
            << state;
        QTest::newRow("installed under a prefix: <P>/etc first")
            << false << QStringList{etc, usrEtc, helpShared} << "" << usrEtc << user << usrEtc
            << helpShared << state;
        QTest::newRow("read-only copy with its own files")
            << false << QStringList{beside, etc, helpBeside, helpShared} << "" << beside << user
            << beside << helpBeside << state;
        QTest::newRow("user's file exists: read from it")
            << false << QStringList{etc, user} << "" << user << user << etc << helpBeside << state;
        QTest::newRow("XDG_CONFIG_HOME set")
            << false << QStringList{etc, "xdg/kestrune/Kestrune.ini", user} << "xdg"
            << "xdg/kestrune/Kestrune.ini" << "xdg/kestrune/Kestrune.ini" << etc << helpBeside
            << state;
        QTest::newRow("XDG_CONFIG_HOME set, no file there yet")
            << false << QStringList{etc, user} << "xdg" << etc << "xdg/kestrune/Kestrune.ini"
            << etc << helpBeside << state;
        QTest::newRow("relative XDG_CONFIG_HOME ignored")
            << false << QStringList{etc, user} << "relative" << user << user << etc << helpBeside
            << state;
        QTest::newRow("no system file anywhere")
            << false << QStringList{} << "" << beside << user << beside << helpBeside << state;
    }

    void resolution()
    {
        QFETCH(bool, writable);
        QFETCH(QStringList, files);
        QFETCH(QString, xdgConfig);
        QTemporaryDir tree;
        QVERIFY(tree.isValid());
        const auto at = [&tree](const QString &relative) {
            return relative.isEmpty() ? QString()
                                      : QDir::toNativeSeparators(tree.filePath(relative));
        };
        QVERIFY(QDir().mkpath(tree.filePath("usr/bin")));
        for (const QString &file : files)
            QVERIFY(makeFile(tree.filePath(file)));

        Environment env;
        env.home = tree.filePath("home");
        env.xdgConfigHome = xdgConfig == "relative" ? QStringLiteral("xdg")
                            : xdgConfig.isEmpty()   ? QString()
                                                    : tree.filePath(xdgConfig);
        const Layout layout = Resolve(tree.filePath("usr/bin"), env, writable);

        QCOMPARE(layout.portable, writable);
        QFETCH(QString, iniRead);
        QFETCH(QString, iniWrite);
        QFETCH(QString, iniSystem);
        QFETCH(QString, help);
        QFETCH(QString, state);
        QCOMPARE(layout.iniRead, at(iniRead));
        QCOMPARE(layout.iniWrite, at(iniWrite));
        QCOMPARE(layout.iniSystem, at(iniSystem));
        QCOMPARE(layout.helpFile, at(help));
        QCOMPARE(layout.stateFolder, at(state));
    }

    void userFileStartsFromTheSystemsAndKeepsItsLines()
    {
        QTemporaryDir tree;
        const QString system = tree.filePath("etc/kestrune/Kestrune.ini");
        const QByteArray systemText =
            "; site settings\r\n[Kestrune]\r\nTimeout=30\r\nProxyAddress=\r\nProxyPort=\r\n"
            "[Other]\r\nKey=kept\r\n";
        QVERIFY(makeFile(system, systemText));
        const QString user = tree.filePath("home/.config/kestrune/Kestrune.ini");

        QString reason;
        QVERIFY2(PrepareUserSettings(user, system, &reason), qPrintable(reason));
        QCOMPARE(readAll(user), systemText);
        QCOMPARE(modeOf(tree.filePath("home")), 0700);
        QCOMPARE(modeOf(tree.filePath("home/.config/kestrune")), 0700);
        QVERIFY(IniFile(user).write("Kestrune", "Timeout", "45"));
        QCOMPARE(readAll(user), QByteArray("; site settings\r\n[Kestrune]\r\nTimeout=45\r\n"
                                           "ProxyAddress=\r\nProxyPort=\r\n[Other]\r\nKey=kept\r\n"));
        QCOMPARE(readAll(system), systemText);

        // Once there, the user's file is never replaced by the system's again.
        QVERIFY(PrepareUserSettings(user, system));
        QCOMPARE(IniFile(user).read("Kestrune", "Timeout"), QStringLiteral("45"));

        // Without a system file the user's file starts empty.
        const QString other = tree.filePath("other/kestrune/Kestrune.ini");
        QVERIFY(PrepareUserSettings(other, tree.filePath("nowhere.ini")));
        QCOMPARE(readAll(other), QByteArray());
    }

    void privateFolderFailures_data()
    {
        QTest::addColumn<QString>("blocker"); // a file in the way
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("error");
        QTest::newRow("a file where a parent should be") << "f" << "f/kestrune" << ENOTDIR;
        QTest::newRow("the folder itself is a file") << "f" << "f" << ENOTDIR;
        QTest::newRow("no folder named") << "" << "" << ENOENT;
    }

    void privateFolderFailures()
    {
        QFETCH(QString, blocker);
        QFETCH(QString, folder);
        QFETCH(int, error);
        QTemporaryDir tree;
        if (!blocker.isEmpty())
            QVERIFY(makeFile(tree.filePath(blocker), "x"));
        QString reason;
        QVERIFY(!MakePrivateFolder(folder.isEmpty() ? QString() : tree.filePath(folder), &reason));
        QCOMPARE(reason, SystemErrorText(error));
    }

    void writeFailuresGiveTheSystemsReason()
    {
        QTemporaryDir tree;
        const QString file = tree.filePath("Kestrune.ini");
        QVERIFY(makeFile(file));
        QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner));
        QString reason;
        QVERIFY(!IniFile(file).write("Kestrune", "Timeout", "1", &reason));
        QCOMPARE(reason, SystemErrorText(EACCES));
        QVERIFY(!IniFile(tree.filePath("no/such/Kestrune.ini")).write("Kestrune", "Timeout", "1",
                                                                       &reason));
        QCOMPARE(reason, SystemErrorText(ENOENT));
    }
};

QTEST_GUILESS_MAIN(tst_AppFiles)
#include "tst_appfiles.moc"
