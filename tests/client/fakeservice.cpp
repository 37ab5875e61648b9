#include "fakeservice.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QMutexLocker>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QtEndian>

namespace {

// Large enough for any payload a test sends; a bound so that a broken frame cannot eat memory.
constexpr quint32 MaxRequestPayload = 16 * 1024 * 1024;

void sendTrickle(QPointer<QLocalSocket> socket, QByteArray bytes, int intervalMs)
{
    if (!socket || socket->state() != QLocalSocket::ConnectedState)
        return;
    if (bytes.isEmpty()) {
        socket->flush();
        return;
    }
    socket->write(bytes.left(1));
    socket->flush();
    QTimer::singleShot(intervalMs, socket,
                       [socket, rest = bytes.mid(1), intervalMs] { sendTrickle(socket, rest, intervalMs); });
}

} // namespace

FakeReply FakeReply::state(const char *state)
{
    return answer(0, QByteArray("{\"state\":\"") + state + "\"}");
}

FakeReply FakeReply::answer(quint32 status, const QByteArray &text)
{
    FakeReply reply;
    reply.status = status;
    reply.text = text;
    return reply;
}

FakeReply FakeReply::silent()
{
    FakeReply reply;
    reply.kind = Silent;
    return reply;
}

FakeReply FakeReply::hangup()
{
    FakeReply reply;
    reply.kind = Hangup;
    return reply;
}

FakeReply FakeReply::rawBytes(const QByteArray &bytes)
{
    FakeReply reply;
    reply.kind = Raw;
    reply.raw = bytes;
    return reply;
}

QByteArray FakeService::encodeReply(const FakeReply &reply, quint64 requestId)
{
    QByteArray frame(24, '\0');
    uchar *out = reinterpret_cast<uchar *>(frame.data());
    qToLittleEndian<quint32>(reply.magic.value_or(ControlChannel::Magic), out);
    qToLittleEndian<quint16>(reply.version.value_or(ControlChannel::Version), out + 4);
    qToLittleEndian<quint16>(0, out + 6);
    qToLittleEndian<quint64>(requestId + quint64(reply.requestIdOffset), out + 8);
    qToLittleEndian<quint32>(reply.status, out + 16);
    qToLittleEndian<quint32>(reply.announcedLength.value_or(quint32(reply.text.size())), out + 20);
    return frame + reply.text;
}

FakeService::FakeService(const QString &serverName) : name(serverName), thread(std::make_unique<QThread>())
{
    thread->start();
    context = new QObject;
    context->moveToThread(thread.get());
    QMetaObject::invokeMethod(
        context,
        [this] {
            QLocalServer::removeServer(name);
            server = new QLocalServer(context);
            listening = server->listen(name);
            QObject::connect(server, &QLocalServer::newConnection, context, [this] {
                while (QLocalSocket *socket = server->nextPendingConnection())
                    handleConnection(socket);
            });
        },
        Qt::BlockingQueuedConnection);
}

FakeService::~FakeService()
{
    QMetaObject::invokeMethod(
        context, [this] { delete context; }, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
}

void FakeService::handleConnection(QLocalSocket *socket)
{
    {
        QMutexLocker lock(&mutex);
        ++connections;
    }
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    auto buffer = std::make_shared<QByteArray>();
    auto answered = std::make_shared<bool>(false);
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket, buffer, answered] {
        *buffer += socket->readAll();
        if (*answered || buffer->size() < 20)
            return;
        const uchar *in = reinterpret_cast<const uchar *>(buffer->constData());
        ServiceRequestRecord request;
        request.header = buffer->left(20);
        request.magic = qFromLittleEndian<quint32>(in);
        request.version = qFromLittleEndian<quint16>(in + 4);
        request.command = qFromLittleEndian<quint16>(in + 6);
        request.requestId = qFromLittleEndian<quint64>(in + 8);
        request.payloadLength = qFromLittleEndian<quint32>(in + 16);
        if (request.payloadLength > MaxRequestPayload) {
            socket->abort();
            return;
        }
        if (buffer->size() < 20 + qsizetype(request.payloadLength))
            return;
        request.payload = buffer->mid(20, request.payloadLength);
        *answered = true;

        const FakeReply reply = replyFor(request);
        QPointer<QLocalSocket> guarded(socket);
        auto act = [guarded, reply, id = request.requestId] {
            if (!guarded)
                return;
            switch (reply.kind) {
            case FakeReply::Silent:
                return;
            case FakeReply::Hangup:
                guarded->disconnectFromServer();
                return;
            case FakeReply::Raw:
                guarded->write(reply.raw);
                guarded->flush();
                guarded->disconnectFromServer();
                return;
            case FakeReply::Answer:
                break;
            }
            const QByteArray frame = encodeReply(reply, id);
            if (reply.trickleMs >= 0) {
                sendTrickle(guarded, frame, reply.trickleMs);
            } else {
                guarded->write(frame);
                guarded->flush();
            }
        };
        if (reply.delayMs > 0)
            QTimer::singleShot(reply.delayMs, socket, act);
        else
            act();
    });
}

FakeReply FakeService::replyFor(const ServiceRequestRecord &request)
{
    QMutexLocker lock(&mutex);
    recorded.append(request);
    if (!queued.empty()) {
        FakeReply reply = queued.front();
        queued.pop_front();
        return reply;
    }
    if (standing)
        return *standing;
    if (request.command == quint16(ServiceCommand::Start))
        accelerating = true;
    else if (request.command == quint16(ServiceCommand::Stop))
        accelerating = false;
    return FakeReply::state(accelerating ? "accelerating" : "idle");
}

void FakeService::queue(const FakeReply &reply)
{
    QMutexLocker lock(&mutex);
    queued.push_back(reply);
}

void FakeService::always(const FakeReply &reply)
{
    QMutexLocker lock(&mutex);
    standing = reply;
}

void FakeService::setAccelerating(bool value)
{
    QMutexLocker lock(&mutex);
    accelerating = value;
}

QList<ServiceRequestRecord> FakeService::requests() const
{
    QMutexLocker lock(&mutex);
    return recorded;
}

int FakeService::requestCount() const
{
    QMutexLocker lock(&mutex);
    return int(recorded.size());
}

int FakeService::connectionCount() const
{
    QMutexLocker lock(&mutex);
    return connections;
}

void FakeService::clear()
{
    QMutexLocker lock(&mutex);
    recorded.clear();
    queued.clear();
    standing.reset();
}
