// A large installer through ApiClient::DownloadUpdate over loopback HTTPS, from the call to
// UpdateDownloaded: wall time and peak resident memory. The floor, measured beside it in the same
// run: the same bytes from the same TLS server read with a plain QSslSocket into one buffer,
// SHA-256 over it, one write to a file.
//
//     bench_update_download [--runs N] [--mib M] [--devbackend PATH]
//
// The server is devbackend serving the installer over https (a certificate made for the run by the
// openssl command), in a process of its own, so that its reading of the installer does not count.
// Every download, ours or the floor's, is a fresh process with its own temporary folder, so that
// every peak (VmHWM) is that download's own; ours and the floor take turns.

#include "apiclient.h"
#include "benchsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>

#include <cstring>

namespace {

// Incompressible bytes, written in pieces so that this process never holds them whole.
bool writeInstaller(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    quint64 x = 0x9E3779B97F4A7C15ull;
    for (qint64 left = size; left > 0; left -= block.size()) {
        for (qsizetype i = 0; i + 8 <= block.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(block.data() + i, &x, 8);
        }
        if (file.write(block.constData(), std::min<qint64>(left, block.size())) < 0)
            return false;
    }
    return true;
}

void trust(const QString &certFile)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QSslCertificate::fromPath(certFile));
    QSslConfiguration::setDefaultConfiguration(tls);
}

