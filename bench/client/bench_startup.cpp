// Client start-up, offscreen: how long from process start until the window is up with the event
// loop idle, and how much resident memory the client holds once started.
//
//   bench_startup [--runs N] [--zumvari PATH]
//
// Two measurements, each over N fresh processes:
//  1. this program started again with --child: it builds the application and the window exactly
//     as main() does, shows it, and reports the moment a 0 ms timer fires after show() (the event
//     loop has gone idle with the window shown) with its VmRSS at that moment;
//  2. the real Zumvari binary, untouched, watched from outside: the start-up release check is
//     the client's first network request and can only go out once its event loop runs, so its
//     arrival at a local listener marks the end of start-up; VmRSS and VmHWM are read from
//     /proc/PID/status one second later, when the client sits idle.
// Both run with QT_QPA_PLATFORM=offscreen, a private settings and temporary folder, and the
// backend URL pointed at a loopback listener that answers 404 (no update offered).

#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

namespace {

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A field of /proc/PID/status in kB, or -1.
qint64 statusKb(const QString &pid, const char *field)
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

int childMain(int argc, char *argv[])
{
    // As main() does.
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("ZUMVARI"));
    QApplication::setApplicationVersion(QStringLiteral("0.4.0"));
    QApplication::setOrganizationName(QStringLiteral("ZUMVARI COM LLC"));
    MainWindow window;
    window.show();
    QTimer::singleShot(0, &app, [] {
        const qint64 at = monotonicNs();
        const QString self = QStringLiteral("self");
        std::printf("ready %lld %lld %lld\n", static_cast<long long>(at),
                    static_cast<long long>(statusKb(self, "VmRSS")),
                    static_cast<long long>(statusKb(self, "VmHWM")));
        std::fflush(stdout);
        // exit(), not quit(): quit() would first ask the window to close, which hides it.
        QCoreApplication::exit(0);
    });
    return app.exec();
}

struct Summary
{
    double median = 0, p90 = 0, min = 0, max = 0;
};

Summary summarise(std::vector<double> values)
{
    Summary s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    const auto at = [&values](double q) {
        const double position = q * double(values.size() - 1);
        const size_t low = size_t(position);
        const size_t high = std::min(low + 1, values.size() - 1);
        return values[low] + (values[high] - values[low]) * (position - double(low));
    };
    s.median = at(0.5);
    s.p90 = at(0.9);
    s.min = values.front();
    s.max = values.back();
    return s;
}

void report(const char *what, const std::vector<double> &values, const char *unit)
{
    const Summary s = summarise(values);
    std::printf("  %-34s median %8.1f %s   p90 %8.1f   min %8.1f   max %8.1f   (n=%zu)\n", what, s.median,
                unit, s.p90, s.min, s.max, values.size());
}

// Answers every request with 404 and remembers when the first connection of a run came in.
class Listener
{
public:
    Listener()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                if (firstConnectionNs < 0)
                    firstConnectionNs = monotonicNs();
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    if (!socket->readAll().isEmpty())
                        socket->write(
                            "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()); }
    qint64 firstConnectionNs = -1;

private:
    QTcpServer server;
};

void waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
}

QProcessEnvironment childEnvironment(const QTemporaryDir &folder, const Listener &listener)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("DIVE_DIZUVIVIVID_API_URL"), listener.url());
    env.insert(QStringLiteral("TMPDIR"), folder.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder.filePath(QStringLiteral("runtime")));
    return env;
}

} // namespace

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--child") == 0)
            return childMain(argc, argv);
    }

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Processes per measurement (default 20)."),
                      QStringLiteral("N"), QStringLiteral("20")});
    parser.addOption({QStringLiteral("zumvari"), QStringLiteral("The Zumvari binary to start."),
                      QStringLiteral("PATH"), QStringLiteral(ZUMVARI_PATH)});
    parser.process(app);
    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());
    const QString zumvari = parser.value(QStringLiteral("zumvari"));

    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/zumvari-bench-XXXXXX"));
    QDir(folder.path()).mkpath(QStringLiteral("config"));
    QDir(folder.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(folder.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    std::vector<double> idleMs, idleRssMiB, idleHwmMiB;
    std::vector<double> requestMs, settledRssMiB, settledHwmMiB;
    for (int run = 0; run < runs; ++run) {
        // 1. The window as main() builds it, until the loop is idle after show().
        {
            Listener listener; // each process gets its own, so that no late request is miscounted
            QProcess child;
            child.setProcessEnvironment(childEnvironment(folder, listener));
            child.setStandardErrorFile(QProcess::nullDevice());
            const qint64 started = monotonicNs();
            child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child")});
            if (!child.waitForFinished(30000)) {
                std::fprintf(stderr, "bench_startup: the child did not finish\n");
                return 1;
            }
            const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
            if (fields.size() != 4 || fields.at(0) != "ready") {
                std::fprintf(stderr, "bench_startup: unexpected child output\n");
                return 1;
            }
            idleMs.push_back(double(fields.at(1).toLongLong() - started) / 1e6);
            idleRssMiB.push_back(double(fields.at(2).toLongLong()) / 1024.0);
            idleHwmMiB.push_back(double(fields.at(3).toLongLong()) / 1024.0);
        }
        // 2. The real binary, from outside.
        {
            Listener listener;
            QProcess client;
            client.setProcessEnvironment(childEnvironment(folder, listener));
            client.setStandardOutputFile(QProcess::nullDevice());
            client.setStandardErrorFile(QProcess::nullDevice());
            const qint64 started = monotonicNs();
            client.start(zumvari, {});
            if (!client.waitForStarted(10000)) {
                std::fprintf(stderr, "bench_startup: cannot start %s\n", qPrintable(zumvari));
                return 1;
            }
            waitUntil([&listener] { return listener.firstConnectionNs >= 0; }, 30000);
            if (listener.firstConnectionNs < 0) {
                std::fprintf(stderr, "bench_startup: the client sent no release check\n");
                return 1;
            }
            requestMs.push_back(double(listener.firstConnectionNs - started) / 1e6);
            QElapsedTimer idle;
            idle.start();
            waitUntil([&idle] { return idle.elapsed() >= 1000; }, 2000);
            const QString pid = QString::number(client.processId());
            settledRssMiB.push_back(double(statusKb(pid, "VmRSS")) / 1024.0);
            settledHwmMiB.push_back(double(statusKb(pid, "VmHWM")) / 1024.0);
            client.terminate();
            if (!client.waitForFinished(5000)) {
                client.kill();
                client.waitForFinished(5000);
            }
        }
    }

    std::printf("Client start-up, offscreen, %d runs each\n", runs);
    std::printf(" MainWindow built as main() does (bench_startup --child):\n");
    report("start -> idle loop after show()", idleMs, "ms ");
    report("VmRSS at that moment", idleRssMiB, "MiB");
    report("VmHWM at that moment", idleHwmMiB, "MiB");
    std::printf(" Zumvari binary, observed from outside:\n");
    report("start -> release check arrives", requestMs, "ms ");
    report("VmRSS 1 s later (idle)", settledRssMiB, "MiB");
    report("VmHWM 1 s later", settledHwmMiB, "MiB");
    return 0;
}
