// A local acceleration service for tests, on a thread of its own that blocks on its sockets, as the
// client's exchange blocks the thread that calls it. It records each request frame and answers it as
// scripted; with nothing scripted, Start reports "accelerating", Stop "idle" and Status the state it
// is in. One request per connection.
#pragma once

#include "servicechannel.h"

#include <QtNetwork>

#include <deque>

struct ServiceRequestRecord
{
    QByteArray header; // the 20 bytes as received
    quint16 command;
    QByteArray payload;
};

struct FakeReply
{
    quint32 status;
    QByteArray text;
    bool raw;                          // `text` alone, then the hang-up
    std::function<void(uchar *)> edit; // changes the 24-byte reply header before it goes out
    int trickleMs = -1;                // >= 0: one byte at a time, this far apart

    FakeReply(quint32 status = 0, QByteArray text = {}, bool raw = false)
        : status(status), text(std::move(text)), raw(raw)
    {}
};

class FakeService
{
public:
    FakeService()
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
                        {in.left(20), qFromLittleEndian<quint16>(in.constData() + 6), in.mid(20)});
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
    ~FakeService()
    {
        stopping = true;
        thread->wait();
    }

    void queue(const FakeReply &reply)
    {
        const QMutexLocker lock(&mutex);
        queued.push_back(reply);
    }
    void setAccelerating(bool value)
    {
        const QMutexLocker lock(&mutex);
        accelerating = value;
    }
    QList<ServiceRequestRecord> requests() const
    {
        const QMutexLocker lock(&mutex);
        return recorded;
    }

private:
    std::atomic<bool> stopping = false;
    std::unique_ptr<QThread> thread;
    mutable QMutex mutex;
    std::deque<FakeReply> queued;
    bool accelerating = false;
    QList<ServiceRequestRecord> recorded;
};
