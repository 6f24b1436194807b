#pragma once

// Records exchanged with the register database.

#include "app/schema.h"

#include <QList>
#include <QMetaType>
#include <QString>

#include <cstdint>

// One register of a device's register map (a template field or server value).
struct SRegisterDescription
{
    QString name;
    uint32_t source = 0; // 1: payload field, 0: value supplied by the server
    uint32_t offset = 0; // register offset from the device's start address
    uint32_t bitSize = 0;
    QString dataType;
    int32_t startValue = 0; // extra value, added after multiplying
    uint32_t gratingPeriod = 1; // multiplier
    QString unit;
};

namespace DB {

struct SDeviceRegMapDescription
{
    QString devEui;
    QString appEui;
    QString devName;
    int32_t startAddr = 0;
    QList<SRegisterDescription> regList;
    uint32_t deviceId = 0; // the store's id, once stored (registration ignores it)
    uint8_t unitId = 0; // Modbus unit id 1..247; 0: none
};

} // namespace DB

// One decoded register value of an uplink.
struct SRegisterValue
{
    QString value;
    QString fullValue;
    int32_t offset = 0;
};

// One uplink's batch of register values.
struct SDeviceRegisterData
{
    QString devEui;
    int32_t startAddr = 0;
    QList<SRegisterValue> registers;
    QList<SRegisterValue> extraRegisters; // never written by the store
    // When the store wrote it (ms since the epoch), the time of every row it
    // wrote; set by the store in registerDataSaved.
    qint64 storedMs = 0;
};

// One stored register as the Modbus service serves it, with its scaling.
struct SServedRegister
{
    uint16_t port = 0;
    uint32_t address = 0;
    uint32_t device = 0;
    uint16_t value = 0;
    int32_t multiplier = 1;
    int32_t extraValue = 0;
    QString unit = QString();
    bool text = false; // a register of a text field from the payload
    uint8_t unitId = 0; // the device's Modbus unit id; 0: none
};

// Scaling of one stored register.
struct SRegisterParam
{
    uint32_t regAddr = 0;
    int32_t startValue = 0;
    int32_t gratingPeriod = 1;
    QString unit;
};

// Scaling changes for the registers of one device.
struct SDeviceRegUpdate
{
    uint32_t deviceId = 0;
    uint16_t port = 0;
    QList<SRegisterParam> params;
};

Q_DECLARE_METATYPE(DB::SDeviceRegMapDescription)
Q_DECLARE_METATYPE(SDeviceRegisterData)
