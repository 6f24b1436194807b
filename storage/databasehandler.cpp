#include "storage/databasehandler.h"

#include "app/constants.h"
#include "app/globaldata.h"
#include "app/logfile.h"
#include "storage/registerwords.h"

#include <QDateTime>
#include <QDebug>
#include <QLoggingCategory>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <optional>

using namespace DB;

namespace {

Q_LOGGING_CATEGORY(lcStore, "tidewell.storage", QtWarningMsg)

const QString QS_DB_DRIVER = QStringLiteral("QSQLITE");
// How long operations other than queued batches wait for another
// connection's write lock (the driver's own default, made explicit).
const int kBusyTimeoutMs = 5000;
// Batches written per pass of the retry timer once the lock is free again, so
// that a backlog does not hold Modbus answers back.
const int kBatchesPerPass = 16;

// Write-ahead log size kept after a checkpoint has copied all of it: a log
// that grew while a reader held it back (or took a full disk's last bytes) is
// cut back to this once it can be, instead of keeping its largest size.
const int kJournalSizeLimit = 4 * 1024 * 1024;

int primaryCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xff;
    return ok ? code : -1;
}

// SQLite's primary result codes for "another connection holds the lock", and
// for a full disk: both pass by themselves, so a batch waits and is retried.
bool isLocked(const QSqlError &error)
{
    const int code = primaryCode(error);
    return code == 5 /* SQLITE_BUSY */ || code == 6 /* SQLITE_LOCKED */ || code == 13 /* SQLITE_FULL */;
}

// SQLite's own reason, appended to the store's messages.
QString errorText(const QSqlError &error)
{
    return QStringLiteral(" Error_text[%1]").arg(error.text());
}

QString errorText(const QSqlQuery *query, const QSqlDatabase &db)
{
    return errorText(query ? query->lastError() : db.lastError());
}

QString batchKey(const SDeviceRegisterData &data)
{
    // One packet type writes one set of registers.
    QString key = data.devEui;
    for (const SRegisterValue &value : data.registers)
        key += QLatin1Char('/') + QString::number(value.offset);
    return key;
}

// Start-up messages go to the debug output as well, since the log file may be
// what the operator cannot see when the store is down.
void report(const QString &text)
{
    qDebug().noquote() << text;
    addLog(text);
}

// Texts that the original statements wrote between quotes: an absent text is
// stored as an empty one, never as NULL.
QVariant quotedText(const QString &text)
{
    return text.isNull() ? QVariant(QString::fromLatin1("")) : QVariant(text);
}

// LIKE pattern that matches the search text literally anywhere in the value;
// pairs with ESCAPE '\' in the statement.
QString containsPattern(const QString &search)
{
    QString escaped;
    escaped.reserve(search.size() + 8);
    for (const QChar c : search) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('%') || c == QLatin1Char('_'))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    return QLatin1Char('%') + escaped + QLatin1Char('%');
}

// Runs a kept statement with its one parameter; false when the statement could
// not be prepared or fails.
bool execWith(QSqlQuery *query, const QString &bindName, const QVariant &value)
{
    if (!query)
        return false;
    query->bindValue(bindName, value);
    return query->exec();
}

// The first column of the first row as a device id, the statement finished;
// nothing when there is no row.
std::optional<uint32_t> takeDeviceId(QSqlQuery *query)
{
    std::optional<uint32_t> id;
    if (query->next())
        id = query->value(0).toUInt();
    query->finish();
    return id;
}

bool abandon(QSqlDatabase &db, const QString &message)
{
    addLog(message);
    db.rollback();
    return false;
}

// The same inside a transaction that the caller rolls back.
bool refuse(const QString &message)
{
    addLog(message);
    return false;
}

} // namespace

CDataBaseHandler::CDataBaseHandler(const QString &fileName, const QString &connectionName, QObject *parent)
    : QObject(parent)
    , m_connectionName(connectionName)
{
    qRegisterMetaType<SDeviceRegisterData>("SDeviceRegisterData");
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &CDataBaseHandler::retryPending);

    m_db = QSqlDatabase::addDatabase(QS_DB_DRIVER, connectionName);
    m_db.setDatabaseName(fileName);
    if (!m_db.open()) {
        m_failure = m_db.lastError().text();
        fail(QStringLiteral("CRITICAL_ERROR! Data base hasn't been created/opened! Error_text[%1]. "
                            "DataBaseHandler is not running!")
                 .arg(m_db.lastError().text()));
        return;
    }
    // Nothing is written before the file has shown that it is a sound
    // database this process may write: a file that is not is left exactly as
    // it was found, for its owner to look at.
    if (!checkUsable())
        return;

    // The column lists are constants of app/schema.h; their sizes are checked
    // where they are defined (static_assert), no longer at run time.
    const QString notCreated = QStringLiteral("ERROR! Table \"%1\" is not created!");

    QString sql
        = QStringLiteral("CREATE TABLE IF NOT EXISTS %1 ( %2 INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL "
                         "UNIQUE, %3 TEXT, %4 TEXT, %5 TEXT, %6 INTEGER, %7 INTEGER ); ")
              .arg(QS_DB_TABLE_DEVICES);
    for (const QString &column : qAsConst(QSL_GLOB_DEVICES_FIELDS))
        sql = sql.arg(column);
    if (!execute(sql)) {
        failTable(notCreated.arg(QS_DB_TABLE_DEVICES), QS_DB_TABLE_DEVICES);
        return;
    }

    sql = QStringLiteral(
              "CREATE TABLE IF NOT EXISTS %1 ( %2 INTEGER NOT NULL, %3 INTEGER, %4 INTEGER, %5 INTEGER, "
              "%6 INTEGER, %7 INTEGER, %8 TEXT, %9 TEXT DEFAULT NULL, %10 TEXT DEFAULT NULL, %11 INTEGER "
              "DEFAULT NULL, %12 TEXT DEFAULT NULL, %13 TEXT DEFAULT NULL, %14 INTEGER, %15 INTEGER ); ")
              .arg(QS_DB_TABLE_DEV_DATA);
    for (const QString &column : qAsConst(QSL_GLOB_DEV_DATA_FIELDS))
        sql = sql.arg(column);
    if (!execute(sql)) {
        failTable(notCreated.arg(QS_DB_TABLE_DEV_DATA), QS_DB_TABLE_DEV_DATA);
        return;
    }

    // Only now, with the tables known to be there: switching the journal
    // writes to the file.
    // Write-ahead log: a commit is one append, readers never block the writer,
    // and a killed process loses nothing that was committed.
    const std::optional<QString> journal = pragma(QStringLiteral("PRAGMA journal_mode=WAL;"));
    if (!journal || journal->compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        failUnusable(
            QStringLiteral("its write-ahead log cannot be used (%1)").arg(journal.value_or(m_failure)));
        return;
    }
    // Checkpoints run on a thread of their own (CWalCheckpointer), not inside
    // whichever commit happens to fill the log.
    for (const QString &setting :
         { QStringLiteral("PRAGMA synchronous=NORMAL;"), QStringLiteral("PRAGMA wal_autocheckpoint=0;"),
           QStringLiteral("PRAGMA journal_size_limit=%1;").arg(kJournalSizeLimit) }) {
        if (!pragma(setting)) {
            failUnusable(m_failure);
            return;
        }
    }
    setBusyTimeout(kBusyTimeoutMs);

    // Unit ids live in a table of their own: the two tables above keep the
    // layout every earlier build wrote and reads, and a build that does not
    // know unit ids opens this file and ignores them.
    if (!execute(QStringLiteral("CREATE TABLE IF NOT EXISTS %1 ( %2 INTEGER PRIMARY KEY NOT NULL, %3 INTEGER "
                                "NOT NULL );")
                     .arg(DB::UNITS_TABLE, DB::UNITS_DEVICE, DB::UNITS_UNIT_ID)))
        report(notCreated.arg(DB::UNITS_TABLE));
    // A build without unit ids deletes devices without their unit row; device
    // ids are never given twice (AUTOINCREMENT), so such a row only waits here.
    execute(QStringLiteral("DELETE FROM %1 WHERE %2 NOT IN (SELECT %3 FROM %4);")
                .arg(DB::UNITS_TABLE, DB::UNITS_DEVICE, QSL_GLOB_DEVICES_FIELDS[0], QS_DB_TABLE_DEVICES));
    createIndexes();
    buildStatements();
    reportUnreachableRegisters();
    m_checkpointer
        = std::make_unique<CWalCheckpointer>(fileName, connectionName + QStringLiteral("-checkpoint"));
}

