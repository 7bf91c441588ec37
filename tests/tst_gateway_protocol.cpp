// The in-place reader of the per-fragment gateway frames against the full
// reader: whatever it accepts must mean exactly what the JSON document
// means, and whatever is unusual must be left to the full reader.
#include "gateway/chat_call.h"
#include "gateway/gateway_protocol.h"

#include <QJsonDocument>
#include <QTest>

using namespace halvex;
using namespace halvex::GatewayProtocol;

namespace {

// The event the full reader makes of a frame (nullopt: no agent event).
std::optional<AgentEvent> fullRead(const QString &text)
{
    const std::optional<Frame> frame = parseFrame(text.toUtf8());
    if (!frame || frame->kind != Frame::Kind::event || !frame->hasPayload)
        return std::nullopt;
    return readAgentEvent(frame->eventName, frame->payload);
}

void addFrameRows();

QString textOf(const AgentEvent &event)
{
    return event.assistantText ? event.assistantText->decodedFrom(0) : event.text;
}

} // namespace

class TstGatewayProtocol : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void inPlaceReadingMeansWhatTheDocumentMeans_data() { addFrameRows(); }

    void inPlaceReadingMeansWhatTheDocumentMeans()
    {
        QFETCH(QString, frame);
        QFETCH(bool, inPlace);
        const std::optional<AgentEvent> fast = readAssistantEvent(frame.toUtf8());
        QCOMPARE(fast.has_value(), inPlace);
        if (!fast)
            return;
        const std::optional<AgentEvent> full = fullRead(frame);
        QVERIFY(full.has_value());
        QCOMPARE(int(fast->kind), int(full->kind));
        QCOMPARE(fast->runId, full->runId);
        QCOMPARE(fast->sessionKey, full->sessionKey);
        QCOMPARE(fast->stream, full->stream);
        QCOMPARE(fast->phase, full->phase);
        QCOMPARE(textOf(*fast), textOf(*full));
    }

    void aChatTakesOnlyTheNewPartOfEachText()
    {
        // Cumulative texts read in place: each fragment is what lies beyond
        // the text passed on, escapes decoded wherever they fall.
        QStringList fragments, accumulations;
        ChatCall call(
            QStringLiteral("f"), ChatCallRequest{},
            [&](const QString &fragment, const QString &accumulated) {
                fragments << fragment;
                accumulations << accumulated;
            },
            QDeadlineTimer(QDeadlineTimer::Forever));
        auto feed = [&call](const QString &escapedText) {
            const std::optional<AgentEvent> event = readAssistantEvent(
                QStringLiteral(R"({"type":"event","event":"agent","payload":{"runId":"r","stream":"assistant",)"
                               R"("data":{"text":"%1"}}})")
                    .arg(escapedText)
                    .toUtf8());
            QVERIFY(event && event->assistantText);
            call.applyText(*event->assistantText);
        };
        feed(QStringLiteral("He"));
        feed(QStringLiteral(R"(He\"l)"));
        feed(QStringLiteral(R"(He\"l)")); // a repeat adds nothing
        feed(QStringLiteral(R"(He\"l\nlo \u00e9)"));
        QCOMPARE(fragments, (QStringList{QStringLiteral("He"), QStringLiteral("\"l"), QStringLiteral("\nlo \u00e9")}));
        QCOMPARE(accumulations.last(), QStringLiteral("He\"l\nlo \u00e9"));
        QCOMPARE(call.text(), accumulations.last());
    }

    void decodingFromAnyUnitIsTheRestOfTheWholeText_data()
    {
        QTest::addColumn<QString>("escapedText");
        // Long enough for whole blocks to be stepped over; two-, three- and
        // four-byte characters and escapes on and across block edges.
        const QString mixed = QString(29, u'a') + QStringLiteral("é€😀") + QString(33, u'b') + QStringLiteral("😀") +
                              QString(30, u'c') + QStringLiteral("Grüße") + QString(64, u'd');
        QTest::newRow("ASCII") << QString(200, u'x');
        QTest::newRow("multi-byte characters") << mixed;
        QTest::newRow("escapes") << QString(31, u'a') + QStringLiteral(R"(\n\u00e9)") + mixed +
                                        QStringLiteral(R"(\"\\)") + QString(40, u'e') + QStringLiteral(R"(\t)");
    }

    void decodingFromAnyUnitIsTheRestOfTheWholeText()
    {
        QFETCH(QString, escapedText);
        const QByteArray frame =
            QStringLiteral(R"({"type":"event","event":"agent","payload":{"runId":"r","stream":"assistant",)"
                           R"("data":{"text":"%1"}}})")
                .arg(escapedText)
                .toUtf8();
        const std::optional<AgentEvent> event = readAssistantEvent(frame);
        QVERIFY(event && event->assistantText);
        const std::optional<AgentEvent> full = fullRead(QString::fromUtf8(frame));
        QVERIFY(full);
        const QString whole = full->text;
        QCOMPARE(event->assistantText->length, whole.size());
        // From every unit, including the second half of a surrogate pair.
        for (qsizetype from = 0; from <= whole.size() + 1; ++from)
            QCOMPARE(event->assistantText->decodedFrom(from), whole.mid(from));
    }
};

