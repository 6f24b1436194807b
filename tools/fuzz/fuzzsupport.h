#pragma once

// What every fuzz target sets up once: no output per run (a run that prints
// costs more than the run itself and fills the disk in hours). The server
// keyword table is a constant of app/globaldata.h.

#include "app/globaldata.h"

#include <QString>
#include <QtGlobal>

#include <cstdlib>

namespace Fuzz {

inline void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &)
{
    if (type == QtFatalMsg)
        abort();
}

inline bool prepare()
{
    qInstallMessageHandler(quietMessages);
    return true;
}

inline void check(bool condition)
{
    if (!condition)
        abort();
}

} // namespace Fuzz
