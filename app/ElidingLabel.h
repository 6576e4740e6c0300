// A label whose text never widens the window: a line too long for the label's width is drawn
// elided (in the middle for a path, at the end for other texts), with the whole text as its tool
// tip, and each line of the text takes one line of height, whatever its length. text() stays the
// whole text. Until a line is too long it looks and lays out as a plain QLabel, which it is to
// the form and its users: it adds no signals, slots or properties, so it has no meta-object of
// its own.
#pragma once

#include <QLabel>

class ElidingLabel : public QLabel
{
public:
    explicit ElidingLabel(QWidget* parent = nullptr);

    void setElideMode(Qt::TextElideMode mode);
    Qt::TextElideMode elideMode() const { return mode; }
    // True when the label's width cuts a line of its text, as it was last laid out.
    bool isElided() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return false; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int textHeight() const;

    Qt::TextElideMode mode = Qt::ElideMiddle;
};
