#include "app/logfile.h"
#include "app/loglimiter.h"
#include "devices/alldevicehandler.h"
#include "storage/databasehandler.h"
#include "tests/testkit/testkit.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The registry: loading the template folder and the uplink filter.
class tst_AllDeviceHandler : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void folderWithoutTemplates_data();
    void folderWithoutTemplates();
    void loadsFolderWithEveryMessage();
    void registerMapOrder();
    void uplinkFilter();
    void backlogReplacesPastItsLimit();
    void decoderWarningsAreBoundedPerDevice();

private:
    QStringList logLines() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QSignalSpy> m_log;
    std::unique_ptr<CDataBaseHandler> m_store;
    int m_connections = 0;
};

namespace {

const QString QS_EUI_1 = QStringLiteral("0011223344550001");
const QString QS_EUI_2 = QStringLiteral("0011223344550002");

void writeFile(const QString &name, const QString &text)
{
    QDir().mkpath(QStringLiteral("deviceFolder"));
    QFile file(QStringLiteral("deviceFolder/") + name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
}

QString fieldText(const char *name, int reg, int regBits, const char *type)
{
    return QStringLiteral(R"({"packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 8, "data_type": "%4",
                             "reg_map_bias": %2, "reg_bit_bias": 0, "reg_bit_size": %3, "data_name": "%1"})")
        .arg(QLatin1String(name), QString::number(reg), QString::number(regBits), QLatin1String(type));
}

QString packetText(int type, const QString &fields)
{
    return QStringLiteral(R"({"packet_type": %1, "packet_size": 2, "packet_fields": [%2]})")
        .arg(type)
        .arg(fields);
}

// By default one packet of type 1 with one byte field; extra members go in as they are.
QString templateText(const char *appEui, const char *devType, const QString &extra = {},
                     const QString &packets = packetText(1, fieldText("Value", 0, 16, "uinteger")))
{
    return QStringLiteral(R"({"app_eui": "%1", "dev_type": "%2", %3 "device_packets": [%4]})")
        .arg(QLatin1String(appEui), QLatin1String(devType), extra, packets);
}

DB::SDeviceRegMapDescription device(const QString &devEui)
{
    DB::SDeviceRegMapDescription description;
    description.devEui = devEui;
    description.appEui = QStringLiteral("A1B2C3D400000001");
    description.devName = devEui;
    return description;
}

} // namespace

void tst_AllDeviceHandler::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    m_log = std::make_unique<QSignalSpy>(CLogFile::getInstance(QStringLiteral("history.log")),
                                         &CLogFile::addLogSignal);
    m_store = std::make_unique<CDataBaseHandler>(m_dir->filePath(QStringLiteral("server.db")),
                                                 QStringLiteral("registry%1").arg(++m_connections));
    QVERIFY(!m_store->failed());
}

void tst_AllDeviceHandler::cleanup()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_store.reset();
    m_log.reset();
}

// Log lines without the time stamp "[dd-MMM-yy HH:mm:ss] ".
QStringList tst_AllDeviceHandler::logLines() const
{
    QStringList lines;
    for (const QList<QVariant> &signal : qAsConst(*m_log))
        lines << signal.at(0).toString().mid(20);
    return lines;
}

void tst_AllDeviceHandler::folderWithoutTemplates_data()
{
    QTest::addColumn<bool>("folder");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing") << false
                             << "[CAllDeviceHandler::init] Dirrectory with device signature is not existed";
    QTest::newRow("no json") << true << "[CAllDeviceHandler::init] Dirrectory with device signature is empty";
}

void tst_AllDeviceHandler::folderWithoutTemplates()
{
    QFETCH(bool, folder);
    QFETCH(QString, message);
    if (folder)
        writeFile(QStringLiteral("readme.txt"), QStringLiteral("not a template"));
    CAllDeviceHandler handler;
    QCOMPARE(logLines(), QStringList { message });
    QVERIFY(handler.getDeviceTypeList().isEmpty());
}

