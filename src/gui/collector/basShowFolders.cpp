#include "gui/collector/basShowFolders.h"

#include "gui/seam/UiSeam.h"

#include <QDir>

namespace kestrune::basShowFolders {

QString NormalizeChosenFolder(const QString &path)
{
    QString clean = QDir::cleanPath(QDir::fromNativeSeparators(path));
    if (QDir(clean).isRoot() && !clean.endsWith(QLatin1Char('/')))
        clean += QLatin1Char('/');
    return QDir::toNativeSeparators(clean);
}

QString BrowseForFolder(QWidget *owner, const QString &strTitle, const QString &strStartFolder)
{
    const QString chosen = kestrune::ui().chooseDirectory(owner, strTitle, strStartFolder);
    if (chosen.isNull())
        return strStartFolder;
    return NormalizeChosenFolder(chosen);
}

} // namespace kestrune::basShowFolders
