#include "testserver.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <deque>

#ifdef Q_OS_LINUX
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <thread>
#endif

namespace {

// Anything larger is not a test's request but a parser fault; refuse it rather than buffer without end.
constexpr qsizetype MaxHeadBytes = qsizetype(64) * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 422:
        return "Unprocessable Entity";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Unknown";
    }
}

bool sameName(const QByteArray &a, const QByteArray &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool hasHeaderIn(const HeaderList &headers, const QByteArray &name)
{
    for (const auto &h : headers) {
        if (sameName(h.first, name))
            return true;
    }
    return false;
}

// A reply to these carries no body on the wire, whatever its headers say.
bool statusWithoutBody(int status)
{
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

enum class Parse { Incomplete, Done, Bad };

// De-chunks the body that starts at `pos`; on Done, `end` is the offset just past the trailers.
Parse decodeChunked(const QByteArray &buffer, qsizetype pos, QByteArray *body, qsizetype *end)
{
    body->clear();
    for (;;) {
        const qsizetype lineEnd = buffer.indexOf("\r\n", pos);
        if (lineEnd < 0)
            return Parse::Incomplete;
        QByteArray sizeText = buffer.mid(pos, lineEnd - pos);
        const qsizetype semicolon = sizeText.indexOf(';');
        if (semicolon >= 0)
            sizeText.truncate(semicolon);
        bool ok = false;
        const qint64 size = sizeText.trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0)
            return Parse::Bad;
        pos = lineEnd + 2;
        if (size == 0) {
            for (;;) { // trailers up to an empty line
                const qsizetype trailerEnd = buffer.indexOf("\r\n", pos);
                if (trailerEnd < 0)
                    return Parse::Incomplete;
                if (trailerEnd == pos) {
                    *end = pos + 2;
                    return Parse::Done;
                }
                pos = trailerEnd + 2;
            }
        }
        if (buffer.size() - pos < size + 2)
            return Parse::Incomplete;
        if (buffer.mid(pos + size, 2) != "\r\n")
            return Parse::Bad;
        body->append(buffer.constData() + pos, size);
        pos += size + 2;
    }
}

#ifdef Q_OS_LINUX
// Qt's network threads are detached: QThread::wait() returns before the thread has run its thread-exit
// cleanup, among it OpenSSL freeing its per-thread random generators. A process that ends in between shows
// LeakSanitizer that half-freed state as a leak, now and then. Give those threads a moment to end first.
bool networkThreadRunning()
{
    bool running = false;
    if (DIR *tasks = opendir("/proc/self/task")) {
        while (const dirent *task = readdir(tasks)) {
            std::ifstream comm(std::string("/proc/self/task/") + task->d_name + "/comm");
            std::string name;
            if (std::getline(comm, name) && name.rfind("QNetworkAccess", 0) == 0)
                running = true;
        }
        closedir(tasks);
    }
    return running;
}

void waitForNetworkThreads()
{
    for (int i = 0; i < 200 && networkThreadRunning(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
#endif

class Listener : public QTcpServer
{
public:
    std::function<void(qintptr)> onIncoming;

protected:
    void incomingConnection(qintptr descriptor) override { onIncoming(descriptor); }
};

} // namespace

// ---- RecordedRequest ----

QByteArray RecordedRequest::path() const
{
    const qsizetype mark = target.indexOf('?');
    return mark < 0 ? target : target.left(mark);
}

QByteArray RecordedRequest::query() const
{
    const qsizetype mark = target.indexOf('?');
    return mark < 0 ? QByteArray() : target.mid(mark + 1);
}

QByteArray RecordedRequest::decodedPath() const
{
    return QByteArray::fromPercentEncoding(path());
}

bool RecordedRequest::hasHeader(const QByteArray &name) const
{
    return hasHeaderIn(headers, name);
}

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (sameName(h.first, name))
            return h.second;
    }
    return {};
}

QList<QByteArray> RecordedRequest::headerValues(const QByteArray &name) const
{
    QList<QByteArray> values;
    for (const auto &h : headers) {
        if (sameName(h.first, name))
            values.append(h.second);
    }
    return values;
}

// ---- ScriptedReply ----

ScriptedReply ScriptedReply::json(int status, const QByteArray &body)
{
    return ScriptedReply(status, body).withContentType("application/json");
}

ScriptedReply ScriptedReply::stall()
{
    ScriptedReply r;
    r.action = Stall;
    return r;
}

ScriptedReply ScriptedReply::close()
{
    ScriptedReply r;
    r.action = Close;
    return r;
}

ScriptedReply &ScriptedReply::withReason(const QByteArray &text)
{
    reason = text;
    return *this;
}

ScriptedReply &ScriptedReply::withContentType(const QByteArray &type)
{
    contentType = type;
    return *this;
}

ScriptedReply &ScriptedReply::withHeader(const QByteArray &name, const QByteArray &value)
{
    headers.append({name, value});
    return *this;
}

ScriptedReply &ScriptedReply::delayed(int ms)
{
    delayMs = ms;
    return *this;
}

ScriptedReply &ScriptedReply::inChunks(int bytes, int intervalMs)
{
    chunkBytes = bytes;
    chunkIntervalMs = intervalMs;
    return *this;
}

ScriptedReply &ScriptedReply::lyingLength(qint64 length)
{
    announcedLength = length;
    closeAfter = true;
    return *this;
}

ScriptedReply &ScriptedReply::withoutLength()
{
    sendLength = false;
    closeAfter = true;
    return *this;
}

ScriptedReply &ScriptedReply::closingConnection()
{
    closeAfter = true;
    return *this;
}

// ---- Route ----

Route &Route::reply(const ScriptedReply &reply)
{
    queue.push_back(reply);
    return *this;
}

Route &Route::reply(int status, const QByteArray &body, const QByteArray &contentType)
{
    ScriptedReply r(status, body);
    if (!body.isEmpty())
        r.contentType = contentType;
    return reply(r);
}

Route &Route::always(const ScriptedReply &reply)
{
    standing = std::make_unique<ScriptedReply>(reply);
    return *this;
}

Route &Route::handle(std::function<ScriptedReply(const RecordedRequest &)> fn)
{
    handler = std::move(fn);
    return *this;
}

// ---- one accepted connection ----

class TestConnection : public QObject
{
public:
    TestConnection(TestServer *server, QTcpSocket *socket, int index)
        : QObject(server), server(server), socket(socket), index(index)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this] { readIncoming(); });
        connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
        // A peer that went away or a failed TLS handshake ends the connection; a reply still due has
        // nobody to go to.
        connect(socket, &QAbstractSocket::errorOccurred, this, &QObject::deleteLater);
        chunkTimer.setParent(this);
        connect(&chunkTimer, &QTimer::timeout, this, [this] { sendNextChunk(); });
    }

