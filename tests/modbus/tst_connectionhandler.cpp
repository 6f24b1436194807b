#include "app/logfile.h"
#include "modbus/connectionhandler.h"
#include "modbus/devicehandler.h"
#include "modbus/modbuslog.h"
#include "modbus/registersource.h"
#include "tests/testkit/testkit.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/socket.h>
#include <unistd.h>

// Raw bytes on a loopback socket: what each kind of frame does to its
// connection, and how much a junk stream can write to the log.
class tst_ConnectionHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void framingFates_data();
    void framingFates();
    void junkStreamLogIsBounded();
    void halfClosedPeerGetsEveryAnswer();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CDeviceHandler> m_listener;
};

namespace {

// Every register holds its own address.
class CAddressSource : public IRegisterSource
{
public:
    uint8_t readRegisters(uint16_t, uint8_t, uint16_t start, uint16_t quantity, uint16_t *out) override
    {
        for (uint16_t i = 0; i < quantity; ++i)
            out[i] = uint16_t(start + i);
        return 0;
    }
};

CAddressSource s_source;
qint64 s_now = 0;

// tid 7777, pid 0, len 6, unit 01, fc 03, start 0x0102, qty 1 and its answer
const QByteArray kRequest = QByteArray::fromHex("777700000006010301020001");
const QByteArray kAnswer = QByteArray::fromHex("7777000000050103020102");

enum EFate { Answered, Closed };

std::unique_ptr<QTcpSocket> connectTo(uint16_t port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    if (!socket->waitForConnected(testkit::WAIT_MS))
        return nullptr;
    return socket;
}

// Lines of the spied log that the framer and the limiter write.
int countLines(const QSignalSpy &spy, const QString &text)
{
    int count = 0;
    for (const QList<QVariant> &call : spy)
        count += call.at(0).toString().contains(text) ? 1 : 0;
    return count;
}

} // namespace

void tst_ConnectionHandler::initTestCase()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_dir->path()));
    CLogFile::getInstance(QStringLiteral("history.log"));
    CLogLimiter::setClock([] { return s_now; });
    // a frame left incomplete is given up quickly here
    CConnectionHandler::setIncompleteFrameTimeout(200);
}

void tst_ConnectionHandler::cleanupTestCase()
{
    CLogLimiter::setClock({});
    CConnectionHandler::setIncompleteFrameTimeout(10000);
}

void tst_ConnectionHandler::init()
{
    // every connection starts in a fresh log window
    s_now += 10 * CLogLimiter::WindowMs;
    m_listener = std::make_unique<CDeviceHandler>(0, s_source);
    QVERIFY(m_listener->isListening());
}

void tst_ConnectionHandler::cleanup()
{
    m_listener.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_ConnectionHandler::framingFates_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("fate");

    auto row = [](const char *name, const char *input, const char *answer, EFate fate) {
        QTest::newRow(name) << QByteArray::fromHex(input) << QByteArray::fromHex(answer) << int(fate);
    };
    // tid 0001, len 6, unit 01, fc 03, start 100, qty 2: registers 100 and 101
    row("read", "000100000006010300640002", "00010000000701030400640065", Answered);
    // quantity 126: an exception answer keeps the connection (the answers
    // themselves are tst_modbusframe's)
    row("quantity 126", "00050000000601030064007e", "000500000003018303", Answered);
    // len 2 and zero bytes (len 0 frames): dropped without an answer, connection kept
    row("length 2", "0007000000020103", "", Answered);
    row("zero bytes", "000000000000000000000000000000000000", "", Answered);
    // len 300: no request is that long; the stream cannot be resynchronised
    row("length 300", "00080000012c010300640001", "", Closed);
    row("read then length 255", "000900000006010300640001000a000000ff01030064", "0009000000050103020064",
        Closed);
    // a header and nothing else, then silence: given up after the timeout
    row("header only", "000b00000006", "", Closed);
    row("half a request", "000c0000000601030064", "", Closed);
}

