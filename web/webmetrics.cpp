#include "web/webmetrics.h"

#include "core/gateway.h"

#include <QCoreApplication>
#include <QDateTime>

namespace WebMetrics {

namespace {

QByteArray labelValue(const QString &text)
{
    QByteArray value = text.toUtf8();
    value.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return value;
}

void family(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

void sample(QByteArray &out, const char *name, const QByteArray &labels, quint64 value)
{
    out += name;
    if (!labels.isEmpty())
        out += '{' + labels + '}';
    out += ' ' + QByteArray::number(value) + '\n';
}

} // namespace

QByteArray text(const CGateway &gateway, bool perDevice)
{
    const SGatewayCounters counters = gateway.counters();
    int silent = 0;
    int active = 0;
    const QList<SRegisteredDevice> devices = gateway.devices();
    for (const SRegisteredDevice &device : devices)
        (device.silentSinceMs >= 0 ? silent : active) += 1;
    int connections = 0;
    for (int count : counters.connectionsByPort)
        connections += count;

    QByteArray out;
    family(out, "tidewell_build_info", "gauge", "The running version.");
    sample(out, "tidewell_build_info",
           "version=\"" + labelValue(QCoreApplication::applicationVersion()) + '"', 1);
    family(out, "tidewell_server_connected", "gauge", "1 while logged in to the network server.");
    sample(out, "tidewell_server_connected", {}, gateway.serverStatus() == COMM::SUCCESS ? 1 : 0);
    family(out, "tidewell_server_reconnects_total", "counter",
           "Reconnection attempts to the network server.");
    sample(out, "tidewell_server_reconnects_total", {}, counters.serverReconnects);
    family(out, "tidewell_uplinks_total", "counter", "Uplinks of registered devices, decoded or rejected.");
    sample(out, "tidewell_uplinks_total", "result=\"decoded\"", counters.uplinksDecoded);
    sample(out, "tidewell_uplinks_total", "result=\"rejected\"", counters.uplinksRejected);
    family(out, "tidewell_devices", "gauge", "Registered devices by state.");
    sample(out, "tidewell_devices", "state=\"active\"", quint64(active));
    sample(out, "tidewell_devices", "state=\"silent\"", quint64(silent));
    family(out, "tidewell_modbus_connections", "gauge", "Open Modbus TCP connections.");
    sample(out, "tidewell_modbus_connections", {}, quint64(connections));
    family(out, "tidewell_modbus_connections_rejected_total", "counter",
           "Modbus connections closed at once because the connection cap was reached.");
    sample(out, "tidewell_modbus_connections_rejected_total", {}, counters.modbusRejectedConnections);
    family(out, "tidewell_modbus_requests_total", "counter", "Modbus requests by function code.");
    sample(out, "tidewell_modbus_requests_total", "function=\"3\"", counters.modbusReadHolding);
    sample(out, "tidewell_modbus_requests_total", "function=\"4\"", counters.modbusReadInput);
    sample(out, "tidewell_modbus_requests_total", "function=\"other\"", counters.modbusOtherRequests);
    family(out, "tidewell_modbus_exceptions_total", "counter", "Modbus exception answers by exception code.");
    QMap<int, quint64> exceptions = counters.modbusExceptions;
    for (int code : { 1, 2, 3, 10, 11 })
        if (!exceptions.contains(code))
            exceptions.insert(code, 0);
    for (auto it = exceptions.cbegin(); it != exceptions.cend(); ++it)
        sample(out, "tidewell_modbus_exceptions_total", "code=\"" + QByteArray::number(it.key()) + '"',
               it.value());
    if (perDevice) {
        family(out, "tidewell_device_last_uplink_timestamp_seconds", "gauge",
               "Time of the device's last stored uplink, seconds since the epoch.");
        for (const SRegisteredDevice &device : devices)
            if (device.lastUplinkMs >= 0)
                out += "tidewell_device_last_uplink_timestamp_seconds{dev_eui=\"" + labelValue(device.devEui)
                    + "\"} " + QByteArray::number(double(device.lastUplinkMs) / 1000.0, 'f', 3) + '\n';
    }
    return out;
}

QString unhealthy(const CGateway &gateway, qint64 nowMs)
{
    if (nowMs < 0)
        nowMs = QDateTime::currentMSecsSinceEpoch();
    if (gateway.failed())
        return QStringLiteral("the register store is not usable");
    for (const SRegisteredDevice &device : gateway.devices())
        if (!device.served)
            return QStringLiteral("Modbus port %1 of device %2 is not open")
                .arg(device.port)
                .arg(device.devEui);
    const COMM::EServerStatus status = gateway.serverStatus();
    if (status == COMM::SUCCESS)
        return QString();
    const qint64 lost = gateway.serverLinkLostMs();
    if (lost < 0)
        return QStringLiteral("not logged in to the network server (%1)")
            .arg(QLatin1String(COMM::statusText(status)));
    if (gateway.serverWaitsForOperator() || nowMs - lost >= ReconnectGraceMs)
        return QStringLiteral("network server link lost %1 s ago (%2)")
            .arg((nowMs - lost) / 1000)
            .arg(QLatin1String(COMM::statusText(status)));
    return QString();
}

} // namespace WebMetrics
