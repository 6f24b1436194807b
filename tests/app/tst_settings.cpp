#include "app/instancelock.h"
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
    void valuesAsWritten_data();
    void valuesAsWritten();
    void garbageBeforeAGroupDoesNotHideIt();
    void largeFileIsRefusedUnread();
    void lockOutlivesNoProcess();

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

// Each file is checked as written: the problems name the key and what is
// wrong, and a value QSettings would misread is never used.
void tst_Settings::valuesAsWritten_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("problem"); // empty: none
    QTest::addColumn<QString>("password"); // as read, when there is no problem
    auto row = [](const char *name, const QByteArray &text, const char *problem, const char *password = "") {
        QTest::newRow(name) << text << QString::fromUtf8(problem) << QString::fromUtf8(password);
    };
    const QByteArray good = "[server]\nip=10.0.0.1\nport=8002\nlogin=op\n";
    row("plain", good + "password=abc", "", "abc");
    row("comma in quotes", good + "password=\"a,b;c\"", "", "a,b;c");
    row("unquoted comma", good + "password=a,b",
        "[server] password (line 5): the value holds an unquoted \",\" and would not be read back whole; put "
        "the value in double quotes");
    row("unquoted semicolon", good + "password=a;b", "unquoted \";\"");
    row("port out of range", "[server]\nport=70000\n",
        "[server] port [70000]: not a port number (1 to 65535)");
    row("port text", "[server]\nport=abc\n", "[server] port [abc]: not a port number");
    row("ip with a space", "[server]\nip=10.0.0 .1\n", "[server] ip [10.0.0 .1]: not a host");
    row("ip with a scheme", "[server]\nip=ws://10.0.0.1\n",
        "[server] ip [ws://10.0.0.1]: a host name or address without a scheme");
    row("host name", good + "password=x\nip=gw.example.net", "", "x");
    row("ipv6", good + "password=x\nip=\"::1\"", "", "x");
    row("scheme", "[server]\nscheme=http\n", "[server] scheme [http]: neither ws nor wss");
    row("bind", "[modbus]\nbind=10.0.0.300\n", "[modbus] bind [10.0.0.300]: not an IPv4");
    row("max_connections", "[modbus]\nmax_connections=abc\n",
        "[modbus] max_connections [abc]: not a positive whole number");
    row("unknown key ignored", good + "password=x\nnote=a,b", "", "x");
}

void tst_Settings::valuesAsWritten()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, problem);
    QFETCH(QString, password);
    QFile file(QStringLiteral("settings.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    file.close();
    CSettings settings(QStringLiteral("settings.conf"));
    const QStringList problems = settings.problems();
    if (problem.isEmpty()) {
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
        QCOMPARE(settings.serverSettings().password, password);
    } else {
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems.first().contains(problem), qPrintable(problems.first()));
    }
}

// A stray quote or a line continuation before a group would make QSettings
// swallow the group into a value; such lines are left out of reading (and
// named), while the file itself is not touched.
void tst_Settings::garbageBeforeAGroupDoesNotHideIt()
{
    const QByteArray text = "a=\"unterminated\nnoise \\\n\x01\x02\xff\n[server]\nip=10.0.0.1\nport=8002\n";
    QFile file(QStringLiteral("settings.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    file.close();
    CSettings settings(QStringLiteral("settings.conf"));
    QCOMPARE(settings.serverSettings().host, QStringLiteral("10.0.0.1"));
    QCOMPARE(settings.serverSettings().port, QStringLiteral("8002"));
    QCOMPARE(settings.notes().size(), 3);
    QVERIFY(settings.notes().first().startsWith(QStringLiteral("line 1 is neither")));
    QVERIFY(settings.problems().isEmpty());
    // A write reaches the file and later reads alike.
    QVERIFY(settings.write(QStringLiteral("server/login"), QStringLiteral("op")));
    QCOMPARE(settings.serverSettings().login, QStringLiteral("op"));
    QVERIFY(CSettings(QStringLiteral("settings.conf")).serverSettings().login == QStringLiteral("op"));
}

void tst_Settings::largeFileIsRefusedUnread()
{
    QFile file(QStringLiteral("settings.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray line = "[server]\nip=10.0.0.1\n";
    QVERIFY(file.write(line.repeated(int(SettingsCheck::MaxFileBytes / line.size()) + 1)) > 0);
    file.close();
    CSettings settings(QStringLiteral("settings.conf"));
    QVERIFY(settings.refused());
    QCOMPARE(settings.problems().size(), 1);
    QVERIFY(settings.problems().first().startsWith(QStringLiteral("the file is larger than 1 MB")));
    QCOMPARE(settings.serverSettings().host, QString());
    QVERIFY(!settings.write(QStringLiteral("server/ip"), QStringLiteral("10.0.0.2")));
    QVERIFY(QFileInfo(QStringLiteral("settings.conf")).size() > SettingsCheck::MaxFileBytes);
}

// The lock is the kernel's: a file left with any content never blocks, one
// held blocks the next, and letting go frees it (and removes the file).
void tst_Settings::lockOutlivesNoProcess()
{
    QFile stale(QStringLiteral("tidewell.lock"));
    QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write(QByteArray("\0garbage\xff", 9)) == 9);
    stale.close();
    {
        CInstanceLock first(QStringLiteral("tidewell.lock"));
        QCOMPARE(first.tryLock(), CInstanceLock::EResult::Taken);
        CInstanceLock second(QStringLiteral("tidewell.lock"));
        QCOMPARE(second.tryLock(), CInstanceLock::EResult::HeldByOther);
    }
    QVERIFY(!QFile::exists(QStringLiteral("tidewell.lock")));
    CInstanceLock again(QStringLiteral("tidewell.lock"));
    QCOMPARE(again.tryLock(), CInstanceLock::EResult::Taken);
    CInstanceLock nowhere(QStringLiteral("missing/tidewell.lock"));
    QCOMPARE(nowhere.tryLock(), CInstanceLock::EResult::Unavailable);
    QCOMPARE(nowhere.errorString(), QStringLiteral("No such file or directory"));
}

QTEST_GUILESS_MAIN(tst_Settings)
#include "tst_settings.moc"