CDataBaseHandler::~CDataBaseHandler()
{
    // Stopped first: no checkpoint runs while the store closes its connection.
    m_checkpointer.reset();
    m_statements.clear();
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
}

void CDataBaseHandler::fail(const QString &message)
{
    report(message);
    m_failed = true;
    m_connection = nullptr;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

// One-off statements run on a query of their own, so none is left open when a
// failed start removes the connection.
bool CDataBaseHandler::execute(const QString &sql)
{
    QSqlQuery query(m_db);
    if (query.exec(sql))
        return true;
    m_failure = query.lastError().databaseText();
    return false;
}

std::optional<QString> CDataBaseHandler::pragma(const QString &sql)
{
    QSqlQuery query(m_db);
    if (!query.exec(sql)) {
        m_failure = query.lastError().databaseText();
        return std::nullopt;
    }
    return query.next() ? query.value(0).toString() : QString();
}

void CDataBaseHandler::failUnusable(const QString &reason)
{
    m_failure = reason;
    fail(QStringLiteral("CRITICAL_ERROR! Data base [%1] is not usable: %2. DataBaseHandler is not running!")
             .arg(m_db.databaseName(), reason));
}

void CDataBaseHandler::failTable(const QString &message, const QString &table)
{
    const QString reason = m_failure;
    m_failure = QStringLiteral("table \"%1\" cannot be created (%2)").arg(table, reason);
    fail(message + QStringLiteral(" Error_text[%1]").arg(reason));
}

bool CDataBaseHandler::checkUsable()
{
    // Every page is read: a file cut short or overwritten, or one that is no
    // database at all, fails here before anything is written to it.
    {
        QSqlQuery query(m_db);
        if (!query.exec(QStringLiteral("PRAGMA quick_check;"))) {
            failUnusable(query.lastError().databaseText());
            return false;
        }
        QStringList problems;
        while (query.next() && problems.size() < 3)
            problems << query.value(0).toString();
        if (problems != QStringList { QStringLiteral("ok") }) {
            failUnusable(QStringLiteral("its check found %1").arg(problems.join(QStringLiteral("; "))));
            return false;
        }
    }
    // SQLite opens a file it may not write for reading only and says so only
    // at the first write; one made and rolled back asks now.
    QSqlQuery query(m_db);
    const bool writable = query.exec(QStringLiteral("BEGIN IMMEDIATE;"))
        && query.exec(QStringLiteral("CREATE TABLE tidewell_write_check (x INTEGER);"));
    const QString reason = query.lastError().databaseText();
    query.exec(QStringLiteral("ROLLBACK;"));
    if (!writable) {
        failUnusable(QStringLiteral("it cannot be written (%1)").arg(reason));
        return false;
    }
    return true;
}

bool CDataBaseHandler::setBusyTimeout(int ms)
{
    // On the connection itself where the driver hands it out: the pragma acts
    // while it is prepared, so SQLite prepares it again on every run, and each
    // uplink sets the timeout twice (a sixth of its time went there).
    if (!m_connection && m_db.isOpen()) {
        const QVariant handle = m_db.driver()->handle();
        if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0)
            m_connection = *static_cast<sqlite3 *const *>(handle.constData());
    }
    if (m_connection)
        return sqlite3_busy_timeout(m_connection, ms) == SQLITE_OK;
    QSqlQuery *query = statement(QStringLiteral("PRAGMA busy_timeout=%1;").arg(ms));
    const bool ok = query && query->exec();
    if (query)
        query->finish();
    return ok;
}

int CDataBaseHandler::busyTimeoutMs()
{
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("PRAGMA busy_timeout;")) || !query.next())
        return -1;
    return query.value(0).toInt();
}

// Earlier builds put the rows of a negative register bias at a 64-bit sum far
// above the Modbus address space. Such rows are left alone, since they may be
// all an operator has of a device, but they can never be read, so say so.
void CDataBaseHandler::reportUnreachableRegisters()
{
    const QStringList &dev = QSL_GLOB_DEVICES_FIELDS;
    const QStringList &reg = QSL_GLOB_DEV_DATA_FIELDS;
    const QString sql
        = QStringLiteral("SELECT r.%3, d.%4, MIN(r.%5), MAX(r.%5), COUNT(*) FROM %1 r LEFT JOIN "
                         "%2 d ON d.%6 = r.%3 WHERE r.%5 < 0 OR r.%5 > 65535 GROUP BY r.%3 "
                         "ORDER BY r.%3;")
              .arg(QS_DB_TABLE_DEV_DATA, QS_DB_TABLE_DEVICES, reg[REG_COL_DEVICE], dev[DEV_COL_DEV_EUI],
                   reg[REG_COL_ADDR], dev[DEV_COL_ID]);
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.exec(sql))
        return;
    while (query.next()) {
        addLog(QStringLiteral("WARNING: [CDataBaseHandler] Device [%1] (ID=%2) keeps %3 register row(s) at "
                              "addresses %4..%5, outside the Modbus range 0..65535: left as they are, never "
                              "served")
                   .arg(query.value(1).toString(), query.value(0).toString(), query.value(4).toString(),
                        query.value(2).toString(), query.value(3).toString()));
    }
}

