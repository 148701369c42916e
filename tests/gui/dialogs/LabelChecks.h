#pragma once
// Checks shared by the dialog tests: a label keeps the place the layout
// gives it, and every control shows its whole text.

#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRect>
#include <QString>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QStyleOptionToolButton>
#include <QToolButton>

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

// Empty when the label's text fits in it (inside its frame, if it has one),
// else what is cut.
inline QString clipProblem(const QLabel *label)
{
    const QFontMetrics fm(label->font());
    if (label->wordWrap()) {
        if (label->heightForWidth(label->width()) > label->height())
            return QStringLiteral("wrapped text taller than the label");
        return QString();
    }
    const QRect room = label->contentsRect();
    if (fm.height() > room.height())
        return QStringLiteral("line %1 px in %2 px").arg(fm.height()).arg(room.height());
    if (fm.horizontalAdvance(label->text()) > room.width())
        return QStringLiteral("text %1 px in %2 px")
            .arg(fm.horizontalAdvance(label->text()))
            .arg(room.width());
    return QString();
}

// A one-line label whose box is lower than the font's line (a status bar
// panel): its text is cut only where the glyphs themselves leave the box.
// Otherwise as clipProblem.
inline QString inkProblem(const QLabel *label)
{
    if (label->wordWrap())
        return clipProblem(label);
    const QFontMetricsF fm(label->font());
    const QRectF room = QRectF(label->contentsRect())
                            .adjusted(label->margin(), label->margin(), -label->margin(),
                                      -label->margin());
    if (fm.horizontalAdvance(label->text()) > room.width())
        return QStringLiteral("text %1 px in %2 px")
            .arg(fm.horizontalAdvance(label->text()))
            .arg(room.width());
    qreal top = room.top() + (room.height() - fm.height()) / 2;
    if (label->alignment() & Qt::AlignTop)
        top = room.top();
    else if (label->alignment() & Qt::AlignBottom)
        top = room.bottom() - fm.height();
    const QRectF ink = fm.tightBoundingRect(label->text()).translated(0, top + fm.ascent());
    if (ink.top() < room.top() - 0.5 || ink.bottom() > room.bottom() + 0.5)
        return QStringLiteral("glyphs from %1 to %2 px in %3 to %4 px")
            .arg(ink.top())
            .arg(ink.bottom())
            .arg(room.top())
            .arg(room.bottom());
    return QString();
}

// A tool button's caption under its icon: the style shortens (elides) a
// caption whose raw text, "&" included, is wider than the button inside its
// frame, and gives it the height left under the icon.
inline QString toolButtonProblem(const QToolButton *button)
{
    if (button->text().isEmpty() || button->toolButtonStyle() != Qt::ToolButtonTextUnderIcon)
        return QString();
    QStyleOptionToolButton option;
    option.initFrom(button);
    option.subControls = QStyle::SC_ToolButton;
    option.toolButtonStyle = button->toolButtonStyle();
    option.iconSize = button->iconSize();
    option.text = button->text();
    QStyle *style = button->style();
    const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, button);
    const QRect content = style
                              ->subControlRect(QStyle::CC_ToolButton, &option,
                                               QStyle::SC_ToolButton, button)
                              .adjusted(frame, frame, -frame, -frame);
    const QFontMetrics fm(button->font());
    const int width = fm.horizontalAdvance(button->text());
    if (width > content.width())
        return QStringLiteral("caption %1 px in %2 px").arg(width).arg(content.width());
    const int below = content.height() - (button->iconSize().height() + 3) - 1;
    if (fm.height() > below)
        return QStringLiteral("caption line %1 px in %2 px under the icon")
            .arg(fm.height())
            .arg(below);
    return QString();
}

// A push button's caption, drawn with its access key underlined, inside
// the button's contents.
inline QString pushButtonProblem(const QPushButton *button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    const QRect content = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option,
                                                          button);
    const QSize text = QFontMetrics(button->font()).size(Qt::TextShowMnemonic, button->text());
    if (text.width() > content.width() || text.height() > content.height())
        return QStringLiteral("caption %1x%2 px in %3x%4 px")
            .arg(text.width())
            .arg(text.height())
            .arg(content.width())
            .arg(content.height());
    return QString();
}

// A frame's caption inside the frame.
inline QString groupBoxProblem(const QGroupBox *frame)
{
    QStyleOptionGroupBox option;
    option.initFrom(frame);
    option.text = frame->title();
    option.lineWidth = 1;
    option.midLineWidth = 0;
    option.textAlignment = frame->alignment();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect label = frame->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                       QStyle::SC_GroupBoxLabel, frame);
    const int width = QFontMetrics(frame->font()).horizontalAdvance(frame->title());
    if (label.width() < width || !frame->rect().contains(label))
        return QStringLiteral("caption %1 px, its room %2,%3 %4x%5 in %6x%7")
            .arg(width)
            .arg(label.x())
            .arg(label.y())
            .arg(label.width())
            .arg(label.height())
            .arg(frame->width())
            .arg(frame->height());
    return QString();
}

// What is cut of any control's text; empty when it shows whole.
inline QString textProblem(const QWidget *widget)
{
    if (const auto *label = qobject_cast<const QLabel *>(widget))
        return label->text().isEmpty() ? QString() : inkProblem(label);
    if (const auto *button = qobject_cast<const QToolButton *>(widget))
        return toolButtonProblem(button);
    if (const auto *button = qobject_cast<const QPushButton *>(widget))
        return pushButtonProblem(button);
    if (const auto *frame = qobject_cast<const QGroupBox *>(widget))
        return groupBoxProblem(frame);
    return QString();
}

} // namespace dialogtest
