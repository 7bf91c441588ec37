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
};

QTEST_GUILESS_MAIN(TstCharacters)
#include "tst_characters.moc"
