#pragma once

#include "web/websettings.h"

#include <QObject>

#include <memory>

class CGateway;
class CWebApi;
class CWebAuth;
class CWebEvents;
class CWebServer;

// The web side of a running gateway, as the settings ask for it: the API,
// the console, the metrics and the health check on [web] port, or nothing.
// apply() is called at start and again on SIGHUP with the settings then.
class CWebService : public QObject
{
    Q_OBJECT

public:
    explicit CWebService(CGateway &gateway, QObject *parent = nullptr);
    ~CWebService() override;

    // Starts, restarts or stops the server; logs what it serves or why not.
    void apply(const SWebSettings &settings);
    // Reads the [web] group of the settings file and applies it.
    void reload(const QString &settingsFile);

    bool serving() const;
    quint16 port() const;

private:
    CGateway &m_gateway;
    std::unique_ptr<CWebAuth> m_auth;
    std::unique_ptr<CWebServer> m_server;
    std::unique_ptr<CWebEvents> m_events;
    std::unique_ptr<CWebApi> m_api;
    SWebSettings m_applied;
    QByteArray m_certificate;
    QByteArray m_key;
};
