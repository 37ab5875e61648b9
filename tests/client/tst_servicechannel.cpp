// The control channel to the local acceleration service, exchanged with real local servers: the
// shared FakeService, which answers from its own thread as scripted, and a server of this suite
// that accepts connections but never serves them.

#include "clienttest.h"
#include "fakeservice.h"
#include "servicechannel.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>

#include <functional>

Q_DECLARE_METATYPE(FakeReply)
Q_DECLARE_METATYPE(ServiceCommand)

namespace {

const QString ChannelName = QStringLiteral("DiveDizuvivivid.Control.v1");

// Read by hand, so that the client's own encoders are checked, not reused.
quint64 readLe(const QByteArray &bytes, int offset, int width)
{
    quint64 value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(offset + i));
    return value;
}

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

// A generous bound for a step that waits 1000 ms, on a loaded CI machine; and a 1000 ms wait
// that really waited (timers may fire a little early).
constexpr qint64 SlowBoundMs = 5000;
constexpr qint64 WaitedAtLeastMs = 900;

} // namespace

class ServiceChannelTest : public QObject
{
    Q_OBJECT

private slots:
    void headerCoding();
    void requestOnTheWire_data();
    void requestOnTheWire();
    void replies_data();
    void replies();
    void noServiceRunning();
    void unservedConnection_data();
    void unservedConnection();
};

void ServiceChannelTest::headerCoding()
{
    ControlRequestHeader request{0x47414343, 0x0102, 0x0304, 0x1122334455667788ull, 0xA1B2C3D4};
    QCOMPARE(encodeRequestHeader(request),
             QByteArray::fromHex("43434147 0201 0403 8877665544332211 d4c3b2a1"));
    const std::optional<ControlReplyHeader> reply = decodeReplyHeader(
        QByteArray::fromHex("43434147 0100 feff 0807060504030201 0d0c0b0a 00000100 deadbeef"));
    QVERIFY(reply.has_value());
    QCOMPARE(reply->magic, quint32(0x47414343));
    QCOMPARE(reply->version, quint16(1));
    QCOMPARE(reply->reserved, quint16(0xFFFE));
    QCOMPARE(reply->requestId, quint64(0x0102030405060708ull));
    QCOMPARE(reply->status, quint32(0x0A0B0C0D));
    QCOMPARE(reply->payloadLength, quint32(0x10000));
    // The reserved field and the status are no reason to refuse a header.
    QVERIFY(isAcceptableReplyHeader(*reply, 0x0102030405060708ull));
    QVERIFY(!decodeReplyHeader(QByteArray(23, '\0')).has_value());
}

void ServiceChannelTest::requestOnTheWire_data()
{
    QTest::addColumn<ServiceCommand>("command");
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("Status") << ServiceCommand::Status << QByteArray();
    QTest::newRow("Start") << ServiceCommand::Start
                           << QByteArray(
                                  R"({"session_id":"s-1","private_key":"a2V5","route_mode":"process-beta"})");
    QTest::newRow("Stop") << ServiceCommand::Stop << QByteArray();
    // Far more than a local socket buffers: the client has to keep writing while it waits.
    QByteArray large(4 * 1024 * 1024, 'x');
    for (int i = 0; i < large.size(); i += 4093)
        large[i] = char('a' + i % 26);
    QTest::newRow("Start, 4 MiB") << ServiceCommand::Start << large;
}

void ServiceChannelTest::requestOnTheWire()
{
    QFETCH(ServiceCommand, command);
    QFETCH(QByteArray, payload);

    FakeService service;
    QVERIFY(service.isListening());
    // Two requests, two connections: each request has its own.
    for (int i = 0; i < 2; ++i) {
        const TimedReply call = timedCall(command, payload);
        QVERIFY2(call.reply.ok, qPrintable(call.reply.error));
        QCOMPARE(service.connectionCount(), i + 1);
        QCOMPARE(service.requestCount(), i + 1);

        const ServiceRequestRecord request = service.requests().last();
        const QByteArray &header = request.header;
        QCOMPARE(header.left(6).toHex(), QByteArray("434341470100")); // magic, version 1
        QCOMPARE(readLe(header, 6, 2), quint64(command));
        const quint64 id = readLe(header, 8, 8);
        QVERIFY2(
            id >= quint64(call.before) && id <= quint64(call.after),
            qPrintable(
                QStringLiteral("request id %1 outside [%2, %3]").arg(id).arg(call.before).arg(call.after)));
        QCOMPARE(readLe(header, 16, 4), quint64(payload.size()));
        QVERIFY(request.payload == payload);
    }
}

