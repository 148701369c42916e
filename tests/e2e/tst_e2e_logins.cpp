// Windows logins end to end: kestrune-collect and the window against a
// server that logs clients in with NTLM (v2) per connection, as an IIS site
// with Windows authentication does.

#include "E2eSupport.h"
#include "NtlmTestServer.h"

#include "gui/collector/frmDownload.h"
#include "gui/dialogs/frmLogin.h"

#include "RecordingUi.h"
#include "WindowControls.h"
#include "WindowWaits.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <unistd.h>

using namespace kestrune;
using namespace e2e;

namespace {

const QString kDomain = QStringLiteral("KESTRUNE");
const QString kUser = QStringLiteral("ops");
const QString kPassword = QStringLiteral("Winter-2026!");
const QString kSame = QStringLiteral("× ファイルサイズが同じ ");

struct LogFile {
    QString name;
    QByteArray bytes;
};

const QList<LogFile> &logFiles()
{
    static const QList<LogFile> files{{QStringLiteral("u_ex261201.log"), logBytes(71, 20000)},
                                      {QStringLiteral("u_ex261202.log"), logBytes(72, 150000)},
                                      {QStringLiteral("u_ex261203.log"), logBytes(73, 1)}};
    return files;
}

// The log files at /logs/<name> with IIS's page of them at /logs/.
void publish(NtlmTestServer &server)
{
    QList<IisEntry> entries;
    for (const LogFile &f : logFiles()) {
        entries.append({f.name, f.bytes.size()});
        server.setFile(QStringLiteral("/logs/") + f.name, f.bytes);
    }
    server.setFile(QStringLiteral("/logs/"), iisPage(QStringLiteral("/logs/"), entries),
                   "text/html; charset=utf-8");
}

CollectResult collect(const QStringList &arguments, const QString &workingDir,
                      const QList<QPair<QString, QString>> &environment = {})
{
    return collectInSession(arguments, workingDir, environment);
}

void verifyCollected(const QString &folder)
{
    QStringList names;
    for (const LogFile &f : logFiles()) {
        QCOMPARE(readFile(folder + QLatin1Char('/') + f.name), f.bytes);
        names.append(f.name);
    }
    QCOMPARE(strayFiles(folder, names), QStringList());
}

QString describe(const NtlmTestServer::Request &r)
{
    return QStringLiteral("#%1 %2 %3 [%4] -> %5")
        .arg(r.connection)
        .arg(QString::fromLatin1(r.method), QString::fromLatin1(r.path),
             QString::fromLatin1(r.range))
        .arg(r.status);
}

// How a run went on the wire: every connection logged in once at most and
// sent no login after that; what each request the server served asked for
// ("GET /logs/ []"), sorted.
QStringList servedRequests(const NtlmTestServer &server)
{
    QHash<int, int> logins;
    for (const NtlmTestServer::Login &login : server.logins()) {
        if (login.accepted)
            ++logins[login.connection];
    }
    QSet<int> loggedIn;
    QStringList served;
    for (const NtlmTestServer::Request &r : server.requests()) {
        if (loggedIn.contains(r.connection) && r.authorization)
            return {QStringLiteral("a login again: ") + describe(r)};
        if (r.authenticated)
            loggedIn.insert(r.connection);
        if (r.status != 401 && r.status != 407)
            served.append(QStringLiteral("%1 %2 [%3]")
                              .arg(QString::fromLatin1(r.method), QString::fromLatin1(r.path),
                                   QString::fromLatin1(r.range)));
    }
    for (auto it = logins.cbegin(); it != logins.cend(); ++it) {
        if (it.value() != 1)
            return {
                QStringLiteral("connection %1 logged in %2 times").arg(it.key()).arg(it.value())};
    }
    served.sort();
    return served;
}

// A first run's requests: the page, per file its bytes, and before them its
// size when the run asks it also for files without a copy (as the window does).
QStringList firstRunRequests(bool probes)
{
    QStringList requests{QStringLiteral("GET /logs/ []")};
    for (const LogFile &f : logFiles()) {
        requests.append(QStringLiteral("GET /logs/%1 []").arg(f.name));
        if (probes)
            requests.append(QStringLiteral("GET /logs/%1 [bytes=0-0]").arg(f.name));
    }
    requests.sort();
    return requests;
}

// Answers the login dialog as the operator does: the real dialog, shown
// modal, with the user name and the password typed into it.
class TypingUi : public RecordingUi {
public:
    QString user;
    QString password;

    std::optional<LoginAnswer> askLogin(QWidget *parent, const LoginRequest &request) override
    {
        loginRequests.append(request);
        frmLogin dialog(request, parent);
        QTimer::singleShot(0, &dialog, [&] {
            const LoginControls c(&dialog);
            c.txtUser->clear();
            QTest::keyClicks(c.txtUser, user);
            QTest::keyClicks(c.txtPassword, password);
            QTest::mouseClick(c.cmdOK, Qt::LeftButton);
        });
        dialog.exec();
        return dialog.TakeAnswer();
    }
};

} // namespace

