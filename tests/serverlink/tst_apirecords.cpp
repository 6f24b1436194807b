#include "serverlink/apirecords.h"

#include <QJsonDocument>
#include <QtTest>

class tst_ApiRecords : public QObject
{
    Q_OBJECT

private slots:
    void frameTypes_data();
    void frameTypes();
    void missingDataOrEmptyObject();
    void fieldConversions_data();
    void fieldConversions();
    void fullServerMessage();
    void devicesList_data();
    void devicesList();
    void devicesListReplyStatus();
    void outgoingMessagesAreCompact();
};

static QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

void tst_ApiRecords::frameTypes_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("uplink");

    QTest::newRow("UNCONF_UP") << R"({"type":"UNCONF_UP","devEui":"01","data":"00"})" << true;
    QTest::newRow("CONF_UP") << R"({"type":"CONF_UP","devEui":"01","data":"00"})" << true;
    QTest::newRow("substring") << R"({"type":"X_CONF_UP_Y","devEui":"01","data":"00"})" << true;
    QTest::newRow("CONF_DOWN") << R"({"type":"CONF_DOWN","devEui":"01","data":"00"})" << false;
    QTest::newRow("JOIN_REQ") << R"({"type":"JOIN_REQ","devEui":"01","data":"00"})" << false;
    QTest::newRow("lower case") << R"({"type":"conf_up","devEui":"01","data":"00"})" << false;
    QTest::newRow("type absent") << R"({"devEui":"01","data":"00"})" << false;
    QTest::newRow("type not text") << R"({"type":2,"devEui":"01","data":"00"})" << false;
}

void tst_ApiRecords::frameTypes()
{
    QFETCH(QString, message);
    QFETCH(bool, uplink);
    if (!uplink)
        QTest::ignoreMessage(QtDebugMsg, "[SApiDeviceData] Not UPLINK message");
    const API::SApiDeviceData record(QJsonDocument::fromJson(message.toUtf8()).object());
    QCOMPARE(record.devEui.isEmpty(), !uplink);
    QCOMPARE(record.data.isEmpty(), !uplink);
}

void tst_ApiRecords::missingDataOrEmptyObject()
{
    QTest::ignoreMessage(QtDebugMsg, "[SApiDeviceData] DATA is not exist");
    const API::SApiDeviceData noData(json(R"({"type":"UNCONF_UP","devEui":"0011","fcnt":3})"));
    QVERIFY(noData.devEui.isEmpty());
    QCOMPARE(noData.fcnt, 0u);

    const API::SApiDeviceData empty { QJsonObject() };
    QVERIFY(empty.devEui.isEmpty());

    const API::SApiDeviceData noDevEui(json(R"({"type":"UNCONF_UP","data":"01"})"));
    QVERIFY(noDevEui.devEui.isEmpty());
    QCOMPARE(noDevEui.data, QByteArray::fromHex("01"));
}

