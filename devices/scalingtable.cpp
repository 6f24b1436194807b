#include "devices/scalingtable.h"

#include <algorithm>

void CScalingTable::setDevice(uint32_t device, std::vector<SRegisterParam> registers)
{
    std::sort(registers.begin(), registers.end(),
              [](const SRegisterParam &a, const SRegisterParam &b) { return a.regAddr < b.regAddr; });
    registers.shrink_to_fit();
    m_devices[device] = std::move(registers);
}

void CScalingTable::removeDevice(uint32_t device)
{
    m_devices.erase(device);
}

const SRegisterParam *CScalingTable::find(uint32_t device, uint32_t address) const
{
    const auto it = m_devices.find(device);
    if (it == m_devices.end())
        return nullptr;
    const std::vector<SRegisterParam> &registers = it->second;
    const auto at = std::lower_bound(registers.begin(), registers.end(), address,
                                     [](const SRegisterParam &reg, uint32_t a) { return reg.regAddr < a; });
    return at != registers.end() && at->regAddr == address ? &*at : nullptr;
}
