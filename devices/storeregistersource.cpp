#include "devices/storeregistersource.h"

#include "modbus/modbusframe.h"
#include "storage/databasehandler.h"

CStoreRegisterSource::CStoreRegisterSource(CDataBaseHandler *store)
    : m_store(store)
{
}

uint8_t CStoreRegisterSource::readRegisters(uint16_t port, uint16_t start, uint16_t quantity, uint16_t *out)
{
    if (!m_store || m_store->failed()) {
        m_logLimiter.log(
            QStringLiteral("ERROR: [CConnectionHandler] Register store is not available. Request for port "
                           "[%1] is answered with an exception")
                .arg(port));
        return Modbus::ServerDeviceFailure;
    }
    if (quantity == 0)
        return 0;
    const QMap<uint16_t, uint16_t> registers = m_store->getRegisterData(port, start, quantity);
    // A successful query has a key for every address; none means it failed
    // (the store has logged why).
    if (registers.isEmpty())
        return Modbus::ServerDeviceFailure;
    for (uint16_t i = 0; i < quantity; ++i)
        out[i] = registers.value(uint16_t(start + i));
    return 0;
}
