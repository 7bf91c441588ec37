// The relay's message vocabulary: strict decoding of inbound frames and the
// exact members of every outbound message.
#include "relay/relay_message.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace halvex;

namespace {
QJsonObject parse(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}
QStringList sortedKeys(const QJsonObject &object)
{
    QStringList keys = object.keys();
    keys.sort();
    return keys;
}
} // namespace

class TstRelayMessage : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void aChatRequestDecodesWithEveryMember()
    {
        const auto decoded = RelayMessage::decode(R"({
            "type": "chat_message", "id": "m-1", "appUserId": "u-7", "content": "Hello",
            "messages": [
                {"role": "system", "content": "Be brief"},
                {"role": "user", "content": "Hi", "name": "Ann", "x-trace": "7"}
            ],
            "avatarId": 42, "extra": {"nested": [1, 2]}, "ts": null
        })");
        QVERIFY2(decoded.ok(), qPrintable(decoded.ok() ? QString() : decoded.error().description()));
        const RelayMessage &m = decoded.value();
        QCOMPARE(m.type, QStringLiteral("chat_message"));
        QCOMPARE(m.id, std::optional<QString>(QStringLiteral("m-1")));
        QCOMPARE(m.appUserId, std::optional<QString>(QStringLiteral("u-7")));
        QCOMPARE(m.content, std::optional<QString>(QStringLiteral("Hello")));
        QVERIFY(m.messages.has_value());
        QCOMPARE(m.messages->size(), 2);
        QCOMPARE(m.messages->at(0).value(QStringLiteral("role")), QStringLiteral("system"));
        // Members beyond "role" and "content" are kept for the gateway.
        const ChatMessage &user = m.messages->at(1);
        QCOMPARE(user.value(QStringLiteral("content")), QStringLiteral("Hi"));
        QCOMPARE(user.value(QStringLiteral("name")), QStringLiteral("Ann"));
        QCOMPARE(user.value(QStringLiteral("x-trace")), QStringLiteral("7"));
        QCOMPARE(user.size(), 4);
    }

    void optionalMembersMayBeAbsentOrNull()
    {
        const auto minimal = RelayMessage::decode(R"({"type":"ping"})");
        QVERIFY(minimal.ok());
        QCOMPARE(minimal->type, QStringLiteral("ping"));
        QVERIFY(!minimal->id && !minimal->content && !minimal->messages && !minimal->appUserId);

        const auto nulls = RelayMessage::decode(
            R"({"type":"chat_message","id":null,"content":null,"messages":null,"appUserId":null})");
        QVERIFY(nulls.ok());
        QVERIFY(!nulls->id && !nulls->content && !nulls->messages && !nulls->appUserId);

        const auto empty = RelayMessage::decode(R"({"type":"","messages":[]})");
        QVERIFY(empty.ok());
        QCOMPARE(empty->type, QString());
        QVERIFY(empty->messages.has_value() && empty->messages->isEmpty());

        // Non-ASCII text survives decoding.
        const auto unicode =
            RelayMessage::decode(QStringLiteral(R"({"type":"chat_message","content":"Grüße 🙂"})").toUtf8());
        QVERIFY(unicode.ok());
        QCOMPARE(unicode->content, std::optional<QString>(QStringLiteral("Grüße 🙂")));
    }

    void wronglyTypedFramesAreRejectedWhole_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("type missing") << QByteArray(R"({"id":"m-1"})") << QStringLiteral("\"type\"");
        QTest::newRow("type number") << QByteArray(R"({"type":7})") << QStringLiteral("\"type\"");
        QTest::newRow("type null") << QByteArray(R"({"type":null})") << QStringLiteral("\"type\"");
        QTest::newRow("id number") << QByteArray(R"({"type":"chat_message","id":1})") << QStringLiteral("\"id\"");
        QTest::newRow("content bool") << QByteArray(R"({"type":"chat_message","content":true})")
                                      << QStringLiteral("\"content\"");
        QTest::newRow("appUserId object")
            << QByteArray(R"({"type":"chat_message","appUserId":{"a":"b"}})") << QStringLiteral("\"appUserId\"");
        QTest::newRow("messages object") << QByteArray(R"({"type":"chat_message","messages":{"role":"user"}})")
                                         << QStringLiteral("\"messages\"");
        QTest::newRow("messages string") << QByteArray(R"({"type":"chat_message","messages":"Hi"})")
                                         << QStringLiteral("\"messages\"");
        QTest::newRow("messages of strings")
            << QByteArray(R"({"type":"chat_message","messages":["Hi"]})") << QStringLiteral("\"messages\"");
        QTest::newRow("messages entry null")
            << QByteArray(R"({"type":"chat_message","messages":[null]})") << QStringLiteral("\"messages\"");
        QTest::newRow("messages value number")
            << QByteArray(
                   R"({"type":"chat_message","messages":[{"role":"user","content":"Hi"},{"role":"user","content":3}]})")
            << QStringLiteral("\"content\"");
        QTest::newRow("messages value null")
            << QByteArray(R"({"type":"chat_message","messages":[{"role":null}]})") << QStringLiteral("\"role\"");
        QTest::newRow("messages value array")
            << QByteArray(R"({"type":"chat_message","messages":[{"role":"user","content":["a"]}]})")
            << QStringLiteral("\"content\"");
        QTest::newRow("not JSON") << QByteArray("hello") << QString();
        QTest::newRow("truncated JSON") << QByteArray(R"({"type":"chat_message")") << QString();
        QTest::newRow("top-level array") << QByteArray(R"([{"type":"chat_message"}])") << QString();
        QTest::newRow("top-level string") << QByteArray(R"("chat_message")") << QString();
        QTest::newRow("empty") << QByteArray() << QString();
    }

    void wronglyTypedFramesAreRejectedWhole()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QString, mentions);
        const auto decoded = RelayMessage::decode(frame);
        QVERIFY(!decoded.ok());
        const QString description = decoded.error().description();
        QVERIFY(!description.isEmpty());
        if (!mentions.isEmpty())
            QVERIFY2(description.contains(mentions), qPrintable(description));
    }

    void theFailureReplyHasExactlyItsFourMembers()
    {
        RelayResponse response;
        response.replyTo = QStringLiteral("m-1");
        response.content = bridgeErrorPrefix() + QStringLiteral("No user message found");
        response.appUserId = QStringLiteral("u-7");

        const QByteArray compact = QJsonDocument(response.toJson()).toJson(QJsonDocument::Compact);
        const QJsonObject wire = parse(compact);
        QCOMPARE(sortedKeys(wire), (QStringList{QStringLiteral("appUserId"), QStringLiteral("content"),
                                                QStringLiteral("reply_to"), QStringLiteral("type")}));
        QCOMPARE(wire.value(QStringLiteral("type")).toString(), QStringLiteral("chat_response"));
        QCOMPARE(wire.value(QStringLiteral("reply_to")).toString(), QStringLiteral("m-1"));
        QCOMPARE(wire.value(QStringLiteral("appUserId")).toString(), QStringLiteral("u-7"));
        // The prefix is the warning sign, the variation selector, a space.
        QVERIFY(compact.contains("\xE2\x9A\xA0\xEF\xB8\x8F Bridge error: No user message found"));
        QCOMPARE(bridgeErrorPrefix().toUtf8(), QByteArray("\xE2\x9A\xA0\xEF\xB8\x8F Bridge error: "));

        // Empty strings still go out as members.
        const QJsonObject blank = RelayResponse{}.toJson();
        QCOMPARE(blank.size(), 4);
        QVERIFY(blank.value(QStringLiteral("reply_to")).isString());
    }

    void streamMessagesCarryTheirMembers()
    {
        const QJsonObject chunk = RelayOutbound::streamChunk(QStringLiteral("m-1"), QStringLiteral("lo wor"),
                                                             QStringLiteral("Hello wor"), QStringLiteral("u-7"));
        QCOMPARE(chunk, parse(R"({"type":"chat_stream_chunk","reply_to":"m-1","delta":"lo wor",
                                  "accumulated":"Hello wor","appUserId":"u-7"})"));

        const QJsonObject end =
            RelayOutbound::streamEnd(QStringLiteral("m-1"), QStringLiteral("Hello world."), QStringLiteral("u-7"));
        QCOMPARE(end,
                 parse(R"({"type":"chat_stream_end","reply_to":"m-1","content":"Hello world.","appUserId":"u-7"})"));
    }
    void theWrittenChunkIsTheJsonOfItsMembers()
    {
        // Every kind of character a JSON string must escape, and some it
        // need not: the text reads back as the same object the document
        // form holds, and as compact JSON with nothing else in it.
        const QString tricky = QStringLiteral("quote \" backslash \\ slash / tab \t nl \n cr \r ") + QChar(0x01) +
                               QChar(0x1f) + QChar(0x7f) + QStringLiteral(" \u00e9 \u26a0\ufe0f ") +
                               QString::fromUtf8("\xF0\x9F\x98\x80") + QStringLiteral(" \u2028 end");
        const QList<QStringList> cases{
            {QStringLiteral("r-1"), QStringLiteral("Hel"), QStringLiteral("Hel"), QStringLiteral("u")},
            {QStringLiteral("r\"2"), tricky, QStringLiteral("before ") + tricky, QStringLiteral("\\user")},
            {QString(), QString(), QString(), QString()},
            // Long texts are checked in blocks: escapes before, inside and
            // after whole plain blocks, and at a block's edge.
            {QStringLiteral("r-3"), QString(63, u'a') + QStringLiteral("\"") + QString(200, u'b'),
             QString(150, u'a') + tricky + QString(128, u'c') + tricky + QString(64, u'd'), QStringLiteral("u")},
            // Text that is not ASCII for whole blocks, with a surrogate pair
            // across a block's edge.
            {QStringLiteral("r-4"), QString(100, QChar(0x4E2D)),
             QString(63, QChar(0x4E2D)) + QString::fromUtf8("\xF0\x9F\x98\x80") + QString(70, QChar(0xE9)),
             QStringLiteral("u")},
        };
        for (const QStringList &c : cases) {
            const QByteArray json = RelayOutbound::streamChunkJson(c[0], c[1], c[2], c[3]);
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(json, &error);
            QCOMPARE(error.error, QJsonParseError::NoError);
            QCOMPARE(document.object(), RelayOutbound::streamChunk(c[0], c[1], c[2], c[3]));
            QCOMPARE(json,
                     QJsonDocument(RelayOutbound::streamChunk(c[0], c[1], c[2], c[3])).toJson(QJsonDocument::Compact));
        }
    }
    void aChunkWriterWritesWhatTheWholeTextWould()
    {
        // One answer's texts in turn: growing, growing by escapes, rewritten
        // by the gateway, cut inside a surrogate pair and completed, shrunk.
        const QString pair = QString::fromUtf8("\xF0\x9F\x98\x80");
        const QStringList texts{QStringLiteral("Hel"),
                                QStringLiteral("Hello"),
                                QStringLiteral("Hello \"quoted\"\n\t") + QString(200, u'x'),
                                QStringLiteral("Jello \"quoted\"\n\t") + QString(200, u'x') + QStringLiteral("!"),
                                QStringLiteral("Jello") + pair.first(1),
                                QStringLiteral("Jello") + pair + QStringLiteral(" \u00e9"),
                                QStringLiteral("J"),
                                QString()};
        RelayOutbound::StreamChunkWriter writer;
        for (const QString &text : texts) {
            const QString delta = text.right(3);
            QCOMPARE(writer.write(QStringLiteral("r-1"), delta, text, QStringLiteral("u")),
                     RelayOutbound::streamChunkJson(QStringLiteral("r-1"), delta, text, QStringLiteral("u")));
        }
    }
    void aLoneSurrogateIsWrittenAsAQuestionMark()
    {
        // It has no UTF-8 form; the relay gets what toUtf8() would give.
        const QString id = QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b") + QChar(0xDC00);
        const QByteArray json =
            RelayOutbound::streamChunkJson(QStringLiteral("r"), QStringLiteral("x"), QStringLiteral("x"), id);
        QVERIFY(json.contains(R"("appUserId":"a?b?")"));
        QCOMPARE(QJsonDocument::fromJson(json).object().value(QLatin1String("appUserId")).toString(),
                 QStringLiteral("a?b?"));
    }
};

QTEST_GUILESS_MAIN(TstRelayMessage)
#include "tst_relay_message.moc"
