#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

#include <cstdint>

namespace API {

// One entry of the network server's device list.
struct SServerDeviceInfo
{
    QString devEui;
    QString appEui;
    QString devName;
};

// One uplink frame. An empty devEui stands for "no uplink".
struct SApiDeviceData
{
    SApiDeviceData() = default;
    // Builds the record from an "rx" message object; see apirecords.cpp.
    explicit SApiDeviceData(const QJsonObject &object);

    QString devEui;
    quint64 ts = 0;
    QString gatewayId;
    bool ack = false;
    quint32 fcnt = 0;
    quint16 port = 0;
    QByteArray data;
    quint32 freq = 0;
    qint16 dr = 0;
    qint16 rssi = 0;
    double snr = 0.0;
};

} // namespace API

Q_DECLARE_METATYPE(API::SServerDeviceInfo)
Q_DECLARE_METATYPE(API::SApiDeviceData)
