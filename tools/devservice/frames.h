#pragma once

// The control channel's binary frames, as pure functions over byte buffers so that the
// server, the tests and the fuzzer share one implementation.
//
// Request: 20-byte header then the payload.     Reply: 24-byte header then the payload.
//   0 u32 magic 0x47414343                         0 u32 magic 0x47414343
//   4 u16 version 1                                4 u16 version 1
//   6 u16 command (1 Status, 2 Start, 3 Stop)      6 u16 reserved 0
//   8 u64 request id                               8 u64 request id (echoed)
//  16 u32 payload length                          16 u32 status (0 = carried out)
//                                                 20 u32 payload length
// All fields little-endian, no padding.

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

namespace devservice {

inline constexpr quint32 kMagic = 0x47414343u;
inline constexpr quint16 kProtocolVersion = 1;
inline constexpr qsizetype kRequestHeaderSize = 20;
inline constexpr qsizetype kReplyHeaderSize = 24;
inline constexpr quint32 kMaxRequestPayload = 1024u * 1024u;

enum class Command : quint16 {
    Status = 1,
    Start = 2,
    Stop = 3,
};

// Wire name of a command code, "?" for codes outside the protocol.
const char *commandName(quint16 code);

enum class FrameError {
    None,
    BadMagic,
    BadVersion,
    UnknownCommand,
    PayloadTooLarge,
};

// Stable machine-readable code ("bad_magic", ...) used in reply texts and the log.
const char *frameErrorCode(FrameError error);

struct RequestHeader
{
    quint32 magic = 0;
    quint16 version = 0;
    quint16 command = 0;
    quint64 requestId = 0;
    quint32 payloadLength = 0;
};

struct FrameParse
{
    enum class Outcome {
        NeedMore, // every byte so far is acceptable; `needed` bytes make the next step
        Complete, // a whole frame of `frameSize` bytes starts the buffer
        Invalid,  // `error` says why; no later byte can repair it
    };
    Outcome outcome = Outcome::NeedMore;
    FrameError error = FrameError::None;
    RequestHeader header;                  // fields as far as the buffer holds them
    bool requestIdKnown = false;           // the request id field was in the buffer
    qsizetype needed = kRequestHeaderSize; // NeedMore: total buffer size to reach next
    qsizetype frameSize = 0;               // Complete: header plus payload
};

// Judges the start of `buffer` as a request frame. Each header field is checked as soon
// as its bytes are in, so a bad magic is refused after four bytes rather than after a
// time-out. Bytes after a complete frame are not looked at.
FrameParse parseRequestFrame(QByteArrayView buffer);

// The payload of a complete frame.
QByteArrayView requestPayload(QByteArrayView buffer, const FrameParse &parse);

// A reply frame: header (magic, version 1, reserved 0, id, status, length) then payload.
QByteArray encodeReplyFrame(quint64 requestId, quint32 status, QByteArrayView payload);

} // namespace devservice
