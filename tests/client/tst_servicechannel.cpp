// The control channel to the local acceleration service, exchanged with real local servers:
// the shared FakeService for ordinary replies, and a server of this suite that sends frames
// byte for byte as scripted (partial headers, pauses, hang-ups, a reader that never reads).

#include "clienttest.h"
#include "fakeservice.h"
#include "servicechannel.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <cstring>
#include <functional>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

const QString ChannelName = QStringLiteral("DiveDizuvivivid.Control.v1");

// Wire helpers written out by hand, so that the client's own encoders are checked, not reused.
void appendLe(QByteArray &bytes, quint64 value, int width)
{
    for (int i = 0; i < width; ++i)
        bytes.append(char((value >> (8 * i)) & 0xff));
}

quint64 readLe(const QByteArray &bytes, int offset, int width)
{
    quint64 value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(offset + i));
    return value;
}

struct ReplyFields
{
    quint32 magic = 0x47414343;
    quint16 version = 1;
    quint16 reserved = 0;
    qint64 idOffset = 0;
    quint32 status = 0;
    qint64 announcedLength = -1; // -1: the payload's size
};

QByteArray replyFrame(quint64 requestId, const QByteArray &payload, const ReplyFields &fields = {})
{
    QByteArray frame;
    appendLe(frame, fields.magic, 4);
    appendLe(frame, fields.version, 2);
    appendLe(frame, fields.reserved, 2);
    appendLe(frame, requestId + quint64(fields.idOffset), 8);
    appendLe(frame, fields.status, 4);
    appendLe(frame, fields.announcedLength < 0 ? quint64(payload.size()) : quint64(fields.announcedLength),
             4);
    return frame + payload;
}

// One connection's behaviour. Once the whole request frame is in, the chunks go out in order,
// each after its pause; then the server hangs up or keeps the connection open.
struct Script
{
    struct Chunk
    {
        int pauseMs = 0;
        std::function<QByteArray(quint64 requestId)> bytes;
    };
    bool readRequest = true; // false: stop reading at once, so the client's writes back up
    QList<Chunk> chunks;
    bool hangUpAtEnd = false;

    Script &send(std::function<QByteArray(quint64)> bytes, int pauseMs = 0)
    {
        chunks.append({pauseMs, std::move(bytes)});
        return *this;
    }
    Script &send(const QByteArray &bytes, int pauseMs = 0)
    {
        return send([bytes](quint64) { return bytes; }, pauseMs);
    }
    Script &hangUp()
    {
        hangUpAtEnd = true;
        return *this;
    }
};

struct ConnectionRecord
{
    QByteArray received; // every byte the client sent, until it disconnected
    bool disconnected = false;
};

class CraftedService
{
public:
    explicit CraftedService(Script script) : script(std::move(script)), thread(std::make_unique<QThread>())
    {
        thread->start();
        context = new QObject;
        context->moveToThread(thread.get());
        QMetaObject::invokeMethod(
            context,
            [this] {
                QLocalServer::removeServer(ChannelName);
                auto *server = new QLocalServer(context);
                listening = server->listen(ChannelName);
                QObject::connect(server, &QLocalServer::newConnection, context, [this, server] {
                    while (QLocalSocket *socket = server->nextPendingConnection())
                        handle(socket);
                });
            },
            Qt::BlockingQueuedConnection);
    }
    ~CraftedService()
    {
        QMetaObject::invokeMethod(
            context, [this] { delete context; }, Qt::BlockingQueuedConnection);
        thread->quit();
        thread->wait();
    }
    CraftedService(const CraftedService &) = delete;
    CraftedService &operator=(const CraftedService &) = delete;

    bool isListening() const { return listening; }
    int connectionCount() const
    {
        QMutexLocker lock(&mutex);
        return int(records.size());
    }
    ConnectionRecord connection(int index) const
    {
        QMutexLocker lock(&mutex);
        return records.value(index);
    }

