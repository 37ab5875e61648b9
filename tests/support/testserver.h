// A loopback HTTP/1.1 (and HTTPS) server for tests: it records every request exactly as it arrived and
// answers with replies scripted per route.
//
//     TestServer server;                                    // or TestServer server(TestServer::Https);
//     server.on("GET", "/api/v1/games").reply(200, R"({"items":[]})");
//     server.on("DELETE", "/api/v1/sessions/s1").reply(ScriptedReply(204).delayed(200));
//     ... point the code under test at server.baseUrl() ...
//     QVERIFY(server.waitForRequests(1));
//     QCOMPARE(server.lastRequest().target, QByteArray("/api/v1/games"));
//
// Everything runs on the thread that owns the server, driven by its event loop; the server never blocks.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

class QTcpServer;

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// One request as it arrived on the wire. Nothing is decoded or normalised.
struct RecordedRequest
{
    QByteArray method;   // "GET", "POST", ...
    QByteArray target;   // request target as sent, e.g. "/api/v1/games/a%20b/regions?x=1"
    QByteArray version;  // "HTTP/1.1"
    HeaderList headers;  // in arrival order, names as sent, values from the first non-blank after ':',
                         // trailing blanks kept ("Bearer ")
    QByteArray body;     // Content-Length or de-chunked body; empty when there was none
    int connection = -1; // index of the TCP connection it came on, in accept order (from 0)
    bool encrypted = false;

    QByteArray path() const;        // target up to '?', still percent-encoded
    QByteArray query() const;       // target after '?', without it; empty when none
    QByteArray decodedPath() const; // path() percent-decoded (UTF-8 bytes)

    // Header lookup ignores the case of the name. header() gives the first value, or a null QByteArray.
    bool hasHeader(const QByteArray &name) const;
    QByteArray header(const QByteArray &name) const;
    QList<QByteArray> headerValues(const QByteArray &name) const;
};
Q_DECLARE_METATYPE(RecordedRequest)

// What the server does with one request. Build it fluently:
//     ScriptedReply(500, "<html/>").withContentType("text/html").delayed(100)
struct ScriptedReply
{
    enum Action {
        Answer, // send the reply below
        Stall,  // read the request, never answer, keep the connection open
        Close,  // read the request, close the connection without a byte of reply
    };
    // When a connection closes before any byte of reply, Qt resends the request once on a new connection:
    // script Close with always() (or queue it twice) so that the second attempt meets it too.

    Action action = Answer;
    int status = 200;
    QByteArray reason; // empty: the usual phrase for the status
    QByteArray body;
    QByteArray contentType;      // empty: no Content-Type header
    HeaderList headers;          // extra headers, sent after Content-Type and Content-Length
    int delayMs = 0;             // wait before acting (also before Stall and Close)
    int chunkBytes = 0;          // > 0: send the body in pieces of this size...
    int chunkIntervalMs = 0;     // ...this far apart (headers go out at once)
    qint64 announcedLength = -1; // >= 0: Content-Length announces this instead of the body's size
    bool sendLength = true;      // false: no Content-Length; the body ends when the connection closes
    bool closeAfter = false;     // close the connection once the reply is sent

    ScriptedReply() = default;
    explicit ScriptedReply(int status, const QByteArray &body = {}) : status(status), body(body) {}

    static ScriptedReply json(int status, const QByteArray &body); // Content-Type: application/json
    static ScriptedReply stall();
    static ScriptedReply close();

    ScriptedReply &withReason(const QByteArray &text);
    ScriptedReply &withContentType(const QByteArray &type);
    // A Content-Length or Transfer-Encoding given here replaces the server's own framing header.
    ScriptedReply &withHeader(const QByteArray &name, const QByteArray &value);
    ScriptedReply &delayed(int ms);
    // Qt reports download progress at most every 100 ms or so; for progress tests keep intervals above that.
    ScriptedReply &inChunks(int bytes, int intervalMs);
    // Announces `length` bytes, sends the body as it is, then closes the connection.
    ScriptedReply &lyingLength(qint64 length);
    // Sends no Content-Length and closes after the body (the client sees a total of -1).
    ScriptedReply &withoutLength();
    ScriptedReply &closingConnection();
};

// Replies for one method and path. A request takes the next queued reply; once the queue is empty it gets
// the route's standing reply (handler, then always()), or 404 with an empty body when the route has none.
class Route
{
public:
    Route &reply(const ScriptedReply &reply); // queue one reply
    // Queue one reply; the content type is sent only when the body is not empty.
    Route &reply(int status, const QByteArray &body = {}, const QByteArray &contentType = "application/json");
    Route &always(const ScriptedReply &reply); // standing reply for every request past the queue
    Route &handle(std::function<ScriptedReply(const RecordedRequest &)> handler); // computed standing reply
    int queued() const { return int(queue.size()); }

private:
    friend class TestServer;
    QByteArray method;
    QByteArray path;
    std::vector<ScriptedReply> queue;
    std::unique_ptr<ScriptedReply> standing;
    std::function<ScriptedReply(const RecordedRequest &)> handler;
};

// A throwaway CA and a leaf certificate for 127.0.0.1 and localhost (both in the subject alternative
// names), signed by that CA. EC P-256 keys.
struct TestCertificates
{
    QSslCertificate ca;
    QSslCertificate leaf;
    QSslKey leafKey;
};

const TestCertificates &testCertificates();  // made once per process; HTTPS servers use it by default
TestCertificates generateTestCertificates(); // a fresh set with its own CA, unrelated to the one above
// Adds testCertificates().ca to QSslConfiguration::defaultConfiguration(), so every QNetworkAccessManager
// of this process trusts the HTTPS test servers. Idempotent.
void trustTestCa();

class TestServer : public QObject
{
    Q_OBJECT
public:
    enum Scheme { Http, Https };

    // Listens on 127.0.0.1 on a free port at once; check isListening().
    explicit TestServer(Scheme scheme = Http, QObject *parent = nullptr);
    ~TestServer() override;

    bool isListening() const;
    quint16 port() const;
    QUrl baseUrl() const;                     // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT"
    QUrl url(const QByteArray &target) const; // baseUrl() followed by target as given ("/x?y=1")

    // Routes match the request method exactly ("*" matches any method) and the request's path after
    // percent-decoding, without the query: on("GET", "/games/a b") matches "GET /games/a%20b?x=1".
    // The same method and path give the same route; the reference stays valid as long as the server.
    Route &on(const QByteArray &method, const QByteArray &path);

    // HTTPS only: the certificate and key that later connections present.
    void setCertificates(const TestCertificates &certificates);

    QList<RecordedRequest> requests() const { return recorded; }
    RecordedRequest lastRequest() const; // a default-constructed request when there is none
    int requestCount() const { return int(recorded.size()); }
    int connectionCount() const { return accepted; } // TCP connections accepted so far
    void clearRequests() { recorded.clear(); }

    // Runs the event loop until at least n requests are recorded (counting those already there).
    bool waitForRequests(int n, int timeoutMs = 5000);

signals:
    void requestReceived(const RecordedRequest &request);

private:
    friend class TestConnection;
    ScriptedReply replyFor(const RecordedRequest &request);
    void record(const RecordedRequest &request);
    void accept(qintptr descriptor);

    Scheme scheme;
    QTcpServer *listener = nullptr;
    std::vector<std::unique_ptr<Route>> routes;
    QList<RecordedRequest> recorded;
    int accepted = 0;
    TestCertificates certificates;
};
