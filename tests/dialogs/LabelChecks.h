#pragma once
// Checks shared by the dialog tests: a label keeps the place the layout
// gives it, and shows its whole text.

#include <QFontMetrics>
#include <QLabel>
#include <QRect>
#include <QString>

namespace dialogtest {

// The label covers the designed box, starts where it starts and keeps its
// vertical centre (within half a pixel of rounding).
inline QString placeProblem(const QWidget *w, const QRect &designed)
{
    const QRect g = w->geometry();
    if (g.left() != designed.left())
        return QStringLiteral("left %1, designed %2").arg(g.left()).arg(designed.left());
    if (!g.contains(designed))
        return QStringLiteral("does not cover the designed box");
    if (qAbs((g.top() + g.bottom()) - (designed.top() + designed.bottom())) > 1)
        return QStringLiteral("vertical centre moved");
    return QString();
}

// Empty when the label's text fits in it, else what is cut.
inline QString clipProblem(const QLabel *label)
{
    const QFontMetrics fm(label->font());
    if (label->wordWrap()) {
        if (label->heightForWidth(label->width()) > label->height())
            return QStringLiteral("wrapped text taller than the label");
        return QString();
    }
    if (fm.height() > label->height())
        return QStringLiteral("line %1 px in %2 px").arg(fm.height()).arg(label->height());
    if (fm.horizontalAdvance(label->text()) > label->width())
        return QStringLiteral("text %1 px in %2 px")
            .arg(fm.horizontalAdvance(label->text()))
            .arg(label->width());
    return QString();
}

} // namespace dialogtest
