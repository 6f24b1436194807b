#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "devices/scalingtable.h"
#include "devices/uplinkdecoder.h"
#include "storage/databasehandler.h"
#include "tests/testkit/testkit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <unordered_map>
#include <vector>

// Uplinks go through the registry's entry point into a real register store;
// every case is checked in the register rows it leaves behind.
class tst_UplinkDecoder : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void storedRegisters_data();
    void storedRegisters();
    void missingStoreSkipsUplink();
    void queuedUplinks();
    void uplinksGiveWayButAreNeverStarved();
    void registerMissingFromScaling();
    void unknownServerKeyword();

private:
    void loadScaling();
    void setUpDevice(const QString &fields, const QString &serverData = {}, int packetType = 1,
                     int packetSize = 2, CDataBaseHandler *store = nullptr);
    QString storedRows();
    QString logText() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CDataBaseHandler> m_store;
    std::unique_ptr<CAllDeviceHandler> m_handler;
    std::unique_ptr<QSignalSpy> m_log;
    QStringList m_announced; // DevEUIs of the batches the store decided, stored or dropped
    CScalingTable m_scaling; // filled from the store, as the gateway does
    int m_connections = 0;
};

namespace {

const QString QS_DEV_EUI = QStringLiteral("0011223344550001");
const QString QS_APP_EUI = QStringLiteral("A1B2C3D400000001");
const int I_START = 100;

// Space-separated entries of ':'-separated values for the given keys; numbers
// become JSON numbers.
QJsonArray objects(const QString &layout, const QStringList &keys)
{
    QJsonArray list;
    for (const QString &entry : layout.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList values = entry.split(QLatin1Char(':'));
        QJsonObject object { { "reg_bit_bias", 0 },
                             { "data_bit_bias", 0 },
                             { "reg_bit_size", 16 },
                             { "data_name", values.at(0) } };
        for (int i = 0; i < values.size(); ++i) {
            bool number = false;
            const int n = values.at(i).toInt(&number);
            object.insert(keys.at(i), number ? QJsonValue(n) : QJsonValue(values.at(i)));
        }
        list.append(object);
    }
    return list;
}

// Fields "bias:bits:type:reg[:regBits[:name[:bitBias[:wordOrder]]]]", server values "code:reg:regBits".
QJsonObject deviceTemplate(const QString &fields, const QString &server, int packetType, int packetSize)
{
    const QJsonArray packetFields
        = objects(fields,
                  { "packet_bias", "data_bit_size", "data_type", "reg_map_bias", "reg_bit_size", "data_name",
                    "data_bit_bias", "reg_word_order" });
    const QJsonObject packet { { "packet_type", packetType },
                               { "packet_size", packetSize },
                               { "packet_fields", packetFields } };
    return { { "app_eui", QS_APP_EUI },
             { "dev_type", "Test" },
             { "server_data", objects(server, { "data_code", "reg_map_bias", "reg_bit_size" }) },
             { "device_packets", QJsonArray { packet } } };
}

API::SApiDeviceData uplink(const QByteArray &hexPayload, double snr = 7.5,
                           const QString &gatewayId = QStringLiteral("0102030405060708"))
{
    API::SApiDeviceData data;
    data.devEui = QS_DEV_EUI;
    data.data = QByteArray::fromHex(hexPayload);
    data.rssi = -74;
    data.snr = snr;
    data.fcnt = 0x12345678;
    data.ts = 1700000000123ull;
    data.gatewayId = gatewayId;
    return data;
}

// Rows are "address value fullValue" separated by '|', scaling entries
// "offset:grating:start" separated by spaces, log lines separated by '|'.
// Unless given, the template's packet type and size are those of the payload.
void row(const char *name, const char *fields, const char *server, const API::SApiDeviceData &data,
         const char *rows, const char *scaling = "", const QString &logLines = {}, bool announced = true,
         int type = 0, int size = 0)
{
    QTest::newRow(name) << QString(fields) << QString(server) << (size ? type : int(qint8(data.data.at(0))))
                        << (size ? size : data.data.size()) << data << QString(rows) << QString(scaling)
                        << logLines << announced;
}

QString warning(const char *text)
{
    return QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] ") + QLatin1String(text);
}

// The template takes type 1 of 4 bytes; a refused packet stores nothing, not
// even the server value.
void refused(const char *name, const char *payload, const QString &message)
{
    row(name, "1:8:uinteger:0", "rssi:1:16", uplink(payload), "", "", message, false, 1, 4);
}

} // namespace

