#include "fittedlabel.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>

FittedLabel::FittedLabel(const QString &text, QWidget *parent) : QLabel(text, parent)
{
    // Its layout ignores how wide the text would like to be.
    setSizePolicy(QSizePolicy::Ignored, sizePolicy().verticalPolicy());
}

QRect FittedLabel::room() const
{
    // As QLabel itself lays out one line: inside its margin, indented when framed.
    QRect area = contentsRect().marginsRemoved(QMargins(margin(), margin(), margin(), margin()));
    const int indentation =
        indent() < 0 && frameWidth() > 0 ? fontMetrics().horizontalAdvance(u'x') / 2 : indent();
    if (indentation > 0 && alignment() & Qt::AlignLeft)
        area.setLeft(area.left() + indentation);
    return area;
}

bool FittedLabel::fits() const
{
    return fontMetrics().horizontalAdvance(line()) <= room().width();
}

void FittedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    drawFrame(&painter); // the border the style sheet gives it
    const QRect area = room();
    style()->drawItemText(&painter, area, QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
                          isEnabled(), fontMetrics().elidedText(line(), Qt::ElideRight, area.width()),
                          foregroundRole());
}

bool FittedLabel::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip)
        setToolTip(fits() ? QString() : text());
    return QLabel::event(event);
}
