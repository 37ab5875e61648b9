// The service's frame parser, reply encoder and request handling, called directly.

#include "frames.h"
#include "servicecore.h"
#include "wirebytes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace devservice;

namespace {

const QString kKey = QStringLiteral("+Gtldt7zQib3N6hyjDDJqyVnkuaEFztTLfMxGhK/RXQ=");

QByteArray startPayload(const QJsonObject &extra = {})
{
    QJsonObject object{{QStringLiteral("session_id"), QStringLiteral("sess-1")},
                       {QStringLiteral("private_key"), kKey}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        object.insert(it.key(), it.value());
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

} // namespace

class TestDevserviceFrames : public QObject
{
    Q_OBJECT

private slots:
    void acceptsACompleteFrame()
    {
        const QByteArray frame = QByteArray::fromHex("43434147"         // magic
                                                     "0100"             // version
                                                     "0200"             // Start
                                                     "0807060504030201" // request id
                                                     "03000000") +      // length
                                 QByteArray("abc");
        const FrameParse parse = parseRequestFrame(frame);
        QCOMPARE(parse.outcome, FrameParse::Outcome::Complete);
        QCOMPARE(parse.error, FrameError::None);
        QCOMPARE(parse.header.magic, 0x47414343u);
        QCOMPARE(parse.header.version, quint16(1));
        QCOMPARE(parse.header.command, quint16(Command::Start));
        QCOMPARE(parse.header.requestId, Q_UINT64_C(0x0102030405060708));
        QCOMPARE(parse.header.payloadLength, 3u);
        QCOMPARE(parse.frameSize, 23);
        QCOMPARE(requestPayload(frame, parse).toByteArray(), QByteArray("abc"));

        // What follows a frame belongs to the next one.
        const QByteArray two = frame + wire::request(1, 9);
        const FrameParse first = parseRequestFrame(two);
        QCOMPARE(first.outcome, FrameParse::Outcome::Complete);
        QCOMPARE(first.frameSize, 23);
        QCOMPARE(requestPayload(two, first).toByteArray(), QByteArray("abc"));
    }

    void everyPrefixOfAGoodFrameWantsMore()
    {
        const QByteArray frame = wire::request(2, 77, startPayload());
        for (qsizetype size = 0; size < frame.size(); ++size) {
            const FrameParse parse = parseRequestFrame(QByteArrayView(frame).first(size));
            QCOMPARE(parse.outcome, FrameParse::Outcome::NeedMore);
            QVERIFY2(parse.needed > size && parse.needed <= frame.size(), qPrintable(QString::number(size)));
            QCOMPARE(parse.requestIdKnown, size >= 16);
        }
        QCOMPARE(parseRequestFrame(frame).outcome, FrameParse::Outcome::Complete);
    }

    void emptyPayloadsAndTheLargestPayload()
    {
        const FrameParse status = parseRequestFrame(wire::request(1, 5));
        QCOMPARE(status.outcome, FrameParse::Outcome::Complete);
        QCOMPARE(status.frameSize, 20);

        const QByteArray header = wire::requestHeader(2, 5, 1024 * 1024);
        const FrameParse waiting = parseRequestFrame(header);
        QCOMPARE(waiting.outcome, FrameParse::Outcome::NeedMore);
        QCOMPARE(waiting.needed, 20 + 1024 * 1024);
        const QByteArray whole = header + QByteArray(1024 * 1024, 'x');
        QCOMPARE(parseRequestFrame(whole).outcome, FrameParse::Outcome::Complete);
    }

    void refusesBadHeaders_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<FrameError>("error");
        QTest::addColumn<bool>("requestIdKnown");

        const QByteArray good = wire::requestHeader(1, 11, 0);
        QTest::newRow("magic written big-endian")
            << wire::requestHeader(1, 11, 0, 0x43434147u) << FrameError::BadMagic << true;
        QTest::newRow("magic, first four bytes only") << QByteArray("GACC") << FrameError::BadMagic << false;
        QTest::newRow("one magic byte off")
            << (QByteArray("\x43\x43\x41\x48", 4)) << FrameError::BadMagic << false;
        QTest::newRow("version 0") << wire::requestHeader(1, 11, 0, wire::kMagic, 0) << FrameError::BadVersion
                                   << true;
        QTest::newRow("version 2, six bytes only")
            << good.first(4) + QByteArray("\x02\x00", 2) << FrameError::BadVersion << false;
        QTest::newRow("command 0") << wire::requestHeader(0, 11, 0) << FrameError::UnknownCommand << true;
        QTest::newRow("command 4") << wire::requestHeader(4, 11, 0) << FrameError::UnknownCommand << true;
        QTest::newRow("command 0x0101, eight bytes only")
            << wire::requestHeader(0x0101, 11, 0).first(8) << FrameError::UnknownCommand << false;
        QTest::newRow("length 1 MiB + 1")
            << wire::requestHeader(2, 11, 1024 * 1024 + 1) << FrameError::PayloadTooLarge << true;
        QTest::newRow("length 0xFFFFFFFF")
            << wire::requestHeader(3, 11, 0xFFFFFFFFu) << FrameError::PayloadTooLarge << true;
    }

    void refusesBadHeaders()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(FrameError, error);
        QFETCH(bool, requestIdKnown);
        const FrameParse parse = parseRequestFrame(bytes);
        QCOMPARE(parse.outcome, FrameParse::Outcome::Invalid);
        QCOMPARE(parse.error, error);
        QCOMPARE(parse.requestIdKnown, requestIdKnown);
        if (requestIdKnown)
            QCOMPARE(parse.header.requestId, quint64(11));
        QVERIFY(requestPayload(bytes, parse).isEmpty());
    }

