#pragma once

#include <QMap>
#include <QPair>
#include <QStringList>

// Bit width and value type name of one server-supplied value.
using SServerDataKind = QPair<int, QString>;

// Filled once by initGlobalData(); empty before that.
extern QStringList QSL_GLOB_DEVICES_FIELDS;
extern QStringList QSL_GLOB_DEV_DATA_FIELDS;
extern QMap<QString, SServerDataKind> QM_GLOB_SERVER_DATA;
extern QStringList QSL_GLOB_FRAME_TYPES;

// Fills the global data objects. Appends rather than replaces: call it once.
void initGlobalData();
