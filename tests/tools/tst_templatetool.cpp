#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// tidewell-template as a child process: check on good and broken templates,
// decode of known payloads.
class tst_TemplateTool : public QObject
{
    Q_OBJECT

private slots:
    void checkSamples();
    void checkBrokenFolder();
    void decodeTable();
    void decodeJson();
    void decodeRefused();
    void checkOverlaps();
};

namespace {

struct SRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

SRun run(const QStringList &arguments)
{
    QProcess tool;
    tool.start(QStringLiteral(TEMPLATE_TOOL), arguments);
    SRun result;
    if (!tool.waitForFinished(60000) || tool.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = tool.exitCode();
    result.out = QString::fromUtf8(tool.readAllStandardOutput());
    result.err = QString::fromUtf8(tool.readAllStandardError());
    return result;
}

void write(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

QByteArray field(const char *name, int bias, int bits, const char *type, int reg, int regBits,
                 const QByteArray &extra = {})
{
    return QStringLiteral(R"({"data_name": "%1", "packet_bias": %2, "data_bit_bias": 0, "data_bit_size": %3,
        "data_type": "%4", "reg_map_bias": %5, "reg_bit_bias": 0, "reg_bit_size": %6)")
               .arg(QLatin1String(name))
               .arg(bias)
               .arg(bits)
               .arg(QLatin1String(type))
               .arg(reg)
               .arg(regBits)
               .toUtf8()
        + extra + "}";
}

QByteArray deviceTemplate(const char *appEui, int type, int size, const QByteArray &fields,
                          const QByteArray &extra = {})
{
    return QStringLiteral(R"({"app_eui": "%1", "dev_type": "T", %4 "device_packets": [
        {"packet_type": %2, "packet_size": %3, "packet_fields": [)")
               .arg(QLatin1String(appEui))
               .arg(type)
               .arg(size)
               .arg(QString::fromUtf8(extra))
               .toUtf8()
        + fields + "]}]}";
}

// float 1.5 at byte 1, uint32 0x01020304 low word first at byte 5, int16 -2 at byte 9, text "Hi" at byte 11;
// rssi after the fields
const QByteArray kMeter = deviceTemplate(
    "a1b2c3d4000000e1", 2, 13,
    field("Flow", 1, 32, "float", 0, 32) + ","
        + field("Total", 5, 32, "uinteger", 2, 32, R"(, "reg_word_order": "low_first")") + ","
        + field("Delta", 9, 16, "integer", 4, 16) + "," + field("Tag", 11, 16, "text", 5, 16),
    R"("server_data": [{"data_code": "rssi", "data_name": "RSSI", "reg_map_bias": 6, "reg_bit_bias": 0,
        "reg_bit_size": 16}],)");
const char *const kMeterPayload = "02 0000c03f 04030201 feff 4869";

} // namespace

void tst_TemplateTool::checkSamples()
{
    QStringList arguments { QStringLiteral("check") };
    for (const char *name : { "th-sensor.json", "pulse-counter.json", "text-beacon.json" })
        arguments << QStringLiteral(TIDEWELL_SOURCE_DIR "/resources/templates/") + name;
    const SRun result = run(arguments);
    QCOMPARE(result.out, QStringLiteral("3 file(s), 0 problem(s), 0 note(s)\n"));
    QCOMPARE(result.exitCode, 0);
}

void tst_TemplateTool::checkBrokenFolder()
{
    QTemporaryDir dir;
    const QString d = dir.path() + QLatin1Char('/');
    const QByteArray good = field("Good", 1, 8, "uinteger", 0, 16);
    write(d + "a-syntax.json", "{\"app_eui\": ");
    write(d + "b-no-eui.json", R"({"dev_type": "T", "device_packets": []})");
    // refused at load: sizes outside 1..64 and an unknown word order; the good field stays
    write(d + "c-load.json",
          deviceTemplate("e1", 1, 2,
                         good + "," + field("Wide", 1, 8, "uinteger", 1, 65) + ","
                             + field("Order", 1, 8, "uinteger", 2, 16, R"(, "reg_word_order": "middle")")));
    write(d + "d-same-eui.json", deviceTemplate("E1", 1, 2, good));
    // skipped at every uplink: a 16-bit float, a field past the payload, an unaligned one, a type
    // byte that cannot occur; a misspelt key is a note
    write(d + "e-decode.json",
          deviceTemplate("e2", 1, 4,
                         field("Half", 1, 16, "float", 0, 16) + "," + field("Past", 3, 16, "uinteger", 1, 16)
                             + "," + field("Nibble", 1, 4, "uinteger", 2, 16, R"(, "reg_bit_sise": 16)")));
    write(d + "f-type.json", deviceTemplate("e3", 255, 2, good));
    write(d + "notes.txt", "not read");

    const SRun result = run({ QStringLiteral("check"), dir.path() });
    const QString w = QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] ");
    const QStringList expected {
        d + "a-syntax.json: problem: invalid JSON at character 12: unterminated object",
        d + "b-no-eui.json: problem: required key [app_eui] is missing",
        d + "c-load.json: problem: packet [1] field [Wide]: reg_bit_size [65] is outside 1..64",
        d
            + "c-load.json: problem: packet [1] field [Order]: reg_word_order [middle] is neither high_first "
              "nor "
              "low_first",
        d + "d-same-eui.json: problem: app_eui [E1] is taken by an earlier file",
        d + "e-decode.json: problem: packet [1] field [Half]: " + w
            + "Unsupport type of data [float], size [2]",
        d + "e-decode.json: problem: packet [1] field [Past]: " + w
            + "Field [Past] is outside the packet: bias [3], size [2], packet size [4]. Skip",
        d
            + "e-decode.json: problem: packet [1] field [Nibble]: "
              "ERROR: [CAllDeviceHandler::processDataSlot] Unsupport functional",
        d
            + "f-type.json: problem: packet [255]: packet_type [255] never matches: first payload bytes "
              "0x80..0xFF "
              "are types -128..-1",
        d
            + "e-decode.json: note: packet [1] field [Nibble]: key [reg_bit_sise] is not part of the format "
              "and is "
              "ignored",
        "6 file(s), 9 problem(s), 1 note(s)",
    };
    QCOMPARE(result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);
    QCOMPARE(result.exitCode, 1);
}

void tst_TemplateTool::decodeTable()
{
    QTemporaryDir dir;
    write(dir.filePath("meter.json"), kMeter);
    const SRun result
        = run({ "decode", dir.filePath("meter.json"), "--payload", kMeterPayload, "--rssi", "-74" });
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out,
             QStringLiteral("ADDRESS  NAME   REGISTERS            VALUE\n"
                            "0        Flow   3fc0 0000            1.5\n"
                            "2        Total  0304 0102            16909060\n"
                            "4        Delta  fffe                 -2\n"
                            "5        Tag    4869                 Hi\n"
                            "6        RSSI   ffb6                 -74\n"));
}

