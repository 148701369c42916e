// Kerberos logins end to end: a realm of its own (MIT's KDC) and Apache
// guarding the log folder with Negotiate (mod_auth_gssapi), both on loopback.
// The user's ticket, from kinit, is the only login: no password on the
// command line, in the environment or from a terminal.  kestrune-collect
// offers it with --negotiate; the window offers it before any login dialog.

#include "ApacheFixture.h"
#include "E2eSupport.h"
#include "KerberosFixture.h"
#include "RecordingUi.h"
#include "WindowControls.h"
#include "WindowWaits.h"
#include "gui/collector/frmDownload.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <algorithm>

#include <unistd.h>

using namespace e2e;
using namespace kestrune;

namespace {

struct ServedFile {
    QString path; // below the guarded folder, and below the save folder
    QByteArray bytes;
};

QStringList storedFiles(const QString &folder)
{
    QStringList stored;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        stored.append(QDir(folder).relativeFilePath(it.next()));
    stored.sort();
    return stored;
}

} // namespace

class TestE2eNegotiate : public QObject {
    Q_OBJECT

    KerberosFixture m_kdc;
    ApacheFixture m_apache;
    const QList<ServedFile> m_files{
        {QStringLiteral("u_ex261201.log"), logBytes(1, 3000)},
        {QStringLiteral("u_ex261202.log"), logBytes(2, 70000)},
        {QStringLiteral("W3SVC1/u_ex261130.log"), logBytes(3, 500)},
    };

    // The service is HTTP/localhost: the client asks for its ticket by the
    // address's host name.
    QString url(const QString &host, const QString &path) const
    {
        return QStringLiteral("http://%1:%2%3").arg(host).arg(m_apache.port()).arg(path);
    }

    // kestrune-collect with the realm's configuration and the user's ticket
    // cache, in a session of its own: there is no terminal to ask on.
    CollectResult collect(const QStringList &arguments, const QString &workingDir) const
    {
        QProcess p;
        prepare(p, arguments, workingDir);
        p.setProcessEnvironment(m_kdc.clientEnvironment(p.processEnvironment()));
        p.setChildProcessModifier([] { ::setsid(); });
        p.start();
        return p.waitForStarted(30000) ? finish(p, 120000) : CollectResult();
    }

    // Waits until Apache has logged the requests expected ("/logs/ 200"),
    // then checks that every request of the run carried the user's ticket,
    // the first try for each address too, except for the listing page's
    // first try when challenged: the window learns of the login from it.
    void verifyLoggedIn(const QStringList &expected, bool challenged = false)
    {
        const auto logged = [this] {
            QStringList requests;
            for (const ApacheFixture::AccessEntry &e : m_apache.accessEntries())
                requests.append(
                    QStringLiteral("%1 %2").arg(e.requestLine.section(u' ', 1, 1)).arg(e.status));
            return requests;
        };
        const auto allLogged = [&] {
            const QStringList requests = logged();
            return std::all_of(expected.cbegin(), expected.cend(),
                               [&](const QString &r) { return requests.contains(r); });
        };
        QTRY_VERIFY2_WITH_TIMEOUT(allLogged(), qPrintable(m_apache.accessLog()), 30000);
        QList<ApacheFixture::AccessEntry> entries = m_apache.accessEntries();
        if (challenged) {
            QVERIFY2(!entries.isEmpty() && entries.first().status == 401
                         && entries.first().requestLine.startsWith(QLatin1String("GET /logs/ ")),
                     qPrintable(m_apache.accessLog()));
            entries.removeFirst();
        }
        for (const ApacheFixture::AccessEntry &e : std::as_const(entries)) {
            QVERIFY2(e.status >= 200 && e.status < 300, qPrintable(m_apache.accessLog()));
            QVERIFY2(e.user == KerberosFixture::userPrincipal(), qPrintable(m_apache.accessLog()));
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(collectProgram()).isExecutable());
        if (!m_kdc.start())
            QSKIP(qPrintable(m_kdc.errorString()));
        m_apache.requireNegotiate(QStringLiteral("logs"), m_kdc.serviceKeytab(),
                                  m_kdc.configPath());
        if (!m_apache.start())
            QSKIP(qPrintable(m_apache.errorString()));
        for (const ServedFile &f : m_files)
            QVERIFY(m_apache.writeFile(QStringLiteral("logs/") + f.path, f.bytes));
    }