void tst_UplinkDecoder::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    m_log = std::make_unique<QSignalSpy>(CLogFile::getInstance(QStringLiteral("history.log")),
                                         &CLogFile::addLogSignal);
    m_store = std::make_unique<CDataBaseHandler>(m_dir->filePath(QStringLiteral("server.db")),
                                                 QStringLiteral("decoder%1").arg(++m_connections));
    QVERIFY(!m_store->failed());
}

void tst_UplinkDecoder::cleanup()
{
    m_announced.clear();
    m_handler.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_store.reset();
    m_log.reset();
}

// Writes the template, loads the registry from it and registers one device
// with the template's register map at start address 100.
void tst_UplinkDecoder::setUpDevice(const QString &fields, const QString &serverData, int packetType,
                                    int packetSize, CDataBaseHandler *store)
{
    QVERIFY(QDir().mkpath(QStringLiteral("deviceFolder")));
    QFile file(QStringLiteral("deviceFolder/test.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(deviceTemplate(fields, serverData, packetType, packetSize)).toJson());
    file.close();

    m_handler = std::make_unique<CAllDeviceHandler>();
    m_handler->setRegisterStore(store ? store : m_store.get());
    DB::SDeviceRegMapDescription description;
    description.devEui = QS_DEV_EUI;
    description.appEui = QS_APP_EUI;
    description.startAddr = I_START;
    description.regList = m_handler->getDeviceRegisterMap(QS_APP_EUI).registers;
    QVERIFY(!description.regList.isEmpty());
    QVERIFY(m_store->registerNewDevice(description, 1502));
    description.deviceId = m_store->deviceId(QS_DEV_EUI);
    loadScaling();
    m_handler->setScalingTable(&m_scaling);
    m_handler->addNewDevice(description, 1502);
    CDataBaseHandler *target = store ? store : m_store.get();
    connect(target, &CDataBaseHandler::registerDataSaved, m_handler.get(),
            [this](const SDeviceRegisterData &data) { m_announced << data.devEui; });
    connect(target, &CDataBaseHandler::registerDataDropped, m_handler.get(),
            [this](const QString &devEui) { m_announced << devEui; });
    m_log->clear();
}

// Every register row that holds a value, "address value fullValue" joined by '|'.
QString tst_UplinkDecoder::storedRows()
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("decoder%1").arg(m_connections)));
    if (!query.exec(QStringLiteral("SELECT reg_addr, value, full_value FROM dev_data "
                                   "WHERE value IS NOT NULL ORDER BY reg_addr")))
        return QStringLiteral("query failed");
    QStringList rows;
    while (query.next())
        rows << QStringLiteral("%1 %2 %3")
                    .arg(query.value(0).toInt())
                    .arg(query.value(1).toString(), query.value(2).toString());
    return rows.join(QLatin1Char('|'));
}

QString tst_UplinkDecoder::logText() const
{
    QStringList lines;
    for (const QList<QVariant> &signal : qAsConst(*m_log))
        lines << signal.at(0).toString();
    return lines.join(QLatin1Char('\n'));
}

