// The memory of this process as the kernel counts it, for tests and benchmarks: lines of
// /proc/self/status, and the reset of its peak.
#ifndef VEK72_TESTS_PROCSTATUS_H
#define VEK72_TESTS_PROCSTATUS_H

#include <QByteArray>
#include <QFile>
#include <QList>

namespace procstatus {

// The value of a line of /proc/self/status in KiB ("VmRSS", "VmHWM", "VmSize"); 0 when not read.
inline qint64 kib(const char* key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).simplified().split(' ').first().toLongLong();
    }
    return 0;
}

inline double mib(const char* key)
{
    return double(kib(key)) / 1024.0;
}

// VmHWM set back to the present VmRSS, so that it gives the peak from here on.
inline bool resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

} // namespace procstatus

#endif
