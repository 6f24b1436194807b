#include "modbus/registerimage.h"

#include <algorithm>

uint32_t CRegisterImage::owner(uint16_t port, uint16_t address) const
{
    const auto it = m_ports.find(port);
    if (it == m_ports.end())
        return 0;
    const std::unique_ptr<SPage> &page = (*it->second)[address >> PageBits];
    return page ? page->owner[address & (PageSize - 1)] : 0;
}

uint32_t CRegisterImage::put(uint16_t port, uint32_t address, uint32_t device, uint16_t value)
{
    if (address > 0xFFFF)
        return 0;
    std::unique_ptr<SPort> &slot = m_ports[port];
    if (!slot)
        slot = std::make_unique<SPort>();
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

void CRegisterImage::update(uint16_t port, uint32_t address, uint32_t device, uint16_t value)
{
    if (address > 0xFFFF)
        return;
    const auto it = m_ports.find(port);
    if (it == m_ports.end())
        return;
    SPage *page = (*it->second)[address >> PageBits].get();
    const uint32_t cell = address & (PageSize - 1);
    if (page && page->owner[cell] == device)
        page->value[cell] = value;
}

void CRegisterImage::clearPort(uint16_t port)
{
    const auto it = m_ports.find(port);
    if (it == m_ports.end())
        return;
    for (const std::unique_ptr<SPage> &page : *it->second)
        m_pages -= page ? 1 : 0;
    m_ports.erase(it);
}

void CRegisterImage::clear()
{
    m_ports.clear();
    m_pages = 0;
}

void CRegisterImage::setDeviceFailed(uint32_t device, bool failed)
{
    if (failed)
        m_failed.insert(device);
    else
        m_failed.erase(device);
}

uint8_t CRegisterImage::readRegisters(uint16_t port, uint16_t start, uint16_t quantity, uint16_t *out)
{
    std::fill(out, out + quantity, uint16_t(0));
    const auto it = m_ports.find(port);
    if (it == m_ports.end())
        return 0;
    const SPort &pages = *it->second;
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

size_t CRegisterImage::pageBytes() const
{
    return m_pages * sizeof(SPage);
}
