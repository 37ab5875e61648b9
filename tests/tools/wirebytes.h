#pragma once

// Frame bytes for the tests, written out byte by byte so that they do not lean on the code
// under test to get the layout right.

#include <QByteArray>
#include <QtGlobal>

namespace wire {

inline void putLe(QByteArray &out, quint64 value, int width)
{
    for (int i = 0; i < width; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

inline quint64 getLe(const QByteArray &in, int offset, int width)
{
    quint64 value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | quint8(in.at(offset + i));
    return value;
}

constexpr quint32 kMagic = 0x47414343u;

inline QByteArray requestHeader(quint16 command, quint64 requestId, quint32 length, quint32 magic = kMagic,
                                quint16 version = 1)
{
    QByteArray out;
    putLe(out, magic, 4);
    putLe(out, version, 2);
    putLe(out, command, 2);
    putLe(out, requestId, 8);
    putLe(out, length, 4);
    return out;
}

inline QByteArray request(quint16 command, quint64 requestId, const QByteArray &payload = {})
{
    return requestHeader(command, requestId, quint32(payload.size())) + payload;
}

struct Reply
{
    quint32 magic = 0;
    quint16 version = 0;
    quint16 reserved = 0;
    quint64 requestId = 0;
    quint32 status = 0;
    quint32 length = 0;
    QByteArray payload; // what followed the header, however much that was
};

// Splits reply bytes at the 24-byte header; the caller checks there were at least 24.
inline Reply splitReply(const QByteArray &bytes)
{
    Reply reply;
    reply.magic = quint32(getLe(bytes, 0, 4));
    reply.version = quint16(getLe(bytes, 4, 2));
    reply.reserved = quint16(getLe(bytes, 6, 2));
    reply.requestId = getLe(bytes, 8, 8);
    reply.status = quint32(getLe(bytes, 16, 4));
    reply.length = quint32(getLe(bytes, 20, 4));
    reply.payload = bytes.mid(24);
    return reply;
}

} // namespace wire
