#include "fakeservice.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QSemaphore>
#include <QtEndian>

FakeService::FakeService(const QString &serverName) : name(serverName)
{
    QSemaphore ready;
    thread.reset(QThread::create([this, &ready] {
        QLocalServer::removeServer(name);
        QLocalServer server;
        listening = server.listen(name);
        ready.release();
        std::vector<std::unique_ptr<QLocalSocket>> open; // answered or silent: the client closes them
        while (!stopping) {
            if (!server.waitForNewConnection(10))
                continue;
            std::unique_ptr<QLocalSocket> socket(server.nextPendingConnection());
            QByteArray in;
            while ((in.size() < 20 || in.size() < 20 + qFromLittleEndian<quint32>(in.constData() + 16)) &&
                   socket->waitForReadyRead(5000))
                in += socket->readAll();
            if (in.size() < 20)
                continue;
            const quint64 id = qFromLittleEndian<quint64>(in.constData() + 8);
            const FakeReply reply =
                replyFor({in.left(20), qFromLittleEndian<quint16>(in.constData() + 6), id, in.mid(20)});
            QByteArray out(24, '\0');
            auto *header = reinterpret_cast<uchar *>(out.data());
            qToLittleEndian(ControlChannel::Magic, header);
            qToLittleEndian(ControlChannel::Version, header + 4);
            qToLittleEndian(id, header + 8);
            qToLittleEndian(reply.status, header + 16);
            qToLittleEndian(quint32(reply.text.size()), header + 20);
            if (reply.edit)
                reply.edit(header);
            out = reply.kind == FakeReply::Raw      ? reply.text
                  : reply.kind == FakeReply::Answer ? out + reply.text
                                                    : "";
            for (qsizetype sent = 0; sent < out.size(); sent += reply.trickleMs < 0 ? out.size() : 1) {
                QThread::msleep(qMax(0, reply.trickleMs));
                socket->write(out.mid(sent, reply.trickleMs < 0 ? out.size() : 1));
                socket->waitForBytesWritten(5000);
            }
            if (reply.kind == FakeReply::Raw || reply.kind == FakeReply::Hangup)
                socket->disconnectFromServer();
            open.push_back(std::move(socket));
        }
    }));
    thread->start();
    ready.acquire();
}

FakeService::~FakeService()
{
    stopping = true;
    thread->wait();
}

FakeReply FakeService::replyFor(const ServiceRequestRecord &request)
{
    const QMutexLocker lock(&mutex);
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
