#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

// The console's password as settings.conf keeps it: never the password, a
// salted PBKDF2-HMAC-SHA256 hash written as
//   pbkdf2-sha256$<iterations>$<salt, base64>$<hash, base64>
namespace WebPassword {

// About a second of one core on the machines the gateway runs on.
constexpr int Iterations = 600000;

QString hash(const QByteArray &password, int iterations = Iterations);
// False for a wrong password and for a stored text that is not a hash.
bool verify(const QByteArray &password, const QString &stored);
bool wellFormed(const QString &stored);
bool constantTimeEquals(const QByteArray &a, const QByteArray &b);

// `tidewell --set-web-password`: reads the password from `in` (twice, without
// echo, from a terminal; one line from a pipe), stores its hash in
// [web] password_hash of the settings file and keeps the file's owner and
// mode. Takes no lock, so it works beside a running gateway, which reads the
// hash again on SIGHUP. Returns the exit code.
int setPasswordCommand(const QString &settingsFile, std::FILE *in, std::FILE *err);

} // namespace WebPassword
