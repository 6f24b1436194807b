#include "app/constants.h"
#include "app/globaldata.h"
#include "serverlink/apirecords.h"
#include "serverlink/serverstatus.h"
#include "tests/testkit/testkit.h"

#include <QSignalSpy>
#include <QtTest>

// Sender with the three signal signatures that cross queued connections.
class Emitter : public QObject
{
    Q_OBJECT
signals:
    void status(COMM::EServerStatus _status);
    void devices(bool status, QList<API::SServerDeviceInfo> _regInfoList);
    void packet(API::SApiDeviceData _devData);
};

class Receiver : public QObject
{
    Q_OBJECT
public:
    COMM::EServerStatus lastStatus = COMM::DISCONNECTED;
    QList<API::SServerDeviceInfo> lastList;
    API::SApiDeviceData lastPacket;
    int calls = 0;
public slots:
    void onStatus(COMM::EServerStatus s)
    {
        lastStatus = s;
        ++calls;
    }
    void onDevices(bool, QList<API::SServerDeviceInfo> l)
    {
        lastList = l;
        ++calls;
    }
    void onPacket(API::SApiDeviceData d)
    {
        lastPacket = d;
        ++calls;
    }
};

class tst_GlobalData : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void columnLists();
    void frameTypes();
    void serverDataCatalogue();
    void registeredTypeNames();
    void queuedConnectionsDeliverValues();
};

void tst_GlobalData::initTestCase()
{
    initGlobalData();
    API::registerMetaTypes();
}

void tst_GlobalData::columnLists()
{
    QCOMPARE(QSL_GLOB_DEVICES_FIELDS.size(), 6);
    QCOMPARE(QSL_GLOB_DEVICES_FIELDS.first(), QStringLiteral("device"));
    QCOMPARE(QSL_GLOB_DEVICES_FIELDS.last(), QStringLiteral("start_addr"));
    QCOMPARE(QSL_GLOB_DEV_DATA_FIELDS.size(), 14);
    QCOMPARE(QSL_GLOB_DEV_DATA_FIELDS.at(7), QStringLiteral("value"));
    QCOMPARE(QSL_GLOB_DEV_DATA_FIELDS.at(13), QStringLiteral("source"));
}

void tst_GlobalData::frameTypes()
{
    QCOMPARE(QSL_GLOB_FRAME_TYPES.size(), 25);
    QCOMPARE(QSL_GLOB_FRAME_TYPES.at(0), QStringLiteral("UNCONF_UP"));
    QCOMPARE(QSL_GLOB_FRAME_TYPES.at(2), QStringLiteral("CONF_UP"));
    QCOMPARE(QSL_GLOB_FRAME_TYPES.at(24), QStringLiteral("MAC_PROPRIETARY"));
}

void tst_GlobalData::serverDataCatalogue()
{
    QCOMPARE(QM_GLOB_SERVER_DATA.keys(), QStringList({ "devEui", "fcnt", "gatewayId", "rssi", "snr", "ts" }));
    QCOMPARE(QM_GLOB_SERVER_DATA.value(QS_SRV_TS), SServerDataKind(64, QS_TYPE_UINTEGER));
    QCOMPARE(QM_GLOB_SERVER_DATA.value(QS_SRV_FCNT), SServerDataKind(32, QS_TYPE_UINTEGER));
    QCOMPARE(QM_GLOB_SERVER_DATA.value(QS_SRV_RSSI), SServerDataKind(16, QS_TYPE_INTEGER));
    QCOMPARE(QM_GLOB_SERVER_DATA.value(QS_SRV_GATEWAY_ID), SServerDataKind(64, QS_TYPE_TEXT));
}

void tst_GlobalData::registeredTypeNames()
{
    QVERIFY(QMetaType::type("COMM::EServerStatus") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("QList<API::SServerDeviceInfo>") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("API::SApiDeviceData") != QMetaType::UnknownType);
}

void tst_GlobalData::queuedConnectionsDeliverValues()
{
    Emitter emitter;
    Receiver receiver;
    connect(&emitter, &Emitter::status, &receiver, &Receiver::onStatus, Qt::QueuedConnection);
    connect(&emitter, &Emitter::devices, &receiver, &Receiver::onDevices, Qt::QueuedConnection);
    connect(&emitter, &Emitter::packet, &receiver, &Receiver::onPacket, Qt::QueuedConnection);

    API::SApiDeviceData packet;
    packet.devEui = QStringLiteral("0011223344556677");
    packet.data = QByteArray::fromHex("01f6ff");
    packet.rssi = -74;
    emit emitter.status(COMM::AUTH_WAITING);
    emit emitter.devices(true, { { QStringLiteral("AA"), QStringLiteral("BB"), QStringLiteral("name") } });
    emit emitter.packet(packet);
    QCOMPARE(receiver.calls, 0); // queued: nothing before the loop runs
    QTRY_COMPARE(receiver.calls, 3);
    QCOMPARE(receiver.lastStatus, COMM::AUTH_WAITING);
    QCOMPARE(receiver.lastList.size(), 1);
    QCOMPARE(receiver.lastList.first().devName, QStringLiteral("name"));
    QCOMPARE(receiver.lastPacket.devEui, packet.devEui);
    QCOMPARE(receiver.lastPacket.data, packet.data);
    QCOMPARE(receiver.lastPacket.rssi, qint16(-74));
}

QTEST_MAIN(tst_GlobalData)
#include "tst_globaldata.moc"
