#pragma once

// A Modbus client nobody here wrote (libmodbus) for the tests that read what
// the gateway serves.

#include <QCoreApplication>
#include <QEventLoop>
#include <QString>
#include <QVector>

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <future>

namespace testkit {

struct SModbusRead
{
    bool connected = false;
    bool ok = false; // the call gave no error
    int rc = -1;
    int error = 0; // errno after the call: libmodbus's EMBX* codes for exceptions
    QVector<quint16> registers;

    QString errorText() const { return QString::fromLocal8Bit(modbus_strerror(error)); }
};

using ModbusCall = std::function<int(modbus_t *, SModbusRead &)>;

// libmodbus blocks, so the client session runs on a thread of its own while
// this thread's event loop serves the gateway.
inline SModbusRead runModbusClient(quint16 port, int unitId, const ModbusCall &call)
{
    QEventLoop loop;
    auto reply = std::async(std::launch::async, [&] {
        SModbusRead result;
        modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
        modbus_set_slave(ctx, unitId);
        // libmodbus' own 0.5 s would be luck on a loaded machine
        modbus_set_response_timeout(ctx, 30, 0);
        result.connected = modbus_connect(ctx) == 0;
        if (result.connected) {
            result.rc = call(ctx, result);
            result.error = errno;
            modbus_close(ctx);
        } else {
            result.error = errno;
        }
        result.ok = result.connected && result.rc >= 0;
        modbus_free(ctx);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        return result;
    });
    loop.exec();
    return reply.get();
}

// Reads count registers from address with function 3 (holding) or 4 (input).
inline ModbusCall readCall(int address, int count, int function = 3)
{
    return [=](modbus_t *ctx, SModbusRead &result) {
        result.registers.fill(0xdead, std::max(count, 1));
        return function == 3 ? modbus_read_registers(ctx, address, count, result.registers.data())
                             : modbus_read_input_registers(ctx, address, count, result.registers.data());
    };
}

inline SModbusRead readServed(quint16 port, int address, int count)
{
    return runModbusClient(port, 1, readCall(address, count));
}

// Whether a TCP connection to 127.0.0.1:port is accepted.
inline bool portAnswers(quint16 port)
{
    return runModbusClient(port, 1, [](modbus_t *, SModbusRead &) { return 0; }).connected;
}

} // namespace testkit
