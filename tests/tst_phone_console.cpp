// The demo's phone: lines from a pipe become "chat_message" frames on the
// relay stand-in, one at a time, and the bridge's streamed replies (played
// here by a WebSocket client on the bridge's side) are printed as they come.
#include "phone_console.h"
#include "relay_stand_in.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QTextStream>
#include <QWebSocket>

#include <unistd.h>

using halvex::demo::PhoneConsole;
using halvex::test::RelayStandIn;

namespace {

const QString token = QStringLiteral("demo-bridge-token");

// The bridge's end of the relay: connects with an accepted token and
// records what the phone sent.
struct BridgeEnd {
    QWebSocket socket;
    QList<QJsonObject> received;

    bool connect(RelayStandIn &relay)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket, [this](const QString &text) {
            received.append(QJsonDocument::fromJson(text.toUtf8()).object());
        });
        QUrl url = relay.origin();
        url.setPath(QStringLiteral("/ws/bridge"));
        url.setQuery(QStringLiteral("token=") + token);
        socket.open(url);
        return relay.waitForOpenConnections(1, 30000);
    }
    void reply(const QString &type, const QJsonObject &fields)
    {
        QJsonObject frame = fields;
        frame.insert(QStringLiteral("type"), type);
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact)));
    }
    void stream(const QString &replyTo, const QStringList &pieces)
    {
        QString sofar;
        for (const QString &piece : pieces) {
            sofar += piece;
            reply(QStringLiteral("chat_stream_chunk"), {{QStringLiteral("reply_to"), replyTo},
                                                        {QStringLiteral("delta"), piece},
                                                        {QStringLiteral("accumulated"), sofar}});
        }
        reply(QStringLiteral("chat_stream_end"),
              {{QStringLiteral("reply_to"), replyTo}, {QStringLiteral("content"), sofar}});
    }
};

struct Rig {
    RelayStandIn relay;
    BridgeEnd bridge;
    int pipeFds[2] = {-1, -1};
    QString printed;
    QTextStream out{&printed};
    std::unique_ptr<PhoneConsole> phone;

    bool start(int answerTimeoutMs = 60000, int maxLineBytes = 16 * 1024)
    {
        relay.acceptToken(token);
        if (!relay.start() || !bridge.connect(relay) || ::pipe(pipeFds) != 0)
            return false;
        PhoneConsole::Options options;
        options.inputFd = pipeFds[0];
        options.answerTimeoutMs = answerTimeoutMs;
        options.maxLineBytes = maxLineBytes;
        phone = std::make_unique<PhoneConsole>(&relay, out, options);
        phone->start();
        return true;
    }
    void type(const QByteArray &bytes)
    {
        QVERIFY(::write(pipeFds[1], bytes.constData(), bytes.size()) == bytes.size());
    }
    void endInput()
    {
        ::close(pipeFds[1]);
        pipeFds[1] = -1;
    }
    ~Rig()
    {
        phone.reset();
        for (int fd : pipeFds) {
            if (fd >= 0)
                ::close(fd);
        }
    }
};

} // namespace

