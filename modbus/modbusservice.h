#pragma once

#include "modbus/modbusconfig.h"
#include "modbus/registerimage.h"

#include <QMap>

#include <cstdint>

class CDeviceHandler;

// The gateway's Modbus TCP service: one listener per port in use, every one
// answering from the register image this service holds. The gateway decides
// which ports are served (a port stays open while a device is registered on
// it) and keeps the image current; clients only ever read the image.
//
// Used from the thread that creates it only.
class CModbusService
{
public:
    explicit CModbusService(const SModbusConfig &config = SModbusConfig());
    // Closes every port; the connections go with their listeners.
    ~CModbusService();
    CModbusService(const CModbusService &) = delete;
    CModbusService &operator=(const CModbusService &) = delete;

    const SModbusConfig &config() const { return m_config; }
    CRegisterImage &image() { return m_image; }
    const CRegisterImage &image() const { return m_image; }

    // One more device is served on the port: opens it when it is the first.
    // False when the port cannot be opened (the listener logged why); the
    // device is then not counted, and nothing serves it.
    bool addDevice(uint16_t port);
    // One device less on the port: the port closes with its last device.
    void removeDevice(uint16_t port);

    bool isOpen(uint16_t port) const { return m_ports.contains(port); }
    QList<uint16_t> openPorts() const { return m_ports.keys(); }
    // Modbus connections open on the port now.
    int connections(uint16_t port) const;
    // Takes the allow list of `config` ([modbus] allow read again) on every
    // port, and closes the open connections it does not admit; returns how many.
    int setAllowList(const SModbusConfig &config);

private:
    struct SPort
    {
        CDeviceHandler *listener = nullptr;
        int devices = 0;
    };
    SModbusConfig m_config;
    CRegisterImage m_image;
    QMap<uint16_t, SPort> m_ports;
};
