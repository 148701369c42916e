#include "cli/CollectOptions.h"

#include "base/settings/AppInfo.h"
#include "base/settings/basKestrune.h"
#include "base/transfer/Credentials.h"
#include "base/transfer/ProxySetting.h"
#include "cli/NameFilter.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <QUrl>

#include <cstring>

namespace kestrune::cli {

namespace {

constexpr qint32 kFallbackTimeoutMs = 30000;
constexpr int kMaxJobs = 32;
constexpr int kMaxDepth = 100;

} // namespace

QString usageText()
{
    return QStringLiteral(
        "Usage: kestrune-collect [options] URL FOLDER\n"
        "Collects the log files listed on the IIS directory-listing page URL into\n"
        "FOLDER: every file whose local size differs from the size the server\n"
        "reports is fetched again; unchanged files are skipped.  A URL without a\n"
        "scheme (\"web01/logs/\") is an http:// address.\n"
        "\n"
        "Options:\n"
        "      --proxy HOST[:PORT]  HTTP proxy for the file transfers (default: the\n"
        "                           system's proxy settings; port 80 when omitted);\n"
        "                           also a list of entries separated by \";\" or\n"
        "                           blanks, each HOST[:PORT] or SCHEME=HOST[:PORT]\n"
        "                           (\"http=a:8080 https=b:3128\"): the first entry\n"
        "                           for the request's scheme is used, the system's\n"
        "                           settings when none is\n"
        "      --timeout SECONDS    page-load time-out of the listing page (default:\n"
        "                           \"Timeout\" of the Kestrune.ini the window\n"
        "                           reads, else 30)\n"
        "      --log PATH           run log to write (default: ./Kestrune.log); a\n"
        "                           file that is not a run log is never written\n"
        "      --log-append         add this run to the run log, after the earlier\n"
        "                           runs and with a header of its own, instead of\n"
        "                           replacing it\n"
        "      --user USER[:PASSWORD]\n"
        "                           log in to the listing's server as USER (also for\n"
        "                           its files at the same scheme, host and port, and\n"
        "                           nowhere else); without :PASSWORD the password\n"
        "                           comes from KESTRUNE_PASSWORD, else it is asked\n"
        "                           for on the terminal; DOMAIN\\USER for a Windows\n"
        "                           (NTLM) login\n"
        "      --netrc              take logins from ~/.netrc\n"
        "      --negotiate          log in to the listing's server (as --user would)\n"
        "                           with the Kerberos ticket of the user running\n"
        "                           the command (kinit gets one): Negotiate, no\n"
        "                           password; not with --user\n"
        "      --proxy-user USER[:PASSWORD]\n"
        "                           log in as USER to the proxies named by --proxy\n"
        "                           (without --proxy: to the proxy the system's\n"
        "                           settings name for URL), and to no other proxy;\n"
        "                           without :PASSWORD the password comes from\n"
        "                           KESTRUNE_PROXY_PASSWORD, else from the terminal\n"
        "      --cacert FILE        trust the certificate authorities in the PEM FILE\n"
        "                           as well as the system's (an intranet's own CA)\n"
        "      --max-time SECONDS   end the whole run after SECONDS as an interrupt\n"
        "                           does (status 130, old copies intact)\n"
        "  -j, --jobs N             work N files at once (1 to 32, default 8; 1: one\n"
        "                           after another, as the window does), all on one\n"
        "                           thread; the run log keeps the order of the list\n"
        "  -r, --recursive          collect the sub-folders of the listing as well,\n"
        "                           each into a folder of FOLDER of its name (made\n"
        "                           when missing; a link or a file of that name is\n"
        "                           never written through); only links below the\n"
        "                           listing's folder on the same scheme, host and\n"
        "                           port are followed, each folder once\n"
        "      --depth N            with --recursive, go at most N folders deep\n"
        "                           (0 to 100, default 5; 0: the listing page only)\n"
        "      --include GLOB       collect only files whose name matches GLOB (\"*\",\n"
        "                           \"?\", \"[a-z]\", \"[!0-9]\"; case counts); repeat it\n"
        "                           for more patterns: a name that matches one of\n"
        "                           them is taken\n"
        "      --exclude GLOB       leave out files whose name matches GLOB, even when\n"
        "                           an --include matches it; repeatable.  Files left\n"
        "                           out are not in the run log or the summary\n"
        "      --list               collect nothing: print one line per file on\n"
        "                           stdout, PATH<TAB>URL<TAB>WHAT, WHAT being what a\n"
        "                           run would do after one size request: new,\n"
        "                           unchanged, grown, differs, or failed (the reason\n"
        "                           on stderr); writes no run log and nothing into\n"
        "                           FOLDER\n"
        "  -q, --quiet              no progress and no summary on stderr\n"
        "  -h, --help               show this text and exit\n"
        "  -V, --version            show the version and exit\n"
        "\n"
        "FOLDER must exist and take new files.  One collection at a time works in\n"
        "a folder: another one into the same FOLDER, from the command line or the\n"
        "window, ends at once.  A URL whose page is not sent as HTML is no listing.\n"
        "Every run ends with a summary on stderr (\"3 downloaded, 7 unchanged,\n"
        "0 failed, 12345 bytes in 1.2 s\"), an interrupted one too, with the totals\n"
        "so far; an interrupt discards the file in transfer and keeps its old copy.\n"
        "\n"
        "Exit status:\n"
        "  0    every file collected or unchanged\n"
        "  1    some file failed (or a sub-folder, with --recursive), or the run\n"
        "       log could not be written\n"
        "  2    nothing collected: usage error; FOLDER missing, not writable or in\n"
        "       use by another collection; listing page failed or not HTML\n"
        "  130  interrupted (SIGINT, Ctrl+C) or --max-time reached\n"
        "  143  terminated (SIGTERM)\n");
}

QString versionText()
{
    return QStringLiteral("kestrune-collect %1.%2.%3\n")
        .arg(versionMajor())
        .arg(versionMinor())
        .arg(versionRevision());
}

QString withDefaultScheme(const QString &url)
{
    // "name:" followed by a digit is a host and its port, not a scheme.
    static const QRegularExpression schemePattern(
        QStringLiteral("^[A-Za-z][A-Za-z0-9+.\\-]*:(?!\\p{Nd})"));
    if (url.isEmpty() || schemePattern.match(url).hasMatch())
        return url;
    return QStringLiteral("http://") + url;
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

namespace {

// Every option of the command line, by what it sets.
struct OptionSet {
    QCommandLineOption help{QStringList{QStringLiteral("h"), QStringLiteral("help")}};
    QCommandLineOption version{QStringList{QStringLiteral("V"), QStringLiteral("version")}};
    QCommandLineOption quiet{QStringList{QStringLiteral("q"), QStringLiteral("quiet")}};
    QCommandLineOption netrc{QStringLiteral("netrc")};
    QCommandLineOption negotiate{QStringLiteral("negotiate")};
    QCommandLineOption logAppend{QStringLiteral("log-append")};
    QCommandLineOption proxy = valued({QStringLiteral("proxy")});
    QCommandLineOption timeout = valued({QStringLiteral("timeout")});
    QCommandLineOption log = valued({QStringLiteral("log")});
    QCommandLineOption user = valued({QStringLiteral("user")});
    QCommandLineOption proxyUser = valued({QStringLiteral("proxy-user")});
    QCommandLineOption caFile = valued({QStringLiteral("cacert")});
    QCommandLineOption maxTime = valued({QStringLiteral("max-time")});
    QCommandLineOption jobs = valued({QStringLiteral("j"), QStringLiteral("jobs")});
    QCommandLineOption recursive{QStringList{QStringLiteral("r"), QStringLiteral("recursive")}};
    QCommandLineOption depth = valued({QStringLiteral("depth")});
    QCommandLineOption include = valued({QStringLiteral("include")});
    QCommandLineOption exclude = valued({QStringLiteral("exclude")});
    QCommandLineOption list{QStringLiteral("list")};

    QList<QCommandLineOption> all() const
    {
        return {help,      version, quiet,   netrc,     negotiate, logAppend, proxy,
                timeout,   log,     user,    proxyUser, caFile,    maxTime,   jobs,
                recursive, depth,   include, exclude,   list};
    }

private:
    static QCommandLineOption valued(const QStringList &names)
    {
        return QCommandLineOption(names, QString(), QStringLiteral("value"));
    }
};

} // namespace

QList<QCommandLineOption> collectOptionList()
{
    return OptionSet().all();
}

CollectOptions parseCollectOptions(const QStringList &arguments)
{
    CollectOptions o;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const OptionSet set;
    parser.addOptions(set.all());

    const bool parsed = parser.parse(QStringList{QStringLiteral("kestrune-collect")} + arguments);
    // Help and version win, even over a command line that does not parse.
    const qsizetype end = arguments.indexOf(QStringLiteral("--"));
    const QStringList options = end < 0 ? arguments : arguments.mid(0, end);
    o.help = parser.isSet(set.help) || options.contains(QStringLiteral("--help"))
             || options.contains(QStringLiteral("-h"));
    o.version = parser.isSet(set.version) || options.contains(QStringLiteral("--version"))
                || options.contains(QStringLiteral("-V"));
    if (!parsed) {
        o.error = parser.errorText();
        return o;
    }

    QString firstError;
    const auto fail = [&](const QString &message) {
        if (firstError.isEmpty())
            firstError = message;
    };
    o.quiet = parser.isSet(set.quiet);
    o.netrc = parser.isSet(set.netrc);
    o.negotiate = parser.isSet(set.negotiate);
    o.logAppend = parser.isSet(set.logAppend);
    if (parser.isSet(set.proxy)) {
        const QString value = parser.value(set.proxy);
        // A proxy the transfers could not use would fail every file;
        // say so before anything starts.
        if (value.trimmed().isEmpty())
            fail(QStringLiteral("option --proxy needs HOST[:PORT]"));
        else if (!transfer::ParseProxySetting(value))
            fail(QStringLiteral(
                     "option --proxy: \"%1\" is not HOST[:PORT] or a list of [SCHEME=]HOST[:PORT]")
                     .arg(transfer::HideAddressPassword(value)));
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
    if (parser.isSet(set.timeout))
        o.timeoutMs = seconds(set.timeout, "timeout");
    if (parser.isSet(set.maxTime)) {
        if (const std::optional<qint32> ms = seconds(set.maxTime, "max-time"))
            o.maxTimeMs = *ms;
    }
    // A whole number from least to most, into target; else a usage error.
    const auto count = [&](const QCommandLineOption &option, const char *name, int least, int most,
                           int &target) {
        if (!parser.isSet(option))
            return;
        bool ok = false;
        const int n = parser.value(option).toInt(&ok);
        if (!ok || n < least || n > most)
            fail(QStringLiteral("option --%1 needs a number from %2 to %3, not \"%4\"")
                     .arg(QLatin1String(name))
                     .arg(least)
                     .arg(most)
                     .arg(parser.value(option)));
        else
            target = n;
    };
    count(set.jobs, "jobs", 1, kMaxJobs, o.jobs);
    o.recursive = parser.isSet(set.recursive);
    count(set.depth, "depth", 0, kMaxDepth, o.depth);
    if (parser.isSet(set.log)) {
        o.logPath = parser.value(set.log);
        if (o.logPath.isEmpty())
            fail(QStringLiteral("option --log needs a file name"));
    }
    // "USER:PASSWORD" as curl takes it: the first ":" ends the user name.
    const auto login = [&](const QCommandLineOption &option, std::optional<QString> &user,
                           std::optional<QString> &password) {
        if (!parser.isSet(option))
            return;
        const QString value = parser.value(option);
        const qsizetype colon = value.indexOf(QLatin1Char(':'));
        user = value.left(colon);
        if (colon >= 0)
            password = value.mid(colon + 1);
    };
    login(set.user, o.user, o.password);
    login(set.proxyUser, o.proxyUser, o.proxyPassword);
    if (parser.isSet(set.caFile)) {
        o.caFile = parser.value(set.caFile);
        if (o.caFile.isEmpty())
            fail(QStringLiteral("option --cacert needs a file name"));
    }

    // A pattern that cannot match as meant would quietly leave files out.
    const auto patterns = [&](const QCommandLineOption &option, const char *name) {
        const QStringList globs = parser.values(option);
        for (const QString &glob : globs) {
            QString why;
            if (!globExpression(glob, &why).isValid())
                fail(QStringLiteral("option --%1: bad pattern \"%2\": %3")
                         .arg(QLatin1String(name), glob, why));
        }
        return globs;
    };
    o.include = patterns(set.include, "include");
    o.exclude = patterns(set.exclude, "exclude");
    o.list = parser.isSet(set.list);

    const QStringList operands = parser.positionalArguments();
    if (firstError.isEmpty()) {
        if (operands.size() < 2)
            fail(operands.isEmpty() ? QStringLiteral("URL and FOLDER are missing")
                                    : QStringLiteral("FOLDER is missing"));
        else if (operands.size() > 2)
            fail(QStringLiteral("unexpected argument \"%1\"")
                     .arg(transfer::HideAddressPassword(operands.at(2))));
    }
    if (operands.size() >= 1)
        o.url = withDefaultScheme(operands.at(0).trimmed());
    if (operands.size() >= 2)
        o.folder = operands.at(1);
    if (firstError.isEmpty()) {
        const QString why = checkListingUrl(o.url);
        if (!why.isEmpty())
            fail(QStringLiteral("bad URL \"%1\": %2")
                     .arg(transfer::HideAddressPassword(o.url), why));
    }
    // The ticket is the login: a user and a password besides it would go
    // unused (after a prompt for the password).
    if (o.negotiate && (o.user || !QUrl(o.url).password().isEmpty()))
        fail(
            QStringLiteral("option --negotiate logs in with the Kerberos ticket: "
                           "give no --user and no password in URL"));
    o.error = firstError;
    return o;
}

void blankPasswordArguments(int argc, char **argv)
{
    const auto blank = [](char *from, qsizetype length) { std::memset(from, '*', size_t(length)); };
    const auto blankLogin = [&](char *value) {
        if (char *colon = std::strchr(value, ':'))
            blank(colon + 1, qsizetype(std::strlen(colon + 1)));
    };
    const auto blankAddress = [&](char *argument) {
        if (const std::optional<transfer::PasswordSpan> span = transfer::AddressPasswordSpan(
                QByteArrayView(argument)))
            blank(argument + span->from, span->length);
    };
    const auto is = [](const char *argument, const char *name) {
        return std::strcmp(argument, name) == 0;
    };
    const auto startsWith = [](const char *argument, const char *prefix) {
        return std::strncmp(argument, prefix, std::strlen(prefix)) == 0;
    };
    // Options whose value is the next argument when not joined by "=".
    static const char *const valued[] = {"--proxy",    "--timeout", "--log",       "--cacert",
                                         "--max-time", "--jobs",    "--user",      "--proxy-user",
                                         "--depth",    "--include", "--exclude"};
    bool operandsOnly = false;
    for (int i = 1; i < argc; ++i) {
        char *argument = argv[i];
        if (operandsOnly || argument[0] != '-' || is(argument, "-")) {
            blankAddress(argument);
            continue;
        }
        if (is(argument, "--")) {
            operandsOnly = true;
            continue;
        }
        if (startsWith(argument, "--user=") || startsWith(argument, "--proxy-user=")) {
            blankLogin(std::strchr(argument, '=') + 1);
            continue;
        }
        if (startsWith(argument, "--")) {
            // The proxy text may be an address with a login of its own.
            if (startsWith(argument, "--proxy="))
                blankAddress(argument + std::strlen("--proxy="));
            for (const char *name : valued) {
                if (is(argument, name) && i + 1 < argc) {
                    ++i;
                    if (is(name, "--user") || is(name, "--proxy-user"))
                        blankLogin(argv[i]);
                    else if (is(name, "--proxy"))
                        blankAddress(argv[i]);
                    break;
                }
            }
            continue;
        }
        // Compacted short options ("-qj4", "-qj 4"): only -j takes a value,
        // and it takes the rest of the word, else the next argument.
        const char *j = std::strchr(argument, 'j');
        if (j && j[1] == '\0')
            ++i;
    }
}

} // namespace kestrune::cli
