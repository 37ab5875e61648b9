#pragma once

// The local server side of the control channel. Every connection is served from the event
// loop without blocking waits, so a client that stalls mid-frame never holds up the next.

#include "servicecore.h"

#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;
class QLocalSocket;
class QTimer;

namespace devservice {

struct ServerOptions
{
    QString name = QStringLiteral("DiveDizuvivivid.Control.v1");
    Behaviour behaviour;
    int frameTimeoutMs = 2000;   // a frame must be complete this long after the server waits for it
    int replyDelayMs = 0;        // answer late
    int tunnelLifetimeMs = 0;    // a started tunnel goes down by itself after this long (0: never)
    bool wrongRequestId = false; // echo the request id plus one
    bool badReplyMagic = false;  // reply header with a wrong magic
    bool truncateReply = false;  // announce the whole reply text, send half of it, close
    bool noReply = false;        // carry the request out, close without answering
};

class ControlServer : public QObject
{
public:
    using LogSink = std::function<void(const QString &line)>;

    ControlServer(ServerOptions options, LogSink log, QObject *parent = nullptr);
    ~ControlServer() override;

    // Removes a stale socket of the same name first, unless a live server answers on it.
    bool listen(QString *error);
    QString fullServerName() const;
    const ServiceCore &core() const { return core_; }

private:
    class Connection;

    void acceptConnections();
    void serve(Connection *connection);
    void answer(Connection *connection, quint64 requestId, const Outcome &outcome);
    void send(Connection *connection, quint64 requestId, const Outcome &outcome);
    void frameTimedOut(Connection *connection);
    void logRequest(const Connection *connection, quint16 command, quint64 requestId, const Outcome &outcome);

    ServerOptions options_;
    LogSink log_;
    ServiceCore core_;
    QLocalServer *server_ = nullptr;
    QTimer *tunnelLifetime_ = nullptr;
    quint64 connectionCount_ = 0;
};

} // namespace devservice
