// Verifying and saving a large installer through ApiClient::DownloadUpdate over loopback HTTPS:
// wall time and peak resident memory of the downloading process.
//
// The server runs in a child process, so that its own copy of the installer does not count, and
// every run is a fresh process, so that every peak (VmHWM) is that run's own.
//
//     bench_update_download [--runs N] [--mib M]
#include "apiclient.h"
#include "testserver.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

const char InstallerPath[] = "/Zumvari-Update-Setup.exe";

// From /proc/self/status, in KiB; -1 where there is no such file.
qint64 statusKib(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

QByteArray installerBytes(qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    quint64 x = 0x9E3779B97F4A7C15ull;
    for (qint64 i = 0; i + 8 <= size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(data.data() + i, &x, 8);
    }
    for (qint64 i = size - size % 8; i < size; ++i)
        data[i] = char(i);
    return data;
}

// Child: serves the installer until it is killed. Announces "READY <port> <sha256>".
int serve(qint64 size, const QString &caFile)
{
    const QByteArray body = installerBytes(size);
    const QByteArray digest = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
    TestServer server(TestServer::Https);
    if (!server.isListening())
        return 2;
    server.on("GET", InstallerPath)
        .always(ScriptedReply(200, body).withContentType("application/octet-stream"));
    QFile ca(caFile);
    if (!ca.open(QIODevice::WriteOnly) || ca.write(testCertificates().ca.toPem()) <= 0)
        return 2;
    ca.close();
    std::printf("READY %u %s\n", unsigned(server.port()), digest.constData());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

// Child: one download. Prints
// "RESULT <total ms> <after last byte ms> <peak KiB> <baseline KiB> <peak at last byte KiB>".
int download(const QUrl &url, const QString &sha256, qint64 size, const QString &caFile)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QSslCertificate::fromPath(caFile));
    QSslConfiguration::setDefaultConfiguration(tls);

    ApiClient client;
    const qint64 baseline = statusKib("VmHWM");
    QElapsedTimer clock;
    qint64 lastByteMs = -1;
    qint64 lastBytePeak = -1;
    QString failure;
    QString saved;
    QEventLoop loop;
    QObject::connect(&client, &ApiClient::UpdateDownloadProgress, [&](qint64 received, qint64) {
        if (received == size) {
            lastByteMs = clock.elapsed();
            lastBytePeak = statusKib("VmHWM");
        }
    });
    QObject::connect(&client, &ApiClient::UpdateDownloaded, [&](const QString &path) {
        saved = path;
        loop.quit();
    });
    QObject::connect(&client, &ApiClient::UpdateDownloadFailed, [&](const QString &message) {
        failure = message;
        loop.quit();
    });
    clock.start();
    client.DownloadUpdate(url, sha256, size);
    loop.exec();
    const qint64 totalMs = clock.elapsed();
    const qint64 peak = statusKib("VmHWM");

    if (!failure.isEmpty() || QFileInfo(saved).size() != size) {
        std::fprintf(stderr, "download failed: %s\n", qPrintable(failure));
        return 1;
    }
    std::printf("RESULT %lld %lld %lld %lld %lld\n", (long long)totalMs, (long long)(totalMs - lastByteMs),
                (long long)peak, (long long)baseline, (long long)lastBytePeak);
    return 0;
}

int orchestrate(const QString &self, int runs, int mib)
{
    QTextStream out(stdout);
    QTemporaryDir work;
    if (!work.isValid())
        return 2;
    const QString caFile = work.filePath(QStringLiteral("ca.pem"));
    const qint64 size = qint64(mib) * 1024 * 1024;

    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(self, {QStringLiteral("--serve"), QString::number(size), caFile});
    QByteArray ready;
    while (!ready.endsWith('\n') && server.waitForReadyRead(120000))
        ready += server.readAllStandardOutput();
    const QList<QByteArray> fields = ready.trimmed().split(' ');
    if (fields.size() != 3 || fields[0] != "READY") {
        out << "the server did not start\n";
        return 2;
    }
    const QString url = QStringLiteral("https://127.0.0.1:%1%2")
                            .arg(QString::fromLatin1(fields[1]), QLatin1String(InstallerPath));

    out << "Update download: " << mib << " MiB installer over loopback HTTPS, " << runs
        << " runs, one process each\n";
    out << "run  total_ms  after_last_byte_ms  peak_rss_MiB  peak_at_last_byte_MiB  baseline_rss_MiB\n";
    out.flush();
    QList<qint64> totals;
    QList<qint64> peaks;
    int status = 0;
    for (int run = 1; run <= runs; ++run) {
        QProcess client;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The installer lands in this run's own temporary folder.
        const QString tmp = work.filePath(QStringLiteral("run%1").arg(run));
        QDir().mkpath(tmp);
        env.insert(QStringLiteral("TMPDIR"), tmp);
        client.setProcessEnvironment(env);
        client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client.start(self, {QStringLiteral("--download"), url, QString::fromLatin1(fields[2]),
                            QString::number(size), caFile});
        client.waitForFinished(600000);
        const QList<QByteArray> r = client.readAllStandardOutput().trimmed().split(' ');
        if (client.exitCode() != 0 || r.size() != 6 || r[0] != "RESULT") {
            out << run << "  failed\n";
            status = 1;
            continue;
        }
        totals.append(r[1].toLongLong());
        peaks.append(r[3].toLongLong());
        out << run << "    " << r[1] << "      " << r[2] << "                " << r[3].toLongLong() / 1024
            << "           " << r[5].toLongLong() / 1024 << "                    " << r[4].toLongLong() / 1024
            << "\n";
        out.flush();
        QDir(tmp).removeRecursively();
    }
    server.kill();
    server.waitForFinished();
    if (!totals.isEmpty()) {
        std::sort(totals.begin(), totals.end());
        std::sort(peaks.begin(), peaks.end());
        out << "median total " << totals[totals.size() / 2] << " ms, median peak "
            << peaks[peaks.size() / 2] / 1024 << " MiB (installer " << mib << " MiB)\n";
    }
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("--serve"))
        return serve(args[2].toLongLong(), args[3]);
    if (args.size() == 6 && args[1] == QLatin1String("--download"))
        return download(QUrl(args[2]), args[3], args[4].toLongLong(), args[5]);

    int runs = 3;
    int mib = 200;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--runs"))
            runs = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--mib"))
            mib = args[i + 1].toInt();
    }
    return orchestrate(QCoreApplication::applicationFilePath(), std::max(1, runs), std::max(1, mib));
}
