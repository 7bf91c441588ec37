#pragma once

// What the benchmarks read of a process they measure, from /proc, and where
// they run it.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QThread>

#include <sched.h>

namespace bench {

// Runs the calling process on one CPU only; false for a negative CPU or
// when the system refuses.
inline bool pinToCpu(int cpu)
{
    if (cpu < 0)
        return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof(set), &set) == 0;
}

// CPU time of every thread of a process, in nanoseconds.
inline qint64 processCpuNs(qint64 pid)
{
    qint64 total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &id : ids) {
        QFile file(tasks.filePath(id + QStringLiteral("/schedstat")));
        if (file.open(QIODevice::ReadOnly))
            total += file.readAll().split(' ').value(0).toLongLong();
    }
    return total;
}

// Waits (up to a second) until no thread of the process is running: the CPU
// time of a slice still in progress is not in schedstat yet.
inline void waitUntilIdle(qint64 pid)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 1000) {
        bool running = false;
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
        for (const QString &id : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile file(tasks.filePath(id + QStringLiteral("/stat")));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray stat = file.readAll();
            const qsizetype end = stat.lastIndexOf(')'); // the state follows the command name
            if (end >= 0 && end + 2 < stat.size() && stat.at(end + 2) == 'R')
                running = true;
        }
        if (!running)
            return;
        QThread::usleep(200);
    }
}

// A "VmHWM" / "VmRSS" line of /proc/<pid>/status, in kB.
inline qint64 statusKb(qint64 pid, const QByteArray &key)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts a new peak for VmHWM (Linux: "5" > /proc/<pid>/clear_refs).
inline void resetPeakRss(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    if (file.open(QIODevice::WriteOnly))
        file.write("5");
}

} // namespace bench
