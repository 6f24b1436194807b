#include "modbus/modbusframe.h"
#include "modbus/modbusstats.h"

#include <QtTest>

Q_DECLARE_METATYPE(QList<int>)

// Framing and answers without sockets: each row feeds bytes to the framer and
// compares the answers, the log lines and what stays in the buffer.
class tst_ModbusFrame : public QObject
{
    Q_OBJECT

private slots:
    void frames_data();
    void frames();
    void requestLimitPerCall();
    void largestAnswer();
    void requestsAndExceptionsAreCounted();
};

namespace {

struct SRun
{
    QByteArray answers;
    QList<int> logs; // 1, 2, 3 for the three incomplete-packet lines, 4 for a frame too long
    int reads = 0;
    bool close = false;
};

// Registers 100..103 hold 1111..4444; every other address reads as 0, as the
// store answers for registers that never received data.
void readStore(uint16_t start, uint16_t quantity, uint16_t *out)
{
    for (int i = 0; i < quantity; ++i) {
        const int address = start + i;
        out[i] = uint16_t(address >= 100 && address <= 103 ? 0x1111 * (address - 99) : 0);
    }
}

SRun run(QByteArray &buffer, bool storeAvailable = true, int maxRequests = std::numeric_limits<int>::max())
{
    SRun result;
    result.close = Modbus::processBuffer(
                       buffer, result.answers,
                       [&](uint16_t start, uint16_t quantity, uint16_t *out) -> uint8_t {
                           ++result.reads;
                           readStore(start, quantity, out);
                           return storeAvailable ? 0 : Modbus::ServerDeviceFailure;
                       },
                       [&](const QString &line) {
                           const QStringList known { Modbus::QS_LOG_INCOMPLETE_1, Modbus::QS_LOG_INCOMPLETE_2,
                                                     Modbus::QS_LOG_INCOMPLETE_3 };
                           result.logs.append(
                               line.startsWith(QStringLiteral("WARNING: [CConnectionHandler] Frame length"))
                                   ? 4
                                   : known.indexOf(line) + 1);
                       },
                       maxRequests)
                       .close;
    return result;
}

void row(const char *name, const QByteArray &input, const char *answers, int reads, QList<int> logs = {},
         const char *rest = "", bool store = true, bool close = false)
{
    QTest::newRow(name) << input << QByteArray(answers) << reads << logs << QByteArray(rest) << store
                        << close;
}

} // namespace

void tst_ModbusFrame::frames_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<int>("reads");
    QTest::addColumn<QList<int>>("logs");
    QTest::addColumn<QByteArray>("rest");
    QTest::addColumn<bool>("store");
    QTest::addColumn<bool>("close");

    // tid 0001, pid 0000, len 6, unit 01, fc 03/04, start 100, qty 5
    row("holding 100..104", "000100000006010300640005", "00010000000d01030a11112222333344440000", 1);
    row("input 100..104", "000100000006010400640005", "00010000000d01040a11112222333344440000", 1);
    // fc 06 write, fc 01 read coils, fc 16 with its data bytes: illegal function, request consumed
    row("function 6", "000200000006010600010003", "000200000003018601", 0);
    row("function 1", "000300000006010100000008", "000300000003018101", 0);
    row("function 16 with data", "00040000000b0110006400020400010002", "000400000003019001", 0);
    row("two frames", "000a00000006010300640001000b00000006010300650001",
        "000a000000050103021111000b000000050103022222", 2);
    // a request split in the header (log 1) or in the body (log 2)
    row("split after 5 bytes", "0021000000|06010300650002", "00210000000701030422223333", 1, { 1 });
    row("split after 6 bytes", "002100000006|010300650002", "00210000000701030422223333", 1, { 2 });
    row("split after 11 bytes", "0021000000060103006500|02", "00210000000701030422223333", 1, { 2 });
    // len 2 (unit id and one PDU byte): dropped, then the empty buffer is reported
    row("length 2", "0005000000020103", "", 0, { 3, 1 });
    row("short then request", "0005000000020103000600000006010300660002", "00060000000701030433334444", 1,
        { 3 });
    // unit ids and protocol ids are echoed, whatever they are
    row("unit 0", "000700000006000300670001", "0007000000050003024444", 1);
    row("unit 255, protocol 1234", "000812340006ff0300670001", "000812340005ff03024444", 1);
    // quantities outside 1..125 are an illegal data value; 126 would wrap the one-byte byte count
    row("quantity 0", "000900000006010300640000", "000900000003018303", 0);
    row("quantity 126", "000c0000000601030000007e", "000c00000003018303", 0);
    row("quantity 65535, input", "000c0000000601040000ffff", "000c00000003018403", 0);
    // the last register is readable; one more passes 65535: illegal data address
    row("last register", "000d000000060103ffff0001", "000d000000050103020000", 1);
    row("past last register", "000d000000060103ffff0002", "000d00000003018302", 0);
    row("request and half", "000f000000060103006700010010000000060103", "000f000000050103024444", 1, { 2 },
        "0010000000060103");
    // no register store: reads are a server failure (4), other functions still illegal (1)
    row("no store", "003000000006070300640001003100000006070600640001",
        "003000000003078304003100000003078601", 1, {}, "", false);
    // the longest frame a client may send is answered; one byte more cannot be a
    // request: the frames before it are answered, the rest closes the connection
    row("length 254", "0011000000fe010300640001" + QByteArray(248 * 2, '0'), "0011000000050103021111", 1);
    row("length 255 after a request", "000f000000060103006700010012000000ff0103006400010000",
        "000f000000050103024444", 1, { 4 }, "0012000000ff0103006400010000", true, true);
    row("length 65535 header only", "0013abcdffff", "", 0, { 4 }, "0013abcdffff", true, true);
}

