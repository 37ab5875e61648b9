#include "fittedlabel.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>
#include <QTextLayout>

FittedLabel::FittedLabel(const QString &text, QWidget *parent, int lines) : QLabel(text, parent), lines(lines)
{
    // Its layout ignores how wide the text would like to be.
    QSizePolicy policy(QSizePolicy::Ignored, sizePolicy().verticalPolicy());
    policy.setHeightForWidth(lines > 1);
    setSizePolicy(policy);
}

QRect FittedLabel::room() const
{
    // As QLabel itself places its text: inside its margin, indented when framed.
    QRect area = contentsRect().marginsRemoved(QMargins(margin(), margin(), margin(), margin()));
    const int indentation =
        indent() < 0 && frameWidth() > 0 ? fontMetrics().horizontalAdvance(u'x') / 2 : indent();
    if (indentation > 0 && alignment() & Qt::AlignLeft)
        area.setLeft(area.left() + indentation);
    return area;
}

QStringList FittedLabel::shown(int width, bool *whole) const
{
    QString rest = text().simplified();
    QStringList shown;
    // Broken where words end, inside a word only when it is wider than a line.
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    while (shown.size() < lines - 1 && fontMetrics().horizontalAdvance(rest) > width) {
        QTextLayout layout(rest, font());
        layout.setTextOption(option);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLineWidth(width);
        layout.endLayout();
        const int length = qMax(1, line.textLength());
        shown << rest.left(length).trimmed();
        rest = rest.mid(length).trimmed();
    }
    if (whole)
        *whole = fontMetrics().horizontalAdvance(rest) <= width;
    return shown << fontMetrics().elidedText(rest, Qt::ElideRight, width);
}

int FittedLabel::heightForWidth(int available) const
{
    const int rows = int(shown(available - (width() - room().width())).size());
    return fontMetrics().height() + (rows - 1) * fontMetrics().lineSpacing() + height() - room().height();
}

void FittedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    drawFrame(&painter); // the border the style sheet gives it
    const QRect area = room();
    const QStringList rows = shown(area.width());
    const int step = fontMetrics().lineSpacing();
    const int whole = fontMetrics().height() + int(rows.size() - 1) * step;
    QRect row(area.left(), area.top() + (area.height() - whole) / 2, area.width(), fontMetrics().height());
    for (const QString &text : rows) {
        style()->drawItemText(&painter, row, Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(), text,
                              foregroundRole());
        row.translate(0, step);
    }
}

bool FittedLabel::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        bool whole = false;
        shown(room().width(), &whole);
        setToolTip(whole ? QString() : text());
    }
    return QLabel::event(event);
}