void tst_TemplateTool::decodeJson()
{
    QTemporaryDir dir;
    write(dir.filePath("meter.json"), kMeter);
    const SRun result = run({ "decode", dir.filePath("meter.json"), "--payload", kMeterPayload, "--json" });
    QCOMPARE(result.exitCode, 0);
    const QJsonObject out = QJsonDocument::fromJson(result.out.toUtf8()).object();
    QCOMPARE(out.value("app_eui").toString(), QStringLiteral("A1B2C3D4000000E1"));
    const QJsonArray registers = out.value("registers").toArray();
    QCOMPARE(registers.size(), 5);
    const QJsonObject flow = registers.at(0).toObject();
    QCOMPARE(flow.value("address").toInt(), 0);
    QCOMPARE(flow.value("name").toString(), QStringLiteral("Flow"));
    QCOMPARE(flow.value("type").toString(), QStringLiteral("float"));
    QCOMPARE(flow.value("registers").toArray(), QJsonArray({ "3fc0", "0000" }));
    QCOMPARE(flow.value("value").toString(), QStringLiteral("1.5"));
    QCOMPARE(registers.at(4).toObject().value("value").toString(), QStringLiteral("0"));
}

void tst_TemplateTool::decodeRefused()
{
    QTemporaryDir dir;
    write(dir.filePath("meter.json"), kMeter);
    // one byte short: the gateway's warning, nothing served
    const SRun result = run({ "decode", dir.filePath("meter.json"), "--payload", "020000c03f" });
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QString());
    QVERIFY2(result.err.contains("WARNING: [CAllDeviceHandler::processDataSlot] Invalid size of packet [02]. "
                                 "Expect [13], real [5]"),
             qPrintable(result.err));
    QCOMPARE(run({ "decode", dir.filePath("meter.json"), "--payload", "0g" }).exitCode, 2);
}

// A float at registers 0..1 and a uint32 at 1 hide one another: a problem
// that names both.
void tst_TemplateTool::checkOverlaps()
{
    QTemporaryDir dir;
    write(dir.filePath("overlap.json"),
          deviceTemplate("e4", 1, 9,
                         field("Flow", 1, 32, "float", 0, 32) + ","
                             + field("Total", 5, 32, "uinteger", 1, 32)));
    const SRun result = run({ QStringLiteral("check"), dir.filePath("overlap.json") });
    QCOMPARE(result.out,
             dir.filePath("overlap.json")
                 + ": problem: packet [1] field [Flow]: shares registers 1 with packet [1] field [Total]\n"
                   "1 file(s), 1 problem(s), 0 note(s)\n");
    QCOMPARE(result.exitCode, 1);
}

QTEST_MAIN(tst_TemplateTool)
#include "tst_templatetool.moc"
