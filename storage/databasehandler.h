#pragma once

#include "app/latestqueue.h"
#include "storage/dbrecords.h"
#include "storage/walcheckpointer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>

// The register store: registered devices and every register of every device
// in one SQLite file. Used from the thread that creates it only (the
// gateway's), like its connection: Qt SQL allows a connection on its own
// thread alone, and queueRegisterData retries from that thread's event loop.
class QSqlError;
struct sqlite3;

class CDataBaseHandler : public QObject
{
    Q_OBJECT

public:
    // For tests and tools: a store on any file under its own connection name.
    // Check failed() after construction.
    CDataBaseHandler(const QString &fileName, const QString &connectionName, QObject *parent = nullptr);
    ~CDataBaseHandler() override;

    bool failed() const { return m_failed; }
    // Why the store failed at start, in SQLite's words where it has them.
    const QString &failure() const { return m_failure; }

    bool deleteDevice(uint32_t deviceId);
    QSqlQuery getDevices(const QString &search);
    QSqlQuery getRegisters(uint32_t deviceId);
    // The same rows through a statement prepared once and kept, forward only,
    // for readers that take each row once, with only the columns of
    // RegisterRow in that order (each column read costs); null when the query
    // failed. Call finish() on it when done.
    enum RegisterRow {
        RowAddr,
        RowName,
        RowDataType,
        RowBitSize,
        RowSource,
        RowFullValue,
        RowUnit,
        RowMultiplier,
        RowExtraValue,
        RowTime
    };
    QSqlQuery *registerRows(uint32_t deviceId);
    // Writes one uplink's batch in one transaction and waits for the write lock
    // as long as SQLite's busy timeout allows; true only when every register
    // was written and committed.
    bool saveRegisterData(const SDeviceRegisterData &data);
    // The same without ever waiting: a batch that finds the database locked is
    // kept and retried from a timer, in arrival order, until the retry window
    // has passed since its arrival; then it is dropped and logged. The outcome
    // is registerDataSaved or registerDataDropped, emitted before this call
    // returns when the batch could be decided at once.
    void queueRegisterData(const SDeviceRegisterData &data);
    int pendingRegisterData() const { return m_pending.size(); }
    // The retry queue is bounded like the decode backlog (CLatestQueue).
    void setPendingLimit(int limit) { m_pending.setLimit(limit); }
    quint64 replacedRegisterData() const { return m_pending.replaced(); }
    // Writes of queued batches fail with this SQLite result code (13: the
    // disk is full) while it is not 0; CI cannot fill a real disk.
    void setWriteFaultForTesting(int sqliteCode) { m_writeFault = sqliteCode; }
    // How long a statement waits for a lock another program holds (SQLite's
    // own reading); -1 when it cannot be read.
    int busyTimeoutMs();
    // How often a batch found the database locked, for diagnostics and tests.
    quint64 lockedAttempts() const { return m_lockedAttempts; }
    void setRetryTiming(std::chrono::milliseconds interval, std::chrono::milliseconds window);
    // Checkpoints of the write-ahead log that copied all of it into the file.
    quint64 completedCheckpoints() const { return m_checkpointer ? m_checkpointer->completed() : 0; }
    void updateRegInfo(const SDeviceRegUpdate &update);
    SRegisterParam getRegisterParam(const QString &devEui, uint32_t regAddr);
    QStringList getRegisteredDevices();
    bool registerNewDevice(const DB::SDeviceRegMapDescription &description, uint16_t port);
    // Several devices in one transaction: all of them or none.
    bool registerNewDevices(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &devices);
    // Gives the device a Modbus unit id (1..247), or takes it away (0).
    bool setUnitId(uint32_t deviceId, uint8_t unitId);
    // Every stored unit id, by device id.
    QHash<uint32_t, uint8_t> unitIds();
    // The id of a stored device; 0 when there is none.
    uint32_t deviceId(const QString &devEui);
    QMap<uint16_t, uint16_t> getRegisterData(uint32_t port, uint32_t startAddr, uint32_t count);
    // Every register row of the port (of all ports when port < 0; of one
    // device when device is not 0), with its value as Modbus serves it and its
    // scaling; what the gateway's register image and scaling table are built from.
    QList<SServedRegister> servedRegisters(int port = -1, uint32_t device = 0);
    // The statement getRegisterParam names when it finds no register.
    static QString registerParamStatement();
    // Stored devices that cannot be served, with the reason, by device id: a
    // port outside 1..65535 (NULL and text included), registers outside
    // 0..65535, or a DevEUI that a device with a lower id has too.
    QHash<uint32_t, QString> unservableDevices();
    // When each device's registers were last written (ms since the epoch), by
    // device id; devices never written are absent.
    QHash<uint32_t, qint64> lastWriteTimes();

signals:
    // After the batch's transaction has committed; its storedMs is set.
    void registerDataSaved(SDeviceRegisterData data);
    // The batch was not stored (a failed write, an unknown device, or the
    // database locked for the whole retry window); nothing of it was written.
    void registerDataDropped(QString devEui);

private:
    enum class EBatchResult { Stored, Failed, Locked };
    struct SPendingBatch
    {
        SDeviceRegisterData data;
        std::chrono::steady_clock::time_point arrival;
    };

