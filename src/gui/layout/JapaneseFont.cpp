#include "gui/layout/JapaneseFont.h"

#include <QFontDatabase>
#include <QStringList>
#include <QWidget>

#ifdef KESTRUNE_HAVE_FONTCONFIG
#include <fontconfig/fontconfig.h>
#endif

namespace kestrune::uifont {

namespace {

bool coversJapanese(const QString &family)
{
    return !family.isEmpty()
           && QFontDatabase::writingSystems(family).contains(QFontDatabase::Japanese);
}

QString firstPresent(const QStringList &families)
{
    for (const QString &family : families) {
        if (coversJapanese(family))
            return family;
    }
    return QString();
}

#ifdef KESTRUNE_HAVE_FONTCONFIG
// What fontconfig gives Japanese sans-serif text, as the desktop's own
// configuration orders the fonts; empty when its best match has no Japanese.
QString fontconfigFamily()
{
    FcPattern *pattern = FcNameParse(reinterpret_cast<const FcChar8 *>("sans-serif:lang=ja"));
    if (pattern == nullptr)
        return QString();
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern *match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    if (match == nullptr)
        return QString();
    QString family;
    FcChar8 *name = nullptr;
    FcLangSet *languages = nullptr;
    if (FcPatternGetString(match, FC_FAMILY, 0, &name) == FcResultMatch
        && FcPatternGetLangSet(match, FC_LANG, 0, &languages) == FcResultMatch
        && FcLangSetHasLang(languages, reinterpret_cast<const FcChar8 *>("ja"))
               != FcLangDifferentLang)
        family = QString::fromUtf8(reinterpret_cast<const char *>(name));
    FcPatternDestroy(match);
    return family;
}
#endif

QString lookUpFamily()
{
#ifdef Q_OS_WIN
    // The Japanese UI fonts of the Windows versions, the newest first.
    if (const QString family = firstPresent({QStringLiteral("Yu Gothic UI"),
                                             QStringLiteral("Meiryo UI"),
                                             QStringLiteral("MS UI Gothic")});
        !family.isEmpty())
        return family;
#endif
#ifdef KESTRUNE_HAVE_FONTCONFIG
    if (const QString family = fontconfigFamily(); coversJapanese(family))
        return family;
#endif
    // Without an answer from the system: the common Japanese gothics, then
    // any proportional font that has Japanese.
    if (const QString family = firstPresent(
            {QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Source Han Sans JP"),
             QStringLiteral("IPAexGothic"), QStringLiteral("IPAPGothic"),
             QStringLiteral("VL PGothic"), QStringLiteral("TakaoPGothic")});
        !family.isEmpty())
        return family;
    for (const QString &family : QFontDatabase::families(QFontDatabase::Japanese)) {
        if (!QFontDatabase::isFixedPitch(family))
            return family;
    }
    return QString();
}

} // namespace

QString JapaneseFamily()
{
    static const QString family = lookUpFamily();
    return family;
}

QFont JapaneseUiFont(const QFont &base)
{
    QFont font = base;
    const QString family = JapaneseFamily();
    if (!family.isEmpty())
        font.setFamily(family);
    font.setPointSize(kPointSize);
    return font;
}

void UseJapaneseUiFont(QWidget *window)
{
    if (window != nullptr)
        window->setFont(JapaneseUiFont(window->font()));
}

} // namespace kestrune::uifont
