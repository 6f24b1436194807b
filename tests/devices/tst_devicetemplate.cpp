#include "app/globaldata.h"
#include "app/logfile.h"
#include "devices/devicetemplate.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList g_debugLines;
QtMessageHandler g_previousHandler = nullptr;

void captureDebug(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg)
        g_debugLines.append(text);
    else if (g_previousHandler)
        g_previousHandler(type, context, text);
}

QJsonObject objectFrom(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

// A complete, valid field; tests derive faulty variants from it.
const QByteArray kField = R"({"packet_bias":1,"data_bit_bias":0,"data_bit_size":16,"data_type":"integer",
    "reg_map_bias":2,"reg_bit_bias":0,"reg_bit_size":16,"data_name":"Temperature"})";

QByteArray templateWith(const QByteArray &packets, const QByteArray &extra = QByteArray())
{
    return R"({"app_eui":"a1b2c3d4000000aa","dev_type":"Test type","device_packets":)" + packets + extra
        + "}";
}

QByteArray packetWith(int type, const QByteArray &fields = "[" + kField + "]")
{
    return R"({"packet_type":)" + QByteArray::number(type) + R"(,"packet_size":4,"packet_fields":)" + fields
        + "}";
}

} // namespace

class tst_DeviceTemplate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void fieldRecord_data();
    void fieldRecord();
    void serverDataRecord_data();
    void serverDataRecord();
    void packetRecord_data();
    void packetRecord();
    void templateRecord_data();
    void templateRecord();

    void unknownKeywordGoesToLogFile();
    void duplicatesLaterEntryWins();
    void negativePacketTypesSortLast();
    void colourNames_data();
    void colourNames();

    void sampleTemplates_data();
    void sampleTemplates();

private:
    QString newLogText();

    QTemporaryDir m_dir;
    qint64 m_logOffset = 0;
};

void tst_DeviceTemplate::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir::setCurrent(m_dir.path()));
    initGlobalData();
    CLogFile::getInstance(QStringLiteral("history.log"));
    g_previousHandler = qInstallMessageHandler(captureDebug);
}

void tst_DeviceTemplate::cleanupTestCase()
{
    qInstallMessageHandler(g_previousHandler);
}

void tst_DeviceTemplate::init()
{
    g_debugLines.clear();
    newLogText();
}

QString tst_DeviceTemplate::newLogText()
{
    QFile file(m_dir.filePath(QStringLiteral("history.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    file.seek(m_logOffset);
    const QByteArray text = file.readAll();
    m_logOffset += text.size();
    return QString::fromUtf8(text);
}

void tst_DeviceTemplate::fieldRecord_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("packetBias");
    QTest::addColumn<QString>("dataType");

    const QString invalid = QStringLiteral("[SDevicePacketField] Invalid input JSON");
    const QString null = QStringLiteral("[SDevicePacketField] One or several values of input JSON is NULL");

    QTest::newRow("complete") << kField << true << QString() << 1 << "integer";
    QTest::newRow("empty") << QByteArray("{}") << false << "[SDevicePacketField] Empty input JSON" << 0 << "";
    QTest::newRow("first key missing")
        << QByteArray(kField).replace("\"packet_bias\":1,", "") << false << invalid << 0 << "";
    QTest::newRow("last key missing")
        << QByteArray(kField).replace(",\"data_name\":\"Temperature\"", "") << false << invalid << 0 << "";
    QTest::newRow("null number") << QByteArray(kField).replace("\"reg_bit_size\":16", "\"reg_bit_size\":null")
                                 << false << null << 0 << "";
    QTest::newRow("null text") << QByteArray(kField).replace("\"integer\"", "null") << false << null << 0
                               << "";
    // Missing is tested before null, so a record with both reports the missing key.
    QTest::newRow("missing wins over null")
        << QByteArray(kField).replace("\"integer\"", "null").replace("\"packet_bias\":1,", "") << false
        << invalid << 0 << "";
    QTest::newRow("number written as string")
        << QByteArray(kField).replace("\"packet_bias\":1", "\"packet_bias\":\"7\"") << true << QString() << 0
        << "integer";
    QTest::newRow("number written as bool")
        << QByteArray(kField).replace("\"packet_bias\":1", "\"packet_bias\":true") << true << QString() << 0
        << "integer";
    QTest::newRow("text written as number")
        << QByteArray(kField).replace("\"integer\"", "5") << true << QString() << 1 << "";
    QTest::newRow("unknown data type accepted")
        << QByteArray(kField).replace("\"integer\"", "\"float\"") << true << QString() << 1 << "float";
}

void tst_DeviceTemplate::fieldRecord()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, valid);
    QFETCH(QString, message);
    QFETCH(int, packetBias);
    QFETCH(QString, dataType);

    const SDevicePacketField field(objectFrom(json));
    QCOMPARE(field.valid, valid);
    QCOMPARE(g_debugLines, message.isEmpty() ? QStringList() : QStringList { message });
    QCOMPARE(field.packet_bias, packetBias);
    QCOMPARE(field.data_type, dataType);
    if (valid) {
        QCOMPARE(field.data_bit_size, 16);
        QCOMPARE(field.reg_map_bias, 2);
        QCOMPARE(field.reg_bit_size, 16);
        QCOMPARE(field.data_name, QStringLiteral("Temperature"));
    }
}

