#include "web/webpassword.h"

#include "web/websettings.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QSettings>
#include <QStringList>

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace WebPassword {

namespace {

const QString Scheme = QStringLiteral("pbkdf2-sha256");
constexpr int SaltBytes = 16;
constexpr int HashBytes = 32;
constexpr int MaxPasswordBytes = 4096;

QByteArray derive(const QByteArray &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password, salt, iterations,
                                              HashBytes);
}

struct SParsed
{
    int iterations = 0;
    QByteArray salt;
    QByteArray hash;
};

bool parse(const QString &stored, SParsed &out)
{
    const QStringList parts = stored.trimmed().split(QLatin1Char('$'));
    if (parts.size() != 4 || parts[0] != Scheme)
        return false;
    bool ok = false;
    out.iterations = parts[1].toInt(&ok);
    out.salt = QByteArray::fromBase64(parts[2].toLatin1());
    out.hash = QByteArray::fromBase64(parts[3].toLatin1());
    return ok && out.iterations > 0 && !out.salt.isEmpty() && out.hash.size() == HashBytes;
}

// One line without its line break; with echo off when `in` is a terminal.
bool readLine(std::FILE *in, std::FILE *err, const char *prompt, QByteArray &line)
{
    const int fd = ::fileno(in);
    const bool terminal = ::isatty(fd);
    termios saved = {};
    if (terminal) {
        // Echo goes off first (dropping what was typed ahead), then the
        // prompt: whatever is typed after the prompt is read, unseen.
        ::tcgetattr(fd, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
        std::fputs(prompt, err);
        std::fflush(err);
    }
    line.clear();
    int c = 0;
    while ((c = std::fgetc(in)) != EOF && c != '\n' && line.size() <= MaxPasswordBytes)
        line.append(char(c));
    if (terminal) {
        ::tcsetattr(fd, TCSAFLUSH, &saved);
        std::fputc('\n', err);
    }
    if (line.endsWith('\r'))
        line.chop(1);
    return c != EOF || !line.isEmpty();
}

} // namespace

QString hash(const QByteArray &password, int iterations)
{
    QByteArray salt(SaltBytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(salt.data()),
                                         reinterpret_cast<quint32 *>(salt.data() + salt.size()));
    return QStringLiteral("%1$%2$%3$%4")
        .arg(Scheme)
        .arg(iterations)
        .arg(QString::fromLatin1(salt.toBase64()),
             QString::fromLatin1(derive(password, salt, iterations).toBase64()));
}

bool wellFormed(const QString &stored)
{
    SParsed parsed;
    return parse(stored, parsed);
}

bool verify(const QByteArray &password, const QString &stored)
{
    SParsed parsed;
    if (!parse(stored, parsed))
        return false;
    return constantTimeEquals(derive(password, parsed.salt, parsed.iterations), parsed.hash);
}

bool constantTimeEquals(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (int i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

int setPasswordCommand(const QString &settingsFile, std::FILE *in, std::FILE *err)
{
    QByteArray password;
    if (!readLine(in, err, "Web console password: ", password) || password.isEmpty()) {
        std::fputs("tidewell: no password given; nothing changed\n", err);
        return 1;
    }
    if (password.size() > MaxPasswordBytes) {
        std::fputs("tidewell: the password is too long; nothing changed\n", err);
        return 1;
    }
    if (::isatty(::fileno(in))) {
        QByteArray again;
        readLine(in, err, "Once more: ", again);
        if (again != password) {
            std::fputs("tidewell: the two passwords differ; nothing changed\n", err);
            return 1;
        }
    }

    // QSettings writes a new file and renames it over the old one; the owner
    // and mode of the old one are put back on it (the service's file belongs
    // to its own user and is readable by it alone).
    struct stat before = {};
    const bool existed = ::stat(QFile::encodeName(settingsFile).constData(), &before) == 0;
    {
        QSettings settings(settingsFile, QSettings::IniFormat);
        settings.setValue(QS_SET_GROUP_WEB + QS_SET_WEB_PASSWORD_HASH, hash(password));
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            std::fprintf(err, "tidewell: cannot write %s\n", qPrintable(settingsFile));
            return 1;
        }
    }
    const QByteArray name = QFile::encodeName(settingsFile);
    if (existed) {
        struct stat after = {};
        if (::stat(name.constData(), &after) == 0
            && (after.st_uid != before.st_uid || after.st_gid != before.st_gid)) [[maybe_unused]]
            const int changed = ::chown(name.constData(), before.st_uid, before.st_gid);
        ::chmod(name.constData(), before.st_mode & 07777);
    } else {
        ::chmod(name.constData(), S_IRUSR | S_IWUSR);
    }
    std::fprintf(err,
                 "Stored the web console's password hash in %s; a running gateway uses it after "
                 "SIGHUP (systemctl reload tidewell) or a restart.\n",
                 qPrintable(QFileInfo(settingsFile).absoluteFilePath()));
    return 0;
}

} // namespace WebPassword
