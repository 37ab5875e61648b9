#pragma once

// A local acceleration service for tests. It listens on its own thread, because the client's
// exchange blocks the thread that calls it, records every request frame as it arrived and
// answers with scripted replies. With nothing scripted it behaves like a simple service: Start
// reports "accelerating", Stop "idle", Status the state it is in.

#include "servicechannel.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

class QThread;
class QObject;
class QLocalServer;

struct ServiceRequestRecord
{
    QByteArray header; // the 20 header bytes as received
    quint32 magic = 0;
    quint16 version = 0;
    quint16 command = 0;
    quint64 requestId = 0;
    quint32 payloadLength = 0;
    QByteArray payload;
};

struct FakeReply
{
    enum Kind {
        Answer, // a reply frame as configured below
        Silent, // read the request, never answer, keep the connection open
        Hangup, // read the request, close without a byte of reply
        Raw,    // send `raw` as it is, then close
    };
    Kind kind = Answer;
    quint32 status = 0;
    QByteArray text;
    // Header fields that differ from a correct reply.
    std::optional<quint32> magic;
    std::optional<quint16> version;
    qint64 requestIdOffset = 0;             // added to the echoed request id
    std::optional<quint32> announcedLength; // payload length field instead of text's size
    int delayMs = 0;                        // wait before answering
    int trickleMs = -1;                     // >= 0: send one byte at a time, this far apart
    QByteArray raw;

    static FakeReply state(const char *state); // {"state":"<state>"}, status 0
    static FakeReply answer(quint32 status, const QByteArray &text);
    static FakeReply silent();
    static FakeReply hangup();
    static FakeReply rawBytes(const QByteArray &bytes);
};

class FakeService
{
public:
    explicit FakeService(const QString &serverName = QLatin1String(ControlChannel::ServerName));
    ~FakeService();
    FakeService(const FakeService &) = delete;
    FakeService &operator=(const FakeService &) = delete;

    bool isListening() const { return listening; }
    QString serverName() const { return name; }

    void queue(const FakeReply &reply);      // next request takes the oldest queued reply
    void always(const FakeReply &reply);     // every request past the queue
    void setAccelerating(bool accelerating); // state of the built-in behaviour

    QList<ServiceRequestRecord> requests() const;
    int requestCount() const;
    int connectionCount() const;
    void clear();

    // Encodes a reply frame for a request (used by the server thread, handy for tests too).
    static QByteArray encodeReply(const FakeReply &reply, quint64 requestId);

private:
    FakeReply replyFor(const ServiceRequestRecord &request);
    void handleConnection(class QLocalSocket *socket);

    QString name;
    bool listening = false;
    std::unique_ptr<QThread> thread;
    QObject *context = nullptr; // lives in the thread
    QLocalServer *server = nullptr;
    mutable QMutex mutex;
    std::deque<FakeReply> queued;
    std::optional<FakeReply> standing;
    bool accelerating = false;
    QList<ServiceRequestRecord> recorded;
    int connections = 0;
};
