#include "gui/layout/QtTexts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace kestrune::uifont {

QString QtTranslationsFolder()
{
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath);
}

bool UseJapaneseQtTexts()
{
    static QTranslator *installed = nullptr;
    if (installed != nullptr)
        return true;
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(kQtCatalogue, QtTranslationsFolder())
        || !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    installed = translator;
    return true;
}

} // namespace kestrune::uifont
