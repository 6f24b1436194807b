#include "app/logfile.h"
#include "modbus/devicehandler.h"
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

private:
    void addDevice(uint32_t device, int startAddr, const QStringList &values);

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
        m_image->put(m_listener->getPort(), uint32_t(startAddr + i), device,
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

QTEST_MAIN(tst_ModbusClients)
#include "tst_modbusclients.moc"
