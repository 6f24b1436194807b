#include "core/gateway.h"

#include "app/constants.h"
#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "devices/registervalue.h"
#include "devices/scalingtable.h"
#include "modbus/modbusconfig.h"
#include "modbus/modbuspoller.h"
#include "modbus/modbusservice.h"
#include "modbus/modbusstats.h"
#include "serverlink/serverhandler.h"
#include "storage/databasehandler.h"
#include "storage/registerwords.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHostAddress>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QTcpServer>

#include <algorithm>
#include <limits>
#include <tuple>
#include <unordered_map>
#include <vector>

using namespace DB;

namespace {

const int MaxRegisterAddress = 65535;

// What a port answers to Read Device Identification about itself.
Modbus::IdentityObjects gatewayIdentity()
{
    return { { Modbus::VendorName, QByteArrayLiteral("Tidewell") },
             { Modbus::ProductCode, QByteArrayLiteral("Tidewell") },
             { Modbus::MajorMinorRevision, QByteArrayLiteral(TIDEWELL_VERSION) },
             { Modbus::ProductName, QByteArrayLiteral("Tidewell") },
             { Modbus::ModelName, QByteArrayLiteral("LoRaWAN to Modbus TCP gateway") } };
}

// Registers a value of bitSize bits takes.
uint32_t registersOf(int bitSize)
{
    return bitSize <= 16 ? 1u : uint32_t(bitSize + 15) / 16;
}

} // namespace

CGateway::CGateway(const QString &dataBaseFile, const QString &connectionName, QObject *parent)
    : CGateway(dataBaseFile, connectionName, SModbusConfig(), parent)
{
}

CGateway::CGateway(const QString &dataBaseFile, const QString &connectionName, const SModbusConfig &modbus,
                   QObject *parent)
    : QObject(parent)
    , m_store(std::make_unique<CDataBaseHandler>(dataBaseFile, connectionName))
    , m_modbus(std::make_unique<CModbusService>(modbus))
    , m_scaling(std::make_unique<CScalingTable>())
    , m_session(std::make_unique<CServerHandler>())
    , m_registry(std::make_unique<CAllDeviceHandler>())
{
    m_clock = []() { return QDateTime::currentMSecsSinceEpoch(); };
    m_modbus->image().setGatewayIdentity(gatewayIdentity());
    m_startedAtMs = QDateTime::currentMSecsSinceEpoch();
    m_serverStatusSinceMs = m_startedAtMs;
    m_dataBaseFile = dataBaseFile;
    m_silenceTimer.setInterval(1000);
    connect(&m_silenceTimer, &QTimer::timeout, this, &CGateway::checkSilence);
    if (!m_store->failed()) {
        m_registry->setRegisterStore(m_store.get());
        m_registry->setScalingTable(m_scaling.get());
        m_registry->setOtherWorkWaiting([this] { return modbusWaiting(); });
        connect(m_store.get(), &CDataBaseHandler::registerDataSaved, this, &CGateway::batchSaved);
        connect(m_store.get(), &CDataBaseHandler::registerDataDropped, this, &CGateway::batchDropped);
    }

    // Uplinks go straight into the registry's bounded backlog: a queued
    // connection would keep every uplink of a flood as an event of its own,
    // beyond any bound.
    connect(m_session.get(), &CServerHandler::newPacketReceived, m_registry.get(),
            &CAllDeviceHandler::newPacketReceivedSlot, Qt::DirectConnection);
    // Queued, as every other connection between components: each notification
    // is handled on a later pass of the event loop.
    connect(
        m_session.get(), &CServerHandler::changeServerStatus, this,
        [this](COMM::EServerStatus status) {
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            if (status != m_serverStatus)
                m_serverStatusSinceMs = now;
            if (status == COMM::SUCCESS)
                m_serverLinkLostMs = -1;
            else if (m_serverStatus == COMM::SUCCESS)
                m_serverLinkLostMs = now;
            m_serverStatus = status;
            emit serverStatusChanged(status);
        },
        Qt::QueuedConnection);
    connect(m_session.get(), &CServerHandler::reconnectScheduled, this, [this] { ++m_serverReconnects; });
    connect(m_session.get(), &CServerHandler::devicesListRefused, this, &CGateway::serverDevicesRefused,
            Qt::QueuedConnection);
    connect(
        m_session.get(), &CServerHandler::getDevicesListResp, this,
        [this](bool status, const QList<API::SServerDeviceInfo> &list) {
            if (status)
                m_serverDevices = list;
            emit serverDevicesReceived(status, list);
        },
        Qt::QueuedConnection);
}

CGateway::~CGateway()
{
    // Listeners and the session go before the store they read from.
    m_modbus.reset();
    m_registry.reset();
    m_session.reset();
    m_store.reset();
}

bool CGateway::failed() const
{
    return m_store->failed();
}

QString CGateway::failureText() const
{
    return m_store->failure();
}

