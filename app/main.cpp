#include "app/constants.h"
#include "app/globaldata.h"
#include "app/logfile.h"
#include "app/settings.h"
#include "resources/resources.h"

#include <QApplication>
#include <QFile>

#include <clocale>

int main(int argc, char *argv[])
{
    std::setlocale(LC_ALL, "");
    QApplication app(argc, argv);
    tidewellInitResources();

    QFile styleFile(QStringLiteral("://style/style.qss"));
    QString style;
    if (styleFile.open(QIODevice::ReadOnly)) {
        style = QString::fromLatin1(styleFile.readAll().constData());
        styleFile.close();
    }
    app.setStyleSheet(style);

    initGlobalData();
    CSettings::getInstance(QS_GLOB_SETTINGS_FILE);
    CLogFile::getInstance(QS_GLOB_LOG_FILE);

    return app.exec();
}
