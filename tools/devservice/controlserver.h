#pragma once

// The local server side of the control channel. Every connection is served from the event
// loop without blocking waits, so a client that stalls mid-frame never holds up the next.

#include "servicecore.h"

#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;
class QLocalSocket;

namespace devservice {

struct ServerOptions
{
    QString name = QStringLiteral("DiveDizuvivivid.Control.v1");
    int frameTimeoutMs = 2000; // a frame must be complete this long after the server waits for it
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

private:
    class Connection;

    void acceptConnections();
    void serve(Connection *connection);
    void send(Connection *connection, quint64 requestId, const Outcome &outcome);
    void frameTimedOut(Connection *connection);
    void logRequest(const Connection *connection, quint16 command, quint64 requestId, const Outcome &outcome);

    ServerOptions options_;
    LogSink log_;
    ServiceCore core_;
    QLocalServer *server_ = nullptr;
    quint64 connectionCount_ = 0;
};

} // namespace devservice
