#pragma once

// One HTTP exchange as the API's handlers see it, apart from any socket: the
// server parses the request (libmicrohttpd does), hands it over as an
// SHttpRequest and sends the SHttpResponse it gets back. Tests and the fuzz
// target call the handlers with requests they build themselves.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>

struct SHttpRequest
{
    QByteArray method;
    QByteArray target; // as sent: path and query, percent-encoded
    QString path; // decoded, without the query (set by parseRequestTarget)
    QList<QPair<QString, QString>> query; // decoded names and values, in order
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray body;
    QString peer; // the client's address
    bool https = false;
    // The body was longer than the server takes; what came is not kept.
    bool bodyTooLarge = false;

    QByteArray header(const QByteArray &lowerCaseName) const;
    // The first value of the query item; `found` tells an empty one from none.
    QString queryValue(const QString &name, bool *found = nullptr) const;
};

// Splits a request target into its decoded path and query. False when the
// path hides a separator or a NUL behind percent-encoding (%2F, %5C, %00),
// is not UTF-8, or has a ".." segment: such a path reaches no handler.
bool parseRequestTarget(const QByteArray &target, QString &path, QList<QPair<QString, QString>> &query);

struct SHttpResponse
{
    using Chunks = std::function<QByteArray()>;
    using Finish = std::function<void(SHttpResponse)>;

    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // A body sent piece by piece as the client takes it: each call returns the
    // next piece, an empty one at the end.
    Chunks chunks;
    // An event stream: the body is sent at once, the connection stays open
    // and carries every later event.
    bool eventStream = false;
    // Answered later (a password being checked): called once with the
    // function that sends the answer.
    std::function<void(Finish)> later;

    void setHeader(const QByteArray &name, const QByteArray &value);
    QByteArray header(const QByteArray &name) const;

    static SHttpResponse json(int status, const QJsonDocument &document);
    static SHttpResponse json(int status, const QJsonObject &object);
    static SHttpResponse json(int status, const QJsonArray &array);
    static SHttpResponse error(int status, const QString &text);
    static SHttpResponse text(int status, const QByteArray &body, const QByteArray &contentType);
};
