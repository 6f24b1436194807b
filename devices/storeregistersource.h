#pragma once

#include "modbus/modbuslog.h"
#include "modbus/registersource.h"

class CDataBaseHandler;

// The register store as the Modbus listeners see it.
class CStoreRegisterSource : public IRegisterSource
{
public:
    // `store` may be null or failed: every read is then a server device failure.
    explicit CStoreRegisterSource(CDataBaseHandler *store = nullptr);

    void setStore(CDataBaseHandler *store) { m_store = store; }
    CDataBaseHandler *store() const { return m_store; }

    uint8_t readRegisters(uint16_t port, uint16_t start, uint16_t quantity, uint16_t *out) override;

private:
    CDataBaseHandler *m_store = nullptr;
    // Every client's read would otherwise log the missing store again.
    CLogLimiter m_logLimiter { QStringLiteral("[CConnectionHandler] Register store:") };
};
