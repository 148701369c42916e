#pragma once
// The texts Qt draws itself (the folder chooser, standard buttons, the
// context menu of a text box) in Japanese, whatever the desktop's language,
// as the program's own texts are.

#include <QString>

namespace kestrune::uifont {

// The folder of Qt's translations and the catalogue used from it.
QString QtTranslationsFolder();
inline const QString kQtCatalogue = QStringLiteral("qtbase_ja");

// Installs Qt's Japanese translation in the running application.  Once per
// process; later calls only report.  False when the catalogue is not
// installed: Qt's texts then stay in English.
bool UseJapaneseQtTexts();

} // namespace kestrune::uifont
