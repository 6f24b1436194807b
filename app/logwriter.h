#pragma once

#include <QString>

#include <functional>

// Where a part writes its operator log lines: addLog in the gateway, a
// collector in a tool or a test that shows or checks what would be logged.
using LogWriter = std::function<void(const QString &line)>;
