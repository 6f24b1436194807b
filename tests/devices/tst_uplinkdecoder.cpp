#include "app/globaldata.h"
#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "devices/uplinkdecoder.h"
#include "storage/databasehandler.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Uplinks go through the registry's entry point into a real register store;
// every case is checked in the register rows it leaves behind.
class tst_UplinkDecoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void storedRegisters_data();
    void storedRegisters();
    void discardedUplinkStoresNothing_data();
    void discardedUplinkStoresNothing();
    void scalingChangeAppliesToNextUplink();
    void emptyBatchStillAnnounced();
    void missingStoreSkipsUplink();
    void burstDecodedInOrderAcrossPasses();
    void removedDeviceLeavesNoQueuedUplink();
    void unknownServerKeyword();

private:
    void setUpDevice(const QJsonArray &fields, const QJsonArray &server, int packetType, int packetSize,
                     CDataBaseHandler *store = nullptr);
    QStringList storedRows();
    QStringList logLines() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CDataBaseHandler> m_store;
    std::unique_ptr<CAllDeviceHandler> m_handler;
    std::unique_ptr<QSignalSpy> m_log;
    QString m_connection;
    int m_connections = 0;
};

namespace {

const QString QS_DEV_EUI = QStringLiteral("0011223344550001");
const QString QS_APP_EUI = QStringLiteral("A1B2C3D400000001");
const int I_START = 100;

QJsonObject field(int bias, int bits, const QString &type, int reg, int regBits = 16,
                  const QString &name = QStringLiteral("F"), int bitBias = 0)
{
    return QJsonObject { { "packet_bias", bias },     { "data_bit_bias", bitBias }, { "data_bit_size", bits },
                         { "data_type", type },       { "reg_map_bias", reg },      { "reg_bit_bias", 0 },
                         { "reg_bit_size", regBits }, { "data_name", name } };
}

QJsonObject server(const QString &code, int reg, int regBits)
{
    return QJsonObject { { "data_code", code },
                         { "reg_map_bias", reg },
                         { "reg_bit_bias", 0 },
                         { "reg_bit_size", regBits },
                         { "data_name", code } };
}

API::SApiDeviceData uplink(const char *hexPayload)
{
    API::SApiDeviceData data;
    data.devEui = QS_DEV_EUI;
    data.data = QByteArray::fromHex(hexPayload);
    data.rssi = -74;
    data.snr = 7.5;
    data.fcnt = 0x12345678;
    data.ts = 1700000000123ull;
    data.gatewayId = QStringLiteral("0102030405060708");
    return data;
}

// Scaling entries "offset:grating:start".
using ScalingList = QStringList;

} // namespace

void tst_UplinkDecoder::initTestCase()
{
    initGlobalData();
}

void tst_UplinkDecoder::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_dir->path()));
    m_log = std::make_unique<QSignalSpy>(CLogFile::getInstance(QStringLiteral("history.log")),
                                         &CLogFile::addLogSignal);
    m_connection = QStringLiteral("decoder%1").arg(++m_connections);
    m_store = std::make_unique<CDataBaseHandler>(m_dir->filePath(QStringLiteral("server.db")), m_connection);
    QVERIFY(!m_store->failed());
}

void tst_UplinkDecoder::cleanup()
{
    m_handler.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_store.reset();
    m_log.reset();
}

