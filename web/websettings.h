#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

class QSettings;

// Settings group [web] (all keys optional; the API is off without a port).
inline const QString QS_SET_GROUP_WEB = QStringLiteral("web/");
inline const QString QS_SET_WEB_PORT = QStringLiteral("port");
inline const QString QS_SET_WEB_BIND = QStringLiteral("bind");
inline const QString QS_SET_WEB_CERT_FILE = QStringLiteral("cert_file");
inline const QString QS_SET_WEB_KEY_FILE = QStringLiteral("key_file");
inline const QString QS_SET_WEB_PASSWORD_HASH = QStringLiteral("password_hash");
inline const QString QS_SET_WEB_METRICS_PUBLIC = QStringLiteral("metrics_public");
inline const QString QS_SET_WEB_METRICS_PER_DEVICE = QStringLiteral("metrics_per_device");
inline const QString QS_SET_WEB_MAX_CONNECTIONS = QStringLiteral("max_connections");
inline const QString QS_SET_WEB_IDLE_TIMEOUT = QStringLiteral("idle_timeout_s");

struct SWebSettings
{
    int port = -1; // -1: not set, nothing is served; 0: a port the system picks
    QHostAddress bind { QHostAddress::LocalHost };
    QString certFile;
    QString keyFile;
    QString passwordHash;
    bool metricsPublic = false;
    bool metricsPerDevice = false;
    int maxConnections = 64;
    int idleTimeoutS = 60;

    bool enabled() const { return port >= 0; }
    bool https() const { return !certFile.isEmpty() && !keyFile.isEmpty(); }

    // Reads the group; a value that cannot be used keeps the default and is
    // named in `problems`.
    static SWebSettings read(const QSettings &settings, QStringList *problems = nullptr);
    // Makes the start-up check of settings.conf hold the [web] keys to the
    // same rules, so that a service with an unusable value stops and says so.
    static void addKeyRules();
};
