#include "cli/ListingTree.h"

#include "base/collection/RowJob.h"
#include "base/system/SystemError.h"
#include "base/transfer/Credentials.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <deque>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrune::cli {

namespace {

QString cleanFolderPath(const QUrl &url)
{
    QString path = QDir::cleanPath(url.path(QUrl::FullyDecoded));
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

} // namespace

QString folderKey(const QUrl &url)
{
    return transfer::OriginKey(url) + cleanFolderPath(url);
}

bool isBelowFolderOf(const QUrl &link, const QUrl &page)
{
    if (transfer::OriginKey(link) != transfer::OriginKey(page)
        || !link.path().endsWith(QLatin1Char('/')))
        return false;
    const QString pagePath = page.path(QUrl::FullyDecoded);
    QString folder = QDir::cleanPath(pagePath.left(pagePath.lastIndexOf(QLatin1Char('/')) + 1));
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    const QString path = cleanFolderPath(link);
    return path.size() > folder.size() && path.startsWith(folder);
}

QString subFolderName(const QUrl &link)
{
    return link.path(QUrl::FullyDecoded).section(QLatin1Char('/'), -2, -2);
}

QString makeSubFolder(const QString &root, const QString &sub)
{
    // Nothing is made for a path with an unsafe name anywhere in it.
    const QStringList names = sub.split(QLatin1Char('/'));
    for (const QString &name : names) {
        if (name.isEmpty() || RowJob::isUnsafeFileName(name))
            return QStringLiteral("unsafe folder name \"%1\"").arg(name);
    }
#ifdef Q_OS_WIN
    QString path = root;
    for (const QString &name : names) {
        path += QDir::separator() + name;
        const QFileInfo info(path);
        if (info.isSymLink() || info.isJunction())
            return QStringLiteral("\"%1\" is a link, not a folder").arg(path);
        if (!info.exists() && !QDir().mkdir(path))
            return QStringLiteral("cannot make the folder \"%1\"").arg(path);
        if (!QFileInfo(path).isDir())
            return QStringLiteral("\"%1\" is not a folder").arg(path);
    }
    return QString();
#else
    int parent = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        return QStringLiteral("cannot open the folder \"%1\": %2")
            .arg(root, SystemErrorText(errno));
    QString path = root;
    QString why;
    for (const QString &name : names) {
        path += QLatin1Char('/') + name;
        const QByteArray encoded = QFile::encodeName(name);
        if (::mkdirat(parent, encoded.constData(), 0777) != 0 && errno != EEXIST) {
            why = QStringLiteral("cannot make the folder \"%1\": %2")
                      .arg(path, SystemErrorText(errno));
            break;
        }
        // An existing link is never entered, whatever it points at.
        const int child = ::openat(parent, encoded.constData(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) {
            why = errno == ELOOP     ? QStringLiteral("\"%1\" is a link, not a folder").arg(path)
                  : errno == ENOTDIR ? QStringLiteral("\"%1\" is not a folder").arg(path)
                                     : QStringLiteral("cannot open the folder \"%1\": %2")
                                           .arg(path, SystemErrorText(errno));
            break;
        }
        ::close(parent);
        parent = child;
    }
    ::close(parent);
    return why;
#endif
}

TreeWalk walkListingTree(QList<ListingRow> &rows, const QUrl &pageUrl, const QString &root,
                         int depth, const TreeHooks &hooks)
{
    TreeWalk walk;
    QSet<QString> walked{folderKey(pageUrl)};
    struct Folder {
        QString url;
        QString subFolder;
        int level;
    };
    std::deque<Folder> queue;

    // Takes the folders of one page's rows that are to be walked out of
    // them, into the queue; the others stay for the operator to read about.
    const auto takeFolders = [&](QList<ListingRow> &pageRows, const QUrl &page,
                                 const QString &subFolder, int level) {
        pageRows.removeIf([&](const ListingRow &row) {
            if (row.kind != ListingRow::Kind::Folder)
                return false;
            const QUrl link(row.url);
            const QString key = folderKey(link);
            if (walked.contains(key))
                return true; // walked once
            if (level >= depth || !isBelowFolderOf(link, page) || !isBelowFolderOf(link, pageUrl))
                return false;
            const QString name = subFolderName(link);
            if (name.isEmpty() || RowJob::isUnsafeFileName(name)) {
                ++walk.failedFolders;
                hooks.report(QStringLiteral("not collected, unsafe folder name: \"%1\" (%2)")
                                 .arg(name, row.url));
                return true;
            }
            walked.insert(key);
            queue.push_back({row.url,
                             subFolder.isEmpty() ? name : subFolder + QLatin1Char('/') + name,
                             level + 1});
            return true;
        });
    };
    takeFolders(rows, pageUrl, QString(), 0);

    while (!queue.empty()) {
        const Folder folder = queue.front();
        queue.pop_front();
        QUrl finalUrl;
        ListingResult result = hooks.load(folder.url, &finalUrl);
        if (result.status == ListingStatus::Abandoned) {
            walk.interrupted = true;
            return walk;
        }
        if (const QString why = hooks.pageFailure(result, folder.url); !why.isEmpty()) {
            ++walk.failedFolders;
            hooks.report(why);
            continue;
        }
        // A folder that sends the walk to one already walked (a redirect) is
        // not collected again.
        if (finalUrl.isValid() && !finalUrl.isEmpty()) {
            const QString key = folderKey(finalUrl);
            if (key != folderKey(QUrl(folder.url)) && walked.contains(key))
                continue;
            walked.insert(key);
        } else {
            finalUrl = QUrl(folder.url);
        }
        // A folder that cannot be made (a link, a file of that name) fails
        // its rows one by one when they are stored.
        makeSubFolder(root, folder.subFolder);
        QList<ListingRow> pageRows = std::move(result.rows);
        pageRows.removeIf(
            [](const ListingRow &row) { return row.kind == ListingRow::Kind::QueryOnly; });
        takeFolders(pageRows, finalUrl, folder.subFolder, folder.level);
        for (ListingRow &row : pageRows) {
            if (row.kind == ListingRow::Kind::File)
                row.subFolder = folder.subFolder;
        }
        rows.append(std::move(pageRows));
    }
    return walk;
}

} // namespace kestrune::cli
