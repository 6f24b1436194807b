// tidewell-template check PATH...
//     Every problem of the templates in the files and folders given, by the
//     gateway's rules (load and decode); keys the gateway ignores as notes.
//     Exit 1 when a template or field would be refused or skipped, else 0.
// tidewell-template decode TEMPLATE --payload HEX [--rssi N --snr N --fcnt N
//     --ts MS --dev-eui EUI --gateway ID] [--json]
//     The register table the gateway would serve for that uplink from start
//     register 0 with neutral scaling. Exit 1 when the uplink is refused.
// Usage errors exit 2.
#include "app/constants.h"
#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "devices/registervalue.h"
#include "devices/templateloader.h"
#include "devices/uplinkdecoder.h"
#include "storage/databasehandler.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <cstdio>

namespace {

using TemplateLoader::SFileIssue;

void printLine(FILE *stream, const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stream);
}

// The records' diagnostics are for developers; the tool speaks for itself.
void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        printLine(stderr, text);
}

QString issueLine(const char *kind, const SFileIssue &issue)
{
    if (issue.where.isEmpty())
        return QStringLiteral("%1: %2: %3").arg(issue.file, QLatin1String(kind), issue.reason);
    return QStringLiteral("%1: %2: %3: %4").arg(issue.file, QLatin1String(kind), issue.where, issue.reason);
}

// Problems of a loaded file plus what the decoder would skip in it.
void collect(const TemplateLoader::SLoadedFile &loaded, QList<SFileIssue> &problems, QList<SFileIssue> &notes)
{
    problems += loaded.problems;
    notes += loaded.notes;
    if (!loaded.deviceTemplate.valid)
        return;
    const QList<STemplateIssue> decoding = Decoder::templateIssues(loaded.deviceTemplate);
    for (const STemplateIssue &issue : decoding)
        (issue.note ? notes : problems).append({ loaded.path, issue.where, issue.reason });
}

int check(const QStringList &paths)
{
    if (paths.isEmpty()) {
        printLine(stderr, QStringLiteral("usage: tidewell-template check PATH..."));
        return 2;
    }
    const auto ignoreLog = [](const QString &) {};
    QList<SFileIssue> problems;
    QList<SFileIssue> notes;
    int files = 0;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (info.isDir()) {
            const TemplateLoader::SLoadedFolder folder = TemplateLoader::loadFolder(path, ignoreLog);
            if (folder.files.isEmpty())
                notes.append(
                    { path, QString(), QStringLiteral("no *.json file: the gateway would load nothing") });
            for (const TemplateLoader::SLoadedFile &loaded : folder.files)
                collect(loaded, problems, notes);
            files += folder.files.size();
        } else if (info.exists()) {
            collect(TemplateLoader::loadFile(path, info.fileName(), ignoreLog), problems, notes);
            ++files;
        } else {
            printLine(stderr, QStringLiteral("tidewell-template: no file or folder %1").arg(path));
            return 2;
        }
    }
    for (const SFileIssue &issue : qAsConst(problems))
        printLine(stdout, issueLine("problem", issue));
    for (const SFileIssue &issue : qAsConst(notes))
        printLine(stdout, issueLine("note", issue));
    printLine(stdout,
              QStringLiteral("%1 file(s), %2 problem(s), %3 note(s)")
                  .arg(files)
                  .arg(problems.size())
                  .arg(notes.size()));
    return problems.isEmpty() ? 0 : 1;
}

struct SServedRegister
{
    qint64 address = 0;
    QString name;
    QString type;
    QStringList words; // as served, four hex digits each
    QString value; // what the words carry, as the register view shows it
    QString unit;
};

QString valueOf(const QString &type, const QVariant &fullValue, int bitSize)
{
    if (fullValue.isNull())
        return {};
    const QString text = fullValue.toString();
    if (type == QS_TYPE_TEXT)
        return text.left(text.indexOf(QChar(0)));
    bool ok = false;
    return RegisterValue::numberText(type, text, bitSize, &ok);
}