void tst_ApiRecords::fieldConversions_data()
{
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("devEui upper-cased") << R"("devEui":"00aabbccddeeff11")"
                                        << "devEui" << QVariant(QStringLiteral("00AABBCCDDEEFF11"));
    QTest::newRow("gatewayId cut at +") << R"("gatewayId":"00aa11bb22cc33dd+ff")"
                                        << "gatewayId" << QVariant(QStringLiteral("00AA11BB22CC33DD"));
    QTest::newRow("gatewayId first +") << R"("gatewayId":"ab+cd+ef")"
                                       << "gatewayId" << QVariant(QStringLiteral("AB"));
    QTest::newRow("gatewayId without +") << R"("gatewayId":"00aa11bb")"
                                         << "gatewayId" << QVariant(QStringLiteral("00AA11BB"));
    QTest::newRow("gatewayId leading +") << R"("gatewayId":"+ff")"
                                         << "gatewayId" << QVariant(QString());
    QTest::newRow("hex mixed case") << R"("data":"0a1B")"
                                    << "data" << QVariant(QByteArray::fromHex("0a1b"));
    QTest::newRow("hex odd length") << R"("data":"abc")"
                                    << "data" << QVariant(QByteArray::fromHex("0abc"));
    QTest::newRow("hex with junk") << R"("data":"0a-1b zz")"
                                   << "data" << QVariant(QByteArray::fromHex("0a1b"));
    QTest::newRow("hex empty") << R"("data":"")"
                               << "data" << QVariant(QByteArray());
    QTest::newRow("ts number") << R"("ts":1765000000123)"
                               << "ts" << QVariant(quint64(1765000000123));
    QTest::newRow("ts text") << R"("ts":"1765000000123")"
                             << "ts" << QVariant(quint64(1765000000123));
    QTest::newRow("ts fraction rounds") << R"("ts":1.6)"
                                        << "ts" << QVariant(quint64(2));
    QTest::newRow("ts garbage text") << R"("ts":"soon")"
                                     << "ts" << QVariant(quint64(0));
    QTest::newRow("fcnt text") << R"("fcnt":"42")"
                               << "fcnt" << QVariant(quint32(42));
    QTest::newRow("fcnt bool") << R"("fcnt":true)"
                               << "fcnt" << QVariant(quint32(0));
    QTest::newRow("fcnt negative") << R"("fcnt":-3)"
                                   << "fcnt" << QVariant(quint32(0));
    QTest::newRow("freq fraction") << R"("freq":868099999.6)"
                                   << "freq" << QVariant(quint32(868100000));
    QTest::newRow("freq text") << R"("freq":"868100000")"
                               << "freq" << QVariant(quint32(868100000));
    QTest::newRow("port number") << R"("port":2)"
                                 << "port" << QVariant(quint16(2));
    QTest::newRow("port text") << R"("port":"2")"
                               << "port" << QVariant(quint16(0));
    QTest::newRow("port low 16 bits") << R"("port":65538)"
                                      << "port" << QVariant(quint16(2));
    QTest::newRow("rssi negative") << R"("rssi":-110)"
                                   << "rssi" << QVariant(qint16(-110));
    QTest::newRow("rssi text") << R"("rssi":"-110")"
                               << "rssi" << QVariant(qint16(0));
    QTest::newRow("dr") << R"("dr":5)"
                        << "dr" << QVariant(qint16(5));
    QTest::newRow("snr") << R"("snr":-7.25)"
                         << "snr" << QVariant(-7.25);
    QTest::newRow("ack true") << R"("ack":true)"
                              << "ack" << QVariant(true);
    QTest::newRow("ack as text") << R"("ack":"true")"
                                 << "ack" << QVariant(false);
}

void tst_ApiRecords::fieldConversions()
{
    QFETCH(QString, fields);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);

    QString text = QStringLiteral(R"({"cmd":"rx","type":"UNCONF_UP",)") + fields + QLatin1Char('}');
    if (!fields.contains(QLatin1String("\"data\"")))
        text.replace(QLatin1String("\"type\""), QLatin1String("\"data\":\"00\",\"type\""));
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    QVERIFY2(document.isObject(), qPrintable(text));
    const API::SApiDeviceData r(document.object());

    const QMap<QString, QVariant> got {
        { QStringLiteral("devEui"), r.devEui }, { QStringLiteral("gatewayId"), r.gatewayId },
        { QStringLiteral("data"), r.data },     { QStringLiteral("ts"), QVariant::fromValue(r.ts) },
        { QStringLiteral("fcnt"), r.fcnt },     { QStringLiteral("freq"), r.freq },
        { QStringLiteral("port"), r.port },     { QStringLiteral("rssi"), r.rssi },
        { QStringLiteral("dr"), r.dr },         { QStringLiteral("snr"), r.snr },
        { QStringLiteral("ack"), r.ack },
    };
    QVERIFY(got.contains(field));
    QCOMPARE(got.value(field), expected);
}

void tst_ApiRecords::fullServerMessage()
{
    // An uplink as a server sends it, with keys the gateway does not read.
    const API::SApiDeviceData r(
        json(R"({"cmd":"rx","type":"CONF_UP+MAC_LINKCHECK_REQ",)"
             R"("devEui":"0011223344550001","appEui":"a1b2c3d400000001","ts":1765000000123,)"
             R"("gatewayId":"00aa11bb22cc33dd+0","ack":true,"fcnt":"17","port":2,)"
             R"("data":"0159082dc40b","freq":868300000,"dr":5,"rssi":-87,"snr":7.5,)"
             R"("macCommands":[{"command":"LinkCheckReq"}]})"));
    QCOMPARE(r.devEui, QStringLiteral("0011223344550001"));
    QCOMPARE(r.ts, quint64(1765000000123));
    QCOMPARE(r.gatewayId, QStringLiteral("00AA11BB22CC33DD"));
    QCOMPARE(r.ack, true);
    QCOMPARE(r.fcnt, 17u);
    QCOMPARE(r.port, quint16(2));
    // type 1, temperature 0x0859 = 21.37 °C, humidity 45 %, battery 0x0bc4 = 3012 mV
    QCOMPARE(r.data, QByteArray::fromHex("0159082dc40b"));
    QCOMPARE(r.freq, 868300000u);
    QCOMPARE(r.dr, qint16(5));
    QCOMPARE(r.rssi, qint16(-87));
    QCOMPARE(r.snr, 7.5);
}

