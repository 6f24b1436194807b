#pragma once

#include "modbus/modbusframe.h"

#include <cstdint>

// What the Modbus service reads registers and identities from.
class IRegisterSource
{
public:
    virtual ~IRegisterSource() = default;
    // Fills out[0..quantity) with the registers start..start+quantity-1 that the unit id addresses
    // on `port`; addresses nobody holds read 0. Returns 0, or the Modbus exception code to answer
    // with instead (4 when no register store is available; 10 when no device of the port answers
    // to the unit id; 11 reserved for a silent target device).
    virtual uint8_t readRegisters(uint16_t port, uint8_t unitId, uint16_t start, uint16_t quantity,
                                  uint16_t *out)
        = 0;
    // The identification objects of what the unit id addresses on `port`; returns 0, or the
    // exception code to answer with instead (as readRegisters).
    virtual uint8_t identify(uint16_t port, uint8_t unitId, Modbus::IdentityObjects *objects)
    {
        Q_UNUSED(port)
        Q_UNUSED(unitId)
        Q_UNUSED(objects)
        return Modbus::IllegalFunction;
    }
};
