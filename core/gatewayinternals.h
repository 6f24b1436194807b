#pragma once

// The gateway's parts, for tests, benchmarks and tools that drive one part
// directly. Front ends (gui/, web/) use the gateway's own face only; the
// include check of scripts/check-includes refuses this header there.

#include "core/gateway.h"
#include "devices/alldevicehandler.h"
#include "modbus/modbusservice.h"
#include "serverlink/serverhandler.h"
#include "storage/databasehandler.h"

struct CGatewayInternals
{
    static CDataBaseHandler &store(CGateway &gateway) { return *gateway.m_store; }
    static CServerHandler &session(CGateway &gateway) { return *gateway.m_session; }
    static CAllDeviceHandler &registry(CGateway &gateway) { return *gateway.m_registry; }
    static CModbusService &modbus(CGateway &gateway) { return *gateway.m_modbus; }
};
