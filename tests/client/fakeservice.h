// A local acceleration service for tests, on a thread of its own that blocks on its sockets, as the
// client's exchange blocks the thread that calls it. It records each request frame and answers it as
// scripted; with nothing scripted, Start reports "accelerating", Stop "idle" and Status the state it
// is in. One request per connection.
#pragma once

#include "servicechannel.h"

#include <QtCore>

#include <deque>

struct ServiceRequestRecord
{
    QByteArray header; // the 20 bytes as received
    quint16 command;
    quint64 requestId;
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
    FakeService();
    ~FakeService();

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
