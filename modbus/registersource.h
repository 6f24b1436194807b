#pragma once

#include <cstdint>

// What the Modbus service reads registers from.
class IRegisterSource
{
public:
    virtual ~IRegisterSource() = default;
    // Fills out[0..quantity) with the registers start..start+quantity-1 served on `port`; addresses
    // nobody holds read 0. Returns 0, or the Modbus exception code to answer with instead
    // (4 when no register store is available; 11 reserved for a silent target device).
    virtual uint8_t readRegisters(uint16_t port, uint16_t start, uint16_t quantity, uint16_t *out) = 0;
};
