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
};

QTEST_APPLESS_MAIN(tst_JsonGuard)
#include "tst_jsonguard.moc"
