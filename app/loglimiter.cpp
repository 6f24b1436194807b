#include "app/loglimiter.h"

#include "app/logfile.h"

#include <chrono>

namespace {

qint64 steadyMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

CLogLimiter::Clock &currentClock()
{
    static CLogLimiter::Clock current = steadyMilliseconds;
    return current;
}

} // namespace

CLogLimiter::CLogLimiter(QString origin)
    : m_origin(std::move(origin))
{
}

CLogLimiter::~CLogLimiter()
{
    writeSummary();
}

void CLogLimiter::setClock(Clock clockFunction)
{
    currentClock() = clockFunction ? std::move(clockFunction) : Clock(steadyMilliseconds);
}

void CLogLimiter::log(const QString &line)
{
    const qint64 now = currentClock()();
    if (!m_started || now - m_windowStart >= WindowMs) {
        writeSummary();
        m_started = true;
        m_windowStart = now;
        m_written = 0;
    }
    if (m_written < MaxLinesPerWindow) {
        ++m_written;
        addLog(line);
    } else {
        ++m_leftOut;
    }
}

void CLogLimiter::writeSummary()
{
    if (m_leftOut == 0)
        return;
    addLog(QStringLiteral("WARNING: %1 %2 more log lines left out in the last minute")
               .arg(m_origin)
               .arg(m_leftOut));
    m_leftOut = 0;
}
