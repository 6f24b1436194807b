#include "app/globaldata.h"
#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "storage/databasehandler.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The registry: loading the template folder, listeners per port and the
// uplink filter.
class tst_AllDeviceHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void missingFolder();
    void emptyFolder();
    void loadsFolderWithEveryMessage();
    void registerMapOrder();
    void onePortOneListener();
    void deviceMovedToAnotherPort();
    void removeWithUnknownPort();
    void uplinkFilter();

private:
    static void writeFile(const QString &name, const QByteArray &text);
    static QByteArray templateText(const QString &appEui, const QString &devType, const QString &color = {});
    QStringList logLines() const;
    static bool portAccepts(uint16_t port);
    static uint16_t freePort();
    static DB::SDeviceRegMapDescription device(const QString &devEui);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QSignalSpy> m_log;
    std::unique_ptr<CDataBaseHandler> m_store;
    int m_connections = 0;
};

void tst_AllDeviceHandler::initTestCase()
{
    initGlobalData();
}

void tst_AllDeviceHandler::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
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

void tst_AllDeviceHandler::writeFile(const QString &name, const QByteArray &text)
{
    QDir().mkpath(QStringLiteral("deviceFolder"));
    QFile file(QStringLiteral("deviceFolder/") + name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

QByteArray tst_AllDeviceHandler::templateText(const QString &appEui, const QString &devType,
                                              const QString &color)
{
    QJsonObject field { { "packet_bias", 1 },        { "data_bit_bias", 0 },  { "data_bit_size", 8 },
                        { "data_type", "uinteger" }, { "reg_map_bias", 0 },   { "reg_bit_bias", 0 },
                        { "reg_bit_size", 16 },      { "data_name", "Value" } };
    QJsonObject tpl { { "app_eui", appEui },
                      { "dev_type", devType },
                      { "device_packets",
                        QJsonArray { QJsonObject { { "packet_type", 1 },
                                                   { "packet_size", 2 },
                                                   { "packet_fields", QJsonArray { field } } } } } };
    if (!color.isEmpty())
        tpl.insert(QStringLiteral("color"), color);
    return QJsonDocument(tpl).toJson();
}

QStringList tst_AllDeviceHandler::logLines() const
{
    QStringList lines;
    for (const QList<QVariant> &signal : qAsConst(*m_log)) {
        // drop the time stamp "[dd-MMM-yy HH:mm:ss]"
        lines << signal.at(0).toString().mid(20);
    }
    return lines;
}

bool tst_AllDeviceHandler::portAccepts(uint16_t port)
{
    QTcpSocket socket;
    QSignalSpy connected(&socket, &QTcpSocket::connected);
    QSignalSpy failed(&socket, &QTcpSocket::errorOccurred);
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!QTest::qWaitFor([&] { return !connected.isEmpty() || !failed.isEmpty(); }, 10000))
        return false;
    return !connected.isEmpty();
}

uint16_t tst_AllDeviceHandler::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

DB::SDeviceRegMapDescription tst_AllDeviceHandler::device(const QString &devEui)
{
    DB::SDeviceRegMapDescription description;
    description.devEui = devEui;
    description.appEui = QStringLiteral("A1B2C3D400000001");
    description.devName = devEui;
    return description;
}

void tst_AllDeviceHandler::missingFolder()
{
    CAllDeviceHandler handler;
    QCOMPARE(logLines(),
             QStringList { "[CAllDeviceHandler::init] Dirrectory with device signature is not existed" });
    QVERIFY(handler.getDeviceTypeList().isEmpty());
}

void tst_AllDeviceHandler::emptyFolder()
{
    writeFile(QStringLiteral("readme.txt"), "not a template");
    CAllDeviceHandler handler;
    QCOMPARE(logLines(),
             QStringList { "[CAllDeviceHandler::init] Dirrectory with device signature is empty" });
}

void tst_AllDeviceHandler::loadsFolderWithEveryMessage()
{
    // Name order decides: a.json wins over c.json for the same AppEUI.
    writeFile(QStringLiteral("a.json"), templateText("a1b2c3d400000002", "Pulse Meter 3", "#fb9f48"));
    // breaks at character 17: a second value without a comma
    writeFile(QStringLiteral("b.json"), "{\"app_eui\":\"AB\" x}");
    writeFile(QStringLiteral("c.json"), templateText("A1B2C3D400000002", "Second copy"));
    // an empty object is a document; the template parser refuses it quietly
    writeFile(QStringLiteral("d.json"), "{}");
    // no dev_type: invalid, skipped without a message of the registry's own
    writeFile(QStringLiteral("e.json"), "{\"app_eui\": \"A1B2C3D400000009\", \"device_packets\": []}");
    writeFile(QStringLiteral("f.json"), templateText("A1B2C3D400000001", "TH-Sense 20"));
    writeFile(QStringLiteral("g.txt"), templateText("A1B2C3D400000005", "Not a json name"));

    CAllDeviceHandler handler;
    const QString bPath = QDir::currentPath() + QStringLiteral("/deviceFolder/b.json");
    QJsonParseError error;
    QJsonDocument::fromJson("{\"app_eui\":\"AB\" x}", &error);
    QCOMPARE(error.offset, 17);
    const QStringList expected {
        "Device [A1B2C3D400000002] inited SUCCESSULLY",
        QStringLiteral("ERROR: [CAllDeviceHandler] Invalid parsing JSON file [%1]: error[%2], row[17]")
            .arg(bPath, error.errorString()),
        "Device [A1B2C3D400000002] already inited. Skip",
        "Device [A1B2C3D400000001] inited SUCCESSULLY",
    };
    QCOMPARE(logLines(), expected);

    const QList<SDeviceTypeInfo> types = handler.getDeviceTypeList();
    QCOMPARE(types.size(), 2);
    QCOMPARE(types.at(0).appEui, QStringLiteral("A1B2C3D400000001"));
    QCOMPARE(types.at(1).devType, QStringLiteral("Pulse Meter 3"));
    QCOMPARE(types.at(1).color, QColor(QStringLiteral("#fb9f48")));
    QCOMPARE(types.at(0).color, QColor(QStringLiteral("#94999D")));
    QVERIFY(handler.hasTemplate(QStringLiteral("A1B2C3D400000002")));
    // lookups are exact: the catalogue key is upper case
    QVERIFY(!handler.hasTemplate(QStringLiteral("a1b2c3d400000002")));

    const SDeviceTypeInfo unknown = handler.getDeviceTypeInfo(QStringLiteral("A1B2C3D4000000FF"));
    QVERIFY(unknown.appEui.isEmpty());
    QVERIFY(unknown.devType.isEmpty());
    QVERIFY(!unknown.color.isValid());
    QVERIFY(handler.getDeviceRegisterMap(QStringLiteral("A1B2C3D4000000FF")).registers.isEmpty());
}

void tst_AllDeviceHandler::registerMapOrder()
{
    auto fieldObject = [](const char *name, int reg, int regBits, const char *type) {
        return QJsonObject { { "packet_bias", 1 },        { "data_bit_bias", 0 },  { "data_bit_size", 8 },
                             { "data_type", type },       { "reg_map_bias", reg }, { "reg_bit_bias", 0 },
                             { "reg_bit_size", regBits }, { "data_name", name } };
    };
    auto serverObject = [](const char *code, int reg, int regBits) {
        return QJsonObject { { "data_code", code },
                             { "reg_map_bias", reg },
                             { "reg_bit_bias", 0 },
                             { "reg_bit_size", regBits },
                             { "data_name", QString::fromLatin1(code).toUpper() } };
    };
    // packets -1 (0xff), 2 and 1; server values written out of keyword order
    const QJsonObject tpl {
        { "app_eui", "A1B2C3D400000003" },
        { "dev_type", "Order" },
        { "server_data", QJsonArray { serverObject("ts", 20, 32), serverObject("devEui", 10, 64) } },
        { "device_packets",
          QJsonArray {
              QJsonObject { { "packet_type", -1 },
                            { "packet_size", 2 },
                            { "packet_fields", QJsonArray { fieldObject("M", 9, 16, "uinteger") } } },
              QJsonObject {
                  { "packet_type", 2 },
                  { "packet_size", 2 },
                  { "packet_fields",
                    QJsonArray { fieldObject("Z", 5, 32, "integer"), fieldObject("Y", 4, 16, "text") } } },
              QJsonObject { { "packet_type", 1 },
                            { "packet_size", 2 },
                            { "packet_fields", QJsonArray { fieldObject("A", 0, 16, "uinteger") } } } } }
    };
    writeFile(QStringLiteral("order.json"), QJsonDocument(tpl).toJson());
    CAllDeviceHandler handler;

    const SDeviceTypeRegisters map = handler.getDeviceRegisterMap(QStringLiteral("A1B2C3D400000003"));
    QCOMPARE(map.appEui, QStringLiteral("A1B2C3D400000003"));
    QStringList described;
    for (const SRegisterDescription &reg : map.registers) {
        described << QStringLiteral("%1 src%2 off%3 bits%4 %5 %6/%7 [%8]")
                         .arg(reg.name)
                         .arg(reg.source)
                         .arg(reg.offset)
                         .arg(reg.bitSize)
                         .arg(reg.dataType)
                         .arg(reg.gratingPeriod)
                         .arg(reg.startValue)
                         .arg(reg.unit);
    }
    const QStringList expected {
        "DEVEUI src0 off10 bits64 text 1/0 []", "TS src0 off20 bits32 uinteger 1/0 []",
        "A src1 off0 bits16 uinteger 1/0 []",   "Z src1 off5 bits32 integer 1/0 []",
        "Y src1 off4 bits16 text 1/0 []",       "M src1 off9 bits16 uinteger 1/0 []"
    };
    QCOMPARE(described, expected);
}

void tst_AllDeviceHandler::onePortOneListener()
{
    CAllDeviceHandler handler;
    handler.setRegisterStore(m_store.get());
    const uint16_t port = freePort();
    m_log->clear();

    handler.addNewDevice(device(QStringLiteral("0011223344550001")), port);
    handler.addNewDevice(device(QStringLiteral("0011223344550002")), port);
    QVERIFY(handler.hasListener(port));
    QCOMPARE(
        logLines(),
        (QStringList {
            QStringLiteral("[CAllDeviceHandler::addNewDevice] New device: DevEUI[0011223344550001], port[%1]")
                .arg(port),
            QStringLiteral("INFO: [CAllDeviceHandler::addNewDevice] port [%1] is already open").arg(port),
            QStringLiteral("[CAllDeviceHandler::addNewDevice] New device: DevEUI[0011223344550002], port[%1]")
                .arg(port),
        }));
    QVERIFY(portAccepts(port));

    handler.removeDevice(QStringLiteral("0011223344550001"), port);
    QVERIFY(handler.hasListener(port));
    QVERIFY(portAccepts(port));

    handler.removeDevice(QStringLiteral("0011223344550002"), port);
    QVERIFY(!handler.hasListener(port));
    QVERIFY(!portAccepts(port));
    // the port is free for others again
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::Any, port));
}

