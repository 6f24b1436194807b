#include "devices/registervalue.h"

#include "app/constants.h"

#include <QByteArray>
#include <QVariant>
#include <QtEndian>

#include <charconv>
#include <cstring>

namespace RegisterValue {

namespace {

// Reads big-endian two's-complement bytes of the given width. A text shorter
// than the width is sign-extended from its own first byte, so nothing is read
// past the data.
qint64 signedFromHex(const QString &hex, int width)
{
    QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    if (bytes.size() < width) {
        const char fill = !bytes.isEmpty() && (static_cast<uchar>(bytes.at(0)) & 0x80) ? '\xff' : '\0';
        bytes.prepend(QByteArray(width - bytes.size(), fill));
    }
    const uchar *data = reinterpret_cast<const uchar *>(bytes.constData());
    switch (width) {
    case 2:
        return qFromBigEndian<qint16>(data);
    case 4:
        return qFromBigEndian<qint32>(data);
    default:
        return qFromBigEndian<qint64>(data);
    }
}

int integerWidth(int bitSize)
{
    if (bitSize <= 16)
        return 2;
    if (bitSize == 32)
        return 4;
    return 8;
}

} // namespace

QString floatText(float value)
{
    char text[32];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    return QString::fromLatin1(text, int(end.ptr - text));
}

QString numberText(const QString &dataType, const QString &fullValue, int bitSize, bool *ok)
{
    bool parsed = false;
    const quint64 bits = fullValue.toULongLong(&parsed, 16);
    *ok = parsed;
    if (!parsed)
        return {};
    if (dataType == QS_TYPE_UINTEGER)
        return QString::number(bits);
    if (dataType == QS_TYPE_INTEGER)
        return QString::number(signedFromHex(fullValue, integerWidth(bitSize)));
    if (dataType == QS_TYPE_FLOAT && bits <= 0xffffffffu) {
        const auto word = static_cast<quint32>(bits);
        float value = 0;
        std::memcpy(&value, &word, sizeof value);
        return floatText(value);
    }
    *ok = false;
    return {};
}

QString neverReceived()
{
    return QStringLiteral("NEVER RECEIVING");
}

QString shownText(const QString &dataType, const QVariant &fullValue, int bitSize, const QString &unit,
                  QString *logMessage)
{
    if (logMessage)
        logMessage->clear();
    QString text = neverReceived();
    bool numeric = false;

    if (dataType == QS_TYPE_BOOLEAN) {
        if (logMessage)
            *logMessage = QStringLiteral("[CRegisterDelegat::paint] Unsupporting dataType: BOOLEAN");
    } else if (dataType == QS_TYPE_TEXT) {
        if (!fullValue.isNull()) {
            const QString value = fullValue.toString();
            const int zero = value.indexOf(QChar(0));
            text = zero < 0 ? value : value.left(zero);
        }
    } else if (dataType == QS_TYPE_UINTEGER || dataType == QS_TYPE_INTEGER || dataType == QS_TYPE_FLOAT) {
        if (!fullValue.isNull()) {
            const QString number = numberText(dataType, fullValue.toString(), bitSize, &numeric);
            if (numeric)
                text = number;
        }
    } else if (logMessage) {
        *logMessage = QStringLiteral("[CRegisterDelegat::paint] Unknown data type!");
    }

    if (numeric && !unit.isEmpty())
        text += QStringLiteral(" [%1]").arg(unit);
    return text;
}

} // namespace RegisterValue
