#pragma once

// The gateway's shared vocabulary: file names, table and column names, JSON
// keys and commands, template keys, settings keys, value type names, formats.
// Every subsystem takes its literals from here.

#include <QString>

// Files and folders (all relative to the working directory)
inline const QString QS_GLOB_SETTINGS_FILE = QStringLiteral("settings.conf");
inline const QString QS_GLOB_LOG_FILE = QStringLiteral("history.log");
inline const QString QS_GLOB_DEVICE_FOLDER = QStringLiteral("deviceFolder");
inline const QString QS_GLOB_DB_FILE = QStringLiteral("server.db");
inline const QString QS_GLOB_DB_CONNECTION = QStringLiteral("server");
// Held while a gateway runs on the directory, so a second one refuses to start.
inline const QString QS_GLOB_LOCK_FILE = QStringLiteral("tidewell.lock");

// Product
inline const QString QS_GLOB_PRODUCT = QStringLiteral("Tidewell 1.0.2");
inline const QString QS_GLOB_BRAND = QStringLiteral("ORLA");
inline const QString QS_GLOB_COMPANY = QStringLiteral("meridian");

// Settings: group prefix and keys (stored as server/ip, server/port, ...)
inline const QString QS_SET_GROUP_SERVER = QStringLiteral("server/");
inline const QString QS_SET_IP = QStringLiteral("ip");
inline const QString QS_SET_PORT = QStringLiteral("port");
inline const QString QS_SET_LOGIN = QStringLiteral("login");
inline const QString QS_SET_PASSWORD = QStringLiteral("password");
// Later additions; a file without them means ws, reconnecting, no extra CA.
inline const QString QS_SET_SCHEME = QStringLiteral("scheme");
inline const QString QS_SET_RECONNECT = QStringLiteral("reconnect");
inline const QString QS_SET_CA_FILE = QStringLiteral("ca_file");
// Modbus service group: bind address and the connection cap over all ports.
inline const QString QS_SET_GROUP_MODBUS = QStringLiteral("modbus/");
inline const QString QS_SET_BIND = QStringLiteral("bind");
inline const QString QS_SET_MAX_CONNECTIONS = QStringLiteral("max_connections");

// Database tables
inline const QString QS_DB_TABLE_DEVICES = QStringLiteral("devices");
inline const QString QS_DB_TABLE_DEV_DATA = QStringLiteral("dev_data");

// Network server API: login exchange
inline const QString QS_API_CMD = QStringLiteral("cmd");
inline const QString QS_API_AUTH_REQ = QStringLiteral("auth_req");
inline const QString QS_API_AUTH_RESP = QStringLiteral("auth_resp");
inline const QString QS_API_LOGIN = QStringLiteral("login");
inline const QString QS_API_PASSWORD = QStringLiteral("password");
inline const QString QS_API_TOKEN = QStringLiteral("token");
inline const QString QS_API_STATUS = QStringLiteral("status");
inline const QString QS_API_ERR_STRING = QStringLiteral("err_string");

// Network server API: device list exchange
inline const QString QS_API_GET_DEVICES_REQ = QStringLiteral("get_devices_req");
inline const QString QS_API_GET_DEVICES_RESP = QStringLiteral("get_devices_resp");
inline const QString QS_API_SELECT = QStringLiteral("select");
inline const QString QS_API_APPEUI_LIST = QStringLiteral("appEui_list");
inline const QString QS_API_DEVICES_LIST = QStringLiteral("devices_list");
inline const QString QS_API_DEV_EUI = QStringLiteral("devEui");
inline const QString QS_API_DEV_NAME = QStringLiteral("devName");
inline const QString QS_API_OTAA = QStringLiteral("OTAA");
inline const QString QS_API_APP_EUI = QStringLiteral("appEui");

