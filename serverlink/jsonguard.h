#pragma once

#include <QByteArray>
#include <QJsonDocument>

// JSON from a peer, parsed without Qt 5.15's one leak: when a key repeats in
// an object, QJsonDocument::fromJson drops the earlier value, and an object
// or array dropped that way is never freed. A server repeating such keys in
// every message would make the gateway grow without bound.
namespace JsonGuard {

// Whether a key of some object in `text` repeats after an object or array
// value, which fromJson would leak. Meant for any input, valid JSON or not;
// keys compare as decoded (`"a"` and `"\u0061"` are the same key).
bool repeatsContainerKey(const QByteArray &text);

// fromJson, or a null document when the text repeats such a key.
QJsonDocument parse(const QByteArray &text);

} // namespace JsonGuard