QHash<uint32_t, QString> CDataBaseHandler::unservableDevices()
{
    QHash<uint32_t, QString> reasons;
    const QStringList &dev = QSL_GLOB_DEVICES_FIELDS;
    const QStringList &reg = QSL_GLOB_DEV_DATA_FIELDS;
    auto collect = [this, &reasons](const QString &sql,
                                    const std::function<QString(const QSqlQuery &)> &why) {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (!query.exec(sql)) {
            addLog(QStringLiteral("ERROR: [CDataBaseHandler::unservableDevices] Invalid SQL request [%1]")
                       .arg(sql)
                   + errorText(query.lastError()));
            return;
        }
        while (query.next()) {
            const uint32_t id = query.value(0).toUInt();
            if (!reasons.contains(id))
                reasons.insert(id, why(query));
        }
    };
    collect(QStringLiteral("SELECT %2, %3, %4 FROM %1 WHERE typeof(%4) != 'integer' OR %4 < 1 OR %4 > 65535;")
                .arg(QS_DB_TABLE_DEVICES, dev[DEV_COL_ID], dev[DEV_COL_DEV_EUI], dev[DEV_COL_PORT]),
            [](const QSqlQuery &q) {
                return QStringLiteral("DevEUI [%1]: port [%2] is outside 1..65535")
                    .arg(q.value(1).toString(), q.isNull(2) ? QStringLiteral("NULL") : q.value(2).toString());
            });
    collect(
        QStringLiteral("SELECT d.%2, d.%3, MIN(r.%5), MAX(r.%5) FROM %1 d JOIN %4 r ON r.%6 = d.%2 GROUP BY "
                       "d.%2 HAVING MIN(r.%5) < 0 OR MAX(r.%5) > 65535;")
            .arg(QS_DB_TABLE_DEVICES, dev[DEV_COL_ID], dev[DEV_COL_DEV_EUI], QS_DB_TABLE_DEV_DATA,
                 reg[REG_COL_ADDR], reg[REG_COL_DEVICE]),
        [](const QSqlQuery &q) {
            return QStringLiteral("DevEUI [%1]: registers %2..%3 pass 65535")
                .arg(q.value(1).toString(), q.value(2).toString(), q.value(3).toString());
        });
    collect(
        QStringLiteral("SELECT d.%2, d.%3, MIN(e.%2) FROM %1 d JOIN %1 e ON UPPER(e.%3) = UPPER(d.%3) AND "
                       "e.%2 < d.%2 GROUP BY d.%2;")
            .arg(QS_DB_TABLE_DEVICES, dev[DEV_COL_ID], dev[DEV_COL_DEV_EUI]),
        [](const QSqlQuery &q) {
            return QStringLiteral("DevEUI [%1] is served as device ID=%2")
                .arg(q.value(1).toString(), q.value(2).toString());
        });
    return reasons;
}

void CDataBaseHandler::createIndexes()
{
    const QStringList &dev = QSL_GLOB_DEVICES_FIELDS;
    const QStringList &reg = QSL_GLOB_DEV_DATA_FIELDS;
    // Modbus reads select by port and address, uplinks by device and address,
    // and every uplink looks its device up by EUI.
    const QString tpl = QStringLiteral("CREATE INDEX IF NOT EXISTS %1_%2_%3 ON %1 (%2, %3);");
    const QStringList statements = {
        tpl.arg(QS_DB_TABLE_DEV_DATA, reg[REG_COL_PORT], reg[REG_COL_ADDR]),
        tpl.arg(QS_DB_TABLE_DEV_DATA, reg[REG_COL_DEVICE], reg[REG_COL_ADDR]),
        QStringLiteral("CREATE INDEX IF NOT EXISTS %1_%2 ON %1 (%2);")
            .arg(QS_DB_TABLE_DEVICES, dev[DEV_COL_DEV_EUI]),
    };
    QSqlQuery query(m_db);
    for (const QString &sql : statements) {
        if (!query.exec(sql))
            qDebug().noquote() << QStringLiteral(
                                      "WARNING: [CDataBaseHandler] Index is not created [%1] Error_text[%2]")
                                      .arg(sql, query.lastError().text());
    }
}

