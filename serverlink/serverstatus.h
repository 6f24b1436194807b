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

} // namespace COMM

Q_DECLARE_METATYPE(COMM::EServerStatus)
