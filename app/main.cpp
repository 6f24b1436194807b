#include "app/constants.h"
#include "app/instancelock.h"
#include "app/logfile.h"
#include "app/settings.h"
#include "app/userworkdir.h"
#include "core/gateway.h"
#include "gui/logowidget.h"
#include "gui/mainwindow.h"
#include "gui/palette.h"
#include "modbus/modbusconfig.h"
#include "resources/resources.h"
#include "web/webpassword.h"
#include "web/webservice.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QSocketNotifier>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum EExit { EXIT_OK = 0, EXIT_FAILURE_TO_RUN = 1, EXIT_USAGE = 2 };

int signalPipe[2] = { -1, -1 };

void onSignal(int signal)
{
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

// Signals arrive as bytes on a socket pair, so they are handled in the event
// loop: SIGINT and SIGTERM quit it like the window's close button does (the
// database is then closed cleanly); SIGHUP calls onHangUp.
void handleSignals(QCoreApplication *app, std::function<void()> onHangUp)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app, onHangUp]() {
        char byte = 0;
        if (::read(signalPipe[1], &byte, 1) != 1)
            return;
        if (byte == SIGHUP) {
            if (onHangUp)
                onHangUp();
            return;
        }
        app->quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

void printError(const QString &text)
{
    std::fputs(qPrintable(QStringLiteral("tidewell: ") + text + QLatin1Char('\n')), stderr);
}

// SIGHUP: [modbus] allow as settings.conf has it now; the connections it no
// longer admits are closed. A list that cannot be read keeps the one in force.
void reloadModbusAllowList(CGateway &gateway)
{
    CSettings fresh(QS_GLOB_SETTINGS_FILE);
    const SModbusConfig read = Modbus::configFromSettings(fresh.reader());
    if (!read.allowError.isEmpty()) {
        addLog(QStringLiteral("WARNING: [main] SIGHUP: %1; the allow list in force is kept")
                   .arg(read.allowError));
        return;
    }
    gateway.setModbusAllowList(read);
}

// Qt's own window-system options, so that the command line can be checked
// before the window's application object takes them out of it.
void addQtOptions(QCommandLineParser &parser)
{
    for (const char *name : { "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                              "qwindowicon", "qwindowtitle", "style", "stylesheet", "display", "geometry",
                              "title", "name", "session", "qmljsdebugger" }) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char *name : { "reverse", "widgetcount", "nograb", "dograb", "sync", "testability" }) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

// Dropped when the window quits: Modbus connections whose clients have already
// gone release themselves on these last passes.
void settle()
{
    for (int pass = 0; pass < 3; ++pass) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

QString storeFailureText(const CGateway &gateway)
{
    return QObject::tr("The database \"%1\" could not be opened: %2.\nSee the log file \"%3\" for details.")
        .arg(QDir::current().filePath(QS_GLOB_DB_FILE), gateway.failureText(), QS_GLOB_LOG_FILE);
}

// Without a screen nobody could answer a box.
bool canShowBoxes()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QStringLiteral("offscreen") && platform != QStringLiteral("minimal");
}

// A problem found at start: logged (and, for the service, on standard error
// through the log's echo), and in the window shown in one box.
void reportAtStart(bool headless, const QString &text)
{
    addLog(QStringLiteral("CRITICAL_ERROR! [main] ") + text);
    if (!headless) {
        qCritical().noquote() << text;
        if (canShowBoxes())
            QMessageBox::critical(nullptr, QS_GLOB_PRODUCT, text);
    }
}

// The settings' problems as one text naming the file, or empty.
QString settingsProblems(const CSettings &settings)
{
    const QStringList problems = settings.problems();
    if (problems.isEmpty())
        return QString();
    return QObject::tr("%1: %2").arg(QDir::current().filePath(QS_GLOB_SETTINGS_FILE),
                                     problems.join(QStringLiteral("; ")));
}

int runHeadless(QCoreApplication &app)
{
    CLogFile *log = CLogFile::getInstance(QString());
    CSettings *settings = CSettings::getInstance(QS_GLOB_SETTINGS_FILE);
    for (const QString &note : settings->notes())
        addLog(QStringLiteral("WARNING: [main] %1: %2")
                   .arg(QDir::current().filePath(QS_GLOB_SETTINGS_FILE), note));
    const QString problems = settingsProblems(*settings);
    if (!problems.isEmpty()) {
        reportAtStart(true, problems);
        return EXIT_FAILURE_TO_RUN;
    }
    const SModbusConfig modbus = Modbus::configFromSettings(settings->reader());
    SServerSettings server = settings->serverSettings();
    const QString missing = server.missingKey();
    if (!missing.isEmpty()) {
        reportAtStart(true,
                      QObject::tr("no network server configured: fill in key \"%1\" of group [server] in %2")
                          .arg(missing, QDir::current().filePath(QS_GLOB_SETTINGS_FILE)));
        return EXIT_FAILURE_TO_RUN;
    }

    addLog(QStringLiteral("INFO: [main] %1 runs headless in [%2]").arg(QS_GLOB_PRODUCT, QDir::currentPath()));

    CGateway gateway(QS_GLOB_DB_FILE, QS_GLOB_DB_CONNECTION, modbus);
    if (gateway.failed()) {
        addLog(QStringLiteral("CRITICAL_ERROR! [main] Data base is not available. Application is stopped"));
        reportAtStart(
            true,
            QStringLiteral("%1: %2").arg(QDir::current().filePath(QS_GLOB_DB_FILE), gateway.failureText()));
        return EXIT_FAILURE_TO_RUN;
    }
    gateway.restoreStoredDevices();
    CWebService web(gateway);
    web.reload(QS_GLOB_SETTINGS_FILE);

    // SIGHUP: logrotate moved the log; the [web] group and its certificate
    // are read again; and a session that stopped retrying (refused login,
    // untrusted certificate) tries again with the settings as they are now.
    handleSignals(&app, [&gateway, &web, log]() {
        log->reopen();
        addLog(QStringLiteral("INFO: [main] SIGHUP: log file reopened"));
        reloadModbusAllowList(gateway);
        web.reload(QS_GLOB_SETTINGS_FILE);
        if (gateway.serverWaitsForOperator()) {
            CSettings fresh(QS_GLOB_SETTINGS_FILE);
            gateway.connectToServer(fresh.serverSettings());
        }
    });
    gateway.connectToServer(server);

    const int code = app.exec();
    settle();
    addLog(QStringLiteral("INFO: [main] Stopped"));
    return code;
}

int runWindow(QApplication &app)
{
    std::function<void()> onHangUp;
    handleSignals(&app, [&onHangUp]() {
        if (onHangUp)
            onHangUp();
    });

    QFile styleFile(QStringLiteral("://style/style.qss"));
    QString style;
    if (styleFile.open(QIODevice::ReadOnly))
        style = QString::fromLatin1(styleFile.readAll().constData());
    applyColorPalette(style);
    app.setStyleSheet(style);
    initLogo();

    // The window can still be used with settings it cannot read: the
    // operator types the server in and the next login writes it back.
    CSettings *settings = CSettings::getInstance(QS_GLOB_SETTINGS_FILE);
    for (const QString &note : settings->notes())
        addLog(QStringLiteral("WARNING: [main] %1: %2")
                   .arg(QDir::current().filePath(QS_GLOB_SETTINGS_FILE), note));
    const QString problems = settingsProblems(*settings);
    if (!problems.isEmpty())
        reportAtStart(false, problems);
    // Except for [modbus] allow: without its list the gateway would admit
    // clients the operator meant to keep out (the box above named the entry).
    const SModbusConfig modbus = Modbus::configFromSettings(settings->reader());
    if (!modbus.allowError.isEmpty())
        return EXIT_FAILURE_TO_RUN;

    // Without its register store the gateway can neither list nor serve devices.
    CGateway gateway(QS_GLOB_DB_FILE, QS_GLOB_DB_CONNECTION, modbus);
    if (gateway.failed()) {
        addLog(QStringLiteral("CRITICAL_ERROR! [main] Data base is not available. Application is stopped"));
        reportAtStart(false, storeFailureText(gateway));
        return EXIT_FAILURE_TO_RUN;
    }
    gateway.restoreStoredDevices();
    CWebService web(gateway);
    web.reload(QS_GLOB_SETTINGS_FILE);
    onHangUp = [&web, &gateway]() {
        web.reload(QS_GLOB_SETTINGS_FILE);
        reloadModbusAllowList(gateway);
    };

    int code = 0;
    {
        MainWindow window(gateway, *CSettings::getInstance(QS_GLOB_SETTINGS_FILE));
        window.show();
        code = app.exec();
    }
    settle();
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    std::setlocale(LC_ALL, "");

    // The command line is checked before any application object exists: help,
    // version, the service and a mistyped option must not need a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QObject::tr(
        "Gateway between a LoRaWAN network server and Modbus TCP clients.\n"
        "Reads settings.conf and deviceFolder/ and writes server.db and history.log in its working "
        "directory."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"),
        QObject::tr("Run as a service without a window; log lines also go to standard error."));
    const QCommandLineOption workDirOption(QStringLiteral("workdir"),
                                           QObject::tr("Working directory (default: the current one)."),
                                           QObject::tr("DIR"));
    const QCommandLineOption setWebPasswordOption(
        QStringLiteral("set-web-password"),
        QObject::tr("Read a password for the web console and API (twice from a terminal, one line from a "
                    "pipe) and store its hash in settings.conf; a running gateway takes it on SIGHUP."));
    const QCommandLineOption userWorkDirOption(
        QStringLiteral("user-workdir"),
        QObject::tr("Work in $XDG_DATA_HOME/tidewell (the desktop entry's choice), created with the sample "
                    "templates on first start."));
    parser.addOption(headlessOption);
    parser.addOption(workDirOption);
    parser.addOption(userWorkDirOption);
    parser.addOption(setWebPasswordOption);
    addQtOptions(parser);
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        printError(parser.errorText().isEmpty()
                       ? QObject::tr("unexpected argument \"%1\"").arg(parser.positionalArguments().first())
                       : parser.errorText());
        printError(QObject::tr("see tidewell --help"));
        return EXIT_USAGE;
    }

    const bool headless = parser.isSet(headlessOption);
    const bool noWindow = headless || parser.isSet(setWebPasswordOption) || parser.isSet(helpOption)
        || parser.isSet(QStringLiteral("help-all")) || parser.isSet(versionOption);
    std::unique_ptr<QCoreApplication> app;
    if (noWindow)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tidewell"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TIDEWELL_VERSION));
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(EXIT_OK);
    if (parser.isSet(versionOption))
        parser.showVersion();

    if (parser.isSet(userWorkDirOption)) {
        QString error;
        if (!UserWorkDir::prepare(UserWorkDir::path(), UserWorkDir::installedTemplates(), &error)
            || !QDir::setCurrent(UserWorkDir::path())) {
            printError(QObject::tr("cannot prepare working directory %1 %2").arg(UserWorkDir::path(), error));
            return EXIT_FAILURE_TO_RUN;
        }
    }
    if (parser.isSet(workDirOption) && !QDir::setCurrent(parser.value(workDirOption))) {
        printError(QObject::tr("cannot enter working directory %1").arg(parser.value(workDirOption)));
        return EXIT_FAILURE_TO_RUN;
    }
    SWebSettings::addKeyRules();
    // Works beside a running gateway: it takes no lock, opens no log and
    // writes one key.
    if (parser.isSet(setWebPasswordOption))
        return WebPassword::setPasswordCommand(QS_GLOB_SETTINGS_FILE, stdin, stderr);
    // The log comes first, so that every later problem of the start reaches it.
    CLogFile *log = CLogFile::getInstance(QS_GLOB_LOG_FILE);
    log->setEchoToStandardError(headless);
    if (!log->isOpen())
        printError(QObject::tr("cannot open the log file %1: %2").arg(log->filePath(), log->openError()));

    // Two gateways on one server.db and the same ports would fight. The lock
    // is the kernel's and ends with its process, however that ends.
    CInstanceLock lock(QDir::current().filePath(QS_GLOB_LOCK_FILE));
    switch (lock.tryLock()) {
    case CInstanceLock::EResult::Taken:
        break;
    case CInstanceLock::EResult::HeldByOther:
        reportAtStart(headless,
                      QObject::tr("another Tidewell is already running on the working directory %1")
                          .arg(QDir::currentPath()));
        return EXIT_FAILURE_TO_RUN;
    case CInstanceLock::EResult::Unavailable:
        reportAtStart(headless,
                      QObject::tr("cannot create the lock file %1 in the working directory %2: %3")
                          .arg(QS_GLOB_LOCK_FILE, QDir::currentPath(), lock.errorString()));
        return EXIT_FAILURE_TO_RUN;
    }

    // settings.conf is checked against every key's rule, [modbus] allow's included
    Modbus::addSettingsRules();
    tidewellInitResources();
    // Modbus clients each take a descriptor; Debian's soft limit of 1,024
    // would run out long before the connection cap.
    Modbus::raiseOpenFileLimit();
    if (headless)
        return runHeadless(*app);
    return runWindow(static_cast<QApplication &>(*app));
}
