// tidewell-netsim: plays the network server for the gateway on a WebSocket
// port, driven by a scenario file. Prints the URL it listens on first, then
// one line per message sent and received.
#include "netsimscenario.h"
#include "networkserversim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslKey>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

void fail(const QString &text)
{
    std::fprintf(stderr, "tidewell-netsim: %s\n", qPrintable(text));
    std::exit(2);
}

int signalPipe[2] = { -1, -1 };

// Only write() is safe in a signal handler; the event loop reads the pipe.
void onStopSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    (void)written;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tidewell-netsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated LoRaWAN network server for Tidewell."));
    parser.addHelpOption();
    const QCommandLineOption addressOpt({ QStringLiteral("a"), QStringLiteral("address") },
                                        QStringLiteral("Listening address (default 127.0.0.1)."),
                                        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOpt({ QStringLiteral("p"), QStringLiteral("port") },
                                     QStringLiteral("Listening port; 0 picks a free one (default)."),
                                     QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption scenarioOpt({ QStringLiteral("s"), QStringLiteral("scenario") },
                                         QStringLiteral("Scenario file (JSON)."), QStringLiteral("file"));
    const QCommandLineOption uplinksOpt(
        { QStringLiteral("n"), QStringLiteral("uplinks") },
        QStringLiteral("Uplinks to send, then stop sending; -1 = forever (default)."),
        QStringLiteral("count"), QStringLiteral("-1"));
    const QCommandLineOption periodOpt(
        QStringLiteral("period"), QStringLiteral("Every device sends at this period instead of its own."),
        QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption exitOpt(QStringLiteral("exit-when-done"),
                                     QStringLiteral("Exit once the uplinks given by --uplinks are sent."));
    const QCommandLineOption probeOpt(
        QStringLiteral("probe"), QStringLiteral("Probe answer: answer (default), silent, no-err-string."),
        QStringLiteral("mode"), QStringLiteral("answer"));
    const QCommandLineOption loginOpt(QStringLiteral("login"),
                                      QStringLiteral("Login answer: check (default), refuse, silent."),
                                      QStringLiteral("mode"), QStringLiteral("check"));
    const QCommandLineOption devicesOpt(
        QStringLiteral("devices"), QStringLiteral("Device list answer: answer (default), refuse, silent."),
        QStringLiteral("mode"), QStringLiteral("answer"));
    const QCommandLineOption devicesDelayOpt(QStringLiteral("devices-delay"),
                                             QStringLiteral("Answer device lists this late."),
                                             QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption listAllOpt(QStringLiteral("list-all"),
                                        QStringLiteral("Device lists ignore the AppEUI filter."));
    const QCommandLineOption garbageOpt(
        QStringLiteral("garbage"),
        QStringLiteral("After each login send a malformed and a non-object frame."));
    const QCommandLineOption dropOpt(QStringLiteral("drop-after"),
                                     QStringLiteral("Drop every connection this long after each login."),
                                     QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption certOpt(QStringLiteral("cert"),
                                     QStringLiteral("PEM certificate: serve wss (needs --key)."),
                                     QStringLiteral("file"));
    const QCommandLineOption keyOpt(QStringLiteral("key"), QStringLiteral("PEM private key for --cert."),
                                    QStringLiteral("file"));
    const QCommandLineOption quietOpt({ QStringLiteral("q"), QStringLiteral("quiet") },
                                      QStringLiteral("Do not print the messages."));
    parser.addOptions({ addressOpt, portOpt, scenarioOpt, uplinksOpt, periodOpt, exitOpt, probeOpt, loginOpt,
                        devicesOpt, devicesDelayOpt, listAllOpt, garbageOpt, dropOpt, certOpt, keyOpt,
                        quietOpt });
    parser.process(app);

    if (!parser.isSet(scenarioOpt))
        fail(QStringLiteral("--scenario is required"));
    QString error;
    SSimScenario scenario = SSimScenario::fromFile(parser.value(scenarioOpt), &error);
    if (!error.isEmpty())
        fail(error);
    if (parser.isSet(listAllOpt))
        scenario.listAll = true;

    CNetworkServerSim sim(scenario);
    sim.setEcho(!parser.isSet(quietOpt));
    sim.setGarbageAfterLogin(parser.isSet(garbageOpt));
    sim.setDevicesDelayMs(parser.value(devicesDelayOpt).toInt());

    const QString probe = parser.value(probeOpt);
    if (probe == QLatin1String("silent"))
        sim.setProbeMode(CNetworkServerSim::PROBE_SILENT);
    else if (probe == QLatin1String("no-err-string"))
        sim.setProbeMode(CNetworkServerSim::PROBE_NO_ERR_STRING);
    else if (probe != QLatin1String("answer"))
        fail(QStringLiteral("unknown --probe mode: ") + probe);

    const QString login = parser.value(loginOpt);
    if (login == QLatin1String("refuse"))
        sim.setLoginMode(CNetworkServerSim::LOGIN_REFUSE);
    else if (login == QLatin1String("silent"))
        sim.setLoginMode(CNetworkServerSim::LOGIN_SILENT);
    else if (login != QLatin1String("check"))
        fail(QStringLiteral("unknown --login mode: ") + login);

    const QString devices = parser.value(devicesOpt);
    if (devices == QLatin1String("refuse"))
        sim.setDevicesMode(CNetworkServerSim::DEVICES_REFUSE);
    else if (devices == QLatin1String("silent"))
        sim.setDevicesMode(CNetworkServerSim::DEVICES_SILENT);
    else if (devices != QLatin1String("answer"))
        fail(QStringLiteral("unknown --devices mode: ") + devices);

    const int dropAfter = parser.value(dropOpt).toInt();
    if (dropAfter > 0) {
        QObject::connect(&sim, &CNetworkServerSim::clientLoggedIn, &sim, [&sim, dropAfter]() {
            QTimer::singleShot(dropAfter, &sim, [&sim]() { sim.dropConnections(); });
        });
    }

    bool ok = false;
    const quint16 port = static_cast<quint16>(parser.value(portOpt).toUInt(&ok));
    if (!ok)
        fail(QStringLiteral("invalid --port"));
    const QHostAddress address(parser.value(addressOpt));
    if (address.isNull())
        fail(QStringLiteral("invalid --address"));

    bool listening = false;
    if (parser.isSet(certOpt)) {
#ifndef QT_NO_SSL
        QFile certFile(parser.value(certOpt));
        QFile keyFile(parser.value(keyOpt));
        if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
            fail(QStringLiteral("cannot read --cert or --key"));
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setLocalCertificate(QSslCertificate(certFile.readAll(), QSsl::Pem));
        ssl.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Rsa, QSsl::Pem));
        ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
        listening = sim.listenSecure(ssl, address, port);
#else
        fail(QStringLiteral("built without TLS"));
#endif
    } else {
        listening = sim.listen(address, port);
    }
    if (!listening)
        fail(QStringLiteral("cannot listen: ") + sim.errorString());

    std::printf("listening on %s\n", qPrintable(sim.url().toString()));
    std::fflush(stdout);

    const int uplinks = parser.value(uplinksOpt).toInt();
    if (parser.isSet(exitOpt))
        QObject::connect(&sim, &CNetworkServerSim::uplinksFinished, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
    sim.startUplinks(uplinks, parser.value(periodOpt).toInt());

    if (::pipe(signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
        std::signal(SIGINT, onStopSignal);
        std::signal(SIGTERM, onStopSignal);
    }
    return app.exec();
}
