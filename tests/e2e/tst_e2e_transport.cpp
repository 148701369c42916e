// The HTTP client end to end against nginx on loopback: HTTPS with a CA made
// at test time, Basic logins, a proxy tunnel and a proxy login (tinyproxy),
// connections kept over a long run, redirect chains, the whole-run limit,
// TLS sessions resumed on new connections, where logins go, and passwords
// kept out of the process list.

#include "DanteFixture.h"
#include "E2eSupport.h"
#include "ListingWaits.h"
#include "NginxFixture.h"
#include "TestHttpServer.h"
#include "TinyproxyFixture.h"

#include "base/listing/ListingLoader.h"
#include "base/listing/WebBrowser.h"
#include "base/transfer/CurlTransport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace kestrune;

using namespace e2e;

namespace {

const QString kUser = QStringLiteral("ops");
const QString kPassword = QStringLiteral("s3cret-kestrune");

CollectResult collect(const QStringList &arguments, const QString &workingDir,
                      const QList<QPair<QString, QString>> &environment = {}, int timeoutMs = 60000)
{
    return collectInSession(arguments, workingDir, environment, timeoutMs);
}

// An answer that demands the test login, Basic only.
TestResponse guarded(TestResponse response = {})
{
    response.auth = TestResponse::Auth::Basic;
    response.authUser = kUser.toUtf8();
    response.authPassword = kPassword.toUtf8();
    return response;
}

TestResponse redirectTo(const QString &location)
{
    TestResponse r;
    r.status = 302;
    r.extraHeaders = {{"Location", location.toUtf8()}};
    return r;
}

TestResponse htmlPage(const QByteArray &html)
{
    TestResponse r;
    r.contentType = "text/html";
    r.body = html;
    return r;
}

QList<SiteFile> logFiles(const QString &prefix, int count, int seed, qint64 size)
{
    QList<SiteFile> files;
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("u_ex26%1.log").arg(i, 4, 10, QLatin1Char('0'));
        files.append(
            {name, QLatin1Char('/') + prefix + name, prefix + name, logBytes(seed + i, size)});
    }
    return files;
}

// nginx serving HTTP/2 on its TLS port, with a listing of three logs below
// /h2/.  Skips the running test when nginx cannot start.
#define START_HTTP2_NGINX(nginx, site)                                                             \
    NginxFixture nginx;                                                                            \
    nginx.enableTls();                                                                             \
    nginx.enableHttp2();                                                                           \
    if (!nginx.start())                                                                            \
        QSKIP(qPrintable(nginx.errorString()));                                                    \
    const Site site = publish(nginx, QStringLiteral("h2/"),                                        \
                              QStringLiteral("[To Parent Directory]"),                             \
                              logFiles(QStringLiteral("h2/"), 3, 500, 40000))

} // namespace

class TestE2eTransport : public QObject {
    Q_OBJECT

    NginxFixture m_nginx;
    Site m_open;
    Site m_private;

