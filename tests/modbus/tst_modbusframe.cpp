#include "modbus/modbusframe.h"

#include <QtTest>

// Framing and answers without sockets: each row feeds bytes to the framer and
// compares the answers, the log lines and what stays in the buffer.
class tst_ModbusFrame : public QObject
{
    Q_OBJECT

private slots:
    void frames_data();
    void frames();
    void splitFrame_data();
    void splitFrame();
    void storeUnavailable();
    void requestLimitPerCall();
    void answerLayout();

private:
    struct SRun
    {
        QByteArray answers;
        QList<int> logs; // 1, 2, 3 for the three incomplete-packet lines
        QList<QPair<int, int>> reads;
    };
    SRun run(QByteArray &buffer, bool storeAvailable = true);
};

Q_DECLARE_METATYPE(QList<int>)

namespace {

// Registers 100..103 hold values; every other address reads as 0, as the
// store answers for registers that never received data.
uint16_t storedValue(int address)
{
    static const QMap<int, uint16_t> values {
        { 100, 0x1111 }, { 101, 0x2222 }, { 102, 0x3333 }, { 103, 0x4444 }
    };
    return values.value(address, 0);
}

int logNumber(const QString &line)
{
    if (line == Modbus::QS_LOG_INCOMPLETE_1)
        return 1;
    if (line == Modbus::QS_LOG_INCOMPLETE_2)
        return 2;
    if (line == Modbus::QS_LOG_INCOMPLETE_3)
        return 3;
    return -1;
}

} // namespace

tst_ModbusFrame::SRun tst_ModbusFrame::run(QByteArray &buffer, bool storeAvailable)
{
    SRun result;
    Modbus::processBuffer(
        buffer, result.answers,
        [&](uint16_t start, uint16_t quantity, QMap<uint16_t, uint16_t> &registers) {
            result.reads.append({ start, quantity });
            for (int i = 0; i < quantity; ++i)
                registers.insert(uint16_t(start + i), storedValue(start + i));
            return storeAvailable;
        },
        [&](const QString &line) { result.logs.append(logNumber(line)); });
    return result;
}

void tst_ModbusFrame::frames_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<QList<int>>("logs");
    QTest::addColumn<QByteArray>("rest");
    QTest::addColumn<int>("reads");

    // tid 0001, pid 0000, len 6, unit 01, fc 03, start 100, qty 5
    QTest::newRow("holding 100..104") << QByteArray::fromHex("000100000006010300640005")
                                      << QByteArray::fromHex("00010000000d01030a11112222333344440000")
                                      << QList<int> {} << QByteArray() << 1;
    // same with fc 04
    QTest::newRow("input 100..104") << QByteArray::fromHex("000100000006010400640005")
                                    << QByteArray::fromHex("00010000000d01040a11112222333344440000")
                                    << QList<int> {} << QByteArray() << 1;
    // fc 06 write single register 1 = 0x0003: illegal function, request consumed
    QTest::newRow("function 6") << QByteArray::fromHex("000200000006010600010003")
                                << QByteArray::fromHex("000200000003018601") << QList<int> {} << QByteArray()
                                << 0;
    // fc 01 read coils
    QTest::newRow("function 1") << QByteArray::fromHex("000300000006010100000008")
                                << QByteArray::fromHex("000300000003018101") << QList<int> {} << QByteArray()
                                << 0;
    // fc 16 write 2 registers: the data bytes after the quantity go with the frame
    QTest::newRow("function 16 with data")
        << QByteArray::fromHex("00040000000b0110006400020400010002")
        << QByteArray::fromHex("000400000003019001") << QList<int> {} << QByteArray() << 0;
    // two requests in one segment: answered in order
    QTest::newRow("two frames") << QByteArray::fromHex("000a00000006010300640001"
                                                       "000b00000006010300650001")
                                << QByteArray::fromHex("000a0000000501030211110"
                                                       "00b00000005010302"
                                                       "2222")
                                << QList<int> {} << QByteArray() << 2;
    // len 2 (unit id and one PDU byte): dropped, then the empty buffer is reported
    QTest::newRow("length 2") << QByteArray::fromHex("0005000000020103") << QByteArray()
                              << QList<int> { 3, 1 } << QByteArray() << 0;
    // a short frame followed by a good one: both consumed, one answer
    QTest::newRow("short then request")
        << QByteArray::fromHex("000500000002010300060000000601030066"
                               "0002")
        << QByteArray::fromHex("00060000000701030433334444") << QList<int> { 3 } << QByteArray() << 1;
    // unit ids and protocol ids are echoed, whatever they are
    QTest::newRow("unit 0") << QByteArray::fromHex("000700000006000300670001")
                            << QByteArray::fromHex("0007000000050003024444") << QList<int> {} << QByteArray()
                            << 1;
    QTest::newRow("unit 255, protocol 1234")
        << QByteArray::fromHex("000812340006ff0300670001") << QByteArray::fromHex("000812340005ff03024444")
        << QList<int> {} << QByteArray() << 1;
    // quantity 0: an answer without registers
    QTest::newRow("quantity 0") << QByteArray::fromHex("000900000006010300640000")
                                << QByteArray::fromHex("00090000000301030"
                                                       "0")
                                << QList<int> {} << QByteArray() << 1;
    // 126 registers would wrap the one-byte byte count: illegal data value
    QTest::newRow("quantity 126") << QByteArray::fromHex("000c0000000601030000007e")
                                  << QByteArray::fromHex("000c00000003018303") << QList<int> {}
                                  << QByteArray() << 0;
    QTest::newRow("quantity 65535, input")
        << QByteArray::fromHex("000c000000060104000"
                               "0ffff")
        << QByteArray::fromHex("000c00000003018403") << QList<int> {} << QByteArray() << 0;
    // the last register is readable; one more passes 65535: illegal data address
    QTest::newRow("last register") << QByteArray::fromHex("000d0000000601 03ffff0001")
                                   << QByteArray::fromHex("000d00000005010302"
                                                          "0000")
                                   << QList<int> {} << QByteArray() << 1;
    QTest::newRow("past last register")
        << QByteArray::fromHex("000d00000006010 3ffff0002") << QByteArray::fromHex("000d00000003018302")
        << QList<int> {} << QByteArray() << 0;
    QTest::newRow("65500 + 100") << QByteArray::fromHex("000e00000006010 3ffdc0064")
                                 << QByteArray::fromHex("000e00000003018302") << QList<int> {} << QByteArray()
                                 << 0;
    // complete request followed by half of the next: the half stays
    QTest::newRow("request and half") << QByteArray::fromHex("000f00000006010300670001"
                                                             "0010000000060103")
                                      << QByteArray::fromHex("000f000000050103024444") << QList<int> { 2 }
                                      << QByteArray::fromHex("0010000000060103") << 1;
}

