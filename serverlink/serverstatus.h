#pragma once

#include <QMetaType>

namespace COMM {

// Connection status of the network server session, as shown to the operator.
enum EServerStatus {
    SUCCESS = 0,
    PING_WAITING = 1,
    INVALID_PING = 2,
    AUTH_WAITING = 3,
    INVALID_AUTH = 4,
    DISCONNECTED = 5,
};

// The status as the window shows it and the log records it.
inline const char *statusText(EServerStatus status)
{
    switch (status) {
    case SUCCESS:
        return "SUCCESS";
    case PING_WAITING:
        return "PING WAITING";
    case INVALID_PING:
        return "INVALID PING";
    case AUTH_WAITING:
        return "AUTH WAITING";
    case INVALID_AUTH:
        return "INVALID AUTH";
    case DISCONNECTED:
        return "DISCONNECTED";
    }
    return "";
}

} // namespace COMM

Q_DECLARE_METATYPE(COMM::EServerStatus)
