#pragma once

// Shared helpers of the window, dialog and process tests: a working directory
// with the sample templates, a simulated network server, a Modbus client from
// libmodbus on a thread of its own, and a catcher for modal message boxes.

#include "tools/netsim/networkserversim.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTcpServer>
#include <QTimer>
#include <QVector>

#include <future>
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

// Records the texts of application-modal message boxes and closes them, so
// code that runs one with exec() can be tested.
class CMessageBoxCatcher : public QObject
{
public:
    CMessageBoxCatcher()
    {
        connect(&m_timer, &QTimer::timeout, this, [this]() {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            texts << box->text() << box->informativeText();
            icons << box->icon();
            box->done(QMessageBox::Ok);
        });
        m_timer.start(10);
    }

    QStringList texts;
    QList<QMessageBox::Icon> icons;

private:
    QTimer m_timer;
};

} // namespace testkit
