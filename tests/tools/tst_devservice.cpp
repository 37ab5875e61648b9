// The real devservice process, spoken to over a real local socket.

#include "wirebytes.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif

namespace {

const QByteArray kKey = "+Gtldt7zQib3N6hyjDDJqyVnkuaEFztTLfMxGhK/RXQ=";

enum : quint16 { Status = 1, Start = 2, Stop = 3 };

QByteArray startPayload(const QByteArray &sessionId = "sess-1", const QByteArray &key = kKey)
{
    return "{\"session_id\":\"" + sessionId + "\",\"private_key\":\"" + key +
           "\",\"game_processes\":[\"game.exe\"],\"route_mode\":\"process-beta\",\"egress_ip\":\"203.0.113."
           "7\"}";
}

QString uniqueName()
{
    static int counter = 0;
    return QStringLiteral("zumvari-tst-devservice-%1-%2")
        .arg(QCoreApplication::applicationPid())
        .arg(++counter);
}

class Service
{
public:
    ~Service() { stop(); }

    bool start(const QStringList &options = {}, const QString &name = uniqueName())
    {
        name_ = name;
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.start(QStringLiteral(DEVSERVICE_PATH),
                       QStringList{QStringLiteral("--name"), name_} + options);
        return process_.waitForStarted(5000) &&
               waitForOutput("devservice listening on " + name_.toUtf8() + '\n');
    }

    bool waitForOutput(const QByteArray &needle, int timeoutMs = 5000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!(output_ += process_.readAllStandardOutput()).contains(needle)) {
            if (deadline.hasExpired() || process_.state() != QProcess::Running)
                return false;
            process_.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
        return true;
    }

    QByteArray output()
    {
        output_ += process_.readAllStandardOutput();
        return output_;
    }

    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    QString name() const { return name_; }
    QProcess &process() { return process_; }

private:
    QString name_;
    QProcess process_;
    QByteArray output_;
};

// One client connection; all waits bounded.
class Client
{
public:
    bool connectTo(const QString &name)
    {
        socket_.connectToServer(name);
        return socket_.waitForConnected(3000);
    }

    void send(const QByteArray &bytes)
    {
        socket_.write(bytes);
        socket_.waitForBytesWritten(3000);
    }

    // Reads until a whole reply (header and announced payload) is in, the server closes,
    // or the time runs out. Returns what arrived.
    QByteArray readReply(int timeoutMs = 5000)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            buffer_ += socket_.readAll();
            if (buffer_.size() >= 24 && buffer_.size() >= 24 + qsizetype(wire::getLe(buffer_, 20, 4))) {
                const qsizetype size = 24 + qsizetype(wire::getLe(buffer_, 20, 4));
                const QByteArray reply = buffer_.left(size);
                buffer_.remove(0, size);
                return reply;
            }
            if (deadline.hasExpired() || socket_.state() != QLocalSocket::ConnectedState) {
                const QByteArray partial = buffer_;
                buffer_.clear();
                return partial;
            }
            socket_.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
    }

    bool waitClosed(int timeoutMs = 5000)
    {
        return socket_.state() == QLocalSocket::UnconnectedState || socket_.waitForDisconnected(timeoutMs);
    }

    bool connected() const { return socket_.state() == QLocalSocket::ConnectedState; }

private:
    QLocalSocket socket_;
    QByteArray buffer_;
};

wire::Reply exchange(const QString &name, quint16 command, quint64 id, const QByteArray &payload = {})
{
    Client client;
    if (!client.connectTo(name))
        return {};
    client.send(wire::request(command, id, payload));
    const QByteArray bytes = client.readReply();
    if (bytes.size() < 24)
        return {};
    return wire::splitReply(bytes);
}

QJsonObject json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

QString stateOf(const QString &name)
{
    return json(exchange(name, Status, 1).payload).value(QLatin1String("state")).toString();
}

} // namespace

class TestDevservice : public QObject
{
    Q_OBJECT

private slots:
    void announcesItself()
    {
        Service service;
        QVERIFY(service.start());
        QVERIFY(service.waitForOutput("no real tunnel"));
        const QList<QByteArray> lines = service.output().split('\n');
        QCOMPARE(lines.first(), "devservice listening on " + service.name().toUtf8());
        QVERIFY(!service.output().contains("misbehaving"));
    }

