#include "app/settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_Settings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void missingFileReadsEmptyAndCreatesNothing();
    void roundTripThroughNewInstance();
    void fileLayoutAndPermissions();
    void instanceKeepsFirstFile();
    void unwritableFileIsReported();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Settings::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

void tst_Settings::missingFileReadsEmptyAndCreatesNothing()
{
    CSettings settings(QStringLiteral("settings.conf"));
    QCOMPARE(settings.read(QStringLiteral("server/ip"), QVariant()).toString(), QString());
    QCOMPARE(settings.read(QStringLiteral("server/password"), QVariant()).toString(), QString());
    QVERIFY(!QFile::exists(QStringLiteral("settings.conf")));
}

void tst_Settings::roundTripThroughNewInstance()
{
    {
        CSettings writer(QStringLiteral("settings.conf"));
        QVERIFY(writer.write(QStringLiteral("server/ip"), QStringLiteral("127.0.0.1")));
        QVERIFY(writer.write(QStringLiteral("server/port"), QStringLiteral("8002")));
        // On disk as soon as write() returns: a second reader sees it while
        // the writer still lives.
        CSettings reader(QStringLiteral("settings.conf"));
        QCOMPARE(reader.read(QStringLiteral("server/port"), QVariant()).toString(), QStringLiteral("8002"));
    }
    CSettings later(QStringLiteral("settings.conf"));
    QCOMPARE(later.read(QStringLiteral("server/ip"), QVariant()).toString(), QStringLiteral("127.0.0.1"));
}

void tst_Settings::fileLayoutAndPermissions()
{
    CSettings settings(QStringLiteral("settings.conf"));
    settings.write(QStringLiteral("server/ip"), QStringLiteral("10.1.2.3"));
    settings.write(QStringLiteral("server/port"), QStringLiteral("8002"));
    settings.write(QStringLiteral("server/login"), QStringLiteral("operator"));
    settings.write(QStringLiteral("server/password"), QStringLiteral("s3cret;x"));

    QFile file(QStringLiteral("settings.conf"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    QVERIFY2(text.startsWith(QStringLiteral("[server]\n")), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("ip=10.1.2.3\n")));
    QVERIFY(text.contains(QStringLiteral("login=operator\n")));
    QVERIFY(text.contains(QStringLiteral("s3cret;x")));
    QCOMPARE(file.permissions()
                 & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup
                    | QFileDevice::WriteOther),
             QFileDevice::Permissions());
    QVERIFY(file.permissions() & QFileDevice::ReadOwner);
}

void tst_Settings::instanceKeepsFirstFile()
{
    QTest::ignoreMessage(QtDebugMsg, "ERROR: [CSettings::getInstance] Invalid fileName");
    QCOMPARE(CSettings::getInstance(QString()), static_cast<CSettings *>(nullptr));

    CSettings *first = CSettings::getInstance(QStringLiteral("first.conf"));
    QVERIFY(first);
    QCOMPARE(CSettings::getInstance(QStringLiteral("second.conf")), first);
    QVERIFY(CSettings::writeValue(QStringLiteral("server/login"), QStringLiteral("me")));
    QVERIFY(QFile::exists(QStringLiteral("first.conf")));
    QVERIFY(!QFile::exists(QStringLiteral("second.conf")));
    QCOMPARE(CSettings::readValue(QStringLiteral("server/login"), QVariant()).toString(),
             QStringLiteral("me"));
}

void tst_Settings::unwritableFileIsReported()
{
    // A file where its folder should be.
    QFile blocker(QStringLiteral("blocker"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    CSettings settings(QStringLiteral("blocker/settings.conf"));
    QVERIFY(!settings.write(QStringLiteral("server/ip"), QStringLiteral("10.1.2.3")));
}

QTEST_GUILESS_MAIN(tst_Settings)
#include "tst_settings.moc"