    void fail(const QString &message);
    void failUnusable(const QString &reason);
    void failTable(const QString &message, const QString &table);
    bool checkUsable();
    // Runs a pragma; its first value, or nothing (with m_failure set) when it fails.
    std::optional<QString> pragma(const QString &sql);
    // A batch waits for the lock or for disk space; only the latter is logged.
    void noteRetryCause(const QSqlError &error);
    EBatchResult writeBatch(const SDeviceRegisterData &data, bool wait);
    void finishBatch(const SDeviceRegisterData &data, EBatchResult result);
    void retryPending();
    void reportUnreachableRegisters();
    void buildStatements();
    bool execute(const QString &sql);
    void createIndexes();
    // A statement prepared once on this connection and kept for reuse; null
    // when it cannot be prepared (the caller treats that as a failed request).
    QSqlQuery *statement(const QString &sql);
    bool beginTransaction(const QString &origin);
    // Writes one device with its registers inside the caller's transaction;
    // false after logging why (the caller rolls back).
    bool insertDevice(const DB::SDeviceRegMapDescription &description, uint16_t port);
    bool setBusyTimeout(int ms);
    bool commitTransaction(const QString &origin);
    QString registerDataText(uint32_t port, uint32_t startAddr, uint32_t count) const;
    // The served words of every register of the payload's text fields.
    QList<SServedRegister> textRegisters(int port, uint32_t device);

    QSqlDatabase m_db;
    sqlite3 *m_connection = nullptr; // m_db's own, once asked for
    QString m_connectionName;
    bool m_failed = false;
    std::map<QString, QSqlQuery> m_statements; // node-based: entries stay put while others are added

    CLatestQueue<SPendingBatch> m_pending;
    quint64 m_replacedLogged = 0;
    QElapsedTimer m_replacedReport;
    int m_writeFault = 0;
    bool m_diskFull = false;
    qint64 m_batchStoredMs = 0; // the time of the last batch written
    QString m_retryCause;
    QString m_failure;
    QTimer m_retryTimer { this }; // a child, so that it moves with the store
    std::chrono::milliseconds m_retryInterval { 25 };
    std::chrono::milliseconds m_retryWindow { 5000 };
    quint64 m_lockedAttempts = 0;
    std::unique_ptr<CWalCheckpointer> m_checkpointer;

    QStringList m_devicesBind; // ":" + column name, by column
    QStringList m_devDataBind;
    QString m_bindFirstAddr;
    QString m_bindLastAddr;
    QString m_sqlDeleteDevice;
    QString m_sqlDeleteData;
    QString m_sqlDeleteUnit;
    QString m_sqlInsertUnit;
    QString m_sqlDevicesAll;
    QString m_sqlDevicesSearch;
    QString m_sqlRegisters;
    QString m_sqlRegisterRows;
    QString m_sqlDeviceIdByEui;
    QString m_sqlSaveData;
    QString m_sqlUpdateRegInfo;
    QString m_sqlRegisterParam;
    QString m_sqlRegisterParamRun;
    QString m_sqlRegisteredDevices;
    QString m_sqlCountByEui;
    QString m_sqlInsertDevice;
    QString m_sqlInsertRegister;
    QString m_sqlRegisterData;
};
