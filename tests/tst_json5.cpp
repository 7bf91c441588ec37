// The JSON5 reader: what JSON5 adds to JSON, the places it reports for bad
// input, and its bounds against hostile documents.
#include "platform/json5.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <cmath>
#include <limits>

using namespace halvex;

class TestJson5 : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void acceptsWhatJson5Allows()
    {
        const QByteArray text = R"(// OpenClaw configuration, edited by hand
{
  gateway: {
    port: 0x4A65, /* 19045 */
    bind: 'lan',
    "auth": { token: 'it\'s "quoted"', },
  },
  list: [1, +2, -.5, 5., 1e3, Infinity, -Infinity, NaN, ],
  $odd_key2: null, yes: true, no: false,
  text: "line \
continued\x41\u00e9\0",
}
)";
        const Result<QJsonValue> parsed = parseJson5(text);
        QVERIFY2(parsed.ok(), qPrintable(parsed ? QString() : parsed.error().description()));
        const QJsonObject root = parsed->toObject();
        const QJsonObject gateway = root.value(QLatin1String("gateway")).toObject();
        QCOMPARE(gateway.value(QLatin1String("port")).toInt(), 0x4A65);
        QCOMPARE(gateway.value(QLatin1String("bind")).toString(), QStringLiteral("lan"));
        QCOMPARE(gateway.value(QLatin1String("auth")).toObject().value(QLatin1String("token")).toString(),
                 QStringLiteral("it's \"quoted\""));
        const QJsonArray list = root.value(QLatin1String("list")).toArray();
        QCOMPARE(list.size(), 8);
        QCOMPARE(list.at(1).toDouble(), 2.0);
        QCOMPARE(list.at(2).toDouble(), -0.5);
        QCOMPARE(list.at(3).toDouble(), 5.0);
        QCOMPARE(list.at(4).toDouble(), 1000.0);
        QVERIFY(std::isinf(list.at(5).toDouble()) && list.at(5).toDouble() > 0);
        QVERIFY(std::isinf(list.at(6).toDouble()) && list.at(6).toDouble() < 0);
        QVERIFY(std::isnan(list.at(7).toDouble()));
        QVERIFY(root.value(QLatin1String("$odd_key2")).isNull());
        QCOMPARE(root.value(QLatin1String("yes")).toBool(), true);
        QCOMPARE(root.value(QLatin1String("no")).toBool(false), false);
        QCOMPARE(root.value(QLatin1String("text")).toString(), QStringLiteral("line continuedA\u00e9") + QChar(0));
    }

    void plainJsonReadsAsQtReadsIt()
    {
        const QByteArray text = R"({"a": [1, 2.5, "x\n\u263a", {"b": null}], "c": -0, "d": 1.5e-3})";
        const Result<QJsonValue> parsed = parseJson5(text);
        QVERIFY(parsed.ok());
        QCOMPARE(QJsonDocument(parsed->toObject()), QJsonDocument::fromJson(text));
    }

    void integersStayExact()
    {
        // Found by fuzzing: integers were read as doubles, so a hand-edited
        // file with a 64-bit id was written back with another number.
        const Result<QJsonValue> parsed =
            parseJson5("// ids\n{id: 777777777777777777, min: -9223372036854775808, over: 9223372036854775808,"
                       " ratio: 2.5, exp: 1e3, hex: 0x10, plus: +7,}");
        QVERIFY(parsed.ok());
        const QJsonObject object = parsed->toObject();
        QCOMPARE(object.value(QLatin1String("id")).toInteger(), 777777777777777777LL);
        QCOMPARE(object.value(QLatin1String("min")).toInteger(), std::numeric_limits<qint64>::min());
        QCOMPARE(object.value(QLatin1String("over")).toDouble(), 9223372036854775808.0);
        QCOMPARE(object.value(QLatin1String("ratio")).toDouble(), 2.5);
        QCOMPARE(object.value(QLatin1String("exp")).toInteger(), 1000);
        QCOMPARE(object.value(QLatin1String("hex")).toInteger(), 16);
        QCOMPARE(object.value(QLatin1String("plus")).toInteger(), 7);
        // Written out as JSON, the id is the one the user wrote.
        QVERIFY(QJsonDocument(object).toJson(QJsonDocument::Compact).contains("\"id\":777777777777777777"));
    }

    void laterDuplicateKeyWins()
    {
        const Result<QJsonValue> parsed = parseJson5("{a: 1, a: 2}");
        QVERIFY(parsed.ok());
        QCOMPARE(parsed->toObject().value(QLatin1String("a")).toInt(), 2);
    }

    void reportsWhereItFailed_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("place");
        QTest::newRow("empty") << QByteArray("  ") << QStringLiteral("1:3:");
        QTest::newRow("only a comment") << QByteArray("// nothing") << QStringLiteral("1:11:");
        QTest::newRow("unclosed comment") << QByteArray("{\n  /* open") << QStringLiteral("2:3:");
        QTest::newRow("missing colon") << QByteArray("{\n  a 1}") << QStringLiteral("2:5:");
        QTest::newRow("two commas") << QByteArray("[1,,2]") << QStringLiteral("1:4:");
        QTest::newRow("leading zero") << QByteArray("{a: 012}") << QStringLiteral("1:5:");
        QTest::newRow("unclosed string") << QByteArray("{a: 'abc") << QStringLiteral("1:9:");
        QTest::newRow("line break in string") << QByteArray("{a: 'ab\ncd'}") << QStringLiteral("1:8:");
        QTest::newRow("unclosed object") << QByteArray("{a: 1,\n") << QStringLiteral("2:1:");
        QTest::newRow("text after value") << QByteArray("{} x") << QStringLiteral("1:4:");
        QTest::newRow("octal escape") << QByteArray("'\\01'") << QStringLiteral("1:4:");
        QTest::newRow("bad hex escape") << QByteArray("'\\xZ1'") << QStringLiteral("1:4:");
        QTest::newRow("bare word") << QByteArray("{a: undefined}") << QStringLiteral("1:5:");
        QTest::newRow("hex without digits") << QByteArray("0x") << QStringLiteral("1:3:");
        QTest::newRow("number glued to word") << QByteArray("[12abc]") << QStringLiteral("1:4:");
        QTest::newRow("crlf counts once") << QByteArray("{\r\n\r\n  ?}") << QStringLiteral("3:3:");
        QTest::newRow("columns in characters") << QByteArray("{'\xc3\xa9\xc3\xa9': ?}") << QStringLiteral("1:8:");
    }
    void reportsWhereItFailed()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, place);
        const Result<QJsonValue> parsed = parseJson5(text);
        QVERIFY(!parsed.ok());
        QVERIFY2(parsed.error().description().startsWith(place), qPrintable(parsed.error().description()));
    }

    void boundsHostileDocuments()
    {
        // Deep nesting would otherwise exhaust the stack.
        const QByteArray deep = QByteArray(100000, '[') + QByteArray(100000, ']');
        Result<QJsonValue> parsed = parseJson5(deep);
        QVERIFY(!parsed.ok());
        QVERIFY(parsed.error().description().contains(QLatin1String("deeper than 64")));
        QVERIFY(parseJson5(QByteArray(64, '[') + QByteArray(64, ']')).ok());

        // Too large: refused before any parsing.
        parsed = parseJson5(QByteArray(2048, ' ') + "{}", Json5Limits{1024, 64});
        QVERIFY(!parsed.ok());
        QVERIFY(parsed.error().description().contains(QLatin1String("larger than 1024 bytes")));

        // Not UTF-8.
        parsed = parseJson5("{a: '\xff\xfe'}");
        QVERIFY(!parsed.ok());
        QVERIFY(parsed.error().description().contains(QLatin1String("UTF-8")));

        // Truncated at every byte: an error every time, never a crash.
        const QByteArray whole = R"({a: [1, 'two', {b: 0x3}], /* c */ "d": +Infinity,})";
        for (qsizetype cut = 0; cut < whole.size(); ++cut)
            QVERIFY2(!parseJson5(whole.left(cut)).ok(), whole.left(cut).constData());
        QVERIFY(parseJson5(whole).ok());
    }
};

QTEST_GUILESS_MAIN(TestJson5)
#include "tst_json5.moc"