void tst_UplinkDecoder::storedRegisters_data()
{
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QString>("serverData");
    QTest::addColumn<int>("packetType");
    QTest::addColumn<int>("packetSize");
    QTest::addColumn<API::SApiDeviceData>("data");
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QString>("scaling");
    QTest::addColumn<QString>("logLines");
    QTest::addColumn<bool>("announced");

    // type 01, int16 -10, uint32 10000, text "A"; RSSI -74 goes first
    row("worked example", "1:16:integer:0 3:32:uinteger:1:32 7:8:text:3", "rssi:4:16",
        uplink("01f6ff1027000041"), "100 fff6 fff6|101 0000 00002710|102 2710 |103 A A|104 ffb6 ffb6");
    // uint16 0xffff x 10 keeps its low 16 bits; int32 -2; uint32 0xffffffff x 2 + 1 wraps in 32 bits;
    // int8 -3 x 4 - 5 = -17; uint8 0xfd stays 253
    row("integers", "1:16:uinteger:0 3:32:integer:1:32 7:32:uinteger:3:32 11:8:integer:5 12:8:uinteger:6", "",
        uplink("02ffff feffffff ffffffff fd fd"),
        "100 fff6 fff6|101 ffff fffffffe|102 fffe |103 ffff ffffffff|104 ffff |105 ffef ffef|106 00fd 00fd",
        "0:10:0 3:2:1 5:4:-5");
    // most significant word first; 64-bit arithmetic with sign-extended scaling: 1 x 1 - 2 = -1
    row("64 bits", "1:64:uinteger:0:64 9:64:integer:4:64", "", uplink("02 0807060504030201 0100000000000000"),
        "100 0102 0102030405060708|101 0304 |102 0506 |103 0708 "
        "|104 ffff ffffffffffffffff|105 ffff |106 ffff |107 ffff ",
        "4:1:-2");
    // 8 characters over two registers, a zero ends the text, an empty text writes nothing
    row("text", "1:64:text:0:64 9:32:text:4:32 13:16:text:6 15:8:uinteger:7", "",
        uplink("03 4142434445464748 41420044 0000 07"),
        "100 ABCD ABCDEFGH|101 EFGH |104 AB AB|107 0007 0007");
    // type byte 0xff is -1; data_bit_bias does not move the start
    row("type -1, bit bias ignored", "2:8:uinteger:0:16:F:8", "", uplink("ff112233"), "100 0022 0022");
    // snr -7.5 rounds to -7; gateway 40 bits: characters 5..16 in three registers
    row("server values", "1:8:uinteger:0", "snr:1:32 fcnt:3:32 ts:5:32 gatewayId:7:40 devEui:10:64",
        uplink("0109", -7.5),
        "100 0009 0009|101 ffff fffffff9|102 fff9 |103 1234 12345678|104 5678 |105 6553 6553f100|106 f100 "
        "|107 0304 030405060708|108 0506 |109 0708 "
        "|110 0011 0011223344550001|111 2233 |112 4455 |113 0001 ");
    // 16 bits keep the low half; snr 2.5 rounds up; a short gateway id goes in as it is
    row("short server values", "1:8:uinteger:0", "snr:1:16 fcnt:2:16 gatewayId:3:64",
        uplink("0109", 2.5, "abc"), "100 0009 0009|101 0003 0003|102 5678 5678|103 abc abc");
    row("short gateway in 16 bits", "1:8:uinteger:0", "gatewayId:1:16", uplink("0109", 7.5, "abc"),
        "100 0009 0009");
    // IEEE 754 singles, little-endian in the payload: 1.0, -2.5, the smallest subnormal, a NaN with a
    // payload, +infinity. Neutral scaling keeps the bits; scaling is value x multiplier + extra value
    // rounded once to single (5 + 1e-45 x 10 is 5). Low first swaps the words, not the full value.
    const char *floats = "1:32:float:0:32:A:0:%1 5:32:float:2:32:B:0:%1 9:32:float:4:32:C:0:%1 "
                         "13:32:float:6:32:D:0:%1 17:32:float:8:32:E:0:%1";
    const API::SApiDeviceData floatUplink = uplink("04 0000803f 000020c0 01000000 0100c07f 0000807f");
    const char *scaled = "0:10:5 2:-2:1 4:10:5 6:10:5 8:-1:0";
    const auto floatRow = [&](const char *name, const char *order, const char *rows, const char *scaling) {
        const QByteArray fields = QString::fromLatin1(floats).arg(QLatin1String(order)).toLatin1();
        row(name, fields.constData(), "", floatUplink, rows, scaling);
    };
    floatRow("floats", "high_first",
             "100 3f80 3f800000|101 0000 |102 c020 c0200000|103 0000 |104 0000 00000001|105 0001 "
             "|106 7fc0 7fc00001|107 0001 |108 7f80 7f800000|109 0000 ",
             "");
    floatRow("floats low first", "low_first",
             "100 0000 3f800000|101 3f80 |102 0000 c0200000|103 c020 |104 0001 00000001|105 0000 "
             "|106 0001 7fc00001|107 7fc0 |108 0000 7f800000|109 7f80 ",
             "");
    // 15, 6, 5, NaN, -infinity
    floatRow("floats scaled", "high_first",
             "100 4170 41700000|101 0000 |102 40c0 40c00000|103 0000 |104 40a0 40a00000|105 0000 "
             "|106 7fc0 7fc00001|107 0001 |108 ff80 ff800000|109 0000 ",
             scaled);
    floatRow("floats scaled low first", "low_first",
             "100 0000 41700000|101 4170 |102 0000 40c00000|103 40c0 |104 0000 40a00000|105 40a0 "
             "|106 0001 7fc00001|107 7fc0 |108 0000 ff800000|109 ff80 ",
             scaled);
    // integers of two and four registers, low word first: int32 -2 x 3 = -6, uint64 unscaled
    row("integers low first", "1:32:integer:0:32:I:0:low_first 5:64:uinteger:2:64:U:0:low_first", "",
        uplink("05 feffffff 0807060504030201"),
        "100 fffa fffffffa|101 ffff |102 0708 0102030405060708|103 0506 |104 0304 |105 0102 ", "0:3:0");
    // fields the decoder cannot take are skipped and the others decoded; a field reaching
    // outside the payload is named and never read
    row("fields skipped",
        "-1:8:uinteger:0:16:Before 1:12:uinteger:1 1:24:uinteger:2:32 1:8:boolean:4 "
        "4:32:uinteger:5:32:Counter 4:8:uinteger:7",
        "", uplink("0201020307"), "107 0007 0007", "",
        "ERROR: [CAllDeviceHandler::processDataSlot] Unsupport functional|"
            + warning("Unsupport size of data [3]|") + warning("Unsupport type of data [boolean], size [1]|")
            + warning("Field [Counter] is outside the packet: bias [4], size [4], packet size [5]. Skip|")
            + warning("Field [Before] is outside the packet: bias [-1], size [1], packet size [5]. Skip"));
    // every field refused: the empty batch still goes to the store and the device is announced
    row("nothing decoded", "1:8:boolean:0", "", uplink("0101"), "", "",
        "INFO: [CDataBaseHandler::saveRegisterData] Empty input data");

    refused("one byte short", "010203", warning("Invalid size of packet [01]. Expect [4], real [3]"));
    refused("one byte long", "0102030405", warning("Invalid size of packet [01]. Expect [4], real [5]"));
    refused("unknown type", "05020304", warning("Uncknown packet type [05]"));
    // 0xff is -1, not 255
    refused("type 0xff", "ff020304", warning("Uncknown packet type [-1]"));
    refused("empty payload is type 0", "", warning("Uncknown packet type [00]"));
}

