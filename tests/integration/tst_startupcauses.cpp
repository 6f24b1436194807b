#include "app/instancelock.h"
#include "app/logfile.h"
#include "storage/databasehandler.h"
#include "tests/testkit/testkit.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

// Every problem the gateway can meet at start stops the service with exit
// code 1 and a message naming the file and the cause, in history.log and on
// standard error, and leaves server.db exactly as it was. Each case gets a
// working directory of its own; the real program runs in it as a child.
class tst_StartupCauses : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stopsWithTheReason_data();
    void stopsWithTheReason();

private:
    // Writes the case's files into dir.
    void prepare(const QString &kind, const QString &dir);

    QTemporaryDir m_programDir;
    QString m_program;
};

namespace {

const QByteArray GOOD_SETTINGS = "[server]\nip=127.0.0.1\nport=1\nlogin=demo\npassword=demo\n";

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A database of the gateway's own making, large enough that half of it is
// missing pages.
void makeStore(const QString &path)
{
    {
        CDataBaseHandler store(path, QStringLiteral("maker"));
        QVERIFY(!store.failed());
        QList<SRegisterDescription> registers;
        for (uint32_t i = 0; i < 20; ++i)
            registers.append(
                { QStringLiteral("R%1").arg(i), 1, i, 16, QStringLiteral("uinteger"), 0, 1, {} });
        for (int i = 0; i < 200; ++i) {
            const DB::SDeviceRegMapDescription device { QStringLiteral("%1").arg(i, 16, 16, QLatin1Char('0')),
                                                        QStringLiteral("A1B2C3D400000001"),
                                                        QStringLiteral("Meter"), 0, registers };
            QVERIFY(store.registerNewDevice(device, uint16_t(1000 + i)));
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("maker"));
}

} // namespace

void tst_StartupCauses::initTestCase()
{
    // The log of this process (the store that makes the test files writes to it).
    QVERIFY(m_programDir.isValid());
    CLogFile::getInstance(m_programDir.filePath(QStringLiteral("test.log")));
    // A copy any user may run, wherever the build tree lies.
    m_program = m_programDir.filePath(QStringLiteral("tidewell"));
    QVERIFY(QFile::copy(QStringLiteral(TIDEWELL_BINARY_DIR "/tidewell"), m_program));
    QVERIFY(::chmod(QFile::encodeName(m_programDir.path()).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(m_program).constData(), 0755) == 0);
}

void tst_StartupCauses::prepare(const QString &kind, const QString &dir)
{
    const QString db = dir + QStringLiteral("/server.db");
    const QString settings = dir + QStringLiteral("/settings.conf");
    QByteArray settingsText = GOOD_SETTINGS;
    if (kind == QLatin1String("truncated")) {
        makeStore(db);
        QFile file(db);
        QVERIFY(file.resize(file.size() / 2));
    } else if (kind == QLatin1String("random")) {
        QByteArray bytes;
        for (int i = 0; i < 65536; ++i)
            bytes.append(char(QRandomGenerator::global()->bounded(256)));
        QVERIFY(writeFile(db, bytes));
    } else if (kind == QLatin1String("read-only")) {
        makeStore(db);
        QVERIFY(::chmod(QFile::encodeName(db).constData(), 0444) == 0);
    } else if (kind == QLatin1String("index in the way")) {
        {
            QSqlDatabase maker
                = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("index"));
            maker.setDatabaseName(db);
            QVERIFY(maker.open());
            QSqlQuery query(maker);
            QVERIFY(query.exec(QStringLiteral("CREATE TABLE x (a);")));
            QVERIFY(query.exec(QStringLiteral("CREATE INDEX devices ON x (a);")));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("index"));
    } else if (kind.startsWith(QLatin1String("settings:"))) {
        settingsText = kind.mid(9).toUtf8();
    } else if (kind == QLatin1String("huge settings")) {
        settingsText = GOOD_SETTINGS + QByteArray(int(2 * 1024 * 1024), ';');
    } else if (kind == QLatin1String("garbage lock")) {
        QVERIFY(writeFile(dir + QStringLiteral("/tidewell.lock"), QByteArray("\0\xff junk", 7)));
        settingsText = GOOD_SETTINGS + "scheme=http\n";
    }
    QVERIFY(writeFile(settings, settingsText));
}

