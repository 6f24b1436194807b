#pragma once

// Reading device type templates from files by the catalogue's rules, for the
// gateway and for tools that check templates before they are deployed. Every
// operator log line goes through the caller's callback, so a tool can print
// what the gateway would log.

#include "app/logwriter.h"
#include "devices/devicetemplate.h"

#include <QList>
#include <QMap>
#include <QString>

#include <functional>

namespace TemplateLoader {

// One problem or note, with the file it was found in.
struct SFileIssue
{
    QString file;
    QString where; // empty: the file as a whole
    QString reason;
};

struct SLoadedFile
{
    QString path;
    SDeviceTemplate deviceTemplate; // valid false when the file was refused
    QList<SFileIssue> problems; // parts left out, or the reason the file was refused
    QList<SFileIssue> notes; // what the gateway ignores by design
};

struct SLoadedFolder
{
    QList<SLoadedFile> files; // every "*.json" file, in name order
    QMap<QString, SDeviceTemplate> catalogue; // the templates taken, by AppEUI
};

// Registers a value must fit in; wider or empty sizes are refused at load, as a
// register map of such a size cannot be stored sensibly.
constexpr int MinRegBitSize = 1;
constexpr int MaxRegBitSize = 64;

// Loads one file; `name` is how the log lines other than the JSON error name it.
SLoadedFile loadFile(const QString &path, const QString &name, const LogWriter &log);

// Loads every "*.json" file of the folder in name order; of two templates with
// the same AppEUI the first is taken and the later one is a problem of its file.
SLoadedFolder loadFolder(const QString &folder, const LogWriter &log);

} // namespace TemplateLoader
