#include "core/gateway.h"
#include "tests/testkit/gatewayrig.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTcpSocket>

using namespace testkit;

Q_DECLARE_METATYPE(SRegisterDescription)

// The gateway's register image against the rows of server.db, read by a
// Modbus client nobody here wrote.
class tst_Gateway : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { rig.tearDown(); }
    void imageFollowsTheStore();
    void storedDeviceLosingAFieldIsNamed();
    void storedRowsThatCannotBeServedAreLeftOut();
    void templateToolDecodesAsServed();
    void silentDeviceAnswersExceptionUntilHeard();
    void unitIdsOnOnePort();
    void releaseDatabaseOpensAndServes();
    void textServedAsBytes();
    void registerMapChecks_data();
    void registerMapChecks();
    void registerMapWalk();
    void uplinksGiveWayToModbus();

private:
    // A new gateway on the rig's files, as after a restart.
    void restart(const QString &connectionName);
    // The registers 0..count-1 of the port as server.db holds them, read on a
    // connection of its own: the later-registered device wins an address.
    QVector<quint16> storedRegisters(quint16 port, int count);
    // What a Modbus client reads there now.
    static QVector<quint16> served(quint16 port, int count);
    bool execOnFile(const QString &sql);
    // Every field's first register as server.db holds it, one line each
    // (port|unit id|address|DevEUI|field|type|bits|unit|multiplier|extra), in
    // port, unit id and address order.
    QStringList storedMap();
    // The same from the gateway's register map, taken `step` rows at a time.
    static QStringList walk(const CGateway &gateway, SRegisterMapCursor &cursor, int step, int chunks = -1);
    // Rewrites the sample TH template in the rig's device folder.
    void editTemplate(const QByteArray &from, const QByteArray &to);

    CGatewayRig rig;
};

QVector<quint16> tst_Gateway::storedRegisters(quint16 port, int count)
{
    QVector<quint16> result(count, 0);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(rig.workDir->filePath(QStringLiteral("server.db")));
        if (db.open()) {
            QSqlQuery rows(db);
            rows.prepare(
                QStringLiteral("SELECT reg_addr, value FROM dev_data WHERE port = ? ORDER BY device"));
            rows.addBindValue(port);
            rows.exec();
            while (rows.next())
                if (rows.value(0).toInt() < count)
                    result[rows.value(0).toInt()] = rows.value(1).toString().toUShort(nullptr, 16);
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    return result;
}

namespace {

SNewDevice newDevice(int sample, qint64 port, qint64 unitId, qint64 startAddr = 0)
{
    const SSimDevice device = sampleScenario().devices.at(sample - 1);
    SNewDevice row;
    row.devEui = device.devEui;
    row.appEui = device.appEui;
    row.name = device.devName;
    row.port = port;
    row.startAddr = startAddr;
    row.unitId = unitId;
    return row;
}

// Register 0 and 1 as a client with this unit id reads them; empty on an
// exception, with its code in `error`.
QVector<quint16> servedToUnit(quint16 port, int unitId, int *error = nullptr)
{
    const SModbusRead read = runModbusClient(port, unitId, readCall(0, 2));
    if (error)
        *error = read.ok ? 0 : read.error;
    return read.ok ? read.registers : QVector<quint16>();
}

} // namespace

QVector<quint16> tst_Gateway::served(quint16 port, int count)
{
    const SModbusRead read = readServed(port, 0, count);
    return read.ok ? read.registers : QVector<quint16>();
}

bool tst_Gateway::execOnFile(const QString &sql)
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("writer"));
        db.setDatabaseName(rig.workDir->filePath(QStringLiteral("server.db")));
        ok = db.open() && QSqlQuery(db).exec(sql);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("writer"));
    return ok;
}

