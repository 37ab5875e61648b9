// A scripted loopback HTTP/1.1 (and HTTPS) server for the client's tests. It records each request as
// it arrived and answers it with the next reply scripted for its route; each answer closes its
// connection.
#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QUrl>

#include <deque>
#include <functional>
#include <map>
#include <optional>

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

struct RecordedRequest
{
    QByteArray method, target; // the target as sent: percent-encoded, with its query
    HeaderList headers;        // values from the first non-blank after ':', trailing blanks kept
    QByteArray body;

    QByteArray path() const { return target.split('?').first(); }
    QByteArray decodedPath() const { return QByteArray::fromPercentEncoding(path()); }
    bool hasHeader(const QByteArray &name) const { return find(name).has_value(); }
    QByteArray header(const QByteArray &name) const { return find(name).value_or(QByteArray()); }
    std::optional<QByteArray> find(const QByteArray &name) const;
};

struct ScriptedReply
{
    enum Action { Answer, Stall, Close } action = Answer;
    int status = 200;
    QByteArray body, contentType;
    int delayMs = 0, chunkBytes = 0, chunkIntervalMs = 0; // chunkBytes > 0: the body in pieces
    std::optional<qint64> announcedLength;                // instead of the body's size; negative: none

    explicit ScriptedReply(int status = 200, QByteArray body = {}) : status(status), body(std::move(body)) {}
    static ScriptedReply json(int status, const QByteArray &body)
    {
        return ScriptedReply(status, body).withContentType(body.isEmpty() ? "" : "application/json");
    }
    static ScriptedReply stall() { return ScriptedReply().as(Stall); }
    static ScriptedReply close() { return ScriptedReply().as(Close); }
    ScriptedReply &as(Action what) { return action = what, *this; }
    ScriptedReply &delayed(int ms) { return delayMs = ms, *this; }
    ScriptedReply &withContentType(const QByteArray &type) { return contentType = type, *this; }
    ScriptedReply &inChunks(int bytes, int ms) { return chunkBytes = bytes, chunkIntervalMs = ms, *this; }
    // The body as it is under a Content-Length of `length` (none when negative), then the close.
    ScriptedReply &lyingLength(qint64 length) { return announcedLength = length, *this; }
};

// A request takes the oldest queued reply, else the standing one, else 404.
struct Route
{
    Route &reply(const ScriptedReply &reply) { return queue.push_back(reply), *this; }
    Route &reply(int status, const QByteArray &body = {}, const QByteArray &contentType = "application/json")
    {
        return reply(ScriptedReply(status, body).withContentType(body.isEmpty() ? "" : contentType));
    }
    Route &always(const ScriptedReply &reply)
    {
        return standing = [reply](const auto &) { return reply; }, *this;
    }
    Route &handle(std::function<ScriptedReply(const RecordedRequest &)> handler)
    {
        return standing = std::move(handler), *this;
    }

    std::deque<ScriptedReply> queue;
    std::function<ScriptedReply(const RecordedRequest &)> standing;
};

// A throwaway self-signed certificate for 127.0.0.1, its own CA, made once per process.
struct TestCertificates
{
    QSslCertificate ca;
    QSslKey key;
};
const TestCertificates &testCertificates();
void trustTestCa(); // every network manager of the process then trusts the HTTPS servers

class TestServer : public QObject
{
public:
    enum Scheme { Http, Https };
    explicit TestServer(Scheme scheme = Http);

    bool isListening() const { return listener->isListening(); }
    quint16 port() const { return listener->serverPort(); }
    QUrl baseUrl() const
    {
        return QUrl(QStringLiteral("http%1://127.0.0.1:%2").arg(scheme ? "s" : "").arg(port()));
    }
    QUrl url(const QByteArray &target) const
    {
        return QUrl(baseUrl().toString() + QString::fromUtf8(target));
    }
    // The method exactly ("*": any), the path percent-decoded, the query ignored.
    Route &on(const QByteArray &method, const QByteArray &path) { return routes[{method, path}]; }

    QList<RecordedRequest> requests() const { return recorded; }
    RecordedRequest lastRequest() const { return recorded.value(recorded.size() - 1); }
    int requestCount() const { return int(recorded.size()); }
    void clearRequests() { recorded.clear(); }
    bool waitForRequests(int n, int timeoutMs = 5000);

private:
    void serve(QTcpSocket *socket);

    Scheme scheme;
    QTcpServer *listener;
    std::map<std::pair<QByteArray, QByteArray>, Route> routes; // by method and path; references stay valid
    QList<RecordedRequest> recorded;
};
