#include "app/globaldata.h"
#include "app/logfile.h"
#include "storage/databasehandler.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

int g_connections = 0;

QString nextConnectionName()
{
    return QStringLiteral("test%1").arg(++g_connections);
}

// The statements the store's tables were first created with, kept verbatim so
// that files made by earlier versions (no index, default journal) stay covered.
const char *const kOriginalDevices = "CREATE TABLE IF NOT EXISTS devices ( device INTEGER PRIMARY KEY "
                                     "AUTOINCREMENT NOT NULL UNIQUE, name TEXT, "
                                     "app_eui TEXT, dev_eui TEXT, port INTEGER, start_addr INTEGER ); ";
const char *const kOriginalDevData = "CREATE TABLE IF NOT EXISTS dev_data ( device INTEGER NOT NULL, port "
                                     "INTEGER, reg_addr INTEGER, start_value "
                                     "INTEGER, grating_period INTEGER, bit_size INTEGER, data_type TEXT, "
                                     "value TEXT DEFAULT NULL, full_value TEXT "
                                     "DEFAULT NULL, time INTEGER DEFAULT NULL, name TEXT DEFAULT NULL, unit "
                                     "TEXT DEFAULT NULL, parent INTEGER, "
                                     "source INTEGER ); ";

const QString kSaveStatement = QStringLiteral("UPDATE dev_data SET value=:value, full_value=:full_value, "
                                              "time=:time WHERE device=:device AND reg_addr=:reg_addr;");

// A second, independent connection to the same file for looking behind the
// store's back (and for sabotaging it with triggers).
class Inspector
{
public:
    explicit Inspector(const QString &file)
        : m_name(nextConnectionName())
    {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        m_db.setDatabaseName(file);
        m_db.open();
    }
    ~Inspector()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }

    bool exec(const QString &sql)
    {
        QSqlQuery query(m_db);
        const bool ok = query.exec(sql);
        if (!ok)
            qWarning() << sql << query.lastError().text();
        return ok;
    }

    // Each row as its values joined by '|', NULL spelled out.
    QStringList rows(const QString &sql)
    {
        QStringList result;
        QSqlQuery query(m_db);
        if (!query.exec(sql)) {
            qWarning() << sql << query.lastError().text();
            return result;
        }
        while (query.next()) {
            QStringList row;
            for (int i = 0; i < query.record().count(); ++i)
                row.append(query.isNull(i) ? QStringLiteral("NULL") : query.value(i).toString());
            result.append(row.join(QLatin1Char('|')));
        }
        return result;
    }

    QString scalar(const QString &sql) { return rows(sql).value(0); }

    // Column names and declared types, in order.
    QStringList layout(const QString &table)
    {
        QStringList result;
        for (const QString &row : rows(QStringLiteral("PRAGMA table_info(%1);").arg(table))) {
            const QStringList cells = row.split(QLatin1Char('|'));
            result.append(cells.value(1) + QLatin1Char(' ') + cells.value(2));
        }
        return result;
    }

private:
    QString m_name;
    QSqlDatabase m_db;
};

SRegisterDescription field(const QString &name, uint32_t offset, uint32_t bitSize,
                           const QString &unit = QString(), int32_t startValue = 0,
                           uint32_t gratingPeriod = 1, uint32_t source = 1)
{
    SRegisterDescription reg;
    reg.name = name;
    reg.source = source;
    reg.offset = offset;
    reg.bitSize = bitSize;
    reg.dataType = QStringLiteral("uinteger");
    reg.startValue = startValue;
    reg.gratingPeriod = gratingPeriod;
    reg.unit = unit;
    return reg;
}

DB::SDeviceRegMapDescription device(const QString &devEui, const QString &name, int32_t startAddr,
                                    const QList<SRegisterDescription> &regs)
{
    DB::SDeviceRegMapDescription description;
    description.devEui = devEui;
    description.appEui = QStringLiteral("A1B2C3D400000001");
    description.devName = name;
    description.startAddr = startAddr;
    description.regList = regs;
    return description;
}

QList<SRegisterDescription> sixteenBit(int count)
{
    QList<SRegisterDescription> regs;
    for (int i = 0; i < count; ++i)
        regs.append(field(QStringLiteral("R%1").arg(i), uint32_t(i), 16));
    return regs;
}

SDeviceRegisterData batch(const QString &devEui, int32_t startAddr, const QList<QPair<int, QString>> &values)
{
    SDeviceRegisterData data;
    data.devEui = devEui;
    data.startAddr = startAddr;
    for (const auto &v : values)
        data.registers.append({ v.second, v.second + QStringLiteral("-full"), v.first });
    return data;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QStringList namesOf(QSqlQuery query)
{
    QStringList names;
    while (query.next())
        names.append(query.value(1).toString());
    return names;
}

} // namespace