class TestPhoneConsole : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Lines go one at a time, each with the conversation so far; answers are
    // printed piece by piece; the end of input ends it with the counts.
    void conversationGoesLineByLine()
    {
        Rig rig;
        QVERIFY(rig.start());
        QSignalSpy finished(rig.phone.get(), &PhoneConsole::finished);
        rig.type("first question\n\n  second question  \n");
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge.received.size(), 1, 30000);
        const QJsonObject first = rig.bridge.received.at(0);
        QCOMPARE(first.value(QStringLiteral("type")).toString(), QStringLiteral("chat_message"));
        QCOMPARE(first.value(QStringLiteral("content")).toString(), QStringLiteral("first question"));
        QVERIFY(!first.value(QStringLiteral("appUserId")).toString().isEmpty());
        const QString firstId = first.value(QStringLiteral("id")).toString();

        // The second line waits for the first answer (its history holds it).
        rig.bridge.stream(firstId, {QStringLiteral("Hello "), QStringLiteral("there.")});
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge.received.size(), 2, 30000);
        const QJsonObject second = rig.bridge.received.at(1);
        QCOMPARE(second.value(QStringLiteral("content")).toString(), QStringLiteral("second question"));
        QVERIFY(second.value(QStringLiteral("id")).toString() != firstId);
        const QJsonArray history = second.value(QStringLiteral("messages")).toArray();
        QCOMPARE(history.size(), 3);
        QCOMPARE(history.at(1).toObject().value(QStringLiteral("role")).toString(), QStringLiteral("assistant"));
        QCOMPARE(history.at(1).toObject().value(QStringLiteral("content")).toString(), QStringLiteral("Hello there."));
        QCOMPARE(history.at(2).toObject().value(QStringLiteral("content")).toString(),
                 QStringLiteral("second question"));

        rig.endInput();
        // An answer that comes whole, without pieces, counts too.
        rig.bridge.reply(QStringLiteral("chat_stream_end"),
                         {{QStringLiteral("reply_to"), second.value(QStringLiteral("id"))},
                          {QStringLiteral("content"), QStringLiteral("Whole answer.")}});
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.first().at(0).toInt(), 2);
        QCOMPARE(finished.first().at(1).toInt(), 2);
        QCOMPARE(rig.phone->chunkCount(), 2);
        QVERIFY2(rig.printed.contains(QStringLiteral("you> first question\nagent> Hello there.\n")),
                 qPrintable(rig.printed));
        QVERIFY2(rig.printed.contains(QStringLiteral("agent> Whole answer.\n")), qPrintable(rig.printed));
    }

    // A failure reply, a reply to another message and silence past the time
    // limit: none counts as an answer, and the conversation goes on.
    void failuresAreNotAnswers()
    {
        Rig rig;
        QVERIFY(rig.start(5000));
        QSignalSpy finished(rig.phone.get(), &PhoneConsole::finished);
        rig.type("will fail\nwill time out\nlast one");
        rig.endInput();
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge.received.size(), 1, 30000);
        const QString failing = rig.bridge.received.at(0).value(QStringLiteral("id")).toString();
        rig.bridge.stream(QStringLiteral("someone-else"), {QStringLiteral("not for you")});
        rig.bridge.reply(QStringLiteral("chat_response"),
                         {{QStringLiteral("reply_to"), failing},
                          {QStringLiteral("content"), QStringLiteral("Bridge error: unreachable")}});
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge.received.size(), 2, 30000);
        // The second gets no reply at all; the third, without a newline, is sent after the time limit.
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge.received.size(), 3, 30000);
        const QJsonObject last = rig.bridge.received.at(2);
        QCOMPARE(last.value(QStringLiteral("content")).toString(), QStringLiteral("last one"));
        // Unanswered questions leave the history.
        QCOMPARE(last.value(QStringLiteral("messages")).toArray().size(), 1);
        rig.bridge.stream(last.value(QStringLiteral("id")).toString(), {QStringLiteral("Fine.")});
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.first().at(0).toInt(), 3);
        QCOMPARE(finished.first().at(1).toInt(), 1);
        QVERIFY(!rig.printed.contains(QStringLiteral("not for you")));
    }

    // A line longer than the limit is cut, its rest dropped, the next line intact.
    void overlongLineIsCut()
    {
        Rig rig;
        QVERIFY(rig.start(60000, 64));
        rig.type(QByteArray(200, 'x') + "\nshort\n");
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge.received.size(), 1, 30000);
        QCOMPARE(rig.bridge.received.at(0).value(QStringLiteral("content")).toString(), QString(64, QLatin1Char('x')));
        rig.bridge.stream(rig.bridge.received.at(0).value(QStringLiteral("id")).toString(), {QStringLiteral("ok")});
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge.received.size(), 2, 30000);
        QCOMPARE(rig.bridge.received.at(1).value(QStringLiteral("content")).toString(), QStringLiteral("short"));
    }
};

QTEST_GUILESS_MAIN(TestPhoneConsole)
#include "tst_phone_console.moc"