int CGateway::restoreStoredDevices()
{
    if (failed())
        return 0;
    m_notServed = m_store->unservableDevices();
    for (auto it = m_notServed.cbegin(); it != m_notServed.cend(); ++it)
        addLog(QStringLiteral("WARNING: [CGateway] Device ID=%1 is not served: %2")
                   .arg(it.key())
                   .arg(it.value()));
    QList<QPair<SDeviceRegMapDescription, uint16_t>> devices;
    {
        QSqlQuery rows = m_store->getDevices(QString());
        while (rows.next()) {
            if (m_notServed.contains(rows.value(DEV_COL_ID).toUInt()))
                continue;
            SDeviceRegMapDescription description;
            description.deviceId = rows.value(DEV_COL_ID).toUInt();
            description.devEui = rows.value(DEV_COL_DEV_EUI).toString();
            description.appEui = rows.value(DEV_COL_APP_EUI).toString();
            description.devName = rows.value(DEV_COL_NAME).toString();
            description.startAddr = rows.value(DEV_COL_START_ADDR).toInt();
            // a unit id written by hand outside 1..247 is left unused
            const QVariant unit = rows.value(DEV_LIST_COL_UNIT_ID);
            if (!unit.isNull() && !CRegisterImage::isDeviceUnitId(unit.toInt()))
                addLog(
                    QStringLiteral("WARNING: [CGateway] Device [%1]: stored unit id [%2] is outside 1..247 "
                                   "and not used")
                        .arg(description.devEui, unit.toString()));
            else
                description.unitId = uint8_t(unit.toUInt());
            devices.append({ description, static_cast<uint16_t>(rows.value(DEV_COL_PORT).toUInt()) });
        }
    }
    const QMap<uint16_t, QList<SSharedRegisters>> shared = loadImage(-1);
    // Databases from before the add check may hold overlapping devices: they
    // are served as before (the later device wins), and named once here.
    for (auto it = shared.cbegin(); it != shared.cend(); ++it) {
        for (SSharedRegisters pair : it.value()) {
            const auto named = [&](uint32_t id) {
                const auto device = std::find_if(devices.cbegin(), devices.cend(),
                                                 [&](const auto &d) { return d.first.deviceId == id; });
                return device == devices.cend()
                    ? QString::number(id)
                    : QStringLiteral("%1, %2").arg(device->first.devName, device->first.devEui);
            };
            std::sort(pair.addresses.begin(), pair.addresses.end());
            addLog(
                QStringLiteral("WARNING: [CGateway::restoreStoredDevices] Devices [%1] and [%2] on port [%3] "
                               "share registers [%4]; [%2], registered later, is served there")
                    .arg(named(pair.earlier), named(pair.later))
                    .arg(it.key())
                    .arg(RegisterMap::rangesText(RegisterMap::ranges(pair.addresses))));
        }
    }
    const QHash<uint32_t, qint64> lastWrites = m_store->lastWriteTimes();
    const qint64 now = m_clock();
    for (const auto &device : qAsConst(devices)) {
        const auto written = lastWrites.constFind(device.first.deviceId);
        if (written != lastWrites.cend())
            m_lastStored.insert(device.first.devEui, *written);
        m_lastHeard.insert(device.first.devEui, written != lastWrites.cend() ? *written : now);
        const QStringList lost = m_registry->refusedParts(device.first.appEui);
        if (!lost.isEmpty())
            addLog(
                QStringLiteral("WARNING: [CGateway::restoreStoredDevices] Device [%1]: its template left out "
                               "[%2]; those registers are no longer written")
                    .arg(device.first.devEui, lost.join(QStringLiteral(", "))));
        serve(device.first, device.second);
    }
    checkSilence();
    m_silenceTimer.start();
    return devices.size();
}

void CGateway::serve(const SDeviceRegMapDescription &description, uint16_t port)
{
    m_modbus->addDevice(port);
    m_modbus->image().addDevice(port, description.unitId, identityOf(description));
    m_registry->addNewDevice(description, port);
}

Modbus::IdentityObjects CGateway::identityOf(const SDeviceRegMapDescription &description) const
{
    const QByteArray type = m_registry->getTemplate(description.appEui).dev_type.toUtf8();
    return { { Modbus::VendorName, QByteArrayLiteral("Tidewell") },
             { Modbus::ProductCode, type },
             { Modbus::MajorMinorRevision, QByteArrayLiteral(TIDEWELL_VERSION) },
             { Modbus::ProductName, description.devName.toUtf8() },
             { Modbus::ModelName, type },
             { 0x80, description.devEui.toUtf8() },
             { 0x81, description.appEui.toUtf8() } };
}

QMap<uint16_t, QList<CGateway::SSharedRegisters>> CGateway::loadImage(int port)
{
    CRegisterImage &image = m_modbus->image();
    if (port < 0) {
        image.clear();
        m_scaling->clear();
    } else {
        image.clearPort(static_cast<uint16_t>(port));
    }
    QMap<uint16_t, QList<SSharedRegisters>> shared;
    std::unordered_map<uint32_t, std::vector<SRegisterParam>> scaling;
    for (const SServedRegister &row : m_store->servedRegisters(port)) {
        if (m_notServed.contains(row.device))
            continue;
        scaling[row.device].push_back({ row.address, row.extraValue, row.multiplier, row.unit });
        const uint32_t other = image.put(row.port, row.unitId, row.address, row.device, row.value);
        if (row.text)
            m_textDevices.insert(row.device);
        if (other == 0)
            continue;
        const uint32_t earlier = std::min(other, row.device);
        const uint32_t later = std::max(other, row.device);
        QList<SSharedRegisters> &pairs = shared[row.port];
        auto pair = std::find_if(pairs.begin(), pairs.end(), [&](const SSharedRegisters &p) {
            return p.earlier == earlier && p.later == later;
        });
        if (pair == pairs.end())
            pair = pairs.insert(pairs.end(), { earlier, later, {} });
        pair->addresses.append(row.address);
    }
    for (auto &device : scaling)
        m_scaling->setDevice(device.first, std::move(device.second));
    return shared;
}