class tst_DataBaseHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void freshStartCreatesTablesAndReopens();
    void originalSchemaFileWorks();
    void startupFailures();

    void registrationRows();
    void duplicateOffsetsSkipped();
    void duplicateDeviceRejected();
    void emptyRegisterListRegistersDevice();
    void failedRegistrationLeavesNothing_data();
    void failedRegistrationLeavesNothing();

    void textsStoredAndFoundAsTyped();
    void searchMatchesLiterally_data();
    void searchMatchesLiterally();

    void saveRegisterDataWrites();
    void saveRegisterDataRejects_data();
    void saveRegisterDataRejects();
    void saveRegisterDataContinuesAfterFailedUpdate();
    void saveRegisterDataIsOneTransaction();

    void registerDataZeroFillsAndSharesPorts();
    void registerDataHugeCount();
    void registerParamAndUpdate();
    void updateRegInfoStopsAtFirstFailure();
    void writesWhileCallerHoldsAQuery();
    void registersListFirstRowsOnly();
    void registeredDevicesUpperCased();
    void deleteDeviceRemovesBoth();

    void killedWriterLeavesSoundFile();

private:
    std::unique_ptr<CDataBaseHandler> openStore(const QString &file = QStringLiteral("server.db"));
    QStringList newLogLines();

    QTemporaryDir m_logDir;
    std::unique_ptr<QTemporaryDir> m_dir;
    qint64 m_logOffset = 0;
};

void tst_DataBaseHandler::initTestCase()
{
    QVERIFY(m_logDir.isValid());
    QVERIFY(QDir::setCurrent(m_logDir.path()));
    initGlobalData();
    CLogFile::getInstance(QStringLiteral("history.log"));
}

void tst_DataBaseHandler::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_dir->path()));
    newLogLines();
}

void tst_DataBaseHandler::cleanup()
{
    QDir::setCurrent(m_logDir.path());
    m_dir.reset();
}

std::unique_ptr<CDataBaseHandler> tst_DataBaseHandler::openStore(const QString &file)
{
    return std::make_unique<CDataBaseHandler>(file, nextConnectionName());
}

