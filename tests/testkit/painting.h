#pragma once

// Delegates painted into an image, for tests that read pixels.

#include <QAbstractItemDelegate>
#include <QImage>
#include <QPainter>
#include <QStyleOptionViewItem>

namespace testkit {

inline QImage paintRow(const QAbstractItemDelegate &delegate, const QModelIndex &index, QStyle::State state,
                       const QSize &size)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = QRect(QPoint(0, 0), size);
    option.state = QStyle::State_Enabled | state;
    delegate.paint(&painter, option, index);
    return image;
}

} // namespace testkit