    void verifyCollected(const QString &folder, const Site &site)
    {
        for (const SiteFile &f : site.files)
            QCOMPARE(readFile(folder + QLatin1Char('/') + f.name), f.bytes);
        QCOMPARE(strayFiles(folder, site.names), QStringList());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(collectProgram()).isExecutable());
        m_nginx.enableTls();
        m_nginx.requireBasicAuth(QStringLiteral("/private/"), kUser, kPassword);
        // Redirect chains to the open listing, and a file that leaves https.
        m_nginx.addServerConfig(QStringLiteral("location = /r1/ { return 302 /open/; }"));
        m_nginx.addServerConfig(QStringLiteral("location = /r2/ { return 301 /r1/; }"));
        m_nginx.addServerConfig(QStringLiteral("location = /r3/ { return 307 /r2/; }"));
        m_nginx.addServerConfig(
            QStringLiteral("location = /open/down.log { return 302 http://127.0.0.1:9/x.log; }"));
        // Every answer below /once/ closes its connection and says whether
        // the TLS handshake before it resumed a session ("r") or not (".").
        // Sessions are resumed by their id, from the server's cache.
        m_nginx.addServerConfig(QStringLiteral("ssl_session_cache shared:kestrune:1m;"));
        m_nginx.addServerConfig(
            QStringLiteral("location /once/ { keepalive_timeout 0; "
                           "add_header X-Tls-Resumed $ssl_session_reused "
                           "always; }"));
        if (!m_nginx.start())
            QSKIP(qPrintable(m_nginx.errorString()));
        m_open = publish(m_nginx, QStringLiteral("open/"), QStringLiteral("[To Parent Directory]"),
                         logFiles(QStringLiteral("open/"), 3, 100, 20000));
        m_private = publish(m_nginx, QStringLiteral("private/"),
                            QStringLiteral("[To Parent Directory]"),
                            logFiles(QStringLiteral("private/"), 3, 200, 30000));
        for (const char *name :
             {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
    }

    void https_data()
    {
        // host: "127.0.0.1" or "localhost" (not in the certificate).
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("trust");    // --cacert with the test CA
        QTest::addColumn<bool>("viaProxy"); // listing and files through tinyproxy's tunnel
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("mention"); // on stderr
        QTest::newRow("trusted") << "127.0.0.1" << true << false << 0 << QString();
        QTest::newRow("untrusted: nothing stored")
            << "127.0.0.1" << false << false << 2 << QStringLiteral("certificate not trusted");
        QTest::newRow("wrong host name")
            << "localhost" << true << false << 2 << QStringLiteral("certificate not trusted");
        QTest::newRow("through a proxy tunnel") << "127.0.0.1" << true << true << 0 << QString();
    }

    void https()
    {
        QFETCH(QString, host);
        QFETCH(bool, trust);
        QFETCH(bool, viaProxy);
        QFETCH(int, exitCode);
        QFETCH(QString, mention);
        TinyproxyFixture proxy;
        if (viaProxy && !proxy.start())
            QSKIP(qPrintable(proxy.errorString()));
        QTemporaryDir cwd;
        QTemporaryDir save;
        QStringList arguments;
        QList<QPair<QString, QString>> environment;
        if (trust)
            arguments << QStringLiteral("--cacert") << m_nginx.caFile();
        if (viaProxy) {
            // The listing through the system's proxy, the files through --proxy.
            environment.append(
                {QStringLiteral("https_proxy"), QStringLiteral("http://") + proxy.address()});
            arguments << QStringLiteral("--proxy") << proxy.address();
        }
        const QString url = QStringLiteral("https://%1:%2/open/").arg(host).arg(m_nginx.tlsPort());
        const CollectResult r = collect(arguments << url << save.path(), cwd.path(), environment);
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == exitCode, r.err.constData());
        if (exitCode != 0) {
            QVERIFY2(r.errText().contains(mention), r.err.constData());
            QCOMPARE(QDir(save.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
            return;
        }
        verifyCollected(save.path(), m_open);
        if (viaProxy) {
            const QString tunnel = QStringLiteral("CONNECT 127.0.0.1:%1").arg(m_nginx.tlsPort());
            QTRY_VERIFY_WITH_TIMEOUT(proxy.logText().contains(tunnel), 30000);
        }
    }

    void httpsFileRedirectedToHttpFails()
    {
        // A transfer never steps down from https to plain http.
        m_nginx.writeFile(QStringLiteral("mixed/index.html"),
                          listingPage(QStringLiteral("/mixed/"), QString(),
                                      {{QStringLiteral("u_ex260000.log"),
                                        QStringLiteral("/open/u_ex260000.log"), 20000},
                                       {QStringLiteral("down.log"),
                                        QStringLiteral("/open/down.log"), 10}}));
        QTemporaryDir cwd;
        QTemporaryDir save;
        const CollectResult r = collect({"--cacert", m_nginx.caFile(),
                                         m_nginx.httpsUrl(QStringLiteral("/mixed/")), save.path()},
                                        cwd.path());
        QCOMPARE(r.exitCode, 1);
        const QStringList messages = logMessages(cwd.filePath(QStringLiteral("Kestrune.log")));
        QVERIFY2(messages.contains(QStringLiteral("× ")
                                   + m_nginx.httpsUrl(QStringLiteral("/open/down.log"))),
                 qPrintable(messages.join(u'|')));
        QCOMPARE(QDir(save.path()).entryList(QDir::Files),
                 QStringList{QStringLiteral("u_ex260000.log")});
    }

    void basicLogin_data()
    {
        // how: env, netrc (the file and --netrc), netrc-unused (the file
        // only), wrong, none.  netrc: the file's text, %1 the user, %2 the
        // password, %3 the server's port.
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("netrc");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("mention");
        const QString entry = QStringLiteral("machine 127.0.0.1 login %1 password %2\n");
        const QString refused = QStringLiteral("HTTP 401 Unauthorized");
        QTest::newRow("--user, password from the environment")
            << "env" << QString() << 0 << QString();
        QTest::newRow("--netrc") << "netrc" << entry << 0 << QString();
        QTest::newRow("--netrc, among other machines")
            << "netrc"
            << QStringLiteral("machine 127.0.0.2 login nobody password nothing\n") + entry
                   + QStringLiteral("machine localhost login someone password else\n")
            << 0 << QString();
        QTest::newRow("--netrc, the default entry")
            << "netrc"
            << QStringLiteral(
                   "machine 127.0.0.2 login nobody password nothing\n"
                   "default login %1 password %2\n")
            << 0 << QString();
        QTest::newRow("~/.netrc without --netrc: refused")
            << "netrc-unused" << entry << 2 << refused;
        // A machine is a host name alone: an entry naming the port too
        // matches no server.
        QTest::newRow("--netrc, machine with the port: no match")
            << "netrc" << QStringLiteral("machine 127.0.0.1:%3 login %1 password %2\n") << 2
            << refused;
        QTest::newRow("--netrc, another host only")
            << "netrc" << QStringLiteral("machine 127.0.0.2 login %1 password %2\n") << 2
            << refused;
        QTest::newRow("wrong password") << "wrong" << QString() << 2 << refused;
        QTest::newRow("no password, no terminal")
            << "none" << QString() << 2 << QStringLiteral("KESTRUNE_PASSWORD");
    }

    void basicLogin()
    {
        QFETCH(QString, how);
        QFETCH(QString, netrc);
        QFETCH(int, exitCode);
        QFETCH(QString, mention);
        QTemporaryDir cwd;
        QTemporaryDir save;
        QTemporaryDir home;
        QStringList arguments{QStringLiteral("--cacert"), m_nginx.caFile()};
        QList<QPair<QString, QString>> environment{{QStringLiteral("HOME"), home.path()}};
        if (how.startsWith(u"netrc")) {
            const QString path = home.filePath(QStringLiteral(".netrc"));
            QVERIFY(writeFile(path,
                              QString(netrc)
                                  .replace(QStringLiteral("%1"), kUser)
                                  .replace(QStringLiteral("%2"), kPassword)
                                  .replace(QStringLiteral("%3"), QString::number(m_nginx.tlsPort()))
                                  .toUtf8()));
            QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
            if (how == u"netrc")
                arguments << QStringLiteral("--netrc");
        } else {
            arguments << QStringLiteral("--user") << kUser;
            if (how != u"none")
                environment.append({QStringLiteral("KESTRUNE_PASSWORD"),
                                    how == u"env" ? kPassword : QStringLiteral("nope")});
        }
        m_nginx.clearAccessLog();
        const CollectResult r = collect(arguments << m_nginx.httpsUrl(QStringLiteral("/private/"))
                                                  << save.path(),
                                        cwd.path(), environment);
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == exitCode, r.err.constData());
        QVERIFY2(r.errText().contains(mention), r.err.constData());
        // The password is in nothing written.
        const QString logPath = cwd.filePath(QStringLiteral("Kestrune.log"));
        QVERIFY(!r.errText().contains(kPassword));
        QVERIFY(!readFile(logPath).contains(kPassword.toUtf8()));
        if (exitCode != 0)
            return;
        verifyCollected(save.path(), m_private);
        // Every download (one request each: no copy to compare) carried the
        // login; after the first challenge it went with the first request.
        QList<NginxFixture::AccessEntry> entries;
        QTRY_VERIFY_WITH_TIMEOUT((entries = m_nginx.accessEntries()).size() >= 1 + 3, 30000);
        int refused = 0;
        for (const NginxFixture::AccessEntry &e : std::as_const(entries)) {
            if (e.status == 401)
                ++refused;
            else
                QCOMPARE(e.remoteUser, kUser);
        }
        QVERIFY2(refused <= 1, qPrintable(QString::number(refused)));
    }

    void proxyLogin_data()
    {
        QTest::addColumn<bool>("login");
        QTest::newRow("--proxy-user") << true;
        QTest::newRow("no login: 407") << false;
    }

    void proxyLogin()
    {
        QFETCH(bool, login);
        TinyproxyFixture proxy;
        proxy.requireBasicAuth(QStringLiteral("gw"), QStringLiteral("gwpass"));
        if (!proxy.start())
            QSKIP(qPrintable(proxy.errorString()));
        QTemporaryDir cwd;
        QTemporaryDir save;
        QStringList arguments{QStringLiteral("--proxy"), proxy.address()};
        QList<QPair<QString, QString>> environment;
        if (login) {
            arguments << QStringLiteral("--proxy-user") << QStringLiteral("gw");
            environment.append(
                {QStringLiteral("KESTRUNE_PROXY_PASSWORD"), QStringLiteral("gwpass")});
        }
        const CollectResult r = collect(arguments << m_nginx.url(m_open.pagePath) << save.path(),
                                        cwd.path(), environment);
        QVERIFY2(r.exitCode == (login ? 0 : 1), r.err.constData());
        if (login) {
            verifyCollected(save.path(), m_open);
        } else {
            QVERIFY2(r.errText().contains(QStringLiteral("HTTP 407 Proxy Authentication Required")),
                     r.err.constData());
            QCOMPARE(QDir(save.path()).entryList(QDir::Files), QStringList());
        }
    }

    void redirectChains_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("1 redirect") << "/r1/";
        QTest::newRow("2 redirects") << "/r2/";
        QTest::newRow("3 redirects") << "/r3/";
    }