// Writes the template, loads the registry from it and registers one device
// with the template's register map at start address 100.
void tst_UplinkDecoder::setUpDevice(const QJsonArray &fields, const QJsonArray &serverData, int packetType,
                                    int packetSize, CDataBaseHandler *store)
{
    QVERIFY(QDir().mkpath(QStringLiteral("deviceFolder")));
    const QJsonObject tpl { { "app_eui", QS_APP_EUI },
                            { "dev_type", "Test" },
                            { "server_data", serverData },
                            { "device_packets",
                              QJsonArray { QJsonObject { { "packet_type", packetType },
                                                         { "packet_size", packetSize },
                                                         { "packet_fields", fields } } } } };
    QFile file(QStringLiteral("deviceFolder/test.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(tpl).toJson());
    file.close();

    m_handler = std::make_unique<CAllDeviceHandler>();
    m_handler->setRegisterStore(store ? store : m_store.get());
    QVERIFY(m_handler->hasTemplate(QS_APP_EUI));

    DB::SDeviceRegMapDescription description;
    description.devEui = QS_DEV_EUI;
    description.appEui = QS_APP_EUI;
    description.devName = QStringLiteral("Boiler room");
    description.startAddr = I_START;
    description.regList = m_handler->getDeviceRegisterMap(QS_APP_EUI).registers;
    QVERIFY(m_store->registerNewDevice(description, 1502));
    m_handler->addNewDevice(description, 0);
}

// Every register row that holds a value: "address value fullValue".
QStringList tst_UplinkDecoder::storedRows()
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (!query.exec(QStringLiteral("SELECT reg_addr, value, full_value FROM dev_data "
                                   "WHERE value IS NOT NULL ORDER BY reg_addr")))
        return { QStringLiteral("query failed") };
    QStringList rows;
    while (query.next())
        rows << QStringLiteral("%1 %2 %3")
                    .arg(query.value(0).toInt())
                    .arg(query.value(1).toString(), query.value(2).toString());
    return rows;
}

QStringList tst_UplinkDecoder::logLines() const
{
    QStringList lines;
    for (const QList<QVariant> &signal : qAsConst(*m_log))
        lines << signal.at(0).toString();
    return lines;
}

void tst_UplinkDecoder::storedRegisters_data()
{
    QTest::addColumn<QJsonArray>("fields");
    QTest::addColumn<QJsonArray>("serverData");
    QTest::addColumn<int>("packetType");
    QTest::addColumn<int>("packetSize");
    QTest::addColumn<API::SApiDeviceData>("data");
    QTest::addColumn<ScalingList>("scaling");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("warning");

    const QString noWarning;
    // type 01, int16 -10, uint32 10000, text "A"; RSSI -74 goes first
    QTest::newRow("worked example") << QJsonArray { field(1, 16, "integer", 0),
                                                    field(3, 32, "uinteger", 1, 32), field(7, 8, "text", 3) }
                                    << QJsonArray { server("rssi", 4, 16) } << 1 << 8
                                    << uplink("01f6ff1027000041") << ScalingList {}
                                    << QStringList { "100 fff6 fff6", "101 0000 00002710", "102 2710 ",
                                                     "103 A A", "104 ffb6 ffb6" }
                                    << noWarning;
    // 0xFFFF x 10 = 655350 = 0x9fff6: only the low 16 bits reach the register
    QTest::newRow("uint16 wraps to 16 bits")
        << QJsonArray { field(1, 16, "uinteger", 0) } << QJsonArray {} << 2 << 3 << uplink("02ffff")
        << ScalingList { "0:10:0" } << QStringList { "100 fff6 fff6" } << noWarning;
    QTest::newRow("int32 -2") << QJsonArray { field(1, 32, "integer", 0, 32) } << QJsonArray {} << 2 << 5
                              << uplink("02feffffff") << ScalingList {}
                              << QStringList { "100 ffff fffffffe", "101 fffe " } << noWarning;
    // 32-bit scaling wraps: 0xffffffff x 2 + 1 = 0x1ffffffff -> ffffffff
    QTest::newRow("uint32 scaling wraps")
        << QJsonArray { field(1, 32, "uinteger", 0, 32) } << QJsonArray {} << 2 << 5 << uplink("02ffffffff")
        << ScalingList { "0:2:1" } << QStringList { "100 ffff ffffffff", "101 ffff " } << noWarning;
    // signed byte -3 x 4 - 5 = -17
    QTest::newRow("int8 scaled") << QJsonArray { field(1, 8, "integer", 0) } << QJsonArray {} << 2 << 2
                                 << uplink("02fd") << ScalingList { "0:4:-5" }
                                 << QStringList { "100 ffef ffef" } << noWarning;
    // unsigned byte 0xfd stays 253
    QTest::newRow("uint8") << QJsonArray { field(1, 8, "uinteger", 0) } << QJsonArray {} << 2 << 2
                           << uplink("02fd") << ScalingList {} << QStringList { "100 00fd 00fd" }
                           << noWarning;
    QTest::newRow("uint64 word order")
        << QJsonArray { field(1, 64, "uinteger", 0, 64) } << QJsonArray {} << 2 << 9
        << uplink("020807060504030201") << ScalingList {}
        << QStringList { "100 0102 0102030405060708", "101 0304 ", "102 0506 ", "103 0708 " } << noWarning;
    // 64-bit arithmetic with sign-extended scaling: 1 x 1 - 2 = -1
    QTest::newRow("int64 negative start")
        << QJsonArray { field(1, 64, "integer", 0, 64) } << QJsonArray {} << 2 << 9
        << uplink("020100000000000000") << ScalingList { "0:1:-2" }
        << QStringList { "100 ffff ffffffffffffffff", "101 ffff ", "102 ffff ", "103 ffff " } << noWarning;
    QTest::newRow("text 4 bytes") << QJsonArray { field(1, 32, "text", 0, 32) } << QJsonArray {} << 3 << 5
                                  << uplink("0341424344") << ScalingList {} << QStringList { "100 ABCD ABCD" }
                                  << noWarning;
    QTest::newRow("text 8 bytes") << QJsonArray { field(1, 64, "text", 0, 64) } << QJsonArray {} << 3 << 9
                                  << uplink("034142434445464748") << ScalingList {}
                                  << QStringList { "100 ABCD ABCDEFGH", "101 EFGH " } << noWarning;
    QTest::newRow("text stops at zero")
        << QJsonArray { field(1, 32, "text", 0, 32) } << QJsonArray {} << 3 << 5 << uplink("0341420044")
        << ScalingList {} << QStringList { "100 AB AB" } << noWarning;
    QTest::newRow("empty text writes nothing")
        << QJsonArray { field(1, 16, "text", 0), field(3, 8, "uinteger", 1) } << QJsonArray {} << 3 << 4
        << uplink("03000007") << ScalingList {} << QStringList { "101 0007 0007" } << noWarning;
    // data_bit_bias does not move the start: read from byte 2
    QTest::newRow("bit bias ignored")
        << QJsonArray { field(2, 8, "uinteger", 0, 16, "F", 8) } << QJsonArray {} << 2 << 4
        << uplink("02112233") << ScalingList {} << QStringList { "100 0022 0022" } << noWarning;
    // type byte 0xff is -1
    QTest::newRow("type -1") << QJsonArray { field(1, 8, "uinteger", 0) } << QJsonArray {} << -1 << 2
                             << uplink("ff05") << ScalingList {} << QStringList { "100 0005 0005" }
                             << noWarning;
    QTest::newRow("snr 32 bits") << QJsonArray { field(1, 8, "uinteger", 0) }
                                 << QJsonArray { server("snr", 5, 32) } << 1 << 2 <<
        [] {
            auto d = uplink("0101");
            d.snr = -7.5;
            return d;
        }() << ScalingList {} << QStringList { "100 0001 0001", "105 ffff fffffff9", "106 fff9 " }
                                 << noWarning;
    QTest::newRow("snr 16 bits") << QJsonArray { field(1, 8, "uinteger", 0) }
                                 << QJsonArray { server("snr", 5, 16) } << 1 << 2 <<
        [] {
            auto d = uplink("0101");
            d.snr = -7.5;
            return d;
        }() << ScalingList {} << QStringList { "100 0001 0001", "105 fff9 fff9" }
                                 << noWarning;
    QTest::newRow("snr half rounds up")
        << QJsonArray { field(1, 8, "uinteger", 0) } << QJsonArray { server("snr", 5, 16) } << 1 << 2 <<
        [] {
            auto d = uplink("0101");
            d.snr = 2.5;
            return d;
        }()
        << ScalingList {} << QStringList { "100 0001 0001", "105 0003 0003" } << noWarning;
    QTest::newRow("fcnt and ts") << QJsonArray { field(1, 8, "uinteger", 0) }
                                 << QJsonArray { server("fcnt", 1, 32), server("ts", 3, 32) } << 1 << 2
                                 << uplink("0109") << ScalingList {}
                                 << QStringList { "100 0009 0009", "101 1234 12345678", "102 5678 ",
                                                  "103 6553 6553f100", "104 f100 " }
                                 << noWarning;
    QTest::newRow("fcnt 16 bits") << QJsonArray { field(1, 8, "uinteger", 0) }
                                  << QJsonArray { server("fcnt", 1, 16) } << 1 << 2 << uplink("0109")
                                  << ScalingList {} << QStringList { "100 0009 0009", "101 5678 5678" }
                                  << noWarning;
    // 40 bits: three registers with characters 5..16
    QTest::newRow("gateway 40 bits") << QJsonArray { field(1, 8, "uinteger", 0) }
                                     << QJsonArray { server("gatewayId", 1, 40) } << 1 << 2 << uplink("0109")
                                     << ScalingList {}
                                     << QStringList { "100 0009 0009", "101 0304 030405060708", "102 0506 ",
                                                      "103 0708 " }
                                     << noWarning;
    QTest::newRow("devEui 64 bits") << QJsonArray { field(1, 8, "uinteger", 0) }
                                    << QJsonArray { server("devEui", 1, 64) } << 1 << 2 << uplink("0109")
                                    << ScalingList {}
                                    << QStringList { "100 0009 0009", "101 0011 0011223344550001",
                                                     "102 2233 ", "103 4455 ", "104 0001 " }
                                    << noWarning;
    QTest::newRow("short gateway 64 bits")
        << QJsonArray { field(1, 8, "uinteger", 0) } << QJsonArray { server("gatewayId", 1, 64) } << 1 << 2 <<
        [] {
            auto d = uplink("0109");
            d.gatewayId = QStringLiteral("abc");
            return d;
        }()
        << ScalingList {} << QStringList { "100 0009 0009", "101 abc abc" } << noWarning;
    QTest::newRow("short gateway 16 bits")
        << QJsonArray { field(1, 8, "uinteger", 0) } << QJsonArray { server("gatewayId", 1, 16) } << 1 << 2 <<
        [] {
            auto d = uplink("0109");
            d.gatewayId = QStringLiteral("abc");
            return d;
        }()
        << ScalingList {} << QStringList { "100 0009 0009" } << noWarning;
    // fields the decoder cannot take are skipped, the others decoded
    QTest::newRow("unaligned field") << QJsonArray { field(1, 12, "uinteger", 0), field(3, 8, "uinteger", 1) }
                                     << QJsonArray {} << 2 << 4 << uplink("02010203") << ScalingList {}
                                     << QStringList { "101 0003 0003" }
                                     << "ERROR: [CAllDeviceHandler::processDataSlot] Unsupport functional";
    QTest::newRow("three-byte field")
        << QJsonArray { field(1, 24, "uinteger", 0, 32), field(3, 8, "uinteger", 2) } << QJsonArray {} << 2
        << 4 << uplink("02010203") << ScalingList {} << QStringList { "102 0003 0003" }
        << "WARNING: [CAllDeviceHandler::processDataSlot] Unsupport size of data [3]";
    QTest::newRow("boolean field") << QJsonArray { field(1, 8, "boolean", 0), field(2, 8, "uinteger", 1) }
                                   << QJsonArray {} << 2 << 3 << uplink("020102") << ScalingList {}
                                   << QStringList { "101 0002 0002" }
                                   << "WARNING: [CAllDeviceHandler::processDataSlot] Unsupport type of data "
                                      "[boolean], size [1]";
    // a field reaching past the payload is skipped and named, never read
    QTest::newRow("field past the end")
        << QJsonArray { field(1, 8, "uinteger", 0), field(2, 32, "uinteger", 1, 32, "Counter") }
        << QJsonArray {} << 2 << 4 << uplink("02070809") << ScalingList {} << QStringList { "100 0007 0007" }
        << "WARNING: [CAllDeviceHandler::processDataSlot] Field [Counter] is outside the packet: bias [2], "
           "size [4], "
           "packet size [4]. Skip";
    QTest::newRow("negative packet bias")
        << QJsonArray { field(-1, 8, "uinteger", 0, 16, "Before"), field(1, 8, "uinteger", 1) }
        << QJsonArray {} << 2 << 2 << uplink("0207") << ScalingList {} << QStringList { "101 0007 0007" }
        << "WARNING: [CAllDeviceHandler::processDataSlot] Field [Before] is outside the packet: bias [-1], "
           "size [1], "
           "packet size [2]. Skip";
}

void tst_UplinkDecoder::storedRegisters()
{
    QFETCH(QJsonArray, fields);
    QFETCH(QJsonArray, serverData);
    QFETCH(int, packetType);
    QFETCH(int, packetSize);
    QFETCH(API::SApiDeviceData, data);
    QFETCH(ScalingList, scaling);
    QFETCH(QStringList, rows);
    QFETCH(QString, warning);

    setUpDevice(fields, serverData, packetType, packetSize);
    if (!scaling.isEmpty()) {
        SDeviceRegUpdate update;
        update.deviceId = 1;
        for (const QString &entry : scaling) {
            const QStringList parts = entry.split(QLatin1Char(':'));
            SRegisterParam param;
            param.regAddr = uint32_t(I_START + parts.at(0).toInt());
            param.gratingPeriod = parts.at(1).toInt();
            param.startValue = parts.at(2).toInt();
            update.params.append(param);
        }
        m_store->updateRegInfo(update);
    }
    QSignalSpy announced(m_handler.get(), &CAllDeviceHandler::newDataForDevice);
    m_log->clear();
    m_handler->newPacketReceivedSlot(data);

    QCOMPARE(storedRows(), rows);
    QCOMPARE(announced.size(), 1);
    QCOMPARE(announced.at(0).at(0).toString(), QS_DEV_EUI);
    if (!warning.isEmpty()) {
        const QStringList lines = logLines();
        QVERIFY2(
            std::any_of(lines.cbegin(), lines.cend(), [&](const QString &l) { return l.endsWith(warning); }),
            qPrintable(lines.join(QLatin1Char('\n'))));
    }
}

void tst_UplinkDecoder::discardedUplinkStoresNothing_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("warning");

    // template: type 1, 4 bytes; type 0x7f is unknown; 0xff is -1, not 255
    QTest::newRow("one byte short")
        << QByteArray("010203")
        << "WARNING: [CAllDeviceHandler::processDataSlot] Invalid size of packet [01]. "
           "Expect [4], real [3]";
    QTest::newRow("one byte long")
        << QByteArray("0102030405")
        << "WARNING: [CAllDeviceHandler::processDataSlot] Invalid size of packet [01]. "
           "Expect [4], real [5]";
    QTest::newRow("unknown type") << QByteArray(
        "05020304") << "WARNING: [CAllDeviceHandler::processDataSlot] Uncknown packet type [05]";
    QTest::newRow("type 0xff") << QByteArray("ff020304")
                               << "WARNING: [CAllDeviceHandler::processDataSlot] Uncknown packet type [-1]";
    QTest::newRow("empty payload is type 0")
        << QByteArray() << "WARNING: [CAllDeviceHandler::processDataSlot] Uncknown packet type [00]";
}

