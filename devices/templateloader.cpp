#include "devices/templateloader.h"

#include "app/constants.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>

namespace TemplateLoader {

namespace {

const QString QS_WARN_REG_BIT_SIZE = QStringLiteral(
    "WARNING: [CAllDeviceHandler::init] File [%1]: field [%2] reg_bit_size [%3] is outside %4..%5. Skip");

const QString QS_WARN_WORD_ORDER = QStringLiteral("WARNING: [CAllDeviceHandler::init] File [%1]: field [%2] "
                                                  "reg_word_order [%3] is neither %4 nor %5. Skip");

bool wordOrderKnown(const QString &order)
{
    return order.isEmpty() || order == QS_TPL_HIGH_FIRST || order == QS_TPL_LOW_FIRST;
}

bool regBitSizeFits(int bits)
{
    return bits >= MinRegBitSize && bits <= MaxRegBitSize;
}

QString sizeReason(int bits)
{
    return QStringLiteral("reg_bit_size [%1] is outside %2..%3")
        .arg(bits)
        .arg(MinRegBitSize)
        .arg(MaxRegBitSize);
}

const QString QS_WARN_OVERLAP = QStringLiteral("WARNING: [CAllDeviceHandler::init] File [%1]: %2 and %3 "
                                               "share registers %4; the later one is served there");

// One entry of the type's register map: a packet field or a server value.
struct SMapEntry
{
    QString where;
    int64_t first = 0;
    int64_t last = 0;
    int bitSize = 0;
    int64_t packet = -1; // -1: a server value
};

QString rangeText(int64_t first, int64_t last)
{
    return first == last ? QString::number(first) : QStringLiteral("%1..%2").arg(first).arg(last);
}

// All packet layouts and server values of a type share one register map, so
// two entries on common registers hide one another. The same value sent in two
// layouts (same offset and size, different packets) is the exception.
void findOverlaps(SLoadedFile &loaded, const QString &name, const LogWriter &log)
{
    const SDeviceTemplate &tpl = loaded.deviceTemplate;
    QList<SMapEntry> entries;
    const auto registers = [](int bits) { return bits <= 16 ? 1 : (bits + 15) / 16; };
    for (auto data = tpl.server_data.cbegin(); data != tpl.server_data.cend(); ++data)
        entries.append({ QStringLiteral("server_data [%1]").arg(data.key()), data->reg_map_bias,
                         data->reg_map_bias + registers(data->reg_bit_size) - 1, data->reg_bit_size, -1 });
    for (const SDevicePacket &packet : tpl.device_packets)
        for (const SDevicePacketField &field : packet.packet_fields)
            entries.append(
                { QStringLiteral("packet [%1] field [%2]").arg(packet.packet_type).arg(field.data_name),
                  field.reg_map_bias, field.reg_map_bias + registers(field.reg_bit_size) - 1,
                  field.reg_bit_size, packet.packet_type });
    for (int i = 0; i < entries.size(); ++i) {
        for (int j = i + 1; j < entries.size(); ++j) {
            const SMapEntry &a = entries.at(i);
            const SMapEntry &b = entries.at(j);
            const int64_t first = std::max(a.first, b.first);
            const int64_t last = std::min(a.last, b.last);
            if (first > last)
                continue;
            if (a.packet >= 0 && b.packet >= 0 && a.packet != b.packet && a.first == b.first
                && a.bitSize == b.bitSize)
                continue;
            const QString shared = rangeText(first, last);
            log(QS_WARN_OVERLAP.arg(name, a.where, b.where, shared));
            loaded.problems.append(
                { loaded.path, a.where, QStringLiteral("shares registers %1 with %2").arg(shared, b.where) });
        }
    }
}

// Applies the rules that need the file's name for their log line: a refused
// field leaves its packet, a packet left without fields leaves the template.
void applyLoadRules(SLoadedFile &loaded, const QString &name, const LogWriter &log)
{
    SDeviceTemplate &tpl = loaded.deviceTemplate;
    for (auto packet = tpl.device_packets.begin(); packet != tpl.device_packets.end();) {
        const QString where = QStringLiteral("packet [%1]").arg(packet->packet_type);
        QList<SDevicePacketField> kept;
        for (const SDevicePacketField &field : qAsConst(packet->packet_fields)) {
            const QString fieldWhere = where + QStringLiteral(" field [%1]").arg(field.data_name);
            if (!regBitSizeFits(field.reg_bit_size)) {
                log(QS_WARN_REG_BIT_SIZE.arg(name, field.data_name)
                        .arg(field.reg_bit_size)
                        .arg(MinRegBitSize)
                        .arg(MaxRegBitSize));
                loaded.problems.append({ loaded.path, fieldWhere, sizeReason(field.reg_bit_size) });
            } else if (!wordOrderKnown(field.reg_word_order)) {
                // A misspelt order would silently serve the other one.
                log(QS_WARN_WORD_ORDER.arg(name, field.data_name, field.reg_word_order, QS_TPL_HIGH_FIRST,
                                           QS_TPL_LOW_FIRST));
                loaded.problems.append(
                    { loaded.path, fieldWhere,
                      QStringLiteral("reg_word_order [%1] is neither %2 nor %3")
                          .arg(field.reg_word_order, QS_TPL_HIGH_FIRST, QS_TPL_LOW_FIRST) });
            } else {
                kept.append(field);
            }
        }
        packet->packet_fields = kept;
        if (kept.isEmpty()) {
            loaded.problems.append({ loaded.path, where, QStringLiteral("no valid field") });
            packet = tpl.device_packets.erase(packet);
        } else {
            ++packet;
        }
    }
    for (auto data = tpl.server_data.begin(); data != tpl.server_data.end();) {
        if (regBitSizeFits(data->reg_bit_size)) {
            ++data;
            continue;
        }
        log(QS_WARN_REG_BIT_SIZE.arg(name, data->data_name)
                .arg(data->reg_bit_size)
                .arg(MinRegBitSize)
                .arg(MaxRegBitSize));
        loaded.problems.append({ loaded.path, QStringLiteral("server_data [%1]").arg(data.key()),
                                 sizeReason(data->reg_bit_size) });
        data = tpl.server_data.erase(data);
    }
    findOverlaps(loaded, name, log);
    if (tpl.valid && tpl.device_packets.isEmpty()) {
        qDebug().noquote() << "[SDeviceTemplate] Device packets array is empty";
        loaded.problems.append(
            { loaded.path, QString(), QStringLiteral("no valid packet in device_packets") });
        tpl.valid = false;
    }
}

} // namespace

SLoadedFile loadFile(const QString &path, const QString &name, const LogWriter &log)
{
    SLoadedFile loaded;
    loaded.path = path;
    auto refuse = [&](const QString &line, const QString &reason) {
        log(line);
        loaded.problems.append({ path, QString(), reason });
        return loaded;
    };

    QFile file(path);
    if (!file.exists())
        return refuse(QStringLiteral("File [%1] is not exist").arg(name),
                      QStringLiteral("the file does not exist"));
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("File [%1] is not opened").arg(name),
                      QStringLiteral("the file cannot be opened: %1").arg(file.errorString()));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    file.close();
    if (error.error != QJsonParseError::NoError) {
        return refuse(
            QStringLiteral("ERROR: [CAllDeviceHandler] Invalid parsing JSON file [%1]: error[%2], row[%3]")
                .arg(path, error.errorString())
                .arg(error.offset),
            QStringLiteral("invalid JSON at character %1: %2").arg(error.offset).arg(error.errorString()));
    }
    if (document.isEmpty())
        return refuse(QStringLiteral("File [%1] is not contans JSON document").arg(name),
                      QStringLiteral("the file holds no JSON document"));

