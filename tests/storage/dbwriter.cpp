// Writes into "server.db" in the working directory until it is killed. Each
// line on standard output reports a call that has returned successfully:
//   registered <DevEUI>
//   saved <DevEUI> <value of the device's first register>

#include "app/logfile.h"
#include "storage/databasehandler.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

const int kDevices = 60000;
const QString kFirstEui = QStringLiteral("FFFFFFFFFFFFFFFF");

DB::SDeviceRegMapDescription deviceNumber(int n)
{
    DB::SDeviceRegMapDescription device;
    device.devEui = n == 0 ? kFirstEui : QStringLiteral("%1").arg(n, 16, 16, QLatin1Char('0')).toUpper();
    device.appEui = QStringLiteral("A1B2C3D400000001");
    device.devName = QStringLiteral("Device %1").arg(n);
    device.startAddr = 0;
    // Eight 16-bit, one 32-bit and one 64-bit register: 14 rows.
    for (uint32_t i = 0; i < 10; ++i) {
        SRegisterDescription reg;
        reg.name = QStringLiteral("R%1").arg(i);
        reg.source = 1;
        reg.offset = i < 8 ? i : (i == 8 ? 8 : 10);
        reg.bitSize = i < 8 ? 16 : (i == 8 ? 32 : 64);
        reg.dataType = QStringLiteral("uinteger");
        device.regList.append(reg);
    }
    return device;
}

bool save(CDataBaseHandler &db, const QString &devEui, int value)
{
    SDeviceRegisterData batch;
    batch.devEui = devEui;
    for (int offset = 0; offset < 14; ++offset) {
        const QString text = QStringLiteral("%1").arg(value & 0xFFFF, 4, 16, QLatin1Char('0'));
        batch.registers.append({ text, text, offset });
    }
    if (!db.saveRegisterData(batch))
        return false;
    std::printf("saved %s %d\n", qPrintable(devEui), value);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    CLogFile::getInstance(QStringLiteral("history.log"));

    CDataBaseHandler db(QStringLiteral("server.db"), QStringLiteral("writer"));
    if (db.failed())
        return 1;
    for (int n = 0; n < kDevices; ++n) {
        const DB::SDeviceRegMapDescription device = deviceNumber(n);
        if (!db.registerNewDevice(device, static_cast<uint16_t>(502 + n % 4)))
            return 2;
        std::printf("registered %s\n", qPrintable(device.devEui));
        std::fflush(stdout);
        if (!save(db, device.devEui, n) || !save(db, kFirstEui, n))
            return 3;
    }
    return 0;
}