void CDataBaseHandler::buildStatements()
{
    const QStringList &dev = QSL_GLOB_DEVICES_FIELDS;
    const QStringList &reg = QSL_GLOB_DEV_DATA_FIELDS;
    const QString &devices = QS_DB_TABLE_DEVICES;
    const QString &devData = QS_DB_TABLE_DEV_DATA;

    // Bind names are built once: operations run many thousand times a second.
    m_devicesBind.clear();
    for (const QString &column : dev)
        m_devicesBind.append(QLatin1Char(':') + column);
    m_devDataBind.clear();
    for (const QString &column : reg)
        m_devDataBind.append(QLatin1Char(':') + column);
    m_bindFirstAddr = QStringLiteral(":first_") + reg[REG_COL_ADDR];
    m_bindLastAddr = QStringLiteral(":last_") + reg[REG_COL_ADDR];

    const QString deleteTpl = QStringLiteral("DELETE FROM %1 WHERE %2=:%2;");
    m_sqlDeleteDevice = deleteTpl.arg(devices, dev[DEV_COL_ID]);
    m_sqlDeleteData = deleteTpl.arg(devData, reg[REG_COL_DEVICE]);
    m_sqlDeleteUnit = deleteTpl.arg(DB::UNITS_TABLE, DB::UNITS_DEVICE);
    m_sqlInsertUnit = QStringLiteral("INSERT OR REPLACE INTO %1 (%2, %3) VALUES (:%2, :%3);")
                          .arg(DB::UNITS_TABLE, DB::UNITS_DEVICE, DB::UNITS_UNIT_ID);

    // The devices table's columns in their order, then the unit id.
    const QString selectTpl = QStringLiteral("SELECT d.*, u.%4 FROM %1 d LEFT JOIN %5 u ON u.%6 = d.%7 %2 "
                                             "ORDER BY d.%3 ASC;");
    m_sqlDevicesAll = selectTpl.arg(devices, QString(), dev[DEV_COL_NAME], DB::UNITS_UNIT_ID, DB::UNITS_TABLE,
                                    DB::UNITS_DEVICE, dev[DEV_COL_ID]);
    m_sqlDevicesSearch = selectTpl.arg(
        devices, QStringLiteral("WHERE d.%1 LIKE :%1 ESCAPE '\\'").arg(dev[DEV_COL_NAME]), dev[DEV_COL_NAME],
        DB::UNITS_UNIT_ID, DB::UNITS_TABLE, DB::UNITS_DEVICE, dev[DEV_COL_ID]);

    m_sqlRegisters = QStringLiteral("SELECT * FROM %1 WHERE %2=:%2 AND %3=1 ORDER BY %4 ASC;")
                         .arg(devData, reg[REG_COL_DEVICE], reg[REG_COL_PARENT], reg[REG_COL_ADDR]);
    m_sqlRegisterRows
        = QStringLiteral("SELECT %5, %6, %7, %8, %9, %10, %11, %12, %13, %14 FROM %1 "
                         "WHERE %2=:%2 AND %3=1 ORDER BY %4 ASC;")
              .arg(devData, reg[REG_COL_DEVICE], reg[REG_COL_PARENT], reg[REG_COL_ADDR], reg[REG_COL_ADDR],
                   reg[REG_COL_NAME], reg[REG_COL_DATA_TYPE], reg[REG_COL_BIT_SIZE], reg[REG_COL_SOURCE])
              .arg(reg[REG_COL_FULL_VALUE], reg[REG_COL_UNIT], reg[REG_COL_GRATING_PERIOD],
                   reg[REG_COL_START_VALUE], reg[REG_COL_TIME]);
    m_sqlDeviceIdByEui = QStringLiteral("SELECT %2 FROM %1 WHERE %3=:%3;")
                             .arg(devices, dev[DEV_COL_ID], dev[DEV_COL_DEV_EUI]);

    const QString updateTpl = QStringLiteral("UPDATE %1 SET %2=:%2, %3=:%3, %4=:%4 WHERE %5=:%5 AND %6=:%6;");
    m_sqlSaveData = updateTpl.arg(devData, reg[REG_COL_VALUE], reg[REG_COL_FULL_VALUE], reg[REG_COL_TIME],
                                  reg[REG_COL_DEVICE], reg[REG_COL_ADDR]);
    m_sqlUpdateRegInfo = updateTpl.arg(devData, reg[REG_COL_START_VALUE], reg[REG_COL_GRATING_PERIOD],
                                       reg[REG_COL_UNIT], reg[REG_COL_DEVICE], reg[REG_COL_ADDR]);

    const QString paramTpl = QStringLiteral(
        "SELECT %7 FROM %1 WHERE %1.%3 IN ( SELECT %2.%4 FROM %2 WHERE %2.%5=:%5 ) AND %1.%6=:%6;");
    m_sqlRegisterParam = registerParamStatement();
    // Only the scaling columns are fetched; the log names the request as above.
    m_sqlRegisterParamRun = paramTpl.arg(
        devData, devices, reg[REG_COL_DEVICE], dev[DEV_COL_ID], dev[DEV_COL_DEV_EUI], reg[REG_COL_ADDR],
        QStringList({ reg[REG_COL_START_VALUE], reg[REG_COL_GRATING_PERIOD], reg[REG_COL_UNIT] })
            .join(QStringLiteral(", ")));
    m_sqlRegisteredDevices = QStringLiteral("SELECT %2 FROM %1;").arg(devices, dev[DEV_COL_DEV_EUI]);
    m_sqlCountByEui
        = QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2=:%2;").arg(devices, dev[DEV_COL_DEV_EUI]);
    m_sqlInsertDevice
        = QStringLiteral("INSERT INTO %1 (%2, %3, %4, %5, %6) VALUES (:%2, :%3, :%4, :%5, :%6);")
              .arg(devices, dev[DEV_COL_NAME], dev[DEV_COL_APP_EUI], dev[DEV_COL_DEV_EUI], dev[DEV_COL_PORT],
                   dev[DEV_COL_START_ADDR]);

    QString insertRegister
        = QStringLiteral("INSERT INTO %1 (%2, %3, %4, %5, %6, %7, %8, %9, %10, %11, %12) VALUES "
                         "(:%2, :%3, :%4, :%5, :%6, :%7, :%8, :%9, :%10, :%11, :%12);")
              .arg(devData);
    for (const int column :
         { REG_COL_DEVICE, REG_COL_PORT, REG_COL_ADDR, REG_COL_START_VALUE, REG_COL_GRATING_PERIOD,
           REG_COL_BIT_SIZE, REG_COL_DATA_TYPE, REG_COL_NAME, REG_COL_PARENT, REG_COL_SOURCE, REG_COL_UNIT })
        insertRegister = insertRegister.arg(reg[column]);
    m_sqlInsertRegister = insertRegister;

    // Modbus reads need four columns only; fetching all fourteen would cost most
    // of the call. The failure message still names the request in full.
    m_sqlRegisterData
        = QStringLiteral("SELECT %3, %4, %5, %6 FROM %1 WHERE %2=:%2 AND %3 BETWEEN :first_%3 AND :last_%3;")
              .arg(devData, reg[REG_COL_PORT], reg[REG_COL_ADDR], reg[REG_COL_VALUE], reg[REG_COL_DEVICE],
                   reg[REG_COL_DATA_TYPE]);
}

QString CDataBaseHandler::registerParamStatement()
{
    const QStringList &dev = QSL_GLOB_DEVICES_FIELDS;
    const QStringList &reg = QSL_GLOB_DEV_DATA_FIELDS;
    return QStringLiteral(
               "SELECT * FROM %1 WHERE %1.%3 IN ( SELECT %2.%4 FROM %2 WHERE %2.%5=:%5 ) AND %1.%6=:%6;")
        .arg(QS_DB_TABLE_DEV_DATA, QS_DB_TABLE_DEVICES, reg[REG_COL_DEVICE], dev[DEV_COL_ID],
             dev[DEV_COL_DEV_EUI], reg[REG_COL_ADDR]);
}

QString CDataBaseHandler::registerDataText(uint32_t port, uint32_t startAddr, uint32_t count) const
{
    return QStringLiteral("SELECT * FROM %1 WHERE %2=%3 AND %4 BETWEEN %5 AND %6;")
        .arg(QS_DB_TABLE_DEV_DATA, QSL_GLOB_DEV_DATA_FIELDS[REG_COL_PORT], QString::number(port),
             QSL_GLOB_DEV_DATA_FIELDS[REG_COL_ADDR], QString::number(startAddr),
             QString::number(qint64(startAddr) + count - 1));
}

QSqlQuery *CDataBaseHandler::statement(const QString &sql)
{
    auto it = m_statements.find(sql);
    if (it != m_statements.end())
        return &it->second;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return nullptr;
    return &m_statements.emplace(sql, query).first->second;
}

bool CDataBaseHandler::beginTransaction(const QString &origin)
{
    if (m_db.transaction())
        return true;
    addLog(QStringLiteral("ERROR: [CDataBaseHandler::%1] Transaction is not started! Error_text[%2]")
               .arg(origin, m_db.lastError().text()));
    return false;
}

bool CDataBaseHandler::commitTransaction(const QString &origin)
{
    if (m_db.commit())
        return true;
    addLog(QStringLiteral("ERROR: [CDataBaseHandler::%1] Transaction is not committed! Error_text[%2]")
               .arg(origin, m_db.lastError().text()));
    m_db.rollback();
    return false;
}

bool CDataBaseHandler::deleteDevice(uint32_t deviceId)
{
    // Both deletions or neither: register rows left without their device would
    // still answer Modbus reads on the port.
    if (!beginTransaction(QStringLiteral("deleteDevice")))
        return false;

    QSqlQuery *query = statement(m_sqlDeleteDevice);
    if (!execWith(query, m_devicesBind[DEV_COL_ID], deviceId))
        return abandon(m_db,
                       QStringLiteral("[CDataBaseHandler::deleteDevice] Invalid SQL request [1]")
                           + errorText(query, m_db));
    query = statement(m_sqlDeleteData);
    if (!execWith(query, m_devDataBind[REG_COL_DEVICE], deviceId))
        return abandon(m_db,
                       QStringLiteral("[CDataBaseHandler::deleteDevice] Invalid SQL request [2]")
                           + errorText(query, m_db));
    query = statement(m_sqlDeleteUnit);
    if (!execWith(query, QLatin1Char(':') + DB::UNITS_DEVICE, deviceId))
        return abandon(m_db,
                       QStringLiteral("[CDataBaseHandler::deleteDevice] Invalid SQL request [3]")
                           + errorText(query, m_db));
    return commitTransaction(QStringLiteral("deleteDevice"));
}

