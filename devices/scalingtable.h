#pragma once

#include "storage/dbrecords.h"

#include <QString>

#include <cstdint>
#include <unordered_map>
#include <vector>

// Every stored register's scaling (multiplier, extra value, unit) by device
// id and address, in memory: decoding takes its scaling from here instead of
// asking the store once per register. The gateway fills it in the same pass
// over the store that builds the register image, and keeps it current when a
// device is registered or deleted and when its scaling is edited.
//
// Used from the thread that owns it only.
class CScalingTable
{
public:
    // Replaces every register of the device.
    void setDevice(uint32_t device, std::vector<SRegisterParam> registers);
    void removeDevice(uint32_t device);
    void clear() { m_devices.clear(); }

    // The scaling of the device's register at `address`; null when the store
    // holds no such register.
    const SRegisterParam *find(uint32_t device, uint32_t address) const;

    size_t deviceCount() const { return m_devices.size(); }

private:
    // by device id; each device's registers sorted by address
    std::unordered_map<uint32_t, std::vector<SRegisterParam>> m_devices;
};
