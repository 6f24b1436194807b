#pragma once

#include <QString>

#include <functional>

// Bounds the log lines one source (a Modbus connection, the listeners, the
// decoder for one device) can cause:
// the first MaxLinesPerWindow lines of a minute are written as they are, the
// rest are only counted, and one line per minute says how many were left out.
class CLogLimiter
{
public:
    // Milliseconds from any fixed point; tests set their own.
    using Clock = std::function<qint64()>;

    static constexpr int MaxLinesPerWindow = 10;
    static constexpr qint64 WindowMs = 60 * 1000;

    // `origin` names the source in the summary line, e.g. "[CConnectionHandler] Peer [..]".
    explicit CLogLimiter(QString origin = QString());
    // Reports what the last window left out.
    ~CLogLimiter();
    CLogLimiter(const CLogLimiter &) = delete;
    CLogLimiter &operator=(const CLogLimiter &) = delete;

    void setOrigin(const QString &origin) { m_origin = origin; }
    const QString &origin() const { return m_origin; }

    void log(const QString &line);
    int leftOut() const { return m_leftOut; }

    // Replaces the steady clock for every limiter; an empty function restores it.
    static void setClock(Clock clock);

private:
    void writeSummary();

    QString m_origin;
    qint64 m_windowStart = 0;
    int m_written = 0;
    int m_leftOut = 0;
    bool m_started = false;
};
