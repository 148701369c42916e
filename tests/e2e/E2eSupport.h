#pragma once
// Shared pieces of the end-to-end tests: IIS-style listing pages, log-file
// contents, running kestrune-collect and reading run logs.

#include "LoopbackPort.h"
#include "base/settings/TextCodec.h"
#include "base/settings/basKestrune.h"
#include "base/transfer/Credentials.h"

#include "NginxFixture.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace e2e {

struct Entry {
    QString name; // the link text
    QString href;
    qint64 size = 0;
    bool folder = false;
};

// A directory-listing page the way IIS writes one: heading, a <pre> block
// with the parent link first and one "date time size link<br>" line per
// entry.  encoding names the page's bytes; a charset declaration for it goes
// into the head when declare is set.
inline QByteArray listingPage(const QString &path, const QString &parentText,
                              const QList<Entry> &entries, const QByteArray &encoding = "UTF-8",
                              bool declare = false)
{
    QString html = QStringLiteral("<html><head>");
    if (declare)
        html += QStringLiteral(
                    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=%1\">")
                    .arg(QString::fromLatin1(encoding));
    html +=
        QStringLiteral(
            "<title>127.0.0.1 - %1</title></head><body><H1>127.0.0.1 - %1</H1><hr>\r\n\r\n<pre>")
            .arg(path);
    if (!parentText.isEmpty())
        html += QStringLiteral("<A HREF=\"/\">%1</A><br><br>").arg(parentText);
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const Entry &e = entries.at(i);
        const QString size = e.folder ? QStringLiteral("&lt;dir&gt;") : QString::number(e.size);
        html += QStringLiteral("2026/12/01    10:%1 %2 <A HREF=\"%3\">%4</A><br>")
                    .arg(10 + int(i % 50))
                    .arg(size, 12)
                    .arg(e.href, e.name);
    }
    html += QStringLiteral("</pre><hr></body></html>\r\n");
    return encoding == "UTF-8" ? html.toUtf8() : kestrune::TextCodec(encoding).encode(html);
}

struct IisEntry {
    QString name;
    qint64 size = 0; // -1: a folder
};

// A folder's page as IIS's directory browsing writes it: links from the
// site's root, US dates, 12-hour times, "<dir>" in the size column, and
// "[To Parent Directory]" first below the site's root.
inline QByteArray iisPage(const QString &folder, const QList<IisEntry> &entries)
{
    QString html = QStringLiteral(
                       "<html><head><title>127.0.0.1 - %1</title></head><body>"
                       "<H1>127.0.0.1 - %1</H1><hr>\r\n\r\n<pre>")
                       .arg(folder);
    if (folder != QLatin1String("/")) {
        const QString up = folder.left(folder.lastIndexOf(QLatin1Char('/'), -2) + 1);
        html += QStringLiteral("<A HREF=\"%1\">[To Parent Directory]</A><br><br>").arg(up);
    }
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const IisEntry &e = entries.at(i);
        const bool isFolder = e.size < 0;
        const QString time = i % 2 ? QStringLiteral("11:59 PM") : QStringLiteral("9:00 AM");
        html += QStringLiteral("%1 %2 %3 <A HREF=\"%4%5%6\">%5</A><br>")
                    .arg(QStringLiteral("12/%1/2026").arg(1 + i), 10)
                    .arg(time, 8)
                    .arg(isFolder ? QStringLiteral("&lt;dir&gt;") : QString::number(e.size),
                         isFolder ? 18 : 12)
                    .arg(folder, e.name, isFolder ? QStringLiteral("/") : QString());
    }
    html += QStringLiteral("</pre><hr></body></html>\r\n");
    return html.toUtf8();
}

