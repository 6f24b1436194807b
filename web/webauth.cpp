#include "web/webauth.h"

#include "app/logfile.h"
#include "web/webpassword.h"

#include <QDateTime>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

namespace {

constexpr qint64 MinuteMs = 60 * 1000;

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(bytes.data()),
                                         reinterpret_cast<quint32 *>(bytes.data() + count));
    return bytes;
}

} // namespace

CWebAuth::CWebAuth(QObject *parent)
    : QObject(parent)
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); })
    , m_key(randomBytes(32))
{
    // One check at a time: a flood of logins takes one core, never both, and
    // the gateway's thread keeps serving Modbus.
    m_worker.setMaxThreadCount(1);
}

CWebAuth::~CWebAuth()
{
    m_worker.waitForDone();
}

QByteArray CWebAuth::keyed(const QByteArray &secret) const
{
    return QMessageAuthenticationCode::hash(secret, m_key, QCryptographicHash::Sha256);
}

void CWebAuth::setPasswordHash(const QString &stored)
{
    if (stored == m_stored)
        return;
    m_stored = stored;
    m_rightPasswords.clear();
    m_sessions.clear();
}

CWebAuth::ECached CWebAuth::cached(const QByteArray &password) const
{
    if (m_stored.isEmpty() || !WebPassword::wellFormed(m_stored))
        return ECached::Wrong;
    return m_rightPasswords.contains(keyed(password)) ? ECached::Right : ECached::Unknown;
}

void CWebAuth::verify(const QByteArray &password, std::function<void(bool)> done)
{
    const ECached known = cached(password);
    if (known != ECached::Unknown) {
        done(known == ECached::Right);
        return;
    }
    const QString stored = m_stored;
    m_worker.start([this, password, stored, done = std::move(done)]() {
        const bool right = WebPassword::verify(password, stored);
        // This object waits for the worker before it goes, so it is still
        // there to receive the result.
        QMetaObject::invokeMethod(
            this,
            [this, password, stored, right, done]() {
                if (right && stored == m_stored)
                    m_rightPasswords.insert(keyed(password));
                done(right);
            },
            Qt::QueuedConnection);
    });
}

int CWebAuth::retryAfterS(const QString &address)
{
    const qint64 now = m_clock();
    auto it = m_failures.find(address);
    if (it == m_failures.end())
        return 0;
    QVector<qint64> &times = *it;
    times.erase(std::remove_if(times.begin(), times.end(), [now](qint64 t) { return now - t >= MinuteMs; }),
                times.end());
    if (times.isEmpty()) {
        m_failures.erase(it);
        return 0;
    }
    if (times.size() < FailuresPerMinute)
        return 0;
    const qint64 waitMs = times[times.size() - FailuresPerMinute] + MinuteMs - now;
    return int(std::max<qint64>(1, (waitMs + 999) / 1000));
}

void CWebAuth::recordFailure(const QString &address)
{
    const qint64 now = m_clock();
    m_failures[address].append(now);
    // A guesser's address is named, but not once per guess.
    const auto logged = m_lastFailureLog.constFind(address);
    if (logged != m_lastFailureLog.cend() && now - *logged < MinuteMs)
        return;
    m_lastFailureLog.insert(address, now);
    addLog(QStringLiteral("WARNING: [CWebAuth] Failed web login from [%1]; %2 in the last minute")
               .arg(address)
               .arg(m_failures.value(address).size()));
}

QByteArray CWebAuth::createSession()
{
    const QByteArray value
        = randomBytes(32).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    m_sessions.insert(keyed(value), m_clock());
    return value;
}

bool CWebAuth::touchSession(const QByteArray &cookieValue)
{
    if (cookieValue.isEmpty())
        return false;
    // Looked up by a keyed hash: how long the lookup takes tells nothing
    // about the cookies that are open.
    const auto it = m_sessions.find(keyed(cookieValue));
    if (it == m_sessions.end())
        return false;
    const qint64 now = m_clock();
    if (now - *it > SessionIdleMs) {
        m_sessions.erase(it);
        return false;
    }
    *it = now;
    return true;
}

void CWebAuth::endSession(const QByteArray &cookieValue)
{
    m_sessions.remove(keyed(cookieValue));
}
