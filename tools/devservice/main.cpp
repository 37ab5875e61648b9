// devservice: development stand-in for the local acceleration service. It speaks the
// control channel, keeps an idle/accelerating state and checks Start payloads, but brings
// up no tunnel. One line per request on standard output.

#include "controlserver.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <csignal>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

void writeLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

#ifdef Q_OS_UNIX
// Self-pipe: the handler only writes a byte; the event loop does the quitting.
int signalPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

bool installStopSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier] {
        notifier->setEnabled(false);
        char byte;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}
#else
// On Windows the console control handler runs on a thread of its own, where a queued call is safe.
void onStopSignal(int)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

bool installStopSignals(QCoreApplication &)
{
    return std::signal(SIGINT, onStopSignal) != SIG_ERR && std::signal(SIGTERM, onStopSignal) != SIG_ERR;
}
#endif

int usageError(const QCommandLineParser &parser, const QString &message)
{
    writeLine(stderr, QStringLiteral("devservice: %1").arg(message));
    writeLine(stderr, parser.helpText());
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("devservice"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Development stand-in for the local acceleration service: answers the control "
                       "channel and simulates the tunnel state. Brings up no real tunnel.\n"
                       "The client talks only to a server run by root or by the client's own user; on "
                       "Windows only to a service account (LocalSystem, LocalService, NetworkService or "
                       "NT SERVICE\\<name>), so there devservice would have to run as a Windows service."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption nameOption(
        QStringLiteral("name"), QStringLiteral("Listen on <name> (default DiveDizuvivivid.Control.v1)."),
        QStringLiteral("name"), QStringLiteral("DiveDizuvivivid.Control.v1"));
    const QCommandLineOption refuseStartOption(QStringLiteral("refuse-start"),
                                               QStringLiteral("Answer every Start with a non-zero status."));
    const QCommandLineOption refuseStopOption(QStringLiteral("refuse-stop"),
                                              QStringLiteral("Answer every Stop with a non-zero status."));
    const QCommandLineOption wrongIdOption(QStringLiteral("wrong-request-id"),
                                           QStringLiteral("Echo the request id plus one."));
    const QCommandLineOption delayOption(QStringLiteral("reply-delay-ms"),
                                         QStringLiteral("Answer each request <ms> milliseconds late."),
                                         QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption badMagicOption(QStringLiteral("bad-reply-magic"),
                                            QStringLiteral("Write the reply magic byte-swapped."));
    const QCommandLineOption truncateOption(
        QStringLiteral("truncate-reply"),
        QStringLiteral("Announce the whole reply text, send half of it and close."));
    const QCommandLineOption noReplyOption(QStringLiteral("no-reply"),
                                           QStringLiteral("Carry requests out but close without answering."));
    const QCommandLineOption frameTimeoutOption(
        QStringLiteral("frame-timeout-ms"),
        QStringLiteral("Drop a connection whose frame is not complete within <ms> (default 2000)."),
        QStringLiteral("ms"), QStringLiteral("2000"));
    const QCommandLineOption lifetimeOption(
        QStringLiteral("tunnel-lifetime-ms"),
        QStringLiteral("A started tunnel goes down by itself after <ms> (default 0: never)."),
        QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOptions({nameOption, refuseStartOption, refuseStopOption, wrongIdOption, delayOption,
                       badMagicOption, truncateOption, noReplyOption, frameTimeoutOption, lifetimeOption});

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser, parser.errorText());
    if (parser.isSet(helpOption)) {
        writeLine(stdout, parser.helpText());
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(parser,
                          QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    const auto milliseconds = [&parser](const QCommandLineOption &option, int minimum, int *out) {
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        if (!ok || value < minimum)
            return false;
        *out = value;
        return true;
    };
    devservice::ServerOptions options;
    options.name = parser.value(nameOption);
    if (options.name.isEmpty())
        return usageError(parser, QStringLiteral("--name must not be empty"));
    if (!milliseconds(delayOption, 0, &options.replyDelayMs))
        return usageError(parser, QStringLiteral("--reply-delay-ms takes a number of milliseconds"));
    if (!milliseconds(frameTimeoutOption, 1, &options.frameTimeoutMs))
        return usageError(parser,
                          QStringLiteral("--frame-timeout-ms takes a positive number of milliseconds"));
    if (!milliseconds(lifetimeOption, 0, &options.tunnelLifetimeMs))
        return usageError(parser, QStringLiteral("--tunnel-lifetime-ms takes a number of milliseconds"));
    options.behaviour.refuseStart = parser.isSet(refuseStartOption);
    options.behaviour.refuseStop = parser.isSet(refuseStopOption);
    options.wrongRequestId = parser.isSet(wrongIdOption);
    options.badReplyMagic = parser.isSet(badMagicOption);
    options.truncateReply = parser.isSet(truncateOption);
    options.noReply = parser.isSet(noReplyOption);

    if (!installStopSignals(app)) {
        writeLine(stderr, QStringLiteral("devservice: cannot install the SIGINT/SIGTERM handlers"));
        return 1;
    }

    devservice::ControlServer server(options, [](const QString &line) { writeLine(stdout, line); });
    QString error;
    if (!server.listen(&error)) {
        writeLine(stderr, QStringLiteral("devservice: cannot listen on %1: %2").arg(options.name, error));
        return 1;
    }

    QStringList misbehaviour;
    if (options.behaviour.refuseStart)
        misbehaviour << QStringLiteral("refuse-start");
    if (options.behaviour.refuseStop)
        misbehaviour << QStringLiteral("refuse-stop");
    if (options.wrongRequestId)
        misbehaviour << QStringLiteral("wrong-request-id");
    if (options.replyDelayMs > 0)
        misbehaviour << QStringLiteral("reply-delay-ms=%1").arg(options.replyDelayMs);
    if (options.badReplyMagic)
        misbehaviour << QStringLiteral("bad-reply-magic");
    if (options.truncateReply)
        misbehaviour << QStringLiteral("truncate-reply");
    if (options.noReply)
        misbehaviour << QStringLiteral("no-reply");
    if (options.tunnelLifetimeMs > 0)
        misbehaviour << QStringLiteral("tunnel-lifetime-ms=%1").arg(options.tunnelLifetimeMs);

    writeLine(stdout, QStringLiteral("devservice listening on %1").arg(options.name));
    writeLine(stdout, QStringLiteral("devservice: socket %1").arg(server.fullServerName()));
    writeLine(stdout, QStringLiteral("devservice: development stand-in, no real tunnel is brought up; the "
                                     "accelerating state is simulated"));
    if (!misbehaviour.isEmpty())
        writeLine(stdout,
                  QStringLiteral("devservice: misbehaving: %1").arg(misbehaviour.join(QLatin1Char(' '))));

    const int code = app.exec();
    writeLine(stdout, QStringLiteral("devservice stopped"));
    return code;
}