void tst_ModbusFrame::frames()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, answers);
    QFETCH(int, reads);
    QFETCH(QList<int>, logs);
    QFETCH(QByteArray, rest);
    QFETCH(bool, store);
    QFETCH(bool, close);

    // '|' splits the input into segments that arrive one after the other
    QByteArray buffer;
    SRun result;
    for (const QByteArray &segment : input.split('|')) {
        buffer += QByteArray::fromHex(segment);
        const SRun step = run(buffer, store);
        result.answers += step.answers;
        result.logs += step.logs;
        result.reads += step.reads;
        result.close = step.close;
    }
    QCOMPARE(result.answers.toHex(), answers);
    QCOMPARE(result.logs, logs);
    QCOMPARE(buffer.toHex(), rest);
    QCOMPARE(result.reads, reads);
    QCOMPARE(result.close, close);
}

void tst_ModbusFrame::requestLimitPerCall()
{
    // One frame per call, dropped ones included: the second call answers the
    // second request, the third drops the trailing short frame as usual.
    QByteArray buffer
        = QByteArray::fromHex("0040000000060103006400010041000000060103006500010042000000020103");
    SRun result = run(buffer, true, 1);
    QCOMPARE(result.answers.toHex(), QByteArray("0040000000050103021111"));
    QVERIFY(result.logs.isEmpty());
    QVERIFY(Modbus::hasCompleteFrame(buffer));

    result = run(buffer, true, 1);
    QCOMPARE(result.answers.toHex(), QByteArray("0041000000050103022222"));
    QVERIFY(result.logs.isEmpty());
    QCOMPARE(buffer.toHex(), QByteArray("0042000000020103"));

    result = run(buffer, true, 1);
    QVERIFY(result.answers.isEmpty());
    QCOMPARE(result.logs, (QList<int> { 3, 1 }));
    QVERIFY(buffer.isEmpty());
    QVERIFY(!Modbus::hasCompleteFrame(QByteArray::fromHex("00430000000601030000")));
}

void tst_ModbusFrame::largestAnswer()
{
    // 125 registers: byte count 250 and length 253, ascending address order
    SModbusMBAP mbap;
    mbap.transactionId = 0xabcd;
    SModbusTcpPacketHeader header;
    header.unitId = 9;
    header.functionCode = 4;
    QMap<uint16_t, uint16_t> registers;
    for (int i = 0; i < 125; ++i)
        registers.insert(uint16_t(65535 - i), uint16_t(i));
    const QByteArray answer = Modbus::buildReadAnswer(mbap, header, registers);
    QCOMPARE(answer.size(), 9 + 250);
    QCOMPARE(answer.left(11).toHex(), QByteArray("abcd000000fd0904fa007c"));
    QCOMPARE(answer.right(2).toHex(), QByteArray("0000"));
}

// What monitoring reads: every request by function, every exception by code.
void tst_ModbusFrame::requestsAndExceptionsAreCounted()
{
    Modbus::SStatistics &counters = Modbus::statistics();
    const uint64_t holding = counters.readHoldingRequests;
    const uint64_t input = counters.readInputRequests;
    const uint64_t other = counters.otherRequests;
    const uint64_t illegalFunction = counters.exceptions[Modbus::IllegalFunction];
    const uint64_t illegalAddress = counters.exceptions[Modbus::IllegalDataAddress];
    const uint64_t failed = counters.exceptions[11];
    // transaction 1, protocol 0, length 6, unit 1, then function, start, quantity
    QByteArray buffer = QByteArray::fromHex("000100000006010300640002") // read holding 100..101
        + QByteArray::fromHex("000200000006010400640001") // read input 100
        + QByteArray::fromHex("000300000006010600640001") // write single register: not served
        + QByteArray::fromHex("0004000000060103ffff0002"); // past 65535
    run(buffer);
    QCOMPARE(counters.readHoldingRequests - holding, uint64_t(2));
    QCOMPARE(counters.readInputRequests - input, uint64_t(1));
    QCOMPARE(counters.otherRequests - other, uint64_t(1));
    QCOMPARE(counters.exceptions[Modbus::IllegalFunction] - illegalFunction, uint64_t(1));
    QCOMPARE(counters.exceptions[Modbus::IllegalDataAddress] - illegalAddress, uint64_t(1));
    // an exception the register source answers (a silent device) counts under its code
    QByteArray silent = QByteArray::fromHex("000500000006010300640001");
    QByteArray answers;
    Modbus::processBuffer(
        silent, answers, [](uint16_t, uint16_t, uint16_t *) -> uint8_t { return 11; }, [](const QString &) {},
        10);
    QCOMPARE(counters.exceptions[11] - failed, uint64_t(1));
}

QTEST_APPLESS_MAIN(tst_ModbusFrame)
#include "tst_modbusframe.moc"