QSqlQuery CDataBaseHandler::getDevices(const QString &search)
{
    QSqlQuery query(m_db);
    bool ok = false;
    if (search.isEmpty()) {
        ok = query.exec(m_sqlDevicesAll);
    } else if (query.prepare(m_sqlDevicesSearch)) {
        query.bindValue(m_devicesBind[DEV_COL_NAME], containsPattern(search));
        ok = query.exec();
    }
    if (!ok)
        addLog(QStringLiteral("[CDataBaseHandler::getDevices] Invalid SQL request [1]")
               + errorText(query.lastError()));
    return query;
}

QSqlQuery CDataBaseHandler::getRegisters(uint32_t deviceId)
{
    QSqlQuery query(m_db);
    bool ok = false;
    if (query.prepare(m_sqlRegisters)) {
        query.bindValue(m_devDataBind[REG_COL_DEVICE], deviceId);
        ok = query.exec();
    }
    if (!ok)
        addLog(QStringLiteral("[CDataBaseHandler::getRegisters] Invalid SQL request [1]")
               + errorText(query.lastError()));
    return query;
}

QSqlQuery *CDataBaseHandler::registerRows(uint32_t deviceId)
{
    QSqlQuery *query = statement(m_sqlRegisterRows);
    if (!query)
        return nullptr;
    query->bindValue(m_devDataBind[REG_COL_DEVICE], deviceId);
    if (query->exec())
        return query;
    addLog(QStringLiteral("[CDataBaseHandler::registerRows] Invalid SQL request [1]")
           + errorText(query->lastError()));
    return nullptr;
}

bool CDataBaseHandler::saveRegisterData(const SDeviceRegisterData &data)
{
    return writeBatch(data, true) == EBatchResult::Stored;
}

void CDataBaseHandler::queueRegisterData(const SDeviceRegisterData &data)
{
    // Behind batches that are already waiting, a new one waits its turn.
    if (m_pending.isEmpty()) {
        const EBatchResult result = writeBatch(data, false);
        if (result != EBatchResult::Locked) {
            finishBatch(data, result);
            return;
        }
    }
    if (m_pending.push(batchKey(data), { data, std::chrono::steady_clock::now() })) {
        if (!m_replacedReport.isValid() || m_replacedReport.elapsed() >= 60000) {
            m_replacedReport.start();
            addLog(
                QStringLiteral("WARNING: [CDataBaseHandler::queueRegisterData] More than %1 uplinks wait to "
                               "be written: %2 replaced by a newer one of the same device and packet type")
                    .arg(m_pending.limit())
                    .arg(m_pending.replaced() - m_replacedLogged));
            m_replacedLogged = m_pending.replaced();
        }
    }
    if (!m_retryTimer.isActive())
        m_retryTimer.start(m_retryInterval);
}

void CDataBaseHandler::noteRetryCause(const QSqlError &error)
{
    if (primaryCode(error) != 13) {
        ++m_lockedAttempts;
        return;
    }
    m_retryCause = error.text();
    if (!m_diskFull) {
        m_diskFull = true;
        addLog(QStringLiteral("WARNING: [CDataBaseHandler] Data base cannot be written: uplinks wait and are "
                              "retried.")
               + errorText(error));
    }
}

void CDataBaseHandler::setRetryTiming(std::chrono::milliseconds interval, std::chrono::milliseconds window)
{
    m_retryInterval = interval;
    m_retryWindow = window;
}

void CDataBaseHandler::retryPending()
{
    bool locked = false;
    for (int written = 0; !m_pending.isEmpty() && written < kBatchesPerPass; ++written) {
        const EBatchResult result = writeBatch(m_pending.first().data, false);
        if (result == EBatchResult::Locked) {
            locked = true;
            break;
        }
        const SDeviceRegisterData done = m_pending.takeFirst().data;
        finishBatch(done, result);
    }
    if (locked) {
        // Batches whose window has passed had their last try now (or, behind
        // the first one, could not have been written before it anyway).
        const auto now = std::chrono::steady_clock::now();
        while (!m_pending.isEmpty() && now - m_pending.first().arrival >= m_retryWindow) {
            const QString devEui = m_pending.takeFirst().data.devEui;
            if (m_diskFull)
                addLog(
                    QStringLiteral("ERROR: [CDataBaseHandler::queueRegisterData] Data base cannot be written "
                                   "for %1 ms, uplink of [%2] is dropped Error_text[%3]")
                        .arg(m_retryWindow.count())
                        .arg(devEui, m_retryCause));
            else
                addLog(
                    QStringLiteral("ERROR: [CDataBaseHandler::queueRegisterData] Data base is locked for %1 "
                                   "ms, uplink of [%2] is dropped")
                        .arg(m_retryWindow.count())
                        .arg(devEui));
            emit registerDataDropped(devEui);
        }
    }
    if (!m_pending.isEmpty() && !m_retryTimer.isActive())
        m_retryTimer.start(locked ? m_retryInterval : std::chrono::milliseconds(0));
}

void CDataBaseHandler::finishBatch(const SDeviceRegisterData &data, EBatchResult result)
{
    if (result == EBatchResult::Stored && m_diskFull) {
        m_diskFull = false;
        addLog(QStringLiteral("INFO: [CDataBaseHandler] Data base is written again"));
    }
    if (result == EBatchResult::Stored) {
        SDeviceRegisterData stored = data;
        stored.storedMs = m_batchStoredMs;
        emit registerDataSaved(stored);
    } else
        emit registerDataDropped(data.devEui);
}

