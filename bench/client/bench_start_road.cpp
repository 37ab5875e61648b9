// The start road: a click on "开始加速" until the status reads "正在加速 · …", in the real window
// (offscreen) with the real pairgen (pairgen.exe beside this program), devservice and devbackend
// (plain http on loopback). The floor is the sum of its parts, each measured alone in the same
// run: one pairgen run; the two HTTP exchanges (nodes, session) with plain QTcpSocket calls
// against the same devbackend; one Start exchange with plain QLocalSocket calls against the same
// devservice.
//
//   bench_start_road [--rounds N] [--devbackend PATH] [--devservice PATH]
//
// Every round makes one start (and an untimed stop) in the window, then each part of the floor
// once (each with its untimed undo: the session deleted, the tunnel stopped).

#include "benchsupport.h"
#include "decisions.h"
#include "keypair.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QProcess>
#include <QPushButton>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <functional>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point started)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - started).count();
}

// Runs the event loop until DONE holds or TIMEOUTMS pass.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    QTimer wake;
    wake.start(timeoutMs);
    while (!done()) {
        if (timer.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

struct HttpAnswer
{
    int status = 0;
    QByteArray body;
};

// One exchange on a fresh connection (devbackend closes each after its answer).
HttpAnswer httpExchange(quint16 port, const QByteArray &request)
{
    HttpAnswer answer;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000) || socket.write(request) != request.size() ||
        !socket.waitForBytesWritten(5000))
        return answer;
    QByteArray data;
    qsizetype headerEnd = -1;
    qsizetype length = -1;
    while (headerEnd < 0 || data.size() < headerEnd + length) {
        if (!socket.waitForReadyRead(5000))
            return answer;
        data += socket.readAll();
        if (headerEnd < 0 && (headerEnd = data.indexOf("\r\n\r\n")) >= 0) {
            headerEnd += 4;
            const QByteArray head = data.left(headerEnd).toLower();
            const qsizetype at = head.indexOf("content-length:");
            length = at < 0 ? 0 : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
        }
    }
    answer.status = data.mid(9, 3).toInt();
    answer.body = data.mid(headerEnd, length);
    return answer;
}

QByteArray httpRequest(const char *method, const QString &path, quint16 port, const QByteArray &token,
                       const QByteArray &body = QByteArray())
{
    QByteArray request = QByteArray(method) + ' ' + path.toUtf8() +
                         " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    if (!token.isEmpty())
        request += "Authorization: Bearer " + token + "\r\n";
    if (!body.isEmpty())
        request +=
            "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    return request + "\r\n" + body;
}

// The floor's service exchange: connect, header and payload out, reply back, close.
bool rawServiceExchange(ServiceCommand command, const QByteArray &payload)
{
    QLocalSocket socket;
    socket.connectToServer(QLatin1String(ControlChannel::ServerName));
    const QByteArray header = encodeRequestHeader(
        {ControlChannel::Magic, ControlChannel::Version, quint16(command), 7, quint32(payload.size())});
    if (!socket.waitForConnected(1000) || socket.write(header + payload) != header.size() + payload.size())
        return false;
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(1000))
            return false;
    }
    QByteArray replyHeader(qsizetype(sizeof(ControlReplyHeader)), '\0');
    if (!readExactly(&socket, replyHeader.data(), replyHeader.size()))
        return false;
    const std::optional<ControlReplyHeader> reply = decodeReplyHeader(replyHeader);
    if (!reply || reply->status != 0)
        return false;
    QByteArray replyPayload(qsizetype(reply->payloadLength), '\0');
    if (!replyPayload.isEmpty() && !readExactly(&socket, replyPayload.data(), replyPayload.size()))
        return false;
    socket.close();
    return true;
}

