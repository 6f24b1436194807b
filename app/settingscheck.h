#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QSettings;

// What settings.conf may hold, checked at start so that a value the gateway
// cannot use stops it with a message instead of being quietly replaced.
namespace SettingsCheck {

// A file larger than this is refused unread.
constexpr qint64 MaxFileBytes = 1024 * 1024;

// One key the gateway reads.
struct SKeyRule
{
    QString group; // "server"
    QString key; // "port"
    // A list key takes "," and ";" as item separators; in a single-valued key
    // QSettings would split the value at the first and cut it at the second,
    // so there they must be quoted.
    bool list = false;
    // Why a present value cannot be used; empty when it can.
    std::function<QString(const QString &value)> check;
};

// Every key of every group, one row each. A group that gains keys adds its
// rows here (or through addKeyRules) and is checked like the others.
const QList<SKeyRule> &keyRules();
void addKeyRules(const QList<SKeyRule> &rules);

// The file as it is written, before QSettings reads it.
struct SFileReport
{
    bool refused = false; // too large: not to be read at all
    QStringList problems; // each stops a service; the window shows them
    QStringList refusedKeys; // keys named by problems, as keyName() gives them
    QStringList notes; // lines left out of reading, for the log
    // The file without the lines QSettings would misread (a stray quote or
    // continuation before a group swallows the group); null when nothing was
    // left out.
    QByteArray cleanText;
};
SFileReport inspectFile(const QString &path);

// Present values that cannot be used, as the settings read them; keys that
// inspectFile already refused are skipped.
QStringList checkValues(const QSettings &settings, const QStringList &skipKeys = {});

// The problem texts name the key as "[group] key" and say what is wrong.
QString keyName(const SKeyRule &rule);

} // namespace SettingsCheck