void tst_Gateway::imageFollowsTheStore()
{
    QVERIFY(rig.setUp());
    const quint16 shared = freePort();
    // A database from before the add check: Boiler room at 0; Cold store,
    // registered later, overlaps it from 4 on. It is served as it was, and
    // the overlap is named once at start.
    QVERIFY(rig.storeDevice(1, shared, 0));
    QVERIFY(rig.storeDevice(2, shared, 4));
    restart(QStringLiteral("old"));
    QCOMPARE(rig.gateway->restoreStoredDevices(), 2);
    const QString named
        = QStringLiteral("Devices [Boiler room, 0011223344550001] and [Cold store, 0011223344550002] on port "
                         "[%1] share registers [4..8]; [Cold store, 0011223344550002], registered later, is "
                         "served there")
              .arg(shared);
    QCOMPARE(rig.logCount(named), 1);
    rig.connectToSimulator();
    QVERIFY(rig.uplink(1, TH_PAYLOAD));
    // Temperature 0x0123, humidity 0x40, battery 0x0d00.
    QVERIFY(rig.uplink(2, QByteArray::fromHex("01230140000d")));
    const int count = 40;
    QVector<quint16> expected = storedRegisters(shared, count);
    QCOMPARE(expected[0], quint16(0x092a));
    QCOMPARE(expected[4], quint16(0x0123));
    QCOMPARE(served(shared, count), expected);

    // A device added on a port already served, then the overlapping one deleted:
    // the port stays open and the earlier device's registers show through.
    QVERIFY(rig.storeDevice(3, shared, 20, true));
    // Counter A 0x04030201, counter B 0x0c0b0a0908070605, status 0x0d.
    QVERIFY(rig.uplink(3, QByteArray::fromHex("020102030405060708090a0b0c0d")));
    QVERIFY(rig.gateway->removeDevice(2, sampleEui(2), shared));
    expected = storedRegisters(shared, count);
    QCOMPARE(served(shared, count), expected);
    QVERIFY(expected[4] != quint16(0x0123)); // Boiler room's own register again

    // A write the store refuses leaves the image as it was.
    QVERIFY(execOnFile(QStringLiteral("CREATE TRIGGER refuse BEFORE UPDATE ON dev_data "
                                      "BEGIN SELECT RAISE(ABORT, 'refused'); END;")));
    QVERIFY(rig.uplink(1, QByteArray::fromHex("01ffff37e40c")));
    QCOMPARE(storedRegisters(shared, count), expected);
    QCOMPARE(served(shared, count), expected);
    QVERIFY(execOnFile(QStringLiteral("DROP TRIGGER refuse;")));

    // A restart on the same files serves the same values before any uplink.
    restart(QStringLiteral("restarted"));
    QCOMPARE(rig.gateway->restoreStoredDevices(), 2);
    QCOMPARE(served(shared, count), expected);
    QCOMPARE(rig.logCount(QStringLiteral("share registers")), 1);
}

void tst_Gateway::registerMapChecks_data()
{
    QTest::addColumn<QList<SRegisterDescription>>("registers");
    QTest::addColumn<int>("start");
    QTest::addColumn<bool>("otherPort");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("unit"); // of the device added

    // On the port: Water meter at 0 (registers 0..13), Boiler room at 100 (100..108);
    // Cold store as unit 7 at 0 (0..8 of its own).
    QList<SRegisterDescription> meter;
    {
        CGatewayRig types;
        QVERIFY(types.setUp());
        meter = types.gateway->typeRegisters(PULSE_APP_EUI);
        types.tearDown();
    }
    const auto reg = [](uint32_t offset, uint32_t bits) {
        SRegisterDescription r;
        r.offset = offset;
        r.bitSize = bits;
        return r;
    };
    const int none = SRegisterMapConflict::None;
    const int overlap = SRegisterMapConflict::Overlap;
    const int pastEnd = SRegisterMapConflict::PastEnd;
    QTest::newRow("touching ranges") << meter << 14 << false << none << QString() << 0;
    QTest::newRow("one register shared")
        << meter << 13 << false << overlap
        << QStringLiteral("registers 13 on port %1 are held by Water meter") << 0;
    QTest::newRow("continuation register")
        << QList<SRegisterDescription> { reg(0, 32) } << 99 << false << overlap
        << QStringLiteral("registers 100 on port %1 are held by Boiler room") << 0;
    QTest::newRow("gap around a device")
        << QList<SRegisterDescription> { reg(0, 16), reg(20, 16) } << 95 << false << none << QString() << 0;
    QTest::newRow("all of one device")
        << meter << 98 << false << overlap
        << QStringLiteral("registers 100..108 on port %1 are held by Boiler room") << 0;
    QTest::newRow("another port") << meter << 0 << true << none << QString() << 0;
    QTest::newRow("65535 as last register") << meter << 65535 - 13 << false << none << QString() << 0;
    QTest::newRow("65536") << meter << 65536 - 13 << false << pastEnd
                           << QStringLiteral("its registers would reach address 65536, past 65535") << 0;
    // a unit id is an address space of its own: only the same unit id on the port overlaps
    QTest::newRow("another unit id") << meter << 0 << false << none << QString() << 5;
    QTest::newRow("the same unit id")
        << meter << 0 << false << overlap
        << QStringLiteral("registers 0..8 on port %1 unit 7 are held by Cold store") << 7;
    QTest::newRow("unit 7 on another port") << meter << 0 << true << none << QString() << 7;
}

