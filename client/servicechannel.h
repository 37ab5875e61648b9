#pragma once

// The client's side of the control channel to the local acceleration service: one short,
// blocking exchange of a framed request and a framed reply per call.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <optional>

class QLocalSocket;

enum class ServiceCommand : quint16 { Status = 1, Start = 2, Stop = 3 };

struct ServiceReply
{
    bool ok = false;
    QString text;
    QString error;
};

namespace ControlChannel {
inline constexpr char ServerName[] = "DiveDizuvivivid.Control.v1";
inline constexpr quint32 Magic = 0x47414343; // "CCAG" on the wire
inline constexpr quint16 Version = 1;
inline constexpr int WaitMs = 1000;
inline constexpr quint32 MaxReplyPayload = 0x10000;
} // namespace ControlChannel

#pragma pack(push, 1)
struct ControlRequestHeader
{
    quint32 magic;
    quint16 version;
    quint16 command;
    quint64 requestId;
    quint32 payloadLength;
};

struct ControlReplyHeader
{
    quint32 magic;
    quint16 version;
    quint16 reserved;
    quint64 requestId;
    quint32 status;
    quint32 payloadLength;
};
#pragma pack(pop)

static_assert(sizeof(ControlRequestHeader) == 20, "request header is 20 bytes on the wire");
static_assert(offsetof(ControlRequestHeader, version) == 4);
static_assert(offsetof(ControlRequestHeader, command) == 6);
static_assert(offsetof(ControlRequestHeader, requestId) == 8);
static_assert(offsetof(ControlRequestHeader, payloadLength) == 16);
static_assert(sizeof(ControlReplyHeader) == 24, "reply header is 24 bytes on the wire");
static_assert(offsetof(ControlReplyHeader, version) == 4);
static_assert(offsetof(ControlReplyHeader, reserved) == 6);
static_assert(offsetof(ControlReplyHeader, requestId) == 8);
static_assert(offsetof(ControlReplyHeader, status) == 16);
static_assert(offsetof(ControlReplyHeader, payloadLength) == 20);

// Little-endian encoding, whatever the host's byte order.
QByteArray encodeRequestHeader(const ControlRequestHeader &header);
std::optional<ControlReplyHeader> decodeReplyHeader(const QByteArray &bytes);
// Magic, version, the echoed request id and the payload limit.
bool isAcceptableReplyHeader(const ControlReplyHeader &header, quint64 requestId);

bool readExactly(QLocalSocket *socket, char *buffer, qint64 length);

ServiceReply callControlService(ServiceCommand command, const QByteArray &payload);
// The same exchange with a server of another name (tests, side-by-side installs).
ServiceReply callControlService(ServiceCommand command, const QByteArray &payload, const QString &serverName);
