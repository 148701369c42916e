#pragma once
// The save-folder chooser.

#include <QString>

class QWidget;

namespace kestrune::basShowFolders {

// Opens the directory chooser titled strTitle at strStartFolder (selected
// when it exists).  Returns the chosen folder in native separators — a root
// ends with its separator, any other folder does not — or strStartFolder
// unchanged when the operator cancels.
QString BrowseForFolder(QWidget *owner, const QString &strTitle, const QString &strStartFolder);

// The chosen path as the chooser reports it: native separators, a trailing
// separator only on a root.
QString NormalizeChosenFolder(const QString &path);

} // namespace kestrune::basShowFolders