void tst_UplinkDecoder::discardedUplinkStoresNothing()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, warning);

    // The RSSI server value is not stored either when the packet is refused.
    setUpDevice(QJsonArray { field(1, 8, "uinteger", 0) }, QJsonArray { server("rssi", 1, 16) }, 1, 4);
    QSignalSpy announced(m_handler.get(), &CAllDeviceHandler::newDataForDevice);
    m_log->clear();
    m_handler->newPacketReceivedSlot(uplink(payload.constData()));

    QCOMPARE(storedRows(), QStringList {});
    QCOMPARE(announced.size(), 0);
    const QStringList lines = logLines();
    QVERIFY2(std::any_of(lines.cbegin(), lines.cend(), [&](const QString &l) { return l.endsWith(warning); }),
             qPrintable(lines.join(QLatin1Char('\n'))));
}

void tst_UplinkDecoder::scalingChangeAppliesToNextUplink()
{
    setUpDevice(QJsonArray { field(1, 16, "uinteger", 0) }, QJsonArray {}, 1, 3);
    m_handler->newPacketReceivedSlot(uplink("010a00"));
    QCOMPARE(storedRows(), QStringList { "100 000a 000a" });

    SDeviceRegUpdate update;
    update.deviceId = 1;
    SRegisterParam param;
    param.regAddr = I_START;
    param.gratingPeriod = 100;
    param.startValue = 7;
    update.params.append(param);
    m_store->updateRegInfo(update);

    m_handler->newPacketReceivedSlot(uplink("010a00"));
    // 10 x 100 + 7 = 1007
    QCOMPARE(storedRows(), QStringList { "100 03ef 03ef" });
}