QStringList tst_DataBaseHandler::newLogLines()
{
    QFile file(m_logDir.filePath(QStringLiteral("history.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    file.seek(m_logOffset);
    const QByteArray text = file.readAll();
    m_logOffset += text.size();
    static const QRegularExpression stamp(QStringLiteral("^\\[[^\\]]*\\]"));
    QStringList lines;
    for (QString line : QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lines.append(line.remove(stamp));
    return lines;
}

void tst_DataBaseHandler::freshStartCreatesTablesAndReopens()
{
    {
        auto store = openStore();
        QVERIFY(!store->failed());
        QVERIFY(store->registerNewDevice(device("00AA", "Boiler", 0, sixteenBit(2)), 502));
    }
    Inspector inspect(QStringLiteral("server.db"));
    const QStringList devicesLayout { "device INTEGER", "name TEXT",    "app_eui TEXT",
                                      "dev_eui TEXT",   "port INTEGER", "start_addr INTEGER" };
    const QStringList devDataLayout {
        "device INTEGER",         "port INTEGER",     "reg_addr INTEGER", "start_value INTEGER",
        "grating_period INTEGER", "bit_size INTEGER", "data_type TEXT",   "value TEXT",
        "full_value TEXT",        "time INTEGER",     "name TEXT",        "unit TEXT",
        "parent INTEGER",         "source INTEGER"
    };
    QCOMPARE(inspect.layout("devices"), devicesLayout);
    QCOMPARE(inspect.layout("dev_data"), devDataLayout);

    auto again = openStore();
    QVERIFY(!again->failed());
    QCOMPARE(again->getRegisteredDevices(), QStringList { "00AA" });
    QCOMPARE(inspect.scalar("SELECT COUNT(*) FROM dev_data;").toInt(), 2);
    QCOMPARE(inspect.layout("devices"), devicesLayout);
    QCOMPARE(inspect.layout("dev_data"), devDataLayout);
}

void tst_DataBaseHandler::originalSchemaFileWorks()
{
    {
        Inspector maker(QStringLiteral("server.db"));
        QVERIFY(maker.exec(kOriginalDevices));
        QVERIFY(maker.exec(kOriginalDevData));
        // A device as the earlier version wrote it.
        QVERIFY(maker.exec("INSERT INTO devices (name, app_eui, dev_eui, port, start_addr) VALUES "
                           "('Old', 'A1B2C3D400000001', '00bb', 502, 10);"));
        QVERIFY(
            maker.exec("INSERT INTO dev_data (device, port, reg_addr, start_value, grating_period, bit_size, "
                       "data_type, name, parent, source, unit) VALUES (1, 502, 10, 0, 1, 16, \"uinteger\", "
                       "\"T\", 1, 1, \"C\"), (1, 502, 11, 0, 1, 16, \"uinteger\", \"H\", 1, 1, \"\");"));
    }
    auto store = openStore();
    QVERIFY(!store->failed());
    QCOMPARE(store->getRegisteredDevices(), QStringList { "00BB" });
    QVERIFY(store->saveRegisterData(batch("00bb", 10, { { 0, "0102" }, { 1, "ffff" } })));
    const QMap<uint16_t, uint16_t> expected { { 10, 0x0102 }, { 11, 0xffff } };
    QCOMPARE(store->getRegisterData(502, 10, 2), expected);
    QCOMPARE(store->getRegisterParam("00bb", 10).unit, QStringLiteral("C"));
    QVERIFY(store->registerNewDevice(device("00CC", "New", 20, sixteenBit(3)), 502));
    QCOMPARE(store->getRegisterData(502, 10, 13).size(), 13);
    QVERIFY(store->deleteDevice(1));
    QCOMPARE(store->getRegisteredDevices(), QStringList { "00CC" });
    QCOMPARE(newLogLines(), QStringList());
}

void tst_DataBaseHandler::startupFailures()
{
    // Column lists of the wrong size stop the store before it touches tables.
    const QStringList saved = QSL_GLOB_DEV_DATA_FIELDS;
    QSL_GLOB_DEV_DATA_FIELDS.removeLast();
    auto broken = openStore();
    QVERIFY(broken->failed());
    QCOMPARE(CDataBaseHandler::getInstance(), nullptr);
    QSL_GLOB_DEV_DATA_FIELDS = saved;
    QCOMPARE(newLogLines(),
             QStringList(
                 { "ERROR! Invalid size of colums in table \"dev_data\"! DataBaseHandler is not running!",
                   "ERROR! Invalid size of colums in table \"dev_data\"! DataBaseHandler is not running!" }));

    // After a failed start the accessor tries again.
    CDataBaseHandler *instance = CDataBaseHandler::getInstance();
    QVERIFY(instance);
    QCOMPARE(CDataBaseHandler::getInstance(), instance);
    QVERIFY(QFile::exists(QStringLiteral("server.db")));
    QVERIFY(instance->registerNewDevice(device("00DD", "Singleton", 0, sixteenBit(1)), 502));

    auto unopenable = openStore(QStringLiteral("no/such/dir/server.db"));
    QVERIFY(unopenable->failed());
    const QStringList lines = newLogLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith("CRITICAL_ERROR! Data base hasn't been created/opened! Error_text[")
                 && lines.first().endsWith("]. DataBaseHandler is not running!"),
             qPrintable(lines.first()));
}

void tst_DataBaseHandler::registrationRows()
{
    auto store = openStore();
    const QList<SRegisterDescription> regs { field("Temp", 0, 16, "C", -5, 10, 1),
                                             field("Count", 4, 32, "l", 7, 3, 1),
                                             field("Gw", 8, 64, "", 0, 1, 0), field("Byte", 20, 8, "%"),
                                             field("Odd", 30, 17, "x") };
    QVERIFY(store->registerNewDevice(device("00AA", "Meter", 100, regs), 5020));

    Inspector inspect(QStringLiteral("server.db"));
    QCOMPARE(inspect.rows("SELECT device, name, app_eui, dev_eui, port, start_addr FROM devices;"),
             QStringList { "1|Meter|A1B2C3D400000001|00AA|5020|100" });
    const QStringList expected {
        // reg_addr|start_value|grating_period|bit_size|data_type|name|unit|parent|source|value
        "100|-5|10|16|uinteger|Temp|C|1|1|NULL",  "104|7|3|32|uinteger|Count|l|1|1|NULL",
        "105|0|1|32|uinteger|NULL|NULL|0|0|NULL", "108|0|1|64|uinteger|Gw||1|0|NULL",
        "109|0|1|64|uinteger|NULL|NULL|0|0|NULL", "110|0|1|64|uinteger|NULL|NULL|0|0|NULL",
        "111|0|1|64|uinteger|NULL|NULL|0|0|NULL", "120|0|1|8|uinteger|Byte|%|1|1|NULL",
        "130|0|1|17|uinteger|Odd|x|1|1|NULL",     "131|0|1|17|uinteger|NULL|NULL|0|0|NULL"
    };
    QCOMPARE(
        inspect.rows("SELECT reg_addr, start_value, grating_period, bit_size, data_type, name, unit, parent, "
                     "source, value FROM dev_data WHERE device=1 AND port=5020 ORDER BY reg_addr;"),
        expected);
    QCOMPARE(newLogLines(), QStringList());
}

void tst_DataBaseHandler::duplicateOffsetsSkipped()
{
    auto store = openStore();
    // The 32-bit field's continuation row (105) does not block a later field
    // there; only first registers count as used.
    const QList<SRegisterDescription> regs { field("A", 4, 32), field("B", 4, 16), field("C", 5, 16),
                                             field("D", 0x10000 - 100, 16), field("E", 0x10000 - 100, 16) };
    QVERIFY(store->registerNewDevice(device("00aa", "Meter", 100, regs), 502));
    QCOMPARE(
        newLogLines(),
        QStringList(
            { "WARNING: [CDataBaseHandler::registerNewDevice] Register [0x0068] for device [00aa] already "
              "exist!",
              "WARNING: [CDataBaseHandler::registerNewDevice] Register [0x10000] for device [00aa] "
              "already exist!" }));
    Inspector inspect(QStringLiteral("server.db"));
    QCOMPARE(inspect.rows("SELECT reg_addr, name FROM dev_data ORDER BY reg_addr, parent DESC;"),
             QStringList({ "104|A", "105|C", "105|NULL", "65536|D" }));
}

void tst_DataBaseHandler::duplicateDeviceRejected()
{
    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("00AA", "First", 0, sixteenBit(2)), 502));
    QVERIFY(!store->registerNewDevice(device("00AA", "Second", 10, sixteenBit(3)), 503));
    QCOMPARE(newLogLines(),
             QStringList { "ERROR: [CDataBaseHandler::registerNewDevice] Device [00AA] already exist!" });
    Inspector inspect(QStringLiteral("server.db"));
    QCOMPARE(inspect.scalar("SELECT COUNT(*) FROM devices;").toInt(), 1);
    QCOMPARE(inspect.scalar("SELECT COUNT(*) FROM dev_data;").toInt(), 2);
}

void tst_DataBaseHandler::emptyRegisterListRegistersDevice()
{
    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("00AA", "Bare", 0, {}), 502));
    QCOMPARE(store->getRegisteredDevices(), QStringList { "00AA" });
    QCOMPARE(store->getRegisterData(502, 0, 2), (QMap<uint16_t, uint16_t> { { 0, 0 }, { 1, 0 } }));
    QCOMPARE(newLogLines(), QStringList());
}