// size bytes of W3C-style log text, different for every seed, CR LF line ends.
inline QByteArray logBytes(int seed, qint64 size)
{
    QByteArray out;
    out.reserve(size + 128);
    out +=
        "#Software: Microsoft Internet Information Services\r\n#Fields: date time c-ip cs-method cs-uri-stem sc-status\r\n";
    quint32 x = 2463534242u + quint32(seed) * 2654435761u;
    while (out.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out += "2026-12-01 10:" + QByteArray::number(x % 60).rightJustified(2, '0') + ":00 10.0."
               + QByteArray::number((x >> 8) % 256) + "." + QByteArray::number((x >> 16) % 256)
               + " GET /page" + QByteArray::number(x % 997) + ".html "
               + QByteArray::number(200 + (x % 5)) + "\r\n";
    }
    out.truncate(size);
    return out;
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// The lines of a run log (written in the system code page, CR LF).
inline QStringList logLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = kestrune::TextCodec().decode(f.readAll()).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// The event lines of a run log without their time stamps.
inline QStringList logMessages(const QString &path)
{
    const QStringList lines = logLines(path);
    QStringList messages;
    for (qsizetype i = 4; i < lines.size(); ++i)
        messages.append(lines[i].mid(20));
    return messages;
}

// Files in folder other than the listed ones (temporary files left behind).
inline QStringList strayFiles(const QString &folder, const QStringList &expected)
{
    QStringList stray;
    for (const QString &name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (!expected.contains(name))
            stray.append(name);
    }
    return stray;
}

struct CollectResult {
    int exitCode = -1;
    bool crashed = false;
    QByteArray out;
    QByteArray err;
    QString errText() const { return QString::fromUtf8(err); }
    QStringList errLines() const { return errText().split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
};

inline QString collectProgram()
{
    return QStringLiteral(KESTRUNE_COLLECT_PATH);
}

// A process environment without proxy variables: the system's proxy
// settings must not send loopback traffic elsewhere.
inline QProcessEnvironment cleanEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

inline void prepare(QProcess &p, const QStringList &arguments, const QString &workingDir)
{
    p.setProgram(collectProgram());
    p.setArguments(arguments);
    p.setWorkingDirectory(workingDir);
    p.setProcessEnvironment(cleanEnvironment());
}

// Makes the prepared process run as nobody when the test runs as root,
// whom permissions do not stop.  False when that cannot be done (no
// setpriv): the caller skips.
inline bool runAsNobodyIfRoot(QProcess &p)
{
    if (::geteuid() != 0)
        return true;
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty())
        return false;
    p.setArguments(QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                               QStringLiteral("--clear-groups"), QStringLiteral("--"),
                               p.program()}
                   + p.arguments());
    p.setProgram(setpriv);
    return true;
}

inline CollectResult finish(QProcess &p, int timeoutMs)
{
    CollectResult r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
        r.crashed = true;
    }
    r.crashed = r.crashed || p.exitStatus() != QProcess::NormalExit;
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

inline bool startCollect(QProcess &p, const QStringList &arguments, const QString &workingDir)
{
    prepare(p, arguments, workingDir);
    p.start();
    return p.waitForStarted(30000);
}

inline CollectResult runCollect(const QStringList &arguments, const QString &workingDir,
                                int timeoutMs = 60000)
{
    QProcess p;
    return startCollect(p, arguments, workingDir) ? finish(p, timeoutMs) : CollectResult();
}