void tst_AllDeviceHandler::deviceMovedToAnotherPort()
{
    CAllDeviceHandler handler;
    handler.setRegisterStore(m_store.get());
    const uint16_t portA = freePort();
    const uint16_t portB = freePort();
    QVERIFY(portA != portB);
    const QString eui = QStringLiteral("0011223344550003");

    handler.addNewDevice(device(eui), portA);
    handler.addNewDevice(device(eui), portB);
    QVERIFY(handler.hasListener(portA));
    QVERIFY(handler.hasListener(portB));

    // A still lists the device until it is removed with port A
    handler.removeDevice(eui, portA);
    QVERIFY(!handler.hasListener(portA));
    QVERIFY(handler.hasListener(portB));
    QVERIFY(!portAccepts(portA));
    QVERIFY(portAccepts(portB));
    handler.removeDevice(eui, portB);
    QVERIFY(!handler.hasListener(portB));
}

void tst_AllDeviceHandler::removeWithUnknownPort()
{
    writeFile(QStringLiteral("th.json"), templateText("A1B2C3D400000001", "TH-Sense 20"));
    CAllDeviceHandler handler;
    handler.setRegisterStore(m_store.get());
    const uint16_t port = freePort();
    const QString eui = QStringLiteral("0011223344550004");
    handler.addNewDevice(device(eui), port);
    QVERIFY(m_store->registerNewDevice(device(eui), port));
    m_log->clear();

    handler.removeDevice(eui, 1);
    QCOMPARE(logLines(), QStringList { "WARNING: [CAllDeviceHandler::removeDevice] uncknown port [1]!" });
    // unregistered all the same: its uplinks are dropped
    QSignalSpy announced(&handler, &CAllDeviceHandler::newDataForDevice);
    API::SApiDeviceData data;
    data.devEui = eui;
    data.data = QByteArray::fromHex("0105");
    handler.newPacketReceivedSlot(data);
    QCOMPARE(announced.size(), 0);
    // the listener of the real port still serves the stale entry
    QVERIFY(handler.hasListener(port));
}

