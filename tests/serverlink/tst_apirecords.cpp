#include "serverlink/apirecords.h"

#include <QJsonDocument>
#include <QtTest>

namespace {

QJsonObject json(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

const char *const NOT_UPLINK = "[SApiDeviceData] Not UPLINK message";
const char *const NO_DATA = "[SApiDeviceData] DATA is not exist";

template<typename... T> void row(const char *name, T... values)
{
    (QTest::newRow(name) << ... << values);
}

} // namespace

class tst_ApiRecords : public QObject
{
    Q_OBJECT

private slots:
    void uplinkRecord_data()
    {
        QTest::addColumn<QString>("fields"); // over "type":"UNCONF_UP","data":"00"; null removes a key
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("debug");
        row("CONF_UP", R"("type":"CONF_UP","devEui":"01","fcnt":3)", "devEui=01 fcnt=3", "");
        row("CONF_DOWN", R"("type":"CONF_DOWN","devEui":"01","fcnt":3)", "devEui= fcnt=0", NOT_UPLINK);
        row("lower case", R"("type":"conf_up","devEui":"01","fcnt":3)", "devEui= fcnt=0", NOT_UPLINK);
        row("type absent", R"("type":null,"devEui":"01","fcnt":3)", "devEui= fcnt=0", NOT_UPLINK);
        row("data absent", R"("data":null,"devEui":"01","fcnt":3)", "devEui= fcnt=0", NO_DATA);
        row("devEui upper-cased", R"("devEui":"00aabbccddeeff11")", "devEui=00AABBCCDDEEFF11", "");
        row("gatewayId first +", R"("gatewayId":"ab+cd+ef")", "gatewayId=AB", "");
        row("gatewayId without +", R"("gatewayId":"00aa11bb")", "gatewayId=00AA11BB", "");
        row("gatewayId leading +", R"("gatewayId":"+ff")", "gatewayId=", "");
        row("hex mixed case", R"("data":"0a1B")", "data=0a1b", "");
        row("hex odd length", R"("data":"abc")", "data=0abc", "");
        row("hex with junk", R"("data":"0a-1b zz")", "data=0a1b", "");
        row("ts text", R"("ts":"1765000000123")", "ts=1765000000123", "");
        row("ts garbage text", R"("ts":"soon")", "ts=0", "");
        row("fcnt bool", R"("fcnt":true)", "fcnt=0", "");
        row("fcnt negative", R"("fcnt":-3)", "fcnt=0", "");
        row("freq text", R"("freq":"868100000")", "freq=868100000", "");
        row("freq fraction", R"("freq":868099999.6)", "freq=868100000", "");
        row("port text", R"("port":"2")", "port=0", "");
        row("port low 16 bits", R"("port":65538)", "port=2", "");
        row("rssi text", R"("rssi":"-110")", "rssi=0", "");
        row("ack as text", R"("ack":"true")", "ack=false", "");
        row("data not text", R"("data":7)", "data=", "");
        // Out-of-range numbers must not reach an integer conversion unchecked.
        row("out of range", R"("port":1e300,"rssi":-1e300,"dr":1e300,"fcnt":1e300,"ts":-1)",
            "port=0 rssi=0 dr=0 fcnt=0 ts=0", "");
        // As a server sends it, with keys the gateway does not read.
        row("full message",
            R"("type":"CONF_UP+MAC_LINKCHECK_REQ","devEui":"0011223344550001","appEui":"a1b2c3d400000001",)"
            R"("ts":1765000000123,"gatewayId":"00aa11bb22cc33dd+ff","ack":true,"fcnt":"17","port":2,)"
            R"("data":"0159082dc40b","freq":868300000,"dr":5,"rssi":-110,"snr":-7.25,)"
            R"("macCommands":[{"command":"LinkCheckReq"}])",
            "devEui=0011223344550001 ts=1765000000123 gatewayId=00AA11BB22CC33DD ack=true fcnt=17 port=2 "
            "data=0159082dc40b freq=868300000 dr=5 rssi=-110 snr=-7.25",
            "");
    }
    void uplinkRecord()
    {
        QFETCH(QString, fields);
        QFETCH(QString, expected);
        QFETCH(QString, debug);
        QJsonObject object = json(R"({"type":"UNCONF_UP","data":"00",)" + fields + '}');
        QVERIFY2(!object.isEmpty(), qPrintable(fields));
        for (const QString &key : object.keys()) {
            if (object.value(key).isNull())
                object.remove(key);
        }
        if (!debug.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, qPrintable(debug));
        const API::SApiDeviceData r(object);
        const QVariantMap got { { "devEui", r.devEui },     { "ts", r.ts },     { "gatewayId", r.gatewayId },
                                { "ack", r.ack },           { "fcnt", r.fcnt }, { "port", r.port },
                                { "data", r.data.toHex() }, { "freq", r.freq }, { "dr", r.dr },
                                { "rssi", r.rssi },         { "snr", r.snr } };
        for (const QString &pair : expected.split(' ')) {
            const QString key = pair.section('=', 0, 0);
            QCOMPARE(key + '=' + got.value(key).toString(), pair);
        }
    }