void tst_AllDeviceHandler::loadsFolderWithEveryMessage()
{
    // Name order decides: a.json wins over c.json for the same AppEUI.
    writeFile(QStringLiteral("a.json"),
              templateText("a1b2c3d400000002", "Pulse Meter 3", R"("color": "#fb9f48",)"));
    // breaks at character 17: a second value without a comma
    const QByteArray broken = "{\"app_eui\":\"AB\" x}";
    writeFile(QStringLiteral("b.json"), broken);
    writeFile(QStringLiteral("c.json"), templateText("A1B2C3D400000002", "Second copy"));
    // an empty object, and one without dev_type: refused quietly by the template parser
    writeFile(QStringLiteral("d.json"), QStringLiteral("{}"));
    writeFile(QStringLiteral("e.json"),
              QStringLiteral(R"({"app_eui": "A1B2C3D400000009", "device_packets": []})"));
    writeFile(QStringLiteral("f.json"), templateText("A1B2C3D400000001", "TH-Sense 20"));
    writeFile(QStringLiteral("g.txt"), templateText("A1B2C3D400000005", "Not a json name"));

    CAllDeviceHandler handler;
    QJsonParseError error;
    QJsonDocument::fromJson(broken, &error);
    QCOMPARE(error.offset, 17);
    QCOMPARE(logLines(),
             (QStringList {
                 "Device [A1B2C3D400000002] inited SUCCESSULLY",
                 QStringLiteral("ERROR: [CAllDeviceHandler] Invalid parsing JSON file [%1]: "
                                "error[%2], row[17]")
                     .arg(QDir::currentPath() + QStringLiteral("/deviceFolder/b.json"), error.errorString()),
                 "Device [A1B2C3D400000002] already inited. Skip",
                 "Device [A1B2C3D400000001] inited SUCCESSULLY" }));

    const QList<SDeviceTypeInfo> types = handler.getDeviceTypeList();
    QCOMPARE(types.size(), 2);
    QCOMPARE(types.at(0).appEui, QStringLiteral("A1B2C3D400000001"));
    QCOMPARE(types.at(0).color, QColor(QStringLiteral("#94999D")));
    QCOMPARE(types.at(1).devType, QStringLiteral("Pulse Meter 3"));
    QCOMPARE(types.at(1).color, QColor(QStringLiteral("#fb9f48")));
    // lookups are exact: the catalogue key is upper case
    QVERIFY(handler.hasTemplate(QStringLiteral("A1B2C3D400000002")));
    QVERIFY(!handler.hasTemplate(QStringLiteral("a1b2c3d400000002")));
    QVERIFY(handler.getDeviceTypeInfo(QStringLiteral("A1B2C3D4000000FF")).devType.isEmpty());
    QVERIFY(handler.getDeviceRegisterMap(QStringLiteral("A1B2C3D4000000FF")).registers.isEmpty());
}

void tst_AllDeviceHandler::registerMapOrder()
{
    // Server values first in keyword order, then packets by type, -1 (0xff) last;
    // fields keep their order inside a packet.
    const QString server = QStringLiteral(R"({"data_code": "%1", "reg_map_bias": %2, "reg_bit_bias": 0,
                                             "reg_bit_size": %3, "data_name": "%4"})");
    writeFile(QStringLiteral("order.json"),
              templateText(
                  "A1B2C3D400000003", "Order",
                  QStringLiteral(R"("server_data": [%1, %2],)")
                      .arg(server.arg("ts").arg(20).arg(32).arg("TS"),
                           server.arg("devEui").arg(10).arg(64).arg("DEVEUI")),
                  packetText(-1, fieldText("M", 9, 16, "uinteger")) + ','
                      + packetText(2, fieldText("Z", 5, 32, "integer") + ',' + fieldText("Y", 4, 16, "text"))
                      + ',' + packetText(1, fieldText("A", 0, 16, "uinteger"))));
    CAllDeviceHandler handler;

    const SDeviceTypeRegisters map = handler.getDeviceRegisterMap(QStringLiteral("A1B2C3D400000003"));
    QCOMPARE(map.appEui, QStringLiteral("A1B2C3D400000003"));
    QStringList described;
    for (const SRegisterDescription &reg : map.registers)
        described << QString::asprintf("%s src%u off%u bits%u %s", qPrintable(reg.name), reg.source,
                                       reg.offset, reg.bitSize, qPrintable(reg.dataType));
    QCOMPARE(described,
             (QStringList { "DEVEUI src0 off10 bits64 text", "TS src0 off20 bits32 uinteger",
                            "A src1 off0 bits16 uinteger", "Z src1 off5 bits32 integer",
                            "Y src1 off4 bits16 text", "M src1 off9 bits16 uinteger" }));
}

void tst_AllDeviceHandler::uplinkFilter()
{
    writeFile(QStringLiteral("th.json"), templateText("A1B2C3D400000001", "TH-Sense 20"));
    CAllDeviceHandler handler;
    handler.setRegisterStore(m_store.get());
    const QString eui = QStringLiteral("00112233445500AB");
    const uint16_t port = testkit::freePort();
    QVERIFY(m_store->registerNewDevice(device(eui), port));
    handler.addNewDevice(device(eui), port);
    QSignalSpy announced(m_store.get(), &CDataBaseHandler::registerDataSaved);
    m_log->clear();

    // unknown, and the same EUI in lower case: dropped without a word
    API::SApiDeviceData data;
    data.data = QByteArray::fromHex("0105");
    for (const QString &unknown : { QS_EUI_1, eui.toLower() }) {
        data.devEui = unknown;
        handler.newPacketReceivedSlot(data);
    }
    QCOMPARE(announced.size(), 0);
    QVERIFY(logLines().isEmpty());

    data.devEui = eui;
    handler.newPacketReceivedSlot(data);
    QCOMPARE(announced.size(), 1);
    // also through a queued connection, as the server link delivers them
    QMetaObject::invokeMethod(&handler, "newPacketReceivedSlot", Qt::QueuedConnection,
                              Q_ARG(API::SApiDeviceData, data));
    QVERIFY(announced.wait(testkit::WAIT_MS));

    // removed, whatever the port given: its uplinks are dropped again
    handler.removeDevice(eui, 1);
    handler.newPacketReceivedSlot(data);
    QCOMPARE(announced.size(), 2);
    QVERIFY(!handler.publishedDevice(eui));
}

// Past its limit the backlog keeps one uplink per device and packet type:
// the newest, in the place of the one it replaced.
void tst_AllDeviceHandler::backlogReplacesPastItsLimit()
{
    writeFile(QStringLiteral("th.json"),
              templateText("A1B2C3D400000001", "TH-Sense 20", {},
                           packetText(1, fieldText("Value", 0, 16, "uinteger")) + ','
                               + packetText(2, fieldText("Other", 1, 16, "uinteger"))));
    CAllDeviceHandler handler;
    handler.setRegisterStore(m_store.get());
    handler.setBacklogLimit(3);
    for (const QString &eui : { QS_EUI_1, QS_EUI_2 }) {
        const uint16_t port = testkit::freePort();
        QVERIFY(m_store->registerNewDevice(device(eui), port));
        handler.addNewDevice(device(eui), port);
    }
    QSignalSpy saved(m_store.get(), &CDataBaseHandler::registerDataSaved);
    auto uplink = [&handler](const QString &eui, const char *hex) {
        API::SApiDeviceData data;
        data.devEui = eui;
        data.data = QByteArray::fromHex(hex);
        handler.newPacketReceivedSlot(data);
    };
    // The first slice of the pass is decoded at once; the rest wait.
    for (int i = 0; i < CAllDeviceHandler::UplinksPerPass; ++i)
        uplink(QS_EUI_1, "0100");
    m_log->clear();
    uplink(QS_EUI_1, "0101");
    uplink(QS_EUI_2, "0101");
    uplink(QS_EUI_1, "0201");
    QCOMPARE(handler.pendingUplinks(), 3);
    uplink(QS_EUI_1, "0102"); // replaces 0101 of device 1
    uplink(QS_EUI_1, "0103"); // and again
    uplink(QS_EUI_2, "0202"); // a key not waiting yet is appended
    QCOMPARE(handler.pendingUplinks(), 4);
    QCOMPARE(handler.replacedUplinks(), quint64(2));
    QCOMPARE(logLines(),
             QStringList { "WARNING: [CAllDeviceHandler] More than 3 uplinks wait to be decoded: "
                           "1 uplink(s) replaced by a newer one of the same device and packet type" });
    QTRY_COMPARE(saved.size(), CAllDeviceHandler::UplinksPerPass + 4);
    QCOMPARE(handler.pendingUplinks(), 0);
    QStringList decoded;
    for (const QList<QVariant> &signal : qAsConst(saved)) {
        const auto data = signal.at(0).value<SDeviceRegisterData>();
        decoded << data.devEui.right(1) + ':' + data.registers.first().value;
    }
    QCOMPARE(decoded.mid(CAllDeviceHandler::UplinksPerPass),
             QStringList({ "1:0003", "2:0001", "1:0001", "2:0002" }));
}

// An uplink the decoder rejects is logged ten times a minute per device, then
// counted; the next minute says how many were left out.
void tst_AllDeviceHandler::decoderWarningsAreBoundedPerDevice()
{
    writeFile(QStringLiteral("th.json"), templateText("A1B2C3D400000001", "TH-Sense 20"));
    CAllDeviceHandler handler;
    handler.setRegisterStore(m_store.get());
    const uint16_t port = testkit::freePort();
    for (const QString &eui : { QS_EUI_1, QS_EUI_2 }) {
        QVERIFY(m_store->registerNewDevice(device(eui), port));
        handler.addNewDevice(device(eui), port);
    }
    qint64 now = 0;
    CLogLimiter::setClock([&now]() { return now; });
    m_log->clear();
    API::SApiDeviceData data;
    data.data = QByteArray::fromHex("0905");
    auto flood = [&](const QString &eui, int count) {
        data.devEui = eui;
        for (int i = 0; i < count; ++i)
            handler.newPacketReceivedSlot(data);
        QTRY_COMPARE(handler.pendingUplinks(), 0);
    };
    flood(QS_EUI_1, 25);
    flood(QS_EUI_2, 3);
    auto count = [this](const QString &text) { return logLines().filter(text).size(); };
    QCOMPARE(count(QStringLiteral("Uncknown packet type")), 13);
    now += CLogLimiter::WindowMs;
    flood(QS_EUI_1, 1);
    CLogLimiter::setClock({});
    QCOMPARE(count(QStringLiteral("Uncknown packet type")), 14);
    QCOMPARE(count(QStringLiteral(
                 "WARNING: [Decoder] Device [0011223344550001]: 15 more log lines left out in the "
                 "last minute")),
             1);
}

QTEST_MAIN(tst_AllDeviceHandler)
#include "tst_alldevicehandler.moc"
