#pragma once

#include <QLabel>

// A one-line label for texts that come from elsewhere (the backend, Qt, the service): it takes
// the width its layout gives it whatever it holds, ends what does not fit with an ellipsis and
// then offers the whole text as its tooltip.
class FittedLabel : public QLabel
{
public:
    FittedLabel(const QString &text, QWidget *parent);

protected:
    void paintEvent(QPaintEvent *event) override;
    bool event(QEvent *event) override;

private:
    QString line() const { return text().simplified(); }
    QRect room() const;
    bool fits() const;
};
