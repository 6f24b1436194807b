#pragma once

#include "modbus/registersource.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>

// The served registers of every port in memory, as the register store holds
// them: Modbus reads are answered from here and never wait for the database.
// Where two devices on one port claim an address, the one registered later
// (the larger device id) is served, as the store's row order gives.
//
// Used from the thread that owns it only.
class CRegisterImage : public IRegisterSource
{
public:
    // Exception answered for a read that touches a failed device's registers:
    // gateway target device failed to respond.
    static constexpr uint8_t TargetFailed = 11;

    // Takes the value of a register held by `device`; where a device
    // registered later holds the address, the value stays hidden behind it.
    // Addresses above 65535 cannot be served and are ignored.
    // Returns the other device that holds the address as well (0: none).
    uint32_t put(uint16_t port, uint32_t address, uint32_t device, uint16_t value);
    // The device served at the address (0: nobody).
    uint32_t owner(uint16_t port, uint16_t address) const;
    // An uplink's new value: taken only where the device holds the address,
    // so a register the store has no row for is not served either.
    void update(uint16_t port, uint32_t address, uint32_t device, uint16_t value);
    // Forgets every register of the port, before it is built again.
    void clearPort(uint16_t port);
    void clear();
    // Reads touching the device's registers answer TargetFailed while set.
    void setDeviceFailed(uint32_t device, bool failed);

    uint8_t readRegisters(uint16_t port, uint16_t start, uint16_t quantity, uint16_t *out) override;

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
    using SPort = std::array<std::unique_ptr<SPage>, 65536 / PageSize>;

    std::unordered_map<uint16_t, std::unique_ptr<SPort>> m_ports;
    std::unordered_set<uint32_t> m_failed;
    size_t m_pages = 0;
};
