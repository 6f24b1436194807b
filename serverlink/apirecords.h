#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

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

// The messages the gateway sends, serialised in compact JSON.
QByteArray buildProbeMessage();
QByteArray buildAuthRequest(const QString &login, const QString &password);
QByteArray buildDevicesListRequest(const QStringList &appEuiList);

// Reads the "devices_list" array of a device list reply. Elements without
// devEui, devName or OTAA, or without an OTAA appEui, are skipped; EUIs are
// upper-cased, as uplinks and templates carry them.
QList<SServerDeviceInfo> parseDevicesList(const QJsonArray &devicesList);

// Reads a whole device list reply: its status (missing reads as false) and,
// when true, the list.
bool parseDevicesListReply(const QJsonObject &reply, QList<SServerDeviceInfo> *list);

// Registers the record and status types that cross queued connections, under
// the names the signals spell them with. Safe to call more than once.
void registerMetaTypes();

} // namespace API

Q_DECLARE_METATYPE(API::SServerDeviceInfo)
Q_DECLARE_METATYPE(API::SApiDeviceData)