void tst_UplinkDecoder::emptyBatchStillAnnounced()
{
    // Every field is refused: the empty batch goes to the store, which reports
    // it, and the device is announced all the same.
    setUpDevice(QJsonArray { field(1, 8, "boolean", 0) }, QJsonArray {}, 1, 2);
    QSignalSpy announced(m_handler.get(), &CAllDeviceHandler::newDataForDevice);
    m_log->clear();
    m_handler->newPacketReceivedSlot(uplink("0101"));
    QCOMPARE(announced.size(), 1);
    QVERIFY(logLines().filter(QStringLiteral("[CDataBaseHandler::saveRegisterData] Empty input data")).size()
            == 1);
}

void tst_UplinkDecoder::missingStoreSkipsUplink()
{
    CDataBaseHandler broken(m_dir->filePath(QStringLiteral("no/such/dir/server.db")),
                            QStringLiteral("broken"));
    QVERIFY(broken.failed());
    setUpDevice(QJsonArray { field(1, 8, "uinteger", 0) }, QJsonArray {}, 1, 2, &broken);
    QSignalSpy announced(m_handler.get(), &CAllDeviceHandler::newDataForDevice);
    m_log->clear();
    m_handler->newPacketReceivedSlot(uplink("0101"));
    QCOMPARE(announced.size(), 0);
    QCOMPARE(storedRows(), QStringList {});
    QCOMPARE(logLines()
                 .filter(QStringLiteral("ERROR: [CAllDeviceHandler::processDataSlot] Register store is not "
                                        "available. Uplink of device [0011223344550001] is skipped"))
                 .size(),
             1);
}

