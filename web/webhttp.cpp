#include "web/webhttp.h"

#include <QTextCodec>
#include <QUrl>

QByteArray SHttpRequest::header(const QByteArray &lowerCaseName) const
{
    for (const auto &header : headers)
        if (header.first == lowerCaseName)
            return header.second;
    return QByteArray();
}

QString SHttpRequest::queryValue(const QString &name, bool *found) const
{
    for (const auto &item : query)
        if (item.first == name) {
            if (found)
                *found = true;
            return item.second;
        }
    if (found)
        *found = false;
    return QString();
}

namespace {

bool decodeComponent(QByteArray raw, bool plusIsSpace, QString &out)
{
    if (plusIsSpace)
        raw.replace('+', ' ');
    const QByteArray bytes = QByteArray::fromPercentEncoding(raw);
    QTextCodec::ConverterState state;
    out = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && !bytes.contains('\0');
}

} // namespace

bool parseRequestTarget(const QByteArray &target, QString &path, QList<QPair<QString, QString>> &query)
{
    path.clear();
    query.clear();
    const int mark = target.indexOf('?');
    const QByteArray rawPath = mark < 0 ? target : target.left(mark);
    if (!rawPath.startsWith('/'))
        return false;
    const QByteArray lower = rawPath.toLower();
    if (lower.contains("%2f") || lower.contains("%5c") || lower.contains("%00") || rawPath.contains('\\'))
        return false;
    if (!decodeComponent(rawPath, false, path))
        return false;
    for (const QStringRef &segment : path.splitRef(QLatin1Char('/')))
        if (segment == QLatin1String(".."))
            return false;
    if (mark < 0)
        return true;
    for (const QByteArray &item : target.mid(mark + 1).split('&')) {
        if (item.isEmpty())
            continue;
        const int equals = item.indexOf('=');
        QString name;
        QString value;
        if (!decodeComponent(equals < 0 ? item : item.left(equals), true, name)
            || (equals >= 0 && !decodeComponent(item.mid(equals + 1), true, value)))
            return false;
        query.append({ name, value });
    }
    return true;
}

void SHttpResponse::setHeader(const QByteArray &name, const QByteArray &value)
{
    for (auto &header : headers)
        if (header.first.compare(name, Qt::CaseInsensitive) == 0) {
            header.second = value;
            return;
        }
    headers.append({ name, value });
}

QByteArray SHttpResponse::header(const QByteArray &name) const
{
    for (const auto &header : headers)
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    return QByteArray();
}

SHttpResponse SHttpResponse::json(int status, const QJsonDocument &document)
{
    return text(status, document.toJson(QJsonDocument::Compact), "application/json; charset=utf-8");
}

SHttpResponse SHttpResponse::json(int status, const QJsonObject &object)
{
    return json(status, QJsonDocument(object));
}

SHttpResponse SHttpResponse::json(int status, const QJsonArray &array)
{
    return json(status, QJsonDocument(array));
}

SHttpResponse SHttpResponse::error(int status, const QString &text)
{
    return json(status, QJsonObject { { QStringLiteral("error"), text } });
}

SHttpResponse SHttpResponse::text(int status, const QByteArray &body, const QByteArray &contentType)
{
    SHttpResponse response;
    response.status = status;
    response.body = body;
    response.setHeader("Content-Type", contentType);
    return response;
}
