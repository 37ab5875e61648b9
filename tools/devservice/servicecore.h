#pragma once

// What the development acceleration service does with a request, kept free of sockets and
// timers: the state (idle or accelerating), the Start payload check and the reply texts.

#include "frames.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace devservice {

// Reply status values of this service. 0 means carried out; the client only tells 0 from the rest.
enum ReplyStatus : quint32 {
    StatusOk = 0,
    StatusBadMagic = 1,
    StatusBadVersion = 2,
    StatusUnknownCommand = 3,
    StatusPayloadTooLarge = 4,
    StatusIncompleteFrame = 5,
    StatusUnexpectedPayload = 6,
    StatusInvalidStartPayload = 7,
};

// What a running (simulated) tunnel holds. The private key is checked and then dropped:
// nothing here ever carries it back out.
struct TunnelConfig
{
    QString sessionId;
    QString routeMode; // empty when the payload had none
    int gameProcessCount = 0;
    QString egressIp;         // empty when the payload had none
    QString rulesEnvironment; // empty when the payload had none
};

struct StartCheck
{
    bool ok = false;
    const char *error = ""; // stable code, e.g. "invalid_private_key"
    QString message;        // Chinese text for the user
    TunnelConfig config;
};

// A Start payload must be a JSON object with a non-empty string "session_id" and a
// "private_key" that is canonical standard base64 of exactly 32 bytes. "route_mode" (a
// string) and "game_processes" (an array) are optional but must have those types.
StartCheck checkStartPayload(QByteArrayView payload);

struct Outcome
{
    quint32 status = StatusOk;
    QByteArray text;         // compact JSON reply payload
    const char *error = "";  // empty on success
    bool closeAfter = false; // refused requests end the connection
    QString replacedSession; // Start while accelerating: the session it replaced
};

class ServiceCore
{
public:
    // A complete, well-formed frame's command and payload.
    Outcome handleRequest(quint16 command, QByteArrayView payload);
    // A frame refused by the parser.
    Outcome frameRefused(FrameError error) const;
    // A frame that did not complete in time.
    Outcome frameIncomplete() const;

    bool accelerating() const { return accelerating_; }
    const TunnelConfig &tunnel() const { return tunnel_; }

    // {"state":"idle"} or {"state":"accelerating", ...what the tunnel holds}.
    QByteArray stateText() const;

private:
    Outcome refused(quint32 status, const char *error, const QString &message) const;

    bool accelerating_ = false;
    TunnelConfig tunnel_;
};

} // namespace devservice
