#pragma once

// The components of a running gateway, each built fresh for one test in its
// own working directory: simulated network server, session, register store,
// registry and both device dialogs, wired as start-up wires them.

#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "gui/addnewdeviceform.h"
#include "gui/editdeviceform.h"
#include "gui/startupwiring.h"
#include "serverlink/serverhandler.h"
#include "storage/databasehandler.h"
#include "tests/gui/gatewaytestkit.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

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
        if (!sim->listen())
            return false;
        server = std::make_unique<CServerHandler>();
        db = std::make_unique<CDataBaseHandler>(workDir->filePath(QStringLiteral("server.db")),
                                                QStringLiteral("rig%1").arg(++connections));
        if (db->failed())
            return false;
        registry = std::make_unique<CAllDeviceHandler>();
        registry->setRegisterStore(db.get());
        addForm = std::make_unique<CAddNewDeviceForm>(server.get(), db.get(), registry.get());
        connectStartupSignals(server.get(), registry.get(), addForm.get());
        editForm = std::make_unique<CEditDeviceForm>(db.get(), registry.get());
        return true;
    }

    void tearDown()
    {
        // Modbus connections delete themselves once they see their client go;
        // the registry leaves its listeners to deferred deletion as well.
        const auto settle = []() {
            for (int pass = 0; pass < 3; ++pass) {
                QCoreApplication::processEvents();
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            }
        };
        settle();
        addForm.reset();
        editForm.reset();
        if (db && registry) {
            QSqlQuery devices = db->getDevices(QString());
            QList<QPair<QString, quint16>> rows;
            while (devices.next())
                rows << qMakePair(devices.value(3).toString(), quint16(devices.value(4).toUInt()));
            devices.finish();
            for (const auto &row : qAsConst(rows))
                registry->removeDevice(row.first, row.second);
        }
        settle();
        registry.reset();
        server.reset();
        sim.reset();
        db.reset();
        logSpy.reset();
        settle();
        QDir::setCurrent(originalDir);
        workDir.reset();
    }

    // Stores a device with its template's register map, as the add dialog
    // does; with serve, the registry also opens its port.
    bool storeDevice(int sample, quint16 port, int startAddr = 0, bool serve = false)
    {
        const SSimDevice device = sampleScenario().devices.at(sample - 1);
        DB::SDeviceRegMapDescription description;
        description.devEui = device.devEui;
        description.devName = device.devName;
        description.appEui = device.appEui;
        description.startAddr = startAddr;
        description.regList = registry->getDeviceRegisterMap(device.appEui).registers;
        if (!db->registerNewDevice(description, port))
            return false;
        if (serve)
            registry->addNewDevice(description, port);
        return true;
    }

    void connectToSimulator() const
    {
        QSignalSpy status(server.get(), &CServerHandler::changeServerStatus);
        server->connectSlot(sim->url().toString(), QStringLiteral("demo"), QStringLiteral("demo"));
        QTRY_VERIFY_WITH_TIMEOUT(
            !status.isEmpty() && status.last().at(0).value<COMM::EServerStatus>() == COMM::SUCCESS, 5000);
    }

    // Sends an uplink of a sample device and waits until it is decoded.
    bool uplink(int sample, const QByteArray &payload) const
    {
        QSignalSpy decoded(registry.get(), &CAllDeviceHandler::newDataForDevice);
        return sim->sendUplink(sampleEui(sample), payload) == 1 && decoded.wait(5000);
    }

    int logCount(const QString &text) const
    {
        int count = 0;
        for (const QList<QVariant> &entry : qAsConst(*logSpy))
            count += entry.value(0).toString().contains(text) ? 1 : 0;
        return count;
    }

    QString originalDir;
    std::unique_ptr<QTemporaryDir> workDir;
    std::unique_ptr<QSignalSpy> logSpy;
    std::unique_ptr<CNetworkServerSim> sim;
    std::unique_ptr<CServerHandler> server;
    std::unique_ptr<CDataBaseHandler> db;
    std::unique_ptr<CAllDeviceHandler> registry;
    std::unique_ptr<CAddNewDeviceForm> addForm;
    std::unique_ptr<CEditDeviceForm> editForm;
};

} // namespace testkit