void CGateway::batchSaved(const SDeviceRegisterData &data)
{
    const SPublishedDevice *device = m_registry->publishedDevice(data.devEui);
    if (device) {
        const qint64 now = m_clock();
        m_lastHeard.insert(data.devEui, now);
        m_lastStored.insert(data.devEui, QDateTime::currentMSecsSinceEpoch());
        if (m_silent.contains(data.devEui))
            setSilent(data.devEui, device->id, device->appEui, false, 0);
        CRegisterImage &image = m_modbus->image();
        if (m_textDevices.contains(device->id)) {
            // A text's words depend on the whole field, which a batch may carry
            // only in part: such a device's registers are read back as stored.
            for (const SServedRegister &row : m_store->servedRegisters(device->port, device->id))
                image.update(row.port, row.unitId, row.address, row.device, row.value);
        } else {
            for (const SRegisterValue &reg : data.registers)
                image.update(device->port, device->unitId, uint32_t(data.startAddr) + uint32_t(reg.offset),
                             device->id, RegisterWords::numberWord(reg.value));
        }
    }
    emit valuesStored(data);
    emit newDataForDevice(data.devEui);
}

void CGateway::batchDropped(const QString &devEui)
{
    emit newDataForDevice(devEui);
}

// --- Device types ---

SDeviceType CGateway::deviceType(const QString &appEui) const
{
    SDeviceType type;
    if (!m_registry->hasTemplate(appEui))
        return type;
    const SDeviceTemplate tpl = m_registry->getTemplate(appEui);
    type.appEui = tpl.app_eui;
    type.devType = tpl.dev_type;
    type.color = tpl.color;
    type.silentAfterS = tpl.silent_after_s;
    type.silentException = tpl.silent_exception;
    for (const SRegisterDescription &reg : m_registry->getDeviceRegisterMap(appEui).registers)
        type.registerSpan = std::max(type.registerSpan, reg.offset + registersOf(int(reg.bitSize)));
    type.file = m_registry->templateFile(appEui);
    for (const TemplateLoader::SFileIssue &issue : m_registry->templateProblems(appEui))
        type.problems.append({ issue.where, issue.reason });
    return type;
}

QList<SDeviceType> CGateway::deviceTypes() const
{
    QList<SDeviceType> types;
    for (const SDeviceTypeInfo &info : m_registry->getDeviceTypeList())
        types.append(deviceType(info.appEui));
    return types;
}

bool CGateway::knowsType(const QString &appEui) const
{
    return m_registry->hasTemplate(appEui);
}

QList<SRegisterDescription> CGateway::typeRegisters(const QString &appEui) const
{
    return m_registry->getDeviceRegisterMap(appEui).registers;
}

// --- Registered devices ---

void CGateway::updateDeviceList() const
{
    if (m_byNameGeneration == m_registry->generation())
        return;
    m_byName.clear();
    const QMap<QString, SPublishedDevice> &published = m_registry->publishedDevices();
    m_byName.reserve(published.size());
    for (const SPublishedDevice &device : published) {
        SRegisteredDevice entry;
        entry.id = device.id;
        entry.devEui = device.devEui;
        entry.name = device.devName;
        entry.appEui = device.appEui;
        entry.port = device.port;
        entry.startAddr = device.startAddr;
        entry.unitId = device.unitId;
        m_byName.append(entry);
    }
    // The store's order: by name as stored (no collation), ties by id.
    std::sort(m_byName.begin(), m_byName.end(), [](const SRegisteredDevice &a, const SRegisteredDevice &b) {
        return a.name < b.name || (a.name == b.name && a.id < b.id);
    });
    m_byId.clear();
    m_byId.reserve(m_byName.size());
    for (int i = 0; i < m_byName.size(); ++i)
        m_byId.insert(m_byName.at(i).id, i);
    m_mapOrder.resize(size_t(m_byName.size()));
    for (int i = 0; i < m_byName.size(); ++i)
        m_mapOrder[size_t(i)] = i;
    std::sort(m_mapOrder.begin(), m_mapOrder.end(),
              [this](int a, int b) { return mapKey(m_byName.at(a)) < mapKey(m_byName.at(b)); });
    m_byNameGeneration = m_registry->generation();
}