    // Lets a server that stopped reading take up the rest, so that it can see the hang-up.
    void resumeReading()
    {
        QMetaObject::invokeMethod(
            context,
            [this] {
                for (const QPointer<QLocalSocket> &socket : std::as_const(stalled)) {
                    if (!socket)
                        continue;
                    QObject::connect(socket, &QLocalSocket::readyRead, socket,
                                     [socket] { socket->readAll(); });
                    socket->setReadBufferSize(0);
                    socket->readAll();
                }
            },
            Qt::BlockingQueuedConnection);
    }

private:
    void handle(QLocalSocket *socket)
    {
        int index;
        {
            QMutexLocker lock(&mutex);
            index = int(records.size());
            records.append(ConnectionRecord{});
        }
        if (!script.readRequest)
            socket->setReadBufferSize(1);
        QObject::connect(socket, &QLocalSocket::disconnected, socket, [this, socket, index] {
            QMutexLocker lock(&mutex);
            records[index].disconnected = true;
            socket->deleteLater();
        });
        if (!script.readRequest) {
            stalled.append(QPointer<QLocalSocket>(socket));
            return;
        }
        auto started = std::make_shared<bool>(false);
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket, index, started] {
            QByteArray seen;
            {
                QMutexLocker lock(&mutex);
                records[index].received += socket->readAll();
                seen = records[index].received;
            }
            if (*started || seen.size() < 20 || seen.size() < 20 + qsizetype(readLe(seen, 16, 4)))
                return;
            *started = true;
            sendFrom(QPointer<QLocalSocket>(socket), 0, readLe(seen, 8, 8));
        });
    }

    void sendFrom(QPointer<QLocalSocket> socket, int chunk, quint64 requestId)
    {
        if (!socket || socket->state() != QLocalSocket::ConnectedState)
            return;
        if (chunk == script.chunks.size()) {
            if (script.hangUpAtEnd)
                socket->disconnectFromServer();
            return;
        }
        QTimer::singleShot(script.chunks[chunk].pauseMs, socket, [this, socket, chunk, requestId] {
            if (!socket)
                return;
            socket->write(script.chunks[chunk].bytes(requestId));
            socket->flush();
            sendFrom(socket, chunk + 1, requestId);
        });
    }

    const Script script;
    bool listening = false;
    std::unique_ptr<QThread> thread;
    QObject *context = nullptr;
    mutable QMutex mutex;
    QList<ConnectionRecord> records;
    QList<QPointer<QLocalSocket>> stalled; // server thread only
};

struct TimedReply
{
    ServiceReply reply;
    qint64 elapsedMs = 0;
    qint64 before = 0; // the clock just before and just after the call
    qint64 after = 0;
};

TimedReply timedCall(ServiceCommand command, const QByteArray &payload = QByteArray())
{
    TimedReply result;
    QElapsedTimer timer;
    result.before = QDateTime::currentMSecsSinceEpoch();
    timer.start();
    result.reply = callControlService(command, payload);
    result.elapsedMs = timer.elapsed();
    result.after = QDateTime::currentMSecsSinceEpoch();
    return result;
}

// A generous bound for a step that waits 1000 ms, on a loaded CI machine.
constexpr qint64 SlowBoundMs = 5000;
// A 1000 ms wait really waited (timers may fire a little early).
constexpr qint64 WaitedAtLeastMs = 900;

} // namespace

class ServiceChannelTest : public QObject
{
    Q_OBJECT

private slots:
    // Pure header encoding and decoding.
    void requestHeaderIsLittleEndian();
    void replyHeaderDecodes();
    void replyHeaderTooShortIsRefused();
    void replyHeaderAcceptance_data();
    void replyHeaderAcceptance();

    // Requests on the wire.
    void requestBytesAreExact_data();
    void requestBytesAreExact();
    void largePayloadIsSentWhole();
    void serverOfAnotherName();
    void oneConnectionPerRequest();

    // Replies.
    void statusZeroWithText();
    void statusZeroWithoutPayload();
    void refusedWithText();
    void refusedWithoutText();
    void reservedFieldIsIgnored();
    void largestPayloadAccepted();
    void utf8PayloadDecoded();
    void tricklingReplyAccepted();
    void slowTrickleRestartsEachWait();
    void delayedReplyWithinTheWait();

    // The failure table.
    void noServer();
    void staleSocketFile();
    void badReplyHeader_data();
    void badReplyHeader();
    void headerStopsArriving();
    void noReplyAtAll();
    void headerCutByHangUp();
    void payloadStopsArriving();
    void payloadCutByHangUp();
    void requestNotTakenUp();
    void connectionClosedOnFailure();
};

