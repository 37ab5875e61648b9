// One Status exchange with the local acceleration service, as the window's "检查服务" makes it:
// callControlService against the real devservice process (connect, request frame, reply frame,
// close), timed call by call.
//
//   bench_service_roundtrip [--calls N] [--warmup N] [--devservice PATH]
//
// The service runs with a private temporary folder, so its socket is this benchmark's own.

#include "servicechannel.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <vector>

namespace {

double quantile(const std::vector<double> &sorted, double q)
{
    const double position = q * double(sorted.size() - 1);
    const size_t low = size_t(position);
    const size_t high = std::min(low + 1, sorted.size() - 1);
    return sorted[low] + (sorted[high] - sorted[low]) * (position - double(low));
}

} // namespace

int main(int argc, char *argv[])
{
    // Local socket names live in the temporary folder; make it private before anything uses it.
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/zumvari-bench-XXXXXX"));
    if (!folder.isValid()) {
        std::fprintf(stderr, "bench_service_roundtrip: no temporary folder\n");
        return 1;
    }
    qputenv("TMPDIR", QFile::encodeName(folder.path()));

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("calls"), QStringLiteral("Timed exchanges (default 2000)."),
                      QStringLiteral("N"), QStringLiteral("2000")});
    parser.addOption({QStringLiteral("warmup"), QStringLiteral("Untimed exchanges first (default 100)."),
                      QStringLiteral("N"), QStringLiteral("100")});
    parser.addOption({QStringLiteral("devservice"), QStringLiteral("The devservice binary to start."),
                      QStringLiteral("PATH"), QStringLiteral(DEVSERVICE_PATH)});
    parser.process(app);
    const int calls = std::max(1, parser.value(QStringLiteral("calls")).toInt());
    const int warmup = std::max(0, parser.value(QStringLiteral("warmup")).toInt());

    // Its log goes to a file: a pipe nobody drains during the blocking exchanges would fill up
    // and stall it.
    const QString logPath = folder.filePath(QStringLiteral("devservice.log"));
    QProcess service;
    service.setStandardOutputFile(logPath);
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start(parser.value(QStringLiteral("devservice")), {});
    QElapsedTimer waited;
    waited.start();
    bool listening = false;
    while (!listening && waited.elapsed() < 10000 && service.state() != QProcess::NotRunning) {
        QFile log(logPath);
        listening = log.open(QIODevice::ReadOnly) && log.readAll().contains("devservice listening on ");
        if (!listening)
            QThread::msleep(10);
    }
    if (!listening) {
        std::fprintf(stderr, "bench_service_roundtrip: devservice did not start\n");
        return 1;
    }

    for (int i = 0; i < warmup; ++i) {
        if (!callControlService(ServiceCommand::Status, QByteArray()).ok) {
            std::fprintf(stderr, "bench_service_roundtrip: warm-up exchange failed\n");
            return 1;
        }
    }
    std::vector<double> micros;
    micros.reserve(size_t(calls));
    for (int i = 0; i < calls; ++i) {
        const auto started = std::chrono::steady_clock::now();
        const ServiceReply reply = callControlService(ServiceCommand::Status, QByteArray());
        const auto ended = std::chrono::steady_clock::now();
        if (!reply.ok || !reply.text.contains(QLatin1String("\"idle\""))) {
            std::fprintf(stderr, "bench_service_roundtrip: exchange %d failed: %s\n", i,
                         qPrintable(reply.error));
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(ended - started).count());
    }
    service.terminate();
    service.waitForFinished(5000);

    std::vector<double> sorted = micros;
    std::sort(sorted.begin(), sorted.end());
    const double mean = std::accumulate(sorted.begin(), sorted.end(), 0.0) / double(sorted.size());
    std::printf("Service Status round trip against devservice, %d calls after %d warm-up\n", calls, warmup);
    std::printf(
        "  median %8.1f us\n  p90    %8.1f us\n  p99    %8.1f us\n  max    %8.1f us\n  mean   %8.1f us\n",
        quantile(sorted, 0.5), quantile(sorted, 0.9), quantile(sorted, 0.99), sorted.back(), mean);
    return 0;
}
