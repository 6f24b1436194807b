#include "modbus/modbuslog.h"

Q_LOGGING_CATEGORY(lcModbus, "tidewell.modbus", QtInfoMsg)
