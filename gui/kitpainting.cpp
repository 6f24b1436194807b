#include "gui/kitpainting.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWidget>

void paintStyledBackground(QWidget *widget, QPainter &painter, const QStyleOptionButton &option)
{
    painter.setFont(widget->font());
    painter.setPen(Qt::NoPen);
    widget->style()->drawControl(QStyle::CE_PushButton, &option, &painter, widget);
}

void paintStyledBackground(QWidget *widget, bool antialiased)
{
    QPainter painter(widget);
    if (antialiased)
        painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    QStyleOptionButton option;
    option.initFrom(widget);
    paintStyledBackground(widget, painter, option);
}

QPen delegateTextPen(const QColor &color, qreal width)
{
    return QPen(QBrush(color), width, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}