    void redirectChains()
    {
        // Loaded again and again: never a failure, never an empty page.
        QFETCH(QString, path);
        kestrune::WebBrowser browser;
        int complete = 0;
        int failed = 0;
        QEventLoop loop;
        connect(&browser, &kestrune::WebBrowser::DocumentComplete, &loop, [&] {
            ++complete;
            loop.quit();
        });
        connect(&browser, &kestrune::WebBrowser::NavigateError, &loop, [&] {
            ++failed;
            loop.quit();
        });
        // One guard for every load, started afresh each time: a guard left
        // over from an earlier load must not end a later one early.
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
        for (int i = 0; i < 200; ++i) {
            const int before = complete + failed;
            browser.Navigate2(m_nginx.url(path));
            guard.start(30000);
            loop.exec();
            guard.stop();
            QCOMPARE(complete + failed, before + 1);
            QCOMPARE(failed, 0);
            QCOMPARE(browser.LocationURL(), m_nginx.url(m_open.pagePath));
            QCOMPARE(browser.Document()->links.size(), 1 + m_open.files.size());
        }
    }

    void secondRunReusesConnections()
    {
        const int count = 2000;
        const Site many = publish(m_nginx, QStringLiteral("many/"),
                                  QStringLiteral("[To Parent Directory]"),
                                  logFiles(QStringLiteral("many/"), count, 1000, 300));
        QTemporaryDir cwd;
        QTemporaryDir save;
        CollectResult r = collect({m_nginx.url(many.pagePath), save.path()}, cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        m_nginx.clearAccessLog();
        r = collect({m_nginx.url(many.pagePath), save.path()}, cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY2(r.errText().contains(QStringLiteral("0 downloaded, %1 unchanged").arg(count)),
                 r.err.constData());
        QTRY_COMPARE_WITH_TIMEOUT(m_nginx.accessEntries().size(), 1 + count, 30000);
        const int connections = m_nginx.distinctConnections();
        qInfo("second run over %d unchanged files: %d connection(s)", count, connections);
        QVERIFY(connections <= 10);
    }

    void tlsSessionResumedOnNewConnection()
    {
        // Requests are made one after the other, each with a handle of its
        // own; the server closes the connection after every answer, so each
        // request opens a new one.  Only the first needs a full handshake.
        const QByteArray body = logBytes(400, 5000);
        QVERIFY(m_nginx.writeFile(QStringLiteral("once/a.log"), body));
        QString error;
        QVERIFY2(transfer::AddTrustedCaFile(m_nginx.caFile(), &error), qPrintable(error));
        m_nginx.clearAccessLog();
        QList<QByteArray> resumed;
        for (int i = 0; i < 3; ++i) {
            transfer::RequestOptions options;
            options.url = QUrl(m_nginx.httpsUrl(QStringLiteral("/once/a.log")));
            transfer::HttpRequest request(options);
            QTRY_VERIFY_WITH_TIMEOUT(request.finished() || request.failed(), 30000);
            QVERIFY2(!request.failed(), qPrintable(request.error().detail));
            QCOMPARE(request.readAll(), body);
            resumed.append(request.header("X-Tls-Resumed"));
        }
        QCOMPARE(resumed, (QList<QByteArray>{".", "r", "r"}));
        QTRY_COMPARE_WITH_TIMEOUT(m_nginx.accessEntries().size(), 3, 30000);
        QCOMPARE(m_nginx.distinctConnections(), 3);
    }

    void maxTimeEndsTheRun()
    {
        // A file that takes 4 s at 1 MiB/s, and a limit of 1 s.
        const QByteArray big = logBytes(300, 4 * 1048576);
        QVERIFY(m_nginx.writeFile(QStringLiteral("slow/big/u_ex261231.log"), big));
        QVERIFY(m_nginx.writeFile(QStringLiteral("slow/big/index.html"),
                                  listingPage(QStringLiteral("/slow/big/"), QString(),
                                              {{QStringLiteral("u_ex261231.log"),
                                                QStringLiteral("/slow/big/u_ex261231.log"),
                                                big.size()}})));
        QTemporaryDir cwd;
        QTemporaryDir save;
        const QByteArray old = "yesterday's copy";
        QVERIFY(writeFile(save.filePath(QStringLiteral("u_ex261231.log")), old));
        m_nginx.clearAccessLog();
        QElapsedTimer clock;
        clock.start();
        const CollectResult r = collect({"--max-time", "1",
                                         m_nginx.url(QStringLiteral("/slow/big/")), save.path()},
                                        cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 130);
        // Not before the limit (a little early for a coarse timer) ...
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(r.errText().contains(QStringLiteral("--max-time")), r.err.constData());
        QCOMPARE(readFile(save.filePath(QStringLiteral("u_ex261231.log"))), old);
        QCOMPARE(strayFiles(save.path(), {QStringLiteral("u_ex261231.log")}), QStringList());
        // ... and not after the file either.  nginx logs a request once it
        // has ended: a download that went to its end was logged before the
        // program could exit, and none of the file's requests (the size
        // probe, the download it cut) got the whole body.
        const QString get = QStringLiteral("GET /slow/big/u_ex261231.log HTTP/1.1");
        QList<NginxFixture::AccessEntry> gets;
        const auto downloads = [&] {
            gets.clear();
            for (const NginxFixture::AccessEntry &e : m_nginx.accessEntries()) {
                if (e.requestLine == get)
                    gets.append(e);
            }
            return gets.size();
        };
        QTRY_VERIFY_WITH_TIMEOUT(downloads() >= 1, 30000);
        for (const NginxFixture::AccessEntry &e : std::as_const(gets))
            QVERIFY2(e.bytesSent < big.size(), qPrintable(m_nginx.accessLog()));
    }

    // Where the --user login goes: the listing's scheme, host and port, and
    // redirects that keep all three.  Every server here demands that very
    // login, so a login that leaks is taken and shows, instead of being
    // refused unseen.
    void loginStaysWithItsOrigin_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("sent");
        QTest::newRow("same origin") << "same" << true;
        QTest::newRow("same host, other port") << "port" << false;
        QTest::newRow("same host, other scheme") << "scheme" << false;
        QTest::newRow("redirect keeping the origin") << "redirect-same" << true;
        QTest::newRow("redirect to another port") << "redirect-port" << false;
    }

    void loginStaysWithItsOrigin()
    {
        QFETCH(QString, target);
        QFETCH(bool, sent);
        TestHttpServerThread home;
        TestHttpServerThread other;
        QVERIFY(home.start());
        QVERIFY(other.start());
        const QString name = QStringLiteral("u_ex260101.log");
        const QString filePath = QStringLiteral("/f/") + name;
        const QByteArray bytes = logBytes(400, 5000);
        TestResponse file;
        file.body = bytes;
        home.server()->setRoute(filePath, guarded(file));
        other.server()->setRoute(filePath, guarded(file));
        home.server()->setRoute(QStringLiteral("/r/same/") + name,
                                redirectTo(home.server()->url(filePath)));
        home.server()->setRoute(QStringLiteral("/r/port/") + name,
                                redirectTo(other.server()->url(filePath)));
        const SiteFile &tls = m_private.files.first();
        QString href;
        if (target == u"same")
            href = home.server()->url(filePath);
        else if (target == u"port")
            href = other.server()->url(filePath);
        else if (target == u"scheme")
            href = m_nginx.httpsUrl(tls.href);
        else
            href = home.server()->url(QStringLiteral("/r/%1/").arg(target.mid(9)) + name);
        const QString listed = target == u"scheme" ? tls.name : name;
        home.server()->setRoute(QStringLiteral("/logs/"),
                                guarded(
                                    htmlPage(listingPage(QStringLiteral("/logs/"),
                                                         QStringLiteral("[To Parent Directory]"),
                                                         {{listed, href, 5000}}))));
        QTemporaryDir cwd;
        QTemporaryDir save;
        m_nginx.clearAccessLog();
        const CollectResult r = collect({"--cacert", m_nginx.caFile(), "--user", kUser,
                                         home.server()->url(QStringLiteral("/logs/")), save.path()},
                                        cwd.path(),
                                        {{QStringLiteral("KESTRUNE_PASSWORD"), kPassword}});
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == (sent ? 0 : 1), r.err.constData());
        if (sent)
            QCOMPARE(readFile(save.filePath(name)), bytes);
        else
            QVERIFY2(r.errText().contains(QStringLiteral("401")), r.err.constData());

        if (target == u"scheme") {
            QList<NginxFixture::AccessEntry> entries;
            QTRY_VERIFY_WITH_TIMEOUT(!(entries = m_nginx.accessEntries()).isEmpty(), 30000);
            for (const NginxFixture::AccessEntry &e : std::as_const(entries)) {
                QCOMPARE(e.remoteUser, QString());
                QCOMPARE(e.status, 401);
            }
            return;
        }
        // The file's requests at the server it ended at.
        TestHttpServer *end = target.endsWith(u"port") ? other.server() : home.server();
        int asked = 0;
        for (const RecordedRequest &request : end->requests()) {
            if (request.path != filePath.toUtf8())
                continue;
            ++asked;
            if (!sent)
                QVERIFY2(request.header("Authorization").isEmpty(),
                         request.header("Authorization"));
        }
        QVERIFY(asked >= 1);
        if (sent)
            QVERIFY(!end->requests().constLast().header("Authorization").isEmpty());
        if (target.endsWith(u"port"))
            QVERIFY(home.server()->requests().size() >= 1);
    }