private:
    struct Pending
    {
        ScriptedReply reply;
        bool clientWantsClose = false;
        bool head = false;
    };

    void readIncoming()
    {
        if (closing)
            return;
        buffer += socket->readAll();
        while (!closing && parseOne()) {
        }
        startNext();
    }

    // Takes one complete request off the front of the buffer; false when none is complete yet.
    bool parseOne()
    {
        while (buffer.startsWith("\r\n")) // stray line ends between requests are allowed
            buffer.remove(0, 2);
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (buffer.size() > MaxHeadBytes)
                refuse();
            return false;
        }
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        if (requestLine.size() != 3 || requestLine[0].isEmpty() || requestLine[1].isEmpty() ||
            !requestLine[2].startsWith("HTTP/")) {
            refuse();
            return false;
        }
        RecordedRequest request;
        request.method = requestLine[0];
        request.target = requestLine[1];
        request.version = requestLine[2];
        request.connection = index;
        request.encrypted = qobject_cast<QSslSocket *>(socket) != nullptr;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            QByteArray line = lines[i];
            if (line.endsWith('\r'))
                line.chop(1);
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0 || line.left(colon).contains(' ')) {
                refuse();
                return false;
            }
            qsizetype valueStart = colon + 1;
            while (valueStart < line.size() && (line[valueStart] == ' ' || line[valueStart] == '\t'))
                ++valueStart;
            request.headers.append({line.left(colon), line.mid(valueStart)});
        }

        const qsizetype bodyStart = headEnd + 4;
        qsizetype end = bodyStart;
        if (request.header("Transfer-Encoding").toLower().contains("chunked")) {
            switch (decodeChunked(buffer, bodyStart, &request.body, &end)) {
            case Parse::Incomplete:
                return false;
            case Parse::Bad:
                refuse();
                return false;
            case Parse::Done:
                break;
            }
        } else if (request.hasHeader("Content-Length")) {
            bool ok = false;
            const qint64 length = request.header("Content-Length").toLongLong(&ok);
            if (!ok || length < 0) {
                refuse();
                return false;
            }
            if (buffer.size() - bodyStart < length)
                return false;
            request.body = buffer.mid(bodyStart, length);
            end = bodyStart + length;
        }
        buffer.remove(0, end);

        const QByteArray connectionHeader = request.header("Connection").toLower();
        Pending pending;
        pending.clientWantsClose =
            connectionHeader.contains("close") ||
            (request.version == "HTTP/1.0" && !connectionHeader.contains("keep-alive"));
        pending.head = request.method == "HEAD";
        // Record first, so that a test reacting to requestReceived may still script this reply.
        QPointer<TestConnection> alive(this);
        server->record(request);
        if (!alive)
            return false;
        pending.reply = server->replyFor(request);
        queue.push_back(std::move(pending));
        return true;
    }

    void refuse()
    {
        closing = true;
        socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
    }

    // Replies go out one at a time, in request order.
    void startNext()
    {
        if (busy || closing || queue.empty())
            return;
        busy = true;
        Pending next = std::move(queue.front());
        queue.pop_front();
        if (next.reply.delayMs > 0)
            QTimer::singleShot(next.reply.delayMs, this, [this, next] { act(next); });
        else
            act(next);
    }

    void act(const Pending &pending)
    {
        const ScriptedReply &r = pending.reply;
        if (r.action == ScriptedReply::Stall)
            return; // stays busy: nothing more is ever sent on this connection
        if (r.action == ScriptedReply::Close) {
            closing = true;
            socket->disconnectFromHost();
            return;
        }

        const bool ownFraming =
            hasHeaderIn(r.headers, "Content-Length") || hasHeaderIn(r.headers, "Transfer-Encoding");
        // A body the client will not read for this status would be taken for the start of the next reply.
        closeWhenSent = r.closeAfter || pending.clientWantsClose || !r.sendLength ||
                        (statusWithoutBody(r.status) && !r.body.isEmpty());

        QByteArray head = "HTTP/1.1 " + QByteArray::number(r.status) + ' ' +
                          (r.reason.isEmpty() ? reasonPhrase(r.status) : r.reason) + "\r\n";
        if (!r.contentType.isEmpty())
            head += "Content-Type: " + r.contentType + "\r\n";
        if (!ownFraming && r.sendLength)
            head += "Content-Length: " +
                    QByteArray::number(r.announcedLength >= 0 ? r.announcedLength : qint64(r.body.size())) +
                    "\r\n";
        for (const auto &h : r.headers)
            head += h.first + ": " + h.second + "\r\n";
        if (closeWhenSent && !hasHeaderIn(r.headers, "Connection"))
            head += "Connection: close\r\n";
        head += "\r\n";
        socket->write(head);

        outBody = pending.head ? QByteArray() : r.body;
        outPos = 0;
        if (r.chunkBytes > 0 && outBody.size() > r.chunkBytes) {
            chunkBytes = r.chunkBytes;
            chunkTimer.start(r.chunkIntervalMs);
            sendNextChunk();
        } else {
            socket->write(outBody);
            finishReply();
        }
    }

    void sendNextChunk()
    {
        const qsizetype n = qMin<qsizetype>(chunkBytes, outBody.size() - outPos);
        socket->write(outBody.constData() + outPos, n);
        outPos += n;
        if (outPos >= outBody.size()) {
            chunkTimer.stop();
            finishReply();
        }
    }

    void finishReply()
    {
        outBody.clear();
        busy = false;
        if (closeWhenSent) {
            closing = true;
            socket->disconnectFromHost(); // after the write buffer has drained
            return;
        }
        startNext();
    }

    TestServer *server;
    QTcpSocket *socket;
    const int index;
    QByteArray buffer;
    std::deque<Pending> queue;
    bool busy = false;
    bool closing = false;
    bool closeWhenSent = false;
    QByteArray outBody;
    qsizetype outPos = 0;
    int chunkBytes = 0;
    QTimer chunkTimer;
};

