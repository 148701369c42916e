#pragma once
// The font the program's windows show their Japanese texts in, whatever the
// desktop's language.  The layouts are drawn in pixels for a Japanese gothic
// of 9 points; a Western desktop font gives the kana and the ASCII in the
// captions wider glyphs (or a fallback face per character), and the captions
// of the big command buttons no longer fit.

#include <QFont>
#include <QString>

class QWidget;

namespace kestrune::uifont {

// The point size the layouts were drawn for.
constexpr int kPointSize = 9;

// The family of the desktop's Japanese user-interface font: on Windows the
// system's Japanese UI font, elsewhere what fontconfig chooses for Japanese
// sans-serif text.  Empty when no installed font covers Japanese.  Looked up
// once per process.
QString JapaneseFamily();

// base in the Japanese family at kPointSize points; base itself (at that
// size) when no Japanese font is installed.
QFont JapaneseUiFont(const QFont &base = QFont());

// Gives window that font; its children inherit it unless they set their own.
void UseJapaneseUiFont(QWidget *window);

} // namespace kestrune::uifont
