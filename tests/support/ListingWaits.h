#pragma once
// A listing load run to its end, for tests: the loader starts a load and
// returns; analyzeListing() waits for the signal that ends it.
//
//     ListingResult result;
//     QVERIFY(analyzeListing(loader, url, result));
//     QCOMPARE(result.status, ListingStatus::Listed);

#include "base/listing/ListingLoader.h"

#include <QSignalSpy>

namespace listingwaits {

// Long enough for any loopback page on a busy machine; a load that has not
// ended by then never will.
constexpr int kListingWaitMs = 60000;

// Loads url and waits for listed(); false when it did not come in time (or
// came more than once).
inline bool analyzeListing(kestrune::ListingLoader &loader, const QString &url,
                           kestrune::ListingResult &result, int timeoutMs = kListingWaitMs)
{
    QSignalSpy listed(&loader, &kestrune::ListingLoader::listed);
    loader.AnalyzeListing(url);
    // The end never comes inside the call.
    if (!listed.isEmpty())
        return false;
    if (!listed.wait(timeoutMs) || listed.size() != 1)
        return false;
    result = listed.first().first().value<kestrune::ListingResult>();
    return true;
}

} // namespace listingwaits