CDataBaseHandler::EBatchResult CDataBaseHandler::writeBatch(const SDeviceRegisterData &data, bool wait)
{
    if (data.registers.isEmpty() && data.extraRegisters.isEmpty()) {
        addLog(QStringLiteral("INFO: [CDataBaseHandler::saveRegisterData] Empty input data"));
        return EBatchResult::Failed;
    }
    const QString origin = QStringLiteral("saveRegisterData");

    // One uplink, one transaction that takes the write lock before anything
    // else: a transaction that reads first cannot wait for the lock when it
    // then writes, and every update of it would fail. Without waiting, a
    // locked database is reported at once and the caller tries again later.
    if (!wait)
        setBusyTimeout(0);
    QSqlQuery *begin = statement(QStringLiteral("BEGIN IMMEDIATE;"));
    const bool begun = m_writeFault == 0 && begin && begin->exec();
    if (!wait)
        setBusyTimeout(kBusyTimeoutMs);
    if (!begun) {
        const QSqlError error = m_writeFault != 0
            ? QSqlError(QString(), QStringLiteral("database or disk is full"), QSqlError::TransactionError,
                        QString::number(m_writeFault))
            : begin ? begin->lastError()
                    : m_db.lastError();
        if (!wait && isLocked(error)) {
            noteRetryCause(error);
            qCDebug(lcStore) << "batch of" << data.devEui << "finds the database locked";
            return EBatchResult::Locked;
        }
        addLog(QStringLiteral("ERROR: [CDataBaseHandler::%1] Transaction is not started! Error_text[%2]")
                   .arg(origin, error.text()));
        return EBatchResult::Failed;
    }

    QSqlQuery *lookup = statement(m_sqlDeviceIdByEui);
    if (!execWith(lookup, m_devicesBind[DEV_COL_DEV_EUI], data.devEui)) {
        abandon(m_db,
                QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Invalid SQL request [1]")
                    + errorText(lookup, m_db));
        return EBatchResult::Failed;
    }
    const std::optional<uint32_t> foundId = takeDeviceId(lookup);
    if (!foundId) {
        abandon(m_db,
                QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [%1]")
                    .arg(data.devEui));
        return EBatchResult::Failed;
    }
    const uint32_t deviceId = *foundId;
    if (deviceId == 0) {
        abandon(m_db,
                QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [ID=0] [%1]")
                    .arg(data.devEui));
        return EBatchResult::Failed;
    }

    // One uplink, one time: every row of it alike.
    const qint64 storedMs = QDateTime::currentMSecsSinceEpoch();
    for (const SRegisterValue &value : data.registers) {
        // The same 32-bit sum as at registration, a negative offset wrapping.
        const uint32_t regAddr = uint32_t(data.startAddr) + uint32_t(value.offset);
        QSqlQuery *update = statement(m_sqlSaveData);
        if (update) {
            update->bindValue(m_devDataBind[REG_COL_VALUE], value.value);
            update->bindValue(m_devDataBind[REG_COL_FULL_VALUE], value.fullValue);
            update->bindValue(m_devDataBind[REG_COL_TIME], storedMs);
            update->bindValue(m_devDataBind[REG_COL_DEVICE], deviceId);
            update->bindValue(m_devDataBind[REG_COL_ADDR], qint64(regAddr));
        }
        if (!update || !update->exec()) {
            const QSqlError error = update ? update->lastError() : m_db.lastError();
            m_db.rollback();
            // A full disk passes: the batch waits like one that found the lock taken.
            if (!wait && isLocked(error)) {
                noteRetryCause(error);
                return EBatchResult::Locked;
            }
            // Half an uplink is worse than none: readers would combine words of
            // two different readings.
            addLog(QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Invalid SQL request [2]")
                   + errorText(error));
            addLog(QStringLiteral("    Query [%1]").arg(m_sqlSaveData));
            addLog(QStringLiteral("    Set: deviceId[%1], regAddr[%2]").arg(deviceId).arg(regAddr));
            return EBatchResult::Failed;
        }
    }

    QSqlQuery *commit = statement(QStringLiteral("COMMIT;"));
    if (commit && commit->exec()) {
        m_batchStoredMs = storedMs;
        return EBatchResult::Stored;
    }
    const QSqlError error = commit ? commit->lastError() : m_db.lastError();
    m_db.rollback();
    // Only a journal other than the write-ahead log makes a commit wait for
    // readers; the batch is then simply tried again.
    if (!wait && isLocked(error)) {
        noteRetryCause(error);
        return EBatchResult::Locked;
    }
    addLog(QStringLiteral("ERROR: [CDataBaseHandler::%1] Transaction is not committed! Error_text[%2]")
               .arg(origin, error.text()));
    return EBatchResult::Failed;
}

void CDataBaseHandler::updateRegInfo(const SDeviceRegUpdate &update)
{
    if (update.params.isEmpty())
        return;
    if (!beginTransaction(QStringLiteral("updateRegInfo")))
        return;
    for (const SRegisterParam &param : update.params) {
        QSqlQuery *query = statement(m_sqlUpdateRegInfo);
        if (query) {
            query->bindValue(m_devDataBind[REG_COL_START_VALUE], param.startValue);
            query->bindValue(m_devDataBind[REG_COL_GRATING_PERIOD], param.gratingPeriod);
            query->bindValue(m_devDataBind[REG_COL_UNIT], param.unit);
            query->bindValue(m_devDataBind[REG_COL_DEVICE], update.deviceId);
            query->bindValue(m_devDataBind[REG_COL_ADDR], param.regAddr);
        }
        if (!query || !query->exec()) {
            addLog(QStringLiteral("ERROR: [CDataBaseHandler::updateRegInfo] Invalid SQL request [1]")
                   + errorText(query, m_db));
            addLog(m_sqlUpdateRegInfo);
            break;
        }
    }
    // What was written before a failure stays written.
    commitTransaction(QStringLiteral("updateRegInfo"));
}

SRegisterParam CDataBaseHandler::getRegisterParam(const QString &devEui, uint32_t regAddr)
{
    SRegisterParam result;
    QSqlQuery *query = statement(m_sqlRegisterParamRun);
    if (query) {
        query->bindValue(m_devicesBind[DEV_COL_DEV_EUI], devEui);
        query->bindValue(m_devDataBind[REG_COL_ADDR], regAddr);
    }
    if (!query || !query->exec()) {
        addLog(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterParam] Invalid SQL request [1]")
               + errorText(query, m_db));
        addLog(m_sqlRegisterParam);
        return result;
    }
    if (query->next()) {
        result.gratingPeriod = query->value(1).toInt();
        result.startValue = query->value(0).toInt();
        result.unit = query->value(2).toString();
        result.regAddr = regAddr;
    } else {
        addLog(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterParam] Register is not exist!"));
        addLog(m_sqlRegisterParam);
    }
    query->finish();
    return result;
}

QStringList CDataBaseHandler::getRegisteredDevices()
{
    QStringList result;
    QSqlQuery *query = statement(m_sqlRegisteredDevices);
    if (!query || !query->exec()) {
        addLog(QStringLiteral("[CDataBaseHandler::getRegisteredDevices] Invalid SQL request [1]")
               + errorText(query, m_db));
        return result;
    }
    while (query->next())
        result.append(query->value(0).toString().toUpper());
    query->finish();
    return result;
}

bool CDataBaseHandler::registerNewDevice(const DB::SDeviceRegMapDescription &description, uint16_t port)
{
    return registerNewDevices({ { description, port } });
}

bool CDataBaseHandler::registerNewDevices(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &devices)
{
    const QString origin = QStringLiteral("registerNewDevice");

    // All or nothing: a device row without its registers could never be
    // registered again ("already exist").
    if (!beginTransaction(origin))
        return false;
    for (const auto &device : devices) {
        if (!insertDevice(device.first, device.second)) {
            m_db.rollback();
            return false;
        }
    }
    return commitTransaction(origin);
}

bool CDataBaseHandler::setUnitId(uint32_t deviceId, uint8_t unitId)
{
    QSqlQuery *query = statement(unitId == 0 ? m_sqlDeleteUnit : m_sqlInsertUnit);
    if (query) {
        query->bindValue(QLatin1Char(':') + DB::UNITS_DEVICE, deviceId);
        if (unitId != 0)
            query->bindValue(QLatin1Char(':') + DB::UNITS_UNIT_ID, int(unitId));
    }
    if (!query || !query->exec()) {
        addLog(QStringLiteral("[CDataBaseHandler::setUnitId] Invalid SQL request [1]"));
        return false;
    }
    query->finish();
    return true;
}

QHash<uint32_t, uint8_t> CDataBaseHandler::unitIds()
{
    QHash<uint32_t, uint8_t> result;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT %1, %2 FROM %3;")
                        .arg(DB::UNITS_DEVICE, DB::UNITS_UNIT_ID, DB::UNITS_TABLE)))
        return result;
    while (query.next())
        result.insert(query.value(0).toUInt(), uint8_t(query.value(1).toUInt()));
    return result;
}

