#include "app/logfile.h"
#include "storage/databasehandler.h"
#include "tests/testkit/testkit.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

using Registers = QMap<uint16_t, uint16_t>;

// The statements the tables were first created with, verbatim, and a device
// as the earlier version wrote it.
const char *const kOriginalFile[] = {
    "CREATE TABLE IF NOT EXISTS devices ( device INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL UNIQUE, "
    "name TEXT, app_eui TEXT, dev_eui TEXT, port INTEGER, start_addr INTEGER ); ",
    "CREATE TABLE IF NOT EXISTS dev_data ( device INTEGER NOT NULL, port INTEGER, reg_addr INTEGER, "
    "start_value INTEGER, grating_period INTEGER, bit_size INTEGER, data_type TEXT, value TEXT DEFAULT "
    "NULL, full_value TEXT DEFAULT NULL, time INTEGER DEFAULT NULL, name TEXT DEFAULT NULL, unit TEXT "
    "DEFAULT NULL, parent INTEGER, source INTEGER ); ",
    "INSERT INTO devices (name, app_eui, dev_eui, port, start_addr) VALUES ('Old', 'A1B2C3D400000001', "
    "'00bb', 502, 10);",
    "INSERT INTO dev_data (device, port, reg_addr, start_value, grating_period, bit_size, data_type, "
    "name, parent, source, unit) VALUES (1, 502, 10, 0, 1, 16, \"uinteger\", \"T\", 1, 1, \"C\"), (1, "
    "502, 11, 0, 1, 16, \"uinteger\", \"H\", 1, 1, \"\");",
};

QString nextConnectionName()
{
    static int connections = 0;
    return QStringLiteral("test%1").arg(++connections);
}

// A second connection to a store's file, for looking behind its back and for
// making its writes fail with a trigger.
class Inspector
{
public:
    explicit Inspector(const QString &file = QStringLiteral("server.db"))
        : m_name(nextConnectionName())
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(file);
        db.open();
    }
    ~Inspector() { QSqlDatabase::removeDatabase(m_name); }

    // Each row as its values joined by '|', NULL spelled out; a failing
    // statement gives its error instead.
    QStringList sql(const QString &text)
    {
        QSqlQuery query(QSqlDatabase::database(m_name));
        if (!query.exec(text))
            return { QStringLiteral("failed: ") + query.lastError().text() };
        QStringList rows;
        while (query.next()) {
            QStringList row;
            for (int i = 0; i < query.record().count(); ++i)
                row.append(query.isNull(i) ? QStringLiteral("NULL") : query.value(i).toString());
            rows.append(row.join(QLatin1Char('|')));
        }
        return rows;
    }
    int count(const QString &table, const QString &where = QStringLiteral("1"))
    {
        return sql(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2;").arg(table, where)).value(0).toInt();
    }
    // kind ABORT fails the statement, ROLLBACK the whole transaction.
    QStringList sabotage(const QString &event, const QString &when = QStringLiteral("1"),
                         const QString &kind = QStringLiteral("ABORT"))
    {
        sql(QStringLiteral("DROP TRIGGER IF EXISTS sabotage;"));
        return sql(
            QStringLiteral("CREATE TRIGGER sabotage BEFORE %1 WHEN %2 BEGIN SELECT RAISE(%3, 'no'); END;")
                .arg(event, when, kind));
    }

private:
    QString m_name;
};

SRegisterDescription field(const QString &name, uint32_t offset, uint32_t bitSize,
                           const QString &unit = QString(), int32_t startValue = 0,
                           uint32_t gratingPeriod = 1, uint32_t source = 1)
{
    return { name, source, offset, bitSize, QStringLiteral("uinteger"), startValue, gratingPeriod, unit };
}

QList<SRegisterDescription> sixteenBit(int count)
{
    QList<SRegisterDescription> regs;
    for (int i = 0; i < count; ++i)
        regs.append(field(QStringLiteral("R%1").arg(i), uint32_t(i), 16));
    return regs;
}

DB::SDeviceRegMapDescription device(const QString &devEui, int32_t startAddr,
                                    const QList<SRegisterDescription> &regs, const QString &name = "Meter")
{
    return { devEui, QStringLiteral("A1B2C3D400000001"), name, startAddr, regs };
}

// Values as (offset, text); each full value is its text with "-full" appended.
SDeviceRegisterData batch(const QString &devEui, int32_t startAddr, const QList<QPair<int, QString>> &values)
{
    SDeviceRegisterData data { devEui, startAddr, {}, {} };
    for (const auto &v : values)
        data.registers.append({ v.second, v.second + QStringLiteral("-full"), v.first });
    return data;
}

QStringList names(QSqlQuery query)
{
    QStringList values;
    while (query.next())
        values.append(query.value(QStringLiteral("name")).toString());
    return values;
}

} // namespace

class tst_DataBaseHandler : public QObject
{
    Q_OBJECT

    QTemporaryDir m_logDir;
    std::unique_ptr<QTemporaryDir> m_dir;
    qint64 m_logOffset = 0;

    std::unique_ptr<CDataBaseHandler> openStore(const QString &file = QStringLiteral("server.db"))
    {
        return std::make_unique<CDataBaseHandler>(file, nextConnectionName());
    }

