#include "serverlink/jsonguard.h"

#include <QHash>
#include <QString>

#include <vector>

namespace JsonGuard {

namespace {

bool endsLiteral(char c)
{
    switch (c) {
    case '{':
    case '}':
    case '[':
    case ']':
    case ',':
    case ':':
    case '"':
    case ' ':
    case '\t':
    case '\n':
    case '\r':
        return true;
    default:
        return false;
    }
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads the string whose opening quote is at `pos`, leaves `pos` after the
// closing quote (or at the end) and returns it decoded, as fromJson would.
QString readString(const QByteArray &text, int &pos)
{
    QString decoded;
    int runStart = ++pos;
    auto flushRun = [&](int end) {
        if (end > runStart)
            decoded += QString::fromUtf8(text.constData() + runStart, end - runStart);
    };
    while (pos < text.size()) {
        const char c = text.at(pos);
        if (c == '"') {
            flushRun(pos);
            ++pos;
            return decoded;
        }
        if (c != '\\') {
            ++pos;
            continue;
        }
        flushRun(pos);
        const char escape = pos + 1 < text.size() ? text.at(pos + 1) : '\0';
        pos += 2;
        if (escape == 'u') {
            int unit = 0;
            for (int digits = 0; digits < 4 && pos < text.size() && hexDigit(text.at(pos)) >= 0;
                 ++digits, ++pos)
                unit = unit * 16 + hexDigit(text.at(pos));
            decoded += QChar(ushort(unit));
        } else {
            // \b \f \n \r \t stand for control characters, any other for itself
            static const QByteArray letters("bfnrt");
            static const QByteArray controls("\b\f\n\r\t");
            const int index = letters.indexOf(escape);
            decoded += QLatin1Char(index >= 0 ? controls.at(index) : escape);
        }
        runStart = pos;
    }
    flushRun(pos);
    return decoded;
}

struct SContainer
{
    bool isObject = false;
    bool expectKey = false; // after '{' or ',' in an object
    QString pendingKey; // key whose value comes next
    bool hasPendingKey = false;
    QHash<QString, bool> keys; // key -> whether its value was an object or array
};

} // namespace

bool repeatsContainerKey(const QByteArray &text)
{
    return inspect(text) == EVerdict::RepeatedKey;
}

EVerdict inspect(const QByteArray &text)
{
    // Syntax is fromJson's business; this walk only follows the nesting and
    // notes each object's keys, whatever the bytes are.
    std::vector<SContainer> stack;
    auto valueStarts = [&stack](bool container) {
        if (stack.empty() || !stack.back().isObject || !stack.back().hasPendingKey)
            return false;
        SContainer &top = stack.back();
        top.hasPendingKey = false;
        const auto it = top.keys.find(top.pendingKey);
        if (it != top.keys.end() && it.value())
            return true;
        top.keys.insert(top.pendingKey, container);
        return false;
    };
    int pos = 0;
    while (pos < text.size()) {
        const char c = text.at(pos);
        switch (c) {
        case '{':
        case '[':
            if (valueStarts(true))
                return EVerdict::RepeatedKey;
            if (int(stack.size()) >= MaxDepth)
                return EVerdict::TooDeep;
            stack.push_back(SContainer { c == '{', c == '{', QString(), false, {} });
            ++pos;
            break;
        case '}':
        case ']':
            if (!stack.empty())
                stack.pop_back();
            ++pos;
            break;
        case ',':
            if (!stack.empty() && stack.back().isObject)
                stack.back().expectKey = true;
            ++pos;
            break;
        case '"': {
            const bool isKey = !stack.empty() && stack.back().isObject && stack.back().expectKey;
            const QString string = readString(text, pos);
            if (isKey) {
                stack.back().expectKey = false;
                stack.back().pendingKey = string;
                stack.back().hasPendingKey = true;
            } else if (valueStarts(false)) {
                return EVerdict::RepeatedKey;
            }
            break;
        }
        case ' ':
        case '\t':
        case '\n':
        case '\r':
        case ':':
            ++pos;
            break;
        default:
            // a number, true, false or null
            if (valueStarts(false))
                return EVerdict::RepeatedKey;
            ++pos;
            while (pos < text.size() && !endsLiteral(text.at(pos)))
                ++pos;
            break;
        }
    }
    return EVerdict::Fine;
}

QJsonDocument parse(const QByteArray &text, EVerdict *verdict)
{
    const EVerdict found = inspect(text);
    if (verdict)
        *verdict = found;
    if (found != EVerdict::Fine)
        return QJsonDocument();
    return QJsonDocument::fromJson(text);
}

} // namespace JsonGuard
