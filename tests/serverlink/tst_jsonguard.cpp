#include "serverlink/jsonguard.h"

#include <QJsonDocument>
#include <QtTest>

// The guard must catch every text in which fromJson would drop an object or
// array for a repeated key (this process runs under LeakSanitizer, so a miss
// among the rows below fails the run), and leave every other text to fromJson
// unchanged.
class tst_JsonGuard : public QObject
{
    Q_OBJECT

private slots:
    void texts_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("refused");
        auto row = [](const char *name, const char *text, bool refused) {
            QTest::newRow(name) << QByteArray(text) << refused;
        };
        row("array then array", R"({"a":[1],"a":[2]})", true);
        row("object then number", R"({"a":{"b":1},"a":1})", true);
        row("after another key", R"({"a":[1],"b":1,"a":3})", true);
        row("nested object", R"({"x":{"a":[1],"a":2}})", true);
        row("inside an array", R"([0,{"a":{"b":[]},"a":null}])", true);
        row("escaped key", R"({"a":[1],"\u0061":2})", true);
        row("escaped quote in key", "{\"k\\\"\":[1],\"k\\\"\":2}", true);
        row("utf-8 key", "{\"\xc3\xa9\":[1],\"\\u00e9\":2}", true);
        row("empty object dropped", R"({"a":{},"a":1})", true);
        row("number then array", R"({"a":1,"a":[2]})", false);
        row("strings repeated", R"({"a":"x","a":"y"})", false);
        row("same key, sibling objects", R"({"a":{"x":[1]},"b":{"x":[1]}})", false);
        row("same key, array elements", R"([{"a":[1]},{"a":[1]}])", false);
        row("key in a string value", "{\"s\":\"{\\\"a\\\":[1],\\\"a\\\":1}\",\"a\":[1]}", false);
        row("value equals a key", R"({"a":"a","b":["a","a"]})", false);
        row("key after the object closed", R"({"o":{"a":[1]},"a":2})", false);
        row("uplink", R"({"cmd":"rx","devEui":"00AA","data":"0102","fcnt":7})", false);
        row("not json", "{\"a\":[1],,\"a\" 3 ] } \\u12", true);
        row("truncated", "{\"a\":[1],\"a", false);
        row("empty", "", false);
    }

    void texts()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, refused);
        QCOMPARE(JsonGuard::repeatsContainerKey(text), refused);
        const QJsonDocument guarded = JsonGuard::parse(text);
        if (refused)
            QVERIFY(guarded.isNull());
        else
            QCOMPARE(guarded, QJsonDocument::fromJson(text));
    }

    // Nesting is counted over objects and arrays alike, and brackets inside
    // strings do not count.
    void depth_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("verdict");
        const int fine = int(JsonGuard::EVerdict::Fine);
        const int deep = int(JsonGuard::EVerdict::TooDeep);
        const int limit = JsonGuard::MaxDepth;
        QTest::newRow("arrays at the limit") << QByteArray(limit, '[') + QByteArray(limit, ']') << fine;
        QTest::newRow("arrays one past") << QByteArray(limit + 1, '[') + QByteArray(limit + 1, ']') << deep;
        QTest::newRow("objects one past")
            << QByteArray("{\"a\":").repeated(limit + 1) + "1" + QByteArray(limit + 1, '}') << deep;
        QTest::newRow("unclosed, a million deep") << QByteArray("{\"a\":").repeated(1000000) << deep;
        QTest::newRow("closed siblings do not add up") << QByteArray("[[]]").repeated(1000) << fine;
        QTest::newRow("brackets in a string") << "[\"" + QByteArray(1000, '[') + "\"]" << fine;
    }

    void depth()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, verdict);
        JsonGuard::EVerdict found = JsonGuard::EVerdict::Fine;
        const QJsonDocument document = JsonGuard::parse(text, &found);
        QCOMPARE(int(found), verdict);
        QCOMPARE(int(JsonGuard::inspect(text)), verdict);
        if (verdict != int(JsonGuard::EVerdict::Fine))
            QVERIFY(document.isNull());
    }
};

QTEST_APPLESS_MAIN(tst_JsonGuard)
#include "tst_jsonguard.moc"
