#include "app/logfile.h"
#include "modbus/connectionhandler.h"
#include "modbus/devicehandler.h"
#include "modbus/modbusconfig.h"
#include "modbus/registerimage.h"
#include "tests/testkit/modbusclient.h"
#include "tests/testkit/testkit.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

// Modbus clients written elsewhere (libmodbus, pymodbus) read registers of
// the register image, as the gateway serves them, through a real listener on
// loopback.
using namespace testkit;

class tst_ModbusClients : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void readsAcrossDevices_data();
    void readsAcrossDevices();
    void exceptionsKeepTheConnection();
    void requestSplitOverTwoWrites();
    void slowReaderStallsNobody();
    void pymodbusReads();
    void unitIds_data();
    void unitIds();
    void pymodbusIdentification_data();
    void pymodbusIdentification();
    void allowedClients();

private:
    void addDevice(uint32_t device, int startAddr, const QStringList &values);
    // A device with a unit id (0: none) on the listener's port, its registers from startAddr.
    void addUnitDevice(CDeviceHandler &listener, uint8_t unitId, uint32_t device, int startAddr,
                       const QList<quint16> &values);
    // Runs a pymodbus script with the arguments; its standard output, trimmed.
    QString runPymodbus(const QString &script, const QStringList &arguments);
    // A second port whose devices all have unit ids.
    std::unique_ptr<CDeviceHandler> m_unitsOnly;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CRegisterImage> m_image;
    std::unique_ptr<CDeviceHandler> m_listener;
};

namespace {

QVector<quint16> words(std::initializer_list<quint16> list)
{
    return QVector<quint16>(list);
}

} // namespace

void tst_ModbusClients::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_dir->path()));
    CLogFile::getInstance(QStringLiteral("history.log"));
    m_image = std::make_unique<CRegisterImage>();
    m_listener = std::make_unique<CDeviceHandler>(0, *m_image);
    QVERIFY(m_listener->isListening());
    QVERIFY(m_listener->getPort() != 0);
}

void tst_ModbusClients::cleanup()
{
    m_unitsOnly.reset();
    m_listener.reset();
    // Let closed connections delete themselves before the image goes.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_image.reset();
}

// One device whose 16-bit registers from startAddr hold the given hex texts;
// an empty text is a register that never received a value (it reads 0).
void tst_ModbusClients::addDevice(uint32_t device, int startAddr, const QStringList &values)
{
    for (int i = 0; i < values.size(); ++i)
        m_image->put(m_listener->getPort(), 0, uint32_t(startAddr + i), device,
                     values.at(i).isEmpty() ? 0 : values.at(i).toUShort(nullptr, 16));
}

void tst_ModbusClients::readsAcrossDevices_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("unitId");
    // libmodbus rejects an answer whose unit id differs from the request's
    QTest::newRow("holding, unit 1") << 3 << 1;
    QTest::newRow("input, unit 0") << 4 << 0;
    QTest::newRow("holding, unit 255") << 3 << 255;
    QTest::newRow("input, unit 247") << 4 << 247;
}

void tst_ModbusClients::readsAcrossDevices()
{
    QFETCH(int, function);
    QFETCH(int, unitId);
    // two devices on one port; 104 exists but never received data, 105 belongs
    // to no device: both read 0
    addDevice(1, 100, { "1111", "fff6", "0000", "2710", "" });
    addDevice(2, 106, { "000a", "000b" });

    // a second read on the same connection proves frames keep working after the first answer
    const ModbusCall read = readCall(100, 8, function);
    const SModbusRead result
        = runModbusClient(m_listener->getPort(), unitId, [&](modbus_t *ctx, SModbusRead &r) {
              if (read(ctx, r) != 8)
                  return -1;
              uint16_t last = 0;
              modbus_read_registers(ctx, 107, 1, &last);
              r.registers.push_back(last);
              return 8;
          });
    QCOMPARE(result.rc, 8);
    QCOMPARE(result.registers, words({ 0x1111, 0xfff6, 0x0000, 0x2710, 0, 0, 0x0a, 0x0b, 0x0b }));
}

