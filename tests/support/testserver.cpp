#include "testserver.h"

namespace {

// A throwaway self-signed certificate for 127.0.0.1, its own CA, made once per process.
const std::pair<QSslCertificate, QSslKey> &testCertificate()
{
    static const std::pair<QSslCertificate, QSslKey> made = [] {
        QProcess openssl;
        openssl.start("openssl",
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                       "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                       "-days", "2", "-keyout", "-", "-out", "-"});
        openssl.waitForFinished();
        const QByteArray pem = openssl.readAllStandardOutput();
        const std::pair pair(QSslCertificate(pem.mid(pem.indexOf("-----BEGIN CERT"))),
                             QSslKey(pem, QSsl::Ec));
        if (pair.first.isNull() || pair.second.isNull())
            qFatal("openssl made no test certificate");
        return pair;
    }();
    return made;
}

} // namespace

TestServer::TestServer(bool https)
    : https(https), listener(https ? new QSslServer(this) : new QTcpServer(this))
{
    if (auto *tls = qobject_cast<QSslServer *>(listener)) {
        // Every network manager of the process trusts it from now on.
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.addCaCertificate(testCertificate().first);
        QSslConfiguration::setDefaultConfiguration(config);
        config.setLocalCertificate(testCertificate().first);
        config.setPrivateKey(testCertificate().second);
        tls->setSslConfiguration(config);
    }
    connect(listener, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket *socket = listener->nextPendingConnection())
            serve(socket);
    });
    if (!listener->listen(QHostAddress::LocalHost))
        qFatal("the test server cannot listen");
}

void TestServer::serve(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, in = QByteArray()]() mutable {
        in += socket->readAll();
        const qsizetype headEnd = in.indexOf("\r\n\r\n");
        const QList<QByteArray> lines = in.left(headEnd).split('\n');
        RecordedRequest request{
            lines[0].split(' ').value(0), lines[0].split(' ').value(1), in.mid(headEnd + 4), {}};
        for (const QByteArray &line : lines.mid(1))
            request.headers[line.left(line.indexOf(':')).toLower()] =
                line.mid(line.indexOf(':') + 1).trimmed();
        if (headEnd < 0 || request.body.size() < request.header("Content-Length").toLongLong())
            return;
        disconnect(socket, &QTcpSocket::readyRead, this, nullptr); // one request per connection
        requests.append(request); // first, so that a handler may look at the requests so far
        const QByteArray path = QByteArray::fromPercentEncoding(request.path());
        Route &exact = routes[{request.method, path}]; // else a route for any method
        Route &route = exact.queue.empty() && !exact.standing ? routes[{"*", path}] : exact;
        const ScriptedReply reply = !route.queue.empty() ? route.queue.front()
                                    : route.standing     ? route.standing(request)
                                                         : ScriptedReply(404);
        if (!route.queue.empty())
            route.queue.pop_front();
        QTimer::singleShot(reply.delayMs, socket, [socket, reply] {
            if (!reply.status)
                return socket->disconnectFromHost();
            QByteArray head =
                "HTTP/1.1 " + QByteArray::number(reply.status) + " Scripted\r\nConnection: close\r\n";
            if (reply.withLength)
                head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
            if (!reply.contentType.isEmpty())
                head += "Content-Type: " + reply.contentType + "\r\n";
            if (!reply.location.isEmpty())
                head += "Location: " + reply.location + "\r\n";
            socket->write(head + "\r\n");
            // The body in pieces a timer tick apart; the connection closes after the last.
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [socket, timer, reply, sent = qsizetype(0)]() mutable {
                const qsizetype piece = reply.chunkBytes > 0 ? reply.chunkBytes : reply.body.size() + 1;
                socket->write(reply.body.mid(sent, piece));
                if ((sent += piece) >= reply.body.size())
                    socket->disconnectFromHost(), timer->stop();
                timer->setInterval(reply.chunkMs);
            });
            timer->start(0);
        });
    });
    if (socket->bytesAvailable() > 0) // a request that arrived with the end of the TLS handshake
        emit socket->readyRead();
}