void tst_UplinkDecoder::burstDecodedInOrderAcrossPasses()
{
    setUpDevice(QJsonArray { field(1, 8, "uinteger", 0) }, QJsonArray {}, 1, 2);
    QSignalSpy announced(m_handler.get(), &CAllDeviceHandler::newDataForDevice);
    const int burst = 3 * CAllDeviceHandler::UplinksPerPass + 1;
    for (int i = 1; i <= burst; ++i)
        m_handler->newPacketReceivedSlot(
            uplink(QByteArray::fromHex("01").append(char(i)).toHex().constData()));

    // the first slice is decoded at once, the rest waits for later passes
    const int first = CAllDeviceHandler::UplinksPerPass;
    QCOMPARE(announced.size(), first);
    QCOMPARE(storedRows(), QStringList { QStringLiteral("100 %1 %1").arg(first, 4, 16, QLatin1Char('0')) });
    QCOMPARE(m_handler->pendingUplinks(), burst - first);

    QTRY_COMPARE(announced.size(), burst);
    QCOMPARE(m_handler->pendingUplinks(), 0);
    // arrival order kept: the last uplink's value is the one stored
    QCOMPARE(storedRows(), QStringList { QStringLiteral("100 %1 %1").arg(burst, 4, 16, QLatin1Char('0')) });
}