// The window's process as a fresh start leaves it, for a test that runs the
// window in the test process: a 30 s page time-out, no proxy setting, no
// proxy variables, no login held, and workingDir (where the run log goes)
// as the current folder until the scene ends.
class WindowScene {
public:
    explicit WindowScene(const QString &workingDir) : m_previous(QDir::currentPath())
    {
        kestrune::basKestrune::glngTimeout = 30000;
        kestrune::basKestrune::gstrProxy.clear();
        for (const char *name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
        kestrune::transfer::ForgetAllLogins();
        m_entered = QDir::setCurrent(workingDir);
    }
    ~WindowScene()
    {
        QDir::setCurrent(m_previous);
        kestrune::transfer::ForgetAllLogins();
    }
    WindowScene(const WindowScene &) = delete;
    WindowScene &operator=(const WindowScene &) = delete;

    bool entered() const { return m_entered; }

private:
    QString m_previous;
    bool m_entered = false;
};

// kestrune-collect in a session of its own (no terminal to ask a password
// on), with extra environment variables.
inline bool startInSession(QProcess &p, const QStringList &arguments, const QString &workingDir,
                           const QList<QPair<QString, QString>> &environment = {})
{
    prepare(p, arguments, workingDir);
    QProcessEnvironment env = p.processEnvironment();
    for (const auto &[name, value] : environment)
        env.insert(name, value);
    p.setProcessEnvironment(env);
    p.setChildProcessModifier([] { ::setsid(); });
    p.start();
    return p.waitForStarted(30000);
}

inline CollectResult collectInSession(const QStringList &arguments, const QString &workingDir,
                                      const QList<QPair<QString, QString>> &environment = {},
                                      int timeoutMs = 60000)
{
    QProcess p;
    return startInSession(p, arguments, workingDir, environment) ? finish(p, timeoutMs)
                                                                 : CollectResult();
}

// The sizes of the plain files a running process holds open for writing:
// its copies in transfer (also those without a name) and its run log.  How
// far a transfer has come, seen from outside while it runs.  Empty when the
// process has ended or /proc cannot tell.
inline QList<qint64> filesBeingWritten(qint64 pid)
{
    QList<qint64> sizes;
    const QByteArray fdDir = "/proc/" + QByteArray::number(pid) + "/fd";
    DIR *dir = ::opendir(fdDir.constData());
    if (!dir)
        return sizes;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray fd(entry->d_name);
        if (fd.startsWith('.'))
            continue;
        QFile info(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid).arg(QString::fromLatin1(fd)));
        if (!info.open(QIODevice::ReadOnly))
            continue;
        int flags = -1;
        for (const QByteArray &line : info.readAll().split('\n')) {
            if (line.startsWith("flags:"))
                flags = line.mid(6).trimmed().toInt(nullptr, 8);
        }
        struct stat st {};
        if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY
            || ::stat((fdDir + '/' + fd).constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        sizes.append(qint64(st.st_size));
    }
    ::closedir(dir);
    return sizes;
}

// How many files the process is writing that hold at least minimum bytes.
inline int filesWrittenPast(qint64 pid, qint64 minimum)
{
    int count = 0;
    for (qint64 size : filesBeingWritten(pid))
        count += size >= minimum ? 1 : 0;
    return count;
}

struct SiteFile {
    QString name;     // local and link text
    QString href;     // as written on the page
    QString servedAs; // path below nginx's root
    QByteArray bytes;
};

struct Site {
    QString pagePath; // "/utf8/"
    QList<SiteFile> files;
    QStringList rowUrls; // the absolute URLs the run works, in order
    QStringList names;
};

// Publishes files on nginx with an IIS-style page at prefix + "index.html"
// linking them (then the extra entries).
inline Site publish(NginxFixture &nginx, const QString &prefix, const QString &parentText,
                    const QList<SiteFile> &files, const QByteArray &encoding = "UTF-8",
                    bool declare = false, const QList<Entry> &extra = {})
{
    Site site;
    site.pagePath = QLatin1Char('/') + prefix;
    QList<Entry> entries;
    for (const SiteFile &f : files) {
        nginx.writeFile(f.servedAs, f.bytes);
        entries.append({f.name, f.href, f.bytes.size(), false});
        site.files.append(f);
        site.names.append(f.name);
        site.rowUrls.append(nginx.url(QLatin1Char('/') + f.servedAs));
    }
    entries += extra;
    nginx.writeFile(prefix + QStringLiteral("index.html"),
                    listingPage(site.pagePath, parentText, entries, encoding, declare));
    return site;
}

} // namespace e2e
