// tidewell-demoseed DIR BASEPORT: registers sample devices in DIR/server.db,
// taking their register maps from the templates in DIR/deviceFolder, the way
// the add dialog does. Devices already stored are left alone. Prints one line
// per registered device, fields separated by "|": DevEUI, name, device type,
// TCP port, start register, number of registers.
#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "storage/databasehandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QSqlDatabase>

#include <cstdio>

namespace {

struct SSeed
{
    const char *devEui;
    const char *name;
    const char *appEui;
    int portOffset;
    int startAddr;
};

// Two devices share a port where their types match; the gas meter is left
// for the operator to add.
const SSeed seeds[] = {
    { "0011223344550001", "Boiler room", "A1B2C3D400000001", 0, 0 },
    { "0011223344550002", "Cold store", "A1B2C3D400000001", 0, 20 },
    { "0011223344550003", "Water meter", "A1B2C3D400000002", 1, 0 },
    { "0011223344550005", "Dock beacon", "A1B2C3D400000003", 2, 0 },
};

// Units as a site would set them in the add dialog.
QString unitFor(const QString &registerName)
{
    static const QHash<QString, QString> units = {
        { QStringLiteral("Temperature"), QStringLiteral("0.01 \u00b0C") },
        { QStringLiteral("Humidity"), QStringLiteral("%") },
        { QStringLiteral("Battery"), QStringLiteral("mV") },
        { QStringLiteral("RSSI"), QStringLiteral("dBm") },
        { QStringLiteral("SNR"), QStringLiteral("dB") },
        { QStringLiteral("Counter A"), QStringLiteral("l") },
        { QStringLiteral("Counter B"), QStringLiteral("l") },
    };
    return units.value(registerName);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool portOk = false;
    const int basePort = args.value(2).toInt(&portOk);
    if (args.size() != 3 || !portOk || basePort < 1 || basePort > 65533) {
        std::fprintf(stderr, "usage: tidewell-demoseed DIR BASEPORT\n");
        return 2;
    }
    if (!QDir::setCurrent(args.at(1))) {
        std::fprintf(stderr, "tidewell-demoseed: no directory %s\n", qPrintable(args.at(1)));
        return 2;
    }

    CLogFile::getInstance(QStringLiteral("history.log"));
    int failures = 0;
    {
        CAllDeviceHandler catalogue;
        CDataBaseHandler store(QStringLiteral("server.db"), QStringLiteral("demoseed"));
        if (store.failed())
            return 1;
        const QStringList stored = store.getRegisteredDevices();
        for (const SSeed &seed : seeds) {
            DB::SDeviceRegMapDescription device;
            device.devEui = QString::fromLatin1(seed.devEui);
            device.devName = QString::fromLatin1(seed.name);
            device.appEui = QString::fromLatin1(seed.appEui);
            device.startAddr = seed.startAddr;
            device.regList = catalogue.getDeviceRegisterMap(device.appEui).registers;
            for (SRegisterDescription &reg : device.regList)
                reg.unit = unitFor(reg.name);
            const int port = basePort + seed.portOffset;
            if (device.regList.isEmpty()) {
                std::fprintf(stderr, "tidewell-demoseed: no template for %s\n", seed.appEui);
                ++failures;
                continue;
            }
            if (stored.contains(device.devEui))
                continue;
            if (!store.registerNewDevice(device, static_cast<uint16_t>(port))) {
                ++failures;
                continue;
            }
            uint32_t count = 0;
            for (const SRegisterDescription &reg : qAsConst(device.regList))
                count = qMax(count, reg.offset + (reg.bitSize + 15) / 16);
            std::printf("%s|%s|%s|%d|%d|%u\n", seed.devEui, seed.name,
                        qPrintable(catalogue.getDeviceTypeInfo(device.appEui).devType), port, seed.startAddr,
                        count);
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("demoseed"));
    return failures ? 1 : 0;
}
