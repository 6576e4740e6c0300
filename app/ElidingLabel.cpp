#include "ElidingLabel.h"

#include <QFontMetrics>
#include <QPainter>
#include <QStyle>

ElidingLabel::ElidingLabel(QWidget* parent) : QLabel(parent)
{
    // The width the text would like is never asked for; the column decides.
    QSizePolicy policy = sizePolicy();
    policy.setHorizontalPolicy(QSizePolicy::Ignored);
    policy.setHeightForWidth(false);
    setSizePolicy(policy);
}

void ElidingLabel::setElideMode(Qt::TextElideMode elideMode)
{
    mode = elideMode;
    update();
}

bool ElidingLabel::isElided() const
{
    const QFontMetrics metrics = fontMetrics();
    const int width = contentsRect().width() - 2 * margin();
    for (const QString& line : text().split(QLatin1Char('\n'))) {
        if (metrics.horizontalAdvance(line) > width)
            return true;
    }
    return false;
}

int ElidingLabel::textHeight() const
{
    const int lines = static_cast<int>(text().count(QLatin1Char('\n'))) + 1;
    const QMargins margins = contentsMargins();
    return lines * fontMetrics().height() + margins.top() + margins.bottom() + 2 * margin();
}

QSize ElidingLabel::sizeHint() const
{
    return {QLabel::sizeHint().width(), textHeight()};
}

QSize ElidingLabel::minimumSizeHint() const
{
    return {QLabel::minimumSizeHint().width(), textHeight()};
}

void ElidingLabel::paintEvent(QPaintEvent* event)
{
    const bool elided = isElided();
    // The tool tip says what the label cannot show.
    const QString tip = elided ? text() : QString();
    if (toolTip() != tip)
        setToolTip(tip);
    if (!elided) {
        QLabel::paintEvent(event);
        return;
    }

    QPainter painter(this);
    drawFrame(&painter);
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const QFontMetrics metrics = fontMetrics();
    const QStringList lines = text().split(QLatin1Char('\n'));
    const int lineHeight = metrics.height();
    int top = area.top();
    if (alignment() & Qt::AlignVCenter)
        top += (area.height() - lineHeight * static_cast<int>(lines.size())) / 2;
    else if (alignment() & Qt::AlignBottom)
        top += area.height() - lineHeight * static_cast<int>(lines.size());
    const int horizontal = static_cast<int>(alignment() & Qt::AlignHorizontal_Mask);
    for (const QString& line : lines) {
        const QRect lineArea(area.left(), top, area.width(), lineHeight);
        style()->drawItemText(&painter, lineArea, horizontal | Qt::AlignVCenter, palette(), isEnabled(),
                              metrics.elidedText(line, mode, area.width()), foregroundRole());
        top += lineHeight;
    }
}