    void negotiate_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("host"); // of the listing's address
        QTest::addColumn<bool>("ticket");  // the user holds a ticket (kinit)
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("mention"); // on stderr
        const QString refused = QStringLiteral("HTTP 401 Unauthorized");
        const QString noTicket = refused
                                 + QStringLiteral(
                                     "): the server took no Kerberos ticket for "
                                     "--negotiate (none at hand, or not one it "
                                     "accepts: see klist; kinit gets one)");
        const QString name = QStringLiteral("localhost");
        QTest::newRow("--negotiate, a ticket") << QStringList{"--negotiate", "-r"} << name << true
                                               << 0 << QStringLiteral("3 downloaded, 0 unchanged");
        QTest::newRow("--negotiate, one file at a time")
            << QStringList{"--negotiate", "-rj1"} << name << true << 0
            << QStringLiteral("3 downloaded, 0 unchanged");
        // The run fails and says why instead of collecting nothing as if
        // all were well.
        QTest::newRow("--negotiate, no ticket")
            << QStringList{"--negotiate", "-r"} << name << false << 2 << noTicket;
        // The realm knows no service HTTP/127.0.0.1.
        QTest::newRow("--negotiate, the server by its address")
            << QStringList{"--negotiate", "-r"} << QStringLiteral("127.0.0.1") << true << 2
            << noTicket;
        QTest::newRow("a ticket, no --negotiate")
            << QStringList{"-r"} << name << true << 2 << refused;
    }

    void negotiate()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, host);
        QFETCH(bool, ticket);
        QFETCH(int, exitCode);
        QFETCH(QString, mention);
        // A cache of its own for each row: the service's ticket in it is
        // this row's.
        QVERIFY2(m_kdc.logOut(), qPrintable(m_kdc.errorString()));
        if (ticket)
            QVERIFY2(m_kdc.logIn(), qPrintable(m_kdc.errorString()));
        QTemporaryDir cwd;
        QTemporaryDir save;
        // An older, shorter copy: the run asks for its size, then for it.
        const ServedFile &grown = m_files.at(1);
        QVERIFY(writeFile(save.filePath(grown.path), grown.bytes.first(100)));
        m_apache.clearAccessLog();

        const CollectResult r =
            collect(options + QStringList{url(host, QStringLiteral("/logs/")), save.path()},
                    cwd.path());
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == exitCode, r.err.constData());
        QVERIFY2(r.errText().contains(mention), r.err.constData());
        if (exitCode != 0) {
            // Nothing written, the old copy as it was.
            QCOMPARE(storedFiles(save.path()), QStringList{grown.path});
            QCOMPARE(readFile(save.filePath(grown.path)), grown.bytes.first(100));
            return;
        }
        QStringList expected;
        for (const ServedFile &f : m_files) {
            expected.append(f.path);
            QVERIFY2(readFile(save.filePath(f.path)) == f.bytes, qPrintable(f.path));
        }
        expected.sort();
        QCOMPARE(storedFiles(save.path()), expected);
        // The pages, the new files at once, the older copy's size and then
        // the file.
        const QStringList pages{QStringLiteral("/logs/ 200"), QStringLiteral("/logs/W3SVC1/ 200")};
        QStringList requests = pages;
        for (const ServedFile &f : m_files)
            requests.append(QStringLiteral("/logs/%1 200").arg(f.path));
        requests.append(QStringLiteral("/logs/%1 206").arg(grown.path));
        verifyLoggedIn(requests);
        // The client got the service's ticket from the KDC with the user's.
        QVERIFY2(m_kdc.tickets().contains(KerberosFixture::servicePrincipal()),
                 qPrintable(m_kdc.tickets()));

        // Again: every copy unchanged, every size request logged in.
        m_apache.clearAccessLog();
        const CollectResult again =
            collect(options + QStringList{url(host, QStringLiteral("/logs/")), save.path()},
                    cwd.path());
        QVERIFY(!again.crashed);
        QVERIFY2(again.exitCode == 0, again.err.constData());
        QVERIFY2(again.errText().contains(QStringLiteral("0 downloaded, 3 unchanged, 0 failed")),
                 again.err.constData());
        requests = pages;
        for (const ServedFile &f : m_files)
            requests.append(QStringLiteral("/logs/%1 206").arg(f.path));
        verifyLoggedIn(requests);
    }

    // The window answers a Negotiate challenge with the user's ticket before
    // it shows a login dialog, as a browser does on an intranet; without a
    // ticket the dialog comes as for any other login.
    void windowLogsInWithTheTicket_data()
    {
        QTest::addColumn<bool>("ticket");
        QTest::newRow("a ticket: no dialog") << true;
        QTest::newRow("no ticket: the dialog, cancelled") << false;
    }

    void windowLogsInWithTheTicket()
    {
        QFETCH(bool, ticket);
        QVERIFY2(m_kdc.logOut(), qPrintable(m_kdc.errorString()));
        if (ticket)
            QVERIFY2(m_kdc.logIn(), qPrintable(m_kdc.errorString()));
        // The window works in this process: the realm's configuration and
        // the ticket cache become its own.
        const QProcessEnvironment kdc = m_kdc.clientEnvironment(QProcessEnvironment());
        for (const QString &name : kdc.keys())
            qputenv(name.toLatin1().constData(), kdc.value(name).toLocal8Bit());
        QTemporaryDir cwd;
        QTemporaryDir save;
        const WindowScene scene(cwd.path());
        QVERIFY(scene.entered());
        m_apache.clearAccessLog();
        RecordingUi ui;
        frmDownload w;
        QVERIFY(windowwaits::loadWindow(w));
        const DownloadControls c(&w);
        c.txtURL->setText(url(QStringLiteral("localhost"), QStringLiteral("/logs/")));
        QVERIFY(windowwaits::loadListing(w));
        if (!ticket) {
            QCOMPARE(ui.loginRequests.size(), 1);
            QCOMPARE(c.lstLogfiles->topLevelItemCount(), 0);
            return;
        }
        QCOMPARE(ui.loginRequests.size(), 0);
        QStringList listed;
        for (int i = 0; i < c.lstLogfiles->topLevelItemCount(); ++i)
            listed.append(c.lstLogfiles->topLevelItem(i)->text(0));
        QStringList top;
        for (const ServedFile &f : m_files) {
            if (!f.path.contains(u'/'))
                top.append(f.path);
        }
        // Apache's page lists its sort and parent links too.
        for (const QString &name : std::as_const(top))
            QVERIFY2(listed.contains(name), qPrintable(listed.join(u'|')));

        c.txtFolder->setText(save.path());
        QVERIFY(windowwaits::runToEnd(w));
        QVERIFY(ui.messages.isEmpty());
        QCOMPARE(ui.loginRequests.size(), 0);
        QStringList requests{QStringLiteral("/logs/ 200")};
        for (const ServedFile &f : m_files) {
            if (!top.contains(f.path))
                continue;
            QVERIFY2(readFile(save.filePath(f.path)) == f.bytes, qPrintable(f.path));
            requests.append(QStringLiteral("/logs/%1 200").arg(f.path));
        }
        verifyLoggedIn(requests, true);
    }
};

QTEST_MAIN(TestE2eNegotiate)
#include "tst_e2e_negotiate.moc"
