#include "app/userworkdir.h"

#include "app/constants.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace UserWorkDir {

QString path()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/tidewell");
}

QString installedTemplates()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath()
                           + QStringLiteral("/../share/tidewell/templates"));
}

bool prepare(const QString &dir, const QString &templates, QString *error)
{
    const QDir work(dir);
    if (work.exists(QS_GLOB_DEVICE_FOLDER))
        return true;
    if (!work.mkpath(QS_GLOB_DEVICE_FOLDER)) {
        *error = QStringLiteral("cannot create %1").arg(work.filePath(QS_GLOB_DEVICE_FOLDER));
        return false;
    }
    const QDir source(templates);
    for (const QString &name : source.entryList({ QStringLiteral("*.json") }, QDir::Files)) {
        const QString target = work.filePath(QS_GLOB_DEVICE_FOLDER + QLatin1Char('/') + name);
        if (!QFile::copy(source.filePath(name), target)) {
            *error = QStringLiteral("cannot copy %1 to %2").arg(source.filePath(name), target);
            return false;
        }
        // Installed files are read-only; the operator's copies are theirs to edit.
        QFile::setPermissions(target, QFile::permissions(target) | QFile::WriteOwner);
    }
    return true;
}

} // namespace UserWorkDir
