#pragma once

// What the benchmarks read of a process they measure, from /proc, and where
// they run it.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QString>
#include <QThread>

#include <sched.h>
#include <unistd.h>

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

// User plus system CPU time of a process, every thread it ever had included
// (/proc/<pid>/stat), in milliseconds; -1 when it cannot be read.
inline double processCpuMs(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    const qsizetype end = stat.lastIndexOf(')'); // the command name may hold spaces
    if (end < 0)
        return -1;
    // After the name: state (field 3) ... utime (14), stime (15).
    const QList<QByteArray> fields = stat.mid(end + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const qint64 ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    return double(ticks) * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

// One thread's name (/proc/<pid>/task/<tid>/comm) and how often it was
// switched out so far, voluntarily or not: each is one wake-up.
struct ThreadSwitches {
    QString name;
    qint64 switches = 0;
};

// Every live thread of a process by id.
inline QHash<qint64, ThreadSwitches> threadSwitches(qint64 pid)
{
    QHash<qint64, ThreadSwitches> threads;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &id : ids) {
        QFile status(tasks.filePath(id + QStringLiteral("/status")));
        if (!status.open(QIODevice::ReadOnly))
            continue; // it ended meanwhile
        ThreadSwitches thread;
        const QList<QByteArray> lines = status.readAll().split('\n');
        for (const QByteArray &line : lines) {
            if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
                thread.switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
        QFile comm(tasks.filePath(id + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly))
            thread.name = QString::fromUtf8(comm.readAll().trimmed());
        threads.insert(id.toLongLong(), thread);
    }
    return threads;
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