QList<SRegisteredDevice> CGateway::devices(const QString &search) const
{
    QList<SRegisteredDevice> list;
    if (failed())
        return list;
    if (!search.isEmpty()) {
        // The store's match (LIKE) decides what a search keeps.
        QStringList euis;
        {
            QSqlQuery rows = m_store->getDevices(search);
            while (rows.next())
                euis << rows.value(DEV_COL_DEV_EUI).toString();
        }
        for (const QString &eui : qAsConst(euis)) {
            const SRegisteredDevice entry = device(eui);
            if (entry.id != 0)
                list.append(entry);
        }
        return list;
    }
    updateDeviceList();
    list.reserve(m_byName.size());
    for (SRegisteredDevice entry : qAsConst(m_byName)) {
        entry.served = m_modbus->isOpen(entry.port);
        entry.lastUplinkMs = m_lastStored.value(entry.devEui, -1);
        if (m_silent.contains(entry.devEui))
            entry.silentSinceMs = m_lastHeard.value(entry.devEui);
        list.append(entry);
    }
    return list;
}

SRegisteredDevice CGateway::device(const QString &devEui) const
{
    SRegisteredDevice entry;
    const SPublishedDevice *published = m_registry->publishedDevice(devEui);
    if (!published)
        return entry;
    entry.id = published->id;
    entry.devEui = published->devEui;
    entry.name = published->devName;
    entry.appEui = published->appEui;
    entry.port = published->port;
    entry.startAddr = published->startAddr;
    entry.unitId = published->unitId;
    entry.served = m_modbus->isOpen(published->port);
    entry.lastUplinkMs = m_lastStored.value(devEui, -1);
    if (m_silent.contains(devEui))
        entry.silentSinceMs = m_lastHeard.value(devEui);
    return entry;
}

bool CGateway::isRegistered(const QString &devEui) const
{
    return m_registry->publishedDevice(devEui) != nullptr;
}

namespace {

// What an uplink changed of a register, as the register view shows it.
void takeStoredValue(SDeviceRegister &reg, const QVariant &full, const QVariant &time)
{
    reg.raw = full.isNull() ? QString() : full.toString();
    reg.updatedMs = time.isNull() || time.toLongLong() == 0 ? -1 : time.toLongLong();
    reg.value = RegisterValue::shownText(reg.dataType, full, int(reg.bitSize), reg.unit, nullptr);
}

} // namespace

QList<SDeviceRegister> CGateway::deviceRegisters(uint32_t deviceId) const
{
    QList<SDeviceRegister> list;
    if (failed())
        return list;
    QSqlQuery *query = m_store->registerRows(deviceId);
    if (!query)
        return list;
    QSqlQuery &rows = *query;
    using Row = CDataBaseHandler::RegisterRow;
    while (rows.next()) {
        SDeviceRegister reg;
        // Rows that earlier builds left outside 32 bits can never be served.
        const qint64 address = rows.value(Row::RowAddr).toLongLong();
        reg.address = address < 0 || address > 0xffffffffLL ? 0xffffffffu : uint32_t(address);
        reg.name = rows.value(Row::RowName).toString();
        reg.dataType = rows.value(Row::RowDataType).toString();
        reg.bitSize = rows.value(Row::RowBitSize).toUInt();
        reg.source = rows.value(Row::RowSource).toUInt();
        reg.unit = rows.value(Row::RowUnit).toString();
        reg.multiplier = rows.value(Row::RowMultiplier).toInt();
        reg.extraValue = rows.value(Row::RowExtraValue).toInt();
        takeStoredValue(reg, rows.value(Row::RowFullValue), rows.value(Row::RowTime));
        reg.numeric = reg.dataType == QS_TYPE_INTEGER || reg.dataType == QS_TYPE_UINTEGER
            || reg.dataType == QS_TYPE_FLOAT;
        list.append(reg);
    }
    rows.finish();
    return list;
}

bool CGateway::takeStoredValues(const SDeviceRegisterData &batch, QList<SDeviceRegister> &registers) const
{
    for (const SDeviceRegister &reg : qAsConst(registers))
        if (reg.address > 0xffff)
            return false;
    for (const SRegisterValue &value : batch.registers) {
        // the row the store wrote it to: the same 32-bit sum
        const uint32_t address = uint32_t(batch.startAddr) + uint32_t(value.offset);
        const auto at
            = std::lower_bound(registers.begin(), registers.end(), address,
                               [](const SDeviceRegister &reg, uint32_t a) { return reg.address < a; });
        if (at != registers.end() && at->address == address)
            takeStoredValue(*at, value.fullValue, batch.storedMs);
    }
    return true;
}

void CGateway::showDevices(QSqlQueryModel &model, const QString &search) const
{
    if (!failed())
        model.setQuery(m_store->getDevices(search));
}

void CGateway::showRegisters(QSqlQueryModel &model, uint32_t deviceId) const
{
    if (!failed())
        model.setQuery(m_store->getRegisters(deviceId));
}

const QVector<CGateway::SMapField> &CGateway::mapFields(const QString &appEui) const
{
    auto known = m_mapFields.constFind(appEui);
    if (known != m_mapFields.cend())
        return *known;
    QVector<SMapField> fields;
    const SDeviceTemplate tpl = m_registry->getTemplate(appEui);
    for (const SRegisterDescription &reg : m_registry->getDeviceRegisterMap(appEui).registers) {
        SMapField field;
        field.offset = reg.offset;
        field.name = reg.name;
        field.dataType = reg.dataType;
        field.bitSize = reg.bitSize;
        field.wordOrder = QS_TPL_HIGH_FIRST;
        if (reg.source == 1)
            for (const SDevicePacket &packet : tpl.device_packets)
                for (const SDevicePacketField &f : packet.packet_fields)
                    if (uint32_t(f.reg_map_bias) == reg.offset && f.data_name == reg.name && f.lowWordFirst())
                        field.wordOrder = QS_TPL_LOW_FIRST;
        fields.append(field);
    }
    std::stable_sort(fields.begin(), fields.end(),
                     [](const SMapField &a, const SMapField &b) { return a.offset < b.offset; });
    return *m_mapFields.insert(appEui, fields);
}