    void devicesListSkipsUnusableEntriesAndUpperCasesEuis()
    {
        const char *list
            = R"([{"devName":"no devEui","OTAA":{"appEui":"A1"}}, {"devEui":"01","OTAA":{"appEui":"A1"}},)"
              R"({"devEui":"02","devName":"ABP","ABP":{"devAddress":"26011BDA"}},)"
              R"({"devEui":"03","devName":"","OTAA":{}}, {"devEui":"04","devName":"","OTAA":{"appEui":""}},)"
              R"({"devEui":"05","devName":"","OTAA":{"appEui":12}},)"
              R"({"devEui":"06","devName":"","OTAA":"A1"},)"
              R"({"devEui":"","devName":"","OTAA":{"appEui":"A1"}}, "not an object", 7, null,)"
              R"({"devEui":"00112233445500aa","devName":"second","OTAA":{"appEui":"a1b2c3d4000000aa"}},)"
              R"({"devEui":"08","devName":"first","OTAA":{"appEui":"A1"}}])";
        QStringList got;
        const QList<API::SServerDeviceInfo> infos
            = API::parseDevicesList(QJsonDocument::fromJson(list).array());
        for (const API::SServerDeviceInfo &info : infos)
            got << info.devEui + '/' + info.appEui + '/' + info.devName;
        QCOMPARE(got, QStringList({ "00112233445500AA/A1B2C3D4000000AA/second", "08/A1/first" }));
    }

    void devicesListReply_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<bool>("status");
        QTest::addColumn<int>("count");
        const QString list = R"("devices_list":[{"devEui":"01","devName":"a","OTAA":{"appEui":"A1"}}]})";
        QTest::newRow("good") << QString(R"({"status":true,)" + list) << true << 1;
        QTest::newRow("no status") << QString('{' + list) << false << 0;
        QTest::newRow("status as text") << QString(R"({"status":"true",)" + list) << false << 0;
        row("list not an array", R"({"status":true,"devices_list":"all"})", true, 0);
    }
    void devicesListReply()
    {
        QFETCH(QString, reply);
        QFETCH(bool, status);
        QFETCH(int, count);
        QList<API::SServerDeviceInfo> list { API::SServerDeviceInfo { "stale", "stale", "stale" } };
        QCOMPARE(API::parseDevicesListReply(json(reply), &list), status);
        QCOMPARE(list.size(), count);
    }

    void outgoingMessagesAreCompact()
    {
        QCOMPARE(API::buildProbeMessage(), QByteArray(R"({"cmd":"cmd"})"));
        QCOMPARE(API::buildAuthRequest("demo", "p \"ä\""),
                 QByteArray("{\"cmd\":\"auth_req\",\"login\":\"demo\",\"password\":\"p \\\"ä\\\"\"}"));
        QCOMPARE(API::buildDevicesListRequest({ "A1B2C3D400000002", "A1B2C3D400000001" }),
                 QByteArray(R"({"cmd":"get_devices_req","select":)"
                            R"({"appEui_list":["A1B2C3D400000002","A1B2C3D400000001"]}})"));
    }
};

QTEST_APPLESS_MAIN(tst_ApiRecords)
#include "tst_apirecords.moc"