void tst_DeviceTemplate::serverDataRecord_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("bitSize");
    QTest::addColumn<QString>("type");

    const QByteArray rssi = R"({"data_code":"rssi","reg_map_bias":3,"reg_bit_bias":0,"reg_bit_size":16,
        "data_name":"RSSI"})";
    QTest::newRow("rssi") << rssi << true << QStringList { "[rssi] - bitSize[16], type[integer]" } << 16
                          << "integer";
    QTest::newRow("gateway id") << QByteArray(rssi).replace("\"rssi\"", "\"gatewayId\"") << true
                                << QStringList { "[gatewayId] - bitSize[64], type[text]" } << 64 << "text";
    QTest::newRow("empty") << QByteArray("{}") << false << QStringList { "[SServerData] Empty input JSON" }
                           << 0 << "";
    QTest::newRow("no data_name") << QByteArray(rssi).replace("\"data_name\"", "\"name\"") << false
                                  << QStringList { "[SServerData] Invalid input JSON" } << 0 << "";
    QTest::newRow("null bias") << QByteArray(rssi).replace("\"reg_map_bias\":3", "\"reg_map_bias\":null")
                               << false
                               << QStringList { "[SServerData] One or several values of input JSON is NULL" }
                               << 0 << "";
    // Keywords are case-sensitive; an unknown one is reported in the log file only.
    QTest::newRow("keyword case") << QByteArray(rssi).replace("\"rssi\"", "\"RSSI\"") << false
                                  << QStringList() << 0 << "";
}

void tst_DeviceTemplate::serverDataRecord()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, valid);
    QFETCH(QStringList, messages);
    QFETCH(int, bitSize);
    QFETCH(QString, type);

    const SServerData data(objectFrom(json));
    QCOMPARE(data.valid, valid);
    QCOMPARE(g_debugLines, messages);
    QCOMPARE(data.bitSize, bitSize);
    QCOMPARE(data.type, type);
    if (valid) {
        QCOMPARE(data.reg_map_bias, 3);
        QCOMPARE(data.reg_bit_size, 16);
        QCOMPARE(data.data_name, QStringLiteral("RSSI"));
    }
}

