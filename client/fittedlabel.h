#pragma once

#include <QLabel>

// A label for texts that come from elsewhere (the backend, Qt, the service): it takes the width
// its layout gives it whatever it holds, breaks the text over at most `lines` lines, ends what
// still does not fit with an ellipsis and then offers the whole text as its tooltip.
class FittedLabel : public QLabel
{
public:
    FittedLabel(const QString &text, QWidget *parent, int lines = 1);

    bool hasHeightForWidth() const override { return lines > 1; }
    int heightForWidth(int available) const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    bool event(QEvent *event) override;

private:
    QRect room() const;
    QStringList shown(int width, bool *whole = nullptr) const;

    int lines;
};