// Adding a device is refused where its registers would overlap another
// device's on the port or pass 65535, through the window's path and the
// list path alike.
void tst_Gateway::registerMapChecks()
{
    QFETCH(QList<SRegisterDescription>, registers);
    QFETCH(int, start);
    QFETCH(bool, otherPort);
    QFETCH(int, kind);
    QFETCH(QString, text);
    QFETCH(int, unit);
    QVERIFY(rig.setUp());
    const quint16 port = freePort();
    QVERIFY(rig.storeDevice(3, port, 0, true));
    QVERIFY(rig.storeDevice(1, port, 100, true));
    QVERIFY(rig.gateway->addDevices({ newDevice(2, port, 7) }));
    const quint16 target = otherPort ? freePort() : port;
    if (!text.isEmpty())
        text = text.arg(target);

    const SRegisterMapConflict conflict = rig.gateway->checkRegisterMap(registers, start, target, unit);
    QCOMPARE(int(conflict.kind), kind);
    QCOMPARE(CGateway::conflictText(conflict, target, unit), text);

    DB::SDeviceRegMapDescription description;
    description.devEui = sampleEui(4);
    description.devName = QStringLiteral("Gas meter");
    description.appEui = PULSE_APP_EUI;
    description.startAddr = start;
    description.regList = registers;
    description.unitId = uint8_t(unit);
    QCOMPARE(rig.gateway->registerDevice(description, target), kind == SRegisterMapConflict::None);
    QCOMPARE(rig.gateway->isRegistered(sampleEui(4)), kind == SRegisterMapConflict::None);
    // a unit id taken on the port is refused as such before its registers are looked at
    const bool unitTaken = !otherPort && unit == 7;
    if (kind != SRegisterMapConflict::None) {
        QCOMPARE(
            rig.logCount(
                QStringLiteral("WARNING: [CGateway::registerDevice] Device [%1] is not added: %2")
                    .arg(sampleEui(4),
                         unitTaken ? QStringLiteral("unit id [7]: unit id already used on the port") : text)),
            1);
        // The list path (the HTTP API's) gives the same answer for the meter's own map.
        if (registers.size() == rig.gateway->typeRegisters(PULSE_APP_EUI).size())
            QCOMPARE(
                rig.gateway
                    ->checkNewDevices({ { sampleEui(4), PULSE_APP_EUI, QString(), target, start, unit } })
                    .value(0)
                    .field,
                unitTaken ? QStringLiteral("unitId") : QStringLiteral("startRegister"));
    } else if (start == 65535 - 13) {
        const SModbusRead read = readServed(target, 65535, 1);
        QVERIFY2(read.ok, qPrintable(read.errorText()));
    }
}

void tst_Gateway::restart(const QString &connectionName)
{
    rig.gateway.reset();
    rig.gateway
        = std::make_unique<CGateway>(rig.workDir->filePath(QStringLiteral("server.db")), connectionName);
    rig.takeParts();
}

// Payload text reaches Modbus clients as its UTF-8 bytes, two per register,
// high byte first, whatever the field's width; the server's identifiers stay
// hexadecimal numbers.
void tst_Gateway::textServedAsBytes()
{
    QVERIFY(rig.setUp());
    QFile beacon(rig.workDir->filePath(QStringLiteral("deviceFolder/text-beacon.json")));
    QVERIFY(beacon.open(QIODevice::WriteOnly | QIODevice::Truncate));
    beacon.write(R"({"dev_type": "Widths", "app_eui": "A1B2C3D400000003", "device_packets": [
        {"packet_type": 3, "packet_size": 16, "packet_fields": [
        {"data_name": "One", "packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 8, "data_type": "text", "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 16},
        {"data_name": "Two", "packet_bias": 2, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "text", "reg_map_bias": 1, "reg_bit_bias": 0, "reg_bit_size": 16},
        {"data_name": "Four", "packet_bias": 4, "data_bit_bias": 0, "data_bit_size": 32, "data_type": "text", "reg_map_bias": 2, "reg_bit_bias": 0, "reg_bit_size": 32},
        {"data_name": "Eight", "packet_bias": 8, "data_bit_bias": 0, "data_bit_size": 64, "data_type": "text", "reg_map_bias": 4, "reg_bit_bias": 0, "reg_bit_size": 64}]}],
        "server_data": [{"data_code": "devEui", "data_name": "EUI", "reg_map_bias": 8, "reg_bit_bias": 0, "reg_bit_size": 64}]})");
    beacon.close();
    restart(QStringLiteral("widths"));
    const quint16 port = freePort();
    QVERIFY(rig.storeDevice(5, port, 0, true));
    rig.connectToSimulator();

    // "Z", "OK", "A1B2", "GATE-01" and a zero byte.
    QVERIFY(rig.uplink(5, QByteArray("\x03ZOKA1B2GATE-01\0", 16)));
    const QVector<quint16> eui { 0x0011, 0x2233, 0x4455, 0x0005 };
    QCOMPARE(served(port, 12),
             QVector<quint16>({ 0x5a00, 0x4f4b, 0x4131, 0x4232, 0x4741, 0x5445, 0x2d30, 0x3100 }) + eui);

    // Shorter texts leave nothing of the longer ones behind; "é" is two bytes.
    QVERIFY(rig.uplink(5,
                       QByteArray::fromHex("03"
                                           "30"
                                           "c3a9"
                                           "41420000"
                                           "7800000000000000")));
    const QVector<quint16> second = QVector<quint16>({ 0x3000, 0xc3a9, 0x4142, 0, 0x7800, 0, 0, 0 }) + eui;
    QCOMPARE(served(port, 12), second);

    // Built from server.db alone after a restart.
    restart(QStringLiteral("widths-again"));
    QCOMPARE(rig.gateway->restoreStoredDevices(), 1);
    QCOMPARE(served(port, 12), second);
}