    void statusWhileIdle()
    {
        Service service;
        QVERIFY(service.start());
        Client client;
        QVERIFY(client.connectTo(service.name()));
        client.send(wire::request(Status, Q_UINT64_C(0x0123456789ABCDEF)));
        const QByteArray bytes = client.readReply();
        QCOMPARE(bytes.size(), 24 + 16);
        QCOMPARE(bytes.left(8).toHex(), QByteArray("4343414701000000"));
        const wire::Reply reply = wire::splitReply(bytes);
        QCOMPARE(reply.requestId, Q_UINT64_C(0x0123456789ABCDEF));
        QCOMPARE(reply.status, 0u);
        QCOMPARE(reply.length, 16u);
        QCOMPARE(reply.payload, QByteArray("{\"state\":\"idle\"}"));
        QVERIFY(service.waitForOutput("command=Status id=81985529216486895 status=0 state=idle\n"));
    }

    void startStatusStop()
    {
        Service service;
        QVERIFY(service.start());

        const wire::Reply started = exchange(service.name(), Start, 100, startPayload());
        QCOMPARE(started.magic, wire::kMagic);
        QCOMPARE(started.requestId, quint64(100));
        QCOMPARE(started.status, 0u);
        QVERIFY(started.payload.contains("\"accelerating\""));
        QVERIFY(!started.payload.contains("\"idle\""));
        const QJsonObject held = json(started.payload);
        QCOMPARE(held.value(QLatin1String("session_id")).toString(), QStringLiteral("sess-1"));
        QCOMPARE(held.value(QLatin1String("route_mode")).toString(), QStringLiteral("process-beta"));
        QCOMPARE(held.value(QLatin1String("game_process_count")).toInt(), 1);
        QCOMPARE(held.value(QLatin1String("egress_ip")).toString(), QStringLiteral("203.0.113.7"));

        const wire::Reply status = exchange(service.name(), Status, 101);
        QCOMPARE(status.status, 0u);
        QCOMPARE(status.payload, started.payload);

        const wire::Reply stopped = exchange(service.name(), Stop, 102);
        QCOMPARE(stopped.requestId, quint64(102));
        QCOMPARE(stopped.status, 0u);
        QCOMPARE(stopped.payload, QByteArray("{\"state\":\"idle\"}"));
        QCOMPARE(stateOf(service.name()), QStringLiteral("idle"));

        QVERIFY(service.waitForOutput("command=Stop id=102 status=0 state=idle\n"));
        const QByteArray log = service.output();
        QVERIFY(log.contains("command=Start id=100 status=0 state=accelerating session_id=sess-1 "
                             "route_mode=process-beta game_processes=1 egress_ip=203.0.113.7\n"));
        // The private key goes nowhere: not into replies, not into the log.
        QVERIFY(!log.contains(kKey));
        QVERIFY(!started.payload.contains(kKey) && !status.payload.contains(kKey));
    }