// Network server API: uplink data message
inline const QString QS_API_RX = QStringLiteral("rx");
inline const QString QS_API_TYPE = QStringLiteral("type");
inline const QString QS_API_TS = QStringLiteral("ts");
inline const QString QS_API_GATEWAY_ID = QStringLiteral("gatewayId");
inline const QString QS_API_ACK = QStringLiteral("ack");
inline const QString QS_API_FCNT = QStringLiteral("fcnt");
inline const QString QS_API_PORT = QStringLiteral("port");
inline const QString QS_API_DATA = QStringLiteral("data");
inline const QString QS_API_FREQ = QStringLiteral("freq");
inline const QString QS_API_DR = QStringLiteral("dr");
inline const QString QS_API_RSSI = QStringLiteral("rssi");
inline const QString QS_API_SNR = QStringLiteral("snr");

// Server data keywords (keys of QM_GLOB_SERVER_DATA)
inline const QString QS_SRV_DEV_EUI = QStringLiteral("devEui");
inline const QString QS_SRV_FCNT = QStringLiteral("fcnt");
inline const QString QS_SRV_GATEWAY_ID = QStringLiteral("gatewayId");
inline const QString QS_SRV_RSSI = QStringLiteral("rssi");
inline const QString QS_SRV_SNR = QStringLiteral("snr");
inline const QString QS_SRV_TS = QStringLiteral("ts");

// Value type names of template fields and server data
inline const QString QS_TYPE_TEXT = QStringLiteral("text");
inline const QString QS_TYPE_UINTEGER = QStringLiteral("uinteger");
inline const QString QS_TYPE_INTEGER = QStringLiteral("integer");
inline const QString QS_TYPE_BOOLEAN = QStringLiteral("boolean");
inline const QString QS_TYPE_FLOAT = QStringLiteral("float");

// Device template: top level keys
inline const QString QS_TPL_DEV_TYPE = QStringLiteral("dev_type");
inline const QString QS_TPL_APP_EUI = QStringLiteral("app_eui");
inline const QString QS_TPL_COLOR = QStringLiteral("color");
inline const QString QS_TPL_DEVICE_PACKETS = QStringLiteral("device_packets");
inline const QString QS_TPL_SERVER_DATA = QStringLiteral("server_data");
// Later additions: the longest expected silence of the type, and how Modbus
// reads of a silent device are answered ("exception": exception 11).
inline const QString QS_TPL_SILENT_AFTER = QStringLiteral("silent_after_s");
inline const QString QS_TPL_SILENT_ANSWER = QStringLiteral("silent_answer");
inline const QString QS_TPL_SILENT_EXCEPTION = QStringLiteral("exception");

// Device template: packet keys
inline const QString QS_TPL_PACKET_TYPE = QStringLiteral("packet_type");
inline const QString QS_TPL_PACKET_SIZE = QStringLiteral("packet_size");
inline const QString QS_TPL_PACKET_BIAS = QStringLiteral("packet_bias");
inline const QString QS_TPL_PACKET_FIELDS = QStringLiteral("packet_fields");

// Device template: field keys
inline const QString QS_TPL_DATA_NAME = QStringLiteral("data_name");
inline const QString QS_TPL_DATA_CODE = QStringLiteral("data_code");
inline const QString QS_TPL_DATA_TYPE = QStringLiteral("data_type");
inline const QString QS_TPL_DATA_BIT_SIZE = QStringLiteral("data_bit_size");
inline const QString QS_TPL_DATA_BIT_BIAS = QStringLiteral("data_bit_bias");
inline const QString QS_TPL_REG_BIT_SIZE = QStringLiteral("reg_bit_size");
inline const QString QS_TPL_REG_BIT_BIAS = QStringLiteral("reg_bit_bias");
inline const QString QS_TPL_REG_MAP_BIAS = QStringLiteral("reg_map_bias");
inline const QString QS_TPL_REG_WORD_ORDER = QStringLiteral("reg_word_order"); // optional
inline const QString QS_TPL_HIGH_FIRST = QStringLiteral("high_first");
inline const QString QS_TPL_LOW_FIRST = QStringLiteral("low_first");

// Formats
inline const QString QS_GLOB_DATETIME_FORMAT = QStringLiteral("dd-MMM-yy HH:mm:ss");
