#pragma once

// Helpers shared by the test programs: generous waits, ports and the sample
// templates.

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QtTest>

#include <memory>
#include <vector>

namespace testkit {

// Every wait of the suite may take this long before it counts as a failure: a
// loaded two-core machine running sanitizer builds in parallel is slow, and a
// wait that succeeds returns at once anyway.
inline constexpr int WAIT_MS = 60000;

} // namespace testkit

// QTRY_VERIFY and QTRY_COMPARE give up after 5 s, which is luck under load.
#undef QTRY_VERIFY
#define QTRY_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT(expr, testkit::WAIT_MS)
#undef QTRY_COMPARE
#define QTRY_COMPARE(expr, expected) QTRY_COMPARE_WITH_TIMEOUT(expr, expected, testkit::WAIT_MS)

namespace testkit {

// `count` ports nobody listens on right now, all different. Only for ports
// that must be named before anything listens on them (a device's stored
// Modbus port, a child process's settings); a listener of the test itself
// binds port 0 instead. Each probe is held until all are found, since one
// probe after another may be given the same port again: a test that needs
// several different ports takes them in one call.
inline QList<quint16> freePorts(int count)
{
    std::vector<std::unique_ptr<QTcpServer>> probes;
    QList<quint16> ports;
    for (int i = 0; i < count; ++i) {
        probes.push_back(std::make_unique<QTcpServer>());
        probes.back()->listen(QHostAddress::Any, 0);
        ports.append(probes.back()->serverPort());
    }
    return ports;
}

// One such port.
inline quint16 freePort()
{
    return freePorts(1).front();
}

// Copies the sample templates into <dir>/deviceFolder.
inline bool copySampleTemplates(const QString &dir)
{
    const QString target = dir + QStringLiteral("/deviceFolder");
    const QDir source(QStringLiteral(TIDEWELL_SOURCE_DIR "/resources/templates"));
    bool ok = QDir().mkpath(target);
    for (const QString &name : source.entryList({ QStringLiteral("*.json") }, QDir::Files))
        if (!name.contains(QStringLiteral("scenario")))
            ok = ok && QFile::copy(source.filePath(name), target + QLatin1Char('/') + name);
    return ok;
}

// The whole file, or an empty array when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace testkit