void tst_StartupCauses::stopsWithTheReason_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("asNobody"); // run by a user other than the files' owner
    QTest::addColumn<QString>("file"); // named in the message, in the working directory
    QTest::addColumn<QString>("cause");
    auto row = [](const char *name, const QString &kind, bool asNobody, const char *file, const char *cause) {
        QTest::newRow(name) << kind << asNobody << QString::fromLatin1(file) << QString::fromLatin1(cause);
    };
    row("server.db cut in half", "truncated", false, "server.db", "database disk image is malformed");
    row("server.db of random bytes", "random", false, "server.db", "file is not a database");
    row("server.db not writable", "read-only", true, "server.db",
        "it cannot be written (attempt to write a readonly database)");
    row("tables cannot be created", "index in the way", false, "server.db",
        "table \"devices\" cannot be created (there is already an index named devices");
    row("port out of range", "settings:[server]\nip=127.0.0.1\nport=70000\nlogin=a\npassword=b\n", false,
        "settings.conf", "[server] port [70000]: not a port number (1 to 65535)");
    row("ip with a scheme", "settings:[server]\nip=ws://127.0.0.1\nport=8002\nlogin=a\npassword=b\n", false,
        "settings.conf", "[server] ip [ws://127.0.0.1]: a host name or address without a scheme");
    const QString good = QStringLiteral("settings:") + QString::fromLatin1(GOOD_SETTINGS);
    row("modbus bind", good + "[modbus]\nbind=10.0.0.300\n", false, "settings.conf",
        "[modbus] bind [10.0.0.300]: not an IPv4 or IPv6 address");
    row("modbus max_connections", good + "[modbus]\nmax_connections=abc\n", false, "settings.conf",
        "[modbus] max_connections [abc]: not a positive whole number");
    row("password with a comma", "settings:[server]\nip=127.0.0.1\nport=8002\nlogin=a\npassword=x,y\n", false,
        "settings.conf", "[server] password (line 5): the value holds an unquoted \",\"");
    row("settings over 1 MB", "huge settings", false, "settings.conf", "the file is larger than 1 MB");
    // A lock file left behind never blocks: the start goes on to the next problem.
    row("garbage lock file", "garbage lock", false, "settings.conf",
        "[server] scheme [http]: neither ws nor wss");
    row("working directory not writable", "read-only directory", true, "", "cannot create the lock file");
    row("another gateway", "held lock", false, "",
        "another Tidewell is already running on the working directory");
    // A first start where no file can grow: a file size limit of 0 makes
    // every write fail as a full disk does, without mounting anything.
    row("first start without room", "no room", false, "server.db", "it cannot be written (disk I/O error)");
}

void tst_StartupCauses::stopsWithTheReason()
{
    QFETCH(QString, kind);
    QFETCH(bool, asNobody);
    QFETCH(QString, file);
    QFETCH(QString, cause);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path();
    prepare(kind, path);
    if (QTest::currentTestFailed())
        return;
    const QByteArray dbBefore = testkit::readFile(path + QStringLiteral("/server.db"));
    const bool dbExisted = QFile::exists(path + QStringLiteral("/server.db"));

    std::unique_ptr<CInstanceLock> held;
    if (kind == QLatin1String("held lock")) {
        held = std::make_unique<CInstanceLock>(path + QStringLiteral("/tidewell.lock"));
        QCOMPARE(held->tryLock(), CInstanceLock::EResult::Taken);
    }

    QString program = m_program;
    QStringList arguments { QStringLiteral("--headless"), QStringLiteral("--workdir"), path };
    const QByteArray dirName = QFile::encodeName(path);
    if (asNobody) {
        // The files stay root's (or the test user's); the gateway runs as
        // another user, who may write the directory unless the case says not.
        QVERIFY(::chmod(dirName.constData(), kind == QLatin1String("read-only directory") ? 0755 : 0777)
                == 0);
        for (const QString &name : QDir(path).entryList(QDir::Files))
            QVERIFY(::chmod(QFile::encodeName(path + QLatin1Char('/') + name).constData(), 0444) == 0);
        if (::geteuid() == 0) {
            arguments.prepend(program);
            arguments = QStringList { QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                                      QStringLiteral("--clear-groups") }
                + arguments;
            program = QStringLiteral("/usr/bin/setpriv");
            QVERIFY2(QFile::exists(program), "setpriv (util-linux, installed by scripts/deps) is missing");
        } else if (kind == QLatin1String("read-only directory")) {
            QVERIFY(::chmod(dirName.constData(), 0555) == 0);
        }
    }

    if (kind == QLatin1String("no room")) {
        arguments = QStringList { QStringLiteral("-c"),
                                  QStringLiteral("trap '' XFSZ; ulimit -f 0; exec \"$0\" \"$@\""), program }
            + arguments;
        program = QStringLiteral("/bin/sh");
    }

    QProcess tidewell;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    tidewell.setProcessEnvironment(env);
    tidewell.setStandardOutputFile(QProcess::nullDevice());
    tidewell.start(program, arguments);
    QVERIFY(tidewell.waitForFinished(testkit::WAIT_MS));
    ::chmod(dirName.constData(), 0700);
    QCOMPARE(tidewell.exitStatus(), QProcess::NormalExit);
    const QString errors = QString::fromLocal8Bit(tidewell.readAllStandardError());
    QVERIFY2(tidewell.exitCode() == 1, qPrintable(errors));

    // The message names the file (or the directory) and the cause.
    const QString named = file.isEmpty() ? path : path + QLatin1Char('/') + file;
    const QStringList lines
        = errors.split(QLatin1Char('\n')).filter(QStringLiteral("CRITICAL_ERROR! [main]"));
    QVERIFY2(std::any_of(lines.cbegin(), lines.cend(),
                         [&](const QString &line) { return line.contains(named) && line.contains(cause); }),
             qPrintable(errors));
    // Where history.log can be written, it has the reason too.
    if (kind != QLatin1String("read-only directory") && kind != QLatin1String("no room")) {
        const QString log = QString::fromUtf8(testkit::readFile(path + QStringLiteral("/history.log")));
        QVERIFY2(log.contains(cause), qPrintable(log));
    }
    // SQLite opens a missing file by creating it empty.
    QCOMPARE(QFile::exists(path + QStringLiteral("/server.db")),
             dbExisted || kind == QLatin1String("no room"));
    QVERIFY(testkit::readFile(path + QStringLiteral("/server.db")) == dbBefore);
}

QTEST_GUILESS_MAIN(tst_StartupCauses)
#include "tst_startupcauses.moc"