uint32_t CDataBaseHandler::deviceId(const QString &devEui)
{
    QSqlQuery *query = statement(m_sqlDeviceIdByEui);
    if (!execWith(query, m_devicesBind[DEV_COL_DEV_EUI], devEui))
        return 0;
    return takeDeviceId(query).value_or(0);
}

bool CDataBaseHandler::insertDevice(const DB::SDeviceRegMapDescription &description, uint16_t port)
{
    QSqlQuery *query = statement(m_sqlCountByEui);
    if (!execWith(query, m_devicesBind[DEV_COL_DEV_EUI], description.devEui))
        return refuse(QStringLiteral("[CDataBaseHandler::registerNewDevice] Invalid SQL request [1]")
                      + errorText(query, m_db));
    const qint64 existing = query->next() ? query->value(0).toLongLong() : 0;
    query->finish();
    if (existing != 0) {
        return refuse(
            QStringLiteral("ERROR: [CDataBaseHandler::registerNewDevice] Device [%1] already exist!")
                .arg(description.devEui));
    }

    query = statement(m_sqlInsertDevice);
    if (query) {
        query->bindValue(m_devicesBind[DEV_COL_NAME], description.devName);
        query->bindValue(m_devicesBind[DEV_COL_APP_EUI], description.appEui);
        query->bindValue(m_devicesBind[DEV_COL_DEV_EUI], description.devEui);
        query->bindValue(m_devicesBind[DEV_COL_PORT], int32_t(port));
        query->bindValue(m_devicesBind[DEV_COL_START_ADDR], description.startAddr);
    }
    if (!query || !query->exec())
        return refuse(QStringLiteral("[CDataBaseHandler::registerNewDevice] Invalid SQL request [2]")
                      + errorText(query, m_db));

    query = statement(m_sqlDeviceIdByEui);
    if (!execWith(query, m_devicesBind[DEV_COL_DEV_EUI], description.devEui))
        return refuse(QStringLiteral("[CDataBaseHandler::registerNewDevice] Invalid SQL request [3]")
                      + errorText(query, m_db));
    const std::optional<uint32_t> createdId = takeDeviceId(query);
    if (!createdId) {
        return refuse(
            QStringLiteral("ERROR: [CDataBaseHandler::registerNewDevice] Device [%1] is not created!")
                .arg(description.devEui));
    }
    const uint32_t deviceId = *createdId;
    if (deviceId == 0) {
        return refuse(
            QStringLiteral(
                "ERROR: [CDataBaseHandler::registerNewDevice] Device [%1] is not created [NULL ID]!")
                .arg(description.devEui));
    }
    if (description.unitId != 0) {
        QSqlQuery *unit = statement(m_sqlInsertUnit);
        if (unit) {
            unit->bindValue(QLatin1Char(':') + DB::UNITS_DEVICE, deviceId);
            unit->bindValue(QLatin1Char(':') + DB::UNITS_UNIT_ID, int(description.unitId));
        }
        if (!unit || !unit->exec())
            return refuse(QStringLiteral("[CDataBaseHandler::registerNewDevice] Invalid SQL request [5]"));
    }

    auto insertRow
        = [&](uint32_t addr, qint64 startValue, qint64 gratingPeriod, const SRegisterDescription &field,
              const QVariant &name, int parent, qint64 source, const QVariant &unit) {
              QSqlQuery *insert = statement(m_sqlInsertRegister);
              if (!insert)
                  return false;
              insert->bindValue(m_devDataBind[REG_COL_DEVICE], deviceId);
              insert->bindValue(m_devDataBind[REG_COL_PORT], int32_t(port));
              insert->bindValue(m_devDataBind[REG_COL_ADDR], qint64(addr));
              insert->bindValue(m_devDataBind[REG_COL_START_VALUE], startValue);
              insert->bindValue(m_devDataBind[REG_COL_GRATING_PERIOD], gratingPeriod);
              insert->bindValue(m_devDataBind[REG_COL_BIT_SIZE], qint64(field.bitSize));
              insert->bindValue(m_devDataBind[REG_COL_DATA_TYPE], quotedText(field.dataType));
              insert->bindValue(m_devDataBind[REG_COL_NAME], name);
              insert->bindValue(m_devDataBind[REG_COL_PARENT], parent);
              insert->bindValue(m_devDataBind[REG_COL_SOURCE], source);
              insert->bindValue(m_devDataBind[REG_COL_UNIT], unit);
              return insert->exec();
          };
    const QVariant noText(QVariant::String);

    QSet<uint32_t> used;
    for (const SRegisterDescription &field : description.regList) {
        // The 32-bit sum the decoder writes to: a negative bias (stored as its
        // two's complement) lands below the start address, not above 4 G.
        const uint32_t addr = uint32_t(description.startAddr) + field.offset;
        if (used.contains(addr)) {
            addLog(QStringLiteral(
                       "WARNING: [CDataBaseHandler::registerNewDevice] Register [0x%1] for device [%2] "
                       "already exist!")
                       .arg(addr, 4, 16, QLatin1Char('0'))
                       .arg(description.devEui));
            continue;
        }
        bool ok = insertRow(addr, field.startValue, field.gratingPeriod, field, quotedText(field.name), 1,
                            field.source, quotedText(field.unit));
        used.insert(addr);
        if (ok && field.bitSize > 16) {
            const uint32_t rows = (field.bitSize - 17) / 16 + 2;
            for (uint32_t n = 1; ok && n < rows; ++n)
                ok = insertRow(addr + n, 0, 1, field, noText, 0, 0, noText);
        }
        if (!ok) {
            addLog(QStringLiteral("[CDataBaseHandler::registerNewDevice] Invalid SQL request [4]")
                   + errorText(statement(m_sqlInsertRegister), m_db));
            return refuse(m_sqlInsertRegister);
        }
    }
    return true;
}

QMap<uint16_t, uint16_t> CDataBaseHandler::getRegisterData(uint32_t port, uint32_t startAddr, uint32_t count)
{
    QMap<uint16_t, uint16_t> result;
    if (count == 0)
        return result;
    QSqlQuery *query = statement(m_sqlRegisterData);
    if (query) {
        query->bindValue(m_devDataBind[REG_COL_PORT], qint64(port));
        query->bindValue(m_bindFirstAddr, qint64(startAddr));
        query->bindValue(m_bindLastAddr, qint64(startAddr) + count - 1);
    }
    if (!query || !query->exec()) {
        addLog(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterData] Invalid SQL request [1]")
               + errorText(query, m_db));
        addLog(registerDataText(port, startAddr, count));
        return result;
    }
    // Addresses repeat every 65536 registers, so larger counts add no keys.
    const uint32_t fill = std::min<uint32_t>(count, 65536);
    for (uint32_t i = 0; i < fill; ++i)
        result.insert(static_cast<uint16_t>(startAddr + i), 0);
    QHash<uint16_t, uint32_t> owner; // the device whose row was read last, by address
    bool text = false;
    while (query->next()) {
        const auto address = static_cast<uint16_t>(query->value(0).toLongLong());
        result[address] = RegisterWords::numberWord(query->value(1).toString());
        owner.insert(address, query->value(2).toUInt());
        text = text || query->value(3).toString() == QS_TYPE_TEXT;
    }
    query->finish();
    if (text) {
        const qint64 last = qint64(startAddr) + count - 1;
        for (const SServedRegister &reg : textRegisters(int(port), 0)) {
            const auto address = static_cast<uint16_t>(reg.address);
            if (reg.address >= startAddr && reg.address <= last && owner.value(address) == reg.device)
                result[address] = reg.value;
        }
    }
    return result;
}