namespace {

// The rows of the reading test (after the class: moc need not read them).
void addFrameRows()
{
    QTest::addColumn<QString>("frame");
    QTest::addColumn<bool>("inPlace"); // the in-place reader takes it

    QTest::newRow("assistant")
        << QStringLiteral(R"({"type":"event","event":"agent","payload":{"runId":"r1","sessionKey":"agent:mobile:main",)"
                          R"("stream":"assistant","seq":3,"ts":1.5e3,"data":{"text":"Hello","delta":"lo"}}})")
        << true;
    QTest::newRow("escapes")
        << QStringLiteral(
               R"( { "type" : "event", "event":"agent","payload":{"runId":"r\u0031","stream":"assistant",)"
               R"("data":{"text":"line\nnext \"q\" \\ \/ \t \u00e9\u26a0 end","x":[1,-2.5e-3,true,false,null,{}]}}} )")
        << true;
    QTest::newRow("non-ASCII as is")
        << QString::fromUtf8(
               R"({"type":"event","event":"agent","payload":{"runId":"r","stream":"assistant","data":{"text":"Grüße 😀"}}})")
        << true;
    QTest::newRow("chat delta")
        << QStringLiteral(R"({"type":"event","event":"chat","payload":{"runId":"r","sessionKey":"s","state":"delta",)"
                          R"("message":{"role":"assistant","content":[{"type":"text","text":"He"}]}}})")
        << true;
    // Long texts are skipped a block at a time: escapes and control
    // characters at and around the block edges.
    const auto agentText = [](const QString &escapedText) {
        return QStringLiteral(R"({"type":"event","event":"agent","payload":{"runId":"r","stream":"assistant",)"
                              R"("data":{"text":"%1"}}})")
            .arg(escapedText);
    };
    QTest::newRow("long, escapes at block edges")
        << agentText(QString(31, u'a') + QStringLiteral(R"(\n)") + QString(30, u'b') + QStringLiteral(R"(\")") +
                     QString(64, u'c') + QStringLiteral(R"(\u00e9)") + QString(40, u'd') + QStringLiteral(R"(\\)"))
        << true;
    QTest::newRow("long, a raw control character deep inside")
        << agentText(QString(70, u'a') + QChar(0x01) + QString(10, u'b')) << false;
    QTest::newRow("long, a raw line feed at a block edge")
        << agentText(QString(64, u'a') + QChar(u'\n') + QString(40, u'b')) << false;
    QTest::newRow("escaped surrogates")
        << QStringLiteral(
               R"({"type":"event","event":"agent","payload":{"runId":"r","stream":"assistant","data":{"text":"\ud83d\ude00"}}})")
        << false;
    QTest::newRow("duplicate text")
        << QStringLiteral(
               R"({"type":"event","event":"agent","payload":{"runId":"r","stream":"assistant","data":{"text":"a","text":"b"}}})")
        << false;
    QTest::newRow("empty text")
        << QStringLiteral(
               R"({"type":"event","event":"agent","payload":{"runId":"r","stream":"assistant","data":{"text":""}}})")
        << false;
    QTest::newRow("lifecycle")
        << QStringLiteral(
               R"({"type":"event","event":"agent","payload":{"runId":"r","stream":"lifecycle","data":{"phase":"end"}}})")
        << false;
    QTest::newRow("chat final") << QStringLiteral(
                                       R"({"type":"event","event":"chat","payload":{"runId":"r","state":"final"}})")
                                << false;
    QTest::newRow("text not a string")
        << QStringLiteral(
               R"({"type":"event","event":"agent","payload":{"runId":"r","stream":"assistant","data":{"text":5}}})")
        << false;
    QTest::newRow("trailing garbage")
        << QStringLiteral(
               R"({"type":"event","event":"agent","payload":{"runId":"r","stream":"assistant","data":{"text":"a"}}} x)")
        << false;
    QTest::newRow("raw control character")
        << QStringLiteral(
               "{\"type\":\"event\",\"event\":\"agent\",\"payload\":{\"runId\":\"r\",\"stream\":\"assistant\","
               "\"data\":{\"text\":\"a\tb\"}}}")
        << false;
    QTest::newRow("bad escape")
        << QStringLiteral(
               R"({"type":"event","event":"agent","payload":{"runId":"r","stream":"assistant","data":{"text":"\x"}}})")
        << false;
    QTest::newRow("cut short")
        << QStringLiteral(
               R"({"type":"event","event":"agent","payload":{"runId":"r","stream":"assistant","data":{"text":"abc)")
        << false;
    QTest::newRow("response") << QStringLiteral(R"({"type":"res","id":"1","ok":true,"payload":{}})") << false;
}

} // namespace

QTEST_GUILESS_MAIN(TstGatewayProtocol)
#include "tst_gateway_protocol.moc"