class TestE2eLogins : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(QFileInfo(collectProgram()).isExecutable()); }

    void collectWithNtlm_data()
    {
        QTest::addColumn<QList<QByteArray>>("offered");
        QTest::addColumn<QString>("login");       // --user's value
        QTest::addColumn<QString>("environment"); // KESTRUNE_PASSWORD, when not empty
        QTest::addColumn<bool>("accepted");

        const QList<QByteArray> iis{"Negotiate", "NTLM"};
        const QString login = kDomain + QLatin1Char('\\') + kUser;
        QTest::newRow("offered with Negotiate")
            << iis << login + u':' + kPassword << QString() << true;
        QTest::newRow("NTLM alone, names in other cases")
            << QList<QByteArray>{"NTLM"} << QStringLiteral("kestrune\\OPS:") + kPassword
            << QString() << true;
        QTest::newRow("password from KESTRUNE_PASSWORD") << iis << login << kPassword << true;
        QTest::newRow("wrong password")
            << iis << login + QStringLiteral(":winter-2026!") << QString() << false;
    }

    void collectWithNtlm()
    {
        QFETCH(QList<QByteArray>, offered);
        QFETCH(QString, login);
        QFETCH(QString, environment);
        QFETCH(bool, accepted);
        NtlmTestServer server(kDomain, kUser, kPassword);
        QVERIFY(server.start());
        server.setOffered(offered);
        publish(server);
        QTemporaryDir cwd;
        QTemporaryDir save;
        const QStringList arguments{QStringLiteral("--user"), login,
                                    server.url(QStringLiteral("/logs/")), save.path()};
        QList<QPair<QString, QString>> env;
        if (!environment.isEmpty())
            env.append({QStringLiteral("KESTRUNE_PASSWORD"), environment});
        const CollectResult r = collect(arguments, cwd.path(), env);
        QVERIFY(!r.crashed);
        const QString logPath = cwd.filePath(QStringLiteral("Kestrune.log"));
        QVERIFY(!r.errText().contains(kPassword));
        QVERIFY(!readFile(logPath).contains(kPassword.toUtf8()));
        QVERIFY2(!server.logins().isEmpty(), "no NTLM login was tried");
        if (!accepted) {
            // A refused login is a failed run that stores nothing and says so.
            QVERIFY2(r.exitCode == 2, r.err.constData());
            QVERIFY2(r.errText().contains(QStringLiteral("401")), r.err.constData());
            QCOMPARE(QDir(save.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                     QStringList());
            for (const NtlmTestServer::Login &l : server.logins())
                QVERIFY(!l.accepted);
            QCOMPARE(servedRequests(server), QStringList());
            QCOMPARE(logMessages(logPath),
                     QStringList{QStringLiteral("× ページを表示できません。\t")
                                 + server.url(QStringLiteral("/logs/"))});
            return;
        }
        QVERIFY2(r.exitCode == 0, r.err.constData());
        verifyCollected(save.path());
        QCOMPARE(servedRequests(server), firstRunRequests(false));

        // Again: every file unchanged, its size asked on logged-in connections.
        server.clearRecord();
        const CollectResult again = collect(arguments, cwd.path(), env);
        QVERIFY2(again.exitCode == 0, again.err.constData());
        verifyCollected(save.path());
        QStringList expected{QStringLiteral("GET /logs/ []")};
        QStringList lines{logMessages(logPath).mid(1, logFiles().size())};
        for (const LogFile &f : logFiles()) {
            expected.append(QStringLiteral("GET /logs/%1 [bytes=0-0]").arg(f.name));
            QVERIFY2(lines.contains(kSame + server.url(QStringLiteral("/logs/") + f.name)),
                     qPrintable(lines.join(u'|')));
        }
        expected.sort();
        QCOMPARE(servedRequests(server), expected);
    }

    void proxyWithNtlm()
    {
        // A proxy with Windows logins, offering Negotiate and NTLM, for the
        // listing (the system's proxy) and the files (--proxy), and
        // --proxy-user 'DOMAIN\user:password'.
        NtlmTestServer proxy(kDomain, kUser, kPassword);
        QVERIFY(proxy.start());
        proxy.setProxy(true);
        publish(proxy);
        QTemporaryDir cwd;
        QTemporaryDir save;
        const QUrl address(proxy.url(QString()));
        const QString hostPort = QStringLiteral("127.0.0.1:%1").arg(address.port());
        // The files' server is another port: the proxy serves it.
        const QString listing = QStringLiteral("http://127.0.0.1:%1/logs/").arg(address.port() ^ 1);
        const CollectResult r =
            collect({QStringLiteral("--proxy"), hostPort, QStringLiteral("--proxy-user"),
                     kDomain + u'\\' + kUser + u':' + kPassword, listing, save.path()},
                    cwd.path(),
                    {{QStringLiteral("http_proxy"), QStringLiteral("http://") + hostPort}});
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        verifyCollected(save.path());
        QCOMPARE(servedRequests(proxy), firstRunRequests(false));
    }

    void passwordAskedOnTheTerminal()
    {
        // --user without a password and no KESTRUNE_PASSWORD: the password
        // is typed on the terminal (a pseudo-terminal here).
        const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
        QVERIFY2(!script.isEmpty(), "no script(1) to give the program a terminal");
        NtlmTestServer server(kDomain, kUser, kPassword);
        QVERIFY(server.start());
        publish(server);
        QTemporaryDir cwd;
        QTemporaryDir save;
        QStringList command{collectProgram(), QStringLiteral("--user"),
                            kDomain + QStringLiteral("\\") + kUser,
                            server.url(QStringLiteral("/logs/")), save.path()};
        for (QString &word : command)
            word = QLatin1Char('\'') + word + QLatin1Char('\'');
        QProcess p;
        prepare(p, {QStringLiteral("-qec"), command.join(u' '), QStringLiteral("/dev/null")},
                cwd.path());
        p.setProgram(script);
        p.start();
        QVERIFY(p.waitForStarted(30000));
        QByteArray shown;
        QTRY_VERIFY_WITH_TIMEOUT((shown += p.readAll()).contains("Password for"), 30000);
        QVERIFY2(shown.contains("KESTRUNE\\ops"), shown.constData());
        p.write(kPassword.toUtf8() + '\n');
        const CollectResult r = finish(p, 60000);
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == 0, (shown + r.out).constData());
        QVERIFY(!(shown + r.out).contains(kPassword.toUtf8())); // typed without echo
        verifyCollected(save.path());
        QCOMPARE(servedRequests(server), firstRunRequests(false));
    }

    void nonAsciiPassword_data()
    {
        // The library hands the password's bytes to NTLM one byte per
        // character: "ä" (UTF-8 C3 A4) goes as the two characters "Ã¤".
        QTest::addColumn<QString>("account"); // the password the server knows
        QTest::addColumn<bool>("accepted");
        const QString typed = QStringLiteral("pässwort");
        QTest::newRow("the password itself: refused") << typed << false;
        QTest::newRow("its UTF-8 bytes read as Latin-1: accepted")
            << QString::fromLatin1(typed.toUtf8()) << true;
    }

    void nonAsciiPassword()
    {
        QFETCH(QString, account);
        QFETCH(bool, accepted);
        const QString typed = QStringLiteral("pässwort");
        NtlmTestServer server(kDomain, kUser, account);
        QVERIFY(server.start());
        publish(server);
        QTemporaryDir cwd;
        QTemporaryDir save;
        const CollectResult r = collect({QStringLiteral("--user"),
                                         kDomain + u'\\' + kUser + u':' + typed,
                                         server.url(QStringLiteral("/logs/")), save.path()},
                                        cwd.path());
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == (accepted ? 0 : 2), r.err.constData());
        const QList<NtlmTestServer::Login> logins = server.logins();
        QVERIFY(!logins.isEmpty());
        for (const NtlmTestServer::Login &l : logins) {
            QCOMPARE(l.accepted, accepted);
            QVERIFY(NtlmTestServer::ntlmV2Matches(l.ntResponse, l.challenge, l.user, l.domain,
                                                  QString::fromLatin1(typed.toUtf8())));
            QVERIFY(
                !NtlmTestServer::ntlmV2Matches(l.ntResponse, l.challenge, l.user, l.domain, typed));
        }
        if (accepted)
            verifyCollected(save.path());
    }

    void windowLogsInWithNtlm()
    {
        // The operator types DOMAIN\user and the password into the window's
        // login dialog; the listing loads and the run collects over NTLM.
        NtlmTestServer server(kDomain, kUser, kPassword);
        QVERIFY(server.start());
        publish(server);
        QTemporaryDir cwd;
        QTemporaryDir save;
        const WindowScene scene(cwd.path());
        QVERIFY(scene.entered());
        TypingUi ui;
        ui.user = kDomain + QStringLiteral("\\") + kUser;
        ui.password = kPassword;
        frmDownload w;
        QVERIFY(windowwaits::loadWindow(w));
        const DownloadControls c(&w);
        c.txtURL->setText(server.url(QStringLiteral("/logs/")));
        QVERIFY(windowwaits::loadListing(w));
        QCOMPARE(ui.loginRequests.size(), 1);
        QCOMPARE(ui.loginRequests[0].host,
                 QStringLiteral("127.0.0.1:%1").arg(QUrl(server.url(QString())).port()));
        QStringList listed;
        for (int i = 0; i < c.lstLogfiles->topLevelItemCount(); ++i)
            listed.append(c.lstLogfiles->topLevelItem(i)->text(0));
        QStringList names;
        for (const LogFile &f : logFiles())
            names.append(f.name);
        QCOMPARE(listed, names);

        c.txtFolder->setText(save.path());
        QVERIFY(windowwaits::runToEnd(w));
        QCOMPARE(ui.loginRequests.size(), 1);
        QVERIFY(ui.messages.isEmpty());
        verifyCollected(save.path());
        QVERIFY(
            !readFile(cwd.filePath(QStringLiteral("Kestrune.log"))).contains(kPassword.toUtf8()));
        QCOMPARE(servedRequests(server), firstRunRequests(true));
    }
};

QTEST_MAIN(TestE2eLogins)
#include "tst_e2e_logins.moc"