void tst_ApiRecords::devicesList_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QStringList>("expected"); // devEui/appEui/devName

    QTest::newRow("good entry") << R"([{"devEui":"0011223344550001","devName":"Boiler room",)"
                                   R"("OTAA":{"appEui":"A1B2C3D400000001","appKey":"00"}}])"
                                << QStringList { "0011223344550001/A1B2C3D400000001/Boiler room" };
    QTest::newRow("lower-case EUIs") << R"([{"devEui":"00112233445500aa","devName":"x",)"
                                        R"("OTAA":{"appEui":"a1b2c3d4000000aa"}}])"
                                     << QStringList { "00112233445500AA/A1B2C3D4000000AA/x" };
    QTest::newRow("skipped entries, order kept")
        << R"([)"
           R"({"devName":"no devEui","OTAA":{"appEui":"A1"}},)"
           R"({"devEui":"01","OTAA":{"appEui":"A1"}},)"
           R"({"devEui":"02","devName":"ABP","ABP":{"devAddress":"26011BDA"}},)"
           R"({"devEui":"03","devName":"no appEui","OTAA":{}},)"
           R"({"devEui":"04","devName":"empty appEui","OTAA":{"appEui":""}},)"
           R"({"devEui":"05","devName":"numeric appEui","OTAA":{"appEui":12}},)"
           R"({"devEui":"06","devName":"OTAA not object","OTAA":"A1"},)"
           R"({"devEui":"","devName":"empty devEui","OTAA":{"appEui":"A1"}},)"
           R"("not an object", 7, null,)"
           R"({"devEui":"09","devName":"second","OTAA":{"appEui":"A2"}},)"
           R"({"devEui":"08","devName":"first","OTAA":{"appEui":"A1"}}])"
        << QStringList { "09/A2/second", "08/A1/first" };
    QTest::newRow("empty") << "[]" << QStringList();
}

void tst_ApiRecords::devicesList()
{
    QFETCH(QString, list);
    QFETCH(QStringList, expected);
    const QJsonDocument document = QJsonDocument::fromJson(list.toUtf8());
    QVERIFY(document.isArray());
    QStringList got;
    const QList<API::SServerDeviceInfo> infos = API::parseDevicesList(document.array());
    for (const API::SServerDeviceInfo &info : infos)
        got << info.devEui + QLatin1Char('/') + info.appEui + QLatin1Char('/') + info.devName;
    QCOMPARE(got, expected);
}

void tst_ApiRecords::devicesListReplyStatus()
{
    const QJsonObject noStatus
        = json(R"({"cmd":"get_devices_resp",)"
               R"("devices_list":[{"devEui":"01","devName":"a","OTAA":{"appEui":"A1"}}]})");
    const QJsonObject statusAsText = json(R"({"cmd":"get_devices_resp","status":"true"})");
    const QJsonObject noList = json(R"({"cmd":"get_devices_resp","status":true})");
    const QJsonObject good
        = json(R"({"cmd":"get_devices_resp","status":true,)"
               R"("devices_list":[{"devEui":"01","devName":"a","OTAA":{"appEui":"A1"}}]})");

    QList<API::SServerDeviceInfo> list { API::SServerDeviceInfo { "stale", "stale", "stale" } };
    QVERIFY(!API::parseDevicesListReply(noStatus, &list));
    QVERIFY(list.isEmpty());
    QVERIFY(!API::parseDevicesListReply(statusAsText, &list));
    QVERIFY(API::parseDevicesListReply(noList, &list));
    QVERIFY(list.isEmpty());
    QVERIFY(API::parseDevicesListReply(good, &list));
    QCOMPARE(list.size(), 1);
}

void tst_ApiRecords::outgoingMessagesAreCompact()
{
    QCOMPARE(API::buildProbeMessage(), QByteArray(R"({"cmd":"cmd"})"));
    QCOMPARE(API::buildAuthRequest(QStringLiteral("demo"), QStringLiteral("p \"ä\"")),
             QByteArray("{\"cmd\":\"auth_req\",\"login\":\"demo\",\"password\":\"p \\\"ä\\\"\"}"));
    QCOMPARE(
        API::buildDevicesListRequest(
            { QStringLiteral("A1B2C3D400000002"), QStringLiteral("A1B2C3D400000001") }),
        QByteArray(
            R"({"cmd":"get_devices_req","select":{"appEui_list":["A1B2C3D400000002","A1B2C3D400000001"]}})"));
}

QTEST_APPLESS_MAIN(tst_ApiRecords)
#include "tst_apirecords.moc"
