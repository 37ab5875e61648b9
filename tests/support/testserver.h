// A scripted loopback HTTP/1.1 (and HTTPS) server for the client's tests. It records each request as
// it arrived and answers it with the next reply scripted for its route; each answer closes its
// connection.
#pragma once

#include <QtNetwork>

#include <deque>
#include <map>

struct RecordedRequest
{
    QByteArray method, target, body;      // the target as sent: percent-encoded, with its query
    QMap<QByteArray, QByteArray> headers; // by lower-case name; values trimmed

    QByteArray path() const { return target.split('?').first(); }
    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
};

struct ScriptedReply
{
    int status;                                   // 0: the connection closes without a reply
    QByteArray body, contentType, location;       // location: the Location header's value
    int delayMs = 0, chunkBytes = 0, chunkMs = 0; // chunkBytes > 0: the body in pieces, chunkMs apart
    bool withLength = true;                       // a Content-Length, the body's

    explicit ScriptedReply(int status = 200, QByteArray body = {}, QByteArray type = {})
        : status(status), body(std::move(body)), contentType(std::move(type))
    {}
    static ScriptedReply json(int status, const QByteArray &body)
    {
        return ScriptedReply(status, body, "application/json");
    }
};

// A request takes the oldest queued reply, else the standing one, else 404.
struct Route
{
    std::deque<ScriptedReply> queue;
    std::function<ScriptedReply(const RecordedRequest &)> standing;

    Route &reply(const ScriptedReply &reply) { return queue.push_back(reply), *this; }
    Route &always(const ScriptedReply &reply)
    {
        return handle([reply](auto &) { return reply; });
    }
    Route &handle(std::function<ScriptedReply(const RecordedRequest &)> f)
    {
        return standing = std::move(f), *this;
    }
};

class TestServer : public QObject
{
public:
    explicit TestServer(bool https = false);

    QUrl url(const QByteArray &target = {}) const
    {
        return QUrl(
            QStringLiteral("http%1://127.0.0.1:%2").arg(https ? "s" : "").arg(listener->serverPort()) +
            QString::fromUtf8(target));
    }
    // The method exactly ("*": any), the path percent-decoded, the query ignored.
    Route &on(const QByteArray &method, const QByteArray &path) { return routes[{method, path}]; }

    QList<RecordedRequest> requests;

private:
    void serve(QTcpSocket *socket);

    bool https;
    QTcpServer *listener;
    std::map<std::pair<QByteArray, QByteArray>, Route> routes; // references stay valid
};
