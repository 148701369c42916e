// kestrune-collect's own units: the command line, the default time-out and
// the texts of the progress line and the summary.

#include "cli/CollectOptions.h"
#include "cli/CollectProgress.h"
#include "cli/ListRows.h"
#include "cli/NameFilter.h"
#include "base/system/ControlCharacters.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace kestrune;

using namespace kestrune::cli;

namespace {

// The names the filter table is tried on.
QStringList filterNames()
{
    return {"u_ex261201.log",
            "u_ex261202.log",
            "U_EX261203.LOG",
            "httperr1.log",
            "a.b",
            "[x].log",
            "x.log.gz",
            "",
            "a*b"};
}

} // namespace

class TestCollectCli : public QObject {
    Q_OBJECT

private slots:
    void parsesOperandsAndOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>(
            "parsed"); // folder|proxy|time-out in ms ("-": not given)|log|quiet

        const QString u = QStringLiteral("http://127.0.0.1:8080/logs/");
        QTest::newRow("operands only")
            << QStringList{u, "/srv/logs"} << u << "/srv/logs||-|Kestrune.log|";
        QTest::newRow("options first")
            << QStringList{"--proxy", "proxy.example:3128", "--timeout", "12",
                           "--log",   "/var/log/k.log",     "--quiet",   u,
                           "out"}
            << u << "out|proxy.example:3128|12000|/var/log/k.log|quiet";
        QTest::newRow("ipv6 proxy") << QStringList{"--proxy", "[::1]:8080", u, "out"} << u
                                    << "out|[::1]:8080|-|Kestrune.log|";
        QTest::newRow("proxy list") << QStringList{"--proxy", "http=a:8080; https=b:3128", u, "out"}
                                    << u << "out|http=a:8080; https=b:3128|-|Kestrune.log|";
        QTest::newRow("equals form, options last")
            << QStringList{u, "out", "--proxy=10.0.0.1", "--timeout=2.5"} << u
            << "out|10.0.0.1|2000|Kestrune.log|";
        QTest::newRow("half rounds up to even")
            << QStringList{"--timeout", "3.5", u, "out"} << u << "out||4000|Kestrune.log|";
        QTest::newRow("options between operands")
            << QStringList{u, "-q", "out"} << u << "out||-|Kestrune.log|quiet";
        QTest::newRow("double dash ends options")
            << QStringList{"--", u, "--odd-folder"} << u << "--odd-folder||-|Kestrune.log|";
        QTest::newRow("url trimmed")
            << QStringList{"  " + u + " ", "out"} << u << "out||-|Kestrune.log|";
        QTest::newRow("https") << QStringList{"https://host/logs/", "out"} << "https://host/logs/"
                               << "out||-|Kestrune.log|";
        // An address without a scheme is an http address, as in the window.
        QTest::newRow("no scheme") << QStringList{"web01/logs/", "out"} << "http://web01/logs/"
                                   << "out||-|Kestrune.log|";
        QTest::newRow("no scheme, host and port")
            << QStringList{"web01:8080/logs/", "out"} << "http://web01:8080/logs/"
            << "out||-|Kestrune.log|";
        QTest::newRow("no scheme, address and port")
            << QStringList{" 127.0.0.1:8080/logs/", "out"} << u << "out||-|Kestrune.log|";
    }

    void parsesOperandsAndOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, url);
        QFETCH(QString, parsed);
        const CollectOptions o = parseCollectOptions(arguments);
        QCOMPARE(o.error, QString());
        QCOMPARE(o.url, url);
        QCOMPARE(QStringList({o.folder, o.proxy,
                              o.timeoutMs ? QString::number(*o.timeoutMs) : QStringLiteral("-"),
                              o.logPath, o.quiet ? QStringLiteral("quiet") : QString()})
                     .join(u'|'),
                 parsed);
        QVERIFY(!o.help);
        QVERIFY(!o.version);
    }

    void rejectsBadCommandLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error");
        const QString u = QStringLiteral("http://127.0.0.1/logs/");
        QTest::newRow("nothing") << QStringList{} << "URL and FOLDER are missing";
        QTest::newRow("url only") << QStringList{u} << "FOLDER is missing";
        QTest::newRow("extra operand") << QStringList{u, "a", "b"} << "unexpected argument \"b\"";
        QTest::newRow("unknown") << QStringList{"--verbose", u, "a"} << "Unknown option 'verbose'.";
        QTest::newRow("quiet with value")
            << QStringList{"--quiet=yes", u, "a"} << "Unexpected value after '--quiet'.";
        QTest::newRow("proxy missing value")
            << QStringList{u, "a", "--proxy"} << "Missing value after '--proxy'.";
        QTest::newRow("proxy blank")
            << QStringList{"--proxy", " ", u, "a"} << "option --proxy needs HOST[:PORT]";
        const QString notAProxy = QStringLiteral(
            "option --proxy: \"%1\" is not HOST[:PORT] or a list of [SCHEME=]HOST[:PORT]");
        QTest::newRow("proxy bad port")
            << QStringList{"--proxy", "proxy:99999", u, "a"} << notAProxy.arg("proxy:99999");
        QTest::newRow("proxy blank before the port")
            << QStringList{"--proxy=proxy :80", u, "a"} << notAProxy.arg("proxy :80");
        QTest::newRow("proxy list, empty entry")
            << QStringList{"--proxy=http=a:1 https=", u, "a"} << notAProxy.arg("http=a:1 https=");
        QTest::newRow("timeout text")
            << QStringList{"--timeout", "ten", u, "a"}
            << "option --timeout needs a positive number of seconds, not \"ten\"";
        QTest::newRow("timeout zero")
            << QStringList{"--timeout=0", u, "a"}
            << "option --timeout needs a positive number of seconds, not \"0\"";
        QTest::newRow("timeout negative")
            << QStringList{"--timeout=-5", u, "a"}
            << "option --timeout needs a positive number of seconds, not \"-5\"";
        QTest::newRow("timeout overflow")
            << QStringList{"--timeout", "99999999", u, "a"}
            << "option --timeout needs a positive number of seconds, not \"99999999\"";
        QTest::newRow("log empty")
            << QStringList{"--log=", u, "a"} << "option --log needs a file name";
        QTest::newRow("max-time zero")
            << QStringList{"--max-time", "0", u, "a"}
            << "option --max-time needs a positive number of seconds, not \"0\"";
        QTest::newRow("cacert empty")
            << QStringList{"--cacert=", u, "a"} << "option --cacert needs a file name";
        QTest::newRow("user missing value")
            << QStringList{u, "a", "--user"} << "Missing value after '--user'.";
        QTest::newRow("ftp") << QStringList{"ftp://h/x", "a"}
                             << "bad URL \"ftp://h/x\": not an http:// or https:// address";
        // Written like "user:password@host" without a scheme: shown masked.
        QTest::newRow("mailto")
            << QStringList{"mailto:ops@web01", "a"}
            << "bad URL \"mailto:***@web01\": not an http:// or https:// address";
        QTest::newRow("jobs zero") << QStringList{"-j", "0", u, "a"}
                                   << "option --jobs needs a number from 1 to 32, not \"0\"";
        QTest::newRow("jobs too many") << QStringList{"--jobs=33", u, "a"}
                                       << "option --jobs needs a number from 1 to 32, not \"33\"";
        QTest::newRow("depth below zero")
            << QStringList{"-r", "--depth", "-1", u, "a"}
            << "option --depth needs a number from 0 to 100, not \"-1\"";
        QTest::newRow("depth not a number")
            << QStringList{"-r", "--depth=all", u, "a"}
            << "option --depth needs a number from 0 to 100, not \"all\"";
        QTest::newRow("no host") << QStringList{"http:///logs/", "a"}
                                 << "bad URL \"http:///logs/\": no host name";
        QTest::newRow("every unknown option")
            << QStringList{"--x", "--y"} << "Unknown options: x, y.";
        // The ticket is the login: a password given besides would go unused.
        const QString ticketOnly = QStringLiteral(
            "option --negotiate logs in with the Kerberos ticket: give no --user and no password "
            "in URL");
        QTest::newRow("negotiate and user")
            << QStringList{"--negotiate", u, "a", "--user=ops"} << ticketOnly;
        QTest::newRow("negotiate and an empty user, as curl's -u :")
            << QStringList{"--user", ":", "--negotiate", u, "a"} << ticketOnly;
        QTest::newRow("negotiate and a password in the URL")
            << QStringList{"--negotiate", "http://ops:pw@h/logs/", "a"} << ticketOnly;
    }

    void filtersAndList_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("include");
        QTest::addColumn<QStringList>("exclude");
        QTest::addColumn<bool>("list");
        const QString u = QStringLiteral("http://h/logs/");
        QTest::newRow("none") << QStringList{u, "out"} << QStringList() << QStringList() << false;
        QTest::newRow("repeated, both forms, in order")
            << QStringList{"--include", "u_ex*.log",   u,       "--include=*.txt", "out",
                           "--exclude", "*2612??.log", "--list"}
            << QStringList{"u_ex*.log", "*.txt"} << QStringList{"*2612??.log"} << true;
        QTest::newRow("sets and escapes")
            << QStringList{"--exclude=[!0-9]*", "--exclude", "a\\[1]", u, "out"} << QStringList()
            << QStringList{"[!0-9]*", "a\\[1]"} << false;
        // A value that looks like an option is the pattern.
        QTest::newRow("pattern starting with a dash")
            << QStringList{"--exclude", "-*", u, "out"} << QStringList() << QStringList{"-*"}
            << false;
    }

    void filtersAndList()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, include);
        QFETCH(QStringList, exclude);
        QFETCH(bool, list);
        const CollectOptions o = parseCollectOptions(arguments);
        QCOMPARE(o.error, QString());
        QCOMPARE(o.include, include);
        QCOMPARE(o.exclude, exclude);
        QCOMPARE(o.list, list);
        QCOMPARE(o.folder, QStringLiteral("out"));
    }

    // Shell patterns against whole names; exclude wins over include.
    void nameFilter_data()
    {
        QTest::addColumn<QStringList>("include");
        QTest::addColumn<QStringList>("exclude");
        QTest::addColumn<QStringList>("taken"); // of the names below
        const QStringList names = filterNames();
        QTest::newRow("no patterns") << QStringList() << QStringList() << names;
        QTest::newRow("star matches whole names, case counts")
            << QStringList{"u_ex*.log"} << QStringList()
            << QStringList{"u_ex261201.log", "u_ex261202.log"};
        QTest::newRow("star matches nothing too") << QStringList{"*"} << QStringList() << names;
        QTest::newRow("question mark is one character")
            << QStringList{"u_ex2612??.log", "?.?"} << QStringList()
            << QStringList{"u_ex261201.log", "u_ex261202.log", "a.b"};
        QTest::newRow("exclude wins") << QStringList{"*.log"} << QStringList{"*02.log", "h*"}
                                      << QStringList{"u_ex261201.log", "[x].log"};
        QTest::newRow("exclude alone") << QStringList() << QStringList{"*.log", "*.gz"}
                                       << QStringList{"U_EX261203.LOG", "a.b", "", "a*b"};
        QTest::newRow("sets, ranges, negation")
            << QStringList{"*[13].log", "[!a-z]*"} << QStringList()
            << QStringList{"u_ex261201.log", "U_EX261203.LOG", "httperr1.log", "[x].log"};
        QTest::newRow("caret negates too, ] first is a member")
            << QStringList{"[]a]*", "[^a-z_]*"} << QStringList()
            << QStringList{"U_EX261203.LOG", "a.b", "[x].log", "a*b"};
        QTest::newRow("escaped specials are themselves")
            << QStringList{"\\[x].log", "a\\*b"} << QStringList() << QStringList{"[x].log", "a*b"};
        QTest::newRow("regular-expression characters are plain")
            << QStringList{"a.b", "x.log.gz"} << QStringList{"a?b"} << QStringList{"x.log.gz"};
    }

    void nameFilter()
    {
        QFETCH(QStringList, include);
        QFETCH(QStringList, exclude);
        QFETCH(QStringList, taken);
        const QStringList names = filterNames();
        const NameFilter filter(include, exclude);
        QStringList got;
        for (const QString &name : names) {
            if (filter.accepts(name))
                got.append(name);
        }
        QCOMPARE(got, taken);
    }

    void badPatternsAreUsageErrors_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("why");
        QTest::newRow("unclosed [") << "--include=u_ex[12.log"
                                    << R"("[" without its "]")";
        QTest::newRow("only ] in the set") << "--exclude=[]"
                                           << R"("[" without its "]")";
        QTest::newRow("backwards range") << "--exclude=[z-a]*"
                                         << R"(the range "z-a" runs backwards)";
        QTest::newRow("backslash at the end") << "--include=a\\"
                                              << R"("\" at the end)";
    }

    void badPatternsAreUsageErrors()
    {
        QFETCH(QString, option);
        QFETCH(QString, why);
        const CollectOptions o = parseCollectOptions({"--include=*", option, "http://h/", "out"});
        const QString name = option.mid(2, option.indexOf(u'=') - 2);
        const QString glob = option.mid(option.indexOf(u'=') + 1);
        QCOMPARE(o.error,
                 QStringLiteral("option --%1: bad pattern \"%2\": %3").arg(name, glob, why));
        QVERIFY(!globExpression(glob).isValid());
    }

    // What a list-only run says a run would do, from the copy's size and the
    // size request's answer.
    void whatARunWouldDo_data()
    {
        QTest::addColumn<qint64>("localSize");  // -1: no copy
        QTest::addColumn<int>("status");        // 0: no answer
        QTest::addColumn<qint64>("remoteSize"); // -1: none reported
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no copy") << qint64(-1) << 206 << qint64(10) << "new"
                                 << "";
        QTest::newRow("no copy, no size") << qint64(-1) << 200 << qint64(-1) << "new"
                                          << "";
        QTest::newRow("same size") << qint64(10) << 206 << qint64(10) << "unchanged"
                                   << "";
        QTest::newRow("empty on both sides") << qint64(0) << 416 << qint64(0) << "unchanged"
                                             << "";
        QTest::newRow("grown") << qint64(10) << 206 << qint64(11) << "grown"
                               << "";
        QTest::newRow("empty copy, server has bytes") << qint64(0) << 206 << qint64(11) << "differs"
                                                      << "";
        QTest::newRow("shrunk") << qint64(10) << 206 << qint64(9) << "differs"
                                << "";
        QTest::newRow("answer without a size") << qint64(10) << 200 << qint64(-1) << "differs"
                                               << "";
        QTest::newRow("gone from the server") << qint64(10) << 404 << qint64(-1) << "failed"
                                              << "HTTP 404 Not Found";
        QTest::newRow("new but refused") << qint64(-1) << 401 << qint64(-1) << "failed"
                                         << "HTTP 401 Unauthorized";
        transfer::TransferError refused;
        refused.kind = transfer::TransferError::Kind::Refused;
        QTest::newRow("no answer")
            << qint64(10) << 0 << qint64(-1) << "failed" << refused.describe();
    }

    void whatARunWouldDo()
    {
        QFETCH(qint64, localSize);
        QFETCH(int, status);
        QFETCH(qint64, remoteSize);
        QFETCH(QString, what);
        QFETCH(QString, reason);
        RemoteProbe probe;
        probe.status = status;
        if (remoteSize >= 0)
            probe.size = remoteSize;
        if (status == 0)
            probe.error.kind = transfer::TransferError::Kind::Refused;
        QString why;
        QCOMPARE(whatText(cli::whatARunWouldDo(localSize, probe, &why)), what);
        QCOMPARE(why, reason);
    }

    void listLinesHaveThreeFields()
    {
        ListedRow row{QStringLiteral("a\tb\x1b.log"), QStringLiteral("http://ops:pw@h/a%09b.log"),
                      ListedRow::What::Grown, QString()};
        QCOMPARE(listLine(row),
                 QStringLiteral("a\\tb\\x1b.log\thttp://ops:***@h/a%09b.log\tgrown"));
    }

    void rejectsBadCommandLines()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        const CollectOptions o = parseCollectOptions(arguments);
        QCOMPARE(o.error, error);
        QVERIFY(!o.error.contains(QLatin1Char('\n')));
    }

    void parsesLoginAndLimitOptions()
    {
        const CollectOptions o = parseCollectOptions(
            {"--user", "ops", "--proxy-user=gw", "--netrc", "--cacert", "/etc/ca.pem", "--max-time",
             "90.5", "https://h/logs/", "out", "-j", "7", "--log-append"});
        QCOMPARE(o.error, QString());
        QCOMPARE(o.jobs, 7);
        QVERIFY(o.logAppend);
        QVERIFY(!parseCollectOptions({"https://h/", "out"}).logAppend);
        QCOMPARE(parseCollectOptions({"https://h/", "out"}).jobs, 8);
        QCOMPARE(parseCollectOptions({"--jobs=1", "https://h/", "out"}).jobs, 1);
        QVERIFY(!o.recursive);
        QCOMPARE(o.depth, 5);
        const CollectOptions tree = parseCollectOptions(
            {"https://h/", "out", "-rq", "--depth", "0"});
        QCOMPARE(tree.error, QString());
        QVERIFY(tree.recursive && tree.quiet);
        QCOMPARE(tree.depth, 0);
        QCOMPARE(o.user, std::optional<QString>(QStringLiteral("ops")));
        QCOMPARE(o.proxyUser, std::optional<QString>(QStringLiteral("gw")));
        QVERIFY(o.netrc);
        QCOMPARE(o.caFile, QStringLiteral("/etc/ca.pem"));
        QCOMPARE(o.maxTimeMs,
                 std::optional<qint64>(90000)); // halves to the even second, as --timeout
        // An empty user name is a user name (some servers take one).
        QCOMPARE(parseCollectOptions({"--user=", "https://h/", "out"}).user,
                 std::optional<QString>(QString()));
        QVERIFY(!parseCollectOptions({"https://h/", "out"}).user);
        QVERIFY(!o.negotiate);
        // A user name without a password in the address is no login.
        const CollectOptions ticket = parseCollectOptions({"http://ops@h/", "out", "--negotiate"});
        QCOMPARE(ticket.error, QString());
        QVERIFY(ticket.negotiate);
    }

    // "USER:PASSWORD" as curl takes it; "USER" alone leaves the password to
    // the environment or the terminal.
    void loginsTakeThePasswordAfterTheFirstColon_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("user");
        QTest::addColumn<std::optional<QString>>("password");
        const std::optional<QString> none;
        QTest::newRow("user only") << "ops"
                                   << "ops" << none;
        QTest::newRow("user and password") << "ops:pw"
                                           << "ops" << std::optional<QString>("pw");
        QTest::newRow("colon in the password") << "ops:p:w@x"
                                               << "ops" << std::optional<QString>("p:w@x");
        QTest::newRow("empty password") << "ops:"
                                        << "ops" << std::optional<QString>("");
        QTest::newRow("empty user") << ":pw"
                                    << "" << std::optional<QString>("pw");
    }

    void loginsTakeThePasswordAfterTheFirstColon()
    {
        QFETCH(QString, value);
        QFETCH(QString, user);
        QFETCH(std::optional<QString>, password);
        const CollectOptions o = parseCollectOptions(
            {"--user", value, "--proxy-user=" + value, "http://h/", "out"});
        QCOMPARE(o.error, QString());
        QCOMPARE(o.user, std::optional<QString>(user));
        QCOMPARE(o.password, password);
        QCOMPARE(o.proxyUser, std::optional<QString>(user));
        QCOMPARE(o.proxyPassword, password);
    }

    // Whatever else is wrong with an address, the usage error shows it with
    // its password masked and the rest as typed.
    void usageErrorsMaskPasswords_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error");
        const QString out = QStringLiteral("out");
        QTest::newRow("blank in the password")
            << QStringList{"http://ops:se cret@h/logs/", out}
            << R"(bad URL "http://ops:***@h/logs/": not a valid URL)";
        QTest::newRow("@ in the user name")
            << QStringList{"http://ops@corp:secret@h/", out}
            << R"(bad URL "http://ops@corp:***@h/": not a valid URL)";
        QTest::newRow("port out of range")
            << QStringList{"http://ops:secret@h:99999/", out}
            << R"(bad URL "http://ops:***@h:99999/": not a valid URL)";
        QTest::newRow("port not a number") << QStringList{"http://ops:secret@h:8o/", out}
                                           << R"(bad URL "http://ops:***@h:8o/": not a valid URL)";
        QTest::newRow("/ in the password") << QStringList{"http://ops:sec/ret@h/", out}
                                           << R"(bad URL "http://ops:***@h/": not a valid URL)";
        QTest::newRow("# in the password") << QStringList{"https://ops:sec#ret@h/", out}
                                           << R"(bad URL "https://ops:***@h/": not a valid URL)";
        QTest::newRow("not http")
            << QStringList{"ftp://ops:secret@h/", out}
            << R"(bad URL "ftp://ops:***@h/": not an http:// or https:// address)";
        QTest::newRow("no scheme, read as one")
            << QStringList{"ops:secret@h/logs/", out}
            << R"(bad URL "ops:***@h/logs/": not an http:// or https:// address)";
        QTest::newRow("an extra operand") << QStringList{"http://h/", out, "http://ops:secret@h2/"}
                                          << R"(unexpected argument "http://ops:***@h2/")";
        QTest::newRow("--proxy with a login")
            << QStringList{"--proxy", "gw:secret@p:3128", "http://h/", out}
            << R"(option --proxy: "gw:***@p:3128" is not HOST[:PORT] or a list of [SCHEME=]HOST[:PORT])";
    }

    void usageErrorsMaskPasswords()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        QCOMPARE(parseCollectOptions(arguments).error, error);
    }

    // The passwords the command line carries are overwritten in the
    // process's own argument memory; every other byte stays.
    void passwordArgumentsAreBlanked_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("shown");
        const QString u = QStringLiteral("http://h/logs/");
        const QString out = QStringLiteral("out");
        QTest::newRow("--user USER:PASSWORD") << QStringList{"--user", "ops:pw:x", u, out}
                                              << QStringList{"--user", "ops:****", u, out};
        QTest::newRow("--user=USER:PASSWORD")
            << QStringList{"--user=ops:pw", u, out} << QStringList{"--user=ops:**", u, out};
        QTest::newRow("--proxy-user USER:PASSWORD") << QStringList{"--proxy-user", "gw:pw", u, out}
                                                    << QStringList{"--proxy-user", "gw:**", u, out};
        QTest::newRow("--user USER")
            << QStringList{"--user", "ops", u, out} << QStringList{"--user", "ops", u, out};
        QTest::newRow("address") << QStringList{"-q", "http://ops:pw@h:81/logs/", out}
                                 << QStringList{"-q", "http://ops:**@h:81/logs/", out};
        QTest::newRow("address with blanks and an @ in the user")
            << QStringList{"http://o@p:p w@h/", out} << QStringList{"http://o@p:***@h/", out};
        QTest::newRow("address after --") << QStringList{"--", "http://ops:pw@h/", out}
                                          << QStringList{"--", "http://ops:**@h/", out};
        QTest::newRow("password of more than one byte a character")
            << QStringList{"http://ops:pä@h/", out} << QStringList{"http://ops:***@h/", out};
        QTest::newRow("--proxy with a login")
            << QStringList{"--proxy", "http://gw:pw@p:3128", u, out}
            << QStringList{"--proxy", "http://gw:**@p:3128", u, out};
        QTest::newRow("values of other options stay")
            << QStringList{"--log", "a:b@c.log", "-qj", "a:b@c", "--cacert=a:b@c", u, "x:y@z/"}
            << QStringList{"--log", "a:b@c.log", "-qj", "a:b@c", "--cacert=a:b@c", u, "x:*@z/"};
        QTest::newRow("patterns stay")
            << QStringList{"--include", "a:b@c", "--exclude", "x:y@z", u, out}
            << QStringList{"--include", "a:b@c", "--exclude", "x:y@z", u, out};
        QTest::newRow("ports and paths stay") << QStringList{"http://h:8080/a@b/", "/srv/a:b@c"}
                                              << QStringList{"http://h:8080/a@b/", "/srv/a:b@c"};
    }

    void passwordArgumentsAreBlanked()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, shown);
        std::vector<QByteArray> bytes{QByteArray("kestrune-collect")};
        for (const QString &a : arguments)
            bytes.push_back(a.toUtf8());
        std::vector<char *> argv;
        for (QByteArray &b : bytes)
            argv.push_back(b.data());
        argv.push_back(nullptr);
        blankPasswordArguments(int(bytes.size()), argv.data());
        QStringList after;
        for (size_t i = 1; i < bytes.size(); ++i)
            after.append(QString::fromUtf8(argv[i]));
        QCOMPARE(after, shown);
    }

    void usageDocumentsEveryOptionAndNoOther()
    {
        // Version and usage output, and help winning over errors, are
        // checked on the program itself (tst_e2e_collect).
        const QString usage = usageText();
        QStringList known;
        for (const QCommandLineOption &option : collectOptionList()) {
            QString shortName;
            QString longName;
            for (const QString &name : option.names()) {
                (name.size() == 1 ? shortName : longName) = name;
                known.append((name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"))
                             + name);
            }
            // An entry of its own: "  -j, --jobs N ..." or "      --netrc ...".
            const QString head = shortName.isEmpty()
                                     ? QStringLiteral("      --") + longName
                                     : QStringLiteral("  -%1, --%2").arg(shortName, longName);
            const QRegularExpression entry(QStringLiteral("^%1( |$)")
                                               .arg(QRegularExpression::escape(head)),
                                           QRegularExpression::MultilineOption);
            QVERIFY2(entry.match(usage).hasMatch(), qPrintable(head));
        }
        // Whatever the text mentions as an option is one.
        static const QRegularExpression mention(QStringLiteral("(?<![\\w-])--?[A-Za-z][\\w-]*"));
        for (auto it = mention.globalMatch(usage); it.hasNext();) {
            const QString word = it.next().captured();
            QVERIFY2(known.contains(word), qPrintable(word));
        }
        // Every line fits a terminal of 80 columns.
        for (const QString &line : usage.split(u'\n'))
            QVERIFY2(line.size() < 80, qPrintable(line));
    }

    void helpAndVersionWinOverErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("help");
        QTest::addColumn<bool>("version");
        QTest::newRow("-V") << QStringList{"-V"} << false << true;
        QTest::newRow("--version, bad option")
            << QStringList{"--bogus", "--version"} << false << true;
        QTest::newRow("-h, missing value") << QStringList{"-h", "--proxy"} << true << false;
        QTest::newRow("-V after --") << QStringList{"http://h/", "--", "-V"} << false << false;
    }

    void helpAndVersionWinOverErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, help);
        QFETCH(bool, version);
        const CollectOptions o = parseCollectOptions(arguments);
        QCOMPARE(o.help, help);
        QCOMPARE(o.version, version);
    }

    void defaultTimeoutComesFromTheSettingsFile_data()
    {
        QTest::addColumn<QByteArray>("ini"); // empty: no file
        QTest::addColumn<int>("expected");
        QTest::newRow("no file") << QByteArray() << 30000;
        QTest::newRow("value") << QByteArray("[Kestrune]\r\nTimeout=45\r\n") << 45000;
        QTest::newRow("fraction") << QByteArray("[Kestrune]\r\nTimeout=0.5\r\n") << 0;
        QTest::newRow("not a number") << QByteArray("[Kestrune]\r\nTimeout=abc\r\n") << 30000;
        QTest::newRow("no key") << QByteArray("[Kestrune]\r\nProxyAddress=x\r\n") << 30000;
        QTest::newRow("other section") << QByteArray("[Other]\r\nTimeout=9\r\n") << 30000;
    }

    void defaultTimeoutComesFromTheSettingsFile()
    {
        QFETCH(QByteArray, ini);
        QFETCH(int, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Kestrune.ini"));
        if (!ini.isEmpty()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(ini);
        }
        QCOMPARE(defaultTimeoutMs(path), expected);
    }

    void byteAndRateTexts_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << qint64(0) << "0 B";
        QTest::newRow("1023") << qint64(1023) << "1023 B";
        QTest::newRow("1 KiB") << qint64(1024) << "1.0 KiB";
        QTest::newRow("8 KiB") << qint64(8192) << "8.0 KiB";
        QTest::newRow("12.3 KiB") << qint64(12595) << "12.3 KiB";
        QTest::newRow("just under 1 MiB") << qint64(1048575) << "1.00 MiB";
        QTest::newRow("1023 KiB") << qint64(1023) * 1024 << "1023 KiB";
        QTest::newRow("256 MiB") << qint64(256) * 1024 * 1024 << "256 MiB";
        QTest::newRow("2.5 GiB") << qint64(5) * 512 * 1024 * 1024 << "2.50 GiB";
        QTest::newRow("beyond 32 bits") << qint64(5) * 1024 * 1024 * 1024 * 1024 << "5.00 TiB";
    }

    void byteAndRateTexts()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(formatBytes(bytes), text);
        QCOMPARE(formatRate(bytes, 1000), text + QStringLiteral("/s"));
        QCOMPARE(formatRate(bytes, 0), QStringLiteral("-"));
    }

    void progressLineFitsTheTerminal()
    {
        const QString name = QStringLiteral("u_ex261201_アクセスログ_とても長い名前.log");
        QString line = progressLine(3, 12, name, 2048, 4096, 2000);
        QCOMPARE(line,
                 QStringLiteral("3/12 ") + name + QStringLiteral(" 2.0 KiB/4.0 KiB 1.0 KiB/s"));
        line = progressLine(3, 12, name, 2048, 0, 2000);
        QCOMPARE(line, QStringLiteral("3/12 ") + name + QStringLiteral(" 2.0 KiB 1.0 KiB/s"));
        line = progressLine(3, 12, name, 2048, 4096, 2000, 40);
        QCOMPARE(line.size(), 40);
        QVERIFY(line.startsWith(QStringLiteral("3/12 u_ex")));
        QVERIFY(line.endsWith(QStringLiteral("... 2.0 KiB/4.0 KiB 1.0 KiB/s")));
        // Too narrow for the name: the line is cut, never longer than asked.
        QVERIFY(progressLine(100, 1000, name, qint64(3) << 30, qint64(4) << 30, 1, 20).size()
                <= 20);
    }

    // What a name from the page looks like on the terminal: every control
    // character written out, the rest as it is.
    void controlCharactersAreShownEscaped_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("none") << QStringLiteral("u_ex261201_ログ.log")
                              << QStringLiteral("u_ex261201_ログ.log");
        QTest::newRow("CR LF TAB") << "a\r\nb\tc"
                                   << "a\\r\\nb\\tc";
        QTest::newRow("escape sequence") << "\x1b[2J\x1b]0;x\x07"
                                         << "\\x1b[2J\\x1b]0;x\\x07";
        QTest::newRow("NUL, US") << QString(QChar(0)) + QChar(0x1f) << "\\x00\\x1f";
        QTest::newRow("DEL") << "a\x7f"
                             << "a\\x7f";
        QTest::newRow("C1 from U+0080 to U+009F")
            << QString(QChar(0x80)) + QChar(0x9b) + QChar(0x9f) << "\\u0080\\u009b\\u009f";
        QTest::newRow("next to C1") << QString(QChar(0x7e)) + QChar(0xa0) + QChar(0xff)
                                    << QString(QChar(0x7e)) + QChar(0xa0) + QChar(0xff);
        QTest::newRow("backslash stays") << "C:\\logs\\x1b"
                                         << "C:\\logs\\x1b";
    }

    void controlCharactersAreShownEscaped()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(EscapeControlCharacters(text), shown);
        // The progress line shows the name so, and fits its width with the
        // escapes counted.
        const QString line = progressLine(1, 2, text, 0, 0, 0);
        QCOMPARE(line, QStringLiteral("1/2 ") + shown + QStringLiteral(" 0 B -"));
        const QString narrow = progressLine(1, 2, text + QString(40, QLatin1Char('\n')), 0, 0, 0,
                                            30);
        QCOMPARE(narrow.size(), 30);
        QCOMPARE(EscapeControlCharacters(narrow), narrow);
    }

    void summaryCountsEveryOutcome()
    {
        CollectTotals t;
        t.downloaded = 3;
        t.unchanged = 7;
        t.failed = 1;
        t.bytes = qint64(5) << 30;
        QCOMPARE(
            summaryLine(t, 12345),
            QStringLiteral(
                "kestrune-collect: 3 downloaded, 7 unchanged, 1 failed, 5368709120 bytes in 12.3 s"));
    }
};

QTEST_GUILESS_MAIN(TestCollectCli)
#include "tst_collectcli.moc"
