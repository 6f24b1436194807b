#pragma once

// What the Modbus service writes: per-request diagnostics behind a logging
// category, and operator log lines that no peer can turn into a flood
// (CLogLimiter, which the decoder's warnings share).

#include "app/loglimiter.h"

#include <QLoggingCategory>

// Per-request diagnostics, off by default:
// QT_LOGGING_RULES="tidewell.modbus.debug=true"
Q_DECLARE_LOGGING_CATEGORY(lcModbus)
