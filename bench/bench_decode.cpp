// Uplink decoding into the register store: uplinks of a template with 10
// registers per packet go through the registry's entry point into a
// "server.db" of 1,000 devices x 20 registers. Build in Release; it works in a
// temporary directory. Usage: bench_decode [uplinks]

#include "app/globaldata.h"
#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "storage/databasehandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

const int kDevices = 1000;
const int kFields = 10;
const QString kAppEui = QStringLiteral("A1B2C3D4000000BE");

// Packet 1 fills registers 0..9, packet 2 registers 10..19: 20 registers per
// device, 10 per uplink. Fields alternate signed and unsigned 16-bit values.
void writeTemplate()
{
    QJsonArray packets;
    for (int type = 1; type <= 2; ++type) {
        QJsonArray fields;
        for (int f = 0; f < kFields; ++f) {
            fields.append(
                QJsonObject { { "packet_bias", 1 + 2 * f },
                              { "data_bit_bias", 0 },
                              { "data_bit_size", 16 },
                              { "data_type", f % 2 ? "integer" : "uinteger" },
                              { "reg_map_bias", (type - 1) * kFields + f },
                              { "reg_bit_bias", 0 },
                              { "reg_bit_size", 16 },
                              { "data_name", QStringLiteral("Value %1").arg((type - 1) * kFields + f) } });
        }
        packets.append(QJsonObject {
            { "packet_type", type }, { "packet_size", 1 + 2 * kFields }, { "packet_fields", fields } });
    }
    QDir().mkpath(QStringLiteral("deviceFolder"));
    QFile file(QStringLiteral("deviceFolder/bench.json"));
    file.open(QIODevice::WriteOnly);
    file.write(
        QJsonDocument(
            QJsonObject { { "app_eui", kAppEui }, { "dev_type", "Bench" }, { "device_packets", packets } })
            .toJson());
}

QString euiOf(int n)
{
    return QStringLiteral("%1").arg(n, 16, 16, QLatin1Char('0')).toUpper();
}

void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg)
        fprintf(stderr, "%s\n", qPrintable(text));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The gateway has no console: its debug lines go nowhere.
    qInstallMessageHandler(quietDebug);
    const int uplinks = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 20000;
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    initGlobalData();
    CLogFile::getInstance(QStringLiteral("history.log"));
    writeTemplate();

    CDataBaseHandler store(dir.filePath(QStringLiteral("server.db")), QStringLiteral("bench"));
    CAllDeviceHandler registry;
    registry.setRegisterStore(&store);
    if (store.failed() || !registry.hasTemplate(kAppEui)) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    const QList<SRegisterDescription> map = registry.getDeviceRegisterMap(kAppEui).registers;
    for (int n = 0; n < kDevices; ++n) {
        DB::SDeviceRegMapDescription device;
        device.devEui = euiOf(n);
        device.appEui = kAppEui;
        device.devName = QStringLiteral("Device %1").arg(n);
        device.startAddr = (n % 100) * 20;
        device.regList = map;
        if (!store.registerNewDevice(device, uint16_t(41000 + n / 100)))
            return 1;
        // listeners are not what is measured: one on a port the system picks
        registry.addNewDevice(device, 0);
    }

    QList<API::SApiDeviceData> batch;
    for (int i = 0; i < 256; ++i) {
        API::SApiDeviceData data;
        data.data = QByteArray(1 + 2 * kFields, 0);
        data.data[0] = 1;
        for (int b = 1; b < data.data.size(); ++b)
            data.data[b] = char(i * 7 + b);
        data.rssi = -70;
        data.fcnt = uint32_t(i);
        batch.append(data);
    }

    // Bursts wait in the registry's queue and are decoded a few per pass of
    // the event loop, so the time runs until the last one is stored.
    long decoded = 0;
    QEventLoop loop;
    QObject::connect(&registry, &CAllDeviceHandler::newDataForDevice, &loop, [&] {
        if (++decoded == uplinks)
            loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < uplinks; ++i) {
        API::SApiDeviceData data = batch.at(i % batch.size());
        data.devEui = euiOf(i % kDevices);
        registry.newPacketReceivedSlot(data);
    }
    if (decoded < uplinks)
        loop.exec();
    const qint64 ns = timer.nsecsElapsed();
    // every device got its registers
    QSqlQuery check(QSqlDatabase::database(QStringLiteral("bench")));
    check.exec(QStringLiteral("SELECT COUNT(*) FROM dev_data WHERE value IS NOT NULL"));
    check.next();
    const int written = check.value(0).toInt();
    check.finish();

    printf("Uplink decoding: %d uplinks of %d registers into %d devices x 20 registers\n", uplinks, kFields,
           kDevices);
    printf("%.0f uplinks/s (%.1f us each); %d register rows hold values\n", uplinks * 1e9 / double(ns),
           double(ns) / uplinks / 1000.0, written);
    return written == kDevices * kFields ? 0 : 1;
}
