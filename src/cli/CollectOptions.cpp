#include "cli/CollectOptions.h"

#include "base/settings/AppInfo.h"
#include "base/settings/basKestrune.h"
#include "base/transfer/ProxySetting.h"

#include <QCommandLineParser>
#include <QUrl>

namespace kestrune::cli {

namespace {

constexpr qint32 kFallbackTimeoutMs = 30000;
constexpr int kMaxJobs = 32;

} // namespace

QString usageText()
{
    return QStringLiteral(
        "Usage: kestrune-collect [options] URL FOLDER\n"
        "Collects the log files listed on the IIS directory-listing page URL into\n"
        "FOLDER: every file whose local size differs from the size the server\n"
        "reports is fetched again; unchanged files are skipped.\n"
        "\n"
        "Options:\n"
        "  --proxy HOST[:PORT]  HTTP proxy for the file transfers (default: the\n"
        "                       system's proxy settings; port 80 when omitted);\n"
        "                       also a list of entries separated by \";\" or blanks,\n"
        "                       each HOST[:PORT] or SCHEME=HOST[:PORT]\n"
        "                       (\"http=a:8080 https=b:3128\"): the first entry for\n"
        "                       the request's scheme is used, the system's settings\n"
        "                       when none is\n"
        "  --timeout SECONDS    page-load time-out of the listing page (default:\n"
        "                       \"Timeout\" of Kestrune.ini beside the program, else 30)\n"
        "  --log PATH           run log to write (default: ./Kestrune.log)\n"
        "  --user USER          log in to the listing's server as USER (also for its\n"
        "                       files on that host; never sent from https to http);\n"
        "                       the password comes from KESTRUNE_PASSWORD, else it\n"
        "                       is asked for on the terminal\n"
        "  --netrc              take logins from ~/.netrc\n"
        "  --proxy-user USER    log in to the proxy as USER; the password comes from\n"
        "                       KESTRUNE_PROXY_PASSWORD, else from the terminal\n"
        "  --cacert FILE        trust the certificate authorities in the PEM FILE as\n"
        "                       well as the system's (an intranet's own CA)\n"
        "  --max-time SECONDS   end the whole run after SECONDS as an interrupt\n"
        "                       does (status 130, old copies intact)\n"
        "  --jobs N             work N files at once (default 4; 1: one after\n"
        "                       another, as the window does); the run log keeps\n"
        "                       the order of the list\n"
        "  --quiet              no progress and no summary on stderr\n"
        "  --help               show this text and exit\n"
        "  --version            show the version and exit\n"
        "\n"
        "Exit status: 0 every file collected or unchanged; 1 some file failed;\n"
        "2 nothing could be collected (usage error, listing page failed);\n"
        "130 interrupted.\n");
}

QString versionText()
{
    return QStringLiteral("kestrune-collect %1.%2.%3\n")
        .arg(versionMajor())
        .arg(versionMinor())
        .arg(versionRevision());
}

QString checkListingUrl(const QString &url)
{
    const QUrl u(url, QUrl::StrictMode);
    if (!u.isValid())
        return QStringLiteral("not a valid URL");
    const QString scheme = u.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return QStringLiteral("not an http:// or https:// address");
    if (u.host().isEmpty())
        return QStringLiteral("no host name");
    return QString();
}

qint32 defaultTimeoutMs(const QString &iniFile)
{
    const QString text = basKestrune::ReadIniValue(basKestrune::kSection, QStringLiteral("Timeout"),
                                                   iniFile);
    if (text.isEmpty())
        return kFallbackTimeoutMs;
    const basKestrune::TimeoutConversion c = basKestrune::ConvertTimeout(text);
    return c.milliseconds ? *c.milliseconds : kFallbackTimeoutMs;
}

CollectOptions parseCollectOptions(const QStringList &arguments)
{
    CollectOptions o;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption quiet(QStringList{QStringLiteral("q"), QStringLiteral("quiet")});
    const QCommandLineOption netrc(QStringLiteral("netrc"));
    const auto valued = [](const char *name) {
        return QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value"));
    };
    const QCommandLineOption proxy = valued("proxy");
    const QCommandLineOption timeout = valued("timeout");
    const QCommandLineOption log = valued("log");
    const QCommandLineOption user = valued("user");
    const QCommandLineOption proxyUser = valued("proxy-user");
    const QCommandLineOption caFile = valued("cacert");
    const QCommandLineOption maxTime = valued("max-time");
    const QCommandLineOption jobs = valued("jobs");
    parser.addOptions(
        {help, version, quiet, netrc, proxy, timeout, log, user, proxyUser, caFile, maxTime, jobs});

    const bool parsed = parser.parse(QStringList{QStringLiteral("kestrune-collect")} + arguments);
    // Help and version win, even over a command line that does not parse.
    const qsizetype end = arguments.indexOf(QStringLiteral("--"));
    const QStringList options = end < 0 ? arguments : arguments.mid(0, end);
    o.help = parser.isSet(help) || options.contains(QStringLiteral("--help"))
             || options.contains(QStringLiteral("-h"));
    o.version = parser.isSet(version) || options.contains(QStringLiteral("--version"));
    if (!parsed) {
        o.error = parser.errorText();
        return o;
    }

    QString firstError;
    const auto fail = [&](const QString &message) {
        if (firstError.isEmpty())
            firstError = message;
    };
    o.quiet = parser.isSet(quiet);
    o.netrc = parser.isSet(netrc);
    if (parser.isSet(proxy)) {
        const QString value = parser.value(proxy);
        // A proxy the transfers could not use would fail every file;
        // say so before anything starts.
        if (value.trimmed().isEmpty())
            fail(QStringLiteral("option --proxy needs HOST[:PORT]"));
        else if (!transfer::ParseProxySetting(value))
            fail(QStringLiteral(
                     "option --proxy: \"%1\" is not HOST[:PORT] or a list of [SCHEME=]HOST[:PORT]")
                     .arg(value));
        o.proxy = value.trimmed();
    }
    const auto seconds = [&](const QCommandLineOption &option,
                             const char *name) -> std::optional<qint32> {
        const QString value = parser.value(option);
        const basKestrune::TimeoutConversion c = basKestrune::ConvertTimeout(value);
        if (c.milliseconds && *c.milliseconds > 0)
            return c.milliseconds;
        fail(QStringLiteral("option --%1 needs a positive number of seconds, not \"%2\"")
                 .arg(QLatin1String(name), value));
        return std::nullopt;
    };
    if (parser.isSet(timeout))
        o.timeoutMs = seconds(timeout, "timeout");
    if (parser.isSet(maxTime)) {
        if (const std::optional<qint32> ms = seconds(maxTime, "max-time"))
            o.maxTimeMs = *ms;
    }
    if (parser.isSet(jobs)) {
        bool ok = false;
        const int n = parser.value(jobs).toInt(&ok);
        if (!ok || n < 1 || n > kMaxJobs)
            fail(QStringLiteral("option --jobs needs a number from 1 to %1, not \"%2\"")
                     .arg(kMaxJobs)
                     .arg(parser.value(jobs)));
        else
            o.jobs = n;
    }
    if (parser.isSet(log)) {
        o.logPath = parser.value(log);
        if (o.logPath.isEmpty())
            fail(QStringLiteral("option --log needs a file name"));
    }
    if (parser.isSet(user))
        o.user = parser.value(user);
    if (parser.isSet(proxyUser))
        o.proxyUser = parser.value(proxyUser);
    if (parser.isSet(caFile)) {
        o.caFile = parser.value(caFile);
        if (o.caFile.isEmpty())
            fail(QStringLiteral("option --cacert needs a file name"));
    }

    const QStringList operands = parser.positionalArguments();
    if (firstError.isEmpty()) {
        if (operands.size() < 2)
            fail(operands.isEmpty() ? QStringLiteral("URL and FOLDER are missing")
                                    : QStringLiteral("FOLDER is missing"));
        else if (operands.size() > 2)
            fail(QStringLiteral("unexpected argument \"%1\"").arg(operands.at(2)));
    }
    if (operands.size() >= 1)
        o.url = operands.at(0).trimmed();
    if (operands.size() >= 2)
        o.folder = operands.at(1);
    if (firstError.isEmpty()) {
        const QString why = checkListingUrl(o.url);
        if (!why.isEmpty())
            fail(QStringLiteral("bad URL \"%1\": %2").arg(o.url, why));
    }
    o.error = firstError;
    return o;
}

} // namespace kestrune::cli
