#include "modbus/modbusconfig.h"

#include "app/constants.h"
#include "app/logfile.h"
#include "app/settingscheck.h"
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

// IPv4-mapped IPv6 (::ffff:a.b.c.d) as the IPv4 address it carries; the
// prefix length goes with it.
QHostAddress plain(const QHostAddress &address, int *prefix = nullptr)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    if (!isIpv4 || (prefix && *prefix < 96))
        return address;
    if (prefix)
        *prefix -= 96;
    return QHostAddress(ipv4);
}

// One entry of [modbus] allow: an address, or a range as address/prefix.
bool parseAllowEntry(const QString &text, QPair<QHostAddress, int> *entry)
{
    QHostAddress address;
    int prefix = -1;
    if (text.contains(QLatin1Char('/'))) {
        const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(text);
        if (subnet.first.isNull() || subnet.second < 0)
            return false;
        address = subnet.first;
        prefix = subnet.second;
    } else {
        if (!address.setAddress(text) || !address.scopeId().isEmpty())
            return false;
        prefix = address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    }
    address = plain(address, &prefix);
    *entry = { address, prefix };
    return true;
}

// The entries of [modbus] allow as read: an unquoted list reads as a string
// list, whose toString() is empty; a quoted one as one string with the
// commas inside.
QStringList allowEntries(const QStringList &parts)
{
    QStringList entries;
    for (const QString &part : parts)
        for (const QString &entry : part.split(QLatin1Char(',')))
            if (!entry.trimmed().isEmpty())
                entries << entry.trimmed();
    return entries;
}

// Why the list cannot be used (naming the entry); empty when it can.
QString allowProblem(const QStringList &entries, QList<QPair<QHostAddress, int>> *parsed)
{
    for (const QString &text : entries) {
        QPair<QHostAddress, int> entry;
        if (!parseAllowEntry(text, &entry))
            return QStringLiteral("invalid entry \"%1\"").arg(text);
        if (parsed)
            *parsed << entry;
    }
    return QString();
}

} // namespace

void addSettingsRules()
{
    SettingsCheck::addKeyRules(
        { { QStringLiteral("modbus"), QStringLiteral("allow"), true,
            [](const QString &value) { return allowProblem(allowEntries({ value }), nullptr); } } });
}

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
    const QString allowKey = QStringLiteral("allow");
    if (settings.contains(allowKey)) {
        // An empty value reads as a missing key, as every key of the file does.
        const QStringList entries = allowEntries(settings.value(allowKey).toStringList());
        config.restricted = !entries.isEmpty();
        const QString problem = allowProblem(entries, &config.allow);
        if (!problem.isEmpty()) {
            config.allowError = QStringLiteral("[modbus] allow: ") + problem;
            config.allow.clear();
        }
    }
    settings.endGroup();
    return config;
}

bool isAllowed(const SModbusConfig &config, const QHostAddress &peer)
{
    if (!config.restricted)
        return true;
    const QHostAddress address = plain(peer);
    for (const auto &entry : config.allow)
        if (address.isInSubnet(entry.first, entry.second))
            return true;
    return false;
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