QList<SRegisterMapRow> CGateway::registerMap(SRegisterMapCursor &cursor, int maxRows) const
{
    QList<SRegisterMapRow> rows;
    if (failed() || cursor.done || maxRows <= 0) {
        cursor.done = true;
        return rows;
    }
    updateDeviceList();
    // The first device at or after the last row's device; a device removed
    // meanwhile is simply not found again.
    const MapKey from = cursor.started
        ? MapKey(cursor.lastPort, cursor.lastUnitId, cursor.lastStart, cursor.lastDevice)
        : MapKey(std::max(cursor.port, 0), 0, std::numeric_limits<int32_t>::min(), 0);
    auto at
        = std::lower_bound(m_mapOrder.cbegin(), m_mapOrder.cend(), from,
                           [this](int index, const MapKey &key) { return mapKey(m_byName.at(index)) < key; });
    int field = 0;
    if (cursor.started && at != m_mapOrder.cend() && m_byName.at(*at).id == cursor.lastDevice)
        field = cursor.lastField + 1;
    for (; at != m_mapOrder.cend(); ++at, field = 0) {
        const SRegisteredDevice &device = m_byName.at(*at);
        if (cursor.port >= 0 && device.port != cursor.port)
            break;
        const QVector<SMapField> &fields = mapFields(device.appEui);
        for (; field < fields.size(); ++field) {
            const SMapField &f = fields.at(field);
            const uint32_t address = uint32_t(device.startAddr) + f.offset;
            const SRegisterParam *scaling = m_scaling->find(device.id, address);
            if (!scaling)
                continue; // the store holds no such register
            if (rows.size() == maxRows)
                return rows; // the next chunk starts here
            SRegisterMapRow row;
            row.port = device.port;
            row.address = address;
            row.deviceName = device.name;
            row.devEui = device.devEui;
            row.field = f.name;
            row.dataType = f.dataType;
            row.bitSize = f.bitSize;
            row.wordOrder = f.wordOrder;
            row.unit = scaling->unit;
            row.multiplier = scaling->gratingPeriod;
            row.extraValue = scaling->startValue;
            row.unitId = uint8_t(device.unitId);
            rows.append(row);
            cursor.started = true;
            cursor.lastPort = device.port;
            cursor.lastUnitId = uint8_t(device.unitId);
            cursor.lastStart = device.startAddr;
            cursor.lastDevice = device.id;
            cursor.lastField = field;
        }
    }
    cursor.done = true;
    return rows;
}

bool CGateway::modbusWaiting() const
{
    return CModbusPoller::instance().waiting();
}

// --- Server's device list ---

bool CGateway::requestServerDevices()
{
    QStringList appEuis;
    for (const SDeviceTypeInfo &type : m_registry->getDeviceTypeList())
        appEuis << type.appEui;
    return m_session->getDevicesList(appEuis);
}

QList<API::SServerDeviceInfo> CGateway::addableDevices(const QList<API::SServerDeviceInfo> &serverList) const
{
    const QStringList registered = failed() ? QStringList() : m_store->getRegisteredDevices();
    QList<API::SServerDeviceInfo> list;
    for (const API::SServerDeviceInfo &info : serverList)
        if (!registered.contains(info.devEui.toUpper()) && m_registry->hasTemplate(info.appEui))
            list.append(info);
    return list;
}

// --- Operations ---

SDeviceRegMapDescription CGateway::newDescription(const SNewDevice &device) const
{
    SDeviceRegMapDescription description;
    description.devEui = device.devEui;
    description.appEui = device.appEui;
    description.devName = device.name;
    if (description.appEui.isEmpty() || description.devName.isEmpty()) {
        for (const API::SServerDeviceInfo &info : m_serverDevices) {
            if (info.devEui.compare(device.devEui, Qt::CaseInsensitive) != 0)
                continue;
            if (description.appEui.isEmpty())
                description.appEui = info.appEui;
            if (description.devName.isEmpty())
                description.devName = info.devName;
            break;
        }
    }
    description.startAddr = int32_t(device.startAddr);
    description.unitId = uint8_t(device.unitId);
    description.regList = m_registry->getDeviceRegisterMap(description.appEui).registers;
    return description;
}

