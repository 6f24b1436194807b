#pragma once

#include "storage/dbrecords.h"

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>

#include <cstdint>
#include <map>

// The register store: registered devices and every register of every device
// in one SQLite file. All operations may be called from any thread; one mutex
// serialises them.
class CDataBaseHandler : public QObject
{
    Q_OBJECT

public:
    // The process-wide instance on "server.db" (connection "server"); null
    // when the database could not be opened.
    static CDataBaseHandler *getInstance();

    // For tests and tools: a store on any file under its own connection name.
    // Check failed() after construction.
    CDataBaseHandler(const QString &fileName, const QString &connectionName, QObject *parent = nullptr);
    ~CDataBaseHandler() override;

    bool failed() const { return m_failed; }

    bool deleteDevice(uint32_t deviceId);
    QSqlQuery getDevices(const QString &search);
    QSqlQuery getRegisters(uint32_t deviceId);
    bool saveRegisterData(const SDeviceRegisterData &data);
    void updateRegInfo(const SDeviceRegUpdate &update);
    SRegisterParam getRegisterParam(const QString &devEui, uint32_t regAddr);
    QStringList getRegisteredDevices();
    bool registerNewDevice(const DB::SDeviceRegMapDescription &description, uint16_t port);
    QMap<uint16_t, uint16_t> getRegisterData(uint32_t port, uint32_t startAddr, uint32_t count);

private:
    void fail(const QString &message);
    void buildStatements();
    bool execute(const QString &sql);
    void createIndexes();
    // A statement prepared once on this connection and kept for reuse; null
    // when it cannot be prepared (the caller treats that as a failed request).
    QSqlQuery *statement(const QString &sql);
    bool beginTransaction(const QString &origin);
    bool commitTransaction(const QString &origin);
    QString registerDataText(uint32_t port, uint32_t startAddr, uint32_t count) const;

    QSqlDatabase m_db;
    QString m_connectionName;
    QMutex m_mutex;
    bool m_failed = false;
    std::map<QString, QSqlQuery> m_statements; // node-based: entries stay put while others are added

    QStringList m_devicesBind; // ":" + column name, by column
    QStringList m_devDataBind;
    QString m_bindFirstAddr;
    QString m_bindLastAddr;
    QString m_sqlDeleteDevice;
    QString m_sqlDeleteData;
    QString m_sqlDevicesAll;
    QString m_sqlDevicesSearch;
    QString m_sqlRegisters;
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
