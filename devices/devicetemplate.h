#pragma once

// Device type templates: the parsed form of the "*.json" files in the device
// folder. Each record is built from one JSON object and carries a valid flag;
// nothing throws.

#include <QColor>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

// What a template's author should hear about one part of a template: why it
// was left out (a problem) or that the gateway ignores it by design (a note).
// `where` names the part, e.g. "packet [1] field [Temperature]"; empty for
// the record itself.
struct STemplateIssue
{
    QString where;
    QString reason;
    bool note = false;
};

// A value supplied by the network server with each uplink (RSSI, frame counter...).
struct SServerData
{
    SServerData() = default;
    explicit SServerData(const QJsonObject &object);

    QString data_code;
    int bitSize = 0;
    QString type;
    int reg_map_bias = 0;
    int reg_bit_bias = 0;
    int reg_bit_size = 0;
    QString data_name;
    bool valid = false;
    QList<STemplateIssue> issues;
};

// One field cut from the uplink payload.
struct SDevicePacketField
{
    SDevicePacketField() = default;
    explicit SDevicePacketField(const QJsonObject &object);

    int packet_bias = 0;
    int data_bit_bias = 0;
    int data_bit_size = 0;
    QString data_type;
    int reg_map_bias = 0;
    int reg_bit_bias = 0;
    int reg_bit_size = 0;
    QString data_name;
    bool valid = false;
    QList<STemplateIssue> issues;
    // Optional: "low_first" serves values of two or more registers least
    // significant word first; empty or "high_first" most significant first.
    QString reg_word_order;

    bool lowWordFirst() const;
};

// One payload layout, selected by the payload's first byte.
struct SDevicePacket
{
    SDevicePacket() = default;
    explicit SDevicePacket(const QJsonObject &object);

    int packet_type = 0;
    int packet_size = 0;
    QList<SDevicePacketField> packet_fields;
    bool valid = false;
    QList<STemplateIssue> issues; // the packet's own and those of its fields
};

struct SDeviceTemplate
{
    SDeviceTemplate() = default;
    explicit SDeviceTemplate(const QJsonObject &object);

    bool valid = false;
    QString app_eui;
    QString dev_type;
    QColor color = QColor(QStringLiteral("#94999D"));
    QMap<QString, SServerData> server_data;
    QMap<uint32_t, SDevicePacket> device_packets; // keyed by packet type taken as unsigned
    int silent_after_s = 0; // 0: the type is never taken for silent
    bool silent_exception = false; // Modbus reads of a silent device answer exception 11
    QList<STemplateIssue> issues; // of the whole template, parts included
};