void tst_Gateway::editTemplate(const QByteArray &from, const QByteArray &to)
{
    QFile file(rig.workDir->filePath(QStringLiteral("deviceFolder/th-sensor.json")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll();
    file.close();
    QVERIFY(text.contains(from));
    text.replace(from, to);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size());
}

void tst_Gateway::silentDeviceAnswersExceptionUntilHeard()
{
    QVERIFY(rig.setUp());
    editTemplate("\"dev_type\"", "\"silent_after_s\": 60, \"silent_answer\": \"exception\", \"dev_type\"");
    qint64 now = QDateTime::currentMSecsSinceEpoch();
    const quint16 port = freePort();
    const auto uplink = [](const QByteArray &payload) {
        API::SApiDeviceData data;
        data.devEui = sampleEui(1);
        data.data = payload;
        return data;
    };
    {
        CGateway gateway(rig.workDir->filePath(QStringLiteral("server.db")), QStringLiteral("silence"));
        gateway.setClockForTesting([&now]() { return now; });
        QSignalSpy changes(&gateway, &CGateway::silenceChanged);
        gateway.restoreStoredDevices();
        DB::SDeviceRegMapDescription device;
        device.devEui = sampleEui(1);
        device.devName = QStringLiteral("Boiler room");
        device.appEui = TH_APP_EUI;
        device.regList = gateway.typeRegisters(TH_APP_EUI);
        QVERIFY(gateway.registerDevice(device, port));
        QVERIFY(readServed(port, 0, 3).ok);

        // Counted from the registration: 60 s is not yet silent, 61 s is.
        now += 60000;
        gateway.checkSilence();
        QCOMPARE(gateway.silentForMs(sampleEui(1)), -1);
        now += 1000;
        gateway.checkSilence();
        gateway.checkSilence();
        QCOMPARE(gateway.silentForMs(sampleEui(1)), 61000);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(
            rig.logCount(QStringLiteral("Device [%1] is silent: no uplink for [61] s").arg(sampleEui(1))), 1);
        const SModbusRead refused = readServed(port, 0, 3);
        QVERIFY(!refused.ok);
        QCOMPARE(refused.error, int(EMBXGTAR));

        // A rejected uplink (one byte short) does not end the silence; a decoded one does.
        QSignalSpy announced(&gateway, &CGateway::newDataForDevice);
        CAllDeviceHandler &registry = CGatewayInternals::registry(gateway);
        registry.newPacketReceivedSlot(uplink(QByteArray::fromHex("012a0937e4")));
        registry.newPacketReceivedSlot(uplink(TH_PAYLOAD));
        QTRY_COMPARE(announced.count(), 1);
        QCOMPARE(gateway.silentForMs(sampleEui(1)), -1);
        QCOMPARE(readServed(port, 0, 3).registers, QVector<quint16>({ 0x092a, 0x0037, 0x0ce4 }));
        QCOMPARE(rig.logCount(QStringLiteral("Device [%1] is heard again").arg(sampleEui(1))), 1);
    }
    // The stored time of the last uplink carries the silence over a restart.
    now += 120000;
    CGateway restarted(rig.workDir->filePath(QStringLiteral("server.db")), QStringLiteral("silence2"));
    restarted.setClockForTesting([&now]() { return now; });
    restarted.restoreStoredDevices();
    QVERIFY(restarted.silentForMs(sampleEui(1)) >= 120000);
    QVERIFY(!readServed(port, 0, 3).ok);
}

// A field refused at load (here a register size out of range) is named for
// every stored device of its type when the gateway starts.
void tst_Gateway::storedDeviceLosingAFieldIsNamed()
{
    QVERIFY(rig.setUp());
    QVERIFY(rig.storeDevice(1, freePort()));
    QFile file(rig.workDir->filePath(QStringLiteral("deviceFolder/th-sensor.json")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll();
    file.close();
    const int humidity = text.indexOf("\"Humidity\"");
    const int size = text.indexOf("\"reg_bit_size\": 16", humidity);
    QVERIFY(humidity > 0 && size > humidity);
    text.replace(size, int(strlen("\"reg_bit_size\": 16")), "\"reg_bit_size\": 99");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size());
    file.close();

    rig.logSpy->clear();
    CGateway restarted(rig.workDir->filePath(QStringLiteral("server.db")), QStringLiteral("refused"));
    QCOMPARE(restarted.restoreStoredDevices(), 1);
    QCOMPARE(
        rig.logCount(QStringLiteral("WARNING: [CGateway::restoreStoredDevices] Device [%1]: its template "
                                    "left out [")
                         .arg(sampleEui(1))),
        1);
}

// A device whose stored port is no port, and a second row of a DevEUI, are
// named once and not served; the others are served as before.
void tst_Gateway::storedRowsThatCannotBeServedAreLeftOut()
{
    QVERIFY(rig.setUp());
    const QList<quint16> ports = freePorts(3);
    const quint16 first = ports[0];
    QVERIFY(rig.storeDevice(1, first));
    QVERIFY(rig.storeDevice(2, ports[1]));
    const quint16 third = ports[2];
    QVERIFY(rig.storeDevice(3, third));
    QVERIFY(execOnFile(QStringLiteral("UPDATE devices SET port = 0 WHERE device = 2;")));
    QVERIFY(
        execOnFile(QStringLiteral("UPDATE devices SET dev_eui = '%1' WHERE device = 3;").arg(sampleEui(1))));
    QVERIFY(execOnFile(QStringLiteral("UPDATE dev_data SET value = '002a' WHERE device = 3;")));

    rig.logSpy->clear();
    CGateway restarted(rig.workDir->filePath(QStringLiteral("server.db")), QStringLiteral("unservable"));
    QCOMPARE(restarted.restoreStoredDevices(), 1);
    QCOMPARE(rig.logCount(QStringLiteral("is not served")), 2);
    QCOMPARE(
        rig.logCount(QStringLiteral("WARNING: [CGateway] Device ID=2 is not served: DevEUI [%1]: port [0] is "
                                    "outside 1..65535")
                         .arg(sampleEui(2))),
        1);
    QVERIFY(restarted.notServedReason(3).contains(QStringLiteral("is served as device ID=1")));
    QVERIFY(restarted.notServedReason(1).isEmpty());
    CModbusService &modbus = CGatewayInternals::modbus(restarted);
    QVERIFY(modbus.isOpen(first));
    QVERIFY(!modbus.isOpen(third));
    QVERIFY(!modbus.isOpen(0));
    QVERIFY(CGatewayInternals::registry(restarted).publishedDevice(sampleEui(1)));
    // The duplicate's registers never reach the image.
    uint16_t value = 1;
    QCOMPARE(modbus.image().readRegisters(third, 1, 0, 1, &value), uint8_t(0));
    QCOMPARE(value, uint16_t(0));
}

// tidewell-template decode shows exactly what a running gateway serves for
// the same uplink, for every sample template.
void tst_Gateway::templateToolDecodesAsServed()
{
    QVERIFY(rig.setUp());
    rig.connectToSimulator();
    const QJsonObject fixed {
        { "ts", 1700000000123.0 }, { "fcnt", 77 }, { "rssi", -71 }, { "snr", 6 }, { "gatewayId", "00AB" }
    };
    // Sample device, its template file and a payload of its type.
    const QList<std::tuple<int, QString, QByteArray>> cases {
        { 1, "th-sensor.json", TH_PAYLOAD },
        { 3, "pulse-counter.json", QByteArray::fromHex("020102030405060708090a0b0c0d") },
        { 5, "text-beacon.json", QByteArray() },
    };
    for (const auto &[sample, file, givenPayload] : cases) {
        QByteArray payload = givenPayload;
        const QString templatePath = rig.workDir->filePath(QStringLiteral("deviceFolder/") + file);
        if (payload.isEmpty()) {
            // The beacon's layout, from its template: its first packet, filled with letters.
            QFile beacon(templatePath);
            QVERIFY(beacon.open(QIODevice::ReadOnly));
            const QJsonObject packet = QJsonDocument::fromJson(beacon.readAll())
                                           .object()
                                           .value("device_packets")
                                           .toArray()
                                           .at(0)
                                           .toObject();
            payload = QByteArray(packet.value("packet_size").toInt(), 'T');
            payload[0] = char(packet.value("packet_type").toInt());
        }
        const quint16 port = freePort();
        QVERIFY(rig.storeDevice(sample, port, 0, true));
        QSignalSpy decoded(rig.gateway.get(), &CGateway::newDataForDevice);
        QCOMPARE(rig.sim->sendUplink(sampleEui(sample), payload, fixed), 1);
        QVERIFY(decoded.wait(WAIT_MS));

        QProcess tool;
        tool.start(QStringLiteral(TIDEWELL_TEMPLATE_TOOL),
                   { "decode", templatePath, "--payload", QString::fromLatin1(payload.toHex()), "--ts",
                     "1700000000123", "--fcnt", "77", "--rssi", "-71", "--snr", "6", "--gateway", "00AB",
                     "--dev-eui", sampleEui(sample), "--json" });
        QVERIFY(tool.waitForFinished(30000));
        QCOMPARE(tool.exitCode(), 0);
        const QJsonArray fields
            = QJsonDocument::fromJson(tool.readAllStandardOutput()).object().value("registers").toArray();
        QVERIFY2(!fields.isEmpty(), qPrintable(file));
        for (const QJsonValue &field : fields) {
            const QJsonArray words = field.toObject().value("registers").toArray();
            const int address = field.toObject().value("address").toInt();
            const SModbusRead read = readServed(port, address, words.size());
            QVERIFY2(read.ok, qPrintable(read.errorText()));
            for (int i = 0; i < words.size(); ++i)
                QVERIFY2(
                    read.registers.at(i) == words.at(i).toString().toUShort(nullptr, 16),
                    qPrintable(QStringLiteral("%1 %2").arg(file, field.toObject().value("name").toString())));
        }
    }
}

// Devices told apart by unit id on one port, each from its own register 0:
// added and checked through the core, changed later, surviving a restart.
QStringList tst_Gateway::storedMap()
{
    QStringList lines;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("map"));
        db.setDatabaseName(rig.workDir->filePath(QStringLiteral("server.db")));
        if (db.open()) {
            QSqlQuery rows(db);
            rows.exec(QStringLiteral(
                "SELECT r.port, IFNULL(u.unit_id, 0) AS unit, r.reg_addr, d.dev_eui, r.name, r.data_type, "
                "r.bit_size, r.unit, r.grating_period, r.start_value FROM dev_data r "
                "JOIN devices d ON d.device = r.device LEFT JOIN modbus_units u ON u.device = r.device "
                "WHERE r.parent = 1 ORDER BY r.port, unit, r.reg_addr"));
            while (rows.next()) {
                QStringList cells;
                for (int i = 0; i < 10; ++i)
                    cells << rows.value(i).toString();
                lines << cells.join(QLatin1Char('|'));
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("map"));
    return lines;
}

QStringList tst_Gateway::walk(const CGateway &gateway, SRegisterMapCursor &cursor, int step, int chunks)
{
    QStringList lines;
    for (int n = 0; !cursor.done && n != chunks; ++n)
        for (const SRegisterMapRow &row : gateway.registerMap(cursor, step))
            lines << QStringList { QString::number(row.port),
                                   QString::number(row.unitId),
                                   QString::number(row.address),
                                   row.devEui,
                                   row.field,
                                   row.dataType,
                                   QString::number(row.bitSize),
                                   row.unit,
                                   QString::number(row.multiplier),
                                   QString::number(row.extraValue) }
                         .join(QLatin1Char('|'));
    return lines;
}

// The register map comes from memory; it must list what the store holds,
// every field once, in port, unit id and address order, however small the
// chunks, even with unit ids putting devices on the same addresses (a walk
// by port and address alone would skip rows at a chunk's end), and go on
// sensibly when devices are removed between chunks.
void tst_Gateway::registerMapWalk()
{
    QVERIFY(rig.setUp());
    const QList<quint16> ports = freePorts(2);
    const quint16 first = ports[0];
    const quint16 second = ports[1];
    const quint16 port = std::min(first, second); // walked first
    const quint16 other = std::max(first, second);
    SAddProblem problem;
    QVERIFY2(rig.gateway->addDevices({ newDevice(1, port, 2), newDevice(2, port, 1), newDevice(3, port, 0),
                                       newDevice(4, other, 0, 100) },
                                     &problem),
             qPrintable(problem.error));
    SDeviceRegUpdate update;
    update.deviceId = rig.gateway->device(sampleEui(1)).id;
    update.port = port;
    update.params.append({ 0, 5, 10, QStringLiteral("C") });
    rig.gateway->updateScaling(update);

    const QStringList stored = storedMap();
    QVERIFY(stored.size() > 8);
    QVERIFY2(stored.filter(QStringLiteral("|C|10|5")).size() == 1, qPrintable(stored.join('\n')));
    for (const int step : { 1, 2, 7, 500 }) {
        SRegisterMapCursor cursor;
        QCOMPARE(walk(*rig.gateway, cursor, step), stored);
    }
    SRegisterMapCursor onePort;
    onePort.port = other;
    QCOMPARE(walk(*rig.gateway, onePort, 3),
             stored.filter(QRegularExpression(QStringLiteral("^%1\\|").arg(other))));

    // Two rows in, the device being walked and the one after it go: the walk
    // goes on with the device after those, from its first row.
    SRegisterMapCursor cursor;
    const QStringList begun = walk(*rig.gateway, cursor, 2, 1);
    QCOMPARE(begun, stored.mid(0, 2));
    QVERIFY(begun.first().contains(sampleEui(3)));
    QVERIFY(rig.gateway->removeDevice(sampleEui(3)));
    QVERIFY(rig.gateway->removeDevice(sampleEui(2)));
    const QStringList rest = walk(*rig.gateway, cursor, 2);
    QCOMPARE(rest, storedMap());
    QVERIFY(rest.first().contains(sampleEui(1)));
}

void tst_Gateway::unitIdsOnOnePort()
{
    QVERIFY(rig.setUp());
    const QList<quint16> ports = freePorts(2);
    const quint16 port = ports[0];
    const quint16 other = ports[1];

    // what the add path refuses, per row
    struct SRefusal
    {
        QList<SNewDevice> rows;
        QString error;
    };
    const SRefusal refusals[] = {
        { { newDevice(1, port, 248) }, "unit id must be 1 to 247" },
        { { newDevice(1, port, -1) }, "unit id must be 1 to 247" },
        { { newDevice(1, port, 7), newDevice(2, port, 7) }, "unit id already used on the port" },
    };
    for (const SRefusal &refusal : refusals) {
        SAddProblem problem;
        QVERIFY(!rig.gateway->addDevices(refusal.rows, &problem));
        QCOMPARE(problem.field, QStringLiteral("unitId"));
        QCOMPARE(problem.error, refusal.error);
    }
    QVERIFY(rig.gateway->devices().isEmpty());

    // units 1 and 2 and a device without one, all from register 0; unit 1 again on another port
    SAddProblem problem;
    QVERIFY2(rig.gateway->addDevices({ newDevice(1, port, 1), newDevice(2, port, 2), newDevice(3, port, 0),
                                       newDevice(4, other, 1) },
                                     &problem),
             qPrintable(problem.error));
    const QList<SAddProblem> taken = rig.gateway->checkNewDevices({ newDevice(5, port, 2) });
    QCOMPARE(taken.size(), 1);
    QCOMPARE(taken.first().error, QStringLiteral("unit id already used on the port"));
    QCOMPARE(rig.gateway->device(sampleEui(2)).unitId, 2);
    QCOMPARE(rig.gateway->device(sampleEui(3)).unitId, 0);
    QCOMPARE(rig.gateway->devicesSharingSpace(port, 0).size(), 1);
    QCOMPARE(rig.gateway->devicesSharingSpace(port, 2).first().devEui, sampleEui(2));

    rig.connectToSimulator();
    QVERIFY(rig.uplink(1, TH_PAYLOAD));
    QVERIFY(rig.uplink(2, QByteArray::fromHex("01230140000d")));
    QVERIFY(rig.uplink(3, QByteArray::fromHex("020102030405060708090a0b0c0d")));
    const QVector<quint16> boiler { 0x092a, 0x0037 };
    const QVector<quint16> cold { 0x0123, 0x0040 };
    const QVector<quint16> water = servedToUnit(port, 0);
    QCOMPARE(water.size(), 2);
    QVERIFY(water != boiler && water != cold);
    QCOMPARE(servedToUnit(port, 1), boiler);
    QCOMPARE(servedToUnit(port, 2), cold);
    QCOMPARE(servedToUnit(port, 9), water);
    QCOMPARE(servedToUnit(port, 255), water);

    // the device without a unit id gets one: unknown units now find nobody
    QVERIFY(rig.gateway->setUnitId(sampleEui(3), 3, &problem));
    QVERIFY(!rig.gateway->setUnitId(sampleEui(2), 1, &problem));
    QCOMPARE(problem.error, QStringLiteral("unit id already used on the port"));
    QCOMPARE(servedToUnit(port, 3), water);
    int error = 0;
    QVERIFY(servedToUnit(port, 9, &error).isEmpty());
    QCOMPARE(error, int(EMBXGPATH));

    // a restart on the same file: the same unit ids, the same answers
    rig.gateway.reset();
    rig.gateway = std::make_unique<CGateway>(rig.workDir->filePath(QStringLiteral("server.db")),
                                             QStringLiteral("units-restarted"));
    rig.takeParts();
    QCOMPARE(rig.gateway->restoreStoredDevices(), 4);
    QCOMPARE(rig.gateway->device(sampleEui(3)).unitId, 3);
    QCOMPARE(servedToUnit(port, 1), boiler);
    QCOMPARE(servedToUnit(port, 2), cold);
    QCOMPARE(servedToUnit(port, 3), water);
    QCOMPARE(servedToUnit(other, 1).size(), 2);

    // deleted with its device; taken away, the device answers unknown units again
    QVERIFY(rig.gateway->removeDevice(sampleEui(1)));
    QVERIFY(servedToUnit(port, 1, &error).isEmpty());
    QCOMPARE(error, int(EMBXGPATH));
    QVERIFY(rig.gateway->setUnitId(sampleEui(3), 0));
    QCOMPARE(servedToUnit(port, 1), water);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("units"));
    db.setDatabaseName(rig.workDir->filePath(QStringLiteral("server.db")));
    QVERIFY(db.open());
    QSqlQuery rows(db);
    QVERIFY(rows.exec(QStringLiteral("SELECT d.dev_eui, u.unit_id FROM modbus_units u JOIN devices d ON "
                                     "d.device = u.device ORDER BY u.unit_id")));
    QStringList stored;
    while (rows.next())
        stored << rows.value(0).toString() + QLatin1Char('=') + rows.value(1).toString();
    QCOMPARE(stored, (QStringList { sampleEui(4) + "=1", sampleEui(2) + "=2" }));
    // what a build without unit ids reads: the devices table as it always was
    QVERIFY(rows.exec(QStringLiteral("SELECT * FROM devices")));
    QCOMPARE(rows.record().count(), 6);
    rows = QSqlQuery();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("units"));
}

