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

// Copies the sample templates into <dir>/deviceFolder.
inline bool copySampleTemplates(const QString &dir)
{
    const QString target = dir + QStringLiteral("/deviceFolder");
    if (!QDir().mkpath(target))
        return false;
    const QDir source(QStringLiteral(TIDEWELL_SOURCE_DIR "/resources/templates"));
    for (const QString &name : source.entryList({ QStringLiteral("*.json") }, QDir::Files)) {
        if (name.contains(QStringLiteral("scenario")))
            continue;
        if (!QFile::copy(source.filePath(name), target + QLatin1Char('/') + name))
            return false;
    }
    return true;
}

inline SSimDevice simDevice(const QString &devEui, const QString &name, const QString &appEui)
{
    SSimDevice device;
    device.devEui = devEui;
    device.devName = name;
    device.appEui = appEui;
    return device;
}

// The sample devices of the demo: two sensors, two meters, a beacon, one of
// an unknown type and one without OTAA parameters.
inline SSimScenario sampleScenario()
{
    SSimScenario scenario;
    scenario.accounts << SSimAccount { QStringLiteral("demo"), QStringLiteral("demo") };
    scenario.devices
        << simDevice(QStringLiteral("0011223344550001"), QStringLiteral("Boiler room"), TH_APP_EUI)
        << simDevice(QStringLiteral("0011223344550002"), QStringLiteral("Cold store"), TH_APP_EUI)
        << simDevice(QStringLiteral("0011223344550003"), QStringLiteral("Water meter"), PULSE_APP_EUI)
        << simDevice(QStringLiteral("0011223344550004"), QStringLiteral("Gas meter"), PULSE_APP_EUI)
        << simDevice(QStringLiteral("0011223344550005"), QStringLiteral("Dock beacon"), BEACON_APP_EUI)
        << simDevice(QStringLiteral("0011223344550006"), QStringLiteral("Unknown thing"),
                     QStringLiteral("A1B2C3D4000000FF"))
        << simDevice(QStringLiteral("0011223344550007"), QStringLiteral("ABP device"), QString());
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
    bool ok = false;
    QString error;
    QVector<quint16> registers;
};

// Reads holding registers with libmodbus; blocking, so run it through readAsync.
inline SModbusRead readHoldingRegisters(quint16 port, int address, int count)
{
    SModbusRead result;
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx) {
        result.error = QStringLiteral("modbus_new_tcp failed");
        return result;
    }
    modbus_set_response_timeout(ctx, 5, 0);
    if (modbus_connect(ctx) != 0) {
        result.error = QString::fromLocal8Bit(modbus_strerror(errno));
        modbus_free(ctx);
        return result;
    }
    result.registers.resize(count);
    const int got = modbus_read_registers(ctx, address, count, result.registers.data());
    if (got == count)
        result.ok = true;
    else
        result.error = QString::fromLocal8Bit(modbus_strerror(errno));
    modbus_close(ctx);
    modbus_free(ctx);
    return result;
}

// The Modbus service runs in this thread's event loop, so the client must not:
// wait for the future with QTRY_VERIFY(isReady(f)).
inline std::future<SModbusRead> readAsync(quint16 port, int address, int count)
{
    return std::async(std::launch::async, readHoldingRegisters, port, address, count);
}

template<typename T> bool isReady(const std::future<T> &future)
{
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

// Whether a TCP connection to 127.0.0.1:port is accepted.
inline bool portAnswers(quint16 port)
{
    auto probe = std::async(std::launch::async, [port]() {
        modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
        const bool ok = modbus_connect(ctx) == 0;
        modbus_close(ctx);
        modbus_free(ctx);
        return ok;
    });
    while (!isReady(probe))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return probe.get();
}

// Watches for an application-modal message box, records its texts and closes
// it with its default button, so code that runs one with exec() can be tested.
class CMessageBoxCatcher : public QObject
{
public:
    CMessageBoxCatcher()
    {
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, [this]() {
            for (QWidget *w : QApplication::topLevelWidgets()) {
                auto *box = qobject_cast<QMessageBox *>(w);
                if (!box || !box->isVisible())
                    continue;
                texts << box->text();
                informativeTexts << box->informativeText();
                icons << box->icon();
                box->done(QMessageBox::Ok);
            }
        });
        m_timer.start();
    }

    QStringList texts;
    QStringList informativeTexts;
    QList<QMessageBox::Icon> icons;

private:
    QTimer m_timer;
};

} // namespace testkit
