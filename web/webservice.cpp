#include "web/webservice.h"

#include "app/constants.h"
#include "app/logfile.h"
#include "app/settings.h"
#include "core/gateway.h"
#include "web/webapi.h"
#include "web/webauth.h"
#include "web/webevents.h"
#include "web/webpassword.h"
#include "web/webserver.h"

#include <QDir>
#include <QFile>

namespace {

// Besides its connections the HTTP server holds its listener, its epoll set
// and the pipe that wakes it when a suspended connection resumes.
constexpr int DescriptorsBesideConnections = 4;

bool readFile(const QString &name, QByteArray &contents)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    contents = file.readAll();
    return !contents.isEmpty();
}

QString urlOf(bool https, const QHostAddress &address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(address.toString())
        : address.toString();
    return QStringLiteral("%1://%2:%3/")
        .arg(https ? QStringLiteral("https") : QStringLiteral("http"), host)
        .arg(port);
}

} // namespace

CWebService::CWebService(CGateway &gateway, QObject *parent)
    : QObject(parent)
    , m_gateway(gateway)
    , m_auth(std::make_unique<CWebAuth>())
{
    m_server = std::make_unique<CWebServer>(
        [this](const SHttpRequest &request) { return m_api->handle(request); });
    m_server->setOtherWorkWaiting([&gateway] { return gateway.modbusWaiting(); });
    m_events = std::make_unique<CWebEvents>(
        gateway, [this](const QByteArray &event) { m_server->broadcast(event); },
        [this] { return m_server->streamCount(); });
    m_api = std::make_unique<CWebApi>(gateway, *m_auth, m_events.get());
}

CWebService::~CWebService()
{
    m_server->stop();
}

bool CWebService::serving() const
{
    return m_server->running();
}

quint16 CWebService::port() const
{
    return m_server->port();
}

void CWebService::reload(const QString &settingsFile)
{
    // Read as the gateway reads settings.conf everywhere: lines QSettings
    // would misread are left out.
    CSettings settings(settingsFile);
    QStringList problems;
    const SWebSettings web = SWebSettings::read(settings.reader(), &problems);
    if (!problems.isEmpty()) {
        addLog(QStringLiteral("WARNING: [CWebService] %1; the web settings stay as they were")
                   .arg(problems.join(QStringLiteral("; "))));
        return;
    }
    apply(web);
}

void CWebService::apply(const SWebSettings &settings)
{
    const auto stop = [this](const QString &why) {
        if (m_server->running()) {
            m_server->stop();
            addLog(QStringLiteral("INFO: [CWebService] Web console and API stopped"));
        }
        m_gateway.setDescriptorsSetAside(0);
        if (!why.isEmpty())
            addLog(why);
        m_applied = SWebSettings();
    };
    if (!settings.enabled()) {
        stop(QString());
        return;
    }
    if (!WebPassword::wellFormed(settings.passwordHash)) {
        stop(QStringLiteral("WARNING: [CWebService] [web] port is set but no password is: nothing is served. "
                            "Set one with: tidewell --set-web-password --workdir %1")
                 .arg(QDir::currentPath()));
        return;
    }
    QByteArray certificate;
    QByteArray key;
    if (settings.https() && (!readFile(settings.certFile, certificate) || !readFile(settings.keyFile, key))) {
        stop(QStringLiteral(
                 "ERROR: [CWebService] Cannot read [web] cert_file [%1] or key_file [%2]: nothing is "
                 "served")
                 .arg(settings.certFile, settings.keyFile));
        return;
    }

    m_auth->setPasswordHash(settings.passwordHash);
    m_api->setOptions(
        { settings.metricsPublic, settings.metricsPerDevice, QDir::current().filePath(QS_GLOB_LOG_FILE) });
    const bool sameDaemon = m_server->running() && settings.port == m_applied.port
        && settings.bind == m_applied.bind && certificate == m_certificate && key == m_key
        && settings.maxConnections == m_applied.maxConnections
        && settings.idleTimeoutS == m_applied.idleTimeoutS;
    if (sameDaemon) {
        m_applied = settings;
        return;
    }

    CWebServer::SOptions options;
    options.bind = settings.bind;
    options.port = quint16(settings.port);
    options.certificatePem = certificate;
    options.keyPem = key;
    options.maxConnections = settings.maxConnections;
    options.idleTimeoutS = settings.idleTimeoutS;
    // The HTTP connections come out of the same open-file limit as the
    // Modbus connections: the Modbus cap is lowered by as many.
    m_gateway.setDescriptorsSetAside(settings.maxConnections + DescriptorsBesideConnections);
    QString error;
    if (!m_server->start(options, &error)) {
        stop(QStringLiteral("ERROR: [CWebService] Web console and API cannot listen on [%1] port [%2]: %3")
                 .arg(settings.bind.toString())
                 .arg(settings.port)
                 .arg(error));
        return;
    }
    m_applied = settings;
    m_certificate = certificate;
    m_key = key;
    addLog(QStringLiteral("INFO: [CWebService] Web console and API on %1")
               .arg(urlOf(m_server->https(), settings.bind, m_server->port())));
    if (!settings.bind.isLoopback() && !m_server->https())
        addLog(QStringLiteral(
                   "WARNING: [CWebService] The web console is served on [%1] without HTTPS: passwords "
                   "cross the network in clear. Set [web] cert_file and key_file")
                   .arg(settings.bind.toString()));
}
