#include "fakeservice.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QtEndian>

FakeService::FakeService(const QString &serverName) : name(serverName)
{
    thread.start();
    context->moveToThread(&thread);
    QMetaObject::invokeMethod(
        context,
        [this] {
            QLocalServer::removeServer(name);
            auto *server = new QLocalServer(context);
            listening = server->listen(name);
            QObject::connect(server, &QLocalServer::newConnection, context, [this, server] {
                QLocalSocket *socket = server->nextPendingConnection();
                QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
                QObject::connect(
                    socket, &QLocalSocket::readyRead, socket, [this, socket, in = QByteArray()]() mutable {
                        in += socket->readAll();
                        if (in.size() < 20 ||
                            in.size() < 20 + qFromLittleEndian<quint32>(in.constData() + 16))
                            return;
                        QObject::disconnect(socket, &QLocalSocket::readyRead, nullptr, nullptr);
                        const quint64 id = qFromLittleEndian<quint64>(in.constData() + 8);
                        const FakeReply reply = replyFor(
                            {in.left(20), qFromLittleEndian<quint16>(in.constData() + 6), id, in.mid(20)});
                        QByteArray out(24, '\0');
                        uchar *header = reinterpret_cast<uchar *>(out.data());
                        qToLittleEndian(reply.magic, header);
                        qToLittleEndian(reply.version, header + 4);
                        qToLittleEndian(reply.reserved, header + 6);
                        qToLittleEndian(id + quint64(reply.requestIdDelta), header + 8);
                        qToLittleEndian(reply.status, header + 16);
                        qToLittleEndian(reply.announcedLength.value_or(quint32(reply.text.size())),
                                        header + 20);
                        out = reply.kind == FakeReply::Raw      ? reply.text
                              : reply.kind == FakeReply::Answer ? out + reply.text
                                                                : "";
                        auto *timer = new QTimer(socket);
                        QObject::connect(
                            timer, &QTimer::timeout, socket,
                            [socket, timer, out, reply, sent = qsizetype(0)]() mutable {
                                socket->write(out.mid(sent, reply.trickleMs < 0 ? out.size() : 1));
                                socket->flush();
                                if ((sent += reply.trickleMs < 0 ? out.size() : 1) < out.size())
                                    return;
                                timer->stop();
                                if (reply.kind == FakeReply::Raw || reply.kind == FakeReply::Hangup)
                                    socket->disconnectFromServer();
                            });
                        timer->start(qMax(0, reply.trickleMs));
                    });
            });
        },
        Qt::BlockingQueuedConnection);
}

FakeService::~FakeService()
{
    QMetaObject::invokeMethod(
        context, [this] { delete context; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

FakeReply FakeService::replyFor(const ServiceRequestRecord &request)
{
    QMutexLocker lock(&mutex);
    recorded.append(request);
    if (!queued.empty()) {
        const FakeReply reply = queued.front();
        queued.pop_front();
        return reply;
    }
    if (standing)
        return *standing;
    if (request.command != quint16(ServiceCommand::Status))
        accelerating = request.command == quint16(ServiceCommand::Start);
    return FakeReply::state(accelerating ? "accelerating" : "idle");
}
