// devservice: development stand-in for the local acceleration service. It speaks the
// control channel, keeps an idle/accelerating state and checks Start payloads, but brings
// up no tunnel. One line per request on standard output.

#include "controlserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <csignal>
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

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser, parser.errorText());
    if (parser.isSet(helpOption)) {
        writeLine(stdout, parser.helpText());
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(parser,
                          QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

#ifdef Q_OS_UNIX
    if (!installStopSignals(app)) {
        writeLine(stderr, QStringLiteral("devservice: cannot install the SIGINT/SIGTERM handlers"));
        return 1;
    }
#endif

    const devservice::ServerOptions options;
    devservice::ControlServer server(options, [](const QString &line) { writeLine(stdout, line); });
    QString error;
    if (!server.listen(&error)) {
        writeLine(stderr, QStringLiteral("devservice: cannot listen on %1: %2").arg(options.name, error));
        return 1;
    }

    writeLine(stdout, QStringLiteral("devservice listening on %1").arg(options.name));
    writeLine(stdout, QStringLiteral("devservice: socket %1").arg(server.fullServerName()));
    writeLine(stdout, QStringLiteral("devservice: development stand-in, no real tunnel is brought up; the "
                                     "accelerating state is simulated"));

    const int code = app.exec();
    writeLine(stdout, QStringLiteral("devservice stopped"));
    return code;
}
