#pragma once

// The gateway's global lists, constants built from app/schema.h and
// app/constants.h: nothing fills or changes them at run time.

#include "app/constants.h"
#include "app/schema.h"

#include <QMap>
#include <QPair>
#include <QStringList>

// Bit width and value type name of one server-supplied value.
using SServerDataKind = QPair<int, QString>;

namespace GlobalData {

template<size_t N> QStringList names(const QLatin1String (&columns)[N])
{
    QStringList list;
    for (const QLatin1String &column : columns)
        list << QString(column);
    return list;
}

} // namespace GlobalData

// Column names of the stored tables, in column order (app/schema.h).
inline const QStringList QSL_GLOB_DEVICES_FIELDS = GlobalData::names(DB::DEVICES_COLUMNS);
inline const QStringList QSL_GLOB_DEV_DATA_FIELDS = GlobalData::names(DB::DEV_DATA_COLUMNS);

// The server data catalogue: keyword -> (bit width, value type name).
inline const QMap<QString, SServerDataKind> QM_GLOB_SERVER_DATA = {
    { QS_SRV_DEV_EUI, { 64, QS_TYPE_TEXT } },    { QS_SRV_FCNT, { 32, QS_TYPE_UINTEGER } },
    { QS_SRV_GATEWAY_ID, { 64, QS_TYPE_TEXT } }, { QS_SRV_RSSI, { 16, QS_TYPE_INTEGER } },
    { QS_SRV_SNR, { 16, QS_TYPE_INTEGER } },     { QS_SRV_TS, { 64, QS_TYPE_UINTEGER } },
};

// LoRaWAN frame type names; the indices matter: uplinks are entries 0 and 2.
inline const QStringList QSL_GLOB_FRAME_TYPES = {
    QStringLiteral("UNCONF_UP"),
    QStringLiteral("UNCONF_DOWN"),
    QStringLiteral("CONF_UP"),
    QStringLiteral("CONF_DOWN"),
    QStringLiteral("JOIN_REQ"),
    QStringLiteral("JOIN_ACC"),
    QStringLiteral("MAC_LINKCHECK_REQ"),
    QStringLiteral("MAC_LINKCHECK_ANS"),
    QStringLiteral("MAC_LINKADR_REQ"),
    QStringLiteral("MAC_LINKADR_ANS"),
    QStringLiteral("MAC_DUTYCYCLE_REQ"),
    QStringLiteral("MAC_DUTYCYCLE_ANS"),
    QStringLiteral("MAC_RXPARAMSETUP_REQ"),
    QStringLiteral("MAC_RXPARAMSETUP_ANS"),
    QStringLiteral("MAC_DEVSTATUS_REQ"),
    QStringLiteral("MAC_DEVSTATUS_ANS"),
    QStringLiteral("MAC_NEWCHAN_REQ"),
    QStringLiteral("MAC_NEWCHAN_ANS"),
    QStringLiteral("MAC_RXTIMING_REQ"),
    QStringLiteral("MAC_RXTIMING_ANS"),
    QStringLiteral("MAC_TXPARAM_REQ"),
    QStringLiteral("MAC_TXPARAM_ANS"),
    QStringLiteral("MAC_DLCHAN_REQ"),
    QStringLiteral("MAC_DLCHAN_ANS"),
    QStringLiteral("MAC_PROPRIETARY"),
};