void tst_DataBaseHandler::failedRegistrationLeavesNothing_data()
{
    QTest::addColumn<QString>("sabotage");
    QTest::addColumn<QString>("repair");
    QTest::addColumn<QStringList>("messages");

    const QString insertRegister = QStringLiteral(
        "INSERT INTO dev_data (device, port, reg_addr, start_value, grating_period, bit_size, data_type, "
        "name, "
        "parent, source, unit) VALUES (:device, :port, :reg_addr, :start_value, :grating_period, :bit_size, "
        ":data_type, :name, :parent, :source, :unit);");
    // A continuation row (address 105) is refused after the device row and
    // the first register row were written.
    QTest::newRow("register row refused")
        << "CREATE TRIGGER refuse BEFORE INSERT ON dev_data WHEN NEW.reg_addr = 105 BEGIN SELECT "
           "RAISE(ABORT, "
           "'refused'); END;"
        << "DROP TRIGGER refuse;"
        << QStringList { "[CDataBaseHandler::registerNewDevice] Invalid SQL request [4]", insertRegister };
    QTest::newRow("register table gone")
        << "DROP TABLE dev_data;" << QString::fromLatin1(kOriginalDevData)
        << QStringList { "[CDataBaseHandler::registerNewDevice] Invalid SQL request [4]", insertRegister };
    QTest::newRow("device row refused")
        << "CREATE TRIGGER refuse BEFORE INSERT ON devices BEGIN SELECT RAISE(ABORT, 'refused'); END;"
        << "DROP TRIGGER refuse;"
        << QStringList { "[CDataBaseHandler::registerNewDevice] Invalid SQL request [2]" };
}

void tst_DataBaseHandler::failedRegistrationLeavesNothing()
{
    QFETCH(QString, sabotage);
    QFETCH(QString, repair);
    QFETCH(QStringList, messages);

    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("0001", "Kept", 0, sixteenBit(1)), 502));
    Inspector inspect(QStringLiteral("server.db"));
    const QStringList before = inspect.rows("SELECT * FROM devices;");
    QVERIFY(inspect.exec(sabotage));

    const DB::SDeviceRegMapDescription meter
        = device("00AA", "Meter", 100, { field("A", 0, 16), field("B", 4, 32), field("C", 8, 16) });
    QVERIFY(!store->registerNewDevice(meter, 502));
    QCOMPARE(newLogLines(), messages);
    QCOMPARE(inspect.rows("SELECT * FROM devices;"), before);

    // Nothing was left behind, so the operator simply tries again.
    QVERIFY(inspect.exec(repair));
    QCOMPARE(inspect.scalar("SELECT COUNT(*) FROM dev_data WHERE device <> 1;").toInt(), 0);
    QVERIFY(store->registerNewDevice(meter, 502));
    QCOMPARE(sorted(store->getRegisteredDevices()), QStringList({ "0001", "00AA" }));
    QCOMPARE(inspect.scalar("SELECT COUNT(*) FROM dev_data WHERE reg_addr >= 100;").toInt(), 4);
    QCOMPARE(newLogLines(), QStringList());
}

void tst_DataBaseHandler::textsStoredAndFoundAsTyped()
{
    auto store = openStore();
    const QString eui = QStringLiteral("ab'\"; DROP TABLE devices; --");
    const QString name = QStringLiteral("Boiler \"room\"; DELETE FROM dev_data; 'x'");
    const QString unit = QStringLiteral("\"°C\"');");
    SRegisterDescription reg = field(QStringLiteral("Temp \"in\" 'C';"), 0, 32, unit, 3, 2);
    reg.dataType = QStringLiteral("u\"int'eger;");
    QVERIFY(store->registerNewDevice(device(eui, name, 0, { reg }), 502));
    QVERIFY(store->registerNewDevice(device("00BB", "O'Brien's", 10, sixteenBit(1)), 502));

    Inspector inspect(QStringLiteral("server.db"));
    QCOMPARE(inspect.rows("SELECT name, dev_eui FROM devices WHERE device=1;"),
             QStringList { name + "|" + eui });
    QCOMPARE(inspect.rows("SELECT name, unit, data_type FROM dev_data WHERE device=1 AND parent=1;"),
             QStringList { reg.name + "|" + unit + "|" + reg.dataType });

    QCOMPARE(namesOf(store->getDevices("\"room\"; DELETE")), QStringList { name });
    QCOMPARE(namesOf(store->getDevices("'")), QStringList({ name, "O'Brien's" }));
    QCOMPARE(sorted(store->getRegisteredDevices()), QStringList({ "00BB", eui.toUpper() }));

    const SRegisterParam param = store->getRegisterParam(eui, 0);
    QCOMPARE(param.unit, unit);
    QCOMPARE(param.gratingPeriod, 2);
    QVERIFY(store->saveRegisterData(batch(eui, 0, { { 0, "0001" }, { 1, "0002" } })));
    QCOMPARE(store->getRegisterData(502, 0, 2), (QMap<uint16_t, uint16_t> { { 0, 1 }, { 1, 2 } }));

    SDeviceRegUpdate update;
    update.deviceId = 1;
    update.params.append({ 0, 1, 1, QStringLiteral("'; DROP TABLE dev_data; \"") });
    store->updateRegInfo(update);
    QCOMPARE(store->getRegisterParam(eui, 0).unit, update.params[0].unit);
    QCOMPARE(newLogLines(), QStringList());
}

