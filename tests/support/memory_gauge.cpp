#include "memory_gauge.h"

#include <QFile>
#include <QList>

#include <cstddef>
#include <malloc.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define HALVEX_GAUGE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HALVEX_GAUGE_ASAN 1
#endif
#endif

#ifdef HALVEX_GAUGE_ASAN
// The sanitizer runtime's own count (its header is not always installed).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace halvex::test {

qint64 MemoryGauge::allocatedBytes()
{
#ifdef HALVEX_GAUGE_ASAN
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
#endif
}

qint64 MemoryGauge::residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        return -1;
    return fields.at(1).toLongLong() * qint64(sysconf(_SC_PAGESIZE));
}

} // namespace halvex::test
