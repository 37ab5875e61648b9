// Client start-up, offscreen, in fresh processes: the time from process start until the window is
// shown with the event loop idle, and the resident memory at that moment; beside it, the same for
// the floor, a bare application with an empty main window of the same size (bench_startup_floor).
//
//   bench_startup [--runs N] [--floor PATH]
//
// Ours is this program started again with --child: it builds the application and the window
// exactly as main() does, shows it, and reports once the loop has handled everything queued
// before (show and first paint included). Ours and the floor take turns, run by run, with the
// same environment: QT_QPA_PLATFORM=offscreen, a private settings and temporary folder, and the
// backend URL pointed at a loopback listener that answers 404 (no update offered).

#include "benchsupport.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QEventLoop>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstring>

namespace {

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
    bench::reportWhenIdle();
    return app.exec();
}

// Answers the start-up release check with 404.
class Listener
{
public:
    Listener()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
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

private:
    QTcpServer server;
};

struct Sample
{
    double ms = 0;
    double rssMiB = 0;
    double hwmMiB = 0;
    double anonMiB = 0;
};

// Starts PROGRAM and reads its "ready" line; the clock runs from just before the start (fork and
// exec included) on the system-wide monotonic clock the child reports in.
bool measure(const QString &program, const QStringList &args, const QProcessEnvironment &env, Sample *out)
{
    QProcess child;
    child.setProcessEnvironment(env);
    child.setStandardErrorFile(QProcess::nullDevice());
    const qint64 started = bench::monotonicNs();
    // The loop runs meanwhile, so that the listener answers the client's release check.
    QEventLoop loop;
    QObject::connect(&child, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&child, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    child.start(program, args);
    loop.exec();
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    if (child.exitCode() != 0 || fields.size() != 5 || fields.at(0) != "ready") {
        std::fprintf(stderr, "bench_startup: %s gave no ready line\n", qPrintable(program));
        return false;
    }
    out->ms = double(fields.at(1).toLongLong() - started) / 1e6;
    out->rssMiB = double(fields.at(2).toLongLong()) / 1024.0;
    out->hwmMiB = double(fields.at(3).toLongLong()) / 1024.0;
    out->anonMiB = double(fields.at(4).toLongLong()) / 1024.0;
    return true;
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
    parser.addOption({QStringLiteral("runs"),
                      QStringLiteral("Processes each for ours and the floor (default 20)."),
                      QStringLiteral("N"), QStringLiteral("20")});
    parser.addOption({QStringLiteral("floor"), QStringLiteral("The floor program."), QStringLiteral("PATH"),
                      QStringLiteral(FLOOR_PATH)});
    parser.process(app);
    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());

    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/zumvari-bench-XXXXXX"));
    QDir(folder.path()).mkpath(QStringLiteral("config"));
    QDir(folder.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(folder.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    Listener listener;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("DIVE_DIZUVIVIVID_API_URL"), listener.url());
    env.insert(QStringLiteral("TMPDIR"), folder.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder.filePath(QStringLiteral("runtime")));

    std::vector<double> oursMs, oursRss, oursHwm, oursAnon, floorMs, floorRss, floorHwm, floorAnon;
    for (int run = 0; run < runs; ++run) {
        Sample ours, floor;
        if (!measure(QCoreApplication::applicationFilePath(), {QStringLiteral("--child")}, env, &ours) ||
            !measure(parser.value(QStringLiteral("floor")), {}, env, &floor))
            return 1;
        oursMs.push_back(ours.ms);
        oursRss.push_back(ours.rssMiB);
        oursHwm.push_back(ours.hwmMiB);
        oursAnon.push_back(ours.anonMiB);
        floorMs.push_back(floor.ms);
        floorRss.push_back(floor.rssMiB);
        floorHwm.push_back(floor.hwmMiB);
        floorAnon.push_back(floor.anonMiB);
    }

    std::printf("Client start-up, offscreen, %d fresh processes each, ours and the floor in turn\n", runs);
    std::printf(
        "  context: ours min %.1f ms p90 %.1f ms, floor min %.1f ms p90 %.1f ms; VmHWM ours %.1f MiB, "
        "floor %.1f MiB; of VmRSS not backed by files (RssAnon) ours %.1f MiB, floor %.1f MiB\n",
        bench::quantile(oursMs, 0), bench::quantile(oursMs, 0.9), bench::quantile(floorMs, 0),
        bench::quantile(floorMs, 0.9), bench::median(oursHwm), bench::median(floorHwm),
        bench::median(oursAnon), bench::median(floorAnon));
    bench::printRatio("start -> window shown, loop idle (median)", bench::median(oursMs),
                      bench::median(floorMs), "ms", "target <= 1.3");
    bench::printRatio("resident memory then, VmRSS (median)", bench::median(oursRss), bench::median(floorRss),
                      "MiB", "target <= 1.2");
    return 0;
}
