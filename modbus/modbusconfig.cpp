#include "modbus/modbusconfig.h"

#include "app/constants.h"
#include "app/logfile.h"
#include "modbus/connectionhandler.h"
#include "modbus/devicehandler.h"

#include <QSettings>

#include <algorithm>
#include <limits>

#include <sys/resource.h>

namespace Modbus {

namespace {

// Descriptors the process keeps for another service; like the open-file
// limit itself, a matter of the whole process.
int &setAside()
{
    static int count = 0;
    return count;
}

long long softOpenFileLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    return limit.rlim_cur == RLIM_INFINITY ? std::numeric_limits<int>::max() : (long long)limit.rlim_cur;
}

} // namespace

long long raiseOpenFileLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0)
            addLog(QStringLiteral("WARNING: [Modbus::raiseOpenFileLimit] Open file limit stays at [%1]")
                       .arg(qulonglong(limit.rlim_cur)));
    }
    return softOpenFileLimit();
}

SModbusConfig configFromSettings(QSettings &settings)
{
    SModbusConfig config;
    settings.beginGroup(QS_SET_GROUP_MODBUS.chopped(1));
    const QString &maxKey = QS_SET_MAX_CONNECTIONS;
    if (settings.contains(maxKey)) {
        bool ok = false;
        const int value = settings.value(maxKey).toInt(&ok);
        if (ok && value > 0)
            config.maxConnections = value;
        else
            addLog(
                QStringLiteral("WARNING: [Modbus::configFromSettings] Invalid [modbus] max_connections [%1], "
                               "using [%2]")
                    .arg(settings.value(maxKey).toString())
                    .arg(config.maxConnections));
    }
    const QString &bindKey = QS_SET_BIND;
    if (settings.contains(bindKey)) {
        const QString text = settings.value(bindKey).toString().trimmed();
        QHostAddress address;
        if (address.setAddress(text))
            config.bindAddress = address;
        else
            addLog(
                QStringLiteral("WARNING: [Modbus::configFromSettings] Invalid [modbus] bind [%1], listening "
                               "on all interfaces")
                    .arg(text));
    }
    settings.endGroup();
    return config;
}

void setDescriptorsSetAside(int count)
{
    setAside() = std::max(0, count);
}

int effectiveMaxConnections(int configured)
{
    const long long soft = softOpenFileLimit();
    if (soft < 0)
        return configured;
    const long long room = soft - ReservedDescriptors - setAside() - CDeviceHandler::openListeners();
    return int(std::max<long long>(1, std::min<long long>(configured, room)));
}

} // namespace Modbus
