#include "app/globaldata.h"

#include "app/constants.h"
QStringList QSL_GLOB_DEVICES_FIELDS;
QStringList QSL_GLOB_DEV_DATA_FIELDS;
QMap<QString, SServerDataKind> QM_GLOB_SERVER_DATA;
QStringList QSL_GLOB_FRAME_TYPES;

void initGlobalData()
{
    QSL_GLOB_DEVICES_FIELDS << QStringLiteral("device") << QStringLiteral("name") << QStringLiteral("app_eui")
                            << QStringLiteral("dev_eui") << QStringLiteral("port")
                            << QStringLiteral("start_addr");

    QSL_GLOB_DEV_DATA_FIELDS << QStringLiteral("device") << QStringLiteral("port")
                             << QStringLiteral("reg_addr") << QStringLiteral("start_value")
                             << QStringLiteral("grating_period") << QStringLiteral("bit_size")
                             << QStringLiteral("data_type") << QStringLiteral("value")
                             << QStringLiteral("full_value") << QStringLiteral("time")
                             << QStringLiteral("name") << QStringLiteral("unit") << QStringLiteral("parent")
                             << QStringLiteral("source");

    QM_GLOB_SERVER_DATA.insert(QS_SRV_DEV_EUI, { 64, QS_TYPE_TEXT });
    QM_GLOB_SERVER_DATA.insert(QS_SRV_FCNT, { 32, QS_TYPE_UINTEGER });
    QM_GLOB_SERVER_DATA.insert(QS_SRV_GATEWAY_ID, { 64, QS_TYPE_TEXT });
    QM_GLOB_SERVER_DATA.insert(QS_SRV_RSSI, { 16, QS_TYPE_INTEGER });
    QM_GLOB_SERVER_DATA.insert(QS_SRV_SNR, { 16, QS_TYPE_INTEGER });
    QM_GLOB_SERVER_DATA.insert(QS_SRV_TS, { 64, QS_TYPE_UINTEGER });

    // The indices matter: uplinks are recognised by entries 0 and 2.
    QSL_GLOB_FRAME_TYPES << QStringLiteral("UNCONF_UP") << QStringLiteral("UNCONF_DOWN")
                         << QStringLiteral("CONF_UP") << QStringLiteral("CONF_DOWN")
                         << QStringLiteral("JOIN_REQ") << QStringLiteral("JOIN_ACC")
                         << QStringLiteral("MAC_LINKCHECK_REQ") << QStringLiteral("MAC_LINKCHECK_ANS")
                         << QStringLiteral("MAC_LINKADR_REQ") << QStringLiteral("MAC_LINKADR_ANS")
                         << QStringLiteral("MAC_DUTYCYCLE_REQ") << QStringLiteral("MAC_DUTYCYCLE_ANS")
                         << QStringLiteral("MAC_RXPARAMSETUP_REQ") << QStringLiteral("MAC_RXPARAMSETUP_ANS")
                         << QStringLiteral("MAC_DEVSTATUS_REQ") << QStringLiteral("MAC_DEVSTATUS_ANS")
                         << QStringLiteral("MAC_NEWCHAN_REQ") << QStringLiteral("MAC_NEWCHAN_ANS")
                         << QStringLiteral("MAC_RXTIMING_REQ") << QStringLiteral("MAC_RXTIMING_ANS")
                         << QStringLiteral("MAC_TXPARAM_REQ") << QStringLiteral("MAC_TXPARAM_ANS")
                         << QStringLiteral("MAC_DLCHAN_REQ") << QStringLiteral("MAC_DLCHAN_ANS")
                         << QStringLiteral("MAC_PROPRIETARY");
}
