#include "cli/CollectOptions.h"

#include "app/AppInfo.h"
#include "app/basKestrune.h"
#include "transfer/ProxySetting.h"

#include <QUrl>

namespace kestrune::cli {

namespace {

constexpr qint32 kFallbackTimeoutMs = 30000;

// Options that take a value.
bool takesValue(const QString &name)
{
    return name == QLatin1String("--proxy") || name == QLatin1String("--timeout")
        || name == QLatin1String("--log");
}

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
        "                       system's proxy settings; port 80 when omitted)\n"
        "  --timeout SECONDS    page-load time-out of the listing page (default:\n"
        "                       \"Timeout\" of Kestrune.ini beside the program, else 30)\n"
        "  --log PATH           run log to write (default: ./Kestrune.log)\n"
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
    const QString text =
        basKestrune::ReadIniValue(basKestrune::kSection, QStringLiteral("Timeout"), iniFile);
    if (text.isEmpty())
        return kFallbackTimeoutMs;
    const basKestrune::TimeoutConversion c = basKestrune::ConvertTimeout(text);
    return c.milliseconds ? *c.milliseconds : kFallbackTimeoutMs;
}

CollectOptions parseCollectOptions(const QStringList &arguments)
{
    CollectOptions o;
    QStringList operands;
    QString firstError;
    const auto fail = [&](const QString &message) {
        if (firstError.isEmpty())
            firstError = message;
    };

    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (optionsEnded || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            operands.append(arg);
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        QString name = arg;
        QString value;
        bool hasValue = false;
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        if (arg.startsWith(QLatin1String("--")) && eq > 2) {
            name = arg.left(eq);
            value = arg.mid(eq + 1);
            hasValue = true;
        }
        if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
            o.help = true;
            continue;
        }
        if (name == QLatin1String("--version")) {
            o.version = true;
            continue;
        }
        if (name == QLatin1String("--quiet") || name == QLatin1String("-q")) {
            if (hasValue)
                fail(QStringLiteral("option %1 takes no value").arg(name));
            o.quiet = true;
            continue;
        }
        if (!takesValue(name)) {
            fail(QStringLiteral("unknown option %1").arg(name));
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= arguments.size()) {
                fail(QStringLiteral("option %1 needs a value").arg(name));
                continue;
            }
            value = arguments.at(++i);
        }
        if (name == QLatin1String("--proxy")) {
            // A proxy the transfers could not use would fail every file;
            // say so before anything starts.
            if (value.trimmed().isEmpty())
                fail(QStringLiteral("option --proxy needs HOST[:PORT]"));
            else if (!transfer::ParseProxySetting(value))
                fail(QStringLiteral("option --proxy: \"%1\" is not HOST[:PORT]").arg(value));
            o.proxy = value.trimmed();
        } else if (name == QLatin1String("--timeout")) {
            const basKestrune::TimeoutConversion c = basKestrune::ConvertTimeout(value);
            if (!c.milliseconds || *c.milliseconds <= 0)
                fail(QStringLiteral("option --timeout needs a positive number of seconds, not \"%1\"")
                         .arg(value));
            else
                o.timeoutMs = *c.milliseconds;
        } else if (name == QLatin1String("--log")) {
            if (value.isEmpty())
                fail(QStringLiteral("option --log needs a file name"));
            o.logPath = value;
        }
    }

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
