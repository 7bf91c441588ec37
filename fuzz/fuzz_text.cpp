// The character helpers: strict UTF-8 decoding (what decodes re-encodes to
// the same bytes) and the first/rest splitting by user-perceived characters
// (first + rest is the whole text, lone surrogates included).

#include "fuzz_support.h"

#include "platform/characters.h"
#include "platform/utf8.h"

using namespace halvex;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray raw = fuzz::bytes(data, size);

    const std::optional<QString> kept = strictUtf8(raw);
    FUZZ_CHECK(kept.has_value() == isStrictUtf8(raw));
    if (kept)
        FUZZ_CHECK(kept->toUtf8() == raw);
    const std::optional<QString> dropped = strictUtf8(raw, LeadingBom::drop);
    FUZZ_CHECK(dropped.has_value() == kept.has_value());
    if (dropped) {
        const bool bom = raw.startsWith("\xEF\xBB\xBF");
        FUZZ_CHECK(dropped->toUtf8() == (bom ? raw.mid(3) : raw));
    }

    fuzz::Input input(data, size);
    const qsizetype count = input.byte() % 16;
    const QString text = input.restAsUtf16();
    const QString first = firstCharacters(text, count);
    const QString rest = dropCharacters(text, count);
    FUZZ_CHECK(first + rest == text);
    const qsizetype total = characterCount(text);
    FUZZ_CHECK(total <= text.size());
    FUZZ_CHECK(characterCount(first) <= count);
    FUZZ_CHECK(first.size() <= text.size());
    // A cut never falls inside a surrogate pair.
    if (!first.isEmpty() && !rest.isEmpty())
        FUZZ_CHECK(!(first.back().isHighSurrogate() && rest.front().isLowSurrogate()));
    FUZZ_CHECK(firstCharacters(text, total) == text);
    FUZZ_CHECK(dropCharacters(text, total).isEmpty());
    return 0;
}
