#include "tests/testkit/testkit.h"
#include "web/webserver.h"

#include <QSignalSpy>
#include <QTcpSocket>

#include <memory>

using namespace testkit;

// The HTTP server's own duties on real sockets: event streams kept alive and
// cut off when they fall behind, suspended connections at stop, the idle
// timeout and the per-address limit.
class tst_WebServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void streamCarriesEventsAndKeepAlives();
    void streamFallingBehindIsClosed();
    void closedStreamLeavesAtOnce();
    void stopEndsStreamsAndPendingAnswers();
    void silentClientIsCutOff();
    void perAddressLimitAdmitsTenStreams();
    void longBodyGivesWayButIsNeverStarved();

private:
    std::unique_ptr<QTcpSocket> connectClient(const QByteArray &request = QByteArray());
    static bool readUntil(QTcpSocket &socket, QByteArray &received, const QByteArray &wanted);

    std::unique_ptr<CWebServer> m_server;
    CWebServer::SOptions m_options;
    SHttpResponse::Finish m_pending;
};

void tst_WebServer::init()
{
    m_server = std::make_unique<CWebServer>([this](const SHttpRequest &request) {
        if (request.target == "/events") {
            SHttpResponse stream = SHttpResponse::text(200, "retry: 1000\n\n", "text/event-stream");
            stream.eventStream = true;
            return stream;
        }
        if (request.target == "/chunks") {
            SHttpResponse long_;
            long_.setHeader("Content-Type", "text/plain");
            auto made = std::make_shared<int>(0);
            long_.chunks
                = [made]() { return *made < 20 ? QByteArray(20000, char('a' + (*made)++)) : QByteArray(); };
            return long_;
        }
        if (request.target == "/later") {
            SHttpResponse later;
            later.later = [this](SHttpResponse::Finish finish) { m_pending = finish; };
            return later;
        }
        return SHttpResponse::text(200, "hello", "text/plain");
    });
    m_options = CWebServer::SOptions();
    m_options.port = 0;
}

void tst_WebServer::cleanup()
{
    m_server.reset();
    m_pending = nullptr;
}

std::unique_ptr<QTcpSocket> tst_WebServer::connectClient(const QByteArray &request)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, m_server->port());
    if (!socket->waitForConnected(WAIT_MS))
        return nullptr;
    if (!request.isEmpty())
        socket->write(request);
    return socket;
}

bool tst_WebServer::readUntil(QTcpSocket &socket, QByteArray &received, const QByteArray &wanted)
{
    QDeadlineTimer deadline(WAIT_MS);
    while (!received.contains(wanted) && !deadline.hasExpired()) {
        QSignalSpy readable(&socket, &QTcpSocket::readyRead);
        if (socket.bytesAvailable() == 0 && socket.state() != QAbstractSocket::ConnectedState)
            return false;
        if (socket.bytesAvailable() == 0)
            readable.wait(200);
        received += socket.readAll();
    }
    return received.contains(wanted);
}