void ServiceChannelTest::replies_data()
{
    QTest::addColumn<FakeReply>("reply");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    QTest::addColumn<qint64>("minMs"); // how long the call must have waited
    QTest::addColumn<qint64>("maxMs");

    const auto with = [](FakeReply reply, const std::function<void(FakeReply &)> &change) {
        change(reply);
        return reply;
    };
    const FakeReply idle = FakeReply::answer(0, R"({"state":"idle"})");
    const QString malformed = QStringLiteral("服务响应格式不正确");
    const QString unread = QStringLiteral("读取服务响应失败");
    const QString refused = QStringLiteral("服务拒绝了请求");
    const QByteArray largest(65536, 'a');
    const QString utf8 = QStringLiteral(R"({"state":"idle","note":"隧道未建立 · 香港"})");

    QTest::newRow("status 0 with text")
        << FakeReply::state("accelerating") << true << QStringLiteral(R"({"state":"accelerating"})")
        << QString() << 0ll << WaitedAtLeastMs;
    QTest::newRow("status 0, no payload")
        << FakeReply::answer(0, {}) << true << QString() << QString() << 0ll << WaitedAtLeastMs;
    QTest::newRow("UTF-8 text") << FakeReply::answer(0, utf8.toUtf8()) << true << utf8 << QString() << 0ll
                                << WaitedAtLeastMs;
    QTest::newRow("65536 bytes accepted") << FakeReply::answer(0, largest) << true
                                          << QString::fromLatin1(largest) << QString() << 0ll << SlowBoundMs;
    // 30 bytes 50 ms apart: longer than one wait in all, but never a second without a byte.
    QTest::newRow("byte by byte") << with(FakeReply::answer(0, "\"idle\""),
                                          [](FakeReply &r) { r.trickleMs = 50; })
                                  << true << QStringLiteral("\"idle\"") << QString() << 1200ll << SlowBoundMs;
    QTest::newRow("refused with text")
        << FakeReply::answer(7, R"({"error":"bad private_key"})") << false
        << QStringLiteral(R"({"error":"bad private_key"})") << refused << 0ll << WaitedAtLeastMs;
    QTest::newRow("refused, highest status, no text")
        << FakeReply::answer(0xFFFFFFFF, {}) << false << QString() << refused << 0ll << WaitedAtLeastMs;

    // A bad header is refused on sight, not after waiting for a payload.
    QTest::newRow("magic byte-swapped") << with(idle, [](FakeReply &r) { r.magic = 0x43434147; }) << false
                                        << QString() << malformed << 0ll << WaitedAtLeastMs;
    QTest::newRow("version 0") << with(idle, [](FakeReply &r) { r.version = 0; }) << false << QString()
                               << malformed << 0ll << WaitedAtLeastMs;
    QTest::newRow("version 2") << with(idle, [](FakeReply &r) { r.version = 2; }) << false << QString()
                               << malformed << 0ll << WaitedAtLeastMs;
    QTest::newRow("stale request id") << with(idle, [](FakeReply &r) { r.requestIdOffset = -1; }) << false
                                      << QString() << malformed << 0ll << WaitedAtLeastMs;
    QTest::newRow("later request id") << with(idle, [](FakeReply &r) { r.requestIdOffset = 1; }) << false
                                      << QString() << malformed << 0ll << WaitedAtLeastMs;
    // Announced and sent: only the announcement is at fault.
    QTest::newRow("65537 bytes") << FakeReply::answer(0, largest + 'a') << false << QString() << malformed
                                 << 0ll << WaitedAtLeastMs;
    QTest::newRow("length 0xFFFFFFFF") << with(idle, [](FakeReply &r) { r.announcedLength = 0xFFFFFFFF; })
                                       << false << QString() << malformed << 0ll << WaitedAtLeastMs;
    QTest::newRow("hang-up before the header")
        << FakeReply::hangup() << false << QString() << malformed << 0ll << WaitedAtLeastMs;
    QTest::newRow("header cut short by a hang-up") << FakeReply::rawBytes(QByteArray(23, 'C')) << false
                                                   << QString() << malformed << 0ll << WaitedAtLeastMs;
    // 5 of 16 announced bytes, then silence with the line open. A refusal whose text never arrives
    // whole is a failed read, not a refusal.
    QTest::newRow("payload stops arriving")
        << with(FakeReply::answer(3, "\"idle"), [](FakeReply &r) { r.announcedLength = 16; }) << false
        << QString() << unread << WaitedAtLeastMs << SlowBoundMs;
}