void tst_DataBaseHandler::searchMatchesLiterally_data()
{
    QTest::addColumn<QString>("search");
    QTest::addColumn<QStringList>("names");

    // Sorted by name as SQLite compares text: upper case before lower case.
    QTest::newRow("everything") << QString() << QStringList { "100% sure", "Alpha",       "Gamma ab", "a\\b",
                                                              "beta",      "under_score", "xAByz" };
    QTest::newRow("contains, any case") << "ab" << QStringList { "Gamma ab", "xAByz" };
    QTest::newRow("upper-case search") << "AB" << QStringList { "Gamma ab", "xAByz" };
    QTest::newRow("percent is literal") << "%" << QStringList { "100% sure" };
    QTest::newRow("underscore is literal") << "_" << QStringList { "under_score" };
    QTest::newRow("backslash is literal") << "\\" << QStringList { "a\\b" };
    QTest::newRow("no match") << "zz" << QStringList();
}

void tst_DataBaseHandler::searchMatchesLiterally()
{
    QFETCH(QString, search);
    QFETCH(QStringList, names);

    auto store = openStore();
    int n = 0;
    for (const char *name : { "beta", "xAByz", "Alpha", "under_score", "100% sure", "Gamma ab", "a\\b" }) {
        ++n;
        QVERIFY(store->registerNewDevice(device(QString::number(n), name, n * 10, sixteenBit(1)), 502));
    }
    QCOMPARE(namesOf(store->getDevices(search)), names);
    QCOMPARE(newLogLines(), QStringList());
}

void tst_DataBaseHandler::saveRegisterDataWrites()
{
    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("00AA", "Meter", 100, sixteenBit(4)), 502));
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    // Offset 9 has no register: silently nothing.
    QVERIFY(store->saveRegisterData(batch("00AA", 100, { { 0, "00ff" }, { 2, "abcd" }, { 9, "1111" } })));
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    Inspector inspect(QStringLiteral("server.db"));
    QCOMPARE(inspect.rows("SELECT reg_addr, value, full_value FROM dev_data ORDER BY reg_addr;"),
             QStringList({ "100|00ff|00ff-full", "101|NULL|NULL", "102|abcd|abcd-full", "103|NULL|NULL" }));
    const QStringList times = inspect.rows("SELECT time FROM dev_data WHERE time IS NOT NULL;");
    QCOMPARE(times.size(), 2);
    for (const QString &time : times)
        QVERIFY(time.toLongLong() >= before && time.toLongLong() <= after);
    QCOMPARE(newLogLines(), QStringList());
}

void tst_DataBaseHandler::saveRegisterDataRejects_data()
{
    QTest::addColumn<QString>("devEui");
    QTest::addColumn<bool>("withRegisters");
    QTest::addColumn<bool>("withExtra");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("nothing to write")
        << "00AA" << false << false << false
        << QStringList { "INFO: [CDataBaseHandler::saveRegisterData] Empty input data" };
    QTest::newRow("unknown device")
        << "00BB" << true << false << false
        << QStringList { "ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [00BB]" };
    // The EUI is matched exactly as stored.
    QTest::newRow("case differs") << "00aa" << true << false << false
                                  << QStringList {
                                         "ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [00aa]"
                                     };
    QTest::newRow("extra values only") << "00AA" << false << true << true << QStringList();
}

void tst_DataBaseHandler::saveRegisterDataRejects()
{
    QFETCH(QString, devEui);
    QFETCH(bool, withRegisters);
    QFETCH(bool, withExtra);
    QFETCH(bool, result);
    QFETCH(QStringList, messages);

    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("00AA", "Meter", 0, sixteenBit(2)), 502));
    SDeviceRegisterData data = batch(devEui, 0, { { 0, "0001" } });
    if (withExtra)
        data.extraRegisters = data.registers;
    if (!withRegisters)
        data.registers.clear();
    QCOMPARE(store->saveRegisterData(data), result);
    QCOMPARE(newLogLines(), messages);
    // Extra values are never written.
    QCOMPARE(store->getRegisterData(502, 0, 1).value(0), uint16_t(0));
}

