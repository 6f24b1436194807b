#pragma once

// Shared helpers of the window, dialog and process tests: a working directory
// with the sample templates, a simulated network server, a Modbus client from
// libmodbus on a thread of its own, and the gateway's components.

#include "app/logfile.h"
#include "core/gateway.h"
#include "devices/alldevicehandler.h"
#include "gui/addnewdeviceform.h"
#include "gui/editdeviceform.h"
#include "serverlink/serverhandler.h"
#include "storage/databasehandler.h"
#include "tools/netsim/networkserversim.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QVector>
#include <QtTest>

#include <algorithm>
#include <future>
#include <memory>
#include <modbus/modbus.h>

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

// Copies the sample templates into <dir>/deviceFolder.
inline bool copySampleTemplates(const QString &dir)
{
    const QString target = dir + QStringLiteral("/deviceFolder");
    const QDir source(QStringLiteral(TIDEWELL_SOURCE_DIR "/resources/templates"));
    bool ok = QDir().mkpath(target);
    for (const QString &name : source.entryList({ QStringLiteral("*.json") }, QDir::Files))
        if (!name.contains(QStringLiteral("scenario")))
            ok = ok && QFile::copy(source.filePath(name), target + QLatin1Char('/') + name);
    return ok;
}

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

// A port nobody listens on right now.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

struct SModbusRead
{
    bool connected = false;
    bool ok = false;
    QString error;
    QVector<quint16> registers;
};

// Reads holding registers with libmodbus. The Modbus service runs in this
// thread's event loop, so the blocking client runs on another thread.
inline SModbusRead readServed(quint16 port, int address, int count)
{
    auto reply = std::async(std::launch::async, [=]() {
        SModbusRead result;
        modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
        modbus_set_response_timeout(ctx, 5, 0);
        result.registers.resize(count);
        result.connected = modbus_connect(ctx) == 0;
        result.ok = result.connected
            && modbus_read_registers(ctx, address, count, result.registers.data()) == count;
        if (!result.ok)
            result.error = QString::fromLocal8Bit(modbus_strerror(errno));
        modbus_close(ctx);
        modbus_free(ctx);
        return result;
    });
    while (reply.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return reply.get();
}

// Whether a TCP connection to 127.0.0.1:port is accepted.
inline bool portAnswers(quint16 port)
{
    return readServed(port, 0, 1).connected;
}

// A gateway built fresh for one test in its own working directory, with a
// simulated network server and the two dialogs.
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
        server = &gateway->session();
        db = &gateway->store();
        registry = &gateway->registry();
        addForm = std::make_unique<CAddNewDeviceForm>(*gateway);
        editForm = std::make_unique<CEditDeviceForm>(*gateway);
        return sim->listen() && !gateway->failed();
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
        gateway.reset();
        sim.reset();
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
        return serve ? gateway->registerDevice(description, port) : db->registerNewDevice(description, port);
    }

    void connectToSimulator() const
    {
        QSignalSpy status(server, &CServerHandler::changeServerStatus);
        server->connectSlot(sim->url().toString(), QStringLiteral("demo"), QStringLiteral("demo"));
        QTRY_VERIFY_WITH_TIMEOUT(
            !status.isEmpty() && status.last().at(0).value<COMM::EServerStatus>() == COMM::SUCCESS, 5000);
    }

    // Sends an uplink of a sample device and waits until it is decoded.
    bool uplink(int sample, const QByteArray &payload) const
    {
        QSignalSpy decoded(registry, &CAllDeviceHandler::newDataForDevice);
        return sim->sendUplink(sampleEui(sample), payload) == 1 && decoded.wait(5000);
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
    std::unique_ptr<CAddNewDeviceForm> addForm;
    std::unique_ptr<CEditDeviceForm> editForm;
};

} // namespace testkit