void tst_DeviceTemplate::packetRecord_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("fieldCount");
    QTest::addColumn<int>("packetSize");

    const QByteArray noName = QByteArray(kField).replace(",\"data_name\":\"Temperature\"", "");
    QTest::newRow("complete") << packetWith(5) << true << QStringList() << 1 << 4;
    QTest::newRow("empty object is silent") << QByteArray("{}") << false << QStringList() << 0 << 0;
    QTest::newRow("no packet_type") << QByteArray(R"({"packet_fields":[)" + kField + "]}") << false
                                    << QStringList { "[SDevicePacket] Invalid input JSON" } << 0 << 0;
    QTest::newRow("null fields")
        << QByteArray(R"({"packet_type":1,"packet_fields":null})") << false
        << QStringList { "[SDevicePacket] One or several values of input JSON is NULL" } << 0 << 0;
    QTest::newRow("empty fields") << packetWith(1, "[]") << false
                                  << QStringList { "[SDevicePacket] Packet fields array is empty" } << 0 << 4;
    QTest::newRow("fields not an array")
        << packetWith(1, "\"x\"") << false << QStringList { "[SDevicePacket] Packet fields array is empty" }
        << 0 << 4;
    QTest::newRow("one of two fields invalid")
        << packetWith(1, "[" + noName + "," + kField + "]") << true
        << QStringList { "[SDevicePacketField] Invalid input JSON" } << 1 << 4;
    QTest::newRow("all fields invalid")
        << packetWith(1, "[" + noName + ", 7]") << false
        << QStringList { "[SDevicePacketField] Invalid input JSON", "[SDevicePacketField] Empty input JSON" }
        << 0 << 4;
    QTest::newRow("size as string")
        << QByteArray(packetWith(1)).replace("\"packet_size\":4", "\"packet_size\":\"6\"") << true
        << QStringList() << 1 << 0;
    QTest::newRow("size null")
        << QByteArray(packetWith(1)).replace("\"packet_size\":4", "\"packet_size\":null") << true
        << QStringList() << 1 << 0;
    QTest::newRow("size absent") << QByteArray(packetWith(1)).replace("\"packet_size\":4,", "") << true
                                 << QStringList() << 1 << 0;
}

void tst_DeviceTemplate::packetRecord()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, valid);
    QFETCH(QStringList, messages);
    QFETCH(int, fieldCount);
    QFETCH(int, packetSize);

    const SDevicePacket packet(objectFrom(json));
    QCOMPARE(packet.valid, valid);
    QCOMPARE(g_debugLines, messages);
    QCOMPARE(packet.packet_fields.size(), fieldCount);
    QCOMPARE(packet.packet_size, packetSize);
}

void tst_DeviceTemplate::templateRecord_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QStringList>("messages");

    const QString invalid = QStringLiteral("[SDeviceTemplate] Invalid input JSON");
    const QString null = QStringLiteral("[SDeviceTemplate] One or several values of input JSON is NULL");
    const QString noPackets = QStringLiteral("[SDeviceTemplate] Device packets array is empty");

    QTest::newRow("minimal") << templateWith("[" + packetWith(1) + "]") << true << QStringList();
    QTest::newRow("empty") << QByteArray("{}") << false
                           << QStringList { "[SDeviceTemplate] Empty input JSON" };
    QTest::newRow("no app_eui")
        << QByteArray(templateWith("[" + packetWith(1) + "]")).replace(R"("app_eui":"a1b2c3d4000000aa",)", "")
        << false << QStringList { invalid };
    QTest::newRow("no device_packets")
        << QByteArray(R"({"app_eui":"01","dev_type":"x"})") << false << QStringList { invalid };
    QTest::newRow("null dev_type")
        << QByteArray(templateWith("[" + packetWith(1) + "]")).replace(R"("Test type")", "null") << false
        << QStringList { null };
    QTest::newRow("packets without fields")
        << templateWith(R"([{"packet_type":1},{"packet_type":2}])") << false
        << QStringList { "[SDevicePacket] Invalid input JSON", "[SDevicePacket] Invalid input JSON",
                         noPackets };
    QTest::newRow("packets not an array") << templateWith("{}") << false << QStringList { noPackets };
    // Optional keys are read only after the packets made the template valid.
    QTest::newRow("bad colour on invalid template")
        << templateWith("[]", R"(,"color":"nocolour")") << false << QStringList { noPackets };
    QTest::newRow("server_data null")
        << templateWith("[" + packetWith(1) + "]", R"(,"server_data":null)") << true << QStringList();
    QTest::newRow("server_data entry invalid")
        << templateWith("[" + packetWith(1) + "]", R"(,"server_data":[{"data_code":"snr"}])") << true
        << QStringList { "[SServerData] Invalid input JSON" };
}