void tst_DataBaseHandler::saveRegisterDataContinuesAfterFailedUpdate()
{
    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("00AA", "Meter", 100, sixteenBit(3)), 502));
    Inspector inspect(QStringLiteral("server.db"));
    QVERIFY(
        inspect.exec("CREATE TRIGGER refuse BEFORE UPDATE ON dev_data WHEN NEW.reg_addr = 101 BEGIN SELECT "
                     "RAISE(ABORT, 'refused'); END;"));

    QVERIFY(store->saveRegisterData(batch("00AA", 100, { { 0, "0001" }, { 1, "0002" }, { 2, "0003" } })));
    QCOMPARE(newLogLines(),
             QStringList({ "ERROR: [CDataBaseHandler::saveRegisterData] Invalid SQL request [2]",
                           "    Query [" + kSaveStatement + "]", "    Set: deviceId[1], regAddr[101]" }));
    QCOMPARE(store->getRegisterData(502, 100, 3),
             (QMap<uint16_t, uint16_t> { { 100, 1 }, { 101, 0 }, { 102, 3 } }));
}

void tst_DataBaseHandler::saveRegisterDataIsOneTransaction()
{
    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("00AA", "Meter", 100, sixteenBit(3)), 502));
    Inspector inspect(QStringLiteral("server.db"));
    // A ROLLBACK raised by the batch's last update undoes the batch's earlier
    // updates only if they share its transaction.
    QVERIFY(inspect.exec("CREATE TRIGGER undo BEFORE UPDATE ON dev_data WHEN NEW.reg_addr = 102 BEGIN SELECT "
                         "RAISE(ROLLBACK, 'undone'); END;"));
    QVERIFY(!store->saveRegisterData(batch("00AA", 100, { { 0, "0001" }, { 1, "0002" }, { 2, "0003" } })));
    QCOMPARE(inspect.scalar("SELECT COUNT(*) FROM dev_data WHERE value IS NOT NULL;").toInt(), 0);
    const QStringList lines = newLogLines();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[2], QStringLiteral("    Set: deviceId[1], regAddr[102]"));
    QVERIFY2(lines[3].startsWith("ERROR: [CDataBaseHandler::saveRegisterData] Transaction is not committed!"),
             qPrintable(lines[3]));

    // The store carries on normally afterwards.
    QVERIFY(inspect.exec("DROP TRIGGER undo;"));
    QVERIFY(store->saveRegisterData(batch("00AA", 100, { { 0, "0001" }, { 2, "0003" } })));
    QCOMPARE(store->getRegisterData(502, 100, 3),
             (QMap<uint16_t, uint16_t> { { 100, 1 }, { 101, 0 }, { 102, 3 } }));
}

void tst_DataBaseHandler::registerDataZeroFillsAndSharesPorts()
{
    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("00AA", "Left", 0, sixteenBit(4)), 502));
    QVERIFY(store->registerNewDevice(device("00BB", "Right", 4, sixteenBit(4)), 502));
    QVERIFY(store->registerNewDevice(device("00CC", "Elsewhere", 0, sixteenBit(4)), 503));
    QVERIFY(store->saveRegisterData(batch("00AA", 0, { { 0, "0001" }, { 3, "ffff" } })));
    QVERIFY(
        store->saveRegisterData(batch("00BB", 4, { { 0, "0a0b" }, { 1, "zz" }, { 2, "" }, { 3, "12345" } })));
    QVERIFY(store->saveRegisterData(batch("00CC", 0, { { 1, "7777" } })));

    // Unparsable, empty and oversized texts read as 0; unreceived registers too.
    const QMap<uint16_t, uint16_t> port502 { { 0, 1 }, { 1, 0 }, { 2, 0 }, { 3, 0xffff }, { 4, 0x0a0b },
                                             { 5, 0 }, { 6, 0 }, { 7, 0 }, { 8, 0 } };
    QCOMPARE(store->getRegisterData(502, 0, 9), port502);
    QCOMPARE(store->getRegisterData(503, 1, 1), (QMap<uint16_t, uint16_t> { { 1, 0x7777 } }));
    QCOMPARE(store->getRegisterData(504, 0, 2), (QMap<uint16_t, uint16_t> { { 0, 0 }, { 1, 0 } }));
    QVERIFY(store->getRegisterData(502, 0, 0).isEmpty());
    // Addresses wrap at 65536.
    QCOMPARE(store->getRegisterData(502, 65535, 2).keys(), QList<uint16_t>({ 0, 65535 }));
    QCOMPARE(newLogLines(), QStringList());
}

void tst_DataBaseHandler::registerDataHugeCount()
{
    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("00AA", "Left", 0, sixteenBit(2)), 502));
    QVERIFY(store->saveRegisterData(batch("00AA", 0, { { 1, "0042" } })));
    // A count beyond the address space gives each address once instead of
    // looping four billion times.
    const QMap<uint16_t, uint16_t> all = store->getRegisterData(502, 0, 0xFFFFFFFFu);
    QCOMPARE(all.size(), 65536);
    QCOMPARE(all.value(1), uint16_t(0x42));
}

