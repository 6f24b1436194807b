#include "app/logfile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <clocale>

class tst_LogFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void bannerAndEntryLayout();
    void twoRunsAppend();
    void lineBreaksKeptOnDiskButNotInSignal();
    void monthNamesAreEnglish();
    void directoryInTheWayReportsClosedFile();
    void logContinuesAfterFailedWrites();

private:
    static QByteArray readAll(const QString &path);
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_LogFile::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

QByteArray tst_LogFile::readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

static const char *const kStamp = "\\[\\d\\d-[A-Z][a-z][a-z]-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]";

void tst_LogFile::bannerAndEntryLayout()
{
    {
        CLogFile log(QStringLiteral("history.log"));
        log.addLogMetod(QStringLiteral("[main] IP is empty"));
        log.addLogMetod();
    }
    const QString text = QString::fromUtf8(readAll(QStringLiteral("history.log")));
    const QString stamp = QString::fromLatin1(kStamp);
    const QRegularExpression layout(
        QStringLiteral("^\\n") + stamp + QRegularExpression::escape(QString(65, QLatin1Char('*')))
        + QStringLiteral("\\n") + stamp
        + QRegularExpression::escape(
            QStringLiteral("**                      New session                            **"))
        + QStringLiteral("\\n") + stamp + QStringLiteral("\\[main\\] IP is empty\\n") + stamp
        + QStringLiteral("$"));
    QVERIFY2(layout.match(text).hasMatch(), qPrintable(text));
}

void tst_LogFile::twoRunsAppend()
{
    {
        CLogFile first(QStringLiteral("history.log"));
        first.addLogMetod(QStringLiteral("one"));
    }
    {
        CLogFile second(QStringLiteral("history.log"));
        second.addLogMetod(QStringLiteral("two"));
    }
    const QString text = QString::fromUtf8(readAll(QStringLiteral("history.log")));
    QCOMPARE(text.count(QStringLiteral("New session")), 2);
    QVERIFY(text.indexOf(QStringLiteral("]one")) < text.lastIndexOf(QStringLiteral("New session")));
    QVERIFY(text.endsWith(QStringLiteral("]two")));
}

void tst_LogFile::lineBreaksKeptOnDiskButNotInSignal()
{
    CLogFile log(QStringLiteral("history.log"));
    QSignalSpy spy(&log, &CLogFile::addLogSignal);
    log.addLogMetod(QStringLiteral("first\nsecond"));
    QCOMPARE(spy.count(), 1);
    const QString signalled = spy.at(0).at(0).toString();
    QVERIFY(!signalled.contains(QLatin1Char('\n')));
    QVERIFY(signalled.endsWith(QStringLiteral("]firstsecond")));
    QVERIFY(
        QString::fromUtf8(readAll(QStringLiteral("history.log"))).endsWith(QStringLiteral("]first\nsecond")));
}

void tst_LogFile::monthNamesAreEnglish()
{
    // The machine's locale must not leak into the file format.
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QString formatted = CLogFile::formatTime(QDateTime(QDate(2026, 12, 5), QTime(13, 14, 16)));
    QLocale::setDefault(saved);
    QCOMPARE(formatted, QStringLiteral("05-Dec-26 13:14:16"));
    QCOMPARE(CLogFile::formatTime(QDateTime(QDate(2027, 3, 1), QTime(0, 0, 9))),
             QStringLiteral("01-Mar-27 00:00:09"));
}

void tst_LogFile::directoryInTheWayReportsClosedFile()
{
    QVERIFY(QDir().mkdir(QStringLiteral("history.log")));
    QTest::ignoreMessage(QtDebugMsg, "[CLogFile] Invalid file opening!");
    CLogFile log(QStringLiteral("history.log"));
    QSignalSpy spy(&log, &CLogFile::addLogSignal);
    QTest::ignoreMessage(QtDebugMsg, "[CLogFile::addLogMetod] File is closed!");
    log.addLogMetod(QStringLiteral("still announced"));
    QCOMPARE(spy.count(), 1);
    QVERIFY(spy.at(0).at(0).toString().endsWith(QStringLiteral("]still announced")));
}

// A full disk: entries that cannot be written are counted, and the log goes on
// by itself, on a line of its own, once writing works again.
void tst_LogFile::logContinuesAfterFailedWrites()
{
    CLogFile log(QStringLiteral("history.log"));
    log.addLogMetod(QStringLiteral("before"));
    log.setWriteFailureForTesting(true);
    log.addLogMetod(QStringLiteral("lost one"));
    log.addLogMetod(QStringLiteral("lost two"));
    QCOMPARE(log.lostEntries(), 2);
    QVERIFY(!log.isOpen());
    log.setWriteFailureForTesting(false);
    log.addLogMetod(QStringLiteral("after"));
    QVERIFY(log.isOpen());
    QCOMPARE(log.lostEntries(), 0);
    const QList<QByteArray> lines = readAll(QStringLiteral("history.log")).split('\n');
    QCOMPARE(lines.size(), 6);
    QVERIFY(lines.at(3).endsWith("]before"));
    QVERIFY(lines.at(4).endsWith("][CLogFile] 2 log entries could not be written"));
    QVERIFY(lines.at(5).endsWith("]after"));
}

QTEST_GUILESS_MAIN(tst_LogFile)
#include "tst_logfile.moc"