void tst_ModbusClients::exceptionsKeepTheConnection()
{
    addDevice(1, 65534, { "1234", "5678" });

    struct SStep
    {
        int rc;
        int error;
    };
    QList<SStep> steps;
    QByteArray raw126;
    const SModbusRead result = runModbusClient(m_listener->getPort(), 1, [&](modbus_t *ctx, SModbusRead &r) {
        // writes are not served
        const int write = modbus_write_register(ctx, 1, 7);
        steps.append({ write, errno });
        uint16_t value[2] = { 0, 0 };
        // 65535 is the last address; a read that would pass it is refused
        const int past = modbus_read_registers(ctx, 65535, 2, value);
        steps.append({ past, errno });
        // libmodbus refuses to ask for 126 registers itself, so send it raw
        const uint8_t request[] = { 1, 3, 0x00, 0x00, 0x00, 126 };
        modbus_send_raw_request(ctx, request, sizeof(request));
        uint8_t answer[MODBUS_TCP_MAX_ADU_LENGTH];
        const int length = modbus_receive_confirmation(ctx, answer);
        steps.append({ length, errno });
        if (length > 0)
            raw126 = QByteArray(reinterpret_cast<const char *>(answer), length);
        // the connection still answers reads
        r.registers.fill(0, 2);
        return modbus_read_registers(ctx, 65534, 2, r.registers.data());
    });
    QCOMPARE(steps.size(), 3);
    QCOMPARE(steps.at(0).rc, -1);
    QCOMPARE(steps.at(0).error, int(EMBXILFUN));
    QCOMPARE(steps.at(1).rc, -1);
    QCOMPARE(steps.at(1).error, int(EMBXILADD));
    // MBAP with length 3, unit 1, function 0x83, illegal data value
    QCOMPARE(raw126.mid(4).toHex(), QByteArray("0003018303"));
    QCOMPARE(result.rc, 2);
    QCOMPARE(result.registers, words({ 0x1234, 0x5678 }));
}

void tst_ModbusClients::requestSplitOverTwoWrites()
{
    addDevice(1, 7, { "0102" });
    QSignalSpy logSpy(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_listener->getPort());
    QVERIFY(client.waitForConnected(WAIT_MS));
    // tid 0042, pid 0000, len 6, unit 05, fc 03, start 7, qty 1
    const QByteArray request = QByteArray::fromHex("004200000006050300070001");
    client.write(request.left(4));
    QTRY_VERIFY(!logSpy.isEmpty());
    QVERIFY(logSpy.last().at(0).toString().endsWith(
        QStringLiteral("[CConnectionHandler] Incomplete packet [1]. Wait for continue...")));
    QCOMPARE(client.bytesAvailable(), 0);

    client.write(request.mid(4));
    QTRY_COMPARE(client.bytesAvailable(), 11);
    QCOMPARE(client.readAll().toHex(), QByteArray("0042000000050503020102"));
    client.disconnectFromHost();
}

void tst_ModbusClients::slowReaderStallsNobody()
{
    QStringList values;
    for (int i = 0; i < 125; ++i)
        values << QStringLiteral("%1").arg(i + 1, 4, 16, QLatin1Char('0'));
    addDevice(1, 0, values);

    // A pipelines many reads of 125 registers and does not read its answers:
    // they pile up in the kernel and then in the listener's queue.
    QTcpSocket slow;
    slow.setReadBufferSize(1);
    slow.connectToHost(QHostAddress::LocalHost, m_listener->getPort());
    QVERIFY(slow.waitForConnected(WAIT_MS));
    const int requests = 20000;
    QByteArray pipeline;
    for (int i = 0; i < requests; ++i) {
        // tid i, len 6, unit 1, fc 3, start 0, qty 125
        pipeline += QByteArray::fromHex("0000000000060103000000"
                                        "7d");
        pipeline[pipeline.size() - 12] = char(i >> 8);
        pipeline[pipeline.size() - 11] = char(i & 0xff);
    }
    slow.write(pipeline);
    QTRY_COMPARE(slow.bytesToWrite(), 0);

    // B is served meanwhile.
    const SModbusRead other = runModbusClient(m_listener->getPort(), 1, readCall(124, 1));
    QCOMPARE(other.rc, 1);
    QCOMPARE(other.registers, words({ 125 }));

    // A then gets every answer, complete and in order. How fast is bench_modbus's
    // business: the cap here only ends a run that hangs.
    slow.setReadBufferSize(0);
    const int answerSize = 9 + 250;
    QTRY_VERIFY_WITH_TIMEOUT(slow.bytesAvailable() >= qint64(requests) * answerSize, 4 * WAIT_MS);
    const QByteArray answers = slow.readAll();
    QCOMPARE(answers.size(), requests * answerSize);
    for (int i = 0; i < requests; ++i) {
        const QByteArray answer = answers.mid(i * answerSize, answerSize);
        QCOMPARE((uint8_t(answer[0]) << 8) | uint8_t(answer[1]), i);
        QCOMPARE(answer.mid(6, 3).toHex(), QByteArray("0103fa"));
        QCOMPARE(answer.right(2).toHex(), QByteArray("007d"));
    }
    slow.disconnectFromHost();
}