// Runs the uplink through the gateway's registry, decoder and register store
// in a scratch working directory, then reads the stored registers back.
int decode(const QString &templatePath, const API::SApiDeviceData &uplink, bool json)
{
    QStringList loadLog;
    const TemplateLoader::SLoadedFile loaded = TemplateLoader::loadFile(
        templatePath, QFileInfo(templatePath).fileName(), [&](const QString &line) { loadLog << line; });
    if (!loaded.deviceTemplate.valid) {
        for (const SFileIssue &issue : loaded.problems)
            printLine(stderr, issueLine("problem", issue));
        printLine(stderr, QStringLiteral("tidewell-template: the gateway refuses %1").arg(templatePath));
        return 1;
    }

    QTemporaryDir scratch;
    if (!scratch.isValid() || !QDir(scratch.path()).mkdir(QS_GLOB_DEVICE_FOLDER)
        || !QFile::copy(templatePath,
                        scratch.filePath(QS_GLOB_DEVICE_FOLDER + QStringLiteral("/template.json")))
        || !QDir::setCurrent(scratch.path())) {
        printLine(stderr, QStringLiteral("tidewell-template: cannot prepare a scratch directory"));
        return 2;
    }
    CLogFile *logFile = CLogFile::getInstance(QS_GLOB_LOG_FILE);
    const uint16_t port = 502; // the store's key for the device; nothing listens on it
    CDataBaseHandler store(scratch.filePath(QS_GLOB_DB_FILE), QStringLiteral("template-tool"));
    if (store.failed()) {
        printLine(stderr, QStringLiteral("tidewell-template: cannot open a scratch register store"));
        return 2;
    }

    QStringList decodeLog;
    QList<SServedRegister> table;
    bool accepted = false;
    {
        CAllDeviceHandler registry;
        registry.setRegisterStore(&store);
        DB::SDeviceRegMapDescription device;
        device.devEui = uplink.devEui;
        device.appEui = loaded.deviceTemplate.app_eui;
        device.devName = QStringLiteral("template-tool");
        device.startAddr = 0;
        device.regList = registry.getDeviceRegisterMap(device.appEui).registers;
        if (!store.registerNewDevice(device, port)) {
            printLine(stderr,
                      QStringLiteral("tidewell-template: the register store refused the register map"));
            return 1;
        }
        registry.addNewDevice(device, port);
        // Stored or not, a batch means the decoder took the uplink.
        QObject::connect(&store, &CDataBaseHandler::registerDataSaved, &registry, [&] { accepted = true; });
        QObject::connect(&store, &CDataBaseHandler::registerDataDropped, &registry, [&] { accepted = true; });
        QObject::connect(logFile, &CLogFile::addLogSignal, &registry, [&](const QString &entry) {
            decodeLog << entry.mid(entry.indexOf(QLatin1Char(']')) + 1);
        });
        registry.newPacketReceivedSlot(uplink);
    }
    for (const QString &line : qAsConst(decodeLog))
        printLine(stderr, line);
    if (!accepted) {
        printLine(stderr, QStringLiteral("tidewell-template: the gateway discards this uplink"));
        return 1;
    }

    QSqlQuery devices = store.getDevices(QString());
    const uint32_t deviceId = devices.next() ? devices.value(QStringLiteral("device")).toUInt() : 0;
    QSqlQuery rows = store.getRegisters(deviceId);
    while (rows.next()) {
        SServedRegister reg;
        reg.address = rows.value(QStringLiteral("reg_addr")).toLongLong();
        reg.name = rows.value(QStringLiteral("name")).toString();
        reg.type = rows.value(QStringLiteral("data_type")).toString();
        reg.unit = rows.value(QStringLiteral("unit")).toString();
        const int bitSize = rows.value(QStringLiteral("bit_size")).toInt();
        reg.value = valueOf(reg.type, rows.value(QStringLiteral("full_value")), bitSize);
        const auto count = uint32_t((bitSize + 15) / 16);
        const QMap<uint16_t, uint16_t> words = store.getRegisterData(port, uint32_t(reg.address), count);
        for (uint32_t i = 0; i < count; ++i)
            reg.words << QStringLiteral("%1").arg(words.value(uint16_t(reg.address + i)), 4, 16,
                                                  QLatin1Char('0'));
        table.append(reg);
    }

    if (json) {
        QJsonArray registers;
        for (const SServedRegister &reg : qAsConst(table))
            registers.append(QJsonObject { { "address", reg.address },
                                           { "name", reg.name },
                                           { "type", reg.type },
                                           { "registers", QJsonArray::fromStringList(reg.words) },
                                           { "value", reg.value },
                                           { "unit", reg.unit } });
        const QJsonObject out { { "template", templatePath },
                                { "app_eui", loaded.deviceTemplate.app_eui },
                                { "registers", registers } };
        std::fputs(QJsonDocument(out).toJson(QJsonDocument::Indented).constData(), stdout);
        return 0;
    }
    int nameWidth = 4;
    for (const SServedRegister &reg : qAsConst(table))
        nameWidth = std::max(nameWidth, int(reg.name.size()));
    const auto line = [&](const QString &address, const QString &name, const QString &words,
                          const QString &value, const QString &unit) {
        printLine(stdout,
                  QStringLiteral("%1  %2  %3  %4%5")
                      .arg(address, -7)
                      .arg(name, -nameWidth)
                      .arg(words, -19)
                      .arg(value)
                      .arg(unit.isEmpty() ? QString() : QStringLiteral(" [%1]").arg(unit)));
    };
    line(QStringLiteral("ADDRESS"), QStringLiteral("NAME"), QStringLiteral("REGISTERS"),
         QStringLiteral("VALUE"), {});
    for (const SServedRegister &reg : qAsConst(table))
        line(QString::number(reg.address), reg.name, reg.words.join(QLatin1Char(' ')), reg.value, reg.unit);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(quietMessages);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tidewell-template"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Checks device templates and decodes payloads with them."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("check PATH... | decode TEMPLATE"));
    const QCommandLineOption payload(QStringLiteral("payload"), QStringLiteral("Payload bytes in hex."),
                                     QStringLiteral("HEX"));
    const QCommandLineOption rssi(QStringLiteral("rssi"), QStringLiteral("RSSI in dBm."), QStringLiteral("N"),
                                  "0");
    const QCommandLineOption snr(QStringLiteral("snr"), QStringLiteral("SNR in dB."), QStringLiteral("N"),
                                 "0");
    const QCommandLineOption fcnt(QStringLiteral("fcnt"), QStringLiteral("Frame counter."),
                                  QStringLiteral("N"), "0");
    const QCommandLineOption ts(QStringLiteral("ts"), QStringLiteral("Time stamp in ms since 1970."),
                                QStringLiteral("MS"), "0");
    const QCommandLineOption devEui(QStringLiteral("dev-eui"), QStringLiteral("DevEUI of the device."),
                                    QStringLiteral("EUI"), QStringLiteral("0000000000000001"));
    const QCommandLineOption gateway(QStringLiteral("gateway"), QStringLiteral("Gateway identifier."),
                                     QStringLiteral("ID"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print the register table as JSON."));
    parser.addOptions({ payload, rssi, snr, fcnt, ts, devEui, gateway, json });
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    if (command == QLatin1String("check"))
        return check(args.mid(1));
    if (command != QLatin1String("decode") || args.size() != 2 || !parser.isSet(payload)) {
        printLine(stderr,
                  QStringLiteral("usage: tidewell-template check PATH...\n"
                                 "       tidewell-template decode TEMPLATE --payload HEX [--rssi N --snr N "
                                 "--fcnt N --ts MS --dev-eui EUI --gateway ID] [--json]"));
        return 2;
    }

    API::SApiDeviceData uplink;
    bool ok[5] = {};
    const QString hex = parser.value(payload).remove(QLatin1Char(' '));
    uplink.data = QByteArray::fromHex(hex.toLatin1());
    const int rssiValue = parser.value(rssi).toInt(&ok[0]);
    uplink.rssi = qint16(rssiValue);
    uplink.snr = parser.value(snr).toDouble(&ok[1]);
    uplink.fcnt = parser.value(fcnt).toUInt(&ok[2]);
    uplink.ts = parser.value(ts).toULongLong(&ok[3]);
    ok[4] = hex.size() % 2 == 0 && uplink.data.toHex() == hex.toLower().toLatin1();
    // The server link upper-cases DevEUIs before the registry sees them.
    uplink.devEui = parser.value(devEui).toUpper();
    uplink.gatewayId = parser.value(gateway);
    if (!ok[0] || rssiValue < -32768 || rssiValue > 32767 || !ok[1] || !ok[2] || !ok[3] || !ok[4]) {
        printLine(stderr,
                  QStringLiteral("tidewell-template: --payload needs hex bytes, --rssi, --snr, --fcnt and "
                                 "--ts numbers"));
        return 2;
    }
    return decode(QFileInfo(args.at(1)).absoluteFilePath(), uplink, parser.isSet(json));
}
