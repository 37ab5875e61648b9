// The real devservice process, spoken to over a real local socket with frames written out byte by
// byte here, so that the tests do not lean on the code under test to get the layout right.

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QtEndian>
#include <QtTest>

#include <utility>

namespace {

enum : quint16 { Status = 1, Start = 2, Stop = 3 };
constexpr quint32 Magic = 0x47414343; // "CCAG" on the wire
const QByteArray Key = "+Gtldt7zQib3N6hyjDDJqyVnkuaEFztTLfMxGhK/RXQ=";
const QByteArray Idle = "{\"state\":\"idle\"}";

QByteArray le(quint64 value, int width)
{
    QByteArray out;
    for (int i = 0; i < width; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
    return out;
}

QByteArray header(quint16 command, quint64 id, quint32 length, quint32 magic = Magic, quint16 version = 1)
{
    return le(magic, 4) + le(version, 2) + le(command, 2) + le(id, 8) + le(length, 4);
}

QByteArray frame(quint16 command, quint64 id, const QByteArray &payload = {})
{
    return header(command, id, quint32(payload.size())) + payload;
}

// The first 16 bytes of a reply: magic, version 1, reserved 0, request id.
QByteArray replyHead(quint64 id, quint32 magic = Magic)
{
    return le(magic, 4) + le(1, 2) + le(0, 2) + le(id, 8);
}

QByteArray startPayload(const QString &sessionId = QStringLiteral("sess-1"))
{
    return QJsonDocument(
               QJsonObject{{QStringLiteral("session_id"), sessionId},
                           {QStringLiteral("private_key"), QString::fromLatin1(Key)},
                           {QStringLiteral("route_mode"), QStringLiteral("process-beta")},
                           {QStringLiteral("game_processes"), QJsonArray{QStringLiteral("game.exe")}},
                           {QStringLiteral("egress_ip"), QStringLiteral("203.0.113.7")}})
        .toJson(QJsonDocument::Compact);
}

struct Reply
{
    QByteArray bytes; // everything that arrived for it
    quint32 status() const
    {
        return bytes.size() >= 24 ? qFromLittleEndian<quint32>(bytes.constData() + 16) : ~0u;
    }
    QByteArray payload() const { return bytes.mid(24); }
    QString json(const char *member) const
    {
        return QJsonDocument::fromJson(payload()).object().value(QLatin1String(member)).toString();
    }
};

// One client connection; all waits bounded.
class Client
{
public:
    explicit Client(const QString &name)
    {
        socket.connectToServer(name);
        socket.waitForConnected(3000);
    }

    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.waitForBytesWritten(3000);
    }

    // Reads until a whole reply (header and announced payload) is in, the server closes, or the time runs
    // out.
    Reply read(int timeoutMs = 5000)
    {
        for (QDeadlineTimer deadline(timeoutMs);;) {
            buffer += socket.readAll();
            const qsizetype size = buffer.size() >= 24
                                       ? 24 + qsizetype(qFromLittleEndian<quint32>(buffer.constData() + 20))
                                       : -1;
            if (size >= 0 && buffer.size() >= size) {
                const QByteArray whole = buffer.left(size);
                buffer.remove(0, size);
                return {whole};
            }
            if (deadline.hasExpired() || socket.state() != QLocalSocket::ConnectedState)
                return {std::exchange(buffer, {})};
            socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
    }

    bool closed()
    {
        return socket.state() == QLocalSocket::UnconnectedState || socket.waitForDisconnected(5000);
    }

    QLocalSocket socket;
    QByteArray buffer;
};

class Service
{
public:
    ~Service()
    {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished();
        }
    }

    bool start(const QStringList &options = {}, const QString &fixedName = {})
    {
        static int counter = 0;
        name = fixedName.isEmpty() ? QStringLiteral("zumvari-tst-devservice-%1-%2")
                                         .arg(QCoreApplication::applicationPid())
                                         .arg(++counter)
                                   : fixedName;
        process.start(QStringLiteral(DEVSERVICE_PATH), QStringList{QStringLiteral("--name"), name} + options);
        return waitForOutput("devservice listening on " + name.toUtf8() + '\n') &&
               output.startsWith("devservice listening on ");
    }

    bool waitForOutput(const QByteArray &needle)
    {
        for (QDeadlineTimer deadline(5000); !(output += process.readAllStandardOutput()).contains(needle);) {
            if (deadline.hasExpired() ||
                !process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
                return false;
        }
        return true;
    }

    Reply exchange(quint16 command, quint64 id, const QByteArray &payload = {})
    {
        Client client(name);
        client.send(frame(command, id, payload));
        return client.read();
    }

    QString state() { return exchange(Status, 1).json("state"); }

    QProcess process;
    QString name;
    QByteArray output;
};

} // namespace

class TestDevservice : public QObject
{
    Q_OBJECT

