// One Status exchange with the local acceleration service, as the window's "检查服务" makes it:
// callControlService against the real devservice process. The floor, measured beside it in the
// same run: the same connect, 20 bytes out, 24 + payload bytes back and close, made with plain
// QLocalSocket calls against a minimal echo server (this program with --echo, a blocking loop
// on a Unix socket that answers every request with the reply devservice gave).
//
//   bench_service_roundtrip [--calls N] [--warmup N] [--devservice PATH]
//
// Both servers are processes of their own; ours and the floor take turns in blocks of 50 calls.
// As context, callControlService against the echo server shows how much of the gap is the client's.

#include "benchsupport.h"
#include "servicechannel.h"

#include <QCommandLineParser>
#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool readAll(int fd, char *buffer, size_t length)
{
    while (length > 0) {
        const ssize_t got = ::read(fd, buffer, length);
        if (got <= 0)
            return false;
        buffer += got;
        length -= size_t(got);
    }
    return true;
}

// The minimal server: accept, read the 20-byte header, answer with a 24-byte header echoing the
// request id and then PAYLOAD, close.
int echoMain(const char *path, const char *payload)
{
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
    ::unlink(path);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        ::listen(listener, 16) != 0)
        return 1;
    std::printf("listening\n");
    std::fflush(stdout);
    const quint32 payloadLength = quint32(std::strlen(payload));
    for (;;) {
        const int connection = ::accept(listener, nullptr, nullptr);
        if (connection < 0)
            continue;
        char request[20];
        if (readAll(connection, request, sizeof(request))) {
            char reply[24] = {};
            qToLittleEndian<quint32>(ControlChannel::Magic, reply);
            qToLittleEndian<quint16>(ControlChannel::Version, reply + 4);
            std::memcpy(reply + 8, request + 8, 8);
            qToLittleEndian<quint32>(payloadLength, reply + 20);
            iovec parts[2] = {{reply, sizeof(reply)}, {const_cast<char *>(payload), payloadLength}};
            msghdr message = {};
            message.msg_iov = parts;
            message.msg_iovlen = 2;
            [[maybe_unused]] const ssize_t sent = ::sendmsg(connection, &message, MSG_NOSIGNAL);
        }
        ::close(connection);
    }
}

bool readExactlyRaw(QLocalSocket &socket, char *buffer, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        if (socket.bytesAvailable() <= 0 && !socket.waitForReadyRead(ControlChannel::WaitMs))
            return false;
        const qint64 got = socket.read(buffer + done, length - done);
        if (got <= 0)
            return false;
        done += got;
    }
    return true;
}