void tst_WebServer::streamCarriesEventsAndKeepAlives()
{
    QVERIFY(m_server->start(m_options, nullptr));
    m_server->setKeepAliveIntervalForTesting(50);
    auto client = connectClient("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
    QVERIFY(client);
    QByteArray received;
    QVERIFY(readUntil(*client, received, "retry: 1000"));
    QVERIFY(received.startsWith("HTTP/1.1 200"));
    QVERIFY(received.contains("text/event-stream"));
    QTRY_COMPARE(m_server->streamCount(), 1);
    m_server->broadcast("event: status\ndata: {}\n\n");
    QVERIFY(readUntil(*client, received, "event: status"));
    // Other work that always waits (Modbus under a flood) delays a stream by a
    // pass at a time but never starves it.
    int asked = 0;
    m_server->setOtherWorkWaiting([&asked] { return ++asked > 0; });
    m_server->broadcast("event: silence\ndata: {}\n\n");
    QVERIFY(readUntil(*client, received, "event: silence"));
    QVERIFY(asked > 0);
    // The keep-alive comment, which finds a client that has gone.
    QVERIFY(readUntil(*client, received, ": keep-alive"));
    client->abort();
    client.reset();
    QTRY_COMPARE(m_server->streamCount(), 0);
}

void tst_WebServer::streamFallingBehindIsClosed()
{
    QVERIFY(m_server->start(m_options, nullptr));
    auto reader = connectClient("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
    QVERIFY(reader);
    QByteArray received;
    QVERIFY(readUntil(*reader, received, "retry: 1000"));
    QTRY_COMPARE(m_server->streamCount(), 1);
    // More than 1 MB queued before the client could take any of it.
    const QByteArray event = "data: " + QByteArray(64 * 1024, 'x') + "\n\n";
    for (qint64 queued = 0; queued <= CWebServer::MaxUnsentBytes; queued += event.size())
        m_server->broadcast(event);
    QTRY_COMPARE(m_server->streamCount(), 0);
    QTRY_VERIFY(reader->state() == QAbstractSocket::UnconnectedState || reader->atEnd());
    // The server serves on.
    auto next = connectClient("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    QVERIFY(next);
    QByteArray answer;
    QVERIFY(readUntil(*next, answer, "hello"));
}

// A sleeping stream whose client closes is ended at once, not at the next
// write (the keep-alive, 15 s away here): until then it holds a place of its
// address's limit, which a console reloaded a few times would fill.
void tst_WebServer::closedStreamLeavesAtOnce()
{
    m_options.maxPerAddress = 2;
    QVERIFY(m_server->start(m_options, nullptr));
    for (int round = 0; round < 3; ++round) {
        auto stream = connectClient("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
        QVERIFY(stream);
        QByteArray received;
        QVERIFY(readUntil(*stream, received, "retry: 1000"));
        QTRY_COMPARE(m_server->streamCount(), 1);
        stream->disconnectFromHost();
        QTRY_COMPARE(m_server->streamCount(), 0);
    }
    // A client that sends anything after its request ends its stream too.
    auto talker = connectClient("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
    QVERIFY(talker);
    QByteArray received;
    QVERIFY(readUntil(*talker, received, "retry: 1000"));
    QTRY_COMPARE(m_server->streamCount(), 1);
    talker->write("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    QTRY_COMPARE(m_server->streamCount(), 0);
    QSignalSpy gone(talker.get(), &QTcpSocket::disconnected);
    QVERIFY(talker->state() == QAbstractSocket::UnconnectedState || gone.wait(WAIT_MS));
    // Streams still work, and are still written to.
    auto next = connectClient("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
    QVERIFY(next);
    received.clear();
    QVERIFY(readUntil(*next, received, "retry: 1000"));
    QTRY_COMPARE(m_server->streamCount(), 1);
    m_server->broadcast("event: status\ndata: {}\n\n");
    QVERIFY(readUntil(*next, received, "event: status"));
    m_server->broadcast("event: silence\ndata: {}\n\n");
    QVERIFY(readUntil(*next, received, "event: silence"));
    QCOMPARE(m_server->streamCount(), 1);
}

void tst_WebServer::stopEndsStreamsAndPendingAnswers()
{
    QVERIFY(m_server->start(m_options, nullptr));
    auto stream = connectClient("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
    auto waiting = connectClient("GET /later HTTP/1.1\r\nHost: x\r\n\r\n");
    QVERIFY(stream && waiting);
    QByteArray received;
    QVERIFY(readUntil(*stream, received, "retry: 1000"));
    QTRY_VERIFY(m_pending != nullptr);
    // The stream sleeps (nothing to send) and the other waits for its answer:
    // both suspended, which the library would not close by itself.
    m_server->stop();
    QVERIFY(!m_server->running());
    QSignalSpy streamGone(stream.get(), &QTcpSocket::disconnected);
    QVERIFY(stream->state() == QAbstractSocket::UnconnectedState || streamGone.wait(WAIT_MS));
    QSignalSpy waitingGone(waiting.get(), &QTcpSocket::disconnected);
    QVERIFY(waiting->state() == QAbstractSocket::UnconnectedState || waitingGone.wait(WAIT_MS));
    // An answer that comes after the stop goes nowhere.
    m_pending(SHttpResponse::text(200, "late", "text/plain"));
    QCoreApplication::processEvents();
}

void tst_WebServer::silentClientIsCutOff()
{
    m_options.idleTimeoutS = 1;
    QVERIFY(m_server->start(m_options, nullptr));
    auto silent = connectClient("GET / HTTP/1.1\r\nHost:");
    QVERIFY(silent);
    QSignalSpy gone(silent.get(), &QTcpSocket::disconnected);
    QVERIFY(gone.wait(WAIT_MS));
}

void tst_WebServer::perAddressLimitAdmitsTenStreams()
{
    m_options.maxPerAddress = 12;
    QVERIFY(m_server->start(m_options, nullptr));
    std::vector<std::unique_ptr<QTcpSocket>> streams;
    for (int i = 0; i < 10; ++i) {
        streams.push_back(connectClient("GET /events HTTP/1.1\r\nHost: x\r\n\r\n"));
        QVERIFY(streams.back());
        QByteArray received;
        QVERIFY2(readUntil(*streams.back(), received, "retry: 1000"), qPrintable(QString::number(i)));
    }
    QCOMPARE(m_server->streamCount(), 10);
    std::vector<std::unique_ptr<QTcpSocket>> more;
    for (int i = 0; i < 2; ++i)
        more.push_back(connectClient());
    // One beyond the limit is closed at once; the streams stay.
    auto refused = connectClient("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    QVERIFY(refused);
    QSignalSpy gone(refused.get(), &QTcpSocket::disconnected);
    QVERIFY(refused->state() == QAbstractSocket::UnconnectedState || gone.wait(WAIT_MS));
    QVERIFY(refused->readAll().isEmpty());
    QCOMPARE(m_server->streamCount(), 10);
}

// A body handed out in pieces waits a pass while other work (Modbus) does,
// block by block, but once in a row at most: it arrives whole and in order.
void tst_WebServer::longBodyGivesWayButIsNeverStarved()
{
    QVERIFY(m_server->start(m_options, nullptr));
    int asked = 0;
    m_server->setOtherWorkWaiting([&asked] { return ++asked > 0; });
    auto client = connectClient("GET /chunks HTTP/1.0\r\nHost: x\r\n\r\n");
    QVERIFY(client);
    QByteArray received;
    QSignalSpy closed(client.get(), &QTcpSocket::disconnected);
    QVERIFY(closed.wait(WAIT_MS));
    received += client->readAll();
    QVERIFY(received.startsWith("HTTP/1.0 200") || received.startsWith("HTTP/1.1 200"));
    QByteArray expected;
    for (int i = 0; i < 20; ++i)
        expected += QByteArray(20000, char('a' + i));
    QCOMPARE(received.mid(received.indexOf("\r\n\r\n") + 4), expected);
    QVERIFY(asked >= 20);
}

QTEST_GUILESS_MAIN(tst_WebServer)
#include "tst_webserver.moc"