void tst_DataBaseHandler::registerParamAndUpdate()
{
    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("00AA", "Meter", 100, { field("T", 0, 16, "C", -40, 5) }), 502));
    SRegisterParam param = store->getRegisterParam("00AA", 100);
    QCOMPARE(param.regAddr, 100u);
    QCOMPARE(param.startValue, -40);
    QCOMPARE(param.gratingPeriod, 5);
    QCOMPARE(param.unit, QStringLiteral("C"));

    const QString statement = QStringLiteral(
        "SELECT * FROM dev_data WHERE dev_data.device IN ( SELECT devices.device FROM devices WHERE "
        "devices.dev_eui=:dev_eui ) AND dev_data.reg_addr=:reg_addr;");
    for (const auto &missing :
         { qMakePair(QStringLiteral("00AA"), 101u), qMakePair(QStringLiteral("00BB"), 100u) }) {
        param = store->getRegisterParam(missing.first, missing.second);
        QCOMPARE(param.regAddr, 0u);
        QCOMPARE(param.startValue, 0);
        QCOMPARE(param.gratingPeriod, 1);
        QCOMPARE(param.unit, QString());
        QCOMPARE(
            newLogLines(),
            QStringList({ "ERROR: [CDataBaseHandler::getRegisterParam] Register is not exist!", statement }));
    }

    SDeviceRegUpdate update;
    update.deviceId = 1;
    update.params.append({ 100, 3, 7, QStringLiteral("K") });
    store->updateRegInfo(update);
    param = store->getRegisterParam("00AA", 100);
    QCOMPARE(param.startValue, 3);
    QCOMPARE(param.gratingPeriod, 7);
    QCOMPARE(param.unit, QStringLiteral("K"));
    QCOMPARE(newLogLines(), QStringList());
}

void tst_DataBaseHandler::updateRegInfoStopsAtFirstFailure()
{
    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("00AA", "Meter", 100, sixteenBit(3)), 502));
    Inspector inspect(QStringLiteral("server.db"));
    QVERIFY(
        inspect.exec("CREATE TRIGGER refuse BEFORE UPDATE ON dev_data WHEN NEW.reg_addr = 101 BEGIN SELECT "
                     "RAISE(ABORT, 'refused'); END;"));
    SDeviceRegUpdate update;
    update.deviceId = 1;
    update.params = { { 100, 1, 2, "a" }, { 101, 3, 4, "b" }, { 102, 5, 6, "c" } };
    store->updateRegInfo(update);
    // The entry before the failure is kept, the ones from it on are not written.
    QCOMPARE(inspect.rows("SELECT start_value, grating_period, unit FROM dev_data ORDER BY reg_addr;"),
             QStringList({ "1|2|a", "0|1|", "0|1|" }));
    QCOMPARE(newLogLines(),
             QStringList({ "ERROR: [CDataBaseHandler::updateRegInfo] Invalid SQL request [1]",
                           "UPDATE dev_data SET start_value=:start_value, grating_period=:grating_period, "
                           "unit=:unit WHERE device=:device AND reg_addr=:reg_addr;" }));
}

void tst_DataBaseHandler::writesWhileCallerHoldsAQuery()
{
    // The device list model keeps its query open while the operator works.
    auto store = openStore();
    for (const int n : { 1, 2, 3 })
        QVERIFY(store->registerNewDevice(device(QStringLiteral("000%1").arg(n), "D", n * 10, sixteenBit(2)),
                                         502));
    QSqlQuery listing = store->getDevices(QString());
    QVERIFY(listing.next());
    QSqlQuery registers = store->getRegisters(1);
    QVERIFY(registers.next());

    QVERIFY(store->registerNewDevice(device("0004", "Added", 10, sixteenBit(2)), 503));
    QVERIFY(store->saveRegisterData(batch("0001", 10, { { 0, "0009" } })));
    QVERIFY(store->deleteDevice(2));
    QCOMPARE(store->getRegisterData(502, 10, 1), (QMap<uint16_t, uint16_t> { { 10, 9 } }));
    QVERIFY(listing.next());
    QCOMPARE(newLogLines(), QStringList());

    auto reopened = openStore();
    QCOMPARE(sorted(reopened->getRegisteredDevices()), QStringList({ "0001", "0003", "0004" }));
}

void tst_DataBaseHandler::registersListFirstRowsOnly()
{
    auto store = openStore();
    QVERIFY(
        store->registerNewDevice(device("00AA", "Meter", 10, { field("B", 4, 32), field("A", 0, 64) }), 502));
    QVERIFY(store->registerNewDevice(device("00BB", "Other", 0, sixteenBit(2)), 502));
    QSqlQuery query = store->getRegisters(1);
    QStringList names;
    while (query.next())
        names.append(query.value(QStringLiteral("name")).toString());
    QCOMPARE(names, QStringList({ "A", "B" }));
}

void tst_DataBaseHandler::registeredDevicesUpperCased()
{
    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("00aa11bb", "Lower", 0, {}), 502));
    QVERIFY(store->registerNewDevice(device("00CC", "Upper", 0, {}), 502));
    QCOMPARE(sorted(store->getRegisteredDevices()), QStringList({ "00AA11BB", "00CC" }));
}

