#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <QVector>

#include <functional>

// Who may use the API: the password check, sessions and the per-address
// limit on failed attempts.
//
// A password costs about a second to check, so it is checked on a worker
// thread of its own and never on the gateway's event loop; a password once
// found right is remembered as a keyed hash (a random key made at start), so
// that scripts sending it with every call (Basic authentication) cost
// microseconds after the first. Sessions are kept the same way: only a keyed
// hash of each cookie value is held.
class CWebAuth : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 SessionIdleMs = 12LL * 3600 * 1000;
    static constexpr int FailuresPerMinute = 5;

    explicit CWebAuth(QObject *parent = nullptr);
    // Waits for a check under way.
    ~CWebAuth() override;

    // A new hash forgets every remembered password and every session.
    void setPasswordHash(const QString &stored);
    bool configured() const { return !m_stored.isEmpty(); }

    enum class ECached { Right, Wrong, Unknown };
    // Known without the expensive check: a remembered password, or no hash.
    ECached cached(const QByteArray &password) const;
    // Checks on the worker thread; `done` runs on this object's thread.
    void verify(const QByteArray &password, std::function<void(bool)> done);

    // Seconds the address must wait before its next attempt; 0 when it may try.
    int retryAfterS(const QString &address);
    // Counts a failed attempt and logs the address at most once a minute.
    void recordFailure(const QString &address);

    // A new session's cookie value (256 random bits, URL-safe).
    QByteArray createSession();
    // True, and the idle time starts again, when the session is open.
    bool touchSession(const QByteArray &cookieValue);
    void endSession(const QByteArray &cookieValue);
    int sessionCount() const { return m_sessions.size(); }

    void setClockForTesting(std::function<qint64()> clock) { m_clock = std::move(clock); }

private:
    QByteArray keyed(const QByteArray &secret) const;

    std::function<qint64()> m_clock;
    QByteArray m_key;
    QString m_stored;
    QSet<QByteArray> m_rightPasswords; // keyed hashes
    QHash<QByteArray, qint64> m_sessions; // keyed hash of the cookie -> last use
    QHash<QString, QVector<qint64>> m_failures; // by address, times within the last minute
    QHash<QString, qint64> m_lastFailureLog;
    QThreadPool m_worker;
};