void tst_UplinkDecoder::storedRegisters()
{
    QFETCH(QString, fields);
    QFETCH(QString, serverData);
    QFETCH(int, packetType);
    QFETCH(int, packetSize);
    QFETCH(API::SApiDeviceData, data);
    QFETCH(QString, rows);
    QFETCH(QString, scaling);
    QFETCH(QString, logLines);
    QFETCH(bool, announced);

    setUpDevice(fields, serverData, packetType, packetSize);
    SDeviceRegUpdate update;
    update.deviceId = 1;
    for (const QString &entry : scaling.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = entry.split(QLatin1Char(':'));
        update.params.append(SRegisterParam());
        update.params.last().regAddr = uint32_t(I_START + parts.at(0).toInt());
        update.params.last().gratingPeriod = parts.at(1).toInt();
        update.params.last().startValue = parts.at(2).toInt();
    }
    if (!update.params.isEmpty())
        m_store->updateRegInfo(update);
    loadScaling();
    m_handler->newPacketReceivedSlot(data);

    QCOMPARE(storedRows(), rows);
    QCOMPARE(m_announced.size(), announced ? 1 : 0);
    if (announced)
        QCOMPARE(m_announced.at(0), QS_DEV_EUI);
    for (const QString &line : logLines.split(QLatin1Char('|'), Qt::SkipEmptyParts))
        QVERIFY2(logText().contains(line), qPrintable(logText()));
}

void tst_UplinkDecoder::missingStoreSkipsUplink()
{
    CDataBaseHandler broken(m_dir->filePath(QStringLiteral("no/such/dir/server.db")),
                            QStringLiteral("broken"));
    QVERIFY(broken.failed());
    setUpDevice(QStringLiteral("1:8:uinteger:0"), {}, 1, 2, &broken);
    m_handler->newPacketReceivedSlot(uplink("0101"));
    QCOMPARE(m_announced.size(), 0);
    QCOMPARE(storedRows(), QString());
    QVERIFY(logText().contains("ERROR: [CAllDeviceHandler::processDataSlot] Register store is not available. "
                               "Uplink of device [0011223344550001] is skipped"));
}

void tst_UplinkDecoder::loadScaling()
{
    std::unordered_map<uint32_t, std::vector<SRegisterParam>> devices;
    for (const SServedRegister &row : m_store->servedRegisters(-1))
        devices[row.device].push_back({ row.address, row.extraValue, row.multiplier, row.unit });
    m_scaling.clear();
    for (auto &device : devices)
        m_scaling.setDevice(device.first, std::move(device.second));
}

// A register the gateway does not hold is logged as the store logged it and
// decodes with multiplier 1 and extra value 0.
void tst_UplinkDecoder::registerMissingFromScaling()
{
    setUpDevice(QStringLiteral("1:8:uinteger:0"));
    SDeviceRegUpdate update;
    update.deviceId = 1;
    update.params.append({ I_START, 7, 3, QString() });
    m_store->updateRegInfo(update);
    loadScaling();
    m_handler->newPacketReceivedSlot(uplink("0102"));
    QCOMPARE(storedRows(), QStringLiteral("100 000d 000d")); // 2 x 3 + 7
    m_scaling.removeDevice(1);
    m_log->clear();
    m_handler->newPacketReceivedSlot(uplink("0102"));
    QCOMPARE(storedRows(), QStringLiteral("100 0002 0002"));
    const QStringList lines = logText().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).endsWith(
        QStringLiteral("ERROR: [CDataBaseHandler::getRegisterParam] Register is not exist!")));
    QVERIFY(lines.at(1).endsWith(CDataBaseHandler::registerParamStatement()));
}

