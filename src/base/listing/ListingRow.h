#pragma once
#include <QString>

namespace kestrune {

// One row of the log-file list: the name under which the file is stored and
// the absolute address it is fetched from.
struct ListingRow {
    // What the link points at, as the listing shows it.
    enum class Kind {
        File,      // a file of the folder (or anything else that is not one of the two below)
        Folder,    // a sub-folder: its address ends in '/'
        QueryOnly, // the listing page itself with another query (a sort order)
    };

    QString fileName;
    QString url;
    Kind kind = Kind::File;
    // The folder under the save folder the file is stored in, as a relative
    // path with '/' between its names; empty: the save folder itself.
    QString subFolder;

    // The file's path under the save folder, as shown to the operator.
    QString shownPath() const
    {
        return subFolder.isEmpty() ? fileName : subFolder + QLatin1Char('/') + fileName;
    }
};

} // namespace kestrune