void ServiceChannelTest::requestHeaderIsLittleEndian()
{
    ControlRequestHeader header;
    header.magic = 0x47414343;
    header.version = 0x0102;
    header.command = 0x0304;
    header.requestId = 0x1122334455667788ull;
    header.payloadLength = 0xA1B2C3D4;
    const QByteArray expected = QByteArray::fromHex("43434147"
                                                    "0201"
                                                    "0403"
                                                    "8877665544332211"
                                                    "D4C3B2A1");
    QCOMPARE(encodeRequestHeader(header).toHex(), expected.toHex());
}

void ServiceChannelTest::replyHeaderDecodes()
{
    const QByteArray bytes = QByteArray::fromHex("43434147"
                                                 "0100"
                                                 "FEFF"
                                                 "0807060504030201"
                                                 "0D0C0B0A"
                                                 "00000100"
                                                 "DEADBEEF"); // trailing bytes are not the header's
    const std::optional<ControlReplyHeader> header = decodeReplyHeader(bytes);
    QVERIFY(header.has_value());
    QCOMPARE(header->magic, quint32(0x47414343));
    QCOMPARE(header->version, quint16(1));
    QCOMPARE(header->reserved, quint16(0xFFFE));
    QCOMPARE(header->requestId, quint64(0x0102030405060708ull));
    QCOMPARE(header->status, quint32(0x0A0B0C0D));
    QCOMPARE(header->payloadLength, quint32(0x10000));
}

void ServiceChannelTest::replyHeaderTooShortIsRefused()
{
    QVERIFY(!decodeReplyHeader(QByteArray()).has_value());
    QVERIFY(!decodeReplyHeader(replyFrame(7, QByteArray()).left(23)).has_value());
    QVERIFY(decodeReplyHeader(replyFrame(7, QByteArray())).has_value());
}

void ServiceChannelTest::replyHeaderAcceptance_data()
{
    QTest::addColumn<quint32>("magic");
    QTest::addColumn<quint16>("version");
    QTest::addColumn<quint64>("requestId");
    QTest::addColumn<quint32>("payloadLength");
    QTest::addColumn<bool>("acceptable");

    const quint64 id = 1700000000123ull;
    QTest::newRow("correct, empty") << quint32(0x47414343) << quint16(1) << id << quint32(0) << true;
    QTest::newRow("65536") << quint32(0x47414343) << quint16(1) << id << quint32(65536) << true;
    QTest::newRow("65537") << quint32(0x47414343) << quint16(1) << id << quint32(65537) << false;
    QTest::newRow("length 0xFFFFFFFF")
        << quint32(0x47414343) << quint16(1) << id << quint32(0xFFFFFFFF) << false;
    QTest::newRow("magic byte-swapped") << quint32(0x43434147) << quint16(1) << id << quint32(0) << false;
    QTest::newRow("version 0") << quint32(0x47414343) << quint16(0) << id << quint32(0) << false;
    QTest::newRow("version 2") << quint32(0x47414343) << quint16(2) << id << quint32(0) << false;
    QTest::newRow("id + 1") << quint32(0x47414343) << quint16(1) << id + 1 << quint32(0) << false;
    QTest::newRow("id - 1") << quint32(0x47414343) << quint16(1) << id - 1 << quint32(0) << false;
    QTest::newRow("id high word differs")
        << quint32(0x47414343) << quint16(1) << (id | (quint64(1) << 63)) << quint32(0) << false;
}

void ServiceChannelTest::replyHeaderAcceptance()
{
    QFETCH(quint32, magic);
    QFETCH(quint16, version);
    QFETCH(quint64, requestId);
    QFETCH(quint32, payloadLength);
    QFETCH(bool, acceptable);

    ControlReplyHeader header;
    header.magic = magic;
    header.version = version;
    header.reserved = 0x5A5A;
    header.requestId = requestId;
    header.status = 9;
    header.payloadLength = payloadLength;
    QCOMPARE(isAcceptableReplyHeader(header, 1700000000123ull), acceptable);
}

void ServiceChannelTest::requestBytesAreExact_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("payload");

    QTest::newRow("Status") << 1 << QByteArray();
    QTest::newRow("Start") << 2
                           << QByteArray(
                                  R"({"session_id":"s-1","private_key":"a2V5","route_mode":"process-beta"})");
    QTest::newRow("Stop") << 3 << QByteArray();
}

