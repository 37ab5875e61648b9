// A local acceleration service for tests, on a thread of its own that blocks on its sockets, as the
// client's exchange blocks the thread that calls it. It records each request frame and answers it as
// scripted; with nothing scripted, Start reports "accelerating", Stop "idle" and Status the state it
// is in. One request per connection.
#pragma once

#include "servicechannel.h"

#include <QList>
#include <QMutex>
#include <QThread>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
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
    QByteArray text;                   // Raw: the bytes sent before hanging up
    std::function<void(uchar *)> edit; // changes the 24-byte reply header before it goes out
    int trickleMs = -1;                // >= 0: one byte at a time, this far apart

    explicit FakeReply(Kind kind, quint32 status = 0, QByteArray text = {})
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
    static FakeReply hangup() { return FakeReply(Hangup); }
    static FakeReply rawBytes(const QByteArray &bytes) { return FakeReply(Raw, 0, bytes); }
};

class FakeService
{
    // Runs f under the lock.
    template <typename F> auto locked(F f) const
    {
        const QMutexLocker lock(&mutex);
        return f();
    }

public:
    explicit FakeService(const QString &serverName = QLatin1String(ControlChannel::ServerName));
    ~FakeService();

    bool isListening() const { return listening; }
    void queue(const FakeReply &reply)
    {
        locked([&] { queued.push_back(reply); });
    }
    void always(const FakeReply &reply)
    {
        locked([&] { standing = reply; });
    }
    void setAccelerating(bool value)
    {
        locked([&] { accelerating = value; });
    }
    QList<ServiceRequestRecord> requests() const
    {
        return locked([&] { return recorded; });
    }
    int requestCount() const { return int(requests().size()); }
    void clear()
    {
        locked([&] { recorded.clear(), queued.clear(), standing.reset(); });
    }

private:
    FakeReply replyFor(const ServiceRequestRecord &request);

    QString name;
    std::atomic<bool> listening = false, stopping = false;
    std::unique_ptr<QThread> thread;
    mutable QMutex mutex;
    std::deque<FakeReply> queued;
    std::optional<FakeReply> standing;
    bool accelerating = false;
    QList<ServiceRequestRecord> recorded;
};