    void badStartLeavesTheStateAndCloses_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("error");
        QTest::newRow("bad base64") << startPayload("sess-2", "@@@@not-base64@@@@")
                                    << QStringLiteral("invalid_private_key");
        QTest::newRow("31-byte key") << startPayload("sess-2", QByteArray(31, 'k').toBase64())
                                     << QStringLiteral("invalid_private_key");
        QTest::newRow("not an object") << QByteArray("[\"sess-2\"]") << QStringLiteral("invalid_json");
        QTest::newRow("no session id")
            << QByteArray("{\"private_key\":\"" + kKey + "\"}") << QStringLiteral("missing_session_id");
    }

    void badStartLeavesTheStateAndCloses()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, error);
        Service service;
        QVERIFY(service.start());

        for (const bool running : {false, true}) {
            if (running)
                QCOMPARE(exchange(service.name(), Start, 1, startPayload()).status, 0u);
            const QByteArray before = exchange(service.name(), Status, 2).payload;

            Client client;
            QVERIFY(client.connectTo(service.name()));
            client.send(wire::request(Start, 3, payload));
            const QByteArray bytes = client.readReply();
            QVERIFY(bytes.size() >= 24);
            const wire::Reply reply = wire::splitReply(bytes);
            QCOMPARE(reply.requestId, quint64(3));
            QVERIFY(reply.status != 0);
            const QJsonObject text = json(reply.payload);
            QCOMPARE(text.value(QLatin1String("error")).toString(), error);
            QVERIFY(!text.value(QLatin1String("message")).toString().isEmpty());
            QVERIFY(client.waitClosed());

            QCOMPARE(exchange(service.name(), Status, 4).payload, before);
        }
    }

    void badFramesAreAnsweredAndClosed_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error");
        QTest::addColumn<quint64>("echoedId");
        QTest::newRow("bad magic") << wire::requestHeader(Status, 7, 0, 0x43434147u)
                                   << QStringLiteral("bad_magic") << quint64(7);
        QTest::newRow("bad magic, four bytes")
            << QByteArray("HTTP") << QStringLiteral("bad_magic") << quint64(0);
        QTest::newRow("version 2") << wire::requestHeader(Status, 7, 0, wire::kMagic, 2)
                                   << QStringLiteral("bad_version") << quint64(7);
        QTest::newRow("command 9") << wire::requestHeader(9, 7, 0) << QStringLiteral("unknown_command")
                                   << quint64(7);
        // Refused from the header alone, without waiting for a payload that will never come.
        QTest::newRow("length 1 MiB + 1") << wire::requestHeader(Start, 7, 1024 * 1024 + 1)
                                          << QStringLiteral("payload_too_large") << quint64(7);
        QTest::newRow("status with payload")
            << wire::request(Status, 7, "{}") << QStringLiteral("unexpected_payload") << quint64(7);
    }

    void badFramesAreAnsweredAndClosed()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        QFETCH(quint64, echoedId);
        Service service;
        QVERIFY(service.start());
        QCOMPARE(exchange(service.name(), Start, 1, startPayload()).status, 0u);

        Client client;
        QVERIFY(client.connectTo(service.name()));
        client.send(bytes);
        const QByteArray raw = client.readReply();
        QVERIFY(raw.size() >= 24);
        const wire::Reply reply = wire::splitReply(raw);
        QCOMPARE(reply.magic, wire::kMagic);
        QCOMPARE(reply.version, quint16(1));
        QCOMPARE(reply.requestId, echoedId);
        QVERIFY(reply.status != 0);
        QCOMPARE(json(reply.payload).value(QLatin1String("error")).toString(), error);
        QVERIFY(client.waitClosed());

        QCOMPARE(stateOf(service.name()), QStringLiteral("accelerating"));
    }

    void largestPayloadIsServed()
    {
        Service service;
        QVERIFY(service.start());
        QByteArray payload = startPayload();
        payload.chop(1);
        payload += ",\"padding\":\"";
        payload += QByteArray(1024 * 1024 - payload.size() - 2, 'p');
        payload += "\"}";
        QCOMPARE(payload.size(), 1024 * 1024);
        const wire::Reply reply = exchange(service.name(), Start, 5, payload);
        QCOMPARE(reply.requestId, quint64(5));
        QCOMPARE(reply.status, 0u);
        QCOMPARE(stateOf(service.name()), QStringLiteral("accelerating"));
    }

    void aStalledClientDoesNotHoldUpTheNext()
    {
        Service service;
        QVERIFY(service.start({QStringLiteral("--frame-timeout-ms"), QStringLiteral("1500")}));

        Client stalled;
        QVERIFY(stalled.connectTo(service.name()));
        stalled.send(wire::request(Start, 40, startPayload()).left(30));
        Client headerOnly;
        QVERIFY(headerOnly.connectTo(service.name()));
        headerOnly.send(wire::request(Start, 41, startPayload()).left(12));

        // The next client is answered while the two half frames are still pending.
        const wire::Reply status = exchange(service.name(), Status, 42);
        QCOMPARE(status.requestId, quint64(42));
        QCOMPARE(status.payload, QByteArray("{\"state\":\"idle\"}"));
        QVERIFY(stalled.connected());
        QVERIFY(headerOnly.connected());

        // Then each half frame runs out of time: answered as incomplete, closed, nothing started.
        const wire::Reply dropped = wire::splitReply(stalled.readReply());
        QCOMPARE(dropped.status, 5u);
        QCOMPARE(dropped.requestId, quint64(40));
        QCOMPARE(json(dropped.payload).value(QLatin1String("error")).toString(),
                 QStringLiteral("incomplete_frame"));
        QVERIFY(stalled.waitClosed());
        const wire::Reply droppedEarly = wire::splitReply(headerOnly.readReply());
        QCOMPARE(droppedEarly.status, 5u);
        QCOMPARE(droppedEarly.requestId, quint64(0));
        QVERIFY(headerOnly.waitClosed());
        QCOMPARE(stateOf(service.name()), QStringLiteral("idle"));
    }

    void aSilentClientIsClosedWithoutAnswer()
    {
        Service service;
        QVERIFY(service.start({QStringLiteral("--frame-timeout-ms"), QStringLiteral("300")}));
        Client silent;
        QVERIFY(silent.connectTo(service.name()));
        QVERIFY(silent.waitClosed());
        QVERIFY(silent.readReply(100).isEmpty());
        QVERIFY(service.waitForOutput("closed: no request within 300 ms"));
    }

    void oneConnectionCarriesFramesInTurn()
    {
        Service service;
        QVERIFY(service.start());
        Client client;
        QVERIFY(client.connectTo(service.name()));
        client.send(wire::request(Start, 61, startPayload()) + wire::request(Status, 62) +
                    wire::request(Stop, 63));
        const wire::Reply first = wire::splitReply(client.readReply());
        const wire::Reply second = wire::splitReply(client.readReply());
        const wire::Reply third = wire::splitReply(client.readReply());
        QCOMPARE(first.requestId, quint64(61));
        QCOMPARE(second.requestId, quint64(62));
        QCOMPARE(second.payload, first.payload);
        QCOMPARE(third.requestId, quint64(63));
        QCOMPARE(third.payload, QByteArray("{\"state\":\"idle\"}"));
    }

    void refuseStartAndStop()
    {
        Service service;
        QVERIFY(service.start({QStringLiteral("--refuse-start"), QStringLiteral("--refuse-stop")}));
        QVERIFY(service.waitForOutput("misbehaving: refuse-start refuse-stop\n"));
        const wire::Reply start = exchange(service.name(), Start, 1, startPayload());
        QCOMPARE(start.status, 8u);
        QCOMPARE(json(start.payload).value(QLatin1String("error")).toString(),
                 QStringLiteral("start_refused"));
        QCOMPARE(stateOf(service.name()), QStringLiteral("idle"));
        QCOMPARE(exchange(service.name(), Stop, 2).status, 8u);
        QCOMPARE(exchange(service.name(), Status, 3).status, 0u);
    }

    void wrongRequestId()
    {
        Service service;
        QVERIFY(service.start({QStringLiteral("--wrong-request-id")}));
        const wire::Reply reply = exchange(service.name(), Start, 1000, startPayload());
        QCOMPARE(reply.magic, wire::kMagic);
        QCOMPARE(reply.requestId, quint64(1001));
        QCOMPARE(reply.status, 0u);
        // The request itself was carried out.
        QCOMPARE(stateOf(service.name()), QStringLiteral("accelerating"));
    }

    void lateReplies()
    {
        Service service;
        QVERIFY(service.start({QStringLiteral("--reply-delay-ms"), QStringLiteral("800")}));
        Client slow;
        QVERIFY(slow.connectTo(service.name()));
        slow.send(wire::request(Status, 71));
        QElapsedTimer clock;
        clock.start();
        const QByteArray early = slow.readReply(200);
        QVERIFY(early.isEmpty());
        const wire::Reply reply = wire::splitReply(slow.readReply(5000));
        QVERIFY(clock.elapsed() >= 700);
        QCOMPARE(reply.requestId, quint64(71));
        QCOMPARE(reply.payload, QByteArray("{\"state\":\"idle\"}"));
    }

    void brokenReplies()
    {
        {
            Service service;
            QVERIFY(service.start({QStringLiteral("--bad-reply-magic")}));
            Client client;
            QVERIFY(client.connectTo(service.name()));
            client.send(wire::request(Status, 1));
            QCOMPARE(client.readReply().left(4).toHex(), QByteArray("47414343"));
        }
        {
            Service service;
            QVERIFY(service.start({QStringLiteral("--truncate-reply")}));
            Client client;
            QVERIFY(client.connectTo(service.name()));
            client.send(wire::request(Status, 2));
            const QByteArray bytes = client.readReply();
            QVERIFY(client.waitClosed());
            QCOMPARE(bytes.size(), 24 + 8);
            QCOMPARE(wire::splitReply(bytes).length, 16u);
        }
        {
            Service service;
            QVERIFY(service.start({QStringLiteral("--no-reply")}));
            Client client;
            QVERIFY(client.connectTo(service.name()));
            client.send(wire::request(Start, 3, startPayload()));
            QVERIFY(client.readReply().isEmpty());
            QVERIFY(client.waitClosed());
            QVERIFY(service.waitForOutput("command=Start id=3 status=0 state=accelerating"));
        }
    }

    void tunnelThatGoesDown()
    {
        Service service;
        QVERIFY(service.start({QStringLiteral("--tunnel-lifetime-ms"), QStringLiteral("300")}));
        QCOMPARE(exchange(service.name(), Start, 1, startPayload()).status, 0u);
        QVERIFY(service.waitForOutput("tunnel dropped session_id=sess-1 after 300 ms\n"));
        QCOMPARE(stateOf(service.name()), QStringLiteral("idle"));
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--fast")};
        QTest::newRow("positional") << QStringList{QStringLiteral("serve")};
        QTest::newRow("delay not a number")
            << QStringList{QStringLiteral("--reply-delay-ms"), QStringLiteral("soon")};
        QTest::newRow("negative delay")
            << QStringList{QStringLiteral("--reply-delay-ms"), QStringLiteral("-5")};
        QTest::newRow("zero frame time-out")
            << QStringList{QStringLiteral("--frame-timeout-ms"), QStringLiteral("0")};
        QTest::newRow("empty name") << QStringList{QStringLiteral("--name"), QString()};
    }

    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        QProcess process;
        process.start(QStringLiteral(DEVSERVICE_PATH), arguments);
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(process.readAllStandardOutput().isEmpty());
        QVERIFY(process.readAllStandardError().startsWith("devservice: "));
    }

    void aLiveServerKeepsItsName()
    {
        Service first;
        QVERIFY(first.start());
        QProcess second;
        second.start(QStringLiteral(DEVSERVICE_PATH), {QStringLiteral("--name"), first.name()});
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardError().contains("already listening"));
        QCOMPARE(stateOf(first.name()), QStringLiteral("idle"));
    }