void ServiceChannelTest::replies()
{
    QFETCH(FakeReply, reply);
    QFETCH(bool, ok);
    QFETCH(QString, text);
    QFETCH(QString, error);
    QFETCH(qint64, minMs);
    QFETCH(qint64, maxMs);

    FakeService service;
    service.queue(reply);
    const TimedReply call = timedCall(ServiceCommand::Status);
    QCOMPARE(call.reply.ok, ok);
    QCOMPARE(call.reply.text, text);
    QCOMPARE(call.reply.error, error);
    QVERIFY2(call.elapsedMs >= minMs && call.elapsedMs < maxMs, qPrintable(QString::number(call.elapsedMs)));
    QCOMPARE(service.requestCount(), 1);
}

void ServiceChannelTest::noServiceRunning()
{
    const TimedReply call = timedCall(ServiceCommand::Stop);
    QVERIFY(!call.reply.ok);
    QVERIFY(call.reply.text.isEmpty());
    QCOMPARE(call.reply.error, QStringLiteral("后台加速服务未运行"));
    QVERIFY2(call.elapsedMs < SlowBoundMs, qPrintable(QString::number(call.elapsedMs)));
}

void ServiceChannelTest::unservedConnection_data()
{
    QTest::addColumn<int>("payloadSize");
    QTest::addColumn<QString>("error");
    QTest::addColumn<qint64>("minMs");
    // The request fits into the socket's buffer; the reply never comes.
    QTest::newRow("no reply") << 0 << QStringLiteral("服务响应格式不正确") << WaitedAtLeastMs;
    // Nobody takes the request up: it cannot be written out within the wait.
    QTest::newRow("request not taken up") << 16 * 1024 * 1024 << QStringLiteral("发送服务请求失败") << 0ll;
}

void ServiceChannelTest::unservedConnection()
{
    QFETCH(int, payloadSize);
    QFETCH(QString, error);
    QFETCH(qint64, minMs);

    // Listening on this thread, which the call blocks: the system accepts the connection, nobody
    // serves it.
    QLocalServer::removeServer(ChannelName);
    QLocalServer server;
    QVERIFY(server.listen(ChannelName));
    const TimedReply call = timedCall(ServiceCommand::Start, QByteArray(payloadSize, 'k'));
    QCOMPARE(call.reply.ok, false);
    QVERIFY(call.reply.text.isEmpty());
    QCOMPARE(call.reply.error, error);
    QVERIFY2(call.elapsedMs >= minMs && call.elapsedMs < SlowBoundMs,
             qPrintable(QString::number(call.elapsedMs)));

    // The client hung up on its way out: the service side reads what came and then the end.
    QVERIFY(server.waitForNewConnection(1000));
    QLocalSocket *socket = server.nextPendingConnection();
    QVERIFY(socket);
    QByteArray received;
    while (socket->state() == QLocalSocket::ConnectedState && socket->waitForReadyRead(2000))
        received += socket->readAll();
    received += socket->readAll();
    QCOMPARE(socket->state(), QLocalSocket::UnconnectedState);
    QVERIFY(received.size() >= 20 && received.size() <= 20 + payloadSize);
    QCOMPARE(readLe(received, 6, 2), quint64(ServiceCommand::Start));
}

ZUMVARI_TEST_MAIN(ServiceChannelTest)

#include "tst_servicechannel.moc"