QList<SAddProblem> CGateway::checkNewDevices(const QList<SNewDevice> &devices) const
{
    QList<SAddProblem> problems;
    if (failed()) {
        problems.append({ 0, QString(), QStringLiteral("the register store is not available") });
        return problems;
    }
    const QStringList registered = m_store->getRegisteredDevices();
    QSet<QString> seen;
    // by the rows before: (address space, address) -> row; a space is a port and unit id
    QHash<QPair<uint32_t, int64_t>, int> claimed;
    for (int i = 0; i < devices.size(); ++i) {
        const SNewDevice &device = devices.at(i);
        const QString eui = device.devEui.toUpper();
        const SDeviceRegMapDescription description = newDescription(device);
        if (eui.isEmpty())
            problems.append({ i, QStringLiteral("devEui"), QStringLiteral("no DevEUI") });
        else if (!m_registry->hasTemplate(description.appEui))
            problems.append({ i, QStringLiteral("devEui"), QStringLiteral("device type not known") });
        else if (registered.contains(eui) || seen.contains(eui))
            problems.append({ i, QStringLiteral("devEui"), QStringLiteral("already registered"), true });
        seen.insert(eui);
        if (device.port < 1 || device.port > 65535 || !portUsable(uint16_t(device.port)))
            problems.append({ i, QStringLiteral("port"), QStringLiteral("port cannot be used"), true });
        QString unitProblem = unitIdProblem(device.port, device.unitId);
        for (int j = 0; unitProblem.isEmpty() && device.unitId != 0 && j < i; ++j)
            if (devices.at(j).port == device.port && devices.at(j).unitId == device.unitId)
                unitProblem = QStringLiteral("unit id already used on the port");
        if (!unitProblem.isEmpty()) {
            problems.append({ i, QStringLiteral("unitId"), unitProblem,
                              unitProblem.contains(QStringLiteral("already used")) });
            continue;
        }
        if (device.port < 1 || device.port > 65535)
            continue;
        const int unitId = int(device.unitId);
        const uint32_t space = (uint32_t(device.port) << 8) | uint32_t(unitId);
        const SRegisterMapConflict conflict
            = checkRegisterMap(description.regList, device.startAddr, uint16_t(device.port), unitId);
        if (conflict.kind == SRegisterMapConflict::PastEnd) {
            problems.append({ i, QStringLiteral("startRegister"),
                              QStringLiteral("registers would pass the address 65535") });
            continue;
        }
        if (!conflict.fits()) {
            problems.append({ i, QStringLiteral("startRegister"),
                              conflictText(conflict, uint16_t(device.port), unitId), true });
            continue;
        }
        // Rows of one list must not overlap each other either.
        const QList<int64_t> held = RegisterMap::addresses(description.regList, device.startAddr);
        QList<int64_t> sharedWith;
        int earlier = -1;
        for (const int64_t address : held) {
            const auto taken = claimed.constFind({ space, address });
            if (taken != claimed.cend() && (earlier < 0 || *taken == earlier)) {
                earlier = *taken;
                sharedWith.append(address);
            }
        }
        if (earlier >= 0) {
            problems.append({ i, QStringLiteral("startRegister"),
                              QStringLiteral("registers %1 on %2 are taken by row %3 of the list")
                                  .arg(RegisterMap::rangesText(RegisterMap::ranges(sharedWith)))
                                  .arg(placeText(uint16_t(device.port), unitId))
                                  .arg(earlier),
                              true });
            continue;
        }
        for (const int64_t address : held)
            claimed.insert({ space, address }, i);
    }
    return problems;
}

SRegisterMapConflict CGateway::checkRegisterMap(const QList<SRegisterDescription> &registers,
                                                qint64 startAddr, uint16_t port, int unitId) const
{
    const CRegisterImage &image = m_modbus->image();
    SRegisterMapConflict conflict = RegisterMap::check(
        registers, startAddr, [&](uint16_t address) { return image.owner(port, uint8_t(unitId), address); });
    if (conflict.kind == SRegisterMapConflict::Overlap) {
        for (const SRegisteredDevice &device : devices())
            if (device.id == conflict.otherDevice)
                conflict.otherName = device.name;
    }
    return conflict;
}

QString CGateway::conflictText(const SRegisterMapConflict &conflict, uint16_t port, int unitId)
{
    switch (conflict.kind) {
    case SRegisterMapConflict::PastEnd:
        return QStringLiteral("its registers would reach address %1, past 65535").arg(conflict.lastAddress);
    case SRegisterMapConflict::Overlap:
        return QStringLiteral("registers %1 on %2 are held by %3")
            .arg(RegisterMap::rangesText(conflict.shared))
            .arg(placeText(port, unitId))
            .arg(conflict.otherName);
    case SRegisterMapConflict::None:
        break;
    }
    return QString();
}

QString CGateway::placeText(uint16_t port, int unitId)
{
    return unitId == 0 ? QStringLiteral("port %1").arg(port)
                       : QStringLiteral("port %1 unit %2").arg(port).arg(unitId);
}

bool CGateway::addDevices(const QList<SNewDevice> &devices, SAddProblem *problem)
{
    const QList<SAddProblem> problems = checkNewDevices(devices);
    if (!problems.isEmpty()) {
        if (problem)
            *problem = problems.first();
        return false;
    }
    QList<QPair<SDeviceRegMapDescription, uint16_t>> rows;
    for (const SNewDevice &device : devices)
        rows.append({ newDescription(device), uint16_t(device.port) });
    if (!m_store->registerNewDevices(rows)) {
        if (problem)
            *problem = { 0, QString(), QStringLiteral("the register store refused the devices") };
        return false;
    }
    QSet<uint16_t> ports;
    for (const auto &row : qAsConst(rows))
        ports.insert(row.second);
    for (uint16_t port : qAsConst(ports))
        loadImage(port);
    for (auto &row : rows) {
        row.first.deviceId = m_store->deviceId(row.first.devEui);
        m_lastHeard.insert(row.first.devEui, m_clock());
        serve(row.first, row.second);
        emit deviceAdded(row.first.devEui);
    }
    return true;
}