int fail(const char *what)
{
    std::fprintf(stderr, "bench_start_road: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // The control channel's socket lives in the temporary folder: a private one for this run.
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/zumvari-bench-XXXXXX"));
    if (!folder.isValid())
        return fail("no temporary folder");
    qputenv("TMPDIR", QFile::encodeName(folder.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder.path()));
    // The offscreen platform's complaints would bury the figures.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setOrganizationName(QStringLiteral("ZUMVARI COM LLC"));
    QApplication::setApplicationName(QStringLiteral("ZUMVARI"));
    QApplication::setApplicationVersion(QStringLiteral("0.4.0"));
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("rounds"), QStringLiteral("Timed rounds (default 50)."),
                      QStringLiteral("N"), QStringLiteral("50")});
    parser.addOption({QStringLiteral("devbackend"), QStringLiteral("The devbackend binary."),
                      QStringLiteral("PATH"), QStringLiteral(DEVBACKEND_PATH)});
    parser.addOption({QStringLiteral("devservice"), QStringLiteral("The devservice binary."),
                      QStringLiteral("PATH"), QStringLiteral(DEVSERVICE_PATH)});
    parser.process(app);
    const int rounds = std::max(1, parser.value(QStringLiteral("rounds")).toInt());

    QProcess backend;
    const QString portText = bench::startLogged(backend, parser.value(QStringLiteral("devbackend")), {},
                                                folder.filePath(QStringLiteral("devbackend.log")),
                                                QStringLiteral("listening on http://127\\.0\\.0\\.1:([0-9]+)"));
    if (portText.isEmpty())
        return fail("devbackend did not start");
    const quint16 port = quint16(portText.toUInt());
    QProcess service;
    if (bench::startLogged(service, parser.value(QStringLiteral("devservice")), {},
                           folder.filePath(QStringLiteral("devservice.log")), QStringLiteral("listening"))
            .isEmpty())
        return fail("devservice did not start");
    qputenv("DIVE_DIZUVIVIVID_API_URL", QByteArray("http://127.0.0.1:") + QByteArray::number(port));

    MainWindow window;
    window.show();
    window.accountEdit->setText(QStringLiteral("member@zumvari.test"));
    window.passwordEdit->setText(QStringLiteral("member123"));
    window.loginButton->click();
    if (!waitUntil([&window] { return window.startButton->isEnabled(); }, 10000))
        return fail("the window never offered a start");

    const QString accelerating = QStringLiteral("正在加速 · ");
    const QString idle = QStringLiteral("当前未加速");
    QString reached;
    // Where the window's time goes: the click returns once the key pair is made; the status names
    // the session request once the nodes have come back.
    const QString requesting = QStringLiteral("正在申请加速会话…");
    std::vector<double> keyPhase, nodesPhase;
    const auto startInWindow = [&]() -> double {
        const auto started = Clock::now();
        window.startButton->click();
        keyPhase.push_back(msSince(started));
        double nodesAt = -1;
        if (!waitUntil(
                [&] {
                    if (nodesAt < 0 && window.statusLabel->text() == requesting)
                        nodesAt = msSince(started);
                    return window.statusLabel->text().startsWith(accelerating);
                },
                10000))
            return -1;
        const double ms = msSince(started);
        nodesPhase.push_back(nodesAt - keyPhase.back());
        reached = window.statusLabel->text();
        window.stopButton->click();
        if (!waitUntil([&] { return window.statusLabel->text() == idle && window.startButton->isEnabled(); },
                       10000))
            return -1;
        return ms;
    };

    // What the floor's parts send: a token and a session of their own, the window's game and region.
    const QByteArray login = httpRequest(
        "POST", QStringLiteral("/api/v1/auth/login"), port, QByteArray(),
        R"({"account":"member@zumvari.test","password":"member123","device_id":"bench-start-road"})");
    const QByteArray token = QJsonDocument::fromJson(httpExchange(port, login).body)
                                 .object()
                                 .value(QLatin1String("access_token"))
                                 .toString()
                                 .toUtf8();
    const QByteArray nodesRequest = httpRequest("GET",
                                                QStringLiteral("/api/v1/games/%1/regions/%2/nodes")
                                                    .arg(window.selectedGameId, window.selectedRegionId),
                                                port, token);
    const QJsonObject node = QJsonDocument::fromJson(httpExchange(port, nodesRequest).body)
                                 .object()
                                 .value(QLatin1String("items"))
                                 .toArray()
                                 .at(0)
                                 .toObject();
    const KeyPairRun keys = runKeyPairProgram(keyPairProgramPath());
    const QString nodeId = node.value(QLatin1String("id")).toString();
    const QJsonObject sessionBody{
        {QStringLiteral("game_id"), window.selectedGameId},
        {QStringLiteral("region_id"), window.selectedRegionId},
        {QStringLiteral("preferred_node_id"), nodeId},
        {QStringLiteral("client_public_key"), keys.publicKey},
        {QStringLiteral("probes"),
         QJsonArray{
             QJsonObject{{QStringLiteral("node_id"), nodeId},
                         {QStringLiteral("rtt_ms"), roundTripValue(node.value(QLatin1String("score")))}}}}};
    const QByteArray sessionRequest =
        httpRequest("POST", QStringLiteral("/api/v1/acceleration/sessions"), port, token,
                    QJsonDocument(sessionBody).toJson(QJsonDocument::Compact));
    const HttpAnswer firstSession = httpExchange(port, sessionRequest);
    if (token.isEmpty() || nodeId.isEmpty() || keys.outcome != KeyPairRun::Outcome::Made ||
        firstSession.status != 201)
        return fail("the floor's requests were refused");
    const QByteArray startPayload =
        QJsonDocument(buildStartPayload(QJsonDocument::fromJson(firstSession.body).object(), keys.privateKey))
            .toJson(QJsonDocument::Compact);

    const auto pairgenAlone = [&]() -> double {
        const auto started = Clock::now();
        QProcess process;
        process.start(keyPairProgramPath(), {QStringLiteral("keypair")});
        if (!process.waitForFinished(5000) || process.exitCode() != 0 ||
            process.readAllStandardOutput().isEmpty())
            return -1;
        return msSince(started);
    };
    std::vector<double> nodesAlone;
    const auto httpAlone = [&]() -> double {
        const auto started = Clock::now();
        const bool ok = httpExchange(port, nodesRequest).status == 200;
        nodesAlone.push_back(msSince(started));
        const HttpAnswer session = httpExchange(port, sessionRequest);
        const double ms = msSince(started);
        const QString id =
            QJsonDocument::fromJson(session.body).object().value(QLatin1String("session_id")).toString();
        if (!ok || session.status != 201 ||
            httpExchange(port, httpRequest("DELETE", QStringLiteral("/api/v1/acceleration/sessions/") + id,
                                           port, token))
                    .status != 204)
            return -1;
        return ms;
    };
    const auto startAlone = [&]() -> double {
        const auto started = Clock::now();
        const bool ok = rawServiceExchange(ServiceCommand::Start, startPayload);
        const double ms = msSince(started);
        return ok && rawServiceExchange(ServiceCommand::Stop, QByteArray()) ? ms : -1;
    };

    for (int i = 0; i < 3; ++i) {
        if (startInWindow() < 0 || pairgenAlone() < 0 || httpAlone() < 0 || startAlone() < 0)
            return fail("a warm-up round failed");
    }
    std::vector<double> ours, pairgen, http, start, floor;
    for (int round = 0; round < rounds; ++round) {
        ours.push_back(startInWindow());
        pairgen.push_back(pairgenAlone());
        http.push_back(httpAlone());
        start.push_back(startAlone());
        if (ours.back() < 0 || pairgen.back() < 0 || http.back() < 0 || start.back() < 0)
            return fail("a round failed");
        floor.push_back(pairgen.back() + http.back() + start.back());
    }
    service.terminate();
    backend.terminate();
    service.waitForFinished(5000);
    backend.waitForFinished(5000);

    const double floorSum = bench::median(pairgen) + bench::median(http) + bench::median(start);
    std::printf("Start road, %d rounds, ours and the floor's parts in turn\n", rounds);
    std::printf("  context: floor parts (median) pairgen %.2f ms, two HTTP exchanges %.2f ms (the nodes "
                "alone %.2f ms),"
                " Start exchange %.2f ms; ours p90 %.2f ms, floor p90 %.2f ms\n",
                bench::median(pairgen), bench::median(http), bench::median(nodesAlone), bench::median(start),
                bench::quantile(ours, 0.9), bench::quantile(floor, 0.9));
    std::printf(
        "  context: ours by phase (median) click until the key pair is made %.2f ms, until the nodes are"
        " taken %.2f ms, until the status \"%s\" %.2f ms\n",
        bench::median(keyPhase), bench::median(nodesPhase), qPrintable(reached),
        bench::median(ours) - bench::median(keyPhase) - bench::median(nodesPhase));
    bench::printRatio("click -> \"正在加速 · …\" (median)", bench::median(ours), floorSum, "ms",
                      "target <= 1.2");
    return 0;
}
