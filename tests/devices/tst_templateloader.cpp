#include "devices/templateloader.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// Loading one template file: what is refused, what the log hears and which
// problems and notes name which part.
class tst_TemplateLoader : public QObject
{
    Q_OBJECT

private slots:
    void loadRules_data();
    void loadRules();
};

namespace {

QString field(const char *name, int regBits, const QString &extra = {}, int offset = 0)
{
    return QStringLiteral(
               R"({"packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 8, "data_type": "uinteger",
        "reg_map_bias": %4, "reg_bit_bias": 0, "reg_bit_size": %2, "data_name": "%1" %3})")
        .arg(QLatin1String(name))
        .arg(regBits)
        .arg(extra)
        .arg(offset);
}

QString templateText(const QString &packets, const QString &extra = {})
{
    return QStringLiteral(R"({"app_eui": "a1b2c3d400000009", "dev_type": "T", %2 "device_packets": [%1]})")
        .arg(packets, extra);
}

QString packet(int type, const QString &fields)
{
    return QStringLiteral(R"({"packet_type": %1, "packet_size": 2, "packet_fields": [%2]})")
        .arg(type)
        .arg(fields);
}

QString writeTemplate(const QTemporaryDir &dir, const QString &name, const QString &text)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(text.toUtf8());
    return path;
}

// "where: reason" per issue.
QStringList described(const QList<TemplateLoader::SFileIssue> &issues)
{
    QStringList lines;
    for (const TemplateLoader::SFileIssue &issue : issues)
        lines << issue.where + QStringLiteral(": ") + issue.reason;
    return lines;
}

} // namespace

void tst_TemplateLoader::loadRules_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QStringList>("fieldsLeft");
    QTest::addColumn<QStringList>("problems");
    QTest::addColumn<QStringList>("notes");
    QTest::addColumn<QStringList>("log");

    const QString outside = QStringLiteral("WARNING: [CAllDeviceHandler::init] File [t.json]: field [%1] "
                                           "reg_bit_size [%2] is outside 1..64. Skip");
    // 0, 65 and -1 are refused (-1 would make registration write millions of rows); 1 and 64 load
    QTest::newRow("register sizes")
        << templateText(packet(1,
                               field("Zero", 0) + "," + field("One", 1) + "," + field("Wide", 65) + ","
                                   + field("Sixty-four", 64, {}, 1) + "," + field("Negative", -1)),
                        R"("server_data": [{"data_code": "rssi", "data_name": "RSSI", "reg_map_bias": 3,
                            "reg_bit_bias": 0, "reg_bit_size": 0}],)")
        << true << QStringList { "One", "Sixty-four" }
        << QStringList { "packet [1] field [Zero]: reg_bit_size [0] is outside 1..64",
                         "packet [1] field [Wide]: reg_bit_size [65] is outside 1..64",
                         "packet [1] field [Negative]: reg_bit_size [-1] is outside 1..64",
                         "server_data [rssi]: reg_bit_size [0] is outside 1..64" }
        << QStringList {}
        << QStringList { outside.arg("Zero").arg(0), outside.arg("Wide").arg(65),
                         outside.arg("Negative").arg(-1), outside.arg("RSSI").arg(0) };
    // one register map for all layouts and server values: entries on common registers are
    // problems naming both, and both load; the same value in two layouts is not
    const QString overlap = QStringLiteral(
        "WARNING: [CAllDeviceHandler::init] File [t.json]: %1 and %2 share registers %3; the later one is "
        "served there");
    QTest::newRow("overlaps")
        << templateText(packet(1, field("A", 32) + "," + field("B", 32, {}, 1)) + ","
                            + packet(2, field("A2", 32) + "," + field("C", 16, {}, 3)),
                        R"("server_data": [{"data_code": "rssi", "data_name": "RSSI", "reg_map_bias": 3,
                            "reg_bit_bias": 0, "reg_bit_size": 16}],)")
        << true << QStringList { "A", "B", "A2", "C" }
        << QStringList { "server_data [rssi]: shares registers 3 with packet [2] field [C]",
                         "packet [1] field [A]: shares registers 1 with packet [1] field [B]",
                         "packet [1] field [B]: shares registers 1 with packet [2] field [A2]" }
        << QStringList {}
        << QStringList { overlap.arg("server_data [rssi]", "packet [2] field [C]", "3"),
                         overlap.arg("packet [1] field [A]", "packet [1] field [B]", "1"),
                         overlap.arg("packet [1] field [B]", "packet [2] field [A2]", "1") };
    // a packet left without fields goes, and with it the only packet: the file is refused
    QTest::newRow("nothing left")
        << templateText(packet(1, field("Zero", 0))) << false << QStringList {}
        << QStringList { "packet [1] field [Zero]: reg_bit_size [0] is outside 1..64",
                         "packet [1]: no valid field", ": no valid packet in device_packets" }
        << QStringList {} << QStringList { outside.arg("Zero").arg(0) };
    // parts left out by the records, located by name or by position; unknown keys are notes only
    QTest::newRow("parts and notes")
        << templateText(packet(1, field("Kept", 16, R"(, "unit": "C")") + R"(, {"data_name": "Half"}, 5)")
                            + "," + packet(1, field("Later", 16)) + R"(, {"packet_fields": []})",
                        R"("comment": "x", "color": "sunset", "server_data": [{"data_code": "freq",
                            "data_name": "F", "reg_map_bias": 3, "reg_bit_bias": 0, "reg_bit_size": 16}],)")
        << true << QStringList { "Later" }
        << QStringList { "packet [1] field [Half]: required key [packet_bias] is missing",
                         "packet [1] field #3: not an object or empty",
                         "packet [1]: replaces an earlier packet of the same type",
                         "packet #3: required key [packet_type] is missing",
                         "server_data [freq]: server keyword [freq] is unknown" }
        << QStringList { ": key [comment] is not part of the format and is ignored",
                         "packet [1] field [Kept]: key [unit] is not part of the format and is ignored",
                         "color: [sunset] is no colour name; the default #94999D is used" }
        << QStringList { "ERROR: [SServerData] Server keyword [freq] is unknown!" };
}

void tst_TemplateLoader::loadRules()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QStringList, fieldsLeft);
    QFETCH(QStringList, problems);
    QFETCH(QStringList, notes);
    QFETCH(QStringList, log);

    QTemporaryDir dir;
    QStringList lines;
    const TemplateLoader::SLoadedFile loaded = TemplateLoader::loadFile(
        writeTemplate(dir, "t.json", text), "t.json", [&](const QString &line) { lines << line; });
    QStringList names;
    for (const SDevicePacket &p : loaded.deviceTemplate.device_packets)
        for (const SDevicePacketField &f : p.packet_fields)
            names << f.data_name;
    QCOMPARE(loaded.deviceTemplate.valid, valid);
    QCOMPARE(names, fieldsLeft);
    QCOMPARE(described(loaded.problems), problems);
    QCOMPARE(described(loaded.notes), notes);
    // the unknown keyword's line comes from the record, straight to the log file
    lines.removeAll(QStringLiteral("ERROR: [SServerData] Server keyword [freq] is unknown!"));
    log.removeAll(QStringLiteral("ERROR: [SServerData] Server keyword [freq] is unknown!"));
    QCOMPARE(lines, log);
}

QTEST_MAIN(tst_TemplateLoader)
#include "tst_templateloader.moc"