    Service service; // default options, shared by the cases that leave it as they found it

private slots:
    void initTestCase()
    {
        QVERIFY(service.start());
        QVERIFY(service.waitForOutput("no real tunnel"));
        QVERIFY(!service.output.contains("misbehaving"));
    }

    // Each frame either is carried out or is answered with a status and an error text and then closed,
    // at once, and never disturbs the running tunnel.
    void frames_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<quint32>("status");
        QTest::addColumn<QString>("error");
        QTest::addColumn<quint64>("echoedId");
        QByteArray largest = startPayload(QStringLiteral("sess-large"));
        largest.insert(1, "\"padding\":\"" + QByteArray(1024 * 1024 - largest.size() - 13, 'p') + "\",");
        QVERIFY(largest.size() == 1024 * 1024);

        const auto row = [](const char *name, const QByteArray &bytes, quint32 status, const char *error,
                            quint64 echoedId) {
            QTest::newRow(name) << bytes << status << QString::fromLatin1(error) << echoedId;
        };
        row("Status", frame(Status, 7), 0, "", 7);
        row("Start with a 1 MiB payload", frame(Start, 7, largest), 0, "", 7);
        row("magic written big-endian", header(Status, 7, 0, 0x43434147), 1, "bad_magic", 7);
        row("bad magic, four bytes only", "HTTP", 1, "bad_magic", 0);
        row("version 0", header(Status, 7, 0, Magic, 0), 2, "bad_version", 7);
        row("version 2", header(Status, 7, 0, Magic, 2), 2, "bad_version", 7);
        row("command 0", header(0, 7, 0), 3, "unknown_command", 7);
        row("command 4", header(4, 7, 0), 3, "unknown_command", 7);
        // Refused from the header alone, without waiting for a payload that will never come.
        row("length 1 MiB + 1", header(Start, 7, 1024 * 1024 + 1), 4, "payload_too_large", 7);
        row("length 0xFFFFFFFF", header(Start, 7, 0xFFFFFFFF), 4, "payload_too_large", 7);
        row("Status with a payload", frame(Status, 7, "{}"), 6, "unexpected_payload", 7);
        row("Stop with a payload", frame(Stop, 7, "{}"), 6, "unexpected_payload", 7);
    }

    void frames()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(quint32, status);
        QFETCH(QString, error);
        QFETCH(quint64, echoedId);
        QCOMPARE(service.exchange(Start, 1, startPayload()).status(), 0u);