    // Log lines since the last call, without time stamps; SQLite's error texts
    // are cut down to "Error_text[]".
    QStringList newLogLines()
    {
        QFile file(m_logDir.filePath(QStringLiteral("history.log")));
        if (!file.open(QIODevice::ReadOnly) || !file.seek(m_logOffset))
            return {};
        const QByteArray text = file.readAll();
        m_logOffset += text.size();
        static const QRegularExpression stamp(QStringLiteral("^\\[[^\\]]*\\]"));
        static const QRegularExpression detail(QStringLiteral("Error_text\\[.*\\]"));
        QStringList lines;
        for (QString line : QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            lines.append(line.remove(stamp).replace(detail, QStringLiteral("Error_text[]")));
        return lines;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_logDir.isValid());
        QVERIFY(QDir::setCurrent(m_logDir.path()));
        CLogFile::getInstance(QStringLiteral("history.log"));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(m_dir->path()));
        newLogLines();
    }

    void cleanup()
    {
        QDir::setCurrent(m_logDir.path());
        m_dir.reset();
    }

    void freshStartAndOriginalFile()
    {
        {
            // An earlier version's file: no index, default journal.
            Inspector maker(QStringLiteral("original.db"));
            for (const char *sql : kOriginalFile)
                QCOMPARE(maker.sql(sql), QStringList());
        }
        // A fresh start makes the two tables exactly as they were (the unit
        // ids have a table of their own); a second start reuses them.
        QVERIFY(openStore()->registerNewDevice(device("00AA", 0, sixteenBit(2)), 502));
        const QString tables = QStringLiteral("SELECT sql FROM sqlite_master WHERE type='table' AND name IN "
                                              "('devices', 'dev_data') ORDER BY name;");
        QCOMPARE(Inspector().sql(tables), Inspector(QStringLiteral("original.db")).sql(tables));
        QCOMPARE(Inspector().sql(tables).size(), 2);
        QCOMPARE(openStore()->getRegisteredDevices(), QStringList { "00AA" });
        QCOMPARE(Inspector().count("dev_data"), 2);

        auto store = openStore(QStringLiteral("original.db"));
        QCOMPARE(store->getRegisteredDevices(), QStringList { "00BB" });
        QVERIFY(store->saveRegisterData(batch("00bb", 10, { { 0, "0102" }, { 1, "ffff" } })));
        QCOMPARE(store->getRegisterData(502, 10, 2), (Registers { { 10, 0x0102 }, { 11, 0xffff } }));
        QVERIFY(store->registerNewDevice(device("00CC", 20, sixteenBit(3)), 502));
        QCOMPARE(store->getRegisterData(502, 10, 13).size(), 13);
        QCOMPARE(newLogLines(), QStringList());
    }

    void startupFailures()
    {
        QVERIFY(openStore(QStringLiteral("no/such/dir/server.db"))->failed());
        QCOMPARE(newLogLines(),
                 QStringList { "CRITICAL_ERROR! Data base hasn't been created/opened! Error_text[]. "
                               "DataBaseHandler is not running!" });
    }

    // A file that is no sound database, or one whose tables cannot be made,
    // stops the store with SQLite's reason, and the file is left exactly as
    // it was: nothing is written before the checks have passed.
    void unusableFilesAreLeftAlone_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("failure");
        QTest::newRow("random bytes") << "random"
                                      << "file is not a database";
        QTest::newRow("cut in half") << "half"
                                     << "database disk image is malformed";
        QTest::newRow("index in the way") << "index"
                                          << "table \"devices\" cannot be created (there is already "
                                             "an index named devices";
    }

    void unusableFilesAreLeftAlone()
    {
        QFETCH(QString, kind);
        QFETCH(QString, failure);
        if (kind == QLatin1String("random")) {
            QFile file(QStringLiteral("server.db"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            QByteArray bytes;
            for (int i = 0; i < 20000; ++i)
                bytes.append(char(QRandomGenerator::global()->bounded(256)));
            file.write(bytes);
        } else if (kind == QLatin1String("half")) {
            {
                auto store = openStore();
                for (int i = 0; i < 200; ++i)
                    QVERIFY(store->registerNewDevice(
                        device(QStringLiteral("%1").arg(i, 4, 16, QLatin1Char('0')), 0, sixteenBit(20)),
                        uint16_t(502 + i)));
            }
            QFile file(QStringLiteral("server.db"));
            QVERIFY(file.resize(file.size() / 2));
        } else {
            Inspector maker;
            QCOMPARE(maker.sql("CREATE TABLE x (a);"), QStringList());
            QCOMPARE(maker.sql("CREATE INDEX devices ON x (a);"), QStringList());
        }
        const QByteArray before = testkit::readFile(QStringLiteral("server.db"));
        newLogLines();
        auto store = openStore();
        QVERIFY(store->failed());
        QVERIFY2(store->failure().contains(failure), qPrintable(store->failure()));
        store.reset();
        QCOMPARE(testkit::readFile(QStringLiteral("server.db")), before);
        const QStringList lines = newLogLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().startsWith(kind == QLatin1String("index")
                                              ? "ERROR! Table \"devices\" is not created! Error_text[]"
                                              : "CRITICAL_ERROR! Data base [server.db] is not usable: "),
                 qPrintable(lines.first()));
    }

    // A full disk passes like a lock: batches wait, are retried and written
    // once there is room; the state is logged when it starts and ends.
    void fullDiskRetriesThenWritesAgain()
    {
        auto store = openStore();
        QVERIFY(store->registerNewDevice(device("00AA", 0, sixteenBit(2)), 502));
        QSignalSpy savedSpy(store.get(), &CDataBaseHandler::registerDataSaved);
        QSignalSpy droppedSpy(store.get(), &CDataBaseHandler::registerDataDropped);
        store->setRetryTiming(std::chrono::milliseconds(1), std::chrono::minutes(5));
        store->setWriteFaultForTesting(13);
        store->queueRegisterData(batch("00AA", 0, { { 0, "0001" }, { 1, "0001" } }));
        store->queueRegisterData(batch("00AA", 0, { { 0, "0002" }, { 1, "0002" } }));
        QCOMPARE(store->pendingRegisterData(), 2);
        QCOMPARE(newLogLines(),
                 QStringList { "WARNING: [CDataBaseHandler] Data base cannot be written: uplinks "
                               "wait and are retried. Error_text[]" });
        const qint64 savedAfterMs = QDateTime::currentMSecsSinceEpoch();
        store->setWriteFaultForTesting(0);
        QTRY_COMPARE(savedSpy.count(), 2);
        QCOMPARE(store->getRegisterData(502, 0, 2).values(), QList<uint16_t>({ 2, 2 }));
        // Announced with the time it was written at, every row's: when it
        // was finally written, not when it came.
        const auto written = savedSpy.last().first().value<SDeviceRegisterData>();
        QVERIFY(written.storedMs >= savedAfterMs);
        QCOMPARE(Inspector().sql(QStringLiteral("SELECT DISTINCT time FROM dev_data;")),
                 QStringList { QString::number(written.storedMs) });
        QCOMPARE(newLogLines(), QStringList { "INFO: [CDataBaseHandler] Data base is written again" });

        // Past the retry window the batch is dropped with the reason.
        store->setRetryTiming(std::chrono::milliseconds(1), std::chrono::milliseconds(20));
        store->setWriteFaultForTesting(13);
        store->queueRegisterData(batch("00AA", 0, { { 0, "0003" } }));
        QTRY_COMPARE(droppedSpy.count(), 1);
        const QStringList lines = newLogLines();
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(1),
                 QStringLiteral("ERROR: [CDataBaseHandler::queueRegisterData] Data base cannot be "
                                "written for 20 ms, uplink of [00AA] is dropped Error_text[]"));
    }

    // The retry queue is bounded: past its limit a batch of a device and
    // packet type that already waits takes its place, in its position.
    void retryQueueReplacesPastItsLimit()
    {
        auto store = openStore();
        QVERIFY(store->registerNewDevice(device("00AA", 0, sixteenBit(2)), 502));
        QVERIFY(store->registerNewDevice(device("00BB", 10, sixteenBit(1)), 502));
        QSignalSpy savedSpy(store.get(), &CDataBaseHandler::registerDataSaved);
        store->setRetryTiming(std::chrono::milliseconds(1), std::chrono::minutes(5));
        store->setPendingLimit(2);
        Inspector other;
        QCOMPARE(other.sql("BEGIN IMMEDIATE;"), QStringList());
        store->queueRegisterData(batch("00AA", 0, { { 0, "0001" }, { 1, "0001" } }));
        store->queueRegisterData(batch("00BB", 10, { { 0, "0b01" } }));
        store->queueRegisterData(batch("00AA", 0, { { 0, "0002" }, { 1, "0002" } }));
        store->queueRegisterData(batch("00AA", 0, { { 0, "0003" }, { 1, "0003" } }));
        // Another packet type of the same device (other registers) is kept.
        store->queueRegisterData(batch("00AA", 0, { { 1, "0004" } }));
        QCOMPARE(store->pendingRegisterData(), 3);
        QCOMPARE(store->replacedRegisterData(), quint64(2));
        QCOMPARE(newLogLines(),
                 QStringList { "WARNING: [CDataBaseHandler::queueRegisterData] More than 2 uplinks "
                               "wait to be written: 1 replaced by a newer one of the same device "
                               "and packet type" });
        QCOMPARE(other.sql("COMMIT;"), QStringList());
        QTRY_COMPARE(savedSpy.count(), 3);
        QStringList order;
        for (const QList<QVariant> &signal : qAsConst(savedSpy)) {
            const auto data = signal.at(0).value<SDeviceRegisterData>();
            order.append(data.devEui + ':' + data.registers.at(0).value);
        }
        QCOMPARE(order, QStringList({ "00AA:0003", "00BB:0b01", "00AA:0004" }));
    }

    // A log that grew while a reader held it back is cut back to the size
    // limit once the reader has gone and a checkpoint has copied it all.
    void writeAheadLogShrinksOnceNoReaderHoldsIt()
    {
        auto store = openStore();
        QVERIFY(store->registerNewDevice(device("00AA", 0, sixteenBit(100)), 502));
        Inspector reader;
        QCOMPARE(reader.sql("BEGIN;"), QStringList());
        QCOMPARE(reader.sql("SELECT COUNT(*) FROM dev_data;"), QStringList { "100" });
        const qint64 limit = 4 * 1024 * 1024;
        QFileInfo wal(QStringLiteral("server.db-wal"));
        for (int i = 0; wal.size() <= limit; ++i) {
            QList<QPair<int, QString>> values;
            for (int r = 0; r < 100; ++r)
                values.append({ r, QString::number(i % 0xffff, 16) });
            QVERIFY(store->saveRegisterData(batch("00AA", 0, values)));
            wal.refresh();
            QVERIFY(i < 100000);
        }
        QCOMPARE(reader.sql("COMMIT;"), QStringList());
        const quint64 done = store->completedCheckpoints();
        QTRY_VERIFY(store->completedCheckpoints() > done);
        QVERIFY(store->saveRegisterData(batch("00AA", 0, { { 0, "0001" } })));
        wal.refresh();
        QVERIFY2(wal.size() <= limit, qPrintable(QString::number(wal.size())));
    }

    // Rows that cannot be served are named with the reason; the others are not.
    void unservableDevices()
    {
        auto store = openStore();
        QVERIFY(store->registerNewDevice(device("0001", 0, sixteenBit(2)), 502));
        QVERIFY(store->registerNewDevice(device("0002", 0, sixteenBit(2)), 503));
        QVERIFY(store->registerNewDevice(device("0003", 0, sixteenBit(2)), 504));
        QVERIFY(store->registerNewDevice(device("0004", 65535, sixteenBit(2)), 505));
        QVERIFY(store->registerNewDevice(device("0005", 0, sixteenBit(2)), 506));
        QVERIFY(store->registerNewDevice(device("0006", 0, sixteenBit(2)), 507));
        Inspector inspect;
        QCOMPARE(inspect.sql("UPDATE devices SET port = NULL WHERE device = 2;"), QStringList());
        QCOMPARE(inspect.sql("UPDATE devices SET port = 'abc' WHERE device = 3;"), QStringList());
        QCOMPARE(inspect.sql("UPDATE devices SET port = 65536 WHERE device = 5;"), QStringList());
        QCOMPARE(inspect.sql("UPDATE devices SET dev_eui = '0001' WHERE device = 6;"), QStringList());
        const QHash<uint32_t, QString> reasons = store->unservableDevices();
        QCOMPARE(reasons.keys().size(), 5);
        QCOMPARE(reasons.value(2), QStringLiteral("DevEUI [0002]: port [NULL] is outside 1..65535"));
        QCOMPARE(reasons.value(3), QStringLiteral("DevEUI [0003]: port [abc] is outside 1..65535"));
        QCOMPARE(reasons.value(4), QStringLiteral("DevEUI [0004]: registers 65535..65536 pass 65535"));
        QCOMPARE(reasons.value(5), QStringLiteral("DevEUI [0005]: port [65536] is outside 1..65535"));
        QCOMPARE(reasons.value(6), QStringLiteral("DevEUI [0001] is served as device ID=1"));
    }

    void registrationRows()
    {
        auto store = openStore();
        // B repeats Count's first register and E repeats D's, so both are skipped;
        // C may take Count's continuation register.
        const QList<SRegisterDescription> regs { field("Odd", 30, 17, "x"),
                                                 field("Temp", 0, 16, "C", -5, 10),
                                                 field("Count", 4, 32, "l", 7, 3),
                                                 field("Gw", 8, 64, "", 0, 1, 0),
                                                 field("Byte", 20, 8, "%"),
                                                 field("B", 4, 16),
                                                 field("C", 5, 16),
                                                 field("D", 0x10000 - 100, 16),
                                                 field("E", 0x10000 - 100, 16) };
        QVERIFY(store->registerNewDevice(device("00aa", 100, regs), 5020));
        const QString warning = QStringLiteral("WARNING: [CDataBaseHandler::registerNewDevice] Register "
                                               "[0x%1] for device [00aa] already exist!");
        QCOMPARE(newLogLines(), QStringList({ warning.arg("0068"), warning.arg("10000") }));
        QVERIFY(store->registerNewDevice(device("00BB", 0, sixteenBit(2)), 5020));

        Inspector inspect;
        QCOMPARE(inspect.sql("SELECT * FROM devices WHERE device=1;"),
                 QStringList { "1|Meter|A1B2C3D400000001|00aa|5020|100" });
        // Wider fields get continuation rows: parent 0, source 0, NULL name and unit.
        const QStringList expected {
            // reg_addr|start_value|grating_period|bit_size|data_type|name|unit|parent|source|value
            "100|-5|10|16|uinteger|Temp|C|1|1|NULL",  "104|7|3|32|uinteger|Count|l|1|1|NULL",
            "105|0|1|16|uinteger|C||1|1|NULL",        "105|0|1|32|uinteger|NULL|NULL|0|0|NULL",
            "108|0|1|64|uinteger|Gw||1|0|NULL",       "109|0|1|64|uinteger|NULL|NULL|0|0|NULL",
            "110|0|1|64|uinteger|NULL|NULL|0|0|NULL", "111|0|1|64|uinteger|NULL|NULL|0|0|NULL",
            "120|0|1|8|uinteger|Byte|%|1|1|NULL",     "130|0|1|17|uinteger|Odd|x|1|1|NULL",
            "131|0|1|17|uinteger|NULL|NULL|0|0|NULL", "65536|0|1|16|uinteger|D||1|1|NULL"
        };
        QCOMPARE(inspect.sql("SELECT reg_addr, start_value, grating_period, bit_size, data_type, name, unit, "
                             "parent, source, value FROM dev_data WHERE device=1 AND port=5020 "
                             "ORDER BY reg_addr, parent DESC;"),
                 expected);
        // The register list shows one device's first rows, by address.
        QCOMPARE(names(store->getRegisters(1)),
                 QStringList({ "Temp", "Count", "C", "Gw", "Byte", "Odd", "D" }));

        QVERIFY(!store->registerNewDevice(device("00aa", 0, sixteenBit(3)), 503));
        QCOMPARE(newLogLines(),
                 QStringList { "ERROR: [CDataBaseHandler::registerNewDevice] Device [00aa] already exist!" });
        QCOMPARE(inspect.count("devices"), 2);
        QCOMPARE(inspect.count("dev_data"), 14);
    }

    void failedRegistrationLeavesNothing()
    {
        auto store = openStore();
        // A register list without any register still registers the device.
        QVERIFY(store->registerNewDevice(device("00aa11bb", 0, {}), 502));
        Inspector inspect;
        const auto meter = device("00AA", 100, { field("A", 0, 16), field("B", 4, 32), field("C", 8, 16) });
        const QString failed
            = QStringLiteral("[CDataBaseHandler::registerNewDevice] Invalid SQL request [%1] Error_text[]");
        // The continuation row at 105 fails after the device row and a register row were written.
        QCOMPARE(inspect.sabotage("INSERT ON dev_data", "NEW.reg_addr = 105"), QStringList());
        QVERIFY(!store->registerNewDevice(meter, 502));
        QCOMPARE(
            newLogLines(),
            QStringList({ failed.arg(4),
                          "INSERT INTO dev_data (device, port, reg_addr, start_value, grating_period, "
                          "bit_size, data_type, name, parent, source, unit) VALUES (:device, :port, "
                          ":reg_addr, :start_value, :grating_period, :bit_size, :data_type, :name, :parent, "
                          ":source, :unit);" }));
        QCOMPARE(inspect.sabotage("INSERT ON devices"), QStringList());
        QVERIFY(!store->registerNewDevice(meter, 502));
        QCOMPARE(newLogLines(), QStringList { failed.arg(2) });
        QCOMPARE(inspect.count("devices") + inspect.count("dev_data"), 1);

        // Nothing was left behind, so the operator simply tries again.
        QCOMPARE(inspect.sql("DROP TRIGGER sabotage;"), QStringList());
        QVERIFY(store->registerNewDevice(meter, 502));
        QVERIFY(store->getRegisteredDevices().contains("00AA11BB"));
        QCOMPARE(inspect.count("dev_data"), 4);
        QCOMPARE(newLogLines(), QStringList());
    }

    void textsStoredAndFoundAsTyped()
    {
        auto store = openStore();
        const QString eui = QStringLiteral("ab'\"; DROP TABLE devices; --");
        const QString name = QStringLiteral("Boiler \"room\"; DELETE FROM dev_data; 'x'");
        const QString unit = QStringLiteral("\"°C\"');");
        SRegisterDescription reg = field(QStringLiteral("Temp \"in\" 'C';"), 0, 32, unit);
        reg.dataType = QStringLiteral("u\"int'eger;");
        QVERIFY(store->registerNewDevice(device(eui, 0, { reg }, name), 502));
        int n = 0;
        for (const char *other : { "O'Brien's", "100% sure", "under_score", "a\\b", "xAByz", "Gamma ab" }) {
            ++n;
            QVERIFY(store->registerNewDevice(device(QString::number(n), 10 * n, sixteenBit(1), other), 502));
        }
        Inspector inspect;
        QCOMPARE(inspect.sql("SELECT name, dev_eui FROM devices WHERE device=1;"),
                 QStringList { name + "|" + eui });
        QCOMPARE(inspect.sql("SELECT name, unit, data_type FROM dev_data WHERE device=1 AND parent=1;"),
                 QStringList { reg.name + "|" + unit + "|" + reg.dataType });
        QVERIFY(store->getRegisteredDevices().contains(eui.toUpper()));
        QVERIFY(store->saveRegisterData(batch(eui, 0, { { 0, "0001" }, { 1, "0002" } })));
        QCOMPARE(store->getRegisterData(502, 0, 2), (Registers { { 0, 1 }, { 1, 2 } }));
        store->updateRegInfo({ 1, 502, { { 0, 1, 1, QStringLiteral("'; DROP TABLE dev_data; \"") } } });
        QCOMPARE(store->getRegisterParam(eui, 0).unit, QStringLiteral("'; DROP TABLE dev_data; \""));

        // The search is a case-insensitive "contains" on the name, LIKE's wildcards
        // taken literally, sorted as SQLite compares text (upper case first).
        const QList<QPair<QString, QStringList>> searches {
            { "", { "100% sure", name, "Gamma ab", "O'Brien's", "a\\b", "under_score", "xAByz" } },
            { "\"room\"; DELETE", { name } },
            { "'", { name, "O'Brien's" } },
            { "aB", { "Gamma ab", "xAByz" } },
            { "%", { "100% sure" } },
            { "_", { name, "under_score" } },
            { "\\", { "a\\b" } }
        };
        for (const auto &search : searches)
            QCOMPARE(names(store->getDevices(search.first)), search.second);
        QCOMPARE(newLogLines(), QStringList());
    }

    void saveRegisterData()
    {
        auto store = openStore();
        QVERIFY(store->registerNewDevice(device("00AA", 100, sixteenBit(3)), 502));
        auto stored = [&] { return store->getRegisterData(502, 100, 3).values(); };
        // Offset 9 has no register: silently nothing.
        auto values = [](const QString &devEui, const QString &first) {
            return batch(devEui, 100, { { 0, first }, { 9, "ffff" }, { 1, "0002" }, { 2, "0003" } });
        };
        SDeviceRegisterData extraOnly = values("00AA", "0001");
        std::swap(extraOnly.registers, extraOnly.extraRegisters);
        QVERIFY(!store->saveRegisterData(SDeviceRegisterData { "00AA", 100, {}, {} }));
        QVERIFY(!store->saveRegisterData(values("00BB", "0001")));
        // The EUI is matched exactly as stored.
        QVERIFY(!store->saveRegisterData(values("00aa", "0001")));
        // Extra values are never written.
        QVERIFY(store->saveRegisterData(extraOnly));
        const QString unknown
            = QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [%1]");
        QCOMPARE(newLogLines(),
                 QStringList({ "INFO: [CDataBaseHandler::saveRegisterData] Empty input data",
                               unknown.arg("00BB"), unknown.arg("00aa") }));
        QCOMPARE(stored(), QList<uint16_t>({ 0, 0, 0 }));

        // A failed update undoes the whole batch, whether the trigger fails the
        // statement or rolls the transaction back, and the batch is a failure.
        Inspector inspect;
        const QStringList failed { "ERROR: [CDataBaseHandler::saveRegisterData] Invalid SQL request [2] "
                                   "Error_text[]",
                                   "    Query [UPDATE dev_data SET value=:value, full_value=:full_value, "
                                   "time=:time WHERE device=:device AND reg_addr=:reg_addr;]" };
        QSignalSpy savedSpy(store.get(), &CDataBaseHandler::registerDataSaved);
        QSignalSpy droppedSpy(store.get(), &CDataBaseHandler::registerDataDropped);
        for (const char *kind : { "ABORT", "ROLLBACK" }) {
            QCOMPARE(inspect.sabotage("UPDATE ON dev_data", "NEW.reg_addr = 102", kind), QStringList());
            QVERIFY(!store->saveRegisterData(values("00AA", "0001")));
            store->queueRegisterData(values("00AA", "0001"));
            const QString set = QStringLiteral("    Set: deviceId[1], regAddr[102]");
            QCOMPARE(newLogLines(), failed + QStringList { set } + failed + QStringList { set });
            QCOMPARE(stored(), QList<uint16_t>({ 0, 0, 0 }));
        }
        QCOMPARE(savedSpy.count(), 0);
        QCOMPARE(droppedSpy.count(), 2);
        QCOMPARE(droppedSpy.at(0).at(0).toString(), QStringLiteral("00AA"));

        // The store carries on normally afterwards.
        QCOMPARE(inspect.sql("DROP TRIGGER sabotage;"), QStringList());
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        store->queueRegisterData(values("00AA", "0004"));
        QCOMPARE(savedSpy.count(), 1);
        QCOMPARE(stored(), QList<uint16_t>({ 4, 2, 3 }));
        QCOMPARE(inspect.sql(
                     QStringLiteral("SELECT reg_addr, full_value FROM dev_data WHERE time BETWEEN %1 AND %2;")
                         .arg(before)
                         .arg(QDateTime::currentMSecsSinceEpoch())),
                 QStringList({ "100|0004-full", "101|0002-full", "102|0003-full" }));
        QCOMPARE(newLogLines(), QStringList());
    }

    // Commits never checkpoint; the store's own thread copies the log into
    // the file, and closing the store leaves no log behind.
    void checkpointsCopyTheLogIntoTheFile()
    {
        auto store = openStore();
        QVERIFY(store->registerNewDevice(device("00AA", 100, sixteenBit(1)), 502));
        QVERIFY(store->saveRegisterData(batch("00AA", 100, { { 0, "0a0b" } })));
        const quint64 before = store->completedCheckpoints();
        // the second may have begun only after the commit
        QTRY_VERIFY(store->completedCheckpoints() >= before + 2);
        QVERIFY(QFile::exists("server.db-wal"));
        QVERIFY(QFile::copy("server.db", "copy.db"));
        const QString value = QStringLiteral("SELECT value FROM dev_data WHERE reg_addr = 100;");
        QCOMPARE(Inspector("copy.db").sql(value), QStringList { "0a0b" });
        store.reset();
        QVERIFY(!QFile::exists("server.db-wal"));
    }

    void registerDataZeroFillsAndSharesPorts()
    {
        auto store = openStore();
        QVERIFY(store->registerNewDevice(device("00AA", 0, sixteenBit(4)), 502));
        QVERIFY(store->registerNewDevice(device("00BB", 4, sixteenBit(4)), 502));
        QVERIFY(store->registerNewDevice(device("00CC", 0, sixteenBit(4)), 503));
        QVERIFY(store->saveRegisterData(batch("00AA", 0, { { 0, "0001" }, { 3, "ffff" } })));
        QVERIFY(store->saveRegisterData(
            batch("00BB", 4, { { 0, "0a0b" }, { 1, "zz" }, { 2, "" }, { 3, "12345" } })));
        QVERIFY(store->saveRegisterData(batch("00CC", 0, { { 1, "7777" } })));

        // Unparsable, empty and oversized texts read as 0; unreceived registers too.
        QCOMPARE(store->getRegisterData(502, 0, 9).values(),
                 QList<uint16_t>({ 1, 0, 0, 0xffff, 0x0a0b, 0, 0, 0, 0 }));
        QCOMPARE(store->getRegisterData(503, 1, 1), (Registers { { 1, 0x7777 } }));
        QCOMPARE(store->getRegisterData(504, 0, 2), (Registers { { 0, 0 }, { 1, 0 } }));
        QVERIFY(store->getRegisterData(502, 0, 0).isEmpty());
        // Addresses wrap at 65536; a count beyond the address space gives each
        // address once instead of looping four billion times.
        QCOMPARE(store->getRegisterData(502, 65535, 2), (Registers { { 0, 0 }, { 65535, 0 } }));
        const Registers all = store->getRegisterData(502, 0, 0xFFFFFFFFu);
        QCOMPARE(all.size(), 65536);
        QCOMPARE(all.value(3), uint16_t(0xffff));
        QCOMPARE(newLogLines(), QStringList());
    }

    void scalingAndDeletion()
    {
        auto store = openStore();
        QVERIFY(store->registerNewDevice(device("00AA", 100, { field("T", 0, 16, "C", -40, 5) }), 502));
        QVERIFY(store->registerNewDevice(device("00BB", 100, sixteenBit(3)), 502));
        // The device list keeps its queries open while the operator works.
        QSqlQuery listing = store->getDevices(QString());
        QSqlQuery registers = store->getRegisters(1);
        QVERIFY(listing.next() && registers.next());
        QVERIFY(store->registerNewDevice(device("00CC", 200, sixteenBit(2)), 502));
        QVERIFY(store->saveRegisterData(batch("00CC", 200, { { 0, "0009" } })));
        QCOMPARE(store->getRegisterData(502, 200, 1), (Registers { { 200, 9 } }));
        QVERIFY(store->deleteDevice(3));
        QCOMPARE(store->getRegisterData(502, 200, 1), (Registers { { 200, 0 } }));
        QVERIFY(listing.next());
        listing.finish(); // an open read would keep the snapshot from before the triggers below
        registers.finish();

        const SRegisterParam param = store->getRegisterParam("00AA", 100);
        QCOMPARE(QVariantList({ param.regAddr, param.startValue, param.gratingPeriod, param.unit }),
                 QVariantList({ 100u, -40, 5, "C" }));
        const SRegisterParam none = store->getRegisterParam("00AA", 101);
        QCOMPARE(QVariantList({ none.regAddr, none.startValue, none.gratingPeriod, none.unit }),
                 QVariantList({ 0u, 0, 1, QString() }));
        QCOMPARE(
            newLogLines(),
            QStringList({ "ERROR: [CDataBaseHandler::getRegisterParam] Register is not exist!",
                          "SELECT * FROM dev_data WHERE dev_data.device IN ( SELECT devices.device FROM "
                          "devices WHERE devices.dev_eui=:dev_eui ) AND dev_data.reg_addr=:reg_addr;" }));

        // A failed entry ends a scaling update; the entries before it stay written.
        Inspector inspect;
        QCOMPARE(inspect.sabotage("UPDATE ON dev_data", "NEW.reg_addr = 101"), QStringList());
        store->updateRegInfo({ 2, 502, { { 100, 1, 2, "a" }, { 101, 3, 4, "b" }, { 102, 5, 6, "c" } } });
        QCOMPARE(
            inspect.sql("SELECT start_value, grating_period, unit FROM dev_data ORDER BY device, reg_addr;"),
            QStringList({ "-40|5|C", "1|2|a", "0|1|", "0|1|" }));
        QCOMPARE(
            newLogLines(),
            QStringList({ "ERROR: [CDataBaseHandler::updateRegInfo] Invalid SQL request [1] Error_text[]",
                          "UPDATE dev_data SET start_value=:start_value, grating_period=:grating_period, "
                          "unit=:unit WHERE device=:device AND reg_addr=:reg_addr;" }));

        // The register rows go only together with the device row.
        QCOMPARE(inspect.sabotage("DELETE ON dev_data"), QStringList());
        QVERIFY(!store->deleteDevice(2));
        QCOMPARE(newLogLines(),
                 QStringList { "[CDataBaseHandler::deleteDevice] Invalid SQL request [2] Error_text[]" });
        QCOMPARE(inspect.count("devices") + inspect.count("dev_data"), 2 + 4);
    }

    void lockedDatabaseRetriesThenDrops()
    {
        auto store = openStore();
        QVERIFY(store->registerNewDevice(device("00AA", 0, sixteenBit(3)), 502));
        QVERIFY(store->registerNewDevice(device("00BB", 10, sixteenBit(1)), 502));
        QVERIFY(store->saveRegisterData(batch("00AA", 0, { { 0, "0001" }, { 1, "0001" }, { 2, "0001" } })));
        QSignalSpy savedSpy(store.get(), &CDataBaseHandler::registerDataSaved);
        QSignalSpy droppedSpy(store.get(), &CDataBaseHandler::registerDataDropped);
        auto stored = [&] { return store->getRegisterData(502, 0, 3).values(); };

        // Everything but a queued batch waits for a lock another program holds.
        QCOMPARE(store->busyTimeoutMs(), 5000);

        // Another program (a database browser, the sqlite3 shell) holds the write lock.
        Inspector other;
        store->setRetryTiming(std::chrono::milliseconds(5), std::chrono::minutes(5));
        QCOMPARE(other.sql("BEGIN IMMEDIATE;"), QStringList());
        store->queueRegisterData(batch("00AA", 0, { { 0, "0002" }, { 1, "0002" }, { 2, "0002" } }));
        store->queueRegisterData(batch("00BB", 10, { { 0, "0b0b" } }));
        store->queueRegisterData(batch("00AA", 0, { { 0, "0003" }, { 1, "0003" }, { 2, "0003" } }));
        // Queued without waiting for the lock; Modbus reads still see the last commit.
        QCOMPARE(store->pendingRegisterData(), 3);
        QTRY_VERIFY(store->lockedAttempts() >= 3);
        QCOMPARE(stored(), QList<uint16_t>({ 1, 1, 1 }));
        QCOMPARE(savedSpy.count() + droppedSpy.count(), 0);

        QCOMPARE(other.sql("COMMIT;"), QStringList());
        QTRY_COMPARE(savedSpy.count(), 3);
        QStringList order;
        for (const QList<QVariant> &signal : qAsConst(savedSpy))
            order.append(signal.at(0).value<SDeviceRegisterData>().registers.at(0).value);
        QCOMPARE(order, QStringList({ "0002", "0b0b", "0003" }));
        QCOMPARE(stored(), QList<uint16_t>({ 3, 3, 3 }));
        QCOMPARE(store->getRegisterData(502, 10, 1).value(10), uint16_t(0x0b0b));
        QCOMPARE(store->busyTimeoutMs(), 5000);

        // Held past the retry window, the batch is dropped and logged, and none
        // of its registers is written.
        store->setRetryTiming(std::chrono::milliseconds(5), std::chrono::milliseconds(50));
        QCOMPARE(other.sql("BEGIN IMMEDIATE;"), QStringList());
        store->queueRegisterData(batch("00AA", 0, { { 0, "0004" }, { 1, "0004" }, { 2, "0004" } }));
        QTRY_COMPARE(droppedSpy.count(), 1);
        QCOMPARE(droppedSpy.at(0).at(0).toString(), QStringLiteral("00AA"));
        QCOMPARE(store->pendingRegisterData(), 0);
        QCOMPARE(other.sql("COMMIT;"), QStringList());
        QCOMPARE(stored(), QList<uint16_t>({ 3, 3, 3 }));
        QCOMPARE(newLogLines(),
                 QStringList { "ERROR: [CDataBaseHandler::queueRegisterData] Data base is locked "
                               "for 50 ms, uplink of [00AA] is dropped" });
        // The next uplink is stored at once.
        store->queueRegisterData(batch("00AA", 0, { { 0, "0005" } }));
        QCOMPARE(savedSpy.count(), 4);
        QCOMPARE(stored(), QList<uint16_t>({ 5, 3, 3 }));
    }

    void negativeBiasAddresses()
    {
        {
            // A row that an earlier build put at the 64-bit sum of start 100 and bias -1.
            auto store = openStore();
            QVERIFY(store->registerNewDevice(device("00CC", 100, sixteenBit(1)), 503));
            QCOMPARE(Inspector().sql("UPDATE dev_data SET reg_addr=4294967395;"), QStringList());
        }
        auto store = openStore();
        QCOMPARE(newLogLines(),
                 QStringList { "WARNING: [CDataBaseHandler] Device [00CC] (ID=1) keeps 1 register row(s) at "
                               "addresses 4294967395..4294967395, outside the Modbus range 0..65535: left as "
                               "they are, never served" });

        // Registration and decoding agree on start + bias as a 32-bit sum; below
        // address 0 it wraps the same way on both sides.
        const auto negative = [](int32_t bias) { return uint32_t(bias); };
        QVERIFY(store->registerNewDevice(
            device("00AA", 100, { field("Wide", negative(-3), 32), field("T", negative(-1), 16) }), 502));
        QVERIFY(store->registerNewDevice(device("00BB", 0, { field("Low", negative(-1), 16) }), 502));
        QVERIFY(
            store->saveRegisterData(batch("00AA", 100, { { -3, "0001" }, { -2, "0002" }, { -1, "0003" } })));
        QVERIFY(store->saveRegisterData(batch("00BB", 0, { { -1, "0004" } })));
        QCOMPARE(store->getRegisterData(502, 97, 4).values(), QList<uint16_t>({ 1, 2, 3, 0 }));
        QCOMPARE(store->getRegisterParam("00AA", 99).regAddr, 99u);
        QCOMPARE(Inspector().sql("SELECT reg_addr, value FROM dev_data WHERE device=3;"),
                 QStringList { "4294967295|0004" });
        QCOMPARE(newLogLines(), QStringList());
    }

    void killedWriterLeavesSoundFile()
    {
        // Kill the writer after different amounts of work; it commits about three
        // times per device, so any moment is likely to fall inside a transaction.
        for (const int target : { 1, 25, 120, 300 }) {
            QProcess writer;
            QStringList reported;
            QMap<QString, int> lastSaved;
            auto consume = [&] {
                while (writer.canReadLine()) {
                    const QList<QByteArray> words = writer.readLine().trimmed().split(' ');
                    if (words.value(0) == "registered")
                        reported.append(QString::fromLatin1(words.value(1)));
                    else if (words.value(0) == "saved")
                        lastSaved[QString::fromLatin1(words.value(1))] = words.value(2).toInt();
                }
            };
            connect(&writer, &QProcess::readyReadStandardOutput, this, consume);
            writer.start(QStringLiteral(TIDEWELL_DBWRITER), QStringList());
            QTRY_VERIFY_WITH_TIMEOUT(reported.size() >= target || writer.state() == QProcess::NotRunning,
                                     120000);
            QCOMPARE(writer.state(), QProcess::Running);
            writer.kill();
            QVERIFY(writer.waitForFinished());
            consume();
            // Committed work still sits in the log file, so opening must recover it.
            QVERIFY(QFileInfo(QStringLiteral("server.db-wal")).size() > 0);
            {
                Inspector inspect;
                QCOMPARE(inspect.sql("PRAGMA integrity_check;"), QStringList { "ok" });
                const QStringList present = inspect.sql("SELECT dev_eui FROM devices;");
                for (const QString &eui : qAsConst(reported))
                    QVERIFY2(present.contains(eui), qPrintable(eui));
                // Registration is never half done.
                QCOMPARE(inspect.count("devices d",
                                       "(SELECT COUNT(*) FROM dev_data r WHERE r.device = d.device) <> 14"),
                         0);
                // A reported batch is there in full (or overwritten by a later one).
                for (auto it = lastSaved.cbegin(); it != lastSaved.cend(); ++it) {
                    const QStringList values = inspect.sql(
                        QStringLiteral("SELECT DISTINCT r.value FROM dev_data r JOIN devices d ON r.device = "
                                       "d.device WHERE d.dev_eui = '%1';")
                            .arg(it.key()));
                    QVERIFY2(values.size() == 1 && values[0].toInt(nullptr, 16) >= it.value(),
                             qPrintable(it.key()));
                }
            }
            // The store opens the file as usual and goes on where the writer stopped.
            auto store = openStore();
            QVERIFY(store->getRegisteredDevices().size() >= reported.size());
            QVERIFY(store->registerNewDevice(device("FFFF", 0, sixteenBit(1)), 502));
            store.reset();
            for (const char *suffix : { "", "-wal", "-shm" })
                QFile::remove(QStringLiteral("server.db") + suffix);
        }
    }
};

QTEST_MAIN(tst_DataBaseHandler)
#include "tst_databasehandler.moc"