    void replyBytesAreExact()
    {
        const QByteArray bytes = encodeReplyFrame(Q_UINT64_C(0x0102030405060708), 7, "{\"a\":1}");
        QCOMPARE(bytes.toHex(), QByteArray("43434147"          // magic
                                           "0100"              // version
                                           "0000"              // reserved
                                           "0807060504030201"  // request id
                                           "07000000"          // status
                                           "07000000"          // payload length
                                           "7b2261223a317d")); // {"a":1}

        const QByteArray empty = encodeReplyFrame(0, 0, {});
        QCOMPARE(empty.size(), 24);
        QCOMPARE(wire::splitReply(empty).length, 0u);

        const auto header = decodeReplyHeader(bytes);
        QVERIFY(header.has_value());
        QCOMPARE(header->magic, wire::kMagic);
        QCOMPARE(header->requestId, Q_UINT64_C(0x0102030405060708));
        QCOMPARE(header->status, 7u);
        QCOMPARE(header->payloadLength, 7u);
        QVERIFY(!decodeReplyHeader(bytes.first(23)).has_value());
    }

    void keyTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("32 bytes") << kKey << true;
        QTest::newRow("32 zero bytes") << QString::fromLatin1(QByteArray(32, '\0').toBase64()) << true;
        QTest::newRow("31 bytes") << QString::fromLatin1(QByteArray(31, 'k').toBase64()) << false;
        QTest::newRow("33 bytes") << QString::fromLatin1(QByteArray(33, 'k').toBase64()) << false;
        QTest::newRow("no padding") << kKey.chopped(1) << false;
        QTest::newRow("url-safe alphabet")
            << QString(kKey).replace(QLatin1Char('+'), QLatin1Char('-')) << false;
        QTest::newRow("stray character") << QString(kKey).replace(3, 1, QLatin1Char('*')) << false;
        QTest::newRow("trailing bits set") << QString(kKey).replace(42, 1, QLatin1Char('R')) << false;
        QTest::newRow("newline") << kKey.left(20) + QLatin1Char('\n') + kKey.mid(21) << false;
        QTest::newRow("non-Latin-1") << QString(kKey).replace(0, 1, QChar(0x4E2D)) << false;
        QTest::newRow("empty") << QString() << false;
    }

    void keyTexts()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(isValidKeyText(text), valid);
    }

    void statusStartStop()
    {
        ServiceCore core;
        Outcome status = core.handleRequest(1, {});
        QCOMPARE(status.status, quint32(StatusOk));
        QCOMPARE(status.text, QByteArray("{\"state\":\"idle\"}"));
        QVERIFY(!status.closeAfter);

        const QByteArray payload = startPayload(
            {{QStringLiteral("route_mode"), QStringLiteral("process-beta")},
             {QStringLiteral("game_processes"), QJsonArray{QStringLiteral("a.exe"), QStringLiteral("b.exe")}},
             {QStringLiteral("egress_ip"), QStringLiteral("203.0.113.7")},
             {QStringLiteral("rules_environment"), QStringLiteral("split")},
             {QStringLiteral("extra"), 1}});
        const Outcome start = core.handleRequest(2, payload);
        QCOMPARE(start.status, quint32(StatusOk));
        QVERIFY(core.accelerating());
        const QJsonObject held = json(start.text);
        QCOMPARE(held.value(QLatin1String("state")).toString(), QStringLiteral("accelerating"));
        QCOMPARE(held.value(QLatin1String("session_id")).toString(), QStringLiteral("sess-1"));
        QCOMPARE(held.value(QLatin1String("route_mode")).toString(), QStringLiteral("process-beta"));
        QCOMPARE(held.value(QLatin1String("game_process_count")).toInt(), 2);
        QCOMPARE(held.value(QLatin1String("egress_ip")).toString(), QStringLiteral("203.0.113.7"));
        QVERIFY(!start.text.contains(kKey.toLatin1()));
        QVERIFY(!start.text.contains("private_key"));
        QVERIFY(!start.text.contains("\"idle\""));

        status = core.handleRequest(1, {});
        QCOMPARE(status.text, start.text);

        const Outcome stop = core.handleRequest(3, {});
        QCOMPARE(stop.status, quint32(StatusOk));
        QCOMPARE(stop.text, QByteArray("{\"state\":\"idle\"}"));
        QVERIFY(!core.accelerating());
        // Stopping what is not running is still a success.
        QCOMPARE(core.handleRequest(3, {}).status, quint32(StatusOk));
    }

    void startWithoutOptionalMembers()
    {
        ServiceCore core;
        const Outcome start = core.handleRequest(2, startPayload());
        QCOMPARE(start.status, quint32(StatusOk));
        const QJsonObject held = json(start.text);
        QCOMPARE(held.value(QLatin1String("state")).toString(), QStringLiteral("accelerating"));
        QVERIFY(!held.contains(QLatin1String("route_mode")));
        QVERIFY(!held.contains(QLatin1String("egress_ip")));
        QCOMPARE(held.value(QLatin1String("game_process_count")).toInt(), 0);
    }

    void aSecondStartReplacesTheTunnel()
    {
        ServiceCore core;
        QCOMPARE(core.handleRequest(2, startPayload()).status, quint32(StatusOk));
        const Outcome again =
            core.handleRequest(2, startPayload({{QStringLiteral("session_id"), QStringLiteral("sess-2")}}));
        QCOMPARE(again.status, quint32(StatusOk));
        QCOMPARE(again.replacedSession, QStringLiteral("sess-1"));
        QCOMPARE(core.tunnel().sessionId, QStringLiteral("sess-2"));
    }

    void badStartPayloadsChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("error");
        const auto with = [](const char *key, const QJsonValue &value) {
            return startPayload({{QLatin1String(key), value}});
        };
        QTest::newRow("empty") << QByteArray() << QByteArray("invalid_json");
        QTest::newRow("not JSON") << QByteArray("session_id=1") << QByteArray("invalid_json");
        QTest::newRow("array") << QByteArray("[{\"session_id\":\"s\"}]") << QByteArray("invalid_json");
        QTest::newRow("string") << QByteArray("\"x\"") << QByteArray("invalid_json");
        QTest::newRow("trailing garbage") << startPayload() + "x" << QByteArray("invalid_json");
        QTest::newRow("no session id") << QByteArray("{\"private_key\":\"") + kKey.toLatin1() + "\"}"
                                       << QByteArray("missing_session_id");
        QTest::newRow("numeric session id") << with("session_id", 5) << QByteArray("missing_session_id");
        QTest::newRow("empty session id")
            << with("session_id", QString()) << QByteArray("missing_session_id");
        QTest::newRow("no private key")
            << QByteArray("{\"session_id\":\"s\"}") << QByteArray("invalid_private_key");
        QTest::newRow("bad base64") << with("private_key", QStringLiteral("not base64 at all!!"))
                                    << QByteArray("invalid_private_key");
        QTest::newRow("31-byte key") << with("private_key",
                                             QString::fromLatin1(QByteArray(31, 'k').toBase64()))
                                     << QByteArray("invalid_private_key");
        QTest::newRow("numeric key") << with("private_key", 1) << QByteArray("invalid_private_key");
        QTest::newRow("numeric route mode") << with("route_mode", 1) << QByteArray("invalid_route_mode");
        QTest::newRow("game processes object")
            << with("game_processes", QJsonObject{}) << QByteArray("invalid_game_processes");
    }

    void badStartPayloadsChangeNothing()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, error);

        for (const bool running : {false, true}) {
            ServiceCore core;
            if (running)
                QCOMPARE(core.handleRequest(2, startPayload()).status, quint32(StatusOk));
            const QByteArray before = core.stateText();

            const Outcome outcome = core.handleRequest(2, payload);
            QCOMPARE(outcome.status, quint32(StatusInvalidStartPayload));
            QCOMPARE(QByteArray(outcome.error), error);
            QVERIFY(outcome.closeAfter);
            const QJsonObject text = json(outcome.text);
            QCOMPARE(text.value(QLatin1String("error")).toString(), QString::fromLatin1(error));
            QVERIFY(!text.value(QLatin1String("message")).toString().isEmpty());
            QCOMPARE(text.value(QLatin1String("state")).toString(),
                     running ? QStringLiteral("accelerating") : QStringLiteral("idle"));
            QCOMPARE(core.accelerating(), running);
            QCOMPARE(core.stateText(), before);
        }
    }

    void statusAndStopTakeNoPayload()
    {
        ServiceCore core;
        QCOMPARE(core.handleRequest(2, startPayload()).status, quint32(StatusOk));
        const Outcome stop = core.handleRequest(3, "{}");
        QCOMPARE(stop.status, quint32(StatusUnexpectedPayload));
        QVERIFY(core.accelerating());
        QCOMPARE(core.handleRequest(1, "x").status, quint32(StatusUnexpectedPayload));
    }

    void refusalsAndFrameErrors()
    {
        ServiceCore refusing({/*refuseStart=*/true, /*refuseStop=*/true});
        const Outcome start = refusing.handleRequest(2, startPayload());
        QCOMPARE(start.status, quint32(StatusRefused));
        QCOMPARE(json(start.text).value(QLatin1String("message")).toString(),
                 QStringLiteral("加速服务拒绝启动（测试设置）"));
        QVERIFY(!refusing.accelerating());
        QCOMPARE(refusing.handleRequest(3, {}).status, quint32(StatusRefused));
        QCOMPARE(refusing.handleRequest(1, {}).status, quint32(StatusOk));

        ServiceCore core;
        const struct
        {
            FrameError error;
            quint32 status;
        } cases[] = {{FrameError::BadMagic, StatusBadMagic},
                     {FrameError::BadVersion, StatusBadVersion},
                     {FrameError::UnknownCommand, StatusUnknownCommand},
                     {FrameError::PayloadTooLarge, StatusPayloadTooLarge}};
        for (const auto &c : cases) {
            const Outcome outcome = core.frameRefused(c.error);
            QCOMPARE(outcome.status, c.status);
            QVERIFY(outcome.closeAfter);
            QCOMPARE(json(outcome.text).value(QLatin1String("error")).toString(),
                     QString::fromLatin1(frameErrorCode(c.error)));
        }
        QCOMPARE(core.frameIncomplete().status, quint32(StatusIncompleteFrame));
        QCOMPARE(core.handleRequest(9, {}).status, quint32(StatusUnknownCommand));
    }

    void droppingTheTunnel()
    {
        ServiceCore core;
        QVERIFY(!core.dropTunnel());
        QCOMPARE(core.handleRequest(2, startPayload()).status, quint32(StatusOk));
        QVERIFY(core.dropTunnel());
        QCOMPARE(core.handleRequest(1, {}).text, QByteArray("{\"state\":\"idle\"}"));
    }
};

QTEST_GUILESS_MAIN(TestDevserviceFrames)
#include "tst_devservice_frames.moc"
