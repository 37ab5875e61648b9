#include "frames.h"

#include <QtEndian>

namespace devservice {

namespace {

template <typename T> T readLe(QByteArrayView buffer, qsizetype offset)
{
    return qFromLittleEndian<T>(buffer.data() + offset);
}

template <typename T> void appendLe(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian<T>(value, bytes);
    out.append(bytes, sizeof(T));
}

} // namespace

const char *commandName(quint16 code)
{
    switch (code) {
    case quint16(Command::Status):
        return "Status";
    case quint16(Command::Start):
        return "Start";
    case quint16(Command::Stop):
        return "Stop";
    default:
        return "?";
    }
}

const char *frameErrorCode(FrameError error)
{
    switch (error) {
    case FrameError::None:
        return "none";
    case FrameError::BadMagic:
        return "bad_magic";
    case FrameError::BadVersion:
        return "bad_version";
    case FrameError::UnknownCommand:
        return "unknown_command";
    case FrameError::PayloadTooLarge:
        return "payload_too_large";
    }
    return "?";
}

FrameParse parseRequestFrame(QByteArrayView buffer)
{
    FrameParse parse;
    const qsizetype size = buffer.size();
    const auto invalid = [&parse](FrameError error) {
        parse.outcome = FrameParse::Outcome::Invalid;
        parse.error = error;
        parse.needed = 0;
        return parse;
    };
    const auto needMore = [&parse](qsizetype needed) {
        parse.outcome = FrameParse::Outcome::NeedMore;
        parse.needed = needed;
        return parse;
    };

    if (size >= 8)
        parse.header.command = readLe<quint16>(buffer, 6);
    if (size >= 16) {
        parse.header.requestId = readLe<quint64>(buffer, 8);
        parse.requestIdKnown = true;
    }

    if (size < 4)
        return needMore(4);
    parse.header.magic = readLe<quint32>(buffer, 0);
    if (parse.header.magic != kMagic)
        return invalid(FrameError::BadMagic);

    if (size < 6)
        return needMore(6);
    parse.header.version = readLe<quint16>(buffer, 4);
    if (parse.header.version != kProtocolVersion)
        return invalid(FrameError::BadVersion);

    if (size < 8)
        return needMore(8);
    if (parse.header.command < quint16(Command::Status) || parse.header.command > quint16(Command::Stop))
        return invalid(FrameError::UnknownCommand);

    if (size < kRequestHeaderSize)
        return needMore(kRequestHeaderSize);
    parse.header.payloadLength = readLe<quint32>(buffer, 16);
    if (parse.header.payloadLength > kMaxRequestPayload)
        return invalid(FrameError::PayloadTooLarge);

    const qsizetype frameSize = kRequestHeaderSize + qsizetype(parse.header.payloadLength);
    if (size < frameSize)
        return needMore(frameSize);
    parse.outcome = FrameParse::Outcome::Complete;
    parse.needed = frameSize;
    parse.frameSize = frameSize;
    return parse;
}

QByteArrayView requestPayload(QByteArrayView buffer, const FrameParse &parse)
{
    if (parse.outcome != FrameParse::Outcome::Complete || buffer.size() < parse.frameSize)
        return {};
    return buffer.sliced(kRequestHeaderSize, parse.frameSize - kRequestHeaderSize);
}

QByteArray encodeReplyFrame(quint64 requestId, quint32 status, QByteArrayView payload)
{
    QByteArray out;
    out.reserve(kReplyHeaderSize + payload.size());
    appendLe<quint32>(out, kMagic);
    appendLe<quint16>(out, kProtocolVersion);
    appendLe<quint16>(out, 0);
    appendLe<quint64>(out, requestId);
    appendLe<quint32>(out, status);
    appendLe<quint32>(out, quint32(payload.size()));
    out.append(payload);
    return out;
}

} // namespace devservice
