#include "app/WindowLayout.h"

#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>

namespace kestrune::layout {

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

    // Narrow the font step by step; a stretch the font has no face for is
    // synthesised by the font engine.
    QFont font = label->font();
    for (int stretch = 99; stretch >= 70; --stretch) {
        font.setStretch(stretch);
        if (QFontMetrics(font).horizontalAdvance(text) + 1 <= maxWidth)
            break;
    }
    label->setFont(font);
}

void inlineFrameCaption(QGroupBox *frame)
{
    if (frame == nullptr)
        return;
    // The border line runs through the middle of the caption.
    const int lineY = QFontMetrics(frame->font()).height() / 2;
    frame->setStyleSheet(
        QStringLiteral("QGroupBox { border: 2px groove palette(mid); border-radius: 0px;"
                       " margin-top: %1px; }"
                       "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
                       " left: 6px; padding: 0px 2px; }")
            .arg(lineY));
}

} // namespace kestrune::layout