void ServiceChannelTest::requestBytesAreExact()
{
    QFETCH(int, command);
    QFETCH(QByteArray, payload);

    CraftedService service(Script().send([](quint64 id) { return replyFrame(id, "{\"state\":\"idle\"}"); }));
    QVERIFY(service.isListening());
    const TimedReply call = timedCall(ServiceCommand(command), payload);
    QVERIFY2(call.reply.ok, qPrintable(call.reply.error));

    QTRY_VERIFY(service.connection(0).disconnected);
    const QByteArray wire = service.connection(0).received;
    QCOMPARE(wire.size(), 20 + payload.size());
    QCOMPARE(wire.left(4).toHex(), QByteArray("43434147"));
    QCOMPARE(wire.mid(4, 2).toHex(), QByteArray("0100"));
    QCOMPARE(readLe(wire, 6, 2), quint64(command));
    const quint64 requestId = readLe(wire, 8, 8);
    QVERIFY2(requestId >= quint64(call.before) && requestId <= quint64(call.after),
             qPrintable(QStringLiteral("request id %1 outside [%2, %3]")
                            .arg(requestId)
                            .arg(call.before)
                            .arg(call.after)));
    QCOMPARE(readLe(wire, 16, 4), quint64(payload.size()));
    QCOMPARE(wire.mid(20), payload);
}

void ServiceChannelTest::largePayloadIsSentWhole()
{
    // Far more than a local socket buffers: the client has to keep writing while it waits.
    QByteArray payload(4 * 1024 * 1024, 'x');
    for (int i = 0; i < payload.size(); i += 4093)
        payload[i] = char('a' + i % 26);
    CraftedService service(
        Script().send([](quint64 id) { return replyFrame(id, "{\"state\":\"accelerating\"}"); }));
    const ServiceReply reply = callControlService(ServiceCommand::Start, payload);
    QVERIFY2(reply.ok, qPrintable(reply.error));
    QTRY_VERIFY(service.connection(0).disconnected);
    const QByteArray wire = service.connection(0).received;
    QCOMPARE(readLe(wire, 16, 4), quint64(payload.size()));
    QVERIFY(wire.mid(20) == payload);
}

void ServiceChannelTest::serverOfAnotherName()
{
    FakeService other(QStringLiteral("ZumvariTest.OtherChannel"));
    QVERIFY(other.isListening());
    const ServiceReply missing = callControlService(ServiceCommand::Status, QByteArray());
    QCOMPARE(missing.error, QStringLiteral("后台加速服务未运行"));

    const ServiceReply reply =
        callControlService(ServiceCommand::Status, QByteArray(), QStringLiteral("ZumvariTest.OtherChannel"));
    QVERIFY(reply.ok);
    QCOMPARE(reply.text, QStringLiteral("{\"state\":\"idle\"}"));
    QCOMPARE(other.requestCount(), 1);
}

void ServiceChannelTest::oneConnectionPerRequest()
{
    FakeService service;
    QVERIFY(service.isListening());
    QVERIFY(callControlService(ServiceCommand::Status, QByteArray()).ok);
    QCOMPARE(service.connectionCount(), 1);
    QVERIFY(callControlService(ServiceCommand::Start, QByteArray("{}")).ok);
    QCOMPARE(service.connectionCount(), 2);
    service.queue(FakeReply::answer(5, "no"));
    QVERIFY(!callControlService(ServiceCommand::Stop, QByteArray()).ok);
    QCOMPARE(service.connectionCount(), 3);
    QCOMPARE(service.requestCount(), 3);

    const QList<ServiceRequestRecord> requests = service.requests();
    QCOMPARE(requests.at(0).command, quint16(1));
    QCOMPARE(requests.at(1).command, quint16(2));
    QCOMPARE(requests.at(1).payload, QByteArray("{}"));
    QCOMPARE(requests.at(2).command, quint16(3));
    // The clock never runs backwards between two requests.
    QVERIFY(requests.at(0).requestId <= requests.at(1).requestId);
    QVERIFY(requests.at(1).requestId <= requests.at(2).requestId);
}

void ServiceChannelTest::statusZeroWithText()
{
    FakeService service;
    service.queue(FakeReply::state("accelerating"));
    const ServiceReply reply = callControlService(ServiceCommand::Status, QByteArray());
    QVERIFY(reply.ok);
    QCOMPARE(reply.text, QStringLiteral("{\"state\":\"accelerating\"}"));
    QVERIFY(reply.error.isEmpty());
}