void tst_AllDeviceHandler::uplinkFilter()
{
    writeFile(QStringLiteral("th.json"), templateText("A1B2C3D400000001", "TH-Sense 20"));
    CAllDeviceHandler handler;
    handler.setRegisterStore(m_store.get());
    const uint16_t port = freePort();
    const QString eui = QStringLiteral("00112233445500AB");
    QVERIFY(m_store->registerNewDevice(device(eui), port));
    handler.addNewDevice(device(eui), port);
    QSignalSpy announced(&handler, &CAllDeviceHandler::newDataForDevice);
    m_log->clear();

    API::SApiDeviceData data;
    data.data = QByteArray::fromHex("0105");
    // unknown, and the same EUI in lower case: dropped without a word
    data.devEui = QStringLiteral("0011223344550099");
    handler.newPacketReceivedSlot(data);
    data.devEui = eui.toLower();
    handler.newPacketReceivedSlot(data);
    QCOMPARE(announced.size(), 0);
    QVERIFY(logLines().isEmpty());

    data.devEui = eui;
    handler.newPacketReceivedSlot(data);
    QCOMPARE(announced.size(), 1);

    // also through a queued connection, as the server link delivers them
    QObject sender;
    QMetaObject::invokeMethod(&handler, "newPacketReceivedSlot", Qt::QueuedConnection,
                              Q_ARG(API::SApiDeviceData, data));
    QVERIFY(announced.wait(5000));
    QCOMPARE(announced.size(), 2);
}

QTEST_MAIN(tst_AllDeviceHandler)
#include "tst_alldevicehandler.moc"
