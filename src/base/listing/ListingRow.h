#pragma once
#include <QString>

namespace kestrune {

// One row of the log-file list: the name under which the file is stored and
// the absolute address it is fetched from.
struct ListingRow {
    QString fileName;
    QString url;
};

} // namespace kestrune