void tst_ModbusClients::pymodbusReads()
{
    const QString python = QStringLiteral("/usr/bin/python3");
    QProcess probe;
    probe.start(python, { "-c", "import pymodbus.client" });
    // scripts/deps installs it; a missing client is a failure, not a skip
    QVERIFY2(probe.waitForFinished(20000) && probe.exitCode() == 0,
             "python3 cannot import pymodbus.client (packages python3-pymodbus, python3-serial-asyncio)");
    addDevice(1, 300, { "0102", "0304" });
    addDevice(2, 302, { "0506" });

    const QString script = QStringLiteral(R"(
import sys
from pymodbus.client import ModbusTcpClient
client = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]))
client.connect()
holding = client.read_holding_registers(300, 3, slave=3)
inputs = client.read_input_registers(301, 2, slave=3)
write = client.write_register(300, 9, slave=3)
print(list(holding.registers), list(inputs.registers), write.isError(), getattr(write, "exception_code", None))
client.close()
)");
    QProcess process;
    process.start(python, { "-c", script, QString::number(m_listener->getPort()) });
    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QVERIFY(finished.wait(WAIT_MS));
    const QString output = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    QVERIFY2(process.exitCode() == 0, qPrintable(QString::fromLocal8Bit(process.readAllStandardError())));
    QCOMPARE(output, QStringLiteral("[258, 772, 1286] [772, 1286] True 1"));
}

void tst_ModbusClients::addUnitDevice(CDeviceHandler &listener, uint8_t unitId, uint32_t device,
                                      int startAddr, const QList<quint16> &values)
{
    const QByteArray name = "device " + QByteArray::number(device);
    m_image->addDevice(listener.getPort(), unitId,
                       { { 0, "Tidewell" },
                         { 1, "TH" },
                         { 2, "1.0.2" },
                         { 4, name },
                         { 5, "TH" },
                         { 0x80, "70B3D5000000000" + QByteArray::number(device) },
                         { 0x81, "A1B2C3D400000001" } });
    for (int i = 0; i < values.size(); ++i)
        m_image->put(listener.getPort(), unitId, uint32_t(startAddr + i), device, values.at(i));
}