void tst_ModbusFrame::frames()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, answers);
    QFETCH(QList<int>, logs);
    QFETCH(QByteArray, rest);
    QFETCH(int, reads);

    QByteArray buffer = input;
    const SRun result = run(buffer);
    QCOMPARE(result.answers.toHex(), answers.toHex());
    QCOMPARE(result.logs, logs);
    QCOMPARE(buffer.toHex(), rest.toHex());
    QCOMPARE(result.reads.size(), reads);
}

void tst_ModbusFrame::splitFrame_data()
{
    QTest::addColumn<int>("cut");
    QTest::addColumn<QList<int>>("firstLogs");

    // up to 5 bytes the header is incomplete, from 6 on the body
    QTest::newRow("4 bytes") << 4 << QList<int> { 1 };
    QTest::newRow("5 bytes") << 5 << QList<int> { 1 };
    QTest::newRow("6 bytes") << 6 << QList<int> { 2 };
    QTest::newRow("11 bytes") << 11 << QList<int> { 2 };
}

void tst_ModbusFrame::splitFrame()
{
    QFETCH(int, cut);
    QFETCH(QList<int>, firstLogs);

    // tid 0021, len 6, unit 01, fc 03, start 101, qty 2
    const QByteArray request = QByteArray::fromHex("002100000006010300650002");
    QByteArray buffer = request.left(cut);
    SRun first = run(buffer);
    QVERIFY(first.answers.isEmpty());
    QCOMPARE(first.logs, firstLogs);
    QCOMPARE(buffer, request.left(cut));

    buffer += request.mid(cut);
    SRun second = run(buffer);
    QCOMPARE(second.answers.toHex(),
             QByteArray("002100000007010304"
                        "22223333"));
    QVERIFY(second.logs.isEmpty());
    QVERIFY(buffer.isEmpty());
    QCOMPARE(second.reads, (QList<QPair<int, int>> { { 101, 2 } }));
}

void tst_ModbusFrame::storeUnavailable()
{
    // Without a register store a read is refused as a server failure (4);
    // other functions still get illegal function (1).
    QByteArray buffer = QByteArray::fromHex("003000000006070300640001"
                                            "003100000006070600640001");
    const SRun result = run(buffer, false);
    QCOMPARE(result.answers.toHex(),
             QByteArray("003000000003078304"
                        "003100000003078601"));
}

void tst_ModbusFrame::requestLimitPerCall()
{
    // Two requests and a short frame; one request per call: the second call
    // answers the rest and reports the short frame as usual.
    QByteArray buffer = QByteArray::fromHex("004000000006010300640001"
                                            "004100000006010300650001"
                                            "0042000000020103");
    QByteArray answers;
    QStringList logs;
    auto reader = [](uint16_t start, uint16_t quantity, QMap<uint16_t, uint16_t> &registers) {
        for (int i = 0; i < quantity; ++i)
            registers.insert(uint16_t(start + i), storedValue(start + i));
        return true;
    };
    auto logger = [&](const QString &line) { logs << line; };
    QCOMPARE(Modbus::processBuffer(buffer, answers, reader, logger, 1), 1);
    QCOMPARE(answers.toHex(),
             QByteArray("004000000005010302"
                        "1111"));
    QVERIFY(logs.isEmpty());
    QVERIFY(Modbus::hasCompleteFrame(buffer));

    answers.clear();
    QCOMPARE(Modbus::processBuffer(buffer, answers, reader, logger, 1), 1);
    QCOMPARE(answers.toHex(),
             QByteArray("004100000005010302"
                        "2222"));
    QCOMPARE(logs, (QStringList { Modbus::QS_LOG_INCOMPLETE_3, Modbus::QS_LOG_INCOMPLETE_1 }));
    QVERIFY(buffer.isEmpty());
    QVERIFY(!Modbus::hasCompleteFrame(QByteArray::fromHex("00430000000601030000")));
}

void tst_ModbusFrame::answerLayout()
{
    // 125 registers: the largest answer, byte count 250 and length 253
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
    QCOMPARE(answer.left(9).toHex(), QByteArray("abcd000000fd0904fa"));
    // ascending address order: address 65411 (value 124) comes first
    QCOMPARE(answer.mid(9, 2).toHex(), QByteArray("007c"));
    QCOMPARE(answer.right(2).toHex(), QByteArray("0000"));
}

QTEST_APPLESS_MAIN(tst_ModbusFrame)
#include "tst_modbusframe.moc"