// ---- TestServer ----

TestServer::TestServer(Scheme scheme, QObject *parent) : QObject(parent), scheme(scheme)
{
    qRegisterMetaType<RecordedRequest>();
#ifdef Q_OS_LINUX
    // Registered after the sanitizer's own exit hook, so it runs before the leak check.
    static const int registered = std::atexit(waitForNetworkThreads);
    Q_UNUSED(registered);
#endif
    if (scheme == Https)
        certificates = testCertificates();
    auto *l = new Listener;
    l->setParent(this);
    l->onIncoming = [this](qintptr descriptor) { accept(descriptor); };
    listener = l;
    listener->listen(QHostAddress::LocalHost, 0);
}

TestServer::~TestServer() = default;

bool TestServer::isListening() const
{
    return listener->isListening();
}

quint16 TestServer::port() const
{
    return listener->serverPort();
}

QUrl TestServer::baseUrl() const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2")
                    .arg(scheme == Https ? QStringLiteral("https") : QStringLiteral("http"))
                    .arg(port()));
}

QUrl TestServer::url(const QByteArray &target) const
{
    return QUrl(baseUrl().toString() + QString::fromUtf8(target));
}

Route &TestServer::on(const QByteArray &method, const QByteArray &path)
{
    for (const auto &route : routes) {
        if (route->method == method && route->path == path)
            return *route;
    }
    routes.push_back(std::make_unique<Route>());
    routes.back()->method = method;
    routes.back()->path = path;
    return *routes.back();
}

