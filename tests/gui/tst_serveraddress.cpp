#include "gui/serveraddress.h"

#include <QtTest>

// The server address and port fields: what is accepted, what may still be
// typed on, what is refused as a keystroke.
class tst_ServerAddress : public QObject
{
    Q_OBJECT

private slots:
    void host_data();
    void host();
    void port_data();
    void port();
};

Q_DECLARE_METATYPE(QValidator::State)

namespace {

constexpr QValidator::State Ok = QValidator::Acceptable;
constexpr QValidator::State More = QValidator::Intermediate;
constexpr QValidator::State No = QValidator::Invalid;

} // namespace

void tst_ServerAddress::host_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QValidator::State>("state");
    QTest::addColumn<QString>("fixed");

    const auto row = [](const char *text, QValidator::State state, const char *fixed = nullptr) {
        QTest::newRow(text) << QString::fromLatin1(text) << state
                            << QString::fromLatin1(fixed ? fixed : text);
    };
    row("192.168.1.20", Ok);
    row("192.168.1", More);
    row("192.168.1.", More);
    row("192.168.1.256", No);
    row("1.2.3.4.5", No);
    row("ns.example.com", Ok);
    row("gateway-01", Ok);
    row("localhost", Ok);
    row("example.", More);
    row("-lead.example", More);
    row("trail-.example", More);
    // a numeric top-level label is no host name, and no address either
    row("host.123", More);
    row("under_score.example", No);
    row("white space", No);
    row(QByteArray(64, 'a').constData(), No);
    // 253 characters is the longest name
    const QByteArray longest = QByteArray(63, 'a') + '.' + QByteArray(63, 'b') + '.' + QByteArray(63, 'c')
        + '.' + QByteArray(61, 'd');
    row(longest.constData(), Ok);
    row(QByteArray(longest + 'd').constData(), No);
    // IPv6 belongs in brackets in the URL; typed bare it is completed with them
    row("[::1]", Ok);
    row("[2001:db8::8:800:200c:417a]", Ok);
    row("[::ffff:10.0.0.1]", Ok);
    row("[fe80::1", More);
    row("[2001:db8:::1]", More);
    row("::1", More, "[::1]");
    row("2001:db8::1", More, "[2001:db8::1]");
    row("[::g]", No);
    row("host:8002", No);
    row("", More);
}

void tst_ServerAddress::host()
{
    QFETCH(QString, text);
    QFETCH(QValidator::State, state);
    QFETCH(QString, fixed);

    CHostValidator validator;
    QString input = text;
    int pos = input.size();
    QCOMPARE(validator.validate(input, pos), state);
    validator.fixup(input);
    QCOMPARE(input, fixed);
    if (input != text)
        QCOMPARE(validator.validate(input, pos), Ok);
}

void tst_ServerAddress::port_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QValidator::State>("state");

    for (const char *text : { "1", "502", "8002", "65535" })
        QTest::newRow(text) << QString::fromLatin1(text) << Ok;
    for (const char *text : { "", "0", "08002" })
        QTest::newRow(text) << QString::fromLatin1(text) << More;
    for (const char *text : { "65536", "99999", "123456", "-1", "+80", "80a", " 80" })
        QTest::newRow(text) << QString::fromLatin1(text) << No;
}

void tst_ServerAddress::port()
{
    QFETCH(QString, text);
    QFETCH(QValidator::State, state);

    CPortValidator validator;
    int pos = 0;
    QCOMPARE(validator.validate(text, pos), state);
}

QTEST_APPLESS_MAIN(tst_ServerAddress)
#include "tst_serveraddress.moc"