bool CGateway::registerDevice(const SDeviceRegMapDescription &description, uint16_t port)
{
    if (failed())
        return false;
    const QString unitProblem = unitIdProblem(port, description.unitId);
    if (!unitProblem.isEmpty()) {
        addLog(
            QStringLiteral("WARNING: [CGateway::registerDevice] Device [%1] is not added: unit id [%2]: %3")
                .arg(description.devEui)
                .arg(description.unitId)
                .arg(unitProblem));
        return false;
    }
    const SRegisterMapConflict conflict
        = checkRegisterMap(description.regList, description.startAddr, port, description.unitId);
    if (!conflict.fits()) {
        addLog(QStringLiteral("WARNING: [CGateway::registerDevice] Device [%1] is not added: %2")
                   .arg(description.devEui, conflictText(conflict, port, description.unitId)));
        return false;
    }
    if (!m_store->registerNewDevice(description, port))
        return false;
    loadImage(port);
    SDeviceRegMapDescription stored = description;
    stored.deviceId = m_store->deviceId(description.devEui);
    m_lastHeard.insert(description.devEui, m_clock());
    serve(stored, port);
    emit deviceAdded(description.devEui);
    return true;
}

bool CGateway::removeDevice(uint32_t deviceId, const QString &devEui, uint16_t port)
{
    const QString name = device(devEui).name;
    if (const SPublishedDevice *published = m_registry->publishedDevice(devEui)) {
        m_modbus->image().removeDevice(port, published->unitId);
        m_modbus->removeDevice(port);
        m_registry->removeDevice(devEui, port);
    }
    const bool deleted = !failed() && m_store->deleteDevice(deviceId);
    if (deleted) {
        m_modbus->image().setDeviceFailed(deviceId, false);
        m_scaling->removeDevice(deviceId);
        m_silent.remove(devEui);
        m_lastHeard.remove(devEui);
        m_lastStored.remove(devEui);
        loadImage(port);
        // Every front end deletes through here, so history.log hears of each deletion once.
        addLog(QStringLiteral("INFO: [CGateway::removeDevice] Device [%1] DevEUI [%2] on port [%3] deleted")
                   .arg(name, devEui)
                   .arg(port));
        emit deviceRemoved(devEui);
    }
    return deleted;
}

bool CGateway::removeDevice(const QString &devEui)
{
    const SPublishedDevice *device = m_registry->publishedDevice(devEui);
    if (!device)
        return false;
    const SPublishedDevice copy = *device;
    return removeDevice(copy.id, copy.devEui, copy.port);
}

void CGateway::updateScaling(const SDeviceRegUpdate &update)
{
    if (failed())
        return;
    m_store->updateRegInfo(update);
    // What the store holds now decodes the next uplink: a failed statement
    // leaves the rows, and the table, as they were.
    int port = update.port;
    QString devEui;
    for (const SPublishedDevice &device : m_registry->publishedDevices())
        if (device.id == update.deviceId) {
            port = device.port;
            devEui = device.devEui;
        }
    loadImage(port);
    if (!devEui.isEmpty())
        emit scalingChanged(devEui);
}

bool CGateway::portUsable(uint16_t port) const
{
    if (port == 0)
        return false;
    if (m_modbus->isOpen(port))
        return true;
    QTcpServer trial;
    if (trial.listen(m_modbus->config().bindAddress, port))
        return true;
    addLog(QStringLiteral("WARNING: [CGateway] Port [%1] cannot be opened: %2")
               .arg(port)
               .arg(trial.errorString()));
    return false;
}

int CGateway::setModbusAllowList(const SModbusConfig &config)
{
    return m_modbus->setAllowList(config);
}

QString CGateway::unitIdProblem(qint64 port, qint64 unitId, const QString &devEui) const
{
    if (unitId == 0)
        return QString();
    if (!CRegisterImage::isDeviceUnitId(int(qBound<qint64>(-1, unitId, 1000))))
        return QStringLiteral("unit id must be 1 to 247");
    for (const SPublishedDevice &device : m_registry->publishedDevices())
        if (device.port == port && device.unitId == unitId
            && device.devEui.compare(devEui, Qt::CaseInsensitive) != 0)
            return QStringLiteral("unit id already used on the port");
    return QString();
}

QList<SRegisteredDevice> CGateway::devicesSharingSpace(uint16_t port, int unitId) const
{
    QList<SRegisteredDevice> list;
    for (const SPublishedDevice &device : m_registry->publishedDevices())
        if (device.port == port && device.unitId == unitId)
            list.append(this->device(device.devEui));
    return list;
}

