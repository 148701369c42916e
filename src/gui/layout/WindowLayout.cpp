#include "gui/layout/WindowLayout.h"

#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace kestrune::layout {

namespace {

// font narrowed step by step until text fits in width pixels, down to 70 %;
// a stretch the font has no face for is synthesised by the font engine.
QFont narrowedToFit(QFont font, const QString &text, int width)
{
    for (int stretch = 99; stretch >= 70; --stretch) {
        font.setStretch(stretch);
        if (QFontMetrics(font).horizontalAdvance(text) + 1 <= width)
            break;
    }
    return font;
}

} // namespace

void fitLabel(QLabel *label, int maxWidth)
{
    if (label == nullptr)
        return;
    const QFontMetrics metrics(label->font());

    // A line taller than the box grows it evenly above and below, so the
    // text stays centred where the layout put it.
    if (metrics.height() > label->height()) {
        const int grow = metrics.height() - label->height();
        label->setGeometry(label->x(), label->y() - grow / 2, label->width(), metrics.height());
    }

    const QString text = label->text();
    const int needed = metrics.horizontalAdvance(text) + 1;
    if (maxWidth <= 0 || needed <= label->width())
        return;
    label->resize(qMax(label->width(), qMin(needed, maxWidth)), label->height());
    if (needed <= maxWidth)
        return;

    label->setFont(narrowedToFit(label->font(), text, maxWidth));
}

void setNarrowedText(QLabel *label, const QString &text)
{
    if (label == nullptr)
        return;
    // Start again from the natural width: the text may have become shorter.
    QFont font = label->font();
    font.setStretch(QFont::AnyStretch);
    const int room = label->contentsRect().width() - 2 * label->margin();
    if (QFontMetrics(font).horizontalAdvance(text) + 1 > room)
        font = narrowedToFit(font, text, room);
    if (font != label->font())
        label->setFont(font);
    label->setText(text);
}

void centreOnScreen(QWidget *window, const QScreen *screen)
{
    if (window == nullptr || screen == nullptr)
        return;
    const QRect area = screen->geometry();
    const QSize outer = window->frameGeometry().size().expandedTo(window->size());
    // A window's position is that of its frame.
    window->move(area.x() + int(std::floor((area.width() - outer.width()) / 2.0)),
                 area.y() + int(std::floor((area.height() - outer.height()) / 2.0)));
}

void inlineFrameCaption(QGroupBox *frame)
{
    if (frame == nullptr)
        return;
    // The border line runs through the middle of the caption.
    const int lineY = QFontMetrics(frame->font()).height() / 2;
    frame->setStyleSheet(
        QStringLiteral(
            "QGroupBox { border: 2px groove palette(mid); border-radius: 0px;"
            " margin-top: %1px; }"
            "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
            " left: 6px; padding: 0px 2px; }")
            .arg(lineY));
}

} // namespace kestrune::layout
