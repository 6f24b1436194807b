#include "core/registermapexport.h"

#include "core/gateway.h"

#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>

namespace RegisterMapExport {

namespace {

QByteArray csvCell(const QString &text)
{
    QByteArray cell = text.toUtf8();
    if (cell.contains(',') || cell.contains('"') || cell.contains('\n') || cell.contains('\r')) {
        cell.replace("\"", "\"\"");
        cell = '"' + cell + '"';
    }
    return cell;
}

} // namespace

QByteArray csvChunk(const CGateway &gateway, SRegisterMapCursor &cursor, int maxRows)
{
    if (cursor.done)
        return QByteArray();
    QByteArray out;
    if (!cursor.started)
        out = "port,address,device,devEui,field,dataType,bitSize,wordOrder,unit,multiplier,extraValue,"
              "unitId\r\n";
    for (const SRegisterMapRow &row : gateway.registerMap(cursor, maxRows)) {
        out += QByteArray::number(row.port) + ',' + QByteArray::number(row.address) + ','
            + csvCell(row.deviceName) + ',' + csvCell(row.devEui) + ',' + csvCell(row.field) + ','
            + csvCell(row.dataType) + ',' + QByteArray::number(row.bitSize) + ',' + csvCell(row.wordOrder)
            + ',' + csvCell(row.unit) + ',' + QByteArray::number(row.multiplier) + ','
            + QByteArray::number(row.extraValue) + ','
            + (row.unitId ? QByteArray::number(row.unitId) : QByteArray()) + "\r\n";
    }
    return out;
}

QByteArray jsonChunk(const CGateway &gateway, SRegisterMapCursor &cursor, int maxRows)
{
    if (cursor.done)
        return QByteArray();
    const bool first = !cursor.started;
    QByteArray out = first ? "[" : "";
    bool separate = !first;
    for (const SRegisterMapRow &row : gateway.registerMap(cursor, maxRows)) {
        const QJsonObject object { { QStringLiteral("port"), int(row.port) },
                                   { QStringLiteral("address"), qint64(row.address) },
                                   { QStringLiteral("device"), row.deviceName },
                                   { QStringLiteral("devEui"), row.devEui },
                                   { QStringLiteral("field"), row.field },
                                   { QStringLiteral("dataType"), row.dataType },
                                   { QStringLiteral("bitSize"), qint64(row.bitSize) },
                                   { QStringLiteral("wordOrder"), row.wordOrder },
                                   { QStringLiteral("unit"), row.unit },
                                   { QStringLiteral("multiplier"), row.multiplier },
                                   { QStringLiteral("extraValue"), row.extraValue },
                                   { QStringLiteral("unitId"),
                                     row.unitId ? QJsonValue(row.unitId) : QJsonValue() } };
        if (separate)
            out += ',';
        out += QJsonDocument(object).toJson(QJsonDocument::Compact);
        separate = true;
    }
    if (cursor.done)
        out += ']';
    return out;
}

bool writeCsv(const CGateway &gateway, int port, QIODevice &out)
{
    SRegisterMapCursor cursor;
    cursor.port = port;
    while (!cursor.done) {
        const QByteArray piece = csvChunk(gateway, cursor);
        if (out.write(piece) != piece.size())
            return false;
    }
    return true;
}

} // namespace RegisterMapExport