    // A --proxy-user login goes to the proxy it was given for and to no
    // other.  With --proxy it is that proxy's: the system's proxy, which
    // carries the listing page and asks for a login of its own, is not
    // offered it (the page then fails with 407).  Without --proxy it is the
    // login of the system's proxy, for the page and the files alike.
    void proxyLoginStaysWithItsProxy_data()
    {
        QTest::addColumn<bool>("named");
        QTest::newRow("--proxy; the listing through the system's proxy") << true;
        QTest::newRow("no --proxy: the system's proxy") << false;
    }

    void proxyLoginStaysWithItsProxy()
    {
        QFETCH(bool, named);
        TinyproxyFixture proxy;
        proxy.requireBasicAuth(QStringLiteral("gw"), QStringLiteral("gwpass"));
        if (!proxy.start())
            QSKIP(qPrintable(proxy.errorString()));
        TestHttpServerThread site;
        TestHttpServerThread systemProxy;
        QVERIFY(site.start());
        QVERIFY(systemProxy.start());
        const QString name = QStringLiteral("u_ex260102.log");
        const QByteArray bytes = logBytes(401, 4000);
        TestResponse file;
        file.body = bytes;
        site.server()->setRoute(QStringLiteral("/logs/") + name, file);
        const QString listingUrl = site.server()->url(QStringLiteral("/logs/"));
        site.server()->setRoute(QStringLiteral("/logs/"),
                                htmlPage(
                                    listingPage(QStringLiteral("/logs/"), QString(),
                                                {{name, QStringLiteral("/logs/") + name, 4000}})));
        TestResponse challenge;
        challenge.rawReply =
            "HTTP/1.1 407 Proxy Authentication Required\r\n"
            "Proxy-Authenticate: Basic realm=\"system\"\r\n"
            "Content-Length: 0\r\nConnection: close\r\n\r\n";
        systemProxy.server()->setRoute(QStringLiteral("/logs/"), challenge);

        QTemporaryDir cwd;
        QTemporaryDir save;
        QStringList arguments;
        if (named)
            arguments << QStringLiteral("--proxy") << proxy.address();
        arguments << QStringLiteral("--proxy-user") << QStringLiteral("gw") << listingUrl
                  << save.path();
        const QString system = named ? systemProxy.server()->url(QString())
                                     : QStringLiteral("http://") + proxy.address();
        const CollectResult r = collect(arguments, cwd.path(),
                                        {{QStringLiteral("http_proxy"), system},
                                         {QStringLiteral("KESTRUNE_PROXY_PASSWORD"),
                                          QStringLiteral("gwpass")}});
        QVERIFY(!r.crashed);
        if (named) {
            QVERIFY2(r.exitCode == 2, r.err.constData());
            QVERIFY2(r.errText().contains(QStringLiteral("407")), r.err.constData());
            const QList<RecordedRequest> seen = systemProxy.server()->requests();
            QVERIFY(!seen.isEmpty());
            for (const RecordedRequest &request : seen)
                QVERIFY2(request.header("Proxy-Authorization").isEmpty(), request.path);
            QVERIFY(site.server()->requests().isEmpty());
        } else {
            QVERIFY2(r.exitCode == 0, r.err.constData());
            QCOMPARE(readFile(save.filePath(name)), bytes);
            QVERIFY2(proxy.logText().contains(QStringLiteral("GET ") + listingUrl),
                     qPrintable(proxy.logText()));
        }
    }