#ifdef Q_OS_UNIX
    void stopsCleanlyOnSignals_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

    void stopsCleanlyOnSignals()
    {
        QFETCH(int, signal);
        Service service;
        QVERIFY(service.start());
        const QByteArray socketLine = "devservice: socket ";
        QVERIFY(service.waitForOutput(socketLine));
        const QByteArray out = service.output();
        const qsizetype at = out.indexOf(socketLine) + socketLine.size();
        const QString socketPath = QString::fromUtf8(out.mid(at, out.indexOf('\n', at) - at));
        QVERIFY(QFile::exists(socketPath));

        QCOMPARE(::kill(pid_t(service.process().processId()), signal), 0);
        QVERIFY(service.process().waitForFinished(5000));
        QCOMPARE(service.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.process().exitCode(), 0);
        QVERIFY(service.output().endsWith("devservice stopped\n"));
        QVERIFY(!QFile::exists(socketPath));
    }

    void aStaleSocketIsReplaced()
    {
        Service crashed;
        QVERIFY(crashed.start());
        const QString name = crashed.name();
        crashed.process().kill();
        QVERIFY(crashed.process().waitForFinished(5000));

        Service again;
        QVERIFY(again.start({}, name));
        QCOMPARE(stateOf(name), QStringLiteral("idle"));
    }
#endif
};

QTEST_GUILESS_MAIN(TestDevservice)
#include "tst_devservice.moc"
