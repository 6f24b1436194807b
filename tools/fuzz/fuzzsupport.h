#pragma once

// What every fuzz target sets up once: no output per run (a run that prints
// costs more than the run itself and fills the disk in hours) and the server
// keyword table, without the rest of initGlobalData, which needs a GUI.

#include "app/globaldata.h"

#include <QString>
#include <QtGlobal>

#include <cstdlib>

namespace Fuzz {

inline void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &)
{
    if (type == QtFatalMsg)
        abort();
}

inline bool prepare()
{
    qInstallMessageHandler(quietMessages);
    QM_GLOB_SERVER_DATA.insert(QStringLiteral("devEui"), { 64, QStringLiteral("text") });
    QM_GLOB_SERVER_DATA.insert(QStringLiteral("fcnt"), { 32, QStringLiteral("uinteger") });
    QM_GLOB_SERVER_DATA.insert(QStringLiteral("gatewayId"), { 64, QStringLiteral("text") });
    QM_GLOB_SERVER_DATA.insert(QStringLiteral("rssi"), { 16, QStringLiteral("integer") });
    QM_GLOB_SERVER_DATA.insert(QStringLiteral("snr"), { 16, QStringLiteral("integer") });
    QM_GLOB_SERVER_DATA.insert(QStringLiteral("ts"), { 64, QStringLiteral("uinteger") });
    return true;
}

inline void check(bool condition)
{
    if (!condition)
        abort();
}

} // namespace Fuzz
