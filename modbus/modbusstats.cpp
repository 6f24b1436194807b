#include "modbus/modbusstats.h"

#include "modbus/modbusframe.h"

namespace Modbus {

void SStatistics::countRequest(uint8_t functionCode)
{
    if (functionCode == ReadHoldingRegisters)
        readHoldingRequests.fetch_add(1, std::memory_order_relaxed);
    else if (functionCode == ReadInputRegisters)
        readInputRequests.fetch_add(1, std::memory_order_relaxed);
    else
        otherRequests.fetch_add(1, std::memory_order_relaxed);
}

SStatistics &statistics()
{
    static SStatistics counters;
    return counters;
}

} // namespace Modbus
