#pragma once
// The command line of kestrune-collect: what it is asked to do, or the one
// line that says why it cannot.

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace kestrune::cli {

struct CollectOptions {
    QString url;
    QString folder;
    QString proxy;                   // empty: the system's proxy settings
    std::optional<qint32> timeoutMs; // empty: the settings file, else 30 s
    QString logPath = QStringLiteral("Kestrune.log");
    bool logAppend = false; // add to the run log instead of replacing it
    bool quiet = false;
    bool help = false;
    bool version = false;
    // The login for the listing's server; empty: none.  The password is the
    // one given as "--user USER:PASSWORD", else it comes from the
    // environment or the terminal.
    std::optional<QString> user;
    std::optional<QString> password;
    // The login for the proxy, likewise.
    std::optional<QString> proxyUser;
    std::optional<QString> proxyPassword;
    bool netrc = false;              // logins from ~/.netrc
    bool negotiate = false;          // the user's Kerberos ticket as the login
    QString caFile;                  // a private CA to trust as well
    std::optional<qint64> maxTimeMs; // the whole run's limit
    int jobs = 8;                    // rows worked at once
    bool recursive = false;          // the listing's sub-folders too
    int depth = 5;                   // how many folder levels below the listing
    // Shell patterns for the files' names: only names that match one of the
    // includes (when there are any) and none of the excludes are collected.
    QStringList include;
    QStringList exclude;
    bool list = false;               // print what a run would do, collect nothing
    QString error;                   // non-empty: a usage error, one line
};

// Parses the arguments after the program name.  Options may come before,
// between or after the two operands; "--name value" and "--name=value" are
// both accepted and "--" ends the options.  --help and --version win over
// everything else, errors included.
CollectOptions parseCollectOptions(const QStringList &arguments);

// The options the command line takes, with all their names, as the parser
// knows them.  usageText() documents every one.
QList<QCommandLineOption> collectOptionList();

// The listing address as the window's address box reads it: one typed
// without a scheme ("web01/logs/", "web01:8080/logs/") is an http address.
// Any other text comes back as it is.
QString withDefaultScheme(const QString &url);

// Checks the listing address: an absolute http or https URL with a host.
// Returns the reason it is refused, or the empty text.
QString checkListingUrl(const QString &url);

// Overwrites in place, with "*", every password the command line argv
// carries: the part after the first ":" of a --user or --proxy-user value,
// and the password of an address.  Whoever lists the processes then sees
// none.  Called once the arguments have been parsed (and copied).
void blankPasswordArguments(int argc, char **argv);

QString usageText();
QString versionText();

// The page-load time-out in force when --timeout is not given: "Timeout" of
// the settings file iniFile when it holds a number of seconds the window
// would accept, else 30 s.
qint32 defaultTimeoutMs(const QString &iniFile);

} // namespace kestrune::cli