    // A password on the command line is gone from the process's arguments
    // (what ps shows) while the run goes on; the user name stays.
    void passwordsLeaveTheProcessList_data()
    {
        QTest::addColumn<QString>("where");
        QTest::newRow("--user USER:PASSWORD") << "user";
        QTest::newRow("--user=USER:PASSWORD") << "user=";
        QTest::newRow("--proxy-user USER:PASSWORD") << "proxy-user";
        QTest::newRow("in the address") << "address";
        QTest::newRow("in the address, after --") << "address--";
    }

    void passwordsLeaveTheProcessList()
    {
        QFETCH(QString, where);
        const QString password = QStringLiteral("pw-in-argv-7f3");
        TestHttpServerThread site;
        QVERIFY(site.start());
        TestResponse page = htmlPage(listingPage(QStringLiteral("/logs/"), QString(), {}));
        page.holdUntilReleased = true;
        site.server()->setRoute(QStringLiteral("/logs/"), page);
        QString url = site.server()->url(QStringLiteral("/logs/"));
        QTemporaryDir cwd;
        QTemporaryDir save;
        QStringList arguments;
        if (where == u"user")
            arguments << QStringLiteral("--user") << kUser + u':' + password;
        else if (where == u"user=")
            arguments << QStringLiteral("--user=") + kUser + u':' + password;
        else if (where == u"proxy-user")
            arguments << QStringLiteral("--proxy-user") << kUser + u':' + password;
        else
            url.replace(QStringLiteral("http://"),
                        QStringLiteral("http://%1:%2@").arg(kUser, password));
        if (where == u"address--")
            arguments << QStringLiteral("--");
        arguments << url << save.path();

        QProcess p;
        QVERIFY(startInSession(p, arguments, cwd.path()));
        QTRY_COMPARE_WITH_TIMEOUT(site.server()->heldCount(), 1, 30000);
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(p.processId()));
        QVERIFY(cmdline.open(QIODevice::ReadOnly));
        const QByteArray shown = cmdline.readAll();
        site.server()->releaseHeld();
        const CollectResult r = finish(p, 60000);
        QVERIFY(!shown.contains(password.toUtf8()));
        QVERIFY2(shown.contains(kUser.toUtf8()), shown.constData());
        QVERIFY2(shown.contains(site.server()->url(QStringLiteral("/logs/")).mid(7).toUtf8()),
                 shown.constData());
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(!r.err.contains(password.toUtf8()));
        QVERIFY(
            !readFile(cwd.filePath(QStringLiteral("Kestrune.log"))).contains(password.toUtf8()));
    }

    // HTTP/2 over TLS, as IIS 10 offers it: libcurl takes it when the server
    // offers it, and the listing, the size probes, the downloads and a grown
    // log's range all go over it.
    void http2_data()
    {
        QTest::addColumn<QString>("before"); // the save folder: empty, copies, a shorter copy
        QTest::addColumn<QString>("summary");
        QTest::newRow("new copies") << "empty"
                                    << "3 downloaded, 0 unchanged, 0 failed";
        QTest::newRow("unchanged copies") << "same"
                                          << "0 downloaded, 3 unchanged, 0 failed";
        QTest::newRow("a grown log: the rest appended") << "grown"
                                                        << "1 downloaded, 2 unchanged, 0 failed";
    }

    void http2()
    {
        QFETCH(QString, before);
        QFETCH(QString, summary);
        START_HTTP2_NGINX(nginx, site);
        QTemporaryDir cwd;
        QTemporaryDir save;
        if (before != u"empty") {
            for (const SiteFile &f : site.files)
                QVERIFY(writeFile(save.filePath(f.name), f.bytes));
        }
        if (before == u"grown")
            QVERIFY(writeFile(save.filePath(site.files.at(1).name),
                              site.files.at(1).bytes.left(25000)));
        const CollectResult r = collect({"--cacert", nginx.caFile(), nginx.httpsUrl(site.pagePath),
                                         save.path()},
                                        cwd.path());
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY2(r.errText().contains(summary), r.err.constData());
        verifyCollected(save.path(), site);
        // The listing and a request (at least) per file, every one of them
        // HTTP/2.
        QList<NginxFixture::AccessEntry> entries;
        QTRY_VERIFY_WITH_TIMEOUT((entries = nginx.accessEntries()).size() >= 1 + 3, 30000);
        QCOMPARE(entries.first().requestLine, QStringLiteral("GET /h2/ HTTP/2.0"));
        // The size probes ask for one byte; a grown copy's range carries its
        // last 4 KiB and the rest.
        QStringList ranges;
        for (const NginxFixture::AccessEntry &e : std::as_const(entries)) {
            QVERIFY2(e.requestLine.endsWith(QStringLiteral(" HTTP/2.0")),
                     qPrintable(nginx.accessLog()));
            QCOMPARE(e.scheme, QStringLiteral("https"));
            if (e.status == 206 && e.bytesSent > 4096)
                ranges.append(e.requestLine);
        }
        QStringList expected;
        if (before == u"grown")
            expected.append(QStringLiteral("GET /%1 HTTP/2.0").arg(site.files.at(1).servedAs));
        QCOMPARE(ranges, expected);
    }

    // The window loads its listing page over HTTP/2 too.
    void http2Listing()
    {
        START_HTTP2_NGINX(nginx, site);
        QString error;
        QVERIFY2(transfer::AddTrustedCaFile(nginx.caFile(), &error), qPrintable(error));
        ListingLoader loader({});
        loader.setTimeout(30000);
        ListingResult result;
        QVERIFY(listingwaits::analyzeListing(loader, nginx.httpsUrl(site.pagePath), result));
        QVERIFY2(result.status == ListingStatus::Listed, qPrintable(result.reason));
        QStringList urls;
        for (const ListingRow &row : std::as_const(result.rows)) {
            if (row.kind == ListingRow::Kind::File)
                urls.append(row.url);
        }
        QStringList expected;
        for (const SiteFile &f : site.files)
            expected.append(nginx.httpsUrl(f.href));
        QCOMPARE(urls, expected);
        QTRY_VERIFY_WITH_TIMEOUT(!nginx.requestLines().isEmpty(), 30000);
        QCOMPARE(nginx.requestLines(), QStringList{QStringLiteral("GET /h2/ HTTP/2.0")});
    }

    // A SOCKS5 proxy named by the system's settings (the proxy variables)
    // carries the listing page and the files alike: every connection the
    // server saw is one the proxy opened, none came around it.  curl's
    // "socks5h://" is taken too; a host that no_proxy names goes direct.
    void socksProxy_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("scheme"); // of the proxy's address
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("noProxy");
        QTest::newRow("http_proxy=socks5://") << "http_proxy"
                                              << "socks5" << false << QString();
        QTest::newRow("http_proxy=socks://") << "http_proxy"
                                             << "socks" << false << QString();
        QTest::newRow("https_proxy=socks5://, https") << "https_proxy"
                                                      << "socks5" << true << QString();
        QTest::newRow("http_proxy=socks5h://") << "http_proxy"
                                               << "socks5h" << false << QString();
        QTest::newRow("ALL_PROXY=socks5h://, https") << "ALL_PROXY"
                                                     << "socks5h" << true << QString();
        QTest::newRow("http_proxy=socks5h://, no_proxy names the host")
            << "http_proxy"
            << "socks5h" << false << "localhost,.example, 127.0.0.1";
    }

    void socksProxy()
    {
        QFETCH(QString, variable);
        QFETCH(QString, scheme);
        QFETCH(bool, tls);
        QFETCH(QString, noProxy);
        DanteFixture socks;
        if (!socks.start())
            QSKIP(qPrintable(socks.errorString()));
        QTemporaryDir cwd;
        QTemporaryDir save;
        QStringList arguments;
        if (tls)
            arguments << QStringLiteral("--cacert") << m_nginx.caFile();
        arguments << (tls ? m_nginx.httpsUrl(m_open.pagePath) : m_nginx.url(m_open.pagePath))
                  << save.path();
        m_nginx.clearAccessLog();
        QList<QPair<QString, QString>> environment{
            {variable, scheme + QStringLiteral("://") + socks.address()}};
        if (!noProxy.isEmpty())
            environment.append({QStringLiteral("no_proxy"), noProxy});
        const CollectResult r = collect(arguments, cwd.path(), environment);
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        verifyCollected(save.path(), m_open);
        QList<NginxFixture::AccessEntry> entries;
        QTRY_VERIFY_WITH_TIMEOUT((entries = m_nginx.accessEntries()).size() >= 1 + 3, 30000);
        const quint16 target = tls ? m_nginx.tlsPort() : m_nginx.port();
        if (!noProxy.isEmpty()) {
            QCOMPARE(socks.sourcePortsTo(target), QList<quint16>());
            return;
        }
        QList<quint16> relayed;
        QTRY_VERIFY_WITH_TIMEOUT(!(relayed = socks.sourcePortsTo(target)).isEmpty(), 30000);
        for (const NginxFixture::AccessEntry &e : std::as_const(entries)) {
            QVERIFY2(relayed.contains(e.remotePort),
                     qPrintable(QStringLiteral("%1 from port %2 not through the proxy:\n%3")
                                    .arg(e.requestLine)
                                    .arg(e.remotePort)
                                    .arg(socks.logText())));
        }
    }

    // --proxy takes an HTTP proxy (or a list of them); a SOCKS address there
    // is a usage error before anything is sent, never a run without it.
    void socksAddressInProxyOption_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::newRow("socks5://") << "socks5";
        QTest::newRow("socks5h://") << "socks5h";
    }

    void socksAddressInProxyOption()
    {
        QFETCH(QString, scheme);
        DanteFixture socks;
        if (!socks.start())
            QSKIP(qPrintable(socks.errorString()));
        QTemporaryDir cwd;
        QTemporaryDir save;
        m_nginx.clearAccessLog();
        const CollectResult r = collect({"--proxy",
                                         scheme + QStringLiteral("://") + socks.address(),
                                         m_nginx.url(m_open.pagePath), save.path()},
                                        cwd.path());
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == 2, r.err.constData());
        QVERIFY2(r.errText().contains(QStringLiteral("--proxy")), r.err.constData());
        QCOMPARE(QDir(save.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(m_nginx.accessLog(), QString());
        QCOMPARE(socks.sourcePortsTo(m_nginx.port()), QList<quint16>());
    }
};

QTEST_GUILESS_MAIN(TestE2eTransport)
#include "tst_e2e_transport.moc"
