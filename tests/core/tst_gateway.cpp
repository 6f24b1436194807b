#include "core/gateway.h"
#include "tests/testkit/gatewayrig.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>

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
    void textServedAsBytes();
    void registerMapChecks_data();
    void registerMapChecks();

private:
    // A new gateway on the rig's files, as after a restart.
    void restart(const QString &connectionName);
    // The registers 0..count-1 of the port as server.db holds them, read on a
    // connection of its own: the later-registered device wins an address.
    QVector<quint16> storedRegisters(quint16 port, int count);
    // What a Modbus client reads there now.
    static QVector<quint16> served(quint16 port, int count);
    bool execOnFile(const QString &sql);
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

    // On the port: Water meter at 0 (registers 0..13), Boiler room at 100 (100..108).
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
    QTest::newRow("touching ranges") << meter << 14 << false << none << QString();
    QTest::newRow("one register shared") << meter << 13 << false << overlap
                                         << QStringLiteral("registers 13 on port %1 are held by Water meter");
    QTest::newRow("continuation register")
        << QList<SRegisterDescription> { reg(0, 32) } << 99 << false << overlap
        << QStringLiteral("registers 100 on port %1 are held by Boiler room");
    QTest::newRow("gap around a device")
        << QList<SRegisterDescription> { reg(0, 16), reg(20, 16) } << 95 << false << none << QString();
    QTest::newRow("all of one device")
        << meter << 98 << false << overlap
        << QStringLiteral("registers 100..108 on port %1 are held by Boiler room");
    QTest::newRow("another port") << meter << 0 << true << none << QString();
    QTest::newRow("65535 as last register") << meter << 65535 - 13 << false << none << QString();
    QTest::newRow("65536") << meter << 65536 - 13 << false << pastEnd
                           << QStringLiteral("its registers would reach address 65536, past 65535");
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
    QVERIFY(rig.setUp());
    const quint16 port = freePort();
    QVERIFY(rig.storeDevice(3, port, 0, true));
    QVERIFY(rig.storeDevice(1, port, 100, true));
    const quint16 target = otherPort ? freePort() : port;
    if (!text.isEmpty())
        text = text.arg(target);

    const SRegisterMapConflict conflict = rig.gateway->checkRegisterMap(registers, start, target);
    QCOMPARE(int(conflict.kind), kind);
    QCOMPARE(CGateway::conflictText(conflict, target), text);

    DB::SDeviceRegMapDescription description;
    description.devEui = sampleEui(4);
    description.devName = QStringLiteral("Gas meter");
    description.appEui = PULSE_APP_EUI;
    description.startAddr = start;
    description.regList = registers;
    QCOMPARE(rig.gateway->registerDevice(description, target), kind == SRegisterMapConflict::None);
    QCOMPARE(rig.gateway->isRegistered(sampleEui(4)), kind == SRegisterMapConflict::None);
    if (kind != SRegisterMapConflict::None) {
        QCOMPARE(
            rig.logCount(QStringLiteral("WARNING: [CGateway::registerDevice] Device [%1] is not added: %2")
                             .arg(sampleEui(4), text)),
            1);
        // The list path (the HTTP API's) gives the same answer for the meter's own map.
        if (registers.size() == rig.gateway->typeRegisters(PULSE_APP_EUI).size())
            QCOMPARE(
                rig.gateway->checkNewDevices({ { sampleEui(4), PULSE_APP_EUI, QString(), target, start } })
                    .value(0)
                    .field,
                QStringLiteral("startRegister"));
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
    const quint16 first = freePort();
    QVERIFY(rig.storeDevice(1, first));
    QVERIFY(rig.storeDevice(2, freePort()));
    const quint16 third = freePort();
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
    QCOMPARE(modbus.image().readRegisters(third, 0, 1, &value), uint8_t(0));
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

QTEST_MAIN(tst_Gateway)
#include "tst_gateway.moc"
