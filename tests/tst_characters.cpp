// The character helpers on the texts that break naive cutting: joined emoji,
// flags, combining marks, and surrogate pairs before scripts where Qt's own
// finder reports a boundary inside the pair.
#include "gateway/gateway_protocol.h"
#include "platform/characters.h"

#include <QTest>

using namespace halvex;

namespace {

QString units(std::initializer_list<char16_t> list)
{
    return QString(reinterpret_cast<const QChar *>(std::data(list)), qsizetype(list.size()));
}

} // namespace

class TstCharacters : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void firstAndRestMakeTheWholeWithWholeCharacters_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qsizetype>("characters");
        QTest::newRow("plain") << QStringLiteral("Hello") << qsizetype(5);
        QTest::newRow("family and flag") << QStringLiteral("👨‍👩‍👧 🇫🇷!") << qsizetype(4);
        QTest::newRow("combining mark") << QStringLiteral("e\u0301a") << qsizetype(2);
        // Found by fuzzing: Qt 6.4 puts a boundary between the halves of
        // U+1F661 when U+0925 follows.
        QTest::newRow("pair before Devanagari") << units({0xD83D, 0xDE61, 0x0925, u'x'}) << qsizetype(3);
        QTest::newRow("lone surrogates") << units({0xDC00, u'a', 0xD800}) << qsizetype(3);
    }
    void firstAndRestMakeTheWholeWithWholeCharacters()
    {
        QFETCH(QString, text);
        QFETCH(qsizetype, characters);
        QCOMPARE(characterCount(text), characters);
        for (qsizetype n = 0; n <= characters + 1; ++n) {
            const QString first = firstCharacters(text, n);
            const QString rest = dropCharacters(text, n);
            QCOMPARE(first + rest, text);
            QCOMPARE(characterCount(first), std::min(n, characters));
            if (GatewayProtocol::isEncodable(text)) {
                QVERIFY(GatewayProtocol::isEncodable(first));
                QVERIFY(GatewayProtocol::isEncodable(rest));
            }
        }
    }

    // Outside text on a log line or a terminal: whatever could steer the
    // terminal, break the line or hide what the text says becomes visible.
    void quotedForLogShowsWhatCouldSteerOrDisguise_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("maxLength");
        QTest::addColumn<QString>("quoted");
        QTest::newRow("plain stays") << QStringLiteral("Zoë’s box 🇫🇷 C:\\dir") << 200
                                     << QStringLiteral("Zoë’s box 🇫🇷 C:\\dir");
        QTest::newRow("title sequence") << QStringLiteral("\x1b]0;owned\x07") << 200
                                        << QStringLiteral("\\u001b]0;owned\\u0007");
        QTest::newRow("forged line") << QStringLiteral("x\r\nConnected to relay\t") << 200
                                     << QStringLiteral("x\\u000d\\u000aConnected to relay\\u0009");
        QTest::newRow("DEL and C1 CSI") << units({u'a', 0x7f, 0x9b, u'2', u'J', 0x85}) << 200
                                        << QStringLiteral("a\\u007f\\u009b2J\\u0085");
        QTest::newRow("bidi override and isolates")
            << units({u'e', u'x', u'e', 0x202e, u'f', u'd', u'p', 0x202c, 0x2066, 0x2069}) << 200
            << QStringLiteral("exe\\u202efdp\\u202c\\u2066\\u2069");
        QTest::newRow("invisible formats") << units({0x200b, u'a', 0x200f, 0x2028, 0x2029, 0xfeff}) << 200
                                           << QStringLiteral("\\u200ba\\u200f\\u2028\\u2029\\ufeff");
        QTest::newRow("lone surrogate") << units({u'a', 0xd800, u'b'}) << 200 << QStringLiteral("a\\ud800b");
        QTest::newRow("long is capped") << QString(300, QLatin1Char('x')) << 200
                                        << QString(200, QLatin1Char('x')) + QChar(0x2026);
        QTest::newRow("cap keeps a pair whole") << QStringLiteral("ab😀c") << 3 << QStringLiteral("ab…");
        QTest::newRow("exactly the cap") << QStringLiteral("abc") << 3 << QStringLiteral("abc");
    }
    void quotedForLogShowsWhatCouldSteerOrDisguise()
    {
        QFETCH(QString, text);
        QFETCH(int, maxLength);
        QFETCH(QString, quoted);
        QCOMPARE(quotedForLog(text, maxLength), quoted);
        // Quoting twice changes nothing, so a text may pass through twice.
        QCOMPARE(quotedForLog(quoted, maxLength + 10), quoted);
    }
};

QTEST_GUILESS_MAIN(TstCharacters)
#include "tst_characters.moc"
