#include "servicechannel.h"

#include "serveridentity.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QtEndian>

#include <memory>

namespace {

QString channelText(const char *source)
{
    return QCoreApplication::translate("ServiceChannel", source);
}

// Each request owns its connection; it is closed and destroyed on every way out.
struct SocketCloser
{
    void operator()(QLocalSocket *socket) const
    {
        socket->close();
        delete socket;
    }
};

ServiceReply failure(const char *message, const QString &text = QString())
{
    ServiceReply reply;
    reply.text = text;
    reply.error = channelText(message);
    return reply;
}

// Services run on accounts of their own on Windows; a development service runs as root or as
// the client's user.
bool servedByTrustedAccount(const QLocalSocket &socket)
{
    const qintptr descriptor = socket.socketDescriptor();
#ifdef Q_OS_WIN
    return pipeServerIsService(reinterpret_cast<void *>(descriptor));
#else
    return descriptor >= 0 && socketPeerIsRootOrSelf(int(descriptor));
#endif
}

} // namespace

QByteArray encodeRequestHeader(const ControlRequestHeader &header)
{
    QByteArray bytes(sizeof(ControlRequestHeader), '\0');
    uchar *out = reinterpret_cast<uchar *>(bytes.data());
    qToLittleEndian<quint32>(header.magic, out + offsetof(ControlRequestHeader, magic));
    qToLittleEndian<quint16>(header.version, out + offsetof(ControlRequestHeader, version));
    qToLittleEndian<quint16>(header.command, out + offsetof(ControlRequestHeader, command));
    qToLittleEndian<quint64>(header.requestId, out + offsetof(ControlRequestHeader, requestId));
    qToLittleEndian<quint32>(header.payloadLength, out + offsetof(ControlRequestHeader, payloadLength));
    return bytes;
}

std::optional<ControlReplyHeader> decodeReplyHeader(const QByteArray &bytes)
{
    if (bytes.size() < qsizetype(sizeof(ControlReplyHeader)))
        return std::nullopt;
    const uchar *in = reinterpret_cast<const uchar *>(bytes.constData());
    ControlReplyHeader header;
    header.magic = qFromLittleEndian<quint32>(in + offsetof(ControlReplyHeader, magic));
    header.version = qFromLittleEndian<quint16>(in + offsetof(ControlReplyHeader, version));
    header.reserved = qFromLittleEndian<quint16>(in + offsetof(ControlReplyHeader, reserved));
    header.requestId = qFromLittleEndian<quint64>(in + offsetof(ControlReplyHeader, requestId));
    header.status = qFromLittleEndian<quint32>(in + offsetof(ControlReplyHeader, status));
    header.payloadLength = qFromLittleEndian<quint32>(in + offsetof(ControlReplyHeader, payloadLength));
    return header;
}

bool isAcceptableReplyHeader(const ControlReplyHeader &header, quint64 requestId)
{
    return header.magic == ControlChannel::Magic && header.version == ControlChannel::Version &&
           header.requestId == requestId && header.payloadLength <= ControlChannel::MaxReplyPayload;
}

bool readExactly(QLocalSocket *socket, char *buffer, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        // Every arrival restarts the wait, so a slow but steady reply still gets through.
        if (socket->bytesAvailable() <= 0 && !socket->waitForReadyRead(ControlChannel::WaitMs))
            return false;
        const qint64 got = socket->read(buffer + done, length - done);
        if (got <= 0)
            return false;
        done += got;
    }
    return true;
}

ServiceReply callControlService(ServiceCommand command, const QByteArray &payload)
{
    return callControlService(command, payload, QLatin1String(ControlChannel::ServerName));
}

ServiceReply callControlService(ServiceCommand command, const QByteArray &payload, const QString &serverName)
{
    std::unique_ptr<QLocalSocket, SocketCloser> socket(new QLocalSocket);
    socket->connectToServer(serverName, QIODevice::ReadWrite);
    if (!socket->waitForConnected(ControlChannel::WaitMs))
        return failure("后台加速服务未运行");
    // Anyone may create a server of this name; the request (a Start carries the tunnel's private
    // key) leaves only for one on a trusted account.
    if (!servedByTrustedAccount(*socket))
        return failure("本地加速服务身份验证失败");

    ControlRequestHeader request;
    request.magic = ControlChannel::Magic;
    request.version = ControlChannel::Version;
    request.command = static_cast<quint16>(command);
    request.requestId = static_cast<quint64>(QDateTime::currentMSecsSinceEpoch());
    request.payloadLength = static_cast<quint32>(payload.size());

    const QByteArray header = encodeRequestHeader(request);
    if (socket->write(header) != header.size())
        return failure("发送服务请求失败");
    if (!payload.isEmpty() && socket->write(payload) != payload.size())
        return failure("发送服务请求失败");
    // One wait returns as soon as some bytes went out; a large request leaves in several pieces,
    // and all of them must be out within the one limit.
    const QDeadlineTimer writeDeadline(ControlChannel::WaitMs);
    while (socket->bytesToWrite() > 0) {
        const qint64 remainingMs = writeDeadline.remainingTime();
        if (remainingMs <= 0 || !socket->waitForBytesWritten(int(remainingMs)))
            return failure("发送服务请求失败");
    }

    QByteArray replyBytes(sizeof(ControlReplyHeader), '\0');
    if (!readExactly(socket.get(), replyBytes.data(), replyBytes.size()))
        return failure("服务响应格式不正确");
    const std::optional<ControlReplyHeader> reply = decodeReplyHeader(replyBytes);
    if (!reply || !isAcceptableReplyHeader(*reply, request.requestId))
        return failure("服务响应格式不正确");

    QByteArray replyPayload(qsizetype(reply->payloadLength), '\0');
    if (!replyPayload.isEmpty() && !readExactly(socket.get(), replyPayload.data(), replyPayload.size()))
        return failure("读取服务响应失败");

    const QString text = QString::fromUtf8(replyPayload);
    if (reply->status != 0)
        return failure("服务拒绝了请求", text);

    ServiceReply result;
    result.ok = true;
    result.text = text;
    return result;
}
