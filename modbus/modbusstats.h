#pragma once

#include <array>
#include <atomic>
#include <cstdint>

// What the Modbus service has done since start, for monitoring: requests by
// function, exceptions answered by code, connections refused at the cap.
// Counted where each happens; relaxed atomics, read from any thread.
namespace Modbus {

struct SStatistics
{
    std::atomic<uint64_t> readHoldingRequests { 0 };
    std::atomic<uint64_t> readInputRequests { 0 };
    std::atomic<uint64_t> otherRequests { 0 };
    std::array<std::atomic<uint64_t>, 256> exceptions {};
    std::atomic<uint64_t> rejectedConnections { 0 };

    void countRequest(uint8_t functionCode);
    void countException(uint8_t code) { exceptions[code].fetch_add(1, std::memory_order_relaxed); }
};

SStatistics &statistics();

} // namespace Modbus