void tst_ConnectionHandler::framingFates()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, answer);
    QFETCH(int, fate);

    auto client = connectTo(m_listener->getPort());
    QVERIFY(client);
    QSignalSpy disconnected(client.get(), &QTcpSocket::disconnected);
    client->write(input);

    QByteArray received;
    if (fate == Closed) {
        QVERIFY(disconnected.wait(testkit::WAIT_MS));
        received = client->readAll();
        QCOMPARE(received.toHex(), answer.toHex());
    } else {
        // a well-formed request afterwards proves nothing else was sent and the
        // connection still answers
        client->write(kRequest);
        const QByteArray expected = answer + kAnswer;
        QTRY_VERIFY_WITH_TIMEOUT(
            (received += client->readAll()).size() >= expected.size() || !client->isOpen(), testkit::WAIT_MS);
        QCOMPARE(received.toHex(), expected.toHex());
        QVERIFY(disconnected.isEmpty());
    }

    // another client on the same port is served whatever happened to this one
    auto other = connectTo(m_listener->getPort());
    QVERIFY(other);
    other->write(kRequest);
    QTRY_VERIFY_WITH_TIMEOUT(other->bytesAvailable() >= kAnswer.size(), testkit::WAIT_MS);
    QCOMPARE(other->readAll().toHex(), kAnswer.toHex());
}

void tst_ConnectionHandler::junkStreamLogIsBounded()
{
    QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    auto junk = connectTo(m_listener->getPort());
    QVERIFY(junk);

    // 2,000 frames of length 0, each worth an "Incomplete packet [3]" line; the
    // request after them is answered once all of them were taken.
    const QString incomplete = QStringLiteral("[CConnectionHandler] Incomplete packet [");
    junk->write(QByteArray(6 * 2000, '\0') + kRequest);
    QTRY_VERIFY(junk->bytesAvailable() >= kAnswer.size());
    QCOMPARE(junk->readAll().toHex(), kAnswer.toHex());
    QCOMPARE(countLines(log, incomplete), CLogLimiter::MaxLinesPerWindow);
    QCOMPARE(countLines(log, QStringLiteral("left out")), 0);

    // a minute later the first line says how many were left out, and lines are
    // written again
    s_now += CLogLimiter::WindowMs;
    log.clear();
    junk->write(QByteArray(6, '\0') + kRequest);
    QTRY_VERIFY_WITH_TIMEOUT(junk->bytesAvailable() >= kAnswer.size(), testkit::WAIT_MS);
    QVERIFY(log.size() >= 2);
    const QString summary = log.first().at(0).toString();
    const QRegularExpression pattern(
        QStringLiteral("WARNING: \\[CConnectionHandler\\] Peer \\[127\\.0\\.0\\.1:\\d+\\] on "
                       "port \\[%1\\]: (\\d+) more log lines left out in the last minute$")
            .arg(m_listener->getPort()));
    const QRegularExpressionMatch match = pattern.match(summary);
    QVERIFY2(match.hasMatch(), qPrintable(summary));
    // at least the 2,000 dropped frames, less the ten written
    QVERIFY(match.captured(1).toInt() >= 2000 - CLogLimiter::MaxLinesPerWindow);
    QVERIFY(log.at(1).at(0).toString().endsWith(QStringLiteral("Incomplete packet [3]. Clear buffer...")));
}

// A client may send its requests and shut its side down before reading: every
// request is still answered, over more passes than one, and then the
// connection goes.
void tst_ConnectionHandler::halfClosedPeerGetsEveryAnswer()
{
    auto client = connectTo(m_listener->getPort());
    QVERIFY(client);
    const int requests = 3 * CConnectionHandler::RequestsPerPass + 1;
    QByteArray pipeline;
    for (int i = 0; i < requests; ++i)
        pipeline += kRequest;
    QCOMPARE(::write(int(client->socketDescriptor()), pipeline.constData(), size_t(pipeline.size())),
             ssize_t(pipeline.size()));
    QCOMPARE(::shutdown(int(client->socketDescriptor()), SHUT_WR), 0);

    QSignalSpy disconnected(client.get(), &QTcpSocket::disconnected);
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += client->readAll()).size() >= requests * kAnswer.size()
                                 && !disconnected.isEmpty(),
                             testkit::WAIT_MS);
    QCOMPARE(received, kAnswer.repeated(requests));
    QTRY_COMPARE(CConnectionHandler::openConnections(), 0);
}

QTEST_MAIN(tst_ConnectionHandler)
#include "tst_connectionhandler.moc"