void tst_UplinkDecoder::removedDeviceLeavesNoQueuedUplink()
{
    setUpDevice(QJsonArray { field(1, 8, "uinteger", 0) }, QJsonArray {}, 1, 2);
    QSignalSpy announced(m_handler.get(), &CAllDeviceHandler::newDataForDevice);
    for (int i = 0; i < 2 * CAllDeviceHandler::UplinksPerPass; ++i)
        m_handler->newPacketReceivedSlot(uplink("0109"));
    QCOMPARE(m_handler->pendingUplinks(), CAllDeviceHandler::UplinksPerPass);
    m_handler->removeDevice(QS_DEV_EUI, 0);

    QTRY_COMPARE(m_handler->pendingUplinks(), 0);
    QCOMPARE(announced.size(), CAllDeviceHandler::UplinksPerPass);
}

void tst_UplinkDecoder::unknownServerKeyword()
{
    // Loading drops unknown keywords, so only a hand-made template reaches
    // this guard; the value is skipped, the rest decoded.
    SDeviceTemplate tpl(QJsonObject {
        { "app_eui", QS_APP_EUI },
        { "dev_type", "Test" },
        { "server_data", QJsonArray { server("rssi", 1, 16) } },
        { "device_packets",
          QJsonArray { QJsonObject { { "packet_type", 1 },
                                     { "packet_size", 2 },
                                     { "packet_fields", QJsonArray { field(1, 8, "uinteger", 0) } } } } } });
    QVERIFY(tpl.valid);
    SServerData freq = tpl.server_data.value(QStringLiteral("rssi"));
    freq.data_code = QStringLiteral("freq");
    tpl.server_data.insert(freq.data_code, freq);

    QStringList lines;
    SDeviceRegisterData batch;
    const bool accepted = Decoder::decodeUplink(
        uplink("0103"), tpl, 10, [](uint32_t) { return SRegisterParam(); },
        [&](const QString &line) { lines << line; }, batch);
    QVERIFY(accepted);
    QCOMPARE(lines,
             QStringList { "WARNING: [CAllDeviceHandler::processDataSlot] Uncknown DataCode [freq]!" });
    QCOMPARE(batch.registers.size(), 2);
    QCOMPARE(batch.registers.at(0).value, QStringLiteral("ffb6"));
    QCOMPARE(batch.registers.at(1).value, QStringLiteral("0003"));
    QCOMPARE(batch.startAddr, 10);
}

QTEST_MAIN(tst_UplinkDecoder)
#include "tst_uplinkdecoder.moc"