QString tst_ModbusClients::runPymodbus(const QString &script, const QStringList &arguments)
{
    const QString python = QStringLiteral("/usr/bin/python3");
    QProcess probe;
    probe.start(python, { "-c", "import pymodbus.client, pymodbus.mei_message" });
    // scripts/deps installs it; a missing client is a failure, not a skip
    if (!probe.waitForFinished(WAIT_MS) || probe.exitCode() != 0) {
        QTest::qFail("python3 cannot import pymodbus (packages python3-pymodbus, python3-serial-asyncio)",
                     __FILE__, __LINE__);
        return QString();
    }
    QProcess process;
    process.start(python, QStringList { "-c", script } + arguments);
    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    if (!finished.wait(WAIT_MS) || process.exitCode() != 0) {
        QTest::qFail(qPrintable(QString::fromLocal8Bit(process.readAllStandardError())), __FILE__, __LINE__);
        return QString();
    }
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

// Devices on one port told apart by their unit ids, each from its own
// register 0, read by libmodbus; the request's unit id comes back in each answer.
void tst_ModbusClients::unitIds_data()
{
    QTest::addColumn<bool>("unitsOnlyPort");
    QTest::addColumn<int>("unitId");
    QTest::addColumn<QList<quint16>>("registers"); // empty: exception 10

    QTest::newRow("unit 1") << false << 1 << QList<quint16> { 0x0101, 0x0102, 0 };
    QTest::newRow("unit 2") << false << 2 << QList<quint16> { 0x0201, 0x0202, 0 };
    QTest::newRow("unknown unit 3") << false << 3 << QList<quint16> { 0x0a0a, 0, 0 };
    QTest::newRow("unit 0") << false << 0 << QList<quint16> { 0x0a0a, 0, 0 };
    QTest::newRow("unit 255") << false << 255 << QList<quint16> { 0x0a0a, 0, 0 };
    QTest::newRow("units only, unit 5") << true << 5 << QList<quint16> { 0x0505, 0, 0 };
    QTest::newRow("units only, unknown unit 6") << true << 6 << QList<quint16> {};
    QTest::newRow("units only, unit 0") << true << 0 << QList<quint16> {};
}

void tst_ModbusClients::unitIds()
{
    QFETCH(bool, unitsOnlyPort);
    QFETCH(int, unitId);
    QFETCH(QList<quint16>, registers);

    m_unitsOnly = std::make_unique<CDeviceHandler>(0, *m_image);
    addUnitDevice(*m_listener, 1, 1, 0, { 0x0101, 0x0102 });
    addUnitDevice(*m_listener, 2, 2, 0, { 0x0201, 0x0202 });
    addUnitDevice(*m_listener, 0, 3, 0, { 0x0a0a });
    addUnitDevice(*m_unitsOnly, 5, 4, 0, { 0x0505 });

    const quint16 port = unitsOnlyPort ? m_unitsOnly->getPort() : m_listener->getPort();
    const SModbusRead result = runModbusClient(port, unitId, readCall(0, 3));
    if (registers.isEmpty()) {
        QCOMPARE(result.rc, -1);
        QCOMPARE(result.error, int(EMBXGPATH));
        return;
    }
    QCOMPARE(result.rc, 3);
    QCOMPARE(result.registers, QVector<quint16>::fromList(registers));
}

// Read Device Identification (43/14) through pymodbus's own request and answer classes.
void tst_ModbusClients::pymodbusIdentification_data()
{
    QTest::addColumn<bool>("unitsOnlyPort");
    QTest::addColumn<int>("unitId");
    QTest::addColumn<int>("readCode");
    QTest::addColumn<int>("objectId");
    QTest::addColumn<QString>("answer");

    const QString device2
        = "conformity 131 more 0 next 0 {0: b'Tidewell', 1: b'TH', 2: b'1.0.2', 4: b'device 2', "
          "5: b'TH', 128: b'70B3D50000000002', 129: b'A1B2C3D400000001'}";
    QTest::newRow("device, extended") << false << 2 << 3 << 0 << device2;
    QTest::newRow("device, basic") << false << 2 << 1 << 0
                                   << "conformity 131 more 0 next 0 {0: b'Tidewell', 1: b'TH', 2: b'1.0.2'}";
    QTest::newRow("device, individual DevEUI")
        << false << 2 << 4 << 0x80 << "conformity 131 more 0 next 0 {128: b'70B3D50000000002'}";
    QTest::newRow("device, individual absent") << false << 2 << 4 << 3 << "exception 2";
    QTest::newRow("device, stream from an absent object") << false << 2 << 3 << 6 << device2;
    QTest::newRow("port itself, unit 0")
        << false << 0 << 2 << 0
        << "conformity 131 more 0 next 0 {0: b'Tidewell', 1: b'Tidewell', 2: b'1.0.2'}";
    QTest::newRow("port of unit ids, unknown unit") << true << 9 << 1 << 0 << "exception 10";
}

void tst_ModbusClients::pymodbusIdentification()
{
    QFETCH(bool, unitsOnlyPort);
    QFETCH(int, unitId);
    QFETCH(int, readCode);
    QFETCH(int, objectId);
    QFETCH(QString, answer);

    m_image->setGatewayIdentity({ { 0, "Tidewell" }, { 1, "Tidewell" }, { 2, "1.0.2" } });
    m_unitsOnly = std::make_unique<CDeviceHandler>(0, *m_image);
    addUnitDevice(*m_listener, 2, 2, 0, { 1 });
    addUnitDevice(*m_listener, 0, 3, 0, { 2 });
    addUnitDevice(*m_unitsOnly, 5, 4, 0, { 3 });

    const QString script = QStringLiteral(R"(
import sys
from pymodbus.client import ModbusTcpClient
from pymodbus.mei_message import ReadDeviceInformationRequest
port, unit, code, object_id = (int(a) for a in sys.argv[1:5])
client = ModbusTcpClient("127.0.0.1", port=port, timeout=30)
client.connect()
reply = client.execute(ReadDeviceInformationRequest(code, object_id, unit=unit))
if reply.isError():
    print("exception", reply.exception_code)
else:
    assert reply.unit_id == unit
    print("conformity", reply.conformity, "more", reply.more_follows, "next", reply.next_object_id,
          dict(sorted(reply.information.items())))
client.close()
)");
    const quint16 port = unitsOnlyPort ? m_unitsOnly->getPort() : m_listener->getPort();
    QCOMPARE(runPymodbus(script,
                         { QString::number(port), QString::number(unitId), QString::number(readCode),
                           QString::number(objectId) }),
             answer);
}

// [modbus] allow: a client from 127.0.0.2 (pymodbus binds its end there) is
// closed at once, counted and logged; one from 127.0.0.1 reads. A list
// changed later closes the open connections it no longer admits.
void tst_ModbusClients::allowedClients()
{
    addDevice(1, 0, { "0102" });
    SModbusConfig config;
    config.restricted = true;
    config.allow = { { QHostAddress(QStringLiteral("127.0.0.1")), 32 } };
    QCOMPARE(m_listener->setAllowList(config), 0);

    const QString script = QStringLiteral(R"(
import sys
from pymodbus.client import ModbusTcpClient
for source in sys.argv[2:]:
    client = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), source_address=(source, 0), timeout=30,
                             retries=0)
    try:
        client.connect()
        reply = client.read_holding_registers(0, 1, slave=1)
        # closed at once: pymodbus either raises or answers with an error, by timing
        print(source, "refused" if reply.isError() else list(reply.registers))
    except Exception:
        print(source, "refused")
    client.close()
)");
    QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    const quint64 refusedBefore = CDeviceHandler::refusedConnections();
    QCOMPARE(runPymodbus(script,
                         { QString::number(m_listener->getPort()), "127.0.0.2", "127.0.0.1", "127.0.0.2" }),
             QStringLiteral("127.0.0.2 refused\n127.0.0.1 [258]\n127.0.0.2 refused"));
    QCOMPARE(CDeviceHandler::refusedConnections() - refusedBefore, quint64(2));
    // one line for the address within the minute
    QStringList lines;
    for (const QList<QVariant> &line : qAsConst(log))
        if (line.at(0).toString().contains(QStringLiteral("not in [modbus] allow")))
            lines << line.at(0).toString();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(
        lines.first().endsWith(QStringLiteral("Port [%1]: connection from [127.0.0.2] is not in [modbus] "
                                              "allow; closed")
                                   .arg(m_listener->getPort())),
        qPrintable(lines.first()));

    // an open connection from 127.0.0.1 is closed once the list leaves it out
    QTcpSocket open;
    QSignalSpy closed(&open, &QTcpSocket::disconnected);
    open.connectToHost(QHostAddress::LocalHost, m_listener->getPort());
    QVERIFY(open.waitForConnected(WAIT_MS));
    QTRY_COMPARE(m_listener->findChildren<CConnectionHandler *>().size(), 1);
    QCOMPARE(m_listener->setAllowList(config), 0);
    config.allow = { { QHostAddress(QStringLiteral("127.0.0.2")), 32 } };
    QCOMPARE(m_listener->setAllowList(config), 1);
    QVERIFY(closed.wait(WAIT_MS));
}

QTEST_MAIN(tst_ModbusClients)
#include "tst_modbusclients.moc"