// The floor exchange: nothing but the socket calls.
bool rawExchange(const QString &server, const QByteArray &request, QByteArray *reply)
{
    QLocalSocket socket;
    socket.connectToServer(server);
    if (!socket.waitForConnected(ControlChannel::WaitMs) || socket.write(request) != request.size() ||
        !socket.waitForBytesWritten(ControlChannel::WaitMs))
        return false;
    if (!readExactlyRaw(socket, reply->data(), reply->size()))
        return false;
    socket.close();
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "--echo") == 0)
        return echoMain(argv[2], argv[3]);

    // Local socket names live in the temporary folder; make it private before anything uses it.
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/zumvari-bench-XXXXXX"));
    if (!folder.isValid())
        return 1;
    qputenv("TMPDIR", QFile::encodeName(folder.path()));

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("calls"), QStringLiteral("Timed exchanges each (default 2000)."),
                      QStringLiteral("N"), QStringLiteral("2000")});
    parser.addOption({QStringLiteral("warmup"), QStringLiteral("Untimed exchanges first (default 100)."),
                      QStringLiteral("N"), QStringLiteral("100")});
    parser.addOption({QStringLiteral("devservice"), QStringLiteral("The devservice binary to start."),
                      QStringLiteral("PATH"), QStringLiteral(DEVSERVICE_PATH)});
    parser.process(app);
    const int calls = std::max(1, parser.value(QStringLiteral("calls")).toInt());
    const int warmup = std::max(1, parser.value(QStringLiteral("warmup")).toInt());

    QProcess service;
    if (bench::startLogged(service, parser.value(QStringLiteral("devservice")), {},
                           folder.filePath(QStringLiteral("devservice.log")), QStringLiteral("listening on "))
            .isEmpty()) {
        std::fprintf(stderr, "bench_service_roundtrip: devservice did not start\n");
        return 1;
    }
    ServiceReply first;
    for (int i = 0; i < warmup; ++i) {
        first = callControlService(ServiceCommand::Status, QByteArray());
        if (!first.ok) {
            std::fprintf(stderr, "bench_service_roundtrip: warm-up exchange failed: %s\n",
                         qPrintable(first.error));
            return 1;
        }
    }

    // The echo server answers with devservice's own reply text, so both carry the same bytes.
    const QByteArray payload = first.text.toUtf8();
    const QString echoPath = folder.filePath(QStringLiteral("echo.sock"));
    QProcess echo;
    if (bench::startLogged(echo, QCoreApplication::applicationFilePath(),
                           {QStringLiteral("--echo"), echoPath, QString::fromUtf8(payload)},
                           folder.filePath(QStringLiteral("echo.log")), QStringLiteral("listening"))
            .isEmpty()) {
        std::fprintf(stderr, "bench_service_roundtrip: the echo server did not start\n");
        return 1;
    }
    ControlRequestHeader header = {ControlChannel::Magic, ControlChannel::Version,
                                   quint16(ServiceCommand::Status), 1, 0};
    const QByteArray request = encodeRequestHeader(header);
    QByteArray reply(int(sizeof(ControlReplyHeader)) + payload.size(), '\0');
    for (int i = 0; i < warmup; ++i) {
        if (!rawExchange(echoPath, request, &reply)) {
            std::fprintf(stderr, "bench_service_roundtrip: warm-up echo exchange failed\n");
            return 1;
        }
    }

    // Context: our call against the echo server parts the client's share of the gap from
    // devservice's.
    std::vector<double> ours, floor, oursEcho;
    ours.reserve(size_t(calls));
    floor.reserve(size_t(calls));
    oursEcho.reserve(size_t(calls));
    constexpr int Block = 50;
    while (int(ours.size()) < calls) {
        for (int i = 0; i < Block && int(ours.size()) < calls; ++i) {
            const auto started = std::chrono::steady_clock::now();
            const ServiceReply answer = callControlService(ServiceCommand::Status, QByteArray());
            const auto ended = std::chrono::steady_clock::now();
            if (!answer.ok || answer.text != first.text) {
                std::fprintf(stderr, "bench_service_roundtrip: exchange failed: %s\n",
                             qPrintable(answer.error));
                return 1;
            }
            ours.push_back(std::chrono::duration<double, std::micro>(ended - started).count());
        }
        for (int i = 0; i < Block && int(floor.size()) < calls; ++i) {
            const auto started = std::chrono::steady_clock::now();
            const bool ok = rawExchange(echoPath, request, &reply);
            const auto ended = std::chrono::steady_clock::now();
            if (!ok) {
                std::fprintf(stderr, "bench_service_roundtrip: echo exchange failed\n");
                return 1;
            }
            floor.push_back(std::chrono::duration<double, std::micro>(ended - started).count());
        }
        for (int i = 0; i < Block && int(oursEcho.size()) < calls; ++i) {
            const auto started = std::chrono::steady_clock::now();
            const ServiceReply answer = callControlService(ServiceCommand::Status, QByteArray(), echoPath);
            const auto ended = std::chrono::steady_clock::now();
            if (!answer.ok) {
                std::fprintf(stderr, "bench_service_roundtrip: exchange with the echo server failed: %s\n",
                             qPrintable(answer.error));
                return 1;
            }
            oursEcho.push_back(std::chrono::duration<double, std::micro>(ended - started).count());
        }
    }
    service.terminate();
    service.waitForFinished(5000);
    echo.kill();
    echo.waitForFinished(5000);

    std::printf("Service Status round trip, %d calls each after %d warm-up, in turns of %d\n", calls, warmup,
                Block);
    std::printf(
        "  context: ours p90 %.1f us p99 %.1f us, floor p90 %.1f us p99 %.1f us; reply payload %lld bytes;"
        " callControlService against the echo server: median %.1f us\n",
        bench::quantile(ours, 0.9), bench::quantile(ours, 0.99), bench::quantile(floor, 0.9),
        bench::quantile(floor, 0.99), static_cast<long long>(payload.size()), bench::median(oursEcho));
    bench::printRatio("Status round trip (median)", bench::median(ours), bench::median(floor), "us",
                      "target <= 1.5");
    return 0;
}
