#include "testserver.h"

#include <QProcess>
#include <QSslServer>
#include <QTimer>
#include <QtCore/qtestsupport_core.h>

std::optional<QByteArray> RecordedRequest::find(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

const TestCertificates &testCertificates()
{
    static const TestCertificates certificates = [] {
        QProcess openssl;
        openssl.start("openssl",
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                       "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                       "-days", "2", "-keyout", "-", "-out", "-"});
        openssl.waitForFinished();
        const QByteArray pem = openssl.readAllStandardOutput();
        const TestCertificates made{QSslCertificate(pem.mid(pem.indexOf("-----BEGIN CERT"))),
                                    QSslKey(pem, QSsl::Ec)};
        if (made.ca.isNull() || made.key.isNull())
            qFatal("openssl made no test certificate");
        return made;
    }();
    return certificates;
}

void trustTestCa()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificate(testCertificates().ca);
    QSslConfiguration::setDefaultConfiguration(config);
}

TestServer::TestServer(Scheme scheme)
    : scheme(scheme), listener(scheme ? new QSslServer(this) : new QTcpServer(this))
{
    if (auto *tls = qobject_cast<QSslServer *>(listener)) {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificate(testCertificates().ca);
        config.setPrivateKey(testCertificates().key);
        tls->setSslConfiguration(config);
    }
    connect(listener, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket *socket = listener->nextPendingConnection())
            serve(socket);
    });
    listener->listen(QHostAddress::LocalHost);
}

bool TestServer::waitForRequests(int n, int timeoutMs)
{
    return QTest::qWaitFor([&] { return recorded.size() >= n; }, timeoutMs);
}

void TestServer::serve(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, in = QByteArray()]() mutable {
        in += socket->readAll();
        const qsizetype headEnd = in.indexOf("\r\n\r\n");
        QList<QByteArray> lines = in.left(headEnd).replace("\r\n", "\n").split('\n');
        RecordedRequest request{
            lines[0].split(' ').value(0), lines[0].split(' ').value(1), {}, in.mid(headEnd + 4)};
        for (const QByteArray &line : lines.mid(1)) {
            qsizetype start = line.indexOf(':') + 1;
            while (start < line.size() && line[start] == ' ')
                ++start;
            request.headers.append({line.left(line.indexOf(':')), line.mid(start)});
        }
        if (headEnd < 0 || request.body.size() < request.header("Content-Length").toLongLong())
            return;
        disconnect(socket, &QTcpSocket::readyRead, this, nullptr); // one request per connection
        recorded.append(request); // first, so that a handler may look at the requests so far
        ScriptedReply reply(404);
        for (auto &[key, route] : routes) {
            if ((key.first == "*" || key.first == request.method) && key.second == request.decodedPath() &&
                (!route.queue.empty() || route.standing)) {
                reply = route.queue.empty() ? route.standing(request) : route.queue.front();
                if (!route.queue.empty())
                    route.queue.pop_front();
                break;
            }
        }
        QTimer::singleShot(reply.delayMs, socket, [socket, reply] {
            if (reply.action != ScriptedReply::Answer)
                return reply.action == ScriptedReply::Close ? socket->disconnectFromHost() : void();
            HeaderList headers;
            if (!reply.contentType.isEmpty())
                headers.prepend({"Content-Type", reply.contentType});
            if (reply.announcedLength.value_or(0) >= 0)
                headers.prepend({"Content-Length",
                                 QByteArray::number(reply.announcedLength.value_or(reply.body.size()))});
            QByteArray head =
                "HTTP/1.1 " + QByteArray::number(reply.status) + " Scripted\r\nConnection: close\r\n";
            for (const auto &[name, value] : headers)
                head += name + ": " + value + "\r\n";
            socket->write(head + "\r\n");
            // The body in pieces a timer tick apart; the connection closes after the last.
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [socket, timer, reply, sent = qsizetype(0)]() mutable {
                const qsizetype piece = reply.chunkBytes > 0 ? reply.chunkBytes : reply.body.size() + 1;
                socket->write(reply.body.mid(sent, piece));
                if ((sent += piece) >= reply.body.size())
                    socket->disconnectFromHost(), timer->stop();
                timer->setInterval(reply.chunkIntervalMs);
            });
            timer->start(0);
        });
    });
    if (socket->bytesAvailable() > 0) // a request that arrived with the end of the TLS handshake
        emit socket->readyRead();
}
