#include "storage/registerwords.h"

#include <QByteArray>

namespace RegisterWords {

uint16_t numberWord(const QString &value)
{
    bool parsed = false;
    const uint16_t word = value.toUShort(&parsed, 16);
    return parsed ? word : uint16_t(0);
}

QVector<uint16_t> textWords(const QString &text, int count)
{
    const QByteArray bytes = text.toUtf8();
    QVector<uint16_t> words(count, 0);
    for (int i = 0; i < count && 2 * i < bytes.size(); ++i) {
        const auto high = static_cast<uint8_t>(bytes.at(2 * i));
        const auto low = 2 * i + 1 < bytes.size() ? static_cast<uint8_t>(bytes.at(2 * i + 1)) : uint8_t(0);
        words[i] = uint16_t(high << 8 | low);
    }
    return words;
}

} // namespace RegisterWords
