// The control channel against real local servers: the shared fake service, and listeners of this
// suite that take the connection but never serve it.
#include "clienttest.h"
#include "fakeservice.h"

#include <QLocalServer>
#include <QtEndian>

Q_DECLARE_METATYPE(FakeReply)

namespace {

FakeReply idle(void (*change)(FakeReply &))
{
    FakeReply reply = FakeReply::answer(0, "\"idle\"");
    change(reply);
    return reply;
}

} // namespace

class TstServiceChannel : public QObject
{
    Q_OBJECT

private slots:
    void requestBytes();
    void replies_data();
    void replies();
    void unserved_data();
    void unserved();
};

void TstServiceChannel::requestBytes()
{
    FakeService service;
    QByteArray large(4 << 20, 'x'); // far more than a local socket buffers: written out while waiting
    large[4097] = 'y';
    for (const QByteArray &payload : {QByteArray(), large, QByteArray("{}")}) {
        const auto command =
            payload.isEmpty() ? ServiceCommand::Status : ServiceCommand(2 + (payload.size() < 4));
        const quint64 before = QDateTime::currentMSecsSinceEpoch();
        QVERIFY(callControlService(command, payload).ok);
        const ServiceRequestRecord sent = service.requests().last();
        // Magic, version 1, the command, the time in milliseconds as its id, the payload's length.
        QCOMPARE(sent.header.left(8).toHex(), "4343414701000" + QByteArray::number(int(command)) + "00");
        QVERIFY(sent.requestId >= before && sent.requestId <= quint64(QDateTime::currentMSecsSinceEpoch()));
        QCOMPARE(qFromLittleEndian<quint32>(sent.header.constData() + 16), quint32(payload.size()));
        QVERIFY(sent.payload == payload);
    }
    QVERIFY(!decodeReplyHeader(QByteArray(23, '\0'))); // a reply header is 24 bytes
}

void TstServiceChannel::replies_data()
{
    QTest::addColumn<FakeReply>("reply");
    QTest::addColumn<QString>("result"); // "ok|text|error"
    const QString malformed = "0||服务响应格式不正确";
    const QByteArray largest(65536, 'a');
    QTest::newRow("status 0") << FakeReply::state("accelerating") << R"(1|{"state":"accelerating"}|)";
    QTest::newRow("no payload") << FakeReply::answer(0, {}) << "1||";
    QTest::newRow("65536 bytes") << FakeReply::answer(0, largest) << QString("1|" + largest + '|');
    QTest::newRow("65537 bytes") << FakeReply::answer(0, largest + 'a') << malformed;
    QTest::newRow("refused, status 1") << FakeReply::answer(1, "满载") << "0|满载|服务拒绝了请求";
    QTest::newRow("refused, highest status") << FakeReply::answer(~0u, {}) << "0||服务拒绝了请求";
    QTest::newRow("reserved set") << idle([](FakeReply &r) { r.reserved = 0xFFFF; }) << "1|\"idle\"|";
    // Each arrival restarts the wait: 1.2 s in all, never a second without a byte.
    QTest::newRow("byte by byte") << idle([](FakeReply &r) { r.trickleMs = 40; }) << "1|\"idle\"|";
    QTest::newRow("magic byte-swapped") << idle([](FakeReply &r) { r.magic = 0x43434147; }) << malformed;
    QTest::newRow("version 2") << idle([](FakeReply &r) { r.version = 2; }) << malformed;
    QTest::newRow("stale request id") << idle([](FakeReply &r) { r.requestIdDelta = -1; }) << malformed;
    QTest::newRow("length 2^32 - 1") << idle([](FakeReply &r) { r.announcedLength = ~0u; }) << malformed;
    QTest::newRow("hang-up") << FakeReply::hangup() << malformed;
    QTest::newRow("23 bytes, hang-up") << FakeReply::rawBytes(QByteArray(23, 'C')) << malformed;
    QTest::newRow("payload stops arriving")
        << idle([](FakeReply &r) { r.status = 3, r.announcedLength = 16; }) << "0||读取服务响应失败";
}

void TstServiceChannel::replies()
{
    QFETCH(FakeReply, reply);
    QFETCH(QString, result);
    FakeService service;
    service.queue(reply);
    const ServiceReply got = callControlService(ServiceCommand::Status, {});
    QCOMPARE(QString::number(got.ok) + '|' + got.text + '|' + got.error, result);
}

void TstServiceChannel::unserved_data()
{
    QTest::addColumn<int>("payload"); // -1: nothing listens
    QTest::addColumn<QString>("error");
    QTest::newRow("no service") << -1 << "后台加速服务未运行";
    QTest::newRow("no reply") << 0 << "服务响应格式不正确";
    QTest::newRow("request not taken up") << (16 << 20) << "发送服务请求失败";
}

void TstServiceChannel::unserved()
{
    QFETCH(int, payload);
    QFETCH(QString, error);
    QLocalServer::removeServer(ControlChannel::ServerName);
    QLocalServer server; // on this thread, which the call blocks
    QVERIFY(payload < 0 || server.listen(ControlChannel::ServerName));
    const ServiceReply got = callControlService(ServiceCommand::Start, QByteArray(qMax(payload, 0), 'k'));
    QCOMPARE(QString::number(got.ok) + '|' + got.text + '|' + got.error, "0||" + error);
}

ZUMVARI_TEST_MAIN(TstServiceChannel)
#include "tst_servicechannel.moc"
