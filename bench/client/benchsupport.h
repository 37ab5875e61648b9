#pragma once

// What every client benchmark shares: figures from /proc, order statistics, the one summary line
// per figure (ours, the floor measured beside it in the same run, their ratio), and starting the
// stand-ins or helper processes they measure against.

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace bench {

inline qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A field of /proc/PID/status (PID may be "self") in KiB, or -1.
inline qint64 statusKib(const QString &pid, const char *field)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

inline qint64 selfKib(const char *field)
{
    return statusKib(QStringLiteral("self"), field);
}

inline double quantile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double position = q * double(values.size() - 1);
    const size_t low = size_t(position);
    const size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (position - double(low));
}

inline double median(const std::vector<double> &values)
{
    return quantile(values, 0.5);
}

// The line a reader compares against the target; absolute figures are context only.
inline void printRatio(const char *figure, double ours, double floor, const char *unit, const char *target)
{
    std::printf("%-42s ours %9.2f %-3s  floor %9.2f %-3s  ratio %5.2f  (%s)\n", figure, ours, unit, floor,
                unit, floor > 0 ? ours / floor : 0.0, target);
    std::fflush(stdout);
}

// Starts PROGRAM with ARGS, its standard output going to the file LOG (a pipe nobody drains while
// a benchmark blocks would stall it), and waits up to ten seconds for output matching PATTERN.
// Returns the pattern's last capture, or its whole match; empty when it never came.
inline QString startLogged(QProcess &process, const QString &program, const QStringList &args,
                           const QString &log, const QString &pattern)
{
    process.setStandardOutputFile(log);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, args);
    const QRegularExpression expression(pattern);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 10000 && process.state() != QProcess::NotRunning) {
        QFile file(log);
        if (file.open(QIODevice::ReadOnly)) {
            const QRegularExpressionMatch match = expression.match(QString::fromUtf8(file.readAll()));
            if (match.hasMatch())
                return match.captured(match.lastCapturedIndex());
        }
        QThread::msleep(10);
    }
    return QString();
}

// Start-up probe: once the event loop has handled everything queued before it (the window's
// show and first paint among it), prints "ready <ns> <VmRSS KiB> <VmHWM KiB>" and ends the
// program. exit(), not quit(): quit() would first ask the window to close, which hides it.
inline void reportWhenIdle()
{
    QTimer::singleShot(0, QCoreApplication::instance(), [] {
        const qint64 at = monotonicNs();
        std::printf("ready %lld %lld %lld %lld\n", static_cast<long long>(at),
                    static_cast<long long>(selfKib("VmRSS")), static_cast<long long>(selfKib("VmHWM")),
                    static_cast<long long>(selfKib("RssAnon")));
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
}

} // namespace bench
