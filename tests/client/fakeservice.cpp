#include "fakeservice.h"

#include <QtNetwork>

FakeService::FakeService()
{
    QSemaphore ready;
    thread.reset(QThread::create([this, &ready] {
        QLocalServer::removeServer(ControlChannel::ServerName);
        QLocalServer server;
        if (!server.listen(ControlChannel::ServerName))
            qFatal("the fake service cannot listen");
        ready.release();
        std::vector<std::unique_ptr<QLocalSocket>> open; // answered or not: the client closes them
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
            FakeReply reply;
            {
                const QMutexLocker lock(&mutex);
                recorded.append(
                    {in.left(20), qFromLittleEndian<quint16>(in.constData() + 6), id, in.mid(20)});
                if (!queued.empty()) {
                    reply = queued.front();
                    queued.pop_front();
                } else {
                    const quint16 command = recorded.last().command;
                    if (command != quint16(ServiceCommand::Status))
                        accelerating = command == quint16(ServiceCommand::Start);
                    reply.text = accelerating ? R"({"state":"accelerating"})" : R"({"state":"idle"})";
                }
            }
            QByteArray out(24, '\0');
            auto *header = reinterpret_cast<uchar *>(out.data());
            qToLittleEndian(ControlChannel::Magic, header);
            qToLittleEndian(ControlChannel::Version, header + 4);
            qToLittleEndian(id, header + 8);
            qToLittleEndian(reply.status, header + 16);
            qToLittleEndian(quint32(reply.text.size()), header + 20);
            if (reply.edit)
                reply.edit(header);
            out = reply.raw ? reply.text : out + reply.text;
            const qsizetype step = reply.trickleMs < 0 ? out.size() : 1;
            for (qsizetype sent = 0; sent < out.size(); sent += step) {
                QThread::msleep(qMax(0, reply.trickleMs));
                socket->write(out.mid(sent, step));
                socket->waitForBytesWritten(5000);
            }
            if (reply.raw)
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