void TestServer::setCertificates(const TestCertificates &c)
{
    certificates = c;
}

RecordedRequest TestServer::lastRequest() const
{
    return recorded.isEmpty() ? RecordedRequest() : recorded.last();
}

bool TestServer::waitForRequests(int n, int timeoutMs)
{
    if (recorded.size() >= n)
        return true;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &TestServer::requestReceived, &loop, [&] {
        if (recorded.size() >= n)
            loop.quit();
    });
    timer.start(timeoutMs);
    loop.exec();
    return recorded.size() >= n;
}

ScriptedReply TestServer::replyFor(const RecordedRequest &request)
{
    const QByteArray path = request.decodedPath();
    for (const auto &route : routes) {
        if ((route->method != "*" && route->method != request.method) || route->path != path)
            continue;
        if (!route->queue.empty()) {
            ScriptedReply r = std::move(route->queue.front());
            route->queue.erase(route->queue.begin());
            return r;
        }
        if (route->handler)
            return route->handler(request);
        if (route->standing)
            return *route->standing;
    }
    return ScriptedReply(404);
}

void TestServer::record(const RecordedRequest &request)
{
    recorded.append(request);
    emit requestReceived(request);
}

void TestServer::accept(qintptr descriptor)
{
    const int index = accepted++;
    QTcpSocket *socket = nullptr;
    if (scheme == Https) {
        auto *ssl = new QSslSocket;
        ssl->setLocalCertificate(certificates.leaf);
        ssl->setPrivateKey(certificates.leafKey);
        ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
        socket = ssl;
    } else {
        socket = new QTcpSocket;
    }
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    new TestConnection(this, socket, index);
    if (auto *ssl = qobject_cast<QSslSocket *>(socket))
        ssl->startServerEncryption();
}