void ServiceChannelTest::statusZeroWithoutPayload()
{
    FakeService service;
    service.queue(FakeReply::answer(0, QByteArray()));
    const ServiceReply reply = callControlService(ServiceCommand::Status, QByteArray());
    QVERIFY(reply.ok);
    QVERIFY(reply.text.isEmpty());
    QVERIFY(reply.error.isEmpty());
}

void ServiceChannelTest::refusedWithText()
{
    FakeService service;
    service.queue(FakeReply::answer(7, R"({"error":"bad private_key"})"));
    const ServiceReply reply = callControlService(ServiceCommand::Start, QByteArray("{}"));
    QVERIFY(!reply.ok);
    QCOMPARE(reply.text, QStringLiteral(R"({"error":"bad private_key"})"));
    QCOMPARE(reply.error, QStringLiteral("服务拒绝了请求"));

    // Any non-zero status is a refusal, the highest too.
    service.queue(FakeReply::answer(0xFFFFFFFF, "x"));
    const ServiceReply highest = callControlService(ServiceCommand::Start, QByteArray("{}"));
    QVERIFY(!highest.ok);
    QCOMPARE(highest.text, QStringLiteral("x"));
    QCOMPARE(highest.error, QStringLiteral("服务拒绝了请求"));
}

void ServiceChannelTest::refusedWithoutText()
{
    FakeService service;
    service.queue(FakeReply::answer(1, QByteArray()));
    const ServiceReply reply = callControlService(ServiceCommand::Stop, QByteArray());
    QVERIFY(!reply.ok);
    QVERIFY(reply.text.isEmpty());
    QCOMPARE(reply.error, QStringLiteral("服务拒绝了请求"));
}

void ServiceChannelTest::reservedFieldIsIgnored()
{
    ReplyFields fields;
    fields.reserved = 0xBEEF;
    CraftedService service(
        Script().send([fields](quint64 id) { return replyFrame(id, "\"idle\"", fields); }));
    const ServiceReply reply = callControlService(ServiceCommand::Status, QByteArray());
    QVERIFY2(reply.ok, qPrintable(reply.error));
    QCOMPARE(reply.text, QStringLiteral("\"idle\""));
}

void ServiceChannelTest::largestPayloadAccepted()
{
    QByteArray text(65536, 'a');
    text[0] = '{';
    text[65535] = '}';
    FakeService service;
    service.queue(FakeReply::answer(0, text));
    const ServiceReply reply = callControlService(ServiceCommand::Status, QByteArray());
    QVERIFY2(reply.ok, qPrintable(reply.error));
    QCOMPARE(reply.text.size(), 65536);
    QCOMPARE(reply.text, QString::fromLatin1(text));
}

void ServiceChannelTest::utf8PayloadDecoded()
{
    const QString message = QStringLiteral("{\"state\":\"idle\",\"note\":\"隧道未建立 · 香港\"}");
    FakeService service;
    service.queue(FakeReply::answer(0, message.toUtf8()));
    const ServiceReply reply = callControlService(ServiceCommand::Status, QByteArray());
    QVERIFY(reply.ok);
    QCOMPARE(reply.text, message);
}

void ServiceChannelTest::tricklingReplyAccepted()
{
    FakeService service;
    FakeReply reply = FakeReply::state("accelerating");
    reply.trickleMs = 0;
    service.queue(reply);
    const ServiceReply result = callControlService(ServiceCommand::Status, QByteArray());
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.text, QStringLiteral("{\"state\":\"accelerating\"}"));
}

void ServiceChannelTest::slowTrickleRestartsEachWait()
{
    // 24 header bytes and 8 payload bytes, 80 ms apart: well over one 1000 ms wait in total, but
    // never a second without a byte.
    FakeService service;
    FakeReply reply = FakeReply::answer(0, "\"idle\"!!");
    reply.trickleMs = 80;
    service.queue(reply);
    const TimedReply call = timedCall(ServiceCommand::Status);
    QVERIFY2(call.reply.ok, qPrintable(call.reply.error));
    QCOMPARE(call.reply.text, QStringLiteral("\"idle\"!!"));
    QVERIFY2(call.elapsedMs >= 1500, qPrintable(QString::number(call.elapsedMs)));
}

void ServiceChannelTest::delayedReplyWithinTheWait()
{
    FakeService service;
    FakeReply reply = FakeReply::state("idle");
    reply.delayMs = 600;
    service.queue(reply);
    const ServiceReply result = callControlService(ServiceCommand::Status, QByteArray());
    QVERIFY2(result.ok, qPrintable(result.error));
}

