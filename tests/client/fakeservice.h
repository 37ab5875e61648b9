// A local acceleration service for tests, on its own thread because the client's exchange blocks
// the thread that calls it. It records each request frame and answers it as scripted; with nothing
// scripted, Start reports "accelerating", Stop "idle" and Status the state it is in. One request per
// connection.
#pragma once

#include "servicechannel.h"

#include <QList>
#include <QMutex>
#include <QThread>

#include <deque>
#include <optional>

struct ServiceRequestRecord
{
    QByteArray header; // the 20 bytes as received
    quint16 command = 0;
    quint64 requestId = 0;
    QByteArray payload;
};

struct FakeReply
{
    enum Kind { Answer, Silent, Hangup, Raw } kind = Answer;
    quint32 status = 0;
    QByteArray text; // Raw: the bytes sent before hanging up
    quint32 magic = ControlChannel::Magic;
    quint16 version = ControlChannel::Version, reserved = 0;
    qint64 requestIdDelta = 0;
    std::optional<quint32> announcedLength;
    int trickleMs = -1; // >= 0: one byte at a time, this far apart

    explicit FakeReply(Kind kind = Answer, quint32 status = 0, QByteArray text = {})
        : kind(kind), status(status), text(std::move(text))
    {}
    static FakeReply state(const char *state)
    {
        return answer(0, "{\"state\":\"" + QByteArray(state) + "\"}");
    }
    static FakeReply answer(quint32 status, const QByteArray &text)
    {
        return FakeReply(Answer, status, text);
    }
    static FakeReply silent() { return FakeReply(Silent); }
    static FakeReply hangup() { return FakeReply(Hangup); }
    static FakeReply rawBytes(const QByteArray &bytes) { return FakeReply(Raw, 0, bytes); }
};

class FakeService
{
public:
    explicit FakeService(const QString &serverName = QLatin1String(ControlChannel::ServerName));
    ~FakeService();

    bool isListening() const { return listening; }
    QString serverName() const { return name; }
    void queue(const FakeReply &reply)
    {
        const QMutexLocker lock(&mutex);
        queued.push_back(reply);
    }
    void always(const FakeReply &reply)
    {
        const QMutexLocker lock(&mutex);
        standing = reply;
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
    int requestCount() const { return int(requests().size()); }
    void clear()
    {
        const QMutexLocker lock(&mutex);
        recorded.clear(), queued.clear(), standing.reset();
    }

private:
    FakeReply replyFor(const ServiceRequestRecord &request);

    QString name;
    bool listening = false;
    QThread thread;
    QObject *context = new QObject; // lives in the thread
    mutable QMutex mutex;
    std::deque<FakeReply> queued;
    std::optional<FakeReply> standing;
    bool accelerating = false;
    QList<ServiceRequestRecord> recorded;
};