void tst_DataBaseHandler::deleteDeviceRemovesBoth()
{
    auto store = openStore();
    QVERIFY(store->registerNewDevice(device("00AA", "Gone", 0, sixteenBit(2)), 502));
    QVERIFY(store->registerNewDevice(device("00BB", "Stays", 0, sixteenBit(2)), 503));
    QVERIFY(store->saveRegisterData(batch("00AA", 0, { { 0, "0005" } })));
    QVERIFY(store->deleteDevice(1));
    QCOMPARE(store->getRegisteredDevices(), QStringList { "00BB" });
    QCOMPARE(store->getRegisterData(502, 0, 1), (QMap<uint16_t, uint16_t> { { 0, 0 } }));
    Inspector inspect(QStringLiteral("server.db"));
    QCOMPARE(inspect.rows("SELECT DISTINCT device FROM dev_data;"), QStringList { "2" });

    // The register rows go only together with the device row.
    QVERIFY(inspect.exec(
        "CREATE TRIGGER keep BEFORE DELETE ON dev_data BEGIN SELECT RAISE(ABORT, 'kept'); END;"));
    QVERIFY(!store->deleteDevice(2));
    QCOMPARE(newLogLines(), QStringList { "[CDataBaseHandler::deleteDevice] Invalid SQL request [2]" });
    QCOMPARE(store->getRegisteredDevices(), QStringList { "00BB" });
}

void tst_DataBaseHandler::killedWriterLeavesSoundFile()
{
    // Kill the writer after different amounts of work; it commits about three
    // times per device, so any moment is likely to fall inside a transaction.
    for (const int target : { 1, 25, 120, 300 }) {
        QProcess writer;
        writer.setWorkingDirectory(m_dir->path());
        writer.setProcessChannelMode(QProcess::SeparateChannels);
        QStringList reported;
        QMap<QString, int> lastSaved;
        QByteArray pending;
        auto consume = [&] {
            pending += writer.readAllStandardOutput();
            int end;
            while ((end = pending.indexOf('\n')) >= 0) {
                const QList<QByteArray> words = pending.left(end).split(' ');
                pending.remove(0, end + 1);
                if (words.value(0) == "registered")
                    reported.append(QString::fromLatin1(words.value(1)));
                else if (words.value(0) == "saved")
                    lastSaved[QString::fromLatin1(words.value(1))] = words.value(2).toInt();
            }
        };
        connect(&writer, &QProcess::readyReadStandardOutput, this, consume);
        writer.start(QStringLiteral(TIDEWELL_DBWRITER), QStringList());
        QVERIFY2(writer.waitForStarted(), qPrintable(writer.errorString()));
        QTRY_VERIFY2_WITH_TIMEOUT(reported.size() >= target || writer.state() == QProcess::NotRunning,
                                  "writer made no progress", 120000);
        QVERIFY2(writer.state() == QProcess::Running,
                 qPrintable(QStringLiteral("writer ended with %1 after %2 devices: %3")
                                .arg(writer.exitCode())
                                .arg(reported.size())
                                .arg(QString::fromLocal8Bit(writer.readAllStandardError()))));
        writer.kill();
        QVERIFY(writer.waitForFinished());
        QCOMPARE(writer.exitStatus(), QProcess::CrashExit);
        consume();
        // Committed work still sits in the log file, so opening must recover it.
        QVERIFY(QFileInfo(QStringLiteral("server.db-wal")).size() > 0);

        {
            Inspector inspect(QStringLiteral("server.db"));
            QCOMPARE(inspect.scalar("PRAGMA integrity_check;"), QStringLiteral("ok"));
            const QStringList present = inspect.rows("SELECT dev_eui FROM devices;");
            const QSet<QString> stored(present.cbegin(), present.cend());
            for (const QString &eui : qAsConst(reported))
                QVERIFY2(stored.contains(eui), qPrintable(eui));
            // Every stored device has all of its rows: registration is never half done.
            QCOMPARE(inspect.rows("SELECT COUNT(*) FROM devices d WHERE (SELECT COUNT(*) FROM dev_data r "
                                  "WHERE r.device = d.device) <> 14;"),
                     QStringList { "0" });
            // A reported batch is there in full (or overwritten by a later one).
            for (auto it = lastSaved.cbegin(); it != lastSaved.cend(); ++it) {
                const QStringList values = inspect.rows(
                    QStringLiteral(
                        "SELECT DISTINCT r.value FROM dev_data r JOIN devices d ON r.device = d.device "
                        "WHERE d.dev_eui = '%1';")
                        .arg(it.key()));
                QCOMPARE(values.size(), 1);
                QVERIFY2(values[0].toInt(nullptr, 16) >= it.value(), qPrintable(it.key()));
            }
        }
        // The store opens the file as usual and goes on where the writer stopped.
        auto store = openStore();
        QVERIFY(!store->failed());
        QVERIFY(store->getRegisteredDevices().size() >= reported.size());
        QVERIFY(store->registerNewDevice(device("FFFF", "After", 0, sixteenBit(1)), 502));
        store.reset();
        QVERIFY(QFile::remove(QStringLiteral("server.db")));
        QFile::remove(QStringLiteral("server.db-wal"));
        QFile::remove(QStringLiteral("server.db-shm"));
    }
}

QTEST_MAIN(tst_DataBaseHandler)
#include "tst_databasehandler.moc"
