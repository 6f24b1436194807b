#pragma once

#include "devices/alldevicehandler.h"

#include <QStyledItemDelegate>

#include <functional>

// Paints a device row of the devices table as a rounded card in the colour of
// its device type, with the name, the DevEUI and the type name.
class CDeviceDelegat : public QStyledItemDelegate
{
public:
    using TypeLookup = std::function<SDeviceTypeInfo(const QString &appEui)>;

    explicit CDeviceDelegat(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // Colour of a card: alternate rows are translucent, a hovered or selected
    // card is darker. A type without a template gets a neutral grey.
    static QColor cardColor(const QColor &typeColor, int row, bool active);

    // Where type records come from; the registry unless a test installs its
    // own lookup. Installing a lookup also empties the shared cache.
    static void setTypeLookup(TypeLookup lookup);
    static void clearTypeCache();
    static int typeCacheSize();

private:
    static SDeviceTypeInfo typeInfo(const QString &appEui);
};