void ServiceChannelTest::noServer()
{
    const TimedReply call = timedCall(ServiceCommand::Stop);
    QVERIFY(!call.reply.ok);
    QVERIFY(call.reply.text.isEmpty());
    QCOMPARE(call.reply.error, QStringLiteral("后台加速服务未运行"));
    QVERIFY2(call.elapsedMs < SlowBoundMs, qPrintable(QString::number(call.elapsedMs)));
}

void ServiceChannelTest::staleSocketFile()
{
#ifdef Q_OS_UNIX
    // A service that died without cleaning up leaves its socket file behind: nobody answers on it.
    const QByteArray path = QFile::encodeName(QDir::tempPath() + QLatin1Char('/') + ChannelName);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(path.size()) < sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    ::unlink(path.constData());
    QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0);
    ::close(fd);
    QVERIFY(QFile::exists(QFile::decodeName(path)));

    const TimedReply call = timedCall(ServiceCommand::Status);
    QVERIFY(!call.reply.ok);
    QCOMPARE(call.reply.error, QStringLiteral("后台加速服务未运行"));
    QVERIFY2(call.elapsedMs < SlowBoundMs, qPrintable(QString::number(call.elapsedMs)));
    ::unlink(path.constData());
#else
    QSKIP("socket files exist on Unix only");
#endif
}

void ServiceChannelTest::badReplyHeader_data()
{
    QTest::addColumn<int>("field"); // which field is wrong
    QTest::addColumn<qint64>("value");

    enum { Magic, Version, IdOffset, Length };
    QTest::newRow("magic byte-swapped") << int(Magic) << qint64(0x43434147);
    QTest::newRow("magic zero") << int(Magic) << qint64(0);
    QTest::newRow("version 0") << int(Version) << qint64(0);
    QTest::newRow("version 2") << int(Version) << qint64(2);
    QTest::newRow("stale request id") << int(IdOffset) << qint64(-1);
    QTest::newRow("later request id") << int(IdOffset) << qint64(1);
    QTest::newRow("length 65537") << int(Length) << qint64(65537);
    QTest::newRow("length 0xFFFFFFFF") << int(Length) << qint64(0xFFFFFFFF);
}

void ServiceChannelTest::badReplyHeader()
{
    QFETCH(int, field);
    QFETCH(qint64, value);

    FakeReply reply = FakeReply::answer(0, "{\"state\":\"idle\"}");
    switch (field) {
    case 0:
        reply.magic = quint32(value);
        break;
    case 1:
        reply.version = quint16(value);
        break;
    case 2:
        reply.requestIdOffset = value;
        break;
    default:
        // Announce more than is sent and send all of it: only the announcement is at fault.
        reply.announcedLength = quint32(value);
        reply.text = QByteArray(65537, 'a');
        break;
    }
    FakeService service;
    service.queue(reply);
    const TimedReply call = timedCall(ServiceCommand::Status);
    QVERIFY(!call.reply.ok);
    QVERIFY(call.reply.text.isEmpty());
    QCOMPARE(call.reply.error, QStringLiteral("服务响应格式不正确"));
    // Refused on sight, not after waiting for a payload.
    QVERIFY2(call.elapsedMs < WaitedAtLeastMs, qPrintable(QString::number(call.elapsedMs)));
}

void ServiceChannelTest::headerStopsArriving()
{
    CraftedService service(
        Script().send([](quint64 id) { return replyFrame(id, "\"idle\"").left(13); }).send([](quint64 id) {
            return replyFrame(id, "\"idle\"").mid(13, 4);
        }));
    const TimedReply call = timedCall(ServiceCommand::Status);
    QVERIFY(!call.reply.ok);
    QVERIFY(call.reply.text.isEmpty());
    QCOMPARE(call.reply.error, QStringLiteral("服务响应格式不正确"));
    QVERIFY2(call.elapsedMs >= WaitedAtLeastMs && call.elapsedMs < SlowBoundMs,
             qPrintable(QString::number(call.elapsedMs)));
}

void ServiceChannelTest::noReplyAtAll()
{
    FakeService service;
    service.queue(FakeReply::silent());
    const TimedReply call = timedCall(ServiceCommand::Status);
    QVERIFY(!call.reply.ok);
    QVERIFY(call.reply.text.isEmpty());
    QCOMPARE(call.reply.error, QStringLiteral("服务响应格式不正确"));
    QVERIFY2(call.elapsedMs >= WaitedAtLeastMs && call.elapsedMs < SlowBoundMs,
             qPrintable(QString::number(call.elapsedMs)));
    QCOMPARE(service.requestCount(), 1);
}

