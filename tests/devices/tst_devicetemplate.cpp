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

QByteArray templateWith(const QByteArray &extra = {}, const QByteArray &packets = "[" + packetWith(1) + "]")
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

        // The record is named before the colon.
        const auto row
            = [](const char *name, const QByteArray &json, bool valid, const QStringList &messages) {
                  QTest::newRow(name) << QString::fromLatin1(name).section(QLatin1Char(':'), 0, 0) << json
                                      << valid << messages;
              };
        const QString invalid = QStringLiteral("[%1] Invalid input JSON");
        const QString null = QStringLiteral("[%1] One or several values of input JSON is NULL");
        const QString empty = QStringLiteral("[%1] Empty input JSON");
        const QString field = QStringLiteral("SDevicePacketField");
        const QByteArray noName = edited(kField, ",\"data_name\":\"Temperature\"", "");
        row("field: complete", kField, true, {});
        row("field: empty", "{}", false, { empty.arg(field) });
        row("field: last key missing", noName, false, { invalid.arg(field) });
        row("field: null number", edited(kField, ":16,\"data_type\"", ":null,\"data_type\""), false,
            { null.arg(field) });
        // Missing is tested before null.
        row("field: missing and null", edited(noName, "\"integer\"", "null"), false, { invalid.arg(field) });

        const QString server = QStringLiteral("SServerData");
        row("server: rssi", kServer, true, { "[rssi] - bitSize[16], type[integer]" });
        row("server: empty", "{}", false, { empty.arg(server) });
        row("server: no data_name", edited(kServer, "\"data_name\"", "\"name\""), false,
            { invalid.arg(server) });
        row("server: null bias", edited(kServer, ":3", ":null"), false, { null.arg(server) });
        // Keywords are case-sensitive; an unknown one goes to the log file only.
        row("server: keyword case", edited(kServer, "\"rssi\"", "\"RSSI\""), false, {});

        const QString packet = QStringLiteral("SDevicePacket");
        const QString noFields = QStringLiteral("[SDevicePacket] Packet fields array is empty");
        row("packet: empty object is silent", "{}", false, {});
        row("packet: no packet_type", R"({"packet_fields":[)" + kField + "]}", false,
            { invalid.arg(packet) });
        row("packet: null fields", R"({"packet_type":1,"packet_fields":null})", false, { null.arg(packet) });
        row("packet: empty fields", packetWith(1, "[]"), false, { noFields });
        row("packet: one of two fields invalid", packetWith(1, "[" + noName + "," + kField + "]"), true,
            { invalid.arg(field) });
        row("packet: all fields invalid", packetWith(1, "[" + noName + ", 7]"), false,
            { invalid.arg(field), empty.arg(field) });
        row("packet: size null", edited(packetWith(1), ":4", ":null"), true, {});

        const QString tpl = QStringLiteral("SDeviceTemplate");
        const QString noPackets = QStringLiteral("[SDeviceTemplate] Device packets array is empty");
        row("template: minimal", templateWith(), true, {});
        row("template: empty", "{}", false, { empty.arg(tpl) });
        row("template: no app_eui", edited(templateWith(), "\"app_eui\"", "\"eui\""), false,
            { invalid.arg(tpl) });
        row("template: null dev_type", edited(templateWith(), "\"Test type\"", "null"), false,
            { null.arg(tpl) });
        row("template: packets without fields", templateWith({}, R"([{"packet_type":1},{"packet_type":2}])"),
            false, { invalid.arg(packet), invalid.arg(packet), noPackets });
        // Optional keys are read only after the packets made the template valid.
        row("template: bad colour on invalid template", templateWith(R"(,"color":"nocolour")", "[]"), false,
            { noPackets });
        row("template: server_data null", templateWith(R"(,"server_data":null)"), true, {});
        row("template: server_data entry invalid", templateWith(R"(,"server_data":[{"data_code":"snr"}])"),
            true, { invalid.arg(server) });
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
        for (const QByteArray odd : { "\"7\"", "true" }) {
            const SDevicePacketField field(objectFrom(edited(kField, ":1,", ":" + odd + ",")));
            QVERIFY(field.valid && field.packet_bias == 0 && field.reg_map_bias == 2);
        }
        QCOMPARE(SDevicePacketField(objectFrom(edited(kField, "\"integer\"", "5"))).data_type, QString());
        QCOMPARE(SDevicePacket(objectFrom(edited(packetWith(1), ":4", ":\"6\""))).packet_size, 0);
        QCOMPARE(SServerData(objectFrom(kServer)).reg_map_bias, 3);

        // The catalogue matches AppEUIs in upper case.
        const SDeviceTemplate tpl(objectFrom(templateWith()));
        QCOMPARE(tpl.app_eui + tpl.dev_type, QStringLiteral("A1B2C3D4000000AATest type"));
        QCOMPARE(tpl.device_packets.value(1).packet_fields.value(0).data_name, QStringLiteral("Temperature"));
    }

    void serverDataAndPacketTypes()
    {
        // Of duplicate entries the later one wins; an unknown keyword goes to the log file.
        const QByteArray second = "[" + edited(kField, "Temperature", "Second") + "]";
        const SDeviceTemplate dup(
            objectFrom(templateWith(R"(,"server_data":[
            {"data_code":"fcnt","reg_map_bias":3,"reg_bit_bias":0,"reg_bit_size":32,"data_name":"First"},
            {"data_code":"freq","reg_map_bias":3,"reg_bit_bias":0,"reg_bit_size":32,"data_name":"Frequency"},
            {"data_code":"fcnt","reg_map_bias":9,"reg_bit_bias":0,"reg_bit_size":32,"data_name":"Later"}])",
                                    "[" + packetWith(7) + "," + packetWith(7, second) + "]")));
        QVERIFY(dup.valid);
        const QString fcnt = QStringLiteral("[fcnt] - bitSize[32], type[uinteger]");
        QCOMPARE(dup.device_packets.keys(), QList<uint32_t> { 7 });
        QCOMPARE(dup.device_packets.value(7).packet_fields.value(0).data_name, QStringLiteral("Second"));
        QCOMPARE(dup.server_data.keys(), QStringList { "fcnt" });
        QCOMPARE(dup.server_data.value("fcnt").reg_map_bias, 9);
        QCOMPARE(g_debugLines, QStringList({ fcnt, fcnt }));
        const QString log = newLogText();
        QVERIFY2(log.endsWith(QStringLiteral("]ERROR: [SServerData] Server keyword [freq] is unknown!")),
                 qPrintable(log));
        QCOMPARE(log.count(QLatin1Char('\n')), 1);

        // -128 stands for a first payload byte 0x80, -1 for 0xFF: they sort last.
        const SDeviceTemplate tpl(
            objectFrom(templateWith({},
                                    "[" + packetWith(-1) + "," + packetWith(127) + "," + packetWith(-128)
                                        + "," + packetWith(0) + "]")));
        QCOMPARE(tpl.device_packets.keys(), QList<uint32_t>({ 0u, 127u, 0xFFFFFF80u, 0xFFFFFFFFu }));
        QCOMPARE(tpl.device_packets.value(0xFFFFFF80u).packet_type, -128);
    }

    void colourNames()
    {
        const QColor fallback(QStringLiteral("#94999D"));
        const QList<std::tuple<QByteArray, QColor, QStringList>> cases {
            { "\"#3f92d2\"", QColor(0x3f, 0x92, 0xd2), {} },
            { "\"teal\"", QColor(0, 128, 128), {} },
            { "\"sunset\"", fallback, { "[SDeviceTemplate] Invalid color name [sunset]" } },
            { "255", fallback, { "[SDeviceTemplate] Invalid color name []" } },
        };
        for (const auto &[colour, expected, messages] : cases) {
            g_debugLines.clear();
            const SDeviceTemplate tpl(objectFrom(templateWith(",\"color\":" + colour)));
            QVERIFY(tpl.valid);
            QCOMPARE(tpl.color, expected);
            QCOMPARE(g_debugLines, messages);
        }
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
            QList<int> registers;
            auto claim = [&](int first, int bits) {
                for (int r = first; r < first + (bits + 15) / 16; ++r)
                    registers.append(r);
            };
            const SDevicePacket packet = tpl.device_packets.first();
            for (const SDevicePacketField &f : packet.packet_fields) {
                QVERIFY2(f.packet_bias >= 1 && f.packet_bias + f.data_bit_size / 8 <= packet.packet_size
                             && f.data_bit_size % 8 == 0 && f.data_bit_size <= 64
                             && (f.reg_bit_size >= f.data_bit_size || f.data_bit_size == 8),
                         qPrintable(f.data_name));
                claim(f.reg_map_bias, f.reg_bit_size);
            }
            for (const SServerData &data : tpl.server_data)
                claim(data.reg_map_bias, data.reg_bit_size);
            QCOMPARE(QSet<int>(registers.cbegin(), registers.cend()).size(), registers.size());
        }
    }
};

QTEST_MAIN(tst_DeviceTemplate)
#include "tst_devicetemplate.moc"
