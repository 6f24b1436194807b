#pragma once

// The two stored tables' columns, by name and position, as their CREATE TABLE
// statements (storage/databasehandler.cpp) define them. The store builds its
// statements from these names, and every reader of a row (the store, the
// register and device views, the dialogs) takes a column by these positions.

#include <QLatin1String>

#include <cstddef>

namespace DB {

// QLatin1String's constructor from a bare pointer runs strlen, which only
// some compilers accept in a constant expression; the length is known here.
template<std::size_t N> constexpr QLatin1String latin1(const char (&text)[N])
{
    return QLatin1String(text, int(N - 1));
}

// Columns of the devices table, in stored order.
enum EDeviceColumn {
    DEV_COL_ID = 0, // device
    DEV_COL_NAME,
    DEV_COL_APP_EUI,
    DEV_COL_DEV_EUI,
    DEV_COL_PORT,
    DEV_COL_START_ADDR,
    DEV_COL_COUNT
};

// Columns of the dev_data table (one row per Modbus register), in stored order.
enum ERegisterColumn {
    REG_COL_DEVICE = 0,
    REG_COL_PORT,
    REG_COL_ADDR, // reg_addr
    REG_COL_START_VALUE, // extra value, added after multiplying
    REG_COL_GRATING_PERIOD, // multiplier
    REG_COL_BIT_SIZE,
    REG_COL_DATA_TYPE,
    REG_COL_VALUE, // hex of this one register
    REG_COL_FULL_VALUE, // hex of the whole value, on the field's first register
    REG_COL_TIME, // ms since the epoch of the last write
    REG_COL_NAME,
    REG_COL_UNIT,
    REG_COL_PARENT, // 1: a field's first register, 0: a continuation
    REG_COL_SOURCE, // 1: payload field, 0: value supplied by the server
    REG_COL_COUNT
};

inline constexpr QLatin1String DEVICES_COLUMNS[] = {
    latin1("device"),  latin1("name"), latin1("app_eui"),
    latin1("dev_eui"), latin1("port"), latin1("start_addr"),
};

inline constexpr QLatin1String DEV_DATA_COLUMNS[] = {
    latin1("device"),         latin1("port"),     latin1("reg_addr"),  latin1("start_value"),
    latin1("grating_period"), latin1("bit_size"), latin1("data_type"), latin1("value"),
    latin1("full_value"),     latin1("time"),     latin1("name"),      latin1("unit"),
    latin1("parent"),         latin1("source"),
};

// The table of Modbus unit ids, apart from the two tables above so that they
// keep their layout: one row per device that has a unit id (1..247).
inline constexpr QLatin1String UNITS_TABLE = latin1("modbus_units");
inline constexpr QLatin1String UNITS_DEVICE = latin1("device");
inline constexpr QLatin1String UNITS_UNIT_ID = latin1("unit_id");
// The device listing (CDataBaseHandler::getDevices) carries the devices
// table's columns and then the unit id (NULL: none).
inline constexpr int DEV_LIST_COL_UNIT_ID = DEV_COL_COUNT;

static_assert(std::size(DEVICES_COLUMNS) == DEV_COL_COUNT, "devices: one name per column");
static_assert(std::size(DEV_DATA_COLUMNS) == REG_COL_COUNT, "dev_data: one name per column");

inline constexpr QLatin1String column(EDeviceColumn c)
{
    return DEVICES_COLUMNS[c];
}

inline constexpr QLatin1String column(ERegisterColumn c)
{
    return DEV_DATA_COLUMNS[c];
}

} // namespace DB