// Child: ours. Prints "RESULT <total ms> <peak KiB> <baseline KiB> <after last byte ms> <peak at last byte
// KiB>".
int downloadOurs(const QUrl &url, const QString &sha256, qint64 size, const QString &certFile)
{
    trust(certFile);
    ApiClient client;
    const qint64 baseline = bench::selfKib("VmHWM");
    QElapsedTimer clock;
    qint64 lastByteMs = -1;
    qint64 lastBytePeak = -1;
    QString failure;
    QString saved;
    QEventLoop loop;
    QObject::connect(&client, &ApiClient::UpdateDownloadProgress, [&](qint64 received, qint64) {
        if (received == size && lastByteMs < 0) {
            lastByteMs = clock.elapsed();
            lastBytePeak = bench::selfKib("VmHWM");
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
    const qint64 peak = bench::selfKib("VmHWM");
    if (!failure.isEmpty() || QFileInfo(saved).size() != size) {
        std::fprintf(stderr, "download failed: %s\n", qPrintable(failure));
        return 1;
    }
    std::printf("RESULT %lld %lld %lld %lld %lld\n", (long long)totalMs, (long long)peak, (long long)baseline,
                (long long)(totalMs - lastByteMs), (long long)lastBytePeak);
    return 0;
}

// Child: the floor. Prints "RESULT <total ms> <peak KiB> <baseline KiB>".
int downloadFloor(const QUrl &url, const QString &sha256, qint64 size, const QString &certFile)
{
    trust(certFile);
    const qint64 baseline = bench::selfKib("VmHWM");
    QElapsedTimer clock;
    clock.start();
    QSslSocket socket;
    // Decrypted bytes wait in the socket only briefly before they are copied out.
    socket.setReadBufferSize(1024 * 1024);
    socket.connectToHostEncrypted(url.host(), quint16(url.port()));
    if (!socket.waitForEncrypted(30000))
        return 1;
    socket.write("GET " + url.path().toUtf8() + " HTTP/1.1\r\nHost: " + url.authority().toUtf8() +
                 "\r\n\r\n");
    QByteArray head;
    qsizetype headEnd = -1;
    while ((headEnd = head.indexOf("\r\n\r\n")) < 0) {
        if (!socket.waitForReadyRead(60000))
            return 1;
        head += socket.readAll();
    }
    QByteArray body(size, Qt::Uninitialized);
    qint64 have = std::min<qint64>(size, head.size() - headEnd - 4);
    std::memcpy(body.data(), head.constData() + headEnd + 4, size_t(have));
    head = QByteArray();
    while (have < size) {
        if (socket.bytesAvailable() <= 0 && !socket.waitForReadyRead(60000))
            return 1;
        const qint64 got = socket.read(body.data() + have, size - have);
        if (got < 0)
            return 1;
        have += got;
    }
    socket.close();
    if (QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() != sha256.toLatin1())
        return 1;
    QFile file(QDir::tempPath() + QLatin1String("/installer.exe"));
    if (!file.open(QIODevice::WriteOnly) || file.write(body) != size)
        return 1;
    file.close();
    const qint64 totalMs = clock.elapsed();
    std::printf("RESULT %lld %lld %lld\n", (long long)totalMs, (long long)bench::selfKib("VmHWM"),
                (long long)baseline);
    return 0;
}

int orchestrate(const QString &self, const QString &devbackend, int runs, int mib)
{
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/zumvari-bench-XXXXXX"));
    if (!work.isValid())
        return 2;
    const QString certFile = work.filePath(QStringLiteral("cert.pem"));
    const QString keyFile = work.filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::ForwardedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                   QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=IP:127.0.0.1"), QStringLiteral("-keyout"), keyFile,
                   QStringLiteral("-out"), certFile});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
        std::fprintf(stderr, "bench_update_download: the openssl command could not make a certificate\n");
        return 2;
    }

    const qint64 size = qint64(mib) * 1024 * 1024;
    const QString installer = work.filePath(QStringLiteral("Zumvari-Update-Setup.exe"));
    if (!writeInstaller(installer, size)) {
        std::fprintf(stderr, "bench_update_download: cannot write the installer\n");
        return 2;
    }
    QProcess server;
    const QString release = bench::startLogged(
        server, devbackend,
        {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--tls-cert"), certFile,
         QStringLiteral("--tls-key"), keyFile, QStringLiteral("--installer"), installer},
        work.filePath(QStringLiteral("devbackend.log")), QStringLiteral("sha256=\\S+ url=\\S+"));
    if (release.isEmpty()) {
        std::fprintf(stderr, "bench_update_download: devbackend did not start\n");
        return 2;
    }
    const QString sha256 = release.section(QLatin1Char(' '), 0, 0).mid(7);
    const QString url = release.section(QLatin1Char(' '), 1, 1).mid(4);

    const auto run = [&](const QString &mode, int index) -> QList<QByteArray> {
        const QString tmp = work.filePath(QStringLiteral("%1-%2").arg(mode.mid(2)).arg(index));
        QDir().mkpath(tmp);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), tmp);
        QProcess client;
        client.setProcessEnvironment(env);
        client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client.start(self, {mode, url, sha256, QString::number(size), certFile});
        client.waitForFinished(600000);
        QDir(tmp).removeRecursively();
        const QList<QByteArray> result = client.readAllStandardOutput().trimmed().split(' ');
        if (client.exitCode() != 0 || result.value(0) != "RESULT")
            return {};
        return result;
    };

    std::printf(
        "Update download: %d MiB installer over loopback HTTPS, %d runs each, one process per download\n",
        mib, runs);
    std::printf("run  ours: total_ms after_last_byte_ms peak_MiB peak_at_last_byte_MiB baseline_MiB   floor: "
                "total_ms "
                "peak_MiB baseline_MiB\n");
    std::fflush(stdout);
    std::vector<double> oursMs, oursPeak, floorMs, floorPeak, oursBase, floorBase;
    for (int i = 1; i <= runs; ++i) {
        const QList<QByteArray> ours = run(QStringLiteral("--ours"), i);
        const QList<QByteArray> floor = run(QStringLiteral("--floor"), i);
        if (ours.size() != 6 || floor.size() != 4) {
            std::fprintf(stderr, "bench_update_download: run %d failed\n", i);
            return 1;
        }
        oursMs.push_back(ours[1].toDouble());
        oursPeak.push_back(ours[2].toDouble() / 1024);
        oursBase.push_back(ours[3].toDouble() / 1024);
        floorMs.push_back(floor[1].toDouble());
        floorPeak.push_back(floor[2].toDouble() / 1024);
        floorBase.push_back(floor[3].toDouble() / 1024);
        std::printf("%-4d       %8s %18s %8lld %21lld %12lld          %8s %8lld %12lld\n", i,
                    ours[1].constData(), ours[4].constData(), ours[2].toLongLong() / 1024,
                    ours[5].toLongLong() / 1024, ours[3].toLongLong() / 1024, floor[1].constData(),
                    floor[2].toLongLong() / 1024, floor[3].toLongLong() / 1024);
        std::fflush(stdout);
    }
    server.terminate();
    server.waitForFinished();

    const double peak = bench::median(oursPeak);
    const QByteArray againstInstaller =
        QStringLiteral("ours = %1 x installer; target <= 2").arg(peak / double(mib), 0, 'f', 2).toLatin1();
    bench::printRatio("DownloadUpdate -> UpdateDownloaded (median)", bench::median(oursMs),
                      bench::median(floorMs), "ms", "target <= 1.2");
    bench::printRatio("peak resident memory, VmHWM (median)", peak, bench::median(floorPeak), "MiB",
                      againstInstaller.constData());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 6 && args[1] == QLatin1String("--ours"))
        return downloadOurs(QUrl(args[2]), args[3], args[4].toLongLong(), args[5]);
    if (args.size() == 6 && args[1] == QLatin1String("--floor"))
        return downloadFloor(QUrl(args[2]), args[3], args[4].toLongLong(), args[5]);

    int runs = 3;
    int mib = 200;
    QString devbackend = QStringLiteral(DEVBACKEND_PATH);
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--runs"))
            runs = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--mib"))
            mib = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--devbackend"))
            devbackend = args[i + 1];
    }
    return orchestrate(QCoreApplication::applicationFilePath(), devbackend, std::max(1, runs),
                       std::max(1, mib));
}
