#include "controlserver.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QMetaObject>
#include <QTimer>

namespace devservice {

namespace {

// Keeps what a client can push ahead of the frame being served small; the frame itself
// is collected in the connection's own buffer.
constexpr qint64 kSocketReadBuffer = 64 * 1024;

// Log values are single tokens: whitespace and control characters would break the line.
QString logValue(const QString &value)
{
    if (value.isEmpty())
        return QStringLiteral("-");
    QString out = value.left(128);
    for (QChar &ch : out) {
        if (ch.isSpace() || !ch.isPrint())
            ch = QLatin1Char('_');
    }
    return out;
}

} // namespace

class ControlServer::Connection : public QObject
{
public:
    Connection(QLocalSocket *socket, quint64 number) : QObject(socket), socket(socket), number(number)
    {
        frameTimer.setSingleShot(true);
    }

    QLocalSocket *socket;
    const quint64 number;
    QByteArray buffer; // the frame being collected
    QTimer frameTimer; // started whenever the server waits for a frame
};

ControlServer::ControlServer(ServerOptions options, LogSink log, QObject *parent)
    : QObject(parent), options_(std::move(options)), log_(std::move(log)), server_(new QLocalServer(this))
{
    connect(server_, &QLocalServer::newConnection, this, &ControlServer::acceptConnections);
}

ControlServer::~ControlServer() = default;

bool ControlServer::listen(QString *error)
{
    // A live server keeps its name; only a socket left behind by a dead one is removed.
    QLocalSocket probe;
    probe.connectToServer(options_.name);
    if (probe.waitForConnected(250)) {
        probe.abort();
        if (error)
            *error = QStringLiteral("another server is already listening on %1").arg(options_.name);
        return false;
    }
    probe.abort();
    QLocalServer::removeServer(options_.name);
    if (!server_->listen(options_.name)) {
        if (error)
            *error = server_->errorString();
        return false;
    }
    return true;
}

QString ControlServer::fullServerName() const
{
    return server_->fullServerName();
}

void ControlServer::acceptConnections()
{
    while (QLocalSocket *socket = server_->nextPendingConnection()) {
        socket->setReadBufferSize(kSocketReadBuffer);
        auto *connection = new Connection(socket, ++connectionCount_);
        connection->frameTimer.setInterval(options_.frameTimeoutMs);
        connect(&connection->frameTimer, &QTimer::timeout, connection,
                [this, connection] { frameTimedOut(connection); });
        connect(socket, &QLocalSocket::readyRead, connection, [this, connection] { serve(connection); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connection->frameTimer.start();
        serve(connection);
    }
}

void ControlServer::serve(Connection *connection)
{
    for (;;) {
        const FrameParse parse = parseRequestFrame(connection->buffer);
        if (parse.outcome == FrameParse::Outcome::Invalid) {
            connection->frameTimer.stop();
            const quint64 requestId = parse.requestIdKnown ? parse.header.requestId : 0;
            const Outcome outcome = core_.frameRefused(parse.error);
            const bool commandKnown =
                parse.error == FrameError::PayloadTooLarge || parse.error == FrameError::UnknownCommand;
            logRequest(connection, commandKnown ? parse.header.command : 0, requestId, outcome);
            send(connection, requestId, outcome);
            return;
        }
        if (parse.outcome == FrameParse::Outcome::Complete) {
            connection->frameTimer.stop();
            const quint16 command = parse.header.command;
            const Outcome outcome = core_.handleRequest(command, requestPayload(connection->buffer, parse));
            connection->buffer.clear();
            logRequest(connection, command, parse.header.requestId, outcome);
            send(connection, parse.header.requestId, outcome);
            return;
        }
        // The header is taken whole when it is there, so a refusal can still echo the request id.
        const qsizetype target = qMax(parse.needed, kRequestHeaderSize);
        const QByteArray chunk = connection->socket->read(target - connection->buffer.size());
        if (chunk.isEmpty())
            return;
        connection->buffer.append(chunk);
    }
}

void ControlServer::send(Connection *connection, quint64 requestId, const Outcome &outcome)
{
    QLocalSocket *socket = connection->socket;
    if (socket->state() != QLocalSocket::ConnectedState)
        return;
    socket->write(encodeReplyFrame(requestId, outcome.status, outcome.text));
    if (outcome.closeAfter) {
        socket->disconnectFromServer();
        return;
    }
    // The connection stays open for a further request; bytes already waiting are served
    // from the event loop so that a client pipelining frames cannot recurse the stack.
    connection->frameTimer.start();
    QMetaObject::invokeMethod(
        connection, [this, connection] { serve(connection); }, Qt::QueuedConnection);
}

void ControlServer::frameTimedOut(Connection *connection)
{
    if (connection->buffer.isEmpty()) {
        log_(QStringLiteral("connection conn=%1 closed: no request within %2 ms")
                 .arg(connection->number)
                 .arg(options_.frameTimeoutMs));
        connection->socket->disconnectFromServer();
        return;
    }
    const FrameParse parse = parseRequestFrame(connection->buffer);
    const quint64 requestId = parse.requestIdKnown ? parse.header.requestId : 0;
    const Outcome outcome = core_.frameIncomplete();
    logRequest(connection, parse.header.command, requestId, outcome);
    send(connection, requestId, outcome);
}

void ControlServer::logRequest(const Connection *connection, quint16 command, quint64 requestId,
                               const Outcome &outcome)
{
    QString line = QStringLiteral("request conn=%1 command=%2 id=%3 status=%4 state=%5")
                       .arg(connection->number)
                       .arg(QLatin1String(commandName(command)))
                       .arg(requestId)
                       .arg(outcome.status)
                       .arg(core_.accelerating() ? QLatin1String("accelerating") : QLatin1String("idle"));
    if (outcome.status != StatusOk) {
        line += QStringLiteral(" error=") + QLatin1String(outcome.error);
    } else if (core_.accelerating()) {
        const TunnelConfig &tunnel = core_.tunnel();
        line += QStringLiteral(" session_id=%1 route_mode=%2 game_processes=%3 egress_ip=%4")
                    .arg(logValue(tunnel.sessionId), logValue(tunnel.routeMode))
                    .arg(tunnel.gameProcessCount)
                    .arg(logValue(tunnel.egressIp));
    }
    if (!outcome.replacedSession.isEmpty())
        line += QStringLiteral(" replaced=") + logValue(outcome.replacedSession);
    log_(line);
}

} // namespace devservice
