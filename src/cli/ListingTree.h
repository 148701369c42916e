#pragma once
// The walk of a listing's sub-folders (--recursive): their pages are loaded
// one after another and their files become rows of the one run, each with
// the sub-folder of the save folder it is stored in.

#include "base/listing/ListingLoader.h"
#include "base/listing/ListingRow.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <functional>

namespace kestrune::cli {

// A folder's address as the walk compares them: scheme and host in lower
// case, the default port left out, the path decoded without dot segments
// or doubled '/', no query and no fragment.
QString folderKey(const QUrl &url);

// Whether link is a folder strictly below the folder of page, on the same
// scheme, host and port.
bool isBelowFolderOf(const QUrl &link, const QUrl &page);

// The local name of a sub-folder link: the last name of its path, decoded.
QString subFolderName(const QUrl &link);

// Makes the folder sub ('/' between its names) under root, name by name,
// each made in the one above it and none of them followed when it is a
// link.  Returns why it cannot be used, or the empty text.
QString makeSubFolder(const QString &root, const QString &sub);

struct TreeHooks {
    // Loads a page; the result and the address it ended at (after
    // redirects).  Abandoned: the run is ending.
    std::function<ListingResult(const QString &url, QUrl *finalUrl)> load;
    // Why a loaded page gives no rows (it failed, or it is no listing);
    // empty when it gives them.
    std::function<QString(const ListingResult &result, const QString &url)> pageFailure;
    // One line for the operator (stderr).
    std::function<void(const QString &)> report;
};

struct TreeWalk {
    int failedFolders = 0; // pages that failed, unsafe names
    bool interrupted = false;
};

// Walks the sub-folders of the listing page at pageUrl (the address it ended
// at) down to depth levels.  rows holds that page's rows; the folder rows
// walked (or refused) leave it and the sub-folders' rows are added, files
// with their sub-folder and the folders not walked as they are.  root is
// the save folder.
TreeWalk walkListingTree(QList<ListingRow> &rows, const QUrl &pageUrl, const QString &root,
                         int depth, const TreeHooks &hooks);

} // namespace kestrune::cli