void tst_DeviceTemplate::templateRecord()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, valid);
    QFETCH(QStringList, messages);

    const SDeviceTemplate tpl(objectFrom(json));
    QCOMPARE(tpl.valid, valid);
    QCOMPARE(g_debugLines, messages);
    QCOMPARE(tpl.color, QColor(QStringLiteral("#94999D")));
    QVERIFY(tpl.server_data.isEmpty());
    if (valid) {
        // The catalogue matches AppEUIs in upper case.
        QCOMPARE(tpl.app_eui, QStringLiteral("A1B2C3D4000000AA"));
        QCOMPARE(tpl.dev_type, QStringLiteral("Test type"));
        QCOMPARE(tpl.device_packets.size(), 1);
    } else {
        QVERIFY(tpl.device_packets.isEmpty());
    }
}

void tst_DeviceTemplate::unknownKeywordGoesToLogFile()
{
    const SDeviceTemplate tpl(objectFrom(templateWith("[" + packetWith(1) + "]", R"(,"server_data":[
            {"data_code":"freq","reg_map_bias":3,"reg_bit_bias":0,"reg_bit_size":32,"data_name":"Frequency"},
            {"data_code":"snr","reg_map_bias":5,"reg_bit_bias":0,"reg_bit_size":16,"data_name":"SNR"}])")));
    QVERIFY(tpl.valid);
    QCOMPARE(tpl.server_data.keys(), QStringList { "snr" });
    QCOMPARE(g_debugLines, QStringList { "[snr] - bitSize[16], type[integer]" });
    const QString log = newLogText();
    QVERIFY2(log.endsWith(QStringLiteral("]ERROR: [SServerData] Server keyword [freq] is unknown!")),
             qPrintable(log));
    QCOMPARE(log.count(QLatin1Char('\n')), 1);
}

void tst_DeviceTemplate::duplicatesLaterEntryWins()
{
    const QByteArray secondField = QByteArray(kField).replace("Temperature", "Second");
    const SDeviceTemplate tpl(objectFrom(templateWith(
        "[" + packetWith(7) + "," + packetWith(7, "[" + secondField + "]") + "]", R"(,"server_data":[
            {"data_code":"fcnt","reg_map_bias":3,"reg_bit_bias":0,"reg_bit_size":32,"data_name":"First"},
            {"data_code":"fcnt","reg_map_bias":9,"reg_bit_bias":0,"reg_bit_size":32,"data_name":"Later"}])")));
    QVERIFY(tpl.valid);
    QCOMPARE(tpl.device_packets.size(), 1);
    QCOMPARE(tpl.device_packets.value(7).packet_fields.value(0).data_name, QStringLiteral("Second"));
    QCOMPARE(tpl.server_data.size(), 1);
    QCOMPARE(tpl.server_data.value("fcnt").data_name, QStringLiteral("Later"));
    QCOMPARE(tpl.server_data.value("fcnt").reg_map_bias, 9);
    QCOMPARE(tpl.server_data.value("fcnt").bitSize, 32);
}

void tst_DeviceTemplate::negativePacketTypesSortLast()
{
    // -128 stands for a first payload byte 0x80, -1 for 0xFF.
    const SDeviceTemplate tpl(objectFrom(templateWith("[" + packetWith(-1) + "," + packetWith(127) + ","
                                                      + packetWith(-128) + "," + packetWith(0) + "]")));
    QVERIFY(tpl.valid);
    const QList<uint32_t> expected { 0u, 127u, 0xFFFFFF80u, 0xFFFFFFFFu };
    QCOMPARE(tpl.device_packets.keys(), expected);
    QCOMPARE(tpl.device_packets.value(0xFFFFFF80u).packet_type, -128);
}

void tst_DeviceTemplate::colourNames_data()
{
    QTest::addColumn<QByteArray>("colour");
    QTest::addColumn<QColor>("expected");
    QTest::addColumn<QStringList>("messages");

    const QColor fallback(QStringLiteral("#94999D"));
    QTest::newRow("hex") << QByteArray(R"("#3f92d2")") << QColor(0x3f, 0x92, 0xd2) << QStringList();
    QTest::newRow("svg name") << QByteArray(R"("teal")") << QColor(0, 128, 128) << QStringList();
    QTest::newRow("no colour") << QByteArray(R"("sunset")") << fallback
                               << QStringList { "[SDeviceTemplate] Invalid color name [sunset]" };
    QTest::newRow("null") << QByteArray("null") << fallback
                          << QStringList { "[SDeviceTemplate] Invalid color name []" };
    QTest::newRow("number") << QByteArray("255") << fallback
                            << QStringList { "[SDeviceTemplate] Invalid color name []" };
}

void tst_DeviceTemplate::colourNames()
{
    QFETCH(QByteArray, colour);
    QFETCH(QColor, expected);
    QFETCH(QStringList, messages);

    const SDeviceTemplate tpl(objectFrom(templateWith("[" + packetWith(1) + "]", ",\"color\":" + colour)));
    QVERIFY(tpl.valid);
    QCOMPARE(tpl.color, expected);
    QCOMPARE(g_debugLines, messages);
}

void tst_DeviceTemplate::sampleTemplates_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("appEui");
    QTest::addColumn<QString>("devType");
    QTest::addColumn<uint32_t>("packetType");
    QTest::addColumn<int>("fieldCount");
    QTest::addColumn<QStringList>("serverKeys");

    QTest::newRow("th-sensor") << "th-sensor.json"
                               << "A1B2C3D400000001"
                               << "TH-Sense 20" << 1u << 3 << QStringList { "fcnt", "rssi", "snr", "ts" };
    QTest::newRow("pulse-counter") << "pulse-counter.json"
                                   << "A1B2C3D400000002"
                                   << "Pulse Meter 3" << 2u << 3
                                   << QStringList { "fcnt", "gatewayId", "rssi" };
    QTest::newRow("text-beacon") << "text-beacon.json"
                                 << "A1B2C3D400000003"
                                 << "Label Beacon" << 3u << 2 << QStringList { "devEui", "rssi" };
}

void tst_DeviceTemplate::sampleTemplates()
{
    QFETCH(QString, file);
    QFETCH(QString, appEui);
    QFETCH(QString, devType);
    QFETCH(uint32_t, packetType);
    QFETCH(int, fieldCount);
    QFETCH(QStringList, serverKeys);

    QFile source(QStringLiteral(TIDEWELL_SOURCE_DIR "/resources/templates/") + file);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(source.readAll(), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);

    const SDeviceTemplate tpl(document.object());
    QVERIFY(tpl.valid);
    QCOMPARE(tpl.app_eui, appEui);
    QCOMPARE(tpl.dev_type, devType);
    QVERIFY(tpl.color != QColor(QStringLiteral("#94999D")));
    QCOMPARE(tpl.device_packets.keys(), QList<uint32_t> { packetType });
    QCOMPARE(tpl.server_data.keys(), serverKeys);
    QVERIFY2(newLogText().isEmpty(), "a sample template produced a log line");

    const SDevicePacket packet = tpl.device_packets.value(packetType);
    QCOMPARE(packet.packet_fields.size(), fieldCount);

    // Every value must fit the payload and own its registers alone.
    QSet<int> usedRegisters;
    auto claim = [&](int first, int bits, const QString &name) {
        const int count = (bits + 15) / 16;
        for (int r = first; r < first + count; ++r) {
            if (usedRegisters.contains(r))
                return name;
            usedRegisters.insert(r);
        }
        return QString();
    };
    for (const SDevicePacketField &field : packet.packet_fields) {
        QVERIFY2(field.packet_bias >= 1, qPrintable(field.data_name));
        QVERIFY2(field.packet_bias + field.data_bit_size / 8 <= packet.packet_size,
                 qPrintable(field.data_name));
        QVERIFY(field.data_bit_size % 8 == 0 && field.data_bit_size <= 64);
        QVERIFY(field.reg_bit_size >= field.data_bit_size || field.data_bit_size == 8);
        QCOMPARE(claim(field.reg_map_bias, field.reg_bit_size, field.data_name), QString());
    }
    for (const SServerData &data : tpl.server_data)
        QCOMPARE(claim(data.reg_map_bias, data.reg_bit_size, data.data_name), QString());
}

QTEST_MAIN(tst_DeviceTemplate)
#include "tst_devicetemplate.moc"