        Client client(service.name);
        client.send(bytes);
        const Reply reply = client.read();
        QCOMPARE(reply.bytes.left(16).toHex(), replyHead(echoedId).toHex());
        QCOMPARE(reply.status(), status);
        QCOMPARE(reply.json("error"), error);
        if (status != 0) {
            QVERIFY(!reply.json("message").isEmpty());
            QVERIFY(client.closed());
        }
        QCOMPARE(service.state(), QStringLiteral("accelerating"));
    }

    // A Start payload is accepted or refused whole: a refusal leaves an idle or a running service as it was.
    void startPayloads_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("error");
        const auto with = [](const char *member, const QJsonValue &value) {
            QJsonObject o = QJsonDocument::fromJson(startPayload(QStringLiteral("sess-2"))).object();
            o.insert(QLatin1String(member), value); // an undefined value removes the member
            return QJsonDocument(o).toJson(QJsonDocument::Compact);
        };
        const auto key = [&](const QByteArray &text) {
            return with("private_key", QString::fromLatin1(text));
        };
        const auto row = [](const char *name, const QByteArray &payload, const char *error) {
            QTest::newRow(name) << payload << QString::fromLatin1(error);
        };
        row("complete", with("extra", 1), "");
        row("only the required members", "{\"session_id\":\"sess-2\",\"private_key\":\"" + Key + "\"}", "");
        row("key of 32 zero bytes", key(QByteArray(32, '\0').toBase64()), "");
        row("empty", "", "invalid_json");
        row("not JSON", "session_id=1", "invalid_json");
        row("array", "[{\"session_id\":\"s\"}]", "invalid_json");
        row("trailing garbage", startPayload() + "x", "invalid_json");
        row("no session id", with("session_id", QJsonValue::Undefined), "missing_session_id");
        row("numeric session id", with("session_id", 5), "missing_session_id");
        row("empty session id", with("session_id", QString()), "missing_session_id");
        row("no key", with("private_key", QJsonValue::Undefined), "invalid_private_key");
        row("numeric key", with("private_key", 1), "invalid_private_key");
        row("key not base64", key("not base64 at all!!"), "invalid_private_key");
        row("key of 31 bytes", key(QByteArray(31, 'k').toBase64()), "invalid_private_key");
        row("key of 33 bytes", key(QByteArray(33, 'k').toBase64()), "invalid_private_key");
        row("key without padding", key(Key.chopped(1)), "invalid_private_key");
        row("key in the URL alphabet", key(QByteArray(Key).replace('+', '-')), "invalid_private_key");
        row("key with trailing bits set", key(Key.left(42) + "R="), "invalid_private_key");
        row("numeric route mode", with("route_mode", 1), "invalid_route_mode");
        row("process list an object", with("game_processes", QJsonObject{}), "invalid_game_processes");
    }

    void startPayloads()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, error);
        for (const bool running : {false, true}) {
            QCOMPARE(
                service.exchange(running ? Start : Stop, 1, running ? startPayload() : QByteArray()).status(),
                0u);
            const QByteArray before = service.exchange(Status, 2).payload();

            Client client(service.name);
            client.send(frame(Start, 3, payload));
            const Reply reply = client.read();
            QCOMPARE(reply.bytes.left(16), replyHead(3));
            if (error.isEmpty()) {
                QCOMPARE(reply.status(), 0u);
                QCOMPARE(reply.json("session_id"), QStringLiteral("sess-2"));
                QCOMPARE(service.state(), QStringLiteral("accelerating"));
                continue;
            }
            QCOMPARE(reply.status(), 7u);
            QCOMPARE(reply.json("error"), error);
            QVERIFY(!reply.json("message").isEmpty());
            QCOMPARE(reply.json("state"), QLatin1String(running ? "accelerating" : "idle"));
            QVERIFY(client.closed());
            QCOMPARE(service.exchange(Status, 4).payload(), before);
        }
    }

    // Requests pipelined on one connection and trickled in, answered in turn.
    void stateAndLog()
    {
        const QByteArray requests = frame(Stop, 60) + frame(Start, 61, startPayload()) +
                                    frame(Start, 62, startPayload(QStringLiteral("sess-2"))) +
                                    frame(Status, 63) + frame(Stop, 64) + frame(Stop, 65);
        Client client(service.name);
        for (qsizetype at = 0; at < requests.size(); at += 7)
            client.send(requests.mid(at, 7));
        QList<Reply> replies;
        for (quint64 id = 60; id <= 65; ++id) {
            replies.append(client.read());
            QCOMPARE(replies.last().bytes.left(16), replyHead(id));
            QCOMPARE(replies.last().status(), 0u);
        }
        QCOMPARE(replies[0].payload(), Idle);
        QCOMPARE(replies[1].json("state"), QStringLiteral("accelerating"));
        QCOMPARE(replies[1].json("route_mode"), QStringLiteral("process-beta"));
        QCOMPARE(replies[1].json("egress_ip"), QStringLiteral("203.0.113.7"));
        QCOMPARE(QJsonDocument::fromJson(replies[1].payload())["game_process_count"].toInt(), 1);
        // A second Start replaces the first session.
        QCOMPARE(replies[2].json("session_id"), QStringLiteral("sess-2"));
        QCOMPARE(replies[3].payload(), replies[2].payload());
        // The exact bytes of a reply; stopping what is not running is still a success.
        QCOMPARE(replies[4].bytes.toHex(), (replyHead(64) + le(0, 4) + le(Idle.size(), 4) + Idle).toHex());
        QCOMPARE(replies[5].payload(), Idle);

        QVERIFY(service.waitForOutput("command=Stop id=65 status=0 state=idle\n"));
        QVERIFY(service.output.contains("command=Start id=61 status=0 state=accelerating session_id=sess-1 "
                                        "route_mode=process-beta game_processes=1 egress_ip=203.0.113.7\n"));
        QVERIFY(
            service.output.contains("command=Start id=62 status=0 state=accelerating session_id=sess-2 "));
        QVERIFY(service.output.contains(" replaced=sess-1\n"));
        // The private key goes nowhere: not into replies, not into the log.
        QVERIFY(!service.output.contains(Key));
        for (const Reply &reply : replies)
            QVERIFY(!reply.bytes.contains(Key) && !reply.bytes.contains("private_key"));
    }

    void aHalfFrameDoesNotHoldUpTheNextClient()
    {
        Service slow;
        QVERIFY(slow.start({QStringLiteral("--frame-timeout-ms"), QStringLiteral("800")}));
        Client stalled(slow.name), headerOnly(slow.name), silent(slow.name);
        stalled.send(frame(Start, 40, startPayload()).left(30));
        headerOnly.send(frame(Start, 41, startPayload()).left(12));

        // The next client is answered while the half frames are still pending.
        const Reply status = slow.exchange(Status, 42);
        QCOMPARE(status.bytes.left(16), replyHead(42));
        QCOMPARE(status.payload(), Idle);
        QVERIFY(stalled.socket.state() == QLocalSocket::ConnectedState);

        // Then each half frame runs out of time: answered as incomplete (with the request id where it
        // arrived), closed, nothing started. A client that sends nothing is closed without an answer.
        for (auto [client, id] : {std::pair{&stalled, quint64(40)}, std::pair{&headerOnly, quint64(0)}}) {
            const Reply reply = client->read();
            QCOMPARE(reply.bytes.left(16), replyHead(id));
            QCOMPARE(reply.status(), 5u);
            QCOMPARE(reply.json("error"), QStringLiteral("incomplete_frame"));
            QVERIFY(client->closed());
        }
        QVERIFY(silent.closed());
        QVERIFY(silent.read(100).bytes.isEmpty());
        QCOMPARE(slow.state(), QStringLiteral("idle"));
    }

    // The options for demos and the client's tests: each announced, each doing what it says, as the log
    // tells.
    void misbehaviour_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<quint16>("command");
        QTest::addColumn<QByteArray>("head"); // first 16 bytes of the reply, empty for none
        QTest::addColumn<quint32>("status");
        QTest::addColumn<int>("payloadBytes"); // what arrives of the announced payload, -1 all of it
        QTest::addColumn<int>("minDelayMs");
        QTest::addColumn<QByteArray>("logLine");
        const auto row = [](const char *option, quint16 command, const QByteArray &head, quint32 status,
                            int payloadBytes, int minDelayMs, const char *logLine) {
            QTest::newRow(option) << QString::fromLatin1(option) << command << head << status << payloadBytes
                                  << minDelayMs << QByteArray(logLine);
        };
        row("refuse-start", Start, replyHead(500), 8, -1, 0, "command=Start id=500 status=8 state=idle");
        row("refuse-stop", Stop, replyHead(500), 8, -1, 0, "command=Stop id=500 status=8 state=idle");
        row("wrong-request-id", Start, replyHead(501), 0, -1, 0,
            "command=Start id=500 status=0 state=accelerating");
        row("reply-delay-ms=600", Status, replyHead(500), 0, -1, 500,
            "command=Status id=500 status=0 state=idle");
        row("bad-reply-magic", Status, replyHead(500, 0x43434147), 0, -1, 0,
            "command=Status id=500 status=0 state=idle");
        row("truncate-reply", Status, replyHead(500), 0, 8, 0, "command=Status id=500 status=0 state=idle");
        row("no-reply", Start, {}, 0, 0, 0, "command=Start id=500 status=0 state=accelerating");
        row("tunnel-lifetime-ms=300", Start, replyHead(500), 0, -1, 0,
            "tunnel dropped session_id=sess-1 after 300 ms");
    }

    void misbehaviour()
    {
        QFETCH(QString, option);
        QFETCH(quint16, command);
        QFETCH(QByteArray, head);
        QFETCH(quint32, status);
        QFETCH(int, payloadBytes);
        QFETCH(int, minDelayMs);
        QFETCH(QByteArray, logLine);
        Service odd;
        QVERIFY(odd.start((QStringLiteral("--") + option).split(QLatin1Char('='))));
        QVERIFY(odd.waitForOutput("devservice: misbehaving: " + option.toUtf8() + '\n'));

        Client client(odd.name);
        QElapsedTimer clock;
        clock.start();
        client.send(frame(command, 500, command == Start ? startPayload() : QByteArray()));
        const Reply reply = client.read();
        QVERIFY(clock.elapsed() >= minDelayMs);
        QCOMPARE(reply.bytes.left(16).toHex(), head.toHex());
        if (!head.isEmpty()) {
            QCOMPARE(reply.status(), status);
            const int announced = int(qFromLittleEndian<quint32>(reply.bytes.constData() + 20));
            QCOMPARE(reply.payload().size(), payloadBytes < 0 ? announced : payloadBytes);
        }
        if (payloadBytes >= 0)
            QVERIFY(client.closed());
        QVERIFY2(odd.waitForOutput(logLine), odd.output.constData());
    }

#ifdef Q_OS_UNIX
    // A live service keeps its name; a socket left behind by a killed one is taken over.
    void theName()
    {
        QProcess second;
        second.start(QStringLiteral(DEVSERVICE_PATH), {QStringLiteral("--name"), service.name});
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardError().contains("already listening"));

        Service killed;
        QVERIFY(killed.start());
        killed.process.kill();
        QVERIFY(killed.process.waitForFinished(5000));
        Service again;
        QVERIFY(again.start({}, killed.name));
        QCOMPARE(again.state(), QStringLiteral("idle"));
    }
#endif
};

QTEST_GUILESS_MAIN(TestDevservice)
#include "tst_devservice.moc"