    // A top-level array reads as an empty object, which the template refuses.
    loaded.deviceTemplate = SDeviceTemplate(document.object());
    for (const STemplateIssue &issue : qAsConst(loaded.deviceTemplate.issues))
        (issue.note ? loaded.notes : loaded.problems).append({ path, issue.where, issue.reason });
    loaded.deviceTemplate.issues.clear();
    if (loaded.deviceTemplate.valid)
        applyLoadRules(loaded, name, log);
    return loaded;
}

SLoadedFolder loadFolder(const QString &folder, const LogWriter &log)
{
    SLoadedFolder result;
    QDir dir(folder);
    if (!dir.exists()) {
        const QString text
            = QStringLiteral("[CAllDeviceHandler::init] Dirrectory with device signature is not existed");
        log(text);
        qDebug().noquote() << text;
        return result;
    }
    const QStringList names = dir.entryList({ QStringLiteral("*.json") }, QDir::Files, QDir::Name);
    if (names.isEmpty()) {
        const QString text
            = QStringLiteral("[CAllDeviceHandler::init] Dirrectory with device signature is empty");
        log(text);
        qDebug().noquote() << text;
        return result;
    }
    qDebug() << names;

    for (const QString &name : names) {
        SLoadedFile loaded = loadFile(folder + QStringLiteral("/") + name, name, log);
        const SDeviceTemplate &tpl = loaded.deviceTemplate;
        if (tpl.valid) {
            if (result.catalogue.contains(tpl.app_eui)) {
                log(QStringLiteral("Device [%1] already inited. Skip").arg(tpl.app_eui));
                loaded.problems.append(
                    { loaded.path, QString(),
                      QStringLiteral("app_eui [%1] is taken by an earlier file").arg(tpl.app_eui) });
            } else {
                log(QStringLiteral("Device [%1] inited SUCCESSULLY").arg(tpl.app_eui));
                result.catalogue.insert(tpl.app_eui, tpl);
            }
        }
        result.files.append(loaded);
    }
    return result;
}

} // namespace TemplateLoader
