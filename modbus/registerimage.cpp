#include "modbus/registerimage.h"

#include <algorithm>

uint32_t CRegisterImage::owner(uint16_t port, uint8_t unitId, uint16_t address) const
{
    const auto it = m_spaces.find(key(port, unitId));
    if (it == m_spaces.end())
        return 0;
    const std::unique_ptr<SPage> &page = (*it->second)[address >> PageBits];
    return page ? page->owner[address & (PageSize - 1)] : 0;
}

uint32_t CRegisterImage::put(uint16_t port, uint8_t unitId, uint32_t address, uint32_t device, uint16_t value)
{
    if (address > 0xFFFF)
        return 0;
    std::unique_ptr<SSpace> &slot = m_spaces[key(port, unitId)];
    if (!slot)
        slot = std::make_unique<SSpace>();
    std::unique_ptr<SPage> &page = (*slot)[address >> PageBits];
    if (!page) {
        page = std::make_unique<SPage>();
        ++m_pages;
    }
    const uint32_t cell = address & (PageSize - 1);
    const uint32_t other = page->owner[cell] != device ? page->owner[cell] : 0;
    if (page->owner[cell] > device)
        return other;
    page->owner[cell] = device;
    page->value[cell] = value;
    return other;
}

void CRegisterImage::update(uint16_t port, uint8_t unitId, uint32_t address, uint32_t device, uint16_t value)
{
    if (address > 0xFFFF)
        return;
    const auto it = m_spaces.find(key(port, unitId));
    if (it == m_spaces.end())
        return;
    SPage *page = (*it->second)[address >> PageBits].get();
    const uint32_t cell = address & (PageSize - 1);
    if (page && page->owner[cell] == device)
        page->value[cell] = value;
}

void CRegisterImage::clearPort(uint16_t port)
{
    for (auto it = m_spaces.begin(); it != m_spaces.end();) {
        if ((it->first >> 8) != port) {
            ++it;
            continue;
        }
        for (const std::unique_ptr<SPage> &page : *it->second)
            m_pages -= page ? 1 : 0;
        it = m_spaces.erase(it);
    }
}

void CRegisterImage::clear()
{
    m_spaces.clear();
    m_pages = 0;
}

void CRegisterImage::setDeviceFailed(uint32_t device, bool failed)
{
    if (failed)
        m_failed.insert(device);
    else
        m_failed.erase(device);
}

void CRegisterImage::addDevice(uint16_t port, uint8_t unitId, const Modbus::IdentityObjects &identity)
{
    SRoutes &routes = m_routes[port];
    if (unitId == 0) {
        ++routes.plainDevices;
        return;
    }
    routes.units.set(unitId);
    m_identities[key(port, unitId)] = identity;
}

void CRegisterImage::removeDevice(uint16_t port, uint8_t unitId)
{
    const auto it = m_routes.find(port);
    if (it == m_routes.end())
        return;
    if (unitId == 0)
        it->second.plainDevices = std::max(0, it->second.plainDevices - 1);
    else
        it->second.units.reset(unitId);
    m_identities.erase(key(port, unitId));
    if (it->second.plainDevices == 0 && it->second.units.none())
        m_routes.erase(it);
}

bool CRegisterImage::route(uint16_t port, uint8_t unitId, uint8_t *space) const
{
    *space = 0;
    const auto it = m_routes.find(port);
    // A port without devices serves what it holds, as it always did.
    if (it == m_routes.end())
        return true;
    if (isDeviceUnitId(unitId) && it->second.units.test(unitId)) {
        *space = unitId;
        return true;
    }
    return it->second.plainDevices > 0 || it->second.units.none();
}

uint8_t CRegisterImage::readRegisters(uint16_t port, uint8_t unitId, uint16_t start, uint16_t quantity,
                                      uint16_t *out)
{
    std::fill(out, out + quantity, uint16_t(0));
    uint8_t space = 0;
    if (!route(port, unitId, &space))
        return Modbus::GatewayPathUnavailable;
    const auto it = m_spaces.find(key(port, space));
    if (it == m_spaces.end())
        return 0;
    const SSpace &pages = *it->second;
    const uint32_t end = std::min<uint32_t>(uint32_t(start) + quantity, 0x10000);
    for (uint32_t address = start; address < end;) {
        const uint32_t pageEnd = std::min<uint32_t>((address | (PageSize - 1)) + 1, end);
        const SPage *page = pages[address >> PageBits].get();
        if (page) {
            const uint32_t first = address & (PageSize - 1);
            const uint32_t count = pageEnd - address;
            std::copy_n(page->value.data() + first, count, out + (address - start));
            if (!m_failed.empty())
                for (uint32_t i = 0; i < count; ++i)
                    if (page->owner[first + i] && m_failed.count(page->owner[first + i]))
                        return TargetFailed;
        }
        address = pageEnd;
    }
    return 0;
}

uint8_t CRegisterImage::identify(uint16_t port, uint8_t unitId, Modbus::IdentityObjects *objects)
{
    uint8_t space = 0;
    if (!route(port, unitId, &space))
        return Modbus::GatewayPathUnavailable;
    const auto it = space == 0 ? m_identities.end() : m_identities.find(key(port, space));
    *objects = it == m_identities.end() ? m_gatewayIdentity : it->second;
    return 0;
}

size_t CRegisterImage::pageBytes() const
{
    return m_pages * sizeof(SPage);
}
