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
    void identificationMoreFollows();
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

// Unit 99 names no device on a port of unit-id devices only.
constexpr uint8_t kNoSuchUnit = 99;

// Unit 1 is a device; any other unit (but 99) gets the port's own identity.
uint8_t identify(uint8_t unitId, Modbus::IdentityObjects *objects)
{
    if (unitId == kNoSuchUnit)
        return Modbus::GatewayPathUnavailable;
    if (unitId == 1)
        *objects = { { 0, "Tw" }, { 1, "TH" }, { 2, "1.0" }, { 4, "Boiler" }, { 5, "TH" }, { 0x80, "EUI" } };
    else
        *objects = { { 0, "Tw" }, { 1, "GW" }, { 2, "1.0" } };
    return 0;
}

SRun run(QByteArray &buffer, bool storeAvailable = true, int maxRequests = std::numeric_limits<int>::max())
{
    SRun result;
    result.close = Modbus::processBuffer(
                       buffer, result.answers,
                       [&](uint8_t unitId, uint16_t start, uint16_t quantity, uint16_t *out) -> uint8_t {
                           ++result.reads;
                           readStore(start, quantity, out);
                           if (unitId == kNoSuchUnit)
                               return Modbus::GatewayPathUnavailable;
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
                       maxRequests, identify)
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
    // a unit id that no device of a port of unit-id devices has: gateway path unavailable
    row("unit without device", "0060000000066303006400 01", "006000000003638 30a", 1);

    // Read Device Identification (43/14): its request is 5 bytes long after the header
    // basic stream (code 1): objects 0..2
    row("identification basic", "00500000000501 2b0e0100",
        "005000000015012b0e0183000003 00025477 01025448 0203312e30", 0);
    // regular stream (code 2) carries the basic objects first; extended (code 3) all of them
    row("identification regular", "00510000000501 2b0e0200",
        "005100000021012b0e0283000005 00025477 01025448 0203312e30 0406426f696c6572 05025448", 0);
    row("identification extended from 0x80", "00520000000501 2b0e0380",
        "00520000000d012b0e0383000001 8003455549", 0);
    row("identification regular from 4", "00530000000501 2b0e0204",
        "005300000014012b0e0283000002 0406426f696c6572 05025448", 0);
    // a stream from an object the device does not have starts again at object 0
    row("identification stream unknown object", "00540000000501 2b0e0103",
        "005400000015012b0e0183000003 00025477 01025448 0203312e30", 0);
    row("identification basic from 0x80", "00550000000501 2b0e0180",
        "005500000015012b0e0183000003 00025477 01025448 0203312e30", 0);
    // individual access (code 4): the one object, or illegal data address when absent
    row("identification individual", "00560000000501 2b0e0404",
        "005600000010012b0e0483000001 0406426f696c6572", 0);
    row("identification individual absent", "00570000000501 2b0e0403", "00570000000301 ab02", 0);
    // the port itself (unit 0, 255 and unknown units alike) answers the gateway's identity
    row("identification of the port", "00580000000500 2b0e0100",
        "005800000015002b0e0183000003 00025477 01024757 0203312e30", 0);
    row("identification unit without device", "00590000000563 2b0e0100", "00590000000363 ab0a", 0);
    // read codes outside 1..4 are an illegal data value; another MEI type an illegal function
    row("identification code 0", "005a0000000501 2b0e0000", "005a0000000301 ab03", 0);
    row("identification code 5", "005b0000000501 2b0e0500", "005b0000000301 ab03", 0);
    row("MEI type 13", "005c0000000501 2b0d0100", "005c0000000301 ab01", 0);
    // a padded request is read the same; a shorter one is dropped as before
    row("identification padded", "005d0000000601 2b0e040400", "005d00000010012b0e0483000001 0406426f696c6572",
        0);
    row("identification length 4", "005e0000000401 2b0e01", "", 0, { 3, 1 });
    // length 5 is still too short for any other function
    row("length 5 read", "005f000000050103006400", "", 0, { 3, 1 });

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
    input.replace(' ', "");
    QFETCH(QByteArray, answers);
    answers.replace(' ', "");
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

void tst_ModbusFrame::identificationMoreFollows()
{
    // Four extended objects of 100 bytes: two fit in one answer, the rest follows
    // from the object named; one object longer than an answer is cut to fit.
    Modbus::IdentityObjects objects { { 0, "Tw" } };
    for (uint8_t id = 0x80; id < 0x84; ++id)
        objects.insert(id, QByteArray(100, char(id)));
    const auto identity = [&](uint8_t, Modbus::IdentityObjects *out) -> uint8_t {
        *out = objects;
        return 0;
    };
    SModbusMBAP mbap;
    mbap.transactionId = 7;
    QByteArray answer = Modbus::answerIdentification(mbap, 3, QByteArray::fromHex("2b0e0380"), identity);
    QCOMPARE(answer.size(), 6 + 1 + 7 + 2 * 102);
    QCOMPARE(answer.mid(4, 10).toHex(), QByteArray("00d4032b0e0383ff8202"));
    answer = Modbus::answerIdentification(mbap, 3, QByteArray::fromHex("2b0e0382"), identity);
    QCOMPARE(answer.mid(4, 10).toHex(), QByteArray("00d4032b0e0383000002"));
    QCOMPARE(answer.mid(14, 2).toHex(), QByteArray("8264"));
    // code 2 stops at the regular objects: object 0 only, nothing follows
    answer = Modbus::answerIdentification(mbap, 3, QByteArray::fromHex("2b0e0200"), identity);
    QCOMPARE(answer.mid(4).toHex(),
             QByteArray("000c032b0e02830000010002547"
                        "7"));

    objects = { { 4, QByteArray(300, 'x') } };
    answer = Modbus::answerIdentification(mbap, 3, QByteArray::fromHex("2b0e0404"), identity);
    QCOMPARE(answer.size(), 6 + 254);
    QCOMPARE(answer.mid(4, 12).toHex(),
             QByteArray("00fe032b0e04830000010"
                        "4f4"));
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
        silent, answers, [](uint8_t, uint16_t, uint16_t, uint16_t *) -> uint8_t { return 11; },
        [](const QString &) {}, 10);
    QCOMPARE(counters.exceptions[11] - failed, uint64_t(1));
    // Read Device Identification counts as another function; its exceptions under their codes
    const uint64_t unavailable = counters.exceptions[Modbus::GatewayPathUnavailable];
    // fromHex skips the spaces
    QByteArray identification = QByteArray::fromHex("00060000000501 2b0e0100 00070000000563 2b0e0100");
    run(identification);
    QCOMPARE(counters.otherRequests - other, uint64_t(3));
    QCOMPARE(counters.exceptions[Modbus::GatewayPathUnavailable] - unavailable, uint64_t(1));
}

QTEST_APPLESS_MAIN(tst_ModbusFrame)
#include "tst_modbusframe.moc"
