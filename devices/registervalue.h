#pragma once

// How a stored register value reads as a number: the register views and the
// template tool show the same text for the same full value.

#include <QString>

class QVariant;

namespace RegisterValue {

// The decimal text of a numeric full value (hex digits, most significant
// first) of type "integer", "uinteger" or "float"; `ok` false (and an empty
// text) for other types and for text that is no hex number. Signed integers
// are read in the width of `bitSize` (16, 32 or 64 bits).
QString numberText(const QString &dataType, const QString &fullValue, int bitSize, bool *ok);

// The shortest decimal text that reads back as the same single-precision
// value: "1.5", "-2.5", "1e-45", "nan", "inf".
QString floatText(float value);

// What a register view shows for a field's full value: the number (with
// " [unit]" when there is one), the text, or "NEVER RECEIVING" before the
// first value. `logMessage` (may be null) receives what the view should log
// for a type it cannot show, else is cleared.
QString shownText(const QString &dataType, const QVariant &fullValue, int bitSize, const QString &unit,
                  QString *logMessage);
QString neverReceived();

} // namespace RegisterValue
