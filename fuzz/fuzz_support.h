#pragma once

// Shared by the harnesses: invariant checks that abort (so libFuzzer keeps
// the input), and quiet logging so the decoders' log lines do not slow the
// runs down.

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "Invariant violated at %s:%d: %s\n", __FILE__, __LINE__, #condition);                 \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

namespace halvex::fuzz {

inline void quietLogging()
{
    // Categories off: their lines are not even formatted.
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// Reads the input front to back: small numbers for choices, then the rest.
class Input
{
public:
    Input(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    uint8_t byte()
    {
        if (m_pos >= m_size)
            return 0;
        return m_data[m_pos++];
    }
    bool flag() { return byte() & 1; }
    // A slice of at most `max` bytes whose length is the next byte.
    QByteArray chunk(size_t max = 255)
    {
        const size_t n = std::min<size_t>({size_t(byte()), max, m_size - m_pos});
        QByteArray out(reinterpret_cast<const char *>(m_data + m_pos), qsizetype(n));
        m_pos += n;
        return out;
    }
    QByteArray rest()
    {
        QByteArray out(reinterpret_cast<const char *>(m_data + m_pos), qsizetype(m_size - m_pos));
        m_pos = m_size;
        return out;
    }
    // The rest read as raw UTF-16 units: any text, lone surrogates included.
    QString restAsUtf16()
    {
        const QByteArray raw = rest();
        return QString(reinterpret_cast<const QChar *>(raw.constData()), raw.size() / 2);
    }
    bool empty() const { return m_pos >= m_size; }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

} // namespace halvex::fuzz
