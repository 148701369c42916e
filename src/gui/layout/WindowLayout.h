#pragma once
// Placement helpers shared by the windows.  Positions are given in twips
// (1/1440 inch) and placed at 15 twips per pixel, the 96-dpi rule.

#include <QRect>
#include <QSize>

class QGroupBox;
class QLabel;
class QScreen;
class QString;
class QWidget;

namespace kestrune::layout {

constexpr int twipsToPixels(int twips)
{
    return (twips + 7) / 15;
}

constexpr QRect twips(int left, int top, int width, int height)
{
    return QRect(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width),
                 twipsToPixels(height));
}

constexpr QSize twips(int width, int height)
{
    return QSize(twipsToPixels(width), twipsToPixels(height));
}

// Makes a one-line label show its whole text while keeping its place: a box
// lower than the font's line grows evenly above and below; a box narrower
// than the text grows to the right up to maxWidth pixels (0: no growth), and
// when the text is wider still the label's font is narrowed horizontally
// until it fits.  Japanese desktop fonts other than the proportional gothic
// the layouts were drawn with give every kana its full em and a taller line,
// which the layouts have no room for.
void fitLabel(QLabel *label, int maxWidth);

// Draws a frame's caption on its top border line, as the layouts assume:
// the children's positions count from the frame's outer top-left corner and
// leave room for a caption of one line, not for a title bar above the frame.
void inlineFrameCaption(QGroupBox *frame);

// Shows text in label without changing its size: a text wider than the
// label's contents gets the font narrowed horizontally, as fitLabel does.
// For texts that change while the window is open (the clock panels).
void setNarrowedText(QLabel *label, const QString &text);

// Moves a window so that its outer rectangle, frame included, is centred on
// the screen.  Until the window has been shown its frame is not known and
// the client size stands in for it: centre again once it is shown.
void centreOnScreen(QWidget *window, const QScreen *screen);

} // namespace kestrune::layout