bool CGateway::setUnitId(const QString &devEui, qint64 unitId, SAddProblem *problem)
{
    const SPublishedDevice *published = m_registry->publishedDevice(devEui);
    const auto refuse = [problem](const QString &field, const QString &error) {
        if (problem)
            *problem = { 0, field, error };
        return false;
    };
    if (!published || failed())
        return refuse(QStringLiteral("devEui"), QStringLiteral("device not registered"));
    const QString reason = unitIdProblem(published->port, unitId, devEui);
    if (!reason.isEmpty())
        return refuse(QStringLiteral("unitId"), reason);
    SPublishedDevice device = *published;
    if (device.unitId == unitId)
        return true;
    // Its registers move to the address space of the new unit id, where they must fit too.
    QList<SRegisterDescription> registers;
    for (const SDeviceRegister &reg : deviceRegisters(device.id)) {
        SRegisterDescription description;
        description.offset = reg.address - uint32_t(device.startAddr);
        description.bitSize = reg.bitSize;
        description.dataType = reg.dataType;
        registers.append(description);
    }
    const SRegisterMapConflict conflict
        = checkRegisterMap(registers, device.startAddr, device.port, int(unitId));
    if (!conflict.fits())
        return refuse(QStringLiteral("unitId"), conflictText(conflict, device.port, int(unitId)));
    if (!m_store->setUnitId(device.id, uint8_t(unitId)))
        return refuse(QString(), QStringLiteral("the register store refused the unit id"));
    addLog(QStringLiteral("INFO: [CGateway] Device [%1] on port [%2]: unit id [%3]")
               .arg(devEui)
               .arg(device.port)
               .arg(unitId == 0 ? QStringLiteral("none") : QString::number(unitId)));
    SDeviceRegMapDescription description;
    description.deviceId = device.id;
    description.devEui = device.devEui;
    description.appEui = device.appEui;
    description.devName = device.devName;
    description.startAddr = device.startAddr;
    description.unitId = uint8_t(unitId);
    CRegisterImage &image = m_modbus->image();
    image.removeDevice(device.port, device.unitId);
    image.addDevice(device.port, description.unitId, identityOf(description));
    m_registry->setUnitId(devEui, description.unitId);
    loadImage(device.port);
    return true;
}

// --- Server session ---

void CGateway::connectToServer(const SServerSettings &server)
{
    m_server = server;
    m_session->setReconnectEnabled(server.reconnect);
    if (!server.caFile.isEmpty() && !m_trustedCaFiles.contains(server.caFile)
        && m_session->addTrustedCaFile(server.caFile))
        m_trustedCaFiles << server.caFile;
    m_session->connectSlot(server.origin(), server.login, server.password);
}

bool CGateway::serverWaitsForOperator() const
{
    return m_session->waitsForOperator();
}

// --- State ---

SGatewayCounters CGateway::counters() const
{
    SGatewayCounters counters;
    counters.uplinksDecoded = m_registry->decodedUplinks();
    counters.uplinksRejected = m_registry->rejectedUplinks();
    for (uint16_t port : m_modbus->openPorts())
        counters.connectionsByPort.insert(port, m_modbus->connections(port));
    counters.serverReconnects = m_serverReconnects;
    const Modbus::SStatistics &modbus = Modbus::statistics();
    counters.modbusReadHolding = modbus.readHoldingRequests;
    counters.modbusReadInput = modbus.readInputRequests;
    counters.modbusOtherRequests = modbus.otherRequests;
    for (int code = 1; code < int(modbus.exceptions.size()); ++code)
        if (const quint64 answered = modbus.exceptions[size_t(code)])
            counters.modbusExceptions.insert(code, answered);
    counters.modbusRejectedConnections = modbus.rejectedConnections;
    return counters;
}

qint64 CGateway::databaseBytes() const
{
    qint64 bytes = 0;
    for (const QString &suffix : { QString(), QStringLiteral("-wal") })
        bytes += std::max<qint64>(0, QFileInfo(m_dataBaseFile + suffix).size());
    return bytes;
}

void CGateway::setDescriptorsSetAside(int count)
{
    Modbus::setDescriptorsSetAside(count);
}

qint64 CGateway::silentForMs(const QString &devEui) const
{
    return m_silent.contains(devEui) ? m_clock() - m_lastHeard.value(devEui) : -1;
}

void CGateway::checkSilence()
{
    const qint64 now = m_clock();
    const QMap<QString, SPublishedDevice> &devices = m_registry->publishedDevices();
    for (auto it = devices.cbegin(); it != devices.cend(); ++it) {
        const int limitS = m_registry->getTemplate(it->appEui).silent_after_s;
        const qint64 quietMs = now - m_lastHeard.value(it.key(), now);
        const bool silent = limitS > 0 && quietMs > qint64(limitS) * 1000;
        if (silent != m_silent.contains(it.key()))
            setSilent(it.key(), it->id, it->appEui, silent, quietMs);
    }
}

void CGateway::setSilent(const QString &devEui, uint32_t deviceId, const QString &appEui, bool silent,
                         qint64 quietMs)
{
    if (silent) {
        m_silent.insert(devEui);
        addLog(QStringLiteral("WARNING: [CGateway] Device [%1] is silent: no uplink for [%2] s")
                   .arg(devEui)
                   .arg(quietMs / 1000));
    } else {
        m_silent.remove(devEui);
        addLog(QStringLiteral("INFO: [CGateway] Device [%1] is heard again").arg(devEui));
    }
    m_modbus->image().setDeviceFailed(deviceId, silent && m_registry->getTemplate(appEui).silent_exception);
    emit silenceChanged(devEui, silent);
}
