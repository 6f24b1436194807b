#include "app/constants.h"
#include "app/globaldata.h"
#include "app/logfile.h"
#include "app/settings.h"
#include "devices/alldevicehandler.h"
#include "gui/addnewdeviceform.h"
#include "gui/editdeviceform.h"
#include "gui/mainwindow.h"
#include "gui/palette.h"
#include "gui/startupwiring.h"
#include "resources/resources.h"
#include "serverlink/serverhandler.h"
#include "storage/databasehandler.h"

#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>

#include <clocale>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = { -1, -1 };

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

// Ctrl-C and SIGTERM close the window's event loop like the close button does,
// so that the database thread is joined and the log ends cleanly.
void quitOnTerminationSignals(QApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [notifier, app]() {
        notifier->setEnabled(false);
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[1], &byte, 1);
        app->quit();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    std::setlocale(LC_ALL, "");
    QApplication app(argc, argv);
    tidewellInitResources();
    quitOnTerminationSignals(&app);

    QFile styleFile(QStringLiteral("://style/style.qss"));
    QString style;
    if (styleFile.open(QIODevice::ReadOnly)) {
        style = QString::fromLatin1(styleFile.readAll().constData());
        styleFile.close();
    }
    applyColorPalette(style);
    app.setStyleSheet(style);

    initGlobalData();
    CSettings::getInstance(QS_GLOB_SETTINGS_FILE);
    CLogFile::getInstance(QS_GLOB_LOG_FILE);
    CServerHandler *server = CServerHandler::getInstance();

    // Without its register store the gateway can neither list nor serve devices.
    CDataBaseHandler *dataBase = CDataBaseHandler::getInstance();
    if (!dataBase) {
        const QString text = QObject::tr("The database \"%1\" could not be opened.\n"
                                         "See the log file \"%2\" for details.")
                                 .arg(QS_GLOB_DB_FILE, QS_GLOB_LOG_FILE);
        addLog(QStringLiteral("CRITICAL_ERROR! [main] Data base is not available. Application is stopped"));
        qCritical().noquote() << text;
        // Without a screen nobody could answer the box.
        const QString platform = QGuiApplication::platformName();
        if (platform != QStringLiteral("offscreen") && platform != QStringLiteral("minimal"))
            QMessageBox::critical(nullptr, QS_GLOB_PRODUCT, text);
        return 1;
    }

    auto *dataBaseThread = new QThread();
    dataBase->moveToThread(dataBaseThread);
    dataBaseThread->start(QThread::InheritPriority);

    CAllDeviceHandler *registry = CAllDeviceHandler::getInstance();
    connectStartupSignals(server, registry, nullptr);

    CAddNewDeviceForm *addForm = CAddNewDeviceForm::getInstance();
    connectStartupSignals(server, nullptr, addForm);

    CEditDeviceForm::getInstance();

    int code = 0;
    {
        MainWindow window;
        window.show();
        code = app.exec();
    }
    // Modbus connections whose clients have already gone release themselves
    // on these last passes.
    for (int pass = 0; pass < 3; ++pass) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    dataBaseThread->quit();
    dataBaseThread->wait();
    delete dataBaseThread;
    return code;
}
