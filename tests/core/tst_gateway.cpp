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

// The gateway's register image against the rows of server.db, read by a
// Modbus client nobody here wrote.
class tst_Gateway : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { rig.tearDown(); }
    void imageFollowsTheStore();
    void storedDeviceLosingAFieldIsNamed();
    void templateToolDecodesAsServed();
    void silentDeviceAnswersExceptionUntilHeard();

private:
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
    // Boiler room at 0; Cold store, registered later, overlaps it from 4 on.
    QVERIFY(rig.storeDevice(1, shared, 0, true));
    QVERIFY(rig.storeDevice(2, shared, 4, true));
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
    rig.gateway.reset();
    rig.gateway = std::make_unique<CGateway>(rig.workDir->filePath(QStringLiteral("server.db")),
                                             QStringLiteral("restarted"));
    rig.takeParts();
    QCOMPARE(rig.gateway->restoreStoredDevices(), 2);
    QCOMPARE(served(shared, count), expected);
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