namespace {

// " WHERE port=:port AND device=:device", the parts asked for, after `and`
// when the statement has a condition of its own.
// A stored unit id, 0 for none or for one outside 1..247 (written by hand).
uint8_t unitOf(const QVariant &value)
{
    const uint unit = value.toUInt();
    return unit >= 1 && unit <= 247 ? uint8_t(unit) : uint8_t(0);
}

QString portAndDevice(int port, uint32_t device, bool after)
{
    const QStringList &reg = QSL_GLOB_DEV_DATA_FIELDS;
    QStringList terms;
    if (port >= 0)
        terms << QStringLiteral("%1=:%1").arg(reg[REG_COL_PORT]);
    if (device != 0)
        terms << QStringLiteral("%1=:%1").arg(reg[REG_COL_DEVICE]);
    if (terms.isEmpty())
        return QString();
    return (after ? QStringLiteral(" AND ") : QStringLiteral(" WHERE "))
        + terms.join(QStringLiteral(" AND "));
}

} // namespace

QList<SServedRegister> CDataBaseHandler::servedRegisters(int port, uint32_t device)
{
    QList<SServedRegister> rows;
    const QStringList &reg = QSL_GLOB_DEV_DATA_FIELDS;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    const QString sql
        = QStringLiteral("SELECT %2, %3, %4, %5, %6, %7, %8, (SELECT u.%10 FROM %11 u WHERE u.%12 = %1.%4) "
                         "FROM %1%9;")
              .arg(QS_DB_TABLE_DEV_DATA, reg[REG_COL_PORT], reg[REG_COL_ADDR], reg[REG_COL_DEVICE],
                   reg[REG_COL_VALUE], reg[REG_COL_GRATING_PERIOD], reg[REG_COL_START_VALUE],
                   reg[REG_COL_UNIT], portAndDevice(port, device, false))
              .arg(DB::UNITS_UNIT_ID, DB::UNITS_TABLE, DB::UNITS_DEVICE);
    bool ok = query.prepare(sql);
    if (ok && port >= 0)
        query.bindValue(m_devDataBind[REG_COL_PORT], port);
    if (ok && device != 0)
        query.bindValue(m_devDataBind[REG_COL_DEVICE], device);
    ok = ok && query.exec();
    if (!ok) {
        addLog(QStringLiteral(
                   "ERROR: [CDataBaseHandler::servedRegisters] Invalid SQL request [%1] Error_text[%2]")
                   .arg(sql, query.lastError().text()));
        return rows;
    }
    while (query.next()) {
        SServedRegister row;
        row.port = static_cast<uint16_t>(query.value(0).toUInt());
        row.address = query.value(1).toUInt();
        row.device = query.value(2).toUInt();
        row.value = RegisterWords::numberWord(query.value(3).toString());
        row.multiplier = query.value(4).toInt();
        row.extraValue = query.value(5).toInt();
        row.unit = query.value(6).toString();
        row.unitId = unitOf(query.value(7));
        rows.append(row);
    }
    query.finish();

    // Text fields replace the words of their own rows.
    const QList<SServedRegister> text = textRegisters(port, device);
    if (text.isEmpty())
        return rows;
    QHash<QPair<uint32_t, uint32_t>, int> rowOf; // (device, address) -> index
    for (int i = 0; i < rows.size(); ++i)
        rowOf.insert({ rows.at(i).device, rows.at(i).address }, i);
    for (const SServedRegister &word : text) {
        const int i = rowOf.value({ word.device, word.address }, -1);
        if (i >= 0) {
            rows[i].value = word.value;
            rows[i].text = true;
        }
    }
    return rows;
}

QList<SServedRegister> CDataBaseHandler::textRegisters(int port, uint32_t device)
{
    QList<SServedRegister> words;
    const QStringList &reg = QSL_GLOB_DEV_DATA_FIELDS;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    // Payload fields only: the server's text values (identifiers) are hexadecimal.
    const QString sql
        = QStringLiteral("SELECT %2, %3, %4, %5, %6 FROM %1 WHERE %7=:%7 AND %8=1 AND %9=1%10;")
              .arg(QS_DB_TABLE_DEV_DATA, reg[REG_COL_PORT], reg[REG_COL_ADDR], reg[REG_COL_DEVICE],
                   reg[REG_COL_FULL_VALUE], reg[REG_COL_BIT_SIZE], reg[REG_COL_DATA_TYPE],
                   reg[REG_COL_PARENT], reg[REG_COL_SOURCE], portAndDevice(port, device, true));
    bool ok = query.prepare(sql);
    if (ok) {
        query.bindValue(m_devDataBind[REG_COL_DATA_TYPE], QS_TYPE_TEXT);
        if (port >= 0)
            query.bindValue(m_devDataBind[REG_COL_PORT], port);
        if (device != 0)
            query.bindValue(m_devDataBind[REG_COL_DEVICE], device);
    }
    if (!ok || !query.exec()) {
        addLog(
            QStringLiteral("ERROR: [CDataBaseHandler::textRegisters] Invalid SQL request [%1] Error_text[%2]")
                .arg(sql, query.lastError().text()));
        return words;
    }
    while (query.next()) {
        const auto fieldPort = static_cast<uint16_t>(query.value(0).toUInt());
        const uint32_t first = query.value(1).toUInt();
        const uint32_t owner = query.value(2).toUInt();
        const QVector<uint16_t> served = RegisterWords::textWords(
            query.value(3).toString(), RegisterWords::registerCount(query.value(4).toInt()));
        for (int i = 0; i < served.size(); ++i)
            words.append({ fieldPort, first + uint32_t(i), owner, served.at(i), true });
    }
    return words;
}

QHash<uint32_t, qint64> CDataBaseHandler::lastWriteTimes()
{
    QHash<uint32_t, qint64> times;
    const QStringList &reg = QSL_GLOB_DEV_DATA_FIELDS;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    const QString sql = QStringLiteral("SELECT %2, MAX(%3) FROM %1 WHERE %3 IS NOT NULL GROUP BY %2;")
                            .arg(QS_DB_TABLE_DEV_DATA, reg[REG_COL_DEVICE], reg[REG_COL_TIME]);
    if (!query.exec(sql)) {
        addLog(QStringLiteral(
                   "ERROR: [CDataBaseHandler::lastWriteTimes] Invalid SQL request [%1] Error_text[%2]")
                   .arg(sql, query.lastError().text()));
        return times;
    }
    while (query.next())
        times.insert(query.value(0).toUInt(), query.value(1).toLongLong());
    return times;
}
