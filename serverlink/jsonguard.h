#pragma once

#include <QByteArray>
#include <QJsonDocument>

// JSON from a peer, parsed without Qt 5.15's one leak: when a key repeats in
// an object, QJsonDocument::fromJson drops the earlier value, and an object
// or array dropped that way is never freed. A server repeating such keys in
// every message would make the gateway grow without bound.
namespace JsonGuard {

// Containers may nest this deep; deeper text is refused before parsing (Qt
// would take it up to 1024 levels, at a cost far beyond what any server
// message needs).
constexpr int MaxDepth = 64;

enum class EVerdict { Fine, RepeatedKey, TooDeep };

// What the guard thinks of `text`: fine to parse, or refused for a repeated
// key (below) or for nesting deeper than MaxDepth, whichever comes first.
EVerdict inspect(const QByteArray &text);

// Whether a key of some object in `text` repeats after an object or array
// value, which fromJson would leak. Meant for any input, valid JSON or not;
// keys compare as decoded (`"a"` and `"\u0061"` are the same key).
bool repeatsContainerKey(const QByteArray &text);

// fromJson, or a null document when the guard refuses the text; `verdict`,
// when given, says why.
QJsonDocument parse(const QByteArray &text, EVerdict *verdict = nullptr);

} // namespace JsonGuard