void ServiceChannelTest::headerCutByHangUp()
{
    {
        FakeService service;
        service.queue(FakeReply::hangup());
        const ServiceReply reply = callControlService(ServiceCommand::Status, QByteArray());
        QVERIFY(!reply.ok);
        QVERIFY(reply.text.isEmpty());
        QCOMPARE(reply.error, QStringLiteral("服务响应格式不正确"));
    }
    CraftedService service(
        Script().send([](quint64 id) { return replyFrame(id, "\"idle\"").left(23); }).hangUp());
    const TimedReply call = timedCall(ServiceCommand::Status);
    QVERIFY(!call.reply.ok);
    QVERIFY(call.reply.text.isEmpty());
    QCOMPARE(call.reply.error, QStringLiteral("服务响应格式不正确"));
    QVERIFY2(call.elapsedMs < SlowBoundMs, qPrintable(QString::number(call.elapsedMs)));
}

void ServiceChannelTest::payloadStopsArriving()
{
    // A correct header announcing 16 bytes, then 5 of them, then silence with the line open.
    ReplyFields fields;
    fields.announcedLength = 16;
    CraftedService service(
        Script().send([fields](quint64 id) { return replyFrame(id, "\"idle", fields); }, 0).send(" ", 300));
    const TimedReply call = timedCall(ServiceCommand::Status);
    QVERIFY(!call.reply.ok);
    QVERIFY(call.reply.text.isEmpty());
    QCOMPARE(call.reply.error, QStringLiteral("读取服务响应失败"));
    QVERIFY2(call.elapsedMs >= 300 + WaitedAtLeastMs && call.elapsedMs < SlowBoundMs,
             qPrintable(QString::number(call.elapsedMs)));
}

void ServiceChannelTest::payloadCutByHangUp()
{
    ReplyFields fields;
    fields.announcedLength = 65536;
    fields.status = 3; // a refusal whose text never arrives whole is a failed read, not a refusal
    CraftedService service(
        Script()
            .send([fields](quint64 id) { return replyFrame(id, QByteArray(1000, 'z'), fields); })
            .hangUp());
    const TimedReply call = timedCall(ServiceCommand::Status);
    QVERIFY(!call.reply.ok);
    QVERIFY(call.reply.text.isEmpty());
    QCOMPARE(call.reply.error, QStringLiteral("读取服务响应失败"));
    QVERIFY2(call.elapsedMs < SlowBoundMs, qPrintable(QString::number(call.elapsedMs)));
}

void ServiceChannelTest::requestNotTakenUp()
{
    // A service that accepts the connection but never reads: a large request cannot be written
    // out within the wait.
    Script script;
    script.readRequest = false;
    CraftedService service(script);
    const TimedReply call = timedCall(ServiceCommand::Start, QByteArray(16 * 1024 * 1024, 'k'));
    QVERIFY(!call.reply.ok);
    QVERIFY(call.reply.text.isEmpty());
    QCOMPARE(call.reply.error, QStringLiteral("发送服务请求失败"));
    QVERIFY2(call.elapsedMs < SlowBoundMs, qPrintable(QString::number(call.elapsedMs)));
    service.resumeReading();
    QTRY_VERIFY(service.connection(0).disconnected);
}

void ServiceChannelTest::connectionClosedOnFailure()
{
    // The client hangs up on every way out, also when the service simply stops talking.
    CraftedService service(Script().send([](quint64 id) { return replyFrame(id, "\"idle\"").left(6); }));
    const ServiceReply first = callControlService(ServiceCommand::Status, QByteArray());
    QCOMPARE(first.error, QStringLiteral("服务响应格式不正确"));
    QTRY_VERIFY(service.connection(0).disconnected);
    const ServiceReply second = callControlService(ServiceCommand::Stop, QByteArray());
    QCOMPARE(second.error, QStringLiteral("服务响应格式不正确"));
    QTRY_VERIFY(service.connection(1).disconnected);
    QCOMPARE(service.connectionCount(), 2);
    QCOMPARE(readLe(service.connection(1).received, 6, 2), quint64(3));
}

ZUMVARI_TEST_MAIN(ServiceChannelTest)

#include "tst_servicechannel.moc"
