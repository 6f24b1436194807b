#pragma once

#include "modbus/registersource.h"

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>

// The served registers of every port in memory, as the register store holds
// them: Modbus reads are answered from here and never wait for the database.
// Each port has one address space for its devices without a unit id (unit 0
// here) and one for each device with a unit id (1..247), which starts at 0
// like a device of its own. Within one space, where two devices claim an
// address, the one registered later (the larger device id) is served, as the
// store's row order gives.
//
// A request's unit id picks the space: the unit id of a device of the port
// picks that device's; any other (0 and 255, the usual "the gateway itself",
// included) picks the devices without a unit id, and on a port that has only
// devices with one, is answered with exception 10.
//
// Used from the thread that owns it only.
class CRegisterImage : public IRegisterSource
{
public:
    // Exception answered for a read that touches a failed device's registers:
    // gateway target device failed to respond.
    static constexpr uint8_t TargetFailed = 11;
    // Unit ids a device may be given.
    static constexpr int MinUnitId = 1;
    static constexpr int MaxUnitId = 247;
    static bool isDeviceUnitId(int unitId) { return unitId >= MinUnitId && unitId <= MaxUnitId; }

    // Takes the value of a register held by `device`; where a device
    // registered later holds the address, the value stays hidden behind it.
    // Addresses above 65535 cannot be served and are ignored. `unitId` 0: the
    // device has none. Returns the other device that holds the address in the
    // same address space as well (0: none).
    uint32_t put(uint16_t port, uint8_t unitId, uint32_t address, uint32_t device, uint16_t value);
    // The device served at the address of the port's address space for
    // `unitId` (0: the devices without one); 0: nobody.
    uint32_t owner(uint16_t port, uint8_t unitId, uint16_t address) const;
    // An uplink's new value: taken only where the device holds the address,
    // so a register the store has no row for is not served either.
    void update(uint16_t port, uint8_t unitId, uint32_t address, uint32_t device, uint16_t value);
    // Forgets every register of the port (all its unit ids), before it is built again.
    void clearPort(uint16_t port);
    // Forgets every register; the devices stay known.
    void clear();
    // Reads touching the device's registers answer TargetFailed while set.
    void setDeviceFailed(uint32_t device, bool failed);

    // Which unit ids the port answers to: a device served on the port with
    // the unit id (0: none), and its identification objects.
    void addDevice(uint16_t port, uint8_t unitId, const Modbus::IdentityObjects &identity);
    void removeDevice(uint16_t port, uint8_t unitId);
    // What a port answers about itself (the devices without a unit id).
    void setGatewayIdentity(const Modbus::IdentityObjects &identity) { m_gatewayIdentity = identity; }

    uint8_t readRegisters(uint16_t port, uint8_t unitId, uint16_t start, uint16_t quantity,
                          uint16_t *out) override;
    uint8_t identify(uint16_t port, uint8_t unitId, Modbus::IdentityObjects *objects) override;

    // Bytes held for register pages, for the memory figure of the benchmarks.
    size_t pageBytes() const;

private:
    static constexpr int PageBits = 8;
    static constexpr int PageSize = 1 << PageBits;
    struct SPage
    {
        std::array<uint16_t, PageSize> value {};
        std::array<uint32_t, PageSize> owner {}; // device id, 0: nobody
    };
    using SSpace = std::array<std::unique_ptr<SPage>, 65536 / PageSize>;
    struct SRoutes
    {
        std::bitset<256> units; // unit ids of devices on the port
        int plainDevices = 0; // devices without a unit id
    };
    static uint32_t key(uint16_t port, uint8_t unitId) { return (uint32_t(port) << 8) | unitId; }
    // The space a request's unit id reads from; false: exception 10.
    bool route(uint16_t port, uint8_t unitId, uint8_t *space) const;

    std::unordered_map<uint32_t, std::unique_ptr<SSpace>> m_spaces; // by key(port, unit)
    std::unordered_map<uint16_t, SRoutes> m_routes;
    std::unordered_map<uint32_t, Modbus::IdentityObjects> m_identities; // by key(port, unit)
    Modbus::IdentityObjects m_gatewayIdentity;
    std::unordered_set<uint32_t> m_failed;
    size_t m_pages = 0;
};