// A server.db as the current release writes it (no unit id table) opens,
// serves every unit id from its devices as before, and keeps its tables.
void tst_Gateway::releaseDatabaseOpensAndServes()
{
    QVERIFY(rig.setUp());
    const quint16 port = freePort();
    const QString file = rig.workDir->filePath(QStringLiteral("release.db"));
    const QStringList release {
        "CREATE TABLE devices ( device INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL UNIQUE, name TEXT, app_eui "
        "TEXT, dev_eui TEXT, port INTEGER, start_addr INTEGER )",
        "CREATE TABLE dev_data ( device INTEGER NOT NULL, port INTEGER, reg_addr INTEGER, start_value "
        "INTEGER, "
        "grating_period INTEGER, bit_size INTEGER, data_type TEXT, value TEXT DEFAULT NULL, full_value TEXT "
        "DEFAULT NULL, time INTEGER DEFAULT NULL, name TEXT DEFAULT NULL, unit TEXT DEFAULT NULL, parent "
        "INTEGER, source INTEGER )",
        QStringLiteral("INSERT INTO devices (name, app_eui, dev_eui, port, start_addr) VALUES ('Old', '%1', "
                       "'%2', %3, 5)")
            .arg(TH_APP_EUI, sampleEui(1))
            .arg(port),
        QStringLiteral(
            "INSERT INTO dev_data (device, port, reg_addr, start_value, grating_period, bit_size, "
            "data_type, value, name, parent, source) VALUES (1, %1, 5, 0, 1, 16, 'integer', "
            "'0102', 'Temperature', 1, 1), (1, %1, 6, 0, 1, 16, 'uinteger', '0304', 'Humidity', 1, "
            "1)")
            .arg(port),
    };
    const QString tables = QStringLiteral(
        "SELECT group_concat(sql, ';') FROM sqlite_master WHERE name IN ('devices', 'dev_data')");
    QString before;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("release"));
        db.setDatabaseName(file);
        QVERIFY(db.open());
        for (const QString &sql : release)
            QVERIFY2(QSqlQuery(db).exec(sql), qPrintable(sql));
        QSqlQuery query(db);
        QVERIFY(query.exec(tables) && query.next());
        before = query.value(0).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("release"));

    {
        CGateway gateway(file, QStringLiteral("release-gateway"));
        QVERIFY(!gateway.failed());
        QCOMPARE(gateway.restoreStoredDevices(), 1);
        QCOMPARE(gateway.device(sampleEui(1)).unitId, 0);
        for (int unit : { 0, 1, 17, 255 }) {
            const SModbusRead read = runModbusClient(port, unit, readCall(5, 2));
            QCOMPARE(read.registers, (QVector<quint16> { 0x0102, 0x0304 }));
        }
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("release"));
    db.setDatabaseName(file);
    QVERIFY(db.open());
    QSqlQuery query(db);
    QVERIFY(query.exec(tables) && query.next());
    QCOMPARE(query.value(0).toString(), before);
    query = QSqlQuery();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("release"));
}

// An uplink due while a Modbus client waits (here a connection the kernel
// accepted and the event loop has not taken yet) is decoded on a later pass,
// after Modbus was served.
void tst_Gateway::uplinksGiveWayToModbus()
{
    QVERIFY(rig.setUp());
    const quint16 port = freePort();
    QVERIFY(rig.storeDevice(1, port, 0, true));
    QVERIFY(!rig.gateway->modbusWaiting());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(WAIT_MS));
    QVERIFY(rig.gateway->modbusWaiting());

    QSignalSpy announced(rig.gateway.get(), &CGateway::newDataForDevice);
    API::SApiDeviceData data;
    data.devEui = sampleEui(1);
    data.data = TH_PAYLOAD;
    rig.registry->newPacketReceivedSlot(data);
    QCOMPARE(rig.registry->pendingUplinks(), 1);
    QCOMPARE(rig.registry->decodedUplinks(), quint64(0));
    QTRY_COMPARE(announced.count(), 1);
    QVERIFY(!rig.gateway->modbusWaiting());
    QCOMPARE(readServed(port, 0, 3).registers, QVector<quint16>({ 0x092a, 0x0037, 0x0ce4 }));
}

QTEST_MAIN(tst_Gateway)
#include "tst_gateway.moc"
