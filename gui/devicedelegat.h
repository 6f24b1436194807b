#pragma once

#include "core/gatewayrecords.h"

#include <QMap>
#include <QStyledItemDelegate>

#include <functional>

// Paints a device row of the devices table as a rounded card in the colour of
// its device type, with the name, the DevEUI and the type name.
class CDeviceDelegat : public QStyledItemDelegate
{
public:
    using TypeLookup = std::function<SDeviceType(const QString &appEui)>;

    // lookup gives the type record of an AppEUI (the gateway's catalogue, in
    // the window); each AppEUI is asked for once, since the catalogue is fixed
    // after start-up.
    explicit CDeviceDelegat(TypeLookup lookup, QObject *parent = nullptr);

    // A short state text for a device, by id and DevEUI (a silent device:
    // "SILENT 2 h 5 min"), drawn at the card's top right; empty for none.
    using StateLookup = std::function<QString(uint32_t deviceId, const QString &devEui)>;
    void setStateLookup(StateLookup lookup) { m_state = std::move(lookup); }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // Colour of a card: alternate rows are translucent, a hovered or selected
    // card is darker. A type without a template gets a neutral grey.
    static QColor cardColor(const QColor &typeColor, int row, bool active);

    int typeCacheSize() const { return m_cache.size(); }

private:
    SDeviceType typeInfo(const QString &appEui) const;

    TypeLookup m_lookup;
    StateLookup m_state;
    mutable QMap<QString, SDeviceType> m_cache;
};
