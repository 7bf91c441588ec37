// The event-stream reader: the body cut into random chunks gives the same
// fragments and the same outcome as the body in one piece, the outcome is
// reported exactly once, and the fragments add up to the answer.

#include "fuzz_support.h"

#include "gateway/event_stream_reader.h"
#include "platform/utf8.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <QNetworkReply>

#include <QStringList>

using namespace halvex;

namespace {

struct Run {
    QStringList fragments;
    int completions = 0;
    std::optional<Result<QString>> outcome;
};

constexpr qint64 maxLineBytes = 512;
constexpr qint64 maxErrorBodyBytes = 1024;

Run read(std::optional<int> status, const QByteArray &body, const QList<qsizetype> &cuts)
{
    Run run;
    EventStreamReader delegate(
        [&run](const QString &fragment, const QString &accumulated) {
            run.fragments.append(fragment);
            FUZZ_CHECK(run.fragments.join(QString()) == accumulated);
        },
        [&run](Result<QString> result) {
            ++run.completions;
            run.outcome.emplace(std::move(result));
        });
    delegate.setLimits(maxLineBytes, maxErrorBodyBytes);
    delegate.setStatus(status);
    qsizetype from = 0;
    for (const qsizetype cut : cuts) {
        delegate.feed(body.sliced(from, cut - from));
        from = cut;
    }
    delegate.feed(body.sliced(from));
    delegate.finish(std::nullopt);
    // Late input changes nothing.
    delegate.feed(QByteArrayLiteral("data: {\"choices\":[{\"delta\":{\"content\":\"late\"}}]}\n"));
    delegate.finish(QStringLiteral("late transport error"));
    FUZZ_CHECK(delegate.isComplete());
    return run;
}

// The document rule for one chunk: choices[0].delta.content when every
// choice is an object and the content is a string.
QString documentFragment(const QByteArray &payload)
{
    const QJsonDocument document = QJsonDocument::fromJson(payload);
    const QJsonArray choices = document.object().value(QLatin1String("choices")).toArray();
    if (choices.isEmpty())
        return {};
    for (const QJsonValue &choice : choices) {
        if (!choice.isObject())
            return {};
    }
    return choices.first()
        .toObject()
        .value(QLatin1String("delta"))
        .toObject()
        .value(QLatin1String("content"))
        .toString();
}

bool sameOutcome(const Result<QString> &a, const Result<QString> &b)
{
    if (a.ok() != b.ok())
        return false;
    return a.ok() ? a.value() == b.value() : a.error() == b.error();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input input(data, size);
    std::optional<int> status;
    switch (input.byte() % 4) {
    case 0:
        status = 200;
        break;
    case 1:
        status = std::nullopt;
        break;
    case 2:
        status = 500;
        break;
    default:
        status = 401;
        break;
    }
    const uint8_t cutCount = input.byte() % 16;
    QList<uint8_t> cutBytes;
    for (int i = 0; i < cutCount; ++i)
        cutBytes.append(input.byte());
    const QByteArray body = input.rest();

    QList<qsizetype> cuts;
    for (const uint8_t b : cutBytes)
        cuts.append(body.isEmpty() ? 0 : qsizetype(b) * body.size() / 255);
    std::sort(cuts.begin(), cuts.end());

    const Run whole = read(status, body, {});
    const Run chunked = read(status, body, cuts);
    FUZZ_CHECK(whole.completions == 1);
    FUZZ_CHECK(chunked.completions == 1);
    FUZZ_CHECK(sameOutcome(*whole.outcome, *chunked.outcome));
    FUZZ_CHECK(whole.fragments == chunked.fragments);
    if (whole.outcome->ok())
        FUZZ_CHECK(whole.outcome->value() == whole.fragments.join(QString()));
    // Each event line alone: the quick chunk reader agrees with the
    // document rule.
    for (const QByteArray &line : body.split('\n')) {
        if (!line.startsWith("data: ") || line.size() >= maxLineBytes || !isStrictUtf8(line) ||
            line.sliced(6) == "[DONE]")
            continue;
        const Run alone = read(200, line + '\n', {});
        const QString expected = documentFragment(line.sliced(6));
        FUZZ_CHECK(alone.fragments == (expected.isEmpty() ? QStringList() : QStringList{expected}));
    }
    // Every byte alone: the hardest split.
    if (body.size() <= 256) {
        QList<qsizetype> every;
        for (qsizetype i = 1; i < body.size(); ++i)
            every.append(i);
        const Run bytewise = read(status, body, every);
        FUZZ_CHECK(bytewise.completions == 1);
        FUZZ_CHECK(sameOutcome(*whole.outcome, *bytewise.outcome));
        FUZZ_CHECK(whole.fragments == bytewise.fragments);
    }
    return 0;
}
