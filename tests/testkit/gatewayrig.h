#pragma once

// A gateway built fresh for one test in its own working directory, with a
// simulated network server.

#include "app/logfile.h"
#include "core/gatewayinternals.h"
#include "tests/testkit/modbusclient.h"
#include "tests/testkit/samples.h"
#include "tests/testkit/testkit.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>

namespace testkit {

class CGatewayRig
{
public:
    bool setUp()
    {
        static int connections = 0;
        originalDir = QDir::currentPath();
        workDir = std::make_unique<QTemporaryDir>();
        if (!workDir->isValid() || !QDir::setCurrent(workDir->path())
            || !copySampleTemplates(workDir->path()))
            return false;
        logSpy = std::make_unique<QSignalSpy>(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        sim = std::make_unique<CNetworkServerSim>(sampleScenario());
        gateway = std::make_unique<CGateway>(workDir->filePath(QStringLiteral("server.db")),
                                             QStringLiteral("rig%1").arg(++connections));
        takeParts();
        return sim->listen() && !gateway->failed();
    }

    // After gateway was replaced.
    void takeParts()
    {
        server = &CGatewayInternals::session(*gateway);
        db = &CGatewayInternals::store(*gateway);
        registry = &CGatewayInternals::registry(*gateway);
    }

    bool serving(quint16 port) const { return CGatewayInternals::modbus(*gateway).isOpen(port); }

    void tearDown()
    {
        // Modbus connections delete themselves once they see their client go;
        // closed listeners go by deferred deletion as well.
        const auto settle = []() {
            for (int pass = 0; pass < 3; ++pass) {
                QCoreApplication::processEvents();
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            }
        };
        settle();
        gateway.reset();
        sim.reset();
        logSpy.reset();
        settle();
        QDir::setCurrent(originalDir);
        workDir.reset();
    }

    // Stores a device with its template's register map, as the add dialog
    // does; with serve, through the gateway, which also opens its port.
    bool storeDevice(int sample, quint16 port, int startAddr = 0, bool serve = false)
    {
        const SSimDevice device = sampleScenario().devices.at(sample - 1);
        DB::SDeviceRegMapDescription description;
        description.devEui = device.devEui;
        description.devName = device.devName;
        description.appEui = device.appEui;
        description.startAddr = startAddr;
        description.regList = registry->getDeviceRegisterMap(device.appEui).registers;
        return serve ? gateway->registerDevice(description, port) : db->registerNewDevice(description, port);
    }

    void connectToSimulator() const
    {
        QSignalSpy status(server, &CServerHandler::changeServerStatus);
        server->connectSlot(sim->url().toString(), QStringLiteral("demo"), QStringLiteral("demo"));
        QTRY_VERIFY_WITH_TIMEOUT(
            !status.isEmpty() && status.last().at(0).value<COMM::EServerStatus>() == COMM::SUCCESS, WAIT_MS);
    }

    // Sends an uplink of a sample device and waits until it is decoded.
    bool uplink(int sample, const QByteArray &payload) const
    {
        QSignalSpy decoded(gateway.get(), &CGateway::newDataForDevice);
        return sim->sendUplink(sampleEui(sample), payload) == 1 && decoded.wait(WAIT_MS);
    }

    int logCount(const QString &text) const
    {
        return int(std::count_if(logSpy->cbegin(), logSpy->cend(), [&](const QList<QVariant> &entry) {
            return entry.value(0).toString().contains(text);
        }));
    }

    QString originalDir;
    std::unique_ptr<QTemporaryDir> workDir;
    std::unique_ptr<QSignalSpy> logSpy;
    std::unique_ptr<CNetworkServerSim> sim;
    std::unique_ptr<CGateway> gateway;
    CServerHandler *server = nullptr;
    CDataBaseHandler *db = nullptr;
    CAllDeviceHandler *registry = nullptr;
};

} // namespace testkit
