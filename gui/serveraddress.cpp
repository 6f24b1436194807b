#include "gui/serveraddress.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace ServerAddress {

namespace {

constexpr int kMaxHostLength = 253;
constexpr int kMaxLabelLength = 63;

bool isIpv6(const QString &text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv6Protocol;
}

// IPv6 text may hold an embedded IPv4 tail ("::ffff:10.0.0.1").
bool ipv6Characters(const QString &text)
{
    static const QRegularExpression allowed(QStringLiteral("^[0-9A-Fa-f:.]*$"));
    return allowed.match(text).hasMatch();
}

QValidator::State ipv4State(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() > 4)
        return QValidator::Invalid;
    bool complete = parts.size() == 4;
    for (const QString &part : parts) {
        if (part.size() > 3 || part.toInt() > 255)
            return QValidator::Invalid;
        complete = complete && !part.isEmpty();
    }
    return complete ? QValidator::Acceptable : QValidator::Intermediate;
}

QValidator::State hostNameState(const QString &text)
{
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9.-]*$"));
    if (text.size() > kMaxHostLength || !allowed.match(text).hasMatch())
        return QValidator::Invalid;
    const QStringList labels = text.split(QLatin1Char('.'));
    bool complete = true;
    for (const QString &label : labels) {
        if (label.size() > kMaxLabelLength)
            return QValidator::Invalid;
        complete = complete && !label.isEmpty() && !label.startsWith(QLatin1Char('-'))
            && !label.endsWith(QLatin1Char('-'));
    }
    // A top-level label of digits only would read as an IPv4 address.
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    complete = complete && !digits.match(labels.last()).hasMatch();
    return complete ? QValidator::Acceptable : QValidator::Intermediate;
}

} // namespace

QValidator::State hostState(const QString &text)
{
    if (text.isEmpty())
        return QValidator::Intermediate;
    if (text.startsWith(QLatin1Char('['))) {
        const bool closed = text.endsWith(QLatin1Char(']')) && text.size() > 1;
        const QString inner = text.mid(1, text.size() - (closed ? 2 : 1));
        if (!ipv6Characters(inner))
            return QValidator::Invalid;
        return closed && isIpv6(inner) ? QValidator::Acceptable : QValidator::Intermediate;
    }
    if (text.contains(QLatin1Char(':')))
        return ipv6Characters(text) ? QValidator::Intermediate : QValidator::Invalid;
    static const QRegularExpression dotted(QStringLiteral("^[0-9.]+$"));
    if (dotted.match(text).hasMatch())
        return ipv4State(text);
    return hostNameState(text);
}

QString fixupHost(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (!trimmed.startsWith(QLatin1Char('[')) && isIpv6(trimmed))
        return QLatin1Char('[') + trimmed + QLatin1Char(']');
    return trimmed;
}

QValidator::State portState(const QString &text)
{
    if (text.isEmpty())
        return QValidator::Intermediate;
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    if (!digits.match(text).hasMatch())
        return QValidator::Invalid;
    const int port = text.toInt();
    if (port > 65535)
        return QValidator::Invalid;
    return port >= 1 && !text.startsWith(QLatin1Char('0')) ? QValidator::Acceptable
                                                           : QValidator::Intermediate;
}

} // namespace ServerAddress

CHostValidator::CHostValidator(QObject *parent)
    : QValidator(parent)
{
}

QValidator::State CHostValidator::validate(QString &input, int &) const
{
    return ServerAddress::hostState(input);
}

void CHostValidator::fixup(QString &input) const
{
    input = ServerAddress::fixupHost(input);
}

CPortValidator::CPortValidator(QObject *parent)
    : QValidator(parent)
{
}

QValidator::State CPortValidator::validate(QString &input, int &) const
{
    return ServerAddress::portState(input);
}
