#pragma once

#include <QPen>

class QWidget;
class QPainter;
class QStyleOptionButton;

// The kit's widgets draw their background as a push-button control of the
// current style, so that style-sheet rules addressed to their class name
// (background, border, radius) take effect.
void paintStyledBackground(QWidget *widget, bool antialiased);
void paintStyledBackground(QWidget *widget, QPainter &painter, const QStyleOptionButton &option);

// The pen item delegates write and draw with: square caps, bevel joins.
QPen delegateTextPen(const QColor &color, qreal width = 0);
