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

// A complete, valid field; the cases derive faulty variants from it.
const QByteArray kField = R"({"packet_bias":1,"data_bit_bias":0,"data_bit_size":16,"data_type":"integer",
    "reg_map_bias":2,"reg_bit_bias":0,"reg_bit_size":16,"data_name":"Temperature"})";
const QByteArray kServer = R"({"data_code":"rssi","reg_map_bias":3,"reg_bit_bias":0,"reg_bit_size":16,
    "data_name":"RSSI"})";

QByteArray packetWith(int type, const QByteArray &fields = "[" + kField + "]")
{
    return R"({"packet_type":)" + QByteArray::number(type) + R"(,"packet_size":4,"packet_fields":)" + fields
        + "}";
}

QByteArray templateWith(const QByteArray &packets = "[" + packetWith(1) + "]", const QByteArray &extra = {})
{
    return R"({"app_eui":"a1b2c3d4000000aa","dev_type":"Test type","device_packets":)" + packets + extra
        + "}";
}

QByteArray edited(QByteArray json, const QByteArray &from, const QByteArray &to)
{
    return json.replace(from, to);
}

} // namespace

class tst_DeviceTemplate : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    qint64 m_logOffset = 0;

    QString newLogText()
    {
        QFile file(m_dir.filePath(QStringLiteral("history.log")));
        if (!file.open(QIODevice::ReadOnly) || !file.seek(m_logOffset))
            return {};
        const QByteArray text = file.readAll();
        m_logOffset += text.size();
        return QString::fromUtf8(text);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(m_dir.path()));
        initGlobalData();
        CLogFile::getInstance(QStringLiteral("history.log"));
        g_previousHandler = qInstallMessageHandler(captureDebug);
    }

    void cleanupTestCase() { qInstallMessageHandler(g_previousHandler); }

    void init()
    {
        g_debugLines.clear();
        newLogText();
    }

    // Validity and messages of each record over missing, null and odd keys.
    void validation_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QStringList>("messages");

        const auto row = [](const char *name, const char *record, const QByteArray &json, bool valid,
                            const QStringList &messages) {
            QTest::newRow(name) << QString::fromLatin1(record) << json << valid << messages;
        };
        const QString invalid = QStringLiteral("[%1] Invalid input JSON");
        const QString null = QStringLiteral("[%1] One or several values of input JSON is NULL");
        const QString empty = QStringLiteral("[%1] Empty input JSON");
        const QString field = QStringLiteral("SDevicePacketField");
        const QByteArray noName = edited(kField, ",\"data_name\":\"Temperature\"", "");
        row("field: complete", "field", kField, true, {});
        row("field: empty", "field", "{}", false, { empty.arg(field) });
        row("field: first key missing", "field", edited(kField, "\"packet_bias\":1,", ""), false,
            { invalid.arg(field) });
        row("field: last key missing", "field", noName, false, { invalid.arg(field) });
        row("field: null number", "field", edited(kField, ":16,\"data_type\"", ":null,\"data_type\""), false,
            { null.arg(field) });
        row("field: null text", "field", edited(kField, "\"integer\"", "null"), false, { null.arg(field) });
        // Missing is tested before null.
        row("field: missing and null", "field", edited(noName, "\"integer\"", "null"), false,
            { invalid.arg(field) });

        const QString server = QStringLiteral("SServerData");
        row("server: rssi", "server", kServer, true, { "[rssi] - bitSize[16], type[integer]" });
        row("server: gateway id", "server", edited(kServer, "\"rssi\"", "\"gatewayId\""), true,
            { "[gatewayId] - bitSize[64], type[text]" });
        row("server: empty", "server", "{}", false, { empty.arg(server) });
        row("server: no data_name", "server", edited(kServer, "\"data_name\"", "\"name\""), false,
            { invalid.arg(server) });
        row("server: null bias", "server", edited(kServer, ":3", ":null"), false, { null.arg(server) });
        // Keywords are case-sensitive; an unknown one goes to the log file only.
        row("server: keyword case", "server", edited(kServer, "\"rssi\"", "\"RSSI\""), false, {});

        const QString packet = QStringLiteral("SDevicePacket");
        const QString noFields = QStringLiteral("[SDevicePacket] Packet fields array is empty");
        row("packet: empty object is silent", "packet", "{}", false, {});
        row("packet: no packet_type", "packet", R"({"packet_fields":[)" + kField + "]}", false,
            { invalid.arg(packet) });
        row("packet: null fields", "packet", R"({"packet_type":1,"packet_fields":null})", false,
            { null.arg(packet) });
        row("packet: empty fields", "packet", packetWith(1, "[]"), false, { noFields });
        row("packet: fields not an array", "packet", packetWith(1, "\"x\""), false, { noFields });
        row("packet: one of two fields invalid", "packet", packetWith(1, "[" + noName + "," + kField + "]"),
            true, { invalid.arg(field) });
        row("packet: all fields invalid", "packet", packetWith(1, "[" + noName + ", 7]"), false,
            { invalid.arg(field), empty.arg(field) });
        row("packet: size null", "packet", edited(packetWith(1), ":4", ":null"), true, {});
        row("packet: size absent", "packet", edited(packetWith(1), "\"packet_size\":4,", ""), true, {});

        const QString tpl = QStringLiteral("SDeviceTemplate");
        const QString noPackets = QStringLiteral("[SDeviceTemplate] Device packets array is empty");
        row("template: minimal", "template", templateWith(), true, {});
        row("template: empty", "template", "{}", false, { empty.arg(tpl) });
        row("template: no app_eui", "template", edited(templateWith(), "\"app_eui\"", "\"eui\""), false,
            { invalid.arg(tpl) });
        row("template: no device_packets", "template", R"({"app_eui":"01","dev_type":"x"})", false,
            { invalid.arg(tpl) });
        row("template: null dev_type", "template", edited(templateWith(), "\"Test type\"", "null"), false,
            { null.arg(tpl) });
        row("template: packets without fields", "template",
            templateWith(R"([{"packet_type":1},{"packet_type":2}])"), false,
            { invalid.arg(packet), invalid.arg(packet), noPackets });
        row("template: packets not an array", "template", templateWith("{}"), false, { noPackets });
        // Optional keys are read only after the packets made the template valid.
        row("template: bad colour on invalid template", "template",
            templateWith("[]", R"(,"color":"nocolour")"), false, { noPackets });
        row("template: server_data null", "template",
            templateWith("[" + packetWith(1) + "]", R"(,"server_data":null)"), true, {});
        row("template: server_data entry invalid", "template",
            templateWith("[" + packetWith(1) + "]", R"(,"server_data":[{"data_code":"snr"}])"), true,
            { invalid.arg(server) });
    }

    void validation()
    {
        QFETCH(QString, record);
        QFETCH(QByteArray, json);
        QFETCH(bool, valid);
        QFETCH(QStringList, messages);

        const QJsonObject object = objectFrom(json);
        bool result = false;
        if (record == "field")
            result = SDevicePacketField(object).valid;
        else if (record == "server")
            result = SServerData(object).valid;
        else if (record == "packet")
            result = SDevicePacket(object).valid;
        else
            result = SDeviceTemplate(object).valid;
        QCOMPARE(result, valid);
        QCOMPARE(g_debugLines, messages);
    }

    void conversions()
    {
        // Numbers written as strings or booleans read as 0, texts written as numbers as "".
        const SDevicePacketField stringNumber(
            objectFrom(edited(kField, "\"packet_bias\":1", "\"packet_bias\":\"7\"")));
        QVERIFY(stringNumber.valid);
        QCOMPARE(stringNumber.packet_bias, 0);
        QCOMPARE(stringNumber.reg_map_bias, 2);
        QCOMPARE(SDevicePacketField(objectFrom(edited(kField, "\"packet_bias\":1", "\"packet_bias\":true")))
                     .packet_bias,
                 0);
        QCOMPARE(SDevicePacketField(objectFrom(edited(kField, "\"integer\"", "5"))).data_type, QString());
        QCOMPARE(SDevicePacket(objectFrom(edited(packetWith(1), ":4", ":\"6\""))).packet_size, 0);
        QCOMPARE(SServerData(objectFrom(kServer)).reg_map_bias, 3);

        // The catalogue matches AppEUIs in upper case.
        const SDeviceTemplate tpl(objectFrom(templateWith()));
        QCOMPARE(tpl.app_eui, QStringLiteral("A1B2C3D4000000AA"));
        QCOMPARE(tpl.dev_type, QStringLiteral("Test type"));
        QCOMPARE(tpl.device_packets.value(1).packet_fields.value(0).data_name, QStringLiteral("Temperature"));
    }

    void unknownKeywordGoesToLogFile()
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

    void packetTypes()
    {
        // Of duplicate entries the later one wins.
        const SDeviceTemplate dup(objectFrom(
            templateWith("[" + packetWith(7) + ","
                             + packetWith(7, "[" + edited(kField, "Temperature", "Second") + "]") + "]",
                         R"(,"server_data":[
            {"data_code":"fcnt","reg_map_bias":3,"reg_bit_bias":0,"reg_bit_size":32,"data_name":"First"},
            {"data_code":"fcnt","reg_map_bias":9,"reg_bit_bias":0,"reg_bit_size":32,"data_name":"Later"}])")));
        QCOMPARE(dup.device_packets.keys(), QList<uint32_t> { 7 });
        QCOMPARE(dup.device_packets.value(7).packet_fields.value(0).data_name, QStringLiteral("Second"));
        QCOMPARE(dup.server_data.keys(), QStringList { "fcnt" });
        QCOMPARE(dup.server_data.value("fcnt").reg_map_bias, 9);

        // -128 stands for a first payload byte 0x80, -1 for 0xFF: they sort last.
        const SDeviceTemplate tpl(objectFrom(templateWith("[" + packetWith(-1) + "," + packetWith(127) + ","
                                                          + packetWith(-128) + "," + packetWith(0) + "]")));
        QCOMPARE(tpl.device_packets.keys(), QList<uint32_t>({ 0u, 127u, 0xFFFFFF80u, 0xFFFFFFFFu }));
        QCOMPARE(tpl.device_packets.value(0xFFFFFF80u).packet_type, -128);
    }

    void colourNames_data()
    {
        QTest::addColumn<QByteArray>("colour");
        QTest::addColumn<QColor>("expected");
        QTest::addColumn<QStringList>("messages");

        const QColor fallback(QStringLiteral("#94999D"));
        QTest::newRow("hex") << QByteArray("\"#3f92d2\"") << QColor(0x3f, 0x92, 0xd2) << QStringList();
        QTest::newRow("svg name") << QByteArray(R"("teal")") << QColor(0, 128, 128) << QStringList();
        QTest::newRow("no colour") << QByteArray(R"("sunset")") << fallback
                                   << QStringList { "[SDeviceTemplate] Invalid color name [sunset]" };
        QTest::newRow("number") << QByteArray("255") << fallback
                                << QStringList { "[SDeviceTemplate] Invalid color name []" };
    }

    void colourNames()
    {
        QFETCH(QByteArray, colour);
        QFETCH(QColor, expected);
        QFETCH(QStringList, messages);

        const SDeviceTemplate tpl(
            objectFrom(templateWith("[" + packetWith(1) + "]", ",\"color\":" + colour)));
        QVERIFY(tpl.valid);
        QCOMPARE(tpl.color, expected);
        QCOMPARE(g_debugLines, messages);
    }

    void sampleTemplates()
    {
        for (const char *name : { "th-sensor.json", "pulse-counter.json", "text-beacon.json" }) {
            QFile source(QStringLiteral(TIDEWELL_SOURCE_DIR "/resources/templates/") + name);
            QVERIFY(source.open(QIODevice::ReadOnly));
            const SDeviceTemplate tpl(QJsonDocument::fromJson(source.readAll()).object());
            QVERIFY2(tpl.valid && tpl.device_packets.size() == 1 && !tpl.server_data.isEmpty(), name);
            QVERIFY2(tpl.color != QColor(QStringLiteral("#94999D")), name);
            QVERIFY2(newLogText().isEmpty(), name);

            // Every value must fit the payload and own its registers alone.
            QSet<int> used;
            auto claim = [&](int first, int bits) {
                for (int r = first; r < first + (bits + 15) / 16; ++r) {
                    if (used.contains(r))
                        return false;
                    used.insert(r);
                }
                return true;
            };
            const SDevicePacket packet = tpl.device_packets.first();
            for (const SDevicePacketField &field : packet.packet_fields) {
                QVERIFY2(field.packet_bias >= 1
                             && field.packet_bias + field.data_bit_size / 8 <= packet.packet_size,
                         qPrintable(field.data_name));
                QVERIFY(field.data_bit_size % 8 == 0 && field.data_bit_size <= 64);
                QVERIFY(field.reg_bit_size >= field.data_bit_size || field.data_bit_size == 8);
                QVERIFY2(claim(field.reg_map_bias, field.reg_bit_size), qPrintable(field.data_name));
            }
            for (const SServerData &data : tpl.server_data)
                QVERIFY2(claim(data.reg_map_bias, data.reg_bit_size), qPrintable(data.data_name));
        }
    }
};

QTEST_MAIN(tst_DeviceTemplate)
#include "tst_devicetemplate.moc"
