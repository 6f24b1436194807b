#include "app/settingscheck.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>

#include <arpa/inet.h>

namespace SettingsCheck {

namespace {

QString portProblem(const QString &value)
{
    bool ok = false;
    const int port = value.trimmed().toInt(&ok);
    return ok && port >= 1 && port <= 65535 ? QString() : QStringLiteral("not a port number (1 to 65535)");
}

QString hostProblem(const QString &value)
{
    const QString host = value.trimmed();
    if (host.contains(QLatin1String("://")))
        return QStringLiteral("a host name or address without a scheme (put ws or wss in key scheme)");
    if (host.contains(QLatin1Char('/')) || host.contains(QLatin1Char(' ')))
        return QStringLiteral("not a host name or address");
    QUrl url;
    url.setScheme(QStringLiteral("ws"));
    url.setHost(host, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() ? QString() : QStringLiteral("not a host name or address");
}

QString schemeProblem(const QString &value)
{
    const QString scheme = value.trimmed().toLower();
    return scheme == QLatin1String("ws") || scheme == QLatin1String("wss")
        ? QString()
        : QStringLiteral("neither ws nor wss");
}

QString switchProblem(const QString &value)
{
    static const QStringList words
        = { QStringLiteral("true"), QStringLiteral("false"), QStringLiteral("1"),  QStringLiteral("0"),
            QStringLiteral("yes"),  QStringLiteral("no"),    QStringLiteral("on"), QStringLiteral("off") };
    return words.contains(value.trimmed().toLower()) ? QString() : QStringLiteral("neither true nor false");
}

QString readableFileProblem(const QString &value)
{
    const QFileInfo info(value.trimmed());
    return info.isFile() && info.isReadable() ? QString() : QStringLiteral("not a readable file");
}

QString addressProblem(const QString &value)
{
    // The library stays free of Qt Network: the system parses the address.
    const QByteArray text = value.trimmed().toLatin1();
    unsigned char address[16];
    const bool valid = ::inet_pton(AF_INET, text.constData(), address) == 1
        || ::inet_pton(AF_INET6, text.constData(), address) == 1;
    return valid ? QString() : QStringLiteral("not an IPv4 or IPv6 address");
}

QString countProblem(const QString &value)
{
    bool ok = false;
    return value.trimmed().toInt(&ok) > 0 && ok ? QString() : QStringLiteral("not a positive whole number");
}

QString anyValue(const QString &)
{
    return QString();
}

QList<SKeyRule> &rules()
{
    static QList<SKeyRule> table = {
        { QStringLiteral("server"), QStringLiteral("ip"), false, hostProblem },
        { QStringLiteral("server"), QStringLiteral("port"), false, portProblem },
        { QStringLiteral("server"), QStringLiteral("login"), false, anyValue },
        { QStringLiteral("server"), QStringLiteral("password"), false, anyValue },
        { QStringLiteral("server"), QStringLiteral("scheme"), false, schemeProblem },
        { QStringLiteral("server"), QStringLiteral("reconnect"), false, switchProblem },
        { QStringLiteral("server"), QStringLiteral("ca_file"), false, readableFileProblem },
        { QStringLiteral("modbus"), QStringLiteral("bind"), false, addressProblem },
        { QStringLiteral("modbus"), QStringLiteral("max_connections"), false, countProblem },
    };
    return table;
}

const SKeyRule *findRule(const QString &group, const QString &key)
{
    for (const SKeyRule &rule : rules())
        if (rule.group.compare(group, Qt::CaseInsensitive) == 0 && rule.key == key)
            return &rule;
    return nullptr;
}

// Whether QSettings reads the line as it is: a group, a comment, a blank line
// or key=value with no control byte, every quote closed and no continuation.
bool readsAsWritten(const QByteArray &line)
{
    const QByteArray text = line.trimmed();
    if (text.isEmpty() || text.startsWith(';') || text.startsWith('#'))
        return true;
    for (const char c : text)
        if (uchar(c) < 0x20 && c != '\t')
            return false;
    if (text.startsWith('['))
        return text.endsWith(']') && text.indexOf(']') == text.size() - 1;
    const int equals = text.indexOf('=');
    if (equals <= 0 || text.endsWith('\\'))
        return false;
    bool quoted = false;
    for (int i = equals + 1; i < text.size(); ++i) {
        if (text.at(i) == '\\')
            ++i;
        else if (text.at(i) == '"')
            quoted = !quoted;
    }
    return !quoted;
}

} // namespace

const QList<SKeyRule> &keyRules()
{
    return rules();
}

void addKeyRules(const QList<SKeyRule> &added)
{
    for (const SKeyRule &rule : added)
        if (!findRule(rule.group, rule.key))
            rules().append(rule);
}

QString keyName(const SKeyRule &rule)
{
    return QStringLiteral("[%1] %2").arg(rule.group, rule.key);
}

SFileReport inspectFile(const QString &path)
{
    SFileReport report;
    QFile file(path);
    if (!file.exists())
        return report;
    if (file.size() > MaxFileBytes) {
        report.refused = true;
        report.problems
            << QStringLiteral("the file is larger than 1 MB (%1 bytes) and is not read").arg(file.size());
        return report;
    }
    if (!file.open(QIODevice::ReadOnly))
        return report; // QSettings reports it as it always did
    const QList<QByteArray> lines = file.readAll().split('\n');
    QByteArray clean;
    bool leftOut = false;
    QString group;
    for (int n = 0; n < lines.size(); ++n) {
        QByteArray line = lines.at(n);
        if (line.endsWith('\r'))
            line.chop(1);
        if (!readsAsWritten(line)) {
            leftOut = true;
            report.notes
                << QStringLiteral("line %1 is neither a group, a key nor a comment: left out").arg(n + 1);
            continue;
        }
        clean += line + '\n';
        const QByteArray text = line.trimmed();
        if (text.startsWith('[')) {
            group = QString::fromUtf8(text.mid(1, text.size() - 2)).trimmed();
            continue;
        }
        const int equals = text.indexOf('=');
        if (equals <= 0)
            continue;
        const SKeyRule *rule = findRule(group, QString::fromUtf8(text.left(equals).trimmed()));
        const QByteArray value = text.mid(equals + 1).trimmed();
        if (rule && !rule->list && !value.startsWith('"')) {
            for (const char separator : { ',', ';' }) {
                if (value.contains(separator)) {
                    report.problems
                        << QStringLiteral(
                               "%1 (line %2): the value holds an unquoted \"%3\" and would not be read "
                               "back whole; put the value in double quotes")
                               .arg(keyName(*rule))
                               .arg(n + 1)
                               .arg(QLatin1Char(separator));
                    report.refusedKeys << keyName(*rule);
                    break;
                }
            }
        }
    }
    if (leftOut)
        report.cleanText = clean;
    return report;
}

QStringList checkValues(const QSettings &settings, const QStringList &skipKeys)
{
    QStringList problems;
    for (const SKeyRule &rule : rules()) {
        const QString key = rule.group + QLatin1Char('/') + rule.key;
        if (!settings.contains(key) || skipKeys.contains(keyName(rule)))
            continue;
        const QVariant value = settings.value(key);
        // An unquoted list reads as a string list, whose toString() is empty.
        const QString text = value.type() == QVariant::StringList
            ? value.toStringList().join(rule.list ? QStringLiteral(", ") : QStringLiteral(","))
            : value.toString();
        if (text.trimmed().isEmpty())
            continue; // an empty key reads as a missing one
        const QString problem = rule.check(text);
        if (!problem.isEmpty())
            problems << QStringLiteral("%1 [%2]: %3").arg(keyName(rule), text, problem);
    }
    return problems;
}

} // namespace SettingsCheck
