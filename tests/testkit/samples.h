#pragma once

// The sample devices of the demo scenario, served by the simulated network
// server, and an uplink of the sample sensor.

#include "tools/netsim/networkserversim.h"

#include <QByteArray>
#include <QPair>
#include <QString>

namespace testkit {

inline const QString TH_APP_EUI = QStringLiteral("A1B2C3D400000001");
inline const QString PULSE_APP_EUI = QStringLiteral("A1B2C3D400000002");
inline const QString BEACON_APP_EUI = QStringLiteral("A1B2C3D400000003");

// DevEUI of the n-th sample device, counted from 1.
inline QString sampleEui(int n)
{
    return QStringLiteral("00112233445500%1").arg(n, 2, 10, QLatin1Char('0'));
}

// Temperature 0x092a, humidity 0x37, battery 0x0ce4 (a type 1 uplink).
inline const QByteArray TH_PAYLOAD = QByteArray::fromHex("012a0937e40c");

// The demo's devices: two sensors, two meters, a beacon, one of an unknown
// type and one without OTAA parameters.
inline SSimScenario sampleScenario()
{
    const QPair<const char *, QString> devices[]
        = { { "Boiler room", TH_APP_EUI },     { "Cold store", TH_APP_EUI },
            { "Water meter", PULSE_APP_EUI },  { "Gas meter", PULSE_APP_EUI },
            { "Dock beacon", BEACON_APP_EUI }, { "Unknown thing", QStringLiteral("A1B2C3D4000000FF") },
            { "ABP device", QString() } };
    SSimScenario scenario;
    scenario.accounts << SSimAccount { QStringLiteral("demo"), QStringLiteral("demo") };
    for (const auto &entry : devices) {
        SSimDevice device;
        device.devEui = sampleEui(scenario.devices.size() + 1);
        device.devName = QString::fromUtf8(entry.first);
        device.appEui = entry.second;
        scenario.devices << device;
    }
    return scenario;
}

} // namespace testkit