void tst_UplinkDecoder::queuedUplinks()
{
    setUpDevice(QStringLiteral("1:8:uinteger:0"));
    const int slice = CAllDeviceHandler::UplinksPerPass;
    const int burst = 3 * slice + 1;
    for (int i = 1; i <= burst; ++i)
        m_handler->newPacketReceivedSlot(uplink(QByteArray::fromHex("01").append(char(i)).toHex()));
    const auto value = [](int n) { return QStringLiteral("100 %1 %1").arg(n, 4, 16, QLatin1Char('0')); };

    // a burst: the first slice is decoded at once, the rest in later passes, in arrival order
    QCOMPARE(m_announced.size(), slice);
    QCOMPARE(storedRows(), value(slice));
    QCOMPARE(m_handler->pendingUplinks(), burst - slice);
    QTRY_COMPARE(m_announced.size(), burst);
    QCOMPARE(m_handler->pendingUplinks(), 0);
    QCOMPARE(storedRows(), value(burst));

    // a device removed with uplinks still queued leaves none of them behind
    // (the last pass may still have room left, so only at most a slice goes at once)
    for (int i = 0; i < 2 * slice; ++i)
        m_handler->newPacketReceivedSlot(uplink("0109"));
    const int queued = m_handler->pendingUplinks();
    QVERIFY(queued >= slice);
    m_handler->removeDevice(QS_DEV_EUI, 1502);
    QTRY_COMPARE(m_handler->pendingUplinks(), 0);
    QCOMPARE(m_announced.size(), burst + 2 * slice - queued);
}

// Other work that always waits holds each uplink back once and no more: a
// burst is still decoded whole and in arrival order.
void tst_UplinkDecoder::uplinksGiveWayButAreNeverStarved()
{
    setUpDevice(QStringLiteral("1:8:uinteger:0"));
    int asked = 0;
    m_handler->setOtherWorkWaiting([&asked] {
        ++asked;
        return true;
    });
    const int burst = 2 * CAllDeviceHandler::UplinksPerPass + 1;
    for (int i = 1; i <= burst; ++i)
        m_handler->newPacketReceivedSlot(uplink(QByteArray::fromHex("01").append(char(i)).toHex()));
    QCOMPARE(m_announced.size(), 0);
    QCOMPARE(m_handler->pendingUplinks(), burst);
    QTRY_COMPARE(m_announced.size(), burst);
    QCOMPARE(storedRows(), QStringLiteral("100 %1 %1").arg(burst, 4, 16, QLatin1Char('0')));
    QVERIFY(asked >= burst);

    // with nothing waiting, an uplink is decoded at once again
    m_handler->setOtherWorkWaiting([] { return false; });
    m_handler->newPacketReceivedSlot(uplink("0133"));
    QCOMPARE(m_announced.size(), burst + 1);
}

void tst_UplinkDecoder::unknownServerKeyword()
{
    // Loading drops unknown keywords, so only a hand-made template reaches
    // this guard; the value is skipped, the rest decoded.
    SDeviceTemplate tpl(deviceTemplate(QStringLiteral("1:8:uinteger:0"), QStringLiteral("rssi:1:16"), 1, 2));
    QVERIFY(tpl.valid);
    SServerData freq = tpl.server_data.value(QStringLiteral("rssi"));
    freq.data_code = QStringLiteral("freq");
    tpl.server_data.insert(freq.data_code, freq);

    QStringList lines;
    SDeviceRegisterData batch;
    QVERIFY(Decoder::decodeUplink(
        uplink("0103"), tpl, 10, [](uint32_t) { return SRegisterParam(); },
        [&](const QString &line) { lines << line; }, batch));
    QCOMPARE(lines,
             QStringList { "WARNING: [CAllDeviceHandler::processDataSlot] Uncknown DataCode [freq]!" });
    QCOMPARE(batch.startAddr, 10);
    QCOMPARE(batch.registers.size(), 2);
    QCOMPARE(batch.registers.at(0).value, QStringLiteral("ffb6"));
    QCOMPARE(batch.registers.at(1).value, QStringLiteral("0003"));
}

QTEST_MAIN(tst_UplinkDecoder)
#include "tst_uplinkdecoder.moc"
